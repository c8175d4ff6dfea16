#include <string>

#include "status_endpoint.h"

namespace klxhost {
namespace {

// Self-contained: no external scripts, styles or fonts, so it works on a site network with no
// way out. Every device text goes into the page through textContent, never as markup.
const char kPage[] = R"PAGE(<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>klx-host status</title>
<style>
body{font:15px/1.4 system-ui,sans-serif;margin:0;background:#f3f4f6;color:#111}
header{background:#1f2937;color:#fff;padding:10px 18px;display:flex;gap:18px;align-items:baseline}
header h1{font-size:18px;margin:0}
main{padding:14px;display:grid;gap:14px}
section.device{background:#fff;border-radius:8px;padding:12px 16px;box-shadow:0 1px 3px #0002}
.top{display:flex;gap:14px;align-items:baseline;flex-wrap:wrap}
.top h2{margin:0;font-size:18px}
.badge{padding:2px 10px;border-radius:10px;font-weight:600;color:#fff}
.up{background:#15803d}.down{background:#b91c1c}
.alarms{margin:10px 0;padding:8px 12px;border-radius:6px}
.alarms.active{background:#fee2e2;border:1px solid #b91c1c}
.alarms.clear{background:#dcfce7;border:1px solid #15803d}
.alarms li{margin:2px 0}
h3{font-size:14px;margin:12px 0 4px;color:#374151;text-transform:uppercase;letter-spacing:.04em}
table{border-collapse:collapse}td,th{padding:2px 12px 2px 0;text-align:right}th{text-align:left}
.modules{display:grid;grid-template-columns:repeat(auto-fill,minmax(74px,1fr));gap:4px}
.module{border-radius:4px;padding:3px 5px;font-size:13px;border:1px solid #d1d5db}
.module b{display:block;font-size:11px;color:#4b5563}
.running{background:#ecfdf5}.off{background:#f3f4f6;color:#6b7280}.failed{background:#fecaca;border-color:#b91c1c}
.counters span{margin-right:16px}
.muted{color:#6b7280}
</style></head><body>
<header><h1>Power system status</h1><span id="site"></span><span id="updated" class="muted"></span></header>
<main id="devices"></main>
<script>
"use strict";
const initial = /*INITIAL*/;
function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}
function val(v, unit, digits) {
  return (typeof v === "number") ? v.toFixed(digits) + " " + unit : "\u2014";
}
function alarms(st) {
  const box = el("div", "alarms " + (st.alarms.length ? "active" : "clear"));
  if (!st.alarms.length) { box.textContent = "No active alarms"; return box; }
  box.appendChild(el("strong", "", st.alarms.length + " active alarm" + (st.alarms.length > 1 ? "s" : "")));
  const ul = el("ul");
  for (const a of st.alarms) {
    ul.appendChild(el("li", "alarm", a.name + " (" + a.alarm_id + ", level " + a.level +
      ") since " + a.since + (a.text ? " \u2014 " + a.text : "")));
  }
  box.appendChild(ul);
  return box;
}
function acLines(s) {
  const t = el("table");
  const n = s.ac ? Math.min(s.ac.channel_count || 0, (s.acChannel || []).length) : 0;
  if (!n) return el("div", "muted", "No AC lines reported");
  const h = el("tr"); for (const c of ["", "A", "B", "C", "Frequency"]) h.appendChild(el("th", "", c));
  t.appendChild(h);
  for (let i = 0; i < n; i++) {
    const l = s.acChannel[i], r = el("tr", "ac-line");
    r.appendChild(el("th", "", "Line " + (i + 1)));
    for (const p of ["a", "b", "c"]) r.appendChild(el("td", "", val(l[p], "V", 1)));
    r.appendChild(el("td", "", val(l.f, "Hz", 2)));
    t.appendChild(r);
  }
  return t;
}
function moduleState(m) {
  if (m.alarm) return "failed";
  return (m.status && m.status[0] === 1) ? "off" : "running";
}
function shelf(s) {
  const box = el("div");
  const n = Math.min(s.rc_channel_count || 0, (s.rcChannel || []).length);
  let total = 0;
  for (let i = 0; i < n; i++) if (typeof s.rcChannel[i].current === "number") total += s.rcChannel[i].current;
  box.appendChild(el("div", "shelf-summary", "Output " + val(s.rc_voltage, "V", 1) + " \u00b7 " + n +
    " modules \u00b7 " + total.toFixed(1) + " A in total"));
  const grid = el("div", "modules");
  for (let i = 0; i < n; i++) {
    const m = s.rcChannel[i], st = moduleState(m), tile = el("div", "module " + st);
    tile.appendChild(el("b", "", "#" + (i + 1) + " " + st));
    tile.appendChild(document.createTextNode(val(m.current, "A", 1)));
    grid.appendChild(tile);
  }
  box.appendChild(grid);
  return box;
}
function panels(s) {
  const t = el("table");
  const h = el("tr"); for (const c of ["", "Voltage", "Current"]) h.appendChild(el("th", "", c));
  t.appendChild(h);
  [["Panel 1", s.dc], ["Panel 2", s.dc_2]].forEach(([name, p]) => {
    // A second panel never decoded stays all zero (the record has no panel count).
    if (!p || !(p.voltage || p.current || p.m_count || p.alert_m_count)) return;
    const r = el("tr", "dc-panel");
    r.appendChild(el("th", "", name));
    r.appendChild(el("td", "", val(p.voltage, "V", 2)));
    r.appendChild(el("td", "", val(p.current, "A", 1)));
    t.appendChild(r);
  });
  return t;
}
function counters(st) {
  const c = st.counters, box = el("div", "counters");
  const items = [["commands", c.commands], ["answers", c.answers], ["time-outs", c.timeouts],
    ["RTN errors", c.rtn_errors], ["bad frames", c.bad_frames], ["line lost", c.lost],
    ["reconnects", c.reconnects]];
  for (const [k, v] of items) box.appendChild(el("span", "", k + " " + v));
  return box;
}
function device(st, s) {
  const sec = el("section", "device");
  sec.id = "device-" + st.data_id;
  const top = el("div", "top");
  top.appendChild(el("h2", "", "data_id " + st.data_id));
  top.appendChild(el("span", "badge " + (st.up ? "up" : "down"), st.up ? "UP" : "DOWN"));
  top.appendChild(el("span", "age", st.age_s === null ? "no data yet" :
    "data " + st.age_s + " s old (round " + st.rounds + ")"));
  top.appendChild(el("span", "muted", st.port + (st.line_up ? "" : " \u2014 line down: " + st.line_error)));
  sec.appendChild(top);
  sec.appendChild(alarms(st));
  if (s) {
    sec.appendChild(el("h3", "", "AC distribution")); sec.appendChild(acLines(s));
    sec.appendChild(el("h3", "", "Rectifier shelf")); sec.appendChild(shelf(s));
    sec.appendChild(el("h3", "", "DC distribution")); sec.appendChild(panels(s));
  }
  sec.appendChild(el("h3", "", "Line")); sec.appendChild(counters(st));
  return sec;
}
function render(state, status) {
  document.getElementById("site").textContent = status.site || "";
  document.getElementById("updated").textContent = "updated " + status.time;
  const main = document.getElementById("devices");
  main.replaceChildren(...status.devices.map(st => device(st, state[String(st.data_id)])));
}
async function refresh() {
  try {
    const [a, b] = await Promise.all([fetch("/api/state"), fetch("/api/status")]);
    render(await a.json(), await b.json());
  } catch (e) {
    document.getElementById("updated").textContent = "no answer from the host: " + e;
  }
}
render(initial.state, initial.status);
setInterval(refresh, 2000);
</script></body></html>
)PAGE";

}  // namespace

std::string status_page(const std::string& state_json, const std::string& status_json) {
  std::string initial = "{\"state\":" + state_json + ",\"status\":" + status_json + "}";
  // No markup inside the script element ("</script>", "<!--"): '<' occurs only within JSON
  // strings, where \u003c reads the same.
  for (size_t at = initial.find('<'); at != std::string::npos; at = initial.find('<', at))
    initial.replace(at, 1, "\\u003c");
  std::string page = kPage;
  const std::string mark = "/*INITIAL*/";
  page.replace(page.find(mark), mark.size(), initial);
  return page;
}

}  // namespace klxhost

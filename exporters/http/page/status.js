// The status page: renders what /api/state (each device's site model) and /api/status say.
// What is there, and in which state, is decided by the host; this only draws it. Device texts
// go into the page through textContent, never as markup. Sections are functions of one device
// that return an element (or nothing), so further sections can be added beside them.
"use strict";

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

const PHASES = [["a", "A"], ["b", "B"], ["c", "C"]];

function acLines(s) {
  if (!s.acChannel) return null;
  if (!s.acChannel.length) return el("div", "muted", "No AC lines reported");
  // The phases the host reports are the ones wired.
  const phases = PHASES.filter(([k]) => k in s.acChannel[0]);
  const t = el("table");
  const h = el("tr");
  for (const c of ["", ...phases.map(([, name]) => name), "Frequency"]) h.appendChild(el("th", "", c));
  t.appendChild(h);
  s.acChannel.forEach((l, i) => {
    const r = el("tr", "ac-line");
    r.appendChild(el("th", "", "Line " + (i + 1)));
    for (const [k] of phases) r.appendChild(el("td", "", val(l[k], "V", 1)));
    r.appendChild(el("td", "", val(l.f, "Hz", 2)));
    t.appendChild(r);
  });
  return t;
}

function shelf(s) {
  const box = el("div");
  const modules = s.rcChannel || [];
  const total = (typeof s.rc_current === "number") ? s.rc_current : 0;
  box.appendChild(el("div", "shelf-summary", "Output " + val(s.rc_voltage, "V", 1) + " \u00b7 " +
    modules.length + " modules \u00b7 " + total.toFixed(1) + " A in total"));
  const grid = el("div", "modules");
  modules.forEach((m, i) => {
    const tile = el("div", "module " + m.state);
    tile.appendChild(el("b", "", "#" + (i + 1) + " " + m.state));
    tile.appendChild(document.createTextNode(val(m.current, "A", 1)));
    grid.appendChild(tile);
  });
  box.appendChild(grid);
  return box;
}

function panels(s) {
  const present = [["Panel 1", s.dc], ["Panel 2", s.dc_2]].filter(([, p]) => p);
  if (!present.length) return null;
  const t = el("table");
  const h = el("tr"); for (const c of ["", "Voltage", "Current"]) h.appendChild(el("th", "", c));
  t.appendChild(h);
  for (const [name, p] of present) {
    const r = el("tr", "dc-panel");
    r.appendChild(el("th", "", name));
    r.appendChild(el("td", "", val(p.voltage, "V", 2)));
    r.appendChild(el("td", "", val(p.current, "A", 1)));
    t.appendChild(r);
  }
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

// The sections of a device with a state, in order: [title, function of the state].
const SECTIONS = [["AC distribution", acLines], ["Rectifier shelf", shelf], ["DC distribution", panels]];

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
    for (const [title, draw] of SECTIONS) {
      const part = draw(s);
      if (!part) continue;
      sec.appendChild(el("h3", "", title));
      sec.appendChild(part);
    }
  }
  sec.appendChild(el("h3", "", "Line")); sec.appendChild(counters(st));
  return sec;
}

function render(state, status) {
  document.getElementById("site").textContent = status.site || "";
  document.getElementById("updated").textContent = "updated " + status.time;
  const main = document.getElementById("devices");
  main.replaceChildren(...status.devices.map(st => device(st, state[String(st.data_id)])));
  if (window.klxTrends) window.klxTrends(status.devices);  // trends.js: made once per device
}

async function refresh() {
  try {
    const [a, b] = await Promise.all([fetch("/api/state"), fetch("/api/status")]);
    render(await a.json(), await b.json());
  } catch (e) {
    document.getElementById("updated").textContent = "no answer from the host: " + e;
  }
}

const initial = JSON.parse(document.getElementById("initial").textContent);
render(initial.state, initial.status);
setInterval(refresh, 2000);

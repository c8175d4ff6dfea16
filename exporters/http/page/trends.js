// The status page's trends: per device the DC bus, the three AC phases of the first mains line
// and the rectifiers' total current over 1 h, 24 h, 7 d or 90 d, from /api/history, drawn with
// dygraphs (served by the host). Aggregated answers carry a min/max band; alarm raises (red) and
// clears (green) are lines across every chart and marks on the DC chart. Device texts go in
// through textContent, never as markup.
"use strict";
(function () {
  const RANGES = [["1 h", 3600], ["24 h", 86400], ["7 d", 7 * 86400], ["90 d", 90 * 86400]];
  const CHARTS = [
    {title: "DC bus: voltage and load current", series: ["dc.voltage", "dc.current"],
     labels: ["Voltage (V)", "Load current (A)"], y2: "Load current (A)", marks: true,
     ylabel: "V", y2label: "A", colors: ["#1d4ed8", "#b45309"]},
    {title: "AC phases, line 1 (V)", series: ["ac1.a", "ac1.b", "ac1.c"],
     labels: ["Phase A", "Phase B", "Phase C"], ylabel: "V", colors: ["#92400e", "#111827", "#6b7280"]},
    {title: "Rectifiers: total current (A)", series: ["rc.current"], labels: ["Total current"],
     ylabel: "A", colors: ["#0f766e"]},
  ];
  const blocks = new Map();

  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  // Rows for one chart: [Date, [min, mean, max], ...]; a bucket without the value is null.
  function rows(answer, chart) {
    const cols = chart.series.map(n => answer.series.find(s => s.name === n));
    return answer.time.map((t, i) => [new Date(t * 1000)].concat(cols.map(c =>
      (c && c.mean[i] !== null) ? [c.min[i], c.mean[i], c.max[i]] : null)));
  }

  function markLines(answer) {
    return (ctx, area, g) => {
      for (const a of answer.alarms) {
        const x = g.toDomXCoord(a.time * 1000);
        if (x < area.x || x > area.x + area.w) continue;
        ctx.fillStyle = a.event === "raise" ? "rgba(185,28,28,0.55)" : "rgba(21,128,61,0.55)";
        ctx.fillRect(x - 1, area.y, 2, area.h);
      }
    };
  }

  // Marks sit on a bucket of the first series: the one nearest the transition.
  function annotations(answer, chart) {
    if (!answer.time.length) return [];
    return answer.alarms.map(a => {
      let best = 0;
      for (let i = 1; i < answer.time.length; i++)
        if (Math.abs(answer.time[i] - a.time) < Math.abs(answer.time[best] - a.time)) best = i;
      return {series: chart.labels[0], x: answer.time[best] * 1000,
              shortText: a.event === "raise" ? "\u25b2" : "\u25bc",
              text: (a.event === "raise" ? "raised: " : "cleared: ") + a.name + " (" + a.alarm_id +
                    ") " + new Date(a.time * 1000).toLocaleString(),
              cssClass: "alarm-mark alarm-" + a.event, attachAtBottom: a.event !== "raise"};
    });
  }

  function draw(b, answer) {
    b.note.textContent = answer.time.length
      ? (answer.tier === "raw" ? "every round" : "per " + step(answer.step) + ": mean with min/max band") +
        " \u00b7 " + answer.alarms.length + " alarm transitions"
      : "no history in this range";
    CHARTS.forEach((chart, i) => {
      const div = b.charts[i];
      div.dataset.points = answer.time.length;
      div.dataset.tier = answer.tier;
      if (b.graphs[i]) b.graphs[i].destroy();
      b.graphs[i] = null;
      if (!answer.time.length || typeof Dygraph === "undefined") return;
      const opts = {customBars: true, labels: ["Time"].concat(chart.labels), height: 180,
                    legend: "follow", connectSeparatedPoints: false, drawPoints: false,
                    dateWindow: [answer.from * 1000, answer.to * 1000],
                    underlayCallback: markLines(answer), title: chart.title, titleHeight: 22,
                    ylabel: chart.ylabel, colors: chart.colors, axisLabelWidth: 60, yRangePad: 12,
                    axes: {y: {pixelsPerLabel: 22}, y2: {pixelsPerLabel: 22}}};
      if (chart.y2label) opts.y2label = chart.y2label;
      if (chart.y2) opts.series = {[chart.y2]: {axis: "y2"}};
      const g = new Dygraph(div, rows(answer, chart), opts);
      if (chart.marks) g.ready(() => g.setAnnotations(annotations(answer, chart)));
      b.graphs[i] = g;
    });
  }

  function step(s) {
    return s % 86400 === 0 ? s / 86400 + " d" : s % 3600 === 0 ? s / 3600 + " h" :
      s % 60 === 0 ? s / 60 + " min" : s + " s";
  }

  async function load(b) {
    const to = Math.floor(Date.now() / 1000), from = to - b.range;
    try {
      const r = await fetch("/api/history?data_id=" + b.id + "&from=" + from + "&to=" + to);
      b.sec.hidden = r.status === 404;  // the host keeps no history (no --db)
      if (!r.ok) { b.note.textContent = "no history: " + (await r.text()); return; }
      draw(b, await r.json());
    } catch (e) {
      b.note.textContent = "no answer from the host: " + e;
    }
  }

  function block(id) {
    const sec = el("section", "device trends");
    sec.id = "trends-" + id;
    const top = el("div", "top");
    top.appendChild(el("h2", "", "Trends, data_id " + id));
    const b = {id: id, sec: sec, range: 7 * 86400, charts: [], graphs: [],
               note: el("span", "muted")};
    for (const [name, seconds] of RANGES) {
      const btn = el("button", "range" + (seconds === b.range ? " chosen" : ""), name);
      btn.onclick = () => {
        b.range = seconds;
        top.querySelectorAll("button.range").forEach(x => x.classList.toggle("chosen", x === btn));
        load(b);
      };
      top.appendChild(btn);
    }
    top.appendChild(b.note);
    sec.appendChild(top);
    for (let i = 0; i < CHARTS.length; i++) {
      const div = el("div", "trend-chart");
      b.charts.push(div);
      sec.appendChild(div);
    }
    return [sec, b];
  }

  // Called with the devices of every status answer; a device's block is made once, and its
  // charts read again every minute.
  window.klxTrends = function (devices) {
    const box = document.getElementById("trends");
    if (!box) return;
    for (const d of devices) {
      if (blocks.has(d.data_id)) continue;
      const [sec, b] = block(d.data_id);
      blocks.set(d.data_id, b);
      box.appendChild(sec);
      load(b);
    }
  };
  setInterval(() => blocks.forEach(load), 60000);
})();

"""The frame of the report page: its style sheet (screen and print), the script of the
tree-space map, and the assembly of the sections into one HTML document."""

from __future__ import annotations

import json
from html import escape
from typing import Any, Sequence, Tuple

STYLE = """
:root { --ink: #1a1a1a; --muted: #555; --line: #c8c8c8; --ok: #e3f2e6; --warn: #fff1cc;
        --bad: #fbd9d3; }
* { box-sizing: border-box; }
body { font: 15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif;
       color: var(--ink); margin: 0 auto; max-width: 1180px; padding: 16px 20px 48px; }
h1 { font-size: 1.5em; margin: 0.2em 0; }
h2 { font-size: 1.2em; border-bottom: 1px solid var(--line); padding-bottom: 2px;
     margin-top: 1.6em; }
nav a { margin-right: 0.9em; }
section { overflow-x: auto; }
table { border-collapse: collapse; margin: 0.5em 0; font-variant-numeric: tabular-nums; }
th, td { border: 1px solid var(--line); padding: 3px 8px; text-align: left;
         vertical-align: top; }
td.num { text-align: right; white-space: nowrap; }
td code { word-break: break-all; }
td.why { color: var(--muted); font-size: 0.9em; max-width: 34em; }
.ok { background: var(--ok); } .warn { background: var(--warn); } .bad { background: var(--bad); }
.legend span { display: inline-block; padding: 0 6px; margin-right: 6px;
               border: 1px solid var(--line); }
.grid { display: grid; grid-template-columns: repeat(auto-fill, minmax(340px, 1fr));
        gap: 10px 18px; }
.grid figure { margin: 0; min-width: 0; }
figure figcaption { font-size: 0.9em; color: var(--muted); }
.tree-box { overflow-x: auto; }
svg.tree { max-width: 100%; height: auto; display: block; }
svg text.support { font-size: 9px; fill: var(--muted); }
svg.chart { width: 100%; height: auto; display: block; }
svg text { font-size: 11px; fill: var(--ink); }
svg .plot { fill: none; stroke: #888; stroke-width: 0.8; }
svg .tick { stroke: #888; }
svg .burnin { fill: #000; fill-opacity: 0.08; }
svg .guide { stroke: #666; stroke-dasharray: 4 3; }
svg .series { fill: none; stroke-width: 1.1; }
pre { white-space: pre-wrap; word-break: break-all; background: #f6f6f6; padding: 8px;
      border: 1px solid var(--line); font-size: 0.85em; max-height: 18em; overflow: auto; }
.keys span { margin-right: 1em; white-space: nowrap; }
.keys i { display: inline-block; width: 0.9em; height: 0.9em; margin-right: 0.3em;
          vertical-align: -0.1em; border-radius: 50%; }
#map-box { position: relative; max-width: 820px; }
#map-svg { width: 100%; height: auto; border: 1px solid var(--line); cursor: grab;
       touch-action: none; background: #fff; }
#map-svg circle { stroke: #fff; stroke-width: 0.4; }
#map-svg circle.hot { stroke: #000; stroke-width: 1.5; }
#map-tip { position: absolute; pointer-events: none; background: #fff; border: 1px solid #444;
           padding: 3px 6px; font-size: 0.85em; display: none; white-space: nowrap; }
.note { color: var(--muted); font-size: 0.9em; }
@media print {
  body { max-width: none; padding: 0; font-size: 10pt; }
  nav, .controls { display: none; }
  section { overflow: visible; break-inside: auto; }
  h2 { break-after: avoid; }
  figure, table { break-inside: avoid; }
  pre { max-height: none; overflow: visible; }
  .ok, .warn, .bad { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
}
"""

# The tree-space map: points from the JSON block #map-data drawn as SVG circles; wheel or
# buttons zoom about the pointer, dragging pans, double-click resets; hovering names the
# tree; the colour follows the run, the generation or the log-likelihood.
SCRIPT = r"""
(function () {
  "use strict";
  var src = document.getElementById("map-data");
  if (!src) return;
  var d = JSON.parse(src.textContent);
  var svg = document.getElementById("map-svg"), tip = document.getElementById("map-tip");
  var NS = "http://www.w3.org/2000/svg", W = 640, H = 480, M = 12;
  var n = d.x.length, dots = [];
  function bounds(v) {
    var lo = Infinity, hi = -Infinity;
    for (var i = 0; i < v.length; i++) { if (v[i] < lo) lo = v[i]; if (v[i] > hi) hi = v[i]; }
    if (!(hi > lo)) { lo -= 1; hi += 1; }
    var pad = (hi - lo) * 0.04; return [lo - pad, hi + pad];
  }
  var home = {x: bounds(d.x), y: bounds(d.y)}, view = {x: home.x.slice(), y: home.y.slice()};
  function sx(v) { return M + (v - view.x[0]) / (view.x[1] - view.x[0]) * (W - 2 * M); }
  function sy(v) { return H - M - (v - view.y[0]) / (view.y[1] - view.y[0]) * (H - 2 * M); }
  function span(v) {
    var lo = Infinity, hi = -Infinity;
    for (var i = 0; i < v.length; i++) { if (v[i] < lo) lo = v[i]; if (v[i] > hi) hi = v[i]; }
    return [lo, hi];
  }
  var spans = {gen: span(d.gen), lnl: d.lnl ? span(d.lnl) : [0, 0]};
  function ramp(t) {  // dark blue to yellow, readable by colour-blind eyes
    var a = [13, 8, 135], b = [240, 249, 33], c = [204, 70, 120], r = [];
    for (var k = 0; k < 3; k++) r.push(Math.round(t < 0.5 ? a[k] + (c[k] - a[k]) * 2 * t
                                                  : c[k] + (b[k] - c[k]) * (2 * t - 1)));
    return "rgb(" + r.join(",") + ")";
  }
  var by = "run";
  function fill(i) {
    if (by === "run") return d.colours[d.run[i]];
    var s = spans[by];
    return ramp(s[1] > s[0] ? (d[by][i] - s[0]) / (s[1] - s[0]) : 0);
  }
  var cells = [], dens = d.density;  // every tree, binned: grey cells behind the points
  if (dens) {
    var most = 0, dx = (dens.x1 - dens.x0) / dens.nx, dy = (dens.y1 - dens.y0) / dens.ny;
    for (var q = 0; q < dens.counts.length; q++) if (dens.counts[q] > most) most = dens.counts[q];
    for (var q2 = 0; q2 < dens.counts.length; q2++) {
      if (!dens.counts[q2]) continue;
      var cell = document.createElementNS(NS, "rect"), gx = q2 % dens.nx,
          gy = Math.floor(q2 / dens.nx);
      cell.setAttribute("class", "density");
      cell.setAttribute("fill", "#555");
      cell.setAttribute("fill-opacity", (0.08 + 0.5 * Math.sqrt(dens.counts[q2] / most)).toFixed(3));
      svg.appendChild(cell);
      cells.push([cell, dens.x0 + gx * dx, dens.y0 + gy * dy, dx, dy]);
    }
  }
  for (var j = 0; j < n; j++) {
    var c = document.createElementNS(NS, "circle");
    c.setAttribute("r", "3.2"); c.setAttribute("data-i", j); svg.appendChild(c); dots.push(c);
  }
  function draw() {
    for (var k = 0; k < cells.length; k++) {
      var e = cells[k], left = sx(e[1]), top = sy(e[2] + e[4]);
      e[0].setAttribute("x", left.toFixed(1)); e[0].setAttribute("y", top.toFixed(1));
      e[0].setAttribute("width", (sx(e[1] + e[3]) - left).toFixed(1));
      e[0].setAttribute("height", (sy(e[2]) - top).toFixed(1));
    }
    for (var i = 0; i < n; i++) {
      dots[i].setAttribute("cx", sx(d.x[i]).toFixed(1));
      dots[i].setAttribute("cy", sy(d.y[i]).toFixed(1));
      dots[i].setAttribute("fill", fill(i));
    }
  }
  function at(ev) {  // the data coordinates under the pointer
    var r = svg.getBoundingClientRect();
    var vx = (ev.clientX - r.left) / r.width * W, vy = (ev.clientY - r.top) / r.height * H;
    return [view.x[0] + (vx - M) / (W - 2 * M) * (view.x[1] - view.x[0]),
            view.y[0] + (H - M - vy) / (H - 2 * M) * (view.y[1] - view.y[0])];
  }
  function zoom(f, cx, cy) {
    view.x = [cx + (view.x[0] - cx) * f, cx + (view.x[1] - cx) * f];
    view.y = [cy + (view.y[0] - cy) * f, cy + (view.y[1] - cy) * f];
    draw();
  }
  svg.addEventListener("wheel", function (ev) {
    ev.preventDefault(); var p = at(ev); zoom(ev.deltaY < 0 ? 0.8 : 1.25, p[0], p[1]);
  }, {passive: false});
  var drag = null;
  svg.addEventListener("pointerdown", function (ev) { drag = at(ev); svg.style.cursor = "grabbing"; });
  window.addEventListener("pointerup", function () { drag = null; svg.style.cursor = ""; });
  svg.addEventListener("pointermove", function (ev) {
    if (!drag) return;
    var p = at(ev), dx = drag[0] - p[0], dy = drag[1] - p[1];
    view.x = [view.x[0] + dx, view.x[1] + dx]; view.y = [view.y[0] + dy, view.y[1] + dy];
    draw();
  });
  function reset() { view = {x: home.x.slice(), y: home.y.slice()}; draw(); }
  svg.addEventListener("dblclick", reset);
  svg.addEventListener("mouseover", function (ev) {
    var i = ev.target.getAttribute && ev.target.getAttribute("data-i");
    if (i === null || i === undefined) return;
    i = +i; ev.target.classList.add("hot");
    var lines = ["run: " + d.labels[d.run[i]], "tree: " + d.name[i],
                 d.gen_name + ": " + d.gen[i]];
    if (d.lnl) lines.push(d.lnl_name + ": " + d.lnl[i]);
    tip.textContent = ""; lines.forEach(function (t, k) {
      if (k) tip.appendChild(document.createElement("br"));
      tip.appendChild(document.createTextNode(t));
    });
    var box = svg.parentNode.getBoundingClientRect();
    tip.style.left = (ev.clientX - box.left + 12) + "px";
    tip.style.top = (ev.clientY - box.top + 12) + "px";
    tip.style.display = "block";
  });
  svg.addEventListener("mouseout", function (ev) {
    if (ev.target.classList) ev.target.classList.remove("hot");
    tip.style.display = "none";
  });
  document.getElementById("map-in").onclick = function () {
    zoom(0.7, (view.x[0] + view.x[1]) / 2, (view.y[0] + view.y[1]) / 2); };
  document.getElementById("map-out").onclick = function () {
    zoom(1 / 0.7, (view.x[0] + view.x[1]) / 2, (view.y[0] + view.y[1]) / 2); };
  document.getElementById("map-reset").onclick = reset;
  document.getElementById("map-colour").onchange = function (ev) { by = ev.target.value; draw(); };
  draw();
})();
"""


def json_block(element_id: str, data: Any) -> str:
    """Data for the page's script, safe inside HTML (no ``</script>`` can close it)."""
    text = json.dumps(data, separators=(",", ":"), allow_nan=False)
    text = text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")
    return f'<script type="application/json" id="{element_id}">{text}</script>'


def document(title: str, sections: Sequence[Tuple[str, str, str]]) -> str:
    """The page: ``sections`` as (id, heading, inner HTML), with a table of contents."""
    nav = " ".join(f'<a href="#{sid}">{escape(head)}</a>' for sid, head, _ in sections)
    body = "\n".join(f'<section id="{sid}"><h2>{escape(head)}</h2>\n{inner}\n</section>'
                     for sid, head, inner in sections)
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
            f"<title>{escape(title)}</title><style>{STYLE}</style></head>\n<body>"
            f"<h1>{escape(title)}</h1><nav>{nav}</nav>\n{body}\n"
            f"<script>{SCRIPT}</script></body></html>\n")

"""The page ``kestrilune watch --report`` rewrites at each diagnostic point: the runs, the
ASDSF, smallest split ESS and smallest topological ESS so far, and the last point's splits and parameters, made from
the point records alone (no file is read again), with the charts and cells of the report
page."""

from __future__ import annotations

from html import escape
from typing import Mapping, Optional, Sequence, Tuple

import numpy as np

from ...analyses.converge import THRESHOLDS
from . import _asdsf_class, _cell, _ess_class, _f, _figure, _psrf_class, page, svg

__all__ = ["watch_page"]

Record = Mapping[str, object]


def _num(x: object) -> Optional[float]:
    return None if x is None else float(x)  # type: ignore[arg-type]


def _low(r: Record, key: str = "split_ess") -> Optional[float]:
    """The smallest split ESS (or topological ESS: ``key="topo_ess"``) of a point."""
    return _num((r.get(key) or {}).get("min"))  # type: ignore[attr-defined]


def _topo_text(r: Record) -> str:
    """The smallest topological ESS, "<" before it when it is an upper bound."""
    low = _low(r, "topo_ess")
    upper = (r.get("topo_ess") or {}).get("operator") == "<"  # type: ignore[attr-defined]
    return ("<" if upper and low is not None else "") + _f(low, 1)


def _chart(history: Sequence[Record], key: str, title: str, guide: float,
           caption: str) -> str:
    pick = [(float(r["generation"]),  # type: ignore[arg-type]
             _low(r, key) if key.endswith("_ess") else _num(r[key])) for r in history]
    points = [(g, y) for g, y in pick if y is not None]
    if len(points) < 2:
        return f"<p>{escape(title)}: too few points yet.</p>"
    x, y = np.array(points, dtype=float).T
    return _figure(svg.line_chart([svg.Series(title, x, y, svg.colour(0))], title,
                                  "generation", title, guide=guide), caption)


def watch_page(history: Sequence[Record], runs: Sequence[Tuple[str, int, Optional[int]]],
               settings: str, stop: str = "") -> str:
    """The page after the points ``history`` (the JSON records of ``watch``); ``runs``:
    (file, trees read, last generation) per run; ``settings`` and ``stop``: one line each
    on how the points are made and on the stop rule."""
    rows = "".join(f"<tr><th>{escape(name)}</th><td class=\"num\">{t}</td>"
                   f"<td class=\"num\">{'-' if g is None else g}</td></tr>"
                   for name, t, g in runs)
    state = (f"<table><tr><th>run</th><th>trees read</th><th>last generation</th></tr>"
             f"{rows}</table><p>{escape(settings)}</p>" +
             (f"<p>{escape(stop)}</p>" if stop else ""))
    sections = [("runs", "Runs", state)]
    if not history:
        sections.append(("points", "Diagnostic points", "<p>No diagnostic point yet.</p>"))
        return page.document("kestrilune watch", sections)
    last = history[-1]
    trend = "".join(
        f"<tr><td class=\"num\">{r['generation']}</td>"
        + _cell(_num(r["asdsf"]), None, _f(_num(r["asdsf"]), 6), _asdsf_class(_num(r["asdsf"])))
        + f"<td class=\"num\">{r['splits']}</td>"
        + _cell(_low(r), None, _f(_low(r), 1), _ess_class(_low(r)))
        + _cell(_low(r, "topo_ess"), None, _topo_text(r), _ess_class(_low(r, "topo_ess")))
        + _cell(_num(r.get("psrf")), None, _f(_num(r.get("psrf")), 3),
                _psrf_class(_num(r.get("psrf"))))
        + _cell(_num(r.get("ess")), None, _f(_num(r.get("ess")), 1),
                _ess_class(_num(r.get("ess")))) + "</tr>"
        for r in history[::-1][:20])
    points = (
        _chart(history, "asdsf", "ASDSF", THRESHOLDS["asdsf"][0],
               f"ASDSF at each point ({last['rule']}, as MrBayes' .mcmc); dashed: 0.01")
        + _chart(history, "split_ess", "smallest split ESS", THRESHOLDS["ess"][0],
                 "the smallest split ESS over the splits of the ASDSF and the runs; "
                 "dashed: 200")
        + _chart(history, "topo_ess", "smallest topological ESS", THRESHOLDS["ess"][0],
                 "the smallest topological ESS over the runs (RWTY's approximate ESS of the "
                 "RF distances, as converge gives it); dashed: 200")
        + "<table><tr><th>generation</th><th>ASDSF</th><th>splits</th><th>split ESS min"
          "</th><th>topo ESS min</th><th>PSRF max</th><th>ESS min</th></tr>" + trend
        + "</table><p>The last 20 points, newest first. Split ESS: "
        + escape(str(last.get("split_ess", {}).get("rule", "")))  # type: ignore[attr-defined]
        + "; topological ESS: "
        + escape(str((last.get("topo_ess") or {}).get("rule", "")))  # type: ignore[attr-defined]
        + " (&lt;: an upper bound); parameters: as MrBayes' sump.</p>")
    sections.append(("points", "Diagnostic points", points))
    split_rows = (last.get("split_frequencies") or {}).get("rows") or []  # type: ignore[attr-defined]
    if split_rows:
        n_runs = len(split_rows[0]["frequencies"])
        head = "".join(f"<th>freq run{r + 1}</th>" for r in range(n_runs)) + \
            "".join(f"<th>ESS run{r + 1}</th>" for r in range(n_runs))
        body = ""
        for s in split_rows:
            ess = s.get("ess") or [None] * n_runs
            body += (f"<tr><td class=\"num\">{_f(_num(s['sd']), 4)}</td>"
                     + "".join(f"<td class=\"num\">{f:.3f}</td>" for f in s["frequencies"])
                     + "".join(_cell(_num(e), None, _f(_num(e), 1), _ess_class(_num(e)))
                               for e in ess)
                     + f"<td><code>{escape(s['partition'])}</code></td>"
                     f"<td>{escape(s['leaves'])}</td></tr>")
        sections.append((
            "splits", f"Splits at generation {last['generation']}",
            f"<table><tr><th>SD</th>{head}<th>partition</th><th>leaves</th></tr>{body}"
              "</table><p>The splits of the ASDSF with the largest standard deviation of "
              "their frequencies across runs; partition: MrBayes' pattern in the file's "
              "taxon order.</p>"))
    return page.document("kestrilune watch", sections)

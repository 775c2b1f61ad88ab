"""One self-contained HTML page of a whole analysis: the verdict, the traces, split
frequencies, topology probabilities, the consensus tree, a tree-space map to explore, and
the record of settings, input files and versions.

    >>> rep = diagnose(["analysis"], burnin="25%")
    >>> html = report_page(rep, params=prep, logs=logs, files=[...], versions={...})

Every chart is inline SVG drawn here and the map's script is a few kilobytes of plain
JavaScript, so the page opens offline in any browser, holds no library, and stays small:
its size grows with the points drawn, which are capped (traces: the lowest and highest
sample in each of ``TRACE_BINS`` columns per run and series; the map: ``MAP_POINTS``
trees, evenly spaced within each run), never with the number of trees. Every statistic shown carries its full-precision value and its place in
``converge --json`` (``data-key``), so the page can be checked against that file.
"""

from __future__ import annotations

import hashlib
import json
import math
import os
from contextlib import nullcontext
from datetime import datetime, timezone
from html import escape
from typing import (
    TYPE_CHECKING, Any, Callable, ContextManager, Dict, List, Mapping, Optional, Sequence,
    Tuple, Union,
)

import numpy as np

from ...analyses.converge import THRESHOLDS
from ...analyses.params import PARAMETER_GUIDES
from ...analyses.summaries import majority_consensus, topology_probabilities
from ...table.splits import from_table
from ..plots import pcoa
from . import page, svg

if TYPE_CHECKING:
    from ...analyses.converge import ConvergenceReport
    from ...analyses.params import ParameterReport
    from ...reading import ParameterLog, TreeSet

__all__ = ["report_page", "map_sample", "file_record", "MAP_POINTS", "TRACE_BINS",
           "TOPOLOGY_ROWS"]

MAP_POINTS = 2000  # trees on the map at most, shared evenly among the runs
MAP_BINS = (64, 48)  # cells of the density of every tree behind the drawn ones
_DENSITY_ROWS = 8192  # trees placed at a time (their distances to the drawn ones)
TRACE_BINS = 250  # columns of a trace: each shows its lowest and highest sample
TOPOLOGY_ROWS = 20  # rows of the topology table

Key = Sequence[Union[str, int]]
Phase = Callable[..., ContextManager[Any]]


def map_sample(rep: ConvergenceReport, limit: int = MAP_POINTS
               ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The trees of the map: at most ``limit // runs`` per run (at least one), evenly
    spaced over the run's trees after the burn-in, first and last included. Returns the
    indices into all trees, the run of each and its position within its run."""
    per_run = max(1, limit // len(rep.runs))
    idx: List[np.ndarray] = []
    start = 0
    for r in rep.runs:
        idx.append(start + r.burnin + svg.thin(r.n_used, per_run))
        start += r.n_trees
    runs = np.concatenate([np.full(len(p), g) for g, p in enumerate(idx)])
    starts = np.cumsum([0] + [r.n_trees for r in rep.runs])[:-1]
    at = np.concatenate(idx)
    return at, runs, at - starts[runs]


def file_record(path: str) -> Dict[str, object]:
    """Name, size and SHA-256 of an input file."""
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return {"path": path, "bytes": os.path.getsize(path), "sha256": h.hexdigest()}


# ----------------------------------------------------------------------------- cells


def _cell(value: Optional[float], key: Optional[Key], text: str, cls: str = "") -> str:
    """A table cell showing ``text`` for ``value``, with the value at full precision and
    its place in the JSON of the same analysis."""
    attrs = f' class="num {cls}"'
    if key is not None:
        v = "null" if value is None or not math.isfinite(value) else repr(float(value))
        attrs += f" data-key='{escape(json.dumps(list(key)), quote=True)}' data-value=\"{v}\""
    return f"<td{attrs}>{escape(text)}</td>"


def _f(x: Optional[float], digits: int) -> str:
    return "-" if x is None or not math.isfinite(x) else f"{x:.{digits}f}"


def _ess_class(x: Optional[float]) -> str:
    if x is None or not math.isfinite(x):
        return ""
    return "bad" if x < THRESHOLDS["ess"][0] else "warn" if x < THRESHOLDS["ess_625"][0] else "ok"


def _psrf_class(x: Optional[float]) -> str:
    if x is None or not math.isfinite(x):
        return ""
    return "ok" if x <= THRESHOLDS["psrf"][0] else "warn" if x <= 1.1 else "bad"


def _asdsf_class(x: Optional[float]) -> str:
    if x is None or not math.isfinite(x):
        return ""
    return "ok" if x < THRESHOLDS["asdsf"][0] else "warn" if x < 0.05 else "bad"


def _row(name: str, cells: str, why: str) -> str:
    return f"<tr><th>{escape(name)}</th>{cells}<td class=\"why\">{escape(why)}</td></tr>"


# ----------------------------------------------------------------------------- sections


def _verdict(rep: ConvergenceReport, prep: Optional[ParameterReport]) -> str:
    out = ['<p class="legend">Guide values from the literature, not a verdict: '
           '<span class="ok">within the guide</span><span class="warn">ESS below 625, '
           'PSRF above 1.01 or ASDSF at least 0.01</span><span class="bad">ESS below 200, '
           'PSRF above 1.1 or ASDSF at least 0.05</span></p>']
    if rep.asdsf:
        out.append('<h3>Across runs</h3><table id="verdict-runs"><tr><th>statistic</th>'
                   '<th>value</th><th>also</th><th>what it measures</th></tr>')
        for rule, a in rep.asdsf.items():
            out.append(_row(f"ASDSF ({rule})",
                            _cell(a.asdsf, ["asdsf", rule, "asdsf"], _f(a.asdsf, 6),
                                  _asdsf_class(a.asdsf)) +
                            _cell(a.msdsf, ["asdsf", rule, "msdsf"],
                                  f"max {_f(a.msdsf, 6)}"),
                            f"average standard deviation of split frequencies between runs "
                            f"over {a.n_splits} splits ({a.description}); MSDSF the largest"))
        bl, gr = rep.branch_lengths, rep.branch_lengths_gr
        if bl is not None and gr is not None:
            out.append(_row("branch-length PSRF",
                            _cell(bl.max_psrf, ["branch_lengths", "max_psrf"],
                                  f"max {_f(bl.max_psrf, 3)}", _psrf_class(bl.max_psrf)) +
                            _cell(bl.mean_psrf, ["branch_lengths", "mean_psrf"],
                                  f"mean {_f(bl.mean_psrf, 3)}"),
                            "potential scale reduction of each split's branch length, as "
                            "MrBayes .vstat: near 1 when the runs sample alike"))
        out.append("</table>")
    out.append('<h3>Topological ESS per run</h3><table id="verdict-ess"><tr><th>run</th>'
               '<th>trees used</th><th>approx. ESS</th><th>pseudo-ESS min</th>'
               '<th>pseudo-ESS median</th><th>Fréchet ESS</th><th>split ESS min</th></tr>')
    for i, r in enumerate(rep.runs):
        ap, p, fr = r.approx, r.pseudo, r.frechet
        k: List[Union[str, int]] = ["runs", i]
        out.append(
            f"<tr><th>{escape(r.label)}</th>"
            + _cell(r.n_used, k + ["used"], str(r.n_used))
            + (_cell(ap.ess, k + ["approx_ess", "ess"],
                     f"{'<' if ap.operator == '<' else ''}{_f(ap.ess, 1)}", _ess_class(ap.ess))
               if ap else _cell(None, None, "-"))
            + (_cell(p.minimum, k + ["pseudo_ess", "min"], _f(p.minimum, 1),
                     _ess_class(p.minimum)) +
               _cell(p.median, k + ["pseudo_ess", "median"], _f(p.median, 1),
                     _ess_class(p.median)) if p else _cell(None, None, "-") * 2)
            + (_cell(fr.ess, k + ["frechet_ess", "ess"], _f(fr.ess, 1), _ess_class(fr.ess))
               if fr else _cell(None, None, "-"))
            + _cell(r.min_split_ess, k + ["split_ess", "min"], _f(r.min_split_ess, 1),
                    _ess_class(r.min_split_ess)) + "</tr>")
    out.append("</table><ul class=\"note\">"
               "<li>approx. ESS: RWTY's approximate topological ESS, from how the distance "
               "between trees grows with their lag.</li>"
               "<li>pseudo-ESS: Tracer's ESS of the distance to each tree taken as the "
               "reference (Lanfear et al. 2016); the smallest and the median.</li>"
               "<li>Fréchet ESS: from the spread of the trees about their Fréchet mean "
               "(Magee et al. 2024).</li>"
               "<li>split ESS: Tracer's ESS of each split's presence, the lowest of the "
               "split table.</li></ul>")
    if prep is not None:
        out.append('<h3>Parameters</h3><table id="verdict-params"><tr><th>parameter</th>'
                   '<th>mean</th><th>95% HPD</th><th>min ESS</th><th>PSRF</th>'
                   '<th>PSRF (Gelman-Rubin)</th></tr>')
        for j, d in enumerate(prep.parameters.values()):
            k = ["parameters", "parameters", j]
            s = d.sump
            out.append(
                f"<tr><th>{escape(d.name)}</th>"
                + _cell(s.mean, k + ["mrbayes-sump", "mean"], svg.num(s.mean))
                + f'<td class="num">{svg.num(s.lower)} … {svg.num(s.upper)}</td>'
                + _cell(d.min_ess, k + ["tracer", "min_ess"], _f(d.min_ess, 1),
                        _ess_class(d.min_ess))
                + _cell(s.psrf, k + ["mrbayes-sump", "psrf"], _f(s.psrf, 3),
                        _psrf_class(s.psrf))
                + _cell(d.psrf_gelman_rubin, k + ["gelman-rubin", "psrf"],
                        _f(d.psrf_gelman_rubin, 3), _psrf_class(d.psrf_gelman_rubin))
                + "</tr>")
        out.append("</table><p class=\"note\">Mean, 95% HPD and PSRF as MrBayes' sump "
                   "(runs pooled); min ESS: Tracer's, in the poorest run; Gelman-Rubin PSRF "
                   "with each run's own variance. " +
                   escape("; ".join(t for _, t in PARAMETER_GUIDES.values())) + "</p>")
    notes = list(rep.notes) + (list(prep.notes) if prep is not None else [])
    if notes:
        out.append("<ul class=\"note\">" + "".join(f"<li>{escape(n)}</li>" for n in notes)
                   + "</ul>")
    return "\n".join(out)


def _figure(chart: str, caption: str) -> str:
    return f"<figure>{chart}<figcaption>{escape(caption)}</figcaption></figure>"


def _keys(labels: Sequence[str]) -> str:
    return '<p class="keys">' + "".join(
        f'<span><i style="background:{svg.colour(g)}"></i>{escape(lab)}</span>'
        for g, lab in enumerate(labels)) + "</p>"


def _x_axis(rep: ConvergenceReport, gens: Optional[Sequence[int]]
            ) -> Tuple[List[np.ndarray], str, float]:
    """Per run, the x of each tree (its generation, else its sample number), the axis
    name, and where the burn-in ends (the latest over the runs)."""
    xs: List[np.ndarray] = []
    start, end = 0, -math.inf
    for r in rep.runs:
        x = np.asarray(gens[start:start + r.n_trees], dtype=float) if gens is not None \
            else np.arange(1, r.n_trees + 1, dtype=float)
        xs.append(x)
        if r.burnin:
            end = max(end, float(x[r.burnin - 1]))
        start += r.n_trees
    return xs, "generation" if gens is not None else "sample", end


def _traces(rep: ConvergenceReport, gens: Optional[Sequence[int]],
            logs: Optional[Sequence[ParameterLog]], prep: Optional[ParameterReport]) -> str:
    labels = [r.label for r in rep.runs]
    out = [_keys(labels)]
    sd = rep.splits
    figs = []
    if sd is not None and sd.table is not None:
        # The reference: the last tree of the first run, a tree of the stationary part.
        ref = rep.runs[0].n_trees - 1
        row = np.asarray(sd.table.block("rf", np.array([ref], dtype=np.uint32),
                                        np.arange(sd.n_trees, dtype=np.uint32)))[0]
        xs, x_name, end = _x_axis(rep, gens)
        series, start = [], 0
        for g, (r, x) in enumerate(zip(rep.runs, xs)):
            y = row[start:start + r.n_trees].astype(float)
            keep = svg.extremes(y, TRACE_BINS)
            series.append(svg.Series(r.label, x[keep], y[keep], svg.colour(g)))
            start += r.n_trees
        figs.append(_figure(svg.line_chart(series, "topological trace", x_name,
                                           "RF distance", shade_to=end),
                            f"Robinson-Foulds distance of every tree to the last tree of "
                            f"{labels[0]}; burn-in shaded"))
    if logs is not None and prep is not None:
        for j, name in enumerate(prep.parameters):
            series, end = [], -math.inf
            for g, (log, b) in enumerate(zip(logs, prep.burnin)):
                keep = svg.extremes(log.values[:, j], TRACE_BINS)
                series.append(svg.Series(labels[g] if g < len(labels) else log.path,
                                         log.steps[keep], log.values[keep, j], svg.colour(g)))
                if b:
                    end = max(end, float(log.steps[b - 1]))
            figs.append(_figure(svg.line_chart(series, name, prep.step_name, name,
                                               shade_to=end), f"{name}; burn-in shaded"))
    out.append('<div class="grid">' + "".join(figs) + "</div>")
    out.append(f'<p class="note">A trace of more than {2 * TRACE_BINS} samples per run is '
               f"drawn from the lowest and the highest sample in each of {TRACE_BINS} equal "
               "stretches of the run, so that no spike is lost.</p>")
    return "\n".join(out)


def _asdsf_trace(rep: ConvergenceReport) -> str:
    t = rep.trace
    assert t is not None and len(t.generation)
    chart = svg.line_chart([svg.Series("ASDSF", t.generation.astype(float),
                                       np.asarray(t.asdsf, dtype=float), svg.colour(0))],
                           "ASDSF trace", "generation" if t.in_generations else "sample",
                           "ASDSF", guide=THRESHOLDS["asdsf"][0])
    return _figure(chart, f"ASDSF every {t.every} "
                          f"{'generations' if t.in_generations else 'samples'}, as MrBayes "
                          f"writes it to its .mcmc file; dashed: 0.01")


def _split_scatter(rep: ConvergenceReport) -> str:
    t = rep.table
    f = t.frequencies
    figs = []
    for b in range(1, len(t.run_labels)):
        tips = [f"{lab}: {f[i, 0]:.3f} / {f[i, b]:.3f}" for i, lab in enumerate(t.labels)]
        figs.append(_figure(svg.scatter(f[:, 0], f[:, b], tips, "split frequencies",
                                        t.run_labels[0], t.run_labels[b]),
                            f"frequency of each split in {t.run_labels[0]} and "
                            f"{t.run_labels[b]} ({len(t.labels)} splits of frequency at "
                            f"least {t.min_freq} in some run)"))
    return '<div class="grid">' + "".join(figs) + "</div>"


def _after_burnin(rep: ConvergenceReport) -> Any:
    """The split data of the trees after each run's burn-in (a table taken from the one
    read, no tree parsed again)."""
    sd = rep.splits
    assert sd is not None
    idx, start = [], 0
    for r in rep.runs:
        idx.append(np.arange(start + r.burnin, start + r.n_trees))
        start += r.n_trees
    table = sd.table.take(np.concatenate(idx).astype(np.uint32))
    return from_table(table, group_labels=sd.group_labels, parents=False)


def _summaries(rep: ConvergenceReport) -> Tuple[str, str]:
    post = _after_burnin(rep)
    topo = topology_probabilities(post)
    rows = ['<table id="topologies"><tr><th>rank</th><th>probability</th>'
            '<th>cumulative</th>' +
            "".join(f"<th>{escape(lab)}</th>" for lab in post.group_labels) +
            "<th>topology</th></tr>"]
    for k in range(min(TOPOLOGY_ROWS, len(topo))):
        newick = topo.tree(k).to_newick(support=False, lengths=False)
        rows.append(f"<tr><td class=\"num\">{k + 1}</td>"
                    f"<td class=\"num\">{topo.probabilities[k]:.4f}</td>"
                    f"<td class=\"num\">{topo.cumulative[k]:.4f}</td>" +
                    "".join(f"<td class=\"num\">{int(c)}</td>" for c in topo.group_counts[k])
                    + f"<td><code>{escape(newick)}</code></td></tr>")
    rows.append("</table>")
    shown = min(TOPOLOGY_ROWS, len(topo))
    topo_html = (f"<p>{len(topo)} distinct topologies among {topo.n_trees} trees after the "
                 f"burn-in; {topo.n_credible} make the {topo.credible_mass:.0%} credible set. "
                 f"The {shown} most probable:</p>" + "".join(rows))
    tree = majority_consensus(post)
    cons = (f"<p>Majority-rule consensus of {tree.n_trees} trees after the burn-in, "
            f"{tree.n_clades} clades; support is the share of trees holding the split, "
            "branch lengths their mean; drawn without lengths"
            f"{'' if tree.rooted else ', from the first taxon as MrBayes draws it'}.</p>"
            f'<div class="tree-box">{_cladogram(tree)}</div><p>In Newick:</p>'
            f'<pre id="consensus-newick">{escape(tree.to_newick(precision=4))}</pre>')
    return topo_html, cons + _dated(tree, post)


def _dated(tree: Any, post: Any) -> str:
    """The consensus as a time tree (mean node heights with their 95% HPD, as
    TreeAnnotator gives them), for rooted trees with branch lengths; else nothing."""
    from ...analyses.summaries.annotate import annotate_splits, target_from_clades

    if not tree.rooted or post.lengths is None or not post.has_parents or \
            not np.any(post.lengths != 0.0):
        return ""
    try:
        [at] = annotate_splits([target_from_clades(tree.membership)], post, heights="mean")
    except ValueError:
        return ""
    t = at.target
    hpd: List[Optional[Tuple[float, float]]] = []
    support: List[Optional[float]] = []
    for a in at.annotations:
        b, p = a.get("height_95%_HPD"), a.get("posterior")
        hpd.append((float(b[0]), float(b[1])) if isinstance(b, tuple) and len(b) == 2
                   else None)
        support.append(float(p) if isinstance(p, float) else None)
    chart = svg.chronogram(t.parent, t.leaf, at.heights, hpd, support, tree.leaf_names,
                           "dated consensus tree")
    return ("<p>The same tree dated: every node at the mean height of its clade over the "
            "trees holding it, with the 95% HPD interval of that height as a bar "
            "(TreeAnnotator's mean heights).</p>"
            f'<div class="tree-box" id="dated-tree">{chart}</div>')


def _cladogram(tree: Any) -> str:
    lay = tree.layout()
    return svg.cladogram(lay.parent, lay.leaf, lay.size, tree.leaf_names,
                         [float(tree.support[r]) for r in lay.rows], "consensus tree")


def _map(rep: ConvergenceReport, gens: Optional[Sequence[int]],
         logs: Optional[Sequence[ParameterLog]], limit: int) -> str:
    sd = rep.splits
    assert sd is not None
    idx, runs, pos = map_sample(rep, limit)
    # Drawn interleaved, each run's trees in turn, so no run hides another where they meet.
    order = np.lexsort((runs, pos / np.array([r.n_trees for r in rep.runs])[runs]))
    idx, runs, pos = idx[order], runs[order], pos[order]
    metric = str(rep.settings.get("metric", "rf"))
    table = sd.table
    if metric == "rf":
        dist = table.block("rf", idx.astype(np.uint32), idx.astype(np.uint32),
                           dtype="uint32")
    else:
        dist = table.take(idx.astype(np.uint32)).block(metric)
    coords, share = pcoa(np.asarray(dist), 2)
    total = sum(r.n_used for r in rep.runs)
    density = _density(rep, table, metric, idx, np.asarray(dist), coords) \
        if total > len(idx) else None
    data: Dict[str, Any] = {
        "x": [round(float(v), 6) for v in coords[:, 0]],
        "y": [round(float(v), 6) for v in coords[:, 1]],
        "run": runs.tolist(), "name": [sd.tree_names[i] for i in idx.tolist()],
        "gen": [int(gens[i]) for i in idx.tolist()] if gens is not None
        else (pos + 1).tolist(),
        "gen_name": "generation" if gens is not None else "sample",
        "labels": [r.label for r in rep.runs],
        "colours": [svg.colour(g) for g in range(len(rep.runs))],
    }
    if density is not None:
        data["density"] = density
    lnl = _likelihoods(rep, logs, runs, pos)
    if lnl is not None:
        data["lnl_name"], values = lnl
        data["lnl"] = [float(f"{v:.8g}") for v in values]
    per_run = max(1, limit // len(rep.runs))
    return (f'<p id="map-count">Principal coordinates of the {metric.upper()} distances '
            f'between <b data-count="{len(idx)}">{len(idx)}</b> of {total} trees after the '
            f"burn-in: at most {per_run} per run (at most {limit} in all), evenly spaced "
            f"within each run. Axis 1 carries {share[0]:.1%} and axis 2 {share[1]:.1%} of "
            "the variance (each eigenvalue over the sum of the positive ones)."
            + (" Trees of one topology share a point." if metric == "rf" else "")
            + (f" The grey cells behind the points are the density of all {total} trees, "
               "each placed by its distances to the drawn ones (landmark scaling, de Silva "
               "& Tenenbaum 2004); darker cells hold more trees." if density else "")
            + "</p>"
            + _keys(data["labels"]) +
            '<p class="controls">Colour by <select id="map-colour"><option value="run">run'
            '</option><option value="gen">generation</option>' +
            (f'<option value="lnl">{escape(data["lnl_name"])}</option>' if lnl else "") +
            '</select> '
            '<button id="map-in" type="button">zoom in</button> '
            '<button id="map-out" type="button">zoom out</button> '
            '<button id="map-reset" type="button">reset</button> '
            "<span class=\"note\">wheel: zoom; drag: pan; double-click: reset; hover: the "
            "tree</span></p>"
            '<div id="map-box"><svg id="map-svg" viewBox="0 0 640 480" role="img" '
            'xmlns="http://www.w3.org/2000/svg"><title>tree-space map</title>'
            f'<text x="320" y="476" text-anchor="middle">axis 1 ({share[0]:.1%})</text>'
            f'<text transform="translate(10 240) rotate(-90)" text-anchor="middle">axis 2 '
            f'({share[1]:.1%})</text></svg>'
            '<div id="map-tip"></div></div>' + page.json_block("map-data", data))


def _density(rep: ConvergenceReport, table: Any, metric: str, idx: np.ndarray,
             dist: np.ndarray, coords: np.ndarray) -> Optional[Dict[str, Any]]:
    """Every tree after the burn-in placed on the map's axes by its distances to the drawn
    trees ``idx`` (rows and columns of ``dist``, ``coords`` their principal coordinates),
    as landmark scaling places a tree, and counted in MAP_BINS cells."""
    lam = (coords * coords).sum(axis=0)  # each axis' eigenvalue
    ok = lam > 0
    if not ok.any():
        return None
    d2 = dist.astype(np.float64) ** 2
    row_mean = d2.mean(axis=1)
    weights = np.zeros_like(coords)
    weights[:, ok] = coords[:, ok] / lam[ok]  # a drawn tree lands on its own point
    landmarks = idx.astype(np.uint32)
    placed = []
    start = 0
    for r in rep.runs:
        for a in range(start + r.burnin, start + r.n_trees, _DENSITY_ROWS):
            b = min(start + r.n_trees, a + _DENSITY_ROWS)
            block = np.asarray(table.block(metric, slice(a, b), landmarks), dtype=np.float64)
            placed.append(-0.5 * (block * block - row_mean[None, :]) @ weights)
        start += r.n_trees
    xy = np.concatenate(placed)
    nx, ny = MAP_BINS
    lo, hi = xy.min(axis=0), xy.max(axis=0)
    pad = np.where(hi > lo, (hi - lo) * 0.04, 1.0)
    lo, hi = lo - pad, hi + pad
    counts, _, _ = np.histogram2d(xy[:, 0], xy[:, 1], bins=(nx, ny),
                                  range=[(lo[0], hi[0]), (lo[1], hi[1])])
    return {"x0": float(lo[0]), "x1": float(hi[0]), "y0": float(lo[1]), "y1": float(hi[1]),
            "nx": nx, "ny": ny, "counts": counts.astype(np.int64).T.ravel().tolist(),
            "trees": int(len(xy))}


_LIKELIHOOD_NAMES = ("lnl", "likelihood", "loglikelihood", "log-likelihood")


def _likelihoods(rep: ConvergenceReport, logs: Optional[Sequence[ParameterLog]],
                 runs: np.ndarray, pos: np.ndarray) -> Optional[Tuple[str, List[float]]]:
    """The log-likelihood of each mapped tree, when every run's log has a sample per tree."""
    if not logs or len(logs) != len(rep.runs):
        return None
    names = [n.lower() for n in logs[0].names]
    col = next((names.index(n) for n in _LIKELIHOOD_NAMES if n in names), None)
    if col is None or any(log.n_rows != r.n_trees or log.names != logs[0].names
                          for log, r in zip(logs, rep.runs)):
        return None
    return logs[0].names[col], [float(logs[g].values[p, col])
                                for g, p in zip(runs.tolist(), pos.tolist())]


def _record(rep: ConvergenceReport, command: str, files: Sequence[Mapping[str, object]],
            versions: Mapping[str, str]) -> str:
    rows = "".join(f"<tr><th>{escape(str(k))}</th><td>{escape(str(v))}</td></tr>"
                   for k, v in rep.settings.items())
    frows = "".join(f"<tr><td>{escape(str(f['path']))}</td><td class=\"num\">{f['bytes']}"
                    f"</td><td><code>{f['sha256']}</code></td></tr>" for f in files)
    vrows = "".join(f"<tr><th>{escape(k)}</th><td>{escape(v)}</td></tr>"
                    for k, v in versions.items())
    made = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")
    return (f"<p>Made {made} by <code>{escape(command)}</code></p>"
            f'<h3>Settings</h3><table id="settings">{rows}</table>'
            '<h3>Input files</h3><table id="files"><tr><th>file</th><th>bytes</th>'
            f"<th>SHA-256</th></tr>{frows}</table>"
            f'<h3>Versions</h3><table id="versions">{vrows}</table>')


def report_page(rep: ConvergenceReport, *, treeset: Optional[TreeSet] = None,
                params: Optional[ParameterReport] = None,
                logs: Optional[Sequence[ParameterLog]] = None,
                files: Sequence[Mapping[str, object]] = (), command: str = "",
                versions: Optional[Mapping[str, str]] = None, map_points: int = MAP_POINTS,
                phase: Optional[Phase] = None) -> str:
    """The page of ``rep`` (made by ``diagnose``, which keeps its split data) with the
    parameter statistics and logs of the runs when there are some. ``treeset``: the trees
    the report came from (for their generations); ``files``: :func:`file_record` of each
    input; ``phase(label)``: a context manager around each step (a progress display)."""
    if rep.splits is None or rep.splits.table is None:
        raise ValueError("the report keeps no split table: make it with diagnose()")
    if map_points < 1:
        raise ValueError(f"map_points must be at least 1, got {map_points}")
    step = phase or (lambda label, **kw: nullcontext())
    gens = treeset.generations() if treeset is not None else None
    sections: List[Tuple[str, str, str]] = []
    with step("report: verdict and traces"):
        sections.append(("verdict", "Verdict", _verdict(rep, params)))
        sections.append(("traces", "Traces", _traces(rep, gens, logs, params)))
        if rep.trace is not None and len(rep.trace.generation):
            sections.append(("asdsf-trace", "ASDSF trace", _asdsf_trace(rep)))
        if len(rep.runs) > 1 and len(rep.table.split_ids):
            sections.append(("split-scatter", "Split frequencies between runs",
                             _split_scatter(rep)))
    with step("report: summary trees"):
        topo, cons = _summaries(rep)
    sections.append(("topologies", "Topology probabilities", topo))
    sections.append(("consensus", "Consensus tree", cons))
    with step("report: tree-space map"):
        sections.append(("map", "Tree-space map", _map(rep, gens, logs, map_points)))
    sections.append(("record", "Settings, files and versions",
                     _record(rep, command, files, versions or {})))
    title = "kestrilune report: " + ", ".join(r.label for r in rep.runs)
    return page.document(title, sections)

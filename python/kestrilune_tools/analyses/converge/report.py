"""All the diagnostics of one analysis in one call, with the settings and rules that made them.

    >>> rep = diagnose(["analysis"], burnin="25%")      # a MrBayes base name: its runs
    >>> rep.asdsf["mrbayes-sumt"].asdsf                  # 0.001672...
    >>> rep.runs[0].pseudo.minimum                       # min pseudo-ESS of run 1
    >>> rep.write_json("diagnostics.json")

Trees are read and parsed once (burn-in included, for the trace), into one split table
that every statistic is computed from: split frequencies, the ASDSF and its trace, the
branch lengths, and the distances of the ESS measures, taken from the table by blocks of
rows so that no run's whole distance matrix is ever held. Each statistic takes, per run,
the trees after the burn-in, computed as MrBayes does: ``int(fraction * trees)`` dropped,
or a fixed count. A statistic that cannot be computed (one run, too few trees, no split
passing a threshold) is ``None`` or NaN, with the reason in ``notes``.
"""

from __future__ import annotations

import json
import math
from contextlib import nullcontext
from dataclasses import dataclass, field, replace
from fractions import Fraction
from typing import (
    TYPE_CHECKING, Any, Callable, ContextManager, Dict, List, Optional, Sequence, Tuple, Union,
    cast,
)

import numpy as np

from ...reading import TreeSet, parse_burnin, read_trees
from ...reading.burnin import Burnin
from ...reading.runs import expand_runs
from ...table.engine import SplitTable, TreeSetError
from ...table.metrics import METRICS, Metric
from ...table.splits import SplitData, from_table, split_data
from . import ess as ess_mod
from . import splitfreq as sf

if TYPE_CHECKING:
    import os

    import kestrilune

__all__ = ["RunDiagnostics", "ConvergenceReport", "diagnose", "run_distances", "THRESHOLDS"]

# Guidance from the literature, printed beside the numbers; never turned into a verdict.
THRESHOLDS = {
    "asdsf": (0.01, "ASDSF below 0.01: runs agree on split frequencies (MrBayes manual)"),
    "psrf": (1.01, "PSRF close to 1 (below about 1.01-1.02) for every parameter"),
    "ess": (200, "ESS of at least 200 per run (Tracer's and RWTY's usual guide)"),
    "ess_625": (625, "ESS of at least 625 per run for a 95% interval as precise as its "
                     "frequency allows (Fabreti & Hoehna 2022)"),
}


@dataclass(frozen=True)
class RunDiagnostics:
    label: str
    path: str
    n_trees: int  # in the file
    burnin: int  # trees dropped
    approx: Optional[ess_mod.ApproxESS]
    pseudo: Optional[ess_mod.PseudoESS]
    frechet: Optional[ess_mod.FrechetESS]
    split_ess: np.ndarray  # Tracer's ESS of each table split's presence (NaN: constant)
    windows: Optional[sf.WindowFrequencies]
    # Trees after the burn-in with a NaN or infinite branch length: left out of the WRF/KF
    # ESS measures; their non-finite lengths are left out of the branch-length statistics.
    n_nonfinite: int = 0

    @property
    def n_used(self) -> int:
        return self.n_trees - self.burnin

    @property
    def min_split_ess(self) -> float:
        ok = self.split_ess[np.isfinite(self.split_ess)]
        return float(ok.min()) if len(ok) else math.nan


@dataclass(frozen=True)
class ConvergenceReport:
    settings: Dict[str, object]
    leaf_names: Tuple[str, ...]
    runs: List[RunDiagnostics]
    table: sf.SplitFrequencies  # the splits sumt's .tstat lists, most frequent first
    asdsf: Dict[str, sf.ASDSF]  # by rule; empty with one run
    trace: Optional[sf.ASDSFTrace]
    branch_lengths: Optional[sf.BranchLengthStats]  # PSRF as MrBayes' .vstat prints it
    branch_lengths_gr: Optional[sf.BranchLengthStats]  # textbook Gelman-Rubin PSRF
    notes: List[str] = field(default_factory=list)
    # The splits of every tree (burn-in included) that all of the above came from; its
    # native table gives any further block of distances (the tree-space map) unparsed.
    splits: Optional[SplitData] = field(default=None, repr=False, compare=False)

    def to_dict(self) -> Dict[str, Any]:
        """Every statistic at full double precision, with its settings and rule; NaN as
        None, so the result is plain JSON."""
        return _plain({
            "settings": self.settings,
            "thresholds": {k: {"value": v, "meaning": text}
                           for k, (v, text) in THRESHOLDS.items()},
            "leaves": list(self.leaf_names),
            "runs": [_run_dict(r) for r in self.runs],
            "asdsf": {rule: {"asdsf": a.asdsf, "msdsf": a.msdsf, "splits": a.n_splits,
                             "min_freq": a.min_freq, "trees_per_run": list(a.run_trees),
                             "rule": a.description}
                      for rule, a in self.asdsf.items()},
            "asdsf_trace": None if self.trace is None else {
                "rule": sf.RULE_TEXT[self.trace.rule], "every": self.trace.every,
                "unit": "generation" if self.trace.in_generations else "sample",
                "points": [{"at": int(g), "samples": s.tolist(), "used": u.tolist(),
                            "asdsf": a, "msdsf": m, "splits": int(k)}
                           for g, s, u, a, m, k in zip(
                               self.trace.generation, self.trace.samples, self.trace.used,
                               self.trace.asdsf, self.trace.msdsf, self.trace.n_splits)]},
            "splits": _table_dict(self.table, self.runs),
            "branch_lengths": _lengths_dict(self.branch_lengths, self.branch_lengths_gr),
            "notes": self.notes,
        })

    def write_json(self, path: Union[str, "os.PathLike[str]"]) -> None:
        with open(path, "w", encoding="utf-8") as out:
            json.dump(self.to_dict(), out, indent=1, allow_nan=False)
            out.write("\n")


def _plain(x: Any) -> Any:
    if isinstance(x, dict):
        return {str(k): _plain(v) for k, v in x.items()}
    if isinstance(x, (list, tuple)):
        return [_plain(v) for v in x]
    if isinstance(x, np.ndarray):
        return _plain(x.tolist())
    if isinstance(x, (np.integer,)):
        return int(x)
    if isinstance(x, (float, np.floating)):
        x = float(x)
        return x if math.isfinite(x) else None
    if isinstance(x, Fraction):
        return float(x)
    return x


def _run_dict(r: RunDiagnostics) -> Dict[str, object]:
    out = {"label": r.label, "path": r.path, "trees": r.n_trees, "burnin": r.burnin,
           "used": r.n_used, "nonfinite_length_trees": r.n_nonfinite}
    a = r.approx
    out["approx_ess"] = None if a is None else {
        "ess": a.ess, "operator": a.operator, "cutoff": a.cutoff, "max_lag": a.max_lag,
        "asymptote": a.asymptote, "scale": a.scale, "lag_mean_sq": a.lag_mean_sq,
        "rule": a.rule}
    p = r.pseudo
    out["pseudo_ess"] = None if p is None else {
        "min": p.minimum, "median": p.median, "per_reference": p.per_reference, "rule": p.rule}
    f = r.frechet
    out["frechet_ess"] = None if f is None else {
        "ess": f.ess, "tau": f.tau, "lags": f.lags_used, "rule": f.rule}
    out["split_ess"] = {"min": r.min_split_ess, "per_split": r.split_ess,
                        "rule": "Tracer ESS of each listed split's 0/1 presence"}
    w = r.windows
    out["windows"] = None if w is None else {
        "window": w.window, "acsf_sliding": w.acsf_sliding,
        "acsf_cumulative": w.acsf_cumulative,
        "rule": "RWTY slide.freq / cumulative.freq over non-trivial splits"}
    return out


def _table_dict(t: sf.SplitFrequencies, runs: List[RunDiagnostics]) -> Dict[str, object]:
    return {"rule": sf.RULE_TEXT[t.rule], "min_freq": t.min_freq,
            "rows": [{"leaves": t.labels[i], "partition": part, "count": int(t.total[i]),
                      "probability": t.probability[i], "sd": t.sd[i],
                      "frequencies": t.frequencies[i], "runs_present": int(t.runs_present[i]),
                      "ess": [r.split_ess[i] for r in runs]}
                     for i, part in enumerate(t.partition_strings())]}


def _lengths_dict(mb: Optional[sf.BranchLengthStats],
                  gr: Optional[sf.BranchLengthStats]) -> Optional[Dict[str, object]]:
    if mb is None:
        return None
    return {"psrf_rule": "MrBayes PotentialScaleReduction (as .vstat prints it: the sum of "
                         "squared deviations carries over from run to run)",
            "psrf_gelman_rubin_rule": "Gelman-Rubin with the within-run variance of each run",
            "mean_psrf": mb.mean_psrf, "max_psrf": mb.max_psrf,
            "rows": [{"leaves": mb.labels[i], "mean": mb.mean[i], "variance": mb.variance[i],
                      "psrf": mb.psrf[i], "psrf_gelman_rubin": gr.psrf[i],  # type: ignore[union-attr]  # gr comes with mb
                      "runs_present": int(mb.runs_present[i])}
                     for i in range(len(mb.split_ids))]}


def _burnin_value(burnin: Burnin) -> Union[int, float]:
    b = parse_burnin(burnin)
    return b if isinstance(b, int) else float(b)


def _split_data(ts: TreeSet, rooted: bool, step: Callable[..., ContextManager[Any]]
                ) -> SplitData:
    counter = _counter()
    with step("collecting splits", poll=_trees_poll(counter, len(ts))):
        try:
            return split_data(ts, rooted=rooted, lengths=True, progress=counter,
                              parents=False)
        except TreeSetError as exc:
            if exc.kind != "different_leaf_set":
                raise
            raise ValueError(f"the runs do not share one set of taxa: "
                             f"{ts.locate(exc.tree_index)} has other taxa than "  # type: ignore[arg-type]  # set for this kind
                             f"{ts.locate(0)}") from None


def diagnose(source: Union[str, Sequence[str], TreeSet], burnin: Burnin = "25%",
             min_freq: float = sf.DEFAULT_MIN_FREQ, rooted: bool = False, metric: Metric = "rf",
             diagn_every: Optional[int] = None, window: int = 20, ess: bool = True,
             phase: Optional[Callable[..., ContextManager[Any]]] = None,
             split_table: Optional[SplitTable] = None, client: Any = None
             ) -> ConvergenceReport:
    """Every diagnostic of the runs in ``source`` (files, MrBayes base names or a TreeSet
    whose files are the runs, all trees included). ``split_table``: the split table of that
    TreeSet (groups: its files; with lengths), when the caller has it already, as
    :func:`~kestrilune_tools.table.load.read_table` gives it.

    ``burnin``: per run, a count of trees or a fraction ("25%", 0.25); ``min_freq``: the
    threshold of the ASDSF rules and of the split table; ``metric``: the distance the ESS
    measures use ("rf", "wrf" or "kf"); ``diagn_every``: interval of the ASDSF trace (in
    generations when the tree names carry them); ``window``: trees per sliding window;
    ``ess=False`` skips the distance-based ESS measures; ``phase(label, total=None,
    unit="", poll=None)`` returns a context manager around each step, whose value (if not
    None) has ``advance(k)`` (a progress display such as the command's). ``client``: a
    ``distributed.Client`` whose workers compute the runs' distances for the ESS measures
    (the same numbers).
    """
    step = phase or (lambda label, **kw: nullcontext())
    b = _burnin_value(burnin)
    with step("reading trees"):
        ts = source if isinstance(source, TreeSet) else read_trees(expand_runs(source))
    if split_table is not None:
        if (split_table.n_trees != len(ts) or not split_table.has_lengths
                or split_table.rooted != rooted):
            raise ValueError("the table given is not one of these trees with branch lengths "
                             f"({'rooted' if rooted else 'unrooted'})")
        sd = from_table(split_table, group_labels=[f.label for f in ts.files],
                        parents=False)
    else:
        sd = _split_data(ts, rooted, step)
    layout = sf.run_layout(sd)
    lo, hi = sf._burnin_window(layout, b)
    for r in range(layout.n_runs):
        if hi[r] - lo[r] < 2:
            raise ValueError(f"run {layout.run_labels[r]!r} has {hi[r]} trees: the burn-in "
                             f"of {lo[r]} leaves {hi[r] - lo[r]}, and every statistic needs "
                             f"at least 2")
    notes: List[str] = []
    nonfinite = _nonfinite_trees(sd)
    multi = layout.n_runs >= 2
    if not multi:
        notes.append("one run: the ASDSF and the PSRF compare runs and need at least two; "
                      "the ESS measures are given")
    with step("split frequencies"):
        table = sf.split_frequencies(sd, layout, b, min_freq, "mrbayes-sumt")
        if ts.translate_maps:
            table = replace(table, taxon_order=sf.file_taxon_order(ts.translate_maps[0],
                                                                   sd.leaf_names))
        if len(table.split_ids) == 0:
            notes.append(f"no non-trivial split reaches frequency {min_freq} in any run")
        asdsf = {rule: sf.asdsf(sd, layout, b, rule, min_freq) for rule in sf.RULES} \
            if multi else {}
        trace = None
        if diagn_every is not None:
            trace = sf.asdsf_trace(sd, layout, diagn_every, b, min_freq) if multi else None
        mb = gr = None
        if multi:
            with_trivial = sf.split_frequencies(sd, layout, b, min_freq, "mrbayes-sumt",
                                                trivial=True)
            mb = sf.branch_length_stats(sd, layout, with_trivial.split_ids, b, "mrbayes")
            gr = sf.branch_length_stats(sd, layout, with_trivial.split_ids, b, "gelman-rubin")
    runs = []
    for r in range(layout.n_runs):
        label = layout.run_labels[r]
        info = ts.files[r]
        with step(f"split ESS {label}"):
            traces = sf.presence_traces(sd, layout, r, table.split_ids, b)
            split_ess = ess_mod.tracer_ess(traces) if len(traces) else np.zeros(0)
            try:
                windows = sf.window_frequencies(sd, layout, r, b, window, table.split_ids)
            except ValueError as exc:
                windows = None
                notes.append(str(exc))
        approx = pseudo = frechet = None
        after = (layout.run == r) & (layout.position >= lo[r])
        n_bad = int(np.count_nonzero(nonfinite & after))
        if ess:
            idx = np.flatnonzero(after & ~nonfinite if metric != "rf" else after)
            with step(f"ESS {label}", total=len(idx), unit="trees") as ph:
                approx, pseudo, frechet = _run_ess(run_distances(sd, idx, metric), label,
                                                   notes, ph, client)
        runs.append(RunDiagnostics(label=label, path=info.path, n_trees=int(hi[r]),
                                   burnin=int(lo[r]), approx=approx, pseudo=pseudo,
                                   frechet=frechet, split_ess=split_ess, windows=windows,
                                   n_nonfinite=n_bad))
    settings: Dict[str, object]
    settings = {"burnin": burnin if isinstance(burnin, (int, float)) else str(burnin),
                "min_freq": float(min_freq), "rooted": bool(rooted), "metric": metric,
                "diagn_every": diagn_every, "window": int(window),
                "splits": "rooted clades" if rooted else "unrooted bipartitions",
                "trivial_splits": "excluded (kept in the branch-length table)"}
    return ConvergenceReport(settings=settings, leaf_names=sd.leaf_names, runs=runs,
                             table=table, asdsf=asdsf, trace=trace, branch_lengths=mb,
                             branch_lengths_gr=gr, notes=notes, splits=sd)


def _nonfinite_trees(sd: SplitData) -> np.ndarray:
    """Per tree of ``sd``: whether one of its branch lengths is NaN or infinite."""
    if sd.lengths is None:
        return np.zeros(sd.n_trees, dtype=bool)
    bad = np.concatenate([[0], np.cumsum(~np.isfinite(sd.lengths))])
    return (bad[sd.indptr[1:]] - bad[sd.indptr[:-1]]) > 0


def _counter() -> kestrilune.ProgressCounter:
    import kestrilune

    return kestrilune.ProgressCounter()


def _trees_poll(counter: kestrilune.ProgressCounter, n_trees: int
                ) -> Callable[[], Tuple[str, int, int, str]]:
    def poll() -> Tuple[str, int, int, str]:
        return "collecting splits", counter.value(), n_trees, "trees"

    return poll


def run_distances(sd: SplitData, indices: Union[Sequence[int], np.ndarray], metric: Metric
                  ) -> ess_mod.RunDistances:
    """The distances among the trees ``indices`` of ``sd`` (one run after its burn-in, in
    sample order), computed block by block of rows when asked for: RF in the narrowest
    unsigned type that holds it, or float64 WRF/KF; the cells the ``kestrilune`` module
    gives for those trees alone.

    RF comes from ``sd``'s own table. A WRF or KF cell adds its terms in the order in
    which a call first meets the splits, so its last bits depend on the trees read before
    the pair: those distances come from ``SplitTable.take`` of the run's trees, a table as
    if they alone had been read (no tree is parsed again), which keeps them the run's own.
    """
    if metric not in METRICS:
        raise ValueError(f"unknown metric {metric!r}: choose rf, wrf or kf")
    if sd.table is None:
        raise ValueError("these split data carry no native split table")
    idx = np.ascontiguousarray(indices, dtype=np.uint32)
    table = sd.table
    if metric != "rf":
        table = table.take(idx)
        idx = np.arange(len(idx), dtype=np.uint32)
    # RF rows in the narrowest unsigned type: a quarter of the memory of int32, and the
    # engine's exact native sums take them.
    dtype = table.compact_rf_type(idx, idx) if metric == "rf" else None
    return ess_mod.RunDistances(
        len(idx), lambda start, stop: table.block(metric, idx[start:stop], idx, dtype=dtype),
        source=(table, idx, metric, dtype))


def _run_ess(dist: ess_mod.RunDistances, label: str, notes: List[str], ph: Any = None,
             client: Any = None
             ) -> Tuple[Optional[ess_mod.ApproxESS], Optional[ess_mod.PseudoESS],
                        Optional[ess_mod.FrechetESS]]:
    advance = getattr(ph, "advance", None)
    blocks = None
    if client is not None:
        from ..remote import run_blocks

        blocks = run_blocks(client, dist)
    # One pass serves all three.
    stats = ess_mod.distance_stats(dist, on_rows=advance, blocks=blocks)
    out: List[Any] = []
    for fn in (ess_mod.approx_ess, ess_mod.pseudo_ess, ess_mod.frechet_ess):
        try:
            out.append(fn(stats))
        except ValueError as exc:
            out.append(None)
            notes.append(f"run {label!r}: {exc}")
    return cast(Tuple[Optional[ess_mod.ApproxESS], Optional[ess_mod.PseudoESS],
                      Optional[ess_mod.FrechetESS]], tuple(out))

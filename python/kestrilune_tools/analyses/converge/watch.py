"""The run-time ASDSF of runs that are still growing, at a cost that follows the new trees.

    >>> live = RunTimeASDSF(n_runs=2, every=1000)
    >>> live.add(0, names, newicks, translate)    # trees of run 1 as they are written
    >>> for point in live.ready(): ...            # the diagnostic points now complete

At generation G every run holds the samples of generation <= G; the burn-in is the first
``int(fraction * T)`` of a run's T samples (MrBayes' run-time rule, ``relburnin``), and the
ASDSF is taken over the splits kept by ``rule`` (MrBayes' ``mcmc.c`` rule by default).
A point is ready once every run has written a sample of generation G or later. The values
equal :func:`splitfreq.asdsf_trace` of the same trees (and so MrBayes' ``.mcmc`` lines):
the same splits, deviations and maximum; the average sums the deviations in the order the
splits were first met here, so its last bit may differ.

Each batch of new trees is parsed once into a small split table; its splits are matched to
the ones seen before by their leaf sets, and per-run counts over the window move forward
as trees enter it and leave it to the burn-in, so an update costs what the new trees hold.

Each point also lists the splits of the ASDSF with the largest deviations across runs (a
:class:`~.splitfreq.SplitFrequencies` table, as ``converge`` prints its own) and gives the
split ESS: Tracer's ESS of each such split's 0/1 presence per run over the window, equal
to :func:`~.ess.tracer_ess` of those traces (bit for bit while a window holds fewer than
46,341 trees; beyond, where that function centres in floating point, to the last bits).
Its lagged sums move with the window like the counts.

Each point gives as well the topological ESS of each run: RWTY's approximate ESS of the RF
distances over the window, the one ``kestrilune converge`` prints first, equal to it on the
same prefix and burn-in (:func:`~.ess.approx_ess`: the same lag sums, to the bit). It needs
only the distances of trees at most 100 samples apart (lags 1..min(100, N - 100)): when trees
are added, each new tree's RF distances to the 100 trees before it are taken from a split
table of those trees and the new ones, and kept (a band of 100 small integers per tree);
per-lag sums of squared distances over the window then move with it, the pairs of a tree
that entered added and those of a tree that left to the burn-in taken out. The sums are kept
for all 100 lags whatever the window's size, so the lags a point fits (fewer while N < 200)
are each exact; below 120 trees after the burn-in a run has no approximate ESS, as in
``converge``.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np

from ...reading.params import ParameterLog
from ...table.engine import SplitTable
from ..params import mrbayes_ess, mrbayes_psrf
from .ess import (APPROX_MAX_LAG, APPROX_MIN_TREES, TRACER_MAX_LAG, ApproxESS,
                  approx_ess, approx_lag_mean_sq, tracer_ess_from_sums)
from ...table.splits import from_table, member_labels
from .splitfreq import (DEFAULT_MIN_FREQ, SplitFrequencies, _asdsf_of, _kept, sd_across_runs,
                        file_taxon_order)

__all__ = ["RunTimeASDSF", "Checkpoint", "ParameterPoint", "parameter_point"]

_GENERATION = re.compile(r"(\d+)\s*$")


WORST_SPLITS = 5  # splits of a point listed with their frequency in each run
SPLIT_ESS_RULE = ("Tracer ESS of each split's 0/1 presence, per run over the samples after "
                  "the burn-in, for the splits of the ASDSF (constant: not defined)")
_ESS_ROWS = 64  # presence traces per FFT when a split's lag sums are made anew
_BAND_ROWS = 500  # new trees per block of distances for the topological ESS
TOPO_ESS_RULE = ("RWTY topological.approx.ess of the RF distances between the trees of a "
                 "run after the burn-in (as kestrilune converge's approx ESS)")


def _plain(x: float) -> Optional[float]:
    return None if math.isnan(x) else float(x)


@dataclass(frozen=True)
class Checkpoint:
    generation: int
    samples: Tuple[int, ...]  # per run: samples of generation <= G
    used: Tuple[int, ...]  # per run: after the burn-in
    asdsf: float
    msdsf: float
    n_splits: int
    rule: str
    # The splits the ASDSF averaged with the largest standard deviations across runs,
    # largest first (ties in the order the splits were first met), with their counts.
    worst: Optional[SplitFrequencies] = None
    worst_ess: Optional[np.ndarray] = None  # (rows of worst, n_runs) their split ESS
    # The smallest split ESS over the splits of the ASDSF and the runs (NaN: none defined,
    # every presence constant), its run (0-based) and split (a one-row table).
    min_split_ess: float = math.nan
    min_split_ess_run: Optional[int] = None
    min_split_ess_split: Optional[SplitFrequencies] = None
    # Per run: the approximate topological ESS of its window (None: fewer than 120 trees).
    topo_ess: Tuple[Optional[ApproxESS], ...] = ()

    @property
    def min_topo_ess(self) -> Tuple[Optional[float], Optional[int]]:
        """The smallest topological ESS over the runs and its run (0-based); (None, None)
        unless every run has one (a run of identical trees has none: NaN)."""
        values = [math.nan if a is None else a.ess for a in self.topo_ess]
        if not values or any(math.isnan(v) for v in values):
            return None, None
        run = int(np.argmin(values))  # the first smallest
        return float(values[run]), run

    def split_rows(self) -> List[Dict[str, object]]:
        """The worst splits as ``kestrilune converge --json`` lists its table's rows."""
        t = self.worst
        if t is None:
            return []
        freq, sd = t.frequencies, t.sd
        ess = self.worst_ess
        return [{"partition": part, "leaves": t.labels[i],
                 "frequencies": [float(f) for f in freq[i]], "sd": _plain(float(sd[i])),
                 "ess": None if ess is None else [_plain(float(e)) for e in ess[i]]}
                for i, part in enumerate(t.partition_strings())]

    def to_dict(self) -> Dict[str, object]:
        return {"generation": self.generation, "samples": list(self.samples),
                "used": list(self.used), "asdsf": _plain(self.asdsf),
                "msdsf": _plain(self.msdsf), "splits": self.n_splits, "rule": self.rule,
                "split_frequencies": {
                    "rows": self.split_rows(),
                    "rule": f"the {WORST_SPLITS} splits of the ASDSF with the largest "
                            "standard deviation of their frequencies across runs "
                            "(MrBayes' formula), largest first; partition: MrBayes' "
                            "pattern in the file's taxon order; ess: split ESS per run"},
                "split_ess": self._split_ess_dict(),
                "topo_ess": self._topo_ess_dict()}

    def _topo_ess_dict(self) -> Dict[str, object]:
        low, run = self.min_topo_ess
        at = None if run is None else self.topo_ess[run]
        return {"min": low, "run": None if run is None else run + 1,
                "operator": None if at is None else at.operator,
                "runs": [None if a is None else
                         {"ess": _plain(a.ess), "operator": a.operator, "cutoff": a.cutoff,
                          "max_lag": a.max_lag, "asymptote": _plain(a.asymptote),
                          "scale": _plain(a.scale)} for a in self.topo_ess],
                "metric": "rf", "rule": TOPO_ESS_RULE}

    def _split_ess_dict(self) -> Dict[str, object]:
        t = self.min_split_ess_split
        run = self.min_split_ess_run
        return {"min": _plain(self.min_split_ess),
                "run": None if run is None else run + 1,
                "partition": t.partition_strings()[0] if t is not None else None,
                "leaves": t.labels[0] if t is not None else None,
                "rule": SPLIT_ESS_RULE}


@dataclass(frozen=True)
class ParameterPoint:
    """The parameters at a diagnostic point, as MrBayes' ``sump`` would give them then."""

    rows: Tuple[int, ...]  # per run: samples used (after the burn-in)
    psrf: Optional[float]  # the largest PSRF over the parameters (None: not defined yet)
    psrf_name: Optional[str]
    ess: Optional[float]  # the smallest ESS over parameters and runs
    ess_name: Optional[str]


def parameter_point(logs: Sequence[ParameterLog], generation: int,
                    burnin: float = 0.25) -> ParameterPoint:
    """MrBayes' PSRF (largest over the columns) and ESS (smallest over columns and runs) of
    the samples of step <= ``generation``, after the first ``int(burnin * rows)`` of each
    run. Columns must be the same in every run (the logs of one analysis); the likelihood
    and prior columns (``LnL``, ``LnPr``) are left out, as ``sump``'s table leaves them."""
    windows = []
    for log in logs:
        rows = int(np.searchsorted(log.steps, generation, side="right"))
        windows.append(log.values[int(burnin * rows):rows])
    names = logs[0].names if logs else ()
    worst_psrf: Tuple[Optional[float], Optional[str]] = (None, None)
    worst_ess: Tuple[Optional[float], Optional[str]] = (None, None)
    for j, name in enumerate(names):
        if name in ("LnL", "LnPr"):
            continue
        columns = [w[:, j] for w in windows]
        psrf = mrbayes_psrf(columns) if all(len(c) > 1 for c in columns) else math.nan
        if not math.isnan(psrf) and (worst_psrf[0] is None or psrf > worst_psrf[0]):
            worst_psrf = (psrf, name)
        for c in columns:
            ess = mrbayes_ess(c) if len(c) > 1 else math.nan
            if not math.isnan(ess) and (worst_ess[0] is None or ess < worst_ess[0]):
                worst_ess = (ess, name)
    return ParameterPoint(rows=tuple(len(w) for w in windows), psrf=worst_psrf[0],
                          psrf_name=worst_psrf[1], ess=worst_ess[0], ess_name=worst_ess[1])


class RunTimeASDSF:
    def __init__(self, n_runs: int, every: int, burnin: float = 0.25,
                 min_freq: float = DEFAULT_MIN_FREQ, rooted: bool = False,
                 rule: str = "mrbayes-mcmc") -> None:
        if every < 1:
            raise ValueError(f"--diagn-every must be at least 1, got {every}")
        if not 0 <= burnin < 1:
            raise ValueError(f"the run-time burn-in is a fraction below 1, got {burnin}")
        self.n_runs, self.every, self.burnin = n_runs, int(every), float(burnin)
        self.min_freq, self.rooted, self.rule = float(min_freq), bool(rooted), rule
        self.leaf_names: Optional[Tuple[str, ...]] = None
        self.taxon_order: Tuple[str, ...] = ()  # the first file's translate order
        self._ids: Dict[bytes, int] = {}
        self._keys: List[bytes] = []  # each split's packed membership, by id
        self._nontrivial: List[bool] = []
        # Per run, the split ids of every tree one after another (tree t's are
        # _flat[_ptr[t]:_ptr[t + 1]]) and each tree's generation, in arrays that double.
        self._flat = [np.zeros(0, dtype=np.int32) for _ in range(n_runs)]
        self._ptr = [np.zeros(1, dtype=np.int64) for _ in range(n_runs)]
        self._gen = [np.zeros(0, dtype=np.int64) for _ in range(n_runs)]
        self._n = [0] * n_runs  # trees of each run
        # Per run, for the splits of the last point: sum_t x_t x_{t+k} (k < 2000) of their
        # 0/1 presence x over that point's window [lo, hi), moved with the window.
        self._lag_ids = [np.zeros(0, dtype=np.int64) for _ in range(n_runs)]
        self._lag_sums = [np.zeros((0, TRACER_MAX_LAG), dtype=np.int64) for _ in range(n_runs)]
        self._lag_window: List[Optional[Tuple[int, int]]] = [None] * n_runs
        self._counts = np.zeros((0, n_runs), dtype=np.int64)
        self._hi = [0] * n_runs  # trees counted in
        self._lo = [0] * n_runs  # trees counted out again (burn-in)
        self._next = int(every)  # the next diagnostic generation
        # The topological ESS. Per run: _band[t, k - 1] = RF(tree t - k, tree t), k = 1..100
        # (0 where t < k), filled as trees are added; a split table of the run's last 100
        # trees (the partners of the next ones); the per-lag sums of squared distances over
        # the pairs in the window of the last point (index k: lag k), and that window.
        self._band = [np.zeros((0, APPROX_MAX_LAG), dtype=np.uint32) for _ in range(n_runs)]
        self._tail: List[Optional[SplitTable]] = [None] * n_runs
        self._topo_sums = [np.zeros(APPROX_MAX_LAG + 1, dtype=np.int64) for _ in range(n_runs)]
        self._topo_window: List[Optional[Tuple[int, int]]] = [None] * n_runs

    # ------------------------------------------------------------------ trees in

    def add(self, run: int, names: Sequence[str], newicks: Sequence[str],
            translate: Dict[str, str]) -> None:
        """Append trees to run ``run`` (in the order the program wrote them)."""
        if not names:
            return
        # A table needs two trees: a lone tree is read twice and its copy left unused.
        texts = list(newicks) * (2 if len(names) == 1 else 1)
        table = SplitTable([str(k) for k in range(len(texts))], iter(texts), [dict(translate)],
                           [0] * len(texts), rooted=self.rooted)
        sd = from_table(table, parents=False)
        if self.leaf_names is None:
            self.leaf_names = sd.leaf_names
            self.taxon_order = file_taxon_order(translate, sd.leaf_names)
        elif sd.leaf_names != self.leaf_names:
            gone = sorted(set(self.leaf_names) - set(sd.leaf_names))
            new = sorted(set(sd.leaf_names) - set(self.leaf_names))
            raise ValueError(f"tree {names[0]!r} of run {run + 1} has other taxa than the "
                             f"trees before it" + (f" (lacks {', '.join(gone[:5])})" if gone
                                                   else "") +
                             (f" (adds {', '.join(new[:5])})" if new else ""))
        keys = np.packbits(sd.membership, axis=1)
        nontrivial = sd.nontrivial()
        local = np.empty(len(keys), dtype=np.int32)
        for k, row in enumerate(keys):
            key = row.tobytes()
            got = self._ids.get(key)
            if got is None:
                got = self._ids[key] = len(self._ids)
                self._keys.append(key)
                self._nontrivial.append(bool(nontrivial[k]))
            local[k] = got
        if len(self._ids) > self._counts.shape[0]:
            grown = np.zeros((max(len(self._ids), 2 * self._counts.shape[0]), self.n_runs),
                             dtype=np.int64)
            grown[:self._counts.shape[0]] = self._counts
            self._counts = grown
        gens = np.empty(len(names), dtype=np.int64)
        last = int(self._gen[run][self._n[run] - 1]) if self._n[run] else None
        for t, name in enumerate(names):
            m = _GENERATION.search(name)
            g = int(m.group(1)) if m else self._n[run] + t
            if last is not None and g <= last:
                raise ValueError(f"tree {name!r} of run {run + 1} does not follow generation "
                                 f"{last}: the trees must come in the order they were "
                                 "sampled")
            gens[t] = last = g
        n, k = len(names), self._n[run]
        indptr = np.asarray(sd.indptr, dtype=np.int64)[:n + 1]
        ids = local[sd.ids[:indptr[-1]]]
        self._gen[run] = _put(self._gen[run], k, gens)
        e = int(self._ptr[run][k])
        self._flat[run] = _put(self._flat[run], e, ids)
        self._ptr[run] = _put(self._ptr[run], k + 1, e + indptr[1:])
        band = self._new_band(run, table, n)
        if k == 0:  # a first batch: distances in the narrowest type that holds them
            self._band[run] = band[:0]
        self._band[run] = _put(self._band[run], k, band)
        self._n[run] = k + n

    def _new_band(self, run: int, table: SplitTable, n: int) -> np.ndarray:
        """(n, 100): the RF distances of the first ``n`` trees of ``table`` (the new trees of
        ``run``) to the 100 trees before each, from one table of the run's last 100 trees
        and these, by blocks of 500 new trees against the 599 trees up to them (larger
        blocks cost less per distance; these waste 5/6 of theirs); the last 100 trees are
        kept for the next batch."""
        lags = APPROX_MAX_LAG
        tail = self._tail[run]
        c = 0 if tail is None else tail.n_trees
        joint = table if tail is None else tail.joined(table)
        n_leaves = len(self.leaf_names or ())
        band = np.zeros((n, lags), dtype=np.uint16 if 2 * n_leaves < 2 ** 16 else np.uint32)
        lag = np.arange(1, lags + 1)
        for a in range(0, n, _BAND_ROWS):
            b = min(n, a + _BAND_ROWS)
            col0 = max(0, c + a - lags)
            block = joint.block("rf", np.arange(c + a, c + b), np.arange(col0, c + b - 1),
                                dtype=np.int64)
            row = np.arange(b - a)[:, None]
            col = c + a + row - lag[None, :]  # the partner k back, a joint index
            ok = col >= 0
            band[a:b][ok] = block[np.broadcast_to(row, ok.shape)[ok], col[ok] - col0]
        keep = np.arange(max(0, c + n - lags), c + n)
        self._tail[run] = joint.take(keep) if len(keep) else None
        return band

    def restart(self, run: int) -> None:
        """Forget run ``run`` (its file was cut or replaced) and the points not yet given."""
        self._counts[:, run] = 0
        self._n[run] = self._hi[run] = self._lo[run] = 0
        self._lag_window[run] = None
        self._tail[run] = None
        self._topo_window[run] = None

    # ------------------------------------------------------------------ points out

    def ready(self) -> List[Checkpoint]:
        """The diagnostic points that every run has now passed, in order."""
        out: List[Checkpoint] = []
        while all(n and self._gen[r][n - 1] >= self._next for r, n in enumerate(self._n)):
            out.append(self._point(self._next))
            self._next += self.every
        return out

    def _move(self, run: int, attr: str, to: int, sign: int) -> None:
        """Count trees [pointer, to) of ``run`` in (+1) or out (-1): one bincount."""
        pointer = getattr(self, attr)
        if to > pointer[run]:
            ptr = self._ptr[run]
            ids = self._flat[run][ptr[pointer[run]]:ptr[to]]
            self._counts[:, run] += sign * np.bincount(ids, minlength=self._counts.shape[0])
        pointer[run] = to

    def _point(self, g: int) -> Checkpoint:
        samples = [int(np.searchsorted(self._gen[r][:self._n[r]], g, side="right"))
                   for r in range(self.n_runs)]
        lo = [int(self.burnin * t) for t in samples]
        for r in range(self.n_runs):
            self._move(r, "_hi", samples[r], +1)
            self._move(r, "_lo", lo[r], -1)
        used = np.array(samples, dtype=np.int64) - np.array(lo, dtype=np.int64)
        k = len(self._ids)
        counts = self._counts[:k]
        nontrivial = np.array(self._nontrivial, dtype=bool)
        a = _asdsf_of(counts, used, nontrivial, self.rule, self.min_freq)
        worst = worst_ess = low_split = low_run = None
        low = math.nan
        if self.n_runs >= 2 and np.all(used > 0):
            kept = np.flatnonzero(_kept(counts, used, self.rule, self.min_freq) & nontrivial)
            sd = sd_across_runs(counts[kept] / used[None, :])
            order = np.lexsort((kept, -sd))[:WORST_SPLITS]
            ess = np.column_stack([self._split_ess(kept, lo[r], samples[r], r)
                                   for r in range(self.n_runs)]) if len(kept) else \
                np.zeros((0, self.n_runs))
            worst, worst_ess = self._table(kept[order], used), ess[order]
            if np.isfinite(ess).any():
                flat = int(np.nanargmin(ess))  # the first smallest: split order, then run
                row, low_run = divmod(flat, self.n_runs)
                low, low_split = float(ess[row, low_run]), self._table(kept[row:row + 1], used)
        topo = tuple(self._topo_ess(r, lo[r], samples[r]) for r in range(self.n_runs))
        return Checkpoint(generation=g, samples=tuple(samples), used=tuple(int(u) for u in used),
                          asdsf=a.asdsf, msdsf=a.msdsf, n_splits=a.n_splits, rule=self.rule,
                          worst=worst, worst_ess=worst_ess, min_split_ess=low,
                          min_split_ess_run=low_run, min_split_ess_split=low_split,
                          topo_ess=topo)

    def _topo_ess(self, run: int, lo: int, hi: int) -> Optional[ApproxESS]:
        """The approximate topological ESS of trees [lo, hi) of ``run``, from per-lag sums
        of squared RF distances moved from the last point's window: the pairs (t - k, t) of
        a tree t that entered are added, those (s, s + k) of a tree s that left taken out,
        each read from the band, so the cost follows those trees, not the window. A window
        it cannot move to (after a restart) has its sums made over it whole."""
        sums = self._topo_sums[run]
        window = self._topo_window[run]
        if window is None or lo < window[0] or hi < window[1] or lo > window[1]:
            sums[:] = 0
            window = (lo, lo)
        llo, lhi = window
        band = self._band[run]
        for k in range(1, APPROX_MAX_LAG + 1):
            entered = band[max(lhi, llo + k):hi, k - 1].astype(np.int64)
            left = band[llo + k:min(lo + k, hi), k - 1].astype(np.int64)
            sums[k] += int(entered @ entered) - int(left @ left)
        self._topo_window[run] = (lo, hi)
        n = hi - lo
        if n < APPROX_MIN_TREES:
            return None
        return approx_ess(lag_mean_sq=approx_lag_mean_sq(sums, n), n_trees=n)

    def _split_ess(self, kept: np.ndarray, lo: int, hi: int, run: int) -> np.ndarray:
        """Tracer's ESS of the 0/1 presence of each split ``kept`` in trees [lo, hi) of
        ``run`` (the window now counted in), from lag sums that follow the window: the
        trees that entered it and left it since the last point are added and taken out,
        so the cost follows them, not the window; a split new to the list has its sums
        made over the whole window. A split in every tree of the window or in none has a
        constant trace (no ESS) and its sums are known without looking."""
        n, lags = hi - lo, TRACER_MAX_LAG
        counts = self._counts[kept, run]
        constant = (counts == 0) | (counts == n)
        old_ids, old_sums = self._lag_ids[run], self._lag_sums[run]
        window = self._lag_window[run]
        if window is None or lo < window[0] or hi < window[1] or lo > window[1]:
            old_ids, old_sums = old_ids[:0], old_sums[:0]  # the window cannot move there
        # Each split's place in the old list (-1: not there).
        where = np.full(self._counts.shape[0], -1, dtype=np.int64)
        where[old_ids] = np.arange(len(old_ids))
        at = where[kept]
        sums = np.zeros((len(kept), lags), dtype=np.int64)
        full = np.maximum(n - np.arange(lags), 0)
        sums[constant & (counts == n)] = full  # present in every tree
        moved = np.flatnonzero(~constant & (at >= 0))
        if len(moved) and window is not None:
            sums[moved] = self._move_lags(run, kept[moved], old_sums[at[moved]], window,
                                          (lo, hi))
        fresh = np.flatnonzero(~constant & (at < 0))
        for start in range(0, len(fresh), _ESS_ROWS):
            rows = fresh[start:start + _ESS_ROWS]
            x = self._presence(run, kept[rows], lo, hi)
            sums[rows] = _lagged(x, x, lags)
        self._lag_ids[run], self._lag_sums[run] = kept.copy(), sums
        self._lag_window[run] = (lo, hi)
        out = np.full(len(kept), np.nan)
        varying = np.flatnonzero(~constant)
        if n < 2 or not len(varying):
            return out
        max_lag = min(n - 1, lags)
        ids = kept[varying]
        first = self._presence(run, ids, lo, lo + max_lag - 1)
        last = self._presence(run, ids, hi - (max_lag - 1), hi)[:, ::-1]
        out[varying] = tracer_ess_from_sums(sums[varying, :max_lag], counts[varying], first,
                                            last, n)
        return out

    def _move_lags(self, run: int, ids: np.ndarray, sums: np.ndarray,
                   old: Tuple[int, int], new: Tuple[int, int]) -> np.ndarray:
        """The lag sums of splits ``ids`` over window ``old`` moved to window ``new`` (both
        ends forward, overlapping): pairs with a tree that entered are added, then pairs
        with a tree that left are taken out."""
        (llo, lhi), (lo, hi) = old, new
        lags = TRACER_MAX_LAG
        sums = sums.copy()
        if hi > lhi:  # pairs (t - k, t), t new: partners from lhi - lags + 1 on
            c0 = max(llo, lhi - lags + 1)
            context = self._presence(run, ids, c0, hi)
            entered = context.copy()
            entered[:, :lhi - c0] = 0
            sums += _lagged(entered, context, lags)
        if lo > llo:  # pairs (t, t + k), t gone: partners below min(hi, lo + lags - 1)
            context = self._presence(run, ids, llo, min(hi, lo + lags - 1))
            left = context.copy()
            left[:, lo - llo:] = 0
            sums -= _lagged(context, left, lags)
        return sums

    def _presence(self, run: int, ids: np.ndarray, a: int, b: int) -> np.ndarray:
        """(len(ids), b - a) int8: 1 where split ids[i] is in tree a + j of ``run``."""
        row_of = np.full(self._counts.shape[0], -1, dtype=np.int64)
        row_of[ids] = np.arange(len(ids))
        ptr = self._ptr[run]
        rows = row_of[self._flat[run][ptr[a]:ptr[b]]]
        cols = np.repeat(np.arange(b - a, dtype=np.int64), np.diff(ptr[a:b + 1]))
        sel = rows >= 0
        out = np.zeros((len(ids), max(b - a, 0)), dtype=np.int8)
        out[rows[sel], cols[sel]] = 1
        return out

    def _table(self, ids: np.ndarray, used: np.ndarray) -> SplitFrequencies:
        """The splits ``ids`` as a frequency table over the windows of this point."""
        names = self.leaf_names or ()
        membership = np.zeros((len(ids), len(names)), dtype=bool)
        for i, s in enumerate(ids):
            membership[i] = np.unpackbits(np.frombuffer(self._keys[s], dtype=np.uint8),
                                          count=len(names)).astype(bool)
        return SplitFrequencies(split_ids=ids, labels=member_labels(membership, names),
                                membership=membership, leaf_names=tuple(names),
                                run_labels=tuple(f"run{r + 1}" for r in range(self.n_runs)),
                                counts=self._counts[ids].copy(), run_trees=used.copy(),
                                min_freq=self.min_freq, rule=self.rule, rooted=self.rooted,
                                taxon_order=self.taxon_order)

    @property
    def trees(self) -> Tuple[int, ...]:
        return tuple(self._n)

    @property
    def last_generation(self) -> Tuple[Optional[int], ...]:
        return tuple(int(self._gen[r][n - 1]) if n else None for r, n in enumerate(self._n))


def _lagged(x: np.ndarray, y: np.ndarray, lags: int) -> np.ndarray:
    """(rows, lags) int64: sum_j x[:, j + k] y[:, j] for k below ``lags``, from one FFT of
    each (0/1 rows: every sum a whole number, rounded to it)."""
    rows, m = x.shape
    if m == 0:
        return np.zeros((rows, lags), dtype=np.int64)
    size = _smooth(m + lags)
    fx = np.fft.rfft(x.astype(np.float64), size, axis=1)
    fy = fx if y is x else np.fft.rfft(y.astype(np.float64), size, axis=1)
    return np.rint(np.fft.irfft(fx * np.conj(fy), size, axis=1)[:, :lags]).astype(np.int64)


def _smooth(n: int) -> int:
    """The smallest 2^a 3^b 5^c >= n: an FFT length as fast as a power of two, often
    far shorter than the next one."""
    best = 1 << int(math.ceil(math.log2(max(n, 1))))
    five = 1
    while five < best:
        three = five
        while three < best:
            two = three
            while two < n:
                two *= 2
            best = min(best, two)
            three *= 3
        five *= 5
    return best


def _put(array: np.ndarray, at: int, values: np.ndarray) -> np.ndarray:
    """``array`` with ``values`` written from ``at`` on (rows of a 2-d one), grown (doubled)
    when it must be."""
    end = at + len(values)
    if end > len(array):
        grown = np.zeros((max(end, 2 * len(array)),) + array.shape[1:], dtype=array.dtype)
        grown[:at] = array[:at]
        array = grown
    array[at:end] = values
    return array

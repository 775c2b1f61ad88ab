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
from ...table.splits import from_table
from .splitfreq import DEFAULT_MIN_FREQ, _asdsf_of

__all__ = ["RunTimeASDSF", "Checkpoint", "ParameterPoint", "parameter_point"]

_GENERATION = re.compile(r"(\d+)\s*$")


@dataclass(frozen=True)
class Checkpoint:
    generation: int
    samples: Tuple[int, ...]  # per run: samples of generation <= G
    used: Tuple[int, ...]  # per run: after the burn-in
    asdsf: float
    msdsf: float
    n_splits: int
    rule: str

    def to_dict(self) -> Dict[str, object]:
        def plain(x: float) -> Optional[float]:
            return None if math.isnan(x) else x

        return {"generation": self.generation, "samples": list(self.samples),
                "used": list(self.used), "asdsf": plain(self.asdsf), "msdsf": plain(self.msdsf),
                "splits": self.n_splits, "rule": self.rule}


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
        self._ids: Dict[bytes, int] = {}
        self._nontrivial: List[bool] = []
        self._trees: List[List[np.ndarray]] = [[] for _ in range(n_runs)]  # split ids
        self._gens: List[List[int]] = [[] for _ in range(n_runs)]
        self._counts = np.zeros((0, n_runs), dtype=np.int64)
        self._hi = [0] * n_runs  # trees counted in
        self._lo = [0] * n_runs  # trees counted out again (burn-in)
        self._next = int(every)  # the next diagnostic generation

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
                self._nontrivial.append(bool(nontrivial[k]))
            local[k] = got
        if len(self._ids) > self._counts.shape[0]:
            grown = np.zeros((max(len(self._ids), 2 * self._counts.shape[0]), self.n_runs),
                             dtype=np.int64)
            grown[:self._counts.shape[0]] = self._counts
            self._counts = grown
        indptr = np.asarray(sd.indptr, dtype=np.int64)
        gens = self._gens[run]
        for t, name in enumerate(names):
            m = _GENERATION.search(name)
            g = int(m.group(1)) if m else len(gens)
            if gens and g <= gens[-1]:
                raise ValueError(f"tree {name!r} of run {run + 1} does not follow generation "
                                 f"{gens[-1]}: the trees must come in the order they were "
                                 "sampled")
            gens.append(g)
            self._trees[run].append(local[sd.ids[indptr[t]:indptr[t + 1]]])

    def restart(self, run: int) -> None:
        """Forget run ``run`` (its file was cut or replaced) and the points not yet given."""
        self._counts[:, run] = 0
        self._trees[run], self._gens[run] = [], []
        self._hi[run] = self._lo[run] = 0

    # ------------------------------------------------------------------ points out

    def ready(self) -> List[Checkpoint]:
        """The diagnostic points that every run has now passed, in order."""
        out: List[Checkpoint] = []
        while all(g and g[-1] >= self._next for g in self._gens):
            out.append(self._point(self._next))
            self._next += self.every
        return out

    def _move(self, run: int, attr: str, to: int, sign: int) -> None:
        pointer = getattr(self, attr)
        for t in range(pointer[run], to):
            np.add.at(self._counts[:, run], self._trees[run][t], sign)
        pointer[run] = to

    def _point(self, g: int) -> Checkpoint:
        samples = [int(np.searchsorted(self._gens[r], g, side="right"))
                   for r in range(self.n_runs)]
        lo = [int(self.burnin * t) for t in samples]
        for r in range(self.n_runs):
            self._move(r, "_hi", samples[r], +1)
            self._move(r, "_lo", lo[r], -1)
        used = np.array(samples, dtype=np.int64) - np.array(lo, dtype=np.int64)
        k = len(self._ids)
        a = _asdsf_of(self._counts[:k], used, np.array(self._nontrivial, dtype=bool),
                      self.rule, self.min_freq)
        return Checkpoint(generation=g, samples=tuple(samples), used=tuple(int(u) for u in used),
                          asdsf=a.asdsf, msdsf=a.msdsf, n_splits=a.n_splits, rule=self.rule)

    @property
    def trees(self) -> Tuple[int, ...]:
        return tuple(len(g) for g in self._gens)

    @property
    def last_generation(self) -> Tuple[Optional[int], ...]:
        return tuple(g[-1] if g else None for g in self._gens)

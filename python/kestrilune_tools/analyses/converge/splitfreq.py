"""Split frequencies across runs: the frequency table, the average standard deviation of split
frequencies (ASDSF) under each published rule and its trace through the runs, the PSRF of
split branch lengths, and sliding-window and cumulative frequencies.

Everything here reads a :class:`~kestrilune_tools.table.splits.SplitData` of ALL the trees of the
runs (burn-in included) together with a :class:`RunLayout` that tells each tree's run and
position in it; each statistic is then taken over a window of positions per run, so one
parse serves the final summary and every point of a trace.

Only non-trivial splits count (a split of one leaf or of all leaves but one is trivial;
rooted, a clade of one leaf or of all leaves), except in the branch-length table, where
pendant edges are parameters like any other.
"""

from __future__ import annotations

import math
import os
import re
from dataclasses import dataclass, field
from typing import Dict, Iterator, List, Optional, Sequence, Tuple, Union, cast

import numpy as np

from ...table.splits import SplitData

__all__ = [
    "RunLayout", "SplitFrequencies", "ASDSF", "BranchLengthStats", "WindowFrequencies",
    "RULES", "run_layout", "split_frequencies", "asdsf", "asdsf_trace", "branch_length_stats",
    "window_frequencies", "presence_traces", "file_taxon_order", "sd_across_runs",
    "split_convergence",
]

RULES = ("mrbayes-mcmc", "mrbayes-sumt", "any-run", "mean-threshold")
RULE_TEXT = {
    "mrbayes-mcmc": "MrBayes during the run (mcmc.c): splits with count >= ceil(min_freq * N) "
                    "in at least one run",
    "mrbayes-sumt": "MrBayes sumt (sumpt.c): splits with count >= min_freq * (trees / runs) "
                    "in at least one run",
    "any-run": "RWTY: splits present in at least one run",
    "mean-threshold": "splits whose mean frequency over the runs is above min_freq",
}
DEFAULT_MIN_FREQ = 0.10  # MrBayes' minpartfreq
# A burn-in per run: a count of trees (int) or a fraction of each run (float).
BurninRule = Union[int, float]


@dataclass(frozen=True)
class RunLayout:
    """Where each tree of a SplitData sits: its run and its position in that run."""

    run: np.ndarray  # (n_trees,) int32: the run (group) of each tree
    position: np.ndarray  # (n_trees,) int64: 0-based sample index within its run
    generation: np.ndarray  # (n_trees,) int64: the generation named in the tree, or position
    run_sizes: np.ndarray  # (n_runs,) trees of each run
    run_labels: Tuple[str, ...]
    generations_named: bool  # every tree name ends in its generation (gen.N, STATE_N)
    _entries: Dict[int, Tuple[SplitData, "_Entries"]] = field(default_factory=dict, repr=False,
                                                              compare=False)

    @property
    def n_runs(self) -> int:
        return len(self.run_labels)


# The number ending a tree name (gen.N, STATE_N), before an ExaBayes ".{partitions}".
_GENERATION = re.compile(r"(\d+)(?:\.\{[^{}]*\})?\s*$")


def run_layout(sd: SplitData) -> RunLayout:
    """The layout of ``sd``'s trees: runs are its groups, positions count in tree order."""
    run = np.asarray(sd.groups, dtype=np.int32)
    n_runs = sd.n_groups
    position = np.zeros(len(run), dtype=np.int64)
    sizes = np.zeros(n_runs, dtype=np.int64)
    for i, r in enumerate(run):
        position[i] = sizes[r]
        sizes[r] += 1
    gens = [_GENERATION.search(name) for name in sd.tree_names]
    named = all(gens) and len(gens) > 0
    if named:
        generation = np.array([int(g.group(1)) for g in cast("List[re.Match[str]]", gens)],
                              dtype=np.int64)
        for r in range(n_runs):
            g = generation[run == r]
            if np.any(np.diff(g) <= 0):
                named = False
                break
    if not named:
        generation = position.copy()
    return RunLayout(run=run, position=position, generation=generation, run_sizes=sizes,
                     run_labels=tuple(sd.group_labels), generations_named=bool(named))


class _Entries:
    """The (tree, split) entries of a SplitData, selected by windows of positions per run;
    built once per layout (see :func:`_entries`).

    When every run's trees are consecutive in the table, runs in ascending order (always so
    for the files of a TreeSet), the entries of a window are read as one slice of the
    table's arrays per run, in table order. Otherwise each entry's run and position are
    kept and a window is a mask over all of them, which selects the same entries in the
    same order: every sum below is the same either way.
    """

    def __init__(self, sd: SplitData, layout: RunLayout) -> None:
        self.ids = sd.ids
        self.lengths = sd.lengths
        self.indptr = np.asarray(sd.indptr, dtype=np.int64)
        self.n_splits = sd.n_splits
        self.n_runs = layout.n_runs
        run = layout.run
        self.contiguous = len(run) == 0 or bool(np.all(run[1:] >= run[:-1]))
        self._counts: Dict[Tuple[bytes, bytes], np.ndarray] = {}
        if self.contiguous:
            self.first_tree = np.searchsorted(run, np.arange(self.n_runs)).astype(np.int64)
        else:
            tree_of = np.repeat(np.arange(sd.n_trees), np.diff(sd.indptr))
            self.run = layout.run[tree_of]
            self.position = layout.position[tree_of]

    def _spans(self, lo: np.ndarray, hi: np.ndarray, runs: Optional[Sequence[int]] = None
               ) -> Iterator[Tuple[int, int, int, int, int]]:
        """(run, first entry, end entry, first position, end position) of each window."""
        for r in range(self.n_runs) if runs is None else runs:
            p0, p1 = int(lo[r]), int(max(hi[r], lo[r]))
            t0 = int(self.first_tree[r])
            yield r, int(self.indptr[t0 + p0]), int(self.indptr[t0 + p1]), p0, p1

    def select(self, lo: np.ndarray, hi: np.ndarray, run: int) -> Tuple[np.ndarray, np.ndarray]:
        """(ids, position int64) of the entries of run ``run`` whose tree lies in
        [lo[run], hi[run]), in table order; ids are a view of the table's when they can be."""
        lo, hi = np.asarray(lo), np.asarray(hi)
        if not self.contiguous:
            m = (self.run == run) & (self.position >= lo[run]) & (self.position < hi[run])
            return self.ids[m].astype(np.int64), self.position[m]
        _, a, b, p0, p1 = next(self._spans(lo, hi, [run]))
        t0 = int(self.first_tree[run])
        pos = np.repeat(np.arange(p0, p1, dtype=np.int64),
                        np.diff(self.indptr[t0 + p0: t0 + p1 + 1]))
        return self.ids[a:b], pos

    def pieces(self, lo: np.ndarray, hi: np.ndarray, step: int = 1 << 22
               ) -> Iterator[Tuple[Union[int, np.ndarray], np.ndarray, np.ndarray]]:
        """(run, ids int64, lengths) of the entries whose tree lies in [lo[run], hi[run]),
        in table order, in pieces of at most ``step`` entries (one piece through the masks);
        ``run`` is the run of every entry of the piece, or an array beside them."""
        if not self.contiguous:
            m = (self.position >= lo[self.run]) & (self.position < hi[self.run])
            yield self.run[m], self.ids[m].astype(np.int64), self.lengths[m]  # type: ignore[index]  # callers need lengths
            return
        for r, a, b, _, _ in self._spans(lo, hi):
            for c in range(a, b, step):
                d = min(b, c + step)
                yield r, self.ids[c:d].astype(np.int64), self.lengths[c:d]  # type: ignore[index]  # callers need lengths

    def counts(self, lo: np.ndarray, hi: np.ndarray) -> np.ndarray:
        """(n_splits, n_runs) int64: trees of each run's window [lo, hi) holding each split.
        The last windows asked for are kept (the summary and every ASDSF rule share one)."""
        key = (np.asarray(lo).tobytes(), np.asarray(hi).tobytes())
        if key in self._counts:
            return self._counts[key]
        if self.contiguous:
            c = np.zeros((self.n_splits, self.n_runs), dtype=np.int64)
            for r, a, b, _, _ in self._spans(lo, hi):
                c[:, r] = np.bincount(self.ids[a:b], minlength=self.n_splits)
        else:
            m = (self.position >= lo[self.run]) & (self.position < hi[self.run])
            flat = self.ids[m].astype(np.int64) * self.n_runs + self.run[m]
            c = np.bincount(flat, minlength=self.n_splits * self.n_runs)
            c = c.reshape(self.n_splits, self.n_runs)
        if len(self._counts) >= 2:
            self._counts.pop(next(iter(self._counts)))
        self._counts[key] = c
        return c


def _entries(sd: SplitData, layout: RunLayout) -> _Entries:
    key = id(sd)
    cached = layout._entries.get(key)
    if cached is None or cached[0] is not sd:
        cached = (sd, _Entries(sd, layout))
        layout._entries[key] = cached
    return cached[1]


def _burnin_window(layout: RunLayout, burnin: BurninRule) -> Tuple[np.ndarray, np.ndarray]:
    """[lo, hi) per run after a burn-in given as a count (int) or a fraction (float)."""
    hi = layout.run_sizes.copy()
    if isinstance(burnin, (int, np.integer)) and not isinstance(burnin, bool):
        lo = np.full(layout.n_runs, int(burnin), dtype=np.int64)
    else:
        # MrBayes' own arithmetic: (int)(fraction * trees), in double precision.
        lo = np.array([int(float(burnin) * t) for t in hi], dtype=np.int64)
    return np.minimum(lo, hi), hi


def sd_across_runs(freq: np.ndarray) -> np.ndarray:
    """sqrt(max(0, (sum f^2 - (sum f)^2 / R) / (R - 1))) per row, MrBayes' formula."""
    r = freq.shape[1]
    if r < 2:  # a standard deviation across runs needs two of them
        return np.full(freq.shape[0], np.nan)
    s = freq.sum(axis=1)
    ss = (freq * freq).sum(axis=1)
    var = (ss - s * s / r) / (r - 1)
    return np.sqrt(np.where(var > 0, var, 0.0))


# -------------------------------------------------------------------- the frequency table


@dataclass(frozen=True)
class SplitFrequencies:
    """One row per split kept: its leaves and its frequency in each run (a ``.tstat`` row)."""

    split_ids: np.ndarray  # (k,) ids into the SplitData's membership
    labels: List[str]  # member leaves of the stored side joined with "|"
    membership: np.ndarray  # (k, n_leaves) bool
    leaf_names: Tuple[str, ...]
    run_labels: Tuple[str, ...]
    counts: np.ndarray  # (k, n_runs) trees holding the split in each run
    run_trees: np.ndarray  # (n_runs,) trees used per run
    min_freq: float
    rule: str  # which splits were kept
    rooted: bool = False
    # The taxa in the order of the partition strings and IDs: MrBayes' own (the translate
    # table's numbers) when the trees came with one, else leaf_names.
    taxon_order: Tuple[str, ...] = ()

    @property
    def frequencies(self) -> np.ndarray:
        return self.counts / self.run_trees[None, :]

    @property
    def total(self) -> np.ndarray:
        return self.counts.sum(axis=1)

    @property
    def probability(self) -> np.ndarray:
        """Frequency over all runs pooled (MrBayes' Probability)."""
        return self.total / self.run_trees.sum()

    @property
    def sd(self) -> np.ndarray:
        return sd_across_runs(self.frequencies)

    @property
    def runs_present(self) -> np.ndarray:
        return (self.counts > 0).sum(axis=1)

    def partition_strings(self) -> List[str]:
        """MrBayes' ``.**..*`` strings, one character per taxon in :attr:`taxon_order`; an
        unrooted split is written as the side without the first taxon, as in its ``.parts``."""
        order = self.taxon_order or self.leaf_names
        column = {name: i for i, name in enumerate(self.leaf_names)}
        member = self.membership[:, [column[name] for name in order]]
        if not self.rooted and len(order):
            member = member ^ member[:, :1]
        return ["".join("*" if b else "." for b in row) for row in member]

    def partition_ids(self) -> List[int]:
        """MrBayes' partition numbers: 1 to n for the pendant splits (taxon k's is k; rooted,
        the clade of taxon k), then n + 1, n + 2, ... for the others in table order, as in
        ``sumt``'s ``.parts`` and ``.tstat`` (splits of equal frequency may come in
        another order than sumt's, which does not define one)."""
        order = self.taxon_order or self.leaf_names
        n = len(order)
        position = {name: i for i, name in enumerate(order)}
        column_taxon = [position[name] for name in self.leaf_names]
        ids: List[int] = []
        nontrivial = n
        for row in self.membership:
            inside = np.flatnonzero(row)
            size = len(inside)
            if size == 1:
                ids.append(column_taxon[int(inside[0])] + 1)
            elif not self.rooted and size == n - 1:
                ids.append(column_taxon[int(np.flatnonzero(~row)[0])] + 1)
            else:
                nontrivial += 1
                ids.append(nontrivial)
        return ids

    def to_tsv(self, path: Union[str, "os.PathLike[str]"]) -> None:
        """Write the table as MrBayes' ``.tstat`` does (ID, #obs, Probability(=s),
        Stddev(s), Min(s), Max(s), Nruns), then the frequency in each run, the partition
        string and the member leaves; one header line, tab-separated. IDs and partition
        strings follow MrBayes' numbering and taxon order (see :meth:`partition_ids`), so
        the rows line up with its ``.parts``."""
        freq = self.frequencies
        header = ["ID", "#obs", "Probability(=s)", "Stddev(s)", "Min(s)", "Max(s)", "Nruns"]
        header += [f"freq({label})" for label in self.run_labels]
        header += ["Partition", "Leaves"]
        lines = ["\t".join(header)]
        parts, ids = self.partition_strings(), self.partition_ids()
        prob, sd, present = self.probability, self.sd, self.runs_present
        for i in range(len(self.split_ids)):
            cells = [str(ids[i]), str(int(self.total[i])), repr(float(prob[i])),
                     repr(float(sd[i])) if sd[i] == sd[i] else "NA",
                     repr(float(freq[i].min())), repr(float(freq[i].max())),
                     str(int(present[i]))]
            cells += [repr(float(f)) for f in freq[i]]
            cells += [parts[i], self.labels[i]]
            lines.append("\t".join(cells))
        with open(path, "w", encoding="utf-8") as out:
            out.write("\n".join(lines) + "\n")


def _sumt_minimum(run_trees: np.ndarray, min_freq: float) -> float:
    # sumt: minPartFreq * (numTreesSampled / numRuns), the quotient in integers.
    return float(min_freq) * float(int(run_trees.sum()) // len(run_trees))


def _mcmc_minimum(n: int, min_freq: float) -> int:
    # mcmc.c: (int)(minPartFreq * numSamples), plus one unless the product is whole.
    product = float(min_freq) * n
    m = int(product)
    return m + 1 if float(m) != product else m


def _kept(counts: np.ndarray, run_trees: np.ndarray, rule: str, min_freq: float) -> np.ndarray:
    if rule == "mrbayes-mcmc":
        minimum = np.array([_mcmc_minimum(int(t), min_freq) for t in run_trees])
        return (counts >= minimum[None, :]).any(axis=1) & (counts.sum(axis=1) > 0)
    if rule == "mrbayes-sumt":
        return (counts >= _sumt_minimum(run_trees, min_freq)).any(axis=1) & \
            (counts.sum(axis=1) > 0)
    if rule == "any-run":
        return counts.sum(axis=1) > 0
    if rule == "mean-threshold":
        return (counts / run_trees[None, :]).mean(axis=1) > min_freq
    raise ValueError(f"unknown ASDSF rule {rule!r}: choose one of {', '.join(RULES)}")


def _table(sd: SplitData, layout: RunLayout, counts: np.ndarray, run_trees: np.ndarray,
           rule: str, min_freq: float, trivial: bool = False) -> SplitFrequencies:
    keep = _kept(counts, run_trees, rule, min_freq)
    if not trivial:
        keep &= sd.nontrivial()
    ids = np.flatnonzero(keep)
    total = counts[ids].sum(axis=1)
    ids = ids[np.lexsort((ids, -total))]  # most frequent first, then in split order
    return SplitFrequencies(split_ids=ids, labels=sd.labels(ids) if len(ids) else [],
                            membership=sd.member_rows(ids), leaf_names=sd.leaf_names,
                            run_labels=layout.run_labels, counts=counts[ids],
                            run_trees=run_trees.copy(), min_freq=float(min_freq), rule=rule,
                            rooted=sd.rooted)


def split_frequencies(sd: SplitData, layout: RunLayout, burnin: BurninRule = 0.25,
                      min_freq: float = DEFAULT_MIN_FREQ, rule: str = "mrbayes-sumt",
                      trivial: bool = False) -> SplitFrequencies:
    """The split frequency table after ``burnin`` (a count of trees per run, or a
    fraction): the splits ``rule`` keeps, most frequent first, as ``sumt``'s ``.tstat``
    lists them (with ``rule="mrbayes-sumt"``)."""
    entries = _entries(sd, layout)
    lo, hi = _burnin_window(layout, burnin)
    counts = entries.counts(lo, hi)
    return _table(sd, layout, counts, hi - lo, rule, min_freq, trivial)


def file_taxon_order(translate: Dict[str, str], leaf_names: Sequence[str]
                     ) -> Tuple[str, ...]:
    """The taxa in the order a file numbers them (its translate table ``1 Name, 2 Name, ...``,
    MrBayes' taxon order), or ``()`` when the table is absent, not numbered 1..n, or does not
    name exactly ``leaf_names``."""
    try:
        numbered = sorted((int(key), name) for key, name in translate.items())
    except ValueError:
        return ()
    order = tuple(name for _, name in numbered)
    if [k for k, _ in numbered] != list(range(1, len(numbered) + 1)) or \
            sorted(order) != sorted(leaf_names):
        return ()
    return order


# ------------------------------------------------------------------------------- ASDSF


@dataclass(frozen=True)
class ASDSF:
    rule: str
    description: str
    asdsf: float  # NaN when no split is kept or there is one run
    msdsf: float
    n_splits: int  # splits averaged
    min_freq: float
    run_trees: Tuple[int, ...]


def _asdsf_of(counts: np.ndarray, run_trees: np.ndarray, nontrivial: np.ndarray, rule: str,
              min_freq: float) -> ASDSF:
    keep = _kept(counts, run_trees, rule, min_freq) & nontrivial
    freq = counts[keep] / run_trees[None, :]
    if len(run_trees) < 2 or freq.shape[0] == 0:
        avg = mx = math.nan
    else:
        sds = sd_across_runs(freq)
        # sumt divides by the number of partitions it prints minus the trivial ones, which
        # is the number of non-trivial splits kept; mcmc.c by the splits it visited.
        avg = float(sds.sum() / len(sds))
        mx = float(sds.max())
    return ASDSF(rule=rule, description=RULE_TEXT[rule], asdsf=avg, msdsf=mx,
                 n_splits=int(freq.shape[0]), min_freq=float(min_freq),
                 run_trees=tuple(int(t) for t in run_trees))


def asdsf(sd: SplitData, layout: RunLayout, burnin: BurninRule = 0.25, rule: str = "mrbayes-sumt",
          min_freq: float = DEFAULT_MIN_FREQ) -> ASDSF:
    """Average and maximum standard deviation of split frequencies across runs after
    ``burnin``, over the non-trivial splits that ``rule`` keeps (see ``RULES``)."""
    if rule not in RULES:
        raise ValueError(f"unknown ASDSF rule {rule!r}: choose one of {', '.join(RULES)}")
    entries = _entries(sd, layout)
    lo, hi = _burnin_window(layout, burnin)
    counts = entries.counts(lo, hi)
    return _asdsf_of(counts, hi - lo, sd.nontrivial(), rule, min_freq)


@dataclass(frozen=True)
class ASDSFTrace:
    generation: np.ndarray  # (points,) generation (or sample position) of each point
    samples: np.ndarray  # (points, n_runs) samples per run up to the point, burn-in included
    used: np.ndarray  # (points, n_runs) samples per run after the burn-in
    asdsf: np.ndarray  # (points,) NaN where no split passed
    msdsf: np.ndarray
    n_splits: np.ndarray
    every: int
    in_generations: bool
    rule: str = "mrbayes-mcmc"


def asdsf_trace(sd: SplitData, layout: RunLayout, every: int, burnin: BurninRule = 0.25,
                min_freq: float = DEFAULT_MIN_FREQ, rule: str = "mrbayes-mcmc") -> ASDSFTrace:
    """ASDSF at every ``every``-th generation, as MrBayes writes it to its ``.mcmc`` file.

    At generation G each run holds the T samples of generation <= G (the starting tree
    included); the burn-in (a fraction of T, or a fixed count) is dropped and the ASDSF is
    taken over the rest. Generations come from the tree names (``gen.N``, ``STATE_N``);
    when the names carry none, ``every`` counts samples from the first (position 0).
    """
    if every < 1:
        raise ValueError(f"the trace interval must be a positive number, got {every}")
    entries = _entries(sd, layout)
    nontrivial = sd.nontrivial()
    last = min(int(layout.generation[layout.run == r].max()) for r in range(layout.n_runs))
    points = np.arange(every, last + 1, every, dtype=np.int64)
    gens, samples, used, avg, mx, ns = [], [], [], [], [], []
    for g in points:
        t = np.array([int((layout.generation[layout.run == r] <= g).sum())
                      for r in range(layout.n_runs)], dtype=np.int64)
        if isinstance(burnin, (int, np.integer)) and not isinstance(burnin, bool):
            if np.any(t <= burnin):
                continue
            lo = np.full(layout.n_runs, int(burnin), dtype=np.int64)
        else:
            lo = np.array([int(float(burnin) * x) for x in t], dtype=np.int64)
        counts = entries.counts(lo, t)
        a = _asdsf_of(counts, t - lo, nontrivial, rule, min_freq)
        gens.append(g)
        samples.append(t)
        used.append(t - lo)
        avg.append(a.asdsf)
        mx.append(a.msdsf)
        ns.append(a.n_splits)
    shape = (len(gens), layout.n_runs)
    return ASDSFTrace(generation=np.array(gens, dtype=np.int64),
                      samples=np.array(samples, dtype=np.int64).reshape(shape),
                      used=np.array(used, dtype=np.int64).reshape(shape),
                      asdsf=np.array(avg), msdsf=np.array(mx), n_splits=np.array(ns),
                      every=int(every), in_generations=layout.generations_named, rule=rule)


# ---------------------------------------------------------------- branch lengths and PSRF


PSRF_RULES = ("mrbayes", "gelman-rubin")


@dataclass(frozen=True)
class BranchLengthStats:
    """Per split: branch-length mean, variance and PSRF across runs (a ``.vstat`` row)."""

    split_ids: np.ndarray
    labels: List[str]
    mean: np.ndarray  # over all runs pooled
    variance: np.ndarray  # pooled, n - 1 in the denominator
    psrf: np.ndarray  # NaN where MrBayes prints NA
    runs_present: np.ndarray
    rule: str

    @property
    def max_psrf(self) -> float:
        ok = self.psrf[np.isfinite(self.psrf)]
        return float(ok.max()) if len(ok) else math.nan

    @property
    def mean_psrf(self) -> float:
        """Mean over the PSRFs MrBayes averages: neither NA nor above 10."""
        ok = self.psrf[np.isfinite(self.psrf) & (self.psrf <= 10.0)]
        return float(ok.mean()) if len(ok) else math.nan


def _psrf(n: np.ndarray, mean: np.ndarray, m2: np.ndarray, rule: str) -> np.ndarray:
    """PSRF per row from per-run counts, means and sums of squared deviations.

    ``gelman-rubin``: sqrt((w - 1) / w + (R + 1) / R * B / W), with w the mean number of
    samples per run, B the variance of the run means and W the mean within-run variance.
    ``mrbayes``: the same, except that, as MrBayes' PotentialScaleReduction computes it,
    the sum of squared deviations is never reset between runs, so run j's "variance" is the
    sum over runs 1..j divided by (n_j - 1).
    """
    rows, r = n.shape
    out = np.full(rows, math.nan)
    within = np.cumsum(m2, axis=1) if rule == "mrbayes" else m2
    with np.errstate(divide="ignore", invalid="ignore"):
        w_var = (within / (n - 1)).sum(axis=1) / r
        b_var = mean.var(axis=1, ddof=1)
        weight = n.sum(axis=1) / r
        r2 = (weight - 1.0) / weight + ((r + 1) / r) * (b_var / w_var)
    ok = (n > 0).all(axis=1) & (w_var > 0)
    out[ok] = np.sqrt(r2[ok])
    return out


def branch_length_stats(sd: SplitData, layout: RunLayout,
                        split_ids: Union[Sequence[int], np.ndarray], burnin: BurninRule = 0.25,
                        rule: str = "mrbayes") -> BranchLengthStats:
    """Branch-length summary of the given splits after ``burnin``, with the PSRF across runs
    under ``rule`` ("mrbayes": as ``.vstat`` prints it; "gelman-rubin": the textbook form).
    NaN and infinite lengths are left out (the split's count then counts only the others)."""
    if rule not in PSRF_RULES:
        raise ValueError(f"unknown PSRF rule {rule!r}: choose one of {', '.join(PSRF_RULES)}")
    if sd.lengths is None:
        raise ValueError("the PSRF of branch lengths needs split data built with lengths")
    ids = np.asarray(split_ids, dtype=np.int64)
    entries = _entries(sd, layout)
    lo, hi = _burnin_window(layout, burnin)
    row_of = np.full(sd.n_splits, -1, dtype=np.int64)
    row_of[ids] = np.arange(len(ids))
    k, r = len(ids), layout.n_runs

    def kept() -> Iterator[Tuple[np.ndarray, np.ndarray, np.ndarray]]:
        """(rows, cells, lengths) of the entries of the given splits, piece by piece in
        table order. Every weighted sum below adds them in that order (np.add.at adds
        one term at a time, as one bincount over all of them would), so reading them in
        pieces changes no bit, and memory stays a piece's."""
        for run, e_ids, e_len in entries.pieces(lo, hi):
            rows = row_of[e_ids]
            sel = (rows >= 0) & np.isfinite(e_len)  # a NaN or infinite length says nothing
            rows = rows[sel]
            runs = run if np.isscalar(run) else cast(np.ndarray, run)[sel]
            yield rows, rows * r + runs, e_len[sel]

    counts = np.zeros(k * r, dtype=np.int64)
    s: np.ndarray = np.zeros(k * r)
    for _, cell, x in kept():
        counts += np.bincount(cell, minlength=k * r)
        np.add.at(s, cell, x)
    n = counts.reshape(k, r).astype(np.float64)
    s = s.reshape(k, r)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = s / n
    m2: np.ndarray = np.zeros(k * r)
    flat_mean = mean.ravel()
    for _, cell, x in kept():
        dev = x - flat_mean[cell]
        np.add.at(m2, cell, dev * dev)
    m2 = m2.reshape(k, r)
    total = n.sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        pooled_mean = s.sum(axis=1) / total
        pooled_ss = np.zeros(k)
        for rows, _, x in kept():
            pdev = x - pooled_mean[rows]
            np.add.at(pooled_ss, rows, pdev * pdev)
        pooled_var = pooled_ss / (total - 1)
    pooled_var = np.where(total > 1, pooled_var, 0.0)
    psrf = _psrf(n, mean, m2, rule) if r > 1 else np.full(k, math.nan)
    return BranchLengthStats(split_ids=ids, labels=sd.labels(ids) if k else [],
                             mean=pooled_mean, variance=pooled_var, psrf=psrf,
                             runs_present=(n > 0).sum(axis=1), rule=rule)


# ---------------------------------------------------------- sliding and cumulative windows


@dataclass(frozen=True)
class WindowFrequencies:
    """RWTY's slide.freq / cumulative.freq of one run: split frequencies in consecutive
    windows of ``window`` trees and their running (cumulative) means.

    The average changes (ACSF) are taken, as RWTY does, over every non-trivial split seen
    in any window of the run (a split missing from a window has frequency 0 there); the
    per-window frequencies are kept only for the splits asked for (the split table's), so
    memory does not grow with the number of distinct splits times windows.
    """

    run_label: str
    window: int
    start: np.ndarray  # (w,) first position (after burn-in) of each window
    n_splits_seen: int  # non-trivial splits in any window: the ACSF denominators
    acsf_sliding: np.ndarray  # (w - 1,) mean |change| between consecutive windows
    acsf_cumulative: np.ndarray  # (w - 1,) the same for the cumulative means
    split_ids: np.ndarray  # (k,) the splits whose windows are kept
    sliding: np.ndarray  # (k, w) their frequency in each window
    cumulative: np.ndarray  # (k, w) their mean window frequency so far

    @property
    def wcsf(self) -> np.ndarray:
        """(k,) RWTY's weighted change of each kept split's cumulative frequency: the
        changes between windows weighted by 1/N .. N/N."""
        d = np.abs(np.diff(self.cumulative, axis=1))
        w = d.shape[1]
        return (d * (np.arange(1, w + 1) / w)[None, :]).sum(axis=1)


def window_frequencies(sd: SplitData, layout: RunLayout, run: int, burnin: BurninRule = 0.25,
                       window: int = 20,
                       split_ids: Optional[Union[Sequence[int], np.ndarray]] = None
                       ) -> WindowFrequencies:
    """Sliding-window and cumulative split frequencies of one run (RWTY's definitions:
    floor(N / window) windows of consecutive trees after the burn-in). ``split_ids``: the
    splits whose per-window frequencies are kept (default: none)."""
    if window < 1:
        raise ValueError(f"the window must hold at least one tree, got {window}")
    lo, hi = _burnin_window(layout, burnin)
    n = int(hi[run] - lo[run])
    n_windows = n // window
    if n_windows < 2:
        raise ValueError(f"run {layout.run_labels[run]!r} has {n} trees after the burn-in: "
                         f"too few for two windows of {window}")
    hi = hi.copy()
    hi[run] = lo[run] + n_windows * window
    ids, pos = _entries(sd, layout).select(lo, hi, run)
    win = (pos - lo[run]) // window
    keep = sd.nontrivial()[ids]
    ids, win = ids[keep], win[keep]
    seen, local = np.unique(ids, return_inverse=True)
    k_seen = len(seen)
    kept = np.zeros(0, dtype=np.int64) if split_ids is None else \
        np.asarray(split_ids, dtype=np.int64)
    kept_local = np.searchsorted(seen, kept)
    present = (kept_local < k_seen) & (seen[np.minimum(kept_local, max(k_seen - 1, 0))] == kept) \
        if k_seen else np.zeros(len(kept), dtype=bool)
    bounds = np.searchsorted(win, np.arange(n_windows + 1))  # entries come in tree order
    sliding = np.zeros((len(kept), n_windows))
    acsf_s = np.zeros(n_windows - 1)
    acsf_c = np.zeros(n_windows - 1)
    previous: Optional[np.ndarray]
    running: Optional[np.ndarray]
    cum_prev: Optional[np.ndarray]
    previous = running = cum_prev = None
    for w in range(n_windows):
        freq = np.bincount(local[bounds[w]:bounds[w + 1]], minlength=k_seen) / window
        sliding[present, w] = freq[kept_local[present]]
        running = freq.copy() if running is None else running + freq
        cum = running / (w + 1)
        if previous is not None and k_seen:
            acsf_s[w - 1] = np.abs(freq - previous).sum() / k_seen
            assert cum_prev is not None  # set with previous
            acsf_c[w - 1] = np.abs(cum - cum_prev).sum() / k_seen
        previous, cum_prev = freq, cum
    cumulative = np.cumsum(sliding, axis=1) / np.arange(1, n_windows + 1)[None, :]
    return WindowFrequencies(run_label=layout.run_labels[run], window=int(window),
                             start=np.arange(n_windows) * window, n_splits_seen=int(k_seen),
                             acsf_sliding=acsf_s, acsf_cumulative=acsf_c, split_ids=kept,
                             sliding=sliding, cumulative=cumulative)


def presence_traces(sd: SplitData, layout: RunLayout, run: int,
                    split_ids: Union[Sequence[int], np.ndarray], burnin: BurninRule = 0.25
                    ) -> np.ndarray:
    """(k, N) 0/1 presence of each given split in each tree of one run after ``burnin``."""
    ids = np.asarray(split_ids, dtype=np.int64)
    lo, hi = _burnin_window(layout, burnin)
    e_ids, pos = _entries(sd, layout).select(lo, hi, run)
    row_of = np.full(sd.n_splits, -1, dtype=np.int64)
    row_of[ids] = np.arange(len(ids))
    rows = row_of[e_ids]
    cols = pos - lo[run]
    sel = rows >= 0
    out = np.zeros((len(ids), int(hi[run] - lo[run])), dtype=np.float64)
    out[rows[sel], cols[sel]] = 1.0
    return out


# ------------------------------------------------------------------- per split, for trees


def split_convergence(sd: SplitData, split_ids: Union[Sequence[int], np.ndarray],
                      block: int = 32) -> Tuple[np.ndarray, np.ndarray]:
    """(SDSF, split ESS) of each given split over the runs (the groups of ``sd``, every
    tree of which is used): the standard deviation of its frequencies in the runs
    (MrBayes' formula, as ``.tstat``'s Stddev(s)), and the smallest over the runs of
    Tracer's ESS of its 0/1 presence in the run's trees, in sample order. NaN where not
    defined: one run, or a split present in every tree of a run or in none (its presence
    does not vary) in every run. Presence is built ``block`` splits at a time."""
    from .ess import tracer_ess

    ids = np.asarray(split_ids, dtype=np.int64)
    k, runs = len(ids), sd.n_groups
    if runs < 2 or k == 0:
        return np.full(k, math.nan), np.full(k, math.nan)
    sizes = sd.group_sizes()
    counts = sd.counts()[ids]
    sdsf = sd_across_runs(counts / sizes[None, :])
    # A split in every tree of each run or in none (a tip, say) has no ESS anywhere, its
    # presence being constant: only the others are looked for in the trees, as rows 0..k-1.
    varies = np.flatnonzero(((counts > 0) & (counts < sizes[None, :])).any(axis=1))
    asked, ids, k = ids, ids[varies], len(varies)
    row_of = np.full(sd.n_splits, -1, dtype=np.int32)
    row_of[ids] = np.arange(k)
    # The entries of the k splits (row and tree, in entry order), found a chunk of trees at
    # a time: index arrays of the whole table would be 8 bytes an entry each.
    found_rows, found_trees = [], []
    for t0, t1, e0, e1 in sd.chunks():
        r = row_of[sd.ids[e0:e1]]
        hit = np.flatnonzero(r >= 0)
        found_rows.append(r[hit])
        found_trees.append((np.searchsorted(sd.indptr[t0:t1 + 1], hit + e0, side="right")
                            - 1 + t0).astype(np.int32))
    rows = np.concatenate(found_rows)
    tree_of = np.concatenate(found_trees)
    del found_rows, found_trees
    group = sd.groups[tree_of]
    position = np.empty(sd.n_trees, dtype=np.int64)  # a tree's place in its run
    for r in range(runs):
        members = np.flatnonzero(sd.groups == r)
        position[members] = np.arange(len(members))
    ess = np.full(k, math.nan)
    for r in range(runs):
        mine = group == r
        for b0 in range(0, k, block):
            b1 = min(k, b0 + block)
            sel = mine & (rows >= b0) & (rows < b1)
            presence = np.zeros((b1 - b0, int(sizes[r])), dtype=np.int8)
            presence[rows[sel] - b0, position[tree_of[sel]]] = 1
            ess[b0:b1] = np.fmin(ess[b0:b1], tracer_ess(presence))
    every = np.full(len(asked), math.nan)
    every[varies] = ess
    return sdsf, every

"""Consensus trees with the keys MrBayes' ``sumt`` writes in its ``.con.tre`` (3.2.7a).

    >>> keys = sumt_keys(tree, sd)       # a consensus tree of unrooted trees, its split data
    >>> keys.newick(labels, outgroup)    # 1[&prob=...,prob_stddev=...]:0.55[&length_mean=...]

Every node, tips included, carries the share of the trees holding its split (``prob``);
with several runs also the standard deviation of the runs' shares (``prob_stddev``, as
``.tstat``'s Stddev(s)) and their range (``prob_range``); then ``prob(percent)`` and, with
several runs, ``prob+-sd``, both as text rounded to whole percents. Where the trees have
branch lengths (not all missing or 0), each branch carries, after its length, the mean, median and 95% HPD of
its lengths over the trees holding its split (``length_mean``, ``length_median``,
``length_95%HPD``: the median and HPD as MrBayes computes them, see
:func:`~kestrilune_tools.analyses.params.mrbayes_hpd`), and the median is the length
written. Numbers are written in full (MrBayes prints eight digits).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional, Sequence

import numpy as np

from ...table.splits import SplitData
from ..converge.splitfreq import sd_across_runs
from ..params import mrbayes_hpd
from .newick import _render
from .results import SummaryTree

__all__ = ["SumtKeys", "sumt_keys"]


@dataclass(frozen=True)
class SumtKeys:
    """The annotations of one tree, beside its rows (``tree.membership``)."""

    tree: SummaryTree
    node: List[str]  # "[&prob=...]" after each node
    branch: List[str]  # "[&length_mean=...]" after each branch length ("" without lengths)
    lengths: Optional[np.ndarray]  # the median length of each branch (NaN: none); None:
    # the trees have no branch lengths (every one missing or 0), or the tree was built without

    def newick(self, labels: Sequence[str], outgroup: int = 0,
               support_labels: bool = False) -> str:
        """The tree with its keys; ``support_labels`` also writes each internal node's
        ``prob`` as its label."""
        tree = self.tree
        return _render(np.asarray(tree.membership), tree.support, self.lengths, labels,
                       tree.rooted, outgroup, None, support_labels,
                       comments=list(zip(self.node, self.branch)))


def _num(x: float) -> str:
    return repr(float(x))


def sumt_keys(tree: SummaryTree, sd: SplitData,
              extra: Optional[Sequence[str]] = None) -> SumtKeys:
    """The ``.con.tre`` keys of ``tree`` (built from ``sd``), as described above;
    ``extra[row]`` (``key=value,...``) is added to each node's keys."""
    ids = np.asarray(tree.split_ids, dtype=np.int64)
    k = len(ids)
    counts = sd.counts()[ids]  # (k, runs)
    per_run = sd.group_sizes().astype(np.float64)
    prob = counts.sum(axis=1) / per_run.sum()
    several = sd.n_groups > 1
    if several:
        freq = counts / per_run[None, :]
        sd_runs = sd_across_runs(freq)
    node: List[str] = []
    for j in range(k):
        keys = [f"prob={_num(prob[j])}"]
        if several:
            keys += [f"prob_stddev={_num(sd_runs[j])}",
                     f"prob_range={{{_num(freq[j].min())},{_num(freq[j].max())}}}"]
        keys.append(f'prob(percent)="{100 * prob[j]:.0f}"')
        if several:
            keys.append(f'prob+-sd="{100 * prob[j]:.0f}+-{100 * sd_runs[j]:.0f}"')
        if extra is not None and extra[j]:
            keys.append(extra[j])
        node.append("[&" + ",".join(keys) + "]")
    branch = [""] * k
    if tree.lengths is None or sd.lengths is None or not np.any(sd.lengths != 0.0):
        return SumtKeys(tree=tree, node=node, branch=branch, lengths=None)
    median = np.full(k, np.nan)
    row_of = np.full(sd.n_splits, -1, dtype=np.int64)
    row_of[ids] = np.arange(k)
    rows = row_of[sd.ids]
    keep = (rows >= 0) & np.isfinite(sd.lengths)
    rows, lens = rows[keep], sd.lengths[keep]
    order = np.argsort(rows, kind="stable")
    bounds = np.searchsorted(rows[order], np.arange(k + 1))
    for j in range(k):
        x = lens[order[bounds[j]:bounds[j + 1]]]
        if not len(x):
            continue
        lower, upper, median[j] = mrbayes_hpd(x)
        branch[j] = (f"[&length_mean={_num(x.mean())},length_median={_num(median[j])},"
                     f"length_95%HPD={{{_num(lower)},{_num(upper)}}}]")
    return SumtKeys(tree=tree, node=node, branch=branch, lengths=median)

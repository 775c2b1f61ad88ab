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

A consensus of rooted trees with branch lengths (a clock analysis) carries, as ``sumt``
writes it then, ``height_mean``, ``height_median`` and ``height_95%HPD`` on every node
(the root too: its branch keys are 0), the heights taken as TreeAnnotator takes them (see
:mod:`.annotate`) over the trees holding the clade; the length written is then the
parent's median height minus the child's.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple

import numpy as np

from ...table.splits import SplitData
from ..converge.splitfreq import sd_across_runs
from ..params import mrbayes_hpd
from .annotate import chunk_heights, group_by_row, leaf_of_split
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
    root: str = ""  # the root's keys (rooted trees with heights)

    def newick(self, labels: Sequence[str], outgroup: int = 0,
               support_labels: bool = False) -> str:
        """The tree with its keys; ``support_labels`` also writes each internal node's
        ``prob`` as its label."""
        tree = self.tree
        return _render(np.asarray(tree.membership), tree.support, self.lengths, labels,
                       tree.rooted, outgroup, None, support_labels,
                       comments=list(zip(self.node, self.branch)), root_comment=self.root)


_CHUNK = 2048  # trees a step of the passes over the table


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
        if tree.rooted:  # the key FigTree and treeio read for rooted trees
            keys.append(f"posterior={_num(prob[j])}")
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
    got: List[List[np.ndarray]] = [[] for _ in range(k)]
    for _, _, e0, e1 in sd.chunks(_CHUNK):  # whole-table temporaries: 8 B an entry each
        lengths = sd.lengths[e0:e1]
        order, bounds = group_by_row(np.where(np.isfinite(lengths), row_of[sd.ids[e0:e1]], -1),
                                     k)
        for j in range(k):
            if bounds[j + 1] > bounds[j]:
                got[j].append(lengths[order[bounds[j]:bounds[j + 1]]])
    for j in range(k):
        if not got[j]:
            continue
        x = np.concatenate(got[j])
        got[j] = []
        text, median[j] = _keys_of("length", x)
        branch[j] = "[&" + text + "]"
    if not tree.rooted or not sd.has_parents:
        return SumtKeys(tree=tree, node=node, branch=branch, lengths=median)
    return _with_heights(tree, sd, ids, node, branch)


def _keys_of(name: str, x: np.ndarray) -> Tuple[str, float]:
    """``NAME_mean``, ``NAME_median`` and ``NAME_95%HPD`` of x as sumt writes them, and the
    median."""
    lower, upper, med = mrbayes_hpd(x)
    return (f"{name}_mean={_num(x.mean())},{name}_median={_num(med)},"
            f"{name}_95%HPD={{{_num(lower)},{_num(upper)}}}"), med


def _with_heights(tree: SummaryTree, sd: SplitData, ids: np.ndarray, node: List[str],
                  branch: List[str]) -> SumtKeys:
    """The clock keys: node heights over the trees holding each clade, lengths from the
    median heights."""
    k = len(ids)
    row_of = np.full(sd.n_splits, -1, dtype=np.int64)
    row_of[ids] = np.arange(k)
    leaf_of = leaf_of_split(sd)
    got: List[List[np.ndarray]] = [[] for _ in range(k)]
    roots: List[np.ndarray] = []
    for t0, t1, e0, e1 in sd.chunks(_CHUNK):
        h, _ = chunk_heights(sd, t0, t1, leaf_of)
        e_ids = sd.ids[e0:e1]
        entries = len(e_ids)
        by, bounds = group_by_row(row_of[e_ids], k)
        for j in range(k):
            got[j].append(h[by[bounds[j]:bounds[j + 1]]])
        roots.append(h[entries:].copy())  # not a view holding the chunk's heights
    median = np.full(k, np.nan)
    heights = [np.concatenate(g) for g in got]
    for j in range(k):
        if len(heights[j]):
            text, median[j] = _keys_of("height", heights[j])
            node[j] = node[j][:-1] + "," + text + "]"
    root_h = np.concatenate(roots)
    root_text, root_median = _keys_of("height", root_h)
    # the parent of each row: the smallest row whose leaves hold it, else the root
    member = np.asarray(tree.membership, dtype=bool)
    size = member.sum(axis=1)
    parent_median = np.full(k, root_median)
    for j in np.argsort(-size, kind="stable"):
        holds = np.flatnonzero((size > size[j]) & ~(member[j] & ~member).any(axis=1))
        if len(holds):
            parent_median[j] = median[holds[np.argmin(size[holds])]]
    zero = "length_mean=0.0,length_median=0.0,length_95%HPD={0.0,0.0}"
    keys = ["prob=1.0", "posterior=1.0"]
    if sd.n_groups > 1:
        keys += ["prob_stddev=0.0", "prob_range={1.0,1.0}"]
    keys.append('prob(percent)="100"')
    if sd.n_groups > 1:
        keys.append('prob+-sd="100+-0"')
    root = "[&" + ",".join(keys + [root_text]) + "][&" + zero + "]"
    return SumtKeys(tree=tree, node=node, branch=branch, lengths=parent_median - median,
                    root=root)

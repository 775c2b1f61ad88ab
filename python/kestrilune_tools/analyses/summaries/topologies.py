"""Distinct topologies with their probabilities, and the MCC tree (the sample tree
with the highest clade credibility)."""

from __future__ import annotations

import math
from fractions import Fraction
from typing import Dict, List, Tuple

import numpy as np

from ...table.splits import SplitData
from .results import (
    SummaryTree, TopologyTable, _has_lengths, _make_tree, _require_rooted, _require_trees,
    _totals,
)

__all__ = ["MCC_CRITERIA", "topology_probabilities", "mcc_tree"]


MCC_CRITERIA = ("log", "product", "sum")
_SCORE_NAMES = {
    "log": "log clade credibility",
    "product": "product of clade credibilities",
    "sum": "sum of clade credibilities",
}


# ----------------------------------------------------------------------------- topologies


def _topologies(sd: SplitData) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(topology of every tree in order of first appearance, first tree of each, counts).

    A tree's key is its split ids: pendant splits are shared by all trees, so equal keys
    mean equal topologies. The index holds each key's hash, and a tree whose hash is known
    is compared with that topology's first tree, so memory stays small when most trees
    differ and a collision cannot join two topologies (nor can the hash's per-process
    seed change the result: topologies are numbered by first appearance).
    """
    index: Dict[int, List[int]] = {}  # hash: the topologies having it
    topo = np.empty(sd.n_trees, dtype=np.int64)
    first: List[int] = []
    ids, indptr = sd.ids, sd.indptr
    for t in range(sd.n_trees):
        key = ids[indptr[t]:indptr[t + 1]].tobytes()
        known = index.setdefault(hash(key), [])
        for k in known:
            f = first[k]
            if ids[indptr[f]:indptr[f + 1]].tobytes() == key:
                break
        else:
            k = len(first)
            known.append(k)
            first.append(t)
        topo[t] = k
    counts = np.bincount(topo, minlength=len(first)).astype(np.int64)
    return topo, np.asarray(first, dtype=np.int64), counts


def topology_probabilities(sd: SplitData, credible_mass: float = 0.95) -> TopologyTable:
    """Every distinct topology with its count, probability and cumulative probability."""
    if not 0 < credible_mass <= 1:
        raise ValueError(f"credible mass must be in (0, 1], got {credible_mass!r}")
    _require_trees(sd)
    topo, first, counts = _topologies(sd)
    order = np.lexsort((first, -counts))  # first appearance breaks ties
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    counts = counts[order]
    n = sd.n_trees
    cum_counts = np.cumsum(counts)
    q = Fraction(repr(float(credible_mass)))
    # Shortest prefix whose mass reaches the target, in exact integer arithmetic.
    n_credible = int(np.searchsorted(cum_counts * q.denominator >= q.numerator * n, True) + 1)
    group_counts = np.zeros((len(counts), sd.n_groups), dtype=np.int64)
    np.add.at(group_counts, (rank[topo], sd.groups), 1)
    return TopologyTable(counts=counts, probabilities=counts / n, cumulative=cum_counts / n,
                         first_tree=first[order], group_counts=group_counts,
                         tree_topology=rank[topo], credible_mass=float(credible_mass),
                         n_credible=min(n_credible, len(counts)), n_trees=n, rooted=sd.rooted,
                         settings={"credible_mass": float(credible_mass)}, _sd=sd)


# ----------------------------------------------------------------------------- MCC


def mcc_tree(sd: SplitData, criterion: str = "log") -> SummaryTree:
    """The sample tree with the highest clade credibility score (TreeAnnotator 1.10).

    The returned tree keeps the chosen tree's own branch lengths; its support values are
    the clade credibilities. ``settings["n_clades"]`` counts the distinct clades of internal
    nodes, root included, as TreeAnnotator's "Total unique clades" does.
    """
    if criterion not in MCC_CRITERIA:
        raise ValueError(f"unknown MCC criterion {criterion!r}: use one of "
                         f"{', '.join(MCC_CRITERIA)}")
    _require_rooted(sd, "the MCC tree")
    _require_trees(sd)
    n = sd.n_trees
    counts = _totals(sd)
    nontrivial = sd.nontrivial()
    credibility = counts / n
    log_cred = np.log(np.where(counts > 0, credibility, 1.0))
    topo, first, _ = _topologies(sd)
    best, best_score = -1, -math.inf
    for k, t in enumerate(first):  # topologies in order of first appearance
        ids = sd.tree_splits(int(t))
        ids = ids[nontrivial[ids]]
        if criterion == "log":
            score = math.fsum(log_cred[ids].tolist())
        elif criterion == "sum":
            score = math.fsum(credibility[ids].tolist()) + 1.0
        else:
            score = 1.0
            for c in credibility[ids].tolist():  # ascending split ids
                score *= c
        if score > best_score:
            best, best_score = k, score
    t = int(first[best])
    ids = sd.tree_splits(t)
    own = sd.tree_lengths(t) if _has_lengths(sd) else None
    n_clades = int(np.count_nonzero((counts > 0) & nontrivial)) + 1
    return _make_tree(sd, "MCC", ids, lengths=False, branch_lengths=own,
                      score=best_score, score_name=_SCORE_NAMES[criterion], tree_index=t,
                      tree_name=sd.tree_names[t],
                      settings={"criterion": criterion, "n_clades": n_clades,
                                "lengths": "the chosen tree's own"})

"""Summary trees of a posterior sample: consensus, topology probabilities, MCC and CCD trees.

Everything is computed from the split data of :mod:`kestrilune_tools.splits`::

    >>> ts = read_trees(["a.run1.t", "a.run2.t"], burnin="25%")
    >>> sd = split_data(ts, rooted=False)
    >>> majority_consensus(sd).newick       # support as [&prob=...], mean branch lengths
    >>> topology_probabilities(sd).counts    # like MrBayes' .trprobs
    >>> sd = split_data(read_trees("beast.trees", burnin=200), rooted=True)
    >>> mcc_tree(sd).tree_name, mcc_tree(sd).score

Definitions (each result carries the settings that made it):

* Support of a split (clade) = trees holding it / trees used, pooled over runs.
* Majority-rule consensus at threshold t >= 0.5: the non-trivial splits held by at least
  the fraction t of the trees and by more than half of them (so two splits that cannot
  coexist never both enter at exactly 0.5).
* Greedy ("allcompat") consensus: the majority-rule splits, then every other split in
  order of decreasing count that is compatible with those already taken; splits of equal
  count are tried in ascending split-id (leaf-set) order.
* Topology: the set of splits of a tree. Topologies are ordered by decreasing count, ties
  by first appearance in the sample; the credible set at mass m is the shortest prefix
  whose probability reaches m.
* MCC tree (TreeAnnotator 1.10): rooted clades; a tree's score is the sum over its internal
  nodes (root included, whose clade has credibility 1) of log(count / trees used). The
  score is computed once per distinct topology with a correctly rounded sum, so identical
  topologies score exactly alike and, as in TreeAnnotator, the first tree with the highest
  score wins. ``criterion="product"`` maximises the plain product of the credibilities,
  ``"sum"`` the sum of credibilities (TreeAnnotator's "maximum sum of clade
  credibilities", root included).
* CCD0 and CCD1 (Berling et al. 2025, PLOS Comput Biol 21:e1012789): distributions over
  the rooted binary trees built from observed clades. CCD1 gives a tree the product of the
  conditional clade probabilities of its observed clade splits; CCD0 a probability
  proportional to the product of its clade credibilities, normalised over every tree whose
  clades were all observed. The MAP tree maximises that probability; among partitions of a
  clade that score exactly alike, the one whose first child clade comes first in leaf-set
  order is taken.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field
from fractions import Fraction
from typing import Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ...table.splits import SplitData

__all__ = [
    "SummaryTree",
    "TopologyTable",
    "MCC_CRITERIA",
    "majority_consensus",
    "allcompat_consensus",
    "topology_probabilities",
    "mcc_tree",
    "CCD",
    "ccd0",
    "ccd1",
    "ccd0_map",
    "ccd1_map",
    "clade_parents",
    "newick_label",
    "plain_topology",
    "rooting_marks",
    "check_taxa",
    "TreeLayout",
]

MCC_CRITERIA = ("log", "product", "sum")
_SCORE_NAMES = {
    "log": "log clade credibility",
    "product": "product of clade credibilities",
    "sum": "sum of clade credibilities",
}


# ----------------------------------------------------------------------------- results


@dataclass(frozen=True)
class SummaryTree:
    """One summary tree.

    ``split_ids`` are the ids (in the split data it came from) of every split of the tree,
    pendant edges included, ascending; ``support`` and ``lengths`` are beside them
    (``lengths`` is NaN where a branch has no length). ``newick`` names the leaves;
    :meth:`to_newick` writes it with other labels (for example translate-table numbers).
    """

    method: str  # "majority-rule consensus", "allcompat consensus", "MCC", "CCD0 MAP", ...
    newick: str
    leaf_names: Tuple[str, ...]
    rooted: bool
    split_ids: np.ndarray
    support: np.ndarray
    lengths: Optional[np.ndarray]
    n_trees: int  # trees summarised
    score: Optional[float] = None
    score_name: Optional[str] = None
    tree_index: Optional[int] = None  # the chosen sample tree (MCC), index into the trees used
    tree_name: Optional[str] = None
    log_probability: Optional[float] = None  # CCD0 / CCD1: log of the estimate's probability
    settings: Dict[str, object] = field(default_factory=dict)
    membership: Optional[np.ndarray] = field(default=None, repr=False, compare=False)

    @property
    def n_clades(self) -> int:
        """Internal nodes other than the root (the non-trivial splits)."""
        sizes = self.membership.sum(axis=1)
        n = len(self.leaf_names)
        return int(np.count_nonzero((sizes >= 2) & (sizes <= (n - 1 if self.rooted else n - 2))))

    def layout(self, outgroup: int = 0) -> "TreeLayout":
        """The tree as parent-linked nodes, for drawing (see :class:`TreeLayout`)."""
        return _layout(self.membership, self.rooted, outgroup)

    def to_newick(self, labels: Optional[Sequence[str]] = None, outgroup: int = 0,
                  support: bool = True, lengths: bool = True, precision: Optional[int] = None
                  ) -> str:
        """The tree in Newick; ``labels[i]`` stands for ``leaf_names[i]`` (default: the
        names, quoted where Newick needs it). Unrooted trees are drawn from ``outgroup``
        (an index into ``leaf_names``), as MrBayes draws them: a basal polytomy holding it.
        ``precision`` rounds numbers to that many significant digits (default: shortest
        exact text)."""
        if labels is None:
            labels = [newick_label(n) for n in self.leaf_names]
        return _render(self.membership, self.support if support else None,
                       self.lengths if lengths and self.lengths is not None else None,
                       labels, self.rooted, outgroup, precision)


@dataclass(frozen=True)
class TopologyTable:
    """Distinct topologies, most frequent first (see the module notes for ties).

    ``first_tree[k]`` is the first tree of topology k in the sample (an index into the
    trees used); ``tree_topology[t]`` is the rank of tree t's topology. ``n_credible``
    topologies make the credible set of mass ``credible_mass``.
    """

    counts: np.ndarray  # (k,) int64
    probabilities: np.ndarray  # (k,) float64
    cumulative: np.ndarray  # (k,) float64
    first_tree: np.ndarray  # (k,) int64
    group_counts: np.ndarray  # (k, n_groups) int64: count of each topology in each run
    tree_topology: np.ndarray  # (n_trees,) int64
    credible_mass: float
    n_credible: int
    n_trees: int
    rooted: bool
    settings: Dict[str, object] = field(default_factory=dict)
    _sd: Optional[SplitData] = field(default=None, repr=False, compare=False)

    def __len__(self) -> int:
        return len(self.counts)

    def newicks(self, treeset, ranks: Optional[Sequence[int]] = None,
                advance: Optional[Callable[[int], None]] = None) -> List[str]:
        """The topology of each rank (default: all) as plain Newick with taxon names, read
        from the text of its first tree in ``treeset`` (the set these split data came from):
        cheap enough for tables of many topologies. ``advance(k)`` is told of every k
        topologies read."""
        ranks = list(range(len(self))) if ranks is None else [int(k) for k in ranks]
        firsts = sorted({int(self.first_tree[k]) for k in ranks})
        labels: Dict[int, Dict[str, str]] = {}
        text_of = {}
        for i, (t, text) in enumerate(zip(firsts, treeset.subset(firsts).newicks()), 1):
            m = treeset.map_indices[t]
            text_of[t] = plain_topology(text, treeset.translate_maps[m],
                                        labels.setdefault(m, {}))
            if advance is not None and (i % 1024 == 0 or i == len(firsts)):
                advance(1024 if i % 1024 == 0 else i % 1024)
        return [text_of[int(self.first_tree[k])] for k in ranks]

    def tree(self, k: int) -> SummaryTree:
        """Topology k as a tree without branch lengths (support: the topology's share)."""
        sd = self._sd
        t = int(self.first_tree[k])
        ids = sd.tree_splits(t)
        return _make_tree(sd, "topology", ids, lengths=None,
                          support=np.full(len(ids), self.probabilities[k]), n_trees=self.n_trees,
                          settings={"rank": k + 1})


# ----------------------------------------------------------------------------- consensus


def majority_consensus(sd: SplitData, threshold: float = 0.5, lengths: bool = True
                       ) -> SummaryTree:
    """Majority-rule consensus (threshold >= 0.5): see the module notes."""
    q = _threshold(threshold)
    counts = _totals(sd)
    n = sd.n_trees
    take = sd.nontrivial() & (counts * q.denominator >= q.numerator * n) & (2 * counts > n)
    ids = np.flatnonzero(take | _pendant(sd))
    return _make_tree(sd, "majority-rule consensus", ids, lengths=lengths,
                      settings={"threshold": float(threshold), "lengths": "mean" if lengths
                                else None})


def allcompat_consensus(sd: SplitData, lengths: bool = True, block: int = 4096
                        ) -> SummaryTree:
    """Greedy consensus: majority-rule splits, then compatible ones by decreasing count.

    Candidates are screened ``block`` at a time against the splits already taken; the few
    that pass are then taken one by one, each checked against those taken before it.
    """
    counts = _totals(sd)
    n = sd.n_trees
    nontrivial = np.flatnonzero(sd.nontrivial() & (counts > 0))
    order = nontrivial[np.lexsort((nontrivial, -counts[nontrivial]))]
    words = _words(sd.membership)
    n_leaves = len(sd.leaf_names)
    full = n_leaves - 2 if sd.rooted else n_leaves - 3  # non-trivial splits of a binary tree
    taken: List[int] = []
    taken_words = np.zeros((max(full, 0), words.shape[1]), dtype=np.uint64)
    for b in range(0, len(order), block):
        if len(taken) >= full:
            break
        cand = order[b:b + block]
        before = len(taken)  # what the whole block is screened against at once
        fits = _compatible(words[cand], taken_words[:before])
        for s, ok in zip(cand.tolist(), fits.tolist()):
            if len(taken) >= full:
                break
            # Splits held by more than half of the trees always fit together.
            if 2 * counts[s] > n or (ok and _compatible(words[s][None],
                                                        taken_words[before:len(taken)])[0]):
                taken_words[len(taken)] = words[s]
                taken.append(s)
    ids = np.sort(np.concatenate([np.asarray(taken, dtype=np.int64),
                                  np.flatnonzero(_pendant(sd))]))
    return _make_tree(sd, "allcompat consensus", ids, lengths=lengths,
                      settings={"lengths": "mean" if lengths else None})


def _compatible(cand: np.ndarray, taken: np.ndarray) -> np.ndarray:
    """For each row of ``cand``, whether it can join all the splits ``taken`` (rows of
    words) in one tree.

    Both modes store sides that leave out one common leaf (the first leaf, unrooted; no
    leaf at all is shared with the root's complement, rooted), so two splits fit together
    exactly when their stored sides are disjoint or nested.
    """
    if len(taken) == 0:
        return np.ones(len(cand), dtype=bool)
    c, t = cand[:, None, :], taken[None, :, :]
    disjoint = ~(c & t).any(axis=2)
    inside = ~(c & ~t).any(axis=2)
    holds = ~(t & ~c).any(axis=2)
    return (disjoint | inside | holds).all(axis=1)


# ----------------------------------------------------------------------------- topologies


def _topologies(sd: SplitData) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(topology of every tree in order of first appearance, first tree of each, counts).

    A tree's key is its split ids: pendant splits are shared by all trees, so equal keys
    mean equal topologies.
    """
    index: Dict[bytes, int] = {}
    topo = np.empty(sd.n_trees, dtype=np.int64)
    first: List[int] = []
    ids, indptr = sd.ids, sd.indptr
    for t in range(sd.n_trees):
        key = ids[indptr[t]:indptr[t + 1]].tobytes()
        k = index.get(key)
        if k is None:
            k = index[key] = len(first)
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


# ----------------------------------------------------------------------------- CCD


def clade_parents(sd: SplitData, budget: int = 1 << 16) -> np.ndarray:
    """For every entry of ``sd.ids`` (rooted), the id of the smallest clade of the same
    tree strictly containing it, or ``sd.n_splits`` where that is the root: what
    ``sd.parents`` holds, derived from the membership alone (for split data without it).

    The clades of a tree that hold a given leaf form a chain ordered by size, and a clade's
    parent is the next link of the chain of any of its leaves: this sorts (tree, leaf,
    size) triples, a tree batch at a time so that at most about ``budget`` triples exist.
    """
    _require_rooted(sd, "child clades")
    member = sd.membership
    n_leaves = member.shape[1]
    sizes = member.sum(axis=1).astype(np.int64)
    first_leaf = np.argmax(member, axis=1)
    leaf_rows, leaf_cols = np.nonzero(member)  # row-major: each clade's leaves in order
    leaf_start = np.zeros(sd.n_splits + 1, dtype=np.int64)
    np.cumsum(np.bincount(leaf_rows, minlength=sd.n_splits), out=leaf_start[1:])
    out = np.full(len(sd.ids), sd.n_splits, dtype=np.int64)
    triples = np.zeros(sd.n_trees + 1, dtype=np.int64)  # triples before each tree
    np.cumsum(np.add.reduceat(sizes[sd.ids], sd.indptr[:-1]) if len(sd.ids) else 0,
              out=triples[1:])
    t0 = 0
    while t0 < sd.n_trees:
        t1 = max(t0 + 1, int(np.searchsorted(triples, triples[t0] + budget, "right")) - 1)
        e0, e1 = int(sd.indptr[t0]), int(sd.indptr[t1])
        ids = sd.ids[e0:e1].astype(np.int64)
        tree_of = np.repeat(np.arange(t0, t1), np.diff(sd.indptr[t0:t1 + 1]))
        n_of = sizes[ids]
        entry = np.repeat(np.arange(e1 - e0), n_of)
        offset = np.arange(len(entry)) - np.repeat(np.cumsum(n_of) - n_of, n_of)
        leaf = leaf_cols[np.repeat(leaf_start[ids], n_of) + offset]
        mine = leaf == np.repeat(first_leaf[ids], n_of)  # one triple per clade: its first leaf's
        # One sort key: (tree, leaf, size); a leaf's chain has distinct sizes.
        chain = np.repeat(tree_of - t0, n_of) * n_leaves + leaf
        key = chain * (n_leaves + 1) + np.repeat(n_of, n_of)
        if key[-1] < 2**31 and key.max() < 2**31:
            key = key.astype(np.int32)
        order = np.argsort(key)
        chain = chain[order]
        has_parent = mine[order]
        has_parent[:-1] &= chain[1:] == chain[:-1]
        has_parent[-1] = False
        entry = entry[order]
        out[e0 + entry[has_parent]] = ids[entry[np.flatnonzero(has_parent) + 1]]
        t0 = t1
    return out


@dataclass(frozen=True)
class CCD:
    """A conditional clade distribution over rooted binary trees.

    Clades are the observed clades, the root last (``clade_split_ids`` gives each one's
    split id, -1 for the root). A partition row ``(clade, child1, child2)`` splits a clade
    into two; ``log_ccp`` is the log of its conditional probability. The probability of a
    tree is the product of the conditional probabilities of its partitions;
    ``tree_log_probabilities`` holds it for every sample tree.
    """

    kind: str  # "CCD0" or "CCD1"
    clade_split_ids: np.ndarray  # (m,) int64
    clade_sizes: np.ndarray  # (m,) int64
    clade_counts: np.ndarray  # (m,) int64: trees holding each clade
    partitions: np.ndarray  # (p, 3) int64, rows ascending
    log_ccp: np.ndarray  # (p,) float64
    tree_log_probabilities: np.ndarray  # (n_trees,) float64
    n_trees: int
    settings: Dict[str, object] = field(default_factory=dict)
    _sd: Optional[SplitData] = field(default=None, repr=False, compare=False)

    @property
    def root(self) -> int:
        return len(self.clade_sizes) - 1

    def map_tree(self, lengths: bool = True) -> SummaryTree:
        """The most probable tree of the distribution.

        CCD0 maximises the product of clade credibilities (``score`` is its log), which is
        the same tree; CCD1 the product of conditional clade probabilities. Branch lengths
        are each clade's mean over the trees holding it.
        """
        if self.kind == "CCD0":
            log_f = np.log(self.clade_counts) - math.log(self.n_trees)
            value = log_f[self.partitions[:, 1]] + log_f[self.partitions[:, 2]]
        else:
            value = self.log_ccp
        best, choice = _max_dp(self.clade_sizes, self.partitions, value)
        clades: List[int] = []
        stack = [self.root]
        while stack:
            c = stack.pop()
            if c != self.root:
                clades.append(c)
            if self.clade_sizes[c] > 1:
                p = choice[c]
                if p < 0:
                    raise RuntimeError("a clade without a partition (internal error)")
                stack.extend((int(self.partitions[p, 1]), int(self.partitions[p, 2])))
        clades_a = np.asarray(clades, dtype=np.int64)
        ids = np.sort(self.clade_split_ids[clades_a])
        if self.kind == "CCD0":
            log_z = float(self.settings["log_normaliser"])
            score, name, log_p = float(best[self.root]), "log product of clade credibilities", \
                float(best[self.root]) - log_z
        else:
            score = log_p = float(best[self.root])
            name = "log CCD1 probability"
        return _make_tree(self._sd, f"{self.kind} MAP", ids, lengths=lengths, score=score,
                          score_name=name, log_probability=log_p,
                          settings={"lengths": "mean" if lengths else None})


def _clade_table(sd: SplitData) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """(split id of every observed clade, its words, size, count); the root is last."""
    counts = _totals(sd)
    n_leaves = len(sd.leaf_names)
    sizes = sd.split_sizes()
    keep = np.flatnonzero((counts > 0) & (sizes < n_leaves))
    words = np.vstack([_words(sd.membership[keep]), _words(np.ones((1, n_leaves), bool))])
    return (np.append(keep, -1).astype(np.int64), words,
            np.append(sizes[keep], n_leaves).astype(np.int64),
            np.append(counts[keep], sd.n_trees).astype(np.int64))


def ccd1(sd: SplitData, budget: int = 1 << 22) -> CCD:
    """The CCD1 of a sample of rooted binary trees: a partition's conditional probability
    is the number of trees in which it splits its clade over the trees holding the clade.
    Trees are paired up a batch of about ``budget`` clades at a time."""
    _check_ccd_input(sd, "CCD1")
    split_ids, _, sizes, counts = _clade_table(sd)
    m = len(split_ids)
    root = m - 1
    local = np.full(sd.n_splits + 1, -1, dtype=np.int64)
    local[split_ids[:-1]] = np.arange(root)
    local[sd.n_splits] = root
    parents = sd.parents if sd.parents is not None else clade_parents(sd)
    # A binary tree of n leaves holds 2n - 2 clades besides the root, in n - 1 pairs of
    # siblings: one partition per pair.
    n_pairs = len(sd.ids) // 2
    parts_of = np.empty((n_pairs, 3), dtype=np.int64)
    per_tree = len(sd.leaf_names) - 1
    trees_per_batch = max(1, budget // (2 * per_tree))
    for t0 in range(0, sd.n_trees, trees_per_batch):
        t1 = min(sd.n_trees, t0 + trees_per_batch)
        e0, e1 = int(sd.indptr[t0]), int(sd.indptr[t1])
        parent = parents[e0:e1].astype(np.int64)
        parent = local[np.where(parent < 0, sd.n_splits, parent)]
        child = local[sd.ids[e0:e1].astype(np.int64)]
        tree = np.repeat(np.arange(t1 - t0), np.diff(sd.indptr[t0:t1 + 1]))
        # Siblings become neighbours; within a tree, clades keep their ascending order.
        order = np.argsort(tree * m + parent, kind="stable")
        first, second = order[0::2], order[1::2]
        parts_of[e0 // 2:e1 // 2] = np.stack([parent[first], child[first], child[second]],
                                             axis=1)
    parts, inverse, part_counts = _unique_rows(parts_of[:, 0], parts_of[:, 1],
                                               parts_of[:, 2], m)
    del parts_of
    log_ccp = np.log(part_counts) - np.log(counts[parts[:, 0]])
    pair_tree = np.repeat(np.arange(sd.n_trees), per_tree)
    tree_lp = np.bincount(pair_tree, weights=log_ccp[inverse], minlength=sd.n_trees)
    return CCD(kind="CCD1", clade_split_ids=split_ids, clade_sizes=sizes, clade_counts=counts,
               partitions=parts, log_ccp=log_ccp, tree_log_probabilities=tree_lp,
               n_trees=sd.n_trees, settings={"rooted": True}, _sd=sd)


def _unique_rows(a: np.ndarray, b: np.ndarray, c: np.ndarray, m: int):
    """np.unique of the rows (a, b, c), values below m, with inverse and counts."""
    if m < 2**21:  # one int64 key per row
        keys, inverse, counts = np.unique((a * m + b) * m + c, return_inverse=True,
                                          return_counts=True)
        rows = np.stack([keys // (m * m), keys // m % m, keys % m], axis=1)
        return rows, inverse, counts
    rows, inverse, counts = np.unique(np.stack([a, b, c], axis=1), axis=0,
                                      return_inverse=True, return_counts=True)
    return rows, np.asarray(inverse).reshape(-1), counts


def ccd0(sd: SplitData, progress=None) -> CCD:
    """The CCD0 of a sample of rooted binary trees: every binary tree whose clades were all
    observed gets a probability proportional to the product of its clade credibilities.
    ``progress`` (a ``kestrilune.ProgressCounter``) counts the clades split so far."""
    _check_ccd_input(sd, "CCD0")
    split_ids, words, sizes, counts = _clade_table(sd)
    parts = _all_partitions(words, sizes, progress)
    log_f = np.log(counts) - math.log(sd.n_trees)
    log_s = _log_subtree_sums(sizes, parts, log_f)
    log_w = log_s - log_f  # log of the sum over subtrees below each clade
    log_ccp = log_s[parts[:, 1]] + log_s[parts[:, 2]] - log_w[parts[:, 0]]
    log_z = float(log_s[-1])
    nontrivial = sd.nontrivial()
    entry_f = np.where(nontrivial[sd.ids], np.log(_totals(sd)[sd.ids]) - math.log(sd.n_trees),
                       0.0)
    tree_of = np.repeat(np.arange(sd.n_trees), np.diff(sd.indptr))
    tree_lp = np.bincount(tree_of, weights=entry_f, minlength=sd.n_trees) - log_z
    return CCD(kind="CCD0", clade_split_ids=split_ids, clade_sizes=sizes, clade_counts=counts,
               partitions=parts, log_ccp=log_ccp, tree_log_probabilities=tree_lp,
               n_trees=sd.n_trees, settings={"rooted": True, "log_normaliser": log_z}, _sd=sd)


def ccd0_map(sd: SplitData, lengths: bool = True, progress=None) -> SummaryTree:
    """The CCD0 MAP tree: among the binary trees built from observed clades, the one with
    the highest product of clade credibilities. ``score`` is the log of that product,
    ``log_probability`` the tree's log-probability under CCD0."""
    return ccd0(sd, progress).map_tree(lengths=lengths)


def ccd1_map(sd: SplitData, lengths: bool = True) -> SummaryTree:
    """The CCD1 MAP tree and its log-probability under CCD1."""
    return ccd1(sd).map_tree(lengths=lengths)


def _all_partitions(words: np.ndarray, sizes: np.ndarray, progress=None) -> np.ndarray:
    """Every (parent, child1, child2) triple of observed clades (rows of ``words``) where
    the two children split the parent, child1 < child2, rows ascending (native: the
    candidate children of a clade are the smaller clades with its lowest leaf)."""
    from ...table.engine import clade_partitions

    parts = clade_partitions(np.ascontiguousarray(words, dtype=np.uint64),
                             np.ascontiguousarray(sizes, dtype=np.int64), progress)
    return np.asarray(parts).reshape(-1, 3)


def _by_parent_size(sizes: np.ndarray, parts: np.ndarray):
    """Partitions grouped by the size of their parent clade, smallest first."""
    psize = sizes[parts[:, 0]]
    by_size = np.argsort(psize, kind="stable")
    bounds = np.searchsorted(psize[by_size], np.arange(int(sizes.max()) + 2))
    for s in range(2, len(bounds) - 1):
        idx = by_size[bounds[s]:bounds[s + 1]]
        if len(idx):
            yield idx


def _max_dp(sizes: np.ndarray, parts: np.ndarray, part_value: np.ndarray
            ) -> Tuple[np.ndarray, np.ndarray]:
    """best[c] = max over partitions p of c of part_value[p] + best[child1] + best[child2]
    (0 for a leaf), clades by increasing size; choice[c] is the partition taken. Of equal
    values, the partition listed first (rows ascending) wins."""
    best = np.zeros(len(sizes), dtype=np.float64)
    choice = np.full(len(sizes), -1, dtype=np.int64)
    for idx in _by_parent_size(sizes, parts):
        val = part_value[idx] + best[parts[idx, 1]] + best[parts[idx, 2]]
        o = np.lexsort((idx, -val, parts[idx, 0]))
        parents = parts[idx[o], 0]
        head = np.ones(len(o), dtype=bool)
        head[1:] = parents[1:] != parents[:-1]
        best[parents[head]] = val[o[head]]
        choice[parents[head]] = idx[o[head]]
    return best, choice


def _log_subtree_sums(sizes: np.ndarray, parts: np.ndarray, log_f: np.ndarray) -> np.ndarray:
    """log of f(c) times the sum, over every binary tree on c built from observed clades,
    of the product of the credibilities f of its clades below c (leaves: 0)."""
    log_s = np.where(sizes == 1, 0.0, -np.inf)
    for idx in _by_parent_size(sizes, parts):
        val = log_s[parts[idx, 1]] + log_s[parts[idx, 2]]
        parents = parts[idx, 0]  # rows ascending: each parent's partitions are adjacent
        starts = np.flatnonzero(np.r_[True, parents[1:] != parents[:-1]])
        top = np.maximum.reduceat(val, starts)
        spread = np.repeat(top, np.diff(np.r_[starts, len(val)]))
        total = np.add.reduceat(np.exp(val - spread), starts)
        log_s[parents[starts]] = log_f[parents[starts]] + top + np.log(total)
    return log_s


# ----------------------------------------------------------------------------- checks


def _require_rooted(sd: SplitData, what: str) -> None:
    if not sd.rooted:
        raise ValueError(f"{what} needs rooted trees: read them as rooted (--rooted, or "
                         "trees marked [&R] in the file)")


def _require_trees(sd: SplitData) -> None:
    if sd.n_trees == 0:
        raise ValueError("no trees to summarise (is the burn-in longer than the runs?)")


def _check_ccd_input(sd: SplitData, what: str) -> None:
    """Rooted, at least one tree, every tree binary: a rooted binary tree of n leaves
    holds 2n - 2 clades besides the root, none of them all n leaves."""
    _require_rooted(sd, what)
    _require_trees(sd)
    n_leaves = len(sd.leaf_names)
    per_tree = np.diff(sd.indptr)
    whole = sd.split_sizes()[sd.ids] == n_leaves
    with_whole = np.bincount(np.repeat(np.arange(sd.n_trees), per_tree), weights=whole,
                             minlength=sd.n_trees) > 0
    bad = np.flatnonzero((per_tree != 2 * n_leaves - 2) | with_whole)
    if len(bad):
        t = int(bad[0])
        raise ValueError(f"{what} needs binary trees, but {len(bad)} of the {sd.n_trees} "
                         f"trees are not (a node with more than two children, or a root with "
                         f"one); the first is tree {t}, {sd.tree_names[t]!r}. The MCC tree "
                         "and the consensus trees take such samples")


def check_taxa(treeset) -> None:
    """Refuse files whose translate tables name different taxa, saying which differ (the
    split data would only say that some tree has another leaf set)."""
    per_file: Dict[int, set] = {}
    for m, f in zip(treeset.map_indices, treeset.file_indices):
        if f not in per_file and treeset.translate_maps[m]:
            per_file[f] = set(treeset.translate_maps[m].values())
    if not per_file:
        return
    first = min(per_file)
    for f, taxa in sorted(per_file.items()):
        ref = per_file[first]
        if taxa != ref:
            def some(names):
                names = sorted(names)
                return ", ".join(names[:5]) + (f" and {len(names) - 5} more" if len(names) > 5
                                               else "")
            extra, missing = taxa - ref, ref - taxa
            what = "; ".join(part for part in (
                f"it has {some(extra)}" if extra else "",
                f"it lacks {some(missing)}" if missing else "") if part)
            raise ValueError(f"the runs have different taxa: {treeset.files[f].path} does "
                             f"not name the taxa of {treeset.files[first].path} ({what})")


def rooting_marks(treeset) -> List[Optional[str]]:
    """Per file of a :class:`~kestrilune_tools.nexus.TreeSet`, the rooting its first tree
    declares: ``"R"`` for ``[&R]``, ``"U"`` for ``[&U]``, None when it says nothing."""
    return [f.rooting for f in treeset.files]


# ----------------------------------------------------------------------------- helpers


def _threshold(threshold: float) -> Fraction:
    q = Fraction(repr(float(threshold)))
    if not Fraction(1, 2) <= q <= 1:
        raise ValueError(f"consensus threshold must be between 0.5 and 1, got {threshold!r}")
    return q


def _totals(sd: SplitData) -> np.ndarray:
    return sd.counts().sum(axis=1)


def _pendant(sd: SplitData) -> np.ndarray:
    sizes = sd.split_sizes()
    n = len(sd.leaf_names)
    return (sizes == 1) | ((sizes == n - 1) & (not sd.rooted))


def _words(member: np.ndarray) -> np.ndarray:
    """Bool rows (k, n) as little-endian 64-bit words (k, ceil(n / 64))."""
    member = np.asarray(member, dtype=bool)
    k, n = member.shape
    n_words = max(1, (n + 63) // 64)
    packed = np.packbits(member, axis=1, bitorder="little")
    padded = np.zeros((k, n_words * 8), dtype=np.uint8)
    padded[:, :packed.shape[1]] = packed
    return padded.view("<u8").astype(np.uint64, copy=False)


def _has_lengths(sd: SplitData) -> bool:
    """Whether the trees carry branch lengths: the split data write a missing length as 0.0,
    so a sample whose lengths are all zero is taken to have none."""
    return sd.lengths is not None and bool(np.any(sd.lengths != 0.0))


def _mean_lengths(sd: SplitData) -> np.ndarray:
    """Mean length of each split over the trees holding it (NaN for none); kept with the
    split data's other cached sums, since every summary tree asks for it."""
    cache = sd._counts
    if "mean_lengths" not in cache:
        counts = _totals(sd)
        sums = np.bincount(sd.ids, weights=sd.lengths, minlength=sd.n_splits)
        with np.errstate(invalid="ignore", divide="ignore"):
            cache["mean_lengths"] = np.where(counts > 0, sums / np.maximum(counts, 1), np.nan)
    return cache["mean_lengths"]


def _make_tree(sd: SplitData, method: str, ids, *, lengths, support=None, branch_lengths=None,
               n_trees=None, score=None, score_name=None, tree_index=None, tree_name=None,
               log_probability=None, settings=None) -> SummaryTree:
    ids = np.asarray(ids, dtype=np.int64)
    if support is None:
        support = _totals(sd)[ids] / sd.n_trees
    if branch_lengths is None and lengths and _has_lengths(sd):
        branch_lengths = _mean_lengths(sd)[ids]
    settings = dict(settings or {})
    settings.setdefault("rooted", sd.rooted)
    if sd.n_groups > 1 and method.endswith("consensus"):
        settings["support"] = "pooled over runs"
    tree = SummaryTree(method=method, newick="", leaf_names=sd.leaf_names, rooted=sd.rooted,
                       split_ids=ids, support=np.asarray(support, dtype=np.float64),
                       lengths=None if branch_lengths is None
                       else np.asarray(branch_lengths, dtype=np.float64),
                       n_trees=sd.n_trees if n_trees is None else n_trees, score=score,
                       score_name=score_name, tree_index=tree_index, tree_name=tree_name,
                       log_probability=log_probability, settings=settings,
                       membership=sd.membership[ids])
    object.__setattr__(tree, "newick", tree.to_newick())
    return tree


# ----------------------------------------------------------------------------- Newick


_NEWICK_SPECIAL = set(" \t\r\n()[]':;,")


def newick_label(name: str) -> str:
    """A taxon name as a Newick label: single-quoted (quotes doubled) where needed."""
    if name and not (_NEWICK_SPECIAL & set(name)):
        return name
    return "'" + name.replace("'", "''") + "'"


def _num(x: float, precision: Optional[int]) -> str:
    return repr(float(x)) if precision is None else f"{x:.{precision}g}"


def _laminar_parents(member: np.ndarray) -> np.ndarray:
    """For rows that are pairwise disjoint or nested leaf sets, the row of the smallest
    strict superset of each, or -1: the next link after a row in the size-ordered chain of
    rows holding its first leaf."""
    k, n = member.shape
    rows, leaves = np.nonzero(member)
    sizes = member.sum(axis=1)
    order = np.argsort(leaves * (n + 1) + sizes[rows], kind="stable")
    rows, leaves = rows[order], leaves[order]
    nxt = np.full(len(rows), -1, dtype=np.int64)
    same = leaves[1:] == leaves[:-1]
    nxt[:-1][same] = rows[1:][same]
    first = np.argmax(member, axis=1)
    parent = np.full(k, -1, dtype=np.int64)
    mine = leaves == first[rows]
    parent[rows[mine]] = nxt[mine]
    return parent


@dataclass(frozen=True)
class TreeLayout:
    """A summary tree as nodes: ``rows[j]`` is the row (in ``split_ids``) of node j,
    ``parent[j]`` its parent node (-1: the root), ``leaf[j]`` its lowest leaf index and
    ``size[j]`` its number of leaves. Unrooted trees hang from the outgroup as MrBayes draws
    them; nodes are ordered by size, children before parents."""

    rows: List[int]
    parent: List[int]
    leaf: List[int]
    size: List[int]


def _layout(member: np.ndarray, rooted: bool, outgroup: int) -> TreeLayout:
    member = np.asarray(member, dtype=bool).copy()
    n = member.shape[1]
    if not rooted:  # every split turned to its side without the outgroup
        flip = member[:, outgroup]
        member[flip] = ~member[flip]
    sizes = member.sum(axis=1)
    if not rooted:
        own = np.flatnonzero(sizes == n - 1)  # the outgroup's edge, now every other leaf
        member[own] = False
        member[own, outgroup] = True
        sizes[own] = 1
    rows = np.flatnonzero(sizes < n)
    rows = rows[np.argsort(sizes[rows], kind="stable")]
    return TreeLayout(rows=rows.tolist(), parent=_laminar_parents(member[rows]).tolist(),
                      leaf=np.argmax(member[rows], axis=1).tolist(), size=sizes[rows].tolist())


def _render(member: np.ndarray, support, lengths, labels: Sequence[str], rooted: bool,
            outgroup: int, precision: Optional[int]) -> str:
    """Newick text of a laminar family of leaf sets (bool rows); children are written in
    the order of their lowest leaf index."""
    lay = _layout(member, rooted, outgroup)
    n = member.shape[1]
    top = len(lay.rows)
    probs = None if support is None else np.asarray(support)[lay.rows].tolist()
    lens = None if lengths is None else np.asarray(lengths)[lay.rows].tolist()
    children: List[List[Tuple[int, str]]] = [[] for _ in range(top + 1)]
    placed = set()
    for j in range(top):  # smaller first: children are done
        if lay.size[j] == 1:
            text = labels[lay.leaf[j]]
            placed.add(lay.leaf[j])
        else:
            text = "(" + ",".join(t for _, t in sorted(children[j])) + ")"
            if probs is not None:
                text += f"[&prob={_num(probs[j], precision)}]"
        if lens is not None and lens[j] == lens[j]:  # not NaN
            text += f":{_num(lens[j], precision)}"
        children[top if lay.parent[j] < 0 else lay.parent[j]].append((lay.leaf[j], text))
    for leaf in set(range(n)) - placed:  # a leaf without an edge of its own
        children[top].append((leaf, labels[leaf]))
    return "(" + ",".join(t for _, t in sorted(children[top])) + ");"


_TOPOLOGY_TOKEN = re.compile(r"\[[^\]]*\]|'(?:[^']|'')*'|[(),;:]|[^(),;:\[\]'\s]+|\s+")
_COMMENT = re.compile(r"\[[^\]]*\]")
_LENGTH = re.compile(r":[^,();]*")
_INTERNAL_LABEL = re.compile(r"\)[^,();]+")
_PUNCTUATION = re.compile(r"([(),;]+)")


def plain_topology(newick: str, translate: Optional[Dict[str, str]] = None,
                   _labels: Optional[Dict[str, str]] = None) -> str:
    """A tree's text reduced to its topology: comments, branch lengths and internal labels
    removed, leaf labels translated (and quoted where Newick needs it). Much cheaper than
    rebuilding the tree from its splits, so tables of many topologies use it.
    ``_labels`` caches the quoted label of each translate key between calls."""
    labels = {} if _labels is None else _labels

    def leaf(name: str) -> str:
        text = labels.get(name)
        if text is None:
            text = labels[name] = newick_label(translate.get(name, name) if translate
                                               else name)
        return text

    if "'" not in newick:
        text = "".join((_COMMENT.sub("", newick) if "[" in newick else newick).split())
        text = _INTERNAL_LABEL.sub(")", _LENGTH.sub("", text))
        # What is left between the brackets and commas are the leaf labels (even places).
        parts = _PUNCTUATION.split(text)
        get = labels.get
        parts[::2] = [(get(p) or leaf(p)) if p else p for p in parts[::2]]
        return "".join(parts)
    out: List[str] = []  # quoted labels may hold any character: go token by token
    prev = "("
    after_colon = False
    for tok in _TOPOLOGY_TOKEN.findall(newick):
        if tok[0] == "[" or tok.isspace():
            continue
        if tok in "(),;":
            out.append(tok)
            prev, after_colon = tok, False
        elif tok == ":":
            after_colon = True
        elif after_colon:
            after_colon = False  # the branch length
        elif prev in "(,":  # a leaf label
            out.append(leaf(tok[1:-1].replace("''", "'") if tok[0] == "'" else tok))
            prev = "leaf"
        # any other word is an internal node's label: dropped
    return "".join(out)

"""Conditional clade distributions (CCD0, CCD1) and their MAP trees."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Dict, Iterator, List, Optional, Tuple, cast

import numpy as np

from ...table.splits import SplitData
from .results import SummaryTree, _check_ccd_input, _make_tree, _require_rooted, _totals, _words

__all__ = ["CCD", "ccd0", "ccd1", "ccd0_map", "ccd1_map", "hipstr", "clade_parents"]

# MrHIPSTR's bonus for a clade held by more than half of the trees (TreeAnnotator X's
# MAJORITY_RULE_REWARD): it makes the count of such clades the first criterion.
MAJORITY_REWARD = 1e10


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
        clades_a = self._chosen(choice)
        ids = np.sort(self.clade_split_ids[clades_a])
        if self.kind == "CCD0":
            log_z = float(cast(float, self.settings["log_normaliser"]))
            score, name, log_p = float(best[self.root]), "log product of clade credibilities", \
                float(best[self.root]) - log_z
        else:
            score = log_p = float(best[self.root])
            name = "log CCD1 probability"
        sd = cast(SplitData, self._sd)  # set by ccd0 and ccd1
        return _make_tree(sd, f"{self.kind} MAP", ids, lengths=lengths, score=score,
                          score_name=name, log_probability=log_p,
                          settings={"lengths": "mean" if lengths else None})

    def _chosen(self, choice: np.ndarray) -> np.ndarray:
        """The clades below the root that the partitions ``choice[c]`` reach from it."""
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
        return np.asarray(clades, dtype=np.int64)


def _clade_table(sd: SplitData) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """(split id of every observed clade, its words, size, count); the root is last."""
    counts = _totals(sd)
    n_leaves = len(sd.leaf_names)
    sizes = sd.split_sizes()
    keep = np.flatnonzero((counts > 0) & (sizes < n_leaves))
    words = np.vstack([_words(sd.member_rows(keep)), _words(np.ones((1, n_leaves), bool))])
    return (np.append(keep, -1).astype(np.int64), words,
            np.append(sizes[keep], n_leaves).astype(np.int64),
            np.append(counts[keep], sd.n_trees).astype(np.int64))


_ONE_KEY_CLADES = 2**21  # below it, (m * m) * m fits in an int64


def ccd1(sd: SplitData, budget: int = 1 << 20) -> CCD:
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
    whole = None if sd.has_parents else clade_parents(sd)
    # A binary tree of n leaves holds 2n - 2 clades besides the root, in n - 1 pairs of
    # siblings: one partition per pair.
    n_pairs = len(sd.ids) // 2
    # Each tree's partitions as one int64 key (parent, first, second) when m^3 fits, else
    # as rows: 8 bytes a partition instead of 24.
    one_key = m < _ONE_KEY_CLADES
    keys = np.empty(n_pairs, dtype=np.int64) if one_key else np.empty((n_pairs, 3), np.int64)
    per_tree = len(sd.leaf_names) - 1
    trees_per_batch = max(1, budget // (2 * per_tree))
    batches = list(sd.chunks(trees_per_batch))
    for t0, t1, e0, e1 in batches:
        parent = (sd.parents_of(t0, t1) if whole is None else whole[e0:e1]).astype(np.int64)
        parent = local[np.where(parent < 0, sd.n_splits, parent)]
        child = local[sd.ids[e0:e1].astype(np.int64)]
        tree = np.repeat(np.arange(t1 - t0), np.diff(sd.indptr[t0:t1 + 1]))
        # Siblings become neighbours; within a tree, clades keep their ascending order.
        order = np.argsort(tree * m + parent, kind="stable")
        first, second = order[0::2], order[1::2]
        if one_key:
            keys[e0 // 2:e1 // 2] = (parent[first] * m + child[first]) * m + child[second]
        else:
            keys[e0 // 2:e1 // 2] = np.stack([parent[first], child[first], child[second]],
                                             axis=1)
    tree_lp = np.zeros(sd.n_trees)
    if one_key:
        uniq, part_counts = np.unique(keys, return_counts=True)
        parts = np.stack([uniq // (m * m), uniq // m % m, uniq % m], axis=1)
        log_ccp = np.log(part_counts) - np.log(counts[parts[:, 0]])
        for t0, t1, _, _ in batches:  # each tree's terms added in its own order, as one pass would
            at = np.searchsorted(uniq, keys[t0 * per_tree:t1 * per_tree])
            tree_lp[t0:t1] = np.bincount(np.repeat(np.arange(t1 - t0), per_tree),
                                         weights=log_ccp[at], minlength=t1 - t0)
    else:
        parts, inverse, part_counts = np.unique(keys, axis=0, return_inverse=True,
                                                return_counts=True)
        log_ccp = np.log(part_counts) - np.log(counts[parts[:, 0]])
        tree_lp[:] = np.bincount(np.repeat(np.arange(sd.n_trees), per_tree),
                                 weights=log_ccp[np.asarray(inverse).reshape(-1)],
                                 minlength=sd.n_trees)
    del keys
    return CCD(kind="CCD1", clade_split_ids=split_ids, clade_sizes=sizes, clade_counts=counts,
               partitions=parts, log_ccp=log_ccp, tree_log_probabilities=tree_lp,
               n_trees=sd.n_trees, settings={"rooted": True}, _sd=sd)


def ccd0(sd: SplitData, progress: Optional[object] = None) -> CCD:
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
    log_totals = np.log(_totals(sd))
    tree_lp = np.empty(sd.n_trees)
    for t0, t1, e0, e1 in sd.chunks():  # whole trees a batch
        ids = sd.ids[e0:e1]
        entry_f = np.where(nontrivial[ids], log_totals[ids] - math.log(sd.n_trees), 0.0)
        tree_lp[t0:t1] = np.bincount(np.repeat(np.arange(t1 - t0), np.diff(sd.indptr[t0:t1 + 1])),
                                     weights=entry_f, minlength=t1 - t0) - log_z
    return CCD(kind="CCD0", clade_split_ids=split_ids, clade_sizes=sizes, clade_counts=counts,
               partitions=parts, log_ccp=log_ccp, tree_log_probabilities=tree_lp,
               n_trees=sd.n_trees, settings={"rooted": True, "log_normaliser": log_z}, _sd=sd)


def ccd0_map(sd: SplitData, lengths: bool = True, progress: Optional[object] = None
             ) -> SummaryTree:
    """The CCD0 MAP tree: among the binary trees built from observed clades, the one with
    the highest product of clade credibilities. ``score`` is the log of that product,
    ``log_probability`` the tree's log-probability under CCD0."""
    return ccd0(sd, progress).map_tree(lengths=lengths)


def hipstr(sd: SplitData, majority_rule: bool = False, lengths: bool = True) -> SummaryTree:
    """The HIPSTR tree (Baele et al. 2024, TreeAnnotator X): each clade, from the smallest
    up, takes the pair of child clades, among the pairs that split it in some sample tree,
    with the best sum of their own scores; a clade's score is the log of its credibility
    plus that sum (a tip's is 0). So the tree maximises the product of clade credibilities
    over the trees assembled from observed subtrees. ``majority_rule`` (MrHIPSTR) adds
    1e10 to the score of every clade held by more than half of the trees, as TreeAnnotator
    X does, so that the tree keeps as many majority clades as it can. ``score`` is the log
    product of the tree's clade credibilities (without the bonus)."""
    c = ccd1(sd)
    log_f = np.log(c.clade_counts) - math.log(c.n_trees)
    own = log_f + np.where(majority_rule & (2 * c.clade_counts > c.n_trees),
                           MAJORITY_REWARD, 0.0)
    own[c.clade_sizes == 1] = 0.0
    _, choice = _max_dp(c.clade_sizes, c.partitions, np.zeros(len(c.partitions)), own)
    clades = c._chosen(choice)
    ids = np.sort(c.clade_split_ids[clades])
    score = float(np.sum(log_f[clades[c.clade_sizes[clades] > 1]]))
    name = "MrHIPSTR" if majority_rule else "HIPSTR"
    return _make_tree(sd, name, ids, lengths=lengths, score=score,
                      score_name="log product of clade credibilities",
                      settings={"lengths": "mean" if lengths else None,
                                "majority_rule": bool(majority_rule)})


def ccd1_map(sd: SplitData, lengths: bool = True) -> SummaryTree:
    """The CCD1 MAP tree and its log-probability under CCD1."""
    return ccd1(sd).map_tree(lengths=lengths)


def _all_partitions(words: np.ndarray, sizes: np.ndarray, progress: Optional[object] = None
                    ) -> np.ndarray:
    """Every (parent, child1, child2) triple of observed clades (rows of ``words``) where
    the two children split the parent, child1 < child2, rows ascending (native: the
    candidate children of a clade are the smaller clades with its lowest leaf)."""
    from ...table.engine import clade_partitions

    parts = clade_partitions(np.ascontiguousarray(words, dtype=np.uint64),
                             np.ascontiguousarray(sizes, dtype=np.int64), progress)
    return np.asarray(parts).reshape(-1, 3)


def _by_parent_size(sizes: np.ndarray, parts: np.ndarray) -> Iterator[np.ndarray]:
    """Partitions grouped by the size of their parent clade, smallest first."""
    psize = sizes[parts[:, 0]]
    by_size = np.argsort(psize, kind="stable")
    bounds = np.searchsorted(psize[by_size], np.arange(int(sizes.max()) + 2))
    for s in range(2, len(bounds) - 1):
        idx = by_size[bounds[s]:bounds[s + 1]]
        if len(idx):
            yield idx


def _max_dp(sizes: np.ndarray, parts: np.ndarray, part_value: np.ndarray,
            own: Optional[np.ndarray] = None) -> Tuple[np.ndarray, np.ndarray]:
    """best[c] = max over partitions p of c of part_value[p] + best[child1] + best[child2]
    (0 for a leaf), plus ``own[c]`` when given, clades by increasing size; choice[c] is the
    partition taken. Of equal values, the partition listed first (rows ascending) wins."""
    best = np.zeros(len(sizes), dtype=np.float64)
    choice = np.full(len(sizes), -1, dtype=np.int64)
    for idx in _by_parent_size(sizes, parts):
        val = part_value[idx] + best[parts[idx, 1]] + best[parts[idx, 2]]
        o = np.lexsort((idx, -val, parts[idx, 0]))
        parents = parts[idx[o], 0]
        head = np.ones(len(o), dtype=bool)
        head[1:] = parents[1:] != parents[:-1]
        best[parents[head]] = val[o[head]] if own is None else \
            own[parents[head]] + val[o[head]]
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

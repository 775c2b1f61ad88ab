"""Majority-rule and greedy (allcompat) consensus trees."""

from __future__ import annotations

from typing import List

import numpy as np

from ...table.splits import SplitData
from .results import SummaryTree, _make_tree, _pendant, _threshold, _totals, _words

__all__ = ["majority_consensus", "allcompat_consensus"]


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


# Candidate x taken pairs screened at once: a few temporaries of this many cells (32 MB
# for the word-wise AND), whatever the number of leaves, candidates or splits taken.
_PAIRS_AT_ONCE = 1 << 22


def _compatible(cand: np.ndarray, taken: np.ndarray) -> np.ndarray:
    """For each row of ``cand``, whether it can join all the splits ``taken`` (rows of
    words) in one tree.

    Both modes store sides that leave out one common leaf (the first leaf, unrooted; no
    leaf at all is shared with the root's complement, rooted), so two splits fit together
    exactly when their stored sides are disjoint or nested. The pairs are screened a block
    of candidates at a time and a word at a time, so memory stays bounded.
    """
    fits = np.ones(len(cand), dtype=bool)
    if len(taken) == 0 or len(cand) == 0:
        return fits
    taken_t = np.ascontiguousarray(taken.T)  # (words, taken): one row per word
    step = max(1, _PAIRS_AT_ONCE // len(taken))
    for b in range(0, len(cand), step):
        c_t = np.ascontiguousarray(cand[b:b + step].T)  # (words, block)
        shape = (c_t.shape[1], taken_t.shape[1])
        meet, c_out, t_out = (np.zeros(shape, dtype=bool) for _ in range(3))
        both = np.empty(shape, dtype=np.uint64)
        for c_w, t_w in zip(c_t, taken_t):
            c_col, t_row = c_w[:, None], t_w[None, :]
            np.bitwise_and(c_col, t_row, out=both)
            meet |= both != 0
            c_out |= both != c_col  # the candidate has leaves outside the taken split
            t_out |= both != t_row  # and the taken split has leaves outside it
        fits[b:b + step] = ~(meet & c_out & t_out).any(axis=1)
    return fits

"""What ``kestrilune rf|wrf|kf`` computes besides the matrix itself: the mean distance
within and between runs, and module errors located in the tree files.

The matrix comes from :func:`kestrilune_tools.table.result.tree_distances` (the module's
pairwise functions) or, for big posteriors, from the split table
(:mod:`kestrilune_tools.table.engine`, :mod:`kestrilune_tools.analyses.scale`).
"""

from __future__ import annotations

import re
from typing import List, Tuple

import numpy as np

from ..reading import TreeSet

__all__ = ["explain_error", "run_means"]


def explain_error(exc: BaseException, ts: TreeSet) -> str:
    """The module's message, with the file and line of the tree at fault (and of tree 0,
    whose leaf set the others must share), read from the error's ``tree_index`` and
    ``kind``."""
    message = str(exc) or type(exc).__name__
    if not isinstance(exc, ValueError):
        return f"{type(exc).__name__}: {message}"
    where: List[str] = []
    at_fault = getattr(exc, "tree_index", None)
    named: List[int] = [] if at_fault is None else [at_fault]
    if getattr(exc, "kind", None) == "different_leaf_set":
        named.append(0)
    for i in named:
        if i < len(ts) and all(not w.startswith(f"tree {i} ") for w in where):
            where.append(f"tree {i} is {ts.locate(i)}")
    return f"{message} ({'; '.join(where)})" if where else message


def run_means(dist: np.ndarray, ts: TreeSet) -> Tuple[float, float]:
    """Mean distance over pairs within one run and over pairs from two runs (NaN where
    there are no such pairs)."""
    bounds = np.cumsum([0] + [f.n_used for f in ts.files])
    within_sum = between_sum = 0.0
    within_n = between_n = 0
    for g in range(len(ts.files)):
        a, b = bounds[g], bounds[g + 1]
        block = dist[a:b, a:b]
        within_sum += block.sum(dtype=np.float64) / 2
        within_n += (b - a) * (b - a - 1) // 2
        for h in range(g + 1, len(ts.files)):
            c, d = bounds[h], bounds[h + 1]
            between_sum += dist[a:b, c:d].sum(dtype=np.float64)
            between_n += (b - a) * (d - c)
    within = within_sum / within_n if within_n else float("nan")
    between = between_sum / between_n if between_n else float("nan")
    return within, between

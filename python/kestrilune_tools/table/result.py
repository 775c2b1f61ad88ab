"""One result type for a distance matrix: the numbers with their labels and their meaning.

    >>> ts = read_trees("examples/mrbayes_primates_12taxa.t", burnin="25%")
    >>> res = tree_distances("rf", ts)
    >>> res.matrix[0, 5] - res.matrix[0, 7]      # int32: differences do not wrap
    >>> res.normalized("phangorn")                # RF / (s_i + s_j), float64
    >>> res.condensed()                           # the order of scipy's squareform
    >>> res.save("rf.npz"); TreeDistances.load("rf.npz")

``matrix`` is read-only and shares memory with the bytes the module returned: ``int32``
for RF (the module's unsigned 32-bit cells; an RF distance is at most twice the number of
leaves, far below 2**31, so the signed reading is the same number and arithmetic on it is
safe), ``float64`` for WRF and KF.
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field
import os
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Tuple, Union, cast

import numpy as np

from .. import arrays
from .metrics import METRIC_NAMES, Metric

if TYPE_CHECKING:
    from ..reading import TreeSet

PathLike = Union[str, "os.PathLike[str]"]

__all__ = ["TreeDistances", "tree_distances", "NORMALIZATIONS"]

# Normalisations of RF, named after the programs whose definition each follows.
NORMALIZATIONS = {
    # phangorn RF.dist(normalize=TRUE): the non-trivial splits of the two trees,
    # Nnode(t1) + Nnode(t2) - 2 in its code.
    "phangorn": "RF / (s_i + s_j), s = non-trivial splits (clades) of each tree",
    # RAxML-NG --rfdist "relative RF": the largest RF two binary trees can have.
    "raxml-ng": "RF / 2(L - 3) unrooted, RF / 2(L - 2) rooted, L = number of leaves",
}

_NPZ_FORMAT = 1


def _readonly(a: Optional[np.ndarray]) -> Optional[np.ndarray]:
    if a is not None and a.flags.writeable:
        a.flags.writeable = False
    return a


@dataclass(frozen=True, eq=False)
class TreeDistances:
    """A pairwise distance matrix of trees and what it means.

    Attributes:
        metric: ``"rf"``, ``"wrf"`` or ``"kf"``.
        rooted: True when clades of rooted trees were compared, False for bipartitions.
        names: one name per tree, in the order of the rows.
        matrix: (n, n) read-only; ``int32`` for RF, ``float64`` for WRF and KF.
        n_leaves: leaves per tree.
        leaf_names: the leaf names, sorted byte-wise, when the split data were computed.
        split_membership: (n_splits, n_leaves) bool, leaf membership of every split, or None.
            Unrooted, a row holds one side of the bipartition; rooted, the clade.
        split_presence: (n, n_splits) bool, which tree holds which split (RF), or None.
        branch_lengths: (n, n_splits) float64 branch length of each split in each tree,
            0.0 where absent (WRF, KF), or None.
        settings: how the trees were chosen (files, burn-in, thinning...), JSON-friendly.
    """

    metric: Metric
    rooted: bool
    names: Tuple[str, ...]
    matrix: np.ndarray
    n_leaves: int
    leaf_names: Optional[Tuple[str, ...]] = None
    split_membership: Optional[np.ndarray] = None
    split_presence: Optional[np.ndarray] = None
    branch_lengths: Optional[np.ndarray] = None
    settings: Mapping[str, Any] = field(default_factory=dict)

    def __post_init__(self) -> None:
        if self.metric not in METRIC_NAMES:
            raise ValueError(f"unknown metric {self.metric!r}: choose one of "
                             f"{', '.join(METRIC_NAMES)}")
        n = len(self.names)
        if self.matrix.shape != (n, n):
            raise ValueError(f"matrix of shape {self.matrix.shape} for {n} tree names")
        for a in (self.matrix, self.split_membership, self.split_presence, self.branch_lengths):
            _readonly(a)

    # ------------------------------------------------------------------------- building

    @classmethod
    def from_module(cls, metric: Metric, result: Tuple[Any, ...], *, rooted: bool,
                    n_leaves: Optional[int] = None,
                    settings: Optional[Mapping[str, Any]] = None) -> "TreeDistances":
        """Wrap the tuple a ``kestrilune.pairwise_<metric>_...`` function returned.

        The metric is stated, not guessed: a 2-tuple is a plain result, a 6-tuple a result
        with split data. ``n_leaves`` is needed only for a plain result.
        """
        if metric not in METRIC_NAMES:
            raise ValueError(f"unknown metric {metric!r}")
        if not isinstance(result, tuple) or len(result) not in (2, 6):
            raise TypeError("expected the 2- or 6-tuple of a kestrilune pairwise function")
        if metric == "rf":
            matrix = arrays.rf_matrix(result).view("<i4")
        else:
            matrix = arrays.float_matrix(result)
        # The module's names list holds every name given, even when fewer trees came.
        names = tuple(result[0][: matrix.shape[0]])
        extra: Dict[str, Any] = {}
        if len(result) == 6:
            membership, leaf_names = arrays.splits(result)
            extra = dict(leaf_names=tuple(leaf_names), split_membership=membership)
            if metric == "rf":
                extra["split_presence"] = arrays.presence(result)[0]
            else:
                extra["branch_lengths"] = arrays.branch_lengths(result)[0]
            n_leaves = len(leaf_names)
        if n_leaves is None:
            raise ValueError("n_leaves is needed for a result without split data")
        return cls(metric=metric, rooted=bool(rooted), names=names, matrix=matrix,
                   n_leaves=int(n_leaves), settings=dict(settings or {}), **extra)

    # ------------------------------------------------------------------------- views

    @property
    def n(self) -> int:
        return len(self.names)

    def as_float(self) -> np.ndarray:
        """The matrix as ``float64`` (a copy for RF, the matrix itself otherwise)."""
        return self.matrix if self.matrix.dtype == np.float64 else self.matrix.astype(np.float64)

    def stored_matrix(self) -> np.ndarray:
        """The matrix as files store it: ``int32`` RF, ``float64`` WRF and KF."""
        return self.matrix.view("<i4") if self.metric == "rf" else self.matrix

    def split_labels(self) -> List[str]:
        """One label per split column: its member leaves joined with ``|``."""
        if self.split_membership is None:
            raise ValueError("these distances were computed without split data")
        return arrays.labels_of(self.split_membership, self.leaf_names)  # type: ignore[arg-type]

    def splits_per_tree(self) -> np.ndarray:
        """(n,) number of non-trivial splits (unrooted) or clades (rooted) of each tree."""
        if self.split_membership is None:
            raise ValueError("these distances were computed without split data")
        sizes = self.split_membership.sum(axis=1)
        n = self.split_membership.shape[1]
        nontrivial = (sizes >= 2) & (sizes <= (n - 1 if self.rooted else n - 2))
        held = cast(np.ndarray, self.split_presence if self.split_presence is not None else (
            self.branch_lengths != 0.0))
        return held[:, nontrivial].sum(axis=1)

    def normalized(self, method: str) -> np.ndarray:
        """The RF matrix divided as ``method`` says, as ``float64``.

        ``"phangorn"``: RF / (s_i + s_j), s being the number of non-trivial splits of each
        tree (clades of 2 to L - 1 leaves when rooted), as phangorn's
        ``RF.dist(normalize=TRUE)``; two star trees (0/0) are at 0. Needs split data.
        ``"raxml-ng"``: RF / 2(L - 3) for unrooted trees, as RAxML-NG's relative RF, and
        RF / 2(L - 2) for rooted ones: the largest RF two binary trees can have.
        """
        if self.metric != "rf":
            raise ValueError(f"normalised distances are defined for RF, not {self.metric}")
        d = self.as_float()
        if method == "raxml-ng":
            worst = 2 * (self.n_leaves - (2 if self.rooted else 3))
            return d / worst if worst > 0 else np.full_like(d, np.nan)
        if method == "phangorn":
            s = self.splits_per_tree().astype(np.float64)
            denom = s[:, None] + s[None, :]
            # RF is 0 wherever the denominator is: two trees without splits are equal.
            return np.divide(d, denom, out=np.zeros_like(d), where=denom > 0)
        raise ValueError(f"unknown normalisation {method!r}: choose one of "
                         f"{', '.join(NORMALIZATIONS)}")

    def condensed(self) -> np.ndarray:
        """The cells above the diagonal, row by row: what ``scipy.spatial.distance.squareform``
        makes of the matrix, built without n² index arrays."""
        n = self.n
        out = np.empty(n * (n - 1) // 2, dtype=self.matrix.dtype)
        pos = 0
        for i in range(n - 1):
            row = self.matrix[i, i + 1:]
            out[pos: pos + len(row)] = row
            pos += len(row)
        return out

    def to_skbio(self) -> Any:
        """A scikit-bio ``DistanceMatrix`` (float64) with the tree names as ids."""
        try:
            from skbio import DistanceMatrix
        except ImportError:
            raise ImportError("to_skbio needs scikit-bio: pip install scikit-bio") from None
        return DistanceMatrix(self.as_float(), ids=list(self.names))

    # ------------------------------------------------------------------------- files

    def save(self, path: PathLike) -> None:
        """Write an ``.npz`` file: matrix, names, metric, rooted, leaves, settings."""
        fields: Dict[str, Any] = dict(format=np.int64(_NPZ_FORMAT), metric=np.str_(self.metric),
                      rooted=np.bool_(self.rooted), names=np.array(self.names, dtype=np.str_),
                      matrix=self.stored_matrix(), n_leaves=np.int64(self.n_leaves),
                      settings=np.str_(json.dumps(dict(self.settings), sort_keys=True,
                                                  default=str)))
        if self.leaf_names is not None:
            fields["leaf_names"] = np.array(self.leaf_names, dtype=np.str_)
        with open(path, "wb") as fh:
            np.savez(fh, **fields)

    @classmethod
    def load(cls, path: PathLike) -> "TreeDistances":
        """Read what :meth:`save` wrote (the split tables are not stored)."""
        with np.load(path, allow_pickle=False) as z:
            if "format" not in z or int(z["format"]) > _NPZ_FORMAT:
                raise ValueError(f"{path}: not a distance file written by kestrilune_tools "
                                 "(or one of a newer version)")
            metric = str(z["metric"])
            matrix = z["matrix"]
            if metric == "rf":
                matrix = matrix.view("<i4")
            leaf_names = tuple(z["leaf_names"].tolist()) if "leaf_names" in z else None
            return cls(metric=cast(Metric, metric), rooted=bool(z["rooted"]),
                       names=tuple(z["names"].tolist()), matrix=matrix,
                       n_leaves=int(z["n_leaves"]), leaf_names=leaf_names,
                       settings=json.loads(str(z["settings"])))


def tree_distances(metric: Metric, treeset: TreeSet, *, rooted: bool = False,
                   progress: Optional[object] = None,
                   splits: Optional[bool] = None) -> TreeDistances:
    """Compute the ``metric`` distances of a :class:`~kestrilune_tools.reading.TreeSet`.

    ``splits``: True asks for the split data (``split_membership`` and the presence or
    branch-length table, which ``normalized("phangorn")`` needs), False for none, None (the
    default) for whatever costs less memory (:func:`arrays.snapshots_worthwhile`).
    ``progress`` is a ``kestrilune.ProgressCounter`` to poll from another thread.
    """
    if metric not in METRIC_NAMES:
        raise ValueError(f"unknown metric {metric!r}: choose one of {', '.join(METRIC_NAMES)}")
    if splits is None:
        splits = arrays.snapshots_worthwhile(metric, treeset, rooted=rooted)
    raw = arrays.pairwise(metric, treeset, rooted=rooted, progress=progress,
                          snapshots=bool(splits))
    n_leaves = None if splits else arrays.leaf_count(treeset)
    return TreeDistances.from_module(metric, raw, rooted=rooted, n_leaves=n_leaves,
                                     settings=treeset_settings(treeset))


def treeset_settings(treeset: TreeSet) -> Dict[str, Any]:
    """How a TreeSet was chosen, for ``TreeDistances.settings`` (with ``common_taxa``
    when its trees were pruned to the taxa all share)."""
    settings: Dict[str, Any] = {"files": [f.path for f in treeset.files],
                                "trees_per_file": [f.n_trees for f in treeset.files],
                                "burnin_per_file": [f.burnin for f in treeset.files],
                                "used_per_file": [f.n_used for f in treeset.files]}
    if treeset.common is not None:
        settings["common_taxa"] = {"kept": list(treeset.common.kept),
                                   "dropped": list(treeset.common.dropped),
                                   "trees_pruned": treeset.common.trees_pruned}
    return settings

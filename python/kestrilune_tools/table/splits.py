"""The splits of a tree set, per tree and per run: what convergence diagnostics and summary
trees are built from.

    >>> ts = read_trees(["a.run1.t", "a.run2.t"], burnin="25%")
    >>> sd = split_data(ts, rooted=False, lengths=True)
    >>> sd.counts()            # (n_splits, n_groups) trees of each run holding each split
    >>> sd.tree_splits(7)      # split ids of tree 7, ascending
    >>> sd.membership[s]       # leaves of split s (one side of a bipartition, or a clade)
    >>> sd.tree_parents(7)     # beside tree_splits(7): the smallest split containing each

Split ids are columns in ascending leaf-set order, the order of the module's snapshot
exports; they depend only on which splits occur, not on the order of the trees. Unrooted,
a split is stored as the side without the first leaf (``leaf_names[0]``), and a pendant
edge as its one leaf; rooted, a split is the clade of a non-root node. Trivial splits
(one leaf, or every leaf but one) are included: ``nontrivial()`` masks them out.

``parents`` gives each tree's topology: beside every entry of ``ids``, the id of the
smallest split of the same tree that strictly contains it, or -1 for none. Rooted, that is
the parent clade; unrooted, the parent when the tree is rooted on ``leaf_names[0]`` (whose
own pendant edge, stored as that one leaf, has no parent).

The data come from one native :class:`~kestrilune_tools._engine.SplitTable`; its arrays
are shared, not copied, and hold per tree only the splits it has, so 10^5 trees of 200
taxa take a few hundred megabytes.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

if TYPE_CHECKING:
    from ..reading import TreeSet

__all__ = ["SplitData", "split_data", "from_table", "member_labels"]


@dataclass(frozen=True)
class SplitData:
    leaf_names: Tuple[str, ...]  # sorted byte-wise; leaf l is column l of membership
    membership: np.ndarray  # (n_splits, n_leaves) bool
    indptr: np.ndarray  # (n_trees + 1,) int64: tree t holds ids[indptr[t]:indptr[t + 1]]
    ids: np.ndarray  # (indptr[-1],) uint32, ascending within each tree
    lengths: Optional[np.ndarray]  # (indptr[-1],) float64 beside ids (missing length: 0.0)
    groups: np.ndarray  # (n_trees,) int32: the group (run) of each tree
    group_labels: Tuple[str, ...]  # one per group
    tree_names: Tuple[str, ...]  # one per tree
    rooted: bool
    parents: Optional[np.ndarray] = None  # (indptr[-1],) int32 beside ids, -1 for none
    table: Any = field(default=None, repr=False, compare=False)  # the native SplitTable
    _counts: Dict[str, np.ndarray] = field(default_factory=dict, repr=False, compare=False)

    @property
    def n_trees(self) -> int:
        return len(self.indptr) - 1

    @property
    def n_splits(self) -> int:
        return self.membership.shape[0]

    @property
    def n_groups(self) -> int:
        return len(self.group_labels)

    def tree_splits(self, tree_i: int) -> np.ndarray:
        return self.ids[self.indptr[tree_i]:self.indptr[tree_i + 1]]

    def tree_lengths(self, tree_i: int) -> np.ndarray:
        if self.lengths is None:
            raise ValueError("these split data were built without branch lengths")
        return self.lengths[self.indptr[tree_i]:self.indptr[tree_i + 1]]

    def tree_parents(self, tree_i: int) -> np.ndarray:
        if self.parents is None:
            raise ValueError("these split data were built without parent splits")
        return self.parents[self.indptr[tree_i]:self.indptr[tree_i + 1]]

    def split_sizes(self) -> np.ndarray:
        """(n_splits,) number of leaves in each split's stored side."""
        return self.membership.sum(axis=1)

    def nontrivial(self) -> np.ndarray:
        """(n_splits,) bool: splits of at least two leaves with at least two leaves outside
        (rooted: clades of 2 .. n_leaves - 1 leaves)."""
        sizes = self.split_sizes()
        n = len(self.leaf_names)
        return (sizes >= 2) & (sizes <= n - 2) if not self.rooted else (sizes >= 2) & (sizes < n)

    def counts(self) -> np.ndarray:
        """(n_splits, n_groups) int64: how many trees of each group hold each split."""
        if "counts" not in self._counts:
            if self.table is not None:  # counted natively, without an entry-sized temporary
                self._counts["counts"] = np.asarray(self.table.counts(self.n_groups))
                return self._counts["counts"]
            tree_of = np.repeat(np.arange(self.n_trees), np.diff(self.indptr))
            flat = self.ids.astype(np.int64) * self.n_groups + self.groups[tree_of]
            c = np.bincount(flat, minlength=self.n_splits * self.n_groups)
            self._counts["counts"] = c.reshape(self.n_splits, self.n_groups)
        return self._counts["counts"]

    def group_sizes(self) -> np.ndarray:
        return np.bincount(self.groups, minlength=self.n_groups)

    def labels(self, split_ids: Union[Sequence[int], np.ndarray, None] = None) -> List[str]:
        """The member leaves of each split joined with ``|``."""
        rows = self.membership if split_ids is None else self.membership[np.asarray(split_ids)]
        return member_labels(rows, self.leaf_names)


def member_labels(membership: np.ndarray, leaf_names: Sequence[str]) -> List[str]:
    """The member leaves of each row of a (k, n_leaves) membership joined with ``|``."""
    return ["|".join(leaf_names[int(i)] for i in np.flatnonzero(r)) for r in membership]


def split_data(treeset: TreeSet, rooted: bool = False, lengths: bool = True,
               progress: Optional[object] = None, groups: Optional[Sequence[int]] = None,
               group_labels: Optional[Sequence[str]] = None,
               parents: bool = True) -> SplitData:
    """The splits of every tree of a :class:`~kestrilune_tools.reading.TreeSet`.

    Groups default to the files of the set (one file, one run). ``lengths=False`` skips
    the branch lengths; ``parents=False`` the parent splits (4 bytes an entry, only
    summary trees need them). ``progress`` (a ``kestrilune.ProgressCounter``) counts
    trees read.
    Errors are the ``kestrilune`` module's (``ValueError`` with its messages).
    """
    from .engine import SplitTable

    if groups is None:
        groups = treeset.file_indices
        group_labels = [f.label for f in treeset.files]
    group_of = np.asarray(groups, dtype=np.int64)
    if group_labels is None:
        group_labels = [str(g) for g in range(int(group_of.max()) + 1 if len(group_of) else 0)]
    table = SplitTable(treeset.names, treeset.newicks(), treeset.translate_maps,
                       treeset.map_indices, rooted=bool(rooted), progress=progress,
                       lengths=bool(lengths), groups=group_of)  # type: ignore[arg-type]
    return from_table(table, group_labels=group_labels, parents=parents)


# Groups without trees that a table may have (after take(), say) before its numbering is
# taken for a mistake: one label each is made.
_MOST_EMPTY_GROUPS = 1 << 20


def from_table(table: Any, group_labels: Optional[Sequence[str]] = None,
               parents: bool = True) -> SplitData:
    """SplitData over a native ``SplitTable`` (its arrays are shared, not copied)."""
    n_leaves = len(table.leaf_names)
    # Leaf sets as the module's clade bytes hold them: leaf l is bit l of the
    # little-endian words, cut after the named leaves.
    packed = table.words.view(np.uint8).reshape(table.n_splits, 8 * table.n_words)
    member = np.unpackbits(packed, axis=1, count=n_leaves, bitorder="little").astype(bool)
    groups = table.groups
    if group_labels is None:
        n_groups = int(groups.max()) + 1 if len(groups) else 0
        if n_groups > max(len(groups), _MOST_EMPTY_GROUPS):
            raise ValueError(f"the table's group numbers run to {n_groups - 1} for "
                             f"{len(groups)} trees: number the groups (runs) from 0")
        group_labels = [str(g) for g in range(n_groups)]
    return SplitData(leaf_names=tuple(table.leaf_names), membership=member,
                     indptr=table.indptr, ids=table.ids, lengths=table.lengths, groups=groups,
                     group_labels=tuple(group_labels),
                     tree_names=tuple(table.tree_names[:table.n_trees]),
                     rooted=bool(table.rooted),
                     parents=table.parents if parents else None, table=table)

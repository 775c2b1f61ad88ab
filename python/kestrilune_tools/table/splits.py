"""The splits of a tree set, per tree and per run: what convergence diagnostics and summary
trees are built from.

    >>> ts = read_trees(["a.run1.t", "a.run2.t"], burnin="25%")
    >>> sd = split_data(ts, rooted=False, lengths=True)
    >>> sd.counts()            # (n_splits, n_groups) trees of each run holding each split
    >>> sd.tree_splits(7)      # split ids of tree 7, ascending
    >>> sd.member_rows([s])[0]  # leaves of split s (one side of a bipartition, or a clade)
    >>> sd.tree_parents(7)     # beside tree_splits(7): the smallest split containing each

Split ids are columns in ascending leaf-set order, the order of the module's snapshot
exports; they depend only on which splits occur, not on the order of the trees. Unrooted,
a split is stored as the side without the first leaf (``leaf_names[0]``), and a pendant
edge as its one leaf; rooted, a split is the clade of a non-root node. Trivial splits
(one leaf, or every leaf but one) are included: ``nontrivial()`` masks them out.

``parents`` gives each tree's topology: beside every entry of ``ids``, the id of the
smallest split of the same tree that strictly contains it, or -1 for none (4 bytes an
entry; ``parents_of`` gives a range of trees' without it, from the table). Rooted, that is
the parent clade; unrooted, the parent when the tree is rooted on ``leaf_names[0]`` (whose
own pendant edge, stored as that one leaf, has no parent).

The data come from one native :class:`~kestrilune_tools._engine.SplitTable`; its arrays
are shared, not copied, and hold per tree only the splits it has, so 10^5 trees of 200
taxa take a few hundred megabytes.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np

if TYPE_CHECKING:
    from ..reading import TreeSet

__all__ = ["SplitData", "split_data", "from_table", "member_labels"]


# Bits set in each byte value.
_ONES = np.array([bin(b).count("1") for b in range(256)], dtype=np.uint16)


@dataclass(frozen=True)
class SplitData:
    leaf_names: Tuple[str, ...]  # sorted byte-wise; leaf l is column l of membership
    words: np.ndarray  # (n_splits, n_words) uint64: leaf l is bit l % 64 of word l // 64
    indptr: np.ndarray  # (n_trees + 1,) int64: tree t holds ids[indptr[t]:indptr[t + 1]]
    ids: np.ndarray  # (indptr[-1],) uint32, ascending within each tree
    lengths: Optional[np.ndarray]  # (indptr[-1],) float64 beside ids (missing length: 0.0)
    groups: np.ndarray  # (n_trees,) int32: the group (run) of each tree
    group_labels: Tuple[str, ...]  # one per group
    tree_names: Tuple[str, ...]  # one per tree
    rooted: bool
    parents: Optional[np.ndarray] = None  # (indptr[-1],) int32 beside ids, -1 for none
    table: Any = field(default=None, repr=False, compare=False)  # the native SplitTable
    _cache: Dict[str, np.ndarray] = field(default_factory=dict, repr=False, compare=False)

    @property
    def n_trees(self) -> int:
        return len(self.indptr) - 1

    @property
    def n_splits(self) -> int:
        return self.words.shape[0]

    @property
    def membership(self) -> np.ndarray:
        """(n_splits, n_leaves) bool: the leaves of every split, unpacked on first use and
        kept (a byte a leaf: 200 taxa and 10^5 distinct splits take 20 MB, so what needs only
        some rows or their bits takes :meth:`member_rows` or :meth:`packed`)."""
        if "membership" not in self._cache:
            self._cache["membership"] = self.member_rows(None)
        return self._cache["membership"]

    def member_rows(self, split_ids: Union[Sequence[int], np.ndarray, None]) -> np.ndarray:
        """(k, n_leaves) bool: the leaves of the given splits (ids, or a mask over the
        splits; all of them for ``None``)."""
        at: Any = slice(None)
        if split_ids is not None:
            at = np.asarray(split_ids)
            at = at if at.dtype == bool else at.astype(np.int64)
        if "membership" in self._cache:
            return self._cache["membership"][at]
        packed = self.packed()[at]
        return np.unpackbits(packed, axis=1, count=len(self.leaf_names),
                             bitorder="little").astype(bool)

    def packed(self) -> np.ndarray:
        """(n_splits, ceil(n_leaves / 8)) uint8, a view of ``words``: leaf l is bit l % 8 of
        byte l // 8 (``np.packbits(membership, axis=1, bitorder="little")``)."""
        n_bytes = (len(self.leaf_names) + 7) // 8
        return self.words.view(np.uint8).reshape(self.n_splits, -1)[:, :n_bytes]

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
        return self.parents_of(tree_i, tree_i + 1)

    def chunks(self, trees: Optional[int] = None, entries: int = 1 << 20
               ) -> Iterator[Tuple[int, int, int, int]]:
        """(t0, t1, e0, e1) of consecutive runs of whole trees and their entries
        ``ids[e0:e1]``: ``trees`` trees each, or by default about ``entries`` entries' worth
        (a pass over the table without arrays of all its entries)."""
        step = trees if trees is not None else max(1, entries // max(1, len(self.leaf_names)))
        for t0 in range(0, self.n_trees, step):
            t1 = min(self.n_trees, t0 + step)
            yield t0, t1, int(self.indptr[t0]), int(self.indptr[t1])

    @property
    def has_parents(self) -> bool:
        """Whether :meth:`parents_of` can answer: ``parents`` is held, or a table computes
        them."""
        return self.parents is not None or self.table is not None

    def parents_of(self, t0: int, t1: int) -> np.ndarray:
        """(indptr[t1] - indptr[t0],) int32: the parents of the entries of trees t0..t1,
        a slice of ``parents`` when it is held, else computed by the table for those trees
        alone (so a pass over the trees a chunk at a time never holds them all)."""
        if self.parents is not None:
            return self.parents[self.indptr[t0]:self.indptr[t1]]
        if self.table is None:
            raise ValueError("these split data were built without parent splits")
        return np.asarray(self.table.parents_of(t0, t1))

    def split_sizes(self) -> np.ndarray:
        """(n_splits,) number of leaves in each split's stored side."""
        if "sizes" not in self._cache:
            sizes = _ONES[self.packed()].sum(axis=1, dtype=np.int64)
            sizes.flags.writeable = False  # kept: every caller gets this one array
            self._cache["sizes"] = sizes
        return self._cache["sizes"]

    def nontrivial(self) -> np.ndarray:
        """(n_splits,) bool: splits of at least two leaves with at least two leaves outside
        (rooted: clades of 2 .. n_leaves - 1 leaves)."""
        sizes = self.split_sizes()
        n = len(self.leaf_names)
        return (sizes >= 2) & (sizes <= n - 2) if not self.rooted else (sizes >= 2) & (sizes < n)

    def counts(self) -> np.ndarray:
        """(n_splits, n_groups) int64: how many trees of each group hold each split."""
        if "counts" not in self._cache:
            if self.table is not None:  # counted natively, without an entry-sized temporary
                self._cache["counts"] = np.asarray(self.table.counts(self.n_groups))
                return self._cache["counts"]
            tree_of = np.repeat(np.arange(self.n_trees), np.diff(self.indptr))
            flat = self.ids.astype(np.int64) * self.n_groups + self.groups[tree_of]
            c = np.bincount(flat, minlength=self.n_splits * self.n_groups)
            self._cache["counts"] = c.reshape(self.n_splits, self.n_groups)
        return self._cache["counts"]

    def group_sizes(self) -> np.ndarray:
        return np.bincount(self.groups, minlength=self.n_groups)

    def labels(self, split_ids: Union[Sequence[int], np.ndarray, None] = None) -> List[str]:
        """The member leaves of each split joined with ``|``."""
        return member_labels(self.member_rows(split_ids), self.leaf_names)


def member_labels(membership: np.ndarray, leaf_names: Sequence[str]) -> List[str]:
    """The member leaves of each row of a (k, n_leaves) membership joined with ``|``."""
    return ["|".join(leaf_names[int(i)] for i in np.flatnonzero(r)) for r in membership]


def split_data(treeset: TreeSet, rooted: bool = False, lengths: bool = True,
               progress: Optional[object] = None, groups: Optional[Sequence[int]] = None,
               group_labels: Optional[Sequence[str]] = None,
               parents: bool = True) -> SplitData:
    """The splits of every tree of a :class:`~kestrilune_tools.reading.TreeSet`.

    Groups default to the files of the set (one file, one run). ``lengths=False`` skips
    the branch lengths; ``parents=False`` holding the parent splits whole (4 bytes an
    entry; ``parents_of`` still gives a range of trees' from the table). ``progress`` (a
    ``kestrilune.ProgressCounter``) counts trees read.
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
    """SplitData over a native ``SplitTable`` (its arrays are shared, not copied).
    ``parents=True`` computes and holds the parent splits whole (4 bytes an entry); with
    ``False``, :meth:`SplitData.parents_of` still gives any range of trees' from the table."""
    groups = table.groups
    if group_labels is None:
        n_groups = int(groups.max()) + 1 if len(groups) else 0
        if n_groups > max(len(groups), _MOST_EMPTY_GROUPS):
            raise ValueError(f"the table's group numbers run to {n_groups - 1} for "
                             f"{len(groups)} trees: number the groups (runs) from 0")
        group_labels = [str(g) for g in range(n_groups)]
    words = np.asarray(table.words).reshape(table.n_splits, table.n_words)
    return SplitData(leaf_names=tuple(table.leaf_names), words=words, indptr=table.indptr,
                     ids=table.ids, lengths=table.lengths, groups=groups,
                     group_labels=tuple(group_labels),
                     tree_names=tuple(table.tree_names[:table.n_trees]),
                     rooted=bool(table.rooted),
                     parents=table.parents if parents else None, table=table)

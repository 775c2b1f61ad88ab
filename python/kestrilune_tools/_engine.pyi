"""The split-table engine of kestrilune_tools (native)."""

from collections.abc import Mapping, Sequence
from typing import Annotated, overload

import numpy
from numpy.typing import NDArray


class TreeSetError(ValueError):
    """
    A tree set that cannot be read: the kestrilune module's ValueError, with .kind ("parse", "different_leaf_set", "duplicate_leaves", "snapshot", "too_few_trees", "fewer_trees_than_names" or "arguments") and .tree_index (the input tree at fault, or None).
    """

    @property
    def kind(self) -> str | None: ...

    @property
    def tree_index(self) -> int | None: ...

def instruction_set() -> str:
    """
    The instruction-set level the kernels run at: "avx512", "avx2" or "baseline" (the processor's, lowered by KESTRILUNE_ISA).
    """

def memory_limit() -> int:
    """
    The memory this process may use, in bytes: the least of the machine's physical memory, its cgroup's limit and its address-space and data rlimits (2**64 - 1 where none is known).
    """

def return_free_memory() -> None:
    """
    Hands the free pages of the heap back to the system (glibc's malloc_trim; nothing elsewhere). A long pass of small temporaries calls it now and then, so that they do not make resident again, page by page, the room an earlier phase freed.
    """

class TableBuilder:
    """
    A SplitTable built from parts: add() the trees of each chunk in turn, then finish(cls). Tree indices in errors count across the parts.
    """

    def __init__(self, *, rooted: bool = False, lengths: bool = False) -> None: ...

    def add(self, names: Sequence[str], newick_iter: object, translate_maps: Sequence[Mapping[str, str]], map_indices: Sequence[int], groups: Sequence[int] | None = None) -> None:
        """
        Parses and interns the next trees (the GIL released while they are parsed).
        """

    def finish(self, cls: object) -> object:
        """
        The table of every tree added, as an object of cls (SplitTable or a subclass).
        """

    @property
    def n_trees(self) -> int: ...

class SplitTable:
    """
    A tree set reduced once to its splits: per tree the ascending split ids (CSR), optional branch lengths and a group, per split its leaf set. Split ids are columns in ascending leaf-set order.
    """

    def __init__(self, names: Sequence[str], newick_iter: object, translate_maps: Sequence[Mapping[str, str]], map_indices: Sequence[int], rooted: bool = False, progress: object | None = None, *, lengths: bool = False, groups: Sequence[int] | None = None) -> None:
        """
        Parses and reduces the trees as the kestrilune module does (same arguments, same errors), the GIL released while trees are parsed. progress, a kestrilune.ProgressCounter, counts trees. lengths=True keeps branch lengths; groups gives each tree's group (run), default 0.
        """

    @property
    def n_trees(self) -> int: ...

    @property
    def n_splits(self) -> int: ...

    @property
    def n_words(self) -> int: ...

    @property
    def rooted(self) -> bool: ...

    @property
    def has_lengths(self) -> bool: ...

    @property
    def leaf_names(self) -> list[str]: ...

    @property
    def tree_names(self) -> list[str]: ...

    @property
    def indptr(self) -> Annotated[NDArray[numpy.int64], dict(shape=(None,), writable=False)]:
        """(n_trees + 1,) int64: tree t holds ids[indptr[t]:indptr[t + 1]]"""

    @property
    def ids(self) -> Annotated[NDArray[numpy.uint32], dict(shape=(None,), writable=False)]:
        """uint32 split ids, ascending within each tree"""

    @property
    def lengths(self) -> Annotated[NDArray[numpy.float64], dict(shape=(None,), writable=False)] | None:
        """float64 branch lengths beside ids, or None"""

    @property
    def groups(self) -> Annotated[NDArray[numpy.int32], dict(shape=(None,), writable=False)]:
        """(n_trees,) int32 group of every tree"""

    @property
    def first_seen(self) -> Annotated[NDArray[numpy.uint32], dict(shape=(None,), writable=False)]:
        """
        (n_splits,) uint32: the order in which the trees first showed each split (the kestrilune module's partition id)
        """

    @property
    def words(self) -> Annotated[NDArray[numpy.uint64], dict(shape=(None, None), writable=False)]:
        """
        (n_splits, n_words) uint64 leaf sets: leaf i is bit i % 64 of word i // 64
        """

    @property
    def parents(self) -> Annotated[NDArray[numpy.int32], dict(shape=(None,), writable=False)]:
        """
        int32 beside ids: the smallest split of the same tree strictly containing the split, or -1. Computed on first use, the GIL released, stopped by Ctrl-C.
        """

    def parents_of(self, t0: object, t1: object) -> NDArray[numpy.int32]:
        """
        parents of the entries of trees t0..t1 alone (indptr[t0]..indptr[t1]), as a new array, without computing or keeping them for the whole table. The GIL released, stopped by Ctrl-C.
        """

    def counts(self, n_groups: object) -> NDArray[numpy.int64]:
        """(n_splits, n_groups) int64: trees of each group holding each split"""

    def to_bytes(self) -> bytes:
        """
        The compact byte form, which pickling also stores: a versioned header, the arrays, and a checksum of the whole (see from_bytes).
        """

    @staticmethod
    def from_bytes(data: bytes) -> SplitTable:
        """
        The table of a byte form made by to_bytes (the current form or the one without a checksum). Every size, offset, id and leaf set is checked, and the checksum where there is one: ValueError for bytes that fail, else a table on which every query is safe. Memory and time follow the size of data. The checksum finds damage, not forgery: valid bytes can be written for any trees. Unpickling untrusted data can run code (that is pickle itself): exchange tables as bytes, not pickles.
        """

    def _block(self, metric: str, rows: Annotated[NDArray[numpy.uint32], dict(shape=(None,), order='C', device='cpu', writable=False)], cols: Annotated[NDArray[numpy.uint32], dict(shape=(None,), order='C', device='cpu', writable=False)], out: Annotated[NDArray, dict(shape=(None, None), device='cpu')], progress: object | None = None) -> None: ...

    def _condensed(self, metric: str, index: Annotated[NDArray[numpy.uint32], dict(shape=(None,), order='C', device='cpu', writable=False)], out: Annotated[NDArray, dict(shape=(None,), device='cpu')], progress: object | None = None) -> None: ...

    def _row_sums(self, metric: str, rows: Annotated[NDArray[numpy.uint32], dict(shape=(None,), order='C', device='cpu', writable=False)], cols: Annotated[NDArray[numpy.uint32], dict(shape=(None,), order='C', device='cpu', writable=False)], progress: object | None = None) -> NDArray[numpy.float64]: ...

    def _nearest(self, metric: str, index: Annotated[NDArray[numpy.uint32], dict(shape=(None,), order='C', device='cpu', writable=False)], k: object, progress: object | None = None) -> tuple: ...

    def _histogram(self, metric: str, index: Annotated[NDArray[numpy.uint32], dict(shape=(None,), order='C', device='cpu', writable=False)], edges: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], progress: object | None = None) -> NDArray[numpy.int64]: ...

    def _lag_sums(self, metric: str, n_groups: object, max_lag: object, progress: object | None = None) -> tuple: ...

    def _rf_bound(self, rows: Annotated[NDArray[numpy.uint32], dict(shape=(None,), order='C', device='cpu', writable=False)], cols: Annotated[NDArray[numpy.uint32], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> int: ...

    def _topology_newicks(self, trees: Annotated[NDArray[numpy.uint32], dict(shape=(None,), order='C', device='cpu', writable=False)], labels: Sequence[str], progress: object | None = None) -> list[str]: ...

    def _concat(self, other: SplitTable) -> object: ...

    def _take(self, trees: Annotated[NDArray[numpy.uint32], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> object: ...

    def __getstate__(self) -> bytes: ...

    def __setstate__(self, arg: bytes, /) -> None: ...

class RunSums:
    """
    Exact whole-number sums over the n x n distance matrix of one run, gathered block by block of rows: per row, the lagged products sum_t d(i,t) d(i,t+k) (k = 0..max_lag), the row sum and the sum of d(i,j)^2 over j > i; over the matrix, the diagonal sums diag[k] = sum_t d(t,t+k)^2 and col_upper[j] = sum_{i<j} d(i,j)^2.
    """

    def __init__(self, n: object, max_lag: object) -> None:
        """
        Sums for an n x n matrix (n from 0 to 2**32 - 1), lags 0 .. max_lag (below n).
        """

    @property
    def n(self) -> int: ...

    @property
    def max_lag(self) -> int: ...

    @overload
    def add_block(self, block: Annotated[NDArray[numpy.uint8], dict(shape=(None, None), order='C', device='cpu', writable=False)], row0: object) -> tuple: ...

    @overload
    def add_block(self, block: Annotated[NDArray[numpy.uint16], dict(shape=(None, None), order='C', device='cpu', writable=False)], row0: object) -> tuple: ...

    @overload
    def add_block(self, block: Annotated[NDArray[numpy.uint32], dict(shape=(None, None), order='C', device='cpu', writable=False)], row0: object) -> tuple:
        """
        Adds rows row0.. of the matrix (a C-contiguous uint8/16/32 array of shape (rows, n)); returns (lagged (rows, max_lag + 1), total (rows,), row_upper (rows,)), all int64. The GIL is released while the block is summed.
        """

    @property
    def diag(self) -> NDArray[numpy.int64]:
        """
        (n,) int64 copy: diag[k] = sum over t of d(t, t+k)^2 over the rows added
        """

    @property
    def col_upper(self) -> NDArray[numpy.int64]:
        """
        (n,) int64 copy: col_upper[j] = sum over i < j of d(i, j)^2 over the rows added
        """

def clade_partitions(words: Annotated[NDArray[numpy.uint64], dict(shape=(None, None), order='C', device='cpu', writable=False)], sizes: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], progress: object | None = None) -> NDArray[numpy.int64]:
    """
    Every (clade, child_a, child_b) with child_a | child_b == clade, disjoint, child_a < child_b, over the rows of words ((clades, n_words) uint64 leaf sets, distinct; sizes: (clades,) int64 leaf counts): the clade partitions of a CCD0. (p, 3) int64, rows ascending. The GIL is released; progress counts clades; Ctrl-C stops it.
    """

def gather_by_row(ids: Annotated[NDArray[numpy.uint32], dict(shape=(None,), order='C', device='cpu', writable=False)], row_of_split: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], a: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], b: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], starts: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], filled: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu')], out_a: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu')], out_b: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu')]) -> None:
    """
    The values of chosen splits, each split's in one run: for every entry e, in order, whose row r = row_of_split[ids[e]] (int32) is not negative, at = starts[r] + filled[r] (int64; filled counts up) gets out_a[at] = a[e], out_b[at] = b[e] (float64). ValueError for a split id or row out of range or a run that would pass starts[r + 1]; the outputs are then partly written. The GIL is released.
    """

def node_heights(indptr: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], ids: Annotated[NDArray[numpy.uint32], dict(shape=(None,), order='C', device='cpu', writable=False)], parents: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], lengths: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], leaf_of_split: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], t0: object, t1: object, plan: Annotated[NDArray[numpy.int64], dict(shape=(None, None), order='C', device='cpu', writable=False)], progress: object | None = None) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64]]:
    """
    Heights of trees t0..t1 of a rooted split table (indptr int64, ids uint32, parents int32, lengths float64; leaf_of_split: int32 per split, its leaf for a clade of one leaf, else -1): (h, ca). h: every entry's height, then every tree's root height, as BEAST reads trees (lengths not above 0 count as 0; heights from the highest tip). ca: (rows, t1 - t0), the height in each tree of each plan row's node; plan (rows, 2) int64, row r = (leaf, -1) a tip, (-1, -1) the root, (a, b) with a, b < r the most recent common ancestor of rows a and b. The GIL is released; progress counts trees; Ctrl-C stops it.
    """

class NodeComments:
    """
    What annotated sample trees say about chosen clades (counts, heights, lengths, comment values, common-ancestor heights), read natively where the text allows.
    """

    def __init__(self, n_leaves: int, clade_words: Annotated[NDArray[numpy.uint64], dict(shape=(None, None), order='C', device='cpu', writable=False)], with_ca: bool) -> None: ...

    def add_labels(self, labels: Mapping[str, int]) -> int:
        """A label-to-leaf table; returns its number for read()."""

    def read(self, texts: list, label_tables: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> int:
        """
        Reads the texts in order (text k through label table label_tables[k]) up to the first one the native reader leaves to the full one; returns how many were read.
        """

    def take(self) -> tuple[list[str], NDArray[numpy.int64], list[list[tuple[int, NDArray[numpy.float64], list[tuple[str, int]]]]], NDArray[numpy.float64] | None]:
        """
        (keys, counts, values, ca): keys by number; per clade its count; per clade [(key number, numbers in tree order, [(text, count)] in order of first appearance)]; the common-ancestor heights (clades x trees) or None.
        """

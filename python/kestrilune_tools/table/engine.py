"""The split-table engine: parse once, then any block of the distance matrix, any reduction.

    >>> t = SplitTable.from_treeset(read_trees(["run1.t", "run2.t"], burnin="25%"))
    >>> t.rf()                      # (n, n) int32, as every RF matrix here
    >>> t.rf(slice(0, 1000), slice(5000, 6000), out=np.lib.format.open_memmap(...))
    >>> t.condensed("rf")           # the upper triangle, scipy's squareform order
    >>> t.to(0), t.to("((A,B),C,D);")   # one tree against all
    >>> t.between(other)            # this table's trees against another's (same taxa)
    >>> t.medoid(), t.lag_means(max_lag=100), t.knn(5), t.histogram()

A table holds per tree only its split ids (and lengths with ``lengths=True``, which
``wrf``/``kf`` need), so 10^5 trees of 200 taxa fit in a few hundred megabytes; nothing here
builds an n x n array unless asked to. Every cell equals the ``kestrilune`` module's cell for
the same trees (RF exactly, WRF and KF in the module's summation order), whatever the tiling
or the number of threads. Long calls release the GIL, report to a
``kestrilune.ProgressCounter`` (pairs done) and stop on Ctrl-C.
"""

from __future__ import annotations

import operator
import warnings
from dataclasses import dataclass
from typing import (
    TYPE_CHECKING, Any, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union, cast,
)

import numpy as np

from .. import _engine
from .metrics import METRICS, Metric

if TYPE_CHECKING:
    from numpy.typing import DTypeLike

    from ..reading import TreeSet

__all__ = ["SplitTable", "LagMeans", "Neighbours", "Histogram", "METRICS", "RunSums",
           "clade_partitions", "node_heights", "TreeSetError", "instruction_set",
           "gather_by_row", "return_free_memory", "NodeComments"]

# The native pieces the analyses use directly: exact sums over a run's distance rows (for
# the ESS measures), the partitions of observed clades (for the CCD summaries) and node
# heights of rooted trees (for the dated summary trees).
RunSums = _engine.RunSums
clade_partitions = _engine.clade_partitions
node_heights = _engine.node_heights
gather_by_row = _engine.gather_by_row
return_free_memory = _engine.return_free_memory
# What annotated sample trees say about chosen clades, read natively where the text allows
# (annotate.annotate reads the rest).
NodeComments = _engine.NodeComments
# A tree set that cannot be read: a ValueError with the kestrilune module's message, its
# .kind ("parse", "different_leaf_set", ...) and .tree_index (the input tree at fault, or
# None).
TreeSetError = _engine.TreeSetError
# The instruction-set level the kernels run at: "avx512", "avx2" or "baseline".
instruction_set = _engine.instruction_set

_RF_TYPES = (np.uint8, np.uint16, np.uint32, np.uint64, np.int32, np.int64, np.float32,
             np.float64)

Index = Union[None, slice, Sequence[int], np.ndarray]


class Neighbours(NamedTuple):
    """The k nearest trees of each tree asked about, nearest first (``SplitTable.knn``)."""

    indices: np.ndarray  # (m, k) int64 table indices
    distances: np.ndarray  # (m, k) their distances


class Histogram(NamedTuple):
    """Counts of pair distances per bin, as ``numpy.histogram`` (``SplitTable.histogram``)."""

    counts: np.ndarray  # (n_bins,) int64
    edges: np.ndarray  # (n_bins + 1,) float64


@dataclass(frozen=True)
class LagMeans:
    """Distances between trees k samples apart within a run, k = 1 .. max_lag.

    Arrays are (n_groups, max_lag); column k - 1 is lag k. ``pooled_*`` weight the runs by
    their number of pairs.
    """

    pairs: np.ndarray  # int64: number of pairs
    mean: np.ndarray  # mean d (NaN without pairs)
    mean_sq: np.ndarray  # mean d^2

    @property
    def pooled_mean(self) -> np.ndarray:
        return _pooled(self.mean, self.pairs)

    @property
    def pooled_mean_sq(self) -> np.ndarray:
        return _pooled(self.mean_sq, self.pairs)


# A count of histogram bins is at most this (its edges are one array).
_MOST_BINS = 1 << 24


def _out_of_range(name: str, value: Any, n: int) -> str:
    return (f"{name}: tree index {int(value)} is out of range for a table of {n} trees "
            f"(allowed: {-n} to {n - 1})")


def _bin_range(given: Any) -> Tuple[float, float]:
    try:
        low, high = (float(v) for v in given)
    except (TypeError, ValueError):
        low = high = float("nan")
    if not (np.isfinite(low) and np.isfinite(high) and low < high):
        raise ValueError(f"range must be two finite numbers (low, high) with low < high, "
                         f"got {given!r}")
    return low, high


def _pooled(means: np.ndarray, pairs: np.ndarray) -> np.ndarray:
    n = pairs.sum(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(n > 0, np.nansum(means * pairs, axis=0) / n, np.nan)


def _restore(cls: "type[SplitTable]", data: bytes) -> "SplitTable":
    """A table of ``cls`` from its byte form: what pickles of protocols 0 and 1 call."""
    table = cls.__new__(cls)
    table.__setstate__(data)
    return table


class SplitTable(_engine.SplitTable):
    __doc__ = _engine.SplitTable.__doc__

    def __reduce_ex__(self, protocol: Any) -> Any:
        # Protocols 2 and up build the object with __new__ and hand the bytes to
        # __setstate__; 0 and 1 cannot, so they call a function that does the same.
        if isinstance(protocol, int) and protocol < 2:
            return _restore, (type(self), self.__getstate__())
        return super().__reduce_ex__(protocol)

    @classmethod
    def from_treeset(cls, treeset: TreeSet, rooted: bool = False, lengths: bool = False,
                     groups: Optional[Sequence[int]] = None,
                     progress: Optional[object] = None) -> "SplitTable":
        """The table of a :class:`~kestrilune_tools.reading.TreeSet`; groups default to its
        files (one file, one run)."""
        groups = treeset.file_indices if groups is None else groups
        return cls(treeset.names, treeset.newicks(), treeset.translate_maps,
                   treeset.map_indices, rooted=bool(rooted), progress=progress,
                   lengths=bool(lengths),
                   groups=np.asarray(groups, dtype=np.int64))  # type: ignore[arg-type]

    @classmethod
    def from_bytes(cls, data: bytes) -> "SplitTable":
        """The table of a byte form made by ``to_bytes`` (ValueError if it is damaged).

        Every size, offset, id and leaf set is checked, and the checksum of the current
        form: bytes from anywhere give a ValueError or a table on which every query is safe,
        in memory and time that follow their size. The checksum finds damage, not forgery.
        Unpickling untrusted data can run code (that is pickle itself): exchange tables
        as bytes, not pickles. See the README's section on the byte form."""
        table = cls.__new__(cls)
        table.__setstate__(bytes(data))
        return table

    # ------------------------------------------------------------------ blocks

    def rf(self, rows: Index = None, cols: Index = None, *, out: Optional[np.ndarray] = None,
           dtype: Optional[DTypeLike] = None, progress: Optional[object] = None) -> np.ndarray:
        """RF distances of ``rows`` x ``cols`` (slices or index arrays; None: all trees).

        ``dtype=None`` gives ``int32`` (signed, so differences do not wrap); a narrower
        integer type is refused when an RF of these trees could exceed it (see
        :meth:`compact_rf_type`). ``out`` receives the cells in place (any writable 2-D array of a
        numeric dtype, a memmap included)."""
        return self.block("rf", rows, cols, out=out, dtype=dtype, progress=progress)

    def compact_rf_type(self, rows: Index = None, cols: Index = None) -> np.dtype[Any]:
        """The narrowest unsigned type that holds every RF of ``rows`` x ``cols``: for sums
        and stores where size matters more than signed arithmetic."""
        bound = self._rf_bound(self.index(rows), self.index(cols))
        return np.dtype(np.uint8 if bound <= 0xFF else np.uint16 if bound <= 0xFFFF
                        else np.uint32)

    def wrf(self, rows: Index = None, cols: Index = None, *, out: Optional[np.ndarray] = None,
            progress: Optional[object] = None) -> np.ndarray:
        """Weighted RF (float64) of ``rows`` x ``cols``; needs ``lengths=True``."""
        return self.block("wrf", rows, cols, out=out, progress=progress)

    def kf(self, rows: Index = None, cols: Index = None, *, out: Optional[np.ndarray] = None,
           progress: Optional[object] = None) -> np.ndarray:
        """Kuhner-Felsenstein branch score (float64); needs ``lengths=True``."""
        return self.block("kf", rows, cols, out=out, progress=progress)

    def block(self, metric: Metric, rows: Index = None, cols: Index = None, *,
              out: Optional[np.ndarray] = None, dtype: Optional[DTypeLike] = None,
              progress: Optional[object] = None) -> np.ndarray:
        r, c = self.index(rows, "rows"), self.index(cols, "cols")
        out = self._output(metric, r, c, (len(r), len(c)), out, dtype)
        self._block(metric, r, c, out, progress)
        return out

    def condensed(self, metric: Metric = "rf", index: Index = None, *,
                  out: Optional[np.ndarray] = None, dtype: Optional[DTypeLike] = None,
                  progress: Optional[object] = None) -> np.ndarray:
        """The upper triangle over ``index`` as a 1-D array in the order of
        ``scipy.spatial.distance.squareform``, computed directly (no square matrix)."""
        i = self.index(index)
        m = len(i)
        out = self._output(metric, i, i, (m * (m - 1) // 2,), out, dtype)
        self._condensed(metric, i, out, progress)
        return out

    def to(self, tree: Union[int, str], metric: Metric = "rf", *,
           translate: Optional[Mapping[str, str]] = None,
           progress: Optional[object] = None) -> np.ndarray:
        """Distances from one tree to every tree of the table: a tree index, or a Newick
        text (leaf labels translated through ``translate`` when given), which may hold
        splits the table has never seen."""
        if isinstance(tree, (int, np.integer)):
            return self.block(metric, self.index([tree], "tree"), None, progress=progress)[0]
        if not isinstance(tree, str):
            raise TypeError(f"expected a tree index or a Newick string, got {type(tree).__name__}")
        joint = self.with_tree(tree, translate)
        return joint.block(metric, [self.n_trees], slice(0, self.n_trees), progress=progress)[0]

    def with_tree(self, newick: str, translate: Optional[Mapping[str, str]] = None
                  ) -> "SplitTable":
        """This table's trees followed by the tree of ``newick`` (row ``n_trees``, leaf
        labels translated through ``translate`` when given): the table :meth:`to` measures
        a Newick text in."""
        one = SplitTable(["tree", "tree"], iter([newick, newick]), [dict(translate or {})],
                         [0, 0], rooted=self.rooted, lengths=self.has_lengths)
        return cast(SplitTable, self._concat(one))

    def between(self, other: "_engine.SplitTable", metric: Metric = "rf", rows: Index = None,
                cols: Index = None, *, out: Optional[np.ndarray] = None,
                dtype: Optional[DTypeLike] = None,
                progress: Optional[object] = None) -> np.ndarray:
        """Distances from this table's trees (``rows``) to ``other``'s (``cols``): the cells
        the module gives for the two tree sets read as one (same taxa needed; leaf orders
        and translate tables may differ)."""
        joint = self.joined(other)
        r = self.index(rows, "rows")
        c = other.index(cols, "cols") if isinstance(other, SplitTable) else \
            SplitTable.index(other, cols, "cols")  # type: ignore[arg-type]  # needs n_trees only
        return joint.block(metric, r, c + np.uint32(self.n_trees), out=out, dtype=dtype,
                           progress=progress)

    def joined(self, other: "_engine.SplitTable") -> "SplitTable":
        """One table of this table's trees followed by ``other``'s; ``other``'s groups are
        numbered after this table's."""
        return cast(SplitTable, self._concat(other))

    def take(self, trees: Index) -> "SplitTable":
        """A table of the trees ``trees`` (in that order) as if they alone had been read:
        its cells are those the ``kestrilune`` module gives for those trees alone, the
        summation order of WRF and KF included (which depends on the order in which the
        trees of a call first meet each split). No tree is parsed again."""
        return cast(SplitTable, self._take(self.index(trees, "trees")))

    def topology_newicks(self, trees: Index = None, labels: Optional[Sequence[str]] = None,
                         progress: Optional[object] = None) -> List[str]:
        """Each tree's topology as Newick text written from its splits (no file is read):
        no branch lengths, every node's children in order of their smallest leaf, so one
        topology gives one text; rooted trees from their root, unrooted ones as
        ``(first leaf,...);``. ``labels``: each leaf's Newick word, in the order of
        ``leaf_names`` (default: the names as they are)."""
        words = list(self.leaf_names if labels is None else labels)
        return self._topology_newicks(self.index(trees, "trees"), words, progress)

    # ------------------------------------------------------------------ reductions

    def row_sums(self, metric: Metric = "rf", rows: Index = None, cols: Index = None,
                 progress: Optional[object] = None) -> np.ndarray:
        """float64 sum of each row's distances (RF sums are exact). Trees with a NaN or
        infinite branch length are counted in a warning (their WRF cells are NaN or inf, KF
        ones may be 0.0)."""
        r, c = self.index(rows, "rows"), self.index(cols, "cols")
        self._flag_nonfinite(metric, np.union1d(r, c), "sums over them are not meaningful")
        return self._row_sums(metric, r, c, progress)

    def medoid(self, metric: Metric = "rf", index: Index = None,
               progress: Optional[object] = None) -> int:
        """The tree (its table index) with the least total distance to the trees of
        ``index`` (default: all); ties go to the lowest index. For wrf and kf, trees with
        a NaN or infinite branch length are left out (with a warning)."""
        i = self._finite_trees(metric, self.index(index), "left out of the medoid")
        if len(i) == 0:
            raise ValueError("index: no tree to choose a medoid from")
        sums = self._row_sums(metric, i, i, progress)
        # The least sum, NaN after every number, ties to the first.
        nan = np.isnan(sums)
        return int(i[np.lexsort((np.where(nan, 0.0, sums), nan))[0]])

    def lag_means(self, metric: Metric = "rf", max_lag: int = 100,
                  progress: Optional[object] = None) -> LagMeans:
        """Mean d and d^2 over the pairs of trees k samples apart within each group (run),
        for k = 1 .. max_lag: what topological ESS is computed from. For wrf and kf, pairs
        with a tree that holds a NaN or infinite branch length are left out (with a
        warning)."""
        n_groups = int(self.groups.max()) + 1 if self.n_trees else 0
        self._flag_nonfinite(metric, None, "their pairs are left out of the lag means")
        pairs, s, s2 = self._lag_sums(metric, n_groups, max_lag, progress)
        with np.errstate(invalid="ignore", divide="ignore"):
            return LagMeans(pairs=pairs, mean=s / pairs, mean_sq=s2 / pairs)

    def knn(self, k: int, metric: Metric = "rf", index: Index = None,
            progress: Optional[object] = None) -> "Neighbours":
        """``Neighbours(indices, distances)``, each (m, k): the k nearest other trees of
        every tree of ``index``, nearest first, ties to the lower index, NaN distances last;
        indices are table indices (a tuple: ``nb, dist = t.knn(5)`` works)."""
        i = self.index(index)
        self._flag_nonfinite(metric, i, "distances to them are not meaningful (NaN ranks last)")
        pos, dist = self._nearest(metric, i, k, progress)
        return Neighbours(i[pos].astype(np.int64), dist)

    def histogram(self, metric: Metric = "rf", bins: Any = None, index: Index = None,
                  progress: Optional[object] = None, *,
                  range: Optional[Tuple[float, float]] = None,
                  ) -> "Histogram":
        """``Histogram(counts, edges)`` of the distances of all pairs i < j, as
        ``numpy.histogram`` (a tuple: ``counts, edges = t.histogram()`` works):
        ``bins`` the edges, or a count of equal bins over ``range`` (for RF, ``range``
        defaults to 0 .. the largest possible). ``bins=None``: for RF one bin per integer
        value up to the largest possible. For wrf and kf, trees with a NaN or infinite
        branch length are left out (with a warning)."""
        i = self._finite_trees(metric, self.index(index), "left out of the histogram")
        if bins is None:
            if metric != "rf":
                raise ValueError(f"bins: give edges, or a count with range=(low, high), for "
                                 f"{metric}")
            if range is not None:
                raise ValueError("range: give bins as a count with it")
            edges = np.arange(self._rf_bound(i, i) + 2, dtype=np.float64) - 0.5
            edges[0] = 0.0
        elif isinstance(bins, (int, np.integer)) and not isinstance(bins, bool):
            if not 1 <= bins <= _MOST_BINS:
                raise ValueError(f"bins must be a count from 1 to {_MOST_BINS} or edges, "
                                 f"got {bins}")
            if range is None:
                if metric != "rf":
                    raise ValueError(f"range: a count of bins needs range=(low, high) for "
                                     f"{metric}")
                range = (0.0, float(max(self._rf_bound(i, i), 1)))
            low, high = _bin_range(range)
            edges = np.linspace(low, high, int(bins) + 1)
        else:
            if range is not None:
                raise ValueError("range: give bins as a count with it, not edges")
            edges = np.asarray(bins, dtype=np.float64)
            if edges.ndim != 1 or len(edges) < 2:
                raise ValueError(f"bins must be a count from 1 to {_MOST_BINS} or a 1-D "
                                 f"sequence of at least two edges")
        counts = self._histogram(metric, i, np.ascontiguousarray(edges), progress)
        return Histogram(counts, edges)

    # ------------------------------------------------------------------ helpers

    def index(self, which: Index, name: str = "index") -> np.ndarray:
        """Table indices as a uint32 array: None (all), a slice, or integers (negative ones
        count from the end); IndexError outside the table (``name``: the argument's name in
        the message)."""
        n = self.n_trees
        if which is None:
            return np.arange(n, dtype=np.uint32)
        if isinstance(which, slice):
            return np.arange(*which.indices(n), dtype=np.uint32)
        arr = np.asarray(which)
        if arr.ndim == 1 and arr.dtype == object:  # integers beyond 64 bits
            try:
                arr = np.array([operator.index(v) for v in arr], dtype=object)
            except TypeError:
                pass
            else:
                outside = [v for v in arr if not -n <= v < n]
                if outside:
                    raise IndexError(_out_of_range(name, outside[0], n))
                arr = arr.astype(np.int64)
        if arr.ndim != 1 or not (np.issubdtype(arr.dtype, np.integer) or arr.size == 0):
            raise TypeError(f"{name}: tree indices must be a slice or a 1-D sequence of "
                            f"integers")
        # Checked in the array's own type: a cast first would turn 2**64 - 1 into -1.
        bad = arr >= n if arr.dtype.kind == "u" else (arr < -n) | (arr >= n)
        if bad.any():
            raise IndexError(_out_of_range(name, arr[bad][0], n))
        arr = arr.astype(np.int64, copy=False)
        return np.ascontiguousarray(np.where(arr < 0, arr + n, arr), dtype=np.uint32)

    def _nonfinite(self, index: Optional[np.ndarray]) -> np.ndarray:
        """Of the trees ``index`` (None: all), which hold a NaN or infinite length (bool)."""
        lengths = self.lengths
        n = self.n_trees
        if lengths is None or np.isfinite(lengths).all():
            return np.zeros(n if index is None else len(index), dtype=bool)
        tree_of = np.repeat(np.arange(n), np.diff(self.indptr))
        per_tree = np.zeros(n, dtype=bool)
        per_tree[tree_of[~np.isfinite(lengths)]] = True
        return per_tree if index is None else per_tree[index]

    def _flag_nonfinite(self, metric: str, index: Optional[np.ndarray], what: str) -> None:
        """Warns (counting them) when wrf or kf meets trees with NaN or infinite lengths."""
        if metric == "rf" or metric not in METRICS or not self.has_lengths:
            return
        bad = self._nonfinite(index)
        if bad.any():
            warnings.warn(f"{metric}: {int(bad.sum())} of {len(bad)} trees have NaN or "
                          f"infinite branch lengths; {what}", RuntimeWarning, stacklevel=3)

    def _finite_trees(self, metric: str, index: np.ndarray, what: str) -> np.ndarray:
        """``index`` without the trees with NaN or infinite lengths for wrf and kf (warns)."""
        if metric == "rf" or metric not in METRICS or not self.has_lengths:
            return index
        bad = self._nonfinite(index)
        if bad.any():
            warnings.warn(f"{metric}: {int(bad.sum())} of {len(bad)} trees have NaN or "
                          f"infinite branch lengths; {what}", RuntimeWarning, stacklevel=3)
            return np.ascontiguousarray(index[~bad])
        return index

    def _output(self, metric: str, rows: np.ndarray, cols: np.ndarray, shape: Tuple[int, ...],
                out: Optional[np.ndarray], dtype: Optional[DTypeLike]) -> np.ndarray:
        if metric not in METRICS:
            raise ValueError(f"unknown metric {metric!r}: choose rf, wrf or kf")
        if out is not None and not isinstance(out, np.ndarray):
            raise TypeError(f"out must be a NumPy array of shape {shape} (a memmap is fine), "
                            f"got {type(out).__name__}")
        for given, what in ((dtype, "dtype"), (None if out is None else out.dtype, "out")):
            if given is not None and not np.dtype(given).isnative:
                raise ValueError(f"{what}: {np.dtype(given).str!r} is not in this machine's "
                                 f"byte order; use {np.dtype(given).newbyteorder('=').str!r}")
        if metric != "rf":
            want: np.dtype[Any] = np.dtype(np.float64)
            if dtype is not None and np.dtype(dtype) != want:
                raise ValueError(f"{metric} cells are float64")
        elif dtype is None and out is None:
            want = np.dtype(np.int32)  # every RF matrix we hand out: signed and wide enough
        else:
            want = np.dtype(dtype if dtype is not None else out.dtype)  # type: ignore[union-attr]
            if want.type not in _RF_TYPES:
                raise ValueError(f"RF cells cannot be stored as {want}")
            if want.kind in "ui":
                bound = self._rf_bound(rows, cols)
                if bound > np.iinfo(want).max:
                    raise ValueError(f"RF values of these trees reach {bound}, more than "
                                     f"{want} holds")
        if out is None:
            return np.empty(shape, dtype=want)
        if out.shape != shape:
            raise ValueError(f"out must be an array of shape {shape}")
        if out.dtype != want:
            raise ValueError(f"out has dtype {out.dtype}; these cells need {want}")
        if not out.flags.writeable:
            raise ValueError("out is read-only")
        return out

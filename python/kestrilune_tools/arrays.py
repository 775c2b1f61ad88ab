"""NumPy views of the results of the ``kestrilune`` pairwise functions.

The byte buffers the module returns are wrapped with ``np.frombuffer`` without a copy, so
the arrays are read-only (``.copy()`` one to change it). The list returned by the plain WRF
and KF functions has to be converted, which copies it once.

The module's RF cells are unsigned 32-bit numbers, and unsigned arithmetic wraps
(``D[0, j] - D[0, k]`` would be 4294967282 where the true difference is -14). The views here
read the same bytes as ``int32``, as every RF matrix of this package is: the same numbers,
since an RF distance never reaches 2**31, and differences come out right.

    >>> res = kestrilune.pairwise_rf_with_snapshots_from_newick_iter(...)
    >>> D = rf_matrix(res)              # (n, n) int32
    >>> P, labels = presence(res)       # (n, n_bip) bool, one "A|B|C" label per column
    >>> S, taxa = splits(res)           # (n_bip, n_taxa) bool membership

Results are recognised by shape: the 2-tuples of ``pairwise_{rf,wrf,kf}_from_newick_iter``
and the 6-tuples of the ``..._with_snapshots_...`` variants.
"""

from __future__ import annotations

import math
import re
from typing import TYPE_CHECKING, Any, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np

from .table.metrics import METRICS, Metric

if TYPE_CHECKING:
    from types import ModuleType

    from .reading import TreeSet

# The tuple a module function returns: (names, matrix bytes[, leaf names, ...]).
ModuleResult = Tuple[Any, ...]

__all__ = [
    "METRICS",
    "matrix",
    "rf_matrix",
    "float_matrix",
    "presence",
    "branch_lengths",
    "splits",
    "split_labels",
    "pairwise",
    "distance_matrix",
    "snapshots_worthwhile",
    "leaf_count",
    "labels_of",
]


# Exports up to this size are always fine (see snapshots_worthwhile).
_SNAPSHOT_BUDGET = 1 << 28
_SPLIT_SAMPLE = 200  # trees whose splits estimate the size of the export

_RF = np.dtype("<i4")  # the module's uint32 cells, read as signed
_F64 = np.dtype("<f8")


def _square(buf: Union[bytes, bytearray, memoryview], dtype: np.dtype[Any],
            what: str) -> np.ndarray:
    n_cells, rest = divmod(len(buf), dtype.itemsize)
    n = math.isqrt(n_cells)
    if rest or n * n != n_cells:
        raise ValueError(f"{what}: {len(buf)} bytes do not hold a square matrix of "
                         f"{dtype.itemsize}-byte cells")
    return np.frombuffer(buf, dtype=dtype).reshape(n, n)


def _check(result: ModuleResult) -> None:
    if not isinstance(result, tuple) or len(result) not in (2, 6):
        raise TypeError("expected the tuple returned by a kestrilune pairwise function")


def rf_matrix(result: ModuleResult) -> np.ndarray:
    """The (n, n) ``int32`` RF matrix of an RF result (plain or with snapshots)."""
    _check(result)
    if not isinstance(result[1], (bytes, bytearray, memoryview)):
        raise TypeError("not an RF result: its matrix is not a bytes object")
    return _square(result[1], _RF, "RF matrix")


def float_matrix(result: ModuleResult) -> np.ndarray:
    """The (n, n) ``float64`` matrix of a WRF or KF result (plain or with snapshots)."""
    _check(result)
    m = result[1]
    if isinstance(m, (bytes, bytearray, memoryview)):
        return _square(m, _F64, "WRF/KF matrix")
    arr = np.asarray(m, dtype=np.float64)
    n = math.isqrt(arr.size)
    if n * n != arr.size:
        raise ValueError(f"WRF/KF matrix: {arr.size} values do not form a square matrix")
    return arr.reshape(n, n)


def matrix(result: ModuleResult) -> np.ndarray:
    """The (n, n) distance matrix of any of the six results.

    A bytes matrix is read as ``int32`` (RF) when its length is 4·n² and as ``float64``
    (WRF, KF) when it is 8·n²; the two cannot both hold for one length, except 0.
    """
    _check(result)
    m = result[1]
    if not isinstance(m, (bytes, bytearray, memoryview)):
        return float_matrix(result)
    n_cells = len(m) // 4
    if len(m) % 4 == 0 and math.isqrt(n_cells) ** 2 == n_cells:
        return _square(m, _RF, "RF matrix")
    return _square(m, _F64, "WRF/KF matrix")


def _snapshot_parts(result: ModuleResult) -> Tuple[int, List[str], int, bytes, bytes]:
    if not isinstance(result, tuple) or len(result) != 6:
        raise TypeError("expected the 6-tuple of a pairwise_*_with_snapshots_* function")
    n = matrix(result).shape[0]
    _, _, leaf_names, n_bip, table, clades = result
    return n, list(leaf_names), int(n_bip), table, clades


def presence(result: ModuleResult) -> Tuple[np.ndarray, List[str]]:
    """(n, n_bip) ``bool`` presence matrix of an RF snapshot result, with column labels."""
    n, _, n_bip, table, _ = _snapshot_parts(result)
    if len(table) != n * n_bip:
        raise ValueError("not an RF snapshot result: presence bytes are not n x n_bip")
    # The module writes only 0 and 1, so the bytes are valid booleans as they stand.
    return np.frombuffer(table, dtype=np.bool_).reshape(n, n_bip), split_labels(result)


def branch_lengths(result: ModuleResult) -> Tuple[np.ndarray, List[str]]:
    """(n, n_bip) ``float64`` branch lengths of a WRF/KF snapshot result (0.0 = absent)."""
    n, _, n_bip, table, _ = _snapshot_parts(result)
    if len(table) != 8 * n * n_bip:
        raise ValueError("not a WRF/KF snapshot result: branch-length bytes are not "
                         "n x n_bip float64")
    return np.frombuffer(table, dtype=_F64).reshape(n, n_bip), split_labels(result)


def splits(result: ModuleResult) -> Tuple[np.ndarray, List[str]]:
    """(n_bip, n_taxa) ``bool`` membership of every split, with the taxon names.

    Row j is column j of the presence / branch-length matrix; in unrooted mode a row holds
    one side of the bipartition, in rooted mode the clade.

    When tree 0 has a leaf without a name, the module leaves it out of ``leaf_names`` but
    gives it bit 0 and moves every named leaf one bit up; the returned names then start with
    ``""`` for that leaf, so that column l is still the leaf named ``names[l]``. The rows are
    ``ceil(len(leaf_names) / 8)`` bytes wide, so with a multiple of 8 named leaves the last
    one's bit does not fit: that is refused (``ValueError``) rather than mislabelled.
    """
    _, leaf_names, n_bip, _, clades = _snapshot_parts(result)
    n_named = len(leaf_names)
    width = (n_named + 7) // 8
    if len(clades) != n_bip * width:
        raise ValueError("clade bytes are not n_bip rows of ceil(n_taxa / 8) bytes")
    packed = np.frombuffer(clades, dtype=np.uint8).reshape(n_bip, width)
    bits = np.unpackbits(packed, axis=1, bitorder="little").astype(bool)
    # Padding bits are zero and every split holds a leaf, unless an unnamed leaf took bit 0:
    # then the last named leaf sits on bit n_named, or (row full) fell off the row and left
    # its pendant edge's row empty.
    if not (bits[:, n_named:].any() or not bits.any(axis=1).all()):
        return bits[:, :n_named], leaf_names
    if n_named % 8 == 0:
        raise ValueError(f"tree 0 has an unnamed leaf, and with {n_named} named leaves the "
                         f"module's split rows have no bit left for {leaf_names[-1]!r}: "
                         "name every leaf")
    return bits[:, : n_named + 1], [""] + leaf_names


def split_labels(result: ModuleResult) -> List[str]:
    """One label per split: the member taxon names joined with ``|`` (``?`` for a leaf
    without a name)."""
    member, names = splits(result)
    return labels_of(member, names)


def labels_of(membership: np.ndarray, names: Sequence[str]) -> List[str]:
    """Labels of membership rows: the names of their leaves joined with ``|``."""
    shown = [name if name else "?" for name in names]
    return ["|".join(shown[i] for i in np.flatnonzero(row)) for row in membership]


# ----------------------------------------------------------------------------- calling


def _module() -> ModuleType:
    try:
        import kestrilune
    except ImportError as exc:  # pragma: no cover - depends on the installation
        raise ImportError("the kestrilune extension module is not installed: "
                          "pip install kestrilune") from exc
    return kestrilune


def pairwise(metric: Metric, treeset: TreeSet, *, rooted: bool = False,
             progress: Optional[object] = None, snapshots: bool = False,
             trees: Optional[Iterable[str]] = None) -> ModuleResult:
    """Call the module function for ``metric`` ("rf", "wrf" or "kf") on a TreeSet.

    Returns the module's tuple unchanged. ``snapshots=True`` picks the
    ``..._with_snapshots_...`` variant. ``trees`` replaces ``treeset.newicks()`` (an
    iterable is wrapped in ``iter``), e.g. to count trees as the module reads them.
    """
    if metric not in METRICS:
        raise ValueError(f"unknown metric {metric!r}: choose one of {', '.join(METRICS)}")
    mod = _module()
    suffix = "with_snapshots_from_newick_iter" if snapshots else "from_newick_iter"
    fn = getattr(mod, f"pairwise_{metric}_{suffix}")
    newicks = treeset.newicks() if trees is None else iter(trees)
    return fn(treeset.names, newicks, treeset.translate_maps, treeset.map_indices,
              rooted=bool(rooted), progress=progress)


def leaf_count(ts: TreeSet) -> int:
    """Leaves of tree 0 of a TreeSet: its translate table's size, or counted in its text
    (a Newick tree has one leaf more than it has commas outside comments)."""
    table = ts.translate_maps[ts.map_indices[0]]
    if table:
        return len(table)
    text = next(iter(ts.newicks()))
    return re.sub(r"\[[^\]]*\]", "", text).count(",") + 1


def snapshots_worthwhile(metric: Metric, ts: TreeSet, rooted: bool = False,
                         module: Optional[ModuleType] = None) -> bool:
    """Whether the snapshot variant of the module function is the better call.

    It also returns the splits, and for WRF and KF its float64 matrix bytes cost 8 bytes a
    cell where the plain variant's list of floats costs about 40 (a measured peak of 47 at
    3,000 trees). But its export holds n x n_splits cells. So: when even the worst case (every
    tree's splits new) is small, yes; otherwise the export is estimated from an evenly spaced
    sample of trees, and taken when it costs no more than the plain variant's matrix.

    The estimate follows the sample's split-discovery curve: with D(k) the distinct
    non-trivial splits of k sample trees, D grows like k**b, b = log2(D(m) / D(m/2)) between
    0 (one topology) and 1 (every tree new), and D(n) = D(m) (n / m)**b. Scaling linearly
    instead takes most posteriors for diffuse ones: on 6,000 random-walk trees of 200 taxa
    it guessed 367,530 splits for 17,393 (this guesses 45,568), and it kept the command on
    the list path at 4.7 GB where the snapshot variant needed 1.15 GB.
    """
    module = _module() if module is None else module
    n = len(ts)
    cell = 1 if metric == "rf" else 8  # bytes per export cell
    taxa = leaf_count(ts)
    if n * n * 2 * taxa * cell <= _SNAPSHOT_BUDGET:
        return True
    m = min(n, _SPLIT_SAMPLE)
    sample = ts.subset(np.linspace(0, n - 1, m).round().astype(int).tolist())
    try:
        res = module.pairwise_rf_with_snapshots_from_newick_iter(
            sample.names, sample.newicks(), sample.translate_maps, sample.map_indices,
            rooted=rooted)
        present, _ = presence(res)
    except ValueError:
        return False  # the full call will fail too, and name the right tree
    trivial = len(res[2])  # pendant edges: in every tree
    seen_all = max(int(res[3]) - trivial, 1)
    seen_half = max(int(present[::2].any(axis=0).sum()) - trivial, 1)  # every other tree
    growth = min(max(math.log(seen_all / seen_half) / math.log(m / -(-m // 2)), 0.0), 1.0) \
        if m > 1 else 1.0
    estimate = trivial + seen_all * (n / m) ** growth
    plain_matrix = (4 if metric == "rf" else 40) * n * n
    return cell * n * estimate <= max(_SNAPSHOT_BUDGET, plain_matrix)


def distance_matrix(metric: Metric, treeset: TreeSet, rooted: bool = False,
                    progress: Optional[object] = None) -> np.ndarray:
    """The (n, n) distance matrix of a TreeSet: ``int32`` for RF, ``float64`` otherwise.

    WRF and KF go through the snapshot variant when :func:`snapshots_worthwhile` says so
    (it returns the matrix as float64 bytes, a quarter of the memory of a list of floats).
    """
    snapshots = metric != "rf" and snapshots_worthwhile(metric, treeset, rooted=rooted)
    result = pairwise(metric, treeset, rooted=rooted, progress=progress, snapshots=snapshots)
    return rf_matrix(result) if metric == "rf" else float_matrix(result)

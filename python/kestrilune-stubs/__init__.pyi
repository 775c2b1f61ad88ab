"""Types of the ``kestrilune`` extension module, for editors and type checkers.

Every function takes the same six parameters and returns a tuple: the tree names (every
name given), then the n x n distance matrix, row-major, and for the ``_with_snapshots_``
variants the sorted leaf names, the number of distinct splits, the presence (RF) or
branch-length (WRF, KF) table and the split membership bytes.
"""

from typing import Any, Dict, Iterator, List, Optional, Sequence, SupportsIndex, Tuple, Union

__all__ = [
    "pairwise_rf_from_newick_iter",
    "pairwise_rf_with_snapshots_from_newick_iter",
    "pairwise_wrf_with_snapshots_from_newick_iter",
    "pairwise_kf_with_snapshots_from_newick_iter",
    "pairwise_wrf_from_newick_iter",
    "pairwise_kf_from_newick_iter",
    "ProgressCounter",
]

# NumPy's boolean scalar is accepted too (np.bool_); the stub does not import NumPy.
_Rooted = Union[bool, Any]

class ProgressCounter:
    """Pairs done and pairs in all of the running call; poll it from another thread."""

    def __init__(self) -> None: ...
    def value(self) -> int: ...
    def total(self) -> int: ...
    def fraction(self) -> float: ...
    def reset(self) -> None: ...

def pairwise_rf_from_newick_iter(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[Dict[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: _Rooted = False,
    progress: Optional[ProgressCounter] = None,
) -> Tuple[List[str], bytes]:
    """(tree names, n*n little-endian uint32 RF cells)."""

def pairwise_wrf_from_newick_iter(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[Dict[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: _Rooted = False,
    progress: Optional[ProgressCounter] = None,
) -> Tuple[List[str], List[float]]:
    """(tree names, flat list of n*n weighted RF distances)."""

def pairwise_kf_from_newick_iter(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[Dict[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: _Rooted = False,
    progress: Optional[ProgressCounter] = None,
) -> Tuple[List[str], List[float]]:
    """(tree names, flat list of n*n Kuhner-Felsenstein branch scores)."""

def pairwise_rf_with_snapshots_from_newick_iter(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[Dict[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: _Rooted = False,
    progress: Optional[ProgressCounter] = None,
) -> Tuple[List[str], bytes, List[str], int, bytes, bytes]:
    """(tree names, uint32 RF cells, leaf names, n_splits, n x n_splits presence bytes,
    n_splits rows of ceil(leaves / 8) membership bytes)."""

def pairwise_wrf_with_snapshots_from_newick_iter(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[Dict[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: _Rooted = False,
    progress: Optional[ProgressCounter] = None,
) -> Tuple[List[str], bytes, List[str], int, bytes, bytes]:
    """(tree names, float64 WRF cells, leaf names, n_splits, n x n_splits float64 branch
    lengths, membership bytes)."""

def pairwise_kf_with_snapshots_from_newick_iter(
    names: Sequence[str],
    newick_iter: Iterator[str],
    translate_maps: Sequence[Dict[str, str]],
    map_indices: Sequence[SupportsIndex],
    rooted: _Rooted = False,
    progress: Optional[ProgressCounter] = None,
) -> Tuple[List[str], bytes, List[str], int, bytes, bytes]:
    """(tree names, float64 KF cells, leaf names, n_splits, n x n_splits float64 branch
    lengths, membership bytes)."""

"""Effective sample sizes of a run of trees, from the distances between its trees.

Every measure takes the run's square distance matrix (trees in sample order, burn-in already
dropped) and follows one published definition, named in its result:

* :func:`approx_ess`: RWTY's ``topological.approx.ess`` on all samples (Lanfear et al. 2016).
* :func:`pseudo_ess`: the ESS of the distance trace to every tree of the run in turn
  (``coda::effectiveSize``), summarised by its minimum and median, as treess does.
* :func:`frechet_ess`: treess' ``frechetCorrelationESS``, in O(n^2) instead of O(n^3).
* :func:`tracer_ess`: Tracer's ESS of numeric traces (here the 0/1 presence of a split).

Squared RF distances are whole numbers, so every sum below is taken exactly in integers
when the distances are integers, and only the final ratios are rounded.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, replace
from typing import (
    TYPE_CHECKING, Any, Callable, Iterable, Iterator, Optional, Sequence, Tuple, Type, Union,
)

import numpy as np

from .rmath import ar_order_max, coda_ess, nelder_mead

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from ...table.engine import RunSums, SplitTable

__all__ = ["RunDistances", "DistanceStats", "ApproxESS", "PseudoESS", "FrechetESS",
           "distance_stats", "lag_sums", "approx_lag_mean_sq", "approx_ess", "pseudo_ess",
           "frechet_ess", "tracer_ess", "tracer_ess_from_sums", "APPROX_MIN_TREES",
           "APPROX_MAX_LAG", "BlockSums", "block_sums", "run_block_sums"]

APPROX_MAX_LAG = 100  # RWTY's default max.sampling.interval
APPROX_MIN_LAGS = 20  # RWTY refuses to fit fewer lags
APPROX_MIN_TREES = 100 + APPROX_MIN_LAGS  # lags reach N - 100 at most
APPROX_CUTOFF = 0.95
FRECHET_MIN_PAIRS = 5  # treess' min.nsamples
_ROW_BLOCK = 1024  # rows per block: the per-row AR fits run vectorised over a block
_SUM_ROWS = 128  # rows per call of the native sums: about 0.05 s of CPU at 25,000 trees


class RunDistances:
    """The distance matrix of one run (trees in sample order), read by blocks of rows, so
    that the matrix never has to be held whole: ``block(start, stop)`` returns rows
    start..stop-1 as an (stop - start, n) array."""

    def __init__(self, n: int, block: Callable[[int, int], np.ndarray],
                 source: Optional[Tuple[SplitTable, np.ndarray, str, Any]] = None) -> None:
        self.n = int(n)
        self.block = block
        # (table, indices, metric, dtype): block(a, b) is table.block(metric, indices[a:b],
        # indices, dtype=dtype), for computing the blocks elsewhere (a Dask cluster).
        self.source = source

    @classmethod
    def from_matrix(cls, dist: ArrayLike) -> "RunDistances":
        d = np.asarray(dist)
        if d.ndim != 2 or d.shape[0] != d.shape[1]:
            raise ValueError(f"expected a square distance matrix, got shape {d.shape}")
        return cls(d.shape[0], lambda start, stop: d[start:stop])


@dataclass(frozen=True)
class DistanceStats:
    """What the ESS measures need from a run's distances, gathered in one pass.

    ``diag[k]`` = sum over t of d(t, t+k)^2 (k = 0..n-1), ``row_upper[a]`` = sum over
    b > a of d(a, b)^2, ``col_upper[b]`` = sum over a < b of d(a, b)^2 (exact integers for
    integer distances), and the pseudo-ESS with each tree as the reference (or None).
    """

    n: int
    diag: np.ndarray
    row_upper: np.ndarray
    col_upper: np.ndarray
    pseudo: Optional[np.ndarray]


# A run's distances: a square matrix, rows read by blocks, or the statistics already taken.
Distances = Union["ArrayLike", RunDistances, DistanceStats]


def _native_sums(n: int, dtype: Type[np.generic]) -> Optional[RunSums]:
    """The engine's exact RunSums for unsigned whole-number distances, or None."""
    if dtype not in (np.uint8, np.uint16, np.uint32) or n < 2:
        return None
    try:
        from ...table.engine import RunSums
    except ImportError:  # a build without the engine: the NumPy path gives the same sums
        return None
    return RunSums(n, ar_order_max(n))


@dataclass(frozen=True)
class BlockSums:
    """What one block of rows start..stop adds to :class:`DistanceStats`: its rows' upper
    sums and pseudo-ESS, and the NumPy sums of its squares by column and by diagonal (None
    when the native sums took the whole block). ``native_diag``/``native_col``: what a
    native ``RunSums`` of this block alone summed (None when the caller's own ``RunSums``
    holds it)."""

    start: int
    stop: int
    row_upper: np.ndarray
    col: Optional[np.ndarray]
    diag: Optional[np.ndarray]
    pseudo: Optional[np.ndarray]
    native_failed: bool = False
    native_diag: Optional[np.ndarray] = None
    native_col: Optional[np.ndarray] = None


def block_sums(rows: np.ndarray, start: int, n: int, pseudo: bool,
               native: Optional[RunSums]) -> BlockSums:
    """The sums of rows start..start + len(rows) of an n x n run matrix, by ``native`` (a
    ``RunSums`` of the run, or None: NumPy) as far as it can."""
    stop = start + len(rows)
    acc = np.int64 if np.issubdtype(rows.dtype, np.integer) else np.float64
    upper = np.zeros(stop - start, dtype=acc)
    per_ref = np.empty(stop - start) if pseudo and n >= 2 else None
    first = start
    failed = False
    if native is not None:
        # In pieces of rows, so that Ctrl-C is answered between them (the native sums
        # do not poll); the sums are exact, so the pieces change nothing.
        rows = np.ascontiguousarray(rows)
        done, parts = start, []
        try:
            for lo in range(start, stop, _SUM_ROWS):
                hi = min(stop, lo + _SUM_ROWS)
                parts.append(native.add_block(rows[lo - start:hi - start], lo))
                done = hi
        except ValueError:  # too large for exact 64-bit sums: NumPy from here on
            failed = True
        if done > start:
            lagged, total, got = (np.concatenate(p) for p in zip(*parts))
            upper[:done - first] = got
            if per_ref is not None:
                per_ref[:done - first] = coda_ess(rows[:done - start], sums=(lagged, total))
        if not failed:
            return BlockSums(first, stop, upper, None, None, per_ref)
        rows, start = rows[done - start:], done  # the rest of the block by NumPy
    cols = np.arange(n)
    values = rows.astype(acc)
    sq = values * values
    sq[cols[None, :] <= np.arange(start, stop)[:, None]] = 0  # keep j > i only
    upper[start - first:] = sq.sum(axis=1)
    col = sq.sum(axis=0)
    # Diagonal sums: read row r from its own diagonal on, i.e. with a row stride of
    # n + 1. Reads past a row's end land in the next row's lower triangle, which is 0,
    # and n zeros appended after the last row cover the final one.
    flat = np.concatenate([sq.ravel(), np.zeros(n, dtype=sq.dtype)])
    skew = np.lib.stride_tricks.as_strided(
        flat[start:], shape=(stop - start, n),
        strides=((n + 1) * flat.itemsize, flat.itemsize), writeable=False)
    diag = skew.sum(axis=0)
    if per_ref is not None:
        per_ref[start - first:] = coda_ess(rows)
    return BlockSums(first, stop, upper, col, diag, per_ref, failed)


def run_block_sums(rows: np.ndarray, start: int, n: int, pseudo: bool) -> BlockSums:
    """:func:`block_sums` of one block alone (its own native ``RunSums``, whose sums it
    carries): what a worker computes of a run's distances."""
    native = _native_sums(n, rows.dtype.type)
    out = block_sums(rows, start, n, pseudo, native)
    if native is None:
        return out
    return replace(out, native_diag=native.diag, native_col=native.col_upper)


def distance_stats(dist: Distances, pseudo: bool = True, block_rows: int = _ROW_BLOCK,
                   on_rows: Optional[Callable[[int], None]] = None,
                   blocks: Optional[Callable[[int, int], Iterable[BlockSums]]] = None
                   ) -> DistanceStats:
    """One pass over the rows of ``dist`` (a square matrix or a :class:`RunDistances`);
    ``on_rows(k)`` is told after each block of k rows (for a progress display).

    Unsigned whole-number distances (RF) are summed by the engine's native ``RunSums``
    when it is built, NumPy otherwise; both sums are exact, so the results are the same.
    ``blocks(block_rows, n)``: the :func:`run_block_sums` of every block of rows,
    in order, computed elsewhere (on a cluster) instead of here.
    """
    if isinstance(dist, DistanceStats):
        return dist
    src = dist if isinstance(dist, RunDistances) else RunDistances.from_matrix(dist)
    n = src.n
    diag: Optional[np.ndarray]
    row_upper: Optional[np.ndarray]
    col_upper: Optional[np.ndarray]
    diag = row_upper = col_upper = None
    per_ref = np.empty(n) if pseudo and n >= 2 else None
    native: Optional[RunSums]
    summed: Optional[RunSums]
    native = summed = None  # summed: the RunSums holding the blocks it took

    def local() -> Iterator[BlockSums]:
        nonlocal native, summed
        for start in range(0, n, block_rows):
            rows = np.asarray(src.block(start, min(n, start + block_rows)))
            if start == 0:
                native = summed = _native_sums(n, rows.dtype.type)
            part = block_sums(rows, start, n, pseudo, native)
            if part.native_failed:
                native = None
            yield part

    for part in (local() if blocks is None else blocks(block_rows, n)):
        if diag is None:
            acc = part.row_upper.dtype
            diag = np.zeros(n, dtype=acc)
            row_upper = np.zeros(n, dtype=acc)
            col_upper = np.zeros(n, dtype=acc)
        assert row_upper is not None and col_upper is not None  # made with diag
        row_upper[part.start:part.stop] = part.row_upper
        if part.col is not None and part.diag is not None:
            col_upper += part.col
            diag += part.diag
        if part.native_diag is not None and part.native_col is not None:
            diag += part.native_diag  # exact integers: the order of the blocks is free
            col_upper += part.native_col
        if per_ref is not None and part.pseudo is not None:
            per_ref[part.start:part.stop] = part.pseudo
        if on_rows is not None:
            on_rows(part.stop - part.start)
    if summed is not None:
        assert diag is not None and col_upper is not None  # made with summed
        diag += summed.diag
        col_upper += summed.col_upper
    # Without trees the loop never runs and the sums stay None; no measure reads them then.
    return DistanceStats(n=n, diag=diag, row_upper=row_upper, col_upper=col_upper,  # type: ignore[arg-type]
                         pseudo=per_ref)


def lag_sums(dist: Distances, max_lag: Optional[int] = None
             ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """``(diag[:max_lag + 1], row_upper, col_upper)`` of :class:`DistanceStats`."""
    st = distance_stats(dist, pseudo=False)
    k = st.n - 1 if max_lag is None else min(max_lag, st.n - 1)
    return st.diag[: k + 1], st.row_upper, st.col_upper


# ------------------------------------------------------------------------- approximate ESS


@dataclass(frozen=True)
class ApproxESS:
    ess: float
    operator: str  # "=" or "<" (the autocorrelation never fell below the cutoff)
    cutoff: int  # m: the first lag whose mean squared distance passed the cutoff
    max_lag: int  # K: lags 1..K were fitted
    asymptote: float  # a of the fit a (1 - exp(-k / b))
    scale: float  # b
    fncount: int
    lag_mean_sq: np.ndarray  # f_k, k = 1..K
    rule: str = "RWTY topological.approx.ess (all samples, R optim Nelder-Mead)"


def _exp(x: float) -> float:
    """exp() as C and R give it: inf on overflow instead of an exception."""
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def _rwty_objective(lags: np.ndarray, f: np.ndarray) -> Callable[[Sequence[float]], float]:
    pairs = [(float(k), float(v)) for k, v in zip(lags, f)]

    def objective(par: Sequence[float]) -> float:
        a, b = par
        # Each residual in double precision with C's exp(), as R computes it; R's sum()
        # then adds their squares one after another in long double, as add.accumulate
        # does (a sequential loop, unlike sum()'s pairwise one).
        res = [a * (1.0 - _exp(-(k / b))) - fk for k, fk in pairs]
        sq = np.array([t * t for t in res], dtype=np.longdouble)
        return float(np.add.accumulate(sq)[-1]) if len(sq) else 0.0

    return objective


def approx_lag_mean_sq(diag: np.ndarray, n: int) -> np.ndarray:
    """f_k = diag[k] / (n - k), k = 1..min(100, n - 100): the mean squared distance at the
    lags the approximate ESS fits, from the lag sums of squared distances of n trees."""
    k_max = min(APPROX_MAX_LAG, n - 100)
    return np.array([diag[k] / (n - k) for k in range(1, k_max + 1)], dtype=np.float64)


def approx_ess(dist: Optional[Distances] = None, *, lag_mean_sq: Optional[ArrayLike] = None,
               n_trees: Optional[int] = None) -> ApproxESS:
    """RWTY's approximate topological ESS of one run.

    f_k is the mean squared distance between trees k samples apart, k = 1..K with
    K = min(100, N - 100). The exponential semivariogram a (1 - exp(-k / b)) is fitted by
    least squares with R's Nelder-Mead from (1, 1), as RWTY does; m is the first lag with
    f_k / a > 0.95 (none: m = K + 1 and the ESS is an upper bound, operator "<");
    D = max f_k; S = [sum_{k<m} (N - k) f_k + (N - m + 1)(N - m) D / 2] / (2 N^2);
    ESS = 1 / (1 - 4 S / D).

    Give the distances (a square matrix, :class:`RunDistances` or :class:`DistanceStats`),
    or ``lag_mean_sq`` (f_1..f_K, K >= 20) with ``n_trees``.
    """
    if lag_mean_sq is None:
        st = distance_stats(dist, pseudo=False)  # type: ignore[arg-type]  # None: refused there
        n = st.n
        if n < APPROX_MIN_TREES:
            raise ValueError(f"the approximate ESS needs at least {APPROX_MIN_TREES} trees "
                             f"in a run (RWTY fits lags 1..min(100, N - 100), at least "
                             f"{APPROX_MIN_LAGS} of them); this run has {n}")
        f = approx_lag_mean_sq(st.diag, n)
        k_max = len(f)
    else:
        if n_trees is None:
            raise ValueError("lag_mean_sq needs n_trees")
        n = int(n_trees)
        f = np.asarray(lag_mean_sq, dtype=np.float64)
        k_max = len(f)
    lags = np.arange(1, k_max + 1)
    fit = nelder_mead(_rwty_objective(lags, f), (1.0, 1.0))
    a = fit.par[0]
    passed = np.flatnonzero(f / a > APPROX_CUTOFF)
    if len(passed):
        m = int(lags[passed[0]])
        operator = "="
    else:
        m = k_max + 1
        operator = "<"
    big_d = float(f.max())
    s = 0.0
    for k in range(1, m):
        s = s + (n - k) * float(f[k - 1])
    s = s + (n - m + 1) * (n - m) * big_d / 2
    s = s / 2 / (n * n)
    # All trees at distance 0: R computes 0/0 here, and the ESS is NaN.
    ess = 1 / (1 - 4 * s / big_d) if big_d != 0 else math.nan
    return ApproxESS(ess=ess, operator=operator, cutoff=m, max_lag=k_max, asymptote=a,
                     scale=fit.par[1], fncount=fit.fncount, lag_mean_sq=f)


# ------------------------------------------------------------------------------ pseudo-ESS


@dataclass(frozen=True)
class PseudoESS:
    minimum: float
    median: float
    per_reference: np.ndarray  # the ESS of the trace to each tree of the run
    rule: str = "treess pseudoESS: coda::effectiveSize of d(T_t, T_ref), every tree as T_ref"


def pseudo_ess(dist: Distances) -> PseudoESS:
    """The ESS of the distance trace d(T_t, T_ref), t = 1..n, for every tree of the run as
    the reference, by ``coda::effectiveSize``; its minimum and median (treess)."""
    n = dist.n if isinstance(dist, (RunDistances, DistanceStats)) else np.shape(dist)[0]
    if n < 2:
        raise ValueError("the pseudo-ESS needs at least 2 trees in a run")
    out = distance_stats(dist, pseudo=True).pseudo
    if out is None:
        raise ValueError("these distance statistics were gathered without the pseudo-ESS")
    return PseudoESS(minimum=float(out.min()), median=float(np.median(out)), per_reference=out)


# ------------------------------------------------------------------- Frechet correlation ESS


@dataclass(frozen=True)
class FrechetESS:
    ess: float
    tau: float
    lags_used: int  # rho_1..rho_lags_used were computed (up to the first negative pair)
    autocorrelation: np.ndarray  # rho_k, k = 1..lags_used
    rule: str = ("treess frechetCorrelationESS (lower bound, min.nsamples 5): Geyer initial "
                 "positive sequence over pairs of rho_k")


def frechet_ess(dist: Distances) -> FrechetESS:
    """treess' Fréchet correlation ESS of one run.

    For each lag k = 1, 2, ...: V1 and V2 are the Fréchet variances (half the mean squared
    distance over pairs) of the trees after the first k and of those before the last k;
    rho_k = (V1 + V2 - mean d(T_t, T_{t+k})^2) / (2 sqrt(V1 V2)), 1 when V1 or V2 is 0.
    The pairs P_i = rho_{2i-1} + rho_{2i} are formed until the first negative one (or lag
    n - 6), then made non-increasing (P_i = min(P_{i-1}, P_i)); tau = 1 + 2 (P_1 + ... +
    P_{j-1}) over all pairs but the last one formed (1 when P_1 <= 0), ESS = n / tau. A run
    whose trees are all equal has ESS 1.

    The pair sums over a prefix or a suffix of the run come from running sums of the row
    and column sums of the upper triangle, so the whole is O(n^2), not the O(n^3) of
    recomputing each submatrix.
    """
    n = dist.n if isinstance(dist, (RunDistances, DistanceStats)) else np.shape(dist)[0]
    n_lags = n - FRECHET_MIN_PAIRS - 1
    if n_lags < 2:
        raise ValueError(f"the Fréchet correlation ESS needs at least "
                         f"{FRECHET_MIN_PAIRS + 3} trees in a run; this run has {n}")
    st = distance_stats(dist, pseudo=False)
    diag, row_upper, col_upper = st.diag, st.row_upper, st.col_upper
    if row_upper.sum() == 0:
        return FrechetESS(ess=1.0, tau=float(n), lags_used=0, autocorrelation=np.ones(0))
    # suffix[k]: pair sum within trees k..n-1; prefix[m]: pair sum within trees 0..m-1.
    suffix = np.concatenate([np.cumsum(row_upper[::-1])[::-1], [0]])
    prefix = np.concatenate([[0], np.cumsum(col_upper)])
    rho = []
    pairs = []
    for k in range(1, n_lags + 1):
        m = n - k
        c = m * (m - 1) / 2
        v1 = float(2 * suffix[k]) / c / 4
        v2 = float(2 * prefix[m]) / c / 4
        d12 = float(diag[k]) / m
        if v1 == 0 or v2 == 0:
            rho.append(1.0)
        else:
            rho.append(((v1 + v2 - d12) / 2) / math.sqrt(v1 * v2))
        if k % 2 == 0:
            pairs.append(rho[-2] + rho[-1])
            if pairs[-1] < 0:
                break
    for i in range(1, len(pairs)):
        pairs[i] = min(pairs[i - 1], pairs[i])
    tau = 1.0
    if pairs and pairs[0] > 0:
        tau = 1 + 2 * math.fsum(pairs[:-1])
    return FrechetESS(ess=n / tau, tau=tau, lags_used=len(rho),
                      autocorrelation=np.asarray(rho))


# ------------------------------------------------------------------------------ Tracer ESS


TRACER_MAX_LAG = 2000


def tracer_ess(traces: ArrayLike) -> np.ndarray:
    """Tracer's ESS of each row of ``traces`` (n samples each).

    gamma_k = sum_{t < n-k} (x_t - mean)(x_{t+k} - mean) / (n - k) for k = 0, 1, ... below
    min(n - 1, 2000); from k = 2 on, at every even k the pair gamma_{k-1} + gamma_k is added
    twice to the variance sum while it is positive, and the first pair that is not ends the
    sum. ESS = n gamma_0 / (gamma_0 + 2 sum of pairs). A constant trace has no defined ESS
    (NaN here, as Tracer prints it).

    For whole-number traces (a split's 0/1 presence) every gamma_k is exact up to its final
    rounding: the lagged products come from an FFT rounded to the integers they are, and
    the centring is done in integers, so the sign of each pair, which decides where the sum
    stops, is exact.
    """
    x = np.atleast_2d(np.asarray(traces))
    rows, n = x.shape
    out = np.full(rows, np.nan)
    if n < 2 or rows == 0:
        return out
    max_lag = min(n - 1, TRACER_MAX_LAG)
    size = 1 << int(math.ceil(math.log2(n + max_lag)))
    top = float(np.abs(x).max())
    whole = np.issubdtype(x.dtype, np.integer) or np.issubdtype(x.dtype, np.bool_) or \
        bool(np.all(np.mod(x, 1) == 0))
    if whole and _exact_signs(n, top):
        xi = x.astype(np.int64)
        spectrum = np.fft.rfft(xi.astype(np.float64), size, axis=1)
        s = np.rint(np.fft.irfft(spectrum * np.conj(spectrum), size, axis=1)[:, :max_lag])
        return tracer_ess_from_sums(s.astype(np.int64), xi.sum(axis=1),
                                    xi[:, : max_lag - 1], xi[:, ::-1][:, : max_lag - 1], n,
                                    top)
    lags = np.arange(max_lag)
    xf = x.astype(np.float64)
    xc = xf - xf.mean(axis=1, keepdims=True)
    spectrum = np.fft.rfft(xc, size, axis=1)
    acov = np.fft.irfft(spectrum * np.conj(spectrum), size, axis=1)[:, :max_lag]
    gamma = acov / (n - lags)[None, :]
    return _tracer_finish(gamma, np.sign(gamma[:, 1:-1:2] + gamma[:, 2::2]), n)


def _exact_signs(n: int, top: float) -> bool:
    # The integer pair signs reach n^4 max^2: they must stay within int64.
    return float(n) ** 4 * max(top, 1.0) ** 2 < 2.0 ** 62


def tracer_ess_from_sums(s: np.ndarray, total: np.ndarray, first: np.ndarray,
                         last: np.ndarray, n: int, top: float = 1.0) -> np.ndarray:
    """Tracer's ESS of whole-number traces of n samples (values within +-``top``) from their
    sums: ``s`` (rows, max_lag) int64 the lagged products sum_t x_t x_{t+k} for k below
    max_lag = min(n - 1, 2000), ``total`` each trace's sum, ``first`` and ``last`` its
    first and last max_lag - 1 values (``last`` from the end backwards). Equal to
    :func:`tracer_ess` of the traces while ``n^4 top^2 < 2^62``; beyond, where
    :func:`tracer_ess` centres in floating point, the signs of the pairs are taken from the
    autocovariances rounded once from these exact sums (a last-bit difference at most,
    and in where the sum stops only for a pair within rounding of zero)."""
    rows, max_lag = s.shape
    out = np.full(rows, np.nan)
    if n < 2 or rows == 0:
        return out
    lags = np.arange(max_lag)
    zero = np.zeros((rows, 1), dtype=np.int64)
    head = np.concatenate([zero, np.cumsum(first, axis=1)], axis=1)
    tail = np.concatenate([zero, np.cumsum(last, axis=1)], axis=1)
    total = np.asarray(total, dtype=np.int64)
    a_k = total[:, None] - tail
    b_k = total[:, None] - head
    # n^2 times the centred lagged sum, in integers (exact while n^3 max^2 < 2^63)
    scaled = n * n * s - n * total[:, None] * (a_k + b_k) + (n - lags)[None, :] * \
        (total * total)[:, None]
    gamma = scaled / (float(n) * n) / (n - lags)[None, :]
    if not _exact_signs(n, top):
        sign = np.sign(gamma[:, 1:-1:2] + gamma[:, 2::2])
    elif max_lag > 2:
        sign = np.sign(scaled[:, 1:-1:2] * (n - lags[2::2])[None, :] +
                       scaled[:, 2::2] * (n - lags[1:-1:2])[None, :])
    else:
        sign = np.zeros((rows, 0))
    return _tracer_finish(gamma, sign, n)


def _tracer_finish(gamma: np.ndarray, sign: np.ndarray, n: int) -> np.ndarray:
    """ESS = n gamma_0 / (gamma_0 + 2 sum of the pairs before the first non-positive)."""
    rows = gamma.shape[0]
    out = np.full(rows, np.nan)
    pairs = gamma[:, 1:-1:2] + gamma[:, 2::2]  # (gamma_1 + gamma_2), (gamma_3 + gamma_4), ...
    width = pairs.shape[1]
    # Fewer than four samples leave no pair: the sum is gamma_0 alone (ESS = n).
    stop = np.where((sign <= 0).any(axis=1), np.argmax(sign <= 0, axis=1), width) if width \
        else np.zeros(rows, dtype=np.int64)
    kept = np.where(np.arange(width)[None, :] < stop[:, None], pairs, 0.0)
    var_stat = gamma[:, 0] + 2.0 * kept.sum(axis=1)
    ok = gamma[:, 0] > 0
    out[ok] = gamma[ok, 0] * n / var_stat[ok]
    return out

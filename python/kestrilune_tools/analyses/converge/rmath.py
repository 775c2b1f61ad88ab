"""Numerical routines that must behave as R's do, because published diagnostics are defined by
what R computes with them.

* :func:`nelder_mead` follows ``optim(method = "Nelder-Mead")`` with its default settings step
  by step (same simplex, same moves, same stopping test), so that a fit stops where R's stops.
  RWTY's approximate topological ESS takes its cutoff from such a fit, and a tighter optimiser
  finds a different cutoff on real data.
* :func:`ar_spectrum0` is the spectral density at frequency zero of an autoregressive model
  fitted by Yule-Walker with the order chosen by AIC, as ``coda::spectrum0.ar`` computes it
  (``ar.yw`` and its Levinson-Durbin recursion); :func:`coda_ess` is
  ``coda::effectiveSize`` of one trace. Both work on a batch of traces (the rows of a
  matrix) at once, since the pseudo-ESS asks for one trace per reference tree.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable, Optional, Sequence, Tuple

import numpy as np

__all__ = ["NelderMeadResult", "nelder_mead", "ar_order_max", "ar_spectrum0", "coda_ess",
           "R_SQRT_EPS"]

# sqrt(.Machine$double.eps): R's default relative tolerance of optim and of all.equal.
R_SQRT_EPS = math.sqrt(np.finfo(np.float64).eps)
_BIG = 1.0e35  # what optim puts in place of a non-finite function value


@dataclass(frozen=True)
class NelderMeadResult:
    par: Tuple[float, ...]
    value: float
    fncount: int
    convergence: int  # 0 converged, 1 iteration limit, 10 degenerate simplex (as optim)


def nelder_mead(fn: Callable[[Sequence[float]], float], start: Sequence[float], *,
                reltol: float = R_SQRT_EPS, abstol: float = -math.inf, alpha: float = 1.0,
                beta: float = 0.5, gamma: float = 2.0, maxit: int = 500) -> NelderMeadResult:
    """Minimise ``fn`` from ``start`` exactly as R's ``optim(start, fn)`` does by default.

    The simplex is kept as R keeps it: vertex 0 is the start, vertex j moves coordinate j-1
    by a step of a tenth of the largest start coordinate; each iteration reflects the worst
    vertex through the centroid of the others, then extends, contracts or shrinks. The loop
    stops when the spread of function values falls below ``reltol * (|f(start)| + reltol)``
    or after ``maxit`` function evaluations. Ties and the order of every comparison follow
    R, since a different choice on a tie sends the simplex elsewhere.
    """
    n = len(start)
    b = [float(x) for x in start]
    if maxit <= 0:
        return NelderMeadResult(tuple(b), float(fn(b)), 0, 0)
    # p[j] is vertex j, value[j] its function value; index n + 1 is the centroid slot.
    f = float(fn(b))
    if not math.isfinite(f):
        raise ValueError("function cannot be evaluated at initial parameters")
    funcount = 1
    convtol = reltol * (abs(f) + reltol)
    p = [list(b) for _ in range(n + 2)]
    value = [0.0] * (n + 2)
    value[0] = f
    step = 0.0
    for x in b:
        step = max(step, 0.1 * abs(x))
    if step == 0.0:
        step = 0.1
    size = 0.0
    for j in range(1, n + 1):
        p[j] = list(b)
        trystep = step
        while p[j][j - 1] == b[j - 1]:
            p[j][j - 1] = b[j - 1] + trystep
            trystep *= 10
        size += trystep
    oldsize = size
    low = 0
    calcvert = True
    fail = 0

    def evaluate(x: Sequence[float]) -> float:
        nonlocal funcount
        v = float(fn(x))
        funcount += 1
        return v if math.isfinite(v) else _BIG

    while True:
        if calcvert:
            for j in range(n + 1):
                if j != low:
                    value[j] = evaluate(p[j])
            calcvert = False
        vl = value[low]
        vh = vl
        high = low
        for j in range(n + 1):
            if j != low:
                fj = value[j]
                if fj < vl:
                    low, vl = j, fj
                if fj > vh:
                    high, vh = j, fj
        if vh <= vl + convtol or vl <= abstol:
            break
        centroid = [0.0] * n
        for i in range(n):
            temp = -p[high][i]
            for j in range(n + 1):
                temp += p[j][i]
            centroid[i] = temp / n
        p[n + 1] = centroid
        trial = [(1.0 + alpha) * centroid[i] - alpha * p[high][i] for i in range(n)]
        vr = evaluate(trial)
        if vr < vl:
            value[n + 1] = vr
            extended = [gamma * trial[i] + (1 - gamma) * centroid[i] for i in range(n)]
            p[n + 1] = trial
            fe = evaluate(extended)
            if fe < vr:
                p[high], value[high] = extended, fe
            else:
                p[high], value[high] = list(trial), vr
        else:
            if vr < vh:
                p[high], value[high] = list(trial), vr
            contracted = [(1 - beta) * p[high][i] + beta * centroid[i] for i in range(n)]
            fc = evaluate(contracted)
            if fc < value[high]:
                p[high], value[high] = contracted, fc
            elif vr >= vh:
                calcvert = True
                size = 0.0
                for j in range(n + 1):
                    if j != low:
                        p[j] = [beta * (p[j][i] - p[low][i]) + p[low][i] for i in range(n)]
                        size += sum(abs(p[j][i] - p[low][i]) for i in range(n))
                if size < oldsize:
                    oldsize = size
                else:
                    fail = 10
                    break
        if funcount > maxit:
            break
    if funcount > maxit:
        fail = 1
    return NelderMeadResult(tuple(p[low]), value[low], funcount, fail)


_EXACT = float(2 ** 53)  # float64 sums of whole numbers below this are exact in any order
_CHUNK = 16  # rows whose lagged products are taken together: a chunk stays in cache
# Lagged products (rows, max_lag + 1) and row sums (rows,) of whole-number rows, as int64.
_Sums = Tuple[np.ndarray, np.ndarray]


def _lagged_products(xf: np.ndarray, max_lag: int) -> np.ndarray:
    """(rows, max_lag + 1): sum over t of x_t x_{t+k}, a cache-sized chunk of rows at a time."""
    rows, n = xf.shape
    out = np.empty((rows, max_lag + 1))
    for start in range(0, rows, _CHUNK):
        c = xf[start:start + _CHUNK]
        for k in range(max_lag + 1):
            out[start:start + _CHUNK, k] = np.einsum("ij,ij->i", c[:, : n - k], c[:, k:])
    return out


def _moments(x: np.ndarray, max_lag: int, sums: Optional[_Sums] = None
             ) -> Tuple[np.ndarray, np.ndarray]:
    """Autocovariances (rows, max_lag + 1) and sample variances (rows,) of each row.

    The autocovariance at lag k is sum over t of (x_t - mean)(x_{t+k} - mean), divided by
    n, as R's ``acf(type = "covariance")`` has it. For whole numbers it is computed exactly
    and rounded once: with S_k the sum of x_t x_{t+k}, T the sum of all values and A_k, B_k
    those of the first and last n - k values, n^2 times the centred sum is the integer
    n^2 S_k - n T (A_k + B_k) + (n - k) T^2. The float64 sums of whole numbers below 2^53
    are exact in any order, so the result depends neither on the CPU nor on the order of
    summation. ``sums``: (S, T) already taken (int64, by the native RunSums).
    """
    rows, n = x.shape
    integer = np.issubdtype(x.dtype, np.integer)
    top = float(np.abs(x).max()) if rows else 0.0
    if integer and (sums is not None or top * top * n < _EXACT):
        if sums is not None:
            s, total = sums
        else:
            xf = x.astype(np.float64)
            s = _lagged_products(xf, max_lag).astype(np.int64)
            total = xf.sum(axis=1).astype(np.int64)  # whole numbers below 2^53: exact
        zero = np.zeros((rows, 1), dtype=np.int64)
        head = np.concatenate([zero, np.cumsum(x[:, :max_lag], axis=1, dtype=np.int64)],
                              axis=1)
        tail = np.concatenate([zero, np.cumsum(x[:, ::-1][:, :max_lag], axis=1,
                                               dtype=np.int64)], axis=1)
        a_k = total[:, None] - tail  # the first n - k values
        b_k = total[:, None] - head  # the last n - k values
        lags = np.arange(max_lag + 1)
        # int64 holds n^2 S_k while n^3 top^2 < 2^63; Python integers beyond that.
        exact: Any = np.int64 if (top * top) * float(n) ** 3 < 2.0 ** 62 else object
        s, total, a_k, b_k = (v.astype(exact) for v in (s, total, a_k, b_k))
        nn = exact(n) if exact is np.int64 else n
        scaled = nn * nn * s - nn * total[:, None] * (a_k + b_k) + \
            (nn - lags.astype(exact))[None, :] * (total * total)[:, None]
        centred = scaled.astype(np.float64) / float(n * n)
        return centred / n, centred[:, 0] / (n - 1)
    xf = x.astype(np.float64)
    xc = xf - xf.mean(axis=1, keepdims=True)
    return _lagged_products(xc, max_lag) / n, xf.var(axis=1, ddof=1)


def _levinson(r: np.ndarray, order_max: int) -> Tuple[np.ndarray, np.ndarray]:
    """Levinson-Durbin on rows of autocovariances ``r`` (rows, order_max + 1), in the steps
    of R's ``eureka``. Returns the innovation variance of every order 0..order_max and the
    sum of the AR coefficients of every order (order 0: 0)."""
    rows = r.shape[0]
    var = np.empty((rows, order_max + 1))
    coef_sum = np.zeros((rows, order_max + 1))
    var[:, 0] = r[:, 0]
    a = np.zeros((rows, order_max + 1))  # a[:, 1..l] as eureka's a(1..l)
    f = np.zeros((rows, order_max + 1))  # f[:, 1..l]: row l of eureka's f
    v = r[:, 0].copy()
    d = r[:, 1].copy()
    a[:, 1] = 1.0
    f[:, 1] = r[:, 1] / v
    q = f[:, 1] * r[:, 1]
    var[:, 1] = (1 - f[:, 1] * f[:, 1]) * r[:, 0]
    coef_sum[:, 1] = f[:, 1]
    for l in range(2, order_max + 1):
        a[:, l] = -d / v
        if l > 2:
            l1 = (l - 2) // 2
            l2 = l1 + 1
            for j in range(2, l2 + 1):
                hold = a[:, j].copy()
                k = l - j + 1
                a[:, j] = a[:, j] + a[:, l] * a[:, k]
                a[:, k] = a[:, k] + a[:, l] * hold
            if 2 * l1 != l - 2:
                a[:, l2 + 1] = a[:, l2 + 1] * (1.0 + a[:, l])
        v = v + a[:, l] * d
        fll = (r[:, l] - q) / v
        f[:, l] = fll
        for j in range(1, l):  # row l from row l - 1, in place: f[:, j] needs only itself
            f[:, j] = f[:, j] + fll * a[:, l - j + 1]
        var[:, l] = var[:, l - 1] * (1 - fll * fll)
        coef_sum[:, l] = f[:, 1:l + 1].sum(axis=1)
        if l == order_max:
            break
        d = np.zeros(rows)
        q = np.zeros(rows)
        for i in range(1, l + 1):
            k = l - i + 2
            d = d + a[:, i] * r[:, k - 1]
            q = q + f[:, i] * r[:, k - 1]
    return var, coef_sum


def _trend_free(x: np.ndarray, integer: bool = False) -> np.ndarray:
    """True for rows that are a straight line in t (constant included) within R's
    ``all.equal`` tolerance: coda gives such a trace a spectral density of 0.

    Integer rows are straight exactly when every second difference is 0 (one unit off a
    line already leaves a residual far above the tolerance), which is cheaper and exact.
    """
    if integer:
        return ~np.any(np.diff(x, n=2, axis=1) != 0, axis=1)
    n = x.shape[1]
    t = np.arange(1, n + 1, dtype=np.float64)
    tc = t - t.mean()
    xc = x - x.mean(axis=1, keepdims=True)
    slope = (xc @ tc) / (tc @ tc)
    resid = xc - slope[:, None] * tc[None, :]
    sd = np.sqrt((resid * resid).sum(axis=1) / (n - 1))
    return sd <= R_SQRT_EPS


def ar_order_max(n: int) -> int:
    """The highest AR order ``ar()`` tries for n values: min(n - 1, floor(10 log10 n))."""
    return min(n - 1, int(math.floor(10 * math.log10(n))))


def _spectrum0(x: np.ndarray, sums: Optional[_Sums] = None
               ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(spectral density at 0, AR order, sample variance) of each row."""
    x = np.atleast_2d(np.asarray(x))
    rows, n = x.shape
    if n < 2:
        raise ValueError("a trace needs at least 2 values for its spectral density")
    order_max = ar_order_max(n)
    density = np.zeros(rows)
    order = np.zeros(rows, dtype=np.int64)
    variance = np.zeros(rows)
    if np.issubdtype(x.dtype, np.integer):
        # A straight row has its extremes at its ends; only such rows need the full test.
        ends = x[:, [0, -1]].astype(np.int64)
        span = x.max(axis=1).astype(np.int64) - x.min(axis=1).astype(np.int64)
        maybe = np.flatnonzero(span == np.abs(ends[:, 1] - ends[:, 0]))
        live = np.ones(rows, dtype=bool)
        if len(maybe):
            live[maybe] = ~_trend_free(x[maybe].astype(np.int64), integer=True)
    else:
        live = ~_trend_free(x.astype(np.float64))
    if live.any():
        if live.all():
            r, var_x = _moments(x, order_max, sums)
        else:
            r, var_x = _moments(x[live], order_max,
                                None if sums is None else (sums[0][live], sums[1][live]))
        variance[live] = var_x
        var, coef_sum = _levinson(r, order_max)
        with np.errstate(invalid="ignore", divide="ignore"):
            aic = n * np.log(var) + 2.0 * np.arange(order_max + 1) + 2.0
        aic = np.where(np.isnan(aic), np.inf, aic)
        best = np.argmin(aic, axis=1)  # the lowest order on a tie, as R's which() first
        idx = np.arange(len(best))
        var_pred = var[idx, best] * n / (n - (best + 1))
        density[live] = var_pred / (1.0 - coef_sum[idx, best]) ** 2
        order[live] = best
    return density, order, variance


def ar_spectrum0(x: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Spectral density at frequency 0 and AR order of each row of ``x`` (or of one trace),
    as ``coda::spectrum0.ar``: an AR model fitted by Yule-Walker, order up to
    min(n - 1, floor(10 log10 n)) chosen by AIC; the density is var.pred / (1 - sum(ar))^2,
    and 0 for a trace that is a straight line."""
    density, order, _ = _spectrum0(x)
    return density, order


def coda_ess(x: np.ndarray, sums: Optional[_Sums] = None) -> np.ndarray:
    """``coda::effectiveSize`` of each row of ``x``: n var(x) / spectrum0.ar(x), 0 when the
    spectral density is 0. ``sums``: for whole-number rows, the lagged products (rows,
    ar_order_max(n) + 1) and the row sums, when they were already taken."""
    x = np.atleast_2d(np.asarray(x))
    n = x.shape[1]
    density, _, var = _spectrum0(x, sums)
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(density == 0, 0.0, n * var / density)

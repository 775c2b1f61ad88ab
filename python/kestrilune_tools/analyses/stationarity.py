"""A suggested burn-in for each run, by the Heidelberger-Welch stationarity test as
``coda::heidel.diag`` applies it.

    >>> s = suggested_burnin(log)              # one run's parameter log
    >>> s.samples, s.generation, s.column      # drop this many; the column that decided
    >>> s.failed                               # columns never stationary by this test

For each column of the whole run (burn-in included), coda tries to discard the first 0%,
10%, 20%, 30% and 40% of the samples, in that order, and stops at the first window whose
Cramer-von Mises statistic of the scaled partial sums (the spectral density at 0 taken
once, from the second half of the run, by ``spectrum0.ar``) has p > 0.05. The suggestion
for the run is the largest such start over its columns. A column that fails at 40% is
named; a constant column (density 0) or one with NaN or infinite values is left out
(coda reports a constant column as a failure).

Reference: Heidelberger P. & Welch P.D. (1983) Simulation run length control in the presence
of an initial transient. Operations Research 31:1109-1144.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import List, Optional, Tuple

import numpy as np

from ..reading import ParameterLog
from .converge.rmath import ar_spectrum0

__all__ = ["BurninSuggestion", "heidelberger_welch", "suggested_burnin", "RULE", "MIN_SAMPLES"]

RULE = ("Heidelberger-Welch stationarity test as coda::heidel.diag (p > 0.05): the first "
        "of 0, 10, 20, 30, 40% of the samples dropped after which a column's trace passes, "
        "the largest over the columns")

_TS_EPS = 1e-5  # R's getOption("ts.eps"): a window start this close to a sample is on it
_PVALUE = 0.05
MIN_SAMPLES = 20  # fewer and the windows tried hold a handful of samples each


@dataclass(frozen=True)
class BurninSuggestion:
    samples: Optional[int]  # None: some column fails at every start tried
    generation: Optional[int]  # the step of the first sample kept
    column: Optional[str]  # the column whose test set the suggestion
    failed: List[str] = field(default_factory=list)
    skipped: List[str] = field(default_factory=list)  # constant or not finite: untested
    starts: List[Optional[int]] = field(default_factory=list)  # per column; None: failed
    pvalues: List[float] = field(default_factory=list)  # per column, of its last window


def _first_row(s: float, n: int) -> int:
    """The 0-based first row of ``window(x, start = s)`` of an mcmc object with times 1..n."""
    t = round(s)
    if 1 <= t <= n and abs(t - s) <= abs(s) * _TS_EPS:
        return t - 1
    return int(math.ceil(s)) - 1


def _starts(n: int) -> List[int]:
    """0-based first rows tried: ``seq(from = 1, to = n / 2, by = n / 10)``."""
    to, by = n / 2, n / 10
    k = int((to - 1) / by + 1e-10)
    return [_first_row(min(1 + i * by, to), n) for i in range(k + 1)]


def _bessel_k(nu: float, u: float) -> float:
    """K_nu(u) for u > 0: the integral of exp(-u cosh t) cosh(nu t) over t > 0, by the
    trapezoid rule, which for this integrand is exact to rounding with a step of 0.1."""
    top = math.acosh(1.0 + 750.0 / u)
    t = np.arange(0.0, top + 0.1, 0.1)
    f = np.exp(-u * np.cosh(t)) * np.cosh(nu * t)
    return float(0.1 * (f.sum() - 0.5 * f[0]))


def pcramer(q: float) -> float:
    """The Cramer-von Mises distribution function, as coda's ``pcramer`` (eps = 1e-5)."""
    if not q > 0:
        return 0.0 if q == 0 else math.nan
    if math.isinf(q):
        return math.nan
    total = 0.0
    for k in range(4):
        z = (math.gamma(k + 0.5) * math.sqrt(4 * k + 1)
             / (math.gamma(k + 1) * math.pi ** 1.5 * math.sqrt(q)))
        u = (4 * k + 1) ** 2 / (16 * q)
        if u <= -math.log(1e-5):
            total += z * math.exp(-u) * _bessel_k(0.25, u)
    return total


def heidelberger_welch(x: np.ndarray) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(first row kept or -1, p-value of the last window tried, constant) for each row of
    ``x`` (one trace a row), as ``coda::heidel.diag``'s stationarity test."""
    x = np.atleast_2d(np.asarray(x, dtype=np.float64))
    rows, n = x.shape
    start = np.full(rows, -1, dtype=np.int64)
    pvalue = np.full(rows, math.nan)
    if n < MIN_SAMPLES:
        return start, pvalue, np.zeros(rows, dtype=bool)
    s0, _ = ar_spectrum0(x[:, _first_row(n / 2, n):])
    constant = s0 == 0
    for j in np.flatnonzero(~constant):
        for first in _starts(n):
            y = x[j, first:]
            m = len(y)
            b = np.cumsum(y) - y.mean() * np.arange(1, m + 1)
            stat = float(np.sum(b * b / (m * s0[j])) / m)
            p = pcramer(stat)
            pvalue[j] = 1.0 - p
            if not math.isnan(stat) and p < 1 - _PVALUE:
                start[j] = first
                break
    return start, pvalue, constant


def suggested_burnin(log: ParameterLog) -> BurninSuggestion:
    """The burn-in this rule suggests for one run (see the module docstring)."""
    if log.n_rows < MIN_SAMPLES:
        return BurninSuggestion(None, None, None)
    finite = np.isfinite(log.values).all(axis=0)
    start = np.full(len(log.names), -1, dtype=np.int64)
    pvalue = np.full(len(log.names), math.nan)
    constant = np.zeros(len(log.names), dtype=bool)
    cols = np.flatnonzero(finite)
    if len(cols):
        start[cols], pvalue[cols], constant[cols] = heidelberger_welch(
            np.ascontiguousarray(log.values[:, cols].T))
    skip = constant | ~finite
    failed = [nm for j, nm in enumerate(log.names) if start[j] < 0 and not skip[j]]
    const = [nm for j, nm in enumerate(log.names) if skip[j]]
    starts = [int(s) if s >= 0 else None for s in start]
    tested = [j for j in range(len(log.names)) if not skip[j]]
    if failed or not tested:
        return BurninSuggestion(None, None, None, failed, const, starts, list(pvalue))
    j = max(tested, key=lambda c: (int(start[c]), -c))
    rows = int(start[j])
    return BurninSuggestion(rows, int(log.steps[rows]), log.names[j], [], const, starts,
                            list(pvalue))

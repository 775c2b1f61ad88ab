"""Did every logged parameter converge? Mean, median, variance, 95% HPD, ESS and PSRF of
each column of the runs' parameter logs, per run and across runs, under named conventions.

    >>> from kestrilune_tools.reading import read_param_runs
    >>> rep = parameter_diagnostics(read_param_runs(["a.run1.p", "a.run2.p"]), burnin="25%")
    >>> p = rep.parameters["TL"]
    >>> p.sump.mean, p.sump.min_ess, p.sump.psrf         # as MrBayes sump's .pstat
    >>> [r.ess_tracer for r in p.runs], [r.ess_coda for r in p.runs]

Conventions (each number in the JSON says which it follows):

* ``mrbayes-sump``: what MrBayes 3.2.7a ``sump`` prints (its ``.pstat``): the samples of
  every run after the burn-in pooled for Mean, Variance (n - 1), Median (the sorted
  sample at n / 2) and its 95% HPD (the shortest window of round(0.95 n) sorted samples,
  searched as MrBayes searches it); ESS of each run as MrBayes' ``EstimatedSampleSize``,
  its minimum and average over runs; PSRF as its ``PotentialScaleReduction``, whose sum of
  squared deviations carries over from run to run.
* ``gelman-rubin``: the same PSRF formula with each run's own within-run variance.
* ``tracer``: per run, Tracer's ESS (as BEAST's ``loganalyser`` prints it), mean, median and
  95% HPD (the shortest of the windows of round(0.95 n) sorted samples).
* ``coda``: per run, ``coda::effectiveSize`` (n var / spectrum0.ar); across runs, the sum
  over runs, as ``effectiveSize`` of an ``mcmc.list`` gives it.

A run's burn-in is that of its trees: ``int(fraction * rows)`` samples, or a fixed count.
Beside it, each run gets the burn-in the Heidelberger-Welch stationarity test suggests
(:mod:`.stationarity`, as ``coda::heidel.diag``), never applied on its own.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from fractions import Fraction
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from ..reading import ParameterLog, parse_burnin
from ..reading.burnin import Burnin
from .converge.ess import tracer_ess
from .converge.rmath import coda_ess
from .stationarity import RULE, BurninSuggestion, suggested_burnin

__all__ = ["ParameterDiagnostics", "ParameterRun", "SumpStats", "ParameterReport",
           "parameter_diagnostics", "mrbayes_ess", "mrbayes_psrf", "mrbayes_hpd",
           "tracer_hpd", "PARAMETER_GUIDES", "CONVENTIONS"]

# Guide values from the literature, flagged beside the numbers; never a verdict.
PARAMETER_GUIDES = {
    "ess_200": (200.0, "ESS below 200 (Tracer's and RWTY's usual guide)"),
    "ess_625": (625.0, "ESS below 625 (Fabreti & Hoehna 2022)"),
    "psrf_1.01": (1.01, "PSRF above 1.01"),
}

CONVENTIONS = {
    "mrbayes-sump": "MrBayes 3.2.7a sump (.pstat): pooled samples after each run's burn-in; "
                    "Variance with n - 1; Median = sorted[n/2]; HPD = MrBayes' shortest "
                    "window of (int)(0.95 n + 0.5) samples; ESS per run by "
                    "EstimatedSampleSize (lags below min(n - 1, 2000), pairs of "
                    "autocovariances while positive); PSRF by PotentialScaleReduction "
                    "(its within-run sum of squares carries over from run to run)",
    "gelman-rubin": "sqrt((n - 1) / n + (m + 1) / m * B / W), B the variance of the run "
                    "means, W the mean of the runs' own variances, n the mean run length",
    "tracer": "Tracer / BEAST loganalyser: ESS from autocovariances summed in positive pairs "
              "(lags below min(n - 1, 2000)); median and 95% HPD as Tracer computes them; "
              "combined: the runs after their burn-ins joined end to end and analysed as one "
              "trace, as Tracer's Combined trace",
    "coda": "coda::effectiveSize: n var(x) / spectrum0.ar(x) (the spectral density at 0) "
            "per run; across runs the sum over runs, as for an mcmc.list",
    "heidelberger-welch": RULE + "; p-value of the last window tried, over the whole run",
}


@dataclass(frozen=True)
class ParameterRun:
    """One parameter in one run, after its burn-in."""

    n: int
    mean: float
    median: float  # Tracer's
    variance: float  # n - 1
    hpd_lower: float  # Tracer's 95% HPD
    hpd_upper: float
    ess_mrbayes: float
    ess_tracer: float
    ess_coda: float


@dataclass(frozen=True)
class SumpStats:
    """One parameter as MrBayes' sump prints it (the runs pooled)."""

    mean: float
    variance: float
    lower: float
    upper: float
    median: float
    min_ess: float
    avg_ess: float
    psrf: float  # NaN with one run, or where MrBayes prints NA


@dataclass(frozen=True)
class ParameterDiagnostics:
    name: str
    runs: List[ParameterRun]
    sump: SumpStats
    psrf_gelman_rubin: float
    ess_coda_total: float
    flags: List[str]  # keys of PARAMETER_GUIDES that this parameter meets
    # Tracer's "Combined" trace: the runs' samples after their burn-ins, one after another,
    # analysed as one trace (its ESS, mean, median, HPD). None with one run.
    tracer_combined: Optional[ParameterRun] = None

    @property
    def min_ess(self) -> float:
        """The smallest Tracer ESS among the runs (NaN: a constant column)."""
        vals = [r.ess_tracer for r in self.runs if not math.isnan(r.ess_tracer)]
        return min(vals) if vals else math.nan


@dataclass(frozen=True)
class ParameterReport:
    paths: List[str]
    formats: List[str]
    rows: List[int]  # samples in each file
    burnin: List[int]  # samples dropped from each
    step_name: str
    parameters: Dict[str, ParameterDiagnostics]
    notes: List[str] = field(default_factory=list)
    suggested: List[BurninSuggestion] = field(default_factory=list)  # per run

    def to_dict(self) -> Dict[str, Any]:
        """Every number at full double precision, with its convention; NaN (a constant
        column's ESS, PSRF with one run) as None, so the result is plain JSON."""
        return _plain({
            "conventions": CONVENTIONS,
            "guides": {k: {"value": v, "meaning": t} for k, (v, t) in PARAMETER_GUIDES.items()},
            "runs": [{"path": p, "format": f, "samples": n, "burnin": b, "used": n - b}
                     for p, f, n, b in zip(self.paths, self.formats, self.rows, self.burnin)],
            "step": self.step_name,
            "parameters": [{
                "name": d.name,
                "flags": d.flags,
                "mrbayes-sump": {"mean": d.sump.mean, "variance": d.sump.variance,
                                 "hpd_lower": d.sump.lower, "hpd_upper": d.sump.upper,
                                 "median": d.sump.median, "min_ess": d.sump.min_ess,
                                 "avg_ess": d.sump.avg_ess, "psrf": d.sump.psrf,
                                 "ess_per_run": [r.ess_mrbayes for r in d.runs]},
                "gelman-rubin": {"psrf": d.psrf_gelman_rubin},
                "tracer": {"per_run": [{"mean": r.mean, "median": r.median,
                                        "variance": r.variance, "hpd_lower": r.hpd_lower,
                                        "hpd_upper": r.hpd_upper, "ess": r.ess_tracer,
                                        "samples": r.n} for r in d.runs],
                           "min_ess": d.min_ess,
                           "combined": None if d.tracer_combined is None else {
                               "mean": d.tracer_combined.mean,
                               "median": d.tracer_combined.median,
                               "variance": d.tracer_combined.variance,
                               "hpd_lower": d.tracer_combined.hpd_lower,
                               "hpd_upper": d.tracer_combined.hpd_upper,
                               "ess": d.tracer_combined.ess_tracer,
                               "samples": d.tracer_combined.n}},
                "coda": {"ess_per_run": [r.ess_coda for r in d.runs],
                         "ess_total": d.ess_coda_total},
                "heidelberger-welch": {
                    "start_per_run": [s.starts[j] if s.starts else None
                                      for s in self.suggested],
                    "pvalue_per_run": [s.pvalues[j] if s.pvalues else None
                                       for s in self.suggested]},
            } for j, d in enumerate(self.parameters.values())],
            "suggested_burnin": {
                "rule": RULE,
                "per_run": [{"samples": s.samples, "generation": s.generation,
                             "column": s.column, "not_stationary": s.failed,
                             "not_tested": s.skipped} for s in self.suggested]},
            "notes": self.notes,
        })


def _plain(x: Any) -> Any:
    if isinstance(x, dict):
        return {str(k): _plain(v) for k, v in x.items()}
    if isinstance(x, (list, tuple)):
        return [_plain(v) for v in x]
    if isinstance(x, (float, np.floating)):
        return float(x) if math.isfinite(x) else None
    if isinstance(x, np.integer):
        return int(x)
    return x


# ------------------------------------------------------------------------ MrBayes' numbers


def _mean_variance(x: np.ndarray) -> Tuple[float, float]:
    """Mean and variance with n - 1 (MrBayes' MeanVariance takes them by running sums;
    NumPy's pairwise sums agree with it far below the printed digits)."""
    n = len(x)
    mean = float(np.mean(x))
    return mean, (float(np.sum((x - mean) ** 2)) / (n - 1) if n > 1 else 0.0)


def mrbayes_hpd(x: np.ndarray) -> Tuple[float, float, float]:
    """(lower, upper, median) as MrBayes' LowerUpperMedianHPD: among the sorted samples,
    windows of width = (int)(0.95 n + 0.5) are compared by vals[i + width] - vals[i] for
    i = 1 .. n - width - 1 against vals[width - 1] - vals[0]; the bounds are vals[start]
    and vals[start + width - 1]; the median is vals[n / 2]."""
    v = np.sort(np.asarray(x, dtype=np.float64))
    n = len(v)
    width = int(n * 0.95 + 0.5)
    start = 0
    interval = v[width - 1] - v[0]
    if n - width > 1:
        spans = v[1 + width: n] - v[1: n - width]  # i = 1 .. n - width - 1
        # The first strict improvement, in the order MrBayes scans, wins each time: the
        # smallest span, and among equal smallest spans the first one.
        k = int(np.argmin(spans))
        if spans[k] < interval:
            start = k + 1
    return float(v[start]), float(v[start + width - 1]), float(v[n // 2])


def mrbayes_ess(x: np.ndarray) -> float:
    """MrBayes' EstimatedSampleSize of one run's samples: autocovariances gamma_k =
    sum_t (x_t - mean)(x_{t+k} - mean) / (n - k) for k below min(n - 1, 2000); from k = 2
    on, at every even k, gamma_{k-1} + gamma_k is added twice to gamma_0 while positive,
    and the first pair that is not ends the sum; ESS = n gamma_0 / that sum (NaN for a
    constant run). The lagged sums come from one FFT rather than MrBayes' O(n * 2000)
    loops; they agree with those far below the printed digits."""
    v = np.asarray(x, dtype=np.float64)
    n = len(v)
    max_lag = min(n - 1, 2000)
    if max_lag < 1:
        return math.nan
    d = v - float(np.sum(v)) / n
    size = 1 << int(math.ceil(math.log2(n + max_lag)))
    spectrum = np.fft.rfft(d, size)
    acov = np.fft.irfft(spectrum * np.conj(spectrum), size)[:max_lag]
    gamma = acov / (n - np.arange(max_lag))
    pairs = gamma[1:max_lag - 1:2] + gamma[2:max_lag:2]  # lags (1, 2), (3, 4), ... below max
    stop = np.flatnonzero(pairs <= 0)
    kept = pairs[: stop[0]] if len(stop) else pairs
    var_stat = gamma[0] + 2.0 * float(np.sum(kept))
    if not gamma[0] > 0:
        return math.nan
    return float(gamma[0] * n / var_stat)


def mrbayes_psrf(runs: Sequence[np.ndarray], carry_over: bool = True) -> float:
    """MrBayes' PotentialScaleReduction over runs of samples (NaN where it gives -1: a run
    without samples, or no within-run variance). ``carry_over=False``: each run's own sum
    of squares (the Gelman-Rubin form)."""
    m = len(runs)
    if m < 2 or any(len(r) == 0 for r in runs):
        return math.nan
    a_b = s_b = s_w = s_wj = 0.0
    n_vals = 0
    for j, r in enumerate(runs):
        vals = np.asarray(r, dtype=np.float64)
        n_vals += len(vals)
        a_w, _ = _mean_variance(vals)
        squares = float(np.sum((vals - a_w) ** 2))
        s_wj = s_wj + squares if carry_over else squares
        s_w += s_wj / (len(vals) - 1) if len(vals) > 1 else math.nan
        old_b = a_b
        a_b += (a_w - a_b) / (j + 1)
        if j:
            s_b += (a_w - a_b) * (a_w - old_b)
    s_b /= m - 1
    s_w /= m
    weight = n_vals / m
    if not s_w > 0.0:
        return math.nan
    return math.sqrt((weight - 1.0) / weight + (m + 1) / m * (s_b / s_w))


# ------------------------------------------------------------------------- Tracer's numbers


def tracer_hpd(x: np.ndarray, proportion: float = 0.95) -> Tuple[float, float]:
    """Tracer's HPD interval: the narrowest of the windows of round(proportion n) sorted
    samples (the first of equal ones)."""
    v = np.sort(np.asarray(x, dtype=np.float64))
    n = len(v)
    diff = int(math.floor(proportion * n + 0.5))  # Java's Math.round
    if diff < 1:
        return float(v[0]), float(v[-1])
    spans = np.abs(v[diff - 1:] - v[: n - diff + 1])
    i = int(np.argmin(spans))
    return float(v[i]), float(v[i + diff - 1])


def tracer_median(x: np.ndarray) -> float:
    """Tracer's median: its quantile at 0.5, the sorted sample at ceil(n / 2) - 1 (the
    lower of the two middle ones when n is even)."""
    v = np.sort(np.asarray(x, dtype=np.float64))
    return float(v[int(math.ceil(0.5 * len(v))) - 1])


# ------------------------------------------------------------------------------- the report


_ESS_COLUMNS = 16  # columns whose ESS are taken together


def _burnin_rows(rule: Union[int, Fraction], rows: int) -> int:
    return int(rule * rows) if isinstance(rule, Fraction) else int(rule)


def parameter_diagnostics(logs: Sequence[ParameterLog], burnin: Burnin = "25%",
                          ) -> ParameterReport:
    """Every column of every run's log (the same columns in each: see
    :func:`~kestrilune_tools.reading.read_param_runs`), after each run's burn-in."""
    if not logs:
        raise ValueError("no parameter logs given")
    rule = parse_burnin(burnin)
    names = logs[0].names
    drops = []
    for log in logs:
        b = _burnin_rows(rule, log.n_rows)
        if log.n_rows - b < 2:
            raise ValueError(f"{log.path}: {log.n_rows} samples; the burn-in of {b} leaves "
                             f"{log.n_rows - b}, and every statistic needs at least 2")
        drops.append(b)
    notes: List[str] = []
    params: Dict[str, ParameterDiagnostics] = {}
    kept = [log.values[b:] for log, b in zip(logs, drops)]
    # The ESS of every column of a run at once: the AR fits of coda and Tracer's FFTs run
    # vectorised over the columns. Columns with NaN or infinite samples are left out below.
    finite = np.all([np.isfinite(k).all(axis=0) for k in kept], axis=0)
    tracer = [np.full(len(names), math.nan) for _ in kept]
    coda = [np.full(len(names), math.nan) for _ in kept]
    columns = np.flatnonzero(finite)
    for r, k in enumerate(kept):
        for start in range(0, len(columns), _ESS_COLUMNS):  # bounds the FFTs' memory
            sel = columns[start:start + _ESS_COLUMNS]
            rows = np.ascontiguousarray(k[:, sel].T)
            tracer[r][sel] = tracer_ess(rows)
            coda[r][sel] = coda_ess(rows)
    for j, name in enumerate(names):
        cols = [np.ascontiguousarray(k[:, j]) for k in kept]
        bad = sum(int(np.count_nonzero(~np.isfinite(c))) for c in cols)
        if bad:
            # Sorting, sums and autocovariances would each treat them differently: no number
            # here rather than a wrong one.
            notes.append(f"{name}: {bad} NaN or infinite value{'s' if bad > 1 else ''} "
                         "after the burn-in; its statistics are left blank")
            params[name] = _blank(name, [len(c) for c in cols])
            continue
        runs = []
        for r, c in enumerate(cols):
            mean, var = _mean_variance(c)
            lo, hi = tracer_hpd(c)
            runs.append(ParameterRun(
                n=len(c), mean=mean, median=tracer_median(c), variance=var, hpd_lower=lo,
                hpd_upper=hi, ess_mrbayes=mrbayes_ess(c), ess_tracer=float(tracer[r][j]),
                ess_coda=float(coda[r][j])))
        pooled = np.concatenate(cols)
        mean, var = _mean_variance(pooled)
        lower, upper, median = mrbayes_hpd(pooled)
        ess = [r.ess_mrbayes for r in runs]
        sump = SumpStats(mean=mean, variance=var, lower=lower, upper=upper, median=median,
                         min_ess=min(ess), avg_ess=sum(ess) / len(ess),
                         psrf=mrbayes_psrf(cols))
        gr = mrbayes_psrf(cols, carry_over=False)
        combined = None
        if len(cols) > 1:
            lo, hi = tracer_hpd(pooled)
            combined = ParameterRun(
                n=len(pooled), mean=mean, median=tracer_median(pooled), variance=var,
                hpd_lower=lo, hpd_upper=hi, ess_mrbayes=math.nan,
                ess_tracer=float(tracer_ess(pooled[None, :])[0]), ess_coda=math.nan)
        d = ParameterDiagnostics(name=name, runs=runs, sump=sump, psrf_gelman_rubin=gr,
                                 ess_coda_total=float(sum(r.ess_coda for r in runs)),
                                 flags=[], tracer_combined=combined)
        d.flags.extend(_flags(d))
        params[name] = d
    if len(logs) < 2:
        notes.append("one run: the PSRF compares runs and needs at least two")
    return ParameterReport(paths=[log.path for log in logs], formats=[log.format for log in logs],
                           rows=[log.n_rows for log in logs], burnin=drops,
                           step_name=logs[0].step_name, parameters=params, notes=notes,
                           suggested=[suggested_burnin(log) for log in logs])


def _blank(name: str, sizes: List[int]) -> ParameterDiagnostics:
    nan = math.nan
    return ParameterDiagnostics(
        name=name, runs=[ParameterRun(n, nan, nan, nan, nan, nan, nan, nan, nan)
                         for n in sizes],
        sump=SumpStats(nan, nan, nan, nan, nan, nan, nan, nan), psrf_gelman_rubin=nan,
        ess_coda_total=nan, flags=[])


def _flags(d: ParameterDiagnostics) -> List[str]:
    out = []
    ess = d.min_ess
    if not math.isnan(ess):
        if ess < PARAMETER_GUIDES["ess_200"][0]:
            out.append("ess_200")
        if ess < PARAMETER_GUIDES["ess_625"][0]:
            out.append("ess_625")
    worst = max((p for p in (d.sump.psrf, d.psrf_gelman_rubin) if not math.isnan(p)),
                default=math.nan)
    if not math.isnan(worst) and worst > PARAMETER_GUIDES["psrf_1.01"][0]:
        out.append("psrf_1.01")
    return out


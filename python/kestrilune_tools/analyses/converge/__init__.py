"""Did the runs converge? Topological convergence diagnostics of posterior tree samples.

    >>> from kestrilune_tools import diagnose
    >>> rep = diagnose(["analysis"], burnin="25%", diagn_every=10000)
    >>> rep.asdsf["mrbayes-sumt"].asdsf, rep.branch_lengths.max_psrf
    >>> [(r.label, r.approx.ess, r.pseudo.minimum, r.frechet.ess) for r in rep.runs]

* :mod:`.splitfreq`: split frequency tables, ASDSF/MSDSF under each named rule and its
  trace, PSRF of split branch lengths, sliding-window and cumulative frequencies.
* :mod:`.ess`: effective sample sizes of a run from the distances between its trees.
* :mod:`.rmath`: the pieces of R that those definitions rely on (optim's Nelder-Mead,
  coda's spectral density at zero).
* :mod:`.report`: everything at once (:func:`diagnose`), as a report that writes JSON.
"""

from . import ess, rmath, splitfreq
from .report import THRESHOLDS, ConvergenceReport, RunDiagnostics, diagnose, run_distances

__all__ = ["ess", "rmath", "splitfreq", "diagnose", "ConvergenceReport", "RunDiagnostics",
           "THRESHOLDS", "run_distances"]

"""Did the runs converge? Topological convergence diagnostics of posterior tree samples.

* :mod:`.ess`: effective sample sizes of a run from the distances between its trees.
* :mod:`.rmath`: the pieces of R that those definitions rely on (optim's Nelder-Mead,
  coda's spectral density at zero).
"""

from . import ess, rmath

__all__ = ["ess", "rmath"]

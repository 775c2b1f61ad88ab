"""Pictures of one logged parameter: its trace in every run (burn-in shaded) beside its
density after the burn-in, one colour per run.

Needs matplotlib (``pip install 'kestrilune[plot]'``).
"""

from __future__ import annotations

import re
from typing import List, Optional, Sequence

import numpy as np

from ..reading import ParameterLog
from .plots import finish, require_matplotlib, run_colors

__all__ = ["parameter_picture", "picture_names"]


def picture_names(names: Sequence[str]) -> List[str]:
    """A file name for each parameter's picture, ``param_NAME.png`` with characters other
    than letters, digits, ``.``, ``-`` and ``_`` made ``_``; distinct for distinct names."""
    out: List[str] = []
    seen = set()
    for name in names:
        stem = "param_" + (re.sub(r"[^A-Za-z0-9._-]+", "_", name).strip("_") or "column")
        candidate, k = stem, 2
        while candidate.lower() in seen:
            candidate, k = f"{stem}_{k}", k + 1
        seen.add(candidate.lower())
        out.append(candidate + ".png")
    return out


def parameter_picture(logs: Sequence[ParameterLog], column: int, burnin: Sequence[int],
                      path: str, *, labels: Sequence[str], note: str = "",
                      suggested: Sequence[Optional[int]] = ()) -> str:
    """Trace (left) and density (right) of column ``column`` of every run's log; the first
    ``burnin[r]`` samples of run ``r`` are shaded on the trace and left out of the
    density. ``suggested[r]``: the burn-in (samples) a stationarity test suggests for run
    ``r``, drawn as a dashed line in the run's colour. ``note``: what the title adds."""
    plt = require_matplotlib()
    name = logs[0].names[column]
    colors = run_colors(len(logs))
    fig, (trace, dens) = plt.subplots(1, 2, figsize=(9.0, 3.2),
                                      gridspec_kw={"width_ratios": [2.2, 1]})
    for r, log in enumerate(logs):
        x, y = log.steps, log.values[:, column]
        b = int(burnin[r])
        if b:
            trace.axvspan(x[0], x[min(b, len(x) - 1)], color="0.85", zorder=0,
                          label="burn-in" if r == 0 else None)
        trace.plot(x, y, color=colors[r], lw=0.6, alpha=0.8, label=labels[r])
        if r < len(suggested) and suggested[r] is not None and len(x):
            drawn = any(s is not None for s in suggested[:r])
            trace.axvline(x[min(int(suggested[r] or 0), len(x) - 1)], color=colors[r],
                          lw=1.0, ls="--", zorder=3,
                          label=None if drawn else "suggested burn-in (Heidelberger-Welch)")
        kept = y[b:]
        kept = kept[np.isfinite(kept)]
        if len(kept) and np.ptp(kept) > 0:
            dens.hist(kept, bins=40, density=True, histtype="step", color=colors[r], lw=1.0)
        elif len(kept):
            dens.axvline(kept[0], color=colors[r], lw=1.0)
    trace.set_xlabel(logs[0].step_name, fontsize="small")
    trace.set_ylabel(name, fontsize="small")
    trace.legend(fontsize="x-small", frameon=False, loc="best")
    dens.set_xlabel(f"{name} after the burn-in", fontsize="small")
    dens.set_ylabel("density", fontsize="small")
    for ax in (trace, dens):
        ax.tick_params(labelsize="x-small")
    fig.suptitle(f"{name}{'  (' + note + ')' if note else ''}", fontsize="small")
    return finish(fig, path)

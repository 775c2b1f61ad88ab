"""Pictures of convergence: split frequencies of one run against another, the ASDSF trace,
the change in split frequencies between windows (RWTY's ACSF), and the tree-space map with
one colour per run (drawn by :func:`kestrilune_tools.pictures.plots.treespace`).

Needs matplotlib (``pip install 'kestrilune[plot]'``). Every function writes one picture
(format from the suffix) and returns its path.
"""

from __future__ import annotations

from typing import Optional, Sequence

import numpy as np

from .plots import _finish, require_matplotlib
from ..analyses.converge.splitfreq import ASDSFTrace, SplitFrequencies, WindowFrequencies

__all__ = ["split_scatter", "asdsf_trace", "acsf"]

_PANEL = 3.2  # inches per panel


def split_scatter(table: SplitFrequencies, path: str, *, band: float = 0.1,
                  title: Optional[str] = None) -> str:
    """Frequency of every listed split in one run against another, one panel per pair of
    runs (at most the first five runs). Points off the diagonal by more than ``band`` (the
    grey band) are splits the two runs disagree on."""
    plt = require_matplotlib()
    freq = table.frequencies
    runs = list(range(min(len(table.run_labels), 5)))
    pairs = [(a, b) for i, a in enumerate(runs) for b in runs[i + 1:]]
    if not pairs:
        raise ValueError("the split-frequency scatter compares runs and needs at least two")
    cols = min(len(pairs), 3)
    rows = (len(pairs) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(_PANEL * cols + 0.4, _PANEL * rows + 0.4),
                             squeeze=False)
    for ax, (a, b) in zip(axes.ravel(), pairs):
        x, y = freq[:, a], freq[:, b]
        ax.fill_between([0, 1], [-band, 1 - band], [band, 1 + band], color="0.9", zorder=0,
                        label=f"within {band:g} of each other")
        ax.plot([0, 1], [0, 1], color="0.5", lw=0.8, zorder=1)
        off = np.abs(x - y) > band
        ax.scatter(x[~off], y[~off], s=14, color="tab:blue", alpha=0.7, zorder=2)
        ax.scatter(x[off], y[off], s=18, color="tab:red", alpha=0.9, zorder=3)
        ax.set_xlim(-0.02, 1.02)
        ax.set_ylim(-0.02, 1.02)
        ax.set_aspect("equal")
        ax.set_xlabel(table.run_labels[a], fontsize="small")
        ax.set_ylabel(table.run_labels[b], fontsize="small")
        ax.tick_params(labelsize="x-small")
        ax.legend(loc="lower right", fontsize="x-small", frameon=False)
        if off.any():
            ax.text(0.02, 0.95, f"{int(off.sum())} off by > {band:g}", color="tab:red",
                    fontsize="x-small", transform=ax.transAxes, va="top")
    for ax in axes.ravel()[len(pairs):]:
        ax.axis("off")
    fig.suptitle(title or f"Split frequencies, run against run ({len(freq)} splits with "
                          f"frequency >= {table.min_freq:g} in some run)", fontsize="small")
    return _finish(fig, path)


def asdsf_trace(trace: ASDSFTrace, path: str, *, threshold: float = 0.01,
                title: Optional[str] = None) -> str:
    """ASDSF (and MSDSF) at every diagnostic point, with the usual 0.01 guide line."""
    plt = require_matplotlib()
    fig, ax = plt.subplots(figsize=(6.5, 4.0))
    ax.plot(trace.generation, trace.asdsf, marker="o", ms=3, label="ASDSF")
    ax.plot(trace.generation, trace.msdsf, marker=".", ms=3, lw=0.8, color="0.5",
            label="MSDSF")
    ax.axhline(threshold, color="tab:red", lw=0.8, ls="--", label=f"{threshold:g}")
    ax.set_xlabel("generation" if trace.in_generations else "sample")
    ax.set_ylabel("standard deviation of split frequencies")
    ax.set_yscale("symlog", linthresh=1e-3)
    ax.legend(fontsize="small")
    ax.grid(True, alpha=0.3)
    ax.set_title(title or "Split-frequency agreement between runs (MrBayes run-time rule)",
                 fontsize="small")
    return _finish(fig, path)


def acsf(windows: Sequence[WindowFrequencies], path: str, *,
         title: Optional[str] = None) -> str:
    """Average change in split frequencies between consecutive windows of each run, sliding
    (left) and cumulative (right), as RWTY draws them."""
    plt = require_matplotlib()
    fig, (left, right) = plt.subplots(1, 2, figsize=(10.0, 4.0), sharex=True)
    for w in windows:
        x = w.start[1:] + w.window
        left.plot(x, w.acsf_sliding, lw=0.9, label=w.run_label)
        right.plot(x, w.acsf_cumulative, lw=0.9, label=w.run_label)
    left.set_title("sliding windows", fontsize="small")
    right.set_title("cumulative", fontsize="small")
    for ax in (left, right):
        ax.set_xlabel("trees after the burn-in")
        ax.grid(True, alpha=0.3)
    left.set_ylabel("average change in split frequency")
    right.legend(fontsize="x-small")
    w0 = windows[0].window if windows else 0
    fig.suptitle(title or f"Change in split frequencies between windows of {w0} trees",
                 fontsize="small")
    return _finish(fig, path)

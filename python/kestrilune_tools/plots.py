"""Pictures of a distance matrix: tree-space map, trace to a reference tree, heatmap.

Needs matplotlib (``pip install 'kestrilune[plot]'``); it is imported on first use with the
non-interactive Agg backend, so the functions work without a display. Every function writes
one PNG (or any format matplotlib knows from the file suffix) and returns the path.

``groups`` is, for every tree, the index of the run (file) it came from; ``group_labels``
names the runs; ``sample_indices`` gives each tree's position in its run.
"""

from __future__ import annotations

from typing import Optional, Sequence, Tuple

import numpy as np

__all__ = ["require_matplotlib", "pcoa", "treespace", "trace", "heatmap"]

_FIGSIZE = (7.0, 6.0)
_DPI = 150
_HEATMAP_MAX = 1500
# One sequential colormap per run: points get darker with the sample index.
_RUN_CMAPS = ("Blues", "Oranges", "Greens", "Purples", "Reds", "Greys", "YlOrBr", "PuRd")
_RUN_MARKERS = ("o", "s", "^", "D", "v", "P", "X", "*")
_RUN_COLORS = ("tab:blue", "tab:orange", "tab:green", "tab:purple", "tab:red", "tab:gray",
               "tab:olive", "tab:pink")


def require_matplotlib():
    """Import matplotlib with the Agg backend, or fail with an installation hint."""
    try:
        import matplotlib
    except ImportError:
        raise ImportError("plotting needs matplotlib: pip install 'kestrilune[plot]' "
                          "(or pip install matplotlib)") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


# ----------------------------------------------------------------------------- PCoA


def pcoa(distances: np.ndarray, k: int = 2, max_landmarks: int = 2000
         ) -> Tuple[np.ndarray, np.ndarray]:
    """Classical multidimensional scaling (principal coordinates) of a distance matrix.

    Returns (coordinates (n, k), share of variance of each axis). The shares are eigenvalues
    over the sum of the positive eigenvalues: tree distances are not Euclidean, so the
    double-centred matrix also has negative eigenvalues, which carry no axis.

    Above ``max_landmarks`` trees the eigen-decomposition runs on evenly spaced landmark trees
    only and the others are placed by their distances to the landmarks (landmark MDS, de
    Silva & Tenenbaum 2004), which costs O(n·m) instead of O(n³); with no more trees than
    landmarks the result is the exact classical scaling.
    """
    d = np.asarray(distances)
    n = d.shape[0]
    if d.ndim != 2 or d.shape[1] != n:
        raise ValueError("distance matrix must be square")
    landmarks = np.arange(n) if n <= max_landmarks else np.unique(
        np.linspace(0, n - 1, max_landmarks).round().astype(np.intp))
    dl2 = d[np.ix_(landmarks, landmarks)].astype(np.float64) ** 2
    m = len(landmarks)
    # Double centring: B = -1/2 J D² J with J = I - 11ᵀ/m, done with row and column means.
    row_mean = dl2.mean(axis=1)
    b = -0.5 * (dl2 - row_mean[:, None] - row_mean[None, :] + row_mean.mean())
    evals, evecs = np.linalg.eigh(b)
    order = np.argsort(evals)[::-1]
    evals, evecs = evals[order], evecs[:, order]
    positive = evals[evals > 1e-9 * max(evals[0], 1e-300)] if evals[0] > 0 else evals[:0]
    total = positive.sum()
    k_eff = min(k, len(positive))
    coords = np.zeros((n, k))
    share = np.zeros(k)
    if k_eff == 0:  # all trees at distance 0: every point at the origin
        return coords, share
    lam = evals[:k_eff]
    vec = evecs[:, :k_eff]
    if n == m:
        coords[:, :k_eff] = vec * np.sqrt(lam)
    else:
        # Project every tree from its squared distances to the landmarks.
        delta = d[:, landmarks].astype(np.float64) ** 2
        coords[:, :k_eff] = -0.5 * (delta - row_mean[None, :]) @ (vec / np.sqrt(lam))
    share[:k_eff] = lam / total
    return coords, share


# ----------------------------------------------------------------------------- helpers


def _groups(n: int, groups, group_labels, sample_indices):
    groups = np.zeros(n, dtype=np.intp) if groups is None else np.asarray(groups, dtype=np.intp)
    n_groups = int(groups.max()) + 1 if n else 0
    if group_labels is None:
        group_labels = [f"run {g + 1}" for g in range(n_groups)]
    if sample_indices is None:
        sample_indices = np.zeros(n, dtype=np.intp)
        for g in range(n_groups):
            members = groups == g
            sample_indices[members] = np.arange(int(members.sum()))
    return groups, list(group_labels), np.asarray(sample_indices)


def _shade(values: np.ndarray) -> np.ndarray:
    """Map sample indices of one run to [0.35, 1.0]: early samples light, late ones dark."""
    if len(values) == 0:
        return values.astype(float)
    lo, hi = values.min(), values.max()
    if hi == lo:
        return np.full(len(values), 0.8)
    return 0.35 + 0.65 * (values - lo) / (hi - lo)


def _finish(fig, path: str) -> str:
    fig.tight_layout()
    fig.savefig(path, dpi=_DPI)
    import matplotlib.pyplot as plt

    plt.close(fig)
    return path


# ----------------------------------------------------------------------------- pictures


def treespace(distances: np.ndarray, path: str, *, groups: Optional[Sequence[int]] = None,
              group_labels: Optional[Sequence[str]] = None,
              sample_indices: Optional[Sequence[int]] = None, metric: str = "RF",
              title: Optional[str] = None) -> str:
    """Scatter plot of the trees on the first two principal coordinates."""
    plt = require_matplotlib()
    d = np.asarray(distances)
    n = d.shape[0]
    groups, labels, samples = _groups(n, groups, group_labels, sample_indices)
    coords, share = pcoa(d, k=2)
    fig, ax = plt.subplots(figsize=_FIGSIZE)
    # Posterior samples often repeat one topology many times, and their points coincide.
    # Each run's coinciding points are drawn once, with an area that grows with their count,
    # coloured by their mean sample index.
    cells = []  # (run, x, y, count, mean sample)
    for g in range(len(labels)):
        members = np.flatnonzero(groups == g)
        if len(members) == 0:
            continue
        key = np.round(coords[members], 9)
        uniq, inverse, counts = np.unique(key, axis=0, return_inverse=True, return_counts=True)
        inverse = inverse.reshape(-1)
        mean_sample = np.bincount(inverse, weights=samples[members]) / counts
        cells.extend((g, x, y, c, m) for (x, y), c, m in zip(uniq, counts, mean_sample))
    runs, xs, ys, counts, means = (np.array(v) for v in zip(*cells))
    sizes = float(np.clip(3000 / n, 16, 60)) * np.sqrt(counts)  # larger marks for few trees
    merged = counts.max() > 1
    if len(labels) == 1:
        sc = ax.scatter(xs, ys, c=means, cmap="viridis", s=sizes, alpha=0.75,
                        edgecolors="k", linewidths=0.3)
        fig.colorbar(sc, ax=ax, label="sample (tree index in file)")
    else:
        # One marker shape per run, so that trees of two runs at one point both show.
        for g, label in enumerate(labels):
            sel = runs == g
            cmap = plt.get_cmap(_RUN_CMAPS[g % len(_RUN_CMAPS)])
            marker = _RUN_MARKERS[g % len(_RUN_MARKERS)]
            ax.scatter(xs[sel], ys[sel], color=cmap(_shade(means[sel])), s=sizes[sel],
                       marker=marker, alpha=0.6, edgecolors="k", linewidths=0.3)
            ax.scatter([], [], color=cmap(0.75), marker=marker, s=30, label=label)
        ax.legend(title="run (darker = later sample)", loc="best", fontsize="small",
                  title_fontsize="small")
    if merged:
        # Name the counts of the few largest stacks so the area scale can be read.
        for i in np.argsort(counts)[::-1][:3]:
            if counts[i] > 1:
                ax.annotate(f"{counts[i]}", (xs[i], ys[i]), xytext=(4, 4),
                            textcoords="offset points", fontsize="x-small")
        ax.text(0.01, 0.01, "marker area grows with the number of trees at a point",
                transform=ax.transAxes, fontsize="x-small", color="0.35")
    ax.set_xlabel(f"PCo 1 ({100 * share[0]:.1f}% of variance)")
    ax.set_ylabel(f"PCo 2 ({100 * share[1]:.1f}% of variance)")
    ax.set_title(title or f"Tree space: principal coordinates of {metric} distances "
                          f"({n} trees)")
    ax.grid(True, alpha=0.3)
    return _finish(fig, path)


def trace(distances: np.ndarray, path: str, reference: int, *,
          groups: Optional[Sequence[int]] = None,
          group_labels: Optional[Sequence[str]] = None,
          sample_indices: Optional[Sequence[int]] = None, metric: str = "RF",
          reference_label: Optional[str] = None, title: Optional[str] = None) -> str:
    """Each tree's distance to tree ``reference`` against its sample index, one line per run."""
    plt = require_matplotlib()
    d = np.asarray(distances)
    n = d.shape[0]
    groups, labels, samples = _groups(n, groups, group_labels, sample_indices)
    row = d[reference].astype(np.float64)
    fig, ax = plt.subplots(figsize=_FIGSIZE)
    for g, label in enumerate(labels):
        members = np.flatnonzero(groups == g)
        ax.plot(samples[members], row[members], lw=0.8, alpha=0.85,
                color=_RUN_COLORS[g % len(_RUN_COLORS)], label=label)
    ref = reference_label or f"tree {reference}"
    ax.set_xlabel("sample (tree index in file, burn-in included)")
    ax.set_ylabel(f"{metric} distance to reference tree")
    ax.set_title(title or f"{metric} distance to reference tree {ref}")
    if len(labels) > 1:
        ax.legend(loc="best", fontsize="small")
    ax.grid(True, alpha=0.3)
    return _finish(fig, path)


def heatmap(distances: np.ndarray, path: str, *, names: Optional[Sequence[str]] = None,
            groups: Optional[Sequence[int]] = None,
            group_labels: Optional[Sequence[str]] = None, metric: str = "RF",
            title: Optional[str] = None) -> str:
    """The matrix as an image, with lines between runs and names for small sets."""
    plt = require_matplotlib()
    d = np.asarray(distances)
    n = d.shape[0]
    groups, labels, _ = _groups(n, groups, group_labels, None)
    fig, ax = plt.subplots(figsize=_FIGSIZE)
    # A figure has about a thousand pixels across; a larger matrix is shown every step-th
    # row and column so that matplotlib does not resample hundreds of megabytes.
    step = max(1, -(-n // _HEATMAP_MAX))
    im = ax.imshow(d[::step, ::step], cmap="magma_r", interpolation="nearest",
                   extent=(-0.5, n - 0.5, n - 0.5, -0.5))
    fig.colorbar(im, ax=ax, label=f"{metric} distance", shrink=0.85)
    bounds = np.flatnonzero(np.diff(groups)) + 0.5
    for b in bounds:
        ax.axhline(b, color="tab:cyan", lw=1)
        ax.axvline(b, color="tab:cyan", lw=1)
    if names is not None and n <= 40:
        ax.set_xticks(range(n))
        ax.set_xticklabels(names, rotation=90, fontsize="x-small")
        ax.set_yticks(range(n))
        ax.set_yticklabels(names, fontsize="x-small")
        ax.set_xlabel("tree")
        ax.set_ylabel("tree")
    else:
        ax.set_xlabel("tree (index in matrix)")
        ax.set_ylabel("tree (index in matrix)")
    runs = f"; runs: {', '.join(labels)}" if len(labels) > 1 else ""
    ax.set_title(title or f"{metric} distance matrix ({n} trees{runs})", fontsize="medium")
    return _finish(fig, path)

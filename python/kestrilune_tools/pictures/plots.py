"""Pictures of a distance matrix: tree-space map, trace to a reference tree, heatmap.

Needs matplotlib (``pip install 'kestrilune[plot]'``, which also brings scipy for the
principal coordinates); it is imported on first use with the non-interactive Agg backend, so
the functions work without a display. Every function writes one picture (PNG, or any format
matplotlib knows from the file suffix) and returns the path.

``groups`` is, for every tree, the index of the run (file) it came from; ``group_labels``
names the runs. Integer metrics (RF) get integer ticks.

Small helpers for other pictures of the package: :func:`require_matplotlib`,
:func:`run_colors`, :func:`finish`.
"""

from __future__ import annotations

from typing import Any, List, Optional, Sequence, Tuple, Union

import numpy as np

from .words import counted

__all__ = ["require_matplotlib", "pcoa", "treespace", "trace", "reference_trace", "heatmap",
           "pool", "run_colors", "finish"]

# Indices given as a list or as a NumPy array.
Ints = Union[Sequence[int], np.ndarray]

_FIGSIZE = (7.0, 6.0)
_DPI = 150
_HEATMAP_MAX = 500  # cells across a heatmap panel, fewer than its pixels; more are pooled
_RUN_MARKERS = ("o", "s", "^", "D", "v", "P", "X", "*")
_RUN_COLORS = ("tab:blue", "tab:orange", "tab:green", "tab:purple", "tab:red", "tab:brown",
               "tab:olive", "tab:pink", "tab:gray", "tab:cyan")


def require_matplotlib() -> Any:
    """Import matplotlib with the Agg backend, or fail with an installation hint."""
    try:
        import matplotlib
    except ImportError:
        raise ImportError("plotting needs matplotlib: pip install 'kestrilune[plot]' "
                          "(or pip install matplotlib)") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def run_colors(n: int) -> List[str]:
    """One colour per run, the same in every picture of the package."""
    return [_RUN_COLORS[g % len(_RUN_COLORS)] for g in range(n)]


def finish(fig: Any, path: str) -> str:
    """Lay out, save and close a figure."""
    fig.tight_layout()
    # A tight box takes in legends placed outside the axes, which the layout leaves out.
    fig.savefig(path, dpi=_DPI, bbox_inches="tight")
    import matplotlib.pyplot as plt

    plt.close(fig)
    return path


_finish = finish  # its name before it was public; other modules still import it


# ----------------------------------------------------------------------------- PCoA


def _top_eigen(b: np.ndarray, k: int) -> Tuple[np.ndarray, np.ndarray]:
    """The k largest eigenvalues of the symmetric b, descending, with their vectors.

    scipy's Lanczos solver (``eigsh``) finds them from a few matrix-vector products,
    which for thousands of trees is some twenty times faster than the full
    decomposition NumPy falls back to. The start vector is fixed, so a picture drawn twice
    is the same picture.
    """
    m = b.shape[0]
    try:
        from scipy.sparse.linalg import eigsh
    except ImportError:
        eigsh = None
    if eigsh is not None and m > 2 * k + 2:
        evals, evecs = eigsh(b, k=k, which="LA", v0=np.full(m, 1.0 / np.sqrt(m)), tol=1e-8)
    else:
        evals, evecs = np.linalg.eigh(b)
    order = np.argsort(evals)[::-1][:k]
    evals, evecs = evals[order], evecs[:, order]
    # An eigenvector's sign is arbitrary: make its largest component positive.
    flip = np.sign(evecs[np.abs(evecs).argmax(axis=0), np.arange(evecs.shape[1])])
    return evals, evecs * np.where(flip == 0, 1, flip)


def pcoa(distances: np.ndarray, k: int = 2, max_landmarks: int = 2000
         ) -> Tuple[np.ndarray, np.ndarray]:
    """Classical multidimensional scaling (principal coordinates) of a distance matrix.

    Returns (coordinates (n, k), share of the variance of each axis). Tree distances are
    not Euclidean, so the double-centred matrix has negative eigenvalues too, which no axis
    can carry; the share of an axis is its eigenvalue over the sum of the positive ones, so
    that the shares of all axes add up to 100% at most. (ape's ``Relative_eig`` divides by
    the sum of all eigenvalues, negative ones included, and its shares can add up to more
    than 100%.) Axes whose eigenvalue is not positive stay at 0.

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
    total = float(np.trace(b))
    coords = np.zeros((n, k))
    share = np.zeros(k)
    if total <= 0:  # all trees at distance 0: every point at the origin
        return coords, share
    evals, evecs = _top_eigen(b, min(k, m))
    keep = evals > 1e-9 * total
    lam, vec = evals[keep], evecs[:, keep]
    k_eff = len(lam)
    if k_eff == 0:
        return coords, share
    if n == m:
        coords[:, :k_eff] = vec * np.sqrt(lam)
    else:
        # Project every tree from its squared distances to the landmarks.
        delta = d[:, landmarks].astype(np.float64) ** 2
        coords[:, :k_eff] = -0.5 * (delta - row_mean[None, :]) @ (vec / np.sqrt(lam))
    positive = np.linalg.eigvalsh(b)
    share[:k_eff] = lam / float(positive[positive > 0].sum())
    return coords, share


# ----------------------------------------------------------------------------- helpers


def _groups(n: int, groups: Optional[Ints], group_labels: Optional[Sequence[str]]
            ) -> Tuple[np.ndarray, List[str]]:
    group_of = np.zeros(n, dtype=np.intp) if groups is None else np.asarray(groups, dtype=np.intp)
    n_groups = int(group_of.max()) + 1 if n else 0
    if group_labels is None:
        group_labels = [f"run {g + 1}" for g in range(n_groups)]
    return group_of, list(group_labels)


def _positions(groups: np.ndarray, n_groups: int) -> np.ndarray:
    """0, 1, 2, ... within each group."""
    pos = np.zeros(len(groups), dtype=np.int64)
    for g in range(n_groups):
        members = groups == g
        pos[members] = np.arange(int(members.sum()))
    return pos


def _integer_ticks(axis_or_colorbar: Any, integer: bool) -> None:
    if integer:
        from matplotlib.ticker import MaxNLocator

        axis_or_colorbar.set_major_locator(MaxNLocator(integer=True))


def _plain_numbers(axis: Any) -> None:
    """Generations as 250,000 rather than 0.25 with a 1e6 offset."""
    from matplotlib.ticker import FuncFormatter

    axis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.0f}"))


def _is_integer(d: np.ndarray) -> bool:
    return d.dtype.kind in "iu"


# ----------------------------------------------------------------------------- tree space


def treespace(distances: np.ndarray, path: str, *, groups: Optional[Ints] = None,
              group_labels: Optional[Sequence[str]] = None,
              sample_indices: Optional[Sequence[int]] = None,
              generations: Optional[Sequence[int]] = None, metric: str = "RF",
              title: Optional[str] = None) -> str:
    """Scatter plot of the trees on the first two principal coordinates.

    Trees with the same coordinates (posterior samples repeat topologies) are one marker
    whose area grows with their number, keyed in the legend. Several runs: one colour and
    one marker shape per run. One run: the colour is the earliest generation (or sample,
    when the names carry no generation) of the trees at the point, so that where the chain
    started and where it went later can be told apart.
    """
    plt = require_matplotlib()
    d = np.asarray(distances)
    n = d.shape[0]
    groups, labels = _groups(n, groups, group_labels)
    if generations is not None:
        when, when_label = np.asarray(generations, dtype=np.int64), "generation"
    else:
        when = (np.asarray(sample_indices, dtype=np.int64) if sample_indices is not None
                else _positions(groups, len(labels)))
        when_label = "sample"
    coords, share = pcoa(d, k=2)
    cells: List[Tuple[int, float, float, int, int]] = []  # (run, x, y, count, earliest)
    for g in range(len(labels)):
        members = np.flatnonzero(groups == g)
        if len(members) == 0:
            continue
        key = np.round(coords[members], 9)
        uniq, inverse, counts = np.unique(key, axis=0, return_inverse=True, return_counts=True)
        first = np.full(len(uniq), np.iinfo(np.int64).max)
        np.minimum.at(first, inverse.reshape(-1), when[members])
        cells.extend((g, x, y, c, f) for (x, y), c, f in zip(uniq, counts, first))
    runs, xs, ys, counts, firsts = (np.array(v) for v in zip(*cells))
    unit = float(np.clip(3000 / n, 12, 50))  # marker area of one tree; larger for few trees
    # Area grows with the square root of the count, so that a point holding most of a
    # concentrated posterior does not cover the others; the key below gives the scale.
    area = unit * np.sqrt(counts)
    fig, ax = plt.subplots(figsize=(8.5, 6.5))
    order = np.argsort(-counts, kind="stable")  # big stacks below, single trees on top
    if len(labels) == 1:
        sc = ax.scatter(xs[order], ys[order], c=firsts[order], cmap="viridis", s=area[order],
                        alpha=0.8, edgecolors="k", linewidths=0.3)
        cb = fig.colorbar(sc, ax=ax, label=f"first {when_label} at the point", pad=0.02)
        _plain_numbers(cb.ax.yaxis)
    else:
        colors = run_colors(len(labels))
        for g, label in enumerate(labels):
            sel = order[runs[order] == g]
            marker = _RUN_MARKERS[g % len(_RUN_MARKERS)]
            ax.scatter(xs[sel], ys[sel], color=colors[g], marker=marker, s=area[sel],
                       alpha=0.55, edgecolors="k", linewidths=0.3)
            ax.scatter([], [], color=colors[g], marker=marker, s=40, label=label)
        first_legend = ax.legend(title="run", loc="upper left", bbox_to_anchor=(1.01, 1.0),
                                 fontsize="small", title_fontsize="small", frameon=False)
        ax.add_artist(first_legend)
    if counts.max() > 1:
        top = int(counts.max())
        keys = sorted({1, max(1, int(round(np.sqrt(top)))), top})
        handles = [ax.scatter([], [], s=unit * np.sqrt(c), color="0.7", edgecolors="k",
                              linewidths=0.3) for c in keys]
        ax.legend(handles, [f"{c} tree{'s' if c > 1 else ''}" for c in keys],
                  title="trees at a point (marker area grows with the square root)",
                  loc="upper center", bbox_to_anchor=(0.5, -0.1), ncol=len(keys),
                  fontsize="small", title_fontsize="small", frameon=False, columnspacing=2.5)
    ax.set_xlabel(f"PCo 1 ({100 * share[0]:.1f}% of the variance)")
    ax.set_ylabel(f"PCo 2 ({100 * share[1]:.1f}% of the variance)")
    ax.set_title(title or f"Tree space: principal coordinates of {metric} distances "
                          f"({counted(n, 'tree')})", fontsize="medium")
    ax.grid(True, alpha=0.3)
    return finish(fig, path)


# ----------------------------------------------------------------------------- traces


def trace(distances: np.ndarray, path: str, reference: int, *,
          groups: Optional[Ints] = None,
          group_labels: Optional[Sequence[str]] = None,
          sample_indices: Optional[Sequence[int]] = None, metric: str = "RF",
          reference_label: Optional[str] = None, title: Optional[str] = None) -> str:
    """Each tree's distance to tree ``reference`` of the matrix, one line per run."""
    d = np.asarray(distances)
    groups_a, labels = _groups(d.shape[0], groups, group_labels)
    x = (np.asarray(sample_indices) if sample_indices is not None
         else _positions(groups_a, len(labels)))
    return reference_trace(d[reference], path, x=x, groups=groups_a, group_labels=labels,
                           metric=metric, reference_label=reference_label or
                           f"tree {reference}", title=title, integer=_is_integer(d))


def _left_out_why(used: np.ndarray, groups: np.ndarray) -> str:
    """Why the trees outside the matrix are: before a run's first used tree (burn-in),
    after it (thinned out), or both."""
    burnin = thinned = False
    for g in np.unique(groups):
        u = used[groups == g]
        first = int(np.argmax(u)) if u.any() else len(u)
        burnin |= first > 0
        thinned |= bool((~u[first:]).any())
    return ", ".join(w for w, on in (("burn-in", burnin), ("thinned out", thinned)) if on)


def reference_trace(values: np.ndarray, path: str, *, x: Union[Sequence[int], np.ndarray],
                    groups: Optional[Ints] = None,
                    group_labels: Optional[Sequence[str]] = None,
                    burnin_end: Optional[Sequence[Optional[float]]] = None,
                    used: Optional[Sequence[bool]] = None, x_label: str = "sample",
                    metric: str = "RF", reference_label: str = "", integer: bool = False,
                    title: Optional[str] = None) -> str:
    """Distance of every tree to one reference tree against its sample or generation.

    ``burnin_end[g]`` is the x of run g's first tree after the burn-in: the burn-in is
    shaded. ``used[i]`` False marks a tree outside the matrix (burn-in, thinned out), drawn
    lighter. This is the picture to choose a burn-in from: a run that has not yet reached
    the posterior sits far from the reference and then falls to the level of the rest.
    """
    plt = require_matplotlib()
    values = np.asarray(values, dtype=np.float64)
    x = np.asarray(x)
    groups_a, labels = _groups(len(values), groups, group_labels)
    fig, ax = plt.subplots(figsize=(9.0, 5.0))
    colors = run_colors(len(labels))
    shaded = False
    for g, label in enumerate(labels):
        members = np.flatnonzero(groups_a == g)
        if len(members) == 0:
            continue
        ax.plot(x[members], values[members], lw=0.7, alpha=0.85, color=colors[g], label=label,
                drawstyle="steps-post")
        end = burnin_end[g] if burnin_end is not None else None
        if end is not None and end > x[members].min():
            ax.axvspan(x[members].min(), end, color="0.85", alpha=0.5, lw=0, zorder=0)
            ax.axvline(end, color=colors[g], lw=1.0, ls="--")
            shaded = True
    if shaded:
        ax.fill_between([], [], color="0.85", label="burn-in (not in the matrix)")
    outside = ""
    if used is not None and not np.all(used):
        used_a = np.asarray(used, dtype=bool)
        n_out = int(used_a.size - np.count_nonzero(used_a))
        outside = (f"\n{n_out} of {counted(len(values), 'tree')} are not in the matrix "
                   f"({_left_out_why(used_a, groups_a)})")
    top = spike_cut(values)
    if top is not None:  # a starting-tree spike would flatten the rest: cut the axis
        above = values > top
        ax.plot(x[above], np.full(int(above.sum()), top), ls="none", marker="^", ms=4,
                color="0.3", clip_on=False,
                label=f"{counted(int(above.sum()), 'tree')} above {top:.4g} (axis cut)")
        outside += f"\ny axis cut at {top:.4g}: the highest values are drawn at the top"
    ax.set_xlabel(x_label)
    _plain_numbers(ax.xaxis)
    ax.set_ylabel(f"{metric} distance to the reference tree")
    _integer_ticks(ax.yaxis, integer)
    ax.set_ylim(bottom=0, top=top)
    ax.set_title(title or f"{metric} distance of every tree to {reference_label}{outside}",
                 fontsize="medium")
    if len(labels) > 1 or shaded or top is not None:
        ax.legend(loc="upper right", fontsize="small")
    ax.grid(True, alpha=0.3)
    return finish(fig, path)


def spike_cut(values: np.ndarray) -> Optional[float]:
    """Where to cut the y axis of a trace, or None: when a few values (at most 1 in 200,
    typically the starting tree and its first neighbours) rise above twice the level of
    all the others, the axis stops 15% above that level."""
    finite = values[np.isfinite(values)]
    if finite.size < 20:
        return None
    level = float(np.quantile(finite, 0.995, method="higher"))
    if level <= 0 or float(finite.max()) <= 2 * level:
        return None
    return level * 1.15


# ----------------------------------------------------------------------------- heatmap


def pool(d: np.ndarray, size: int, how: str = "max") -> np.ndarray:
    """Shrink a matrix to at most ``size`` x ``size`` by blocks: each cell is the maximum
    (``how="max"``) or mean (``"mean"``) of its block, so no cell goes unseen, as it
    would by keeping every k-th row and column."""
    n = d.shape[0]
    step = -(-n // size)
    if step == 1:
        return np.asarray(d, dtype=np.float64)
    starts = np.arange(0, n, step)
    if how == "max":
        rows = np.maximum.reduceat(d, starts, axis=0)
        return np.maximum.reduceat(rows, starts, axis=1).astype(np.float64)
    if how == "mean":
        rows = np.add.reduceat(d.astype(np.float64), starts, axis=0)
        sums = np.add.reduceat(rows, starts, axis=1)
        widths = np.diff(np.append(starts, n)).astype(np.float64)
        return sums / np.outer(widths, widths)
    raise ValueError(f"unknown pooling {how!r}: max or mean")


def heatmap(distances: np.ndarray, path: str, *, names: Optional[Sequence[str]] = None,
            groups: Optional[Ints] = None,
            group_labels: Optional[Sequence[str]] = None, metric: str = "RF",
            title: Optional[str] = None) -> str:
    """The matrix as an image, with lines between runs and names for small sets.

    A matrix larger than about a thousand trees is shown in blocks, twice: the mean and
    the maximum of each block, so that a single outlying tree still shows.
    """
    plt = require_matplotlib()
    d = np.asarray(distances)
    n = d.shape[0]
    groups_a, labels = _groups(n, groups, group_labels)
    step = -(-n // _HEATMAP_MAX)
    panels = [("", pool(d, _HEATMAP_MAX))] if step == 1 else [
        (f"mean of each {step} x {step} block", pool(d, _HEATMAP_MAX, "mean")),
        (f"maximum of each {step} x {step} block", pool(d, _HEATMAP_MAX, "max"))]
    width = _FIGSIZE[0] if len(panels) == 1 else 12.0
    fig, axes = plt.subplots(1, len(panels), figsize=(width, _FIGSIZE[1]), squeeze=False,
                             layout="constrained")
    vmax = max(float(p.max()) for _, p in panels) if n else 1.0
    bounds = np.flatnonzero(np.diff(groups_a)) + 0.5
    for ax, (what, image) in zip(axes[0], panels):
        im = ax.imshow(image, cmap="magma_r", interpolation="nearest", vmin=0, vmax=vmax,
                       extent=(-0.5, n - 0.5, n - 0.5, -0.5))
        for b in bounds:
            ax.axhline(b, color="tab:cyan", lw=1)
            ax.axvline(b, color="tab:cyan", lw=1)
        if names is not None and n <= 40:
            ax.set_xticks(range(n))
            ax.set_xticklabels(names, rotation=90, fontsize="x-small")
            ax.set_yticks(range(n))
            ax.set_yticklabels(names, fontsize="x-small")
        else:
            ax.set_xlabel("tree (row of the matrix)")
            ax.set_ylabel("tree (row of the matrix)")
        if what:
            ax.set_title(what, fontsize="small")
    cb = fig.colorbar(im, ax=list(axes[0]), label=f"{metric} distance", shrink=0.85)
    _integer_ticks(cb.ax.yaxis, _is_integer(d))
    runs = f"; runs: {', '.join(labels)}" if len(labels) > 1 else ""
    fig.suptitle(title or f"{metric} distance matrix ({counted(n, 'tree')}{runs})",
                 fontsize="medium")
    fig.savefig(path, dpi=_DPI)
    plt.close(fig)
    return path

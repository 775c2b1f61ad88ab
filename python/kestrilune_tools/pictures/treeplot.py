"""Pictures of summary trees: a cladogram with the support of every clade, or, for a dated
tree, a chronogram with the 95% HPD interval of every node height.

Needs matplotlib (``pip install 'kestrilune[plot]'``). In a cladogram leaves are aligned on
the right, each internal node one step left of its leftmost child. In a chronogram every
node stands at its height on a time axis (time before the youngest tip, the present on the
right) and a bar spans its ``height_95%_HPD``. Every internal node carries its support (the
share of trees that hold its clade) as a percentage. Several trees are drawn side by side
in one picture.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple

from .plots import require_matplotlib
from .words import counted

if TYPE_CHECKING:
    from ..analyses.summaries import SummaryTree, TreeLayout
    from ..analyses.summaries.annotate import AnnotatedTree

__all__ = ["cladograms"]

_DPI = 150


def _coordinates(tree: SummaryTree, outgroup: int
                 ) -> Tuple[TreeLayout, List[List[int]], List[float], List[float]]:
    """(x, y) of every node of ``tree.layout(outgroup)`` plus the root (last), children in
    the order of their lowest leaf index, as the Newick text lists them."""
    lay = tree.layout(outgroup)
    top = len(lay.rows)
    children: List[List[int]] = [[] for _ in range(top + 1)]
    for j in range(top):
        children[top if lay.parent[j] < 0 else lay.parent[j]].append(j)
    for kids in children:
        kids.sort(key=lambda j: lay.leaf[j])
    x: List[float] = [0.0] * (top + 1)
    order, y = _rows(children, top)
    for v in reversed(order):
        if children[v]:
            x[v] = min(x[c] for c in children[v]) - 1
    return lay, children, x, y


def _rows(children: List[List[int]], root: int) -> Tuple[List[int], List[float]]:
    """(the nodes in pre-order, the row of each): tips on rows 0, 1, ... in that order,
    an inner node midway between its first and last child."""
    y: List[float] = [0.0] * len(children)
    order: List[int] = []
    stack = [root]
    while stack:
        v = stack.pop()
        order.append(v)
        stack.extend(reversed(children[v]))
    row = 0
    for v in order:
        if not children[v]:
            y[v] = row
            row += 1
    for v in reversed(order):  # children before parents
        if children[v]:
            y[v] = (y[children[v][0]] + y[children[v][-1]]) / 2
    return order, y


_GRID_COLUMNS = 3  # trees side by side in a row of the picture


def _elbows(ax: Any, v: int, kids: Sequence[int], x: Sequence[float],
            y: Sequence[float]) -> None:
    """Node v's vertical bar over its children and the branch to each."""
    ys = [y[c] for c in kids]
    ax.plot([x[v], x[v]], [min(ys), max(ys)], color="black", lw=0.8)
    for c in kids:
        ax.plot([x[v], x[c]], [y[c], y[c]], color="black", lw=0.8)


def _chronogram(ax: Any, at: AnnotatedTree, leaf_names: Sequence[str]) -> None:
    """Draw a dated tree: nodes at their heights, HPD bars, supports, the time axis."""
    t = at.target
    nodes = len(t.masks)
    children: List[List[int]] = [[] for _ in range(nodes)]
    for j in range(1, nodes):
        children[t.parent[j]].append(j)
    for kids in children:
        kids.sort(key=lambda j: (t.masks[j] & -t.masks[j]).bit_length())
    _, y = _rows(children, 0)
    row = sum(1 for kids in children if not kids)
    h = at.heights
    for v in range(nodes):
        notes = at.annotations[v]
        hpd = notes.get("height_95%_HPD")
        if children[v] and isinstance(hpd, tuple) and len(hpd) == 2:
            ax.plot([hpd[0], hpd[1]], [y[v], y[v]], color="tab:blue", lw=4, alpha=0.35,
                    solid_capstyle="butt")
        if not children[v]:
            continue
        _elbows(ax, v, children[v], h, y)
        post = notes.get("posterior")
        if isinstance(post, float) and v > 0:
            ax.text(h[v], y[v] - 0.15, f"{100 * post:.0f} ", ha="right",
                      va="bottom", fontsize=6, color="tab:blue")
    for v in range(nodes):
        if not children[v]:
            ax.text(h[v], y[v], "  " + leaf_names[t.leaf[v]], va="center",
                      fontsize=7)
    span = max(h) - min(h) or 1.0
    uppers = [float(a["height_95%_HPD"][1]) for a in at.annotations  # type: ignore[index]
              if isinstance(a.get("height_95%_HPD"), tuple)]
    ax.set_xlim(max([max(h)] + uppers) + 0.05 * span, min(h) - 0.45 * span)
    ax.set_xticks([x for x in ax.get_xticks() if min(h) - 1e-9 <= x <= max(h + uppers)])
    ax.set_ylim(row, -1)
    for side in ("left", "right", "top"):
        ax.spines[side].set_visible(False)
    ax.set_yticks([])
    ax.set_xlabel("height (time before the youngest tip); bars: 95% HPD",
                    fontsize=7)
    ax.tick_params(labelsize=6)


def cladograms(trees: Sequence[SummaryTree], path: str, titles: Optional[Sequence[str]] = None,
               outgroup: int = 0, dated: Optional[Sequence[Optional[AnnotatedTree]]] = None
               ) -> str:
    """Draw every :class:`~kestrilune_tools.analyses.summaries.SummaryTree` of ``trees``
    into ``path``, in a grid of at most three columns (the suffix picks the format);
    ``dated[k]``, when given, draws tree k as a chronogram of that annotated tree instead.
    Returns the path."""
    plt = require_matplotlib()
    n_leaves = len(trees[0].leaf_names)
    height = max(3.0, 0.17 * n_leaves + 1.0)
    cols = min(len(trees), _GRID_COLUMNS)
    rows = -(-len(trees) // cols)
    fig, axes = plt.subplots(rows, cols, figsize=(6.5 * cols, height * rows), squeeze=False)
    try:
        for ax in axes.ravel()[len(trees):]:
            ax.axis("off")
        for k, (tree, ax) in enumerate(zip(trees, axes.ravel())):
            title = titles[k] if titles else tree.method
            at = dated[k] if dated is not None else None
            if at is not None:
                _chronogram(ax, at, tree.leaf_names)
                ax.set_title(f"{title}\n({at.heights_option} heights; support in % of "
                             f"{counted(tree.n_trees, 'tree')})", fontsize=9)
                continue
            lay, children, x, y = _coordinates(tree, outgroup)
            top = len(lay.rows)
            for v in range(top + 1):
                if not children[v]:
                    continue
                _elbows(ax, v, children[v], x, y)
                if v < top:
                    support = tree.support[lay.rows[v]]
                    ax.text(x[v] - 0.05, y[v] - 0.15, f"{100 * support:.0f}", ha="right",
                            va="bottom", fontsize=6, color="tab:blue")
            for v in range(top):
                if lay.size[v] == 1:
                    ax.text(x[v] + 0.15, y[v], tree.leaf_names[lay.leaf[v]], va="center",
                            fontsize=7)
            ax.set_xlim(min(x) - 0.5, 0.0 + 0.35 * max(len(n) for n in tree.leaf_names) / 2)
            ax.set_ylim(n_leaves, -1)
            ax.axis("off")
            ax.set_title(f"{title}\n(support in % of {counted(tree.n_trees, 'tree')})",
                         fontsize=9)
        fig.tight_layout()
        fig.savefig(path, dpi=_DPI)
    finally:
        plt.close(fig)
    return path

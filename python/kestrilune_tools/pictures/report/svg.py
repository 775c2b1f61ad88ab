"""Small inline SVG charts for the report page: line traces and scatter plots, drawn as
text with no library, so that the page needs nothing but a browser."""

from __future__ import annotations

import math
from dataclasses import dataclass
from html import escape
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np

# Okabe & Ito (2008): eight colours that stay apart under the common colour-vision
# deficiencies; black is left to the axes.
PALETTE = ("#0072B2", "#E69F00", "#009E73", "#CC79A7", "#56B4E9", "#D55E00", "#F0E442",
           "#999999")

W, H = 560.0, 220.0  # the viewBox of every chart; CSS scales it to the column
LEFT, RIGHT, TOP, BOTTOM = 62.0, 24.0, 10.0, 38.0


def colour(i: int) -> str:
    return PALETTE[i % len(PALETTE)]


@dataclass(frozen=True)
class Series:
    label: str
    x: np.ndarray
    y: np.ndarray
    colour: str


def thin(n: int, limit: int) -> np.ndarray:
    """At most ``limit`` evenly spaced indices of ``range(n)``, first and last included."""
    if n <= limit:
        return np.arange(n)
    return np.unique(np.linspace(0, n - 1, limit).round().astype(np.intp))


def extremes(y: np.ndarray, bins: int) -> np.ndarray:
    """Indices that draw ``y`` over ``bins`` columns as a line would: the first and last
    sample, and in each column the lowest and the highest, in order. A spike stays
    visible, however many samples share its column."""
    n = len(y)
    if n <= 2 * bins:
        return np.arange(n)
    edges = np.linspace(0, n, bins + 1).round().astype(np.intp)
    score = np.where(np.isfinite(y), y, np.nan)
    keep = [0, n - 1]
    for lo, hi in zip(edges[:-1], edges[1:]):
        part = score[lo:hi]
        if np.isnan(part).all():
            keep.append(int(lo))
            continue
        keep += [int(lo + np.nanargmin(part)), int(lo + np.nanargmax(part))]
    return np.unique(np.asarray(keep, dtype=np.intp))


def num(x: float) -> str:
    """A number as a tick or tooltip shows it."""
    if not math.isfinite(x):
        return "-"
    if x == int(x) and abs(x) < 1e7:  # generations, counts
        return str(int(x))
    if x != 0 and (abs(x) >= 1e6 or abs(x) < 1e-3):
        return f"{x:.3g}"
    return f"{x:.4g}"


def _ticks(lo: float, hi: float, count: int = 5) -> List[float]:
    if hi <= lo:
        return [lo]
    raw = (hi - lo) / count
    step = 10 ** math.floor(math.log10(raw))
    for m in (1, 2, 5, 10):
        if raw <= m * step:
            step *= m
            break
    first = math.ceil(lo / step) * step
    return [first + i * step for i in range(int((hi - first) / step + 1e-9) + 1)]


def _range(values: Sequence[np.ndarray], pad: float = 0.0) -> Tuple[float, float]:
    finite = [v[np.isfinite(v)] for v in values]
    finite = [v for v in finite if len(v)]
    if not finite:
        return 0.0, 1.0
    lo = float(min(v.min() for v in finite))
    hi = float(max(v.max() for v in finite))
    if hi == lo:
        return lo - 0.5 if lo == 0 else lo - abs(lo) * 0.05, hi + (0.5 if hi == 0 else abs(hi) * 0.05)
    span = hi - lo
    return lo - pad * span, hi + pad * span


class _Frame:
    def __init__(self, x: Tuple[float, float], y: Tuple[float, float]) -> None:
        self.x0, self.x1 = x
        self.y0, self.y1 = y

    def px(self, x: np.ndarray) -> np.ndarray:
        return LEFT + (x - self.x0) / (self.x1 - self.x0) * (W - LEFT - RIGHT)

    def py(self, y: np.ndarray) -> np.ndarray:
        return H - BOTTOM - (y - self.y0) / (self.y1 - self.y0) * (H - TOP - BOTTOM)

    def axes(self, x_label: str, y_label: str) -> List[str]:
        out = [f'<rect class="plot" x="{LEFT}" y="{TOP}" width="{W - LEFT - RIGHT}" '
               f'height="{H - TOP - BOTTOM}"/>']
        for t in _ticks(self.x0, self.x1):
            p = float(self.px(np.array(t)))
            out.append(f'<line class="tick" x1="{p:.1f}" x2="{p:.1f}" y1="{H - BOTTOM}" '
                       f'y2="{H - BOTTOM + 4}"/><text x="{p:.1f}" y="{H - BOTTOM + 15}" '
                       f'text-anchor="middle">{num(t)}</text>')
        for t in _ticks(self.y0, self.y1, 4):
            p = float(self.py(np.array(t)))
            out.append(f'<line class="tick" x1="{LEFT - 4}" x2="{LEFT}" y1="{p:.1f}" '
                       f'y2="{p:.1f}"/><text x="{LEFT - 6}" y="{p + 4:.1f}" '
                       f'text-anchor="end">{num(t)}</text>')
        out.append(f'<text x="{(LEFT + W - RIGHT) / 2}" y="{H - 4}" text-anchor="middle">'
                   f'{escape(x_label)}</text>')
        out.append(f'<text transform="translate(13 {(TOP + H - BOTTOM) / 2}) rotate(-90)" '
                   f'text-anchor="middle">{escape(y_label)}</text>')
        return out


def _open(title: str) -> str:
    return (f'<svg class="chart" viewBox="0 0 {W:g} {H:g}" role="img" '
            f'xmlns="http://www.w3.org/2000/svg"><title>{escape(title)}</title>')


def _path(xs: np.ndarray, ys: np.ndarray) -> str:
    """SVG path data, broken where a value is NaN."""
    parts: List[str] = []
    pen = "M"
    for x, y in zip(xs.tolist(), ys.tolist()):
        if not math.isfinite(y):
            pen = "M"
            continue
        parts.append(f"{pen}{x:.1f} {y:.1f}")
        pen = "L"
    return "".join(parts)


def line_chart(series: Sequence[Series], title: str, x_label: str, y_label: str, *,
               shade_to: Optional[float] = None, guide: Optional[float] = None) -> str:
    """Traces of several series on one pair of axes; ``shade_to``: grey up to that x (the
    burn-in); ``guide``: a dashed horizontal line at that y."""
    ys = [s.y for s in series] + ([np.array([guide])] if guide is not None else [])
    f = _Frame(_range([s.x for s in series]), _range(ys, 0.04))
    out = [_open(title)] + f.axes(x_label, y_label)
    if shade_to is not None and shade_to > f.x0:
        right = float(f.px(np.array(min(shade_to, f.x1))))
        out.append(f'<rect class="burnin" x="{LEFT}" y="{TOP}" width="{right - LEFT:.1f}" '
                   f'height="{H - TOP - BOTTOM}"><title>burn-in</title></rect>')
    if guide is not None:
        g = float(f.py(np.array(guide)))
        out.append(f'<line class="guide" x1="{LEFT}" x2="{W - RIGHT}" y1="{g:.1f}" '
                   f'y2="{g:.1f}"/>')
    for s in series:
        out.append(f'<path class="series" stroke="{s.colour}" '
                   f'd="{_path(f.px(s.x.astype(float)), f.py(s.y.astype(float)))}">'
                   f'<title>{escape(s.label)}</title></path>')
    out.append("</svg>")
    return "".join(out)


def scatter(x: np.ndarray, y: np.ndarray, tips: Sequence[str], title: str, x_label: str,
            y_label: str, colour_: str = PALETTE[0]) -> str:
    """Points on [0, 1] x [0, 1] with the diagonal (split frequencies of two runs)."""
    f = _Frame((0.0, 1.0), (0.0, 1.0))
    out = [_open(title)] + f.axes(x_label, y_label)
    a, b = f.px(np.array([0.0, 1.0])), f.py(np.array([0.0, 1.0]))
    out.append(f'<line class="guide" x1="{a[0]:.1f}" y1="{b[0]:.1f}" x2="{a[1]:.1f}" '
               f'y2="{b[1]:.1f}"/>')
    for px, py, tip in zip(f.px(x).tolist(), f.py(y).tolist(), tips):
        out.append(f'<circle cx="{px:.1f}" cy="{py:.1f}" r="3.5" fill="{colour_}">'
                   f'<title>{escape(tip)}</title></circle>')
    out.append("</svg>")
    return "".join(out)


def cladogram(parent: Sequence[int], leaf: Sequence[int], size: Sequence[int],
              names: Sequence[str], support: Sequence[float], title: str) -> str:
    """A rectangular cladogram of a tree given as nodes (children before parents, parent
    -1 for the root's children): leaves named, inner nodes labelled with ``support``."""
    children: Dict[int, List[int]] = {}
    for j, p in enumerate(parent):
        children.setdefault(p, []).append(j)
    for kids in children.values():
        kids.sort(key=lambda j: (size[j], leaf[j]))
    row_h, step = 16.0, 22.0
    y: Dict[int, float] = {}
    depth: Dict[int, int] = {-1: 0}
    order: List[int] = []
    stack = [(-1, False)]
    while stack:  # post-order without recursion: deep caterpillars need no deep stack
        node, done = stack.pop()
        if done or node not in children:
            if node not in children:
                y[node] = row_h * (len(order) + 1)
                order.append(node)
            else:
                kids = children[node]
                y[node] = (y[kids[0]] + y[kids[-1]]) / 2
            continue
        stack.append((node, True))
        for k in reversed(children[node]):
            depth[k] = depth[node] + 1
            stack.append((k, False))
    most = max(depth.values())
    width = 20 + step * most + 12 + 7 * max((len(names[leaf[j]]) for j in order), default=4)
    height = row_h * (len(order) + 1)
    out = [f'<svg class="tree" viewBox="0 0 {width:.0f} {height:.0f}" width="{width:.0f}" '
           f'role="img" xmlns="http://www.w3.org/2000/svg"><title>{escape(title)}</title>']

    def x(node: int) -> float:
        return 10 + step * depth[node]

    for node, kids in children.items():
        out.append(f'<line class="tick" x1="{x(node):.0f}" x2="{x(node):.0f}" '
                   f'y1="{y[kids[0]]:.0f}" y2="{y[kids[-1]]:.0f}"/>')
        for k in kids:
            out.append(f'<line class="tick" x1="{x(node):.0f}" x2="{x(k):.0f}" '
                       f'y1="{y[k]:.0f}" y2="{y[k]:.0f}"/>')
            if k in children:
                out.append(f'<text class="support" x="{x(k) - 2:.0f}" y="{y[k] - 3:.0f}" '
                           f'text-anchor="end">{support[k]:.2f}</text>')
            else:
                out.append(f'<text x="{x(k) + 4:.0f}" y="{y[k] + 4:.0f}">'
                           f'{escape(names[leaf[k]])}</text>')
    out.append("</svg>")
    return "".join(out)


def chronogram(parent: Sequence[int], leaf: Sequence[int], heights: Sequence[float],
               hpd: Sequence[Optional[Tuple[float, float]]], support: Sequence[Optional[float]],
               names: Sequence[str], title: str) -> str:
    """A dated tree, nodes in preorder (``parent[0] == -1``, the root): each node at its
    height on a time axis (time before the youngest tip, the present on the right), a
    translucent bar over its ``hpd`` interval, inner nodes labelled with ``support``."""
    n = len(parent)
    children: List[List[int]] = [[] for _ in range(n)]
    for j in range(1, n):
        children[parent[j]].append(j)
    row_h = 16.0
    y = [0.0] * n
    rows = 0
    for j in range(n):  # preorder: tips come in drawing order
        if not children[j]:
            rows += 1
            y[j] = row_h * rows
    for j in range(n - 1, -1, -1):
        if children[j]:
            y[j] = (y[children[j][0]] + y[children[j][-1]]) / 2
    top = max([max(heights)] + [b[1] for b in hpd if b is not None])
    low = min(heights)
    span = (top - low) or 1.0
    plot_w = 420.0
    label_w = 7 * max((len(names[leaf[j]]) for j in range(n) if leaf[j] >= 0), default=4)
    width, height = 20 + plot_w + 8 + label_w, row_h * (rows + 1) + 30

    def x(h: float) -> float:
        return 10 + plot_w * (top - h) / span

    out = [f'<svg class="tree" viewBox="0 0 {width:.0f} {height:.0f}" width="{width:.0f}" '
           f'role="img" xmlns="http://www.w3.org/2000/svg"><title>{escape(title)}</title>']
    for j in range(n):
        b = hpd[j]
        if children[j] and b is not None:
            out.append(f'<rect class="hpd" x="{x(b[1]):.1f}" y="{y[j] - 3:.1f}" '
                       f'width="{max(x(b[0]) - x(b[1]), 0.5):.1f}" height="6" '
                       f'fill="{PALETTE[0]}" fill-opacity="0.3"/>')
    for j in range(n):
        kids = children[j]
        if not kids:
            out.append(f'<text x="{x(heights[j]) + 4:.1f}" y="{y[j] + 4:.0f}">'
                       f'{escape(names[leaf[j]])}</text>')
            continue
        out.append(f'<line class="tick" x1="{x(heights[j]):.1f}" x2="{x(heights[j]):.1f}" '
                   f'y1="{y[kids[0]]:.0f}" y2="{y[kids[-1]]:.0f}"/>')
        for k in kids:
            out.append(f'<line class="tick" x1="{x(heights[j]):.1f}" x2="{x(heights[k]):.1f}" '
                       f'y1="{y[k]:.0f}" y2="{y[k]:.0f}"/>')
        s = support[j]
        if j and s is not None:
            out.append(f'<text class="support" x="{x(heights[j]) - 2:.1f}" '
                       f'y="{y[j] - 4:.0f}" text-anchor="end">{s:.2f}</text>')
    axis_y = row_h * (rows + 1) + 4
    out.append(f'<line class="tick" x1="{x(top):.0f}" x2="{x(low):.0f}" y1="{axis_y:.0f}" '
               f'y2="{axis_y:.0f}"/>')
    for t in _ticks(low, top, 5):
        out.append(f'<text class="support" x="{x(t):.1f}" y="{axis_y + 12:.0f}" '
                   f'text-anchor="middle">{num(t)}</text>')
    out.append(f'<text class="support" x="{x(low):.0f}" y="{axis_y + 24:.0f}" '
               'text-anchor="end">time before the youngest tip; bars: 95% HPD</text></svg>')
    return "".join(out)

"""Dated, annotated summary trees as TreeAnnotator (BEAST 1.10) writes them.

    >>> target = target_from_newick(text, leaf_names, translate)   # e.g. the MCC tree's own text
    >>> [tree] = annotate([target], treeset.newicks(), leaf_names, translate_of, "ca")
    >>> tree.to_newick(labels)     # (1[&height=...]:2.5,...)[&posterior=1.0,height=...];

Definitions (TreeAnnotator 1.10.4, ``dr.app.tools.TreeAnnotator``):

* A node's height is the tree height minus its distance from the root, the tree height
  being the largest distance of a leaf (negative branch lengths count as 0 on the way
  down, as BEAST's trees read them); so dated tips keep their own heights.
* Every node of the summary tree, tips included, collects from each sample tree that holds
  its clade that node's height, branch length (0 for the root) and every numeric node
  annotation (``[&rate=...]`` anywhere on the node: BEAST 1 writes it after the ``:``,
  BEAST 2 before it). It is annotated with the mean (key ``name``), and, when the values
  are not all equal, ``name_median``, ``name_95%_HPD`` and ``name_range``. Text
  annotations give the most frequent value (ties joined by ``+``) with ``name.prob``,
  and every value with ``name.set`` and ``name.set.prob``.
* ``posterior``: the share of the sample trees holding the node's clade (not on tips).
  Nodes below ``limit`` carry only their posterior.
* Median: the middle value, or the mean of the two middle ones. 95% HPD: the shortest
  interval holding ``round(0.95 n)`` of the n sorted values (Java's rounding, half up),
  the first such interval when several are equally short.
* Node heights (``heights``): ``keep`` the target's own; ``mean`` / ``median`` over the
  trees holding the clade; ``ca`` (common ancestor) the mean over every tree of the
  height of the most recent common ancestor of the clade's taxa, summed tree by tree in
  the trees' order as TreeAnnotator sums them. Branch lengths written
  are parent height minus child height, and can be negative with ``mean``, ``median`` and
  ``ca``: :attr:`AnnotatedTree.negative_branches` counts them.

Memory follows the clades of the target trees: per clade, one value per sample tree
holding it and per annotation (the median and HPD need them all).
"""

from __future__ import annotations

import math
import re
from array import array
from dataclasses import dataclass, field
from typing import (Any, Callable, Dict, Iterable, List, NamedTuple, Optional, Sequence, Set,
                    Tuple, Union)

import numpy as np

from ...table.engine import NodeComments, gather_by_row, node_heights, return_free_memory
from ...table.splits import SplitData

__all__ = ["HEIGHTS", "TargetTree", "AnnotatedTree", "target_from_newick", "target_from_clades",
           "target_from_table", "split_ids_of", "annotate", "annotate_splits", "chunk_heights",
           "group_by_row", "leaf_of_split", "hpd_interval", "median", "read_nodes",
           "TreeTextError"]

HEIGHTS = ("keep", "mean", "median", "ca")

Annotation = Union[float, str, Tuple[float, float], Tuple[str, ...], Tuple[float, ...]]

_TOKEN = re.compile(r"\[[^\]]*\]|'(?:[^']|'')*'|[(),;:]|[^(),;:\[\]'\s]+")  # blanks skipped
_PAIR = re.compile(r"\s*([^=,{}\"']+?)\s*=\s*(\"[^\"]*\"|'[^']*'|\{[^}]*\}|[^,]*)")


# ----------------------------------------------------------------------------- statistics


def median(sorted_values: np.ndarray) -> float:
    """The middle value of sorted values, or the mean of the two middle ones."""
    n = len(sorted_values)
    if n % 2:
        return float(sorted_values[n // 2])
    return float((sorted_values[n // 2 - 1] + sorted_values[n // 2]) / 2.0)


def hpd_interval(sorted_values: np.ndarray, mass: float = 0.95) -> Tuple[float, float]:
    """The shortest interval holding ``round(mass * n)`` of the sorted values (half up, as
    Java's ``Math.round``); the lowest such interval on ties."""
    n = len(sorted_values)
    k = max(1, int(math.floor(mass * n + 0.5)))
    widths = sorted_values[k - 1:] - sorted_values[:n - k + 1]
    i = int(np.argmin(widths))
    return float(sorted_values[i]), float(sorted_values[i + k - 1])


class _Summary(NamedTuple):
    """What a node's annotation shows of its values: their number, mean, median, 95% HPD
    and range (``varies``: not all equal)."""

    n: int
    mean: float
    median: float
    hpd: Tuple[float, float]
    range: Tuple[float, float]
    varies: bool


def _summary(raw: np.ndarray) -> _Summary:
    v = np.sort(raw)
    mean = _tree_order_sum(raw) / len(v)  # added in tree order, as TreeAnnotator adds them
    return _Summary(n=len(v), mean=mean, median=median(v), hpd=hpd_interval(v),
                    range=(float(v[0]), float(v[-1])), varies=bool(v[0] < v[-1]))


# ----------------------------------------------------------------------------- parsing


@dataclass
class _Parsed:
    """One tree as nodes in preorder (parents before children)."""

    parent: List[int]
    length: List[Optional[float]]
    attrs: List[Optional[Dict[str, Annotation]]]
    leaf: List[int]  # leaf index, -1 for internal nodes

    def masks(self) -> List[int]:
        masks = [1 << lf if lf >= 0 else 0 for lf in self.leaf]
        parent = self.parent
        for i in range(len(masks) - 1, 0, -1):
            masks[parent[i]] |= masks[i]
        return masks

    def heights(self) -> List[float]:
        """As BEAST reads a tree: the largest root-to-leaf distance (at least 0) minus each
        node's distance, negative lengths counted as 0."""
        depth = [0.0] * len(self.parent)
        length, parent = self.length, self.parent
        for i in range(1, len(depth)):
            x = length[i]
            depth[i] = depth[parent[i]] + x if x is not None and x > 0.0 else depth[parent[i]]
        top = 0.0
        for i, lf in enumerate(self.leaf):
            if lf >= 0 and depth[i] > top:
                top = depth[i]
        return [top - d for d in depth]


def _value(text: str) -> Optional[Annotation]:
    text = text.strip()
    if not text:
        return None
    if text[0] == "{":
        items = [_value(x) for x in text[1:-1].split(",")]
        return tuple(x for x in items if isinstance(x, (float, str)))  # type: ignore[return-value]
    if text[0] in "\"'":
        return text[1:-1]
    try:
        return float(text)
    except ValueError:
        return text


def _annotations(comment: str) -> Dict[str, Annotation]:
    out: Dict[str, Annotation] = {}
    for key, raw in _PAIR.findall(comment[2:-1]):
        v = _value(raw)
        if v is not None:
            out[key] = v
    return out


class TreeTextError(ValueError):
    """A sample or target tree that cannot be annotated (message names the tree)."""


def _parse(text: str, leaf_of: Callable[[str], int], name: str) -> _Parsed:
    parent: List[int] = []
    length: List[Optional[float]] = []
    attrs: List[Optional[Dict[str, Annotation]]] = []
    leaf: List[int] = []
    stack: List[int] = []
    current = -1  # the node the next ':' length or comment belongs to
    after_colon = False
    prev = ""
    for tok in _TOKEN.findall(text):
        c = tok[0]
        if c == "[":
            if current >= 0 and tok.startswith("[&"):
                found = _annotations(tok)
                if found:
                    a = attrs[current]
                    if a is None:
                        attrs[current] = found
                    else:
                        a.update(found)
            continue
        if c == "(":
            parent.append(stack[-1] if stack else -1)
            length.append(None)
            attrs.append(None)
            leaf.append(-1)
            stack.append(len(parent) - 1)
            current = -1
        elif c == ",":
            current = -1
        elif c == ")":
            if not stack:
                raise TreeTextError(f"tree {name!r}: unbalanced parentheses")
            current = stack.pop()
        elif c == ";":
            break
        elif c == ":":
            after_colon = True
            prev = c
            continue
        elif after_colon:
            try:
                length[current] = float(tok)
            except (ValueError, IndexError):
                raise TreeTextError(f"tree {name!r}: bad branch length {tok!r}") from None
        elif prev in ("(", ","):
            label = tok[1:-1].replace("''", "'") if c == "'" else tok
            parent.append(stack[-1] if stack else -1)
            length.append(None)
            attrs.append(None)
            leaf.append(leaf_of(label))
            current = len(parent) - 1
        # any other word is an internal node's label
        after_colon = False
        prev = c
    if stack or not parent:
        raise TreeTextError(f"tree {name!r}: unbalanced parentheses")
    return _Parsed(parent, length, attrs, leaf)


# ----------------------------------------------------------------------------- targets


@dataclass(frozen=True)
class TargetTree:
    """The tree to annotate: nodes in preorder, ``masks[j]`` the leaf set of node j as an
    integer (bit l for leaf l), ``heights`` its own node heights when it has them."""

    masks: List[int]
    parent: List[int]
    leaf: List[int]
    heights: Optional[List[float]] = None


def target_from_newick(text: str, leaf_index: Dict[str, int],
                       translate: Optional[Dict[str, str]] = None, name: str = "target"
                       ) -> TargetTree:
    """A tree's text as a target, keeping its own heights when it has branch lengths.
    Leaf labels go through ``translate`` (when given) to names in ``leaf_index``."""
    def leaf_of(label: str) -> int:
        taxon = translate.get(label, label) if translate else label
        i = leaf_index.get(taxon)
        if i is None:
            raise TreeTextError(f"{name}: taxon {taxon!r} is not among the sample's taxa")
        return i

    p = _parse(text, leaf_of, name)
    leaves = sorted(lf for lf in p.leaf if lf >= 0)
    if leaves != list(range(len(leaf_index))):
        missing = sorted(set(leaf_index) - {t for t, i in leaf_index.items() if i in leaves})
        raise TreeTextError(f"{name}: its taxa are not the sample's (missing "
                            f"{', '.join(missing[:5]) or 'none'}; each taxon once)")
    has_lengths = all(x is not None for x in p.length[1:])
    return TargetTree(masks=p.masks(), parent=p.parent, leaf=p.leaf,
                      heights=p.heights() if has_lengths else None)


def _mask_ints(member: np.ndarray) -> List[int]:
    """Each bool row (leaf l is column l) as an integer with bit l set for leaf l."""
    packed = np.packbits(np.asarray(member, dtype=bool).reshape(len(member), -1), axis=1,
                         bitorder="little")
    return [int.from_bytes(row.tobytes(), "little") for row in packed]


def _leaves(masks: Sequence[int]) -> List[int]:
    """The leaf of each mask of one leaf, else -1."""
    return [m.bit_length() - 1 if m & (m - 1) == 0 else -1 for m in masks]


def split_ids_of(sd: SplitData, masks: Iterable[int]) -> Dict[int, int]:
    """The split id of each clade of ``masks`` (leaf l: bit l) that the split data hold."""
    packed = sd.packed()
    wanted = {m.to_bytes(packed.shape[1], "little"): m for m in masks}
    found = {}
    for i, row in enumerate(packed):
        m = wanted.get(row.tobytes())
        if m is not None:
            found[m] = i
    return found


def target_from_clades(member: np.ndarray) -> TargetTree:
    """A target from the leaf sets (bool rows) of a rooted tree's non-root nodes, tips
    included; the root is added."""
    member = np.asarray(member, dtype=bool)
    n = member.shape[1]
    masks_rows = _mask_ints(member)
    everything = (1 << n) - 1
    rows = sorted(range(len(masks_rows)), key=lambda r: -bin(masks_rows[r]).count("1"))
    masks = [everything] + [masks_rows[r] for r in rows if masks_rows[r] != everything]
    parent = [-1]
    for j in range(1, len(masks)):  # the smallest earlier clade holding it
        best = 0
        for k in range(1, j):
            if masks[k] & masks[j] == masks[j]:
                best = k
        parent.append(best)
    return TargetTree(masks=masks, parent=parent, leaf=_leaves(masks))


def target_from_table(sd: SplitData, t: int) -> TargetTree:
    """Sample tree ``t`` of rooted split data as a target, with its own heights when the
    data have branch lengths: what :func:`target_from_newick` makes of the tree's text
    (the same clades and, computed the same way, the same heights), without reading the
    text again. The split data keep a missing length as 0.0: a tree whose lengths are all
    0.0 is taken to have none."""
    if not sd.rooted or not sd.has_parents:
        raise ValueError("a sample tree as a target needs rooted split data")
    e0, e1 = int(sd.indptr[t]), int(sd.indptr[t + 1])
    ids = sd.ids[e0:e1].astype(np.int64)
    n = len(sd.leaf_names)
    everything = (1 << n) - 1
    member = sd.member_rows(ids)
    order = np.argsort(-member.sum(axis=1), kind="stable")  # parents before children
    masks_of = _mask_ints(member[order])
    keep = [k for k, m in enumerate(masks_of) if m != everything]  # a unary root's clade
    node_of = {int(ids[order[k]]): j + 1 for j, k in enumerate(keep)}
    parents = sd.parents_of(t, t + 1)
    masks = [everything] + [masks_of[k] for k in keep]
    parent = [-1] + [node_of.get(int(parents[order[k]]), 0) for k in keep]
    leaf = [-1] + _leaves(masks[1:])
    heights = None
    if sd.lengths is not None and np.any(sd.lengths[e0:e1] != 0.0):  # else none were given
        h, _ = chunk_heights(sd, t, t + 1, leaf_of_split(sd))
        heights = [float(h[-1])] + [float(h[order[k]]) for k in keep]
    return TargetTree(masks=masks, parent=parent, leaf=leaf, heights=heights)


# ----------------------------------------------------------------------------- results


@dataclass(frozen=True)
class AnnotatedTree:
    """A target tree with its heights and every node's annotations (keys in the order
    written)."""

    target: TargetTree
    heights: List[float]
    annotations: List[Dict[str, Annotation]]
    n_trees: int
    heights_option: str
    negative_branches: int = 0
    # annotations some trees holding a node's clade give and others not: their summaries
    # are over the trees that give them (TreeAnnotator would count the others as 0)
    partial: Tuple[str, ...] = ()
    settings: Dict[str, object] = field(default_factory=dict)

    def branch_lengths(self) -> List[Optional[float]]:
        h = self.heights
        return [None if p < 0 else h[p] - h[j] for j, p in enumerate(self.target.parent)]

    def to_newick(self, labels: Sequence[str], support_labels: bool = False) -> str:
        """Newick with ``[&key=value,...]`` after each node's label and before its length,
        children in the order of their lowest leaf; ``support_labels`` also writes each
        internal node's posterior as its label."""
        t = self.target
        lengths = self.branch_lengths()
        children: List[List[Tuple[int, str]]] = [[] for _ in t.masks]
        text = ""
        for j in range(len(t.masks) - 1, -1, -1):  # children come after their parents
            if t.leaf[j] >= 0:
                text = labels[t.leaf[j]]
            else:
                text = "(" + ",".join(s for _, s in sorted(children[j])) + ")"
            notes = self.annotations[j]
            if support_labels and "posterior" in notes:
                text += _format(notes["posterior"])
            if notes:
                text += "[&" + ",".join(f"{k}={_format(v)}" for k, v in notes.items()) + "]"
            x = lengths[j]
            if x is not None:
                text += f":{x!r}"
            if t.parent[j] >= 0:
                low = (t.masks[j] & -t.masks[j]).bit_length()
                children[t.parent[j]].append((low, text))
        return text + ";"


def _format(v: Annotation) -> str:
    if isinstance(v, tuple):
        return "{" + ",".join(_format(x) for x in v) + "}"
    if isinstance(v, str):
        return '"' + v.replace('"', "'") + '"'  # as TreeAnnotator quotes text values
    return repr(float(v))


# ----------------------------------------------------------------------------- collecting


class _Slot:
    """What the sample trees say about one clade."""

    __slots__ = ("count", "numbers", "summaries", "texts", "ca_sum")

    def __init__(self) -> None:
        self.count = 0
        self.numbers: Dict[str, Any] = {}  # array('d') or float64 ndarray per annotation
        self.summaries: Dict[str, _Summary] = {}  # or the summary of its values alone
        self.texts: Dict[str, Dict[str, int]] = {}
        # common ancestor heights (an array when read natively), or their running sum
        self.ca_sum: List[float] = []


def annotate(targets: Sequence[TargetTree], texts: Iterable[str], leaf_index: Dict[str, int],
             translate_of: Callable[[int], Optional[Dict[str, str]]], heights: str = "keep",
             limit: float = 0.0, names: Optional[Sequence[str]] = None,
             advance: Optional[Callable[[int], None]] = None) -> List[AnnotatedTree]:
    """Annotate every target from one pass over the sample trees' texts.

    ``translate_of(t)`` is tree t's translate table (or None); ``names[t]`` its name for
    messages. ``advance(k)`` is told of every k trees read.
    """
    if heights not in HEIGHTS:
        raise ValueError(f"unknown heights {heights!r}: use one of {', '.join(HEIGHTS)}")
    for tg in targets:
        if heights == "keep" and tg.heights is None:
            raise ValueError("--heights keep needs a target with its own heights (the MCC "
                             "tree or a target tree with branch lengths); use mean, median "
                             "or ca")
    slots: Dict[int, _Slot] = {}
    for tg in targets:
        for m in tg.masks:
            slots.setdefault(m, _Slot())
    wanted = list(slots.items())
    low_leaf = [(m & -m).bit_length() - 1 for m, _ in wanted]
    caches: Dict[int, Dict[str, int]] = {}
    native = _Native(wanted, len(leaf_index), heights == "ca") if leaf_index else None
    n = 0
    chunk: List[Tuple[int, str]] = []

    def label_cache(t: int) -> Dict[str, int]:
        tr = translate_of(t)
        cache = caches.get(id(tr))
        if cache is None:
            cache = caches[id(tr)] = {}
            for label, taxon in (tr or {}).items():
                if taxon in leaf_index:
                    cache[label] = leaf_index[taxon]
            if native is not None:
                native.tables[id(tr)] = native.reader.add_labels({**leaf_index, **cache})
        return cache

    def read_chunk() -> None:
        nonlocal native
        if not chunk:
            return
        start = 0
        if native is not None:
            tables = np.array([native.tables[id(translate_of(t))] for t, _ in chunk],
                              dtype=np.int64)
            start = native.reader.read([text for _, text in chunk], tables)
            if start < len(chunk):  # a text for the full reader: it reads the rest
                native.into(slots, more=True)
                native = None
        for t, text in chunk[start:]:
            _read_tree(text, t, names, label_cache(t), leaf_index, slots, wanted, low_leaf,
                       heights == "ca")
        if advance is not None:
            advance(len(chunk))
        chunk.clear()

    for t, text in enumerate(texts):
        label_cache(t)
        chunk.append((t, text))
        n += 1
        if len(chunk) == 256:
            read_chunk()
    read_chunk()
    if native is not None:
        native.into(slots, more=False)
    if n == 0:
        raise ValueError("no trees to annotate from")
    return [_finish(tg, slots, n, heights, limit) for tg in targets]


class _Native:
    """The native reader of a pass (``_engine.NodeComments``), until a text needs the full
    one: then what it has read goes into the slots, and the full reader goes on from there
    (values stay in tree order)."""

    def __init__(self, wanted: List[Tuple[int, _Slot]], n_leaves: int, ca: bool) -> None:
        n_words = max(1, (n_leaves + 63) // 64)
        words = np.zeros((len(wanted), n_words), dtype=np.uint64)
        for c, (m, _) in enumerate(wanted):
            words[c] = np.frombuffer(m.to_bytes(8 * n_words, "little"), dtype="<u8")
        self.reader = NodeComments(n_leaves, words, ca)
        self.wanted = wanted
        self.tables: Dict[int, int] = {}  # id(translate table) -> label table

    def into(self, slots: Dict[int, _Slot], more: bool) -> None:
        """What it has read into the slots, as arrays; growable ones when the full reader
        goes on (``more``)."""
        keys, counts, values, ca = self.reader.take()
        for c, (_, s) in enumerate(self.wanted):
            s.count = int(counts[c])
            for key, numbers, texts in values[c]:
                if len(numbers):
                    s.numbers[keys[key]] = array("d", numbers.tobytes()) if more else numbers
                if texts:
                    s.texts[keys[key]] = dict(texts)
            if ca is not None:
                s.ca_sum = ca[c].tolist() if more else ca[c]


def _read_tree(text: str, t: int, names: Optional[Sequence[str]], cache: Dict[str, int],
               leaf_index: Dict[str, int], slots: Dict[int, _Slot],
               wanted: List[Tuple[int, _Slot]], low_leaf: List[int], ca: bool) -> None:
    """One sample tree's values into the slots of its clades (the full reader)."""
    name = names[t] if names is not None else f"tree {t}"

    def leaf_of(label: str) -> int:
        i = cache.get(label, leaf_index.get(label, -1))
        if i < 0:
            raise TreeTextError(f"tree {name!r}: taxon {label!r} is not among the "
                                "sample's taxa")
        return i

    p = _parse(text, leaf_of, name)
    if any(x is None for x in p.length[1:]):
        raise TreeTextError(f"node heights need branch lengths, but tree {name!r} has "
                            "a branch without one")
    masks = p.masks()
    hs = p.heights()
    for i, m in enumerate(masks):
        s = slots.get(m)
        if s is None:
            continue
        s.count += 1
        nums = s.numbers
        _push(nums, "height", hs[i])
        x = p.length[i]
        _push(nums, "length", 0.0 if x is None else x)
        a = p.attrs[i]
        if a:
            for k, v in a.items():
                if isinstance(v, str):
                    counts = s.texts.setdefault(k, {})
                    counts[v] = counts.get(v, 0) + 1
                elif isinstance(v, float):
                    _push(nums, k, v)  # arrays are not summarised
    if ca:
        node_of_leaf = {lf: i for i, lf in enumerate(p.leaf) if lf >= 0}
        parent = p.parent
        for (m, s), lf in zip(wanted, low_leaf):
            i = node_of_leaf.get(lf, -1)
            while i >= 0 and masks[i] & m != m:
                i = parent[i]
            if i < 0:
                raise TreeTextError(f"tree {name!r} lacks taxa of a clade to annotate")
            s.ca_sum.append(hs[i])


def annotate_splits(targets: Sequence[TargetTree], sd: SplitData, heights: str = "keep",
                    limit: float = 0.0, advance: Optional[Callable[[int], None]] = None,
                    chunk: int = 256, budget: Optional[int] = None) -> List[AnnotatedTree]:
    """As :func:`annotate`, from the split data of rooted trees with branch lengths instead
    of the trees' texts: heights and lengths only (the split data keep no other node
    annotation), the same numbers. Trees are taken ``chunk`` at a time, with whole-array
    steps.

    Medians and HPD intervals need every value of a clade, 16 bytes a tree that holds it
    (a tip: every tree). The clades are taken in groups whose values fit in ``budget``
    bytes (default: 2 bytes a table entry, at least 8 MiB), one pass over the trees per
    group, each group summarized before the next; so memory follows the table, not the
    number of target clades times the trees. ``advance`` gets n trees in all, spread over
    the passes."""
    if heights not in HEIGHTS:
        raise ValueError(f"unknown heights {heights!r}: use one of {', '.join(HEIGHTS)}")
    if not sd.rooted or sd.lengths is None or not sd.has_parents:
        raise ValueError("node heights need rooted trees with branch lengths")
    n = sd.n_trees
    if n == 0:
        raise ValueError("no trees to annotate from")
    n_leaves = len(sd.leaf_names)
    everything = (1 << n_leaves) - 1
    id_of = split_ids_of(sd, [m for tg in targets for m in tg.masks])
    slots: Dict[int, _Slot] = {}
    for tg in targets:
        for m in tg.masks:
            if m not in slots:
                slots[m] = _Slot()
                if m != everything and m not in id_of:
                    slots[m].count = -1  # a clade of no sample tree
    masks = [m for m in slots if m != everything and slots[m].count == 0]
    held = sd.counts().sum(axis=1)
    counts = np.array([held[id_of[m]] for m in masks], dtype=np.int64)
    if budget is None:
        budget = max(8 << 20, 2 * len(sd.ids))
    groups: List[List[int]] = [[]]  # positions in masks
    size = 0
    for k, c in enumerate(counts.tolist()):
        if groups[-1] and size + 16 * c > budget:
            groups.append([])
            size = 0
        groups[-1].append(k)
        size += 16 * c
    root_h: List[np.ndarray] = []
    leaf_of = leaf_of_split(sd)
    plan, row_of = _plan(targets) if heights == "ca" else (_NO_PLAN, {})
    ca = np.zeros(len(plan))  # running sums of the plan rows' heights, tree after tree
    reported = 0
    for g, group in enumerate(groups):
        first = g == 0
        # The values of the group's clades, each clade's in one run in tree order.
        lut = np.full(sd.n_splits, -1, dtype=np.int32)
        lut[[id_of[masks[k]] for k in group]] = np.arange(len(group))
        starts = np.concatenate([[0], np.cumsum(counts[group])]).astype(np.int64)
        filled = np.zeros(len(group), dtype=np.int64)
        got_h = np.empty(int(starts[-1]))
        got_l = np.empty(int(starts[-1]))
        for t0, t1, e0, e1 in sd.chunks(chunk):
            if t0 % _TRIM_EVERY < chunk:
                return_free_memory()
            h, ca_rows = chunk_heights(sd, t0, t1, leaf_of, plan if first else _NO_PLAN)
            if first:
                root_h.append(h[e1 - e0:].copy())  # not a view holding the chunk's heights
                for j in range(ca_rows.shape[1] if len(plan) else 0):
                    ca += ca_rows[:, j]  # only their sums are needed, added in tree order
            try:  # each clade's values after those of the chunks before, in tree order
                gather_by_row(sd.ids[e0:e1], lut, h, sd.lengths[e0:e1], starts, filled, got_h,
                              got_l)
            except ValueError as exc:
                raise RuntimeError(f"kestrilune internal error: {exc}") from None
            del h, ca_rows
            if advance is not None:  # n in all, whatever the number of passes
                now = (g * n + t1) // len(groups)
                advance(now - reported)
                reported = now
        if not np.array_equal(filled, counts[group]):
            raise RuntimeError("kestrilune internal error: clade counts and values differ")
        return_free_memory()
        for j, k in enumerate(group):
            if counts[k]:
                s = slots[masks[k]]
                part = slice(int(starts[j]), int(starts[j + 1]))
                s.summaries["height"] = _summary(got_h[part])
                s.summaries["length"] = _summary(got_l[part])
                s.count = int(counts[k])
        del got_h, got_l
    root = slots[everything]
    root.numbers["height"] = np.concatenate(root_h)
    root.numbers["length"] = np.zeros(n)
    root.count = n
    for m, s in slots.items():
        if s.count < 0:
            s.count = 0
        if heights == "ca":
            s.ca_sum = [float(ca[row_of[m]])]
    return [_finish(tg, slots, n, heights, limit) for tg in targets]


_NO_PLAN = np.zeros((0, 2), dtype=np.int64)

# The passes' temporaries, a few hundred kB each, land all over the heap the reading freed
# and make its pages resident again one by one; handing the free pages back every so many
# trees (under 2 ms each time) keeps the passes within their budget.
_TRIM_EVERY = 2048


def leaf_of_split(sd: SplitData) -> np.ndarray:
    """Per split: its leaf when it holds one leaf, else -1 (int32)."""
    one = np.flatnonzero(sd.split_sizes() == 1)
    out = np.full(sd.n_splits, -1, dtype=np.int32)
    out[one] = np.argmax(sd.member_rows(one), axis=1)
    return out


def group_by_row(rows: np.ndarray, k: int) -> Tuple[np.ndarray, np.ndarray]:
    """Positions grouped by their row (0..k-1; negative rows left out), in position order
    within a group: ``by[bounds[j]:bounds[j + 1]]`` are those of row j."""
    sel = np.flatnonzero(rows >= 0)
    by = sel[np.argsort(rows[sel], kind="stable")]
    return by, np.concatenate([[0], np.cumsum(np.bincount(rows[sel], minlength=k))])


def chunk_heights(sd: SplitData, t0: int, t1: int, leaf_of: np.ndarray,
                  plan: np.ndarray = _NO_PLAN) -> Tuple[np.ndarray, np.ndarray]:
    """Node heights of trees t0..t1 of rooted split data with lengths and parents, as
    TreeAnnotator takes them (see the module notes): the height of every entry
    ``sd.ids[indptr[t0]:indptr[t1]]`` then of every root; and, per row of ``plan`` (see
    :func:`_plan`), the height of its node in each tree, (rows, t1 - t0). ``leaf_of``:
    :func:`leaf_of_split`. Native: the GIL released, Ctrl-C stops it."""
    if not sd.has_parents or sd.lengths is None:
        raise ValueError("node heights need rooted trees with branch lengths")
    e0, e1 = int(sd.indptr[t0]), int(sd.indptr[t1])
    # The chunk alone, its parents computed for it: the whole table's are never held.
    return node_heights(sd.indptr[t0:t1 + 1] - e0, sd.ids[e0:e1], sd.parents_of(t0, t1),
                        sd.lengths[e0:e1], leaf_of, 0, t1 - t0, plan)


def _plan(targets: Sequence[TargetTree]) -> Tuple[np.ndarray, Dict[int, int]]:
    """How every clade of the targets is made in a sample tree, for
    :func:`chunk_heights`: rows (leaf, -1) for a tip, (a, b) for the most recent common
    ancestor of the nodes of rows a and b (one row per further child of a polytomy); and
    the row of every clade."""
    rows: List[Tuple[int, int]] = []
    row_of: Dict[int, int] = {}
    for tg in targets:
        children: List[List[int]] = [[] for _ in tg.masks]
        for j, p in enumerate(tg.parent):
            if p >= 0:
                children[p].append(j)
        for j in range(len(tg.masks) - 1, -1, -1):  # children before parents
            m = tg.masks[j]
            if m in row_of:
                continue
            if tg.leaf[j] >= 0:
                rows.append((tg.leaf[j], -1))
                row_of[m] = len(rows) - 1
                continue
            a = row_of[tg.masks[children[j][0]]]
            for c in children[j][1:]:
                rows.append((a, row_of[tg.masks[c]]))
                a = len(rows) - 1
            row_of[m] = a
    return np.array(rows, dtype=np.int64).reshape(-1, 2), row_of


def _tree_order_sum(values: Union[Sequence[float], np.ndarray]) -> float:
    """0.0 plus each value in turn, rounded after every addition (TreeAnnotator's sum)."""
    return float(np.cumsum(np.asarray(values, dtype=np.float64))[-1]) if len(values) else 0.0


def _java_hash(text: str) -> int:
    h = 0
    for unit in text.encode("utf-16-le").hex(" ", 2).split():  # UTF-16 code units
        h = (31 * h + int(unit[2:] + unit[:2], 16)) & 0xFFFFFFFF
    return h


def _hash_order(values: List[str]) -> List[str]:
    """Text values in the order TreeAnnotator lists them (a Java ``HashMap`` of strings,
    filled in ``values`` order): by bucket, then by insertion. Modes joined with ``+`` and
    ``.set`` follow it."""
    capacity = 16
    while len(values) > 0.75 * capacity:
        capacity *= 2

    def bucket(v: str) -> int:
        h = _java_hash(v)
        return (h ^ (h >> 16)) & (capacity - 1)

    return sorted(values, key=bucket)  # stable: insertion order within a bucket


def _push(nums: Dict[str, "array[float]"], key: str, v: float) -> None:
    a = nums.get(key)
    if a is None:
        a = nums[key] = array("d")
    a.append(v)


_FIRST = ("height", "length")


def _finish(tg: TargetTree, slots: Dict[int, _Slot], n: int, heights: str, limit: float
            ) -> AnnotatedTree:
    hs: List[float] = []
    notes: List[Dict[str, Annotation]] = []
    partial: Set[str] = set()
    for j, m in enumerate(tg.masks):
        s = slots[m]
        summaries = dict(s.summaries)
        for k, a in s.numbers.items():
            summaries[k] = _summary(np.frombuffer(a, dtype=np.float64))
        partial.update(k for k, a in summaries.items() if a.n != s.count)
        partial.update(k for k, c in s.texts.items() if sum(c.values()) != s.count)
        d: Dict[str, Annotation] = {}
        tip = tg.leaf[j] >= 0
        if not tip:
            d["posterior"] = s.count / n
        stats: Dict[str, Tuple[float, Optional[float]]] = {}
        show = tip or s.count / n >= limit
        keys = [k for k in _FIRST if k in summaries] + sorted(k for k in summaries
                                                              if k not in _FIRST)
        for k in keys:
            a = summaries[k]
            stats[k] = (a.mean, a.median)
            if not show:
                continue
            d[k] = a.mean
            if a.varies:
                d[f"{k}_median"] = a.median
                d[f"{k}_95%_HPD"] = a.hpd
                d[f"{k}_range"] = a.range
        if show:
            for k in sorted(s.texts):
                counts = {v: s.texts[k][v] for v in _hash_order(list(s.texts[k]))}
                total = sum(counts.values())
                top = max(counts.values())
                modes = [v for v, c in counts.items() if c == top]
                d[k] = "+".join(modes)
                d[f"{k}.prob"] = top * len(modes) / total
                d[f"{k}.set"] = tuple(counts)
                d[f"{k}.set.prob"] = tuple(c / total for c in counts.values())
        if heights == "keep":
            hs.append(tg.heights[j])  # type: ignore[index]  # checked by annotate()
        elif heights == "ca":
            hs.append(_tree_order_sum(s.ca_sum) / n)
        elif s.count == 0:
            raise ValueError("a clade of the target tree is in none of the sample trees: "
                             "its mean or median height is undefined (use --heights ca)")
        else:
            hs.append(stats["height"][0] if heights == "mean" else stats["height"][1])  # type: ignore[arg-type]
        notes.append(d)
    negative = sum(1 for j, p in enumerate(tg.parent) if p >= 0 and hs[p] - hs[j] < 0)
    return AnnotatedTree(target=tg, heights=hs, annotations=notes, n_trees=n,
                         heights_option=heights, negative_branches=negative,
                         partial=tuple(sorted(partial)),
                         settings={"heights": heights, "limit": limit})


def read_nodes(text: str, leaf_index: Dict[str, int],
               translate: Optional[Dict[str, str]] = None, name: str = "tree"
               ) -> Dict[int, Tuple[Optional[float], Dict[str, Annotation]]]:
    """Every node of a tree's text by its leaf set (an integer, bit l for leaf l): its
    branch length and its annotations (how annotated trees are read back)."""
    def leaf_of(label: str) -> int:
        taxon = translate.get(label, label) if translate else label
        if taxon not in leaf_index:
            raise TreeTextError(f"{name}: taxon {taxon!r} is not among the sample's taxa")
        return leaf_index[taxon]

    p = _parse(text, leaf_of, name)
    return {m: (p.length[i], dict(p.attrs[i] or {})) for i, m in enumerate(p.masks())}

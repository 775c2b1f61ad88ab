"""Summary trees as text: Newick labels and writing, the node layout for drawing,
and the bare topology of a sample tree's Newick text."""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np

__all__ = ["newick_label", "plain_topology", "TreeLayout"]


# ----------------------------------------------------------------------------- Newick


_NEWICK_SPECIAL = set(" \t\r\n()[]':;,")


def newick_label(name: str) -> str:
    """A taxon name as a Newick label: single-quoted (quotes doubled) where needed."""
    if name and not (_NEWICK_SPECIAL & set(name)):
        return name
    return "'" + name.replace("'", "''") + "'"


def _num(x: float, precision: Optional[int]) -> str:
    return repr(float(x)) if precision is None else f"{x:.{precision}g}"


def _laminar_parents(member: np.ndarray) -> np.ndarray:
    """For rows that are pairwise disjoint or nested leaf sets, the row of the smallest
    strict superset of each, or -1: the next link after a row in the size-ordered chain of
    rows holding its first leaf."""
    k, n = member.shape
    rows, leaves = np.nonzero(member)
    sizes = member.sum(axis=1)
    order = np.argsort(leaves * (n + 1) + sizes[rows], kind="stable")
    rows, leaves = rows[order], leaves[order]
    nxt = np.full(len(rows), -1, dtype=np.int64)
    same = leaves[1:] == leaves[:-1]
    nxt[:-1][same] = rows[1:][same]
    first = np.argmax(member, axis=1)
    parent = np.full(k, -1, dtype=np.int64)
    mine = leaves == first[rows]
    parent[rows[mine]] = nxt[mine]
    return parent


@dataclass(frozen=True)
class TreeLayout:
    """A summary tree as nodes: ``rows[j]`` is the row (in ``split_ids``) of node j,
    ``parent[j]`` its parent node (-1: the root), ``leaf[j]`` its lowest leaf index and
    ``size[j]`` its number of leaves. Unrooted trees hang from the outgroup as MrBayes draws
    them; nodes are ordered by size, children before parents."""

    rows: List[int]
    parent: List[int]
    leaf: List[int]
    size: List[int]


def _layout(member: np.ndarray, rooted: bool, outgroup: int) -> TreeLayout:
    member = np.asarray(member, dtype=bool).copy()
    n = member.shape[1]
    if not rooted:  # every split turned to its side without the outgroup
        flip = member[:, outgroup]
        member[flip] = ~member[flip]
    sizes = member.sum(axis=1)
    if not rooted:
        own = np.flatnonzero(sizes == n - 1)  # the outgroup's edge, now every other leaf
        member[own] = False
        member[own, outgroup] = True
        sizes[own] = 1
    rows = np.flatnonzero(sizes < n)
    rows = rows[np.argsort(sizes[rows], kind="stable")]
    return TreeLayout(rows=rows.tolist(), parent=_laminar_parents(member[rows]).tolist(),
                      leaf=np.argmax(member[rows], axis=1).tolist(), size=sizes[rows].tolist())


def _render(member: np.ndarray, support: Optional[np.ndarray], lengths: Optional[np.ndarray],
            labels: Sequence[str], rooted: bool,
            outgroup: int, precision: Optional[int], support_labels: bool = False,
            posterior_key: bool = False,
            comments: Optional[Sequence[Tuple[str, str]]] = None,
            extra: Optional[Sequence[str]] = None) -> str:
    """Newick text of a laminar family of leaf sets (bool rows); children are written in
    the order of their lowest leaf index. ``comments[row]``, when given, is written after
    the node (tips too) and after its branch length, in place of the support; else
    ``extra[row]`` (``key=value,...``) joins the support's keys."""
    lay = _layout(member, rooted, outgroup)
    n = member.shape[1]
    top = len(lay.rows)
    probs = None if support is None else np.asarray(support)[lay.rows].tolist()
    lens = None if lengths is None else np.asarray(lengths)[lay.rows].tolist()
    children: List[List[Tuple[int, str]]] = [[] for _ in range(top + 1)]
    placed = set()
    for j in range(top):  # smaller first: children are done
        if lay.size[j] == 1:
            text = labels[lay.leaf[j]]
            placed.add(lay.leaf[j])
        else:
            text = "(" + ",".join(t for _, t in sorted(children[j])) + ")"
        if comments is not None:
            node_note, branch_note = comments[lay.rows[j]]
            if probs is not None and support_labels and lay.size[j] > 1:
                text += _num(probs[j], precision)
            text += node_note
            if lens is not None and lens[j] == lens[j]:
                text += f":{_num(lens[j], precision)}"
            text += branch_note
        elif lay.size[j] > 1:
            if probs is not None and support_labels:
                text += _num(probs[j], precision)
            if probs is not None:
                value = _num(probs[j], precision)
                more = extra[lay.rows[j]] if extra is not None else ""
                text += (f"[&prob={value},posterior={value}" if posterior_key else
                         f"[&prob={value}") + (f",{more}]" if more else "]")
        if comments is None and lens is not None and lens[j] == lens[j]:  # not NaN
            text += f":{_num(lens[j], precision)}"
        children[top if lay.parent[j] < 0 else lay.parent[j]].append((lay.leaf[j], text))
    for leaf in set(range(n)) - placed:  # a leaf without an edge of its own
        children[top].append((leaf, labels[leaf]))
    return "(" + ",".join(t for _, t in sorted(children[top])) + ");"


_TOPOLOGY_TOKEN = re.compile(r"\[[^\]]*\]|'(?:[^']|'')*'|[(),;:]|[^(),;:\[\]'\s]+|\s+")
_COMMENT = re.compile(r"\[[^\]]*\]")
_LENGTH = re.compile(r":[^,();]*")
_INTERNAL_LABEL = re.compile(r"\)[^,();]+")
_PUNCTUATION = re.compile(r"([(),;]+)")


def plain_topology(newick: str, translate: Optional[Dict[str, str]] = None,
                   _labels: Optional[Dict[str, str]] = None) -> str:
    """A tree's text reduced to its topology: comments, branch lengths and internal labels
    removed, leaf labels translated (and quoted where Newick needs it). Much cheaper than
    rebuilding the tree from its splits, so tables of many topologies use it.
    ``_labels`` caches the quoted label of each translate key between calls."""
    labels = {} if _labels is None else _labels

    def leaf(name: str) -> str:
        text = labels.get(name)
        if text is None:
            text = labels[name] = newick_label(translate.get(name, name) if translate
                                               else name)
        return text

    if "'" not in newick:
        text = "".join((_COMMENT.sub("", newick) if "[" in newick else newick).split())
        text = _INTERNAL_LABEL.sub(")", _LENGTH.sub("", text))
        # What is left between the brackets and commas are the leaf labels (even places).
        parts = _PUNCTUATION.split(text)
        get = labels.get
        parts[::2] = [(get(p) or leaf(p)) if p else p for p in parts[::2]]
        return "".join(parts)
    out: List[str] = []  # quoted labels may hold any character: go token by token
    prev = "("
    after_colon = False
    for tok in _TOPOLOGY_TOKEN.findall(newick):
        if tok[0] == "[" or tok.isspace():
            continue
        if tok in "(),;":
            out.append(tok)
            prev, after_colon = tok, False
        elif tok == ":":
            after_colon = True
        elif after_colon:
            after_colon = False  # the branch length
        elif prev in "(,":  # a leaf label
            out.append(leaf(tok[1:-1].replace("''", "'") if tok[0] == "'" else tok))
            prev = "leaf"
        # any other word is an internal node's label: dropped
    return "".join(out)

"""Taxa of a tree's text, and the text of a tree pruned to some of its taxa: what
``--common-taxa`` needs when the trees of a sample do not all name the same taxa (RevBayes
fossils, *BEAST gene trees).

    >>> leaf_names("((1:0.1,2:0.2):0.3,3:0.4);", {"1": "A", "2": "B", "3": "C"})
    ['A', 'B', 'C']
    >>> prune("((A:0.1,B:0.2):0.3,C:0.4,D:0.5);", {}, {"A", "C", "D"})
    '(A:0.4,C:0.4,D:0.5);'

Labels are read as the module reads them: comments removed, white space removed, quote
characters kept, then named through the translate table when there is one.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Collection, Dict, List, Optional

__all__ = ["leaf_names", "prune"]

_COMMENT = re.compile(r"\[[^\]]*\]")
_LEAF = re.compile(r"[(,]\s*('(?:[^']|'')*'|[^():,;\[\]']+)")
_TOKEN = re.compile(r"\s*(?:(\[[^\]]*\])|([(),:;])|('(?:[^']|'')*'|[^\s()\[\],:;']+))")
_ROOT_MARK = re.compile(r"\s*\[&[RU]\]", re.IGNORECASE)


_BLANK = re.compile(r"\s+")


def leaf_names(newick: str, translate: Dict[str, str]) -> List[str]:
    """The taxa of the leaves of ``newick``, in text order."""
    if "[" in newick:
        newick = _COMMENT.sub("", newick)
    labels = _LEAF.findall(newick)
    if any(not label.isprintable() or " " in label for label in labels):
        labels = [_BLANK.sub("", label) for label in labels]
    get = translate.get
    return [get(label, label) for label in labels if label]


@dataclass
class _Node:
    children: List["_Node"] = field(default_factory=list)
    label: str = ""
    length: Optional[str] = None


def prune(newick: str, translate: Dict[str, str], keep: Collection[str],
          names: Optional[List[str]] = None) -> str:
    """``newick`` with only the leaves whose taxa are in ``keep``: a node left with one
    child is replaced by it (their branch lengths added), comments are dropped but for a
    leading ``[&R]`` / ``[&U]``. The text comes back unchanged when no leaf goes.
    ``names``: its :func:`leaf_names`, when the caller has them."""
    if names is None:
        names = leaf_names(newick, translate)
    if all(n in keep for n in names):
        return newick
    mark = _ROOT_MARK.match(newick)
    root = _parse(newick)
    kept = _prune(root, translate, keep)
    if kept is None:
        raise ValueError("no taxon of the tree is left")
    kept.length = None
    return (mark.group().strip() + " " if mark else "") + _write(kept) + ";"


def _parse(text: str) -> _Node:
    root = _Node()
    stack = [root]
    node = root
    expect_length = False
    for m in _TOKEN.finditer(text):
        comment, punct, word = m.groups()
        if comment is not None:
            continue
        if punct == "(":
            child = _Node()
            node.children.append(child)
            stack.append(child)
            node = child
        elif punct == ",":
            stack.pop()
            child = _Node()
            stack[-1].children.append(child)
            stack.append(child)
            node = child
        elif punct == ")":
            stack.pop()
            node = stack[-1]
        elif punct == ":":
            expect_length = True
        elif punct == ";":
            break
        elif word is not None:
            if expect_length:
                node.length = word
                expect_length = False
            else:
                node.label += word
    return root


def _prune(node: _Node, translate: Dict[str, str], keep: Collection[str]) -> Optional[_Node]:
    if not node.children:
        label = re.sub(r"\s+", "", node.label)
        return node if translate.get(label, label) in keep else None
    children = [c for c in (_prune(c, translate, keep) for c in node.children) if c is not None]
    if not children:
        return None
    if len(children) == 1:
        only = children[0]
        if only.length is not None or node.length is not None:
            only.length = repr(float(only.length or 0) + float(node.length or 0))
        return only
    node.children = children
    return node


def _write(node: _Node) -> str:
    text = node.label
    if node.children:
        text = "(" + ",".join(_write(c) for c in node.children) + ")" + node.label
    return text + (f":{node.length}" if node.length is not None else "")

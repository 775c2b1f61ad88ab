"""Minimal NEXUS tree-file reader for the benchmarks.

Turns a MrBayes ``.t`` or BEAST ``.trees`` file into the four arguments the
pairwise functions take: tree names, an iterator of Newick texts, a list of
translate maps and one map index per tree.  Each ``begin trees;`` block gets
its own translate map (an empty one when the block has no translate table).
The Newick text is everything after the ``=`` of a ``tree`` statement,
annotations such as ``[&U]`` included; the module strips those itself.

The benchmarks use ``kestrilune_tools.reading`` when it is installed (see
``load_tree_file``); this file keeps them working without it.
"""

from __future__ import annotations

import re
from typing import Iterator

_TREE_RE = re.compile(r"^\s*tree\s", re.IGNORECASE)
_BEGIN_TREES_RE = re.compile(r"^\s*begin\s+trees\s*;", re.IGNORECASE)
_TRANSLATE_RE = re.compile(r"^\s*translate\b", re.IGNORECASE)
_END_RE = re.compile(r"^\s*(end|endblock)\s*;", re.IGNORECASE)


def _unquote(token: str) -> str:
    token = token.strip()
    if len(token) >= 2 and token[0] == "'" and token[-1] == "'":
        return token[1:-1].replace("''", "'")
    return token


def _split_outside_quotes(text: str, sep: str) -> list[str]:
    parts, cur, quoted = [], [], False
    for ch in text:
        if ch == "'":
            quoted = not quoted
        if ch == sep and not quoted:
            parts.append("".join(cur))
            cur = []
        else:
            cur.append(ch)
    parts.append("".join(cur))
    return parts


def _parse_translate(body: str) -> dict[str, str]:
    """Entries "number name" separated by commas; names may be quoted or
    hold characters such as | / ( ) unquoted."""
    out: dict[str, str] = {}
    for entry in _split_outside_quotes(body, ","):
        entry = entry.strip()
        if not entry:
            continue
        fields = entry.split(None, 1)
        if len(fields) != 2:
            raise ValueError(f"bad translate entry: {entry!r}")
        key, name = fields
        out[key.strip()] = _unquote(name)
    return out


def _parse_tree_statement(stmt: str) -> tuple[str, str]:
    """Split 'tree NAME [comments] = NEWICK;' into (NAME, NEWICK;)."""
    s = stmt.lstrip()[4:].lstrip()
    if s.startswith("*"):
        s = s[1:].lstrip()
    if s.startswith("'"):
        end = s.index("'", 1)
        while end + 1 < len(s) and s[end + 1] == "'":
            end = s.index("'", end + 2)
        name, s = _unquote(s[: end + 1]), s[end + 1 :]
    else:
        m = re.match(r"[^\s=\[]+", s)
        if not m:
            raise ValueError(f"tree statement without a name: {stmt[:80]!r}")
        name, s = m.group(0), s[m.end() :]
    # Skip comments such as BEAST's [&lnP=...,posterior=...] before the '='.
    s = s.lstrip()
    while s.startswith("["):
        s = s[s.index("]") + 1 :].lstrip()
    if not s.startswith("="):
        raise ValueError(f"tree statement without '=': {stmt[:80]!r}")
    return name, s[1:].strip()


def read_nexus_trees(path: str) -> tuple[list[str], Iterator[str], list[dict[str, str]], list[int]]:
    names: list[str] = []
    newicks: list[str] = []
    maps: list[dict[str, str]] = []
    indices: list[int] = []
    in_trees = False
    pending: list[str] | None = None  # translate block or tree statement being collected
    pending_kind = ""
    with open(path, encoding="utf-8") as fh:
        for line in fh:
            if pending is not None:
                pending.append(line)
                if line.rstrip().endswith(";"):
                    text = "".join(pending)
                    pending = None
                    if pending_kind == "translate":
                        maps[-1] = _parse_translate(text.strip()[len("translate"):].rstrip().rstrip(";"))
                    else:
                        name, nw = _parse_tree_statement(text.replace("\n", ""))
                        names.append(name)
                        newicks.append(nw)
                        indices.append(len(maps) - 1)
                continue
            if not in_trees:
                if _BEGIN_TREES_RE.match(line):
                    in_trees = True
                    maps.append({})
                continue
            if _END_RE.match(line):
                in_trees = False
            elif _TRANSLATE_RE.match(line) or _TREE_RE.match(line):
                pending_kind = "translate" if _TRANSLATE_RE.match(line) else "tree"
                pending = [line.strip()]
                if line.rstrip().endswith(";"):
                    pending = None
                    text = line.strip()
                    if pending_kind == "translate":
                        maps[-1] = _parse_translate(text[len("translate"):].rstrip(";"))
                    else:
                        name, nw = _parse_tree_statement(text)
                        names.append(name)
                        newicks.append(nw)
                        indices.append(len(maps) - 1)
    if not maps:
        raise ValueError(f"{path}: no 'begin trees;' block")
    return names, iter(newicks), maps, indices

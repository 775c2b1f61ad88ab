"""NEXUS files: ``begin trees;`` blocks with their ``translate`` tables and ``tree``
statements."""

from __future__ import annotations

import io
import re
from typing import Dict, List, Optional, Tuple

from .errors import TreeFileError
from .text import (
    Report,
    _comment_end, _decode, _record, _refuse_weighted, _Scan, _skip_blank, _skip_blank_only,
    _Statement,
    _statements, _unquote, _unterminated, _word,
)


def _scan_nexus(stream: io.BufferedIOBase, path: str, scan: _Scan, report: Report = None
                ) -> None:
    block: Optional[bytes] = None
    current_map: Optional[int] = None  # the translate table of the current trees block
    trees_in_block = 0
    for st in _statements(stream, path, report):
        data = st.data
        i = _skip_blank(data, 0) if st.unclosed is None else _skip_blank_only(data, 0)
        if not st.terminated:
            if i < len(data):
                command = _word(data, i)[0].lower()
                # A run still being written stops anywhere in its last tree, inside a
                # [&...] annotation too; tree texts hold no quotes, so an open one is an error.
                if block == b"trees" and command in (b"tree", b"utree") and (
                        st.unclosed is None or st.unclosed[1].startswith("comment")):
                    scan.partial_line = st.line_at(i)
                elif command not in (b"end", b"endblock") or st.unclosed is not None:
                    what = {b"tree": "tree", b"utree": "tree",
                            b"translate": "translate table"}.get(command, "statement")
                    raise _unterminated(st, path, i, what if block == b"trees"
                                        else "statement")
            break
        command, j = _word(data, i)
        command = command.lower()
        if command == b"#nexus":
            i = _skip_blank(data, j)
            command, j = _word(data, i)
            command = command.lower()
        if command == b"begin":
            name, _ = _word(data, _skip_blank(data, j))
            block = name.lower()
            if block == b"trees":
                scan.saw_trees_block = True
                current_map = None
                trees_in_block = 0
        elif command in (b"end", b"endblock"):
            block = None
        elif block != b"trees":
            continue
        elif command == b"translate":
            if current_map is not None:
                where = "a tree" if trees_in_block else "another translate table"
                raise TreeFileError(path, st.line_at(i),
                                    f"translate table after {where} in the same trees block")
            current_map = len(scan.maps)
            scan.maps.append(_parse_translate(st, j, path))
        elif command in (b"tree", b"utree"):
            if current_map is None:
                # Trees before (or without) a translate table keep their labels.
                current_map = len(scan.maps)
                scan.maps.append({})
            _add_tree(st, i, j, path, scan, current_map)
            trees_in_block += 1


def _add_tree(st: _Statement, stmt_i: int, i: int, path: str, scan: _Scan, map_i: int) -> None:
    data = st.data
    i = _skip_blank(data, i)
    if data[i: i + 1] == b"*":  # PAUP marks the default tree with '*'
        i = _skip_blank(data, i + 1)
    name_i = i
    name, i = _word(data, i)
    if b"{" in name and b"}" not in name and data.find(b"}", i) >= 0:
        # ExaBayes names a tree by its partitions too: gen.1000.{0,1}
        i = data.find(b"}", i) + 1
        name = data[name_i:i]
    i = _skip_blank(data, i)  # BEAST writes an annotation between the name and '='
    if data[i: i + 1] != b"=":
        raise TreeFileError(path, st.line_at(stmt_i), "tree statement without '='")
    start = _skip_blank_only(data, i + 1)
    if _skip_blank(data, start) == len(data) - 1:
        raise TreeFileError(path, st.line_at(stmt_i), "tree statement without a tree")
    tree_name = _decode(name, path, st.line_at(stmt_i)) or f"tree_{len(scan.names) + 1}"
    if not scan.names:
        _refuse_weighted(data, start, path, st.line_at(stmt_i), data[stmt_i:start])
    if scan.maps[map_i] and map_i not in scan.checked_maps:
        scan.checked_maps.add(map_i)
        _check_leaf_labels(data[start:], scan.maps[map_i], path, st.line_at(stmt_i), tree_name)
    _record(scan, tree_name, st, start, st.line_at(stmt_i), map_i)


# A branch length that the module reads as NaN or infinite, after an optional [&...] comment.


_COMMENT = re.compile(rb"\[[^\]]*\]")
_LEAF_LABEL = re.compile(rb"(?<=[(,])\s*('(?:[^']|'')*'|[^():,;\[\]']+)")


def _check_leaf_labels(newick: bytes, table: Dict[str, str], path: str, line: int,
                       tree_name: str) -> None:
    """Refuse a tree whose leaf labels the translate table does not know.

    The module turns such a leaf into an unnamed one without a word, so the first tree
    under each table is checked here. Labels are compared as the module reads them: with
    white space removed and quote characters kept.
    """
    for m in _LEAF_LABEL.finditer(_COMMENT.sub(b"", newick)):
        label = re.sub(rb"\s+", b"", m.group(1)).decode("utf-8", "replace")
        if label and label not in table:
            raise TreeFileError(path, line, f"leaf {label!r} of tree {tree_name!r} is not in "
                                            "the translate table")


# A translate body is a list of these tokens; comments are removed through _comment_end.
_TR_TOKEN = re.compile(rb"(?P<ws>\s+)|(?P<q>'(?:[^']|'')*')|(?P<c>\[)|(?P<comma>,)|(?P<semi>;)"
                       rb"|(?P<bare>[^\s\[',;]+)")


def _parse_translate(st: _Statement, i: int, path: str) -> Dict[str, str]:
    data = st.data
    table: Dict[str, str] = {}
    seen_names: Dict[str, str] = {}
    entry: List[Tuple[Optional[str], bytes]] = []
    entry_i = i
    while i < len(data):
        m = _TR_TOKEN.match(data, i)
        if m is None:  # cannot happen: quotes were balanced when the statement was cut
            raise TreeFileError(path, st.line_at(i), "cannot read the translate table here")
        kind = m.lastgroup
        if kind == "c":
            i = _comment_end(data, i)
            continue
        if kind in ("comma", "semi"):
            _add_translate_entry(entry, st, entry_i, path, table, seen_names)
            entry = []
            entry_i = m.end()
        else:
            entry.append((kind, m.group()))
        i = m.end()
    return table


def _add_translate_entry(entry: List[Tuple[Optional[str], bytes]], st: _Statement, entry_i: int,
                         path: str, table: Dict[str, str], seen_names: Dict[str, str]) -> None:
    while entry and entry[0][0] == "ws":
        entry.pop(0)
    while entry and entry[-1][0] == "ws":
        entry.pop()
    if not entry:  # an empty entry, e.g. a comma before the closing ';'
        return
    line = st.line_at(entry_i + _leading_blank(st.data, entry_i))
    kind, key_bytes = entry[0]
    key = _decode(_unquote(key_bytes) if kind == "q" else key_bytes, path, line)
    rest = entry[1:]
    while rest and rest[0][0] == "ws":
        rest.pop(0)
    if not rest:
        raise TreeFileError(path, line, f"translate entry {key!r} has no taxon name")
    if any(k == "ws" for k, _ in rest):
        text = b"".join(t for _, t in rest).decode("utf-8", "replace")
        raise TreeFileError(path, line,
                            f"translate entry {key!r}: taxon name {text!r} has a blank outside "
                            "quotes (quote the name, or is a comma missing?)")
    name = _decode(b"".join(_unquote(t) if k == "q" else t for k, t in rest), path, line)
    if key in table:
        raise TreeFileError(path, line, f"translate table lists {key!r} twice")
    if name in seen_names:
        raise TreeFileError(path, line, f"translate table gives the name {name!r} to both "
                                        f"{seen_names[name]!r} and {key!r}")
    table[key] = name
    seen_names[name] = key


def _leading_blank(data: bytes, i: int) -> int:
    return _skip_blank(data, i) - i

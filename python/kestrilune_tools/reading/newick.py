"""Plain Newick files: one or more trees, each ending with ';', named ``tree_1``,
``tree_2``, ... in file order."""

from __future__ import annotations

import io

from .errors import TreeFileError
from .text import (
    _BOM, Report, _record, _refuse_weighted, _Scan, _skip_blank, _skip_blank_only, _statements,
    _unterminated,
)


def _check_newick_start(head: bytes, path: str) -> None:
    """A file that is neither NEXUS nor starts with a Newick tree is named as such, rather
    than failing on whatever quote or bracket its text happens to hold."""
    if head.startswith(_BOM):
        head = head[len(_BOM):]
    try:
        i = _skip_blank(head, 0)
    except TreeFileError:
        return  # an open comment: the statement scanner gives the line
    if i < len(head) and head[i:i + 1] != b"(":
        start = head[i:i + 30].split(b"\n")[0].decode("utf-8", "replace")
        raise TreeFileError(path, None, f"no trees found: not NEXUS, Newick, nor a "
                                        f"tab-separated tree log such as RevBayes writes "
                                        f"(the file starts with {start!r})")


def _scan_newick(stream: io.BufferedIOBase, path: str, scan: _Scan, report: Report = None
                 ) -> None:
    scan.maps.append({})  # plain Newick trees keep their labels
    for st in _statements(stream, path, report):
        start = _skip_blank_only(st.data, 0)
        if not st.terminated:
            i = _skip_blank(st.data, 0) if st.unclosed is None else start
            if i < len(st.data):
                if st.data[start:start + 1] not in (b"(", b"[") or (
                        st.unclosed is not None and st.unclosed[1].startswith("quote")):
                    raise _unterminated(st, path, start, "tree")
                scan.partial_line = st.line_at(start)
            return
        if _skip_blank(st.data, 0) == len(st.data) - 1:
            raise TreeFileError(path, st.line_at(len(st.data) - 1),
                                "empty tree (';' with no tree before it)")
        if not scan.names:
            _refuse_weighted(st.data, start, path, st.line_at(start))
        _record(scan, f"tree_{len(scan.names) + 1}", st, start, st.line_at(start), 0)

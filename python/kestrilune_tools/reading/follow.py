"""Tree files that a running program is still writing, read as they grow.

    >>> f = GrowingTreeFile("analysis.run1.t")
    >>> batch = f.read_new()      # the trees completed since the last call
    >>> batch.names, batch.newicks, f.translate, f.complete, batch.restarted

Only whole statements are read: a last line without its end of line, or a tree statement
without its closing ``;``, waits for the next call. A file that became shorter than what
was read, or that was replaced by another file of the same name (a restarted run), is read
again from its start, and the batch says so (``restarted``). NEXUS files (MrBayes, BEAST,
RevBayes NEXUS: one ``tree NAME = ...;`` statement after a ``translate`` table), RevBayes
tab-separated logs (an ``Iteration`` column and a tree column, each tree named
``gen.ITERATION``) and Newick lists (one tree a line) are followed; ``complete`` turns true at the NEXUS
``end;`` after the trees. Gzip-compressed files cannot grow and are not followed.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from typing import Dict, List, Optional

__all__ = ["GrowingTreeFile", "NewTrees"]

_TREE = re.compile(r"^\s*tree\s+(\S+?)\s*=\s*(.*)$", re.I | re.S)
_TRANSLATE_ENTRY = re.compile(r"^\s*(\S+)\s+(.+?)\s*$", re.S)


@dataclass
class NewTrees:
    names: List[str] = field(default_factory=list)
    newicks: List[str] = field(default_factory=list)
    restarted: bool = False  # the file was cut or replaced: everything read before is void


class GrowingTreeFile:
    def __init__(self, path: str):
        self.path = path
        self.translate: Dict[str, str] = {}
        self.complete = False
        self._reset()

    def _reset(self) -> None:
        self.translate = {}
        self.complete = False
        self._offset = 0
        self._inode: Optional[int] = None
        self._statement = ""  # a statement begun on earlier lines
        self._in_trees = False
        self._in_translate = False
        self._newick_lines = 0
        self._columns: Optional[List[str]] = None  # a tab-separated log's header

    def read_new(self) -> NewTrees:
        """The trees completed since the last call (none if the file does not exist yet)."""
        out = NewTrees()
        try:
            st = os.stat(self.path)
        except FileNotFoundError:
            return out
        if self._inode is not None and (st.st_ino != self._inode or st.st_size < self._offset):
            self._reset()
            out.restarted = True
        self._inode = st.st_ino
        if st.st_size == self._offset:
            return out
        with open(self.path, "rb") as fh:
            fh.seek(self._offset)
            data = fh.read(st.st_size - self._offset)
        end = data.rfind(b"\n")
        if end < 0:
            return out  # not one whole line yet
        self._offset += end + 1
        for raw in data[:end + 1].decode("utf-8", errors="replace").splitlines():
            self._line(raw, out)
        return out

    def _line(self, line: str, out: NewTrees) -> None:
        text = line.strip()
        if not text or self.complete:
            return
        if self._columns is not None:
            self._row(line, out)
            return
        if not self._in_trees and not self._statement and "\t" in line and \
                any(c.strip().lower() == "iteration" for c in line.split("\t")):
            self._columns = [c.strip() for c in line.split("\t")]
            return
        if not self._in_trees and not self._statement:
            if text.lower().startswith("begin trees"):
                self._in_trees = True
            elif text.startswith("(") and text.endswith(";"):  # a Newick list
                self._newick_lines += 1
                out.names.append(str(self._newick_lines))
                out.newicks.append(text)
            return
        if self._in_translate or text.lower().startswith("translate"):
            self._translate_line(text)
            return
        self._statement = f"{self._statement} {text}" if self._statement else text
        if not self._statement.endswith(";"):
            return
        statement, self._statement = self._statement, ""
        if statement.lower() in ("end;", "endblock;"):
            self.complete = True
            return
        m = _TREE.match(statement)
        if m:
            out.names.append(m.group(1).strip("'\""))
            out.newicks.append(m.group(2).strip())

    def _row(self, line: str, out: NewTrees) -> None:
        cells = line.rstrip("\r\n").split("\t")
        columns = self._columns or []
        trees = [c.strip() for c in cells if c.strip().startswith(("(", "[&"))
                 and c.strip().endswith(";")]
        iteration = [c.strip() for name, c in zip(columns, cells) if name.lower() == "iteration"]
        if len(cells) != len(columns) or not trees or not iteration or \
                not iteration[0].isdigit():
            raise ValueError(f"{self.path}: a row that is not ITERATION ... TREE under the "
                             f"header's {len(columns)} columns: {line[:60]!r}")
        out.names.append(f"gen.{int(iteration[0])}")
        out.newicks.append(trees[0])

    def _translate_line(self, text: str) -> None:
        if text.lower().startswith("translate"):
            self._in_translate = True
            text = text[len("translate"):].strip()
        done = text.endswith(";")
        for entry in text.rstrip(";").split(","):
            m = _TRANSLATE_ENTRY.match(entry)
            if m:
                self.translate[m.group(1)] = m.group(2).strip("'\"")
        if done:
            self._in_translate = False

"""Tab-separated tree logs (RevBayes ``mnFile`` / ``mnStochasticVariable`` ``.trees``): an
optional ``#`` preamble, a header line (``Iteration``, then ``Posterior``, ``Likelihood``,
... and the tree column, whose name varies: ``psi``, ``tree``, ``timetree``, ...), then one
row per sample. The tree column is the one whose first row holds a Newick tree; the
``Iteration`` column gives each tree its name, ``gen.N``. Trees are read as written
(``[&index=N]`` node annotations included: the module drops annotations).

Such a log marks no rooting, and a bifurcating root does not tell (RevBayes writes unrooted
trees with one too): its trees are compared as unrooted unless ``--rooted`` says otherwise,
as any unmarked Newick file."""

from __future__ import annotations

import io
import os
import re
import warnings
from typing import List, Optional

from .errors import TreeFileError, TreeFileWarning
from .text import Report, _record, _Scan, _Statement

_ITERATION = re.compile(rb"\s*iteration\s*$", re.IGNORECASE)


def looks_tabular(head: bytes) -> bool:
    """Whether ``head`` (the file's first bytes) starts like a tab-separated tree log: its
    first line that is not a ``#`` comment has tabs and an ``Iteration`` column."""
    for line in head.split(b"\n")[:64]:
        if line.startswith(b"#") or not line.strip():
            continue
        cells = line.rstrip(b"\r").split(b"\t")
        return len(cells) > 1 and any(_ITERATION.match(c) for c in cells)
    return False


def _is_tree(cell: bytes) -> bool:
    cell = cell.strip()
    return cell.startswith((b"(", b"[&")) and cell.rstrip().endswith(b";")


def _scan_tabular(stream: io.BufferedIOBase, path: str, scan: _Scan, report: Report = None
                  ) -> None:
    scan.maps.append({})  # the trees name their taxa themselves
    raw = getattr(stream, "fileobj", stream)
    offset = stream.tell()
    header: Optional[List[bytes]] = None
    gen_col = tree_col = -1
    for line_no, line in enumerate(stream, start=1):
        start = offset
        offset += len(line)
        if report is not None and line_no % 4096 == 0:
            report(raw.tell())
        text = line.rstrip(b"\r\n")
        if header is None:
            if text.startswith(b"#") or not text.strip():
                continue
            header = text.split(b"\t")
            gen_col = next(i for i, c in enumerate(header) if _ITERATION.match(c))
            if any(c.strip().lower() == b"replicate_id" for c in header):
                stem, ext = os.path.splitext(path)
                warnings.warn(f"{path}: RevBayes combined several runs into this file (its "
                              "Replicate_ID column); its trees are read as one run: give "
                              f"the runs ({stem}_run_1{ext}, ...) to compare them",
                              TreeFileWarning, stacklevel=2)
            continue
        if not text.strip():
            continue
        cells = text.split(b"\t")
        if tree_col < 0:
            found = [i for i, c in enumerate(cells) if _is_tree(c)]
            if not found:
                if not line.endswith(b"\n"):  # the first row, still being written
                    scan.partial_line = line_no
                    return
                raise TreeFileError(path, line_no, "no column of this tab-separated file "
                                    "holds a Newick tree (columns: " +
                                    ", ".join(c.decode("utf-8", "replace") for c in header)
                                    + ")")
            tree_col = found[0]
        if len(cells) != len(header) or not _is_tree(cells[tree_col]):
            if not line.endswith(b"\n"):  # the last row, still being written
                scan.partial_line = line_no
                return
            if len(cells) != len(header):
                raise TreeFileError(path, line_no, f"{len(cells)} columns where the header "
                                                   f"has {len(header)}")
            column = header[tree_col].decode("utf-8", "replace")
            raise TreeFileError(path, line_no, f"column {column!r} holds no Newick tree "
                                               "ending with ';'")
        gen = cells[gen_col].strip()
        if not gen.isdigit():
            raise TreeFileError(path, line_no, f"iteration {gen.decode('utf-8', 'replace')!r}"
                                               " is not a whole number")
        cell_start = sum(len(c) + 1 for c in cells[:tree_col])
        cell = cells[tree_col]
        lead = len(cell) - len(cell.lstrip())
        tree = cell.strip()
        st = _Statement(offset=start + cell_start + lead, line=line_no, data=tree)
        _record(scan, f"gen.{int(gen)}", st, 0, line_no, 0)
    if header is None:
        raise TreeFileError(path, None, "no trees found (a tab-separated file without a "
                                        "header line)")


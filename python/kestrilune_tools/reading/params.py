"""Parameter logs of MCMC runs: one table of numbers per run, a row per sample.

    >>> log = read_params("analysis.run1.p")       # MrBayes; the format is told by content
    >>> log.format, log.names[:3], log.values.shape
    ('mrbayes', ('LnL', 'LnPr', 'TL'), (501, 14))
    >>> logs = read_param_runs(["a.run1.p", "a.run2.p"])   # the same columns in every run
    >>> param_file_for("analysis.run1.t")           # the log written beside a tree file

Formats, each found from the file's first lines, never from its name:

* MrBayes ``.p``: ``[ID: ...]``, then a tab-separated header ``Gen LnL LnPr TL ...``;
* ExaBayes ``ExaBayes_parameters.*``: the same layout, header ``Gen LnPr LnL TL ...``;
* BEAST 1 and 2 ``.log``: ``#`` comment lines, then a header starting ``state`` (BEAST 1)
  or ``Sample`` (BEAST 2);
* RevBayes ``.log`` (``mnModel``, ``mnFile``): a tab-separated header starting
  ``Iteration``;
* PhyloBayes ``.trace``: a header starting ``#iter``, the iteration first on each row.

The first column (generation, state, iteration) gives each sample's position; every other
column is a parameter. Plain or gzip-compressed files are read alike. What cannot be read
is an error naming the file, the line and, for a cell, the column; a last line cut short
by a program still writing is left out with a :class:`ParameterFileWarning`.
"""

from __future__ import annotations

import gzip
import os
import warnings
from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple, Union

import numpy as np

from .errors import FileReadError

__all__ = ["ParameterLog", "ParameterFileError", "ParameterFileWarning", "read_params",
           "read_param_runs", "param_file_for", "PARAMETER_FORMATS"]

# What each format's header starts with, as the error for an unknown file lists them.
PARAMETER_FORMATS = {
    "mrbayes": "MrBayes .p ('[ID: ...]', then 'Gen LnL LnPr ...')",
    "exabayes": "ExaBayes parameters ('[ID: ...]', then 'Gen LnPr LnL ...')",
    "beast": "BEAST 1/2 log (header 'state' or 'Sample' after '#' comments)",
    "revbayes": "RevBayes log (header 'Iteration')",
    "phylobayes": "PhyloBayes trace (header '#iter')",
}

_FIRST_COLUMN = {"state": "beast", "sample": "beast", "iteration": "revbayes",
                 "#iter": "phylobayes"}
_HEAD_LINES = 200  # comment lines looked through for the header
_ROWS_PER_BLOCK = 4096  # rows turned into numbers at a time


class ParameterFileError(FileReadError):
    """A parameter file that cannot be read; the message starts with ``path:line:``."""


class ParameterFileWarning(UserWarning):
    """Something in a parameter file the reader worked around; the message says what."""


@dataclass(frozen=True)
class ParameterLog:
    """One run's parameter samples: ``values[i, j]`` is column ``names[j]`` of sample ``i``,
    taken at ``steps[i]`` (the generation, state or iteration in the file's first column,
    named ``step_name``)."""

    path: str
    format: str  # a key of PARAMETER_FORMATS
    step_name: str
    steps: np.ndarray  # float64, one per row (whole numbers as the programs write them)
    names: Tuple[str, ...]
    values: np.ndarray  # (rows, columns), float64
    dropped_line: Optional[int] = None  # an unfinished last line left out (its number)

    @property
    def n_rows(self) -> int:
        return int(self.values.shape[0])


def _open_text(path: str) -> List[str]:
    with open(path, "rb") as probe:
        magic = probe.read(2)
    opener = gzip.open if magic == b"\x1f\x8b" else open
    with opener(path, "rb") as f:
        data = f.read()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        text = data.decode("latin-1")
    return text.splitlines(keepends=True)


def _cells(line: str, tabbed: bool) -> List[str]:
    body = line.rstrip("\r\n")
    return body.split("\t") if tabbed else body.split()


def _find_header(path: str, lines: List[str]) -> Tuple[int, str, List[str], bool]:
    """(index of the header line, format, column names, tab-separated)."""
    saw_id = False
    for i, line in enumerate(lines[:_HEAD_LINES]):
        text = line.strip()
        if not text:
            continue
        if text.startswith("[ID:") or (text.startswith("[") and text.endswith("]")):
            saw_id = saw_id or text.startswith("[ID:")
            continue
        tabbed = "\t" in line
        names = [c.strip() for c in _cells(line, tabbed)]
        while names and names[-1] == "":
            names.pop()  # a trailing tab after the last name
        first = names[0].lower() if names else ""
        if first == "gen" and len(names) > 2:
            second = names[1].lower()
            if second == "lnpr":
                return i, "exabayes", names, tabbed
            if second == "lnl" or saw_id:
                return i, "mrbayes", names, tabbed
        if first in _FIRST_COLUMN:
            return i, _FIRST_COLUMN[first], names, tabbed
        if text.startswith("#"):
            continue  # BEAST's comment lines before its header
        break
    tried = "; ".join(PARAMETER_FORMATS.values())
    raise ParameterFileError(path, None, f"not a parameter log of a known format (tried: "
                                         f"{tried})")


def _unique(names: List[str]) -> List[str]:
    """Column names made unique: a repeated name gets `` (2)``, `` (3)``..."""
    seen: dict[str, int] = {}
    out = []
    for name in names:
        k = seen.get(name, 0) + 1
        seen[name] = k
        out.append(name if k == 1 else f"{name} ({k})")
    return out


def read_params(path: Union[str, "os.PathLike[str]"]) -> ParameterLog:
    """Read one parameter log (see the module's notes for the formats)."""
    path = os.fspath(path)
    try:
        lines = _open_text(path)
    except OSError as exc:
        raise ParameterFileError(path, None, f"cannot read: {exc.strerror or exc}") from None
    start, fmt, names, tabbed = _find_header(path, lines)
    width = len(names)
    if width < 2:
        raise ParameterFileError(path, start + 1, "the header names no parameter column")
    rows: List[List[str]] = []  # cells not yet turned into numbers
    line_numbers: List[int] = []
    blocks: List[np.ndarray] = []
    dropped: Optional[int] = None
    last = len(lines) - 1
    while last > start and not lines[last].strip():
        last -= 1

    def convert() -> None:
        try:
            blocks.append(np.array(rows, dtype=np.float64))
        except ValueError:
            _locate_bad_cell(path, rows, line_numbers, names)
        rows.clear()
        line_numbers.clear()

    for i in range(start + 1, last + 1):
        line = lines[i]
        if not line.strip() or line.lstrip().startswith(("#", "[")):
            continue
        cells = _cells(line, tabbed)
        if tabbed and len(cells) == width + 1 and cells[-1].strip() == "":
            cells.pop()  # a trailing tab, as some programs write
        unfinished = not line.endswith(("\n", "\r"))
        if i == last and unfinished:
            # A program still writing: the line may stop anywhere, even inside a number.
            dropped = i + 1
            warnings.warn(ParameterFileWarning(
                f"{path}:{i + 1}: the last line is unfinished (no line end; "
                f"{len(cells)} of {width} cells): left out, as from a run still writing"),
                stacklevel=2)
            break
        if len(cells) != width:
            raise ParameterFileError(path, i + 1, f"{len(cells)} cells where the header "
                                                  f"(line {start + 1}) names {width}")
        rows.append(cells)
        line_numbers.append(i + 1)
        if len(rows) == _ROWS_PER_BLOCK:
            convert()
    if rows:
        convert()
    if not blocks:
        raise ParameterFileError(path, None, "no samples after the header")
    table = np.concatenate(blocks) if len(blocks) > 1 else blocks[0]
    names = _unique(names)
    return ParameterLog(path=path, format=fmt, step_name=names[0].lstrip("#"),
                        steps=table[:, 0].copy(), names=tuple(names[1:]),
                        values=np.ascontiguousarray(table[:, 1:]), dropped_line=dropped)


def _locate_bad_cell(path: str, rows: List[List[str]], line_numbers: List[int],
                     names: List[str]) -> None:
    for cells, number in zip(rows, line_numbers):
        for j, cell in enumerate(cells):
            try:
                float(cell)
            except ValueError:
                raise ParameterFileError(path, number, f"column {j + 1} ({names[j]!r}): "
                                                       f"{cell.strip()[:40]!r} is not a "
                                                       "number") from None
    raise ParameterFileError(path, line_numbers[0], "cells that are not numbers")


def read_param_runs(paths: Sequence[Union[str, "os.PathLike[str]"]]) -> List[ParameterLog]:
    """One log per run, in the order given; every run must log the same columns (in any
    order: they are put in the first run's order)."""
    logs = [read_params(p) for p in paths]
    if not logs:
        return logs
    first = logs[0]
    out = [first]
    for log in logs[1:]:
        if log.names == first.names:
            out.append(log)
            continue
        missing = [n for n in first.names if n not in log.names]
        extra = [n for n in log.names if n not in first.names]
        if missing or extra:
            parts = []
            if missing:
                parts.append(f"{log.path} lacks {', '.join(missing)}")
            if extra:
                parts.append(f"{log.path} has {', '.join(extra)} that {first.path} lacks")
            raise ParameterFileError(log.path, None, "the runs log different columns: "
                                                     + "; ".join(parts))
        order = [log.names.index(n) for n in first.names]
        out.append(ParameterLog(path=log.path, format=log.format, step_name=log.step_name,
                                steps=log.steps, names=first.names,
                                values=np.ascontiguousarray(log.values[:, order]),
                                dropped_line=log.dropped_line))
    return out


# ------------------------------------------------------------------------------ pairing

# Tree file ending -> parameter file ending, most specific first.
_PAIRS = ((".t", ".p"),  # MrBayes X.runN.t, X.t
          (".trees", ".log"),  # BEAST 1/2, RevBayes
          (".treelist", ".trace"))  # PhyloBayes


def param_file_for(tree_path: Union[str, "os.PathLike[str]"]) -> Optional[str]:
    """The parameter log its program wrote beside ``tree_path``, if it is there: MrBayes
    ``X.runN.t`` -> ``X.runN.p``, BEAST and RevBayes ``X.trees`` -> ``X.log``, PhyloBayes
    ``X.treelist`` -> ``X.trace``, ExaBayes ``ExaBayes_topologies.R`` ->
    ``ExaBayes_parameters.R`` (plain or ``.gz`` either side)."""
    path = os.fspath(tree_path)
    base = path[:-3] if path.endswith(".gz") else path
    folder, name = os.path.split(base)
    candidates = []
    if name.startswith("ExaBayes_topologies."):
        candidates.append(os.path.join(folder, "ExaBayes_parameters." +
                                       name[len("ExaBayes_topologies."):]))
    for tree_end, param_end in _PAIRS:
        if name.endswith(tree_end) and len(name) > len(tree_end):
            candidates.append(os.path.join(folder, name[: -len(tree_end)] + param_end))
    for c in candidates:
        for p in (c, c + ".gz"):
            if os.path.isfile(p):
                return p
    return None

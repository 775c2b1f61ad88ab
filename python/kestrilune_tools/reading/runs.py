"""Run files of an analysis: a MrBayes analysis named by its base name is read as its runs.

    >>> expand_runs(["analysis"])           # analysis.run1.t, analysis.run2.t, ...
    >>> expand_runs(["a.run1.t", "b.trees"])  # existing files pass through unchanged

A name that is an existing file is kept as it is. Otherwise it is taken as the base name of a
MrBayes analysis, whose runs are ``BASE.run1.t``, ``BASE.run2.t``, ... (or the same names
ending in ``.gz``), in run-number order. A name that is neither is an error that says both
what was looked for and what was not found.
"""

from __future__ import annotations

import glob
import os
import re
from typing import Dict, List, Sequence, Union

__all__ = ["expand_runs"]

_RUN_NUMBER = re.compile(r"\.run(\d+)\.t(\.gz)?$")


def _runs_of(base: str) -> List[str]:
    found: Dict[int, str] = {}
    for path in glob.glob(glob.escape(base) + ".run*.t") + glob.glob(glob.escape(base) +
                                                                    ".run*.t.gz"):
        m = _RUN_NUMBER.search(path)
        if m and os.path.isfile(path) and path[: m.start()] == base:
            number = int(m.group(1))
            if number in found:
                raise FileNotFoundError(f"{base}: run {number} is there twice "
                                        f"({found[number]} and {path}); keep one of them")
            found[number] = path
    return [found[k] for k in sorted(found)]


def expand_runs(paths: Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]
                ) -> List[str]:
    """The tree files named by ``paths``, with MrBayes base names replaced by their runs."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    out: List[str] = []
    for p in paths:
        p = os.fspath(p)
        if os.path.exists(p):
            out.append(p)
            continue
        runs = _runs_of(p)
        if not runs:
            raise FileNotFoundError(f"{p}: no such file, and no MrBayes runs "
                                    f"{p}.run1.t, {p}.run2.t, ... beside it")
        out.extend(runs)
    return out

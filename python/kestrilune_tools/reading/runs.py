"""Run files of an analysis: a MrBayes or RevBayes analysis named by its base name is read
as its runs.

    >>> expand_runs(["analysis"])           # analysis.run1.t, analysis.run2.t, ...
    >>> expand_runs(["out/primates"])       # out/primates_run_1.trees, ..._run_2.trees
    >>> expand_runs(["out/primates.trees"])  # the same, when that file is not there
    >>> expand_runs(["out/myrun"])          # out/ExaBayes_topologies.run-0.myrun, run-1...
    >>> expand_runs(["a.run1.t", "b.trees"])  # existing files pass through unchanged

A name that is an existing file is kept as it is. Otherwise it is taken as the base name of a
MrBayes analysis, whose runs are ``BASE.run1.t``, ``BASE.run2.t``, ... (or the same names
ending in ``.gz``), or of a RevBayes one, whose runs are ``BASE_run_1.trees``, ... (RevBayes
puts ``_run_N`` before the extension of the file name it was given, so ``BASE.EXT`` stands for
``BASE_run_N.EXT``), or the run id of an ExaBayes analysis (``-n ID``), whose cold chains
are ``ExaBayes_topologies.run-0.ID``, ``.run-1.ID``, ... in the same folder, in run-number
order. A name that is none of these is an error that says what was looked for and not found.
"""

from __future__ import annotations

import glob
import os
import re
from typing import Dict, List, Sequence, Union

__all__ = ["expand_runs"]

_RUN_NUMBER = re.compile(r"\.run(\d+)\.t(\.gz)?$")
_REVBAYES_RUN = re.compile(r"_run_(\d+)((?:\.[^./]+)?)(\.gz)?$")
_EXABAYES_RUN = re.compile(r"\.run-(\d+)(\.[^/]+?)(\.gz)?$")


def _runs_of(base: str) -> List[str]:
    return _numbered(base, [base + ".run*.t", base + ".run*.t.gz"], _RUN_NUMBER, "")


def _revbayes_runs_of(name: str) -> List[str]:
    stem, ext = os.path.splitext(name)
    if not ext:
        stem, ext = name, ".trees"
    return _numbered(stem, [stem + "_run_*" + ext, stem + "_run_*" + ext + ".gz"],
                     _REVBAYES_RUN, ext)


def _exabayes_runs_of(name: str) -> List[str]:
    folder, run_id = os.path.split(name)
    if not run_id:
        return []
    base = os.path.join(folder, "ExaBayes_topologies")
    ext = "." + run_id
    return _numbered(base, [base + ".run-*" + ext, base + ".run-*" + ext + ".gz"],
                     _EXABAYES_RUN, ext)


def _numbered(base: str, patterns: List[str], number: "re.Pattern[str]", ext: str
              ) -> List[str]:
    found: Dict[int, str] = {}
    escaped = glob.escape(base)
    for path in (p for pattern in patterns
                 for p in glob.glob(escaped + pattern[len(base):])):
        m = number.search(path)
        if m and os.path.isfile(path) and path[: m.start()] == base and (
                not ext or m.group(2) == ext):
            run = int(m.group(1))
            if run in found:
                raise FileNotFoundError(f"{base}: run {run} is there twice "
                                        f"({found[run]} and {path}); keep one of them")
            found[run] = path
    return [found[k] for k in sorted(found)]


def expand_runs(paths: Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]
                ) -> List[str]:
    """The tree files named by ``paths``, with MrBayes, RevBayes and ExaBayes base names
    replaced by their runs."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    out: List[str] = []
    for p in paths:
        p = os.fspath(p)
        if os.path.exists(p):
            out.append(p)
            continue
        runs = _runs_of(p) or _revbayes_runs_of(p) or _exabayes_runs_of(p)
        if not runs:
            stem, ext = os.path.splitext(p)
            if not ext:
                stem, ext = p, ".trees"
            folder, run_id = os.path.split(p)
            exa = os.path.join(folder, "ExaBayes_topologies.run-0." + run_id)
            raise FileNotFoundError(f"{p}: no such file, no MrBayes runs {p}.run1.t, "
                                    f"{p}.run2.t, ..., no RevBayes runs {stem}_run_1{ext}, "
                                    f"... and no ExaBayes runs {exa}, ... beside it")
        out.extend(runs)
    return out

"""The first tree of a file (NEXUS or Newick, plain or gzip-compressed), read up to its end:
for a single tree such as a summary's target."""

from __future__ import annotations

import os
from typing import Dict, List, Tuple

from .errors import TreeFileError
from .read import PathLike, _scan_file
from .text import _decode

__all__ = ["read_first_tree"]


def read_first_tree(path: PathLike) -> Tuple[str, str, Dict[str, str]]:
    """(name, Newick text, translate table) of the file's first tree. Errors as
    :func:`~kestrilune_tools.reading.read_trees`; a file without trees is a
    :class:`TreeFileError`."""
    path = os.fspath(path)
    found: List[Tuple[str, str, Dict[str, str]]] = []

    def keep(k: int, name: str, text: bytes, line: int, translate: Dict[str, str]) -> None:
        if not found:
            found.append((name, _decode(text, path, line), dict(translate)))

    scan = _scan_file(path, stop_after=1, on_tree=keep)
    if not found:
        raise TreeFileError(path, None, "no trees found" + scan.no_tree_hint())
    return found[0]

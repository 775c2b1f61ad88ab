"""Tree files into a split table in one reading: every byte of every file is read once.

    >>> ts, table = read_table(["run1.t", "run2.t"], burnin="25%", lengths=True)
    >>> table.n_trees == len(ts)     # the trees chosen, in the order of ts.names
    True

The scan of :func:`~kestrilune_tools.reading.read_trees` hands each tree's text over as it
meets it, and the texts go to the engine a chunk at a time (a ``TableBuilder``), so memory
holds one chunk of text beside the table. Which trees the burn-in leaves is known only at
the end of a file when it is a fraction: then every tree is parsed and the table keeps the
chosen ones (``SplitTable.take``, which gives the cells a table of those trees alone would
give). A burn-in given as a count is applied while reading, and only the chosen trees are
parsed.

Errors are the engine's ``TreeSetError`` with the file and line of the tree at fault added
(tree numbers count the trees parsed). A tree that cannot be parsed is an error even inside
the burn-in when the burn-in is a fraction, since it has been parsed.
"""

from __future__ import annotations

import os
from array import array
from typing import Callable, Dict, List, Optional, Sequence, Tuple, Union, cast

import numpy as np

from .. import _engine
from ..reading import TreeSet, parse_burnin, read_trees
from ..reading.burnin import Burnin
from .engine import SplitTable

__all__ = ["read_table", "chosen_rows"]

_CHUNK_TREES = 4096
_CHUNK_CHARS = 16 << 20


def read_table(paths: Union[str, Sequence[str]], burnin: Burnin = 0, thin: int = 1,
               max_trees: Optional[int] = None, *, rooted: bool = False,
               lengths: bool = False, on_progress: Optional[Callable[[int], None]] = None,
               partial_last: str = "skip", every_tree: bool = False
               ) -> Tuple[TreeSet, SplitTable]:
    """The trees of ``paths`` as :func:`~kestrilune_tools.reading.read_trees` chooses them
    (same arguments, same errors and warnings), and their split table (groups: the files),
    from one reading of each file. ``on_progress`` gets the bytes read so far.

    ``every_tree=True``: the table holds every tree the scan found instead, burn-in and
    thinned-out ones included (the trees of ``ts.all_trees()``); :func:`chosen_rows` gives
    the rows of the chosen ones."""
    rule = parse_burnin(burnin)
    keep_all = every_tree or not isinstance(rule, int)
    loader = _Loader(None if keep_all else cast(int, rule), thin, max_trees, rooted, lengths)
    loader.paths = [os.fspath(p) for p in ([paths] if isinstance(paths, (str, os.PathLike))
                                           else paths)]
    ts = read_trees(paths, burnin=rule, thin=thin, max_trees=max_trees,
                    on_progress=on_progress, partial_last=partial_last, on_tree=loader.tree)
    table = loader.finish()
    if not keep_all:
        if table.n_trees != len(ts):
            raise RuntimeError(f"kestrilune internal error: {table.n_trees} trees parsed for "
                               f"{len(ts)} chosen")
    elif not every_tree:
        # Every tree was parsed: keep the chosen ones, in the set's order.
        rows = chosen_rows(ts)
        if len(rows) != table.n_trees or np.any(rows != np.arange(table.n_trees)):
            table = table.take(rows)
    return ts, table


def chosen_rows(ts: TreeSet) -> np.ndarray:
    """The rows of the trees of ``ts`` in the table of every tree its scan found (uint32)."""
    starts = np.cumsum([0] + [f.n_trees for f in ts.files[:-1]], dtype=np.int64)
    rows = starts[np.asarray(ts.file_indices, dtype=np.int64)] + \
        np.asarray(ts.sample_indices, dtype=np.int64)
    return rows.astype(np.uint32)


class _Loader:
    """Gathers the trees the scan hands over and passes them on a chunk at a time."""

    def __init__(self, burnin_count: Optional[int], thin: int, max_trees: Optional[int],
                 rooted: bool, lengths: bool) -> None:
        self.n_skipped_rule = burnin_count  # None: keep every tree
        self.thin, self.max_trees = thin, max_trees
        self.builder = _engine.TableBuilder(rooted=rooted, lengths=lengths)
        self.maps: List[Dict[str, str]] = []
        self.map_ids: Dict[int, int] = {}  # id() of a file's table (kept alive in maps)
        self.names: List[str] = []
        self.texts: List[str] = []
        self.map_indices: List[int] = []
        self.groups: List[int] = []
        self.chars = 0
        # Where each tree handed to the engine comes from, for messages.
        self.paths: List[str] = []
        self.where_file = array("q")
        self.where_line = array("q")
        self.where_name: List[str] = []

    def tree(self, file_i: int, k: int, name: str, newick: str, line: int,
             translate: Dict[str, str]) -> None:
        n_burn = self.n_skipped_rule
        if n_burn is not None:
            if k < n_burn or (k - n_burn) % self.thin:
                return
            if self.max_trees is not None and (k - n_burn) // self.thin >= self.max_trees:
                return
        map_i = self.map_ids.get(id(translate))
        if map_i is None:
            map_i = self.map_ids[id(translate)] = len(self.maps)
            self.maps.append(translate)
        self.names.append(name)
        self.texts.append(newick)
        self.map_indices.append(map_i)
        self.groups.append(file_i)
        self.where_file.append(file_i)
        self.where_line.append(line)
        self.where_name.append(name)
        self.chars += len(newick)
        if len(self.texts) >= _CHUNK_TREES or self.chars >= _CHUNK_CHARS:
            self.flush()

    def flush(self) -> None:
        if not self.texts:
            return
        try:
            self.builder.add(self.names, iter(self.texts), self.maps, self.map_indices,
                             self.groups)
        except _engine.TreeSetError as exc:
            raise self.located(exc) from None
        self.names, self.texts, self.map_indices, self.groups = [], [], [], []
        self.chars = 0

    def finish(self) -> SplitTable:
        self.flush()
        try:
            return cast(SplitTable, self.builder.finish(SplitTable))
        except _engine.TreeSetError as exc:
            raise self.located(exc) from None

    def located(self, exc: BaseException) -> BaseException:
        """The engine's error (a ``TreeSetError``, same kind and index) with the file and
        line of the tree at fault, and for another leaf set those of tree 0 too, whose
        leaf set the others must share."""
        at = getattr(exc, "tree_index", None)
        if at is None or not 0 <= at < len(self.where_line):
            return exc
        named = [at] + ([0] if getattr(exc, "kind", None) == "different_leaf_set" and at else [])
        where = "; ".join(f"tree {i} is {self.paths[self.where_file[i]]} line "
                          f"{self.where_line[i]}, tree {self.where_name[i]!r}" for i in named)
        located = _engine.TreeSetError(f"{exc} ({where})")
        setattr(located, "kind", getattr(exc, "kind", None))  # read-only for callers only
        setattr(located, "tree_index", at)
        return located

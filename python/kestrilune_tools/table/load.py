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
the burn-in when the burn-in is a fraction, since it has been parsed. A tree whose taxa
differ from the first tree's is named with its run and the taxa that differ.

``common_taxa=True`` prunes every tree to the taxa all trees share, as it goes: the taxa the
first tree of every file shares are kept until a tree lacks one of them; then the reading
starts again with fewer (so a file is read again only when a tree after its first one lacks
a taxon that every first tree has).
"""

from __future__ import annotations

import os
from array import array
from dataclasses import replace
from typing import (Callable, Dict, FrozenSet, List, Optional, Sequence, Set, Tuple, Union,
                    cast)

import numpy as np

from .. import _engine
from ..reading import (CommonTaxa, TreeFileError, TreeSet, leaf_names, parse_burnin, prune,
                       read_heads, read_trees)
from ..reading.burnin import Burnin
from ..reading.held import HeldTexts
from .engine import SplitTable

__all__ = ["read_table", "chosen_rows", "machine_memory"]

_CHUNK_TREES = 4096
_CHUNK_CHARS = 2 << 20  # beside the table while it grows: more saves no time


def read_table(paths: Union[str, Sequence[str]], burnin: Burnin = 0, thin: int = 1,
               max_trees: Optional[int] = None, *, rooted: bool = False,
               lengths: bool = False, on_progress: Optional[Callable[[int], None]] = None,
               partial_last: str = "skip", every_tree: bool = False,
               common_taxa: bool = False,
               hold_annotated: bool = False) -> Tuple[TreeSet, SplitTable]:
    """The trees of ``paths`` as :func:`~kestrilune_tools.reading.read_trees` chooses them
    (same arguments, same errors and warnings), and their split table (groups: the files),
    from one reading of each file. ``on_progress`` gets the bytes read so far.

    ``every_tree=True``: the table holds every tree the scan found instead, burn-in and
    thinned-out ones included (the trees of ``ts.all_trees()``); :func:`chosen_rows` gives
    the rows of the chosen ones.

    ``common_taxa=True``: every tree pruned to the taxa all trees share (``ts.common`` says
    which and how many trees lost leaves).

    ``hold_annotated=True``: when the trees carry ``[&...]`` comments on their nodes (which
    the table does not keep), their texts are kept too (compressed past 128 MiB or a 32nd
    of the memory the process may use, whichever is more), and
    ``ts.newicks()`` gives them back without reading the files again; not when the first
    chunk of trees has no such comments, nor beyond an eighth of that memory (the
    files are then read again when asked)."""
    rule = parse_burnin(burnin)
    keep_all = every_tree or not isinstance(rule, int)
    path_list = [os.fspath(p) for p in ([paths] if isinstance(paths, (str, os.PathLike))
                                        else paths)]
    keep: Optional[FrozenSet[str]] = None
    if common_taxa:
        keep = frozenset.intersection(*(frozenset(h.taxa) for h in read_heads(path_list)))
    while True:
        loader = _Loader(None if keep_all else cast(int, rule), thin, max_trees, rooted,
                         lengths, keep, hold_annotated)
        loader.paths = path_list
        try:
            ts = read_trees(path_list, burnin=rule, thin=thin, max_trees=max_trees,
                            on_progress=on_progress, partial_last=partial_last,
                            on_tree=loader.tree)
        except _FewerTaxa as fewer:
            keep = fewer.keep  # a tree lacks some: read again, keeping fewer
            continue
        break
    if keep is not None:
        if len(keep) < 4:
            raise TreeFileError(", ".join(path_list), None,
                                f"the trees share only {len(keep)} taxa "
                                f"({', '.join(sorted(keep)) or 'none'}): too few to compare")
        ts = replace(ts, common=CommonTaxa(kept=tuple(sorted(keep)),
                                           dropped=tuple(sorted(loader.every - keep)),
                                           trees_pruned=loader.n_pruned))
    table = loader.finish()
    held = loader.held if loader.node_comments else None
    if held is not None and keep_all:
        held = held.chosen(chosen_rows(ts).tolist())  # every tree was handed over
    ts = replace(ts, node_comments=loader.node_comments,
                 _held=held if held is not None and len(held) == len(ts) else None)
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


def machine_memory() -> int:
    """The memory this process may use, in bytes: the machine's, or less where a container
    (cgroup) or an rlimit says so (8 GiB where nothing says)."""
    limit = int(_engine.memory_limit())
    return 8 << 30 if limit >= 1 << 62 else limit


class _FewerTaxa(Exception):
    """A tree lacks taxa the pruning keeps: read again keeping only ``keep``."""

    def __init__(self, keep: FrozenSet[str]) -> None:
        super().__init__()
        self.keep = keep


class _Loader:
    """Gathers the trees the scan hands over and passes them on a chunk at a time."""

    def __init__(self, burnin_count: Optional[int], thin: int, max_trees: Optional[int],
                 rooted: bool, lengths: bool, keep: Optional[FrozenSet[str]] = None,
                 hold: bool = False) -> None:
        self.keep = keep  # prune every tree to these taxa
        # The texts handed over, while they may be wanted (hold_annotated).
        self.held: Optional[HeldTexts] = HeldTexts(machine_memory()) if hold else None
        self.every: Set[str] = set()  # the taxa of the trees pruned
        self.n_pruned = 0
        self.node_comments = False  # a [&...] comment inside a tree handed over
        self.added = 0  # trees handed to the engine before the current chunk
        self.first: Optional[Tuple[str, Dict[str, str]]] = None  # tree 0: text, table
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
        self.where_k = array("q")

    def tree(self, file_i: int, k: int, name: str, newick: str, line: int,
             translate: Dict[str, str]) -> None:
        if self.keep is not None:
            names = leaf_names(newick, translate)
            taxa = set(names)
            if not self.keep <= taxa:
                raise _FewerTaxa(self.keep & taxa)
            if len(taxa) > len(self.keep):
                self.every |= taxa
                self.n_pruned += 1
                newick = prune(newick, translate, self.keep, names)
        n_burn = self.n_skipped_rule
        if n_burn is not None:
            if k < n_burn or (k - n_burn) % self.thin:
                return
            if self.max_trees is not None and (k - n_burn) // self.thin >= self.max_trees:
                return
        if not self.node_comments and "[&" in newick:
            self.node_comments = newick.find("[&", newick.find("(")) >= 0
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
        self.where_k.append(k)
        if self.first is None:
            self.first = (newick, translate)
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
        if self.held is not None:
            if self.added == 0 and not self.node_comments:
                self.held = None  # the table keeps all the first chunk holds
            else:
                self.held.add(self.texts)
                if self.held.nbytes > machine_memory() // 8:
                    self.held = None
        self.added += len(self.texts)
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
        message = self.other_taxa(at) if getattr(exc, "kind", None) == "different_leaf_set" \
            else None
        if message is None:
            named = [at] + ([0] if getattr(exc, "kind", None) == "different_leaf_set" and at
                            else [])
            where = "; ".join(f"tree {i} is {self.paths[self.where_file[i]]} line "
                              f"{self.where_line[i]}, tree {self.where_name[i]!r}"
                              for i in named)
            message = f"{exc} ({where})"
        located = _engine.TreeSetError(message)
        setattr(located, "kind", getattr(exc, "kind", None))  # read-only for callers only
        setattr(located, "tree_index", at)
        return located

    def other_taxa(self, at: int) -> Optional[str]:
        """``tree 501 of run 2 (FILE line N, 'gen.50000') lacks Pan, unlike the first tree
        (...)``: the taxa that differ, or None when the texts are no longer at hand."""
        i = at - self.added
        if self.first is None or not 0 <= i < len(self.texts) or at == 0:
            return None
        first = set(leaf_names(*self.first))
        mine = set(leaf_names(self.texts[i], self.maps[self.map_indices[i]]))
        parts = [f"{verb} {_some(taxa)}" for verb, taxa in (("lacks", first - mine),
                                                           ("has", mine - first)) if taxa]
        if not parts:  # the same taxa, one of them twice: the engine's words say it
            return None
        def where(t: int) -> str:
            return (f"{self.paths[self.where_file[t]]} line {self.where_line[t]}, "
                    f"{self.where_name[t]!r}")

        run = f" of run {self.where_file[at] + 1}" if len(self.paths) > 1 else ""
        return (f"tree {self.where_k[at] + 1}{run} ({where(at)}) {' and '.join(parts)}, "
                f"unlike the first tree ({where(0)}); every tree must name the same taxa "
                "(--common-taxa prunes them to the taxa all share)")


def _some(taxa: Set[str]) -> str:
    names = sorted(taxa)
    return ", ".join(names[:6]) + (f" and {len(names) - 6} more" if len(names) > 6 else "")

"""The trees chosen from one or more files (:class:`TreeSet`) and what each file gave
(:class:`TreeFileInfo`); the tree texts are read back from the files on demand, or given back
from memory where the reading kept them (:class:`~.held.HeldTexts`)."""

from __future__ import annotations

import re
from array import array
from dataclasses import dataclass, field, replace
from typing import Dict, Iterator, List, Optional, Sequence, Tuple, TypeVar

from .errors import TreeFileError
from .held import HeldTexts
from .prune import prune
from .text import _decode, _gzip_errors, _open_binary

__all__ = ["TreeFileInfo", "TreeSet", "CommonTaxa"]

_T = TypeVar("_T")


@dataclass(frozen=True)
class TreeFileInfo:
    """What one input file contributed."""

    path: str
    label: str  # short name, unique among the files of one TreeSet
    format: str  # "nexus", "newick" or "revbayes" (a tab-separated tree log)
    compressed: bool
    n_trees: int  # trees in the file
    burnin: int  # trees dropped from its start
    n_used: int  # trees taken into the set, after burn-in, thinning and max_trees
    complete: bool = True  # False when the scan stopped once the trees it needed were found
    partial_last_line: Optional[int] = None  # line of an unfinished last tree, skipped
    rooting: Optional[str] = None  # "R" or "U" when the first tree is marked [&R] or [&U]
    nonfinite_lines: Tuple[int, ...] = ()  # lines of used trees with NaN or infinite lengths

    @property
    def n_after_burnin(self) -> int:
        return self.n_trees - self.burnin


@dataclass(frozen=True)
class CommonTaxa:
    """Trees pruned to the taxa every one of them has (``common_taxa=True``)."""

    kept: Tuple[str, ...]  # the taxa every tree has, sorted
    dropped: Tuple[str, ...]  # the taxa some tree lacks, sorted
    trees_pruned: int  # trees that lost a leaf, among those scanned

    def describe(self) -> str:
        """``pruned 3 of 120 trees to the 11 taxa all trees share (dropped: Pan)``."""
        shown = ", ".join(self.dropped[:8]) + (f" and {len(self.dropped) - 8} more"
                                                if len(self.dropped) > 8 else "")
        return (f"{self.trees_pruned} tree{'s' if self.trees_pruned != 1 else ''} pruned to "
                f"the {len(self.kept)} taxa all trees share (dropped {len(self.dropped)}: "
                f"{shown or 'none'})")


@dataclass(frozen=True)
class TreeSet:
    """The trees chosen from one or more files, ready for the pairwise functions.

    ``names``, ``newicks()``, ``translate_maps`` and ``map_indices`` are the first four
    arguments of every ``kestrilune.pairwise_*`` function. Trees are ordered file by file.
    """

    names: List[str]
    translate_maps: List[Dict[str, str]]
    map_indices: List[int]
    files: List[TreeFileInfo]
    file_indices: List[int]  # index into ``files`` for every tree
    sample_indices: List[int]  # position of every tree in its file, burn-in counted, from 0
    lines: List[int]  # line of every tree's ``tree`` statement (or of its first character)
    _offsets: "array[int]" = field(repr=False)
    _lengths: "array[int]" = field(repr=False)
    _scans: Tuple["_FileTrees", ...] = field(default=(), repr=False,
                                             compare=False)  # per file, every tree
    # Set when the trees are pruned to their common taxa: newicks() gives pruned texts.
    common: Optional[CommonTaxa] = None
    # Whether some tree read holds a [&...] comment inside its Newick (on a node), as the
    # reading that made the split table saw it; None: not looked at.
    node_comments: Optional[bool] = None
    # The texts of the trees, in order, kept by the reading that made the split table: what
    # newicks() gives instead of reading the files again.
    _held: Optional[HeldTexts] = field(default=None, repr=False, compare=False)

    def __len__(self) -> int:
        return len(self.names)

    def all_trees(self) -> "TreeSet":
        """Every tree the scan found, burn-in and thinned-out trees included, file by file;
        ``sample_indices`` are then 0, 1, 2, ... in each file."""
        if not self._scans:
            return self
        names: List[str] = []
        files: List[TreeFileInfo] = []
        maps: List[int] = []
        file_i: List[int] = []
        samples: List[int] = []
        lines: List[int] = []
        offsets: List[int] = []
        lengths: List[int] = []
        for k, (info, sc) in enumerate(zip(self.files, self._scans)):
            n = len(sc.names)
            names += [sc.prefix + name for name in sc.names]
            maps += sc.map_indices
            files.append(replace(info, n_used=n))
            file_i += [k] * n
            samples += range(n)
            lines += sc.lines
            offsets += sc.offsets
            lengths += sc.lengths
        return TreeSet(names=names, translate_maps=self.translate_maps, map_indices=maps,
                       files=files, file_indices=file_i, sample_indices=samples, lines=lines,
                       _offsets=array("q", offsets), _lengths=array("q", lengths),
                       _scans=self._scans, common=self.common)

    def generations(self) -> Optional[List[int]]:
        """The generation of every tree, from the number that ends its name (MrBayes'
        ``gen.N``, BEAST's ``STATE_N``, ExaBayes' ``gen.N.{0}``, the ``Iteration`` column of
        a RevBayes log), or None unless every tree comes from a NEXUS file or a tree log
        and every name ends in a number and the numbers grow within each file."""
        if any(f.format == "newick" for f in self.files):
            return None  # a Newick file's trees are only numbered tree_1, tree_2, ...
        gens = []
        for name in self.names:
            m = _TRAILING_NUMBER.search(name)
            if m is None:
                return None
            gens.append(int(m.group(1)))
        for a, b, fa, fb in zip(gens, gens[1:], self.file_indices, self.file_indices[1:]):
            if fa == fb and b <= a:
                return None
        return gens

    def newicks(self) -> Iterator[str]:
        """A fresh lazy iterator over the Newick texts, in the order of ``names``."""
        if self._held is not None:
            return iter(self._held)
        return self._read_newicks()

    def subset(self, indices: Sequence[int]) -> "TreeSet":
        """The trees at ``indices`` (ascending, no repeats) as a TreeSet of their own."""
        indices = list(indices)
        if any(b <= a for a, b in zip(indices, indices[1:])):
            raise ValueError("subset indices must be strictly ascending")
        per_file = [0] * len(self.files)
        for i in indices:
            per_file[self.file_indices[i]] += 1
        def pick(values: Sequence[_T]) -> List[_T]:
            return [values[i] for i in indices]

        return TreeSet(names=pick(self.names), translate_maps=self.translate_maps,
                       map_indices=pick(self.map_indices),
                       files=[replace(f, n_used=k) for f, k in zip(self.files, per_file)],
                       file_indices=pick(self.file_indices),
                       sample_indices=pick(self.sample_indices), lines=pick(self.lines),
                       _offsets=array("q", pick(self._offsets)),
                       _lengths=array("q", pick(self._lengths)), common=self.common,
                       node_comments=self.node_comments,
                       _held=None if self._held is None else self._held.chosen(indices))

    def locate(self, tree_i: int) -> str:
        """Where tree ``tree_i`` comes from, as ``"FILE line N, tree 'NAME'"``."""
        info = self.files[self.file_indices[tree_i]]
        return f"{info.path} line {self.lines[tree_i]}, tree {self.names[tree_i]!r}"

    def _read_newicks(self) -> Iterator[str]:
        tree_i = 0
        keep = frozenset(self.common.kept) if self.common is not None else frozenset()
        for info in self.files:
            if info.n_used == 0:
                continue
            with _open_binary(info.path) as stream, _gzip_errors(info.path):
                for k in range(tree_i, tree_i + info.n_used):
                    # Offsets only grow within a file, so a gzip stream only reads forward.
                    stream.seek(self._offsets[k])
                    data = stream.read(self._lengths[k])
                    if len(data) != self._lengths[k] or not data.endswith(b";"):
                        raise TreeFileError(info.path, self.lines[k],
                                            "file changed while it was being read")
                    text = _decode(data, info.path, self.lines[k])
                    if self.common is not None:
                        text = prune(text, self.translate_maps[self.map_indices[k]], keep)
                    yield text
            tree_i += info.n_used


@dataclass(frozen=True)
class _FileTrees:
    """Every tree one file's scan found (for TreeSet.all_trees)."""

    prefix: str
    names: List[str]
    lines: List[int]
    offsets: "array[int]"
    lengths: "array[int]"
    map_indices: List[int]


# The number that ends a tree's name, before an ExaBayes ".{partitions}" suffix.
_TRAILING_NUMBER = re.compile(r"(\d+)(?:\.\{[^{}]*\})?\s*$")

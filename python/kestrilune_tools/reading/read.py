"""Read posterior tree samples into the arguments of the ``kestrilune`` pairwise functions.

One call does it all::

    from kestrilune_tools import read_trees
    ts = read_trees(["run1.t", "run2.t"], burnin="25%", thin=2)
    kestrilune.pairwise_rf_from_newick_iter(
        ts.names, ts.newicks(), ts.translate_maps, ts.map_indices)

Accepted files, plain or gzip-compressed (recognised by their first two bytes):

* NEXUS files with one or more ``begin trees;`` blocks: an optional ``translate`` table
  (its own per file, or per block, so two runs may number their taxa differently) and
  ``tree NAME = ...;`` statements in any letter case, ``utree`` too, with a ``[&...]``
  annotation allowed between the name and ``=`` (BEAST) and the tree spread over any number
  of lines. NEXUS comments (``[...]``, nested) may stand anywhere between tokens.
* Plain Newick files: one or more trees, each ending with ``;``. Their trees are named
  ``tree_1``, ``tree_2``, ... in file order.

Translate tables: keys are the labels as the trees write them (normally numbers); values are
taxon names with the single quotes removed and ``''`` turned into ``'``. An unquoted name runs
to the ``,`` or ``;`` that ends its entry, so names such as ``A|B/C(1)`` need no quotes; an
unquoted name with a blank in it is refused, since it almost always hides a missing comma.
The first tree under each table is checked for leaf labels the table lacks (the module would
leave such leaves unnamed without a word).

The reader never changes the tree text: ``[&...]`` annotations and quoted labels inside a tree
go to the module as written (the module removes the annotations itself). Note that the module
does not treat single quotes as quoting, so a quoted label in a file *without* a translate
table keeps its quote characters in the leaf name.

Selection is per file: ``burnin`` (a count, or a fraction such as ``0.25`` or ``"25%"``),
then every ``thin``-th tree, then at most ``max_trees`` trees from the start of what is left.

A file still being written (an MCMC run in progress) usually ends inside its last tree: that
tree is skipped with a :class:`TreeFileWarning`, and ``TreeFileInfo.partial_last_line`` names
its line (``partial_last="error"`` refuses the file instead). The trees before it are used.

Memory: a first streaming pass records each tree's name, line and byte range; ``newicks()``
re-reads the trees one at a time (seeking in plain files, reading forward through gzip), so the
file's text is never held in full. One statement may not exceed ``MAX_STATEMENT_BYTES`` (a
file without ';' is not read into memory whole), and when the burn-in is a count the scan
stops once the trees that ``thin`` and ``max_trees`` pick have been found.
"""

from __future__ import annotations

import gzip
import os
import re
import warnings
from array import array
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Sequence, Set, Tuple, Union, cast

from .burnin import Burnin, parse_burnin, _burnin_count
from .errors import TreeFileError, TreeFileWarning
from .newick import _check_newick_start, _scan_newick
from .nexus import _scan_nexus
from .tabular import _scan_tabular, looks_tabular
from .text import (_BOM, Report, _decode, _gzip_errors, _open_binary, _Scan, _skip_blank,
                   _Stop, _word)
from .prune import leaf_names
from .treeset import CommonTaxa, TreeFileInfo, TreeSet, _FileTrees

__all__ = ["read_trees", "read_heads", "FileHead", "TreeSink"]

_SNIFF = 1 << 16  # bytes looked at to tell NEXUS from Newick

PathLike = Union[str, "os.PathLike[str]"]


def read_trees(paths: Union[PathLike, Sequence[PathLike]], burnin: Burnin = 0, thin: int = 1,
               max_trees: Optional[int] = None,
               on_progress: Optional[Callable[[int], None]] = None,
               partial_last: str = "skip", on_tree: Optional[TreeSink] = None,
               common_taxa: bool = False) -> TreeSet:
    """Read tree files into a :class:`TreeSet`.

    Args:
        paths: one path or a list of paths (NEXUS or Newick, plain or gzip-compressed).
        burnin: trees to drop from the start of EACH file: a count (``250``) or a fraction
            (``0.25``, ``"25%"``), a fraction being rounded down per file.
        thin: keep every ``thin``-th tree after the burn-in, starting with the first.
        max_trees: keep at most this many trees PER FILE (the first ones after burn-in and
            thinning), so several runs stay equally represented. None keeps all.
        on_progress: called now and then with the number of bytes read so far from the
            files (as stored on disk, so compressed bytes for a gzip file).
        partial_last: what to do with a file whose last tree is cut off (a run still being
            written): ``"skip"`` leaves that tree out with a :class:`TreeFileWarning`,
            ``"error"`` raises :class:`TreeFileError`.
        on_tree: called with each tree as the scan meets it, burn-in included, in file
            order: ``on_tree(file_i, k, name, newick, line, translate)`` (``k``: its index
            in the file; ``name`` as in ``TreeSet.names``; ``translate``: its file's table,
            empty for none). With it, the files need not be read again for the texts.
        common_taxa: prune every tree to the taxa that all trees scanned share
            (``TreeSet.common`` says which and how many trees lost leaves; ``newicks()``
            gives the pruned texts). Without it, trees that name different taxa are an
            error when they are compared.

    Raises:
        TreeFileError: a file is malformed or has no trees, the burn-in leaves a file empty,
            or fewer than 2 trees are left in all.
        OSError: a file cannot be opened.
        ValueError: an option is out of range.
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    paths = cast(List[str], [os.fspath(p) for p in paths])
    if not paths:
        raise ValueError("no tree files given")
    burnin_rule = parse_burnin(burnin)
    if isinstance(thin, bool) or not isinstance(thin, int) or thin < 1:
        raise ValueError(f"thin must be a positive integer, got {thin!r}")
    if max_trees is not None and (isinstance(max_trees, bool) or not isinstance(max_trees, int)
                                  or max_trees < 1):
        raise ValueError(f"max_trees must be a positive integer or None, got {max_trees!r}")
    if partial_last not in ("skip", "error"):
        raise ValueError(f"partial_last must be 'skip' or 'error', got {partial_last!r}")

    labels = _file_labels(paths)
    names: List[str] = []
    map_ids: Dict[Tuple[Tuple[str, str], ...], int] = {}
    translate_maps: List[Dict[str, str]] = []
    map_indices: List[int] = []
    files: List[TreeFileInfo] = []
    file_indices: List[int] = []
    sample_indices: List[int] = []
    lines: List[int] = []
    offsets = array("q")
    lengths = array("q")

    scans = []
    bytes_before = 0
    taxa = _TaxaSeen() if common_taxa else None
    if taxa is not None:
        on_tree = taxa.wrap(on_tree)
    for file_i, path in enumerate(paths):
        report = None
        if on_progress is not None:
            report = (lambda base: lambda pos: on_progress(base + pos))(bytes_before)
        # With a burn-in count the trees needed are known before the scan: stop there.
        stop_after = None
        if isinstance(burnin_rule, int) and max_trees is not None:
            stop_after = burnin_rule + (max_trees - 1) * thin + 1
        prefix = f"{labels[file_i]}:" if len(paths) > 1 else ""
        sink = None if on_tree is None else _sink(on_tree, file_i, path, prefix)
        scan = _scan_file(path, report, stop_after, sink)
        bytes_before += scan.raw_size
        if _HEATED.search(os.path.basename(path)):
            warnings.warn(f"{path}: a heated chain of ExaBayes (.hot-K): its trees are no "
                          "sample of the posterior (the cold chain's file has no .hot-K)",
                          TreeFileWarning, stacklevel=2)
        n_trees = len(scan.names)
        if scan.partial_line is not None:
            if partial_last == "error":
                raise TreeFileError(path, scan.partial_line,
                                    "tree is not terminated by ';' (file truncated?)")
            warnings.warn(f"{path}:{scan.partial_line}: the last tree is unfinished (file "
                          "truncated, or still being written); it is left out",
                          TreeFileWarning, stacklevel=2)
        if n_trees == 0:
            raise TreeFileError(path, None, "no trees found" + scan.no_tree_hint())
        n_burn = _burnin_count(burnin_rule, n_trees)
        if n_burn >= n_trees:
            raise TreeFileError(path, None, f"burn-in of {_trees(n_burn)} leaves none of "
                                            f"its {_trees(n_trees)}")
        chosen = range(n_burn, n_trees, thin)
        if max_trees is not None:
            chosen = chosen[:max_trees]
        block_map_index = []
        for tmap in scan.maps:
            key = tuple(tmap.items())
            if key not in map_ids:
                map_ids[key] = len(translate_maps)
                translate_maps.append(tmap)
            block_map_index.append(map_ids[key])
        for k in chosen:
            names.append(prefix + scan.names[k])
            map_indices.append(block_map_index[scan.map_of[k]])
            file_indices.append(file_i)
            sample_indices.append(k)
            lines.append(scan.lines[k])
            offsets.append(scan.offsets[k])
            lengths.append(scan.lengths[k])
        nonfinite = tuple(scan.lines[k] for k in scan.nonfinite if k in chosen)
        files.append(TreeFileInfo(path=path, label=labels[file_i], format=scan.format,
                                  compressed=scan.compressed, n_trees=n_trees, burnin=n_burn,
                                  n_used=len(chosen), complete=scan.complete,
                                  partial_last_line=scan.partial_line, rooting=scan.rooting,
                                  nonfinite_lines=nonfinite))
        scans.append(_FileTrees(prefix=prefix, names=scan.names, lines=scan.lines,
                                offsets=scan.offsets, lengths=scan.lengths,
                                map_indices=[block_map_index[m] for m in scan.map_of]))

    if len(names) < 2 and max_trees is not None and max_trees * len(files) < 2:
        raise TreeFileError(", ".join(paths), None,
                            f"at most {_trees(max_trees)} per file (max_trees) leaves "
                            f"{_trees(len(names))} in all; at least 2 are needed")
    if len(names) < 2:
        detail = ", ".join(f"{f.label}: {_trees(f.n_trees)}, burn-in {f.burnin}" for f in files)
        raise TreeFileError(", ".join(paths), None,
                            f"only {_trees(len(names))} left after burn-in and thinning "
                            f"({detail}); at least 2 are needed")
    common = None if taxa is None else taxa.result()
    if common is not None and len(common.kept) < 4:
        raise TreeFileError(", ".join(paths), None,
                            f"the trees share only {len(common.kept)} taxa "
                            f"({', '.join(common.kept) or 'none'}): too few to compare")
    return TreeSet(names=names, translate_maps=translate_maps, map_indices=map_indices,
                   files=files, file_indices=file_indices, sample_indices=sample_indices,
                   lines=lines, _offsets=offsets, _lengths=lengths, _scans=tuple(scans),
                   common=common)


class _TaxaSeen:
    """The taxa of every tree scanned: those all share, those some lack."""

    def __init__(self) -> None:
        self.shared: Optional[Set[str]] = None
        self.every: Set[str] = set()
        self.sizes = array("q")

    def wrap(self, on_tree: Optional[TreeSink]) -> TreeSink:
        def told(file_i: int, k: int, name: str, newick: str, line: int,
                 translate: Dict[str, str]) -> None:
            taxa = set(leaf_names(newick, translate))
            self.sizes.append(len(taxa))
            self.every |= taxa
            self.shared = taxa if self.shared is None else self.shared & taxa
            if on_tree is not None:
                on_tree(file_i, k, name, newick, line, translate)

        return told

    def result(self) -> CommonTaxa:
        shared = self.shared or set()
        return CommonTaxa(kept=tuple(sorted(shared)), dropped=tuple(sorted(self.every - shared)),
                          trees_pruned=sum(1 for n in self.sizes if n > len(shared)))


@dataclass(frozen=True)
class FileHead:
    """What a tree file says before and at its first tree."""

    path: str
    rooting: Optional[str]  # "R" or "U": the [&R] / [&U] mark of the first tree
    translate: Dict[str, str]  # the first tree's translate table (empty for none)
    taxa: Tuple[str, ...] = ()  # the first tree's taxa, in text order


def read_heads(paths: Sequence[PathLike]) -> List[FileHead]:
    """Each file read only up to the end of its first tree: what a caller must know before
    it reads the trees (how they are rooted, which taxa they name). Errors as
    :func:`read_trees` (a file without trees: :class:`TreeFileError`)."""
    heads = []
    for path in (os.fspath(p) for p in paths):
        first: List[Tuple[str, ...]] = []

        def told(k: int, name: str, text: bytes, line: int, translate: Dict[str, str]) -> None:
            first.append(tuple(leaf_names(_decode(text, path, line), translate)))

        scan = _scan_file(path, stop_after=1, on_tree=told)
        if not scan.names:
            raise TreeFileError(path, None, "no trees found" + scan.no_tree_hint())
        heads.append(FileHead(path=path, rooting=scan.rooting,
                              translate=scan.maps[scan.map_of[0]] if scan.maps else {},
                              taxa=first[0]))
    return heads


# on_tree(file_i, k, name, newick, line, translate)
TreeSink = Callable[[int, int, str, str, int, Dict[str, str]], None]


def _sink(on_tree: TreeSink, file_i: int, path: str, prefix: str
          ) -> Callable[[int, str, bytes, int, Dict[str, str]], None]:
    def told(k: int, name: str, text: bytes, line: int, translate: Dict[str, str]) -> None:
        on_tree(file_i, k, prefix + name, _decode(text, path, line), line, translate)

    return told


# ExaBayes names the files of its heated chains ExaBayes_topologies.RUN.ID.hot-K.
_HEATED = re.compile(r"_topologies\..*\.hot-\d+(\.gz)?$")


def _trees(n: int) -> str:
    return f"{n} tree" if n == 1 else f"{n} trees"


def _file_labels(paths: List[str]) -> List[str]:
    """Base names when they are unique, otherwise the paths as given."""
    bases = [os.path.basename(p) or p for p in paths]
    if len(set(bases)) == len(bases):
        return bases
    return list(paths)


def _scan_file(path: str, report: Report = None, stop_after: Optional[int] = None,
               on_tree: Optional[Callable[[int, str, bytes, int, Dict[str, str]], None]] = None
               ) -> _Scan:
    with _open_binary(path) as stream, _gzip_errors(path):
        head = stream.read(_SNIFF)
        compressed = isinstance(stream, gzip.GzipFile)
        _check_text(head, path)
        # A byte-order mark is no part of the first token (or of the first leaf name).
        stream.seek(len(_BOM) if head.startswith(_BOM) else 0)
        scan = _Scan(format=_sniff_format(head), compressed=compressed,
                     raw_size=os.fstat(getattr(stream, "fileobj", stream).fileno()).st_size,
                     stop_after=stop_after, on_tree=on_tree)
        if scan.format == "newick":
            _check_newick_start(head, path)
        try:
            if scan.format == "nexus":
                _scan_nexus(stream, path, scan, report)
            elif scan.format == "revbayes":
                _scan_tabular(stream, path, scan, report)
            else:
                _scan_newick(stream, path, scan, report)
        except _Stop:
            scan.complete = False
    return scan


def _check_text(head: bytes, path: str) -> None:
    if head.startswith((b"\xff\xfe", b"\xfe\xff")) or (
            len(head) >= 8 and (head[1:200:2].count(0) > len(head[1:200:2]) // 2
                                or head[0:200:2].count(0) > len(head[0:200:2]) // 2)):
        raise TreeFileError(path, None, "text is not UTF-8: it looks like UTF-16 (save the "
                                        "file as UTF-8)")
    if b"\0" in head:
        raise TreeFileError(path, None, "not a text file (it holds NUL bytes)")


def _sniff_format(head: bytes) -> str:
    if head.startswith(_BOM):
        head = head[len(_BOM):]
    head = head.lstrip()
    if head[:6].lower() == b"#nexus":
        return "nexus"
    # A NEXUS file that lost its first line still starts with a block.
    first, _ = _word(head, _skip_blank(head, 0)) if head else (b"", 0)
    if first.lower() == b"begin":
        return "nexus"
    return "revbayes" if looks_tabular(head) else "newick"

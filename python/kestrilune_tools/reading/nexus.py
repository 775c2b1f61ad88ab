"""Read posterior tree samples into the arguments of the ``kestrilune`` pairwise functions.

One call does it all::

    from kestrilune_tools.reading.nexus import read_trees
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
import zlib
from array import array
from contextlib import contextmanager
from dataclasses import dataclass, field, replace
from fractions import Fraction
from typing import Callable, Dict, Iterator, List, Optional, Sequence, Set, Tuple, Union

__all__ = ["TreeFileError", "TreeFileWarning", "TreeFileInfo", "TreeSet", "read_trees",
           "parse_burnin", "MAX_STATEMENT_BYTES"]

_CHUNK = 1 << 20
_SNIFF = 1 << 16  # bytes looked at to tell NEXUS from Newick
_BOM = b"\xef\xbb\xbf"
MAX_STATEMENT_BYTES = 1 << 30  # far above any real tree (a 10^6-leaf tree with annotations)
_GZIP_MAGIC = b"\x1f\x8b"

PathLike = Union[str, "os.PathLike[str]"]
Burnin = Union[int, float, str]


class TreeFileError(ValueError):
    """A tree file that cannot be read as asked; the message starts with ``path:line:``."""

    def __init__(self, path: str, line: Optional[int], reason: str):
        self.path = str(path)
        self.line = line
        self.reason = reason
        where = self.path if line is None else f"{self.path}:{line}"
        super().__init__(f"{where}: {reason}")


class TreeFileWarning(UserWarning):
    """Something in a tree file that the reader worked around; the message says what."""


@dataclass(frozen=True)
class TreeFileInfo:
    """What one input file contributed."""

    path: str
    label: str  # short name, unique among the files of one TreeSet
    format: str  # "nexus" or "newick"
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
    _scans: tuple = field(default=(), repr=False, compare=False)  # per file, every tree

    def __len__(self) -> int:
        return len(self.names)

    def all_trees(self) -> "TreeSet":
        """Every tree the scan found, burn-in and thinned-out trees included, file by file;
        ``sample_indices`` are then 0, 1, 2, ... in each file."""
        if not self._scans:
            return self
        names, maps, files, file_i, samples, lines, offsets, lengths = ([] for _ in range(8))
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
                       _scans=self._scans)

    def generations(self) -> Optional[List[int]]:
        """The generation of every tree, from the number that ends its name (MrBayes'
        ``gen.N``, BEAST's ``STATE_N``), or None unless every tree comes from a NEXUS file
        and every name ends in a number and the numbers grow within each file."""
        if any(f.format != "nexus" for f in self.files):
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
        return self._read_newicks()

    def subset(self, indices: Sequence[int]) -> "TreeSet":
        """The trees at ``indices`` (ascending, no repeats) as a TreeSet of their own."""
        indices = list(indices)
        if any(b <= a for a, b in zip(indices, indices[1:])):
            raise ValueError("subset indices must be strictly ascending")
        per_file = [0] * len(self.files)
        for i in indices:
            per_file[self.file_indices[i]] += 1
        pick = lambda values: [values[i] for i in indices]  # noqa: E731
        return TreeSet(names=pick(self.names), translate_maps=self.translate_maps,
                       map_indices=pick(self.map_indices),
                       files=[replace(f, n_used=k) for f, k in zip(self.files, per_file)],
                       file_indices=pick(self.file_indices),
                       sample_indices=pick(self.sample_indices), lines=pick(self.lines),
                       _offsets=array("q", pick(self._offsets)),
                       _lengths=array("q", pick(self._lengths)))

    def locate(self, tree_i: int) -> str:
        """Where tree ``tree_i`` comes from, as ``"FILE line N, tree 'NAME'"``."""
        info = self.files[self.file_indices[tree_i]]
        return f"{info.path} line {self.lines[tree_i]}, tree {self.names[tree_i]!r}"

    def _read_newicks(self) -> Iterator[str]:
        tree_i = 0
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
                    yield _decode(data, info.path, self.lines[k])
            tree_i += info.n_used


# ----------------------------------------------------------------------------- options


def parse_burnin(value: Burnin) -> Union[int, Fraction]:
    """Turn a burn-in option into a tree count (``int``) or a fraction (``Fraction``).

    ``10``, ``"10"``: ten trees. ``0.1``, ``"0.1"``, ``"10%"``: a tenth of each file.
    """
    if isinstance(value, bool):
        raise ValueError(f"invalid burn-in {value!r}")
    if isinstance(value, int):
        count: Union[int, Fraction] = value
    elif isinstance(value, Fraction):
        count = value
        if count >= 1:
            raise ValueError(f"burn-in fraction must be below 1, got {value}")
    elif isinstance(value, float):
        # repr() gives the shortest text of the float, so 0.29 becomes exactly 29/100.
        count = Fraction(repr(value))
        if count >= 1:
            raise ValueError(f"burn-in fraction must be below 1, got {value!r}"
                             " (write an integer for a number of trees)")
    elif isinstance(value, str):
        text = value.strip()
        try:
            if text.endswith("%"):
                count = Fraction(text[:-1].strip()) / 100
                if count >= 1:
                    raise ValueError
            elif re.fullmatch(r"[+-]?\d+", text):
                count = int(text)
            else:
                count = Fraction(text)
                if count >= 1:
                    raise ValueError
        except (ValueError, ZeroDivisionError):
            raise ValueError(f"invalid burn-in {value!r}: give a number of trees (250), "
                             "a fraction below 1 (0.25) or a percentage (25%)") from None
    else:
        raise ValueError(f"invalid burn-in {value!r}")
    if count < 0:
        raise ValueError(f"burn-in must not be negative, got {value!r}")
    return count


def _burnin_count(burnin: Union[int, Fraction], n_trees: int) -> int:
    if isinstance(burnin, Fraction):
        return int(burnin * n_trees)  # floor, exact for a Fraction
    return burnin


# ----------------------------------------------------------------------------- reading


def read_trees(paths: Union[PathLike, Sequence[PathLike]], burnin: Burnin = 0, thin: int = 1,
               max_trees: Optional[int] = None,
               on_progress: Optional[Callable[[int], None]] = None,
               partial_last: str = "skip") -> TreeSet:
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

    Raises:
        TreeFileError: a file is malformed or has no trees, the burn-in leaves a file empty,
            or fewer than 2 trees are left in all.
        OSError: a file cannot be opened.
        ValueError: an option is out of range.
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    paths = [os.fspath(p) for p in paths]
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
    for file_i, path in enumerate(paths):
        report = None
        if on_progress is not None:
            report = (lambda base: lambda pos: on_progress(base + pos))(bytes_before)
        # With a burn-in count the trees needed are known before the scan: stop there.
        stop_after = None
        if isinstance(burnin_rule, int) and max_trees is not None:
            stop_after = burnin_rule + (max_trees - 1) * thin + 1
        scan = _scan_file(path, report, stop_after)
        bytes_before += scan.raw_size
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
        prefix = f"{labels[file_i]}:" if len(paths) > 1 else ""
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

    if len(names) < 2:
        detail = ", ".join(f"{f.label}: {_trees(f.n_trees)}, burn-in {f.burnin}" for f in files)
        raise TreeFileError(", ".join(paths), None,
                            f"only {_trees(len(names))} left after burn-in and thinning "
                            f"({detail}); at least 2 are needed")
    return TreeSet(names=names, translate_maps=translate_maps, map_indices=map_indices,
                   files=files, file_indices=file_indices, sample_indices=sample_indices,
                   lines=lines, _offsets=offsets, _lengths=lengths, _scans=tuple(scans))


@dataclass(frozen=True)
class _FileTrees:
    """Every tree one file's scan found (for TreeSet.all_trees)."""

    prefix: str
    names: List[str]
    lines: List[int]
    offsets: "array[int]"
    lengths: "array[int]"
    map_indices: List[int]


_TRAILING_NUMBER = re.compile(r"(\d+)\s*$")


def _trees(n: int) -> str:
    return f"{n} tree" if n == 1 else f"{n} trees"


def _file_labels(paths: List[str]) -> List[str]:
    """Base names when they are unique, otherwise the paths as given."""
    bases = [os.path.basename(p) or p for p in paths]
    if len(set(bases)) == len(bases):
        return bases
    return list(paths)


def _open_binary(path: str):
    with open(path, "rb") as probe:
        magic = probe.read(2)
    if magic == _GZIP_MAGIC:
        return gzip.open(path, "rb")
    return open(path, "rb")


def _decode(data: bytes, path: str, line: int) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        bad_line = line + data.count(b"\n", 0, exc.start)
        raise TreeFileError(path, bad_line, "text is not valid UTF-8") from None


# ----------------------------------------------------------------------------- statements
#
# The file is cut into statements, each ending with a ';' that stands outside single quotes
# and outside [comments]. Everything else works on one statement at a time, so a chunk
# boundary never splits a token that a later step looks at.

# Runs of ordinary bytes and comments without nested brackets, skipped in one regex step.
# A comment always starts with a byte ordinary runs exclude, so the match never backtracks;
# written as runs between comments rather than an alternation, it is about 15% quicker on
# trees with an annotation on every branch.
_PLAIN_RUN = re.compile(rb"[^\[';]*(?:\[[^\[\]]*\][^\[';]*)*")
_BRACKET = re.compile(rb"[\[\]]")


@dataclass
class _Statement:
    offset: int  # byte offset of data[0] in the (decompressed) file
    line: int  # line of data[0], from 1
    data: bytes  # up to and including the ';', or the rest of the file when unterminated
    terminated: bool = True
    unclosed: Optional[Tuple[int, str]] = None  # (line, message): EOF inside a quote or comment

    def line_at(self, i: int) -> int:
        return self.line + self.data.count(b"\n", 0, i)


def _statements(stream, path: str, report=None) -> Iterator[_Statement]:
    """Cut the stream, from its current position, into statements; ``report(raw_position)``
    after each chunk read."""
    raw = getattr(stream, "fileobj", stream)  # the file under a gzip stream
    buf = bytearray()
    offset, line = stream.tell(), 1
    pos = 0  # scanning position in buf
    depth = 0  # comment nesting
    in_quote = False
    open_i = 0  # where the open comment or quote began, for the error message
    eof = need_more = False
    while True:
        if pos >= len(buf) or need_more:
            if eof:
                break
            if len(buf) > MAX_STATEMENT_BYTES:
                raise TreeFileError(path, line, f"no ';' in {len(buf):,} bytes: not a tree "
                                                "file, or a damaged one")
            chunk = stream.read(_CHUNK)
            if chunk:
                buf += chunk
            else:
                eof = True
            if report is not None:
                report(raw.tell())
            need_more = False
            continue
        if in_quote:
            i = buf.find(b"'", pos)
            if i < 0:
                pos = len(buf)
            elif i + 1 == len(buf) and not eof:
                pos, need_more = i, True  # '' may straddle the chunk boundary
            elif i + 1 < len(buf) and buf[i + 1] == 0x27:
                pos = i + 2
            else:
                in_quote, pos = False, i + 1
            continue
        if depth:
            m = _BRACKET.search(buf, pos)
            if m is None:
                pos = len(buf)
                continue
            depth += 1 if buf[m.start()] == 0x5B else -1
            pos = m.end()
            continue
        i = _PLAIN_RUN.match(buf, pos).end()
        if i == len(buf):
            pos = i
            continue
        c = buf[i]
        if c == 0x5B:  # '[' opening a nested or not yet complete comment
            depth, open_i, pos = 1, i, i + 1
        elif c == 0x27:
            in_quote, open_i, pos = True, i, i + 1
        else:  # ';'
            data = bytes(buf[: i + 1])
            yield _Statement(offset, line, data)
            line += data.count(b"\n")
            offset += len(data)
            del buf[: i + 1]
            pos = 0
    unclosed = None
    if in_quote or depth:
        unclosed = (line + buf.count(b"\n", 0, open_i),
                    "quote ' is never closed" if in_quote else "comment [ is never closed")
    if buf:
        yield _Statement(offset, line, bytes(buf), terminated=False, unclosed=unclosed)


def _unterminated(st: _Statement, path: str, i: int, what: str) -> TreeFileError:
    if st.unclosed is not None:
        return TreeFileError(path, st.unclosed[0], st.unclosed[1])
    return TreeFileError(path, st.line_at(i), f"{what} is not terminated by ';' (file truncated?)")


# ----------------------------------------------------------------------------- tokens

_WHITESPACE = frozenset(b" \t\r\n\f\v")
_WORD = re.compile(rb"[^\s\[\]=;,']+")


def _comment_end(data: bytes, i: int) -> int:
    """Index just past the comment that opens at data[i] (comments nest)."""
    depth = 0
    while True:
        m = _BRACKET.search(data, i)
        if m is None:  # cannot happen: the statement splitter checked the brackets
            return len(data)
        depth += 1 if data[m.start()] == 0x5B else -1
        i = m.end()
        if depth == 0:
            return i


def _skip_blank(data: bytes, i: int) -> int:
    """Skip white space and comments."""
    n = len(data)
    while i < n:
        c = data[i]
        if c in _WHITESPACE:
            i += 1
        elif c == 0x5B:
            i = _comment_end(data, i)
        else:
            break
    return i


def _quoted_end(data: bytes, i: int) -> int:
    """Index just past the quoted token that opens at data[i]."""
    i += 1
    while True:
        j = data.find(b"'", i)
        if j < 0:
            return len(data)
        if data[j + 1: j + 2] == b"'":
            i = j + 2
        else:
            return j + 1


def _unquote(token: bytes) -> bytes:
    return token[1:-1].replace(b"''", b"'")


def _word(data: bytes, i: int) -> Tuple[bytes, int]:
    """The token at data[i] (quoted or bare, quotes removed) and the index after it."""
    if data[i: i + 1] == b"'":
        end = _quoted_end(data, i)
        return _unquote(data[i:end]), end
    m = _WORD.match(data, i)
    if m is None:
        return b"", i
    return m.group(), m.end()


# ----------------------------------------------------------------------------- file scan


@dataclass
class _Scan:
    format: str = "newick"
    compressed: bool = False
    names: List[str] = field(default_factory=list)
    lines: List[int] = field(default_factory=list)
    offsets: "array[int]" = field(default_factory=lambda: array("q"))
    lengths: "array[int]" = field(default_factory=lambda: array("q"))
    map_of: List[int] = field(default_factory=list)  # per tree, index into maps
    maps: List[Dict[str, str]] = field(default_factory=list)
    saw_trees_block: bool = False
    raw_size: int = 0  # bytes of the file on disk
    checked_maps: Set[int] = field(default_factory=set)  # maps whose first tree was checked
    stop_after: Optional[int] = None  # stop once this many trees are recorded
    complete: bool = True  # False when the scan stopped at stop_after
    partial_line: Optional[int] = None  # line of an unfinished last tree, not recorded
    rooting: Optional[str] = None  # "R" or "U": the [&R] / [&U] mark of the first tree
    nonfinite: List[int] = field(default_factory=list)  # trees with NaN or infinite lengths

    def no_tree_hint(self) -> str:
        if self.format == "nexus" and not self.saw_trees_block:
            return " (the NEXUS file has no 'begin trees;' block)"
        return ""


class _Stop(Exception):
    """The scan has found every tree it was asked for."""


@contextmanager
def _gzip_errors(path: str) -> Iterator[None]:
    """Damaged or cut-off gzip data as a TreeFileError naming the file."""
    try:
        yield
    except EOFError:
        raise TreeFileError(path, None, "the gzip data ends early (file truncated, or still "
                                        "being written)") from None
    except (gzip.BadGzipFile, zlib.error) as exc:
        raise TreeFileError(path, None, f"damaged gzip data ({exc})") from None


def _scan_file(path: str, report=None, stop_after: Optional[int] = None) -> _Scan:
    with _open_binary(path) as stream, _gzip_errors(path):
        head = stream.read(_SNIFF)
        compressed = isinstance(stream, gzip.GzipFile)
        _check_text(head, path)
        # A byte-order mark is no part of the first token (or of the first leaf name).
        stream.seek(len(_BOM) if head.startswith(_BOM) else 0)
        scan = _Scan(format=_sniff_format(head), compressed=compressed,
                     raw_size=os.fstat(getattr(stream, "fileobj", stream).fileno()).st_size,
                     stop_after=stop_after)
        if scan.format == "newick":
            _check_newick_start(head, path)
        try:
            if scan.format == "nexus":
                _scan_nexus(stream, path, scan, report)
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


def _check_newick_start(head: bytes, path: str) -> None:
    """A file that is neither NEXUS nor starts with a Newick tree is named as such, rather
    than failing on whatever quote or bracket its text happens to hold."""
    if head.startswith(_BOM):
        head = head[len(_BOM):]
    try:
        i = _skip_blank(head, 0)
    except TreeFileError:
        return  # an open comment: the statement scanner gives the line
    if i < len(head) and head[i:i + 1] != b"(":
        start = head[i:i + 30].split(b"\n")[0].decode("utf-8", "replace")
        raise TreeFileError(path, None, f"no NEXUS or Newick trees found (the file starts "
                                        f"with {start!r})")


def _sniff_format(head: bytes) -> str:
    if head.startswith(_BOM):
        head = head[len(_BOM):]
    head = head.lstrip()
    if head[:6].lower() == b"#nexus":
        return "nexus"
    # A NEXUS file that lost its first line still starts with a block.
    first, _ = _word(head, _skip_blank(head, 0)) if head else (b"", 0)
    return "nexus" if first.lower() == b"begin" else "newick"


def _scan_newick(stream, path: str, scan: _Scan, report=None) -> None:
    scan.maps.append({})  # plain Newick trees keep their labels
    for st in _statements(stream, path, report):
        start = _skip_blank_only(st.data, 0)
        if not st.terminated:
            i = _skip_blank(st.data, 0) if st.unclosed is None else start
            if i < len(st.data):
                if st.data[start:start + 1] not in (b"(", b"[") or (
                        st.unclosed is not None and st.unclosed[1].startswith("quote")):
                    raise _unterminated(st, path, start, "tree")
                scan.partial_line = st.line_at(start)
            return
        if _skip_blank(st.data, 0) == len(st.data) - 1:
            raise TreeFileError(path, st.line_at(len(st.data) - 1),
                                "empty tree (';' with no tree before it)")
        _record(scan, f"tree_{len(scan.names) + 1}", st, start, st.line_at(start), 0)


def _skip_blank_only(data: bytes, i: int) -> int:
    """Skip white space only: comments before a Newick tree belong to the tree text."""
    n = len(data)
    while i < n and data[i] in _WHITESPACE:
        i += 1
    return i


def _scan_nexus(stream, path: str, scan: _Scan, report=None) -> None:
    block: Optional[bytes] = None
    current_map: Optional[int] = None  # the translate table of the current trees block
    trees_in_block = 0
    for st in _statements(stream, path, report):
        data = st.data
        i = _skip_blank(data, 0) if st.unclosed is None else _skip_blank_only(data, 0)
        if not st.terminated:
            if i < len(data):
                command = _word(data, i)[0].lower()
                # A run still being written stops anywhere in its last tree, inside a
                # [&...] annotation too; tree texts hold no quotes, so an open one is an error.
                if block == b"trees" and command in (b"tree", b"utree") and (
                        st.unclosed is None or st.unclosed[1].startswith("comment")):
                    scan.partial_line = st.line_at(i)
                elif command not in (b"end", b"endblock") or st.unclosed is not None:
                    raise _unterminated(st, path, i, "tree" if block == b"trees"
                                        else "statement")
            break
        command, j = _word(data, i)
        command = command.lower()
        if command == b"#nexus":
            i = _skip_blank(data, j)
            command, j = _word(data, i)
            command = command.lower()
        if command == b"begin":
            name, _ = _word(data, _skip_blank(data, j))
            block = name.lower()
            if block == b"trees":
                scan.saw_trees_block = True
                current_map = None
                trees_in_block = 0
        elif command in (b"end", b"endblock"):
            block = None
        elif block != b"trees":
            continue
        elif command == b"translate":
            if current_map is not None:
                where = "a tree" if trees_in_block else "another translate table"
                raise TreeFileError(path, st.line_at(i),
                                    f"translate table after {where} in the same trees block")
            current_map = len(scan.maps)
            scan.maps.append(_parse_translate(st, j, path))
        elif command in (b"tree", b"utree"):
            if current_map is None:
                # Trees before (or without) a translate table keep their labels.
                current_map = len(scan.maps)
                scan.maps.append({})
            _add_tree(st, i, j, path, scan, current_map)
            trees_in_block += 1


def _add_tree(st: _Statement, stmt_i: int, i: int, path: str, scan: _Scan, map_i: int) -> None:
    data = st.data
    i = _skip_blank(data, i)
    if data[i: i + 1] == b"*":  # PAUP marks the default tree with '*'
        i = _skip_blank(data, i + 1)
    name, i = _word(data, i)
    i = _skip_blank(data, i)  # BEAST writes an annotation between the name and '='
    if data[i: i + 1] != b"=":
        raise TreeFileError(path, st.line_at(stmt_i), "tree statement without '='")
    start = _skip_blank_only(data, i + 1)
    if _skip_blank(data, start) == len(data) - 1:
        raise TreeFileError(path, st.line_at(stmt_i), "tree statement without a tree")
    tree_name = _decode(name, path, st.line_at(stmt_i)) or f"tree_{len(scan.names) + 1}"
    if scan.maps[map_i] and map_i not in scan.checked_maps:
        scan.checked_maps.add(map_i)
        _check_leaf_labels(data[start:], scan.maps[map_i], path, st.line_at(stmt_i), tree_name)
    _record(scan, tree_name, st, start, st.line_at(stmt_i), map_i)


# A branch length that the module reads as NaN or infinite, after an optional [&...] comment.
_NONFINITE = re.compile(rb":\s*(?:\[[^\]]*\]\s*)?[+-]?(?:nan|inf)", re.IGNORECASE)
# Folds the letters of "nan" and "inf" to lower case: a tree whose folded text holds neither
# cannot match _NONFINITE, and that test costs a third of the regex search.
_FOLD_NAN_INF = bytes.maketrans(b"NAIF", b"naif")
_ROOTING = re.compile(rb"\s*\[&([RU])\]", re.IGNORECASE)


def _record(scan: _Scan, name: str, st: _Statement, start: int, line: int, map_i: int) -> None:
    """Record one tree whose text is st.data[start:]."""
    data = st.data
    if not scan.names:
        m = _ROOTING.match(data, start)
        scan.rooting = m.group(1).decode().upper() if m else None
    folded = data.translate(_FOLD_NAN_INF)
    if (b"nan" in folded or b"inf" in folded) and _NONFINITE.search(data, start):
        scan.nonfinite.append(len(scan.names))
    scan.names.append(name)
    scan.lines.append(line)
    scan.offsets.append(st.offset + start)
    scan.lengths.append(len(data) - start)
    scan.map_of.append(map_i)
    if scan.stop_after is not None and len(scan.names) >= scan.stop_after:
        raise _Stop


_COMMENT = re.compile(rb"\[[^\]]*\]")
_LEAF_LABEL = re.compile(rb"(?<=[(,])\s*('(?:[^']|'')*'|[^():,;\[\]']+)")


def _check_leaf_labels(newick: bytes, table: Dict[str, str], path: str, line: int,
                       tree_name: str) -> None:
    """Refuse a tree whose leaf labels the translate table does not know.

    The module turns such a leaf into an unnamed one without a word, so the first tree
    under each table is checked here. Labels are compared as the module reads them: with
    white space removed and quote characters kept.
    """
    for m in _LEAF_LABEL.finditer(_COMMENT.sub(b"", newick)):
        label = re.sub(rb"\s+", b"", m.group(1)).decode("utf-8", "replace")
        if label and label not in table:
            raise TreeFileError(path, line, f"leaf {label!r} of tree {tree_name!r} is not in "
                                            "the translate table")


# A translate body is a list of these tokens; comments are removed through _comment_end.
_TR_TOKEN = re.compile(rb"(?P<ws>\s+)|(?P<q>'(?:[^']|'')*')|(?P<c>\[)|(?P<comma>,)|(?P<semi>;)"
                       rb"|(?P<bare>[^\s\[',;]+)")


def _parse_translate(st: _Statement, i: int, path: str) -> Dict[str, str]:
    data = st.data
    table: Dict[str, str] = {}
    seen_names: Dict[str, str] = {}
    entry: List[Tuple[str, bytes]] = []
    entry_i = i
    while i < len(data):
        m = _TR_TOKEN.match(data, i)
        if m is None:  # cannot happen: quotes were balanced when the statement was cut
            raise TreeFileError(path, st.line_at(i), "cannot read the translate table here")
        kind = m.lastgroup
        if kind == "c":
            i = _comment_end(data, i)
            continue
        if kind in ("comma", "semi"):
            _add_translate_entry(entry, st, entry_i, path, table, seen_names)
            entry = []
            entry_i = m.end()
        else:
            entry.append((kind, m.group()))
        i = m.end()
    return table


def _add_translate_entry(entry: List[Tuple[str, bytes]], st: _Statement, entry_i: int,
                         path: str, table: Dict[str, str], seen_names: Dict[str, str]) -> None:
    while entry and entry[0][0] == "ws":
        entry.pop(0)
    while entry and entry[-1][0] == "ws":
        entry.pop()
    if not entry:  # an empty entry, e.g. a comma before the closing ';'
        return
    line = st.line_at(entry_i + _leading_blank(st.data, entry_i))
    kind, key_bytes = entry[0]
    key = _decode(_unquote(key_bytes) if kind == "q" else key_bytes, path, line)
    rest = entry[1:]
    while rest and rest[0][0] == "ws":
        rest.pop(0)
    if not rest:
        raise TreeFileError(path, line, f"translate entry {key!r} has no taxon name")
    if any(k == "ws" for k, _ in rest):
        text = b"".join(t for _, t in rest).decode("utf-8", "replace")
        raise TreeFileError(path, line,
                            f"translate entry {key!r}: taxon name {text!r} has a blank outside "
                            "quotes (quote the name, or is a comma missing?)")
    name = _decode(b"".join(_unquote(t) if k == "q" else t for k, t in rest), path, line)
    if key in table:
        raise TreeFileError(path, line, f"translate table lists {key!r} twice")
    if name in seen_names:
        raise TreeFileError(path, line, f"translate table gives the name {name!r} to both "
                                        f"{seen_names[name]!r} and {key!r}")
    table[key] = name
    seen_names[name] = key


def _leading_blank(data: bytes, i: int) -> int:
    return _skip_blank(data, i) - i

"""What the NEXUS and Newick readers share: opening plain or gzip files, cutting the text
into ';'-terminated statements (quotes and nested [comments] respected), tokens, and the
record of one file's scan that each format fills."""

from __future__ import annotations

import gzip
import io
import re
import zlib
from array import array
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Callable, Dict, Iterator, List, Optional, Set, Tuple

from .errors import TreeFileError

__all__ = ["MAX_STATEMENT_BYTES"]


_CHUNK = 1 << 20


_BOM = b"\xef\xbb\xbf"
MAX_STATEMENT_BYTES = 1 << 30  # far above any real tree (a 10^6-leaf tree with annotations)
_GZIP_MAGIC = b"\x1f\x8b"

# Told the position in the file on disk (compressed bytes for gzip) after each chunk read.
Report = Optional[Callable[[int], None]]


def _open_binary(path: str) -> io.BufferedIOBase:
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


# Every byte but the brackets, deleted by bytes.translate to see how comments nest.
_NOT_BRACKETS = bytes(c for c in range(256) if c not in b"[]")


def _plain_end(buf: bytearray, pos: int) -> int:
    """Where ``_PLAIN_RUN`` would stop from ``pos``, found without the regex when the
    statement's ';' comes after no quote and only flat comments (any number: BEAST writes
    one on every node): a few passes of ``find``, ``translate`` and ``count`` over the
    text, several times faster than the regex. -1 when the regex must decide (a quote, a
    nested or unfinished comment, a ';' inside a comment, or no ';' yet)."""
    end = buf.find(b";", pos)
    if end < 0 or buf.find(b"'", pos, end) >= 0:
        return -1
    if buf.find(b"[", pos, end) < 0:
        return end
    brackets = buf[pos:end].translate(None, _NOT_BRACKETS)
    # Flat comments, and none still open at the ';': exactly "[]" repeated.
    return end if brackets.count(b"[]") * 2 == len(brackets) else -1


def _statements(stream: io.BufferedIOBase, path: str, report: Report = None
                ) -> Iterator[_Statement]:
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
        i = _plain_end(buf, pos)
        if i < 0:
            i = _PLAIN_RUN.match(buf, pos).end()  # type: ignore[union-attr]  # always matches
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
    # Told of each tree as it is recorded: (its index in the file, name, text, line, map).
    on_tree: Optional[Callable[[int, str, bytes, int, Dict[str, str]], None]] = None

    def no_tree_hint(self) -> str:
        if self.format == "nexus" and not self.saw_trees_block:
            return " (the NEXUS file has no 'begin trees;' block)"
        if self.partial_line is not None:
            return (f" (the only tree, line {self.partial_line}, is unfinished: file "
                    "truncated, or still being written)")
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


def _skip_blank_only(data: bytes, i: int) -> int:
    """Skip white space only: comments before a Newick tree belong to the tree text."""
    n = len(data)
    while i < n and data[i] in _WHITESPACE:
        i += 1
    return i


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
    # Both words hold an "n": most trees (BEAST's among them) have none to fold.
    if data.find(b"n", start) >= 0 or data.find(b"N", start) >= 0:
        folded = data.translate(_FOLD_NAN_INF)
        if (b"nan" in folded or b"inf" in folded) and _NONFINITE.search(data, start):
            scan.nonfinite.append(len(scan.names))
    scan.names.append(name)
    scan.lines.append(line)
    scan.offsets.append(st.offset + start)
    scan.lengths.append(len(data) - start)
    scan.map_of.append(map_i)
    if scan.on_tree is not None:
        scan.on_tree(len(scan.names) - 1, name, data[start:], line, scan.maps[map_i])
    if scan.stop_after is not None and len(scan.names) >= scan.stop_after:
        raise _Stop


# A tree's weight: SumTrees' [&W w] before the tree (beside a rooting mark), MrBayes'
# [p = ..., P = ...] between a .trprobs tree's name and '='.
_WEIGHT = re.compile(rb"(?:\s*\[&[RU]\])*\s*\[&W\s", re.IGNORECASE)
_TRPROBS = re.compile(rb"\[\s*p\s*=\s*[-+0-9.eE]+\s*,\s*P\s*=")


def _refuse_weighted(data: bytes, start: int, path: str, line: int,
                     name_to_eq: bytes = b"") -> None:
    """Refuse a tree that carries a weight: a file of tree probabilities is no sample, and
    counting each of its trees once gives wrong frequencies."""
    if _TRPROBS.search(name_to_eq):
        what = "MrBayes tree probabilities ([p = ..., P = ...] on every tree)"
        instead = "the sampled trees instead (the .run*.t files)"
    elif _WEIGHT.match(data, start):
        what = "weighted trees ([&W w] on every tree)"
        instead = "the sampled trees instead"
    else:
        return
    raise TreeFileError(path, line, f"a file of {what}, not a sample of trees: counted "
                                    f"one tree each, its frequencies would be wrong; give "
                                    f"{instead}")

"""Output files: checked before any work starts, then written whole or not at all.

    paths = OutputPaths()
    paths.add(args.output, MATRIX_SUFFIXES, "-o")        # before reading the input
    paths.add(args.plot, PICTURE_SUFFIXES, "--plot")
    ...
    with atomic_path(args.output) as tmp:                # after computing
        np.save(tmp, matrix)

``add`` refuses a name whose suffix is unknown (:class:`OutputNameError`, a usage error),
a path that is a folder, two options naming one file, and a folder that cannot be made or
written (:class:`OutputPathError`); it makes missing folders. ``atomic_path`` hands out a
temporary name in the same folder (so the final rename stays on one filesystem) ending in
the same suffix (NumPy and matplotlib choose the format from it); the file is renamed over
the target only when the writer returned, and removed on any error or interrupt, so a
reader never sees a half-written output.

A temporary name is ``.NAME.kestrilune-PID-HOST-XXXXXXXX.partSUFFIX``: a process killed
outright (SIGKILL, a power cut) leaves it behind, and the next ``atomic_path`` for the same
output removes it once that process is gone from this host (:func:`remove_leftovers`).
"""

from __future__ import annotations

import csv
import importlib
import io
import json
import os
import re
import socket
import tempfile
from contextlib import contextmanager
from typing import (
    TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence,
)

import numpy as np

if TYPE_CHECKING:
    from ..table.result import TreeDistances

__all__ = ["MATRIX_SUFFIXES", "PICTURE_SUFFIXES", "OutputNameError", "OutputPathError",
           "OutputPaths", "atomic_path", "remove_leftovers", "write_matrix"]

MATRIX_SUFFIXES = (".npy", ".npz", ".csv", ".tsv")
PICTURE_SUFFIXES = (".png", ".pdf", ".svg", ".jpg", ".jpeg", ".tif", ".tiff", ".webp", ".eps")


class OutputNameError(ValueError):
    """An output name the command cannot write (unknown suffix): a usage error."""


class OutputPathError(OSError):
    """An output path that cannot be written; the message names the path and the reason."""


def suffix_of(path: str) -> str:
    return os.path.splitext(path)[1].lower()


class OutputPaths:
    """The outputs of one command, checked together before the work starts."""

    def __init__(self) -> None:
        self._seen: Dict[str, str] = {}  # real path -> option

    def add(self, path: Optional[str], suffixes: Sequence[str], option: str) -> Optional[str]:
        if not path:
            return path
        if os.path.isdir(path):
            raise OutputPathError(f"cannot write {path}: it is a folder")
        if suffix_of(path) not in suffixes:
            raise OutputNameError(f"{option} {path}: cannot tell the format; use a name ending "
                                  f"in {', '.join(suffixes)}")
        real = os.path.realpath(path)
        if real in self._seen:
            raise OutputNameError(f"{option} {path}: the same file is already the output of "
                                  f"{self._seen[real]}")
        self._seen[real] = option
        check_writable(path)
        return path


def check_writable(path: str) -> None:
    """Make the folder of ``path`` if needed and prove that a file can be created in it."""
    if os.path.isdir(path):
        raise OutputPathError(f"cannot write {path}: it is a folder")
    folder = os.path.dirname(os.path.abspath(path))
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as exc:
        raise OutputPathError(f"cannot write {path}: cannot make folder {folder} "
                              f"({exc.strerror or exc})") from None
    try:
        # A real file, not os.access: read-only mounts, ACLs and full disks answer only then.
        fd, probe = tempfile.mkstemp(dir=folder, prefix=".kestrilune-probe-")
        os.close(fd)
        os.unlink(probe)
    except OSError as exc:
        raise OutputPathError(f"cannot write {path}: cannot create files in {folder} "
                              f"({exc.strerror or exc})") from None


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _host_tag() -> str:
    # The same SHA-256 from the interpreter's own module where it has one: hashlib loads
    # OpenSSL, 3.5 MiB of every command's memory.
    for name in ("_sha2", "_sha256", "hashlib"):
        try:
            sha256 = importlib.import_module(name).sha256
            break
        except (ImportError, AttributeError):
            continue
    return str(sha256(socket.gethostname().encode()).hexdigest())[:8]


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # PermissionError: it exists, as another user's
        return True
    return True


def remove_leftovers(path: str) -> List[str]:
    """Remove the temporary files of ``path`` left by runs that were killed: named by
    :func:`atomic_path`, made on this host, by a process that no longer exists. Returns the
    names removed."""
    folder = os.path.dirname(os.path.abspath(path))
    base = os.path.basename(path)
    pattern = re.compile(rf"\.{re.escape(base)}\.kestrilune-(\d+)-{_host_tag()}-\w+"
                         rf"\.part{re.escape(suffix_of(path))}")
    removed: List[str] = []
    try:
        names = os.listdir(folder)
    except OSError:
        return removed
    for name in names:
        m = pattern.fullmatch(name)
        if m and int(m.group(1)) != os.getpid() and not _alive(int(m.group(1))):
            try:
                os.unlink(os.path.join(folder, name))
                removed.append(name)
            except OSError:
                pass
    return removed


@contextmanager
def atomic_path(path: str) -> Iterator[str]:
    """A temporary path to write instead of ``path``; renamed to ``path`` on success."""
    folder = os.path.dirname(os.path.abspath(path))
    base = os.path.basename(path)
    remove_leftovers(path)
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=f".{base}.kestrilune-{os.getpid()}-"
                               f"{_host_tag()}-", suffix=f".part{suffix_of(path)}")
    os.close(fd)
    try:
        yield tmp
        # mkstemp makes the file private; give it the permissions a plain open() would.
        os.chmod(tmp, 0o666 & ~_umask())
        with open(tmp, "rb+") as fh:
            os.fsync(fh.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


# ----------------------------------------------------------------------------- matrices


def write_matrix(path: str, result: TreeDistances, *,
                 on_row: Optional[Callable[[int], None]] = None, atomic: bool = True) -> None:
    """Write a :class:`~kestrilune_tools.table.result.TreeDistances` by the suffix of ``path``.

    ``.npy``: the bare (n, n) array (``int32`` RF, ``float64`` WRF/KF), as ``numpy.save``.
    ``.npz``: the matrix with its tree names and settings (``TreeDistances.load`` reads it).
    ``.csv``, ``.tsv``: a header ``tree,NAME1,NAME2,...``, then one row per tree starting
    with its name. ``on_row(k)`` is called as text rows are written (for a progress display).
    ``atomic=False`` writes ``path`` itself: for a caller that hands over a temporary file
    of its own (``Context.write``), which a second temporary file inside would outlive when
    the process is killed.
    """
    if not atomic:
        _write_matrix(path, result, on_row)
        return
    with atomic_path(path) as tmp:
        _write_matrix(tmp, result, on_row)


def _write_matrix(path: str, result: TreeDistances,
                  on_row: Optional[Callable[[int], None]]) -> None:
    suffix = suffix_of(path)
    if suffix == ".npy":
        np.save(path, result.stored_matrix())
    elif suffix == ".npz":
        result.save(path)
    else:
        _write_text(path, result, "\t" if suffix == ".tsv" else ",", on_row)


def _write_text(tmp: str, result: TreeDistances, delimiter: str,
                on_row: Optional[Callable[[int], None]]) -> None:
    names = list(result.names)
    matrix = result.matrix
    # repr() is the shortest text that reads back as the same float; integers print as such.
    fmt = repr if matrix.dtype.kind == "f" else str
    with open(tmp, "w", newline="", encoding="utf-8") as fh:
        header = io.StringIO()
        writer = csv.writer(header, delimiter=delimiter, lineterminator="\n")
        writer.writerow(["tree"] + names)
        fh.write(header.getvalue())
        for k, (name, row) in enumerate(zip(names, matrix)):
            header.seek(0)
            header.truncate()
            writer.writerow([name])
            fh.write(header.getvalue()[:-1] + delimiter + delimiter.join(map(fmt, row.tolist()))
                     + "\n")
            if on_row is not None and k % 64 == 63:
                on_row(64)


def settings_json(settings: Mapping[str, Any]) -> str:
    return json.dumps(settings, sort_keys=True, default=str)

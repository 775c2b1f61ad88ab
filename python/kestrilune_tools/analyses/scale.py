"""Distance matrices larger than memory: Zarr stores written tile by tile, ``.npy`` files
written through a memory map, and a Dask array over the split table.

    >>> t = SplitTable.from_treeset(read_trees("big.trees"))
    >>> write_zarr(t, "rf.zarr", "rf")                     # square, chunks of 2048 x 2048
    >>> write_zarr(t, "rf.zarr", "rf", resume=True)        # after a killed run
    >>> dask.array.from_zarr("rf.zarr")                    # any reader of Zarr v3
    >>> D = dask_matrix(t, "rf")                            # lazy; one task per tile

A Zarr store is written under ``PATH.partial`` and renamed to ``PATH`` when complete, so a
store under the final name is always whole. Its attributes (``kestrilune``) give the
metric, the comparison mode, the layout (``square`` or ``condensed``, the latter in the
order of ``scipy.spatial.distance.squareform``), the tree names, the caller's settings and
a fingerprint of the trees' splits. ``resume=True`` continues a ``.partial`` store only when
all of these match, and recomputes just the tiles it had not recorded as written.

A write holds a lock (``.NAME.kestrilune-lock`` beside the store, ``fcntl.flock``) from
its first check to the final rename: a second writer of the same store is refused with the
first one's process id (:class:`StoreBusy`). A folder at ``PATH`` that is not a store of
ours is never removed (:class:`StoreRefused`); a store of ours is replaced only with
``overwrite=True``. Each tile is logged with the SHA-256 of its cells once its chunks and
the log line are on disk (``fsync``); a resumed write reads every logged tile back and
computes again, with a message through ``warn``, each one that is missing, does not decode
or does not match its checksum, and each log line it cannot read. An older log without
checksums is not trusted: its tiles are computed again.

Every cell is the ``kestrilune`` module's cell for the same trees; tiles of a symmetric
matrix are computed once and written with their transpose.
"""

from __future__ import annotations

import errno
import fcntl
import hashlib
import json
import os
import re
import shutil
import threading
from concurrent.futures import ThreadPoolExecutor
from concurrent.futures import Future
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Optional, Set, Tuple

import numpy as np

from ..table.metrics import Metric

if TYPE_CHECKING:
    from numpy.typing import DTypeLike

    from ..table.engine import SplitTable

Attrs = Dict[str, Any]

__all__ = ["StoreError", "StoreMismatch", "StoreBusy", "StoreRefused", "TileProgress", "write_zarr", "write_npy", "dask_matrix", "rf_cell_type",
           "table_fingerprint", "write_zarr_distributed"]

DEFAULT_CHUNK = 2048
_BAND_CELLS = 1 << 24  # condensed: cells computed per band of rows (at least one chunk)
_LOG = "kestrilune-tiles-done.txt"  # one line per finished tile, inside the partial store
_LOG_HEADER = "kestrilune tile log 2: tile indices, then the sha256 of its cells\n"
_ATTR = "kestrilune"
_ZARR_TEMPORARY = re.compile(r".+\.[0-9a-f]{32}\.partial")  # a chunk zarr was writing


class StoreError(ValueError):
    """A store that cannot be written as asked; the message names it and says why."""


class StoreMismatch(StoreError):
    """A ``--resume`` store that was written for other trees or settings, or whose
    metadata cannot be read."""


class StoreBusy(StoreError):
    """Another process is writing the same store."""


class StoreRefused(StoreError):
    """A folder in the way that is not a store of ours, or a store of ours not to be
    replaced (``overwrite=False``)."""


class TileProgress:
    """Progress over many native calls: cells of finished tiles plus the running call's
    own counter. ``poll()`` gives (done, total)."""

    def __init__(self, total: int):
        import kestrilune

        self.total = int(total)
        self.base = 0
        self.counter = kestrilune.ProgressCounter()
        self._lock = threading.Lock()

    def finished(self, cells: int) -> None:
        with self._lock:
            self.base += int(cells)

    def poll(self) -> Tuple[int, int]:
        with self._lock:
            done = self.base + min(self.counter.value(), self.counter.total())
        return min(done, self.total), self.total


def table_fingerprint(table: SplitTable) -> str:
    """A digest of everything the distances depend on: splits per tree, lengths, leaf sets,
    the comparison mode and the leaf names."""
    h = hashlib.sha256()
    h.update(json.dumps([bool(table.rooted), list(table.leaf_names)]).encode())
    for arr in (table.indptr, table.ids, table.words, table.first_seen):
        h.update(np.ascontiguousarray(arr).data)
    if table.lengths is not None:
        h.update(np.ascontiguousarray(table.lengths).data)
    return h.hexdigest()


def _rf_dtype(table: SplitTable, metric: Metric, dtype: Optional[DTypeLike]) -> np.dtype[Any]:
    if metric != "rf":
        return np.dtype(np.float64)
    return rf_cell_type(table, dtype)


def rf_cell_type(table: SplitTable, dtype: Optional[DTypeLike] = None) -> np.dtype[Any]:
    """The cell type of an RF matrix written for ``table``: ``int32`` (signed, so differences
    of distances do not wrap, and wide enough for any tree) unless ``dtype`` asks for another
    integer type, which is refused when a distance of these trees could exceed it."""
    want = np.dtype(np.int32 if dtype is None else dtype)
    if want.kind not in "ui" and want != np.float64:
        raise ValueError(f"RF cells cannot be stored as {want}")
    if want.kind in "ui":
        everyone = table.index(None)
        bound = table._rf_bound(everyone, everyone)
        if bound > np.iinfo(want).max:
            raise ValueError(f"RF distances of these trees can reach {bound}, more than "
                             f"{want} holds; use int32")
    return want


def _square_tiles(n: int, chunk: int) -> Iterator[Tuple[int, int]]:
    blocks = (n + chunk - 1) // chunk
    for i in range(blocks):
        for j in range(i, blocks):
            yield i, j


def _tile_cells(n: int, chunk: int, i: int, j: int) -> int:
    rows = min(n, (i + 1) * chunk) - i * chunk
    cols = min(n, (j + 1) * chunk) - j * chunk
    return rows * cols


def _expected_attrs(table: SplitTable, metric: Metric, layout: str, chunk: int,
                    dtype: np.dtype[Any], settings: Optional[Attrs]) -> Attrs:
    return {"metric": metric, "rooted": bool(table.rooted), "layout": layout,
            "n_trees": int(table.n_trees), "chunk": int(chunk), "dtype": dtype.str,
            "tree_names": list(table.tree_names[:table.n_trees]),
            "leaf_names": list(table.leaf_names), "fingerprint": table_fingerprint(table),
            "settings": settings or {}}


def _check_resume(found: Attrs, expected: Attrs, path: str) -> None:
    for key in ("metric", "rooted", "layout", "n_trees", "chunk", "dtype", "settings",
                "tree_names", "leaf_names", "fingerprint"):
        if found.get(key) != expected[key]:
            what = {"fingerprint": "the trees' splits", "tree_names": "the tree names",
                    "leaf_names": "the taxa"}.get(key, key)
            shown = "" if key in ("fingerprint", "tree_names", "leaf_names") else (
                f": {found.get(key)!r} in the store, {expected[key]!r} now")
            if key == "settings" and isinstance(found.get(key), dict):
                was, now = found[key], expected[key]
                differ = sorted(k for k in set(was) | set(now) if was.get(k) != now.get(k))
                what, shown = f"settings {', '.join(differ)}", ""
            raise StoreMismatch(f"cannot resume {path}: it was written for other trees or "
                                f"settings ({what}{shown}); remove it or write elsewhere")


def is_our_store(path: str) -> bool:
    """Whether ``path`` is a Zarr store this module wrote (its ``zarr.json`` carries our
    attributes), complete or not."""
    try:
        with open(os.path.join(path, "zarr.json"), encoding="utf-8") as fh:
            meta = json.load(fh)
        attrs = meta["attributes"][_ATTR]
        return isinstance(attrs, dict) and "fingerprint" in attrs and "metric" in attrs
    except (OSError, ValueError, KeyError, TypeError):
        return False


def _lock_path(path: str) -> str:
    folder, base = os.path.split(os.path.abspath(path))
    return os.path.join(folder, f".{base}.kestrilune-lock")


class _StoreLock:
    """An exclusive ``flock`` on a file beside the store, held for the whole write; the
    file holds the writer's process id. Removed on release (a waiting opener notices that
    its file was unlinked and opens the new one)."""

    def __init__(self, path: str):
        self.path = path
        self.file = _lock_path(path)
        self.fd = -1

    def __enter__(self) -> "_StoreLock":
        for _ in range(100):
            fd = os.open(self.file, os.O_RDWR | os.O_CREAT, 0o666)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError as exc:
                os.close(fd)
                if exc.errno not in (errno.EAGAIN, errno.EACCES, errno.EWOULDBLOCK):
                    raise
                raise StoreBusy(f"cannot write {self.path}: another kestrilune (pid "
                                f"{self._holder()}) is writing it (lock {self.file}); wait "
                                f"for it to finish or stop it") from None
            try:
                same = os.fstat(fd).st_ino == os.stat(self.file).st_ino
            except FileNotFoundError:
                same = False
            if same:
                os.ftruncate(fd, 0)
                os.write(fd, f"{os.getpid()}\n".encode())
                self.fd = fd
                return self
            os.close(fd)  # released and removed by its holder meanwhile: take the new one
        raise StoreBusy(f"cannot write {self.path}: cannot take the lock {self.file}")

    def _holder(self) -> str:
        try:
            with open(self.file, encoding="ascii") as fh:
                return fh.read().strip() or "unknown"
        except (OSError, ValueError):
            return "unknown"

    def __exit__(self, *exc: object) -> None:
        try:
            os.unlink(self.file)
        except OSError:
            pass
        os.close(self.fd)


# A tile of the log: its key, and the sha256 of its cells (None: an older log, unverified).
LogEntry = Tuple[Tuple[int, ...], Optional[str]]


def _read_log(path: str, warn: Optional[Callable[[str], None]] = None
              ) -> Dict[Tuple[int, ...], Optional[str]]:
    """The tiles the log of the partial store ``path`` records, each with its checksum.
    A line cut by a kill is not a finished tile; a line that cannot be read is reported and
    left out (its tile is computed again)."""
    done: Dict[Tuple[int, ...], Optional[str]] = {}
    log = os.path.join(path, _LOG)
    bad: List[int] = []
    try:
        with open(log, encoding="ascii", errors="replace") as fh:
            lines = fh.readlines()
    except FileNotFoundError:
        return done
    versioned = bool(lines) and lines[0] == _LOG_HEADER
    for number, line in enumerate(lines[1:] if versioned else lines, 2 if versioned else 1):
        if not line.endswith("\n"):
            continue
        fields = line.split()
        digest: Optional[str] = None
        if versioned and fields and re.fullmatch(r"[0-9a-f]{64}", fields[-1]):
            digest = fields.pop()
        if (versioned and digest is None) or not 1 <= len(fields) <= 2 or \
                not all(f.isdigit() for f in fields):
            bad.append(number)
            continue
        done[tuple(int(f) for f in fields)] = digest
    if bad and warn is not None:
        warn(f"{log}: {len(bad)} line{'s' if len(bad) > 1 else ''} that are not tile records "
             f"(line {', '.join(map(str, bad[:5]))}{', ...' if len(bad) > 5 else ''}); those "
             f"tiles are computed again")
    if not versioned and done and warn is not None:
        warn(f"{log}: an older tile log without checksums; its {len(done)} tiles are computed "
             f"again")
    return done


def _digest(values: np.ndarray, dtype: np.dtype[Any]) -> str:
    return hashlib.sha256(np.ascontiguousarray(values, dtype=dtype.newbyteorder("<"))
                          .data).hexdigest()


def _verified(arr: Any, path: str, n: int, chunk: int, condensed: bool, dt: np.dtype[Any],
              logged: Dict[Tuple[int, ...], Optional[str]],
              warn: Optional[Callable[[str], None]]) -> Dict[Tuple[int, ...], str]:
    """The logged tiles whose cells read back and match their checksums."""
    good: Dict[Tuple[int, ...], str] = {}
    failed: List[str] = []
    total = n * (n - 1) // 2
    size = chunk * chunk
    for key, digest in sorted(logged.items()):
        if digest is None:
            continue
        try:
            if condensed:
                (k,) = key
                if k * size >= total:
                    raise IndexError(key)
                ok = _digest(arr[k * size:min(total, (k + 1) * size)], dt) == digest
            else:
                i, j = key
                if not i <= j < (n + chunk - 1) // chunk:
                    raise IndexError(key)
                rows = slice(i * chunk, min(n, (i + 1) * chunk))
                cols = slice(j * chunk, min(n, (j + 1) * chunk))
                ok = _digest(arr[rows, cols], dt) == digest and \
                    (i == j or _digest(arr[cols, rows].T, dt) == digest)
        except Exception:  # a chunk that does not decode, or a key out of the store
            ok = False
        if ok:
            good[key] = digest
        else:
            failed.append("(" + ", ".join(map(str, key)) + ")")
    if failed and warn is not None:
        warn(f"{path}: {len(failed)} logged tile{'s' if len(failed) > 1 else ''} missing, "
             f"unreadable or not matching {'their' if len(failed) > 1 else 'its'} checksum "
             f"({', '.join(failed[:5])}{', ...' if len(failed) > 5 else ''}); computed again")
    return good


def _remove_ours(path: str, what: str) -> None:
    """Remove a leftover store of ours at ``path``; refuse anything else in the way."""
    if not os.path.lexists(path):
        return
    if not os.path.isdir(path) or os.path.islink(path) or not is_our_store(path):
        raise StoreRefused(f"cannot write {what}: {path} is in the way and is not a store "
                           f"written by kestrilune; move it away or write elsewhere")
    shutil.rmtree(path)


def _open_partial(path: str, shape: Tuple[int, ...], chunks: Tuple[int, ...], dtype: np.dtype[Any],
                  attrs: Attrs, resume: bool, overwrite: bool,
                  warn: Optional[Callable[[str], None]]
                  ) -> Tuple[Any, str, Dict[Tuple[int, ...], str]]:
    import zarr

    partial = path + ".partial"
    if os.path.lexists(path):
        if not os.path.isdir(path) or os.path.islink(path) or not is_our_store(path):
            raise StoreRefused(f"cannot write {path}: it exists and is not a Zarr store "
                               f"written by kestrilune; move it away or write elsewhere")
        if resume and not os.path.isdir(partial):
            arr = zarr.open_array(path, mode="r")
            _check_resume(dict(arr.attrs.get(_ATTR, {})), attrs, path)  # type: ignore[arg-type]
            return None, path, {}  # already complete
        if not overwrite:
            raise StoreRefused(f"cannot write {path}: a store of that name exists; give "
                               f"--overwrite to replace it")
    _remove_ours(path + ".old", path)  # left by a run killed while replacing the store
    if resume and os.path.isdir(partial) and is_our_store(partial):
        try:
            arr = zarr.open_array(partial, mode="r+")
        except Exception as exc:
            raise StoreMismatch(f"cannot resume {path}: the metadata of {partial} cannot be "
                                f"read ({exc}); remove it or write elsewhere") from None
        _check_resume(dict(arr.attrs.get(_ATTR, {})), attrs, path)  # type: ignore[arg-type]
        for what, found, want in (("data type", arr.dtype, dtype), ("shape", arr.shape, shape),
                                  ("chunks", arr.chunks, chunks)):
            if found != want:
                raise StoreMismatch(f"cannot resume {path}: {partial}/zarr.json gives "
                                    f"{what} {found}, the store is written as {want}; remove "
                                    f"it or write elsewhere")
        _remove_chunk_leftovers(partial)
        logged = _read_log(partial, warn)
        n = int(attrs["n_trees"])
        return arr, partial, _verified(arr, partial, n, int(attrs["chunk"]),
                                       attrs["layout"] == "condensed", dtype, logged, warn)
    if resume and os.path.lexists(partial):
        raise StoreMismatch(f"cannot resume {path}: {partial} is not a store written by "
                            f"kestrilune (its zarr.json is missing or unreadable); remove it "
                            f"or write elsewhere")
    _remove_ours(partial, path)
    # Made aside and renamed, so that a .partial store always has its whole zarr.json.
    staging = partial + ".kestrilune-new"
    if os.path.isdir(staging) and all(name == "zarr.json" or _ZARR_TEMPORARY.fullmatch(name)
                                      for name in os.listdir(staging)):
        shutil.rmtree(staging)  # left by a run killed while making it (we hold the lock)
    _remove_ours(staging, path)
    zarr.create_array(staging, shape=shape, chunks=chunks, dtype=dtype, fill_value=0,
                      attributes={_ATTR: attrs}, zarr_format=3)
    os.rename(staging, partial)
    return zarr.open_array(partial, mode="r+"), partial, {}


def _remove_chunk_leftovers(partial: str) -> None:
    """Remove the temporary chunk files a killed writer left in its store (zarr writes a
    chunk to NAME.UUID.partial, then renames it). The lock is ours: nobody writes them."""
    for folder, _, names in os.walk(partial):
        for name in names:
            if _ZARR_TEMPORARY.fullmatch(name):
                os.unlink(os.path.join(folder, name))


def _fsync(path: str) -> None:
    try:
        fd = os.open(path, os.O_RDONLY)
    except FileNotFoundError:  # a chunk of fill values only is not stored
        return
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _finish(partial: str, path: str) -> None:
    log = os.path.join(partial, _LOG)
    if os.path.exists(log):
        os.remove(log)
    if os.path.isdir(path):
        old = path + ".old"
        _remove_ours(old, path)
        os.rename(path, old)
        os.rename(partial, path)
        shutil.rmtree(old)
    else:
        os.rename(partial, path)


class _Writer:
    """Tile writes on a few threads, at most `in_flight` tiles held at once; each finished
    tile is logged with its checksum, once its chunks are on disk, so that a resumed run
    can verify it and skip it."""

    def __init__(self, partial: str, in_flight: int,
                 kept: Optional[Dict[Tuple[int, ...], str]] = None):
        self._partial = partial
        self._pool = ThreadPoolExecutor(max_workers=2, thread_name_prefix="kestrilune-zarr")
        self._slots = threading.Semaphore(in_flight)
        # The log starts again with the verified tiles only, replaced whole.
        log = os.path.join(partial, _LOG)
        with open(log + ".new", "w", encoding="ascii") as fh:
            fh.write(_LOG_HEADER)
            for key, digest in sorted((kept or {}).items()):
                fh.write(" ".join(map(str, key)) + f" {digest}\n")
            fh.flush()
            os.fsync(fh.fileno())
        os.replace(log + ".new", log)
        self._log = open(log, "a", encoding="ascii")
        self._lock = threading.Lock()
        self._futures: List[Future[None]] = []

    def submit(self, key: Tuple[int, ...], write: Callable[[], None], digest: str) -> None:
        self._slots.acquire()
        for f in [f for f in self._futures if f.done()]:
            f.result()  # a failed write ends the run here
            self._futures.remove(f)

        def run() -> None:
            try:
                write()
                keys = [key] if len(key) == 1 or key[0] == key[1] else [key, key[::-1]]
                for k in keys:
                    _fsync(os.path.join(self._partial, "c", *map(str, k)))
                with self._lock:
                    self._log.write(" ".join(map(str, key)) + f" {digest}\n")
                    self._log.flush()
                    os.fsync(self._log.fileno())
            finally:
                self._slots.release()

        self._futures.append(self._pool.submit(run))

    def record(self, key: Tuple[int, ...], digest: str) -> None:
        """Log a tile another process wrote (and made durable) itself."""
        with self._lock:
            self._log.write(" ".join(map(str, key)) + f" {digest}\n")
            self._log.flush()
            os.fsync(self._log.fileno())

    def close(self, wait: bool = True) -> None:
        try:
            for f in self._futures:
                if wait:
                    f.result()
        finally:
            self._pool.shutdown(wait=True, cancel_futures=not wait)
            self._log.close()


def write_zarr(table: SplitTable, path: str, metric: Metric = "rf", *, condensed: bool = False,
               chunk: Optional[int] = None, dtype: Optional[DTypeLike] = None,
               resume: bool = False, settings: Optional[Attrs] = None,
               progress: Optional[TileProgress] = None,
               in_flight: int = 4, overwrite: bool = True,
               warn: Optional[Callable[[str], None]] = None, client: Any = None) -> str:
    """Write the distance matrix of ``table`` to a Zarr v3 store at ``path``; returns
    ``path``. Square: chunks of ``chunk`` x ``chunk`` (default 2048). Condensed: a 1-D array
    in squareform order with chunks of ``chunk`` squared. Memory: a few tiles at a time.
    ``overwrite=False`` refuses to replace a complete store; ``warn(text)`` receives what a
    resumed write found wrong and computes again.

    ``client``: a ``distributed.Client``; its workers then compute and write the tiles (the
    table sent to each once, in its byte form), this process logs each finished tile, so
    ``resume`` works as for a local write, and a stopped write (Ctrl-C) cancels what is
    left. The store must be on a file system the workers see."""
    with _StoreLock(path):
        return _write_zarr_locked(table, path, metric, condensed, chunk, dtype, resume,
                                  settings, progress, in_flight, overwrite, warn, client)


def _write_zarr_locked(table: SplitTable, path: str, metric: Metric, condensed: bool,
                       chunk: Optional[int], dtype: Optional[DTypeLike], resume: bool,
                       settings: Optional[Attrs], progress: Optional[TileProgress],
                       in_flight: int, overwrite: bool,
                       warn: Optional[Callable[[str], None]], client: Any = None) -> str:
    n = table.n_trees
    chunk = int(chunk or DEFAULT_CHUNK)
    dt = _rf_dtype(table, metric, dtype)
    layout = "condensed" if condensed else "square"
    attrs = _expected_attrs(table, metric, layout, chunk, dt, settings)
    shape: Tuple[int, ...]
    chunks: Tuple[int, ...]
    if condensed:
        shape, chunks = (n * (n - 1) // 2,), (chunk * chunk,)
    else:
        shape, chunks = (n, n), (chunk, chunk)
    arr, partial, kept = _open_partial(path, shape, chunks, dt, attrs, resume, overwrite, warn)
    if arr is None:
        return path
    done = set(kept)
    if progress is not None and progress.total == 0:
        progress.total = _total_cells(n, chunk, condensed)
    counter = progress.counter if progress is not None else None
    writer = _Writer(partial, in_flight, kept)
    ok = False
    try:
        if client is not None:
            _write_remote(client, table, partial, metric, condensed, chunk, dt, done, writer,
                          progress)
        elif condensed:
            _write_condensed(table, metric, arr, chunk * chunk, dt, done, writer, progress,
                             counter)
        else:
            for i, j in _square_tiles(n, chunk):
                cells = _tile_cells(n, chunk, i, j)
                if (i, j) in done:
                    if progress is not None:
                        progress.finished(cells)
                    continue
                rows = slice(i * chunk, min(n, (i + 1) * chunk))
                cols = slice(j * chunk, min(n, (j + 1) * chunk))
                block = table.block(metric, rows, cols, dtype=dt, progress=counter)

                def write(rows: slice = rows, cols: slice = cols,
                          block: np.ndarray = block) -> None:
                    arr[rows, cols] = block
                    if rows != cols:
                        arr[cols, rows] = block.T

                writer.submit((i, j), write, _digest(block, dt))
                if progress is not None:
                    progress.finished(cells)
        ok = True
    finally:
        writer.close(wait=ok)
    _finish(partial, path)
    return path


def _write_remote(client: Any, table: SplitTable, partial: str, metric: Metric,
                  condensed: bool, chunk: int, dt: np.dtype[Any], done: Set[Tuple[int, ...]],
                  writer: _Writer, progress: Optional[TileProgress]) -> None:
    """The tiles not yet done, on the cluster (a task a square tile, or a run of condensed
    chunks); each finished tile logged here, in the order of the tasks."""
    from .remote import run_tasks

    n = table.n_trees
    if condensed:
        size = chunk * chunk
        total = n * (n - 1) // 2
        keys: List[Tuple[int, ...]] = [(k,) for k in range((total + size - 1) // size)]

        def cells(key: Tuple[int, ...]) -> int:
            return min(total, (key[0] + 1) * size) - key[0] * size
    else:
        keys = list(_square_tiles(n, chunk))

        def cells(key: Tuple[int, ...]) -> int:
            return _tile_cells(n, chunk, key[0], key[1])
    if progress is not None:
        progress.finished(sum(cells(k) for k in keys if k in done))
    todo = [k for k in keys if k not in done]
    if not todo:
        return
    # Condensed chunks go to the workers in runs of consecutive chunks, a band of rows as
    # this machine's writer computes it: each engine call pays for its columns once.
    job_keys: List[List[Tuple[int, ...]]]
    if condensed:
        job_keys = [[(k,) for k in range(a, b)]
                    for a, b in _runs([k[0] for k in todo], max(1, _BAND_CELLS // size))]
        task: Callable[..., List[str]] = _remote_condensed_chunks
    else:
        job_keys = [[key] for key in todo]
        task = _remote_square_tile
    jobs = [(partial, metric, (ks[0], ks[-1]), chunk, dt.str) for ks in job_keys]
    work = [sum(cells(key) for key in ks) for ks in job_keys]
    for ks, digests in zip(job_keys, run_tasks(client, table, task, jobs, work, progress)):
        for key, digest in zip(ks, digests):
            writer.record(key, digest)


def _runs(keys: List[int], most: int) -> List[Tuple[int, int]]:
    """Ascending ``keys`` as ranges [a, b) of consecutive keys, at most ``most`` each."""
    runs: List[Tuple[int, int]] = []
    for k in keys:
        if runs and runs[-1][1] == k and k + 1 - runs[-1][0] <= most:
            runs[-1] = (runs[-1][0], k + 1)
        else:
            runs.append((k, k + 1))
    return runs


def _remote_square_tile(table: SplitTable, partial: str, metric: Metric,
                        keys: Tuple[Tuple[int, ...], Tuple[int, ...]], chunk: int,
                        dtype: str) -> List[str]:
    """On a worker: tile (i, j) (``keys``: it twice) and its mirror into the store; returns
    the tile's checksum."""
    import zarr

    key = keys[0]
    i, j = key
    n, dt = table.n_trees, np.dtype(dtype)
    rows = slice(i * chunk, min(n, (i + 1) * chunk))
    cols = slice(j * chunk, min(n, (j + 1) * chunk))
    block = table.block(metric, rows, cols, dtype=dt)
    arr = zarr.open_array(partial, mode="r+")
    arr[rows, cols] = block
    if i != j:
        arr[cols, rows] = block.T
    for k in ([key] if i == j else [key, key[::-1]]):
        _fsync(os.path.join(partial, "c", *map(str, k)))
    return [_digest(block, dt)]


def _remote_condensed_chunks(table: SplitTable, partial: str, metric: Metric,
                             keys: Tuple[Tuple[int, ...], Tuple[int, ...]], chunk: int,
                             dtype: str) -> List[str]:
    """On a worker: the condensed array's chunks ``keys[0]`` to ``keys[1]``, from one block
    of the rows that hold them; returns their checksums."""
    import zarr

    (k0,), (k1,) = keys
    n, dt, size = table.n_trees, np.dtype(dtype), chunk * chunk
    total = n * (n - 1) // 2
    start, stop = k0 * size, min(total, (k1 + 1) * size)
    first, last = _row_of(start, n), _row_of(stop - 1, n)
    block = table.block(metric, slice(first, last + 1), slice(first + 1, n), dtype=dt)
    values = np.concatenate([block[r, r:] for r in range(last - first + 1)])
    del block
    at = first * n - first * (first + 1) // 2  # condensed position of (first, first + 1)
    arr = zarr.open_array(partial, mode="r+")
    digests = []
    for k in range(k0, k1 + 1):
        a, b = k * size, min(total, (k + 1) * size)
        part = values[a - at:b - at]
        arr[a:b] = part
        _fsync(os.path.join(partial, "c", str(k)))
        digests.append(_digest(part, dt))
    return digests


def _total_cells(n: int, chunk: int, condensed: bool) -> int:
    if condensed:
        return n * (n - 1) // 2
    return sum(_tile_cells(n, chunk, i, j) for i, j in _square_tiles(n, chunk))


def _write_condensed(table: SplitTable, metric: Metric, arr: Any, size: int, dt: np.dtype[Any],
                     done: Set[Tuple[int, ...]], writer: _Writer,
                     progress: Optional[TileProgress], counter: Optional[object]) -> None:
    """Rows in bands; the cells of a band are one contiguous run of the condensed array.
    Whole chunks are written as soon as they are complete."""
    n = table.n_trees
    total = n * (n - 1) // 2
    n_chunks = (total + size - 1) // size
    missing = [k for k in range(n_chunks) if (k,) not in done]
    if not missing:
        return
    buf_start = missing[0] * size  # everything before it is written
    row = _row_of(buf_start, n)
    pos = row * n - row * (row + 1) // 2  # condensed position of (row, row + 1)
    if progress is not None:
        progress.finished(pos)
    buf = np.empty(0, dtype=dt)
    band_cells = max(size, _BAND_CELLS)
    while row < n - 1:
        end, cells = row + 1, n - row - 1
        while end < n - 1 and cells + (n - end - 1) <= band_cells:
            cells += n - end - 1
            end += 1
        block = table.block(metric, slice(row, end), slice(row + 1, n), dtype=dt,
                            progress=counter)
        values = np.concatenate([block[r, r:] for r in range(end - row)])
        buf = np.concatenate([buf, values[max(0, buf_start + len(buf) - pos):]])
        pos += cells
        while len(buf) >= size or (len(buf) > 0 and buf_start + len(buf) == total):
            take = min(size, len(buf))
            k = buf_start // size
            if (k,) not in done:
                part = buf[:take].copy()

                def write(at: int = buf_start, part: np.ndarray = part) -> None:
                    arr[at:at + len(part)] = part

                writer.submit((k,), write, _digest(part, dt))
            buf, buf_start = buf[take:], buf_start + take
        if progress is not None:
            progress.finished(cells)
        row = end


def _row_of(pos: int, n: int) -> int:
    """The row i whose cells (i, i+1 ..) hold condensed position pos."""
    lo, hi = 0, n - 1
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if mid * n - mid * (mid + 1) // 2 <= pos:
            lo = mid
        else:
            hi = mid - 1
    return lo


def write_npy(table: SplitTable, path: str, metric: Metric = "rf", *,
              dtype: Optional[DTypeLike] = None, rows_per_band: int = 0,
              progress: Optional[TileProgress] = None) -> None:
    """Write the n x n matrix to ``path`` (a ``.npy`` file) through a memory map, a band of
    rows at a time, so the matrix never has to fit in memory."""
    n = table.n_trees
    dt = _rf_dtype(table, metric, dtype)
    mm = np.lib.format.open_memmap(path, mode="w+", dtype=dt, shape=(n, n))
    try:
        band = rows_per_band or max(1, (1 << 26) // max(1, n * dt.itemsize))
        counter = progress.counter if progress is not None else None
        for a in range(0, n, band):
            b = min(n, a + band)
            table.block(metric, slice(a, b), None, out=mm[a:b], progress=counter)
            mm.flush()
            if progress is not None:
                progress.finished((b - a) * n)
    finally:
        del mm


# ----------------------------------------------------------------------------- Dask


def _dask_tile(table: SplitTable, metric: Metric, dtype: np.dtype[Any], rows: np.ndarray,
               cols: np.ndarray) -> np.ndarray:
    return table.block(metric, rows, cols, dtype=dtype)


def dask_matrix(table: SplitTable, metric: Metric = "rf", chunk: Optional[int] = None,
                dtype: Optional[DTypeLike] = None) -> Any:
    """The n x n matrix as a lazy ``dask.array``: one task per tile, each computing its
    block from the table, which enters the graph once (pickled into its compact byte form
    when the scheduler is distributed). Tiles pair row blocks with column blocks as
    ``dask.array.blockwise`` does for pairwise distances."""
    import dask
    import dask.array as da

    n = table.n_trees
    chunk = int(chunk or DEFAULT_CHUNK)
    dt = _rf_dtype(table, metric, dtype)
    index = da.arange(n, chunks=chunk, dtype=np.uint32)
    shared = dask.delayed(table, pure=True, traverse=False)  # type: ignore[attr-defined]
    return da.blockwise(  # type: ignore[no-untyped-call]
        _dask_tile, "ij", shared, None, metric, None, dt, None, index, "i", index, "j",
        dtype=dt, concatenate=True, meta=np.empty((0, 0), dt))


def write_zarr_distributed(table: SplitTable, path: str, metric: Metric = "rf", *,
                           chunk: Optional[int] = None, dtype: Optional[DTypeLike] = None,
                           settings: Optional[Attrs] = None, client: Any = None,
                           condensed: bool = False, resume: bool = False,
                           progress: Optional[TileProgress] = None,
                           overwrite: bool = True) -> str:
    """:func:`write_zarr` on a Dask cluster (``client``, or the client of the current
    ``distributed`` context): each task computes one tile and writes its Zarr chunks."""
    if client is None:
        from distributed import get_client

        client = get_client()
    return write_zarr(table, path, metric, condensed=condensed, chunk=chunk, dtype=dtype,
                      resume=resume, settings=settings, progress=progress,
                      overwrite=overwrite, client=client)
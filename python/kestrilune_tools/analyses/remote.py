"""The split table's blocks and reductions computed on a Dask cluster, each equal to the
same call on this machine, byte for byte.

    >>> with connect("local:2") as client:
    ...     d = between(client, table.joined(other), "rf", table.n_trees)
    ...     sums = row_sums(client, table, "wrf")
    ...     nb, dist = knn(client, table, 5, "rf")
    ...     lag = lag_means(client, table, "kf", max_lag=100)
    ...     stats = distance_stats(dist, blocks=run_blocks(client, dist))  # converge

The table is sent to every worker once (scattered in its byte form); each task computes
a band of rows from it and hands back only what the result keeps, and this process puts
the bands together in order. Every cell is a cell of the table, whatever the band
(the cells do not depend on the tiling), and every sum is added in the order the engine
adds it: WRF and KF row sums along a row in column order (one band holds whole rows; RF
sums are exact integers), lag sums in ascending tree within each run and lag (added here
from the gathered cells), the sums of a run's ESS measures block by block in the order of
the blocks. Neighbours are ranked on the workers in the engine's order (nearest first,
ties to the lower index, NaN last). A stopped run (Ctrl-C) cancels the tasks not yet
done. ``progress`` (a
:class:`~kestrilune_tools.analyses.scale.TileProgress`) counts the cells of finished
tasks.
"""

from __future__ import annotations

import warnings
from typing import (
    TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Optional, Protocol, Sequence, Set,
    Tuple,
)

import numpy as np

from ..table.engine import LagMeans, Neighbours
from ..table.metrics import Metric

if TYPE_CHECKING:
    from ..table.engine import SplitTable
    from .converge.ess import BlockSums, RunDistances


class Progress(Protocol):
    """What the tasks report to: the cells of each finished task (such as a
    :class:`~kestrilune_tools.analyses.scale.TileProgress`)."""

    def finished(self, cells: int) -> None: ...


__all__ = ["between", "to", "row_sums", "knn", "lag_means", "run_blocks", "bands",
           "run_tasks"]

_SCATTERS = 3  # times the table is sent out before a run whose jobs keep being lost fails
_TASK_CELLS = 1 << 24  # cells of a task whose cells come back (a block), at most
_LAG_BAND = 32  # rows per lag block at least: a block of R rows holds R x (R + K - 1) cells


def bands(rows: int, cols: int, workers: int, most: Optional[int] = None
          ) -> List[Tuple[int, int]]:
    """Row ranges [a, b) covering ``rows`` rows of ``cols`` cells each: four tasks a
    worker (each engine call has a fixed cost that grows with the columns, so fewer and
    larger tasks are faster), none of more than ``most`` cells unless one row holds more."""
    if rows <= 0:
        return []
    per = -(-rows // max(1, 4 * workers))
    if most is not None:
        per = max(1, min(per, most // max(1, cols)))
    return [(a, min(rows, a + per)) for a in range(0, rows, per)]


def _workers(client: Any) -> int:
    return max(1, len(client.scheduler_info().get("workers", {})))


def _ordered(client: Any, shared: Sequence[Any], task: Callable[..., Any],
             jobs: Sequence[Tuple[Any, ...]], done: Optional[Callable[[int], None]] = None
             ) -> Iterator[Any]:
    """``task(*shared, *job)`` for every job on the cluster, yielded in the order of
    ``jobs`` as they finish (``done(i)`` told when job i does); a stop (Ctrl-C, an error,
    the caller leaving) cancels the jobs left."""
    from distributed import as_completed

    futures: Dict[Any, int] = {client.submit(task, *shared, *job, pure=False): i
                               for i, job in enumerate(jobs)}
    pending: Dict[int, Any] = {}
    following = 0
    try:
        for future in as_completed(list(futures)):  # type: ignore[no-untyped-call]
            i = futures[future]
            pending[i] = future.result()
            future.release()  # its result is here now; the worker may drop it
            if done is not None:
                done(i)
            while following in pending:
                yield pending.pop(following)
                following += 1
    except BaseException:
        client.cancel([f for f in futures if not f.done()])
        raise


def run_tasks(client: Any, table: SplitTable, task: Callable[..., Any],
              jobs: Sequence[Tuple[Any, ...]], cells: Sequence[int],
              progress: Optional[Progress]) -> Iterator[Any]:
    """``task(table, *job)`` for every job on the cluster, yielded in the order of ``jobs``;
    ``cells[i]`` is what job i adds to ``progress``."""
    from concurrent.futures import CancelledError

    if not jobs:
        return
    yielded = 0
    counted: Set[int] = set()  # jobs whose cells progress has, once each

    def done(i: int) -> None:
        if progress is not None and i not in counted:
            counted.add(i)
            progress.finished(cells[i])

    for attempt in range(_SCATTERS):
        # The table goes to every worker; should the workers holding it all go (a cluster
        # losing nodes), the jobs waiting on it are cancelled by the scheduler: it is then
        # scattered again and the jobs not yet yielded are submitted again.
        shared = client.scatter(table, broadcast=True, hash=False)
        start = yielded
        try:
            for out in _ordered(client, [shared], task, jobs[start:],
                                lambda i: done(start + i)):
                yielded += 1
                yield out
            return
        except CancelledError:
            if attempt + 1 == _SCATTERS:
                raise
        finally:
            client.cancel([shared])


def _block(table: SplitTable, metric: Metric, rows: Tuple[int, int], cols: Tuple[int, int],
           dtype: Optional[str]) -> np.ndarray:
    return table.block(metric, slice(*rows), slice(*cols), dtype=dtype)


def between(client: Any, joint: SplitTable, metric: Metric, n_rows: int,
            progress: Optional[Progress] = None) -> np.ndarray:
    """``joint.block(metric, slice(0, n_rows), slice(n_rows, None))``: the trees of one set
    (the first ``n_rows`` of ``joint``) against the other's."""
    n_cols = joint.n_trees - n_rows
    parts = bands(n_rows, n_cols, _workers(client), _TASK_CELLS)
    out: Optional[np.ndarray] = None
    for i, part in enumerate(run_tasks(
            client, joint, _block,
            [(metric, (a, b), (n_rows, joint.n_trees), None) for a, b in parts],
            [(b - a) * n_cols for a, b in parts], progress)):
        a, b = parts[i]
        if out is None:  # each band copied in as it comes: the matrix is held once
            out = np.empty((n_rows, n_cols), dtype=part.dtype)
        out[a:b] = part
    if out is None:
        return joint.block(metric, slice(0, n_rows), slice(n_rows, joint.n_trees))
    return out


def _row(table: SplitTable, metric: Metric, row: int, cols: Tuple[int, int]) -> np.ndarray:
    return table.block(metric, [row], slice(*cols))[0]


def to(client: Any, table: SplitTable, row: int, metric: Metric, n_cols: int,
       progress: Optional[Progress] = None) -> np.ndarray:
    """``table.block(metric, [row], slice(0, n_cols))[0]``: one tree against the first
    ``n_cols`` trees, in column bands."""
    parts = bands(n_cols, 1, _workers(client), _TASK_CELLS)
    got = list(run_tasks(client, table, _row, [(metric, row, part) for part in parts],
                         [b - a for a, b in parts], progress))
    if not got:
        return table.block(metric, [row], slice(0, n_cols))[0]
    return np.concatenate(got)


def _row_sums(table: SplitTable, metric: Metric, rows: Tuple[int, int]) -> np.ndarray:
    with warnings.catch_warnings():  # said once, by the caller
        warnings.simplefilter("ignore", RuntimeWarning)
        return table.row_sums(metric, slice(*rows))


def row_sums(client: Any, table: SplitTable, metric: Metric,
             progress: Optional[Progress] = None) -> np.ndarray:
    """``table.row_sums(metric)``: each band of rows against every tree."""
    n = table.n_trees
    table._flag_nonfinite(metric, None, "sums over them are not meaningful")
    parts = bands(n, n, _workers(client))  # nothing but the sums comes back
    got = list(run_tasks(client, table, _row_sums, [(metric, part) for part in parts],
                         [(b - a) * n for a, b in parts], progress))
    return np.concatenate(got) if got else np.zeros(0, dtype=np.float64)


def _nearest(table: SplitTable, metric: Metric, rows: Tuple[int, int], k: int
             ) -> Tuple[np.ndarray, np.ndarray]:
    """The k nearest other trees of the rows: nearest first, ties to the lower index, NaN
    after every number (the engine's order)."""
    a, b = rows
    n = table.n_trees
    d = table.block(metric, slice(a, b), None, dtype=np.float64)
    m = b - a
    keep = np.ones((m, n), dtype=bool)
    keep[np.arange(m), np.arange(a, b)] = False  # not a tree's own neighbour
    others = d[keep].reshape(m, n - 1)
    columns = np.broadcast_to(np.arange(n), (m, n))[keep].reshape(m, n - 1)
    kth = np.partition(others, k - 1, axis=1)[:, k - 1]  # NaN sorts last here too
    nb = np.empty((m, k), dtype=np.int64)
    dist = np.empty((m, k), dtype=np.float64)
    for r in range(m):
        row = others[r]
        take = np.flatnonzero(row <= kth[r]) if not np.isnan(kth[r]) else \
            np.arange(n - 1)
        order = take[np.argsort(row[take], kind="stable")][:k]
        nb[r] = columns[r, order]
        dist[r] = row[order]
    return nb, dist


def knn(client: Any, table: SplitTable, k: int, metric: Metric,
        progress: Optional[Progress] = None) -> Neighbours:
    """``table.knn(k, metric)`` for every tree of the table."""
    n = table.n_trees
    if not 1 <= k < n:
        raise ValueError(f"k must be from 1 to {n - 1} for {n} trees, got {k}")
    table._flag_nonfinite(metric, None, "distances to them are not meaningful (NaN ranks "
                          "last)")
    parts = bands(n, n, _workers(client), _TASK_CELLS // 2)  # a block and its copies
    got = list(run_tasks(client, table, _nearest, [(metric, part, k) for part in parts],
                         [(b - a) * n for a, b in parts], progress))
    return Neighbours(np.concatenate([g[0] for g in got]),
                      np.concatenate([g[1] for g in got]))


def _lag_cells(table: SplitTable, metric: Metric, window: np.ndarray, rows: int,
               max_lag: int) -> np.ndarray:
    """(rows, max_lag) float64: cell [t, k - 1] = d(window[t], window[t + k]), NaN where
    t + k is past the end of ``window`` (a run's trees from the first row on, up to
    max_lag trees past the last row)."""
    out = np.full((rows, max_lag), np.nan)
    step = max(_LAG_BAND, max_lag)
    lag = np.arange(max_lag)
    for a in range(0, rows, step):
        b = min(rows, a + step)
        cols = window[a + 1:b + max_lag]
        if len(cols) == 0:
            break
        d = table.block(metric, window[a:b], cols, dtype=np.float64)
        r = np.arange(b - a)[:, None]
        c = r + lag[None, :]  # the partner of tree a + r at lag k is column r + k - 1
        ok = c < d.shape[1]
        out[a:b][ok] = d[np.broadcast_to(r, c.shape)[ok], c[ok]]
    return out


def lag_means(client: Any, table: SplitTable, metric: Metric, max_lag: int,
              progress: Optional[Progress] = None) -> LagMeans:
    """``table.lag_means(metric, max_lag)``: the cells d(t, t + k) of each run in bands of
    trees on the workers; their sums here, in ascending t per run and lag."""
    n = table.n_trees
    groups = np.asarray(table.groups)
    n_groups = int(groups.max()) + 1 if n else 0
    table._flag_nonfinite(metric, None, "their pairs are left out of the lag means")
    left_out = table._nonfinite(None) if metric != "rf" else np.zeros(n, dtype=bool)
    members = [np.flatnonzero(groups == g).astype(np.int64) for g in range(n_groups)]
    per = max(1, -(-n // max(1, 4 * _workers(client))))  # the cells come back: n x max_lag
    jobs: List[Tuple[Any, ...]] = []
    where: List[Tuple[int, int]] = []
    for g, trees in enumerate(members):
        for a in range(0, len(trees), per):
            b = min(len(trees), a + per)
            # The rows a..b and the max_lag trees after them within the run.
            jobs.append((metric, trees[a:b + max_lag], b - a, max_lag))
            where.append((g, a))
    got = list(run_tasks(client, table, _lag_cells, jobs, [max_lag * j[2] for j in jobs],
                         progress))
    pairs = np.zeros((n_groups, max_lag), dtype=np.int64)
    s = np.zeros((n_groups, max_lag))
    s2 = np.zeros((n_groups, max_lag))
    cells: List[List[np.ndarray]] = [[] for _ in range(n_groups)]
    for (g, _), part in zip(where, got):
        cells[g].append(part)
    for g, trees in enumerate(members):
        if not cells[g]:
            continue
        d = np.concatenate(cells[g])
        for k in range(1, min(max_lag, len(trees) - 1) + 1):
            t = np.arange(len(trees) - k)
            ok = ~(left_out[trees[t]] | left_out[trees[t + k]])
            v = d[t[ok], k - 1]
            pairs[g, k - 1] = len(v)
            if len(v):  # added one by one from 0.0, as the engine adds them
                s[g, k - 1] = np.add.accumulate(np.concatenate(([0.0], v)))[-1]
                s2[g, k - 1] = np.add.accumulate(np.concatenate(([0.0], v * v)))[-1]
    with np.errstate(invalid="ignore", divide="ignore"):
        return LagMeans(pairs=pairs, mean=s / pairs, mean_sq=s2 / pairs)


def _run_block(table: SplitTable, idx: np.ndarray, metric: Metric, dtype: Optional[str],
               start: int, stop: int, pseudo: bool) -> BlockSums:
    from .converge.ess import run_block_sums

    rows = table.block(metric, idx[start:stop], idx, dtype=dtype)
    return run_block_sums(rows, start, len(idx), pseudo)


def run_blocks(client: Any, dist: RunDistances, pseudo: bool = True
               ) -> Callable[[int, int], Iterator[BlockSums]]:
    """For :func:`~kestrilune_tools.analyses.converge.ess.distance_stats` (``blocks=``):
    the sums of each block of rows of a run's distances (``dist``, made by
    :func:`~kestrilune_tools.analyses.converge.report.run_distances`) computed on the
    workers from its table, the run's rows sent once."""
    if dist.source is None:
        raise ValueError("these run distances carry no split table to send to the workers")
    table, idx, metric, dtype = dist.source

    def blocks(block_rows: int, n: int) -> Iterator[BlockSums]:
        jobs = [(start, min(n, start + block_rows), pseudo) for start in range(0, n, block_rows)]
        if not jobs:
            return
        shared = [client.scatter(table, broadcast=True, hash=False),
                  client.scatter(idx, broadcast=True, hash=False)]
        try:
            yield from _ordered(client, shared + [metric, None if dtype is None else
                                                  np.dtype(dtype).str], _run_block, jobs)
        finally:
            client.cancel(shared)

    return blocks

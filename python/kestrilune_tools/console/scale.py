"""The big-posterior options of ``kestrilune rf|wrf|kf``: everything computed from the split
table (:mod:`kestrilune_tools.table.engine`) instead of one module call holding the n x n
matrix.

    kestrilune rf big.trees -o rf.zarr [--condensed] [--resume]   # tile by tile, to Zarr
    kestrilune rf big.trees -o rf.npy                             # through a memory map
    kestrilune rf run1.t --between run2.t -o cross.npy            # one set against another
    kestrilune rf run1.t --to 0 -o to_first.csv                   # one tree against all
    kestrilune rf run1.t run2.t --reduce medoid|knn=5|lag=100     # never the matrix
    kestrilune rf big.trees --reduce medoid --scheduler local:4   # on a Dask cluster

``-o x.npy`` takes this path when the matrix would not fit comfortably in memory (more than
a quarter of it, or 2 GiB), or with ``--condensed``. Either way a ``.npy`` holds what the
in-memory path writes: ``int32`` RF, ``float64`` WRF and KF (``--dtype`` narrows RF).
An existing ``-o NAME.zarr`` is replaced only with ``--overwrite`` and only when it is a
store this command wrote; ``--resume`` names the tree files by their resolved path and the
SHA-256 of their first 64 KiB (see :func:`file_fingerprints`).
``--scheduler`` computes ``-o NAME.zarr``, ``--between``, ``--to`` and ``--reduce`` on a
Dask cluster, with the same bytes as this machine computes them.
"""

from __future__ import annotations

import contextlib
import os
import re
from typing import (
    TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, TypeVar,
)

import numpy as np

from ..pictures.words import counted
from ..table.load import machine_memory
from .cli import CommandError, Context, UsageError, memory_advice
from .outputs import OutputPathError, atomic_path, check_writable, suffix_of

if TYPE_CHECKING:
    import argparse

    from ..reading import TreeSet
    from ..table.engine import LagMeans, SplitTable
    from ..table.metrics import Metric

_T = TypeVar("_T")

__all__ = ["add_arguments", "takes", "run", "cluster", "SCHEDULER_HELP"]

_LARGE_BYTES = 2 << 30
_HEAD_BYTES = 1 << 16
RF_CELL_TYPES = ("int32", "int16", "uint16", "uint8")
SCHEDULER_HELP = ("local:N (N worker processes here), a scheduler address (tcp://host:8786), "
                  "or jobqueue:FILE (a SLURM/PBS/SGE cluster described in FILE); the same "
                  "numbers as without it")


def add_arguments(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("big posteriors (computed tile by tile from the split table)")
    g.add_argument("--condensed", action="store_true",
                   help="write only the upper triangle, as a 1-D array in the order of "
                        "scipy.spatial.distance.squareform (with -o .zarr or .npy)")
    g.add_argument("--resume", action="store_true",
                   help="continue a killed -o .zarr run (refused if the store was made for "
                        "other trees or settings)")
    g.add_argument("--overwrite", action="store_true",
                   help="replace an existing -o .zarr store written by kestrilune (a folder "
                        "of that name that is not such a store is never replaced)")
    g.add_argument("--dtype", choices=RF_CELL_TYPES, default=None,
                   help="cell type of an RF matrix written to .zarr or .npy (default int32, "
                        "as every RF matrix; a narrow type is refused if a distance of these "
                        "trees could exceed it)")
    g.add_argument("--scheduler", metavar="WHERE",
                   help="compute -o .zarr tiles, --between, --to or --reduce on a Dask "
                        "cluster: " + SCHEDULER_HELP)
    g.add_argument("--chunk", type=int, default=None, metavar="N",
                   help="Zarr chunk side (default 2048; condensed chunks hold N*N cells)")
    g.add_argument("--between", nargs="+", metavar="OTHER",
                   help="distances from the trees of FILE... (rows) to those of OTHER... "
                        "(columns), same burn-in and thinning")
    g.add_argument("--to", metavar="INDEX|NEWICK",
                   help="distances from one tree (an index into the trees used, or a "
                        "Newick text with taxon names) to every tree")
    g.add_argument("--reduce", metavar="WHAT",
                   help="medoid (row sums and the medoid), knn=K (K nearest neighbours of "
                        "every tree) or lag=K (mean d and d^2 at lags 1..K within each run)")


def takes(args: argparse.Namespace, n_trees: Optional[int] = None) -> bool:
    """Whether the command goes through the split table (n_trees known after reading)."""
    if args.between or args.to is not None or args.reduce or args.condensed or args.resume \
            or args.dtype or args.scheduler:
        return True
    out = (args.output or "").lower()
    if out.endswith(".zarr"):
        return True
    if out.endswith(".npy") and n_trees is not None:
        cells = n_trees * n_trees * (4 if args.command == "rf" else 8)
        return cells > min(_LARGE_BYTES, machine_memory() // 4)
    return False


def check_options(args: argparse.Namespace, ctx: Context) -> None:
    """Refuse bad combinations before any file is read."""
    chosen = [o for o, v in (("--between", args.between), ("--to", args.to),
                             ("--reduce", args.reduce)) if v]
    if len(chosen) > 1:
        raise UsageError(f"{' and '.join(chosen)} cannot be combined")
    if chosen and (args.plot or args.trace or args.heatmap):
        raise UsageError(f"{chosen[0]} draws no pictures (--plot, --trace and --heatmap need "
                         "the whole matrix)")
    out = args.output or ""
    zarr_out = out.lower().endswith(".zarr")
    if (zarr_out or args.condensed or args.resume) and (args.plot or args.trace or args.heatmap):
        raise UsageError("pictures need the matrix in memory; leave out --plot, --trace and "
                         "--heatmap with -o .zarr or --condensed")
    if args.resume and not zarr_out:
        raise UsageError("--resume continues a Zarr store: give -o NAME.zarr")
    if args.condensed and not (zarr_out or out.lower().endswith(".npy")):
        raise UsageError("--condensed needs -o NAME.zarr or NAME.npy")
    if zarr_out and chosen:
        raise UsageError(f"{chosen[0]} writes -o NAME.npy, .csv or .tsv"
                         f"{' (or .npz)' if args.reduce else ''}, not a Zarr store")
    if args.scheduler and not (zarr_out or chosen):
        raise UsageError("--scheduler computes -o NAME.zarr, --between, --to or --reduce; "
                         "give one of them")
    if args.dtype and args.command != "rf":
        raise UsageError("--dtype sets the cell type of RF matrices; WRF and KF cells are "
                         "float64")
    if args.dtype and not (zarr_out or out.lower().endswith(".npy")):
        raise UsageError("--dtype applies to -o NAME.zarr and NAME.npy")
    if args.chunk is not None and args.chunk < 1:
        raise UsageError(f"--chunk must be at least 1, got {args.chunk}")
    if args.reduce:
        _parse_reduce(args.reduce)
    if zarr_out:
        try:
            import zarr  # noqa: F401
        except ImportError:
            raise CommandError("writing Zarr needs the zarr package: pip install "
                               "'kestrilune[scale]'") from None
        if os.path.exists(out) and not os.path.isdir(out):
            raise CommandError(f"cannot write {out}: a file of that name exists")
        from ..analyses.scale import is_our_store

        if os.path.isdir(out) and not is_our_store(out):
            raise CommandError(f"cannot write {out}: it is a folder that is not a Zarr store "
                               "written by kestrilune; move it away or choose another name")
        if os.path.isdir(out) and not (args.overwrite or args.resume):
            raise CommandError(f"cannot write {out}: a store of that name exists; give "
                               "--overwrite to replace it")
        try:
            check_writable(os.path.join(os.path.dirname(os.path.abspath(out)), "probe"))
        except OutputPathError as exc:
            raise CommandError(str(exc).replace(os.path.join(
                os.path.dirname(os.path.abspath(out)), "probe"), out)) from None
    elif out and (args.between or args.to is not None or args.reduce):
        suffixes = (".npy", ".csv", ".tsv") if not args.reduce else (".npy", ".csv", ".tsv",
                                                                     ".npz")
        ctx.output(out, suffixes, "-o")
    elif out and (args.condensed or args.resume):
        ctx.output(out, (".npy",), "-o")


def _parse_reduce(text: str) -> Tuple[str, int]:
    m = re.fullmatch(r"\s*(medoid|knn|lag)\s*(?:=\s*(\d+))?\s*", text.lower())
    if not m or (m.group(1) != "medoid") != (m.group(2) is not None):
        raise UsageError(f"--reduce must be medoid, knn=K or lag=K, got {text!r}")
    what, k = m.group(1), int(m.group(2) or 0)
    if what != "medoid" and k < 1:
        raise UsageError(f"--reduce {what}=K needs K of at least 1")
    return what, k


def file_fingerprints(paths: Sequence[str]) -> List[Dict[str, str]]:
    """What ``--resume`` compares of the tree files: the resolved path (``./w1.t`` and its
    absolute path are one file) and the SHA-256 of the first 64 KiB. Not the size or the
    time of change: a copy or ``touch`` changes the time, and a chain still running adds
    trees (the trees actually used are covered by the fingerprint of the split table)."""
    import hashlib

    out = []
    for path in paths:
        h = hashlib.sha256()
        try:
            with open(path, "rb") as fh:
                h.update(fh.read(_HEAD_BYTES))
        except OSError:
            pass
        out.append({"path": os.path.realpath(path), "head_sha256": h.hexdigest()})
    return out


# ----------------------------------------------------------------------------- running


def run(args: argparse.Namespace, ctx: Context, ts: TreeSet, table: SplitTable) -> int:
    """The command for the trees ``ts``, read into ``table`` (``Context.read_table``)."""
    from ..analyses import scale
    from ..analyses.distances import explain_error

    metric = args.command
    settings = {"burnin": args.burnin, "thin": args.thin, "max_trees": args.max_trees,
                "files": file_fingerprints([f.path for f in ts.files])}
    out = args.output
    mode = ctx.rooting or ("rooted" if args.rooted else "unrooted")
    lines = [f"kestrilune {metric} ({mode}): "
             f"{counted(table.n_trees, 'tree')}, {counted(len(table.leaf_names), 'taxon')}, "
             f"{table.n_splits} distinct "
             f"{'clades' if args.rooted else 'splits'}"]
    try:
        if args.between or args.to is not None or args.reduce:
            with cluster(ctx, args.scheduler, None) as client:
                if args.between:
                    lines += _between(ctx, args, ts, table, metric, client)
                elif args.to is not None:
                    lines += _to(ctx, args, ts, table, metric, client)
                else:
                    lines += _reduce(ctx, args, ts, table, metric, client)
        elif out and out.lower().endswith(".zarr"):
            progress = scale.TileProgress(0)
            label = f"writing {os.path.basename(out)}"
            try:
                with cluster(ctx, args.scheduler, out) as client, \
                        ctx.track(label, progress, "cells",
                                  detail="computing and writing tiles"):
                    scale.write_zarr(table, out, metric, condensed=args.condensed,
                                     chunk=args.chunk, dtype=args.dtype, resume=args.resume,
                                     settings=settings, progress=progress,
                                     overwrite=args.overwrite, warn=ctx.warn, client=client)
            except KeyboardInterrupt:  # Ctrl-C or SIGTERM: say how to go on
                if os.path.isdir(out + ".partial"):
                    ctx.progress.note(f"kestrilune: the tiles written so far stay in "
                                      f"{out}.partial; the same command with --resume "
                                      "continues from them")
                raise
            layout = "condensed" if args.condensed else "square"
            lines.append(f"wrote {out} ({layout} Zarr store, {counted(table.n_trees, 'tree')})")
        else:
            lines += _npy(ctx, args, table, metric)
    except scale.StoreError as exc:
        raise CommandError(str(exc)) from None
    except ValueError as exc:
        raise CommandError(explain_error(exc, ts)) from None
    lines.append(ctx.timing_line())
    ctx.print("\n".join(lines))
    return 0


@contextlib.contextmanager
def cluster(ctx: Context, where: Optional[str], store: Optional[str]) -> Iterator[Any]:
    """The Dask client ``--scheduler`` names (None without it), its workers checked (and
    that they see the folder of ``store``, when they write one)."""
    if not where:
        yield None
        return
    from ..analyses.cluster import ClusterError, check_workers, connect

    try:
        with ctx.phase("starting the cluster"), contextlib.ExitStack() as stack:
            client = stack.enter_context(connect(where))
            workers = check_workers(client, store)
            ctx.progress.note(f"kestrilune: {counted(workers, 'Dask worker')} at "
                              f"{client.scheduler.address}")
            stack = stack.pop_all()
        with stack:
            yield client
    except ClusterError as exc:
        raise CommandError(str(exc)) from None


def _cell_type(args: argparse.Namespace, table: SplitTable, metric: Metric) -> "np.dtype[Any]":
    from ..analyses.scale import rf_cell_type

    return rf_cell_type(table, args.dtype) if metric == "rf" else np.dtype(np.float64)


def _compute(ctx: Context, label: str, cells: int, fn: Callable[[Any], _T],
             client: Any = None, remote: Optional[Callable[[Any, Any], _T]] = None) -> _T:
    """``fn(counter)`` here, or ``remote(client, progress)`` on the cluster of ``client``."""
    from ..analyses.scale import TileProgress

    progress = TileProgress(cells)
    if client is not None and remote is not None:
        with ctx.track(label, progress, "cells", detail=f"{label} on the Dask workers"):
            return remote(client, progress)
    with ctx.track(label, progress, "cells"), ctx.native_call():
        return fn(progress.counter)


def _write_vector_or_matrix(ctx: Context, path: str, values: np.ndarray,
                            row_names: Sequence[str], col_names: Sequence[str],
                            what: str) -> None:
    suffix = suffix_of(path)

    def writer(tmp: str) -> None:
        if suffix == ".npy":
            np.save(tmp, values)
            return
        delimiter = "\t" if suffix == ".tsv" else ","
        import csv

        with open(tmp, "w", newline="", encoding="utf-8") as fh:
            w = csv.writer(fh, delimiter=delimiter, lineterminator="\n")
            w.writerow(["tree"] + list(col_names))
            for name, row in zip(row_names, np.atleast_2d(values) if values.ndim == 2
                                 else values[:, None]):
                w.writerow([name] + row.tolist())

    ctx.write(path, what, writer)


def _between(ctx: Context, args: argparse.Namespace, ts: TreeSet, table: SplitTable,
             metric: Metric, client: Any) -> List[str]:
    from ..analyses import remote

    other_ts, other = ctx.read_table(args.between, args.burnin, args.thin, args.max_trees,
                                     rooted=args.rooted, lengths=metric != "rf")
    joint = table.joined(other)
    cells = table.n_trees * other.n_trees
    d = _compute(ctx, "computing pairs", cells, lambda c: joint.block(
        metric, slice(0, table.n_trees), slice(table.n_trees, joint.n_trees), progress=c),
        client, lambda cl, p: remote.between(cl, joint, metric, table.n_trees, p))
    if args.output and suffix_of(args.output) == ".npy":
        d = d.astype(_cell_type(args, joint, metric), copy=False)
    if args.output:
        _write_vector_or_matrix(ctx, args.output, d, ts.names, other_ts.names,
                                f"{d.shape[0]} x {d.shape[1]} {d.dtype} matrix")
    return [f"between {d.shape[0]} and {d.shape[1]} trees: min {d.min():.6g}, mean "
            f"{d.mean(dtype=np.float64):.6g}, max {d.max():.6g}"]


def _to(ctx: Context, args: argparse.Namespace, ts: TreeSet, table: SplitTable,
        metric: Metric, client: Any) -> List[str]:
    from ..analyses import remote

    ref = args.to.strip()
    if re.fullmatch(r"-?\d+", ref):
        i = int(ref)
        if not -table.n_trees <= i < table.n_trees:
            raise CommandError(f"--to {ref} is out of range: {table.n_trees} trees were read")
        i %= table.n_trees
        label = f"tree {i} ({ts.names[i]})"
        d = _compute(ctx, "computing distances", table.n_trees,
                     lambda c: table.to(i, metric, progress=c),
                     client, lambda cl, p: remote.to(cl, table, i, metric, table.n_trees, p))
    else:
        label = "the given tree"
        joint = table.with_tree(ref) if client is not None else table
        d = _compute(ctx, "computing distances", table.n_trees,
                     lambda c: table.to(ref, metric, progress=c),
                     client, lambda cl, p: remote.to(cl, joint, table.n_trees, metric,
                                                     table.n_trees, p))
    if args.output and suffix_of(args.output) == ".npy":
        d = d.astype(_cell_type(args, table, metric), copy=False)
    if args.output:
        _write_vector_or_matrix(ctx, args.output, d, ts.names, ["distance"],
                                f"{len(d)} distances")
    return [f"distance of every tree to {label}: min {d.min():.6g}, mean "
            f"{d.mean(dtype=np.float64):.6g}, max {d.max():.6g}"]


def _reduce(ctx: Context, args: argparse.Namespace, ts: TreeSet, table: SplitTable,
            metric: Metric, client: Any) -> List[str]:
    from ..analyses import remote

    what, k = _parse_reduce(args.reduce)
    n = table.n_trees
    if what == "medoid":
        sums = _compute(ctx, "computing row sums", n * n,
                        lambda c: table.row_sums(metric, progress=c),
                        client, lambda cl, p: remote.row_sums(cl, table, metric, p))
        i = int(np.argmin(sums))
        if args.output:
            _write_vector_or_matrix(ctx, args.output, sums, ts.names, ["sum"],
                                    f"{n} row sums")
        return [f"medoid: tree {i} ({ts.names[i]}), mean distance to the others "
                f"{sums[i] / max(1, n - 1):.6g}"]
    if what == "knn":
        if k >= n:
            raise CommandError(f"--reduce knn={k} needs more than {k} trees ({n} were read)")
        try:
            nb, dist = _compute(ctx, "finding neighbours", n * n,
                                lambda c: table.knn(k, metric, progress=c),
                                client, lambda cl, p: remote.knn(cl, table, k, metric, p))
        except MemoryError:
            raise CommandError(f"out of memory for --reduce knn={k}: the neighbours of {n} "
                               f"trees take {n} x {k} cells; a smaller K helps") from None
        if args.output:
            path = args.output

            def writer(tmp: str) -> None:
                if suffix_of(path) == ".npz":
                    np.savez(tmp, neighbours=nb, distances=dist,
                             tree_names=np.array(ts.names, dtype=object).astype(str))
                elif suffix_of(path) == ".npy":
                    np.save(tmp, nb)
                else:
                    _knn_text(tmp, ts.names, nb, dist, "\t" if suffix_of(path) == ".tsv" else ",")

            ctx.write(path, f"{k} nearest neighbours of {n} trees", writer)
        return [f"{k} nearest neighbours: mean distance to the nearest "
                f"{dist[:, 0].mean():.6g}, to the {k}-th {dist[:, -1].mean():.6g}"]
    longest = max(f.n_used for f in ts.files)
    if k >= longest:
        capped = max(1, longest - 1)
        ctx.warn(f"--reduce lag={k} is longer than the longest run ({longest} trees): lags "
                 f"1..{capped} are computed")
        k = capped
    lag = _compute(ctx, "computing lagged distances", n * k,
                   lambda c: table.lag_means(metric, max_lag=k, progress=c),
                   client, lambda cl, p: remote.lag_means(cl, table, metric, k, p))
    if args.output:
        path = args.output

        def writer(tmp: str) -> None:
            if suffix_of(path) in (".npy", ".npz"):
                np.savez(tmp, pairs=lag.pairs, mean=lag.mean, mean_sq=lag.mean_sq) \
                    if suffix_of(path) == ".npz" else np.save(tmp, lag.mean_sq)
            else:
                _lag_text(tmp, ts, lag, "\t" if suffix_of(path) == ".tsv" else ",")

        ctx.write(path, f"lags 1..{k} for {lag.pairs.shape[0]} runs", writer)
    out = [f"mean squared distance at lag k within runs (k = 1, 2, 5, 10, {k}):"]
    for g, f in enumerate(ts.files):
        shown = ", ".join(f"{lag.mean_sq[g, j - 1]:.6g}" for j in sorted({1, 2, 5, 10, k})
                          if j <= k)
        out.append(f"  {f.label}: {shown}")
    return out


def _knn_text(path: str, names: Sequence[str], nb: np.ndarray, dist: np.ndarray,
              delimiter: str) -> None:
    import csv

    with open(path, "w", newline="", encoding="utf-8") as fh:
        w = csv.writer(fh, delimiter=delimiter, lineterminator="\n")
        k = nb.shape[1]
        w.writerow(["tree"] + [f"neighbour_{q + 1}" for q in range(k)]
                   + [f"distance_{q + 1}" for q in range(k)])
        for name, row, d in zip(names, nb, dist):
            w.writerow([name] + [names[j] for j in row] + d.tolist())


def _lag_text(path: str, ts: TreeSet, lag: LagMeans, delimiter: str) -> None:
    import csv

    with open(path, "w", newline="", encoding="utf-8") as fh:
        w = csv.writer(fh, delimiter=delimiter, lineterminator="\n")
        w.writerow(["run", "lag", "pairs", "mean", "mean_sq"])
        for g, f in enumerate(ts.files):
            for j in range(lag.pairs.shape[1]):
                w.writerow([f.label, j + 1, int(lag.pairs[g, j]), lag.mean[g, j],
                            lag.mean_sq[g, j]])


def _npy(ctx: Context, args: argparse.Namespace, table: SplitTable, metric: Metric
         ) -> List[str]:
    from ..analyses import scale

    out = args.output
    n = table.n_trees
    if args.condensed:
        cells = n * (n - 1) // 2
        c = _compute_into(ctx, out, lambda tmp, counter: np.save(
            tmp, table.condensed(metric, dtype=_cell_type(args, table, metric),
                                 progress=counter)), cells)
        return [f"wrote {out} (condensed, {cells} cells)"] if c else []
    progress = scale.TileProgress(n * n)
    with ctx.track(f"writing {os.path.basename(out)}", progress, "cells",
                   detail="computing and writing rows"), \
            ctx.native_call(), atomic_path(out) as tmp:
        scale.write_npy(table, tmp, metric, dtype=_cell_type(args, table, metric),
                        progress=progress)
    return [f"wrote {out} ({n} x {n} matrix, written through a memory map)"]


def _compute_into(ctx: Context, out: str, fn: Callable[[str, Any], object], cells: int
                  ) -> bool:
    from ..analyses.scale import TileProgress

    progress = TileProgress(cells)
    with ctx.track(f"writing {os.path.basename(out)}", progress, "cells",
                   detail="computing pairs"), ctx.native_call(), atomic_path(out) as tmp:
        fn(tmp, progress.counter)
    return True

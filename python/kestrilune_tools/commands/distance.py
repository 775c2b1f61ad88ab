"""``kestrilune rf|wrf|kf FILE...``: the distance matrix of the trees, a summary, pictures.

Reads the files once into a split table, computes the matrix from it (the cells of the
``kestrilune`` module, progress shown), then writes the requested files and prints a
summary on stdout.

Matrix formats, by suffix: ``.npz`` (matrix, tree names and settings; read it back with
``TreeDistances.load``), ``.npy`` (``numpy.save`` of the bare n x n array: ``int32`` RF,
``float64`` WRF/KF), ``.csv`` and ``.tsv`` (a header row ``tree,NAME1,NAME2,...``, then one
row per tree starting with its name).
"""

from __future__ import annotations

import re
import textwrap
from dataclasses import replace
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Union

import numpy as np

import kestrilune

from ..analyses.distances import run_means
from ..console import scale as scale_command
from ..console.cli import (
    CommandError, Context, UsageError, add_input_arguments, memory_advice,
)
from ..console.outputs import MATRIX_SUFFIXES, PICTURE_SUFFIXES, write_matrix
from ..pictures.words import counted
from ..table.metrics import METRIC_LABELS, METRIC_NAMES, Metric
from ..table.engine import SplitTable
from ..table.load import chosen_rows
from ..table.result import TreeDistances, treeset_settings

if TYPE_CHECKING:
    import argparse

    from ..reading import TreeSet

def add_arguments(p: argparse.ArgumentParser) -> None:
    add_input_arguments(p)
    p.add_argument("-o", "--output", metavar="PATH",
                   help="write the matrix to PATH: .npz (with tree names and settings), "
                        ".npy (int32 RF, float64 WRF/KF), .csv, .tsv, or .zarr (a store "
                        "written tile by tile)")
    p.add_argument("--plot", metavar="PNG", help="tree-space map (principal coordinates)")
    p.add_argument("--trace", metavar="PNG",
                   help="distance of every tree to the reference tree, per run")
    p.add_argument("--heatmap", metavar="PNG", help="the distance matrix as an image")
    p.add_argument("--reference", default="medoid", metavar="REF",
                   help="reference tree of --trace: medoid (the tree with the least total "
                        "distance to the others; the default), first, last, or a 0-based "
                        "index into the trees used (negative counts from the end)")
    scale_command.add_arguments(p)


def run(args: argparse.Namespace, ctx: Context) -> int:
    metric = args.command
    _check_reference(args)
    big = scale_command.takes(args)
    if big:
        scale_command.check_options(args, ctx)
    else:
        ctx.output(args.output, MATRIX_SUFFIXES, "-o")
    pictures = [(opt, getattr(args, opt)) for opt in ("plot", "trace", "heatmap")]
    for opt, path in pictures:
        ctx.output(path, PICTURE_SUFFIXES, f"--{opt}")
    if any(path for _, path in pictures):
        from ..pictures.plots import require_matplotlib

        try:
            require_matplotlib()
        except ImportError as exc:
            raise CommandError(str(exc)) from None

    from ..reading.runs import expand_runs

    try:
        args.files = expand_runs(args.files)
        if getattr(args, "between", None):
            args.between = expand_runs(args.between)
    except FileNotFoundError as exc:
        raise CommandError(str(exc)) from None
    ctx.resolve_rooting(args.files)
    # With --trace, the table of every tree (burn-in included), which the trace shows.
    every_tree = bool(args.trace) and not big
    ts, table = ctx.read_table(args.files, args.burnin, args.thin, args.max_trees,
                               rooted=args.rooted, lengths=metric != "rf", every_tree=every_tree)
    every = table if every_tree else None
    if every is not None:
        table = every.take(chosen_rows(ts))
    pictures_wanted = any(path for _, path in pictures)
    if big or (not pictures_wanted and scale_command.takes(args, len(ts))):
        return scale_command.run(args, ctx, ts, table)
    reference_i = _reference_index(args.reference, len(ts)) if args.trace else None
    result = compute(ctx, metric, ts, table)
    result = replace(result, settings={**treeset_settings(ts), "burnin": args.burnin,
                                       "thin": args.thin, "max_trees": args.max_trees})
    if args.trace and reference_i is None:
        with ctx.phase("finding the medoid"):
            reference_i = int(np.argmin(result.matrix.sum(axis=1, dtype=np.float64)))

    # The summary, then what was written from it, then where the time went.
    _print_summary(ctx, args, ts, result, reference_i, table.n_splits)
    _write_outputs(ctx, args, ts, result, reference_i, every)
    ctx.print(ctx.timing_line())
    return 0


def _check_reference(args: argparse.Namespace) -> None:
    ref = args.reference.strip().lower()
    if ref not in ("first", "last", "medoid") and not re.fullmatch(r"-?\d+", ref):
        raise UsageError(f"--reference must be first, last, medoid or an index, "
                         f"got {args.reference!r}")
    args.reference = ref


def _reference_index(ref: str, n: int) -> Optional[int]:
    if ref == "first":
        return 0
    if ref == "last":
        return n - 1
    if ref == "medoid":
        return None
    i = int(ref)
    if not -n <= i < n:
        raise CommandError(f"--reference {ref} is out of range: {n} trees were read "
                           f"(use 0 to {n - 1}, or -1 for the last)")
    return i % n


# ----------------------------------------------------------------------------- computing


def compute(ctx: Context, metric: Metric, ts: TreeSet, table: SplitTable) -> TreeDistances:
    """The matrix of the trees of ``table`` (those of ``ts``), its progress shown: the
    module's cells (``int32`` RF, ``float64`` WRF/KF)."""
    counter = kestrilune.ProgressCounter()
    try:
        with ctx.track("computing", counter, "pairs"), ctx.native_call():
            matrix = table.block(metric, dtype=np.int32 if metric == "rf" else None,
                                 progress=counter)
    except MemoryError:
        raise CommandError(f"out of memory computing the matrix "
                           f"({memory_advice(ctx.args)})") from None
    matrix.setflags(write=False)
    return TreeDistances(metric=metric, rooted=bool(table.rooted), names=tuple(ts.names),
                         matrix=matrix, n_leaves=len(table.leaf_names),
                         leaf_names=tuple(table.leaf_names))


# ----------------------------------------------------------------------------- summary


def _fmt_num(x: Union[float, np.number[Any]], integer: bool) -> str:
    return f"{int(x)}" if integer else f"{x:.6g}"


def _print_summary(ctx: Context, args: argparse.Namespace, ts: TreeSet, result: TreeDistances,
                   reference_i: Optional[int], n_splits: int) -> None:
    metric = result.metric
    mode = ctx.rooting or ("rooted" if result.rooted else "unrooted")
    n = result.n
    facts = [f"{counted(n, 'tree')} from {counted(len(ts.files), 'file')}",
             counted(result.n_leaves, "taxon"),
             f"{n_splits} distinct {'clades' if result.rooted else 'splits'}"]
    head = f"kestrilune {metric} ({METRIC_NAMES[metric]}, {mode}):"
    out = [f"{head} {', '.join(facts)}"]
    if len(out[0]) > 80:
        out = [head, "  " + ", ".join(facts)]
    for f in ts.files:
        thin = f", thinned by {args.thin}" if args.thin > 1 else ""
        # A scan that stopped once --max-trees was met has not counted the rest of the file.
        count = counted(f.n_trees, "tree") if f.complete else \
            f"first {counted(f.n_trees, 'tree')} read"
        out.append(f"  {f.label}: {count}, burn-in {f.burnin}{thin}, used {f.n_used}")
    integer = metric == "rf"
    with ctx.phase("summarising"):
        values = result.condensed()
        low, high, mean = values.min(), values.max(), values.mean(dtype=np.float64)
        median = np.median(values, overwrite_input=True)  # values is our own copy
        n_pairs = len(values)
        del values
        within = between = None
        if len(ts.files) > 1:
            within, between = run_means(result.matrix, ts)
    out.append(f"distance over {n_pairs:,} pairs (i<j): min {_fmt_num(low, integer)}, "
               f"median {_fmt_num(median, False)}, max {_fmt_num(high, integer)}, "
               f"mean {mean:.6g}")
    if within is not None:
        out.append(f"  mean within runs {within:.6g}, between runs {between:.6g}")
    if reference_i is not None:
        out.append(f"reference tree for the trace: {ts.names[reference_i]} "
                   f"(index {reference_i}, {args.reference})")
    # Within 80 columns: a long line goes on, indented, below itself.
    ctx.print("\n".join(wrapped for line in out for wrapped in textwrap.wrap(
        line.lstrip(), 80, initial_indent=line[:len(line) - len(line.lstrip())],
        subsequent_indent=line[:len(line) - len(line.lstrip())] + "  ",
        break_on_hyphens=False)))


# ----------------------------------------------------------------------------- outputs


def _reference_label(ts: TreeSet, reference_i: int, how: str) -> str:
    what = {"medoid": "the medoid of the matrix", "first": "the first tree of the matrix",
            "last": "the last tree of the matrix"}.get(how, f"tree {reference_i} of the matrix")
    return f"{ts.names[reference_i]} ({what})"


def _write_outputs(ctx: Context, args: argparse.Namespace, ts: TreeSet, result: TreeDistances,
                   reference_i: Optional[int], every: Optional[SplitTable]) -> None:
    metric = METRIC_LABELS[result.metric]
    if result.rooted:
        metric = f"rooted {metric}"
    groups = ts.file_indices
    labels = [f.label for f in ts.files]
    dist = result.matrix
    if args.output:
        kind = "with tree names and settings" if args.output.lower().endswith(".npz") else ""
        stored = result.stored_matrix().dtype
        ctx.write(args.output, f"{dist.shape[0]} x {dist.shape[1]} {stored} matrix"
                  + (f" {kind}" if kind else ""), lambda p: write_matrix(p, result, atomic=False))
    if not (args.plot or args.trace or args.heatmap):
        return
    from ..pictures import plots

    if args.plot:
        ctx.write(args.plot, "tree-space map", lambda p: plots.treespace(
            dist, p, groups=groups, group_labels=labels, sample_indices=ts.sample_indices,
            generations=ts.generations(), metric=metric), verb="drawing")
    if args.trace:
        # With --trace, run() has found the reference (the medoid unless one was given).
        trace = reference_trace(ctx, ts, every, result.metric,  # type: ignore[arg-type]
                                reference_i)  # type: ignore[arg-type]
        ctx.write(args.trace, "distance trace", lambda p: plots.reference_trace(
            trace["values"], p, x=trace["x"], groups=trace["groups"], group_labels=labels,
            burnin_end=trace["burnin_end"], used=trace["used"], x_label=trace["x_label"],
            metric=metric, integer=result.metric == "rf",
            reference_label=_reference_label(ts, reference_i, args.reference)),  # type: ignore[arg-type]
            verb="drawing")
    if args.heatmap:
        ctx.write(args.heatmap, "heatmap", lambda p: plots.heatmap(
            dist, p, names=ts.names, groups=groups, group_labels=labels, metric=metric),
            verb="drawing")


# ----------------------------------------------------------------------------- trace

def reference_trace(ctx: Context, ts: TreeSet, every: SplitTable, metric: Metric,
                    reference_i: int) -> Dict[str, Any]:
    """The distance of tree ``reference_i`` of ``ts`` to every tree the scan found, burn-in
    and thinned-out trees included: one row of ``every``, the table of all those trees
    (:func:`~kestrilune_tools.table.load.read_table` with ``every_tree=True``).

    Returns the values, their x (generations when the tree names carry them, else the
    position in the file), run of each tree, whether it is in the matrix, and where each
    run's burn-in ends.
    """
    rows = chosen_rows(ts)
    counter = kestrilune.ProgressCounter()
    with ctx.track("distances to the reference", counter, "pairs"), ctx.native_call():
        values = every.to(int(rows[reference_i]), metric, progress=counter).astype(np.float64)
    used = np.zeros(every.n_trees, dtype=bool)
    used[rows] = True
    all_trees = ts.all_trees()
    gens = all_trees.generations()
    x = np.asarray(gens if gens is not None else all_trees.sample_indices, dtype=np.int64)
    groups = np.asarray(all_trees.file_indices)
    burnin_end = []
    for g, f in enumerate(all_trees.files):
        first_used = np.flatnonzero(used & (groups == g))
        burnin_end.append(float(x[first_used[0]]) if f.burnin and len(first_used) else None)
    return {"values": values, "x": x, "groups": groups, "used": used, "burnin_end": burnin_end,
            "x_label": "generation" if gens is not None else "sample (tree in its file, from 0)"}

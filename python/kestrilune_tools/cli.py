"""The ``kestrilune`` command: distance matrices, summaries and pictures from tree files.

    kestrilune rf run1.t run2.t --burnin 25% -o rf.npy --plot treespace.png --trace trace.png

Reads the files (see :mod:`kestrilune_tools.nexus`), computes the RF, weighted RF or KF
matrix with the extension module in a background thread while the main thread draws a
progress bar on stderr, then prints a summary on stdout and writes the requested files.

Output matrix formats, chosen by suffix: ``.npy`` (``numpy.save`` of the n x n array),
``.csv`` and ``.tsv`` (a header row ``tree,NAME1,NAME2,...``, then one row per tree
starting with its name). Exit codes: 0 success, 1 error, 2 bad command line, 130 interrupted.
"""

from __future__ import annotations

import argparse
import csv
import os
import re
import sys
import threading
import time
from typing import Optional, Sequence

import numpy as np

from . import arrays
from .nexus import TreeFileError, TreeSet, parse_burnin, read_trees

_OUTPUT_SUFFIXES = (".npy", ".csv", ".tsv")
_METRIC_NAMES = {"rf": "RF", "wrf": "weighted RF", "kf": "KF branch score"}


class _UsageError(Exception):
    pass


class _ArgumentParser(argparse.ArgumentParser):
    def error(self, message):  # one line instead of argparse's usage block
        raise _UsageError(f"{message} (see kestrilune --help)")


def build_parser() -> argparse.ArgumentParser:
    p = _ArgumentParser(
        prog="kestrilune",
        description="All-against-all tree distances (Robinson-Foulds, weighted RF, "
                    "Kuhner-Felsenstein branch score) for posterior tree samples in NEXUS or "
                    "Newick files, plain or gzip-compressed.",
        epilog="Several files are treated as separate runs: each keeps its own translate table "
               "and burn-in, and the summary compares distances within and between runs.")
    p.add_argument("metric", choices=arrays.METRICS,
                   help="rf: Robinson-Foulds; wrf: weighted RF; kf: Kuhner-Felsenstein")
    p.add_argument("files", nargs="+", metavar="FILE", help="tree files (NEXUS or Newick)")
    p.add_argument("--burnin", default="0", metavar="B",
                   help="trees to drop from the start of each file: a count (250), a "
                        "fraction (0.25) or a percentage (25%%); default 0")
    p.add_argument("--thin", type=int, default=1, metavar="N",
                   help="keep every N-th tree after the burn-in (default 1)")
    p.add_argument("--max-trees", type=int, default=None, metavar="N",
                   help="keep at most N trees per file (the first ones after burn-in and "
                        "thinning)")
    p.add_argument("--rooted", action="store_true",
                   help="compare clades of rooted trees (default: unrooted bipartitions)")
    p.add_argument("--threads", type=int, default=None, metavar="N",
                   help="worker threads (sets RAYON_NUM_THREADS; 0 = one per processor)")
    p.add_argument("-o", "--output", metavar="PATH",
                   help="write the matrix to PATH: .npy, .csv or .tsv")
    p.add_argument("--plot", metavar="PNG", help="tree-space map (principal coordinates)")
    p.add_argument("--trace", metavar="PNG",
                   help="distance of every tree to the reference tree, per run")
    p.add_argument("--heatmap", metavar="PNG", help="the distance matrix as an image")
    p.add_argument("--reference", default="medoid", metavar="REF",
                   help="reference tree of --trace: medoid (the tree with the least total "
                        "distance to the others; the default), first, last, or a 0-based "
                        "index into the trees used (negative counts from the end)")
    p.add_argument("--quiet", "-q", action="store_true",
                   help="no progress display on stderr (the summary still goes to stdout)")
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command; returns the exit status.

    Ctrl-C while the module computes cannot stop its native loop, so in that case the
    process ends at once with status 130 (``os._exit``) after printing a message.
    """
    try:
        try:
            args = build_parser().parse_args(argv)
        except SystemExit as exc:  # --help
            return int(exc.code or 0)
        return _run(args)
    except _UsageError as exc:
        _error(str(exc))
        return 2
    except _Failure as exc:
        _error(str(exc))
        return 1
    except BrokenPipeError:
        # stdout went away (e.g. piped into head); keep Python from complaining at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        job = _current_job
        _stderr("\nkestrilune: interrupted")
        if job is not None and job.is_alive():
            # The native loop cannot be stopped and runs on without the interpreter lock.
            # A normal shutdown would end its thread inside native code as soon as it
            # asks for the lock back, so leave the process at once instead.
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(130)
        return 130


class _Failure(Exception):
    """An error reported as one line; the message is the line."""


_current_job: Optional["_Job"] = None


def _remember(job: Optional["_Job"]) -> None:
    global _current_job
    _current_job = job


def _error(message: str) -> None:
    _stderr(f"kestrilune: error: {message}")


def _stderr(text: str) -> None:
    try:
        print(text, file=sys.stderr, flush=True)
    except OSError:
        pass


# ----------------------------------------------------------------------------- the run


def _run(args) -> int:
    options = _check_options(args)
    t_start = time.perf_counter()
    try:
        ts = read_trees(args.files, burnin=options["burnin"], thin=args.thin,
                        max_trees=args.max_trees)
    except TreeFileError as exc:
        raise _Failure(str(exc)) from None
    except OSError as exc:
        raise _Failure(f"cannot read {exc.filename or ''}: {exc.strerror or exc}") from None
    t_read = time.perf_counter() - t_start
    n = len(ts)
    reference_i = None
    if args.trace:
        reference_i = _reference_index(args.reference, n)  # "medoid" needs the matrix

    if args.threads is not None:
        # The module's worker pool reads this once, at its first parallel call.
        os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    try:
        import kestrilune
    except ImportError as exc:
        raise _Failure(f"cannot import the kestrilune extension module ({exc})") from None

    use_snapshots = arrays.snapshots_worthwhile(args.metric, ts, rooted=args.rooted)
    job = _Job(args.metric, ts, args.rooted, use_snapshots, kestrilune.ProgressCounter())
    _remember(job)
    t0 = time.perf_counter()
    job.start()
    progress = _ProgressDisplay(enabled=not args.quiet, n_trees=n)
    while job.is_alive():
        job.join(timeout=0.1)
        progress.update(job)
    progress.finish(job)
    _remember(None)
    t_dist = time.perf_counter() - t0
    if job.error is not None:
        raise _Failure(_explain(job.error, ts)) from None

    result = job.result
    dist = arrays.rf_matrix(result) if args.metric == "rf" else arrays.float_matrix(result)
    leaf_names = list(result[2]) if use_snapshots else None
    n_bip = int(result[3]) if use_snapshots else None
    if args.reference == "medoid" and args.trace:
        reference_i = int(np.argmin(dist.sum(axis=1, dtype=np.float64)))

    _print_summary(args, ts, dist, leaf_names, n_bip, t_read, t_dist, reference_i)
    _write_outputs(args, ts, dist, reference_i)
    return 0


def _check_options(args) -> dict:
    """Refuse bad options before any file is read."""
    try:
        burnin = parse_burnin(args.burnin)
    except ValueError as exc:
        raise _UsageError(str(exc)) from None
    if args.thin < 1:
        raise _UsageError(f"--thin must be at least 1, got {args.thin}")
    if args.max_trees is not None and args.max_trees < 1:
        raise _UsageError(f"--max-trees must be at least 1, got {args.max_trees}")
    if args.threads is not None and args.threads < 0:
        raise _UsageError(f"--threads must be 0 or more, got {args.threads}")
    if args.output and not args.output.lower().endswith(_OUTPUT_SUFFIXES):
        raise _UsageError(f"cannot tell the format of {args.output!r}: "
                          f"use a name ending in {', '.join(_OUTPUT_SUFFIXES)}")
    ref = args.reference.strip().lower()
    if ref not in ("first", "last", "medoid") and not re.fullmatch(r"-?\d+", ref):
        raise _UsageError(f"--reference must be first, last, medoid or an index, "
                          f"got {args.reference!r}")
    args.reference = ref
    if args.plot or args.trace or args.heatmap:
        from .plots import require_matplotlib

        try:
            require_matplotlib()
        except ImportError as exc:
            raise _Failure(str(exc)) from None
    for path in (args.output, args.plot, args.trace, args.heatmap):
        if path:
            # Made now, so that a folder that cannot exist fails before the computation.
            folder = os.path.dirname(os.path.abspath(path))
            try:
                os.makedirs(folder, exist_ok=True)
            except OSError as exc:
                raise _Failure(f"cannot write {path}: cannot make folder {folder} "
                               f"({exc.strerror or exc})") from None
    return {"burnin": burnin}


def _reference_index(ref: str, n: int) -> Optional[int]:
    if ref == "first":
        return 0
    if ref == "last":
        return n - 1
    if ref == "medoid":
        return None
    i = int(ref)
    if not -n <= i < n:
        raise _Failure(f"--reference {ref} is out of range: {n} trees were read "
                       f"(use 0 to {n - 1}, or -1 for the last)")
    return i % n


def _explain(exc: BaseException, ts: TreeSet) -> str:
    """The module's message, with the file and line of every tree index it names."""
    if isinstance(exc, MemoryError):
        return "out of memory computing the matrix (try --thin or --max-trees)"
    message = str(exc) or type(exc).__name__
    if not isinstance(exc, ValueError):
        return f"{type(exc).__name__}: {message}"
    where = []
    for m in re.finditer(r"(?:index |Tree |tree )(\d+)", message):
        i = int(m.group(1))
        if i < len(ts) and all(not w.startswith(f"tree {i} ") for w in where):
            where.append(f"tree {i} is {ts.locate(i)}")
    return f"{message} ({'; '.join(where)})" if where else message


class _Job(threading.Thread):
    """The module call, run off the main thread so that it can draw progress."""

    def __init__(self, metric, ts, rooted, snapshots, counter):
        super().__init__(name="kestrilune-pairwise", daemon=True)
        self.metric, self.ts, self.rooted, self.snapshots = metric, ts, rooted, snapshots
        self.counter = counter
        self.trees_read = 0
        self.result = None
        self.error: Optional[BaseException] = None

    def _counted(self):
        for text in self.ts.newicks():
            self.trees_read += 1
            yield text

    def run(self):
        try:
            self.result = arrays.pairwise(self.metric, self.ts, rooted=self.rooted,
                                          progress=self.counter, snapshots=self.snapshots,
                                          trees=self._counted())
        except BaseException as exc:  # handed to the main thread, which reports it
            self.error = exc


# ----------------------------------------------------------------------------- progress


def _fmt_rate(x: float) -> str:
    for unit, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if x >= scale:
            return f"{x / scale:.1f}{unit}"
    return f"{x:.0f}"


def _fmt_time(s: float) -> str:
    s = int(round(s))
    return f"{s // 3600}:{s // 60 % 60:02d}:{s % 60:02d}" if s >= 3600 else f"{s // 60}:{s % 60:02d}"


class _ProgressDisplay:
    """A redrawn bar on a terminal, an occasional plain line otherwise."""

    _LINE_EVERY = 5.0  # seconds between plain lines

    def __init__(self, enabled: bool, n_trees: int):
        self.enabled = enabled
        self.tty = enabled and sys.stderr.isatty()
        self.n_trees = n_trees
        self.started = time.perf_counter()
        self.pairs_started: Optional[float] = None
        self.pairs_done: Optional[float] = None
        self.last_line = self.started
        self.drawn = False

    def _state(self, job: _Job):
        total = job.counter.total()
        if total == 0:
            if job.trees_read < self.n_trees:
                return f"reading trees {job.trees_read}/{self.n_trees}", None
            return f"parsing {self.n_trees} trees", None
        if self.pairs_started is None:
            self.pairs_started = time.perf_counter()
        return None, (min(job.counter.value(), total), total)

    def update(self, job: _Job) -> None:
        if not self.enabled:
            return
        text, pairs = self._state(job)
        now = time.perf_counter()
        if self.tty:
            if pairs is not None:
                text = self._bar(*pairs, now)
            sys.stderr.write("\r" + text[:200].ljust(79))
            sys.stderr.flush()
            self.drawn = True
        elif now - self.last_line >= self._LINE_EVERY:
            if pairs is not None:
                done, total = pairs
                text = f"pairs {done}/{total} ({100 * done // total}%)"
            _stderr(text)
            self.last_line = now

    def _bar(self, done: int, total: int, now: float) -> str:
        frac = done / total
        width = 30
        filled = int(frac * width)
        if done >= total and self.pairs_done is None:
            self.pairs_done = now  # the module still builds its result; freeze the rate
        end = self.pairs_done if self.pairs_done is not None else now
        elapsed = end - self.pairs_started if self.pairs_started is not None else 0.0
        rate = done / elapsed if elapsed > 0 else 0.0
        eta = f"ETA {_fmt_time((total - done) / rate)}" if rate > 0 and done < total else ""
        return (f"[{'#' * filled}{'.' * (width - filled)}] {100 * frac:5.1f}%  "
                f"{done:,}/{total:,} pairs  {_fmt_rate(rate)} pairs/s  {eta}")

    def finish(self, job: _Job) -> None:
        if not self.enabled:
            return
        if self.tty:
            if self.drawn:
                sys.stderr.write("\r" + " " * 79 + "\r")
                sys.stderr.flush()
            return
        if job.error is None:
            total = job.counter.total()
            took = time.perf_counter() - self.started
            _stderr(f"pairs {total}/{total} (100%) in {took:.1f} s")


# ----------------------------------------------------------------------------- summary


def _upper_values(dist: np.ndarray) -> np.ndarray:
    """The cells above the diagonal, one copy, row by row (no n² index arrays)."""
    n = dist.shape[0]
    out = np.empty(n * (n - 1) // 2, dtype=dist.dtype)
    pos = 0
    for i in range(n - 1):
        row = dist[i, i + 1:]
        out[pos: pos + len(row)] = row
        pos += len(row)
    return out


def _fmt_num(x, integer: bool) -> str:
    return f"{int(x)}" if integer else f"{x:.6g}"


def _run_means(dist: np.ndarray, ts: TreeSet):
    """Mean distance over pairs within one run and over pairs from two runs."""
    bounds = np.cumsum([0] + [f.n_used for f in ts.files])
    within_sum = between_sum = 0.0
    within_n = between_n = 0
    for g in range(len(ts.files)):
        a, b = bounds[g], bounds[g + 1]
        block = dist[a:b, a:b]
        within_sum += block.sum(dtype=np.float64) / 2
        within_n += (b - a) * (b - a - 1) // 2
        for h in range(g + 1, len(ts.files)):
            c, d = bounds[h], bounds[h + 1]
            between_sum += dist[a:b, c:d].sum(dtype=np.float64)
            between_n += (b - a) * (d - c)
    within = within_sum / within_n if within_n else float("nan")
    between = between_sum / between_n if between_n else float("nan")
    return within, between


def _print_summary(args, ts: TreeSet, dist, leaf_names, n_bip, t_read, t_dist,
                   reference_i) -> None:
    n = len(ts)
    mode = "rooted" if args.rooted else "unrooted"
    facts = [f"{n} trees from {len(ts.files)} file{'s' if len(ts.files) > 1 else ''}"]
    if leaf_names is not None:
        facts.append(f"{len(leaf_names)} taxa")
    elif ts.translate_maps[ts.map_indices[0]]:
        facts.append(f"{len(ts.translate_maps[ts.map_indices[0]])} taxa")
    if n_bip is not None:
        facts.append(f"{n_bip} distinct {'clades' if args.rooted else 'splits'}")
    out = [f"kestrilune {args.metric} ({_METRIC_NAMES[args.metric]}, {mode}): "
           + ", ".join(facts)]
    for f in ts.files:
        thin = f", thinned by {args.thin}" if args.thin > 1 else ""
        out.append(f"  {f.label}: {f.n_trees} trees, burn-in {f.burnin}{thin}, used {f.n_used}")
    out.append(f"wall time: {t_read + t_dist:.2f} s (scanning files {t_read:.2f} s, "
               f"parsing and distances {t_dist:.2f} s)")
    values = _upper_values(dist)
    integer = args.metric == "rf"
    low, high, mean = values.min(), values.max(), values.mean(dtype=np.float64)
    median = np.median(values, overwrite_input=True)  # values is our own copy
    out.append(f"distance over {len(values):,} pairs (i<j): min {_fmt_num(low, integer)}, "
               f"median {_fmt_num(median, False)}, max {_fmt_num(high, integer)}, "
               f"mean {mean:.6g}")
    if len(ts.files) > 1:
        within, between = _run_means(dist, ts)
        out.append(f"  mean within runs {within:.6g}, between runs {between:.6g}")
    if reference_i is not None:
        out.append(f"reference tree for the trace: {ts.names[reference_i]} "
                   f"(index {reference_i}, {args.reference})")
    print("\n".join(out), flush=True)


# ----------------------------------------------------------------------------- outputs


def _write_matrix(path: str, ts: TreeSet, dist: np.ndarray) -> None:
    if path.lower().endswith(".npy"):
        np.save(path, dist)
        return
    delimiter = "\t" if path.lower().endswith(".tsv") else ","
    with open(path, "w", newline="", encoding="utf-8") as fh:
        writer = csv.writer(fh, delimiter=delimiter, lineterminator="\n")
        writer.writerow(["tree"] + list(ts.names))
        for name, row in zip(ts.names, dist):
            writer.writerow([name] + row.tolist())


def _write_outputs(args, ts: TreeSet, dist: np.ndarray, reference_i) -> None:
    metric = {"rf": "RF", "wrf": "WRF", "kf": "KF"}[args.metric]
    if args.rooted:
        metric = f"rooted {metric}"
    groups = ts.file_indices
    labels = [f.label for f in ts.files]
    jobs = []
    if args.output:
        jobs.append((args.output, f"{dist.shape[0]} x {dist.shape[1]} {dist.dtype} matrix",
                     lambda p: _write_matrix(p, ts, dist)))
    if args.plot or args.trace or args.heatmap:
        from . import plots
    if args.plot:
        jobs.append((args.plot, "tree-space map", lambda p: plots.treespace(
            dist, p, groups=groups, group_labels=labels, sample_indices=ts.sample_indices,
            metric=metric)))
    if args.trace:
        jobs.append((args.trace, "distance trace", lambda p: plots.trace(
            dist, p, reference_i, groups=groups, group_labels=labels,
            sample_indices=ts.sample_indices, metric=metric,
            reference_label=f"{ts.names[reference_i]} ({args.reference})")))
    if args.heatmap:
        jobs.append((args.heatmap, "heatmap", lambda p: plots.heatmap(
            dist, p, names=ts.names, groups=groups, group_labels=labels, metric=metric)))
    for path, what, write in jobs:
        try:
            write(path)
        except OSError as exc:
            raise _Failure(f"cannot write {path}: {exc.strerror or exc}") from None
        print(f"wrote {path} ({what})", flush=True)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())

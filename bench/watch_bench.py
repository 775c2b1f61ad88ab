"""What one update of ``kestrilune watch`` costs as runs grow: 4 runs written 1,000 trees at a
time each, every run's new trees read and the diagnostic points computed after each burst.

    python bench/gen_trees.py --taxa 200 --trees 400000 --seed 7 \
        -o bench/.cache/unrooted_200x400000.t
    python bench/watch_bench.py bench/.cache/unrooted_200x400000.t --runs 4 --trees 100000

The source file's trees are dealt to the runs in turn (tree k to run k mod R, each named
gen.N in its run), read from it as they are needed (the process holds one burst). Prints,
per tenth of the way, the wall and CPU time of the last update, the part of it spent on
the topological ESS (the new trees' distances to the 100 before them, and the ESS of each
run at the point), the process's peak memory and the smallest topological ESS; at the end
the slowest update. An update's cost should follow the 1,000 new trees per run, not the
trees read before them.

    python bench/watch_bench.py --split-ess 400 --window 75000 --runs 4

times instead the split ESS of one diagnostic point (its costliest part when the runs
disagree): SPLITS splits present in some but not all of the WINDOW trees of each run after
the burn-in (a 10^5-tree run), on synthetic presence traces (a sticky two-state chain).
"""

import argparse
import os
import resource
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

from kestrilune_tools.analyses.converge.watch import RunTimeASDSF  # noqa: E402
from kestrilune_tools.reading.follow import GrowingTreeFile  # noqa: E402


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("source", nargs="?")
    ap.add_argument("--split-ess", type=int, metavar="SPLITS",
                    help="time the split ESS of one point over SPLITS varying splits")
    ap.add_argument("--window", type=int, default=75000, help="with --split-ess: trees per "
                    "run after the burn-in")
    ap.add_argument("--runs", type=int, default=4)
    ap.add_argument("--trees", type=int, default=25000, help="trees per run at the end")
    ap.add_argument("--burst", type=int, default=1000, help="new trees per run per update")
    args = ap.parse_args()
    if args.split_ess:
        split_ess_cost(args.runs, args.split_ess, args.window)
        return
    if not args.source:
        ap.error("give a tree file to deal to the runs, or --split-ess")
    source = open(args.source, encoding="utf-8")
    header, first = [], None
    for line in source:
        if line.lstrip().lower().startswith("tree "):
            first = line
            break
        header.append(line)

    def trees(count: int) -> list:
        """The next ``count`` trees of the source (fewer at its end)."""
        nonlocal first
        out = []
        while len(out) < count:
            line = first if first is not None else next(source, None)
            first = None
            if line is None or not line.lstrip().lower().startswith("tree "):
                break
            out.append(line.split("=", 1)[1].strip())
        return out

    per_run = args.trees
    folder = tempfile.mkdtemp(prefix="watch-bench-")
    paths = [os.path.join(folder, f"run{r + 1}.t") for r in range(args.runs)]
    for p in paths:
        with open(p, "w", encoding="utf-8") as out:
            out.writelines(header)
    followers = [GrowingTreeFile(p) for p in paths]
    live = RunTimeASDSF(args.runs, every=10 * args.burst)
    topo = [0.0, 0.0]  # wall, CPU of the topological ESS in the current update
    for method in ("_new_band", "_topo_ess"):
        setattr(live, method, _timed(getattr(live, method), topo))
    slowest = (0.0, 0.0, 0)
    step = max(1, per_run // args.burst // 10)
    for b, start in enumerate(range(0, per_run, args.burst)):
        burst = trees(args.runs * args.burst)
        if len(burst) < args.runs * args.burst:
            print(f"the source ends: {start + len(burst) // args.runs} trees per run")
            break
        for r, p in enumerate(paths):
            with open(p, "a", encoding="utf-8") as out:
                for j in range(args.burst):
                    out.write(f"   tree gen.{(start + j) * 10} = {burst[j * args.runs + r]}\n")
        topo[:] = [0.0, 0.0]
        wall, cpu = time.perf_counter(), time.process_time()
        for r, f in enumerate(followers):
            batch = f.read_new()
            live.add(r, batch.names, batch.newicks, f.translate)
        points = live.ready()
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        if wall > slowest[0]:
            slowest = (wall, cpu, start + args.burst)
        if b % step == 0 or start + args.burst >= per_run:
            rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
            low = points[-1].min_topo_ess[0] if points else None
            last = (f"ASDSF {points[-1].asdsf:.5f}, topo ESS min "
                    f"{'-' if low is None else f'{low:.1f}'}") if points else "no point yet"
            print(f"{min(per_run, start + args.burst):>7} trees/run: update {wall:.2f} s wall, "
                  f"{cpu:.2f} s CPU (topo ESS {topo[0]:.2f} s, {topo[1]:.2f} s CPU); peak "
                  f"{rss:.0f} MiB; {last}; load {os.getloadavg()[0]:.1f}", flush=True)
    print(f"slowest update: {slowest[0]:.2f} s wall ({slowest[1]:.2f} s CPU) at "
          f"{slowest[2]} trees per run; load {os.getloadavg()[0]:.1f}")
    source.close()
    for p in paths:
        os.unlink(p)
    os.rmdir(folder)


def _timed(fn, into):
    """``fn``, its wall and CPU time added to ``into`` at each call."""
    def timed(*args):
        wall, cpu = time.perf_counter(), time.process_time()
        try:
            return fn(*args)
        finally:
            into[0] += time.perf_counter() - wall
            into[1] += time.process_time() - cpu
    return timed


def split_ess_cost(runs: int, splits: int, window: int, fixed: int = 197,
                   burst: int = 1000) -> None:
    import numpy as np

    rng = np.random.default_rng(1)
    live = RunTimeASDSF(runs, every=1)
    live._counts = np.zeros((fixed + splits, runs), dtype=np.int64)
    trees = window + burst
    for r in range(runs):
        flip = rng.random((trees, splits)) < 0.02  # each split changes state 1 tree in 50
        present = (np.cumsum(flip, axis=0) + rng.integers(0, 2, splits)) % 2 == 1
        rows = [np.concatenate([np.arange(fixed), fixed + np.flatnonzero(p)]) for p in present]
        live._flat[r] = np.concatenate(rows).astype(np.int32)
        live._ptr[r] = np.concatenate([[0], np.cumsum([len(x) for x in rows])])
        live._n[r] = trees
    kept = np.arange(fixed + splits)
    # A first point over [0, window), then the next after `burst` new trees per run, the
    # burn-in a quarter of them: its lag sums move with the window.
    for what, lo, hi in (("first point (lag sums made)", 0, window),
                         (f"next point (+{burst} trees/run)", burst // 4, trees)):
        wall, cpu = time.perf_counter(), time.process_time()
        ess = []
        for r in range(runs):
            live._move(r, "_hi", hi, +1)
            live._move(r, "_lo", lo, -1)
            ess.append(live._split_ess(kept, lo, hi, r))
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        low = min(float(np.nanmin(e)) for e in ess)
        print(f"split ESS, {what}: {splits} varying (+{fixed} constant) splits x {runs} "
              f"runs x {hi - lo} trees: {wall:.2f} s wall, {cpu:.2f} s CPU; peak {rss:.0f} "
              f"MiB; smallest {low:.1f}; load {os.getloadavg()[0]:.1f}")

if __name__ == "__main__":
    main()

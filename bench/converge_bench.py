#!/usr/bin/env python3
"""Time ``kestrilune_tools.analyses.converge.diagnose`` on several runs of MCMC-like trees, beside the
same ESS measures computed in R (phangorn RF.dist, coda, optim) on a subsample, the way RWTY
and treess work.

    python bench/converge_bench.py --skip-peer     # 4 runs x 25,000 trees x 200 taxa
    python bench/converge_bench.py --runs 2 --trees 2000 --taxa 50 --peer-trees 500

Every diagnostic: split table, ASDSF under every rule and its trace (every
``--diagn-every`` samples), branch-length PSRF, per-split ESS, sliding and cumulative
windows, and the approximate, pseudo (min/median) and Frechet ESS of every run.
Target: 4 runs x 25,000 trees x 200 taxa in at most 120 s and 1.5 GiB on the 2-core
development machine. Runs are generated on first use into ``bench/.cache/`` by
``gen_trees.py`` (seeds 1..R). Prints one line per phase, the total with its CPU time,
peak RSS and the load average before and after, and the R peer's time on its subsample
with the ratio of pairs of trees handled per second.
"""

from __future__ import annotations

import argparse
import os
import resource
import subprocess
import sys
import time
from contextlib import contextmanager

HERE = os.path.dirname(os.path.abspath(__file__))
TARGET_SECONDS = 120.0
TARGET_GIB = 1.5


def runs(args):
    cache = os.path.join(HERE, ".cache")
    os.makedirs(cache, exist_ok=True)
    paths = []
    for seed in range(1, args.runs + 1):
        path = os.path.join(cache, f"converge_{args.taxa}x{args.trees}.run{seed}.t")
        if not os.path.exists(path):
            subprocess.run([sys.executable, os.path.join(HERE, "gen_trees.py"), "--taxa",
                            str(args.taxa), "--trees", str(args.trees), "--seed", str(seed),
                            "-o", path], check=True, stdout=subprocess.DEVNULL)
        paths.append(path)
    return paths


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--runs", type=int, default=4)
    ap.add_argument("--trees", type=int, default=25000, help="trees per run")
    ap.add_argument("--taxa", type=int, default=200)
    ap.add_argument("--burnin", default="0")
    ap.add_argument("--diagn-every", type=int, default=1000,
                    help="samples between points of the ASDSF trace")
    ap.add_argument("--metric", choices=("rf", "wrf", "kf"), default="rf")
    ap.add_argument("--peer-trees", type=int, default=1000,
                    help="trees of run 1 that R handles (RWTY subsamples to about 1,000)")
    ap.add_argument("--skip-peer", action="store_true")
    args = ap.parse_args(argv)

    from kestrilune_tools.analyses.converge import diagnose

    paths = runs(args)
    timings = []

    @contextmanager
    def phase(label, **kwargs):
        t0, c0 = time.perf_counter(), time.process_time()
        yield
        timings.append((label, time.perf_counter() - t0))
        print(f"  {label:<40} {timings[-1][1]:8.2f} s wall {time.process_time() - c0:8.2f} s CPU",
              file=sys.stderr, flush=True)

    load0 = os.getloadavg()[0]
    print(f"kestrilune converge: {args.runs} runs x {args.trees} trees x {args.taxa} taxa, "
          f"burn-in {args.burnin}, metric {args.metric}, ASDSF trace every "
          f"{args.diagn_every}", flush=True)
    t0 = time.perf_counter()
    cpu0 = resource.getrusage(resource.RUSAGE_SELF)
    rep = diagnose(paths, burnin=args.burnin, phase=phase, metric=args.metric,
                   diagn_every=args.diagn_every)
    total = time.perf_counter() - t0
    cpu1 = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (cpu1.ru_utime - cpu0.ru_utime) + (cpu1.ru_stime - cpu0.ru_stime)
    peak = cpu1.ru_maxrss / 1024
    for r in rep.runs:
        print(f"  {r.label}: approx {r.approx.ess:.1f}{r.approx.operator} pseudo "
              f"{r.pseudo.minimum:.1f}/{r.pseudo.median:.1f} frechet {r.frechet.ess:.1f} "
              f"split-min {r.min_split_ess:.1f}")
    a = rep.asdsf["mrbayes-sumt"]
    print(f"  ASDSF (sumt rule) {a.asdsf:.6f} over {a.n_splits} splits")
    used = sum(r.n_used for r in rep.runs)
    pairs = sum(r.n_used * (r.n_used - 1) // 2 for r in rep.runs)
    met = total <= TARGET_SECONDS and peak <= TARGET_GIB * 1024
    print(f"total {total:.1f} s wall, {cpu:.1f} s CPU (all threads) for {used} trees "
          f"({pairs / total:.3g} within-run pairs/s), peak RSS {peak:.0f} MiB, load average "
          f"{load0:.1f} before, {os.getloadavg()[0]:.1f} after; target <= "
          f"{TARGET_SECONDS:.0f} s wall and {TARGET_GIB} GiB: {'met' if met else 'MISSED'}")
    # On a shared machine the wall time mostly measures the other users; the CPU time does
    # not, and a quiet 2-core machine runs in at most that much wall time.

    if not args.skip_peer:
        r_script = os.path.join(HERE, "converge_peer.R")
        try:
            out = subprocess.run(["Rscript", r_script, paths[0], str(args.peer_trees)],
                                 check=True, capture_output=True, text=True).stdout
        except (OSError, subprocess.CalledProcessError) as exc:
            print(f"R peer skipped: {exc}")
            return 0
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        seconds, peer_cpu = float(values["seconds"]), float(values["cpu"])
        n_peer = int(values["trees"])
        peer_pairs = n_peer * (n_peer - 1) / 2
        print(f"R peer (phangorn RF.dist + coda effectiveSize over every reference + optim "
              f"fit) on the first {n_peer} trees of run 1: {seconds:.1f} s wall, "
              f"{peer_cpu:.1f} s CPU ({peer_pairs / peer_cpu:.3g} pairs per CPU second); "
              f"kestrilune handles {(pairs / cpu) / (peer_pairs / peer_cpu):.0f}x the pairs "
              f"per CPU second, {(pairs / total) / (peer_pairs / seconds):.0f}x per wall "
              f"second")
    return 0


if __name__ == "__main__":
    sys.exit(main())

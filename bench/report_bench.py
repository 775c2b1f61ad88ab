#!/usr/bin/env python3
"""Time the report page beyond the analyses, and weigh it, on several runs of MCMC-like trees.

    python bench/report_bench.py                       # 4 runs x 5,000 trees x 200 taxa
    python bench/report_bench.py --trees 20000

The analyses (``diagnose`` without the distance-based ESS, which the page does not add to)
run first; then ``report_page`` is timed step by step, with the checksums of the inputs.
Target for 4 runs x 100,000 trees x 200 taxa: a page of at most 25 MB made in at most 60 s
beyond the analyses. What the page draws is capped (the map's trees, the points of each
trace, the rows of the topology table), so its size does not follow the number of trees;
the time does, through the steps that pass over every tree once (the distance of every
tree to the reference, the table of the trees after the burn-in, topology counts, the
consensus, the checksums). Runs are generated on first use into ``bench/.cache/`` by
``gen_trees.py`` (seeds 1..R). Prints each step's wall and CPU time, the page's size, and
the load average before and after.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time
from contextlib import contextmanager

HERE = os.path.dirname(os.path.abspath(__file__))


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
    ap.add_argument("--trees", type=int, default=5000, help="trees per run")
    ap.add_argument("--taxa", type=int, default=200)
    ap.add_argument("--diagn-every", type=int, default=1000)
    args = ap.parse_args(argv)

    from kestrilune_tools.analyses.converge import diagnose
    from kestrilune_tools.pictures.report import file_record, report_page
    from kestrilune_tools.reading import read_trees

    paths = runs(args)
    timings = []

    @contextmanager
    def phase(label, **kwargs):
        t0, c0 = time.perf_counter(), time.process_time()
        yield
        timings.append((label, time.perf_counter() - t0, time.process_time() - c0))
        print(f"  {label:<40} {timings[-1][1]:8.2f} s wall {timings[-1][2]:8.2f} s CPU",
              file=sys.stderr, flush=True)

    load0 = os.getloadavg()[0]
    print(f"report page: {args.runs} runs x {args.trees} trees x {args.taxa} taxa", flush=True)
    with phase("analyses (reading, diagnose without ESS)"):
        ts = read_trees(paths)
        rep = diagnose(ts, burnin="25%", ess=False, diagn_every=args.diagn_every)
    t0, c0 = time.perf_counter(), time.process_time()
    with phase("checksums of the inputs"):
        files = [file_record(p) for p in paths]
    text = report_page(rep, treeset=ts, files=files, command="bench", phase=phase)
    wall, cpu = time.perf_counter() - t0, time.process_time() - c0
    size = len(text.encode()) / 1e6
    print(f"page beyond the analyses: {wall:.2f} s wall, {cpu:.2f} s CPU, {size:.2f} MB; "
          f"load average {load0:.1f} before, {os.getloadavg()[0]:.1f} after; target for "
          f"4 x 100,000 x 200: <= 60 s and <= 25 MB")
    return 0


if __name__ == "__main__":
    sys.exit(main())

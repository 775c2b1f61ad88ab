#!/usr/bin/env python3
"""How quickly a long call answers Ctrl-C, and how long a small call waits beside a long one.

Ctrl-C: a child interpreter starts a long call in one phase (draining an endless
iterator, parsing, numbering new splits, a kernel with or without a counter, the snapshot
exports, building the list of floats; and the split-table engine's table building, blocks
and lag reduction); this process sends it a real SIGINT at a random moment and times the
interval until the child reports KeyboardInterrupt. A build that cannot stop its calls
shows the rest of the call instead (the child is ended after --timeout seconds).

Beside: a thread runs a long counted WRF call; the main thread meanwhile makes small
3-tree calls and times each, next to the same small call on an idle pool.

    python bench/interrupt_bench.py [--repeats 7] [--python PATH] [--skip-drain]
                                    [--phases PHASE ...]

--python runs the children with another interpreter (another build of the module, for a
before/after comparison); --skip-drain leaves out the endless-iterator case, which a
build without the check grows memory on at about 1 GB/s until --timeout.
"""

import argparse
import os
import json
import random
import select
import signal
import statistics
import subprocess
import sys
import textwrap
import time

CHILD = textwrap.dedent(
    r"""
    import itertools, random, resource, sys, threading, time
    import kestrilune as k

    def balanced(leaves):
        half = len(leaves) // 2
        return leaves[0] + ":0.5" if half == 0 else \
            "(" + balanced(leaves[:half]) + "," + balanced(leaves[half:]) + "):0.25"

    def shuffled(n, n_taxa, seed=7):
        rng, template = random.Random(seed), balanced(["{}"] * n_taxa) + ";"
        taxa = [f"T{i}" for i in range(n_taxa)]
        out = []
        for _ in range(n):
            rng.shuffle(taxa)
            out.append(template.format(*taxa))
        return out

    def caterpillar(n):
        return "(" * (n - 1) + "A0," + ",".join(f"A{i})" for i in range(1, n)) + ";"

    phase = sys.argv[1]
    counter = None
    if phase == "drain":
        # A cap, so that a build that keeps every text fails instead of filling memory.
        resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))
        fn, trees, names = k.pairwise_rf_from_newick_iter, itertools.repeat("((A,B),(C,D));"), 2
    elif phase == "parse":
        fn, trees, names = k.pairwise_rf_from_newick_iter, [caterpillar(3000)] * 6000, 6000
    elif phase == "intern":
        # Random trees of 400 taxa: millions of new splits to number, one thread's work.
        fn, trees = k.pairwise_rf_from_newick_iter, shuffled(12000, 400)
    elif phase in ("rf-kernel", "rf-kernel-counter"):
        fn, trees = k.pairwise_rf_from_newick_iter, shuffled(6000, 200)
    elif phase in ("wrf-kernel", "wrf-kernel-counter"):
        # 400 taxa: the WRF tiles finish 2,500 trees of 100 taxa in about 0.1 s.
        fn, trees = k.pairwise_wrf_from_newick_iter, shuffled(3000, 400)
    elif phase == "float-list":
        # The plain KF function: a quick kernel, then 16 million floats built with the GIL.
        fn, trees = k.pairwise_kf_from_newick_iter, ["((A:1,B:2):1,(C:1,D:1):2);"] * 4000
    elif phase.startswith("engine-"):
        # kestrilune_tools._engine: building a table, blocks of a built one, a reduction.
        from kestrilune_tools.table.engine import SplitTable
        fn = SplitTable
        if phase == "engine-build":
            trees = [caterpillar(3000)] * 6000
        elif phase == "engine-drain":
            fn, trees, names = SplitTable, itertools.repeat("((A,B),(C,D));"), 2
        else:
            table_trees = shuffled(12000 if "rf" in phase else 3000, 100)
            table = SplitTable([str(i) for i in range(len(table_trees))], iter(table_trees),
                               [{}], [0] * len(table_trees), lengths=True)
            metric = phase.split("-")[1]
            if metric == "lag":
                fn = lambda *args, progress: table.lag_means("kf", 500, progress=progress)
            else:
                fn = lambda *args, progress: getattr(table, metric)(progress=progress)
            trees = ["(A,B);"] * 2
    if phase.endswith("counter"):
        counter = k.ProgressCounter()
    if not isinstance(trees, itertools.repeat):
        names = len(trees)
        trees = iter(trees)
    names = [str(i) for i in range(names)]
    print("ready", flush=True)
    try:
        fn(names, trees, [{}], [0] * len(names), progress=counter)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    except MemoryError:
        print("memory", flush=True)
    """
)

PHASES = ["drain", "parse", "intern", "rf-kernel", "rf-kernel-counter", "wrf-kernel",
          "wrf-kernel-counter", "float-list", "engine-drain", "engine-build",
          "engine-rf-block-counter", "engine-kf-block", "engine-lag-counter"]

BESIDE = textwrap.dedent(
    r"""
    import json, random, threading, time
    import kestrilune as k
    rng, taxa = random.Random(11), [f"T{i}" for i in range(100)]
    def tree():
        rng.shuffle(taxa)
        return "(" + ",".join(f"(({a}:1,{b}:2):3,({c}:4,{d}:5):6)" for a, b, c, d in
                              zip(taxa[::4], taxa[1::4], taxa[2::4], taxa[3::4])) + ");"
    trees = [tree() for _ in range(4000)]
    small = ["((A,B),(C,D));", "((A,C),(B,D));", "((A,B),(C,D));"]
    def small_call():
        t = time.perf_counter()
        k.pairwise_rf_from_newick_iter(list("abc"), iter(small), [{}], [0, 0, 0])
        return time.perf_counter() - t
    alone = [small_call() for _ in range(50)]
    counter = k.ProgressCounter()
    long_call = threading.Thread(target=k.pairwise_wrf_from_newick_iter, args=(
        [str(i) for i in range(len(trees))], iter(trees), [{}], [0] * len(trees)),
        kwargs=dict(progress=counter))
    long_call.start()
    while counter.value() == 0:
        time.sleep(0.001)
    beside = []
    while long_call.is_alive() and len(beside) < 20 and counter.fraction() < 0.9:
        beside.append(small_call())
        time.sleep(0.02)
    long_call.join()
    print(json.dumps({"alone": alone, "beside": beside}))
    """
)


def interrupt_once(python, phase, timeout, rng):
    child = subprocess.Popen([python, "-c", CHILD, phase], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        if child.stdout.readline().strip() != "ready":
            raise RuntimeError(child.stderr.read())
        time.sleep(rng.uniform(0.15, 0.6))
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        # The answer, or the call's end: waiting longer than --timeout means "not stopped".
        deadline = sent + timeout
        line = ""
        while time.monotonic() < deadline:
            if child.poll() is not None:
                line = child.stdout.readline().strip()
                break
            ready = select.select([child.stdout], [], [], 0.01)[0]
            if ready:
                line = child.stdout.readline().strip()
                break
        return line or "timeout", time.monotonic() - sent
    finally:
        child.kill()
        child.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--timeout", type=float, default=30.0)
    parser.add_argument("--skip-drain", action="store_true")
    parser.add_argument("--phases", nargs="*", default=PHASES, choices=PHASES)
    args = parser.parse_args()
    rng = random.Random(1)
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} processors; "
          f"{args.repeats} SIGINTs per phase, each 0.15-0.6 s into the phase")
    print(f"{'phase':<24} {'outcome':<14} {'min ms':>8} {'median ms':>10} {'max ms':>8}")
    for phase in args.phases:
        if phase.endswith("drain") and args.skip_drain:
            continue
        outcomes, latencies = [], []
        for _ in range(args.repeats):
            outcome, latency = interrupt_once(args.python, phase, args.timeout, rng)
            outcomes.append(outcome)
            latencies.append(latency * 1000)
        common = max(set(outcomes), key=outcomes.count)
        print(f"{phase:<24} {common + ('*' if len(set(outcomes)) > 1 else ''):<14} "
              f"{min(latencies):8.1f} {statistics.median(latencies):10.1f} "
              f"{max(latencies):8.1f}")
    out = subprocess.run([args.python, "-c", BESIDE], capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(out.stderr)
    times = json.loads(out.stdout)
    for label in ("alone", "beside"):
        ms = [t * 1000 for t in times[label]]
        print(f"small call {label:<9} n={len(ms):<3} median {statistics.median(ms):8.2f} ms, "
              f"max {max(ms):8.2f} ms")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Measurements of the split-table engine (kestrilune_tools.table.engine / analyses.scale).

Each part runs in a child process of its own so that its peak RSS is its own
(``resource.getrusage(RUSAGE_CHILDREN)`` read after the child ends). Nothing here is a test.

    python bench/engine_bench.py blocks   FILE...      # RF blocks vs the module, pairs/s
    python bench/engine_bench.py zarr     FILE [-n N]  # all-pairs RF to a Zarr store
    python bench/engine_bench.py reduce   FILE [-n N]  # medoid and lag-k means
    python bench/engine_bench.py dask     FILE [-n N]  # 2 single-threaded Dask workers vs native
    python bench/engine_bench.py k-sweep  [--taxa T] -n N  # pairs/s against K (distinct splits)

Inputs: real files, or ``python bench/gen_trees.py --taxa 200 --trees 100000 --seed 7
--beast-annotations -o big.t`` (MCMC-like random walk, BEAST-style annotations).
Results of the runs behind the engine's notes are in bench/README.md.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def child(code: str, env=None) -> dict:
    """Runs `code` in a fresh interpreter; it prints one JSON line. Adds peak RSS (MiB)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env={**os.environ, **(env or {})})
    if out.returncode != 0:
        raise SystemExit(out.stderr)
    res = json.loads(out.stdout.strip().splitlines()[-1])
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    res["peak_rss_mib_upper_bound"] = round(max(peak, before) / 1024, 1)
    return res


PRELUDE = """
import json, os, resource, sys, time
import numpy as np
from kestrilune_tools import read_trees
from kestrilune_tools.table.engine import SplitTable
def rss(): return round(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, 1)
"""


def blocks(files):
    """Per file and metric: the square block after parsing (best of 3) against the module's
    whole call (parsing included), run side by side in one child process."""
    for path in files:
        code = PRELUDE + f"""
from kestrilune_tools import arrays
def best(fn):
    times = []
    for _ in range(3):
        t0 = time.perf_counter(); fn(); times.append(time.perf_counter() - t0)
    return min(times)
ts = read_trees({path!r})
n = len(ts)
t0 = time.perf_counter()
t = SplitTable.from_treeset(ts, lengths=True)
parse = time.perf_counter() - t0
pairs = n * (n - 1) / 2
res = dict(file=os.path.basename({path!r}), n=n, K=t.n_splits, table_parse_s=round(parse, 3),
           dtype=str(t.rf(slice(0, 2)).dtype))
for metric in ("rf", "wrf", "kf"):
    module = best(lambda: arrays.pairwise(metric, ts, snapshots=True))
    square = best(lambda: t.block(metric))
    cond = best(lambda: t.condensed(metric))
    res[metric] = dict(module_s=round(module, 3), block_s=round(square, 3),
                       condensed_s=round(cond, 3), module_pairs_per_s=round(pairs / module),
                       block_pairs_per_s=round(pairs / square),
                       condensed_pairs_per_s=round(pairs / cond))
print(json.dumps(res))
"""
        print(json.dumps(child(code)))


def zarr_run(path, n, chunk, condensed):
    store = tempfile.mkdtemp(prefix="engine-bench-") + "/rf.zarr"
    code = PRELUDE + f"""
from kestrilune_tools.analyses import scale
t0 = time.perf_counter()
ts = read_trees({path!r}, max_trees={n})
t1 = time.perf_counter()
t = SplitTable.from_treeset(ts)
t2 = time.perf_counter()
scale.write_zarr(t, {store!r}, "rf", chunk={chunk}, condensed={condensed})
t3 = time.perf_counter()
import dask.array as da
z = da.from_zarr({store!r})
check = int(z[:{min(n, 1000)}, :{min(n, 1000)}].sum().compute()) if not {condensed} else 0
n = t.n_trees
print(json.dumps(dict(n=n, K=t.n_splits, scan_s=round(t1 - t0, 1), table_s=round(t2 - t1, 1),
    zarr_s=round(t3 - t2, 1), total_s=round(t3 - t0, 1), pairs_per_s=round(n * (n - 1) / 2 / (t3 - t2)),
    dtype=str(z.dtype), shape=list(z.shape), self_peak_rss_mib=rss())))
"""
    res = child(code)
    size = subprocess.run(["du", "-sh", store], capture_output=True, text=True).stdout.split()[0]
    res["store_size"] = size
    subprocess.run(["rm", "-rf", os.path.dirname(store)])
    print(json.dumps(res))


def reduce_run(path, n, max_lag):
    code = PRELUDE + f"""
t0 = time.perf_counter()
ts = read_trees({path!r}, max_trees={n})
t = SplitTable.from_treeset(ts)
t1 = time.perf_counter()
m = t.medoid()
t2 = time.perf_counter()
lag = t.lag_means(max_lag={max_lag})
t3 = time.perf_counter()
print(json.dumps(dict(n=t.n_trees, K=t.n_splits, read_and_table_s=round(t1 - t0, 1),
    medoid_s=round(t2 - t1, 1), lag_s=round(t3 - t2, 1), medoid=m,
    self_peak_rss_mib=rss())))
"""
    print(json.dumps(child(code)))


def dask_run(path, n, chunk):
    code = PRELUDE + f"""
import shutil, tempfile
from distributed import Client, LocalCluster
from kestrilune_tools.analyses import scale
if __name__ == "__main__":
    ts = read_trees({path!r}, max_trees={n})
    t = SplitTable.from_treeset(ts)
    d = tempfile.mkdtemp()
    cpu0 = time.process_time()
    t0 = time.perf_counter()
    scale.write_zarr(t, d + "/native.zarr", "rf", chunk={chunk}, condensed=True)
    native = time.perf_counter() - t0
    native_cpu = time.process_time() - cpu0
    out = dict(n=t.n_trees, condensed=True, native_2_threads_s=round(native, 1),
               native_cpu_s=round(native_cpu, 1))
    import zarr
    want = zarr.open_array(d + "/native.zarr")[:]
    for workers in (1, 2):  # the scaling curve: all cores in one worker, then one each
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=None,
                          env={{"RAYON_NUM_THREADS": str(2 // workers)}}) as c, Client(c) as cl:
            t0 = time.perf_counter()
            scale.write_zarr(t, d + f"/dask{{workers}}.zarr", "rf", chunk={chunk},
                             condensed=True, client=cl)
            s = time.perf_counter() - t0
        out[f"dask_{{workers}}_workers_s"] = round(s, 1)
        out[f"ratio_{{workers}}_workers"] = round(s / native, 2)
        out[f"same_cells_{{workers}}"] = bool((zarr.open_array(d + f"/dask{{workers}}.zarr")[:] == want).all())
    shutil.rmtree(d)
    print(json.dumps(out))
"""
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as fh:
        fh.write(code)
    try:
        out = subprocess.run([sys.executable, fh.name], capture_output=True, text=True,
                             env={**os.environ, "RAYON_NUM_THREADS": "2"})
        if out.returncode != 0:
            raise SystemExit(out.stderr)
        print(out.stdout.strip().splitlines()[-1])
    finally:
        os.unlink(fh.name)


def k_sweep(taxa, n, moves):
    """Pairs/s of the condensed RF, WRF and KF blocks against K, beside the module's whole
    call (parsing included) on the same trees, for random walks of more and more moves per
    sample."""
    for m in moves:
        path = os.path.join(tempfile.gettempdir(), f"engine-bench-{taxa}-{n}-{m}.t")
        if not os.path.exists(path):
            subprocess.run([sys.executable, os.path.join(HERE, "gen_trees.py"), "--taxa",
                            str(taxa), "--trees", str(n), "--seed", "3", "--moves-per-step",
                            str(m), "-o", path], check=True, capture_output=True)
        code = PRELUDE + f"""
from kestrilune_tools import arrays
ts = read_trees({path!r})
t = SplitTable.from_treeset(ts, lengths=True)
n = t.n_trees
pairs = n * (n - 1) / 2
res = dict(taxa={taxa}, n=n, moves_per_step={m}, K=t.n_splits)
for metric in ("rf", "wrf", "kf"):
    c0 = time.process_time(); t0 = time.perf_counter(); t.condensed(metric)
    s = time.perf_counter() - t0; c = time.process_time() - c0
    c0 = time.process_time(); t0 = time.perf_counter()
    arrays.pairwise(metric, ts, snapshots=True)
    ms = time.perf_counter() - t0; mc = time.process_time() - c0
    res[metric] = dict(block_s=round(s, 2), block_cpu_s=round(c, 2),
                       block_pairs_per_s=round(pairs / s), module_call_s=round(ms, 2),
                       module_cpu_s=round(mc, 2), module_pairs_per_s=round(pairs / ms))
print(json.dumps(res))
"""
        print(json.dumps(child(code)))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("part", choices=["blocks", "zarr", "reduce", "dask", "k-sweep"])
    ap.add_argument("files", nargs="*")
    ap.add_argument("-n", type=int, default=100000, help="trees to use (default 100000)")
    ap.add_argument("--chunk", type=int, default=2048)
    ap.add_argument("--condensed", action="store_true")
    ap.add_argument("--max-lag", type=int, default=100)
    ap.add_argument("--taxa", type=int, default=200)
    ap.add_argument("--moves", default="1,4,16,64", help="k-sweep: moves per step")
    args = ap.parse_args()
    if args.part == "blocks":
        blocks(args.files)
    elif args.part == "zarr":
        zarr_run(args.files[0], args.n, args.chunk, args.condensed)
    elif args.part == "reduce":
        reduce_run(args.files[0], args.n, args.max_lag)
    elif args.part == "dask":
        dask_run(args.files[0], args.n, args.chunk)
    else:
        k_sweep(args.taxa, args.n, [int(x) for x in args.moves.split(",")])


if __name__ == "__main__":
    main()

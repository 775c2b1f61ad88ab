#!/usr/bin/env python3
"""Time ``kestrilune summarize`` (majority-rule consensus, topology table, MCC, CCD0 and
CCD1 MAP trees) on a large rooted sample, beside TreeAnnotator's MCC tree on a prefix of it.

    python bench/summarize_bench.py                       # 10^5 trees x 200 taxa
    python bench/summarize_bench.py --trees 20000 --peer-trees 2000

Target: the whole command on 10^5 trees x 200 taxa in at most 5 minutes and 4 GiB peak
resident memory on the 2-core development machine. The sample is generated on first use into
``bench/.cache/`` by ``gen_trees.py --rooted`` (seed 5). The command runs in a child process,
so its wall time, CPU time and peak RSS are its own; the phase times are the command's own
timing line. The peer is TreeAnnotator (``treeannotator -burninTrees 0 -heights mean``), which
holds every tree in memory, on the first ``--peer-trees`` trees, with kestrilune run on the
same prefix (MCC only) for the ratio.
"""

from __future__ import annotations

import argparse
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TARGET_SECONDS = 300.0
TARGET_BYTES = 4 << 30


def sample(args) -> str:
    cache = os.path.join(HERE, ".cache")
    os.makedirs(cache, exist_ok=True)
    path = os.path.join(cache, f"rooted_{args.taxa}x{args.trees}.t")
    if not os.path.exists(path):
        subprocess.run([sys.executable, os.path.join(HERE, "gen_trees.py"), "--taxa",
                        str(args.taxa), "--trees", str(args.trees), "--seed", "5", "--rooted",
                        "-o", path], check=True, stdout=subprocess.DEVNULL)
    return path


def prefix(path: str, n: int, out: str) -> None:
    """The first n trees of a MrBayes-style file, with its header and an ``end;``."""
    seen = 0
    with open(path) as src, open(out, "w") as dst:
        for line in src:
            if line.lstrip().lower().startswith("tree "):
                if seen == n:
                    break
                seen += 1
            dst.write(line)
        dst.write("end;\n")


def timed(cmd):
    """(wall s, CPU s, peak RSS bytes, stdout + stderr) of one child process."""
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        start = time.perf_counter()
        proc = subprocess.Popen(cmd, stdout=out, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        if proc.returncode != 0:
            sys.exit(f"{cmd[0]} failed ({proc.returncode}):\n{err.read()[-2000:]}")
        # ru_maxrss is in KiB on Linux.
        cpu = usage.ru_utime + usage.ru_stime
        return wall, cpu, usage.ru_maxrss * 1024, out.read() + err.read()


def phases(stdout: str):
    line = next((ln for ln in stdout.splitlines() if ln.startswith("wall time:")), "")
    inner = line[line.find("(") + 1:line.rfind(")")] if "(" in line else ""
    return [(m.group(1).strip(), m.group(2)) for m in
            re.finditer(r"([^,]+?) ((?:[0-9]+ h )?(?:[0-9]+ min )?[0-9.]+ (?:ms|s|min))(?:,|$)",
                           inner)]


def stages(path: str) -> None:
    """The library calls behind the command, one by one in this process: wall and CPU time
    (all threads) of each, to see which stage a slow run spends its time in."""
    from kestrilune_tools.analyses import summaries as S
    from kestrilune_tools.table.load import read_table
    from kestrilune_tools.table.splits import from_table

    def run(label, call):
        wall, cpu = time.perf_counter(), time.process_time()
        out = call()
        print(f"  {label:<28} wall {time.perf_counter() - wall:7.2f} s, "
              f"CPU {time.process_time() - cpu:7.2f} s")
        return out

    print(f"stages in this process (load average {load()}):")
    ts, t = run("reading trees (one pass)", lambda: read_table(path, rooted=True, lengths=True))
    sd = run("split data", lambda: from_table(t))
    run("majority-rule consensus", lambda: S.majority_consensus(sd))
    run("MCC tree", lambda: S.mcc_tree(sd))
    run("CCD0 MAP tree", lambda: S.ccd0_map(sd))
    run("CCD1 MAP tree", lambda: S.ccd1_map(sd))
    table = run("counting topologies", lambda: S.topology_probabilities(sd))
    run("reading topologies", lambda: table.newicks(ts))
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20
    print(f"  peak RSS of this process {peak:.2f} GiB; load average after {load()}")


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--trees", type=int, default=100000)
    ap.add_argument("--taxa", type=int, default=200)
    ap.add_argument("--peer-trees", type=int, default=10000,
                    help="trees TreeAnnotator summarizes (0: no peer run)")
    ap.add_argument("--no-lengths", action="store_true", help="pass --no-lengths")
    ap.add_argument("--stages", action="store_true",
                    help="only time each library call in this process (wall and CPU)")
    args = ap.parse_args(argv)

    path = sample(args)
    if args.stages:
        stages(path)
        return 0
    exe = [sys.executable, "-m", "kestrilune_tools"]
    what = ["--consensus", "--mcc", "--ccd0", "--ccd1"]
    print(f"input: {os.path.basename(path)} ({os.path.getsize(path) / 1e6:.0f} MB), "
          f"{args.trees} rooted trees x {args.taxa} taxa; {os.cpu_count()} CPUs; "
          f"load average {load()}")
    with tempfile.TemporaryDirectory() as tmp:
        out = [os.path.join(tmp, n) for n in ("trees.nex", "trprobs.tsv", "summary.json")]
        cmd = exe + ["summarize", path, "--burnin", "0", *what, "-o", out[0], "--trprobs",
                     out[1], "--json", out[2], "-q"] + (["--no-lengths"] if args.no_lengths
                                                       else [])
        wall, cpu, rss, stdout = timed(cmd)
        ok = wall <= TARGET_SECONDS and rss <= TARGET_BYTES
        print(f"kestrilune summarize {' '.join(what)} --trprobs -o --json: wall {wall:.1f} s, "
              f"CPU {cpu:.1f} s, peak RSS {rss / 2**30:.2f} GiB "
              f"(target <= {TARGET_SECONDS:.0f} s, <= {TARGET_BYTES >> 30} GiB: "
              f"{'met' if ok else 'MISSED'}); load average after {load()}")
        for label, took in phases(stdout):
            print(f"  {label:<28} {took}")

        if args.peer_trees > 0:
            peer = shutil.which("treeannotator")
            if peer is None:
                print("peer: treeannotator not found; skipped")
                return 0
            small = os.path.join(tmp, "prefix.t")
            prefix(path, args.peer_trees, small)
            ours = timed(exe + ["summarize", small, "--burnin", "0", "--mcc", "-q"])
            theirs = timed([peer, "-burninTrees", "0", "-heights", "mean", small,
                            os.path.join(tmp, "ta.tre")])
            print(f"MCC on the first {args.peer_trees} trees: kestrilune wall {ours[0]:.1f} s, "
                  f"peak RSS {ours[2] / 2**20:.0f} MiB; TreeAnnotator wall {theirs[0]:.1f} s, "
                  f"peak RSS {theirs[2] / 2**20:.0f} MiB; "
                  f"ratio {theirs[0] / ours[0]:.1f}x; load average after {load()}")
            best = re.search(r"Best tree: (\S+).*\n.*Credibility: (\S+)", theirs[3])
            mine = re.search(r"MCC tree \((\S+)\):.*log clade credibility ([-0-9.eE+]+)", ours[3])
            if best and mine:
                print(f"  TreeAnnotator: {best.group(1)}, {best.group(2)}; "
                      f"kestrilune: {mine.group(1)}, {mine.group(2)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

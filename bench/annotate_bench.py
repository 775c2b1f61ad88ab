#!/usr/bin/env python3
"""Time ``kestrilune summarize --mcc --heights ca`` (dated MCC tree with every annotation) on
a large rooted sample, beside TreeAnnotator 1.10 on a prefix of it.

    python bench/annotate_bench.py                        # 10^5 trees x 200 taxa
    python bench/annotate_bench.py --trees 20000 --peer-trees 2000 --heights mean

Target: 10^5 trees x 200 taxa in at most 60 s and 2 GiB peak resident memory on the 2-core
development machine; against TreeAnnotator (``-burninTrees 0 -heights ca``) on the first
``--peer-trees`` trees, at least 10x faster and 5x less memory, with the same tree and the
same values (every annotation and branch length of every node: the count that differ by more
than 1e-9, and the count that are not the same double).
The sample is the one ``summarize_bench.py`` makes (``bench/.cache/``, seed 5); with
``--node-annotations``, the same walk written as BEAST writes a relaxed clock, a
``[&rate=...]`` on every node (``gen_trees.py --beast-annotations``), whose values the
summary reads from the texts. Commands run in child processes, so wall time, CPU time and
peak RSS are their own.
"""

from __future__ import annotations

import argparse
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from summarize_bench import load, prefix, sample, timed  # noqa: E402

TARGET_SECONDS = 60.0
TARGET_BYTES = 2 << 30


def phases(stdout: str):
    """(label, time) of each phase of the command's timing line, its wrapped lines joined."""
    lines = stdout.splitlines()
    start = next((i for i, ln in enumerate(lines) if ln.startswith("wall time:")), None)
    if start is None:
        return []
    text = lines[start]
    for ln in lines[start + 1:]:
        if not ln.startswith("  "):
            break
        text += " " + ln.strip()
    inner = text[text.find("(") + 1:text.rfind(")")]
    return [(m.group(1).strip(), m.group(2)) for m in
            re.finditer(r"([^,]+?) ((?:[0-9]+ min )?[0-9.]+ (?:ms|s))(?:,|$)", inner)]


def nodes(path: str):
    """Every node of the one tree of a NEXUS file by its taxa: (length, annotations)."""
    from kestrilune_tools.analyses.summaries.annotate import read_nodes

    text = open(path).read()
    block = re.search(r"translate(.*?);", text, re.I | re.S).group(1)
    translate = dict(line.strip().rstrip(",").split() for line in block.strip().splitlines())
    tree = re.search(r"^\s*tree \S+ (?:\[[^]]*\] )?= (?:\[&R\] )?(.*;)", text,
                     re.M | re.I).group(1)
    index = {n: i for i, n in enumerate(sorted(translate.values()))}
    return read_nodes(tree, index, translate)


def differences(ours: str, theirs: str) -> str:
    a, b = nodes(ours), nodes(theirs)
    if set(a) != set(b):
        return "different trees"
    bad = inexact = values = 0
    for clade, (length, notes) in b.items():
        my_length, mine = a[clade]
        bad += set(mine) != set(notes)
        pairs = []
        for key in set(mine) & set(notes):
            x, y = mine[key], notes[key]
            pairs += list(zip(x, y)) if isinstance(y, tuple) else [(x, y)]
        if length is not None and my_length is not None:
            pairs.append((my_length, length))
        for u, v in pairs:
            values += 1
            bad += not math.isclose(u, v, rel_tol=1e-9, abs_tol=1e-12)
            inexact += u != v
    return (f"{len(b)} nodes, {values} values (branch lengths included): {bad} differ by "
            f"more than 1e-9, {inexact} are not the same double")


def annotated_sample(args) -> str:
    cache = os.path.join(os.path.dirname(os.path.abspath(__file__)), ".cache")
    os.makedirs(cache, exist_ok=True)
    path = os.path.join(cache, f"rooted_rates_{args.taxa}x{args.trees}.t")
    if not os.path.exists(path):
        gen = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gen_trees.py")
        subprocess.run([sys.executable, gen, "--taxa", str(args.taxa), "--trees",
                        str(args.trees), "--seed", "5", "--rooted", "--beast-annotations",
                        "-o", path], check=True, stdout=subprocess.DEVNULL)
    return path


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--trees", type=int, default=100000)
    ap.add_argument("--taxa", type=int, default=200)
    ap.add_argument("--heights", default="ca", choices=("keep", "mean", "median", "ca"))
    ap.add_argument("--peer-trees", type=int, default=10000,
                    help="trees TreeAnnotator annotates (0: no peer run)")
    ap.add_argument("--node-annotations", action="store_true",
                    help="a [&rate=...] comment on every node, as BEAST writes them")
    args = ap.parse_args(argv)

    path = annotated_sample(args) if args.node_annotations else sample(args)
    exe = [sys.executable, "-m", "kestrilune_tools"]
    print(f"input: {os.path.basename(path)} ({os.path.getsize(path) / 1e6:.0f} MB), "
          f"{args.trees} rooted trees x {args.taxa} taxa; {os.cpu_count()} CPUs; "
          f"load average {load()}")
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "mcc.nex")
        wall, cpu, rss, stdout = timed(exe + ["summarize", path, "--burnin", "0", "--mcc",
                                              "--heights", args.heights, "-o", out, "-q"])
        ok = wall <= TARGET_SECONDS and rss <= TARGET_BYTES
        print(f"kestrilune summarize --mcc --heights {args.heights}: wall {wall:.1f} s, "
              f"CPU {cpu:.1f} s, peak RSS {rss / 2**30:.2f} GiB (target <= "
              f"{TARGET_SECONDS:.0f} s, <= {TARGET_BYTES >> 30} GiB: "
              f"{'met' if ok else 'MISSED'}); load average after {load()}")
        for label, took in phases(stdout):
            print(f"  {label:<32} {took}")

        if args.peer_trees > 0:
            peer = shutil.which("treeannotator")
            if peer is None:
                print("peer: treeannotator not found; skipped")
                return 0
            small = os.path.join(tmp, "prefix.t")
            prefix(path, args.peer_trees, small)
            mine, theirs = os.path.join(tmp, "ours.nex"), os.path.join(tmp, "ta.tre")
            ours = timed(exe + ["summarize", small, "--burnin", "0", "--mcc", "--heights",
                                args.heights, "-o", mine, "-q"])
            ta = timed([peer, "-burninTrees", "0", "-heights", args.heights, small, theirs])
            print(f"on the first {args.peer_trees} trees: kestrilune wall {ours[0]:.1f} s, "
                  f"CPU {ours[1]:.1f} s, peak RSS {ours[2] / 2**20:.0f} MiB; TreeAnnotator "
                  f"wall {ta[0]:.1f} s, CPU {ta[1]:.1f} s, peak RSS {ta[2] / 2**20:.0f} MiB; "
                  f"{ta[0] / ours[0]:.1f}x faster, {ta[2] / ours[2]:.1f}x less memory "
                  f"(targets 10x, 5x); load average after {load()}")
            print(f"  same values: {differences(mine, theirs)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""``kestrilune watch``: follow runs while the program writes them, with MrBayes' run-time
ASDSF at every diagnostic generation.

    kestrilune watch analysis --diagn-every 10000                      # MrBayes base name
    kestrilune watch run1.trees run2.trees --diagn-every 100000 --every 30 \\
        --stop-when "asdsf<0.01" --json-lines progress.jsonl

The files are polled every ``--every`` seconds (a bounded interval: on a network file
system a file's growth shows when the server says so). Only whole trees are read; a file
cut or replaced (a restarted run) is read again from its start, and said. At each
diagnostic generation G reached by every run, one line (and one JSON record) gives the
ASDSF of the samples of generation <= G after the run-time burn-in (the first quarter, as
MrBayes' ``relburnin``), equal to what MrBayes writes to its ``.mcmc`` file. The command
ends when every file is complete (NEXUS ``end;``), when ``--stop-when`` has held for
``--stop-after`` points in a row (exit 0, so a job script can stop the chains), or on
Ctrl-C (exit 130; every record already written stays).
"""

from __future__ import annotations

import argparse
import json
import operator
import os
import re
import time
from typing import IO, Callable, Dict, List, Optional, Tuple

from ..console.cli import CommandError, Context, UsageError, add_rooting_arguments

_OPS: Dict[str, Callable[[float, float], bool]] = {
    "<=": operator.le, ">=": operator.ge, "<": operator.lt, ">": operator.gt}
STATISTICS = ("asdsf", "msdsf", "splits", "generation", "trees", "used")
_CONDITION = re.compile(r"^\s*([a-z_]+)\s*(<=|>=|<|>)\s*([-+0-9.eE]+)\s*$")

Condition = Tuple[str, str, float]


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("files", nargs="+", metavar="FILE",
                   help="tree files being written (NEXUS or Newick lists), one per run, or "
                        "a MrBayes base name for its .run*.t files")
    p.add_argument("--diagn-every", type=int, required=True, metavar="GEN",
                   help="diagnostic interval in generations (MrBayes' diagnfreq)")
    p.add_argument("--burnin", type=float, default=0.25, metavar="FRACTION",
                   help="run-time burn-in: the first FRACTION of the samples at each point "
                        "(default 0.25, as MrBayes)")
    p.add_argument("--min-freq", type=float, default=0.1, metavar="F",
                   help="splits below this frequency in every run are left out (default "
                        "0.1, MrBayes' minpartfreq)")
    p.add_argument("--every", type=float, default=10.0, metavar="SECONDS",
                   help="seconds between looks at the files (default 10)")
    p.add_argument("--stop-when", metavar="RULE",
                   help="e.g. \"asdsf<0.01 and trees>=1000\": exit 0 once it holds; "
                        f"statistics: {', '.join(STATISTICS)} (trees, used: the fewest of "
                        "any run)")
    p.add_argument("--stop-after", type=int, default=1, metavar="K",
                   help="--stop-when must hold at K diagnostic points in a row (default 1)")
    p.add_argument("--json-lines", metavar="JSONL",
                   help="one JSON record per diagnostic point, written as it is made")
    p.add_argument("--once", action="store_true",
                   help="read what the files hold now, report, and exit")
    add_rooting_arguments(p)


def parse_rule(text: str) -> List[Condition]:
    """``NAME OP NUMBER [and NAME OP NUMBER ...]``, OP one of < <= > >=."""
    out: List[Condition] = []
    for part in re.split(r"\s+and\s+", text.strip(), flags=re.I):
        m = _CONDITION.match(part)
        if not m:
            raise UsageError(f"--stop-when: cannot read {part!r}; write conditions such as "
                             f"asdsf<0.01, joined by 'and'")
        name, op, value = m.group(1), m.group(2), m.group(3)
        if name not in STATISTICS:
            raise UsageError(f"--stop-when: no statistic {name!r}; watch gives "
                             f"{', '.join(STATISTICS)}")
        try:
            out.append((name, op, float(value)))
        except ValueError:
            raise UsageError(f"--stop-when: {value!r} is not a number") from None
    return out


def holds(rule: List[Condition], record: Dict[str, object]) -> bool:
    for name, op, value in rule:
        got = record[name]
        if isinstance(got, list):
            got = min(got)
        if got is None or not _OPS[op](float(got), value):  # type: ignore[arg-type]
            return False
    return True


def run(args: argparse.Namespace, ctx: Context) -> int:
    from ..analyses.converge.watch import RunTimeASDSF
    from ..reading.follow import GrowingTreeFile
    from ..reading.runs import expand_runs

    if args.diagn_every < 1:
        raise UsageError(f"--diagn-every must be at least 1, got {args.diagn_every}")
    if not 0 <= args.burnin < 1:
        raise UsageError(f"--burnin is a fraction below 1 here, got {args.burnin}")
    if args.every <= 0 or args.stop_after < 1:
        raise UsageError("--every must be above 0 and --stop-after at least 1")
    rule = parse_rule(args.stop_when) if args.stop_when else None
    json_path = ctx.output(args.json_lines, (".jsonl", ".json"), "--json-lines")
    try:
        files = expand_runs(args.files)
    except FileNotFoundError as exc:
        raise CommandError(str(exc)) from None
    if any(f.endswith(".gz") for f in files):
        raise CommandError("gzip-compressed files cannot grow: watch follows plain files")
    followers = [GrowingTreeFile(f) for f in files]
    names = [os.path.basename(f) for f in files]
    live: Optional[RunTimeASDSF] = None
    held = 0
    sink: Optional[IO[str]] = None
    ctx.print(f"watching {', '.join(names)}")
    ctx.print(f"  ASDSF every {args.diagn_every} generations (burn-in {args.burnin:g} of the "
              f"samples; splits of frequency >= {args.min_freq:g} in a run)")
    try:
        if json_path:
            try:
                sink = open(json_path, "x", encoding="utf-8")
            except FileExistsError:
                raise CommandError(f"{json_path} exists: watch appends to a new file only; "
                                   "move it away or choose another name") from None
        while True:
            for r, follower in enumerate(followers):
                batch = follower.read_new()
                if batch.restarted:
                    ctx.warn(f"{follower.path} became shorter or was replaced (a restarted "
                             f"run?): reading it again from its start")
                    if live is not None:
                        live.restart(r)
                if not batch.names:
                    continue
                if live is None:
                    rooted = args.rooted if args.rooted is not None else \
                        batch.newicks[0].lstrip().upper().startswith("[&R]")
                    live = RunTimeASDSF(len(files), args.diagn_every, args.burnin,
                                        args.min_freq, rooted=rooted)
                try:
                    live.add(r, batch.names, batch.newicks, follower.translate)
                except ValueError as exc:
                    raise CommandError(f"{follower.path}: {exc}") from None
            for point in (live.ready() if live is not None else []):
                record = point.to_dict()
                record["trees"] = list(live.trees)  # type: ignore[union-attr]
                asdsf = "-" if record["asdsf"] is None else f"{point.asdsf:.6f}"
                ctx.print(f"generation {point.generation}: ASDSF {asdsf} over "
                          f"{point.n_splits} splits (samples used per run: "
                          f"{', '.join(map(str, point.used))})")
                if sink is not None:
                    sink.write(json.dumps(record) + "\n")
                    sink.flush()
                if rule is not None:
                    held = held + 1 if holds(rule, record) else 0
                    if held >= args.stop_after:
                        ctx.print(f"stopping: {args.stop_when} held at {held} diagnostic "
                                  f"point{'s' if held > 1 else ''} in a row")
                        return 0
            if all(f.complete for f in followers):
                ctx.print("every file is complete")
                return 0
            if args.once:
                return 0
            time.sleep(args.every)
    finally:
        if sink is not None:
            sink.close()

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
MrBayes' ``relburnin``), equal to what MrBayes writes to its ``.mcmc`` file, with the split
ESS and each run's topological ESS (the approximate ESS ``converge`` prints, of the same
samples) beside it. The command ends when every file is complete (NEXUS ``end;``), when
``--stop-when`` has held for ``--stop-after`` points in a row (exit 0, so a job script can
stop the chains), or on Ctrl-C (exit 130; every record already written stays).
"""

from __future__ import annotations

import argparse
import json
import operator
import os
import re
import sys
import time
from typing import IO, TYPE_CHECKING, Callable, Dict, List, Optional, Tuple

from ..console.cli import CommandError, Context, UsageError, add_rooting_arguments
from ..console.cli import ess_text as _ess

if TYPE_CHECKING:
    from ..analyses.converge.watch import RunTimeASDSF

_OPS: Dict[str, Callable[[float, float], bool]] = {
    "<=": operator.le, ">=": operator.ge, "<": operator.lt, ">": operator.gt}
STATISTICS = ("asdsf", "msdsf", "splits", "generation", "trees", "used", "psrf", "ess",
              "split_ess", "topo_ess")
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
                        "any run; psrf: the largest over the parameters, ess: the smallest, "
                        "as MrBayes' sump; split_ess: the smallest Tracer ESS of a split's "
                        "presence in a run, over the splits of the ASDSF; topo_ess: the "
                        "smallest topological ESS of a run, RWTY's approximate ESS of the RF "
                        "distances as converge prints it, defined once every run has 120 "
                        "trees after the burn-in; where it is only an upper bound, "
                        "topo_ess> does not hold)")
    p.add_argument("--stop-after", type=int, default=1, metavar="K",
                   help="--stop-when must hold at K diagnostic points in a row (default 1)")
    p.add_argument("--json-lines", metavar="JSONL",
                   help="one JSON record per diagnostic point, written as it is made")
    p.add_argument("--report", metavar="HTML",
                   help="an HTML page of the runs and points so far, rewritten whole "
                        "(write, then rename) at each diagnostic point")
    p.add_argument("--no-params", action="store_true",
                   help="leave out the parameter logs found beside the tree files")
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
        elif isinstance(got, dict):  # split_ess, topo_ess: the smallest
            runs = got.get("runs") or []
            if op in (">", ">=") and any(r and r["operator"] == "<" for r in runs):
                return False  # an upper bound cannot show that an ESS is large enough
            got = got["min"]
        if got is None or not _OPS[op](float(got), value):  # type: ignore[arg-type]
            return False  # a statistic not defined yet (no parameter log, too few samples)
    return True


def screen(names: List[str], trees: Tuple[int, ...], generations: Tuple[Optional[int], ...],
           history: List[Dict[str, object]], rule: Optional[str], held: int,
           stop_after: int, rows: int = 10, height: int = 24) -> List[str]:
    """The live view: each run's trees and last generation, then the last ``rows`` points
    (fewer when the screen would pass ``height`` lines; ASDSF, the parameters' worst PSRF
    and ESS, the smallest split ESS and the smallest topological ESS of a run, flagged: +
    above 1.01, ** below 200, * below 625, < an upper bound), then the last point's splits
    with the largest SD across runs and its smallest split ESS, within 80 columns."""
    out = [f"{'run':<40} {'trees':>10} {'last generation':>16}"]
    for name, t, g in zip(names, trees, generations):
        label = name if len(name) <= 40 else "..." + name[-37:]
        out.append(f"{label:<40} {t:>10} {'-' if g is None else g:>16}")
    out.append("")
    out.append(f"{'generation':>11} {'ASDSF':>9} {'splits':>6} {'PSRF max':>8} "
               f"{'ESS min':>9} {'split ESS':>9} {'topo ESS':>9}  parameter")
    splits = _split_lines(history[-1] if history else {})
    rows = max(3, min(rows, height - len(out) - len(splits) - (3 if rule else 1)))
    for r in history[-rows:]:
        asdsf = "-" if r["asdsf"] is None else f"{r['asdsf']:.6f}"
        psrf = r.get("psrf")
        ess = r.get("ess")
        p = "-" if psrf is None else f"{psrf:.3f}{'+' if psrf > 1.01 else ''}"  # type: ignore[operator]
        e = "-" if ess is None else \
            f"{ess:.1f}{'**' if ess < 200 else '*' if ess < 625 else ''}"  # type: ignore[operator]
        worst = str(r.get("ess_name") or r.get("psrf_name") or "")[:11]
        split_ess = _ess((r.get("split_ess") or {}).get("min"))  # type: ignore[attr-defined]
        out.append(f"{r['generation']:>11} {asdsf:>9} {r['splits']:>6} {p:>8} {e:>9} "
                   f"{split_ess:>9} {_topo(r):>9}  {worst}")
    if not history:
        out.append(f"{'(no diagnostic point yet)':>40}")
    out += splits
    if rule:
        out.append("")
        out.append(f"stop when {rule}: held at {held} of {stop_after} points in a row"[:80])
    return out


def _topo(record: Dict[str, object]) -> str:
    """The smallest topological ESS of a point with its flags ("<": an upper bound)."""
    topo = record.get("topo_ess") or {}
    bound = "<" if topo.get("operator") == "<" else ""  # type: ignore[attr-defined]
    return _ess(topo.get("min"), bound)  # type: ignore[attr-defined]


def _split_lines(record: Dict[str, object], width: int = 80) -> List[str]:
    """The splits of a point with the largest SD across runs, one line each: SD, frequency
    in each run, and the split as MrBayes' pattern when it fits, else its leaves."""
    rows = (record.get("split_frequencies") or {}).get("rows") or []  # type: ignore[attr-defined]
    if not rows:
        return []
    out = ["", f"{'SD':>7}  {'frequency per run':<{max(17, 6 * len(rows[0]['frequencies']) - 1)}}"
               f"  split (largest SD at generation {record['generation']})"]
    for row in rows:
        head = f"{row['sd']:>7.4f}  " + " ".join(f"{f:.3f}" for f in row["frequencies"])
        head = f"{head:<{9 + max(17, 6 * len(row['frequencies']) - 1)}}  "
        room = width - len(head)
        split = row["partition"] if len(row["partition"]) <= room else row["leaves"]
        if len(split) > room:
            split = split[:max(room - 3, 0)] + "..."
        out.append((head + split)[:width])
    low = record.get("split_ess") or {}
    if low.get("min") is not None:  # type: ignore[attr-defined]
        line = f"smallest split ESS {_ess(low['min'])} (run {low['run']}): "  # type: ignore[index]
        room = width - len(line)
        split = low["partition"] if len(low["partition"]) <= room else low["leaves"]  # type: ignore[index]
        out.append(line + (split if len(split) <= room else split[:max(room - 3, 0)] + "..."))
    return out


def _parameters(paths: List[Optional[str]], generation: int, burnin: float
                ) -> Dict[str, object]:
    """The parameter statistics at ``generation`` from the logs as they are now (each read
    whole: a log holds far less than its trees; an unfinished last line is left out)."""
    import warnings

    from ..analyses.converge.watch import parameter_point
    from ..reading.params import ParameterFileError, read_params

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the unfinished last line of a running program
            logs = [read_params(p) for p in paths if p]
    except ParameterFileError as exc:
        if "no samples" in str(exc):
            return {"psrf": None, "psrf_name": None, "ess": None, "ess_name": None}
        raise CommandError(str(exc)) from None
    if len({log.names for log in logs}) > 1:
        raise CommandError("the parameter logs of the runs have different columns")
    pp = parameter_point(logs, generation, burnin)
    return {"psrf": pp.psrf, "psrf_name": pp.psrf_name, "ess": pp.ess, "ess_name": pp.ess_name,
            "parameter_samples": list(pp.rows),
            "parameter_convention": "MrBayes sump: PSRF with its carried-over sums, ESS"}


def _write_page(path: str, names: List[str], live: "RunTimeASDSF",
                history: List[Dict[str, object]], args: argparse.Namespace, held: int) -> None:
    """The HTML page of the points so far, written whole under another name, then renamed
    over the last one: a browser or a copy never sees half a page."""
    from ..console.outputs import atomic_path
    from ..pictures.report.watch import watch_page

    text = watch_page(history, list(zip(names, live.trees, live.last_generation)),
                      f"ASDSF every {args.diagn_every} generations, burn-in "
                      f"{args.burnin:g} of the samples, splits of frequency >= "
                      f"{args.min_freq:g} in a run (as MrBayes)",
                      f"stop when {args.stop_when}: held at {held} of {args.stop_after} "
                      "points in a row" if args.stop_when else "")
    try:
        with atomic_path(path) as tmp:
            with open(tmp, "w", encoding="utf-8") as out:
                out.write(text)
    except OSError as exc:
        raise CommandError(f"cannot write {path}: {exc.strerror or exc}") from None


def run(args: argparse.Namespace, ctx: Context) -> int:
    from ..analyses.converge.watch import RunTimeASDSF
    from ..reading.follow import GrowingTreeFile
    from ..reading.params import param_file_for
    from ..reading.runs import expand_runs

    if args.diagn_every < 1:
        raise UsageError(f"--diagn-every must be at least 1, got {args.diagn_every}")
    if not 0 <= args.burnin < 1:
        raise UsageError(f"--burnin is a fraction below 1 here, got {args.burnin}")
    if args.every <= 0 or args.stop_after < 1:
        raise UsageError("--every must be above 0 and --stop-after at least 1")
    rule = parse_rule(args.stop_when) if args.stop_when else None
    json_path = ctx.output(args.json_lines, (".jsonl", ".json"), "--json-lines")
    page_path = ctx.output(args.report, (".html", ".htm"), "--report")
    try:
        files = expand_runs(args.files)
    except FileNotFoundError as exc:
        raise CommandError(str(exc)) from None
    if any(f.endswith(".gz") for f in files):
        raise CommandError("gzip-compressed files cannot grow: watch follows plain files")
    followers = [GrowingTreeFile(f) for f in files]
    logs = [] if args.no_params else [param_file_for(f) for f in files]
    if logs and not all(logs):
        logs = []  # parameters need every run's log
    names = [os.path.basename(f) for f in files]
    live: Optional[RunTimeASDSF] = None
    held = 0
    sink: Optional[IO[str]] = None
    ctx.print(f"watching {', '.join(names)}")
    for f, log in zip(files, logs):
        ctx.print(f"  {os.path.basename(f)} <- {log}")
    ctx.print(f"ASDSF every {args.diagn_every} generations, burn-in {args.burnin:g} of the "
              f"samples,")
    ctx.print(f"  splits of frequency >= {args.min_freq:g} in a run (as MrBayes)")
    try:
        if json_path:
            try:
                sink = open(json_path, "x", encoding="utf-8")
            except FileExistsError:
                raise CommandError(f"{json_path} exists: watch appends to a new file only; "
                                   "move it away or choose another name") from None
        live_view = not args.once and not args.quiet and sys.stdout.isatty()
        history: List[Dict[str, object]] = []
        while True:
            for r, follower in enumerate(followers):
                try:
                    batch = follower.read_new()
                except ValueError as exc:
                    raise CommandError(str(exc)) from None
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
            fresh = live.ready() if live is not None else []
            for point in fresh:
                record = point.to_dict()
                record["trees"] = list(live.trees)  # type: ignore[union-attr]
                asdsf = "-" if record["asdsf"] is None else f"{point.asdsf:.6f}"
                if not live_view:
                    ctx.print(f"generation {point.generation}: ASDSF {asdsf} over "
                              f"{point.n_splits} splits (samples used per run: "
                              f"{', '.join(map(str, point.used))})")
                    lines = _split_lines(record, 78)
                    topo = record["topo_ess"]["runs"]  # type: ignore[index]
                    if any(topo):
                        ctx.print("  topological ESS per run (RWTY approx., RF): " +
                                  ", ".join("-" if a is None else _ess(
                                      a["ess"], "<" if a["operator"] == "<" else "")
                                            for a in topo))
                    for line in lines[1:3] + [x for x in lines[3:] if x.startswith("small")]:
                        ctx.print(f"  {line}")
                if logs:
                    record.update(_parameters(logs, point.generation, args.burnin))
                    if record["psrf"] is not None and not live_view:
                        ctx.print(f"  parameters: largest PSRF {record['psrf']:.3f} "
                                  f"({record['psrf_name']}), smallest ESS {record['ess']:.1f} "
                                  f"({record['ess_name']}), as sump")
                history.append(record)
                if sink is not None:
                    sink.write(json.dumps(record) + "\n")
                    sink.flush()
                if rule is not None:
                    held = held + 1 if holds(rule, record) else 0
                    if held >= args.stop_after:
                        if page_path:
                            _write_page(page_path, names, live, history, args,  # type: ignore[arg-type]
                                        held)
                        ctx.print(f"stopping: {args.stop_when} held at {held} diagnostic "
                                  f"point{'s' if held > 1 else ''} in a row")
                        return 0
            if page_path and live is not None and fresh:
                _write_page(page_path, names, live, history, args, held)
            if live_view:  # one screen, redrawn
                view = screen(names, live.trees if live else tuple(0 for _ in files),
                              live.last_generation if live else tuple(None for _ in files),
                              history, args.stop_when, held, args.stop_after)
                sys.stdout.write("\x1b[H\x1b[2J" + "\n".join(view) + "\n")
                sys.stdout.flush()
            if all(f.complete for f in followers):
                ctx.print("every file is complete")
                return 0
            if args.once:
                return 0
            time.sleep(args.every)
    finally:
        if sink is not None:
            sink.close()

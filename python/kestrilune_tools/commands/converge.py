"""``kestrilune converge``: did the runs converge, and how many independent trees are there?

    kestrilune converge analysis --burnin 25% --diagn-every 10000 --json diag.json
    kestrilune converge run1.t run2.t --tstat splits.tsv --plot-dir figs/

Each file is one run; a MrBayes base name (``analysis``) stands for its ``.run*.t`` files.
Prints a verdict table (per run: trees and ESS measures; across runs: ASDSF under each rule
and the largest PSRF, beside the usual guide values) and writes the tables and pictures
asked for. The statistics are those of :func:`kestrilune_tools.analyses.converge.diagnose`.
"""

from __future__ import annotations

import argparse
import math
import os
from typing import TYPE_CHECKING, List, Optional, Sequence, Tuple, Union

from ..table.metrics import METRICS
from ..console.cli import (DEFAULT_BURNIN, add_rooting_arguments, add_taxa_arguments,
                           CommandError, Context, UsageError)

if TYPE_CHECKING:
    from ..analyses.converge import ConvergenceReport
    from ..analyses.converge.ess import ApproxESS
    from ..analyses.converge.splitfreq import ASDSF

_TABLE_SUFFIXES = (".tsv", ".txt")
_JSON_SUFFIXES = (".json",)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("files", nargs="+", metavar="RUN",
                   help="one tree file per run (NEXUS, Newick or RevBayes tab-separated, "
                        "plain or gzip-compressed), or the base name of a MrBayes or "
                        "RevBayes analysis for its runs (.run*.t, _run_*.trees)")
    p.add_argument("--burnin", default=DEFAULT_BURNIN, metavar="B",
                   help="trees to drop from the start of each run: a count (250), a "
                        "fraction (0.25) or a percentage (25%%); default 25%%, as MrBayes")
    p.add_argument("--min-freq", type=float, default=0.10, metavar="F",
                   help="splits below this frequency in every run are left out of the "
                        "ASDSF and of the split table (default 0.10, as MrBayes)")
    add_rooting_arguments(p)
    add_taxa_arguments(p)
    p.add_argument("--metric", choices=METRICS, default="rf",
                   help="tree distance of the ESS measures (default rf)")
    p.add_argument("--diagn-every", type=int, default=None, metavar="N",
                   help="also trace the ASDSF every N generations (samples when the tree "
                        "names carry no generation), as MrBayes' .mcmc file")
    p.add_argument("--window", type=int, default=20, metavar="N",
                   help="trees per window of the sliding and cumulative split frequencies "
                        "(default 20)")
    p.add_argument("--no-ess", action="store_true",
                   help="skip the distance-based ESS measures (they cost O(n^2) per run)")
    p.add_argument("--tstat", metavar="TSV", help="write the split table (like .tstat)")
    p.add_argument("--json", metavar="JSON",
                   help="write every statistic at full precision with its settings")
    p.add_argument("--plot-dir", metavar="DIR",
                   help="draw the pictures into DIR: treespace.png (PCoA, one colour per "
                        "run), split_scatter.png, acsf.png and asdsf_trace.png")


def _fmt(x: Optional[float], digits: int = 1) -> str:
    return "-" if x is None or (isinstance(x, float) and math.isnan(x)) else f"{x:.{digits}f}"


def _verdict_lines(rep: ConvergenceReport) -> List[str]:
    from ..analyses.converge import THRESHOLDS

    lines = []
    a: Union[ApproxESS, ASDSF, None]  # a run's approximate ESS, then each rule's ASDSF
    head = f"{'run':<24} {'trees':>7} {'approx ESS':>13} {'pseudo-ESS min/median':>22} " \
           f"{'Frechet ESS':>11} {'split ESS min':>13}"
    lines.append(head)
    for r in rep.runs:
        a = r.approx
        approx = "-" if a is None else f"{a.operator if a.operator == '<' else ''}" \
                                       f"{a.ess:.1f} (m={a.cutoff})"
        pseudo = "-" if r.pseudo is None else f"{r.pseudo.minimum:.1f} / {r.pseudo.median:.1f}"
        frechet = "-" if r.frechet is None else f"{r.frechet.ess:.1f}"
        lines.append(f"{r.label[:24]:<24} {r.n_used:>7} {approx:>13} {pseudo:>22} "
                     f"{frechet:>11} {_fmt(r.min_split_ess):>13}")
    if rep.asdsf:
        lines.append("")
        lines.append("across runs (ASDSF / MSDSF over the splits each rule keeps):")
        for rule, a in rep.asdsf.items():
            lines.append(f"  {rule:<15} {_fmt(a.asdsf, 6)} / {_fmt(a.msdsf, 6)}  "
                         f"({a.n_splits} splits; {a.description})")
        bl = rep.branch_lengths
        # The branch-length statistics are made with the ASDSF (two runs or more).
        lines.append(f"  branch-length PSRF (as MrBayes .vstat): max {_fmt(bl.max_psrf, 3)}, "  # type: ignore[union-attr]
                     f"mean {_fmt(bl.mean_psrf, 3)}; Gelman-Rubin form: max "  # type: ignore[union-attr]
                     f"{_fmt(rep.branch_lengths_gr.max_psrf, 3)}")  # type: ignore[union-attr]
    lines.append("")
    lines.append("guide values from the literature (not a verdict): " +
                 "; ".join(text for _, text in THRESHOLDS.values()))
    for note in rep.notes:
        lines.append(f"note: {note}")
    return lines


def run(args: argparse.Namespace, ctx: Context) -> int:
    from ..analyses.converge import diagnose
    from ..reading.runs import expand_runs

    tstat = ctx.output(args.tstat, _TABLE_SUFFIXES, "--tstat")
    json_path = ctx.output(args.json, _JSON_SUFFIXES, "--json")
    if args.plot_dir:
        from ..pictures.plots import require_matplotlib

        try:
            require_matplotlib()
        except ImportError as exc:
            raise CommandError(str(exc)) from None
        # Made when the first picture is drawn: a run that fails or is stopped before
        # leaves no empty folder.
        _check_plot_dir(args.plot_dir)
    from ..reading import parse_burnin

    try:
        parse_burnin(args.burnin)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    if not 0 <= args.min_freq <= 1:
        raise UsageError(f"--min-freq must lie between 0 and 1, got {args.min_freq}")
    if args.diagn_every is not None and args.diagn_every < 1:
        raise UsageError(f"--diagn-every must be at least 1, got {args.diagn_every}")
    if args.window < 1:
        raise UsageError(f"--window must be at least 1, got {args.window}")
    try:
        files = expand_runs(args.files)
    except FileNotFoundError as exc:
        raise CommandError(str(exc)) from None
    rooting = ctx.resolve_rooting(files)
    # Every tree of every run (the burn-in is the diagnostics' own), read once. Trees with
    # non-finite lengths are counted per run below, after the burn-in.
    ts, split_table = ctx.read_table(files, rooted=args.rooted, lengths=True,
                                     warn_nonfinite=False)
    try:
        with ctx.native_call():
            rep = diagnose(ts, burnin=args.burnin, min_freq=args.min_freq,
                           rooted=args.rooted, metric=args.metric,
                           diagn_every=args.diagn_every, window=args.window,
                           ess=not args.no_ess, phase=ctx.phase, split_table=split_table)
    except ValueError as exc:
        raise CommandError(str(exc)) from None
    bad = [(r.label, r.n_nonfinite) for r in rep.runs if r.n_nonfinite]
    if bad:
        total = sum(k for _, k in bad)
        left_out = f"left out of the {args.metric.upper()} ESS measures, and " \
            if args.metric != "rf" and not args.no_ess else ""
        ctx.warn(f"{total} tree{'s' if total > 1 else ''} after the burn-in with NaN or "
                 f"infinite branch lengths ({', '.join(f'{lab}: {k}' for lab, k in bad)}): "
                 f"{left_out}their non-finite lengths left out of the branch-length PSRF")
    if rooting != "rooted" and args.rooted:  # chosen from the files' marks: say so
        ctx.print(f"trees compared as {rooting}")
    for line in _verdict_lines(rep):
        ctx.print(line)
    if tstat:
        ctx.write(tstat, f"{len(rep.table.split_ids)} splits", rep.table.to_tsv)
    if json_path:
        ctx.write(json_path, "every statistic", rep.write_json)
    if args.plot_dir:
        _pictures(rep, args, ctx)
    ctx.print(ctx.timing_line())
    return 0


def _check_plot_dir(path: str) -> None:
    """A folder there, or one that can be made: its nearest existing parent is a writable
    folder."""
    if os.path.exists(path):
        if not os.path.isdir(path):
            raise CommandError(f"--plot-dir {path}: it is a file, not a folder")
        return
    parent = os.path.dirname(os.path.abspath(path))
    while not os.path.exists(parent):
        parent = os.path.dirname(parent)
    if not os.path.isdir(parent) or not os.access(parent, os.W_OK | os.X_OK):
        raise CommandError(f"--plot-dir {path}: cannot make a folder in {parent}")


def _pictures(rep: ConvergenceReport, args: argparse.Namespace, ctx: Context) -> None:
    from ..pictures import plots as base_plots
    from ..pictures import converge as plots

    try:
        os.makedirs(args.plot_dir, exist_ok=True)
    except OSError as exc:
        raise CommandError(f"cannot make {args.plot_dir}: {exc.strerror or exc}") from None

    def out(name: str) -> str:
        return os.path.join(args.plot_dir, name)

    skipped: List[str] = []
    if len(rep.runs) < 2:
        skipped.append("split_scatter.png (it compares runs: give two or more)")
    elif not len(rep.table.split_ids):
        skipped.append(f"split_scatter.png (no split reaches --min-freq {args.min_freq})")
    else:
        ctx.write(out("split_scatter.png"), "split frequencies run against run",
                  lambda p: plots.split_scatter(rep.table, p), verb="drawing")
    windows = [r.windows for r in rep.runs if r.windows is not None]
    if windows:
        ctx.write(out("acsf.png"), "change in split frequencies",
                  lambda p: plots.acsf(windows, p), verb="drawing")
    else:
        skipped.append(f"acsf.png (too few trees after the burn-in for windows of "
                       f"{args.window} trees)")
    if rep.trace is not None and len(rep.trace.generation):
        ctx.write(out("asdsf_trace.png"), "ASDSF trace",
                  lambda p: plots.asdsf_trace(rep.trace, p), verb="drawing")  # type: ignore[arg-type]  # checked above
    elif args.diagn_every is None:
        skipped.append("asdsf_trace.png (it needs --diagn-every)")
    elif len(rep.runs) < 2:
        skipped.append("asdsf_trace.png (it compares runs: give two or more)")
    if skipped:
        ctx.print(f"not drawn: {'; '.join(skipped)}")
    idx, groups, samples = _treespace_sample(rep)
    with ctx.phase("distances for the map"):
        # From the split table the statistics came from: the trees are not parsed again.
        # WRF and KF from a table of the map's trees alone, whose cells are the module's
        # for those trees (their last bits depend on the trees a call reads).
        table = rep.splits.table  # type: ignore[union-attr]  # diagnose keeps the splits
        if args.metric == "rf":
            dist = table.block("rf", idx, idx, dtype="uint32")
        else:
            dist = table.take(idx).block(args.metric)
    shown = f"{len(idx)} of {sum(r.n_used for r in rep.runs)} trees after the burn-in"
    by_run = " by run" if len(rep.runs) > 1 else ""
    ctx.write(out("treespace.png"), f"tree space{by_run}, {shown}",
              lambda p: base_plots.treespace(dist, p, groups=groups,
                                             group_labels=[r.label for r in rep.runs],
                                             sample_indices=samples,
                                             metric=args.metric.upper(),
                                             title=f"Tree space{by_run} ({shown})"),
              verb="drawing")


_MAP_TREES = 2000  # trees on the tree-space map: evenly spaced within each run


def _treespace_sample(rep: ConvergenceReport) -> Tuple[List[int], List[int], List[int]]:
    per_run = max(1, _MAP_TREES // len(rep.runs))
    idx: List[int] = []
    groups: List[int] = []
    samples: List[int] = []
    start = 0
    for g, r in enumerate(rep.runs):
        first = start + r.burnin
        picks = sorted(set(int(round(x)) for x in
                           _spaced(first, start + r.n_trees - 1, min(per_run, r.n_used))))
        idx.extend(picks)
        groups.extend([g] * len(picks))
        samples.extend(p - start for p in picks)
        start += r.n_trees
    return idx, groups, samples


def _spaced(lo: int, hi: int, count: int) -> Sequence[float]:
    if count <= 1:
        return [lo]
    step = (hi - lo) / (count - 1)
    return [lo + i * step for i in range(count)]

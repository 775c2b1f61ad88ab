"""``kestrilune converge``: did the runs converge, and how many independent trees are there?

    kestrilune converge analysis --burnin 25% --diagn-every 10000 --json diag.json
    kestrilune converge run1.t run2.t --tstat splits.tsv --plot-dir figs/
    kestrilune converge a.trees b.trees --params a.log b.log

Each file is one run; a MrBayes base name (``analysis``) stands for its ``.run*.t`` files.
Prints a verdict table (per run: trees and ESS measures; across runs: ASDSF under each rule
and the largest PSRF, beside the usual guide values) and writes the tables and pictures
asked for. The statistics are those of :func:`kestrilune_tools.analyses.converge.diagnose`.

``kestrilune report`` runs the same analysis and writes it as one HTML page
(``-o report.html``); ``converge --report report.html`` writes that page beside the rest.

Each run's parameter log (``--params``, or the one its program wrote beside the tree file:
``X.runN.p``, ``X.log``, ...) adds a table of every logged parameter: mean, 95% HPD, ESS
and PSRF (:func:`kestrilune_tools.analyses.params.parameter_diagnostics`), with the same
burn-in as the trees.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import textwrap
import warnings
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple, Union

from ..table.metrics import METRICS
from ..console.cli import (DEFAULT_BURNIN, add_rooting_arguments, add_taxa_arguments,
                           ess_text as _ess,
                           CommandError, Context, UsageError)

if TYPE_CHECKING:
    from ..analyses.converge import ConvergenceReport
    from ..analyses.converge.ess import ApproxESS
    from ..analyses.converge.splitfreq import ASDSF
    from ..analyses.params import ParameterReport
    from ..reading import ParameterLog, TreeSet

_TABLE_SUFFIXES = (".tsv", ".txt")
_JSON_SUFFIXES = (".json",)
_HTML_SUFFIXES = (".html", ".htm")


def add_arguments(p: argparse.ArgumentParser) -> None:
    page_only = p.prog.endswith(" report")  # kestrilune report: the page, nothing else
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
    if page_only:
        p.set_defaults(no_ess=False, tstat=None, json=None, plot_dir=None)
    else:
        p.add_argument("--no-ess", action="store_true",
                       help="skip the distance-based ESS measures (they cost O(n^2) per "
                            "run)")
    from ..console.scale import SCHEDULER_HELP

    p.add_argument("--scheduler", metavar="WHERE",
                   help="compute the distances of the ESS measures on a Dask cluster: "
                        + SCHEDULER_HELP)
    g = p.add_mutually_exclusive_group()
    g.add_argument("--params", nargs="+", metavar="LOG",
                   help="the parameter log of each run, in the order of the runs (MrBayes "
                        ".p, BEAST or RevBayes .log, PhyloBayes .trace, ExaBayes "
                        "parameters); default: the one beside each tree file (X.runN.p for "
                        "X.runN.t, X.log for X.trees, X.trace for X.treelist)")
    g.add_argument("--no-params", action="store_true",
                   help="leave the parameter logs out, even those beside the tree files")
    if page_only:
        p.add_argument("-o", "--output", required=True, metavar="HTML", dest="report",
                       help="write the page here: one HTML file that opens offline")
        return
    p.add_argument("--tstat", metavar="TSV", help="write the split table (like .tstat)")
    p.add_argument("--json", metavar="JSON",
                   help="write every statistic at full precision with its settings")
    p.add_argument("--plot-dir", metavar="DIR",
                   help="draw the pictures into DIR: treespace.png (PCoA, one colour per "
                        "run), split_scatter.png, acsf.png and asdsf_trace.png")
    p.add_argument("--report", metavar="HTML",
                   help="also write the whole analysis as one HTML page (as kestrilune "
                        "report)")


def _fmt(x: Optional[float], digits: int = 1) -> str:
    return "-" if x is None or (isinstance(x, float) and math.isnan(x)) else f"{x:.{digits}f}"


def _wrapped(text: str, indent: str = "  ") -> List[str]:
    return textwrap.wrap(text, 80, subsequent_indent=indent, break_on_hyphens=False)


def _verdict_lines(rep: ConvergenceReport) -> List[str]:
    from ..analyses.converge import THRESHOLDS

    lines = [f"{'run':<20} {'trees':>6} {'approx ESS':>14} {'pseudo-ESS':>17} "
             f"{'Frechet':>8} {'split ESS':>9}",
             f"{'':<20} {'':>6} {'(lag m)':>14} {'min / median':>17} {'ESS':>8} {'min':>9}"]
    a: Union[ApproxESS, ASDSF, None]  # a run's approximate ESS, then each rule's ASDSF
    flagged = False
    for r in rep.runs:
        a = r.approx
        approx = "-" if a is None else \
            f"{_ess(a.ess, '<' if a.operator == '<' else '')} ({a.cutoff})"
        pseudo = "-" if r.pseudo is None else \
            f"{_ess(r.pseudo.minimum)} / {_ess(r.pseudo.median)}"
        frechet = "-" if r.frechet is None else _ess(r.frechet.ess)
        cells = f"{approx:>14} {pseudo:>17} {frechet:>8} {_ess(r.min_split_ess):>9}"
        flagged = flagged or "*" in cells
        label = r.label if len(r.label) <= 20 else "..." + r.label[-17:]
        lines.append(f"{label:<20} {r.n_used:>6} {cells}")
    lines += _wrapped("approx ESS: RWTY's approximate topological ESS, its fit made at lag "
                      "m; pseudo-ESS: over each tree as the reference (Lanfear et al. "
                      "2016); Frechet ESS (Magee et al.); split ESS: the lowest over the "
                      "splits of the table." +
                      (" * below 625, ** below 200 (guides below)." if flagged else ""))
    if rep.asdsf:
        lines.append("")
        lines.append("across runs (ASDSF / MSDSF over the splits each rule keeps):")
        for rule, a in rep.asdsf.items():
            lines += _wrapped(f"  {rule:<15} {_fmt(a.asdsf, 6)} / {_fmt(a.msdsf, 6)}  "
                              f"({a.n_splits} splits; {a.description})", " " * 18)
        bl = rep.branch_lengths
        # The branch-length statistics are made with the ASDSF (two runs or more).
        lines += _wrapped(f"  branch-length PSRF (as MrBayes .vstat): max "
                          f"{_fmt(bl.max_psrf, 3)}, mean {_fmt(bl.mean_psrf, 3)}; "  # type: ignore[union-attr]
                          f"Gelman-Rubin form: max "
                          f"{_fmt(rep.branch_lengths_gr.max_psrf, 3)}", " " * 4)  # type: ignore[union-attr]
    lines.append("")
    lines += _wrapped("guide values from the literature (not a verdict): " +
                      "; ".join(text for _, text in THRESHOLDS.values()))
    for note in rep.notes:
        lines += _wrapped(f"note: {note}")
    return lines


def run(args: argparse.Namespace, ctx: Context) -> int:
    from ..analyses.converge import diagnose
    from ..console.runs import check_generations, param_files, parameters, write_page
    from ..console.scale import cluster
    from ..reading.runs import expand_runs

    tstat = ctx.output(args.tstat, _TABLE_SUFFIXES, "--tstat")
    json_path = ctx.output(args.json, _JSON_SUFFIXES, "--json")
    page_path = ctx.output(args.report, _HTML_SUFFIXES,
                           "--output" if args.command == "report" else "--report")
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
    if args.scheduler and args.no_ess:
        raise UsageError("--scheduler computes the distances of the ESS measures, which "
                         "--no-ess leaves out")
    try:
        files = expand_runs(args.files)
    except FileNotFoundError as exc:
        raise CommandError(str(exc)) from None
    param_paths, pairing = param_files(args, files, ctx)
    rooting = ctx.resolve_rooting(files)
    # Every tree of every run (the burn-in is the diagnostics' own), read once. Trees with
    # non-finite lengths are counted per run below, after the burn-in.
    ts, split_table = ctx.read_table(files, rooted=args.rooted, lengths=True,
                                     warn_nonfinite=False)
    try:
        with cluster(ctx, args.scheduler, None) as client, ctx.native_call():
            rep = diagnose(ts, burnin=args.burnin, min_freq=args.min_freq,
                           rooted=args.rooted, metric=args.metric,
                           diagn_every=args.diagn_every, window=args.window,
                           ess=not args.no_ess, phase=ctx.phase, split_table=split_table,
                           client=client)
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
    prep = logs = None
    if param_paths:
        logs, prep = parameters(param_paths, rep, args, ctx)
        check_generations(logs, ts, ctx)
        ctx.print("")
        ctx.print(pairing)
        for line in _parameter_lines(prep):
            ctx.print(line)
    elif pairing:
        ctx.print(pairing)
    if tstat:
        ctx.write(tstat, f"{len(rep.table.split_ids)} splits", rep.table.to_tsv)
    if json_path:
        ctx.write(json_path, "every statistic",
                  lambda path: _write_json(rep, prep, pairing, path))
    if args.plot_dir:
        _pictures(rep, args, ctx)
        if logs is not None and prep is not None:
            _parameter_pictures(logs, prep, rep, args, ctx)
    if page_path:
        write_page(page_path, rep, ts, prep, logs, files + param_paths, ctx)
    ctx.print(ctx.timing_line())
    return 0


_MARKS = (("ess_200", "**"), ("ess_625", "*"))


def _g(x: float, width: int) -> str:
    return f"{'-':>{width}}" if math.isnan(x) else f"{x:>{width}.5g}"


def _parameter_lines(prep: ParameterReport) -> List[str]:
    """The parameter table, within 80 columns: mean and 95% HPD of the pooled runs and PSRF
    as MrBayes' sump gives them, the smallest ESS of a run (Tracer's), and the
    Gelman-Rubin PSRF; worst values marked."""
    lines = [f"{'parameter':<16} {'mean':>10} {'95% HPD':>10} {'(upper)':>10} "
             f"{'min ESS':>8}    {'PSRF':>7} {'PSRF GR':>7}"]
    worst_ess: Tuple[float, str] = (math.inf, "")
    worst_psrf: Tuple[float, str] = (-math.inf, "")
    for d in prep.parameters.values():
        s = d.sump
        mark = next((m for k, m in _MARKS if k in d.flags), "")
        plus = "+" if "psrf_1.01" in d.flags else ""
        # a long name keeps its end, where BEAST numbers its columns (rateCategories.10)
        name = d.name if len(d.name) <= 16 else d.name[:6] + "~" + d.name[-9:]
        lines.append(f"{name:<16} {_g(s.mean, 10)} {_g(s.lower, 10)} "
                     f"{_g(s.upper, 10)} {_fmt(d.min_ess):>8} {mark:<2} "
                     f"{_fmt(s.psrf, 3):>7} {_fmt(d.psrf_gelman_rubin, 3):>7}{plus}")
        if not math.isnan(d.min_ess) and d.min_ess < worst_ess[0]:
            worst_ess = (d.min_ess, d.name)
        psrf = max((p for p in (s.psrf, d.psrf_gelman_rubin) if not math.isnan(p)),
                   default=math.nan)
        if not math.isnan(psrf) and psrf > worst_psrf[0]:
            worst_psrf = (psrf, d.name)
    used = ", ".join(f"{n - b}" for n, b in zip(prep.rows, prep.burnin))
    worst = []
    if worst_ess[1]:
        worst.append(f"smallest ESS {worst_ess[0]:.1f} ({worst_ess[1]})")
    if worst_psrf[1]:
        worst.append(f"largest PSRF {worst_psrf[0]:.3f} ({worst_psrf[1]})")
    lines.append(f"samples after the burn-in: {used} per run")
    lines.extend(_suggestion_lines(prep))
    if worst:
        lines.append("worst: " + "; ".join(worst))
    lines.append("mean, 95% HPD, PSRF: as MrBayes sump (runs pooled); PSRF GR: Gelman-Rubin")
    lines.append("with each run's own variance; min ESS: Tracer's, in the poorest run;")
    lines.append("** ESS < 200, * ESS < 625 (Fabreti & Hoehna 2022), + PSRF > 1.01")
    for note in prep.notes:
        lines.append(f"note: {note}")
    return lines


def _suggestion_lines(prep: ParameterReport) -> List[str]:
    """The burn-in the Heidelberger-Welch test suggests for each run, wrapped at 80."""
    import textwrap

    from ..analyses.stationarity import MIN_SAMPLES

    parts = []
    for r, s in enumerate(prep.suggested):
        if s.samples is None:
            if prep.rows[r] < MIN_SAMPLES:
                what = f"none, fewer than {MIN_SAMPLES} samples to test"
            elif s.failed:
                what = ("none, not stationary: " + ", ".join(s.failed[:4]) +
                        (f" and {len(s.failed) - 4} more" if len(s.failed) > 4 else ""))
            else:
                what = "none, no column varies"
        else:
            what = f"{s.samples} samples ({prep.step_name} {s.generation}, set by {s.column})"
        parts.append(f"run {r + 1} {what}")
    if not parts:
        return []
    text = ("suggested burn-in (Heidelberger-Welch test as coda::heidel.diag, largest over "
            "the columns): " + "; ".join(parts))
    return textwrap.wrap(text, 79, subsequent_indent="  ", break_on_hyphens=False)


def _parameter_pictures(logs: Sequence[ParameterLog], prep: ParameterReport,
                        rep: ConvergenceReport, args: argparse.Namespace, ctx: Context) -> None:
    from ..analyses.params import PARAMETER_GUIDES
    from ..console.outputs import atomic_path
    from ..pictures.params import parameter_picture, picture_names

    names = list(prep.parameters)
    files = picture_names(names)
    labels = [r.label for r in rep.runs]
    with ctx.phase("drawing parameters", total=len(names), unit="pictures") as ph:
        for j, (name, file) in enumerate(zip(names, files)):
            flags = prep.parameters[name].flags
            note = "; ".join(PARAMETER_GUIDES[f][1] for f in flags
                             if not (f == "ess_625" and "ess_200" in flags))
            path = os.path.join(args.plot_dir, file)
            try:
                with atomic_path(path) as tmp:
                    parameter_picture(logs, j, prep.burnin, tmp, labels=labels, note=note,
                                      suggested=[s.samples for s in prep.suggested])
            except OSError as exc:
                raise CommandError(f"cannot write {path}: {exc.strerror or exc}") from None
            ph.update(j + 1)
    ctx.print(f"drew {len(files)} parameter pictures (trace and density, burn-in shaded) "
              f"in {args.plot_dir}: {files[0]}{', ...' if len(files) > 1 else ''}")


def _write_json(rep: ConvergenceReport, prep: Optional[ParameterReport], pairing: str,
                path: str) -> None:
    out: Dict[str, Any] = rep.to_dict()
    if prep is not None:
        out["parameters"] = dict(prep.to_dict(), pairing=pairing)
    else:
        out["parameters"] = None
    with open(path, "w", encoding="utf-8") as f:
        json.dump(out, f, indent=1, allow_nan=False)
        f.write("\n")


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

"""What the commands that diagnose runs share: the parameter log of each run (found beside
its tree file or given), their statistics, and the HTML page of the whole analysis."""

from __future__ import annotations

import argparse
import os
import warnings
from typing import TYPE_CHECKING, List, Optional, Sequence, Tuple

from .cli import CommandError, Context, UsageError, version

if TYPE_CHECKING:
    from ..analyses.converge import ConvergenceReport
    from ..analyses.params import ParameterReport
    from ..reading import ParameterLog, TreeSet

__all__ = ["param_files", "pairing_text", "parameters", "check_generations", "write_page"]


def param_files(args: argparse.Namespace, files: Sequence[str], ctx: Context
                ) -> Tuple[List[str], str]:
    """The parameter log of each run, and the line that says how they were paired (empty
    when there are none and none were asked for)."""
    from ..reading import param_file_for

    if args.no_params:
        return [], ""
    if args.params:
        if len(args.params) != len(files):
            raise UsageError(f"--params gives {len(args.params)} file"
                             f"{'s' if len(args.params) != 1 else ''} for {len(files)} "
                             f"run{'s' if len(files) != 1 else ''} "
                             f"({', '.join(files)}): give one per run, in the same order")
        pairs = list(zip(files, args.params))
        return list(args.params), pairing_text("given by --params, in run order", pairs)
    found = [param_file_for(f) for f in files]
    if not any(found):
        return [], ""
    missing = [f for f, p in zip(files, found) if p is None]
    if missing:
        ctx.warn(f"no parameter log beside {', '.join(missing)} (looked for X.runN.p, X.log, "
                 "X.trace): parameters left out for every run; give --params")
        return [], ""
    return [p for p in found if p is not None], pairing_text(
        "found beside the tree files", [(t, p or "") for t, p in zip(files, found)])


def pairing_text(how: str, pairs: Sequence[Tuple[str, str]]) -> str:
    def shown(tree: str, log: str) -> str:  # a log beside its tree file: its name only
        same = os.path.dirname(os.path.abspath(tree)) == os.path.dirname(os.path.abspath(log))
        return os.path.basename(log) if same else log

    return "\n".join([f"parameter logs ({how}):"] +
                      [f"  {os.path.basename(t)} <- {shown(t, p)}" for t, p in pairs])


def parameters(paths: Sequence[str], rep: ConvergenceReport, args: argparse.Namespace,
               ctx: Context) -> Tuple[List[ParameterLog], ParameterReport]:
    from ..analyses.params import parameter_diagnostics
    from ..reading import ParameterFileError, ParameterFileWarning, read_param_runs

    try:
        with ctx.phase("reading parameters"), warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", ParameterFileWarning)
            logs = read_param_runs(paths)
    except ParameterFileError as exc:
        raise CommandError(str(exc)) from None
    for w in caught:
        ctx.warn(str(w.message))
    for log, run in zip(logs, rep.runs):
        if log.n_rows < run.n_trees:
            raise CommandError(f"{log.path}: {log.n_rows} samples, fewer than the "
                               f"{run.n_trees} trees of {run.path}: each tree needs its "
                               f"parameter sample (is the run still writing?)")
    try:
        with ctx.phase("parameter statistics"):
            prep = parameter_diagnostics(logs, burnin=args.burnin)
    except ValueError as exc:
        raise CommandError(str(exc)) from None
    for log, run, b in zip(logs, rep.runs, prep.burnin):
        if log.n_rows != run.n_trees:
            prep.notes.append(f"{os.path.basename(log.path)}: {log.n_rows} samples for "
                              f"{run.n_trees} trees; --burnin {args.burnin} drops {b} of "
                              f"its samples and {run.burnin} of the trees")
    return logs, prep


def check_generations(logs: Sequence[ParameterLog], ts: TreeSet, ctx: Context) -> None:
    """Warn when a run's trees carry generations (gen.N, STATE_N) that its parameter log
    does not list: the files may not belong together."""
    import numpy as np

    gens = ts.generations()
    if gens is None:
        return
    at = np.asarray(gens)
    runs = np.asarray(ts.file_indices)
    for r, log in enumerate(logs):
        tree_gens = at[runs == r]
        missing = ~np.isin(tree_gens, log.steps)
        if missing.any():
            i = int(np.argmax(missing))
            ctx.warn(f"{log.path}: no sample at generation {int(tree_gens[i])}, where tree "
                     f"{i + 1} of {ts.files[r].path} is ({int(missing.sum())} such trees): "
                     "are these the files of one run?")


def write_page(path: str, rep: ConvergenceReport, ts: TreeSet,
               prep: Optional[ParameterReport], logs: Optional[List[ParameterLog]],
               inputs: Sequence[str], ctx: Context) -> None:
    import platform
    import shlex

    import numpy as np

    from ..pictures.report import file_record, report_page

    with ctx.phase("checksums of the inputs"):
        records = [file_record(f) for f in inputs]
    versions = {"kestrilune": version(), "python": platform.python_version(),
                "numpy": np.__version__, "platform": platform.platform()}
    text = report_page(rep, treeset=ts, params=prep, logs=logs, files=records,
                       command=shlex.join(["kestrilune"] + ctx.argv),
                       versions=versions, phase=ctx.phase)

    def write(tmp: str) -> None:
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(text)

    ctx.write(path, f"the whole analysis, {len(text.encode()) / 1e6:.1f} MB", write)

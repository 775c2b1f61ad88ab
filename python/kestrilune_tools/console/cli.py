"""The ``kestrilune`` command: distance matrices, summaries and pictures from tree files.

    kestrilune rf run1.t run2.t --burnin 25% -o rf.npz --plot treespace.png --trace trace.png
    kestrilune kf run1.t --thin 10 -o kf.csv

Every command is a module listed in :data:`COMMANDS` that defines two functions:

* ``add_arguments(parser)``: its options (most call :func:`add_input_arguments` for the
  tree files and their selection);
* ``run(args, ctx) -> int``: the work, with a :class:`Context` that shows progress, reads
  the input, warns, checks and writes outputs, and times every phase.

A command reports a failure by raising :class:`CommandError` (one line on stderr, exit 1)
or :class:`UsageError` (exit 2). Exit codes: 0 success, 1 error, 2 bad command line,
130 interrupted (Ctrl-C), 143 terminated (SIGTERM, cleaned up as Ctrl-C is). Nothing is
written to an output path until its content is complete.
"""

from __future__ import annotations

import argparse
import importlib
import math
import os
import signal
import sys
import threading
import time
import warnings
from contextlib import contextmanager
from dataclasses import dataclass
from typing import (
    TYPE_CHECKING, Any, Callable, ContextManager, Dict, Iterator, List, NoReturn, Optional,
    Sequence, Tuple,
)

from .outputs import OutputNameError, OutputPathError, OutputPaths, atomic_path
from .progress import Phase, Progress, format_seconds

if TYPE_CHECKING:
    from ..reading import TreeSet
    from ..table.engine import SplitTable

__all__ = ["COMMANDS", "Command", "CommandError", "UsageError", "Context", "main",
           "build_parser", "add_input_arguments", "add_taxa_arguments", "memory_advice"]


@dataclass(frozen=True)
class Command:
    name: str
    module: str  # defines add_arguments(parser) and run(args, ctx)
    summary: str


COMMANDS: List[Command] = [
    Command("rf", "kestrilune_tools.commands.distance", "Robinson-Foulds distance matrix"),
    Command("wrf", "kestrilune_tools.commands.distance",
            "weighted Robinson-Foulds distance matrix"),
    Command("kf", "kestrilune_tools.commands.distance",
            "Kuhner-Felsenstein branch-score distance matrix"),
    Command("converge", "kestrilune_tools.commands.converge",
            "convergence diagnostics of MCMC runs: split frequencies, ASDSF, PSRF, "
            "topological ESS"),
    Command("summarize", "kestrilune_tools.commands.summarize",
            "summary trees: consensus, topology probabilities, MCC and CCD trees"),
    Command("report", "kestrilune_tools.commands.converge",
            "the whole analysis of MCMC runs as one HTML page that opens offline: "
            "verdict, traces, split frequencies, summary trees, tree-space map"),
    Command("watch", "kestrilune_tools.commands.watch",
            "follow runs while they are written: MrBayes' run-time ASDSF at every "
            "diagnostic generation"),
]


class CommandError(Exception):
    """A failure reported as one line on stderr, exit status 1; the message is the line."""


class UsageError(Exception):
    """A bad command line, reported as one line on stderr, exit status 2."""


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised in the main thread as Ctrl-C is: the same clean-up (temporary files
    removed, a Zarr store left resumable), then exit status 143."""


def ess_text(x: Optional[float], prefix: str = "") -> str:
    """An ESS with its flag: ``**`` below 200, ``*`` below 625 (the legend of converge and
    watch)."""
    from ..analyses.converge import THRESHOLDS

    if x is None or math.isnan(x):
        return "-"
    flag = "**" if x < THRESHOLDS["ess"][0] else "*" if x < THRESHOLDS["ess_625"][0] else ""
    return f"{prefix}{x:.1f}{flag}"


def _on_sigterm(signum: int, frame: object) -> None:
    raise Terminated()


def _deferring_hook(previous: Callable[[Any], Any], dropped: List[type]) -> Callable[[Any], None]:
    """A ``sys.unraisablehook`` for the command's run. Python runs a signal's handler
    wherever the main thread is, also inside a weakref callback or a ``__del__``, where the
    exception is printed ("Exception ignored in ...") and dropped: a SIGTERM or Ctrl-C that
    landed there went unanswered, and the command ended as if it had not come. Such a
    Terminated or KeyboardInterrupt is not printed but kept in ``dropped``, and the command
    then ends with the status of that signal (its outputs are complete by then). Anything
    else goes to ``previous``."""

    def hook(unraisable: Any) -> None:
        for kind in (Terminated, KeyboardInterrupt):
            if isinstance(unraisable.exc_value, kind):
                dropped.append(kind)
                return
        previous(unraisable)

    return hook


class _ArgumentParser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line instead of argparse's usage block
        raise UsageError(f"{message} (see {self.prog} --help)")


def version() -> str:
    from .. import __version__

    return __version__


class _VersionAction(argparse.Action):
    """``--version``, its text made when asked for: the version lookup (importlib.metadata)
    would otherwise add 2.8 MiB to every command's memory."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS,
                 default: str = argparse.SUPPRESS, help: Optional[str] = None) -> None:
        super().__init__(option_strings, dest, nargs=0, default=default, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: Optional[str] = None) -> None:
        from ..table.engine import instruction_set

        sys.stdout.write(f"kestrilune {version()} (instruction set: {instruction_set()})\n")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    p = _ArgumentParser(
        prog="kestrilune",
        description="All-against-all tree distances (Robinson-Foulds, weighted RF, "
                    "Kuhner-Felsenstein branch score) and the analyses built on them, for "
                    "posterior tree samples in NEXUS or Newick files, plain or gzip-compressed.",
        epilog="Run 'kestrilune COMMAND --help' for the options of a command.")
    p.add_argument("--version", action=_VersionAction,
                   help="show the version and the instruction set, and exit")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--threads", type=int, default=None, metavar="N",
                        help="worker threads (sets RAYON_NUM_THREADS; 0 = one per processor)")
    common.add_argument("--quiet", "-q", action="store_true",
                        help="no progress display on stderr (warnings and errors still show)")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", required=True,
                           parser_class=_ArgumentParser)
    for cmd in COMMANDS:
        module = importlib.import_module(cmd.module)
        parser = sub.add_parser(cmd.name, help=cmd.summary, description=cmd.summary[0].upper()
                                + cmd.summary[1:] + ".",
                                parents=[common])  # type: ignore[list-item]
        parser.set_defaults(_module=module)
        module.add_arguments(parser)
    return p


# The burn-in every command drops unless told otherwise: MrBayes' sumt and sump default.
DEFAULT_BURNIN = "25%"


def add_input_arguments(p: argparse.ArgumentParser) -> None:
    """The tree files and how trees are chosen from them; :meth:`Context.read_trees` reads
    what they say."""
    p.add_argument("files", nargs="+", metavar="FILE", help="tree files (NEXUS, Newick or "
                   "RevBayes tab-separated, plain or gzip-compressed), or the base name of "
                   "a MrBayes or RevBayes analysis for its runs; several files are separate "
                   "runs")
    p.add_argument("--burnin", default=DEFAULT_BURNIN, metavar="B",
                   help="trees to drop from the start of each file: a count (250), a "
                        "fraction (0.25) or a percentage (25%%); default 25%%, as MrBayes "
                        "(0 keeps every tree)")
    p.add_argument("--thin", type=int, default=1, metavar="N",
                   help="keep every N-th tree after the burn-in (default 1)")
    p.add_argument("--max-trees", type=int, default=None, metavar="N",
                   help="keep at most N trees per file (the first ones after burn-in and "
                        "thinning)")
    add_rooting_arguments(p)
    add_taxa_arguments(p)


def add_taxa_arguments(p: argparse.ArgumentParser) -> None:
    """--common-taxa: prune every tree to the taxa all trees share."""
    p.add_argument("--common-taxa", action="store_true",
                   help="prune every tree to the taxa all trees share (default: trees that "
                        "name different taxa are an error)")


def add_rooting_arguments(p: argparse.ArgumentParser) -> None:
    """--rooted / --unrooted; neither: as the files mark their trees
    (:meth:`Context.resolve_rooting`)."""
    g = p.add_mutually_exclusive_group()
    g.add_argument("--rooted", dest="rooted", action="store_true",
                   help="compare clades of rooted trees (default: as the files mark them: "
                        "rooted when every file marks its trees [&R], else unrooted "
                        "bipartitions)")
    g.add_argument("--unrooted", dest="rooted", action="store_false",
                   help="compare unrooted bipartitions, whatever the files mark")
    p.set_defaults(rooted=None)


# ----------------------------------------------------------------------------- context


class Context:
    """What a command's ``run`` works with: progress, input, warnings, outputs, timings."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.progress = Progress(enabled=not getattr(args, "quiet", False))
        self.outputs = OutputPaths()
        self.warnings: List[str] = []
        self.rooting = ""  # how the trees are compared, once resolve_rooting has said
        self.argv: List[str] = []  # the command line, as main() was given it

    def warn(self, text: str) -> None:
        """A warning on stderr (shown with --quiet too); it does not change the exit status."""
        self.warnings.append(text)
        self.progress.note(f"kestrilune: warning: {text}")

    def output(self, path: Optional[str], suffixes: Sequence[str], option: str) -> Optional[str]:
        """Check an output path now, before any work (see :class:`OutputPaths`)."""
        try:
            return self.outputs.add(path, suffixes, option)
        except OutputNameError as exc:
            raise UsageError(str(exc)) from None
        except OutputPathError as exc:
            raise CommandError(str(exc)) from None

    def phase(self, label: str, **kwargs: Any) -> ContextManager[Phase]:
        return self.progress.phase(label, **kwargs)

    def track(self, label: str, counter: Any, unit: str, total: Optional[int] = None,
              detail: Optional[str] = None) -> ContextManager[Phase]:
        """A phase that shows a long call's progress from its counter: a
        ``kestrilune.ProgressCounter`` (``value()`` of ``total``, or of the counter's own
        ``total()`` when not given) or anything whose ``poll()`` gives (done, total), such
        as a :class:`~kestrilune_tools.analyses.scale.TileProgress`. ``detail`` is what the
        display says while it runs (default: ``label``)."""
        shown = detail or label
        if hasattr(counter, "poll"):
            def poll() -> Tuple[str, Optional[int], Optional[int], str]:
                done, of = counter.poll()
                return shown, done, of, unit
        else:
            def poll() -> Tuple[str, Optional[int], Optional[int], str]:
                of = total if total is not None else (counter.total() or None)
                return shown, counter.value(), of, unit
        return self.phase(label, poll=poll)

    def resolve_rooting(self, files: Sequence[str]) -> str:
        """Settle ``args.rooted`` (None: not given) for ``files``: rooted when every file's
        first tree is marked ``[&R]``, else unrooted. Returns how it was chosen, for the
        summary: "rooted", "unrooted", or the same followed by why."""
        from ..reading import TreeFileError, read_heads

        if self.args.rooted is not None:
            self.rooting = "rooted" if self.args.rooted else "unrooted"
            return self.rooting
        try:
            heads = read_heads(files)
        except (TreeFileError, OSError):
            heads = []  # reading the trees says what is wrong
        self.args.rooted = bool(heads) and all(h.rooting == "R" for h in heads)
        self.rooting = ("rooted, as the files mark their trees [&R]" if self.args.rooted
                        else "unrooted")
        return self.rooting

    def read_trees(self, files: Sequence[str], burnin: str = "0", thin: int = 1,
                   max_trees: Optional[int] = None, rooted: bool = False,
                   lengths: bool = False) -> "TreeSet":
        """Read tree files as chosen by the options of :func:`add_input_arguments`,
        showing the scan, and warn about what may mislead: an unfinished last tree (left
        out), a file given twice, ``rooted`` (``--rooted``) on trees marked unrooted, and
        (``lengths=True``, for metrics that use branch lengths) NaN or infinite lengths."""
        from ..reading import read_trees

        def read(rule: Any, on_progress: Callable[[int], None]) -> "TreeSet":
            return read_trees(files, burnin=rule, thin=thin, max_trees=max_trees,
                              on_progress=on_progress,
                              common_taxa=bool(getattr(self.args, "common_taxa", False)))

        return self._read(files, burnin, thin, max_trees, rooted, lengths, "scanning files",
                          read)

    def read_table(self, files: Sequence[str], burnin: str = "0", thin: int = 1,
                   max_trees: Optional[int] = None, rooted: bool = False,
                   lengths: bool = False, warn_nonfinite: Optional[bool] = None,
                   every_tree: bool = False,
                   hold_annotated: bool = False) -> Tuple["TreeSet", "SplitTable"]:
        """As :meth:`read_trees`, and the split table of the trees chosen, from one reading
        of each file (``lengths``: keep branch lengths, for WRF and KF; ``warn_nonfinite``:
        warn of NaN or infinite lengths, by default when they are kept; ``every_tree``: the
        table of every tree found, burn-in included, as ``read_table`` has it;
        ``hold_annotated``: keep the texts of trees with node annotations, as there)."""
        from ..table.engine import TreeSetError
        from ..table.load import read_table

        table: List["SplitTable"] = []

        def read(rule: Any, on_progress: Callable[[int], None]) -> "TreeSet":
            ts, t = read_table(files, burnin=rule, thin=thin, max_trees=max_trees,
                               rooted=rooted, lengths=lengths, on_progress=on_progress,
                               every_tree=every_tree, hold_annotated=hold_annotated,
                               common_taxa=bool(getattr(self.args, "common_taxa", False)))
            table.append(t)
            return ts

        try:
            with self.native_call():
                ts = self._read(files, burnin, thin, max_trees, rooted,
                                lengths if warn_nonfinite is None else warn_nonfinite,
                                "reading trees", read)
        except TreeSetError as exc:
            raise CommandError(str(exc)) from None
        return ts, table[0]

    def _read(self, files: Sequence[str], burnin: str, thin: int, max_trees: Optional[int],
              rooted: bool, lengths: bool, label: str,
              read: Callable[[Any, Callable[[int], None]], "TreeSet"]) -> "TreeSet":
        from ..reading import TreeFileError, TreeFileWarning, parse_burnin

        try:
            burnin_rule = parse_burnin(burnin)
        except ValueError as exc:
            raise UsageError(str(exc)) from None
        for option, value in (("thin", thin), ("max-trees", max_trees)):
            if value is not None and value < 1:
                raise UsageError(f"--{option} must be at least 1, got {value}")
        self._warn_repeated_files(files)
        sizes = []
        for path in files:
            try:
                sizes.append(os.path.getsize(path))
            except OSError:
                sizes.append(0)  # the reader names the file that cannot be opened
        try:
            with self.phase(label, total=sum(sizes) or None, unit="B") as ph, \
                    warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always", TreeFileWarning)
                ts = read(burnin_rule, ph.update)
        except TreeFileError as exc:
            raise CommandError(str(exc)) from None
        except OSError as exc:
            raise CommandError(f"cannot read {exc.filename or ''}: "
                               f"{exc.strerror or exc}") from None
        for w in caught:
            self.warn(str(w.message))
        if ts.common is not None:  # --common-taxa: say what it did (stderr, --quiet too)
            self.progress.note(f"kestrilune: --common-taxa: {ts.common.describe()}")
        for f in ts.files:
            if rooted and f.rooting == "U":
                self.warn(f"{f.path}: --rooted compares clades, but the trees are marked "
                          "unrooted ([&U]): where their root sits is arbitrary")
            if lengths and f.nonfinite_lines:
                k = len(f.nonfinite_lines)
                self.warn(f"{f.path}:{f.nonfinite_lines[0]}: {k} tree{'s' if k > 1 else ''} "
                          "with NaN or infinite branch lengths; their distances are "
                          "meaningless (NaN, infinite, or 0)")
        return ts

    def _warn_repeated_files(self, paths: Sequence[str]) -> None:
        seen: Dict[str, str] = {}
        for path in paths:
            try:
                key = os.path.realpath(path)
            except OSError:
                continue
            if key in seen:
                self.warn(f"{path} is given twice (as {seen[key]} too): its trees are "
                          "counted as two runs")
            seen.setdefault(key, path)

    def write(self, path: str, what: str, writer: Callable[[str], object],
              verb: str = "writing") -> None:
        """Write one output through a temporary file, as a timed phase; ``writer(tmp)``."""
        label = f"{verb} {os.path.basename(path)}"
        try:
            with self.phase(label), atomic_path(path) as tmp:
                writer(tmp)
        except OSError as exc:
            raise CommandError(f"cannot write {path}: {exc.strerror or exc}") from None
        self.print(f"wrote {path} ({what})")

    def print(self, text: str) -> None:
        print(text, flush=True)

    def timing_line(self) -> str:
        """``wall time: 4.10 s (reading trees 2.31 s, ...)``: the whole command so far,
        wrapped at 80 columns (continuation lines indented)."""
        merged: Dict[str, float] = {}
        for label, took in self.progress.timings:
            merged[label] = merged.get(label, 0.0) + took
        shown = [f"{label} {format_seconds(t)}" for label, t in merged.items() if t >= 0.005]
        total = format_seconds(self.progress.elapsed())
        if not shown:
            return f"wall time: {total}"
        # Broken between phases only, never inside one.
        pieces = [f"{item}," for item in shown[:-1]] + [f"{shown[-1]})"]
        lines = [f"wall time: {total} ({pieces[0]}"]
        for piece in pieces[1:]:
            if len(lines[-1]) + 1 + len(piece) <= 80:
                lines[-1] += " " + piece
            else:
                lines.append("  " + piece)
        return "\n".join(lines)

    @contextmanager
    def native_call(self) -> Iterator[None]:
        """Around a long call into the extension module or the engine. Both answer Ctrl-C
        themselves (KeyboardInterrupt within a fraction of a second), so nothing is needed
        here any more; the marker stays for the call sites."""
        yield


# ----------------------------------------------------------------------------- main


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line ``argv`` (default: ``sys.argv[1:]``); returns the exit status."""
    started = time.perf_counter()
    ctx: Optional[Context] = None
    previous: Any = None
    previous_hook: Optional[Callable[[Any], Any]] = None
    dropped: List[type] = []
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGTERM, _on_sigterm)
        previous_hook = sys.unraisablehook
        sys.unraisablehook = _deferring_hook(previous_hook, dropped)
    try:
        try:
            args = build_parser().parse_args(argv)
        except SystemExit as exc:  # --help, --version
            return int(exc.code or 0)
        if args.threads is not None:
            if args.threads < 0:
                raise UsageError(f"--threads must be 0 or more, got {args.threads}")
            # The module's worker pool reads this once, at its first parallel call.
            os.environ["RAYON_NUM_THREADS"] = str(args.threads)
        ctx = Context(args)
        ctx.argv = list(sys.argv[1:] if argv is None else argv)
        ctx.progress.started = started
        status = int(args._module.run(args, ctx) or 0)
        if dropped:
            raise dropped[0]()
        return status
    except UsageError as exc:
        _error(str(exc))
        return 2
    except CommandError as exc:
        _error(str(exc))
        return 1
    except MemoryError:
        _error(f"out of memory ({memory_advice(ctx.args if ctx is not None else None)})")
        return 1
    except BrokenPipeError:
        # stdout went away (e.g. piped into head); keep Python from complaining at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except Terminated:
        _stderr("\nkestrilune: terminated")
        return 143
    except KeyboardInterrupt:
        _stderr("\nkestrilune: interrupted")
        return 130
    finally:
        if ctx is not None:
            ctx.progress.close()
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
        if previous_hook is not None:
            sys.unraisablehook = previous_hook


def memory_advice(args: Optional[argparse.Namespace]) -> str:
    """What lowers the memory a command needs, naming only options it has: ``fewer trees
    help: --thin, --max-trees, or a larger --burnin``."""
    have = vars(args) if args is not None else {}
    options = [o for o, key in (("--thin", "thin"), ("--max-trees", "max_trees")) if key in have]
    options.append("a larger --burnin")
    listed = options[0] if len(options) == 1 else ", ".join(options[:-1]) + ", or " + options[-1]
    return f"fewer trees help: {listed}"


def _error(message: str) -> None:
    _stderr(f"kestrilune: error: {message}")


def _stderr(text: str) -> None:
    try:
        print(text, file=sys.stderr, flush=True)
    except OSError:
        pass


if __name__ == "__main__":  # pragma: no cover
    # Through the package's module, not this __main__ copy: the commands raise the
    # package's CommandError, which only that copy's main() catches.
    from kestrilune_tools.console.cli import main as _main

    sys.exit(_main())

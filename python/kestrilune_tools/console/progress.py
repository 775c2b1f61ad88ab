"""What a command is doing, shown on stderr one phase at a time, fitted to the terminal.

    progress = Progress(enabled=not args.quiet)
    with progress.phase("reading trees", total=n_bytes, unit="B") as ph:
        for chunk in chunks:
            ph.advance(len(chunk))
    with progress.phase("computing", poll=lambda: ("computing", counter.value(),
                                                   counter.total(), "pairs")):
        matrix = table.block("rf", progress=counter)
    progress.close()
    progress.timings          # [("reading trees", 2.31), ("computing", 0.52), ...]

A background thread redraws the current phase a few times a second, so a phase shows even
when the code running it reports nothing, and a native call can run on the main thread
(where Ctrl-C is delivered) while its ``ProgressCounter`` is polled. A phase's ``poll``
callable, when given, returns ``(label, done, total, unit)`` and may change the label as the work
moves on (reading, parsing, pairs, assembling): every label is timed as a phase of its own.

On a terminal tqdm draws the phase (a bar when the total is known, a count and the elapsed
time otherwise), follows the terminal's width and clears the line when the phase ends.
Elsewhere (a log file, a pipe) a phase that lasts longer than ``min_seconds`` gets a plain
line every ``line_every`` seconds while it runs and one when it ends. ``note()`` prints a
message (a warning) without breaking the bar.
"""

from __future__ import annotations

import os
import sys
import threading
import time
from contextlib import contextmanager
from typing import Any, Callable, Iterator, List, Optional, TextIO, Tuple

__all__ = ["Progress", "Phase", "format_seconds"]

Poll = Callable[[], Tuple[str, Optional[int], Optional[int], str]]

_TICK = 0.05  # seconds between redraws; a poll costs two atomic loads
MIN_SECONDS = 1.0  # off a terminal, phases shorter than this print nothing
LINE_EVERY = 10.0  # off a terminal, seconds between the lines of one phase


def format_seconds(s: float) -> str:
    """``0.04 s``, ``12.3 s``, ``2 min 05 s``, ``1 h 02 min``."""
    if s < 10:
        return f"{s:.2f} s"
    if s < 60:
        return f"{s:.1f} s"
    m, sec = divmod(int(round(s)), 60)
    if m < 60:
        return f"{m} min {sec:02d} s"
    return f"{m // 60} h {m % 60:02d} min"


class Phase:
    """The running phase: code reports to it with ``advance`` or ``update``."""

    def __init__(self, label: str, total: Optional[int], unit: str, poll: Optional[Poll]):
        self.label = label
        self.total = total
        self.unit = unit
        self.done: Optional[int] = None  # None until the code reports a count
        self.poll = poll

    def advance(self, k: int = 1) -> None:
        self.done = (self.done or 0) + k

    def update(self, done: int, total: Optional[int] = None) -> None:
        self.done = done
        if total is not None:
            self.total = total

    def state(self) -> Tuple[str, Optional[int], Optional[int], str]:
        if self.poll is not None:
            return self.poll()
        return self.label, self.done, self.total, self.unit


class Progress:
    """Phase display and phase timings of one command (see the module docstring)."""

    def __init__(self, enabled: bool = True, stream: Optional[TextIO] = None, *,
                 tty: Optional[bool] = None,
                 min_seconds: Optional[float] = None, line_every: Optional[float] = None,
                 prefix: str = "kestrilune"):
        self.stream = sys.stderr if stream is None else stream
        self.enabled = enabled
        self.tty = bool(enabled and (tty if tty is not None else _isatty(self.stream)))
        self.min_seconds = MIN_SECONDS if min_seconds is None else min_seconds
        self.line_every = LINE_EVERY if line_every is None else line_every
        self.prefix = prefix
        self.started = time.perf_counter()
        self.timings: List[Tuple[str, float]] = []
        self._lock = threading.Lock()  # guards the bar and the stream between the threads
        self._phase: Optional[Phase] = None
        self._label: Optional[str] = None
        self._label_started = 0.0
        self._last_line = 0.0
        self._bar: Any = None  # a tqdm bar while one is drawn
        self._stop = threading.Event()
        self._ticker: Optional[threading.Thread] = None

    # ------------------------------------------------------------------------- phases

    @contextmanager
    def phase(self, label: str, total: Optional[int] = None, unit: str = "",
              poll: Optional[Poll] = None) -> Iterator[Phase]:
        """Run one phase; it is timed, shown, and cleared from the screen at its end."""
        ph = Phase(label, total, unit, poll)
        with self._lock:
            self._phase = ph
            self._switch(ph.state()[0], time.perf_counter())
            if self.tty:
                # Drawn now: work that holds the interpreter lock (a NumPy conversion, a
                # native call) keeps the ticker from drawing until it ends.
                self._draw(ph, time.perf_counter())
        self._start_ticker()
        failed = True
        try:
            yield ph
            failed = False
        finally:
            self._stop_ticker()
            with self._lock:
                self._draw(ph, time.perf_counter())  # a last poll names the final sub-phase
                self._end_label(time.perf_counter(), failed)
                self._phase = None

    def elapsed(self) -> float:
        return time.perf_counter() - self.started

    def note(self, text: str) -> None:
        """Print one line on stderr (whether enabled or not), above the bar if one is shown."""
        with self._lock:
            if self._bar is not None:
                self._bar.clear()
            _write(self.stream, text + "\n")
            if self._bar is not None:
                self._bar.refresh()

    def close(self) -> None:
        self._stop_ticker()
        with self._lock:
            self._close_bar()

    # ------------------------------------------------------------------------- drawing

    def _start_ticker(self) -> None:
        if not self.enabled:
            return
        self._stop.clear()
        self._ticker = threading.Thread(target=self._tick, name="kestrilune-progress",
                                        daemon=True)
        self._ticker.start()

    def _stop_ticker(self) -> None:
        if self._ticker is not None:
            self._stop.set()
            self._ticker.join()
            self._ticker = None

    def _tick(self) -> None:
        while not self._stop.wait(_TICK):
            with self._lock:
                if self._phase is not None:
                    self._draw(self._phase, time.perf_counter())

    def _draw(self, ph: Phase, now: float) -> None:
        label, done, total, unit = ph.state()
        if label != self._label:
            self._switch(label, now)
        if not self.enabled:
            return
        if self.tty:
            self._draw_bar(label, done, total, unit)
            return
        running = now - self._label_started
        since_line = now - self._last_line
        first = self._last_line < self._label_started
        if running >= self.min_seconds and (first or since_line >= self.line_every):
            self._last_line = now
            _write(self.stream, f"{self.prefix}: {label}{_count_text(done, total, unit)}"
                                f" ({format_seconds(running)})\n")

    def _draw_bar(self, label: str, done: Optional[int], total: Optional[int], unit: str
                  ) -> None:
        if self._bar is None:
            from tqdm import tqdm

            # Word units get a space ("12.3k pairs/s"), symbols none ("4.1MB/s").
            self._bar = tqdm(desc=label, total=total, unit=f" {unit}" if len(unit) > 1 else unit,
                             unit_scale=True, dynamic_ncols=True, leave=False, file=self.stream,
                             mininterval=0.0, smoothing=0.1)
        bar = self._bar
        bar.total = total
        bar.bar_format = _bar_format(bool(total), done is not None, _columns(self.stream))
        bar.n = done if done is not None else 0
        bar.refresh()

    def _switch(self, label: str, now: float) -> None:
        self._end_label(now)
        self._label = label
        self._label_started = now

    def _end_label(self, now: float, failed: bool = False) -> None:
        if self._label is None:
            return
        took = now - self._label_started
        self.timings.append((self._label, took))
        if self.enabled and not self.tty and took >= self.min_seconds and not failed:
            _write(self.stream, f"{self.prefix}: {self._label} done in {format_seconds(took)}\n")
        if self.tty:
            self._close_bar()
        self._label = None

    def _close_bar(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def _bar_format(has_total: bool, has_count: bool, columns: int) -> str:
    """tqdm's layout for the width: narrow terminals drop the rate and the elapsed time, so
    that the bar itself keeps some room. A phase without a count shows its time only."""
    if not has_count:
        return "{desc} [{elapsed}]"
    if not has_total:
        return "{desc}: {n_fmt}{unit} [{elapsed}]"
    if columns < 80:
        return "{desc}: {percentage:3.0f}%|{bar}| {n_fmt}/{total_fmt} [{remaining}]"
    return "{desc}: {percentage:3.0f}%|{bar}| {n_fmt}/{total_fmt}{unit} [{elapsed}<{remaining}, {rate_fmt}]"


def _columns(stream: TextIO) -> int:
    try:
        return os.get_terminal_size(stream.fileno()).columns
    except (AttributeError, OSError, ValueError):
        return 80


def _count_text(done: Optional[int], total: Optional[int], unit: str) -> str:
    if total:
        done = done or 0  # a phase with a total that has not advanced yet
        return f" {100 * min(done, total) // total}% ({done:,}/{total:,}{' ' + unit if unit else ''})"
    if done:
        return f" {done:,}{' ' + unit if unit else ''}"
    return ""


def _isatty(stream: TextIO) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


def _write(stream: TextIO, text: str) -> None:
    try:
        stream.write(text)
        stream.flush()
    except (OSError, ValueError):
        pass  # a closed or broken stderr must not turn a finished computation into a failure

"""What the command shows on a terminal: rendered by a terminal emulator (pyte) from the bytes
a pseudo-terminal of 60, 80 or 200 columns received."""

import os
import pty
import re
import struct
import subprocess
import sys
import termios
import fcntl
from pathlib import Path

import pytest

pyte = pytest.importorskip("pyte")

PRIMATES = str(Path(__file__).parents[2] / "examples" / "mrbayes_primates_12taxa.t")
_BAR = re.compile(r"\d+%\|")

# Every kind of phase: a bar, a count without total, a polled call that changes its label,
# and a warning printed while a bar is shown.
_PHASES = """
import sys, time
from kestrilune_tools.console.progress import Progress
p = Progress()
with p.phase("scanning files", total=4_000_000, unit="B") as ph:
    for _ in range(20):
        time.sleep(0.02); ph.advance(200_000)
    p.note("kestrilune: warning: a warning while a bar is shown")
with p.phase("drawing a picture with a rather long name for a narrow terminal"):
    time.sleep(0.3)
steps = iter([("reading trees", k, 300, "trees") for k in range(0, 300, 30)]
             + [("computing pairs", k, 44850, "pairs") for k in range(0, 44850, 4485)])
last = ["reading trees", 0, 300, "trees"]
def poll():
    last[:] = next(steps, last)
    return tuple(last)
with p.phase("computing", poll=poll):
    time.sleep(1.2)
p.close()
print("summary line one")
"""


def _run_in_terminal(args, columns: int, rows: int = 24):
    """Run ``args`` with stdout and stderr on a pseudo-terminal; returns the bytes it wrote."""
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
    env = {k: v for k, v in os.environ.items() if k not in ("COLUMNS", "LINES")}
    proc = subprocess.Popen(args, stdin=slave, stdout=slave, stderr=slave, env=env,
                            close_fds=True)
    os.close(slave)
    out = bytearray()
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the child closed the terminal
            break
        if not chunk:
            break
        out += chunk
    os.close(master)
    assert proc.wait(timeout=120) == 0, out.decode(errors="replace")
    return bytes(out)


def _replay(data: bytes, columns: int, rows: int = 24):
    """Feed the bytes to an emulated screen piece by piece; returns the final screen rows
    and the largest number of rows that showed a bar at one moment."""
    screen = pyte.Screen(columns, rows)
    stream = pyte.ByteStream(screen)
    most_bars = 0
    for piece in re.split(rb"(?=\r)", data):
        stream.feed(piece)
        most_bars = max(most_bars, sum(bool(_BAR.search(row)) for row in screen.display))
    return [row.rstrip() for row in screen.display], most_bars


def _lines_written(data: bytes):
    text = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", data.decode(errors="replace"))
    return [seg for seg in re.split(r"[\r\n]", text)]


@pytest.mark.parametrize("columns", [60, 80, 200])
def test_phases_fit_the_terminal_and_leave_no_residue(columns):
    data = _run_in_terminal([sys.executable, "-c", _PHASES], columns)
    assert max(len(seg) for seg in _lines_written(data)) <= columns
    screen, most_bars = _replay(data, columns)
    assert most_bars == 1
    shown = [row for row in screen if row]
    assert shown == ["kestrilune: warning: a warning while a bar is shown", "summary line one"]
    text = data.decode(errors="replace")
    for label in ("scanning files", "reading trees", "computing pairs"):
        assert label in text


@pytest.mark.parametrize("columns", [60, 200])
def test_command_on_a_terminal_ends_with_the_summary_only(tmp_path, columns):
    data = _run_in_terminal([sys.executable, "-m", "kestrilune_tools", "kf", PRIMATES,
                             "--burnin", "25%", "-o", str(tmp_path / "kf.npz")], columns)
    screen, most_bars = _replay(data, columns)
    assert most_bars <= 1
    shown = [row for row in screen if row]
    assert shown[0].startswith("kestrilune kf (Kuhner-Felsenstein")
    assert any(row.startswith(f"wrote {tmp_path / 'kf.npz'}"[:columns]) for row in shown)
    assert "wall time: " in "".join(shown)  # summary lines longer than the screen wrap

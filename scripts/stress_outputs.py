#!/usr/bin/env python3
"""Attack the outputs of ``kestrilune rf`` for a given time and check every end state.

    python scripts/stress_outputs.py [--seconds 300] [--trees FILE] [--chunk 100] [--keep]

Each round picks one attack on a fresh folder:

* ``two_writers``: two writers of one Zarr store at once (``--overwrite``, or ``--resume``);
* ``kill_resume``: SIGKILL a writer mid-store, tamper with what it left (delete, truncate or
  flip a bit of a chunk, edit ``zarr.json``'s data type or settings, add a garbage line to
  the tile log, or nothing), then ``--resume``;
* ``term_resume``: SIGTERM a writer mid-store (exit 143, no temporary file), then resume;
* ``kill_npy``: SIGKILL a ``-o .npy`` writer, then write again (its leftover must go).

Stores are square or condensed (``--condensed``), at random.

An end state is right when it is a complete output byte-identical to an uninterrupted
reference (every file of the store; no ``.partial``, lock or temporary file left), or a
clear refusal (exit status 1, one ``kestrilune: error:`` line, no traceback) where one is
due. Prints one line per wrong end state and a summary; exit status 0 iff none was wrong.
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_TREES = ROOT / "examples" / "mrbayes_primates_12taxa.t"


def command(trees: str, out: Path, chunk: int, *extra: str) -> List[str]:
    return [sys.executable, "-m", "kestrilune_tools", "rf", trees, "-o", str(out), "--chunk",
            str(chunk), "--quiet", *extra]


def start(argv: List[str]) -> subprocess.Popen[str]:
    return subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish(proc: subprocess.Popen[str], timeout: float = 300) -> Tuple[int, str]:
    _, err = proc.communicate(timeout=timeout)
    return proc.returncode, err


def snapshot(path: Path) -> Dict[str, bytes]:
    """Every file of a store (or the one file) by its path inside it."""
    if path.is_file():
        return {"": path.read_bytes()}
    return {str(p.relative_to(path)): p.read_bytes() for p in sorted(path.rglob("*"))
            if p.is_file()}


def clear_refusal(code: int, err: str) -> bool:
    errors = [x for x in err.strip().splitlines() if x.startswith("kestrilune: error: ")]
    return code == 1 and len(errors) == 1 and "Traceback" not in err


class Stress:
    def __init__(self, trees: str, chunk: int, work: Path):
        self.trees, self.chunk, self.work = trees, chunk, work
        self.outcomes: Dict[str, collections.Counter[str]] = collections.defaultdict(
            collections.Counter)
        self.wrong: List[str] = []
        ref = work / "reference"
        ref.mkdir()
        self.layout: List[str] = []  # this round's: [] (square) or ["--condensed"]
        for name, extra in (("ref.npy", []), ("ref-condensed.zarr", ["--condensed"]),
                            ("ref.zarr", [])):
            t0 = time.perf_counter()
            code, err = finish(start(command(trees, ref / name, chunk, *extra)))
            if code != 0:
                raise SystemExit(f"the reference run failed: {err}")
        self.took = time.perf_counter() - t0  # of one square store, start to end
        self.ref = {".zarr": snapshot(ref / "ref.zarr"), ".npy": snapshot(ref / "ref.npy"),
                    "condensed": snapshot(ref / "ref-condensed.zarr")}

    def cmd(self, out: Path, *extra: str) -> List[str]:
        return command(self.trees, out, self.chunk, *self.layout, *extra)

    # ---------------------------------------------------------------- checking

    def check_complete(self, attack: str, folder: Path, name: str, note: str = "") -> None:
        out = folder / name
        want = self.ref["condensed" if self.layout and out.suffix == ".zarr" else out.suffix]
        extra = sorted(p.name for p in folder.iterdir() if p.name != name)
        if not out.exists():
            self.bad(attack, f"{note}: {name} is missing (folder: {extra})")
        elif snapshot(out) != want:
            got = snapshot(out)
            differ = sorted(k for k in set(got) | set(want) if got.get(k) != want.get(k))
            self.bad(attack, f"{note}: {name} differs from the reference in {differ[:5]}")
        elif extra:
            self.bad(attack, f"{note}: left beside {name}: {extra}")
        else:
            self.outcomes[attack]["complete" + (" condensed" if self.layout else "")] += 1

    def bad(self, attack: str, text: str) -> None:
        self.outcomes[attack]["WRONG"] += 1
        self.wrong.append(f"{attack}: {text}")
        print(f"WRONG {attack}: {text}", flush=True)

    # ---------------------------------------------------------------- attacks

    def two_writers(self, folder: Path) -> None:
        out = folder / "d.zarr"
        mode = random.choice(["--overwrite", "--resume"])
        a = start(self.cmd(out, mode))
        time.sleep(random.uniform(0, self.took / 2))
        b = start(self.cmd(out, mode))
        results = [finish(a), finish(b)]
        for code, err in results:
            if code == 0:
                continue
            if clear_refusal(code, err) and "another kestrilune (pid" in err:
                self.outcomes["two_writers"]["refused (busy)"] += 1
            else:
                self.bad("two_writers", f"{mode}: exit {code}: {err.strip()[-300:]}")
        self.check_complete("two_writers", folder, "d.zarr", mode)

    def _kill_mid_store(self, folder: Path, sig: int) -> Tuple[Path, Optional[Tuple[int, str]]]:
        out = folder / "d.zarr"
        proc = start(self.cmd(out))
        partial = Path(str(out) + ".partial")
        deadline = time.monotonic() + 60
        while not partial.exists() and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.002)
        time.sleep(random.uniform(0, self.took * 0.6))
        proc.send_signal(sig)
        return out, finish(proc)

    def kill_resume(self, folder: Path) -> None:
        out, _ = self._kill_mid_store(folder, signal.SIGKILL)
        partial = Path(str(out) + ".partial")
        how = random.choice(["none", "delete", "truncate", "bitflip", "log_garbage",
                             "edit_dtype", "edit_settings"])
        refusal_due = False
        if partial.is_dir():
            chunks = sorted(p for p in (partial / "c").rglob("*") if p.is_file()) \
                if (partial / "c").is_dir() else []
            meta = partial / "zarr.json"
            log = partial / "kestrilune-tiles-done.txt"
            if how in ("delete", "truncate", "bitflip") and chunks:
                victim = random.choice(chunks)
                if how == "delete":
                    victim.unlink()
                elif how == "truncate":
                    # a chunk the kill left empty is truncated already
                    os.truncate(victim, random.randrange(max(victim.stat().st_size, 1)))
                else:
                    data = bytearray(victim.read_bytes())
                    if data:
                        data[random.randrange(len(data))] ^= 1 << random.randrange(8)
                    else:  # left empty by the kill: give it a garbage byte instead
                        data.append(random.randrange(256))
                    victim.write_bytes(bytes(data))
            elif how in ("edit_dtype", "edit_settings") and meta.exists():
                doc = json.loads(meta.read_text())
                if how == "edit_dtype":
                    doc["data_type"] = "uint16" if doc["data_type"] != "uint16" else "uint32"
                else:
                    doc["attributes"]["kestrilune"]["settings"]["burnin"] = "10"
                meta.write_text(json.dumps(doc))
                refusal_due = True
            elif how == "log_garbage" and log.exists():
                lines = log.read_text().splitlines(keepends=True)
                lines.insert(random.randrange(len(lines) + 1),
                             random.choice(["garbage\n", "1 x 2\n", "0 0 notahash\n", "\n"]))
                log.write_text("".join(lines))
        else:
            how = "finished first" if out.exists() else how
        code, err = finish(start(self.cmd(out, "--resume")))
        attack = "kill_resume"
        if refusal_due:
            if clear_refusal(code, err) and "cannot resume" in err:
                self.outcomes[attack][f"refused ({how})"] += 1
                shutil.rmtree(partial)
            else:
                self.bad(attack, f"{how}: exit {code} where a refusal was due: "
                                 f"{err.strip()[-300:]}")
            return
        if code != 0:
            self.bad(attack, f"{how}: resume exit {code}: {err.strip()[-300:]}")
            return
        self.outcomes[attack][f"resumed ({how})"] += 1
        self.check_complete(attack, folder, "d.zarr", how)

    def term_resume(self, folder: Path) -> None:
        out, (code, err) = self._kill_mid_store(folder, signal.SIGTERM)  # type: ignore[misc]
        attack = "term_resume"
        if code == -signal.SIGTERM and out.is_dir() and not Path(str(out) + ".partial").exists():
            code = 0  # the signal came after the store was complete, as the process ended
        if code not in (0, 143) or "Traceback" in err:
            self.bad(attack, f"SIGTERM gave exit {code}: {err.strip()[-300:]}")
            return
        temporary = [p.name for p in folder.iterdir() if ".part" in p.name and
                     not p.name.endswith(".partial")]
        if temporary:
            self.bad(attack, f"temporary files after SIGTERM: {temporary}")
        code, err = finish(start(self.cmd(out, "--resume")))
        if code != 0:
            self.bad(attack, f"resume exit {code}: {err.strip()[-300:]}")
            return
        self.check_complete(attack, folder, "d.zarr", "after SIGTERM")

    def kill_npy(self, folder: Path) -> None:
        out = folder / "m.npy"
        proc = start(command(self.trees, out, self.chunk))
        time.sleep(random.uniform(0.2, self.took))
        proc.kill()
        finish(proc)
        code, err = finish(start(command(self.trees, out, self.chunk)))
        if code != 0:
            self.bad("kill_npy", f"rewrite exit {code}: {err.strip()[-300:]}")
            return
        self.check_complete("kill_npy", folder, "m.npy", "after SIGKILL")

    def run(self, seconds: float, keep: bool) -> None:
        attacks = [self.two_writers, self.kill_resume, self.kill_resume, self.term_resume,
                   self.kill_npy]
        end = time.monotonic() + seconds
        round_ = 0
        while time.monotonic() < end:
            round_ += 1
            folder = self.work / f"round{round_}"
            folder.mkdir()
            attack = random.choice(attacks)
            self.layout = random.choice([[], ["--condensed"]]) if attack != self.kill_npy \
                else []
            try:
                attack(folder)
            except subprocess.TimeoutExpired:
                self.bad(attack.__name__, "a writer hung for 300 s")
            if not keep:
                shutil.rmtree(folder, ignore_errors=True)
        self.rounds = round_


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=float, default=60)
    p.add_argument("--trees", default=str(DEFAULT_TREES))
    p.add_argument("--chunk", type=int, default=100)
    p.add_argument("--seed", type=int, default=None)
    p.add_argument("--keep", action="store_true", help="keep every round's folder")
    args = p.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    random.seed(seed)
    started = time.perf_counter()
    cpu0 = os.times()
    with tempfile.TemporaryDirectory(prefix="kestrilune-stress-") as tmp:
        work = Path(tmp)
        if args.keep:
            work = Path(tempfile.mkdtemp(prefix="kestrilune-stress-kept-"))
        s = Stress(args.trees, args.chunk, work)
        s.run(args.seconds, args.keep)
    cpu1 = os.times()
    cpu = (cpu1.children_user - cpu0.children_user) + (cpu1.children_system -
                                                      cpu0.children_system)
    print(f"stress_outputs: {s.rounds} rounds in {time.perf_counter() - started:.0f} s "
          f"(seed {seed}; writers' CPU {cpu:.0f} s; load {os.getloadavg()[0]:.2f})")
    for attack, counts in sorted(s.outcomes.items()):
        print(f"  {attack}: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    print(f"  wrong end states: {len(s.wrong)}")
    return 1 if s.wrong else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Throughput of kestrilune against R phangorn on real and synthetic tree sets.

For every input the driver runs
  (a) bench/phangorn_bench.R: RF.dist / wRF.dist / KF.dist on trees already
      read with ape::read.nexus (large synthetic sets: the first N trees);
  (b) kestrilune's pairwise functions, each measurement in a fresh Python
      subprocess, timed end to end: from the start of the call, whose
      iterator is drained inside the call, to the result being returned.
and prints pairs/s, the ratio to phangorn, the split of our time between
parsing + snapshotting, the pairwise loop and building the result (read
from a ProgressCounter polled by a thread), peak memory next to the result
size, thread scaling, and the cost of returning n*n Python floats instead of
bytes for WRF and KF.  See bench/README.md for the columns.

Usage:
    python bench/bench.py             # everything (tens of minutes)
    python bench/bench.py --quick     # small subset, about a minute
    python bench/bench.py --help
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
DEFAULT_CACHE = BENCH_DIR / ".cache"
DEFAULT_DATA = Path(os.environ.get("KESTRILUNE_BENCH_DATA", "/work/shared/data"))

REAL_FILES = [
    ("primates12", "mrbayes_primates_12taxa.t"),
    ("cynmix32", "mrbayes_cynmix_32taxa.t"),
    ("beast17", "beast1_ucln_17taxa.trees"),
]
# (taxa, trees, seed); phangorn sees only the first PHANGORN_SYNTH_TREES.
SYNTHETIC = [(50, 2000, 1), (200, 2000, 2), (500, 5000, 3)]
# --annotated: 10^4 trees with BEAST-style [&...] annotations on every tree and branch.
ANNOTATED = [(50, 10000, 50), (200, 10000, 200), (500, 10000, 500)]
QUICK_REAL = ["primates12"]
QUICK_SYNTHETIC = [(50, 2000, 1)]
PHANGORN_SYNTH_TREES = 500
PHANGORN_QUICK_TREES = 300

TARGETS = {"rf": 100.0, "wrf": 50.0, "kf": 50.0}
PLAIN_FUNCTIONS = {
    "rf": "pairwise_rf_from_newick_iter",
    "wrf": "pairwise_wrf_from_newick_iter",
    "kf": "pairwise_kf_from_newick_iter",
}
BYTES_FUNCTIONS = {
    "rf": "pairwise_rf_with_snapshots_from_newick_iter",
    "wrf": "pairwise_wrf_with_snapshots_from_newick_iter",
    "kf": "pairwise_kf_with_snapshots_from_newick_iter",
}


# ---------------------------------------------------------------------------
# Reading tree files
# ---------------------------------------------------------------------------

def load_tree_file(path: str, max_trees: int | None = None):
    """(names, newick iterator, translate_maps, map_indices, reader name).

    Uses the project's reader, kestrilune_tools.read_trees (installed,
    or from this checkout's python/ directory), and falls back to the small
    reader in this directory when that is not available."""
    try:
        from kestrilune_tools.reading import read_trees  # type: ignore
    except ImportError:
        sys.path.append(str(BENCH_DIR.parent / "python"))
        try:
            from kestrilune_tools.reading import read_trees  # type: ignore
        except ImportError:
            read_trees = None
    if read_trees is not None:
        ts = read_trees(path, max_trees=max_trees)
        return (list(ts.names), ts.newicks(), list(ts.translate_maps), list(ts.map_indices),
                "kestrilune_tools.read_trees")
    sys.path.insert(0, str(BENCH_DIR))
    from _nexus_reader import read_nexus_trees
    names, it, maps, idx = read_nexus_trees(path)
    if max_trees is not None:
        names, idx = names[:max_trees], idx[:max_trees]
        it = (nw for _, nw in zip(range(max_trees), it))
    return names, it, maps, idx, "bench/_nexus_reader"


def truncate_nexus(src: Path, dst: Path, n_trees: int) -> None:
    """Copy the header and the first n_trees one-line tree statements."""
    tmp = dst.with_suffix(dst.suffix + ".part")
    kept = 0
    with open(src, encoding="utf-8") as fin, open(tmp, "w", encoding="utf-8") as fout:
        for line in fin:
            if line.lstrip().lower().startswith("tree "):
                if kept == n_trees:
                    continue
                kept += 1
            elif kept == n_trees and line.strip().lower().startswith("end"):
                fout.write(line)
                break
            fout.write(line)
    os.replace(tmp, dst)


# ---------------------------------------------------------------------------
# Worker: one kestrilune measurement, run in its own subprocess
# ---------------------------------------------------------------------------

def _rss_reset() -> bool:
    # Writing 5 to clear_refs resets the peak-RSS mark to the current RSS,
    # so ru_maxrss afterwards measures this call only (Linux >= 4.0).
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return True
    except OSError:
        return False


def _maxrss_bytes() -> int:
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux


class _Poller:
    """Polls a ProgressCounter from a thread and notes when the pairwise loop
    starts (total() turns non-zero) and ends (value() reaches total()).

    While parsing runs the module holds the interpreter lock, so this thread
    first gets to run when the lock is released for the pairwise loop; the
    first reading after that sees the new total.  It sleeps between
    readings so it takes no CPU away from the pool's workers."""

    def __init__(self, counter, interval: float = 0.0005):
        import threading
        self.counter = counter
        self.interval = interval
        self.t_start = None
        self.t_done = None
        self.t_last_running = None
        self.polls = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def start(self):
        self._thread.start()

    def stop(self):
        self._stop.set()
        self._thread.join()

    def _run(self):
        c = self.counter
        now = time.perf_counter
        sleep = time.sleep
        while not self._stop.is_set():
            total = c.total()
            if total:
                t = now()
                if self.t_start is None:
                    self.t_start = t
                if c.value() >= total:
                    self.t_done = t
                    return
                self.t_last_running = t
            self.polls += 1
            sleep(self.interval)


def _checksum(kind: str, result, n: int, check_n: int) -> tuple[float, bool]:
    """Sum of the upper triangle of the leading check_n x check_n block, and
    whether the whole matrix is symmetric with a zero diagonal."""
    import numpy as np
    if kind == "u32":
        m = np.frombuffer(result, dtype="<u4")
    elif kind == "f64":
        m = np.frombuffer(result, dtype="<f8")
    else:
        m = np.asarray(result, dtype=np.float64)
    if m.size != n * n:
        return float("nan"), False
    m = m.reshape(n, n)
    ok = bool(np.array_equal(m, m.T) and not np.any(np.diagonal(m)))
    k = min(check_n, n)
    block = m[:k, :k].astype(np.float64)
    return float(np.triu(block, 1).sum()), ok


def worker(job: dict) -> dict:
    out: dict = {"function": job["function"]}
    t_import = time.perf_counter()
    try:
        import kestrilune  # type: ignore
    except Exception as exc:  # ImportError, or a broken build raising anything
        out["error"] = f"import kestrilune failed: {type(exc).__name__}: {exc}"
        return out
    out["import_s"] = time.perf_counter() - t_import
    fn = getattr(kestrilune, job["function"], None)
    if fn is None:
        out["error"] = "missing"
        return out

    t_read = time.perf_counter()
    names, it, maps, idx, reader = load_tree_file(job["file"], job.get("max_trees"))
    newicks = list(it)
    out["read_s"] = time.perf_counter() - t_read
    out["reader"] = reader
    n = len(names)
    out["n"] = n
    out["pairs"] = n * (n - 1) // 2

    counter_cls = getattr(kestrilune, "ProgressCounter", None)
    use_progress = job.get("progress", True) and counter_cls is not None
    out["progress"] = use_progress

    import gc
    runs = []
    min_total = job.get("min_seconds", 1.0)
    for run in range(job.get("repeats", 3)):
        gc.collect()
        counter = counter_cls() if use_progress else None
        poller = _Poller(counter) if use_progress else None
        reset_ok = _rss_reset()
        base = _maxrss_bytes()
        if poller:
            poller.start()
        try:
            t0 = time.perf_counter()
            if use_progress:
                result = fn(names, iter(newicks), maps, idx, False, counter)
            else:
                result = fn(names, iter(newicks), maps, idx, False)
            t1 = time.perf_counter()
        except Exception as exc:
            if poller:
                poller.stop()
            out["error"] = f"{type(exc).__name__}: {exc}"[:300]
            return out
        peak = _maxrss_bytes() - base
        if poller:
            poller.stop()
        rec = {"seconds": t1 - t0, "peak_bytes": peak, "rss_reset": reset_ok}
        if poller and poller.t_start is not None and poller.t_start < t1:
            rec["parse_s"] = poller.t_start - t0
            if poller.t_done is not None and poller.t_done <= t1:
                rec["kernel_s"] = poller.t_done - poller.t_start
                rec["build_s"] = t1 - poller.t_done
                # The loop ended somewhere between the last reading that saw
                # it running and the first that saw it done.
                last = poller.t_last_running or poller.t_start
                rec["split_uncertainty_s"] = poller.t_done - last
        runs.append(rec)
        if run == 0:
            # Check the first result only; later runs compute the same thing.
            kind = "list"
            matrix = result[1]
            if isinstance(matrix, (bytes, bytearray)):
                kind = "u32" if job["metric"] == "rf" else "f64"
            out["result_bytes"] = (len(matrix) if kind != "list"
                                   else sys.getsizeof(matrix) + 24 * len(matrix))
            out["checksum"], out["symmetric"] = _checksum(kind, matrix, n, job.get("check_n") or n)
            if kind == "f64":
                # What handing out n*n Python floats instead would cost,
                # measured here in Python for comparison with the list variant.
                t_list = time.perf_counter()
                floats = memoryview(matrix).cast("d").tolist()
                out["tolist_s"] = time.perf_counter() - t_list
                del floats
            if isinstance(result, tuple) and len(result) == 6:
                out["n_bip"] = result[3]
                out["export_bytes"] = len(result[4]) + len(result[5])
        del result
        if sum(r["seconds"] for r in runs) >= min_total:
            break
    best = min(runs, key=lambda r: r["seconds"])
    out.update(best)
    # Later runs reuse pages the allocator kept from the first one, so only
    # the first run's peak says what a call needs.
    out["peak_bytes"] = runs[0]["peak_bytes"]
    out["first_seconds"] = runs[0]["seconds"]
    out["runs"] = len(runs)
    out["pairs_per_s"] = out["pairs"] / best["seconds"] if best["seconds"] > 0 else float("inf")
    return out


# ---------------------------------------------------------------------------
# Driver
# ---------------------------------------------------------------------------

@dataclass
class Input:
    key: str
    path: Path
    taxa: int | None = None
    trees: int | None = None
    phangorn_trees: int | None = None  # None: all trees
    synthetic: bool = False
    phangorn: dict = field(default_factory=dict)  # metric -> result fields
    phangorn_info: dict = field(default_factory=dict)
    ours: dict = field(default_factory=dict)  # (metric, variant) -> worker output


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def ensure_synthetic(cache: Path, taxa: int, trees: int, seed: int,
                     annotated: bool = False) -> Path:
    cache.mkdir(parents=True, exist_ok=True)
    kind = "ann" if annotated else "syn"
    path = cache / f"{kind}_{taxa}taxa_{trees}trees_seed{seed}.t"
    if not path.exists():
        log(f"generating {path.name} ...")
        subprocess.run([sys.executable, str(BENCH_DIR / "gen_trees.py"), "--taxa", str(taxa),
                        "--trees", str(trees), "--seed", str(seed), "-o", str(path)]
                       + (["--beast-annotations"] if annotated else []), check=True)
    return path


def count_trees(path: Path) -> tuple[int, int]:
    """(taxa, trees) as the bench reader sees them."""
    names, it, maps, _idx, _reader = load_tree_file(str(path))
    return len(maps[0]), len(names)


def run_phangorn(inp: Input, cache: Path, metrics: list[str], rscript: str) -> None:
    path = inp.path
    if inp.phangorn_trees and inp.trees and inp.phangorn_trees < inp.trees:
        # Hand R a short file: read.nexus would parse every tree otherwise.
        path = cache / f"{inp.path.stem}.first{inp.phangorn_trees}{inp.path.suffix}"
        if not path.exists():
            truncate_nexus(inp.path, path, inp.phangorn_trees)
    cmd = [rscript, str(BENCH_DIR / "phangorn_bench.R"), str(path), "--metrics", ",".join(metrics)]
    if inp.phangorn_trees:
        cmd += ["--max-trees", str(inp.phangorn_trees)]
    log(f"phangorn: {inp.key} ({inp.phangorn_trees or 'all'} trees) ...")
    t0 = time.perf_counter()
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        inp.phangorn_info = {"error": proc.stderr.strip()[-300:]}
        log(f"  phangorn failed: {inp.phangorn_info['error']}")
        return
    for line in proc.stdout.splitlines():
        parts = line.split("\t")
        fields = dict(p.split("=", 1) for p in parts[1:] if "=" in p)
        if parts[0] == "phangorn_info":
            inp.phangorn_info = fields
        elif parts[0] == "phangorn_result":
            inp.phangorn[fields["metric"]] = fields
    log(f"  done in {time.perf_counter() - t0:.1f} s")


def run_worker(job: dict, python: str, env_extra: dict | None = None) -> dict:
    env = dict(os.environ)
    env.update(env_extra or {})
    proc = subprocess.run([python, str(Path(__file__).resolve()), "--worker", json.dumps(job)],
                          capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["?"])[-1]
        return {"function": job["function"], "error": f"worker exit {proc.returncode}: {tail}"[:300]}
    try:
        return json.loads(proc.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return {"function": job["function"], "error": "worker printed no result"}


def probe_module(python: str) -> dict:
    code = ("import json, kestrilune as k; "
            "print(json.dumps({'file': getattr(k, '__file__', '?'), "
            "'names': [n for n in dir(k) if not n.startswith('_')]}))")
    proc = subprocess.run([python, "-c", code], capture_output=True, text=True)
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["?"])[-1]
        return {"error": tail}
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --- formatting --------------------------------------------------------------

def fmt_rate(x) -> str:
    if x is None:
        return "-"
    x = float(x)
    for unit, div in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if x >= div:
            return f"{x / div:.3g}{unit}"
    return f"{x:.3g}"


def fmt_ratio(x: float) -> str:
    return f"{x:.0f}x" if x >= 10 else f"{x:.2g}x"


def fmt_s(x) -> str:
    if x is None:
        return "-"
    return f"{x:.3f}" if x < 10 else f"{x:.1f}"


def fmt_mb(x) -> str:
    return "-" if x is None else f"{x / 1e6:.1f}"


def table(headers: list[str], rows: list[list[str]]) -> str:
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h)
              for i, h in enumerate(headers)]
    line = "  ".join(h.ljust(w) for h, w in zip(headers, widths))
    out = [line, "-" * len(line)]
    for r in rows:
        out.append("  ".join(c.rjust(w) if i else c.ljust(w) for i, (c, w) in enumerate(zip(r, widths))))
    return "\n".join(out)


def check_text(ours: dict, ph: dict | None) -> str:
    if "checksum" not in ours:
        return "-"
    if not ours.get("symmetric", False):
        return "NOT SYMMETRIC"
    if not ph or "checksum" not in ph:
        return "sym ok"
    a, b = float(ours["checksum"]), float(ph["checksum"])
    if a == b or abs(a - b) <= 1e-7 * max(abs(a), abs(b)):
        return "= phangorn"
    return f"DIFF {a:.6g} vs {b:.6g}"


def report(inputs: list[Input], scaling: list[tuple[str, dict]], have_module: bool) -> str:
    out = []
    rows = []
    for inp in inputs:
        for metric in ("rf", "wrf", "kf"):
            ph = inp.phangorn.get(metric)
            ours = inp.ours.get((metric, "plain"), {})
            same = inp.ours.get((metric, "same_n"), {})
            ph_rate = float(ph["pairs_per_s"]) if ph else None
            our_rate = ours.get("pairs_per_s")
            ratio = fmt_ratio(our_rate / ph_rate) if (ph_rate and our_rate) else "-"
            same_ratio = (fmt_ratio(same["pairs_per_s"] / ph_rate)
                          if (ph_rate and same.get("pairs_per_s")) else "")
            # phangorn's pairs per second of its own thread's time: what it would do with
            # a core to itself, so the ratio stays fair when the machine is busy.
            ph_cpu = float(ph["cpu_seconds"]) if ph else 0.0
            cpu_ratio = (fmt_ratio(our_rate / (float(ph["pairs"]) / ph_cpu))
                         if (ph_cpu > 0 and our_rate) else "-")
            target = TARGETS[metric]
            verdict = ""
            if ph_rate and our_rate:
                verdict = "ok" if our_rate / ph_rate >= target else "BELOW"
            ph_n = (ph["n_trees"] + ("*" if inp.phangorn_trees else "")) if ph else "-"
            rows.append([
                inp.key, str(inp.taxa or "?"), str(inp.trees or "?"), metric,
                ph_n, fmt_rate(ph_rate), ph["cpu_per_wall"] if ph else "-",
                fmt_rate(our_rate) if our_rate else ours.get("error", "-")[:28],
                fmt_s(ours.get("seconds")),
                ratio + (f" ({same_ratio})" if same_ratio else ""), cpu_ratio,
                f"{target:.0f}x {verdict}".strip(),
                check_text(ours, ph) if ours else "-",
            ])
    out.append("Throughput (pairs/s; ours end to end, phangorn the distance call only)")
    out.append(table(["input", "taxa", "trees", "metric", "phangorn n", "phangorn p/s",
                      "cpu/wall", "ours p/s", "ours s", "ratio (same n)", "ratio/cpu", "target",
                      "check"], rows))
    out.append("  * phangorn timed on the first N trees only; 'ratio (same n)' compares with\n"
               "    kestrilune on those same N trees. cpu/wall below ~0.95 means phangorn's\n"
               "    single thread was not always on a core: the machine was busy; 'ratio/cpu'\n"
               "    then divides by phangorn's pairs per second of its own CPU time instead.")

    if have_module:
        rows = []
        for inp in inputs:
            for metric in ("rf", "wrf", "kf"):
                o = inp.ours.get((metric, "plain"))
                if not o or "seconds" not in o:
                    continue
                n = o["n"]
                split = "-"
                if "kernel_s" in o:
                    split = f"{fmt_s(o['parse_s'])} / {fmt_s(o['kernel_s'])} / {fmt_s(o['build_s'])}"
                elif "parse_s" in o:
                    split = f"{fmt_s(o['parse_s'])} / ? / ?"
                ratio = o["peak_bytes"] / o["result_bytes"] if o.get("result_bytes") else None
                rows.append([inp.key, metric, str(n), fmt_s(o["seconds"]), split,
                             fmt_mb(o["peak_bytes"]), fmt_mb(o.get("result_bytes")),
                             fmt_mb((4 if metric == "rf" else 32) * n * n),
                             f"{ratio:.2f}" if ratio else "-"])
        out.append("")
        out.append("Where the time and memory go (plain functions)")
        out.append(table(["input", "metric", "n", "total s", "parse / pairwise / build s",
                          "peak MB", "result MB", "expect MB", "peak/result"], rows))
        out.append("  expect = 4n^2 bytes (RF bytes) or 32n^2 (list of n^2 floats: 8-byte slot +\n"
                   "  24-byte float object); the call also holds an 8n^2 native matrix while it\n"
                   "  converts it.")

        rows = []
        for inp in inputs:
            for metric in ("wrf", "kf"):
                lst = inp.ours.get((metric, "plain"))
                byt = inp.ours.get((metric, "bytes"))
                if not lst or not byt or "seconds" not in lst or "seconds" not in byt:
                    continue
                rows.append([inp.key, metric, str(lst["n"]), fmt_s(lst["seconds"]),
                             fmt_s(lst.get("build_s")), fmt_s(byt["seconds"]),
                             fmt_s(byt.get("build_s")), fmt_s(byt.get("tolist_s")),
                             str(byt.get("n_bip", "-")),
                             fmt_mb(lst["peak_bytes"]), fmt_mb(byt["peak_bytes"])])
        if rows:
            out.append("")
            out.append("List of floats vs bytes (plain WRF/KF vs *_with_snapshots_*)")
            out.append(table(["input", "metric", "n", "list s", "list build s", "bytes s",
                              "bytes build s", "bytes->list s", "n_bip", "list peak MB", "bytes peak MB"], rows))
            out.append("  build = after the pairwise loop: making the n^2 floats (list) or the\n"
                       "  matrix bytes plus the presence/branch-length and clade exports (bytes).\n"
                       "  bytes->list = memoryview(matrix_bytes).cast('d').tolist() in Python, for\n"
                       "  reference.")

        if scaling:
            rows = []
            base = None
            for label, o in scaling:
                if "seconds" not in o:
                    rows.append([label, o.get("error", "-"), "", "", "", ""])
                    continue
                if base is None:
                    base = o
                rows.append([label, fmt_s(o["seconds"]), fmt_rate(o["pairs_per_s"]),
                             f"{base['seconds'] / o['seconds']:.2f}x",
                             fmt_s(o.get("parse_s")), fmt_s(o.get("kernel_s"))])
            out.append("")
            out.append("Thread scaling (RF)")
            out.append(table(["run", "total s", "pairs/s", "speedup", "parse s", "pairwise s"], rows))
    return "\n".join(out)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="one real file, one small synthetic set, phangorn on 300 trees")
    ap.add_argument("--data-dir", type=Path, default=DEFAULT_DATA,
                    help=f"directory of the real tree files (default {DEFAULT_DATA})")
    ap.add_argument("--input", action="append", type=Path, default=[],
                    help="extra NEXUS tree file to benchmark (repeatable)")
    ap.add_argument("--no-real", action="store_true", help="skip the real tree files")
    ap.add_argument("--no-synthetic", action="store_true", help="skip the synthetic sets")
    ap.add_argument("--annotated", action="store_true",
                    help="synthetic sets of 10^4 annotated trees at 50, 200 and 500 taxa "
                         "instead of the plain ones")
    ap.add_argument("--cache", type=Path, default=DEFAULT_CACHE,
                    help="where synthetic sets are generated (default bench/.cache)")
    ap.add_argument("--metrics", default="rf,wrf,kf")
    ap.add_argument("--phangorn-max-trees", type=int, default=None,
                    help="time phangorn on the first N trees of every input "
                         f"(default: all for real files, {PHANGORN_SYNTH_TREES} for synthetic)")
    ap.add_argument("--skip-phangorn", action="store_true")
    ap.add_argument("--skip-kestrilune", action="store_true")
    ap.add_argument("--no-variants", action="store_true",
                    help="skip the bytes-variant and same-n kestrilune runs")
    ap.add_argument("--no-scaling", action="store_true")
    ap.add_argument("--no-progress", action="store_true",
                    help="call without a ProgressCounter (no time split)")
    ap.add_argument("--python", default=sys.executable,
                    help="interpreter that imports kestrilune (default: this one)")
    ap.add_argument("--rscript", default="Rscript")
    ap.add_argument("--json", type=Path, help="also write all raw measurements here")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.worker:
        print(json.dumps(worker(json.loads(args.worker))))
        return 0

    metrics = [m for m in args.metrics.split(",") if m]
    inputs: list[Input] = []
    if not args.no_real:
        for key, fname in REAL_FILES:
            if args.quick and key not in QUICK_REAL:
                continue
            path = args.data_dir / fname
            if path.exists():
                inputs.append(Input(key, path))
            else:
                log(f"skipping {key}: {path} not found")
    for p in args.input:
        inputs.append(Input(p.stem, p))
    if not args.no_synthetic:
        sets = ANNOTATED if args.annotated else QUICK_SYNTHETIC if args.quick else SYNTHETIC
        for taxa, trees, seed in sets:
            path = ensure_synthetic(args.cache, taxa, trees, seed, args.annotated)
            kind = "ann" if args.annotated else "syn"
            inputs.append(Input(f"{kind}{taxa}x{trees}", path, synthetic=True))
    for inp in inputs:
        inp.taxa, inp.trees = count_trees(inp.path)
        if args.phangorn_max_trees:
            inp.phangorn_trees = args.phangorn_max_trees
        elif args.quick:
            inp.phangorn_trees = PHANGORN_QUICK_TREES
        elif inp.synthetic:
            inp.phangorn_trees = PHANGORN_SYNTH_TREES
        if inp.phangorn_trees and inp.phangorn_trees >= inp.trees:
            inp.phangorn_trees = None

    header = [f"machine: {os.cpu_count()} CPUs, Python {sys.version.split()[0]}, "
              f"load average at start {os.getloadavg()[0]:.2f}"]
    module = {"error": "skipped"} if args.skip_kestrilune else probe_module(args.python)
    have_module = "error" not in module
    if have_module:
        missing = [f for f in list(PLAIN_FUNCTIONS.values()) + list(BYTES_FUNCTIONS.values())
                   + ["ProgressCounter"] if f not in module["names"]]
        header.append(f"kestrilune: {module['file']}"
                      + (f" (missing: {', '.join(missing)})" if missing else ""))
    else:
        header.append(f"kestrilune: not measured ({module['error']})")
    if inputs:
        header.append(f"tree reader: {load_tree_file(str(inputs[0].path))[4]}")

    if not args.skip_phangorn:
        for inp in inputs:
            run_phangorn(inp, args.cache, metrics, args.rscript)
        info = next((i.phangorn_info for i in inputs if "phangorn" in i.phangorn_info), None)
        if info:
            header.append(f"phangorn {info['phangorn']} (ape {info['ape']}, R {info['R']}); "
                          "cpu/wall of its calls: "
                          + ", ".join(sorted({r['cpu_per_wall'] for i in inputs
                                              for r in i.phangorn.values()})))

    def job_for(inp: Input, metric: str, function: str, **kw) -> dict:
        s = {"file": str(inp.path), "metric": metric, "function": function,
             "check_n": inp.phangorn_trees or inp.trees, "progress": not args.no_progress}
        s.update(kw)
        return s

    scaling: list[tuple[str, dict]] = []
    if have_module:
        for inp in inputs:
            for metric in metrics:
                log(f"kestrilune: {inp.key} {metric} ...")
                inp.ours[(metric, "plain")] = run_worker(
                    job_for(inp, metric, PLAIN_FUNCTIONS[metric]), args.python)
                if args.no_variants:
                    continue
                if metric in ("wrf", "kf"):
                    inp.ours[(metric, "bytes")] = run_worker(
                        job_for(inp, metric, BYTES_FUNCTIONS[metric]), args.python)
                if inp.phangorn_trees:
                    inp.ours[(metric, "same_n")] = run_worker(
                        job_for(inp, metric, PLAIN_FUNCTIONS[metric],
                                 max_trees=inp.phangorn_trees), args.python)
        if not args.no_scaling and inputs and "rf" in metrics:
            target = max(inputs, key=lambda i: (i.taxa or 0) * (i.trees or 0) ** 2)
            for threads in ("1", "2"):
                log(f"kestrilune: scaling {target.key} RAYON_NUM_THREADS={threads} ...")
                o = run_worker(job_for(target, "rf", PLAIN_FUNCTIONS["rf"]), args.python,
                               {"RAYON_NUM_THREADS": threads})
                scaling.append((f"{target.key} threads={threads}", o))
            log(f"kestrilune: scaling {target.key} default threads, no counter ...")
            job = job_for(target, "rf", PLAIN_FUNCTIONS["rf"])
            job["progress"] = False
            scaling.append((f"{target.key} default, no counter", run_worker(job, args.python)))

    header.append(f"load average at end {os.getloadavg()[0]:.2f} (other work on the machine "
                  "slows both sides; rerun when it is idle)")
    print("\n".join(header))
    print()
    print(report(inputs, scaling, have_module))
    if args.json:
        raw = [{"input": i.key, "path": str(i.path), "taxa": i.taxa, "trees": i.trees,
                "phangorn_trees": i.phangorn_trees, "phangorn_info": i.phangorn_info,
                "phangorn": i.phangorn,
                "kestrilune": {f"{m}/{v}": o for (m, v), o in i.ours.items()}} for i in inputs]
        args.json.write_text(json.dumps({"header": header, "inputs": raw,
                                         "scaling": dict(scaling)}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Mutated byte forms of split tables, loaded for a given time: each must be refused with a
ValueError, or load to a table that every query handles.

    python scripts/stress_bytes.py --seconds 300 [--seed 1]

Run it under the sanitized build to catch what a clean refusal hides (reads past a buffer,
overflow): build and environment as in scripts/run_sanitized_tests.sh, then

    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)" \\
    PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1 \\
        build/venv-sanitized/bin/python scripts/stress_bytes.py --seconds 300

Mutations: bit flips, truncations, appended or repeated bytes, and edits of the form's own
fields (an array's count, an element set to a boundary value, two leaf sets swapped), each
on the current form (with its checksum) and on the version-1 form (none). What counts:

- current form: a changed form that loads is a finding unless its distances (RF, WRF, KF)
  equal the original's;
- version 1: a form that loads must answer every query (blocks of each metric, parents,
  counts, medoid, nearest, pickling) without an error other than ValueError; its
  distances may differ (a changed branch length is a valid table of other trees), which
  is counted, not reported;
- any exception but ValueError, and any load or query taking over --slow seconds, is a
  finding. A crash is the sanitizer's report.

Prints one line per finding and a summary; exits 1 if there was any finding.
"""

from __future__ import annotations

import argparse
import pickle
import random
import struct
import sys
import time
from pathlib import Path
from typing import Callable, Dict, List, Tuple

import numpy as np

from kestrilune_tools.table.engine import SplitTable
from kestrilune_tools.table.splits import from_table

ROOT = Path(__file__).resolve().parents[1]

# The body after the 8-byte header: flags, n_words, two string lists, six arrays.
ARRAYS = (("groups", 4), ("indptr", 8), ("ids", 4), ("lengths", 8), ("words", 8),
          ("first_seen", 4))


def tables() -> List[SplitTable]:
    """Small tables of every shape the form has: rooted or not, one and two leaf-set
    words, an unnamed leaf, two groups."""
    rng = random.Random(7)

    def tree(taxa: List[str]) -> str:
        nodes = [f"{t}:{rng.random():.3f}" for t in taxa]
        while len(nodes) > 2:
            a = nodes.pop(rng.randrange(len(nodes)))
            b = nodes.pop(rng.randrange(len(nodes)))
            nodes.append(f"({a},{b}):{rng.random():.3f}")
        return f"({nodes[0]},{nodes[1]});"

    out = []
    for n_taxa, n_trees, rooted in ((6, 5, False), (12, 9, True), (70, 6, False),
                                    (130, 4, True)):
        taxa = [f"T{i}" for i in range(n_taxa)]
        texts = [tree(taxa) for _ in range(n_trees)]
        out.append(SplitTable([str(i) for i in range(n_trees)], iter(texts), [{}],
                              [0] * n_trees, rooted=rooted, lengths=True,
                              groups=[i % 2 for i in range(n_trees)]))
    texts = ["((A:1,B:2):1,(C:1,:2):1);", "((A:1,C:2):1,(B:1,:2):1);", "((A:1,:2):1,(B:1,C:2):1);"]
    out.append(SplitTable(["a", "b", "c"], iter(texts), [{}], [0, 0, 0], lengths=True))
    return out


def fields(body: bytes) -> Dict[str, Tuple[int, int, int]]:
    """Field name -> (offset of its u64 count, offset of its data, element size), for the
    arrays; "flags" and "n_words" -> (offset, offset, 8)."""
    out = {"flags": (0, 0, 8), "n_words": (8, 8, 8)}
    at = 16
    for _ in range(2):  # leaf names, tree names
        (n,) = struct.unpack_from("<Q", body, at)
        at += 8
        for _ in range(n):
            (size,) = struct.unpack_from("<Q", body, at)
            at += 8 + size
    for name, size in ARRAYS:
        (n,) = struct.unpack_from("<Q", body, at)
        out[name] = (at, at + 8, size)
        at += 8 + n * size
    return out


BOUNDARY = (0, 1, 2, 3, 63, 64, 65, 127, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**63,
            2**64 - 1)


def mutate(form: bytes, header: int, rng: random.Random) -> Tuple[str, bytes]:
    """One mutation of `form` (whose body starts at `header`): (what, bytes)."""
    b = bytearray(form)
    kind = rng.randrange(7)
    if kind == 0:
        flips = rng.choice((1, 1, 1, 2, 3, 8))
        for _ in range(flips):
            bit = rng.randrange(len(b) * 8)
            b[bit // 8] ^= 1 << (bit % 8)
        return f"{flips} bit flip(s)", bytes(b)
    if kind == 1:
        cut = rng.randrange(len(b))
        return f"cut at {cut}", bytes(b[:cut])
    if kind == 2:
        extra = bytes(rng.randrange(256) for _ in range(rng.choice((1, 8, 64))))
        return f"{len(extra)} bytes appended", bytes(b) + extra
    if kind == 3:
        start = rng.randrange(len(b))
        chunk = b[start:start + rng.choice((4, 8, 16))]
        at = rng.randrange(len(b))
        return f"{len(chunk)} bytes from {start} repeated at {at}", bytes(b[:at] + chunk + b[at:])
    body_fields = fields(bytes(b[header:]))
    name = rng.choice(sorted(body_fields))
    count_at, data_at, size = body_fields[name]
    if kind == 4 or name in ("flags", "n_words"):  # a count (or a header field)
        value = rng.choice(BOUNDARY + (rng.randrange(1 << 20),))
        struct.pack_into("<Q", b, header + count_at, value % 2**64)
        return f"{name} count set to {value}", bytes(b)
    (n,) = struct.unpack_from("<Q", b, header + count_at)
    if n == 0:
        return f"{name} empty, unchanged", bytes(b)
    at = header + data_at + rng.randrange(n) * size
    if kind == 5:  # one element
        value = rng.choice(BOUNDARY) % (1 << (8 * size))
        b[at:at + size] = value.to_bytes(size, "little")
        return f"a {name} element set to {value}", bytes(b)
    other = header + data_at + rng.randrange(n) * size  # two elements swapped
    b[at:at + size], b[other:other + size] = b[other:other + size], b[at:at + size]
    return f"two {name} elements swapped", bytes(b)


def distances(t: SplitTable) -> List[np.ndarray]:
    return [t.rf(), t.wrf(), t.kf()]


def exercise(t: SplitTable) -> None:
    """Every query a loaded table must answer (ValueError allowed)."""
    calls: List[Callable[[], object]] = [
        lambda: distances(t), lambda: t.parents, lambda: t.condensed("kf"),
        lambda: t.medoid("wrf"), lambda: t.knn(1, "rf"), lambda: t.to(0, "kf"),
        lambda: t.histogram("rf"), lambda: t.row_sums("wrf"),
        lambda: t.take([0]).kf(),
        lambda: pickle.loads(pickle.dumps(t)).to_bytes(),
    ]
    # What the group numbers size (arrays per group, the offsets of a joined table's groups)
    # only for as many groups as a test would have: a valid table may number its groups up
    # to 2**31 - 1, and these queries have checks of their own for that.
    n_groups = int(t.groups.max(initial=0)) + 1
    if n_groups <= 64:
        calls += [lambda: t.counts(n_groups), lambda: t.lag_means("kf", 3),
                  lambda: from_table(t), lambda: t.joined(t).take([0]).kf(),
                  lambda: t.between(t, "kf")]
    for call in calls:
        try:
            call()
        except ValueError:
            pass


def main(argv: List[str]) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=float, default=60.0)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--slow", type=float, default=2.0,
                   help="a load or query slower than this is a finding (default 2 s)")
    p.add_argument("--verbose", action="store_true", help="print each mutation before its load")
    p.add_argument("--save", type=Path, metavar="DIR",
                   help="write the bytes of each finding here (finding-N.bin)")
    args = p.parse_args(argv)
    rng = random.Random(args.seed)
    sources = [(t, distances(t)) for t in tables()]
    stats = {"tried": 0, "refused": 0, "same": 0, "loaded v1, other distances": 0}
    findings: List[str] = []
    saved = 0

    def found(text: str) -> None:
        nonlocal saved
        findings.append(text)
        print("FINDING", text, flush=True)
        if args.save is not None:
            args.save.mkdir(parents=True, exist_ok=True)
            (args.save / f"finding-{saved}.bin").write_bytes(mutated)
            saved += 1

    end = time.monotonic() + args.seconds
    while time.monotonic() < end:
        index = rng.randrange(len(sources))
        table, original = sources[index]
        current = table.to_bytes()
        version = rng.choice((2, 1))
        form = current if version == 2 else b"KSTABLE1" + current[8:-8]
        what, mutated = mutate(form, 8, rng)
        label = f"table {index}, version {version}, {what}"
        stats["tried"] += 1
        if args.verbose:
            print(label, flush=True)
        started = time.monotonic()
        try:
            loaded = SplitTable.from_bytes(mutated)
        except ValueError as e:
            stats["refused"] += 1
            if "\n" in str(e) or not str(e):
                found(f"{label}: unclear message {str(e)!r}")
            continue
        except Exception as e:  # noqa: BLE001 - anything else is what we look for
            found(f"{label}: load raised {type(e).__name__}: {e}")
            continue
        try:
            same = all(a.shape == b.shape and np.array_equal(a, b, equal_nan=True)
                       for a, b in zip(distances(loaded), original))
        except ValueError:
            same = False
        except Exception as e:  # noqa: BLE001
            found(f"{label}: distances raised {type(e).__name__}: {e}")
            continue
        if same:
            stats["same"] += 1
        elif version == 2 and mutated != form:
            found(f"{label}: loaded with other distances despite the checksum")
        else:
            stats["loaded v1, other distances"] += 1
        try:
            exercise(loaded)
        except Exception as e:  # noqa: BLE001
            found(f"{label}: a query raised {type(e).__name__}: {e}")
        if time.monotonic() - started > args.slow:
            found(f"{label}: took {time.monotonic() - started:.1f} s")
    print(", ".join(f"{k} {v}" for k, v in stats.items()) + f", findings {len(findings)}")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

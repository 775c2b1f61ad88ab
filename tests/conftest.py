import os
import signal
import struct

import pytest

import kestrilune

# KESTRILUNE_TEST_QUICK=1 (set by the sanitized and per-ISA reruns of CI) shrinks the heavy
# cases: a test sizes its input with scaled(full, quick).
QUICK = os.environ.get("KESTRILUNE_TEST_QUICK") == "1"

# A sanitizer runtime preloaded into the interpreter (scripts/run_sanitized_tests.sh,
# scripts/run_tsan_tests.sh) reserves terabytes of address space for its shadow memory and
# holds freed memory in quarantine: address-space caps, resident-memory budgets and
# measurements of freed memory do not apply to such a run.
SANITIZER_PRELOADED = any(runtime in os.environ.get("LD_PRELOAD", "")
                          for runtime in ("libasan", "libtsan"))


# A test run started in the background by a shell inherits SIGINT ignored; Python then
# installs no KeyboardInterrupt handler, and neither a SIGINT nor _thread.interrupt_main()
# reaches the tests that interrupt a call (here or in a child process, which inherits the
# disposition). Those tests need the interpreter's usual handler.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def scaled(full: int, quick: int) -> int:
    """The size of a heavy case: `full` normally, `quick` when KESTRILUNE_TEST_QUICK=1."""
    return quick if QUICK else full


def run(fn, newicks, *, names=None, translate=None, rooted=False, progress=None):
    """Calls a pairwise function the simple way: one name and one shared map per tree."""
    newicks = list(newicks)
    names = [f"t{i}" for i in range(len(newicks))] if names is None else names
    maps = [translate or {}]
    return fn(names, iter(newicks), maps, [0] * len(names), rooted=rooted, progress=progress)


def cherry_trees(n_trees: int, n_taxa: int, seed: int) -> list:
    """Trees of n_taxa / 2 cherries joined at one node, with branch lengths, the taxa
    shuffled per tree: quick to write, and nearly every split differs between trees."""
    import random

    rng = random.Random(seed)
    taxa = [f"T{i}" for i in range(n_taxa)]
    trees = []
    for _ in range(n_trees):
        rng.shuffle(taxa)
        trees.append("(" + ",".join(f"({a}:1,{b}:2):0.5" for a, b in zip(taxa[::2], taxa[1::2]))
                     + ");")
    return trees


def balanced_trees(n_trees: int, n_taxa: int, seed: int) -> list:
    """One balanced shape with branch lengths, the taxa shuffled per tree: nearly every
    split of every size differs between trees, so the length kernels have much to do."""
    import random

    def balanced(leaves):
        half = len(leaves) // 2
        if half == 0:
            return leaves[0] + ":0.5"
        return "(" + balanced(leaves[:half]) + "," + balanced(leaves[half:]) + "):0.25"

    rng = random.Random(seed)
    template = balanced(["{}"] * n_taxa) + ";"
    taxa = [f"T{i}" for i in range(n_taxa)]
    trees = []
    for _ in range(n_trees):
        rng.shuffle(taxa)
        trees.append(template.format(*taxa))
    return trees


def u32_matrix(data: bytes) -> list:
    n = int(round((len(data) // 4) ** 0.5))
    cells = struct.unpack(f"<{n * n}I", data)
    return [list(cells[i * n : (i + 1) * n]) for i in range(n)]


def f64_matrix(data: bytes) -> list:
    n = int(round((len(data) // 8) ** 0.5))
    cells = struct.unpack(f"<{n * n}d", data)
    return [list(cells[i * n : (i + 1) * n]) for i in range(n)]


@pytest.fixture
def km():
    return kestrilune

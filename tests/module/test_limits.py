"""Leaks on every path, sizes that cannot fit, and inputs at the edges of what is valid."""

import gc
import itertools
import math
import os
import re
import signal
import subprocess
import sys
import textwrap
import tracemalloc
import weakref

import pytest

import kestrilune
from conftest import SANITIZER_PRELOADED, cherry_trees, scaled

FUNCTIONS = [getattr(kestrilune, name) for name in kestrilune.__all__[:6]]
FUNCTION_IDS = kestrilune.__all__[:6]
TREES = ["((A:1,B:2):1,(C:1,D:1):2);", "((A:1,C:2):1,(B:1,D:1):2);", "(A,(B,(C,D)));"]


class Trees:
    """An iterator that can be watched with a weak reference."""

    def __init__(self, items):
        self.items = iter(items)

    def __iter__(self):
        return self

    def __next__(self):
        item = next(self.items)
        if isinstance(item, type) and issubclass(item, BaseException):
            raise item("raised by the iterator")
        return item


def memory_limit():
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


def too_many_names(fn):
    # Enough trees that the matrix alone exceeds the machine's memory (a list of floats
    # takes about 32 bytes a cell, mirrored cells sharing their float; the byte forms 4 or 8).
    cell = 4 if "rf" in fn.__name__ else 8 if "snapshots" in fn.__name__ else 32
    return [str(i) for i in range(math.isqrt(memory_limit() // cell) + 1)]


# case: (names, items of the iterator, translate map, map indices, expected exception)
CASES = {
    "success": (["a", "b", "c"], TREES, {}, [0, 0, 0], None),
    "name-not-str": (["a", b"b", "c"], TREES, {}, [0, 0, 0], TypeError),
    "name-lone-surrogate": (["a", "\ud800", "c"], TREES, {}, [0, 0, 0], UnicodeEncodeError),
    "map-value-not-str": (["a", "b", "c"], TREES, {"A": 1}, [0, 0, 0], TypeError),
    "negative-map-index": (["a", "b", "c"], TREES, {}, [0, -1, 0], OverflowError),
    "lengths-differ": (["a", "b", "c"], TREES, {}, [0, 0], ValueError),
    "iterator-raises": (["a", "b", "c"], TREES[:1] + [KeyError], {}, [0, 0, 0], KeyError),
    "item-not-str": (["a", "b", "c"], TREES[:2] + [b"(A,B);"], {}, [0, 0, 0], TypeError),
    "text-lone-surrogate": (["a", "b", "c"], TREES[:2] + ["(\udc80,B);"], {}, [0, 0, 0],
                            UnicodeEncodeError),
    "surplus-text-lone-surrogate": (["a", "b"], TREES + ["\udc80"], {}, [0, 0],
                                    UnicodeEncodeError),
    "one-tree": (["a", "b", "c"], TREES[:1], {}, [0, 0, 0], ValueError),
    "fewer-trees-than-names": (["a", "b", "c"], TREES[:2], {}, [0, 0, 0], ValueError),
    "parse-failure": (["a", "b", "c"], TREES[:2] + ["((A,B"], {}, [0, 0, 0], ValueError),
    "leaf-set": (["a", "b", "c"], TREES[:2] + ["((A,B),(C,E));"], {}, [0, 0, 0], ValueError),
    "matrix-cannot-fit": (too_many_names, TREES, {}, None, MemoryError),
}


@pytest.mark.parametrize("case", CASES)
def test_no_leaks_on_any_path(case):
    names_of, items, translate, indices, error = CASES[case]
    for fn in FUNCTIONS:
        names = names_of(fn) if callable(names_of) else list(names_of)
        indices_ = [0] * len(names) if indices is None else indices
        maps = [dict(translate)]
        counter = kestrilune.ProgressCounter()
        watched = []

        def call():
            trees = Trees(items)
            watched.append(weakref.ref(trees))
            try:
                fn(names, trees, maps, indices_, progress=counter)
            except Exception as exc:
                assert error is not None and isinstance(exc, error), exc
            else:
                assert error is None

        rounds = 3 if case == "matrix-cannot-fit" else 40
        for _ in range(rounds):
            call()
        gc.collect()
        refs = [sys.getrefcount(x) for x in (names, maps, maps[0], indices_, counter)]
        tracemalloc.start()
        before = tracemalloc.take_snapshot()
        for _ in range(rounds):
            call()
        gc.collect()
        after = tracemalloc.take_snapshot()
        tracemalloc.stop()
        grown = sum(stat.size_diff for stat in after.compare_to(before, "filename"))
        assert [sys.getrefcount(x) for x in (names, maps, maps[0], indices_, counter)] == refs
        assert all(ref() is None for ref in watched), "an iterator outlived its call"
        assert grown < 16 * 1024, (fn.__name__, grown)


def test_no_leaks_when_a_signal_stops_a_call():
    # An endless iterator ends only by the timer's signal; its handler's exception is the
    # call's.
    class Alarm(Exception):
        pass

    def alarm(*_):
        raise Alarm

    names, maps, indices = ["a", "b", "c"], [{}], [0, 0, 0]
    counter = kestrilune.ProgressCounter()

    def call(fn):
        with pytest.raises(Alarm):
            signal.setitimer(signal.ITIMER_REAL, 0.02)
            fn(names, itertools.repeat(TREES[0]), maps, indices, progress=counter)

    previous = signal.signal(signal.SIGALRM, alarm)
    try:
        for fn in FUNCTIONS:
            for _ in range(3):
                call(fn)
            gc.collect()
            refs = [sys.getrefcount(x) for x in (names, maps, maps[0], indices, counter)]
            tracemalloc.start()
            before = tracemalloc.take_snapshot()
            for _ in range(10):
                call(fn)
            gc.collect()
            after = tracemalloc.take_snapshot()
            tracemalloc.stop()
            grown = sum(stat.size_diff for stat in after.compare_to(before, "filename"))
            assert [sys.getrefcount(x) for x in (names, maps, maps[0], indices, counter)] == refs
            assert grown < 16 * 1024, (fn.__name__, grown)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZER_PRELOADED, reason="freed memory stays in quarantine")
@pytest.mark.parametrize("fail_at_last_tree", [False, True], ids=["success", "last-tree-fails"])
def test_resident_memory_is_stable_over_repeated_calls(fail_at_last_tree):
    # Calls large enough that leaking a fraction of what one call allocates would show.
    trees = cherry_trees(300, 64, seed=5)
    if fail_at_last_tree:
        trees[-1] = trees[-1].replace("T0", "X0")
    names = [str(i) for i in range(len(trees))]

    def calls():
        for fn in FUNCTIONS:
            try:
                fn(names, iter(trees), [{}], [0] * len(trees))
            except ValueError:
                assert fail_at_last_tree

    for _ in range(3):
        calls()
    gc.collect()
    before = resident_bytes()
    for _ in range(10):
        calls()
    gc.collect()
    assert resident_bytes() - before < 16 << 20


@pytest.mark.parametrize("fn", FUNCTIONS, ids=FUNCTION_IDS)
def test_matrix_that_cannot_fit_fails_before_reading_a_tree(fn):
    names = too_many_names(fn)
    trees = iter(TREES)
    message = (r"^the distance matrix of %d trees needs [0-9.]+ [kMGTPE]B, more than the "
               r"[0-9.]+ [kMGTPE]B of memory this process may use$" % len(names))
    with pytest.raises(MemoryError, match=message):
        fn(names, trees, [{}], [0] * len(names))
    assert next(trees) == TREES[0]


def lying(base, method):
    """A subclass of base whose `method` (__len__, __length_hint__) tells `length`: a number
    or an exception to raise."""

    def tell(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def init(self, items, length):
        base.__init__(self, items)
        self.length = length

    return type(f"Lying{base.__name__}", (base,), {"__init__": init, method: tell})


LyingLength = lying(list, "__len__")
LyingHint = lying(Trees, "__length_hint__")


@pytest.mark.parametrize("length", [sys.maxsize, 2**62, 0, ValueError("no length")],
                         ids=["maxsize", "huge", "zero", "raises"])
@pytest.mark.parametrize("argument", ["names", "translate_maps", "map_indices", "newick_iter"])
def test_a_lying_len_is_only_a_hint(argument, length):
    args = dict(names=["a", "b", "c"], newick_iter=TREES, translate_maps=[{}],
                map_indices=[0, 0, 0])
    lying = LyingHint if argument == "newick_iter" else LyingLength
    args[argument] = lying(args[argument], length)
    args["newick_iter"] = iter(args["newick_iter"])
    _, matrix = kestrilune.pairwise_rf_from_newick_iter(**args)
    assert matrix == kestrilune.pairwise_rf_from_newick_iter(
        ["a", "b", "c"], iter(TREES), [{}], [0, 0, 0])[1]


def test_ctrl_c_in_a_len_is_not_swallowed():
    names = LyingLength(["a", "b", "c"], KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        kestrilune.pairwise_rf_from_newick_iter(names, iter(TREES), [{}], [0, 0, 0])


NUL = "A\x00x"


@pytest.mark.parametrize("where", ["label", "translated", "name"])
def test_nul_characters_are_ordinary_characters(where):
    trees = ["((A,B),(C,D));", "((A,C),(B,D));"]
    names, translate = ["a", "b"], {}
    if where == "label":
        trees = [t.replace("A", NUL) for t in trees]
    elif where == "translated":
        translate = {"A": NUL, "B": "B", "C": "C", "D": "D"}
    else:
        names = [NUL, "b"]
    result = kestrilune.pairwise_rf_with_snapshots_from_newick_iter(names, iter(trees),
                                                                    [translate], [0, 0])
    assert result[0] == names
    assert result[2] == sorted(["B", "C", "D", NUL if where != "name" else "A"])
    assert result[1][4:8] == (2).to_bytes(4, "little")


def test_long_labels():
    label = "L" * scaled(200 << 20, 20 << 20)
    trees = [f"(({label}:1,B:2),(C,D));", f"(({label}:3,C),(B,D));"]
    names, _, leaf_names, *_ = kestrilune.pairwise_wrf_with_snapshots_from_newick_iter(
        ["a", "b"], iter(trees), [{}], [0, 0])
    assert leaf_names[-1] == label and names == ["a", "b"]


@pytest.mark.parametrize("text, distance", [
    ("(" * 1_000_000 + "A,B" + ")" * 1_000_000 + ";", 0),
    ("(" + "(" * 500_000 + "A,B" + ")" * 500_000 + ",(C,D));", 0),
], ids=["nested-pair", "nested-beside-a-cherry"])
def test_a_million_nested_parentheses(text, distance):
    # Single-child nodes merge their edges, so each chain is one edge.
    from kestrilune_tools.table.engine import SplitTable

    other = "(A,B);" if text.count(",") == 1 else "((A,B),(C,D));"
    _, matrix = kestrilune.pairwise_rf_from_newick_iter(["a", "b"], iter([other, text]), [{}],
                                                        [0, 0])
    assert matrix[4:8] == distance.to_bytes(4, "little")
    table = SplitTable(["a", "b"], iter([other, text]), [{}], [0, 0])
    assert table.rf().tolist() == [[0, distance], [distance, 0]]


def test_a_million_leaf_caterpillar_is_refused_before_its_splits_are_built():
    # Its split table would take hundreds of GB; the tree itself parses in a few hundred MB.
    from kestrilune_tools.table.engine import SplitTable

    n = 1_000_000
    tree = "(" * (n - 1) + "A0," + ",".join(f"A{i})" for i in range(1, n)) + ";"
    message = r"^the split table of a tree of 1000000 leaves needs [0-9.]+ [GTP]B, more than"
    for build in (kestrilune.pairwise_rf_from_newick_iter, SplitTable):
        with pytest.raises(MemoryError, match=message):
            build(["a", "b"], iter([tree, tree]), [{}], [0, 0])


# Run with the address space capped (RLIMIT_AS), as a batch scheduler or `ulimit -v` would.
CAPPED = textwrap.dedent(
    r"""
    import resource, kestrilune as k
    cap = 2 << 30
    resource.setrlimit(resource.RLIMIT_AS, (cap, cap))

    def caterpillar(n):
        return "(" * (n - 1) + "A0," + ",".join(f"A{i})" for i in range(1, n)) + ";"

    def shuffled_trees(n, n_taxa):
        # One balanced shape with shuffled leaves: nearly every split differs between trees.
        import random
        def balanced(leaves):
            half = len(leaves) // 2
            return leaves[0] if half == 0 else f"({balanced(leaves[:half])},{balanced(leaves[half:])}):1"
        template = balanced(["{}"] * n_taxa) + ";"
        rng, taxa = random.Random(1), [f"T{i}" for i in range(n_taxa)]
        out = []
        for _ in range(n):
            rng.shuffle(taxa)
            out.append(template.format(*taxa))
        return out

    star = "(" + ",".join(f"A{i}" for i in range(10_000)) + ");"
    chained = "(" * 1_000_000 + star[1:-2] + ")" * 1_000_000 + ";"
    attempts = {
        "matrix": (["x"] * 25_000, ["(A,B);"] * 2),
        "first-tree": (["a", "b"], [caterpillar(70_000)] * 2),
        "later-tree": (["a", "b"], [star, chained]),
        "exports": ([str(i) for i in range(3000)], shuffled_trees(3000, 200)),
    }
    counter = k.ProgressCounter()
    for what, (names, trees) in attempts.items():
        fn = k.pairwise_wrf_with_snapshots_from_newick_iter if what == "exports" else k.pairwise_rf_from_newick_iter
        try:
            fn(names, iter(trees), [{}], [0] * len(names), progress=counter)
            print(what, "computed")
        except MemoryError as error:
            print(what, error)
    print("counter", counter.value(), counter.total())
    print(k.pairwise_rf_from_newick_iter(["a", "b"], iter(["(A,(B,C));"] * 2), [{}],
                                         [0, 0])[1].hex())
    """
)


@pytest.mark.skipif(SANITIZER_PRELOADED, reason="the shadow memory exceeds any cap")
def test_sizes_that_cannot_fit_under_an_address_space_cap():
    out = subprocess.run([sys.executable, "-c", CAPPED], capture_output=True, text=True,
                         timeout=300)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    more = r" needs [0-9.]+ [kMG]B, more than the 2.1 GB of memory this process may use$"
    assert re.match(r"^matrix the distance matrix of 25000 trees" + more, lines[0]), lines[0]
    assert re.match(r"^first-tree the split table of a tree of 70000 leaves" + more, lines[1])
    assert re.match(r"^later-tree the split table of a tree of 10000 leaves" + more, lines[2])
    # The snapshot exports are allocated before the kernel runs: it never started.
    assert re.match(r"^exports the result for 3000 trees with \d+ distinct splits" + more,
                    lines[3]), lines[3]
    assert lines[4] == "counter 0 0"
    assert lines[5] == "00" * 16

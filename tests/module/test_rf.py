"""Robinson-Foulds results, checked by hand and against a slow reference."""

import hashlib
import multiprocessing
import os
import random
import subprocess
import sys
import textwrap

import pytest

import kestrilune
import reference
from conftest import run, u32_matrix

rf = kestrilune.pairwise_rf_from_newick_iter


def caterpillar(n_taxa, collapse=()):
    """(t0,(t1,(t2,...(tN-2,tN-1)))) with the groups that start at the given leaves removed
    (their children join the parent group). Group k holds leaves k..N-1, for 1 <= k <= N-2."""
    text = f"t{n_taxa - 2},t{n_taxa - 1}"
    text = f"({text})" if n_taxa - 2 not in collapse else text
    for k in range(n_taxa - 3, 0, -1):
        text = f"t{k},{text}"
        if k not in collapse:
            text = f"({text})"
    return f"(t0,{text});"


def test_identical_trees_give_zero_bytes():
    names, matrix = run(rf, ["((A,B),(C,D));", "((B,A),(D,C));"])
    assert names == ["t0", "t1"]
    assert matrix == bytes(16)


def test_three_trees_layout():
    _, matrix = run(rf, ["((A,B),(C,D),E);", "((A,C),(B,D),E);", "((A,B),(C,E),D);"])
    assert len(matrix) == 36
    assert matrix[8:12] == matrix[24:28]
    assert u32_matrix(matrix) == [[0, 4, 2], [4, 0, 4], [2, 4, 0]]


@pytest.mark.parametrize(
    "trees, rooted, expected",
    [
        # Unrooted, both root positions of one tree: the same bipartitions.
        (["((A,B),(C,D));", "(A,(B,(C,D)));"], False, 0),
        # Rooted: clades {A,B},{C,D} against {C,D},{B,C,D}.
        (["((A,B),(C,D));", "(A,(B,(C,D)));"], True, 2),
        # Star tree against a resolved one: the resolved tree's two splits are unmatched.
        (["(A,B,C,D,E);", "((A,B),(C,D),E);"], False, 2),
        # Single-child nodes add nothing.
        (["((A,B),((C,D)),E);", "((A,B),(C,D),E);"], False, 0),
    ],
    ids=["unrooted re-rooting", "rooted clades", "star vs resolved", "single child"],
)
def test_hand_checked_pairs(trees, rooted, expected):
    _, matrix = run(rf, trees, rooted=rooted)
    assert u32_matrix(matrix) == [[0, expected], [expected, 0]]


@pytest.mark.parametrize("n_varying", [63, 64, 65, 128, 129])
@pytest.mark.parametrize("n_taxa", [70, 140])
def test_packed_row_word_boundaries(n_taxa, n_varying):
    # Tree 0 is a caterpillar; tree j lacks one of its internal edges, a different one each,
    # so exactly n_varying partitions vary and each pair of collapsed trees differs by 2.
    if n_varying > n_taxa - 4:
        pytest.skip("not enough internal edges")
    trees = [caterpillar(n_taxa)] + [caterpillar(n_taxa, {k}) for k in range(2, 2 + n_varying)]
    _, matrix = run(rf, trees)
    m = u32_matrix(matrix)
    n = len(trees)
    expected = [[0 if i == j else (1 if 0 in (i, j) else 2) for j in range(n)] for i in range(n)]
    assert m == expected


def random_sets():
    rng = random.Random(1234)
    for case in range(40):
        n_taxa = rng.choice([4, 5, 9, 30, 64, 65, 66, 129])
        taxa = [f"x{i}" for i in range(n_taxa)]
        n_trees = rng.randint(2, 9)
        options = dict(max_children=rng.choice([2, 3, 5]), single_child=rng.choice([0, 0.2]),
                       missing_length=rng.choice([0, 0.5]))
        yield case, [reference.random_newick(rng, taxa, **options) for _ in range(n_trees)]


@pytest.mark.parametrize("rooted", [False, True], ids=["unrooted", "rooted"])
def test_matches_reference_on_random_sets(rooted):
    for case, trees in random_sets():
        expected = reference.rf_matrix(reference.collect(trees, rooted))
        _, matrix = run(rf, trees, rooted=rooted)
        assert u32_matrix(matrix) == expected, f"case {case}"


def test_fork_child_can_compute():
    trees = [reference.random_newick(random.Random(s), [f"a{i}" for i in range(20)]) for s in range(50)]
    expected = run(rf, trees)  # the pool exists from here on
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(1) as pool:
        result = pool.apply_async(run, (rf, trees))
        assert result.get(timeout=60) == expected


POOL_SIZE_SCRIPT = textwrap.dedent(
    """
    import os, kestrilune
    if os.environ.get("PIN_ONE_CPU"):
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
    trees = ["((A,B),(C,D));", "((A,C),(B,D));"] * 10
    kestrilune.pairwise_rf_from_newick_iter([str(i) for i in range(20)], iter(trees), [{}], [0] * 20)
    print(len(os.listdir("/proc/self/task")) - 1)
    """
)


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "5"}, 5),
        ({"RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, "cpus"),
        ({}, "cpus"),
        ({"PIN_ONE_CPU": "1"}, 1),
    ],
    ids=["num threads", "one", "fallback", "rs only", "zero means cpus", "default", "affinity"],
)
def test_pool_size_from_environment(env, expected):
    clean = {k: v for k, v in os.environ.items() if not k.startswith("RAYON")}
    out = subprocess.run([sys.executable, "-c", POOL_SIZE_SCRIPT], env={**clean, **env},
                         capture_output=True, text=True, timeout=60, check=True)
    if expected == "cpus":
        expected = len(os.sched_getaffinity(0))
    assert int(out.stdout) == expected


DIGEST_SCRIPT = textwrap.dedent(
    """
    import hashlib, random, sys
    sys.path.insert(0, sys.argv[1])
    import kestrilune, reference
    rng = random.Random(7)
    taxa = [f"x{i}" for i in range(90)]
    trees = [reference.random_newick(rng, taxa, max_children=3) for _ in range(400)]
    _, m = kestrilune.pairwise_rf_from_newick_iter([str(i) for i in range(400)], iter(trees), [{}], [0] * 400)
    print(hashlib.sha256(m).hexdigest())
    """
)


def test_results_do_not_depend_on_thread_count():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))  # tests/: reference.py
    digests = set()
    for threads in ("1", "2", "5"):
        env = {**os.environ, "RAYON_NUM_THREADS": threads}
        out = subprocess.run([sys.executable, "-c", DIGEST_SCRIPT, here], env=env,
                             capture_output=True, text=True, timeout=120, check=True)
        digests.add(out.stdout.strip())
    assert len(digests) == 1

"""Weighted RF and branch score: values known by heart, awkward lengths, the shape of the
results, and agreement with a slow reference bit for bit on random tree sets."""

import math
import random
import struct

import pytest

import kestrilune
import reference
from conftest import run, u32_matrix

wrf = kestrilune.pairwise_wrf_from_newick_iter
kf = kestrilune.pairwise_kf_from_newick_iter
wrf_snap = kestrilune.pairwise_wrf_with_snapshots_from_newick_iter
kf_snap = kestrilune.pairwise_kf_with_snapshots_from_newick_iter
rf = kestrilune.pairwise_rf_from_newick_iter
rf_snap = kestrilune.pairwise_rf_with_snapshots_from_newick_iter

WRF_FNS = [wrf, wrf_snap]
KF_FNS = [kf, kf_snap]
LENGTH_FNS = WRF_FNS + KF_FNS
FN_IDS = ["wrf", "wrf bytes", "kf", "kf bytes"]


def bits(x: float) -> bytes:
    return struct.pack("<d", x)


def flat_cells(fn, trees, **kw) -> list:
    """The matrix as a flat list of floats, from the list or the bytes variant."""
    result = run(fn, trees, **kw)
    matrix = result[1]
    if isinstance(matrix, bytes):
        return list(struct.unpack(f"<{len(matrix) // 8}d", matrix))
    return matrix


def cell(fn, trees, i=0, j=1, **kw) -> float:
    cells = flat_cells(fn, trees, **kw)
    n = math.isqrt(len(cells))
    return cells[i * n + j]


# ------------------------------------------------------------------------ known values

# Tree A has p = {a,b}: 1.0 and q = {a,b,c}: 2.0, tree B has p: 1.5 and r = {c,d}: 1.0,
# every pendant edge 1.0. Unrooted, p is written as {c,d,e} and q as {d,e}, still three
# distinct partitions. Both modes: WRF 0.5 + 2.0 + 1.0, KF sqrt(0.25 + 4.0 + 1.0).
TREE_A = "(((a:1,b:1):1.0,c:1):2.0,d:1,e:1);"
TREE_B = "((a:1,b:1):1.5,(c:1,d:1):1.0,e:1);"


@pytest.mark.parametrize("rooted", [False, True], ids=["unrooted", "rooted"])
@pytest.mark.parametrize("fn, expected", [(wrf, 3.5), (wrf_snap, 3.5), (kf, math.sqrt(5.25)),
                                          (kf_snap, math.sqrt(5.25))], ids=FN_IDS)
def test_partitions_in_one_tree_only(fn, expected, rooted):
    cells = flat_cells(fn, [TREE_A, TREE_B], rooted=rooted)
    assert [bits(c) for c in cells] == [bits(0.0), bits(expected), bits(expected), bits(0.0)]


@pytest.mark.parametrize(
    "trees, rooted, expected_wrf, expected_kf",
    [
        # One pendant length differs by 0.75: pendant edges take part.
        (["((A:1,B:1):1,(C:1,D:1.75):1,E:1);", "((A:1,B:1):1,(C:1,D:1):1,E:1);"], False,
         0.75, 0.75),
        (["((A:1,B:1):1,(C:1,D:1.75):1,E:1);", "((A:1,B:1):1,(C:1,D:1):1,E:1);"], True,
         0.75, 0.75),
        # Unrooted, the two edges at a bifurcating root are one edge {C,D} of length 0.75.
        (["((A:1,B:1):0.5,(C:1,D:1):0.25);", "((A:1,B:1):0.75,(C:1,D:1));"], False, 0.0, 0.0),
        # Unrooted, a group that lacks one leaf is that leaf's pendant edge: C is 4 + 2 long.
        (["((A:1,B:1):2,C:4);", "(A:1,B:1,C:6);"], False, 0.0, 0.0),
        (["(A:1,(B:1,C:1):2);", "(A:3,B:1,C:1);"], False, 0.0, 0.0),
        # Rooted, the same group is a clade of its own: 2 + |4 - 6|, sqrt(4 + 4).
        (["((A:1,B:1):2,C:4);", "(A:1,B:1,C:6);"], True, 4.0, math.sqrt(8.0)),
    ],
    ids=["pendant unrooted", "pendant rooted", "root edges joined", "one leaf short",
         "one leaf short, first leaf", "rooted clade"],
)
def test_hand_checked_pairs(trees, rooted, expected_wrf, expected_kf):
    for fn in WRF_FNS:
        assert bits(cell(fn, trees, rooted=rooted)) == bits(expected_wrf)
    for fn in KF_FNS:
        assert bits(cell(fn, trees, rooted=rooted)) == bits(expected_kf)


IDENTICAL = ["((A:0.1,B:0.2):0.3,(C:0.7,D:1e-3):0.35,E:3);",
             "(E:3,(D:1e-3,C:0.7):0.35,(B:0.2,A:0.1):0.3);"]


@pytest.mark.parametrize("rooted", [False, True], ids=["unrooted", "rooted"])
@pytest.mark.parametrize("fn", LENGTH_FNS, ids=FN_IDS)
def test_identical_trees_are_exactly_zero(fn, rooted):
    cells = flat_cells(fn, IDENTICAL + IDENTICAL[:1], rooted=rooted)
    assert [bits(c) for c in cells] == [bits(0.0)] * 9


def test_identical_trees_kf_list():
    assert run(kf, ["((A:1,B:2):0.5,C:1,D:1);"] * 2)[1] == [0.0, 0.0, 0.0, 0.0]


def test_negative_branch_score_sum_is_clamped():
    # 1.1 against the next double: s0 + s1 - 2 dot cancels to a negative value.
    a, b = [0.3, 0.7, 1.1], [0.3, 0.7, 1.1000000000000003]
    s0, s1, dot = -0.0, -0.0, -0.0
    for x, y in zip(a, b):
        s0, s1, dot = s0 + x * x, s1 + y * y, dot + x * y
    assert (s0 + s1) - (dot + dot) < 0.0
    trees = ["(A:0.3,B:0.7,C:1.1);", "(A:0.3,B:0.7,C:1.1000000000000003);"]
    for fn in KF_FNS:
        assert [bits(c) for c in flat_cells(fn, trees)] == [bits(0.0)] * 4
    assert cell(wrf, trees) == abs(1.1 - 1.1000000000000003) > 0.0


# ------------------------------------------------------------------ awkward lengths


def test_nan_length_spoils_wrf_but_not_kf():
    trees = ["((A:1,B:nan):1,C:1,D:1);", "((A:1,B:1):1,C:1,D:1);", "((A:1,C:1):1,B:1,D:1);"]
    w = flat_cells(wrf, trees)
    k = flat_cells(kf, trees)
    for i, j in [(0, 1), (0, 2), (1, 0), (2, 0)]:
        assert math.isnan(w[i * 3 + j])
        assert bits(k[i * 3 + j]) == bits(0.0)
    assert w[1 * 3 + 2] == w[2 * 3 + 1] == 2.0
    assert k[1 * 3 + 2] == math.sqrt(2.0)


@pytest.mark.parametrize(
    "first, second, expected_wrf, expected_kf",
    [
        # KF in the expanded form: s0 + s1 - 2 dot is inf - inf, a NaN, which gives 0.0.
        ("inf", "1", math.inf, 0.0),
        ("-inf", "1", math.inf, math.inf),
        ("inf", "inf", math.nan, 0.0),
        ("inf", "-inf", math.inf, math.inf),
        ("-0", "0", 0.0, 0.0),
        ("-1.5", "1", 2.5, 2.5),
        # The squares overflow, the difference does not.
        ("1e300", "-1e300", 2e300, math.inf),
    ],
    ids=["inf", "-inf", "inf both", "inf opposite", "signed zero", "negative", "overflow"],
)
def test_non_finite_and_signed_lengths(first, second, expected_wrf, expected_kf):
    trees = [f"(A:{first},B:1,C:1);", f"(A:{second},B:1,C:1);"]
    for fn in WRF_FNS:
        got = cell(fn, trees)
        assert math.isnan(got) if math.isnan(expected_wrf) else bits(got) == bits(expected_wrf)
    for fn in KF_FNS:
        assert bits(cell(fn, trees)) == bits(expected_kf)


def test_negative_zero_lengths_give_positive_zero():
    # -0.0 pendant lengths, a single-child group adding -0.0 to -0.0, against 0.0 and a
    # missing length: every cell is +0.0.
    trees = ["((A:-0):-0,B:1,C:1);", "(A:0,B:1,C:1);", "(A,B:1,C:1);", "(A:-0,B:1,C:1);"]
    for fn in LENGTH_FNS:
        assert [bits(c) for c in flat_cells(fn, trees)] == [bits(0.0)] * 16


# ------------------------------------------------------------------------- shapes


def random_trees(seed, n_trees, n_taxa=12):
    rng = random.Random(seed)
    return [reference.random_newick(rng, [f"s{i}" for i in range(n_taxa)], max_children=3)
            for _ in range(n_trees)]


@pytest.mark.parametrize("fn", LENGTH_FNS, ids=FN_IDS)
def test_matrix_is_symmetric_bit_for_bit(fn):
    cells = flat_cells(fn, random_trees(11, 14))
    raw = [bits(c) for c in cells]
    n = 14
    for i in range(n):
        assert raw[i * n + i] == bits(0.0)
        for j in range(i + 1, n):
            assert raw[i * n + j] == raw[j * n + i], (i, j)


@pytest.mark.parametrize("plain, snap", [(wrf, wrf_snap), (kf, kf_snap)], ids=["wrf", "kf"])
def test_flat_list_and_bytes(plain, snap):
    trees = random_trees(12, 3)
    names, cells = run(plain, trees, names=["a", "b", "c"])
    assert names == ["a", "b", "c"]
    assert type(cells) is list and len(cells) == 9
    assert all(type(c) is float for c in cells)
    _, matrix, *_ = run(snap, trees)
    assert len(matrix) == 72
    # Element 5 is trees 1 and 2.
    assert bits(cells[5]) == matrix[40:48] == matrix[56:64]
    assert struct.pack("<9d", *cells) == matrix


@pytest.mark.parametrize("fn", LENGTH_FNS + [rf, rf_snap], ids=FN_IDS + ["rf", "rf bytes"])
def test_counter_does_not_change_the_result(fn):
    trees = random_trees(13, 9)
    counter = kestrilune.ProgressCounter()
    with_counter = run(fn, trees, progress=counter)
    assert counter.value() == counter.total() == 36
    without = run(fn, trees)
    if isinstance(without[1], list):
        assert [bits(c) for c in with_counter[1]] == [bits(c) for c in without[1]]
        assert with_counter[0] == without[0]
    else:
        assert with_counter == without


# ------------------------------------------------------------- against the reference


def packed(matrix: list) -> bytes:
    return b"".join(bits(c) for row in matrix for c in row)


@pytest.mark.parametrize("chunk", range(8))
def test_every_matrix_matches_the_reference(chunk):
    # 40 random calls per chunk; the odd chunks sprinkle special lengths (NaN, inf, -0.0,
    # tiny and huge values) into the trees.
    rng = random.Random(1000 + chunk)
    special_rate = 0.0 if chunk % 2 == 0 else rng.choice([0.01, 0.05])
    for case in range(40):
        s = reference.random_tree_set(rng, special_rate=special_rate)
        where = f"chunk {chunk} case {case}"
        ref = reference.collect(s.newicks, s.rooted, s.translate)
        kw = dict(rooted=s.rooted, translate=s.translate)
        expected_rf = reference.rf_matrix(ref)
        assert u32_matrix(run(rf, s.newicks, **kw)[1]) == expected_rf, where
        assert u32_matrix(run(rf_snap, s.newicks, **kw)[1]) == expected_rf, where
        for plain, snap, expected in [(wrf, wrf_snap, reference.wrf_matrix(ref)),
                                      (kf, kf_snap, reference.kf_matrix(ref))]:
            want = packed(expected)
            got_list = run(plain, s.newicks, **kw)[1]
            assert b"".join(bits(c) for c in got_list) == want, f"{where} {plain.__name__}"
            assert run(snap, s.newicks, **kw)[1] == want, f"{where} {snap.__name__}"

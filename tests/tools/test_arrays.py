"""NumPy views of the pairwise results (kestrilune_tools.arrays)."""

import struct
from pathlib import Path

import numpy as np
import pytest

import kestrilune
from kestrilune_tools import arrays
from kestrilune_tools.reading import read_trees

DATA = Path(__file__).parents[1] / "data"
QUARTETS = ["((A:1,B:2):0.5,(C:3,D:4):0.5);", "((A:1,C:2):0.5,(B:3,D:4):0.5);",
            "((A:1,B:2):1.5,(C:3,D:4):1.5);"]


def _fn(name):
    fn = getattr(kestrilune, name, None)
    if fn is None:
        pytest.skip(f"kestrilune.{name} is not built yet")
    return fn


def _call(name, newicks, rooted=False):
    names = [f"t{i}" for i in range(len(newicks))]
    return _fn(name)(names, iter(newicks), [{}], [0] * len(newicks), rooted=rooted)


# ----------------------------------------------------------------------------- layouts


def test_rf_matrix_is_a_readonly_view_of_the_bytes():
    data = struct.pack("<9I", 0, 2, 4, 2, 0, 6, 4, 6, 0)
    m = arrays.rf_matrix((["a", "b", "c"], data))
    assert m.dtype == np.dtype("<i4") and m.shape == (3, 3)
    assert m[0, 2] == 4 and m[1, 2] == 6
    assert m.base is data or m.base.base is data
    assert not m.flags.writeable


@pytest.mark.parametrize("result, dtype", [
    ((["a", "b"], struct.pack("<4I", 0, 3, 3, 0)), np.int32),
    ((["a", "b"], struct.pack("<4d", 0, 1.5, 1.5, 0)), np.float64),
    ((["a", "b"], [0.0, 1.5, 1.5, 0.0]), np.float64),
    ((["a", "b"], struct.pack("<4d", 0, 1.5, 1.5, 0), ["A"], 0, b"", b""), np.float64),
])
def test_matrix_recognises_cell_type(result, dtype):
    m = arrays.matrix(result)
    assert m.dtype == dtype and m.shape == (2, 2)
    assert m[0, 1] == m[1, 0] and m[0, 1] in (3, 1.5)


@pytest.mark.parametrize("result, error", [
    ((["a"], b"\x00" * 12), ValueError),  # 3 cells are not square
    ((["a"],), TypeError),
    ("not a result", TypeError),
])
def test_bad_results_are_refused(result, error):
    with pytest.raises(error):
        arrays.matrix(result)


def test_splits_of_nine_taxa_use_two_byte_rows():
    leaves = [f"L{i}" for i in range(9)]
    # Two splits: {L8} (bit 0 of byte 1) and {L0, L1, L7}.
    clades = bytes([0x00, 0x01, 0b10000011, 0x00])
    presence_bytes = bytes([1, 0, 1, 1])  # 2 trees x 2 splits
    res = (["t0", "t1"], struct.pack("<4I", 0, 1, 1, 0), leaves, 2, presence_bytes, clades)
    member, names = arrays.splits(res)
    assert member.dtype == bool and member.shape == (2, 9) and names == leaves
    assert np.flatnonzero(member[0]).tolist() == [8]
    assert np.flatnonzero(member[1]).tolist() == [0, 1, 7]
    table, labels = arrays.presence(res)
    assert labels == ["L8", "L0|L1|L7"]
    assert table.dtype == bool and table.tolist() == [[True, False], [True, True]]


def test_branch_lengths_layout():
    lengths = struct.pack("<4d", 0.5, 0.0, 0.25, 2.0)
    res = (["t0", "t1"], struct.pack("<4d", 0, 1, 1, 0), ["A", "B", "C"], 2, lengths,
           bytes([0x01, 0x06]))
    table, labels = arrays.branch_lengths(res)
    assert table.shape == (2, 2) and table.dtype == np.float64
    assert table.tolist() == [[0.5, 0.0], [0.25, 2.0]] and labels == ["A", "B|C"]
    with pytest.raises(ValueError):
        arrays.presence(res)  # 32 bytes are not 2 x 2 presence bytes


# ----------------------------------------------------------------------------- module


def test_rf_views_agree_with_the_module_bytes():
    res = _call("pairwise_rf_from_newick_iter", QUARTETS)
    m = arrays.rf_matrix(res)
    cells = struct.unpack("<9I", res[1])
    assert m.shape == (3, 3) and m.ravel().tolist() == list(cells)
    assert m.tolist() == [[0, 2, 0], [2, 0, 2], [0, 2, 0]]


def test_rf_snapshot_views_of_a_quartet():
    res = _call("pairwise_rf_with_snapshots_from_newick_iter", ["((A,B),(C,D));"] * 2)
    member, names = arrays.splits(res)
    assert names == ["A", "B", "C", "D"]
    # Splits in ascending order: the four pendant edges, then the canonical side {C, D}.
    assert np.packbits(member, axis=1, bitorder="little").ravel().tolist() == [
        0x01, 0x02, 0x04, 0x08, 0x0C]
    table, labels = arrays.presence(res)
    assert labels == ["A", "B", "C", "D", "C|D"]
    assert table.shape == (2, 5) and table.all()


@pytest.mark.parametrize("metric", ["wrf", "kf"])
def test_length_views_agree_between_plain_and_snapshot_variants(metric):
    plain = _call(f"pairwise_{metric}_from_newick_iter", QUARTETS)
    snap = _call(f"pairwise_{metric}_with_snapshots_from_newick_iter", QUARTETS)
    a, b = arrays.float_matrix(plain), arrays.float_matrix(snap)
    assert a.shape == b.shape == (3, 3) and a.dtype == b.dtype == np.float64
    np.testing.assert_array_equal(a, b)
    assert a[0, 2] > 0 and a[0, 2] == a[2, 0]
    table, labels = arrays.branch_lengths(snap)
    assert table.shape == (3, snap[3]) and len(labels) == snap[3]
    # Pendant edge of A: length 1 in every tree.
    assert table[:, labels.index("A")].tolist() == [1.0, 1.0, 1.0]


@pytest.mark.parametrize("metric", arrays.METRICS)
def test_distance_matrix_on_a_treeset(metric):
    ts = read_trees([DATA / "run_a.nex", DATA / "run_b.nex"])
    _fn(f"pairwise_{metric}_from_newick_iter")
    counter = kestrilune.ProgressCounter()
    m = arrays.distance_matrix(metric, ts, progress=counter)
    assert m.shape == (5, 5)
    assert m.dtype == (np.int32 if metric == "rf" else np.float64)
    assert counter.total() == counter.value() == 10
    np.testing.assert_array_equal(m, m.T)
    shared = arrays.distance_matrix(metric, read_trees(DATA / "run_ab_shared.nex"))
    np.testing.assert_array_equal(m, shared)


def test_two_runs_with_different_numbering_match_one_shared_map():
    _fn("pairwise_rf_from_newick_iter")
    ts = read_trees([DATA / "run_a.nex", DATA / "run_b.nex"])
    m = arrays.distance_matrix("rf", ts)
    assert m.tolist() == [[0, 2, 4, 2, 0], [2, 0, 4, 0, 2], [4, 4, 0, 4, 4],
                          [2, 0, 4, 0, 2], [0, 2, 4, 2, 0]]


def test_quirky_nexus_file_through_the_module():
    m = arrays.distance_matrix("rf", read_trees(DATA / "quirks.nex"))
    assert m.tolist() == [[0, 4, 0, 0], [4, 0, 4, 4], [0, 4, 0, 0], [0, 4, 0, 0]]


@pytest.mark.parametrize("new_per_tree, expected", [(0, True), (10, False)],
                         ids=["one-topology", "every-tree-new"])
def test_snapshot_variant_chosen_from_the_split_discovery_of_a_sample(
        monkeypatch, new_per_tree, expected):
    import types

    calls = []

    def rf_snapshots(names, newicks, maps, indices, rooted):
        m = len(list(newicks))
        calls.append(m)
        leaves, shared = 12, 30  # pendant edges and splits every tree holds
        n_bip = leaves + shared + m * new_per_tree
        table = np.zeros((m, n_bip), dtype=np.uint8)
        table[:, : leaves + shared] = 1
        for t in range(m):
            table[t, leaves + shared + t * new_per_tree: leaves + shared + (t + 1) *
                  new_per_tree] = 1
        return (names, bytes(4 * m * m), [f"L{i}" for i in range(leaves)], n_bip,
                table.tobytes(), bytes(2 * n_bip))

    monkeypatch.setattr(arrays, "_SNAPSHOT_BUDGET", 0)
    fake = types.SimpleNamespace(pairwise_rf_with_snapshots_from_newick_iter=rf_snapshots)
    ts = read_trees(Path(__file__).parents[2] / "examples" / "mrbayes_primates_12taxa.t")
    assert arrays.snapshots_worthwhile("kf", ts, module=fake) is expected
    assert calls == [arrays._SPLIT_SAMPLE]


def test_unknown_metric():
    with pytest.raises(ValueError, match="unknown metric"):
        arrays.pairwise("nni", read_trees(DATA / "plain.nwk"))

"""The snapshot variants' exports: presence, branch-length and clade bytes rebuilt as NumPy
arrays, checked by hand and against a slow reference."""

import math
import random
from dataclasses import dataclass

import numpy as np
import pytest

import kestrilune
import reference
from conftest import run

rf_snap = kestrilune.pairwise_rf_with_snapshots_from_newick_iter
wrf_snap = kestrilune.pairwise_wrf_with_snapshots_from_newick_iter
kf_snap = kestrilune.pairwise_kf_with_snapshots_from_newick_iter
SNAP_FNS = [rf_snap, wrf_snap, kf_snap]
SNAP_IDS = ["rf", "wrf", "kf"]


@dataclass
class Exports:
    names: list
    matrix: np.ndarray  # n x n
    leaf_names: list
    n_bip: int
    table: np.ndarray  # presence (uint8) or branch lengths (float64), n x n_bip
    raw_table: bytes
    clades: bytes
    row_bytes: int

    def clade_rows(self) -> np.ndarray:
        """n_bip x row_bytes bytes."""
        return np.frombuffer(self.clades, dtype=np.uint8).reshape(self.n_bip, self.row_bytes)

    def clade_bits(self) -> np.ndarray:
        """n_bip x (8 * row_bytes) leaf bits, bit i of a row being leaf i."""
        return np.unpackbits(self.clade_rows(), axis=1, bitorder="little")


def exports(fn, trees, **kw) -> Exports:
    names, matrix, leaf_names, n_bip, table, clades = run(fn, trees, **kw)
    n = len(trees)
    presence = fn is rf_snap
    dtype = np.dtype("<u4") if presence else np.dtype("<f8")
    table_dtype = np.uint8 if presence else np.dtype("<f8")
    return Exports(
        names=names,
        matrix=np.frombuffer(matrix, dtype=dtype).reshape(n, n),
        leaf_names=leaf_names,
        n_bip=n_bip,
        table=np.frombuffer(table, dtype=table_dtype).reshape(n, n_bip),
        raw_table=table,
        clades=clades,
        row_bytes=(len(leaf_names) + 7) // 8,
    )


# ------------------------------------------------------------------------ by hand


@pytest.mark.parametrize("fn", SNAP_FNS, ids=SNAP_IDS)
@pytest.mark.parametrize(
    "rooted, rows",
    [
        # Unrooted: {A}, {B}, {C}, {D} and {C,D}, the side without the first leaf.
        (False, [0x01, 0x02, 0x04, 0x08, 0x0C]),
        # Rooted: the clades {A,B} and {C,D} besides the pendant edges.
        (True, [0x01, 0x02, 0x03, 0x04, 0x08, 0x0C]),
    ],
    ids=["unrooted", "rooted"],
)
def test_quartet(fn, rooted, rows):
    e = exports(fn, ["((A:1,B:2):0.5,(C:3,D:4):0.25);", "((B:2,A:1):0.5,(D:4,C:3):0.25);"],
                rooted=rooted)
    assert e.leaf_names == ["A", "B", "C", "D"]
    assert e.n_bip == len(rows)
    assert e.clades == bytes(rows)
    if fn is rf_snap:
        assert (e.table == 1).all()
    else:
        # Unrooted, the two root edges are one edge {C,D} of length 0.75.
        lengths = [1, 2, 3, 4, 0.75] if not rooted else [1, 2, 0.5, 3, 4, 0.25]
        assert e.table.tolist() == [lengths, lengths]


def test_partition_missing_from_a_tree():
    # {A,B} is written {C,D,E}, {C,D} stays; tree 1 has {A,C} written {B,D,E} instead.
    trees = ["((A:1,B:1):3,(C:1,D:1):2,E:1);", "((A:1,C:1):4,(B:1,D:1):5,E:1);"]
    leaves = ["A", "B", "C", "D", "E"]
    presence = exports(rf_snap, trees)
    lengths = exports(wrf_snap, trees)
    masks = [sum(1 << leaves.index(x) for x in split) for split in ["CD", "CDE", "BD", "BDE"]]
    rows = presence.clade_rows()[:, 0].tolist()
    for mask, t, length in [(masks[0], 0, 2.0), (masks[1], 0, 3.0), (masks[2], 1, 5.0),
                            (masks[3], 1, 4.0)]:
        col = rows.index(mask)
        assert presence.table[t, col] == 1 and presence.table[1 - t, col] == 0
        assert lengths.table[t, col] == length
        assert np.frombuffer(lengths.raw_table, "<u8").reshape(2, -1)[1 - t, col] == 0


def test_nine_leaves_use_two_byte_rows():
    trees = ["(((A,B),(C,D)),((E,F),(G,(H,I))));", "(((A,C),(B,D)),((E,F),(G,(H,I))));"]
    e = exports(rf_snap, trees)
    assert e.leaf_names == list("ABCDEFGHI")
    assert e.row_bytes == 2 and len(e.clades) == 2 * e.n_bip
    rows = e.clade_rows()
    # The pendant edge of leaf 8 (I) is bit 0 of the second byte; bits 9 to 15 stay 0.
    assert [0x00, 0x01] in rows.tolist()
    assert not e.clade_bits()[:, 9:].any()
    # {H,I}: leaf 7 is the top bit of byte 0, leaf 8 bit 0 of byte 1.
    assert [0x80, 0x01] in rows.tolist()


@pytest.mark.parametrize("rooted", [False, True], ids=["unrooted", "rooted"])
@pytest.mark.parametrize("fn", SNAP_FNS, ids=SNAP_IDS)
def test_buffer_sizes_agree_on_n_bip(fn, rooted):
    trees = random_trees(21, 7, 19)
    names, matrix, leaf_names, n_bip, table, clades = run(fn, trees, rooted=rooted)
    n = len(trees)
    cell_bytes = 1 if fn is rf_snap else 8
    assert len(matrix) == n * n * (4 if fn is rf_snap else 8)
    assert len(table) == n * n_bip * cell_bytes
    assert len(clades) == n_bip * math.ceil(len(leaf_names) / 8)
    assert n_bip == len(reference.collect(trees, rooted).bips)


def test_rooted_and_unrooted_n_bip_differ():
    trees = ["((A,B),(C,D));", "((A,C),(B,D));"]
    unrooted = run(rf_snap, trees)[3]
    rooted = run(rf_snap, trees, rooted=True)[3]
    assert (unrooted, rooted) == (6, 8)


def random_trees(seed, n_trees, n_taxa):
    rng = random.Random(seed)
    taxa = [f"s{i}" for i in range(n_taxa)]
    return [reference.random_newick(rng, taxa, max_children=3, missing_length=0.2)
            for _ in range(n_trees)]


@pytest.mark.parametrize("fn", SNAP_FNS, ids=SNAP_IDS)
def test_reordered_trees_move_only_rows(fn):
    trees = random_trees(22, 8, 23)
    perm = [5, 2, 7, 0, 1, 6, 3, 4]
    a = exports(fn, trees)
    b = exports(fn, [trees[p] for p in perm])
    assert (b.leaf_names, b.n_bip, b.clades) == (a.leaf_names, a.n_bip, a.clades)
    assert np.array_equal(b.table.view(np.uint8), a.table[perm].view(np.uint8))
    moved = a.matrix[np.ix_(perm, perm)]
    if fn is rf_snap:
        assert np.array_equal(b.matrix, moved)
    else:
        # Partition ids follow the tree order, and the sums run in id order: the last bits
        # of a cell may change.
        assert np.allclose(b.matrix, moved, rtol=1e-12, atol=1e-9)


def test_rf_counts_differing_presence_columns():
    for rooted in (False, True):
        e = exports(rf_snap, random_trees(23, 9, 15), rooted=rooted)
        differing = (e.table[:, None, :] != e.table[None, :, :]).sum(axis=2)
        assert np.array_equal(e.matrix, differing)


def test_length_matrices_follow_branch_length_rows():
    trees = random_trees(24, 9, 30)
    w = exports(wrf_snap, trees)
    k = exports(kf_snap, trees)
    assert np.array_equal(w.table, k.table)
    rows = w.table
    for i in range(len(trees)):
        for j in range(len(trees)):
            diff = rows[i] - rows[j]
            # Column order and the expanded KF form may change the last bits.
            assert math.isclose(w.matrix[i, j], np.abs(diff).sum(), rel_tol=1e-12)
            assert math.isclose(k.matrix[i, j], math.sqrt((diff ** 2).sum()), rel_tol=1e-9,
                                abs_tol=1e-6)


@pytest.mark.parametrize(
    "named, trees, expected_rows",
    [
        # Unnamed leaf u (label 9) sorts first: u = bit 0, A = 1, B = 2, C = 3. {C,u} holds
        # bit 0, so it is written {A,B}.
        ({"1": "A", "2": "B", "3": "C"}, ["((1,2),(3,9));", "((1,2),(9,3));"],
         [0x01, 0x02, 0x04, 0x06, 0x08]),
        # Eight named leaves: one-byte rows, so H (bit 8) falls outside its own row.
        ({str(i + 1): c for i, c in enumerate("ABCDEFGH")},
         ["(1,2,3,4,5,6,7,8,9);", "(2,1,3,4,5,6,7,8,9);"],
         [0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80]),
    ],
    ids=["three named", "eight named"],
)
def test_unnamed_leaf_in_tree_zero(named, trees, expected_rows):
    for fn in SNAP_FNS:
        e = exports(fn, trees, translate=named)
        assert e.leaf_names == sorted(named.values())
        assert e.row_bytes == (len(named) + 7) // 8
        assert sorted(e.clades) == expected_rows
        ref = reference.collect(trees, False, named)
        assert e.clades == clade_bytes(ref, e.row_bytes)


# --------------------------------------------------------------- against the reference


def clade_bytes(ref, row_bytes) -> bytes:
    return b"".join(ref.bips[k].to_bytes(8 * ref.n_words, "little")[:row_bytes]
                    for k in reference.columns(ref))


@pytest.mark.parametrize("chunk", range(6))
def test_exports_match_the_reference(chunk):
    rng = random.Random(2000 + chunk)
    special_rate = 0.0 if chunk % 2 == 0 else 0.05
    for case in range(30):
        s = reference.random_tree_set(rng, special_rate=special_rate)
        where = f"chunk {chunk} case {case}"
        ref = reference.collect(s.newicks, s.rooted, s.translate)
        cols = reference.columns(ref)
        n = len(s.newicks)
        presence = np.array([[k in tree for k in cols] for tree in ref.trees], dtype=np.uint8)
        lengths = np.array([[tree.get(k, 0.0) for k in cols] for tree in ref.trees],
                           dtype="<f8").reshape(n, len(cols))
        row_bytes = (len(ref.leaf_names) + 7) // 8
        for fn in SNAP_FNS:
            e = exports(fn, s.newicks, rooted=s.rooted, translate=s.translate)
            assert e.leaf_names == ref.leaf_names, where
            assert e.n_bip == len(ref.bips), where
            assert e.clades == clade_bytes(ref, row_bytes), where
            # Every leaf has a name here, so no bit past the last leaf is set.
            assert not e.clade_bits()[:, len(ref.leaf_names):].any(), where
            if fn is rf_snap:
                assert np.array_equal(e.table, presence), where
                assert e.matrix.tolist() == reference.rf_matrix(ref), where
            else:
                assert e.raw_table == lengths.tobytes(), where

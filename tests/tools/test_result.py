"""TreeDistances: the matrix with its labels, safe arithmetic, normalisations, files, interop."""

from pathlib import Path

import numpy as np
import pytest

import kestrilune
from kestrilune_tools import arrays, read_trees, tree_distances
from kestrilune_tools.table.result import TreeDistances

DATA = Path(__file__).parents[1] / "data"

# phangorn 2.11.1 on tests/data/polytomies.nwk (two trees with polytomies, one star tree):
#   Rscript -e 'library(phangorn); t <- read.tree("polytomies.nwk");
#               print(as.matrix(RF.dist(t))); print(as.matrix(RF.dist(t, normalize=TRUE)))'
PHANGORN_RF = [[0, 5, 3, 3, 5], [5, 0, 2, 6, 6], [3, 2, 0, 4, 4], [3, 6, 4, 0, 4],
               [5, 6, 4, 4, 0]]
PHANGORN_NORMALIZED = [[0, 1, 1, 0.4285714, 0.7142857], [1, 0, 1, 1, 1], [1, 1, 0, 1, 1],
                       [0.4285714, 1, 1, 0, 0.5], [0.7142857, 1, 1, 0.5, 0]]


@pytest.fixture(scope="module")
def poly():
    return tree_distances("rf", read_trees(DATA / "polytomies.nwk"), splits=True)


def test_rf_matrix_is_signed_and_agrees_with_phangorn(poly):
    assert poly.matrix.dtype == np.int32 and not poly.matrix.flags.writeable
    np.testing.assert_array_equal(poly.matrix, PHANGORN_RF)
    assert poly.matrix[0, 2] - poly.matrix[0, 1] == -2  # uint32 cells would wrap here
    assert poly.stored_matrix().dtype == np.int32
    assert poly.names == ("tree_1", "tree_2", "tree_3", "tree_4", "tree_5")
    assert poly.n_leaves == 7 and poly.leaf_names == tuple("ABCDEFG")


def test_normalisations(poly):
    np.testing.assert_allclose(poly.normalized("phangorn"), PHANGORN_NORMALIZED, atol=1e-7)
    assert poly.splits_per_tree().tolist() == [3, 2, 0, 4, 4]
    np.testing.assert_array_equal(poly.normalized("raxml-ng"), np.array(PHANGORN_RF) / 8)
    with pytest.raises(ValueError, match="unknown normalisation"):
        poly.normalized("max")
    kf = tree_distances("kf", read_trees(DATA / "polytomies.nwk"))
    with pytest.raises(ValueError, match="defined for RF, not kf"):
        kf.normalized("raxml-ng")


@pytest.mark.parametrize("metric, splits", [("rf", False), ("rf", True), ("wrf", False),
                                            ("kf", True)])
def test_same_matrix_with_or_without_split_data(metric, splits):
    ts = read_trees([DATA / "run_a.nex", DATA / "run_b.nex"])
    res = tree_distances(metric, ts, splits=splits)
    np.testing.assert_array_equal(res.matrix, arrays.distance_matrix(metric, ts))
    assert (res.split_membership is not None) == splits
    assert res.n_leaves == 5 and res.settings["files"] == [f.path for f in ts.files]


def test_condensed_order_is_scipys_and_skbio_takes_the_names(poly):
    distance = pytest.importorskip("scipy.spatial.distance")
    np.testing.assert_array_equal(poly.condensed(), distance.squareform(poly.matrix))
    np.testing.assert_array_equal(distance.squareform(poly.condensed()), poly.matrix)
    skbio = pytest.importorskip("skbio")
    dm = poly.to_skbio()
    assert isinstance(dm, skbio.DistanceMatrix) and dm.ids == poly.names
    assert dm["tree_2", "tree_4"] == 6.0


def test_npz_round_trip(tmp_path, poly):
    path = tmp_path / "rf.npz"
    poly.save(path)
    back = TreeDistances.load(path)
    assert (back.metric, back.rooted, back.names, back.n_leaves, back.leaf_names) == (
        poly.metric, poly.rooted, poly.names, poly.n_leaves, poly.leaf_names)
    assert back.matrix.dtype == np.int32
    np.testing.assert_array_equal(back.matrix, poly.matrix)
    with np.load(path) as z:  # readable without kestrilune_tools too
        assert z["names"].tolist() == list(poly.names) and z["matrix"].dtype == np.int32
    np.savez(tmp_path / "other.npz", a=np.zeros(2))
    with pytest.raises(ValueError, match="not a distance file"):
        TreeDistances.load(tmp_path / "other.npz")


@pytest.mark.parametrize("trees, names, labels", [
    # An unnamed leaf takes bit 0 and pushes the named leaves one bit up.
    (["((A,B),(C,D),);", "((A,C),(B,D),);"], ["", "A", "B", "C", "D"],
     ["?", "A", "B", "A|B", "C", "A|C", "D"]),
    (["((A,B),(C,D),E);", "((A,C),(B,D),E);"], ["A", "B", "C", "D", "E"],
     ["A", "B", "C", "D", "B|D", "C|D", "E", "B|D|E", "C|D|E"]),
], ids=["unnamed-leaf", "all-named"])
def test_split_labels(trees, names, labels):
    res = kestrilune.pairwise_rf_with_snapshots_from_newick_iter(
        ["a", "b"], iter(trees), [{}], [0, 0])
    member, got_names = arrays.splits(res)
    assert got_names == names and member.shape[1] == len(names)
    assert arrays.split_labels(res)[: len(labels)] == labels


def test_unnamed_leaf_with_a_full_row_of_named_leaves_is_refused():
    tree = "((A,B),(C,D),((E,F),(G,H)),);"
    res = kestrilune.pairwise_rf_with_snapshots_from_newick_iter(
        ["a", "b"], iter([tree, tree]), [{}], [0, 0])
    with pytest.raises(ValueError, match="no bit left for 'H'"):
        arrays.splits(res)

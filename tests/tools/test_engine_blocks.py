"""Blocks, condensed form, one-against-all, set-against-set and reductions of the split-table
engine, cell for cell against the kestrilune module on the same trees."""

import _thread
import threading
import time

import numpy as np
import pytest

import kestrilune
from engine_data import FILES
from kestrilune_tools import read_trees
from kestrilune_tools.arrays import float_matrix, rf_matrix
from kestrilune_tools.table.engine import SplitTable



def module_matrix(metric, ts, rooted):
    fn = getattr(kestrilune, f"pairwise_{metric}_with_snapshots_from_newick_iter")
    res = fn(ts.names, ts.newicks(), ts.translate_maps, ts.map_indices, rooted=rooted)
    return rf_matrix(res) if metric == "rf" else float_matrix(res)


@pytest.fixture(scope="module", params=[(f, r) for f in sorted(FILES) for r in (False, True)],
                ids=lambda p: f"{p[0]}-{'rooted' if p[1] else 'unrooted'}")
def case(request):
    name, rooted = request.param
    ts = read_trees([str(p) for p in FILES[name]])
    if name == "primates":
        ts = ts.subset(range(0, len(ts), 4))  # every 4th tree keeps the test quick
    table = SplitTable.from_treeset(ts, rooted=rooted, lengths=True)
    return ts, table, {m: module_matrix(m, ts, rooted) for m in ("rf", "wrf", "kf")}


@pytest.mark.parametrize("metric", ["rf", "wrf", "kf"])
def test_every_layout_gives_the_module_cells(case, metric):
    ts, t, mats = case
    want = mats[metric]
    n = len(ts)
    assert t.block(metric).tobytes() == want.astype(t.block(metric).dtype).tobytes()
    cond = t.condensed(metric)
    # scipy's squareform order: the upper triangle row by row.
    assert cond.tobytes() == want[np.triu_indices(n, 1)].astype(cond.dtype).tobytes()
    # Tiles of a few shapes assembled by hand, as the Zarr writer and Dask do.
    for step in (7, 64, n):
        got = np.zeros_like(want)
        for a in range(0, n, step):
            for b in range(0, n, max(1, step // 2)):
                t.block(metric, slice(a, a + step), slice(b, b + step // 2 or 1),
                        out=got[a:a + step, b:b + (step // 2 or 1)], dtype=want.dtype)
        assert got.tobytes() == want.tobytes(), step
    rows = np.array([n - 1, 0, 3, 3])
    assert t.block(metric, rows, rows[::-1]).tobytes() == want[np.ix_(rows, rows[::-1])].astype(
        t.block(metric, rows, rows[::-1]).dtype).tobytes()
    assert t.to(2, metric).tobytes() == want[2].astype(t.to(2, metric).dtype).tobytes()


def test_narrow_dtypes_and_out(case):
    ts, t, mats = case
    want = mats["rf"]
    auto = t.rf()
    assert auto.dtype == (np.uint8 if t._rf_bound(t.index(None), t.index(None)) <= 255 else np.uint16)
    assert auto.max() == want.max() and (auto == want).all()
    for dtype in (np.uint16, np.uint32, np.int64, np.float64):
        out = np.full(want.shape, 7, dtype=dtype)
        assert t.rf(out=out) is out and (out == want).all()
    fortran = np.zeros(want.shape, dtype=np.uint32, order="F")
    t.rf(out=fortran)
    assert (fortran == want).all()


def test_reductions_match_the_dense_matrix(case):
    ts, t, mats = case
    for metric, want in mats.items():
        sums = t.row_sums(metric)
        if metric == "rf":
            assert (sums == want.sum(axis=1, dtype=np.int64)).all()
        else:
            np.testing.assert_allclose(sums, want.sum(axis=1), rtol=1e-12)
        assert t.medoid(metric) == int(np.argmin(sums))
        k = 3
        nb, dist = t.knn(k, metric)
        masked = want.astype(np.float64) + np.diag(np.full(len(want), np.inf))
        order = np.argsort(masked, axis=1, kind="stable")[:, :k]
        assert (nb == order).all() and (dist == np.take_along_axis(masked, order, 1)).all()
    rf = mats["rf"]
    counts, edges = t.histogram("rf")
    upper = rf[np.triu_indices(len(rf), 1)]
    assert (counts == np.bincount(upper, minlength=len(counts))).all()
    edges = np.linspace(0, float(mats["kf"].max()) + 1, 9)
    counts, _ = t.histogram("kf", bins=edges)
    assert (counts == np.histogram(mats["kf"][np.triu_indices(len(rf), 1)], edges)[0]).all()
    lag = t.lag_means("rf", max_lag=5)
    groups = np.asarray(ts.file_indices)
    for g in range(lag.pairs.shape[0]):
        members = np.flatnonzero(groups == g)
        for k in range(1, 6):
            d = rf[members[:-k], members[k:]].astype(np.float64)
            assert lag.pairs[g, k - 1] == len(d)
            assert lag.mean[g, k - 1] == pytest.approx(d.mean())
            assert lag.mean_sq[g, k - 1] == pytest.approx((d * d).mean())


@pytest.mark.parametrize("seed", range(4))
def test_weighted_blocks_on_random_sets_are_the_module_cells(seed):
    # Sets larger than a tile side, with repeated trees, missing, signed-zero, infinite and
    # NaN lengths: every layout must give the module's bits.
    import random

    from reference import random_newick, with_special_lengths

    rng = random.Random(seed)
    taxa = [f"x{i}" for i in range(rng.choice([5, 17, 70]))]
    texts = [random_newick(rng, taxa, max_children=rng.choice([2, 4]),
                           missing_length=0.1) for _ in range(40)]
    texts += rng.sample(texts, 10)
    texts = [with_special_lengths(rng, t, 0.03 * (seed % 2)) for t in texts]
    rng.shuffle(texts)
    rooted = seed >= 2
    names = [f"t{i}" for i in range(len(texts))]
    t = SplitTable(names, iter(texts), [{}], [0] * len(texts), rooted=rooted, lengths=True)
    rows = np.array([rng.randrange(len(texts)) for _ in range(23)])
    for metric in ("wrf", "kf"):
        fn = getattr(kestrilune, f"pairwise_{metric}_with_snapshots_from_newick_iter")
        want = float_matrix(fn(names, iter(texts), [{}], [0] * len(texts), rooted=rooted))
        assert t.block(metric).tobytes() == want.tobytes()
        assert t.condensed(metric).tobytes() == want[np.triu_indices(len(texts), 1)].tobytes()
        # Repeats put trees against themselves off the diagonal: 0.0 there too, as the
        # module's diagonal, although an inf or NaN length makes their fold NaN.
        got = t.block(metric, rows, rows[::-1])
        assert got.tobytes() == want[np.ix_(rows, rows[::-1])].tobytes()


def renamed(ts):
    """The same trees written with their taxon names instead of translate numbers."""
    import re

    texts = []
    for text, m in zip(ts.newicks(), ts.map_indices):
        table = ts.translate_maps[m]
        texts.append(re.sub(r"(?<=[(,])(\d+)(?=[:,)\[])", lambda x: table[x.group(1)], text))
    return texts


@pytest.mark.parametrize("metric", ["rf", "wrf", "kf"])
def test_between_two_tables_is_the_module_on_both_sets(metric):
    a = read_trees(str(FILES["two_runs"][0]))
    b = read_trees(str(FILES["two_runs"][1]))
    ta = SplitTable.from_treeset(a, lengths=True)
    # b as plain Newick with taxon names: another translate table (none), another table.
    texts_b = renamed(b)
    tb = SplitTable(b.names, iter(texts_b), [{}], [0] * len(b), lengths=True)
    names = a.names + b.names
    maps = [a.translate_maps[0], {}]
    idx = [0] * len(a) + [1] * len(b)
    fn = getattr(kestrilune, f"pairwise_{metric}_with_snapshots_from_newick_iter")
    res = fn(names, iter(list(a.newicks()) + texts_b), maps, idx)
    whole = rf_matrix(res) if metric == "rf" else float_matrix(res)
    got = ta.between(tb, metric)
    assert got.tobytes() == whole[:len(a), len(a):].astype(got.dtype).tobytes()
    text = texts_b[3]
    assert ta.to(text, metric).tobytes() == whole[len(a) + 3, :len(a)].astype(got.dtype).tobytes()
    other = SplitTable(["x", "y"], iter(["(A,B,C);"] * 2), [{}], [0, 0], lengths=True)
    with pytest.raises(ValueError, match=f"^Tree {len(a)} has a different leaf set than tree 0"):
        ta.between(other, metric)


@pytest.mark.parametrize("name", ["two_runs", "beast"])
def test_take_is_the_module_on_those_trees_alone(name):
    # The weighted cells' last bits depend on the order in which a call first meets the
    # splits: a table of some trees must add in the order a call over them alone would.
    ts = read_trees([str(p) for p in FILES[name]])
    rooted = name == "beast"
    t = SplitTable.from_treeset(ts, rooted=rooted, lengths=True)
    texts = list(ts.newicks())
    for idx in (np.arange(len(ts) // 2, len(ts)), np.arange(len(ts) - 1, 0, -3)):
        part = t.take(idx)
        assert part.tree_names == [ts.names[i] for i in idx]
        assert part.groups.tolist() == t.groups[idx].tolist()
        for metric in ("rf", "wrf", "kf"):
            fn = getattr(kestrilune, f"pairwise_{metric}_with_snapshots_from_newick_iter")
            res = fn([ts.names[i] for i in idx], iter([texts[i] for i in idx]),
                     ts.translate_maps, [ts.map_indices[i] for i in idx], rooted=rooted)
            want = rf_matrix(res) if metric == "rf" else float_matrix(res)
            got = part.block(metric)
            assert got.tobytes() == want.astype(got.dtype).tobytes(), metric


@pytest.mark.parametrize("call, error", [
    (lambda t: t.rf([0, 99]), IndexError),
    (lambda t: t.rf(slice(None), [-100]), IndexError),
    (lambda t: t.to(50), IndexError),
    (lambda t: t.rf(out=np.zeros((3, 3), np.uint32)), ValueError),
    (lambda t: t.rf(dtype=np.int8), ValueError),
    (lambda t: t.kf(), ValueError),  # built without lengths
    (lambda t: t.block("xx"), ValueError),
    (lambda t: t.rf(out=np.zeros((20, 20), np.uint32)[:, :10]), ValueError),
    (lambda t: t.knn(20), ValueError),
])
def test_bad_requests(call, error):
    ts = read_trees(str(FILES["cynmix"][0])).subset(range(20))
    t = SplitTable.from_treeset(ts)
    with pytest.raises(error):
        call(t)


def test_narrowing_that_would_lose_values_is_refused():
    ts = read_trees(str(FILES["cynmix"][0])).subset(range(20))
    t = SplitTable.from_treeset(ts)
    assert t.rf(dtype=np.uint8).max() > 0
    def caterpillar(order):
        text = order[0]
        for leaf in order[1:]:
            text = f"({text},{leaf})"
        return text + ";"

    leaves = [f"t{i}" for i in range(300)]
    many = [caterpillar(leaves), caterpillar(leaves[::-1][1:] + leaves[-1:])]
    wide = SplitTable(["a", "b"], iter(many), [{}], [0, 0], rooted=True)
    with pytest.raises(ValueError, match="more than uint8 holds"):
        wide.rf(dtype=np.uint8)


def test_progress_and_ctrl_c():
    ts = read_trees(str(FILES["primates"][0]))
    t = SplitTable.from_treeset(ts, lengths=True)
    counter = kestrilune.ProgressCounter()
    t.condensed("rf", progress=counter)
    assert counter.value() == counter.total() == len(ts) * (len(ts) - 1) // 2
    big = t.joined(t).joined(t.joined(t))  # 8004 trees: seconds of KF pairs
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        big.kf(progress=counter)
    assert time.monotonic() - started < 10
    assert 0 < counter.value() < counter.total()

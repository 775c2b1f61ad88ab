"""Blocks, condensed form, one-against-all, set-against-set and reductions of the split-table
engine, cell for cell against the kestrilune module on the same trees."""

import _thread
import pickle
import threading
import time
import warnings

import numpy as np
import pytest

import kestrilune
from engine_data import FILES
from kestrilune_tools import read_trees
from kestrilune_tools.arrays import float_matrix, rf_matrix
from kestrilune_tools.table.engine import RunSums, SplitTable



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
    assert auto.dtype == np.int32
    assert t.compact_rf_type() == (np.uint8 if auto.max() <= 255 else np.uint16)
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
        nb, dist = found = t.knn(k, metric)
        assert found.indices is nb and found.distances is dist
        masked = want.astype(np.float64) + np.diag(np.full(len(want), np.inf))
        order = np.argsort(masked, axis=1, kind="stable")[:, :k]
        assert (nb == order).all() and (dist == np.take_along_axis(masked, order, 1)).all()
    rf = mats["rf"]
    counts, edges = hist = t.histogram("rf")
    assert hist.counts is counts and hist.edges is edges
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


@pytest.mark.parametrize("call, error, message", [
    # Indices are checked in their own type, before any cast.
    (lambda t: t.rf([2**64 - 1]), IndexError, r"^rows: tree index 18446744073709551615 is out "
                                              r"of range .* \(allowed: -20 to 19\)$"),
    (lambda t: t.rf([2**63]), IndexError, "^rows: tree index 9223372036854775808 "),
    (lambda t: t.rf(None, [0, 2**70]), IndexError, "^cols: tree index 1180591620717411303424 "),
    (lambda t: t.to(2**64 - 1), IndexError, "^tree: tree index 18446744073709551615 "),
    (lambda t: t.take(np.array([2**63], np.uint64)), IndexError, "^trees: tree index 2**63"),
    (lambda t: t.counts(0), ValueError, "^n_groups must be an integer from 2 to 2147483648, "
                                        "got 0$"),
    (lambda t: t.counts(1), ValueError, "^n_groups must be .* got 1$"),
    (lambda t: t.counts(-1), ValueError, "^n_groups must be .* got -1$"),
    (lambda t: t.counts(2**64 // t.n_splits + 1), ValueError, "^n_groups must be"),
    (lambda t: t.counts(2.0), TypeError, "^n_groups must be .* got 2.0$"),
    (lambda t: t.knn(-1), ValueError, "^k must be an integer from 1 to 19, got -1$"),
    (lambda t: t.knn(1.5), TypeError, "^k must be an integer from 1 to 19, got 1.5$"),
    (lambda t: t.knn(1, index=[3]), ValueError, "^k: nearest neighbours need at least two"),
    (lambda t: t.lag_means(max_lag=2**64), ValueError, "^max_lag must be an integer from 1 to"),
    (lambda t: t.lag_means(max_lag=0), ValueError, "^max_lag must be"),
    (lambda t: t.lag_means(max_lag=2**30), ValueError, "^max_lag: 2 groups x 1073741824 lags"),
    (lambda t: t.rf(dtype=">u4"), ValueError, "^dtype: '>u4' is not in this machine's byte "
                                              "order; use '<u4'$"),
    (lambda t: t.rf(out=np.zeros((20, 20), ">u4")), ValueError, "^out: '>u4'"),
    (lambda t: t.rf(out=[[0] * 20] * 20), TypeError, r"^out must be a NumPy array of shape "
                                                     r"\(20, 20\).*got list$"),
    (lambda t: t.histogram(bins=[0, np.nan, 100]), ValueError, "^bins: edges must be numbers"),
    (lambda t: t.histogram(bins=0), ValueError, "^bins must be a count from 1 to"),
    (lambda t: t.histogram(bins=[[0, 1]]), ValueError, "^bins must be a count .* or a 1-D"),
    (lambda t: t.histogram(bins=4, range=(3, 1)), ValueError, "^range must be two finite"),
    (lambda t: t.histogram(bins=[0, 1], range=(0, 1)), ValueError, "^range: give bins as a "
                                                                   "count"),
    (lambda t: t.histogram("wrf", bins=4), ValueError, r"^range: a count of bins needs "
                                                       r"range=\(low, high\) for wrf$"),
    (lambda t: RunSums(-1, 2), ValueError, "^n must be an integer from 0 to 4294967295, got -1$"),
    (lambda t: RunSums(3, 3), ValueError, "^max_lag must be an integer from 0 to 2, got 3$"),
    (lambda t: RunSums(3, 1).add_block(np.zeros((1, 3), np.uint8), -1), ValueError,
     "^row0 must be an integer from 0 to 2, got -1$"),
])
def test_arguments_are_refused_in_one_line_naming_them(call, error, message):
    ts = read_trees(str(FILES["cynmix"][0])).subset(range(20))
    t = SplitTable.from_treeset(ts, groups=[0] * 10 + [1] * 10, lengths=True)
    with pytest.raises(error, match=message.replace("2**63", "9223372036854775808")) as got:
        call(t)
    assert "\n" not in str(got.value)


def test_counts_histogram_bins_pickles_and_joined_groups():
    ts = read_trees(str(FILES["cynmix"][0])).subset(range(20))
    t = SplitTable.from_treeset(ts, groups=[0] * 10 + [1] * 10, lengths=True)
    assert t.counts(2).sum() == len(t.ids) and t.counts(np.int64(3))[:, 2].sum() == 0
    upper = t.kf()[np.triu_indices(20, 1)]
    counts, edges = t.histogram("kf", bins=6, range=(0.0, float(upper.max())))
    want = np.histogram(upper, 6, (0.0, float(upper.max())))
    assert (counts == want[0]).all() and (edges == want[1]).all()
    counts, edges = t.histogram("rf", bins=np.int64(5))
    rf = t.rf()[np.triu_indices(20, 1)]
    assert (counts == np.histogram(rf, 5, (0, edges[-1]))[0]).all()
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(t, protocol=protocol))
        assert type(back) is SplitTable and back.kf().tobytes() == t.kf().tobytes(), protocol
    with pytest.raises(TypeError):  # uint32 only: a cast would wrap 2**32 + 1 to 1
        t._take(np.array([2**32 + 1], np.uint64))
    top = SplitTable.from_treeset(ts, groups=[2**31 - 1] * 20)
    with pytest.raises(ValueError, match=r"^cannot join: .* would pass 2\*\*31 - 1$"):
        top.joined(top)


def test_nan_and_infinite_lengths_rank_last_and_are_counted_in_a_warning():
    ts = read_trees(str(FILES["cynmix"][0])).subset(range(30))
    texts = list(ts.newicks())
    bad = np.arange(30) % 4 == 1
    for i in np.flatnonzero(bad):  # one length per such tree: NaN or inf
        head, tail = texts[i].split(":", 1)
        texts[i] = head + (":nan" if i % 8 == 1 else ":inf") + tail[tail.find(next(
            c for c in tail if c in ",)")):]
    t = SplitTable(ts.names, iter(texts), ts.translate_maps, ts.map_indices, lengths=True,
                   groups=[0] * 15 + [1] * 15)
    good = np.flatnonzero(~bad)
    warned = "^{}: 8 of 30 trees have NaN or infinite branch lengths; "
    for metric in ("wrf", "kf"):
        w = t.block(metric)  # WRF: NaN or inf; KF: NaN gives 0.0 by its convention
        assert not (np.isfinite(w[bad][:, good]) & (w[bad][:, good] > 0)).any()
        with pytest.warns(RuntimeWarning, match=warned.format(metric) + "distances to them"):
            nb, _ = t.knn(3, metric)
        # Other trees only, NaN last, ties to the lower index.
        order = np.lexsort((np.tile(np.arange(30), (30, 1)), np.nan_to_num(w, nan=0.0,
                                                                          posinf=np.inf),
                            np.isnan(w), np.eye(30)), axis=1)[:, :3]
        assert (nb == order).all()
        finite = w[np.ix_(good, good)]
        with pytest.warns(RuntimeWarning, match=warned.format(metric) + "left out of the medoid"):
            assert t.medoid(metric) == good[np.argmin(finite.sum(1))]
        edges = np.linspace(0, finite.max(), 5)
        with pytest.warns(RuntimeWarning, match="left out of the histogram"):
            counts = t.histogram(metric, bins=edges)[0]
        assert (counts == np.histogram(finite[np.triu_indices(len(good), 1)], edges)[0]).all()
        with pytest.warns(RuntimeWarning, match="their pairs are left out of the lag means"):
            lag = t.lag_means(metric, max_lag=2)
        ok = ~bad[:-1] & ~bad[1:] & (np.arange(29) != 14)  # lag-1 pairs within a run
        assert lag.pairs[:, 0].sum() == ok.sum() and np.isfinite(lag.mean).all()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert t.knn(1, "rf")[0].shape == (30, 1)  # lengths play no part in RF


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

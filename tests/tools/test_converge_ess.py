"""Topological ESS measures against the values RWTY, treess and R's coda compute, and the
R-compatible numerics (Nelder-Mead, AR spectral density) against R itself."""

import math
from pathlib import Path

import numpy as np
import pytest

from kestrilune_tools import distance_matrix, read_trees
from kestrilune_tools.analyses.converge import ess, rmath, run_distances
from kestrilune_tools.reading.runs import expand_runs
from kestrilune_tools.table.splits import split_data

DATA = Path(__file__).parents[1] / "data" / "converge"

# RF unrooted, first quarter of each run dropped. Approximate ESS: RWTY's
# topological.approx.ess on all samples with R's optim; pseudo-ESS: treess (confirmed with
# coda::effectiveSize); Frechet: treess' frechetCorrelationESS.
ESS_TABLE = [
    ("primates2/primates2.run1.t.gz", 376, 21.2723442672, 38, 127.4318458662,
     127.4318458662, 306.3698712539),
    ("primates2/primates2.run2.t.gz", 376, 246.2996515679, 2, 213.8973621695,
     213.8973621695, 253.8561469936),
    ("beast1_ucln_17taxa.topo.trees.gz", 1501, 933.1131096193, 3, 665.3046762425,
     960.3714569717, 940.8785174462),
    ("mrbayes_cynmix_32taxa.topo.t.gz", 2251, 208.7736762897, 22, 116.5056198018,
     230.7882750630, 149.8612803721),
]


@pytest.fixture(scope="module", params=ESS_TABLE, ids=lambda row: row[0].split("/")[-1])
def run_case(request):
    path, *expected = request.param
    ts = read_trees(DATA / path, burnin="25%")
    return distance_matrix("rf", ts), expected


def test_ess_table(run_case):
    dist, (n, approx, cutoff, pmin, pmed, frechet) = run_case
    assert dist.shape == (n, n)
    a = ess.approx_ess(dist)
    p = ess.pseudo_ess(dist)
    f = ess.frechet_ess(dist)
    assert (a.cutoff, a.operator) == (cutoff, "=")
    got = [a.ess, p.minimum, p.median, f.ess]
    assert got == pytest.approx([approx, pmin, pmed, frechet], rel=1e-9, abs=0)


def test_approx_ess_from_lag_means_equals_matrix_path(run_case):
    dist, _ = run_case
    full = ess.approx_ess(dist)
    again = ess.approx_ess(lag_mean_sq=full.lag_mean_sq, n_trees=dist.shape[0])
    assert (again.ess, again.cutoff) == (full.ess, full.cutoff)


@pytest.mark.parametrize("metric", ["rf", "wrf", "kf"])
def test_run_blocks_sum_as_the_module_matrix_of_the_run(metric):
    """diagnose() takes a run's distances from split tables, block by block: every sum the
    ESS measures use is that of the module's matrix of the run's trees, bit for bit. Run 2
    comes after run 1 and its own burn-in, which would change the last bits of WRF and KF
    cells taken from the table of all trees."""
    ts = read_trees([str(p) for p in expand_runs([str(DATA / "primates2" / "primates2")])])
    sd = split_data(ts, lengths=True)
    idx = np.arange(501 + 125, 1002)  # run 2 after 25% burn-in
    want_matrix = distance_matrix(metric, ts.subset(idx.tolist()))
    for block in (1024, 100):
        got = ess.distance_stats(run_distances(sd, idx, metric), block_rows=block)
        want = ess.distance_stats(want_matrix, block_rows=block)
        for name in ("diag", "row_upper", "col_upper", "pseudo"):
            assert getattr(got, name).tobytes() == getattr(want, name).tobytes(), name


def _brute_lag_sums(d):
    sq = d.astype(np.int64) ** 2
    n = len(d)
    diag = np.array([np.trace(sq, offset=k) for k in range(n)])
    upper = np.triu(sq, 1)
    return diag, upper.sum(axis=1), upper.sum(axis=0)


@pytest.mark.parametrize("native", [True, False], ids=["engine", "numpy"])
@pytest.mark.parametrize("n,block", [(1, 256), (2, 1), (7, 3), (300, 256), (513, 100)])
def test_distance_pass_matches_direct_sums_for_any_block(n, block, native, monkeypatch):
    if not native:
        monkeypatch.setattr(ess, "_native_sums", lambda n, dtype: None)
    rng = np.random.default_rng(n)
    a = rng.integers(0, 40, size=(n, n), dtype=np.uint32)
    d = np.triu(a, 1) + np.triu(a, 1).T
    st = ess.distance_stats(ess.RunDistances.from_matrix(d), pseudo=n > 1, block_rows=block)
    for got, want in zip((st.diag, st.row_upper, st.col_upper), _brute_lag_sums(d)):
        np.testing.assert_array_equal(got, want)
    if n > 1:
        np.testing.assert_array_equal(st.pseudo, rmath.coda_ess(d))


def _frechet_cubic(d):
    """treess' frechetCorrelationESS as written there: submatrices recomputed at each lag."""
    n = len(d)
    d2 = d.astype(np.float64) ** 2
    if d2.sum() == 0:
        return 1.0
    cors, pairs = [], []
    for i in range(1, n - 5):
        m = n - i
        v1 = d2[i:, i:].sum() / (m * (m - 1) / 2) / 4
        v2 = d2[:m, :m].sum() / (m * (m - 1) / 2) / 4
        d12 = np.mean([d2[t, t + i] for t in range(m)])
        cors.append(1.0 if v1 == 0 or v2 == 0 else (v1 + v2 - d12) / 2 / math.sqrt(v1 * v2))
        if i % 2 == 0:
            pairs.append(cors[-1] + cors[-2])
            if pairs[-1] < 0:
                break
    for i in range(1, len(pairs)):
        pairs[i] = min(pairs[i - 1], pairs[i])
    tau = 1 + 2 * sum(pairs[:-1]) if pairs[0] > 0 else 1
    return n / tau


@pytest.mark.parametrize("kind", ["walk", "noise", "identical", "two_states"])
def test_frechet_matches_cubic_definition(kind):
    rng = np.random.default_rng(3)
    n = 60
    if kind == "walk":  # points on a line drifting slowly: strong autocorrelation
        x = np.cumsum(rng.integers(-1, 2, size=n))
    elif kind == "noise":
        x = rng.integers(0, 9, size=n)
    elif kind == "identical":
        x = np.zeros(n, dtype=np.int64)
    else:
        x = np.repeat([0, 3], n // 2)
    d = np.abs(x[:, None] - x[None, :]).astype(np.uint32)
    assert ess.frechet_ess(d).ess == pytest.approx(_frechet_cubic(d), rel=1e-12)


def test_too_few_trees_are_refused_with_the_reason():
    d = np.zeros((119, 119), dtype=np.uint32)
    with pytest.raises(ValueError, match="at least 120 trees"):
        ess.approx_ess(d)
    with pytest.raises(ValueError, match="at least 8 trees"):
        ess.frechet_ess(np.zeros((7, 7), dtype=np.uint32))


# ----------------------------------------------------------------- R's numerics, from R


def _lcg(n, seed):
    out, x = [], seed
    for _ in range(n):
        x = (69069 * x + 1) % 4294967296
        out.append(x)
    return np.array(out, dtype=np.float64)


def _r_traces():
    u = _lcg(500, 3) % 7
    ar = np.zeros(500)
    for i in range(1, 500):
        ar[i] = math.floor(0.8 * ar[i - 1]) + u[i]
    return {
        "noise": _lcg(300, 1) % 17,
        "sticky": np.cumsum(np.where(_lcg(400, 2) % 10 < 2, 1, 0)) % 9,
        "ar": ar,
        "trend": np.arange(1, 51) * 3.0 + 2,
        "constant": np.full(40, 4.0),
        "short": _lcg(12, 4) % 5,
        "blocky": np.repeat(_lcg(30, 5) % 4, 10),
    }


def _r_fits():
    k = [float(i) for i in range(1, 101)]
    noise = _lcg(100, 6) % 1000 / 500
    slow_noise = _lcg(60, 7) % 100 / 50
    return {  # math.exp, as R's exp: both call the C library
        "saturating": [30 * (1 - math.exp(-x / 7)) + e for x, e in zip(k, noise)],
        "slow": [80 * (1 - math.exp(-x / 40)) + e for x, e in zip(k[:60], slow_noise)],
        "flat": [12.5] * 25,
        "steep": [5 * (1 - math.exp(-x / 0.3)) for x in k],
    }


def _r_reference(kind):
    rows = [line.split() for line in (DATA / "r_reference.txt").read_text().splitlines()]
    return [r[1:] for r in rows if r[0] == kind]


@pytest.mark.parametrize("dtype", [np.float64, np.int32])  # whole numbers: exact sums
@pytest.mark.parametrize("name,ess_r,order,density", _r_reference("ess"),
                         ids=[r[0] for r in _r_reference("ess")])
def test_coda_effective_size_as_r(name, ess_r, order, density, dtype):
    x = _r_traces()[name].astype(dtype)
    got_density, got_order = rmath.ar_spectrum0(x)
    assert int(got_order[0]) == int(order)
    assert got_density[0] == pytest.approx(float(density), rel=1e-11, abs=0)
    assert rmath.coda_ess(x)[0] == pytest.approx(float(ess_r), rel=1e-11, abs=0)


@pytest.mark.parametrize("name,a,b,value,count,code", _r_reference("optim"),
                         ids=[r[0] for r in _r_reference("optim")])
def test_nelder_mead_follows_r_optim_exactly(name, a, b, value, count, code):
    f = _r_fits()[name]
    fit = rmath.nelder_mead(ess._rwty_objective(range(1, len(f) + 1), f), (1.0, 1.0))
    assert (fit.fncount, fit.convergence) == (int(count), int(code))
    assert fit.par == (float(a), float(b))
    assert fit.value == float(value)


def test_tracer_ess_as_loganalyser_prints_it():
    log = np.loadtxt(DATA / "tracer_traces.log", skiprows=1)[:, 1:].T
    printed = {}
    for line in (DATA / "tracer_ess.txt").read_text().splitlines()[2:]:
        name, *cells = line.split("\t")
        printed[name] = float(cells[5])
    got = ess.tracer_ess(log)
    assert math.isnan(got[2]) and math.isnan(printed["c"])  # constant: no ESS
    # loganalyser prints 4 to 7 significant digits
    assert got[[0, 1, 3]] == pytest.approx([printed[c] for c in "abd"], rel=5e-7)

"""``--scheduler``: Zarr stores written by Dask workers equal the native ones, resume and
survive a dying worker; --between, --to and --reduce on the workers give the bytes of the
local run; job-queue files and bad clusters give one clear line."""

import os

import numpy as np
import pytest

zarr = pytest.importorskip("zarr")
distributed = pytest.importorskip("distributed")

from engine_data import FILES  # noqa: E402
from kestrilune_tools import __version__  # noqa: E402
from kestrilune_tools.analyses import cluster, remote, scale  # noqa: E402
from kestrilune_tools.console.cli import main  # noqa: E402
from kestrilune_tools.reading import read_trees  # noqa: E402
from kestrilune_tools.table.engine import SplitTable  # noqa: E402
from kestrilune_tools.table.load import read_table  # noqa: E402

SOURCE = str(FILES["cynmix"][0])
RUNS = [str(p) for p in FILES["two_runs"]]


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=40,
                                  env={"RAYON_NUM_THREADS": "1"}) as lc, \
            distributed.Client(lc) as c:
        yield c


@pytest.fixture(scope="module")
def table():
    return read_table(SOURCE, burnin=0, lengths=True)[1]


def _native(table, metric, condensed):
    want = table.block(metric)
    return want[np.triu_indices(len(want), 1)] if condensed else want


@pytest.mark.parametrize("metric, condensed", [("rf", False), ("rf", True), ("kf", True)])
def test_cluster_store_equals_the_native_cells(tmp_path, client, table, metric, condensed):
    out = tmp_path / "d.zarr"
    argv = [metric, SOURCE, "--burnin", "0", "-o", str(out), "--chunk", "30", "-q",
            "--scheduler", client.scheduler.address] + (["--condensed"] if condensed else [])
    assert main(argv) == 0
    got = zarr.open_array(str(out), mode="r")
    assert got[:].tobytes() == _native(table, metric, condensed).tobytes()
    assert not os.path.exists(str(out) + ".partial")


@pytest.mark.parametrize("metric, files, option, out", [
    ("kf", RUNS[:1], ["--between", RUNS[1]], "d.npy"),
    ("rf", [SOURCE], ["--between", SOURCE], "d.csv"),
    ("wrf", [SOURCE], ["--to", "-3"], "d.npy"),
    ("rf", [SOURCE], ["--to", "caterpillar"], "d.csv"),  # a Newick text of the same taxa
    ("wrf", [SOURCE], ["--reduce", "medoid"], "d.npy"),
    ("rf", [SOURCE], ["--reduce", "knn=3"], "d.csv"),
    ("kf", RUNS, ["--reduce", "lag=7"], "d.csv"),
])
def test_cluster_options_give_the_local_bytes(tmp_path, client, table, monkeypatch, capsys,
                                              metric, files, option, out):
    monkeypatch.setattr(remote, "_TASK_CELLS", 500)  # many bands, a few rows each
    if option[1] == "caterpillar":
        option = ["--to", "(" + ",(".join(table.leaf_names) + ")" * len(table.leaf_names) + ";"]
    outputs = []
    for where in ([], ["--scheduler", client.scheduler.address]):
        path = tmp_path / f"{len(outputs)}{out}"
        assert main([metric] + files + ["--burnin", "0", "-q", "-o", str(path)] + option
                    + where) == 0
        said = capsys.readouterr().out
        outputs.append((path.read_bytes(), said[said.index("\n"):said.index("wall time")]))
    assert outputs[0] == outputs[1] and len(outputs[0][0]) > 100


def test_cluster_reductions_leave_out_what_the_local_ones_leave_out(client, monkeypatch):
    # Trees with a NaN or infinite length: the same warnings, neighbours, sums and lags.
    monkeypatch.setattr(remote, "_TASK_CELLS", 200)
    ts = read_trees(SOURCE).subset(range(30))
    texts = list(ts.newicks())
    for i in range(1, 30, 4):
        head, tail = texts[i].split(":", 1)
        texts[i] = head + (":nan" if i % 8 == 1 else ":inf") + tail[min(
            tail.find(","), tail.find(")")):]
    t = SplitTable(ts.names, iter(texts), ts.translate_maps, ts.map_indices, lengths=True,
                   groups=[0] * 15 + [1] * 15)
    for metric in ("wrf", "kf"):
        for local, there in [
            (lambda: t.knn(3, metric), lambda: remote.knn(client, t, 3, metric)),
            (lambda: (t.row_sums(metric),), lambda: (remote.row_sums(client, t, metric),)),
            (lambda: (t.lag_means(metric, 4).mean_sq,),
             lambda: (remote.lag_means(client, t, metric, 4).mean_sq,)),
        ]:
            with pytest.warns(RuntimeWarning) as want:
                a = local()
            with pytest.warns(RuntimeWarning) as got:
                b = there()
            assert [str(w.message) for w in got] == [str(w.message) for w in want]
            assert [x.tobytes() for x in a] == [x.tobytes() for x in b]
    # A task's rows in several blocks (here, not on a worker): d(t, t + k) at [t, k - 1].
    monkeypatch.setattr(remote, "_LAG_BAND", 3)
    d = t.block("kf")
    got = remote._lag_cells(t, "kf", np.arange(4, 15), 9, 4)
    want = [[d[4 + r, 4 + r + k] if r + k < 11 else np.nan for k in range(1, 5)]
            for r in range(9)]
    assert got.tobytes() == np.array(want).tobytes()


@pytest.mark.parametrize("metric", ["rf", "kf"])
def test_cluster_run_sums_equal_the_local_pass(client, table, metric):
    # Blocks of 16 rows: exact native sums for RF, float64 sums added block by block for KF.
    from kestrilune_tools.analyses.converge import ess

    idx = np.arange(5, table.n_trees, dtype=np.uint32)
    dtype = table.compact_rf_type(idx, idx) if metric == "rf" else None
    dist = ess.RunDistances(len(idx), lambda a, b: table.block(metric, idx[a:b], idx,
                                                               dtype=dtype),
                            source=(table, idx, metric, dtype))
    want = ess.distance_stats(dist, block_rows=16)
    got = ess.distance_stats(dist, block_rows=16, blocks=remote.run_blocks(client, dist))
    for field in ("diag", "row_upper", "col_upper", "pseudo"):
        assert getattr(got, field).tobytes() == getattr(want, field).tobytes(), field


def test_converge_on_the_cluster_says_what_it_says_here(tmp_path, client, capsys):
    said = []
    for where in ([], ["--scheduler", client.scheduler.address]):
        path = tmp_path / f"{len(said)}.json"
        assert main(["converge"] + RUNS + ["--burnin", "10", "--no-params", "--metric", "wrf",
                                           "-q", "--json", str(path)] + where) == 0
        said.append((path.read_bytes(), capsys.readouterr().out.split("wrote")[0]))
    assert said[0] == said[1]


class _KillFirstTask(distributed.WorkerPlugin):
    """Kills its worker process when the first tile starts (once: a marker file says so)."""

    def __init__(self, marker):
        self.marker = marker

    def transition(self, key, start, finish, **kwargs):
        if finish == "executing" and "_remote_" in str(key) and not os.path.exists(self.marker):
            open(self.marker, "w").close()
            os._exit(1)


@pytest.mark.parametrize("condensed", [False, True])
def test_resumed_and_interrupted_writes_end_exact(tmp_path, client, table, condensed,
                                                  monkeypatch):
    # A store half written here, finished by the cluster with --resume (condensed: in
    # bands, and on the workers in runs, of three chunks) ...
    monkeypatch.setattr(scale, "_BAND_CELLS", 3 * 20 * 20)
    want = _native(table, "rf", condensed)
    path = str(tmp_path / "r.zarr")
    calls = []

    class Stop(Exception):
        pass

    class Dying(type(table)):
        def block(self, *args, **kwargs):
            calls.append(args)
            if len(calls) == 4:
                raise Stop()
            return super().block(*args, **kwargs)

    with pytest.raises(Stop):
        scale.write_zarr(Dying.from_bytes(table.to_bytes()), path, "rf", chunk=20, in_flight=1,
                         condensed=condensed)
    assert os.path.isdir(path + ".partial")
    scale.write_zarr(table, path, "rf", chunk=20, resume=True, client=client,
                     condensed=condensed)
    assert zarr.open_array(path, mode="r")[:].tobytes() == want.tobytes()
    # ... and a worker dying in the middle of a tile: Dask computes it again elsewhere
    # (both workers up first, so that the table reaches both; the last case killed one).
    client.wait_for_workers(2, timeout=60)
    client.register_plugin(_KillFirstTask(str(tmp_path / "killed")), name="kill-first")
    try:
        scale.write_zarr(table, str(tmp_path / "k.zarr"), "rf", chunk=20, client=client,
                         condensed=condensed)
    finally:
        client.unregister_worker_plugin("kill-first")
    assert os.path.exists(tmp_path / "killed")
    assert zarr.open_array(str(tmp_path / "k.zarr"), mode="r")[:].tobytes() == want.tobytes()


def test_a_lost_table_is_sent_again_and_the_jobs_left_run_again(monkeypatch):
    # The scheduler cancels the jobs waiting on a scattered table that every holder of it
    # took down with it: the rest come again, in order, each job's cells counted once.
    from concurrent.futures import CancelledError

    class Client:
        scattered = 0

        def scatter(self, data, **kwargs):
            self.scattered += 1
            return data

        def cancel(self, futures):
            pass

    calls = []

    def ordered(client, shared, task, jobs, done):
        calls.append(list(jobs))
        for i, job in enumerate(jobs):
            done(i)
            if len(calls) == 1 and i == 2:
                done(3)  # a later job finished before the loss: counted already
                raise CancelledError("already forgotten")
            yield job[0] * 10

    monkeypatch.setattr(remote, "_ordered", ordered)
    counted = []
    progress = type("P", (), {"finished": lambda self, cells: counted.append(cells)})()
    client = Client()
    jobs = [(j,) for j in range(6)]
    out = list(remote.run_tasks(client, None, None, jobs, [100 + j for j in range(6)],
                                progress))
    assert out == [0, 10, 20, 30, 40, 50] and client.scattered == 2
    assert calls[1] == jobs[2:] and sorted(counted) == [100 + j for j in range(6)]


SLURM = 'cluster = "SLURMCluster"\njobs = 3\ncores = 8\nmemory = "16GB"\n' \
        'walltime = "02:00:00"\nqueue = "long"\naccount = "phylo"\n'


@pytest.mark.parametrize("name, text, said", [
    ("ok.toml", SLURM, None),
    ("ok.yaml", "cluster: PBSCluster\njobs: 2\ncores: 4\nmemory: 8GB\n", None),
    ("bad.toml", "cluster = \n", "not a readable configuration"),
    ("other.toml", 'cluster = "MyCluster"\ncores = 1\nmemory = "1GB"\n', "choose one of"),
    ("nojobs.toml", SLURM.replace("jobs = 3", "jobs = 0"), "jobs must be a whole number"),
    ("nocores.toml", SLURM.replace("cores = 8\n", ""), "SLURMCluster needs cores"),
])
def test_jobqueue_files(tmp_path, name, text, said):
    path = tmp_path / name
    path.write_text(text)
    if said is not None:
        with pytest.raises(cluster.ClusterError, match=said):
            cluster.read_jobqueue(str(path))
        return
    import importlib.util
    import signal

    if importlib.util.find_spec("dask_jobqueue") is None:
        pytest.skip("dask-jobqueue is not installed")

    handler = signal.getsignal(signal.SIGINT)
    made, jobs = cluster.make_jobqueue_cluster(str(path))
    assert signal.getsignal(signal.SIGINT) is handler  # Ctrl-C stays Ctrl-C
    try:
        script = made.job_script()
        assert jobs == (3 if name == "ok.toml" else 2)
        assert "export RAYON_NUM_THREADS=" + ("8" if name == "ok.toml" else "4") in script
        if name == "ok.toml":
            assert "#SBATCH -A phylo" in script and "#SBATCH -p long" in script
    finally:
        made.close()


class _FakeClient:
    def __init__(self, facts):
        self.facts = facts

    def wait_for_workers(self, n, timeout):
        pass

    def run(self, fn, folder):
        return self.facts


@pytest.mark.parametrize("facts, said", [
    ({"tcp://a": ("0.0.1", True)}, f"run kestrilune 0.0.1 \\(tcp://a\\), this is {__version__}"),
    ({"tcp://a": (__version__, True), "tcp://b": (__version__, False)},
     "worker tcp://b cannot see"),
])
def test_workers_of_another_version_or_blind_to_the_store(facts, said):
    with pytest.raises(cluster.ClusterError, match=said):
        cluster.check_workers(_FakeClient(facts), "/somewhere/d.zarr")


@pytest.mark.parametrize("argv, code, said", [
    (["--scheduler", "local:2", "-o", "x.npy"], 2, "--scheduler computes -o NAME.zarr, "),
    (["--scheduler", "local:2", "--to", "0", "-o", "x.zarr"], 2, "--to writes -o NAME.npy"),
    (["--reduce", "medoid", "-o", "x.zarr"], 2, "--reduce writes -o NAME.npy, .csv or .tsv (or"),
    (["converge", "--scheduler", "local:2", "--no-ess"], 2, "--no-ess leaves out"),
    (["summarize", "--scheduler", "local:2"], 2, "the summary trees need none (give --report"),
    (["--scheduler", "local:x", "-o", "x.zarr"], 1, "local:N needs a number"),
    (["--scheduler", "tcp://127.0.0.1:9", "-o", "x.zarr"], 1, "cannot reach the Dask scheduler"),
])
def test_bad_schedulers_are_one_line(tmp_path, capsys, argv, code, said):
    os.chdir(tmp_path)
    command, argv = (argv[:1], argv[1:]) if argv[0] in ("converge", "summarize") else \
        (["rf"], argv)
    assert main(command + [SOURCE, "-q"] + argv) == code
    err = capsys.readouterr().err
    assert said in err and "Traceback" not in err and not os.path.exists("x.zarr")

"""Zarr stores, memory-mapped .npy, Dask and the big-posterior command-line options: the
same cells as the split table (itself checked against the module in test_engine_blocks)."""

import os

import numpy as np
import pytest

zarr = pytest.importorskip("zarr")
da = pytest.importorskip("dask.array")

from engine_data import FILES  # noqa: E402
from kestrilune_tools import read_trees  # noqa: E402
from kestrilune_tools.analyses import scale  # noqa: E402
from kestrilune_tools.console.cli import main  # noqa: E402
from kestrilune_tools.table.engine import SplitTable  # noqa: E402


@pytest.fixture(scope="module")
def table():
    ts = read_trees(str(FILES["cynmix"][0]))
    return SplitTable.from_treeset(ts, lengths=True)


@pytest.mark.parametrize("metric, condensed, chunk", [
    ("rf", False, 16), ("rf", True, 5), ("kf", False, 33), ("wrf", True, 7), ("rf", False, 100),
])
def test_zarr_store_holds_the_table_cells(tmp_path, table, metric, condensed, chunk):
    path = str(tmp_path / "d.zarr")
    scale.write_zarr(table, path, metric, condensed=condensed, chunk=chunk,
                     settings={"burnin": "0"})
    want = table.block(metric)
    if condensed:
        want = want[np.triu_indices(len(want), 1)]
    z = zarr.open_array(path, mode="r")
    assert z[:].tobytes() == want.tobytes() and z.dtype == want.dtype
    assert da.from_zarr(path).compute().tobytes() == want.tobytes()
    attrs = dict(z.attrs)["kestrilune"]
    assert attrs["metric"] == metric and attrs["layout"] == ("condensed" if condensed else "square")
    assert attrs["tree_names"] == list(table.tree_names) and not os.path.exists(path + ".partial")


class Killed(Exception):
    pass


@pytest.mark.parametrize("condensed", [False, True])
def test_resume_recomputes_only_unwritten_tiles_and_refuses_other_inputs(tmp_path, table,
                                                                         condensed,
                                                                         monkeypatch):
    monkeypatch.setattr(scale, "_BAND_CELLS", 400)  # several bands of rows
    # Each tile is written and logged before the next block is computed, so that the tiles
    # on record when the run dies do not depend on how far the writer threads got.
    submit = scale._Writer.submit

    def submit_and_wait(writer, *args):
        submit(writer, *args)
        for future in writer._futures:
            future.result()

    monkeypatch.setattr(scale._Writer, "submit", submit_and_wait)
    path = str(tmp_path / "d.zarr")
    calls = []

    class Dying(SplitTable):
        die_at = 4

        def block(self, *args, **kwargs):
            calls.append(args)
            if len(calls) == self.die_at:
                raise Killed()
            return super().block(*args, **kwargs)

    with pytest.raises(Killed):
        scale.write_zarr(Dying.from_bytes(table.to_bytes()), path, "rf", condensed=condensed,
                         chunk=20)
    assert os.path.isdir(path + ".partial") and not os.path.exists(path)
    logged = len(scale._read_log(path + ".partial"))
    assert 1 <= logged <= 3 if condensed else logged == 3  # the blocks before the fourth
    other = SplitTable.from_bytes(table.to_bytes()).joined(table)
    for bad, settings in ((other, None), (table, {"burnin": "10"})):
        with pytest.raises(scale.StoreMismatch, match="cannot resume"):
            scale.write_zarr(bad, path, "rf", condensed=condensed, chunk=20, resume=True,
                             settings=settings)
    with pytest.raises(scale.StoreMismatch, match="metric"):
        scale.write_zarr(table, path, "kf", condensed=condensed, chunk=20, resume=True)
    calls.clear()
    counting = Dying.from_bytes(table.to_bytes())
    counting.die_at = -1
    scale.write_zarr(counting, path, "rf", condensed=condensed, chunk=20, resume=True)
    n = table.n_trees
    want = table.rf()
    if condensed:
        want = want[np.triu_indices(n, 1)]
        resumed = len(calls)
        calls.clear()  # every band of a fresh store: the logged ones were not recomputed
        scale.write_zarr(counting, str(tmp_path / "fresh.zarr"), "rf", condensed=True, chunk=20)
        assert resumed == len(calls) - logged
    else:
        assert len(calls) == 15 - logged  # 5 x 5 blocks of 20: 15 tiles above the diagonal
    assert zarr.open_array(path, mode="r")[:].tobytes() == want.tobytes()


def test_npy_through_a_memmap(tmp_path, table):
    path = str(tmp_path / "m.npy")
    scale.write_npy(table, path, "kf", rows_per_band=7)
    assert np.load(path).tobytes() == table.kf().tobytes()


def test_dask_on_a_local_cluster_writes_the_native_bytes(tmp_path, table):
    distributed = pytest.importorskip("distributed")
    lazy = scale.dask_matrix(table, "rf", chunk=30)
    assert lazy.chunks[0][0] == 30 and lazy.compute(scheduler="sync").tobytes() == table.rf().tobytes()
    native = str(tmp_path / "native.zarr")
    scale.write_zarr(table, native, "rf", chunk=30)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None,
                                  env={"RAYON_NUM_THREADS": "1"}) as cluster, \
            distributed.Client(cluster) as client:
        path = scale.write_zarr_distributed(table, str(tmp_path / "dist.zarr"), "rf", chunk=30,
                                            client=client)
    a, b = zarr.open_array(native, mode="r"), zarr.open_array(path, mode="r")
    assert a[:].tobytes() == b[:].tobytes() and a.dtype == b.dtype
    assert dict(a.attrs) == dict(b.attrs)


def run_cli(*argv):
    burnin = [] if "--burnin" in argv else ["--burnin", "0"]  # every tree, as `table` has
    return main([str(a) for a in argv] + burnin + ["--quiet"])


def test_command_line_options(tmp_path, table, capsys):
    src = FILES["cynmix"][0]
    out = tmp_path / "rf.zarr"
    assert run_cli("rf", src, "-o", out, "--chunk", "40") == 0
    assert zarr.open_array(str(out), mode="r")[:].tobytes() == table.rf().tobytes()
    assert run_cli("rf", src, "-o", out, "--chunk", "40", "--resume", "--burnin", "3") == 1
    assert "cannot resume" in capsys.readouterr().err
    assert run_cli("kf", src, "--to", "4", "-o", tmp_path / "to.npy") == 0
    assert np.load(tmp_path / "to.npy").tobytes() == table.kf()[4].tobytes()
    assert run_cli("rf", src, "--between", src, "-o", tmp_path / "b.npy", "--max-trees", "30") == 0
    assert (np.load(tmp_path / "b.npy") == table.rf(slice(0, 30), slice(0, 30))).all()
    assert run_cli("rf", src, "--reduce", "medoid") == 0
    assert f"medoid: tree {table.medoid()} " in capsys.readouterr().out
    assert run_cli("rf", src, "--reduce", "knn=2", "-o", tmp_path / "k.npz") == 0
    assert (np.load(tmp_path / "k.npz")["neighbours"] == table.knn(2)[0]).all()
    assert run_cli("rf", src, "--reduce", "lag=3", "-o", tmp_path / "lag.csv") == 0
    assert len((tmp_path / "lag.csv").read_text().splitlines()) == 4
    assert run_cli("rf", src, "-o", tmp_path / "c.npy", "--condensed") == 0
    rf = table.rf()
    assert (np.load(tmp_path / "c.npy") == rf[np.triu_indices(len(rf), 1)]).all()


@pytest.mark.parametrize("argv, message", [
    (["--resume", "-o", "x.npy"], "--resume continues a Zarr store"),
    (["--condensed", "-o", "x.csv"], "--condensed needs"),
    (["--reduce", "knn"], "--reduce must be"),
    (["--reduce", "medoid", "--to", "1"], "cannot be combined"),
    (["--to", "1", "--plot", "p.png"], "draws no pictures"),
    (["--dtype", "uint8", "-o", "x.csv"], "--dtype applies to -o NAME.zarr and NAME.npy"),
    (["wrf", "--dtype", "uint8", "-o", "x.npy"], "WRF and KF cells are float64"),
])
def test_command_line_refusals(tmp_path, argv, message, capsys):
    os.chdir(tmp_path)
    command = argv.pop(0) if argv[0] in ("wrf", "kf") else "rf"
    assert run_cli(command, FILES["cynmix"][0], *argv) == 2
    assert message in capsys.readouterr().err


# ------------------------------------------------------------------ never lose a result


def _killed_store(tmp_path, table, monkeypatch, die_at=6):
    """A square store of 20 x 20 tiles whose writer died at its die_at-th block, every
    tile before it logged (written and logged one at a time)."""
    submit = scale._Writer.submit

    def submit_and_wait(writer, *args):
        submit(writer, *args)
        for future in writer._futures:
            future.result()

    monkeypatch.setattr(scale._Writer, "submit", submit_and_wait)
    calls = []

    class Dying(SplitTable):
        def block(self, *args, **kwargs):
            calls.append(args)
            if len(calls) == die_at:
                raise Killed()
            return super().block(*args, **kwargs)

    path = str(tmp_path / "d.zarr")
    with pytest.raises(Killed):
        scale.write_zarr(Dying.from_bytes(table.to_bytes()), path, "rf", chunk=20)
    monkeypatch.setattr(scale._Writer, "submit", submit)
    return path, path + ".partial"


def _flip(path):
    data = bytearray(open(path, "rb").read())
    data[len(data) // 2] ^= 0x10
    open(path, "wb").write(bytes(data))


def _edit_log(partial, edit):
    log = os.path.join(partial, scale._LOG)
    lines = open(log).read().splitlines(keepends=True)
    open(log, "w").write("".join(edit(lines)))


TAMPERING = {  # how, what the message names
    "deleted_chunk": (lambda p: os.remove(os.path.join(p, "c", "0", "1")), "logged tile"),
    "truncated_chunk": (lambda p: os.truncate(os.path.join(p, "c", "0", "2"), 9),
                        "logged tile"),
    "flipped_transposed_chunk": (lambda p: _flip(os.path.join(p, "c", "1", "0")),
                                 "logged tile"),
    "garbage_log_line": (lambda p: _edit_log(p, lambda ls: ls[:2] + ["0 zz 1\n"] + ls[2:]),
                         "not tile records"),
    "older_log": (lambda p: _edit_log(p, lambda ls: [" ".join(x.split()[:2]) + "\n"
                                                     for x in ls[1:]]), "older tile log"),
    "zarr_chunk_being_written": (lambda p: open(os.path.join(p, "c", "0", f"3.{'ab' * 16}"
                                                             ".partial"), "wb").close(), None),
}


@pytest.mark.parametrize("how", list(TAMPERING))
def test_resume_verifies_every_logged_tile(tmp_path, table, monkeypatch, how):
    path, partial = _killed_store(tmp_path, table, monkeypatch)
    tamper, said = TAMPERING[how]
    tamper(partial)
    notes = []
    scale.write_zarr(table, path, "rf", chunk=20, resume=True, warn=notes.append)
    assert zarr.open_array(path, mode="r")[:].tobytes() == table.rf().tobytes()
    assert not [n for _, _, names in os.walk(path) for n in names if n.endswith(".partial")]
    assert notes == [] if said is None else (len(notes) == 1 and said in notes[0]
                                             and partial in notes[0]), notes


def test_resume_refuses_an_edited_data_type(tmp_path, table, monkeypatch):
    path, partial = _killed_store(tmp_path, table, monkeypatch)
    meta = os.path.join(partial, "zarr.json")
    text = open(meta).read()
    open(meta, "w").write(text.replace('"data_type": "int32"', '"data_type": "uint16"'))
    with pytest.raises(scale.StoreMismatch, match=r"zarr.json gives data type uint16"):
        scale.write_zarr(table, path, "rf", chunk=20, resume=True)


def test_one_writer_per_store_and_no_folder_of_the_user_replaced(tmp_path, table):
    path = str(tmp_path / "d.zarr")
    with scale._StoreLock(path):
        with pytest.raises(scale.StoreBusy, match=rf"another kestrilune \(pid {os.getpid()}\)"):
            scale.write_zarr(table, path, "rf", chunk=40)
    scale.write_zarr(table, path, "rf", chunk=40)  # the lock went with its holder
    with pytest.raises(scale.StoreRefused, match="--overwrite"):
        scale.write_zarr(table, path, "rf", chunk=40, overwrite=False)
    mine = tmp_path / "mine.zarr"
    mine.mkdir()
    (mine / "notes.txt").write_text("precious")
    for where in (str(mine), str(tmp_path / "mine")):  # the store, or its .partial
        with pytest.raises(scale.StoreRefused, match="not a .*store written by kestrilune"):
            scale.write_zarr(table, where if where.endswith(".zarr") else where + ".zarr",
                             "rf", chunk=40)
    (tmp_path / "other.zarr.partial").mkdir()
    with pytest.raises(scale.StoreRefused, match="other.zarr.partial is in the way"):
        scale.write_zarr(table, str(tmp_path / "other.zarr"), "rf", chunk=40)
    assert (mine / "notes.txt").read_text() == "precious"
    assert sorted(os.listdir(tmp_path)) == ["d.zarr", "mine.zarr", "other.zarr.partial"]


def test_command_line_outputs_follow_one_rule(tmp_path, table, capsys, monkeypatch):
    from kestrilune_tools.console import scale as scale_command

    src = str(FILES["cynmix"][0])
    monkeypatch.chdir(os.path.dirname(src))
    relative = os.path.join(".", os.path.basename(src))
    out = tmp_path / "rf.zarr"
    user = tmp_path / "user.zarr"
    user.mkdir()
    assert run_cli("rf", src, "-o", out, "--chunk", "40") == 0
    for argv, code, said in [
        (["-o", user], 1, "is a folder that is not a Zarr store"),
        (["-o", out], 1, "give --overwrite to replace it"),
        (["-o", out, "--overwrite"], 0, "wrote"),
        (["-o", out, "--resume"], 0, "wrote"),  # ./name and absolute name: one file
    ]:
        capsys.readouterr()
        assert run_cli("rf", relative, "--chunk", "40", *argv) == code
        assert said in capsys.readouterr()[code != 0]
    assert os.listdir(user) == []
    # .npy: int32 RF whichever path writes it (in memory, or through a memory map), a
    # narrow type only when asked
    want = table.rf()
    for large, extra in ((1 << 60, []), (0, []), (1 << 60, ["--condensed"])):
        monkeypatch.setattr(scale_command, "_LARGE_BYTES", large)
        assert run_cli("rf", src, "-o", tmp_path / "m.npy", *extra) == 0
        got = np.load(tmp_path / "m.npy")
        assert got.dtype == np.int32
        assert got.tobytes() == (want[np.triu_indices(len(want), 1)] if extra else want).tobytes()
    assert run_cli("rf", src, "--to", "3", "-o", tmp_path / "to.npy") == 0
    assert np.load(tmp_path / "to.npy").dtype == np.int32
    assert run_cli("rf", src, "-o", tmp_path / "u8.npy", "--dtype", "uint8") == 0
    assert (np.load(tmp_path / "u8.npy") == want).all()
    assert np.load(tmp_path / "u8.npy").dtype == np.uint8
    capsys.readouterr()
    assert run_cli("rf", src, "--reduce", "lag=1000000", "-o", tmp_path / "lag.csv") == 0
    n = table.n_trees
    assert f"lag=1000000 is longer than the longest run ({n} trees): lags 1..{n - 1}" in \
        capsys.readouterr().err
    assert len(open(tmp_path / "lag.csv").readlines()) == n


def test_an_interrupted_store_says_how_to_go_on(tmp_path, monkeypatch, capsys):
    block, calls = SplitTable.block, []

    def interrupted(self, *args, **kwargs):
        calls.append(args)
        if len(calls) == 6:
            raise KeyboardInterrupt
        return block(self, *args, **kwargs)

    monkeypatch.setattr(SplitTable, "block", interrupted)
    path = str(tmp_path / "d.zarr")
    assert main(["rf", str(FILES["cynmix"][0]), "-o", path, "--chunk", "20", "-q"]) == 130
    assert (f"the tiles written so far stay in {path}.partial; the same command with "
            "--resume continues") in capsys.readouterr().err

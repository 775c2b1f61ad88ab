"""The kestrilune command, in process through main(argv) and as a subprocess for exit codes."""

import csv
import os
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from kestrilune_tools import arrays
from kestrilune_tools.console import cli, progress
from kestrilune_tools import reading
from kestrilune_tools.table import load
from kestrilune_tools.reading import read_trees

DATA = Path(__file__).parents[1] / "data"
PRIMATES = str(Path(__file__).parents[2] / "examples" / "mrbayes_primates_12taxa.t")
RUN_A, RUN_B = str(DATA / "run_a.nex"), str(DATA / "run_b.nex")


def _cli(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "kestrilune_tools", *map(str, args)],
                          capture_output=True, text=True, timeout=120, **kwargs)


def _one_error_line(err: str) -> str:
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    assert lines[0].startswith("kestrilune: error: ")
    assert "Traceback" not in err
    return lines[0]


# ----------------------------------------------------------------------------- success


def test_rf_writes_matrix_and_pictures(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    out = {k: tmp_path / f"{k}" for k in ("rf.npy", "map.png", "trace.png", "heat.png")}
    code = cli.main(["rf", PRIMATES, "--burnin", "25%", "-o", str(out["rf.npy"]),
                     "--plot", str(out["map.png"]), "--trace", str(out["trace.png"]),
                     "--heatmap", str(out["heat.png"])])
    stdout = capsys.readouterr().out
    assert code == 0
    m = np.load(out["rf.npy"])
    assert m.shape == (1501, 1501) and m.dtype == np.int32
    expected = arrays.distance_matrix("rf", read_trees(PRIMATES, burnin="25%"))
    np.testing.assert_array_equal(m, expected)
    for name in ("map.png", "trace.png", "heat.png"):
        assert out[name].read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "1501 trees from 1 file, 12 taxa" in stdout
    assert "distinct splits" in stdout
    assert "mrbayes_primates_12taxa.t: 2001 trees, burn-in 500, used 1501" in stdout
    assert "pairs (i<j): min 0" in stdout
    assert "reference tree for the trace: " in stdout
    # The whole command is timed, writing and drawing included.
    lines = stdout.strip().splitlines()
    start = max(i for i, line in enumerate(lines) if line.startswith("wall time: "))
    assert all(len(line) <= 80 and line.startswith("  ") for line in lines[start + 1:])
    timing = " ".join(lines[start:])
    assert "reading trees" in timing
    assert "writing rf.npy" in timing and "drawing heat.png" in timing
    # the summary, then what was written, then the time; the summary within 80 columns
    wrote = [i for i, line in enumerate(lines) if line.startswith("wrote ")]
    summary = [i for i, line in enumerate(lines) if "reference tree for the trace" in line]
    assert len(wrote) == 4 and summary[0] < min(wrote) and max(wrote) < start
    assert all(len(line) <= 80 for line in lines[:min(wrote)])


def test_missing_output_folders_are_made(tmp_path, capsys):
    out = tmp_path / "out" / "deeper" / "rf.npy"
    assert cli.main(["rf", RUN_A, RUN_B, "-o", str(out), "--quiet"]) == 0
    assert np.load(out).shape == (5, 5)


@pytest.mark.parametrize("metric, suffix, delimiter", [
    ("rf", ".csv", ","), ("wrf", ".tsv", "\t"), ("kf", ".csv", ","),
])
def test_text_matrix_has_tree_names_as_first_row_and_column(tmp_path, capsys, metric, suffix,
                                                           delimiter):
    path = tmp_path / f"m{suffix}"
    assert cli.main([metric, RUN_A, RUN_B, "-o", str(path), "--quiet"]) == 0
    capsys.readouterr()
    rows = list(csv.reader(path.open(newline=""), delimiter=delimiter))
    ts = read_trees([RUN_A, RUN_B])
    assert rows[0] == ["tree"] + ts.names
    assert [r[0] for r in rows[1:]] == ts.names
    values = np.array([[float(x) for x in r[1:]] for r in rows[1:]])
    np.testing.assert_array_equal(values, arrays.distance_matrix(metric, ts))


def test_several_runs_report_within_and_between_means(capsys):
    assert cli.main(["rf", RUN_A, RUN_B, "--quiet"]) == 0
    out = capsys.readouterr().out
    # Within runs: (2 + 4 + 4) + 2 over 4 pairs; between: 2+0+0+2+4+4 over 6 pairs.
    assert "mean within runs 3, between runs 2" in out
    assert "run_a.nex: 3 trees, burn-in 0, used 3" in out
    assert "run_b.nex: 2 trees, burn-in 0, used 2" in out


@pytest.mark.parametrize("reference, expected", [
    ("first", "run_a.nex:gen.0 (index 0, first)"),
    ("last", "run_b.nex:gen.100 (index 4, last)"),
    ("-2", "run_b.nex:gen.0 (index 3, -2)"),
    ("medoid", "run_a.nex:gen.0 (index 0, medoid)"),
])
def test_trace_reference(tmp_path, capsys, reference, expected):
    pytest.importorskip("matplotlib")
    png = tmp_path / "t.png"
    assert cli.main(["rf", RUN_A, RUN_B, "--trace", str(png), "--reference", reference]) == 0
    assert f"reference tree for the trace: {expected}" in capsys.readouterr().out
    assert png.exists()


def test_summary_counts_the_distinct_splits(capsys):
    assert cli.main(["wrf", RUN_A, RUN_B, "--quiet"]) == 0
    n_splits = load.read_table([RUN_A, RUN_B])[1].n_splits
    assert f"  5 trees from 2 files, 5 taxa, {n_splits} distinct splits\n" in capsys.readouterr().out


def test_progress_lines_when_stderr_is_not_a_terminal(monkeypatch, capsys):
    monkeypatch.setattr(progress, "MIN_SECONDS", 0.0)  # this run is faster than a second
    assert cli.main(["rf", PRIMATES, "--burnin", "500"]) == 0
    err = capsys.readouterr().err
    assert "kestrilune: reading trees done in " in err
    assert "kestrilune: computing done in " in err
    assert cli.main(["rf", PRIMATES, "--burnin", "500", "--quiet"]) == 0
    assert capsys.readouterr().err == ""


def test_threads_option_sets_the_pool_size_variable(monkeypatch, capsys):
    monkeypatch.delenv("RAYON_NUM_THREADS", raising=False)
    assert cli.main(["rf", RUN_A, "--threads", "2", "--quiet"]) == 0
    assert os.environ["RAYON_NUM_THREADS"] == "2"


# ----------------------------------------------------------------------------- errors


def _mismatch(tmp_path):
    path = tmp_path / "other.nwk"
    path.write_text("((A,B),(C,D),E);\n((A,B),(C,D),F);\n")
    return str(path)


def _malformed(tmp_path):
    path = tmp_path / "broken.t"
    path.write_text("#NEXUS\nbegin trees;\ntranslate 1 A, 2, 3 C;\ntree a = (1,2,3);\n")
    return str(path)


@pytest.mark.parametrize("make_args, code, phrase", [
    (lambda p: ["rf", str(p / "absent.t")], 1, "absent.t: no such file"),
    (lambda p: ["rf", _malformed(p)], 1, "broken.t:3: translate entry '2' has no taxon name"),
    (lambda p: ["rf", _mismatch(p)], 1, "'tree_2') lacks E and has F, unlike the first tree"),
    (lambda p: ["rf", RUN_A, "--reference", "7", "--trace", str(p / "t.png")], 1,
     "--reference 7 is out of range"),
    (lambda p: ["rf", RUN_A, "--burnin", "3"], 1, "burn-in of 3 trees leaves none"),
    (lambda p: ["rf", RUN_A, "--thin", "0"], 2, "--thin must be at least 1"),
    (lambda p: ["rf", RUN_A, "--burnin", "ten"], 2, "invalid burn-in 'ten'"),
    (lambda p: ["rf", RUN_A, "-o", str(p / "m.xlsx")], 2, "use a name ending in .npy"),
    (lambda p: ["rf", RUN_A, "-o", _malformed(p) + "/m.npy"], 1, "cannot make folder"),
    # Output paths are checked before the input is read (the input here does not exist).
    (lambda p: ["rf", "absent.t", "--plot", str(p / "map.xyz")], 2,
     "--plot " + "{p}/map.xyz: cannot tell the format; use a name ending in .png"),
    (lambda p: ["rf", "absent.t", "-o", str(p)], 1, "it is a folder"),
    (lambda p: ["rf", "absent.t", "-o", "/proc/m.npy"], 1, "cannot create files in /proc"),
    (lambda p: ["rf", "absent.t", "--plot", str(p / "a.png"), "--trace", str(p / "a.png")],
     2, "the same file is already the output of --plot"),
    (lambda p: ["nni", RUN_A], 2, "invalid choice: 'nni'"),
    (lambda p: ["rf"], 2, "required"),
])
def test_errors_are_one_line_with_exit_code(tmp_path, capsys, monkeypatch, make_args, code,
                                            phrase):
    monkeypatch.setattr(progress, "MIN_SECONDS", float("inf"))  # no progress line, however slow
    assert cli.main(make_args(tmp_path)) == code
    captured = capsys.readouterr()
    assert phrase.format(p=tmp_path) in _one_error_line(captured.err)
    assert captured.out == ""


def test_module_error_names_file_and_line_of_the_trees(tmp_path, capsys):
    path = _mismatch(tmp_path)
    assert cli.main(["rf", path]) == 1
    line = _one_error_line(capsys.readouterr().err)
    assert line.startswith(f"kestrilune: error: tree 2 ({path} line 2, 'tree_2') lacks E "
                           f"and has F, unlike the first tree ({path} line 1, 'tree_1')")


def test_unparsable_tree_is_located(tmp_path, capsys):
    path = tmp_path / "unclosed.nwk"
    path.write_text("((A,B),(C,D));\n((A,B),\n(C,D);\n")
    assert cli.main(["kf", str(path)]) == 1
    line = _one_error_line(capsys.readouterr().err)
    assert "Failed to parse newick at index 1" in line
    assert line.endswith(f"(tree 1 is {path} line 2, tree 'tree_2')")


def _running(tmp_path):
    path = tmp_path / "running.t"
    text = Path(RUN_A).read_text()
    path.write_text(text[: text.rindex("tree ")] + "tree gen.200 = ((1,2),(3")
    return str(path)


def _nan_lengths(tmp_path):
    path = tmp_path / "nan.nwk"
    path.write_text("((A:1,B:1):1,(C:1,D:nan):1,E:1);\n((A:1,C:1):1,(B:1,D:1):1,E:1);\n")
    return str(path)


@pytest.mark.parametrize("make_args, phrase", [
    (lambda p: ["rf", PRIMATES, "--max-trees", "5", "--rooted"],
     "--rooted compares clades, but the trees are marked unrooted ([&U])"),
    (lambda p: ["rf", RUN_A, RUN_A], "is given twice (as"),
    (lambda p: ["kf", _nan_lengths(p)], ":1: 1 tree with NaN or infinite branch lengths"),
    (lambda p: ["rf", _running(p), RUN_B], "running.t:11: the last tree is unfinished"),
], ids=["rooted-on-unrooted", "same-file", "nan-length", "running"])
def test_warnings_are_single_lines_and_the_run_goes_on(tmp_path, capsys, make_args, phrase):
    assert cli.main(make_args(tmp_path) + ["--quiet"]) == 0
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("kestrilune: warning: ") and phrase in err


@pytest.mark.parametrize("command, advice", [
    ("rf", "(fewer trees help: --thin, --max-trees, or a larger --burnin)"),
    ("converge", "(fewer trees help: a larger --burnin)"),  # converge has no --thin
])
def test_out_of_memory_is_one_line_naming_options_the_command_has(monkeypatch, capsys,
                                                                  command, advice):
    def exhausted(*args, **kwargs):
        raise MemoryError

    monkeypatch.setattr(reading, "read_trees", exhausted)
    monkeypatch.setattr(load, "read_trees", exhausted)
    assert cli.main([command, RUN_A]) == 1
    assert _one_error_line(capsys.readouterr().err).endswith(f"out of memory {advice}")


def test_interrupt_while_reading_returns_130(monkeypatch, capsys):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(load, "read_trees", interrupted)
    assert cli.main(["rf", RUN_A]) == 130
    assert "kestrilune: interrupted" in capsys.readouterr().err


# ----------------------------------------------------------------------------- subprocess


def test_subprocess_success_and_help(tmp_path):
    out = tmp_path / "rf.npy"
    done = _cli("rf", PRIMATES, "--burnin", "25%", "-o", out)
    assert done.returncode == 0, done.stderr
    assert np.load(out).shape == (1501, 1501)
    assert _cli("--help").returncode == 0


@pytest.mark.parametrize("make_args, code", [
    (lambda p: ["rf", _malformed(p)], 1),
    (lambda p: ["rf", _mismatch(p)], 1),
    (lambda p: ["rf", RUN_A, "--max-trees", "0"], 2),
])
def test_subprocess_errors_exit_non_zero_without_traceback(tmp_path, make_args, code):
    done = _cli(*make_args(tmp_path))
    assert done.returncode == code
    _one_error_line(done.stderr)
    assert done.stdout == ""


_STUCK_MODULE_CALL = """
import sys, time
from kestrilune_tools.console import cli, progress
from kestrilune_tools.table.engine import SplitTable

def stuck(*args, **kwargs):
    print("computing", file=sys.stderr, flush=True)
    while True:
        time.sleep(0.05)

SplitTable.block = stuck
sys.exit(cli.main(sys.argv[1:]))
"""


_STUCK_WRITE = _STUCK_MODULE_CALL.replace("SplitTable.block = stuck", """
from kestrilune_tools.commands import distance
distance.write_matrix = stuck""")


@pytest.mark.parametrize("script, sig, code, said", [
    (_STUCK_MODULE_CALL, signal.SIGINT, 130, "kestrilune: interrupted"),
    (_STUCK_WRITE, signal.SIGINT, 130, "kestrilune: interrupted"),
    (_STUCK_WRITE, signal.SIGTERM, 143, "kestrilune: terminated"),
], ids=["int_computing", "int_writing", "term_writing"])
def test_ctrl_c_and_sigterm_exit_cleanly_and_leave_no_temporary_file(tmp_path, script, sig,
                                                                     code, said):
    from kestrilune_tools.console import outputs

    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait()
    tag = outputs._host_tag()
    killed = tmp_path / f".m.npy.kestrilune-{dead.pid}-{tag}-x1.part.npy"  # a SIGKILLed run's
    living = tmp_path / f".m.npy.kestrilune-1-{tag}-x2.part.npy"  # pid 1 is alive
    other = tmp_path / ".m.npy.abcdefgh.part.npy"  # not ours to judge
    for p in (killed, living, other):
        p.write_bytes(b"left over")
    proc = subprocess.Popen([sys.executable, "-c", script, "rf", RUN_A, RUN_B, "-o",
                             str(tmp_path / "m.npy")],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stderr.readline().strip() == "computing"
        proc.send_signal(sig)
        out, err = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == code
    assert said in err and "Traceback" not in err
    left = sorted(p.name for p in tmp_path.iterdir())
    assert left == sorted([living.name, other.name] + ([killed.name] if script is
                                                         _STUCK_MODULE_CALL else []))


_SIGNAL_IN_A_FINALIZER = _STUCK_MODULE_CALL.replace("SplitTable.block = stuck", """
import signal, weakref

def stuck_after_a_finalizer(*args, **kwargs):
    class Garbage:
        pass

    def callback(_):  # the handler runs in here, where Python drops what it raises
        signal.raise_signal(SIGNAL)
        sum(range(10))

    garbage = Garbage()
    ref = weakref.ref(garbage, callback)
    del garbage
    return block(*args, **kwargs)

block = SplitTable.block
SplitTable.block = stuck_after_a_finalizer""")


@pytest.mark.parametrize("sig, code", [(signal.SIGTERM, 143), (signal.SIGINT, 130)],
                         ids=["term", "int"])
def test_a_signal_handled_inside_a_finalizer_still_sets_the_exit_status(tmp_path, sig, code):
    # Python drops what the handler raises there; the command ends with the signal's status
    # (its output complete) instead of 0 and a traceback.
    script = _SIGNAL_IN_A_FINALIZER.replace("SIGNAL", f"signal.{sig.name}")
    done = subprocess.run([sys.executable, "-c", script, "rf", RUN_A, RUN_B, "-o",
                           str(tmp_path / "m.npy")], capture_output=True, text=True, timeout=60)
    assert done.returncode == code
    assert "Traceback" not in done.stderr and "Exception ignored" not in done.stderr
    assert (tmp_path / "m.npy").exists()


# ----------------------------------------------------------------------------- pictures


@pytest.mark.parametrize("max_landmarks", [1000, 12])
def test_pcoa_recovers_a_euclidean_configuration(max_landmarks):
    from kestrilune_tools.pictures.plots import pcoa

    points = np.random.default_rng(1).normal(size=(60, 2)) * [3.0, 1.0]
    dist = np.linalg.norm(points[:, None, :] - points[None, :, :], axis=2)
    coords, share = pcoa(dist, k=2, max_landmarks=max_landmarks)
    again = np.linalg.norm(coords[:, None, :] - coords[None, :, :], axis=2)
    np.testing.assert_allclose(again, dist, atol=1e-8)
    assert share[0] > share[1] > 0 and share.sum() == pytest.approx(1.0)


def test_pcoa_shares_of_non_euclidean_distances_stay_below_one():
    from kestrilune_tools.pictures.plots import pcoa

    # RF distances of a real sample: the double-centred matrix has negative eigenvalues.
    _, share = pcoa(arrays.distance_matrix("rf", read_trees(PRIMATES, max_trees=300)), k=3)
    assert share[0] >= share[1] >= share[2] > 0 and share.sum() <= 1.0


def test_pcoa_of_identical_trees_puts_all_at_the_origin():
    from kestrilune_tools.pictures.plots import pcoa

    coords, share = pcoa(np.zeros((4, 4), dtype=np.uint32))
    assert not coords.any() and not share.any()


def test_missing_matplotlib_is_a_one_line_error(monkeypatch, tmp_path, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    assert cli.main(["rf", RUN_A, "--plot", str(tmp_path / "p.png")]) == 1
    assert "pip install 'kestrilune[plot]'" in _one_error_line(capsys.readouterr().err)


@pytest.mark.parametrize("n, size", [(10, 4), (9, 3), (7, 7)])
def test_pooling_keeps_every_outlier(n, size):
    from kestrilune_tools.pictures.plots import pool

    d = np.zeros((n, n), dtype=np.uint32)
    d[n - 1, :] = d[:, n - 1] = 7  # the last tree differs from all others
    d[n - 1, n - 1] = 0
    step = -(-n // size)
    top = pool(d, size, "max")
    assert top.shape == (-(-n // step),) * 2 and top[-1].max() == top[:, -1].max() == 7
    widths = np.diff(np.append(np.arange(0, n, step), n))
    assert (pool(d, size, "mean") * np.outer(widths, widths)).sum() == pytest.approx(d.sum())


@pytest.mark.parametrize("metric", ["rf", "kf"])
def test_trace_covers_burnin_and_thinned_trees(metric):
    from kestrilune_tools.table import result as result_mod
    from kestrilune_tools.commands.distance import reference_trace

    ts, every = load.read_table(PRIMATES, burnin="90%", thin=3, lengths=True, every_tree=True)
    ctx = cli.Context(cli.build_parser().parse_args(["rf", PRIMATES, "--quiet"]))
    got = reference_trace(ctx, ts, every, metric, reference_i=5)
    full = result_mod.tree_distances(metric, read_trees(PRIMATES)).matrix
    ref_in_file = ts.sample_indices[5]
    assert len(got["values"]) == 2001 and got["used"].sum() == len(ts)
    np.testing.assert_allclose(got["values"], full[ref_in_file], rtol=1e-12)
    assert got["x_label"] == "generation" and got["x"][1] == 500
    assert got["burnin_end"] == [float(got["x"][ts.sample_indices[0]])]


@pytest.mark.parametrize("suffix", [".csv", ".npy", ".npz"])
def test_an_interrupted_write_leaves_the_old_file_and_no_fragment(tmp_path, monkeypatch,
                                                                  capsys, suffix):
    from kestrilune_tools.console import outputs
    from kestrilune_tools.table.result import TreeDistances

    target = tmp_path / f"m{suffix}"
    target.write_bytes(b"the previous result")

    def interrupted(path, *args, **kwargs):
        Path(path).write_bytes(b"half a matrix")
        raise KeyboardInterrupt

    monkeypatch.setattr(outputs, "_write_text", interrupted)
    monkeypatch.setattr(outputs.np, "save", interrupted)
    monkeypatch.setattr(TreeDistances, "save", lambda self, path: interrupted(path))
    assert cli.main(["rf", RUN_A, RUN_B, "-o", str(target), "--quiet"]) == 130
    assert target.read_bytes() == b"the previous result"
    assert sorted(p.name for p in tmp_path.iterdir()) == [target.name]


def test_version(capsys):
    import kestrilune_tools
    import kestrilune_tools.table.engine
    from importlib.metadata import version

    assert cli.main(["--version"]) == 0
    isa = kestrilune_tools.table.engine.instruction_set()
    expected = f"kestrilune {version('kestrilune')} (instruction set: {isa})\n"
    assert capsys.readouterr().out == expected
    assert kestrilune_tools.__version__ == version("kestrilune")


def test_a_command_loads_neither_openssl_nor_the_metadata_reader(tmp_path):
    # hashlib (OpenSSL) and importlib.metadata are 6 MiB of a command's peak memory, which
    # the memory comparisons with TreeAnnotator count; they load only when asked for.
    code = ("import sys; from kestrilune_tools.console.cli import main; "
            f"main(['summarize', {PRIMATES!r}, '--mcc', '-o', {str(tmp_path / 'm.nex')!r}, "
            "'-q']); print(sorted({'hashlib', '_hashlib', 'importlib.metadata'} & "
            "set(sys.modules)))")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[-1] == "[]"


@pytest.mark.parametrize("asked", ["baseline", "avx512"])
def test_instruction_set_follows_kestrilune_isa(asked):
    # KESTRILUNE_ISA lowers the level, never raises it above the processor's.
    levels = ["baseline", "avx2", "avx512"]
    code = "from kestrilune_tools.table import engine; print(engine.instruction_set())"
    run = lambda env: subprocess.run([sys.executable, "-c", code], env=env, check=True,
                                     capture_output=True, text=True).stdout.strip()
    env = {k: v for k, v in os.environ.items() if k != "KESTRILUNE_ISA"}
    cpu = run(env)
    got = run({**env, "KESTRILUNE_ISA": asked})
    assert got == levels[min(levels.index(asked), levels.index(cpu))]


def test_summary_says_when_the_scan_stopped_early(capsys):
    assert cli.main(["rf", PRIMATES, "--burnin", "100", "--max-trees", "50", "--quiet"]) == 0
    out = capsys.readouterr().out
    assert "mrbayes_primates_12taxa.t: first 150 trees read, burn-in 100, used 50" in out


@pytest.mark.parametrize("n, noun, words", [
    (1, "tree", "1 tree"), (2, "tree", "2 trees"), (1, "taxon", "1 taxon"),
    (5, "taxon", "5 taxa"), (0, "topology", "0 topologies")])
def test_counts_in_words(n, noun, words):
    from kestrilune_tools.pictures.words import counted

    assert counted(n, noun) == words


@pytest.mark.parametrize("used, groups, why", [
    ([0, 0, 1, 1], [0, 0, 0, 0], "burn-in"),
    ([0, 1, 0, 1], [0, 0, 0, 0], "burn-in, thinned out"),
    ([1, 0, 1, 0], [0, 0, 0, 0], "thinned out"),
    ([0, 1, 1, 0, 1, 1], [0, 0, 0, 1, 1, 1], "burn-in")])
def test_trace_says_why_trees_are_not_in_the_matrix(used, groups, why):
    from kestrilune_tools.pictures.plots import _left_out_why

    assert _left_out_why(np.array(used, dtype=bool), np.array(groups)) == why


@pytest.mark.parametrize("values, cut", [
    ([836.0] + [20.0 + i % 7 for i in range(999)], 26.0 * 1.15),  # a starting-tree spike
    ([40.0 + i % 7 for i in range(1000)], None),                    # none
    ([300.0] * 30 + [20.0] * 970, None),      # a burn-in of 3%: the level itself, not cut
    ([836.0, 20.0, 21.0], None),              # too few values to tell
])
def test_trace_axis_cut_only_for_a_few_outliers(values, cut):
    from kestrilune_tools.pictures.plots import spike_cut

    assert spike_cut(np.array(values)) == (None if cut is None else pytest.approx(cut))



BEAST = str(DATA / "beast1_ucln_17taxa_head.trees")  # its trees are marked [&R]


@pytest.mark.parametrize("argv, code, said", [
    (["rf", BEAST], 0, "rf (Robinson-Foulds, rooted, as the files mark their trees [&R])"),
    (["rf", BEAST, "--unrooted"], 0, "rf (Robinson-Foulds, unrooted)"),
    (["rf", RUN_A, "--rooted"], 0, "rf (Robinson-Foulds, rooted)"),
    (["converge", BEAST, "--no-ess"], 0,
     "trees compared as rooted, as the files mark their trees [&R]"),
    (["summarize", BEAST, "--mcc", "--unrooted"], 1,
     "--mcc cannot be combined with --unrooted"),
])
def test_rooting_follows_the_files_marks_unless_told(argv, code, said, capsys):
    assert cli.main(argv + ["--quiet"]) == code
    captured = capsys.readouterr()
    assert said in captured.out + captured.err


@pytest.mark.parametrize("suffix", [".npy", ".npz", ".csv"])
def test_a_matrix_goes_through_one_temporary_file(tmp_path, monkeypatch, suffix):
    # A second temporary file inside the first would outlive a SIGKILL, under a name the
    # next run cannot tell as a leftover of this output.
    from kestrilune_tools.console import outputs

    entered, real = [], outputs.atomic_path

    def counted(path):
        entered.append(os.path.basename(path))
        return real(path)

    monkeypatch.setattr(outputs, "atomic_path", counted)
    monkeypatch.setattr(cli, "atomic_path", counted)
    assert cli.main(["rf", RUN_A, "-o", str(tmp_path / f"m{suffix}"), "--quiet"]) == 0
    assert entered == [f"m{suffix}"]

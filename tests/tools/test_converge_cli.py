"""``kestrilune converge``: the verdict table, the files it writes, and clear errors."""

import csv
import json
import re
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

from kestrilune_tools.console import cli

DATA = Path(__file__).parents[1] / "data" / "converge"
PRIMATES = str(DATA / "primates2" / "primates2")


def test_base_name_gives_table_json_tstat_and_pictures(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    figs = tmp_path / "figs"
    code = cli.main(["converge", PRIMATES, "--diagn-every", "10000", "--tstat",
                     str(tmp_path / "splits.tsv"), "--json", str(tmp_path / "d.json"),
                     "--plot-dir", str(figs), "--quiet"])
    out = capsys.readouterr().out
    assert code == 0
    assert "mrbayes-sumt    0.001672 / 0.007522" in out
    # flagged: ** below 200, * below 625; every line fits 80 columns
    assert "21.3** (38)" in out and "127.4** / 127.4**" in out and "190.9**" in out
    assert max(len(line) for line in out.splitlines()
               if not line.startswith(("wrote", "drew"))) <= 80
    with open(tmp_path / "splits.tsv") as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    assert len(rows) == 9 and rows[-1]["#obs"] == "748"
    report = json.loads((tmp_path / "d.json").read_text())
    assert report["asdsf"]["mrbayes-sumt"]["asdsf"] == pytest.approx(0.0016716472368, rel=1e-9)
    assert len(report["asdsf_trace"]["points"]) == 5
    drawn = sorted(p.name for p in figs.iterdir())
    assert [p for p in drawn if not p.startswith("param_")] == [
        "acsf.png", "asdsf_trace.png", "split_scatter.png", "treespace.png"]
    # One per column of the parameter logs found beside the trees.
    assert len(drawn) == 4 + 14 and "param_r_A_-_C.png" in drawn
    assert len(report["parameters"]["parameters"]) == 14


def test_one_run_gives_a_note_not_a_warning(tmp_path, capsys):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a RuntimeWarning here used to reach the user
        assert cli.main(["converge", PRIMATES + ".run1.t.gz", "--tstat",
                         str(tmp_path / "t.tsv"), "--quiet"]) == 0
    assert "note: one run:" in capsys.readouterr().out
    assert (tmp_path / "t.tsv").read_text().splitlines()[1].split("\t")[3] == "NA"


def test_plot_dir_is_made_only_when_pictures_are_drawn(tmp_path, capsys):
    figs = tmp_path / "figs"
    assert cli.main(["converge", PRIMATES, "--burnin", "600", "--plot-dir", str(figs)]) == 1
    assert not figs.exists()
    (tmp_path / "file").write_text("")
    assert cli.main(["converge", PRIMATES, "--plot-dir", str(tmp_path / "file")]) == 1
    assert "it is a file, not a folder" in capsys.readouterr().err


def test_plot_dir_says_what_it_did_not_draw(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    one_run = str(DATA / "primates2" / "primates2.run1.t.gz")
    assert cli.main(["converge", one_run, "--no-ess", "--no-params", "--plot-dir",
                     str(tmp_path)]) == 0
    out = capsys.readouterr().out
    assert ("not drawn: split_scatter.png (it compares runs: give two or more); "
            "asdsf_trace.png (it needs --diagn-every)") in out
    assert sorted(p.name for p in tmp_path.iterdir()) == ["acsf.png", "treespace.png"]


@pytest.mark.parametrize("args,code,message", [
    (["nowhere/analysis"], 1, "nowhere/analysis: no such file, no MrBayes runs"),
    ([PRIMATES, "--burnin", "600"], 1, "the burn-in of 501 leaves 0"),
    ([PRIMATES, "--min-freq", "1.5"], 2, "--min-freq must lie between 0 and 1"),
    ([PRIMATES, "--json", "out.csv"], 2, "--json out.csv"),
    ([PRIMATES, "--burnin", "lots"], 2, "invalid burn-in 'lots'"),
], ids=["missing", "burnin", "min_freq", "json_suffix", "burnin_text"])
def test_bad_input_is_one_line(args, code, message, tmp_path):
    res = subprocess.run([sys.executable, "-m", "kestrilune_tools", "converge", *args],
                         capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert res.returncode == code, res.stderr
    lines = res.stderr.strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in res.stderr, res.stderr
    assert message in lines[0]


def _two_runs(tmp_path, k, bad_every=0, bad="inf"):
    """Two runs of k trees from the primates example; every bad_every-th tree of the first
    run gets one length ``bad``."""
    lines = (Path(__file__).parents[2] / "examples" / "mrbayes_primates_12taxa.t").read_text(
        ).splitlines(keepends=True)
    head = [x for x in lines if not x.lstrip().startswith("tree ") and x.strip() != "end;"]
    trees = [x for x in lines if x.lstrip().startswith("tree ")]
    paths = []
    for run, first in enumerate((100, 600)):
        chosen = trees[first:first + k]
        if run == 0 and bad_every:
            chosen = [re.sub(r":[0-9.eE+-]+", f":{bad}", t, count=1) if i % bad_every == 0
                      else t
                      for i, t in enumerate(chosen)]
        path = tmp_path / f"r{run}.t"
        path.write_text("".join(head + chosen) + "end;\n")
        paths.append(str(path))
    return paths


@pytest.mark.parametrize("k, bad_every, bad, extra, warning", [
    (2, 0, "", [], None),                 # too few trees for a pair of lags: no argmax crash
    (3, 0, "", ["--no-ess"], None),
    (60, 4, "inf", ["--metric", "kf"], "15 trees after the burn-in with NaN or infinite"),
    (60, 5, "nan", ["--metric", "wrf"], "12 trees after the burn-in with NaN or infinite"),
], ids=["two_trees", "three_no_ess", "inf_kf", "nan_wrf"])
def test_small_runs_and_non_finite_lengths(tmp_path, k, bad_every, bad, extra, warning):
    runs = _two_runs(tmp_path, k, bad_every, bad)
    res = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-m",
                          "kestrilune_tools", "converge", *runs, "--burnin", "0", "-q",
                          *extra], capture_output=True, text=True, timeout=120)
    assert res.returncode == 0, res.stderr
    assert "RuntimeWarning" not in res.stderr and "Traceback" not in res.stderr
    if warning is None:
        assert res.stderr == ""
    else:
        (line,) = res.stderr.strip().splitlines()
        assert warning in line and "r0.t" in line

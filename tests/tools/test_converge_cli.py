"""``kestrilune converge``: the verdict table, the files it writes, and clear errors."""

import csv
import json
import subprocess
import sys
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
    assert "21.3 (m=38)" in out and "127.4 / 127.4" in out
    with open(tmp_path / "splits.tsv") as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    assert len(rows) == 9 and rows[-1]["#obs"] == "748"
    report = json.loads((tmp_path / "d.json").read_text())
    assert report["asdsf"]["mrbayes-sumt"]["asdsf"] == pytest.approx(0.0016716472368, rel=1e-9)
    assert len(report["asdsf_trace"]["points"]) == 5
    assert sorted(p.name for p in figs.iterdir()) == [
        "acsf.png", "asdsf_trace.png", "split_scatter.png", "treespace.png"]


@pytest.mark.parametrize("args,code,message", [
    (["nowhere/analysis"], 1, "nowhere/analysis: no such file, and no MrBayes runs"),
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

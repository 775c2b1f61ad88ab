"""The ``kestrilune summarize`` command: outputs that other tools read back, and clear errors."""

import csv
import json
import re
import shutil
from pathlib import Path

import pytest

from kestrilune_tools.console import cli
from kestrilune_tools.analyses import summaries as summarize
from kestrilune_tools.reading import read_trees
from kestrilune_tools.table.splits import split_data

DATA = Path(__file__).parents[1] / "data" / "summaries"
BEAST = DATA / "beast1_ucln_17taxa.topologies.trees.gz"


def _primates(tmp_path):
    """The two MrBayes runs under their base name (the command expands it)."""
    for i in (1, 2):
        shutil.copy(DATA / f"primates2.run{i}.t.gz", tmp_path / f"primates2.run{i}.t.gz")
    return str(tmp_path / "primates2")


def _error(capsys):
    err = capsys.readouterr().err
    assert "Traceback" not in err
    return err


def test_mrbayes_runs_give_consensus_topologies_json_and_picture(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    out = {k: str(tmp_path / k) for k in ("con.nex", "trprobs.tsv", "summary.json", "con.png")}
    code = cli.main(["summarize", _primates(tmp_path), "--burnin", "25%", "--consensus",
                     "--allcompat", "--trprobs", out["trprobs.tsv"], "-o", out["con.nex"],
                     "--json", out["summary.json"], "--plot", out["con.png"], "-q"])
    stdout = capsys.readouterr().out
    assert code == 0
    assert "752 trees from 2 files, 12 taxa" in stdout
    assert "1: p = 0.989362, P = 0.989362 (744 trees" in stdout
    # The trees file reads back (translate numbers in the taxa order of the input) and its
    # consensus has the splits of the one MrBayes wrote.
    written = read_trees([out["con.nex"], DATA / "primates2.con.tre"])
    assert written.names[:2] == ["con.nex:con_50_majrule", "con.nex:con_all_compat"]
    maps = [written.translate_maps[m] for m in written.map_indices]
    assert maps[0] == maps[2]
    sd = split_data(written.subset([0, 2]), rooted=False)
    assert (sd.counts().sum(axis=1)[sd.nontrivial()] == 2).all()
    rows = list(csv.DictReader(open(out["trprobs.tsv"]), delimiter="\t"))
    assert [int(r["count"]) for r in rows] == [744, 3, 2, 2, 1]
    assert rows[0]["credible_set"] == "1" and rows[1]["credible_set"] == "0"
    assert int(rows[0]["count_primates2.run1.t.gz"]) == 372
    doc = json.load(open(out["summary.json"]))
    assert doc["settings"]["outgroup"] == "Tarsius_syrichta"
    assert doc["settings"]["burnin_per_file"] == [125, 125]
    assert [t["name"] for t in doc["trees"]] == ["con_50_majrule", "con_all_compat"]
    # every key the trees file holds: sumt's and, with two runs, the split ESS
    assert "prob_stddev=" in doc["trees"][0]["annotated_newick"]
    assert "split_ess=" in doc["trees"][0]["annotated_newick"]
    assert doc["topologies"]["n_distinct"] == 5 and doc["topologies"]["n_credible"] == 1
    assert Path(out["con.png"]).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_beast_sample_gives_mcc_and_ccd_trees(tmp_path, capsys):
    out = {k: str(tmp_path / k) for k in ("trees.nwk", "summary.json")}
    code = cli.main(["summarize", str(BEAST), "--burnin", "200", "--mcc", "--ccd0", "--ccd1",
                     "-o", out["trees.nwk"], "--json", out["summary.json"], "-q"])
    stdout = capsys.readouterr().out
    assert code == 0
    assert "(rooted clades, as the files mark their trees [&R]):\n  1801 trees" in stdout
    assert "log clade credibility -5.343868837869309" in stdout
    lines = Path(out["trees.nwk"]).read_text().splitlines()
    assert len(lines) == 3
    doc = json.load(open(out["summary.json"]))
    mcc = doc["trees"][0]
    assert mcc["sample_tree"]["name"] == "STATE_342000"
    assert mcc["score"] == pytest.approx(-5.343868837869309, abs=1e-12)
    assert mcc["settings"]["n_clades"] == 81
    assert doc["trees"][1]["score"] >= mcc["score"]  # CCD0 MAP's clade product
    # rooted summary trees carry their support as posterior too (FigTree, treeio)
    assert lines[0] == summarize.mcc_tree(split_data(read_trees(BEAST, burnin=200),
                                                     rooted=True)).to_newick(posterior_key=True)
    assert "[&prob=0.249305941143809,posterior=0.249305941143809]" in lines[0]


def _unrooted_with_polytomy(tmp_path):
    path = tmp_path / "poly.nwk"
    path.write_text("[&R] ((A,B),(C,D));\n[&R] ((A,B,C),D);\n")
    return str(path)


def _other_taxa(tmp_path):
    a = tmp_path / "a.nex"
    b = tmp_path / "b.nex"
    a.write_text("#NEXUS\nbegin trees;\ntranslate 1 A, 2 B, 3 C, 4 D;\n"
                 "tree t1 = ((1,2),(3,4));\ntree t2 = ((1,3),(2,4));\nend;\n")
    b.write_text("#NEXUS\nbegin trees;\ntranslate 1 A, 2 B, 3 C, 4 E;\n"
                 "tree t1 = ((1,2),(3,4));\ntree t2 = ((1,3),(2,4));\nend;\n")
    return [str(a), str(b)]


@pytest.mark.parametrize("make_args, code, phrase", [
    (lambda p: [_primates(p), "--mcc"], 1,
     "--mcc needs rooted trees, but {p}/primates2.run1.t.gz marks its trees [&U] (unrooted)"),
    (lambda p: [_unrooted_with_polytomy(p), "--ccd1"], 1,
     "CCD1 needs binary trees, but 1 of the 2 trees are not"),
    (lambda p: _other_taxa(p), 1,
     "tree 1 of run 2 ({p}/b.nex line 4, 'b.nex:t1') lacks D and has E, unlike the first "
     "tree ({p}/a.nex line 4, 'a.nex:t1')"),
    (lambda p: [_primates(p), "--consensus", "0.3"], 2, "--consensus must lie between 0.5"),
    (lambda p: [_primates(p), "--outgroup", "Nemo"], 1, "--outgroup Nemo: no such taxon"),
    (lambda p: [str(p / "nothing")], 1, "no such file, no MrBayes runs"),
    (lambda p: [_primates(p), "-o", str(p / "trees.txt")], 2, "cannot tell the format"),
], ids=["mcc_unrooted", "ccd_polytomy", "different_taxa", "threshold", "outgroup", "missing",
        "suffix"])
def test_errors_are_one_line(tmp_path, capsys, make_args, code, phrase):
    assert cli.main(["summarize", *make_args(tmp_path), "-q"]) == code
    err = _error(capsys)
    assert phrase.format(p=tmp_path) in err, err


def test_rooted_option_on_unrooted_trees_warns(tmp_path, capsys):
    assert cli.main(["summarize", _primates(tmp_path), "--burnin", "25%", "--rooted",
                     "--mcc", "-q"]) == 0
    assert "--rooted compares clades, but the trees are marked unrooted" in _error(capsys)


def test_progress_lines_count_the_topologies_written(tmp_path, capsys, monkeypatch):
    from kestrilune_tools.console import progress

    monkeypatch.setattr(progress, "MIN_SECONDS", 0.0)  # a line for every phase, however short
    table = str(tmp_path / "trprobs.tsv")
    assert cli.main(["summarize", _primates(tmp_path), "--burnin", "25%",
                     "--trprobs", table]) == 0
    # a line with the count; which count depends on when the display first looked (a slow,
    # sanitized run may look before the first topology is read)
    assert re.search(r"kestrilune: writing topologies \d+% \([0-5]/5 topologies\)",
                     _error(capsys))


def test_report_beside_the_summary_changes_no_tree(tmp_path, capsys):
    """--report diagnoses every tree from the one reading; the trees written after the
    burn-in are those summarize writes without it."""
    base = _primates(tmp_path)
    argv = ["summarize", base, "--burnin", "25%", "--consensus", "--trprobs"]
    assert cli.main(argv + [str(tmp_path / "a.tsv"), "-o", str(tmp_path / "a.nex"), "-q"]) == 0
    plain = capsys.readouterr().out
    assert cli.main(argv + [str(tmp_path / "b.tsv"), "-o", str(tmp_path / "b.nex"), "-q",
                            "--report", str(tmp_path / "r.html")]) == 0
    with_page = capsys.readouterr().out
    assert (tmp_path / "a.nex").read_text().split("\n")[2:] == \
        (tmp_path / "b.nex").read_text().split("\n")[2:]
    assert (tmp_path / "a.tsv").read_text() == (tmp_path / "b.tsv").read_text()
    assert plain.split("wrote")[0] == with_page.split("wrote")[0]
    page = (tmp_path / "r.html").read_text()
    assert all(f'id="{s}"' in page for s in ("verdict", "consensus", "map"))
    assert cli.main(argv[:4] + ["--thin", "2", "--report", str(tmp_path / "x.html")]) == 2
    assert "--report diagnoses every tree" in _error(capsys)

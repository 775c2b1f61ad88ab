"""Split-frequency diagnostics against what MrBayes 3.2.7a itself printed for two complete
analyses: the run-time ASDSF trace (.mcmc), sumt's ASDSF/MSDSF (.out), every .tstat row and
every .vstat mean, variance and PSRF, to the printed precision."""

import math
import re
from pathlib import Path

import numpy as np
import pytest

from kestrilune_tools import read_trees
from kestrilune_tools.analyses.converge import diagnose, splitfreq as sf
from kestrilune_tools.reading.runs import expand_runs
from kestrilune_tools.table.splits import split_data

DATA = Path(__file__).parents[1] / "data" / "converge"
ANALYSES = {"primates2": (2, 10000), "cynmix3": (3, 8000)}  # runs, diagnostics interval


def _printed_close(got, text):
    """``got`` rounds to the number MrBayes printed as ``text`` (half a unit in the last
    printed digit, and a hair more for the rounding of our own last bit)."""
    digits = len(text.split("e")[0].split(".")[1]) if "." in text else 0
    exp = int(text.split("e")[1]) if "e" in text else 0
    return abs(got - float(text)) <= 0.5 * 10 ** (exp - digits) * (1 + 1e-9)


class MrBayes:
    """One analysis: our split data and MrBayes' own files, splits keyed by leaf set."""

    def __init__(self, name):
        self.dir = DATA / name
        self.name = name
        self.n_runs, self.every = ANALYSES[name]
        self.files = expand_runs([str(self.dir / name)])
        self.sd = split_data(read_trees(self.files), rooted=False, lengths=True)
        self.layout = sf.run_layout(self.sd)
        out = (self.dir / f"{name}.out").read_text()
        taxa_block = out.split("List of taxa in bipartitions:")[1].split("Key to taxon")[0]
        self.taxa = re.findall(r"^\s+\d+ -- (\S+)$", taxa_block, re.M)
        self.parts = {}
        for line in (self.dir / f"{name}.parts").read_text().splitlines()[2:]:
            pid, part = line.split("\t")
            self.parts[int(pid)] = frozenset(t for t, c in zip(self.taxa, part) if c == "*")
        summary = out.split("Summary statistics for partitions with")[1]
        self.sumt = {k: float(v) for k, v in re.findall(
            r"(Average|Maximum) standard deviation of split frequencies = ([0-9.]+)", summary)}
        self.psrf_summary = {k: float(v) for k, v in re.findall(
            r"(Average|Maximum) PSRF for parameter values[^=]*= ([0-9.]+)", summary)}

    def table_rows(self, ext):
        lines = (self.dir / f"{self.name}.{ext}").read_text().splitlines()
        header = lines[1].split("\t")
        return [dict(zip(header, [c for c in line.split("\t") if c != ""]))
                for line in lines[2:]]

    def key(self, leaves):
        """A bipartition's leaf set in the form MrBayes keys it (the side without taxon 1)."""
        side = frozenset(leaves)
        return frozenset(self.taxa) - side if self.taxa[0] in side else side


@pytest.fixture(scope="module", params=sorted(ANALYSES))
def mb(request):
    return MrBayes(request.param)


def test_runtime_trace_reproduces_every_mcmc_line(mb):
    rows = (mb.dir / f"{mb.name}.mcmc").read_text().splitlines()
    header = next(line for line in rows if line.startswith("Gen\t")).split("\t")
    col = header.index("AvgStdDev(s)")
    printed = [(int(r.split("\t")[0]), r.split("\t")[col]) for r in rows
               if r[:1].isdigit()]
    trace = sf.asdsf_trace(mb.sd, mb.layout, mb.every, burnin=0.25)
    assert trace.in_generations
    assert [int(g) for g in trace.generation] == [g for g, _ in printed]
    for got, (_, text) in zip(trace.asdsf, printed):
        assert _printed_close(got, text), (got, text)


def test_sumt_summary_asdsf_and_msdsf(mb):
    a = sf.asdsf(mb.sd, mb.layout, burnin=0.25, rule="mrbayes-sumt")
    assert _printed_close(a.asdsf, f"{mb.sumt['Average']:.6f}")
    assert _printed_close(a.msdsf, f"{mb.sumt['Maximum']:.6f}")


def test_every_tstat_row(mb):
    t = sf.split_frequencies(mb.sd, mb.layout, burnin=0.25, rule="mrbayes-sumt")
    ours = {mb.key(label.split("|")): i for i, label in enumerate(t.labels)}
    printed = mb.table_rows("tstat")
    assert len(printed) == len(ours)
    for row in printed:
        i = ours[mb.parts[int(row["ID"])]]
        assert int(row["#obs"]) == t.total[i]
        assert int(row["Nruns"]) == t.runs_present[i]
        for col, got in [("Probability(=s)", t.probability[i]), ("Stddev(s)", t.sd[i]),
                         ("Min(s)", t.frequencies[i].min()), ("Max(s)", t.frequencies[i].max())]:
            assert _printed_close(got, row[col]), (row, col, got)


def test_tstat_written_in_mrbayes_numbering_and_taxon_order(mb, tmp_path):
    # The rows line up with sumt's .parts by partition string, and the IDs are its IDs
    # (which of two equally frequent splits comes first is sumt's own affair).
    from kestrilune_tools.console.cli import main

    assert main(["converge", str(mb.dir / mb.name), "-q", "--no-ess",
                 "--tstat", str(tmp_path / "t.tsv")]) == 0
    lines = (tmp_path / "t.tsv").read_text().splitlines()
    col = lines[0].split("\t").index("Partition")
    ours = {r.split("\t")[col]: (int(r.split("\t")[0]), int(r.split("\t")[1]))
            for r in lines[1:]}
    theirs = {}
    for row in mb.table_rows("tstat"):
        string = (mb.dir / f"{mb.name}.parts").read_text().splitlines()[1 + int(row["ID"])]
        theirs[string.split("\t")[1]] = (int(row["ID"]), int(row["#obs"]))
    assert {k: v[1] for k, v in ours.items()} == {k: v[1] for k, v in theirs.items()}
    for count in {v[1] for v in theirs.values()}:
        assert sorted(v[0] for v in ours.values() if v[1] == count) == \
            sorted(v[0] for v in theirs.values() if v[1] == count)


def test_every_vstat_row_and_the_psrf_summary(mb):
    kept = sf.split_frequencies(mb.sd, mb.layout, burnin=0.25, trivial=True)
    bl = sf.branch_length_stats(mb.sd, mb.layout, kept.split_ids, burnin=0.25, rule="mrbayes")
    ours = {mb.key(label.split("|")): i for i, label in enumerate(bl.labels)}
    printed = mb.table_rows("vstat")
    assert len(printed) == len(ours)
    for row in printed:
        pid = int(re.search(r"\[(\d+)\]$", row["Parameter"]).group(1))
        i = ours[mb.parts[pid]]
        assert _printed_close(bl.mean[i], row["Mean"])
        assert _printed_close(bl.variance[i], row["Variance"])
        assert _printed_close(bl.psrf[i], row["PSRF"]), (row, bl.psrf[i])
    assert _printed_close(bl.mean_psrf, f"{mb.psrf_summary['Average']:.3f}")
    assert _printed_close(bl.max_psrf, f"{mb.psrf_summary['Maximum']:.3f}")


def test_textbook_psrf_differs_from_what_mrbayes_prints():
    """MrBayes never resets its sum of squared deviations between runs, which inflates the
    within-run variance of later runs: the Gelman-Rubin value is larger."""
    mb = MrBayes("primates2")
    ids = sf.split_frequencies(mb.sd, mb.layout, trivial=True).split_ids
    printed = sf.branch_length_stats(mb.sd, mb.layout, ids, rule="mrbayes").psrf
    textbook = sf.branch_length_stats(mb.sd, mb.layout, ids, rule="gelman-rubin").psrf
    assert np.all(textbook > printed)


def test_rules_keep_the_splits_they_name():
    mb = MrBayes("cynmix3")
    got = {rule: sf.asdsf(mb.sd, mb.layout, rule=rule) for rule in sf.RULES}
    counts = sf.split_frequencies(mb.sd, mb.layout, rule="any-run", min_freq=0).counts
    freq = counts / 751  # 1001 trees per run, 250 dropped
    assert got["any-run"].n_splits == len(counts)
    assert got["mean-threshold"].n_splits == int((freq.mean(axis=1) > 0.1).sum())
    assert got["mrbayes-mcmc"].n_splits == got["mrbayes-sumt"].n_splits == 37
    assert got["any-run"].asdsf < got["mrbayes-sumt"].asdsf


def test_base_name_expands_to_its_runs(tmp_path):
    files = expand_runs([str(DATA / "cynmix3" / "cynmix3")])
    assert [Path(f).name for f in files] == [f"cynmix3.run{i}.t.gz" for i in (1, 2, 3)]
    with pytest.raises(FileNotFoundError, match=r"no such file, no MrBayes runs .*run1\.t"):
        expand_runs([str(tmp_path / "missing")])
    (tmp_path / "a.run10.t").write_text("x")
    (tmp_path / "a.run2.t").write_text("x")
    assert [Path(f).name for f in expand_runs(str(tmp_path / "a"))] == ["a.run2.t", "a.run10.t"]


def test_report_holds_every_statistic_as_json():
    rep = diagnose([str(DATA / "primates2" / "primates2")], burnin="25%", diagn_every=10000)
    d = rep.to_dict()
    assert d["asdsf"]["mrbayes-sumt"]["asdsf"] == rep.asdsf["mrbayes-sumt"].asdsf
    assert [p["asdsf"] for p in d["asdsf_trace"]["points"]][0] == 0.0
    assert d["runs"][0]["approx_ess"]["cutoff"] == 38
    assert d["runs"][1]["pseudo_ess"]["min"] == pytest.approx(213.8973621695, rel=1e-9)
    assert len(d["splits"]["rows"]) == 9 and len(d["branch_lengths"]["rows"]) == 21
    assert d["settings"]["burnin"] == "25%" and not rep.notes


@pytest.mark.parametrize("case", ["one_run", "burnin_too_long", "different_taxa", "no_splits"])
def test_bad_input_is_explained(case, tmp_path):
    run1 = str(DATA / "primates2" / "primates2.run1.t.gz")
    if case == "one_run":
        rep = diagnose([run1], burnin="25%")
        assert rep.asdsf == {} and rep.branch_lengths is None
        assert "need at least two" in rep.notes[0]
        assert rep.runs[0].pseudo.minimum == pytest.approx(127.4318458662, rel=1e-9)
    elif case == "burnin_too_long":
        with pytest.raises(ValueError, match=r"has 501 trees: the burn-in of 500 leaves 1"):
            diagnose([run1], burnin=500)
    elif case == "no_splits":  # star trees: nothing to compare, every measure degenerate
        for name in ("a.nwk", "b.nwk"):
            (tmp_path / name).write_text("(A,B,C,D,E);\n" * 150)
        rep = diagnose([str(tmp_path / "a.nwk"), str(tmp_path / "b.nwk")], burnin=0)
        assert "no non-trivial split reaches frequency 0.1" in rep.notes[0]
        assert math.isnan(rep.asdsf["mrbayes-sumt"].asdsf)
        run = rep.runs[0]
        assert math.isnan(run.approx.ess) and run.pseudo.minimum == 0 and run.frechet.ess == 1
        assert rep.to_dict()["asdsf"]["mrbayes-sumt"]["asdsf"] is None
    else:
        other = tmp_path / "other.nwk"
        other.write_text("((A,B),(C,D),E);\n((A,C),(B,D),E);\n")
        with pytest.raises(ValueError, match=r"do not share one set of taxa: .*other.nwk line 1"):
            diagnose([run1, str(other)], burnin=0)


def test_pictures_are_drawn(tmp_path):
    pytest.importorskip("matplotlib")
    from kestrilune_tools.pictures import converge as plots

    rep = diagnose([str(DATA / "cynmix3" / "cynmix3")], burnin="25%", diagn_every=8000,
                   ess=False)
    drawn = [plots.split_scatter(rep.table, str(tmp_path / "scatter.png")),
             plots.asdsf_trace(rep.trace, str(tmp_path / "trace.png")),
             plots.acsf([r.windows for r in rep.runs], str(tmp_path / "acsf.svg"))]
    assert all(Path(p).stat().st_size > 1000 for p in drawn)


def test_window_frequencies_follow_rwty_definitions():
    mb = MrBayes("cynmix3")
    table = sf.split_frequencies(mb.sd, mb.layout)
    w = sf.window_frequencies(mb.sd, mb.layout, 1, window=20, split_ids=table.split_ids)
    seen = np.flatnonzero(mb.sd.nontrivial())
    traces = sf.presence_traces(mb.sd, mb.layout, 1, seen)[:, :w.start[-1] + 20]
    freq = traces.reshape(len(seen), -1, 20).mean(axis=2)  # (splits, windows)
    freq = freq[freq.sum(axis=1) > 0]  # RWTY's table: splits seen in some window
    cum = np.cumsum(freq, axis=1) / np.arange(1, freq.shape[1] + 1)
    np.testing.assert_allclose(w.acsf_sliding, np.abs(np.diff(freq, axis=1)).mean(axis=0))
    np.testing.assert_allclose(w.acsf_cumulative, np.abs(np.diff(cum, axis=1)).mean(axis=0))
    assert w.n_splits_seen == len(freq)
    rows = sf.presence_traces(mb.sd, mb.layout, 1, table.split_ids)[:, :w.start[-1] + 20]
    np.testing.assert_allclose(w.sliding, rows.reshape(len(rows), -1, 20).mean(axis=2))

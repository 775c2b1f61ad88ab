"""``kestrilune watch``: runs read while they grow (cut lines, bursts, a restart) give at
every diagnostic point the ASDSF of the finished files' trace, which is MrBayes' .mcmc."""

import gzip
import json
import math
import random
import re
from pathlib import Path

import numpy as np
import pytest

from kestrilune_tools import read_trees
from kestrilune_tools.analyses.converge import splitfreq as sf
from kestrilune_tools.analyses.converge.watch import RunTimeASDSF
from kestrilune_tools.commands.watch import parse_rule
from kestrilune_tools.console.cli import UsageError, main
from kestrilune_tools.reading.follow import GrowingTreeFile
from kestrilune_tools.table.splits import split_data

DATA = Path(__file__).parents[1] / "data" / "converge"
ANALYSES = {"primates2": (2, 10000), "cynmix3": (3, 8000)}


def assert_converge_topo_ess(point, sd, layout):
    """Each run's topological ESS at ``point`` is converge's approximate ESS of the RF
    distances of the same trees (the prefix after the burn-in), field by field."""
    from kestrilune_tools.analyses.converge.ess import approx_ess
    from kestrilune_tools.analyses.converge.report import run_distances

    fields = ("ess", "operator", "cutoff", "max_lag", "asymptote", "scale")
    for r, got in enumerate(point.topo_ess):
        idx = np.flatnonzero((layout.run == r) & (layout.position < point.samples[r])
                             & (layout.position >= point.samples[r] - point.used[r]))
        want = approx_ess(run_distances(sd, idx, "rf")) if len(idx) >= 120 else None
        assert (got is None) == (want is None)
        if got is not None:  # NaN where all the window's trees are alike: equal here
            np.testing.assert_equal([getattr(got, f) for f in fields],
                                    [getattr(want, f) for f in fields])


def as_revbayes(nexus):
    """The trees of a MrBayes file as a RevBayes tab-separated log."""
    text = nexus.decode()
    names = dict(re.findall(r"^\s+(\d+) ([^,;\s]+)[,;]$", text, re.M))
    rows = ["Iteration\tPosterior\tpsi"]
    for gen, tree in re.findall(r"tree gen\.(\d+) = \[&U\] (.*;)", text):
        rows.append(f"{gen}\t-1.0\t" + re.sub(r"([(,])(\d+)(?=[:,)])",
                                                lambda m: m.group(1) + names[m.group(2)], tree))
    return ("\n".join(rows) + "\n").encode()


@pytest.mark.parametrize("name, layout", [("primates2", "nexus"), ("cynmix3", "nexus"),
                                          ("primates2", "revbayes")])
def test_growing_runs_give_the_finished_trace(tmp_path, name, layout):
    n_runs, every = ANALYSES[name]
    sources = [gzip.decompress((DATA / name / f"{name}.run{r + 1}.t.gz").read_bytes())
               for r in range(n_runs)]
    if layout == "revbayes":
        sources = [as_revbayes(s) for s in sources]
    paths = [tmp_path / f"run{r + 1}.t" for r in range(n_runs)]
    for p in paths:
        p.write_bytes(b"")
    followers = [GrowingTreeFile(str(p)) for p in paths]
    live = RunTimeASDSF(n_runs, every)
    written = [0] * n_runs
    points, restarted = [], False
    rng = random.Random(7)
    while any(w < len(s) for w, s in zip(written, sources)):
        for r in range(n_runs):  # bursts of any size, cut anywhere (mid-line too)
            step = rng.randint(1, 40_000 if r else 9_000)
            with open(paths[r], "ab") as fh:
                fh.write(sources[r][written[r]:written[r] + step])
            written[r] = min(len(sources[r]), written[r] + step)
        if not restarted and written[-1] > len(sources[-1]) // 2:
            paths[-1].write_bytes(sources[-1][:1000])  # the last run starts again
            written[-1], restarted = 1000, True
        for r, f in enumerate(followers):
            batch = f.read_new()
            if batch.restarted:
                live.restart(r)
            live.add(r, batch.names, batch.newicks, f.translate)
        points += live.ready()
    assert restarted and (layout == "revbayes" or all(f.complete for f in followers))
    sd = split_data(read_trees([str(p) for p in paths]), rooted=False)
    trace = sf.asdsf_trace(sd, sf.run_layout(sd), every, burnin=0.25)
    assert [p.generation for p in points] == trace.generation.tolist()
    for p, a, m, n in zip(points, trace.asdsf, trace.msdsf, trace.n_splits):
        # the same splits and deviations; the mean sums them in the order they were met
        assert p.n_splits == n and p.msdsf == m and p.asdsf == pytest.approx(a, rel=1e-13)
        assert_converge_topo_ess(p, sd, sf.run_layout(sd))  # the restart's too


def test_command_once_with_json_lines_and_a_stop_rule(tmp_path, capsys):
    for r in (1, 2):
        for ext in ("t", "p"):
            (tmp_path / f"p.run{r}.{ext}").write_bytes(gzip.decompress(
                (DATA / "primates2" / f"primates2.run{r}.{ext}.gz").read_bytes()))
    out = tmp_path / "w.jsonl"
    assert main(["watch", str(tmp_path / "p"), "--diagn-every", "10000", "--once", "-q",
                 "--json-lines", str(out), "--stop-when", "asdsf<0.0015 and used>=100",
                 "--stop-after", "2", "--report", str(tmp_path / "w.html")]) == 0
    page = (tmp_path / "w.html").read_text()
    assert "Splits at generation 50000" in page and "<code>..*********.</code>" in page
    assert "topo ESS min" in page and ">21.3</td>" in page
    assert sorted(p.name for p in tmp_path.iterdir() if "w." in p.name) == ["w.html",
                                                                           "w.jsonl"]
    records = [json.loads(line) for line in out.read_text().splitlines()]
    printed = capsys.readouterr().out
    # .mcmc: 0.000000 0.001041 0.001738 0.002088 0.001672; two in a row below 0.0015 never
    assert [round(r["asdsf"], 6) for r in records] == [0.0, 0.001041, 0.001738, 0.002088,
                                                        0.001672]
    assert "every file is complete" in printed and "stopping" not in printed
    # the parameters at the last point are sump's at the end (primates2.pstat: 1.043882)
    assert (records[-1]["psrf_name"], round(records[-1]["psrf"], 6)) == ("r(A<->T)", 1.043882)
    # split ESS (run 2's ..*********.): 76.8 115.9 153.4 190.9 at the points after the first
    assert [round(r["split_ess"]["min"] or 0, 1) for r in records] == [0, 76.8, 115.9, 153.4,
                                                                         190.9]
    # topological ESS: none below 120 trees a run, none while run 1's trees are all alike
    assert [r["topo_ess"]["min"] and round(r["topo_ess"]["min"], 1) for r in records] == [
        None, None, 127.7, 181.6, 21.3]
    assert records[1]["topo_ess"]["runs"][0]["ess"] is None and records[-1]["topo_ess"]["run"] == 1
    for rule in ("asdsf<0.0015", "split_ess>150", "topo_ess>100"):
        assert main(["watch", str(tmp_path / "p"), "--diagn-every", "10000", "--once", "-q",
                     "--stop-when", rule, "--stop-after", "2"]) == 0
        assert f"stopping: {rule} held at 2 diagnostic points in a row" in \
            capsys.readouterr().out


@pytest.mark.parametrize("rule, said", [
    ("asdsf < 0.01 and tree_ess > 200", "no statistic 'tree_ess'"),
    ("asdsf = 0.01", "cannot read"),
])
def test_stop_rules_that_cannot_be_read(rule, said):
    with pytest.raises(UsageError, match=said):
        parse_rule(rule)


@pytest.mark.parametrize("rule, runs, low, held", [
    ("topo_ess>200", ["=", "="], 300.0, True),
    ("topo_ess>200", ["=", "<"], 300.0, False),  # an upper bound shows no large ESS
    ("topo_ess<400", ["=", "<"], 300.0, True),
    ("topo_ess>200", ["=", None], None, False),  # a run without one yet
])
def test_stop_rules_on_the_topological_ess(rule, runs, low, held):
    from kestrilune_tools.commands.watch import holds

    record = {"topo_ess": {"min": low, "runs": [op and {"operator": op} for op in runs]}}
    assert holds(parse_rule(rule), record) is held


def test_live_screen_fits_80_columns_and_flags():
    from kestrilune_tools.commands.watch import screen

    history = [{"generation": 10000 * k, "asdsf": 0.02 / k, "splits": 9,
                "psrf": 1.05 if k % 2 else 1.0, "ess": 100.0 if k % 3 else 300.0,
                "ess_name": "r(A<->T)" * 5} for k in range(1, 13)]
    wide = "." * 40 + "**" + "." * 58  # 100 taxa: the leaves are shown instead
    history[-1]["split_frequencies"] = {"rows": [
        {"partition": wide, "leaves": "Homo|Pan", "frequencies": [0.5, 0.25, 1.0, 0.0],
         "sd": 0.4, "ess": [None] * 4},
        {"partition": "..**.", "leaves": "C|D", "frequencies": [1.0] * 4, "sd": 0.0}]}
    history[-1]["split_ess"] = {"min": 150.0, "run": 3, "partition": wide, "leaves": "T" * 90}
    history[-2]["topo_ess"] = {"min": 4.5, "operator": "<"}
    history[-1]["topo_ess"] = {"min": 123456.7, "operator": "="}
    lines = screen(["x" * 60 + ".run1.t", "b.run2.t"], (1201, 1198), (120000, 119800), history,
                   "asdsf<0.01 and ess>200", 1, 3)
    shown = [line.split()[0] for line in lines if line[:12].strip().isdigit()]
    assert max(map(len, lines)) <= 80 and shown == [str(10000 * k) for k in range(3, 13)]
    text = "\n".join(lines)
    assert text.count("100.0**") == 6 and text.count("300.0*") == 4 and text.count("+") == 5
    assert "0.4000  0.500 0.250 1.000 0.000  Homo|Pan" in text and "1.000  ..**." in text
    last = [x for x in lines if x.lstrip().startswith("120000")][0]
    assert "smallest split ESS 150.0** (run 3): TTT" in text and "150.0**" in last
    assert "123456.7  r(A<->T)r(A" in last and "<4.5** " in text  # topo ESS, "<": a bound
    assert len(lines) <= 24
    assert lines[-1] == "stop when asdsf<0.01 and ess>200: held at 1 of 3 points in a row"


@pytest.mark.parametrize("name, burst, max_lag", [("primates2", 37, 2000), ("cynmix3", 101, 2000),
                                                   ("cynmix3", 13, 7), ("cynmix3", 700, 2000)])
def test_points_equal_the_batch_code_on_the_prefix(tmp_path, monkeypatch, name, burst,
                                                   max_lag):
    """At each point: the listed splits' run frequencies and SDs, the ASDSF and every split
    ESS are the batch split table's and Tracer ESS of the same prefix and burn-in (the
    split ESS from lag sums moved with the window; a short lag limit makes the windows
    longer than it, as a long run's are); each run's topological ESS is converge's, to the
    bit (its lag sums moved with the window too)."""
    from dataclasses import replace

    from kestrilune_tools.analyses.converge import ess as ess_mod
    from kestrilune_tools.analyses.converge import watch as watch_mod
    from kestrilune_tools.analyses.converge.ess import tracer_ess

    monkeypatch.setattr(ess_mod, "TRACER_MAX_LAG", max_lag)
    monkeypatch.setattr(watch_mod, "TRACER_MAX_LAG", max_lag)

    n_runs, every = ANALYSES[name]
    paths = [tmp_path / f"run{r + 1}.t" for r in range(n_runs)]
    batches = []
    for r, p in enumerate(paths):
        p.write_bytes(gzip.decompress((DATA / name / f"{name}.run{r + 1}.t.gz").read_bytes()))
        f = GrowingTreeFile(str(p))
        batches.append((f.read_new(), f.translate))
    live = RunTimeASDSF(n_runs, every)
    points = []
    for start in range(0, max(len(b.names) for b, _ in batches), burst):
        for r, (b, translate) in enumerate(batches):
            live.add(r, b.names[start:start + burst], b.newicks[start:start + burst], translate)
        points += live.ready()
    ts = read_trees([str(p) for p in paths])
    sd = split_data(ts, rooted=False)
    layout = sf.run_layout(sd)
    order = sf.file_taxon_order(ts.translate_maps[0], sd.leaf_names)
    assert len(points) > 3 and points[-1].topo_ess[0] is not None
    for p in points:
        prefix = replace(layout, run_sizes=np.array(p.samples, dtype=np.int64))
        assert_converge_topo_ess(p, sd, layout)
        table = replace(sf.split_frequencies(sd, prefix, 0.25, rule="mrbayes-mcmc"),
                        taxon_order=order)
        a = sf.asdsf(sd, prefix, 0.25, rule="mrbayes-mcmc")
        assert (p.n_splits, p.msdsf) == (a.n_splits, a.msdsf) == (len(table.sd),
                                                                  table.sd.max())
        assert p.asdsf == pytest.approx(a.asdsf, rel=1e-13)
        batch = {part: (tuple(f), s) for part, f, s in
                 zip(table.partition_strings(), table.frequencies, table.sd)}
        rows = p.split_rows()
        assert [r["sd"] for r in rows] == sorted(table.sd, reverse=True)[:5]
        assert all(batch[r["partition"]] == (tuple(r["frequencies"]), r["sd"]) for r in rows)
        ess = np.array([tracer_ess(sf.presence_traces(sd, prefix, r, table.split_ids, 0.25))
                        for r in range(n_runs)]).T
        for r in rows:
            got = np.array(r["ess"], dtype=float)
            want = ess[table.partition_strings().index(r["partition"])]
            np.testing.assert_array_equal(got, want)
        if np.isnan(ess).all():  # every split in every tree of the window, or in none
            assert math.isnan(p.min_split_ess) and p.min_split_ess_split is None
            continue
        low = np.nanmin(ess)
        assert p.min_split_ess == low
        assert ess[table.partition_strings().index(p.min_split_ess_split.partition_strings()[0]),
                   p.min_split_ess_run] == low

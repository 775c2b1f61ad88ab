"""Parameter logs: every number against what MrBayes' sump (.pstat), BEAST's loganalyser
(Tracer) and R's coda printed for the same samples, one format against another, and one
clear line for each kind of bad file."""

import gzip
import math
from pathlib import Path

import pytest

from kestrilune_tools.analyses.params import parameter_diagnostics
from kestrilune_tools.reading import (
    ParameterFileError, ParameterFileWarning, param_file_for, read_param_runs, read_params,
)

DATA = Path(__file__).parents[1] / "data" / "converge"
RUNS = {"primates2": 2, "cynmix3": 3}


def _printed_close(got, text):
    """``got`` rounds to ``text`` (half a unit in its last printed digit, and a hair)."""
    t = text.upper()
    mant, exp = (t.split("E") + ["0"])[:2]
    digits = len(mant.split(".")[1]) if "." in mant else 0
    return abs(got - float(t)) <= 0.5 * 10 ** (int(exp) - digits) * (1 + 1e-9)


def _runs(name):
    return [DATA / name / f"{name}.run{i}.p.gz" for i in range(1, RUNS[name] + 1)]


@pytest.mark.parametrize("name", RUNS)
def test_sump_pstat_to_the_printed_digit(name):
    rep = parameter_diagnostics(read_param_runs(_runs(name)), burnin="25%")
    lines = (DATA / name / f"{name}.pstat").read_text().splitlines()
    assert lines[0].split("\t") == ["Parameter", "Mean", "Variance", "Lower", "Upper",
                                    "Median", "minESS", "avgESS", "PSRF"]
    wrong = []
    for line in lines[1:]:
        param, *printed = line.split("\t")
        s = rep.parameters[param].sump
        got = [s.mean, s.variance, s.lower, s.upper, s.median, s.min_ess, s.avg_ess, s.psrf]
        wrong += [(param, g, t) for g, t in zip(got, printed) if not _printed_close(g, t)]
    assert not wrong and len(lines) > 10


def test_tracer_and_coda_numbers():
    # loganalyser on the BEAST-layout copy of run 1; the two layouts read alike.
    beast = read_params(DATA / "primates2.run1.beast.log.gz")
    mb = read_params(_runs("primates2")[0])
    assert (beast.format, mb.format) == ("beast", "mrbayes")
    assert beast.names == mb.names and (beast.values == mb.values).all()
    run = parameter_diagnostics([beast]).parameters
    wrong = []
    for line in (DATA / "primates2.run1.loganalyser.txt").read_text().splitlines()[1:]:
        if line:
            c = line.split("\t")
            r = run[c[0]].runs[0]
            got = [r.mean, r.median, r.hpd_lower, r.hpd_upper, r.ess_tracer]
            wrong += [(c[0], g, t) for g, t in zip(got, [c[1], *c[3:7]])
                      if not _printed_close(g, t)]
    assert not wrong
    both = parameter_diagnostics(read_param_runs(_runs("primates2"))).parameters
    for line in (DATA / "primates2.combined.loganalyser.txt").read_text().splitlines()[1:]:
        c = line.split("\t")
        r = both[c[0]].tracer_combined
        got = [r.mean, r.median, r.hpd_lower, r.hpd_upper, r.ess_tracer]
        wrong += [(c[0], g, t) for g, t in zip(got, [c[1], *c[3:7]])
                  if not _printed_close(g, t)]
    assert not wrong and r.n == 752
    for line in (DATA / "primates2.coda.txt").read_text().splitlines()[2:]:
        name, *ess = line.split("\t")
        d = both[name]
        got = [d.runs[0].ess_coda, d.runs[1].ess_coda, d.ess_coda_total]
        assert got == pytest.approx([float(e) for e in ess], rel=1e-9), name


def test_flags_follow_the_guides():
    d = parameter_diagnostics(read_param_runs(_runs("primates2"))).parameters
    assert d["TL"].flags == ["ess_200", "ess_625", "psrf_1.01"]  # min ESS 56, PSRF 1.03
    assert "psrf_1.01" not in d["pi(C)"].flags  # PSRF 0.999 both ways
    # A NaN after the burn-in blanks that column's numbers and says so; the others stand.
    logs = read_param_runs(_runs("primates2"))
    logs[1].values[400, 2] = math.nan
    rep = parameter_diagnostics(logs)
    assert math.isnan(rep.parameters["TL"].sump.mean) and not rep.parameters["TL"].flags
    assert rep.notes == ["TL: 1 NaN or infinite value after the burn-in; its statistics "
                         "are left blank"]
    assert rep.parameters["alpha"].sump.mean == d["alpha"].sump.mean


HEAD = "Gen\tLnL\tLnPr\tTL\n"  # and rows of made-up numbers
ROWS = "".join(f"{g}\t-{100 + g % 7}.5\t1.0\t{0.1 + g % 3}\n" for g in range(0, 1000, 100))


def _write(path, text):
    path.write_text(text)
    return path


@pytest.mark.parametrize("text, where, message", [
    ("hello\tworld\n1\t2\n", None, "not a parameter log of a known format (tried: MrBayes"),
    ("[ID: 1]\n" + HEAD + "0\t-1\t2\tx3\n", 3, "column 4 ('TL'): 'x3' is not a number"),
    ("[ID: 1]\n" + HEAD + "0\t-1\t2\n" + ROWS, 3, "3 cells where the header (line 2) names 4"),
    ("[ID: 1]\n" + HEAD, None, "no samples after the header"),
])
def test_bad_file_is_one_line(tmp_path, text, where, message):
    path = _write(tmp_path / "bad.p", text)
    with pytest.raises(ParameterFileError) as err:
        read_params(path)
    assert str(err.value).startswith(f"{path}:{where}: " if where else f"{path}: ")
    assert message in str(err.value) and "\n" not in str(err.value)


def test_unfinished_last_line_and_differing_columns(tmp_path):
    a = _write(tmp_path / "a.run1.p", "[ID: 1]\n" + HEAD + ROWS + "1000\t-10")
    with pytest.warns(ParameterFileWarning, match=r"a.run1.p:13: the last line is unfinished"):
        log = read_params(a)
    assert log.n_rows == 10 and log.dropped_line == 13
    b = _write(tmp_path / "b.run1.p", "[ID: 1]\nGen\tLnL\tLnPr\talpha\n" + ROWS)
    with pytest.raises(ParameterFileError, match=r"log different columns: .*b.run1.p lacks "
                                                 r"TL; .*b.run1.p has alpha that"):
        read_param_runs([_write(tmp_path / "c.p", "[ID: 1]\n" + HEAD + ROWS), b])


@pytest.mark.parametrize("first, fmt, comment, end", [
    ("Gen\tLnPr\tLnL", "exabayes", "[ID: 7]\n", ""),
    ("state\tLnL\tLnPr", "beast", "# BEAST v1.10.4\n# comment\n", ""),
    ("Sample\tLnL\tLnPr", "beast", "#\n", "\t"),  # BEAST 2 ends each line with a tab
    ("Iteration\tLnL\tLnPr", "revbayes", "", ""),
    ("#iter\tLnL\tLnPr", "phylobayes", "", ""),
])
def test_formats_by_content_give_the_same_numbers(tmp_path, first, fmt, comment, end):
    """primates2's MrBayes runs rewritten in each layout read and summarize alike."""
    paths = []
    for run in _runs("primates2"):
        with gzip.open(run, "rt") as f:
            lines = f.read().splitlines()[1:]
        head = lines[0].split("\t")
        lines[0] = "\t".join(first.split("\t") + head[3:])
        paths.append(tmp_path / f"{run.name}.whatever.gz")
        with gzip.open(paths[-1], "wt") as f:
            f.write(comment + "".join(line + end + "\n" for line in lines))
    logs = read_param_runs(paths)
    assert logs[0].format == fmt and logs[0].names[2:] == read_params(_runs("primates2")[0]
                                                                     ).names[2:]
    got = parameter_diagnostics(logs).parameters["alpha"]
    want = parameter_diagnostics(read_param_runs(_runs("primates2"))).parameters["alpha"]
    assert (got.sump, got.runs) == (want.sump, want.runs)


def test_pairing_by_name(tmp_path):
    for name in ("x.run1.t", "x.run1.p", "b.trees", "b.log.gz", "ExaBayes_topologies.r.0",
                 "ExaBayes_parameters.r.0", "pb.treelist", "pb.trace", "lone.t"):
        (tmp_path / name).write_text("")
    got = [param_file_for(tmp_path / n) for n in
           ("x.run1.t", "b.trees", "ExaBayes_topologies.r.0", "pb.treelist", "lone.t")]
    assert [g and Path(g).name for g in got] == [
        "x.run1.p", "b.log.gz", "ExaBayes_parameters.r.0", "pb.trace", None]
    assert math.isnan(parameter_diagnostics([read_params(_runs("primates2")[0])])
                      .parameters["TL"].sump.psrf)


PRIMATES = str(DATA / "primates2" / "primates2")


def test_converge_pairs_logs_and_writes_them(tmp_path, capsys):
    from kestrilune_tools.console import cli
    import json

    assert cli.main(["converge", PRIMATES, "--no-ess", "--quiet",
                     "--json", str(tmp_path / "d.json")]) == 0
    out = capsys.readouterr().out
    assert "primates2.run2.t.gz <- " in out and "primates2.run2.p.gz" in out
    assert "TL                   3.2638     2.7216     3.9478     56.5 **   1.028   1.044+" in out
    assert "worst: smallest ESS 10.0 (r(C<->G)); largest PSRF 1.060 (r(A<->T))" in out
    table = out[out.index("parameter  "):out.index("wrote ")]
    assert max(len(line) for line in table.splitlines()) <= 80
    got = json.loads((tmp_path / "d.json").read_text())["parameters"]
    tl = next(p for p in got["parameters"] if p["name"] == "TL")
    assert tl["mrbayes-sump"]["min_ess"] == pytest.approx(56.45191535282, rel=1e-12)
    assert tl["flags"] == ["ess_200", "ess_625", "psrf_1.01"] and "coda" in got["conventions"]


def test_converge_parameter_errors_are_one_line(tmp_path, capsys):
    from kestrilune_tools.console import cli

    short = tmp_path / "short.p"
    with gzip.open(_runs("primates2")[0], "rt") as f:
        short.write_text("".join(f.readlines()[:300]))
    cases = [
        (["--params", str(short)], 2, "--params gives 1 file for 2 runs"),
        (["--params", str(short), str(_runs("primates2")[1])], 1,
         f"{short}: 298 samples, fewer than the 501 trees of"),
        (["--params", str(DATA / "primates2.run1.beast.log.gz"), str(DATA / "cynmix3" /
                                                                      "cynmix3.run1.p.gz")],
         1, "the runs log different columns"),
    ]
    for extra, code, message in cases:
        assert cli.main(["converge", PRIMATES, "--no-ess", "--quiet", *extra]) == code
        err = capsys.readouterr().err
        assert message in err and err.count("\n") == 1, (extra, err)


def test_converge_warns_of_generations_the_log_lacks(tmp_path, capsys):
    from kestrilune_tools.console import cli

    shifted = tmp_path / "shifted.p"
    with gzip.open(_runs("primates2")[1], "rt") as f:
        lines = f.readlines()
    shifted.write_text("".join(lines[:2] + [f"{int(line.split()[0]) + 50}\t"
                                            f"{line.split(chr(9), 1)[1]}" for line in lines[2:]]))
    assert cli.main(["converge", PRIMATES, "--no-ess", "--quiet", "--params",
                     str(_runs("primates2")[0]), str(shifted)]) == 0
    err = capsys.readouterr().err
    assert f"{shifted}: no sample at generation 0, where tree 1 of" in err
    assert "(501 such trees): are these the files of one run?" in err


def test_a_real_beast2_run_pair(capsys):
    """BEAST 2.7's own files (tests/data/converge/README.md): the logs are found beside the
    tree files, and a long column name stays told apart from its neighbours."""
    runs = [str(DATA / f"beast2_relaxed.run{r}.trees.gz") for r in (1, 2)]
    from kestrilune_tools.console.cli import main

    assert main(["converge", *runs, "--rooted", "--no-ess", "-q"]) == 0
    out = capsys.readouterr().out
    assert "beast2_relaxed.run2.trees.gz <- beast2_relaxed.run2.log.gz" in out
    assert "rateCa~gories.10" in out and "samples after the burn-in: 301, 301" in out


def test_stationarity_test_as_coda_heidel_diag():
    from kestrilune_tools.analyses.stationarity import heidelberger_welch

    rows = [line.split("\t") for line in
            (DATA / "heidel_diag.txt").read_text().splitlines()[2:]]
    wrong, seen = [], set()
    for file in dict.fromkeys(r[0] for r in rows):
        sub = file.split(".")[0] if file.endswith(".p.gz") else ""
        log = read_params(DATA / sub / file)
        start, pvalue, _ = heidelberger_welch(log.values.T)
        got = {n: (int(s) + 1 if s >= 0 else "NA", p)
               for n, s, p in zip(log.names, start, pvalue)}
        for _, name, s, p in (r for r in rows if r[0] == file):
            seen.add(file)
            if got[name][0] != (s if s == "NA" else int(s)) or \
                    got[name][1] != pytest.approx(float(p), rel=1e-9):
                wrong.append((file, name, got[name], s, p))
    assert not wrong and len(seen) == 7
    # The run's suggestion: the largest start over its columns, or none while one fails.
    s1, s2 = parameter_diagnostics(read_param_runs(_runs("primates2"))).suggested
    assert (s1.samples, s1.failed) == (None, ["r(C<->T)", "pi(T)"])
    assert (s2.samples, s2.generation, s2.column) == (201, 20100, "pi(T)")

"""Every program's tree files: one MrBayes run written as RevBayes, ExaBayes, PhyloBayes and
BEAST write their trees must give the same trees, distances and generations; IQ-TREE files
read support labels as labels; weighted tree files are refused."""

import json
import re
from collections import Counter
from pathlib import Path

import kestrilune
import numpy as np
import pytest

from kestrilune_tools import TreeFileError, read_trees
from kestrilune_tools.console import cli
from kestrilune_tools.reading import expand_runs
from kestrilune_tools.table import load
from kestrilune_tools.table.splits import split_data

DATA = Path(__file__).parent.parent / "data" / "converge" / "primates2"
FORMATS = Path(__file__).parent.parent / "data" / "formats"
N = 60  # trees taken from each MrBayes run


def mrbayes_run(k):
    """The first N trees of run k: generations, Newick texts with taxon names, taxa."""
    ts = read_trees(DATA / f"primates2.run{k}.t.gz", max_trees=N)
    names = ts.translate_maps[0]
    texts = [re.sub(r"(?<=[(,])(\d+)", lambda m: names[m.group(1)],
                    re.sub(r"^\[&U\]\s*", "", t)) for t in ts.newicks()]
    return ts.generations(), texts, sorted(names.values())


def indexed(newick):
    """As RevBayes writes a tree: [&index=N] on every node."""
    count = iter(range(1, 10 ** 6))
    return re.sub(r"(?<=[)A-Za-z_])(?=:)",
                  lambda m: f"[&index={next(count)}]", newick[:-1]) + f"[&index={next(count)}];"


def revbayes_log(path, gens, texts, taxa):
    rows = [f"{g}\t-10.5\t-8.25\t-2.25\t{t}\t0.5" for g, t in zip(gens, map(indexed, texts))]
    path.write_text("#RevBayes version (1.2.1)\n#Build from master (abc) on today\n"
                    "Iteration\tPosterior\tLikelihood\tPrior\ttimetree\tmu\n"
                    + "\n".join(rows) + "\n")


def revbayes_nexus(path, gens, texts, taxa):
    path.write_text("#NEXUS\n\nBegin taxa;\n\tDimensions ntax=12;\n\tTaxlabels\n" +
                    "".join(f"\t\t{t}\n" for t in taxa) + "\t\t;\nEnd;\nBegin trees;\n" +
                    "".join(f"tree TREE_{g} = [&U]{indexed(t)}\n" for g, t in zip(gens, texts))
                    + "End;\n")


def exabayes(path, gens, texts, taxa):
    number = {t: str(i + 1) for i, t in enumerate(taxa)}
    tree = [re.sub(r"(?<=[(,])[A-Za-z_]+", lambda m: number[m.group()], t) for t in texts]
    path.write_text("#NEXUS\n[ID: 1234]\n[Param: tree]\nbegin trees;\n\ttranslate\n" +
                    ",\n".join(f"\t{number[t]}\t{t}" for t in taxa) + ";\n" +
                    "".join(f"\ttree gen.{g}.{{0,1}} = [&U] {t}\n" for g, t in zip(gens, tree))
                    + "end;\n")


def phylobayes(path, gens, texts, taxa):
    path.write_text("".join(t + "\n" for t in texts))


def beast(path, gens, texts, taxa):
    annotated = [re.sub(r"(?<=[A-Za-z_)])(?=:)", "[&rate=1.0,height_95%_HPD={0.1,0.2}]", t)
                 for t in texts]
    path.write_text("#NEXUS\nBegin trees;\n" + "".join(
        f"tree STATE_{g} [&lnP=-1.5,joint=-2.0] = [&U] {t}\n" for g, t in zip(gens, annotated))
        + "End;\n")


WRITERS = [("revbayes_log", revbayes_log, "trees"), ("revbayes_nexus", revbayes_nexus, "nex"),
           ("exabayes", exabayes, "x"), ("phylobayes", phylobayes, "treelist"),
           ("beast", beast, "trees")]


def rf_bytes(ts):
    return kestrilune.pairwise_rf_from_newick_iter(ts.names, ts.newicks(), ts.translate_maps,
                                                   ts.map_indices)[1]


@pytest.fixture(scope="module")
def runs():
    return [mrbayes_run(1), mrbayes_run(2)]


@pytest.mark.parametrize("fmt, write, ext", WRITERS, ids=[w[0] for w in WRITERS])
def test_every_format_gives_the_mrbayes_trees(tmp_path, runs, fmt, write, ext):
    paths = []
    for k, run in enumerate(runs, start=1):
        name = f"ExaBayes_topologies.run-{k}.test" if fmt == "exabayes" else \
            f"primates_run_{k}.{ext}"
        write(tmp_path / name, *run)
        paths.append(tmp_path / name)
    reference = read_trees([DATA / "primates2.run1.t.gz", DATA / "primates2.run2.t.gz"],
                           max_trees=N)
    ts = read_trees(paths)
    assert len(ts) == 2 * N
    assert rf_bytes(ts) == rf_bytes(reference)
    if fmt != "phylobayes":  # a Newick list has no generations
        assert ts.generations() == reference.generations()
        out = tmp_path / "c.json"  # and the ASDSF trace counts in them
        assert cli.main(["converge", "-q", "--diagn-every", "5000", "--json", str(out)]
                        + [str(p) for p in paths]) == 0
        assert json.loads(out.read_text())["asdsf_trace"]["unit"] == "generation"
    base = {"revbayes_log": "primates.trees", "exabayes": "test"}.get(fmt)
    if base:  # a base name stands for the runs, and every command reads it
        assert expand_runs([tmp_path / base]) == [str(p) for p in paths]
        for argv in (["rf", "-q"], ["summarize", "-q"]):
            assert cli.main(argv + [str(tmp_path / base)]) == 0


# (what the file holds, its text, a phrase of the one-line error)
BAD_LOGS = [
    ("no tree column", "Iteration\tPosterior\n0\t-1.5\n", "no column of this tab-separated"),
    ("a short row", "Iteration\tPosterior\tpsi\n0\t-1\t((A,B),(C,D));\n10\t-1\n",
     "2 columns where the header has 3"),
    ("a tree without ';'", "Iteration\tpsi\n0\t((A,B),(C,D));\n10\t((A,B),(C,D))\n",
     "column 'psi' holds no Newick tree ending with ';'"),
    ("a bad iteration", "Iteration\tpsi\n0\t((A,B),(C,D));\nten\t((A,B),(C,D));\n",
     "iteration 'ten' is not a whole number"),
    ("weights", "#NEXUS\nbegin trees;\ntree a = [&W 0.5] ((A,B),(C,D));\n"
     "tree b = [&W 0.5] ((A,C),(B,D));\nend;\n", "a file of weighted trees"),
    ("newick weights", "[&U] [&W 0.75] ((A,B),(C,D));\n[&W 0.25] ((A,C),(B,D));\n",
     "a file of weighted trees"),
    ("trprobs", "#NEXUS\nbegin trees;\ntree tree_1 [p = 0.6, P = 0.6] = ((A,B),(C,D));\n"
     "tree tree_2 [p = 0.4, P = 1.0] = ((A,C),(B,D));\nend;\n",
     "a file of MrBayes tree probabilities"),
]


@pytest.mark.parametrize("case, text, phrase", BAD_LOGS, ids=[c[0] for c in BAD_LOGS])
def test_bad_or_weighted_files_are_one_clear_line(tmp_path, case, text, phrase):
    path = tmp_path / "bad.trees"
    path.write_text(text)
    with pytest.raises(TreeFileError, match=re.escape(phrase)):
        read_trees(path)


@pytest.mark.parametrize("tree, rooting", [("((A,B)[&index=5],(C,D)[&index=6]);", None),
                                           ("[&R] ((A,B),(C,D));", "R")])
def test_a_revbayes_log_is_rooted_as_it_marks_its_trees(tmp_path, tree, rooting):
    path = tmp_path / "r.trees"
    path.write_text(f"Iteration\ttree\n0\t{tree}\n10\t{tree}\n")
    assert read_trees(path).files[0].rooting == rooting


def test_a_file_of_combined_runs_is_said_to_be_one(tmp_path):
    path = tmp_path / "primates.trees"
    path.write_text("Iteration\tReplicate_ID\tpsi\n0\t0\t((A,B),(C,D));\n1\t1\t((A,C),(B,D));\n")
    with pytest.warns(UserWarning, match=r"Replicate_ID.*primates_run_1\.trees"):
        assert len(read_trees(path)) == 2


def test_a_heated_exabayes_chain_is_said_to_be_no_sample(tmp_path):
    path = tmp_path / "ExaBayes_topologies.run-0.test.hot-1"
    path.write_text("((A,B),(C,D));\n((A,C),(B,D));\n")
    with pytest.warns(UserWarning, match="heated chain"):
        read_trees(path)


def test_an_unfinished_last_row_is_left_out(tmp_path):
    path = tmp_path / "running.trees"
    path.write_text("Iteration\tpsi\n0\t((A,B),(C,D));\n10\t((A,C),(B,D));\n20\t((A,B),(C")
    with pytest.warns(UserWarning, match="unfinished"):
        ts = read_trees(path)
    assert ts.names == ["gen.0", "gen.10"] and ts.files[0].partial_last_line == 4
    assert list(ts.newicks()) == ["((A,B),(C,D));", "((A,C),(B,D));"]


def test_iqtree_support_labels_are_labels_and_match_the_bootstrap_trees():
    # The UFBoot supports of the consensus are the split frequencies of the bootstrap trees.
    boot = split_data(read_trees(FORMATS / "primates.ufboot.gz"), rooted=False)
    freq = boot.counts().sum(axis=1)[boot.nontrivial()] / boot.n_trees
    labels = re.findall(r"\)(\d+):", (FORMATS / "primates.contree").read_text())
    assert Counter(np.round(100 * freq[freq > 0.5]).astype(int).tolist()) == \
        Counter(map(int, labels))
    # SH-aLRT/UFBoot labels such as 91.5/90 name no taxon: 12 leaves, same tree as the consensus
    ts = read_trees([FORMATS / "primates.treefile", FORMATS / "primates.contree"])
    sd = split_data(ts, rooted=False)
    assert len(sd.leaf_names) == 12 and rf_bytes(ts)[4:8] == bytes(4)
    assert len(boot.leaf_names) == 12


# Trees naming other taxa: (files, the one-line error without --common-taxa, the trees
# with --common-taxa written out by hand)
TAXA_CASES = [
    ("a later run lacks a taxon",
     ["((A,B),(C,D),E);\n((A,C),(B,D),E);\n", "((A,B),(C,E));\n((A,B),(C,D),E);\n"],
     "tree 1 of run 2 ({p}/f1.nwk line 1, 'f1.nwk:tree_1') lacks D, unlike the first tree "
     "({p}/f0.nwk line 1, 'f0.nwk:tree_1')",
     ["((A,B),C,E);\n((A,C),B,E);\n", "((A,B),(C,E));\n((A,B),C,E);\n"]),
    ("a later tree of the same file (read again, keeping fewer)",
     ["((A:1,B:2):3,(C:4,D:5):6,(E:7,F:8):9);\n((A:1,F:2):3,(C:4,D:5):6,E:7);\n"],
     "tree 2 ({p}/f0.nwk line 2, 'tree_2') lacks B, unlike the first tree",
     ["(A:4,(C:4,D:5):6,(E:7,F:8):9);\n((A:1,F:2):3,(C:4,D:5):6,E:7);\n"]),
]


@pytest.mark.parametrize("case, files, error, pruned", TAXA_CASES,
                         ids=[c[0] for c in TAXA_CASES])
def test_other_taxa_are_named_or_pruned_to_the_shared_ones(tmp_path, capsys, case, files,
                                                           error, pruned):
    paths, by_hand = [], []
    for i, (text, cut) in enumerate(zip(files, pruned)):
        paths.append(tmp_path / f"f{i}.nwk")
        paths[-1].write_text(text)
        by_hand.append(tmp_path / f"cut{i}.nwk")
        by_hand[-1].write_text(cut)
    for command in ("rf", "kf", "summarize", "converge"):
        assert cli.main([command, "-q", "--burnin", "0"] + [str(p) for p in paths]) == 1
        assert error.format(p=tmp_path) in capsys.readouterr().err
    for command in ("kf", "summarize"):
        assert cli.main([command, "-q", "--burnin", "0", "--common-taxa"] +
                        [str(p) for p in paths]) == 0
        assert "pruned to the" in capsys.readouterr().err
    ts, table = load.read_table(paths, lengths=True, common_taxa=True)
    want_ts, want = load.read_table(by_hand, lengths=True)
    assert np.array_equal(table.kf(), want.kf()) and np.array_equal(table.rf(), want.rf())
    assert rf_bytes(ts) == rf_bytes(want_ts)  # newicks() gives the pruned texts too
    assert rf_bytes(read_trees(paths, common_taxa=True)) == rf_bytes(want_ts)

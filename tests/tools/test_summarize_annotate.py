"""``kestrilune summarize --heights``: annotated MCC trees equal to TreeAnnotator 1.10.4's,
and one clear line for each input it cannot annotate."""

import math
import re
from pathlib import Path

import numpy as np
import pytest

from kestrilune_tools.analyses.summaries import mcc_tree
from kestrilune_tools.analyses.summaries.annotate import (
    _plan, annotate, annotate_splits, chunk_heights, hpd_interval, leaf_of_split, read_nodes,
    target_from_clades, target_from_newick, target_from_table)
from kestrilune_tools.console import cli
from kestrilune_tools.reading import read_trees
from kestrilune_tools.table.splits import split_data

DATA = Path(__file__).parents[1] / "data" / "summaries"
BEAST = DATA / "beast1_ucln_17taxa.trees.gz"


def _nodes(path):
    """Every node of the one tree of a NEXUS file by its taxa: (length, annotations)."""
    text = Path(path).read_text()
    block = re.search(r"translate(.*?);", text, re.I | re.S).group(1)
    translate = dict(line.strip().rstrip(",").split() for line in block.strip().splitlines())
    tree = re.search(r"^\s*tree \S+ (?:\[[^]]*\] )?= (?:\[&R\] )?(.*;)", text,
                     re.M | re.I).group(1)
    index = {n: i for i, n in enumerate(sorted(translate.values()))}
    return read_nodes(tree, index, translate)


def _close(a, b):
    return math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-12)


@pytest.mark.parametrize("via", ["--mcc", "--target"])
@pytest.mark.parametrize("heights", ["keep", "mean", "median", "ca"])
def test_mcc_tree_equals_treeannotator(heights, via, tmp_path, capsys):
    """Chosen as the MCC tree, or given as --target (TreeAnnotator's own keep tree)."""
    out = tmp_path / "mcc.nex"
    pick = ["--mcc"] if via == "--mcc" else [via, str(DATA / "beast17.treeannotator.keep.tree")]
    assert cli.main(["summarize", str(BEAST), "--burnin", "200", "--heights", heights,
                     "-o", str(out), "-q"] + pick) == 0
    assert ("STATE_342000" if via == "--mcc" else "--target tree") in capsys.readouterr().out
    # Sums in TreeAnnotator's order: every number the same double; the kept heights'
    # branch lengths within rounding.
    _same(out, DATA / f"beast17.treeannotator.{heights}.tree", exact=True,
          exact_lengths=heights != "keep")


def _same(ours_path, theirs_path, exact=False, exact_lengths=False):
    """Every node, every annotation (text exactly, numbers to 1e-9, or exactly) and branch
    length (to 1e-9, or exactly)."""
    ours, theirs = _nodes(ours_path), _nodes(theirs_path)
    close = (lambda x, y: x == y) if exact else _close
    assert set(ours) == set(theirs)
    for clade, (length, notes) in theirs.items():
        our_length, our_notes = ours[clade]
        assert set(our_notes) == set(notes), clade
        for key, value in notes.items():
            got = our_notes[key]
            pairs = zip(got, value) if isinstance(value, tuple) else [(got, value)]
            assert all(x == y if isinstance(y, str) else close(x, y) for x, y in pairs), \
                (clade, key, got, value)
        assert (length is None) == (our_length is None)
        if length is not None:
            assert our_length == length if exact_lengths else \
                math.isclose(our_length, length, rel_tol=1e-9, abs_tol=1e-9), clade


def test_text_and_integer_traits_equal_treeannotator(tmp_path):
    """Modes (ties joined with +, in TreeAnnotator's order), .prob, .set, .set.prob; integer
    annotations summarised as numbers; BEAST 2 placement (before the ':')."""
    out = tmp_path / "traits.nex"
    assert cli.main(["summarize", str(DATA / "traits_5taxa.trees"), "--burnin", "10",
                     "--mcc", "--heights", "median", "-o", str(out), "-q"]) == 0
    _same(out, DATA / "traits_5taxa.treeannotator.median.tree")


def test_limit_leaves_only_the_posterior_below_it(tmp_path):
    out, png = tmp_path / "mcc.nex", tmp_path / "mcc.png"  # drawn as a chronogram too
    assert cli.main(["summarize", str(BEAST), "--burnin", "200", "--mcc", "--heights", "ca",
                     "--limit", "0.9", "-o", str(out), "--plot", str(png), "-q"]) == 0
    assert png.read_bytes()[:4] == b"\x89PNG"
    internal = [notes for _, notes in _nodes(out).values() if "posterior" in notes]
    low = [n for n in internal if n["posterior"] < 0.9]
    assert low and all(set(n) == {"posterior"} for n in low)
    assert all("height_95%_HPD" in n for n in internal if n["posterior"] >= 0.9)


def test_hpd_is_the_first_shortest_interval_of_round_half_up_size():
    # 20 values: round(19.0) = 19 of them; 10 values: round(9.5) = 10, the whole range.
    v = np.arange(20.0)
    v[-1] = 100.0
    assert hpd_interval(v) == (0.0, 18.0)
    assert hpd_interval(np.arange(10.0)) == (0.0, 9.0)
    assert hpd_interval(np.array([1.0, 2.0, 3.0, 4.0]), 0.5) == (1.0, 2.0)


@pytest.mark.parametrize("extra, says", [
    (["--unrooted", "--consensus"], "--rooted, or use trees marked [&R]"),
    (["--consensus", "--heights", "keep"], "use --heights mean, median or ca"),
    (["--mcc", "--no-lengths"], "drop --no-lengths"),
    (["--target", str(Path(__file__).parents[1] / "data" / "plain.nwk")],
     "is not among the sample's taxa"),
])
def test_bad_requests_get_one_clear_line(extra, says, tmp_path, capsys):
    args = ["summarize", str(BEAST), "--burnin", "1900"] + extra
    if "--heights" not in extra:
        args += ["--heights", "mean"]
    assert cli.main(args) != 0
    err = capsys.readouterr().err
    assert says in err and "Traceback" not in err and len(err.strip().splitlines()) == 1


def test_trees_without_lengths_are_named(tmp_path, capsys):
    trees = tmp_path / "bare.trees"
    trees.write_text("#NEXUS\nbegin trees;\ntree a = [&R] ((A:1,B:1):1,C:2);\n"
                     "tree b = [&R] ((A,B),C);\nend;\n")
    assert cli.main(["summarize", str(trees), "--burnin", "0", "--mcc", "--heights",
                     "mean"]) != 0
    err = capsys.readouterr().err
    assert "branch lengths" in err and "'b'" in err and "Traceback" not in err


def test_sample_tree_from_the_table_is_the_one_from_its_text():
    """Every node (by clade): its parent's clade and its height, the same doubles."""
    ts = read_trees([str(BEAST)], burnin=1900)
    sd = split_data(ts, rooted=True, lengths=True, parents=False)
    index = {name: i for i, name in enumerate(sd.leaf_names)}
    for t, text in enumerate(ts.newicks()):
        want = target_from_newick(text, index, ts.translate_maps[ts.map_indices[t]])
        got = target_from_table(sd, t)

        def nodes(tg):
            return {m: (tg.masks[p] if p >= 0 else None, h)
                    for m, p, h in zip(tg.masks, tg.parent, tg.heights)}
        assert nodes(got) == nodes(want), t


@pytest.mark.parametrize("heights", ["keep", "mean", "median", "ca"])
def test_split_table_pass_equals_text_pass(heights):
    """Samples without node annotations are annotated from the split table: the same
    heights and height/length annotations as from the trees' texts."""
    ts = read_trees([str(BEAST)], burnin=1700)
    sd = split_data(ts, rooted=True, lengths=True)
    t = mcc_tree(sd).tree_index
    index = {name: i for i, name in enumerate(sd.leaf_names)}
    target = target_from_newick(next(iter(ts.subset([t]).newicks())), index,
                                ts.translate_maps[ts.map_indices[t]])
    [text] = annotate([target], ts.newicks(), index,
                      lambda i: ts.translate_maps[ts.map_indices[i]], heights)
    # A budget of one byte: every clade its own pass over the trees.
    [table] = annotate_splits([target], sd, heights, chunk=64, budget=1)
    assert table.heights == text.heights
    assert table.annotations == [{k: v for k, v in notes.items() if not k.startswith("rate")}
                                 for notes in text.annotations]


def _walked_heights(sd, t, masks):
    """Tree t's node heights by split id (the root as -1) and the height of each mask's
    most recent common ancestor, walked up from its lowest leaf: the definition."""
    lo, hi = int(sd.indptr[t]), int(sd.indptr[t + 1])
    ids = [int(i) for i in sd.ids[lo:hi]]
    up = dict(zip(ids, (int(p) for p in sd.parents[lo:hi])))
    step = {i: x if x > 0.0 else 0.0 for i, x in zip(ids, sd.lengths[lo:hi].tolist())}
    depth = {-1: 0.0}

    def depth_of(i):
        if i not in depth:
            depth[i] = depth_of(up[i]) + step[i]
        return depth[i]

    mask = {i: int.from_bytes(np.packbits(sd.membership[i], bitorder="little").tobytes(),
                              "little") for i in ids}
    mask[-1] = (1 << len(sd.leaf_names)) - 1
    top = max([0.0] + [depth_of(i) for i in ids if mask[i] & (mask[i] - 1) == 0])
    heights = {i: top - depth_of(i) for i in ids + [-1]}
    tip = {mask[i].bit_length() - 1: i for i in ids if mask[i] & (mask[i] - 1) == 0}
    ca = []
    for m in masks:
        i = tip[(m & -m).bit_length() - 1]
        while mask[i] & m != m:
            i = up[i]
        ca.append(heights[i])
    return heights, ca


def _bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


@pytest.mark.parametrize("seed", [None, 0, 1, 2, 3])
def test_native_heights_are_those_walked_node_by_node(seed):
    """Node heights and common-ancestor heights, bit for bit, on the BEAST sample (seed
    None) and on random rooted trees with polytomies, missing, zero, negative, infinite
    and NaN lengths; targets: a sample tree and a multifurcating tree of some of its
    clades."""
    import random

    from reference import random_newick, with_special_lengths

    from kestrilune_tools.table.engine import SplitTable
    from kestrilune_tools.table.splits import from_table

    if seed is None:
        sd = split_data(read_trees([str(BEAST)], burnin=1700), rooted=True, lengths=True)
        rng = random.Random(9)
    else:
        rng = random.Random(seed)
        taxa = [f"x{i}" for i in range(rng.choice([3, 17, 70]))]
        texts = [with_special_lengths(rng, random_newick(rng, taxa, max_children=3,
                                                         missing_length=0.1), 0.05 * seed)
                 for _ in range(40)]
        sd = from_table(SplitTable([f"t{i}" for i in range(40)], iter(texts), [{}], [0] * 40,
                                   rooted=True, lengths=True))
    t = rng.randrange(sd.n_trees)
    own = sd.membership[sd.tree_splits(t)]
    keep = [r for r in own if r.sum() == 1 or rng.random() < 0.5]
    targets = [target_from_clades(own), target_from_clades(np.array(keep))]
    plan, row_of = _plan(targets)
    t0, t1 = 1, sd.n_trees  # from a tree other than the first
    h, ca = chunk_heights(sd, t0, t1, leaf_of_split(sd), plan)
    assert ca.shape == (len(plan), t1 - t0)
    masks = list(row_of)
    got_h, want_h, got_ca, want_ca = [], [], [], []
    for t in range(t0, t1):
        heights, common = _walked_heights(sd, t, masks)
        want_h += [heights[int(i)] for i in sd.tree_splits(t)]
        want_ca += common
        got_ca += [ca[row_of[m], t - t0] for m in masks]
    got_h = h[:len(want_h)]
    assert _bits(got_h) == _bits(want_h)
    assert _bits(h[len(want_h):]) == _bits([_walked_heights(sd, t, [])[0][-1]
                                            for t in range(t0, t1)])
    assert _bits(got_ca) == _bits(want_ca)


def test_native_heights_name_a_table_that_is_no_tree():
    from kestrilune_tools.table.engine import node_heights

    leaf_of = np.array([0, 1, 2, -1], dtype=np.int32)  # splits A, B, C, AB
    indptr = np.array([0, 4], dtype=np.int64)
    ids = np.arange(4, dtype=np.uint32)
    lengths = np.ones(4)
    plan = np.array([[0, -1], [1, -1], [0, 1]], dtype=np.int64)
    good = np.array([3, 3, -1, -1], dtype=np.int32)
    h, ca = node_heights(indptr, ids, good, lengths, leaf_of, 0, 1, plan)
    assert h.tolist() == [0.0, 0.0, 1.0, 1.0, 2.0] and ca[:, 0].tolist() == [0.0, 0.0, 1.0]
    for parents in ([1, 0, -1, -1], [3, 3, -1, 3], [3, 3, 9, -1]):  # cycles, no such parent
        with pytest.raises(ValueError, match="tree 0 is not a rooted tree"):
            node_heights(indptr, ids, np.array(parents, dtype=np.int32), lengths, leaf_of, 0,
                         1, plan)
    with pytest.raises(ValueError, match="tree 0 is not a rooted tree"):  # no tip of leaf 1
        node_heights(np.array([0, 3]), ids[[0, 2, 3]], good[[0, 2, 3]], lengths[:3], leaf_of,
                     0, 1, plan)
    with pytest.raises(ValueError, match="plan row 0"):
        node_heights(indptr, ids, good, lengths, leaf_of, 0, 1, plan[::-1].copy())


@pytest.mark.parametrize("extra, key", [(["--consensus"], "prob"),
                                        (["--mcc", "--heights", "mean"], "posterior")])
def test_support_labels_repeat_the_supports(extra, key, tmp_path):
    out = tmp_path / "s.nwk"
    assert cli.main(["summarize", str(BEAST), "--burnin", "200", "--support-labels", "-o",
                     str(out), "-q"] + extra) == 0
    pairs = re.findall(r"\)([^\[:,();]+)\[&" + key + r"=([^,\]]+)", out.read_text())
    assert len(pairs) >= 13 and all(label == value for label, value in pairs)


def test_annotations_some_trees_lack_are_named(tmp_path, capsys):
    text = (DATA / "traits_5taxa.trees").read_text()
    first = text.index("tree STATE_0")
    cut = re.sub(r"\(1\[&state=(\"[a-z]+\"),rate=[^,]+,", r"(1[&state=\1,", text[first:], count=1)
    (tmp_path / "t.trees").write_text(text[:first] + cut)
    assert cli.main(["summarize", str(tmp_path / "t.trees"), "--burnin", "0", "--mcc",
                     "--heights", "mean", "-q"]) == 0
    assert "node annotation rate missing in some trees" in capsys.readouterr().err


def test_consensus_tree_heights_equal_treeannotator_on_it_as_target(tmp_path):
    """A summary tree that is no sample tree (polytomies included) gets the mean heights
    and annotations TreeAnnotator gives it as a user target."""
    out = tmp_path / "con.nex"
    assert cli.main(["summarize", str(BEAST), "--burnin", "0", "--consensus", "--heights",
                     "mean", "-o", str(out), "-q"]) == 0
    _same(out, DATA / "beast17.treeannotator.target_consensus.mean.tree")


def test_negative_branches_are_counted_and_said(tmp_path, capsys):
    """(A,B) is 5 high in the two trees holding it, the root 13/3 on average: with mean
    heights its branch is negative, as TreeAnnotator would write it."""
    trees = tmp_path / "neg.trees"
    trees.write_text("#NEXUS\nbegin trees;\ntree a = [&R] ((A:5,B:5):1,C:6);\n"
                     "tree b = [&R] ((A:0.5,C:0.5):0.5,B:1);\n"
                     "tree c = [&R] ((A:5,B:5):1,C:6);\nend;\n")
    out = tmp_path / "neg.nwk"
    assert cli.main(["summarize", str(trees), "--burnin", "0", "--mcc", "--heights", "mean",
                     "-o", str(out)]) == 0
    assert "MCC tree (a): 1 negative branch length with --heights mean" in \
        capsys.readouterr().err
    assert re.search(r"\)\[&posterior=0\.6666666666666666,[^]]*\]:-0\.66666666666666",
                     out.read_text())


@pytest.mark.parametrize("heights", ["keep", "mean", "median"])
def test_beast2_run_equals_beast2_treeannotator(heights, tmp_path):
    """A real BEAST 2.7 relaxed-clock run (rate annotations before the ':'; no [&R] mark,
    so --rooted) against BEAST 2's TreeAnnotator, which also writes the root's length 0."""
    out = tmp_path / "mcc.nex"
    assert cli.main(["summarize", str(DATA / "beast2_relaxed_6taxa.trees.gz"), "--rooted",
                     "--burnin", "25%", "--mcc", "--heights", heights, "-o", str(out),
                     "-q"]) == 0
    theirs = DATA / f"beast2_relaxed_6taxa.treeannotator2.{heights}.tree"
    fixed = tmp_path / "theirs.nex"
    fixed.write_text(re.sub(r":0\.0;", ";", theirs.read_text()))
    _same(out, fixed)


def _rates(f):
    """Each "[&rate=x]" of a text rewritten by f(x)."""
    return lambda text: re.sub(r"\[&rate=([^\]]*)\]", lambda m: f(m[1]), text)


_SAME = [
    ("as written", lambda t: t, 300),
    ("text values", _rates(lambda x: f'[&rate={x},state="{"AB"[len(x) % 2]}",e=""]'), 300),
    ("lists and empty values", _rates(lambda x: f"[&rate={x},hpd={{0.1,0.2}},empty=]"), 300),
    ("a key again, a second comment",
     _rates(lambda x: f"[&rate=1.5,rate={x},w=+2.][&w=-.5e-3,rate=]"), 300),
    ("numbers in every form", _rates(lambda x: f"[&rate={x},a=-0,b=5.,c=.5e-3,d=+1E+2,"
                                               "e=12345678901234567890123,f=1e-310]"), 300),
    ("blanks, internal labels", lambda t: t.replace("(", "( ").replace(")", ")x"), 300),
    ("a comment before the colon", lambda t: re.sub(r"(\d+|\)):(\[[^\]]*\])", r"\1\2:", t), 300),
    # Texts the native reader leaves to the full one, from the tree where it meets one on.
    ("a blank in a comment", _rates(lambda x: f"[&rate={x}, k=1]"), 0),
    ("an unquoted word", _rates(lambda x: f"[&rate={x},k=Europe]"), 0),
    ("a quoted label", lambda t: t.replace("(15:", "('15':"), 0),
]


@pytest.mark.parametrize("heights", ["median", "ca"])
@pytest.mark.parametrize("case, change, native_reads", _SAME, ids=[c[0] for c in _SAME])
def test_native_comment_reader_equals_the_full_one(case, change, native_reads, heights,
                                                   monkeypatch):
    """The same annotations, to the bit, with the native reader as with the full one; a
    text it cannot take hands that tree and the rest over (here tree 260 of 300, past the
    first chunk of 256, when the first tree is one it takes)."""
    import kestrilune_tools.analyses.summaries.annotate as A

    ts = read_trees([str(BEAST)], burnin=1701)
    index = {name: i for i, name in enumerate(sorted(ts.translate_maps[0].values()))}
    texts = [change(t) for t in ts.newicks()]
    plain = list(ts.newicks())
    if native_reads == 0:  # only tree 260 and later need the full reader
        texts = plain[:260] + texts[260:]
    target = target_from_newick(plain[7], index, ts.translate_maps[0])

    def run():
        return annotate([target], iter(texts), index, lambda i: ts.translate_maps[0],
                        heights)[0]

    reads = []
    real = A.NodeComments

    class Counted(real):  # type: ignore[misc, valid-type]
        def read(self, texts, tables):
            reads.append(super().read(texts, tables))
            return reads[-1]

    monkeypatch.setattr(A, "NodeComments", Counted)
    native = run()
    assert sum(reads) == (300 if native_reads else 260), case
    monkeypatch.setattr(A, "_Native", lambda *args: None)
    full = run()
    assert repr((native.heights, native.annotations, native.partial)) == repr(
        (full.heights, full.annotations, full.partial))


@pytest.mark.parametrize("change, says", [
    (lambda t: re.sub(r"\((\d+):", "(99:", t, count=1), "taxon '99' is not among"),
    (lambda t: re.sub(r"\]\d[^,)]*", "]", t, count=1), "has a branch without one"),
    (lambda t: t.replace(";", "));"), "unbalanced parentheses"),
    (lambda t: re.sub(r"([(,])\d+:", lambda m: m[1] + re.findall(r"[(,](\d+):", t)[1] + ":",
                      t, count=1), "lacks taxa of a clade"),
])
def test_texts_the_native_reader_declines_get_the_full_readers_words(change, says):
    ts = read_trees([str(BEAST)], burnin=1990)
    index = {name: i for i, name in enumerate(sorted(ts.translate_maps[0].values()))}
    texts = list(ts.newicks())
    target = target_from_newick(texts[0], index, ts.translate_maps[0])
    texts[3] = change(texts[3])
    with pytest.raises(ValueError, match=says):
        annotate([target], iter(texts), index, lambda i: ts.translate_maps[0], "ca")

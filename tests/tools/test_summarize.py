"""Summary trees (kestrilune_tools.analyses.summaries) against MrBayes, TreeAnnotator, ape and
phangorn.

Where each expected value comes from is written in tests/data/summaries/README.md.
"""

import gzip
import math
import re
from collections import Counter
from pathlib import Path

import numpy as np
import pytest

import kestrilune
from kestrilune_tools.analyses import summaries as S
from kestrilune_tools.arrays import rf_matrix
from kestrilune_tools.reading import read_trees
from kestrilune_tools.table.splits import split_data

DATA = Path(__file__).parents[1] / "data" / "summaries"
PRIMATES = [DATA / f"primates2.run{i}.t.gz" for i in (1, 2)]
CYNMIX = [DATA / f"cynmix3.run{i}.topologies.t.gz" for i in (1, 2, 3)]
BEAST = DATA / "beast1_ucln_17taxa.topologies.trees.gz"
WALK10 = DATA / "walk_rooted_10taxa.trees.gz"
WALK24 = DATA / "walk_rooted_24taxa.trees.gz"
CYNMIX1 = DATA.parent / "converge" / "mrbayes_cynmix_32taxa.topo.t.gz"

TIES_NEXUS = """#NEXUS
begin trees;
  translate 1 A, 2 B, 3 C, 4 D, 5 E, 6 F;
  tree first_b = [&R] (((1,2),3),((4,5),6));
  tree a = [&R] (((1,2),(3,4)),(5,6));
  tree a_flipped = [&R] ((6,5),((4,3),(2,1)));
  tree b_flipped = [&R] ((6,(5,4)),(3,(2,1)));
  tree c = [&R] (((1,3),2),((4,6),5));
end;
"""

FIVE = {"T1": "((A,(B,C)),(D,E));", "T2": "((((A,B),C),D),E);", "T3": "((((B,C),A),E),D);"}


def _sd(paths, burnin=0, rooted=False):
    return split_data(read_trees(paths, burnin=burnin), rooted=rooted)


def _text(path):
    path = Path(path)
    return gzip.open(path, "rt").read() if path.suffix == ".gz" else path.read_text()


def _nexus_trees(path):
    """(translate map, {tree name: Newick}) of a small NEXUS file as MrBayes writes it."""
    text = _text(path)
    body = text[re.search(r"translate", text, re.I).end():]
    body = body[:body.index(";")]
    tmap = dict(re.findall(r"(\d+)\s+([^,;\s]+)", body))
    trees = dict(re.findall(r"tree\s+(\S+)\s*(?:\[[^\]]*\]\s*)?=\s*(?:\[&[^\]]*\]\s*)?(\(.*;)",
                            text))
    return tmap, trees


def _rf(a, b, map_a=None, map_b=None, rooted=False):
    res = kestrilune.pairwise_rf_from_newick_iter(["a", "b"], iter([a, b]),
                                                  [map_a or {}, map_b or {}], [0, 1], rooted)
    return int(rf_matrix(res)[0, 1])


def _node_annotations(newick, tmap):
    """{frozenset of leaf names below a node: its [&...] key/values}, MrBayes' two comments
    per node (support before the length, length summary after it) merged."""
    tokens = re.findall(r"\(|\)|,|;|\[&[^\]]*\]|:[^,();\[]+|[^(),;:\[\]\s]+", newick)
    stack, last, out = [[]], None, {}
    for tok in tokens:
        if tok == "(":
            stack.append([])
        elif tok == ")":
            last = frozenset().union(*stack.pop())
            stack[-1].append(last)
        elif tok.startswith("[&"):
            pairs = re.findall(r"([\w()%+-]+)=([^,{]+|\{[^}]*\})", tok[2:-1])
            out.setdefault(last, {}).update(pairs)
        elif tok not in (",", ";") and not tok.startswith(":"):
            last = frozenset([tmap.get(tok, tok)])
            stack[-1].append(last)
    return out


def _sides(tree, away_from=None):
    """{side of each split without leaf ``away_from`` (rooted: the clade itself): index in
    tree.split_ids}."""
    names = tree.leaf_names
    full = frozenset(names)
    out = {}
    for k, row in enumerate(tree.membership):
        side = frozenset(names[i] for i in np.flatnonzero(row))
        out[full - side if away_from in side else side] = k
    return out


# ----------------------------------------------------------------------------- consensus


@pytest.mark.parametrize("runs, burnin, rooted, con_tre, name, with_lengths", [
    (PRIMATES, "25%", False, DATA / "primates2.con.tre", "con_50_majrule", True),
    (CYNMIX, "25%", False, DATA / "cynmix3.con.tre", "con_50_majrule", False),
    (CYNMIX1, "25%", False, DATA / "cynmix1.con.tre", "con_50_majrule", False),
    (BEAST, 200, True, DATA / "beast17.sumt.con.tre", "con_50_majrule", False),
    (BEAST, 200, True, DATA / "beast17.sumt.allcompat.con.tre", "con_all_compat", False),
], ids=["primates_2runs", "cynmix_3runs", "cynmix_1run", "beast1_rooted",
        "beast1_rooted_allcompat"])
def test_consensus_matches_mrbayes_sumt(runs, burnin, rooted, con_tre, name, with_lengths):
    sd = _sd(runs, burnin=burnin, rooted=rooted)
    make = S.allcompat_consensus if name == "con_all_compat" else S.majority_consensus
    tree = make(sd)
    tmap, trees = _nexus_trees(con_tre)
    ref = trees[name]
    assert _rf(tree.newick, ref, map_b=tmap, rooted=rooted) == 0
    outgroup = None if rooted else tmap["1"]
    mine = _sides(tree, outgroup)
    full = frozenset(tree.leaf_names)
    checked = 0
    for clade, ann in _node_annotations(ref, tmap).items():
        side = full - clade if outgroup in clade else clade
        if side not in mine:  # the root
            continue
        k = mine[side]
        # MrBayes prints eight decimals after the point in e-notation.
        assert tree.support[k] == pytest.approx(float(ann["prob"]), rel=1e-8)
        if with_lengths:
            assert tree.lengths[k] == pytest.approx(float(ann["length_mean"]), rel=1e-8)
        checked += 1
    assert checked == len(tree.split_ids)


def test_consensus_variants_match_ape_phangorn_and_mrbayes_allcompat():
    sd = _sd(CYNMIX, burnin="25%")
    peer = dict(line.rstrip("\n").split("\t", 1) for line in open(DATA / "peer_consensus.txt")
                if "\t" in line)
    for threshold in (0.5, 0.75, 0.95):
        ours = S.majority_consensus(sd, threshold).newick
        assert _rf(ours, peer[f"consensus {threshold:.2f}"]) == 0, threshold
    ours = S.allcompat_consensus(sd)
    assert _rf(ours.newick, peer["allcompat"]) == 0
    tmap, trees = _nexus_trees(DATA / "cynmix3.allcompat.con.tre")
    assert _rf(ours.newick, trees["con_all_compat"], map_b=tmap) == 0
    assert ours.n_clades == len(sd.leaf_names) - 3


def test_allcompat_screening_is_exact_in_bounded_memory():
    import tracemalloc

    from kestrilune_tools.analyses.summaries.consensus import _compatible

    def reference(cand, taken):  # every pair at once: the plain definition
        c, t = cand[:, None, :], taken[None, :, :]
        return (~(c & t).any(2) | ~(c & ~t).any(2) | ~(t & ~c).any(2)).all(1)

    rng = np.random.default_rng(4)

    def sets(k, words, density):
        bits = rng.random((k, words * 64)) < density
        return np.packbits(bits, axis=1, bitorder="little").view("<u8").astype(np.uint64)

    # Sparse sets, their subsets and unions: disjoint, nested and crossing pairs all occur.
    taken = sets(40, 2, 0.03)
    pick = lambda: taken[rng.integers(0, 40, 60)]  # noqa: E731
    cand = np.concatenate([sets(60, 2, 0.03), pick() & sets(60, 2, 0.5), pick() | pick()])
    expected = reference(cand, taken)
    assert 0 < expected.sum() < len(cand)
    for k in (0, 1, 7, 40):
        np.testing.assert_array_equal(_compatible(cand, taken[:k]), reference(cand, taken[:k]))
    # 1,024 candidates against 512 splits of 1,024 leaves: all pairs at once held 64 MB
    # per temporary.
    cand, taken = sets(1024, 16, 0.01), sets(512, 16, 0.01)
    tracemalloc.start()
    try:
        _compatible(cand, taken)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 16 << 20, peak


@pytest.mark.parametrize("threshold, expected", [
    (0.5, "((A,B),C,D,E,F);"),  # C+D and E+F in exactly half of the trees: left out
    (0.75, "((A,B),C,D,E,F);"),
    (1.0, "((A,B),C,D,E,F);"),
])
def test_majority_rule_needs_more_than_half(tmp_path, threshold, expected):
    path = tmp_path / "half.nwk"
    path.write_text("((A,B),((C,D),(E,F)));\n" * 2 + "((A,B),((C,E),(D,F)));\n" * 2)
    tree = S.majority_consensus(_sd(path), threshold)
    assert _rf(tree.newick, expected) == 0
    allcompat = S.allcompat_consensus(_sd(path))
    assert _rf(allcompat.newick, "((A,B),(C,D),(E,F));") == 0  # equal counts: id order


# ----------------------------------------------------------------------------- topologies


@pytest.mark.parametrize("runs, burnin, rooted, trprobs, credible", [
    (PRIMATES, "25%", False, DATA / "primates2.trprobs", {0.95: 1, 0.99: 2}),
    (CYNMIX, "25%", False, DATA / "cynmix3.trprobs.gz",
     {0.5: 12, 0.9: 114, 0.95: 160, 0.99: 234}),
    (CYNMIX1, "25%", False, DATA / "cynmix1.trprobs.gz", None),
    (BEAST, 200, True, DATA / "beast17.sumt.trprobs.gz", None),
], ids=["primates_2runs", "cynmix_3runs", "cynmix_1run", "beast1_rooted"])
def test_topology_table_matches_mrbayes_trprobs(runs, burnin, rooted, trprobs, credible):
    ts = read_trees(runs, burnin=burnin)
    sd = split_data(ts, rooted=rooted)
    table = S.topology_probabilities(sd)
    tmap, trees = _nexus_trees(trprobs)
    weights = [float(w) for w in re.findall(r"\[&W ([0-9.]+)\]", _text(trprobs))]
    assert len(table) == len(trees) == len(weights)
    np.testing.assert_allclose(table.probabilities, weights, atol=5e-7)
    assert table.cumulative[-1] == 1.0 and table.counts.sum() == sd.n_trees
    # Same topologies with the same probabilities; ties may be listed in another order.
    # Each topology is written both from its splits and from its first tree's text.
    k = len(table)
    ref = list(trees.values())
    texts = [table.tree(i).newick for i in range(k)] + table.newicks() + ref
    res = kestrilune.pairwise_rf_from_newick_iter(
        [f"t{i}" for i in range(len(texts))], iter(texts), [{}, tmap], [0] * 2 * k + [1] * k,
        rooted)
    rf = rf_matrix(res)
    assert (np.diag(rf[:k, k:2 * k]) == 0).all()
    same = rf[:k, 2 * k:] == 0
    match = same.argmax(axis=1)
    assert same.any(axis=1).all() and sorted(match) == list(range(len(ref)))
    np.testing.assert_allclose(table.probabilities, np.asarray(weights)[match], atol=5e-7)
    if credible is None:  # the smallest prefix of MrBayes' list holding each mass
        counts = np.cumsum(np.rint(np.asarray(weights) * sd.n_trees))
        credible = {m: int(np.searchsorted(counts, m * sd.n_trees - 1e-9)) + 1
                    for m in (0.5, 0.9, 0.95, 0.99)}
    for mass, n_trees in credible.items():
        assert S.topology_probabilities(sd, mass).n_credible == n_trees
    if len(ref) == 5:  # primates: the first and the order of its two tied topologies
        assert list(match) == [0, 1, 2, 3, 4] and table.probabilities[0] == 744 / 752


@pytest.mark.parametrize("rooted, expected", [
    (False, ["(A,B,(C,D));"] * 3),
    (True, ["((A,B),(C,D));"] * 2 + ["(((A,B),C),D);"]),
])
def test_topology_texts_are_written_from_splits_one_per_topology(rooted, expected):
    """Rotations and lengths change nothing; a 3,000-leaf caterpillar (deeper than any
    recursion would go) comes back as the same tree."""
    from kestrilune_tools.table.engine import SplitTable

    texts = ["((A:1,B:2):1,(C,D));", "((D,C),(B,A));", "(((A,B),C),D);"]
    table = SplitTable(["x", "y", "z"], iter(texts), [{}], [0] * 3, rooted=rooted)
    assert table.topology_newicks() == expected
    deep = "t0"
    for i in range(1, 3000):
        deep = f"(t{i},{deep})"
    table = SplitTable(["a", "b"], iter([deep + ";"] * 2), [{}], [0, 0], rooted=rooted)
    back = table.topology_newicks()[0]
    assert back.count("(") == 2998 + rooted
    both = SplitTable(["a", "b"], iter([deep + ";", back]), [{}], [0, 0], rooted=rooted)
    assert both.rf()[0, 1] == 0


@pytest.mark.parametrize("text, translate, expected", [
    ("[&U] (1:0.1,(2:[&rate=1]2e-3,3:1E+2)0.95:0.5[&x=1],4);", {"1": "A b", "2": "B"},
     "('A b',(B,3),4);"),
    ("((  'it''s' :1, b)lab, c );", None, "(('it''s',b),c);"),
    ("(('x,y'[&a]:1,b):2,'c');", {"x,y": "X"}, "((X,b),c);"),
])
def test_plain_topology(text, translate, expected):
    assert S.plain_topology(text, translate) == expected


# ----------------------------------------------------------------------------- MCC


@pytest.mark.parametrize("path, burnin, number, name, score, n_clades", [
    (BEAST, 200, 343, "STATE_342000", -5.343868837869309, 81),
    (BEAST, 0, 333, "STATE_332000", -5.496143905698456, 121),
    (BEAST, 1000, 1026, "STATE_1025000", -5.185470957226835, 69),
    (WALK10, 40, 246, "gen.245", -20.690095677521583, 340),
    (WALK24, 40, 162, "gen.161", -60.21647969111506, 873),
], ids=["beast1_17taxa", "beast1_no_burnin", "beast1_burnin_1000", "walk_10taxa",
        "walk_24taxa"])
def test_mcc_matches_treeannotator(path, burnin, number, name, score, n_clades):
    sd = _sd(path, burnin=burnin, rooted=True)
    mcc = S.mcc_tree(sd)
    assert (mcc.tree_index + burnin + 1, mcc.tree_name) == (number, name)
    assert mcc.score == pytest.approx(score, abs=1e-12)
    assert mcc.settings["n_clades"] == n_clades
    product = S.mcc_tree(sd, "product")
    assert product.tree_index == mcc.tree_index
    assert product.score == pytest.approx(math.exp(score), rel=1e-12)
    assert S.mcc_tree(sd, "sum").score_name == "sum of clade credibilities"


def test_mcc_matches_phangorn_max_clade_cred():
    line = next(ln for ln in open(DATA / "peer_consensus.txt") if ln.startswith("mcc\t"))
    _, number, score = line.split("\t")
    mcc = S.mcc_tree(_sd(BEAST, burnin=200, rooted=True))
    assert mcc.tree_index + 201 == int(number)
    assert mcc.score == pytest.approx(float(score), abs=1e-12)


def test_mcc_tie_on_the_beast_sample_goes_to_the_first_tree():
    # 25 trees of one topology score within 1e-9 of the best (a plain sum of logs over each
    # tree's clades, set by set); TreeAnnotator picks the first, tree 343.
    sd = _sd(BEAST, burnin=200, rooted=True)
    n_leaves = len(sd.leaf_names)
    clades = [frozenset(frozenset(np.flatnonzero(row).tolist()) for row in sd.membership[ids]
                        if 1 < row.sum() < n_leaves)
              for ids in map(sd.tree_splits, range(sd.n_trees))]
    count = Counter(c for tree in clades for c in tree)
    scores = np.array([sum(math.log(count[c] / sd.n_trees) for c in tree) for tree in clades])
    tied = np.flatnonzero(scores >= scores.max() - 1e-9)
    assert len(tied) == 25 and len({clades[t] for t in tied}) == 1
    mcc = S.mcc_tree(sd)
    assert mcc.tree_index == tied[0] == 343 - 201


def test_mcc_ties_go_to_the_first_tree(tmp_path):
    path = tmp_path / "ties.nex"
    path.write_text(TIES_NEXUS)
    sd = _sd(path, rooted=True)
    mcc = S.mcc_tree(sd)
    # TreeAnnotator 1.10.4: "Best tree: first_b (tree number 1)". Trees 1 and 4 share a
    # topology written in other child orders, as do trees 2 and 3, and the two topologies
    # have equal scores.
    assert (mcc.tree_index, mcc.tree_name) == (0, "first_b")
    assert mcc.score == pytest.approx(-2.161085530720346, abs=1e-12)
    assert mcc.settings["n_clades"] == 10


# ----------------------------------------------------------------------------- CCD


def _trees_and_total(ccd):
    """(number of trees of the distribution, sum of their probabilities)."""
    leaf = np.where(ccd.clade_sizes == 1, 1.0, 0.0)
    count, total = leaf.copy(), leaf.copy()
    for p in np.argsort(ccd.clade_sizes[ccd.partitions[:, 0]], kind="stable"):
        c, a, b = ccd.partitions[p]
        count[c] += count[a] * count[b]
        total[c] += math.exp(ccd.log_ccp[p]) * total[a] * total[b]
    return int(count[ccd.root]), total[ccd.root]


def test_ccd_five_taxon_example(tmp_path):
    path = tmp_path / "five.nwk"
    path.write_text("\n".join([FIVE["T1"]] * 6 + [FIVE["T2"]] * 2 + [FIVE["T3"]] * 2) + "\n")
    sd = _sd(path, rooted=True)
    ccd1 = S.ccd1(sd)
    np.testing.assert_allclose(np.exp(ccd1.tree_log_probabilities),
                               [0.48] * 6 + [0.04] * 2 + [0.16] * 2, rtol=1e-12)
    n_trees, total = _trees_and_total(ccd1)
    assert n_trees == 6 and total == pytest.approx(1, abs=1e-12)
    for tree in (ccd1.map_tree(), S.ccd0_map(sd)):
        assert _rf(tree.newick, FIVE["T1"]) == 0
        assert math.exp(tree.log_probability) == pytest.approx(0.48, rel=1e-12)
        assert tree.lengths is None  # the sample has no branch lengths
    assert math.exp(S.ccd0_map(sd).score) == pytest.approx(1 * 0.8 * 0.6, rel=1e-12)


@pytest.mark.parametrize("path, burnin", [(BEAST, 200), (BEAST, 0), (WALK10, 40), (WALK24, 40)],
                         ids=["beast1_17taxa", "beast1_no_burnin", "walk_10taxa", "walk_24taxa"])
def test_ccd_properties_on_samples(path, burnin):
    sd = _sd(path, burnin=burnin, rooted=True)
    mcc = S.mcc_tree(sd)
    # Partitions keyed as rows (for more clades than one int64 key holds): the same CCD1.
    from kestrilune_tools.analyses.summaries import ccd as C
    as_keys = S.ccd1(sd, budget=256)
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(C, "_ONE_KEY_CLADES", 0)
        as_rows = S.ccd1(sd, budget=256)
    for got, want in [(as_rows.partitions, as_keys.partitions), (as_rows.log_ccp,
                      as_keys.log_ccp), (as_rows.tree_log_probabilities,
                                         as_keys.tree_log_probabilities)]:
        assert got.tobytes() == want.tobytes()
    for ccd in (S.ccd0(sd), S.ccd1(sd)):
        assert _trees_and_total(ccd)[1] == pytest.approx(1, abs=1e-9)
        best = ccd.map_tree()
        # The MAP tree is at least as probable as every sample tree.
        assert best.log_probability >= ccd.tree_log_probabilities.max() - 1e-12
        assert best.n_clades == len(sd.leaf_names) - 2
        if ccd.kind == "CCD0":  # the MCC tree is one of the trees CCD0 maximises over
            assert best.score >= mcc.score - 1e-12
            np.testing.assert_allclose(ccd.tree_log_probabilities[mcc.tree_index],
                                       mcc.score - ccd.settings["log_normaliser"], atol=1e-12)


def _partitions_by_definition(ccd):
    """Every way to split an observed clade into two observed clades, pair by pair."""
    sd = ccd._sd
    n = len(sd.leaf_names)
    masks = [int.from_bytes(np.packbits(sd.membership[s], bitorder="little").tobytes(),
                            "little") if s >= 0 else (1 << n) - 1
             for s in ccd.clade_split_ids.tolist()]
    index = {m: k for k, m in enumerate(masks)}
    out = set()
    for c, whole in enumerate(masks):
        for a, part in enumerate(masks):
            b = index.get(whole ^ part)
            if part != whole and part & ~whole == 0 and b is not None:
                out.add((c, min(a, b), max(a, b)))
    return sorted(out)


@pytest.mark.parametrize("path, burnin", [(BEAST, 200), (WALK24, 40)],
                         ids=["beast1_17taxa", "walk_24taxa"])
def test_ccd0_partitions_are_all_splits_into_observed_clades(path, burnin):
    ccd = S.ccd0(_sd(path, burnin=burnin, rooted=True))
    assert [tuple(r) for r in ccd.partitions.tolist()] == _partitions_by_definition(ccd)


def test_clade_parents_are_the_smallest_enclosing_clades():
    sd = _sd(WALK24, rooted=True)
    parents = S.clade_parents(sd, budget=2000)  # many batches
    np.testing.assert_array_equal(parents, np.where(sd.parents < 0, sd.n_splits, sd.parents))
    for t in (0, 1, 177, sd.n_trees - 1):
        ids = sd.tree_splits(t)
        member = sd.membership[ids]
        size = member.sum(axis=1)
        for k in range(len(ids)):
            holders = [j for j in range(len(ids))
                       if size[j] > size[k] and (member[j] >= member[k]).all()]
            expected = ids[min(holders, key=lambda j: size[j])] if holders else sd.n_splits
            assert parents[sd.indptr[t] + k] == expected


# ----------------------------------------------------------------------------- input


def test_rooting_marks():
    assert S.rooting_marks(read_trees(PRIMATES)) == ["U", "U"]
    assert S.rooting_marks(read_trees(BEAST)) == ["R"]


@pytest.mark.parametrize("call, message", [
    (lambda sd, rd, mf: S.mcc_tree(sd), "the MCC tree needs rooted trees"),
    (lambda sd, rd, mf: S.ccd0(sd), "CCD0 needs rooted trees"),
    (lambda sd, rd, mf: S.ccd1_map(mf), "CCD1 needs binary trees, but 1 of the 3 trees are not"),
    (lambda sd, rd, mf: S.ccd0_map(mf), "the first is tree 1, 'tree_2'"),
    (lambda sd, rd, mf: S.mcc_tree(rd, "max"), "unknown MCC criterion 'max'"),
    (lambda sd, rd, mf: S.majority_consensus(sd, 0.4), "between 0.5 and 1, got 0.4"),
    (lambda sd, rd, mf: S.topology_probabilities(sd, 0), "credible mass must be in (0, 1]"),
])
def test_bad_input_is_refused_with_a_clear_message(tmp_path, call, message):
    path = tmp_path / "multi.nwk"
    path.write_text("((A,B),(C,D));\n((A,B,C),D);\n((A,C),(B,D));\n")
    unrooted, rooted = _sd(path), _sd(path, rooted=True)
    with pytest.raises(ValueError, match=re.escape(message)):
        call(unrooted, rooted, rooted)


@pytest.mark.parametrize("runs, burnin, con_tre", [
    (PRIMATES, "25%", DATA / "primates2.con.tre"),  # two runs, branch lengths
    (CYNMIX, "25%", DATA / "cynmix3.con.tre"),  # three runs, topologies only
    (CYNMIX1, "25%", DATA / "cynmix1.con.tre"),  # one run: no spread across runs
    (DATA / "beast1_ucln_17taxa.trees.gz", 200, DATA / "beast17.sumt.con.tre"),  # clock
], ids=["primates_2runs", "cynmix_3runs", "cynmix_1run", "beast1_rooted_heights"])
def test_consensus_carries_every_sumt_key(runs, burnin, con_tre):
    from kestrilune_tools.analyses.summaries.sumt import sumt_keys

    rooted = "beast" in con_tre.name
    sd = _sd(runs, burnin=burnin, rooted=rooted)
    tree = S.majority_consensus(sd)
    tmap, trees = _nexus_trees(con_tre)
    outgroup = None if rooted else tmap["1"]
    keys = sumt_keys(tree, sd)
    text = keys.newick(list(tree.leaf_names), 0 if rooted else tree.leaf_names.index(outgroup))
    ours = _node_annotations(text, {})
    full = frozenset(tree.leaf_names)

    def side(clade):
        return full - clade if outgroup in clade else clade

    if rooted:  # lengths from the median heights, as sumt writes a clock tree's
        ref_len = dict(re.findall(r"(\d+)\[&prob[^\]]*\]:([^\[]+)", trees["con_50_majrule"]))
        our_len = dict(re.findall(r"([^(),\[]+)\[&prob[^\]]*\]:([^\[]+)", text))
        assert all(float(our_len[tmap[k]]) == pytest.approx(float(v), rel=1e-6, abs=1e-9)
                   for k, v in ref_len.items())

    ours = {side(c): a for c, a in ours.items()}
    wrong, checked = [], 0
    for clade, ann in _node_annotations(trees["con_50_majrule"], tmap).items():
        mine = {k: v for k, v in ours.get(side(clade), {}).items() if k != "posterior"}
        if "topo" in str(runs):  # lengths stripped from these copies
            ann = {k: v for k, v in ann.items() if not k.startswith("length")}
        if set(mine) != set(ann):
            wrong.append((sorted(clade), sorted(mine), sorted(ann)))
            continue
        for key, text in ann.items():
            if text.startswith('"'):
                ok = mine[key] == text
            else:
                got = [float(x) for x in mine[key].strip("{}").split(",")]
                ok = got == pytest.approx([float(x) for x in text.strip("{}").split(",")],
                                          rel=1e-8, abs=1e-12)
            if not ok:
                wrong.append((sorted(clade), key, mine[key], text))
        checked += 1
    assert not wrong and checked == len(tree.split_ids) + rooted  # a rooted root has keys


def _best_assembled(sd, majority_rule):
    """(majority clades, log product of credibilities) of the best tree assembled from
    observed partitions, found by listing every such tree."""
    from kestrilune_tools.analyses.summaries.ccd import ccd1

    c = ccd1(sd)
    parts, memo = {}, {}
    for p, a, b in c.partitions.tolist():
        parts.setdefault(p, []).append((a, b))

    def subtrees(k):
        if c.clade_sizes[k] == 1:
            return [frozenset()]
        if k not in memo:
            memo[k] = [frozenset([k]) | x | y for a, b in parts[k]
                       for x in subtrees(a) for y in subtrees(b)]
        return memo[k]

    n = c.n_trees
    return max((sum(2 * c.clade_counts[k] > n for k in t if k != c.root) if majority_rule
                else 0, sum(math.log(c.clade_counts[k] / n) for k in t if k != c.root))
               for t in subtrees(c.root))


def test_hipstr_and_mrhipstr_are_the_best_assembled_trees():
    from kestrilune_tools.table.engine import SplitTable
    from kestrilune_tools.table.splits import from_table

    rng = np.random.default_rng(3)
    taxa = list("ABCDEFG")

    def random_tree():
        nodes = list(taxa)
        while len(nodes) > 1:
            a, b = sorted(rng.choice(len(nodes), 2, replace=False))
            nodes = nodes[:a] + nodes[a + 1:b] + nodes[b + 1:] + [f"({nodes[a]},{nodes[b]})"]
        return nodes[0] + ";"

    differ = 0
    for _ in range(150):  # samples of 4 topologies, 1 to 6 trees each
        texts = [t for t in (random_tree() for _ in range(4)) for _ in range(rng.integers(1, 7))]
        sd = from_table(SplitTable([str(i) for i in range(len(texts))], iter(texts), [{}],
                                   [0] * len(texts), rooted=True))
        total, n = sd.counts().sum(axis=1), len(texts)
        got = {}
        for majority in (False, True):
            tree = S.hipstr(sd, majority_rule=majority)
            inner = [i for i in tree.split_ids if 1 < sd.membership[i].sum() < len(taxa)]
            got[majority] = (sum(2 * total[i] > n for i in inner) if majority else 0,
                             tree.score)
            best = _best_assembled(sd, majority)
            assert got[majority][0] == best[0]
            assert got[majority][1] == pytest.approx(best[1], abs=1e-9)
        differ += got[True][1] < got[False][1] - 1e-9  # a majority clade kept at a cost
    assert differ > 3
    # From the 10-taxon walk: no sample tree beats it (the MCC tree is one candidate).
    sd = _sd([WALK10], rooted=True)
    assert S.hipstr(sd).score >= math.log(S.mcc_tree(sd, "product").score) - 1e-12


def test_node_convergence_keys_equal_the_converge_split_table():
    from kestrilune_tools.analyses.converge.report import diagnose
    from kestrilune_tools.analyses.converge.splitfreq import split_convergence

    rep = diagnose([str(p) for p in CYNMIX], burnin="25%", ess=False)
    sd = _sd(CYNMIX, burnin="25%")
    id_of = {label: i for i, label in enumerate(sd.labels())}
    sdsf, ess = split_convergence(sd, [id_of[label] for label in rep.table.labels], block=3)
    per_run = np.stack([r.split_ess for r in rep.runs])
    want = np.where(np.isnan(per_run).all(axis=0), np.nan,
                    np.nanmin(np.where(np.isnan(per_run), np.inf, per_run), axis=0))
    assert np.array_equal(sdsf, rep.table.sd, equal_nan=True)
    assert np.array_equal(ess, want, equal_nan=True) and np.isfinite(ess).sum() >= 10

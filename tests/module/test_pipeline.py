"""The shared pipeline: draining the iterator, reducing the trees, and its failures."""

import re

import pytest

import kestrilune
from conftest import SANITIZER_PRELOADED, run, u32_matrix

rf = kestrilune.pairwise_rf_from_newick_iter
QUARTETS = ["((A,B),(C,D));", "((A,C),(B,D));", "((A,D),(B,C));"]


def test_iterator_exception_passes_unchanged():
    def gen():
        yield QUARTETS[0]
        yield QUARTETS[1]
        raise KeyError("third")

    counter = kestrilune.ProgressCounter()
    with pytest.raises(KeyError, match="third"):
        rf(["a", "b", "c"], gen(), [{}], [0, 0, 0], progress=counter)
    assert counter.total() == 0


def test_non_str_item_stops_draining():
    consumed = []

    def gen():
        for item in [QUARTETS[0], 7, QUARTETS[1]]:
            consumed.append(item)
            yield item

    counter = kestrilune.ProgressCounter()
    run(rf, QUARTETS, progress=counter)
    with pytest.raises(TypeError, match="'int'"):
        rf(["a", "b", "c"], gen(), [{}], [0, 0, 0], progress=counter)
    assert consumed == [QUARTETS[0], 7]
    assert (counter.value(), counter.total()) == (3, 3)


def test_too_few_texts_after_draining():
    it = iter([QUARTETS[0]])
    with pytest.raises(ValueError, match="^Need at least 2 trees to compute pairwise distances$"):
        rf(["a", "b"], it, [{}], [0, 0])
    assert next(it, None) is None


@pytest.mark.parametrize("fn", [getattr(kestrilune, n) for n in kestrilune.__all__[:6]],
                         ids=kestrilune.__all__[:6])
def test_fewer_texts_than_names_is_refused(fn):
    # A matrix of the trees that came, labelled with every name, could not be told apart
    # from a complete one.
    counter = kestrilune.ProgressCounter()
    it = iter(QUARTETS[:2])
    with pytest.raises(ValueError, match="^newick_iter yielded 2 trees for 3 names$"):
        fn(["a", "b", "c"], it, [{}], [0, 0, 0], progress=counter)
    assert next(it, None) is None
    assert (counter.value(), counter.total()) == (0, 0)


def test_surplus_texts_are_read_and_ignored():
    it = iter(QUARTETS + ["not even newick"])
    names, matrix = rf(["a", "b"], it, [{}], [0, 0])
    assert next(it, None) is None
    assert u32_matrix(matrix) == [[0, 2], [2, 0]]


def test_annotations_and_translation():
    trees = ["[&R] ((1[&rate=0.5]:1,2:1)[&posterior=1]:1,(3,4));", "((1,3),(2,4));"]
    translate = {"1": "Human", "2": "Chimp", "3": "Gorilla", "4": "Orang"}
    _, matrix = rf(["a", "b"], iter(trees), [translate], [0, 0])
    assert u32_matrix(matrix) == [[0, 2], [2, 0]]


def test_each_tree_uses_its_own_translate_map():
    trees = ["((1,2),(3,4));", "((4,3),(2,1));"]
    maps = [{"1": "A", "2": "B", "3": "C", "4": "D"}, {"4": "A", "3": "B", "2": "C", "1": "D"}]
    _, matrix = rf(["a", "b"], iter(trees), maps, [0, 1])
    assert u32_matrix(matrix) == [[0, 0], [0, 0]]


SNAPSHOT_FAILURES = [
    ("tree 2 lacks a taxon", ["(A,B,(C,D));", "(A,C,(B,D));", "(A,B,C);"],
     "Tree 2 has a different leaf set than tree 0. All trees must share the same taxa."),
    ("tree 1 has another taxon", ["(A,B,(C,D));", "(A,B,(C,E));"],
     "Tree 1 has a different leaf set than tree 0. All trees must share the same taxa."),
    ("tree 1 unparsable", ["(A,B,(C,D));", "((A,B,(C,D));"],
     "Failed to parse newick at index 1: Missing a closing bracket."),
    ("tree 0 unparsable, tree 1 too", ["(A,B", "(A,B,(C,D)));"],
     "Failed to parse newick at index 0: The tree is missin a semi colon at the end."),
    ("bad length", ["(A,B,(C,D));", "(A:x,B,(C,D));"],
     "Failed to parse newick at index 1: Could not parse a branch length"),
    ("tree 0 repeats a leaf", ["(A,B,A);", "(A,B,C);"],
     "Trees have duplicate leaf names. All leaf names must be unique."),
    # A later tree that repeats a name of tree 0 has the same name set but not the same leaves.
    ("tree 1 repeats a leaf", ["(A,B,(C,D));", "(A,A,(C,D));"],
     "Tree 1 has a different leaf set than tree 0. All trees must share the same taxa."),
    ("tree 1 has an extra leaf of a known name", ["(A,B,(C,D));", "(A,B,(C,D,D));"],
     "Tree 1 has a different leaf set than tree 0. All trees must share the same taxa."),
    ("tree 0 has two unnamed leaves", ["(A,,(C,));", "(A,B,(C,D));"],
     "Trees have duplicate leaf names. All leaf names must be unique."),
    ("tree 1 has an extra unnamed leaf", ["(A,B,(C,D));", "(A,B,(C,D,));"],
     "Tree 1 has a different leaf set than tree 0. All trees must share the same taxa."),
    ("two top-level groups", ["((A,B),(C,D));", "(A,B),(C,D);"],
     "Failed to parse newick at index 1: "),
    ("a bare leaf", ["(A,B);", "A;"], "Failed to parse newick at index 1: "),
    ("left-over group", ["(A,B,C);", "(A,B),C;"], "Failed to parse newick at index 1: "),
    ("no group", ["(A,B);", "A,B;"], "Failed to parse newick at index 1: "),
]


@pytest.mark.parametrize("what, trees, message", SNAPSHOT_FAILURES, ids=[f[0] for f in SNAPSHOT_FAILURES])
def test_tree_set_failures(what, trees, message):
    counter = kestrilune.ProgressCounter()
    with pytest.raises(ValueError) as info:
        run(rf, trees, progress=counter)
    text = str(info.value)
    assert text.startswith(message) if message.endswith(": ") else text == message
    assert counter.total() == 0


def test_unnamed_leaf_missing_from_the_map():
    # Label 9 is missing from the map: the leaf becomes unnamed in every tree, which is
    # allowed as long as each tree has exactly one such leaf.
    translate = {"1": "A", "2": "B", "3": "C"}
    trees = ["((1,2),(3,9));", "((1,3),(2,9));", "((1,2),(3,8));"]
    _, matrix = run(rf, trees, translate=translate)
    assert u32_matrix(matrix) == [[0, 2, 0], [2, 0, 2], [0, 2, 0]]


def test_the_lowest_failing_tree_is_reported():
    good = "(A,B,(C,D));"
    trees = [good] * 50 + ["(A,B,(C,E));"] + [good] * 100 + ["(((;"] * 100
    messages = set()
    for _ in range(5):
        with pytest.raises(ValueError) as info:
            run(rf, trees)
        messages.add(str(info.value))
    assert messages == {"Tree 50 has a different leaf set than tree 0. All trees must share the same taxa."}


def test_success_and_failure_paths_do_not_leak():
    import gc
    import resource
    import sys

    trees = ["((A:1,B:2):1,(C:1,D:1):2);", "((A:1,C:2):1,(B:1,D:1):2);", "(A,(B,(C,D)));"]
    names = ["a", "b", "c"]
    functions = [getattr(kestrilune, n) for n in kestrilune.__all__ if n.startswith("pairwise")]

    def once():
        for fn in functions:
            fn(names, iter(trees), [{}], [0, 0, 0], progress=kestrilune.ProgressCounter())
            with pytest.raises(ValueError):
                fn(names, iter(trees[:2] + ["((A,B"]), [{}], [0, 0, 0])
            with pytest.raises(TypeError):
                fn(names, iter([trees[0], 5]), [{}], [0, 0, 0])

    for _ in range(50):
        once()
    gc.collect()
    objects = len(gc.get_objects())
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for _ in range(500):
        once()
    gc.collect()
    assert len(gc.get_objects()) - objects < 50
    if not SANITIZER_PRELOADED:  # freed memory waits in the sanitizer's quarantine
        assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss < 2048  # KiB
    assert sys.getrefcount(names) == sys.getrefcount(trees) == 2


def test_texts_read_in_place_or_copied_give_the_same_and_are_let_go():
    # ASCII texts are parsed where the str holds them, others from a copy; fresh strings
    # from a generator live only as long as the call holds them.
    import sys

    ascii_trees = ["((A:1,B:2):1,(C:1,D:1):2);", "((A:1,C:2):1,(B:1,D:1):2);", "(A,(B,(C,D)));"]
    mixed = [ascii_trees[0], ascii_trees[1].replace("A", "\u00c5"), ascii_trees[2]]
    maps = [{"A": "A", "B": "B", "C": "C", "D": "D"}, {"\u00c5": "A", "B": "B", "C": "C", "D": "D"}]
    names = ["a", "b", "c"]
    for fn in (rf, kestrilune.pairwise_kf_with_snapshots_from_newick_iter):
        reference = fn(names, iter(ascii_trees), maps, [0, 0, 0])
        refs = [sys.getrefcount(t) for t in mixed]
        got = fn(names, iter(mixed), maps, [0, 1, 0])
        assert [sys.getrefcount(t) for t in mixed] == refs
        assert got[1] == reference[1]
        fresh = fn(names, (t[:-1] + ";" for t in ascii_trees), maps, [0, 0, 0])
        assert fresh[1] == reference[1]
        with pytest.raises(ValueError, match="Tree 1 has a different leaf set"):
            fn(names, iter(mixed), maps, [0, 0, 0])
        assert [sys.getrefcount(t) for t in mixed] == refs

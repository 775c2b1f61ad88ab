"""Argument binding, conversion and validation: the checks that run before any tree is read."""

import re

import numpy as np
import pytest

import kestrilune

FUNCTIONS = [getattr(kestrilune, name) for name in kestrilune.__all__ if name.startswith("pairwise")]
TREES = ["((A,B),(C,D));", "((A,C),(B,D));"]


class TrackingIterator:
    """An iterator that records whether anything was read from it."""

    def __init__(self, items):
        self.items = list(items)
        self.advanced = False

    def __iter__(self):
        return self

    def __next__(self):
        self.advanced = True
        if not self.items:
            raise StopIteration
        return self.items.pop(0)


def fresh_counter():
    counter = kestrilune.ProgressCounter()
    kestrilune.pairwise_rf_from_newick_iter(["a", "b"], iter(TREES), [{}], [0, 0], progress=counter)
    assert (counter.value(), counter.total()) == (1, 1)
    return counter


def good_args():
    return dict(names=["a", "b"], newick_iter=TrackingIterator(TREES), translate_maps=[{}],
                map_indices=[0, 0])


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadSequence:
    """Passes the sequence test but fails while being iterated."""

    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise TypeError("inner failure")


# (description, overrides, exception, message pattern)
FAILURES = [
    ("names is a str", dict(names="ab"), TypeError, r"argument 'names': 'str' object cannot be taken as a sequence"),
    ("names is a dict", dict(names={"a": 1}), TypeError, r"argument 'names': 'dict' object cannot be taken as a sequence"),
    ("names is a generator", dict(names=(n for n in "ab")), TypeError, r"argument 'names'.*sequence"),
    ("names item not str", dict(names=["a", 3]), TypeError, r"argument 'names': .*'int'"),
    ("names item fails", dict(names=BadSequence()), TypeError, r"argument 'names': inner failure"),
    ("newick_iter is a list", dict(newick_iter=list(TREES)), TypeError, r"argument 'newick_iter': 'list' object cannot be converted to 'Iterator'"),
    ("translate_maps is a str", dict(translate_maps="x"), TypeError, r"argument 'translate_maps': 'str' object"),
    ("translate_maps item not dict", dict(translate_maps=[[("1", "A")]]), TypeError, r"argument 'translate_maps': .*'list'"),
    ("translate map key not str", dict(translate_maps=[{1: "A"}]), TypeError, r"argument 'translate_maps': .*key.*'int'"),
    ("translate map value not str", dict(translate_maps=[{"1": 2.0}]), TypeError, r"argument 'translate_maps': .*value.*'float'"),
    ("map_indices is a str", dict(map_indices="00"), TypeError, r"argument 'map_indices': 'str' object"),
    ("map_indices item a float", dict(map_indices=[0, 1.0]), TypeError, r"argument 'map_indices': 'float' object cannot be interpreted as an integer"),
    ("map_indices item a str", dict(map_indices=[0, "1"]), TypeError, r"argument 'map_indices'"),
    ("map_indices negative", dict(map_indices=[0, -1]), OverflowError, r"negative"),
    ("map_indices 2**64", dict(map_indices=[0, 2**64]), OverflowError, r"too big"),
    ("rooted an int", dict(rooted=1), TypeError, r"argument 'rooted': expected bool, got 'int'"),
    ("rooted None", dict(rooted=None), TypeError, r"argument 'rooted': expected bool, got 'NoneType'"),
    ("rooted numpy array", dict(rooted=np.array([True])), TypeError, r"argument 'rooted'"),
    ("progress an int", dict(progress=3), TypeError, r"argument 'progress': expected ProgressCounter or None, got 'int'"),
    ("one name", dict(names=["a"], map_indices=[0]), ValueError, r"^Need at least 2 trees to compute pairwise distances$"),
    ("one name, lengths differ too", dict(names=["a"], map_indices=[0, 0, 0]), ValueError, r"^Need at least 2 trees to compute pairwise distances$"),
    ("lengths differ", dict(names=["a", "b", "c"]), ValueError, r"^names length \(3\) must equal map_indices length \(2\)$"),
    ("index out of range", dict(map_indices=[0, 5], translate_maps=[{}, {}]), ValueError, r"^map_indices\[1\] = 5 is out of bounds \(only 2 translate maps provided\)$"),
    ("first bad index reported", dict(map_indices=[7, 9]), ValueError, r"^map_indices\[0\] = 7 is out of bounds \(only 1 translate maps provided\)$"),
    ("no translate maps", dict(translate_maps=[]), ValueError, r"^map_indices\[0\] = 0 is out of bounds \(only 0 translate maps provided\)$"),
]


@pytest.mark.parametrize("fn", FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("what, overrides, exc, pattern", FAILURES, ids=[f[0] for f in FAILURES])
def test_failure_leaves_iterator_and_counter_alone(fn, what, overrides, exc, pattern):
    counter = fresh_counter()
    args = good_args()
    args["progress"] = counter
    args.update(overrides)
    iterator = args["newick_iter"]
    with pytest.raises(exc, match=pattern):
        fn(**args)
    if isinstance(iterator, TrackingIterator):
        assert not iterator.advanced
    assert (counter.value(), counter.total()) == (1, 1)


def test_type_error_keeps_the_cause():
    class Failing:
        def __index__(self):
            try:
                raise KeyError("root cause")
            except KeyError as error:
                raise TypeError("no index") from error

    with pytest.raises(TypeError, match="argument 'map_indices': no index") as info:
        kestrilune.pairwise_rf_from_newick_iter(["a", "b"], iter(TREES), [{}], [0, Failing()])
    assert isinstance(info.value.__cause__, KeyError)


def test_non_type_errors_pass_unchanged():
    with pytest.raises(UnicodeEncodeError):
        kestrilune.pairwise_rf_from_newick_iter(["a", "\ud800"], iter(TREES), [{}], [0, 0])

    class Exploding:
        def __index__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="boom"):
        kestrilune.pairwise_rf_from_newick_iter(["a", "b"], iter(TREES), [{}], [0, Exploding()])


def test_conversion_stops_at_the_first_bad_argument():
    # Both names and rooted are wrong: names is examined first.
    with pytest.raises(TypeError, match="argument 'names'"):
        kestrilune.pairwise_rf_from_newick_iter("ab", [], [{}], [0, 0], rooted=None)
    with pytest.raises(TypeError, match="argument 'newick_iter'"):
        kestrilune.pairwise_rf_from_newick_iter(["a", "b"], [], "x", [0, 0])


BINDING = [
    ("too many positional", (["a", "b"], iter(TREES), [{}], [0, 0], False, None, 1), {}, r"takes at most 6 positional arguments \(7 given\)"),
    ("missing required", (["a", "b"], iter(TREES), [{}]), {}, r"missing required argument 'map_indices' \(pos 4\)"),
    ("unknown keyword", (["a", "b"], iter(TREES), [{}], [0, 0]), {"root": True}, r"'root' is an invalid keyword argument for pairwise_rf_from_newick_iter\(\)"),
    ("keyword repeats positional", (["a", "b"], iter(TREES), [{}], [0, 0]), {"names": ["a"]}, r"given by name \('names'\) and position \(1\)"),
]


@pytest.mark.parametrize("what, args, kwargs, pattern", BINDING, ids=[b[0] for b in BINDING])
def test_binding_errors(what, args, kwargs, pattern):
    with pytest.raises(TypeError, match=pattern):
        kestrilune.pairwise_rf_from_newick_iter(*args, **kwargs)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), dict(progress=None, rooted=False, map_indices=(0, 0), translate_maps=[{}],
                  newick_iter=iter(TREES), names=("a", "b"))),
        ((["a", "b"], iter(TREES), [{}, {}], range(2), False, None), {}),
        ((["a", "b"], iter(TREES), ({}, {}), [True, IndexLike(0)]), dict(rooted=np.bool_(False))),
        ((["a", "b"], iter(TREES), [{}], np.array([0, 0])), {}),
    ],
    ids=["all keywords", "all positional", "tuple, range, bool and __index__ items", "numpy indices"],
)
def test_accepted_argument_forms(args, kwargs):
    names, matrix = kestrilune.pairwise_rf_from_newick_iter(*args, **kwargs)
    assert names == ["a", "b"]
    assert len(matrix) == 16


def test_rooted_numpy_bool_is_honoured():
    trees = ["((A,B),C,D);", "(A,(B,(C,D)));"]
    expect_unrooted = kestrilune.pairwise_rf_from_newick_iter(["a", "b"], iter(trees), [{}], [0, 0])
    expect_rooted = kestrilune.pairwise_rf_from_newick_iter(["a", "b"], iter(trees), [{}], [0, 0], True)
    assert expect_unrooted != expect_rooted
    assert kestrilune.pairwise_rf_from_newick_iter(
        ["a", "b"], iter(trees), [{}], [0, 0], rooted=np.bool_(True)) == expect_rooted


def test_unused_translate_maps_are_allowed():
    _, matrix = kestrilune.pairwise_rf_from_newick_iter(
        ["a", "b"], iter(TREES), [{}, {"1": "x"}, {}], [0, 0])
    assert matrix[4:8] == (2).to_bytes(4, "little")


def test_failures_do_not_leak():
    import gc
    names = ["a", "b"]
    maps = [{"1": "A"}]
    before = [len(gc.get_objects())]
    for _ in range(3):
        for _ in range(200):
            for bad in (dict(rooted=1), dict(map_indices=[0, -1]), dict(map_indices=[0, 9])):
                args = dict(names=names, newick_iter=iter(TREES), translate_maps=maps, map_indices=[0, 0])
                args.update(bad)
                with pytest.raises((TypeError, OverflowError, ValueError)):
                    kestrilune.pairwise_rf_from_newick_iter(**args)
        gc.collect()
        before.append(len(gc.get_objects()))
    assert before[-1] - before[1] < 50
    import sys
    assert sys.getrefcount(names) < 10 and sys.getrefcount(maps) < 10

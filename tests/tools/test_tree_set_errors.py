"""Both bindings read newick_iter with the one reader of the core: the same errors, and
their ValueErrors carry the kind and the tree at fault."""

import kestrilune
import pytest

from kestrilune_tools.table.engine import SplitTable, TreeSetError

TREES = ["((A,B),(C,D));", "((A,C),(B,D));", "((A,D),(B,C));", "((A,B),(C,D));"]


def module_rf(names, it):
    return kestrilune.pairwise_rf_from_newick_iter(names, it, [{}], [0] * len(names))


def engine_table(names, it):
    return SplitTable(names, it, [{}], [0] * len(names))


def raises_on_third_step():
    yield TREES[0]
    yield TREES[1]
    raise KeyError("third")


# (case, names, items, exception type, message, tree index)
CASES = [
    ("fewer trees than names", 4, lambda: iter(TREES[:3]), ValueError,
     "newick_iter yielded 3 trees for 4 names", None),
    ("an item that is not a str", 3, lambda: iter([TREES[0], 7, TREES[1]]), TypeError,
     "newick_iter must yield str, got 'int'", None),
    ("the iterator raises", 3, raises_on_third_step, KeyError, "'third'", None),
    ("different leaf sets at tree 2", 3,
     lambda: iter(TREES[:2] + ["((A,B),(C,E));"]), ValueError,
     "Tree 2 has a different leaf set than tree 0. All trees must share the same taxa.", 2),
    ("a parse error at tree 1", 2, lambda: iter([TREES[0], "((A,B),(C,D);"]), ValueError,
     "Failed to parse newick at index 1: Missing a closing bracket.", 1),
]


@pytest.mark.parametrize("case, n, items, kind, message, tree_index", CASES,
                         ids=[c[0] for c in CASES])
def test_both_bindings_refuse_alike(case, n, items, kind, message, tree_index):
    names = [f"t{i}" for i in range(n)]
    caught = []
    for call in (module_rf, engine_table):
        it = items()
        with pytest.raises(kind) as info:
            call(names, it)
        assert type(info.value) is kind or type(info.value) is TreeSetError
        assert str(info.value) == message
        caught.append(info.value)
    from_module, from_engine = caught
    assert type(from_module) is kind  # the module raises a plain ValueError
    if kind is ValueError:
        assert isinstance(from_engine, TreeSetError)
        assert from_module.tree_index == from_engine.tree_index == tree_index
        assert from_module.kind == from_engine.kind
    else:
        assert type(from_engine) is kind

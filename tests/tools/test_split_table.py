"""The native split table and the SplitData built on it, against the module's own exports.

The oracle is the way SplitData was first made: the module's snapshot variants, whose
presence, branch-length and clade bytes hold the same splits as dense n x n_splits tables.
"""

import pickle
import re

import numpy as np
import pytest

import kestrilune
from engine_data import FILES
from kestrilune_tools import read_trees
from kestrilune_tools._engine import SplitTable
from kestrilune_tools.arrays import branch_lengths, presence, splits
from kestrilune_tools.table.splits import from_table, split_data



def oracle(ts, rooted):
    """(leaf_names, membership, indptr, ids, lengths) from the module's dense exports."""
    args = (ts.names, ts.newicks(), ts.translate_maps, ts.map_indices)
    res = kestrilune.pairwise_rf_with_snapshots_from_newick_iter(*args, rooted=rooted)
    present, _ = presence(res)
    member, leaf_names = splits(res)
    rows, cols = np.nonzero(present)
    indptr = np.zeros(present.shape[0] + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=present.shape[0]), out=indptr[1:])
    res_kf = kestrilune.pairwise_kf_with_snapshots_from_newick_iter(
        ts.names, ts.newicks(), ts.translate_maps, ts.map_indices, rooted=rooted)
    table, _ = branch_lengths(res_kf)
    return leaf_names, member, indptr, cols.astype(np.uint32), table[rows, cols]


def brute_parents(sd):
    """Smallest strict superset within the same tree, by comparing every pair of splits."""
    out = np.empty(len(sd.ids), dtype=np.int32)
    for t in range(sd.n_trees):
        ids = sd.tree_splits(t)
        m = sd.membership[ids]
        sizes = m.sum(axis=1)
        for k in range(len(ids)):
            sup = [j for j in range(len(ids))
                   if sizes[j] > sizes[k] and not (m[k] & ~m[j]).any()]
            out[sd.indptr[t] + k] = ids[min(sup, key=lambda j: sizes[j])] if sup else -1
    return out


@pytest.fixture(scope="module", params=sorted(FILES))
def treeset(request):
    return read_trees([str(p) for p in FILES[request.param]])


@pytest.mark.parametrize("rooted", [False, True], ids=["unrooted", "rooted"])
def test_split_data_equals_the_module_exports(treeset, rooted):
    sd = split_data(treeset, rooted=rooted)
    leaf_names, member, indptr, ids, lengths = oracle(treeset, rooted)
    assert sd.leaf_names == tuple(leaf_names)
    np.testing.assert_array_equal(sd.membership, member)
    np.testing.assert_array_equal(sd.indptr, indptr)
    np.testing.assert_array_equal(sd.ids, ids)
    assert sd.lengths.tobytes() == np.ascontiguousarray(lengths).tobytes()
    np.testing.assert_array_equal(sd.groups, treeset.file_indices)
    assert sd.tree_names == tuple(treeset.names) and sd.rooted == rooted
    assert sd.ids.dtype == np.uint32 and sd.indptr.dtype == np.int64
    assert sd.groups.dtype == np.int32 and sd.parents.dtype == np.int32
    assert sd.counts().sum(axis=1).tolist() == np.bincount(ids, minlength=sd.n_splits).tolist()
    np.testing.assert_array_equal(sd.table.counts(sd.n_groups), sd.counts())
    # A cheap part of the tree set for the quadratic brute force.
    small = split_data(treeset.subset(range(0, len(treeset), max(1, len(treeset) // 40))),
                       rooted=rooted, lengths=False)
    np.testing.assert_array_equal(small.parents, brute_parents(small))
    assert small.lengths is None
    # A range of trees' parents, computed alone (before the whole array exists) or cut
    # from it: the same entries.
    lazy = split_data(treeset.subset(range(0, len(treeset), max(1, len(treeset) // 40))),
                      rooted=rooted, lengths=False, parents=False)
    n = lazy.n_trees
    for t0, t1 in [(0, n), (0, 0), (n // 3, n // 3 + 1), (1, n - 1), (n, n)]:
        whole = small.parents[small.indptr[t0]:small.indptr[t1]]
        assert lazy.parents is None and lazy.parents_of(t0, t1).tolist() == whole.tolist()
        assert small.parents_of(t0, t1).tolist() == whole.tolist()


def _random_newick(rng, leaves):
    nodes = list(leaves)
    while len(nodes) > 1:
        i, j = sorted(rng.choice(len(nodes), 2, replace=False))
        b = nodes.pop(j)
        nodes[i] = f"({nodes[i]}:{rng.random():.3f},{b}:{rng.random():.3f})"
    return nodes[0] + ";"


@pytest.mark.parametrize("n_leaves", [12, 64, 70, 129])
def test_leaf_sets_from_the_packed_words_before_unpacking(tmp_path, n_leaves):
    # Sizes, packed bytes and single rows come from the table's words without the whole
    # bool matrix (one byte a leaf); they must agree with the module's clade bytes across
    # word boundaries.
    rng = np.random.default_rng(n_leaves)
    leaves = [f"t{i}" for i in range(n_leaves)]
    path = tmp_path / "trees.nwk"
    path.write_text("\n".join(_random_newick(rng, leaves) for _ in range(6)) + "\n")
    ts = read_trees([str(path)])
    for rooted in (False, True):
        _, member, _, _, _ = oracle(ts, rooted)
        sd = split_data(ts, rooted=rooted)
        rows = [0, sd.n_splits // 2, sd.n_splits - 1]
        assert sd.split_sizes().tolist() == member.sum(axis=1).tolist()
        np.testing.assert_array_equal(sd.packed(), np.packbits(member, axis=1, bitorder="little"))
        np.testing.assert_array_equal(sd.member_rows(rows), member[rows])
        mask = np.arange(sd.n_splits) % 3 == 1
        np.testing.assert_array_equal(sd.member_rows(mask), member[mask])
        assert "membership" not in sd._cache
        np.testing.assert_array_equal(sd.membership, member)
        np.testing.assert_array_equal(sd.member_rows(rows), member[rows])


def test_parents_rebuild_a_known_topology():
    # Rooted ((A,B),(C,(D,E))): leaves A..E are bits 0..4.
    t = SplitTable(["a", "b"], iter(["((A,B),(C,(D,E)));"] * 2), [{}], [0, 0], rooted=True)
    sets = ["".join("ABCDE"[b] for b in range(5) if w >> b & 1) for w in t.words[:, 0]]
    got = {sets[s]: (sets[p] if p >= 0 else None)
           for s, p in zip(t.ids[:t.indptr[1]], t.parents[:t.indptr[1]])}
    assert got == {"A": "AB", "B": "AB", "AB": None, "C": "CDE", "D": "DE", "E": "DE",
                   "DE": "CDE", "CDE": None}


def test_arrays_are_read_only_views_that_keep_the_table_alive():
    ts = read_trees(str(FILES["beast"][0]))
    t = SplitTable(ts.names, ts.newicks(), ts.translate_maps, ts.map_indices, lengths=True)
    ids, words = t.ids, t.words
    assert not ids.flags.writeable and not words.flags.writeable
    expected = ids.copy()
    del t
    np.testing.assert_array_equal(ids, expected)


def test_pickle_round_trip_and_damaged_bytes():
    ts = read_trees(str(FILES["two_runs"][0]))
    t = SplitTable(ts.names, ts.newicks(), ts.translate_maps, ts.map_indices, rooted=True,
                   lengths=True, groups=[1] * len(ts))
    back = pickle.loads(pickle.dumps(t))
    for attr in ("indptr", "ids", "lengths", "words", "groups", "first_seen", "parents"):
        assert getattr(back, attr).tobytes() == getattr(t, attr).tobytes(), attr
    assert (back.leaf_names, back.tree_names, back.rooted) == (t.leaf_names, t.tree_names, True)
    data = t.to_bytes()
    assert len(data) < 16 * len(t.ids) + 8 * t.words.size + 4096  # no dense part
    for bad in (data[:-1], data[:100], data + b"\0", b"XX" + data[2:],
                data[:8] + b"\x09" + data[9:]):
        with pytest.raises(ValueError, match="split table"):
            SplitTable.from_bytes(bad)
    # Any single-bit flip is refused by the checksum; the version-1 form (the same body
    # without it) still reads.
    # So are changes to two words, here the top bit of each (which cancel in a plain
    # multiplicative hash).
    rng = np.random.default_rng(5)
    words = len(data) // 8
    flips = [[bit] for bit in rng.choice(len(data) * 8, 2000, replace=False)]
    flips += [[64 * a + 63, 64 * b + 63] for a, b in rng.integers(0, words, (200, 2)) if a != b]
    for bits in flips:
        flipped = bytearray(data)
        for bit in bits:
            flipped[bit // 8] ^= 1 << (bit % 8)
        with pytest.raises(ValueError, match="split table"):
            SplitTable.from_bytes(bytes(flipped))
    old = SplitTable.from_bytes(b"KSTABLE1" + data[8:-8])
    assert old.to_bytes() == data and pickle.loads(pickle.dumps(old)).to_bytes() == data


BAD_SETS = [
    ["(A,B,C);"],
    ["(A,B,C);", "(A,B,D);"],
    ["(A,B,C);", "(A,B,C"],
    ["(A,A,C);", "(A,B,C);"],
    ["(A,B,C);", "(A,B,C);", "((A,B),C,D);"],
    ["(A,B,C);", "(A,B,C);", "(A,B),C;", "(A,B;"],
]


@pytest.mark.parametrize("texts", BAD_SETS, ids=range(len(BAD_SETS)))
def test_bad_trees_give_the_module_messages(texts):
    names = [f"t{i}" for i in range(max(2, len(texts)))]
    with pytest.raises(ValueError) as expected:
        kestrilune.pairwise_rf_from_newick_iter(names, iter(texts), [{}], [0] * len(names))
    with pytest.raises(ValueError, match=re.escape(str(expected.value)) + "$"):
        SplitTable(names, iter(texts), [{}], [0] * len(names))


@pytest.mark.parametrize("call, message", [
    (lambda: SplitTable(["a"], iter([]), [{}], [0]), "Need at least 2 trees"),
    (lambda: SplitTable(["a", "b"], iter([]), [{}], [0]), "must equal map_indices length"),
    (lambda: SplitTable(["a", "b"], iter([]), [{}], [0, 1]), "is out of bounds"),
    (lambda: SplitTable(["a", "b"], iter(["(A,B);", "(A,B);"]), [{}], [0, 0], groups=[0]),
     "one per name"),
    (lambda: from_table(SplitTable(["a", "b"], iter(["(A,B);", "(A,B);"]), [{}], [0, 0],
                                   groups=[0, 2**31 - 1])), "group numbers run to 2147483647"),
])
def test_argument_checks(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_iterator_errors_pass_unchanged():
    def gen():
        yield "(A,B,C);"
        raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        SplitTable(["a", "b"], gen(), [{}], [0, 0])
    with pytest.raises(TypeError, match="newick_iter must yield str, got 'int'"):
        SplitTable(["a", "b"], iter(["(A,B,C);", 3]), [{}], [0, 0])
    with pytest.raises(TypeError, match="ProgressCounter"):
        SplitTable(["a", "b"], iter(["(A,B,C);"] * 2), [{}], [0, 0], progress=object())


def test_streaming_in_chunks_keeps_ids_indices_and_counts():
    # More trees than one chunk holds: ids, error indices and progress run across chunks.
    base = read_trees(str(FILES["primates"][0]))
    texts = list(base.newicks()) * 3
    n = len(texts)
    names = [f"t{i}" for i in range(n)]
    maps, idx = base.translate_maps, [base.map_indices[0]] * n
    counter = kestrilune.ProgressCounter()
    t = SplitTable(names, iter(texts), maps, idx, progress=counter)
    res = kestrilune.pairwise_rf_with_snapshots_from_newick_iter(names, iter(texts), maps, idx)
    present, _ = presence(res)
    assert t.n_trees == n and counter.value() == counter.total() == n
    np.testing.assert_array_equal(t.ids, np.nonzero(present)[1])
    bad = texts[:n - 10] + ["(1,2"] + texts[n - 9:]
    with pytest.raises(ValueError, match=f"^Failed to parse newick at index {n - 10}: "):
        SplitTable(names, iter(bad), maps, idx)


def test_fewer_or_more_texts_than_names():
    texts = ["(A,B,(C,D));", "((A,B),C,D);", "((A,C),B,D);"]
    with pytest.raises(ValueError, match="^newick_iter yielded 3 trees for 4 names$"):
        SplitTable(["a", "b", "c", "d"], iter(texts), [{}], [0] * 4)
    t = SplitTable(["a", "b"], iter(texts), [{}], [0] * 2)
    assert t.n_trees == 2


def test_type_stub_names_what_the_extension_defines():
    # Regenerate with: python -m nanobind.stubgen -q -P -m kestrilune_tools._engine
    #                  -o python/kestrilune_tools/_engine.pyi
    import ast
    from pathlib import Path

    from kestrilune_tools import _engine

    stub = Path(_engine.__file__).parent / "_engine.pyi"
    tree = ast.parse(stub.read_text())
    defined = {node.name: node for node in tree.body
               if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    assert sorted(defined) == sorted(n for n in dir(_engine) if not n.startswith("__"))
    for name, node in defined.items():
        if isinstance(node, ast.ClassDef):
            members = {f.name for f in node.body if isinstance(f, ast.FunctionDef)}
            wanted = {m for m in vars(getattr(_engine, name)) if not m.startswith("__")}
            assert wanted <= members, (name, wanted - members)


def test_mutated_byte_forms_are_refused_or_load_whole():
    # A short run of the stress script (scripts/stress_bytes.py runs it for longer).
    import subprocess
    import sys
    from pathlib import Path

    script = Path(__file__).parents[2] / "scripts" / "stress_bytes.py"
    done = subprocess.run([sys.executable, str(script), "--seconds", "3", "--seed", "2"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "findings 0" in done.stdout

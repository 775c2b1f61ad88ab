"""Reading tree files into the arguments of the pairwise functions (kestrilune_tools.reading)."""

import gzip
import re
import shutil
from pathlib import Path

import pytest

from kestrilune_tools.reading import text
from kestrilune_tools.reading import TreeFileError, TreeFileWarning, parse_burnin, read_trees

DATA = Path(__file__).parents[1] / "data"
EXAMPLES = Path(__file__).parents[2] / "examples"

QUIRKS_MAP = {
    "1": "Homo sapiens",
    "2": "O'Brien's gibbon",
    "3": "Pan|troglodytes/AB123",
    "4": "Gorilla(gorilla)",
    "5": "Pongo",
    "6": "Hylobates_lar",
}


def _write(tmp_path, text, name="trees.nex"):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def _translated(ts):
    """Every tree with its leaf numbers replaced through its own translate map."""
    out = []
    for newick, map_i in zip(ts.newicks(), ts.map_indices):
        tmap = ts.translate_maps[map_i]
        out.append(re.sub(r"(?<=[(,])(\w+)", lambda m: tmap.get(m.group(1), m.group(1)),
                          newick))
    return out


# ----------------------------------------------------------------------------- formats


def test_nexus_quirks_give_names_maps_lines_and_verbatim_tree_text():
    ts = read_trees(DATA / "quirks.nex")
    assert ts.names == ["one", "two", "three; quoted", "four"]
    assert ts.translate_maps == [QUIRKS_MAP]
    assert ts.map_indices == [0, 0, 0, 0]
    assert ts.lines == [18, 19, 22, 24]
    texts = list(ts.newicks())
    assert texts[0] == "[&U] ((1:0.1,2:0.2):0.05,(3:0.3,4:0.4):0.06,(5:0.5,6:0.6):0.07);"
    # Annotations stay for the module to strip; line breaks inside a tree are kept.
    assert texts[1] == ("[&R] ((1:0.1,3:0.2):0.05,(2:0.3,4:0.4):0.06,\n        (5:0.5,\n"
                        "         6:0.6):0.07);")
    assert texts[2].startswith("[&U] ((1[&rate=1.0]:0.1,")
    assert texts[3] == "((1,2),(3,4),(5,6));"
    assert ts.files[0].format == "nexus" and not ts.files[0].compressed


@pytest.mark.parametrize("chunk", [1, 2, 3, 5, 8, 64])
def test_statement_scanner_gives_the_same_result_at_every_chunk_size(monkeypatch, chunk):
    expected = read_trees(DATA / "quirks.nex")
    monkeypatch.setattr(text, "_CHUNK", chunk)
    got = read_trees(DATA / "quirks.nex")
    assert (got.names, got.translate_maps, got.lines) == (
        expected.names, expected.translate_maps, expected.lines)
    assert list(got.newicks()) == list(expected.newicks())


def test_statement_ends_found_by_find_equal_the_regex_scan(monkeypatch):
    """The quick way to a statement's end (flat comments skipped by find) cuts every text
    where the regex alone does: random bytes of quotes, brackets, ';' and lines."""
    import io
    import random

    def cut(data, chunk, plain_end):
        monkeypatch.setattr(text, "_CHUNK", chunk)
        monkeypatch.setattr(text, "_plain_end", plain_end)
        try:
            return [(s.offset, s.line, s.data, s.terminated, s.unclosed) for s in
                    text._statements(io.BufferedReader(io.BytesIO(data)), "x")]
        except text.TreeFileError as exc:
            return str(exc)

    quick, rng = text._plain_end, random.Random(5)
    for _ in range(3000):
        data = bytes(rng.choice(b"ab;;[[]]'' \n") for _ in range(rng.randint(0, 60)))
        chunk = rng.choice([1, 2, 3, 8, 1 << 20])
        assert cut(data, chunk, quick) == cut(data, chunk, lambda buf, pos: -1), data


def test_plain_newick_trees_one_line_or_several():
    ts = read_trees(DATA / "plain.nwk")
    assert ts.names == ["tree_1", "tree_2", "tree_3"]
    assert ts.translate_maps == [{}]
    assert ts.lines == [1, 1, 2]
    assert list(ts.newicks()) == [
        "((A:1,B:2):0.5,(C:1,D:1):0.5,E:3);",
        "((A:1,C:2):0.5,(B:1,D:1):0.5,E:3);",
        "[&R] ((A,B),\n  (C,\n   (D,E)));",
    ]
    assert ts.files[0].format == "newick"


def test_nexus_without_translate_keeps_labels():
    ts = read_trees(DATA / "no_translate.nex")
    assert ts.names == ["t1", "t2"]
    assert ts.translate_maps == [{}]
    assert list(ts.newicks()) == ["((A,B),(C,D),E);", "((A,C),(B,D),E);"]


def test_beast_annotation_between_name_and_equals():
    ts = read_trees(DATA / "beast1_ucln_17taxa_head.trees")
    assert ts.names == [f"STATE_{k * 1000}" for k in range(6)]
    assert len(ts.translate_maps[0]) == 17 and ts.translate_maps[0]["17"] == "D4Thai84"
    assert all(t.startswith("[&R] (") and t.endswith(");") for t in ts.newicks())


def test_mrbayes_example_file():
    ts = read_trees(EXAMPLES / "mrbayes_primates_12taxa.t", burnin="25%")
    info = ts.files[0]
    assert (info.n_trees, info.burnin, info.n_after_burnin, info.n_used) == (2001, 500, 1501, 1501)
    assert ts.names[0] == "gen.250000" and ts.names[-1] == "gen.1000000"
    assert ts.lines[0] == 18 + 500
    assert ts.translate_maps[0]["12"] == "Saimiri_sciureus"


def test_two_runs_keep_their_own_numbering(tmp_path):
    ts = read_trees([DATA / "run_a.nex", DATA / "run_b.nex"])
    shared = read_trees(DATA / "run_ab_shared.nex")
    assert ts.names[0] == "run_a.nex:gen.0" and ts.names[3] == "run_b.nex:gen.0"
    assert len(ts.translate_maps) == 2 and ts.map_indices == [0, 0, 0, 1, 1]
    assert ts.file_indices == [0, 0, 0, 1, 1] and ts.sample_indices == [0, 1, 2, 0, 1]
    assert _translated(ts) == _translated(shared)


def test_equal_translate_tables_are_shared_and_equal_base_names_use_paths(tmp_path):
    for run in ("r1", "r2"):
        (tmp_path / run).mkdir()
        shutil.copy(DATA / "run_a.nex", tmp_path / run / "run.t")
    ts = read_trees([tmp_path / "r1" / "run.t", tmp_path / "r2" / "run.t"])
    assert len(ts.translate_maps) == 1 and ts.map_indices == [0] * 6
    assert ts.files[0].label == str(tmp_path / "r1" / "run.t")
    assert ts.names[3] == f"{tmp_path / 'r2' / 'run.t'}:gen.0"


@pytest.mark.parametrize("name", ["quirks.nex.gz", "quirks.t"])
def test_gzip_is_recognised_by_its_magic_bytes(tmp_path, name):
    path = tmp_path / name
    path.write_bytes(gzip.compress((DATA / "quirks.nex").read_bytes()))
    plain = read_trees(DATA / "quirks.nex")
    ts = read_trees(path, burnin=1)
    assert ts.files[0].compressed
    assert ts.names == plain.names[1:] and ts.lines == plain.lines[1:]
    assert list(ts.newicks()) == list(plain.newicks())[1:]


@pytest.mark.parametrize("name", ["plain.nwk", "quirks.nex"])
def test_byte_order_mark_is_skipped(tmp_path, name):
    path = tmp_path / name
    path.write_bytes(b"\xef\xbb\xbf" + (DATA / name).read_bytes())
    plain = read_trees(DATA / name)
    ts = read_trees(path)
    assert (ts.names, ts.lines, ts.translate_maps) == (plain.names, plain.lines,
                                                      plain.translate_maps)
    assert list(ts.newicks()) == list(plain.newicks())


def test_subset_keeps_trees_and_their_files():
    ts = read_trees([DATA / "run_a.nex", DATA / "run_b.nex"])
    sub = ts.subset([0, 2, 4])
    assert sub.names == ["run_a.nex:gen.0", "run_a.nex:gen.200", "run_b.nex:gen.100"]
    assert sub.map_indices == [0, 0, 1] and [f.n_used for f in sub.files] == [2, 1]
    texts = list(ts.newicks())
    assert list(sub.newicks()) == [texts[0], texts[2], texts[4]]
    with pytest.raises(ValueError):
        ts.subset([2, 1])


def test_newicks_gives_a_fresh_iterator_each_time():
    ts = read_trees(DATA / "plain.nwk")
    it = ts.newicks()
    assert iter(it) is it
    next(it)
    assert len(list(ts.newicks())) == 3


def test_several_trees_blocks_each_with_its_own_table(tmp_path):
    path = _write(tmp_path, "#NEXUS\nbegin trees; translate 1 A, 2 B, 3 C, 4 D;\n"
                            "tree a = ((1,2),(3,4));\nend;\n"
                            "begin trees; translate 1 D, 2 C, 3 B, 4 A;\n"
                            "tree b = ((1,2),(3,4));\nend;\n")
    ts = read_trees(path)
    assert ts.map_indices == [0, 1]
    assert ts.translate_maps[1] == {"1": "D", "2": "C", "3": "B", "4": "A"}


# ----------------------------------------------------------------------------- selection


def _ten_trees(tmp_path, name="ten.nwk"):
    return _write(tmp_path, "".join(f"((A,B),(C,D),E{k});\n" for k in range(1, 11)), name)


@pytest.mark.parametrize("burnin, thin, max_trees, expected", [
    (0, 1, None, list(range(1, 11))),
    (3, 1, None, list(range(4, 11))),
    ("3", 1, None, list(range(4, 11))),
    ("30%", 1, None, list(range(4, 11))),
    (0.25, 1, None, list(range(3, 11))),  # a fraction is rounded down
    ("0.29", 1, None, list(range(3, 11))),  # 2.9 trees, exactly, not 2.8999...
    (3, 3, None, [4, 7, 10]),
    (3, 3, 2, [4, 7]),
    (0, 1, 2, [1, 2]),
])
def test_burnin_thin_and_max_trees(tmp_path, burnin, thin, max_trees, expected):
    ts = read_trees(_ten_trees(tmp_path), burnin=burnin, thin=thin, max_trees=max_trees)
    assert ts.names == [f"tree_{k}" for k in expected]
    assert ts.sample_indices == [k - 1 for k in expected]
    assert list(ts.newicks()) == [f"((A,B),(C,D),E{k});" for k in expected]


def test_selection_applies_per_file(tmp_path):
    a = _ten_trees(tmp_path, "a.nwk")
    b = _write(tmp_path, "".join(f"((A,B),(C,D),E{k});\n" for k in range(1, 5)), "b.nwk")
    ts = read_trees([a, b], burnin="50%", max_trees=3)
    assert [(f.n_trees, f.burnin, f.n_used) for f in ts.files] == [(10, 5, 3), (4, 2, 2)]
    assert ts.names == ["a.nwk:tree_6", "a.nwk:tree_7", "a.nwk:tree_8",
                        "b.nwk:tree_3", "b.nwk:tree_4"]


@pytest.mark.parametrize("value, expected", [
    (0, 0), (250, 250), ("250", 250), (0.1, parse_burnin("10%")), ("12.5%", parse_burnin(0.125)),
])
def test_parse_burnin(value, expected):
    assert parse_burnin(value) == expected


@pytest.mark.parametrize("value", [-1, 1.0, 1.5, "100%", "abc", "-5%", True, None])
def test_parse_burnin_refuses(value):
    with pytest.raises(ValueError):
        parse_burnin(value)


@pytest.mark.parametrize("kwargs", [{"thin": 0}, {"max_trees": 0}, {"thin": 1.5}])
def test_bad_selection_options(tmp_path, kwargs):
    with pytest.raises(ValueError):
        read_trees(_ten_trees(tmp_path), **kwargs)


# ----------------------------------------------------------------------------- errors

NEXUS_HEAD = "#NEXUS\nbegin trees;\n"


@pytest.mark.parametrize("text, line, phrase", [
    (NEXUS_HEAD + "tree a = ((1,2),3);\ntree b = ((1,2),\n3)\n", 4, "not terminated by ';'"),
    (NEXUS_HEAD + "translate\n1 A,\n2 ,\n3 C;\ntree a = (1,2,3);\n", 5,
     "translate entry '2' has no taxon name"),
    (NEXUS_HEAD + "translate\n1 A,\n2 Homo sapiens,\n3 C;\ntree a = (1,2,3);\n", 5,
     "blank outside quotes"),
    (NEXUS_HEAD + "translate 1 A,\n2 B,\n2 C;\ntree a = (1,2,3);\n", 5, "lists '2' twice"),
    (NEXUS_HEAD + "translate 1 A,\n2 B,\n3 A;\ntree a = (1,2,3);\n", 5,
     "gives the name 'A' to both '1' and '3'"),
    (NEXUS_HEAD + "tree a = (1,2,3);\ntranslate 1 A, 2 B, 3 C;\n", 4, "translate table after a tree"),
    (NEXUS_HEAD + "tree a (1,2,3);\n", 3, "without '='"),
    (NEXUS_HEAD + "translate 1 A, 2 B, 3 C;\ntree a = [&U] (1:0.1,2[&x=1]:0.2,\n 4:0.3);\n", 4,
     "leaf '4' of tree 'a' is not in the translate table"),
    (NEXUS_HEAD + "tree a = [&U] ;\n", 3, "without a tree"),
    (NEXUS_HEAD + "tree a = (1,2,3);\n[ a comment\nthat never ends;\nend;\n", 4,
     "comment [ is never closed"),
    (NEXUS_HEAD + "tree a = (1,2,3);\ntree 'b = (1,2,3);\nend;\n", 4, "quote ' is never closed"),
    (NEXUS_HEAD + "translate\n1 A,\n2 B", 3, "translate table is not terminated by ';'"),
    ("#NEXUS\nbegin taxa;\nend;\n", None, "no trees found (the NEXUS file has no 'begin trees;'"),
    (NEXUS_HEAD + "end;\n", None, "no trees found"),
    ("", None, "no trees found"),
    ("(A,B,C);\n(A,B,\nC)", 2, "not terminated by ';'"),
    ("(A,B,C);\n\n;\n", 3, "empty tree"),
])
def test_malformed_files_name_file_and_line(tmp_path, text, line, phrase):
    path = _write(tmp_path, text)
    with pytest.raises(TreeFileError) as info:
        read_trees(path, partial_last="error")
    err = info.value
    assert isinstance(err, ValueError)
    assert (err.path, err.line) == (path, line)
    assert phrase in str(err)
    assert str(err).startswith(f"{path}:{line}: " if line else f"{path}: ")


@pytest.mark.parametrize("files, burnin, phrase", [
    (["ten"], 10, "ten.nwk: burn-in of 10 trees leaves none of its 10 trees"),
    (["ten", "one"], 1, "one.nwk: burn-in of 1 tree leaves none of its 1 tree"),
    (["ten"], "95%", "only 1 tree left after burn-in and thinning (ten.nwk: 10 trees, burn-in 9)"),
])
def test_burnin_leaving_too_few_trees(tmp_path, files, burnin, phrase):
    paths = {"ten": _ten_trees(tmp_path), "one": _write(tmp_path, "(A,B,C);\n", "one.nwk")}
    with pytest.raises(TreeFileError, match=re.escape(phrase)):
        read_trees([paths[f] for f in files], burnin=burnin)


@pytest.mark.parametrize("text, kwargs, phrase", [
    ("(A,B,C);\n(A,B,C);\n", dict(max_trees=1),
     "at most 1 tree per file (max_trees) leaves 1 tree in all"),
    ("\n((A,B),", {}, "no trees found (the only tree, line 2, is unfinished"),
])
@pytest.mark.filterwarnings("ignore::kestrilune_tools.reading.TreeFileWarning")
def test_what_leaves_too_few_trees_is_named(tmp_path, text, kwargs, phrase):
    with pytest.raises(TreeFileError, match=re.escape(phrase)):
        read_trees(_write(tmp_path, text), **kwargs)


def test_missing_file_raises_oserror(tmp_path):
    with pytest.raises(FileNotFoundError):
        read_trees(tmp_path / "absent.t")


def test_invalid_utf8_in_a_tree_is_reported_with_its_line(tmp_path):
    path = tmp_path / "bad.nwk"
    path.write_bytes(b"(A,B,C);\n(A,\n\xff,C);\n")
    ts = read_trees(path)
    with pytest.raises(TreeFileError, match=r"bad.nwk:3: text is not valid UTF-8"):
        list(ts.newicks())


def test_file_changed_between_reading_and_iterating(tmp_path):
    path = _ten_trees(tmp_path)
    ts = read_trees(path)
    Path(path).write_text("(A,B,C);\n")
    with pytest.raises(TreeFileError, match="file changed while it was being read"):
        list(ts.newicks())


# ----------------------------------------------------------------------------- odd files

RUNNING = NEXUS_HEAD + "tree gen.0 = [&U] ((1,2),3);\ntree gen.10 = [&U] ((1,3),2);\n"


@pytest.mark.parametrize("tail, line", [
    ("tree gen.20 = [&U] ((1,2", 5),  # a run still being written
    ("tree gen.20 = [&U] ((1[&rate=0.7", 5),  # cut inside an annotation
    ("   tree gen.20", 5),
], ids=["in-tree", "in-annotation", "in-name"])
def test_unfinished_last_tree_is_left_out_with_a_warning(tmp_path, tail, line):
    path = _write(tmp_path, RUNNING + tail)
    with pytest.warns(TreeFileWarning, match=rf"trees.nex:{line}: the last tree is "
                                                   "unfinished"):
        ts = read_trees(path)
    assert ts.names == ["gen.0", "gen.10"] and ts.files[0].partial_last_line == line
    with pytest.raises(TreeFileError, match=f":{line}: tree is not terminated"):
        read_trees(path, partial_last="error")


def _gz(tmp_path, data: bytes, cut: int = 0) -> str:
    path = tmp_path / "run.t.gz"
    packed = gzip.compress(data)
    path.write_bytes(packed[: len(packed) - cut])
    return str(path)


@pytest.mark.parametrize("make, phrase", [
    (lambda p: _gz(p, (EXAMPLES / "mrbayes_primates_12taxa.t").read_bytes(), cut=5000),
     "the gzip data ends early (file truncated, or still being written)"),
    (lambda p: _write_bytes(p, b"\x1f\x8b\x08\x00" + b"\x00" * 6 + b"not deflate data"),
     "damaged gzip data (Error -3 while decompressing data: invalid block type)"),
    (lambda p: _write_bytes(p, (RUNNING + "end;\n").encode("utf-16")),
     "text is not UTF-8: it looks like UTF-16 (save the file as UTF-8)"),
    (lambda p: _write_bytes(p, (RUNNING + "end;\n").encode("utf-16-be")),
     "text is not UTF-8: it looks like UTF-16 (save the file as UTF-8)"),
    (lambda p: _write_bytes(p, b"(A,B,C);\x00\x01\x02"), "not a text file (it holds NUL bytes)"),
    (lambda p: _write(p, "Dear reviewer,\nwe thank you for 'the' [comments].\n"),
     "no trees found: not NEXUS, Newick, nor a tab-separated tree log such as RevBayes "
     "writes (the file starts with 'Dear reviewer,')"),
], ids=["truncated-gzip", "damaged-gzip", "utf16-bom", "utf16be", "binary", "letter"])
def test_unreadable_files_are_named(tmp_path, make, phrase):
    path = make(tmp_path)
    with pytest.raises(TreeFileError) as info:
        read_trees(path)
    assert str(info.value) == f"{path}: {phrase}"


def _write_bytes(tmp_path, data: bytes, name: str = "odd.t") -> str:
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def test_a_statement_without_end_is_refused_before_it_fills_memory(tmp_path, monkeypatch):
    monkeypatch.setattr(text, "_CHUNK", 1000)
    monkeypatch.setattr(text, "MAX_STATEMENT_BYTES", 10_000)
    path = _write(tmp_path, "(A,B,(C," + "D" * 50_000 + "));\n")
    with pytest.raises(TreeFileError, match=r"trees.nex:1: no ';' in 1\d,\d{3} bytes: not a "):
        read_trees(path)


def test_scan_stops_once_a_count_burnin_and_max_trees_are_met(tmp_path):
    # Everything after the trees needed would fail to read.
    path = _write(tmp_path, "".join(f"((A,B),(C,D),E);\n" for _ in range(8)) + "'broken\n")
    ts = read_trees(path, burnin=2, thin=2, max_trees=3)
    assert ts.sample_indices == [2, 4, 6]
    assert not ts.files[0].complete and ts.files[0].n_trees == 7
    with pytest.raises(TreeFileError, match="quote ' is never closed"):
        read_trees(path, burnin="10%", max_trees=3)  # a fraction needs every tree


def test_marks_lengths_all_trees_and_generations(tmp_path):
    a = _write(tmp_path, NEXUS_HEAD + "tree gen.0 = [&U] ((1:1,2:nan),3:1);\n"
               "tree gen.500 = [&U] ((1:1,3:1),2:1);\ntree gen.1000 = [&U] ((1,3),2:-INF);\n",
               "a.t")
    b = _write(tmp_path, "[&R] ((A:1,B:[&rate=1]inf),C);\n((A,C),B);\n((A,B),C);\n", "b.nwk")
    ts = read_trees([a, b], burnin=1)
    assert [f.rooting for f in ts.files] == ["U", "R"]
    assert [f.nonfinite_lines for f in ts.files] == [(5,), ()]  # used trees only
    every = ts.all_trees()
    assert every.names == ["a.t:gen.0", "a.t:gen.500", "a.t:gen.1000", "b.nwk:tree_1",
                           "b.nwk:tree_2", "b.nwk:tree_3"]
    assert every.sample_indices == [0, 1, 2, 0, 1, 2]
    assert len(list(every.newicks())) == 6
    assert read_trees(a).generations() == [0, 500, 1000]
    assert ts.generations() is None  # Newick trees carry no generation

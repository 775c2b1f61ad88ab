"""Tree files read once into a split table: the same table as a scan followed by a second
reading of the texts, whatever the burn-in, thinning and chunking; errors located; and the
commands that use it never open a file for its texts again."""

import numpy as np
import pytest

from conftest import SANITIZER_PRELOADED
from engine_data import DATA, FILES
from kestrilune_tools import _engine, read_trees
from kestrilune_tools.console import cli
from kestrilune_tools.reading import held, treeset
from kestrilune_tools.table import load
from kestrilune_tools.table.engine import SplitTable
from kestrilune_tools.table.load import read_table

CYNMIX = [str(DATA / "converge" / "cynmix3" / f"cynmix3.run{i}.t.gz") for i in (1, 2)]


@pytest.mark.parametrize("files", [[str(p) for p in FILES["two_runs"]], FILES["beast"], CYNMIX],
                         ids=["two_runs", "beast", "gzip"])
@pytest.mark.parametrize("burnin, thin, max_trees, chunk", [
    ("25%", 1, None, 4096), (3, 2, None, 7), (0, 1, 5, 1), ("0.1", 3, 4, 2), (1, 1, None, 3)])
def test_one_reading_gives_the_table_of_two(files, burnin, thin, max_trees, chunk, monkeypatch):
    monkeypatch.setattr(load, "_CHUNK_TREES", chunk)
    monkeypatch.setattr(held, "_PLAIN_BYTES", 4000 * chunk)  # some chunks compressed
    monkeypatch.setattr(held, "_PLAIN_SHARE", 1 << 60)
    rooted = files == FILES["beast"]
    ts, table = read_table(files, burnin=burnin, thin=thin, max_trees=max_trees,
                           rooted=rooted, lengths=True, hold_annotated=True)
    again = read_trees(files, burnin=burnin, thin=thin, max_trees=max_trees)
    reference = SplitTable.from_treeset(again, rooted=rooted, lengths=True)
    assert type(table) is SplitTable and ts.names == again.names
    # The texts of annotated trees (BEAST's) are held from the reading: the same texts,
    # also of a subset, without opening the files again; others are read again.
    assert (ts._held is not None) == rooted
    if rooted:
        texts = list(again.newicks())
        picks = list(range(0, len(ts), 3))
        with monkeypatch.context() as m:
            m.setattr(treeset, "_open_binary", None)
            assert list(ts.newicks()) == texts
            assert list(ts.subset(picks).subset([len(picks) - 1]).newicks()) == \
                [texts[picks[-1]]]
    assert table.to_bytes() == reference.to_bytes()
    for metric in ("rf", "kf"):  # cells in the module's summation order too
        assert table.block(metric).tobytes() == reference.block(metric).tobytes()


def _nwk(tmp_path, name, lines):
    path = tmp_path / name
    path.write_text("\n".join(lines) + "\n")
    return str(path)


def test_errors_count_trees_across_chunks_and_name_file_and_line(tmp_path, monkeypatch):
    monkeypatch.setattr(load, "_CHUNK_TREES", 2)
    good = "((A,B),(C,D));"
    a = _nwk(tmp_path, "a.nwk", [good] * 3)
    b = _nwk(tmp_path, "b.nwk", [good, good, "((A,B),(C,E));"])
    with pytest.raises(_engine.TreeSetError) as info:
        read_table([a, b])
    assert (info.value.kind, info.value.tree_index) == ("different_leaf_set", 5)
    assert str(info.value) == (
        f"tree 3 of run 2 ({b} line 3, 'b.nwk:tree_3') lacks D and has E, unlike the first "
        f"tree ({a} line 1, 'a.nwk:tree_1'); every tree must name the same taxa "
        "(--common-taxa prunes them to the taxa all share)")
    # A fractional burn-in is known at the end of the file only: its trees are parsed too.
    c = _nwk(tmp_path, "c.nwk", ["((A,B),(C,D);"] + [good] * 3)
    with pytest.raises(_engine.TreeSetError, match=rf"index 0: .*\(tree 0 is {c} line 1"):
        read_table([c], burnin="25%")
    assert read_table([c], burnin=1)[1].n_trees == 3  # a count skips them unparsed


def test_builder_parts_with_their_own_translate_tables():
    # The second part's table numbers the taxa otherwise, and is made where the first one's
    # was freed: its labels must be its own.
    texts, maps = ["((1,2),(3,4));", "((1,3),(2,4));"], [{"1": "A", "2": "B", "3": "C", "4": "D"},
                                                        {"1": "A", "2": "C", "3": "B", "4": "D"}]
    builder = _engine.TableBuilder()
    for i in range(2):
        builder.add([f"t{i}"], iter([texts[i]]), [dict(maps[i])], [0])
    whole = SplitTable(["t0", "t1"], iter(texts), maps, [0, 1])
    assert builder.finish(SplitTable).to_bytes() == whole.to_bytes()


def test_builder_refuses_reuse_and_too_few_trees():
    builder = _engine.TableBuilder()
    builder.add(["x"], iter(["(A,B,(C,D));"]), [{}], [0])
    with pytest.raises(_engine.TreeSetError, match="Need at least 2 trees"):
        builder.finish(SplitTable)
    builder = _engine.TableBuilder()
    with pytest.raises(_engine.TreeSetError, match="Failed to parse newick at index 0"):
        builder.add(["x", "y"], iter(["(A,B", "(A,B);"]), [{}], [0, 0])
    with pytest.raises(ValueError, match="failed or finished already"):
        builder.add(["z"], iter(["(A,B);"]), [{}], [0])


@pytest.mark.parametrize("argv", [
    ["summarize", *CYNMIX, "--burnin", "25%", "--mcc", "--rooted"],
    ["summarize", *CYNMIX, "--burnin", "25%", "--consensus", "--rooted", "--heights", "mean"],
    ["summarize", *CYNMIX, "--burnin", "25%", "--mcc", "--rooted", "--heights", "keep"],
    ["summarize", *FILES["beast"], "--burnin", "10%", "--mcc", "--heights", "ca"],
    ["summarize", *FILES["beast"], "--consensus", "--heights", "median",
     "--report", "{tmp}/p.html"],
    ["converge", *CYNMIX, "--metric", "kf"]])
def test_commands_read_each_file_once(argv, tmp_path, monkeypatch, capsys):
    def no_second_reading(path):
        raise AssertionError(f"{path} opened again for its trees")

    monkeypatch.setattr(treeset, "_open_binary", no_second_reading)
    argv = [str(a).replace("{tmp}", str(tmp_path)) for a in argv]
    assert cli.main([*argv, "--quiet"]) == 0, capsys.readouterr().err


@pytest.mark.skipif(SANITIZER_PRELOADED, reason="a sanitizer's shadow memory needs more")
def test_the_memory_budget_follows_an_address_space_cap():
    """Held texts and the cluster advice size themselves by the memory the process may use:
    under `ulimit -v` (or a container's limit), that, not the machine's."""
    import subprocess
    import sys

    code = ("import resource; resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30)); "
            "from kestrilune_tools.table.load import machine_memory; print(machine_memory())")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.stdout.strip() == str(3 << 30), done.stderr

import importlib
import inspect
import subprocess
import sys
import textwrap

import pytest

import kestrilune

PARAMS = "(names, newick_iter, translate_maps, map_indices, rooted=False, progress=None)"

REGISTRATION_ORDER = [
    "pairwise_rf_from_newick_iter",
    "pairwise_rf_with_snapshots_from_newick_iter",
    "pairwise_wrf_with_snapshots_from_newick_iter",
    "pairwise_kf_with_snapshots_from_newick_iter",
    "pairwise_wrf_from_newick_iter",
    "pairwise_kf_from_newick_iter",
]
FUNCTIONS = [name for name in REGISTRATION_ORDER if hasattr(kestrilune, name)]


def test_module_docstring_and_all():
    assert kestrilune.__doc__ == "Python module definition"
    assert kestrilune.__all__ == FUNCTIONS + ["ProgressCounter"]
    for name in kestrilune.__all__:
        assert getattr(kestrilune, name) is not None


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("kestrilune")
    try:
        again = importlib.import_module("kestrilune")
        assert again is first
    finally:
        sys.modules["kestrilune"] = first


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_signature(name):
    fn = getattr(kestrilune, name)
    assert fn.__text_signature__ == PARAMS
    signature = inspect.signature(fn)
    assert list(signature.parameters) == [
        "names", "newick_iter", "translate_maps", "map_indices", "rooted", "progress"]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())
    assert signature.parameters["rooted"].default is False
    assert signature.parameters["progress"].default is None
    doc = fn.__doc__
    assert "Args:" in doc and "Returns:" in doc
    assert "ValueError: If fewer than 2 trees, leaf sets differ, or argument lengths mismatch." in doc
    assert "rooted: If True compare clades; if False compare bipartitions (default: False)." in doc


@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "subinterpreter-first"])
def test_subinterpreters_are_refused_and_the_main_interpreter_always_imports(main_first):
    code = textwrap.dedent(
        f"""
        import _xxsubinterpreters as interpreters
        if {main_first}:
            import kestrilune
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import kestrilune")
        except interpreters.RunFailedError as error:
            print("refused:", error)
        else:
            print("imported")
        interpreters.destroy(interp)
        import kestrilune
        print(kestrilune.pairwise_rf_from_newick_iter(
            ["a", "b"], iter(["((A,B),(C,D));"] * 2), [{{}}], [0, 0])[1].hex())
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0].startswith("refused:") and "ImportError" in lines[0]
    assert lines[1] == "00" * 16


def test_type_stub_matches_the_module():
    import ast
    from pathlib import Path

    stub = Path(kestrilune.__file__).parent / "kestrilune-stubs" / "__init__.pyi"
    tree = ast.parse(stub.read_text())
    functions = {f.name: [a.arg for a in f.args.args] for f in tree.body
                 if isinstance(f, ast.FunctionDef)}
    classes = {c.name: {f.name for f in c.body if isinstance(f, ast.FunctionDef)}
               for c in tree.body if isinstance(c, ast.ClassDef)}
    assert sorted(functions) + sorted(classes) == sorted(kestrilune.__all__[:-1]) + [
        "ProgressCounter"]
    for name, params in functions.items():
        assert params == list(inspect.signature(getattr(kestrilune, name)).parameters)
    public = {m for m in dir(kestrilune.ProgressCounter) if not m.startswith("_")}
    assert classes["ProgressCounter"] - {"__init__"} == public

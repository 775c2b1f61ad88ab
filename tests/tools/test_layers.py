"""The package's layers, read from the imports of its source files (lazy ones included).

reading -> table -> analyses -> pictures -> console -> commands: a module imports only from
its own layer or the ones before it; a module of ``commands/`` (one command each) imports
no other module of ``commands/``; every module named in ``cli.COMMANDS`` is there; no
``_private`` name (module or attribute) is imported across folders; no module imports
itself through others.
"""

import ast
from pathlib import Path

import kestrilune_tools
from kestrilune_tools.console.cli import COMMANDS

PACKAGE = Path(kestrilune_tools.__file__).parent
LAYERS = {"reading": 0, "table": 1, "analyses": 2, "pictures": 3, "console": 4,
          "commands": 5}
# Top-level modules: the NumPy views of the module's results sit with the typed results;
# the engine extension is the native half of the split table (CMake installs it beside the
# package's __init__). The package's own __init__ and __main__ re-export from above.
TOP = {"arrays": ("table", 1), "_engine": ("table", 1)}


def _modules():
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = list(path.relative_to(PACKAGE).with_suffix("").parts)
        is_package = parts[-1] == "__init__"
        if is_package:
            parts = parts[:-1]
        yield path, parts, is_package


def _place(parts):
    """(folder, layer) of a module given as its parts under the package; None for the
    package's own __init__ and __main__, which may import anything."""
    if not parts or parts == ["__main__"]:
        return None
    if parts[0] in LAYERS:
        return parts[0], LAYERS[parts[0]]
    return TOP[parts[0]]


def _is_module(parts) -> bool:
    base = PACKAGE.joinpath(*parts)
    return base.with_suffix(".py").exists() or (base / "__init__.py").exists() or \
        (len(parts) == 1 and parts[0] == "_engine")


def _imports(path, parts, is_package):
    """(target module parts, imported name or None) for every import of the package."""
    here = parts if is_package else parts[:-1]
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Import):
            for alias in node.names:
                names = alias.name.split(".")
                if names[0] == "kestrilune_tools":
                    yield names[1:], None
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = here[: len(here) - (node.level - 1)] + \
                    (node.module.split(".") if node.module else [])
            elif node.module and node.module.split(".")[0] == "kestrilune_tools":
                base = node.module.split(".")[1:]
            else:
                continue
            for alias in node.names:
                if _is_module(base + [alias.name]):
                    yield base + [alias.name], None
                else:
                    yield base, alias.name


def test_imports_follow_the_layers():
    wrong = [f"{c.name}: {c.module} is not a module of commands/" for c in COMMANDS
             if c.module.split(".")[1] != "commands"]
    for path, parts, is_package in _modules():
        place = _place(parts)
        if place is None:
            continue
        folder, layer = place
        for target, name in _imports(path, parts, is_package):
            where = f"{'/'.join(parts) or '__init__'} imports {'.'.join(target)}" + \
                (f".{name}" if name else "")
            other = _place(target)
            if other is None:
                if name and name.startswith("__"):  # __version__
                    continue
                wrong.append(f"{where}: the package's __init__ is for its users")
                continue
            other_folder, other_layer = other
            if other_layer > layer:
                wrong.append(f"{where}: a lower layer imports a higher one")
            if folder == other_folder == "commands" and target[:2] != parts[:2]:
                wrong.append(f"{where}: a command imports another command")
            private = [p for p in target[1:] + ([name] if name else []) if p.startswith("_")
                       and not p.startswith("__")]
            if target[:1] == ["_engine"]:
                private.append("_engine")
            if private and other_folder != folder:
                wrong.append(f"{where}: private {private[0]} crosses a folder")
    assert not wrong, "\n".join(wrong)


def test_every_module_has_a_layer():
    # A new top-level module must be given a place here, or moved into a layer's folder.
    for _, parts, _ in _modules():
        assert _place(parts) is not None or parts in ([], ["__main__"]), parts


def test_no_import_circles_between_modules():
    """No module reaches itself through imports (lazy and type-checking ones included);
    a folder's ``__init__``, which gathers its modules for users, is left out."""
    edges = {}
    for path, parts, is_package in _modules():
        if is_package:
            continue
        edges[tuple(parts)] = {tuple(t) for t, _ in _imports(path, parts, is_package)
                               if tuple(t) != tuple(parts)}
    state, circles = {}, []

    def visit(node, trail):
        state[node] = "open"
        for nxt in sorted(edges.get(node, ())):
            if nxt not in edges:  # a package's __init__ or the extension
                continue
            if state.get(nxt) == "open":
                circles.append(" -> ".join(".".join(m) for m in trail[trail.index(nxt):]
                                           + [nxt]))
            elif nxt not in state:
                visit(nxt, trail + [nxt])
        state[node] = "done"

    for node in sorted(edges):
        if node not in state:
            visit(node, [node])
    assert not circles, "\n".join(circles)

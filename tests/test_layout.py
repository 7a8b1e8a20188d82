"""The package's modules import only from below them: no circle, however the
modules are entered."""

import ast
import os
import pathlib
import subprocess
import sys

import pytest

import tavlen

PACKAGE = pathlib.Path(__file__).resolve().parent.parent / "src" / "tavlen"


def room_of(path):
    """A module's room: its dotted name within the package ("economics" for a subpackage's __init__.py)."""
    parts = path.relative_to(PACKAGE).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" and len(parts) > 1 else parts)


def imported_rooms(path, rooms):
    """The rooms a module imports relatively, at any depth ("from ..results import", "from . import demo")."""
    package = list(path.relative_to(PACKAGE).parent.parts)
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and node.level >= 1:
            base = package[: len(package) - (node.level - 1)]
            targets = [base + node.module.split(".")] if node.module else [base + [a.name] for a in node.names]
            for target in targets:
                while target and ".".join(target) not in rooms:
                    target = target[:-1]  # a name imported from a room, or the extension module
                found.update([".".join(target)] if target else [])
    return found - {room_of(path)}


def test_the_package_has_no_import_circle():
    paths = {room_of(path): path for path in PACKAGE.rglob("*.py")}
    graph = {room: imported_rooms(path, paths) for room, path in paths.items()}
    done, path = set(), []

    def visit(room):
        assert room not in path, f"import circle: {' -> '.join(path[path.index(room):] + [room])}"
        if room in done or room not in graph:
            return
        path.append(room)
        for below in sorted(graph[room]):
            visit(below)
        path.pop()
        done.add(room)

    for room in sorted(graph):
        visit(room)
    assert graph["errors"] == set()


# In a fresh interpreter: importing the package loads none of its modules
# (so `python -m tavlen` can start its fork server first); its names and
# submodules load when first used.
FRESH = """
import sys, tavlen
print("numpy" in sys.modules)
print(tavlen.Model.__module__, tavlen.sweep.__module__, tavlen.execution.__name__)
"""


def test_the_package_loads_its_modules_when_first_used():
    env = {**os.environ, "PYTHONPATH": str(PACKAGE.parent)}
    done = subprocess.run([sys.executable, "-c", FRESH], capture_output=True, text=True, env=env, timeout=60)
    assert done.stdout.splitlines() == ["False", "tavlen.model tavlen.sweeps tavlen.execution"], done.stderr
    assert all(getattr(tavlen, name) is not None for name in tavlen.__all__)
    assert set(tavlen.__all__) <= set(dir(tavlen))
    for missing in ("nothing", "__wrapped__", "model.Model"):
        with pytest.raises(AttributeError, match=f"module 'tavlen' has no attribute '{missing}'"):
            getattr(tavlen, missing)

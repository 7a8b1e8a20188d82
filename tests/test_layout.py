"""The package's modules import only from below them: no circle, however the
modules are entered."""

import ast
import os
import pathlib
import subprocess
import sys

import pytest

import tavlen

PACKAGE = pathlib.Path(__file__).resolve().parent.parent / "tavlen"


def imported_rooms(path):
    rooms = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and node.level == 1:
            names = [node.module] if node.module else [alias.name for alias in node.names]
            rooms.update(name.split(".")[0] for name in names)
    return rooms - {"individual"}  # the extension imports nothing of the package


def test_the_package_has_no_import_circle():
    graph = {path.stem: imported_rooms(path) for path in PACKAGE.glob("*.py")}
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

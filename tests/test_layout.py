"""The package's modules import only from below them: no circle, however the
modules are entered."""

import ast
import pathlib

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

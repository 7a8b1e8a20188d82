"""What a model is made of beyond its objects: the code of its processes and
of the functions and classes that this code reaches in the model's own
modules, and the module-level values it reads.

A model's pickle names its classes and holds its processes' attributes, but
not the code of their methods, nor the constants, arrays and helper
functions of the modules they live in. Two things need those: a worker must
simulate the model as the caller holds it (not as its own fresh import of
the module has it), and a checkpoint folder must recognise a changed model.
:func:`inventory` walks the code once and gives both: the model's own
modules, to be pickled by value, and a fingerprint of every function, class
and value, named so that a refusal can say what changed.

Only the model's own modules are walked: code of the standard library, of
installed packages (NumPy among them) and of tavlen is named, not read.
Fingerprints leave out what does not change what a model computes: line
numbers, comments, docstrings, and the name of the module a class was
reached through (a script run as ``__main__`` is the same model as the
same file imported).
"""

from __future__ import annotations

import dataclasses
import hashlib
import inspect
import os
import site
import sys
import sysconfig
import types
from collections.abc import Iterable
from typing import Any

import numpy as np

__all__ = ["Inventory", "inventory", "label"]

# Libraries whose code is theirs, not the model's, wherever they are installed.
_NOT_THE_MODELS = frozenset(sys.stdlib_module_names) | {"numpy", "tavlen", "builtins"}
_LIBRARY_PATHS = tuple(
    os.path.normcase(os.path.realpath(path)) + os.sep
    for path in [*(sysconfig.get_paths().get(key) for key in ("stdlib", "platstdlib", "purelib", "platlib")),
                 *site.getsitepackages(), site.getusersitepackages()]
    if path
)
# Class attributes that Python itself keeps, and the handler table that
# Process derives from the methods (which are fingerprinted themselves).
_CLASS_BOOKKEEPING = frozenset({
    "__module__", "__qualname__", "__doc__", "__dict__", "__weakref__", "__firstlineno__",
    "__static_attributes__", "__annotations__", "__annotate__", "__annotate_func__",
    "__annotations_cache__", "__orig_bases__", "__parameters__", "__slots__", "_handled",
})
_DEPTH = 32  # nesting of containers and objects followed into a value


def _module_label(name: str) -> str:
    """A module's name as the same file has it, run as a script or imported."""
    if name == "__main__":
        main = sys.modules.get("__main__")
        file = getattr(main, "__file__", None)
        if not file:
            return "__main__"
        # A script's file stem, within its package when run with -m.
        stem = os.path.splitext(os.path.basename(file))[0]
        package = getattr(main, "__package__", None)
        return f"{package}.{stem}" if package else stem
    return name


def label(thing: Any) -> str:
    """The name of a function or class in fingerprints and messages."""
    return f"{_module_label(getattr(thing, '__module__', None) or '?')}.{getattr(thing, '__qualname__', '?')}"


def _is_the_models(module_name: str | None) -> bool:
    if not module_name:
        return False
    if module_name == "__main__":
        return True
    if module_name.partition(".")[0] in _NOT_THE_MODELS:
        return False
    module = sys.modules.get(module_name)
    file = getattr(module, "__file__", None)
    if not file or not file.endswith(".py"):
        return False  # built in, compiled or a namespace: not code a run can read
    path = os.path.normcase(os.path.realpath(file))
    parts = path.split(os.sep)
    return not path.startswith(_LIBRARY_PATHS) and "site-packages" not in parts and "dist-packages" not in parts


@dataclasses.dataclass
class Inventory:
    """A model's own modules, and the fingerprint of each of its functions,
    classes and module-level values (name to digest)."""

    modules: list[types.ModuleType]
    fingerprints: dict[str, str]
    _walk: _Walk

    def describe(self, value: Any) -> Any:
        """A value as fingerprints see it: its data, with the model's classes
        and functions by name, whatever module they were reached through."""
        return self._walk.value_digest(value, 0)


def inventory(roots: Iterable[Any]) -> Inventory:
    """Walks the code reachable from ``roots``: processes, functions, classes."""
    walk = _Walk()
    for root in roots:
        walk.value_digest(root, 0)
    return Inventory(
        modules=[sys.modules[name] for name in sorted(walk.modules) if name in sys.modules],
        fingerprints=dict(sorted(walk.fingerprints.items())),
        _walk=walk,
    )


class _Walk:
    def __init__(self) -> None:
        self.fingerprints: dict[str, str] = {}
        self.modules: set[str] = set()
        self.walked: set[int] = set()
        self.kept: list[Any] = []  # keeps ids unique while the walk lasts
        self.describing: set[int] = set()  # the objects being described, against cycles

    def _first_visit(self, thing: Any) -> bool:
        if id(thing) in self.walked:
            return False
        self.walked.add(id(thing))
        self.kept.append(thing)
        return True

    # -- functions and classes of the model's own modules --------------------

    def function(self, function: types.FunctionType) -> str:
        name = label(function)
        if _is_the_models(function.__module__) and self._first_visit(function):
            self.modules.add(function.__module__)
            parts: list[Any] = [_code_digest(function.__code__)]
            parts.append(self.value_digest(function.__defaults__, 1))
            parts.append(self.value_digest(function.__kwdefaults__, 1))
            for cell in function.__closure__ or ():
                try:
                    parts.append(self.value_digest(cell.cell_contents, 1))
                except ValueError:  # an empty cell
                    parts.append("empty")
            self._globals(function.__globals__, _names(function.__code__))
            self.fingerprints[name] = _digest(parts)
        return f"function {name}"

    def klass(self, klass: type) -> str:
        name = label(klass)
        if _is_the_models(klass.__module__) and self._first_visit(klass):
            self.modules.add(klass.__module__)
            parts: list[Any] = [[label(base) for base in klass.__bases__]]
            for base in klass.__bases__:
                self.value_digest(base, 1)
            for attribute, value in sorted(vars(klass).items()):
                if attribute in _CLASS_BOOKKEEPING:
                    continue
                if isinstance(value, (staticmethod, classmethod)):
                    value = value.__func__
                if isinstance(value, property):
                    value = (value.fget, value.fset, value.fdel)
                parts.append((attribute, self.value_digest(value, 1)))
            self.fingerprints[name] = _digest(parts)
        return f"class {name}"

    def _globals(self, namespace: dict[str, Any], names: set[str]) -> None:
        """The module-level names that a function's code reads."""
        module_name = namespace.get("__name__")
        for name in sorted(names & namespace.keys()):
            value = namespace[name]
            if isinstance(value, types.ModuleType):
                if _is_the_models(value.__name__):
                    self.modules.add(value.__name__)
                    self._globals(vars(value), names)  # module.attribute reads
                continue
            if isinstance(value, (types.FunctionType, type)):
                self.value_digest(value, 0)  # fingerprinted under its own name
                continue
            key = f"{_module_label(module_name or '?')}.{name}"
            if key not in self.fingerprints:
                self.fingerprints[key] = "…"  # a value that refers back to itself stops here
                self.fingerprints[key] = _digest(self.value_digest(value, 0))

    # -- values ---------------------------------------------------------------

    def value_digest(self, value: Any, depth: int) -> Any:
        """A stable, picklable description of a value: numbers and text as
        they are, containers item by item, arrays by content, the model's
        functions and classes by their code."""
        if depth > _DEPTH:
            return "deep"
        if value is None or isinstance(value, (bool, int, float, complex, str, bytes)):
            return (type(value).__name__, repr(value))
        if isinstance(value, np.ndarray):
            data = value.tolist() if value.dtype.hasobject else np.ascontiguousarray(value).tobytes()
            return ("array", value.dtype.str, value.shape, _digest(data) if not value.dtype.hasobject
                    else self.value_digest(data, depth + 1))
        if isinstance(value, np.generic):
            return ("numpy", value.dtype.str, repr(value.item()))
        if isinstance(value, (tuple, list)):
            return (type(value).__name__, [self.value_digest(item, depth + 1) for item in value])
        if isinstance(value, (set, frozenset)):
            return (type(value).__name__, sorted(repr(self.value_digest(item, depth + 1)) for item in value))
        if isinstance(value, dict):
            return ("dict", sorted((repr(self.value_digest(k, depth + 1)), repr(self.value_digest(v, depth + 1)))
                                   for k, v in value.items()))
        if isinstance(value, types.FunctionType):
            return self.function(value)
        if isinstance(value, types.MethodType):
            return ("method", self.value_digest(value.__func__, depth + 1), self.value_digest(value.__self__, depth + 1))
        if isinstance(value, type):
            return self.klass(value)
        if isinstance(value, types.ModuleType):
            return ("module", _module_label(value.__name__))
        if callable(value) and not hasattr(value, "__dict__"):
            return ("callable", label(value))  # built in: its name is all there is
        return self._instance(value, depth)

    def _instance(self, value: Any, depth: int) -> Any:
        cls = type(value)
        if cls.__module__ == "tavlen.model" and cls.__qualname__ == "_CombinedSnapshots":
            return ("snapshot functions", self.value_digest(value.functions, depth + 1))
        state: Any
        try:
            reduced = value.__reduce_ex__(5)
        except Exception:
            reduced = None
        if isinstance(reduced, tuple) and len(reduced) >= 3 and reduced[2] is not None:
            state = reduced[2]
        elif isinstance(reduced, tuple) and len(reduced) >= 2:
            state = reduced[1]
        else:
            state = getattr(value, "__dict__", None)
        if id(value) in self.describing:
            return ("object", self.klass(cls))  # an object that holds itself
        self.describing.add(id(value))
        try:
            return ("object", self.klass(cls), self.value_digest(state, depth + 1))
        finally:
            self.describing.discard(id(value))


def _names(code: types.CodeType) -> set[str]:
    """The global and attribute names that code and the code nested in it read."""
    names = set(code.co_names)
    for constant in code.co_consts:
        if isinstance(constant, types.CodeType):
            names |= _names(constant)
    return names


def _code_digest(code: types.CodeType) -> str:
    """Bytecode, names and constants: what the code does, without its line
    numbers, its docstring or the comments that never reach it."""
    constants = list(code.co_consts)
    if code.co_flags & getattr(inspect, "CO_HAS_DOCSTRING", 0) and constants:
        constants[0] = None
    return _digest([
        code.co_code, code.co_names, code.co_varnames, code.co_freevars, code.co_cellvars,
        code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount,
        code.co_flags & ~getattr(inspect, "CO_HAS_DOCSTRING", 0),
        [_code_digest(c) if isinstance(c, types.CodeType) else (type(c).__name__, repr(c)) for c in constants],
    ])


def _digest(value: Any) -> str:
    data = value if isinstance(value, bytes) else repr(value).encode("utf-8", "surrogatepass")
    return hashlib.blake2b(data, digest_size=16).hexdigest()

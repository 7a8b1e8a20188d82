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
import dis
import hashlib
import importlib
import importlib.util
import inspect
import logging
import os
import random
import site
import sys
import sysconfig
import types
from collections.abc import Iterable
from typing import Any

import numpy as np

from .files import read_regular

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
# Objects of these modules hold state that a library keeps for itself (locks,
# loggers, queues between threads): no run changes what it computes with them.
_LIBRARY_STATE_MODULES = frozenset({"_thread", "threading", "logging", "queue", "multiprocessing.synchronize",
                                    "_multiprocessing", "weakref", "_weakref"})


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
    return _is_own_file(getattr(sys.modules.get(module_name), "__file__", None))


def _is_own_file(file: str | None) -> bool:
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
    #: The modules among them that the code imports as it runs (inside a
    #: function): a worker must find them in its own sys.modules.
    imported: list[types.ModuleType] = dataclasses.field(default_factory=list)

    def describe(self, value: Any) -> Any:
        """A value as fingerprints see it: its data, with the model's classes
        and functions by name, whatever module they were reached through."""
        return self._walk.value_digest(value, 0)


def inventory(roots: Iterable[Any]) -> Inventory:
    """Walks the code reachable from ``roots``: processes, functions, classes."""
    walk = _Walk()
    for root in roots:
        walk.value_digest(root, 0)
        walk.outside(root)
    return Inventory(
        modules=[sys.modules[name] for name in sorted(walk.modules) if name in sys.modules],
        fingerprints=dict(sorted(walk.fingerprints.items())),
        _walk=walk,
        imported=[sys.modules[name] for name in sorted(walk.imported) if name in sys.modules],
    )


class _Walk:
    def __init__(self) -> None:
        self.fingerprints: dict[str, str] = {}
        self.modules: set[str] = set()
        self.imported: set[str] = set()  # modules that the code imports where it runs
        self.walked: set[int] = set()
        self.kept: list[Any] = []  # keeps ids unique while the walk lasts
        self.describing: set[int] = set()  # the objects being described, against cycles
        self.owners: dict[str, int] = {}  # fingerprint key to the function it names
        self.modules_read: set[tuple[str, frozenset[str]]] = set()

    def _first_visit(self, thing: Any) -> bool:
        if id(thing) in self.walked:
            return False
        self.walked.add(id(thing))
        self.kept.append(thing)
        return True

    def outside(self, root: Any) -> None:
        """The contents of the files and environment variables that a
        process declares it reads as it runs (``files_read``,
        ``environment_read``): what no walk of its code can see."""
        for path in getattr(root, "files_read", None) or ():
            try:
                content: Any = _digest(read_regular(path))
            except OSError as error:
                content = f"unreadable: {error.strerror}"
            self.fingerprints[f"the file {os.fspath(path)!r}"] = content
        for name in getattr(root, "environment_read", None) or ():
            self.fingerprints[f"the environment variable {name}"] = _digest(os.environ.get(name))

    # -- functions and classes of the model's own modules --------------------

    def function(self, function: types.FunctionType) -> str:
        name = label(function)
        if _is_the_models(function.__module__) and self._first_visit(function):
            self.modules.add(function.__module__)
            key = self._key(name, function)
            parts: list[Any] = [_code_digest(function.__code__)]
            # What a decorator wraps is walked first, under a key of its own:
            # the wrapper shares its name and must not hide it.
            parts.append(self.value_digest(getattr(function, "__wrapped__", None), 1))
            parts.append(self.value_digest(function.__defaults__, 1))
            parts.append(self.value_digest(function.__kwdefaults__, 1))
            for cell in function.__closure__ or ():
                try:
                    parts.append(self.value_digest(cell.cell_contents, 1))
                except ValueError:  # an empty cell
                    parts.append("empty")
            attributes = {k: v for k, v in vars(function).items() if k != "__wrapped__"}
            parts.append(self.value_digest(attributes, 1))
            names = _names(function.__code__)
            self._globals(function.__globals__, names)
            for module in _imported_modules(function.__code__, function.__globals__):
                self._module(module, names)
                if module.__name__ in self.modules:
                    self.imported.add(module.__name__)
            self.fingerprints[key] = _digest(parts)
        return f"function {name}"

    def _key(self, name: str, thing: Any) -> str:
        """The fingerprint's key of a function or module-level value: its
        name, unless something else of that name (a decorator's wrapper, a
        cache) holds it already."""
        key, count = name, 1
        while self.owners.setdefault(key, id(thing)) != id(thing):
            count += 1
            key = f"{name} ({'wrapped' if count == 2 else f'wrapped {count - 1} times'})"
        self.kept.append(thing)
        self.fingerprints.setdefault(key, "…")
        return key

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
                self._module(value, names)
                continue
            if isinstance(value, (types.FunctionType, type)):
                self.value_digest(value, 0)  # fingerprinted under its own name
                continue
            base = f"{_module_label(module_name or '?')}.{name}"
            if self.owners.get(base) == id(value):
                continue  # walked already, or a value that refers back to itself
            key = self._key(base, value)
            self.fingerprints[key] = _digest(self.value_digest(value, 0))

    def _module(self, module: types.ModuleType, names: set[str]) -> None:
        """A module of the model's that code reads ``names`` of (``module.attribute``
        or ``from module import name``): it travels by value, and what is read is walked."""
        if not _is_the_models(module.__name__):
            return
        self.modules.add(module.__name__)
        seen = (module.__name__, frozenset(names))
        if seen not in self.modules_read:  # modules that import each other
            self.modules_read.add(seen)
            self._globals(vars(module), names)

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
        if isinstance(getattr(value, "__wrapped__", None), types.FunctionType):
            # A cache (functools.cache, lru_cache) or another decorator's object:
            # what it computes is the function it wraps, not what it holds.
            return ("wrapper", label(value), self.value_digest(value.__wrapped__, depth + 1))
        library_state = _library_state(value)
        if library_state is not None:
            return library_state
        if callable(value) and not hasattr(value, "__dict__"):
            owner = getattr(value, "__self__", None)
            if owner is not None and not isinstance(owner, (types.ModuleType, type)):
                # A bound method of a container or an array: its object is what it reads.
                return ("bound", getattr(value, "__name__", "?"), self.value_digest(owner, depth + 1))
            arguments = _reduced(value)
            if isinstance(arguments, tuple):  # operator.itemgetter and the like: their arguments
                return ("callable", label(value), self.value_digest(arguments[1:], depth + 1))
            return ("callable", label(value))  # built in: its name is all there is
        return self._instance(value, depth)

    def _instance(self, value: Any, depth: int) -> Any:
        cls = type(value)
        if cls.__module__ == "tavlen.model" and cls.__qualname__ == "_CombinedSnapshots":
            return ("snapshot functions", self.value_digest(value.functions, depth + 1))
        state: Any
        reduced = _reduced(value)
        if isinstance(reduced, tuple) and len(reduced) >= 3 and reduced[2] is not None:
            state = reduced[2]
        elif isinstance(reduced, tuple) and len(reduced) >= 2:
            state = reduced[1]
        else:
            state = getattr(value, "__dict__", None)
        if isinstance(reduced, tuple) and len(reduced) >= 4:
            # The items of containers that pickle them apart (a deque's, say).
            state = (state, *(list(items) if items is not None else None for items in reduced[3:5]))
        if id(value) in self.describing:
            return ("object", self.klass(cls))  # an object that holds itself
        self.describing.add(id(value))
        try:
            return ("object", self.klass(cls), self.value_digest(state, depth + 1))
        finally:
            self.describing.discard(id(value))


def _reduced(value: Any) -> Any:
    try:
        return value.__reduce_ex__(5)
    except Exception:
        return None


def _library_state(value: Any) -> Any:
    """How a value that holds only a library's own state is described, or
    None: the global generators (a SciPy distribution holds NumPy's, which
    every new interpreter seeds anew), loggers and locks."""
    if value is np.random.mtrand._rand or value is getattr(random, "_inst", None):
        return ("global generator", type(value).__qualname__)
    if isinstance(value, (logging.Logger, logging.PlaceHolder)) or value is logging.root:
        return ("logger", getattr(value, "name", ""))
    if type(value).__module__ in _LIBRARY_STATE_MODULES:
        return ("library state", type(value).__qualname__)
    return None


def _imported_modules(code: types.CodeType, namespace: dict[str, Any]) -> list[types.ModuleType]:
    """The modules that code and the code nested in it import (an import
    inside a function, run when the function first runs): imported here,
    if they are not yet, so that they are walked as the run will read them."""
    found = []
    for name in _import_names(code, namespace.get("__package__") or ""):
        parts = name.split(".")
        for end in range(1, len(parts) + 1):
            prefix = ".".join(parts[:end])
            module = sys.modules.get(prefix)
            if module is None:
                # Not imported yet: only the model's own (a library's would be named, not read).
                if not _is_the_models_file(prefix):
                    break
                try:
                    module = importlib.import_module(prefix)
                except Exception:  # the run will meet the same error and report it
                    break
            found.append(module)
    return found


def _import_names(code: types.CodeType, package: str) -> list[str]:
    names = []
    level = 0
    for instruction in dis.get_instructions(code):
        if instruction.opname in ("LOAD_SMALL_INT", "LOAD_CONST") and type(instruction.argval) is int:
            level = instruction.argval
        elif instruction.opname == "IMPORT_NAME":
            try:
                names.append(importlib.util.resolve_name("." * level + instruction.argval if level else
                                                         instruction.argval, package))
            except (ImportError, ValueError):
                pass  # a relative import outside a package: it fails when run, too
    for constant in code.co_consts:
        if isinstance(constant, types.CodeType):
            names += _import_names(constant, package)
    return names


def _is_the_models_file(module_name: str) -> bool:
    """Whether a module not yet imported would be the model's own."""
    if module_name.partition(".")[0] in _NOT_THE_MODELS:
        return False
    try:
        found = importlib.util.find_spec(module_name)
    except (ImportError, ValueError):
        return False
    return _is_own_file(getattr(found, "origin", None))


def _names(code: types.CodeType) -> set[str]:
    """The global and attribute names that code and the code nested in it
    read, and the constant keys of its ``globals()[...]`` lookups."""
    names = set(code.co_names)
    if "globals" in code.co_names:
        names |= {constant for constant in code.co_consts if type(constant) is str and constant.isidentifier()}
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

"""The ground floor: the package's error and its optional imports.

Every other module of the package may import this one; it imports nothing
of the package.
"""

from __future__ import annotations

import importlib
from types import ModuleType

__all__ = ["ModelError", "optional_import"]


class ModelError(ValueError):
    """A model or run configuration that cannot be simulated."""

    # Tracebacks and pickles have always named it tavlen.model.ModelError,
    # which still finds it.
    __module__ = "tavlen.model"


def optional_import(module: str, extra: str, feature: str) -> ModuleType:
    """Imports an optional dependency, or says which extra provides it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f"{feature} needs the optional package '{module}', which is not installed; "
            f"install it with: pip install 'tavlen[{extra}]'"
        ) from error

"""The unknowns of a calibration: their bounds, their search scale, their
priors, and the table of values that sweeps and the decision analysis take.

Every method searches the unit cube: a parameter's value maps to [0, 1]
linearly between its bounds, or linearly in its logarithm with ``log=True``
(for rates and scales that span orders of magnitude). A simplex, a sampler
and a chain then move alike in every direction.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Iterator, Mapping
from typing import Any

import numpy as np

from ..errors import ModelError, optional_import

__all__ = ["Parameter", "ParameterTable", "parameter_list"]


@dataclasses.dataclass(frozen=True)
class Parameter:
    """An unknown of the model: searched between ``low`` and ``high``.

    ``start`` is where Nelder-Mead starts (the middle of the search scale
    unless given). With ``log=True`` the search, and the default prior,
    are uniform in the logarithm. ``prior`` is a frozen distribution of
    ``scipy.stats`` (``scipy.stats.norm(0.1, 0.02)``), truncated to the
    bounds; without one the prior is uniform between the bounds (on the
    search scale).
    """

    low: float
    high: float
    start: float | None = None
    log: bool = False
    prior: Any = None

    def __post_init__(self) -> None:
        low, high = float(self.low), float(self.high)
        if not (math.isfinite(low) and math.isfinite(high) and low < high):
            raise ModelError(f"a parameter's bounds must be finite with low < high, got {self.low!r} and {self.high!r}")
        if self.log and low <= 0:
            raise ModelError(f"a parameter searched on the log scale needs a positive lower bound, got {self.low!r}")
        if self.start is not None and not low <= float(self.start) <= high:
            raise ModelError(f"a parameter's start {self.start!r} lies outside its bounds {low!r} to {high!r}")
        if self.prior is not None and not callable(getattr(self.prior, "logpdf", None)):
            raise TypeError(f"a parameter's prior must be a frozen scipy.stats distribution, got {type(self.prior).__name__}")
        object.__setattr__(self, "low", low)
        object.__setattr__(self, "high", high)

    def to_unit(self, value: Any) -> np.ndarray:
        value = np.asarray(value, dtype=np.float64)
        if self.log:
            return np.log(value / self.low) / math.log(self.high / self.low)
        return (value - self.low) / (self.high - self.low)

    def from_unit(self, unit: Any) -> np.ndarray:
        unit = np.asarray(unit, dtype=np.float64)
        if self.log:
            return self.low * (self.high / self.low) ** unit
        return self.low + unit * (self.high - self.low)

    def unit_start(self) -> float:
        return 0.5 if self.start is None else float(self.to_unit(self.start))

    def log_prior_unit(self, unit: np.ndarray) -> np.ndarray:
        """The log prior density of the point of the unit cube (up to a
        constant): -inf outside the bounds."""
        unit = np.asarray(unit, dtype=np.float64)
        inside = (unit >= 0.0) & (unit <= 1.0)
        density = np.zeros(unit.shape)
        if self.prior is not None:
            value = self.from_unit(np.clip(unit, 0.0, 1.0))
            # The prior is a density in the value; the chain moves in the unit
            # cube, so the change of variable's Jacobian belongs to it.
            jacobian = value * math.log(self.high / self.low) if self.log else np.full(unit.shape, self.high - self.low)
            density = np.asarray(self.prior.logpdf(value), dtype=np.float64) + np.log(jacobian)
        return np.where(inside, density, -np.inf)


def parameter_list(parameters: Mapping[str, Parameter | tuple[float, float]]) -> tuple[tuple[str, ...], tuple[Parameter, ...]]:
    """The names and the Parameters of a mapping whose values may also be (low, high) pairs."""
    if not isinstance(parameters, Mapping) or not parameters:
        raise TypeError("parameters must be a non-empty mapping from names to Parameter or (low, high)")
    names, laws = [], []
    for name, law in parameters.items():
        if not isinstance(name, str) or not name.isidentifier():
            raise TypeError(f"a parameter's name is the keyword build() takes, an identifier, not {name!r}")
        if not isinstance(law, Parameter):
            try:
                low, high = law
            except (TypeError, ValueError):
                raise TypeError(f"parameter {name!r}: give a Parameter or a (low, high) pair, not {law!r}") from None
            law = Parameter(low, high)
        names.append(name)
        laws.append(law)
    return tuple(names), tuple(laws)


class ParameterTable(Mapping[str, np.ndarray]):
    """Draws of the parameters: a mapping from each name to a 1-D array,
    one value per draw, the same length for all. ``tavlen.sweep`` takes it
    as its ``parameters=`` beside ``table.models(build)``."""

    def __init__(self, columns: Mapping[str, Any]) -> None:
        self._columns = {name: np.array(column, dtype=np.float64, ndmin=1) for name, column in columns.items()}
        lengths = {len(column) for column in self._columns.values()}
        if len(lengths) > 1 or any(column.ndim != 1 for column in self._columns.values()):
            raise ValueError("a parameter table needs 1-D columns of one length")
        for column in self._columns.values():
            column.setflags(write=False)

    def __getitem__(self, name: str) -> np.ndarray:
        return self._columns[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._columns)

    def __len__(self) -> int:
        return len(self._columns)

    @property
    def draws(self) -> int:
        """The number of draws (rows)."""
        return len(next(iter(self._columns.values()))) if self._columns else 0

    def rows(self) -> Iterator[dict[str, float]]:
        """Each draw as a mapping from names to values, as ``build(**row)`` takes it."""
        for i in range(self.draws):
            yield {name: float(column[i]) for name, column in self._columns.items()}

    def models(self, build: Any) -> list[Any]:
        """``build(**row)`` for every draw: the models of a sweep over them."""
        return [build(**row) for row in self.rows()]

    def to_dataframe(self) -> Any:
        """A pandas DataFrame, one column per parameter, one row per draw."""
        pandas = optional_import("pandas", "pandas", "ParameterTable.to_dataframe()")
        return pandas.DataFrame({name: column for name, column in self._columns.items()})

    def __repr__(self) -> str:
        return f"<ParameterTable of {self.draws} draws of {', '.join(self._columns)}>"

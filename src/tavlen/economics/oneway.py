"""One-way sensitivity: each parameter at a low and a high value, the
others at the base case, all models run as one sweep; the tornado shows
how far each parameter alone moves the chosen outcome."""

from __future__ import annotations

import dataclasses
import math
import os
from collections.abc import Callable, Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

from . import decisionplots
from ..errors import optional_import
from ..results import Results, format_table
from ..sweeps import SweepResults, sweep

__all__ = ["Tornado", "one_way"]


@dataclasses.dataclass(frozen=True, eq=False)
class Tornado:
    """The outcome of a one-way analysis: ``base`` at the base case, and
    ``low[p]`` and ``high[p]`` with ``parameters[p]`` at its
    ``low_values[p]`` and ``high_values[p]``, the parameters sorted by the
    width of their range, widest first. ``swept`` holds the sweep's results
    (models "base", "<name> low" and "<name> high")."""

    outcome: str
    base: float
    parameters: tuple[str, ...]
    low_values: np.ndarray
    high_values: np.ndarray
    low: np.ndarray
    high: np.ndarray
    swept: SweepResults

    @property
    def width(self) -> np.ndarray:
        """How far each parameter moves the outcome: |high - low|."""
        return np.abs(self.high - self.low)

    def table(self) -> str:
        """A text table: a row per parameter, widest first."""
        rows = [[name, f"{lv:,.6g} to {hv:,.6g}", f"{lo:,.2f}", f"{hi:,.2f}", f"{w:,.2f}"]
                for name, lv, hv, lo, hi, w in zip(self.parameters, self.low_values, self.high_values, self.low,
                                                   self.high, self.width)]
        return "\n".join([
            f"One-way sensitivity of {self.outcome} (base case {self.base:,.2f})",
            format_table(["parameter", "values", "at low", "at high", "range"], rows),
        ])

    def to_dataframe(self) -> Any:
        """A pandas DataFrame, a row per parameter, widest first."""
        pd = optional_import("pandas", "pandas", "Tornado.to_dataframe()")
        return pd.DataFrame({"low_value": self.low_values, "high_value": self.high_values, "low": self.low,
                             "high": self.high, "range": self.width},
                            index=pd.Index(list(self.parameters), name="parameter"))

    def plot(self, path: str | os.PathLike[str]) -> None:
        """Saves the tornado as a PNG (written whole or not at all)."""
        decisionplots.save_png(lambda axes: decisionplots.draw_tornado(axes, self), path,
                               (7.0, 1.2 + 0.45 * len(self.parameters)), "Tornado.plot()")

    def __repr__(self) -> str:
        return f"<Tornado of {self.outcome} over {len(self.parameters)} parameters>"


def one_way(
    build: Callable[..., Any],
    base: Mapping[str, float],
    ranges: Mapping[str, tuple[float, float]],
    birth_years: npt.ArrayLike,
    outcome: Callable[[Results, Mapping[str, float]], float],
    *,
    outcome_name: str = "the outcome",
    **options: Any,
) -> Tornado:
    """Runs ``build(**values)`` (a :class:`~tavlen.Model`) for the ``base``
    values and, for each parameter in ``ranges``, with that one at its low
    and its high value, as one :func:`~tavlen.sweep` on ``birth_years``
    with ``options`` (those of the sweep: seed, workers, executor, ...), and
    gives the tornado of ``outcome`` (``outcome(results, values)``): any figure of a
    model's results under its parameter values, such as the incremental net
    monetary benefit of an evaluation priced by them::

        tornado = tavlen.one_way(
            lambda rate, cost: tavlen.Model([OC(), Flu(rate)]),
            base={"rate": 0.2, "cost": 50.0},
            ranges={"rate": (0.1, 0.4), "cost": (25.0, 100.0)},
            birth_years=births, seed=1,
            outcome=lambda results, values: tavlen.evaluate(
                results, event_costs={"vaccination": values["cost"]}, utilities={"alive": 1.0},
                willingness_to_pay=30_000).incremental("net_monetary_benefit")[1],
            outcome_name="incremental net benefit per person",
        )

    ``outcome_name`` labels the outcome in the table and the plot.
    A parameter that only prices the results (a unit cost) is passed to
    ``build`` too, which may ignore it. Every model shares the seed, so the
    bars show the parameters and not the noise."""
    base = {name: _finite(value, f"base[{name!r}]") for name, value in base.items()}
    cases: dict[str, dict[str, float]] = {"base": dict(base)}
    for name, bounds in ranges.items():
        if name not in base:
            raise KeyError(f"the range of {name!r} needs its base value: base has {list(base)}")
        if not (isinstance(bounds, tuple) and len(bounds) == 2):
            raise TypeError(f"ranges[{name!r}] must be a (low, high) pair, got {bounds!r}")
        low, high = (_finite(value, f"ranges[{name!r}]") for value in bounds)
        cases[f"{name} low"] = {**base, name: low}
        cases[f"{name} high"] = {**base, name: high}
    if len(cases) == 1:
        raise ValueError("a one-way analysis needs the range of at least one parameter")
    table = {name: [values[name] for values in cases.values()] for name in base}
    swept = sweep({label: build(**values) for label, values in cases.items()}, birth_years, parameters=table, **options)
    figures = {label: _finite(outcome(swept[label], values), f"the outcome of the model {label!r}")
               for label, values in cases.items()}
    names = list(ranges)
    low = np.array([figures[f"{name} low"] for name in names])
    high = np.array([figures[f"{name} high"] for name in names])
    order = np.argsort(-np.abs(high - low), kind="stable")
    bounds = np.array([[cases[f"{name} low"][name], cases[f"{name} high"][name]] for name in names])
    return Tornado(outcome_name, figures["base"], tuple(names[p] for p in order), bounds[order, 0], bounds[order, 1],
                   low[order], high[order], swept)


def _finite(value: Any, name: str) -> float:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}") from None
    if not math.isfinite(number):
        raise ValueError(f"{name} must be a finite number, got {value!r}")
    return number

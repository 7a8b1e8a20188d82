"""Discounting: which of a run's recorded figures give costs and effects at
the rates and the base year asked for.

``discount_rate`` r is an annual effective rate: a cost or an effect at
calendar time t counts (1 + r) ** -(t - b) times its value, with b =
``base_year``, and nothing before b counts. A run told the rates and the
base year (``Model.run(discount_rates=..., base_year=...)``) records every
event at its exact time and every duration integrated over its exact
interval, in closed form (``Results.discounted_events``,
``Results.discounted_durations``), so the figures are exact whatever the
results' year groups. Without a base year and at rate 0, everything counts
as it was logged.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from ..results import Results

__all__ = ["Discounting", "discounting", "number"]

#: What a run needs to be told to record discounted figures.
_HINT = "Model.run(discount_rates=({rates}), base_year={base:g}) records them"


class Discounting:
    """The rates for costs and for effects, the base year, and where the
    recorded figures for each rate lie in the results (None: undiscounted
    and from the beginning, the plain aggregates)."""

    def __init__(self, costs: float, effects: float, base_year: float | None, costs_index: int | None,
                 effects_index: int | None) -> None:
        self.costs, self.effects, self.base_year = costs, effects, base_year
        self.costs_index, self.effects_index = costs_index, effects_index

    def describe(self) -> str:
        """The discounting in words."""
        if self.base_year is None:
            return "undiscounted"
        def at(rate: float) -> str:
            return "undiscounted" if rate == 0 else f"discounted at {100 * rate:g}% a year"

        rates = at(self.costs) if self.costs == self.effects else f"costs {at(self.costs)}, effects {at(self.effects)}"
        return f"{rates}, from {self.base_year:g}"


def discounting(results: Results, rate: Any, base_year: Any) -> Discounting:
    """The discounting of ``evaluate(results, discount_rate=rate,
    base_year=base_year)``: ``rate`` is one rate or (costs, effects); a
    base year of None takes the one the run recorded, if any."""
    costs, effects = _rates(rate)
    if base_year is not None:
        base_year = number(base_year, "base_year")
    recorded = results.base_year
    if base_year is None:
        if costs == effects == 0.0:
            return Discounting(0.0, 0.0, None, None, None)
        if recorded is None:
            raise ValueError(
                "discounting needs the figures a run records at the rates and the base year of the evaluation; "
                "these results have none: " + _HINT.format(rates=_listed((costs, effects)), base=2025.0)
                + " (with your base year)")
        base_year = recorded
    rates = results.discount_rates.tolist()
    if recorded is None or base_year != recorded:
        where = "records none" if recorded is None else f"recorded them from {recorded:g}"
        raise ValueError(f"these results hold no figures discounted from base_year {base_year:g} (the run {where}); "
                         + _HINT.format(rates=_listed(rates or [costs, effects]), base=base_year))
    missing = [r for r in dict.fromkeys((costs, effects)) if r not in rates]
    if missing:
        raise ValueError(f"these results hold no figures discounted at {_percent(missing)} (the run recorded "
                         f"{_percent(rates)}); " + _HINT.format(rates=_listed([*rates, *missing]), base=base_year))
    return Discounting(costs, effects, base_year, rates.index(costs), rates.index(effects))


def _rates(rate: Any) -> tuple[float, float]:
    if isinstance(rate, list):
        # On a sweep a list gives each model its own rate: a pair of rates
        # as a list would read as one either way, so only a tuple is a pair.
        raise TypeError("discount_rate is one rate or a tuple of two, (costs, effects); a list gives each model of "
                        "a sweep its own")
    if isinstance(rate, tuple):
        if len(rate) != 2:
            raise ValueError(f"discount_rate is one rate or two, (costs, effects), got {len(rate)}")
        return _rate(rate[0], "discount_rate[0]"), _rate(rate[1], "discount_rate[1]")
    one = _rate(rate, "discount_rate")
    return one, one


def _rate(value: Any, name: str) -> float:
    rate = number(value, name)
    if rate < 0.0:
        raise ValueError(f"{name} is an annual rate of 0 or more (0.03 for 3%), got {value!r}")
    return rate


def number(value: Any, name: str) -> float:
    """A finite number given as ``name``, as a float; TypeError or ValueError naming it otherwise."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{name} must be a finite number, got {value!r}")
    return number


def _listed(rates: Any) -> str:
    unique = list(dict.fromkeys(float(r) for r in rates))
    return ", ".join(f"{r:g}" for r in unique) + ("," if len(unique) == 1 else "")


def _percent(rates: Any) -> str:
    return ", ".join(f"{100 * r:g}%" for r in rates) or "no rate"

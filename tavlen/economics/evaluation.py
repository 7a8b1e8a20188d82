"""Costs, QALYs and life-years of one run's results, discounted.

:func:`tavlen.evaluate` weighs the counted events and the years spent in duration
tags with unit costs and utility weights, discounts them by calendar year,
and compares every universe with a reference: incremental costs and effects,
the incremental cost-effectiveness ratio (ICER) and the net monetary
benefit. Every figure is a weighted sum of the results' aggregates, so the
same weights applied to each sub-sample's sums give its Monte Carlo error,
by the estimator of :mod:`tavlen.montecarlo`. On a sweep it does the same
for every model (:mod:`tavlen.economics`).

Discounting: :mod:`tavlen.economics.discounting`.
"""

from __future__ import annotations

import dataclasses
import math
import os
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from .. import montecarlo
from .discounting import check_open_group, discount_factors
from ..errors import optional_import
from .frontier import Frontier, efficiency_frontier, frontier_text
from .report import write_report
from ..results import Results, format_table

__all__ = ["Evaluation", "evaluate_results", "ratio_text", "verdict", "FIGURES"]

#: What an evaluation reports per universe; the last needs a willingness to pay.
FIGURES = ("costs", "qalys", "life_years", "net_monetary_benefit")


def verdict(cost: float, effect: float) -> str:
    """Where an incremental cost and effect lie on the cost-effectiveness
    plane, in the words that replace a meaningless ratio."""
    if effect > 0:
        return "dominant" if cost <= 0 else "more costly, more effective"
    if effect < 0:
        return "dominated" if cost >= 0 else "less costly, less effective"
    if cost > 0:
        return "dominated"
    return "dominant" if cost < 0 else "same costs and effects"


@dataclasses.dataclass(frozen=True, eq=False)
class Evaluation:
    """Costs, QALYs and life-years of every universe of a run, discounted,
    and each universe against the reference. Made by :func:`tavlen.evaluate`.

    ``totals[name]`` holds, per universe, the total over all people of
    "costs", "qalys" and "life_years"; ``subsample_totals[name]`` the same
    per sub-sample (None when the results keep no sub-samples). Every
    method answers per person unless told ``per_person=False``.
    """

    universes: tuple[str, ...]
    reference: str
    people: int
    totals: Mapping[str, np.ndarray]
    subsample_totals: Mapping[str, np.ndarray] | None
    subsample_people: np.ndarray | None
    willingness_to_pay: float | None
    #: The options evaluate was given: discount_rate, base_year, life_years, prices; and the run's metadata.
    settings: Mapping[str, Any] = dataclasses.field(default_factory=dict)

    # -- figures -------------------------------------------------------------

    def _figure(self, name: str, totals: Mapping[str, np.ndarray]) -> np.ndarray:
        if name not in FIGURES:
            raise KeyError(f"{name!r} is not a figure of an evaluation: {list(FIGURES)}")
        if name == "net_monetary_benefit":
            if self.willingness_to_pay is None:
                raise ValueError("the net monetary benefit needs a willingness_to_pay (per QALY)")
            return self.willingness_to_pay * totals["qalys"] - totals["costs"]
        if name == "life_years" and self.settings.get("life_years") is None:
            raise ValueError("this evaluation counts no life-years: give evaluate() life_years='<duration tag>'")
        return totals[name]

    def _scale(self, per_person: bool) -> float:
        return 1.0 / self.people if per_person else 1.0

    @property
    def _reference_index(self) -> int:
        return self.universes.index(self.reference)

    def value(self, name: str, per_person: bool = True) -> np.ndarray:
        """``name`` ("costs", "qalys", "life_years" or "net_monetary_benefit",
        the latter λ QALYs - costs) of every universe, discounted."""
        return self._figure(name, self.totals) * self._scale(per_person)

    def incremental(self, name: str, per_person: bool = True) -> np.ndarray:
        """``name`` of every universe less that of the reference (0 for the reference)."""
        value = self._figure(name, self.totals)
        return (value - value[self._reference_index]) * self._scale(per_person)

    def standard_error(self, name: str, per_person: bool = True, incremental: bool = False) -> np.ndarray:
        """The Monte Carlo standard error of :meth:`value` (of
        :meth:`incremental` with ``incremental=True``) of every universe,
        from the spread of the run's sub-samples; what the universes share
        cancels in an incremental figure's error as in the figure."""
        reason = montecarlo.no_error_reason(None if self.subsample_people is None else len(self.subsample_people))
        if reason is not None or self.subsample_totals is None:
            raise ValueError(reason or "these results keep no sub-samples")
        sums = self._figure(name, self.subsample_totals)  # sub-sample, universe
        if incremental:
            sums = sums - sums[:, self._reference_index : self._reference_index + 1]
        return montecarlo.standard_error(sums, self.subsample_people) * self._scale(per_person)

    @property
    def has_errors(self) -> bool:
        """Whether the results kept the two or more sub-samples that errors need."""
        return self.subsample_people is not None and len(self.subsample_people) > 1

    @property
    def icer(self) -> np.ndarray:
        """Incremental costs per QALY gained against the reference, per
        universe; NaN where a ratio would mislead (see :attr:`verdicts`).
        In the south-west quadrant (less costly, less effective) the ratio
        is what is saved per QALY lost."""
        costs, qalys = self.incremental("costs", False), self.incremental("qalys", False)
        meaningful = np.array([v in ("more costly, more effective", "less costly, less effective") for v in self.verdicts])
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(meaningful, costs / np.where(qalys == 0, 1.0, qalys), math.nan)

    @property
    def verdicts(self) -> tuple[str, ...]:
        """Each universe against the reference: "reference", "dominant" (less
        costly and more effective, or as costly and more effective, or less
        costly and as effective), "dominated", "more costly, more effective"
        (the ICER is a cost per QALY gained), "less costly, less effective"
        (the ratio is what is saved per QALY lost) or "same costs and effects"."""
        costs, qalys = self.incremental("costs", False), self.incremental("qalys", False)
        return tuple("reference" if u == self._reference_index else verdict(c, q)
                     for u, (c, q) in enumerate(zip(costs, qalys)))

    def frontier(self) -> Frontier:
        """The efficiency frontier of the universes (strategies) by their
        costs and QALYs per person, with each one's status and the
        sequential ICERs of those on it."""
        return efficiency_frontier(self.universes, self.value("costs"), self.value("qalys"))

    def report(self, path: str | os.PathLike[str], **options: Any) -> None:
        """Writes one self-contained HTML page of this evaluation: what was
        run, the prices, the table with its intervals, the frontier, the
        figures and the caveats (see :func:`tavlen.economics.report.write_report` for
        the ``options``)."""
        write_report(self, path, **options)

    def at(self, willingness_to_pay: float) -> Evaluation:
        """The same evaluation with another willingness to pay per QALY."""
        return dataclasses.replace(self, willingness_to_pay=_willingness(willingness_to_pay))

    # -- presentation ------------------------------------------------------

    def _rows(self) -> list[tuple[str, str, bool]]:
        rows = [("costs", "costs", False), ("qalys", "QALYs", False)]
        if self.settings.get("life_years") is not None:
            rows.append(("life_years", "life-years", False))
        rows += [(name, f"incremental {label}", True) for name, label, _ in rows]
        rows.append(("icer", "ICER (costs per QALY gained)", True))
        if self.willingness_to_pay is not None:
            rows.append(("net_monetary_benefit", f"net monetary benefit at {self.willingness_to_pay:,.0f} per QALY", True))
        return rows

    def table(self, intervals: bool = True, per_person: bool = True) -> str:
        """A text table: a column per universe, a row per figure (costs,
        QALYs, life-years, each against the reference, the ICER and the net
        monetary benefit against the reference), with 95% Monte Carlo
        intervals beside the figures when the results have them; with three
        universes or more, the efficiency frontier below it."""
        headers, rows, note = self.table_parts(intervals, per_person)
        frontier = ["", frontier_text(self.frontier(), headers[0])] if len(self.universes) > 2 else []
        return "\n".join([format_table(headers, rows), *frontier, f"({note})"])

    def table_parts(self, intervals: bool = True, per_person: bool = True) -> tuple[list[str], list[list[str]], str]:
        """The cells of :meth:`table`: its header, its rows and its note."""
        intervals = intervals and self.has_errors
        half = montecarlo.student_t_quantile(0.975, len(self.subsample_people) - 1) if intervals else 0.0  # type: ignore[arg-type]
        rows = []
        for name, label, incremental in self._rows():
            if name == "icer":
                costs, qalys = self.incremental("costs", False), self.incremental("qalys", False)
                rows.append([label, *("-" if u == self._reference_index else ratio_text(c, q)
                                      for u, (c, q) in enumerate(zip(costs, qalys)))])
                continue
            digits = 2 if name in ("costs", "net_monetary_benefit") else (4 if per_person else 1)
            values = (self.incremental if incremental else self.value)(name, per_person)
            errors = self.standard_error(name, per_person, incremental) if intervals else None
            cells = []
            for u, value in enumerate(values):
                if incremental and u == self._reference_index:
                    cells.append("-")
                elif errors is None:
                    cells.append(f"{value:,.{digits}f}")
                else:
                    low, high = value - half * errors[u], value + half * errors[u]
                    cells.append(f"{value:,.{digits}f} ({low:,.{digits}f} to {high:,.{digits}f})")
            rows.append([label, *cells])
        heading = "per person" if per_person else "all people"
        note = "95% intervals of the Monte Carlo error" if intervals else "no Monte Carlo intervals: " + (
            montecarlo.no_error_reason(None if self.subsample_people is None else len(self.subsample_people)) or "not asked")
        return [heading, *self.universes], rows, f"{self.describe()}; {note}"

    def describe(self) -> str:
        """The discounting in words."""
        rate, base = self.settings.get("discount_rate", 0.0), self.settings.get("base_year")
        if rate == 0.0:
            return "undiscounted" + (f", from {base:g}" if base is not None else "")
        return f"discounted at {100 * rate:g}% a year" + (f" from {base:g}" if base is not None else "")

    def to_dataframe(self) -> Any:
        """A pandas DataFrame, one row per universe: every figure per person,
        in total, against the reference, with their standard errors, the
        ICER and the verdict, and the efficiency frontier: each universe's
        status, what sets it aside, the frontier universe before it and
        its sequential ICER."""
        pd = optional_import("pandas", "pandas", "Evaluation.to_dataframe()")
        return pd.DataFrame(self._columns(), index=pd.Index(list(self.universes), name="universe"))

    def to_xarray(self) -> Any:
        """An ``xarray.Dataset`` on the dimension "universe" with the
        columns of :meth:`to_dataframe`, and the options as attributes."""
        xr = optional_import("xarray", "xarray", "Evaluation.to_xarray()")
        dataset = xr.Dataset({name: ("universe", values) for name, values in self._columns().items()},
                             coords={"universe": list(self.universes)})
        dataset.attrs.update(reference=self.reference, people=self.people,
                             **{key: value for key, value in self.settings.items() if value is not None and key not in ("prices", "run")})
        if self.willingness_to_pay is not None:
            dataset.attrs["willingness_to_pay"] = self.willingness_to_pay
        return dataset

    def _columns(self) -> dict[str, np.ndarray]:
        names = [name for name in FIGURES if self._has(name)]
        columns: dict[str, np.ndarray] = {}
        for name in names:
            columns[name] = self.value(name)
            columns[f"{name}_total"] = self.value(name, per_person=False)
            columns[f"incremental_{name}"] = self.incremental(name)
            if self.has_errors:
                columns[f"{name}_standard_error"] = self.standard_error(name)
                columns[f"incremental_{name}_standard_error"] = self.standard_error(name, incremental=True)
        columns["icer"] = self.icer
        columns["verdict"] = np.array(self.verdicts, dtype=object)
        columns.update(self.frontier().columns())
        return columns

    def _has(self, name: str) -> bool:
        return not ((name == "net_monetary_benefit" and self.willingness_to_pay is None)
                    or (name == "life_years" and self.settings.get("life_years") is None))

    def __repr__(self) -> str:
        return f"<Evaluation of {self.people:,} people in {list(self.universes)}, against {self.reference!r}, {self.describe()}>"


def ratio_text(cost: float, effect: float) -> str:
    """An incremental cost and effect as the ICER's cell of a table: the
    ratio where it means something, otherwise the verdict."""
    word = verdict(cost, effect)
    if word == "more costly, more effective":
        return f"{cost / effect:,.0f}"
    if word == "less costly, less effective":
        return f"{cost / effect:,.0f} saved per QALY lost"
    return word


# ---------------------------------------------------------------------------
# Weighing the results


def evaluate_results(
    results: Results,
    *,
    event_costs: Mapping[str, float] | None = None,
    annual_costs: Mapping[str, float] | None = None,
    utilities: Mapping[str, float] | None = None,
    life_years: str | None = None,
    discount_rate: float = 0.0,
    base_year: float | None = None,
    reference: str | None = None,
    willingness_to_pay: float | None = None,
) -> Evaluation:
    """:func:`tavlen.evaluate` for the results of one run."""
    if not isinstance(results, Results):
        raise TypeError(f"evaluate() takes Results or SweepResults, got {type(results).__name__}")
    rate = _rate(discount_rate)
    if base_year is not None:
        base_year = _number(base_year, "base_year")
    reference = results.universes[0] if reference is None else reference
    if reference not in results.universes:
        raise KeyError(f"reference {reference!r} is not among the universes: {list(results.universes)}")
    costs = _weights(event_costs, results.event_tags, "event_costs", "event tags", cost=True)
    annual = _weights(annual_costs, results.duration_tags, "annual_costs", "duration tags", cost=True)
    utility = _weights(utilities, results.duration_tags, "utilities", "duration tags", cost=False)
    years = np.zeros(len(results.duration_tags))
    if life_years is not None:
        years = _weights({life_years: 1.0}, results.duration_tags, "life_years", "duration tags", cost=False)
    event_factors = discount_factors(results.event_years, rate, base_year, "event_years")
    duration_factors = discount_factors(results.duration_years, rate, base_year, "duration_years")
    check_open_group(results, "events", costs, event_factors, results.event_tags)
    check_open_group(results, "durations", annual + np.abs(utility) + years, duration_factors, results.duration_tags)
    # Weights by tag and year group; the open group holds nothing weighed when its factor is NaN.
    weights = {
        "events": {"costs": np.outer(costs, np.nan_to_num(event_factors))},
        "durations": {name: np.outer(w, np.nan_to_num(duration_factors)) for name, w in
                      (("costs", annual), ("qalys", utility), ("life_years", years))},
    }

    def weigh(arrays: Mapping[str, np.ndarray]) -> dict[str, np.ndarray]:
        # (..., universe, stratum, tag, year, age) summed over strata and ages, then weighed.
        by_year = {name: arrays[name].sum(axis=(-4, -1), dtype=np.float64) for name in weights}
        totals = {name: np.einsum("...uty,ty->...u", by_year["durations"], w) for name, w in weights["durations"].items()}
        totals["costs"] = totals["costs"] + np.einsum("...uty,ty->...u", by_year["events"], weights["events"]["costs"])
        return totals

    totals = weigh({"events": results.events, "durations": results.durations})
    subsample_totals = weigh(results.subsample_sums) if results.subsample_sums else None
    people = results.metadata.get("population")
    if not isinstance(people, int) or people < 1:
        if results.subsample_people is None:
            raise ValueError("these results do not say how many people they hold (metadata['population'])")
        people = int(results.subsample_people.sum())
    return Evaluation(
        universes=tuple(results.universes), reference=reference, people=people, totals=totals,
        subsample_totals=subsample_totals, subsample_people=results.subsample_people,
        willingness_to_pay=None if willingness_to_pay is None else _willingness(willingness_to_pay),
        settings={"discount_rate": rate, "base_year": base_year, "life_years": life_years, "run": dict(results.metadata),
                  "prices": {"event_costs": dict(event_costs or {}), "annual_costs": dict(annual_costs or {}),
                             "utilities": dict(utilities or {})}},
    )


def _weights(given: Mapping[str, float] | None, tags: Sequence[str], option: str, what: str, cost: bool) -> np.ndarray:
    """One weight per tag (0 for those not given), checked."""
    weights = np.zeros(len(tags))
    if given is None:
        return weights
    if not isinstance(given, Mapping):
        raise TypeError(f"{option} must be a mapping from tags to numbers, got {type(given).__name__}")
    for tag, weight in given.items():
        if tag not in tags:
            raise KeyError(f"{option}: {tag!r} is not among the {what}: {list(tags)}")
        value = _number(weight, f"{option}[{tag!r}]")
        if cost and value < 0:
            raise ValueError(f"{option}[{tag!r}] must be a cost of 0 or more, got {weight!r}")
        weights[tags.index(tag)] = value
    return weights


def _number(value: Any, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{name} must be a finite number, got {value!r}")
    return number


def _rate(rate: Any) -> float:
    rate = _number(rate, "discount_rate")
    if rate <= -1.0:
        raise ValueError(f"discount_rate is an annual rate above -1 (-100%), got {rate!r}")
    return rate


def _willingness(value: Any) -> float:
    number = _number(value, "willingness_to_pay")
    if number < 0:
        raise ValueError(f"willingness_to_pay must be 0 or more (per QALY), got {value!r}")
    return number

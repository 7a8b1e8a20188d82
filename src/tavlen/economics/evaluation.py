"""Costs, QALYs and life-years of one run's results, discounted.

:func:`tavlen.evaluate` weighs the counted events and the years spent in duration
tags with unit costs and utility weights (per tag, or per tag and age
group), discounted at the exact time of each event and over the exact
interval of each duration, and compares every universe with a reference:
incremental costs and effects, the incremental cost-effectiveness ratio
(ICER) with its interval, and the net monetary benefit. Every figure is a weighted sum of the results' aggregates, so the
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
from ..errors import optional_import
from ..results import Results, format_table
from .discounting import discounting, number
from .frontier import Frontier, efficiency_frontier, frontier_text
from .report import write_report

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
    #: The discounting in words.
    discounting: str = "undiscounted"

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

    def icer_interval(self, level: float = 0.95) -> tuple[np.ndarray, np.ndarray]:
        """Fieller's ``level`` interval of :attr:`icer` per universe, from
        the run's sub-samples (Student's t with K - 1 degrees of freedom):
        the ratios whose incremental net cost is within its interval of 0.
        NaN where the ICER is (see :attr:`verdicts`), and where the
        interval of the incremental QALYs holds 0: no ratio is then ruled
        out, and the interval is undefined."""
        reason = montecarlo.no_error_reason(None if self.subsample_people is None else len(self.subsample_people))
        if reason is not None or self.subsample_totals is None:
            raise ValueError(reason or "these results keep no sub-samples")
        r = self._reference_index
        costs, qalys = (self.subsample_totals[name] - self.subsample_totals[name][:, r : r + 1] for name in ("costs", "qalys"))
        low, high = montecarlo.ratio_interval(costs, qalys, self.subsample_people, level)
        meaningful = ~np.isnan(self.icer)
        return np.where(meaningful, low, math.nan), np.where(meaningful, high, math.nan)

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
            rows.append(("net_monetary_benefit", f"incremental net monetary benefit at {self.willingness_to_pay:,.0f} per QALY", True))
        return rows

    def table(self, intervals: bool = True, per_person: bool = True) -> str:
        """A text table: a column per universe, a row per figure (costs,
        QALYs, life-years, each against the reference, the ICER and the net
        monetary benefit against the reference), with 95% Monte Carlo
        intervals beside the figures when the results have them (Fieller's
        for the ICER, "undefined" when the interval of the incremental QALYs
        holds 0); with three universes or more, the efficiency frontier
        below it."""
        headers, rows, note = self.table_parts(intervals, per_person)
        frontier = ["", frontier_text(self.frontier(), headers[0])] if len(self.universes) > 2 else []
        return "\n".join([format_table(headers, rows), *frontier, f"({note})"])

    def table_parts(self, intervals: bool = True, per_person: bool = True) -> tuple[list[str], list[list[str]], str]:
        """The cells of :meth:`table`: its header, its rows and its note
        (which says why intervals are missing only when they were asked for)."""
        asked, intervals = intervals, intervals and self.has_errors
        half = montecarlo.student_t_quantile(0.975, len(self.subsample_people) - 1) if intervals else 0.0  # type: ignore[arg-type]
        rows = []
        for name, label, incremental in self._rows():
            if name == "icer":
                rows.append([label, *self._icer_cells(intervals)])
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
        if intervals:
            note = "; 95% intervals of the Monte Carlo error"
        elif asked:
            note = "; no Monte Carlo intervals: " + str(
                montecarlo.no_error_reason(None if self.subsample_people is None else len(self.subsample_people)))
        else:
            note = ""
        return [heading, *self.universes], rows, f"{self.describe()}{note}"

    def _icer_cells(self, intervals: bool) -> list[str]:
        """The ICER's cells: the ratio and its interval, or the verdict."""
        costs, qalys = self.incremental("costs", False), self.incremental("qalys", False)
        low, high = self.icer_interval() if intervals else (None, None)
        cells = []
        for u, (c, q) in enumerate(zip(costs, qalys)):
            if u == self._reference_index:
                cells.append("-")
                continue
            interval = None
            if low is not None:
                interval = "undefined" if math.isnan(low[u]) else f"{low[u]:,.0f} to {high[u]:,.0f}"
            cells.append(ratio_text(c, q, interval))
        return cells

    def describe(self) -> str:
        """The discounting in words."""
        return self.discounting

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
        if self.has_errors:
            columns["icer_low"], columns["icer_high"] = self.icer_interval()
        columns["verdict"] = np.array(self.verdicts, dtype=object)
        columns.update(self.frontier().columns())
        return columns

    def _has(self, name: str) -> bool:
        return not ((name == "net_monetary_benefit" and self.willingness_to_pay is None)
                    or (name == "life_years" and self.settings.get("life_years") is None))

    def __repr__(self) -> str:
        return f"<Evaluation of {self.people:,} people in {list(self.universes)}, against {self.reference!r}, {self.describe()}>"


#: The verdicts whose ICER is a ratio.
_RATIOS = ("more costly, more effective", "less costly, less effective")


def ratio_text(cost: float, effect: float, interval: str | None = None) -> str:
    """An incremental cost and effect as the ICER's cell of a table: the
    ratio where it means something (with its ``interval`` in words beside
    it), otherwise the verdict."""
    word = verdict(cost, effect)
    if word not in _RATIOS:
        return word
    ratio = f"{cost / effect:,.0f}" + ("" if interval is None else f" ({interval})")
    return ratio if word == "more costly, more effective" else f"{ratio} saved per QALY lost"


# ---------------------------------------------------------------------------
# Weighing the results


def evaluate_results(
    results: Results,
    *,
    event_costs: Mapping[str, Weight] | None = None,
    annual_costs: Mapping[str, Weight] | None = None,
    utilities: Mapping[str, Weight] | None = None,
    life_years: str | None = None,
    discount_rate: float | tuple[float, float] = 0.0,
    base_year: float | None = None,
    reference: str | None = None,
    willingness_to_pay: float | None = None,
) -> Evaluation:
    """:func:`tavlen.evaluate` for the results of one run."""
    if not isinstance(results, Results):
        raise TypeError(f"evaluate() takes Results or SweepResults, got {type(results).__name__}")
    discount = discounting(results, discount_rate, base_year)
    reference = results.universes[0] if reference is None else reference
    if reference not in results.universes:
        raise KeyError(f"reference {reference!r} is not among the universes: {list(results.universes)}")
    event_groups, duration_groups = (results.group_labels(edges) for edges in ("event_ages", "duration_ages"))
    costs = _weights(event_costs, results.event_tags, event_groups, "event_costs", "event tags", cost=True)
    annual = _weights(annual_costs, results.duration_tags, duration_groups, "annual_costs", "duration tags", cost=True)
    utility = _weights(utilities, results.duration_tags, duration_groups, "utilities", "duration tags", cost=False)
    years = np.zeros_like(annual)
    if life_years is not None:
        years = _weights({life_years: 1.0}, results.duration_tags, duration_groups, "life_years", "duration tags",
                         cost=False)

    def weigh(arrays: Mapping[str, np.ndarray]) -> dict[str, np.ndarray]:
        # Each figure's array (..., universe, stratum, tag, age group) summed
        # over strata and weighed by tag and age group.
        def figure(name: str, index: int | None, weights: np.ndarray) -> np.ndarray:
            if index is None:  # the plain aggregate, summed over its year groups
                by_age = arrays[name].sum(axis=(-4, -2), dtype=np.float64)
            else:
                by_age = arrays[f"discounted_{name}"][..., index, :, :, :, :].sum(axis=-3)
            return np.einsum("...uta,ta->...u", by_age, weights)

        c, e = discount.costs_index, discount.effects_index
        return {
            "costs": figure("durations", c, annual) + figure("events", c, costs),
            "qalys": figure("durations", e, utility),
            "life_years": figure("durations", e, years),
        }

    totals = weigh({name: getattr(results, name) for name in montecarlo.AGGREGATES})
    subsample_totals = weigh(results.subsample_sums) if results.subsample_sums else None
    people = results.metadata.get("population")
    if not isinstance(people, int) or people < 1:
        if results.subsample_people is None:
            raise ValueError("these results do not say how many people they hold (metadata['population'])")
        people = int(results.subsample_people.sum())
    rate = discount_rate if isinstance(discount_rate, (int, float)) else (discount.costs, discount.effects)
    return Evaluation(
        universes=tuple(results.universes), reference=reference, people=people, totals=totals,
        subsample_totals=subsample_totals, subsample_people=results.subsample_people,
        willingness_to_pay=None if willingness_to_pay is None else _willingness(willingness_to_pay),
        settings={"discount_rate": rate, "base_year": discount.base_year, "life_years": life_years,
                  "run": dict(results.metadata),
                  "prices": {"event_costs": dict(event_costs or {}), "annual_costs": dict(annual_costs or {}),
                             "utilities": dict(utilities or {})}},
        discounting=discount.describe(),
    )


#: A unit cost or utility weight: one number, or one per age group of the run.
Weight = float | Sequence[float] | np.ndarray


def _weights(given: Mapping[str, Weight] | None, tags: Sequence[str], groups: Sequence[str], option: str, what: str,
             cost: bool) -> np.ndarray:
    """Weights by tag and age group (0 for tags not given), checked: each
    tag's weight is a number or an array of one per age group."""
    weights = np.zeros((len(tags), len(groups)))
    if given is None:
        return weights
    if not isinstance(given, Mapping):
        raise TypeError(f"{option} must be a mapping from tags to numbers, got {type(given).__name__}")
    for tag, weight in given.items():
        if tag not in tags:
            raise KeyError(f"{option}: {tag!r} is not among the {what}: {list(tags)}")
        name = f"{option}[{tag!r}]"
        if isinstance(weight, (Sequence, np.ndarray)) and not isinstance(weight, str):
            values = np.array([number(value, name) for value in np.asarray(weight, dtype=object).ravel()])
            if np.ndim(weight) != 1 or len(values) != len(groups):
                raise ValueError(f"{name} is one number or one per age group of the run ({len(groups)}: "
                                 f"{', '.join(groups)}), got {np.shape(weight)}")
        else:
            values = np.full(len(groups), number(weight, name))
        if cost and (values < 0).any():
            raise ValueError(f"{name} must be a cost of 0 or more, got {weight!r}")
        weights[tags.index(tag)] = values
    return weights


def _willingness(value: Any) -> float:
    amount = number(value, "willingness_to_pay")
    if amount < 0:
        raise ValueError(f"willingness_to_pay must be 0 or more (per QALY), got {value!r}")
    return amount

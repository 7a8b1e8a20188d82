"""The decision over a sweep's models: which strategy to take, how sure
one can be of it, and what more knowledge would be worth.

Every figure here comes from the net monetary benefit per person of each
strategy (universe) in each model, λ QALYs - costs: the strategy of the
highest mean is the decision at λ; the acceptability curve gives the share
of models in which each strategy is best, the acceptability frontier that
share for the strategy of the decision, and the value of information
(:mod:`tavlen.economics.information`) what knowing the parameters would add.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from . import information
from ..errors import optional_import
from .evaluation import Evaluation
from .frontier import Frontier, efficiency_frontier
from .report import write_report

__all__ = ["Acceptability", "DecisionAnalysis", "CURVE_POINTS"]

#: Points of a default acceptability curve.
CURVE_POINTS = 201


@dataclasses.dataclass(frozen=True, eq=False)
class Acceptability:
    """A cost-effectiveness acceptability curve: ``share[u, w]`` is the
    share of the models in which universe ``universes[u]`` has the highest
    net monetary benefit at ``willingness_to_pay[w]`` per QALY (models in
    which several tie count a share to each).

    ``optimal[w]`` is the strategy of the highest mean net benefit at
    ``willingness_to_pay[w]`` (the decision), :attr:`frontier` the share of
    models in which that strategy is best (the acceptability frontier), and
    ``evpi[w]`` the expected value of perfect information per person."""

    willingness_to_pay: np.ndarray
    universes: tuple[str, ...]
    share: np.ndarray
    optimal: tuple[str, ...] = ()
    evpi: np.ndarray = dataclasses.field(default_factory=lambda: np.zeros(0))

    @property
    def frontier(self) -> np.ndarray:
        """The acceptability frontier: at each willingness to pay, the share of models in which the decision is best."""
        rows = [self.universes.index(best) for best in self.optimal]
        return self.share[rows, np.arange(len(rows))]

    def to_dataframe(self) -> Any:
        """A pandas DataFrame: a column per universe, a row per willingness to
        pay, and the columns "optimal", "frontier" and "evpi"."""
        pd = optional_import("pandas", "pandas", "Acceptability.to_dataframe()")
        frame = pd.DataFrame(self.share.T, columns=pd.Index(list(self.universes), name="universe"),
                             index=pd.Index(self.willingness_to_pay, name="willingness_to_pay"))
        if self.optimal:
            frame["optimal"], frame["frontier"], frame["evpi"] = list(self.optimal), self.frontier, self.evpi
        return frame


class DecisionAnalysis:
    """What :class:`~tavlen.economics.SweepEvaluation` answers about the
    decision between its universes (strategies), over its models."""

    _evaluations: tuple[Evaluation, ...]
    universes: tuple[str, ...]
    reference: str
    willingness_to_pay: float | None
    parameters: Mapping[str, np.ndarray]

    def values(self, name: str) -> np.ndarray:
        """``name`` ("costs", "qalys", ...) per person, by model and universe."""
        return np.array([each.value(name) for each in self._evaluations])

    def benefit(self, willingness_to_pay: float | None = None) -> np.ndarray:
        """The net monetary benefit per person by model and universe at
        ``willingness_to_pay`` (by default the evaluation's)."""
        value = self._willingness(willingness_to_pay)
        return value * self.values("qalys") - self.values("costs")

    def frontier(self) -> Frontier:
        """The efficiency frontier of the universes' mean costs and QALYs
        per person over the models, with the sequential ICERs."""
        return efficiency_frontier(self.universes, self.values("costs").mean(axis=0), self.values("qalys").mean(axis=0))

    def acceptability(self, willingness_to_pay: Sequence[float] | np.ndarray | None = None) -> Acceptability:
        """The cost-effectiveness acceptability curve over the models, at
        each ``willingness_to_pay`` per QALY (by default 0 to three times
        the evaluation's, or to twice the largest ICER of the models' mean
        increments), with the decision, the acceptability frontier and the
        EVPI per person at each. Needs two models or more."""
        if len(self._evaluations) < 2:
            raise ValueError(f"an acceptability curve needs a sweep of at least two models, this one has "
                             f"{len(self._evaluations)}")
        values = self._curve_points() if willingness_to_pay is None else np.asarray(willingness_to_pay, dtype=np.float64)
        if values.ndim != 1 or not np.isfinite(values).all() or (values < 0).any():
            raise ValueError("willingness_to_pay must be a sequence of finite values of 0 or more")
        qalys, costs = self.values("qalys"), self.values("costs")  # model, universe
        benefit = values[None, None, :] * qalys[:, :, None] - costs[:, :, None]  # model, universe, value
        best = benefit == benefit.max(axis=1, keepdims=True)
        share = (best / best.sum(axis=1, keepdims=True)).mean(axis=0)
        mean = benefit.mean(axis=0)  # universe, value
        decision = mean.argmax(axis=0)
        optimal = tuple(self.universes[u] for u in decision)
        chosen = np.take_along_axis(benefit, decision[None, None, :], axis=1)[:, 0, :]  # model, value
        evpi = (benefit.max(axis=1) - chosen).mean(axis=0)
        return Acceptability(values, self.universes, share, optimal, evpi)

    def _curve_points(self) -> np.ndarray:
        if self.willingness_to_pay:
            upper = 3.0 * self.willingness_to_pay
        else:
            costs, qalys = self.values("costs").mean(axis=0), self.values("qalys").mean(axis=0)
            reference = self.universes.index(self.reference)
            increments = zip(costs - costs[reference], qalys - qalys[reference])
            ratios = [c / q for c, q in increments if c > 0 and q > 0]
            ratios += [r for r in self.frontier().icer if np.isfinite(r)]
            upper = 2.0 * max(ratios) if ratios else 100_000.0
        return np.linspace(0.0, upper, CURVE_POINTS)

    def evpi(self, willingness_to_pay: float | None = None, *, people_per_year: float | None = None,
             years: float | None = None, discount_rate: float = 0.0) -> float:
        """The expected value of perfect information at ``willingness_to_pay``
        (by default the evaluation's): per person, or, given
        ``people_per_year`` and ``years``, for everyone the decision affects,
        each year's people discounted at ``discount_rate`` from now."""
        per_person = information.evpi(self.benefit(willingness_to_pay))
        if people_per_year is None and years is None:
            return per_person
        if people_per_year is None or years is None:
            raise TypeError("the EVPI of a population needs both people_per_year and years")
        return per_person * information.population_factor(people_per_year, years, discount_rate)

    def evppi(self, parameters: str | Sequence[str], willingness_to_pay: float | None = None) -> float:
        """The expected value of partial perfect information per person of
        the parameter or group of ``parameters`` (names in the sweep's
        :attr:`parameters` table), by regression of each universe's net
        benefit on them over the models. Raises ValueError when the models
        are too few for a figure."""
        names = [parameters] if isinstance(parameters, str) else list(parameters)
        missing = [name for name in names if name not in self.parameters]
        if missing or not names:
            known = list(self.parameters) or "none: give the sweep a parameters table"
            raise KeyError(f"EVPPI needs parameters of the sweep: {missing or names} not among {known}")
        return information.evppi(self.benefit(willingness_to_pay), {name: self.parameters[name] for name in names})

    def evppi_table(self, groups: Sequence[str | Sequence[str]] | None = None,
                    willingness_to_pay: float | None = None) -> list[tuple[str, float | None, str | None]]:
        """EVPPI per person of each parameter (or each group in ``groups``):
        (name, value or None, why there is no value)."""
        rows: list[tuple[str, float | None, str | None]] = []
        for group in (list(self.parameters) if groups is None else groups):
            names = [group] if isinstance(group, str) else list(group)
            reason = information.evppi_unreliable_reason(len(self._evaluations), len(names))
            label = " + ".join(names)
            rows.append((label, None, reason) if reason else (label, self.evppi(names, willingness_to_pay), None))
        return rows

    def report(self, path: str | os.PathLike[str], **options: Any) -> None:
        """Writes one self-contained HTML page of the analysis: what was run,
        the prices and parameter draws, the tables, the frontier, the
        acceptability and the value of information, the figures and the
        caveats (see :func:`tavlen.economics.report.write_report` for the ``options``)."""
        write_report(self, path, **options)

    def _willingness(self, willingness_to_pay: float | None) -> float:
        if willingness_to_pay is None:
            if self.willingness_to_pay is None:
                raise ValueError("the net monetary benefit needs a willingness_to_pay (per QALY)")
            return self.willingness_to_pay
        value = float(willingness_to_pay)
        if not np.isfinite(value) or value < 0:
            raise ValueError(f"willingness_to_pay must be 0 or more (per QALY), got {willingness_to_pay!r}")
        return value

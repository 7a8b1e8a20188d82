"""Is it worth it: the health economics of a run or of a sweep.

:func:`evaluate` turns results into costs, QALYs and life-years per
universe, discounted, and compares every universe with a reference
(:class:`~tavlen.economics.evaluation.Evaluation`). On a sweep it evaluates every
model alike and adds what a probabilistic sensitivity analysis shows over
the models: the cost-effectiveness plane (incremental costs against
incremental QALYs, a point per model) and the cost-effectiveness
acceptability curve (the share of models in which each universe has the
highest net monetary benefit, over a range of willingness-to-pay values).
"""

from __future__ import annotations

import os
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, overload

import numpy as np

from ..errors import optional_import
from ..files import write_atomically
from ..results import Results, format_table
from ..sweeps import SweepResults, parameters_table
from . import decisionplots
from .decision import CURVE_POINTS, Acceptability, DecisionAnalysis
from .evaluation import Evaluation, Weight, evaluate_results, ratio_text, verdict
from .frontier import frontier_text

__all__ = ["Acceptability", "CURVE_POINTS", "Evaluation", "SweepEvaluation", "evaluate"]

#: The options of evaluate() that may differ by model of a sweep, and the words for them.
PER_MODEL = {"event_costs": "unit costs", "annual_costs": "annual costs", "utilities": "utilities",
             "discount_rate": "the discount rate"}


def evaluate(
    results: Results | SweepResults,
    *,
    event_costs: Mapping[str, Weight] | None = None,
    annual_costs: Mapping[str, Weight] | None = None,
    utilities: Mapping[str, Weight] | None = None,
    life_years: str | None = None,
    discount_rate: float | tuple[float, float] = 0.0,
    base_year: float | None = None,
    reference: str | None = None,
    willingness_to_pay: float | None = None,
) -> Evaluation | SweepEvaluation:
    """Costs, QALYs and life-years of every universe, discounted, and each
    universe against the ``reference`` (the first universe by default), from
    ``results`` (of :meth:`Model.run` or of a sweep)::

        evaluation = tavlen.evaluate(
            results,
            event_costs={"screen": 50.0, "clinical": 25_000.0},   # per event counted
            annual_costs={"diagnosed": 1_500.0},                  # per year spent in the tag
            utilities={"alive": 1.0, "diagnosed": -0.25},         # QALYs: weighted years
            life_years="alive",                                   # the tag whose years are life-years
            discount_rate=(0.04, 0.015), base_year=2025,          # costs at 4%, effects at 1.5%
            willingness_to_pay=30_000.0,                          # per QALY, for the net monetary benefit
        )
        print(evaluation.table())

    ``life_years`` names the duration tag whose years are life-years, and
    ``willingness_to_pay`` (per QALY) gives the net monetary benefit.
    Costs are 0 or more; a utility may be negative (a decrement, added to
    that of being alive). A unit cost or utility weight is one number, or an
    array of one per age group of the run (``event_ages`` for event costs,
    ``duration_ages`` for the others), such as utility norms by age.

    ``discount_rate`` is an annual effective rate r, or two, (costs,
    effects): a cost or effect at calendar time t counts
    (1 + r) ** -(t - base_year), and nothing before ``base_year`` counts.
    The figures are exact: the run records every event at its exact time
    and every duration over its exact interval, at the rates and from the
    base year given to it (``Model.run(..., discount_rates=(0.015, 0.04),
    base_year=2025)``), whatever its year groups; asking for others is an
    error that says so. ``base_year`` None takes the run's; with rate 0 and
    no base year everything counts, undiscounted.

    On :class:`~tavlen.SweepResults`, every model is evaluated alike and a
    :class:`SweepEvaluation` adds the cost-effectiveness plane, the
    efficiency frontier, the acceptability curve and frontier and the value
    of information over the models. There ``event_costs``,
    ``annual_costs``, ``utilities`` and ``discount_rate`` may differ by
    model, for a probabilistic analysis of prices too: a function of the
    model's label that returns the option's value for that model
    (``event_costs=lambda label: {"screen": drawn[label]}``), or a list of
    values (mappings for the prices), one per model in order.
    """
    options = dict(event_costs=event_costs, annual_costs=annual_costs, utilities=utilities, life_years=life_years,
                   discount_rate=discount_rate, base_year=base_year, reference=reference,
                   willingness_to_pay=willingness_to_pay)
    if not isinstance(results, SweepResults):
        return evaluate_results(results, **options)  # type: ignore[arg-type]
    varying = tuple(name for name in PER_MODEL if _per_model(options[name]))
    evaluations = []
    for position, (label, each) in enumerate(results.items()):
        try:
            own = {name: _for_model(options[name], name, label, position, len(results)) if name in varying
                   else options[name] for name in options}
            evaluations.append(evaluate_results(each, **own))  # type: ignore[arg-type]
        except Exception as error:
            error.add_note(f"in the sweep's model {label!r}")
            raise
    return SweepEvaluation(results.labels, evaluations, results.parameters, varying)


def _per_model(option: Any) -> bool:
    """Whether an option of evaluate() gives each model of a sweep its own value."""
    return callable(option) or (isinstance(option, Sequence) and not isinstance(option, (str, bytes, tuple)))


def _for_model(option: Any, name: str, label: str, position: int, models: int) -> Any:
    if callable(option):
        return option(label)
    if len(option) != models:
        raise ValueError(f"{name} gives {len(option)} values, one per model, to a sweep of {models} models")
    return option[position]


class SweepEvaluation(DecisionAnalysis, Sequence[Evaluation]):
    """The evaluation of every model of a sweep, in order (``evaluations[0]``,
    ``evaluations["label"]``), and what they show together.

    ``parameters`` is the sweep's table of each model's parameter values
    (:attr:`SweepResults.parameters`); ``varying`` names the options of
    :func:`evaluate` that differed by model."""

    def __init__(self, labels: Sequence[str], evaluations: Sequence[Evaluation],
                 parameters: Mapping[str, np.ndarray] | None = None, varying: Sequence[str] = ()) -> None:
        self.labels: tuple[str, ...] = tuple(labels)
        self._evaluations = tuple(evaluations)
        self._index = {label: i for i, label in enumerate(self.labels)}
        self.parameters: Mapping[str, np.ndarray] = parameters_table(parameters, len(self._evaluations))
        self.varying: tuple[str, ...] = tuple(varying)
        if not self._evaluations:
            raise ValueError("a sweep's evaluation needs at least one model")
        first = self._evaluations[0]
        for label, each in zip(self.labels, self._evaluations):
            if (each.universes, each.reference, each.willingness_to_pay) != (first.universes, first.reference,
                                                                             first.willingness_to_pay):
                raise ValueError(f"the model {label!r} was evaluated in other universes, against another reference "
                                 "or at another willingness to pay than the first")
        self.universes, self.reference = first.universes, first.reference
        self.willingness_to_pay = first.willingness_to_pay

    @overload
    def __getitem__(self, key: int | str) -> Evaluation: ...
    @overload
    def __getitem__(self, key: slice) -> SweepEvaluation: ...
    def __getitem__(self, key: int | str | slice) -> Evaluation | SweepEvaluation:
        if isinstance(key, slice):
            parameters = {name: values[key] for name, values in self.parameters.items()}
            return SweepEvaluation(self.labels[key], self._evaluations[key], parameters, self.varying)
        if isinstance(key, str):
            try:
                return self._evaluations[self._index[key]]
            except KeyError:
                raise KeyError(f"{key!r} is not a label of the sweep's models") from None
        return self._evaluations[key]

    def __len__(self) -> int:
        return len(self._evaluations)

    def items(self) -> Iterator[tuple[str, Evaluation]]:
        """Each model's label and :class:`Evaluation`, in the models' order."""
        return zip(self.labels, self._evaluations)

    def incremental(self, name: str) -> np.ndarray:
        """``name`` per person against the reference, by model and universe."""
        return np.array([each.incremental(name) for each in self._evaluations])

    def plane(self) -> dict[str, tuple[np.ndarray, np.ndarray]]:
        """The cost-effectiveness plane: for every universe but the
        reference, the incremental QALYs and the incremental costs per
        person of every model (two arrays, in the models' order)."""
        qalys, costs = self.incremental("qalys"), self.incremental("costs")
        return {universe: (qalys[:, u], costs[:, u]) for u, universe in enumerate(self.universes)
                if universe != self.reference}

    # -- presentation ------------------------------------------------------

    def table(self) -> str:
        """Over the models, per person against the reference: the mean and
        the 2.5 and 97.5 percentiles of incremental costs, QALYs,
        life-years and net monetary benefit, the ICER of the means, the
        models in each quadrant and, at the willingness to pay, the share
        of models in which each universe is best; with three universes or
        more, the efficiency frontier of the means; the strategy of the
        highest expected net benefit and the EVPI per person."""
        headers, rows, note = self.table_parts()
        lines = [format_table(headers, rows)]
        if len(self.universes) > 2:
            lines += ["", self.frontier_table()]
        if self.willingness_to_pay is not None and len(self) > 1:
            curve = self.acceptability([self.willingness_to_pay])
            lines.append(f"At {self.willingness_to_pay:,.0f} per QALY: the highest expected net benefit is "
                         f"{curve.optimal[0]}'s (best in {curve.frontier[0]:.0%} of the models); "
                         f"EVPI {curve.evpi[0]:,.2f} per person")
        return "\n".join([*lines, f"({note})"])

    def table_parts(self) -> tuple[list[str], list[list[str]], str]:
        """The cells of :meth:`table`'s first table: its header, its rows and its note."""
        first = self._evaluations[0]
        names = [name for name in ("costs", "qalys", "life_years", "net_monetary_benefit") if first._has(name)]
        reference = self.universes.index(self.reference)
        others = [u for u in range(len(self.universes)) if u != reference]
        rows = []
        costs, qalys = self.incremental("costs"), self.incremental("qalys")
        for name in names:
            values = self.incremental(name)
            digits = 2 if name in ("costs", "net_monetary_benefit") else 4
            if name == "net_monetary_benefit":
                rows.append(["ICER of the means", *(ratio_text(costs[:, u].mean(), qalys[:, u].mean()) for u in others)])
                label = f"net monetary benefit at {self.willingness_to_pay:,.0f} per QALY"
            else:
                label = f"incremental {_LABELS[name]}"
            cells = []
            for u in others:
                low, high = np.percentile(values[:, u], [2.5, 97.5])
                cells.append(f"{values[:, u].mean():,.{digits}f} ({low:,.{digits}f} to {high:,.{digits}f})")
            rows.append([label, *cells])
        if "net_monetary_benefit" not in names:
            rows.append(["ICER of the means", *(ratio_text(costs[:, u].mean(), qalys[:, u].mean()) for u in others)])
        for word in ("more costly, more effective", "dominant", "dominated", "less costly, less effective"):
            counts = [sum(verdict(c, q) == word for c, q in zip(costs[:, u], qalys[:, u])) for u in others]
            if any(counts):
                rows.append([f"models: {word}", *(f"{count} of {len(self)}" for count in counts)])
        if self.willingness_to_pay is not None and len(self) > 1:
            share = self.acceptability([self.willingness_to_pay]).share[:, 0]
            rows.append([f"models in which it is best at {self.willingness_to_pay:,.0f} per QALY "
                         f"({self.reference}: {share[reference]:.0%})", *(f"{share[u]:.0%}" for u in others)])
        headers = [f"per person, against {self.reference}", *(self.universes[u] for u in others)]
        words = [PER_MODEL[name] for name in self.varying]
        varying = " and ".join([", ".join(words[:-1]), words[-1]] if len(words) > 1 else words)
        drawn = f"; {varying} differ by model" if varying else ""
        return headers, rows, (f"mean and 2.5 to 97.5 percentiles over {len(self)} model{'s' if len(self) > 1 else ''}, "
                               f"{first.describe()}{drawn}")

    def frontier_table(self) -> str:
        """The efficiency frontier of the means over the models: each
        universe's mean costs and QALYs per person, its status and its
        sequential ICER."""
        return frontier_text(self.frontier(), "mean per person")

    def to_dataframe(self) -> Any:
        """A pandas DataFrame of every model's :meth:`Evaluation.to_dataframe`,
        indexed by model and universe."""
        pd = optional_import("pandas", "pandas", "SweepEvaluation.to_dataframe()")
        return pd.concat([each.to_dataframe() for each in self._evaluations], keys=list(self.labels), names=["model"])

    def to_xarray(self) -> Any:
        """Every model's :meth:`Evaluation.to_xarray`, stacked along "model"."""
        xr = optional_import("xarray", "xarray", "SweepEvaluation.to_xarray()")
        stacked = xr.concat([each.to_xarray() for each in self._evaluations], dim="model", combine_attrs="drop_conflicts")
        return stacked.assign_coords(model=list(self.labels))

    def plot_plane(self, axes: Any, models_called: str = "models") -> None:
        """Draws the cost-effectiveness plane into matplotlib ``axes``: each
        universe's models and mean against the reference, the efficiency
        frontier and the willingness-to-pay line. ``models_called`` is what
        the title calls the models ("draws" for a probabilistic sensitivity
        analysis)."""
        decisionplots.draw_plane(axes, self, models_called=models_called)

    def plot_acceptability(self, axes: Any, willingness_to_pay: Sequence[float] | np.ndarray | None = None,
                           models_called: str = "models") -> None:
        """Draws the acceptability curves and frontier into matplotlib ``axes``
        (``models_called`` as for :meth:`plot_plane`)."""
        decisionplots.draw_acceptability(axes, self.acceptability(willingness_to_pay), self.willingness_to_pay,
                                         models_called)

    def plot(self, path: str | os.PathLike[str], title: str | None = None, models_called: str = "models") -> None:
        """Saves a PNG of the plane and the acceptability curve side by side
        (written whole or not at all); ``models_called`` names the models in
        the figures ("draws" for a probabilistic sensitivity analysis)."""
        matplotlib = optional_import("matplotlib", "plot", "SweepEvaluation.plot()")
        matplotlib.use("Agg")  # headless: draws into files only
        import matplotlib.pyplot as plt

        figure, (left, right) = plt.subplots(1, 2, figsize=(12, 4.6), layout="constrained")
        try:
            self.plot_plane(left, models_called)
            if len(self) > 1:
                self.plot_acceptability(right, models_called=models_called)
            else:
                right.set_axis_off()
                right.text(0.5, 0.5, f"an acceptability curve needs two {models_called} or more", ha="center")
            if title:
                figure.suptitle(title)
            write_atomically(path, lambda file: figure.savefig(file, format="png", dpi=110))
        finally:
            plt.close(figure)

    def __repr__(self) -> str:
        return f"<SweepEvaluation of {len(self)} models in {list(self.universes)}, against {self.reference!r}>"


_LABELS = {"costs": "costs", "qalys": "QALYs", "life_years": "life-years"}


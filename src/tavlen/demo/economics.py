"""The demo's cost-effectiveness analysis: is screening worth it?

Unit costs of a screen, of a diagnosis and of treatment by stage (a disease
found by screening is treated at an earlier stage, for less), a yearly cost
of care while diagnosed, and a utility decrement for diagnosed disease. All
of them are illustrative, made up for the demo, and the output says so.
Costs are discounted at 4% a year and effects at 1.5% (as the Dutch
guideline has it), from the demo population's first birth year, at the
exact time of every event and over the exact interval of every duration,
which the demo's runs record.
"""

from __future__ import annotations

import os
from collections.abc import Mapping

from .. import demo
from ..economics import SweepEvaluation, evaluate as evaluate_results
from ..economics.evaluation import Evaluation
from ..sweeps import SweepResults

__all__ = ["PRICE_PARAMETERS", "UNIT_COSTS", "UTILITIES", "evaluate", "plot", "prices", "report", "summary", "sweep_summary"]

#: Illustrative unit costs, in currency units.
UNIT_COSTS = {
    "screen": 150.0,
    "diagnosis": 1_000.0,
    "treatment, screen-detected (early stage)": 10_000.0,
    "treatment, clinical (late stage)": 25_000.0,
    "care while diagnosed, a year": 1_000.0,
}
#: Utility weights per year: a life-year in full health, and the decrement of living with a diagnosed disease.
UTILITIES = {"alive": 1.0, "diagnosed": -0.2}
#: Costs, effects.
DISCOUNT_RATE = demo.DISCOUNT_RATES
BASE_YEAR = demo.BASE_YEAR
WILLINGNESS_TO_PAY = 30_000.0
NOTE = ("The unit costs and utility weights are illustrative, made up for this demo: the figures show how the "
        "analysis works, not whether screening for any real disease is worth it.")


#: The names under which a sweep's parameters table gives each model its own prices.
PRICE_PARAMETERS = {f"cost: {what}": what for what in UNIT_COSTS} | {"utility: diagnosed": "diagnosed"}


def prices(unit_costs: Mapping[str, float] = UNIT_COSTS, utilities: Mapping[str, float] = UTILITIES) -> dict[str, dict[str, float]]:
    """The options of evaluate() that price the demo's events and years."""
    costs = unit_costs
    return dict(
        event_costs={
            "screen": costs["screen"],
            "screen_detected": costs["diagnosis"] + costs["treatment, screen-detected (early stage)"],
            "clinical": costs["diagnosis"] + costs["treatment, clinical (late stage)"],
        },
        annual_costs={"diagnosed": costs["care while diagnosed, a year"]},
        utilities=dict(utilities),
    )


def _drawn_prices(swept: SweepResults) -> list[dict[str, dict[str, float]]] | None:
    """Each model's prices from the sweep's parameters table, when it gives them."""
    table = swept.parameters
    if not set(PRICE_PARAMETERS) <= set(table):
        return None
    drawn = []
    for m in range(len(swept)):
        costs = {what: float(table[name][m]) for name, what in PRICE_PARAMETERS.items() if what in UNIT_COSTS}
        drawn.append(prices(costs, {**UTILITIES, "diagnosed": float(table["utility: diagnosed"][m])}))
    return drawn


def evaluate(results: demo.Results | SweepResults) -> Evaluation | SweepEvaluation:
    """The demo's cost-effectiveness analysis of ``results`` (a run or a
    sweep); a sweep whose parameters table holds :data:`PRICE_PARAMETERS`
    prices each model with its own."""
    options: dict[str, object] = dict(prices())
    drawn = _drawn_prices(results) if isinstance(results, SweepResults) else None
    if drawn is not None:
        options.update({name: [each[name] for each in drawn] for name in options})
    return evaluate_results(
        results,
        **options,  # type: ignore[arg-type]
        life_years="alive",
        discount_rate=DISCOUNT_RATE,
        base_year=BASE_YEAR,
        reference=demo.UNIVERSES[0],
        willingness_to_pay=WILLINGNESS_TO_PAY,
    )


def _assumptions() -> list[str]:
    prices = "; ".join(f"{what} {cost:,.0f}" for what, cost in UNIT_COSTS.items())
    return [
        f"  unit costs: {prices}",
        f"  utility: {UTILITIES['alive']:g} a year alive, {UTILITIES['diagnosed']:+g} a year with a diagnosed disease; "
        f"willingness to pay {WILLINGNESS_TO_PAY:,.0f} per QALY",
        f"  {NOTE}",
    ]


def summary(evaluation: Evaluation) -> str:
    """The cost-effectiveness table of one run, with its assumptions."""
    return "\n".join([
        f"Cost-effectiveness of screening, per person, costs discounted at {100 * DISCOUNT_RATE[0]:g}% a year and "
        f"effects at {100 * DISCOUNT_RATE[1]:g}%, from {BASE_YEAR:g}",
        *_assumptions(),
        "",
        evaluation.table(),
    ])


def sweep_summary(evaluations: SweepEvaluation) -> str:
    """The cost-effectiveness over the parameter draws of a sweep."""
    drawn = ("unit costs drawn from gamma laws and the utility of diagnosed disease from a beta law, around "
             "the values above" if evaluations.varying else "the same unit costs and utilities in each")
    return "\n".join([
        f"Cost-effectiveness over {len(evaluations)} parameter draw{'s' if len(evaluations) > 1 else ''} ({drawn})",
        evaluations.table(),
    ])


def plot(evaluations: SweepEvaluation, path: str | os.PathLike[str]) -> None:
    """Saves the cost-effectiveness plane and the acceptability curve of the draws as a PNG."""
    evaluations.plot(path, title="Screening in the chronic disease demo (illustrative unit costs and utilities)",
                     models_called="draws")


def report(evaluations: SweepEvaluation, path: str | os.PathLike[str]) -> None:
    """Writes the page of the analysis over the draws, with the demo's caveats."""
    evaluations.report(path, title="Screening in the chronic disease demo: cost-effectiveness over the parameter draws",
                       notes=[NOTE, "The draws vary the natural history (sensitivity, sojourn time, survival), the unit "
                              "costs (gamma laws) and the utility of diagnosed disease (a beta law)."],
                       models_called="draws")

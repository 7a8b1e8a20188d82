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

from . import demo
from .economics import SweepEvaluation, evaluate as evaluate_results
from .evaluation import Evaluation
from .sweeps import SweepResults

__all__ = ["UNIT_COSTS", "UTILITIES", "evaluate", "summary", "sweep_summary", "plot"]

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


def evaluate(results: demo.Results | SweepResults) -> Evaluation | SweepEvaluation:
    """The demo's cost-effectiveness analysis of ``results`` (a run or a sweep)."""
    costs = UNIT_COSTS
    return evaluate_results(
        results,
        event_costs={
            "screen": costs["screen"],
            "screen_detected": costs["diagnosis"] + costs["treatment, screen-detected (early stage)"],
            "clinical": costs["diagnosis"] + costs["treatment, clinical (late stage)"],
        },
        annual_costs={"diagnosed": costs["care while diagnosed, a year"]},
        utilities=UTILITIES,
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
    return "\n".join([
        f"Cost-effectiveness over {len(evaluations)} parameter draw{'s' if len(evaluations) > 1 else ''} "
        "(the same unit costs and utilities in each)",
        evaluations.table(),
    ])


def plot(evaluations: SweepEvaluation, path: str | os.PathLike[str]) -> None:
    """Saves the cost-effectiveness plane and the acceptability curve of the draws as a PNG."""
    evaluations.plot(path, title="Screening in the chronic disease demo (illustrative unit costs and utilities)")

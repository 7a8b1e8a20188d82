"""The demo's probabilistic sensitivity analysis: its uncertain parameters
drawn from their distributions, one model per draw, all run as one sweep on
the same people, and the spread of screening's gains over the draws. The
unit costs and the utility of diagnosed disease are drawn too, beside each
draw's natural history, and kept with it in the sweep's parameters table.

Every draw's model gets the same seed (common random numbers), so the
spread shows what the parameters do, not Monte Carlo noise.
"""

from __future__ import annotations

import dataclasses
import os
from concurrent.futures import Executor
from typing import Any

import numpy as np

from .. import demo
from . import economics as demo_economics
from ..results import format_table
from ..sweeps import SweepResults, sweep

__all__ = ["UNCERTAIN_LAWS", "draw_laws", "draw_prices", "parameters", "run", "spread", "summary"]

#: The parameters of the natural history that the draws vary.
UNCERTAIN_LAWS = ("sensitivity", "sojourn_mean", "clinical_survival_mean", "screen_detected_survival_mean")
#: Evidence behind the prices: a cost's gamma law has a coefficient of variation of 1/5; the utility of
#: living with a diagnosed disease a beta law with 100 patients' worth of evidence.
COST_SHAPE = 25.0
UTILITY_EVIDENCE = 100.0


def draw_laws(draws: int, seed: int = 0, laws: demo.Laws = demo.Laws()) -> list[demo.Laws]:
    """``draws`` sets of the demo's parameters: the uncertain ones drawn
    around the values of ``laws`` (the others kept)."""
    generator = np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(0x9_5A,)))
    drawn = []
    for _ in range(draws):
        drawn.append(dataclasses.replace(
            laws,
            # Sensitivity: Beta with its mean at the usual value, from 100 screens' worth of evidence.
            sensitivity=float(generator.beta(100 * laws.sensitivity, 100 * (1 - laws.sensitivity))),
            # Means of durations: Gamma with a coefficient of variation of 1/4 (1/5 for survival).
            sojourn_mean=float(generator.gamma(16.0, laws.sojourn_mean / 16.0)),
            clinical_survival_mean=float(generator.gamma(25.0, laws.clinical_survival_mean / 25.0)),
            screen_detected_survival_mean=float(generator.gamma(25.0, laws.screen_detected_survival_mean / 25.0)),
        ))
    return drawn


def draw_prices(draws: int, seed: int = 0) -> dict[str, np.ndarray]:
    """``draws`` draws of the demo's prices, by the names of
    :data:`~tavlen.demo.economics.PRICE_PARAMETERS`: each unit cost from a
    gamma law, the utility of diagnosed disease from a beta law, both with
    their means at the demo's values. Drawn from a stream of their own, so
    that the natural history's draws stay those of :func:`draw_laws`."""
    generator = np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(0x9_5B,)))
    drawn = np.empty((draws, len(demo_economics.PRICE_PARAMETERS)))
    utility = 1.0 + demo_economics.UTILITIES["diagnosed"]  # of a year with a diagnosed disease
    for row in drawn:
        for p, what in enumerate(demo_economics.PRICE_PARAMETERS.values()):
            if what in demo_economics.UNIT_COSTS:
                row[p] = generator.gamma(COST_SHAPE, demo_economics.UNIT_COSTS[what] / COST_SHAPE)
            else:
                row[p] = generator.beta(UTILITY_EVIDENCE * utility, UTILITY_EVIDENCE * (1 - utility)) - 1.0
    return {name: drawn[:, p] for p, name in enumerate(demo_economics.PRICE_PARAMETERS)}


def parameters(drawn_laws: list[demo.Laws], drawn_prices: dict[str, np.ndarray], laws: demo.Laws = demo.Laws()) -> dict[str, np.ndarray]:
    """The sweep's parameters table: a row for the base model (the values of
    ``laws`` and the demo's prices), then one per draw."""
    table = {name: np.array([getattr(each, name) for each in [laws, *drawn_laws]]) for name in UNCERTAIN_LAWS}
    base = {f"cost: {what}": cost for what, cost in demo_economics.UNIT_COSTS.items()}
    base["utility: diagnosed"] = demo_economics.UTILITIES["diagnosed"]
    table.update({name: np.concatenate([[base[name]], values]) for name, values in drawn_prices.items()})
    return table


def run(
    draws: int,
    size: int = 20_000,
    seed: int = 2024,
    laws: demo.Laws = demo.Laws(),
    *,
    executor: Executor | None = None,
    workers: int | None = None,
    progress: bool = False,
    block_size: int = 500,
    checkpoint: str | os.PathLike[str] | None = None,
) -> SweepResults:
    """The demo with ``laws`` (labelled "base") and with ``draws`` draws of its
    uncertain parameters ("draw-1", ...), as one sweep on one population;
    its parameters table holds each model's natural history and prices."""
    drawn = draw_laws(draws, seed, laws)
    models = {"base": demo.model(laws)}
    models.update((f"draw-{i + 1}", demo.model(each)) for i, each in enumerate(drawn))
    return sweep(models, demo.population(size, seed), **demo.RUN_OPTIONS, seed=seed, block_size=block_size,
                 executor=executor, workers=workers, progress=progress, checkpoint=checkpoint,
                 parameters=parameters(drawn, draw_prices(draws, seed), laws))


def spread(swept: SweepResults) -> dict[str, np.ndarray]:
    """Screening's gains per 1,000 people, over the draws (the base left out)."""
    values: dict[str, list[float]] = {}
    for label, results in swept.items():
        if label == "base":
            continue
        people = int(results.metadata["population"])
        for what, (value, _) in demo.screening_gains(results).items():
            values.setdefault(f"{what} per 1,000", []).append(1000 * value / people)
    return {what: np.array(numbers) for what, numbers in values.items()}


def summary(swept: SweepResults) -> str:
    """The spread of screening's gains over the draws: mean and 2.5 and 97.5 percentiles."""
    values = spread(swept)
    rows: list[list[Any]] = []
    for what, numbers in values.items():
        low, high = np.percentile(numbers, [2.5, 97.5])
        rows.append([what, f"{numbers.mean():,.2f}", f"{low:,.2f}", f"{high:,.2f}"])
    draws = len(next(iter(values.values()), ()))
    return "\n".join([
        f"Probabilistic sensitivity analysis: {draws} draws of sensitivity, sojourn time and survival "
        "(and of the unit costs and utilities, for the cost-effectiveness), on the same people and random numbers",
        format_table(["screening against the reference", "mean", "2.5%", "97.5%"], rows),
    ])

"""The demo's calibration: two natural-history parameters of the demo model,
the onset scale and the mean sojourn time, fitted to a synthetic registry.

The registry (``tavlen/data/calibration_targets.json``) was made once by
:func:`synthetic_registry` from the demo's own values (``Laws()``: onset
scale 120 years, mean sojourn 4 years) on 200,000 people and another seed
than the calibration's: diagnoses and person-years by age group without
screening, and diagnoses by how they were found (the stage at diagnosis:
early if a screen found it, late if symptoms did) at the screening ages
with screening. Incidence tells the onset scale; the share found early by
screens tells how long the disease stays preclinical.
"""

from __future__ import annotations

import dataclasses
import importlib.resources
import json
import os
import sys
from concurrent.futures import Executor
from typing import Any

import numpy as np

from .. import demo
from ..calibration import Calibration, EventRate, EventShare, Parameter, calibrate
from ..model import Model
from ..results import format_table

__all__ = ["PARAMETERS", "build", "registry", "run", "summary", "synthetic_registry"]

#: The unknowns, and what made the registry.
PARAMETERS = {"onset_scale": Parameter(90.0, 160.0, start=140.0), "sojourn_mean": Parameter(1.0, 10.0, start=7.0)}
TRUE_VALUES = {"onset_scale": demo.Laws().onset_scale, "sojourn_mean": demo.Laws().sojourn_mean}
DIAGNOSES = ("clinical", "screen_detected")
SCREENED_GROUPS = ("50-60", "60-70", "70-80")
#: The calibration runs without the demo's yearly year groups: its targets are by age.
RUN_OPTIONS = {**demo.RUN_OPTIONS, "event_years": (-np.inf,), "duration_years": (-np.inf,), "block_size": 500}
POPULATION = 20_000
BUDGET = 60


def build(onset_scale: float, sojourn_mean: float) -> Model:
    return demo.model(dataclasses.replace(demo.Laws(), onset_scale=onset_scale, sojourn_mean=sojourn_mean))


def synthetic_registry(size: int = 200_000, seed: int = 7) -> dict[str, Any]:
    """The registry's counts, from the demo at its own values."""
    results = build(**TRUE_VALUES).run(demo.population(size, seed), **RUN_OPTIONS, seed=seed)
    reference, screening = (results.universes.index(u) for u in demo.UNIVERSES)
    groups = results.group_labels("event_ages")
    found = {tag: results.event_counts(tag)[screening] for tag in DIAGNOSES}
    screened = [groups.index(group) for group in SCREENED_GROUPS]
    return {
        "made_by": f"tavlen.demo.calibration.synthetic_registry(size={size}, seed={seed})",
        "age_groups": groups,
        "diagnoses": sum(results.event_counts(tag)[reference] for tag in DIAGNOSES).tolist(),
        "person_years": results.duration_totals("alive")[reference].tolist(),
        "screened_age_groups": list(SCREENED_GROUPS),
        "early": found["screen_detected"][screened].tolist(),
        "diagnosed": (found["screen_detected"] + found["clinical"])[screened].tolist(),
    }


def registry() -> list[Any]:
    """The targets, read from the package's registry file."""
    kept = json.loads(importlib.resources.files("tavlen").joinpath("data", "calibration_targets.json").read_text())
    return [
        EventRate(DIAGNOSES, events=kept["diagnoses"], person_years=kept["person_years"], per=100_000,
                  universe="reference", name="diagnoses per 100,000 person-years, no screening"),
        EventShare("screen_detected", DIAGNOSES, events=kept["early"], total=kept["diagnosed"], by="age",
                   groups=kept["screened_age_groups"], universe="screening", name="share diagnosed early, screening"),
    ]


def run(size: int = POPULATION, seed: int = 2024, *, budget: int = BUDGET, executor: Executor | None = None,
        workers: int | None = None, progress: bool = False, checkpoint: str | os.PathLike[str] | None = None) -> Calibration:
    """Calibrates the two parameters by Nelder-Mead on ``size`` people."""
    return calibrate(build, PARAMETERS, registry(), demo.population(size, seed), seed=seed, budget=budget,
                     executor=executor, workers=workers, progress=progress, checkpoint=checkpoint, **RUN_OPTIONS)


def summary(calibration: Calibration) -> str:
    """The fitted values beside those that made the registry, and the fit."""
    errors = calibration.standard_errors
    rows = [[name, f"{TRUE_VALUES[name]:.4g}", f"{value:.4g}", f"{errors[name]:.2g}",
             f"{(value - TRUE_VALUES[name]) / errors[name]:+.2f}"] for name, value in calibration.best.items()]
    return "\n".join([
        "Calibration of the demo's natural history to a synthetic registry (made at the demo's own values)",
        format_table(["parameter", "true", "fitted", "standard error", "z"], rows),
        "",
        calibration.table(),
    ])


def command(options: Any, executor: Any, fail: Any) -> int:
    """``python -m tavlen --calibrate``: the calibration, its fit on stdout and its plot in the output folder."""
    from ..errors import ModelError

    path = os.path.join(options.output, "calibration.png")
    try:
        os.makedirs(options.output, exist_ok=True)
        with executor() as where:
            calibration = run(options.population, options.seed, executor=where, progress=not options.no_progress,
                              workers=options.workers if where is None and options.workers > 1 else None,
                              checkpoint=options.checkpoint)
    except (ImportError, ModelError, OSError) as error:
        return fail(error)
    except KeyboardInterrupt:
        kept = "" if options.checkpoint is None else f"; {options.checkpoint!r} keeps its history, and the same command resumes it"
        print(f"\npython -m tavlen: calibration interrupted{kept}", file=sys.stderr)
        return 130
    print(summary(calibration))
    if not options.no_plot:
        try:
            calibration.plot(path)
            print(f"\nwrote {path}")
        except ImportError as error:
            print(f"python -m tavlen: no plot: {error}", file=sys.stderr)
        except OSError as error:
            return fail(error)
    return 0

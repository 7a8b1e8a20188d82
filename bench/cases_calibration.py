"""Calibration: do the posterior's credible intervals mean what they say,
and what does the demo's calibration take.

Coverage: 20 replications of a model of death by a Gompertz law (a, b) and
onset of a disease at a constant rate, whose targets (death and onset rates
by age group, as counts and person-years) are simulated at known values,
each replication on other random numbers (other target noise); each is
calibrated by emcee, and the share of replications whose 90% credible
interval holds the true value is counted per parameter. The same for the
Nelder-Mead fit's 90% interval from the curvature.
Demo: python -m tavlen --calibrate's calibration, in one process and on 2 workers.

    python3 bench/run.py calibration        # about five minutes on 2 cores
"""

from __future__ import annotations

import math
import os
import time

import numpy as np

from cases_endtoend import load

import tavlen
from tavlen.demo import calibration as demo_calibration
from tavlen.calibration import EventRate, Parameter, calibrate

SELECTED_ONLY = True

REPLICATIONS = 20
PEOPLE = 3_000
AGES = (0, 40, 60, 70, 80, 90)
OPTIONS = {"event_ages": AGES, "duration_ages": AGES, "block_size": 250}
TRUTH = {"a": 3e-5, "b": 0.09, "rate": 0.006}
PARAMETERS = {"a": Parameter(1e-5, 1e-4, log=True), "b": (0.05, 0.15), "rate": Parameter(1e-3, 3e-2, log=True)}
WALKERS, STEPS = 16, 80


class Life(tavlen.Process):
    """Death by a Gompertz law and onset of a disease at a constant rate."""

    event_tags = ("death", "onset")
    duration_tags = ("alive",)
    random_number_generators = ("oc", "disease")

    def __init__(self, a: float, b: float, rate: float) -> None:
        self.a, self.b, self.rate = a, b, rate

    def start(self, individual) -> None:  # type: ignore[no-untyped-def]
        individual.log_duration_start("alive")
        unit = individual.random["oc"].expovariate()
        individual.add_to_queue_age(math.log1p(self.b / self.a * unit) / self.b, "death", terminate=True)
        individual.add_to_queue_age(individual.random["disease"].expovariate(self.rate), "onset")

    @tavlen.handles("death")
    def death(self, individual) -> None:  # type: ignore[no-untyped-def]
        individual.log_event("death")

    @tavlen.handles("onset")
    def onset(self, individual) -> None:  # type: ignore[no-untyped-def]
        individual.log_event("onset")


def build(a: float, b: float, rate: float) -> tavlen.Model:
    return tavlen.Model([Life(a, b, rate)])


def cases() -> list:
    return []


def report() -> None:
    coverage_report()
    demo_report()


def coverage_report() -> None:
    people = np.linspace(1950.0, 1960.0, PEOPLE)
    print(f"\nCalibration: coverage of the 90% intervals over {REPLICATIONS} replications ({PEOPLE:,} people, "
          f"targets at other random numbers each time; emcee {WALKERS} walkers x {STEPS} steps)")
    print(f"  ({os.cpu_count()} cores; {load()})")
    covered = {"posterior": dict.fromkeys(TRUTH, 0), "curvature": dict.fromkeys(TRUTH, 0)}
    sizes, acceptance, started = [], [], time.perf_counter()
    for replication in range(REPLICATIONS):
        observed = build(**TRUTH).run(people, seed=1000 + replication, **OPTIONS)
        years = observed.duration_totals("alive")[0]
        targets = [EventRate(tag, events=observed.event_counts(tag)[0], person_years=years) for tag in ("death", "onset")]
        posterior = calibrate(build, PARAMETERS, targets, people, method="emcee", budget=WALKERS * (STEPS + 1),
                              walkers=WALKERS, seed=7, **OPTIONS)
        fitted = calibrate(build, PARAMETERS, targets, people, seed=7, **OPTIONS)
        for kind, answer in (("posterior", posterior), ("curvature", fitted)):
            for name, (low, high) in answer.intervals(0.9).items():
                covered[kind][name] += low <= TRUTH[name] <= high
        sizes.append(min(posterior.effective_sample_size.values()))  # type: ignore[union-attr]
        acceptance.append(posterior.acceptance)
    for kind, counts in covered.items():
        shares = ", ".join(f"{name} {count}/{REPLICATIONS}" for name, count in counts.items())
        print(f"  {kind:9s} 90% intervals covered the true values: {shares} (target at least 80%)")
    print(f"  effective sample size (least over the parameters): median {np.median(sizes):.0f}, "
          f"least {min(sizes):.0f}; acceptance {np.mean(acceptance):.2f}; "
          f"{(time.perf_counter() - started) / REPLICATIONS:.1f} s per replication (both methods)")
    print(f"  ({load()})")


def demo_report() -> None:
    print("\nCalibration of the demo (python -m tavlen --calibrate: 20,000 people, Nelder-Mead)")
    for workers in (None, 2):
        started = time.perf_counter()
        answer = demo_calibration.run(workers=workers)
        seconds = time.perf_counter() - started
        where = "one process" if workers is None else f"{workers} workers"
        print(f"  {where:12s} {seconds:6.1f} s, {len(answer.phases)} candidates, "
              f"{seconds / len(answer.phases) * 1000:.0f} ms each; best {answer.best}")
    print(f"  ({load()})")

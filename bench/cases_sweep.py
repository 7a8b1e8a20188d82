"""What knowing the Monte Carlo error costs, and what a sweep gains.

Sub-samples: a default demo run with its 10 sub-samples against the same
run with one (no sub-sample sums kept), and the memory the sums take.
Sweep: 100 demo models (draws of the uncertain parameters) of 2,000 people,
as one sweep on 2 workers, against the same models run one after another
with Model.run(workers=2), and against the sweep in one process.
"""

from __future__ import annotations

import os
import time
import timeit

import numpy as np

from cases_endtoend import BLOCK_SIZE, PEOPLE, SEED, WORKERS, best_of, load, model_run

import tavlen
from tavlen import demo
from tavlen.demo import psa as demo_psa
from tavlen.gathering import Totals
from tavlen.montecarlo import AGGREGATES, DEFAULT_SUBSAMPLES
from tavlen.results import _LOG_COLUMNS
from tavlen.simulation import Partial

EMPTY_LOG = {key: np.zeros(0, dtype) for key, dtype in _LOG_COLUMNS.items()}

SWEEP_MODELS = 100
SWEEP_PEOPLE = 2_000


def cases() -> list:
    return []


def report() -> None:
    subsamples_report()
    sweep_report()


def subsamples_report() -> None:
    births = demo.population(PEOPLE, SEED)
    print(f"\nSub-samples: the default demo run ({PEOPLE:,} people, blocks of {BLOCK_SIZE}) with "
          f"{DEFAULT_SUBSAMPLES} sub-samples and with 1 (none kept)")
    print(f"  ({os.cpu_count()} cores; {load()})")
    kept, none = best_of(5, lambda: model_run(births), lambda: model_run(births, subsamples=1))
    results = model_run(births)
    ratio = kept.seconds / none.seconds
    print(f"  with {DEFAULT_SUBSAMPLES}: {kept.seconds:6.2f} s   with 1: {none.seconds:6.2f} s   "
          f"ratio {ratio:.3f} (target at most 1.05){'' if ratio <= 1.05 else '  MISSED'}")
    # The part that differs, timed alone: adding a block's partial results to the sums.
    block = {name: getattr(results, name).astype(np.float64 if getattr(results, name).dtype.kind == "f" else np.uint32)
             for name in AGGREGATES}
    partials = [Partial(**block, individual=EMPTY_LOG) for _ in range(PEOPLE // BLOCK_SIZE)]
    adding = {}
    for k in (1, DEFAULT_SUBSAMPLES):
        def add_all(k: int = k) -> None:
            totals = Totals({name: getattr(results, name).shape for name in AGGREGATES}, k)
            for partial in partials:
                totals.add(partial)
        adding[k] = min(timeit.repeat(add_all, number=1, repeat=5)) / len(partials)
    extra = (adding[DEFAULT_SUBSAMPLES] - adding[1]) * len(partials)
    print(f"  adding a block's partial results: {adding[DEFAULT_SUBSAMPLES] * 1e6:.1f} us with {DEFAULT_SUBSAMPLES} "
          f"sub-samples, {adding[1] * 1e6:.1f} us with 1, for blocks of {BLOCK_SIZE} people that take "
          f"{kept.seconds / len(partials) * 1e3:.1f} ms to simulate: the sums add {extra * 1e3:.1f} ms to the run, "
          f"{(none.seconds + extra) / none.seconds:.4f} x its time")
    aggregates = sum(getattr(results, name).nbytes for name in results.subsample_sums)
    sums = sum(array.nbytes for array in results.subsample_sums.values())
    print(f"  memory: the aggregates {aggregates:,} bytes, their sub-sample sums {sums:,} bytes "
          f"= {sums / aggregates:.1f} copies (target {DEFAULT_SUBSAMPLES}); the individual-level log is not copied")


def sweep_report() -> None:
    births = demo.population(SWEEP_PEOPLE, SEED)
    models = [demo.model(laws) for laws in demo_psa.draw_laws(SWEEP_MODELS, SEED)]
    options = {**demo.RUN_OPTIONS, "seed": SEED, "block_size": BLOCK_SIZE}
    print(f"\nSweep: {SWEEP_MODELS} demo models of {SWEEP_PEOPLE:,} people (blocks of {BLOCK_SIZE}), "
          "pools' start-up included")
    print(f"  ({os.cpu_count()} cores; {load()})")

    def one_after_another() -> None:
        for model in models:
            model.run(births, **options, workers=WORKERS)

    swept, alone, here = best_of(
        2,
        lambda: tavlen.sweep(models, births, **options, workers=WORKERS),
        one_after_another,
        lambda: tavlen.sweep(models, births, **options),
    )
    speed_up = alone.seconds / swept.seconds
    efficiency = here.seconds / (WORKERS * swept.seconds)
    print(f"  sweep, {WORKERS} workers:                 {swept.seconds:6.2f} s")
    print(f"  Model.run(workers={WORKERS}), one by one:  {alone.seconds:6.2f} s   the sweep {speed_up:.1f} x faster "
          f"(target at least 1.3){'' if speed_up >= 1.3 else '  MISSED'}")
    print(f"  sweep, one process:                {here.seconds:6.2f} s   parallel efficiency {efficiency:.2f} "
          f"(target at least 0.85){'' if efficiency >= 0.85 else '  MISSED'}")
    if here.cores < 0.9:
        print("  (the machine was busy: the one-process sweep had the use of less than 90% of a core)")
    print(f"  ({load()})")


if __name__ == "__main__":
    started = time.perf_counter()
    report()
    print(f"({time.perf_counter() - started:.0f} s)")

"""What the economics and the exports cost.

evaluate(): the demo's cost-effectiveness analysis on the results of a
default demo run, against the run itself (target: at most 5% of it).
Discounting: the demo's run, which records costs and effects discounted
at two rates at their exact times, against the same run recording none
(target: at most 5% more CPU time).
The decision over a sweep: the acceptability curves (201 values, with
their frontier and the EVPI), EVPI, and EVPPI of one parameter and of a
pair, for 2,000 synthetic models of four strategies, against the same run
(each should stay a small part of what simulating the models takes).
Parquet: the individual-level log of 10,000,000 entries written to a file,
in MB of the log's columns (17 bytes an entry) per second (target: at least
100 MB/s), for each compression; the file is written whole (flushed to disk
and renamed), as every file tavlen writes.
"""

from __future__ import annotations

import dataclasses
import os
import tempfile
import time

import numpy as np

from cases_endtoend import BLOCK_SIZE, COST_PEOPLE, PEOPLE, SEED, load
from cases_endtoend import best_of as best_of_turns

from tavlen import demo
from tavlen.demo import economics as demo_economics
from tavlen.economics import SweepEvaluation
from tavlen.errors import optional_import
from tavlen.economics.evaluation import Evaluation

LOG_ENTRIES = 10_000_000


def cases() -> list:
    return []


def best_of(function, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        started = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - started)
    return best


def discounting_report(rounds: int = 15) -> None:
    births = demo.population(COST_PEOPLE, SEED)
    undiscounted = {**demo.RUN_OPTIONS, "discount_rates": (), "base_year": None}
    print(f"\nDiscounting: the demo's run recording {len(demo.DISCOUNT_RATES)} rates at the exact times against "
          f"recording none, {COST_PEOPLE:,} people, least CPU time of {rounds} alternating runs each")
    print(f"  ({load()})")
    with_rates, without = best_of_turns(
        rounds, lambda: demo.model().run(births, **demo.RUN_OPTIONS, seed=SEED, block_size=BLOCK_SIZE),
        lambda: demo.model().run(births, **undiscounted, seed=SEED, block_size=BLOCK_SIZE))
    print(f"  {with_rates.cpu:.3f} s with, {without.cpu:.3f} s without: {with_rates.cpu / without.cpu:.3f} x "
          "(target at most 1.05)")


def report() -> None:
    discounting_report()
    print(f"\nEconomics: evaluate() with the demo's unit costs and utilities on a default demo run "
          f"({PEOPLE:,} people, blocks of {BLOCK_SIZE})")
    print(f"  ({os.cpu_count()} cores; {load()})")
    results = None

    def run() -> None:
        nonlocal results
        results = demo.run(PEOPLE, SEED, block_size=BLOCK_SIZE)

    simulated = best_of(run, 2)
    evaluated = best_of(lambda: demo_economics.evaluate(results), 20)
    tabled = best_of(lambda: demo_economics.evaluate(results).table(), 20)
    print(f"  the run: {simulated:.2f} s   evaluate(): {evaluated * 1e3:.2f} ms = {100 * evaluated / simulated:.3f}% "
          f"of it (target at most 5%)   with its table: {tabled * 1e3:.2f} ms")
    decision_report(simulated)
    try:
        optional_import("pyarrow", "parquet", "The Parquet benchmark")
    except ImportError as error:
        print(f"  Parquet: skipped: {error}")
        return
    rng = np.random.default_rng(1)
    n = LOG_ENTRIES
    log = {"universe": (np.arange(n) % 2).astype(np.uint8), "individual": (np.arange(n) // 20).astype(np.uint32),
           "element": np.zeros(n, np.uint16), "age": rng.uniform(0.0, 100.0, n),
           "tag": rng.integers(0, len(results.event_individual_tags), n).astype(np.uint16)}
    big = dataclasses.replace(results, individual=log)
    size = sum(column.nbytes for column in log.values())
    print(f"Parquet: the individual-level log of {n:,} entries ({size / 1e6:.0f} MB in memory), best of 3 "
          f"(target at least 100 MB/s)")
    with tempfile.TemporaryDirectory(dir=".") as folder:
        path = os.path.join(folder, "log.parquet")
        for compression in ("zstd", "snappy", None):
            seconds = best_of(lambda: big.to_parquet(path, compression=compression), 3)
            print(f"  {str(compression):7} {seconds:5.2f} s  {size / seconds / 1e6:6.0f} MB/s   "
                  f"file {os.path.getsize(path) / 1e6:5.0f} MB")
    print(f"  ({load()})")


def synthetic_sweep(models: int) -> SweepEvaluation:
    """Four strategies whose costs and QALYs per person vary with two parameters, over ``models`` models."""
    rng = np.random.default_rng(5)
    first, second = rng.normal(size=models), rng.normal(size=models)
    evaluations = []
    for m in range(models):
        costs = np.array([0.0, 60.0, 100.0 + 10 * second[m], 150.0])
        qalys = np.array([10.0, 10.5, 11.0 + 0.3 * first[m], 10.8])
        evaluations.append(Evaluation(tuple("ABCD"), "A", 1, {"costs": costs, "qalys": qalys, "life_years": qalys},
                                      None, None, 150.0, {"life_years": None}))
    return SweepEvaluation([str(m) for m in range(models)], evaluations, {"first": first, "second": second})


def decision_report(simulated: float) -> None:
    swept = synthetic_sweep(2_000)
    print("Decision over a sweep of 2,000 synthetic models of 4 strategies, best of 3, against the run above:")
    for name, work in (("acceptability, 201 values", lambda: swept.acceptability()),
                       ("EVPI", lambda: swept.evpi()),
                       ("EVPPI of one parameter", lambda: swept.evppi("first")),
                       ("EVPPI of a pair", lambda: swept.evppi(["first", "second"]))):
        seconds = best_of(work, 3)
        print(f"  {name:27} {seconds * 1e3:8.1f} ms = {100 * seconds / simulated:6.2f}% of the run")

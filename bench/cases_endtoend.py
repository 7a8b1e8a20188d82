"""End to end, on the demo model (python -m tavlen's): the driver's overhead
against a hand-written loop over the same native calls, the throughput of a
default run (200,000 people in 2 universes) in one process, its parallel
efficiency on two local worker processes, the cost of running it on a
local Dask cluster instead of a local process pool, and what common random
numbers cost and buy: the run's time and the Monte Carlo standard error of
the life-years gained by screening, with and without them."""

from __future__ import annotations

import dataclasses
import functools
import inspect
import itertools
import logging
import math
import os
import time
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np

import machine
from harness import Case

import tavlen.model
from tavlen import demo
from tavlen.cells import dense
from tavlen.configuration import setup, slice_population
from tavlen.dealing import block_sizes, dealt_order
from tavlen.individual import Individual, Philox
from tavlen.results import grid_edges
from tavlen.simulation import simulate_block
from tavlen.streams import generator_key

#: People in the driver's overhead case, and in the default demo run.
OVERHEAD_PEOPLE = 40_000
PEOPLE = 200_000
#: People in each of the runs that time common random numbers against their absence.
COST_PEOPLE = 20_000
SEED = 2024
BLOCK_SIZE = 500  # the demo's default
WORKERS = 2
EVENT_TAGS = ("death_other", "onset", "clinical", "screen_detected", "death_disease", "screen")
DURATION_TAGS = SNAPSHOT_TAGS = ("alive", "preclinical", "diagnosed")
GENERATORS = ("oc", "disease", "screening")


def demo_blocks(births: np.ndarray, seed: int, block_size: int,
                snapshots: Callable[[Individual], Any]) -> Iterator[tuple[Individual, list[int]]]:
    """Each block's Individual, configured as Model.run configures the
    demo's (its discounted figures recorded too) and given the same
    generators, with the indices of the people dealt to the block."""
    _, ages = grid_edges(demo.AGE_GROUPS, "ages")
    _, years = grid_edges(demo.YEAR_GROUPS, "years")
    stratum = np.zeros(len(births), dtype=np.int16)
    order, first = dealt_order(len(births), block_size), 0
    head = (len(demo.DISCOUNT_RATES), len(demo.UNIVERSES), 1)
    for size in block_sizes(len(births), block_size):
        people = order[first : first + size]
        first += size
        individual = Individual(
            {"__birth__": births[people], "__stratum__": stratum[people]},
            list(demo.UNIVERSES), list(GENERATORS), list(EVENT_TAGS), ages, years, list(DURATION_TAGS), ages, years,
            ["clinical", "screen_detected", "death_disease"], 4096,
            list(SNAPSHOT_TAGS), list(demo.SNAPSHOT_AGES), [], [snapshots], None, None, False, True)
        individual.record_discounted(demo.DISCOUNT_RATES, demo.BASE_YEAR, np.zeros((*head, len(EVENT_TAGS), len(ages))),
                                     np.zeros((*head, len(DURATION_TAGS), len(ages))))
        individual.random = {name: Philox(generator_key(seed, name)) for name in GENERATORS}
        individual.next_block(0, {}, {})
        yield individual, people.tolist()


class Sums:
    """The blocks' partial results, summed as the driver sums them."""

    def __init__(self) -> None:
        self.arrays: dict[str, Any] = dict.fromkeys(("events", "durations", "snapshots_ages", "snapshots_years"), 0)
        self.logs: list[dict[str, np.ndarray]] = []

    def add(self, individual: Individual) -> None:
        self.arrays["events"] += individual.output_events()
        self.arrays["durations"] += individual.output_durations()
        self.arrays["snapshots_ages"] += individual.output_snapshots_ages()
        self.arrays["snapshots_years"] += individual.output_snapshots_years()
        self.logs.append(individual.output_events_individual())


def hand_loop(births: np.ndarray, seed: int, block_size: int) -> tuple[dict[str, np.ndarray], int]:
    """The demo's run as a minimal loop: the partial results summed, and the
    number of events taken from the queues.

    It makes the calls that Model.run makes: the same Individual
    configuration, the same generators started at every life's person, the
    demo's own start and handler methods (which learn the universe the way the
    driver tells them), every output call, and the partial results summed
    block by block. It leaves out what the driver adds around them: checking
    the run's arguments and the blocks' properties, the limit on the events
    of a life and the test of the age it ends at, the test for an unhandled
    message, the notes added to an error and the age of each snapshot kept
    for them, the check for a snapshot tag reported twice, the
    individual-level logs' concatenation and building the Results.
    """
    laws = demo.Laws()
    oc, disease, screening = processes = (demo.OC(laws), demo.Disease(laws), demo.Screening(laws))
    universes = demo.UNIVERSES

    def snapshots(individual: Individual) -> tuple[str, ...]:
        return (*oc.alive(individual), *disease.stage(individual))

    dispatch: dict[str, Callable[..., Any]] = {}
    for process in processes:
        dispatch.update(process.handlers())
    starts = [oc.start, disease.start, screening.start]

    sums = Sums()
    taken = 0
    for individual, people in demo_blocks(births, seed, block_size, snapshots):
        next_person, next_universe = individual.next_person, individual.next_universe
        next_event, log_ongoing_durations = individual.next_event, individual.log_ongoing_durations
        streams = [generator.set_stream for generator in individual.random.values()]
        for person in people:
            next_person()
            for universe_index, universe in enumerate(universes):
                next_universe()
                for set_stream in streams:
                    set_stream(person)
                for process in processes:
                    process.universe, process.universe_index = universe, universe_index
                for start in starts:
                    start(individual)
                for taken in itertools.count(taken + 1):  # counts as cheaply as `while True`
                    _, _, message, terminate, data = next_event()
                    if data:
                        dispatch[message](individual, **data)
                    else:
                        dispatch[message](individual)
                    if terminate:
                        break
                log_ongoing_durations()
        sums.add(individual)
    return sums.arrays, taken


def inlined_loop(births: np.ndarray, seed: int, block_size: int) -> dict[str, np.ndarray]:
    """The demo's model written into the loop itself, for comparison: the
    same native calls in the same order as hand_loop, without process
    objects, handler methods or dispatch."""
    laws = demo.Laws()
    b_over_a, b = laws.gompertz_b / laws.gompertz_a, laws.gompertz_b
    onset_scale, onset_exponent, sojourn_mean = laws.onset_scale, 1.0 / laws.onset_shape, laws.sojourn_mean
    screening_ages = tuple(float(age) for age in laws.screening_ages)
    last_visit = len(screening_ages) - 1
    sensitivity, inf = laws.sensitivity, math.inf
    clinical_mean, screen_mean = laws.clinical_survival_mean, laws.screen_detected_survival_mean

    def snapshots(individual: Individual) -> tuple[str, ...]:
        stage = individual.memory["stage"]
        return ("alive", stage) if stage != "healthy" else ("alive",)

    sums = Sums()
    for ind, people in demo_blocks(births, seed, block_size, snapshots):
        oc_draw, disease_draw = ind.random["oc"].expovariate, ind.random["disease"].expovariate
        screening_random = ind.random["screening"].random
        streams = [generator.set_stream for generator in ind.random.values()]
        for person in people:
            ind.next_person()
            for universe_index in range(len(demo.UNIVERSES)):
                ind.next_universe()
                for set_stream in streams:
                    set_stream(person)
                ind.log_duration_start("alive")
                ind.add_to_queue_age(math.log1p(b_over_a * oc_draw()) / b, "death_other", terminate=True)
                memory = ind.memory
                memory["stage"] = "healthy"
                onset_age = onset_scale * disease_draw() ** onset_exponent
                if onset_age < inf:
                    ind.add_to_queue_age(onset_age, "onset")
                if universe_index == 1:
                    ind.add_to_queue_age(screening_ages[0], "screen", visit=0)
                while True:
                    _, _, message, terminate, data = ind.next_event()
                    if message == "screen":
                        stage = memory["stage"]
                        if stage != "diagnosed":
                            ind.log_event("screen")
                            if stage == "preclinical" and screening_random() < sensitivity:
                                ind.add_to_queue(0.0, "screen_detected", priority=1)
                            visit = data["visit"]
                            if visit < last_visit:
                                ind.add_to_queue_age(screening_ages[visit + 1], "screen", visit=visit + 1)
                    elif message == "onset":
                        ind.log_event("onset")
                        ind.log_duration_start("preclinical")
                        memory["stage"] = "preclinical"
                        sojourn = sojourn_mean * disease_draw()
                        memory["clinical_age"] = ind.age + sojourn
                        memory["clinical_event"] = ind.add_to_queue(sojourn, "clinical")
                    elif message == "clinical" or (message == "screen_detected" and memory["stage"] == "preclinical"):
                        if message == "clinical":
                            mean = clinical_mean
                        else:
                            ind.remove_from_queue(memory["clinical_event"])
                            mean = screen_mean
                        ind.log_event(message)
                        ind.log_event_individual(message)
                        ind.log_duration_end("preclinical")
                        ind.log_duration_start("diagnosed")
                        memory["stage"] = "diagnosed"
                        survival = mean * disease_draw()
                        ind.add_to_queue_age(memory["clinical_age"] + survival, "death_disease", terminate=True)
                    elif message == "death_disease":
                        ind.log_event("death_disease")
                        ind.log_event_individual("death_disease")
                    elif message == "death_other":
                        ind.log_event("death_other")
                    if terminate:
                        break
                ind.log_ongoing_durations()
        sums.add(ind)
    return sums.arrays


def model_run(births: np.ndarray, **options: Any) -> Any:
    return demo.model().run(births, **{**demo.RUN_OPTIONS, "seed": SEED, "block_size": BLOCK_SIZE, **options})


@functools.cache
def checked_births(people: int) -> np.ndarray:
    """The demo's population, once it is known that the hand loop gives Model.run's
    results bit for bit: what it calls is what the driver calls."""
    births = demo.population(people, SEED)
    results = model_run(births)
    for loop in (hand_loop, inlined_loop):
        by_hand = loop(births, SEED, BLOCK_SIZE)
        for name, value in (by_hand[0] if isinstance(by_hand, tuple) else by_hand).items():
            if not np.array_equal(getattr(results, name), value):
                raise AssertionError(f"{loop.__name__}'s {name} differ from Model.run's: it no longer makes the same calls")
    return births


def overhead_namespace() -> dict[str, Any]:
    births = checked_births(OVERHEAD_PEOPLE)
    return {"run": lambda: model_run(births), "by_hand": lambda: hand_loop(births, SEED, BLOCK_SIZE),
            "inlined": lambda: inlined_loop(births, SEED, BLOCK_SIZE)}


#: Year groups of four and of one year, for the cost of finding a year's bin
#: and of the larger grids.
FOUR_YEAR_GROUPS = (1940, 1980, 2020, 2060)
YEARLY_GROUPS = tuple(range(1940, 2101))


def year_groups_namespace() -> dict[str, Any]:
    births = checked_births(OVERHEAD_PEOPLE)
    coarse = dict(event_years=FOUR_YEAR_GROUPS, duration_years=FOUR_YEAR_GROUPS)
    yearly = dict(event_years=YEARLY_GROUPS, duration_years=YEARLY_GROUPS)
    return {"run": lambda: model_run(births, **yearly), "coarse": lambda: model_run(births, **coarse)}


def cases() -> list[Case]:
    return [
        Case(f"driver: Model.run, demo, {len(YEARLY_GROUPS)} year groups, {OVERHEAD_PEOPLE:,} people", "run()",
             "coarse()", year_groups_namespace, 1.01, floor_name="4 year groups", number=1),
        Case(f"driver: Model.run, demo, {OVERHEAD_PEOPLE:,} people", "run()", "by_hand()", overhead_namespace,
             1.25, floor_name="hand loop", number=1),
        Case(f"driver: Model.run, demo, {OVERHEAD_PEOPLE:,} people", "run()", "inlined()", overhead_namespace,
             None, floor_name="model inlined", number=1),
    ]


@dataclasses.dataclass
class Timing:
    seconds: float = math.inf
    #: This process's CPU seconds per second of the run: below 1.00 for a
    #: run in this process, something else took a share of its core.
    cores: float = 0.0
    #: The least CPU seconds of this process over the rounds: for runs in
    #: this process, steadier than the time when other programs share the cores.
    cpu: float = math.inf


def cpu_seconds() -> float:
    return time.process_time()  # this process's user and system time, finer than os.times()'s ticks


def busy_cores(seconds: float = 0.5) -> str:
    """The cores that the rest of the machine keeps busy while this process sleeps."""
    return machine.busy_cores(seconds)


def best_of(repeat: int, *runs: Callable[[], Any]) -> list[Timing]:
    """Each run's best time, the runs taking turns, so that a slower stretch
    of a shared machine hits them alike."""
    best = [Timing() for _ in runs]
    for _ in range(repeat):
        for i, run in enumerate(runs):
            cpu, started = cpu_seconds(), time.perf_counter()
            run()
            seconds = time.perf_counter() - started
            cpu = cpu_seconds() - cpu
            if seconds < best[i].seconds:
                best[i] = Timing(seconds, cpu / seconds, best[i].cpu)
            best[i].cpu = min(best[i].cpu, cpu)
    return best


def load() -> str:
    return (f"cores busy elsewhere {busy_cores()}, load average "
            + ", ".join(f"{value:.2f}" for value in os.getloadavg()) + f"; speed probe {machine.probe_ms():.1f} ms")


def report() -> None:
    births = demo.population(PEOPLE, SEED)
    lives = PEOPLE * len(demo.UNIVERSES)
    _, events = hand_loop(births, SEED, BLOCK_SIZE)
    print(f"\nDemo model, default run: {PEOPLE:,} people x {len(demo.UNIVERSES)} universes = {lives:,} lives "
          f"in blocks of {BLOCK_SIZE}, {events:,} events taken from the queues")
    print(f"  ({os.cpu_count()} cores; {load()})")

    # The program's first pool also starts the fork server that its workers come from.
    [cold] = best_of(1, lambda: model_run(births, workers=WORKERS))
    one, pool = best_of(3, lambda: model_run(births), lambda: model_run(births, workers=WORKERS))
    print(f"  one process:        {one.seconds:6.2f} s  {lives / one.seconds:>9,.0f} lives/s  "
          f"{events / one.seconds:>11,.0f} events/s  (this process busy {one.cores:.2f})")
    print(f"  {WORKERS} worker processes: {pool.seconds:6.2f} s  parallel efficiency "
          f"{one.seconds / (WORKERS * pool.seconds):.2f} (target 0.85), pool start-up included")
    print(f"    the program's first pool: {cold.seconds:.2f} s, efficiency {one.seconds / (WORKERS * cold.seconds):.2f} "
          "(starting the fork server too)")
    if one.cores < 0.9:
        print("  (the machine was busy: the one-process run had the use of less than 90% of a core)")
    dask_report(births, pool.seconds)
    print(f"  ({load()})")
    common_random_numbers_report(births)


def common_random_numbers_report(births: np.ndarray) -> None:
    """What common random numbers cost (the demo's time) and buy (the
    Monte Carlo standard error of the life-years gained by screening)."""
    print("\nCommon random numbers (the default) against common_random_numbers=False, demo model:")
    # Many short runs taking turns: the least CPU time of each is steadier on
    # a shared machine than the wall time of a few long runs.
    few, rounds = births[:COST_PEOPLE], 20
    common, independent = best_of(rounds, lambda: model_run(few), lambda: model_run(few, common_random_numbers=False))
    ratio = common.cpu / independent.cpu
    print(f"  time, {len(few):,} people, least CPU time of {rounds} runs each: {common.cpu:.3f} s with, "
          f"{independent.cpu:.3f} s without, ratio {ratio:.3f} (target at most 1.05){'  MISSED' * (ratio > 1.05)}")
    # The blocks are independent samples of the population, so the total's
    # variance is the number of blocks times the variance of a block's gain.
    print(f"  life-years gained by screening per 1,000 people, {PEOPLE:,} people, with the Monte Carlo "
          f"standard error from the spread of the {math.ceil(PEOPLE / BLOCK_SIZE)} blocks' gains:")
    errors = {}
    for common_random_numbers in (True, False):
        gained = gained_by_block(births, common_random_numbers) * 1000 / PEOPLE
        errors[common_random_numbers] = math.sqrt(len(gained)) * gained.std(ddof=1)
        print(f"    {'with' if common_random_numbers else 'without':8} {gained.sum():8.2f}  "
              f"standard error {errors[common_random_numbers]:6.2f}")
    print(f"    the standard error is {errors[False] / errors[True]:.1f} x larger without (target at least 3)")


def gained_by_block(births: np.ndarray, common_random_numbers: bool) -> np.ndarray:
    """The life-years gained by screening in each block of a default demo run."""
    defaults = {name: parameter.default for name, parameter in inspect.signature(tavlen.Model.run).parameters.items()
                if parameter.default is not inspect.Parameter.empty and name in inspect.signature(setup).parameters}
    run = setup(demo.model(), births, **{**defaults, **demo.RUN_OPTIONS, "seed": SEED, "block_size": BLOCK_SIZE,
                                         "common_random_numbers": common_random_numbers,
                                         "events_limit": tavlen.model.MAX_EVENTS_PER_LIFE})
    alive = run.configuration.duration_tags.index("alive")
    reference, screening = (demo.UNIVERSES.index(universe) for universe in ("reference", "screening"))
    gained = []
    for index, first, end in run.blocks():
        partial = simulate_block(run.configuration, index, first, slice_population(run.population, first, end))
        years = dense(partial.durations)[:, :, alive].sum(axis=(1, 2, 3))
        gained.append(years[screening] - years[reference])
    return np.array(gained)


def dask_report(births: np.ndarray, pool: float) -> None:
    try:
        import distributed
    except ImportError as error:
        print(f"  Dask: skipped, distributed does not import ({error})")
        return
    started = time.perf_counter()
    with distributed.LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as client:
        up = time.perf_counter() - started
        executor = client.get_executor()
        [first] = best_of(1, lambda: model_run(births, executor=executor))
        warm = min(first.seconds, best_of(2, lambda: model_run(births, executor=executor))[0].seconds)
        closing = time.perf_counter()
    total = up + first.seconds + time.perf_counter() - closing
    print(f"  Dask LocalCluster, {WORKERS} worker processes of one thread, through Client.get_executor():")
    print(f"    cluster running: {warm:6.2f} s, {warm / pool:.2f} x the process pool")
    print(f"    with its start-up and shutdown ({up:.2f} s to start): {total:6.2f} s, {total / pool:.2f} x the process pool")

"""What the size of the result grids costs a run: 100,000 people in 2
universes logging 20 event and 5 duration tags, with coarse grids and with
one-year ages by one-year calendar years (and 5 strata), in blocks of 1,000
and 10,000; and the bytes of the demo's partial results that one task ships
to the main process, as the cells the blocks changed and as whole arrays."""

from __future__ import annotations

import inspect
import pickle
from typing import Any

import numpy as np

import tavlen
import tavlen.model
from cases_endtoend import BLOCK_SIZE, SEED, best_of, load
from tavlen import demo, handles
from tavlen.cells import dense
from tavlen.configuration import setup, slice_population
from tavlen.execution import default_blocks_per_task
from tavlen.montecarlo import AGGREGATES
from tavlen.simulation import simulate_block

PEOPLE = 100_000
EVENT_TAGS = tuple(f"event {i}" for i in range(20))
DURATION_TAGS = tuple(f"duration {i}" for i in range(5))
COARSE = dict(event_ages=(0, 50), event_years=(2000,), duration_ages=(0, 50), duration_years=(2000,))
FINE = dict(event_ages=range(101), event_years=range(1950, 2101), duration_ages=range(101),
            duration_years=range(1950, 2101))


class Logging(tavlen.Process):
    """Ten events with random tags at random ages of a life, and five durations."""

    event_tags = EVENT_TAGS
    duration_tags = DURATION_TAGS
    random_number_generators = ("grid",)

    def start(self, individual: tavlen.Individual) -> None:
        draw = individual.random["grid"].random
        death = 60.0 + 40.0 * draw()
        tags = self.event_tags
        for _ in range(10):
            individual.add_to_queue_age(death * draw(), "event", tag=tags[int(len(tags) * draw())])
        individual.add_to_queue_age(death, "death", terminate=True)

    @handles("event")
    def event(self, individual: tavlen.Individual, tag: str) -> None:
        individual.log_event(tag)

    @handles("death")
    def death(self, individual: tavlen.Individual) -> None:
        age = individual.age
        tags = self.duration_tags
        for i, tag in enumerate(tags):
            individual.log_duration(tag, age * i / len(tags), age * (i + 1) / len(tags))


class PopulationLogging(Logging):
    """The outputs population modellers report: 50 event and 10 duration tags."""

    event_tags = tuple(f"event {i}" for i in range(50))
    duration_tags = tuple(f"duration {i}" for i in range(10))


def run_setup(model: tavlen.Model, births: np.ndarray, **options: object) -> Any:
    """The run that Model.run would set up with these options."""
    defaults = {name: parameter.default for name, parameter in inspect.signature(tavlen.Model.run).parameters.items()
                if parameter.default is not inspect.Parameter.empty and name in inspect.signature(setup).parameters}
    return setup(model, births, **{**defaults, "seed": SEED, "events_limit": tavlen.model.MAX_EVENTS_PER_LIFE,
                                   **options})


def population(strata: int) -> dict[str, np.ndarray]:
    return {"birth_years": np.random.default_rng(SEED).uniform(1950.0, 2000.0, PEOPLE),
            "strata": np.arange(PEOPLE, dtype=np.int16) % strata}


def grid_run(grids: dict[str, object], strata: int, block_size: int) -> None:
    tavlen.Model([Logging()]).run(**population(strata), universes=("a", "b"), seed=SEED, block_size=block_size,
                                  **grids)


def grid_bytes(grids: dict[str, object], strata: int) -> float:
    """The megabytes of a block's whole aggregates."""
    people = population(strata)
    run = run_setup(tavlen.Model([Logging()]), people.pop("birth_years"), **people, universes=("a", "b"),
                    block_size=1000, **grids)
    itemsize = {"events": 4, "durations": 8, "snapshots_ages": 4, "snapshots_years": 4, "discounted_events": 8,
                "discounted_durations": 8}
    return sum(int(np.prod(shape)) * itemsize[name] for name, shape in run.result_shapes().items()) / 1e6


def shipped_bytes() -> tuple[int, int]:
    """The pickled partial results of the demo's first task, as cells and as whole arrays."""
    run = run_setup(demo.model(), demo.population(20_000, SEED), **demo.RUN_OPTIONS, block_size=BLOCK_SIZE)
    blocks = run.blocks()
    per_task = default_blocks_per_task(len(blocks), run.result_shapes())
    partials = [simulate_block(run.configuration, index, first, slice_population(run.population, first, end))
                for index, first, end in blocks[:per_task]]
    whole = [{name: dense(getattr(partial, name)) for name in AGGREGATES} | {"individual": partial.individual}
             for partial in partials]
    return len(pickle.dumps(partials, protocol=5)), len(pickle.dumps(whole, protocol=5))


def report() -> None:
    print(f"\nResult grids: {PEOPLE:,} people x 2 universes, {len(EVENT_TAGS)} event and {len(DURATION_TAGS)} "
          f"duration tags, one process")
    print(f"  ({load()})")
    runs = {
        "coarse grids, blocks of 1,000": (COARSE, 1, 1000),
        "one-year grids, blocks of 1,000": (FINE, 1, 1000),
        "one-year grids, 5 strata, blocks of 1,000": (FINE, 5, 1000),
        "one-year grids, 5 strata, blocks of 10,000": (FINE, 5, 10_000),
    }
    timings = best_of(3, *(lambda options=options: grid_run(*options) for options in runs.values()))
    coarse = timings[0].seconds
    for (name, (grids, strata, _)), timing in zip(runs.items(), timings):
        ratio = timing.seconds / coarse
        target = "  (target at most 1.15)" + "  MISSED" * (ratio > 1.15) if strata == 5 and "1,000" in name else ""
        print(f"  {name:44s} {grid_bytes(grids, strata):6.1f} MB of arrays  {timing.seconds:6.2f} s  "
              f"{ratio:5.2f} x coarse{target}")
    cells, whole = shipped_bytes()
    print(f"  the demo's first task: {cells:,} bytes shipped as cells, {whole:,} as whole arrays "
          f"({cells / whole:.2f}; target at most 0.10)")
    print(f"  ({load()})")


def cases() -> list:
    return []

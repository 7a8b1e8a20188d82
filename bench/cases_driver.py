"""The driver's share of a run whose lives do almost nothing: Model.run
against a hand-written loop over the same native calls."""

from __future__ import annotations

import inspect
import pickle

import numpy as np

from harness import Case

import tavlen
import tavlen.model

PEOPLE = 2_000


class Tick(tavlen.Process):
    """Two events per life: one logged, one ending it."""

    event_tags = ("tick",)

    def start(self, individual):
        individual.add_to_queue(1.0, "tick")
        individual.add_to_queue(2.0, "end", terminate=True)

    @tavlen.handles("tick")
    def tick(self, individual):
        individual.log_event("tick")

    @tavlen.handles("end")
    def end(self, individual):
        pass


def namespace() -> dict:
    births = np.full(PEOPLE, 1950.0)
    model = tavlen.Model([Tick()])

    def by_hand():
        individual = tavlen.Individual(
            {"__birth__": births, "__stratum__": np.zeros(PEOPLE, np.int16)}, ["u"], [], ["tick"],
            np.array([np.inf]), np.array([np.inf]), [], np.array([np.inf]), np.array([np.inf]), [], 16,
            [], [], [], [], None, None, False, True)
        individual.next_block(0, {}, {})
        for _ in range(PEOPLE):
            individual.next_person()
            individual.next_universe()
            individual.add_to_queue(1.0, "tick")
            individual.add_to_queue(2.0, "end", terminate=True)
            while True:
                _, _, message, terminate, _ = individual.next_event()
                if message == "tick":
                    individual.log_event("tick")
                if terminate:
                    break
            individual.log_ongoing_durations()
        return individual.output_events()

    return {"run": lambda: model.run(births, seed=1, block_size=PEOPLE), "by_hand": by_hand}


def fresh_processes() -> dict:
    """A block's fresh copies of the demo's processes (the run's pickled
    configuration, loaded for every block) against simulating the block."""
    from tavlen import demo
    from tavlen.configuration import setup
    from tavlen.simulation import simulate_block

    people = demo.population(500, 1)
    defaults = {name: parameter.default for name, parameter in inspect.signature(tavlen.Model.run).parameters.items()
                if parameter.default is not inspect.Parameter.empty and name in inspect.signature(setup).parameters}
    run = setup(demo.model(), people, **{**defaults, **demo.RUN_OPTIONS, "seed": 1, "block_size": 500,
                                         "events_limit": tavlen.model.MAX_EVENTS_PER_LIFE})
    payload = pickle.dumps(run.configuration)
    return {"copies": lambda: pickle.loads(payload),
            "block": lambda: simulate_block(pickle.loads(payload), 0, 0, run.population)}


def cases() -> list[Case]:
    return [Case(f"driver: Model.run, {PEOPLE:,} two-event lives", "run()", "by_hand()", namespace, 2.0,
                 floor_name="same calls by hand", number=5),
            Case("driver: fresh processes for a block of 500 (demo)", "copies()", "block()", fresh_processes, 0.02,
                 floor_name="the block simulated", number=3)]

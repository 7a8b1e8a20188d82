"""The driver's share of a run: Model.run against a hand-written loop over
the same native calls, and the demo's throughput in one process and on two
worker processes."""

from __future__ import annotations

import time

import numpy as np

from harness import Case

import tavlen
from tavlen import demo

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


def cases() -> list[Case]:
    return [Case(f"driver: Model.run, {PEOPLE:,} two-event lives", "run()", "by_hand()", namespace, 2.0,
                 floor_name="same calls by hand", number=5)]


def report() -> None:
    print()
    print("Demo throughput (python -m tavlen's model, 2 universes, screening every 2 years from 50 to 74):")
    for workers in (None, 2):
        people = 100_000
        started = time.perf_counter()
        results = demo.run(people, seed=1, workers=workers)
        seconds = time.perf_counter() - started
        events = int(results.events.sum())
        where = "in this process" if workers is None else f"on {workers} worker processes"
        print(f"  {people:,} people {where}: {seconds:.2f} s, {people / seconds:,.0f} people/s, "
              f"{events / seconds:,.0f} logged events/s")

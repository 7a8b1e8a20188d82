"""A cycle model: the four-state Sick-Sicker microsimulation of the
decision-modelling tutorials (healthy, sick, sicker, dead; annual cycles from
age 25 to 100; two strategies, without and with a treatment that slows the
progression from sick to sicker), 100,000 people. Each cycle is one event
with one lean handler; the cycle events per second of tavlen in one process
are timed beside the same microsimulation vectorised over the people in
NumPy, as the tutorials write it: the reference a user would pick instead."""

from __future__ import annotations

import math

import numpy as np

from harness import Case

import tavlen
from tavlen import handles
from cases_endtoend import best_of, load

PEOPLE = 100_000
CYCLES = 75  # ages 25 to 100
START_AGE = 25.0
STRATEGIES = ("usual care", "treatment")
STATES = ("healthy", "sick", "sicker", "dead")
#: Annual transition probabilities, from each living state to each state.
P_HS1, P_S1H, P_S1S2, P_HD = 0.15, 0.5, 0.105, 0.005
RR_S1, RR_S2 = 3.0, 10.0  # mortality of the sick and the sicker, relative to the healthy
HR_S1S2_TREATMENT = 0.6  # the treatment's hazard ratio on the progression to sicker
SEED = 2024


def transition_rows(strategy: int) -> np.ndarray:
    """The transition matrix of a strategy: rows from-state, columns to-state."""
    p_s1d = 1 - math.exp(-RR_S1 * -math.log1p(-P_HD))
    p_s2d = 1 - math.exp(-RR_S2 * -math.log1p(-P_HD))
    p_s1s2 = P_S1S2 if strategy == 0 else 1 - math.exp(HR_S1S2_TREATMENT * math.log1p(-P_S1S2))
    return np.array([
        [1 - P_HS1 - P_HD, P_HS1, 0.0, P_HD],
        [P_S1H, 1 - P_S1H - p_s1s2 - p_s1d, p_s1s2, p_s1d],
        [0.0, 0.0, 1 - p_s2d, p_s2d],
        [0.0, 0.0, 0.0, 1.0],
    ])


class SickSicker(tavlen.Process):
    """One event per annual cycle: the person's state moves by its row of
    the strategy's transition matrix, and the state is counted."""

    event_tags = STATES
    random_number_generators = ("cycle",)

    def __init__(self) -> None:
        # Cumulative rows as tuples of floats: a lean handler compares
        # scalars without calling NumPy.
        self.rows = tuple(tuple(tuple(float(p) for p in np.cumsum(row)) for row in transition_rows(s))
                          for s in range(len(STRATEGIES)))

    def start(self, individual: tavlen.Individual) -> None:
        individual.memory["state"] = 0
        individual.add_to_queue_age(START_AGE + 1.0, "cycle")
        individual.add_to_queue_age(START_AGE + CYCLES + 0.5, "end", terminate=True)

    @handles("cycle")
    def cycle(self, individual: tavlen.Individual) -> None:
        memory = individual.memory
        row = self.rows[self.universe_index][memory["state"]]
        draw = individual.random["cycle"].random()
        state = 0
        while draw >= row[state] and state < 3:
            state += 1
        memory["state"] = state
        individual.log_event(STATES[state])
        if state != 3 and individual.age < START_AGE + CYCLES:
            individual.add_to_queue(1.0, "cycle")

    @handles("end")
    def end(self, individual: tavlen.Individual) -> None:
        pass


def run_tavlen() -> tavlen.Results:
    return tavlen.Model([SickSicker()]).run(
        np.full(PEOPLE, 2000.0 - START_AGE), universes=STRATEGIES, event_ages=(START_AGE,), seed=SEED,
        block_size=1000,
    )


def run_numpy() -> np.ndarray:
    """The same microsimulation vectorised over the people: the count of the
    people in each state after each cycle, by strategy."""
    generator = np.random.default_rng(SEED)
    trace = np.zeros((len(STRATEGIES), CYCLES, len(STATES)), dtype=np.int64)
    for strategy in range(len(STRATEGIES)):
        cumulative = np.cumsum(transition_rows(strategy), axis=1)
        state = np.zeros(PEOPLE, dtype=np.int64)
        for cycle in range(CYCLES):
            draw = generator.random(PEOPLE)
            state = (draw[:, None] >= cumulative[state]).sum(axis=1).clip(max=3)
            trace[strategy, cycle] = np.bincount(state, minlength=len(STATES))
    return trace


def cycle_events(results: tavlen.Results) -> int:
    return int(results.events.sum())


def cases() -> list[Case]:
    return []


def report() -> None:
    events = cycle_events(run_tavlen())
    print(f"\nCycle model (Sick-Sicker, {PEOPLE:,} people x {len(STRATEGIES)} strategies, {CYCLES} annual cycles): "
          f"{events:,} cycle events")
    print(f"  ({load()})")
    ours, arrays = best_of(3, run_tavlen, run_numpy)
    print(f"  tavlen, one process:     {ours.cpu:6.2f} s CPU  {events / ours.cpu:>11,.0f} cycle events/s "
          f"(target at least 2,000,000){'  MISSED' * (events / ours.cpu < 2e6)}")
    print(f"  vectorised NumPy:        {arrays.cpu:6.2f} s CPU  ({ours.cpu / arrays.cpu:.0f} x faster)")
    print(f"  ({load()})")

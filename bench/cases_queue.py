"""The event queue: every event of every life is scheduled once and taken
once. The floor is the same work done with plain Python objects: a 5-tuple
record with a computed due age, a 3-tuple entry with the negated priority,
an empty keyword dict, a dict insertion and deletion, heapq's push and pop."""

from __future__ import annotations

import heapq
import itertools
import os
import sys

from harness import Case

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests"))

from conftest import make  # noqa: E402

PLAIN = ("i = next(ids); kw = {}; due = delta + age; events[i] = (due, p, msg, False, kw); "
         "heappush(queue, (due, -p, i)); e = heappop(queue); r = events.pop(e[2])")


def namespace(pending: int = 0) -> dict:
    individual = make(snapshot_ages=[1e9], snapshot_years=[1e9])
    individual.next_block(0, {}, {})
    individual.next_person()
    individual.next_universe()
    individual.age = 30.0
    queue, events, ids = [], {}, itertools.count()
    # Events due later than every timed one: the timed event is pushed past
    # them and sifted back up to the root.
    for k in range(pending):
        individual.add_to_queue(1000.0 + k, "later", k % 3)
        i = next(ids)
        events[i] = (1030.0 + k, k % 3, "later", False, {})
        heapq.heappush(queue, (1030.0 + k, -(k % 3), i))
    return {"ind": individual, "delta": 2.5, "d": {"onset": 1}, "msg": "onset", "p": 1, "age": 30.0, "queue": queue,
            "events": events, "ids": ids, "heappush": heapq.heappush, "heappop": heapq.heappop}


def cases() -> list[Case]:
    stmt = "ind.add_to_queue(delta, msg, p); ind.next_event()"
    return [
        Case("add_to_queue(d, msg, p) then next_event()", stmt, PLAIN, namespace, 1.3,
             floor_name="plain Python"),
        Case("... with 63 events pending", stmt, PLAIN, lambda: namespace(63), 1.3,
             floor_name="plain Python"),
        Case("add_to_queue(d, msg, p) then remove_from_queue(i)",
             "ind.remove_from_queue(ind.add_to_queue(delta, msg, p))", "d.get(msg)", namespace, None,
             number=100_000),
    ]

"""Stepping through the population and reading the current person's
properties: once per person and life, and at every event that a process
handles."""

from __future__ import annotations

import os
import sys

import numpy as np

from harness import Case

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests"))

from conftest import make  # noqa: E402

NUMBER = 200_000


def namespace() -> dict:
    # One person and one universe for every call of a timing loop.
    persons = NUMBER + 1
    individual = make(
        properties={"__birth__": np.full(persons, 1950.0), "__stratum__": np.zeros(persons, dtype=np.int16),
                    "height": np.full(persons, 1.7)},
        universes=["only"])
    individual.next_block(0, {"risk": np.full(persons, 0.5)}, {})
    individual.next_person()
    individual.next_universe()
    return {"ind": individual, "d": {"height": 1.7}, "k": "height"}


def cases() -> list[Case]:
    floor = "d.get(k)"
    return [
        Case("properties(tag)", "ind.properties('height')", floor, namespace, 3.0, number=NUMBER),
        Case("properties_tmp(tag)", "ind.properties_tmp('risk')", floor, namespace, 3.0, number=NUMBER),
        Case("next_person() then next_universe()", "ind.next_person(); ind.next_universe()", floor,
             namespace, 6.0, number=NUMBER - 1),
    ]

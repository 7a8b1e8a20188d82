"""The counter-based generator Philox: a draw against a draw of
random.Random's Mersenne Twister, and the start of a stream, which the
driver makes for every generator of every life, against dict.get (its target
is absolute: at most 0.2 us) and against reseeding a random.Random."""

from __future__ import annotations

import random

from harness import Case

from tavlen.individual import Philox
from tavlen.streams import generator_key

NUMBER = 200_000


def namespace() -> dict:
    return {"g": Philox(generator_key(1, "onset")), "r": random.Random(1), "person": 123_456,
            "d": {"onset": 1}, "k": "onset"}


def cases() -> list[Case]:
    return [
        Case("philox: random()", "g.random()", "r.random()", namespace, 1.5,
             floor_name="random.Random", number=NUMBER),
        Case("philox: getrandbits(20)", "g.getrandbits(20)", "r.getrandbits(20)", namespace, None,
             floor_name="random.Random", number=NUMBER),
        Case("philox: gauss()", "g.gauss()", "r.gauss()", namespace, None,
             floor_name="random.Random", number=NUMBER),
        Case("philox: set_stream(person)", "g.set_stream(person)", "d.get(k)", namespace, None,
             number=NUMBER, target_ns=200.0),
        Case("philox: set_stream(person)", "g.set_stream(person)", "r.seed(person)", namespace, None,
             floor_name="Random.seed(person)", number=20_000),
    ]

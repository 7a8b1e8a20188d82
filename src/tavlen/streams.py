"""Keys of the counter-based generators (:class:`tavlen.individual.Philox`).

A run's generator named ``name`` takes the key ``generator_key(seed, name)``
once, and each life then starts its own stream with
``generator.set_stream(person)``. So a person's draws from a generator depend
only on the run's seed, the generator's name and the person, and are the same
in every universe of that person.

No two lives share draws:

* the same key with different persons: the person is the high half of
  Philox's 256-bit counter and the draws of a life advance its low half, so
  two persons' counters, and with them their output blocks, are never the
  same (Philox is a bijection of the counter for a given key) unless one
  life draws 2**130 numbers;
* different (seed, name): the key is a 128-bit BLAKE2b hash of an encoding
  that tells every (seed, name) apart, so two of them share a key with
  probability 2**-128; a hundred generators in each of a billion runs make
  about 10**22 pairs, which puts the chance of any shared key below 10**-16.
"""

from __future__ import annotations

import hashlib
import operator

__all__ = ["generator_key"]

_PERSONALISATION = b"tavlen.Philox"


def generator_key(seed: int, name: str) -> int:
    """The 128-bit key of the generator ``name`` in a run with ``seed``.

    ``seed`` is a non-negative int of any size (a run's seed has up to 128
    bits); ``name`` is a str. The seed's length comes first in the hashed
    bytes, so no (seed, name) pair encodes like another.
    """
    seed = operator.index(seed)
    if seed < 0:
        raise ValueError(f"seed must be a non-negative int, not {seed}")
    if not isinstance(name, str):
        raise TypeError(f"name must be a str, not {type(name).__name__}")
    seed_bytes = seed.to_bytes(max(1, (seed.bit_length() + 7) // 8), "little")
    digest = hashlib.blake2b(digest_size=16, person=_PERSONALISATION)
    digest.update(len(seed_bytes).to_bytes(8, "little"))
    digest.update(seed_bytes)
    digest.update(name.encode("utf-8"))
    return int.from_bytes(digest.digest(), "little")

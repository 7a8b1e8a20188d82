"""Which people each block of a run holds.

A run's Monte Carlo error comes from the spread of its sub-samples, which
are sums of whole blocks; it is honest only when every block is a sample of
the whole population, however the population is ordered (by birth year, by
stratum, by a property). Blocks of consecutive people are not: in a
population sorted by birth year each block would be one birth cohort, and
the error would read the cohorts' differences as noise.

So people are dealt. The population is cut into rounds of as many
consecutive people as the run has blocks, and every round deals one person
to each block, in an order of its own drawn from a fixed generator (the
last, shorter round deals to the first blocks). Every block thus holds one
person of each round: blocks of a sorted population are alike in make-up,
and an order that repeats with the number of blocks does not line up with
them. The dealing depends on the number of people and of blocks only, so
the models of a sweep share it, and a person's draws, which common random
numbers tie to the person, stay the same.
"""

from __future__ import annotations

import numpy as np

__all__ = ["block_sizes", "dealt_order"]

#: Keys the generator of the dealing: changing it changes every run's blocks.
_DEALING_KEY = 0x7461766C656E  # "tavlen"


def blocks_count(people_n: int, block_size: int) -> int:
    return -(-people_n // block_size)


def block_sizes(people_n: int, block_size: int) -> list[int]:
    """The number of people of each block: as even as can be, none above
    ``block_size``, the larger ones first."""
    blocks_n = blocks_count(people_n, block_size)
    if blocks_n == 0:
        return []
    rounds, rest = divmod(people_n, blocks_n)
    return [rounds + 1] * rest + [rounds] * (blocks_n - rest)


def dealt_order(people_n: int, block_size: int) -> np.ndarray:
    """The population's indices (uint32: a run has fewer than 2**32 people)
    in the order the run simulates them: the people of block 0, then of
    block 1, ..., each block's in ascending order."""
    blocks_n = blocks_count(people_n, block_size)
    if blocks_n <= 1:
        return np.arange(people_n, dtype=np.uint32)
    rounds, rest = divmod(people_n, blocks_n)
    generator = np.random.Generator(np.random.PCG64(np.random.SeedSequence([_DEALING_KEY, people_n, blocks_n])))
    # seats[b, k]: block b's person of round k, or _EMPTY where the last
    # round has none for it. Four bytes a person, and twice that while
    # the rounds are drawn.
    seats = np.full((blocks_n, rounds + 1), _EMPTY, dtype=np.uint32)
    drawn = generator.permuted(np.tile(np.arange(blocks_n, dtype=np.uint32), (rounds, 1)), axis=1)
    drawn += (np.arange(rounds, dtype=np.uint32) * np.uint32(blocks_n))[:, None]
    seats[:, :rounds] = drawn.T
    del drawn
    seats[:rest, rounds] = rounds * blocks_n + generator.permutation(rest)
    return seats[seats != _EMPTY]


#: No one: a seat of the last round that no person takes.
_EMPTY = np.uint32(2**32 - 1)

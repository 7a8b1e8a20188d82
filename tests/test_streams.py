"""The keys of a run's generators: one per seed and name, never shared."""

import numpy as np
import pytest

from tavlen.streams import generator_key


def test_generator_keys_tell_seeds_and_names_apart():
    pairs = [(0, ""), (0, "a"), (1, ""), (1, "a"), (256, ""), (1, "\x00a"), (0, "\x01a"), (2**128 - 1, "onset"),
             (2**200, "onset")]
    keys = [generator_key(seed, name) for seed, name in pairs]
    assert len(set(keys)) == len(pairs) and all(0 <= key < 2**128 for key in keys)
    assert generator_key(np.int64(7), "onset") == generator_key(7, "onset")


@pytest.mark.parametrize("seed, name, error", [(-1, "a", ValueError), (1.5, "a", TypeError), (1, b"a", TypeError)])
def test_generator_key_refuses(seed, name, error):
    with pytest.raises(error):
        generator_key(seed, name)


def test_generator_keys_stay_the_same():
    # A run's draws, and the checkpoints that keep them, depend on these keys.
    assert generator_key(1, "onset") == 0x8090EA222063786F6CD4E8B80A824C4C
    assert generator_key(2**127 + 3, "oc") == 0xBD45E2337FDCBC435DCCBE3197E24616

"""Philox, the counter-based generator: its outputs against NumPy's
Philox4x64-10, the distributions of random.Random drawn from it, its state,
its streams, and the statistical quality of draws across streams."""

import copy
import fractions
import inspect
import math
import pickle
import random
import re
import sys

import numpy as np
import pytest

from tavlen.individual import Philox
from tavlen.streams import generator_key

MASK64 = 2**64 - 1
TOP = 2**128 - 1


def reference(key, stream=0):
    """NumPy's Philox4x64-10 at the start of a stream of ours."""
    return np.random.Philox(key=key, counter=stream << 128)


def started(key, stream=0):
    generator = Philox(key)
    generator.set_stream(stream)
    return generator


# --- Outputs against the reference ------------------------------------------------------


@pytest.mark.parametrize("key, stream", [
    (0, 0), (1, 0), (5, 3), (TOP, 0), (0, TOP), (2**64, 2**64 - 1), (0x0123456789ABCDEF_FEDCBA9876543210, 987654321),
])
def test_outputs_are_philox4x64_10(key, stream):
    generator = started(key, stream)
    raw = reference(key, stream).random_raw(21)
    assert [generator.getrandbits(64) for _ in range(21)] == raw.tolist()
    generator.set_stream(stream)
    floats = np.random.Generator(reference(key, stream)).random(9)
    assert [generator.random() for _ in range(9)] == floats.tolist()


def test_state_follows_the_reference_state():
    generator = Philox(77)
    for draws in (0, 1, 3, 4, 9):
        generator.set_stream(12)
        numpy = reference(77, 12)
        for _ in range(draws):
            assert generator.getrandbits(64) == int(numpy.random_raw())
        expected = numpy.state
        _, words, _ = generator.getstate()
        assert list(words[:2]) == expected["state"]["key"].tolist()
        assert list(words[2:6]) == expected["state"]["counter"].tolist()
        assert words[10] == expected["buffer_pos"]
        if words[10] < 4:
            assert list(words[6:10]) == expected["buffer"].tolist()


def test_counter_carries_across_words():
    generator = Philox(3)
    start = [MASK64 - 1, MASK64, 7, 0]  # two blocks before the low half wraps
    generator.setstate(("Philox4x64-10", (3, 0, *start, 0, 0, 0, 0, 4), None))
    numpy = np.random.Philox(key=3, counter=sum(word << (64 * i) for i, word in enumerate(start)))
    assert [generator.getrandbits(64) for _ in range(12)] == numpy.random_raw(12).tolist()
    assert generator.getstate()[1][2:6] == (1, 0, 8, 0)


@pytest.mark.parametrize("k", [1, 7, 32, 53, 63, 64, 65, 128, 129, 200, 640])
def test_getrandbits_takes_top_bits_of_whole_outputs(k):
    words = (k + 63) // 64
    raw = reference(11, 4).random_raw(words).tolist()
    expected = sum(word << (64 * i) for i, word in enumerate(raw[:-1])) | (raw[-1] >> (64 * words - k)) << (
        64 * (words - 1))
    generator = started(11, 4)
    assert generator.getrandbits(k) == expected
    assert generator.getrandbits(64) == int(reference(11, 4).random_raw(words + 1)[-1])


def test_getrandbits_zero_draws_nothing():
    generator = started(2)
    assert generator.getrandbits(0) == 0
    assert generator.getrandbits(64) == int(reference(2).random_raw())


# --- random.Random's distributions ----------------------------------------------------------

DISTRIBUTIONS = {
    "random": lambda g: g.random(),
    "uniform": lambda g: g.uniform(2.0, 3.0),
    "gauss": lambda g: [g.gauss(1.0, 2.0) for _ in range(3)],
    "normalvariate": lambda g: g.normalvariate(0.0, 1.0),
    "expovariate": lambda g: g.expovariate(0.5),
    "gammavariate": lambda g: g.gammavariate(2.5, 1.0),
    "betavariate": lambda g: g.betavariate(2.0, 3.0),
    "binomialvariate": lambda g: g.binomialvariate(50, 0.3),
    "randrange": lambda g: g.randrange(10, 2**100, 7),
    "randint": lambda g: g.randint(-5, 5),
    "choice": lambda g: g.choice("abcdefg"),
    "choices": lambda g: g.choices(range(10), weights=range(10), k=5),
    "shuffle": lambda g: (lambda x: (g.shuffle(x), x)[1])(list(range(20))),
    "sample": lambda g: g.sample(range(1000), 10),
    "randbytes": lambda g: g.randbytes(13),
}


@pytest.mark.parametrize("name", DISTRIBUTIONS)
def test_distributions_draw_reproducibly(name):
    draw = DISTRIBUTIONS[name]
    first = draw(started(9, 1))
    assert draw(started(9, 1)) == first
    assert draw(started(9, 2)) != first


def test_distributions_have_their_moments():
    generator = started(123, 5)
    n = 20_000
    for values, mean, sd in [
        ([generator.random() for _ in range(n)], 0.5, math.sqrt(1 / 12)),
        ([generator.gauss(3.0, 2.0) for _ in range(n)], 3.0, 2.0),
        ([generator.expovariate(0.5) for _ in range(n)], 2.0, 2.0),
        ([generator.randrange(6) for _ in range(n)], 2.5, math.sqrt(35 / 12)),
    ]:
        assert abs(sum(values) / n - mean) < 4 * sd / math.sqrt(n)


class FixedDraw(Philox):
    def random(self):
        return 0.25


@pytest.mark.parametrize("cls", [Philox, type("Sub", (Philox,), {}), FixedDraw])
@pytest.mark.parametrize("lambd", [(), (1.0,), (0.37,), (-2.0,), (3,), (True,), (np.float64(0.5),),
                                   (fractions.Fraction(1, 3),), (0.0,), (0,), ("x",)])
def test_expovariate_is_random_randoms_bit_for_bit(cls, lambd):
    # Natively drawn, yet every value, type, sign of zero and error of
    # random.Random's own method, from the same draws.
    ours, theirs = cls(11), cls(11)
    for _ in range(300):
        try:
            expected = random.Random.expovariate(theirs, *lambd)
        except (TypeError, ZeroDivisionError) as error:
            with pytest.raises(type(error), match=re.escape(str(error))):
                ours.expovariate(*lambd)
            break
        value = ours.expovariate(*lambd)
        assert (type(value), value, math.copysign(1, value)) == (type(expected), expected, math.copysign(1, expected))
    assert ours.getstate() == theirs.getstate()


def test_is_a_random_random_that_subclasses_extend():
    class Sub(Philox):
        def seed(self, a=None):
            super().seed(None if a is None else a * 2)

    assert isinstance(Philox(), random.Random)
    assert Sub(4).getrandbits(64) == Philox(8).getrandbits(64)
    assert Sub._randbelow is random.Random._randbelow_with_getrandbits
    generator = Philox(1)
    generator.label = "onset"  # instances take attributes, as random.Random's do
    assert vars(generator) == {"label": "onset"}


def test_introspection():
    assert str(inspect.signature(Philox)) == "(seed=None)"
    assert str(inspect.signature(Philox.set_stream)) == "(self, /, stream)"
    assert str(inspect.signature(Philox.getrandbits)) == "(self, /, k)"
    assert Philox.random.__qualname__ == "Philox.random"
    assert Philox.__module__ == "tavlen.individual"


# --- Keys, streams and state ------------------------------------------------------------------


def test_seed_sets_the_key_and_starts_stream_zero():
    generator = started(5, 8)
    generator.gauss()
    generator.seed(6)
    assert generator.gauss_next is None
    assert generator.getrandbits(64) == int(reference(6).random_raw())
    assert Philox(seed=6).getstate() == Philox(6).getstate()
    assert Philox(np.uint64(6)).getstate() == Philox(6).getstate()


def test_seed_none_draws_a_fresh_key():
    keys = {Philox().getstate()[1][:2] for _ in range(4)} | {Philox(None).getstate()[1][:2]}
    assert len(keys) == 5


def test_set_stream_forgets_everything_drawn():
    fresh = started(21, 1000)
    expected = [fresh.gauss(), fresh.gauss(), fresh.random(), fresh.getrandbits(100)]
    generator = started(21, 3)
    for history in (lambda: None, generator.gauss, lambda: generator.getrandbits(3), generator.random):
        history()
        generator.set_stream(1000)
        assert generator.gauss_next is None
        assert [generator.gauss(), generator.gauss(), generator.random(), generator.getrandbits(100)] == expected
    generator.set_stream(np.int64(1000))
    assert generator.gauss() == expected[0]


@pytest.mark.parametrize("person", [123_456, 2**40 + 1, 2**127 + 5])
def test_set_stream_allocates_nothing(person):
    generator = Philox(1)
    generator.set_stream(person)
    before = sys.getallocatedblocks()
    for _ in range(1000):
        generator.set_stream(person)
    assert sys.getallocatedblocks() == before


def test_state_round_trips():
    generator = started(2**100 + 3, 41)
    generator.getrandbits(64)
    generator.gauss()
    state = generator.getstate()
    assert state[0] == "Philox4x64-10" and isinstance(state[2], float)
    clones = [pickle.loads(pickle.dumps(generator)), copy.copy(generator), copy.deepcopy(generator)]
    expected = [generator.gauss(), generator.random(), generator.getrandbits(70)]
    for clone in clones:
        assert type(clone) is Philox and clone.getstate() == state
        assert [clone.gauss(), clone.random(), clone.getrandbits(70)] == expected
    generator.setstate(list(state))  # as a JSON round trip gives it
    assert generator.getstate() == state


def test_gauss_next_attribute():
    generator = Philox(1)
    generator.gauss_next = 2
    assert generator.gauss_next == 2.0 and generator.gauss() == 2.0 and generator.gauss_next is None
    generator.gauss_next = 1.5
    del generator.gauss_next
    assert generator.gauss_next is None
    with pytest.raises(TypeError):
        generator.gauss_next = "1.5"


STATE = ("Philox4x64-10", (1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 2), None)

BAD_CALLS = [
    ("set_stream", (-1,), ValueError, "stream must be an int from 0 to 2**128 - 1"),
    ("set_stream", (2**128,), ValueError, "stream must be an int from 0 to 2**128 - 1"),
    ("set_stream", (1.0,), TypeError, "'float' object cannot be interpreted as an integer"),
    ("set_stream", ("1",), TypeError, "'str' object cannot be interpreted as an integer"),
    ("set_stream", (), TypeError, "set_stream() takes exactly 1 positional argument (0 given)"),
    ("set_stream", (1, 2), TypeError, "set_stream() takes exactly 1 positional argument (2 given)"),
    ("getrandbits", (-1,), ValueError, "number of bits must be non-negative"),
    ("getrandbits", (2**64,), OverflowError, ""),
    ("getrandbits", (1.5,), TypeError, "'float' object cannot be interpreted as an integer"),
    ("seed", (-1,), ValueError, "Philox seed must be an int from 0 to 2**128 - 1"),
    ("seed", (2**128,), ValueError, "Philox seed must be an int from 0 to 2**128 - 1"),
    ("seed", ("onset",), TypeError, "Philox seed must be None or an int, not str"),
    ("seed", (1.0,), TypeError, "Philox seed must be None or an int, not float"),
    ("random", (1,), TypeError, "random() takes exactly 0 positional arguments (1 given)"),
    ("setstate", (random.Random(1).getstate(),), ValueError,
     "state with version 3 passed to Philox.setstate() of version 'Philox4x64-10'"),
    ("setstate", (None,), TypeError, "Philox state must be a tuple, not NoneType"),
    ("setstate", (STATE[:2],), ValueError, "Philox state must have 3 items, not 2"),
    ("setstate", ((STATE[0], STATE[1][:10], None),), ValueError, "Philox internal state must have 11 items, not 10"),
    ("setstate", ((STATE[0], STATE[1][:9] + (2**64, 2), None),), ValueError,
     "Philox state words must be from 0 to 2**64 - 1"),
    ("setstate", ((STATE[0], (-1,) + STATE[1][1:], None),), ValueError,
     "Philox state words must be from 0 to 2**64 - 1"),
    ("setstate", ((STATE[0], STATE[1][:10] + (5,), None),), ValueError,
     "Philox buffer position must be from 0 to 4"),
    ("setstate", ((STATE[0], STATE[1][:10] + (2.0,), None),), TypeError,
     "Philox state words must be ints, not float"),
    ("setstate", ((STATE[0], STATE[1], "spare"),), TypeError, "must be real number, not str"),
]


@pytest.mark.parametrize("method, arguments, error, message", BAD_CALLS)
def test_bad_arguments_leave_the_generator_as_it_was(method, arguments, error, message):
    generator = Philox(5)
    generator.setstate(STATE)
    with pytest.raises(error) as raised:
        getattr(generator, method)(*arguments)
    assert message in str(raised.value)
    assert generator.getstate() == STATE


@pytest.mark.parametrize("arguments, keywords", [((1, 2), {}), ((), {"key": 1}), ((1,), {"seed": 1})])
def test_bad_construction(arguments, keywords):
    with pytest.raises(TypeError):
        Philox(*arguments, **keywords)


def test_methods_refuse_other_instances():
    with pytest.raises(TypeError, match="doesn't apply to a 'Random' object"):
        Philox.set_stream(random.Random(), 1)


# --- Statistics across streams --------------------------------------------------------------

# The chi-square statistic of 99 degrees of freedom stays below 148.2 with
# probability 0.999; the keys and streams are fixed, so the test is too.
CRITICAL_99 = 148.2


def chi_square(counts):
    expected = counts.sum() / counts.size
    return float(((counts - expected) ** 2 / expected).sum())


def first_draws(key, streams, per_stream):
    generator = Philox(key)
    draws = np.empty((streams, per_stream))
    for person in range(streams):
        generator.set_stream(person)
        draws[person] = [generator.random() for _ in range(per_stream)]
    return draws


@pytest.mark.parametrize("key", [0, generator_key(1, "onset")])
def test_draws_across_streams_are_uniform_and_independent(key):
    draws = first_draws(key, 5000, 2)
    # Each person's first draw across the 5,000 streams.
    assert chi_square(np.bincount((draws[:, 0] * 100).astype(int), minlength=100)) < CRITICAL_99
    # A person's two first draws, as pairs in a 10 x 10 grid.
    cells = (draws[:, 0] * 10).astype(int) * 10 + (draws[:, 1] * 10).astype(int)
    assert chi_square(np.bincount(cells, minlength=100)) < CRITICAL_99
    # Neighbouring persons' first draws, likewise.
    cells = (draws[:-1, 0] * 10).astype(int) * 10 + (draws[1:, 0] * 10).astype(int)
    assert chi_square(np.bincount(cells, minlength=100)) < CRITICAL_99


def test_consecutive_draws_of_one_stream_are_independent():
    generator = started(generator_key(1, "onset"), 7)
    draws = np.array([generator.random() for _ in range(10_001)])
    cells = (draws[:-1] * 10).astype(int) * 10 + (draws[1:] * 10).astype(int)
    assert chi_square(np.bincount(cells, minlength=100)) < CRITICAL_99

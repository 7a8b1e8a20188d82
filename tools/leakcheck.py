"""Reference-leak check for tavlen.individual.

Runs each group of calls (success and failure paths alike) in rounds, the way
CPython's own ``-R`` option does, and compares the later rounds:

* the refcount of every object a group passes in or gets back (tags,
  messages, keyword data, arrays, snapshot functions and what they return)
  must come back to where it was;
* ``sys.getallocatedblocks()`` must not grow with the number of calls;
* ``sys.gettotalrefcount()`` (debug interpreters only) must not grow either,
  but only for groups that stay out of NumPy: NumPy is built for the release
  interpreter and moves the total by itself.

A measure reports a leak only when it grows in every measured round (or, for
watched objects, shrinks in every round, which is an over-release), so a
one-off cache fill does not count while a leak of one reference per call,
multiplied by the calls of a round, always does.

    python3.14-dbg tools/leakcheck.py [-v] [NAME-SUBSTRING ...]

Exit status 0 when clean, 1 when a group leaks or fails.
"""

from __future__ import annotations

import argparse
import copy
import gc
import pathlib
import sys
import warnings
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

# The checkout's package, ahead of any installed one.
sys.path.insert(1, str(pathlib.Path(__file__).resolve().parents[1]))
from tavlen.individual import (  # noqa: E402
    Individual, Philox, __pyx_unpickle_Individual, add_cells, record_changes, renew_population, run_lives,
    take_changes)

WARMUPS = 3
ROUNDS = 4
BATCH = 8


class GroupError(Exception):
    """A group did not behave as it expects (a call that should fail passed)."""


class NotImplementedYet(Exception):
    """A method the group needs is still a placeholder."""


def fails(exception, function, *args, **kwargs):
    """Calls function and requires it to raise exception."""
    try:
        function(*args, **kwargs)
    except NotImplementedError as error:
        if "not implemented yet" in str(error):
            raise NotImplementedYet(str(error)) from None
        if not issubclass(NotImplementedError, exception):
            raise
        return
    except exception:
        return
    raise GroupError(f"{getattr(function, '__qualname__', function)}{args} did not raise {exception.__name__}")


def text(value: str) -> str:
    """A str equal to value but not interned (interned strings are immortal)."""
    assert len(value) > 1, "one-character strings are shared singletons"
    return "".join([value[:1], value[1:]])


def real(value: float) -> float:
    """A new float object (the literal would be a shared constant)."""
    return float(repr(float(value)))


# --- The run configuration ---------------------------------------------------------------


def configuration(**overrides):
    arguments = dict(
        properties={
            "__birth__": np.array([1950.0, 1960.5, 1970.0, 1985.0]),
            "__stratum__": np.array([0, 1, 1, 0], dtype=np.int16),
            text("height"): [real(1.7), real(1.8), real(1.6), real(1.9)],
        },
        universes=[text("baseline"), text("intervention")],
        random_number_generators=[text("onset"), text("screening")],
        event_tags=[text("birth"), text("onset"), text("death")],
        event_ages=np.array([20.0, 40.0, 60.0, np.inf]),
        event_years=np.array([2000.0, np.inf]),
        duration_tags=[text("alive"), text("ill")],
        duration_ages=np.array([50.0, np.inf]),
        duration_years=np.array([1990.0, 2010.0, np.inf]),
        event_individual_tags=[text("onset"), text("death")],
        individual_block_size=4096,
        snapshot_tags=[text("ill"), text("well")],
        snapshot_ages=[10.0, 20.5, 30.0],
        snapshot_years=[1990.0, 2000.0],
        snapshot_functions=[lambda individual: None],
        n_stratum_hops=3,
        preserve_stratum=None,
        log_events_individual=True,
        verify_tags=True,
    )
    arguments.update(overrides)
    return arguments


def state_of(individual) -> tuple:
    reduced = individual.__reduce__()
    return reduced[2] if len(reduced) == 3 else reduced[1][2]


FIELDS = sorted(
    """_birth _event_idx _events _log_duration_ages _log_duration_ages_n _log_duration_tags
    _log_duration_tags_idx _log_duration_tags_n _log_duration_years _log_duration_years_n
    _log_durations _log_event_ages _log_event_ages_n _log_event_individual_age
    _log_event_individual_age_current_block _log_event_individual_block_size
    _log_event_individual_element _log_event_individual_element_current_block
    _log_event_individual_entry_idx _log_event_individual_individual
    _log_event_individual_individual_current_block _log_event_individual_tag
    _log_event_individual_tag_current_block _log_event_individual_tags
    _log_event_individual_tags_idx _log_event_individual_universe
    _log_event_individual_universe_current_block _log_event_tags _log_event_tags_idx
    _log_event_tags_n _log_event_years _log_event_years_n _log_events _log_events_individual
    _ongoing_durations _person _person_birth _person_block _person_stratum
    _person_stratum_hops_ages _person_stratum_hops_n _person_stratum_hops_strata
    _preserve_dynamic _preserve_final _preserve_stratum_setting _properties _properties_tmp
    _queue _snapshot_age_idx _snapshot_ages _snapshot_ages_do _snapshot_ages_n
    _snapshot_functions _snapshot_next_age _snapshot_next_age_years _snapshot_tags
    _snapshot_tags_idx _snapshot_tags_n _snapshot_year_idx _snapshot_years _snapshot_years_do
    _snapshot_years_n _snapshots_ages _snapshots_years _stratum _stratum_hops_do _stratum_n
    _universe _universe_n age memory random verify_tags""".split()
)
POSITION = {name: i for i, name in enumerate(FIELDS)}
BLOCK_LISTS = [f"_log_event_individual_{column}" for column in ("universe", "individual", "element", "age", "tag")]


def with_items(state: tuple, **changes) -> tuple:
    items = list(state)
    for name, value in changes.items():
        items[POSITION[name]] = value
    return tuple(items)


class Life:
    """An individual stepped into a person's first life, and a reset to that
    point that gives it fresh containers (the state's own are mutated by use)."""

    def __init__(self, cls=Individual, **overrides):
        self.individual = cls(**configuration(**overrides))
        self.individual.next_block(1, {text("dose"): [real(0.5), real(0.25), real(0.125)]}, {})
        self.individual.next_person()
        self.state = state_of(self.individual)

    def reset(self):
        state = self.state
        blocks = {name: list(state[POSITION[name]]) for name in BLOCK_LISTS}
        self.individual.__setstate__(with_items(state, **blocks))
        self.individual.next_universe()
        return self.individual


# --- Groups ---------------------------------------------------------------------------


@dataclass
class Group:
    name: str
    setup: Callable[[], tuple[Callable[[], None], list]]  # -> (one batch, watched objects)
    numpy: bool = False  # the batch calls into NumPy: the total refcount is not compared


GROUPS: list[Group] = []


def group(numpy=False):
    def register(setup):
        GROUPS.append(Group(setup.__name__, setup, numpy))
        return setup

    return register


@group()
def attributes():
    individual = Individual(**configuration())
    memory, generators, age = {text("key"): real(1.0)}, {}, real(3.5)

    def batch():
        individual.age = age
        individual.age = 7
        assert individual.age == 7.0 and isinstance(individual.year, float)
        fails(TypeError, setattr, individual, "age", text("old"))
        fails(NotImplementedError, delattr, individual, "age")
        fails(AttributeError, setattr, individual, "year", age)
        fails(AttributeError, delattr, individual, "year")
        for name, value in (("memory", memory), ("random", generators)):
            saved = getattr(individual, name)
            setattr(individual, name, value)
            assert getattr(individual, name) is value
            fails(TypeError, setattr, individual, name, [value])
            delattr(individual, name)
            setattr(individual, name, saved)

    return batch, [individual, memory, generators, age]


@group(numpy=True)
def construction():
    arguments = configuration(snapshot_functions=[lambda individual: None, lambda individual: None])
    bad = [
        {"properties": []},
        {"universes": (text("universe"),)},
        {"event_tags": text("birth")},
        {"individual_block_size": text("four")},
        {"n_stratum_hops": text("one")},
        {"preserve_stratum": 3},
        {"snapshot_functions": None},
        {"properties": {"__stratum__": arguments["properties"]["__stratum__"]}},
        {"event_ages": np.zeros(3, dtype=np.int32)},
        {"event_ages": np.zeros((2, 2))},
        {"log_events_individual": Unbooleable()},
    ]
    bad = [dict(arguments, **change) for change in bad]
    objects = list(arguments.values())
    objects += [value for change in bad for value in change.values()]

    def batch():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            individual = Individual(**arguments)
            individual.__init__(**arguments)  # construction again replaces every field
            for arguments_ in bad:
                fails((TypeError, ValueError, KeyError, OverflowError), Individual, **arguments_)
                # A construction that fails half-way through an object built before.
                fails((TypeError, ValueError, KeyError, OverflowError), individual.__init__, **arguments_)
        fails(TypeError, Individual, *arguments.values(), None)
        fails(TypeError, Individual, unexpected=1, **arguments)
        fails(TypeError, Individual)
        Individual.__new__(Individual, 1, key=2)

    return batch, objects


class Unbooleable:
    def __bool__(self):
        raise ValueError("no truth value")


class Subclass(Individual):
    pass


@group()
def pickling():
    individual = Individual(**configuration())
    state = state_of(individual)
    attributes = {text("label"): text("value")}
    derived = Subclass(**configuration())
    derived.__dict__.update(attributes)
    readonly = memoryview(bytes(8)).cast("d")
    wrong = [
        with_items(state, _preserve_stratum_setting=3),
        with_items(state, _events=[]),
        with_items(state, _person=2**40),
        with_items(state, _stratum_n=real(1.5)),
        with_items(state, _birth=memoryview(bytearray(8)).cast("B")),
        with_items(state, _log_events=state[POSITION["_birth"]]),
        with_items(state, _birth=readonly),
        with_items(state, age=text("old")),
        with_items(state, verify_tags=Unbooleable()),
        state[:40],
        state + ({text("extra"): 1},),
    ]
    blank = Individual.__new__(Individual)

    def batch():
        individual.__setstate__(state)
        individual.__setstate__(state + ({},))
        reduced = individual.__reduce__()
        clone = __pyx_unpickle_Individual(*reduced[1])
        clone.__setstate__(reduced[2])
        copy.copy(individual)
        copy.copy(derived)
        fails(TypeError, copy.deepcopy, individual)
        for bad in wrong:
            fails((TypeError, ValueError, BufferError, OverflowError, IndexError, AttributeError),
                  individual.__setstate__, bad)
        individual.__setstate__(state)
        fails(TypeError, individual.__setstate__, list(state))
        fails(TypeError, individual.__setstate__, None)
        fails(TypeError, individual.__setstate__)
        fails(AttributeError, blank.__reduce__)
        fails(Exception, __pyx_unpickle_Individual, Individual, 0x1234, None)
        fails(TypeError, __pyx_unpickle_Individual, Individual, 0x43FECE, [])
        fails(TypeError, __pyx_unpickle_Individual, int, 0x43FECE, state)
        fails(IndexError, __pyx_unpickle_Individual, Individual, 0x43FECE, state[:5])
        __pyx_unpickle_Individual(Individual, 0x43FECE, None)
        __pyx_unpickle_Individual(Subclass, 0x9955CC3, state + (attributes,))

    return batch, [individual, derived, attributes, readonly, *state, *wrong]


@group(numpy=True)
def output():
    life = Life(individual_block_size=2)
    individual = life.reset()
    tags = [text("onset"), text("death")]
    individual.log_event_individual(tags[0])
    individual.log_event_individual(tags[1], real(3.0), 7)
    individual.log_event_individual(tags[0])
    state = state_of(individual)
    broken = Individual.__new__(Individual)
    broken.__setstate__(with_items(state, _log_events=None, _log_event_individual_tag=None,
                                   _log_event_individual_age=[]))

    def batch():
        for method in (individual.output_events, individual.output_durations,
                       individual.output_snapshots_ages, individual.output_snapshots_years):
            method()
            fails(TypeError, method, 1)
        individual.output_events_individual()
        fails(TypeError, individual.output_events_individual, key=1)
        fails(TypeError, broken.output_events)
        fails((TypeError, IndexError), broken.output_events_individual)
        fails(AttributeError, Individual.__new__(Individual).output_durations)

    return batch, [individual, broken, *tags, *state]


@group()
def stepping():
    individual = Individual(**configuration())
    dose = {text("dose"): [real(0.5), real(0.25)]}
    seeds = {text("onset"): 12345678901234567890, text("screening"): text("seed")}
    unknown_seed = {text("nowhere"): 3}
    height = text("height")

    def batch():
        individual.next_block(0, dose, seeds)
        individual.next_person()
        individual.next_universe()
        individual.next_universe()
        assert individual.properties(height) is not None
        assert individual.properties_tmp(text("dose")) == 0.5
        fails(KeyError, individual.properties, text("weight"))
        fails(TypeError, individual.properties, 3)
        fails(KeyError, individual.properties_tmp, height)
        individual.next_block(real(2.0), dose, {})
        individual.next_person()
        fails(KeyError, individual.next_block, 0, dose, unknown_seed)
        fails(TypeError, individual.next_block, text("zero"), dose, seeds)
        fails(TypeError, individual.next_block, 0, [], seeds)
        fails(OverflowError, individual.next_block, -(2**31), dose, seeds)
        fails(TypeError, individual.next_person, 1)
        fails(TypeError, individual.next_universe, key=1)
        generators = individual.random
        individual.random = None
        fails(TypeError, individual.next_block, 0, dose, seeds)
        individual.random = generators

    return batch, [individual, dose, seeds, unknown_seed, height, *seeds, *dose.values()]


@group()
def queue():
    life = Life()
    namespace = vars(sys.modules[Individual.__module__])
    message, other = text("onset"), text("death")
    payload = {text("lesion"): [real(1.0)], text("site"): text("colon")}
    payload_age = {"age": real(1.0)}

    def batch():
        individual = life.reset()
        first = individual.add_to_queue(real(2.5), message, 3, 1, **payload)
        individual.add_to_queue_age(real(4.0), other, priority=real(2.9))
        individual.add_to_queue_year(individual.year + 6.0, message, -1, False)
        moved = individual.move_in_queue(first, real(0.5))
        individual.move_in_queue_age(moved, real(5.0))
        late = individual.add_to_queue(real(30.0), other)
        individual.move_in_queue_year(late, individual.year + 31.0)
        individual.remove_from_queue(late)
        individual.remove_from_queue(10**30)
        individual.remove_from_queue_message(other)
        odd = individual.add_to_queue(real(1.0), message, **payload_age)
        fails(TypeError, individual.move_in_queue, odd, real(1.0))
        individual.remove_from_queue(odd)  # a failed move may keep the event
        fails(KeyError, individual.move_in_queue, odd, real(1.0))
        fails(KeyError, individual.move_in_queue_age, 10**30, real(1.0))
        fails(TypeError, individual.add_to_queue, real(1.0), [message])
        fails(TypeError, individual.add_to_queue, text("soon"), message)
        fails(TypeError, individual.add_to_queue_age, real(1.0), message, text("high"))
        fails(TypeError, individual.remove_from_queue, message)
        fails(TypeError, individual.remove_from_queue_message, 3)
        fails(TypeError, individual.move_in_queue, 0, real(1.0), 2)
        fails(TypeError, individual.next_event, 1)
        while True:
            try:
                record = individual.next_event()
            except RuntimeError:
                break
            assert record[2] in (message, other)
        # A rebinding of heappop seen through the namespace's watcher, and undone.
        original = namespace["heappop"]
        namespace["heappop"] = lambda heap: original(heap)
        individual.add_to_queue(real(1.0), message)
        assert individual.next_event()[2] == message
        namespace["heappop"] = original
        individual.add_to_queue(real(1.0), message)
        individual.age = real(3.0)
        if __debug__:
            fails(AssertionError, individual.add_to_queue, real(-1.0), message)
            fails(AssertionError, individual.add_to_queue_age, real(1.0), message, **payload)
            fails(AssertionError, individual.add_to_queue_age, float("nan"), message)
            stale = individual.add_to_queue(real(4.0), message, **payload)
            fails(AssertionError, individual.move_in_queue_age, stale, real(0.5))

    return batch, [life.individual, message, other, payload, payload_age, *payload.values()]


class Values:
    """A snapshot function: its results are kept and watched."""

    def __init__(self, result):
        self.result = result

    def __call__(self, individual):
        return self.result


class Generator:
    def __init__(self, tags):
        self.tags = tags

    def __call__(self, individual):
        return (tag for tag in self.tags)


class Raising:
    def __call__(self, individual):
        raise LookupError("snapshot function failed")


@group()
def snapshots():
    ill, well = text("ill"), text("well")
    by_dict = Values({ill: 2, well: 1})
    by_list = Values([ill, ill, well])
    by_generator = Generator([well, ill])
    functions = [by_dict, by_list, by_generator, Values(None), Values({}), Values({well: real(1.0)})]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        life = Life(snapshot_functions=functions)
    failing = [
        Raising(),
        Values(42),
        Values([3]),
        Values({ill: text("many")}),
        Values({ill: 2**40}),
        Values({text("sick"): 1}),
    ]
    lenient = Values({text("sick"): 1, ill: 1})

    def batch():
        individual = life.reset()
        for age in (5.0, 15.0, 25.0, 45.0, 80.0):
            individual.add_to_queue_age(real(age), ill)
        while True:
            try:
                individual.next_event()
            except RuntimeError:
                break
        individual = life.reset()
        individual._snapshot_age(real(100.0))
        individual._snapshot_year(70)
        fails(TypeError, individual._snapshot_age, text("soon"))
        for function in failing:
            individual = life.reset()
            functions.append(function)
            try:
                fails(Exception, individual._snapshot_age, real(40.0))
                fails(Exception, individual._snapshot_year, real(60.0))
            finally:
                functions.pop()
        individual = life.reset()
        state = state_of(individual)
        individual.__setstate__(with_items(state, verify_tags=False, _snapshot_functions=[lenient]))
        individual._snapshot_age(real(40.0))

    return batch, [life.individual, ill, well, *functions, *failing, lenient, by_dict.result,
                   by_list.result, by_generator.tags]


@group()
def strata():
    ill = text("ill")
    counted = Values({ill: 1})
    life = Life(preserve_stratum=text("dynamic"), snapshot_functions=[counted])
    alive = text("alive")

    def batch():
        individual = life.reset()
        individual.age = real(10.0)
        individual.hop_stratum(1)
        individual.age = real(20.0)
        individual.hop_stratum(real(2.9))
        individual._log_duration_stratum_hops(alive, real(5.0), real(30.0))
        individual.log_duration(alive, 5, real(30.0))
        fails(TypeError, individual.hop_stratum, text("one"))
        fails(AssertionError if __debug__ else OverflowError, individual.hop_stratum, 2**40)
        fails(ValueError, individual.hop_stratum, -2**40)
        if __debug__:
            fails(AssertionError, individual.hop_stratum, 4)
        for _ in range(254):
            individual.hop_stratum(0)
        fails(IndexError, individual.hop_stratum, 0)
        individual.log_duration(alive, real(5.0), real(30.0))
        individual.next_universe()  # preserved: hops replayed, hop_stratum ignored
        individual.hop_stratum(2)
        individual._snapshot_age(real(40.0))  # each snapshot in the stratum replayed at its age
        individual._snapshot_year(real(60.0))
        individual.log_event(text("onset"))
        individual.log_duration(alive, real(5.0), real(30.0))
        individual = life.reset()
        individual.age = real(float("nan"))
        individual.hop_stratum(1)
        individual.age = real(40.0)
        fails(ValueError, individual.log_duration, alive, real(5.0), real(30.0))  # a change of unknown age

    return batch, [life.individual, alive, ill, counted, counted.result]


@group()
def logs():
    life = Life()
    onset, death, alive, ill = text("onset"), text("death"), text("alive"), text("ill")
    unknown = text("unknown")

    def batch():
        individual = life.reset()
        individual.age = real(35.0)
        individual.log_event(onset)
        individual.log_event_individual(death, real(30.0), real(2.5))
        individual.log_event_individual(tag=onset, element=65535)
        fails(OverflowError, individual.log_event_individual, onset, real(1.0), 65536)
        fails(OverflowError, individual.log_event_individual, onset, real(1.0), -1)
        fails(TypeError, individual.log_event_individual, onset, None)
        individual.log_duration(alive, real(0.0), real(35.0))
        individual.log_duration(ill, 10, 20)
        individual.log_duration(ill, real(20.0), real(10.0))
        individual.log_duration_start(alive)
        individual.log_duration_start(ill, real(30.0))
        individual.log_duration_end(alive)
        individual.log_duration_start(alive, real(31.0))
        individual.log_ongoing_durations(real(70.0))
        individual.log_duration_start(alive)
        individual.log_ongoing_durations()
        for method, args in (
            (individual.log_event, (unknown,)),
            (individual.log_event_individual, (unknown,)),
            (individual.log_duration, (unknown, real(1.0), real(2.0))),
            (individual._log_duration_stratum_hops, (unknown, real(1.0), real(2.0))),
        ):
            fails(Exception, method, *args)
        fails(Exception, individual.log_event, text("birth"))
        individual.log_duration_start(unknown)
        fails(Exception, individual.log_duration_end, unknown)
        fails(AssertionError, individual.log_duration_end, unknown)
        if __debug__:
            individual.log_duration_start(alive)
            fails(AssertionError, individual.log_duration_start, alive)
        fails(TypeError, individual.log_duration_start, ill, 30)
        fails(TypeError, individual.log_duration_end, ill, real(1.0), 3)
        fails(TypeError, individual.log_ongoing_durations, text("now"))
        fails(TypeError, individual.log_event, [onset])
        individual.__setstate__(with_items(state_of(individual), verify_tags=False))
        individual.log_event(unknown)
        individual.log_event_individual(unknown)
        individual.log_duration(unknown, real(1.0), real(2.0))

    return batch, [life.individual, onset, death, alive, ill, unknown]


@group(numpy=True)
def discounted():
    life = Life()
    onset, alive, ill = text("onset"), text("alive"), text("ill")
    rates, base = (real(0.03), real(0.0)), real(1990.0)
    shape = lambda log: (len(rates), *log.shape[:3], log.shape[4])  # noqa: E731
    events = np.zeros(shape(life.individual.output_events()))
    durations = np.zeros(shape(life.individual.output_durations()))

    def batch():
        individual = life.reset()
        individual.record_discounted(rates, base, events, durations)
        individual.age = real(35.0)
        individual.log_event(onset)
        individual.log_duration(alive, real(0.0), real(35.0))
        individual._log_duration_stratum_hops(ill, real(10.0), real(40.0))
        fails(TypeError, copy.copy, individual)
        fails(ValueError, individual.record_discounted, (real(-1.0),), base, events, durations)
        fails(ValueError, individual.record_discounted, rates, base, events[:1], durations)
        fails(TypeError, individual.record_discounted, list(rates), base, events, durations)
        fails(TypeError, individual.record_discounted, rates, base, [events], durations)
        individual.record_discounted((), real(0.0), None, None)

    return batch, [life.individual, onset, alive, ill, *rates, base, events, durations]


@group(numpy=True)
def changes():
    life = Life(individual_block_size=2)
    onset, alive = text("onset"), text("alive")
    population = {"__birth__": np.array([1955.0, 1965.0]), "__stratum__": np.array([1, 0], dtype=np.int16)}

    def batch():
        individual = life.reset()
        record_changes(individual)
        individual.age = real(35.0)
        for _ in range(3):  # past a block of the individual log
            individual.log_event(onset)
            individual.log_event_individual(onset)
        individual.log_duration(alive, real(0.0), real(35.0))
        taken = take_changes(individual)
        assert len(taken) == 6
        record_changes(individual, False)
        fails(RuntimeError, take_changes, individual)
        fails(TypeError, record_changes, onset)
        renew_population(individual, population)
        fails(KeyError, renew_population, individual, {})
        fails(TypeError, renew_population, individual, [])
        assert add_cells(positions, values, (total, totals[1]))
        assert not add_cells(positions, values.astype(np.float32), (total,))
        fails(ValueError, add_cells, positions[::-1].copy(), values, (total,))
        fails(ValueError, add_cells, positions, values[:1], (total,))
        fails(ValueError, add_cells, positions, values, (total, totals))
        fails(TypeError, add_cells, positions, values, [total])
        fails(TypeError, add_cells, positions, onset, (total,))

    positions, values = np.array([1, 5], dtype=np.uint32), np.array([0.5, -2.0])
    totals = np.zeros((2, 8))
    total = totals[0]
    return batch, [life.individual, onset, alive, population, positions, values, totals]


@group(numpy=True)
def individual_log_growth():
    life = Life(individual_block_size=2)
    onset = text("onset")

    def batch():
        individual = life.reset()
        for _ in range(5):
            individual.log_event_individual(onset)
            individual.log_event(onset)
        individual.output_events_individual()

    return batch, [life.individual, onset]


class Overriding(Individual):
    """Every method the object calls on itself, replaced in Python."""

    def _snapshot_age(self, age_next_event):
        return Individual._snapshot_age(self, age_next_event)

    def _snapshot_year(self, age_next_event):
        return Individual._snapshot_year(self, age_next_event)

    def add_to_queue_age(self, age, message, priority=0, terminate=False, **kwargs):
        return Individual.add_to_queue_age(self, age, message, priority, terminate, **kwargs)

    def log_event_individual(self, tag, age=-1.0, element=0):
        return Individual.log_event_individual(self, tag, age, element)

    def _log_duration_stratum_hops(self, tag, start_age, end_age):
        return Individual._log_duration_stratum_hops(self, tag, start_age, end_age)

    def log_duration(self, tag, start_age, end_age):
        return Individual.log_duration(self, tag, start_age, end_age)

    def log_duration_end(self, tag, end_age=None):
        return Individual.log_duration_end(self, tag, end_age)


@group()
def overridden_methods():
    life = Life(Overriding, snapshot_functions=[Values({text("ill"): 1})])
    onset, alive, message = text("onset"), text("alive"), text("visit")
    payload = {text("site"): real(2.0)}

    def batch():
        individual = life.reset()
        moved = individual.move_in_queue(individual.add_to_queue(real(25.0), message, **payload), real(1.0))
        individual.move_in_queue_age(moved, real(40.0))
        individual.next_event()
        individual.log_event(onset)
        fails(Exception, individual.log_event, text("birth"))
        individual.log_duration(alive, real(1.0), real(30.0))
        individual.log_duration_start(alive, real(2.0))
        individual.log_ongoing_durations(real(35.0))

    return batch, [life.individual, onset, alive, message, payload, *payload.values()]


@group()
def cycles():
    """Objects in reference cycles through each container field are found
    and freed by the collector (traversal and clearing)."""
    state = Life().state
    derived_state = state_of(Subclass(**configuration()))
    containers = [name for name in FIELDS if isinstance(state[POSITION[name]], (dict, list))]

    def batch():
        for name in containers:
            individual = Individual.__new__(Individual)
            individual.__setstate__(state)
            loop = {text("self"): individual} if isinstance(state[POSITION[name]], dict) else [individual]
            individual.__setstate__(with_items(state, **{name: loop}))
        derived = Subclass.__new__(Subclass)
        derived.__setstate__(derived_state)
        derived.itself = derived
        gc.collect()

    return batch, [*state]


class Odd:
    """A number that converts to nothing."""


@group()
def refusals():
    """Error paths of restored states that no constructor would make."""
    life = Life()
    onset, alive = text("onset"), text("alive")
    odd = Odd()
    states = [
        dict(_log_event_tags_idx={onset: odd}, _log_duration_tags_idx={alive: text("first")},
             _log_event_individual_tags_idx=None, _snapshot_tags_idx={text("ill"): odd}),
        dict(_queue=[odd, (real(1.0), 0, odd)], _events={0: odd, 1: (odd,)}, _ongoing_durations={alive: odd}),
        dict(_universe=7, _person_stratum=-3, _log_event_individual_entry_idx=10**9),
        dict(_log_events=None, _log_durations=None, _snapshots_ages=None,
             _log_event_individual_universe_current_block=None, _properties=None, random={onset: odd}),
    ]

    def batch():
        for changes in states:
            individual = life.reset()
            individual.__setstate__(with_items(state_of(individual), **changes))
            for call in (lambda: individual.log_event(onset), lambda: individual.log_duration(alive, 1.0, 2.0),
                         lambda: individual.log_event_individual(onset), lambda: individual._snapshot_age(50.0),
                         individual.next_event, lambda: individual.move_in_queue(1, real(1.0)),
                         lambda: individual.log_ongoing_durations(real(40.0)),
                         lambda: individual.properties(text("height")),
                         lambda: individual.next_block(0, {}, {onset: 1})):
                try:
                    call()
                except NotImplementedError:
                    raise
                except Exception:
                    pass

    return batch, [life.individual, onset, alive, odd, *[value for changes in states for value in changes.values()]]


class Lives:
    """The processes of a run_lives group: each life schedules its events
    with keyword data and ends at a finite age, unless told otherwise."""

    def __init__(self):
        self.universe = None
        self.ending = real(5.0)
        self.failing = None

    def start(self, individual):
        individual.add_to_queue(real(1.0), text("tick"), count=real(1.0))
        individual.add_to_queue(self.ending, text("end"), terminate=True)

    def tick(self, individual, count):
        if self.failing is not None:
            raise self.failing("failed")
        individual.log_event(text("onset"))

    def end(self, individual):
        individual.log_event(text("death"))


@group()
def lives():
    """The run loop, finishing and stopped in each of its ways."""
    individual = Individual(**configuration(snapshot_functions=[], log_events_individual=False))
    process = Lives()
    dispatch = {text("tick"): process.tick, text("end"): process.end}
    universes = (text("baseline"), text("intervention"))
    generator = Philox(7)
    streams = (generator.set_stream,)
    where = [None]
    people = (int(str(4)), int(str(1)), int(str(7)))

    def run(dispatch=dispatch, events_limit=10):
        individual.next_block(0, {}, {})
        return run_lives(individual, dispatch, (process.start,), (process,), universes, people, events_limit,
                         streams, where)

    def batch():
        assert run() is None
        assert run({text("end"): process.end})[0] == "unhandled"
        assert run(events_limit=1)[0] == "endless"
        process.ending = real(float("inf"))
        assert run()[0] == "ended"
        process.ending = real(5.0)
        process.failing = ValueError
        fails(ValueError, run)
        process.failing = None
        fails(ValueError, run, events_limit=0)
        fails(TypeError, run_lives, individual, [], (), (), universes, people, 1, (), where)

    return batch, [individual, process, dispatch, universes, generator, people, *dispatch, *universes]


class DerivedPhilox(Philox):
    __slots__ = ("partner",)


@group()
def philox():
    """The generator's methods, their refusals, its state and its copies."""
    key, stream, wide = int(str(2**100 + 7)), int(str(10**12)), int(str(2**200))
    generator = Philox(key)
    state = generator.getstate()
    words = state[1]
    bad_states = [
        None, state[:2], (text("other"), words, None), (state[0], words[:10], None),
        (state[0], words[:10] + (real(1.0),), None), (state[0], (wide,) + words[1:], None),
        (state[0], words[:10] + (7,), None), (state[0], words, text("spare")),
    ]
    spare = real(0.25)

    def batch():
        generator.seed(key)
        generator.seed()
        generator.set_stream(stream)
        generator.set_stream(wide >> 80)
        generator.random()
        generator.getrandbits(0)
        generator.getrandbits(64)
        generator.getrandbits(1000)
        generator.gauss()
        generator.expovariate()
        generator.expovariate(spare)
        generator.expovariate(key)
        derived_draw = DerivedPhilox(key)
        derived_draw.expovariate(spare)
        fails(ZeroDivisionError, generator.expovariate, real(0.0))
        fails(TypeError, generator.expovariate, text("rate"))
        generator.choice([key, stream])
        generator.gauss_next = spare
        assert generator.gauss_next == spare
        del generator.gauss_next
        generator.setstate(list(state))
        generator.setstate(state)
        assert generator.getstate() == state
        copy.copy(generator)
        copy.deepcopy(generator)
        Philox(seed=key)
        cyclic, derived = Philox(key), DerivedPhilox(key)
        cyclic.itself, derived.partner, derived.itself = cyclic, cyclic, derived  # freed by the collector
        fails(ValueError, generator.set_stream, -stream)
        fails(ValueError, generator.set_stream, wide)
        fails(TypeError, generator.set_stream, text("one"))
        fails(TypeError, generator.set_stream)
        fails(ValueError, generator.getrandbits, -stream)
        fails(OverflowError, generator.getrandbits, wide)
        fails(TypeError, generator.getrandbits, spare)
        fails(ValueError, generator.seed, wide)
        fails(TypeError, generator.seed, text("key"))
        fails(TypeError, generator.random, key)
        fails(TypeError, setattr, generator, "gauss_next", text("spare"))
        fails(TypeError, Philox, key, stream)
        fails(TypeError, Philox.set_stream, Individual.__new__(Individual), stream)
        for bad in bad_states:
            fails((TypeError, ValueError), generator.setstate, bad)

    return batch, [generator, key, stream, wide, spare, *words, *bad_states]


# --- Measuring -----------------------------------------------------------------------


@dataclass
class Result:
    name: str
    leaks: list[str] = field(default_factory=list)
    error: str | None = None
    skipped: str | None = None


def settle():
    sys._clear_internal_caches() if hasattr(sys, "_clear_internal_caches") else sys._clear_type_cache()
    gc.collect()
    gc.collect()


def mortal(objects):
    is_immortal = getattr(sys, "_is_immortal", lambda obj: False)
    return [obj for obj in objects if not is_immortal(obj)]


def placeholders(n):
    """n distinct ints that are not cached by the interpreter."""
    return [int(str(10**9 + k)) for k in range(n)]


def growing(deltas):
    return all(delta >= 1 for delta in deltas)


def shrinking(deltas):
    return all(delta <= -1 for delta in deltas)


def measure(group: Group, warmups=WARMUPS, rounds=ROUNDS, batch_size=BATCH) -> Result:
    result = Result(group.name)
    try:
        batch, watched = group.setup()
        watched = mortal(watched)
        count_total = hasattr(sys, "gettotalrefcount") and not group.numpy
        # The readings replace preallocated ints that are freed as they go,
        # so that storing them changes neither the total nor the blocks.
        points = warmups + rounds + 1
        totals, blocks = placeholders(points), placeholders(points)
        references = [placeholders(len(watched)) for _ in range(points)]
        for round_ in range(points):
            settle()
            if count_total:
                totals[round_] = sys.gettotalrefcount()
            blocks[round_] = sys.getallocatedblocks()
            row = references[round_]
            for k in range(len(watched)):
                row[k] = sys.getrefcount(watched[k])
            if round_ == points - 1:
                break
            for _ in range(batch_size):
                batch()
    except (NotImplementedYet, NotImplementedError) as reason:
        if "not implemented yet" not in str(reason):
            result.error = f"NotImplementedError: {reason}"
        else:
            result.skipped = str(reason)
        return result
    except Exception as error:  # a group that cannot run is a failure of the check
        result.error = f"{type(error).__name__}: {error}"
        return result

    def deltas(series):
        return [series[i + 1] - series[i] for i in range(warmups, warmups + rounds)]

    if count_total and growing(deltas(totals)):
        result.leaks.append(f"total refcount grows by {deltas(totals)} per round")
    if growing(deltas(blocks)):
        result.leaks.append(f"allocated blocks grow by {deltas(blocks)} per round")
    for k, obj in enumerate(watched):
        changes = deltas([counts[k] for counts in references])
        if growing(changes) or shrinking(changes):
            result.leaks.append(f"refcount of {type(obj).__name__} {short(obj)} changes by {changes} per round")
    return result


def short(obj) -> str:
    text_ = repr(obj)
    return text_ if len(text_) <= 60 else text_[:57] + "..."


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("names", nargs="*", help="run only groups whose name contains one of these")
    parser.add_argument("-v", "--verbose", action="store_true")
    parser.add_argument("--rounds", type=int, default=ROUNDS)
    parser.add_argument("--batch", type=int, default=BATCH)
    options = parser.parse_args(argv)
    groups = [g for g in GROUPS if not options.names or any(name in g.name for name in options.names)]
    interpreter = "debug" if hasattr(sys, "gettotalrefcount") else "release (no total refcount)"
    print(f"leakcheck: {len(groups)} groups, {WARMUPS} warm-up and {options.rounds} measured rounds "
          f"of {options.batch} batches, {interpreter} interpreter")
    failed = 0
    for group_ in groups:
        result = measure(group_, rounds=options.rounds, batch_size=options.batch)
        if result.skipped:
            print(f"  {group_.name}: skipped ({result.skipped})")
        elif result.error:
            failed += 1
            print(f"  {group_.name}: ERROR {result.error}")
        elif result.leaks:
            failed += 1
            print(f"  {group_.name}: LEAK")
            shown = result.leaks if options.verbose else result.leaks[:8]
            for leak in shown:
                print(f"      {leak}")
            if len(shown) < len(result.leaks):
                print(f"      ... and {len(result.leaks) - len(shown)} more (-v shows all)")
        elif options.verbose:
            print(f"  {group_.name}: clean")
    print(f"leakcheck: {'clean' if not failed else f'{failed} group(s) failed'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

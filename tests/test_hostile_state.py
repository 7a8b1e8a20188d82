"""Hostile pickled states: a valid state with some items corrupted (wrong
types, dtypes and shapes, inconsistent counts, None views, huge and negative
numbers, a current block that is not the last), restored through
__setstate__ and __pyx_unpickle_Individual and then driven through every
method. Each call must either work or raise a clear Python exception; it must
never crash nor touch memory outside an array.

Every array the restored object sees is the interior of a larger array whose
border holds a sentinel: a write outside the interior shows in the border,
even where it stays inside the allocation (which the sanitizer build cannot
see). Run under scripts/sanitize, reads and writes beyond an allocation abort
the run as well.
"""

import copy
import faulthandler
import math
import os

import numpy as np
import pytest
from conftest import STATE_FIELDS, VIEW_FIELDS, make, state_of

from tavlen.individual import Individual, __pyx_unpickle_Individual

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

SENTINEL = {"float64": -7.25e300, "int16": -12345, "uint8": 0xAB, "uint16": 0xBEEF, "uint32": 0xDEADBEEF}


# A method that loops without end must fail the run, not hang it: each
# restored state gets a minute, after which the tracebacks go to the real
# standard error (not pytest's capture) and the process exits.
watchdog_fd = None


@pytest.fixture(autouse=True)
def watchdog(pytestconfig):
    global watchdog_fd
    if watchdog_fd is None:
        with pytestconfig.pluginmanager.getplugin("capturemanager").global_and_fixture_disabled():
            watchdog_fd = os.dup(2)
    yield


def watched(function, *args):
    faulthandler.dump_traceback_later(60, exit=True, file=watchdog_fd if watchdog_fd is not None else 2)
    try:
        return function(*args)
    finally:
        faulthandler.cancel_dump_traceback_later()


class Guarded:
    """Arrays handed to restored objects, each inside a bordered array."""

    def __init__(self):
        self.borders = []

    def array(self, dtype, shape, content=None):
        big = np.full(tuple(n + 2 for n in shape), SENTINEL[dtype], dtype=dtype)
        interior = big[(slice(1, -1),) * len(shape)]
        if content is not None:
            interior[...] = content
        mask = np.ones(big.shape, dtype=bool)
        mask[(slice(1, -1),) * len(shape)] = False
        self.borders.append((big, mask, SENTINEL[dtype]))
        return interior

    def unaligned(self, array):
        """A copy of array at an odd address, inside a guarded byte buffer."""
        array = np.asarray(array)
        raw = self.array("uint8", (array.nbytes + 1,), 0)
        copy_ = raw[1:].view(array.dtype).reshape(array.shape) if array.size else raw[1:1].view(array.dtype)
        copy_[...] = array
        return copy_.reshape(array.shape)

    def like(self, array):
        array = np.asarray(array)
        return self.array(array.dtype.name, array.shape, array)

    def check(self):
        # Explicit raises: these checks also run under -O (assertions off).
        for big, mask, sentinel in self.borders:
            if not np.all(big[mask] == sentinel):
                raise AssertionError("a write landed outside an array")


def base_individual():
    individual = make(
        n_stratum_hops=2,
        individual_block_size=2,
        log_events_individual=True,
        snapshot_functions=[lambda ind: {"ill": 1}],
    )
    individual.next_block(0, {"dose": np.array([0.5, 0.25, 0.125])}, {"onset": 1})
    individual.next_person()
    individual.next_universe()
    individual.add_to_queue(5.0, "onset", 1, data=1)
    individual.add_to_queue_age(30.0, "death")
    individual.hop_stratum(1)
    individual.log_event("onset")
    individual.log_duration_start("ill", 0.0)
    return individual


def guarded_state(guard, individual):
    """The individual's state with every array replaced by a guarded copy.
    Each block list is copied and its last block is the current block."""
    items = state_of(individual)
    for name in VIEW_FIELDS:
        if items[name] is not None:
            items[name] = guard.like(items[name])
    for column in ("universe", "individual", "element", "age", "tag"):
        blocks = [guard.like(block) for block in items[f"_log_event_individual_{column}"]]
        items[f"_log_event_individual_{column}"] = blocks
        items[f"_log_event_individual_{column}_current_block"] = blocks[-1]
    for name in ("_queue", "_ongoing_durations", "_events"):
        items[name] = copy.copy(items[name])
    return items


def battery(individual):
    """Every method with ordinary arguments, in the order a run calls them."""
    calls = [
        lambda: individual.age,
        lambda: individual.year,
        lambda: individual.properties("height"),
        lambda: individual.properties_tmp("dose"),
        lambda: individual.add_to_queue(1.0, "onset", 2, True, site=3),
        lambda: individual.add_to_queue_year(individual.year + 2.0, "death"),
        lambda: individual.move_in_queue(0, 1.0),
        lambda: individual.move_in_queue_age(1, 40.0),
        lambda: individual.move_in_queue_year(2, 2100.0),
        lambda: individual.remove_from_queue(3),
        lambda: individual.remove_from_queue_message("death"),
        *[individual.next_event] * 4,
        lambda: individual.hop_stratum(1),
        lambda: individual.hop_stratum(0),
        lambda: individual.log_event("onset"),
        lambda: individual.log_event("death"),
        lambda: individual.log_duration("alive", 0.0, 70.0),
        lambda: individual._log_duration_stratum_hops("ill", 5.0, 95.0),
        lambda: individual.log_duration_start("alive"),
        lambda: individual.log_duration_end("ill", 80.0),
        lambda: individual.log_ongoing_durations(90.0),
        *[lambda: individual.log_event_individual("death", 3.0, 2)] * 3,
        lambda: individual._snapshot_age(50.0),
        lambda: individual._snapshot_year(50.0),
        individual.output_events,
        individual.output_durations,
        individual.output_events_individual,
        individual.output_snapshots_ages,
        individual.output_snapshots_years,
        individual.__reduce__,
        lambda: copy.copy(individual),
        individual.next_universe,
        lambda: individual.log_event("onset"),
        individual.next_person,
        individual.next_universe,
        lambda: individual.log_event_individual("onset"),
        lambda: individual.next_block(1, {"dose": [0.5]}, {"onset": 2, "screening": 3}),
        individual.next_person,
        individual.next_universe,
        lambda: individual.add_to_queue(0.5, "onset"),
        individual.next_event,
    ]
    for call in calls:
        try:
            call()
        except SystemError as error:  # an error the C API reports for the module's own misuse
            raise AssertionError(f"SystemError: {error}") from error
        except Exception:
            pass


def restore(items, through_unpickle):
    state = tuple(items[name] for name in STATE_FIELDS)
    if through_unpickle:
        return __pyx_unpickle_Individual(Individual, 0x43FECE, state)
    individual = base_individual()
    individual.__setstate__(state)
    return individual


def drive(guard, items, through_unpickle=False):
    watched(restore_and_run, guard, items, through_unpickle)


def restore_and_run(guard, items, through_unpickle):
    try:
        individual = restore(items, through_unpickle)
    except SystemError:
        raise
    except Exception:  # the corruption was refused at restore time
        pass
    else:
        battery(individual)
    guard.check()


# --- Targeted corruptions ----------------------------------------------------------------

BIG = 2**62
INT32_MAX = 2**31 - 1


def corruptions():
    """(name, function(guard, items)) pairs, each making one state hostile."""

    def set_items(**changes):
        def apply(guard, items):
            for key, value in changes.items():
                items[key] = value(guard, items) if callable(value) else value

        return apply

    def array(dtype, shape, content=None):
        return lambda guard, items: guard.array(dtype, shape, content)

    def not_last_block(guard, items):
        items["_log_event_individual_age_current_block"] = guard.array("float64", (2,))

    def unaligned_arrays(guard, items):
        for name in VIEW_FIELDS:
            if items[name] is not None:
                items[name] = guard.unaligned(items[name])

    def block_list_of(blocks):
        def apply(guard, items):
            for column in ("universe", "individual", "element", "age", "tag"):
                items[f"_log_event_individual_{column}"] = blocks(guard, column)

        return apply

    cases = {
        # Counts that disagree with the arrays.
        "universe past the universe axis": set_items(_universe=5),
        "universe at the int32 limit": set_items(_universe=INT32_MAX),
        "universe at the int32 limit with universes to come": set_items(_universe=INT32_MAX, _universe_n=BIG),
        "stratum count at the smallest size": set_items(_stratum_n=-(2**63)),
        "negative universe": set_items(_universe=-3),
        "person past the population": set_items(_person=50),
        "negative person": set_items(_person=-50),
        "person block past the block": set_items(_person_block=40),
        "stratum past the stratum axis": set_items(_person_stratum=7),
        "negative stratum": set_items(_person_stratum=-2),
        "stratum count larger than the arrays": set_items(_stratum_n=BIG),
        "hop count past the 256 slots": set_items(_person_stratum_hops_n=300),
        "negative hop count": set_items(_person_stratum_hops_n=-5),
        "grid counts past the grids": set_items(_log_event_ages_n=BIG, _log_duration_years_n=99),
        "tag counts past the tag axis": set_items(_log_event_tags_n=-1, _snapshot_tags_n=BIG),
        "entry index past the block": set_items(_log_event_individual_entry_idx=BIG),
        "negative entry index": set_items(_log_event_individual_entry_idx=-3),
        "block size zero": set_items(_log_event_individual_block_size=0),
        "block size larger than the blocks": set_items(_log_event_individual_block_size=1000),
        "negative block size": set_items(_log_event_individual_block_size=-2),
        "snapshot index past the snapshot ages": set_items(_snapshot_age_idx=BIG, _snapshot_next_age=1.0),
        "negative snapshot index": set_items(_snapshot_year_idx=-BIG, _snapshot_next_age_years=1.0),
        "snapshot counts past the arrays": set_items(_snapshot_ages_n=50, _snapshot_years_n=-50),
        "event id at the int32 limit": set_items(_event_idx=INT32_MAX),
        "universe count past the arrays": set_items(_universe_n=1000),
        # Numbers that are not ordinary.
        "nan and infinite ages": set_items(age=math.nan, _person_birth=math.inf, _snapshot_next_age=-math.inf),
        "huge age": set_items(age=1e308, _person_birth=-1e308),
        # Arrays of other shapes and contents.
        "empty grids": set_items(_log_event_ages=array("float64", (0,)), _log_duration_ages=array("float64", (0,)),
                                 _log_event_years=array("float64", (0,))),
        "nan grids": set_items(_log_event_ages=array("float64", (3,), math.nan),
                               _log_duration_years=array("float64", (2,), math.nan),
                               _log_duration_ages=array("float64", (2,), [math.nan, 1.0])),
        "grids without an infinite end": set_items(_log_duration_ages=array("float64", (2,), [10.0, 20.0]),
                                                   _log_duration_years=array("float64", (1,), 1900.0)),
        "descending grids": set_items(_log_duration_ages=array("float64", (3,), [90.0, 10.0, -math.inf])),
        "small result arrays": set_items(_log_events=array("uint32", (1, 1, 1, 1, 1)),
                                         _log_durations=array("float64", (1, 1, 1, 1, 1)),
                                         _snapshots_ages=array("uint32", (1, 1, 1, 1)),
                                         _snapshots_years=array("uint32", (0, 0, 0, 0))),
        "empty result arrays": set_items(_log_events=array("uint32", (0, 3, 3, 2, 4)),
                                         _log_durations=array("float64", (2, 0, 2, 3, 2))),
        "short hop record": set_items(_person_stratum_hops_ages=array("float64", (1,)),
                                      _person_stratum_hops_strata=array("int16", (0,)),
                                      _person_stratum_hops_n=1),
        "hop record with nan ages and wild strata": set_items(
            _person_stratum_hops_ages=array("float64", (256,), math.nan),
            _person_stratum_hops_strata=array("int16", (256,), -32768), _person_stratum_hops_n=256),
        "short population": set_items(_birth=array("float64", (0,)), _stratum=array("int16", (1,), 9)),
        "initial strata outside the stratum axis": set_items(_stratum=array("int16", (3,), [-1, 300, 2])),
        "short snapshot ages": set_items(_snapshot_ages=array("float64", (0,)), _snapshot_age_idx=0,
                                         _snapshot_next_age=-1.0, _snapshot_ages_do=True),
        "short current blocks": set_items(_log_event_individual_tag_current_block=array("uint16", (0,)),
                                          _log_event_individual_universe_current_block=array("uint8", (1,))),
        "a current block that is not the last": not_last_block,
        "unaligned arrays": unaligned_arrays,
        "empty block lists": block_list_of(lambda guard, column: []),
        "blocks that are not arrays": block_list_of(lambda guard, column: [None, "block"]),
        "blocks of the wrong dtype": block_list_of(lambda guard, column: [guard.array("float64", (2,))]),
        # None views and None or odd containers.
        "None views": set_items(**{name: None for name in VIEW_FIELDS}),
        "None containers": set_items(_queue=None, _events=None, _ongoing_durations=None, memory=None,
                                     random=None, _properties=None, _properties_tmp=None,
                                     _log_event_tags_idx=None, _log_duration_tags_idx=None,
                                     _log_event_individual_tags_idx=None, _snapshot_tags_idx=None,
                                     _snapshot_functions=None, _log_event_individual_tags=None),
        "queue entries of every shape": set_items(
            _queue=[(1.0,), "entry", (math.nan, "priority", BIG), (2.0, 0, 2**40), (-1.0, 0, -1), None],
            _events={0: "record", 1: (1.0,), 2: (math.nan, BIG, 3, None, []), 3: None}),
        "index dictionaries with wild positions": set_items(
            _log_event_tags_idx={"onset": BIG, "death": -1, "birth": "first"},
            _log_duration_tags_idx={"alive": -BIG, "ill": 2**31},
            _log_event_individual_tags_idx={"onset": 70000, "death": -1},
            _snapshot_tags_idx={"ill": BIG}),
        "ongoing durations with odd starts": set_items(_ongoing_durations={"alive": "x", "ill": math.nan, 5: 1.0}),
        "snapshot functions that misbehave": set_items(
            _snapshot_functions=[1, lambda ind: {"ill": BIG}, lambda ind: 5, lambda ind: {None: 1}]),
        "generators that are not generators": set_items(random={"onset": 5, "screening": None}),
        "properties that cannot be indexed": set_items(_properties={"height": 3, "__birth__": None},
                                                       _properties_tmp={"dose": None}),
        "preserve settings": set_items(_preserve_stratum_setting="dynamic", _preserve_dynamic=True,
                                       _person_stratum_hops_n=256),
    }
    return sorted(cases.items())


@pytest.mark.parametrize("through_unpickle", [False, True], ids=["setstate", "unpickle"])
@pytest.mark.parametrize("name, corrupt", corruptions(), ids=[name for name, _ in corruptions()])
def test_targeted_corruption(name, corrupt, through_unpickle):
    guard = Guarded()
    items = guarded_state(guard, base_individual())
    corrupt(guard, items)
    drive(guard, items, through_unpickle)


# --- Random corruptions -----------------------------------------------------------------

NUMBERS = [-(2**63), -(2**31) - 1, -(2**31), -1, 0, 1, 2, 3, 255, 256, 257, 65536, 2**31 - 1, 2**31, 2**62]
FLOATS = [math.nan, math.inf, -math.inf, -1e308, -1.0, 0.0, 0.5, 1e308]
KINDS = {}
for _name, _value in state_of(make()).items():
    KINDS[_name] = ("view" if _name in VIEW_FIELDS else "float" if isinstance(_value, float)
                    else "flag" if isinstance(_value, bool) else "number" if isinstance(_value, int)
                    else "object")
ODD_OBJECTS = [None, {}, [], "text", 3, 2.5, {"onset": BIG}, [None, (1.0, 0, 0)], {0: (1.0, 0, "m", True, {})}]


@st.composite
def corruption(draw):
    name = draw(st.sampled_from(STATE_FIELDS))
    kind = KINDS[name]
    if kind == "view":
        dtype, axes = VIEW_FIELDS[name]
        choice = draw(st.sampled_from(["none", "shape", "dtype", "axes", "strided"]))
        if choice == "none":
            return name, None
        if choice == "dtype":
            dtype = draw(st.sampled_from(sorted(set(SENTINEL) - {dtype})))
        if choice == "axes":
            axes = draw(st.sampled_from([n for n in range(1, 6) if n != axes]))
        shape = draw(st.tuples(*[st.integers(0, 4)] * axes))
        fill = draw(st.sampled_from(FLOATS if dtype == "float64" else [0, 1, 2, 255]))
        if dtype != "float64" and fill > np.iinfo(dtype).max:
            fill = 0
        return name, ("array", dtype, shape, fill, choice == "strided")
    if kind == "float":
        return name, draw(st.sampled_from(FLOATS))
    if kind == "number":
        return name, draw(st.sampled_from(NUMBERS))
    if kind == "flag":
        return name, draw(st.booleans())
    return name, copy.deepcopy(draw(st.sampled_from(ODD_OBJECTS)))


@given(changes=st.lists(corruption(), min_size=1, max_size=5), through_unpickle=st.booleans())
def test_random_corruptions(changes, through_unpickle):
    guard = Guarded()
    items = guarded_state(guard, base_individual())
    for name, value in changes:
        if isinstance(value, tuple) and value[0] == "array":
            _, dtype, shape, fill, strided = value
            value = guard.array(dtype, shape, np.array(fill).astype(dtype))
            if strided and value.ndim and value.shape[0] > 1:
                value = value[::-1]
        items[name] = value
    drive(guard, items, through_unpickle)

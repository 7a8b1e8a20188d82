"""Re-entrancy: code that the module calls while a method runs (snapshot
functions, Random.seed, methods a subclass overrides, __eq__, __lt__,
__float__, __index__, __int__ and __del__ of objects in its containers) calls
back into the same object and re-initialises it, restores another state into
it, steps it, drops its arrays or empties its containers. The method must
then either finish or raise a Python exception; it must not crash, nor read or
write an array it no longer holds (scripts/sanitize turns such an access into
a failure)."""

import numpy as np
import pytest
from conftest import VIEW_FIELDS, config, field, make, state_with

import tavlen.individual as individual_module
from tavlen.individual import Individual


def other_state():
    """The state of an unrelated, smaller individual: one universe, one tag
    each, short grids, one-entry blocks."""
    other = make(
        universes=["only"],
        event_tags=["onset"],
        event_ages=np.array([np.inf]),
        event_years=np.array([np.inf]),
        duration_tags=["alive"],
        duration_ages=np.array([np.inf]),
        duration_years=np.array([np.inf]),
        event_individual_tags=["onset"],
        individual_block_size=1,
        snapshot_tags=["ill"],
        snapshot_ages=[1.0],
        snapshot_years=[1950.0],
    )
    return state_with(other)


# What a callback does to the object. None of them keeps a reference to the
# object's previous arrays, so an array the method still used after the
# callback would be freed memory.
MISCHIEF = {
    "reinitialise": lambda ind: ind.__init__(**config(universes=["only"], event_tags=["onset"])),
    "restore another state": lambda ind: ind.__setstate__(other_state()),
    "step": lambda ind: (ind.next_person(), ind.next_universe()),
    "drop its arrays": lambda ind: ind.__setstate__(state_with(ind, **dict.fromkeys(VIEW_FIELDS))),
    "empty its containers": lambda ind: ind.__setstate__(state_with(
        ind, _queue=None, _events=None, _ongoing_durations=None, _log_event_tags_idx=None,
        _log_duration_tags_idx=None, _log_event_individual_tags_idx=None, _snapshot_tags_idx=None,
        _snapshot_functions=None, _log_event_individual_age=None, random=None, _properties=None)),
}


class Trap:
    """Runs the mischief on the victim once, the first time it is sprung."""

    def __init__(self, mischief):
        self.mischief = mischief
        self.victim = None
        self.sprung = False

    def spring(self):
        if self.victim is not None and not self.sprung:
            self.sprung = True
            self.mischief(self.victim)


class Key(str):
    """A dictionary key equal to a str, whose comparison springs the trap."""

    def __new__(cls, text, trap):
        key = super().__new__(cls, text)
        key.trap = trap
        return key

    __hash__ = str.__hash__

    def __eq__(self, other):
        self.trap.spring()
        return str.__eq__(self, other)


class Number:
    """An index, a float and an int at once; converting it springs the trap."""

    def __init__(self, value, trap):
        self.value, self.trap = value, trap

    def __index__(self):
        self.trap.spring()
        return int(self.value)

    __int__ = __index__

    def __float__(self):
        self.trap.spring()
        return float(self.value)

    def __lt__(self, other):
        self.trap.spring()
        return self.value < (other.value if isinstance(other, Number) else other)

    def __gt__(self, other):
        self.trap.spring()
        return self.value > (other.value if isinstance(other, Number) else other)


class OnRelease:
    def __init__(self, trap):
        self.trap = trap

    def __del__(self):
        self.trap.spring()


class Seeded:
    def __init__(self, trap):
        self.trap = trap

    def seed(self, value):
        self.trap.spring()


class Exporter:
    """An array behind the buffer protocol of a Python class, whose handing
    out (or taking back) of the buffer springs the trap."""

    def __init__(self, array, trap, on):
        self.array, self.trap, self.on = array, trap, on

    def __buffer__(self, flags):
        if self.on == "buffer":
            self.trap.spring()
        return memoryview(self.array)

    def __release_buffer__(self, view):
        view.release()
        if self.on == "release":
            self.trap.spring()


def with_exporter(on, action, array=None, installed=False):
    """Arms the trap in an exporter that the action hands to the object (or
    that the object holds already, when installed)."""

    def arm(trap):
        individual = in_life(make())
        exporter = Exporter(np.zeros((2, 3, 3, 2, 4), dtype=np.uint32) if array is None else array, trap, on)
        if installed:
            individual.__setstate__(state_with(individual, _log_events=exporter))
        return individual, lambda ind: action(ind, exporter)

    return arm


def with_new_blocks(trap):
    """Arms the trap in the exporter of the first new block of the individual
    log, made through the module's np, which the caller may rebind."""

    class NumPy:
        def __getattr__(self, name):
            return getattr(np, name)

        def zeros(self, shape, dtype):
            block = np.zeros(shape, dtype)
            return block if trap.sprung else Exporter(block, trap, "buffer")

    def action(ind):
        individual_module.np = NumPy()
        try:
            ind.log_event_individual("onset")
        finally:
            individual_module.np = np

    individual = in_life(make(individual_block_size=1))
    individual.log_event_individual("onset")  # the blocks are full
    return individual, action


def in_life(individual):
    individual.next_block(0, {"dose": [1.0, 2.0, 3.0]}, {})
    individual.next_person()
    individual.next_universe()
    return individual


def subclass_overriding(name):
    def override(self, *args, **kwargs):
        self.trap.spring()
        return getattr(Individual, name)(self, *args, **kwargs)

    return type("Overriding", (Individual,), {name: override, "__slots__": ("trap",)})


def through_override(name, action):
    def arm(trap):
        individual = in_life(make(subclass_overriding(name), n_stratum_hops=2, log_events_individual=True))
        individual.trap = trap
        return individual, action

    return arm


def with_state(action, **changes):
    """Arms the trap through objects placed in the state of a life."""

    def arm(trap):
        individual = in_life(make(n_stratum_hops=2, snapshot_functions=[lambda ind: {"ill": 1}]))
        values = {key: value(trap) if callable(value) else value for key, value in changes.items()}
        individual.__setstate__(state_with(individual, **values))
        return individual, action

    return arm


def snapshot_function(action):
    def arm(trap):
        def function(individual):
            trap.spring()
            return {"ill": 1}

        return in_life(make(snapshot_functions=[function])), action

    return arm


def next_event_beyond_snapshots(ind):
    ind.add_to_queue_age(60.0, "late")
    ind.next_event()


TRIGGERS = {
    "snapshot function in next_event": snapshot_function(next_event_beyond_snapshots),
    "snapshot function in _snapshot_age": snapshot_function(lambda ind: ind._snapshot_age(60.0)),
    "snapshot function in _snapshot_year": snapshot_function(lambda ind: ind._snapshot_year(60.0)),
    "Random.seed in next_block": with_state(lambda ind: ind.next_block(0, {}, {"onset": 1, "screening": 2}),
                                            random=lambda trap: {"onset": Seeded(trap), "screening": Seeded(trap)}),
    "overridden _snapshot_age": through_override("_snapshot_age", next_event_beyond_snapshots),
    "overridden add_to_queue_age in a move": through_override(
        "add_to_queue_age", lambda ind: ind.move_in_queue(ind.add_to_queue(1.0, "m"), 1.0)),
    "overridden log_event_individual in log_event": through_override(
        "log_event_individual", lambda ind: ind.log_event("onset")),
    "overridden _log_duration_stratum_hops": through_override(
        "_log_duration_stratum_hops", lambda ind: ind.log_duration("ill", 0.0, 30.0)),
    "overridden log_duration in log_duration_end": through_override(
        "log_duration", lambda ind: (ind.log_duration_start("ill", 0.0), ind.log_duration_end("ill", 5.0))),
    "overridden log_duration_end in log_ongoing_durations": through_override(
        "log_duration_end", lambda ind: (ind.log_duration_start("ill", 0.0), ind.log_duration_start("alive", 1.0),
                                         ind.log_ongoing_durations(5.0))),
    "__eq__ of an event tag": with_state(lambda ind: ind.log_event("onset"),
                                         _log_event_tags_idx=lambda trap: {Key("onset", trap): 1}),
    "__eq__ of a duration tag": with_state(lambda ind: ind.log_duration("ill", 0.0, 70.0),
                                           _log_duration_tags_idx=lambda trap: {Key("ill", trap): 1}),
    "__eq__ of an individual tag": with_state(lambda ind: ind.log_event_individual("onset"),
                                              _log_event_individual_tags_idx=lambda trap: {Key("onset", trap): 0}),
    "__eq__ of a snapshot tag": with_state(lambda ind: ind._snapshot_age(60.0),
                                           _snapshot_tags_idx=lambda trap: {Key("ill", trap): 0}),
    "__eq__ of a property name": with_state(lambda ind: ind.properties("height"),
                                            _properties=lambda trap: {Key("height", trap): [1.0, 2.0, 3.0]}),
    "__eq__ of a message": with_state(lambda ind: ind.remove_from_queue_message("m"),
                                      _events=lambda trap: {0: (1.0, 0, Key("x", trap), False, {}),
                                                            1: (2.0, 0, "m", False, {})},
                                      _queue=[(1.0, 0, 0), (2.0, 0, 1)]),
    "__index__ of a snapshot tag position": with_state(lambda ind: ind._snapshot_year(60.0),
                                                       _snapshot_tags_idx=lambda trap: {"ill": Number(0, trap)}),
    "__float__ of a due age": with_state(lambda ind: ind.next_event(),
                                         _events=lambda trap: {0: (Number(70.0, trap), 0, "m", False, {})},
                                         _queue=lambda trap: [(Number(70.0, trap), 0, 0)]),
    "__float__ of a moved due age": with_state(lambda ind: ind.move_in_queue(0, 1.0),
                                               _events=lambda trap: {0: (Number(70.0, trap), 0, "m", False, {})},
                                               _queue=[(70.0, 0, 0)]),
    "__float__ of a duration start": with_state(lambda ind: ind.log_ongoing_durations(80.0),
                                                _ongoing_durations=lambda trap: {"ill": Number(1.0, trap)}),
    "__lt__ of queue entries": with_state(lambda ind: (ind.add_to_queue(0.5, "m"), ind.next_event()),
                                          _queue=lambda trap: [(Number(1.0, trap), 0, 0), (Number(2.0, trap), 0, 1)],
                                          _events={0: (1.0, 0, "a", False, {}), 1: (2.0, 0, "b", False, {})}),
    "__del__ of a record dropped by next_universe": with_state(
        lambda ind: ind.next_universe(), _events=lambda trap: {0: (1.0, 0, "m", False, {"data": OnRelease(trap)})}),
    "__del__ of memory dropped by next_universe": with_state(lambda ind: ind.next_universe(),
                                                             memory=lambda trap: {"data": OnRelease(trap)}),
    "__del__ of a stale entry dropped by next_event": with_state(
        lambda ind: ind.next_event(), _events={0: (2.0, 0, "m", False, {})},
        _queue=lambda trap: [(1.0, 0, 5, OnRelease(trap)), (2.0, 0, 0)]),
    "__del__ of an event removed": with_state(
        lambda ind: ind.remove_from_queue(0),
        _events=lambda trap: {0: (1.0, 0, "m", False, {"data": OnRelease(trap)})}, _queue=[(1.0, 0, 0)]),
    "__del__ of a state item replaced": with_state(
        lambda ind: ind.__setstate__(other_state()), _properties_tmp=lambda trap: {"data": OnRelease(trap)}),
    "__buffer__ of an array being restored": with_exporter(
        "buffer", lambda ind, exporter: ind.__setstate__(state_with(ind, _log_events=exporter))),
    "__release_buffer__ of an array being replaced": with_exporter(
        "release", lambda ind, exporter: ind.__setstate__(state_with(ind, _log_events=np.zeros_like(exporter.array))),
        installed=True),
    "__buffer__ of a new block of the individual log": with_new_blocks,
    "__buffer__ of a grid in construction": with_exporter(
        "buffer", lambda ind, exporter: ind.__init__(**config(event_ages=exporter)), np.array([10.0, np.inf])),
}


@pytest.mark.parametrize("mischief", MISCHIEF.values(), ids=MISCHIEF.keys())
@pytest.mark.parametrize("arm", TRIGGERS.values(), ids=TRIGGERS.keys())
def test_callbacks_that_change_the_object(arm, mischief):
    trap = Trap(mischief)
    individual, action = arm(trap)
    trap.victim = individual
    try:
        action(individual)
    except SystemError as error:
        pytest.fail(f"SystemError: {error}")
    except Exception:
        pass
    assert trap.sprung, "the callback was not reached"
    trap.victim = None
    # The object stays usable: it can be reduced or reports why not.
    try:
        individual.__reduce__()
    except (AttributeError, TypeError):
        pass


def test_a_snapshot_function_that_restarts_the_life_records_into_the_new_arrays():
    # The values go to the arrays the object holds once the functions have
    # returned, never to the arrays it held before.
    def restart(ind):
        ind.__setstate__(other_state())
        ind.next_block(0, {}, {})
        ind.next_person()
        ind.next_universe()
        return {"ill": 1}

    individual = in_life(make(snapshot_functions=[restart]))
    before = individual.output_snapshots_ages()
    try:
        individual._snapshot_age(60.0)
    except IndexError:
        pass
    assert before.sum() == 0
    assert individual.output_snapshots_ages().sum() in (0, 1)


def test_new_blocks_go_to_the_columns_held_once_their_buffers_are_acquired():
    # Acquiring a new block's buffer replaces the five columns; the blocks
    # must be appended to the new lists, not to the freed old ones.
    columns = [f"_log_event_individual_{c}" for c in ("universe", "individual", "element", "age", "tag")]
    trap = Trap(lambda ind: ind.__setstate__(state_with(ind, **{column: [] for column in columns})))
    individual, action = with_new_blocks(trap)
    trap.victim = individual
    action(individual)
    assert trap.sprung
    assert [len(field(individual, column)) for column in columns] == [1] * 5
    assert field(individual, "_log_event_individual_entry_idx") == 1


def test_a_seed_method_that_changes_the_seeds_stops_the_loop():
    class Growing:
        def seed(self, value):
            seeds[f"extra {len(seeds)}"] = value

    individual = make()
    individual.random = {"onset": Growing(), "screening": Growing()}
    seeds = {"onset": 1, "screening": 2}
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        individual.next_block(0, {}, seeds)

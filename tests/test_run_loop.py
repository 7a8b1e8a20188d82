"""The engine's run loop against the run loop written in Python that it
replaced: the same results bit for bit, and the same errors with the same
notes, on a table of models."""

import itertools
import math
import pickle

import numpy as np
import pytest

import tavlen.model
import tavlen.simulation as simulation
from tavlen import Model, Process, demo, handles
from tavlen.individual import Individual, run_lives


def python_loop(individual, processes, universes, size, people, events_limit, mistakes=None, streams=()):
    """The run loop as the driver ran it in Python, kept as the reference."""
    dispatch = {}
    for process in processes:
        dispatch.update(process.handlers())
    starts = [process.start for process in processes if type(process).start is not Process.start]
    next_person, next_universe = individual.next_person, individual.next_universe
    next_event, log_ongoing_durations = individual.next_event, individual.log_ongoing_durations
    limit = range(events_limit)
    person, universe, universe_index = -1, None, -1
    try:
        for person in range(size):
            next_person()
            for universe_index, universe in enumerate(universes):
                next_universe()
                for set_stream in streams:
                    set_stream(int(people[person]))
                for process in processes:
                    process.universe, process.universe_index = universe, universe_index
                for start in starts:
                    start(individual)
                try:
                    for _ in limit:
                        age, _, message, terminate, data = next_event()
                        try:
                            handler = dispatch[message]
                        except KeyError:
                            raise simulation._unhandled(message, dispatch) from None
                        if data:
                            handler(individual, **data)
                        else:
                            handler(individual)
                        if terminate:
                            break
                    else:
                        raise simulation._endless(len(limit), message, age)
                except RuntimeError as error:
                    simulation._explain_empty_queue(error)
                    raise
                if not -math.inf < age < math.inf:
                    raise simulation._ended_at(age, message)
                log_ongoing_durations()
    except Exception as error:
        if 0 <= person < size and universe_index >= 0:
            where = mistakes.where(error, individual) if mistakes is not None else None
            error.add_note(f"while simulating person {int(people[person])} in universe {universe!r}, "
                           f"{where or f'at age {simulation._age_of(individual)}'}")
        if mistakes is not None:
            mistakes.explain(error, individual)
        raise
    finally:
        for process in processes:
            vars(process).pop("universe", None)
            vars(process).pop("universe_index", None)


def outcome(model, monkeypatch, loop, **options):
    """The run's results as arrays, or its error's type, message and notes."""
    with monkeypatch.context() as patch:
        if loop is not None:
            patch.setattr(simulation, "simulate_people", loop)
        patch.setattr(tavlen.model, "MAX_EVENTS_PER_LIFE", 50)
        try:
            results = model.run(**{"birth_years": np.linspace(1940.0, 1970.0, 23), "seed": 11, "block_size": 5,
                                   **options})
        except Exception as error:
            return type(error), str(error), getattr(error, "__notes__", []), error.__suppress_context__
    individual = results.individual
    return ([results.events, results.durations, results.snapshots_ages, results.snapshots_years]
            + [individual[name] for name in sorted(individual)])


# -- models --------------------------------------------------------------------------


class Strata(Process):
    """Moves people between strata at random ages; events with data and priorities."""

    event_tags = ("move", "death")
    duration_tags = ("alive",)
    random_number_generators = ("strata",)

    def start(self, individual):
        individual.log_duration_start("alive")
        draw = individual.random["strata"].random
        individual.add_to_queue(30 * draw(), "move", stratum=1, note="first")
        individual.add_to_queue(30 * draw(), "move", priority=2, stratum=2)
        individual.add_to_queue_age(70 + 10 * draw(), "death", terminate=True)

    @handles("move")
    def move(self, individual, stratum, note=None):
        individual.hop_stratum(stratum if self.universe_index == 0 else 0)
        individual.log_event("move")

    @handles("death")
    def death(self, individual):
        individual.log_event("death")


class Rescheduling(Process):
    """Moves and removes events: removed ones never reach a handler."""

    event_tags = ("check", "gone", "death")
    event_individual_tags = ("check",)
    random_number_generators = ("checks",)

    def start(self, individual):
        memory = individual.memory
        memory["gone"] = individual.add_to_queue(5.0, "gone")
        individual.add_to_queue(1.0, "check", visit=0)
        individual.add_to_queue(3.0, "noise")
        individual.remove_from_queue_message("noise")
        memory["death"] = individual.add_to_queue(90.0, "death", terminate=True)

    @handles("check")
    def check(self, individual, visit):
        individual.log_event("check")
        individual.log_event_individual("check", element=visit)
        if visit == 0:
            individual.remove_from_queue(individual.memory["gone"])
        if visit < 5:
            individual.add_to_queue(individual.random["checks"].random() * 4, "check", visit=visit + 1)
        else:
            individual.memory["death"] = individual.move_in_queue(individual.memory["death"], -20.0)

    @handles("gone", "noise")
    def never(self, individual):
        raise AssertionError("a removed event was handled")

    @handles("death")
    def death(self, individual):
        individual.log_event("death")


class Raising(Process):
    """Fails in the way given, at the second person's start or event."""

    event_tags = ("death",)

    def __init__(self, how):
        self.how = how

    def start(self, individual):
        if self.how == "start" and individual.year > 1941:
            raise ValueError("cannot start")
        individual.add_to_queue(10.0, "death", terminate=True, **({"extra": 1} if self.how == "keyword" else {}))

    @handles("death")
    def death(self, individual):
        if self.how == "property" and individual.year > 1951:
            individual.properties("weight")
        if self.how == "queue":
            individual.next_event()
        individual.log_event("death")


class Forever(Process):
    @handles("tick")
    def tick(self, individual):
        individual.add_to_queue(1.0, "tick")

    def start(self, individual):
        individual.add_to_queue(1.0, "tick")


class Stray(Process):
    def start(self, individual):
        individual.add_to_queue(math.inf, "gone", terminate=True) if self.universe == "b" else None
        individual.add_to_queue(3.0, "unknown", terminate=True)


class Infinite(Process):
    event_tags = ("death",)

    def start(self, individual):
        individual.add_to_queue(math.inf if self.universe_index == 1 else 50.0, "death", terminate=True)

    @handles("death")
    def death(self, individual):
        individual.log_event("death")


class Listing(Individual):
    """Hands the events out as lists, their data as a list of pairs' mapping."""

    def next_event(self):
        age, priority, message, terminate, data = super().next_event()
        return [age, priority, message, terminate, Pairs(data) if data else data]


class Pairs:
    def __init__(self, data):
        self.data = dict(data)

    def keys(self):
        return self.data.keys()

    def __getitem__(self, key):
        return self.data[key]

    def __bool__(self):
        return bool(self.data)


class ListingModel(Model):
    individual_type = Listing


class NotMapping(Individual):
    def next_event(self):
        age, priority, message, terminate, data = super().next_event()
        return age, priority, message, terminate, 5 if data else data


class Handing(Individual):
    """Hands the events out as something else: `shape` makes it of the record."""

    shape = staticmethod(lambda record: record)

    def next_event(self):
        return self.shape(super().next_event())


def handing(shape):
    """A model whose Individual hands its events out as shape(record)."""
    individual_type = type("Shaped", (Handing,), {"shape": staticmethod(shape)})
    return type("M", (Model,), {"individual_type": individual_type})([Strata()])


def snapshot(individual):
    return ("alive",) if individual.age < 42 else 1 / 0


MODELS = {
    "demo": (demo.model(), dict(demo.RUN_OPTIONS)),
    "demo, independent streams": (demo.model(), dict(**demo.RUN_OPTIONS, common_random_numbers=False)),
    "strata, dynamic": (Model([Strata()]), dict(n_stratum_hops=2, preserve_stratum="dynamic",
                                               universes=["a", "b"], duration_ages=(0, 20, 50))),
    "strata, final": (Model([Strata()]), dict(n_stratum_hops=2, preserve_stratum="final", universes=["a", "b"])),
    "moves and removals": (Model([Rescheduling()]), dict(universes=["a", "b", "c"], log_events_individual=True)),
    "events as lists, data as a mapping": (ListingModel([Strata()]), dict(n_stratum_hops=2, universes=["a", "b"])),
    "a subclass of Individual": (type("M", (Model,), {"individual_type": type("Sub", (Individual,), {})})(
        [Rescheduling()]), dict(universes=["a", "b"])),
    # errors
    "start raises": (Model([Raising("start")]), dict(universes=["a", "b"])),
    "unexpected keyword": (Model([Raising("keyword")]), {}),
    "unknown property": (Model([Raising("property")]), {}),
    "empty queue": (Model([Raising("queue")]), dict(universes=["a", "b"])),
    "no terminating event": (Model([Forever()]), {}),
    "unhandled message": (Model([Stray()]), dict(universes=["a", "b"])),
    "infinite age": (Model([Infinite()]), dict(universes=["a", "b"])),
    "data not a mapping": (type("M", (Model,), {"individual_type": NotMapping})([Strata()]), dict(n_stratum_hops=2)),
    "a record of six": (handing(lambda record: [*record, None]), {}),
    "a record of four": (handing(lambda record: record[:4]), {}),
    "an endless record": (handing(lambda record: itertools.chain(record, itertools.count())), {}),
    "a record of nothing": (handing(lambda record: 5), {}),
    "a dict as the record": (handing(lambda record: dict.fromkeys("abcdef")), {}),
    "snapshot fails": (Model([Infinite()]), dict(snapshot_ages=[40, 45], snapshot_tags=["alive"],
                                                snapshot_functions=[snapshot])),
}


@pytest.mark.parametrize("model, options", MODELS.values(), ids=MODELS.keys())
def test_the_engines_loop_gives_what_the_python_loop_gives(model, options, monkeypatch):
    native = outcome(model, monkeypatch, None, **options)
    reference = outcome(model, monkeypatch, python_loop, **options)
    if isinstance(reference, tuple):
        assert native == reference
    else:
        assert len(native) == len(reference)
        for ours, theirs in zip(native, reference):
            assert ours.dtype == theirs.dtype and ours.tobytes() == theirs.tobytes()
    for process in model.processes:  # the run leaves the processes as it found them
        assert "universe" not in vars(process) and "universe_index" not in vars(process)
        pickle.dumps(process)


SEEN = []


class Reader(Process):
    def start(self, individual):
        SEEN.append((self.universe, self.universe_index, "universe" in vars(self)))
        individual.add_to_queue(1.0, "end", terminate=True)

    @handles("end")
    def end(self, individual):
        pass


def test_universe_is_a_plain_attribute_during_a_life_and_explained_outside_one():
    SEEN.clear()
    reader = Reader()
    Model([reader]).run([2000.0, 2001.0], universes=["x", "y"])
    assert SEEN == [("x", 0, True), ("y", 1, True)] * 2
    for name in ("universe", "universe_index"):
        with pytest.raises(RuntimeError, match=rf"Reader\.{name} is only known while a run simulates a life"):
            getattr(reader, name)
    with pytest.raises(AttributeError, match="'Reader' object has no attribute 'other'"):
        reader.other


@pytest.mark.parametrize("arguments, error, message", [
    (dict(events_limit=0), ValueError, "events_limit must be at least 1"),
    (dict(dispatch=[]), TypeError, "Argument 'dispatch' has incorrect type"),
    (dict(where=()), TypeError, "Argument 'where' has incorrect type"),
    (dict(people=[0]), TypeError, "Argument 'people' has incorrect type"),
    (dict(events_limit="3"), TypeError, "cannot be interpreted as an integer"),
])
def test_run_lives_refuses_what_it_cannot_run(arguments, error, message):
    where = [None]
    given = dict(individual=None, dispatch={}, starts=(), processes=(), universes=("u",), people=(0,),
                 events_limit=10, streams=(), where=where) | arguments
    with pytest.raises(error, match=message):
        run_lives(**given)
    assert where == [None]


def test_a_limit_of_no_events_is_refused_before_any_life(monkeypatch):
    monkeypatch.setattr(tavlen.model, "MAX_EVENTS_PER_LIFE", 0)
    with pytest.raises(tavlen.model.ModelError, match="MAX_EVENTS_PER_LIFE must be at least 1, got 0"):
        Model([Forever()]).run([2000.0])

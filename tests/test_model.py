"""The driver: the order in which Model.run calls the Individual, the
dispatch of events to processes, the seeding of generators by block, and the
errors for models and configurations that cannot run."""

import concurrent.futures
import math
import pickle
import random
import sys
import threading

import numpy as np
import pytest

import tavlen
from tavlen import Block, Model, ModelError, Process, block_seed, handles
from tavlen.dealing import dealt_order
from tavlen.individual import Philox
from tavlen.streams import generator_key

from lives import Life


class Recorder:
    """Stands in for the Individual and records the driver's calls. Each life
    runs the events scripted in LIFE; starts and handlers add their own
    entries to the same record."""

    LIFE = [(0.5, "tick", False, {"n": 1}), (2.0, "stop", True, {})]

    def __init__(self, *arguments):
        self.calls = [("__init__", arguments[0]["__birth__"].tolist())]
        RECORDS.append(self.calls)
        self.age = -1.0

    def next_block(self, first_person, properties_tmp, random_seeds):
        self.calls.append(("next_block", first_person, sorted(properties_tmp), sorted(random_seeds)))

    def next_person(self):
        self.calls.append(("next_person",))

    def next_universe(self):
        self.calls.append(("next_universe",))
        self.script = list(self.LIFE)

    def next_event(self):
        self.calls.append(("next_event",))
        event = self.script.pop(0)
        self.age = event[0]
        return (event[0], 0, event[1], event[2], event[3])

    def log_ongoing_durations(self):
        self.calls.append(("log_ongoing_durations",))

    def __getattr__(self, name):
        if not name.startswith("output_"):
            raise AttributeError(name)

        def output():
            self.calls.append((name,))
            if name == "output_events_individual":
                return {key: np.zeros(0, dtype) for key, dtype in
                        [("universe", np.uint8), ("individual", np.uint32), ("element", np.uint16),
                         ("age", np.float64), ("tag", np.uint16)]}
            shape = (2, 1, 0, 1, 1) if name in ("output_events", "output_durations") else (2, 1, 0, 0)
            return np.zeros(shape, np.float64 if name == "output_durations" else np.uint32)

        return output


RECORDS: list = []


class Clock(Process):
    random_number_generators = ("clock",)

    def start(self, individual):
        individual.calls.append(("start", self.universe))

    def block_properties(self, block):
        return {"first": np.full(block.size, block.position)}

    @handles("tick", "stop")
    def handle(self, individual, **data):
        individual.calls.append(("handle", individual.age, data))


class RecordingModel(Model):
    individual_type = Recorder


def test_a_block_refuses_the_first_person_it_no_longer_has():
    block = Block(index=0, position=0, size=2, properties={}, seed=1, people=np.array([0, 5]))
    with pytest.raises(AttributeError, match="block.people holds their indices in the population"):
        block.first_person


def test_calling_order_follows_blocks_people_universes_and_events():
    RECORDS.clear()
    RecordingModel([Clock()]).run([1950.0, 1960.0, 1970.0], universes=["a", "b"], block_size=2, seed=1)
    life = lambda universe: [("next_universe",), ("start", universe),
                             ("next_event",), ("handle", 0.5, {"n": 1}),
                             ("next_event",), ("handle", 2.0, {}),
                             ("log_ongoing_durations",)]
    person = [("next_person",), *life("a"), *life("b")]
    outputs = [("output_events_individual",), ("output_events",), ("output_durations",),
               ("output_snapshots_ages",), ("output_snapshots_years",)]
    # One Individual per block, each holding only the people dealt to it.
    births = np.array([1950.0, 1960.0, 1970.0])[dealt_order(3, 2)].tolist()
    assert RECORDS == [
        [("__init__", births[:2]), ("next_block", 0, ["first"], []), *person, *person, *outputs],
        [("__init__", births[2:]), ("next_block", 0, ["first"], []), *person, *outputs],
    ]


# -- with the real Individual ------------------------------------------------


def draws(seed, people=5, block_size=2, universes=("u",), **options):
    """Each life's draw, by person and universe."""
    results = Model([Life()]).run(np.full(people, 2000.0), universes=universes, seed=seed, block_size=block_size,
                                  **options)
    return results.individual["age"][np.argsort(results.individual["individual"], kind="stable")]


def test_each_life_starts_its_persons_stream():
    first = draws(seed=7, universes=("u", "v"))
    assert not np.array_equal(first, draws(seed=8, universes=("u", "v")))
    generator = Philox(generator_key(7, "life"))
    expected = []
    for person in range(5):
        generator.set_stream(person)
        expected += [generator.random()] * 2  # the same draw in both universes
    assert first.tolist() == expected
    # The streams are the people's, not the blocks'.
    np.testing.assert_array_equal(first, draws(seed=7, universes=("u", "v"), block_size=3))


def test_without_common_random_numbers_generators_run_on_through_a_block():
    first = draws(seed=7, common_random_numbers=False)
    np.testing.assert_array_equal(first, draws(seed=7, common_random_numbers=False))
    # Block 1's two people draw from a generator that starts from that
    # block's seed and runs on from person to person.
    generator = random.Random(block_seed(7, 1, "life"))
    assert first[dealt_order(5, 2)[2:4]].tolist() == [generator.random(), generator.random()]


class Episodes(Process):
    """Recurrent episodes of illness until a death at a normal age. From
    ``policy_age`` on, the universe "policy" treats half the episodes (a
    draw from the treatment's own generator), which halves their length and
    so moves every later episode."""

    event_tags = ("episode", "treated", "death")
    duration_tags = ("alive", "ill")
    random_number_generators = ("death", "episodes", "treatment")

    def __init__(self, policy_age=math.inf):
        self.policy_age = policy_age

    def start(self, individual):
        individual.log_duration_start("alive")
        # One normal deviate per life: gauss keeps its pair's second for the next life.
        individual.add_to_queue_age(max(1.0, individual.random["death"].gauss(70.0, 15.0)), "death", terminate=True)
        individual.add_to_queue(individual.random["episodes"].expovariate(0.3), "episode")

    @handles("episode")
    def episode(self, individual):
        individual.log_event("episode")
        draws = individual.random["episodes"]
        length = abs(draws.gauss(0.5, 0.3))
        if (self.universe == "policy" and individual.age >= self.policy_age
                and individual.random["treatment"].random() < 0.5):
            individual.log_event("treated")
            length /= 2
        individual.log_duration("ill", individual.age, individual.age + length)
        individual.add_to_queue(length + draws.expovariate(0.3), "episode")

    @handles("death")
    def death(self, individual):
        individual.log_event("death")


def run_episodes(policy_age=math.inf, block_size=64, **options):
    return Model([Episodes(policy_age)]).run(
        np.linspace(1930.0, 1990.0, 200), universes=["reference", "policy"], event_ages=[0, 30, 60, 90],
        duration_ages=[0, 30, 60, 90], event_years=[1900, 1980, 2000], duration_years=[1900, 1980, 2000],
        seed=3, block_size=block_size, **options)


@pytest.mark.parametrize("policy_age, same_below", [(math.inf, 4), (60.0, 2), (30.0, 1)])
def test_universes_stay_identical_until_the_policy_acts(policy_age, same_below):
    results = run_episodes(policy_age)
    for name in ("events", "durations"):
        reference, policy = getattr(results, name)[:, ..., :same_below]
        np.testing.assert_array_equal(reference, policy, err_msg=name)
        assert not np.array_equal(*getattr(results, name)) or same_below == 4
    # The same model without common random numbers: the universes part at once.
    alike = run_episodes(common_random_numbers=False)
    assert not np.array_equal(alike.events[0], alike.events[1])


def test_counts_do_not_depend_on_the_block_size():
    # Streams follow people, so only the rounding of the duration sums moves with the blocks.
    results, other = run_episodes(60.0), run_episodes(60.0, block_size=7)
    np.testing.assert_array_equal(results.events, other.events)
    np.testing.assert_allclose(results.durations, other.durations, rtol=1e-12)


def test_individual_log_keeps_global_person_indices_in_block_order():
    results = Model([Life()]).run(np.full(5, 2000.0), universes=["u", "v"], seed=1, block_size=2)
    assert results.individual["individual"].tolist() == np.repeat(dealt_order(5, 2), 2).tolist()
    assert results.individual["universe"].tolist() == [0, 1] * 5
    assert results.events.sum() == 10 and results.events.dtype == np.int64


class Reader(Life):
    """Logs each person's property and block property as ages of the individual-level log."""

    def block_properties(self, block):
        return {"twice": 2 * block.properties["value"]}

    def start(self, individual):
        individual.add_to_queue(1.0, "end", terminate=True, value=individual.properties("value"))
        individual.log_event_individual("draw", age=individual.properties_tmp("twice"))


def test_population_and_block_properties_reach_their_person():
    values = np.arange(5) * 10.0
    results = Model([Reader()]).run(np.full(5, 2000.0), properties={"value": values}, seed=1, block_size=2)
    people = dealt_order(5, 2)
    assert results.individual["age"].tolist() == [age for person in people for age in (20 * person, 10 * person)]


@pytest.mark.parametrize("block_size", [1, 2, 4])
def test_blocks_without_the_highest_stratum_count_every_stratum(block_size):
    # A population sorted by stratum: the first blocks hold stratum 0 only.
    results = Model([Life()]).run(np.full(5, 2000.0), strata=[0, 0, 1, 1, 2], block_size=block_size, seed=1)
    assert results.strata == ("0", "1", "2")
    assert results.events[0, :, 0].sum(axis=(1, 2)).tolist() == [2, 2, 1]


def test_processes_and_run_merge_tags_and_generators():
    results = Model([Life()]).run([2000.0], event_tags=["end", "extra"], random_number_generators=["spare"])
    assert results.event_tags == ("end", "extra")
    assert results.metadata["seed"] >= 0 and results.metadata["population"] == 1
    assert results.metadata["common_random_numbers"] is True


# -- errors ------------------------------------------------------------------


class Silent(Process):
    """Schedules nothing: a life without a terminating event."""

    @handles("never")
    def never(self, individual):
        pass


class Stray(Process):
    def start(self, individual):
        individual.add_to_queue(3.0, "unknown", terminate=True)


class Unlisted(Process):
    def start(self, individual):
        individual.add_to_queue(3.0, "end", terminate=True)

    @handles("end")
    def end(self, individual):
        individual.log_event("not-a-tag")


class Endless(Process):
    """Ticks every year and forgets to end the life at death."""

    def start(self, individual):
        individual.add_to_queue(1.0, "tick")
        individual.add_to_queue(80.0, "death")

    @handles("tick")
    def tick(self, individual):
        individual.add_to_queue(1.0, "tick")

    @handles("death")
    def death(self, individual):
        pass


@pytest.mark.parametrize("model, error, message, note", [
    (Model([Silent()]), RuntimeError, "Event queue empty. Consider including an OC process.",
     "while simulating person 0 in universe 'u'"),
    (Model([Silent()]), RuntimeError, "Event queue empty", "every life needs an event scheduled with terminate=True"),
    (Model([Stray()]), ModelError, "no process handles the message 'unknown'", "in universe 'u', at age 3"),
    (Model([Unlisted()]), Exception, "tag not-a-tag not present among loggable event tags", "person 0"),
    (Model([Endless()]), ModelError, r"a life took 100 events without reaching one scheduled with terminate=True "
     r"\(the last was 'tick' at age 9\d\)", "in universe 'u', at age 9"),
])
def test_a_failing_life_says_which_person_and_universe(model, error, message, note, monkeypatch):
    monkeypatch.setattr(tavlen.model, "MAX_EVENTS_PER_LIFE", 100)  # a life that never ends stops here
    with pytest.raises(error, match=message) as caught:
        model.run([2000.0], universes=["u"])
    assert any(note in n for n in caught.value.__notes__)


class Mistaken(Process):
    """A death at 80 after `start`, logged with `tag`; `snapshot` reports at the snapshot ages and years."""

    event_tags = ("death",)
    duration_tags = ("alive",)
    snapshot_tags = ("alive",)

    def __init__(self, start=lambda individual: None, tag="death", snapshot=None, death=80.0):
        self.on_start, self.tag, self.snapshot, self.death_age = start, tag, snapshot, death

    def start(self, individual):
        individual.log_duration_start("alive")
        individual.add_to_queue(self.death_age, "death", terminate=True)
        self.on_start(individual)

    @handles("death")
    def death(self, individual):
        individual.log_event(self.tag)

    def snapshot_functions(self):
        return (self.snapshot,) if self.snapshot else ()


def hops(individual, n):
    for change in range(n):
        individual.hop_stratum(change % 2)


def fails_after_60(individual):
    return ("alive",) if individual.age < 60 else 1 / 0


@pytest.mark.parametrize("process, options, error, message, notes", [
    (Mistaken(death=math.inf), {}, ModelError,
     r"a life ended at age inf with the event 'death' scheduled with terminate=True; a life must end at a finite age",
     ["person 0 in universe 'u', at age inf"]),
    (Mistaken(snapshot=lambda individual: ("alve",)), dict(snapshot_ages=[50, 60]), Exception,
     "tag alve not present among loggable snapshot tags",
     ["person 0 in universe 'u', taking the snapshot at age 50",
      "the run's snapshot tags are 'alive'; they are declared in the snapshot_tags of a process or given to "
      "Model.run as snapshot_tags"]),
    # The age snapshot at 50 passes, the year 2070.5 fails: the event at 80 takes both.
    (Mistaken(snapshot=fails_after_60), dict(snapshot_ages=[50], snapshot_years=[2070.5]), ZeroDivisionError,
     "division by zero", ["taking the snapshot of the year 2070.5, at age 70.5"]),
    (Mistaken(snapshot=fails_after_60), dict(snapshot_ages=[70], snapshot_years=[2010]), ZeroDivisionError,
     "division by zero", ["taking the snapshot at age 70"]),
    (Mistaken(tag="deth"), {}, Exception, "tag deth not present among loggable event tags",
     ["at age 80", "the run's event tags are 'death', 'extra'; they are declared in the event_tags of a process"]),
    (Mistaken(start=lambda individual: individual.properties("rsik")), dict(properties={"risk": [0.5]}), KeyError,
     "rsik", ["'rsik' is neither a property nor a random number generator of the run: its properties are 'risk' "
              "(given to Model.run as properties), its block properties none"]),
    (Mistaken(start=lambda individual: individual.properties_tmp("risk")), dict(properties={"risk": [0.5]}), KeyError,
     "risk", ["'risk' is a property of the population: individual.properties('risk') reads it"]),
    (Mistaken(start=lambda individual: individual.random["rng"]), dict(random_number_generators=["oc"]), KeyError,
     "rng", ["and its random number generators 'oc' (declared in the random_number_generators of a process"]),
    (Mistaken(start=lambda individual: hops(individual, 257)), dict(n_stratum_hops=1), IndexError,
     r"Out of bounds on buffer access \(axis 0\)",
     ["at age 0", "hop_stratum records at most 256 changes of stratum per person"]),
])
def test_a_modelling_mistake_is_explained(process, options, error, message, notes):
    with pytest.raises(error, match=message) as caught:
        Model([process]).run([2000.0], universes=["u"], event_tags=["extra"], **options)
    for note in notes:
        assert any(note in n for n in caught.value.__notes__), caught.value.__notes__


def test_256_changes_of_stratum_and_infinite_events_that_never_come_are_fine():
    never = lambda individual: individual.add_to_queue(math.inf, "death")
    results = Model([Mistaken(start=lambda individual: (hops(individual, 256), never(individual)))]).run(
        [2000.0], n_stratum_hops=1)
    assert results.durations.sum() == 80.0


def test_processes_travel_by_value_and_must_pickle():
    class Local(Life):  # defined in a function: plain pickle cannot name it
        pass

    class Locked(Life):
        def __init__(self):
            self.lock = threading.Lock()

    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        assert Model([Local()]).run([1950.0], executor=pool, seed=1).equals(Model([Local()]).run([1950.0], seed=1))
        for options in ({"executor": pool}, {}):
            with pytest.raises(ModelError, match="fresh copies of the model's processes.*must pickle"):
                Model([Locked()]).run([1950.0], **options)
    assert pickle.loads(pickle.dumps(Model([Life()]))).processes[0].messages == ("end",)


def test_model_needs_processes():
    with pytest.raises(ModelError, match="at least one process"):
        Model([])
    with pytest.raises(TypeError, match="Process objects, got function"):
        Model([lambda individual: None])
    assert "Life" in repr(Model([Life()])) and tavlen.Model is Model


@pytest.mark.parametrize("module, use, extra", [
    ("tqdm", lambda: Model([Life()]).run([2000.0], progress=True), "progress"),
    ("xarray", lambda: Model([Life()]).run([2000.0]).to_xarray(), "xarray"),
])
def test_optional_packages_are_named_when_missing(monkeypatch, module, use, extra):
    monkeypatch.setitem(sys.modules, module, None)  # makes the import fail
    with pytest.raises(ImportError, match=rf"needs the optional package '{module}'.*pip install 'tavlen\[{extra}\]'"):
        use()


def test_progress_bar_counts_people(capsys):
    pytest.importorskip("tqdm")
    Model([Life()]).run(np.full(5, 2000.0), progress=True, block_size=2)
    assert "5/5" in capsys.readouterr().err


class Hop(Process):
    """Logs "mark" at birth, moves to stratum 1 at age 1, and ends the life at 2."""

    event_tags = ("mark",)
    duration_tags = ("alive",)

    def start(self, individual):
        individual.log_event("mark")
        individual.log_duration_start("alive")
        individual.add_to_queue(1.0, "hop")
        individual.add_to_queue(2.0, "end", terminate=True)

    @handles("hop")
    def hop(self, individual):
        individual.hop_stratum(1)

    @handles("end")
    def end(self, individual):
        pass


@pytest.mark.parametrize("preserve, marks_by_stratum", [(None, [[1, 0], [1, 0]]), ("final", [[1, 0], [0, 1]])])
def test_strata_and_preserve_setting_reach_the_individual(preserve, marks_by_stratum):
    results = Model([Hop()]).run([2000.0], universes=["first", "second"], n_stratum_hops=1,
                                 stratum_labels=["well", "ill"], preserve_stratum=preserve)
    assert results.strata == ("well", "ill")
    assert results.events[:, :, 0].sum(axis=(2, 3)).tolist() == marks_by_stratum
    # A year in each stratum in the first universe, split at the hop.
    assert results.durations[0, :, 0].sum(axis=(1, 2)).tolist() == [1.0, 1.0]

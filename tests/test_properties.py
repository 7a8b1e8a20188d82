"""Property-based tests: random sequences of valid and invalid operations on
one Individual, checked against a plain-Python model of what it must hold.

The invariants: the queue hands events out in due order and ids are unique
per life; the event log counts exactly the events logged; durations credited
in grids ending in +inf add up to the logged interval lengths; the individual
log holds exactly the entries written, in order; snapshots count what the
snapshot functions returned. Invalid operations raise and change nothing that
the model tracks.
"""

import bisect
import math

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import strategies as st  # noqa: E402
from hypothesis.stateful import (  # noqa: E402
    RuleBasedStateMachine,
    invariant,
    precondition,
    rule,
)

from tavlen.individual import Individual  # noqa: E402

BIRTHS = [1950.0, 1960.5, 1975.25]
STRATA = [0, 1, 0]
EVENT_TAGS = ["birth", "onset", "death"]
EVENT_AGES = [20.0, 40.0, 60.0, math.inf]
EVENT_YEARS = [2000.0, math.inf]
DURATION_TAGS = ["alive", "ill"]
INDIVIDUAL_TAGS = ["onset", "death"]
SNAPSHOT_AGES = [10.0, 20.5, 30.0]
SNAPSHOT_YEARS = [1990.0, 2000.0]
SNAPSHOT_VALUES = {"ill": 1, "well": 2}
UNIVERSES = 2
STRATUM_N = 3  # with n_stratum_hops=2; without, the largest initial stratum + 1

# Ages often on a grid edge, a snapshot age or each other, where the rules
# that compare ages (bins, replay, snapshot ranges) decide.
EDGES = [0.0, 10.0, 20.0, 20.5, 30.0, 35.0, 40.0, 50.0, 60.0]
ages = st.one_of(st.sampled_from(EDGES), st.floats(0.0, 90.0, allow_nan=False))
messages = st.sampled_from(["onset", "death", "visit"])
priorities = st.integers(-3, 3)
unknown_tag = "nowhere"


def bin_of(value, grid):
    """The bin rule: the first edge strictly above value; the last bin otherwise."""
    for i, edge in enumerate(grid):
        if value < edge:
            return i
    return len(grid) - 1


def make(preserve_stratum=None, stratum_hops=True):
    return Individual(
        properties={"__birth__": np.array(BIRTHS), "__stratum__": np.array(STRATA, dtype=np.int16)},
        universes=[f"universe {u}" for u in range(UNIVERSES)],
        random_number_generators=["onset"],
        event_tags=list(EVENT_TAGS),
        event_ages=np.array(EVENT_AGES),
        event_years=np.array(EVENT_YEARS),
        duration_tags=list(DURATION_TAGS),
        duration_ages=np.array([35.0, 50.0, math.inf]),
        duration_years=np.array([1990.0, 2010.0, math.inf]),
        event_individual_tags=list(INDIVIDUAL_TAGS),
        individual_block_size=3,
        snapshot_tags=list(SNAPSHOT_VALUES),
        snapshot_ages=list(SNAPSHOT_AGES),
        snapshot_years=list(SNAPSHOT_YEARS),
        snapshot_functions=[lambda individual: dict(SNAPSHOT_VALUES)],
        n_stratum_hops=STRATUM_N - 1 if stratum_hops else None,
        preserve_stratum=preserve_stratum,
        log_events_individual=True,
        verify_tags=True,
    )


# Calls with arguments of the wrong type.
WRONG_CALLS = [
    lambda ind: ind.add_to_queue(1.0, b"onset"),
    lambda ind: ind.add_to_queue("soon", "onset"),
    lambda ind: ind.add_to_queue_age(1.0, "onset", "high"),
    lambda ind: ind.remove_from_queue("0"),
    lambda ind: ind.move_in_queue(0),
    lambda ind: ind.next_event(0),
    lambda ind: ind.log_event(1),
    lambda ind: ind.log_duration("alive", "0", 1.0),
    lambda ind: ind.log_duration_start("alive", 3),
    lambda ind: ind.log_event_individual("onset", None),
    lambda ind: ind.hop_stratum("1"),
    lambda ind: ind._snapshot_age(None),
]


class IndividualMachine(RuleBasedStateMachine):
    PRESERVE = None  # the preserve-stratum setting
    STRATUM_HOPS = True  # n_stratum_hops given: durations split, the record cleared per universe

    def __init__(self):
        super().__init__()
        self.individual = make(self.PRESERVE, self.STRATUM_HOPS)
        self.stratum_n = STRATUM_N if self.STRATUM_HOPS else max(STRATA) + 1
        self.individual.next_block(0, {}, {"onset": 1})
        self.person = -1
        self.events_counted = np.zeros(self.individual.output_events().shape, dtype=np.int64)
        self.snapshots_ages = np.zeros((UNIVERSES, len(SNAPSHOT_AGES)), dtype=np.int64)
        self.snapshots_years = np.zeros((UNIVERSES, len(SNAPSHOT_YEARS)), dtype=np.int64)
        self.durations_total = 0.0
        self.entries = []
        self.start_person()

    # --- Lives ---------------------------------------------------------------------

    def start_person(self):
        self.individual.next_person()
        self.person += 1
        self.universe = -1
        self.hops = []  # the hop record: (age, stratum)
        self.preserve_dynamic = self.preserve_final = False
        self.start_life()

    def start_life(self):
        self.individual.next_universe()
        self.universe += 1
        self.age = 0.0
        self.birth = BIRTHS[self.person]
        if self.universe > 0 and self.PRESERVE == "dynamic":
            self.preserve_dynamic = True
        elif self.universe > 0 and self.PRESERVE == "final":
            self.preserve_final = True
        elif self.STRATUM_HOPS:
            self.hops = []
        if not self.preserve_final:
            self.stratum = STRATA[self.person]
        self.live = {}  # id -> (due age, priority, message, terminate, kwargs)
        self.ids = set()
        self.ongoing = {}
        self.next_snapshot_age = 0
        self.next_snapshot_year = bisect.bisect_right(SNAPSHOT_YEARS, self.birth)

    @precondition(lambda self: self.universe < UNIVERSES - 1)
    @rule()
    def next_universe(self):
        self.start_life()

    @precondition(lambda self: self.person < len(BIRTHS) - 1)
    @rule()
    def next_person(self):
        self.start_person()

    # --- Queue ---------------------------------------------------------------------

    def scheduled(self, event_id, due, priority, message, terminate, kwargs):
        assert isinstance(event_id, int) and event_id not in self.ids, "ids are unique within a life"
        self.ids.add(event_id)
        self.live[event_id] = (due, priority, message, terminate, kwargs)

    @rule(delta=st.one_of(st.sampled_from([0.0, 5.0, 10.0, -1.0]), st.floats(-5.0, 40.0, allow_nan=False)),
          message=messages, priority=priorities,
          terminate=st.booleans(), data=st.dictionaries(st.sampled_from(["site", "lesion"]), st.integers()))
    def add_to_queue(self, delta, message, priority, terminate, data):
        if delta < 0:
            with pytest.raises(AssertionError, match="Event should take place in the future"):
                self.individual.add_to_queue(delta, message, priority, terminate, **data)
            return
        event_id = self.individual.add_to_queue(delta, message, priority, terminate, **data)
        self.scheduled(event_id, delta + self.age, priority, message, terminate, data)

    @rule(age=ages, message=messages, priority=priorities, by_year=st.booleans())
    def add_to_queue_at(self, age, message, priority, by_year):
        if by_year:
            year = self.birth + age
            due, call = year - self.birth, lambda: self.individual.add_to_queue_year(year, message, priority)
        else:
            due, call = age, lambda: self.individual.add_to_queue_age(age, message, priority=priority)
        if due < self.age:
            with pytest.raises(AssertionError):
                call()
            return
        self.scheduled(call(), due, priority, message, False, {})

    @rule(data=st.data())
    def remove_from_queue(self, data):
        event_id = data.draw(st.sampled_from(sorted(self.ids | {-1, 10**6})))
        self.individual.remove_from_queue(event_id)
        self.live.pop(event_id, None)

    @rule(message=messages)
    def remove_from_queue_message(self, message):
        self.individual.remove_from_queue_message(message)
        self.live = {k: v for k, v in self.live.items() if v[2] != message}

    @rule(data=st.data(), kind=st.sampled_from(["delta", "age", "year"]), value=st.floats(-10.0, 60.0))
    def move_in_queue(self, data, kind, value):
        event_id = data.draw(st.sampled_from(sorted(self.ids | {10**6})))
        if event_id not in self.live:
            with pytest.raises(KeyError):
                self.individual.move_in_queue(event_id, value)
            return
        due, priority, message, terminate, kwargs = self.live[event_id]
        if kind == "delta":
            new_due, call = due + value, self.individual.move_in_queue
        elif kind == "age":
            new_due, call = value, self.individual.move_in_queue_age
        else:
            value = self.birth + value
            new_due, call = value - self.birth, self.individual.move_in_queue_year
        if new_due < self.age:
            with pytest.raises(AssertionError):
                call(event_id, value)
            # Whether a failed move keeps the event or not, it goes now.
            self.individual.remove_from_queue(event_id)
            del self.live[event_id]
            return
        new_id = call(event_id, value)
        del self.live[event_id]
        self.scheduled(new_id, new_due, priority, message, terminate, kwargs)

    @rule()
    def next_event(self):
        if not self.live:
            with pytest.raises(RuntimeError, match="Event queue empty"):
                self.individual.next_event()
            return
        expected = min(self.live, key=lambda k: (self.live[k][0], -self.live[k][1], k))
        record = self.individual.next_event()
        assert record == self.live.pop(expected), "events come out by due age, priority, then id"
        due = record[0]
        self.record_snapshots(due)
        self.age = due
        assert self.individual.age == due

    @rule()
    def handle_next_event(self):
        """What a process does with an event: take it and log its message."""
        if self.live:
            message = min(self.live.items(), key=lambda item: (item[1][0], -item[1][1], item[0]))[1][2]
            self.next_event()
            if message in EVENT_TAGS:
                self.log_event(message)

    def record_snapshots(self, due):
        while self.next_snapshot_age < len(SNAPSHOT_AGES) and due > SNAPSHOT_AGES[self.next_snapshot_age]:
            self.snapshots_ages[self.universe, self.next_snapshot_age] += sum(SNAPSHOT_VALUES.values())
            self.next_snapshot_age += 1
        year = due + self.birth
        while self.next_snapshot_year < len(SNAPSHOT_YEARS) and year > SNAPSHOT_YEARS[self.next_snapshot_year]:
            self.snapshots_years[self.universe, self.next_snapshot_year] += sum(SNAPSHOT_VALUES.values())
            self.next_snapshot_year += 1

    # --- Logs ----------------------------------------------------------------------

    @rule(stratum=st.integers(0, STRATUM_N))
    def hop_stratum(self, stratum):
        if self.preserve_dynamic or self.preserve_final:
            self.individual.hop_stratum(stratum)  # no effect in a preserved universe
            return
        if stratum >= self.stratum_n:
            with pytest.raises(AssertionError, match="Attempted to hop to a stratum"):
                self.individual.hop_stratum(stratum)
            return
        self.individual.hop_stratum(stratum)
        self.stratum = stratum
        self.hops.append((self.age, stratum))

    def individual_entry(self, tag, age=-1.0, element=0):
        self.entries.append((self.universe, self.person, element, self.age if age == -1.0 else age,
                             INDIVIDUAL_TAGS.index(tag)))

    @rule(tag=st.sampled_from(EVENT_TAGS + [unknown_tag]))
    def log_event(self, tag):
        if tag not in EVENT_TAGS:
            with pytest.raises(Exception, match=f"tag {tag} not present among loggable event tags"):
                self.individual.log_event(tag)
            return
        if self.preserve_dynamic:  # the first universe's changes, replayed up to now
            for age, stratum in self.hops:
                if age > self.age:
                    break
                self.stratum = stratum
        cell = (self.universe, self.stratum, EVENT_TAGS.index(tag), bin_of(self.birth + self.age, EVENT_YEARS),
                bin_of(self.age, EVENT_AGES))
        if tag in INDIVIDUAL_TAGS:
            self.individual.log_event(tag)
            self.individual_entry(tag)
        else:
            # Counted, then refused by the individual-level log.
            with pytest.raises(Exception, match="not present among loggable individual event tags"):
                self.individual.log_event(tag)
        self.events_counted[cell] += 1

    @rule(tag=st.sampled_from(INDIVIDUAL_TAGS + [unknown_tag]),
          age=st.one_of(st.just(-1.0), st.floats(-5.0, 90.0, allow_nan=False)),
          element=st.one_of(st.integers(0, 65535), st.just(70000), st.just(-1)))
    def log_event_individual(self, tag, age, element):
        if tag not in INDIVIDUAL_TAGS:
            with pytest.raises(Exception, match="not present among loggable individual event tags"):
                self.individual.log_event_individual(tag, age, element)
        elif not 0 <= element <= 65535:
            with pytest.raises(OverflowError):
                self.individual.log_event_individual(tag, age, element)
        else:
            self.individual.log_event_individual(tag, age, element)
            self.individual_entry(tag, age, element)

    @rule(tag=st.sampled_from(DURATION_TAGS + [unknown_tag]), start=ages, end=ages)
    def log_duration(self, tag, start, end):
        if tag not in DURATION_TAGS:
            with pytest.raises(Exception, match="not present among loggable duration tags"):
                self.individual.log_duration(tag, start, end)
            return
        self.individual.log_duration(tag, start, end)
        self.durations_total += max(0.0, end - start)

    @rule(tag=st.sampled_from(DURATION_TAGS + [unknown_tag]), start=st.one_of(st.none(), ages))
    def log_duration_start(self, tag, start):
        if tag in self.ongoing:
            with pytest.raises(AssertionError, match="is already ongoing"):
                self.individual.log_duration_start(tag, start)
            return
        self.individual.log_duration_start(tag, start)
        self.ongoing[tag] = self.age if start is None else start

    def end_duration(self, tag, end):
        start = self.ongoing.pop(tag)
        end = self.age if end is None else end
        if tag in DURATION_TAGS:
            self.durations_total += max(0.0, end - start)

    @rule(tag=st.sampled_from(DURATION_TAGS + [unknown_tag]), end=st.one_of(st.none(), ages))
    def log_duration_end(self, tag, end):
        if tag not in self.ongoing:
            with pytest.raises(AssertionError, match="was not started before calling log_duration_end"):
                self.individual.log_duration_end(tag, end)
        elif tag not in DURATION_TAGS:
            with pytest.raises(Exception, match="not present among loggable duration tags"):
                self.individual.log_duration_end(tag, end)
            del self.ongoing[tag]
        else:
            self.individual.log_duration_end(tag, end)
            self.end_duration(tag, end)

    @rule(end=st.one_of(st.none(), ages))
    def log_ongoing_durations(self, end):
        tags = list(self.ongoing)
        failing = next((tag for tag in tags if tag not in DURATION_TAGS), None)
        if failing is None:
            self.individual.log_ongoing_durations(end)
        else:
            with pytest.raises(Exception, match="not present among loggable duration tags"):
                self.individual.log_ongoing_durations(end)
        for tag in tags:  # in the order started, up to and including a failing one
            if tag == failing:
                del self.ongoing[tag]
                break
            self.end_duration(tag, end)

    # --- Invalid calls that must change nothing --------------------------------------

    @rule(call=st.sampled_from(WRONG_CALLS))
    def wrong_arguments(self, call):
        with pytest.raises(TypeError):
            call(self.individual)

    # --- Invariants ----------------------------------------------------------------

    @invariant()
    def event_counts_match(self):
        assert np.array_equal(self.individual.output_events(), self.events_counted)

    @invariant()
    def durations_add_up(self):
        logged = self.individual.output_durations()
        assert np.all(np.isfinite(logged)) and np.all(logged >= 0)
        assert logged.sum() == pytest.approx(self.durations_total, rel=1e-9, abs=1e-9)

    @invariant()
    def individual_log_holds_the_entries_in_order(self):
        log = self.individual.output_events_individual()
        assert list(log) == ["universe", "individual", "element", "age", "tag"]
        written = list(zip(*(log[key].tolist() for key in log)))
        assert written == self.entries

    @invariant()
    def snapshots_count_what_the_functions_returned(self):
        assert np.array_equal(self.individual.output_snapshots_ages().sum(axis=(1, 2)), self.snapshots_ages)
        assert np.array_equal(self.individual.output_snapshots_years().sum(axis=(1, 2)), self.snapshots_years)


def machine_test(preserve, stratum_hops):
    machine = type(f"Machine_{preserve}_{stratum_hops}", (IndividualMachine,),
                   {"PRESERVE": preserve, "STRATUM_HOPS": stratum_hops})
    test = machine.TestCase
    test.settings = hypothesis.settings(stateful_step_count=40)
    return test


TestNoPreserveSetting = machine_test(None, True)
TestNoPreserveSettingNorStratumHops = machine_test(None, False)
TestPreserveDynamic = machine_test("dynamic", True)
TestPreserveDynamicWithoutStratumHops = machine_test("dynamic", False)
TestPreserveFinal = machine_test("final", True)

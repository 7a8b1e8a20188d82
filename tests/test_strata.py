"""Strata: hop_stratum and its hop record, the replay of recorded changes by
the logs, and the preserve settings across a person's universes."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

from conftest import field, make

inf = np.inf


def person(universes=2, **overrides):
    """Person 0 of a run (born 1950.0, initial stratum 0), in its first life;
    both logs have one bin per axis."""
    arguments = dict(universes=list(range(universes)), event_ages=np.array([inf]), event_years=np.array([inf]),
                     duration_ages=np.array([inf]), duration_years=np.array([inf]))
    arguments.update(overrides)
    individual = make(**arguments)
    individual.next_block(0, {}, {})
    individual.next_person()
    individual.next_universe()
    return individual


def record(individual):
    n = field(individual, "_person_stratum_hops_n")
    return list(zip(field(individual, "_person_stratum_hops_ages")[:n],
                    field(individual, "_person_stratum_hops_strata")[:n]))


def events_by_stratum(individual, universe):
    return list(field(individual, "_log_events")[universe, :, 0, 0, 0])


def durations_by_stratum(individual, universe):
    return list(field(individual, "_log_durations")[universe, :, 0, 0, 0])


# -- hop_stratum -------------------------------------------------------------------


def test_changes_are_recorded_at_the_current_age():
    individual = person(n_stratum_hops=3)
    individual.age = 12.5
    assert individual.hop_stratum(2) is None
    individual.age = 20.0
    individual.hop_stratum(stratum=2.9)  # int conversion
    individual.hop_stratum(True)
    assert record(individual) == [(12.5, 2), (20.0, 2), (20.0, 1)]
    assert field(individual, "_person_stratum") == 1


def test_256_changes_fit_and_the_257th_raises_after_moving_the_stratum():
    individual = person(n_stratum_hops=3)
    for k in range(256):
        individual.hop_stratum(k % 3)
    with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 0\)"):
        individual.hop_stratum(2)
    assert field(individual, "_person_stratum") == 2
    assert field(individual, "_person_stratum_hops_n") == 256


@pytest.mark.parametrize("stratum, error, message", [
    (3, AssertionError, "Attempted to hop to a stratum 3 whilst only strata up to 2 are allocated. Check that "
                        "the argument `n_stratum_hops` reflects the number of additional strata."),
    # The bound is tested before the stratum is converted to 32 bits.
    (2**31, AssertionError, "Attempted to hop to a stratum 2147483648 whilst only strata up to 2 are allocated"),
    (-1, ValueError, "Attempted to hop to the negative stratum -1: strata are numbered from 0"),
    (-2**40, ValueError, "Attempted to hop to the negative stratum -1099511627776"),
    ("1", TypeError, "Argument 'stratum' has incorrect type"),
])
def test_refused_strata_change_nothing(stratum, error, message):
    individual = person(n_stratum_hops=2)
    individual.hop_stratum(1)
    with pytest.raises(error, match=message):
        individual.hop_stratum(stratum)
    assert field(individual, "_person_stratum") == 1
    assert record(individual) == [(0.0, 1)]


def test_a_stratum_beyond_sixteen_bits_moves_the_stratum_but_is_not_recorded():
    individual = person(universes=1, n_stratum_hops=40000)
    with pytest.raises(OverflowError, match="value too large to convert to short"):
        individual.hop_stratum(40000)
    assert field(individual, "_person_stratum") == 40000
    assert record(individual) == []


# -- the preserve settings across universes ---------------------------------------


@pytest.mark.parametrize("setting", ["dynamic", "final"])
@pytest.mark.parametrize("stratum", [1, 7, -3, 2**40])
def test_preserved_universes_ignore_hop_stratum(setting, stratum):
    individual = person(preserve_stratum=setting, n_stratum_hops=2)
    individual.hop_stratum(2)
    individual.next_universe()
    before = (field(individual, "_person_stratum"), record(individual))
    assert individual.hop_stratum(stratum) is None
    assert (field(individual, "_person_stratum"), record(individual)) == before


def test_dynamic_replays_the_first_universe_for_events_and_durations():
    individual = person(preserve_stratum="dynamic", n_stratum_hops=2)
    individual.age = 40.0
    individual.hop_stratum(1)
    individual.age = 45.0
    individual.hop_stratum(2)
    individual.next_universe()
    assert field(individual, "_person_stratum") == 0
    for age in (10.0, 40.0, 41.0, 45.0):  # a change at exactly the event's age is in force
        individual.age = age
        individual.log_event("birth")
    assert events_by_stratum(individual, 1) == [1, 2, 1]
    assert field(individual, "_person_stratum") == 2
    individual.age = 10.0  # no change is in force yet: the replay keeps the present stratum
    individual.log_event("birth")
    assert events_by_stratum(individual, 1) == [1, 2, 2]
    individual.log_duration("alive", 30.0, 50.0)
    assert durations_by_stratum(individual, 1) == [10.0, 5.0, 5.0]


def live(individual, events, hop_at=None):
    """One life: events at the given ages (each logs "onset"), a move to
    stratum 1 at hop_at, and the end at 60 with the life's duration and death."""
    for age in sorted([*events, *([hop_at] if hop_at else []), 60.0]):
        individual.add_to_queue_age(age, "event")
        individual.next_event()
        if age == hop_at:
            individual.hop_stratum(1)
        elif age == 60.0:
            individual.log_duration("alive", 0.0, 60.0)
            individual.log_event("death")
        else:
            individual.log_event("onset")


@pytest.mark.parametrize("n_stratum_hops", [None, 2])  # durations whole, or split at the changes
@pytest.mark.parametrize("events", [[], [20.0], [40.0], [20.0, 40.0, 55.0]])
def test_dynamic_credits_every_item_as_the_first_universe_did(n_stratum_hops, events):
    # Snapshots at ages 20 and 50 and in the years 1970 and 2000 (ages 20 and
    # 50): the later universe takes each pair in one call, with no event at
    # the change (age 30) and maybe none after it before the end.
    individual = person(preserve_stratum="dynamic", n_stratum_hops=n_stratum_hops, snapshot_ages=[20.0, 50.0],
                        snapshot_years=[1970.0, 2000.0], snapshot_functions=[lambda individual: ["ill"]])
    live(individual, events, hop_at=30.0)
    individual.next_universe()
    live(individual, events)
    for name in ("_log_events", "_log_durations", "_snapshots_ages", "_snapshots_years"):
        first, later = field(individual, name)[:2]
        np.testing.assert_array_equal(later, first, err_msg=name)
    assert field(individual, "_snapshots_ages")[1, :, 0].tolist() == [[1, 0], [0, 1], [0, 0]]


def test_dynamic_without_splitting_credits_durations_to_the_stratum_in_force_when_logged():
    individual = person(preserve_stratum="dynamic", properties={
        "__birth__": np.array([1950.0]), "__stratum__": np.array([2], dtype=np.int16)})
    individual.age = 40.0
    individual.hop_stratum(1)
    individual.next_universe()
    individual.log_duration("alive", 0.0, 10.0)  # before the change: the initial stratum
    individual.age = 41.0
    individual.log_duration("alive", 0.0, 10.0)  # after it, with no event logged since
    assert durations_by_stratum(individual, 1) == [0.0, 10.0, 10.0]


def test_final_keeps_the_stratum_reached_in_the_first_universe():
    individual = person(universes=3, preserve_stratum="final", n_stratum_hops=3)
    individual.age = 20.0
    individual.hop_stratum(3)
    for universe in (1, 2):
        individual.next_universe()
        individual.log_event("birth")
        individual.log_duration("alive", 0.0, 50.0)
        assert events_by_stratum(individual, universe) == [0, 0, 0, 1]
        assert durations_by_stratum(individual, universe) == [0.0, 0.0, 0.0, 50.0]


@pytest.mark.parametrize("n_stratum_hops, kept", [(None, 2), (2, 0)])
def test_without_a_setting_the_record_is_cleared_per_universe_only_when_splitting(n_stratum_hops, kept):
    individual = person(n_stratum_hops=n_stratum_hops)
    individual.hop_stratum(1)
    individual.hop_stratum(1)
    individual.next_universe()
    assert field(individual, "_person_stratum") == 0
    assert field(individual, "_person_stratum_hops_n") == kept


# -- assertion checks follow the interpreter's -O at import -------------------------

ASSERTION_SCRIPT = textwrap.dedent("""
    import sys
    sys.path.insert(0, "tests")
    from conftest import field, in_life, make

    def outcome(call):
        try:
            call()
            return "ok"
        except Exception as error:
            return type(error).__name__

    ind = in_life(make())
    print(outcome(lambda: ind.hop_stratum(3)))
    print(outcome(lambda: ind.hop_stratum(2**31)))
    print(outcome(lambda: ind.log_event("onset")))
    print(outcome(lambda: ind.log_duration("alive", 30.0, 40.0)))
    ind.log_duration_start("ill", 1.0)
    print(outcome(lambda: ind.log_duration_start("ill", 2.0)), field(ind, "_ongoing_durations")["ill"])
    print(outcome(lambda: ind.log_duration_end("alive")))
    print(outcome(lambda: ind.log_duration_end("ill")))
""")


@pytest.mark.parametrize("flags, expected", [
    ([], ["AssertionError", "AssertionError", "ok", "ok", "AssertionError 1.0", "AssertionError", "ok"]),
    # Without the bound check the too-large stratum is refused by the logs; a
    # duration started again starts anew.
    (["-O"], ["ok", "OverflowError", "IndexError", "IndexError", "ok 2.0", "AssertionError", "IndexError"]),
])
def test_assertion_checks_only_without_optimisation(flags, expected):
    result = subprocess.run([sys.executable, *flags, "-c", ASSERTION_SCRIPT], capture_output=True, text=True,
                            check=True)
    assert result.stdout.splitlines() == expected

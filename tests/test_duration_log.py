"""The duration log: the walk of an interval through the year and age bins,
its split at recorded stratum changes, the open durations, and the refusals
that leave the log untouched."""

import numpy as np
import pytest

from conftest import field, in_life, make
from tavlen.individual import Individual

inf = np.inf
BIRTH = 1950.0  # age 40 is the year 1990


def durations(individual):
    return field(individual, "_log_durations")


def credited(individual, tag=0, universe=0):
    """{(stratum, year bin, age bin): years} of the nonzero cells of one tag."""
    cells = durations(individual)[universe, :, tag]
    return {tuple(int(i) for i in index): cells[tuple(index)] for index in np.argwhere(cells)}


def with_grids(ages, years, **overrides):
    return make(duration_ages=np.array(ages, dtype=float), duration_years=np.array(years, dtype=float),
                **overrides)


def hop_record(changes, slots=256):
    """The state items of a hop record holding the given (age, stratum) changes."""
    ages = np.zeros(slots)
    strata = np.zeros(slots, dtype=np.int16)
    for k, (age, stratum) in enumerate(changes):
        ages[k], strata[k] = age, stratum
    return {"_person_stratum_hops_ages": ages, "_person_stratum_hops_strata": strata,
            "_person_stratum_hops_n": len(changes)}


# -- the walk of a whole interval -------------------------------------------------


@pytest.mark.parametrize("ages, years, start, end, expected", [
    ([35, 40, inf], [inf], 30, 45, {(0, 0, 0): 5, (0, 0, 1): 5, (0, 0, 2): 5}),
    ([35, 40, inf], [inf], 35, 45, {(0, 0, 1): 5, (0, 0, 2): 5}),  # a start on an edge
    ([35, 40, inf], [inf], 31, 34, {(0, 0, 0): 3}),
    ([40, inf], [1990, inf], 30, 50, {(0, 0, 0): 10, (0, 1, 1): 10}),  # both edges at once
    ([inf], [1985, 1995, inf], 30, 50, {(0, 0, 0): 5, (0, 1, 0): 10, (0, 2, 0): 5}),
    ([45, inf], [1985, inf], 30, 50, {(0, 0, 0): 5, (0, 1, 0): 10, (0, 1, 1): 5}),
    ([35, 40, inf], [inf], 30, inf, {(0, 0, 0): 5, (0, 0, 1): 5, (0, 0, 2): inf}),
    ([35, 40, inf], [inf], 30, 30, {}),
    ([35, 40, inf], [inf], 30, 20, {}),
    ([35, 40, inf], [inf], np.nan, 40, {}),
    ([35, 40, inf], [inf], 30, np.nan, {}),
    # Past the last value of a grid the rest is credited to the last bin.
    ([35, 40], [inf], 30, 45, {(0, 0, 0): 5, (0, 0, 1): 10}),
    ([35, 40], [inf], 50, 60, {(0, 0, 1): 10}),
    ([inf], [1960], 30, 45, {(0, 0, 0): 15}),
    ([], [inf], 30, 30, "empty"),
])
def test_whole_interval(ages, years, start, end, expected):
    individual = in_life(with_grids(ages, years))
    if expected == "empty":
        with pytest.raises(ValueError, match="the age grid of the duration log is empty"):
            individual.log_duration("alive", start, end)
        return
    individual.log_duration("alive", start, end)
    assert credited(individual) == pytest.approx(expected)


def test_interval_goes_to_the_current_universe_stratum_and_tag():
    individual = in_life(with_grids([inf], [inf]), _universe=1, _person_stratum=2)
    individual.log_duration(tag="ill", start_age=1, end_age=3.5)
    assert credited(individual, tag=1, universe=1) == {(2, 0, 0): 2.5}


# -- the split at recorded stratum changes -----------------------------------------


@pytest.mark.parametrize("ages, years, changes, start, end, expected", [
    ([inf], [inf], [(40, 1)], 30, 50, {(0, 0, 0): 10, (1, 0, 0): 10}),
    ([inf], [inf], [(30, 1)], 30, 50, {(1, 0, 0): 20}),  # a change at the start is in force
    ([inf], [inf], [(55, 1)], 30, 50, {(0, 0, 0): 20}),
    ([inf], [inf], [(50, 1)], 30, 50, {(0, 0, 0): 20}),  # a change at the end is never used
    ([inf], [inf], [(20, 2), (40, 1)], 30, 50, {(2, 0, 0): 10, (1, 0, 0): 10}),
    ([inf], [inf], [(40, 1), (40, 2)], 30, 50, {(0, 0, 0): 10, (2, 0, 0): 10}),
    ([40, inf], [inf], [(40, 1)], 30, 50, {(0, 0, 0): 10, (1, 0, 1): 10}),  # a change on an age edge
    ([45, inf], [inf], [(40, 1)], 30, 50, {(0, 0, 0): 10, (1, 0, 0): 5, (1, 0, 1): 5}),
    ([35, inf], [inf], [(40, 1)], 35, 50, {(0, 0, 1): 5, (1, 0, 1): 10}),  # a start on an edge
    ([inf], [inf], [(40, 1)], 30, inf, {(0, 0, 0): 10, (1, 0, 0): inf}),
    ([35, 40], [inf], [(38, 1)], 30, 45, {(0, 0, 0): 5, (0, 0, 1): 3, (1, 0, 1): 7}),
    ([inf], [1990, inf], [(40, 1)], 30, 50, {(0, 0, 0): 10, (1, 1, 0): 10}),  # a change on a year edge
    ([40, inf], [1990, inf], [(40, 1)], 30, 50, {(0, 0, 0): 10, (1, 1, 1): 10}),  # on both edges
    ([40, inf], [1990, inf], [(45, 1)], 30, 50, {(0, 0, 0): 10, (0, 1, 1): 5, (1, 1, 1): 5}),
    ([40, inf], [1985, inf], [(40, 1)], 30, 50, {(0, 0, 0): 5, (0, 1, 0): 5, (1, 1, 1): 10}),
])
def test_split_interval(ages, years, changes, start, end, expected):
    individual = in_life(with_grids(ages, years, n_stratum_hops=2), **hop_record(changes))
    individual.log_duration("alive", start, end)
    assert credited(individual) == pytest.approx(expected)


def test_split_writes_the_end_marker_and_uses_the_initial_stratum():
    # Person 1 starts in stratum 2; _person_stratum is ignored by the split.
    individual = in_life(with_grids([inf], [1990, inf], n_stratum_hops=2), _person=1, _person_stratum=0,
                         **hop_record([(45, 1)]))
    individual._log_duration_stratum_hops("alive", 30.0, 50.0)
    assert credited(individual) == {(2, 0, 0): 10, (2, 1, 0): 5, (1, 1, 0): 5}
    assert field(individual, "_person_stratum_hops_ages")[1] == inf


def test_a_full_hop_record_ends_as_if_at_infinity():
    changes = [(20.0, 2)] * 255 + [(40.0, 1)]
    ages = np.array([a for a, _ in changes])
    individual = in_life(with_grids([inf], [inf], n_stratum_hops=2), **hop_record(changes))
    individual.log_duration("alive", 30, 50)
    assert credited(individual) == {(2, 0, 0): 10, (1, 0, 0): 10}
    assert (field(individual, "_person_stratum_hops_ages") == ages).all()


def test_a_hop_record_sharing_memory_with_the_log_cannot_lead_the_split_outside_it():
    # A restored state may view the same memory as the log and as the strata
    # of the hop record: crediting the first piece then rewrites the stratum
    # of the change that ends it, after the dry walk has tested it.
    memory = np.zeros((2, 5, 2, 1, 1))  # the log sees strata 1 .. 3 of it
    strata = memory.reshape(-1).view(np.int16)[8:16]  # slot 0 overlays the log's first cell
    change_age = np.array([0x4024000000000003], dtype=np.uint64).view(np.float64)[0]  # its low 16 bits are 3
    ages = np.zeros(256)
    ages[0] = change_age
    individual = in_life(with_grids([inf], [inf], n_stratum_hops=2), _log_durations=memory[:, 1:4],
                         _person_stratum_hops_ages=ages, _person_stratum_hops_strata=strata,
                         _person_stratum_hops_n=1)
    with pytest.raises(IndexError, match=r"stratum 3 is not one of the strata 0 \.\. 2"):
        individual.log_duration("alive", 0.0, 50.0)
    assert not memory[:, [0, 4]].any()


def test_final_preserve_credits_the_whole_interval_to_the_current_stratum():
    individual = in_life(with_grids([inf], [inf], n_stratum_hops=2), _preserve_final=True, _person_stratum=2,
                         **hop_record([(40, 1)]))
    individual.log_duration("alive", 30, 50)
    assert credited(individual) == {(2, 0, 0): 20}


def test_split_goes_through_the_objects_own_method_with_keywords():
    calls = []

    class Recording(Individual):
        def _log_duration_stratum_hops(self, *args, **kwargs):
            calls.append((args, kwargs))

    individual = in_life(make(Recording, n_stratum_hops=2))
    individual.log_duration("alive", 30, 45.5)
    assert calls == [((), {"tag": "alive", "start_age": 30.0, "end_age": 45.5})]
    assert type(calls[0][1]["start_age"]) is float


# -- refusals: nothing is credited ----------------------------------------------------


@pytest.mark.parametrize("ages, years, state, message", [
    ([35, np.nan, inf], [inf], {}, "the age grid of the duration log holds NaN at position 1"),
    ([inf], [1985, np.nan, inf], {}, "the year grid of the duration log holds NaN at position 1"),
])
@pytest.mark.parametrize("hops", [None, 2])
def test_nan_stops_the_walk_before_anything_is_credited(ages, years, state, message, hops):
    individual = in_life(with_grids(ages, years, n_stratum_hops=hops), **state)
    with pytest.raises(ValueError, match=message):
        individual.log_duration("alive", 30, 50)
    assert not durations(individual).any()


def test_nan_year_falls_into_the_last_year_bin_as_for_events():
    individual = in_life(with_grids([35, inf], [1985, inf]), _person_birth=np.nan)
    individual.log_duration("alive", 30, 50)
    assert credited(individual) == {(0, 1, 0): 5, (0, 1, 1): 15}


@pytest.mark.parametrize("changes, position", [
    ([(40, 1), (np.nan, 2)], 1),  # met inside the interval
    # A change of unknown age may lie before the start as well as after it.
    ([(np.nan, 1)], 0),
    ([(20, 2), (np.nan, 1)], 1),
    ([(np.nan, 1), (40, 2)], 0),
])
def test_nan_change_age_stops_the_split(changes, position):
    individual = in_life(with_grids([35, inf], [inf], n_stratum_hops=2))
    for age, stratum in changes:  # as a process would record them
        individual.age = age
        individual.hop_stratum(stratum)
    with pytest.raises(ValueError, match=f"the hop record holds NaN at position {position}; nothing was logged"):
        individual.log_duration("alive", 30, 50)
    assert not durations(individual).any()


@pytest.mark.parametrize("state, error, message", [
    (hop_record([(40, 5)]), IndexError, r"stratum 5 is not one of the strata 0 \.\. 2"),
    (hop_record([(40, -1)]), IndexError, "stratum -1 is not one of the strata"),
    ({"_stratum": np.array([-2, 0, 0], dtype=np.int16)}, IndexError, "stratum -2 is not one of the strata"),
    ({"_universe": -1}, RuntimeError, r"_log_duration_stratum_hops\(\) was called outside a life"),
])
def test_split_refuses_cells_outside_the_array(state, error, message):
    individual = in_life(with_grids([35, inf], [inf], n_stratum_hops=2), **state)
    with pytest.raises(error, match=message):
        individual.log_duration("alive", 30, 50)
    assert not durations(individual).any()


@pytest.mark.parametrize("state, overrides, error, message", [
    ({"_universe": -1}, {}, RuntimeError, r"log_duration\(\) was called outside a life"),
    ({"_person_stratum": 3}, {}, IndexError, r"stratum 3 is not one of the strata 0 \.\. 2"),
    ({}, {"duration_years": np.array([])}, ValueError, "the year grid of the duration log is empty"),
    ({"_log_durations": np.zeros((2, 3, 2, 3, 1))}, {}, IndexError, "age bin 1 is not one of the 1 age bins"),
])
def test_whole_walk_refuses_cells_outside_the_array(state, overrides, error, message):
    individual = in_life(make(**overrides), **state)
    with pytest.raises(error, match=message):
        individual.log_duration("alive", 30, 50)
    assert not durations(individual).any()


def test_unknown_duration_tag():
    individual = in_life(make(n_stratum_hops=2))
    with pytest.raises(Exception, match="tag nope not present among loggable duration tags") as caught:
        individual.log_duration("nope", 30, 40)
    assert isinstance(caught.value.__context__, KeyError)
    quiet = in_life(make(verify_tags=False))
    quiet.log_duration("nope", 30, 40)
    assert not durations(quiet).any()


# -- open durations -------------------------------------------------------------------


def test_start_then_end_takes_the_current_ages():
    individual = in_life(with_grids([inf], [inf]))
    individual.log_duration_start("ill")
    individual.age = 34.5
    individual.log_duration_end("ill")
    assert credited(individual, tag=1) == {(0, 0, 0): 4.5}
    assert field(individual, "_ongoing_durations") == {}


def test_explicit_ages():
    individual = in_life(with_grids([inf], [inf]))
    individual.log_duration_start("ill", 20.0)
    individual.log_duration_end("ill", end_age=22.0)
    assert credited(individual, tag=1) == {(0, 0, 0): 2.0}


@pytest.mark.parametrize("call, argument", [
    (lambda ind, age: ind.log_duration_start("ill", age), "start_age"),
    (lambda ind, age: ind.log_duration_end("ill", age), "end_age"),
    (lambda ind, age: ind.log_ongoing_durations(age), "end_age"),
])
@pytest.mark.parametrize("age", [30, np.float64(30.0), "30", True])
def test_optional_ages_take_only_none_or_an_exact_float(call, argument, age):
    individual = in_life(make())
    individual.log_duration_start("ill", 1.0)
    with pytest.raises(TypeError, match=f"Argument '{argument}' has incorrect type \\(expected float, got "):
        call(individual, age)
    assert field(individual, "_ongoing_durations") == {"ill": 1.0}


def test_end_without_start_raises_while_the_key_error_is_handled():
    individual = in_life(make())
    with pytest.raises(AssertionError, match="Duration 'ill' was not started before calling log_duration_end") as e:
        individual.log_duration_end("ill")
    assert isinstance(e.value.__context__, KeyError)


def test_started_twice():
    individual = in_life(make())
    individual.log_duration_start("ill", 1.0)
    with pytest.raises(AssertionError, match="Duration 'ill' is already ongoing"):
        individual.log_duration_start("ill", 2.0)
    assert field(individual, "_ongoing_durations") == {"ill": 1.0}


class Recording(Individual):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.calls = []

    def log_duration(self, *args, **kwargs):
        self.calls.append(("log_duration", args, kwargs))
        return super().log_duration(*args, **kwargs)

    def log_duration_end(self, *args, **kwargs):
        self.calls.append(("log_duration_end", args, kwargs))
        return super().log_duration_end(*args, **kwargs)


def test_closing_goes_through_the_objects_own_methods_in_start_order():
    individual = in_life(make(Recording))
    individual.log_duration_start("ill", 10.0)
    individual.log_duration_start("alive", 0.0)
    individual.log_ongoing_durations(70.0)
    assert individual.calls == [
        ("log_duration_end", ("ill", 70.0), {}), ("log_duration", ("ill", 10.0, 70.0), {}),
        ("log_duration_end", ("alive", 70.0), {}), ("log_duration", ("alive", 0.0, 70.0), {}),
    ]
    individual.calls.clear()
    individual.log_duration_start("ill")
    individual.log_ongoing_durations()
    assert individual.calls[0] == ("log_duration_end", ("ill", None), {})


def test_a_failing_duration_stops_the_closing_of_the_rest():
    individual = in_life(make())
    for tag in ("alive", "bogus", "ill"):
        individual.log_duration_start(tag, 20.0)
    with pytest.raises(Exception, match="tag bogus not present among loggable duration tags"):
        individual.log_ongoing_durations(25.0)
    assert field(individual, "_ongoing_durations") == {"ill": 20.0}
    assert durations(individual)[0, 0, 0].sum() == 5.0

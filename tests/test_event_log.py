"""The aggregate event log: the bin rule, the tag check, the forwarding to the
individual-level log, and the refusals that keep every count inside its array."""

import sys

import numpy as np
import pytest

from conftest import field, in_life, make
from tavlen.individual import Individual

BIRTH = 1950.0


def counts(individual):
    return field(individual, "_log_events")


def logged_cell(individual):
    """The one cell that holds a count."""
    cells = np.argwhere(counts(individual))
    assert len(cells) == 1
    return tuple(int(i) for i in cells[0])


# -- the bin rule -----------------------------------------------------------------


@pytest.mark.parametrize("age, age_bin", [
    (0.5, 0), (1.0, 1), (4.99, 1), (5.0, 2), (9.999, 2), (10.0, 3), (80.0, 3), (-3.0, 0),
    (np.nan, 3), (-np.inf, 0), (np.inf, 3),
])
def test_age_bin_is_the_first_edge_above_the_age(age, age_bin):
    individual = in_life(make(event_ages=np.array([1.0, 5.0, 10.0, 20.0])), age=age)
    individual.log_event("onset")
    assert logged_cell(individual)[4] == age_bin


@pytest.mark.parametrize("years, age, year_bin", [
    ([BIRTH + 10, BIRTH + 20], 9.5, 1),  # 1950.5 + 9.5 equals the first edge
    ([BIRTH + 10, BIRTH + 20], 9.4, 0),
    ([BIRTH + 10, BIRTH + 20], 90.0, 1),  # clamped into the last bin
    ([BIRTH - 100], 5.0, 0),  # a one-value grid puts everything into bin 0
    ([BIRTH + 100], -50.0, 0),
])
def test_year_bin_uses_birth_year_plus_age(years, age, year_bin):
    individual = in_life(make(event_years=np.array(years)), age=age, _person_birth=BIRTH + 0.5)
    individual.log_event("onset")
    assert logged_cell(individual)[3] == year_bin


def walked_bin(grid, x):
    """The bin rule as a walk from the first edge."""
    return next((i for i, edge in enumerate(grid) if x < edge), max(len(grid) - 1, 0))


GRIDS = {
    "yearly, sorted": np.arange(1900.0, 2060.0),
    "repeated edges": np.array([10.0, 20.0, 20.0, 20.0, 30.0, np.inf]),
    "signed zeros": np.array([-1.0, -0.0, 0.0, 1.0]),
    "one edge": np.array([5.0]),
    "unsorted": np.array([30.0, 10.0, 20.0, 5.0, 40.0]),
    "a NaN edge": np.array([10.0, np.nan, 20.0, 30.0]),
    "descending": np.array([40.0, 30.0, 20.0, 10.0]),
}


@pytest.mark.parametrize("grid", GRIDS.values(), ids=GRIDS.keys())
def test_sorted_grids_are_searched_and_others_walked_with_the_same_bins(grid):
    """Ascending grids are halved instead of walked: every value lands where
    the walk puts it, and grids out of order keep the walk."""
    finite = grid[np.isfinite(grid)]
    values = np.concatenate([finite, np.nextafter(finite, -np.inf), np.nextafter(finite, np.inf),
                             [-np.inf, np.inf, np.nan, -0.0, 0.0, 1e300, -1e300]])
    for value in values:
        individual = in_life(make(event_ages=grid.copy(), event_years=grid.copy()), age=value, _person_birth=0.0)
        individual.log_event("onset")
        cell = logged_cell(individual)
        assert cell[3] == cell[4] == walked_bin(grid, value), value


def test_event_counts_into_universe_stratum_and_tag_and_edits_of_the_grid_are_seen():
    ages = np.array([20.0, 40.0, 60.0, np.inf])
    individual = in_life(make(event_ages=ages), _universe=1, _person_stratum=2, age=45.0)
    individual.log_event("death")
    individual.log_event("death")
    assert logged_cell(individual) == (1, 2, 2, 0, 2)
    assert counts(individual)[1, 2, 2, 0, 2] == 2
    ages[2] = 30.0  # the grid is the caller's array, viewed in place
    individual.log_event("death")
    assert counts(individual)[1, 2, 2, 0, 3] == 1


def test_a_repeated_tag_counts_at_its_last_position():
    individual = in_life(make(event_tags=["a", "b", "a"]))
    individual.log_event("a")
    assert logged_cell(individual)[2] == 2


# -- the tag check and the forwarding ---------------------------------------------


def test_unknown_tag_raises_while_the_key_error_is_handled():
    individual = in_life(make())
    with pytest.raises(Exception) as caught:
        individual.log_event("nope")
    assert type(caught.value) is Exception
    assert str(caught.value) == "tag nope not present among loggable event tags"
    assert type(caught.value.__context__) is KeyError and caught.value.__context__.args == ("nope",)
    assert not counts(individual).any()


def test_unknown_tag_without_verification_changes_nothing():
    individual = in_life(make(verify_tags=False, log_events_individual=True))
    individual.log_event("nope")
    assert not counts(individual).any()
    assert field(individual, "_log_event_individual_entry_idx") == 0


@pytest.mark.parametrize("tag", [b"onset", 3, None, type("Tag", (str,), {})("onset")])
def test_tag_must_be_exactly_a_str(tag):
    with pytest.raises(TypeError, match="Argument 'tag' has incorrect type"):
        in_life(make()).log_event(tag)


def test_forwarding_goes_through_the_objects_own_method():
    calls = []

    class Recording(Individual):
        def log_event_individual(self, *args, **kwargs):
            calls.append((args, kwargs))

    individual = in_life(make(Recording, log_events_individual=True))
    individual.log_event("onset")
    assert calls == [(("onset",), {})]


def test_forwarded_entry_has_the_current_age_and_element_zero():
    individual = in_life(make(log_events_individual=True), age=42.5, _universe=1, _person=2)
    individual.log_event("onset")
    assert field(individual, "_log_event_individual_entry_idx") == 1
    entry = [field(individual, f"_log_event_individual_{c}_current_block")[0]
             for c in ("universe", "individual", "element", "age", "tag")]
    assert entry == [1, 2, 0, 42.5, 0]


def test_event_tag_missing_from_the_individual_tags_is_counted_then_raises():
    individual = in_life(make(log_events_individual=True))
    with pytest.raises(Exception, match="tag birth not present among loggable individual event tags"):
        individual.log_event("birth")
    assert counts(individual).sum() == 1


# -- refusals: nothing is written outside the arrays ------------------------------


@pytest.mark.parametrize("changes, overrides, error, message", [
    ({"_universe": -1}, {}, RuntimeError, r"log_event\(\) was called outside a life"),
    ({"_universe": 2}, {}, IndexError, "universe 2 is not one of the 2 universes"),
    ({"_person_stratum": -1}, {}, IndexError, r"stratum -1 is not one of the strata 0 \.\. 2"),
    ({"_person_stratum": 3}, {}, IndexError, r"stratum 3 is not one of the strata 0 \.\. 2"),
    ({}, {"n_stratum_hops": -1}, ValueError, "the event log has no strata"),
    ({}, {"event_ages": np.array([])}, ValueError, "the age grid of the event log is empty"),
    ({}, {"event_years": np.array([])}, ValueError, "the year grid of the event log is empty"),
    ({"_log_event_ages": np.array([1.0, 2.0, 3.0, 4.0, 5.0, 6.0])}, {}, IndexError,
     "age bin 5 is not one of the 4 age bins"),
    ({"_log_event_tags_idx": {"onset": 7}}, {}, IndexError, "tag position 7 is not one of the 3 tags"),
    ({"_log_event_tags_idx": {"onset": "x"}}, {}, TypeError, "maps 'onset' to str, not an int"),
    ({"_log_event_tags_idx": None}, {}, TypeError, "is NoneType, not a dict"),
    ({"_log_event_ages": None}, {}, TypeError, "'NoneType' object is not subscriptable"),
])
def test_cells_outside_the_array_are_refused(changes, overrides, error, message):
    individual = in_life(make(log_events_individual=True, **overrides), age=100.0, **changes)
    with pytest.raises(error, match=message):
        individual.log_event("onset")
    if field(individual, "_log_events") is not None:
        assert not counts(individual).any()
    assert field(individual, "_log_event_individual_entry_idx") == 0


def test_a_full_count_raises_and_stays():
    individual = in_life(make(log_events_individual=True))
    individual.log_event("onset")
    cell = logged_cell(individual)
    counts(individual)[cell] = 2**32 - 1
    with pytest.raises(OverflowError, match="already 4294967295"):
        individual.log_event("onset")
    assert counts(individual)[cell] == 2**32 - 1
    assert field(individual, "_log_event_individual_entry_idx") == 1


def test_replay_is_not_kept_when_the_count_is_refused():
    individual = in_life(make(), _preserve_dynamic=True, _universe=-1, _person_stratum_hops_n=1,
                         _person_stratum_hops_strata=np.array([2] + [0] * 255, dtype=np.int16))
    with pytest.raises(RuntimeError):
        individual.log_event("onset")
    assert field(individual, "_person_stratum") == 0


# -- the hot paths allocate nothing -----------------------------------------------


@pytest.mark.parametrize("call", [
    lambda ind: ind.log_event("onset"),
    lambda ind: ind.log_event_individual("onset", 31.5, 3),
    lambda ind: ind.log_duration("alive", 20.0, 60.0),
    lambda ind: ind.hop_stratum(1),
])
def test_hot_paths_allocate_nothing(call):
    individual = in_life(make(individual_block_size=1000))
    for _ in range(10):
        call(individual)
    before = sys.getallocatedblocks()
    for _ in range(200):
        call(individual)
    assert sys.getallocatedblocks() == before

"""Snapshots at fixed ages and calendar years, taken between events."""

import math

import numpy as np
import pytest

pytestmark = pytest.mark.filterwarnings("ignore:More than one snapshot function")

from conftest import field, make, state_with

TAGS = ["a", "b", "c"]


def life(*functions, ages=(10.0, 20.0, 30.0), years=(2100.0,), birth=1950.0, stratum=1, **overrides):
    individual = make(
        properties={"__birth__": np.array([birth]), "__stratum__": np.array([stratum], dtype=np.int16)},
        snapshot_tags=list(TAGS), snapshot_ages=list(ages), snapshot_years=list(years),
        snapshot_functions=list(functions), **overrides)
    individual.next_block(0, {}, {})
    individual.next_person()
    individual.next_universe()
    return individual


def at_ages(individual, *ages):
    for age in ages:
        individual.add_to_queue_age(age, "event")
        individual.next_event()


def sums(individual, kind="ages", universe=0, stratum=1):
    return field(individual, f"_snapshots_{kind}")[universe, stratum]


def reporting(result, seen=None):
    def function(individual):
        if seen is not None:
            seen.append(individual.age)
        return result
    return function


class TestByAge:
    def test_one_evaluation_stands_for_every_age_passed(self):
        seen = []
        individual = life(reporting({"a": 2, "c": 1}, seen))
        at_ages(individual, 5.0, 25.0)
        assert seen == [10.0]
        assert sums(individual)[0].tolist() == [2, 2, 0] and sums(individual)[2].tolist() == [1, 1, 0]
        assert field(individual, "_snapshot_age_idx") == 2
        assert field(individual, "_snapshot_next_age") == 30.0
        at_ages(individual, 40.0)
        assert seen == [10.0, 30.0]
        assert sums(individual)[0].tolist() == [2, 2, 2]
        assert field(individual, "_snapshot_next_age") == math.inf
        assert individual.age == 40.0

    def test_an_event_at_a_snapshot_age_does_not_take_it(self):
        seen = []
        individual = life(reporting(["a"], seen))
        at_ages(individual, 10.0)
        assert seen == [] and sums(individual).sum() == 0
        at_ages(individual, 10.5)
        assert seen == [10.0] and sums(individual)[0].tolist() == [1, 0, 0]

    def test_sums_run_over_every_life(self):
        individual = life(reporting(["b"]), universes=["u", "v"])
        at_ages(individual, 15.0)
        individual.next_universe()
        at_ages(individual, 15.0, 16.0)
        assert sums(individual, universe=0)[1].tolist() == [1, 0, 0]
        assert sums(individual, universe=1)[1].tolist() == [1, 0, 0]

    def test_a_direct_call_past_the_last_age(self):
        individual = life(reporting(["a"]))
        at_ages(individual, 31.0)
        individual.__setstate__(state_with(individual, _snapshot_age_idx=3))
        with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 3\)"):
            individual._snapshot_age(50.0)
        assert individual.age == math.inf


class TestByYear:
    def test_years_are_reached_at_ages_after_birth(self):
        seen = []
        individual = life(reporting({"a": 3}, seen), ages=(), years=(2000.0, 2010.0, 2020.0, 2030.0), birth=1995.0)
        at_ages(individual, 6.0)
        assert seen == [5.0]
        assert sums(individual, "years")[0].tolist() == [3, 0, 0, 0]
        assert field(individual, "_snapshot_year_idx") == 1
        assert field(individual, "_snapshot_next_age_years") == 15.0
        at_ages(individual, 30.0)  # the year 2025 lies beyond 2010 and 2020
        assert seen == [5.0, 15.0]
        assert sums(individual, "years")[0].tolist() == [3, 3, 3, 0]
        assert field(individual, "_snapshot_year_idx") == 3
        assert field(individual, "_snapshot_next_age_years") == 35.0
        at_ages(individual, 40.0)
        assert sums(individual, "years")[0].tolist() == [3, 3, 3, 3]
        assert field(individual, "_snapshot_next_age_years") == math.inf

    def test_ages_and_years_on_one_event(self):
        calls = []
        individual = life(reporting(["c"], calls), ages=(1.0,), years=(1952.0,))
        at_ages(individual, 3.0)
        assert calls == [1.0, 2.0]
        assert sums(individual)[2, 0] == 1 and sums(individual, "years")[2, 0] == 1


class TestFunctionResults:
    @pytest.mark.parametrize("results, expected", [
        ([{"a": 2}, {"a": 5}], [5, 0, 0]),          # the later function wins
        ([["a", "a", "b"]], [1, 1, 0]),
        (["ab"], [1, 1, 0]),                        # a bare string counts its characters
        ([None, [], {}, ()], [0, 0, 0]),
        ([{"a": 2.7, "b": True}, ("c",)], [2, 1, 1]),
        ([iter(["b"])], [0, 1, 0]),
    ])
    def test_contract(self, results, expected):
        individual = life(*(reporting(r) for r in results))
        at_ages(individual, 11.0)
        assert sums(individual)[:, 0].tolist() == expected

    def test_a_negative_value_decrements(self):
        individual = life(reporting({"a": -1.5}))
        sums(individual)[0] = 3
        at_ages(individual, 21.0)
        assert sums(individual)[0].tolist() == [2, 2, 3]


class TestFailures:
    @pytest.mark.parametrize("result, error, message", [
        (5, TypeError, "'int' object is not iterable"),
        ([1], TypeError, "^Expected str, got int$"),
        ({b"a": 1}, TypeError, "^Expected str, got bytes$"),
        ({"a": "1"}, TypeError, "an integer is required"),
        ({"a": 2**31}, OverflowError, "value too large to convert to int"),
    ])
    def test_bad_results(self, result, error, message):
        individual = life(reporting(result))
        with pytest.raises(error, match=message):
            individual._snapshot_age(11.0)
        assert field(individual, "_snapshot_age_idx") == 0
        assert individual.age == 10.0

    def test_a_raising_function_adds_nothing(self):
        def failing(individual):
            raise LookupError("boom")

        individual = life(reporting(["a"]), failing)
        with pytest.raises(LookupError):
            individual._snapshot_age(11.0)
        assert sums(individual).sum() == 0

    def test_an_unknown_tag_raises_while_verifying(self):
        individual = life(reporting({"a": 1, "zz": 1, "b": 1}))
        with pytest.raises(Exception, match="^tag zz not present among loggable snapshot tags$") as raised:
            individual._snapshot_age(11.0)
        assert type(raised.value) is Exception
        assert isinstance(raised.value.__context__, KeyError)
        assert sums(individual)[:, 0].tolist() == [1, 0, 0]
        individual.__setstate__(state_with(individual, _snapshot_functions=[reporting([None])]))
        with pytest.raises(Exception, match="^tag None not present"):
            individual._snapshot_age(11.0)

    def test_an_unknown_tag_is_skipped_alone_without_verifying(self):
        individual = life(reporting({"a": 1, "zz": 1, "b": 1}), verify_tags=False)
        at_ages(individual, 11.0, 12.0, 21.0)
        assert sums(individual)[:, :2].tolist() == [[1, 1], [1, 1], [0, 0]]
        assert field(individual, "_snapshot_age_idx") == 2

    @pytest.mark.parametrize("start, value", [(0, -1), (2**32 - 1, 1)])
    def test_a_sum_outside_the_cell_is_refused(self, start, value):
        individual = life(reporting({"b": 1, "a": value}))
        field(individual, "_snapshots_ages")[0, 1, 0, 0] = start
        with pytest.raises(OverflowError, match="does not fit its cell"):
            individual._snapshot_age(11.0)
        assert sums(individual)[:, 0].tolist() == [start, 1, 0]

    @pytest.mark.parametrize("changes, error, message", [
        ({"_snapshot_functions": None}, TypeError, "'NoneType' object is not iterable"),
        ({"_snapshot_tags_idx": None}, TypeError, "'NoneType' object is not subscriptable"),
        ({"_person_stratum": 5}, IndexError, r"axis 1\)"),
        # A replayed stratum is tested as the current one is.
        ({"_preserve_dynamic": True, "_person_stratum_hops_strata": np.full(256, 5, np.int16),
          "_person_stratum_hops_n": 1}, IndexError, r"axis 1\)"),
        ({"_snapshot_ages_n": 9}, IndexError, r"axis 0\)"),
    ])
    def test_restored_state(self, changes, error, message):
        individual = life(reporting(["a"]))
        individual.__setstate__(state_with(individual, **changes))
        with pytest.raises(error, match=message):
            individual._snapshot_age(35.0)

    def test_no_strata_at_all(self):
        individual = life(reporting(["a"]), stratum=0, n_stratum_hops=-1)
        assert field(individual, "_stratum_n") == 0
        with pytest.raises(IndexError, match=r"axis 1\)"):
            individual._snapshot_age(11.0)

    def test_argument(self):
        individual = life(reporting(["a"]))
        individual._snapshot_year(age_next_event=1)
        with pytest.raises(TypeError, match="must be real number"):
            individual._snapshot_age("11")

"""Argument binding and conversions, shared by the constructor and every
method."""

import re

import numpy as np
import pytest

from tavlen.individual import Individual

from conftest import config, field, make


def positional(**overrides):
    return list(config(**overrides).values())


def message(text):
    return "^" + re.escape(text) + "$"


class TestCounts:
    def test_constructor_counts(self):
        arguments = positional()
        with pytest.raises(TypeError, match=message("__init__() takes exactly 19 positional arguments (18 given)")):
            Individual(*arguments[:18])
        with pytest.raises(TypeError, match=message("__init__() takes exactly 19 positional arguments (20 given)")):
            Individual(*arguments, None)

    def test_missing_argument_counts_the_ones_before_it(self):
        arguments = config()
        del arguments["duration_tags"]
        with pytest.raises(TypeError, match=message("__init__() takes exactly 19 positional arguments (6 given)")):
            Individual(**arguments)

    def test_fewer_and_more_than_a_range(self, individual):
        with pytest.raises(TypeError, match=message("add_to_queue() takes at least 2 positional arguments (1 given)")):
            individual.add_to_queue(1.0)
        with pytest.raises(TypeError, match=message("add_to_queue() takes at most 4 positional arguments (5 given)")):
            individual.add_to_queue(1.0, "m", 0, False, 5)
        with pytest.raises(TypeError, match=message(
                "log_event_individual() takes at least 1 positional argument (0 given)")):
            individual.log_event_individual()

    def test_singular(self, individual):
        with pytest.raises(TypeError, match=message("log_event() takes exactly 1 positional argument (2 given)")):
            individual.log_event("a", "b")
        with pytest.raises(TypeError, match=message("output_durations() takes exactly 0 positional arguments (1 given)")):
            individual.output_durations(1)


class TestKeywords:
    def test_any_parameter_by_keyword(self):
        arguments = config()
        first, rest = arguments.pop("properties"), arguments
        assert Individual(first, **rest).output_events().shape == (2, 3, 3, 2, 4)

    def test_unexpected_keyword(self, individual):
        with pytest.raises(TypeError, match=message("output_events() got an unexpected keyword argument 'x'")):
            individual.output_events(x=1)
        with pytest.raises(TypeError, match=message("__init__() got an unexpected keyword argument 'colour'")):
            Individual(**config(colour=1))

    def test_multiple_values(self, individual):
        with pytest.raises(TypeError, match=message(
                "add_to_queue() got multiple values for keyword argument 'delta'")):
            individual.add_to_queue(1.0, "m", delta=2.0)
        with pytest.raises(TypeError, match=message(
                "__init__() got multiple values for keyword argument 'properties'")):
            Individual(config()["properties"], **config())

    def test_extra_keywords_are_collected(self, individual):
        individual.add_to_queue(1.0, "m", terminate=True, colour="red", size=2)
        assert individual.next_event()[3:] == (True, {"colour": "red", "size": 2})

    def test_keywords_must_be_strings(self, individual):
        with pytest.raises(TypeError, match="keywords must be strings"):
            individual.output_events(**{1: 2})


class TestArgumentTypes:
    @pytest.mark.parametrize("name, value, expected, got", [
        ("properties", [], "dict", "list"),
        ("properties", None, "dict", "NoneType"),
        ("universes", ("a", "b"), "list", "tuple"),
        ("snapshot_functions", None, "list", "NoneType"),
        ("individual_block_size", "10", "int", "str"),
        ("n_stratum_hops", "2", "int", "str"),
        ("preserve_stratum", 5, "str", "int"),
    ])
    def test_wrong_type(self, name, value, expected, got):
        with pytest.raises(TypeError, match=message(
                f"Argument '{name}' has incorrect type (expected {expected}, got {got})")) as raised:
            Individual(**config(**{name: value}))
        assert not getattr(raised.value, "__notes__", None)

    @pytest.mark.parametrize("name, base", [("universes", list), ("properties", dict), ("preserve_stratum", str)])
    def test_subclass_is_rejected_with_a_note(self, name, base):
        subclass = type("Sub", (base,), {})
        value = subclass(config()[name] or "final")
        with pytest.raises(TypeError) as raised:
            Individual(**config(**{name: value}))
        assert str(raised.value) == f"Argument '{name}' has incorrect type (expected {base.__name__}, got Sub)"
        assert any("Subclasses of built-in types are rejected" in note for note in raised.value.__notes__)

    @pytest.mark.parametrize("value, stored", [(2.9, 2), (True, 1), (np.int8(5), 5), (-0.5, 0)])
    def test_int_parameters_convert_numbers(self, value, stored):
        assert field(make(individual_block_size=value), "_log_event_individual_block_size") == stored

    def test_optional_int_keeps_none(self):
        assert field(make(n_stratum_hops=None), "_stratum_hops_do") is False
        assert field(make(n_stratum_hops=2.7), "_stratum_n") == 3

    def test_truth_values(self):
        individual = make(log_events_individual=[1], verify_tags="")
        assert field(individual, "_log_events_individual") is True
        assert field(individual, "verify_tags") is False


class TestValidationOrder:
    class Untruthful:
        def __bool__(self):
            raise ZeroDivisionError("no truth value")

    def test_conversions_come_first(self):
        with pytest.raises(ValueError, match="NaN"):
            Individual(**config(individual_block_size=float("nan"), n_stratum_hops=float("inf"),
                                log_events_individual=self.Untruthful(), properties=None))
        with pytest.raises(OverflowError):
            Individual(**config(n_stratum_hops=float("inf"), log_events_individual=self.Untruthful()))

    def test_truth_values_before_type_tests(self):
        with pytest.raises(ZeroDivisionError):
            Individual(**config(verify_tags=self.Untruthful(), properties=None))

    def test_type_tests_in_order(self):
        with pytest.raises(TypeError, match="'event_individual_tags'"):
            Individual(**config(event_individual_tags=(), individual_block_size="x", preserve_stratum=1))
        with pytest.raises(TypeError, match="'individual_block_size'"):
            Individual(**config(individual_block_size="x", snapshot_tags=()))

    def test_grids_are_checked_only_when_assigned(self):
        blank = Individual.__new__(Individual)
        with pytest.raises(ValueError, match="dtype mismatch"):
            blank.__init__(**config(event_ages=np.zeros(3, dtype=np.float32)))
        # The steps before the grid ran.
        assert blank.memory == {} and blank.age == -1.0

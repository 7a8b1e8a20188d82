"""Construction of an Individual from the run configuration."""

import gc
import math
import random
import warnings
import weakref

import numpy as np
import pytest

import tavlen.individual as module
from tavlen.individual import Individual

from conftest import STATE_FIELDS, VIEW_FIELDS, config, field, make, state_of, state_with

INF = math.inf


def test_initial_state():
    arguments = config()
    individual = Individual(**arguments)
    state = state_of(individual)
    assert set(state) == set(STATE_FIELDS)

    scalars = {
        "age": -1.0, "_event_idx": -1, "_person": -1, "_person_block": -1, "_person_birth": -1.0,
        "_person_stratum": -1, "_person_stratum_hops_n": -1, "_universe": -1, "_stratum_n": 3,
        "_stratum_hops_do": False, "_universe_n": 2, "_preserve_dynamic": False,
        "_preserve_final": False, "_log_event_ages_n": 4, "_log_event_years_n": 2,
        "_log_event_tags_n": 3, "verify_tags": True, "_log_duration_ages_n": 2,
        "_log_duration_years_n": 3, "_log_duration_tags_n": 2,
        "_log_event_individual_block_size": 4, "_log_event_individual_entry_idx": 0,
        "_snapshot_tags_n": 1, "_snapshot_next_age": INF, "_snapshot_ages_n": 2,
        "_snapshot_next_age_years": INF, "_snapshot_years_n": 1, "_snapshot_age_idx": -1,
        "_snapshot_year_idx": -1, "_snapshot_ages_do": True, "_snapshot_years_do": True,
        "_log_events_individual": False, "_preserve_stratum_setting": None,
    }
    for name, value in scalars.items():
        assert state[name] == value and type(state[name]) is type(value), name

    empty = {"memory": {}, "_queue": [], "_events": {}, "_properties_tmp": {}, "_ongoing_durations": {}}
    for name, value in empty.items():
        assert state[name] == value and type(state[name]) is type(value), name
    assert len({id(state[name]) for name in empty}) == len(empty)

    kept = {"_properties": "properties", "_log_event_tags": "event_tags",
            "_log_duration_tags": "duration_tags", "_log_event_individual_tags": "event_individual_tags",
            "_snapshot_tags": "snapshot_tags", "_snapshot_functions": "snapshot_functions"}
    for name, argument in kept.items():
        assert state[name] is arguments[argument], name
    assert state["_log_event_tags_idx"] == {"birth": 0, "onset": 1, "death": 2}
    assert state["_log_duration_tags_idx"] == {"alive": 0, "ill": 1}
    assert state["_log_event_individual_tags_idx"] == {"onset": 0, "death": 1}
    assert state["_snapshot_tags_idx"] == {"ill": 0}

    assert list(state["random"]) == ["onset", "screening"]
    assert all(type(g) is random.Random for g in state["random"].values())
    assert state["random"]["onset"] is not state["random"]["screening"]

    arrays = {name: np.asarray(state[name]) for name in VIEW_FIELDS}
    for name, (dtype, axes) in VIEW_FIELDS.items():
        assert arrays[name].dtype == dtype and arrays[name].ndim == axes, name
    shapes = {
        "_person_stratum_hops_ages": (256,), "_person_stratum_hops_strata": (256,),
        "_log_events": (2, 3, 3, 2, 4), "_log_durations": (2, 3, 2, 3, 2),
        "_snapshots_ages": (2, 3, 1, 2), "_snapshots_years": (2, 3, 1, 1),
    }
    for name, shape in shapes.items():
        assert arrays[name].shape == shape and not arrays[name].any(), name
    for column in ("universe", "individual", "element", "age", "tag"):
        blocks = state[f"_log_event_individual_{column}"]
        current = arrays[f"_log_event_individual_{column}_current_block"]
        assert len(blocks) == 1 and blocks[0].shape == (4,) and not blocks[0].any()
        assert current.dtype == blocks[0].dtype and np.shares_memory(current, blocks[0])
    np.testing.assert_array_equal(arrays["_snapshot_ages"], [10.0, 20.5])
    np.testing.assert_array_equal(arrays["_snapshot_years"], [2000.0])
    for name, argument in [("_log_event_ages", "event_ages"), ("_log_event_years", "event_years"),
                           ("_log_duration_ages", "duration_ages"), ("_log_duration_years", "duration_years"),
                           ("_birth", None)]:
        given = arguments[argument] if argument else arguments["properties"]["__birth__"]
        assert np.shares_memory(arrays[name], given), name
    np.testing.assert_array_equal(arrays["_stratum"], [0, 2, 1])


class TestReferences:
    def test_grids_and_lists_are_seen_as_the_caller_changes_them(self):
        arguments = config()
        individual = Individual(**arguments)
        arguments["event_ages"][0] = 5.0
        arguments["event_tags"].append("extra")
        assert field(individual, "_log_event_ages")[0] == 5.0
        assert field(individual, "_log_event_tags")[-1] == "extra"

    def test_snapshot_ages_and_years_are_copied(self):
        ages = [10.0, 20.0]
        individual = make(snapshot_ages=ages)
        ages[0] = 99.0
        assert field(individual, "_snapshot_ages")[0] == 10.0

    def test_population_arrays_are_converted_only_when_needed(self):
        births = np.array([1950, 1960])
        strata = np.array([0, 1], dtype=np.int16)
        individual = make(properties={"__birth__": births, "__stratum__": strata})
        assert field(individual, "_birth").dtype == np.float64
        assert not np.shares_memory(field(individual, "_birth"), births)
        assert np.shares_memory(field(individual, "_stratum"), strata)
        from_lists = make(properties={"__birth__": [1950.5], "__stratum__": [4]})
        assert field(from_lists, "_birth").tolist() == [1950.5] and field(from_lists, "_stratum_n") == 5

    def test_module_global_random_is_used(self, monkeypatch):
        class Generator:
            pass

        monkeypatch.setattr(module, "Random", Generator)
        assert all(type(g) is Generator for g in make().random.values())

    def test_repeated_generator_keeps_the_last_instance(self, monkeypatch):
        created = []
        monkeypatch.setattr(module, "Random", lambda: created.append(object()) or created[-1])
        assert make(random_number_generators=["a", "a"]).random == {"a": created[1]}


class TestStrata:
    @pytest.mark.parametrize("hops, strata, count, splits", [
        (None, [0, 2, 1], 3, False),
        (0, [0, 2, 1], 3, False),
        (3, [0, 9], 4, True),
        (None, [], 1, False),
        (None, [32767], 32768, False),
    ])
    def test_number_of_strata(self, hops, strata, count, splits):
        individual = make(n_stratum_hops=hops, universes=[],
                          properties={"__birth__": np.zeros(len(strata)), "__stratum__": np.array(strata, np.int16)})
        assert field(individual, "_stratum_n") == count
        assert field(individual, "_stratum_hops_do") is splits

    def test_count_too_large(self):
        with pytest.raises(OverflowError):
            make(n_stratum_hops=2**70)


class TestTags:
    def test_empty_tag_lists(self):
        individual = make(event_tags=[], duration_tags=[], snapshot_tags=[])
        assert individual.output_events().shape[2] == 0
        assert individual.output_durations().shape[2] == 0
        assert individual.output_snapshots_ages().shape[2] == 0

    def test_repeated_tag_maps_to_last_position(self):
        individual = make(event_tags=["a", "b", "a"])
        assert field(individual, "_log_event_tags_idx") == {"a": 2, "b": 1}
        assert field(individual, "_log_event_tags_n") == 3


class TestSnapshots:
    def test_flags(self):
        assert field(make(snapshot_functions=[]), "_snapshot_ages_do") is False
        assert field(make(snapshot_functions=[]), "_snapshot_years_do") is False
        no_ages = make(snapshot_ages=[])
        assert field(no_ages, "_snapshot_ages_do") is False and field(no_ages, "_snapshot_years_do") is True

    def test_one_function_does_not_warn(self):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            make()

    def construct_two(self):
        return make(snapshot_functions=[print, print])

    def called_from(self):
        return self.construct_two()

    def test_two_functions_warn_once_at_stacklevel_3(self):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            self.called_from(); line = self.called_from.__code__.co_firstlineno  # noqa: E702
        assert len(caught) == 1
        assert caught[0].category is UserWarning
        assert str(caught[0].message) == ("More than one snapshot function supplied. Be aware that the tags "
                                          "returned by these functions must not overlap.")
        # Level 1 is make(), level 2 construct_two(), level 3 called_from().
        assert caught[0].filename == __file__ and caught[0].lineno == line + 1

    def test_warning_as_error_stops_before_the_flags(self):
        blank = Individual.__new__(Individual)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(UserWarning):
                blank.__init__(**config(snapshot_functions=[print, print], verify_tags=True))
        assert blank.output_snapshots_years().shape == (2, 3, 1, 1)
        assert field(blank, "verify_tags") is False


class TestFailures:
    @pytest.mark.parametrize("key", ["__birth__", "__stratum__"])
    def test_missing_population_array(self, key):
        properties = config()["properties"]
        del properties[key]
        with pytest.raises(KeyError, match=key):
            make(properties=properties)

    @pytest.mark.parametrize("grid, error", [
        (np.zeros(3, dtype=np.float32), "^Buffer dtype mismatch, expected 'double' but got 'float'$"),
        (np.zeros(3, dtype=np.int64), "^Buffer dtype mismatch, expected 'double' but got 'long'$"),
        (np.zeros((2, 2)), r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"),
        (np.zeros(3).astype(">f8"), "^Buffer dtype mismatch"),
    ])
    def test_bad_grid(self, grid, error):
        with pytest.raises(ValueError, match=error):
            make(duration_years=grid)

    def test_read_only_grid(self):
        grid = np.zeros(3)
        grid.flags.writeable = False
        with pytest.raises(ValueError, match="read-only"):
            make(event_years=grid)

    def test_grid_without_buffer(self):
        with pytest.raises(TypeError):
            make(event_ages=[1.0, 2.0])

    def test_strided_grid_is_viewed_in_place(self):
        base = np.arange(10.0)
        grid = base[::3]
        individual = make(event_ages=grid)
        np.testing.assert_array_equal(field(individual, "_log_event_ages"), [0.0, 3.0, 6.0, 9.0])
        assert np.shares_memory(field(individual, "_log_event_ages"), base)

    def test_negative_block_size(self):
        with pytest.raises(ValueError, match="negative"):
            make(individual_block_size=-1)

    def test_unhashable_generator_name(self):
        with pytest.raises(TypeError, match="unhashable"):
            make(random_number_generators=[["a"]])

    def test_no_rollback(self):
        individual = make()
        old_tags = field(individual, "_log_event_tags")
        with pytest.raises(ValueError):
            individual.__init__(**config(event_ages=np.zeros(2, dtype=np.float32),
                                         properties={"__birth__": [2000.0], "__stratum__": [0]}))
        assert field(individual, "_birth").tolist() == [2000.0]
        assert field(individual, "_stratum_n") == 1
        assert field(individual, "_log_event_tags") is old_tags
        assert individual.output_events().shape == (2, 3, 3, 2, 4)


def test_reinitialisation_rebuilds_and_releases():
    grid = np.array([10.0, np.inf])
    individual = make(event_ages=grid)
    events = np.zeros((2, 3, 3, 2, 2), dtype=np.uint32)
    individual.__setstate__(state_with(individual, _log_events=events))
    old_grid, old_events = weakref.ref(grid), weakref.ref(events)
    del events
    individual.memory["x"] = 1
    individual.__init__(**config(event_tags=["only"]))
    del grid
    gc.collect()
    assert old_events() is None and old_grid() is None
    assert individual.memory == {}
    assert individual.output_events().shape == (2, 3, 1, 2, 4)

"""Stepping through blocks, persons and universes, and the per-person state."""

import math
import random

import numpy as np
import pytest

from tavlen.individual import Individual

from conftest import config, field, make, state_with

INF = math.inf


def population(n, strata=None, **overrides):
    properties = {
        "__birth__": 1950.0 + np.arange(n, dtype=np.float64),
        "__stratum__": np.array(strata if strata is not None else [0] * n, dtype=np.int16),
        "rank": np.arange(n) * 10,
    }
    return make(properties=properties, **overrides)


def started(individual, first_person=0, universes=1, **block_properties):
    individual.next_block(first_person, block_properties, {})
    individual.next_person()
    for _ in range(universes):
        individual.next_universe()
    return individual


def fake_hops(individual, stratum, hops):
    """Stands in for stratum changes during a life (they are logged elsewhere)."""
    individual.__setstate__(state_with(individual, _person_stratum=stratum, _person_stratum_hops_n=hops))


class TestCounters:
    def test_block_person_and_universe_counters(self):
        individual = population(103)
        individual.next_block(100, {}, {})
        assert (field(individual, "_person"), field(individual, "_person_block")) == (99, -1)
        individual.next_person()
        assert (field(individual, "_person"), field(individual, "_person_block")) == (100, 0)
        assert field(individual, "_universe") == -1
        assert individual.properties("rank") == 1000
        individual.next_person()
        assert (field(individual, "_person"), field(individual, "_person_block")) == (101, 1)
        individual.next_universe()
        assert field(individual, "_universe") == 0
        assert individual.age == 0.0 and type(individual.age) is float
        assert individual.year == 2051.0
        individual.next_universe()
        assert field(individual, "_universe") == 1

    def test_first_person_goes_through_int_conversion(self):
        individual = population(5)
        individual.next_block(2.9, {}, {})
        assert field(individual, "_person") == 1
        individual.next_block(True, {}, {})
        assert field(individual, "_person") == 0

    @pytest.mark.parametrize("first_person", [2**31 + 1, -2**31, 10**30])
    def test_first_person_outside_int32(self, individual, first_person):
        with pytest.raises(OverflowError):
            individual.next_block(first_person, {}, {})
        assert field(individual, "_person") == -1

    def test_person_fields(self):
        individual = population(3, strata=[0, 2, 1])
        started(individual, first_person=1)
        for name, value in {"_person_birth": 1951.0, "_person_stratum": 2, "_person_stratum_hops_n": 0,
                            "_preserve_dynamic": False, "_preserve_final": False}.items():
            assert field(individual, name) == value, name


class TestLives:
    def test_every_life_starts_afresh(self, individual):
        started(individual)
        individual.age = 33.0
        old = {name: field(individual, name) for name in ("memory", "_ongoing_durations", "_queue", "_events")}
        for container in old.values():
            container.append((1.0, 0, 0)) if type(container) is list else container.update(x=1)
        individual.__setstate__(state_with(individual, _event_idx=0))
        individual.next_universe()
        assert individual.age == 0.0
        assert field(individual, "_event_idx") == -1
        for name, container in old.items():
            new = field(individual, name)
            assert new is not container and not new and type(new) is type(container), name

    def test_too_many_universes_is_refused_without_change(self, individual):
        started(individual, universes=2)
        individual.memory["kept"] = True
        before = individual.__reduce__()[2]
        with pytest.raises(IndexError, match="already started all 2 universes"):
            individual.next_universe()
        assert individual.memory == {"kept": True}
        assert field(individual, "_universe") == 1
        assert individual.__reduce__()[2][1:] == before[1:]

    def test_too_many_persons_is_refused_without_change(self, individual):
        individual.next_block(2, {}, {})
        individual.next_person()
        individual.next_universe()
        with pytest.raises(IndexError, match="person 3 is outside the population arrays"):
            individual.next_person()
        assert (field(individual, "_person"), field(individual, "_person_block")) == (2, 0)
        assert field(individual, "_universe") == 0

    @pytest.mark.parametrize("first_person", [-1, 10])
    def test_persons_outside_the_arrays_are_refused(self, individual, first_person):
        individual.next_block(first_person, {}, {})
        with pytest.raises(IndexError, match="outside the population arrays"):
            individual.next_person()

    def test_a_restored_shorter_array_is_what_counts(self, individual):
        individual.__setstate__(state_with(individual, _stratum=np.zeros(1, dtype=np.int16)))
        started(individual)
        with pytest.raises(IndexError, match=r"person 1 is outside the population arrays \(3 birth years, 1 strata\)"):
            individual.next_person()

    def test_a_life_needs_a_person(self, individual):
        individual.next_block(0, {}, {})
        with pytest.raises(IndexError, match="call next_person"):
            individual.next_universe()
        assert field(individual, "_universe") == -1

    def test_a_restored_universe_count_is_obeyed(self, individual):
        individual.__setstate__(state_with(individual, _universe_n=0))
        individual.next_block(0, {}, {})
        individual.next_person()
        with pytest.raises(IndexError, match="all 0 universes"):
            individual.next_universe()

    def test_never_constructed(self):
        bare = Individual.__new__(Individual)
        for method in (bare.next_person, bare.next_universe):
            with pytest.raises(AttributeError, match="Memoryview is not initialized"):
                method()

    def test_zero_sized_configuration_steps_safely(self):
        individual = population(2, n_stratum_hops=-1, individual_block_size=0)
        assert field(individual, "_stratum_n") == 0
        started(individual, universes=2)
        individual.next_person()
        individual.next_universe()
        assert field(individual, "_person") == 1


class TestPreserveStratum:
    """Several persons in several universes, under each preserve setting."""

    @pytest.mark.parametrize("setting, hops_given, start_strata, flags, hops_left", [
        # start stratum and hop count of universes 0, 1, 2 after a life that
        # ends in stratum 3 with 2 changes recorded
        (None, True, [1, 1, 1], (False, False), [0, 0, 0]),
        (None, False, [1, 1, 1], (False, False), [0, 2, 2]),
        ("other", True, [1, 1, 1], (False, False), [0, 0, 0]),
        ("dynamic", True, [1, 1, 1], (True, False), [0, 2, 2]),
        ("final", True, [1, 3, 3], (False, True), [0, 2, 2]),
        ("final", False, [1, 3, 3], (False, True), [0, 2, 2]),
    ])
    def test_settings(self, setting, hops_given, start_strata, flags, hops_left):
        individual = population(2, strata=[1, 1], universes=["a", "b", "c"], preserve_stratum=setting,
                                n_stratum_hops=4 if hops_given else None)
        individual.next_block(0, {}, {})
        for person in range(2):
            individual.next_person()
            assert (field(individual, "_preserve_dynamic"), field(individual, "_preserve_final")) == (False, False)
            for universe in range(3):
                individual.next_universe()
                assert field(individual, "_person_stratum") == start_strata[universe]
                assert field(individual, "_person_stratum_hops_n") == hops_left[universe]
                expected_flags = (False, False) if universe == 0 else flags
                assert (field(individual, "_preserve_dynamic"), field(individual, "_preserve_final")) == expected_flags
                if universe == 0:
                    fake_hops(individual, 3, 2)


    @pytest.mark.parametrize("setting", ["dynamic", "final"])
    def test_settings_are_compared_by_value(self, setting):
        # A restored or unpickled setting is an equal string, not the same object.
        copy = "".join(list(setting))
        assert copy is not setting
        individual = population(1, universes=["a", "b"], preserve_stratum=copy)
        started(individual, universes=2)
        flags = (field(individual, "_preserve_dynamic"), field(individual, "_preserve_final"))
        assert flags == (setting == "dynamic", setting == "final")


class TestSnapshotCursors:
    @pytest.mark.parametrize("birth, year_idx, next_age_years", [
        (2000.0, 2, 10.0),   # a snapshot year equal to the birth year is not recorded
        (1985.5, 0, 4.5),
        (2015.0, 3, INF),
    ])
    def test_first_pending_snapshot(self, birth, year_idx, next_age_years):
        individual = make(properties={"__birth__": np.array([birth]), "__stratum__": np.array([0])},
                          snapshot_ages=[5, 10], snapshot_years=[1990.0, 2000.0, 2010.0])
        started(individual)
        assert field(individual, "_snapshot_age_idx") == 0
        assert field(individual, "_snapshot_next_age") == 5.0
        assert field(individual, "_snapshot_year_idx") == year_idx
        assert field(individual, "_snapshot_next_age_years") == next_age_years

    def test_cursors_left_alone_when_snapshots_are_off(self):
        individual = make(snapshot_functions=[])
        started(individual)
        assert field(individual, "_snapshot_age_idx") == -1
        assert field(individual, "_snapshot_next_age") == INF
        assert field(individual, "_snapshot_year_idx") == -1
        assert field(individual, "_snapshot_next_age_years") == INF

    def test_restored_empty_snapshot_ages_refuse_the_life(self, individual):
        individual.__setstate__(state_with(individual, _snapshot_ages=np.zeros(0)))
        individual.next_block(0, {}, {})
        individual.next_person()
        with pytest.raises(IndexError, match=r"axis 0"):
            individual.next_universe()
        assert field(individual, "_universe") == -1


class TestBlocks:
    def test_named_generators_are_reseeded(self, individual):
        generators = individual.random
        generators["screening"].seed(99)
        screening_before = generators["screening"].getstate()
        individual.next_block(0, {}, {"onset": 7})
        assert generators["onset"].random() == random.Random(7).random()
        assert generators["screening"].getstate() == screening_before

    def test_block_properties_are_the_callers_dict(self, individual):
        block = {"risk": np.array([0.1, 0.2, 0.3])}
        individual.next_block(1, block, {})
        assert field(individual, "_properties_tmp") is block
        individual.next_person()
        individual.next_person()
        assert individual.properties_tmp("risk") == 0.2
        assert individual.properties("height") == 1.6

    @pytest.mark.parametrize("seeds, error, message", [
        ({"onset": 1, "missing": 2}, KeyError, "missing"),
        ({"onset": 1, "screening": []}, TypeError, "supported seed types"),
    ])
    def test_reseeding_errors(self, individual, seeds, error, message):
        with pytest.raises(error, match=message):
            individual.next_block(5, {"x": 1}, seeds)
        assert field(individual, "_person") == 4
        assert field(individual, "_properties_tmp") == {"x": 1}

    def test_random_set_to_none(self, individual):
        individual.random = None
        individual.next_block(0, {}, {})
        with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
            individual.next_block(0, {}, {"onset": 1})

    def test_seeds_changing_size_during_the_loop(self, individual):
        seeds = {}

        class Growing:
            def seed(self, value):
                seeds["more"] = 1

        individual.random = {"g": Growing(), "more": Growing()}
        seeds["g"] = 1
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            individual.next_block(0, {}, seeds)


class TestProperties:
    def test_position_counts_from_the_end_when_negative(self, individual):
        # Before the first person, _person and _person_block are -1.
        assert individual.properties("height") == 1.6
        individual.next_block(0, {"risk": [5, 6]}, {})
        assert individual.properties_tmp("risk") == 6

    @pytest.mark.parametrize("method, field_name", [("properties", "_properties"),
                                                    ("properties_tmp", "_properties_tmp")])
    def test_position_is_read_after_the_lookup(self, individual, method, field_name):
        class Stepping(str):
            """A property name whose comparison moves on to the next person."""

            __hash__ = str.__hash__

            def __eq__(self, other):
                individual.next_person()
                return str.__eq__(self, other)

        individual.next_block(0, {}, {})
        individual.next_person()
        individual.__setstate__(state_with(individual, **{field_name: {Stepping("rank"): [10, 11, 12]}}))
        assert getattr(individual, method)("rank") == 11

    def test_element_is_returned_as_the_container_gives_it(self, individual):
        started(individual)
        assert type(individual.properties("height")) is np.float64

    @pytest.mark.parametrize("method", ["properties", "properties_tmp"])
    def test_errors(self, method):
        individual = make()
        call = getattr(individual, method)
        with pytest.raises(KeyError, match="nothing"):
            call("nothing")
        with pytest.raises(TypeError, match="Argument 'tag' has incorrect type \\(expected str, got bytes\\)"):
            call(b"height")
        individual.next_block(0, {"height": np.zeros(0)}, {})
        individual.__setstate__(state_with(individual, _person=7, _person_block=7))
        with pytest.raises(IndexError):
            call("height")
        bare = Individual.__new__(Individual)
        with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
            getattr(bare, method)("height")

"""Checking a run's arguments: every mistake is refused, named, before any
block is simulated; snapshot functions combine their tags."""

import numpy as np
import pytest

from tavlen import Model, ModelError

from lives import Life


BAD_RUNS = [
    (dict(strata=[0, 1]), ModelError, "different lengths: birth_years has 3 entries, strata"),
    (dict(properties={"risk": [1.0, 2.0]}), ModelError, "property 'risk' has shape"),
    (dict(properties={"__birth__": [1, 2, 3]}), ModelError, "reserved"),
    (dict(strata=[0, -1, 0]), ModelError, "strata must be ints from 0"),
    (dict(strata=[0, 3, 0], n_stratum_hops=2), ModelError, "a person starts in stratum 3"),
    (dict(strata=[0, 1, 0], stratum_labels=["one"]), ModelError, "1 stratum labels given for 2 strata"),
    (dict(event_ages=[0, 50, 40]), ModelError, "event_ages must be strictly ascending"),
    (dict(duration_years=[]), ModelError, "duration_years must be a non-empty"),
    (dict(snapshot_ages=[60, 50]), ModelError, "snapshot_ages must be finite and strictly ascending"),
    (dict(universes=["a", "a"]), ModelError, "universe names must differ"),
    (dict(universes=[]), ModelError, "at least one universe"),
    (dict(event_tags="end"), TypeError, r"event_tags is a sequence of str, not a single str: 'end'; .* \('end',\)"),
    (dict(event_tags=[1]), TypeError, "event tags are str, got int in event_tags"),
    (dict(preserve_stratum="always"), ModelError, "preserve_stratum is None, 'dynamic' or 'final'"),
    (dict(block_size=0), ModelError, "block_size must be at least 1"),
    (dict(seed=-1), ModelError, "seed must not be negative"),
    (dict(seed=1.5), TypeError, "seed must be an int"),
    (dict(common_random_numbers="no"), TypeError, "common_random_numbers must be True or False, got str"),
    (dict(workers=2, executor=object()), ModelError, "either an executor or a number of workers"),
    (dict(executor="dask"), TypeError, "executor must be a concurrent.futures.Executor.*got str"),
    (dict(universes=[str(u) for u in range(257)], event_individual_tags=["x"]), ModelError, "at most 256 universes"),
]


@pytest.mark.parametrize("options, error, message", BAD_RUNS)
def test_bad_configurations_are_refused_before_running(options, error, message):
    with pytest.raises(error, match=message):
        Model([Life()]).run([1950.0, 1960.0, 1970.0], **options)


def test_bad_population_and_block_properties():
    with pytest.raises(ModelError, match="birth_years must be finite"):
        Model([Life()]).run([1950.0, np.nan])

    class Short(Life):
        def block_properties(self, block):
            return {"x": np.zeros(block.size - 1)}

    with pytest.raises(ModelError, match=r"Short.block_properties\(\) gave 'x' of shape \(1,\) for a block of 2"):
        Model([Short()]).run([1950.0, 1960.0])


class NoBlockProperties(Life):
    def block_properties(self, block):
        {"risk": np.zeros(block.size)}  # the return forgotten


class NoSnapshotFunctions(Life):
    def snapshot_functions(self):
        (self.start,)  # the return forgotten


@pytest.mark.parametrize("process, options, message", [
    (NoSnapshotFunctions(), {}, r"NoSnapshotFunctions.snapshot_functions\(\) must return a sequence of functions, got NoneType"),
    (Life(), dict(snapshot_functions=len), "snapshot_functions must be a sequence of functions, got builtin_function"),
    (Life(), dict(snapshot_functions=[1]), "snapshot_functions must be a sequence of functions, got an item of type int"),
    (NoBlockProperties(), {}, r"NoBlockProperties.block_properties\(\) must return a dict of per-person arrays, got NoneType"),
])
def test_hooks_that_return_the_wrong_thing_are_named(process, options, message):
    with pytest.raises(TypeError, match=message):
        Model([process]).run([1950.0], **options)


@pytest.mark.parametrize("first, second", [
    ({"s": 1}, ["s"]), (["s"], {"s": 2}), ({"t": 1, "s": 1}, {"s": 1}), (("t", "s"), ("u", "s")),
])
def test_overlapping_snapshot_functions_are_an_error(first, second):
    class Snap(Life):
        def snapshot_functions(self):
            return (lambda individual: first, lambda individual: second)

    with pytest.raises(ModelError, match="snapshot tag 's' is reported by more than one snapshot function"):
        Model([Snap()]).run([1950.0], snapshot_tags=["s", "t", "u"], snapshot_ages=[0.5])


def test_snapshot_functions_combine_their_tags_each_counted_once_per_function():
    class Snap(Life):
        def snapshot_functions(self):
            return (lambda individual: ("s", "s"), lambda individual: None, lambda individual: {"t": 3, "u": 2},
                    lambda individual: ["v"])

    results = Model([Snap()]).run([1950.0, 1960.0], snapshot_tags=["s", "t", "u", "v"], snapshot_ages=[0.5])
    assert results.snapshots_ages[0, 0, :, 0].tolist() == [2, 6, 4, 2]


def test_a_process_declaring_one_tag_without_a_comma_is_named():
    class Comma(Life):
        duration_tags = ("alive")

    with pytest.raises(TypeError, match=r"Comma.duration_tags is a sequence of str, not a single str: 'alive'"):
        Model([Comma()]).run([1950.0])

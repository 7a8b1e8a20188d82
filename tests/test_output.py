"""Handing out the accumulated results: the four aggregate arrays as views on
the object's own memory, and the individual-level log joined from its blocks."""

import gc

import numpy as np
import pytest

from conftest import field, make, state_of, state_with
from tavlen.individual import Individual

# method -> (field, dtype, shape of the small run of conftest.config)
AGGREGATES = {
    "output_events": ("_log_events", np.uint32, (2, 3, 3, 2, 4)),
    "output_durations": ("_log_durations", np.float64, (2, 3, 2, 3, 2)),
    "output_snapshots_ages": ("_snapshots_ages", np.uint32, (2, 3, 1, 2)),
    "output_snapshots_years": ("_snapshots_years", np.uint32, (2, 3, 1, 1)),
}
OUTPUTS = [*AGGREGATES, "output_events_individual"]

# key of output_events_individual -> (list field, current block field, dtype)
COLUMNS = {
    key: (f"_log_event_individual_{key}", f"_log_event_individual_{key}_current_block", dtype)
    for key, dtype in [("universe", np.uint8), ("individual", np.uint32), ("element", np.uint16),
                       ("age", np.float64), ("tag", np.uint16)]
}
UNUSED_SLOT = 77  # written into the slots past the last entry; must never be output


def entry_values(key, n):
    """Distinct values for entries 0 .. n-1 of one column."""
    e = np.arange(n)
    return {"universe": e % 3, "individual": 100 + e, "element": 1000 + e, "age": 0.25 * e, "tag": e % 2}[key]


def fill_log(individual, n, block_size=4):
    """Give the individual a log of n entries, laid out in blocks as logging
    leaves them; the slots past the last entry hold UNUSED_SLOT."""
    blocks_n = max(1, -(-n // block_size))
    changes = {"_log_event_individual_block_size": block_size,
               "_log_event_individual_entry_idx": n - (blocks_n - 1) * block_size}
    for key, (list_field, block_field, dtype) in COLUMNS.items():
        flat = np.full(blocks_n * block_size, UNUSED_SLOT, dtype=dtype)
        flat[:n] = entry_values(key, n)
        blocks = [flat[i:i + block_size].copy() for i in range(0, flat.size, block_size)]
        changes[list_field] = blocks
        changes[block_field] = blocks[-1]
    individual.__setstate__(state_with(individual, **changes))
    return changes


@pytest.mark.parametrize("method", AGGREGATES)
def test_aggregate_output_is_a_new_writable_view_on_the_objects_array(individual, method):
    name, dtype, shape = AGGREGATES[method]
    first, second = getattr(individual, method)(), getattr(individual, method)()
    own = field(individual, name)
    assert type(first) is np.ndarray and first is not second
    assert first.dtype == dtype and first.shape == shape
    assert (first.shape, first.strides, first.dtype) == (own.shape, own.strides, own.dtype)
    assert first.flags.writeable
    assert np.shares_memory(first, own) and np.shares_memory(first, second)


@pytest.mark.parametrize("method", AGGREGATES)
def test_writes_are_seen_in_both_directions(individual, method):
    handed_out = getattr(individual, method)()
    index = (1, 2, 0, -1)[: handed_out.ndim - 1] + (-1,)
    handed_out[index] = 7
    assert field(individual, AGGREGATES[method][0])[index] == 7
    assert getattr(individual, method)()[index] == 7

    field(individual, AGGREGATES[method][0])[0, 0] = 3  # as logging into the object would
    assert (handed_out[0, 0] == 3).all()


@pytest.mark.parametrize("drop", ["delete the object", "replace the field"])
@pytest.mark.parametrize("method", AGGREGATES)
def test_handed_out_array_outlives_the_objects_reference(method, drop):
    individual = make()
    handed_out = getattr(individual, method)()
    handed_out[...] = 5
    if drop == "delete the object":
        del individual
    else:
        name, dtype, shape = AGGREGATES[method]
        individual.__setstate__(state_with(individual, **{name: np.zeros(shape, dtype)}))
        assert not np.shares_memory(getattr(individual, method)(), handed_out)
    gc.collect()
    np.zeros(10**6)  # reuse of freed memory would show below
    assert (handed_out == 5).all()
    handed_out[...] = 6
    assert (handed_out == 6).all()


@pytest.mark.parametrize("method", AGGREGATES)
def test_output_keeps_the_strides_of_a_non_contiguous_array(individual, method):
    name, dtype, shape = AGGREGATES[method]
    base = np.zeros(tuple(2 * n + 1 for n in shape), dtype)
    strided = base[(slice(None, None, 2),) * len(shape)].transpose()
    individual.__setstate__(state_with(individual, **{name: strided}))
    handed_out = getattr(individual, method)()
    assert (handed_out.shape, handed_out.strides) == (strided.shape, strided.strides)
    handed_out[...] = 9
    assert (strided == 9).all() and base.sum() == 9 * strided.size


@pytest.mark.parametrize(
    "n, blocks_n",
    [(0, 1), (1, 1), (4, 1), (6, 2), (9, 3)],
    ids=["empty", "one entry", "one full block", "two blocks", "three blocks"],
)
def test_individual_log_is_joined_from_the_blocks(individual, n, blocks_n):
    layout = fill_log(individual, n)
    result = individual.output_events_individual()
    assert list(result) == list(COLUMNS)
    for key, (list_field, _, dtype) in COLUMNS.items():
        assert len(layout[list_field]) == blocks_n
        assert result[key].dtype == dtype and result[key].shape == (n,)
        np.testing.assert_array_equal(result[key], entry_values(key, n).astype(dtype))


def test_individual_log_output_is_a_copy_and_leaves_the_blocks_in_place(individual):
    layout = fill_log(individual, 6)
    first = individual.output_events_individual()
    for key, (list_field, _, _) in COLUMNS.items():
        assert state_of(individual)[list_field] is layout[list_field]
        assert not any(np.shares_memory(first[key], block) for block in layout[list_field])
        first[key][:] = 0
    second = individual.output_events_individual()
    for key in COLUMNS:
        np.testing.assert_array_equal(second[key], entry_values(key, 6).astype(second[key].dtype))


@pytest.mark.parametrize("list_field", [c[0] for c in COLUMNS.values()])
@pytest.mark.parametrize(
    "value, error, message",
    [(None, TypeError, "'NoneType' object is not subscriptable"), ([], IndexError, "list index out of range")],
    ids=["None", "empty list"],
)
def test_individual_log_with_a_missing_column(individual, list_field, value, error, message):
    fill_log(individual, 6)
    individual.__setstate__(state_with(individual, **{list_field: value}))
    before = state_of(individual)
    with pytest.raises(error, match=message):
        individual.output_events_individual()
    after = state_of(individual)
    for name, item in before.items():
        if not isinstance(item, memoryview):
            assert after[name] is item or after[name] == item


@pytest.mark.parametrize("method", OUTPUTS)
def test_output_of_an_object_that_was_never_constructed(method):
    bare = Individual.__new__(Individual)
    if method == "output_events_individual":
        with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
            bare.output_events_individual()
    else:
        with pytest.raises(AttributeError, match="^Memoryview is not initialized$"):
            getattr(bare, method)()


@pytest.mark.parametrize("method", OUTPUTS)
def test_output_methods_take_no_arguments(individual, method):
    with pytest.raises(TypeError) as positional:
        getattr(individual, method)(1)
    assert str(positional.value) == f"{method}() takes exactly 0 positional arguments (1 given)"
    with pytest.raises(TypeError) as keyword:
        getattr(individual, method)(copy=True)
    assert str(keyword.value) == f"{method}() got an unexpected keyword argument 'copy'"


@pytest.mark.parametrize(
    "reinterpret",
    [lambda a: setattr(a, "dtype", np.uint16), lambda a: setattr(a, "shape", (1, 6, 3, 2, 4))],
    ids=["element type", "shape"],
)
def test_output_describes_the_field_even_when_its_array_is_reinterpreted(individual, reinterpret):
    # NumPy lets the owner of an array change its dtype or shape in place while
    # the object holds it; the object still logs into the memory as it
    # acquired it, and the output must show the same cells.
    counts = np.zeros((2, 3, 3, 2, 4), np.uint32)
    individual.__setstate__(state_with(individual, _log_events=counts))
    reinterpret(counts)
    handed_out = individual.output_events()
    assert (handed_out.dtype, handed_out.shape, handed_out.strides) == (np.uint32, (2, 3, 3, 2, 4), (288, 96, 32, 16, 4))
    assert np.shares_memory(handed_out, counts)

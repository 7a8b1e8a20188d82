"""A block's partial result as the cells it changed: added in block order, it
gives the totals that adding the whole arrays gives, bit for bit."""

import pickle

import numpy as np
import pytest

from tavlen.cells import Cells, add_into, dense


def blocks(dtype, seed):
    """Partial results of a few blocks: mostly empty, with signed zeros,
    negative durations and cells that cancel."""
    generator = np.random.default_rng(seed)
    shape = (2, 3, 4, 7, 5)
    for _ in range(6):
        array = np.zeros(shape, dtype=dtype)
        cells = generator.choice(array.size, size=generator.integers(0, 40), replace=False)
        if dtype == np.float64:
            values = generator.choice([-0.0, 0.0, 1e-300, -2.5, 0.1, 1 / 3, 1e16, -1e16], size=len(cells))
        else:
            values = generator.integers(0, 2**32, size=len(cells), dtype=np.uint64).astype(dtype)
        array.reshape(-1)[cells] = values
        yield array


@pytest.mark.parametrize("dtype, total_dtype", [(np.float64, np.float64), (np.uint32, np.int64)])
@pytest.mark.parametrize("seed", range(5))
def test_cells_add_up_to_what_whole_arrays_add_up_to(dtype, total_dtype, seed):
    by_arrays = np.zeros((2, 3, 4, 7, 5), dtype=total_dtype)
    by_cells = np.zeros_like(by_arrays)
    subsample = np.zeros((3, *by_arrays.shape), dtype=total_dtype)
    subsample_by_arrays = np.zeros_like(subsample)
    for block, array in enumerate(blocks(dtype, seed)):
        by_arrays += array
        subsample_by_arrays[block % 3] += array
        cells = pickle.loads(pickle.dumps(Cells.of(array)))
        assert cells.shape == array.shape and cells.dtype == array.dtype
        assert dense(cells).tobytes() == np.where(array == 0, 0, array).astype(dtype).tobytes()
        add_into(by_cells, cells, subsample[block % 3])
    assert by_cells.tobytes() == by_arrays.tobytes()  # -0.0 and 0.0 told apart
    assert subsample.tobytes() == subsample_by_arrays.tobytes()


def test_only_the_changed_cells_are_kept():
    array = np.zeros((100, 100, 100))
    array[3, 4, 5], array[99, 99, 99], array[0, 0, 0] = 2.0, -1.0, -0.0
    cells = Cells.of(array)
    assert cells.positions.tolist() == [30405, 999999] and cells.values.tolist() == [2.0, -1.0]
    assert cells.positions.dtype == np.uint32 and cells.nbytes == 2 * 4 + 2 * 8


@pytest.mark.parametrize("positions, values, total, message", [
    ([1, 1], [1.0, 2.0], np.zeros(4), "does not fit"),  # a cell twice would be added once
    ([2, 1], [1.0, 2.0], np.zeros(4), "does not fit"),
    ([4], [1.0], np.zeros(4), "does not fit"),
    ([0, 1], [1.0], np.zeros(4), "does not fit"),
    ([0], [1.0], np.zeros((4, 2))[:, 0], "contiguous"),
    ([0], [1.0], (np.zeros(4), np.zeros(3)), "of their shape"),  # a sub-sample sum of another shape
])
def test_cells_that_do_not_fit_are_refused(positions, values, total, message):
    totals = total if isinstance(total, tuple) else (total,)
    before = [array.copy() for array in totals]
    cells = Cells(totals[0].shape, np.array(positions, dtype=np.uint32), np.array(values))
    with pytest.raises(ValueError, match=message):
        add_into(*totals[:1], cells, *totals[1:])
    assert all(np.array_equal(array, kept) for array, kept in zip(totals, before))


@pytest.mark.parametrize("position_dtype", [np.uint32, np.int64, np.int32])
@pytest.mark.parametrize("value_dtype, total_dtype", [
    (np.float64, np.float64), (np.uint32, np.int64), (np.int64, np.int64),  # added by the engine
    (np.float32, np.float64), (np.uint32, np.float64), (np.int16, np.int64),  # added by NumPy
])
def test_every_kind_adds_as_numpy_adds(position_dtype, value_dtype, total_dtype):
    generator = np.random.default_rng(7)
    totals = generator.integers(-5, 5, size=(3, 40)).astype(total_dtype)
    expected = totals.copy()
    positions = np.sort(generator.choice(40, size=12, replace=False)).astype(position_dtype)
    values = generator.integers(0, 1000, size=12).astype(value_dtype)
    for target in expected:
        target[positions] += values
    add_into(totals[0], Cells((40,), positions, values), totals[1], totals[2])
    assert totals.tobytes() == expected.tobytes()


@pytest.mark.parametrize("values", [np.array([1.0, 2.0]), np.array([1.0, 2.0], dtype=np.float32)])
def test_a_negative_position_is_refused_not_wrapped(values):
    total = np.zeros(4)
    with pytest.raises(ValueError, match="does not fit"):
        add_into(total, Cells((4,), np.array([-1, 2]), values))
    assert not total.any()

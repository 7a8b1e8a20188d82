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

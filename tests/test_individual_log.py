"""The individual-level log: five parallel columns of fixed-size blocks, the
conversions of an entry, and the refusals that keep the columns parallel."""

import numpy as np
import pytest

import tavlen.individual as individual_module
from conftest import field, in_life, make

COLUMNS = ("universe", "individual", "element", "age", "tag")
DTYPES = dict(zip(COLUMNS, (np.uint8, np.uint32, np.uint16, np.float64, np.uint16)))


def blocks(individual, column):
    return field(individual, f"_log_event_individual_{column}")


def entries(individual):
    """The valid entries, column by column, read from the blocks."""
    used = field(individual, "_log_event_individual_entry_idx")
    log = {}
    for column in COLUMNS:
        parts = blocks(individual, column)
        log[column] = list(np.concatenate([*parts[:-1], parts[-1][:used]]))
    return log


def assert_parallel(individual, block_count, block_size):
    for column in COLUMNS:
        parts = blocks(individual, column)
        assert len(parts) == block_count
        assert all(p.dtype == DTYPES[column] and p.shape == (block_size,) for p in parts)
        current = field(individual, f"_log_event_individual_{column}_current_block")
        assert np.shares_memory(current, parts[-1])


def test_log_grows_one_block_per_column_only_when_an_entry_needs_it():
    individual = in_life(make(individual_block_size=2), _universe=1, _person=2)
    individual.log_event_individual("onset", 1.0)
    individual.log_event_individual("death", 2.0, 7)
    assert_parallel(individual, 1, 2)
    assert field(individual, "_log_event_individual_entry_idx") == 2
    for k in range(3, 8):
        individual.log_event_individual("onset", float(k), k)
    assert_parallel(individual, 4, 2)
    assert field(individual, "_log_event_individual_entry_idx") == 1
    log = entries(individual)
    assert log["age"] == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0]
    assert log["element"] == [0, 7, 3, 4, 5, 6, 7]
    assert log["tag"] == [0, 1, 0, 0, 0, 0, 0]
    assert set(log["universe"]) == {1} and set(log["individual"]) == {2}


@pytest.mark.parametrize("arguments, age, element", [
    ((), 30.0, 0),
    ((-1.0,), 30.0, 0),
    ((-2.0,), -2.0, 0),
    ((-0.999,), -0.999, 0),
    ((12, 2.9), 12.0, 2),
    ((12.5, 65535), 12.5, 65535),
    ((np.float32(1.5), np.int64(4)), 1.5, 4),
])
def test_entry_age_and_element(arguments, age, element):
    individual = in_life(make())
    individual.log_event_individual("onset", *arguments)
    assert entries(individual)["age"] == [age]
    assert entries(individual)["element"] == [element]


def test_keywords_are_accepted():
    individual = in_life(make())
    individual.log_event_individual(element=9, age=3.0, tag="death")
    assert entries(individual)["element"] == [9] and entries(individual)["tag"] == [1]


@pytest.mark.parametrize("element, message", [
    (70000, "value too large to convert to unsigned short"),
    (2**80, "value too large to convert to unsigned short"),
    (-1, "can't convert negative value to unsigned short"),
])
def test_element_out_of_range_adds_no_entry_after_writing_the_first_two_slots(element, message):
    individual = in_life(make(individual_block_size=2), _universe=1, _person=2)
    individual.log_event_individual("onset")
    individual.log_event_individual("onset")
    with pytest.raises(OverflowError, match=message):
        individual.log_event_individual("death", 5.0, element)
    # The blocks of this call stay; slot 0 holds the universe and person, not an entry.
    assert_parallel(individual, 2, 2)
    assert field(individual, "_log_event_individual_entry_idx") == 0
    assert field(individual, "_log_event_individual_universe_current_block")[0] == 1
    assert field(individual, "_log_event_individual_individual_current_block")[0] == 2
    assert field(individual, "_log_event_individual_age_current_block")[0] == 0.0


@pytest.mark.parametrize("arguments, error", [
    ((None,), TypeError),
    (("x",), TypeError),
    ((1.0, "3"), TypeError),
    ((1.0, None), TypeError),
])
def test_wrong_argument_types_write_nothing(arguments, error):
    individual = in_life(make())
    with pytest.raises(error):
        individual.log_event_individual("onset", *arguments)
    assert field(individual, "_log_event_individual_entry_idx") == 0


def test_unknown_tag():
    individual = in_life(make(individual_block_size=1))
    individual.log_event_individual("onset")
    with pytest.raises(Exception, match="tag birth not present among loggable individual event tags") as caught:
        individual.log_event_individual("birth")
    assert isinstance(caught.value.__context__, KeyError)
    quiet = in_life(make(individual_block_size=1, verify_tags=False))
    quiet.log_event_individual("onset")
    quiet.log_event_individual("birth")
    assert_parallel(quiet, 1, 1)
    assert field(quiet, "_log_event_individual_entry_idx") == 1


def test_tag_position_beyond_sixteen_bits():
    individual = in_life(make(), _log_event_individual_tags_idx={"onset": 65536})
    with pytest.raises(OverflowError, match="value too large to convert to unsigned short"):
        individual.log_event_individual("onset")
    assert field(individual, "_log_event_individual_entry_idx") == 0


@pytest.mark.parametrize("changes, error, message", [
    ({"_universe": -1}, RuntimeError, "outside a life"),
    ({"_universe": 256}, OverflowError, "universe 256 does not fit the universe column"),
    ({"_person": -1}, OverflowError, "person -1 does not fit the person column"),
    ({"_log_event_individual_block_size": 0, "_log_event_individual_entry_idx": 0}, ValueError,
     "block size is 0"),
])
def test_entries_that_do_not_fit_are_refused_before_anything_is_written(changes, error, message):
    individual = in_life(make(individual_block_size=1), **{"_log_event_individual_entry_idx": 1, **changes})
    with pytest.raises(error, match=message):
        individual.log_event_individual("onset", 3.0)
    assert all(len(blocks(individual, c)) == 1 for c in COLUMNS)
    assert not field(individual, "_log_event_individual_universe_current_block").any()


def test_universe_255_fits():
    individual = in_life(make(universes=list(range(256))), _universe=255)
    individual.log_event_individual("onset")
    assert entries(individual)["universe"] == [255]


def test_restored_entry_index_beyond_the_block_is_refused():
    individual = in_life(make(individual_block_size=4), _log_event_individual_entry_idx=3,
                         _log_event_individual_tag_current_block=np.zeros(2, np.uint16))
    with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 0\)"):
        individual.log_event_individual("onset")
    assert field(individual, "_log_event_individual_entry_idx") == 3


def test_a_block_that_cannot_be_made_leaves_every_column_as_it_was(monkeypatch):
    real_np = individual_module.np
    made = []

    class FailingNumPy:
        def __getattr__(self, name):
            return getattr(real_np, name)

        def zeros(self, shape, dtype):
            made.append(dtype)
            if len(made) == 4:
                return real_np.zeros(shape, np.float32)  # not a float64 buffer
            return real_np.zeros(shape, dtype)

    individual = in_life(make(individual_block_size=1))
    individual.log_event_individual("onset", 1.0)
    monkeypatch.setattr(individual_module, "np", FailingNumPy())
    with pytest.raises(ValueError, match="Buffer dtype mismatch"):
        individual.log_event_individual("onset", 2.0)
    assert_parallel(individual, 1, 1)
    monkeypatch.setattr(individual_module, "np", real_np)
    individual.log_event_individual("onset", 3.0)
    assert_parallel(individual, 2, 1)
    assert entries(individual)["age"] == [1.0, 3.0]


def test_columns_replaced_by_a_restored_state_are_refused():
    individual = in_life(make(individual_block_size=1), _log_event_individual_entry_idx=1,
                         _log_event_individual_tag=None)
    with pytest.raises(TypeError, match="a column of the individual log is NoneType, not a list"):
        individual.log_event_individual("onset")
    assert len(blocks(individual, "universe")) == 1

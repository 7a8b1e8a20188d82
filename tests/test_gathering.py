"""The individual-level log of a run: gathered block by block into columns
that grow in place, it must come out as the blocks' logs joined in block
order, in the results' dtypes, whatever the sizes of the blocks' logs."""

import os
import pathlib

import numpy as np
import pytest

from tavlen import Model, ModelError, Process, handles
from tavlen.dealing import block_sizes, dealt_order
from tavlen.gathering import LogColumns

DTYPES = {"universe": np.uint8, "individual": np.uint32, "element": np.uint16, "age": np.float64, "tag": np.uint16}
CHECKOUT = str(pathlib.Path(__file__).resolve().parent.parent / "src")


def block_log(rng, size, dtypes=DTYPES):
    return {
        key: (rng.random(size) * 1000 if key == "age" else rng.integers(0, 250, size)).astype(dtypes[key])
        for key in DTYPES
    }


def gather(logs):
    gathering = LogColumns()
    for log in logs:
        gathering.append(log)
    return gathering.take()


@pytest.mark.parametrize("sizes", [
    [],
    [0, 0, 0],
    [1],
    [0, 5, 0, 1, 0],
    # Each larger than the growth step that the columns so far allow.
    [3, 10_000, 2, 300_000, 1],
    "random",
])
def test_blocks_are_joined_in_order_with_the_results_dtypes(sizes):
    rng = np.random.default_rng(5)
    if sizes == "random":
        sizes = rng.integers(0, 3000, 400).tolist()
        sizes[::7] = [0] * len(sizes[::7])
    logs = [block_log(rng, size) for size in sizes]
    gathered = gather(logs)
    assert list(gathered) == list(DTYPES)
    for key, dtype in DTYPES.items():
        expected = np.concatenate([log[key] for log in logs]) if logs else np.zeros(0, dtype)
        assert gathered[key].dtype == dtype
        np.testing.assert_array_equal(gathered[key], expected)
        # Trimmed to the entries, and owning them: nothing hidden past the end.
        assert gathered[key].flags.owndata and gathered[key].base is None


def test_columns_of_other_integer_and_float_types_take_the_results_dtypes():
    rng = np.random.default_rng(1)
    wide = {key: np.int64 for key in DTYPES} | {"age": np.float32}
    logs = [block_log(rng, 7, wide), block_log(rng, 0, wide), block_log(rng, 4)]
    gathered = gather(logs)
    for key, dtype in DTYPES.items():
        assert gathered[key].dtype == dtype
        np.testing.assert_array_equal(gathered[key], np.concatenate([log[key] for log in logs]).astype(dtype))


def test_taken_columns_are_the_callers_and_the_gathering_starts_again():
    rng = np.random.default_rng(2)
    gathering = LogColumns()
    first = block_log(rng, 50)
    gathering.append(first)
    taken = gathering.take()
    copies = {key: column.copy() for key, column in taken.items()}
    gathering.append(block_log(rng, 100_000))
    again = gathering.take()
    assert len(again["age"]) == 100_000
    for key in DTYPES:
        np.testing.assert_array_equal(taken[key], copies[key])
    assert all(len(column) == 0 for column in gathering.take().values())


@pytest.mark.parametrize("change, message", [
    (lambda log: log.pop("tag"), r"log of \['age', 'element', 'individual', 'universe'\], expected the columns"),
    (lambda log: log.update(extra=log["age"]), "expected the columns"),
    (lambda log: log.update(age=log["age"][:-1]), "unlike shapes"),
    (lambda log: log.update({key: column.reshape(2, 3) for key, column in log.items()}), "unlike shapes"),
])
def test_a_malformed_block_log_is_refused_and_leaves_the_gathering_intact(change, message):
    rng = np.random.default_rng(3)
    gathering = LogColumns()
    good = block_log(rng, 4)
    gathering.append(good)
    bad = block_log(rng, 6)
    change(bad)
    with pytest.raises(ModelError, match=message):
        gathering.append(bad)
    np.testing.assert_array_equal(gathering.take()["age"], good["age"])


class Counter(Process):
    """Each life logs a number of entries that depends on the person (none
    for every third), with values that tell person, universe and entry apart."""

    event_individual_tags = ("a", "b")

    def start(self, individual):
        individual.add_to_queue(1.0, "log", terminate=True)

    @handles("log")
    def log(self, individual):
        person = int(individual.properties("person"))
        for entry in range(entries_of(person)):
            individual.log_event_individual("ab"[entry % 2], age=person + entry / 100, element=entry)


def entries_of(person):
    return 0 if person % 3 == 0 else person % 11 + 1


def expected_log(people, universes, block_size):
    # People in the order the run deals them into blocks.
    rows = [(universe, person, entry, person + entry / 100, entry % 2)
            for person in dealt_order(people, block_size).tolist() for universe in range(universes)
            for entry in range(entries_of(person))]
    columns = zip(*rows) if rows else [()] * 5
    return {key: np.array(column, dtype=DTYPES[key]) for key, column in zip(DTYPES, columns)}


def run_log(people, block_size, **options):
    results = Model([Counter()]).run(np.full(people, 1990.0), properties={"person": np.arange(people)},
                                     universes=("u", "v"), seed=4, block_size=block_size,
                                     individual_block_size=5, **options)
    return results.individual


@pytest.mark.parametrize("people, block_size, options", [
    (0, 10, {}),
    (2, 2, {}),  # four entries: part of one block of five
    (40, 1, {}),
    (40, 7, {}),
    (40, 40, {}),
    (40, 6, {"workers": 2}),
])
def test_a_runs_log_is_every_life_in_block_order(people, block_size, options, monkeypatch):
    # Worker processes start fresh interpreters, which find tavlen and this
    # module (for Counter) through PYTHONPATH.
    paths = [CHECKOUT, os.path.join(os.path.dirname(CHECKOUT), "tests"), os.environ.get("PYTHONPATH")]
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(filter(None, paths)))
    log = run_log(people, block_size, **options)
    for key, column in expected_log(people, 2, block_size).items():
        assert log[key].dtype == column.dtype
        np.testing.assert_array_equal(log[key], column, err_msg=key)


@pytest.mark.parametrize("people, block_size", [(0, 5), (1, 5), (5, 5), (6, 5), (40, 7), (1000, 100), (999, 100), (7, 1)])
def test_every_block_is_dealt_one_person_of_each_round(people, block_size):
    order, sizes = dealt_order(people, block_size), block_sizes(people, block_size)
    blocks_n = len(sizes)
    assert sorted(order.tolist()) == list(range(people)) and sum(sizes) == people
    assert all(size <= block_size for size in sizes) and max(sizes, default=0) - min(sizes, default=0) <= 1
    first = 0
    for size in sizes:
        block = order[first : first + size]
        first += size
        assert (np.diff(block) > 0).all()
        # One person of every round of blocks_n consecutive people.
        assert (block // blocks_n).tolist() == list(range(size))
    np.testing.assert_array_equal(order, dealt_order(people, block_size))  # the same for every run

"""Results: bin edges and their labels, the questions and the table, xarray,
and files that keep every label."""

import json
import math
import os
import pickle

import numpy as np
import pytest

from tavlen import ModelError, Results, ResultsFileError
from tavlen.files import write_archive
from tavlen.results import _AGGREGATES, _EDGES, _LABELS, _POINTS, AGE_FLOOR, bin_labels, grid_edges

INF = math.inf


@pytest.mark.parametrize("given, edges, grid, labels", [
    ([0, 50, 70], [0, 50, 70, INF], [50, 70, INF], ["0-50", "50-70", "70+"]),
    ([0, 50, INF], [0, 50, INF], [50, INF], ["0-50", "50+"]),
    ((0.0,), [0, INF], [INF], ["0+"]),
    ([-INF], [-INF, INF], [INF], ["all"]),
    ([-INF, 2000, 2010.5], [-INF, 2000, 2010.5, INF], [2000, 2010.5, INF], ["<2000", "2000-2010.5", "2010.5+"]),
    # The first group takes the ages below its first edge too.
    ([20, 50, 70], [20, 50, 70, INF], [50, 70, INF], ["<50", "50-70", "70+"]),
    (40, [40, INF], [INF], ["all"]),
])
def test_edges_become_grids_of_upper_edges_and_labels(given, edges, grid, labels):
    got_edges, got_grid = grid_edges(given, "ages")
    assert got_edges.tolist() == edges and got_grid.tolist() == grid
    assert got_grid.dtype == np.float64 and got_grid.flags.writeable
    assert bin_labels(got_edges, floor=AGE_FLOOR) == labels


@pytest.mark.parametrize("given, labels", [
    # Deaths in 1980 fall into the first group of (2000, 2010): no label may say 2000.
    ([2000, 2010], ["<2010", "2010+"]),
    ([-INF, 2000, 2010], ["<2000", "2000-2010", "2010+"]),
    ([2000], ["all"]),
    ([-INF], ["all"]),
    # Years as in a model of time since a start: below 0 is not below the grid's reach.
    ([0, 10], ["<10", "10+"]),
    # Days as years: more digits where six would make two labels alike.
    ([2000, 2000 + 1 / 365, 2000 + 2 / 365], ["<2000.00274", "2000.00274-2000.005479", "2000.005479+"]),
])
def test_year_groups_never_claim_a_lower_edge(given, labels):
    edges, _ = grid_edges(given, "years")
    assert bin_labels(edges) == labels


@pytest.mark.parametrize("given", [[], [50, 50], [60, 50], [0, np.nan], [INF], [0, -INF], [[0, 1]]])
def test_edges_that_are_not_strictly_ascending_are_refused(given):
    with pytest.raises(ModelError, match="ages must be"):
        grid_edges(given, "ages")


def sample(individual_entries=3):
    """Results of two universes, two strata, with every kind of array filled."""
    rng = np.random.default_rng(1)
    event_ages, _ = grid_edges([0, 50, 70], "")
    years, _ = grid_edges([-INF, 2000], "")
    n = individual_entries
    return Results(
        events=rng.integers(0, 9, size=(2, 2, 2, 2, 3)),
        durations=rng.random((2, 2, 1, 2, 3)) * 10,
        snapshots_ages=rng.integers(0, 9, size=(2, 2, 1, 2)),
        snapshots_years=rng.integers(0, 9, size=(2, 2, 1, 1)),
        individual={"universe": np.arange(n, dtype=np.uint8) % 2, "individual": np.arange(n, dtype=np.uint32),
                    "element": np.zeros(n, np.uint16), "age": np.linspace(1, 2, n), "tag": np.zeros(n, np.uint16)},
        universes=("reference", "screening"), strata=("women", "men"),
        event_tags=("onset", "death"), duration_tags=("alive",), event_individual_tags=("onset",),
        snapshot_tags=("ill",), event_ages=event_ages, event_years=years, duration_ages=event_ages.copy(),
        duration_years=years.copy(), snapshot_ages=np.array([50.0, 60.0]), snapshot_years=np.array([2020.0]),
        metadata={"seed": 2**100 + 1, "block_size": 10, "population": 7, "common_random_numbers": True},
    )


def test_questions_sum_over_strata_and_the_other_axis():
    results = sample()
    np.testing.assert_array_equal(results.event_counts("death"), results.events[:, :, 1].sum(axis=(1, 2)))
    np.testing.assert_array_equal(results.event_counts("death", by="year"), results.events[:, :, 1].sum(axis=(1, 3)))
    np.testing.assert_array_equal(results.duration_totals("alive"), results.durations[:, :, 0].sum(axis=(1, 2)))
    with pytest.raises(KeyError, match="'birth' is not among the event tags"):
        results.event_counts("birth")
    with pytest.raises(ValueError, match="by is 'age' or 'year'"):
        results.duration_totals("alive", by="stratum")


def test_table_has_a_row_per_universe_and_group_with_totals():
    results = sample()
    lines = results.table(events=["death"], durations=["alive"]).splitlines()
    assert lines[0].split() == ["universe", "age", "group", "death", "alive", "(years)"]
    assert [line.split()[0] for line in lines[2:]] == ["reference", "50-70", "70+", "total", "screening",
                                                       "50-70", "70+", "total"]
    deaths = results.event_counts("death")
    assert lines[2].split()[-2] == f"{deaths[0, 0]:,}" and lines[5].split()[-2] == f"{deaths[0].sum():,}"
    assert lines[9].split()[-1] == f"{results.duration_totals('alive')[1].sum():,.1f}"
    with pytest.raises(ValueError, match="at least one event or duration tag"):
        results.table()
    assert results.table(events="death", durations="alive") == "\n".join(lines)  # one tag as a str


def test_table_refuses_groups_that_differ():
    results = sample()
    results.duration_ages = np.array([0.0, 40.0, 70.0, INF])
    with pytest.raises(ValueError, match="groups differ"):
        results.table(events=["death"], durations=["alive"])


def test_xarray_has_named_dimensions_and_labelled_coordinates():
    pytest.importorskip("xarray")
    results = sample()
    dataset = results.to_xarray()
    events = dataset["events"]
    assert events.dims == ("universe", "stratum", "event_tag", "event_year", "event_age")
    assert events.sel(universe="screening", stratum="men", event_tag="death", event_age="70+",
                      event_year="<2000").item() == results.events[1, 1, 1, 0, 2]
    assert dataset["event_age_lower"].values.tolist() == [0, 50, 70]
    assert dataset["event_age_upper"].values.tolist() == [50, 70, INF]
    assert dataset["snapshots_ages"].sel(snapshot_age=60.0, snapshot_tag="ill").shape == (2, 2)
    assert dataset["individual_tag"].attrs["labels"] == ["onset"]
    assert dataset["durations"].attrs["units"] == "years"
    assert dataset.attrs["seed"] == str(2**100 + 1) and dataset.attrs["block_size"] == 10
    assert type(dataset.attrs["common_random_numbers"]) is int


@pytest.mark.parametrize("entries", [0, 3])
def test_save_and_load_keep_numbers_labels_and_types(tmp_path, entries):
    results = sample(entries)
    path = tmp_path / "run.npz"
    results.save(path)
    loaded = Results.load(path)
    assert loaded.equals(results)
    assert loaded.metadata == results.metadata and loaded.strata == ("women", "men")
    assert loaded.individual["universe"].dtype == np.uint8
    with np.load(path, allow_pickle=False) as archive:  # a plain archive, no pickle inside
        assert json.loads(archive["header"].tobytes())["format"] == "tavlen.results"


def rewritten(path, header=None, **changes):
    """The archive rewritten whole and valid, with some arrays (or the header's JSON) changed."""
    with np.load(path) as archive:
        arrays = {name: archive[name] for name in archive.files}
    if header is not None:
        arrays["header"] = np.frombuffer(json.dumps(header(json.loads(arrays["header"].tobytes()))).encode(), np.uint8)
    arrays.update(changes)
    np.savez_compressed(path, **arrays)


def written_before_digests(results, path):
    """A results file as tavlen wrote them before they carried a digest."""
    header = {"format": "tavlen.results", "version": 1, **{name: list(getattr(results, name)) for name in _LABELS},
              "metadata": results.metadata}
    arrays = {name: getattr(results, name) for name in (*_AGGREGATES, *_EDGES, *_POINTS)}
    arrays.update({f"individual_{key}": column for key, column in results.individual.items()})
    np.savez_compressed(path, header=np.frombuffer(json.dumps(header).encode(), np.uint8), **arrays)


def test_a_file_written_before_digests_loads_unchecked(tmp_path):
    results = sample()
    written_before_digests(results, tmp_path / "old.npz")
    assert Results.load(tmp_path / "old.npz").equals(results)


FOREIGN = "not a results file"


@pytest.mark.parametrize("damage, reason", [
    *[(lambda path, data, end=end: path.write_bytes(data[:end(len(data))]), "cut short")
      for end in (lambda n: 0, lambda n: 1, lambda n: 40, lambda n: n // 2, lambda n: n - 22, lambda n: n - 1)],
    (lambda path, data: path.write_bytes(bytes([data[0] ^ 1]) + data[1:]), "damaged"),
    (lambda path, data: rewritten(path, events=sample().events + 1000 * (np.arange(48) == 5).reshape(2, 2, 2, 2, 3)),
     "changed after it was written"),  # 1,000 added to one cell
    (lambda path, data: rewritten(path, header=lambda h: {**h, "universes": h["universes"][::-1]}),
     "changed after it was written"),
    (lambda path, data: rewritten(path, extra=np.zeros(3)), "changed after it was written"),
    (lambda path, data: np.savez(path, x=np.zeros(3)), FOREIGN),
    (lambda path, data: path.write_text("hello"), FOREIGN),
    (lambda path, data: path.write_bytes(pickle.dumps(sample())), FOREIGN),  # and never unpickled
    (lambda path, data: np.save(path.with_suffix(""), np.zeros(3)) or path.with_suffix(".npy").rename(path), FOREIGN),
    (lambda path, data: rewritten(path, header=lambda h: {"format": "other"}), FOREIGN),
    (lambda path, data: rewritten(path, header=lambda h: {"format": "tavlen.results", "version": 99}),
     "a results file of version 99"),
])
def test_a_damaged_edited_or_foreign_file_is_refused_saying_which(tmp_path, damage, reason):
    path = tmp_path / "run.npz"
    sample().save(path)
    damage(path, path.read_bytes())
    with pytest.raises(ResultsFileError) as refused:
        Results.load(path)
    assert refused.value.reason == reason and str(refused.value).startswith(repr(str(path)))
    assert "pickle" not in str(refused.value) and isinstance(refused.value, ValueError)


def test_bit_flips_anywhere_are_refused_or_change_nothing(tmp_path):
    results = sample()
    path = tmp_path / "run.npz"
    results.save(path)
    data = path.read_bytes()
    refused, offsets = 0, sorted({*range(0, len(data), 11), *range(len(data) - 22, len(data))})
    for offset in offsets:
        path.write_bytes(data[:offset] + bytes([data[offset] ^ (1 << offset % 8)]) + data[offset + 1 :])
        try:
            loaded = Results.load(path)
        except ResultsFileError as error:
            assert error.reason in ("cut short", "damaged", "changed after it was written", FOREIGN), error
            refused += 1
        else:  # a flipped bit that the reader does not use: a time stamp, say
            assert loaded.equals(results) and loaded.metadata == results.metadata, offset
    assert refused > len(offsets) / 2  # the others hit bytes such as time stamps
    with pytest.raises(FileNotFoundError):
        Results.load(tmp_path / "missing.npz")


def test_arrays_must_fit_their_labels():
    results = sample()
    with pytest.raises(ValueError, match="events has shape"):
        Results(**{**vars(results), "universes": ("one",)})
    with pytest.raises(ValueError, match="five columns of one length"):
        Results(**{**vars(results), "individual": {**results.individual, "age": np.zeros(1)}})
    assert "7 people in 2 universes" in repr(results)


def written(path, header=None, **changes):
    """The archive rewritten by tavlen's own writer, with a valid digest, and some arrays or the header changed."""
    with np.load(path) as archive:
        arrays = {name: archive[name] for name in archive.files}
    head = json.loads(arrays.pop("header").tobytes())
    head.pop("digest")
    arrays.update(changes)
    with open(path, "w+b") as file:
        write_archive(file, header(head) if header else head, arrays, compress=True)


def without(key):
    return lambda header: {name: value for name, value in header.items() if name != key}


def subsamples(people):
    return {"subsample_people": np.array(people, np.int64),
            **{f"subsample_sums_{name}": np.stack([getattr(sample(), name)] * len(people)) for name in _AGGREGATES}}


@pytest.mark.parametrize("make, reason, says", [
    (lambda path: os.mkfifo(path), FOREIGN, "it is a FIFO, not a regular file"),  # would hang a read
    (lambda path: path.symlink_to("/dev/zero"), FOREIGN, "it is a character device"),  # would read forever
    (lambda path: written(path, individual_age=np.zeros(1 << 23)), "damaged",  # 64 MiB of zeros in 70 KiB
     "declare 67,10"),
    (lambda path: written(path, header=without("event_individual_tags")), FOREIGN, "no list of event_individual_tags"),
    (lambda path: written(path, individual_tag=np.array([0, 3, 0], np.uint16)), "inconsistent", "tag codes beyond"),
    (lambda path: written(path, individual_universe=np.array([0, 2, 0], np.uint8)), "inconsistent",
     "universe codes beyond"),
    (lambda path: written(path, events=-sample().events), "inconsistent", "events has negative counts"),
    (lambda path: written(path, events=sample().events + 0.5), "inconsistent", "events has fractional counts"),
    (lambda path: written(path, durations=sample().durations * np.nan), "inconsistent", "durations has values that are not"),
    (lambda path: written(path, event_ages=sample().event_ages[::-1].copy()), "inconsistent", "event_ages are not ascending"),
    (lambda path: written(path, **subsamples([0, 0])), "inconsistent", "sub-samples count 0 people"),
    (lambda path: written(path, **{**subsamples([3, 4]), "subsample_people": np.array([3.5, 3.5])}), "inconsistent",
     "not whole numbers"),
])
def test_special_and_inconsistent_files_are_refused_at_once(tmp_path, make, reason, says):
    import time
    import tracemalloc

    path = tmp_path / "run.npz"
    if not says.startswith("it is"):  # not a special file
        sample().save(path)
    make(path)
    tracemalloc.start()
    started = time.monotonic()
    try:
        with pytest.raises(ResultsFileError) as refused:
            Results.load(path)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert time.monotonic() - started < 5 and peak < 16 << 20
    assert refused.value.reason == reason and says in str(refused.value), str(refused.value)
    assert str(refused.value).startswith(repr(str(path)))


def test_a_save_never_replaces_what_is_not_a_regular_file(tmp_path):
    link = tmp_path / "null.npz"
    link.symlink_to("/dev/null")
    with pytest.raises(OSError, match="not a regular file but a character device") as refused:
        sample().save(link)
    assert refused.value.filename == str(link) and os.path.exists("/dev/null") and not os.path.isfile("/dev/null")
    assert sorted(entry.name for entry in tmp_path.iterdir()) == ["null.npz"]

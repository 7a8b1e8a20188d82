"""Results that travel: the tidy DataFrame, the individual-level log in
Parquet and netCDF files, each read back with its labels; a missing extra is
named."""

import json
import subprocess
import sys

import numpy as np
import pytest

from tavlen import demo
from tavlen.export import read_netcdf


@pytest.fixture(scope="module")
def results():
    return demo.run(400, seed=4, block_size=100)  # 4 blocks in 4 sub-samples


def test_dataframe_has_a_labelled_row_per_cell(results):
    pytest.importorskip("pandas")
    frame = results.to_dataframe()
    assert len(frame) == sum(getattr(results, name).size for name in ("events", "durations", "snapshots_ages", "snapshots_years"))
    assert list(frame.columns) == ["variable", "universe", "stratum", "tag", "year", "year_lower", "year_upper", "age",
                                   "age_lower", "age_upper", "value", "standard_error"]
    u, tag, year, age = 1, results.event_tags.index("screen"), 2, 2  # screens in 2010-2030 at ages 50-60
    row = frame[(frame["variable"] == "events") & (frame["universe"] == "screening") & (frame["tag"] == "screen")
                & (frame["year"] == "2010-2030") & (frame["age"] == "50-60")]
    assert len(row) == 1
    assert row["value"].item() == results.events[u, 0, tag, year, age] > 0
    assert row["standard_error"].item() == results.standard_error("events")[u, 0, tag, year, age]
    assert (row["year_lower"].item(), row["year_upper"].item(), row["age_lower"].item()) == (2010, 2030, 50)
    snapshots = frame[frame["variable"] == "snapshots_ages"]
    assert snapshots["year"].isna().all() and set(snapshots["age"]) == {"50", "60", "70", "80"}
    assert (snapshots["age_lower"] == snapshots["age_upper"]).all()
    # Sums over the tidy rows are the arrays' sums.
    alive = frame[(frame["variable"] == "durations") & (frame["tag"] == "alive")].groupby("universe", observed=True)["value"].sum()
    np.testing.assert_allclose(alive.to_numpy(), results.duration_totals("alive").sum(axis=1))
    assert list(frame["universe"].cat.categories) == list(results.universes) and frame.attrs["population"] == 400
    assert "standard_error" not in results.to_dataframe(errors=False)


def test_labels_tell_apart_daily_snapshots_and_nearly_equal_ages():
    pytest.importorskip("pandas")
    daily = 2025 + np.arange(6) / 365
    ages = (10.0, 10.0000001, 50.0)
    options = {**demo.RUN_OPTIONS, "snapshot_years": daily, "snapshot_ages": ages, "event_ages": (0, 10, 10.0000001)}
    close = demo.model().run(demo.population(200, 4), seed=4, block_size=100, **options)
    frame = close.to_dataframe()
    for variable, column, values in (("snapshots_years", "year", daily), ("snapshots_ages", "age", ages)):
        rows = frame[frame["variable"] == variable]
        by_label = rows.groupby(column, observed=True)
        assert len(by_label) == len(values)  # one label a value
        assert (by_label[f"{column}_lower"].nunique() == 1).all()
        sums = by_label["value"].sum()
        by_value = rows.groupby(f"{column}_lower")["value"].sum()
        assert sorted(sums.to_numpy().tolist()) == sorted(by_value.to_numpy().tolist())
    # The groups' labels and the snapshots' share the age column, each label one value.
    ages_seen = frame.dropna(subset=["age"]).groupby("age", observed=True)
    assert (ages_seen["age_lower"].nunique() == 1).all() and (ages_seen["age_upper"].nunique() == 1).all()


def test_individual_level_log_in_parquet_keeps_its_labels(results, tmp_path):
    parquet = pytest.importorskip("pyarrow.parquet")
    path = tmp_path / "log.parquet"
    results.to_parquet(path)
    table = parquet.read_table(path)
    assert table.column_names == ["universe", "individual", "element", "age", "tag"]
    log = results.individual
    assert len(log["age"]) > 0 and table.num_rows == len(log["age"])
    frame = table.to_pandas()
    np.testing.assert_array_equal(frame["universe"].astype(str), np.array(results.universes)[log["universe"]])
    np.testing.assert_array_equal(frame["tag"].astype(str), np.array(results.event_individual_tags)[log["tag"]])
    for column in ("individual", "element", "age"):
        np.testing.assert_array_equal(frame[column].to_numpy(), log[column])
        assert frame[column].dtype == log[column].dtype
    about = json.loads(table.schema.metadata[b"tavlen"])
    assert about["universes"] == list(results.universes) and about["metadata"]["seed"] == 4


def test_netcdf_file_reads_back_identical(results, tmp_path):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("netCDF4")
    path = tmp_path / "results.nc"
    results.to_netcdf(path)
    back = read_netcdf(path)
    xr.testing.assert_identical(back, results.to_xarray())
    assert list(back["individual_tag"].attrs["labels"]) == list(results.event_individual_tags)
    assert back["events_standard_error"].dims == ("universe", "stratum", "event_tag", "event_year", "event_age")
    path.unlink()  # read_netcdf let go of the file


@pytest.mark.parametrize("missing, export, extra", [
    ("pandas", lambda results, path: results.to_dataframe(), "tavlen[pandas]"),
    ("pyarrow", lambda results, path: results.to_parquet(path), "tavlen[parquet]"),
    ("netCDF4", lambda results, path: results.to_netcdf(path), "tavlen[netcdf]"),
])
def test_a_missing_extra_is_named_and_no_file_is_left(results, tmp_path, monkeypatch, missing, export, extra):
    monkeypatch.setitem(sys.modules, missing, None)  # makes the import fail
    with pytest.raises(ImportError, match=rf"needs the optional package '{missing}'.*pip install '{extra.replace('[', '.')}"):
        export(results, tmp_path / "file")
    assert list(tmp_path.iterdir()) == []


def test_a_log_with_an_index_beyond_its_labels_is_refused_whole(results, tmp_path):
    pytest.importorskip("pyarrow")
    broken = results.individual["tag"].copy()
    broken[0] = len(results.event_individual_tags)
    results_broken = type(results)(**{**{f: getattr(results, f) for f in results.__dataclass_fields__},
                                      "individual": {**results.individual, "tag": broken}})
    (tmp_path / "log.parquet").write_bytes(b"before")
    with pytest.raises(Exception, match="ndex"):
        results_broken.to_parquet(tmp_path / "log.parquet")
    assert (tmp_path / "log.parquet").read_bytes() == b"before"


FULL_DISK = """
import sys
from tavlen import demo

results = demo.run(20_000, seed=4, block_size=1000)
try:
    results.to_netcdf(sys.argv[1])
except OSError as error:
    print(error)
"""


def test_netcdf_on_a_full_disk_is_a_plain_oserror_and_the_interpreter_exits_normally(tmp_path, mounted):
    pytest.importorskip("netCDF4")
    pytest.importorskip("xarray")
    folder = tmp_path / "small"
    mounted.tmpfs(folder, "128k")  # HDF5 fails part-way, where it used to abort the interpreter at its exit
    done = subprocess.run([sys.executable, "-c", FULL_DISK, str(folder / "results.nc")], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == f"[Errno 28] No space left on device: {str(folder / 'results.nc')!r}"
    assert list(folder.iterdir()) == []

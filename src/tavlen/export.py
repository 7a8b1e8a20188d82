"""Results that travel: the forms that other tools read.

- ``Results.to_dataframe()``: the four aggregates in tidy long form, one
  row per cell with labelled columns (pandas; R and spreadsheets read it
  as it stands, for instance through ``to_csv``);
- ``Results.to_parquet(path)``: the individual-level log as a Parquet file
  whose universe and tag columns carry their labels (pyarrow), so that a
  log of tens of millions of entries reaches R, DuckDB or pandas without a
  CSV;
- ``Results.to_netcdf(path)``: :meth:`Results.to_xarray` as a netCDF-4
  file, labels and Monte Carlo errors included, which :func:`read_netcdf`
  reads back.

Every file is written whole or not at all (:func:`tavlen.files.replacing`).
Each format is an optional extra whose absence is named in the error.
"""

from __future__ import annotations

import json
import os
from typing import TYPE_CHECKING, Any

import numpy as np

from .errors import optional_import
from .files import replacing

__all__ = ["Exports", "read_netcdf"]

#: The axes of each aggregate after universe and stratum, and the edges
#: ("*_ages", "*_years") or points ("snapshot_*") that label them.
_AXES = {
    "events": ("event_tags", "event_years", "event_ages"),
    "durations": ("duration_tags", "duration_years", "duration_ages"),
    "snapshots_ages": ("snapshot_tags", None, "snapshot_ages"),
    "snapshots_years": ("snapshot_tags", "snapshot_years", None),
}
#: The aggregates exported; the discounted ones, without a year axis and
#: with a rate axis, go to xarray only.
AGGREGATES = tuple(_AXES)
_LOG_METADATA_KEY = b"tavlen"
#: The edges and points whose values share a column of to_dataframe().
_SOURCES = {"year": ("event_years", "duration_years", "snapshot_years"),
            "age": ("event_ages", "duration_ages", "snapshot_ages")}


class Exports:
    """The exports of :class:`~tavlen.Results`; they read its fields."""

    universes: tuple[str, ...]
    strata: tuple[str, ...]
    individual: dict[str, np.ndarray]
    event_individual_tags: tuple[str, ...]
    metadata: dict[str, Any]
    subsamples: int | None

    if TYPE_CHECKING:  # what Results provides
        def group_labels(self, edges: str, among: Any = ()) -> list[str]: ...
        def standard_error(self, name: str) -> np.ndarray: ...
        def to_xarray(self) -> Any: ...

    def to_dataframe(self, errors: bool = True) -> Any:
        """The aggregates in tidy long form: a pandas DataFrame with one row
        per cell and the columns

        - "variable": the aggregate, "events", "durations", "snapshots_ages" or "snapshots_years";
        - "universe", "stratum", "tag": their labels;
        - "year" and "age": the year and age group ("2000-2001", "<1990",
          "80+"), or the snapshot's year or age; empty (NaN) where the
          aggregate has no such axis;
        - "year_lower", "year_upper", "age_lower", "age_upper": the group's
          edges (a snapshot's point in both);
        - "value": the count or the years;
        - "standard_error": its Monte Carlo standard error, when the results
          kept two or more sub-samples (and ``errors`` is true).

        The label columns are pandas categoricals in the results' order.
        """
        pd = optional_import("pandas", "pandas", "Results.to_dataframe()")
        with_errors = errors and (self.subsamples or 0) > 1
        labels: dict[str, list[str]] = {"variable": list(AGGREGATES), "universe": list(self.universes),
                                        "stratum": list(self.strata), "tag": [], "year": [], "age": []}
        parts = []
        for name in AGGREGATES:
            parts.append(self._cells(name, labels, with_errors))
        columns: dict[str, Any] = {}
        for key in parts[0]:
            values = np.concatenate([part[key] for part in parts])
            columns[key] = pd.Categorical.from_codes(values, categories=labels[key]) if key in labels else values
        frame = pd.DataFrame(columns)
        frame.attrs.update(self.metadata)
        return frame

    def _cells(self, name: str, labels: dict[str, list[str]], with_errors: bool) -> dict[str, np.ndarray]:
        """The columns of one aggregate's cells, label columns as codes into ``labels`` (which grow)."""
        array = getattr(self, name)
        tags, years, ages = _AXES[name]
        index = np.unravel_index(np.arange(array.size), array.shape)
        columns = {"variable": np.full(array.size, AGGREGATES.index(name)), "universe": index[0], "stratum": index[1],
                   "tag": _codes(labels["tag"], getattr(self, tags))[index[2]]}
        for axis, key, source in ((3, "year", years), (3 if years is None else 4, "age", ages)):
            if source is None:
                columns[key] = np.full(array.size, -1)
                columns[f"{key}_lower"] = columns[f"{key}_upper"] = np.full(array.size, np.nan)
                continue
            points = np.asarray(getattr(self, source), dtype=np.float64)
            # Labels of one column tell apart every value that any aggregate gives it.
            among = np.concatenate([getattr(self, other) for other in _SOURCES[key]])
            if source.startswith("snapshot"):
                names, lower, upper = point_labels(points, among), points, points
            else:
                names, lower, upper = self.group_labels(source, among), points[:-1], points[1:]
            columns[key] = _codes(labels[key], names)[index[axis]]
            columns[f"{key}_lower"], columns[f"{key}_upper"] = lower[index[axis]], upper[index[axis]]
        columns["value"] = array.reshape(-1).astype(np.float64)
        if with_errors:
            columns["standard_error"] = self.standard_error(name).reshape(-1)
        return columns

    def to_parquet(self, path: str | os.PathLike[str], compression: str | None = "zstd") -> None:
        """Writes the individual-level log to a Parquet file, one row per
        entry: "universe" and "tag" as dictionary (categorical) columns
        with their labels, "individual" (the person's index in the
        population), "element" and "age". The results' metadata, universes
        and tags are kept in the file's schema metadata under "tavlen".
        The file is written whole or not at all.

        ``compression`` is Parquet's: "zstd" (every current reader has it), "snappy",
        "gzip", "lz4" or None.
        """
        pa = optional_import("pyarrow", "parquet", "Results.to_parquet()")
        parquet = optional_import("pyarrow.parquet", "parquet", "Results.to_parquet()")
        log = self.individual
        columns = {
            # Checked: an index beyond the labels would make a file that readers refuse.
            "universe": pa.DictionaryArray.from_arrays(log["universe"], list(self.universes), safe=True),
            "individual": pa.array(log["individual"]),
            "element": pa.array(log["element"]),
            "age": pa.array(log["age"]),
            "tag": pa.DictionaryArray.from_arrays(log["tag"], list(self.event_individual_tags), safe=True),
        }
        about = {"universes": list(self.universes), "event_individual_tags": list(self.event_individual_tags),
                 "metadata": {key: value for key, value in self.metadata.items() if _plain(value)}}
        table = pa.table(columns).replace_schema_metadata({_LOG_METADATA_KEY: json.dumps(about).encode("utf-8")})
        with replacing(path) as temporary:
            # Dictionaries only where they help: the numbers are mostly distinct.
            parquet.write_table(table, temporary, compression=compression, use_dictionary=["universe", "tag"])

    def to_netcdf(self, path: str | os.PathLike[str]) -> None:
        """Writes :meth:`to_xarray` to a netCDF-4 file, whole or not at all;
        :func:`tavlen.export.read_netcdf` reads it back with its labels.

        The file is written by a process of its own: HDF5, under netCDF-4,
        fails a full disk with a bare "HDF error" and is left in a state
        that aborts the interpreter at its exit. A failed write raises an
        OSError naming ``path``, as the other exports do."""
        optional_import("netCDF4", "netcdf", "Results.to_netcdf()")
        dataset = self.to_xarray()
        with replacing(path) as temporary:
            failure = _in_a_process_of_its_own(_write_netcdf, dataset, temporary)
            if failure is not None:
                raise _write_error(os.fspath(path), failure)


def _write_netcdf(dataset: Any, path: str) -> None:
    dataset.to_netcdf(path, engine="netcdf4", format="NETCDF4")


#: A new interpreter that runs a pickled call read from stdin, with the
#: caller's sys.path, and writes what it raised to stdout.
_CALL_FROM_STDIN = ("import json, sys; sys.path[:] = json.loads(sys.stdin.buffer.readline()); "
                    "from tavlen.export import _call_from_stdin; _call_from_stdin()")


def _in_a_process_of_its_own(function: Any, *arguments: Any) -> str | None:
    """Runs ``function(*arguments)`` in a new interpreter (which imports
    nothing of the caller's script, guarded or not); what it raised, as
    text, or None. The interpreter ends without its exit, which a library
    left in a broken state may abort."""
    import pickle
    import subprocess
    import sys

    given = json.dumps(sys.path).encode("utf-8") + b"\n" + pickle.dumps((function, arguments), protocol=5)
    done = subprocess.run([sys.executable, "-c", _CALL_FROM_STDIN], input=given, capture_output=True)
    if done.returncode == 0:
        return None
    said = done.stdout.decode("utf-8", "replace").strip()
    return said or f"the writing process ended with status {done.returncode}"


def _call_from_stdin() -> None:
    import pickle
    import sys

    function, arguments = pickle.loads(sys.stdin.buffer.read())
    try:
        function(*arguments)
    except BaseException as error:
        sys.stdout.write(f"{type(error).__name__}: {error}" if str(error) else type(error).__name__)
        sys.stdout.flush()
        os._exit(1)
    os._exit(0)


def _write_error(path: str, failure: str) -> OSError:
    """The OSError of a failed write, told from the state of the folder: a
    library that only says "HDF error" does not say that the disk is full."""
    import errno

    from .files import check_writable

    try:
        check_writable(os.path.dirname(os.path.abspath(path)), room=1 << 16)
    except OSError as error:
        return OSError(error.errno, os.strerror(error.errno) if error.errno else error.strerror, path)
    return OSError(errno.EIO, f"the file could not be written ({failure})", path)


def read_netcdf(path: str | os.PathLike[str]) -> Any:
    """The ``xarray.Dataset`` that :meth:`Results.to_netcdf` wrote, read
    whole into memory (the file is closed again)."""
    xr = optional_import("xarray", "xarray", "read_netcdf()")
    optional_import("netCDF4", "netcdf", "read_netcdf()")
    with xr.open_dataset(path, engine="netcdf4") as dataset:
        return dataset.load()


def label_digits(values: Any) -> int:
    """The significant digits that tell every one of ``values`` from the
    others: six, or as many more as it takes."""
    distinct = np.unique(np.asarray(values, dtype=np.float64)).tolist()
    for digits in (6, 10, 17):
        if len({f"{value:.{digits}g}" for value in distinct}) == len(distinct):
            return digits
    return 17


def point_labels(points: Any, among: Any = ()) -> list[str]:
    """A label per point (a snapshot's age or year), as exact as it takes to
    tell it from the other points and from the values ``among``."""
    values = np.asarray(points, dtype=np.float64).tolist()
    digits = label_digits([*values, *np.asarray(among, dtype=np.float64).ravel().tolist()])
    return [f"{value:.{digits}g}" for value in values]


def _codes(categories: list[str], names: list[str]) -> np.ndarray:
    """The code of each name among ``categories``, which gains those it lacks."""
    for name in names:
        if name not in categories:
            categories.append(name)
    return np.array([categories.index(name) for name in names], dtype=np.int64)


def _plain(value: Any) -> bool:
    return isinstance(value, (str, int, float, bool)) or value is None

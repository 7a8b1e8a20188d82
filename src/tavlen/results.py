"""The results of a run: labelled arrays, tables, xarray, and files.

Every axis of every array carries its labels: the universes, the strata, the
tags, and the bin edges of the age and year groups. A file keeps them: it is
one ``.npz`` archive holding the arrays and a JSON header with the labels
and a digest of the content (no pickle, so a file can be read safely
whatever its origin, and a file changed since it was written is refused).
"""

from __future__ import annotations

import dataclasses
import math
import os
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from . import montecarlo
from .errors import ModelError, optional_import
from .export import Exports, label_digits
from .files import ArchiveError, Declared, read_archive, write_archive, write_atomically

__all__ = ["Results", "ResultsFileError", "grid_edges", "bin_labels", "AGE_FLOOR"]

FILE_FORMAT = "tavlen.results"
FILE_VERSION = 1

_AGGREGATES = montecarlo.AGGREGATES
_DISCOUNTED = ("discounted_events", "discounted_durations")
#: The aggregates that every results file holds.
_RECORDED = tuple(name for name in _AGGREGATES if name not in _DISCOUNTED)
_EDGES = ("event_ages", "event_years", "duration_ages", "duration_years")
_POINTS = ("snapshot_ages", "snapshot_years")
_LABELS = ("universes", "strata", "event_tags", "duration_tags", "event_individual_tags", "snapshot_tags")
_LOG_COLUMNS = {"universe": np.uint8, "individual": np.uint32, "element": np.uint16, "age": np.float64, "tag": np.uint16}


def grid_edges(values: npt.ArrayLike, name: str) -> tuple[np.ndarray, np.ndarray]:
    """Bin edges as a run takes them, and the grid of upper edges the logs use.

    ``values`` are ascending edges; a bin runs from one edge to the next, the
    last bin has no upper end (a trailing +inf may be given or left out) and
    the first bin also takes what lies below the first edge. Returns the
    n + 1 edges of the n bins (the last one +inf) and the n upper edges.
    """
    edges = np.array(values, dtype=np.float64, ndmin=1)
    if edges.ndim != 1 or edges.size == 0:
        raise ModelError(f"{name} must be a non-empty sequence of ascending bin edges")
    if len(edges) > 1 and edges[-1] == math.inf:
        edges = edges[:-1]
    if np.isnan(edges).any() or (np.diff(edges) <= 0).any() or edges[-1] == math.inf or (edges[1:] == -math.inf).any():
        raise ModelError(f"{name} must be strictly ascending bin edges, got {edges.tolist()}")
    edges = np.append(edges, math.inf)
    return edges, edges[1:].copy()


AGE_FLOOR = 0.0
"""The least age: every life starts at 0, so age groups from 0 have nothing below them."""


def bin_labels(edges: npt.ArrayLike, floor: float = -math.inf, among: npt.ArrayLike = ()) -> list[str]:
    """'40-50' for each group, '80+' for the open last one.

    The first group also takes whatever lies below its first edge, so it is
    labelled by its upper edge alone ('<50'; 'all' when it is the only
    group), unless its first edge is at or below ``floor``, the least value
    that can occur: age groups from 0 keep '0-50' with ``floor=AGE_FLOOR``.
    The label depends on the edges only, never on what was counted.

    Edges show six significant digits, or as many more as keep every edge
    apart, and apart from the values ``among`` (a group "2000-2000", or two
    groups of one label, would say nothing).
    """
    values = np.asarray(edges, dtype=np.float64).tolist()
    digits = label_digits([*values, *np.asarray(among, dtype=np.float64).ravel().tolist()])
    texts = [f"{value:.{digits}g}" for value in values]
    if values and values[0] > floor:
        values[0] = -math.inf  # the first group has no lower end
    labels = []
    for (lower, upper), (low, high) in zip(zip(values[:-1], values[1:]), zip(texts[:-1], texts[1:])):
        if upper == math.inf:
            labels.append("all" if lower == -math.inf else f"{low}+")
        elif lower == -math.inf:
            labels.append(f"<{high}")
        else:
            labels.append(f"{low}-{high}")
    return labels



class ResultsFileError(ArchiveError):
    """A file that :meth:`Results.load` refuses: cut short, damaged, changed
    after it was written, or not a results file (``reason`` says which)."""


@dataclasses.dataclass(eq=False)
class Results(montecarlo.SubsampleErrors, Exports):
    """What a run accumulated, summed over all people.

    ``events`` (counts) and ``durations`` (years) have the axes universe,
    stratum, tag, year group, age group; ``snapshots_ages`` and
    ``snapshots_years`` the axes universe, stratum, snapshot tag, snapshot
    age (year). ``individual`` is the individual-level log: five columns
    "universe", "individual" (the person's index in the population),
    "element", "age" and "tag" (an index into ``event_individual_tags``).
    The ``*_ages`` and ``*_years`` edges have one value more than their
    axis has groups. ``discounted_events`` and ``discounted_durations``
    hold what the run recorded discounted at each of ``discount_rates``
    from ``base_year`` (see :meth:`Model.run`). ``to_dataframe``, ``to_parquet`` and ``to_netcdf``
    hand the results to other tools (:mod:`tavlen.export`).
    """

    events: np.ndarray
    durations: np.ndarray
    snapshots_ages: np.ndarray
    snapshots_years: np.ndarray
    individual: dict[str, np.ndarray]
    universes: tuple[str, ...]
    strata: tuple[str, ...]
    event_tags: tuple[str, ...]
    duration_tags: tuple[str, ...]
    event_individual_tags: tuple[str, ...]
    snapshot_tags: tuple[str, ...]
    event_ages: np.ndarray
    event_years: np.ndarray
    duration_ages: np.ndarray
    duration_years: np.ndarray
    snapshot_ages: np.ndarray
    snapshot_years: np.ndarray
    metadata: dict[str, Any] = dataclasses.field(default_factory=dict)
    #: Each aggregate's sums by sub-sample (the sub-sample first), when the
    #: run kept two or more; :meth:`standard_error` reads them.
    subsample_sums: dict[str, np.ndarray] = dataclasses.field(default_factory=dict)
    #: The number of people of each sub-sample; None for results that keep
    #: no sub-samples (a file written before tavlen kept them).
    subsample_people: np.ndarray | None = None
    #: Events and durations (years) discounted at their exact calendar time
    #: from ``base_year`` on, at each of ``discount_rates``: the axes rate,
    #: universe, stratum, tag, age group (no year groups). Empty when the
    #: run recorded no discounting (``Model.run(discount_rates=...)``).
    discounted_events: np.ndarray | None = None
    discounted_durations: np.ndarray | None = None
    discount_rates: np.ndarray | None = None
    base_year: float | None = None

    def __post_init__(self) -> None:
        self.discount_rates = np.zeros(0) if self.discount_rates is None else np.asarray(self.discount_rates, np.float64)
        head = (len(self.discount_rates), len(self.universes), len(self.strata))
        if self.discounted_events is None:
            self.discounted_events = np.zeros((*head, len(self.event_tags), len(self.event_ages) - 1))
        if self.discounted_durations is None:
            self.discounted_durations = np.zeros((*head, len(self.duration_tags), len(self.duration_ages) - 1))
        if self.subsample_people is not None and len(self.subsample_people) > 1:
            # Results from before runs recorded discounting have no discounted
            # sums: they are as empty as the discounted arrays.
            for name in _DISCOUNTED:
                if not getattr(self, name).size and name not in self.subsample_sums:
                    self.subsample_sums[name] = np.zeros((len(self.subsample_people), *getattr(self, name).shape))
        self._check()

    def _check(self) -> None:
        """The arrays' shapes agree with the labels (a file may not)."""
        expected = _shapes({key: len(getattr(self, key)) for key in _LABELS},
                           {key: len(getattr(self, key)) for key in (*_EDGES, *_POINTS)}, len(self.discount_rates))
        for name, shape in expected.items():
            if getattr(self, name).shape != shape:
                raise ValueError(f"results: {name} has shape {getattr(self, name).shape}, its labels give {shape}")
        self._check_subsamples(expected)
        lengths = {len(self.individual.get(key, ())) for key in _LOG_COLUMNS}
        if set(self.individual) != set(_LOG_COLUMNS) or len(lengths) != 1:
            raise ValueError("results: the individual-level log needs five columns of one length")

    # -- questions -----------------------------------------------------------

    def _tag_index(self, tags: Sequence[str], tag: str, what: str) -> int:
        try:
            return tags.index(tag)
        except ValueError:
            raise KeyError(f"{tag!r} is not among the {what}: {list(tags)}") from None

    def group_labels(self, edges: str, among: npt.ArrayLike = ()) -> list[str]:
        """The labels of the groups of ``edges``: "event_ages", "event_years", "duration_ages" or "duration_years"
        (told apart from the values ``among`` too)."""
        return bin_labels(getattr(self, edges), floor=AGE_FLOOR if edges.endswith("ages") else -math.inf, among=among)

    def event_counts(self, tag: str, by: str = "age") -> np.ndarray:
        """Counts of one event tag by universe and age group (``by="age"``)
        or year group (``by="year"``), summed over strata."""
        return self.events[:, :, self._tag_index(self.event_tags, tag, "event tags")].sum(axis=_summed_axes(by))

    def duration_totals(self, tag: str, by: str = "age") -> np.ndarray:
        """Years spent in one duration tag by universe and age or year group, summed over strata."""
        return self.durations[:, :, self._tag_index(self.duration_tags, tag, "duration tags")].sum(axis=_summed_axes(by))

    def table(
        self, events: str | Sequence[str] = (), durations: str | Sequence[str] = (), by: str = "age",
        intervals: bool = False,
    ) -> str:
        """A text table of event counts and durations (in years) by universe
        and age group (or year group), with a total for each universe::

            print(results.table(events=["onset", "death"], durations=["alive"]))

        A single tag may be given as a str. ``intervals`` adds beside each
        figure its 95% Monte Carlo interval (Student's t with K - 1 degrees
        of freedom, from the run's K sub-samples).
        """
        events = (events,) if isinstance(events, str) else tuple(events)
        durations = (durations,) if isinstance(durations, str) else tuple(durations)
        _summed_axes(by)
        axis = "ages" if by == "age" else "years"
        edges = [getattr(self, f"{kind}_{axis}") for kind, tags in (("event", events), ("duration", durations)) if tags]
        if not edges:
            raise ValueError("table() needs at least one event or duration tag")
        if len(edges) == 2 and not np.array_equal(edges[0], edges[1]):
            raise ValueError(f"the event and the duration {axis} groups differ; make one table for each")
        columns = [(tag, self.event_counts(tag, by), "{:,.0f}") for tag in events]
        columns += [(f"{tag} (years)", self.duration_totals(tag, by), "{:,.1f}") for tag in durations]
        if intervals:
            columns = [column for pair in self._interval_columns(events, durations, by, columns) for column in pair]
        groups = [*bin_labels(edges[0], floor=AGE_FLOOR if by == "age" else -math.inf), "total"]
        rows = []
        for u, universe in enumerate(self.universes):
            for g, group in enumerate(groups):
                cells = [
                    fmt(values[u, g]) if callable(fmt) else fmt.format(values[u].sum() if group == "total" else values[u, g])
                    for _, values, fmt in columns
                ]
                rows.append([universe if g == 0 else "", group, *cells])
        return format_table(["universe", f"{by} group", *(name for name, _, _ in columns)], rows, labels=2)

    def _interval_columns(self, events: Sequence[str], durations: Sequence[str], by: str, columns: list[Any]) -> Any:
        """Each column of the table, followed by one of its 95% intervals (the total's included)."""
        axes = tuple(axis + 1 for axis in _summed_axes(by))
        parts = [self._sums("events")[:, :, :, self._tag_index(self.event_tags, tag, "event tags")] for tag in events]
        parts += [self._sums("durations")[:, :, :, self._tag_index(self.duration_tags, tag, "duration tags")] for tag in durations]
        for (name, values, fmt), part in zip(columns, parts):
            sums = part.sum(axis=axes)  # sub-sample, universe, group
            sums = np.concatenate([sums, sums.sum(axis=2, keepdims=True)], axis=2)
            totals = np.concatenate([values, values.sum(axis=1, keepdims=True)], axis=1)
            half = montecarlo.interval_half_width(montecarlo.standard_error(sums, self.subsample_people), self.subsamples)
            bounds = np.stack([totals - half, totals + half], axis=-1)
            yield (name, values, fmt), ("95% interval", bounds, lambda pair, fmt=fmt: " to ".join(map(fmt.format, pair)))

    # -- conversion ----------------------------------------------------------

    def to_xarray(self) -> Any:
        """An ``xarray.Dataset`` with named dimensions and labelled coordinates.

        The age and year dimensions are labelled by their groups ("40-50",
        "<2000" for a first year group, which also takes the years before
        its first edge); the coordinates ``<dim>_lower`` and ``<dim>_upper``
        hold the edges. The discounted aggregates have the dimension
        "discount_rate" in place of the year. With sub-samples, each aggregate ``<name>`` comes
        with ``<name>_subsample_sums`` (on a "subsample" dimension, whose
        coordinate ``subsample_people`` counts their people) and
        ``<name>_standard_error``.
        """
        xr = optional_import("xarray", "xarray", "Results.to_xarray()")
        head = {"universe": list(self.universes), "stratum": list(self.strata)}
        coords: dict[str, Any] = {**head}

        def groups(dim: str, edges: np.ndarray) -> None:
            coords[dim] = bin_labels(edges, floor=AGE_FLOOR if dim.endswith("age") else -math.inf)
            coords[f"{dim}_lower"] = (dim, edges[:-1])
            coords[f"{dim}_upper"] = (dim, edges[1:])

        for dim in _EDGES:
            groups(dim.replace("ages", "age").replace("years", "year"), getattr(self, dim))
        coords.update(
            event_tag=list(self.event_tags),
            duration_tag=list(self.duration_tags),
            snapshot_tag=list(self.snapshot_tags),
            snapshot_age=self.snapshot_ages,
            snapshot_year=self.snapshot_years,
        )
        data = {
            "events": (("universe", "stratum", "event_tag", "event_year", "event_age"), self.events),
            "durations": (("universe", "stratum", "duration_tag", "duration_year", "duration_age"), self.durations),
            "snapshots_ages": (("universe", "stratum", "snapshot_tag", "snapshot_age"), self.snapshots_ages),
            "snapshots_years": (("universe", "stratum", "snapshot_tag", "snapshot_year"), self.snapshots_years),
            "discounted_events": (("discount_rate", "universe", "stratum", "event_tag", "event_age"),
                                  self.discounted_events),
            "discounted_durations": (("discount_rate", "universe", "stratum", "duration_tag", "duration_age"),
                                     self.discounted_durations),
        }
        coords["discount_rate"] = self.discount_rates
        data.update({f"individual_{key}": (("entry",), column) for key, column in self.individual.items()})
        if self.subsample_sums:
            coords["subsample_people"] = ("subsample", self.subsample_people)
            for name in _AGGREGATES:
                data[f"{name}_subsample_sums"] = (("subsample", *data[name][0]), self.subsample_sums[name])
                data[f"{name}_standard_error"] = (data[name][0], self.standard_error(name))
        dataset = xr.Dataset(data, coords=coords)
        dataset["durations"].attrs["units"] = "years"
        dataset["discounted_durations"].attrs["units"] = "years"
        if self.base_year is not None:
            dataset.attrs["base_year"] = self.base_year
        dataset["individual_age"].attrs["units"] = "years"
        dataset["individual_tag"].attrs["labels"] = list(self.event_individual_tags)
        dataset["individual_universe"].attrs["labels"] = list(self.universes)
        for key, value in self.metadata.items():
            if isinstance(value, bool):
                dataset.attrs[key] = int(value)  # file formats have no boolean attributes
            elif isinstance(value, (str, float)) or (isinstance(value, int) and -(2**63) <= value < 2**63):
                dataset.attrs[key] = value
            elif isinstance(value, int):
                dataset.attrs[key] = str(value)  # file formats store 64-bit integers at most

        return dataset

    # -- files ---------------------------------------------------------------

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the results to one ``.npz`` file (compressed), labels included.

        The file is written under a temporary name in its folder and renamed
        over ``path``, so a save that fails (a full disk, say) leaves any
        previous file as it was; it carries a digest of its content, which
        :meth:`load` checks.
        """
        header = {
            "format": FILE_FORMAT,
            "version": FILE_VERSION,
            **{name: list(getattr(self, name)) for name in _LABELS},
            "metadata": self.metadata,
            "base_year": self.base_year,
        }
        arrays = {name: getattr(self, name) for name in (*_AGGREGATES, *_EDGES, *_POINTS, "discount_rates")}
        arrays.update({f"individual_{key}": column for key, column in self.individual.items()})
        arrays.update(self._subsample_members())
        write_atomically(path, lambda file: write_archive(file, header, arrays, compress=True))

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Results:
        """Reads results written by :meth:`save`.

        A file that is cut short, damaged, changed after it was written (its
        content no longer matches its digest) or not a results file raises
        :class:`ResultsFileError`, a ValueError, which names the file and
        says which; a file that cannot be opened raises OSError. Files
        written before results files carried a digest load unchecked.
        """
        name = os.fspath(path)
        header, arrays, _ = read_archive(path, "results file", ResultsFileError,
                                         check=lambda header, declared: _check_declared(name, header, declared))
        try:
            log = {key: arrays.pop(f"individual_{key}").astype(dtype, copy=False) for key, dtype in _LOG_COLUMNS.items()}
            numbers = {key: arrays[key] for key in (*_RECORDED, *_EDGES, *_POINTS)}
            # Files written before runs recorded discounting have none.
            numbers.update({key: arrays[key] for key in (*_DISCOUNTED, "discount_rates") if key in arrays})
        except KeyError as error:
            raise ResultsFileError(name, "not a results file", f"it lacks the array {error}") from None
        except (ValueError, TypeError) as error:
            raise ResultsFileError(name, "not a results file", f"its individual-level log: {error}") from None
        labels = {key: tuple(header[key]) for key in _LABELS}
        if "subsample_people" in arrays and arrays["subsample_people"].dtype.kind not in "iu":
            raise ResultsFileError(name, "inconsistent", "its sub-samples' numbers of people are not whole numbers")
        metadata = header.get("metadata", {})
        base_year = header.get("base_year")
        if base_year is not None and not isinstance(base_year, (int, float)):
            raise ResultsFileError(name, "not a results file", f"its base year is {base_year!r}")
        try:
            results = cls(**numbers, individual=log, **labels, metadata=metadata if isinstance(metadata, dict) else {},
                          base_year=base_year, **_subsample_fields(arrays))
        except ValueError as error:
            raise ResultsFileError(name, "not a results file", str(error)) from None
        wrong = results._inconsistency()
        if wrong:
            raise ResultsFileError(name, "inconsistent", wrong)
        return results

    def _inconsistency(self) -> str | None:
        """What no run can write into its results, or None."""
        log = self.individual
        for column, labels in (("tag", self.event_individual_tags), ("universe", self.universes)):
            if len(log[column]) and int(log[column].max()) >= len(labels):
                return f"its individual-level log has {column} codes beyond its {len(labels)} labels"
        for edges in _EDGES:
            values = getattr(self, edges)
            if values.ndim != 1 or len(values) < 2 or not (np.diff(values) > 0).all():
                return f"its {edges} are not ascending edges"
        for points in _POINTS:
            values = getattr(self, points)
            if values.ndim != 1 or np.isnan(values).any():
                return f"its {points} are not snapshot points"
        for aggregate in _AGGREGATES:
            wrong = _impossible(aggregate, getattr(self, aggregate))
            if wrong:
                return wrong
        if np.isnan(log["age"]).any():
            return "its individual-level log has ages that are not numbers"
        people = self.subsample_people
        if people is not None:
            population = self.metadata.get("population")
            if int(people.sum()) == 0 or (type(population) is int and int(people.sum()) != population):
                return f"its sub-samples count {int(people.sum())} people" + (
                    f", its population is {population}" if type(population) is int else "")
        return None

    def equals(self, other: Results) -> bool:
        """Whether both hold the same labels and exactly the same numbers."""
        return (
            all(getattr(self, name) == getattr(other, name) for name in _LABELS)
            and self.base_year == other.base_year
            and all(np.array_equal(getattr(self, name), getattr(other, name))
                    for name in (*_AGGREGATES, *_EDGES, *_POINTS, "discount_rates"))
            and all(
                np.array_equal(self.individual[key], other.individual[key])
                and self.individual[key].dtype == other.individual[key].dtype
                for key in _LOG_COLUMNS
            )
            and all(getattr(self, name).dtype == getattr(other, name).dtype for name in _AGGREGATES)
            and _same_array(self.subsample_people, other.subsample_people)
            and self.subsample_sums.keys() == other.subsample_sums.keys()
            and all(_same_array(sums, other.subsample_sums[name]) for name, sums in self.subsample_sums.items())
        )

    def _subsample_members(self) -> dict[str, np.ndarray]:
        """The file members that keep the sub-samples (files without them load with none)."""
        if self.subsample_people is None:
            return {}
        return {"subsample_people": self.subsample_people,
                **{f"subsample_sums_{name}": sums for name, sums in self.subsample_sums.items()}}

    def __repr__(self) -> str:
        people = self.metadata.get("population", "?")
        return (
            f"<Results of {people} people in {len(self.universes)} universes {list(self.universes)}: "
            f"{int(self.events.sum())} events, {float(self.durations.sum()):.1f} years of durations, "
            f"{len(self.individual['age'])} individual-level entries>"
        )


def _impossible(name: str, values: np.ndarray) -> str | None:
    """Counts are whole and not negative; durations and discounted figures numbers and not negative."""
    if values.dtype.kind in "iu":
        return f"its {name} has negative counts" if values.dtype.kind == "i" and (values < 0).any() else None
    if values.dtype.kind != "f":
        return f"its {name} holds {values.dtype}, not numbers"
    if np.isnan(values).any():
        return f"its {name} has values that are not numbers"
    if (values < 0).any():
        return f"its {name} has negative values"
    if not name.startswith(("durations", "discounted_")) and (values != np.floor(values)).any():
        return f"its {name} has fractional counts"
    return None


#: A results file's members whose size no label sets (the edges, the
#: individual-level log) hold real data that deflate shrinks this much at most.
_MOST_SHRUNK = 64
_SMALL = 1 << 20


def _check_declared(name: str, header: dict[str, Any], declared: Declared) -> None:
    """Before a results file's members are read: its header is this
    version's, with every label, and no member declares more than its
    labels imply, or, for sizes that no label sets, more than the file
    could hold."""
    if header.get("format") != FILE_FORMAT:
        raise ResultsFileError(name, "not a results file", f"its header names the format {header.get('format')!r}")
    if header.get("version") != FILE_VERSION:
        raise ResultsFileError(name, f"a results file of version {header.get('version')!r}",
                               f"this tavlen reads version {FILE_VERSION}")
    for key in _LABELS:
        value = header.get(key)
        if not isinstance(value, list) or not all(isinstance(label, str) for label in value):
            raise ResultsFileError(name, "not a results file", f"it has no list of {key} in its header")
    lengths = {key: len(header[key]) for key in _LABELS}
    edges = {key: (shape[0] if len(shape) == 1 else -1)
             for key, (_, shape, _) in declared.items() if key in (*_EDGES, *_POINTS)}
    rates = declared.get("discount_rates")
    implied = set(_shapes(lengths, edges, rates[1][0] if rates is not None and len(rates[1]) == 1 else 0).values())
    people = declared.get("subsample_people")
    k = people[1][0] if people is not None and len(people[1]) == 1 else None

    def sized_by_labels(shape: tuple[int, ...]) -> bool:  # an aggregate, or its sums by sub-sample
        return shape in implied or (len(shape) > 1 and shape[0] == k and shape[1:] in implied)

    unsized = [(dtype.itemsize * math.prod(shape), stored) for dtype, shape, stored in declared.values()
               if not sized_by_labels(shape)]
    wanted, stored = sum(size for size, _ in unsized), sum(size for _, size in unsized)
    if wanted > _MOST_SHRUNK * stored + _SMALL:
        raise ResultsFileError(name, "damaged", f"its members declare {wanted:,} bytes that no label sizes, "
                               f"more than their {stored:,} bytes in the file can hold")


def _shapes(labels: dict[str, int], points: dict[str, int], rates: int) -> dict[str, tuple[int, ...]]:
    """The aggregates' shapes that labels, edges and the number of discount rates give."""
    head = (labels["universes"], labels["strata"])
    def groups(edges: str) -> int:
        return points.get(edges, 0) - 1

    return {
        "events": (*head, labels["event_tags"], groups("event_years"), groups("event_ages")),
        "durations": (*head, labels["duration_tags"], groups("duration_years"), groups("duration_ages")),
        "snapshots_ages": (*head, labels["snapshot_tags"], points.get("snapshot_ages", 0)),
        "snapshots_years": (*head, labels["snapshot_tags"], points.get("snapshot_years", 0)),
        "discounted_events": (rates, *head, labels["event_tags"], groups("event_ages")),
        "discounted_durations": (rates, *head, labels["duration_tags"], groups("duration_ages")),
    }


def _subsample_fields(arrays: dict[str, np.ndarray]) -> dict[str, Any]:
    """The sub-samples kept in a file's members, if it has them."""
    if "subsample_people" not in arrays:
        return {}
    sums = {name: arrays[f"subsample_sums_{name}"] for name in _AGGREGATES if f"subsample_sums_{name}" in arrays}
    return {"subsample_people": arrays["subsample_people"], "subsample_sums": sums}


def _same_array(a: np.ndarray | None, b: np.ndarray | None) -> bool:
    if a is None or b is None:
        return a is b
    return a.dtype == b.dtype and np.array_equal(a, b)


def _summed_axes(by: str) -> tuple[int, int]:
    """Of an (universe, stratum, year, age) array, the axes summed to keep ``by``."""
    if by == "age":
        return (1, 2)
    if by == "year":
        return (1, 3)
    raise ValueError(f"by is 'age' or 'year', not {by!r}")


def format_table(headers: Sequence[str], rows: Sequence[Sequence[str]], labels: int = 1) -> str:
    """A plain-text table: the first ``labels`` columns left-aligned, the
    others (numbers) right-aligned, a rule under the header."""
    widths = [max(len(text) for text in column) for column in zip(headers, *rows)]

    def line(cells: Sequence[str]) -> str:
        return "  ".join(
            cell.ljust(width) if c < labels else cell.rjust(width) for c, (cell, width) in enumerate(zip(cells, widths))
        ).rstrip()

    return "\n".join([line(headers), line(["-" * width for width in widths]), *(line(row) for row in rows)])

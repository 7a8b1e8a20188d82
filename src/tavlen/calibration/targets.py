"""What was observed, and the same figures of a run, with the Monte Carlo
error of each.

A target holds observed values, one per cell (an age group, a year group,
a stratum, or a product of them), each with its standard error, and knows
how to compute the same cells from a run's :class:`~tavlen.Results`.

The Monte Carlo error of a simulated cell comes from the run's
sub-samples, alike for every target: the cell's figure is computed on each
sub-sample's sums, scaled up to the whole population, and with n_k people
of N in sub-sample k, figure f_k there and f overall,

    error^2 = sum_k (n_k / N) (f_k - f)^2 / (K - 1).

For a total this is exactly the run's own error of a total; for a ratio
(a rate, a share) it is the usual linearised error of a ratio estimator.
A sub-sample in which a cell cannot be computed (no person-years in an age
group, say) is left out of that cell's error.
"""

from __future__ import annotations

import dataclasses
import itertools
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ..errors import ModelError
from ..montecarlo import AGGREGATES
from ..results import Results

__all__ = ["Count", "EventRate", "EventShare", "MeanDuration", "StateShare", "Statistic", "Target", "subsample_results"]

_AXES = ("stratum", "year", "age")


class Target:
    """Observed values with their standard errors, and how a run gives them."""

    def __init__(self, observed: npt.ArrayLike, standard_error: npt.ArrayLike, *, name: str,
                 universe: str | None = None, groups: Sequence[str] | None = None) -> None:
        self.observed = _finite(observed, f"target {name!r}: observed values")
        self.standard_error = np.broadcast_to(_finite(standard_error, f"target {name!r}: standard errors"),
                                              self.observed.shape).copy()
        if (self.standard_error <= 0).any():
            raise ModelError(f"target {name!r}: every standard error must be positive, got {self.standard_error.tolist()}")
        self.name = name
        self.universe = universe
        self.groups = None if groups is None else tuple(str(group) for group in groups)
        if self.groups is not None and len(self.groups) != len(self.observed):
            raise ModelError(f"target {name!r} observes {len(self.observed)} values in {len(self.groups)} groups")

    # What each kind of target computes: every cell of the run, and its labels.
    def cells(self, results: Results) -> np.ndarray:
        raise NotImplementedError

    def cell_labels(self, results: Results) -> list[str]:
        raise NotImplementedError

    def labels(self, results: Results) -> list[str]:
        """The labels of the observed cells."""
        return list(self.groups) if self.groups is not None else self.cell_labels(results)

    def statistic(self, results: Results) -> np.ndarray:
        """The simulated figure of every observed cell."""
        values = np.asarray(self.cells(results), dtype=np.float64).ravel()
        if self.groups is not None:
            values = values[self._positions(results)]
        if values.shape != self.observed.shape:
            raise ModelError(f"target {self.name!r} observes {len(self.observed)} values, but the run gives "
                             f"{len(values)} cells: {self.cell_labels(results)}")
        return values

    def simulate(self, results: Results, subsamples: Sequence[tuple[float, Results]]) -> tuple[np.ndarray, np.ndarray]:
        """The simulated figures and their Monte Carlo standard errors
        (``subsamples`` from :func:`subsample_results`)."""
        values = self.statistic(results)
        if len(subsamples) < 2:
            return values, np.full(values.shape, np.nan)
        with np.errstate(divide="ignore", invalid="ignore"):
            parts = np.array([self.statistic(part) for _, part in subsamples])
        weights = np.array([weight for weight, _ in subsamples])[:, None] * np.ones(parts.shape)
        usable = np.isfinite(parts)
        weights = np.where(usable, weights, 0.0)
        counted = usable.sum(axis=0)
        with np.errstate(divide="ignore", invalid="ignore"):
            weights = weights / weights.sum(axis=0)
            squares = np.where(usable, weights * (parts - values) ** 2, 0.0).sum(axis=0)
            errors = np.sqrt(squares / (counted - 1))
        return values, np.where(counted >= 2, errors, np.nan)

    def _positions(self, results: Results) -> list[int]:
        labels = self.cell_labels(results)
        missing = [group for group in self.groups or () if group not in labels]
        if missing:
            raise ModelError(f"target {self.name!r}: the run has no group {missing[0]!r}; its groups are {labels}")
        return [labels.index(group) for group in self.groups or ()]

    def _universe(self, results: Results) -> int:
        if self.universe is None:
            return 0
        if self.universe not in results.universes:
            raise KeyError(f"target {self.name!r}: {self.universe!r} is not among the universes {list(results.universes)}")
        return results.universes.index(self.universe)

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.name!r}: {len(self.observed)} observed values>"


def subsample_results(results: Results) -> list[tuple[float, Results]]:
    """Each sub-sample's share of the people and its results, its sums scaled
    up to the whole population (empty when the run kept fewer than two).
    The individual-level log is the whole run's alone: sub-samples have none."""
    if (results.subsamples or 0) < 2:
        return []
    people = np.asarray(results.subsample_people, dtype=np.float64)
    total = people.sum()
    empty_log = {key: column[:0] for key, column in results.individual.items()}
    parts = []
    for k, n in enumerate(people):
        if n <= 0:
            continue
        scaled = {name: results.subsample_sums[name][k] * (total / n) for name in AGGREGATES}
        parts.append((n / total, dataclasses.replace(results, **scaled, individual=empty_log, subsample_sums={},
                                                     subsample_people=None)))
    return parts


# ---------------------------------------------------------------------------
# Cells of the aggregates


def _by(by: str | Sequence[str]) -> tuple[str, ...]:
    axes = (by,) if isinstance(by, str) else tuple(by)
    unknown = [axis for axis in axes if axis not in _AXES]
    if unknown:
        raise ModelError(f"by names the axes {list(_AXES)} to keep, not {unknown[0]!r}")
    return tuple(axis for axis in _AXES if axis in axes)


def _tags(tags: str | Sequence[str]) -> tuple[str, ...]:
    tags = (tags,) if isinstance(tags, str) else tuple(tags)
    if not tags or not all(isinstance(tag, str) for tag in tags):
        raise TypeError(f"give a tag or a sequence of tags, got {tags!r}")
    return tags


def _summed(results: Results, target: Target, kind: str, tags: tuple[str, ...], by: tuple[str, ...]) -> np.ndarray:
    """Events or durations of ``tags`` in the target's universe, summed to the axes ``by``."""
    names = results.event_tags if kind == "event" else results.duration_tags
    positions = [results._tag_index(names, tag, f"{kind} tags") for tag in tags]
    cells = getattr(results, "events" if kind == "event" else "durations")[target._universe(results)][:, positions]
    cells = cells.sum(axis=1, dtype=np.float64)  # stratum, year, age
    return cells.sum(axis=tuple(i for i, axis in enumerate(_AXES) if axis not in by))


def _group_labels(results: Results, kind: str, by: tuple[str, ...]) -> list[str]:
    axes = {"stratum": list(results.strata), "year": results.group_labels(f"{kind}_years"),
            "age": results.group_labels(f"{kind}_ages")}
    if not by:
        return ["all"]
    return [", ".join(parts) for parts in itertools.product(*(axes[axis] for axis in by))]


def _same_groups(results: Results, by: tuple[str, ...], name: str) -> None:
    for axis in ("age", "year"):
        if axis in by and not np.array_equal(getattr(results, f"event_{axis}s"), getattr(results, f"duration_{axis}s")):
            raise ModelError(f"target {name!r} divides events by durations {axis} group by {axis} group: "
                             f"run with the same event_{axis}s and duration_{axis}s")


def _finite(values: npt.ArrayLike, what: str) -> np.ndarray:
    array = np.array(values, dtype=np.float64, ndmin=1).ravel()
    if not np.isfinite(array).all():
        raise ModelError(f"{what} must be finite numbers, got {array.tolist()}")
    return array


def _share_and_error(cases: npt.ArrayLike, people: npt.ArrayLike, what: str) -> tuple[np.ndarray, np.ndarray]:
    """A share observed as cases among people, and its binomial standard
    error; the error's share is shrunk half a case towards 1/2, so that none
    or all observed still carries an error."""
    cases, people = _finite(cases, what), _finite(people, what)
    if (people <= 0).any() or (cases < 0).any() or (cases > people).any():
        raise ModelError(f"{what}: need 0 <= cases <= people and people > 0")
    shrunk = (cases + 0.5) / (people + 1.0)
    return cases / people, np.sqrt(shrunk * (1.0 - shrunk) / people)


def _observed(observed: Any, standard_error: Any, counted: tuple[Any, Any] | None, name: str,
              from_counts: Callable[[Any, Any, str], tuple[np.ndarray, np.ndarray]]) -> tuple[Any, Any]:
    """Observed values with their errors, given directly or as counts."""
    if counted is not None and all(part is not None for part in counted):
        if observed is not None or standard_error is not None:
            raise TypeError(f"target {name!r}: give the observed values and errors, or the counts, not both")
        return from_counts(*counted, f"target {name!r}")
    if observed is None or standard_error is None:
        raise TypeError(f"target {name!r} needs the observed values and their standard errors"
                        + (", or the counts" if counted is not None else ""))
    return observed, standard_error


# ---------------------------------------------------------------------------
# The kinds of targets


class EventRate(Target):
    """Events per person-year (times ``per``: 100_000 for a rate per
    100,000) by the axes ``by`` ("age", "year", "stratum" or several):
    the events of ``event`` (a tag, or tags summed, as diagnoses of every
    stage) over the years of the duration ``duration`` ("alive").

    Observed as rates with standard errors, or as ``events`` and
    ``person_years`` (the rate is their ratio, its Poisson error
    sqrt(events) / person_years; a group of no events gets the error of one).
    """

    def __init__(self, event: str | Sequence[str], observed: npt.ArrayLike | None = None,
                 standard_error: npt.ArrayLike | None = None, *, events: npt.ArrayLike | None = None,
                 person_years: npt.ArrayLike | None = None, duration: str = "alive", by: str | Sequence[str] = "age",
                 per: float = 1.0, universe: str | None = None, groups: Sequence[str] | None = None,
                 name: str | None = None) -> None:
        self.events_of, self.duration, self.by, self.per = _tags(event), duration, _by(by), float(per)
        name = name or f"{'+'.join(self.events_of)} rate"

        def poisson(events: Any, person_years: Any, what: str) -> tuple[np.ndarray, np.ndarray]:
            events, years = _finite(events, what), _finite(person_years, what)
            if (years <= 0).any() or (events < 0).any():
                raise ModelError(f"{what}: need events >= 0 and person_years > 0")
            return self.per * events / years, self.per * np.sqrt(np.maximum(events, 1.0)) / years

        super().__init__(*_observed(observed, standard_error, (events, person_years), name, poisson),
                         name=name, universe=universe, groups=groups)

    def cells(self, results: Results) -> np.ndarray:
        _same_groups(results, self.by, self.name)
        events = _summed(results, self, "event", self.events_of, self.by)
        years = _summed(results, self, "duration", (self.duration,), self.by)
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(years > 0, self.per * events / years, np.nan)

    def cell_labels(self, results: Results) -> list[str]:
        return _group_labels(results, "event", self.by)


class EventShare(Target):
    """The share of the events of ``among`` (tags) that are events of
    ``event`` (a tag or tags), by the axes ``by`` (none: overall): the
    stage distribution at diagnosis, with a tag per stage. Observed as
    shares with standard errors, or as counts ``events`` of ``total``."""

    def __init__(self, event: str | Sequence[str], among: Sequence[str], observed: npt.ArrayLike | None = None,
                 standard_error: npt.ArrayLike | None = None, *, events: npt.ArrayLike | None = None,
                 total: npt.ArrayLike | None = None, by: str | Sequence[str] = (), universe: str | None = None,
                 groups: Sequence[str] | None = None, name: str | None = None) -> None:
        self.events_of, self.among, self.by = _tags(event), _tags(among), _by(by)
        name = name or f"share of {'+'.join(self.events_of)}"
        super().__init__(*_observed(observed, standard_error, (events, total), name, _share_and_error),
                         name=name, universe=universe, groups=groups)

    def cells(self, results: Results) -> np.ndarray:
        events = _summed(results, self, "event", self.events_of, self.by)
        total = _summed(results, self, "event", self.among, self.by)
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(total > 0, events / total, np.nan)

    def cell_labels(self, results: Results) -> list[str]:
        return _group_labels(results, "event", self.by)


class Count(Target):
    """Events of ``event`` (a tag or tags) by the axes ``by``, times
    ``scale`` (the observed population over the simulated one). The
    standard error is Poisson's, sqrt(observed) (at least 1), unless given."""

    def __init__(self, event: str | Sequence[str], observed: npt.ArrayLike,
                 standard_error: npt.ArrayLike | None = None, *, scale: float = 1.0,
                 by: str | Sequence[str] = "age", universe: str | None = None, groups: Sequence[str] | None = None,
                 name: str | None = None) -> None:
        self.events_of, self.by, self.scale = _tags(event), _by(by), float(scale)
        name = name or f"{'+'.join(self.events_of)} count"
        if standard_error is None:
            standard_error = np.sqrt(np.maximum(_finite(observed, f"target {name!r}: observed values"), 1.0))
        super().__init__(observed, standard_error, name=name, universe=universe, groups=groups)

    def cells(self, results: Results) -> np.ndarray:
        return self.scale * _summed(results, self, "event", self.events_of, self.by)

    def cell_labels(self, results: Results) -> list[str]:
        return _group_labels(results, "event", self.by)


class MeanDuration(Target):
    """Years spent in the duration ``duration`` per event of ``per`` (the
    mean sojourn: years preclinical per onset), by the axes ``by``."""

    def __init__(self, duration: str, per: str | Sequence[str], observed: npt.ArrayLike,
                 standard_error: npt.ArrayLike, *, by: str | Sequence[str] = (), universe: str | None = None,
                 groups: Sequence[str] | None = None, name: str | None = None) -> None:
        self.duration, self.per, self.by = duration, _tags(per), _by(by)
        super().__init__(observed, standard_error, name=name or f"mean {duration}", universe=universe, groups=groups)

    def cells(self, results: Results) -> np.ndarray:
        _same_groups(results, self.by, self.name)
        years = _summed(results, self, "duration", (self.duration,), self.by)
        events = _summed(results, self, "event", self.per, self.by)
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(events > 0, years / events, np.nan)

    def cell_labels(self, results: Results) -> list[str]:
        return _group_labels(results, "event", self.by)


class StateShare(Target):
    """The share of the people counted by the snapshot tag ``of`` ("alive")
    who are counted by ``state`` (a snapshot tag or tags) at the snapshot
    ages (``at="age"``) or years (``at="year"``), by stratum too with
    ``by_stratum``. Observed as shares with standard errors, or as counts
    ``cases`` of ``people``."""

    def __init__(self, state: str | Sequence[str], observed: npt.ArrayLike | None = None,
                 standard_error: npt.ArrayLike | None = None, *, cases: npt.ArrayLike | None = None,
                 people: npt.ArrayLike | None = None, of: str = "alive", at: str = "age", by_stratum: bool = False,
                 universe: str | None = None, groups: Sequence[str] | None = None, name: str | None = None) -> None:
        if at not in ("age", "year"):
            raise ModelError(f"a state's share is taken at the snapshot 'age' or 'year', not {at!r}")
        self.states, self.of, self.at, self.by_stratum = _tags(state), of, at, bool(by_stratum)
        name = name or f"share {'+'.join(self.states)}"
        super().__init__(*_observed(observed, standard_error, (cases, people), name, _share_and_error),
                         name=name, universe=universe, groups=groups)

    def _counted(self, results: Results, tags: tuple[str, ...]) -> np.ndarray:
        positions = [results._tag_index(results.snapshot_tags, tag, "snapshot tags") for tag in tags]
        counts = getattr(results, f"snapshots_{self.at}s")[self._universe(results)][:, positions].sum(axis=1, dtype=np.float64)
        return counts if self.by_stratum else counts.sum(axis=0)

    def cells(self, results: Results) -> np.ndarray:
        cases, people = self._counted(results, self.states), self._counted(results, (self.of,))
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(people > 0, cases / people, np.nan)

    def cell_labels(self, results: Results) -> list[str]:
        points = [f"{self.at} {point:g}" for point in getattr(results, f"snapshot_{self.at}s")]
        strata = list(results.strata) if self.by_stratum else [""]
        return [", ".join(filter(None, (stratum, point))) for stratum in strata for point in points]


class Statistic(Target):
    """Any figures of a run: ``function(results)`` returns numbers (an
    array of any shape, read flat), observed with ``standard_error``.
    The function reads the aggregates (events, durations, snapshots): the
    sub-samples that give the Monte Carlo error have no individual-level log."""

    def __init__(self, function: Callable[[Results], Any], observed: npt.ArrayLike, standard_error: npt.ArrayLike, *,
                 name: str | None = None, labels: Sequence[str] | None = None) -> None:
        if not callable(function):
            raise TypeError(f"a Statistic needs a function of the results, got {type(function).__name__}")
        self.function = function
        super().__init__(observed, standard_error, name=name or getattr(function, "__name__", "statistic"))
        self.fixed_labels = None if labels is None else [str(label) for label in labels]
        if self.fixed_labels is not None and len(self.fixed_labels) != len(self.observed):
            raise ModelError(f"target {self.name!r} observes {len(self.observed)} values under {len(self.fixed_labels)} labels")

    def cells(self, results: Results) -> np.ndarray:
        return np.asarray(self.function(results), dtype=np.float64)

    def cell_labels(self, results: Results) -> list[str]:
        return self.fixed_labels or [str(i) for i in range(len(self.observed))]

"""Checking a run's arguments into the configuration that its workers receive.

Everything a run is given is checked here, before any block is simulated, so
that a mistake is reported at once and in the caller's terms; what passes is
frozen into a :class:`Configuration`, the one object (besides the
population) that a worker needs to simulate a block.
"""

from __future__ import annotations

import dataclasses
import operator
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from .dealing import block_sizes, dealt_order
from .errors import ModelError
from .individual import Individual
from .results import grid_edges

__all__ = ["COMBINING_CODE", "CombinedSnapshots", "Configuration", "Setup", "combining", "nonnegative_int",
           "positive_int", "setup", "slice_population"]

# The individual-level log stores universes in 8 bits and tags in 16 bits.
_MAX_LOGGED_UNIVERSES = 256
_MAX_INDIVIDUAL_TAGS = 65536
_MAX_STRATA = 32768  # initial strata are int16


@dataclasses.dataclass(frozen=True)
class Configuration:
    """Everything a worker needs to simulate a block, apart from the
    population: it is pickled once per run and sent with every block."""

    #: The tavlen.model.Model being run.
    model: Any
    universes: tuple[str, ...]
    random_number_generators: tuple[str, ...]
    event_tags: tuple[str, ...]
    event_grid_ages: np.ndarray
    event_grid_years: np.ndarray
    duration_tags: tuple[str, ...]
    duration_grid_ages: np.ndarray
    duration_grid_years: np.ndarray
    event_individual_tags: tuple[str, ...]
    individual_block_size: int
    snapshot_tags: tuple[str, ...]
    snapshot_ages: tuple[float, ...]
    snapshot_years: tuple[float, ...]
    snapshot_functions: tuple[Callable[[Individual], Any], ...]
    n_stratum_hops: int | None
    #: The run's number of strata: every block's Individual must count as many.
    strata_n: int
    preserve_stratum: str | None
    log_events_individual: bool
    verify_tags: bool
    seed: int
    #: Whether every life starts its generators' streams from the run's seed,
    #: the person and the generator's name (else they run on through a block).
    common_random_numbers: bool
    #: The most events a life may take before the run stops it.
    events_limit: int
    #: The annual rates at which every event and duration is also recorded
    #: discounted at its exact time, from base_year on.
    discount_rates: tuple[float, ...] = ()
    base_year: float | None = None

class CombinedSnapshots:
    """Several snapshot functions as one, so that a tag reported by two of
    them is an error instead of one value silently replacing the other."""

    # Checkpoint folders fingerprint a run's snapshot functions by their
    # pickle, which names the class where it was first defined.
    __module__ = "tavlen.model"
    __qualname__ = "_CombinedSnapshots"

    def __init__(self, functions: Sequence[Callable[[Individual], Any]]) -> None:
        self.functions = tuple(functions)

    def __call__(self, individual: Individual) -> dict[Any, Any]:
        return combining(self.functions, [0.0])(individual)


def combining(functions: Sequence[Callable[[Individual], Any]], point: list[float]) -> Callable[[Individual], Any]:
    """The snapshot functions combined as one function that also keeps the
    age of its last call in point[0]: the run calls it at every snapshot of
    every life, and one frame costs less than two."""

    def take_snapshots(individual: Individual) -> dict[Any, Any]:
        point[0] = individual.age
        # The common case (no tag seen before) costs one dict lookup per tag.
        tags: dict[Any, Any] = {}
        for function in functions:
            reported = function(individual)
            if not reported:
                continue
            start = len(tags)
            if isinstance(reported, dict):
                tags.update(reported)
                if len(tags) != start + len(reported):
                    raise _shared(next(tag for tag in list(tags)[:start] if tag in reported))
                continue
            for tag in reported:
                if tag in tags:
                    if tag in list(tags)[start:]:
                        continue  # a function that repeats a tag counts it once
                    raise _shared(tag)
                tags[tag] = 1
        return tags

    return take_snapshots


#: The code of every combined snapshot function: a traceback through it
#: comes from a snapshot.
COMBINING_CODE = combining((), [0.0]).__code__


def _shared(tag: Any) -> ModelError:
    return ModelError(f"snapshot tag {tag!r} is reported by more than one snapshot function")


@dataclasses.dataclass(frozen=True)
class Setup:
    """A checked run: the configuration, the population, the strata's labels
    and the edges of the age and year groups."""

    configuration: Configuration
    population: dict[str, np.ndarray]
    strata: tuple[str, ...]
    edges: dict[str, np.ndarray]
    block_size: int

    @property
    def people_n(self) -> int:
        return len(self.population["birth_year"])

    def blocks(self) -> list[tuple[int, int, int]]:
        """(index, first, end) of each block, in order: its people are
        those from first to end of the population in the run's order."""
        spans, first = [], 0
        for index, size in enumerate(block_sizes(self.people_n, self.block_size)):
            spans.append((index, first, first + size))
            first += size
        return spans

    def result_shapes(self) -> dict[str, tuple[int, ...]]:
        c = self.configuration
        head = (len(c.universes), c.strata_n)
        return {
            "events": (*head, len(c.event_tags), len(c.event_grid_years), len(c.event_grid_ages)),
            "durations": (*head, len(c.duration_tags), len(c.duration_grid_years), len(c.duration_grid_ages)),
            "snapshots_ages": (*head, len(c.snapshot_tags), len(c.snapshot_ages)),
            "snapshots_years": (*head, len(c.snapshot_tags), len(c.snapshot_years)),
            "discounted_events": (len(c.discount_rates), *head, len(c.event_tags), len(c.event_grid_ages)),
            "discounted_durations": (len(c.discount_rates), *head, len(c.duration_tags), len(c.duration_grid_ages)),
        }


def setup(
    model: Any,
    birth_years: npt.ArrayLike,
    *,
    strata: npt.ArrayLike | None,
    properties: Mapping[str, npt.ArrayLike] | None,
    universes: Sequence[str],
    stratum_labels: Sequence[str] | None,
    event_tags: Sequence[str],
    event_ages: npt.ArrayLike,
    event_years: npt.ArrayLike,
    duration_tags: Sequence[str],
    duration_ages: npt.ArrayLike,
    duration_years: npt.ArrayLike,
    event_individual_tags: Sequence[str],
    log_events_individual: bool,
    individual_block_size: int,
    snapshot_tags: Sequence[str],
    snapshot_ages: npt.ArrayLike,
    snapshot_years: npt.ArrayLike,
    snapshot_functions: Sequence[Callable[[Individual], Any]],
    random_number_generators: Sequence[str],
    n_stratum_hops: int | None,
    preserve_stratum: str | None,
    verify_tags: bool,
    seed: int,
    common_random_numbers: bool,
    block_size: int,
    events_limit: int,
    discount_rates: float | Sequence[float] = (),
    base_year: float | None = None,
) -> Setup:
    """Checks a run's arguments (those of ``Model.run`` but where its blocks
    run) against the model and each other."""
    seed = nonnegative_int(seed, "seed")
    if not isinstance(common_random_numbers, (bool, np.bool_)):
        raise TypeError(f"common_random_numbers must be True or False, got {type(common_random_numbers).__name__}")
    block_size = positive_int(block_size, "block_size")
    population = _population(birth_years, strata, properties)
    rates, base_year = _discounting(discount_rates, base_year)
    universes = _universe_names(universes)

    processes = model.processes
    event_individual = _declared(processes, "event_individual_tags", event_individual_tags, "individual event tags")
    event_tag_list = _declared(processes, "event_tags", event_tags, "event tags")
    if log_events_individual:
        event_individual = tuple(dict.fromkeys([*event_individual, *event_tag_list]))
    if event_individual and len(universes) > _MAX_LOGGED_UNIVERSES:
        raise ModelError(
            f"the individual-level log holds at most {_MAX_LOGGED_UNIVERSES} universes, the run has {len(universes)}"
        )
    if len(event_individual) > _MAX_INDIVIDUAL_TAGS:
        raise ModelError(f"the individual-level log holds at most {_MAX_INDIVIDUAL_TAGS} tags")

    if n_stratum_hops is not None:
        n_stratum_hops = nonnegative_int(n_stratum_hops, "n_stratum_hops")
    labels = _stratum_labels(population["stratum"], n_stratum_hops, stratum_labels)
    if preserve_stratum not in (None, "dynamic", "final"):
        raise ModelError(f"preserve_stratum is None, 'dynamic' or 'final', not {preserve_stratum!r}")

    functions = [
        *(f for process in processes for f in _functions(process.snapshot_functions(), f"{process.name}.snapshot_functions() must return")),
        *_functions(snapshot_functions, "snapshot_functions must be"),
    ]
    edges: dict[str, np.ndarray] = {}
    grids: dict[str, np.ndarray] = {}
    for name, values in (("event_ages", event_ages), ("event_years", event_years),
                         ("duration_ages", duration_ages), ("duration_years", duration_years)):
        edges[name], grids[name] = grid_edges(values, name)
    configuration = Configuration(
        model=model,
        universes=universes,
        random_number_generators=_declared(
            processes, "random_number_generators", random_number_generators, "random number generator names"
        ),
        event_tags=event_tag_list,
        event_grid_ages=grids["event_ages"],
        event_grid_years=grids["event_years"],
        duration_tags=_declared(processes, "duration_tags", duration_tags, "duration tags"),
        duration_grid_ages=grids["duration_ages"],
        duration_grid_years=grids["duration_years"],
        event_individual_tags=event_individual,
        individual_block_size=positive_int(individual_block_size, "individual_block_size"),
        snapshot_tags=_declared(processes, "snapshot_tags", snapshot_tags, "snapshot tags"),
        snapshot_ages=_snapshot_points(snapshot_ages, "snapshot_ages"),
        snapshot_years=_snapshot_points(snapshot_years, "snapshot_years"),
        snapshot_functions=(CombinedSnapshots(functions),) if len(functions) > 1 else tuple(functions),
        n_stratum_hops=n_stratum_hops,
        strata_n=len(labels),
        preserve_stratum=preserve_stratum,
        log_events_individual=bool(log_events_individual),
        verify_tags=bool(verify_tags),
        seed=seed,
        common_random_numbers=bool(common_random_numbers),
        events_limit=events_limit,
        discount_rates=rates,
        base_year=base_year,
    )
    population[PERSON] = dealt_order(len(population["birth_year"]), block_size)
    return Setup(configuration, population, labels, edges, block_size)


#: The key of the population's array that lists the people in the order the
#: run simulates them (tavlen.dealing): a block's people are a stretch of it.
PERSON = "__person__"


#: The most discount rates one run records (the engine's limit).
MAX_DISCOUNT_RATES = 16


def _discounting(rates: float | Sequence[float], base_year: float | None) -> tuple[tuple[float, ...], float | None]:
    """The rates and the base year at which a run records discounted figures, checked."""
    try:
        values = np.array(rates, dtype=np.float64, ndmin=1) if not isinstance(rates, str) else None
    except (TypeError, ValueError):
        values = None
    if values is None or values.ndim != 1 or not np.isfinite(values).all() or (values < 0).any() or (values >= 1).any():
        raise ModelError(f"discount_rates are annual rates from 0 to below 1 (0.03 for 3%), got {rates!r}")
    if len(set(values.tolist())) != len(values) or len(values) > MAX_DISCOUNT_RATES:
        raise ModelError(f"discount_rates must differ, at most {MAX_DISCOUNT_RATES} of them, got {rates!r}")
    if len(values) and base_year is None:
        raise ModelError("discount_rates need the base_year from which costs and effects count (base_year=2025, say)")
    if base_year is None:
        return (), None
    if not len(values):
        raise ModelError("base_year is the year of discount_rates: give the rates to record, such as discount_rates=(0.03,)")
    if isinstance(base_year, (bool, np.bool_)) or not isinstance(base_year, (int, float, np.integer, np.floating)):
        raise TypeError(f"base_year must be a number, got {type(base_year).__name__}")
    if not np.isfinite(base_year):
        raise ModelError(f"base_year must be finite, got {base_year}")
    return tuple(values.tolist()), float(base_year)


def _declared(processes: Sequence[Any], attribute: str, extra: Iterable[str], what: str) -> tuple[str, ...]:
    """The processes' declarations and the run's, in order, each once."""
    names: dict[str, None] = {}
    sources = [*((f"{process.name}.{attribute}", getattr(process, attribute)) for process in processes),
               (attribute, extra)]
    for where, source in sources:
        if isinstance(source, str):
            # Most often a one-tag tuple written without its comma.
            raise TypeError(
                f"{where} is a sequence of str, not a single str: {source!r}; "
                f"a tuple of one needs a comma: ({source!r},)"
            )
        if isinstance(source, (set, frozenset)):
            # A set's order changes from one interpreter to the next; sorted,
            # a set gives the same tags and generators in every one.
            source = sorted(source, key=lambda name: (type(name) is not str, str(name)))
        for name in source:
            if type(name) is not str:
                raise TypeError(f"{what} are str, got {type(name).__name__} in {where}: {name!r}")
            names[name] = None
    return tuple(names)


# Checking the configuration


def nonnegative_int(value: Any, name: str) -> int:
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, got {type(value).__name__}") from None
    if number < 0:
        raise ModelError(f"{name} must not be negative, got {number}")
    return number


def positive_int(value: Any, name: str) -> int:
    number = nonnegative_int(value, name)
    if number == 0:
        raise ModelError(f"{name} must be at least 1")
    return number


def _population(
    birth_years: npt.ArrayLike, strata: npt.ArrayLike | None, properties: Mapping[str, npt.ArrayLike] | None
) -> dict[str, np.ndarray]:
    """The population's arrays, checked to be one-dimensional and of one length."""
    births = np.asarray(birth_years, dtype=np.float64)
    if births.ndim != 1:
        raise ModelError(f"birth_years must be one-dimensional, got an array of shape {births.shape}")
    if not np.isfinite(births).all():
        raise ModelError("birth_years must be finite numbers")
    people_n = len(births)
    if people_n >= 2**32:
        raise ModelError("the individual-level log numbers people in 32 bits: at most 2**32 - 1 people")
    if strata is None:
        stratum = np.zeros(people_n, dtype=np.int16)
    else:
        given = np.asarray(strata)
        if given.ndim != 1 or len(given) != people_n:
            raise ModelError(
                f"population arrays of different lengths: birth_years has {people_n} entries, strata has shape {given.shape}"
            )
        if given.size and (given.dtype.kind not in "iub" or given.min() < 0 or given.max() >= _MAX_STRATA):
            raise ModelError(f"strata must be ints from 0 to {_MAX_STRATA - 1}")
        stratum = given.astype(np.int16)
    arrays: dict[str, np.ndarray] = {"birth_year": births, "stratum": stratum}
    for name, values in (properties or {}).items():
        if type(name) is not str:
            raise TypeError(f"property names are str, got {type(name).__name__}: {name!r}")
        if name in arrays or name in ("__birth__", "__stratum__", "__person__"):
            raise ModelError(f"the property name {name!r} is reserved for the run's own arrays (birth years, strata, "
                             "the order of the people)")
        array = np.asarray(values)
        if array.ndim < 1 or len(array) != people_n:
            raise ModelError(
                f"population arrays of different lengths: birth_years has {people_n} entries, "
                f"property {name!r} has shape {array.shape}"
            )
        arrays[name] = array
    return arrays


def _functions(value: Any, where: str) -> tuple[Callable[[Individual], Any], ...]:
    """Snapshot functions, refused with the name of where they came from
    unless they are a sequence of callables (a forgotten return gives None)."""
    if callable(value) or not isinstance(value, Iterable):
        raise TypeError(f"{where} a sequence of functions, got {type(value).__name__}")
    functions = tuple(value)
    for function in functions:
        if not callable(function):
            raise TypeError(f"{where} a sequence of functions, got an item of type {type(function).__name__}")
    return functions


def _universe_names(universes: Sequence[str]) -> tuple[str, ...]:
    names = (universes,) if isinstance(universes, str) else tuple(universes)
    if not names:
        raise ModelError("a run needs at least one universe")
    if any(type(name) is not str for name in names):
        raise TypeError("universes are named by str")
    if len(set(names)) != len(names):
        raise ModelError(f"universe names must differ: {names}")
    return names


def _stratum_labels(stratum: np.ndarray, n_stratum_hops: int | None, given: Sequence[str] | None) -> tuple[str, ...]:
    strata_n = _strata_count(stratum, n_stratum_hops)
    if given is None:
        return tuple(str(label) for label in range(strata_n))
    labels = tuple(str(label) for label in given)
    if len(labels) != strata_n:
        raise ModelError(f"{len(labels)} stratum labels given for {strata_n} strata")
    return labels


def _strata_count(stratum: np.ndarray, n_stratum_hops: int | None) -> int:
    highest = int(stratum.max(initial=0))
    if n_stratum_hops:
        if highest > n_stratum_hops:
            raise ModelError(
                f"with n_stratum_hops={n_stratum_hops} the strata are 0 to {n_stratum_hops}, "
                f"but a person starts in stratum {highest}"
            )
        return n_stratum_hops + 1
    return highest + 1


def _snapshot_points(values: npt.ArrayLike, name: str) -> tuple[float, ...]:
    points = np.asarray(values, dtype=np.float64)
    if points.ndim != 1:
        raise ModelError(f"{name} must be a sequence of numbers")
    if not np.isfinite(points).all() or (np.diff(points) <= 0).any():
        raise ModelError(f"{name} must be finite and strictly ascending, got {points.tolist()}")
    return tuple(points.tolist())


def slice_population(population: Mapping[str, np.ndarray], first: int, end: int) -> dict[str, np.ndarray]:
    """The population's arrays for the people from first to end in the
    run's order, and under PERSON their indices in the population."""
    people = population[PERSON][first:end]
    block = {name: array[people] for name, array in population.items() if name != PERSON}
    block[PERSON] = people
    return block

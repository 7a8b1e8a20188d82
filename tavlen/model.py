"""The driver: processes, the model they form, and the run loop.

A model is a list of :class:`Process` objects. Each process handles the
events whose messages it registered with :func:`handles`, and declares what
it contributes to a run (tags, random number generators, snapshot
functions, per-block properties and the first events of every life).
:meth:`Model.run` splits the population into blocks of people, simulates
every block with an :class:`~tavlen.individual.Individual` of its own, in
this process or on any :class:`concurrent.futures.Executor`, and adds the
blocks' partial results in block order, so that a run gives the same numbers
bit for bit however its blocks are spread over workers.
"""

from __future__ import annotations

import concurrent.futures
import concurrent.futures.process
import contextlib
import dataclasses
import hashlib
import importlib
import math
import multiprocessing
import multiprocessing.connection
import multiprocessing.forkserver
import operator
import os
import pickle
import threading
from collections.abc import Callable, Iterable, Mapping, Sequence
from types import ModuleType
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

from . import checkpoint as _checkpoint
from .individual import Individual
from .results import _AGGREGATES, _LOG_COLUMNS, Results, grid_edges

__all__ = ["Block", "Model", "ModelError", "Process", "block_seed", "handles", "process_pool"]

Handler = TypeVar("Handler", bound=Callable[..., Any])

# Attribute under which handles() marks a method with the messages it handles.
_MESSAGES_ATTRIBUTE = "__tavlen_messages__"

# The individual-level log stores universes in 8 bits and tags in 16 bits.
_MAX_LOGGED_UNIVERSES = 256
_MAX_INDIVIDUAL_TAGS = 65536
_MAX_STRATA = 32768  # initial strata are int16

#: The most events one life may take before the run stops it as a life that
#: never ends: far more than any model needs (an event every hour of a
#: hundred years is under a million).
MAX_EVENTS_PER_LIFE = 10_000_000

#: How often in a row the pool of a run's own worker processes may be lost
#: (a worker killed, out of memory, or crashed) with no task finishing in
#: between before the run gives up: a block that kills its worker every time
#: must not start pools forever.
MAX_LOST_POOLS = 3


class ModelError(ValueError):
    """A model or run configuration that cannot be simulated."""


def optional_import(module: str, extra: str, feature: str) -> ModuleType:
    """Imports an optional dependency, or says which extra provides it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f"{feature} needs the optional package '{module}', which is not installed; "
            f"install it with: pip install 'tavlen[{extra}]'"
        ) from error


def handles(*messages: str) -> Callable[[Handler], Handler]:
    """Marks a method of a :class:`Process` as the handler of events with these messages.

    The method is called as ``method(individual, **data)``, where ``data`` is
    the keyword data given when the event was scheduled::

        class Disease(tavlen.Process):
            @tavlen.handles("onset")
            def onset(self, individual):
                individual.log_event("onset")
    """
    if not messages:
        raise TypeError("handles() needs at least one message")
    for message in messages:
        if type(message) is not str:
            raise TypeError(f"messages are str, got {type(message).__name__}: {message!r}")

    def mark(method: Handler) -> Handler:
        setattr(method, _MESSAGES_ATTRIBUTE, getattr(method, _MESSAGES_ATTRIBUTE, ()) + messages)
        return method

    return mark


class Process:
    """A part of a model: it handles the events addressed to it.

    Subclasses mark their handler methods with :func:`handles` and declare in
    class attributes the tags that they log and the random number generators
    that they draw from; the run merges the declarations of all processes.
    A process is sent to the workers of a parallel run, so it must pickle;
    keep the state of a life in ``individual.memory``, not in the process.
    """

    #: Tags of the aggregate event log (``individual.log_event``).
    event_tags: Sequence[str] = ()
    #: Tags of the duration log (``individual.log_duration`` and friends).
    duration_tags: Sequence[str] = ()
    #: Tags of the individual-level log (``individual.log_event_individual``).
    event_individual_tags: Sequence[str] = ()
    #: Tags that the process's snapshot functions report.
    snapshot_tags: Sequence[str] = ()
    #: Names of the ``random.Random`` generators in ``individual.random``.
    random_number_generators: Sequence[str] = ()

    _handled: dict[str, str] = {}
    _life: _Life | None = None

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        handled: dict[str, str] = {}
        # A subclass may take over a message from a base class, but one
        # class cannot handle a message in two methods.
        for klass in reversed(cls.__mro__):
            own: dict[str, str] = {}
            for name, member in vars(klass).items():
                for message in getattr(member, _MESSAGES_ATTRIBUTE, ()):
                    if own.get(message, name) != name:
                        raise ModelError(
                            f"{klass.__qualname__} handles the message {message!r} twice: "
                            f"in {own[message]}() and {name}()"
                        )
                    own[message] = name
            handled.update(own)
        cls._handled = handled

    @property
    def name(self) -> str:
        """The process's name in messages: its class name."""
        return type(self).__qualname__

    @property
    def messages(self) -> tuple[str, ...]:
        """The messages this process handles."""
        return tuple(self._handled)

    def handlers(self) -> dict[str, Callable[..., Any]]:
        """Message to bound handler method."""
        return {message: getattr(self, name) for message, name in self._handled.items()}

    @property
    def universe(self) -> str:
        """The name of the universe that the current life runs in."""
        return self._current_life().universe

    @property
    def universe_index(self) -> int:
        """The position of the current universe in the run's universes."""
        return self._current_life().universe_index

    def _current_life(self) -> _Life:
        if self._life is None:
            raise RuntimeError(f"{self.name}.universe is only known while a run simulates a life")
        return self._life

    def start(self, individual: Individual) -> None:
        """Called at the start of every life, in the order of the model's
        processes; schedules the process's first events."""

    def block_properties(self, block: Block) -> Mapping[str, npt.ArrayLike]:
        """Per-person arrays for one block, read during its lives with
        ``individual.properties_tmp(name)``: for instance draws made for the
        whole block at once with ``block.generator(name)``, which every
        universe of a person then shares."""
        return {}

    def snapshot_functions(self) -> Sequence[Callable[[Individual], Any]]:
        """Functions called at the run's snapshot ages and years with the
        individual; each returns a dict of snapshot tags to integer values,
        an iterable of tags (each counting 1), or nothing."""
        return ()

    def __repr__(self) -> str:
        return f"<{self.name} process>"


@dataclasses.dataclass(slots=True)
class _Life:
    """What the processes know about the life being simulated."""

    universe: str = ""
    universe_index: int = -1


def block_seed(seed: int, block: int, name: str, stream: int = 0) -> int:
    """The seed of one named generator for one block of a run.

    It depends only on the run's seed, the block's index and the
    generator's name, so a run gives the same draws whatever the number of
    workers. The name enters through a stable 128-bit hash (Python's own
    ``hash`` of a str changes from process to process), wide enough that
    two names never share their streams.
    """
    name_hash = int.from_bytes(hashlib.blake2b(name.encode("utf-8"), digest_size=16).digest(), "little")
    key = (block, name_hash, stream)
    state = np.random.SeedSequence(seed, spawn_key=key).generate_state(4, np.uint32)
    return int.from_bytes(state.tobytes(), "little")


@dataclasses.dataclass(frozen=True)
class Block:
    """A block of consecutive people of the population."""

    index: int
    first_person: int
    size: int
    #: The block's slices of the population's arrays: "birth_year", "stratum"
    #: and the further properties.
    properties: Mapping[str, np.ndarray]
    seed: int

    def generator(self, name: str) -> np.random.Generator:
        """A NumPy generator for this block, seeded from the run's seed,
        the block's index and ``name``."""
        return np.random.Generator(np.random.PCG64(block_seed(self.seed, self.index, name, stream=1)))


@dataclasses.dataclass(frozen=True)
class _Configuration:
    """Everything a worker needs to simulate a block, apart from the
    population: it is pickled once per run and sent with every block."""

    model: Model
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


@dataclasses.dataclass
class _Partial:
    """One block's results."""

    events: np.ndarray
    durations: np.ndarray
    snapshots_ages: np.ndarray
    snapshots_years: np.ndarray
    individual: dict[str, np.ndarray]


class _CombinedSnapshots:
    """Several snapshot functions as one, so that a tag reported by two of
    them is an error instead of one value silently replacing the other."""

    def __init__(self, functions: Sequence[Callable[[Individual], Any]]) -> None:
        self.functions = tuple(functions)

    def __call__(self, individual: Individual) -> dict[Any, Any]:
        # Called in every life at every snapshot age and year, so the common
        # case (no tag seen before) costs one dict lookup per tag.
        tags: dict[Any, Any] = {}
        for function in self.functions:
            reported = function(individual)
            if not reported:
                continue
            start = len(tags)
            if isinstance(reported, dict):
                tags.update(reported)
                if len(tags) != start + len(reported):
                    raise self._shared(next(tag for tag in list(tags)[:start] if tag in reported))
                continue
            for tag in reported:
                if tag in tags:
                    if tag in list(tags)[start:]:
                        continue  # a function that repeats a tag counts it once
                    raise self._shared(tag)
                tags[tag] = 1
        return tags

    @staticmethod
    def _shared(tag: Any) -> ModelError:
        return ModelError(f"snapshot tag {tag!r} is reported by more than one snapshot function")


class Model:
    """A model: its processes, in the order their ``start`` methods run.

    ``individual_type`` is the class of the object handed to the processes;
    a subclass of :class:`~tavlen.individual.Individual` may take its place.
    """

    individual_type: type = Individual

    def __init__(self, processes: Iterable[Process]) -> None:
        self.processes: tuple[Process, ...] = tuple(processes)
        if not self.processes:
            raise ModelError("a model needs at least one process")
        owners: dict[str, Process] = {}
        for process in self.processes:
            if not isinstance(process, Process):
                raise TypeError(f"a model is made of Process objects, got {type(process).__name__}")
            for message in process.messages:
                if message in owners:
                    raise ModelError(
                        f"the message {message!r} is handled by two processes: "
                        f"{owners[message].name} and {process.name}"
                    )
                owners[message] = process

    def __repr__(self) -> str:
        return f"Model([{', '.join(process.name for process in self.processes)}])"

    def _declared(self, attribute: str, extra: Iterable[str], what: str) -> tuple[str, ...]:
        """The processes' declarations and the run's, in order, each once."""
        names: dict[str, None] = {}
        sources = [*((f"{process.name}.{attribute}", getattr(process, attribute)) for process in self.processes),
                   (attribute, extra)]
        for where, source in sources:
            if isinstance(source, str):
                # Most often a one-tag tuple written without its comma.
                raise TypeError(
                    f"{where} is a sequence of str, not a single str: {source!r}; "
                    f"a tuple of one needs a comma: ({source!r},)"
                )
            for name in source:
                if type(name) is not str:
                    raise TypeError(f"{what} are str, got {type(name).__name__} in {where}: {name!r}")
                names[name] = None
        return tuple(names)

    def run(
        self,
        birth_years: npt.ArrayLike,
        *,
        strata: npt.ArrayLike | None = None,
        properties: Mapping[str, npt.ArrayLike] | None = None,
        universes: Sequence[str] = ("universe",),
        stratum_labels: Sequence[str] | None = None,
        event_tags: Sequence[str] = (),
        event_ages: npt.ArrayLike = (0.0,),
        event_years: npt.ArrayLike = (-math.inf,),
        duration_tags: Sequence[str] = (),
        duration_ages: npt.ArrayLike = (0.0,),
        duration_years: npt.ArrayLike = (-math.inf,),
        event_individual_tags: Sequence[str] = (),
        log_events_individual: bool = False,
        individual_block_size: int = 4096,
        snapshot_tags: Sequence[str] = (),
        snapshot_ages: npt.ArrayLike = (),
        snapshot_years: npt.ArrayLike = (),
        snapshot_functions: Sequence[Callable[[Individual], Any]] = (),
        random_number_generators: Sequence[str] = (),
        n_stratum_hops: int | None = None,
        preserve_stratum: str | None = None,
        verify_tags: bool = True,
        seed: int | None = None,
        block_size: int = 1000,
        executor: concurrent.futures.Executor | None = None,
        workers: int | None = None,
        blocks_per_task: int | None = None,
        progress: bool = False,
        checkpoint: str | os.PathLike[str] | None = None,
    ) -> Results:
        """Simulates every person of the population once in each universe.

        The population is ``birth_years`` (calendar years, one per person),
        the initial ``strata`` (ints from 0; all 0 by default) and further
        per-person ``properties`` (read with ``individual.properties(name)``),
        all array-like and of one length.

        Age and year grids are ascending bin edges: a bin runs from one edge
        to the next, the last one has no upper end, and the first one also
        takes whatever lies below the first edge. ``event_ages=(0, 50, 70)``
        gives the age groups 0-50, 50-70 and 70+.

        The tags, the random number generators and the snapshot functions
        given here are added to those that the processes declare. With
        ``n_stratum_hops``, the strata are 0 to ``n_stratum_hops`` and the
        processes may move people between them (``individual.hop_stratum``);
        ``preserve_stratum`` ("dynamic" or "final") keeps the strata of a
        person's first universe in the later ones.

        Blocks of ``block_size`` people are the unit of work: every block
        has its own generators, seeded from ``seed``, the block's index and
        the generator's name, and its own partial result; partial results
        are added in block order. So a run's results depend on ``seed`` and
        ``block_size`` only, not on how the blocks are run: in this process
        (the default), on a ``concurrent.futures.Executor`` given as
        ``executor`` (a process pool, Dask's ``Client.get_executor()``,
        mpi4py's ``MPIPoolExecutor``), or on a pool of ``workers`` local
        processes that the run starts and stops. A task sent to a worker
        holds ``blocks_per_task`` consecutive blocks (by default enough to
        make about a hundred tasks); it changes nothing in the results.
        Without a seed, one is drawn and kept in the results. ``progress``
        shows a progress bar on stderr (needs tqdm).

        ``checkpoint`` names a folder (created if missing) where every
        finished block's partial result is written as it comes in, each file
        complete or not there at all. The same run started again with the
        same folder, after a crash, an interrupt or a killed machine, takes
        the blocks it finds there and simulates only the others, with the
        same results bit for bit; given the folder of a finished run, it only
        reads it. Started without a seed, it takes the seed kept in the
        folder. A folder of a run that differs in its model (the processes'
        pickle), population, options, seed or block size is refused, and a
        block file that is damaged or not this run's is simulated again. A
        checkpointed run needs its model and snapshot functions to pickle.

        A worker process that dies in the middle of a run (killed, out of
        memory, a crash) loses the tasks it ran: with ``workers``, the run
        starts a new pool and runs them again, and gives up with a
        :class:`ModelError` once it has lost ``MAX_LOST_POOLS`` pools in a
        row with no task finishing in between. A run cannot replace an
        ``executor`` it was given: it stops with a :class:`ModelError`, and
        with a checkpoint folder the run started again resumes. A Dask
        cluster reruns the tasks of a lost worker by itself.
        """
        if executor is not None and workers is not None:
            raise ModelError("give either an executor or a number of workers, not both")
        if executor is not None and not callable(getattr(executor, "submit", None)):
            raise TypeError(
                "executor must be a concurrent.futures.Executor, such as a ProcessPoolExecutor or "
                f"a Dask client's get_executor(), got {type(executor).__name__}"
            )
        workers = None if workers is None else _positive_int(workers, "workers")
        if seed is None and checkpoint is not None:
            seed = _checkpoint.kept_seed(checkpoint)
        if seed is None:
            seed = int(np.random.SeedSequence().entropy)  # type: ignore[arg-type]
        seed = _nonnegative_int(seed, "seed")
        block_size = _positive_int(block_size, "block_size")
        population = _population(birth_years, strata, properties)
        people_n = len(population["birth_year"])
        universes = _universe_names(universes)

        event_individual = self._declared("event_individual_tags", event_individual_tags, "individual event tags")
        event_tag_list = self._declared("event_tags", event_tags, "event tags")
        if log_events_individual:
            event_individual = tuple(dict.fromkeys([*event_individual, *event_tag_list]))
        if event_individual and len(universes) > _MAX_LOGGED_UNIVERSES:
            raise ModelError(
                f"the individual-level log holds at most {_MAX_LOGGED_UNIVERSES} universes, the run has {len(universes)}"
            )
        if len(event_individual) > _MAX_INDIVIDUAL_TAGS:
            raise ModelError(f"the individual-level log holds at most {_MAX_INDIVIDUAL_TAGS} tags")

        if n_stratum_hops is not None:
            n_stratum_hops = _nonnegative_int(n_stratum_hops, "n_stratum_hops")
        labels = _stratum_labels(population["stratum"], n_stratum_hops, stratum_labels)
        if preserve_stratum not in (None, "dynamic", "final"):
            raise ModelError(f"preserve_stratum is None, 'dynamic' or 'final', not {preserve_stratum!r}")

        functions = [
            *(f for process in self.processes for f in _functions(process.snapshot_functions(), f"{process.name}.snapshot_functions() must return")),
            *_functions(snapshot_functions, "snapshot_functions must be"),
        ]
        event_ages_edges, event_ages_grid = grid_edges(event_ages, "event_ages")
        event_years_edges, event_years_grid = grid_edges(event_years, "event_years")
        duration_ages_edges, duration_ages_grid = grid_edges(duration_ages, "duration_ages")
        duration_years_edges, duration_years_grid = grid_edges(duration_years, "duration_years")
        configuration = _Configuration(
            model=self,
            universes=universes,
            random_number_generators=self._declared(
                "random_number_generators", random_number_generators, "random number generator names"
            ),
            event_tags=event_tag_list,
            event_grid_ages=event_ages_grid,
            event_grid_years=event_years_grid,
            duration_tags=self._declared("duration_tags", duration_tags, "duration tags"),
            duration_grid_ages=duration_ages_grid,
            duration_grid_years=duration_years_grid,
            event_individual_tags=event_individual,
            individual_block_size=_positive_int(individual_block_size, "individual_block_size"),
            snapshot_tags=self._declared("snapshot_tags", snapshot_tags, "snapshot tags"),
            snapshot_ages=_snapshot_points(snapshot_ages, "snapshot_ages"),
            snapshot_years=_snapshot_points(snapshot_years, "snapshot_years"),
            snapshot_functions=(_CombinedSnapshots(functions),) if len(functions) > 1 else tuple(functions),
            n_stratum_hops=n_stratum_hops,
            strata_n=len(labels),
            preserve_stratum=preserve_stratum,
            log_events_individual=bool(log_events_individual),
            verify_tags=bool(verify_tags),
            seed=seed,
        )

        blocks = [(index, first, min(first + block_size, people_n)) for index, first in enumerate(range(0, people_n, block_size))]
        shapes = _result_shapes(configuration)
        totals = _Totals(shapes)
        # Tasks group blocks only to spare the executor's overhead per task:
        # about a hundred tasks keep any pool busy to the end.
        if blocks_per_task is None:
            blocks_per_task = max(1, len(blocks) // 64)
        per_task = _positive_int(blocks_per_task, "blocks_per_task")
        folder: contextlib.AbstractContextManager[_checkpoint.Folder | None] = contextlib.nullcontext()
        if checkpoint is not None:
            folder = _checkpoint.opened(checkpoint, _checkpoint.identity(configuration, population, labels, block_size))
        with _progress_bar(progress, people_n) as advance, folder as kept:
            collected = _InBlockOrder(totals, kept, shapes)
            remaining = []
            for block in blocks:
                if collected.add_kept(block):
                    advance(block[2] - block[1])
                else:
                    remaining.append(block)
            tasks = [remaining[start : start + per_task] for start in range(0, len(remaining), per_task)]
            if not tasks:
                pass
            elif workers is not None and workers > 1:
                _run_on_own_pools(workers, _pickled(configuration), population, tasks, collected, advance)
            elif executor is not None:
                try:
                    _run_on(executor, _pickled(configuration), population, tasks, collected, advance)
                except _LostPool as lost:
                    kept_where = (
                        f"the blocks that finished are kept in the checkpoint folder {kept.path!r}: "
                        "run again with a working executor to resume"
                        if kept is not None
                        else "give workers=N instead of an executor to let the run start its pool again, "
                        "or a checkpoint folder to keep the blocks that finish"
                    )
                    raise ModelError(
                        "a worker process of the executor died (killed, out of memory or crashed), leaving blocks "
                        f"{_block_list(lost.unfinished)} unfinished, and a run cannot replace an executor it was "
                        f"given; {kept_where}"
                    ) from lost.__cause__
            else:
                for index, first, end in remaining:
                    collected.add((index, first, end), _simulate_block(configuration, index, first, _slice(population, first, end)))
                    advance(end - first)
            if collected.next_index != len(blocks):
                # Never results with a block missing, whatever became of it.
                raise RuntimeError(f"the run lost blocks from {collected.next_index} on; its results would be incomplete")

        return Results(
            events=totals.events,
            durations=totals.durations,
            snapshots_ages=totals.snapshots_ages,
            snapshots_years=totals.snapshots_years,
            individual=totals.individual_log(),
            universes=universes,
            strata=labels,
            event_tags=configuration.event_tags,
            duration_tags=configuration.duration_tags,
            event_individual_tags=event_individual,
            snapshot_tags=configuration.snapshot_tags,
            event_ages=event_ages_edges,
            event_years=event_years_edges,
            duration_ages=duration_ages_edges,
            duration_years=duration_years_edges,
            snapshot_ages=np.array(configuration.snapshot_ages, dtype=np.float64),
            snapshot_years=np.array(configuration.snapshot_years, dtype=np.float64),
            metadata={"seed": seed, "block_size": block_size, "population": people_n},
        )


# ---------------------------------------------------------------------------
# Checking the configuration


def _nonnegative_int(value: Any, name: str) -> int:
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, got {type(value).__name__}") from None
    if number < 0:
        raise ModelError(f"{name} must not be negative, got {number}")
    return number


def _positive_int(value: Any, name: str) -> int:
    number = _nonnegative_int(value, name)
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
        if name in arrays or name in ("__birth__", "__stratum__"):
            raise ModelError(f"the property name {name!r} is reserved for the population's birth years and strata")
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


def _result_shapes(configuration: _Configuration) -> dict[str, tuple[int, ...]]:
    c = configuration
    head = (len(c.universes), c.strata_n)
    return {
        "events": (*head, len(c.event_tags), len(c.event_grid_years), len(c.event_grid_ages)),
        "durations": (*head, len(c.duration_tags), len(c.duration_grid_years), len(c.duration_grid_ages)),
        "snapshots_ages": (*head, len(c.snapshot_tags), len(c.snapshot_ages)),
        "snapshots_years": (*head, len(c.snapshot_tags), len(c.snapshot_years)),
    }


def _slice(population: Mapping[str, np.ndarray], first: int, end: int) -> dict[str, np.ndarray]:
    return {name: array[first:end] for name, array in population.items()}


# ---------------------------------------------------------------------------
# Running blocks

#: What a worker imports before it takes its first task.
_WORKER_PRELOAD = ("tavlen.model",)


def process_pool(workers: int) -> concurrent.futures.ProcessPoolExecutor:
    """A pool of ``workers`` local processes for runs, as ``Model.run(workers=...)`` uses.

    Where processes start from a fork server (the default on Linux), the
    server imports NumPy and tavlen once, so that every worker is forked
    with them loaded instead of importing them itself: on two cores a
    worker's imports cost as much as a few thousand lives. A fork server
    that runs already (started by an earlier pool of the program) keeps
    what it loaded, and the workers then import on their first task.
    The workers end when the process that started the pool dies, even
    killed in the middle of a task.
    """
    workers = _positive_int(workers, "workers")
    context = None
    if multiprocessing.get_start_method() == "forkserver":
        context = multiprocessing.get_context("forkserver")
        # Added to what the program asked the server to preload, never instead of it.
        preload = list(getattr(multiprocessing.forkserver._forkserver, "_preload_modules", None) or ["__main__"])
        preload += [name for name in _WORKER_PRELOAD if name not in preload]
        context.set_forkserver_preload(preload)
    return concurrent.futures.ProcessPoolExecutor(workers, mp_context=context, initializer=_end_with_the_main_process)


def _end_with_the_main_process() -> None:
    """Ends a worker when the process that started its pool dies: a main
    process killed from outside (SIGKILL) cannot shut its pool down, and its
    workers would otherwise wait for tasks forever."""
    parent = multiprocessing.parent_process()
    if parent is None:
        return

    def watch() -> None:
        multiprocessing.connection.wait([parent.sentinel])
        os._exit(1)

    threading.Thread(target=watch, name="tavlen: end with the main process", daemon=True).start()


def _pickled(configuration: _Configuration) -> bytes:
    try:
        return pickle.dumps(configuration, protocol=pickle.HIGHEST_PROTOCOL)
    except Exception as error:
        raise ModelError(
            "a parallel run sends the model's processes and the run's configuration to its workers, "
            f"so they must pickle: {error}"
        ) from error


_Task = list[tuple[int, int, int]]


class _InBlockOrder:
    """Takes the blocks' partial results in any order, stores each new one
    in the checkpoint folder at once, and adds them to the totals in block
    order, so that the sums are the same bit for bit however the blocks ran.

    A block that comes before its turn waits in memory, or, when the run has
    a checkpoint folder, on disk where it is kept already: a resumed run may
    find most of its blocks kept behind one that is missing, and holding
    them all would hold their logs twice."""

    def __init__(self, totals: _Totals, folder: _checkpoint.Folder | None, shapes: Mapping[str, tuple[int, ...]]) -> None:
        self.totals = totals
        self.folder = folder
        self.shapes = shapes
        self.waiting: dict[int, _Partial] = {}
        self.waiting_on_disk: dict[int, tuple[int, int, int]] = {}
        self.next_index = 0
        self.received = 0

    def add(self, block: tuple[int, int, int], partial: _Partial, stored: bool = False) -> None:
        index, first, end = block
        if self.folder is not None and not stored:
            self.folder.store(index, first, end - first, partial)
        self.received += 1
        if self.folder is not None and index != self.next_index:
            self.waiting_on_disk[index] = block
        else:
            self.waiting[index] = partial
        while True:
            if self.next_index in self.waiting:
                self.totals.add(self.waiting.pop(self.next_index))
            elif self.next_index in self.waiting_on_disk:
                self.totals.add(self._reload(self.waiting_on_disk.pop(self.next_index)))
            else:
                break
            self.next_index += 1

    def add_kept(self, block: tuple[int, int, int]) -> bool:
        """Adds a block that the checkpoint folder keeps; False when it keeps
        none that can be trusted, and the block is to be simulated."""
        partial = self._load(block)
        if partial is not None:
            self.add(block, partial, stored=True)
        return partial is not None

    def _load(self, block: tuple[int, int, int]) -> _Partial | None:
        if self.folder is None:
            return None
        index, first, end = block
        found = self.folder.load(index, first, end - first, self.shapes)
        return None if found is None else _Partial(**found)

    def _reload(self, block: tuple[int, int, int]) -> _Partial:
        assert self.folder is not None  # only blocks kept in the folder wait on disk
        partial = self._load(block)
        if partial is None:
            # The folder is locked while the run uses it: only something
            # outside the run can have changed the file since it was read.
            raise ModelError(
                f"block {block[0]}'s file in the checkpoint folder {self.folder.path!r} "
                "changed while the run was using it; run again to resume"
            )
        return partial


class _LostPool(Exception):
    """A process pool broke (a worker died); the tasks it had not finished."""

    def __init__(self, unfinished: list[_Task]) -> None:
        super().__init__(unfinished)
        self.unfinished = unfinished


def _run_on(
    executor: concurrent.futures.Executor,
    payload: bytes,
    population: Mapping[str, np.ndarray],
    tasks: Sequence[_Task],
    collected: _InBlockOrder,
    advance: Callable[[int], None],
) -> None:
    """Runs the tasks on the executor and hands their partial results over
    as they come in. A broken process pool raises _LostPool with the tasks
    that did not finish, after handing over those that did."""
    futures = {
        executor.submit(
            _simulate_pickled_blocks,
            payload,
            [(index, first, _slice(population, first, end)) for index, first, end in task],
        ): task
        for task in tasks
    }

    def take(future: concurrent.futures.Future[list[_Partial]]) -> None:
        # A future keeps its result: dropping it with the result taken
        # frees each block's log once it is gathered.
        partials = future.result()  # raises first: a failed task stays in futures
        task = futures.pop(future)
        for block, partial in zip(task, partials, strict=True):
            collected.add(block, partial)
        advance(sum(end - first for _, first, end in task))

    try:
        for future in concurrent.futures.as_completed(futures):
            take(future)
    except concurrent.futures.process.BrokenProcessPool as error:
        # The broken pool fails every future it had not finished; keep the
        # results of those that finished before as_completed yielded them.
        concurrent.futures.wait(futures, timeout=60)
        for future in list(futures):
            if future.done() and not future.cancelled() and future.exception() is None:
                take(future)
        for future in futures:
            future.cancel()
        raise _LostPool(list(futures.values())) from error
    except BaseException:
        for future in futures:
            future.cancel()
        raise


def _run_on_own_pools(
    workers: int,
    payload: bytes,
    population: Mapping[str, np.ndarray],
    tasks: list[_Task],
    collected: _InBlockOrder,
    advance: Callable[[int], None],
) -> None:
    """Runs the tasks on a pool of local processes, and the tasks of a pool
    that broke on a new one."""
    lost_in_a_row = 0
    while tasks:
        received = collected.received
        try:
            with process_pool(workers) as pool:
                _run_on(pool, payload, population, tasks, collected, advance)
            return
        except _LostPool as lost:
            tasks = lost.unfinished
            lost_in_a_row = 1 if collected.received > received else lost_in_a_row + 1
            if lost_in_a_row >= MAX_LOST_POOLS:
                kept = "" if collected.folder is None else (
                    f"; the blocks that finished are kept in the checkpoint folder {collected.folder.path!r}"
                )
                raise ModelError(
                    f"worker processes died {lost_in_a_row} times in a row with no task finishing in between "
                    f"(killed, out of memory or crashed), and blocks {_block_list(tasks)} did not finish: "
                    f"the run gave up{kept}"
                ) from lost.__cause__


def _block_list(tasks: Sequence[_Task], shown: int = 10) -> str:
    indices = sorted(index for task in tasks for index, _, _ in task)
    text = ", ".join(str(index) for index in indices[:shown])
    return text if len(indices) <= shown else f"{text} and {len(indices) - shown} more"


def _simulate_pickled_blocks(payload: bytes, blocks: list[tuple[int, int, dict[str, np.ndarray]]]) -> list[_Partial]:
    """A worker's task: consecutive blocks of a run whose configuration comes pickled."""
    configuration: _Configuration = pickle.loads(payload)
    return [_simulate_block(configuration, index, first, population) for index, first, population in blocks]


def _simulate_block(configuration: _Configuration, index: int, first: int, population: dict[str, np.ndarray]) -> _Partial:
    """Simulates one block with an Individual of its own and returns its results."""
    c = configuration
    size = len(population["birth_year"])
    stratum = population["stratum"]
    if not c.n_stratum_hops and int(stratum.max(initial=0)) < c.strata_n - 1:
        # Without n_stratum_hops an Individual counts its strata from the
        # highest initial stratum it is given, and a block need not hold the
        # population's highest (a population sorted by stratum). One entry
        # past the block's people, never simulated, gives it the run's count.
        stratum = np.append(stratum, np.int16(c.strata_n - 1))
    properties: dict[str, Any] = {"__birth__": population["birth_year"], "__stratum__": stratum}
    properties.update((name, array) for name, array in population.items() if name not in ("birth_year", "stratum"))
    individual = c.model.individual_type(
        properties,
        list(c.universes),
        list(c.random_number_generators),
        list(c.event_tags),
        c.event_grid_ages,
        c.event_grid_years,
        list(c.duration_tags),
        c.duration_grid_ages,
        c.duration_grid_years,
        list(c.event_individual_tags),
        c.individual_block_size,
        list(c.snapshot_tags),
        list(c.snapshot_ages),
        list(c.snapshot_years),
        list(c.snapshot_functions),
        c.n_stratum_hops,
        c.preserve_stratum,
        c.log_events_individual,
        c.verify_tags,
    )
    block = Block(index=index, first_person=first, size=size, properties=population, seed=c.seed)
    block_properties: dict[str, np.ndarray] = {}
    owners: dict[str, str] = {}
    for process in c.model.processes:
        given = process.block_properties(block)
        if not isinstance(given, Mapping):
            raise TypeError(
                f"{process.name}.block_properties() must return a dict of per-person arrays, got {type(given).__name__}"
            )
        for name, values in given.items():
            if name in block_properties:
                raise ModelError(f"block property {name!r} is given by both {owners[name]} and {process.name}")
            array = np.asarray(values)
            if array.ndim < 1 or len(array) != size:
                raise ModelError(
                    f"{process.name}.block_properties() gave {name!r} of shape {array.shape} for a block of {size} people"
                )
            block_properties[name] = array
            owners[name] = process.name
    seeds = {name: block_seed(c.seed, index, name) for name in c.random_number_generators}
    individual.next_block(0, block_properties, seeds)
    _simulate_people(individual, c.model.processes, c.universes, size, first)
    log = individual.output_events_individual()
    partial = _Partial(
        events=individual.output_events(),
        durations=individual.output_durations(),
        snapshots_ages=individual.output_snapshots_ages(),
        snapshots_years=individual.output_snapshots_years(),
        individual=log,
    )
    # The log is joined out of the Individual's blocks: let them go before
    # the persons are renumbered, so that a block holds its log twice at most.
    del individual
    log["individual"] = (log["individual"] + np.uint32(first)).astype(np.uint32, copy=False)
    return partial


def _simulate_people(individual: Any, processes: Sequence[Process], universes: Sequence[str], size: int, first: int) -> None:
    """The run loop: every person of the block in every universe, each life
    running from its first events until an event that terminates it."""
    dispatch: dict[str, Callable[..., Any]] = {}
    for process in processes:
        dispatch.update(process.handlers())
    starts = [process.start for process in processes if type(process).start is not Process.start]
    life = _Life()
    for process in processes:
        process._life = life
    next_person = individual.next_person
    next_universe = individual.next_universe
    next_event = individual.next_event
    log_ongoing_durations = individual.log_ongoing_durations
    # Every life iterates this one range, so a life that never ends stops
    # at its end without a counter to keep per event.
    events_limit = range(MAX_EVENTS_PER_LIFE)
    person = -1
    try:
        for person in range(size):
            next_person()
            for universe_index, universe in enumerate(universes):
                next_universe()
                life.universe = universe
                life.universe_index = universe_index
                for start in starts:
                    start(individual)
                try:
                    for _ in events_limit:
                        age, _, message, terminate, data = next_event()
                        try:
                            handler = dispatch[message]  # a subscript is cheaper than a call of get()
                        except KeyError:
                            raise ModelError(
                                f"no process handles the message {message!r}; "
                                f"the model's processes handle {sorted(dispatch) or 'no message'}"
                            ) from None
                        if data:
                            handler(individual, **data)
                        else:
                            handler(individual)
                        if terminate:
                            break
                    else:
                        # Without this a life whose events keep coming and
                        # none of which ends it would run forever.
                        raise ModelError(
                            f"a life took {len(events_limit):,} events without reaching one scheduled with "
                            f"terminate=True (the last was {message!r} at age {age:.6g}); every life needs "
                            "an event that ends it, such as a death from other causes "
                            "(tavlen.model.MAX_EVENTS_PER_LIFE sets the limit)"
                        )
                except RuntimeError as error:
                    if str(error).startswith("Event queue empty"):
                        error.add_note(
                            "every life needs an event scheduled with terminate=True, "
                            "such as a death from other causes"
                        )
                    raise
                log_ongoing_durations()
    except Exception as error:
        if 0 <= person < size and life.universe_index >= 0:
            error.add_note(
                f"while simulating person {first + person} in universe {life.universe!r}, "
                f"at age {_age_of(individual)}"
            )
        raise
    finally:
        for process in processes:
            # Gone, not None: a process pickles after a run as it did before
            # (a checkpoint folder recognises its model by that pickle).
            vars(process).pop("_life", None)


def _age_of(individual: Any) -> str:
    try:
        return f"{float(individual.age):.6g}"
    except Exception:
        return "unknown"


class _Totals:
    """The run's results, as the sum of the blocks' partial results taken in block order."""

    def __init__(self, shapes: Mapping[str, tuple[int, ...]]) -> None:
        # Counts are summed in 64 bits: a block's uint32 counts are safe, a run's may not be.
        self.events = np.zeros(shapes["events"], dtype=np.int64)
        self.durations = np.zeros(shapes["durations"], dtype=np.float64)
        self.snapshots_ages = np.zeros(shapes["snapshots_ages"], dtype=np.int64)
        self.snapshots_years = np.zeros(shapes["snapshots_years"], dtype=np.int64)
        self._log = _LogColumns()

    def add(self, partial: _Partial) -> None:
        for name in _AGGREGATES:
            total = getattr(self, name)
            part = getattr(partial, name)
            if part.shape != total.shape:
                raise ModelError(f"a block returned {name} of shape {part.shape}, expected {total.shape}")
            total += part
        self._log.append(partial.individual)

    def individual_log(self) -> dict[str, np.ndarray]:
        return self._log.take()


class _LogColumns:
    """The run's individual-level log, gathered block by block into its
    final columns.

    The log of a long run is most of its memory, so it is never held twice:
    each block's entries are copied in as the block arrives, and the columns
    grow in place. ndarray.resize reallocates, and for large arrays the C
    library moves the pages (mremap) instead of copying them, so old and new
    columns never coexist. NumPy zero-fills what a column grows by, which
    makes it resident: steps of a thirty-second keep that unused tail small
    and the reallocations few.
    """

    GROWTH = 32

    def __init__(self) -> None:
        self._start_empty()

    def _start_empty(self) -> None:
        self.columns = {key: np.empty(0, dtype=dtype) for key, dtype in _LOG_COLUMNS.items()}
        self.length = 0

    def append(self, log: Mapping[str, npt.ArrayLike]) -> None:
        if not isinstance(log, Mapping) or set(log) != set(_LOG_COLUMNS):
            given = sorted(map(str, log)) if isinstance(log, Mapping) else type(log).__name__
            raise ModelError(f"a block returned an individual-level log of {given}, expected the columns {list(_LOG_COLUMNS)}")
        parts = {key: np.asarray(log[key]) for key in _LOG_COLUMNS}
        if len({part.shape for part in parts.values()}) != 1 or parts["age"].ndim != 1:
            shapes = {key: part.shape for key, part in parts.items()}
            raise ModelError(f"a block returned an individual-level log of columns of unlike shapes: {shapes}")
        start = self.length
        end = start + len(parts["age"])
        for key, part in parts.items():
            column = self.columns[key]
            if end > len(column):
                # The array is this object's alone and no view of it
                # outlives a statement, so nothing sees it move.
                column.resize(max(end, len(column) + len(column) // self.GROWTH), refcheck=False)
            column[start:end] = part
        self.length = end

    def take(self) -> dict[str, np.ndarray]:
        """The columns, trimmed to the entries (in place), handed over: the
        gathering starts again empty, so it never resizes what a caller holds."""
        columns = self.columns
        for column in columns.values():
            column.resize(self.length, refcheck=False)
        self._start_empty()
        return columns


class _progress_bar:
    """A tqdm bar on stderr counting people, or nothing."""

    def __init__(self, enabled: bool, total: int) -> None:
        self.bar: Any = None
        if enabled:
            tqdm = optional_import("tqdm", "progress", "a progress bar").tqdm
            self.bar = tqdm(total=total, unit="people", unit_scale=total >= 10_000, desc="tavlen")

    def __enter__(self) -> Callable[[int], None]:
        return self.bar.update if self.bar is not None else _ignore

    def __exit__(self, *exc: Any) -> None:
        if self.bar is not None:
            self.bar.close()


def _ignore(_: int) -> None:
    pass

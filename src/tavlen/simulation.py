"""What a worker runs: the simulation of a block of people, with the run loop
that takes every life from its first events to the one that ends it."""

from __future__ import annotations

import dataclasses
import hashlib
import pickle
import random
import threading
from collections.abc import Callable, Mapping, Sequence
from typing import Any

import numpy as np

from .cells import Cells
from .configuration import PERSON, CombinedSnapshots, Configuration
from .errors import ModelError
from .individual import Individual, Philox, record_changes, renew_population, run_lives, take_changes
from .mistakes import Mistakes, snapshots_kept_at
from .montecarlo import AGGREGATES
from .process import Block, Process, block_seed
from .streams import generator_key

__all__ = ["Partial", "release_kept", "simulate_block", "simulate_pickled_blocks"]

#: The aggregates the engine hands out through its output_<name>() methods;
#: the discounted ones are arrays the block gives it to add into.
_ENGINE_OUTPUTS = tuple(name for name in AGGREGATES if not name.startswith("discounted_"))


@dataclasses.dataclass
class Partial:
    """One block's results: each aggregate whole, or as the cells it changed."""

    events: np.ndarray | Cells
    durations: np.ndarray | Cells
    snapshots_ages: np.ndarray | Cells
    snapshots_years: np.ndarray | Cells
    individual: dict[str, np.ndarray]
    #: Whether the block drew from the global generators of random or numpy.random.
    global_draws: bool = False
    #: Events and durations discounted at their exact time, by rate (first
    #: axis; none when the run records no discounting) and without the year axis.
    discounted_events: np.ndarray | Cells = dataclasses.field(default_factory=lambda: np.zeros((0, 0, 0, 0, 0)))
    discounted_durations: np.ndarray | Cells = dataclasses.field(default_factory=lambda: np.zeros((0, 0, 0, 0, 0)))


def simulate_pickled_blocks(payload: bytes, blocks: list[tuple[int, int, dict[str, np.ndarray]]]) -> list[Partial]:
    """Consecutive blocks of a run whose configuration comes pickled: each
    block is simulated with fresh copies of the processes, as they stood
    when the run was called, so that what a process keeps on ``self`` lasts
    one block wherever the block runs."""
    return [simulate_block(pickle.loads(payload), index, first, population) for index, first, population in blocks]


def simulate_block(configuration: Configuration, index: int, first: int, population: dict[str, np.ndarray]) -> Partial:
    """Simulates one block and returns its results. ``first`` is the block's
    first position in the run's order of the people; ``population[PERSON]``
    holds each person's index in the population.

    The Individual, with its result grids, is this process's to keep for the
    run's next block (see :func:`release_kept`): each block takes the cells it
    changed out of the grids and leaves them zero, so a block costs what it
    touched, not what the grids hold."""
    c = configuration
    population = dict(population)
    people = population.pop(PERSON)
    size = len(population["birth_year"])
    functions = c.snapshot_functions
    snapshots = point = None
    if functions:
        snapshots, point = snapshots_kept_at(functions[0] if len(functions) == 1 else CombinedSnapshots(functions))
    kept = _individual_for(c, population, snapshots)
    individual = kept.individual
    block = Block(index=index, position=first, size=size, properties=population, seed=c.seed, people=people)
    try:
        streams, seeds = _generators(individual, c, index)
        block_properties = _block_properties(c.model.processes, block)
        individual.next_block(0, block_properties, seeds)
        mistakes = Mistakes(c, [name for name in population if name not in ("birth_year", "stratum")],
                             list(block_properties), point)
        _seed_global_generators(c.seed, index)
        simulate_people(individual, c.model.processes, c.universes, size, people, c.events_limit, mistakes, streams)
        global_draws = _drawn_since()
        log = individual.output_events_individual()
        # Each aggregate as the cells the block changed, which leaves the
        # grids zero for the next block.
        arrays = [getattr(individual, f"output_{name}")() for name in _ENGINE_OUTPUTS] + kept.discounted
        if kept.key:
            aggregates = {name: Cells.taken(array, offsets)
                          for name, array, offsets in zip(AGGREGATES, arrays, take_changes(individual), strict=True)}
            # The block's people and its log go now: a block holds its log twice at most.
            renew_population(individual, kept.no_population)
        else:
            aggregates = {name: Cells.of(array) for name, array in zip(AGGREGATES, arrays, strict=True)}
            # Gone before the persons are renumbered: a block holds its log twice at most.
            del individual, arrays
            kept.individual = None
    except BaseException:
        kept.discard()  # its grids hold what the block had logged so far
        raise
    kept.keep()
    partial = Partial(**aggregates, individual=log, global_draws=global_draws)
    log["individual"] = people[log["individual"]].astype(np.uint32)
    return partial


class _KeptIndividual:
    """An Individual kept between the blocks of a run in one process, with
    what makes a block's run on it the same as on a new one: the list of
    snapshot functions it calls (whose item each block replaces) and the
    discounted arrays it adds into."""

    #: At most one: a process runs one run's blocks at a time.
    kept: dict[bytes, _KeptIndividual] = {}
    no_population = {"__birth__": np.zeros(0), "__stratum__": np.zeros(0, dtype=np.int16)}

    def __init__(self, key: bytes, individual: Any, functions: list[Any], discounted: list[np.ndarray]) -> None:
        self.key = key
        self.individual = individual
        self.functions = functions
        self.discounted = discounted

    def keep(self) -> None:
        if self.key:
            self.kept.clear()
            self.kept[self.key] = self

    def discard(self) -> None:
        self.kept.pop(self.key, None)


def release_kept() -> None:
    """Lets go of the Individual this process keeps for a run's next block."""
    _KeptIndividual.kept.clear()


def _individual_for(c: Configuration, population: dict[str, np.ndarray],
                    snapshots: Callable[[Any], Any] | None) -> _KeptIndividual:
    """An Individual for the block, with zero grids: the one this process
    kept from a block of the same set-up, given the block's people, or a new
    one. It leaves the keeping while the block runs, so that two threads
    never share one. A subclass of Individual is always new: it may keep
    state of its own from one block to the next."""
    key = _setup_key(c)
    kept = _KeptIndividual.kept.pop(key, None) if key else None
    if kept is None:
        functions: list[Any] = [] if snapshots is None else [snapshots]
        individual = _individual(c, population, functions)
        if key:
            record_changes(individual)
        return _KeptIndividual(key, individual, functions, list(_discounted(individual, c).values()))
    properties: dict[str, Any] = {"__birth__": population["birth_year"], "__stratum__": population["stratum"]}
    properties.update((name, array) for name, array in population.items() if name not in ("birth_year", "stratum"))
    renew_population(kept.individual, properties)
    kept.functions[:] = [] if snapshots is None else [snapshots]
    if not c.common_random_numbers:
        # New ones, as a new Individual has, for a model that replaced any.
        kept.individual.random = {name: random.Random() for name in c.random_number_generators}
    return kept


def _setup_key(c: Configuration) -> bytes:
    """What a block's Individual is made from, apart from its people; empty
    for a model whose Individual is not to be kept."""
    if c.model.individual_type is not Individual:
        return b""
    grids = [np.asarray(grid) for grid in (c.event_grid_ages, c.event_grid_years, c.duration_grid_ages,
                                           c.duration_grid_years)]
    return pickle.dumps((
        c.universes, c.random_number_generators, c.event_tags, c.duration_tags, c.event_individual_tags,
        [(grid.dtype.str, grid.shape, grid.tobytes()) for grid in grids],
        c.individual_block_size, c.snapshot_tags, c.snapshot_ages, c.snapshot_years, bool(c.snapshot_functions),
        c.n_stratum_hops, c.strata_n, c.preserve_stratum, c.log_events_individual, c.verify_tags,
        c.discount_rates, c.base_year,
    ))


def _discounted(individual: Any, c: Configuration) -> dict[str, np.ndarray]:
    """The block's discounted arrays, which the Individual adds to as it logs."""
    head = (len(c.discount_rates), len(c.universes), c.strata_n)
    arrays = {
        "discounted_events": np.zeros((*head, len(c.event_tags), len(c.event_grid_ages))),
        "discounted_durations": np.zeros((*head, len(c.duration_tags), len(c.duration_grid_ages))),
    }
    if c.discount_rates:
        individual.record_discounted(c.discount_rates, c.base_year, arrays["discounted_events"],
                                     arrays["discounted_durations"])
    return arrays


def _individual(c: Configuration, population: dict[str, np.ndarray], snapshot_functions: list[Any]) -> Any:
    stratum = population["stratum"]
    if not c.n_stratum_hops and int(stratum.max(initial=0)) < c.strata_n - 1:
        # Without n_stratum_hops an Individual counts its strata from the
        # highest initial stratum it is given, and a block need not hold the
        # population's highest (a population sorted by stratum). One entry
        # past the block's people, never simulated, gives it the run's count.
        stratum = np.append(stratum, np.int16(c.strata_n - 1))
    properties: dict[str, Any] = {"__birth__": population["birth_year"], "__stratum__": stratum}
    properties.update((name, array) for name, array in population.items() if name not in ("birth_year", "stratum"))
    return c.model.individual_type(
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
        snapshot_functions,
        c.n_stratum_hops,
        c.preserve_stratum,
        c.log_events_individual,
        c.verify_tags,
    )


def _generators(individual: Any, c: Configuration, index: int) -> tuple[list[Callable[[int], None]], dict[str, int]]:
    """Sets up the block's generators; returns the set_stream methods that
    every life calls with its person, and the seeds for next_block.

    With common random numbers every generator is a Philox keyed by the
    run's seed and its name, and each life starts the stream of its person
    (its index in the population, so the streams depend neither on the
    universe nor on the block). Otherwise the Individual's random.Random
    generators are seeded once per block, from the seed, the block and the name.
    """
    if not c.common_random_numbers:
        return [], {name: block_seed(c.seed, index, name) for name in c.random_number_generators}
    generators = {name: Philox(generator_key(c.seed, name)) for name in c.random_number_generators}
    individual.random = generators
    return [generator.set_stream for generator in generators.values()], {}


def _block_properties(processes: Sequence[Process], block: Block) -> dict[str, np.ndarray]:
    """The per-person arrays that the processes make for a block, each checked
    to have one entry per person and one owner."""
    properties: dict[str, np.ndarray] = {}
    owners: dict[str, str] = {}
    for process in processes:
        given = process.block_properties(block)
        if not isinstance(given, Mapping):
            raise TypeError(
                f"{process.name}.block_properties() must return a dict of per-person arrays, got {type(given).__name__}"
            )
        for name, values in given.items():
            if name in properties:
                raise ModelError(f"block property {name!r} is given by both {owners[name]} and {process.name}")
            array = np.asarray(values)
            if array.ndim < 1 or len(array) != block.size:
                raise ModelError(
                    f"{process.name}.block_properties() gave {name!r} of shape {array.shape} for a block of {block.size} people"
                )
            properties[name] = array
            owners[name] = process.name
    return properties


def simulate_people(
    individual: Any,
    processes: Sequence[Process],
    universes: Sequence[str],
    size: int,
    people: Sequence[int] | np.ndarray,
    events_limit: int,
    mistakes: Mistakes | None = None,
    streams: Sequence[Callable[[int], None]] = (),
) -> None:
    """The run loop: every person of the block in every universe, each life
    running from its first events until an event that terminates it.
    ``mistakes`` explains the errors of a modelling mistake in the run's
    terms; every life starts with ``streams`` (the generators' set_stream)
    at its person, whose index in the population ``people`` holds. The loop itself runs in the engine (``run_lives``); this
    builds its handler table and explains what stops it."""
    if events_limit < 1:
        raise ModelError(f"tavlen.model.MAX_EVENTS_PER_LIFE must be at least 1, got {events_limit}")
    dispatch: dict[str, Callable[..., Any]] = {}
    for process in processes:
        dispatch.update(process.handlers())
    starts = tuple(process.start for process in processes if type(process).start is not Process.start)
    universes = tuple(universes)
    where = [-1, -1, False]  # person, universe, in a life's events: filled where the loop stops
    try:
        stopped = run_lives(individual, dispatch, starts, tuple(processes), universes,
                            tuple(int(index) for index in people[:size]), events_limit, tuple(streams), where)
        if stopped is not None:
            reason, message, age = stopped
            if reason == "unhandled":
                raise _unhandled(message, dispatch) from None
            raise _endless(events_limit, message, age) if reason == "endless" else _ended_at(age, message)
    except Exception as error:
        person, universe_index, in_events = where
        if in_events and isinstance(error, RuntimeError):
            _explain_empty_queue(error)
        if 0 <= person < size and universe_index >= 0:
            where_in_life = mistakes.where(error, individual) if mistakes is not None else None
            error.add_note(
                f"while simulating person {int(people[person])} in universe {universes[universe_index]!r}, "
                f"{where_in_life or f'at age {_age_of(individual)}'}"
            )
        if mistakes is not None:
            mistakes.explain(error, individual)
        raise
    finally:
        for process in processes:
            # Gone: a process pickles after a run as it did before (a
            # checkpoint folder recognises its model by that pickle).
            vars(process).pop("universe", None)
            vars(process).pop("universe_index", None)


def _unhandled(message: Any, dispatch: Mapping[str, Any]) -> ModelError:
    return ModelError(
        f"no process handles the message {message!r}; "
        f"the model's processes handle {sorted(dispatch) or 'no message'}"
    )


def _endless(events_n: int, message: Any, age: float) -> ModelError:
    return ModelError(
        f"a life took {events_n:,} events without reaching one scheduled with "
        f"terminate=True (the last was {message!r} at age {age:.6g}); every life needs "
        "an event that ends it, such as a death from other causes "
        "(tavlen.model.MAX_EVENTS_PER_LIFE sets the limit)"
    )


def _ended_at(age: float, message: Any) -> ModelError:
    return ModelError(
        f"a life ended at age {age} with the event {message!r} scheduled with terminate=True; a life must "
        "end at a finite age, or its durations come out infinite. An event scheduled after an infinite "
        "time (an exponential draw with a zero rate, say) never happens: schedule the terminating event "
        "at a finite age, and leave such events out of the queue"
    )


def _explain_empty_queue(error: RuntimeError) -> None:
    if str(error).startswith("Event queue empty"):
        error.add_note("every life needs an event scheduled with terminate=True, such as a death from other causes")


def _age_of(individual: Any) -> str:
    try:
        return f"{float(individual.age):.6g}"
    except Exception:
        return "unknown"


def _seed_global_generators(seed: int, index: int) -> None:
    """Seeds the global generators of random and numpy.random from the run's
    seed and the block's index, so that a model that draws from them (instead
    of individual.random) gives the same numbers wherever and however often
    its blocks run. NumPy's global generator gets a bit generator of the
    block's own (a PCG64, whose state is cheap to set and to read): the
    caller's is left as it was, to be put back when the run ends."""
    words = hashlib.blake2b(f"{seed} {index}".encode(), digest_size=48, person=b"tavlen.global").digest()
    random.seed(int.from_bytes(words[:16], "little"))
    state = int.from_bytes(words[16:32], "little")
    _BLOCK_BIT_GENERATOR.state = {
        "bit_generator": "PCG64",
        "state": {"state": state, "inc": int.from_bytes(words[32:], "little") | 1},
        "has_uint32": 0,
        "uinteger": 0,
    }
    np.random.set_bit_generator(_BLOCK_BIT_GENERATOR)
    _seeded[0] = _BLOCK_BIT_GENERATOR.state["state"]["state"]


def _drawn_since() -> bool:
    """Whether either global generator was drawn from since it was seeded.
    Python's is a Mersenne Twister whose position is at the end of its state
    right after seeding and moves with every draw (reading it is cheap where
    comparing whole states is not; it misses only a block whose draws add up
    to a whole number of states, 624 words, and the warning this serves is
    advice: the seeding is what makes runs reproducible). A block run on a
    thread other than the main one (a Dask worker's) shares Python's
    generator with the threads that run the worker, which draw from it:
    there its position tells nothing of the model's draws."""
    return (
        (threading.current_thread() is threading.main_thread() and random.getstate()[1][-1] != _MT_STATE_WORDS)
        or np.random.get_bit_generator() is not _BLOCK_BIT_GENERATOR
        or _BLOCK_BIT_GENERATOR.state["state"]["state"] != _seeded[0]
    )


#: Python's Mersenne Twister: its words of state, and its position right after seeding.
_MT_STATE_WORDS = 624
#: The bit generator that NumPy's global generator draws from while a block runs.
_BLOCK_BIT_GENERATOR = np.random.PCG64(0)
#: Its state right after the block seeded it.
_seeded = [0]

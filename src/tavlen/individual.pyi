"""Type stubs of the extension module tavlen.individual."""

from heapq import heappop as heappop, heappush as heappush
from random import Random as Random
from typing import Any, Callable as Callable, Dict as Dict, List as List, Optional as Optional
import warnings as warnings

import numpy as np
import numpy.typing as npt

class Individual:
    """An Individual object is created for each run and passed to every process call."""

    @property
    def year(self) -> float:
        """The current year."""
    @property
    def age(self) -> float:
        """The person's current age in years: in a handler, the age of the event it handles."""
    @age.setter
    def age(self, value: float) -> None: ...
    # During a life both are dicts (next_universe makes memory anew); None is
    # accepted when assigning, and is what deleting leaves.
    @property
    def memory(self) -> dict[Any, Any]:
        """A dict for the processes' state of the current life, a new empty one at the start of
        every life (what a process keeps on self lasts a whole block)."""
    @memory.setter
    def memory(self, value: dict[Any, Any] | None) -> None: ...
    @memory.deleter
    def memory(self) -> None: ...
    @property
    def random(self) -> dict[Any, Random]:
        """The random number generators of the current life, by name: random.Random objects
        (Philox generators with common random numbers)."""
    @random.setter
    def random(self, value: dict[Any, Random] | None) -> None: ...
    @random.deleter
    def random(self) -> None: ...

    def __init__(
        self,
        properties: dict[str, npt.ArrayLike],
        universes: list[Any],
        random_number_generators: list[Any],
        event_tags: list[str],
        event_ages: npt.NDArray[np.float64],
        event_years: npt.NDArray[np.float64],
        duration_tags: list[str],
        duration_ages: npt.NDArray[np.float64],
        duration_years: npt.NDArray[np.float64],
        event_individual_tags: list[str],
        individual_block_size: int,
        snapshot_tags: list[str],
        snapshot_ages: list[float],
        snapshot_years: list[float],
        snapshot_functions: list[Callable[[Individual], Any]],
        n_stratum_hops: int | None,
        preserve_stratum: str | None,
        log_events_individual: object,
        verify_tags: object,
    ) -> None: ...
    def next_block(
        self, first_person: int, properties_tmp: Dict[str, np.ndarray], random_seeds: Dict[str, int]
    ) -> None:
        """Increment block of people."""
    def next_person(self) -> None:
        """Increment current person."""
    def next_universe(self) -> None:
        """Increment universe."""
    def properties(self, tag: str) -> Any:
        """The 'tag' property of the current individual."""
    def properties_tmp(self, tag: str) -> Any:
        """The 'tag' temporary property of the current individual."""
    def hop_stratum(self, stratum: int) -> None:
        """Change the stratum of the individual that is being simulated."""
    def log_event(self, tag: str) -> None:
        """Log an event at the current time."""
    def _log_duration_stratum_hops(self, tag: str, start_age: float, end_age: float) -> None:
        """Log a duration, split at the recorded stratum changes."""
    def log_duration(self, tag: str, start_age: float, end_age: float) -> None:
        """Log a duration."""
    def log_duration_start(self, tag: str, start_age: float | None = None) -> None:
        """Start logging a duration."""
    def log_duration_end(self, tag: str, end_age: float | None = None) -> None:
        """End logging an ongoing duration."""
    def log_ongoing_durations(self, end_age: float | None = None) -> None:
        """End logging all ongoing durations."""
    def log_event_individual(self, tag: str, age: float = -1.0, element: int = 0) -> None:
        """Log an event at the individual level."""
    def record_discounted(
        self, rates: tuple[float, ...], base_year: float, events: np.ndarray | None, durations: np.ndarray | None
    ) -> None:
        """Record events and durations discounted at their exact calendar time."""
    def next_event(self) -> tuple[float, int, str, bool, dict[str, Any]]:
        """Increment event."""
    def _snapshot_age(self, age_next_event: float) -> None:
        """Take a snapshot at the current age."""
    def _snapshot_year(self, age_next_event: float) -> None:
        """Take a snapshot at the current year."""
    def add_to_queue(
        self, delta: float, message: str, priority: int = 0, terminate: bool = False, **kwargs: Any
    ) -> int:
        """Add an event to the queue at a time relative to the current time."""
    def add_to_queue_age(
        self, age: float, message: str, priority: int = 0, terminate: bool = False, **kwargs: Any
    ) -> int:
        """Add an event to the queue at a specific age."""
    def add_to_queue_year(
        self, year: float, message: str, priority: int = 0, terminate: bool = False, **kwargs: Any
    ) -> int:
        """Add an event to the queue at a specific date."""
    def remove_from_queue(self, idx: int) -> None:
        """Remove an event from the queue."""
    def remove_from_queue_message(self, message: str) -> None:
        """Remove all events from the queue with a particular message."""
    def move_in_queue(self, idx: int, delta: float) -> int:
        """Move an event that is on the queue to a different age."""
    def move_in_queue_age(self, idx: int, age: float) -> int:
        """Move an event that is on the queue to a different age."""
    def move_in_queue_year(self, idx: int, year: float) -> int:
        """Move an event that is on the queue to a different date."""
    def output_events(self) -> npt.NDArray[np.uint32]:
        """Method to output events."""
    def output_durations(self) -> npt.NDArray[np.float64]:
        """Method to output durations."""
    def output_events_individual(self) -> dict[str, np.ndarray]:
        """Method to output individual data."""
    def output_snapshots_ages(self) -> npt.NDArray[np.uint32]:
        """Method to output age-specific snapshot data."""
    def output_snapshots_years(self) -> npt.NDArray[np.uint32]:
        """Method to output yearly snapshot data."""
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None: ...

def __pyx_unpickle_Individual(
    __pyx_type: type[Individual], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None
) -> Individual: ...

class Philox(Random):
    """Random numbers from the counter-based generator Philox4x64-10."""

    # The second normal deviate of gauss()'s last pair; assigning takes a
    # number or None, deleting leaves None.
    @property
    def gauss_next(self) -> float | None: ...
    @gauss_next.setter
    def gauss_next(self, value: float | None) -> None: ...
    @gauss_next.deleter
    def gauss_next(self) -> None: ...
    def __init__(self, seed: int | None = None) -> None: ...
    def random(self) -> float:
        """random() -> x in the interval [0, 1)."""
    def expovariate(self, lambd: float = 1.0) -> float:
        """Exponential distribution."""
    def getrandbits(self, k: int) -> int:
        """getrandbits(k) -> x.  Generates an int with k random bits."""
    def seed(self, a: int | None = None) -> None:  # type: ignore[override]
        """Sets the key and starts stream 0 of it."""
    def set_stream(self, stream: int) -> None:
        """Starts stream number stream (an int from 0 to 2**128 - 1) of the key."""
    def getstate(self) -> tuple[Any, ...]:
        """Return internal state; can be passed to setstate() later."""
    def setstate(self, state: tuple[Any, ...]) -> None:
        """Restore internal state from object returned by getstate()."""

def run_lives(
    individual: Individual,
    dispatch: dict[str, Callable[..., Any]],
    starts: tuple[Callable[[Individual], Any], ...],
    processes: tuple[Any, ...],
    universes: tuple[str, ...],
    people: tuple[int, ...],
    events_limit: int,
    streams: tuple[Callable[[int], Any], ...],
    where: list[Any],
) -> tuple[str, Any, Any] | None:
    """Simulates the people of a block, in order, in every universe."""

def record_changes(individual: Individual, recording: bool = True) -> None:
    """Starts (or stops) recording which cells of its aggregates the Individual changes."""

def take_changes(individual: Individual) -> tuple[bytes | None, ...]:
    """The flat offsets of the cells changed since the last take, per aggregate, as native int64 bytes."""

def renew_population(individual: Individual, properties: dict[str, Any]) -> None:
    """Gives the Individual a new population; its individual-level log starts again empty."""

def add_cells(positions: Any, values: Any, totals: tuple[Any, ...]) -> bool:
    """Adds values at the flat positions of every array of totals; False when the kinds are not added natively."""

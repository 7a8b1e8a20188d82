"""What a modeller writes against: processes, their handlers, and the blocks
of people whose per-block draws they make.
"""

from __future__ import annotations

import dataclasses
import hashlib
import os
from collections.abc import Callable, Mapping, Sequence
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

from .errors import ModelError
from .individual import Individual

__all__ = ["Block", "Process", "block_seed", "handles"]

Handler = TypeVar("Handler", bound=Callable[..., Any])

# Attribute under which handles() marks a method with the messages it handles.
_MESSAGES_ATTRIBUTE = "__tavlen_messages__"


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
    #: Names of the ``random.Random`` generators in ``individual.random``. One
    #: per source of randomness: then a draw that only one universe makes
    #: shifts no other source's draws, and universes stay aligned.
    random_number_generators: Sequence[str] = ()
    #: Files that the process reads while a run simulates (a life table
    #: read in ``start``, say) and environment variables that it reads:
    #: no walk of the code sees what they hold, so their contents are
    #: named here to join the model's fingerprint, and a checkpoint folder
    #: refuses a run whose files or variables changed.
    files_read: Sequence[str | os.PathLike[str]] = ()
    environment_read: Sequence[str] = ()

    _handled: dict[str, str] = {}

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

    # The universe that the current life runs in: its name and its position
    # in the run's universes. The run sets both on every process at the start
    # of every life, as plain attributes, so that a handler reads them as
    # cheaply as any attribute of its own.
    universe: str
    universe_index: int

    def __getattr__(self, name: str) -> Any:
        # Only reached for an attribute that the process does not have.
        if name in ("universe", "universe_index"):
            raise RuntimeError(f"{self.name}.{name} is only known while a run simulates a life")
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}", name=name, obj=self)

    def __setstate__(self, state: Any) -> None:
        # Every block gets its processes from a pickle. Restoring their
        # attributes into __dict__, as pickle does by default, leaves each
        # process with a dictionary of its own, and the interpreter then
        # reads none of its attributes (self.rates, self.universe_index) by
        # its specialised paths; set one by one, they keep the compact layout
        # that __init__ gives. A name that the class handles itself (a
        # property with a setter, a slot) or a key that is no str goes
        # straight into __dict__, as pickle would put it.
        attributes, slots = state if isinstance(state, tuple) and len(state) == 2 else (state, None)
        if attributes:
            cls = type(self)
            for name, value in attributes.items():
                if type(name) is str and not _handled_by_class(cls, name):
                    object.__setattr__(self, name, value)
                else:
                    self.__dict__[name] = value
        for name, value in (slots or {}).items():
            setattr(self, name, value)

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


def _handled_by_class(cls: type, name: str) -> bool:
    """Whether setting the attribute would run code of the class: its own
    __setattr__, or a data descriptor of that name."""
    if cls.__setattr__ is not object.__setattr__:
        return True
    for klass in cls.__mro__:
        if name in vars(klass):
            kind = type(vars(klass)[name])
            return hasattr(kind, "__set__") or hasattr(kind, "__delete__")
    return False


@dataclasses.dataclass(slots=True)
class _Life:
    """What the processes knew about the life being simulated, before the run
    set it on them as attributes; kept for what pickled one."""

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
    """A block of the population: people dealt to it from all over the
    population (tavlen.dealing), so that every block is a sample of the whole."""

    index: int
    #: The position of the block's first person in the run's order of the
    #: people (blocks follow each other in it); not an index into the
    #: population: ``people`` holds those.
    position: int
    size: int
    #: The block's entries of the population's arrays: "birth_year", "stratum"
    #: and the further properties, one per person of the block.
    properties: Mapping[str, np.ndarray]
    seed: int
    #: Each person's index in the population, ascending.
    people: np.ndarray = dataclasses.field(default_factory=lambda: np.zeros(0, dtype=np.int64))

    @property
    def first_person(self) -> int:
        """Gone: raises AttributeError, pointing to :attr:`people`."""
        # Blocks once held consecutive people from this one on; code that
        # sliced its own per-person arrays with it would now read other
        # people's values without a sound.
        raise AttributeError(
            "Block.first_person is gone: a block's people are dealt from all over the population and are not "
            "consecutive; block.people holds their indices in the population (index your own per-person arrays "
            "with it), and block.properties their properties"
        )

    def generator(self, name: str) -> np.random.Generator:
        """A NumPy generator for this block, seeded from the run's seed,
        the block's index and ``name``."""
        return np.random.Generator(np.random.PCG64(block_seed(self.seed, self.index, name, stream=1)))


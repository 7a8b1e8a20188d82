"""Explaining a modelling mistake in the run's terms: which snapshot was being
taken, the names that the run declares where a name was misspelt, and the
hop record's size. The module's own messages stay as they are; this adds
notes to them, after the fact, so the run loop pays nothing for it."""

from __future__ import annotations

import dataclasses
import math
import re
from collections.abc import Callable, Sequence
from typing import Any

from .configuration import COMBINING_CODE, CombinedSnapshots, Configuration, combining

__all__ = ["Mistakes", "snapshots_kept_at"]


def snapshots_kept_at(function: Callable[[Any], Any]) -> tuple[Callable[[Any], Any], list[float]]:
    """The run's snapshot function as the Individual calls it, and the list
    where it keeps the age of its last call. While snapshot functions run,
    the Individual's age is the snapshot's own (the age at a snapshot year
    for those); a snapshot that fails is then reported at that age, not at
    the age before the event that took it. A closure, since it runs at every
    snapshot of every life: a function is called faster than an object."""
    point = [-math.inf]
    if isinstance(function, CombinedSnapshots):
        return combining(function.functions, point), point

    def take_snapshot(individual: Any) -> Any:
        point[0] = individual.age
        return function(individual)

    return take_snapshot, point


_SNAPSHOT_CODE = (snapshots_kept_at(len)[0].__code__, COMBINING_CODE)


# The module's messages for the modelling mistakes that the driver explains.
_UNKNOWN_TAG = re.compile(
    r"tag (.*) not present among loggable (event|duration|individual event|snapshot) tags", re.DOTALL
)
_TAG_DECLARATIONS = {"event": "event_tags", "duration": "duration_tags",
                     "individual event": "event_individual_tags", "snapshot": "snapshot_tags"}
_SNAPSHOT_VALUES = (
    "Expected str, got ", "snapshot sum ", "an integer is required", "value too large to convert to int"
)
_OUT_OF_BOUNDS = "Out of bounds on buffer access (axis 0)"
_HOP_SLOTS = 256


@dataclasses.dataclass
class Mistakes:
    """Explains the errors of modelling mistakes in a block: the names that
    the run declares, and the snapshot that was being taken."""

    configuration: Configuration
    properties: list[str]
    block_properties: list[str]
    #: The age of the last snapshot, where the run has snapshot functions.
    snapshot: list[float] | None

    def where(self, error: Exception, individual: Any) -> str | None:
        """The snapshot being taken when the error came, if it came from one."""
        c = self.configuration
        if self.snapshot is None or not self._from_snapshot(error, self.snapshot[0], individual):
            return None
        age = self.snapshot[0]
        if age in c.snapshot_ages or not c.snapshot_years:
            return f"taking the snapshot at age {age:.6g}"
        birth = individual.year - individual.age
        year = min(c.snapshot_years, key=lambda year: abs(year - birth - age))
        return f"taking the snapshot of the year {year:.6g}, at age {age:.6g}"

    @staticmethod
    def _from_snapshot(error: Exception, age: float, individual: Any) -> bool:
        tb = error.__traceback__
        while tb is not None:
            if tb.tb_frame.f_code in _SNAPSHOT_CODE:
                return True  # raised by a snapshot function
            tb = tb.tb_next
        # Raised by the Individual on what the functions returned, once next_event
        # had set its age back: the age kept is this event's snapshot, not an earlier one.
        message = str(error)
        tag = _UNKNOWN_TAG.fullmatch(message)
        return age >= individual.age and (
            (tag is not None and tag[2] == "snapshot") or message.startswith(_SNAPSHOT_VALUES)
        )

    def explain(self, error: Exception, individual: Any) -> None:
        """Adds what the run declares to the errors of a misspelt or undeclared name,
        and the hop record's size to the error of one change of stratum too many."""
        message = str(error)
        if type(error) is Exception and (tag := _UNKNOWN_TAG.fullmatch(message)):
            kind, declared = tag[2], _TAG_DECLARATIONS[tag[2]]
            error.add_note(
                f"the run's {kind} tags are {_listed(getattr(self.configuration, declared))}; they are declared "
                f"in the {declared} of a process or given to Model.run as {declared}"
            )
        elif type(error) is KeyError and len(error.args) == 1 and isinstance(error.args[0], str):
            self._explain_unknown_name(error, error.args[0])
        elif type(error) is IndexError and message == _OUT_OF_BOUNDS and _hop_record_full(individual):
            error.add_note(
                f"hop_stratum records at most {_HOP_SLOTS} changes of stratum per person (in all its "
                f"universes together under preserve_stratum), and this was change {_HOP_SLOTS + 1}: "
                "hop only when the stratum changes"
            )

    def _explain_unknown_name(self, error: KeyError, name: str) -> None:
        generators = self.configuration.random_number_generators
        if name in generators:
            return
        if name in self.properties:
            error.add_note(f"{name!r} is a property of the population: individual.properties({name!r}) reads it")
        elif name in self.block_properties:
            error.add_note(f"{name!r} is a block property: individual.properties_tmp({name!r}) reads it")
        else:
            error.add_note(
                f"{name!r} is neither a property nor a random number generator of the run: its properties "
                f"are {_listed(self.properties)} (given to Model.run as properties), its block properties "
                f"{_listed(self.block_properties)} (made by the block_properties of a process), and its "
                f"random number generators {_listed(generators)} (declared in the random_number_generators "
                "of a process or given to Model.run as random_number_generators)"
            )


def _listed(names: Sequence[str]) -> str:
    return ", ".join(repr(name) for name in names) if names else "none"


def _hop_record_full(individual: Any) -> bool:
    """Whether the person's record of stratum changes is full, tried with one
    more change: the Individual is given up with the error that asks."""
    try:
        individual.hop_stratum(0)
    except IndexError as error:
        return str(error) == _OUT_OF_BOUNDS
    except Exception:
        return False
    return False

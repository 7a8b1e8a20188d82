"""tavlen: discrete-event microsimulation of population health, person by person.

Every person of a population is simulated once in each of several parallel
scenarios (universes). :class:`Individual` carries the whole state of a run:
the current person's event queue, the logs of events, durations and
individual-level events, and the snapshots taken at fixed ages and years.
"""

from .individual import Individual

__all__ = ["Individual"]

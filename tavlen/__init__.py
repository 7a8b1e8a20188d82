"""tavlen: discrete-event microsimulation of population health, person by person.

Every person of a population is simulated once in each of several parallel
scenarios (universes). A model is a list of :class:`Process` objects that
handle the events of each life; :meth:`Model.run` simulates the population
and returns :class:`Results`: event counts and durations by universe,
stratum, tag, year group and age group, snapshots at fixed ages and years,
and an individual-level event log. :class:`Individual` carries the state of
a run and is what every process call receives.
"""

from ._version import __version__
from .individual import Individual
from .model import Block, Model, ModelError, Process, block_seed, handles
from .results import Results, ResultsFileError
from .sweeps import SweepResults, sweep

__all__ = [
    "__version__", "Block", "Individual", "Model", "ModelError", "Process", "Results", "ResultsFileError",
    "SweepResults", "block_seed", "handles", "sweep",
]

"""tavlen: discrete-event microsimulation of population health, person by person.

Every person of a population is simulated once in each of several parallel
scenarios (universes). A model is a list of :class:`Process` objects that
handle the events of each life; :meth:`Model.run` simulates the population
and returns :class:`Results`: event counts and durations by universe,
stratum, tag, year group and age group, snapshots at fixed ages and years,
and an individual-level event log. :class:`Individual` carries the state of
a run and is what every process call receives.
"""

from __future__ import annotations

import importlib
import importlib.util
from typing import TYPE_CHECKING, Any

from ._version import __version__

# Each name is imported from its module when first used, so that importing
# the package costs nothing until then: `python -m tavlen` starts its
# workers' fork server before NumPy and the model load, and the two load
# side by side.
_HOMES = {
    "Individual": "individual", "Block": "model", "Model": "model", "ModelError": "model", "Process": "model",
    "block_seed": "model", "handles": "model", "Results": "results", "ResultsFileError": "results",
    "SubsampleWarning": "montecarlo", "SweepResults": "sweeps", "sweep": "sweeps",
    "evaluate": "economics", "Evaluation": "economics", "SweepEvaluation": "economics",
    "Acceptability": "economics", "Frontier": "economics.frontier", "one_way": "economics.oneway",
    "Tornado": "economics.oneway", "calibrate": "calibration", "Calibration": "calibration",
    "ParameterTable": "calibration",
}

# What users call, and the objects that calls hand them.
__all__ = [
    "__version__", "Acceptability", "Block", "Calibration", "Evaluation", "Frontier", "Individual", "Model",
    "ModelError", "ParameterTable", "Process", "Results", "ResultsFileError", "SubsampleWarning",
    "SweepEvaluation", "SweepResults", "Tornado", "block_seed", "calibrate", "evaluate", "handles", "one_way",
    "sweep",
]


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is not None:
        value = getattr(importlib.import_module(f".{home}", __name__), name)
        globals()[name] = value
        return value
    # A submodule, as `tavlen.demo` after `import tavlen` found it when the
    # package imported its modules up front.
    if name.isidentifier() and not name.startswith("__") and importlib.util.find_spec(f"{__name__}.{name}"):
        return importlib.import_module(f".{name}", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *_HOMES})


if TYPE_CHECKING:
    from .calibration import Calibration, ParameterTable, calibrate
    from .economics import Acceptability, Evaluation, SweepEvaluation, evaluate
    from .economics.frontier import Frontier
    from .economics.oneway import Tornado, one_way
    from .individual import Individual
    from .model import Block, Model, ModelError, Process, block_seed, handles
    from .montecarlo import SubsampleWarning
    from .results import Results, ResultsFileError
    from .sweeps import SweepResults, sweep

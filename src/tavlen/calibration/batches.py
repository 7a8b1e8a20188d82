"""Evaluating candidates: each batch is one sweep, every candidate and its
fit is kept in the history, and a checkpoint folder keeps the history so
that a calibration started again takes what it already evaluated.

A method asks for batches of points; the points already in the history
(evaluated before an interruption, or asked again) are answered from it,
and the others are simulated together as one sweep on one executor, all on
the calibration's seed (common random numbers). The methods are
deterministic given their seed and the answers, so a calibration started
again asks for the same points in the same order and ends as one that was
never stopped.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import logging
import math
import os
import shutil
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any

import numpy as np

from ..errors import ModelError, optional_import
from ..files import write_atomically
from ..modelcode import inventory
from ..sweeps import sweep
from .parameters import Parameter
from .targets import Target, subsample_results

__all__ = ["Candidate", "Evaluator"]

_LOG = logging.getLogger("tavlen")
_HISTORY_FILE = "calibration.json"
_FORMAT = "tavlen.calibration"


class Candidate:
    """One evaluated point: its values, its objective, and each target's simulated figures and Monte Carlo errors."""

    __slots__ = ("values", "objective", "simulated", "errors", "batch", "phase")

    def __init__(self, values: Sequence[float], objective: float, simulated: list[np.ndarray],
                 errors: list[np.ndarray], batch: int, phase: str) -> None:
        self.values = tuple(float(value) for value in values)
        self.objective, self.simulated, self.errors = float(objective), simulated, errors
        self.batch, self.phase = batch, phase

    def to_json(self) -> dict[str, Any]:
        return {"values": list(self.values), "objective": self.objective, "batch": self.batch, "phase": self.phase,
                "simulated": [part.tolist() for part in self.simulated], "errors": [part.tolist() for part in self.errors]}

    @classmethod
    def from_json(cls, kept: Mapping[str, Any]) -> Candidate:
        arrays = lambda parts: [np.array(part, dtype=np.float64) for part in parts]  # noqa: E731
        return cls(kept["values"], kept["objective"], arrays(kept["simulated"]), arrays(kept["errors"]),
                   int(kept["batch"]), str(kept["phase"]))


def variances(targets: Sequence[Target], errors: Sequence[np.ndarray]) -> list[np.ndarray]:
    """Each observed cell's variance in the objective: the observation's and the simulation's."""
    return [target.standard_error**2 + np.nan_to_num(error, nan=0.0) ** 2 for target, error in zip(targets, errors)]


def objective(targets: Sequence[Target], simulated: Sequence[np.ndarray], errors: Sequence[np.ndarray]) -> float:
    """The sum over every observed cell of (simulated - observed)^2 over
    both variances: -2 log-likelihood of Gaussian targets, up to a constant;
    infinite where a figure cannot be computed."""
    total = sum(float(np.sum((part - target.observed) ** 2 / variance))
                for target, part, variance in zip(targets, simulated, variances(targets, errors)))
    return total if math.isfinite(total) else math.inf


def log_likelihood(candidate: Candidate) -> float:
    """The Gaussian log-likelihood of the targets, up to a constant: the
    variances are the reference's, the same for every candidate."""
    return -0.5 * candidate.objective if math.isfinite(candidate.objective) else -math.inf


class Evaluator:
    """Evaluates batches of points as sweeps, keeping every candidate."""

    def __init__(self, build: Callable[..., Any], names: tuple[str, ...], targets: Sequence[Target],
                 birth_years: Any, options: dict[str, Any], seed: int, folder: str | None,
                 identity: dict[str, Any], budget: int, progress: bool) -> None:
        self.build, self.names, self.targets = build, names, tuple(targets)
        self.birth_years, self.options, self.seed = birth_years, options, seed
        self.folder, self.identity, self.budget = folder, identity, budget
        self.history: list[Candidate] = []
        self.labels: list[list[str]] | None = None
        self._index: dict[tuple[float, ...], int] = {}
        self._asked: set[tuple[float, ...]] = set()
        self._reference: list[np.ndarray] | None = None
        self._batches = 0
        self._bar: Any = None
        if folder is not None:
            self._resume(folder)
        if progress:
            tqdm = optional_import("tqdm", "progress", "a progress bar").tqdm
            self._bar = tqdm(total=budget, initial=min(len(self.history), budget), unit="candidates",
                             desc="calibration", mininterval=0, miniters=1)
            self._show_best()

    @property
    def spent(self) -> int:
        """Candidates asked for so far, whether simulated now or taken from the
        checkpoint: a resumed calibration spends its budget as the first did."""
        return len(self._asked)

    def best(self) -> Candidate:
        """The best candidate asked for so far: a resumed calibration's
        history holds the candidates that came later too, which the search
        has not reached again yet."""
        return min((self.history[self._index[row]] for row in self._asked), key=lambda candidate: candidate.objective)

    def candidate(self, values: Sequence[float]) -> Candidate:
        return self.history[self._index[tuple(float(value) for value in values)]]

    def __call__(self, points: Any, phase: str = "search") -> list[Candidate]:
        """The candidates of ``points`` (one row of values per candidate), simulating those never evaluated.
        The first candidate ever asked for is the first reference of the objective's variances."""
        rows = [tuple(float(value) for value in row) for row in np.atleast_2d(np.asarray(points, dtype=np.float64))]
        self._asked.update(rows)
        new = list(dict.fromkeys(row for row in rows if row not in self._index))
        if new:
            self._simulate(new, phase)
        if self._reference is None:
            self.reweight(self.history[self._index[rows[0]]])
        return [self.history[self._index[row]] for row in rows]

    def reweight(self, reference: Candidate) -> None:
        """Takes the simulation's Monte Carlo variances of ``reference`` into
        the objective of every candidate.

        Each candidate's own error is estimated from a handful of
        sub-samples, so it is itself noisy, and an objective divided by it
        would be rough and would favour candidates whose error came out
        large. Weights held fixed make the objective a smooth weighted
        sum of squares; a search takes them again at its best as it goes
        (a cell the reference cannot tell the error of keeps each
        candidate's own)."""
        self._reference = reference.errors
        for candidate in self.history:
            candidate.objective = objective(self.targets, candidate.simulated, self._errors(candidate))

    def variances(self) -> list[np.ndarray]:
        """The variance of every observed cell in the objective now."""
        assert self._reference is not None
        return variances(self.targets, self._reference)

    def _errors(self, candidate: Candidate) -> list[np.ndarray]:
        if self._reference is None:
            return candidate.errors
        return [np.where(np.isfinite(kept), kept, own) for kept, own in zip(self._reference, candidate.errors)]

    def _simulate(self, rows: list[tuple[float, ...]], phase: str) -> None:
        first = len(self.history)
        models = {f"c{first + i}": self.build(**dict(zip(self.names, row))) for i, row in enumerate(rows)}
        batch_folder = None if self.folder is None else os.path.join(self.folder, f"batch-{self._batches}")
        swept = sweep(models, self.birth_years, **self.options, seed=self.seed, checkpoint=batch_folder)
        if (swept[0].subsamples or 0) < 2:
            raise ModelError(f"a calibration weighs each target by the simulation's Monte Carlo error, which a run "
                             f"of {swept[0].subsamples} sub-sample cannot tell: give it at least two blocks "
                             "(a smaller block_size)")
        if self.labels is None:
            self.labels = [target.labels(swept[0]) for target in self.targets]
        for row, results in zip(rows, swept):
            parts = subsample_results(results)
            fits = [target.simulate(results, parts) for target in self.targets]
            simulated, errors = [fit[0] for fit in fits], [fit[1] for fit in fits]
            self._index[row] = len(self.history)
            candidate = Candidate(row, math.nan, simulated, errors, self._batches, phase)
            candidate.objective = objective(self.targets, simulated, self._errors(candidate))
            self.history.append(candidate)
        self._batches += 1
        if self.folder is not None:
            self._keep(self.folder)
            shutil.rmtree(batch_folder, ignore_errors=True)  # type: ignore[arg-type]
        if self._bar is not None:
            self._bar.update(max(0, min(len(self.history), self.budget) - self._bar.n))
            self._show_best()
        _LOG.info("calibration: %d candidates evaluated, best objective %.6g", len(self.history), self.best().objective)

    def _show_best(self) -> None:
        if self._bar is not None and self._asked:
            self._bar.set_postfix_str(f"best objective {self.best().objective:.6g}", refresh=True)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()

    # -- the checkpoint folder ----------------------------------------------

    def _keep(self, folder: str) -> None:
        content = {"format": _FORMAT, "identity": self.identity, "labels": self.labels, "batches": self._batches,
                   "history": [candidate.to_json() for candidate in self.history]}
        data = json.dumps(content).encode("utf-8")
        write_atomically(os.path.join(folder, _HISTORY_FILE), lambda file: file.write(data))

    def _resume(self, folder: str) -> None:
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, _HISTORY_FILE)
        try:
            with open(path, "rb") as file:
                kept = json.loads(file.read().decode("utf-8"))
        except FileNotFoundError:
            return
        except (OSError, ValueError) as error:
            raise ModelError(f"{path}: not a calibration's history ({error})") from error
        if not isinstance(kept, dict) or kept.get("format") != _FORMAT:
            raise ModelError(f"{path}: not a calibration's history")
        if kept.get("identity") != self.identity:
            differing = sorted(key for key in {*self.identity, *(kept.get("identity") or {})}
                               if (kept.get("identity") or {}).get(key) != self.identity.get(key))
            raise ModelError(f"the checkpoint folder {folder!r} holds another calibration: its {', '.join(differing)} "
                             "differ; give another folder, or remove this one to start again")
        self.history = [Candidate.from_json(candidate) for candidate in kept["history"]]
        self._index = {candidate.values: i for i, candidate in enumerate(self.history)}
        self.labels, self._batches = kept.get("labels"), int(kept["batches"])
        # A batch kept whole in the history whose sweep folder was not yet removed.
        for name in os.listdir(folder):
            if name.startswith("batch-") and name[6:].isdigit() and int(name[6:]) < self._batches:
                shutil.rmtree(os.path.join(folder, name), ignore_errors=True)
        _LOG.info("calibration: resumed with %d candidates from %s", len(self.history), folder)


def identity(build: Callable[..., Any], names: tuple[str, ...], laws: Sequence[Parameter], targets: Sequence[Target],
             birth_years: Any, options: Mapping[str, Any], seed: int, method: str, settings: Mapping[str, Any]) -> dict[str, Any]:
    """What a calibration's history depends on, as digests: a checkpoint
    folder of any other calibration is refused."""
    start = build(**{name: float(law.from_unit(law.unit_start())) for name, law in zip(names, laws)})
    code = inventory([build, *start.processes])

    def digest(*parts: Any) -> str:
        hasher = hashlib.blake2b(digest_size=16)
        _feed(hasher, parts)
        return hasher.hexdigest()

    return {
        "method": method,
        "settings": digest(sorted(settings.items())),
        "seed": seed,
        "parameters": digest(names, [(s.low, s.high, s.start, s.log, _prior_key(s.prior)) for s in laws]),
        "targets": digest(*(part for target in targets for part in (type(target).__name__, target.name, target.observed,
                                                                  sorted(vars(target).items(), key=str)))),
        "population": digest(np.asarray(birth_years, dtype=np.float64)),
        # How blocks are grouped into tasks changes no result, as in a run's checkpoint.
        "options": digest(sorted((k, v) for k, v in options.items() if k != "blocks_per_task")),
        "model": digest(repr([code.describe(process) for process in start.processes]), sorted(code.fingerprints.items())),
    }


def _prior_key(prior: Any) -> Any:
    """A prior as its distribution's name and arguments (a frozen distribution's repr holds its address)."""
    if prior is None:
        return None
    dist = getattr(prior, "dist", None)
    return (getattr(dist, "name", type(prior).__qualname__), getattr(prior, "args", ()), getattr(prior, "kwds", {}))


def _feed(hasher: Any, value: Any) -> None:
    """Feeds a value to a digest: arrays by content, functions by name (their
    code is the model's fingerprint's), containers item by item."""
    if isinstance(value, np.ndarray):
        hasher.update(f"array {value.dtype.str}{value.shape}".encode())
        hasher.update(np.ascontiguousarray(value).tobytes())
    elif isinstance(value, (list, tuple)):
        hasher.update(f"{type(value).__name__} {len(value)}".encode())
        for item in value:
            _feed(hasher, item)
    elif isinstance(value, Mapping):
        _feed(hasher, sorted(value.items(), key=str))
    elif callable(value):
        hasher.update(f"callable {getattr(value, '__module__', '')}.{getattr(value, '__qualname__', type(value).__qualname__)}".encode())
    else:
        hasher.update(repr(value).encode())


@contextlib.contextmanager
def closing(evaluator: Evaluator) -> Iterator[Evaluator]:
    try:
        yield evaluator
    finally:
        evaluator.close()

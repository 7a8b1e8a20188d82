"""tavlen.calibrate: the unknowns of a model fitted to what was observed."""

from __future__ import annotations

import concurrent.futures
import contextlib
import inspect
import json
import os
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ..configuration import positive_int
from ..errors import ModelError
from ..model import Model
from .batches import Evaluator, closing, identity, log_likelihood
from .methods import curvature, global_search, nelder_mead, posterior
from .outcome import Calibration
from .parameters import Parameter, parameter_list
from .targets import Target

__all__ = ["METHODS", "calibrate"]

#: The methods, and the candidates each evaluates unless given a budget.
METHODS = {"nelder-mead": 200, "optuna": 200, "emcee": 2000}

#: Options of Model.run that the calibration sets itself.
_OWN_OPTIONS = ("seed", "checkpoint", "progress", "workers", "executor")


def calibrate(
    build: Callable[..., Model],
    parameters: Mapping[str, Parameter | tuple[float, float]],
    targets: Sequence[Target],
    birth_years: npt.ArrayLike,
    *,
    method: str = "nelder-mead",
    budget: int | None = None,
    seed: int | None = None,
    checkpoint: str | os.PathLike[str] | None = None,
    progress: bool = False,
    workers: int | None = None,
    executor: concurrent.futures.Executor | None = None,
    batch: int = 8,
    walkers: int | None = None,
    burn: float = 0.5,
    sampler: Any = None,
    polish: int = 100,
    curvature_step: float = 0.02,
    **options: Any,
) -> Calibration:
    """Fits the unknowns of a model to observed targets.

    ``build(**values)`` (``build``, any callable) returns the :class:`Model` at the values of the
    ``parameters`` (a mapping from names to :class:`Parameter`, or to
    ``(low, high)`` bounds). ``targets`` are what was observed
    (:class:`EventRate`, :class:`EventShare`, :class:`StateShare`,
    :class:`Count`, :class:`MeanDuration`, :class:`Statistic`). Each
    candidate is run on ``birth_years`` with ``options`` (those of
    :meth:`Model.run`: universes, groups, block size, sub-samples, ...),
    and scored by the objective: over every observed cell, the squared
    difference of simulated and observed over the sum of the observation's
    variance and the simulation's Monte Carlo variance (from the run's
    sub-samples, of which it needs 2 or more), the latter that of a
    reference candidate, the same for all: the start of each Nelder-Mead
    simplex, then the best values.

    ``method``:

    - "nelder-mead" (SciPy): a local search from the parameters' starts;
    - "optuna": a global search by Optuna's sampler (TPE unless ``sampler``
      is given), ``batch`` candidates at a time, then Nelder-Mead from its
      best (at most ``polish`` candidates);
    - "emcee": a posterior sample, by emcee's ensemble sampler (``walkers``)
      on the prior times the targets' Gaussian likelihood, the first
      ``burn`` share of the chain dropped, with its effective sample size.
      The walkers start around the best fit of a Nelder-Mead search (at
      most ``polish`` candidates), spread as its curvature says.

    ``budget`` caps the candidates of the search, or of the chain (200 for
    the optimisers, 2,000 for the posterior); the standard errors from the
    objective's curvature take 2 x d more, and the polish or the start of
    the chain its own; ``curvature_step`` is the step, as a share of each
    parameter's range in the search's unit cube, at which that curvature is
    measured.

    Every candidate runs on the same ``seed`` (common random numbers: the
    simulated targets move smoothly with the values), each batch of
    candidates as one sweep on one executor (``workers=N`` starts one pool
    for the whole calibration, or give an ``executor``; ``workers`` and
    ``executor`` change no result), so a calibration is
    reproducible, bit for bit, from its seed. ``progress`` shows the
    candidates evaluated and the best objective so far. ``checkpoint``
    names a folder that keeps the history of the candidates and the blocks
    of the batch under way: the same calibration started again takes what
    it kept and gives the same history and answer as one never stopped.
    """
    if method not in METHODS:
        raise ModelError(f"method is one of {list(METHODS)}, not {method!r}")
    names, laws = parameter_list(parameters)
    targets = _targets(targets)
    budget = positive_int(METHODS[method] if budget is None else budget, "budget")
    folder = None if checkpoint is None else os.fspath(checkpoint)
    options = _run_options(options)
    if seed is None and folder is not None:
        seed = _kept_seed(folder)
    if seed is None:
        seed = int(np.random.SeedSequence().entropy)  # type: ignore[arg-type]
    polish, batch = positive_int(polish, "polish"), positive_int(batch, "batch")
    if not 0.0 < curvature_step <= 0.5:
        raise ModelError(f"curvature_step is a share of each parameter's range, above 0 and at most 0.5, got {curvature_step!r}")
    settings = {"budget": budget, "polish": polish, "batch": batch, "walkers": walkers, "burn": burn, "curvature_step": curvature_step,
                "sampler": None if sampler is None else type(sampler).__qualname__}
    kept = identity(build, names, laws, targets, birth_years, options, seed, method, settings)
    with _executor(executor, workers) as where, _resume_note_on_interrupt(folder):
        evaluator = Evaluator(build, names, targets, birth_years, {**options, "executor": where}, seed, folder, kept,
                              budget, progress)
        with closing(evaluator):
            covariance = chain = None
            if method == "optuna":
                found = global_search(evaluator, names, laws, budget, seed, batch=batch, sampler=sampler)
                best = nelder_mead(evaluator, laws, polish, start=found)
            else:
                best = nelder_mead(evaluator, laws, budget if method == "nelder-mead" else polish)
            covariance = curvature(evaluator, laws, best, curvature_step)
            if method == "emcee":
                chain = posterior(evaluator, laws, budget, seed, best, covariance, walkers=walkers, burn=burn)
                best = max(zip(chain.units, chain.candidates), key=lambda pair: _log_posterior(laws, targets, *pair))[1]
    return Calibration(method, names, laws, targets, evaluator.labels or [], evaluator.history, best, seed, build,
                       covariance=covariance, chain=chain)


@contextlib.contextmanager
def _resume_note_on_interrupt(folder: str | None) -> Iterator[None]:
    try:
        yield
    except (KeyboardInterrupt, SystemExit) as interrupt:
        interrupt.add_note(
            f"the calibration's history is kept in the checkpoint folder {folder!r}, and the same calibration "
            "started again with this folder resumes it" if folder is not None
            else "the calibration kept none of its candidates: one given a checkpoint folder keeps them and "
            "resumes from them when started again")
        raise


def _log_posterior(laws: Sequence[Parameter], targets: Sequence[Target], unit: np.ndarray, candidate: Any) -> float:
    prior = sum(float(law.log_prior_unit(unit[i])) for i, law in enumerate(laws))
    return prior + log_likelihood(candidate)


def _targets(targets: Sequence[Target]) -> tuple[Target, ...]:
    if isinstance(targets, Target):
        targets = (targets,)
    targets = tuple(targets)
    if not targets:
        raise ModelError("a calibration needs at least one target")
    for target in targets:
        if not isinstance(target, Target):
            raise TypeError(f"a target is a tavlen.calibration target (EventRate, Statistic, ...), not {type(target).__name__}")
    names = [target.name for target in targets]
    repeated = sorted({name for name in names if names.count(name) > 1})
    if repeated:
        raise ModelError(f"every target needs a name of its own (name=...); repeated: {repeated}")
    return targets


def _run_options(options: dict[str, Any]) -> dict[str, Any]:
    known = [name for name, p in inspect.signature(Model.run).parameters.items() if p.kind is p.KEYWORD_ONLY]
    for name in options:
        if name not in known or name in _OWN_OPTIONS:
            raise TypeError(f"calibrate() got an unexpected keyword argument {name!r}")
    subsamples = options.get("subsamples", inspect.signature(Model.run).parameters["subsamples"].default)
    if positive_int(subsamples, "subsamples") < 2:
        raise ModelError("a calibration weighs each target by the simulation's Monte Carlo error, which needs "
                         "subsamples of 2 or more")
    return dict(options)


@contextlib.contextmanager
def _executor(executor: concurrent.futures.Executor | None, workers: int | None) -> Iterator[Any]:
    """The one executor of every batch: the caller's, one pool of ``workers`` for the whole calibration, or none."""
    if executor is not None and workers is not None:
        raise ModelError("give either an executor or a number of workers, not both")
    if executor is not None or workers is None or positive_int(workers, "workers") == 1:
        yield executor
        return
    from ..pools import ended_at_once_on_failure, process_pool

    with process_pool(workers) as pool, ended_at_once_on_failure(pool):
        yield pool


def _kept_seed(folder: str) -> int | None:
    try:
        with open(os.path.join(folder, "calibration.json"), "rb") as file:
            seed = json.loads(file.read().decode("utf-8"))["identity"]["seed"]
    except (OSError, ValueError, KeyError, TypeError):
        return None
    return seed if type(seed) is int and seed >= 0 else None

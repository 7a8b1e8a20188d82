"""The search methods: Nelder-Mead from a start, a global search by
Optuna's samplers, and a posterior sample by an affine-invariant ensemble
MCMC (emcee) on the targets' Gaussian likelihood.

Each moves in the unit cube of the parameters (see :mod:`.parameters`) and
asks an :class:`~.batches.Evaluator` for batches of candidates.

Why MCMC on the Gaussian likelihood for the posterior: with common random
numbers the simulated targets are a smooth function of continuous
parameters, so the likelihood is a smooth surface and an ensemble sampler
mixes on it as on any posterior, where approximate Bayesian computation
would spend most of its simulations on rejected draws. The likelihood's
variance is the observation's plus the simulation's Monte Carlo error, so
the one fixed stream of random numbers (a noise shared by every candidate)
is counted as the noise it is, and the credible intervals keep their
coverage.
"""

from __future__ import annotations

import contextlib
import math
from collections.abc import Iterator, Sequence
from typing import Any

import numpy as np

from ..errors import ModelError, optional_import
from .batches import Candidate, Evaluator, log_likelihood
from .parameters import Parameter

__all__ = ["curvature", "global_search", "nelder_mead", "posterior"]


def values_of(laws: Sequence[Parameter], units: Any) -> np.ndarray:
    """Points of the unit cube (one per row) as the parameters' values."""
    units = np.atleast_2d(np.asarray(units, dtype=np.float64))
    return np.column_stack([law.from_unit(units[:, i]) for i, law in enumerate(laws)])


def nelder_mead(evaluate: Evaluator, laws: Sequence[Parameter], budget: int, *, start: Candidate | None = None,
                step: float = 0.1, xatol: float = 1e-3, fatol: float = 1e-2, restarts: int = 3) -> Candidate:
    """Nelder-Mead (SciPy) inside the bounds, from the parameters' starts or
    from the candidate ``start``, each simplex's first vertices one batch.

    A simplex can collapse on a ridge (correlated parameters, as a Gompertz
    law's two) short of the minimum, so the search starts again from its
    best with a fresh simplex, up to ``restarts`` times, while that still
    lowers the objective by ``fatol`` and the budget lasts."""
    optimize = optional_import("scipy.optimize", "calibration", "calibrate(method='nelder-mead')")
    point = np.array([law.unit_start() for law in laws]) if start is None else units_of(laws, start)
    spent = evaluate.spent
    for _ in range(1 + restarts):
        left = budget - (evaluate.spent - spent)
        if left <= len(laws) + 1:
            break
        simplex = [point]
        for i in range(len(laws)):
            vertex = point.copy()
            vertex[i] += step if point[i] + step <= 1.0 else -step
            simplex.append(vertex)
        # Each simplex weighs the targets by the Monte Carlo errors at its start.
        evaluate.reweight(evaluate(values_of(laws, simplex))[0])
        best = evaluate.best().objective

        def objective(unit: np.ndarray) -> float:
            return evaluate(values_of(laws, np.clip(unit, 0.0, 1.0)))[0].objective

        optimize.minimize(objective, point, method="Nelder-Mead", bounds=[(0.0, 1.0)] * len(laws),
                          options={"initial_simplex": np.array(simplex), "maxfev": left, "xatol": xatol, "fatol": fatol})
        found = evaluate.best()
        if not found.objective < best - fatol:
            break
        point = units_of(laws, found)
    return evaluate.best()


def units_of(laws: Sequence[Parameter], candidate: Candidate) -> np.ndarray:
    """A candidate's point of the unit cube."""
    return np.array([float(law.to_unit(value)) for law, value in zip(laws, candidate.values)])


def curvature(evaluate: Evaluator, laws: Sequence[Parameter], best: Candidate, step: float = 0.02) -> np.ndarray:
    """The covariance of the fit from the curvature of the objective at the
    best values: with the targets' Jacobian J (central differences, one
    batch of 2 x d candidates) and their variances V, the inverse of the
    Gauss-Newton information J' V^-1 J. A parameter the targets do not
    move gets an infinite variance. The objective is weighed at ``best`` from here on."""
    evaluate.reweight(best)
    centre = units_of(laws, best)
    points = []
    for i in range(len(laws)):
        for sign in (-1.0, 1.0):
            point = centre.copy()
            point[i] = np.clip(centre[i] + sign * step, 0.0, 1.0)
            points.append(point)
    candidates = evaluate(values_of(laws, points), phase="curvature")
    weights = 1.0 / np.concatenate(evaluate.variances())
    columns = []
    for i in range(len(laws)):
        low, high = candidates[2 * i], candidates[2 * i + 1]
        columns.append((np.concatenate(high.simulated) - np.concatenate(low.simulated)) / (high.values[i] - low.values[i]))
    jacobian = np.column_stack(columns)
    information = jacobian.T @ (weights[:, None] * jacobian)
    if not np.isfinite(information).all():
        return np.full(information.shape, np.inf)
    try:
        covariance = np.linalg.inv(information)
    except np.linalg.LinAlgError:
        return np.full(information.shape, np.inf)
    flat = np.diag(information) <= 0
    covariance[flat, :] = covariance[:, flat] = np.inf
    return covariance


@contextlib.contextmanager
def _quiet(optuna: Any) -> Iterator[None]:
    """Optuna reports every trial at INFO; the calibration reports its own progress."""
    verbosity = optuna.logging.get_verbosity()
    optuna.logging.set_verbosity(optuna.logging.WARNING)
    try:
        yield
    finally:
        optuna.logging.set_verbosity(verbosity)


def global_search(evaluate: Evaluator, names: Sequence[str], laws: Sequence[Parameter], budget: int, seed: int,
                  *, batch: int = 8, sampler: Any = None) -> Candidate:
    """Optuna's sampler (TPE, seeded from the calibration's seed, unless
    ``sampler`` is given) over the bounds, ``batch`` candidates at a time.
    A global sampler finds the basin, not its floor: follow it with
    :func:`nelder_mead` from its best."""
    optuna = optional_import("optuna", "calibration", "calibrate(method='optuna')")
    with _quiet(optuna):
        sampler = sampler if sampler is not None else optuna.samplers.TPESampler(seed=seed % 2**32)
        study = optuna.create_study(direction="minimize", sampler=sampler)
        distributions = {name: optuna.distributions.FloatDistribution(law.low, law.high, log=law.log)
                         for name, law in zip(names, laws)}
        asked = 0
        while asked < budget:
            trials = [study.ask(distributions) for _ in range(min(batch, budget - asked))]
            asked += len(trials)
            candidates = evaluate([[trial.params[name] for name in names] for trial in trials])
            for trial, candidate in zip(trials, candidates):
                if math.isfinite(candidate.objective):
                    study.tell(trial, candidate.objective)
                else:
                    study.tell(trial, state=optuna.trial.TrialState.FAIL)
    return evaluate.best()


class Chain:
    """A posterior sample: the kept points (in the unit cube), their candidates, and how well the chain mixed."""

    def __init__(self, units: np.ndarray, candidates: list[Candidate], autocorrelation: np.ndarray,
                 acceptance: float, walkers: int, steps: int, burn: int) -> None:
        self.units, self.candidates = units, candidates
        self.autocorrelation, self.acceptance = autocorrelation, acceptance
        self.walkers, self.steps, self.burn = walkers, steps, burn

    @property
    def effective_sample_size(self) -> np.ndarray:
        """Per parameter: the kept draws over the integrated autocorrelation time."""
        return len(self.units) / np.maximum(self.autocorrelation, 1.0)


def posterior(evaluate: Evaluator, laws: Sequence[Parameter], budget: int, seed: int, centre: Candidate,
              covariance: np.ndarray, *, walkers: int | None = None, burn: float = 0.5) -> Chain:
    """emcee's ensemble sampler on the prior times the targets' Gaussian
    likelihood: ``walkers`` (default max(4 d, 16), even) walkers for
    ``budget // walkers - 1`` steps, the first ``burn`` share dropped.

    The walkers start around the best fit ``centre``, drawn from the normal
    law of its ``covariance`` (from the curvature): a chain started where
    the posterior is spends its steps sampling it, where walkers spread
    over the prior take long to find it (and walkers started where a
    target cannot be computed never move)."""
    emcee = optional_import("emcee", "calibration", "calibrate(method='emcee')")
    d = len(laws)
    walkers = max(4 * d, 16) if walkers is None else int(walkers)
    walkers += walkers % 2
    if walkers < 2 * d:
        raise ModelError(f"an ensemble of {d} parameters needs at least {2 * d} walkers, got {walkers}")
    steps = budget // walkers - 1
    if steps < 10:
        raise ModelError(f"a budget of {budget} candidates gives {walkers} walkers {max(steps, 0)} steps; "
                         f"give a budget of at least {11 * walkers}")
    if not 0.0 <= burn < 1.0:
        raise ModelError(f"burn is the share of the chain dropped, from 0 to below 1, got {burn!r}")
    random = np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(0xCA11B,)))
    visited: dict[tuple[float, ...], Candidate] = {}

    def log_probability(units: np.ndarray) -> np.ndarray:
        prior = np.sum([law.log_prior_unit(units[:, i]) for i, law in enumerate(laws)], axis=0)
        inside = np.flatnonzero(np.isfinite(prior))
        if len(inside):
            for row, candidate in zip(inside, evaluate(values_of(laws, units[inside]), phase="chain")):
                visited[tuple(units[row])] = candidate
                prior[row] += log_likelihood(candidate)
        return prior

    sampler = emcee.EnsembleSampler(walkers, d, log_probability, vectorize=True)
    sampler.random_state = np.random.RandomState(random.integers(2**32)).get_state()
    sampler.run_mcmc(_initial(laws, walkers, random, centre, covariance), steps, progress=False)
    kept_from = int(burn * steps)
    chain = sampler.get_chain()[kept_from:]  # step, walker, parameter
    autocorrelation = emcee.autocorr.integrated_time(chain, tol=0, quiet=True)
    units = chain.reshape(-1, d)
    return Chain(units, [visited[tuple(row)] for row in units], np.asarray(autocorrelation, dtype=np.float64),
                 float(np.mean(sampler.acceptance_fraction)), walkers, steps, kept_from)


def _initial(laws: Sequence[Parameter], walkers: int, random: np.random.Generator, centre: Candidate,
             covariance: np.ndarray) -> np.ndarray:
    """The walkers' first points: normal around the best fit, inside the
    bounds. The covariance goes to the unit cube through the derivative of
    each parameter's map; a parameter without a finite variance gets a
    spread of a twentieth of its range."""
    middle = units_of(laws, centre)
    scale = np.array([1.0 / (value * np.log(law.high / law.low)) if law.log else 1.0 / (law.high - law.low)
                      for law, value in zip(laws, centre.values)])
    unit_covariance = covariance * np.outer(scale, scale)
    if not np.isfinite(unit_covariance).all():
        unit_covariance = np.diag(np.where(np.isfinite(np.diag(unit_covariance)), np.diag(unit_covariance), 0.05**2))
    unit_covariance = np.nan_to_num(unit_covariance, nan=0.0, posinf=0.0, neginf=0.0)
    unit_covariance += np.eye(len(laws)) * 1e-10
    points = random.multivariate_normal(middle, unit_covariance, size=walkers, method="eigh")
    # Reflected into the cube, so that no walker starts where the prior is nil.
    points = np.abs(points)
    points = 1.0 - np.abs(1.0 - points)
    return np.clip(points, 0.0, 1.0)

"""The value of information: what knowing the parameters would be worth.

With the net benefits ``benefit[m, s]`` of strategy s in model m (one
model per draw of the parameters), the decision now takes the strategy of
the highest mean; knowing the parameters, one would take the best in each
model. The expected value of perfect information (EVPI) per person is the
difference, mean_m max_s benefit - max_s mean_m benefit.

Knowing only a group of parameters θ, one would take the strategy of the
highest E[benefit | θ]. The expected value of partial perfect information
(EVPPI) estimates that conditional mean by regressing each strategy's net
benefit, less that of the first, on θ over the models: a penalised
regression spline (cubic B-splines on the parameters' ranks, a tensor
product for a group, with a second-difference penalty whose weight
generalised cross-validation chooses). The penalty leaves a straight line
free, so a parameter unrelated to the benefit costs about two degrees of
freedom, and the bias that fitting noise adds stays small. Fitted values
from a few models are mostly noise: EVPPI is given only from
:data:`EVPPI_MIN_MODELS` models on, with at least four models per term
of the regression, for groups of up to :data:`EVPPI_MAX_GROUP`.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence

import numpy as np
import numpy.typing as npt

__all__ = ["EVPPI_MAX_GROUP", "EVPPI_MIN_MODELS", "evpi", "evppi", "evppi_unreliable_reason", "population_factor"]

#: The fewest models (draws) from which EVPPI is estimated, and the largest group of parameters.
EVPPI_MIN_MODELS = 200
EVPPI_MAX_GROUP = 4
#: Basis functions per parameter: a cubic spline of up to 20, fewer in a group so that the product stays small.
_MAX_BASIS = 20
_MAX_COLUMNS = 400
#: Penalty weights that cross-validation tries, relative to the basis's own scale.
_PENALTIES = np.logspace(-6, 8, 57)


def evpi(benefit: npt.ArrayLike) -> float:
    """EVPI per person from ``benefit[model, strategy]``: the mean of the
    per-model maximum less the maximum of the means (0 or more)."""
    return _regret(_benefit(benefit))


def _regret(values: np.ndarray) -> float:
    """The mean shortfall of the strategy of the highest mean against each
    model's best: the EVPI, computed so that it is exactly 0 when that
    strategy is best in every model."""
    decision = int(values.mean(axis=0).argmax())
    return float((values.max(axis=1) - values[:, decision]).mean())


def population_factor(people_per_year: float, years: float, discount_rate: float = 0.0) -> float:
    """The discounted number of people a decision affects: ``people_per_year``
    arriving evenly over ``years``, each discounted as the evaluation
    discounts, by (1 + rate) ** -t at time t from now."""
    for value, name in ((people_per_year, "people_per_year"), (years, "years")):
        if not (isinstance(value, (int, float)) and math.isfinite(value) and value >= 0):
            raise ValueError(f"{name} must be a finite number of 0 or more, got {value!r}")
    if not (isinstance(discount_rate, (int, float)) and math.isfinite(discount_rate) and discount_rate > -1):
        raise ValueError(f"discount_rate is an annual rate above -1 (-100%), got {discount_rate!r}")
    if discount_rate == 0.0:
        return float(people_per_year * years)
    force = math.log1p(discount_rate)
    return float(people_per_year * -math.expm1(-force * years) / force)


def evppi_unreliable_reason(models: int, parameters: int = 1) -> str | None:
    """Why EVPPI of a group of ``parameters`` from ``models`` models would
    be noise rather than a figure, or None when it can be estimated."""
    if models < EVPPI_MIN_MODELS:
        return (f"EVPPI needs at least {EVPPI_MIN_MODELS} models (parameter draws) to tell the value of a "
                f"parameter from the noise of fitting it; this sweep has {models}")
    if parameters > EVPPI_MAX_GROUP:
        return (f"EVPPI of a group of more than {EVPPI_MAX_GROUP} parameters is not estimated: its regression "
                f"would need more terms than it keeps; give at most {EVPPI_MAX_GROUP} parameters at a time")
    if _basis_size(models, parameters) < 4:
        return (f"EVPPI of a group of {parameters} parameters needs at least {4 * 4**parameters:,} models (four per "
                f"term of its regression); this sweep has {models}")
    return None


def evppi(benefit: npt.ArrayLike, parameters: Mapping[str, npt.ArrayLike] | Sequence[npt.ArrayLike] | npt.ArrayLike) -> float:
    """EVPPI per person of a parameter or a group: ``benefit[model,
    strategy]`` and the parameters' values in each model (one array of
    values per parameter, aligned with the models). Raises ValueError when
    the models are too few for a figure (:func:`evppi_unreliable_reason`)."""
    values = _benefit(benefit)
    columns = _parameters(parameters, len(values))
    reason = evppi_unreliable_reason(len(values), columns.shape[1])
    if reason is not None:
        raise ValueError(reason)
    smoother = _Smoother(*_spline_basis(columns))
    fitted = np.zeros_like(values)
    for s in range(1, values.shape[1]):
        fitted[:, s] = smoother.fit(values[:, s] - values[:, 0])
    # The first strategy is the baseline of the differences: its conditional mean adds to every one alike.
    # Knowing some parameters is worth no more than knowing all: a fit that overshoots is held to the EVPI.
    return min(_regret(fitted), _regret(values))


# ---------------------------------------------------------------------------
# The regression


def _benefit(benefit: npt.ArrayLike) -> np.ndarray:
    values = np.asarray(benefit, dtype=np.float64)
    if values.ndim != 2 or values.shape[0] < 1 or values.shape[1] < 1:
        raise ValueError(f"net benefits must be an array of models by strategies, got shape {values.shape}")
    if not np.isfinite(values).all():
        raise ValueError("net benefits must be finite")
    return values


def _parameters(parameters: object, models: int) -> np.ndarray:
    if isinstance(parameters, Mapping):
        arrays = list(parameters.values())
    elif isinstance(parameters, np.ndarray) and parameters.ndim == 1:
        arrays = [parameters]
    else:
        arrays = list(parameters)  # type: ignore[call-overload]
        if arrays and np.ndim(arrays[0]) == 0:
            arrays = [arrays]
    if not arrays:
        raise ValueError("EVPPI needs at least one parameter")
    columns = np.column_stack([np.asarray(a, dtype=np.float64) for a in arrays])
    if columns.shape[0] != models:
        raise ValueError(f"each parameter needs one value per model ({models}), got {columns.shape[0]}")
    if not np.isfinite(columns).all():
        raise ValueError("the parameters' values must be finite")
    return columns


def _basis_size(models: int, parameters: int) -> int:
    budget = min(_MAX_COLUMNS, models // 4)
    return int(min(_MAX_BASIS, math.floor(budget ** (1.0 / parameters) + 1e-9)))


def _ranks(column: np.ndarray) -> np.ndarray:
    """Each value's mid-rank scaled into (0, 1): knots at quantiles, ties kept together."""
    order = np.argsort(column, kind="stable")
    ranks = np.empty(len(column))
    ranks[order] = np.arange(len(column))
    unique, inverse = np.unique(column, return_inverse=True)
    mean_rank = np.bincount(inverse, weights=ranks) / np.bincount(inverse)
    return (mean_rank[inverse] + 0.5) / len(column)


def _bspline(x: np.ndarray, size: int) -> np.ndarray:
    """The ``size`` cubic B-splines on equally spaced knots over [0, 1], at ``x``."""
    inner = size - 3
    knots = np.linspace(-3.0 / inner, 1.0 + 3.0 / inner, size + 4)
    basis = ((knots[:-1, None] <= x) & (x < knots[1:, None])).astype(np.float64)  # degree 0
    for degree in range(1, 4):
        left = (x - knots[: -degree - 1, None]) / (knots[degree:-1, None] - knots[: -degree - 1, None])
        right = (knots[degree + 1 :, None] - x) / (knots[degree + 1 :, None] - knots[1:-degree, None])
        basis = left * basis[:-1] + right * basis[1:]
    return basis.T


def _spline_basis(columns: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The tensor product of each parameter's B-splines, and the sum of
    each direction's second-difference penalty."""
    models, count = columns.shape
    size = _basis_size(models, count)
    bases = [_bspline(_ranks(columns[:, p]), size) for p in range(count)]
    basis = bases[0]
    for other in bases[1:]:
        basis = (basis[:, :, None] * other[:, None, :]).reshape(models, -1)
    second = np.diff(np.eye(size), n=2, axis=0)
    one = second.T @ second
    penalty = np.zeros((size**count, size**count))
    for p in range(count):
        factors = [np.eye(size)] * count
        factors[p] = one
        term = factors[0]
        for factor in factors[1:]:
            term = np.kron(term, factor)
        penalty += term
    return basis, penalty


class _Smoother:
    """Penalised least squares on one basis: the decomposition is made once,
    then every fit's penalty weight is chosen by generalised cross-validation."""

    def __init__(self, basis: np.ndarray, penalty: np.ndarray) -> None:
        gram = basis.T @ basis
        ridge = 1e-10 * np.trace(gram) / len(gram)  # cells of a tensor product may hold no model
        self.inverse = np.linalg.inv(np.linalg.cholesky(gram + ridge * np.eye(len(gram))))
        # In the basis that whitens the Gram matrix the penalty is diagonal: every weight costs one pass.
        scale, self.rotation = np.linalg.eigh(self.inverse @ penalty @ self.inverse.T)
        weights = _PENALTIES * (np.trace(gram) / np.trace(penalty))
        self.shrink = 1.0 / (1.0 + weights[:, None] * np.maximum(scale, 0.0)[None, :])  # weight, direction
        self.basis = basis

    def fit(self, y: np.ndarray) -> np.ndarray:
        """The fitted values of ``y`` at the data."""
        n = len(y)
        projected = self.rotation.T @ (self.inverse @ (self.basis.T @ y))
        residual_outside = float(y @ y - projected @ projected)
        freedom = self.shrink.sum(axis=1)
        rss = residual_outside + (((1.0 - self.shrink) * projected) ** 2).sum(axis=1)
        score = n * rss / np.maximum(n - freedom, 1.0) ** 2
        best = self.shrink[int(np.argmin(score))]
        return self.basis @ (self.inverse.T @ (self.rotation @ (best * projected)))

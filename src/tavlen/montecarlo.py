"""The Monte Carlo error of a run's totals, from its sub-samples.

A run deals its blocks into K sub-samples (block b into sub-sample b mod K)
and keeps each sub-sample's sums beside the totals. Blocks are simulated
independently and each is dealt people from all over the population
(:mod:`tavlen.dealing`), so the sub-sample sums are K independent estimates
of the same per-person mean, each scaled by its number of people, however
the population is ordered; their spread is the run's Monte Carlo error.

The estimator. Sub-sample k has n_k people and sum S_k; N = sum n_k and
T = sum S_k. With S_k = n_k m + e_k and Var(e_k) = n_k s^2 (people
independent, sub-samples alike in make-up, as dealing people into blocks
makes them), the residuals r_k = S_k - n_k T / N give the unbiased

    s^2 = sum_k r_k^2 / n_k / (K - 1),    Var(T) = N s^2,

so ``standard_error = sqrt(N / (K - 1) * sum_k r_k^2 / n_k)``. With equal
sub-samples this is the familiar sqrt(K / (K - 1) * sum_k (S_k - mean S)^2);
weighting by n_k keeps it unbiased when the last block, and with it one
sub-sample, is shorter. (T / sqrt(Var)) follows Student's t with K - 1
degrees of freedom, which is what the intervals use.
"""

from __future__ import annotations

import math
import statistics
import warnings
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

__all__ = ["AGGREGATES", "SubsampleErrors", "SubsampleWarning", "covariance", "ratio_interval", "interval_half_width", "standard_error", "student_t_quantile", "subsample_count", "subsample_people"]

#: The aggregates of a run's results, which its sub-samples sum: the four
#: logs, and the events and durations discounted at their exact time.
AGGREGATES = ("events", "durations", "snapshots_ages", "snapshots_years", "discounted_events", "discounted_durations")

#: The number of sub-samples a run keeps unless told otherwise.
DEFAULT_SUBSAMPLES = 10


def subsample_count(requested: int, blocks_n: int) -> int:
    """The sub-samples a run uses: as many as asked, but no more than it
    has blocks (and at least one); a warning says when that is fewer than
    asked. (A run of one block has no error at all, which its tables say.)"""
    if 1 < blocks_n < requested:
        warnings.warn(
            f"the run has {blocks_n} blocks for subsamples={requested}, so its Monte Carlo error comes from "
            f"{blocks_n} sub-samples; give a smaller block_size (at most the number of people / {requested}) "
            "or fewer subsamples", SubsampleWarning, stacklevel=3)
    return max(1, min(requested, blocks_n))


class SubsampleWarning(UserWarning):
    """A run keeps fewer sub-samples than it was asked for."""


def subsample_people(block_sizes: npt.ArrayLike, subsamples: int) -> np.ndarray:
    """People per sub-sample when block b goes to sub-sample b mod K."""
    sizes = np.asarray(block_sizes, dtype=np.int64)
    people = np.zeros(subsamples, dtype=np.int64)
    np.add.at(people, np.arange(len(sizes)) % subsamples, sizes)
    return people


def no_error_reason(subsamples: int | None) -> str | None:
    """Why results with this many sub-samples have no Monte Carlo error, or None when they have one."""
    if subsamples is None:
        return (
            "these results keep no sub-samples (such as results read from a file written by an earlier "
            "tavlen), "
            "so their Monte Carlo error cannot be estimated; run the model again to have it"
        )
    if subsamples < 2:
        return (
            "these results come from a single sub-sample (a run of one block, or subsamples=1), "
            "so their Monte Carlo error cannot be estimated; run with subsamples of 2 or more and "
            "at least as many blocks (a smaller block_size)"
        )
    return None


def standard_error(sums: npt.ArrayLike, people: npt.ArrayLike) -> np.ndarray:
    """The Monte Carlo standard error of the total of K sub-sample sums
    (``sums`` has the sub-samples on its first axis; ``people`` holds
    each sub-sample's number of people), cell by cell."""
    return np.sqrt(covariance(sums, sums, people))


def covariance(sums: npt.ArrayLike, other: npt.ArrayLike, people: npt.ArrayLike) -> np.ndarray:
    """The Monte Carlo covariance of the totals of two figures from their
    sub-sample sums, cell by cell (the variance when both are one): the
    estimator above with the products of both figures' residuals."""
    n = np.asarray(people, dtype=np.float64)
    k = len(n)
    reason = no_error_reason(k)
    if reason is not None:
        raise ValueError(reason)
    residuals = []
    for each in (sums, other):
        each = np.asarray(each, dtype=np.float64)
        if each.shape[:1] != (k,) or (n <= 0).any():
            raise ValueError(f"{k} sub-samples of {n.tolist()} people cannot hold sums of shape {each.shape}")
        shaped = n.reshape((k,) + (1,) * (each.ndim - 1))
        residuals.append(each - shaped / n.sum() * each.sum(axis=0))
    shaped = n.reshape((k,) + (1,) * (residuals[0].ndim - 1))
    return n.sum() / (k - 1) * np.sum(residuals[0] * residuals[1] / shaped, axis=0)


def ratio_interval(numerator: npt.ArrayLike, denominator: npt.ArrayLike, people: npt.ArrayLike,
                   level: float = 0.95) -> tuple[np.ndarray, np.ndarray]:
    """Fieller's ``level`` interval of the ratio of two totals, from their
    sub-sample sums (the sub-samples first), cell by cell: the ratios R
    whose numerator - R denominator is within the interval of 0. NaN where
    the denominator's own interval holds 0, where no finite interval exists."""
    a, b = (np.asarray(x, dtype=np.float64) for x in (numerator, denominator))
    t2 = student_t_quantile(0.5 + level / 2, len(np.asarray(people)) - 1) ** 2
    va, vb, cab = covariance(a, a, people), covariance(b, b, people), covariance(a, b, people)
    total_a, total_b = a.sum(axis=0), b.sum(axis=0)
    quadratic = total_b * total_b - t2 * vb
    linear = total_a * total_b - t2 * cab
    constant = total_a * total_a - t2 * va
    bounded = quadratic > 0
    with np.errstate(divide="ignore", invalid="ignore"):
        root = np.sqrt(np.maximum(linear * linear - quadratic * constant, 0.0))
        low = np.where(bounded, (linear - root) / quadratic, math.nan)
        high = np.where(bounded, (linear + root) / quadratic, math.nan)
    return low, high


def interval_half_width(error: npt.ArrayLike, subsamples: int, level: float = 0.95) -> np.ndarray:
    """Half the width of the ``level`` interval around a total whose
    standard error ``error`` comes from ``subsamples`` sub-samples."""
    return student_t_quantile(0.5 + level / 2, subsamples - 1) * np.asarray(error, dtype=np.float64)


class SubsampleErrors:
    """What :class:`~tavlen.Results` answers from its sub-samples: the
    Monte Carlo error of every cell, and of differences between universes."""

    subsample_sums: dict[str, np.ndarray]
    subsample_people: np.ndarray | None
    universes: tuple[str, ...]

    @property
    def subsamples(self) -> int | None:
        """The number K of sub-samples the run kept (1: no error can be
        estimated), or None for results from a file that keeps none."""
        return None if self.subsample_people is None else len(self.subsample_people)

    def _sums(self, name: str) -> np.ndarray:
        if name not in AGGREGATES:
            raise KeyError(f"{name!r} is not an aggregate of the results: {list(AGGREGATES)}")
        reason = no_error_reason(self.subsamples)
        if reason is not None:
            raise ValueError(reason)
        return self.subsample_sums[name]

    def standard_error(self, name: str) -> np.ndarray:
        """The Monte Carlo standard error of every cell of the aggregate
        ``name`` ("events", "durations", "snapshots_ages" or
        "snapshots_years"), an array of its shape, from the spread of the
        run's sub-sample sums. A 95% interval of a cell is its value plus
        or minus ``tavlen.montecarlo.student_t_quantile(0.975, K - 1)``
        times its error, with K = ``subsamples``."""
        return standard_error(self._sums(name), self.subsample_people)  # type: ignore[arg-type]

    def difference(self, name: str, universe: str, reference: str) -> tuple[np.ndarray, np.ndarray]:
        """The aggregate ``name`` in ``universe`` less that in ``reference``,
        over the remaining axes, and the standard error of that difference.

        The error comes from the sub-samples' own differences, so what the
        universes share (a person's draws common to both) cancels in it as
        it does in the difference."""
        sums = self._sums(name)
        u, r = (_universe_index(self.universes, label) for label in (universe, reference))
        total = getattr(self, name)
        difference = total[u] - total[r] if total.dtype.kind == "f" else total[u].astype(np.int64) - total[r]
        return difference, standard_error(sums[:, u] - sums[:, r], self.subsample_people)  # type: ignore[arg-type]

    def _check_subsamples(self, shapes: dict[str, tuple[int, ...]]) -> None:
        if self.subsample_people is None:
            if self.subsample_sums:
                raise ValueError("results: sub-sample sums without the sub-samples' numbers of people")
            return
        self.subsample_people = np.asarray(self.subsample_people, dtype=np.int64)
        k = len(self.subsample_people)
        if self.subsample_people.ndim != 1 or k == 0 or (self.subsample_people < 0).any():
            raise ValueError("results: subsample_people must be one non-negative count per sub-sample")
        if set(self.subsample_sums) != (set(AGGREGATES) if k > 1 else set()):
            raise ValueError(f"results: {k} sub-samples need sums of {list(AGGREGATES) if k > 1 else 'nothing'}")
        for name, sums in self.subsample_sums.items():
            if sums.shape != (k, *shapes[name]):
                raise ValueError(f"results: {name} sub-sample sums have shape {sums.shape}, expected {(k, *shapes[name])}")


def _universe_index(universes: Sequence[str], universe: str) -> int:
    try:
        return universes.index(universe)
    except ValueError:
        raise KeyError(f"{universe!r} is not among the universes: {list(universes)}") from None


# ---------------------------------------------------------------------------
# Student's t distribution


def student_t_quantile(probability: float, df: float) -> float:
    """The ``probability`` quantile of Student's t with ``df`` degrees of freedom
    (``df`` may be math.inf: the normal distribution)."""
    if not 0.0 < probability < 1.0:
        raise ValueError(f"probability must lie strictly between 0 and 1, got {probability!r}")
    if not df > 0:
        raise ValueError(f"degrees of freedom must be positive, got {df!r}")
    if probability < 0.5:
        return -student_t_quantile(1.0 - probability, df)
    if probability == 0.5:
        return 0.0
    if df == math.inf:
        return statistics.NormalDist().inv_cdf(probability)
    # Bisection on the distribution function: it is increasing, and 200
    # halvings take any bracket below the precision of a double.
    low, high = 0.0, 1.0
    while student_t_cdf(high, df) < probability:
        low, high = high, high * 2.0
        if high > 1e300:
            return math.inf
    for _ in range(200):
        middle = 0.5 * (low + high)
        if middle in (low, high):
            break
        if student_t_cdf(middle, df) < probability:
            low = middle
        else:
            high = middle
    return 0.5 * (low + high)


def student_t_cdf(t: float, df: float) -> float:
    """P(T <= t) for Student's t with ``df`` degrees of freedom."""
    tail = 0.5 * _regularized_incomplete_beta(df / (df + t * t), 0.5 * df, 0.5)
    return 1.0 - tail if t > 0 else tail


def _regularized_incomplete_beta(x: float, a: float, b: float) -> float:
    if x <= 0.0:
        return 0.0
    if x >= 1.0:
        return 1.0
    front = math.exp(math.lgamma(a + b) - math.lgamma(a) - math.lgamma(b) + a * math.log(x) + b * math.log1p(-x))
    # The continued fraction converges fast on this side of the mean; the other side by symmetry.
    if x < (a + 1.0) / (a + b + 2.0):
        return front * _beta_fraction(x, a, b) / a
    return 1.0 - front * _beta_fraction(1.0 - x, b, a) / b


def _beta_fraction(x: float, a: float, b: float) -> float:
    """The continued fraction of the incomplete beta function (modified Lentz)."""
    tiny = 1e-300
    c, d = 1.0, 1.0 - (a + b) * x / (a + 1.0)
    d = 1.0 / (d if abs(d) > tiny else tiny)
    result = d
    for m in range(1, 1000):
        for numerator in (
            m * (b - m) * x / ((a + 2 * m - 1) * (a + 2 * m)),
            -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1)),
        ):
            d = 1.0 + numerator * d
            d = 1.0 / (d if abs(d) > tiny else tiny)
            c = 1.0 + numerator / c
            c = c if abs(c) > tiny else tiny
            result *= c * d
        if abs(c * d - 1.0) < 1e-16:
            break
    return result

"""Discounting results by calendar year, one year group at a time.

``discount_rate`` r is an annual effective rate: a cost or an
effect at calendar time t (in years, continuous) counts (1 + r) ** -(t - b)
times its value, with b = ``base_year``; nothing before b counts. A year
group [y0, y1) counts the exact mean of that curve over the group,

    ((1 + r) ** -(y0 - b) - (1 + r) ** -(y1 - b)) / (ln(1 + r) (y1 - y0)),

which is exact for what is spread evenly over the group. For groups of one
year the error on a population's totals stays below 0.05% at usual rates:
what a group holds is nearly even within a year (a cohort born all at once
in mid-year, whose first group holds only its second half, is the worst
case: 4 parts in 10,000 at 6%). Wider groups, and the open
last group, cannot be discounted that well: results whose discounted
figures would need them are refused, with the line that makes yearly groups.
The first group also takes what lies below its first edge: it is discounted
as if it began there, so year groups start at or before the first birth year.
"""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np

from ..results import Results, bin_labels

__all__ = ["check_open_group", "discount_factors", "YEARLY_GROUPS_HINT"]

#: Year groups may be this much wider than a year (edges read from text, sums of floats).
_WIDTH_SLACK = 1e-9

YEARLY_GROUPS_HINT = (
    "run the model with yearly groups from base_year to beyond the last year of any life, such as "
    "event_years=duration_years=np.arange(base_year, math.ceil(birth_years.max()) + 121)"
)


def discount_factors(edges: np.ndarray, rate: float, base_year: float | None, name: str = "year groups") -> np.ndarray:
    """The discount factor of each year group whose ``edges`` (n + 1 of
    them, the last +inf) a run used: the mean of (1 + rate) ** -(t -
    base_year) over the group, 0 for a group before ``base_year``. The
    first group is taken from its first edge on. The open last group gets
    NaN when it lies after ``base_year`` and the rate is not 0: nothing it
    holds can be discounted. ``base_year`` None counts everything, from the
    first edge. Raises ValueError for year groups that cannot be discounted
    within a few parts in 100,000: ``base_year`` inside a group, or a group
    after it wider than a year."""
    edges = np.asarray(edges, dtype=np.float64)
    lower, upper = edges[:-1].copy(), edges[1:]
    if base_year is None:
        if rate == 0.0:
            return np.ones(len(lower))
        base_year = float(lower[0])
        if not math.isfinite(base_year):
            raise ValueError(f"discounting needs year groups with a first edge, or a base_year; {YEARLY_GROUPS_HINT}")
    labels = bin_labels(edges)
    inside = np.flatnonzero((lower < base_year) & (base_year < upper))
    if len(inside):
        raise ValueError(
            f"base_year {base_year:g} lies inside the {name} group {labels[inside[0]]!r}, which cannot be split "
            f"at it: the groups need an edge at base_year; {YEARLY_GROUPS_HINT}"
        )
    counted = upper > base_year
    factors = np.zeros(len(lower))
    if rate == 0.0:
        factors[counted] = 1.0
        return factors
    closed = counted & np.isfinite(upper)
    width = upper - lower
    wide = np.flatnonzero(closed & (width > 1.0 + _WIDTH_SLACK))
    if len(wide):
        raise ValueError(
            f"discounting at {100 * rate:g}% a year needs year groups of at most one year from base_year "
            f"{base_year:g} on; the {name} group {labels[wide[0]]!r} is {width[wide[0]]:g} years wide: "
            f"{YEARLY_GROUPS_HINT}"
        )
    force = math.log1p(rate)
    start, span = lower[closed] - base_year, width[closed]
    # exp(-force * start) * (1 - exp(-force * span)) / (force * span), without cancellation.
    factors[closed] = np.exp(-force * start) * -np.expm1(-force * span) / (force * span)
    factors[counted & ~np.isfinite(upper)] = math.nan
    return factors


def check_open_group(results: Results, name: str, weights: np.ndarray, factors: np.ndarray, tags: Sequence[str]) -> None:
    """Refuses results whose open last year group holds something weighed that cannot be discounted."""
    if not math.isnan(factors[-1]):
        return
    held = getattr(results, name)[:, :, :, -1].sum(axis=(0, 1, 3))  # by tag
    weighed = np.flatnonzero((weights != 0) & (held > 0))
    if len(weighed):
        edges = getattr(results, f"{name[:-1]}_years")
        what = f"{held[weighed[0]]:,.1f} years of" if name == "durations" else f"{held[weighed[0]]:,.0f} events"
        raise ValueError(
            f"{what} {tags[weighed[0]]!r} lie in the open last year group {bin_labels(edges)[-1]!r}, which has no "
            f"upper end and cannot be discounted: give {name[:-1]}_years a last edge beyond the last year of any "
            f"life; {YEARLY_GROUPS_HINT}"
        )

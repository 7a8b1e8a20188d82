"""The efficiency frontier of several strategies, and their sequential ICERs.

Strategies are ordered by cost (the more effective first among equal
costs). A strategy is dominated when another costs no more and is no less
effective (and differs in one of the two); it is extendedly dominated
when a mix of two others would buy its effect for less, which shows as its
ICER against the previous strategy on the frontier exceeding the next
strategy's ICER against it. Removing one such strategy changes the ICERs
of its neighbours, so the check repeats until none is left. A strategy
with the same costs and effects as one before it in the given order is
neither: it is set aside as equal to that one, with no ICER of its own.
What remains is the frontier, each strategy's ICER taken against the one
before it.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ..results import format_table

__all__ = ["Frontier", "STATUSES", "efficiency_frontier", "frontier_text"]

#: Each strategy's place, in the words of :attr:`Frontier.status`.
STATUSES = ("on the frontier", "dominated", "extendedly dominated", "same as")


@dataclasses.dataclass(frozen=True, eq=False)
class Frontier:
    """The efficiency frontier of ``strategies`` with ``costs`` and ``effects``.

    ``status[s]`` is one of :data:`STATUSES`; ``by[s]`` names what sets
    strategy s aside: the strategy that dominates it, the two frontier
    strategies that extendedly dominate it ("A and C"), the strategy it
    equals, or "" on the frontier. ``path`` lists the frontier strategies
    from the cheapest; ``icer[s]`` is the sequential ICER of a frontier
    strategy against the one before it on the path (NaN for the first and
    off the frontier)."""

    strategies: tuple[str, ...]
    costs: np.ndarray
    effects: np.ndarray
    status: tuple[str, ...]
    by: tuple[str, ...]
    icer: np.ndarray
    path: tuple[str, ...]

    def previous(self, strategy: str) -> str | None:
        """The frontier strategy before ``strategy`` on the path (None for the first or off the frontier)."""
        if strategy not in self.path:
            return None
        place = self.path.index(strategy)
        return self.path[place - 1] if place else None

    def describe(self, strategy: str) -> str:
        """A strategy's status in words, with what sets it aside."""
        s = self.strategies.index(strategy)
        status, by = self.status[s], self.by[s]
        if status == "on the frontier":
            return status
        return f"same as {by}" if status == "same as" else f"{status} by {by}"

    def icer_text(self, strategy: str) -> str:
        """A strategy's sequential ICER as a table's cell."""
        s = self.strategies.index(strategy)
        previous = self.previous(strategy)
        if previous is None:
            return "-" if self.status[s] == "on the frontier" else ""
        return f"{self.icer[s]:,.0f} against {previous}"

    def rows(self) -> list[list[str]]:
        """A table's cells, a row per strategy from the cheapest: its name,
        costs, effects, status and sequential ICER."""
        order = sorted(range(len(self.strategies)), key=lambda s: (self.costs[s], -self.effects[s], s))
        return [[self.strategies[s], f"{self.costs[s]:,.2f}", f"{self.effects[s]:,.4f}",
                 self.describe(self.strategies[s]), self.icer_text(self.strategies[s])] for s in order]

    def columns(self) -> dict[str, np.ndarray]:
        """Per strategy: the status, what sets it aside, the previous
        frontier strategy and the sequential ICER (for tables)."""
        return {
            "frontier_status": np.array(self.status, dtype=object),
            "frontier_set_aside_by": np.array(self.by, dtype=object),
            "frontier_previous": np.array([self.previous(s) or "" for s in self.strategies], dtype=object),
            "sequential_icer": self.icer.copy(),
        }

    def __repr__(self) -> str:
        return f"<Frontier {' -> '.join(self.path)} of {len(self.strategies)} strategies>"


def efficiency_frontier(strategies: Sequence[str], costs: npt.ArrayLike, effects: npt.ArrayLike) -> Frontier:
    """The efficiency frontier of ``strategies`` from their mean ``costs`` and ``effects`` (one each, finite)."""
    names = tuple(strategies)
    cost, effect = (_finite(values, what, len(names)) for values, what in ((costs, "costs"), (effects, "effects")))
    status, by = ["on the frontier"] * len(names), [""] * len(names)
    # By cost, the more effective first at equal costs, the given order last.
    order = sorted(range(len(names)), key=lambda s: (cost[s], -effect[s], s))
    kept: list[int] = []
    for s in order:
        twin = next((k for k in kept if cost[k] == cost[s] and effect[k] == effect[s]), None)
        if twin is not None:
            status[s], by[s] = "same as", names[twin]
            continue
        # Every strategy kept so far costs no more; the best of them dominates s if it is no less effective.
        best = max(kept, key=lambda k: (effect[k], -cost[k]), default=None)
        if best is not None and effect[best] >= effect[s]:
            status[s], by[s] = "dominated", names[best]
            continue
        kept.append(s)
    # Costs and effects now rise together along `kept`; drop a strategy whose ICER exceeds the next one's.
    while True:
        ratios = [(cost[b] - cost[a]) / (effect[b] - effect[a]) for a, b in zip(kept, kept[1:])]
        bend = next((i for i in range(len(ratios) - 1) if ratios[i] > ratios[i + 1]), None)
        if bend is None:
            break
        removed = kept.pop(bend + 1)
        status[removed], by[removed] = "extendedly dominated", f"{names[kept[bend]]} and {names[kept[bend + 1]]}"
    icer = np.full(len(names), math.nan)
    for a, b in zip(kept, kept[1:]):
        icer[b] = (cost[b] - cost[a]) / (effect[b] - effect[a])
    return Frontier(names, cost, effect, tuple(status), tuple(by), icer, tuple(names[s] for s in kept))


def frontier_text(frontier: Frontier, heading: str = "per person") -> str:
    """The frontier as a text table: a row per strategy, cheapest first."""
    return "\n".join([
        "Efficiency frontier: " + " -> ".join(frontier.path),
        format_table([heading, "costs", "QALYs", "status", "sequential ICER"], frontier.rows()),
    ])


def _finite(values: Any, what: str, count: int) -> np.ndarray:
    array = np.array(values, dtype=np.float64)
    if array.shape != (count,):
        raise ValueError(f"the frontier needs one value of {what} per strategy ({count}), got shape {array.shape}")
    if not np.isfinite(array).all():
        raise ValueError(f"the frontier needs finite {what}, got {array.tolist()}")
    return array

"""The figures of a decision analysis, drawn with matplotlib: the
cost-effectiveness plane with the frontier, the acceptability curves with
their frontier, the EVPI against the willingness to pay, and the tornado.

Each ``draw_*`` function draws into matplotlib axes; :func:`png` renders
a drawing into PNG bytes (for a page) and :func:`save_png` into a file,
written whole or not at all.
"""

from __future__ import annotations

import io
import os
from collections.abc import Callable
from typing import Any

import numpy as np

from ..errors import optional_import
from ..files import write_atomically

__all__ = ["draw_acceptability", "draw_evpi", "draw_plane", "draw_tornado", "png", "save_png"]


def _pyplot(feature: str) -> Any:
    matplotlib = optional_import("matplotlib", "plot", feature)
    matplotlib.use("Agg")  # headless: draws into files only
    import matplotlib.pyplot as plt

    return plt


def png(draw: Callable[[Any], None], size: tuple[float, float] = (6.4, 4.6), feature: str = "The figure") -> bytes:
    """The PNG of a figure of one axes that ``draw(axes)`` fills."""
    plt = _pyplot(feature)
    figure, axes = plt.subplots(figsize=size, layout="constrained")
    try:
        draw(axes)
        buffer = io.BytesIO()
        figure.savefig(buffer, format="png", dpi=100)
        return buffer.getvalue()
    finally:
        plt.close(figure)


def save_png(draw: Callable[[Any], None], path: str | os.PathLike[str], size: tuple[float, float] = (6.4, 4.6),
             feature: str = "The figure") -> None:
    """Saves the PNG of :func:`png` at ``path``, written whole or not at all."""
    content = png(draw, size, feature)
    write_atomically(path, lambda file: file.write(content))


def draw_plane(axes: Any, evaluation: Any, willingness_to_pay: float | None = None,
               models_called: str = "models") -> None:
    """The cost-effectiveness plane of an evaluation (of a run or a sweep):
    each universe's costs and QALYs per person against the reference, the
    efficiency frontier through the means, and the willingness-to-pay line
    through the reference; on a sweep, each universe's cloud of models,
    named ``models_called`` in the title ("draws" in a probabilistic
    sensitivity analysis)."""
    colours = _colours(len(evaluation.universes))
    reference = evaluation.universes.index(evaluation.reference)
    sweep = hasattr(evaluation, "values")
    costs = evaluation.values("costs") if sweep else evaluation.value("costs")[None, :]
    qalys = evaluation.values("qalys") if sweep else evaluation.value("qalys")[None, :]
    costs, qalys = costs - costs[:, reference : reference + 1], qalys - qalys[:, reference : reference + 1]
    for u, universe in enumerate(evaluation.universes):
        if sweep and len(costs) > 1 and u != reference:
            axes.plot(qalys[:, u], costs[:, u], ".", color=colours[u], alpha=0.25, markersize=4)
        axes.plot(qalys[:, u].mean(), costs[:, u].mean(), "o", color=colours[u], markersize=9,
                  markeredgecolor="black", label=universe)
    frontier = evaluation.frontier()
    path = [evaluation.universes.index(name) for name in frontier.path]
    axes.plot(qalys[:, path].mean(axis=0), costs[:, path].mean(axis=0), "-", color="black", linewidth=1.2,
              label="efficiency frontier")
    axes.axhline(0.0, color="grey", linewidth=0.8)
    axes.axvline(0.0, color="grey", linewidth=0.8)
    value = evaluation.willingness_to_pay if willingness_to_pay is None else willingness_to_pay
    if value:
        low, high = axes.get_xlim()
        axes.plot([low, high], [value * low, value * high], "--", color="black", linewidth=0.8,
                  label=f"{value:,.0f} per QALY")
        axes.set_xlim(low, high)
    axes.set_xlabel(f"QALYs per person against {evaluation.reference}")
    axes.set_ylabel(f"costs per person against {evaluation.reference}")
    models = f", {len(costs)} {models_called}" if sweep else ""
    axes.set_title(f"Cost-effectiveness plane{models}")
    axes.legend(fontsize="small")


def draw_acceptability(axes: Any, curve: Any, willingness_to_pay: float | None = None,
                       models_called: str = "models") -> None:
    """The acceptability curve of every universe and the acceptability frontier
    (the share of models in which the decision, the universe of the highest
    mean net benefit, is best), and a line at ``willingness_to_pay``; the
    axis names the models ``models_called``."""
    colours = _colours(len(curve.universes))
    for u, universe in enumerate(curve.universes):
        axes.plot(curve.willingness_to_pay, curve.share[u], color=colours[u], label=universe)
    if curve.optimal:
        axes.plot(curve.willingness_to_pay, curve.frontier, color="black", linewidth=3, alpha=0.35,
                  label="acceptability frontier")
    if willingness_to_pay:
        axes.axvline(willingness_to_pay, color="black", linestyle="--", linewidth=0.8)
    axes.set_ylim(-0.02, 1.02)
    axes.set_xlabel("willingness to pay per QALY")
    axes.set_ylabel(f"share of {models_called} with the highest net benefit")
    axes.set_title("Cost-effectiveness acceptability")
    axes.legend(fontsize="small")


def draw_evpi(axes: Any, curve: Any, population: float | None = None, willingness_to_pay: float | None = None) -> None:
    """The EVPI per person against the willingness to pay (for the
    population when given the discounted number of people it affects)."""
    scale = 1.0 if population is None else population
    axes.plot(curve.willingness_to_pay, scale * np.asarray(curve.evpi), color="black")
    if willingness_to_pay:
        axes.axvline(willingness_to_pay, color="black", linestyle="--", linewidth=0.8)
    axes.set_xlabel("willingness to pay per QALY")
    axes.set_ylabel("EVPI per person" if population is None else "EVPI of the population")
    axes.set_title("Expected value of perfect information")
    axes.set_ylim(bottom=0.0)


def draw_tornado(axes: Any, tornado: Any) -> None:
    """Each parameter's bar from the outcome at its low value to that at its
    high value, the widest on top, around the base case's outcome."""
    names = list(tornado.parameters)[::-1]
    low, high = np.asarray(tornado.low)[::-1], np.asarray(tornado.high)[::-1]
    base = tornado.base
    positions = np.arange(len(names))
    axes.barh(positions, low - base, left=base, color="#4c72b0", label="low value")
    axes.barh(positions, high - base, left=base, color="#dd8452", label="high value")
    axes.axvline(base, color="black", linewidth=0.8)
    axes.set_yticks(positions, names)
    axes.set_xlabel(tornado.outcome)
    axes.set_title("One-way sensitivity (tornado)")
    axes.legend(fontsize="small")


def _colours(count: int) -> list[Any]:
    return [f"C{u % 10}" for u in range(count)]

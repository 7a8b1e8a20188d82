"""One page to hand to a committee: what was run, the tables with their
intervals, the frontier, the value of information and the figures, with
the caveats, as a single HTML file that needs nothing beside it (the
figures are embedded, the styles inline, and nothing is fetched).

The page is made from an evaluation of a run or of a sweep, read through
the methods both share; a sweep adds the parameter draws, the
acceptability and the value of information.
"""

from __future__ import annotations

import base64
import html
import os
from collections.abc import Callable, Mapping, Sequence
from typing import Any

import numpy as np

from . import decisionplots, information
from .._version import __version__
from ..files import write_atomically

__all__ = ["write_report"]

_STYLE = """
body { font-family: system-ui, sans-serif; margin: 2em auto; max-width: 70em; padding: 0 1em; color: #222; }
h1 { font-size: 1.6em; } h2 { font-size: 1.25em; margin-top: 1.6em; border-bottom: 1px solid #ccc; }
table { border-collapse: collapse; margin: 0.6em 0; font-size: 0.92em; }
th, td { padding: 0.25em 0.7em; border-bottom: 1px solid #e4e4e4; text-align: right; }
th:first-child, td:first-child { text-align: left; }
thead th { border-bottom: 2px solid #888; }
caption { caption-side: bottom; text-align: left; color: #555; font-size: 0.9em; padding-top: 0.3em; }
figure { display: inline-block; margin: 0.5em 1em 0.5em 0; vertical-align: top; }
figure img { max-width: 100%; border: 1px solid #ddd; }
figcaption, .note { color: #555; font-size: 0.9em; }
"""

#: What a reader must keep in mind whatever the model.
CAVEATS = (
    "Monte Carlo error and parameter uncertainty are different things. The intervals of a run's table are those of "
    "the Monte Carlo error: how far the figures could move with another population of simulated people under the "
    "same parameters. The percentiles over a sweep's models show the parameters' uncertainty, as drawn: every model "
    "shares its people and random numbers, so little of that spread is noise.",
    "The efficiency frontier, the decision and the value of information are those of the mean values over the "
    "models; the value of information holds only for the uncertainty that the draws represent.",
)


def write_report(analysis: Any, path: str | os.PathLike[str], *, title: str | None = None,
                 notes: Sequence[str] = (), tornado: Any = None, people_per_year: float | None = None,
                 years: float | None = None, evppi: Sequence[str | Sequence[str]] | None = None,
                 models_called: str = "models") -> None:
    """Writes the page of ``analysis`` (an evaluation of a run or of a
    sweep) at ``path``, whole or not at all. ``notes`` are caveats of the
    caller's own (such as prices that are illustrative), ``tornado`` a
    one-way analysis to show, ``people_per_year`` and ``years`` the
    population the decision affects (for its EVPI), and ``evppi`` the
    parameters or groups whose EVPPI to give (by default each parameter of
    the sweep's table); ``models_called`` is what the figures call a sweep's
    models ("draws" for a probabilistic sensitivity analysis)."""
    sweep = hasattr(analysis, "values")
    first = analysis[0] if sweep else analysis
    parts = [f"<h1>{_text(title or 'Cost-effectiveness of ' + ', '.join(analysis.universes))}</h1>",
             f'<p class="note">Written by tavlen {_text(__version__)}.</p>',
             _section("What was run", _table(["", "value"], _what_was_run(analysis, first, sweep)))]
    parts.append(_section("Prices", _prices(analysis, sweep)))
    if sweep and analysis.parameters:
        parts.append(_section("Parameter draws", _parameter_draws(analysis.parameters)))
    headers, rows, note = analysis.table_parts()
    parts.append(_section("Costs and effects", _table(headers, rows, note)))
    parts.append(_section("Efficiency frontier", _frontier(analysis.frontier())))
    figures = [("Cost-effectiveness plane", lambda axes: decisionplots.draw_plane(axes, analysis, models_called=models_called))]
    if sweep and len(analysis) > 1 and analysis.willingness_to_pay is not None:
        curve = analysis.acceptability()
        factor = None if people_per_year is None or years is None else information.population_factor(
            people_per_year, years, _money_rate(first.settings.get("discount_rate", 0.0)))
        parts.append(_section("Acceptability and the value of information",
                              _decision(analysis, factor, evppi)))
        figures.append(("Acceptability curves and frontier",
                        lambda axes: decisionplots.draw_acceptability(axes, curve, analysis.willingness_to_pay,
                                                                         models_called)))
        figures.append(("Expected value of perfect information",
                        lambda axes: decisionplots.draw_evpi(axes, curve, factor, analysis.willingness_to_pay)))
    if tornado is not None:
        rows = [[name, f"{lv:,.6g} to {hv:,.6g}", _money(lo), _money(hi), _money(w)] for name, lv, hv, lo, hi, w in
                zip(tornado.parameters, tornado.low_values, tornado.high_values, tornado.low, tornado.high, tornado.width)]
        parts.append(_section(f"One-way sensitivity of {tornado.outcome}", _table(
            ["parameter", "values", "at low", "at high", "range"], rows, f"base case {tornado.base:,.2f}")))
        figures.append(("One-way sensitivity (tornado)", lambda axes: decisionplots.draw_tornado(axes, tornado)))
    parts.append(_section("Figures", _figures(figures)))
    parts.append(_section("Caveats", "".join(f"<p>{_text(note)}</p>" for note in [*notes, *CAVEATS])))
    page = "\n".join([
        "<!DOCTYPE html>", '<html lang="en">', "<head>", '<meta charset="utf-8">',
        # Nothing may be fetched: the page works from a disk, offline, as it is.
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; img-src data:; "
        "style-src 'unsafe-inline'\">",
        f"<title>{_text(title or 'Cost-effectiveness report')}</title>", f"<style>{_STYLE}</style>", "</head>",
        "<body>", *parts, "</body>", "</html>", "",
    ]).encode("utf-8")
    write_atomically(path, lambda file: file.write(page))


def _what_was_run(analysis: Any, first: Any, sweep: bool) -> list[list[str]]:
    run = first.settings.get("run", {})
    rows = [["people", f"{first.people:,}"], ["universes (strategies)", ", ".join(analysis.universes)],
            ["reference", analysis.reference]]
    if sweep:
        seeds = sorted({str(each.settings.get("run", {}).get("seed", "?")) for each in analysis})
        rows.append(["models", f"{len(analysis):,}"])
        rows.append(["seed" if len(seeds) == 1 else "seeds", ", ".join(seeds[:5]) + (" ..." if len(seeds) > 5 else "")])
    elif "seed" in run:
        rows.append(["seed", str(run["seed"])])
    for key, label in (("block_size", "people per block"), ("common_random_numbers", "common random numbers")):
        if key in run:
            rows.append([label, str(run[key])])
    rows.append(["discounting", first.describe()])
    if first.willingness_to_pay is not None:
        rows.append(["willingness to pay", f"{first.willingness_to_pay:,.0f} per QALY"])
    if first.settings.get("life_years") is not None:
        rows.append(["life-years", f"years in {first.settings['life_years']!r}"])
    return rows


def _prices(analysis: Any, sweep: bool) -> str:
    evaluations = list(analysis) if sweep else [analysis]
    kinds = (("event_costs", "per event"), ("annual_costs", "per year"), ("utilities", "utility per year"))
    rows = []
    for key, unit in kinds:
        tags = list(evaluations[0].settings.get("prices", {}).get(key, {}))
        for tag in tags:
            values = np.array([each.settings["prices"][key].get(tag, 0.0) for each in evaluations], dtype=np.float64)
            if values.ndim > 1:  # a weight per age group
                rows.append([tag, f"{unit}, by age group", f"{_figure(values.min())} to {_figure(values.max())}",
                             "differs by model" if np.ptp(values, axis=0).any() else ""])
            elif np.ptp(values) == 0:
                rows.append([tag, unit, _figure(values[0]), ""])
            else:
                low, high = np.percentile(values, [2.5, 97.5])
                rows.append([tag, unit, _figure(values.mean()), f"{_figure(low)} to {_figure(high)}"])
    if not rows:
        return "<p>No prices were given.</p>"
    caption = "mean over the models, and 2.5 to 97.5 percentiles where they differ by model" if sweep else None
    return _table(["tag", "what", "value", "range over the models" if sweep else ""], rows, caption)


def _parameter_draws(parameters: Mapping[str, np.ndarray]) -> str:
    rows = []
    for name, values in parameters.items():
        low, high = np.percentile(values, [2.5, 97.5])
        rows.append([name, *map(_figure, (values.mean(), low, high, values.min(), values.max()))])
    return _table(["parameter", "mean", "2.5%", "97.5%", "lowest", "highest"], rows, "over every model of the sweep")


def _frontier(frontier: Any) -> str:
    return _table(["strategy", "costs per person", "QALYs per person", "status", "sequential ICER"], frontier.rows(),
                  "frontier: " + " → ".join(frontier.path))


def _decision(analysis: Any, factor: float | None, groups: Sequence[str | Sequence[str]] | None) -> str:
    value = analysis.willingness_to_pay
    curve = analysis.acceptability([value])
    best = curve.optimal[0]
    rows = [["decision (highest mean net benefit)", best],
            ["share of models in which it is best", f"{curve.frontier[0]:.1%}"],
            ["EVPI per person", _money(curve.evpi[0])]]
    if factor is not None:
        rows.append(["EVPI of the population affected", _money(curve.evpi[0] * factor)])
    body = _table([f"at {value:,.0f} per QALY", ""], rows)
    population = factor is not None
    evppi_rows = []
    for label, figure, reason in analysis.evppi_table(groups):
        if figure is None:
            evppi_rows.append([label, f"not estimated: {reason}"] + [""] * population)
        else:
            evppi_rows.append([label, _money(figure)] + ([_money(figure * factor)] if factor is not None else []))
    if evppi_rows:
        headers = ["parameters", "EVPPI per person"] + ["of the population"] * population
        body += _table(headers, evppi_rows, f"the value of knowing each parameter (group) at {value:,.0f} per QALY, "
                       "by regression of each strategy's net benefit on it over the models")
    return body


def _figures(figures: list[tuple[str, Callable[[Any], None]]]) -> str:
    try:
        drawn = [(caption, decisionplots.png(draw, feature="The report's figures")) for caption, draw in figures]
    except ImportError as error:
        return f"<p class=\"note\">No figures: {_text(str(error))}</p>"
    return "".join(
        f'<figure><img alt="{_text(caption)}" src="data:image/png;base64,{base64.b64encode(content).decode("ascii")}">'
        f"<figcaption>{_text(caption)}</figcaption></figure>" for caption, content in drawn)


def _section(heading: str, body: str) -> str:
    return f"<section><h2>{_text(heading)}</h2>{body}</section>"


def _table(headers: Sequence[str], rows: Sequence[Sequence[str]], caption: str | None = None) -> str:
    head = "".join(f"<th>{_text(cell)}</th>" for cell in headers)
    body = "".join("<tr>" + "".join(f"<td>{_text(cell)}</td>" for cell in row) + "</tr>" for row in rows)
    note = f"<caption>{_text(caption)}</caption>" if caption else ""
    return f"<table>{note}<thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def _money_rate(rate: float | tuple[float, float]) -> float:
    """The rate at which money is discounted: the costs' rate of a pair (costs, effects)."""
    return rate[0] if isinstance(rate, tuple) else rate


def _figure(value: float) -> str:
    """Four significant digits, but whole units from a thousand on (no exponent)."""
    return f"{value:,.0f}" if abs(value) >= 1000 else f"{value:,.4g}"


def _money(value: float) -> str:
    return f"{value:,.2f}"


def _text(value: str) -> str:
    return html.escape(str(value))

"""What a calibration returns: the best values or a posterior sample, the
history of every candidate, and the fit of each target, as a table and as
plots."""

from __future__ import annotations

import math
import os
import statistics
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from ..errors import optional_import
from ..files import write_atomically
from ..results import format_table
from .batches import Candidate
from .methods import Chain
from .parameters import Parameter, ParameterTable
from .targets import Target

__all__ = ["Calibration"]


class Calibration:
    """The answer of :func:`tavlen.calibrate`.

    ``best`` holds the best values (least objective; for a posterior, the
    most probable draw), ``objective`` its objective (the sum of squared
    differences over both variances, a chi-square of about the number of
    observed cells when the model fits). ``parameters`` is a
    :class:`ParameterTable` that ``tavlen.sweep`` and the decision analysis
    take: the posterior sample, or the best values as one row.
    ``standard_errors``, ``covariance`` and ``intervals()`` tell how sure
    the values are; ``history`` holds every candidate; ``table()``,
    ``plot()`` and ``pairs_plot()`` show the fit.
    """

    def __init__(self, method: str, names: tuple[str, ...], laws: tuple[Parameter, ...], targets: tuple[Target, ...],
                 labels: Sequence[Sequence[str]], history: list[Candidate], best: Candidate, seed: int,
                 build: Callable[..., Any], covariance: np.ndarray | None = None, chain: Chain | None = None) -> None:
        self.method, self.names, self.laws, self.targets = method, names, laws, targets
        self.labels = [list(group) for group in labels]
        self._history, self._best, self.seed, self._build = history, best, seed, build
        self.covariance, self._chain = covariance, chain

    # -- the values ------------------------------------------------------------

    @property
    def best(self) -> dict[str, float]:
        """The best values by name (for a posterior, the most probable draw)."""
        return dict(zip(self.names, self._best.values))

    @property
    def objective(self) -> float:
        """The objective at :attr:`best`: about the number of observed cells when the model fits."""
        return self._best.objective

    @property
    def parameters(self) -> ParameterTable:
        """The posterior sample (one row per kept draw), or the best values as one row."""
        if self._chain is None:
            return ParameterTable({name: [value] for name, value in self.best.items()})
        values = np.column_stack([law.from_unit(self._chain.units[:, i]) for i, law in enumerate(self.laws)])
        return ParameterTable({name: values[:, i] for i, name in enumerate(self.names)})

    def draws(self, n: int, seed: int = 0) -> ParameterTable:
        """``n`` draws of the parameters for a probabilistic sensitivity
        analysis: from a posterior, ``n`` of its draws taken evenly along
        the sample (every draw of it when ``n`` is larger); from an
        optimisation, the normal law of the best values and their
        covariance, each draw outside the bounds drawn again."""
        if isinstance(n, bool) or not isinstance(n, int) or n < 1:
            raise ValueError(f"n must be a positive int, got {n!r}")
        table = self.parameters
        if self._chain is not None:
            rows = np.unique(np.linspace(0, table.draws - 1, min(n, table.draws)).round().astype(np.int64))
            return ParameterTable({name: column[rows] for name, column in table.items()})
        if self.covariance is None or not np.isfinite(self.covariance).all():
            raise ValueError("the fit's covariance is not known (a parameter the targets do not move): no draws")
        random = np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(0xD5A,)))
        low, high = np.array([s.low for s in self.laws]), np.array([s.high for s in self.laws])
        kept = np.empty((0, len(self.names)))
        for _ in range(100):  # a law mostly outside the bounds ends here, with what it has
            drawn = random.multivariate_normal(self._best.values, self.covariance, size=n, method="eigh")
            kept = np.concatenate([kept, drawn[((drawn >= low) & (drawn <= high)).all(axis=1)]])[:n]
            if len(kept) == n:
                return ParameterTable({name: kept[:, i] for i, name in enumerate(self.names)})
        raise ValueError(f"the normal law of the fit lies mostly outside the bounds: {len(kept)} of {n} draws inside")

    @property
    def standard_errors(self) -> dict[str, float]:
        """From the curvature of the objective (optimisation), or the posterior's standard deviations."""
        if self._chain is not None:
            table = self.parameters
            return {name: float(np.std(table[name], ddof=1)) for name in self.names}
        if self.covariance is None:
            return {name: math.nan for name in self.names}
        return {name: float(math.sqrt(self.covariance[i, i])) for i, name in enumerate(self.names)}

    def intervals(self, level: float = 0.9) -> dict[str, tuple[float, float]]:
        """Each parameter's central ``level`` interval: the posterior's
        quantiles, or the best value plus or minus the normal quantile times
        its standard error (clipped to the bounds)."""
        if not 0.0 < level < 1.0:
            raise ValueError(f"level must lie strictly between 0 and 1, got {level!r}")
        if self._chain is not None:
            table = self.parameters
            return {name: tuple(float(q) for q in np.quantile(table[name], [0.5 - level / 2, 0.5 + level / 2]))
                    for name in self.names}  # type: ignore[misc]
        z = statistics.NormalDist().inv_cdf(0.5 + level / 2)
        return {name: (max(law.low, value - z * error), min(law.high, value + z * error))
                for (name, value), law, error in zip(self.best.items(), self.laws, self.standard_errors.values())}

    @property
    def effective_sample_size(self) -> dict[str, float] | None:
        """Per parameter, the posterior sample's size over its integrated autocorrelation time (None for an optimisation)."""
        if self._chain is None:
            return None
        return {name: float(ess) for name, ess in zip(self.names, self._chain.effective_sample_size)}

    @property
    def acceptance(self) -> float | None:
        """The chain's mean acceptance rate (None for an optimisation)."""
        return None if self._chain is None else self._chain.acceptance

    def models(self) -> list[Any]:
        """The model of every row of ``parameters``, for ``tavlen.sweep``."""
        return self.parameters.models(self._build)

    # -- the history -----------------------------------------------------------

    @property
    def history(self) -> ParameterTable:
        """Every candidate in the order evaluated: its values, its
        objective (weighed at the fit's best values), and the batch (one sweep) that
        evaluated it."""
        columns = {name: [c.values[i] for c in self._history] for i, name in enumerate(self.names)}
        return ParameterTable({**columns, "objective": [c.objective for c in self._history],
                               "batch": [c.batch for c in self._history]})

    @property
    def phases(self) -> tuple[str, ...]:
        """Why each candidate of the history was evaluated: "search", "curvature" or "chain"."""
        return tuple(candidate.phase for candidate in self._history)

    # -- the fit ---------------------------------------------------------------

    def fit(self) -> list[dict[str, Any]]:
        """One row per observed cell: the target, the group, the observed
        value and its standard error, the simulated value at the best values
        and its Monte Carlo error, and, for a posterior, the 5th and 95th
        percentiles of the simulated value over the sample."""
        bands = self._bands()
        rows = []
        for t, (target, labels) in enumerate(zip(self.targets, self.labels)):
            for c, label in enumerate(labels):
                row = {"target": target.name, "group": label, "observed": float(target.observed[c]),
                       "observed_error": float(target.standard_error[c]),
                       "simulated": float(self._best.simulated[t][c]), "simulated_error": float(self._best.errors[t][c])}
                if bands is not None:
                    row["simulated_5%"], row["simulated_95%"] = (float(q) for q in bands[t][:, c])
                rows.append(row)
        return rows

    def _bands(self) -> list[np.ndarray] | None:
        if self._chain is None:
            return None
        return [np.quantile(np.array([candidate.simulated[t] for candidate in self._chain.candidates]), [0.05, 0.95], axis=0)
                for t in range(len(self.targets))]

    def table(self) -> str:
        """The fit as text: each observed cell beside its simulated value, both with their standard errors."""
        rows = self.fit()
        banded = bool(rows) and "simulated_5%" in rows[0]
        headers = ["target", "group", "observed", "(error)", "simulated", "(error)",
                   *(["posterior 90%"] if banded else []), "z"]
        lines = []
        for row in rows:
            spread = math.hypot(row["observed_error"], 0.0 if math.isnan(row["simulated_error"]) else row["simulated_error"])
            cells = [row["target"], row["group"], _number(row["observed"]), _number(row["observed_error"]),
                     _number(row["simulated"]), _number(row["simulated_error"])]
            if banded:
                cells.append(f"{_number(row['simulated_5%'])} to {_number(row['simulated_95%'])}")
            cells.append(f"{(row['simulated'] - row['observed']) / spread:+.2f}")
            lines.append(cells)
        values = "\n".join(f"  {name} = {_number(value)}" + self._uncertainty(name) for name, value in self.best.items())
        head = (f"Calibration by {self.method}: {len(self._history)} candidates, objective {self.objective:.4g} "
                f"over {sum(len(t.observed) for t in self.targets)} observed values\n{values}\n")
        return head + "\n" + format_table(headers, lines, labels=2)

    def _uncertainty(self, name: str) -> str:
        low, high = self.intervals(0.9)[name]
        what = "posterior 90% interval" if self._chain is not None else "90% interval from the curvature"
        if self._chain is not None:
            what += f", effective sample size {self.effective_sample_size[name]:.0f}"  # type: ignore[index]
        return f"  ({what}: {_number(low)} to {_number(high)})" if math.isfinite(low + high) else ""

    def fit_dataframe(self) -> Any:
        """:meth:`fit` as a pandas DataFrame."""
        pandas = optional_import("pandas", "pandas", "Calibration.fit_dataframe()")
        return pandas.DataFrame(self.fit())

    def to_dataframe(self) -> Any:
        """The history as a pandas DataFrame, with the phase of each candidate."""
        frame = self.history.to_dataframe()
        frame["phase"] = list(self.phases)
        return frame

    # -- plots -----------------------------------------------------------------

    def plot(self, path: str | os.PathLike[str] | None = None) -> Any:
        """One panel per target: the observed values with their 95%
        intervals, the simulated values at the best values with their
        Monte Carlo 95% intervals, and a posterior's 90% band. Saves a PNG
        when given ``path`` (whole or not at all); returns the figure."""
        plt = _pyplot("Calibration.plot()")
        figure, panels = plt.subplots(1, len(self.targets), figsize=(5.2 * len(self.targets), 4.2),
                                      layout="constrained", squeeze=False)
        bands = self._bands()
        for t, (axes, target, labels) in enumerate(zip(panels[0], self.targets, self.labels)):
            x = np.arange(len(labels))
            errors = np.nan_to_num(self._best.errors[t], nan=0.0)
            if bands is not None:
                axes.fill_between(x, bands[t][0], bands[t][1], color="tab:orange", alpha=0.25, label="posterior 90%")
            axes.errorbar(x - 0.08, target.observed, yerr=1.96 * target.standard_error, fmt="o", color="black",
                          capsize=3, label="observed")
            axes.errorbar(x + 0.08, self._best.simulated[t], yerr=1.96 * errors, fmt="s", color="tab:orange",
                          capsize=3, label="simulated")
            axes.set_xticks(x, labels, rotation=45 if len(labels) > 6 else 0, ha="right" if len(labels) > 6 else "center")
            axes.set_title(target.name)
            axes.legend()
        figure.suptitle(f"Calibration by {self.method}: observed and simulated (95% intervals)")
        return _finish(plt, figure, path)

    def pairs_plot(self, path: str | os.PathLike[str] | None = None) -> Any:
        """The posterior sample's pairs (a histogram of each parameter, the
        draws of each pair), or, for an optimisation, every candidate
        coloured by its objective. Saves a PNG when given ``path``."""
        plt = _pyplot("Calibration.pairs_plot()")
        d = len(self.names)
        figure, panels = plt.subplots(d, d, figsize=(2.8 * d + 1, 2.8 * d), layout="constrained", squeeze=False)
        if self._chain is not None:
            table, colour = self.parameters, None
        else:
            table = self.history
            objectives = np.minimum(table["objective"], np.finfo(np.float64).max)
            colour = np.log1p(objectives - objectives.min())
        for i, row_name in enumerate(self.names):
            for j, column_name in enumerate(self.names):
                axes = panels[i, j]
                if i == j:
                    axes.hist(table[row_name], bins=30, color="tab:orange")
                elif i > j:
                    axes.scatter(table[column_name], table[row_name], s=4, c=colour, alpha=0.5)
                else:
                    axes.set_axis_off()
                if i == d - 1:
                    axes.set_xlabel(column_name)
                if j == 0 and i > 0:
                    axes.set_ylabel(row_name)
        figure.suptitle("Posterior sample" if self._chain is not None else "Candidates (colour: objective above the best)")
        return _finish(plt, figure, path)

    def __repr__(self) -> str:
        best = ", ".join(f"{name}={_number(value)}" for name, value in self.best.items())
        return f"<Calibration by {self.method}: {best}, objective {self.objective:.4g}, {len(self._history)} candidates>"


def _number(value: float) -> str:
    return "nan" if math.isnan(value) else f"{value:.4g}"


def _pyplot(feature: str) -> Any:
    matplotlib = optional_import("matplotlib", "plot", feature)
    matplotlib.use("Agg")  # headless: draws into files only
    import matplotlib.pyplot as plt

    return plt


def _finish(plt: Any, figure: Any, path: str | os.PathLike[str] | None) -> Any:
    if path is not None:
        try:
            write_atomically(path, lambda file: figure.savefig(file, format="png", dpi=110))
        finally:
            plt.close(figure)
    return figure

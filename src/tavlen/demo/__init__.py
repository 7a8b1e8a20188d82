"""A demo model: the natural history of a chronic disease, and screening.

Every person dies of other causes at an age drawn from a Gompertz law (the
"OC" process, which ends every life). The disease starts (onset) at an age
drawn from a Weibull law, stays preclinical for an exponentially distributed
sojourn time and then becomes clinical (diagnosed by symptoms); a diagnosed
person dies of the disease after an exponentially distributed survival time,
unless other causes come first. In "reference" nothing else happens; in
"screening" people are screened at fixed ages, and a screen finds a
preclinical disease with some sensitivity. A screen-detected disease has a
better prognosis: its survival time is longer. The difference between the
universes is what screening gains.

Each source of randomness draws from its own generator of
``individual.random`` ("oc", "disease", "screening"), and the run's common
random numbers start them at the same streams in every universe of a
person: the two universes share each person's natural history, and differ
only where a screen finds a disease.

    python -m tavlen --help
"""

from __future__ import annotations

import dataclasses
import math
import os
from collections.abc import Sequence
from concurrent.futures import Executor
from typing import Any

import numpy as np

from ..errors import optional_import
from ..files import write_atomically
from ..individual import Individual
from .. import montecarlo
from ..montecarlo import DEFAULT_SUBSAMPLES
from ..model import Model, Process, handles
from ..results import AGE_FLOOR, Results, bin_labels, format_table

__all__ = ["Laws", "OC", "Disease", "Screening", "model", "population", "run", "summary", "plot"]

UNIVERSES = ("reference", "screening")
AGE_GROUPS = (0, 40, 50, 60, 70, 80, 90)
YEAR_GROUPS = (1940, 1990, 2010, 2030)
#: The cost-effectiveness analysis counts costs and effects discounted from
#: BASE_YEAR, at each of DISCOUNT_RATES (costs, effects), which every run
#: records at their exact times.
BASE_YEAR = 1940.0
DISCOUNT_RATES = (0.04, 0.015)
SNAPSHOT_AGES = (50, 60, 70, 80)


@dataclasses.dataclass(frozen=True)
class Laws:
    """The demo's parameters. An infinite ``onset_scale`` switches the disease off."""

    #: Hazard of death from other causes at age a: gompertz_a * exp(gompertz_b * a).
    gompertz_a: float = 2e-5
    gompertz_b: float = 0.1
    #: Cumulative hazard of onset by age a: (a / onset_scale) ** onset_shape.
    onset_scale: float = 120.0
    onset_shape: float = 5.0
    #: Mean time in years from onset to clinical diagnosis.
    sojourn_mean: float = 4.0
    #: Mean survival in years from the age of clinical diagnosis, for a
    #: disease found clinically and for one found earlier by screening.
    clinical_survival_mean: float = 6.0
    screen_detected_survival_mean: float = 15.0
    screening_ages: tuple[float, ...] = tuple(range(50, 76, 2))
    sensitivity: float = 0.7

    def other_causes_survival(self, age: np.ndarray) -> np.ndarray:
        """Probability of no death from other causes by ``age``."""
        return np.exp(-self.gompertz_a / self.gompertz_b * np.expm1(self.gompertz_b * age))

    def onset_hazard(self, age: np.ndarray) -> np.ndarray:
        return self.onset_shape / self.onset_scale * (age / self.onset_scale) ** (self.onset_shape - 1)

    def onset_free(self, age: np.ndarray) -> np.ndarray:
        """Probability of no onset by ``age``, in the absence of death."""
        return np.exp(-((age / self.onset_scale) ** self.onset_shape))


class OC(Process):
    """Death from other causes, by a Gompertz law: it ends every life, and
    the time alive is logged as the duration "alive"."""

    event_tags = ("death_other",)
    duration_tags = ("alive",)
    snapshot_tags = ("alive",)
    random_number_generators = ("oc",)

    def __init__(self, laws: Laws) -> None:
        self.a = laws.gompertz_a
        self.b = laws.gompertz_b

    def start(self, individual: Individual) -> None:
        individual.log_duration_start("alive")
        # The inverse of the cumulative hazard, applied to a unit exponential draw.
        unit = individual.random["oc"].expovariate()
        individual.add_to_queue_age(math.log1p(self.b / self.a * unit) / self.b, "death_other", terminate=True)

    @handles("death_other")
    def death(self, individual: Individual) -> None:
        individual.log_event("death_other")

    def snapshot_functions(self) -> Sequence[Any]:
        return (self.alive,)

    def alive(self, individual: Individual) -> tuple[str, ...]:
        return ("alive",)  # counts the people alive at each snapshot age


class Disease(Process):
    """Onset, the preclinical stage, clinical diagnosis and death from the disease.

    The stage of the life is kept in ``individual.memory["stage"]``; a
    screen-detected diagnosis arrives as the message "screen_detected".
    """

    event_tags = ("onset", "clinical", "screen_detected", "death_disease")
    duration_tags = ("preclinical", "diagnosed")
    event_individual_tags = ("clinical", "screen_detected", "death_disease")
    snapshot_tags = ("preclinical", "diagnosed")
    random_number_generators = ("disease",)

    def __init__(self, laws: Laws) -> None:
        self.laws = laws
        self.onset_exponent = 1.0 / laws.onset_shape

    def start(self, individual: Individual) -> None:
        individual.memory["stage"] = "healthy"
        # Onset, sojourn and survival draw from "disease" in this order in
        # every universe, so screening, which draws from its own generator,
        # changes none of them.
        onset_age = self.laws.onset_scale * individual.random["disease"].expovariate() ** self.onset_exponent
        if onset_age < math.inf:
            individual.add_to_queue_age(onset_age, "onset")

    @handles("onset")
    def onset(self, individual: Individual) -> None:
        individual.log_event("onset")
        individual.log_duration_start("preclinical")
        memory = individual.memory
        memory["stage"] = "preclinical"
        sojourn = self.laws.sojourn_mean * individual.random["disease"].expovariate()
        memory["clinical_age"] = individual.age + sojourn
        memory["clinical_event"] = individual.add_to_queue(sojourn, "clinical")

    @handles("clinical")
    def clinical(self, individual: Individual) -> None:
        self._diagnose(individual, "clinical", self.laws.clinical_survival_mean)

    @handles("screen_detected")
    def screen_detected(self, individual: Individual) -> None:
        memory = individual.memory
        if memory["stage"] == "preclinical":
            individual.remove_from_queue(memory["clinical_event"])
            self._diagnose(individual, "screen_detected", self.laws.screen_detected_survival_mean)

    def _diagnose(self, individual: Individual, how: str, mean_survival: float) -> None:
        individual.log_event(how)
        individual.log_event_individual(how)
        individual.log_duration_end("preclinical")
        individual.log_duration_start("diagnosed")
        memory = individual.memory
        memory["stage"] = "diagnosed"
        # Survival counts from the age of clinical diagnosis, screen-detected
        # or not: an earlier diagnosis alone (lead time) gains no life.
        survival = mean_survival * individual.random["disease"].expovariate()
        individual.add_to_queue_age(memory["clinical_age"] + survival, "death_disease", terminate=True)

    @handles("death_disease")
    def death(self, individual: Individual) -> None:
        individual.log_event("death_disease")
        individual.log_event_individual("death_disease")

    def snapshot_functions(self) -> Sequence[Any]:
        return (self.stage,)

    def stage(self, individual: Individual) -> tuple[str, ...]:
        stage = individual.memory["stage"]
        return (stage,) if stage != "healthy" else ()


class Screening(Process):
    """Screens at fixed ages in the "screening" universe, until a diagnosis;
    a screen finds a preclinical disease with the given sensitivity."""

    event_tags = ("screen",)
    random_number_generators = ("screening",)

    def __init__(self, laws: Laws, universe: str = "screening") -> None:
        self.ages = tuple(float(age) for age in laws.screening_ages)
        self.sensitivity = laws.sensitivity
        self.screening_universe = universe

    def start(self, individual: Individual) -> None:
        if self.ages and self.universe == self.screening_universe:
            individual.add_to_queue_age(self.ages[0], "screen", visit=0)

    @handles("screen")
    def screen(self, individual: Individual, visit: int) -> None:
        stage = individual.memory["stage"]
        if stage == "diagnosed":
            return  # in care: no more screens
        individual.log_event("screen")
        if stage == "preclinical" and individual.random["screening"].random() < self.sensitivity:
            # Taken before anything else due at this age.
            individual.add_to_queue(0.0, "screen_detected", priority=1)
        if visit + 1 < len(self.ages):
            individual.add_to_queue_age(self.ages[visit + 1], "screen", visit=visit + 1)


def model(laws: Laws = Laws()) -> Model:
    """The demo's model."""
    return Model([OC(laws), Disease(laws), Screening(laws)])


def population(size: int, seed: int = 0) -> np.ndarray:
    """Birth years of ``size`` people, spread evenly over 1940 to 1970."""
    generator = np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(0x70707,)))
    return generator.uniform(1940.0, 1970.0, size=size)


#: The demo's universes and groups, as Model.run takes them.
RUN_OPTIONS: dict[str, Any] = dict(
    universes=UNIVERSES,
    event_ages=AGE_GROUPS,
    event_years=YEAR_GROUPS,
    duration_ages=AGE_GROUPS,
    duration_years=YEAR_GROUPS,
    snapshot_ages=SNAPSHOT_AGES,
    discount_rates=DISCOUNT_RATES,
    base_year=BASE_YEAR,
)


def run(
    size: int = 20_000,
    seed: int = 2024,
    laws: Laws = Laws(),
    *,
    executor: Executor | None = None,
    workers: int | None = None,
    progress: bool = False,
    block_size: int = 500,
    checkpoint: str | os.PathLike[str] | None = None,
    subsamples: int = DEFAULT_SUBSAMPLES,
) -> Results:
    """Runs the demo for ``size`` people (``checkpoint``, ``subsamples``: see :meth:`Model.run`)."""
    return model(laws).run(
        population(size, seed),
        **RUN_OPTIONS,
        seed=seed,
        block_size=block_size,
        executor=executor,
        workers=workers,
        progress=progress,
        checkpoint=checkpoint,
        subsamples=subsamples,
    )


def summary(results: Results) -> str:
    """The demo's figures as text: diagnoses, deaths and person-years by age
    group and universe, and what screening gains."""
    people = int(results.metadata.get("population", 0))
    lines = [
        f"Chronic disease demo: {people:,} people, each in the universes {', '.join(results.universes)}",
        "",
        results.table(events=["onset", "clinical", "screen_detected", "death_disease", "death_other"], durations=["alive"]),
        "",
    ]
    diagnosed = {u: results.event_counts("clinical")[i] + results.event_counts("screen_detected")[i]
                 for i, u in enumerate(results.universes)}
    years = {u: results.duration_totals("alive")[i] for i, u in enumerate(results.universes)}
    groups = [*bin_labels(results.event_ages, floor=AGE_FLOOR), "total"]
    rates = {u: [*(100_000 * diagnosed[u] / np.maximum(years[u], 1e-300)),
                 100_000 * diagnosed[u].sum() / max(years[u].sum(), 1e-300)] for u in results.universes}
    lines += [
        "Diagnoses (clinical and screen-detected) per 100,000 person-years",
        format_table(["age group", *results.universes],
                     [[group, *(f"{rates[u][g]:,.1f}" for u in results.universes)] for g, group in enumerate(groups)]),
        "",
    ]
    if {"alive", "preclinical", "diagnosed"} <= set(results.snapshot_tags) and len(results.snapshot_ages):
        snapshots = results.snapshots_ages.sum(axis=1)  # universe, tag, age
        alive, preclinical, diagnosed_now = (snapshots[:, results.snapshot_tags.index(tag)]
                                             for tag in ("alive", "preclinical", "diagnosed"))
        per_1000 = lambda counts, u, a: f"{1000 * counts[u, a] / alive[u, a]:.1f}" if alive[u, a] else "-"
        lines += [
            "People with the disease per 1,000 alive at some ages",
            format_table(
                ["age", *(f"{stage} ({u})" for u in results.universes for stage in ("preclinical", "diagnosed"))],
                [[f"{age:g}", *(per_1000(counts, u, a) for u in range(len(results.universes))
                                for counts in (preclinical, diagnosed_now))]
                 for a, age in enumerate(results.snapshot_ages)]),
            "",
        ]
    if set(UNIVERSES) <= set(results.universes) and people:
        reference, screening = (results.universes.index(u) for u in UNIVERSES)
        alive = results.duration_totals("alive").sum(axis=1)
        disease_deaths = results.event_counts("death_disease").sum(axis=1)
        screens = results.event_counts("screen").sum(axis=1)[screening]
        gained = alive[screening] - alive[reference]
        averted = disease_deaths[reference] - disease_deaths[screening]
        lines += [
            "Screening against the reference",
            f"  life expectancy at birth: {alive[reference] / people:.3f} years without, "
            f"{alive[screening] / people:.3f} years with screening",
            f"  life-years gained: {gained:,.1f} in total, {1000 * gained / people:.2f} per 1,000 people",
            f"  deaths from the disease averted: {averted:,d} ({1000 * averted / people:.2f} per 1,000 people)",
            f"  screens: {screens:,d}; screens per life-year gained: "
            + (f"{screens / gained:,.1f}" if gained > 0 else "none gained"),
            "",
            *uncertainty(results),
        ]
    return "\n".join(lines)


def screening_gains(results: Results) -> dict[str, tuple[float, float | None]]:
    """What screening gains against the reference: life-years and deaths
    from the disease averted, in total, each with its Monte Carlo standard
    error (None when the results have no sub-samples to tell it)."""
    reference, screening = (results.universes.index(u) for u in UNIVERSES)
    gains = {}
    for what, name, tags, tag, sign in (("life-years gained", "durations", results.duration_tags, "alive", 1),
                                        ("deaths averted", "events", results.event_tags, "death_disease", -1)):
        cells = getattr(results, name)[:, :, tags.index(tag)]
        value = sign * (cells[screening].sum() - cells[reference].sum())
        error = None
        if (results.subsamples or 0) > 1:
            sums = results.subsample_sums[name][:, :, :, tags.index(tag)]
            per_subsample = sign * (sums[:, screening] - sums[:, reference]).reshape(len(sums), -1).sum(axis=1)
            error = float(montecarlo.standard_error(per_subsample, results.subsample_people))
        gains[what] = (float(value), error)
    return gains


def uncertainty(results: Results) -> list[str]:
    """Lines of the summary: screening's gains with their 95% intervals."""
    lines = ["How sure: 95% intervals of the Monte Carlo error (the parameters held fixed)"]
    reason = montecarlo.no_error_reason(results.subsamples)
    if reason is not None:
        return [*lines, f"  none: {reason}"]
    t = montecarlo.student_t_quantile(0.975, results.subsamples - 1)  # type: ignore[operator]
    for what, (value, error) in screening_gains(results).items():
        assert error is not None
        lines.append(f"  {what}: {value:,.1f} ({value - t * error:,.1f} to {value + t * error:,.1f}), "
                     f"from {results.subsamples} sub-samples")
    return lines


def plot(results: Results, path: str | os.PathLike[str], spread: Mapping[str, np.ndarray] | None = None) -> None:
    """Saves a PNG: diagnoses per 100,000 person-years and deaths from the
    disease by age group, for every universe; with ``spread`` (two figures'
    values over parameter draws, by name), a third panel of their spread."""
    matplotlib = optional_import("matplotlib", "plot", "The demo's plot")
    matplotlib.use("Agg")  # headless: draws into files only
    import matplotlib.pyplot as plt

    labels = bin_labels(results.event_ages, floor=AGE_FLOOR)
    x = np.arange(len(labels))
    alive = results.duration_totals("alive")
    diagnosed = results.event_counts("clinical") + results.event_counts("screen_detected")
    deaths = results.event_counts("death_disease")
    figure, panels = plt.subplots(1, 3 if spread else 2, figsize=(16 if spread else 11, 4.2), layout="constrained")
    left, right = panels[:2]
    if spread:
        _plot_spread(panels[2], spread)
    width = 0.8 / len(results.universes)
    for i, universe in enumerate(results.universes):
        offset = (i - (len(results.universes) - 1) / 2) * width
        rate = 100_000 * diagnosed[i] / np.maximum(alive[i], 1e-300)
        left.bar(x + offset, rate, width, label=universe)
        right.bar(x + offset, deaths[i], width, label=universe)
    for axes, title, unit in ((left, "Diagnoses", "per 100,000 person-years"), (right, "Deaths from the disease", "deaths")):
        axes.set_xticks(x, labels)
        axes.set_xlabel("age group")
        axes.set_ylabel(unit)
        axes.set_title(title)
        axes.legend()
    people = results.metadata.get("population", "?")
    figure.suptitle(f"Chronic disease demo, {people:,} people" if isinstance(people, int) else "Chronic disease demo")
    try:
        # Whole or not at all: a failed write leaves no cut-short PNG.
        write_atomically(path, lambda file: figure.savefig(file, format="png", dpi=110))
    finally:
        plt.close(figure)


def _plot_spread(axes: Any, spread: Mapping[str, np.ndarray]) -> None:
    """The draws of the first two figures against each other, with each
    one's mean and the 2.5 to 97.5 percentiles of its draws."""
    (x_name, x), (y_name, y) = ((name, np.asarray(values, dtype=np.float64)) for name, values in list(spread.items())[:2])
    axes.plot(x, y, "o", alpha=0.5, label="draws")
    x_range, y_range = np.percentile(x, [2.5, 97.5]), np.percentile(y, [2.5, 97.5])
    axes.errorbar([x.mean()], [y.mean()], xerr=[[x.mean() - x_range[0]], [x_range[1] - x.mean()]],
                  yerr=[[y.mean() - y_range[0]], [y_range[1] - y.mean()]], fmt="D", color="black",
                  capsize=4, label="mean, 2.5 to 97.5 percentiles")
    axes.set_xlabel(x_name)
    axes.set_ylabel(y_name)
    axes.set_title(f"Screening's gains over {len(x)} parameter draws")
    axes.legend()

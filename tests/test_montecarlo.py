"""The Monte Carlo error of a run's cells: sub-sample sums dealt and kept
exactly, an estimator whose 95% intervals cover the truth of a closed-form
model 95% of the time, and results files of before and after."""

import math
import zipfile

import numpy as np
import pytest

import tavlen.simulation
from tavlen import Model, Process, Results, demo, handles
from tavlen.cells import add_into
from tavlen.montecarlo import standard_error, student_t_quantile

LAWS = demo.Laws()
AGES = [0, 60, 75, 85, 95]
SNAPSHOT_AGES = [60, 75, 85, 95]


@pytest.mark.parametrize("probability, df, quantile", [
    (0.975, 1, 12.706204736), (0.975, 2, 4.302652730), (0.975, 4, 2.776445105), (0.975, 9, 2.262157163),
    (0.975, 19, 2.093024054), (0.975, 30, 2.042272456), (0.975, 120, 1.979930405), (0.975, math.inf, 1.959963985),
    (0.995, 4, 4.604094871), (0.9995, 1, 636.619248769), (0.025, 9, -2.262157163), (0.5, 3, 0.0),
])
def test_student_t_quantiles(probability, df, quantile):
    assert student_t_quantile(probability, df) == pytest.approx(quantile, rel=1e-9, abs=1e-12)


@pytest.mark.parametrize("people", [[5, 5, 5, 5], [7, 7, 7, 3], [1000, 1]])
def test_the_estimator_weighs_subsamples_by_their_people(people):
    sums = np.array([[3.0, 1.0], [5.0, 1.0], [4.0, 2.0], [6.0, 0.0]])[: len(people)]
    n = np.array(people, dtype=float)
    k, total = len(n), n.sum()
    expected = np.sqrt(total / (k - 1) * (((sums - n[:, None] / total * sums.sum(0)) ** 2) / n[:, None]).sum(0))
    np.testing.assert_allclose(standard_error(sums, people), expected, rtol=1e-15)
    if len(set(people)) == 1:  # the familiar form for sub-samples of one size
        np.testing.assert_allclose(expected, np.sqrt(k / (k - 1) * ((sums - sums.mean(0)) ** 2).sum(0)), rtol=1e-12)
    # Sums proportional to the sub-samples' sizes show no error at all.
    assert standard_error(np.outer(n, [2.0, 0.5]), people) == pytest.approx([0, 0], abs=1e-9)


def gompertz_run(seed, people, block_size, subsamples):
    return Model([demo.OC(LAWS)]).run(
        np.full(people, 1950.0), event_ages=AGES, duration_ages=AGES, snapshot_ages=SNAPSHOT_AGES,
        seed=seed, block_size=block_size, subsamples=subsamples,
    )


def gompertz_truth(people):
    """Person-years and deaths by age group, and survivors at the snapshot ages."""
    survival = LAWS.other_causes_survival
    edges = np.array([*AGES, 250.0])
    ages = np.linspace(0.0, 250.0, 2_500_001)
    alive = survival(ages)
    segments = np.concatenate([[0.0], np.cumsum((alive[1:] + alive[:-1]) / 2 * np.diff(ages))])
    at = np.searchsorted(ages, edges)
    years = np.diff(segments[at])
    deaths = -np.diff(survival(edges))
    return people * np.concatenate([years, deaths, survival(np.array(SNAPSHOT_AGES, float))])


@pytest.mark.parametrize("subsamples, people, block_size", [
    (5, 400, 20),
    (10, 400, 20),
    (10, 390, 20),  # the last block, and one sub-sample, shorter
])
def test_95_percent_intervals_cover_the_closed_form_95_percent_of_the_time(subsamples, people, block_size):
    truth = gompertz_truth(people)
    t = student_t_quantile(0.975, subsamples - 1)
    covered = []
    for seed in range(200):
        results = gompertz_run(seed, people, block_size, subsamples)
        assert results.subsamples == subsamples
        cells = [(results.durations, "durations"), (results.events, "events")]
        figures = np.concatenate([totals[0, 0, 0, 0] for totals, _ in cells] + [results.snapshots_ages[0, 0, 0]])
        errors = np.concatenate([results.standard_error(name)[0, 0, 0, 0] for _, name in cells]
                                + [results.standard_error("snapshots_ages")[0, 0, 0]])
        covered.append(np.abs(figures - truth) <= t * errors)
    assert 0.93 <= np.mean(covered) <= 0.97


class Cohorts(Process):
    """Exponential lives whose mean grows with the birth year (10 to 60
    years over the century): a strong cohort effect. The universe "treated"
    pays 1,000 at birth and 50 a year, and lengthens each life by a tenth
    of a uniform draw of its own generator."""

    event_tags = ("treat",)
    duration_tags = ("alive", "care")
    random_number_generators = ("death", "treatment")

    def start(self, individual):
        death = individual.random["death"].expovariate(1.0 / cohort_mean(individual.year))
        if self.universe == "treated":
            individual.log_event("treat")
            death *= 1.0 + 0.1 * individual.random["treatment"].random()
            individual.log_duration("care", 0.0, death)
        individual.log_duration("alive", 0.0, death)
        individual.add_to_queue_age(death, "death", terminate=True)

    @handles("death")
    def death(self, individual):
        pass


def cohort_mean(birth_year):
    return 10.0 + 0.5 * (birth_year - 1900.0)


def test_intervals_are_honest_on_a_population_sorted_by_birth_year():
    # Ten blocks of a population sorted by birth year, K = 10: blocks of
    # consecutive people would each be one cohort, and the intervals would
    # read the cohorts' differences as noise (they covered 100% and 99.9% of the time).
    # The ICER's is Fieller's.
    births = np.linspace(1900.0, 2000.0, 400)
    means = cohort_mean(births)
    truth = {"life_years": means.sum(), "gained": 0.05 * means.sum()}
    icer = (1000.0 * len(births) + 50.0 * 1.05 * means.sum()) / truth["gained"]
    t = student_t_quantile(0.975, 9)
    covered = {"life_years": [], "gained": [], "icer": []}
    for seed in range(1000):
        results = Model([Cohorts()]).run(births, universes=("reference", "treated"), seed=seed, block_size=40)
        evaluation = tavlen.evaluate(results, event_costs={"treat": 1000.0}, annual_costs={"care": 50.0},
                                     utilities={"alive": 1.0}, life_years="alive")
        value, error = evaluation.value("life_years", False)[0], evaluation.standard_error("life_years", False)[0]
        covered["life_years"].append(abs(value - truth["life_years"]) <= t * error)
        value = evaluation.incremental("life_years", False)[1]
        error = evaluation.standard_error("life_years", False, incremental=True)[1]
        covered["gained"].append(abs(value - truth["gained"]) <= t * error)
        low, high = evaluation.icer_interval()
        covered["icer"].append(low[1] <= icer <= high[1])
    assert 0.93 <= np.mean(covered["life_years"]) <= 0.97
    assert 0.93 <= np.mean(covered["gained"]) <= 0.97
    assert 0.92 <= np.mean(covered["icer"]) <= 0.98


@pytest.fixture(scope="module")
def screening():
    return demo.run(3000, seed=4, block_size=100)


def test_blocks_are_dealt_round_robin_and_totals_stay_as_they_were(monkeypatch, screening):
    partials = []
    simulate = tavlen.simulation.simulate_block
    monkeypatch.setattr(tavlen.simulation, "simulate_block", lambda *block: partials.append(simulate(*block)) or partials[-1])
    results = demo.run(3000, seed=4, block_size=100, subsamples=7)
    alone = demo.run(3000, seed=4, block_size=100, subsamples=1)
    assert len(partials) == 2 * 30 and results.subsamples == 7 and alone.subsamples == 1 and screening.subsamples == 10
    np.testing.assert_array_equal(results.subsample_people, [500, 500, 400, 400, 400, 400, 400])
    for name in ("events", "durations", "snapshots_ages", "snapshots_years"):
        for other in (alone, screening):
            assert np.array_equal(getattr(other, name), getattr(results, name))
            assert getattr(other, name).dtype == getattr(results, name).dtype
        for k in range(7):
            expected = np.zeros_like(getattr(results, name))
            for partial in partials[k:30:7]:
                add_into(expected, getattr(partial, name))
            assert np.array_equal(results.subsample_sums[name][k], expected)


def test_common_random_numbers_make_the_error_of_a_difference_smaller(screening):
    difference, error = screening.difference("durations", "screening", "reference")
    years = screening.durations
    np.testing.assert_array_equal(difference, years[1] - years[0])
    assert difference.shape == years.shape[1:] and error.shape == difference.shape
    alive = screening.duration_tags.index("alive")
    # By age group, over the demo's yearly year groups: the sub-samples' sums of years alive.
    sums = screening.subsample_sums["durations"][:, :, 0, alive].sum(axis=2)  # sub-sample, universe, age
    each = standard_error(sums, screening.subsample_people)
    separate = np.hypot(each[0], each[1])
    shared = standard_error(sums[:, 1] - sums[:, 0], screening.subsample_people)
    assert (separate[2:] > 0).sum() >= 4  # years alive from age 50 on, where screening changes lives
    assert (shared[separate > 0] < 0.2 * separate[separate > 0]).all()
    # Before any screening, both universes live the same lives.
    assert (shared[:2] == 0).all() and (error[0, alive, :, :2] == 0).all() and (difference[0, alive, :, :2] == 0).all()


def test_table_intervals_bracket_the_figures(screening):
    table = screening.table(events="death_disease", durations="alive", intervals=True)
    assert table.splitlines()[0].split() == ["universe", "age", "group", "death_disease", "95%", "interval",
                                             "alive", "(years)", "95%", "interval"]
    for line in table.splitlines()[2:]:
        cells = [float(cell.replace(",", "")) for cell in line.split()[-8:] if cell != "to"]
        for figure, low, high in (cells[:3], cells[3:]):
            assert low <= figure <= high


@pytest.mark.parametrize("people, subsamples, kept, message", [
    (300, 10, 1, "a single sub-sample"),  # one block
    (3000, 1, 1, "a single sub-sample"),
    ("old file", None, None, "keep no sub-samples"),
])
def test_results_without_an_error_say_so(tmp_path, screening, people, subsamples, kept, message):
    if people == "old file":
        # A file as save() wrote it before sub-samples were kept.
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(Results, "_subsample_members", lambda self: {})
            screening.save(tmp_path / "old.npz")
        assert not any(name.startswith("subsample") for name in zipfile.ZipFile(tmp_path / "old.npz").namelist())
        results = Results.load(tmp_path / "old.npz")
        assert np.array_equal(results.durations, screening.durations) and not results.equals(screening)
    else:
        results = demo.run(people, seed=4, block_size=1000, subsamples=subsamples)
    assert results.subsamples == kept
    for ask in (lambda: results.standard_error("events"), lambda: results.difference("events", "screening", "reference"),
                lambda: results.table(events="onset", intervals=True)):
        with pytest.raises(ValueError, match=message):
            ask()
    assert "events_standard_error" not in results.to_xarray()


def test_files_and_xarray_keep_the_subsamples(tmp_path, screening):
    screening.save(tmp_path / "results.npz")
    loaded = Results.load(tmp_path / "results.npz")
    assert loaded.equals(screening) and loaded.subsamples == 10
    dataset = screening.to_xarray()
    assert dataset["events_subsample_sums"].dims == ("subsample", *dataset["events"].dims)
    assert dataset["subsample_people"].values.sum() == 3000
    np.testing.assert_array_equal(dataset["durations_standard_error"], screening.standard_error("durations"))

"""Costs, QALYs and life-years: discounting against closed forms, a small
incremental analysis by hand, the words for each quadrant, sweeps' plane and
acceptability curve, and the errors that bad input gets."""

import dataclasses
import importlib.util
import math

import numpy as np
import pytest

import tavlen
from tavlen import Model, Process, Results, SweepResults, handles
from tavlen.economics.evaluation import Evaluation
from tavlen.montecarlo import standard_error, student_t_quantile
from tavlen.results import grid_edges

from markdown import python_blocks

A, B = 2e-5, 0.1  # a Gompertz law of death: hazard A exp(B age)


class Die(Process):
    """Dies at the age given as the property "death_age"."""

    event_tags = ("death",)
    duration_tags = ("alive",)

    def start(self, individual):
        individual.log_duration_start("alive")
        individual.add_to_queue_age(float(individual.properties("death_age")), "death", terminate=True)

    @handles("death")
    def death(self, individual):
        individual.log_event("death")


def gompertz_quantiles(people):
    """Ages of death at the mid-points of ``people`` equal slices of the law: a quadrature of it."""
    dead = (np.arange(people) + 0.5) / people
    return np.log1p(-B / A * np.log1p(-dead)) / B


def exponential_integral(p, x, terms=60):
    """E_p(x) = integral from 1 to infinity of exp(-x t) t^-p dt, for p not a whole number."""
    series = sum((-x) ** k / (math.factorial(k) * (1 - p + k)) for k in range(terms))
    return x ** (p - 1) * math.gamma(1 - p) - series


def discounted_life_expectancy(rate):
    """The integral of survival times (1 + rate)^-age under the Gompertz law, in closed form."""
    force, c = math.log1p(rate), A / B
    return math.exp(c) / B * exponential_integral(1 + force / B, c)


@pytest.fixture(scope="module")
def gompertz():
    """People born at 2000.0 and at 2000.5, who die at the law's quantiles, discounted from 2000."""
    ages = gompertz_quantiles(20_000)
    results = {}
    for birth in (2000.0, 2000.5):
        results[birth] = Model([Die()]).run(
            np.full(len(ages), birth), properties={"death_age": ages}, block_size=2000, seed=1,
            discount_rates=(0.0, 0.03, 0.06), base_year=2000)
    return ages, results


@pytest.mark.parametrize("rate", [0.03, 0.06])
@pytest.mark.parametrize("birth", [2000.0, 2000.5])
def test_life_expectancy_is_discounted_exactly(gompertz, rate, birth):
    ages, results = gompertz
    got = tavlen.evaluate(results[birth], life_years="alive", utilities={"alive": 1.0}, discount_rate=rate,
                          base_year=2000)
    delay = (1 + rate) ** -(birth - 2000)
    closed_form = delay * discounted_life_expectancy(rate)
    these_lives = delay * np.mean(-np.expm1(-math.log1p(rate) * ages)) / math.log1p(rate)
    assert these_lives == pytest.approx(closed_form, rel=1e-6)  # the quantiles are a quadrature of the law
    for name in ("life_years", "qalys"):
        assert got.value(name)[0] == pytest.approx(these_lives, rel=1e-9)
    # Undiscounted, the years are the years, with or without the base year.
    for plain in (tavlen.evaluate(results[birth], life_years="alive"),
                  tavlen.evaluate(results[birth], life_years="alive", base_year=2000)):
        assert plain.value("life_years")[0] == pytest.approx(ages.mean(), rel=1e-12)


def synthetic(events, durations, people=100, subsamples=None, universes=("reference", "new"), rates=(0.05,),
              factors=((1.0, 1.0),)):
    """Results of one stratum, one age group and the year groups <2001, 2001-2002 and 2002+ from
    (universe, tag, year group) arrays, with discounted figures that weigh each year group by
    ``factors`` (one pair per rate); with ``subsamples``, (sub-sample, universe, tag, year group)
    arrays whose sums are the totals."""
    years, _ = grid_edges((2000, 2001, 2002), "years")
    ages, _ = grid_edges([0], "ages")
    weights = np.array([[*pair, 0.0] for pair in factors])  # rate, year group
    cells = lambda array, dtype: np.asarray(array, dtype=dtype)[..., None, :, :, None]
    # (..., universe, tag, year) -> (..., rate, universe, stratum, tag, age)
    discounted = lambda array: np.moveaxis(np.einsum("...y,ry->r...", np.asarray(array, float), weights), 0, -3)[..., None, :, None]
    u = len(universes)
    extra = {}
    if subsamples is not None:
        k = len(subsamples[0])
        extra = dict(subsample_people=np.full(k, people // k), subsample_sums={
            "events": cells(subsamples[0], np.uint32), "durations": cells(subsamples[1], np.float64),
            "snapshots_ages": np.zeros((k, u, 1, 0, 0), np.uint32), "snapshots_years": np.zeros((k, u, 1, 0, 0), np.uint32),
            "discounted_events": discounted(subsamples[0]), "discounted_durations": discounted(subsamples[1])})
        events, durations = np.sum(subsamples[0], axis=0), np.sum(subsamples[1], axis=0)
    return Results(
        events=cells(events, np.uint32), durations=cells(durations, np.float64),
        snapshots_ages=np.zeros((u, 1, 0, 0), np.uint32), snapshots_years=np.zeros((u, 1, 0, 0), np.uint32),
        individual={"universe": np.zeros(0, np.uint8), "individual": np.zeros(0, np.uint32),
                    "element": np.zeros(0, np.uint16), "age": np.zeros(0), "tag": np.zeros(0, np.uint16)},
        universes=universes, strata=("all",), event_tags=("treat", "death"), duration_tags=("alive", "ill"),
        event_individual_tags=(), snapshot_tags=(), event_ages=ages, event_years=years,
        duration_ages=ages.copy(), duration_years=years.copy(), snapshot_ages=np.zeros(0),
        snapshot_years=np.zeros(0), metadata={"population": people}, discounted_events=discounted(events),
        discounted_durations=discounted(durations), discount_rates=np.array(rates), base_year=2000.0, **extra)


# Treatments in years 2000 and 2001; years alive and ill in 2000 and 2001; nothing from 2002.
EVENTS = [[[0, 0, 0], [5, 5, 0]], [[10, 5, 0], [5, 5, 0]]]
DURATIONS = [[[100, 90, 0], [0, 10, 0]], [[100, 95, 0], [0, 5, 0]]]
PRICES = dict(event_costs={"treat": 1000.0}, annual_costs={"ill": 2000.0}, utilities={"alive": 1.0, "ill": -0.5},
              life_years="alive", discount_rate=0.05, willingness_to_pay=20_000.0)


@pytest.mark.parametrize("factors, word", [
    ((0.9, 0.8), "more costly, more effective"),
    # Nothing before the base year counts: the new universe's extra treatments in 2000 are not paid for.
    ((0.0, 0.9), "dominant"),
])
def test_two_universes_with_known_costs_and_effects(factors, word):
    f0, f1 = factors
    got = tavlen.evaluate(synthetic(EVENTS, DURATIONS, factors=[factors]), **PRICES, base_year=2000)
    costs = np.array([2000 * 10 * f1, 1000 * (10 * f0 + 5 * f1) + 2000 * 5 * f1]) / 100
    qalys = np.array([100 * f0 + 90 * f1 - 0.5 * 10 * f1, 100 * f0 + 95 * f1 - 0.5 * 5 * f1]) / 100
    life_years = np.array([100 * f0 + 90 * f1, 100 * f0 + 95 * f1]) / 100
    for name, expected in (("costs", costs), ("qalys", qalys), ("life_years", life_years)):
        np.testing.assert_allclose(got.value(name), expected, rtol=1e-12)
        np.testing.assert_allclose(got.value(name, per_person=False), 100 * expected, rtol=1e-12)
        np.testing.assert_allclose(got.incremental(name), [0, expected[1] - expected[0]], rtol=1e-12, atol=1e-15)
    ratio = (costs[1] - costs[0]) / (qalys[1] - qalys[0])
    assert got.verdicts == ("reference", word)
    assert got.icer[1] == pytest.approx(ratio, rel=1e-12) if word != "dominant" else math.isnan(got.icer[1])
    benefit = 20_000 * (qalys[1] - qalys[0]) - (costs[1] - costs[0])
    assert got.incremental("net_monetary_benefit")[1] == pytest.approx(benefit, rel=1e-12)
    assert got.at(0).incremental("net_monetary_benefit")[1] == pytest.approx(costs[0] - costs[1], rel=1e-12)
    frame = got.to_dataframe()
    assert frame.loc["new", "verdict"] == word and frame.loc["new", "incremental_costs"] == got.incremental("costs")[1]


def test_errors_come_from_the_sub_samples_weighed_alike():
    rng = np.random.default_rng(3)
    events = rng.integers(0, 20, size=(4, 2, 2, 3)).astype(np.uint32)
    durations = rng.random((4, 2, 2, 3)) * 50
    events[..., 2] = durations[..., 2] = 0
    f = np.array([0.9, 0.8])
    got = tavlen.evaluate(synthetic(None, None, subsamples=(events, durations), factors=[f]), **PRICES, base_year=2000)
    costs = 1000 * events[:, :, 0, :2] @ f + 2000 * durations[:, :, 1, :2] @ f  # sub-sample, universe
    qalys = durations[:, :, 0, :2] @ f - 0.5 * durations[:, :, 1, :2] @ f
    people = np.full(4, 25)
    np.testing.assert_allclose(got.standard_error("costs"), standard_error(costs, people) / 100, rtol=1e-12)
    np.testing.assert_allclose(got.standard_error("qalys", per_person=False), standard_error(qalys, people), rtol=1e-12)
    gained = qalys[:, 1] - qalys[:, 0]
    assert got.standard_error("qalys", incremental=True)[1] == pytest.approx(standard_error(gained, people) / 100, rel=1e-12)
    benefit = 20_000 * gained - (costs[:, 1] - costs[:, 0])
    assert got.standard_error("net_monetary_benefit", incremental=True)[1] == pytest.approx(
        standard_error(benefit, people) / 100, rel=1e-12)
    assert "95% intervals" in got.table() and " to " in got.table()
    alone = tavlen.evaluate(synthetic(EVENTS, DURATIONS), **PRICES, base_year=2000)
    with pytest.raises(ValueError, match="keep no sub-samples"):
        alone.standard_error("costs")
    assert "no Monte Carlo intervals" in alone.table()
    for evaluation in (got, alone):  # intervals left out by choice need no explanation
        assert evaluation.table(intervals=False).endswith(f"({evaluation.describe()})")


@pytest.mark.parametrize("gained, cell", [
    ([1.0, 1.2, 0.8, 1.1], None),  # the bounds, computed below
    ([0.5, -0.4, 0.3, -0.2], "undefined"),  # the QALYs gained may be 0: no ratio is ruled out
])
def test_the_icer_interval_is_fiellers(gained, cell):
    treated = np.array([3, 4, 2, 5])
    events = np.zeros((4, 2, 2, 3), np.uint32)
    events[:, 1, 0, 0] = treated
    durations = np.zeros((4, 2, 2, 3))
    durations[:, :, 0, 0] = 10.0
    durations[:, 1, 0, 0] += gained
    got = tavlen.evaluate(synthetic(None, None, subsamples=(events, durations), factors=[(1.0, 1.0)]),
                          event_costs={"treat": 1000.0}, utilities={"alive": 1.0}, discount_rate=0.05, base_year=2000)
    # Fieller's interval by hand: the ratios R with (C - R E)^2 <= t^2 Var(C - R E).
    c, e = 1000.0 * treated, np.array(gained)
    t2 = student_t_quantile(0.975, 3) ** 2
    var = lambda x, y: 4 / 3 * np.sum((x - x.mean()) * (y - y.mean()))
    a, b, k = e.sum() ** 2 - t2 * var(e, e), c.sum() * e.sum() - t2 * var(c, e), c.sum() ** 2 - t2 * var(c, c)
    low, high = got.icer_interval()
    if a > 0:
        expected = [(b - math.sqrt(b * b - a * k)) / a, (b + math.sqrt(b * b - a * k)) / a]
        np.testing.assert_allclose([low[1], high[1]], expected, rtol=1e-9)
        assert low[1] < got.icer[1] < high[1]
        cell = f"{expected[0]:,.0f} to {expected[1]:,.0f}"
    else:
        assert math.isnan(low[1]) and math.isnan(high[1])
    assert math.isnan(low[0])  # the reference has none
    row = next(line for line in got.table().splitlines() if line.startswith("ICER"))
    assert row.endswith(f"{got.icer[1]:,.0f} ({cell})")


def evaluation(costs, qalys, willingness_to_pay=None):
    """An evaluation of one person in universes "a" (the reference), "b", "c", ... with these figures."""
    universes = tuple("abcdefghij"[: len(costs)])
    totals = {"costs": np.array(costs, float), "qalys": np.array(qalys, float), "life_years": np.zeros(len(costs))}
    return Evaluation(universes, "a", 1, totals, None, None, willingness_to_pay, {"life_years": None})


@pytest.mark.parametrize("cost, effect, word, icer, cell", [
    (10, 2, "more costly, more effective", 5.0, "5"),
    (-10, -2, "less costly, less effective", 5.0, "5 saved per QALY lost"),
    (10, -2, "dominated", None, "dominated"),
    (10, 0, "dominated", None, "dominated"),
    (0, -2, "dominated", None, "dominated"),
    (-10, 2, "dominant", None, "dominant"),
    (-10, 0, "dominant", None, "dominant"),
    (0, 2, "dominant", None, "dominant"),
    (0, 0, "same costs and effects", None, "same costs and effects"),
])
def test_each_quadrant_has_its_words_and_only_two_have_a_ratio(cost, effect, word, icer, cell):
    got = evaluation([100, 100 + cost], [10, 10 + effect])
    assert got.verdicts == ("reference", word)
    assert math.isnan(got.icer[0]) and (math.isnan(got.icer[1]) if icer is None else got.icer[1] == icer)
    row = next(line for line in got.table().splitlines() if line.startswith("ICER"))
    assert row.split()[-len(cell.split()):] == cell.split()


def sweep_of(models, universes=("reference", "a", "b")):
    """A sweep of synthetic results of one person each: ``models`` holds (cost, QALYs) per universe."""
    results = []
    for figures in models:
        costs, qalys = zip(*figures)
        durations = [[[q, 0, 0], [c, 0, 0]] for c, q in figures]  # years alive; "ill" carries the cost
        results.append(synthetic(np.zeros((len(universes), 2, 3)), durations, people=1, universes=universes))
    swept = SweepResults([f"m{i}" for i in range(len(models))], results)
    return tavlen.evaluate(swept, annual_costs={"ill": 1.0}, utilities={"alive": 1.0}, willingness_to_pay=25_000.0)


# Against the reference, "a" gains 0.01 QALY for 100 m in model m (ICER 10,000 m); "b" is dominated.
MODELS = [[(0, 10), (100 * m, 10.01), (300, 9.99)] for m in range(1, 5)]


def test_sweep_plane_and_acceptability_curve():
    got = sweep_of(MODELS)
    plane = got.plane()
    assert list(plane) == ["a", "b"]
    np.testing.assert_allclose(plane["a"][0], [0.01] * 4, rtol=1e-9)
    np.testing.assert_array_equal(plane["a"][1], [100, 200, 300, 400])
    np.testing.assert_allclose(plane["b"], [[-0.01] * 4, [300] * 4], rtol=1e-9)
    curve = got.acceptability([0, 10_000, 25_000, 50_000])
    # At 10,000 per QALY the first model ties: half of it goes to each.
    np.testing.assert_allclose(curve.share, [[1, 0.875, 0.5, 0], [0, 0.125, 0.5, 1], [0, 0, 0, 0]], atol=1e-9)
    assert curve.to_dataframe().loc[25_000.0, "a"] == 0.5
    default = got.acceptability()
    assert default.willingness_to_pay[0] == 0 and default.willingness_to_pay[-1] == 75_000
    assert np.allclose(default.share.sum(axis=0), 1.0)
    text = got.table()
    for phrase in ["models: dominated", "4 of 4", "ICER of the means", "25,000", "(reference: 50%)", "50%"]:
        assert phrase in text
    assert got.to_dataframe().loc[("m1", "a"), "icer"] == pytest.approx(20_000)  # the second model
    if importlib.util.find_spec("xarray"):
        assert got.to_xarray()["icer"].sel(model="m1", universe="a") == pytest.approx(20_000)
    assert got["m0"].value("costs")[1] == 100 and len(got[1:]) == 3


def test_sweep_plots(tmp_path):
    pytest.importorskip("matplotlib")
    for models, name in ((MODELS, "four.png"), (MODELS[:1], "one.png")):
        sweep_of(models).plot(tmp_path / name)
        assert (tmp_path / name).read_bytes()[:4] == b"\x89PNG"
    import matplotlib.pyplot as plt

    figure, (plane, curves) = plt.subplots(1, 2)
    try:  # a probabilistic sensitivity analysis calls its models draws
        sweep_of(MODELS).plot_plane(plane, models_called="draws")
        sweep_of(MODELS).plot_acceptability(curves, models_called="draws")
        assert plane.get_title().endswith("4 draws") and curves.get_ylabel().startswith("share of draws")
    finally:
        plt.close(figure)


@pytest.mark.parametrize("options, error, message", [
    (dict(event_costs={"scren": 1.0}), KeyError, "event_costs: 'scren' is not among the event tags"),
    (dict(annual_costs={"death": 1.0}), KeyError, "annual_costs: 'death' is not among the duration tags"),
    (dict(utilities={"sick": 0.5}), KeyError, "utilities: 'sick' is not among the duration tags"),
    (dict(life_years="living"), KeyError, "life_years: 'living' is not among the duration tags"),
    (dict(event_costs={"treat": -1.0}), ValueError, r"event_costs\['treat'\] must be a cost of 0 or more, got -1.0"),
    (dict(annual_costs={"ill": math.nan}), ValueError, r"annual_costs\['ill'\] must be a finite number, got nan"),
    (dict(utilities={"ill": math.inf}), ValueError, r"utilities\['ill'\] must be a finite number"),
    (dict(event_costs={"treat": "10"}), TypeError, r"event_costs\['treat'\] must be a number, got str"),
    (dict(discount_rate=-0.01), ValueError, r"discount_rate is an annual rate of 0 or more \(0.03 for 3%\), got -0.01"),
    (dict(discount_rate=(0.03, 0.01, 0.0)), ValueError, r"discount_rate is one rate or two, \(costs, effects\), got 3"),
    (dict(discount_rate=math.nan), ValueError, "discount_rate must be a finite number"),
    (dict(utilities={"alive": [1.0, 0.9]}), ValueError,
     r"utilities\['alive'\] is one number or one per age group of the run \(1: 0\+\), got \(2,\)"),
    (dict(discount_rate=0.03, base_year=2000), ValueError,
     r"no figures discounted at 3% \(the run recorded 5%\); Model.run\(discount_rates=\(0.05, 0.03\), base_year=2000\) records"),
    (dict(discount_rate=(0.05, 0.0), base_year=2000), ValueError, r"no figures discounted at 0% \(the run recorded 5%\)"),
    (dict(discount_rate=0.05, base_year=2001), ValueError,
     r"no figures discounted from base_year 2001 \(the run recorded them from 2000\); Model.run\(discount_rates=\(0.05,\), base_year=2001\)"),
    (dict(reference="baseline"), KeyError, "reference 'baseline' is not among the universes: \\['reference', 'new'\\]"),
    (dict(willingness_to_pay=-1), ValueError, "willingness_to_pay must be 0 or more"),
])
def test_bad_input_is_named(options, error, message):
    with pytest.raises(error, match=message):
        tavlen.evaluate(synthetic(EVENTS, DURATIONS), **{"utilities": {"alive": 1.0}, **options})


def test_results_without_discounted_figures_name_the_option_that_records_them():
    undiscounted = dataclasses.replace(synthetic(EVENTS, DURATIONS), discounted_events=None,
                                       discounted_durations=None, discount_rates=None, base_year=None)
    assert tavlen.evaluate(undiscounted, life_years="alive").value("life_years")[0] == pytest.approx(1.9)
    with pytest.raises(ValueError, match=r"these results have none: Model.run\(discount_rates=\(0.03,\), base_year=2025\)"):
        tavlen.evaluate(undiscounted, life_years="alive", discount_rate=0.03)


def test_acceptability_needs_two_models_and_evaluate_names_the_model():
    with pytest.raises(ValueError, match="needs a sweep of at least two models, this one has 1"):
        sweep_of(MODELS[:1]).acceptability()
    swept = SweepResults(["fine", "broken"], [synthetic(EVENTS, DURATIONS), synthetic(EVENTS, DURATIONS, rates=(0.03,))])
    with pytest.raises(ValueError) as raised:
        tavlen.evaluate(swept, utilities={"alive": 1.0}, discount_rate=0.05, base_year=2000)
    assert "in the sweep's model 'broken'" in raised.value.__notes__
    with pytest.raises(TypeError, match="Results or SweepResults"):
        tavlen.evaluate({"reference": 1})


def test_readme_example_runs(tmp_path, monkeypatch):
    blocks = (python_blocks("README.md")[:1] + python_blocks("docs/_from_readme/monte-carlo-error-and-sweeps.md")[:1]
              + python_blocks("docs/_from_readme/economics.md")[:1])
    assert "tavlen.evaluate(" in blocks[-1]
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "readme"}
    for block in blocks:
        exec(compile(block.replace("10_000", "3_000"), "README.md", "exec"), namespace)
    evaluation = namespace["evaluation"]
    assert evaluation.universes == ("reference", "vaccinated") and evaluation.describe() == "discounted at 3% a year, from 2015"
    assert "ICER (costs per QALY gained)" in evaluation.table()

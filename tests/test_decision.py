"""The decision between several strategies: the efficiency frontier on cases
with known answers, the acceptability curve and frontier, EVPI against its
closed form, EVPPI of related and unrelated parameters, and prices that
differ by model of a sweep."""

import importlib.util
import math
from statistics import NormalDist

import numpy as np
import pytest

import tavlen
from tavlen import Model, Process, SweepResults, handles
from tavlen.economics import SweepEvaluation
from tavlen.economics.evaluation import Evaluation
from tavlen.economics.frontier import efficiency_frontier
from tavlen.economics.information import EVPPI_MIN_MODELS, evpi, evppi, population_factor
from tavlen.economics.oneway import one_way

from test_economics import EVENTS, DURATIONS, synthetic

F, D, X = "on the frontier", "dominated", "extendedly dominated"


@pytest.mark.parametrize("costs, effects, status, by, path, icers", [
    # B is extendedly dominated by A and C, D dominated by C: the ICER of C is against A.
    ([0, 60, 100, 150], [10, 10.5, 11, 10.8], (F, X, F, D), ("", "A and C", "", "C"), "AC", {"C": 100}),
    # Tied in cost: the more effective of the two dominates the other.
    ([0, 50, 50], [10, 11, 12], (F, D, F), ("", "C", ""), "AC", {"C": 25}),
    # Tied in effect: the cheaper of the two dominates the other.
    ([0, 50, 80], [10, 11, 11], (F, F, D), ("", "", "B"), "AB", {"B": 50}),
    # One strategy dominates every other.
    ([30, 10, 20], [5, 8, 6], (D, F, D), ("B", "", "B"), "B", {}),
    # ICERs 120, 80, 40: removing B leaves A-C 100 > C-D 40, which removes C in turn.
    ([0, 120, 200, 240], [0, 1, 2, 3], (F, X, X, F), ("", "A and C", "A and D", ""), "AD", {"D": 80}),
    # Equal costs and effects: the later one is set aside as the same, with no ICER.
    ([0, 40, 40], [1, 2, 2], (F, F, "same as"), ("", "", "B"), "AB", {"B": 40}),
    # ICERs equal along a line: nothing is extendedly dominated.
    ([0, 10, 20], [0, 1, 2], (F, F, F), ("", "", ""), "ABC", {"B": 10, "C": 10}),
])
def test_frontier_cases_with_known_answers(costs, effects, status, by, path, icers):
    names = "ABCDE"[: len(costs)]
    got = efficiency_frontier(names, costs, effects)
    assert (got.status, got.by, "".join(got.path)) == (status, by, path)
    expected = np.full(len(costs), math.nan)
    for name, value in icers.items():
        expected[names.index(name)] = value
    np.testing.assert_allclose(got.icer, expected, rtol=1e-12)
    # The same strategies in another order answer alike.
    order = list(reversed(range(len(costs))))
    again = efficiency_frontier([names[i] for i in order], [costs[i] for i in order], [effects[i] for i in order])
    if "same as" not in status:
        assert set(again.path) == set(path) and all(again.describe(n) == got.describe(n) for n in names)


def four_strategies(models=1, spread=0.0, seed=0):
    """Evaluations of one person in strategies A-D of the example, with normal noise of ``spread`` per model."""
    rng = np.random.default_rng(seed)
    evaluations = []
    for _ in range(models):
        costs = np.array([0, 60, 100, 150.0]) + spread * rng.normal(size=4) * 10
        qalys = np.array([10, 10.5, 11, 10.8]) + spread * rng.normal(size=4) * 0.1
        evaluations.append(Evaluation(tuple("ABCD"), "A", 1, {"costs": costs, "qalys": qalys, "life_years": qalys},
                                      None, None, 150.0, {"life_years": None}))
    return evaluations


def test_evaluation_and_sweep_show_the_frontier():
    single = four_strategies()[0]
    assert single.frontier().path == ("A", "C")
    text = single.table()
    assert "Efficiency frontier: A -> C" in text and "extendedly dominated by A and C" in text
    assert "100 against A" in text and "dominated by C" in text
    frame = single.to_dataframe()
    assert frame.loc["C", "sequential_icer"] == 100 and frame.loc["B", "frontier_status"] == X
    swept = SweepEvaluation([f"m{i}" for i in range(50)], four_strategies(50, spread=1.0))
    assert swept.frontier().path == ("A", "C")
    assert "Efficiency frontier: A -> C" in swept.table()
    assert "At 150 per QALY: the highest expected net benefit is C's (best in" in swept.table()
    assert f"EVPI {swept.evpi():,.2f} per person" in swept.table()


def test_acceptability_curve_and_frontier_of_three_and_more_strategies():
    swept = SweepEvaluation([f"m{i}" for i in range(400)], four_strategies(400, spread=1.0, seed=4))
    curve = swept.acceptability([0, 50, 90, 150, 1000])
    np.testing.assert_allclose(curve.share.sum(axis=0), 1.0)
    # The decision follows the frontier: A below C's ICER of 100, C above it.
    assert curve.optimal == ("A", "A", "A", "C", "C")
    benefit = swept.benefit(150)
    best = benefit.argmax(axis=1)
    assert curve.frontier[3] == pytest.approx(np.mean(best == 2)) and curve.share[2, 3] == curve.frontier[3]
    assert curve.evpi[3] == pytest.approx(swept.evpi(150)) and swept.evpi(150) == pytest.approx(evpi(benefit))
    frame = curve.to_dataframe()
    assert list(frame["optimal"]) == list(curve.optimal) and frame.loc[150.0, "evpi"] == curve.evpi[3]


def quantiles(mean, sd, count, seed):
    """``count`` normal values at the quantiles of equal slices, shuffled: a quadrature of the law."""
    values = mean + sd * np.array([NormalDist().inv_cdf((i + 0.5) / count) for i in range(count)])
    return np.random.default_rng(seed).permutation(values)


@pytest.mark.parametrize("mean, sd, draw", [(0, 1000, "quadrature"), (500, 1000, "quadrature"), (-1500, 1000, "quadrature"),
                                            (300, 800, "random")])
def test_evpi_of_two_strategies_against_the_closed_form(mean, sd, draw):
    difference = quantiles(mean, sd, 2000, 1) if draw == "quadrature" else np.random.default_rng(7).normal(mean, sd, 2000)
    benefit = np.column_stack([np.full(2000, 5000.0), 5000.0 + difference])
    z = mean / sd
    closed = sd * NormalDist().pdf(z) - abs(mean) * NormalDist().cdf(-abs(z))
    assert evpi(benefit) == pytest.approx(closed, rel=0.03)
    # Never negative, and nothing to learn when one strategy always wins.
    assert evpi(np.column_stack([benefit[:, 0], benefit[:, 0] + np.abs(difference) + 1])) == 0.0


@pytest.mark.parametrize("rate, expected", [(0.0, 1000 * 10), (0.035, 1000 * (1 - 1.035**-10) / math.log(1.035))])
def test_population_evpi_discounts_each_years_people(rate, expected):
    assert population_factor(1000, 10, rate) == pytest.approx(expected, rel=1e-12)


def test_evppi_of_the_parameter_that_decides_and_of_an_unrelated_one():
    rng = np.random.default_rng(11)
    theta, unrelated, noise = (rng.normal(size=2000) for _ in range(3))
    difference = 1000 * np.sin(theta) + 200 * theta
    benefit = np.column_stack([np.zeros(2000), difference, 0.5 * difference + 100])
    total = evpi(benefit)
    assert evppi(benefit, [theta]) == pytest.approx(total, rel=0.05)
    assert evppi(benefit, {"unrelated": unrelated}) < 0.05 * total
    assert evppi(benefit, [theta, unrelated]) == pytest.approx(total, rel=0.05)
    # Two parameters that act together: each alone tells part, the pair nearly all.
    shared = np.column_stack([np.zeros(2000), 1000 * theta + 800 * unrelated + 100 * noise])
    alone, pair = evppi(shared, [theta]), evppi(shared, [theta, unrelated])
    assert alone < 0.9 * pair and pair == pytest.approx(evpi(shared), rel=0.05)


@pytest.mark.parametrize("models, group, message", [
    (EVPPI_MIN_MODELS - 1, 1, f"at least {EVPPI_MIN_MODELS} models"),
    (400, 5, "group of more than 4 parameters is not estimated"),
    (1000, 4, "group of 4 parameters needs at least 1,024 models"),
])
def test_evppi_from_too_few_models_is_refused(models, group, message):
    rng = np.random.default_rng(0)
    benefit = rng.normal(size=(models, 2))
    with pytest.raises(ValueError, match=message):
        evppi(benefit, list(rng.normal(size=(group, models))))


def priced_sweep(**options):
    """A sweep of three synthetic models with a parameters table."""
    results = [synthetic(EVENTS, DURATIONS) for _ in range(3)]
    swept = SweepResults(["a", "b", "c"], results, parameters={"treat cost": [500.0, 1000.0, 1500.0]})
    return swept, tavlen.evaluate(swept, utilities={"alive": 1.0}, willingness_to_pay=20_000, **options)


@pytest.mark.parametrize("event_costs", [
    lambda label: {"treat": {"a": 500.0, "b": 1000.0, "c": 1500.0}[label]},
    [{"treat": 500.0}, {"treat": 1000.0}, {"treat": 1500.0}],
])
def test_prices_that_differ_by_model(event_costs):
    swept, got = priced_sweep(event_costs=event_costs)
    for price, each in zip([500.0, 1000.0, 1500.0], got):
        expected = tavlen.evaluate(swept[0], event_costs={"treat": price}, utilities={"alive": 1.0})
        np.testing.assert_array_equal(each.value("costs"), expected.value("costs"))
    assert got.varying == ("event_costs",) and "unit costs differ by model" in got.table()
    assert got.parameters["treat cost"].tolist() == [500.0, 1000.0, 1500.0]
    assert got[1:].parameters["treat cost"].tolist() == [1000.0, 1500.0]
    _, same = priced_sweep(event_costs={"treat": 1000.0})
    assert same.varying == () and "differ by model" not in same.table()


def test_per_model_options_and_parameters_tables_are_checked():
    with pytest.raises(ValueError, match="event_costs gives 2 values, one per model, to a sweep of 3 models"):
        priced_sweep(event_costs=[{"treat": 1.0}] * 2)
    with pytest.raises(ValueError) as raised:
        priced_sweep(event_costs=lambda label: {"treat": -1.0 if label == "b" else 1.0})
    assert "in the sweep's model 'b'" in raised.value.__notes__
    results = [synthetic(EVENTS, DURATIONS)] * 2
    for table, error, message in [
        ({"p": [1.0]}, ValueError, r"the parameter 'p' needs one value per model \(2\), got shape \(1,\)"),
        ({"p": [1.0, math.nan]}, ValueError, "'p' must hold finite values"),
        ({"p": ["x", "y"]}, TypeError, "'p' must hold numbers"),
        ({1: [1.0, 2.0]}, TypeError, "must be str"),
        ([1.0, 2.0], TypeError, "must be a mapping"),
    ]:
        with pytest.raises(error, match=message):
            SweepResults(["a", "b"], results, parameters=table)
    if importlib.util.find_spec("pandas"):
        import pandas as pd
        table = SweepResults(["a", "b"], results, parameters=pd.DataFrame({"p": [1, 2]})).parameters
        assert table["p"].tolist() == [1.0, 2.0] and not table["p"].flags.writeable
    with pytest.raises(KeyError, match="give the sweep a parameters table"):
        tavlen.evaluate(SweepResults(["a", "b"], results), utilities={"alive": 1.0},
                        willingness_to_pay=1.0).evppi("p")


class DieAt(Process):
    """Everyone dies at the same age."""

    event_tags = ("death",)
    duration_tags = ("alive",)

    def __init__(self, age):
        self.age = age

    def start(self, individual):
        individual.log_duration_start("alive")
        individual.add_to_queue_age(self.age, "death", terminate=True)

    @handles("death")
    def death(self, individual):
        individual.log_event("death")


def test_one_way_sensitivity_sorts_the_parameters_by_their_range(tmp_path):
    tornado = one_way(
        lambda age, cost, unused: Model([DieAt(age)]), base={"age": 70.0, "cost": 1000.0, "unused": 1.0},
        ranges={"cost": (0.0, 5000.0), "age": (60.0, 80.0), "unused": (0.0, 2.0)}, birth_years=np.zeros(20), seed=1,
        outcome=lambda results, values: tavlen.evaluate(results, life_years="alive").value("life_years")[0]
        - values["cost"] / 1000, outcome_name="life-years less cost")
    assert tornado.parameters == ("age", "cost", "unused") and tornado.base == pytest.approx(69.0)
    np.testing.assert_allclose([tornado.low, tornado.high], [[59, 70, 69], [79, 65, 69]])
    np.testing.assert_array_equal(tornado.low_values, [60, 0, 0])
    assert tornado.swept.labels[0] == "base" and tornado.swept.parameters["age"].tolist()[:3] == [70, 70, 70]
    if importlib.util.find_spec("xarray"):  # the parameters travel with the results
        assert tornado.swept.to_xarray()["parameter_age"].sel(model="age high") == 80
    assert "age" in tornado.table().splitlines()[3] and "20.00" in tornado.table()
    if importlib.util.find_spec("matplotlib"):
        tornado.plot(tmp_path / "tornado.png")
        assert (tmp_path / "tornado.png").read_bytes()[:4] == b"\x89PNG"
    with pytest.raises(KeyError, match="needs its base value"):
        one_way(lambda age: Model([DieAt(age)]), {"age": 1.0}, {"rate": (0, 1)}, np.zeros(2), lambda r, v: 0.0)

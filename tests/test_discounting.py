"""Exact discounting: what a run records for each rate against the closed
forms, costs and effects at rates of their own, weights by age group, the
engine's refusals, and the same figures however the blocks run."""

import copy
import math
import os
import pathlib
import pickle

import numpy as np
import pytest

import tavlen
from tavlen import Model, Process, handles

from conftest import in_life, make

RATES = (0.0, 0.015, 0.03, 0.06)
AGES = [0, 30, 60]  # age groups 0-30, 30-60, 60+


def discounted(start, end, rate, base):
    """The integral of (1 + rate)^-(t - base) over [start, end], nothing before base."""
    start = max(start, base)
    if end <= start:
        return 0.0
    if rate == 0:
        return end - start
    v = 1 + rate
    return (v ** -(start - base) - v ** -(end - base)) / math.log(v)


def factor(year, rate, base):
    return (1 + rate) ** -(year - base) if year >= base else 0.0


class Scripted(Process):
    """A cost at the age "cost_age", an illness from "ill_from" to "ill_to", a
    move to stratum 1 at "hop_age", and death at "death_age"."""

    event_tags = ("cost",)
    duration_tags = ("alive", "ill")

    def start(self, individual):
        individual.log_duration_start("alive")
        for name, message in (("cost_age", "cost"), ("hop_age", "hop")):
            age = float(individual.properties(name))
            if age >= 0:
                individual.add_to_queue_age(age, message)
        individual.add_to_queue_age(float(individual.properties("death_age")), "death", terminate=True)

    @handles("cost")
    def cost(self, individual):
        individual.log_event("cost")

    @handles("hop")
    def hop(self, individual):
        individual.hop_stratum(1)

    @handles("death")
    def death(self, individual):
        individual.log_duration("ill", float(individual.properties("ill_from")), float(individual.properties("ill_to")))


def run_one(birth, cost_age, ill, death_age, hop_age=-1.0, base=2025.0, **options):
    properties = {"cost_age": [cost_age], "ill_from": [ill[0]], "ill_to": [ill[1]], "death_age": [death_age],
                  "hop_age": [hop_age]}
    return Model([Scripted()]).run([birth], properties=properties, event_ages=AGES, duration_ages=AGES,
                                   discount_rates=RATES, base_year=base, n_stratum_hops=1, seed=1, **options)


@pytest.mark.parametrize("birth, cost_age, ill, death_age, hop_age", [
    (1995.0, 30.0, (25.0, 35.0), 50.0, -1.0),   # a cost at exactly the base year; an illness straddling it
    (1990.0, 36.0, (20.0, 34.0), 64.0, -1.0),   # a cost at a year start; an illness wholly before it
    (1950.0, 40.0, (70.0, 79.0), 80.0, -1.0),   # a cohort born 75 years before; a cost long before
    (2000.5, 24.5, (24.5, 31.25), 67.75, -1.0),  # mid-year birth: a cost at 2025.0; an illness across an age edge
    (2020.25, 33.0, (10.0, 61.5), 70.0, 45.5),  # born after 2020; moves to stratum 1 in mid-illness
])
def test_every_rate_is_exact_at_the_true_time_of_what_it_counts(birth, cost_age, ill, death_age, hop_age):
    results = run_one(birth, cost_age, ill, death_age, hop_age)
    base = 2025.0
    edges = [*AGES[1:], math.inf]
    hops = [(0.0, 0), *([(hop_age, 1)] if hop_age >= 0 else []), (math.inf, None)]
    for r, rate in enumerate(RATES):
        # The cost, in its age group and stratum.
        expected = np.zeros((2, 3))
        stratum = 1 if 0 <= hop_age <= cost_age else 0
        expected[stratum, np.searchsorted(edges, cost_age, side="right")] = factor(birth + cost_age, rate, base)
        np.testing.assert_allclose(results.discounted_events[r, 0, :, 0], expected, rtol=1e-9, atol=1e-300)
        # Each duration, cut at the age edges and the move.
        for tag, (start, end) in (("alive", (0.0, death_age)), ("ill", ill)):
            expected = np.zeros((2, 3))
            cuts = sorted({start, end, *(a for a in AGES if start < a < end), *(h for h, _ in hops if start < h < end)})
            for low, high in zip(cuts[:-1], cuts[1:]):
                s = [s for h, s in hops if h <= low][-1]
                expected[s, np.searchsorted(edges, low, side="right")] += discounted(birth + low, birth + high, rate, base)
            got = results.discounted_durations[r, 0, :, results.duration_tags.index(tag)]
            np.testing.assert_allclose(got, expected, rtol=1e-9, atol=1e-12, err_msg=f"{tag} at {rate}")
    # At rate 0 from before every life, the discounted figures are the plain ones.
    plain = run_one(birth, cost_age, ill, death_age, hop_age, base=1900.0)
    np.testing.assert_allclose(plain.discounted_durations[0], plain.durations.sum(axis=3), rtol=1e-12)
    np.testing.assert_array_equal(plain.discounted_events[0], plain.events.sum(axis=3))


def test_costs_and_effects_apart_and_weights_by_age_group():
    results = run_one(1995.0, 30.0, (25.0, 35.0), 50.0)
    utility = [1.0, 0.9, 0.8]  # by age group
    got = tavlen.evaluate(results, event_costs={"cost": 1000.0}, annual_costs={"ill": [0.0, 100.0, 200.0]},
                          utilities={"alive": utility, "ill": -0.25}, life_years="alive",
                          discount_rate=(0.06, 0.015), base_year=2025)
    costs = 1000 * factor(2025, 0.06, 2025) + 100 * discounted(2025, 2030, 0.06, 2025)
    qalys = (1.0 * discounted(1995, 2025, 0.015, 2025) + 0.9 * discounted(2025, 2045, 0.015, 2025)
             - 0.25 * discounted(2020, 2030, 0.015, 2025))
    assert got.value("costs")[0] == pytest.approx(costs, rel=1e-12)
    assert got.value("qalys")[0] == pytest.approx(qalys, rel=1e-12)
    assert got.value("life_years")[0] == pytest.approx(discounted(1995, 2045, 0.015, 2025), rel=1e-12)
    assert got.describe() == "costs discounted at 6% a year, effects discounted at 1.5% a year, from 2025"


@pytest.mark.parametrize("options, error, message", [
    (dict(discount_rates=(0.03,)), tavlen.ModelError, r"discount_rates need the base_year"),
    (dict(base_year=2025), tavlen.ModelError, r"base_year is the year of discount_rates"),
    (dict(discount_rates=3, base_year=2025), tavlen.ModelError, r"annual rates from 0 to below 1 \(0.03 for 3%\), got 3"),
    (dict(discount_rates=("3%",), base_year=2025), tavlen.ModelError, r"annual rates from 0 to below 1"),
    (dict(discount_rates=(-0.01,), base_year=2025), tavlen.ModelError, r"annual rates from 0 to below 1"),
    (dict(discount_rates=(0.03, 0.03), base_year=2025), tavlen.ModelError, r"must differ, at most 16 of them"),
    (dict(discount_rates=(0.03,), base_year="2025"), TypeError, r"base_year must be a number, got str"),
    (dict(discount_rates=(0.03,), base_year=math.inf), tavlen.ModelError, r"base_year must be finite"),
])
def test_a_run_refuses_discounting_it_cannot_record(options, error, message):
    with pytest.raises(error, match=message):
        Model([Scripted()]).run([2000.0], **options)


@pytest.mark.parametrize("rates, events, durations, error, message", [
    ((-0.01,), (1, 2, 3, 3, 4), (1, 2, 3, 2, 2), ValueError, "a discount rate is a finite number of 0 or more"),
    ((math.nan,), (1, 2, 3, 3, 4), (1, 2, 3, 2, 2), ValueError, "a discount rate is a finite number of 0 or more"),
    ((0.03,) * 17, (17, 2, 3, 3, 4), (17, 2, 3, 2, 2), ValueError, "at most 16 discount rates, got 17"),
    ((0.03,), (1, 2, 3, 3, 3), (1, 2, 3, 2, 2), ValueError,
     r"the discounted event array has shape \(1, 2, 3, 3, 3\); the rates and the event log give \(1, 2, 3, 3, 4\)"),
    ((0.03, 0.0), (1, 2, 3, 3, 4), (2, 2, 3, 2, 2), ValueError,
     r"the discounted event array has shape \(1, 2, 3, 3, 4\); the rates and the event log give \(2, 2, 3, 3, 4\)"),
    ((0.03,), (1, 2, 3, 3, 4), (1, 2, 3, 2, 1), ValueError, "the discounted duration array has shape"),
])
def test_the_engine_refuses_what_would_be_written_out_of_place(rates, events, durations, error, message):
    individual = make()
    with pytest.raises(error, match=message):
        individual.record_discounted(rates, 2000.0, np.zeros(events), np.zeros(durations))
    # Nothing was set up: logging records nothing discounted, and the object still copies.
    in_life(individual).log_event("onset")
    copy.copy(individual)


def test_an_individual_that_records_discounted_figures_is_not_copied():
    individual = make()
    events, durations = np.zeros((1, 2, 3, 3, 4)), np.zeros((1, 2, 3, 2, 2))
    individual.record_discounted((0.03,), 1980.0, events, durations)
    in_life(individual).log_event("onset")  # born 1950, at 30: 1980
    assert events[0, 0, 0, 1, 1] == 1.0 and events.sum() == 1.0
    for duplicate in (copy.copy, copy.deepcopy, pickle.dumps):
        with pytest.raises(TypeError, match="records discounted figures cannot be copied or pickled"):
            duplicate(individual)
    individual.record_discounted((), 0.0, None, None)
    individual.log_event("onset")
    assert events.sum() == 1.0
    copy.copy(individual)


def test_discounted_figures_are_the_same_in_one_process_with_workers_and_resumed(tmp_path, monkeypatch):
    checkout = pathlib.Path(__file__).parent.parent
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(filter(None, [str(checkout / "src"), str(checkout / "tests"),
                                                                     os.environ.get("PYTHONPATH")])))
    people = 60
    rng = np.random.default_rng(5)
    properties = {"cost_age": rng.uniform(0, 80, people), "ill_from": rng.uniform(0, 40, people),
                  "ill_to": rng.uniform(40, 80, people), "death_age": np.full(people, 85.0),
                  "hop_age": rng.uniform(0, 80, people)}
    options = dict(properties=properties, event_ages=AGES, duration_ages=AGES, discount_rates=(0.015, 0.04),
                   base_year=2000.0, n_stratum_hops=1, seed=2, block_size=7, subsamples=4)
    births = np.linspace(1930, 1990, people)
    here = Model([Scripted()]).run(births, **options)
    assert here.discounted_durations.sum() > 0
    two = Model([Scripted()]).run(births, workers=2, **options)
    Model([Scripted()]).run(births, checkpoint=tmp_path / "kept", **options)
    for block in sorted((tmp_path / "kept").glob("block-*.npz"))[::2]:
        block.unlink()
    resumed = Model([Scripted()]).run(births, checkpoint=tmp_path / "kept", **options)
    assert resumed.metadata["resumed_blocks"] == 4
    for other in (two, resumed):
        for name in ("discounted_events", "discounted_durations"):
            np.testing.assert_array_equal(getattr(other, name), getattr(here, name))
            np.testing.assert_array_equal(other.subsample_sums[name], here.subsample_sums[name])
    here.save(tmp_path / "results.npz")
    loaded = tavlen.Results.load(tmp_path / "results.npz")
    assert loaded.equals(here) and loaded.base_year == 2000.0
    if pytest.importorskip("xarray"):
        dataset = here.to_xarray()
        assert dataset["discounted_durations"].dims == ("discount_rate", "universe", "stratum", "duration_tag",
                                                        "duration_age")
        assert dataset.attrs["base_year"] == 2000.0 and dataset["discount_rate"].values.tolist() == [0.015, 0.04]

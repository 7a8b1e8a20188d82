"""Calibration: targets compute the run's figures and their Monte Carlo
errors; the optimisers recover known values; the posterior sample feeds a
sweep; a stopped calibration resumes to the same answer; mistakes are named."""

import math
import re
import os
import pathlib

import numpy as np
import pytest

import tavlen
from tavlen import ModelError
from tavlen.calibration import (Count, EventRate, EventShare, MeanDuration, Parameter, ParameterTable, StateShare,
                                Statistic, calibrate)
from tavlen.calibration.targets import subsample_results

AGES = (0, 40, 60, 70, 80, 90)
OPTIONS = {"event_ages": AGES, "duration_ages": AGES, "snapshot_ages": (50, 70), "block_size": 250}
TRUTH = {"a": 3e-5, "b": 0.09, "rate": 0.006}
PARAMETERS = {"a": Parameter(1e-5, 1e-4, log=True), "b": (0.05, 0.15), "rate": Parameter(1e-3, 3e-2, log=True)}
CHECKOUT = str(pathlib.Path(__file__).resolve().parent.parent / "src")


def needs(module):
    """Skips where an optional package cannot load (SciPy has no build for a debug interpreter)."""
    return pytest.importorskip(module, exc_type=ImportError)


class Life(tavlen.Process):
    """Death by a Gompertz law (hazard a exp(b age)) and onset of a disease at a constant rate."""

    event_tags = ("death", "onset")
    duration_tags = ("alive", "ill")
    snapshot_tags = ("alive", "ill")
    random_number_generators = ("oc", "disease")

    def __init__(self, a, b, rate):
        self.a, self.b, self.rate = a, b, rate

    def start(self, individual):
        individual.log_duration_start("alive")
        unit = individual.random["oc"].expovariate()
        individual.add_to_queue_age(math.log1p(self.b / self.a * unit) / self.b, "death", terminate=True)
        individual.add_to_queue_age(individual.random["disease"].expovariate(self.rate), "onset")
        individual.memory["ill"] = False

    @tavlen.handles("death")
    def death(self, individual):
        individual.log_event("death")

    @tavlen.handles("onset")
    def onset(self, individual):
        individual.log_event("onset")
        individual.log_duration_start("ill")
        individual.memory["ill"] = True

    def snapshot_functions(self):
        return (lambda individual: ("alive", "ill") if individual.memory["ill"] else ("alive",),)


def build(a, b, rate):
    return tavlen.Model([Life(a, b, rate)])


def gompertz(a, b):
    return build(a, b, TRUTH["rate"])


def people(n):
    return np.linspace(1950.0, 1960.0, n)


@pytest.fixture(scope="module")
def observed():
    """The model at the true values, on other random numbers than the calibrations'."""
    return build(**TRUTH).run(people(3000), seed=99, **OPTIONS)


def registry(results):
    """Death and onset rates by age group, observed as counts and person-years."""
    years = results.duration_totals("alive")[0]
    return [EventRate("death", events=results.event_counts("death")[0], person_years=years),
            EventRate("onset", events=results.event_counts("onset")[0], person_years=years)]


# -- targets -------------------------------------------------------------------


def _cells(results, name, tag):
    tags = results.event_tags if name == "events" else results.duration_tags
    return getattr(results, name)[0, :, tags.index(tag)].sum(axis=(0, 1)).astype(float)


TARGETS = [
    ("rate", lambda o, se: EventRate("death", o, se), lambda r: _cells(r, "events", "death") / _cells(r, "durations", "alive")),
    ("rate per 1000, two tags", lambda o, se: EventRate(["death", "onset"], o, se, per=1000),
     lambda r: 1000 * (_cells(r, "events", "death") + _cells(r, "events", "onset")) / _cells(r, "durations", "alive")),
    ("share overall", lambda o, se: EventShare("onset", ["onset", "death"], o, se),
     lambda r: np.array([_cells(r, "events", "onset").sum() / (_cells(r, "events", "onset") + _cells(r, "events", "death")).sum()])),
    ("count, scaled", lambda o, se: Count("death", o, se, scale=2.0), lambda r: 2 * _cells(r, "events", "death")),
    ("mean duration", lambda o, se: MeanDuration("ill", "onset", o, se),
     lambda r: np.array([_cells(r, "durations", "ill").sum() / _cells(r, "events", "onset").sum()])),
    ("state share", lambda o, se: StateShare("ill", o, se),
     lambda r: r.snapshots_ages[0, :, 1].sum(axis=0) / r.snapshots_ages[0, :, 0].sum(axis=0)),
    ("statistic", lambda o, se: Statistic(lambda r: r.event_counts("death")[0, -2:], o, se),
     lambda r: _cells(r, "events", "death")[-2:]),
    ("chosen groups", lambda o, se: EventRate("death", o, se, groups=["40-60", "60-70"]),
     lambda r: (_cells(r, "events", "death") / _cells(r, "durations", "alive"))[1:3]),
]


@pytest.mark.parametrize("kind, make, expected", TARGETS, ids=[case[0] for case in TARGETS])
def test_each_target_computes_its_cells_with_an_error_from_the_subsamples(observed, kind, make, expected):
    cells = expected(observed)
    target = make(np.ones(len(cells)), 0.1)
    values, errors = target.simulate(observed, subsample_results(observed))
    np.testing.assert_allclose(values, cells, rtol=1e-12)
    assert np.isfinite(errors).all() and (errors > 0).all()


def test_the_error_of_a_total_is_the_runs_own(observed):
    # The one mechanism of every target's error, on a figure whose error the run knows exactly.
    values, errors = Count("death", np.ones(6)).simulate(observed, subsample_results(observed))
    sums = observed.subsample_sums["events"][:, 0, :, observed.event_tags.index("death")].sum(axis=(1, 2))
    np.testing.assert_allclose(errors, tavlen.montecarlo.standard_error(sums, observed.subsample_people), rtol=1e-9)
    assert values.shape == (6,)


@pytest.mark.parametrize("make, observed_values, errors", [
    (lambda: EventRate("death", events=[0, 4], person_years=[100.0, 400.0], per=1000), [0.0, 10.0], [10.0, 5.0]),
    (lambda: EventShare("onset", ["onset", "death"], events=[3], total=12), [0.25], [math.sqrt(3.5 / 13 * 9.5 / 13 / 12)]),
    (lambda: StateShare("ill", cases=[0], people=[50]), [0.0], [math.sqrt(0.5 / 51 * 50.5 / 51 / 50)]),
    (lambda: Count("death", [0, 9]), [0.0, 9.0], [1.0, 3.0]),
], ids=["rate from counts", "share from counts", "no case observed", "count"])
def test_targets_observed_as_counts_carry_their_sampling_errors(make, observed_values, errors):
    # A cell of no events or no cases still carries an error: a zero error would weigh it infinitely.
    target = make()
    np.testing.assert_allclose(target.observed, observed_values)
    np.testing.assert_allclose(target.standard_error, errors)


def test_labels_name_every_cell_of_the_axes_kept(observed):
    assert EventRate("death", np.ones(6), 1.0, by=("age", "stratum")).labels(observed)[:2] == ["0, 0-40", "0, 40-60"]
    assert EventRate("death", np.ones(1), 1.0, by=()).labels(observed) == ["all"]
    assert StateShare("ill", np.ones(2), 1.0).labels(observed) == ["age 50", "age 70"]


# -- parameters ----------------------------------------------------------------


@pytest.mark.parametrize("log, prior", [(False, None), (True, None), (False, "normal"), (True, "lognormal")])
def test_the_prior_in_the_unit_cube_holds_the_priors_mass_between_the_bounds(log, prior):
    # The chain moves in the unit cube: the change of variable's Jacobian belongs to the density there.
    stats = needs("scipy.stats")
    distribution = {None: None, "normal": stats.norm(0.3, 0.2), "lognormal": stats.lognorm(0.8, scale=0.3)}[prior]
    law = Parameter(0.05, 1.0, log=log, prior=distribution)
    units = (np.arange(200_000) + 0.5) / 200_000
    mass = np.exp(law.log_prior_unit(units)).mean()
    expected = 1.0 if distribution is None else distribution.cdf(1.0) - distribution.cdf(0.05)
    assert mass == pytest.approx(expected, rel=1e-6)
    assert law.log_prior_unit(np.array([-0.01, 1.01])).tolist() == [-math.inf, -math.inf]
    np.testing.assert_allclose(law.from_unit(law.to_unit([0.05, 0.2, 1.0])), [0.05, 0.2, 1.0], rtol=1e-14)


def test_a_parameter_table_is_columns_of_one_length_that_build_models():
    table = ParameterTable({"a": [1e-5, 2e-5], "b": np.array([0.08, 0.09]), "rate": [0.01, 0.02]})
    assert table.draws == 2 and list(table) == ["a", "b", "rate"]
    assert list(table.rows())[1] == {"a": 2e-5, "b": 0.09, "rate": 0.02}
    assert [model.processes[0].b for model in table.models(build)] == [0.08, 0.09]
    with pytest.raises(ValueError, match="read-only"):
        table["a"][0] = 1.0
    with pytest.raises(ValueError, match="one length"):
        ParameterTable({"a": [1.0], "b": [1.0, 2.0]})
    assert tavlen.calibrate is calibrate


# -- mistakes ------------------------------------------------------------------


def registry_of_ones():
    return [EventRate("death", [1.0], [1.0])]



@pytest.mark.parametrize("call, error, message", [
    (lambda: EventRate("death", [1.0], [0.0]), ModelError, "standard error must be positive"),
    (lambda: EventRate("death", [math.nan], [1.0]), ModelError, "finite"),
    (lambda: EventRate("death", [1.0]), TypeError, "standard errors"),
    (lambda: EventRate("death", [1.0], [1.0], events=[1], person_years=[2.0]), TypeError, "not both"),
    (lambda: EventRate("death", [1.0], [1.0], by="decade"), ModelError, "by names the axes"),
    (lambda: EventShare("onset", ["onset"], events=[3], total=2), ModelError, "cases <= people"),
    (lambda: Parameter(1.0, 1.0), ModelError, "low < high"),
    (lambda: Parameter(0.0, 1.0, log=True), ModelError, "positive lower bound"),
    (lambda: Parameter(0.0, 1.0, start=2.0), ModelError, "outside its bounds"),
    (lambda: calibrate(build, PARAMETERS, registry_of_ones(), people(10), method="simplex"), ModelError, "method is one of"),
    (lambda: calibrate(build, PARAMETERS, registry_of_ones(), people(10), subsamples=1), ModelError, "subsamples of 2"),
    (lambda: calibrate(build, PARAMETERS, registry_of_ones(), people(10), seeds=1), TypeError, "'seeds'"),
    (lambda: calibrate(build, PARAMETERS, registry_of_ones() * 2, people(10)), ModelError, "repeated"),
    (lambda: calibrate(build, {"a": (1, 2, 3)}, registry_of_ones(), people(10)), TypeError, "(low, high)"),
    (lambda: calibrate(build, PARAMETERS, registry_of_ones(), people(10), batch=0), ValueError, "batch"),
    (lambda: calibrate(build, PARAMETERS, registry_of_ones(), people(10), curvature_step=0), ModelError, "curvature_step"),
], ids=["zero error", "nan observed", "no error", "values and counts", "bad axis", "cases above people",
        "empty bounds", "log of zero", "start outside", "unknown method", "one subsample", "unknown option",
        "repeated names", "bad bounds", "empty batches", "no step"])
def test_mistakes_are_named(call, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        call()


@pytest.mark.parametrize("targets, births, message", [
    (registry_of_ones, 10, "at least two blocks"),
    (registry_of_ones, 600, "observes 1 values, but the run gives 6 cells"),
    (lambda: [EventRate("death", [1.0], [1.0], groups=["30-40"])], 600, "no group '30-40'"),
], ids=["one block", "wrong length", "unknown group"])
def test_mistakes_of_the_first_run_are_named(targets, births, message):
    needs("scipy.optimize")
    with pytest.raises(ModelError, match=message):
        calibrate(build, PARAMETERS, targets(), people(births), budget=5, **OPTIONS)


# -- optimisation ----------------------------------------------------------------


def test_nelder_mead_recovers_the_values_that_made_the_targets_within_two_standard_errors(observed):
    needs("scipy.optimize")
    fitted = calibrate(build, PARAMETERS, registry(observed), people(3000), seed=5, **OPTIONS)
    errors = fitted.standard_errors
    for name, value in TRUTH.items():
        assert abs(fitted.best[name] - value) < 2 * errors[name], (name, fitted.best[name], errors[name])
    assert fitted.objective < 2 * 12  # a chi-square of 12 cells, less 3 fitted
    assert set(fitted.phases) == {"search", "curvature"}
    assert fitted.history.draws == len(fitted.phases) <= 200 + 6


def test_the_global_search_is_reproducible_from_its_seed_and_leaves_optunas_logging_as_it_was(observed):
    optuna, _ = needs("optuna"), needs("scipy.optimize")
    before = optuna.logging.get_verbosity()
    runs = [calibrate(build, PARAMETERS, registry(observed), people(400), method="optuna", budget=24, polish=20,
                      seed=3, **OPTIONS) for _ in range(2)]
    assert optuna.logging.get_verbosity() == before
    assert runs[0].best == runs[1].best
    for name in ("a", "objective"):
        np.testing.assert_array_equal(runs[0].history[name], runs[1].history[name])
    assert runs[0].objective <= min(runs[0].history["objective"][:24])


def test_workers_give_the_answer_of_one_process(observed, monkeypatch):
    needs("scipy.optimize")
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(filter(None, [CHECKOUT, os.environ.get("PYTHONPATH")])))
    here, there = (calibrate(build, PARAMETERS, registry(observed), people(400), budget=12, seed=4, workers=workers,
                             **OPTIONS) for workers in (None, 2))
    np.testing.assert_array_equal(here.history["objective"], there.history["objective"])
    assert here.best == there.best


# -- the posterior ---------------------------------------------------------------


def test_the_posterior_sample_covers_the_truth_and_feeds_a_sweep(observed, tmp_path):
    needs("emcee"), needs("scipy.optimize")
    arguments = (gompertz, {"a": Parameter(1e-5, 1e-4, log=True), "b": (0.05, 0.15)}, registry(observed)[:1], people(1500))
    settings = dict(method="emcee", budget=16 * 40, polish=60, seed=11, **OPTIONS)
    fitted = calibrate(*arguments, **settings)
    table = fitted.parameters
    assert isinstance(table, ParameterTable) and set(table) == {"a", "b"}
    assert table.draws == 16 * 20  # 39 steps, the first 19 dropped
    for name, (low, high) in fitted.intervals(0.9).items():
        assert low < TRUTH[name] < high, name
    assert all(10 < ess <= table.draws for ess in fitted.effective_sample_size.values())
    assert 0.1 < fitted.acceptance < 0.9
    # Every draw is an evaluated candidate: the fit shows the sample's band.
    rows = fitted.fit()
    assert all(row["simulated_5%"] <= row["simulated_95%"] for row in rows)
    # A few of its draws, as a sweep's models.
    few = fitted.draws(3)
    np.testing.assert_array_equal(few["b"], table["b"][[0, table.draws // 2, table.draws - 1]])
    swept = tavlen.sweep(few.models(gompertz), people(50), seed=1)
    assert len(swept) == 3


# -- resuming ---------------------------------------------------------------------


def interrupted_at(calls, monkeypatch):
    """Makes the calibration's n-th sweep stop as Ctrl-C would."""
    import tavlen.calibration.batches as batches

    left = [calls]

    def sweep(*args, **kwargs):
        left[0] -= 1
        if left[0] == 0:
            raise KeyboardInterrupt
        return tavlen.sweep(*args, **kwargs)

    monkeypatch.setattr(batches, "sweep", sweep)


def test_a_calibration_stopped_and_started_again_gives_the_same_history_and_answer(observed, tmp_path, monkeypatch):
    needs("scipy.optimize")
    arguments = (PARAMETERS, registry(observed), people(400))
    settings = dict(budget=40, seed=8, **OPTIONS)
    whole = calibrate(build, *arguments, **settings)
    folder = tmp_path / "calibration"
    with monkeypatch.context() as patched, pytest.raises(KeyboardInterrupt) as interrupt:
        interrupted_at(20, patched)
        calibrate(build, *arguments, checkpoint=folder, **settings)
    assert "the same calibration started again with this folder resumes it" in interrupt.value.__notes__[-1]
    kept = len(__import__("json").loads((folder / "calibration.json").read_text())["history"])
    assert 0 < kept < len(whole.phases)
    resumed = calibrate(build, *arguments, checkpoint=folder, **{**settings, "seed": None})  # the seed kept
    for name in ("a", "b", "rate", "objective", "batch"):
        np.testing.assert_array_equal(resumed.history[name], whole.history[name])
    assert resumed.best == whole.best and resumed.phases == whole.phases
    np.testing.assert_array_equal(resumed.covariance, whole.covariance)
    # A finished one, started again, answers from its folder alone, and the same.
    again = calibrate(build, *arguments, checkpoint=folder, **settings)
    assert again.best == whole.best and again.phases == whole.phases
    # Another calibration is refused, and says what differs.
    with pytest.raises(ModelError, match="holds another calibration: its targets differ"):
        calibrate(build, PARAMETERS, registry(observed)[:1], people(400), checkpoint=folder, **settings)


def test_a_finished_posterior_started_again_on_its_folder_gives_the_same_sample(observed, tmp_path):
    # Its history holds the chain's candidates, better than the search's best: the search must replay as it went.
    needs("emcee"), needs("scipy.optimize")
    arguments = (gompertz, {"a": Parameter(1e-5, 1e-4, log=True), "b": (0.05, 0.15)}, registry(observed)[:1], people(400))
    settings = dict(method="emcee", walkers=8, budget=8 * 12, polish=20, seed=11, checkpoint=tmp_path, **OPTIONS)
    first, again = (calibrate(*arguments, **settings) for _ in range(2))
    np.testing.assert_array_equal(again.parameters["a"], first.parameters["a"])
    assert again.phases == first.phases


# -- the fit, shown ------------------------------------------------------------------


def test_a_batch_stopped_in_the_middle_resumes_from_the_blocks_it_kept(observed, tmp_path, monkeypatch):
    needs("scipy.optimize")
    import tavlen.calibration.batches as batches

    arguments = (PARAMETERS, registry(observed), people(400))
    settings = dict(budget=12, seed=8, **OPTIONS)
    whole = calibrate(build, *arguments, **settings)
    folder = tmp_path / "calibration"

    def stopped_half_way(models, *args, checkpoint, **kwargs):
        tavlen.sweep(dict(list(models.items())[:2]), *args, checkpoint=checkpoint, **kwargs)
        raise KeyboardInterrupt

    with monkeypatch.context() as patched, pytest.raises(KeyboardInterrupt):
        patched.setattr(batches, "sweep", stopped_half_way)
        calibrate(build, *arguments, checkpoint=folder, **settings)
    assert sorted(os.listdir(folder / "batch-0")) == ["c0", "c1", "sweep.json"]
    resumed = calibrate(build, *arguments, checkpoint=folder, **settings)
    np.testing.assert_array_equal(resumed.history["objective"], whole.history["objective"])
    assert os.listdir(folder) == ["calibration.json"]  # the batches' blocks go once the history keeps them


def test_the_fit_as_a_table_a_frame_and_plots(observed, tmp_path):
    needs("scipy.optimize")
    fitted = calibrate(build, PARAMETERS, registry(observed), people(400), budget=12, seed=2, **OPTIONS)
    text = fitted.table()
    assert "death rate" in text and "90+" in text and "90% interval from the curvature" in text
    assert len(fitted.fit()) == 12
    pytest.importorskip("pandas")
    assert list(fitted.fit_dataframe()["group"][:2]) == ["0-40", "40-60"]
    assert list(fitted.to_dataframe().columns) == ["a", "b", "rate", "objective", "batch", "phase"]
    assert fitted.parameters.to_dataframe().shape == (1, 3)
    # Draws from the fit's normal law, inside the bounds, for a sensitivity analysis.
    drawn = fitted.draws(2000, seed=1)
    assert drawn.draws == 2000 and (drawn["b"] >= 0.05).all() and (drawn["b"] <= 0.15).all()
    np.testing.assert_allclose(np.std(drawn["rate"]), fitted.standard_errors["rate"], rtol=0.1)
    pytest.importorskip("matplotlib")
    fitted.plot(tmp_path / "fit.png")
    fitted.pairs_plot(tmp_path / "pairs.png")
    for name in ("fit.png", "pairs.png"):
        assert (tmp_path / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_the_demo_calibrates_its_natural_history_to_the_registry_it_ships(tmp_path, capsys):
    needs("scipy.optimize")
    from tavlen import __main__
    from tavlen.demo import calibration as demo_calibration

    targets = demo_calibration.registry()
    assert [len(target.observed) for target in targets] == [7, 3]
    status = __main__.main(["--calibrate", "-n", "1500", "--no-progress", "--no-plot", "-o", str(tmp_path)])
    out = capsys.readouterr().out
    assert status == 0
    assert "onset_scale" in out and re.search(r"share diagnosed early, screening +70-80", out)

"""The demo model against the closed forms of its own laws, its invariants,
its summary and plot, and its command line."""

import importlib.util
import math
import sys

import numpy as np
import pytest

from tavlen import Results, demo
from tavlen.demo import economics as demo_economics, psa as demo_psa
from tavlen.__main__ import main

PEOPLE = 3000
OC_ONLY = demo.Laws(onset_scale=math.inf, screening_ages=())
NO_SCREENING = demo.Laws(screening_ages=())


def integral(function, lower, upper, points=20001):
    upper = min(upper, 130.0)  # nobody outlives 130 by these laws
    ages = np.linspace(lower, upper, points)
    return np.trapezoid(function(ages), ages)


def assert_binomial(counts, probabilities, people):
    """Counts of people against their expected share, within 4.5 standard deviations."""
    for count, p in zip(counts, probabilities):
        assert abs(count - people * p) <= 4.5 * math.sqrt(people * p * (1 - p)) + 1, (counts, people * probabilities)


@pytest.fixture(scope="module")
def oc_only():
    return demo.run(PEOPLE, seed=11, laws=OC_ONLY)


def test_deaths_and_person_years_follow_the_gompertz_law(oc_only):
    laws, edges = OC_ONLY, oc_only.event_ages
    survival = laws.other_causes_survival(edges)
    deaths = oc_only.event_counts("death_other")
    assert_binomial(deaths[0], survival[:-1] - survival[1:], PEOPLE)
    years = oc_only.duration_totals("alive")[0]
    for (lower, upper), observed in zip(zip(edges[:-1], edges[1:]), years):
        expected = integral(laws.other_causes_survival, lower, upper)
        # A person's years in a group lie between 0 and its width w, so their
        # variance is at most w times their mean.
        width = min(upper, 130.0) - lower
        assert abs(observed / PEOPLE - expected) <= 4.5 * math.sqrt(width * expected / PEOPLE), (lower, observed)
    assert deaths.sum(axis=1).tolist() == [PEOPLE, PEOPLE]
    alive = oc_only.snapshots_ages[0, :, oc_only.snapshot_tags.index("alive")].sum(axis=0)
    assert_binomial(alive, laws.other_causes_survival(oc_only.snapshot_ages), PEOPLE)


def test_universes_share_each_persons_natural_history(oc_only):
    np.testing.assert_array_equal(oc_only.events[0], oc_only.events[1])
    np.testing.assert_array_equal(oc_only.durations[0], oc_only.durations[1])


def test_onset_follows_its_weibull_hazard_competing_with_other_causes():
    laws = NO_SCREENING
    results = demo.run(PEOPLE, seed=12, laws=laws)
    edges = results.event_ages
    density = lambda a: laws.onset_hazard(a) * laws.onset_free(a) * laws.other_causes_survival(a)
    expected = [integral(density, lower, upper) for lower, upper in zip(edges[:-1], edges[1:])]
    assert_binomial(results.event_counts("onset")[0], expected, PEOPLE)
    deaths = results.event_counts("death_other") + results.event_counts("death_disease")
    assert deaths.sum(axis=1).tolist() == [PEOPLE, PEOPLE]


@pytest.fixture(scope="module")
def screening():
    return demo.run(600, seed=5)


def test_screening_changes_only_what_follows_detection(screening):
    reference, screened = 0, 1
    onsets = screening.event_counts("onset")
    np.testing.assert_array_equal(onsets[reference], onsets[screened])
    assert screening.event_counts("screen")[reference].sum() == 0
    assert screening.event_counts("screen")[screened].sum() > 0
    assert screening.event_counts("screen_detected")[screened].sum() > 0
    diagnosed = screening.event_counts("clinical") + screening.event_counts("screen_detected")
    # Screening also finds disease that other causes of death would have left unseen.
    assert diagnosed[reference].sum() <= diagnosed[screened].sum() <= onsets[0].sum()
    # Survival counts from the age of clinical diagnosis, so screening never shortens a life.
    alive = screening.duration_totals("alive").sum(axis=1)
    disease_deaths = screening.event_counts("death_disease").sum(axis=1)
    assert alive[screened] >= alive[reference] and disease_deaths[screened] <= disease_deaths[reference]
    tags = np.array(screening.event_individual_tags)[screening.individual["tag"]]
    assert set(tags) <= {"clinical", "screen_detected", "death_disease"}
    assert (screening.snapshots_ages >= 0).all() and screening.snapshots_ages.sum() > 0


def test_summary_and_plot(screening, tmp_path):
    text = demo.summary(screening)
    for phrase in ["600 people", "reference", "screening", "90+", "per 100,000 person-years", "life-years gained"]:
        assert phrase in text
    pytest.importorskip("matplotlib")
    path = tmp_path / "plot.png"
    demo.plot(screening, path)
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_screenings_gains_come_with_their_intervals(screening):
    gains = demo.screening_gains(screening)
    alive = screening.duration_totals("alive").sum(axis=1)
    assert gains["life-years gained"][0] == pytest.approx(alive[1] - alive[0], rel=1e-12)
    difference, _ = screening.difference("events", "reference", "screening")
    assert gains["deaths averted"][0] == difference[:, screening.event_tags.index("death_disease")].sum()
    text = demo.summary(screening)
    line = next(line for line in text.splitlines() if line.startswith("  life-years gained: ") and " to " in line)
    low, high = (float(part.replace(",", "")) for part in line.split("(")[1].split(")")[0].split(" to "))
    assert low < gains["life-years gained"][0] < high and "from 2 sub-samples" in line  # blocks of 500
    assert "none: these results come from a single sub-sample" in demo.summary(demo.run(50, seed=1))


def test_draws_share_the_base_population_and_seed_and_spread_the_gains(tmp_path, capsys):
    assert main(["-n", "400", "--draws", "3", "--block-size", "100", "-o", str(tmp_path), "--no-progress"]) == 0
    out = capsys.readouterr().out
    assert "Probabilistic sensitivity analysis: 3 draws" in out and "life-years gained per 1,000" in out
    assert "Cost-effectiveness over 3 parameter draws" in out and "models in which it is best at 30,000" in out
    base = Results.load(tmp_path / "results.npz")
    assert base.equals(demo.run(400, block_size=100))  # the base model of the sweep, as a run of its own
    swept = demo_psa.run(3, 400, block_size=100)
    assert swept.labels == ("base", "draw-1", "draw-2", "draw-3") and {r.metadata["seed"] for r in swept} == {2024}
    assert len(set(map(tuple, demo_psa.spread(swept).values()))) == 2 and len(demo_psa.spread(swept)["deaths averted per 1,000"]) == 3
    if importlib.util.find_spec("matplotlib"):
        assert (tmp_path / "demo.png").stat().st_size > 0
        assert (tmp_path / "cost-effectiveness.png").read_bytes()[:4] == b"\x89PNG"
    page = (tmp_path / "report.html").read_text()
    assert "Parameter draws" in page and "cost: screen" in page and "illustrative" in page


def test_the_psa_draws_prices_too_and_is_the_same_on_two_workers():
    here = demo_psa.run(3, 400, block_size=100)
    table = here.parameters
    assert set(demo_economics.PRICE_PARAMETERS) | set(demo_psa.UNCERTAIN_LAWS) == set(table)
    assert table["cost: screen"][0] == 150.0 and len(set(table["cost: screen"])) == 4
    assert all(-1 < value < 0 for value in table["utility: diagnosed"])
    # The natural history draws as it did before prices were drawn beside it.
    assert table["sensitivity"][1:].tolist() == [laws.sensitivity for laws in demo_psa.draw_laws(3, 2024)]
    pooled = demo_psa.run(3, 400, block_size=100, workers=2)
    assert all(a.equals(b) for a, b in zip(here, pooled))
    assert all(np.array_equal(table[name], pooled.parameters[name]) for name in table)
    costs = [demo_economics.evaluate(swept[1:]).values("costs") for swept in (here, pooled)]
    np.testing.assert_array_equal(costs[0], costs[1])
    priced = demo_economics.evaluate(here)
    fixed = demo_economics.evaluate(demo_psa.SweepResults(here.labels, list(here)))
    assert priced.varying == ("event_costs", "annual_costs", "utilities") and fixed.varying == ()
    np.testing.assert_array_equal(priced[0].value("costs"), fixed[0].value("costs"))  # the base prices
    assert not np.array_equal(priced[1].value("costs"), fixed[1].value("costs"))


def test_command_line_writes_summary_plot_and_results(tmp_path, capsys):
    assert main(["-n", "200", "--seed", "3", "-o", str(tmp_path / "out"), "--no-progress"]) == 0
    out = capsys.readouterr().out
    assert "Screening against the reference" in out and "wrote" in out
    assert "Cost-effectiveness of screening, per person, costs discounted at 4% a year and effects at 1.5%, from 1940" in out
    assert "illustrative" in out and "ICER (costs per QALY gained)" in out
    loaded = Results.load(tmp_path / "out" / "results.npz")
    assert loaded.metadata["population"] == 200 and loaded.metadata["seed"] == 3
    if importlib.util.find_spec("matplotlib"):
        assert (tmp_path / "out" / "demo.png").stat().st_size > 0


@pytest.mark.parametrize("argv, message", [
    (["--population", "0"], "argument -n/--population: expected at least 1, got 0"),
    (["--workers", "many"], "argument -w/--workers: expected a whole number, got 'many'"),
    (["--executor", "threads"], "argument --executor: invalid choice: 'threads'"),
    (["--executor", "mpi", "--scheduler", "tcp://host:8786"], "--scheduler runs the blocks on a Dask cluster, not with --executor mpi"),
    (["--colour"], "unrecognized arguments: --colour"),
])
def test_command_line_refuses_bad_options_in_one_line(argv, message, capsys):
    with pytest.raises(SystemExit) as exit:
        main(argv)
    assert exit.value.code == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err


def test_command_line_help(capsys):
    with pytest.raises(SystemExit) as exit:
        main(["--help"])
    assert exit.value.code == 0
    assert "--population" in capsys.readouterr().out


@pytest.mark.parametrize("missing, options, code, messages", [
    # Progress bar and plot are conveniences: the demo runs without them.
    (["tqdm", "matplotlib"], [], 0, ["no progress bar: ", "tavlen[progress]", "no plot: ", "tavlen[plot]"]),
    (["matplotlib"], ["--draws", "2", "--no-progress"], 0, ["no plot: ", "tavlen[plot]"]),
    (["distributed"], ["--executor", "dask", "--no-progress"], 1, ["error: --executor dask needs", "tavlen[distributed]"]),
])
def test_command_line_without_optional_packages(missing, options, code, messages, monkeypatch, tmp_path, capsys):
    for module in missing:
        monkeypatch.setitem(sys.modules, module, None)  # makes the import fail
    assert main(["-n", "50", "-o", str(tmp_path), *options]) == code
    err = capsys.readouterr().err
    assert all(message in err for message in messages), err
    if "--draws" in options:  # the page is written without its figures, and says why
        page = (tmp_path / "report.html").read_text()
        assert "No figures: The report" in page and "tavlen[plot]" in page and "<img" not in page

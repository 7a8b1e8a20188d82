"""The HTML report, read as a person reads it: loaded from disk by a real
browser (headless Chromium), its tables and their numbers found, every
figure decoded, nothing in the console; a screenshot is kept in
build/artefacts/."""

import re

import numpy as np
import pytest

from tavlen.economics import SweepEvaluation
from tavlen.economics.evaluation import Evaluation
from tavlen.economics.oneway import Tornado

from conftest import ARTEFACTS


def strategies(models, seed=0):
    """Evaluations of strategies A-D (costs 0/60/100/150, QALYs 10/10.5/11/10.8 per person, on average) and
    their parameters: "effect of C" moves C's QALYs, "noise" moves nothing."""
    rng = np.random.default_rng(seed)
    effect, noise = rng.normal(0, 0.3, models), rng.normal(0, 1, models)
    effect[0] = 0.0  # the first model has the example's means
    evaluations = []
    for m in range(models):
        costs = np.array([0, 60, 100, 150.0]) * 1000
        qalys = np.array([10, 10.5, 11 + effect[m], 10.8]) * 1000
        settings = {"life_years": None, "discount_rate": 0.035, "base_year": 2025.0,
                    "run": {"seed": 7, "population": 1000, "block_size": 100},
                    "prices": {"event_costs": {"visit <clinic>": 50.0 + m}, "annual_costs": {}, "utilities": {"alive": 1.0}}}
        evaluations.append(Evaluation(tuple("ABCD"), "A", 1000, {"costs": costs, "qalys": qalys, "life_years": qalys},
                                      None, None, 150.0, settings))
    return SweepEvaluation([f"m{m}" for m in range(models)], evaluations, {"effect of C": effect, "noise": noise})


def tables(driver):
    """Every table of the page as {its section's heading: [rows of cell texts]}."""
    return driver.execute_script("""
        const found = {};
        for (const table of document.querySelectorAll('section table')) {
            const heading = table.closest('section').querySelector('h2').textContent;
            found[heading] = (found[heading] || []).concat(
                [...table.querySelectorAll('tr')].map(row => [...row.cells].map(cell => cell.textContent)));
        }
        return found;""")


@pytest.mark.parametrize("what, models", [("sweep", 300), ("run", 1)])
def test_the_report_shows_whole_in_a_browser(browser, tmp_path, what, models):
    pytest.importorskip("matplotlib")
    swept = strategies(models)
    analysis = swept if what == "sweep" else swept[0]
    path = tmp_path / "report.html"
    tornado = Tornado("net benefit of C", 48.0, ("effect of C", "cost of C"), np.array([-0.3, 80.0]),
                      np.array([0.3, 120.0]), np.array([-250.0, 68.0]), np.array([350.0, 28.0]), None)
    analysis.report(path, notes=["Prices are illustrative."], people_per_year=10_000, years=10,
                    tornado=tornado if what == "sweep" else None)
    page = path.read_text()
    assert not re.search(r"(src|href)=\"(?!data:)", page)  # nothing fetched: every image is inside the page
    browser.get(path.as_uri())
    found = tables(browser)
    frontier = {row[0]: row for row in found["Efficiency frontier"][1:]}
    assert frontier["B"][3] == "extendedly dominated by A and C" and frontier["D"][3] == "dominated by C"
    assert frontier["C"][4].endswith(" against A") and (what == "sweep" or frontier["C"][4] == "100 against A")
    assert ["people", "1,000"] in found["What was run"] and ["seed", "7"] in found["What was run"]
    assert any(row[0] == "visit <clinic>" for row in found["Prices"])  # escaped, shown as it is
    assert "Prices are illustrative." in browser.find_element("tag name", "body").text
    if what == "sweep":
        decision = dict(row for row in found["Acceptability and the value of information"] if len(row) == 2)
        assert decision["decision (highest mean net benefit)"] == "C"
        assert float(decision["EVPI per person"].replace(",", "")) == pytest.approx(swept.evpi(), abs=0.005)
        evppi = {row[0]: row[1] for row in found["Acceptability and the value of information"] if len(row) == 3}
        assert float(evppi["effect of C"].replace(",", "")) == pytest.approx(swept.evppi("effect of C"), abs=0.005)
        assert found["One-way sensitivity of net benefit of C"][1] == ["effect of C", "-0.3 to 0.3", "-250.00",
                                                                        "350.00", "600.00"]
        draws = {row[0]: row for row in found["Parameter draws"][1:]}
        assert draws["noise"][1] == f"{swept.parameters['noise'].mean():,.4g}"
    images = browser.execute_script(
        "return [...document.images].map(image => [image.complete, image.naturalWidth, image.naturalHeight]);")
    assert len(images) == (4 if what == "sweep" else 1)
    assert all(complete and width > 0 and height > 0 for complete, width, height in images)
    errors = [entry for entry in browser.get_log("browser") if entry["level"] in ("SEVERE", "ERROR")]
    assert errors == []
    ARTEFACTS.mkdir(parents=True, exist_ok=True)
    height = browser.execute_script("return document.documentElement.scrollHeight;")
    browser.set_window_size(1280, min(height + 100, 8000))
    assert browser.save_screenshot(str(ARTEFACTS / f"report-{what}.png"))


def test_the_report_gives_evppi_per_person_or_says_why_there_is_none(tmp_path):
    strategies(20).report(tmp_path / "few.html")
    assert "not estimated: EVPPI needs at least 200 models" in (tmp_path / "few.html").read_text()
    many = strategies(200)
    many.report(tmp_path / "many.html", evppi=["noise", ["effect of C", "noise"]])
    page = (tmp_path / "many.html").read_text()
    assert f"<td>effect of C + noise</td><td>{many.evppi(['effect of C', 'noise']):,.2f}</td></tr>" in page
    assert "of the population" not in page

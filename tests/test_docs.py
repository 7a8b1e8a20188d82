"""The documentation site, read as a person reads it: built (every page's
examples run, warnings fail the build) or reused when nothing changed since
its build, served over HTTP and opened in headless Chromium. The index and
every tutorial load whole with every image decoded and nothing in the
console, and the search finds the reference of evaluate. Screenshots are
kept in build/artefacts/."""

import functools
import http.server
import importlib.util
import inspect
import pathlib
import re
import subprocess
import sys
import threading
import urllib.parse

import pytest

from conftest import ARTEFACTS

TOP = pathlib.Path(__file__).resolve().parent.parent
DOCS, SITE = TOP / "docs", TOP / "build" / "docs" / "html"
BUILDERS = ("sphinx", "myst_nb", "myst_parser", "pydata_sphinx_theme", "sphinx_copybutton", "ipykernel")
TUTORIALS = sorted(path.stem for path in (DOCS / "tutorials").glob("*.md") if path.stem != "index")


def newest_source() -> float:
    """When the site's sources last changed: its pages and the package whose docstrings and behaviour it shows."""
    import tavlen

    package = pathlib.Path(tavlen.__file__).parent
    sources = [*DOCS.rglob("*"), *package.rglob("*.py"), *package.glob("individual*.so")]
    return max(path.stat().st_mtime for path in sources if path.is_file() and "_build" not in path.parts)


@pytest.fixture(scope="module")
def site():
    missing = [name for name in BUILDERS if importlib.util.find_spec(name) is None]
    if missing:
        pytest.skip(f"building the documentation needs {', '.join(missing)} (pip install 'tavlen[docs]')")
    stamp = SITE / ".built"
    if not stamp.exists() or stamp.stat().st_mtime < newest_source():
        build = subprocess.run([sys.executable, "-m", "sphinx", "-E", "-W", "--keep-going", "-n", "-q", "-b", "html",
                                str(DOCS), str(SITE)], capture_output=True, text=True)
        assert build.returncode == 0, f"the site does not build cleanly:\n{build.stderr[-5000:]}"
        stamp.touch()
    handler = functools.partial(QuietHandler, directory=str(SITE))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}/"
    finally:
        server.shutdown()
        server.server_close()


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass


def console_errors(browser):
    return [entry["message"] for entry in browser.get_log("browser") if entry["level"] in ("SEVERE", "ERROR")]


@pytest.mark.parametrize("page", ["index", *(f"tutorials/{name}" for name in TUTORIALS)])
def test_pages_load_whole_in_a_browser(site, browser, page):
    browser.get_log("browser")  # what earlier pages left
    browser.get(urllib.parse.urljoin(site, f"{page}.html"))
    assert browser.execute_script("return document.readyState") == "complete"
    assert browser.find_element("css selector", "article h1").text, "the page has no title"
    images = browser.execute_script(
        "return [...document.images].map(image => [image.currentSrc, image.complete, image.naturalWidth]);")
    assert all(complete and width > 0 for _, complete, width in images), f"images that do not decode: {images}"
    if page == "tutorials/cost-effectiveness":
        assert images, "the tutorial's plots are missing"
    assert not console_errors(browser)
    assert not browser.find_elements("css selector", ".output.traceback, .cell_output .traceback"), \
        "an example printed a traceback"
    ARTEFACTS.mkdir(parents=True, exist_ok=True)
    assert browser.save_screenshot(str(ARTEFACTS / f"docs-{page.replace('/', '-')}.png"))


def test_the_search_finds_evaluate(site, browser):
    from selenium.webdriver.support.ui import WebDriverWait

    browser.get_log("browser")
    browser.get(urllib.parse.urljoin(site, "search.html?q=evaluate"))
    WebDriverWait(browser, 20).until(
        lambda driver: driver.find_elements("css selector", "#search-results ul.search li"))
    links = [link.get_attribute("href") for link in
             browser.find_elements("css selector", "#search-results ul.search li a")]
    assert any("reference/economics.html" in link for link in links), links
    assert not console_errors(browser)
    assert browser.save_screenshot(str(ARTEFACTS / "docs-search.png"))


def test_every_python_example_runs_as_the_site_is_built():
    """A page's Python is a code cell, which the build executes; a plain fence would go unchecked."""
    pages = [path for path in DOCS.rglob("*.md") if "_from_readme" not in path.parts]
    unchecked = [f"{path.relative_to(DOCS)}:{number}" for path in pages
                 for number, line in enumerate(path.read_text().splitlines(), 1)
                 if line.strip() in ("```python", "```py", "```{code-block} python")]
    assert not unchecked, f"Python that the build does not run: {unchecked}"
    assert all("file_format: mystnb" in path.read_text() for path in pages if "{code-cell}" in path.read_text())


def test_the_reference_groups_every_option_of_run():
    """The grouped tables of Model.run's options name each parameter once, so a new option is placed in one."""
    import tavlen

    tabled = re.findall(r"^\| (`[^|]+`) \|", (DOCS / "reference" / "run.md").read_text(), re.M)
    named = [name for cell in tabled for name in re.findall(r"`(\w+)`", cell)]
    parameters = [name for name in inspect.signature(tavlen.Model.run).parameters if name != "self"]
    assert sorted(named) == sorted(parameters)

"""The README's examples run and print what it shows; its links lead somewhere."""

import contextlib
import io
import re

import pytest

import tavlen
from markdown import ROOT, fenced_blocks


def test_examples_print_what_the_readme_shows(tmp_path, monkeypatch):
    blocks = fenced_blocks("README.md")
    examples = [(text, blocks[i + 1][1] if i + 1 < len(blocks) and blocks[i + 1][0] == "text" else None)
                for i, (language, text) in enumerate(blocks) if language == "python"]
    assert len(examples) >= 2 and all(shown is not None for _, shown in examples)
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "readme"}
    for code, shown in examples:
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(compile(code, "README.md", "exec"), namespace)
        assert printed.getvalue() == shown
    assert tavlen.Results.load(tmp_path / "flu.npz").event_counts("death").sum() == 2 * 10_000


@pytest.mark.parametrize("page", ["README.md", "CONTRIBUTING.md"])
def test_links_lead_to_files_of_the_checkout(page):
    text = (ROOT / page).read_text()
    targets = re.findall(r"\]\(([^)#\s]+)\)", text)
    assert targets if page == "README.md" else True
    for target in targets:
        if "://" in target:
            continue
        if target.startswith("docs/") and not (ROOT / "docs" / "conf.py").exists():
            continue  # the site's pages come with its sources
        assert (ROOT / target).exists(), f"{page} links to {target}, which is missing"

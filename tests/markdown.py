"""The fenced code blocks of the project's Markdown pages, for the tests that run them."""

import pathlib
import re

ROOT = pathlib.Path(__file__).parent.parent

_FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def fenced_blocks(page: str) -> list[tuple[str, str]]:
    """Each fenced block of ``page`` (a path from the checkout's top) as (language, text), in order."""
    return [(match[1], match[2]) for match in _FENCE.finditer((ROOT / page).read_text())]


def python_blocks(page: str) -> list[str]:
    return [text for language, text in fenced_blocks(page) if language == "python"]

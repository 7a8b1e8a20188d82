"""The progress bar shows every finished block at once, the last one too:
a run that stalls afterwards must not look further behind than it is."""

import pytest

from tavlen.progress import progress_bar


def test_the_bar_is_drawn_at_every_block(capsys):
    pytest.importorskip("tqdm")
    with progress_bar(True, 100) as advance:
        capsys.readouterr()
        for people, done in [(10, 10), (10, 20), (79, 99)]:  # faster than any redraw interval
            advance(people)
            assert f" {done}/100 " in capsys.readouterr().err.rsplit("\r", 1)[-1]

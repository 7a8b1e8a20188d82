"""The benchmark's hand-written loops make the driver's calls: run on a few
people, they give Model.run's results bit for bit (the benchmark itself
checks this again at full size before it times them)."""

import pathlib
import sys

import numpy as np
import pytest

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"
if not BENCH.is_dir():  # a copy of the package and its tests alone
    pytest.skip("the benchmark's sources are not in this tree", allow_module_level=True)
sys.path.insert(0, str(BENCH))

import cases_endtoend  # noqa: E402


@pytest.mark.parametrize("block_size", [7, 500])
def test_the_hand_loops_give_model_runs_results(block_size):
    births = cases_endtoend.demo.population(400, seed=3)
    results = cases_endtoend.demo.model().run(births, **cases_endtoend.demo.RUN_OPTIONS, seed=5, block_size=block_size)
    by_hand, events = cases_endtoend.hand_loop(births, 5, block_size)
    inlined = cases_endtoend.inlined_loop(births, 5, block_size)
    for name in ("events", "durations", "snapshots_ages", "snapshots_years"):
        assert np.array_equal(by_hand[name], getattr(results, name)), name
        assert np.array_equal(inlined[name], getattr(results, name)), name
    # Every life takes at least its ending event, and the screening universe its screens.
    assert events > len(births) * 2

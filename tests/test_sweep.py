"""Sweeps: every model's results are bit for bit those of its own run,
whatever runs the blocks; a stopped sweep resumes; the stream stays bounded;
mistakes are named."""

import concurrent.futures
import contextlib
import json
import logging
import os
import re
import pathlib
import threading

import numpy as np
import pytest

import tavlen
import tavlen.simulation
from tavlen import Model, ModelError, demo

from markdown import python_blocks

PEOPLE = 240
OPTIONS = {**demo.RUN_OPTIONS, "block_size": 40, "subsamples": 4}  # 6 blocks in 4 sub-samples
CHECKOUT = str(pathlib.Path(__file__).resolve().parent.parent / "src")
SENSITIVITIES = {"low": 0.4, "usual": 0.7, "high": 0.95}


@pytest.fixture(autouse=True)
def workers_import_this_checkout(monkeypatch):
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(filter(None, [CHECKOUT, os.environ.get("PYTHONPATH")])))


def models():
    return {label: demo.model(demo.Laws(sensitivity=value)) for label, value in SENSITIVITIES.items()}


@pytest.fixture(scope="module")
def population():
    return demo.population(PEOPLE, 3)


@pytest.fixture(scope="module")
def alone(population):
    """Each model run on its own: with the sweep's seed, and with a seed of its own."""
    common = {label: model.run(population, **OPTIONS, seed=7) for label, model in models().items()}
    own = {label: model.run(population, **OPTIONS, seed=tavlen.block_seed(7, position, "tavlen.sweep"))
           for position, (label, model) in enumerate(models().items())}
    return {True: common, False: own}


@pytest.fixture(scope="module")
def dask_executor():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as client:
        yield client.get_executor()


@pytest.mark.parametrize("where", ["here", "workers", "dask"])
@pytest.mark.parametrize("common", [True, False])
def test_each_model_gives_its_own_runs_results_bit_for_bit(request, population, alone, where, common):
    # common: the models share the run's seed (the default) or have seeds of their own
    where = {"here": {}, "workers": {"workers": 2}, "dask": {"executor": request.getfixturevalue("dask_executor")}}[where]
    swept = tavlen.sweep(models(), population, **OPTIONS, seed=7, own_seeds=not common, **where)
    assert swept.labels == tuple(SENSITIVITIES) and len(swept) == 3
    for (label, results), (expected_label, expected) in zip(swept.items(), alone[common].items(), strict=True):
        assert label == expected_label and results.equals(expected) and results.metadata == expected.metadata
        assert swept[label] is results and results.subsamples == 4
    assert [r.metadata["seed"] == 7 for r in swept] == [common] * 3


def test_the_choice_of_streams_reaches_every_model(population):
    label, model = next(iter(models().items()))
    swept = tavlen.sweep({label: model}, population, **OPTIONS, seed=7, common_random_numbers=False)
    assert swept[label].equals(model.run(population, **OPTIONS, seed=7, common_random_numbers=False))
    assert swept[label].metadata["common_random_numbers"] is False


def test_results_are_indexed_by_position_and_label_and_stack_in_xarray(population, alone):
    pytest.importorskip("xarray")
    swept = tavlen.sweep(list(models().values()), population, **OPTIONS, seed=7)
    assert swept.labels == ("0", "1", "2") and swept[1] is swept["1"] and list(swept) == [swept[0], swept[1], swept[2]]
    assert swept[1:].labels == ("1", "2") and "3 models" in repr(swept)
    dataset = swept.to_xarray()
    assert dataset["events"].dims[0] == "model" and list(dataset["model"].values) == ["0", "1", "2"]
    np.testing.assert_array_equal(dataset["durations"].sel(model="2"), alone[True]["high"].durations)
    assert dataset["events_standard_error"].sizes["model"] == 3
    with pytest.raises(KeyError, match="'9' is not a label"):
        swept["9"]


def block_files(folder):
    return sorted(str(path.relative_to(folder)) for path in pathlib.Path(folder).glob("*/block-*.npz"))


@pytest.mark.parametrize("stop_at", [("usual", 2), ("high", 0)])
def test_a_stopped_sweep_resumes_with_what_is_missing(tmp_path, monkeypatch, population, alone, stop_at):
    simulate = tavlen.simulation.simulate_block
    calls, stops = [], []

    def stopped(configuration, index, first, block):
        low = configuration.model.processes[2].sensitivity
        calls.append((low, index))
        if (low, index) == (SENSITIVITIES[stop_at[0]], stop_at[1]) and not stops:
            stops.append(index)
            raise KeyboardInterrupt
        return simulate(configuration, index, first, block)

    monkeypatch.setattr(tavlen.simulation, "simulate_block", stopped)
    with pytest.raises(KeyboardInterrupt):
        tavlen.sweep(models(), population, **OPTIONS, seed=7, checkpoint=tmp_path)
    kept = block_files(tmp_path)
    assert len(kept) == len(calls) - 1 and all(name.split("/")[0] in SENSITIVITIES for name in kept)
    calls.clear()
    resumed = tavlen.sweep(models(), population, **OPTIONS, checkpoint=tmp_path)  # the seed kept in the folder
    assert len(calls) == 18 - len(kept) and len(block_files(tmp_path)) == 18
    for label, results in resumed.items():
        assert results.equals(alone[True][label])


class Locked(tavlen.Process):
    """Holds a lock: no pickle takes it, and every block starts from a pickle of the model."""

    def __init__(self):
        self.lock = threading.Lock()


@pytest.mark.parametrize("given, options, error, message", [
    ([], {}, ModelError, "needs at least one model"),
    ({}, {}, ModelError, "needs at least one model"),
    ("models", {}, TypeError, "a sequence of Model or a mapping"),
    ([demo.model(), demo.model()], {"labels": ["a", "a"]}, ModelError, r"must be unique; repeated: \['a'\]"),
    ([demo.model()], {"labels": ["a", "b"]}, ModelError, "1 models got 2 labels"),
    ([demo.model()], {"labels": [1]}, TypeError, "labels must be str"),
    ({1: demo.model()}, {}, TypeError, "keys of a sweep's mapping .* must be str, got 1"),
    ({"a": demo.model()}, {"labels": ["a"]}, TypeError, "labels only with a sequence"),
    ({"a": demo.model(), "b": "model"}, {}, TypeError, "model 'b' is a str, not a tavlen Model"),
    ({"a": demo.model()}, {"block_sise": 9}, TypeError, "unexpected keyword argument 'block_sise'"),
    ({"a": demo.model(), "locked": Model([*demo.model().processes, Locked()])}, {}, ModelError,
     "the sweep's model 'locked' does not pickle: .*lock"),
    ({"a": demo.model()}, {"workers": 2, "executor": concurrent.futures.ThreadPoolExecutor(1)}, ModelError, "not both"),
])
def test_mistakes_are_named(population, given, options, error, message):
    with pytest.raises(error, match=message):
        tavlen.sweep(given, population, **{**OPTIONS, **options})


@pytest.mark.parametrize("workers", [None, 2])
def test_a_failing_model_is_named_with_the_person(population, workers):
    failing = {"fine": demo.model(), "broken": demo.model(demo.Laws(screening_ages=(-1.0,)))}
    with pytest.raises(AssertionError) as caught:
        tavlen.sweep(failing, population, **OPTIONS, seed=1, workers=workers)
    notes = "\n".join(caught.value.__notes__)
    assert "in the sweep's model 'broken'" in notes
    assert re.search(r"while simulating person \d+ in universe 'screening'", notes)  # the first block to fail


@pytest.mark.parametrize("how, message", [
    ("workers", None),  # a new pool runs the lost tasks again
    ("every time", "died 3 times in a row .* the sweep gave up"),
    ("executor", "cannot replace an executor it was given"),
])
def test_a_lost_worker(tmp_path, population, how, message, monkeypatch):
    monkeypatch.setattr(tavlen.execution, "HELP_WHILE_POOL_STARTS", False)  # the killing block meets a worker
    from test_checkpoint import killing_model  # kills the worker that simulates block 2

    models = {"fine": demo.model(), "killing": killing_model(tmp_path / "killed", every_time=how == "every time")}
    options = {**OPTIONS, "seed": 7, "blocks_per_task": 1}
    if message is None:
        swept = tavlen.sweep(models, population, **options, workers=2)
        assert (tmp_path / "killed").exists()
        for label, model in models.items():
            assert swept[label].equals(model.run(population, **options))  # in this process, which it never kills
        return
    with contextlib.ExitStack() as stack, pytest.raises(ModelError, match=message):
        where = {"workers": 2} if how != "executor" else {
            "executor": stack.enter_context(concurrent.futures.ProcessPoolExecutor(2))}
        tavlen.sweep(models, population, **options, **where)


class LosesItsScheduler(concurrent.futures.ThreadPoolExecutor):
    """Cancels every task after the first few, as a Dask client does when its scheduler goes away."""

    def __init__(self):
        super().__init__(1)
        self.submitted = 0

    def submit(self, *args):
        self.submitted += 1
        if self.submitted <= 4:
            return super().submit(*args)
        future = concurrent.futures.Future()
        future.cancel()
        future.set_running_or_notify_cancel()
        return future


def test_a_lost_scheduler_stops_the_sweep_saying_where_to_resume(tmp_path, population, alone):
    options = {**OPTIONS, "seed": 7, "blocks_per_task": 1, "checkpoint": tmp_path}
    with pytest.raises(ModelError, match="the executor cancelled the sweep's tasks, leaving models 'low', 'usual', "
                       "'high' unfinished") as stopped:
        tavlen.sweep(models(), population, **options, executor=LosesItsScheduler())
    assert f"kept in the checkpoint folder {str(tmp_path)!r}" in str(stopped.value)
    assert not getattr(stopped.value.__cause__, "__notes__", None)  # no model is to blame
    assert 1 <= len(block_files(tmp_path)) <= 4  # those that came back before the first cancelled one
    for label, results in tavlen.sweep(models(), population, **options).items():
        assert results.equals(alone[True][label])


@pytest.mark.parametrize("damage, own_seeds", [("gone", False), ("damaged", False), ("gone", True)])
def test_a_sweep_without_its_seed_file_takes_the_seed_its_models_keep(tmp_path, population, alone, damage, own_seeds):
    simulate = tavlen.simulation.simulate_block

    def stopped(configuration, index, first, block):
        if index == 3:
            raise KeyboardInterrupt
        return simulate(configuration, index, first, block)

    with pytest.MonkeyPatch.context() as patch, pytest.raises(KeyboardInterrupt):
        patch.setattr(tavlen.simulation, "simulate_block", stopped)
        tavlen.sweep(models(), population, **OPTIONS, checkpoint=tmp_path, own_seeds=own_seeds)  # a seed drawn
    seed_file = tmp_path / "sweep.json"
    seed = json.loads(seed_file.read_text())["seed"]
    seed_file.unlink() if damage == "gone" else seed_file.write_text('{"seed": ')
    if own_seeds:  # each model's seed is drawn from the sweep's: none tells it
        with pytest.raises(ModelError, match="has lost its sweep.json, .* give the sweep's seed to resume"):
            tavlen.sweep(models(), population, **OPTIONS, checkpoint=tmp_path, own_seeds=True)
        assert not seed_file.exists()  # no new seed written over the kept ones
        return
    resumed = tavlen.sweep(models(), population, **OPTIONS, checkpoint=tmp_path)
    assert json.loads(seed_file.read_text())["seed"] == seed
    for label, results in resumed.items():
        assert results.equals(models()[label].run(population, **OPTIONS, seed=seed))


class Counting(concurrent.futures.ThreadPoolExecutor):
    """Threads that count the tasks in flight (each task unpickles its own model)."""

    def __init__(self):
        super().__init__(2)
        self.lock, self.in_flight, self.most = threading.Lock(), 0, 0

    def submit(self, *args):
        with self.lock:
            self.in_flight += 1
            self.most = max(self.most, self.in_flight)
        future = super().submit(*args)
        future.add_done_callback(self._done)
        return future

    def _done(self, _):
        with self.lock:
            self.in_flight -= 1


def test_tasks_in_flight_are_bounded_and_one_bar_counts_the_sweep(population, capsys):
    many = [demo.model(demo.Laws(sensitivity=0.1 + i / 20)) for i in range(12)]
    with Counting() as executor:
        swept = tavlen.sweep(many, population, **{**OPTIONS, "blocks_per_task": 1}, seed=2, executor=executor,
                             progress=pytest.importorskip("tqdm") is not None)
    assert len(swept) == 12 and 2 <= executor.most <= 8  # four per worker, of 72 tasks
    assert f"{12 * PEOPLE}/{12 * PEOPLE}" in capsys.readouterr().err


def test_readme_uncertainty_and_sweep_example_runs(tmp_path, monkeypatch):
    blocks = python_blocks("README.md")[:1] + python_blocks("docs/_from_readme/monte-carlo-error-and-sweeps.md")[:1]
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "readme"}
    for block in blocks:
        exec(compile(block.replace("10_000", "3_000"), "README.md", "exec"), namespace)
    assert namespace["results"].subsamples == 3  # one per block of 1,000
    assert namespace["rates"].labels == ("0.1 per year", "0.2 per year", "0.4 per year")

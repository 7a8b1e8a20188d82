"""Runs give the same numbers, bit for bit, whatever runs their blocks: this
process, a local process pool, or a Dask cluster of worker processes."""

import concurrent.futures
import logging
import multiprocessing
import os
import pathlib
import subprocess
import sys
import time

import pytest

import tavlen
from tavlen import Model, demo
from tavlen.model import process_pool

PEOPLE = 300
BLOCK_SIZE = 40  # 8 blocks, the last one short
CHECKOUT = str(pathlib.Path(__file__).resolve().parent.parent / "src")


@pytest.fixture(autouse=True)
def workers_import_this_checkout(monkeypatch):
    """Worker processes start fresh interpreters, which find tavlen through PYTHONPATH."""
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(filter(None, [CHECKOUT, os.environ.get("PYTHONPATH")])))


@pytest.fixture(scope="module")
def in_process():
    return demo.run(PEOPLE, seed=9, block_size=BLOCK_SIZE)


def test_a_run_repeats_and_depends_on_its_seed(in_process):
    assert demo.run(PEOPLE, seed=9, block_size=BLOCK_SIZE).equals(in_process)
    assert not demo.run(PEOPLE, seed=10, block_size=BLOCK_SIZE).equals(in_process)


def test_two_local_processes_give_the_same_results(in_process):
    assert in_process.subsamples == 8  # so the comparisons below take in the sub-sample sums
    assert demo.run(PEOPLE, seed=9, block_size=BLOCK_SIZE, workers=2).equals(in_process)
    with process_pool(2) as pool:
        assert demo.run(PEOPLE, seed=9, block_size=BLOCK_SIZE, executor=pool).equals(in_process)
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        assert demo.run(PEOPLE, seed=9, block_size=BLOCK_SIZE, executor=pool).equals(in_process)
        # Tasks of three, three and two blocks
        grouped = demo.model().run(demo.population(PEOPLE, 9), **demo.RUN_OPTIONS, seed=9, block_size=BLOCK_SIZE,
                                   executor=pool, blocks_per_task=3)
        assert grouped.equals(in_process)


DEMO_BLOCK = {"events": (2, 1, 6, 161, 7), "durations": (2, 1, 3, 161, 7)}  # the demo's, 158 KiB


@pytest.mark.parametrize("blocks_n, shapes, per_task", [
    (0, DEMO_BLOCK, 1),
    (63, DEMO_BLOCK, 1),
    (400, DEMO_BLOCK, 6),  # a 64th
    (20_000, DEMO_BLOCK, 25),  # 4 MiB of aggregates, not a 64th (312)
    (10**6, {"events": (1,)}, 15_625),
    (10**6, {"events": (1 << 20,)}, 1),  # one block holds more than 4 MiB
    (10**6, {"events": (0,)}, 15_625),
])
def test_tasks_are_a_64th_of_the_blocks_but_hold_little(blocks_n, shapes, per_task):
    assert tavlen.execution.default_blocks_per_task(blocks_n, shapes) == per_task


class Recording(concurrent.futures.ThreadPoolExecutor):
    """Records the size of every task, and how many were submitted and not done."""

    def __init__(self):
        super().__init__(1)
        self.sizes, self.outstanding, self.futures = [], [], []

    def submit(self, fn, *args):
        self.sizes.append(len(args[-1]))
        self.outstanding.append(sum(not future.done() for future in self.futures) + 1)
        self.futures.append(super().submit(fn, *args))
        return self.futures[-1]


def test_large_runs_get_small_tasks_a_few_at_a_time(monkeypatch):
    monkeypatch.setattr(tavlen.execution, "TASK_AGGREGATE_BYTES", 3 * 6_240 // 2)  # one demo block and a half
    with Recording() as executor:
        results = demo.run(64 * 10, seed=1, block_size=5, executor=executor)
    assert executor.sizes == [1] * 128
    assert max(executor.outstanding) <= 4  # four per worker, not all 128
    assert results.equals(demo.run(64 * 10, seed=1, block_size=5))


# In a fresh interpreter, whose fork server no earlier pool has started.
# eval names no module of the package, so taking the task imports nothing.
PRELOAD_PROBE = """
import multiprocessing
multiprocessing.set_forkserver_preload(["colorsys"])
from tavlen.pools import start_fork_server
start_fork_server()  # as python -m tavlen does, before the pool
from tavlen.model import process_pool
with process_pool(2) as pool:
    print(*pool.submit(eval, "sorted({'colorsys', 'numpy', 'tavlen.individual'} & set(__import__('sys').modules))").result())
"""


@pytest.mark.skipif("forkserver" not in multiprocessing.get_all_start_methods(), reason="no fork server here")
def test_pool_workers_start_with_the_package_loaded_besides_the_programs_own_preload():
    done = subprocess.run([sys.executable, "-c", PRELOAD_PROBE], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["colorsys", "numpy", "tavlen.individual"]


# A script that starts its parallel run at its top level, outside a main guard.
UNGUARDED = """
import multiprocessing
multiprocessing.set_start_method({method!r}, force=True)
from tavlen import demo
demo.run(20, seed=1, block_size=10, workers=2)
"""


@pytest.mark.parametrize("method", [m for m in ("forkserver", "spawn") if m in multiprocessing.get_all_start_methods()])
def test_a_script_without_main_guard_is_told_to_add_one(tmp_path, method):
    script = tmp_path / "unguarded.py"
    script.write_text(UNGUARDED.format(method=method))
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 1
    assert ("tavlen.model.ModelError: the run's worker processes could not start: "
            f"a new process imports the script {script} again, and its line 5") in done.stderr
    assert done.stderr.rstrip().splitlines()[-1] == (
        'Put the code that starts a parallel run under `if __name__ == "__main__":`, '
        "as any script that starts worker processes must")


@pytest.mark.parametrize("workers", [0, -1, 1.5])
def test_a_pool_of_no_workers_is_refused(workers):
    with pytest.raises((ValueError, TypeError), match="workers"):
        process_pool(workers)


def test_a_dask_cluster_gives_the_same_results(in_process):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as client:
        assert demo.run(PEOPLE, seed=9, block_size=BLOCK_SIZE, executor=client.get_executor()).equals(in_process)


# A process that fails while its marker file exists: a cause outside the
# model's pickle, so that the run, once the cause is gone, sends the very same
# tasks again.
FAILS_WHILE_MARKED = """
import os
import tavlen

class FailsWhileMarked(tavlen.Process):
    def __init__(self, marker):
        self.marker = marker

    def block_properties(self, block):
        if os.path.exists(self.marker):
            1 / 0
        return {}
"""


def test_a_run_started_again_on_the_same_dask_client_runs_anew(tmp_path, monkeypatch):
    distributed = pytest.importorskip("distributed")
    (tmp_path / "fails_while_marked.py").write_text(FAILS_WHILE_MARKED)
    monkeypatch.syspath_prepend(tmp_path)
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([str(tmp_path), os.environ["PYTHONPATH"]]))
    from fails_while_marked import FailsWhileMarked

    marker = tmp_path / "marker"
    marker.touch()
    model = Model([*demo.model().processes, FailsWhileMarked(str(marker))])
    options = {**demo.RUN_OPTIONS, "seed": 9, "block_size": BLOCK_SIZE}
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as client:
        executor = client.get_executor()
        with pytest.raises(ZeroDivisionError) as failed:  # held, as a notebook holds its last error
            model.run(demo.population(PEOPLE, 9), executor=executor, **options)
        marker.unlink()
        again = model.run(demo.population(PEOPLE, 9), executor=executor, **options)
    assert again.equals(model.run(demo.population(PEOPLE, 9), **options))
    assert failed.value is not None


def test_an_error_in_a_worker_reaches_the_caller_with_its_context():
    laws = demo.Laws(screening_ages=(-1.0,))  # a screen before birth: the queue refuses it
    with concurrent.futures.ProcessPoolExecutor(2) as pool, pytest.raises(AssertionError) as caught:
        demo.run(20, seed=1, laws=laws, block_size=10, executor=pool)
    assert any("while simulating person" in note for note in caught.value.__notes__)


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_forked_helper_simulates_blocks_while_the_pool_starts(in_process, monkeypatch):
    from tavlen import execution

    # Earlier tests leave idle threads (Dask's) behind, where a program would have none.
    monkeypatch.setattr(tavlen.pools, "_single_threaded", lambda: True)

    class SlowToStart(concurrent.futures.ProcessPoolExecutor):
        """A pool whose first submit waits, as a cold fork server keeps it
        waiting, and whose workers then take a while to start."""

        def __init__(self, workers):
            super().__init__(workers, initializer=time.sleep, initargs=(0.5,))
            self.submitted = 0

        def submit(self, *arguments):
            self.submitted += 1
            if self.submitted == 1:
                time.sleep(0.5)
            return super().submit(*arguments)

    taken_here = []
    simulate = execution._Helper.simulate
    monkeypatch.setattr(execution._Helper, "simulate", lambda helper, task: taken_here.append(len(task)) or simulate(helper, task))
    monkeypatch.setattr(tavlen.pools, "process_pool", SlowToStart)  # the run's and the sweep's own pools
    # Tasks of 3, 3 and 2 blocks: the first worker's start takes blocks one by one.
    results = demo.model().run(demo.population(PEOPLE, 9), **demo.RUN_OPTIONS, seed=9, block_size=BLOCK_SIZE,
                               workers=2, blocks_per_task=3)
    assert results.equals(in_process)
    assert taken_here[:2] == [1, 1]

    # A sweep's own pool, likewise
    from tavlen import sweeptasks
    swept_here = []
    simulate_in = sweeptasks.Stream._simulate_in
    monkeypatch.setattr(sweeptasks.Stream, "_simulate_in", lambda *task: swept_here.append(1) or simulate_in(*task))
    models = {"a": demo.model(), "b": demo.model(demo.Laws(sensitivity=0.5))}
    swept = tavlen.sweep(models, demo.population(PEOPLE, 9), **demo.RUN_OPTIONS, seed=9, block_size=BLOCK_SIZE,
                         workers=2, blocks_per_task=1)
    assert swept["a"].equals(in_process)
    assert swept["b"].equals(demo.run(PEOPLE, seed=9, block_size=BLOCK_SIZE, laws=demo.Laws(sensitivity=0.5)))
    assert swept_here

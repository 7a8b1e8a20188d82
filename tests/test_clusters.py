"""Runs beyond one process tree: an MPI job started with mpiexec, and a Dask
cluster whose scheduler and workers are programs of their own, reached by
address. Each gives the numbers of a run in one process, bit for bit; a
worker killed in the middle costs only time, and a run whose scheduler goes
away stops with a clear error and resumes from its checkpoint folder.

These start clusters, which takes seconds: they share one cluster where
they can."""

import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

import tavlen
from tavlen import demo
from tavlen.results import Results

# What they test is the driver's plain Python and the clusters' start-up: the
# debug interpreter and the sanitizer's run (whose preloaded runtime every
# program of a cluster would inherit) add minutes and find nothing more.
pytestmark = pytest.mark.skipif(
    hasattr(sys, "gettotalrefcount") or "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="clusters are tested on the optimised interpreter, without the sanitizer",
)

PEOPLE, SEED, BLOCK_SIZE = 300, 9, 30  # ten blocks, one per sub-sample
CHECKOUT = str(pathlib.Path(__file__).resolve().parent.parent / "src")
# Workers and jobs started here import tavlen from this checkout.
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [CHECKOUT, os.environ.get("PYTHONPATH")]))}


def command(*arguments, people=PEOPLE, output):
    """python -m tavlen's arguments for a quiet run whose results go to ``output``."""
    return ["-m", "tavlen", *arguments, "-n", str(people), "-s", str(SEED), "--block-size", str(BLOCK_SIZE),
            "--no-plot", "--no-progress", "-o", str(output)]


@pytest.fixture(scope="module")
def in_process():
    return demo.run(PEOPLE, seed=SEED, block_size=BLOCK_SIZE)


@pytest.mark.skipif(shutil.which("mpiexec") is None, reason="no mpiexec here")
def test_an_mpi_job_gives_the_same_results(in_process, tmp_path):
    pytest.importorskip("mpi4py")
    job = ["mpiexec", "-n", "3", sys.executable, "-m", "mpi4py.futures", *command("--executor", "mpi", output=tmp_path)]
    done = subprocess.run(job, env=ENV, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""  # Open MPI starts without complaints
    assert "on 2 MPI workers" in done.stdout
    assert Results.load(tmp_path / "results.npz").equals(in_process)


class Cluster:
    """A Dask scheduler and its workers, each a program of its own."""

    def __init__(self, folder: pathlib.Path) -> None:
        distributed = pytest.importorskip("distributed")
        self.folder = folder
        self.workers: list[subprocess.Popen] = []
        self.logs = []
        address_file = folder / "scheduler.json"
        self.scheduler = self._start("scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                                     "--scheduler-file", str(address_file))
        deadline = time.monotonic() + 60
        while not (address_file.exists() and address_file.stat().st_size):
            assert self.scheduler.poll() is None and time.monotonic() < deadline, "the scheduler did not start"
            time.sleep(0.05)
        self.address = json.loads(address_file.read_text())["address"]
        self.client = distributed.Client(self.address, set_as_default=False)

    def _start(self, *arguments: str) -> subprocess.Popen:
        log = open(self.folder / f"{arguments[0]}-{len(self.workers)}.log", "w")
        self.logs.append(log)
        return subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_" + arguments[0], *arguments[1:]],
                                env=ENV, stdout=log, stderr=log)

    def add_worker(self, name: str, *options: str) -> subprocess.Popen:
        worker = self._start("worker", self.address, "--nthreads", "1", "--no-dashboard", "--name", name, *options)
        self.workers.append(worker)
        self.client.wait_for_workers(len(self.workers), timeout=60)
        return worker

    def stop(self) -> list[int]:
        """Stops the workers, then the scheduler, as an operator would (SIGTERM); their exit codes."""
        self.client.close()
        for process in [*self.workers, self.scheduler]:
            if process.poll() is None:
                process.terminate()
                process.wait(timeout=60)
        for log in self.logs:
            log.close()
        return [process.returncode for process in [*self.workers, self.scheduler]]


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    cluster = Cluster(tmp_path_factory.mktemp("cluster"))
    for name in ("one", "two"):
        cluster.add_worker(name)
    yield cluster
    cluster.stop()


def test_a_standalone_dask_cluster_gives_the_same_results(cluster, in_process, tmp_path):
    done = subprocess.run([sys.executable, *command("--scheduler", cluster.address, output=tmp_path)],
                          env=ENV, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert f"on 2 Dask workers of the cluster at {cluster.address}" in done.stdout
    assert Results.load(tmp_path / "results.npz").equals(in_process)
    executor = cluster.client.get_executor()
    assert demo.run(PEOPLE, seed=SEED, block_size=BLOCK_SIZE, executor=executor).equals(in_process)
    laws = demo.Laws(sensitivity=0.5)
    swept = tavlen.sweep({"demo": demo.model(), "less sensitive": demo.model(laws)}, demo.population(PEOPLE, SEED),
                         **demo.RUN_OPTIONS, seed=SEED, block_size=BLOCK_SIZE, executor=executor)
    assert swept["demo"].equals(in_process)
    assert swept["less sensitive"].equals(demo.run(PEOPLE, seed=SEED, block_size=BLOCK_SIZE, laws=laws))


def test_a_worker_killed_in_the_middle_of_a_run_costs_only_time(cluster):
    people = 4000  # 100 tasks of a block
    doomed = cluster.add_worker("doomed", "--no-nanny")  # nothing starts it again
    doomed_address = next(address for address, worker in cluster.client.scheduler_info()["workers"].items()
                          if worker["name"] == "doomed")
    ran = {}
    run = threading.Thread(target=lambda: ran.update(results=demo.run(
        people, seed=SEED, block_size=BLOCK_SIZE, executor=cluster.client.get_executor())))
    run.start()
    deadline = time.monotonic() + 60
    while not cluster.client.processing(workers=[doomed_address]).get(doomed_address):
        assert run.is_alive() and time.monotonic() < deadline, "the doomed worker never took a task"
        time.sleep(0.01)
    doomed.send_signal(signal.SIGKILL)
    run.join(timeout=300)
    assert ran["results"].equals(demo.run(people, seed=SEED, block_size=BLOCK_SIZE))
    cluster.workers.remove(doomed)
    doomed.wait()


def test_a_run_whose_scheduler_goes_away_stops_then_resumes(tmp_path):
    people = 8000
    lost = Cluster(tmp_path)
    lost.add_worker("alone")
    checkpoint = tmp_path / "ck"
    run = subprocess.Popen([sys.executable, *command("--scheduler", lost.address, "--checkpoint", str(checkpoint),
                                                     people=people, output=tmp_path)],
                           env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while not (checkpoint.is_dir() and len(list(checkpoint.glob("*.npz"))) >= 3):
        assert run.poll() is None and time.monotonic() < deadline, "the run ended before its scheduler went away"
        time.sleep(0.01)
    lost.scheduler.send_signal(signal.SIGKILL)
    started = time.monotonic()
    _, stderr = run.communicate(timeout=120)
    assert run.returncode == 1, stderr
    assert "the executor cancelled the run's tasks" in stderr
    assert f"kept in the checkpoint folder {str(checkpoint)!r}" in stderr
    assert time.monotonic() - started < 20  # not waiting for the scheduler to come back
    lost.stop()

    again = subprocess.run([sys.executable, *command("--checkpoint", str(checkpoint), people=people, output=tmp_path)],
                           env=ENV, capture_output=True, text=True, timeout=300)
    assert again.returncode == 0, again.stderr
    assert Results.load(tmp_path / "results.npz").equals(demo.run(people, seed=SEED, block_size=BLOCK_SIZE))


def test_a_cluster_stops_cleanly(tmp_path):
    cluster = Cluster(tmp_path)
    cluster.add_worker("one")
    assert cluster.stop() == [0, 0]

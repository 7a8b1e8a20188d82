"""Whole commands, as a user runs them: the demo (python -m tavlen, default
run, without its plot) in one process, on two workers from a cold start, in
an MPI job, and on a standalone Dask cluster whose scheduler and workers are
programs of their own. Every command is a fresh interpreter, so each run of
the two-worker command starts its pool cold (fork server included)."""

from __future__ import annotations

import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Sequence

from cases_endtoend import load

CHECKOUT = str(pathlib.Path(__file__).resolve().parent.parent / "src")
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [CHECKOUT, os.environ.get("PYTHONPATH")]))}
WORKERS = 2
REPEAT = 3


def cases() -> list:
    return []


def demo(*options: str) -> list[str]:
    return [sys.executable, "-m", "tavlen", "--no-plot", "--no-progress", *options]


def timed(command: Sequence[str], output: str) -> float:
    started = time.perf_counter()
    done = subprocess.run([*command, "-o", output], env=ENV, capture_output=True, text=True, cwd=output)
    seconds = time.perf_counter() - started
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed: {done.stderr[-2000:]}")
    return seconds


def best_of_commands(repeat: int, commands: dict[str, list[str]], output: str) -> dict[str, float]:
    """Each command's best time, the commands taking turns."""
    best = dict.fromkeys(commands, float("inf"))
    for _ in range(repeat):
        for name, command in commands.items():
            best[name] = min(best[name], timed(command, output))
    return best


def report() -> None:
    print("\nWhole commands, default demo (200,000 people, 2 universes), --no-plot --no-progress, "
          f"best of {REPEAT}, each a fresh interpreter:")
    print(f"  ({load()})")
    with tempfile.TemporaryDirectory() as output:
        commands = {"one": demo("-w", "1"), "pool": demo("-w", str(WORKERS))}
        mpiexec = shutil.which("mpiexec")
        mpi = None
        try:
            import mpi4py  # noqa: F401
            mpi = mpiexec
        except ImportError:
            pass
        if mpi:
            commands["mpi"] = [mpi, "-n", str(WORKERS + 1), sys.executable, "-m", "mpi4py.futures",
                               *demo("--executor", "mpi")[1:]]
        best = best_of_commands(REPEAT, commands, output)
        one, pool = best["one"], best["pool"]
        print(f"  python -m tavlen -w 1:  {one:6.2f} s")
        print(f"  python -m tavlen -w {WORKERS}:  {pool:6.2f} s  parallel efficiency {one / (WORKERS * pool):.2f} "
              "(target 0.85), a cold pool: fork server and workers started by the command")
        if mpi:
            print(f"  mpiexec -n {WORKERS + 1} python -m mpi4py.futures -m tavlen --executor mpi:  {best['mpi']:6.2f} s, "
                  f"{best['mpi'] / pool:.2f} x -w {WORKERS}")
        else:
            print("  MPI: skipped, mpiexec or mpi4py is missing")
        dask_commands(output, pool)
    print(f"  ({load()})")


def dask_commands(output: str, pool: float) -> None:
    """The demo on a Dask scheduler and two workers started as programs of their own, as on other machines."""
    try:
        import distributed  # noqa: F401
    except ImportError as error:
        print(f"  standalone Dask: skipped, distributed does not import ({error})")
        return
    log = open(os.path.join(output, "cluster.log"), "w")
    address_file = os.path.join(output, "scheduler.json")
    dask = [sys.executable, "-m"]
    scheduler = subprocess.Popen([*dask, "distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0",
                                  "--no-dashboard", "--scheduler-file", address_file], env=ENV, stdout=log, stderr=log)
    workers = []
    try:
        while not (os.path.exists(address_file) and os.path.getsize(address_file)):
            time.sleep(0.05)
        with open(address_file) as file:
            address = json.load(file)["address"]
        workers = [subprocess.Popen([*dask, "distributed.cli.dask_worker", address, "--nthreads", "1",
                                     "--no-dashboard"], env=ENV, stdout=log, stderr=log) for _ in range(WORKERS)]
        with distributed.Client(address) as client:
            client.wait_for_workers(WORKERS, timeout=120)
        seconds = best_of_commands(REPEAT, {"dask": demo("--scheduler", address)}, output)["dask"]
        print(f"  python -m tavlen --scheduler ADDRESS (a scheduler and {WORKERS} workers of one thread, "
              f"running):  {seconds:6.2f} s, {seconds / pool:.2f} x -w {WORKERS}")
    finally:
        for process in [*workers, scheduler]:
            process.terminate()
            process.wait(timeout=60)
        log.close()

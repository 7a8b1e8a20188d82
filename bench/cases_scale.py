"""Scale: the demo with 10 million people on two worker processes (time,
lives per second, peak resident memory of the main process and of a
worker). It takes minutes, so it runs only when asked for by name:
``scripts/bench scale``."""

from __future__ import annotations

import os
import pathlib
import resource
import subprocess
import sys
import threading
import time

from cases_endtoend import load

#: Runs only when named on the command line.
SELECTED_ONLY = True
PEOPLE = int(os.environ.get("TAVLEN_BENCH_SCALE_PEOPLE", 10_000_000))
WORKERS = 2
CHECKOUT = str(pathlib.Path(__file__).resolve().parent.parent / "src")

# Run in a fresh interpreter: prints the main process's figures, one per line.
RUN = """
import os, resource, sys, time
import numpy as np
from tavlen import demo
if __name__ == "__main__":
    people, workers = int(sys.argv[1]), int(sys.argv[2])
    births = demo.population(people, 2024)
    baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    started = time.perf_counter()
    results = demo.model().run(births, **demo.RUN_OPTIONS, seed=2024, block_size=500, workers=workers)
    seconds = time.perf_counter() - started
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    kept = sum(array.nbytes for array in (results.events, results.durations, results.snapshots_ages,
                                          results.snapshots_years, *results.individual.values(),
                                          *results.subsample_sums.values()))
    print(seconds, baseline, peak, kept, births.nbytes)
"""


MODELS = int(os.environ.get("TAVLEN_BENCH_SCALE_MODELS", 1_000))
MODEL_PEOPLE = 1_000

# A sweep of MODELS demo models (screening sensitivities from 0.5 to 0.9) of
# MODEL_PEOPLE people, in one process or on workers: seconds, the peak
# resident set before and after, the bytes its results hold and, of those,
# their sub-sample sums (a model of two blocks keeps two, each the size of
# its aggregates).
SWEEP = """
import resource, sys, time
import numpy as np
import tavlen
from tavlen import demo
if __name__ == "__main__":
    models, people, workers = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    births = demo.population(people, 2024)
    swept = {str(i): demo.model(demo.Laws(sensitivity=0.5 + 0.4 * i / models)) for i in range(models)}
    baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    started = time.perf_counter()
    results = tavlen.sweep(swept, births, **demo.RUN_OPTIONS, seed=2024, block_size=500,
                           workers=None if workers == 1 else workers)
    seconds = time.perf_counter() - started
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    kept = sum(array.nbytes for r in results for array in (r.events, r.durations, r.snapshots_ages,
                                                           r.snapshots_years, *r.individual.values()))
    sums = sum(array.nbytes for r in results for array in r.subsample_sums.values())
    print(seconds, baseline, peak, kept + sums, sums)
"""


def sweep_report(env: dict[str, str]) -> None:
    print(f"\nScale: a sweep of {MODELS:,} demo models of {MODEL_PEOPLE:,} people (blocks of 500), in a fresh interpreter")
    print(f"  ({load()})")
    mib = 1 << 20
    figures = {}
    for workers in (1, WORKERS):
        done = subprocess.run([sys.executable, "-c", SWEEP, str(MODELS), str(MODEL_PEOPLE), str(workers)], env=env,
                              stdout=subprocess.PIPE, text=True, check=True)
        figures[workers] = seconds, baseline, peak, kept, sums = [float(word) for word in done.stdout.split()]
        where = "one process" if workers == 1 else f"{workers} workers"
        print(f"  {where:12} {seconds:7.1f} s  peak {peak / mib:,.0f} MiB, {baseline / mib:,.0f} MiB before; the results "
              f"hold {kept / mib:,.0f} MiB ({sums / mib:,.0f} MiB of sub-sample sums); "
              f"the sweep added {(peak - baseline - kept) / mib:,.0f} MiB beyond them")
    one, pool = figures[1][0], figures[WORKERS][0]
    print(f"  parallel efficiency {one / (WORKERS * pool):.2f} ({WORKERS} workers against one process, pool start-up included)")
    print(f"  ({load()})")


# The population modellers' outputs (one-year ages 0-100 by calendar years
# 1950-2100, 10 strata, 50 event and 10 duration tags, 4 universes) against
# coarse grids, on WORKERS workers: seconds, the main process's peak against
# what its results hold (sub-sample sums among them).
POPULATION = """
import resource, sys, time
import numpy as np
import tavlen
from cases_grids import COARSE, FINE, SEED, PopulationLogging
if __name__ == "__main__":
    people, fine, subsamples = int(sys.argv[1]), sys.argv[2] == "fine", int(sys.argv[3])
    births = np.random.default_rng(SEED).uniform(1950.0, 2000.0, people)
    strata = np.arange(people, dtype=np.int16) % 10
    baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    started = time.perf_counter()
    results = tavlen.Model([PopulationLogging()]).run(
        births, strata=strata, universes=("a", "b", "c", "d"), seed=SEED, block_size=1000, workers=2,
        subsamples=subsamples, **(FINE if fine else COARSE))
    seconds = time.perf_counter() - started
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    totals = sum(getattr(results, name).nbytes for name in ("events", "durations", "snapshots_ages", "snapshots_years"))
    sums = sum(array.nbytes for array in results.subsample_sums.values())
    print(seconds, baseline, peak, totals, sums)
"""
POPULATION_PEOPLE = int(os.environ.get("TAVLEN_BENCH_POPULATION_PEOPLE", 100_000))


def population_report(env: dict[str, str]) -> None:
    print(f"\nScale: the population modellers' outputs, {POPULATION_PEOPLE:,} people in blocks of 1,000 on "
          f"{WORKERS} workers, each run in a fresh interpreter")
    print(f"  ({load()})")
    env = {**env, "PYTHONPATH": os.pathsep.join([str(pathlib.Path(__file__).resolve().parent), env["PYTHONPATH"]])}
    mib = 1 << 20
    seconds = {}
    for grids, subsamples in (("coarse", 10), ("fine", 10), ("fine", 1)):
        done = subprocess.run([sys.executable, "-c", POPULATION, str(POPULATION_PEOPLE), grids, str(subsamples)],
                              env=env, stdout=subprocess.PIPE, text=True, check=True)
        seconds[grids, subsamples], baseline, peak, totals, sums = map(float, done.stdout.split())
        held = totals + sums
        ratio = seconds[grids, subsamples] / seconds["coarse", 10]
        target = "  (target at most 1.5)" + "  MISSED" * (ratio > 1.5) if grids == "fine" and subsamples == 10 else ""
        print(f"  {grids} grids, {subsamples:2d} sub-samples: {seconds[grids, subsamples]:6.1f} s ({ratio:.2f} x coarse)"
              f"{target}; main process: the results hold {held / mib:,.0f} MiB ({sums / mib:,.0f} MiB of sub-sample "
              f"sums), the run added {(peak - baseline) / mib:,.0f} MiB at its peak "
              f"({(peak - baseline) / held:.2f} x the results; target at most 1.20)")
    print(f"  ({load()})")


def cases() -> list:
    return []


def worker_peaks(parent: int, stop: threading.Event, peaks: dict[int, int]) -> None:
    """The peak resident set (VmHWM) of the workers that the fork server
    started by ``parent`` forks, sampled until ``stop``."""
    while not stop.wait(0.2):
        processes = {}
        for entry in os.scandir("/proc"):
            try:
                if entry.name.isdigit():
                    status = pathlib.Path(entry.path, "status").read_text()
                    processes[int(entry.name)] = dict(line.split(":", 1) for line in status.splitlines() if ":" in line)
            except OSError:
                continue
        servers = {pid for pid, fields in processes.items() if int(fields["PPid"]) == parent}
        for pid, fields in processes.items():
            if int(fields["PPid"]) in servers and "VmHWM" in fields:
                peaks[pid] = int(fields["VmHWM"].split()[0]) * 1024


def scale_run(people: int, env: dict[str, str]) -> None:
    run = subprocess.Popen([sys.executable, "-c", RUN, str(people), str(WORKERS)], env=env,
                           stdout=subprocess.PIPE, text=True)
    stop, peaks = threading.Event(), {}
    sampler = threading.Thread(target=worker_peaks, args=(run.pid, stop, peaks))
    sampler.start()
    output, _ = run.communicate()
    stop.set()
    sampler.join()
    seconds, baseline, peak, kept, births = map(float, output.split())
    mib = 1 << 20
    print(f"  {people:,} people: {seconds:.1f} s, {people * 2 / seconds:,.0f} lives/s")
    print(f"    main process: peak {peak / mib:,.0f} MiB, {baseline / mib:,.0f} MiB before the run "
          f"(the population's birth years {births / mib:,.0f} MiB among them); the results hold {kept / mib:,.0f} MiB; "
          f"the run added {(peak - baseline - kept) / mib:,.0f} MiB beyond the results, "
          f"{people * STRATUM_BYTES / mib:,.0f} MiB of them the run's stratum of every person")
    if peaks:
        print(f"    a worker: peak {max(peaks.values()) / mib:,.0f} MiB (largest of {len(peaks)} sampled)")


#: The run's own array of every person's stratum (int16), which it builds as it starts.
STRATUM_BYTES = 2


def report() -> None:
    print(f"\nScale: the demo in blocks of 500 on {WORKERS} worker processes, each run in a fresh interpreter, "
          f"with {PEOPLE // 10:,} people and with {PEOPLE:,}")
    print(f"  ({load()})")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [CHECKOUT, os.environ.get("PYTHONPATH")]))}
    for people in (PEOPLE // 10, PEOPLE):
        scale_run(people, env)
    print(f"  ({load()})")
    sweep_report(env)
    population_report(env)

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

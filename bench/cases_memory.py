"""The memory of a whole run: the peak resident set of Model.run, above the
set that the interpreter holds before the run, for a run that logs 10 million
individual-level entries. An entry takes 17 bytes in the results (uint8
universe, uint32 person, uint16 element, float64 age, uint16 tag), the floor
for a run that hands them all back; the target is 1.15 times that.

Each run is measured in a fresh interpreter, so that its peak is its own:

    python3 bench/cases_memory.py [serial|workers|large-blocks]
"""

from __future__ import annotations

import json
import os
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import tavlen  # noqa: E402

ENTRIES = 10_000_000
PEOPLE = 100_000
ENTRIES_PER_LIFE = ENTRIES // PEOPLE
FLOOR = 17
TARGET = 1.15 * FLOOR
# The default blocks of 1,000 people make 100 blocks; a block's log adds to
# the peak (see the individual-level log in the documentation), which the run in blocks of 10,000 shows.
RUNS = {"serial": {}, "workers": {"workers": 2}, "large-blocks": {"block_size": 10_000}}


class Logger(tavlen.Process):
    """Every life logs ENTRIES_PER_LIFE entries, at ages and elements that vary."""

    event_individual_tags = ("onset", "lesion")

    def start(self, individual):
        individual.add_to_queue(1.0, "grow", terminate=True)

    @tavlen.handles("grow")
    def grow(self, individual):
        log = individual.log_event_individual
        for entry in range(ENTRIES_PER_LIFE):
            log("lesion" if entry % 3 else "onset", 40.0 + 0.25 * entry, entry % 7)


def status(field: str) -> int:
    """A /proc/self/status figure, in bytes."""
    with open("/proc/self/status") as file:
        for line in file:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"/proc/self/status has no {field}")


def reset_peak() -> bool:
    """Sets the peak resident set to the present one (Linux 4.0 and later)."""
    try:
        with open("/proc/self/clear_refs", "w") as file:
            file.write("5")
    except OSError:
        return False
    return True


def measure(name: str) -> dict[str, float]:
    """Runs in the child: the baseline after imports, set-up and a small
    warm-up run (which loads every module a run uses), then the peak of the
    measured run, with its results kept alive."""
    model = tavlen.Model([Logger()])
    births = np.full(PEOPLE, 1950.0)
    options = RUNS[name]
    model.run(births[:10], seed=1, **(options | {"block_size": 5}))
    baseline = status("VmRSS")
    peak_is_own = reset_peak()
    results = model.run(births, seed=1, **options)
    peak = status("VmHWM")
    entries = len(results.individual["age"])
    if entries != ENTRIES:
        raise RuntimeError(f"the run logged {entries:,} entries, not {ENTRIES:,}")
    held = sum(column.nbytes for column in results.individual.values())
    return {"baseline": baseline, "peak": peak, "held": held, "peak_is_own": peak_is_own}


def report() -> None:
    print(f"\nModel.run logging {ENTRIES:,} individual-level entries ({PEOPLE:,} lives, in blocks of 1,000 "
          "people unless said):")
    print("peak resident set of the running process above its baseline after set-up, per entry;")
    print(f"the floor is {FLOOR} bytes (the results alone), the target at most {TARGET:.2f}.")
    print("With workers, the process measured is the main one, where the results gather.")
    head = (f"  {'run':<30} {'baseline MiB':>12} {'peak MiB':>9} {'results MiB':>12} {'bytes/entry':>12} "
            f"{'ratio':>6} {'target':>7}")
    print(head)
    print("  " + "-" * (len(head) - 2))
    for name, options in RUNS.items():
        child = subprocess.run([sys.executable, os.path.abspath(__file__), name],
                               capture_output=True, text=True, check=False)
        if child.returncode:
            print(f"  {name}: failed\n{child.stderr}")
            continue
        figures = json.loads(child.stdout.splitlines()[-1])
        per_entry = (figures["peak"] - figures["baseline"]) / ENTRIES
        label = "Model.run" + "".join(f", {key}={value}" for key, value in options.items())
        mark = "" if per_entry <= TARGET else "  MISSED"
        print(f"  {label:<30} {figures['baseline'] / 2**20:>12.1f} {figures['peak'] / 2**20:>9.1f} "
              f"{figures['held'] / 2**20:>12.1f} {per_entry:>12.2f} {per_entry / FLOOR:>6.2f} "
              f"{TARGET / FLOOR:>7.2f}{mark}")
        if not figures["peak_is_own"]:
            print("    (the peak could not be reset: it includes the set-up's)")


def cases() -> list:
    return []


if __name__ == "__main__":
    if len(sys.argv) == 2 and sys.argv[1] in RUNS:
        print(json.dumps(measure(sys.argv[1])))
    else:
        report()

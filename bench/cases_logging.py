"""The logging calls that every simulated life makes many times over, and the
memory that the individual-level log takes per entry."""

from __future__ import annotations

import gc
import os
import sys
import tracemalloc

import numpy as np

from harness import Case

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests"))

from conftest import in_life, make  # noqa: E402

NUMBER = 200_000


def namespace(**overrides):
    individual = make(duration_ages=np.array([35.0, 40.0, np.inf]), duration_years=np.array([np.inf]),
                      individual_block_size=NUMBER + 1, **overrides)
    # Room for every hop_stratum call of a timing loop, written once here:
    # np.zeros leaves the pages unmapped, and a first touch of each (several
    # microseconds on a virtual machine) is the kernel's cost, not the call's.
    in_life(individual, _person_stratum_hops_ages=np.full(NUMBER + 1, 0.0),
            _person_stratum_hops_strata=np.full(NUMBER + 1, 0, dtype=np.int16))
    return {"ind": individual, "d": {"onset": 1}, "k": "onset"}


def cases() -> list[Case]:
    floor = "d.get(k)"
    return [
        Case("log_event(tag)", "ind.log_event('onset')", floor, namespace, 2.0),
        Case("log_event_individual(tag), within a block", "ind.log_event_individual('onset')", floor,
             namespace, 2.5),
        Case("log_duration(tag, a, b), crossing three bins", "ind.log_duration('alive', 30.0, 45.0)", floor,
             namespace, 3.0),
        Case("hop_stratum(s)", "ind.hop_stratum(1)", floor, namespace, 2.0),
        Case("log_event(tag), forwarded to the individual log", "ind.log_event('onset')", floor,
             lambda: namespace(log_events_individual=True)),
        Case("log_duration(tag, a, b), split at hops", "ind.log_duration('alive', 30.0, 45.0)", floor,
             lambda: namespace(n_stratum_hops=2)),
    ]


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def report() -> None:
    """Memory of the individual-level log, 10 million entries: every
    allocation traced (NumPy reports its array memory to tracemalloc), and the
    growth of the resident set, which freed memory reused by the log can make
    smaller."""
    entries = 10_000_000
    gc.collect()
    tracemalloc.start()
    traced_baseline = tracemalloc.get_traced_memory()[0]
    resident_baseline = resident_bytes()
    individual = in_life(make(individual_block_size=1 << 16))
    log = individual.log_event_individual
    for _ in range(entries):
        log("onset")
    traced = tracemalloc.get_traced_memory()[0] - traced_baseline
    resident = resident_bytes() - resident_baseline
    tracemalloc.stop()
    print(f"\nindividual-level log, {entries:,} entries (target at most {1.15 * 17:.2f} bytes per entry):")
    print(f"  traced allocations  {traced / 2**20:7.1f} MiB  {traced / entries:5.2f} bytes per entry")
    print(f"  resident set growth {resident / 2**20:7.1f} MiB  {resident / entries:5.2f} bytes per entry")

"""A smoke run: constructs an Individual for a small run configuration and
prints what it was configured with."""

import numpy as np

from tavlen import Individual


def main() -> None:
    individual = Individual(
        properties={
            "__birth__": np.array([1950.0, 1965.5, 1980.0]),
            "__stratum__": np.array([0, 1, 0], dtype=np.int16),
        },
        universes=["no screening", "screening"],
        random_number_generators=["onset", "screening"],
        event_tags=["onset", "diagnosis", "death"],
        event_ages=np.array([40.0, 60.0, 80.0, np.inf]),
        event_years=np.array([2000.0, 2020.0, np.inf]),
        duration_tags=["ill"],
        duration_ages=np.array([50.0, np.inf]),
        duration_years=np.array([2010.0, np.inf]),
        event_individual_tags=["diagnosis"],
        individual_block_size=1024,
        snapshot_tags=["ill"],
        snapshot_ages=[50, 70],
        snapshot_years=[2025],
        snapshot_functions=[lambda person: None],
        n_stratum_hops=None,
        preserve_stratum=None,
        log_events_individual=False,
        verify_tags=True,
    )
    print("tavlen: constructed", type(individual).__qualname__)
    print("  random number generators:", ", ".join(individual.random))
    for name, array in [
        ("event counts", individual.output_events()),
        ("durations", individual.output_durations()),
        ("snapshots by age", individual.output_snapshots_ages()),
        ("snapshots by year", individual.output_snapshots_years()),
    ]:
        print(f"  {name}: {array.dtype} array of shape {array.shape}")
    log = individual.output_events_individual()
    print("  individual-level log:", ", ".join(f"{key} ({column.dtype})" for key, column in log.items()))


if __name__ == "__main__":
    main()

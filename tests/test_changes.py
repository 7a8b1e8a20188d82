"""An Individual that serves many blocks: the cells its logs change, taken
out of its grids block by block, and a new population for each block."""

import numpy as np
import pytest
from test_run_loop import MODELS, Strata

import tavlen.model
from tavlen import Model, simulation
from tavlen.cells import Cells, add_into
from tavlen.individual import Individual, record_changes, renew_population, take_changes
from tavlen.montecarlo import AGGREGATES

STRATA = np.array([0, 1, 0, 2, 1], dtype=np.int16)


def individual(strata=STRATA, hops=2, preserve=None, snapshot=lambda individual: {"s": 1}):
    properties = {"__birth__": np.linspace(1950.0, 1990.0, len(strata)), "__stratum__": strata}
    grid = np.arange(0.0, 101.0, 7.0)
    return Individual(properties, ["a", "b"], [], ["e", "f"], grid, grid + 1950.0, ["d", "g"], grid,
                      grid + 1950.0, [], 8, ["s"], [20.0, 40.0, 60.0], [1980.0, 2000.0],
                      [snapshot], hops, preserve, False, True)


def arrays(ind, discounted):
    return [ind.output_events(), ind.output_durations(), ind.output_snapshots_ages(), ind.output_snapshots_years(),
            *discounted]


def live(ind, generator):
    """One block's lives: events, durations cut by hops and snapshots, at random ages."""
    ind.next_block(0, {}, {})
    for _ in range(len(STRATA)):
        ind.next_person()
        for _ in range(2):
            ind.next_universe()
            age = 0.0
            for event in range(generator.integers(0, 6)):
                age += float(generator.exponential(15.0))
                if event == 0:  # each snapshot once a life
                    ind._snapshot_age(age)
                    ind._snapshot_year(age)
                ind.age = age
                if generator.random() < 0.3:
                    ind.hop_stratum(int(generator.integers(0, 3)))
                ind.log_event(str(generator.choice(["e", "f"])))
                ind.log_duration(str(generator.choice(["d", "g"])), age / 2, age)


def new_individual(preserve, snapshot=lambda individual: {"s": 1}, strata=STRATA):
    ind = individual(strata, preserve=preserve, snapshot=snapshot)
    shape = (2, 2, 3, 2, 15)
    discounted = [np.zeros(shape), np.zeros(shape)]
    ind.record_discounted((0.0, 0.03), 1990.0, *discounted)
    return ind, discounted


def taken_and_zero(ind, discounted):
    taken = [Cells.taken(array, offsets) for array, offsets in zip(arrays(ind, discounted), take_changes(ind),
                                                                    strict=True)]
    assert not any(array.any() for array in arrays(ind, discounted))
    return taken


@pytest.mark.parametrize("preserve", [None, "dynamic", "final"])
@pytest.mark.parametrize("seed", range(3))
def test_taken_cells_are_what_a_new_individual_holds_after_the_block(preserve, seed):
    kept, kept_discounted = new_individual(preserve)
    record_changes(kept)
    for block in range(4):
        fresh, fresh_discounted = new_individual(preserve)
        live(kept, np.random.default_rng([seed, block]))
        live(fresh, np.random.default_rng([seed, block]))
        for part, array in zip(taken_and_zero(kept, kept_discounted), arrays(fresh, fresh_discounted), strict=True):
            total = np.zeros(array.shape, dtype=np.float64 if array.dtype.kind == "f" else np.int64)
            add_into(total, part)
            assert total.tobytes() == array.astype(total.dtype).tobytes()
        renew_population(kept, {"__birth__": np.linspace(1950.0, 1990.0, 5), "__stratum__": STRATA})


def test_a_cell_back_at_zero_is_taken_once():
    amounts = iter([2, -2, 3])
    ind, discounted = new_individual(None, lambda individual: {"s": next(amounts)}, np.zeros(3, dtype=np.int16))
    record_changes(ind)
    ind.next_block(0, {}, {})
    for _ in range(3):
        ind.next_person()
        ind.next_universe()
        ind._snapshot_age(25.0)  # the snapshot at age 20, in one cell
    cells = taken_and_zero(ind, discounted)[2]
    assert cells.values.tolist() == [3] and len(cells.positions) == 1


def test_the_record_and_the_population_are_refused_clearly():
    ind = individual()
    with pytest.raises(RuntimeError, match="not recording its changes; call record_changes"):
        take_changes(ind)
    with pytest.raises(TypeError, match="individual must be an Individual, not int"):
        record_changes(5)
    record_changes(ind)
    record_changes(ind, False)
    with pytest.raises(RuntimeError, match="not recording"):
        take_changes(ind)
    ind.next_block(0, {}, {})
    ind.next_person()
    with pytest.raises(KeyError, match="__stratum__"):
        renew_population(ind, {"__birth__": np.zeros(3)})
    with pytest.raises(TypeError, match="'properties' has incorrect type"):
        renew_population(ind, [])
    ind.next_person()  # the refused population left the old one
    renew_population(ind, {"__birth__": np.array([2001.0]), "__stratum__": np.zeros(1, dtype=np.int16)})
    ind.next_person()
    with pytest.raises(IndexError, match="person 1 is outside the population arrays"):
        ind.next_person()


def results_of(model, options, keep):
    """Every array of the run's results, or its error."""
    with pytest.MonkeyPatch.context() as patch:
        if not keep:
            patch.setattr(simulation._KeptIndividual, "keep", lambda self: None)
        patch.setattr(tavlen.model, "MAX_EVENTS_PER_LIFE", 50)
        try:
            results = model.run(**{"birth_years": np.linspace(1940.0, 1970.0, 23), "seed": 11, "block_size": 5,
                                   "subsamples": 2, **options})
        except Exception as error:
            return type(error), str(error), getattr(error, "__notes__", [])
    named = [getattr(results, name) for name in AGGREGATES] + [results.subsample_sums[name] for name in AGGREGATES]
    return [(array.dtype, array.shape, array.tobytes()) for array in named + list(results.individual.values())]


KEPT = dict(MODELS, **{"strata, snapshots, discounting": (Model([Strata()]), dict(
    n_stratum_hops=2, universes=["a", "b"], snapshot_ages=[10, 20, 30], snapshot_years=[1960, 1980],
    snapshot_tags=["s"], snapshot_functions=[lambda individual: {"s": 2 if individual.age > 15 else 1}],
    discount_rates=(0.0, 0.035), base_year=1960.0))})


@pytest.mark.parametrize("model, options", KEPT.values(), ids=KEPT.keys())
def test_a_kept_individual_gives_what_a_new_one_gives(model, options):
    assert results_of(model, options, keep=True) == results_of(model, options, keep=False)
    assert not simulation._KeptIndividual.kept  # let go when the run ends

"""The model and its run: :class:`Model` ties the rooms of the driver together.

A model is a list of :class:`Process` objects (``tavlen.process``).
:meth:`Model.run` checks its arguments into a configuration
(``tavlen.configuration``), splits the population into blocks, runs them
where it is asked to (``tavlen.execution``, each block simulated by
``tavlen.simulation``), and adds the blocks' partial results in block order
(``tavlen.gathering``), so that a run gives the same numbers bit for bit
however its blocks are spread over workers.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import logging
import math
import os
import random
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from . import checkpoint as _checkpoint
from . import progress as _progress
from .configuration import CombinedSnapshots as _CombinedSnapshots
from .configuration import Setup, nonnegative_int, positive_int, setup
from .errors import ModelError, optional_import
from .execution import default_blocks_per_task, run_blocks
from .gathering import InBlockOrder, Totals
from .individual import Individual
from .modelcode import inventory
from .pools import process_pool
from .montecarlo import DEFAULT_SUBSAMPLES, subsample_count, subsample_people
from .process import Block, Process, _Life, block_seed, handles
from .results import Results

__all__ = ["Block", "Model", "ModelError", "Process", "block_seed", "handles", "process_pool"]

#: The most events one life may take before the run stops it as a life that
#: never ends: far more than any model needs (an event every hour of a
#: hundred years is under a million). Read when a run starts.
MAX_EVENTS_PER_LIFE = 10_000_000

#: How often in a row the pool of a run's own worker processes may be lost
#: (a worker killed, out of memory, or crashed) with no task finishing in
#: between before the run gives up: a block that kills its worker every time
#: must not start pools forever. Read when a run starts.
MAX_LOST_POOLS = 3

_log = logging.getLogger("tavlen")

# Kept where pickles, the benchmark and users' code have found them.
_reexported = (_CombinedSnapshots, _Life, optional_import)


class Model:
    """A model: its processes, in the order their ``start`` methods run.

    ``individual_type`` is the class of the object handed to the processes;
    a subclass of :class:`~tavlen.individual.Individual` may take its place.
    """

    individual_type: type = Individual

    def __init__(self, processes: Iterable[Process]) -> None:
        self.processes: tuple[Process, ...] = tuple(processes)
        if not self.processes:
            raise ModelError("a model needs at least one process")
        owners: dict[str, Process] = {}
        for process in self.processes:
            if not isinstance(process, Process):
                raise TypeError(f"a model is made of Process objects, got {type(process).__name__}")
            for message in process.messages:
                if message in owners:
                    raise ModelError(
                        f"the message {message!r} is handled by two processes: "
                        f"{owners[message].name} and {process.name}"
                    )
                owners[message] = process

    def __repr__(self) -> str:
        return f"Model([{', '.join(process.name for process in self.processes)}])"

    def run(
        self,
        birth_years: npt.ArrayLike,
        *,
        strata: npt.ArrayLike | None = None,
        properties: Mapping[str, npt.ArrayLike] | None = None,
        universes: Sequence[str] = ("universe",),
        stratum_labels: Sequence[str] | None = None,
        event_tags: Sequence[str] = (),
        event_ages: npt.ArrayLike = (0.0,),
        event_years: npt.ArrayLike = (-math.inf,),
        duration_tags: Sequence[str] = (),
        duration_ages: npt.ArrayLike = (0.0,),
        duration_years: npt.ArrayLike = (-math.inf,),
        event_individual_tags: Sequence[str] = (),
        log_events_individual: bool = False,
        individual_block_size: int = 4096,
        snapshot_tags: Sequence[str] = (),
        snapshot_ages: npt.ArrayLike = (),
        snapshot_years: npt.ArrayLike = (),
        snapshot_functions: Sequence[Callable[[Individual], Any]] = (),
        random_number_generators: Sequence[str] = (),
        n_stratum_hops: int | None = None,
        preserve_stratum: str | None = None,
        verify_tags: bool = True,
        seed: int | None = None,
        common_random_numbers: bool = True,
        block_size: int = 1000,
        executor: concurrent.futures.Executor | None = None,
        workers: int | None = None,
        blocks_per_task: int | None = None,
        progress: bool = False,
        checkpoint: str | os.PathLike[str] | None = None,
        subsamples: int = DEFAULT_SUBSAMPLES,
        discount_rates: float | Sequence[float] = (),
        base_year: float | None = None,
    ) -> Results:
        """Simulates every person of the population once in each universe.

        ``universes`` names the scenarios (strategies) that every person
        lives through, in order; processes read the current one as
        ``self.universe``. ``event_tags``, ``duration_tags`` and
        ``random_number_generators`` name the events counted, the durations
        summed and the generators of ``individual.random``. Events are
        counted by the age groups of ``event_ages`` and the calendar-year
        groups of ``event_years``, durations by ``duration_ages`` and
        ``duration_years`` (a duration that spans groups is split between
        them).

        The population is ``birth_years`` (calendar years, one per person),
        the initial ``strata`` (ints from 0; all 0 by default) and further
        per-person ``properties`` (read with ``individual.properties(name)``),
        all array-like and of one length.

        Age and year grids are ascending bin edges: a bin runs from one edge
        to the next, the last one has no upper end, and the first one also
        takes whatever lies below the first edge. ``event_ages=(0, 50, 70)``
        gives the age groups 0-50, 50-70 and 70+.

        The tags, the random number generators and the snapshot functions
        given here are added to those that the processes declare. With
        ``n_stratum_hops``, the strata are 0 to ``n_stratum_hops`` and the
        processes may move people between them (``individual.hop_stratum``);
        ``preserve_stratum`` ("dynamic" or "final") keeps the strata of a
        person's first universe in the later ones. ``stratum_labels`` names
        the strata in tables and exports, one label per stratum ("0", "1",
        ... by default). ``verify_tags`` (on by default) makes a tag that the
        run does not know an error wherever it is logged; off, such a call
        logs nothing.

        Snapshots count people's states at fixed ages and calendar years:
        at each of the ``snapshot_ages`` (ascending ages) and
        ``snapshot_years`` (ascending calendar years) that a life reaches,
        every function of ``snapshot_functions`` (and those of
        ``Process.snapshot_functions()``) is called with the individual and
        returns a dict of ``snapshot_tags`` to whole numbers, an iterable of
        tags (each counting 1) or nothing; the values are added by universe,
        stratum, tag and age or year (``Results.snapshots_ages``,
        ``Results.snapshots_years``). A function only reads: it must not
        change the person's queue.

        The individual-level log keeps one entry per call of
        ``individual.log_event_individual(tag)`` (the person, universe, age
        and tag; 17 bytes), for the tags of ``event_individual_tags``
        (``Results.individual``). ``log_events_individual`` also writes every
        event counted with ``log_event`` into it. ``individual_block_size``
        is how many entries its columns grow by at a time inside a block
        (4096 by default); it changes no result.

        With ``common_random_numbers`` (the default), every life of a person
        starts each generator of ``individual.random`` (a
        :class:`~tavlen.individual.Philox`) at the same stream, set by
        ``seed``, the person and the generator's name: a person draws the
        same numbers in every universe, so universes differ only where the
        processes make them differ. Draw each source of randomness from its
        own generator, so that a universe's extra draws shift no other
        source's. With ``common_random_numbers=False``, each generator is a
        ``random.Random`` seeded for every block from ``seed``, the block's
        index and the generator's name, and runs on from life to life
        through the block (the streams of tavlen before common random
        numbers, bit for bit).

        Blocks of at most ``block_size`` people are the unit of work: every
        block has its own generators and its own partial result; partial
        results are added in block order. People are dealt into blocks from
        the whole population (:mod:`tavlen.dealing`: one person of every run
        of as many consecutive people as there are blocks), so that every
        block is a sample of the whole population however it is ordered;
        ``Block.people`` holds their indices in the population, which the
        individual-level log and error notes use too. So a run's results depend on ``seed`` and
        ``block_size`` only, not on how the blocks are run: in this process
        (the default), on a ``concurrent.futures.Executor`` given as
        ``executor`` (a process pool, Dask's ``Client.get_executor()``,
        mpi4py's ``MPIPoolExecutor``), or on a pool of ``workers`` local
        processes that the run starts and stops. A task sent to a worker
        holds ``blocks_per_task`` consecutive blocks; it changes nothing in
        the results. By default a task holds a 64th of the blocks (64 to 127
        tasks for 64 blocks or more, one task per block for fewer), but no
        more blocks than keep the aggregates of its results within 4 MiB, so
        that a large run's finished tasks, waiting for their turn, hold
        little memory.
        Without a seed, one is drawn and kept in the results. ``progress``
        shows a progress bar on stderr (needs tqdm).

        ``checkpoint`` names a folder (created if missing) where every
        finished block's partial result is written as it comes in, each file
        complete or not there at all. The same run started again with the
        same folder, after a crash, an interrupt or a killed machine, takes
        the blocks it finds there and simulates only the others, with the
        same results bit for bit; given the folder of a finished run, it only
        reads it. Started without a seed, it takes the seed kept in the
        folder. A folder of a run that differs in its model (the processes,
        the code of the model's own modules and their module-level values),
        population, options, seed, block size or the versions of tavlen,
        NumPy and Python is refused, and a block file that is damaged or not
        this run's is simulated again.

        A worker process that dies in the middle of a run (killed, out of
        memory, a crash) loses the tasks it ran: with ``workers``, the run
        starts a new pool and runs them again, and gives up with a
        :class:`ModelError` once it has lost ``MAX_LOST_POOLS`` pools in a
        row with no task finishing in between. A run cannot replace an
        ``executor`` it was given: it stops with a :class:`ModelError`, and
        with a checkpoint folder the run started again resumes. A Dask
        cluster reruns the tasks of a lost worker by itself.

        An interrupt (``KeyboardInterrupt``) stops the run at once: the
        workers it started are ended in the middle of their blocks, and the
        tasks it gave an ``executor`` are cancelled: on Dask all of them, on
        a process pool those not running yet (the pool stays the caller's: it
        is not shut down, and a task that it runs already finishes there).
        The finished blocks stay in the checkpoint folder. SIGTERM keeps Python's default: the process ends
        at once, and the workers it started end with it. Every run's tasks
        are its own, so that a Dask client never hands a run the results or
        errors of an earlier one.

        ``subsamples`` K (10 by default) deals the blocks into K sub-samples,
        block b into sub-sample b mod K, and keeps each sub-sample's sums of
        the aggregates beside the totals (which stay the same): their
        spread gives every cell its Monte Carlo error
        (:meth:`Results.standard_error`, :meth:`Results.difference`,
        ``Results.table(intervals=True)``). A run of fewer blocks than K
        uses one sub-sample per block, with a
        :class:`~tavlen.montecarlo.SubsampleWarning`; a run of one block
        has no error.

        ``discount_rates`` (annual rates, such as ``(0.015, 0.04)``; up to
        16) and ``base_year`` have the run record, for each rate, every
        event weighed (1 + r) ** -(t - base_year) at its exact calendar
        time t and every duration integrated over its exact interval, with
        nothing before ``base_year``, by universe, stratum, tag and age
        group (``Results.discounted_events``, ``Results.discounted_durations``),
        which :func:`tavlen.evaluate` discounts with, exactly.
        """
        if executor is not None and workers is not None:
            raise ModelError("give either an executor or a number of workers, not both")
        if executor is not None and not callable(getattr(executor, "submit", None)):
            raise TypeError(
                "executor must be a concurrent.futures.Executor, such as a ProcessPoolExecutor or "
                f"a Dask client's get_executor(), got {type(executor).__name__}"
            )
        workers = None if workers is None else positive_int(workers, "workers")
        if checkpoint is not None and not os.fspath(checkpoint):
            raise ModelError("checkpoint names a folder: give its path, or None for a run without one")
        if seed is None and checkpoint is not None:
            seed = _checkpoint.kept_seed(checkpoint)
        if seed is None:
            seed = int(np.random.SeedSequence().entropy)  # type: ignore[arg-type]
        run = setup(
            self, birth_years, strata=strata, properties=properties, universes=universes,
            stratum_labels=stratum_labels, event_tags=event_tags, event_ages=event_ages, event_years=event_years,
            duration_tags=duration_tags, duration_ages=duration_ages, duration_years=duration_years,
            event_individual_tags=event_individual_tags, log_events_individual=log_events_individual,
            individual_block_size=individual_block_size, snapshot_tags=snapshot_tags, snapshot_ages=snapshot_ages,
            snapshot_years=snapshot_years, snapshot_functions=snapshot_functions,
            random_number_generators=random_number_generators, n_stratum_hops=n_stratum_hops,
            preserve_stratum=preserve_stratum, verify_tags=verify_tags, seed=seed,
            common_random_numbers=common_random_numbers, block_size=block_size,
            events_limit=MAX_EVENTS_PER_LIFE, discount_rates=discount_rates, base_year=base_year,
        )
        blocks = run.blocks()
        per_task = positive_int(
            default_blocks_per_task(len(blocks), run.result_shapes()) if blocks_per_task is None else blocks_per_task,
            "blocks_per_task",
        )
        parallel = executor is not None or (workers or 1) > 1
        code = inventory([*self.processes, *run.configuration.snapshot_functions]) if parallel or checkpoint else None
        totals = Totals(run.result_shapes(), subsample_count(positive_int(subsamples, "subsamples"), len(blocks)))
        folder: contextlib.AbstractContextManager[_checkpoint.Folder | None] = contextlib.nullcontext()
        if checkpoint is not None:
            assert code is not None
            folder = _checkpoint.opened(
                checkpoint, _checkpoint.identity(run.configuration, run.population, run.strata, run.block_size, code)
            )
        with folder as kept, _global_generators_kept():
            collected = InBlockOrder(totals, kept, run.result_shapes())
            remaining = [block for block in blocks if not collected.add_kept(block)]
            restored = len(blocks) - len(remaining)
            if kept is not None:
                _log.info("resumed: %d of %d blocks from %s", restored, len(blocks), kept.path)
            with _progress.progress_bar(progress, run.people_n, run.people_n - sum(e - f for _, f, e in remaining)) as advance:
                run_blocks(
                    run.configuration, run.population, remaining, collected, advance,
                    executor=executor, workers=workers, blocks_per_task=per_task, max_lost_pools=MAX_LOST_POOLS,
                    own_modules=code.modules if code is not None else (),
                    imported_modules=code.imported if code is not None else (),
                )
            if collected.next_index != len(blocks):
                # Never results with a block missing, whatever became of it.
                raise RuntimeError(f"the run lost blocks from {collected.next_index} on; its results would be incomplete")
        return results_of(run, totals, restored if kept is not None else None)


def results_of(run: Setup, totals: Totals, resumed_blocks: int | None = None) -> Results:
    """The labelled results of a run whose blocks are all in ``totals``
    (``resumed_blocks`` of them read from a checkpoint folder)."""
    c = run.configuration
    sizes = [end - first for _, first, end in run.blocks()]
    results = Results(
        events=totals.events,
        durations=totals.durations,
        snapshots_ages=totals.snapshots_ages,
        snapshots_years=totals.snapshots_years,
        discounted_events=totals.discounted_events,
        discounted_durations=totals.discounted_durations,
        discount_rates=np.array(c.discount_rates, dtype=np.float64),
        base_year=c.base_year,
        individual=totals.individual_log(),
        universes=c.universes,
        strata=run.strata,
        event_tags=c.event_tags,
        duration_tags=c.duration_tags,
        event_individual_tags=c.event_individual_tags,
        snapshot_tags=c.snapshot_tags,
        **run.edges,
        snapshot_ages=np.array(c.snapshot_ages, dtype=np.float64),
        snapshot_years=np.array(c.snapshot_years, dtype=np.float64),
        metadata={"seed": c.seed, "block_size": run.block_size, "population": run.people_n,
                  "common_random_numbers": c.common_random_numbers},
        subsample_sums=totals.subsample_sums,
        subsample_people=subsample_people(sizes, totals.subsamples),
    )
    if resumed_blocks is not None:
        results.metadata["resumed_blocks"] = resumed_blocks
    return results


@contextlib.contextmanager
def _global_generators_kept() -> Iterator[None]:
    """Puts the caller's global generators of random and numpy.random back as
    they were when a run ends: the blocks that the run simulates in this
    process seed them (NumPy's by giving it a bit generator of their own)."""
    python_state, numpy_bit_generator = random.getstate(), np.random.get_bit_generator()
    try:
        yield
    finally:
        random.setstate(python_state)
        np.random.set_bit_generator(numpy_bit_generator)

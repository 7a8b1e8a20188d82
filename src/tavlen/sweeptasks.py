"""A sweep's stream of tasks: the blocks of many models, model after model,
on one executor, each model's partial results gathered in block order (and
kept in its checkpoint sub-folder) as they arrive."""

from __future__ import annotations

import collections
import concurrent.futures
import concurrent.futures.process
import contextlib
import dataclasses
import hashlib
import os
import pickle
import re
import uuid
from collections.abc import Callable, Iterator
from typing import Any

from . import checkpoint as _checkpoint
from . import model as _model
from . import simulation
from .configuration import Setup, positive_int, slice_population
from .errors import ModelError
# The run's own ways with executors and pools, shared so that a sweep's
# models travel, are named and are stopped as a run's blocks are.
from . import execution
from .execution import simulate_task
from .gathering import BlockSpan, InBlockOrder, Totals
from .pools import FirstWorker, forked_helper, own_pool
from .results import Results

__all__ = ["CancelledTasks", "Job", "LostPool", "Stream", "folder_name"]


@dataclasses.dataclass
class Job:
    """One model of the sweep: its checked run and, as it goes, its gathering."""

    label: str
    run: Setup
    subsamples: int
    #: The configuration pickled: unpickled afresh for every block.
    payload: bytes
    #: The model's code (its inventory), for a parallel or checkpointed sweep.
    code: Any
    #: The name of the model's tasks: an executor that names tasks after
    #: their arguments (Dask) holds each model's under names of its own.
    key: str = dataclasses.field(default_factory=lambda: uuid.uuid4().hex)
    collected: InBlockOrder | None = None
    restored: int = 0
    results: Results | None = None


class LostPool(Exception):
    """A process pool broke; the tasks it had not finished are back in the stream."""


class CancelledTasks(Exception):
    """The executor cancelled tasks that the sweep had not cancelled: a Dask
    client does so with all of them when it loses its scheduler."""


class Stream:
    """The tasks of all models in order. A model starts (its checkpoint
    folder opened, its kept blocks loaded) when the stream reaches it and
    ends (its folder closed, its results made) when its last block is in,
    so only the models with tasks in flight hold open folders."""

    def __init__(self, jobs: list[Job], folder: str | None, advance: Callable[[int], None],
                 open_folders: contextlib.ExitStack, blocks_per_task: int | None) -> None:
        self.jobs = jobs
        self.folder = folder
        self.advance = advance
        self.open_folders = open_folders
        # Tasks group blocks, never models, sized as a run's tasks are over
        # the sweep's blocks.
        self.blocks_per_task = None if blocks_per_task is None else positive_int(blocks_per_task, "blocks_per_task")
        self.blocks_n = sum(len(job.run.blocks()) for job in jobs)
        self.folders: dict[str, contextlib.ExitStack] = {}
        self.returned: collections.deque[tuple[Job, list[BlockSpan]]] = collections.deque()
        self.tasks = self._tasks()

    def _tasks(self) -> Iterator[tuple[Job, list[BlockSpan]]]:
        for job in self.jobs:
            remaining = self._start(job)
            per_task = self.blocks_per_task or max(1, min(
                len(job.run.blocks()), execution.default_blocks_per_task(self.blocks_n, job.run.result_shapes())))
            for start in range(0, len(remaining), per_task):
                yield job, remaining[start : start + per_task]

    def next_task(self) -> tuple[Job, list[BlockSpan]] | None:
        if self.returned:
            return self.returned.popleft()
        return next(self.tasks, None)

    def _start(self, job: Job) -> list[BlockSpan]:
        run = job.run
        kept = None
        if self.folder is not None:
            stack = self.open_folders.enter_context(contextlib.ExitStack())
            identity = _checkpoint.identity(run.configuration, run.population, run.strata, run.block_size, job.code)
            kept = stack.enter_context(_checkpoint.opened(os.path.join(self.folder, folder_name(job.label)), identity))
            self.folders[job.label] = stack
        job.collected = InBlockOrder(Totals(run.result_shapes(), job.subsamples), kept, run.result_shapes())
        remaining = []
        for block in run.blocks():
            if job.collected.add_kept(block):
                self.advance(block[2] - block[1])
                job.restored += 1
            else:
                remaining.append(block)
        self._end_if_complete(job)
        return remaining

    def take(self, job: Job, task: list[BlockSpan], partials: list[simulation.Partial]) -> None:
        assert job.collected is not None
        for block, partial in zip(task, partials, strict=True):
            job.collected.add(block, partial)
        self.advance(sum(end - first for _, first, end in task))
        self._end_if_complete(job)

    def _end_if_complete(self, job: Job) -> None:
        assert job.collected is not None
        if job.results is None and job.collected.next_index == len(job.run.blocks()):
            resumed = job.restored if job.label in self.folders else None
            job.results = _model.results_of(job.run, job.collected.totals, resumed)
            job.collected = None  # its totals and log now belong to the results
            stack = self.folders.pop(job.label, None)
            if stack is not None:
                stack.close()

    def run_here(self) -> None:
        while (item := self.next_task()) is not None:
            self._simulate_here(*item)

    def _simulate_here(self, job: Job, task: list[BlockSpan]) -> None:
        partials = []
        for index, first, end in task:
            with _naming(job):
                block = slice_population(job.run.population, first, end)
                partials.append(simulation.simulate_block(pickle.loads(job.payload), index, first, block))
        self.take(job, task, partials)

    def _simulate_in(self, helper: concurrent.futures.Executor, job: Job, task: list[BlockSpan]) -> bool:
        """Simulates a task in the helper forked from this process; False,
        the task not done, when the helper is lost (a block killed it)."""
        blocks = [(index, first, slice_population(job.run.population, first, end)) for index, first, end in task]
        try:
            with _naming(job):
                partials = helper.submit(simulate_task, job.key, job.payload, blocks).result()
        except concurrent.futures.process.BrokenProcessPool:
            return False
        self.take(job, task, partials)
        return True

    def run_on(self, executor: concurrent.futures.Executor, limit: int,
               helper: concurrent.futures.Executor | None = None) -> None:
        """Keeps up to ``limit`` tasks in flight until the stream runs dry.
        With a ``helper`` (a process forked from this one), the helper
        simulates the next tasks until the first task comes back, as a
        run's own pool does while its workers start."""
        in_flight: dict[concurrent.futures.Future[Any], tuple[Job, list[BlockSpan]]] = {}
        try:
            while True:
                while len(in_flight) < limit and (item := self.next_task()) is not None:
                    job, task = item
                    blocks = [(index, first, slice_population(job.run.population, first, end)) for index, first, end in task]
                    in_flight[executor.submit(simulate_task, job.key, job.payload, blocks)] = item
                if not in_flight:
                    return
                if helper is not None and any(future.done() for future in in_flight):
                    helper = None
                if helper is not None and (item := self.next_task()) is not None:
                    if not self._simulate_in(helper, *item):
                        helper = None
                        self.returned.appendleft(item)
                    continue
                done, _ = concurrent.futures.wait(in_flight, return_when=concurrent.futures.FIRST_COMPLETED)
                for future in done:
                    job, task = in_flight[future]
                    with _naming(job):
                        partials = future.result()
                    del in_flight[future]
                    self.take(job, task, partials)
        except concurrent.futures.process.BrokenProcessPool as error:
            concurrent.futures.wait(in_flight, timeout=60)
            for future, (job, task) in list(in_flight.items()):
                if future.done() and not future.cancelled() and future.exception() is None:
                    self.take(job, task, future.result())
                    del in_flight[future]
            self.returned.extendleft(reversed(list(in_flight.values())))
            raise LostPool() from error
        except concurrent.futures.CancelledError as error:
            raise CancelledTasks() from error
        finally:
            for future in in_flight:
                future.cancel()

    def run_on_own_pools(self, workers: int, max_lost_pools: int) -> None:
        lost_in_a_row = 0

        def progressed_since(before: tuple[int, int]) -> bool:
            return (sum(job.results is not None for job in self.jobs), self._received()) != before

        while True:
            finished = sum(job.results is not None for job in self.jobs), self._received()
            try:
                with (forked_helper() if execution.HELP_WHILE_POOL_STARTS else contextlib.nullcontext()) as helper, \
                        own_pool(workers, LostPool) as (pool, first_worker):
                    helper = self._run_here_until_started(first_worker, helper)
                    self.run_on(pool, execution.tasks_in_flight(pool), helper=helper)
                return
            except LostPool as lost:
                lost_in_a_row = 1 if progressed_since(finished) else lost_in_a_row + 1
                if lost_in_a_row >= max_lost_pools:
                    raise ModelError(
                        f"worker processes died {lost_in_a_row} times in a row with no task finishing in between "
                        "(killed, out of memory or crashed): the sweep gave up"
                    ) from lost.__cause__

    def _run_here_until_started(self, first_worker: FirstWorker,
                                helper: concurrent.futures.Executor | None) -> concurrent.futures.Executor | None:
        """Waits for the pool's first worker to start, the ``helper``
        simulating blocks meanwhile, one at a time, as a run's own pool
        does; returns the helper, or None once it is lost."""
        while helper is not None and not first_worker.started() and (item := self.next_task()) is not None:
            job, task = item
            if not self._simulate_in(helper, job, task[:1]):
                self.returned.appendleft(item)
                helper = None
            elif len(task) > 1:
                self.returned.appendleft((job, task[1:]))
        try:
            first_worker.wait()
        except concurrent.futures.process.BrokenProcessPool as error:
            raise LostPool() from error
        return helper

    def _received(self) -> int:
        return sum(job.collected.received for job in self.jobs if job.collected is not None)


@contextlib.contextmanager
def _naming(job: Job) -> Iterator[None]:
    """Adds the model's label to an error of one of its blocks."""
    try:
        yield
    except (concurrent.futures.process.BrokenProcessPool, concurrent.futures.CancelledError):
        raise  # the executor's doing, not the model's
    except Exception as error:
        error.add_note(f"in the sweep's model {job.label!r}")
        raise


def folder_name(label: str) -> str:
    """A model's checkpoint sub-folder: its label where that is a safe file
    name, else the label made safe and told apart by a digest of it."""
    safe = re.sub(r"[^A-Za-z0-9_.=+-]+", "_", label).strip(".")[:80]
    if safe == label and safe:
        return safe
    return f"{safe}-{hashlib.blake2b(label.encode('utf-8'), digest_size=6).hexdigest()}"

"""Where blocks run: in the calling process, on an executor the caller gives
(a process pool, Dask, mpi4py), or on pools of local processes that the run
starts itself and starts again when a worker is lost."""

from __future__ import annotations

import collections
import concurrent.futures
import concurrent.futures.process
import contextlib
import math
import os
import pickle
import sys
import threading
import uuid
from collections.abc import Callable, Iterator, Mapping, Sequence
from types import ModuleType
from typing import Any

import numpy as np

from .configuration import Configuration, positive_int, slice_population
from .errors import ModelError
from .gathering import BlockSpan, InBlockOrder
from . import simulation
from .pools import FirstWorker, forked_helper, own_pool, process_pool, refuse_unguarded_main
from .simulation import Partial, simulate_pickled_blocks

__all__ = ["default_blocks_per_task", "process_pool", "run_blocks", "tasks_in_flight"]


#: Whether a run simulates blocks in a process forked from this one while
#: the workers of its own pool start (see _simulate_here_while_workers_start).
#: Read when a run starts.
HELP_WHILE_POOL_STARTS = True

#: A worker's task: consecutive blocks.
_Task = list[BlockSpan]

#: The most bytes of aggregates that a task's partial results hold by
#: default (a task holds one block at least). A finished task's results wait
#: in the main process until the blocks before them are in, so a large run
#: gets many small tasks, and its memory does not grow with its population.
TASK_AGGREGATE_BYTES = 4 << 20


#: The most tasks a run or a sweep keeps submitted to an executor whose
#: number of workers it cannot tell; with a known number, four per worker.
#: The rest wait as block spans, so that a large population's tasks do not
#: all hold their slices of it at once.
MAX_TASKS_IN_FLIGHT = 64


def tasks_in_flight(executor: concurrent.futures.Executor) -> int:
    workers = getattr(executor, "_max_workers", None)  # a process pool's
    return 4 * workers if isinstance(workers, int) and workers > 0 else MAX_TASKS_IN_FLIGHT


def default_blocks_per_task(blocks_n: int, shapes: Mapping[str, tuple[int, ...]]) -> int:
    """Blocks per task by default: a 64th of the blocks (64 tasks or more
    keep any pool busy to the end), at least one, and no more than keep a
    task's aggregates within TASK_AGGREGATE_BYTES. Tasks only spare the
    executor's overhead per block: they never change a result."""
    return max(1, min(blocks_n // 64, TASK_AGGREGATE_BYTES // max(_block_bytes(shapes), 1)))


def _block_bytes(shapes: Mapping[str, tuple[int, ...]]) -> int:
    return 8 * sum(math.prod(shape) for shape in shapes.values())


def run_blocks(
    configuration: Configuration,
    population: Mapping[str, np.ndarray],
    blocks: Sequence[BlockSpan],
    collected: InBlockOrder,
    advance: Callable[[int], None],
    **where: Any,
) -> None:
    """Simulates the blocks where the run was asked to, and hands each
    block's partial result to ``collected`` as it comes in. An interrupt
    stops the run at once and says what became of its finished blocks.

    Every block is simulated with fresh copies of the processes, unpickled
    from the configuration as it stood when the run started. Workers get
    the model's ``own_modules`` by value: the classes, functions and
    module-level values as the caller holds them, not as a worker's fresh
    import of those modules would have them, and find the ``imported_modules``
    (those the model's code imports as it runs) as the caller holds them too."""
    try:
        with _resume_note_on_interrupt(collected):
            _run_blocks(configuration, population, blocks, collected, advance, **where)
    finally:
        # The grids this process kept for a next block are the run's size.
        simulation.release_kept()


def _run_blocks(
    configuration: Configuration,
    population: Mapping[str, np.ndarray],
    blocks: Sequence[BlockSpan],
    collected: InBlockOrder,
    advance: Callable[[int], None],
    *,
    executor: concurrent.futures.Executor | None,
    workers: int | None,
    blocks_per_task: int,
    max_lost_pools: int,
    own_modules: Sequence[ModuleType],
    imported_modules: Sequence[ModuleType] = (),
) -> None:
    if not blocks:
        return
    if executor is None and (workers is None or workers == 1):
        # The processes' classes are this process's own: pickled by reference.
        payload = pickled(configuration, by_value=())
        for index, first, end in blocks:
            partial = simulation.simulate_block(pickle.loads(payload), index, first, slice_population(population, first, end))
            collected.add((index, first, end), partial)
            advance(end - first)
        return
    tasks = [list(blocks[start : start + blocks_per_task]) for start in range(0, len(blocks), blocks_per_task)]
    payload = pickled(configuration, by_value=own_modules, installed=imported_modules)
    if executor is None:
        assert workers is not None
        # A process forked from this one helps while the workers start, with the classes this one has.
        here = pickled(configuration, by_value=()) if HELP_WHILE_POOL_STARTS else None
        _run_on_own_pools(workers, payload, here, population, tasks, collected, advance, max_lost_pools)
        return
    try:
        _run_on(executor, payload, population, tasks, collected, advance)
    except _CancelledTasks as cancelled:
        raise ModelError(_cancelled_message(cancelled.unfinished, collected)) from cancelled.__cause__
    except (ConnectionError, EOFError) as error:
        refuse_unguarded_main(error, executor)
        raise
    except _LostPool as lost:
        refuse_unguarded_main(lost.__cause__, executor)
        kept_where = (
            f"the blocks that finished are kept in the checkpoint folder {collected.folder.path!r}: "
            "run again with a working executor to resume"
            if collected.folder is not None
            else "give workers=N instead of an executor to let the run start its pool again, "
            "or a checkpoint folder to keep the blocks that finish"
        )
        raise ModelError(
            "a worker process of the executor died (killed, out of memory or crashed), leaving blocks "
            f"{_block_list(lost.unfinished)} unfinished, and a run cannot replace an executor it was "
            f"given; {kept_where}"
        ) from lost.__cause__


@contextlib.contextmanager
def _resume_note_on_interrupt(collected: InBlockOrder) -> Iterator[None]:
    try:
        yield
    except (KeyboardInterrupt, SystemExit) as interrupt:
        interrupt.add_note(
            f"the finished blocks are kept in the checkpoint folder {collected.folder.path!r}, and the same run "
            "started again with this folder resumes it"
            if collected.folder is not None
            else "the run kept none of its finished blocks: a run given a checkpoint folder keeps them and resumes "
            "from them when started again"
        )
        raise


def pickled(configuration: Configuration, by_value: Sequence[ModuleType], installed: Sequence[ModuleType] = ()) -> bytes:
    """The configuration pickled, the modules ``by_value`` with their code and
    current values; a model whose classes plain pickle cannot name (defined
    in a function, say) goes by value too. The modules ``installed`` travel
    whole and take the place of the worker's own (see :func:`_arrived`)."""
    try:
        if not by_value:
            try:
                return pickle.dumps(configuration, protocol=pickle.HIGHEST_PROTOCOL)
            except (pickle.PicklingError, AttributeError, TypeError):
                pass
        import cloudpickle  # a dependency; imported here, where it is needed
        registered = []
        try:
            for module in by_value:
                if module.__name__ != "__main__":  # always by value
                    cloudpickle.register_pickle_by_value(module)
                    registered.append(module)
            travelling = {module.__name__: module for module in installed if module.__name__ != "__main__"}
            return cloudpickle.dumps(_Arrival(travelling, configuration) if travelling else configuration,
                                     protocol=pickle.HIGHEST_PROTOCOL)
        finally:
            for module in registered:
                cloudpickle.unregister_pickle_by_value(module)
    except Exception as error:
        raise ModelError(
            "a run simulates every block with fresh copies of the model's processes, and a parallel run sends "
            f"them and the run's configuration to its workers, so they must pickle: {error}"
        ) from error


class _Arrival:
    """A configuration with the modules that its code imports as it runs:
    unpickled, it is the configuration, and the modules are in place."""

    def __init__(self, modules: dict[str, ModuleType], configuration: Configuration) -> None:
        self.modules = modules
        self.configuration = configuration

    def __reduce__(self) -> tuple[Any, ...]:
        return _arrived, (self.modules, self.configuration, os.getpid())


def _arrived(modules: dict[str, ModuleType], configuration: Configuration, caller: int) -> Configuration:
    """Puts the caller's copies of the modules where an ``import`` inside the
    model's code finds them (the worker's own import would have the values
    of the files, not those the caller set), and returns the configuration.
    In the caller itself (an executor of threads) its own modules stay."""
    if os.getpid() == caller:
        return configuration
    for name, module in modules.items():
        if sys.modules.get(name) is not module:
            sys.modules[name] = module
            parent, _, child = name.rpartition(".")
            if parent in sys.modules:
                setattr(sys.modules[parent], child, module)
    return configuration


class _LostPool(Exception):
    """A process pool broke (a worker died); the tasks it had not finished."""

    def __init__(self, unfinished: list[_Task]) -> None:
        super().__init__(unfinished)
        self.unfinished = unfinished


class _CancelledTasks(_LostPool):
    """The executor cancelled tasks that the run had not cancelled: a Dask
    client does so with all of them when it loses its scheduler."""


def _cancelled_message(unfinished: Sequence[_Task], collected: InBlockOrder) -> str:
    kept = (
        f"the blocks that finished are kept in the checkpoint folder {collected.folder.path!r}: run again, "
        "with the cluster back, to resume"
        if collected.folder is not None
        else "give the run a checkpoint folder to keep the blocks that finish"
    )
    return (
        f"the executor cancelled the run's tasks, leaving blocks {_block_list(unfinished)} unfinished "
        f"(a Dask cluster does so when its scheduler goes away or the client loses it); {kept}"
    )


def _run_on(
    executor: concurrent.futures.Executor,
    payload: bytes,
    population: Mapping[str, np.ndarray],
    tasks: Sequence[_Task],
    collected: InBlockOrder,
    advance: Callable[[int], None],
    helper: _Helper | None = None,
) -> None:
    """Runs the tasks on the executor, a window of them submitted at a time,
    and hands their partial results over as they come in. A broken process
    pool raises _LostPool with the tasks that did not finish, after handing
    over those that did. With a ``helper``, it simulates tasks until the
    executor's first task comes back."""
    run = uuid.uuid4().hex
    queued = collections.deque(tasks)
    futures: dict[concurrent.futures.Future[list[Partial]], _Task] = {}
    window = tasks_in_flight(executor)

    def submit_more() -> None:
        while queued and len(futures) < window:
            task = queued.popleft()
            blocks = [(index, first, slice_population(population, first, end)) for index, first, end in task]
            futures[executor.submit(simulate_task, run, payload, blocks)] = task

    def take(future: concurrent.futures.Future[list[Partial]]) -> None:
        # A future keeps its result: dropping it with the result taken
        # frees each block's log once it is gathered.
        partials = future.result()  # raises first: a failed task stays in futures
        task = futures.pop(future)
        for block, partial in zip(task, partials, strict=True):
            collected.add(block, partial)
        advance(sum(end - first for _, first, end in task))

    try:
        submit_more()
        if helper is not None:
            _simulate_here_while_workers_start(futures, queued, helper)
        while futures or queued:
            submit_more()
            done, _ = concurrent.futures.wait(futures, return_when=concurrent.futures.FIRST_COMPLETED)
            for future in sorted(done, key=lambda future: futures[future][0][0]):
                take(future)
    except concurrent.futures.process.BrokenProcessPool as error:
        # The broken pool fails every future it had not finished; keep the
        # results of those that finished before they were taken.
        concurrent.futures.wait(futures, timeout=60)
        for future in list(futures):
            if future.done() and not future.cancelled() and future.exception() is None:
                take(future)
        for future in futures:
            future.cancel()
        raise _LostPool([*futures.values(), *queued]) from error
    except concurrent.futures.CancelledError as error:
        # Not this run's doing: the executor gave up on its tasks.
        for future in futures:
            future.cancel()
        raise _CancelledTasks([*futures.values(), *queued]) from error
    except BaseException:
        for future in futures:
            future.cancel()
        raise


def simulate_task(run: str, payload: bytes, blocks: list[tuple[int, int, dict[str, np.ndarray]]]) -> list[Partial]:
    """A worker's task of the run named ``run``: an executor that names its
    tasks after their arguments (Dask does) holds this run's tasks under
    names of their own, and never hands it an earlier run's results or errors."""
    return simulate_pickled_blocks(payload, blocks)


def _run_on_own_pools(
    workers: int,
    payload: bytes,
    here: bytes | None,
    population: Mapping[str, np.ndarray],
    tasks: list[_Task],
    collected: InBlockOrder,
    advance: Callable[[int], None],
    max_lost_pools: int,
) -> None:
    """Runs the tasks on a pool of local processes, and the tasks of a pool
    that broke on a new one."""
    lost_in_a_row = 0
    while tasks:
        received = collected.received
        try:
            with _helper(here, population, collected, advance) as helper, \
                    own_pool(workers, _LostPool) as (pool, first_worker):
                tasks = _simulate_here_until_started(first_worker, helper, tasks)
                _run_on(pool, payload, population, tasks, collected, advance, helper=helper)
            return
        except _LostPool as lost:
            tasks = lost.unfinished
            lost_in_a_row = 1 if collected.received > received else lost_in_a_row + 1
            if lost_in_a_row >= max_lost_pools:
                kept = "" if collected.folder is None else (
                    f"; the blocks that finished are kept in the checkpoint folder {collected.folder.path!r}"
                )
                raise ModelError(
                    f"worker processes died {lost_in_a_row} times in a row with no task finishing in between "
                    f"(killed, out of memory or crashed), and blocks {_block_list(tasks)} did not finish: "
                    f"the run gave up{kept}"
                ) from lost.__cause__


class _Helper:
    """Simulates tasks, one at a time, in a process forked from this one
    (pools.forked_helper), as long as it lives: a block that kills it goes
    to the pool like any task, and the caller lives on to report it."""

    def __init__(self, pool: concurrent.futures.Executor, payload: bytes, population: Mapping[str, np.ndarray],
                 collected: InBlockOrder, advance: Callable[[int], None]) -> None:
        self.pool: concurrent.futures.Executor | None = pool
        self.payload = payload
        self.population = population
        self.collected = collected
        self.advance = advance

    def simulate(self, task: _Task) -> bool:
        """Whether the task is done; False, and the task not begun, once the helper is lost."""
        if self.pool is None:
            return False
        blocks = [(index, first, slice_population(self.population, first, end)) for index, first, end in task]
        try:
            partials = self.pool.submit(simulate_task, "help", self.payload, blocks).result()
        except concurrent.futures.process.BrokenProcessPool:
            self.pool = None
            return False
        for block, partial in zip(task, partials, strict=True):
            self.collected.add(block, partial)
        self.advance(sum(end - first for _, first, end in task))
        return True


@contextlib.contextmanager
def _helper(here: bytes | None, population: Mapping[str, np.ndarray], collected: InBlockOrder,
            advance: Callable[[int], None]) -> Iterator[_Helper | None]:
    if here is None:
        yield None
        return
    with forked_helper() as pool:
        yield None if pool is None else _Helper(pool, here, population, collected, advance)


def _simulate_here_until_started(first_worker: FirstWorker, helper: _Helper | None, tasks: list[_Task]) -> list[_Task]:
    """With a helper, simulates blocks from the front of the queue there,
    one at a time, until the pool's first worker has started (on Linux a
    fork server starts and imports NumPy and tavlen first). Returns the
    tasks left, once the worker has started: a task begun by the helper
    goes to the pool without the blocks done there.

    A block's numbers do not depend on where it runs, and blocks are added
    in block order, so the results stay the same bit for bit."""
    left = collections.deque(tasks)
    while helper is not None and left and not first_worker.started():
        task = left.popleft()
        if not helper.simulate(task[:1]):
            left.appendleft(task)
            break
        if len(task) > 1:
            left.appendleft(task[1:])
    try:
        first_worker.wait()
    except concurrent.futures.process.BrokenProcessPool as error:
        raise _LostPool(list(left)) from error
    return list(left)


def _simulate_here_while_workers_start(
    futures: dict[concurrent.futures.Future[list[Partial]], _Task],
    queued: collections.deque[_Task],
    helper: _Helper,
) -> None:
    """Has the helper simulate the tasks at the front of the queue that no
    worker has taken yet, until the first task comes back from a worker.

    The pool's other workers start as its first runs: the helper, forked
    at once, spends that time on blocks too. It stops at the first answer,
    so that it does not compete with the workers for the cores."""
    answered = threading.Event()
    for future in futures:
        future.add_done_callback(lambda done: done.cancelled() or answered.set())
    for future, task in list(futures.items()):
        if answered.is_set():
            break
        if not future.cancel():
            continue  # a worker has it already
        del futures[future]
        if not helper.simulate(task):
            queued.appendleft(task)  # submitted again, to the pool
            return


def _block_list(tasks: Sequence[_Task], shown: int = 10) -> str:
    indices = sorted(index for task in tasks for index, _, _ in task)
    text = ", ".join(str(index) for index in indices[:shown])
    return text if len(indices) <= shown else f"{text} and {len(indices) - shown} more"

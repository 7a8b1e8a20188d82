"""Where blocks run: in the calling process, on an executor the caller gives
(a process pool, Dask, mpi4py), or on pools of local processes that the run
starts itself and starts again when a worker is lost."""

from __future__ import annotations

import ast
import concurrent.futures
import concurrent.futures.process
import contextlib
import multiprocessing
import multiprocessing.connection
import multiprocessing.forkserver
import os
import pathlib
import pickle
import sys
import threading
import time
import uuid
from collections.abc import Callable, Iterator, Mapping, Sequence
from types import ModuleType
from typing import Any

import numpy as np

from .configuration import Configuration, positive_int, slice_population
from .errors import ModelError
from .gathering import BlockSpan, InBlockOrder
from . import simulation
from .simulation import Partial, simulate_pickled_blocks

__all__ = ["process_pool", "run_blocks"]

#: What a worker imports before it takes its first task.
_WORKER_PRELOAD = ("tavlen.model",)

#: Whether a run simulates blocks in this process while the workers of its
#: own pool start (see _simulate_here_while_workers_start). Read when a run
#: starts.
HELP_WHILE_POOL_STARTS = True

#: A worker's task: consecutive blocks.
_Task = list[BlockSpan]


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
    import of those modules would have them."""
    with _resume_note_on_interrupt(collected):
        _run_blocks(configuration, population, blocks, collected, advance, **where)


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
) -> None:
    if not blocks:
        return
    if executor is None and (workers is None or workers == 1):
        # The processes' classes are this process's own: pickled by reference.
        payload = _pickled(configuration, by_value=())
        for index, first, end in blocks:
            partial = simulation.simulate_block(pickle.loads(payload), index, first, slice_population(population, first, end))
            collected.add((index, first, end), partial)
            advance(end - first)
        return
    tasks = [list(blocks[start : start + blocks_per_task]) for start in range(0, len(blocks), blocks_per_task)]
    payload = _pickled(configuration, by_value=own_modules)
    if executor is None:
        assert workers is not None
        # This process helps while the workers start, with the classes it has.
        here = _pickled(configuration, by_value=()) if HELP_WHILE_POOL_STARTS else None
        _run_on_own_pools(workers, payload, here, population, tasks, collected, advance, max_lost_pools)
        return
    try:
        _run_on(executor, payload, population, tasks, collected, advance)
    except _CancelledTasks as cancelled:
        raise ModelError(_cancelled_message(cancelled.unfinished, collected)) from cancelled.__cause__
    except (ConnectionError, EOFError) as error:
        _refuse_unguarded_main(error, executor)
        raise
    except _LostPool as lost:
        _refuse_unguarded_main(lost.__cause__, executor)
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


def process_pool(workers: int) -> concurrent.futures.ProcessPoolExecutor:
    """A pool of ``workers`` local processes for runs, as ``Model.run(workers=...)`` uses.

    Where processes start from a fork server (the default on Linux), the
    server imports NumPy and tavlen once, so that every worker is forked
    with them loaded instead of importing them itself: on two cores a
    worker's imports cost as much as a few thousand lives. A fork server
    that runs already (started by an earlier pool of the program) keeps
    what it loaded, and the workers then import on their first task.
    The workers end when the process that started the pool dies, even
    killed in the middle of a task.
    """
    workers = positive_int(workers, "workers")
    context = None
    if multiprocessing.get_start_method() == "forkserver":
        context = multiprocessing.get_context("forkserver")
        # Added to what the program asked the server to preload, never instead of it.
        preload = list(getattr(multiprocessing.forkserver._forkserver, "_preload_modules", None) or ["__main__"])
        preload += [name for name in _WORKER_PRELOAD if name not in preload]
        context.set_forkserver_preload(preload)
    return concurrent.futures.ProcessPoolExecutor(workers, mp_context=context, initializer=_end_with_the_main_process)


def _end_with_the_main_process() -> None:
    """Ends a worker when the process that started its pool dies: a main
    process killed from outside (SIGKILL) cannot shut its pool down, and its
    workers would otherwise wait for tasks forever."""
    parent = multiprocessing.parent_process()
    if parent is None:
        return

    def watch() -> None:
        multiprocessing.connection.wait([parent.sentinel])
        os._exit(1)

    threading.Thread(target=watch, name="tavlen: end with the main process", daemon=True).start()


def _pickled(configuration: Configuration, by_value: Sequence[ModuleType]) -> bytes:
    """The configuration pickled, the modules ``by_value`` with their code and
    current values; a model whose classes plain pickle cannot name (defined
    in a function, say) goes by value too."""
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
            return cloudpickle.dumps(configuration, protocol=pickle.HIGHEST_PROTOCOL)
        finally:
            for module in registered:
                cloudpickle.unregister_pickle_by_value(module)
    except Exception as error:
        raise ModelError(
            "a run simulates every block with fresh copies of the model's processes, and a parallel run sends "
            f"them and the run's configuration to its workers, so they must pickle: {error}"
        ) from error


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
    here: bytes | None = None,
) -> None:
    """Runs the tasks on the executor and hands their partial results over
    as they come in. A broken process pool raises _LostPool with the tasks
    that did not finish, after handing over those that did. With ``here``
    (the configuration pickled for this process), this process simulates
    tasks itself until the executor's first task comes back."""
    run = uuid.uuid4().hex
    futures = {
        executor.submit(
            _simulate_task,
            run,
            payload,
            [(index, first, slice_population(population, first, end)) for index, first, end in task],
        ): task
        for task in tasks
    }

    def take(future: concurrent.futures.Future[list[Partial]]) -> None:
        # A future keeps its result: dropping it with the result taken
        # frees each block's log once it is gathered.
        partials = future.result()  # raises first: a failed task stays in futures
        task = futures.pop(future)
        for block, partial in zip(task, partials, strict=True):
            collected.add(block, partial)
        advance(sum(end - first for _, first, end in task))

    try:
        if here is not None:
            _simulate_here_while_workers_start(futures, here, population, collected, advance)
        for future in concurrent.futures.as_completed(futures):
            take(future)
    except concurrent.futures.process.BrokenProcessPool as error:
        # The broken pool fails every future it had not finished; keep the
        # results of those that finished before as_completed yielded them.
        concurrent.futures.wait(futures, timeout=60)
        for future in list(futures):
            if future.done() and not future.cancelled() and future.exception() is None:
                take(future)
        for future in futures:
            future.cancel()
        raise _LostPool(list(futures.values())) from error
    except concurrent.futures.CancelledError as error:
        # Not this run's doing: the executor gave up on its tasks.
        for future in futures:
            future.cancel()
        raise _CancelledTasks(list(futures.values())) from error
    except BaseException:
        for future in futures:
            future.cancel()
        raise


def _simulate_task(run: str, payload: bytes, blocks: list[tuple[int, int, dict[str, np.ndarray]]]) -> list[Partial]:
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
            with process_pool(workers) as pool, _ended_at_once_on_failure(pool):
                _run_on(pool, payload, population, tasks, collected, advance, here=here)
            return
        except (ConnectionError, EOFError) as error:
            _refuse_unguarded_main(error, pool)
            raise
        except _LostPool as lost:
            if collected.received == received:
                _refuse_unguarded_main(lost.__cause__, pool)
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


def _simulate_here_while_workers_start(
    futures: dict[concurrent.futures.Future[list[Partial]], _Task],
    here: bytes,
    population: Mapping[str, np.ndarray],
    collected: InBlockOrder,
    advance: Callable[[int], None],
) -> None:
    """Simulates, in this process, the tasks at the front of the queue that no
    worker has taken yet, until the first task comes back from a worker.

    A pool's first workers take a while to start (on Linux a fork server
    starts and imports NumPy and tavlen, then forks them): this process,
    idle otherwise, spends that time on blocks. It stops at the first
    answer, so that it does not compete with the workers for the cores. A
    block's numbers do not depend on where it runs, and blocks are added in
    block order, so the results stay the same bit for bit."""
    answered = threading.Event()
    for future in futures:
        future.add_done_callback(lambda done: done.cancelled() or answered.set())
    for future, task in list(futures.items()):
        if answered.is_set():
            return
        if not future.cancel():
            continue  # a worker has it already
        del futures[future]
        partials = simulate_pickled_blocks(
            here, [(index, first, slice_population(population, first, end)) for index, first, end in task]
        )
        for block, partial in zip(task, partials, strict=True):
            collected.add(block, partial)
        advance(sum(end - first for _, first, end in task))


#: How long terminated workers have to end before they are killed (a stopped
#: worker never acts on a termination).
_TERMINATION_GRACE = 0.3


@contextlib.contextmanager
def _ended_at_once_on_failure(pool: concurrent.futures.ProcessPoolExecutor) -> Iterator[None]:
    """Ends the pool's workers in the middle of their tasks when the run stops
    before its last task (an interrupt, an error, a lost worker): the pool's
    shutdown would wait for the tasks running, each as long as its blocks take."""
    try:
        yield
    except BaseException:
        processes = list((getattr(pool, "_processes", None) or {}).values())
        pool.shutdown(wait=False, cancel_futures=True)
        for process in processes:
            process.terminate()
        deadline = time.monotonic() + _TERMINATION_GRACE
        for process in processes:
            process.join(max(0.0, deadline - time.monotonic()))
        for process in processes:
            if process.exitcode is None:
                process.kill()
                process.join(5.0)
        raise


def _refuse_unguarded_main(error: BaseException | None, executor: concurrent.futures.Executor) -> None:
    """Raises the ModelError that explains a pool whose processes failed to
    start because the program's main script started the run at its top level.

    Worker processes started by spawn or a fork server import the main script
    again, and a run it starts unguarded starts again in them and fails there
    (multiprocessing refuses a new process in one still starting): the pool
    here then sees a lost connection or a broken pool, and its own hint to
    use the main guard is left in the middle of a worker's traceback."""
    context = getattr(executor, "_mp_context", None)  # a process pool's (Dask's workers start alike)
    if context is not None and context.get_start_method() == "fork":
        return  # forked workers do not import the script
    main = sys.modules.get("__main__")
    path = getattr(main, "__file__", None)
    if not path:
        return  # an interactive session or -c: nothing is imported again
    frame = sys._getframe(1)
    while frame is not None and not (frame.f_code.co_name == "<module>" and frame.f_globals is vars(main)):
        frame = frame.f_back
    if frame is None:
        return  # not started by the script's top-level code
    try:
        statements = ast.parse(pathlib.Path(path).read_bytes(), path).body
    except (OSError, SyntaxError, ValueError):
        return
    line = frame.f_lineno or 0
    for statement in statements:
        if statement.lineno <= line <= (statement.end_lineno or statement.lineno):
            if isinstance(statement, ast.If) and any(
                isinstance(name, ast.Name) and name.id == "__name__" for name in ast.walk(statement.test)
            ):
                return  # under a main guard: the pool was lost for some other reason
            raise ModelError(
                f"the run's worker processes could not start: a new process imports the script {path} "
                f"again, and its line {line}, outside a main guard, started the run once more in there.\n"
                'Put the code that starts a parallel run under `if __name__ == "__main__":`, '
                "as any script that starts worker processes must"
            ) from error


def _block_list(tasks: Sequence[_Task], shown: int = 10) -> str:
    indices = sorted(index for task in tasks for index, _, _ in task)
    text = ", ".join(str(index) for index in indices[:shown])
    return text if len(indices) <= shown else f"{text} and {len(indices) - shown} more"

"""The run's own pools of local worker processes: starting them (the fork
server's preload, and a watch that ends a worker with the process that
started it), ending them at once when a run stops early, and telling a pool
that could not start because a script started its run unguarded."""

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
import sys
import threading
import time
from collections.abc import Iterator

from .errors import ModelError

__all__ = ["FirstWorker", "ended_at_once_on_failure", "forked_helper", "own_pool", "process_pool",
           "refuse_unguarded_main", "start_fork_server"]

#: What a worker imports before it takes its first task.
_WORKER_PRELOAD = ("tavlen.model",)


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
    from .configuration import positive_int  # NumPy: not loaded by start_fork_server()

    workers = positive_int(workers, "workers")
    context = _fork_server_context()
    return concurrent.futures.ProcessPoolExecutor(workers, mp_context=context, initializer=_end_with_the_main_process)


def start_fork_server() -> None:
    """Starts the fork server that the run's pools take their workers from,
    where processes start from one, and returns at once: a program that will
    start a pool calls this first thing, and the server imports NumPy and
    tavlen while the program imports them too, instead of afterwards."""
    if _fork_server_context() is not None:
        multiprocessing.forkserver.ensure_running()


def _fork_server_context() -> multiprocessing.context.BaseContext | None:
    if multiprocessing.get_start_method() != "forkserver":
        return None
    context = multiprocessing.get_context("forkserver")
    # Added to what the program asked the server to preload, never instead of it.
    preload = list(getattr(multiprocessing.forkserver._forkserver, "_preload_modules", None) or ["__main__"])
    preload += [name for name in _WORKER_PRELOAD if name not in preload]
    context.set_forkserver_preload(preload)
    return context


class FirstWorker:
    """Starts a pool's first worker and waits, in a thread of its own, until
    it has answered a task that does nothing.

    A pool starts its workers as tasks are submitted, and the first submit
    waits on Linux until the fork server has started and imported NumPy and
    tavlen, a few tenths of a second in which the caller can simulate
    blocks. Until ``started()``, the caller must not submit (a submit would
    wait for this one). ``wait()`` then raises, in the caller's thread, what
    starting the worker raised: a pool that broke before its first worker
    answered has workers that cannot start (a script that starts its run
    unguarded makes them fail as they import it again)."""

    def __init__(self, pool: concurrent.futures.Executor) -> None:
        self._error: BaseException | None = None
        self._started = threading.Event()
        self._thread = threading.Thread(target=self._start, args=(pool,), name="tavlen: start the pool", daemon=True)
        self._thread.start()

    def _start(self, pool: concurrent.futures.Executor) -> None:
        try:
            pool.submit(int).result()
        except BaseException as error:  # handed to the caller's thread by wait()
            self._error = error
        finally:
            self._started.set()

    def started(self) -> bool:
        return self._started.is_set()

    @property
    def answered(self) -> bool:
        return self._started.is_set() and self._error is None

    def wait(self) -> None:
        self._thread.join()
        if self._error is not None:
            raise self._error


@contextlib.contextmanager
def own_pool(
    workers: int, lost: type[BaseException]
) -> Iterator[tuple[concurrent.futures.ProcessPoolExecutor, FirstWorker]]:
    """A pool that a run starts for itself, with its first worker starting,
    ended at once if the run stops early. When its workers cannot start (its
    fork server's connection lost, or ``lost`` raised before the first worker
    answered), a script that started its run unguarded is told so."""
    with process_pool(workers) as pool, ended_at_once_on_failure(pool):
        first_worker = FirstWorker(pool)
        try:
            yield pool, first_worker
        except (ConnectionError, EOFError) as error:
            refuse_unguarded_main(error, pool)
            raise
        except lost as error:
            if not first_worker.answered:
                refuse_unguarded_main(error.__cause__, pool)
            raise


@contextlib.contextmanager
def forked_helper() -> Iterator[concurrent.futures.ProcessPoolExecutor | None]:
    """A process forked from this one, to simulate blocks while a pool's
    workers start, or None where forking is not safe.

    Forked, it starts at once, with everything this process has loaded. A
    block may kill the process that runs it (a crash in native code that a
    model calls, ``os._exit``, the out-of-memory killer): simulated here, it
    would take the caller with it; in the helper, it is a lost helper, and
    the block goes to the pool. Forking is safe only while this process runs
    no other thread (a thread's lock would stay locked in the child forever),
    and it is not offered where fork is not a start method of Linux's kind."""
    if not sys.platform.startswith("linux") or not _single_threaded():
        yield None
        return
    context = multiprocessing.get_context("fork")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context, initializer=_end_with_the_main_process) as pool, \
            ended_at_once_on_failure(pool):
        # The first submit forks, before the pool's own threads start.
        started = pool.submit(int)
        try:
            started.result()
        except concurrent.futures.process.BrokenProcessPool:
            yield None
            return
        yield pool


def _single_threaded(wait: float = 0.1) -> bool:
    """Whether this process runs one thread, as the kernel counts them (a
    thread that Python has let go of may take a moment to end: a lost
    pool's, say)."""
    deadline = time.monotonic() + wait
    while threading.active_count() == 1:
        try:
            with open("/proc/self/stat", "rb") as stat:
                threads = int(stat.read().rpartition(b")")[2].split()[17])  # num_threads, the 20th field
        except (OSError, ValueError, IndexError):
            return True  # Python's own count is all there is
        if threads == 1:
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.002)
    return False


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


#: How long terminated workers have to end before they are killed (a stopped
#: worker never acts on a termination).
_TERMINATION_GRACE = 0.3


@contextlib.contextmanager
def ended_at_once_on_failure(pool: concurrent.futures.ProcessPoolExecutor) -> Iterator[None]:
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


def refuse_unguarded_main(error: BaseException | None, executor: concurrent.futures.Executor) -> None:
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

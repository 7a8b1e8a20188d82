"""The demo's command line: python -m tavlen [options]."""

from __future__ import annotations

import argparse
import contextlib
import errno
import os
import sys
import time
from collections.abc import Iterator, Sequence
from concurrent.futures import Executor
from typing import NoReturn

# Light imports only: the model's (NumPy among them) wait until the command
# has started its pool's fork server, which then loads them side by side.
from .errors import ModelError, optional_import

DESCRIPTION = """\
Runs the bundled demo model: the natural history of a chronic disease (onset,
a preclinical and a clinical stage, death from the disease, and death from
other causes by a Gompertz law) in a reference universe and in a universe
with screening, which finds preclinical disease earlier. Prints a summary
(diagnoses, deaths and person-years by age group, life-years gained by
screening) and a cost-effectiveness table of screening (illustrative unit
costs and utilities) on stdout, shows progress on stderr, and writes a plot
(PNG) and the results (.npz) into the output folder; with --draws, also the
cost-effectiveness plane and acceptability curve (cost-effectiveness.png) and
a page with the whole analysis, tables and figures, for a browser
(report.html). With --calibrate, instead fits two of the model's
natural-history parameters to a synthetic registry, prints the fit and
writes calibration.png.
"""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, and the way to more help.
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def _positive(text: str) -> int:
    try:
        value = int(text.replace("_", ""))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected at least 1, got {value}")
    return value


def _seed(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected 0 or more, got {value}")
    return value


def parser() -> argparse.ArgumentParser:
    p = _Parser(prog="python -m tavlen", description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("-n", "--population", type=_positive, default=None, metavar="N",
                   help="number of people to simulate (default: 200000; 20000 with --calibrate)")
    p.add_argument("-s", "--seed", type=_seed, default=2024,
                   help="seed of the run: the same seed gives the same results (default: %(default)s)")
    p.add_argument("-w", "--workers", type=_positive, default=1, metavar="W",
                   help="number of worker processes; results do not depend on it (default: %(default)s)")
    p.add_argument("--executor", choices=("process", "dask", "mpi"), default=None,
                   help="where workers run: 'process', a local process pool; 'dask', a local Dask "
                        "cluster (needs dask.distributed), or the one at --scheduler; 'mpi', the MPI "
                        "processes of a job started with mpiexec -n N python -m mpi4py.futures -m tavlen "
                        "(needs mpi4py) (default: process, or dask with --scheduler)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="address of a running Dask scheduler (tcp://host:8786) whose workers run the "
                        "blocks; -w is then the cluster's (needs dask.distributed)")
    p.add_argument("-o", "--output", default="tavlen-demo", metavar="DIR",
                   help="folder for the plot and the results file, created if needed (default: %(default)s)")
    p.add_argument("--block-size", type=_positive, default=500, metavar="B",
                   help="people per block, the unit of work; with common random numbers, counts do not depend "
                        "on it and durations only in their last digits, which rounding sums in another order "
                        "moves (default: %(default)s)")
    p.add_argument("--checkpoint", metavar="DIR",
                   help="folder that keeps every finished block, created if needed: the same command "
                        "run again after an interruption resumes where it stopped")
    p.add_argument("--draws", type=_positive, metavar="N",
                   help="also run N draws of the uncertain parameters (sensitivity, sojourn time, survival) "
                        "and of the prices on the same people, as one sweep, and summarise the spread of "
                        "screening's gains and cost-effectiveness; each draw re-runs the whole population, so "
                        "N draws take about N + 1 times as long as the plain run (30 draws of 200,000 people: "
                        "3.6 minutes against 6 s): try 20 to 50 draws of -n 20000 first")
    p.add_argument("--calibrate", action="store_true",
                   help="calibrate the onset scale and the mean sojourn time to a synthetic registry (incidence "
                        "by age, stage at diagnosis) by Nelder-Mead, each batch of candidates one sweep, and "
                        "print the fit; --checkpoint then keeps the calibration's history")
    p.add_argument("--no-progress", action="store_true", help="do not show the progress bar")
    p.add_argument("--no-plot", action="store_true", help="do not draw the plot")
    return p


@contextlib.contextmanager
def _executor(kind: str, workers: int, scheduler: str | None = None) -> Iterator[Executor | None]:
    if scheduler is not None:
        with _dask_cluster_at(scheduler) as executor:
            yield executor
    elif kind == "mpi":
        with _mpi_pool(workers) as executor:
            yield executor
    elif kind == "process":
        # The run starts its own pool, and starts it again if a worker dies.
        yield None
    else:
        distributed = optional_import("distributed", "distributed", "--executor dask")
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, distributed.Client(cluster) as client:
            yield client.get_executor()


@contextlib.contextmanager
def _dask_cluster_at(address: str) -> Iterator[Executor]:
    """The executor of a running Dask cluster, reached through its scheduler."""
    distributed = optional_import("distributed", "distributed", "--scheduler")
    try:
        client = distributed.Client(address, set_as_default=False)
    except (OSError, TimeoutError, ValueError) as error:
        raise _CommandError(f"cannot reach the Dask scheduler at {address!r}: {error}") from error
    with client:
        if not client.scheduler_info().get("workers"):
            raise _CommandError(f"the Dask scheduler at {address!r} has no workers: start some with "
                                f"'dask worker {address}'")
        yield client.get_executor()


@contextlib.contextmanager
def _mpi_pool(workers: int) -> Iterator[Executor]:
    """mpi4py's pool: under ``mpiexec -n N python -m mpi4py.futures -m
    tavlen``, the job's other N - 1 processes (``workers`` is then the
    job's); started alone, ``workers`` processes that MPI spawns."""
    futures = optional_import("mpi4py.futures", "mpi", "--executor mpi")
    with futures.MPIPoolExecutor(max_workers=workers) as pool:
        yield pool


def _workers_of(executor: Executor | None, workers: int) -> int:
    """How many workers the executor has: those of the cluster or the MPI job."""
    client = getattr(executor, "_client", None)  # Dask's executor
    if client is not None:
        return len(client.scheduler_info().get("workers", ()))
    return getattr(executor, "num_workers", workers)  # mpi4py's


def _where(options: argparse.Namespace, workers: int) -> str:
    kind = {"process": "process", "dask": "Dask", "mpi": "MPI"}[options.executor]
    where = f"{workers} {kind} worker{'s' if workers != 1 else ''}"
    return where if options.scheduler is None else f"{where} of the cluster at {options.scheduler}"


class _CommandError(Exception):
    """An error of the command's own, printed as it stands."""


def _executor_kind(options: argparse.Namespace) -> str:
    if options.scheduler is None:
        return options.executor or "process"
    if options.executor not in (None, "dask"):
        raise _CommandError(f"--scheduler runs the blocks on a Dask cluster, not with --executor {options.executor}")
    return "dask"


def _fail(error: BaseException) -> int:
    """Says what failed in one line: a file-system failure as PATH: reason."""
    if isinstance(error, OSError) and error.filename is not None:
        message = f"{error.filename}: {error.strerror or error}"
    else:
        message = str(error)
    print(f"python -m tavlen: error: {message}", file=sys.stderr)
    return 1


def _prepare(options: argparse.Namespace) -> list[str]:
    """Creates the output folder and tests it for writing and room, before
    any simulation; the paths of the files that the command writes."""
    from .files import check_writable

    os.makedirs(options.output, exist_ok=True)
    # Room for about four times what the demo's results file and plot take.
    check_writable(options.output, room=(1 << 18) + 8 * options.population)
    paths = [os.path.join(options.output, "results.npz")]
    if not options.no_plot:
        paths.append(os.path.join(options.output, "demo.png"))
        if options.draws:
            paths += [os.path.join(options.output, "cost-effectiveness.png"), os.path.join(options.output, "report.html")]
    for path in paths:
        if os.path.isdir(path):
            raise IsADirectoryError(errno.EISDIR, "is a folder, where the command writes a file", path)
    # A checkpoint folder is tested by the run itself, before its first block:
    # a finished one is read even where it cannot be written.
    return paths


def main(argv: Sequence[str] | None = None) -> int:
    command_line = parser()
    options = command_line.parse_args(argv)
    try:
        options.executor = _executor_kind(options)
    except _CommandError as error:
        command_line.error(str(error))
    if options.population is None:
        options.population = 20_000 if options.calibrate else 200_000
    if options.executor == "process" and options.workers > 1:
        from .pools import start_fork_server
        start_fork_server()
    if options.calibrate:
        from .demo.calibration import command
        return command(options, lambda: _executor(options.executor, options.workers, options.scheduler), _fail)
    from . import demo
    from .demo import economics as demo_economics, psa as demo_psa
    try:
        results_path, *plot_path = _prepare(options)
    except OSError as error:
        return _fail(error)
    progress = not options.no_progress
    if progress:
        # The bar is a convenience: without tqdm the demo still runs.
        try:
            optional_import("tqdm", "progress", "The progress bar")
        except ImportError as error:
            print(f"python -m tavlen: no progress bar: {error}", file=sys.stderr)
            progress = False
    started = time.perf_counter()
    try:
        with _executor(options.executor, options.workers, options.scheduler) as executor:
            workers_used = _workers_of(executor, options.workers)
            where = dict(executor=executor, progress=progress, block_size=options.block_size,
                         checkpoint=options.checkpoint, workers=options.workers if executor is None else None)
            if options.draws:
                swept = demo_psa.run(options.draws, options.population, options.seed, **where)
                results = swept["base"]
            else:
                results = demo.run(options.population, options.seed, **where)
    except (ImportError, ModelError, OSError, _CommandError) as error:
        # A missing package, a checkpoint folder of another run, or one that cannot be used, an unreachable cluster.
        return _fail(error)
    except KeyboardInterrupt:
        kept = "" if options.checkpoint is None else (
            f"; the finished blocks are kept in {options.checkpoint!r}, and the same command resumes the run"
        )
        print(f"\npython -m tavlen: interrupted{kept}", file=sys.stderr)
        return 130
    elapsed = time.perf_counter() - started
    print(demo.summary(results))
    print()
    print(demo_economics.summary(demo_economics.evaluate(results)))  # type: ignore[arg-type]
    spread = economics = None
    if options.draws:
        print()
        print(demo_psa.summary(swept))
        spread = demo_psa.spread(swept)
        economics = demo_economics.evaluate(swept[1:])  # the draws, without the base model
        print()
        print(demo_economics.sweep_summary(economics))  # type: ignore[arg-type]
    written = []
    try:
        results.save(results_path)
        written.append(results_path)
        if plot_path:
            try:
                demo.plot(results, plot_path[0], spread)
                written.append(plot_path[0])
                if economics is not None:
                    demo_economics.plot(economics, plot_path[1])  # type: ignore[arg-type]
                    written.append(plot_path[1])
            except ImportError as error:
                print(f"python -m tavlen: no plot: {error}", file=sys.stderr)
            if economics is not None:  # without matplotlib, a page without its figures
                demo_economics.report(economics, plot_path[2])  # type: ignore[arg-type]
                written.append(plot_path[2])
    except OSError as error:  # a disk that filled during the run, say
        return _fail(error)
    print()
    # One 'process' worker is no worker: the run then simulates in this process.
    place = "in this process" if options.executor == "process" and options.workers == 1 else (
        f"on {_where(options, workers_used)}"
    )
    print(f"Simulated in {elapsed:.1f} s {place}; wrote {', '.join(written)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Sweeps: many models (parameter draws, scenarios) run on one population
with the same options, their blocks sent to one executor as one stream.

Each model's results are exactly those of ``Model.run`` for that model alone:
every model is checked, split into blocks, gathered and checkpointed by the
same rooms as a run, and only the stream of tasks is the sweep's own.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import dataclasses
import inspect
import json
import os
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, overload

import numpy as np
import numpy.typing as npt

from . import checkpoint as _checkpoint
from . import model as _model
from .simulation import release_kept
from .configuration import positive_int, setup
from .errors import ModelError, optional_import
from .execution import pickled, tasks_in_flight
from .files import read_regular, write_atomically
from .modelcode import inventory
from .montecarlo import subsample_count
from .process import block_seed
from .progress import progress_bar
from .results import Results
from .sweeptasks import CancelledTasks, Job, LostPool, Stream, folder_name

__all__ = ["SweepResults", "sweep"]

_SWEEP_FILE = "sweep.json"


class SweepResults(Sequence[Results]):
    """The results of every model of a sweep, in order: ``sweep[0]``,
    ``sweep["label"]``, ``for results in sweep``, ``sweep.labels``.

    ``parameters`` is the table of the values each model had, as given to
    :func:`sweep`: a mapping from each parameter's name to its values, one
    per model in order (read-only float arrays; empty when none was given).
    """

    def __init__(self, labels: Sequence[str], results: Sequence[Results], parameters: Any = None) -> None:
        self.labels: tuple[str, ...] = tuple(labels)
        self._results = tuple(results)
        self._index = {label: i for i, label in enumerate(self.labels)}
        self.parameters: dict[str, np.ndarray] = parameters_table(parameters, len(self._results))

    @overload
    def __getitem__(self, key: int | str) -> Results: ...
    @overload
    def __getitem__(self, key: slice) -> SweepResults: ...
    def __getitem__(self, key: int | str | slice) -> Results | SweepResults:
        if isinstance(key, slice):
            return SweepResults(self.labels[key], self._results[key],
                                {name: values[key] for name, values in self.parameters.items()})
        if isinstance(key, str):
            try:
                return self._results[self._index[key]]
            except KeyError:
                raise KeyError(f"{key!r} is not a label of the sweep's models") from None
        return self._results[key]

    def __len__(self) -> int:
        return len(self._results)

    def items(self) -> Iterator[tuple[str, Results]]:
        """(label, results) of every model, in order."""
        return zip(self.labels, self._results)

    def to_xarray(self, dim: str = "model") -> Any:
        """The models' datasets stacked along ``dim``, labelled by the
        models' labels; each model's seed is the coordinate ``seed``. The
        individual-level logs, of a different length in every model, are
        left out: ``sweep[label].individual`` holds them. Each parameter of
        the :attr:`parameters` table is the coordinate "parameter_<name>"."""
        xr = optional_import("xarray", "xarray", "SweepResults.to_xarray()")
        datasets = []
        for results in self._results:
            dataset = results.to_xarray()
            datasets.append(dataset.drop_vars([name for name in dataset.data_vars if name.startswith("individual_")]))
        stacked = xr.concat(datasets, dim=dim, combine_attrs="drop_conflicts")
        seeds = [results.metadata.get("seed") for results in self._results]
        table = {f"parameter_{name}": (dim, values) for name, values in self.parameters.items()}
        return stacked.assign_coords({dim: list(self.labels), "seed": (dim, [str(seed) for seed in seeds]), **table})

    def __repr__(self) -> str:
        shown = ", ".join(repr(label) for label in self.labels[:5])
        more = f" and {len(self.labels) - 5} more" if len(self.labels) > 5 else ""
        return f"<SweepResults of {len(self)} models: {shown}{more}>"


def sweep(
    models: Sequence[_model.Model] | Mapping[str, _model.Model],
    birth_years: npt.ArrayLike,
    *,
    labels: Sequence[str] | None = None,
    own_seeds: bool = False,
    parameters: Any = None,
    **options: Any,
) -> SweepResults:
    """Runs several models on one population with the same options, all
    their blocks on one executor, and returns the results of each.

    ``birth_years`` is the population, shared by every model, as in
    :meth:`Model.run`.

    ``models`` is a sequence of :class:`Model` (labelled "0", "1", ... or by
    ``labels``) or a mapping from labels (str) to models. ``options`` are
    those of :meth:`Model.run`, shared by all models; each model's results
    are exactly, bit for bit, what ``model.run(birth_years, **options)``
    gives (``common_random_numbers`` too is passed to every model's run).
    Every model gets the run's ``seed``, so the models share their random
    numbers and the spread between them shows their parameters, not the
    noise; with ``own_seeds=True`` each gets a seed of its own, derived from
    the run's seed and its position as block seeds are.

    The blocks of all models go to one executor (``workers=N``, or any
    ``executor``) as one stream of tasks, model after model, so that the
    workers stay busy from the first model to the last; a bounded number of
    tasks is in flight at a time. ``progress`` shows one bar for the whole
    sweep. ``checkpoint`` names a folder that keeps a sub-folder per model
    (named after its label): a sweep started again simulates only what is
    missing. An error in a model's block names the model's label.

    ``parameters`` records the values each model had: a mapping (or a
    pandas DataFrame) from each parameter's name to one number per model,
    in the models' order. It is kept as :attr:`SweepResults.parameters`
    and in :meth:`SweepResults.to_xarray`, for the value of information
    and one-way analyses.
    """
    labelled = _labelled(models, labels)
    table = parameters_table(parameters, len(labelled))
    unknown = set(options) - set(_run_options())
    if unknown:
        raise TypeError(f"sweep() got an unexpected keyword argument {sorted(unknown)[0]!r}")
    settings = {**_run_options(), **options}
    executor, workers = settings["executor"], settings["workers"]
    if executor is not None and workers is not None:
        raise ModelError("give either an executor or a number of workers, not both")
    if executor is not None and not callable(getattr(executor, "submit", None)):
        raise TypeError(f"executor must be a concurrent.futures.Executor, got {type(executor).__name__}")
    workers = None if workers is None else positive_int(workers, "workers")
    parallel = executor is not None or (workers or 1) > 1
    folder = None if settings["checkpoint"] is None else os.fspath(settings["checkpoint"])
    seed = settings["seed"]
    kept = None
    if folder is not None:
        kept = _kept_sweep_seed(folder)
        if seed is None:
            seed = kept if kept is not None else _seed_of_the_models(folder, [label for label, _ in labelled], own_seeds)
    if seed is None:
        seed = int(np.random.SeedSequence().entropy)  # type: ignore[arg-type]
    jobs = _jobs(labelled, birth_years, settings, seed, own_seeds, parallel)
    if folder is not None and kept is None:
        _keep_sweep_seed(folder, seed)
    people = sum(job.run.people_n for job in jobs)
    with (progress_bar(settings["progress"], people) as advance, contextlib.ExitStack() as open_folders,
          _model._global_generators_kept(), _resume_note_on_interrupt(folder)):
        stream = Stream(jobs, folder, advance, open_folders, settings["blocks_per_task"])
        open_folders.callback(release_kept)  # the grids kept here for a next block
        if not parallel:
            stream.run_here()
        elif executor is not None:
            try:
                stream.run_on(executor, tasks_in_flight(executor))
            except CancelledTasks as cancelled:
                raise ModelError(_cancelled_message(jobs, folder)) from cancelled.__cause__
            except LostPool as lost:
                kept = "run the sweep again to resume" if folder is not None else "give a checkpoint folder to keep them"
                raise ModelError(
                    "a worker process of the executor died (killed, out of memory or crashed), and a sweep "
                    f"cannot replace an executor it was given; the blocks that finished are kept only in a "
                    f"checkpoint folder: {kept}"
                ) from lost.__cause__
        else:
            stream.run_on_own_pools(workers, _model.MAX_LOST_POOLS)
    for job in jobs:
        if job.results is None:
            raise RuntimeError(f"the sweep lost blocks of model {job.label!r}; its results would be incomplete")
    return SweepResults([job.label for job in jobs], [job.results for job in jobs], table)  # type: ignore[misc]


def _cancelled_message(jobs: Sequence[Job], folder: str | None) -> str:
    unfinished = [job.label for job in jobs if job.results is None]
    shown = ", ".join(repr(label) for label in unfinished[:10]) + (
        f" and {len(unfinished) - 10} more" if len(unfinished) > 10 else "")
    kept = (f"the blocks that finished are kept in the checkpoint folder {folder!r}, a sub-folder per model: run the "
            "sweep again, with the cluster back, to resume" if folder is not None
            else "give the sweep a checkpoint folder to keep the blocks that finish")
    return (f"the executor cancelled the sweep's tasks, leaving models {shown} unfinished (a Dask cluster does so "
            f"when its scheduler goes away or the client loses it); {kept}")


@contextlib.contextmanager
def _resume_note_on_interrupt(folder: str | None) -> Iterator[None]:
    try:
        yield
    except (KeyboardInterrupt, SystemExit) as interrupt:
        interrupt.add_note(
            f"the finished blocks are kept in the checkpoint folder {folder!r}, a sub-folder per model, and the "
            "same sweep started again with this folder resumes it"
            if folder is not None
            else "the sweep kept none of its finished blocks: a sweep given a checkpoint folder keeps them and "
            "resumes from them when started again"
        )
        raise


def _run_options() -> dict[str, Any]:
    """The options of Model.run and their defaults."""
    parameters = inspect.signature(_model.Model.run).parameters
    return {name: p.default for name, p in parameters.items() if p.kind is p.KEYWORD_ONLY}


def _labelled(models: Any, labels: Sequence[str] | None) -> list[tuple[str, _model.Model]]:
    if isinstance(models, Mapping):
        if labels is not None:
            raise TypeError("give labels only with a sequence of models: a mapping's keys are its labels")
        pairs = list(models.items())
        for label, _ in pairs:
            if type(label) is not str:
                raise TypeError(f"the keys of a sweep's mapping are the models' labels and must be str, got {label!r}")
    elif isinstance(models, (str, bytes)) or not isinstance(models, Sequence):
        raise TypeError(f"models must be a sequence of Model or a mapping from labels to Model, got {type(models).__name__}")
    else:
        names = [str(i) for i in range(len(models))] if labels is None else list(labels)
        if any(type(label) is not str for label in names):
            raise TypeError(f"a sweep's labels must be str, got {names!r}")
        if len(names) != len(models):
            raise ModelError(f"a sweep of {len(models)} models got {len(names)} labels")
        pairs = list(zip(names, models))
    if not pairs:
        raise ModelError("a sweep needs at least one model")
    seen: set[str] = set()
    repeated = sorted({label for label, _ in pairs if label in seen or seen.add(label)})  # type: ignore[func-returns-value]
    if repeated:
        raise ModelError(f"the labels of a sweep's models must be unique; repeated: {repeated}")
    for label, model in pairs:
        if not isinstance(model, _model.Model):
            raise TypeError(f"the sweep's model {label!r} is a {type(model).__name__}, not a tavlen Model")
    return pairs


def _jobs(
    labelled: list[tuple[str, _model.Model]], birth_years: npt.ArrayLike, settings: dict[str, Any],
    seed: int, own_seeds: bool, parallel: bool,
) -> list[Job]:
    """Checks every model's run before any block is simulated; the models share one population."""
    names = [name for name in inspect.signature(setup).parameters if name not in ("model", "birth_years", "seed", "events_limit")]
    jobs = []
    population = None
    for position, (label, model) in enumerate(labelled):
        own_seed = block_seed(seed, position, "tavlen.sweep") if own_seeds else seed
        try:
            run = setup(model, birth_years, **{name: settings[name] for name in names}, seed=own_seed,
                        events_limit=_model.MAX_EVENTS_PER_LIFE)
        except Exception as error:
            error.add_note(f"in the sweep's model {label!r}")
            raise
        if population is None:
            population = run.population
        else:
            run = dataclasses.replace(run, population=population)  # one copy of the people for all models
        subsamples = subsample_count(positive_int(settings["subsamples"], "subsamples"), len(run.blocks()))
        code = None
        if parallel or settings["checkpoint"] is not None:
            code = inventory([*model.processes, *run.configuration.snapshot_functions])
        try:
            travelling = parallel and code is not None
            payload = pickled(run.configuration, by_value=code.modules if travelling else (),
                              installed=code.imported if travelling else ())
        except ModelError as error:
            raise ModelError(f"the sweep's model {label!r} does not pickle: {error}") from error.__cause__
        jobs.append(Job(label, run, subsamples, payload, code))
    return jobs


def _kept_sweep_seed(folder: str) -> int | None:
    try:
        seed = json.loads(read_regular(os.path.join(folder, _SWEEP_FILE), most=1 << 16).decode("utf-8")).get("seed")
    except (OSError, ValueError, AttributeError):
        return None
    return seed if type(seed) is int and seed >= 0 else None


def _seed_of_the_models(folder: str, labels: Sequence[str], own_seeds: bool) -> int | None:
    """The sweep's seed as its models' checkpoint folders keep it, for a
    sweep whose ``sweep.json`` is gone or damaged; None when no model has
    a folder yet. A sweep must never start its models afresh with a new seed
    (and refuse every kept block)."""
    seeds = {seed for label in labels
             if (seed := _checkpoint.kept_seed(os.path.join(folder, folder_name(label)))) is not None}
    if not seeds:
        return None
    if len(seeds) == 1 and not own_seeds:
        return seeds.pop()
    why = "each model has a seed of its own (own_seeds)" if own_seeds else "its models keep different seeds"
    raise ModelError(
        f"the sweep's checkpoint folder {folder!r} has lost its {_SWEEP_FILE}, which keeps the sweep's seed, and "
        f"{why}, from which it cannot be told: give the sweep's seed to resume"
    )


def _keep_sweep_seed(folder: str, seed: int) -> None:
    """Notes the sweep's seed in its folder, for a sweep started again without one."""
    os.makedirs(folder, exist_ok=True)
    content = json.dumps({"format": "tavlen.sweep", "seed": seed}).encode("utf-8")
    write_atomically(os.path.join(folder, _SWEEP_FILE), lambda file: file.write(content))


def parameters_table(parameters: Any, models: int) -> dict[str, np.ndarray]:
    """A sweep's parameters table checked: a mapping (or pandas DataFrame)
    from names to one finite number per model, as read-only float arrays."""
    if parameters is None:
        return {}
    if hasattr(parameters, "to_dict") and hasattr(parameters, "columns"):  # a pandas DataFrame
        parameters = {column: parameters[column].to_numpy() for column in parameters.columns}
    if not isinstance(parameters, Mapping):
        raise TypeError(f"parameters must be a mapping from names to one value per model, got {type(parameters).__name__}")
    table = {}
    for name, values in parameters.items():
        if type(name) is not str:
            raise TypeError(f"the names of a sweep's parameters must be str, got {name!r}")
        try:
            array = np.array(values, dtype=np.float64)
        except (TypeError, ValueError):
            raise TypeError(f"the parameter {name!r} must hold numbers, one per model") from None
        if array.shape != (models,):
            raise ValueError(f"the parameter {name!r} needs one value per model ({models}), got shape {array.shape}")
        if not np.isfinite(array).all():
            raise ValueError(f"the parameter {name!r} must hold finite values")
        array.flags.writeable = False
        table[name] = array
    return table

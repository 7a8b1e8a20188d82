"""Gathering the blocks' partial results: in block order, whatever order they
arrive in, into the run's totals and its individual-level log."""

from __future__ import annotations

import logging
from collections.abc import Mapping

import numpy as np
import numpy.typing as npt

from . import checkpoint
from .cells import add_into
from .errors import ModelError
from .results import _AGGREGATES, _LOG_COLUMNS
from .simulation import Partial

__all__ = ["BlockSpan", "InBlockOrder", "LogColumns", "Totals"]

_log = logging.getLogger("tavlen")

#: A block of a run: its index, its first person and the person after its last.
BlockSpan = tuple[int, int, int]


class InBlockOrder:
    """Takes the blocks' partial results in any order, stores each new one
    in the checkpoint folder at once, and adds them to the totals in block
    order, so that the sums are the same bit for bit however the blocks ran.

    A block that comes before its turn waits in memory, or, when the run has
    a checkpoint folder, on disk where it is kept already: a resumed run may
    find most of its blocks kept behind one that is missing, and holding
    them all would hold their logs twice."""

    def __init__(self, totals: Totals, folder: checkpoint.Folder | None, shapes: Mapping[str, tuple[int, ...]]) -> None:
        self.totals = totals
        self.folder = folder
        self.shapes = shapes
        self.waiting: dict[int, Partial] = {}
        self.waiting_on_disk: dict[int, BlockSpan] = {}
        self.next_index = 0
        self.received = 0
        self.warned = False

    def add(self, block: BlockSpan, partial: Partial, stored: bool = False) -> None:
        index, first, end = block
        if partial.global_draws and not self.warned:
            self.warned = True
            _log.warning(
                "the global generators of random or numpy.random were drawn from while a block ran: the run "
                "seeds them for every block, so a model's draws from them can be reproduced, but only the "
                "generators of individual.random keep a person's draws aligned between universes; a model "
                "should use those (on Dask, the worker's own threads may draw from them too)"
            )
        if self.folder is not None and not stored:
            self.folder.store(index, first, end - first, partial)
        self.received += 1
        if self.folder is not None and index != self.next_index:
            self.waiting_on_disk[index] = block
        else:
            self.waiting[index] = partial
        while True:
            if self.next_index in self.waiting:
                self.totals.add(self.waiting.pop(self.next_index))
            elif self.next_index in self.waiting_on_disk:
                self.totals.add(self._reload(self.waiting_on_disk.pop(self.next_index)))
            else:
                break
            self.next_index += 1

    def add_kept(self, block: BlockSpan) -> bool:
        """Adds a block that the checkpoint folder keeps; False when it keeps
        none that can be trusted, and the block is to be simulated."""
        partial = self._load(block)
        if partial is not None:
            self.add(block, partial, stored=True)
        return partial is not None

    def _load(self, block: BlockSpan) -> Partial | None:
        if self.folder is None:
            return None
        index, first, end = block
        found = self.folder.load(index, first, end - first, self.shapes)
        return None if found is None else Partial(**found)

    def _reload(self, block: BlockSpan) -> Partial:
        assert self.folder is not None  # only blocks kept in the folder wait on disk
        partial = self._load(block)
        if partial is None:
            # The folder is locked while the run uses it: only something
            # outside the run can have changed the file since it was read.
            raise ModelError(
                f"block {block[0]}'s file in the checkpoint folder {self.folder.path!r} "
                "changed while the run was using it; run again to resume"
            )
        return partial


class Totals:
    """The run's results, as the sum of the blocks' partial results taken in
    block order, and, with ``subsamples`` K of 2 or more, the sums of each
    sub-sample: block b (the b-th block added) goes to sub-sample b mod K
    (every block is dealt people from all over the population, so every
    sub-sample is a sample of the whole).

    Each sum is taken in block order on its own, so the sub-sample sums are
    as reproducible as the totals; the totals are never the sum of the
    sub-sample sums, which would add in another order."""

    def __init__(self, shapes: Mapping[str, tuple[int, ...]], subsamples: int = 1) -> None:
        # Counts are summed in 64 bits: a block's uint32 counts are safe, a run's may not be.
        self.events = np.zeros(shapes["events"], dtype=np.int64)
        self.durations = np.zeros(shapes["durations"], dtype=np.float64)
        self.snapshots_ages = np.zeros(shapes["snapshots_ages"], dtype=np.int64)
        self.snapshots_years = np.zeros(shapes["snapshots_years"], dtype=np.int64)
        self.discounted_events = np.zeros(shapes["discounted_events"], dtype=np.float64)
        self.discounted_durations = np.zeros(shapes["discounted_durations"], dtype=np.float64)
        self.subsamples = subsamples
        self.subsample_sums: dict[str, np.ndarray] = {}
        if subsamples > 1:
            self.subsample_sums = {
                name: np.zeros((subsamples, *shapes[name]), dtype=getattr(self, name).dtype) for name in _AGGREGATES
            }
        self.blocks_added = 0
        self._log = LogColumns()

    def add(self, partial: Partial) -> None:
        subsample = self.blocks_added % self.subsamples
        for name in _AGGREGATES:
            total = getattr(self, name)
            part = getattr(partial, name)
            if part.shape != total.shape:
                raise ModelError(f"a block returned {name} of shape {part.shape}, expected {total.shape}")
            add_into(total, part, *([self.subsample_sums[name][subsample]] if self.subsample_sums else []))
        self.blocks_added += 1
        self._log.append(partial.individual)

    def individual_log(self) -> dict[str, np.ndarray]:
        return self._log.take()


class LogColumns:
    """The run's individual-level log, gathered block by block into its
    final columns.

    The log of a long run is most of its memory, so it is never held twice:
    each block's entries are copied in as the block arrives, and the columns
    grow in place. ndarray.resize reallocates, and for large arrays the C
    library moves the pages (mremap) instead of copying them, so old and new
    columns never coexist. NumPy zero-fills what a column grows by, which
    makes it resident: steps of a thirty-second keep that unused tail small
    and the reallocations few.
    """

    GROWTH = 32

    def __init__(self) -> None:
        self._start_empty()

    def _start_empty(self) -> None:
        self.columns = {key: np.empty(0, dtype=dtype) for key, dtype in _LOG_COLUMNS.items()}
        self.length = 0

    def append(self, log: Mapping[str, npt.ArrayLike]) -> None:
        if not isinstance(log, Mapping) or set(log) != set(_LOG_COLUMNS):
            given = sorted(map(str, log)) if isinstance(log, Mapping) else type(log).__name__
            raise ModelError(f"a block returned an individual-level log of {given}, expected the columns {list(_LOG_COLUMNS)}")
        parts = {key: np.asarray(log[key]) for key in _LOG_COLUMNS}
        if len({part.shape for part in parts.values()}) != 1 or parts["age"].ndim != 1:
            shapes = {key: part.shape for key, part in parts.items()}
            raise ModelError(f"a block returned an individual-level log of columns of unlike shapes: {shapes}")
        start = self.length
        end = start + len(parts["age"])
        for key, part in parts.items():
            column = self.columns[key]
            if end > len(column):
                # The array is this object's alone and no view of it
                # outlives a statement, so nothing sees it move.
                column.resize(max(end, len(column) + len(column) // self.GROWTH), refcheck=False)
            column[start:end] = part
        self.length = end

    def take(self) -> dict[str, np.ndarray]:
        """The columns, trimmed to the entries (in place), handed over: the
        gathering starts again empty, so it never resizes what a caller holds."""
        columns = self.columns
        for column in columns.values():
            column.resize(self.length, refcheck=False)
        self._start_empty()
        return columns

"""Checkpoint folders: the finished blocks of a run, kept on disk so that a
run stopped by a crash, an interrupt or a killed machine resumes where it was.

A folder holds ``manifest.json``, which identifies the run by fingerprints of
its parts (the model, the population, the run's options, the seed and the
block size), and one ``block-NNNNNN.npz`` per finished block: its partial
results and a JSON header with a digest of its content, never a pickle.
Every file is written under a temporary name in the folder, flushed to disk
and renamed over its final name, so a file that exists under its final name
is complete. A block file is used only when its content matches its digest,
its header names this run and this block and its arrays have the shapes and
types that the run's blocks have; any other block file is simulated again
and replaced. Files of other names are left alone. A run takes the folder's
lock to write; a finished folder that it cannot write is only read.
"""

from __future__ import annotations

import contextlib
import errno
import hashlib
import json
import math
import os
import pickle
import platform
import re
from collections.abc import Iterator, Mapping
from typing import Any

import numpy as np

from ._version import __version__
from .cells import dense
from .errors import ModelError
from .files import (ArchiveError, Declared, check_writable, read_archive, read_regular, sync_folder, write_archive,
                    write_atomically)
from .results import _LOG_COLUMNS

try:
    import fcntl
except ImportError:  # not a POSIX system: folders go unlocked
    fcntl = None  # type: ignore[assignment]

__all__ = ["Folder", "identity", "kept_seed", "opened"]

FORMAT = "tavlen.checkpoint"
VERSION = 1
MANIFEST = "manifest.json"
_LOCK = ".tavlen.lock"
#: The temporary names of the files this module writes, and no others.
_TEMPORARY = re.compile(r"\.(block-\d{6,}\.npz|manifest\.json)(\.[0-9a-f]{8})?\.tmp|\.tavlen-probe\.[0-9a-f]{8}\.tmp")
_BLOCK = re.compile(r"block-\d{6,}\.npz")
#: The most a manifest may hold: its code fingerprints take a few hundred
#: bytes a function.
MOST_MANIFEST_BYTES = 64 << 20
#: The free space a run that still has blocks to write wants in its folder.
_ROOM = 1 << 20
#: What an unwritable folder (read-only media, or only read permission) raises.
_READ_ONLY = (errno.EROFS, errno.EACCES, errno.EPERM)

#: The partial results of a block, as an Individual hands them out.
_AGGREGATE_DTYPES = {
    "events": np.dtype(np.uint32),
    "durations": np.dtype(np.float64),
    "snapshots_ages": np.dtype(np.uint32),
    "snapshots_years": np.dtype(np.uint32),
    "discounted_events": np.dtype(np.float64),
    "discounted_durations": np.dtype(np.float64),
}

#: The parts of a run that its manifest fingerprints, as an error names them.
_PARTS = {
    "model": "the model (its processes and their attributes)",
    "population": "the population's arrays",
    "universes": "the universes",
    "strata": "the strata (their labels, n_stratum_hops or preserve_stratum)",
    "tags": "the tags (or log_events_individual, verify_tags)",
    "grids": "the age and year groups",
    "snapshots": "the snapshot ages, years or functions",
    "random_number_generators": "the random number generators (or common_random_numbers)",
    "discounting": "the discounting recorded (discount_rates, base_year)",
    # Folders written before people were dealt into blocks hold blocks of
    # consecutive people, which must never be mixed with dealt ones.
    "membership": "the blocks' membership (the folder holds blocks of consecutive people, written by a tavlen "
                  "that did not deal people into blocks; its blocks cannot be mixed with dealt ones)",
}



# ---------------------------------------------------------------------------
# Identifying a run


def _digest(*values: Any) -> str:
    """A fingerprint of values: arrays by type, shape and bytes, anything
    else by its pickle (stable for the str, numbers, tuples and the classes
    and functions named in a run's configuration)."""
    hasher = hashlib.blake2b(digest_size=16)
    for value in values:
        if isinstance(value, np.ndarray):
            hasher.update(f"array {value.dtype.str} {value.shape}".encode())
            if value.dtype.hasobject:
                hasher.update(pickle.dumps(value.tolist(), protocol=5))
            else:
                hasher.update(memoryview(np.ascontiguousarray(value)).cast("B"))
        else:
            hasher.update(pickle.dumps(value, protocol=5))
    return hasher.hexdigest()


def identity(
    configuration: Any, population: Mapping[str, np.ndarray], strata: tuple[str, ...], block_size: int, code: Any
) -> dict[str, Any]:
    """What identifies a run's blocks: the seed, the block size, the number
    of people, a fingerprint of each part of the run, one of each function,
    class and module-level value of the model's code (``code``, the model's
    inventory), and the versions of what computed them. The individual-level
    log's block size is left out: it sets how the log grows, not what it holds."""
    c = configuration
    walk = code.describe
    parts = {
        "model": _digest(repr([walk(process) for process in c.model.processes]), c.model.individual_type.__qualname__),
        "population": _digest(*(item for name in sorted(population) for item in (name, population[name]))),
        "universes": _digest(c.universes),
        "strata": _digest(strata, c.strata_n, c.n_stratum_hops, c.preserve_stratum),
        "tags": _digest(c.event_tags, c.duration_tags, c.event_individual_tags, c.snapshot_tags,
                        c.log_events_individual, c.verify_tags),
        "grids": _digest(c.event_grid_ages, c.event_grid_years, c.duration_grid_ages, c.duration_grid_years),
        "snapshots": _digest(c.snapshot_ages, c.snapshot_years, repr([walk(f) for f in c.snapshot_functions])),
        # A folder of the streams from before common random numbers existed
        # resumes with common_random_numbers=False.
        "random_number_generators": _digest(c.random_number_generators, *(("common",) if c.common_random_numbers else ())),
        "discounting": _digest(c.discount_rates, c.base_year),
        "membership": _digest("dealt", block_size),
    }
    return {
        "seed": c.seed,
        "block_size": block_size,
        "people": len(population["birth_year"]),
        "parts": parts,
        "code": dict(code.fingerprints),
        "versions": _versions(),
    }


def _versions() -> dict[str, str]:
    return {"tavlen": __version__, "numpy": np.__version__, "python": platform.python_version()}


def _run_key(run: Mapping[str, Any]) -> str:
    return hashlib.blake2b(json.dumps(run, sort_keys=True).encode(), digest_size=16).hexdigest()


def _differences(kept: Mapping[str, Any], given: Mapping[str, Any]) -> list[str]:
    differences = []
    for key, name in (("seed", "the seed"), ("block_size", "the block size"), ("people", "the number of people")):
        if kept.get(key) != given[key]:
            differences.append(f"{name} ({kept.get(key)!r} there, {given[key]!r} here)")
    kept_parts = kept.get("parts")
    if not isinstance(kept_parts, dict):
        kept_parts = {}
    for key, name in _PARTS.items():
        if kept_parts.get(key) != given["parts"][key] and not (key == "population" and kept.get("people") != given["people"]):
            differences.append(name)
    kept_versions = kept.get("versions")
    if isinstance(kept_versions, dict):
        differences += [
            f"the version of {name} ({kept_versions.get(name)!r} there, {version!r} here)"
            for name, version in given["versions"].items() if kept_versions.get(name) != version
        ]
    kept_code = kept.get("code")
    if not isinstance(kept_code, dict) or not isinstance(kept_versions, dict):
        differences.append("the model's code (the folder was written by a tavlen that did not fingerprint "
                           "the code of a model, so it cannot tell whether the code is the same)")
    else:
        differences += _code_differences(kept_code, given["code"])
    return differences


def _code_differences(kept: Mapping[str, Any], given: Mapping[str, Any], shown: int = 8) -> list[str]:
    changed = [f"the code or value of {name}" for name in given if name in kept and kept[name] != given[name]]
    changed += [f"{name}, which is new" for name in given if name not in kept]
    changed += [f"{name}, which is gone" for name in kept if name not in given]
    if len(changed) > shown:
        changed[shown:] = [f"{len(changed) - shown} more functions, classes or values of the model"]
    return changed


# ---------------------------------------------------------------------------
# Files


def _manifest(path: str) -> dict[str, Any] | None:
    """The folder's manifest, None if it has none; a manifest that is not
    ours, or damaged, is an error: the folder may hold someone else's files."""
    name = os.path.join(path, MANIFEST)
    try:
        manifest = json.loads(read_regular(name, most=MOST_MANIFEST_BYTES).decode("utf-8"))
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as error:
        raise ModelError(f"the checkpoint folder {path!r} has a manifest that cannot be read ({error}); "
                           "give another folder, or remove this one to start the run afresh") from error
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT or not isinstance(manifest.get("run"), dict):
        raise ModelError(f"{name!r} is not the manifest of a tavlen checkpoint folder; give another folder")
    if manifest.get("version") != VERSION:
        raise ModelError(
            f"the checkpoint folder {path!r} has version {manifest.get('version')!r}, this tavlen reads version "
            f"{VERSION}; give another folder, or remove this one to start the run afresh"
        )
    return manifest


def kept_seed(path: str | os.PathLike[str]) -> int | None:
    """The seed of the run that a checkpoint folder holds, if it holds one."""
    try:
        manifest = _manifest(os.fspath(path))
    except (ValueError, OSError):
        return None  # the run checks the folder again, and says what is wrong with it
    seed = None if manifest is None else manifest["run"].get("seed")
    return seed if type(seed) is int and seed >= 0 else None


def block_name(index: int) -> str:
    return f"block-{index:06d}.npz"


class Folder:
    """An open checkpoint folder of one run: it loads and stores the run's blocks."""

    def __init__(self, path: str, run: Mapping[str, Any]) -> None:
        self.path = path
        self.key = _run_key(run)
        self.people_n = run["people"]

    def load(self, index: int, first: int, size: int, shapes: Mapping[str, tuple[int, ...]]) -> dict[str, Any] | None:
        """The partial results of a finished block, or None when the block
        has no file, or one that is damaged or not this run's and block's."""
        path = os.path.join(self.path, block_name(index))
        try:
            header, arrays, _ = read_archive(path, "checkpoint block file",
                                             check=lambda _, declared: _stored_as_written(path, declared))
        except (ArchiveError, OSError):
            # Whatever is wrong with a block file (missing, damaged, changed
            # since it was written, something else's), the block is simply run again.
            return None
        if header != {"format": FORMAT, "version": VERSION, "run": self.key, "block": index, "first": first, "size": size}:
            return None
        try:
            aggregates = {name: arrays[name] for name in _AGGREGATE_DTYPES}
            log = {column: arrays[f"individual_{column}"] for column in _LOG_COLUMNS}
        except KeyError:
            return None
        for name, array in aggregates.items():
            if array.dtype != _AGGREGATE_DTYPES[name] or array.shape != shapes[name]:
                return None
        if any(column.dtype != dtype or column.ndim != 1 or len(column) != len(log["universe"])
               for column, dtype in zip(log.values(), _LOG_COLUMNS.values())):
            return None
        # A block's people are dealt from all over the population.
        people = log["individual"]
        if len(people) and int(people.max()) >= self.people_n:
            return None
        return {**aggregates, "individual": log}

    def store(self, index: int, first: int, size: int, partial: Any) -> None:
        """Writes a finished block's partial results."""
        header = {"format": FORMAT, "version": VERSION, "run": self.key, "block": index, "first": first, "size": size}
        arrays = {name: dense(getattr(partial, name)) for name in _AGGREGATE_DTYPES}
        arrays.update({f"individual_{column}": values for column, values in partial.individual.items()})
        # The folder removes what killed runs left when it is opened.
        write_atomically(os.path.join(self.path, block_name(index)),
                         lambda file: write_archive(file, header, arrays, compress=False), tidy=False)


def _stored_as_written(path: str, declared: Declared) -> None:
    """Block files are written uncompressed: a member that declares more
    bytes than it takes in the file was not written by a run, and may ask
    for any amount of memory."""
    for name, (dtype, shape, stored) in declared.items():
        if dtype.itemsize * math.prod(shape) > stored:
            raise ArchiveError(path, "damaged", f"its member {name!r} declares more than it holds")


@contextlib.contextmanager
def opened(path: str | os.PathLike[str], run: Mapping[str, Any]) -> Iterator[Folder]:
    """The checkpoint folder of a run, created if missing and locked while
    the run writes it; a folder that holds another run is refused. A folder
    that cannot be written (read-only media, or no write permission) is
    read without a lock if it holds the finished run, and refused, before
    the run starts, if not; so is a folder without room to write blocks."""
    folder = os.fspath(path)
    if os.path.lexists(folder) and not os.path.isdir(folder):
        raise NotADirectoryError(errno.ENOTDIR, "not a folder (a checkpoint is kept in a folder)", folder)
    if not os.path.isdir(folder):
        os.makedirs(folder, exist_ok=True)
        # The blocks are as durable as the folder's own entry in its parent.
        sync_folder(os.path.dirname(os.path.abspath(folder)))
    blocks = -(-run["people"] // run["block_size"])
    missing = sum(not os.path.isfile(os.path.join(folder, block_name(index))) for index in range(blocks))
    try:
        check_writable(folder, room=_ROOM if missing else 0)
    except OSError as error:
        if error.errno not in _READ_ONLY:
            raise
        # Only read: the lock is for the runs that write.
        if missing:
            raise OSError(error.errno, f"{error.strerror}, and the run kept there is not finished "
                          f"({missing} of {blocks} blocks missing)", folder) from None
        _check_manifest(folder, run, _manifest(folder))
        yield Folder(folder, run)
        return
    with _locked(folder):
        manifest = _manifest(folder)
        if manifest is None:
            content = {"format": FORMAT, "version": VERSION, "run": dict(run)}
            data = json.dumps(content, indent=1).encode("utf-8")
            write_atomically(os.path.join(folder, MANIFEST), lambda file: file.write(data))
        else:
            _check_manifest(folder, run, manifest)
        # Temporary files left by a run that was killed while writing: the
        # lock says that no run is writing them now.
        for entry in os.scandir(folder):
            if _TEMPORARY.fullmatch(entry.name) and entry.is_file(follow_symlinks=False):
                with contextlib.suppress(OSError):
                    os.unlink(entry.path)
        yield Folder(folder, run)


def _check_manifest(folder: str, run: Mapping[str, Any], manifest: dict[str, Any] | None) -> None:
    """Refuses a manifest of another run, and one that its own block files
    do not match: a folder whose manifest was edited (its seed, say) or that
    mixes two runs' files, whose blocks the run would otherwise replace all."""
    if manifest is None:
        raise ModelError(f"the checkpoint folder {folder!r} has no manifest; give another folder")
    differences = _differences(manifest["run"], run)
    if differences:
        *others, last = differences
        raise ModelError(
            f"the checkpoint folder {folder!r} holds the blocks of a different run: the two differ in "
            f"{', '.join(others) + ' and ' if others else ''}{last}; "
            "give another folder, or remove this one to start the run afresh"
        )
    key, others = _run_key(run), 0
    for name in sorted(entry.name for entry in os.scandir(folder) if _BLOCK.fullmatch(entry.name)):
        try:
            header = read_archive(os.path.join(folder, name), "checkpoint block file", header_only=True)[0]
        except (ArchiveError, OSError):
            continue  # damaged files are run again
        if header.get("format") == FORMAT and header.get("run") == key:
            return
        others += header.get("format") == FORMAT
    if others:
        raise ModelError(
            f"the checkpoint folder {folder!r} was edited or mixed: its manifest describes none of its "
            f"{others} block files (were the manifest's seed or identity changed, or files of another run "
            "copied in?); restore the folder, or remove it to start the run afresh"
        )


@contextlib.contextmanager
def _locked(folder: str) -> Iterator[None]:
    """Holds the folder's lock: two runs writing one folder at once would
    remove each other's temporary files."""
    if fcntl is None:
        yield
        return
    descriptor = os.open(os.path.join(folder, _LOCK), os.O_RDWR | os.O_CREAT, 0o644)
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise ModelError(f"the checkpoint folder {folder!r} is in use by another run") from None
        yield
    finally:
        os.close(descriptor)  # releases the lock

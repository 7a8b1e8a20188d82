"""Files that are whole or absent, and archives that know their content.

Every file tavlen hands to a user or keeps for a run is written to a
temporary file in its folder, flushed to disk and renamed over its name, so
a write that fails (a full disk, an interrupt, a killed machine) leaves the
previous file as it was and no partial one.

Its ``.npz`` archives (results files, checkpoint blocks) carry a SHA-256
digest of their header and of the bytes that every array's member stores
(compressed, if the archive is); reading one recomputes it. The archive's
own CRC-32 catches random damage, the digest a file rewritten as a valid
archive with changed numbers. Archives written before the digest existed
have none and are read unchecked.

This module imports nothing of the package.
"""

from __future__ import annotations

import contextlib
import errno
import hashlib
import importlib
import io
import json
import math
import os
import re
import secrets
import stat
import struct
import tokenize
import warnings
import zipfile
import zlib
from collections.abc import Callable, Iterator, Mapping
from typing import Any, BinaryIO

import numpy as np


def _decompressor_errors() -> tuple[type[Exception], ...]:
    """The errors of the decompressors that zipfile may use (bz2's is OSError);
    an interpreter built without one cannot decompress with it either."""
    errors = []
    for module, name in (("lzma", "LZMAError"), ("compression.zstd", "ZstdError")):
        try:
            errors.append(getattr(importlib.import_module(module), name))
        except ImportError:
            pass
    return tuple(errors)


__all__ = ["ArchiveError", "NotARegularFile", "check_writable", "read_archive", "read_regular", "replacing",
           "write_archive", "write_atomically"]

#: The end of a zip archive: the end of central directory record, 22 bytes
#: when the archive has no comment, which tavlen's never have.
_END = b"PK\x05\x06"
_END_SIZE = 22
_START = b"PK\x03\x04"

#: What reading a damaged zip archive from memory raises: zipfile's own
#: error, the decompressors' errors, unsupported versions or methods that a
#: flipped bit asks for, "encrypted" flags, and seeks or reads past the end.
_DAMAGED = (zipfile.BadZipFile, zlib.error, NotImplementedError, RuntimeError, EOFError, OSError, ValueError,
            struct.error, *_decompressor_errors())

#: A zip member's local header; its last two fields are the lengths of the name and the extra field.
_LOCAL_HEADER = struct.Struct("<4s5H3L2H")

#: Deflate's largest ratio of bytes out to bytes in.
_MOST_DEFLATED = 1032
_CHUNK = 1 << 20

#: What parsing an .npy header that is not NumPy's own raises.
_NOT_NPY = (ValueError, SyntaxError, tokenize.TokenError, TypeError, KeyError, struct.error)


class NotARegularFile(OSError):
    """A path that names something other than a regular file (a FIFO, a
    device, a folder, a socket), which tavlen never reads nor replaces."""

    def __init__(self, path: str, mode: int) -> None:
        super().__init__(errno.EINVAL, f"not a regular file but {_kind_of(mode)}", path)


def _kind_of(mode: int) -> str:
    for test, kind in ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                       (stat.S_ISDIR, "a folder"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return kind
    return "something else"


def read_regular(path: str | os.PathLike[str], most: int | None = None) -> bytes:
    """The content of the regular file ``path``, checked on the opened file
    before it is read: a FIFO or a device would hang the read or never end
    it. Opened without blocking (a FIFO without a writer would block the
    open itself). Raises NotARegularFile for anything else, and an OSError
    (EFBIG) for a file of more than ``most`` bytes."""
    name = os.fspath(path)
    descriptor = os.open(name, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    with open(descriptor, "rb", closefd=True) as file:
        status = os.fstat(descriptor)
        if not stat.S_ISREG(status.st_mode):
            raise NotARegularFile(name, status.st_mode)
        if most is not None and status.st_size > most:
            raise OSError(errno.EFBIG, f"too large to be what it should be: {status.st_size:,} bytes, at most "
                          f"{most:,} expected", name)
        return file.read(status.st_size if most is None else most + 1)


def write_atomically(path: str | os.PathLike[str], write: Callable[[BinaryIO], None], tidy: bool = True) -> None:
    """Writes the file ``path`` through ``write(file)`` (a file open for
    reading and writing) so that it exists complete or not at all, even
    across a crash of the process or of the machine; a failed write leaves
    what was there before. See :func:`replacing`."""
    with replacing(path, tidy) as temporary, open(temporary, "r+b") as file:
        write(file)


@contextlib.contextmanager
def replacing(path: str | os.PathLike[str], tidy: bool = True) -> Iterator[str]:
    """A temporary path in the folder of ``path``, for writers that want a
    path rather than a file: when the block ends, the file written there is
    flushed to disk and renamed over ``path``, or, when it fails, removed,
    leaving what was there before. A symbolic link is written through; a
    path that names anything but a regular file is refused. An OSError
    names ``path`` itself. With ``tidy``, the temporary files of earlier
    writers of ``path`` that were killed are removed (a folder that
    removes them itself, as a checkpoint folder does, spares a scan of its
    entries for every file)."""
    target = os.path.realpath(path)
    folder, name = os.path.split(target)
    # A name of its own, so that two writers of one file never share it.
    temporary = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp")
    try:
        try:
            status = os.stat(target)
        except FileNotFoundError:
            status = None
        if status is not None and not stat.S_ISREG(status.st_mode):
            # A link to /dev/null, say: renaming over it would replace the node.
            raise NotARegularFile(os.fspath(path), status.st_mode)
        # Held while the file is written: a later writer removes only the
        # temporary files of writers that are gone (killed in the middle).
        claim = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666)
        try:
            _lock(claim, blocking=True)
            if tidy:
                _remove_abandoned(folder, name, temporary)
            yield temporary
            descriptor = os.open(temporary, os.O_RDWR)
            try:
                os.fsync(descriptor)
            finally:
                os.close(descriptor)
            os.replace(temporary, target)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise
        finally:
            os.close(claim)  # releases the claim
        sync_folder(folder)
    except NotARegularFile:
        raise
    except OSError as error:
        if error.errno is None:
            raise
        raise OSError(error.errno, error.strerror, os.fspath(path)) from error


def _lock(descriptor: int, blocking: bool) -> bool:
    """Takes the exclusive claim of an open file; False if another holds it.
    An open file description's lock (Linux): a writer's own library may flock
    the file (HDF5 does) or close other descriptors of it, and neither
    touches this lock. Elsewhere no claims are taken, and no leftovers removed."""
    try:
        import fcntl
    except ImportError:
        return blocking
    command = getattr(fcntl, "F_OFD_SETLKW" if blocking else "F_OFD_SETLK", None)
    if command is None:
        return blocking
    whole_file = struct.pack("hhqqi4x", fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0)  # struct flock, l_pid 0
    try:
        fcntl.fcntl(descriptor, command, whole_file)
    except OSError as error:
        if error.errno in (errno.EAGAIN, errno.EACCES):
            return False
        return blocking  # a file system without such locks
    return True


def _remove_abandoned(folder: str, name: str, own: str) -> None:
    """Removes the temporary files of earlier writers of ``name`` that were
    killed before they finished: those whose claim no process holds."""
    pattern = re.compile(rf"\.{re.escape(name)}\.[0-9a-f]{{8}}\.tmp")
    try:
        entries = [entry for entry in os.scandir(folder) if pattern.fullmatch(entry.name) and entry.path != own]
    except OSError:
        return
    for entry in entries:
        with contextlib.suppress(OSError):
            if not entry.is_file(follow_symlinks=False):
                continue
            descriptor = os.open(entry.path, os.O_WRONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
            try:
                if _lock(descriptor, blocking=False):
                    os.unlink(entry.path)
            finally:
                os.close(descriptor)


def sync_folder(folder: str) -> None:
    """Makes a rename in the folder durable."""
    if not hasattr(os, "O_DIRECTORY"):
        return  # no folder to sync where folders cannot be opened
    descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    except OSError as error:
        if error.errno not in (errno.EINVAL, errno.ENOTSUP):
            raise  # else a file system that cannot sync a folder: the rename is as durable as it makes it
    finally:
        os.close(descriptor)


def check_writable(folder: str | os.PathLike[str], room: int = 0) -> None:
    """Raises the OSError that writing a file into ``folder`` would meet,
    naming the folder: it is not a folder, cannot be written, or its file
    system reports less than ``room`` bytes free."""
    name = os.fspath(folder)
    if not os.path.isdir(name):
        raise NotADirectoryError(errno.ENOTDIR, "not a folder", name)
    probe = os.path.join(name, f".tavlen-probe.{secrets.token_hex(4)}.tmp")
    try:
        os.close(os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
        os.unlink(probe)
    except OSError as error:
        raise OSError(error.errno, error.strerror, name) from None
    try:
        status = os.statvfs(name)
    except (OSError, AttributeError):  # where the file system does not say
        return
    free = status.f_bavail * status.f_frsize
    if free < room:
        raise OSError(errno.ENOSPC, f"too little room: {free:,} bytes free, {room:,} wanted", name)


# ---------------------------------------------------------------------------
# Archives with a digest


class ArchiveError(ValueError):
    """A file that is not a readable archive of its kind; ``reason`` says
    why: "cut short", "damaged", "changed after it was written" or "not a
    <kind>", as the message does, which also names the file."""

    def __init__(self, path: str, reason: str, detail: str = "") -> None:
        self.path = path
        self.reason = reason
        verb = "was" if reason.startswith("changed") else "is"
        super().__init__(f"{path!r} {verb} {reason}" + (f": {detail}" if detail else ""))


def _digest(header: bytes, archive: bytes | BinaryIO, members: list[zipfile.ZipInfo]) -> str:
    """SHA-256 of the header's JSON and of the members' names, compression
    and stored bytes, in name order; the members are read from ``archive``,
    an archive's bytes or its seekable file."""
    hasher = hashlib.sha256(b"%d\n%s" % (len(header), header))
    for info in sorted(members, key=lambda info: info.filename):
        start = _data_offset(archive, info)
        hasher.update(b"\n%d %d %s\n" % (info.compress_type, info.compress_size, info.filename.encode()))
        if isinstance(archive, bytes):
            if start + info.compress_size > len(archive):
                raise EOFError(f"the member {info.filename!r} runs past the end of the file")
            hasher.update(memoryview(archive)[start : start + info.compress_size])
            continue
        archive.seek(start)
        for left in range(info.compress_size, 0, -_CHUNK):
            chunk = archive.read(min(left, _CHUNK))
            if not chunk:
                raise EOFError(f"the member {info.filename!r} runs past the end of the file")
            hasher.update(chunk)
    return "sha256:" + hasher.hexdigest()


def _data_offset(archive: bytes | BinaryIO, info: zipfile.ZipInfo) -> int:
    """Where a member's stored bytes start: after its local header, whose
    name and extra field may differ in length from the central directory's."""
    if isinstance(archive, bytes):
        local = archive[info.header_offset : info.header_offset + _LOCAL_HEADER.size]
    else:
        archive.seek(info.header_offset)
        local = archive.read(_LOCAL_HEADER.size)
    if len(local) != _LOCAL_HEADER.size:
        raise EOFError(f"the member {info.filename!r} runs past the end of the file")
    name_length, extra_length = _LOCAL_HEADER.unpack(local)[-2:]
    return info.header_offset + _LOCAL_HEADER.size + name_length + extra_length


def write_archive(file: BinaryIO, header: Mapping[str, Any], arrays: Mapping[str, np.ndarray], compress: bool) -> None:
    """Writes an ``.npz`` archive of the arrays and of the JSON ``header``
    (as the uint8 array "header", the last member), which gains the key
    "digest". ``file`` is read as well as written."""
    # Through JSON and back: the header read from the file is then this one.
    plain = json.loads(json.dumps(header, allow_nan=False))
    with zipfile.ZipFile(file, "w", zipfile.ZIP_DEFLATED if compress else zipfile.ZIP_STORED, allowZip64=True) as archive:
        for name, array in arrays.items():
            with archive.open(f"{name}.npy", "w", force_zip64=True) as member:
                np.lib.format.write_array(member, np.asanyarray(array), allow_pickle=False)
        # zipfile seeks back to where it left off for the next member.
        digest = _digest(json.dumps(plain, allow_nan=False).encode("utf-8"), file, archive.infolist())
        text = json.dumps({**plain, "digest": digest}, allow_nan=False).encode("utf-8")
        with archive.open("header.npy", "w", force_zip64=True) as member:
            np.lib.format.write_array(member, np.frombuffer(text, np.uint8), allow_pickle=False)


#: What the members of an archive declare, before they are read: name (without
#: ".npy") to dtype, shape and the bytes the member takes in the file.
Declared = dict[str, tuple[np.dtype, tuple[int, ...], int]]


def read_archive(
    path: str | os.PathLike[str], kind: str, error: type[ArchiveError] = ArchiveError, header_only: bool = False,
    check: Callable[[dict[str, Any], Declared], None] | None = None,
) -> tuple[dict[str, Any], dict[str, np.ndarray], bool]:
    """The JSON header and the arrays of an archive that :func:`write_archive`
    wrote, and whether it carried a digest (files written before it did
    have none). Raises ``error`` (an :class:`ArchiveError`) for a file that
    is cut short, damaged, changed after it was written, not a ``kind`` or
    not a regular file; an OSError when the file cannot be read. With
    ``header_only``, the header alone, unchecked, and no arrays.

    ``check(header, declared)`` sees the header and what every member
    declares before any member is read, and raises ``error`` for a file
    whose members do not fit its header: a small file may declare
    gigabytes."""
    name = os.fspath(path)
    try:
        data = read_regular(path)  # then nothing below reads the disk: an OSError there is damage
    except NotARegularFile as special:
        raise error(name, f"not a {kind}", f"it is {special.strerror.removeprefix('not a regular file but ')}, "
                    "not a regular file") from None
    if not data:
        raise error(name, "cut short", "it is empty")
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
    except _DAMAGED as damage:
        intact_end = data[-_END_SIZE:].startswith(_END)
        if _START.startswith(data[:4]) and not intact_end:  # a zip archive's start, maybe a piece of one
            raise error(name, "cut short", "its archive ends early") from None
        if data.startswith(_START[:2]) or intact_end:
            raise error(name, "damaged", f"{type(damage).__name__}: {damage}") from None
        raise error(name, f"not a {kind}", "it is not an .npz archive") from None

    def declared(info: zipfile.ZipInfo) -> tuple[np.dtype, tuple[int, ...], bool]:
        """What an .npy member's header declares; never a pickle."""
        try:
            with archive.open(info) as stream:
                return read_header(stream, info)
        except _DAMAGED as damage:
            if isinstance(damage, ArchiveError):
                raise
            raise error(name, "damaged", f"{type(damage).__name__}: {damage}") from None

    def read_header(stream: BinaryIO, info: zipfile.ZipInfo) -> tuple[np.dtype, tuple[int, ...], bool]:
        try:
            return _npy_header(stream)
        except _NOT_NPY as damage:
            raise error(name, "damaged", f"its member {info.filename!r} is not a NumPy array: {damage}") from None

    def member(info: zipfile.ZipInfo) -> tuple[np.dtype, tuple[int, ...], bool, np.ndarray]:
        """The dtype, shape, order and bytes (a flat array) of an .npy member,
        never a pickle, checked against its CRC-32."""
        try:
            with archive.open(info) as stream:
                dtype, shape, fortran = read_header(stream, info)
                size = dtype.itemsize * math.prod(shape)
                # Sizes checked before memory is taken: a damaged shape may ask for any amount.
                if (size != info.file_size - stream.tell() or info.compress_size > len(data)
                        or size > _MOST_DEFLATED * info.compress_size + 4096):
                    raise error(name, "damaged", f"its member {info.filename!r} does not hold the {shape} of its header")
                flat = np.empty(math.prod(shape), dtype)
                raw = memoryview(flat.view(np.uint8))
                filled = 0
                while filled < size:
                    read = stream.readinto(raw[filled : filled + _CHUNK])
                    if not read:
                        raise EOFError("the member ends early")
                    filled += read
                if stream.read(1):  # also checks the CRC-32, if the last read did not
                    raise error(name, "damaged", f"its member {info.filename!r} holds more than its header says")
        except _DAMAGED as damage:
            if isinstance(damage, ArchiveError):
                raise
            raise error(name, "damaged", f"{type(damage).__name__}: {damage}") from None
        return dtype, shape, fortran, flat

    with archive:
        infos = archive.infolist()
        headers = [info for info in infos if info.filename == "header.npy"]
        if len(headers) != 1 or not all(info.filename.endswith(".npy") for info in infos):
            raise error(name, f"not a {kind}", "it is an archive without a tavlen header")
        text = member(headers[0])[3].tobytes()
        try:
            header = json.loads(text.decode("utf-8"))
        except ValueError:  # UnicodeDecodeError and JSONDecodeError alike
            header = None
        if not isinstance(header, dict):
            raise error(name, f"not a {kind}", "its header is not tavlen's")
        digest = header.pop("digest", None)
        if header_only:
            return header, {}, digest is not None
        try:
            text = json.dumps(header, allow_nan=False).encode("utf-8")
        except ValueError:  # NaN, which no header that tavlen writes holds
            text = b""
        others = [info for info in infos if info is not headers[0]]
        if check is not None:
            check(header, {info.filename[:-4]: (*declared(info)[:2], info.compress_size) for info in others})
        arrays = {}
        for info in others:
            dtype, shape, fortran, flat = member(info)
            arrays[info.filename[:-4]] = flat.reshape(shape, order="F" if fortran else "C")
        # After the CRC-32 checks: a member damaged at random is "damaged", not "changed".
        try:
            found = _digest(text, data, others) if digest is not None else None
        except EOFError as damage:
            raise error(name, "damaged", str(damage)) from None
    if digest is not None and digest != found:
        raise error(name, "changed after it was written", "its content does not match its digest")
    return header, arrays, digest is not None


def _npy_header(stream: BinaryIO) -> tuple[np.dtype, tuple[int, ...], bool]:
    """The dtype, shape and order in an .npy header; never a dtype of Python objects."""
    version = np.lib.format.read_magic(stream)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SyntaxWarning)  # the header is parsed as a Python literal
        if version == (1, 0):
            shape, fortran, dtype = np.lib.format.read_array_header_1_0(stream)
        elif version == (2, 0):
            shape, fortran, dtype = np.lib.format.read_array_header_2_0(stream)
        else:
            raise ValueError(f"unknown .npy version {version}")
    if dtype.hasobject or dtype.itemsize == 0:
        raise ValueError(f"it holds {dtype}")
    return dtype, tuple(shape), bool(fortran)

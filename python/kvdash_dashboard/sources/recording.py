"""Recordings: what the games sent, with its timing, to play back later.

A file is a header line and then one record per arrival: the seconds since
the start (f64), the channel it came in on (a short name: the family of a
shared-memory page, or "udp:" and the families sharing a port), and the
bytes as they came."""

from __future__ import annotations

import contextlib
import errno
import glob
import os
import struct
import sys
import tempfile
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import BinaryIO

MAGIC = b"kvdash recording 1\n"
_HEAD = struct.Struct("<dB")  # time, channel length
_SIZE = struct.Struct("<I")
MAX_DATA = 1 << 20  # no packet or page snapshot of ours is larger
MAX_SIZE = 2 << 30  # bytes: a recording stops growing here


class RecordingError(Exception):
    """The file is not a recording, or is damaged."""


class RecordingDamaged(RecordingError):
    """A recording damaged or cut short: what came before is whole."""


@dataclass(frozen=True, slots=True)
class Arrival:
    time: float  # s since the recording started
    channel: str
    data: bytes


def _stderr(text: str) -> None:
    try:
        print(text, file=sys.stderr, flush=True)
    except (OSError, ValueError, AttributeError):
        pass


def same_file(a: str, b: str) -> bool:
    """Whether two names reach one file, however they are spelled (links,
    relative paths, a symbolic link to it)."""
    try:
        return os.path.samefile(a, b)
    except OSError:  # one of them does not exist (yet): not the same
        return os.path.realpath(a) == os.path.realpath(b)


class CannotRecord(Exception):
    """The recording cannot start; str() is the line for the user."""


_NO_LOCKS = {errno.ENOLCK, errno.EOPNOTSUPP, errno.ENOSYS, errno.EINVAL}


def _lock(path: str) -> int:
    """Takes the lock file's lock without waiting; answers its descriptor.
    Raises CannotRecord when another run holds it."""
    while True:
        fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o666)
        try:
            if sys.platform == "win32":
                import msvcrt

                try:
                    msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)
                except OSError:  # its errno varies (EACCES, EDEADLOCK; 0 under Wine)
                    os.close(fd)
                    raise CannotRecord("another kvdash-dashboard is recording to it") from None
                return fd
            import fcntl

            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            # A run ending meanwhile removes the file it held: lock the one there now.
            if os.path.exists(path) and os.path.samestat(os.fstat(fd), os.stat(path)):
                return fd
        except OSError as error:
            if error.errno in _NO_LOCKS:  # a file system without locks: record unguarded
                return fd
            os.close(fd)
            if error.errno in (errno.EACCES, errno.EAGAIN, errno.EDEADLK):
                raise CannotRecord("another kvdash-dashboard is recording to it") from None
            raise
        os.close(fd)


def _size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def _plain(error: OSError, folder: str) -> str:
    """An error in words that name no hidden file of ours."""
    if isinstance(error, FileNotFoundError):
        return f"there is no folder {folder}"
    return str(error.strerror or error)


def free_name(path: str) -> str:
    """path, or where it holds a file already, the first of path with -1,
    -2, ... before its extension that does not: a recording is never replaced."""
    if not os.path.lexists(path) or not os.path.isfile(path):
        return path  # new, or a device or pipe written to as it is
    stem, extension = os.path.splitext(path)
    n = 1
    while os.path.lexists(f"{stem}-{n}{extension}"):
        n += 1
    return f"{stem}-{n}{extension}"


class Recorder:
    """Writes to a new file beside the target, moved into place at close():
    a run that is cut off never leaves half of an older recording, nor does
    one whose file could not be written. A lock file beside the target keeps
    a second run from recording to it at the same time. A write error or the
    size cap stops the recording, said once, and nothing else."""

    def __init__(self, path: str, start: float, max_size: int = MAX_SIZE) -> None:
        """start: the time.monotonic() the recording's times count from.
        Raises CannotRecord."""
        self.asked = os.path.realpath(path)
        # A link to it stays a link; where it names a file, the next free name.
        self.path = os.path.realpath(free_name(path))
        self.say: Callable[[str], None] = _stderr
        self.stopped = False
        self.failed = False  # a write failed: what was kept is not the whole run
        self.kept = 0  # records written
        self.where: str | None = None  # the file the recording is in, once closed
        self.leftovers: list[str] = []  # .part files of earlier runs cut off, for the user
        self._start = start
        self._max_size = max_size
        self._temporary: str | None = None
        self._lock_path: str | None = None
        self._lock_fd: int | None = None
        folder, name = os.path.split(self.path)
        try:
            if os.path.exists(self.path) and not os.path.isfile(self.path):
                self._file: BinaryIO = open(self.path, "wb")  # a device or a pipe: no file to swap
            else:
                self._lock_path = os.path.join(folder, f".{name}.lock")
                self._lock_fd = _lock(self._lock_path)
                self.leftovers = sorted(
                    glob.glob(os.path.join(glob.escape(folder), f".{glob.escape(name)}.*.part"))
                )
                fd, self._temporary = tempfile.mkstemp(
                    prefix=f".{name}.", suffix=".part", dir=folder
                )
                self._file = os.fdopen(fd, "wb")
                mask = os.umask(0)  # a temporary file is private: the recording need not be
                os.umask(mask)
                with contextlib.suppress(OSError):
                    os.chmod(self._temporary, 0o666 & ~mask)
        except CannotRecord as error:
            self._unlock(remove=False)
            raise CannotRecord(f"cannot record to {self.path}: {error}") from None
        except OSError as error:
            self._unlock()
            raise CannotRecord(f"cannot record to {self.path}: {_plain(error, folder)}") from None
        self._size = 0
        self._write(MAGIC)

    def write(self, now: float, channel: str, data: bytes) -> None:
        if self.stopped:
            return
        name = channel.encode("ascii")
        record = _HEAD.pack(max(0.0, now - self._start), len(name)) + name
        record += _SIZE.pack(len(data)) + data
        if self._size + len(record) > self._max_size:
            self._stop(f"it reached the cap of {self._max_size >> 20} MiB")
            return
        if self._write(record):
            self.kept += 1

    def _write(self, data: bytes) -> bool:
        try:
            self._file.write(data)
        except OSError as error:
            self.failed = True
            self._stop(f"cannot write it ({error.strerror or error})")
            return False
        self._size += len(data)
        return True

    def _stop(self, why: str) -> None:
        self.stopped = True
        self.say(f"Recording to {self.path} stopped: {why}. The dashboard goes on.")

    def close(self) -> None:
        """Moves the recording into place, unless it could not be written
        and an older recording is there (then the new one is kept beside it,
        and said); never raises."""
        try:
            if self._temporary is not None and not self.failed:
                self._file.flush()
                os.fsync(self._file.fileno())  # a full disk shows here, not later
        except OSError as error:
            self._failed_at_end(error)
        try:
            self._file.close()
        except OSError as error:
            self._failed_at_end(error)
        try:
            self._keep()
        finally:
            self._unlock()

    def _failed_at_end(self, error: OSError) -> None:
        if not self.failed:
            self.failed = self.stopped = True
            self.say(f"Recording to {self.path}: cannot write its end ({error.strerror or error}).")

    def _keep(self) -> None:
        if self._temporary is None:
            self.where = self.path
            return
        if self.failed and os.path.exists(self.path):
            # What was kept is not the whole run: the older recording stays.
            if _size(self._temporary) > len(MAGIC):
                self.where = self._temporary
                self.say(
                    f"The older {self.path} is kept; what this run could write "
                    f"of its recording is in {self._temporary}."
                )
                return
            self.say(f"The older {self.path} is kept; nothing of this run could be written.")
            with contextlib.suppress(OSError):
                os.unlink(self._temporary)
            return
        if os.path.lexists(self.path):  # made meanwhile, by something else: kept too
            taken, self.path = self.path, free_name(self.path)
            self.say(f"{taken} was made while recording: this recording is {self.path}.")
        try:
            os.replace(self._temporary, self.path)
            self.where = self.path
        except OSError as error:
            self.where = self._temporary
            self.say(
                f"cannot keep the recording as {self.path}: {error.strerror or error}; "
                f"it is in {self._temporary}."
            )

    def _unlock(self, remove: bool = True) -> None:
        if self._lock_fd is None:
            return
        if remove and self._lock_path is not None and sys.platform != "win32":
            with contextlib.suppress(OSError):
                os.unlink(self._lock_path)  # while still held: see _lock()
        os.close(self._lock_fd)
        self._lock_fd = None
        if remove and self._lock_path is not None and sys.platform == "win32":
            with contextlib.suppress(OSError):
                os.unlink(self._lock_path)


# Made where they are raised, never kept in the reader's frame beforehand: an
# exception held there forms a cycle with its traceback, which would keep the
# caller's frames (and the display's engine in them) alive until the collector
# runs, and the display unblanked.
def _cut(path: str, at: int) -> RecordingDamaged:
    return RecordingDamaged(f"{path}: cut short at byte {at} (the last record is incomplete)")


def _damaged(path: str, at: int) -> RecordingDamaged:
    return RecordingDamaged(f"{path}: damaged record at byte {at}")


def read_recording(path: str) -> Iterator[Arrival]:
    """The arrivals of a recording, in order. Raises RecordingError on a
    file that is not one, and after the last whole record of a damaged or
    cut-short one."""
    with open(path, "rb") as f:
        if f.read(len(MAGIC)) != MAGIC:
            raise RecordingError(f"{path}: not a kvdash recording")
        last = 0.0
        while True:
            at = f.tell()
            head = f.read(_HEAD.size)
            if not head:
                return
            if len(head) < _HEAD.size:
                raise _cut(path, at)
            time, length = _HEAD.unpack(head)
            name = f.read(length)
            size_bytes = f.read(_SIZE.size)
            if len(name) < length or len(size_bytes) < _SIZE.size:
                raise _cut(path, at)
            (size,) = _SIZE.unpack(size_bytes)
            if not (time >= last and time < 1e9) or size > MAX_DATA:
                raise _damaged(path, at)
            data = f.read(size)
            if len(data) < size:
                raise _cut(path, at)
            try:
                channel = name.decode("ascii")
            except UnicodeDecodeError:
                raise _damaged(path, at) from None
            last = time
            yield Arrival(time, channel, data)

"""Recordings: what the games sent, with its timing, to play back later.

A file is a header line and then one record per arrival: the seconds since
the start (f64), the channel it came in on (a short name: the family of a
shared-memory page, or "udp:" and the families sharing a port), and the
bytes as they came."""

from __future__ import annotations

import contextlib
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


class Recorder:
    """Writes to a new file beside the target, moved into place at close():
    a run that is cut off never leaves half of an older recording. A write
    error or the size cap stops the recording, said once, and nothing else."""

    def __init__(self, path: str, start: float, max_size: int = MAX_SIZE) -> None:
        """start: the time.monotonic() the recording's times count from."""
        self.path = os.path.realpath(path)  # a link to it stays a link
        self.say: Callable[[str], None] = _stderr
        self.stopped = False
        self._start = start
        self._max_size = max_size
        self._temporary: str | None = None
        if os.path.exists(self.path) and not os.path.isfile(self.path):
            self._file: BinaryIO = open(self.path, "wb")  # a device or a pipe: no file to swap
        else:
            folder, name = os.path.split(self.path)
            fd, self._temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder)
            self._file = os.fdopen(fd, "wb")
            mask = os.umask(0)  # a temporary file is private: the recording need not be
            os.umask(mask)
            with contextlib.suppress(OSError):
                os.chmod(self._temporary, 0o666 & ~mask)
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
        self._write(record)

    def _write(self, data: bytes) -> None:
        try:
            self._file.write(data)
        except OSError as error:
            self._stop(f"cannot write it ({error.strerror or error})")
            return
        self._size += len(data)

    def _stop(self, why: str) -> None:
        self.stopped = True
        self.say(f"Recording to {self.path} stopped: {why}. The dashboard goes on.")

    def close(self) -> None:
        """Moves the recording into place; never raises (a problem is said)."""
        try:
            self._file.close()
        except OSError as error:
            if not self.stopped:
                self.stopped = True
                why = error.strerror or error
                self.say(f"Recording to {self.path}: cannot write its end ({why}).")
        if self._temporary is None:
            return
        try:
            os.replace(self._temporary, self.path)
        except OSError as error:
            self.say(f"cannot keep the recording as {self.path}: {error.strerror or error}")
            try:
                os.unlink(self._temporary)
            except OSError:
                pass


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
            cut = RecordingError(f"{path}: cut short at byte {at} (the last record is incomplete)")
            damaged = RecordingError(f"{path}: damaged record at byte {at}")
            if len(head) < _HEAD.size:
                raise cut
            time, length = _HEAD.unpack(head)
            name = f.read(length)
            size_bytes = f.read(_SIZE.size)
            if len(name) < length or len(size_bytes) < _SIZE.size:
                raise cut
            (size,) = _SIZE.unpack(size_bytes)
            if not (time >= last and time < 1e9) or size > MAX_DATA:
                raise damaged
            data = f.read(size)
            if len(data) < size:
                raise cut
            try:
                channel = name.decode("ascii")
            except UnicodeDecodeError:
                raise damaged from None
            last = time
            yield Arrival(time, channel, data)

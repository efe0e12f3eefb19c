"""Recordings: what the games sent, with its timing, to play back later.

A file is a header line and then one record per arrival: the seconds since
the start (f64), the channel it came in on (a short name: the family of a
shared-memory page, or "udp:" and the families sharing a port), and the
bytes as they came."""

from __future__ import annotations

import struct
from collections.abc import Iterator
from dataclasses import dataclass
from typing import BinaryIO

MAGIC = b"kvdash recording 1\n"
_HEAD = struct.Struct("<dB")  # time, channel length
_SIZE = struct.Struct("<I")
MAX_DATA = 1 << 20  # no packet or page snapshot of ours is larger


class RecordingError(Exception):
    """The file is not a recording, or is damaged."""


@dataclass(frozen=True, slots=True)
class Arrival:
    time: float  # s since the recording started
    channel: str
    data: bytes


class Recorder:
    def __init__(self, path: str, start: float) -> None:
        """start: the time.monotonic() the recording's times count from."""
        self._file: BinaryIO = open(path, "wb")
        self._file.write(MAGIC)
        self._start = start

    def write(self, now: float, channel: str, data: bytes) -> None:
        name = channel.encode("ascii")
        self._file.write(_HEAD.pack(max(0.0, now - self._start), len(name)) + name)
        self._file.write(_SIZE.pack(len(data)) + data)

    def close(self) -> None:
        self._file.close()


def read_recording(path: str) -> Iterator[Arrival]:
    """The arrivals of a recording, in order. Raises RecordingError on a
    file that is not one; a file cut short ends at its last whole record."""
    with open(path, "rb") as f:
        if f.read(len(MAGIC)) != MAGIC:
            raise RecordingError(f"{path}: not a kvdash recording")
        last = 0.0
        while True:
            head = f.read(_HEAD.size)
            if len(head) < _HEAD.size:
                return
            time, length = _HEAD.unpack(head)
            name = f.read(length)
            size_bytes = f.read(_SIZE.size)
            if len(name) < length or len(size_bytes) < _SIZE.size:
                return
            (size,) = _SIZE.unpack(size_bytes)
            if not (time >= last and time < 1e9) or size > MAX_DATA:
                raise RecordingError(f"{path}: damaged record at byte {f.tell()}")
            data = f.read(size)
            if len(data) < size:
                return
            try:
                channel = name.decode("ascii")
            except UnicodeDecodeError:
                raise RecordingError(f"{path}: damaged record at byte {f.tell()}") from None
            last = time
            yield Arrival(time, channel, data)

"""Where bytes come in: UDP sockets, shared-memory readers, and recordings
played back. Each hands its bytes to the decoders of its channel and answers
the telemetry that came out, tagged with the family that spoke."""

from __future__ import annotations

import socket
from collections.abc import Iterator, Sequence
from dataclasses import dataclass

from .record import Arrival, Recorder
from .sources import FAMILIES, Decoder, Family, Reader
from .telemetry import Telemetry

# At most this many datagrams are taken per wake-up, so a flood cannot keep
# the loop from sending what it has.
DRAIN_LIMIT = 256
RECEIVE_BUFFER = 1 << 20
MAX_DATAGRAM = 65535


@dataclass(frozen=True, slots=True)
class Heard:
    family: Family
    telemetry: Telemetry


class Channel:
    """The decoders of the families that share one way in, tried in order."""

    def __init__(self, families: Sequence[Family], name: str) -> None:
        self.families = tuple(families)
        self.decoders: tuple[Decoder, ...] = tuple(f.decoder() for f in families)
        self.name = name
        self.packets = 0
        self.bad = 0

    def decode(self, data: bytes) -> Heard | None:
        for family, decoder in zip(self.families, self.decoders, strict=True):
            telemetry = decoder.decode(data)
            if telemetry is not None:
                self.packets += 1
                return Heard(family, telemetry)
        self.bad += 1
        return None


def channel_for(name: str) -> Channel:
    """The channel a recording names: "udp:f1,codemasters" or a family name."""
    names = name[4:].split(",") if name.startswith("udp:") else [name]
    families = [FAMILIES[n] for n in names if n in FAMILIES]
    return Channel(families, name)


class UdpInput:
    """One socket, and the families that send to its port."""

    def __init__(self, families: Sequence[Family], host: str, port: int) -> None:
        self.channel = Channel(families, "udp:" + ",".join(f.name for f in families))
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            try:
                self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RECEIVE_BUFFER)
            except OSError:
                pass  # the system's default buffer will do
            self.socket.bind((host, port))
        except OSError:
            self.socket.close()
            raise
        self.socket.setblocking(False)
        self.address: tuple[str, int] = self.socket.getsockname()

    def fileno(self) -> int:
        return self.socket.fileno()

    def receive(self, now: float, recorder: Recorder | None) -> list[Heard]:
        """Takes what has arrived; answers the newest telemetry of each family."""
        newest: dict[str, Heard] = {}
        for _ in range(DRAIN_LIMIT):
            try:
                data = self.socket.recv(MAX_DATAGRAM)
            except (BlockingIOError, InterruptedError):
                break
            except OSError:  # e.g. an ICMP error reported on a UDP socket
                self.channel.bad += 1
                break
            if recorder is not None:
                recorder.write(now, self.channel.name, data)
            heard = self.channel.decode(data)
            if heard is not None:
                newest[heard.family.name] = heard
        return list(newest.values())

    def close(self) -> None:
        self.socket.close()


class PolledInput:
    """A shared-memory game (or the simulated lap), polled by its reader."""

    def __init__(self, family: Family, reader: Reader) -> None:
        self.channel = Channel([family], family.name)
        self.reader = reader

    @property
    def next_poll(self) -> float:
        return self.reader.next_poll

    @property
    def problem(self) -> str | None:
        """Why the game's pages are refused, while they are."""
        return self.reader.problem

    def poll(self, now: float, recorder: Recorder | None) -> list[Heard]:
        data = self.reader.poll(now)
        if data is None:
            return []
        if recorder is not None:
            recorder.write(now, self.channel.name, data)
        heard = self.channel.decode(data)
        return [] if heard is None else [heard]

    def close(self) -> None:
        self.reader.close()


class ReplayInput:
    """A recording played back at its own pace, through the same decoders."""

    def __init__(self, arrivals: Iterator[Arrival]) -> None:
        self._arrivals = arrivals
        self._channels: dict[str, Channel] = {}
        self._start: float | None = None
        self._pending: Arrival | None = next(arrivals, None)
        self.next_poll = 0.0

    @property
    def finished(self) -> bool:
        return self._pending is None

    @property
    def channels(self) -> list[Channel]:
        return list(self._channels.values())

    def poll(self, now: float, recorder: Recorder | None) -> list[Heard]:
        if self._start is None:
            self._start = now
        newest: dict[str, Heard] = {}
        while self._pending is not None and self._start + self._pending.time <= now:
            arrival = self._pending
            channel = self._channels.get(arrival.channel)
            if channel is None:
                channel = self._channels[arrival.channel] = channel_for(arrival.channel)
            if recorder is not None:
                recorder.write(now, arrival.channel, arrival.data)
            heard = channel.decode(arrival.data)
            if heard is not None:
                newest[heard.family.name] = heard
            self._pending = next(self._arrivals, None)
        if self._pending is not None:
            self.next_poll = self._start + self._pending.time
        return list(newest.values())

    def close(self) -> None:
        pass

"""Where bytes come in: UDP sockets, shared-memory readers, and recordings
played back. Each hands its bytes to the decoders of its channel and answers
the telemetry that came out, tagged with the family that spoke."""

from __future__ import annotations

import socket
from collections.abc import Iterator, Sequence
from dataclasses import dataclass

from ..telemetry import Telemetry
from . import FAMILIES, Decoder, Family, Reader, diagnose
from .base import printable_text, text_fields
from .recording import Arrival, Recorder, RecordingError

# At most this many datagrams are taken per wake-up, so a flood cannot keep
# the loop from sending what it has.
DRAIN_LIMIT = 256
# Wake-ups closer than this are a flood: drained. Slower, a wake-up takes the
# one datagram the game sent, without the failed read (an exception, as
# dear as the rest of the packet's reading) that ends a drain.
FLOOD_GAP = 0.001  # s
RECEIVE_BUFFER = 1 << 20
MAX_DATAGRAM = 65535
# A recording keeps what a decoder took, and of the rest only this many a
# channel: enough to see a game set up wrong, not a flood from anyone.
REFUSED_KEPT = 100
MAX_GAP = 3.0  # s: a longer silence in a recording is shortened to this on replay
ANY_ADDRESS = "0.0.0.0"


@dataclass(slots=True)  # one a packet: see Telemetry
class Heard:
    family: Family
    telemetry: Telemetry


class Channel:
    """The decoders of the families that share one way in, tried in order."""

    def __init__(self, families: Sequence[Family], name: str, port: int | None = None) -> None:
        self.families = tuple(families)
        self.decoders: tuple[Decoder, ...] = tuple(f.decoder() for f in families)
        # Each family with what to say of a packet it read; looked up once.
        self._readers = tuple(
            (f, d, diagnose.advice_for(f))
            for f, d in zip(self.families, self.decoders, strict=True)
        )
        self.name = name
        self.port = port
        self.listening: frozenset[int] | None = None  # every port the app listens on
        self.moved = False  # the port is where the user said (--listen)
        self.bad = 0
        self.read_by = dict.fromkeys((f.name for f in self.families), 0)  # packets per family
        # What the last packet says is wrong with the game's settings, from
        # the first packet on: "20777: F1 packets of format 2022: ..."
        self.problem: str | None = None
        # The texts (game, car, track) as last made printable: a game names the
        # same car packet after packet, and these are looked at only when they change.
        self._printable: object = None

    @property
    def packets(self) -> int:
        """Packets read, by every family."""
        return sum(self.read_by.values())

    def decode(self, data: bytes) -> Heard | None:
        for family, decoder, advice in self._readers:
            telemetry = decoder.decode(data)
            if telemetry is not None:
                self.read_by[family.name] += 1
                if advice is not None or self.problem is not None:
                    self._say(advice(data) if advice is not None else None)
                if text_fields(telemetry) != self._printable:
                    self._printable = text_fields(printable_text(telemetry))
                return Heard(family, telemetry)
        self.bad += 1
        self._say(diagnose.refused(data, self.families, self.port, self.listening, self.moved))
        return None

    def take(self, now: float, data: bytes, recorder: Recorder | None) -> Heard | None:
        """Decodes, and records what was decoded (and a sample of the rest)."""
        heard = self.decode(data)
        if recorder is not None and (heard is not None or self.bad <= REFUSED_KEPT):
            recorder.write(now, self.name, data)
        return heard

    def _say(self, problem: str | None) -> None:
        if problem is not None and self.port is not None:
            problem = f"{self.port}: {problem}"
        self.problem = problem


def channel_for(name: str) -> Channel:
    """The channel a recording names: "udp:f1,codemasters" or a family name."""
    names = name[4:].split(",") if name.startswith("udp:") else [name]
    families = [FAMILIES[n] for n in names if n in FAMILIES]
    return Channel(families, name)


def address_family(host: str) -> socket.AddressFamily:
    return socket.AF_INET6 if ":" in host else socket.AF_INET


class UdpInput:
    """One socket, and the families that send to its port. Where these are
    a console's, only datagrams from the console (its address) are taken."""

    def __init__(
        self, families: Sequence[Family], host: str, port: int, console: str | None = None
    ) -> None:
        self.channel = Channel(families, "udp:" + ",".join(f.name for f in families))
        self.console = console if any(f.request for f in families) else None
        group = next((f.multicast for f in families if f.multicast), None)
        # Multicast reaches only a socket bound to every address: one bound to
        # the address asked for hears what is sent to that address alone.
        self.group = group if host == ANY_ADDRESS else None
        self.unjoined = None if self.group is not None else group  # left out, to be said
        self.join_error: OSError | None = None  # why the group could not be joined
        self.socket = socket.socket(address_family(host), socket.SOCK_DGRAM)
        try:
            try:
                self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RECEIVE_BUFFER)
            except OSError:
                pass  # the system's default buffer will do
            if self.group is not None:
                # Other programs may listen to the same group and port.
                self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.socket.bind((host, port))
        except OSError:
            self.socket.close()
            raise
        if self.group is not None:
            self._join(self.group)
        self.socket.setblocking(False)
        self.address: tuple[str, int] = self.socket.getsockname()[:2]
        self._woken = -1.0  # when receive() was last called
        self.channel.port = self.address[1]

    def _join(self, group: str) -> None:
        """Joins the group on the system's choice of interface; without it
        only datagrams sent to this computer arrive, which is no reason to stop."""
        try:
            request = socket.inet_aton(group) + socket.inet_aton(ANY_ADDRESS)
            self.socket.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, request)
        except OSError as error:  # no multicast route
            self.join_error = error

    def fileno(self) -> int:
        return self.socket.fileno()

    def receive(
        self, now: float, recorder: Recorder | None, heard: list[Heard] | None = None
    ) -> list[Heard]:
        """Takes what has arrived: the newest telemetry of each family, added
        to ``heard`` (a new list by default), which is answered."""
        taken: list[Heard] = [] if heard is None else heard
        first = len(taken)
        limit = DRAIN_LIMIT if now - self._woken < FLOOD_GAP else 1
        self._woken = now
        for _ in range(limit):
            try:
                if self.console is None:
                    data = self.socket.recv(MAX_DATAGRAM)
                else:
                    data, sender = self.socket.recvfrom(MAX_DATAGRAM)
                    if sender[0] != self.console:
                        self.channel.bad += 1  # not the console asked: not recorded either
                        continue
            except (BlockingIOError, InterruptedError):
                break
            except OSError:  # e.g. an ICMP error reported on a UDP socket
                self.channel.bad += 1
                break
            if recorder is None:
                one = self.channel.decode(data)
            else:
                one = self.channel.take(now, data, recorder)
            if one is not None:
                taken.append(one)
        if len(taken) - first > 1:  # a burst: only the newest of each family counts
            taken[first:] = {h.family.name: h for h in taken[first:]}.values()
        return taken

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
        """Why the game's mapping cannot be read, else what its data says."""
        return self.reader.problem or self.channel.problem

    def poll(self, now: float, recorder: Recorder | None) -> list[Heard]:
        data = self.reader.poll(now)
        if data is None:
            return []
        heard = self.channel.take(now, data, recorder)
        return [] if heard is None else [heard]

    def close(self) -> None:
        self.reader.close()


class ReplayInput:
    """A recording played back at its own pace, through the same decoders;
    a long silence in it is shortened (and said), and damage ends the replay
    after the last whole record (kept in `damage`)."""

    def __init__(self, arrivals: Iterator[Arrival]) -> None:
        self._arrivals = arrivals
        self.notes: list[str] = []  # for the user, taken by the loop
        self._channels: dict[str, Channel] = {}
        self._start: float | None = None
        self._skipped = 0.0  # s of long gaps left out so far
        self._last = 0.0  # the recording's time of the arrival played last
        self.damage: str | None = None
        # A file that is not a recording at all is refused here, before the loop.
        self._pending: Arrival | None = next(arrivals, None)
        self.next_poll = 0.0

    def _next(self) -> Arrival | None:
        try:
            return next(self._arrivals, None)
        except RecordingError as error:
            self.damage = str(error)
        except OSError as error:
            self.damage = f"cannot read the recording: {error.strerror or error}"
        return None

    def _shorten_gap(self) -> None:
        if self._pending is None:
            return
        gap = self._pending.time - self._last
        if gap > MAX_GAP:
            self._skipped += gap - MAX_GAP
            self.notes.append(f"The recording is silent for {gap:.0f} s here: shortened to 3 s.")

    def _due(self, arrival: Arrival) -> float:
        assert self._start is not None
        return self._start + arrival.time - self._skipped

    @property
    def finished(self) -> bool:
        return self._pending is None

    @property
    def channels(self) -> list[Channel]:
        return list(self._channels.values())

    def poll(self, now: float, recorder: Recorder | None) -> list[Heard]:
        if self._start is None:
            self._start = now
            self._shorten_gap()
        newest: dict[str, Heard] = {}
        while self._pending is not None and self._due(self._pending) <= now:
            arrival = self._pending
            channel = self._channels.get(arrival.channel)
            if channel is None:
                channel = self._channels[arrival.channel] = channel_for(arrival.channel)
            heard = channel.take(now, arrival.data, recorder)
            if heard is not None:
                newest[heard.family.name] = heard
            self._last = arrival.time
            self._pending = self._next()
            self._shorten_gap()
        if self._pending is not None:
            self.next_poll = self._due(self._pending)
        return list(newest.values())

    def close(self) -> None:
        pass

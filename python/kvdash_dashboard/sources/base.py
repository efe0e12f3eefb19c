"""What every telemetry family offers the loop.

A family is either a UDP protocol (the game sends datagrams to a port) or a
shared-memory page that the game publishes and we poll. Either way its bytes
go through a Decoder, so a recording replays through the same code."""

from __future__ import annotations

import math
import operator
import socket
from collections.abc import Callable
from dataclasses import MISSING, dataclass, fields
from typing import Protocol

from ..telemetry import FIELD_NAMES, Telemetry


def filled(names: str) -> frozenset[str]:
    """The Telemetry fields a family fills, named in one string; a name that
    is no field is a mistake caught at import."""
    out = frozenset(names.split())
    unknown = out - FIELD_NAMES
    if unknown:
        raise ValueError(f"not Telemetry fields: {sorted(unknown)}")
    return out


_CAR_ID_MAX = 64  # characters; longer names are cut


def car_id(raw: bytes, wide: bool = False) -> str | None:
    """A car's name or id as a game stores it (fixed-size text, NUL-padded;
    ``wide``: UTF-16LE) as a short stable string; None when empty."""
    if wide:
        units = raw[: len(raw) // 2 * 2]
        end = next((i for i in range(0, len(units), 2) if units[i : i + 2] == b"\0\0"), None)
        text = units[:end].decode("utf-16-le", errors="replace")
    else:
        head = raw.split(b"\0", 1)[0]
        try:
            text = head.decode("utf-8")
        except UnicodeDecodeError:
            text = head.decode("latin-1")
    text = "".join(c for c in text if c.isprintable()).strip()[:_CAR_ID_MAX]
    return text or None


# The text fields of Telemetry, whatever fields it grows, and what each is
# when nothing of it is left.
_TEXT_FIELDS = tuple(
    (f.name, None if f.default is MISSING else f.default)
    for f in fields(Telemetry)
    if "str" in str(f.type)
)
_TEXT_MAX = 100  # characters of any text from a game
# The text fields of a Telemetry, in one call.
text_fields = operator.attrgetter(*(name for name, _ in _TEXT_FIELDS))


def printable_text(t: Telemetry) -> Telemetry:
    """t with every text a game put in it cut to printable characters, so
    that no game's bytes reach a terminal or a page as control sequences.
    Applied to every decoder's telemetry where the channel takes it."""
    for name, default in _TEXT_FIELDS:
        value = getattr(t, name)
        if isinstance(value, str) and (len(value) > _TEXT_MAX or not value.isprintable()):
            text = "".join(c for c in value if c.isprintable()).strip()[:_TEXT_MAX]
            setattr(t, name, text or default)
    return t


def track_name(track: str | None, layout: str | None) -> str | None:
    """A track and its layout as one id ("Spa GP"): the track alone without one."""
    return f"{track} {layout}" if track and layout else track


class TextCache:
    """Names decoded from a page's bytes only when those bytes change: a car
    or track changes once a session, the page comes every frame."""

    __slots__ = ("_decode", "_raw", "_text")

    def __init__(self, decode: Callable[..., str | None]) -> None:
        self._decode = decode
        self._raw: tuple[bytes, ...] = ()
        self._text: str | None = None

    def __call__(self, *raw: bytes) -> str | None:
        if raw != self._raw:
            self._raw, self._text = raw, self._decode(*raw)
        return self._text


def unit_share(value: float) -> float | None:
    """A pedal or similar 0-to-1 value; None when it is not one (the games
    send -1 for "not available")."""
    if not math.isfinite(value) or not 0.0 <= value <= 1.001:
        return None
    return min(1.0, value)


class Decoder(Protocol):
    """Bytes of one family -> Telemetry. Keeps what a family spreads over
    several packets (one decoder per session). Never raises on bad input."""

    def decode(self, data: bytes) -> Telemetry | None:
        """The car after this packet or page snapshot; None when the bytes are
        not a good packet of this family (the caller counts it as bad)."""
        ...


class Reader(Protocol):
    """Polls a shared-memory game: copies what the decoder needs out of the
    mapping, only when the game published something new."""

    next_poll: float  # time.monotonic() at which the loop should poll again
    # What keeps the game's mapping from being read though it is there
    # ("permission denied", "not a file", too small, an unknown version); None otherwise.
    problem: str | None

    def poll(self, now: float) -> bytes | None:
        """A snapshot for the decoder, or None when nothing is new (or the
        game's mapping is absent: the reader looks for it now and then)."""
        ...

    def close(self) -> None: ...


@dataclass(frozen=True)
class Family:
    """One telemetry family, as --source names it."""

    name: str  # the --source name: "forza"
    title: str  # shown to the user: "Forza Data Out"
    fields: frozenset[str]  # Telemetry fields it can fill (see telemetry.FIELD_NAMES)
    decoder: Callable[[], Decoder]  # a decoder for a new session
    port: int | None = None  # UDP: the default port to listen on
    # Shared memory: a reader for the game's mappings; its argument is the
    # folder that holds them as files (None: open them by name, on Windows).
    reader: Callable[[str | None], Reader] | None = None
    games: str = ""  # the games that speak it, for --help
    # UDP from a console that streams only while asked: sends the request on
    # our socket to the console's host, every request_every seconds.
    request: Callable[[socket.socket, str], None] | None = None
    request_every: float = 0.0
    # UDP to a multicast group by default: the group to join ("224.0.0.150").
    multicast: str | None = None
    # Games (Telemetry.game) of a family that sends max_rpm whose own cannot
    # be trusted: their decoder leaves it out and the app learns it instead.
    learns_max_rpm: frozenset[str] = frozenset()

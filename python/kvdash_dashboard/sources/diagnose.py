"""Naming what arrives when a game speaks but cannot be read: a format the
app does not read, a variant with too little in it, or one game's packets on
another's port. Each recogniser looks at a datagram's length and first bytes
only, so a flood costs little; what it says ends with what to change."""

from __future__ import annotations

import struct
from collections.abc import Callable, Collection, Sequence

from . import codemasters, f1, forza, outgauge
from .base import Family

_U16 = struct.Struct("<H")

# F1 puts its format year at 0 in every season; the oldest format with this
# header layout family is 2017's, and an implausible year is no F1 packet.
_F1_OLDEST, _F1_NEWEST = 2017, 2099
_F1_FORMATS = f1.FORMATS
_F1_MIN_LENGTH = 24  # the 2022-format header; 2023 on is 29 bytes
_F1_MAX_LENGTH = 2048
_FORZA_SLED = 232
_FORZA_LENGTHS = frozenset({232, 311, 324, 331})
_OUTGAUGE_LENGTHS = frozenset({92, 96})
_CODEMASTERS_LENGTHS = {64: 0, 152: 1, 252: 2, 264: 3}
_BEAMNG_MOTION = (88, b"BNG1")  # BeamNG's other protocol, often sent to OutGauge's port

# Short names the advice uses, by --source name.
_NAMES = {
    "f1": "F1",
    "forza": "Forza",
    "outgauge": "OutGauge",
    "codemasters": "DiRT/GRID",
}
_PORT_NAMES = {**_NAMES, "codemasters": "DiRT"}
_WRC_GENERATIONS = "WRC Generations"  # the Codemasters layout in a longer packet
_FAMILIES = {f.name: f for f in (f1.FAMILY, forza.FAMILY, outgauge.FAMILY, codemasters.FAMILY)}


def _f1_format(data: bytes) -> int | None:
    if not _F1_MIN_LENGTH <= len(data) <= _F1_MAX_LENGTH:
        return None
    (year,) = _U16.unpack_from(data)
    return year if _F1_OLDEST <= year <= _F1_NEWEST else None


def _outgauge(data: bytes) -> bool:
    # Bytes 4-7 name the car: letters and digits, NUL padded.
    name = data[4:8].rstrip(b"\0")
    return len(data) in _OUTGAUGE_LENGTHS and 0 < len(name) and name.isalnum()


def _recognise(data: bytes) -> str | None:
    """The --source name of the family these bytes look like, or None."""
    if _outgauge(data):
        return outgauge.FAMILY.name
    if _f1_format(data) is not None:
        return f1.FAMILY.name
    if len(data) in _FORZA_LENGTHS:
        return forza.FAMILY.name
    if len(data) in _CODEMASTERS_LENGTHS or codemasters.is_wrc_length(len(data)):
        return codemasters.FAMILY.name
    return None


def _f1_advice(data: bytes) -> str:
    fmt = _f1_format(data)
    if fmt is not None and fmt < min(_F1_FORMATS):
        return (
            f"F1 packets of format {fmt}: set UDP Format to {min(_F1_FORMATS)} or later "
            "in the game's telemetry settings"
        )
    if fmt is not None and fmt > max(_F1_FORMATS):
        return f"F1 packets of format {fmt}: newer than this app reads"
    return f"F1 packets of format {fmt} that do not read ({len(data)} bytes)"


def refused(
    data: bytes,
    families: Sequence[Family],
    port: int | None = None,
    listening: Collection[int] | None = None,
    moved: bool = False,
) -> str:
    """What a datagram that none of ``families`` (those listening on
    ``port``, where it arrived) took is, and what to change. ``listening``:
    every port the app listens on (None: not known, as in a replay);
    ``moved``: ``port`` is where the user said (--listen)."""
    if (len(data), data[:4]) == _BEAMNG_MOTION:
        return "BeamNG MotionSim packets: choose OutGauge in BeamNG's protocol settings"
    kind = _recognise(data)
    if kind is None:
        return f"{len(data)}-byte packets of no game this app reads"
    if not any(f.name == kind for f in families):
        wrc = kind == codemasters.FAMILY.name and codemasters.is_wrc_length(len(data))
        label = _WRC_GENERATIONS if wrc else _NAMES[kind]
        theirs = _FAMILIES[kind]
        if moved:  # they come where the user wants them: the source is what is wrong
            return f"{label} packets: choose --source {kind}"
        if port == theirs.port or not families:
            return f"{label} packets: choose --source {kind} or auto"
        ours = "/".join(_PORT_NAMES.get(f.name, f.title) for f in families)
        where = f"send them to port {theirs.port}"
        if listening is not None and theirs.port not in listening:
            where += f" and choose --source {kind} or auto"  # nothing listens there yet
        return f"{label} packets on the {ours} port: {where}"
    thin = _THIN.get(kind)
    advice = thin(data) if thin is not None else None
    if advice is not None:
        return advice
    if kind == f1.FAMILY.name:
        return _f1_advice(data)
    return f"{_NAMES[kind]} packets that do not read ({len(data)} bytes)"


# Families whose packets, though read, may leave the display with little:
# the advice, given the datagram.
_THIN: dict[str, Callable[[bytes], str | None]] = {
    forza.FAMILY.name: lambda data: (
        "Forza Sled packets carry no gear: choose Dash" if len(data) == _FORZA_SLED else None
    ),
    codemasters.FAMILY.name: lambda data: (
        "DiRT/GRID packets of extradata 0 carry no dashboard: set extradata to 3"
        if _CODEMASTERS_LENGTHS.get(len(data)) == 0
        else None
    ),
}


def advice_for(family: Family) -> Callable[[bytes], str | None] | None:
    """What says, of a datagram ``family`` read, whether the variant the game
    was set to carries too little, and what to change (None: nothing); None
    where any datagram it reads is enough. Looked up once per channel."""
    return _THIN.get(family.name)

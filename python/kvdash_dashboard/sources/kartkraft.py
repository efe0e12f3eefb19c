"""KartKraft: UDP datagrams, each one FlatBuffers "Frame" (file identifier
KKFB) to the schema its makers publish (Schema/Frame.fbs in
motorsportgames/kartkraft-telemetry). Fields are read through the flatbuffers
runtime's tables by their slot in the schema, so a field the game leaves out
reads as the schema's default and a newer schema's additions are ignored. Not
every frame holds every table: the car's settings come in some frames, the
dashboard in others, so the decoder keeps the last of each, and a frame
without a dashboard shows the car as the last one left it."""

from __future__ import annotations

import math
import struct
from dataclasses import replace
from typing import Any

from ..telemetry import GameState, Telemetry
from .base import Family, car_id, filled, unit_share

try:
    # The package has no type information: its values are checked as read.
    from flatbuffers import encode, util  # type: ignore[import-untyped]
    from flatbuffers import number_types as kinds
    from flatbuffers.table import Table  # type: ignore[import-untyped]
except ImportError:  # pragma: no cover - the dependency is not installed
    AVAILABLE = False
else:
    AVAILABLE = True

MISSING = (
    "KartKraft's frames are FlatBuffers; reading them needs flatbuffers: "
    'pip install "kvdash[kartkraft]"'
)

PORT = 5000  # the game's own examples and its Game.ini setting use it
_IDENTIFIER = b"KKFB"

# Each table's fields in the schema's order: a field's slot is its place here.
_FRAME = "timestamp motion dash session vehicleConfig trackConfig sessionConfig".split()
_DASHBOARD = (
    "speed rpm steer throttle brake gear pos bestLap currentLap lastLap lapCount sectorCount"
).split()
_VEHICLE_CONFIG = "rpmLimit rpmMax gearMax".split()
_TRACK_CONFIG = "name numSectors trackLengthMetres address countryCode".split()

_TOP_GEAR = 10  # the most any display shows; the game says the car's own top gear
_MOST_RPM = 100_000.0  # beyond any engine: no rpm
_GAME = "KartKraft"


class _Fields:
    """One table of a frame, read by the names in its schema's field list."""

    def __init__(self, table: Any, names: list[str]) -> None:
        self._table = table
        self._slots = {name: 4 + 2 * i for i, name in enumerate(names)}  # vtable entries

    def _at(self, name: str) -> int:
        """Where the field's value is, or 0 when the frame leaves it out."""
        offset = int(self._table.Offset(self._slots[name]))
        return offset + int(self._table.Pos) if offset else 0

    def number(self, name: str, kind: Any, default: float = 0.0) -> float:
        at = self._at(name)
        return float(self._table.Get(kind, at)) if at else default

    def table(self, name: str, names: list[str]) -> _Fields | None:
        at = self._at(name)
        return (
            _Fields(Table(self._table.Bytes, int(self._table.Indirect(at))), names) if at else None
        )

    def text(self, name: str) -> str | None:
        at = self._at(name)
        return car_id(bytes(self._table.String(at))) if at else None


def _frame(data: bytes) -> _Fields | None:
    if len(data) < 8 or not util.BufferHasIdentifier(data, 0, _IDENTIFIER):
        return None
    root = int(encode.Get(kinds.UOffsetTFlags.packer_type, data, 0))
    return _Fields(Table(data, root), _FRAME)


def _finite(value: float, low: float, high: float) -> float | None:
    return value if math.isfinite(value) and low <= value <= high else None


class Decoder:
    """The car's settings (rev limit, top gear) and the track come in some
    frames only: kept until a frame brings new ones."""

    def __init__(self) -> None:
        self._max_rpm: float | None = None
        self._top_gear = _TOP_GEAR
        self._track: str | None = None
        self._car: Telemetry | None = None  # as the last dashboard showed it

    def decode(self, data: bytes) -> Telemetry | None:
        try:
            return self._decode(data)
        except (struct.error, TypeError, ValueError, IndexError, OverflowError):
            return None  # offsets that point outside the datagram: no frame

    def _decode(self, data: bytes) -> Telemetry | None:
        frame = _frame(data)
        if frame is None:
            return None
        config = frame.table("vehicleConfig", _VEHICLE_CONFIG)
        if config is not None:
            self._read_config(config)
        track = frame.table("trackConfig", _TRACK_CONFIG)
        if track is not None:
            self._track = track.text("name")
        dash = frame.table("dash", _DASHBOARD)
        if dash is None:  # motion, session or settings only
            if self._car is None:
                return Telemetry(game=_GAME, max_rpm=self._max_rpm, track=self._track)
            return replace(self._car, max_rpm=self._max_rpm, track=self._track)
        speed = _finite(dash.number("speed", kinds.Float32Flags), -1000.0, 1000.0)
        rpm = _finite(dash.number("rpm", kinds.Float32Flags), -_MOST_RPM, _MOST_RPM)
        gear = int(dash.number("gear", kinds.Int8Flags))
        if speed is None or rpm is None or not -1 <= gear <= self._top_gear:
            return None
        lap = int(dash.number("lapCount", kinds.Uint16Flags))  # 0: before the first lap
        position = int(dash.number("pos", kinds.Int8Flags))
        self._car = Telemetry(
            gear=gear,
            rpm=max(0.0, rpm),
            max_rpm=self._max_rpm,
            speed=abs(speed),
            lap_time=self._lap_time(dash, "currentLap"),
            last_lap=self._lap_time(dash, "lastLap"),
            best_lap=self._lap_time(dash, "bestLap"),
            lap=lap if lap > 0 else None,
            position=position if position > 0 else None,
            state=GameState.DRIVING,
            game=_GAME,
            throttle=unit_share(dash.number("throttle", kinds.Float32Flags, -1.0)),
            track=self._track,
        )
        return self._car

    def _read_config(self, config: _Fields) -> None:
        # The limiter where one is fitted, else the top of the rev counter.
        limit = config.number("rpmLimit", kinds.Float32Flags)
        most = config.number("rpmMax", kinds.Float32Flags)
        self._max_rpm = _finite(limit, 1.0, _MOST_RPM) or _finite(most, 1.0, _MOST_RPM)
        top = int(config.number("gearMax", kinds.Int8Flags))
        # 1 for a kart without a gearbox.
        self._top_gear = top if 1 <= top <= _TOP_GEAR else _TOP_GEAR

    @staticmethod
    def _lap_time(dash: _Fields, name: str) -> float | None:
        return _finite(dash.number(name, kinds.Float32Flags), 0.001, 86_400.0)


FAMILY = Family(
    name="kartkraft",
    title="KartKraft",
    fields=filled(
        "gear rpm max_rpm speed lap_time last_lap best_lap lap position state throttle track"
    ),
    decoder=Decoder,
    port=PORT,
    games="KartKraft",
)

"""Wreckfest 2: Bugbear's "Pino" UDP telemetry.

Every packet starts with a 14-byte header: a signature, the packet type and
the game's status. The Main packet (type 0) holds the player's whole car;
the others describe every participant, which a dashboard does not need.
There is no version field: later revisions fill reserved bytes or add at
the end, so a packet may be longer than the size known here, never shorter."""

from __future__ import annotations

import math
import struct

from ..telemetry import GameState, Light, Telemetry
from .base import Family, car_id, filled, unit_share

_SIGNATURE = 1869769584
# Signature, packet type, status flags (session and race time follow).
_HEADER = struct.Struct("<IBB8x")
_MAIN = 0
# The smallest length of each packet type, main first.
_SIZES = (1218, 1231, 1231, 1375, 1383, 8195, 1027)

# Marshal flags; lap, position.
_STANDING = struct.Struct("<H2xHB")
_STANDING_AT = 14
# Current, penalty, last and best lap (ms), best lap's number, gaps ahead and
# behind, share of the lap driven.
_TIMING = struct.Struct("<IIII9xf")
_TIMING_AT = 48
_CAR_ID = slice(116, 180)
# Assists active; gearbox, ABS and TCS levels (0 off, 1 half, 2 full).
_ASSISTS = struct.Struct("<BxBB")
_ASSISTS_AT = 350
_TOP_LEVEL = 2
_TRACK_ID = slice(882, 946)
# Gear, top gear, speedo speed; engine flags, rpm, limiter rpm.
_DRIVE = struct.Struct("<BBf17xBii")
_DRIVE_AT = 411
_THROTTLE = struct.Struct("<f")
_THROTTLE_AT = 490
_SESSION_STATUS_AT = 1063

_PAUSED, _REPLAY, _IN_RACE = 0x01, 0x02, 0x20
_ABS_ACTIVE, _TCS_ACTIVE = 0x01, 0x02
_MISFIRING = 0x04
_DQ, _MEATBALL, _WARNING, _BLUE = 0x08, 0x10, 0x20, 0x40
_SESSION_NONE = 0  # menus and garage
_REVERSE, _NEUTRAL = 0, 1
_TOP_GEAR_CODE = 11  # 10th gear

GAME = "Wreckfest 2"


def _ms(value: int) -> float | None:
    return value / 1000.0 if value else None


def _car_id(raw: bytes) -> str | None:
    text = raw.split(b"\0", 1)[0].decode("utf-8", "replace").strip()
    return text if text.isprintable() and text else None


def _state(status: int, session: int) -> GameState:
    if status & _REPLAY:
        return GameState.REPLAY
    if status & _PAUSED:
        return GameState.PAUSED
    if session == _SESSION_NONE:
        return GameState.MENU
    return GameState.DRIVING if status & _IN_RACE else GameState.UNKNOWN


def _level(value: int) -> int | None:
    return value if value <= _TOP_LEVEL else None


def _main(data: bytes, status: int, track: str | None) -> Telemetry | None:
    marshal, lap, position = _STANDING.unpack_from(data, _STANDING_AT)
    current, _, last, best, progress = _TIMING.unpack_from(data, _TIMING_AT)
    code, _, speed, engine, rpm, limiter = _DRIVE.unpack_from(data, _DRIVE_AT)
    (throttle,) = _THROTTLE.unpack_from(data, _THROTTLE_AT)
    if code > _TOP_GEAR_CODE or not math.isfinite(speed):
        return None
    gear = -1 if code == _REVERSE else code - 1  # 1 is neutral, 2 first
    lights = Light.NONE
    assists, abs_level, tc_level = _ASSISTS.unpack_from(data, _ASSISTS_AT)
    if assists & _ABS_ACTIVE:
        lights |= Light.ABS
    if assists & _TCS_ACTIVE:
        lights |= Light.TC
    if engine & _MISFIRING:
        lights |= Light.ENGINE
    if marshal & _BLUE:
        lights |= Light.FLAG | Light.BLUE
    if marshal & (_DQ | _MEATBALL | _WARNING):
        lights |= Light.FLAG
    return Telemetry(
        gear=gear,
        rpm=float(max(0, rpm)),
        max_rpm=float(limiter) if limiter > 0 else None,
        speed=abs(speed),
        lap_time=current / 1000.0,
        last_lap=_ms(last),  # missing in multiplayer: 0
        best_lap=_ms(best),
        lap=lap or None,  # 0 during the start
        position=position or None,
        lights=lights,
        state=_state(status, data[_SESSION_STATUS_AT]),
        game=GAME,
        car=_car_id(data[_CAR_ID]),
        throttle=min(1.0, max(0.0, throttle)) if math.isfinite(throttle) else None,
        lap_fraction=unit_share(progress),
        track=track,
        tc_level=_level(tc_level),
        abs_level=_level(abs_level),
    )


class Decoder:
    """Keeps the last Main packet's car: the other packet types, sent as
    often, answer it again."""

    def __init__(self) -> None:
        self._car = Telemetry(game=GAME)
        self._track_raw = b""
        self._track: str | None = None

    def decode(self, data: bytes) -> Telemetry | None:
        if len(data) < _HEADER.size:
            return None
        signature, kind, status = _HEADER.unpack_from(data)
        if signature != _SIGNATURE or kind >= len(_SIZES) or len(data) < _SIZES[kind]:
            return None
        if kind == _MAIN:
            raw = data[_TRACK_ID]
            if raw != self._track_raw:  # the same bytes every packet of a session
                self._track_raw = raw
                self._track = car_id(raw)
            car = _main(data, status, self._track)
            if car is None:
                return None
            self._car = car
        return self._car


FAMILY = Family(
    name="wreckfest2",
    title="Wreckfest 2 UDP",
    fields=filled(
        "gear rpm max_rpm speed lap_time last_lap best_lap lap position lights state car throttle "
        "lap_fraction track tc_level abs_level"
    ),
    decoder=Decoder,
    port=23123,
    games="Wreckfest 2",
)

"""EA SPORTS F1 23, F1 24 and F1 25: one car spread over several packet types.

Every packet starts with the same 29-byte header; the player's car is one
record in each 22-car array. The decoder keeps what each packet type said
about that car and answers the merged picture."""

from __future__ import annotations

import math
import struct

from ..telemetry import GameState, Light, Telemetry
from .base import Family, filled

# format, game year, major, minor, packet version, packet id, session uid,
# session time, frame, overall frame, player index, second player index.
_HEADER = struct.Struct("<HBBBBBQfIIBB")
_CARS = 22

_MOTION, _SESSION, _LAP_DATA = 0, 1, 2
_CAR_TELEMETRY, _CAR_STATUS, _SESSION_HISTORY = 6, 7, 11

# Per packet format: packet id -> its exact length, for the ids we know.
_SIZES: dict[int, dict[int, int]] = {
    2023: {
        _MOTION: 1349,
        _SESSION: 644,
        _LAP_DATA: 1131,
        _CAR_TELEMETRY: 1352,
        _CAR_STATUS: 1239,
        _SESSION_HISTORY: 1460,
    },
    2024: {
        _MOTION: 1349,
        _SESSION: 753,
        _LAP_DATA: 1285,
        _CAR_TELEMETRY: 1352,
        _CAR_STATUS: 1239,
        _SESSION_HISTORY: 1460,
    },
}
_SIZES[2025] = _SIZES[2024]  # F1 25 kept F1 24's sizes for these
_LAST_ID = {2023: 13, 2024: 14, 2025: 15}
# The older Codemasters format shares port 20777 with exactly these lengths.
_LEGACY_LENGTHS = frozenset({64, 152, 252, 264})
_MAX_LENGTH = 2048  # every F1 packet fits one Ethernet frame

# Car telemetry record (60 bytes): speed, gear, rpm, DRS, rev-lights percent.
_TELEMETRY = struct.Struct("<H13xbHBB")
_TELEMETRY_SIZE = 60
# Car status record (55 bytes): TC, ABS, pit limiter, fuel, capacity, max rpm,
# DRS allowed, FIA flag, network paused.
_STATUS = struct.Struct("<BB2xBff4xH3xB5xb25xB")
_STATUS_SIZE = 55
# Lap data record: last lap ms, current lap ms, position, lap number.
_LAP_2023 = struct.Struct("<II22xBB")
_LAP_2024 = struct.Struct("<II24xBB")
_LAP_SIZE = {2023: 50, 2024: 57, 2025: 57}
# Session history: car index, laps, tyre stints, best lap number (from 1).
_HISTORY = struct.Struct("<BBBB")
_HISTORY_LAPS_AT = 36
_HISTORY_LAP_SIZE = 14
_HISTORY_MAX_LAPS = 100
_U32 = struct.Struct("<I")

_YELLOW_OR_BLUE = (2, 3)
_TOP_GEAR = 8


class Decoder:
    """The player's car as the packets of one session describe it."""

    def __init__(self) -> None:
        self._session: tuple[int, int] | None = None  # (format, session uid)
        self._reset()
        self._game = ""

    def _reset(self) -> None:
        self._gear = 0
        self._rpm = 0.0
        self._speed = 0.0
        self._rev_lights: float | None = None
        self._drs_open = False
        self._max_rpm: float | None = None
        self._fuel: float | None = None
        self._status_lights = Light.NONE
        self._paused = False
        self._lap_time: float | None = None
        self._last_lap: float | None = None
        self._best_lap: float | None = None
        self._lap: int | None = None
        self._position: int | None = None
        self._merged: Telemetry | None = None

    def decode(self, data: bytes) -> Telemetry | None:
        size = len(data)
        if size < _HEADER.size or size > _MAX_LENGTH or size in _LEGACY_LENGTHS:
            return None
        fmt, _, _, _, _, packet_id, uid, _, _, _, player, _ = _HEADER.unpack_from(data)
        sizes = _SIZES.get(fmt)
        if sizes is None or packet_id > _LAST_ID[fmt]:
            return None
        expected = sizes.get(packet_id)
        if expected is not None and size != expected:
            return None
        if self._session != (fmt, uid):
            # A new session, perhaps another car: forget the old one.
            self._session = (fmt, uid)
            self._reset()
            self._game = f"F1 {fmt - 2000}"
        if player < _CARS:
            if packet_id == _CAR_TELEMETRY:
                if not self._car_telemetry(data, player):
                    return None
            elif packet_id == _CAR_STATUS:
                self._car_status(data, player)
            elif packet_id == _LAP_DATA:
                self._lap_data(data, player, fmt)
            elif packet_id == _SESSION_HISTORY:
                self._session_history(data, player)
        return self._telemetry()

    def _car_telemetry(self, data: bytes, player: int) -> bool:
        speed, gear, rpm, drs, rev_percent = _TELEMETRY.unpack_from(
            data, _HEADER.size + _TELEMETRY_SIZE * player
        )
        if not -1 <= gear <= _TOP_GEAR:
            return False
        self._speed = speed / 3.6
        self._gear = gear
        self._rpm = float(rpm)
        self._drs_open = drs == 1
        self._rev_lights = min(rev_percent, 100) / 100.0
        self._merged = None
        return True

    def _car_status(self, data: bytes, player: int) -> None:
        tc, abs_, limiter, fuel, capacity, max_rpm, drs_allowed, flag, paused = _STATUS.unpack_from(
            data, _HEADER.size + _STATUS_SIZE * player
        )
        lights = Light.NONE
        # TC and ABS are the assist settings, not activity: light them when off.
        if tc == 0:
            lights |= Light.TC
        if abs_ == 0:
            lights |= Light.ABS
        if limiter:
            lights |= Light.PIT_LIMITER
        if drs_allowed:
            lights |= Light.DRS_AVAILABLE
        if flag in _YELLOW_OR_BLUE:
            lights |= Light.FLAG
        self._status_lights = lights
        self._max_rpm = float(max_rpm) if max_rpm else None
        if math.isfinite(fuel) and math.isfinite(capacity) and capacity > 0:
            self._fuel = min(1.0, max(0.0, fuel / capacity))
        else:
            self._fuel = None
        self._paused = paused != 0
        self._merged = None

    def _lap_data(self, data: bytes, player: int, fmt: int) -> None:
        record = _LAP_2023 if fmt == 2023 else _LAP_2024
        last_ms, current_ms, position, lap = record.unpack_from(
            data, _HEADER.size + _LAP_SIZE[fmt] * player
        )
        self._last_lap = last_ms / 1000.0 if last_ms else None
        self._lap_time = current_ms / 1000.0
        self._position = position or None
        self._lap = lap or None
        self._merged = None

    def _session_history(self, data: bytes, player: int) -> None:
        car, _, _, best_lap_number = _HISTORY.unpack_from(data, _HEADER.size)
        if car != player:
            return  # the game cycles through every car's history
        if not 1 <= best_lap_number <= _HISTORY_MAX_LAPS:
            self._best_lap = None
        else:
            (best_ms,) = _U32.unpack_from(
                data, _HISTORY_LAPS_AT + _HISTORY_LAP_SIZE * (best_lap_number - 1)
            )
            self._best_lap = best_ms / 1000.0 if best_ms else None
        self._merged = None

    def _telemetry(self) -> Telemetry:
        if self._merged is None:
            self._merged = Telemetry(
                gear=self._gear,
                rpm=self._rpm,
                max_rpm=self._max_rpm,
                rev_lights=self._rev_lights,
                speed=self._speed,
                fuel=self._fuel,
                lap_time=self._lap_time,
                last_lap=self._last_lap,
                best_lap=self._best_lap,
                lap=self._lap,
                position=self._position,
                lights=self._status_lights | (Light.DRS if self._drs_open else Light.NONE),
                state=GameState.PAUSED if self._paused else GameState.UNKNOWN,
                game=self._game,
            )
        return self._merged


FAMILY = Family(
    name="f1",
    title="EA SPORTS F1",
    fields=filled(
        "gear rpm max_rpm rev_lights speed fuel "
        "lap_time last_lap best_lap lap position lights state"
    ),
    decoder=Decoder,
    port=20777,
    games="F1 23, F1 24, F1 25",
)

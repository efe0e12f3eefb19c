"""EA SPORTS F1 2020 to F1 25: one car spread over several packet types.

Every packet starts with a header (24 bytes up to format 2022, 29 from 2023);
the player's car is one record in each per-car array: 22 cars, 24 in format
2026 (F1 25 with the 2026 Season Pack). The decoder keeps what each packet
type said about that car and answers the merged picture. What changes between
formats (header, record sizes, a field moved) is one table, _FORMATS.
Formats 2020 to 2022 as racehub-io/f1-telemetry-client reads them
(src/parsers/packets @ 57ceb8b32ef7b6a9af8d834193f7c2a7fee26413)."""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass

from ..telemetry import GameState, Light, Telemetry
from .base import Family, filled

# The header: format, packet id, session uid, player index. From 2023 a game
# year before the versions and an overall frame counter after the frame.
_HEADER = struct.Struct("<H4xBQ12xBx")
_HEADER_2022 = struct.Struct("<H3xBQ8xBx")
_FORMAT = struct.Struct("<H")

_MOTION, _SESSION, _LAP_DATA, _PARTICIPANTS = 0, 1, 2, 4
_CAR_TELEMETRY, _CAR_STATUS, _SESSION_HISTORY, _CAR_TELEMETRY_2 = 6, 7, 11, 16

# Car telemetry record: speed, throttle, gear, rpm, DRS, rev-lights percent.
_TELEMETRY = struct.Struct("<Hf9xbHBB")
# Car status record: TC, ABS, fuel mix, front brake bias (%), pit limiter,
# fuel, capacity (kg), max rpm, DRS allowed, FIA flag. The network-paused byte
# comes later, where the format says. Format 2020 keeps tyre wear and damage
# between DRS and the flag.
_STATUS = struct.Struct("<BBBBBff4xH3xB5xb")
_STATUS_2020 = struct.Struct("<BBBBBff4xH3xB19xb")
# Lap data record: last lap ms, current lap ms, lap distance (m), position,
# lap number, pit status, current lap invalid.
_LAP_2022 = struct.Struct("<II4xf8xBBB2xB")
_LAP_2023 = struct.Struct("<II10xf8xBBB2xB")
_LAP_2024 = struct.Struct("<II12xf8xBBB2xB")
# Format 2020's: last, current and best lap in seconds (floats), lap distance,
# position, lap number, pit status, current lap invalid.
_LAP_2020 = struct.Struct("<ff4xf16xf8xBBB1xB")
# Session: the track's id (-1 unknown), 7 bytes after the header in every format.
_TRACK = struct.Struct("<b")
_TRACK_AFTER = 7
# Car telemetry 2 record (format 2026): active aero in straight mode, active
# aero available, the car runs to the 2026 rules.
_AERO = struct.Struct("<BB6xB")
_AERO_SIZE = 10
_U8 = struct.Struct("<B")
_U16 = struct.Struct("<H")
_U32 = struct.Struct("<I")


@dataclass(frozen=True)
class _Format:
    """What one packet format sends, where the formats differ."""

    game: str  # as the status line names it
    cars: int
    last_id: int
    sizes: dict[int, int]  # packet id -> its exact length, for the ids we read
    telemetry_size: int
    status_size: int
    paused_at: int | None  # the network-paused byte, in the status record
    lap: struct.Struct
    lap_size: int
    participant_size: int
    team: struct.Struct  # the team id, at team_at in a participant's record
    team_at: int
    header: struct.Struct = _HEADER
    status: struct.Struct = _STATUS
    history_lap_size: int = 14  # one lap in the session history
    lap_seconds: bool = False  # lap times as float seconds, the best among them


_SIZES_2024 = {
    _MOTION: 1349,
    _SESSION: 753,
    _LAP_DATA: 1285,
    _CAR_TELEMETRY: 1352,
    _CAR_STATUS: 1239,
    _SESSION_HISTORY: 1460,
}
_SIZES_2022 = {
    _MOTION: 1464,
    _SESSION: 632,
    _LAP_DATA: 972,
    _PARTICIPANTS: 1257,
    _CAR_TELEMETRY: 1347,
    _CAR_STATUS: 1058,
    _SESSION_HISTORY: 1155,
}
_FORMATS = {
    # F1 2020: lap times in seconds with the best lap in lap data (no session
    # history yet), damage in the status record, no rev-light bits, no paused byte.
    2020: _Format(
        game="F1 2020",
        cars=22,
        last_id=9,
        sizes={
            _MOTION: 1464,
            _SESSION: 251,
            _LAP_DATA: 1190,
            _PARTICIPANTS: 1213,
            _CAR_TELEMETRY: 1307,
            _CAR_STATUS: 1344,
        },
        telemetry_size=58,
        status_size=60,
        paused_at=None,
        lap=_LAP_2020,
        lap_size=53,
        participant_size=54,
        team=_U8,
        team_at=2,
        header=_HEADER_2022,
        status=_STATUS_2020,
        lap_seconds=True,
    ),
    2021: _Format(
        game="F1 2021",
        cars=22,
        last_id=11,
        sizes={**_SIZES_2022, _SESSION: 625, _LAP_DATA: 970},  # no time-trial trailer
        telemetry_size=60,
        status_size=47,
        paused_at=46,
        lap=_LAP_2022,
        lap_size=43,
        participant_size=56,
        team=_U8,
        team_at=3,
        header=_HEADER_2022,
        history_lap_size=11,
    ),
    2022: _Format(
        game="F1 22",
        cars=22,
        last_id=11,
        sizes=_SIZES_2022,
        telemetry_size=60,
        status_size=47,
        paused_at=46,
        lap=_LAP_2022,
        lap_size=43,
        participant_size=56,
        team=_U8,
        team_at=3,
        header=_HEADER_2022,
        history_lap_size=11,
    ),
    2023: _Format(
        game="F1 23",
        cars=22,
        last_id=13,
        sizes={**_SIZES_2024, _SESSION: 644, _LAP_DATA: 1131, _PARTICIPANTS: 1306},
        telemetry_size=60,
        status_size=55,
        paused_at=54,
        lap=_LAP_2023,
        lap_size=50,
        participant_size=58,
        team=_U8,
        team_at=3,
    ),
    2024: _Format(
        game="F1 24",
        cars=22,
        last_id=14,
        sizes={**_SIZES_2024, _PARTICIPANTS: 1350},
        telemetry_size=60,
        status_size=55,
        paused_at=54,
        lap=_LAP_2024,
        lap_size=57,
        participant_size=60,
        team=_U8,
        team_at=3,
    ),
    2025: _Format(
        game="F1 25",
        cars=22,
        last_id=15,
        sizes={**_SIZES_2024, _PARTICIPANTS: 1284},  # shorter names than F1 24's
        telemetry_size=60,
        status_size=55,
        paused_at=54,
        lap=_LAP_2024,
        lap_size=57,
        participant_size=57,
        team=_U8,
        team_at=3,
    ),
    # The 2026 Season Pack: 24 cars, the engine temperature one byte shorter,
    # an ERS harvest limit before the paused byte, wider team ids, a new packet.
    2026: _Format(
        game="F1 25 (2026 season)",
        cars=24,
        last_id=16,
        sizes={
            _MOTION: 1325,
            _SESSION: 926,
            _LAP_DATA: 1399,
            _PARTICIPANTS: 1470,
            _CAR_TELEMETRY: 1448,
            _CAR_STATUS: 1445,
            _SESSION_HISTORY: 1460,
            _CAR_TELEMETRY_2: 269,
        },
        telemetry_size=59,
        status_size=59,
        paused_at=58,
        lap=_LAP_2024,
        lap_size=57,
        participant_size=60,
        team=_U16,
        team_at=5,
    ),
}
# The older Codemasters format shares port 20777 with exactly these lengths.
# The packet formats read (the game's "UDP Format" setting).
FORMATS = frozenset(_FORMATS)
_LEGACY_LENGTHS = frozenset({64, 152, 252, 264})
_MAX_LENGTH = 2048  # every F1 packet fits one Ethernet frame

# Session history: car index, laps, tyre stints, best lap number (from 1);
# the laps start 7 bytes after the header.
_HISTORY = struct.Struct("<BBBB")
_HISTORY_LAPS_AFTER = 7
_HISTORY_MAX_LAPS = 100

# The FIA flag the game shows the car: 2 blue, 3 yellow (green and none light nothing).
_FLAGS = {2: Light.FLAG | Light.BLUE, 3: Light.FLAG | Light.YELLOW}
_TOP_GEAR = 8
# An empty participant slot says 255. What it says in the wider ids of 2026 is
# not documented: 65535 by analogy, and 255 is no team there either.
_NO_TEAM = frozenset({255, 65535})


def _seconds(value: float, zero: float | None = None) -> float | None:
    """A lap time F1 2020 sends in seconds: ``zero`` where it says 0 (no lap
    yet), None where it says nothing a clock could show."""
    if not math.isfinite(value) or value < 0:
        return None
    return value if value > 0 else zero


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
        self._throttle: float | None = None
        self._rev_lights: float | None = None
        self._drs_open = False
        self._aero_lights = Light.NONE
        self._max_rpm: float | None = None
        self._fuel: float | None = None
        self._fuel_amount: float | None = None
        self._fuel_capacity: float | None = None
        self._tc_level: int | None = None
        self._abs_level: int | None = None
        self._brake_bias: float | None = None
        self._engine_map: int | None = None
        self._lap_distance: float | None = None
        self._in_pit: bool | None = None
        self._lap_valid: bool | None = None
        self._track_id: int | None = None
        self._track: str | None = None
        self._status_lights = Light.NONE
        self._paused = False
        self._lap_time: float | None = None
        self._last_lap: float | None = None
        self._best_lap: float | None = None
        self._lap: int | None = None
        self._position: int | None = None
        self._car: str | None = None
        self._merged: Telemetry | None = None

    def decode(self, data: bytes) -> Telemetry | None:
        size = len(data)
        if size < _HEADER_2022.size or size > _MAX_LENGTH or size in _LEGACY_LENGTHS:
            return None
        form = _FORMATS.get(_FORMAT.unpack_from(data)[0])
        if form is None or size < form.header.size:
            return None
        fmt, packet_id, uid, player = form.header.unpack_from(data)
        if packet_id > form.last_id:
            return None
        expected = form.sizes.get(packet_id)
        if expected is not None and size != expected:
            return None
        if self._session != (fmt, uid):
            # A new session, perhaps another car: forget the old one.
            self._session = (fmt, uid)
            self._reset()
            self._game = form.game
        if player < form.cars:
            if packet_id == _CAR_TELEMETRY:
                if not self._car_telemetry(data, form, player):
                    return None
            elif packet_id == _CAR_STATUS:
                self._car_status(data, form, player)
            elif packet_id == _LAP_DATA:
                self._lap_data(data, form, player)
            elif packet_id == _SESSION_HISTORY:
                self._session_history(data, form, player)
            elif packet_id == _PARTICIPANTS:
                self._participants(data, form, player)
            elif packet_id == _CAR_TELEMETRY_2:
                self._car_telemetry_2(data, player)
            elif packet_id == _SESSION:
                self._session_data(data, form)
        return self._telemetry()

    def _car_telemetry(self, data: bytes, form: _Format, player: int) -> bool:
        speed, throttle, gear, rpm, drs, rev_percent = _TELEMETRY.unpack_from(
            data, form.header.size + form.telemetry_size * player
        )
        if not -1 <= gear <= _TOP_GEAR:
            return False
        self._speed = speed / 3.6
        self._throttle = min(1.0, max(0.0, throttle)) if math.isfinite(throttle) else None
        self._gear = gear
        self._rpm = float(rpm)
        self._drs_open = drs == 1
        self._rev_lights = min(rev_percent, 100) / 100.0
        self._merged = None
        return True

    def _car_status(self, data: bytes, form: _Format, player: int) -> None:
        at = form.header.size + form.status_size * player
        (tc, abs_, fuel_mix, bias, limiter, fuel, capacity, max_rpm, drs_allowed, flag) = (
            form.status.unpack_from(data, at)
        )
        lights = _FLAGS.get(flag, Light.NONE)
        # TC and ABS are the assist settings, not activity: light them when off.
        if tc == 0:
            lights |= Light.TC
        if abs_ == 0:
            lights |= Light.ABS
        if limiter:
            lights |= Light.PIT_LIMITER
        if drs_allowed == 1:  # F1 2020 says 255 (-1) when it does not know
            lights |= Light.DRS_AVAILABLE
        self._status_lights = lights
        self._max_rpm = float(max_rpm) if max_rpm else None
        # Both are zero where the game withholds them (another player's car).
        if math.isfinite(fuel) and math.isfinite(capacity) and capacity > 0 and fuel >= 0:
            self._fuel = min(1.0, fuel / capacity)
            self._fuel_amount = fuel
            self._fuel_capacity = capacity
        else:
            self._fuel = self._fuel_amount = self._fuel_capacity = None
        self._tc_level = tc
        self._abs_level = abs_
        self._engine_map = fuel_mix
        self._brake_bias = float(bias)  # sent as % to the front already
        self._paused = form.paused_at is not None and data[at + form.paused_at] != 0
        self._merged = None

    def _lap_data(self, data: bytes, form: _Format, player: int) -> None:
        at = form.header.size + form.lap_size * player
        if form.lap_seconds:
            last, current, best, distance, position, lap, pit, invalid = form.lap.unpack_from(
                data, at
            )
            self._last_lap = _seconds(last)
            self._lap_time = _seconds(current, zero=0.0)
            self._best_lap = _seconds(best)
        else:
            last_ms, current_ms, distance, position, lap, pit, invalid = form.lap.unpack_from(
                data, at
            )
            self._last_lap = last_ms / 1000.0 if last_ms else None
            self._lap_time = current_ms / 1000.0
        self._position = position or None
        self._lap = lap or None
        # Negative until the car first crosses the line.
        self._lap_distance = distance if math.isfinite(distance) and distance >= 0 else None
        self._in_pit = pit != 0  # 1 pitting, 2 in the pit area
        self._lap_valid = invalid == 0
        self._merged = None

    def _session_history(self, data: bytes, form: _Format, player: int) -> None:
        car, _, _, best_lap_number = _HISTORY.unpack_from(data, form.header.size)
        if car != player:
            return  # the game cycles through every car's history
        if not 1 <= best_lap_number <= _HISTORY_MAX_LAPS:
            self._best_lap = None
        else:
            laps_at = form.header.size + _HISTORY_LAPS_AFTER
            (best_ms,) = _U32.unpack_from(
                data, laps_at + form.history_lap_size * (best_lap_number - 1)
            )
            self._best_lap = best_ms / 1000.0 if best_ms else None
        self._merged = None

    def _participants(self, data: bytes, form: _Format, player: int) -> None:
        # The records follow the count of active cars.
        at = form.header.size + 1 + form.participant_size * player + form.team_at
        (team,) = form.team.unpack_from(data, at)
        car = None if team in _NO_TEAM else f"team-{team}"
        if car != self._car:
            self._car = car
            self._merged = None

    def _car_telemetry_2(self, data: bytes, player: int) -> None:
        straight, available, rules_2026 = _AERO.unpack_from(
            data, _HEADER.size + _AERO_SIZE * player
        )
        # A 2026 car has active aero where older cars had DRS: straight mode
        # lights the DRS LED. These bytes are new: only a 1 counts as on.
        lights = Light.NONE
        if rules_2026 == 1:
            if straight == 1:
                lights |= Light.DRS
            if available == 1:
                lights |= Light.DRS_AVAILABLE
        if lights != self._aero_lights:
            self._aero_lights = lights
            self._merged = None

    def _session_data(self, data: bytes, form: _Format) -> None:
        (track_id,) = _TRACK.unpack_from(data, form.header.size + _TRACK_AFTER)
        if track_id != self._track_id:
            self._track_id = track_id
            self._track = str(track_id) if track_id >= 0 else None
            self._merged = None

    def _telemetry(self) -> Telemetry:
        if self._merged is None:
            lights = self._status_lights | self._aero_lights
            if self._drs_open:
                lights |= Light.DRS
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
                lights=lights,
                state=GameState.PAUSED if self._paused else GameState.UNKNOWN,
                game=self._game,
                car=self._car,
                throttle=self._throttle,
                fuel_amount=self._fuel_amount,
                fuel_capacity=self._fuel_capacity,
                lap_distance=self._lap_distance,
                in_pit=self._in_pit,
                lap_valid=self._lap_valid,
                track=self._track,
                tc_level=self._tc_level,
                abs_level=self._abs_level,
                brake_bias=self._brake_bias,
                engine_map=self._engine_map,
            )
        return self._merged


FAMILY = Family(
    name="f1",
    title="EA SPORTS F1",
    fields=filled(
        "gear rpm max_rpm rev_lights speed fuel "
        "lap_time last_lap best_lap lap position lights state car throttle "
        "fuel_amount fuel_capacity lap_distance in_pit lap_valid track "
        "tc_level abs_level brake_bias engine_map"
    ),
    decoder=Decoder,
    port=20777,
    games="F1 2020, F1 2021, F1 22, F1 23, F1 24, F1 25 (also with the 2026 Season Pack)",
)

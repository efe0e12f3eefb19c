"""Project Motor Racing: its UDP telemetry, sent to a multicast group.

Variable-length packets read front to back (strings and lists carry their
own lengths). Each describes one car: a race state per car says which is the
player's, and a vehicle telemetry per car carries the engine and gearbox;
the two are paired by the car's session id. Each packet type has its own
version; bytes after the fields known here are later additions, skipped."""

from __future__ import annotations

import math
import struct
from dataclasses import replace

from ..telemetry import GameState, Light, Telemetry
from .base import Family, car_id, filled, unit_share

_RACE_INFO, _RACE_STATE, _TELEMETRY, _STOPPED = 0, 1, 2, 3
_VERSIONS = {_RACE_INFO: 1, _RACE_STATE: 1, _TELEMETRY: 2, _STOPPED: 1}
_HEADER = struct.Struct("<BH")

_WHEEL_SIZE = 124
_CHASSIS_SIZE = 112
_FORWARD_SPEED_AT = 104  # in the chassis block
_DRIVETRAIN_FLOATS = 28
_ENGINE_RPM, _FUEL_LEFT = 0, 7
_GEAR_SIZE = 8  # upshift and downshift rpm
# Brake bias, anti-roll bars, regen and deploy limits (floats), then the ABS
# and TCS levels. The bias's unit and end are not said anywhere: not read.
_SETUP = struct.Struct("<20xBB")
_GENERAL_FLOATS = 10
_CONSTANT_HEAD = 24  # the bounding box
_MAX_RPM, _FUEL_CAPACITY = 3, 7  # among the constant block's floats
_CONSTANT_FLOATS = 12

_YELLOW, _BLUE = 0x02, 0x08
_INACTIVE, _ACTIVE = 0, 1
_TOP_GEAR = 10
_MAX_WHEELS = 16
_MAX_CARS = 128  # telemetry kept per car; more is no real grid
_MAX_NAME = 64

GAME = "Project Motor Racing"


class _Bad(Exception):
    """The packet ends before its fields do, or says nonsense."""


class _Cursor:
    def __init__(self, data: bytes, at: int) -> None:
        self.data = data
        self.at = at

    def take(self, size: int) -> bytes:
        end = self.at + size
        if end > len(self.data):
            raise _Bad
        chunk = self.data[self.at : end]
        self.at = end
        return chunk

    def unpack(self, fmt: str) -> tuple[float | int, ...]:
        layout = struct.Struct("<" + fmt)
        return layout.unpack(self.take(layout.size))

    def u8(self) -> int:
        return self.take(1)[0]

    def i32(self) -> int:
        return int(self.unpack("i")[0])

    def floats(self, count: int) -> tuple[float, ...]:
        return tuple(float(v) for v in self.unpack(f"{count}f"))

    def text(self) -> str:
        return self.take(self.u8()).decode("utf-8", "replace")

    def float_list(self) -> tuple[float, ...]:
        return self.floats(self.u8())


def _fraction(value: float) -> float | None:
    return min(1.0, max(0.0, value)) if math.isfinite(value) else None


class _Standing:
    """What the player's race state says."""

    def __init__(self, c: _Cursor) -> None:
        self.car_id = c.i32()
        self.is_player = c.u8() != 0
        name = c.text().strip()
        c.text()  # driver
        c.text()  # livery
        c.text()  # class
        position, lap, current, best, progress, _ = c.unpack("iifffi")
        c.float_list()  # sector times
        c.float_list()  # best sector times
        in_pits, _, _ = c.take(3)  # in pits, finished, disqualified
        # The flags: four bytes, though one reader takes two; only low bits are named.
        rest = c.data[c.at : c.at + 4]
        flags = int.from_bytes(rest, "little") if len(rest) >= 2 else 0
        self.car = name[:_MAX_NAME] if name and name.isprintable() else None
        self.position = int(position) if 1 <= position <= 999 else None
        self.lap = int(lap) if 1 <= lap <= 9999 else None
        self.lap_time = float(current) if math.isfinite(current) and current >= 0 else None
        self.best_lap = float(best) if math.isfinite(best) and best > 0 else None
        self.lap_fraction = unit_share(float(progress))
        self.in_pit = in_pits != 0
        self.lights = Light.NONE
        if flags & _YELLOW:
            self.lights |= Light.FLAG | Light.YELLOW
        if flags & _BLUE:
            self.lights |= Light.FLAG | Light.BLUE


class _Car:
    """What one car's vehicle telemetry says."""

    def __init__(self, c: _Cursor) -> None:
        self.car_id = c.i32()
        wheels = c.u8()
        if wheels > _MAX_WHEELS:
            raise _Bad
        c.take(wheels * _WHEEL_SIZE)
        chassis = c.take(_CHASSIS_SIZE)
        (forward,) = struct.unpack_from("<f", chassis, _FORWARD_SPEED_AT)
        drive = c.floats(_DRIVETRAIN_FLOATS)
        _, _, _, _, tc, limiter, _ = c.take(7)
        c.take(c.u8() * _GEAR_SIZE)
        c.float_list()  # average loads
        c.floats(1)  # load bias
        _, throttle, _, _, _ = c.floats(5)
        gear = c.i32()
        abs_level, tc_level = _SETUP.unpack(c.take(_SETUP.size))
        c.floats(_GENERAL_FLOATS)
        abs_active = c.u8()
        c.take(_CONSTANT_HEAD)
        constant = c.floats(_CONSTANT_FLOATS)
        c.take(4)  # wheel, forward and reverse gear counts, hybrid
        rpm, fuel, max_rpm, capacity = (
            drive[_ENGINE_RPM],
            drive[_FUEL_LEFT],
            constant[_MAX_RPM],
            constant[_FUEL_CAPACITY],
        )
        if not -1 <= gear <= _TOP_GEAR or not (math.isfinite(rpm) and math.isfinite(forward)):
            raise _Bad
        self.gear = gear
        self.rpm = max(0.0, rpm)
        self.max_rpm = max_rpm if math.isfinite(max_rpm) and max_rpm > 0 else None
        self.speed = abs(forward)
        self.fuel = self.fuel_amount = self.fuel_capacity = None
        if math.isfinite(capacity) and capacity > 0 and math.isfinite(fuel) and fuel >= 0:
            self.fuel = min(1.0, fuel / capacity)
            self.fuel_amount = fuel  # litres
            self.fuel_capacity = capacity
        self.tc_level = tc_level
        self.abs_level = abs_level
        self.throttle = _fraction(throttle)
        self.lights = Light.NONE
        if tc:
            self.lights |= Light.TC
        if abs_active:
            self.lights |= Light.ABS
        if limiter:
            self.lights |= Light.PIT_LIMITER


class Decoder:
    """The player's car, from the last race state that named it and the
    last telemetry of that car."""

    def __init__(self) -> None:
        self._player: _Standing | None = None
        self._cars: dict[int, _Car] = {}
        self._session = GameState.UNKNOWN
        self._track: str | None = None

    def decode(self, data: bytes) -> Telemetry | None:
        if len(data) < _HEADER.size:
            return None
        kind, version = _HEADER.unpack_from(data)
        if _VERSIONS.get(kind) != version:
            return None
        c = _Cursor(data, _HEADER.size)
        try:
            if kind == _RACE_INFO:
                track, layout = c.text(), c.text()
                for _ in range(4):  # season, weather, session, game mode
                    c.text()
                c.floats(5)
                _, state, _ = c.take(3)
                self._session = {_INACTIVE: GameState.MENU, _ACTIVE: GameState.DRIVING}.get(
                    state, GameState.UNKNOWN
                )
                # Sent now and then, not with every frame: decoded as it comes.
                self._track = car_id(f"{track}/{layout}".strip("/").encode())
            elif kind == _RACE_STATE:
                standing = _Standing(c)
                if standing.is_player:
                    self._player = standing
            elif kind == _TELEMETRY:
                car = _Car(c)
                if len(self._cars) >= _MAX_CARS and car.car_id not in self._cars:
                    self._cars.clear()
                self._cars[car.car_id] = car
            else:
                self._session = GameState.MENU
        except _Bad:
            return None
        return self._telemetry()

    def _telemetry(self) -> Telemetry:
        player = self._player
        if player is None:
            return Telemetry(state=self._session, game=GAME, track=self._track)
        standing = Telemetry(
            lap_time=player.lap_time,
            best_lap=player.best_lap,
            lap=player.lap,
            position=player.position,
            lights=player.lights,
            state=self._session,
            game=GAME,
            car=player.car,
            lap_fraction=player.lap_fraction,
            in_pit=player.in_pit,
            track=self._track,
        )
        car = self._cars.get(player.car_id)
        if car is None:
            return standing
        return replace(
            standing,
            gear=car.gear,
            rpm=car.rpm,
            max_rpm=car.max_rpm,
            speed=car.speed,
            fuel=car.fuel,
            lights=player.lights | car.lights,
            throttle=car.throttle,
            fuel_amount=car.fuel_amount,
            fuel_capacity=car.fuel_capacity,
            tc_level=car.tc_level,
            abs_level=car.abs_level,
        )


FAMILY = Family(
    name="pmr",
    title="Project Motor Racing UDP",
    fields=filled(
        "gear rpm max_rpm speed fuel lap_time best_lap lap position lights state car throttle "
        "fuel_amount fuel_capacity lap_fraction in_pit track tc_level abs_level"
    ),
    decoder=Decoder,
    port=7576,
    multicast="224.0.0.150",
    games="Project Motor Racing",
)

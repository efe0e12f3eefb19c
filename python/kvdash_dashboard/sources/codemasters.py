"""The older Codemasters UDP format: DiRT Rally, DiRT Rally 2.0, DiRT 4, GRID,
and the WRC games that copy it.

An array of little-endian floats, as long as the game's "extradata" setting
makes it: 64, 152, 252 or 264 bytes. Engine speeds are in rad/s.

WRC Generations sends the extradata-3 layout natively (no setting) in a
longer packet: the same 66 floats, then more (marthofdoom/oversteer,
oversteer/telemetry_formats.py: 264 bytes is DiRT, a longer length WRC
Generations). Its max rpm is higher than the car's limit, so it is left out and
the RPM LEDs follow the limit the app learns from the revs. The game sends
nothing in practice or the test area (SHWotever/SimHub issue 1175)."""

from __future__ import annotations

import math
import struct

from ..telemetry import Telemetry
from .base import Family, filled, unit_share

_MOTION_ONLY = 64  # extradata 0: a motion record, nothing for a dashboard
_FLOATS = {152: struct.Struct("<38f"), 252: struct.Struct("<63f"), 264: struct.Struct("<66f")}
_EXTRADATA = {64: 0, 152: 1, 252: 2, 264: 3}
# WRC Generations: the extradata-3 floats first, in any longer packet of
# whole floats up to this.
_EXTRADATA_LENGTH = 264
_WRC_LONGEST = 512
# Forza's dash packet (Horizon 4 to 6), often sent to the wrong port: named
# as such by the diagnosis, not read as a rally car.
_FORZA_DASH = 324
_WRC_GENERATIONS = "WRC Generations"

# Float indices.
_LAP_TIME, _LAP_DISTANCE, _SPEED, _THROTTLE, _GEAR, _LAP, _ENGINE = 1, 2, 7, 29, 33, 36, 37
_POSITION, _TC, _ABS, _FUEL, _CAPACITY, _IN_PIT = 39, 43, 44, 45, 46, 47
_TRACK_LENGTH, _LAST_LAP, _MAX_ENGINE = 61, 62, 63

_RPM_PER_RAD_S = 60.0 / (2.0 * math.pi)
_REVERSE_DIRT_RALLY = 10.0  # DiRT Rally and DiRT 4; DiRT Rally 2.0 sends -1
_TOP_GEAR = 9
# The F1-era settings the format kept: TC 0 off to 2 high, ABS 0 off or 1 on.
_TOP_TC, _TOP_ABS = 2, 1


def _gear(value: float) -> int | None:
    """The gear as -1..9, or None when the float is no gear at all."""
    if not math.isfinite(value) or value != round(value):
        return None
    if value == _REVERSE_DIRT_RALLY:
        return -1
    gear = int(value)
    return gear if -1 <= gear <= _TOP_GEAR else None


def _positive(value: float) -> float | None:
    return value if math.isfinite(value) and value > 0 else None


def _setting(value: float, top: int) -> int | None:
    """A whole-number setting from 0 to top, or None when it is not one
    (NaN fails the comparison)."""
    return int(value) if 0 <= value <= top and value.is_integer() else None


def _count(value: float) -> int | None:
    """A lap or position the game has set: a whole number from 1."""
    if not math.isfinite(value) or not 1 <= value <= 10_000:
        return None
    return int(value)


def is_wrc_length(size: int) -> bool:
    """Whether a packet of size bytes is WRC Generations' longer one."""
    return _EXTRADATA_LENGTH < size <= _WRC_LONGEST and size % 4 == 0 and size != _FORZA_DASH


class Decoder:
    """Each packet carries the whole car; the best lap is remembered from the
    last-lap times, which is all the format has of it."""

    def __init__(self) -> None:
        self._best: float | None = None
        self._track_length: float | None = None

    def decode(self, data: bytes) -> Telemetry | None:
        size = len(data)
        extradata = _EXTRADATA.get(size)
        wrc = extradata is None and is_wrc_length(size)
        if wrc:
            extradata, game = 3, _WRC_GENERATIONS
        elif extradata is None:
            return None
        else:
            game = f"DiRT / GRID (extradata {extradata})"
        if size == _MOTION_ONLY:
            return Telemetry(game=game)
        f = _FLOATS[_EXTRADATA_LENGTH if wrc else size].unpack_from(data)
        gear = _gear(f[_GEAR])
        speed, rpm = f[_SPEED], f[_ENGINE] * _RPM_PER_RAD_S
        if gear is None or not (math.isfinite(speed) and math.isfinite(rpm)):
            return None
        lap_time = f[_LAP_TIME]
        lap = f[_LAP] + 1  # the game counts laps from 0
        throttle = unit_share(f[_THROTTLE])
        # Metres into the lap or stage; below zero before the start line.
        distance = f[_LAP_DISTANCE]
        lap_distance = distance if 0 <= distance < math.inf else None
        if extradata < 2:
            return Telemetry(
                gear=gear,
                rpm=max(0.0, rpm),
                speed=abs(speed),
                lap_time=lap_time if math.isfinite(lap_time) and lap_time >= 0 else None,
                lap=_count(lap),
                game=game,
                throttle=throttle,
                lap_distance=lap_distance,
            )
        last_lap = _positive(f[_LAST_LAP])
        self._remember_best(last_lap, f[_TRACK_LENGTH])
        fuel = fuel_amount = None
        # The rally titles send no tank (0): then neither fuel field.
        capacity = _positive(f[_CAPACITY])
        if capacity is not None and math.isfinite(f[_FUEL]) and f[_FUEL] >= 0:
            fuel_amount = f[_FUEL]
            fuel = min(1.0, fuel_amount / capacity)
        else:
            capacity = None
        pit = _setting(f[_IN_PIT], 2)  # 0 none, 1 pitting, 2 in the pit area
        # WRC Generations' figure is above where its engines stop.
        max_rpm = _positive(f[_MAX_ENGINE] * _RPM_PER_RAD_S) if extradata == 3 and not wrc else None
        return Telemetry(
            gear=gear,
            rpm=max(0.0, rpm),
            max_rpm=max_rpm,
            speed=abs(speed),
            fuel=fuel,
            lap_time=lap_time if math.isfinite(lap_time) and lap_time >= 0 else None,
            last_lap=last_lap,
            best_lap=self._best,
            lap=_count(lap),
            position=_count(f[_POSITION]),
            game=game,
            throttle=throttle,
            fuel_amount=fuel_amount,
            fuel_capacity=capacity,
            lap_distance=lap_distance,
            in_pit=None if pit is None else pit != 0,
            tc_level=_setting(f[_TC], _TOP_TC),
            abs_level=_setting(f[_ABS], _TOP_ABS),
        )

    def _remember_best(self, last_lap: float | None, track_length: float) -> None:
        if track_length != self._track_length:
            # Another track or stage: its laps do not compare with the old ones.
            self._track_length = track_length
            self._best = None
        if last_lap is not None and (self._best is None or last_lap < self._best):
            self._best = last_lap


FAMILY = Family(
    name="codemasters",
    title="Codemasters UDP (extradata)",
    fields=filled(
        "gear rpm max_rpm speed fuel lap_time last_lap best_lap lap position throttle "
        "fuel_amount fuel_capacity lap_distance in_pit tc_level abs_level"
    ),
    decoder=Decoder,
    # Shared with F1: no F1 packet has one of the lengths read here.
    port=20777,
    games="DiRT Rally, DiRT Rally 2.0, DiRT 4, GRID, WRC Generations",
    learns_max_rpm=frozenset({_WRC_GENERATIONS}),
)

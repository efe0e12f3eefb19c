"""RaceRoom Racing Experience: the shared memory ``$R3E``.

One packed structure whose fields move between layout versions; the reader
accepts only the (major, minor) versions it has offsets for (2.9 to 2.16,
3.1 to 3.5) and refuses others, whose offsets are unknown. There is no
update counter: the player's ``game_simulation_ticks`` (1/400 s) advances
while the simulation runs and is read before and after the copy.

The snapshot (SNAPSHOT, little-endian, 284 bytes) holds, whatever the
version, in this order: i32 version_major, i32 version_minor, i32 ticks,
i32 game_paused, i32 game_in_menus, i32 game_in_replay, i32 flags.yellow,
i32 flags.blue, i32 position,
i32 completed_laps, f32 lap_time_best_self, f32 lap_time_previous_self,
f32 lap_time_current_self, f32 time_delta_best_self, f32 car_speed,
f32 engine_rps, f32 max_engine_rps, f32 upshift_rps, i32 gear,
f32 fuel_left, f32 fuel_capacity, i32 aid_settings.abs, i32 aid_settings.tc,
i32 drs.equipped, i32 drs.available, i32 drs.numActivationsLeft,
i32 drs.engaged, i32 pit_limiter, i32 vehicle_info.model_id, f32 throttle;
then the race information (recordings made before it end above, 120 bytes,
and still play, without it): i32 current_lap_valid, i32 track_sector,
f32 lap_distance, f32 lap_distance_fraction, i32 in_pitlane, f32 brake_bias,
i32 abs_setting (-1 before 2.15, which lacks it), i32 traction_control_setting,
i32 engine_map_setting, u8[64] track_name, u8[64] layout_name."""

from __future__ import annotations

import math
import struct
from collections.abc import Sequence
from typing import NamedTuple

from ..telemetry import GameState, Light, Telemetry
from .base import Family, TextCache, car_id, filled, track_name, unit_share
from .shm import TORN_RETRIES, ShmReader, View, require

NAMES = ("$R3E",)

_HEAD = "<10i 8f i 2f 7i if"
SNAPSHOT = struct.Struct(_HEAD + "i4xffi f iii 64s64s")
_BEFORE_RACE = struct.Struct(_HEAD)
_NO_RACE = (-1, -1.0, -1.0, -1, -1.0, -1, -1, -1, b"", b"")


class Offsets(NamedTuple):
    ticks: int
    paused: int  # in_menus and in_replay follow, 4 bytes apart
    flags: int  # yellow; blue is 32 bytes on in every version
    position: int
    completed_laps: int
    best: int
    previous: int
    current: int
    delta: int
    speed: int  # engine_rps, max_engine_rps, upshift_rps, gear follow
    fuel: int  # fuel_left, fuel_capacity
    aids: int  # abs, tc = +4
    drs: int  # equipped, available, numActivationsLeft, engaged
    pit_limiter: int
    model: int  # vehicle_info.model_id
    throttle: int
    lap_valid: int  # current_lap_valid; track_sector, lap_distance, its fraction follow
    in_pitlane: int
    names: int  # track_name; layout_name follows
    brake_bias: int
    abs_setting: int | None  # from 2.15
    electronics: int  # traction_control_setting; engine_map_setting follows


# fmt: off
_V2 = Offsets(36, 16, 900, 956, 996, 1036, 1052, 1068, 1100, 1336, 1400, 1468, 1488, 1504,
              1228, 1432, 1000, 820, 576, 1528, None, 1868)
_V215 = _V2._replace(abs_setting=1548)
_V31 = Offsets(36, 16, 920, 976, 1016, 1056, 1072, 1088, 1120, 1368, 1432, 1512, 1532, 1548,
               1256, 1476, 1020, 840, 592, 1572, 1592, 1912)
_V32 = Offsets(36, 16, 920, 976, 1016, 1056, 1072, 1088, 1120, 1380, 1444, 1524, 1544, 1560,
               1256, 1488, 1020, 840, 592, 1584, 1604, 1924)
_V33 = Offsets(40, 20, 924, 980, 1020, 1060, 1076, 1092, 1124, 1384, 1448, 1528, 1548, 1564,
               1260, 1492, 1024, 844, 596, 1588, 1608, 1928)
_V35 = Offsets(44, 20, 932, 988, 1028, 1068, 1084, 1100, 1132, 1392, 1456, 1536, 1556, 1572,
               1268, 1500, 1032, 848, 600, 1596, 1616, 1936)
# fmt: on
_BLUE = 32  # flags.blue after flags.yellow

LAYOUTS: dict[tuple[int, int], Offsets] = {
    **{(2, minor): _V2 if minor < 15 else _V215 for minor in range(9, 17)},
    (3, 1): _V31,
    (3, 2): _V32,
    (3, 3): _V33,
    (3, 4): _V35,
    (3, 5): _V35,
}

_VERSION = struct.Struct("<ii")
_NO_SETTING = struct.pack("<i", -1)
_TO_RPM = 60.0 / (2.0 * math.pi)


def take(views: Sequence[View]) -> bytes | None:
    """The snapshot, or None when torn through every retry. A version with
    no known offsets is taken as just its version, for the decoder to refuse."""
    (view,) = views
    version = view.read(0, 8)
    at = LAYOUTS.get(_VERSION.unpack(version))
    if at is None:
        return version + bytes(SNAPSHOT.size - 8)
    require(view, at.electronics + 8)
    for _ in range(TORN_RETRIES):
        ticks = view.read(at.ticks, 4)
        body = b"".join(
            (
                version,
                ticks,
                view.read(at.paused, 12),
                view.read(at.flags, 4),
                view.read(at.flags + _BLUE, 4),
                view.read(at.position, 4),
                view.read(at.completed_laps, 4),
                view.read(at.best, 4),
                view.read(at.previous, 4),
                view.read(at.current, 4),
                view.read(at.delta, 4),
                view.read(at.speed, 20),
                view.read(at.fuel, 8),
                view.read(at.aids, 8),
                view.read(at.drs, 16),
                view.read(at.pit_limiter, 4),
                view.read(at.model, 4),
                view.read(at.throttle, 4),
                view.read(at.lap_valid, 16),
                view.read(at.in_pitlane, 4),
                view.read(at.brake_bias, 4),
                _NO_SETTING if at.abs_setting is None else view.read(at.abs_setting, 4),
                view.read(at.electronics, 8),
                view.read(at.names, 128),
            )
        )
        if view.read(at.ticks, 4) == ticks:
            return body
    return None


def _seconds(x: float) -> float | None:
    return x if 0 < x < 86_400 else None


def _setting(value: int) -> int | None:
    return value if 0 <= value < 1000 else None  # -1: not available


class R3eDecoder:
    def __init__(self) -> None:
        self._track = TextCache(lambda name, layout: track_name(car_id(name), car_id(layout)))

    def decode(self, data: bytes) -> Telemetry | None:
        if len(data) == SNAPSHOT.size:
            values = SNAPSHOT.unpack(data)
        elif len(data) == _BEFORE_RACE.size:
            values = _BEFORE_RACE.unpack(data) + _NO_RACE
        else:
            return None
        (
            major,
            minor,
            _,
            paused,
            in_menus,
            in_replay,
            yellow,
            blue,
            position,
            completed,
            best,
            previous,
            current,
            delta,
            speed,
            engine_rps,
            max_rps,
            upshift_rps,
            gear,
            fuel_left,
            fuel_capacity,
            abs_,
            tc,
            _,
            drs_available,
            _,
            drs_engaged,
            pit_limiter,
            model,
            throttle,
            lap_valid,
            lap_distance,
            lap_fraction,
            in_pitlane,
            brake_bias,
            abs_setting,
            tc_setting,
            engine_map,
            track_raw,
            layout_name,
        ) = values
        if (major, minor) not in LAYOUTS:
            return None
        floats = (best, previous, current, delta, speed, engine_rps, max_rps, upshift_rps)
        race = (fuel_left, fuel_capacity, lap_distance, lap_fraction, brake_bias)
        if not all(math.isfinite(x) for x in floats + race):
            return None
        if gear == -2:  # not available
            gear = 0
        rpm = engine_rps * _TO_RPM
        if not -1 <= gear <= 20 or not 0 <= rpm <= 100_000:
            return None
        max_rpm = max_rps * _TO_RPM
        upshift = upshift_rps * _TO_RPM

        lights = Light.NONE
        if pit_limiter == 1:
            lights |= Light.PIT_LIMITER
        if abs_ == 5:  # 5: acting now
            lights |= Light.ABS
        if tc == 5:
            lights |= Light.TC
        if drs_engaged == 1:
            lights |= Light.DRS
        elif drs_available == 1:
            lights |= Light.DRS_AVAILABLE
        if 0 < upshift <= rpm:
            lights |= Light.SHIFT
        if yellow == 1:
            lights |= Light.FLAG | Light.YELLOW
        if blue == 1:
            lights |= Light.FLAG | Light.BLUE

        if in_replay == 1:
            state = GameState.REPLAY
        elif in_menus == 1:
            state = GameState.MENU
        elif paused == 1:
            state = GameState.PAUSED
        else:
            state = GameState.DRIVING
        return Telemetry(
            gear=gear,
            rpm=rpm,
            max_rpm=max_rpm if 0 < max_rpm <= 100_000 else None,
            speed=max(0.0, speed),
            fuel=min(1.0, max(0.0, fuel_left / fuel_capacity))
            if fuel_capacity > 0 and fuel_left >= 0
            else None,
            lap_time=current if 0 <= current < 86_400 else None,
            last_lap=_seconds(previous),
            best_lap=_seconds(best),
            delta=delta if -1000 < delta < 1000 else None,
            lap=completed + 1 if 0 <= completed < 100_000 else None,
            position=position if 0 < position < 1000 else None,
            lights=lights,
            state=state,
            game="RaceRoom",
            car=str(model) if model > 0 else None,  # -1: not available
            throttle=unit_share(throttle),
            fuel_amount=fuel_left if fuel_left >= 0 else None,
            fuel_capacity=fuel_capacity if fuel_capacity > 0 else None,
            lap_distance=lap_distance if lap_distance >= 0 else None,
            lap_fraction=lap_fraction if 0 <= lap_fraction <= 1 else None,
            in_pit=bool(in_pitlane) if in_pitlane in (0, 1) else None,
            lap_valid=bool(lap_valid) if lap_valid in (0, 1) else None,
            track=self._track(track_raw, layout_name),
            tc_level=_setting(tc_setting),
            abs_level=_setting(abs_setting),
            # brake_bias is the rear's share, 0 to 1 (-1: not available).
            brake_bias=round((1.0 - brake_bias) * 100.0, 2) if 0 < brake_bias < 1 else None,
            engine_map=_setting(engine_map),
        )


FAMILY = Family(
    name="r3e",
    title="RaceRoom shared memory",
    fields=filled(
        "gear rpm max_rpm speed fuel lap_time last_lap best_lap delta lap position lights "
        "state game car throttle fuel_amount fuel_capacity lap_distance lap_fraction in_pit "
        "lap_valid track tc_level abs_level brake_bias engine_map"
    ),
    decoder=R3eDecoder,
    reader=lambda shm_dir: ShmReader(NAMES, take, shm_dir),
    games="RaceRoom Racing Experience",
)

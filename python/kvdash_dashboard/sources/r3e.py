"""RaceRoom Racing Experience: the shared memory ``$R3E``.

One packed structure whose fields move between layout versions; the reader
accepts only the (major, minor) versions it has offsets for (2.9 to 2.16,
3.1 to 3.5) and refuses others, whose offsets are unknown. There is no
update counter: the player's ``game_simulation_ticks`` (1/400 s) advances
while the simulation runs and is read before and after the copy.

The snapshot (SNAPSHOT, little-endian, 120 bytes) holds, whatever the
version, in this order: i32 version_major, i32 version_minor, i32 ticks,
i32 game_paused, i32 game_in_menus, i32 game_in_replay, i32 flags.yellow,
i32 flags.blue, i32 position,
i32 completed_laps, f32 lap_time_best_self, f32 lap_time_previous_self,
f32 lap_time_current_self, f32 time_delta_best_self, f32 car_speed,
f32 engine_rps, f32 max_engine_rps, f32 upshift_rps, i32 gear,
f32 fuel_left, f32 fuel_capacity, i32 aid_settings.abs, i32 aid_settings.tc,
i32 drs.equipped, i32 drs.available, i32 drs.numActivationsLeft,
i32 drs.engaged, i32 pit_limiter, i32 vehicle_info.model_id, f32 throttle."""

from __future__ import annotations

import math
import struct
from collections.abc import Sequence
from typing import NamedTuple

from ..telemetry import GameState, Light, Telemetry
from .base import Family, filled, unit_share
from .shm import TORN_RETRIES, ShmReader, View, require

NAMES = ("$R3E",)

SNAPSHOT = struct.Struct("<10i 8f i 2f 7i if")


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


# fmt: off
_V2 = Offsets(36, 16, 900, 956, 996, 1036, 1052, 1068, 1100, 1336, 1400, 1468, 1488, 1504,
              1228, 1432)
_V31 = Offsets(36, 16, 920, 976, 1016, 1056, 1072, 1088, 1120, 1368, 1432, 1512, 1532, 1548,
               1256, 1476)
_V32 = Offsets(36, 16, 920, 976, 1016, 1056, 1072, 1088, 1120, 1380, 1444, 1524, 1544, 1560,
               1256, 1488)
_V33 = Offsets(40, 20, 924, 980, 1020, 1060, 1076, 1092, 1124, 1384, 1448, 1528, 1548, 1564,
               1260, 1492)
_V35 = Offsets(44, 20, 932, 988, 1028, 1068, 1084, 1100, 1132, 1392, 1456, 1536, 1556, 1572,
               1268, 1500)
# fmt: on
_BLUE = 32  # flags.blue after flags.yellow

LAYOUTS: dict[tuple[int, int], Offsets] = {
    **{(2, minor): _V2 for minor in range(9, 17)},
    (3, 1): _V31,
    (3, 2): _V32,
    (3, 3): _V33,
    (3, 4): _V35,
    (3, 5): _V35,
}

_VERSION = struct.Struct("<ii")
_TO_RPM = 60.0 / (2.0 * math.pi)


def take(views: Sequence[View]) -> bytes | None:
    """The snapshot, or None when torn through every retry. A version with
    no known offsets is taken as just its version, for the decoder to refuse."""
    (view,) = views
    version = view.read(0, 8)
    at = LAYOUTS.get(_VERSION.unpack(version))
    if at is None:
        return version + bytes(SNAPSHOT.size - 8)
    require(view, at.pit_limiter + 4)
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
            )
        )
        if view.read(at.ticks, 4) == ticks:
            return body
    return None


def _seconds(x: float) -> float | None:
    return x if 0 < x < 86_400 else None


class R3eDecoder:
    def decode(self, data: bytes) -> Telemetry | None:
        if len(data) != SNAPSHOT.size:
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
        ) = SNAPSHOT.unpack(data)
        if (major, minor) not in LAYOUTS:
            return None
        floats = (best, previous, current, delta, speed, engine_rps, max_rps, upshift_rps)
        if not all(math.isfinite(x) for x in floats + (fuel_left, fuel_capacity)):
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
        )


FAMILY = Family(
    name="r3e",
    title="RaceRoom shared memory",
    fields=filled(
        "gear rpm max_rpm speed fuel lap_time last_lap "
        "best_lap delta lap position lights state game car throttle"
    ),
    decoder=R3eDecoder,
    reader=lambda shm_dir: ShmReader(NAMES, take, shm_dir),
    games="RaceRoom Racing Experience",
)

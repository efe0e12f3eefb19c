"""Assetto Corsa EVO: three shared-memory pages, ``acevo_pmf_physics``,
``acevo_pmf_graphics`` and ``acevo_pmf_static`` (4-byte packed,
little-endian, 8-bit strings).

The physics page is ACC's, field for field (800 bytes). The graphics page is
EVO's own: 3940 bytes, or 4900 in builds that append the other cars' ids,
which nothing here reads. ``packetId`` (i32 at 0 of physics and of graphics)
moves on every write and is read before and after each copy. The static
page holds the track, read with the rest (it seldom changes).

The snapshot (SNAPSHOT, little-endian, 244 bytes) holds, in this order:
  physics: i32 packetId, f32 gas, f32 fuel, i32 gear, i32 rpms,
    f32 speedKmh, i32 pitLimiterOn, i32 currentMaxRpm, i32 tcinAction,
    i32 absInAction;
  graphics: i32 packetId, i32 status, u8 is_rpm_limiter_on,
    u8 is_change_up_rpm, u8 tc_active, u8 abs_active, u8 is_ignition_on,
    u8 is_engine_running, 2 pad; i32 delta_time_ms, i32 current_lap_time_ms,
    u8 electronics.is_pitlimiter_on, 3 pad; i32 total_lap_count,
    u32 current_pos, i32 last_laptime_ms, i32 best_laptime_ms, i32 flag,
    i32 global_flag, char car_model[33], 3 pad, f32 max_fuel;
then the race information (recordings made before it end above, 132 bytes,
and still play, without it): graphics f32 npos, u8 is_in_pit_box,
u8 is_in_pit_lane, u8 timing_state.is_invalid, 1 pad, the electronics
(i8 tc_level, i8 tc_cut_level, i8 abs_level, 5 bytes, f32 brake_bias,
i8 engine_map_level, 3 bytes) and the same 16 bytes of their upper limits;
static char track[33], char track_configuration[33], 2 pad, f32 track_length_m
(zeros where the static page is shorter)."""

from __future__ import annotations

import math
import struct
from collections.abc import Sequence

from ..telemetry import GameState, Light, Telemetry
from .base import Family, TextCache, filled, track_name
from .shm import CounterCache, ShmReader, Unsupported, View, c_text, consistent, read_optional

NAMES = ("acevo_pmf_physics", "acevo_pmf_graphics", "acevo_pmf_static")
PHYSICS, GRAPHICS, STATIC = range(3)

_HEAD = "<iffiifiiii ii6B2x ii B3x iIiiii 33s3x f"
SNAPSHOT = struct.Struct(_HEAD + "f 3B x bxb5xfb3x bxb9xb3x 33s33s2xf")
_BEFORE_RACE = struct.Struct(_HEAD)
_NO_RACE = (-1.0, 0, 0, 0, 0, 0, 0.0, 0, 0, 0, 0, b"", b"", 0.0)

PHYSICS_SIZE = 800
GRAPHICS_SIZE = 3940  # the first builds; later ones append to 4900

_PHYSICS_SPANS = ((0, 8), (12, 12), (28, 4), (248, 4), (588, 4), (672, 8))
_GRAPHICS_SPANS = ((0, 8), (42, 2), (45, 2), (49, 2))
_GRAPHICS_TAIL = ((184, 8), (1910, 1))
_GRAPHICS_LAPS = ((2384, 8), (2396, 16), (3086, 33))
# npos; pit box, pit lane; the lap invalidated; the electronics and their upper limits
_GRAPHICS_RACE = ((1244, 4), (3119, 2), (2849, 1))
_ELECTRONICS = ((1872, 16), (2128, 16))
_STATIC_TRACK = (136, 72)  # track, track_configuration, track_length_m

_NO_LAP_MS = 3_600_000  # a placeholder or a lap an hour long: no lap time
_STATUS = {0: GameState.MENU, 1: GameState.REPLAY, 2: GameState.DRIVING, 3: GameState.PAUSED}
# EVO's own flag numbers (not AC's): 4 blue, 5 yellow; red, black,
# black-and-white and the orange disc also call for the driver's attention.
_BLUE, _YELLOW = 4, 5
_OTHER_FLAGS = (3, 6, 7, 9)


def take(views: Sequence[View]) -> bytes | None:
    """The snapshot of the pages; None when torn through every retry."""
    physics, graphics, static = views
    for view, least, name in (
        (physics, PHYSICS_SIZE, NAMES[0]),
        (graphics, GRAPHICS_SIZE, NAMES[1]),
    ):
        if view.size() < least:
            raise Unsupported(
                f"{name} is {view.size()} bytes, less than the {least} the game writes "
                "(a bridge that maps it too small?)"
            )

    def physics_body() -> bytes:
        return b"".join(physics.read(o, n) for o, n in _PHYSICS_SPANS)

    def graphics_body() -> bytes:
        return b"".join(
            (
                *(graphics.read(o, n) for o, n in _GRAPHICS_SPANS),
                bytes(2),
                *(graphics.read(o, n) for o, n in _GRAPHICS_TAIL),
                bytes(3),
                *(graphics.read(o, n) for o, n in _GRAPHICS_LAPS),
                bytes(3),
                graphics.read(3928, 4),
                *(graphics.read(o, n) for o, n in _GRAPHICS_RACE),
                bytes(1),
                *(graphics.read(o, n) for o, n in _ELECTRONICS),
            )
        )

    phys = consistent(physics, 0, physics_body)
    graph = consistent(graphics, 0, graphics_body)
    if phys is None or graph is None:
        return None
    return phys + graph + read_optional(static, *_STATIC_TRACK)


def _counters(views: Sequence[View]) -> bytes:
    return views[PHYSICS].read(0, 4) + views[GRAPHICS].read(0, 4)


def _lap_ms(ms: int) -> float | None:
    return ms / 1000.0 if 0 < ms < _NO_LAP_MS else None


def _level(value: int, most: int) -> int | None:
    return value if 0 <= value <= most and most > 0 else None  # most 0: not in this car


class AcevoDecoder:
    def __init__(self) -> None:
        self._track = TextCache(lambda name, layout: track_name(c_text(name), c_text(layout)))

    def decode(self, data: bytes) -> Telemetry | None:
        race = len(data) == SNAPSHOT.size
        if race:
            values = SNAPSHOT.unpack(data)
        elif len(data) == _BEFORE_RACE.size:
            values = _BEFORE_RACE.unpack(data) + _NO_RACE
        else:
            return None
        (
            _,
            gas,
            fuel,
            gear,
            rpms,
            speed_kmh,
            pit_limiter,
            limit_rpm,
            tc_acting,
            abs_acting,
            _,
            status,
            _,
            change_up,
            tc_active,
            abs_active,
            ignition,
            running,
            delta_ms,
            current_ms,
            pit_limiter_on,
            completed,
            position,
            last_ms,
            best_ms,
            flag,
            global_flag,
            car_model,
            max_fuel,
            npos,
            in_pit_box,
            in_pit_lane,
            lap_invalid,
            tc_level,
            abs_level,
            brake_bias,
            engine_map,
            tc_most,
            abs_most,
            engine_map_most,
            track,
            layout,
            track_length,
        ) = values
        if not 0 <= gear <= 21 or not 0 <= rpms <= 100_000:
            return None
        if not all(math.isfinite(x) for x in (gas, fuel, speed_kmh, max_fuel)):
            return None
        lap_fraction = npos if 0 <= npos <= 1 else None  # NaN fails too
        lap_distance = None
        if lap_fraction is not None and 0 < track_length < 1e6:
            lap_distance = lap_fraction * track_length
        lights = Light.NONE
        if pit_limiter or pit_limiter_on:
            lights |= Light.PIT_LIMITER
        if tc_active or tc_acting:
            lights |= Light.TC
        if abs_active or abs_acting:
            lights |= Light.ABS
        if change_up:
            lights |= Light.SHIFT
        if ignition and not running:  # stalled: a car's oil and battery lamps light
            lights |= Light.ENGINE
        if flag == _BLUE:
            lights |= Light.FLAG | Light.BLUE
        if _YELLOW in (flag, global_flag):
            lights |= Light.FLAG | Light.YELLOW
        if flag in _OTHER_FLAGS:
            lights |= Light.FLAG
        best = _lap_ms(best_ms)
        return Telemetry(
            gear=gear - 1,
            rpm=float(rpms),
            max_rpm=float(limit_rpm) if 0 < limit_rpm <= 100_000 else None,
            speed=min(max(0.0, speed_kmh / 3.6), 1000.0),
            fuel=min(1.0, max(0.0, fuel / max_fuel)) if max_fuel > 0 else None,
            lap_time=current_ms / 1000.0 if 0 <= current_ms < _NO_LAP_MS else None,
            last_lap=_lap_ms(last_ms),
            best_lap=best,
            delta=delta_ms / 1000.0 if best is not None and abs(delta_ms) < 1_000_000 else None,
            lap=completed + 1 if 0 <= completed < 100_000 else None,
            position=position if 0 < position < 1000 else None,
            lights=lights,
            state=_STATUS.get(status, GameState.UNKNOWN),
            game="Assetto Corsa EVO",
            car=c_text(car_model),
            throttle=min(1.0, max(0.0, gas)),
            fuel_amount=fuel if fuel >= 0 else None,
            fuel_capacity=max_fuel if max_fuel > 0 else None,
            lap_distance=lap_distance,
            lap_fraction=lap_fraction,
            in_pit=bool(in_pit_box or in_pit_lane) if race else None,
            lap_valid=not lap_invalid if race else None,
            track=self._track(track, layout),
            tc_level=_level(tc_level, tc_most),
            abs_level=_level(abs_level, abs_most),
            # The front's share, 0 to 1.
            brake_bias=round(brake_bias * 100.0, 2) if 0 < brake_bias < 1 else None,
            engine_map=_level(engine_map, engine_map_most),
        )


FAMILY = Family(
    name="acevo",
    title="Assetto Corsa EVO shared memory",
    fields=filled(
        "gear rpm max_rpm speed fuel lap_time last_lap best_lap delta lap position lights "
        "state game car throttle fuel_amount fuel_capacity lap_distance lap_fraction in_pit "
        "lap_valid track tc_level abs_level brake_bias engine_map"
    ),
    decoder=AcevoDecoder,
    reader=lambda shm_dir: ShmReader(NAMES, CounterCache(_counters, take), shm_dir),
    games="Assetto Corsa EVO",
)

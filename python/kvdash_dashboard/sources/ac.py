"""Assetto Corsa, ACC and Assetto Corsa Rally: three shared-memory pages.

``acpmf_physics`` (every physics step), ``acpmf_graphics`` (every HUD update)
and ``acpmf_static`` (once a session), 4-byte packed, little-endian. Both
games share the physics offsets and the first 176 graphics bytes; the rest
of the graphics page differs. ACC is told from AC by its static page: ACC's
is 820 bytes long and fills its tyre names past byte 684, where AC's page
(684 bytes) has ended and the mapping holds zeros or nothing.

Assetto Corsa Rally (early access) writes ACC's layout (open readers such as
simapi and acr_telemetry read it with ACC's structures), but its static page
is all zeros at a session's start, so it is told apart by its physics page:
it gives the air and road temperatures in kelvin (above 150), where AC and
ACC give degrees Celsius. The static page is read again with every snapshot,
so its car and tank count once the game fills them. Its quirks:
  - its max rpm (static maxRpm) jumps to impossible values when the car is
    airborne or after a crash and stays there: never used, the app learns
    the rev limit from the rpm instead (Family.learns_max_rpm);
  - tc and abs hold the settings (1 when on), tcinAction and absInAction and
    pitLimiterOn are never filled: no TC, ABS or limiter light from them;
  - its graphics status is unreliable (readers take it as driving): only
    "live" and "paused" are believed;
  - the gear counts as in AC and ACC, 0 reverse and 1 neutral. One reader's
    field list (acr_telemetry, docs/FIELDS.md) says 0 is neutral, but its own
    recorded range, 1 to 7 while driving with zeros left out, fits AC's
    counting for six-speed cars, and simapi (acmapper.c, ACR tested in its
    pull request 29) and SimHub (like AC, CalcLngWheelSlip issue 15) count
    AC's way too.

The snapshot (SNAPSHOT, little-endian, 338 bytes) holds, in this order:
  u8 variant (0 AC, 1 ACC, 2 AC Rally), 3 pad;
  physics: i32 packetId, f32 gas, f32 fuel, i32 gear, i32 rpms, f32 speedKmh,
    f32 drs, f32 tc, i32 pitLimiterOn, f32 abs, i32 drsAvailable,
    i32 tcinAction, i32 absInAction (the last two 0 on pages too short);
  graphics: i32 packetId, i32 status, i32 completedLaps, i32 position,
    i32 iCurrentTime, i32 iLastTime, i32 iBestTime, i32 flag (AC @268, ACC
    @1224), i32 iDeltaLapTime (signed ms, negative when ahead; 0 in AC);
  static: i32 maxRpm, f32 maxFuel, wchar[33] carModel;
then the race information (recordings made before it end above, 166 bytes,
and still play, without it):
  physics: f32 brakeBias (0 on pages too short);
  graphics: i32 isInPit, f32 normalizedCarPosition, i32 isInPitLane (AC
    @276, ACC @1236), ACC only (0 in AC): i32 TC, i32 TCCut, i32 EngineMap,
    i32 ABS, i32 isValidLap;
  static: f32 trackSPlineLength, wchar[33] track, wchar[33] trackConfiguration."""

from __future__ import annotations

import math
import struct
from collections.abc import Sequence

from ..telemetry import GameState, Light, Telemetry
from .base import Family, TextCache, car_id, filled, track_name, unit_share
from .shm import CounterCache, ShmReader, View, consistent, read_optional, require

NAMES = ("acpmf_physics", "acpmf_graphics", "acpmf_static")
PHYSICS, GRAPHICS, STATIC = range(3)

_HEAD = "<B3x iffiifffifiii iiiiiiiii if66s"
SNAPSHOT = struct.Struct(_HEAD + "f ifi4ii f66s66s")
_BEFORE_RACE = struct.Struct(_HEAD)
_NO_RACE = (0.0, 0, -1.0, 0, -1, 0, -1, -1, 0, 0.0, b"", b"")

_I32 = struct.Struct("<i")
_F32 = struct.Struct("<f")

# Physics: (offset, length) of what the snapshot takes; the first 256 bytes
# are in every version, later AC versions append the TC/ABS-acting flags.
_PHYSICS_SPANS = ((12, 12), (28, 4), (200, 8), (248, 8), (340, 4))
_PHYSICS_OPTIONAL = (672, 8)
_BRAKE_BIAS = (564, 4)
_PHYSICS_MIN = 256
_GRAPHICS_MIN = 152
_STATIC_MIN = 420
# ACC's static page goes on to its tyre names; AC's ends here.
_ACC_STATIC = (684, 136)
# airTemp, roadTemp: AC Rally's are in kelvin.
_WEATHER = (288, 8)
_KELVIN = 150.0  # no race is run at 150 degrees Celsius, nor at -123 in kelvin
_WEATHER_PAIR = struct.Struct("<ff")
AC, ACC, RALLY = range(3)

_NO_LAP_MS = 3_600_000  # a placeholder or a lap an hour long: no lap time

_STATUS = {0: GameState.MENU, 1: GameState.REPLAY, 2: GameState.DRIVING, 3: GameState.PAUSED}
_FLAG_LIGHTS = {1: Light.FLAG | Light.BLUE, 2: Light.FLAG | Light.YELLOW}
_GAMES = ("Assetto Corsa", "ACC", "Assetto Corsa Rally")
_RALLY_STATUS = {2: GameState.DRIVING, 3: GameState.PAUSED}


def take(views: Sequence[View]) -> bytes | None:
    """The snapshot of the three pages; None when torn through every retry."""
    physics, graphics, static = views
    for view, least in ((physics, _PHYSICS_MIN), (graphics, _GRAPHICS_MIN), (static, _STATIC_MIN)):
        require(view, least)
    rally = any(t > _KELVIN for t in _WEATHER_PAIR.unpack(read_optional(physics, *_WEATHER)))
    variant = RALLY if rally else ACC if any(read_optional(static, *_ACC_STATIC)) else AC
    acc = variant != AC  # AC Rally's graphics page is ACC's

    def physics_body() -> bytes:
        return (
            physics.read(0, 8)  # packetId, gas
            + b"".join(physics.read(o, n) for o, n in _PHYSICS_SPANS)
            + read_optional(physics, *_PHYSICS_OPTIONAL)
            + read_optional(physics, *_BRAKE_BIAS)
        )

    def graphics_body() -> bytes:
        flag = read_optional(graphics, 1224 if acc else 268, 4)
        delta = read_optional(graphics, 1360, 4) if acc else bytes(4)
        pit_lane = read_optional(graphics, 1236 if acc else 276, 4)
        # TC, TCCut, EngineMap, ABS; isValidLap: ACC's only.
        settings = read_optional(graphics, 1268, 16) if acc else bytes(16)
        valid = read_optional(graphics, 1408, 4) if acc else bytes(4)
        return (
            graphics.read(0, 8)
            + graphics.read(132, 20)
            + flag
            + delta
            + read_optional(graphics, 160, 4)  # isInPit
            + read_optional(graphics, 248, 4)  # normalizedCarPosition
            + pit_lane
            + settings
            + valid
        )

    phys = consistent(physics, 0, physics_body)
    graph = consistent(graphics, 0, graphics_body)
    if phys is None or graph is None:
        return None
    names = static.read(68, 132)  # carModel, track
    layout = read_optional(static, 520, 70)  # trackSPlineLength, trackConfiguration
    return (
        bytes((variant, 0, 0, 0))
        + phys[:-4]
        + graph[:36]
        + static.read(412, 8)
        + names[:66]
        + phys[-4:]
        + graph[36:]
        + layout[:4]
        + names[66:]
        + layout[4:]
    )


def _counters(views: Sequence[View]) -> bytes:
    return views[PHYSICS].read(0, 4) + views[GRAPHICS].read(0, 4)


def _lap_ms(ms: int) -> float | None:
    return ms / 1000.0 if 0 < ms < _NO_LAP_MS else None


def _share(value: float) -> float | None:
    return value if 0.0 <= value <= 1.0 else None  # NaN fails too


class AcDecoder:
    def __init__(self) -> None:
        self._car = TextCache(lambda raw: car_id(raw, wide=True))
        self._track = TextCache(
            lambda track, layout: track_name(car_id(track, wide=True), car_id(layout, wide=True))
        )

    def decode(self, data: bytes) -> Telemetry | None:
        race = len(data) == SNAPSHOT.size
        if race:
            values = SNAPSHOT.unpack(data)
        elif len(data) == _BEFORE_RACE.size:
            values = _BEFORE_RACE.unpack(data) + _NO_RACE
        else:
            return None
        (
            variant,
            _,
            gas,
            fuel,
            gear,
            rpms,
            speed_kmh,
            drs,
            tc,
            pit_limiter,
            abs_,
            drs_available,
            tc_acting,
            abs_acting,
            _,
            status,
            completed,
            position,
            current_ms,
            last_ms,
            best_ms,
            flag,
            delta_ms,
            max_rpm,
            max_fuel,
            car,
            brake_bias,
            in_pit_box,
            position_share,
            in_pit_lane,
            tc_level,
            _,
            engine_map,
            abs_level,
            lap_valid,
            track_length,
            track,
            layout,
        ) = values
        # AC Rally's rpm goes below zero when the car rolls back in gear.
        if variant > RALLY or not 0 <= gear <= 12 or abs(rpms) > 100_000:
            return None
        if rpms < 0 and variant != RALLY:
            return None
        if not all(math.isfinite(x) for x in (fuel, speed_kmh, drs, tc, abs_, max_fuel)):
            return None
        acc = variant == ACC
        rally = variant == RALLY
        lights = Light.NONE
        if pit_limiter:
            lights |= Light.PIT_LIMITER
        # ACC publishes how hard TC/ABS intervene; AC publishes the setting
        # there and whether they are acting in later versions' extra fields;
        # AC Rally the setting alone.
        if not rally and ((tc > 0) if acc else tc_acting):
            lights |= Light.TC
        if not rally and ((abs_ > 0) if acc else abs_acting):
            lights |= Light.ABS
        if variant == AC and drs > 0:
            lights |= Light.DRS
        elif variant == AC and drs_available:
            lights |= Light.DRS_AVAILABLE
        lights |= _FLAG_LIGHTS.get(flag, Light.NONE)
        best = _lap_ms(best_ms)
        delta = None
        if acc and best is not None and -_NO_LAP_MS < delta_ms < _NO_LAP_MS:
            delta = delta_ms / 1000.0
        lap_fraction = _share(position_share)
        lap_distance = None
        if lap_fraction is not None and 0.0 < track_length < 1e6:
            lap_distance = lap_fraction * track_length
        # Both send brakeBias as the front's share, 0 to 1 (ACC's HUD shows it
        # shifted by a per-car offset: this is the share itself).
        bias = _share(brake_bias)
        if rally:
            state = _RALLY_STATUS.get(status, GameState.UNKNOWN)
        else:
            state = _STATUS.get(status, GameState.UNKNOWN)
        return Telemetry(
            gear=gear - 1,  # 0 reverse, 1 neutral in all three
            rpm=float(max(0, rpms)),
            max_rpm=float(max_rpm) if not rally and 0 < max_rpm <= 100_000 else None,
            speed=max(0.0, speed_kmh / 3.6),
            fuel=min(1.0, max(0.0, fuel / max_fuel)) if max_fuel > 0 else None,
            lap_time=current_ms / 1000.0 if 0 <= current_ms < _NO_LAP_MS else None,
            last_lap=_lap_ms(last_ms),
            best_lap=best,
            delta=delta,
            lap=completed + 1 if 0 <= completed < 100_000 else None,
            position=position if 0 < position < 1000 else None,
            lights=lights,
            state=state,
            game=_GAMES[variant],
            car=self._car(car),
            throttle=unit_share(gas),
            fuel_amount=fuel if fuel >= 0.0 else None,
            fuel_capacity=max_fuel if max_fuel > 0 else None,
            lap_distance=lap_distance,
            lap_fraction=lap_fraction,
            in_pit=bool(in_pit_lane or in_pit_box) if race else None,
            # TC, ABS, the engine map and a lap's validity: ACC's graphics
            # only; EngineMap counts from 0 where the HUD counts from 1.
            lap_valid=bool(lap_valid) if acc and race else None,
            track=self._track(track, layout),
            tc_level=tc_level if acc and 0 <= tc_level < 100 else None,
            abs_level=abs_level if acc and 0 <= abs_level < 100 else None,
            brake_bias=round(bias * 100.0, 2) if bias else None,  # f32 noise off
            engine_map=engine_map + 1 if acc and 0 <= engine_map < 100 else None,
        )


FAMILY = Family(
    name="ac",
    title="Assetto Corsa shared memory",
    fields=filled(
        "gear rpm max_rpm speed fuel lap_time last_lap best_lap delta lap position "
        "lights state game car throttle fuel_amount fuel_capacity lap_distance "
        "lap_fraction in_pit lap_valid track tc_level abs_level brake_bias engine_map"
    ),
    decoder=AcDecoder,
    reader=lambda shm_dir: ShmReader(NAMES, CounterCache(_counters, take), shm_dir),
    games="Assetto Corsa, Assetto Corsa Competizione, Assetto Corsa Rally",
    learns_max_rpm=frozenset({_GAMES[RALLY]}),
)

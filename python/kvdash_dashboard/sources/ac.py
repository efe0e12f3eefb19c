"""Assetto Corsa and Assetto Corsa Competizione: three shared-memory pages.

``acpmf_physics`` (every physics step), ``acpmf_graphics`` (every HUD update)
and ``acpmf_static`` (once a session), 4-byte packed, little-endian. Both
games share the physics offsets and the first 176 graphics bytes; the rest
of the graphics page differs. ACC is told from AC by its static page: ACC's
is 820 bytes long and fills its tyre names past byte 684, where AC's page
(684 bytes) has ended and the mapping holds zeros or nothing.

The snapshot (SNAPSHOT, little-endian, 166 bytes) holds, in this order:
  u8 variant (0 AC, 1 ACC), 3 pad;
  physics: i32 packetId, f32 gas, f32 fuel, i32 gear, i32 rpms, f32 speedKmh,
    f32 drs, f32 tc, i32 pitLimiterOn, f32 abs, i32 drsAvailable,
    i32 tcinAction, i32 absInAction (the last two 0 on pages too short);
  graphics: i32 packetId, i32 status, i32 completedLaps, i32 position,
    i32 iCurrentTime, i32 iLastTime, i32 iBestTime, i32 flag (AC @268, ACC
    @1224), i32 iDeltaLapTime (signed ms, negative when ahead; 0 in AC);
  static: i32 maxRpm, f32 maxFuel, wchar[33] carModel."""

from __future__ import annotations

import math
import struct
from collections.abc import Sequence

from ..telemetry import GameState, Light, Telemetry
from .base import Family, car_id, filled, unit_share
from .shm import CounterCache, ShmReader, View, consistent, read_optional, require

NAMES = ("acpmf_physics", "acpmf_graphics", "acpmf_static")
PHYSICS, GRAPHICS, STATIC = range(3)

SNAPSHOT = struct.Struct("<B3x iffiifffifiii iiiiiiiii if 66s")

_I32 = struct.Struct("<i")
_F32 = struct.Struct("<f")

# Physics: (offset, length) of what the snapshot takes; the first 256 bytes
# are in every version, later AC versions append the TC/ABS-acting flags.
_PHYSICS_SPANS = ((12, 12), (28, 4), (200, 8), (248, 8), (340, 4))
_PHYSICS_OPTIONAL = (672, 8)
_PHYSICS_MIN = 256
_GRAPHICS_MIN = 152
_STATIC_MIN = 420
# ACC's static page goes on to its tyre names; AC's ends here.
_ACC_STATIC = (684, 136)

_NO_LAP_MS = 3_600_000  # a placeholder or a lap an hour long: no lap time

_STATUS = {0: GameState.MENU, 1: GameState.REPLAY, 2: GameState.DRIVING, 3: GameState.PAUSED}
_FLAG_LIGHTS = {1: Light.FLAG | Light.BLUE, 2: Light.FLAG | Light.YELLOW}
_GAMES = ("Assetto Corsa", "ACC")


def take(views: Sequence[View]) -> bytes | None:
    """The snapshot of the three pages; None when torn through every retry."""
    physics, graphics, static = views
    for view, least in ((physics, _PHYSICS_MIN), (graphics, _GRAPHICS_MIN), (static, _STATIC_MIN)):
        require(view, least)
    acc = any(read_optional(static, *_ACC_STATIC))

    def physics_body() -> bytes:
        return (
            physics.read(0, 8)  # packetId, gas
            + b"".join(physics.read(o, n) for o, n in _PHYSICS_SPANS)
            + read_optional(physics, *_PHYSICS_OPTIONAL)
        )

    def graphics_body() -> bytes:
        flag = read_optional(graphics, 1224 if acc else 268, 4)
        delta = read_optional(graphics, 1360, 4) if acc else bytes(4)
        return graphics.read(0, 8) + graphics.read(132, 20) + flag + delta

    phys = consistent(physics, 0, physics_body)
    graph = consistent(graphics, 0, graphics_body)
    if phys is None or graph is None:
        return None
    car = static.read(68, 66)  # carModel
    return bytes((1 if acc else 0, 0, 0, 0)) + phys + graph + static.read(412, 8) + car


def _counters(views: Sequence[View]) -> bytes:
    return views[PHYSICS].read(0, 4) + views[GRAPHICS].read(0, 4)


def _lap_ms(ms: int) -> float | None:
    return ms / 1000.0 if 0 < ms < _NO_LAP_MS else None


class AcDecoder:
    def decode(self, data: bytes) -> Telemetry | None:
        if len(data) != SNAPSHOT.size:
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
        ) = SNAPSHOT.unpack(data)
        if variant > 1 or not 0 <= gear <= 12 or not 0 <= rpms <= 100_000:
            return None
        if not all(math.isfinite(x) for x in (fuel, speed_kmh, drs, tc, abs_, max_fuel)):
            return None
        acc = variant == 1
        lights = Light.NONE
        if pit_limiter:
            lights |= Light.PIT_LIMITER
        # ACC publishes how hard TC/ABS intervene; AC publishes the setting
        # there and whether they are acting in later versions' extra fields.
        if (tc > 0) if acc else tc_acting:
            lights |= Light.TC
        if (abs_ > 0) if acc else abs_acting:
            lights |= Light.ABS
        if not acc and drs > 0:
            lights |= Light.DRS
        elif not acc and drs_available:
            lights |= Light.DRS_AVAILABLE
        lights |= _FLAG_LIGHTS.get(flag, Light.NONE)
        best = _lap_ms(best_ms)
        delta = None
        if acc and best is not None and -_NO_LAP_MS < delta_ms < _NO_LAP_MS:
            delta = delta_ms / 1000.0
        return Telemetry(
            gear=gear - 1,
            rpm=float(rpms),
            max_rpm=float(max_rpm) if 0 < max_rpm <= 100_000 else None,
            speed=max(0.0, speed_kmh / 3.6),
            fuel=min(1.0, max(0.0, fuel / max_fuel)) if max_fuel > 0 else None,
            lap_time=current_ms / 1000.0 if 0 <= current_ms < _NO_LAP_MS else None,
            last_lap=_lap_ms(last_ms),
            best_lap=best,
            delta=delta,
            lap=completed + 1 if 0 <= completed < 100_000 else None,
            position=position if 0 < position < 1000 else None,
            lights=lights,
            state=_STATUS.get(status, GameState.UNKNOWN),
            game=_GAMES[variant],
            car=car_id(car, wide=True),
            throttle=unit_share(gas),
        )


FAMILY = Family(
    name="ac",
    title="Assetto Corsa shared memory",
    fields=filled(
        "gear rpm max_rpm speed fuel lap_time last_lap "
        "best_lap delta lap position lights state game car throttle"
    ),
    decoder=AcDecoder,
    reader=lambda shm_dir: ShmReader(NAMES, CounterCache(_counters, take), shm_dir),
    games="Assetto Corsa, Assetto Corsa Competizione",
)

"""Forza "Data Out": Forza Motorsport 7 and 2023, Forza Horizon 4, 5 and 6.

No header and no magic: the length of the datagram says which layout it is."""

from __future__ import annotations

import math
import struct

from ..telemetry import GameState, Telemetry
from .base import Family, filled

# IsRaceOn, timestamp, max, idle and current rpm.
_HEAD = struct.Struct("<iIfff")
# Velocity x, y, z (m/s, car axes): the only speed a Sled packet has.
_VELOCITY = struct.Struct("<3f")
_VELOCITY_AT = 32
# CarOrdinal, the car model's number, in every variant.
_CAR = struct.Struct("<i")
_CAR_AT = 212
# The dash block, from Speed: speed, fuel, distance travelled, best/last/
# current lap, laps completed, position, accelerator (0-255), gear.
_DASH = struct.Struct("<f28xfffff4xHBB3xB")
# TrackOrdinal, only in Forza Motorsport (2023)'s Dash packet.
_TRACK = struct.Struct("<i")
_TRACK_AT = 327
_FM2023_LENGTH = 331

# Length -> (game, where the dash block starts; None: no dash block).
_VARIANTS: dict[int, tuple[str, int | None]] = {
    232: ("Forza Motorsport (Sled)", None),
    311: ("Forza Motorsport 7", 244),
    324: ("Forza Horizon 4/5/6", 256),  # 12 Horizon bytes push the dash block on
    331: ("Forza Motorsport (2023)", 244),
}

_REVERSE = 0
_NEUTRAL = 11  # seen in every capture; the official text does not say
_TOP_GEAR = 10


def _finite(*values: float) -> bool:
    return all(math.isfinite(v) for v in values)


def _lap_seconds(value: float) -> float | None:
    """A lap time the game has set (0 means none yet)."""
    return value if math.isfinite(value) and value > 0 else None


def decode(data: bytes) -> Telemetry | None:
    """One Data Out packet; None when data is not one."""
    variant = _VARIANTS.get(len(data))
    if variant is None:
        return None
    game, dash_at = variant
    race_on, _, max_rpm, _, rpm = _HEAD.unpack_from(data)
    (ordinal,) = _CAR.unpack_from(data, _CAR_AT)
    car = str(ordinal) if ordinal > 0 else None
    if race_on:
        state = GameState.DRIVING
    else:
        # The game sends 0 in menus and while paused; a car loaded means paused.
        state = GameState.PAUSED if _finite(max_rpm) and max_rpm > 0 else GameState.MENU
    if dash_at is None:
        vx, vy, vz = _VELOCITY.unpack_from(data, _VELOCITY_AT)
        if not _finite(max_rpm, rpm, vx, vy, vz):
            return None
        speed = math.sqrt(vx * vx + vy * vy + vz * vz)
        if not math.isfinite(speed):
            return None
        return Telemetry(
            rpm=max(0.0, rpm),
            max_rpm=max_rpm if max_rpm > 0 else None,
            speed=speed,
            state=state,
            game=game,
            car=car,
        )
    (speed, fuel, distance, best, last, current, laps, position, accel, raw_gear) = (
        _DASH.unpack_from(data, dash_at)
    )
    if not _finite(max_rpm, rpm, speed) or raw_gear > _NEUTRAL:
        return None
    if raw_gear == _REVERSE:
        gear = -1
    elif raw_gear == _NEUTRAL:
        gear = 0
    else:
        gear = raw_gear
    track = None
    if len(data) == _FM2023_LENGTH:
        (track_ordinal,) = _TRACK.unpack_from(data, _TRACK_AT)
        track = str(track_ordinal) if track_ordinal > 0 else None
    return Telemetry(
        gear=gear,
        rpm=max(0.0, rpm),
        max_rpm=max_rpm if max_rpm > 0 else None,
        speed=abs(speed),
        fuel=min(1.0, max(0.0, fuel)) if math.isfinite(fuel) else None,
        lap_time=current if math.isfinite(current) and current >= 0 else None,
        last_lap=_lap_seconds(last),
        best_lap=_lap_seconds(best),
        # LapNumber counts the laps completed, from 0 on the first lap.
        lap=None if state == GameState.MENU else laps + 1,
        position=position or None,  # 0 outside a race (free roam)
        state=state,
        game=game,
        car=car,
        throttle=accel / 255.0,
        # The game sends no lap distance, only the distance of the whole
        # race, negative before the start line is first crossed; fuel only as
        # a share of the tank.
        distance=distance if math.isfinite(distance) and distance >= 0 else None,
        track=track,
    )


class Decoder:
    """Every Data Out packet carries the whole car: no state."""

    def decode(self, data: bytes) -> Telemetry | None:
        return decode(data)


FAMILY = Family(
    name="forza",
    title="Forza Data Out",
    fields=filled(
        "gear rpm max_rpm speed fuel lap_time last_lap best_lap lap position state car throttle "
        "distance track"
    ),
    decoder=Decoder,
    # The game has no default; Forza Horizon binds its own socket in 5200-5300.
    port=5400,
    games="Forza Motorsport 7, Forza Horizon 4/5/6, Forza Motorsport (2023)",
)

"""Automobilista 2 and Project CARS 2: the shared memory ``$pcars2$``.

One structure (``SharedMemory.h``, natural alignment); versions 8 to 14
only append fields, so the offsets here hold for all of them.
``mSequenceNumber`` is odd while the game writes and is read before and
after the copy.

The snapshot (SNAPSHOT, little-endian, 136 bytes) holds, in this order:
  u32 mVersion, u32 mGameState, u32 mSequenceNumber, i32 mViewedParticipantIndex;
  of the viewed participant: u32 mRacePosition, u32 mCurrentLap (0 when the
    index is outside the 64 records);
  f32 mBestLapTime, f32 mLastLapTime, f32 mCurrentTime, u32 mHighestFlagColour,
  u32 mCarFlags, f32 mFuelLevel, f32 mSpeed, f32 mRpm, f32 mMaxRPM,
  i32 mGear, u8 mAntiLockActive, 3 pad, f32 mUnfilteredThrottle,
  char[64] mCarName."""

from __future__ import annotations

import math
import struct
from collections.abc import Sequence

from ..telemetry import GameState, Light, Telemetry
from .base import Family, car_id, filled, unit_share
from .shm import TORN_RETRIES, CounterCache, ShmReader, View, require

NAMES = ("$pcars2$",)

SNAPSHOT = struct.Struct("<IIIi II fffII ffff i B3x f 64s")

VERSIONS = range(8, 15)
_SEQUENCE = 7320
_PARTICIPANTS = 64
_MIN_SIZE = _SEQUENCE + 4
_U32 = struct.Struct("<I")

_STATES = {
    0: GameState.MENU,  # exited
    1: GameState.MENU,  # front end
    2: GameState.DRIVING,
    3: GameState.PAUSED,
    4: GameState.MENU,  # in-game menu, time ticking
    5: GameState.MENU,  # restarting
    6: GameState.REPLAY,
    7: GameState.REPLAY,
}
_FLAG_LIGHTS = {
    2: Light.FLAG | Light.BLUE,
    6: Light.FLAG | Light.YELLOW,
    7: Light.FLAG | Light.YELLOW,  # double yellow
}
_ENGINE_WARNING = 0x04
_SPEED_LIMITER = 0x08


def take(views: Sequence[View]) -> bytes | None:
    """The snapshot, or None while the game kept writing."""
    (view,) = views
    require(view, _MIN_SIZE)
    for _ in range(TORN_RETRIES):
        sequence = view.read(_SEQUENCE, 4)
        if _U32.unpack(sequence)[0] & 1:
            continue  # a write is under way
        header = view.read(0, 28)
        viewed = struct.unpack_from("<i", header, 20)[0]
        standing = (  # the viewed car's position and lap
            view.read(28 + 100 * viewed + 84, 4) + view.read(28 + 100 * viewed + 92, 4)
            if 0 <= viewed < _PARTICIPANTS
            else bytes(8)
        )
        body = b"".join(
            (
                header[0:4],
                header[8:12],
                sequence,
                header[20:24],
                standing,
                view.read(6716, 12),  # best, last, current lap
                view.read(6800, 4),  # highest flag colour
                view.read(6816, 4),  # car flags
                view.read(6840, 4),  # fuel level
                view.read(6848, 12),  # speed, rpm, max rpm
                view.read(6876, 4),  # gear
                view.read(6888, 1) + bytes(3),  # ABS acting
                view.read(6428, 4),  # unfiltered throttle
                view.read(6444, 64),  # car name
            )
        )
        if view.read(_SEQUENCE, 4) == sequence:
            return body
    return None


def _counters(views: Sequence[View]) -> bytes:
    return views[0].read(_SEQUENCE, 4)


class Ams2Decoder:
    def decode(self, data: bytes) -> Telemetry | None:
        if len(data) != SNAPSHOT.size:
            return None
        (
            version,
            game_state,
            _,
            _,
            position,
            lap,
            best,
            last,
            current,
            flag,
            car_flags,
            fuel,
            speed,
            rpm,
            max_rpm,
            gear,
            anti_lock,
            throttle,
            car,
        ) = SNAPSHOT.unpack(data)
        if version not in VERSIONS:
            return None
        if not all(math.isfinite(x) for x in (best, last, current, fuel, speed, rpm, max_rpm)):
            return None
        if not -1 <= gear <= 20 or not 0 <= rpm <= 100_000:
            return None
        lights = Light.NONE
        if car_flags & _SPEED_LIMITER:
            lights |= Light.PIT_LIMITER
        if car_flags & _ENGINE_WARNING:
            lights |= Light.ENGINE
        if anti_lock:
            lights |= Light.ABS
        lights |= _FLAG_LIGHTS.get(flag, Light.NONE)
        if version == 8:
            game = "Project CARS 2"
        elif version >= 14:
            game = "Automobilista 2"
        else:
            game = "AMS2 / Project CARS 2"
        return Telemetry(
            gear=gear,
            rpm=rpm,
            max_rpm=max_rpm if 0 < max_rpm <= 100_000 else None,
            speed=max(0.0, speed),
            fuel=min(1.0, max(0.0, fuel)) if fuel >= 0 else None,
            lap_time=current if 0 <= current < 86_400 else None,
            last_lap=last if 0 < last < 86_400 else None,
            best_lap=best if 0 < best < 86_400 else None,
            lap=lap if 0 < lap < 100_000 else None,
            position=position if 0 < position < 1000 else None,
            lights=lights,
            state=_STATES.get(game_state, GameState.UNKNOWN),
            game=game,
            car=car_id(car),
            throttle=unit_share(throttle),
        )


FAMILY = Family(
    name="ams2",
    title="Automobilista 2 / Project CARS 2 shared memory",
    fields=filled(
        "gear rpm max_rpm speed fuel lap_time last_lap best_lap lap position lights state game "
        "car throttle"
    ),
    decoder=Ams2Decoder,
    reader=lambda shm_dir: ShmReader(NAMES, CounterCache(_counters, take), shm_dir),
    games="Automobilista 2, Project CARS 2",
)

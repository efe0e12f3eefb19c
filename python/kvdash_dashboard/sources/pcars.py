"""Project CARS (the first): the shared memory ``$pcars$``.

One structure, the game makers' ``SharedMemory.h`` (SHARED_MEMORY_VERSION 5,
natural alignment, 7316 bytes), written once a graphics frame. Its layout is
not Project CARS 2's: no mNumSectors after mTrackLength, other flag colours
and game states, and no sequence number, so a copy counts as whole only when
a second copy right after it matches.

The snapshot (SNAPSHOT, little-endian, 276 bytes) holds, in this order:
  u32 mVersion, u32 mGameState, i32 mViewedParticipantIndex;
  of the viewed participant: f32 mCurrentLapDistance, u32 mRacePosition,
    u32 mCurrentLap (0, 0 and -1 m when the index is outside the 64 records);
  u8 mLapInvalidated, 3 pad, f32 mBestLapTime, f32 mLastLapTime,
  f32 mCurrentTime, u32 mHighestFlagColour, u32 mPitMode, u32 mCarFlags,
  f32 mFuelLevel, f32 mFuelCapacity, f32 mSpeed, f32 mRpm, f32 mMaxRPM,
  i32 mGear, u8 mAntiLockActive, 3 pad, f32 mUnfilteredThrottle,
  char[64] mCarName, char[64] mTrackLocation, char[64] mTrackVariation."""

from __future__ import annotations

import math
import struct
from collections.abc import Sequence

from ..telemetry import GameState, Light, Telemetry
from .base import Family, TextCache, car_id, filled, track_name, unit_share
from .shm import TORN_RETRIES, Gone, ShmReader, Unsupported, View, require

NAMES = ("$pcars$",)
VERSION = 5
SIZE = 7316

SNAPSHOT = struct.Struct("<IIi fII B3x fff III ffff f i B3x f 64s64s64s")

_U32 = struct.Struct("<I")
_I32 = struct.Struct("<i")
_PARTICIPANTS = 64
_UNSET_STANDING = struct.pack("<fII", -1.0, 0, 0)
_PIT_LANE = range(1, 5)  # driving into, in, driving out of the pits; in the garage

_STATES = {
    0: GameState.MENU,  # exited
    1: GameState.MENU,  # front end
    2: GameState.DRIVING,
    3: GameState.PAUSED,
    4: GameState.MENU,  # restarting
    5: GameState.REPLAY,
    6: GameState.REPLAY,  # front-end replay
}
_FLAG_LIGHTS = {
    2: Light.FLAG | Light.BLUE,
    4: Light.FLAG | Light.YELLOW,
    5: Light.FLAG | Light.YELLOW,  # double yellow
}
_ENGINE_WARNING = 0x04
_SPEED_LIMITER = 0x08


def _body(view: View) -> bytes:
    header = view.read(0, 28)
    viewed = _I32.unpack_from(header, 20)[0]
    if 0 <= viewed < _PARTICIPANTS:
        record = view.read(28 + 100 * viewed + 80, 16)  # distance, position, laps, lap
        standing = record[0:8] + record[12:16]
    else:
        standing = _UNSET_STANDING
    # Three spans in all: unfiltered input to the track's names, and the
    # timings to the ABS flag (a copy is read twice, so the fewer the better).
    names = view.read(6428, 276)
    state = view.read(6708, 180)

    def at(offset: int, length: int) -> bytes:
        return state[offset - 6708 : offset - 6708 + length]

    return b"".join(
        (
            header[0:4],
            header[8:12],
            header[20:24],
            standing,
            at(6708, 1) + bytes(3),  # lap invalidated
            at(6712, 12),  # best, last, current lap
            at(6796, 4),  # highest flag colour
            at(6804, 4),  # pit mode
            at(6812, 4),  # car flags
            at(6836, 20),  # fuel level, capacity, speed, rpm, max rpm
            at(6872, 4),  # gear
            at(6884, 1) + bytes(3),  # ABS acting
            names[0:4],  # unfiltered throttle
            names[16:80],  # car name
            names[148:276],  # track location, variation
        )
    )


def take(views: Sequence[View]) -> bytes | None:
    """The snapshot, or None while the game kept writing through every retry;
    a page of another version is refused with a word for the status line."""
    (view,) = views
    require(view, 4)
    version = _U32.unpack(view.read(0, 4))[0]
    if version == 0:
        raise Gone("not written yet")  # a bridge's file before the game starts
    if version != VERSION:
        raise Unsupported(
            f"{view.where}: shared memory version {version}: this app reads version {VERSION}"
        )
    require(view, SIZE)
    for _ in range(TORN_RETRIES):
        body = _body(view)
        if _body(view) == body:
            return body
    return None


class PcarsDecoder:
    def __init__(self) -> None:
        self._car = TextCache(car_id)
        self._track = TextCache(
            lambda location, variation: track_name(car_id(location), car_id(variation))
        )

    def decode(self, data: bytes) -> Telemetry | None:
        if len(data) != SNAPSHOT.size:
            return None
        (
            version,
            game_state,
            _,
            lap_distance,
            position,
            lap,
            lap_invalidated,
            best,
            last,
            current,
            flag,
            pit_mode,
            car_flags,
            fuel,
            capacity,
            speed,
            rpm,
            max_rpm,
            gear,
            anti_lock,
            throttle,
            car,
            location,
            variation,
        ) = SNAPSHOT.unpack(data)
        if version != VERSION:
            return None
        floats = (lap_distance, best, last, current, fuel, capacity, speed, rpm, max_rpm)
        if not all(math.isfinite(x) for x in floats):
            return None
        if not -1 <= gear <= 20 or not 0 <= rpm <= 100_000:
            return None
        lights = _FLAG_LIGHTS.get(flag, Light.NONE)
        if car_flags & _SPEED_LIMITER:
            lights |= Light.PIT_LIMITER
        if car_flags & _ENGINE_WARNING:
            lights |= Light.ENGINE
        if anti_lock:
            lights |= Light.ABS
        return Telemetry(
            gear=gear,  # -1 reverse, 0 neutral, as the header says
            rpm=rpm,
            max_rpm=max_rpm if 0 < max_rpm <= 100_000 else None,
            speed=max(0.0, speed),
            # mFuelLevel is a share of the tank; mFuelCapacity its litres.
            fuel=min(1.0, max(0.0, fuel)) if fuel >= 0 else None,
            lap_time=current if 0 <= current < 86_400 else None,
            last_lap=last if 0 < last < 86_400 else None,
            best_lap=best if 0 < best < 86_400 else None,
            lap=lap if 0 < lap < 100_000 else None,
            position=position if 0 < position < 1000 else None,
            lights=lights,
            state=_STATES.get(game_state, GameState.UNKNOWN),
            game="Project CARS",
            car=self._car(car),
            throttle=unit_share(throttle),
            fuel_amount=fuel * capacity if capacity > 0 and fuel >= 0 else None,
            fuel_capacity=capacity if capacity > 0 else None,
            lap_distance=lap_distance if lap_distance >= 0 else None,
            in_pit=pit_mode in _PIT_LANE,
            lap_valid=not lap_invalidated,
            track=self._track(location, variation),
        )


FAMILY = Family(
    name="pcars",
    title="Project CARS shared memory",
    fields=filled(
        "gear rpm max_rpm speed fuel lap_time last_lap best_lap lap position lights state game "
        "car throttle fuel_amount fuel_capacity lap_distance in_pit lap_valid track"
    ),
    decoder=PcarsDecoder,
    reader=lambda shm_dir: ShmReader(NAMES, take, shm_dir),
    games="Project CARS",
)

"""Automobilista 2, Project CARS 2 and 3: the shared memory ``$pcars2$``.

One structure (``SharedMemory.h``, natural alignment); versions 8 to 14
only append fields, so the offsets here hold for all of them.
``mSequenceNumber`` is odd while the game writes and is read before and
after the copy.

Project CARS 3's shared-memory option "Project CARS 2" fills the same page
as Project CARS 2, header version 8, and nothing on it tells the two apart
(readers that name them, CrewChief among them, go by the game's process):
version 8 is named "Project CARS 2 / 3".

The snapshot (SNAPSHOT, little-endian, 288 bytes) holds, in this order:
  u32 mVersion, u32 mGameState, u32 mSequenceNumber, i32 mViewedParticipantIndex;
  of the viewed participant: u32 mRacePosition, u32 mCurrentLap (0 when the
    index is outside the 64 records);
  f32 mBestLapTime, f32 mLastLapTime, f32 mCurrentTime, u32 mHighestFlagColour,
  u32 mCarFlags, f32 mFuelLevel, f32 mSpeed, f32 mRpm, f32 mMaxRPM,
  i32 mGear, u8 mAntiLockActive, 3 pad, f32 mUnfilteredThrottle,
  char[64] mCarName;
then the race information (recordings made before it end above, 136 bytes,
and still play, without it): f32 the viewed car's mCurrentLapDistance,
  u8 mLapInvalidated, 3 pad, u32 mPitMode, f32 mFuelCapacity,
  i32 mAntiLockSetting, i32 mTractionControlSetting (version 11 on; -1,
  unset, before), char[64] mTrackLocation, char[64] mTrackVariation."""

from __future__ import annotations

import math
import struct
from collections.abc import Sequence

from ..telemetry import GameState, Light, Telemetry
from .base import Family, TextCache, car_id, filled, track_name, unit_share
from .shm import TORN_RETRIES, CounterCache, ShmReader, View, require

NAMES = ("$pcars2$",)

_HEAD = "<IIIi II fffII ffff i B3x f 64s"
SNAPSHOT = struct.Struct(_HEAD + "f B3x I f ii 64s64s")
_BEFORE_RACE = struct.Struct(_HEAD)
_NO_RACE = (-1.0, 0, 0, 0.0, -1, -1, b"", b"")

VERSIONS = range(8, 15)
_SEQUENCE = 7320
_PARTICIPANTS = 64
_MIN_SIZE = _SEQUENCE + 4
_U32 = struct.Struct("<I")
_SETTINGS = (20660, 8)  # mAntiLockSetting, mTractionControlSetting: version 11 on
_UNSET_SETTINGS = struct.pack("<ii", -1, -1)
_UNSET_DISTANCE = struct.pack("<f", -1.0)
_PIT_LANE = range(1, 6)  # mPitMode: into, in, out of the pits; in, out of the garage

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
        version, viewed = _U32.unpack_from(header)[0], struct.unpack_from("<i", header, 20)[0]
        # The viewed car's position, lap and distance into the lap.
        if 0 <= viewed < _PARTICIPANTS:
            record = view.read(28 + 100 * viewed + 80, 16)
            standing, lap_distance = record[4:8] + record[12:16], record[0:4]
        else:
            standing, lap_distance = bytes(8), _UNSET_DISTANCE
        settings = _UNSET_SETTINGS
        if version >= 11 and view.size() >= sum(_SETTINGS):
            settings = view.read(*_SETTINGS)
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
                view.read(6840, 4),  # fuel level (a share)
                view.read(6848, 12),  # speed, rpm, max rpm
                view.read(6876, 4),  # gear
                view.read(6888, 1) + bytes(3),  # ABS acting
                view.read(6428, 4),  # unfiltered throttle
                view.read(6444, 64),  # car name
                lap_distance,
                view.read(6712, 1) + bytes(3),  # lap invalidated
                view.read(6808, 4),  # pit mode
                view.read(6844, 4),  # fuel capacity, l
                settings,
                view.read(6576, 128),  # track location, variation
            )
        )
        if view.read(_SEQUENCE, 4) == sequence:
            return body
    return None


def _counters(views: Sequence[View]) -> bytes:
    return views[0].read(_SEQUENCE, 4)


class Ams2Decoder:
    def __init__(self) -> None:
        self._car = TextCache(car_id)
        self._track = TextCache(
            lambda location, variation: track_name(car_id(location), car_id(variation))
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
            lap_distance,
            lap_invalidated,
            pit_mode,
            capacity,
            abs_setting,
            tc_setting,
            location,
            variation,
        ) = values
        if version not in VERSIONS:
            return None
        floats = (best, last, current, fuel, speed, rpm, max_rpm, lap_distance, capacity)
        if not all(math.isfinite(x) for x in floats):
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
            game = "Project CARS 2 / 3"
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
            car=self._car(car),
            throttle=unit_share(throttle),
            # mFuelLevel is a share of the tank; mFuelCapacity its litres.
            fuel_amount=fuel * capacity if capacity > 0 and fuel >= 0 else None,
            fuel_capacity=capacity if capacity > 0 else None,
            lap_distance=lap_distance if lap_distance >= 0 else None,
            in_pit=pit_mode in _PIT_LANE if race else None,
            lap_valid=not lap_invalidated if race else None,
            track=self._track(location, variation),
            tc_level=tc_setting if 0 <= tc_setting < 100 else None,
            abs_level=abs_setting if 0 <= abs_setting < 100 else None,
        )


FAMILY = Family(
    name="ams2",
    title="Automobilista 2 / Project CARS 2 and 3 shared memory",
    fields=filled(
        "gear rpm max_rpm speed fuel lap_time last_lap best_lap lap position lights state game "
        "car throttle fuel_amount fuel_capacity lap_distance in_pit lap_valid track tc_level "
        "abs_level"
    ),
    decoder=Ams2Decoder,
    reader=lambda shm_dir: ShmReader(NAMES, CounterCache(_counters, take), shm_dir),
    games="Automobilista 2, Project CARS 2, Project CARS 3",
)

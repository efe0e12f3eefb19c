"""Shared-memory pages as the games publish them, laid out by the games' own
headers (game_structs.py; iRacing's by its self-description), independently
of the decoders' tables, and the means to publish them where a reader looks:
files in a folder, or on Windows real named mappings ``Local\\<name>``.

Each ``<family>_pages(t, ...)`` answers {mapping name without Local\\: bytes}.
Values a game derives itself are set from t as documented per builder."""

from __future__ import annotations

import contextlib
import dataclasses
import math
import mmap
import os
import struct
import sys
from collections.abc import Iterable, Iterator
from pathlib import Path
from types import ModuleType

import pytest
from game_structs import (
    AC_GRAPHICS,
    AC_PHYSICS,
    AC_STATIC,
    ACC_GRAPHICS,
    AMS2,
    AMS2_LATER,
    AMS2_SIZE,
    R3E,
    page,
)

from kvdash_dashboard.sources.shm import BytesView
from kvdash_dashboard.telemetry import GameState, Light, Telemetry

Pages = dict[str, bytes]

SAMPLE = Telemetry(
    gear=3,
    rpm=6000.0,
    max_rpm=8000.0,
    speed=25.0,
    fuel=0.5,
    lap_time=42.5,
    last_lap=91.25,
    best_lap=90.5,
    delta=0.75,
    lap=4,
    position=2,
    lights=Light.PIT_LIMITER | Light.ABS | Light.FLAG,
    state=GameState.DRIVING,
)

TANK = 60.0
TRACK_LENGTH = 5793.0  # m, where a game sends the lap's length rather than the distance

# SAMPLE with the race information the builders also write, where their game has it.
RACE = dataclasses.replace(
    SAMPLE,
    fuel_amount=0.5 * TANK,
    fuel_capacity=TANK,
    lap_fraction=0.25,
    lap_distance=0.25 * TRACK_LENGTH,
    in_pit=True,
    lap_valid=False,
    track="ks_nordschleife endurance",
    tc_level=4,
    abs_level=3,
    brake_bias=56.5,
    engine_map=2,
)


def _put(page: bytearray, offset: int, fmt: str, *values: object) -> None:
    struct.pack_into("<" + fmt, page, offset, *values)


def _ms(seconds: float | None, none: int) -> int:
    return none if seconds is None else round(seconds * 1000)


# --- Assetto Corsa / ACC --------------------------------------------------

_AC_STATUS = {GameState.MENU: 0, GameState.REPLAY: 1, GameState.DRIVING: 2, GameState.PAUSED: 3}


def _flag(lights: Light, blue: int, yellow: int, none: int) -> int:
    """The game's flag number for the lights: FLAG alone is a yellow."""
    if Light.BLUE in lights:
        return blue
    return yellow if Light.FLAG in lights else none


def ac_pages(t: Telemetry, game: str = "acc", packet_id: int = 1) -> Pages:
    """AC ("ac": 712/296/684 bytes) or ACC ("acc": 800/1588/820), laid out
    by the transcribed headers. Tank 60; AC's TC/ABS slip settings are
    non-zero (switched on) whatever t says, their acting flags follow t;
    ACC's intervention values follow t. t.lap_fraction is the car's share
    of a TRACK_LENGTH lap; t.track is the track, then its layout after a
    space; ACC's TC/ABS levels are 3/2 when t has none."""
    acc = game == "acc"
    lit = t.lights
    physics: dict[str, object] = {
        "packetId": packet_id,
        "gas": t.throttle or 0.0,
        "fuel": (t.fuel or 0.0) * TANK,
        "gear": t.gear + 1,
        "rpms": round(t.rpm),
        "speedKmh": t.speed * 3.6,
        "pitLimiterOn": int(Light.PIT_LIMITER in lit),
        "brakeBias": (t.brake_bias or 0.0) / 100.0,
        "waterTemp": 85.0,
        "currentMaxRpm": round(t.max_rpm or 0),
    }
    if acc:
        physics |= {"tc": 0.4 * (Light.TC in lit), "abs": 0.6 * (Light.ABS in lit)}
    else:
        physics |= {
            "drs": float(Light.DRS in lit),
            "drsAvailable": int(Light.DRS_AVAILABLE in lit),
            "tc": 0.2,
            "abs": 0.3,
            "tcinAction": int(Light.TC in lit),
            "absInAction": int(Light.ABS in lit),
        }
    graphics: dict[str, object] = {
        "packetId": packet_id,
        "status": _AC_STATUS.get(t.state, 2),
        "session": 2,
        "currentTime": "0:42.500",
        "completedLaps": (t.lap or 1) - 1,
        "position": t.position or 0,
        "iCurrentTime": _ms(t.lap_time, 0),
        "iLastTime": _ms(t.last_lap, 0),
        "iBestTime": _ms(t.best_lap, 2**31 - 1),
        "flag": _flag(lit, 1, 2, 0),
        "normalizedCarPosition": t.lap_fraction or 0.0,
        "isInPitLane": int(bool(t.in_pit)),
    }
    if acc:
        delta = _ms(t.delta, 0)
        graphics |= {
            "TC": 3 if t.tc_level is None else t.tc_level,
            "ABS": 2 if t.abs_level is None else t.abs_level,
            "EngineMap": (t.engine_map or 1) - 1,  # the HUD's map 1 is 0 here
            "isValidLap": int(t.lap_valid is not False),
            "iDeltaLapTime": delta,
            "isDeltaPositive": int(delta > 0),
        }
    track, _, layout = (t.track or "monza").partition(" ")
    static: dict[str, object] = {
        "smVersion": "1.8" if acc else "1.7",
        "acVersion": "1.9" if acc else "1.16",
        "carModel": t.car or "",
        "track": track,
        "trackConfiguration": layout,
        "trackSPlineLength": TRACK_LENGTH,
        "maxRpm": round(t.max_rpm or 0),
        "maxFuel": TANK,
    }
    if acc:
        static |= {"dryTyresName": "DHE2020", "wetTyresName": "WH"}
    return {
        "acpmf_physics": page(AC_PHYSICS, physics)[: 800 if acc else 712],
        "acpmf_graphics": page(ACC_GRAPHICS if acc else AC_GRAPHICS, graphics, 296),
        "acpmf_static": page(AC_STATIC, static)[: 820 if acc else AC_STATIC.isOnline.offset],
    }


# --- iRacing ----------------------------------------------------------------

# (name, type, count): 0 char, 1 bool, 2 int, 3 bitfield, 4 float, 5 double.
IRACING_VARS = (
    ("SessionTime", 5, 1),
    ("CarIdxRPM", 4, 64),
    ("IsOnTrack", 1, 1),
    ("IsReplayPlaying", 1, 1),
    ("Gear", 2, 1),
    ("RPM", 4, 1),
    ("Speed", 4, 1),
    ("FuelLevel", 4, 1),
    ("FuelLevelPct", 4, 1),
    ("Lap", 2, 1),
    ("LapCompleted", 2, 1),
    ("LapCurrentLapTime", 4, 1),
    ("LapLastLapTime", 4, 1),
    ("LapBestLapTime", 4, 1),
    ("LapDeltaToBestLap", 4, 1),
    ("LapDeltaToBestLap_OK", 1, 1),
    ("PlayerCarPosition", 2, 1),
    ("ShiftIndicatorPct", 4, 1),
    ("PlayerCarSLFirstRPM", 4, 1),
    ("PlayerCarSLShiftRPM", 4, 1),
    ("PlayerCarSLLastRPM", 4, 1),
    ("PlayerCarSLBlinkRPM", 4, 1),
    ("EngineWarnings", 3, 1),
    ("BrakeABSactive", 1, 1),
    ("SessionFlags", 3, 1),
    ("Throttle", 4, 1),
    # Names, types and units as irsdk-node's generated variable list has them
    # (bengsfort/irsdk-node @ 63fffa2, packages/irsdk-node-types/
    # cache.telemetry-vars.json): l, m, a 0-1 share, bool, in-car dials.
    ("LapDist", 4, 1),
    ("LapDistPct", 4, 1),
    ("OnPitRoad", 1, 1),
    ("dcTractionControl", 4, 1),
    ("dcABS", 4, 1),
    ("dcBrakeBias", 4, 1),
    ("dcFuelMixture", 4, 1),
)
_IR_SIZES = {0: 1, 1: 1, 2: 4, 3: 4, 4: 4, 5: 8}
_IR_FORMATS = {0: "B", 1: "B", 2: "i", 3: "I", 4: "f", 5: "d"}
IRACING_SL = (0.6, 0.9, 0.95)  # First, Shift, Last as shares of the red line


def _iracing_row(t: Telemetry, offsets: dict[str, int], buf_len: int) -> bytearray:
    red = t.max_rpm or 8000.0
    first, shift, last = (share * red for share in IRACING_SL)
    lit = t.lights
    values: dict[str, float] = {
        "SessionTime": 1234.5,
        "IsOnTrack": 1 if t.state in (GameState.DRIVING, GameState.PAUSED) else 0,
        "IsReplayPlaying": 1 if t.state == GameState.REPLAY else 0,
        "Gear": t.gear,
        "RPM": t.rpm,
        "Speed": t.speed,
        "FuelLevel": (t.fuel or 0.0) * TANK,
        "FuelLevelPct": t.fuel or 0.0,
        "Lap": t.lap or 0,
        "LapCompleted": max(0, (t.lap or 0) - 1),
        "LapCurrentLapTime": t.lap_time if t.lap_time is not None else -1.0,
        "LapLastLapTime": t.last_lap or -1.0,
        "LapBestLapTime": t.best_lap or -1.0,
        "LapDeltaToBestLap": t.delta or 0.0,
        "LapDeltaToBestLap_OK": 0 if t.delta is None else 1,
        "PlayerCarPosition": t.position or 0,
        "ShiftIndicatorPct": t.rev_lights or 0.0,
        "PlayerCarSLFirstRPM": first,
        "PlayerCarSLShiftRPM": shift,
        "PlayerCarSLLastRPM": last,
        "PlayerCarSLBlinkRPM": red,
        "EngineWarnings": (0x10 if Light.PIT_LIMITER in lit else 0)
        | (0x01 if Light.ENGINE in lit else 0),
        "BrakeABSactive": 1 if Light.ABS in lit else 0,
        "SessionFlags": 0x4 | (0x8 if Light.FLAG in lit else 0),
        "Throttle": t.throttle or 0.0,
        "LapDist": t.lap_distance or 0.0,
        "LapDistPct": t.lap_fraction or 0.0,
        "OnPitRoad": int(bool(t.in_pit)),
        "dcTractionControl": t.tc_level or 0,
        "dcABS": t.abs_level or 0,
        "dcBrakeBias": t.brake_bias or 0.0,
        "dcFuelMixture": t.engine_map or 0,
    }
    row = bytearray(buf_len)
    for name, kind, count in IRACING_VARS:
        if name in values:
            value = values[name]
            _put(
                row, offsets[name], _IR_FORMATS[kind], int(value) if kind in (0, 1, 2, 3) else value
            )
        else:
            for k in range(count):
                _put(row, offsets[name] + 4 * k, "f", 3000.0 + k)
    return row


def iracing_pages(
    t: Telemetry,
    tick: int = 1000,
    newest: int = 1,
    status: int = 1,
    session_update: int = 7,
    player: int = 0,
) -> Pages:
    """A mapping with three rows: row ``newest`` (tick + 2) carries t, the others
    older ticks and a decoy car (gear 5, 1234 rpm). DriverCarRedLine in the
    YAML is t.max_rpm (8000 when None); the shift-light thresholds are
    IRACING_SL shares of it, so rev_lights and SHIFT follow from t.rpm. The
    Drivers list has cars 0 to 2 (CarPath "car<i>"), the player's (index
    ``player``, CarPath t.car) among them; keys as irsdk-node's DriverInfo
    types name them, indented as iRacing writes them. TrackName is t.track
    ("monza full" when None); the tank may hold TANK: 0.75 of its 80 l."""
    names = [name for name, _, _ in IRACING_VARS]
    offsets: dict[str, int] = {}
    at = 0
    for name, kind, count in IRACING_VARS:
        offsets[name] = at
        at += _IR_SIZES[kind] * count
    buf_len = (at + 15) // 16 * 16
    var_at = 112
    yaml_at = var_at + 144 * len(names)
    yaml = (
        f"---\nWeekendInfo:\n TrackName: {t.track or 'monza full'}\n TrackID: 239\n"
        " Encoding: UTF8\n"
        f"DriverInfo:\n DriverCarIdx: {player}\n DriverCarIdleRPM: 900.000\n"
        f" DriverCarRedLine: {t.max_rpm or 8000.0:.3f}\n DriverCarFuelMaxLtr: 80.000\n"
        " DriverCarMaxFuelPct: 0.750\n"
        " Drivers:\n"
        + "".join(
            f" - CarIdx: {i}\n   UserName: Driver {i}\n"
            f"   CarPath: {(t.car or '') if i == player else f'car{i}'}\n   CarID: {i}\n"
            for i in sorted({0, 1, 2, player})
        )
        + "SessionInfo:\n Sessions:\n"
    ).encode()
    yaml_len = (len(yaml) + 255) // 256 * 256
    rows_at = (yaml_at + yaml_len + 4095) // 4096 * 4096
    page = bytearray(rows_at + 3 * buf_len)
    _put(
        page,
        0,
        "10i",
        2,
        status,
        60,
        session_update,
        yaml_len,
        yaml_at,
        len(names),
        var_at,
        3,
        buf_len,
    )
    decoy = Telemetry(gear=5, rpm=1234.0, speed=3.0, lap=9, position=9, max_rpm=t.max_rpm)
    for k in range(3):
        row_tick = tick + 2 if k == newest else tick + (k - newest) % 3 - 1
        _put(page, 48 + 16 * k, "ii", row_tick, rows_at + k * buf_len)
        row = _iracing_row(t if k == newest else decoy, offsets, buf_len)
        page[rows_at + k * buf_len : rows_at + (k + 1) * buf_len] = row
    for j, (name, kind, count) in enumerate(IRACING_VARS):
        d = var_at + 144 * j
        _put(page, d, "iii", kind, offsets[name], count)
        page[d + 16 : d + 16 + len(name)] = name.encode()
        page[d + 48 : d + 48 + 11] = b"description"
    page[yaml_at : yaml_at + len(yaml)] = yaml
    return {"IRSDKMemMapFileName": bytes(page)}


# --- RaceRoom ---------------------------------------------------------------

R3E_UPSHIFT = 0.95  # the game's upshift point as a share of the rev limit
_RAD_PER_RPM = 2.0 * math.pi / 60.0


def r3e_pages(t: Telemetry, version: tuple[int, int] = (3, 5), ticks: int = 100_000) -> Pages:
    """``$R3E`` in the given layout version, at its offsets compiled from the
    game's header. Tank 60 l; upshift at R3E_UPSHIFT of t.max_rpm, so SHIFT
    follows from t.rpm; DRS equipped with 3 activations left; t.car is the
    model id (digits); t.track is the track's name, then the layout's after a
    space; a setting t has not is -1 (not available)."""
    track, _, layout = (t.track or "").partition(" ")
    at = R3E[version]
    page = bytearray(at["size"])
    lit = t.lights
    max_rpm = t.max_rpm or 0.0
    values: dict[str, tuple[str, float]] = {
        "player.game_simulation_ticks": ("i", ticks),
        "game_paused": ("i", t.state == GameState.PAUSED),
        "game_in_menus": ("i", t.state == GameState.MENU),
        "game_in_replay": ("i", t.state == GameState.REPLAY),
        "flags.yellow": ("i", _flag(lit, 0, 1, 0) or Light.YELLOW in lit),
        "flags.blue": ("i", Light.BLUE in lit),
        "position": ("i", t.position or -1),
        "completed_laps": ("i", (t.lap or 0) - 1),
        "lap_time_best_self": ("f", t.best_lap or -1.0),
        "lap_time_previous_self": ("f", t.last_lap or -1.0),
        "lap_time_current_self": ("f", -1.0 if t.lap_time is None else t.lap_time),
        "time_delta_best_self": ("f", -1000.0 if t.delta is None else t.delta),
        "vehicle_info.model_id": ("i", int(t.car or -1)),
        "car_speed": ("f", t.speed),
        "engine_rps": ("f", t.rpm * _RAD_PER_RPM),
        "max_engine_rps": ("f", max_rpm * _RAD_PER_RPM),
        "upshift_rps": ("f", R3E_UPSHIFT * max_rpm * _RAD_PER_RPM),
        "gear": ("i", t.gear),
        "fuel_left": ("f", (t.fuel or 0.0) * TANK),
        "fuel_capacity": ("f", TANK),
        "throttle": ("f", -1.0 if t.throttle is None else t.throttle),
        "aid_settings.abs": ("i", 5 if Light.ABS in lit else 1),
        "aid_settings.tc": ("i", 5 if Light.TC in lit else 1),
        "drs.equipped": ("i", 1),
        "drs.available": ("i", Light.DRS_AVAILABLE in lit),
        "drs.numActivationsLeft": ("i", 3),
        "drs.engaged": ("i", Light.DRS in lit),
        "pit_limiter": ("i", Light.PIT_LIMITER in lit),
        "current_lap_valid": ("i", t.lap_valid is not False),
        "lap_distance": ("f", -1.0 if t.lap_distance is None else t.lap_distance),
        "lap_distance_fraction": ("f", -1.0 if t.lap_fraction is None else t.lap_fraction),
        "in_pitlane": ("i", bool(t.in_pit)),
        # The rear's share, as the header says.
        "brake_bias": ("f", -1.0 if t.brake_bias is None else 1.0 - t.brake_bias / 100.0),
        "abs_setting": ("i", -1 if t.abs_level is None else t.abs_level),
        "traction_control_setting": ("i", -1 if t.tc_level is None else t.tc_level),
        "engine_map_setting": ("i", -1 if t.engine_map is None else t.engine_map),
    }
    _put(page, 0, "iiii", *version, 2008, 328)
    for name, (fmt, value) in values.items():
        if name in at:  # a field the version has
            _put(page, at[name], fmt, int(value) if fmt == "i" else value)
    for name, text in (("track_name", track), ("layout_name", layout)):
        page[at[name] : at[name] + len(text)] = text.encode()
    return {"$R3E": bytes(page)}


# --- Automobilista 2 / Project CARS 2 ---------------------------------------

_AMS2_STATE = {GameState.MENU: 1, GameState.DRIVING: 2, GameState.PAUSED: 3, GameState.REPLAY: 6}


def ams2_pages(t: Telemetry, version: int = 14, sequence: int = 2, viewed: int = 3) -> Pages:
    """``$pcars2$`` laid out by the transcribed header. The viewed car is
    record ``viewed``; record 0 holds a decoy (position 9, lap 9). Tank 60 l;
    temperatures and pressures are set, as the game sets them. t.track is
    the location, then the variation after a space; TC/ABS settings -1
    (unset) when t has none."""
    track, _, layout = (t.track or "").partition(" ")
    lit = t.lights
    values: dict[str, object] = {
        "mVersion": version,
        "mBuildVersionNumber": 1234,
        "mGameState": _AMS2_STATE.get(t.state, 2),
        "mSessionState": 5,
        "mRaceState": 2,
        "mViewedParticipantIndex": viewed,
        "mNumParticipants": 20,
        "mUnfilteredThrottle": t.throttle or 0.0,
        "mCarName": t.car or "",
        "mCarClassName": "GT3",
        "mTrackLocation": track,
        "mTrackVariation": layout,
        "mTrackLength": TRACK_LENGTH,
        "mLapInvalidated": t.lap_valid is False,
        "mPitMode": 2 if t.in_pit else 0,  # in the pits
        "mBestLapTime": t.best_lap or -1.0,
        "mLastLapTime": t.last_lap or 0.0,
        "mCurrentTime": t.lap_time or 0.0,
        "mHighestFlagColour": _flag(lit, 2, 6, 1),  # blue, yellow, green
        "mCarFlags": 0x02 | 0x08 * (Light.PIT_LIMITER in lit) | 0x04 * (Light.ENGINE in lit),
        "mOilTempCelsius": 104.7,
        "mOilPressureKPa": 412.9,
        "mWaterTempCelsius": 91.3,
        "mWaterPressureKPa": 183.6,
        "mFuelPressureKPa": 377.1,
        "mFuelLevel": t.fuel or 0.0,
        "mFuelCapacity": TANK,
        "mSpeed": t.speed,
        "mRpm": t.rpm,
        "mMaxRPM": t.max_rpm or 0.0,
        "mThrottle": t.throttle or 0.0,
        "mGear": t.gear,
        "mNumGears": 6,
        "mOdometerKM": 1234.5,
        "mAntiLockActive": Light.ABS in lit,
        "mSequenceNumber": sequence,
    }
    for index, (position, lap) in ((0, (9, 9)), (viewed, (t.position or 0, t.lap or 0))):
        values |= {
            f"mParticipantInfo.{index}.mIsActive": True,
            f"mParticipantInfo.{index}.mName": "Driver",
            f"mParticipantInfo.{index}.mRacePosition": position,
            f"mParticipantInfo.{index}.mLapsCompleted": max(0, lap - 1),
            f"mParticipantInfo.{index}.mCurrentLap": lap,
        }
    values[f"mParticipantInfo.{viewed}.mCurrentLapDistance"] = t.lap_distance or 0.0
    data = bytearray(page(AMS2, values, AMS2_SIZE))
    for name, level in (("mAntiLockSetting", t.abs_level), ("mTractionControlSetting", t.tc_level)):
        _put(data, AMS2_LATER[name], "i", -1 if level is None else level)
    return {"$pcars2$": bytes(data)}


# --- Le Mans Ultimate / rFactor 2 -------------------------------------------
# Offsets: Studio 397's SharedMemoryInterface.hpp and InternalsPlugin.hpp (as
# vendored in DiSHTiX/LMUFFB src/lmu_sm_interface, ae9134f) and the rF2
# plugin's Include/rF2State.h (TheIronWolfModding/rF2SharedMemoryMapPlugin,
# 102b667), both compiled with x86_64-w64-mingw32-g++ (C long is 4 bytes);
# the LMU 1.3 fields (mABSActive 746, mTCActive 747, mVehicleModel 796) from
# TinyPedal/pyLMUSharedMemory lmu_data.py (cdf3122), evaluated with ctypes;
# its later mLapInvalidated 745 and the settings with their most (mTC 750,
# mABS 756, mMotorMap 758, each followed by its ...Max) from the same file
# at 3968c15.

LMU_IDS = (7, 3, 12)  # mID of the cars in scoring order; the player's is LMU_IDS[player]
_LMU_STATE = {GameState.MENU: 0, GameState.DRIVING: 3, GameState.PAUSED: 3, GameState.REPLAY: 3}


def _rf_scoring(page: bytearray, at: int, mid: int, t: Telemetry, player: bool) -> None:
    _put(page, at, "i", mid)
    page[at + 4 : at + 10] = b"Driver"
    name = f"Oreca 07 #{mid}".encode()
    page[at + 36 : at + 36 + len(name)] = name
    _put(page, at + 100, "h", (t.lap or 1) - 1)
    _put(page, at + 102, "b", 1)  # mSector: the first sector
    _put(page, at + 104, "d", t.lap_distance or 0.0)  # mLapDist
    page[at + 198] = int(bool(t.in_pit))  # mInPits
    _put(page, at + 144, "d", t.best_lap or -1.0)
    _put(page, at + 168, "d", t.last_lap or -1.0)
    page[at + 196] = 1 if player else 0
    _put(page, at + 197, "b", 3 if t.state == GameState.REPLAY else (0 if player else 1))
    page[at + 199] = t.position or 0
    page[at + 504] = 6 if Light.BLUE in t.lights else 0
    page[at + 506] = 1 if t.lap_valid is False else 2  # mCountLapFlag: 1 counts no time
    page[at + 544 : at + 544 + 11] = f"ORECA07_{mid:03}".encode()


def _rf_telemetry(page: bytearray, at: int, mid: int, t: Telemetry, lmu: bool) -> None:
    lit = t.lights
    _put(page, at, "i", mid)
    _put(page, at + 12, "d", 1000.0 + (t.lap_time or 0.0))  # mElapsedTime
    _put(page, at + 24, "d", 1000.0)  # mLapStartET
    _put(page, at + 184, "ddd", 0.0, 0.0, -t.speed)  # mLocalVel: +z is rearwards
    _put(page, at + 352, "id", t.gear, t.rpm)
    _put(page, at + 420, "d", t.throttle or 0.0)  # mFilteredThrottle
    _put(page, at + 524, "ddBB", (t.fuel or 0.0) * TANK, t.max_rpm or 0.0, 0,
         int(Light.ENGINE in lit))  # fmt: skip
    page[at + 604] = int(Light.PIT_LIMITER in lit)
    _put(page, at + 608, "d", TANK)
    # mRearBrakeBias: the rear's share.
    _put(page, at + 664, "d", 0.0 if t.brake_bias is None else 1.0 - t.brake_bias / 100.0)
    page[at + 617] = int(Light.DRS in lit)
    page[at + 618] = 2 if Light.DRS_AVAILABLE in lit else 0
    if lmu:
        _put(page, at + 696, "d", t.delta or 0.0)
        page[at + 745] = int(t.lap_valid is False)  # mLapInvalidated
        page[at + 746] = int(Light.ABS in lit)
        page[at + 747] = int(Light.TC in lit)
        for offset, level in ((750, t.tc_level), (756, t.abs_level), (758, t.engine_map)):
            page[at + offset : at + offset + 2] = bytes((level or 0, 0 if level is None else 12))


def lmu_pages(t: Telemetry, variant: str = "lmu", player: int = 1, version: int = 1) -> Pages:
    """``LMU_Data`` (324 824 bytes, the game's size) or the plugin's two
    buffers ("rf2"). Three cars; the player's scoring record is number
    ``player``, the others decoys (gear 5, 1234 rpm, P9, lap 9); the
    telemetry records are in reverse order, found by mID. Tank 60 l; the
    lap started at 1000 s of the session. ``version`` is the plugin's version counter.
    t.track is the track's name ("monza" when None); a setting t has none of
    has a most of 0."""
    lmu = variant == "lmu"
    decoy = Telemetry(gear=5, rpm=1234.0, speed=3.0, lap=9, position=9, max_rpm=t.max_rpm)
    cars = [(mid, t if k == player else decoy, k == player) for k, mid in enumerate(LMU_IDS)]
    if lmu:
        page = bytearray(324_824)
        info, scoring, telemetry = 1632, 2192, 128_468
        page[96] = _LMU_STATE.get(t.state, 3)  # appInfo.mOptionsLocation
        page[128_464:128_467] = bytes((3, len(LMU_IDS) - 1 - player, 1))
    else:
        page = bytearray(75_312)
        tel_page = bytearray(241_680)
        info, scoring, telemetry = 12, 560, 16
        _put(tel_page, 0, "IIii", version, version, 0, 3)
        _put(page, 0, "IIi", version, version, 0)
    track = (t.track or "monza").encode()
    page[info : info + len(track)] = track
    _put(page, info + 104, "iBb", 3, 9 if t.state == GameState.PAUSED else 5,
         1 if Light.YELLOW in t.lights else 0)  # fmt: skip
    page[info + 115] = 0 if t.state == GameState.MENU else 1  # mInRealtime
    for k, (mid, car, is_player) in enumerate(cars):
        _rf_scoring(page, scoring + 584 * k, mid, car, is_player)
        _rf_telemetry(page if lmu else tel_page, telemetry + 1888 * (2 - k), mid, car, lmu)
    if lmu:
        return {"LMU_Data": bytes(page)}
    return {"$rFactor2SMMP_Telemetry$": bytes(tel_page), "$rFactor2SMMP_Scoring$": bytes(page)}


# --- Assetto Corsa EVO --------------------------------------------------------
# Offsets: Kunos' SharedFileOut.h as transcribed in dSyncro/acevo-shared-memory
# src/bindings/source/wrapper.hpp (9d54c2f), compiled with #pragma pack(4).

_EVO_STATUS = {GameState.MENU: 0, GameState.REPLAY: 1, GameState.DRIVING: 2, GameState.PAUSED: 3}


def acevo_pages(t: Telemetry, packet_id: int = 1, graphics_size: int = 4900) -> Pages:
    """The three pages (800 / 4900 or 3940 / 208 bytes). Tank 60 l; the
    other 59 cars' ids filled in (4900-byte builds). t.lap_fraction is the
    share of a TRACK_LENGTH lap; t.track the track, then its layout after a
    space; a setting t has none of has an upper limit of 0."""
    physics, graphics, static = bytearray(800), bytearray(graphics_size), bytearray(208)
    lit = t.lights
    _put(physics, 0, "iff", packet_id, t.throttle or 0.0, 0.0)
    _put(physics, 12, "fii", (t.fuel or 0.0) * TANK, t.gear + 1, round(t.rpm))
    _put(physics, 28, "f", t.speed * 3.6)
    _put(physics, 248, "i", int(Light.PIT_LIMITER in lit))
    _put(physics, 588, "i", round(t.max_rpm or 0))
    _put(physics, 772, "iii", 1, 0, 1)  # ignition on, starter off, engine running

    _put(graphics, 0, "ii", packet_id, _EVO_STATUS.get(t.state, 2))
    _put(graphics, 24, "QQ", 0x1234, 0x5678)  # player_car_id
    _put(graphics, 40, "H", round(t.rpm))
    graphics[43] = int(Light.SHIFT in lit)
    graphics[45], graphics[46] = int(Light.TC in lit), int(Light.ABS in lit)
    graphics[49], graphics[50] = 1, int(Light.ENGINE not in lit)  # ignition, engine running
    _put(graphics, 58, "h", round(t.speed * 3.6))
    _put(graphics, 68, "h", t.gear + 1)
    _put(graphics, 184, "ii", _ms(t.delta, 0), _ms(t.lap_time, 0))
    _put(graphics, 196, "ff", (t.fuel or 0.0) * TANK, t.fuel or 0.0)
    flag = 4 if Light.BLUE in lit else 5 if Light.YELLOW in lit else 0
    _put(graphics, 2384, "iIIiii", (t.lap or 1) - 1, t.position or 0, 20, _ms(t.last_lap, 0),
         _ms(t.best_lap, 0), flag)  # fmt: skip
    page_text = b"ks_porsche_911_gt3_r"
    graphics[3086 : 3086 + len(page_text)] = page_text
    _put(graphics, 3928, "f", TANK)
    _put(graphics, 1244, "f", t.lap_fraction or 0.0)  # npos
    graphics[3120] = int(bool(t.in_pit))  # is_in_pit_lane
    graphics[2849] = int(t.lap_valid is False)  # timing_state.is_invalid
    # electronics and electronics_max_limit: tc_level +0, abs_level +2,
    # brake_bias (the front's share) +8, engine_map_level +12.
    for offset, level in ((0, t.tc_level), (2, t.abs_level), (12, t.engine_map)):
        graphics[1872 + offset] = level or 0
        graphics[2128 + offset] = 0 if level is None else 8
    _put(graphics, 1880, "f", (t.brake_bias or 0.0) / 100.0)
    if graphics_size >= 4900:
        for car in range(60):
            _put(graphics, 3940 + 16 * car, "QQ", 0x1000 + car, 0x2000 + car)
    static[0:3], static[15:20] = b"1.0", b"0.6.3"
    track, _, layout = (t.track or "monza").partition(" ")
    static[136 : 136 + len(track)] = track.encode()
    static[169 : 169 + len(layout)] = layout.encode()  # track_configuration
    _put(static, 204, "f", TRACK_LENGTH)
    return {
        "acevo_pmf_physics": bytes(physics),
        "acevo_pmf_graphics": bytes(graphics),
        "acevo_pmf_static": bytes(static),
    }


# --- Euro Truck Simulator 2 / American Truck Simulator -----------------------
# Offsets: scs-telemetry/inc/scs-telemetry-common.hpp of truckermudgeon/
# scs-sdk-plugin (c8910d6, plugin revision 12), compiled with g++ and mingw.


def ets2_pages(
    t: Telemetry, time: int = 1_000_000, revision: int = 12, game: int = 1, gear: int | None = None
) -> Pages:
    """``SCSTelemetry`` (the plugin's 32 KiB mapping). An 800 l tank; 12
    forward and 4 reverse gears; the dashboard gear is ``gear`` when given,
    else t.gear. ENGINE in t lights the oil-pressure warning; a trailer is
    attached; the odometer reads t.distance."""
    page = bytearray(32 * 1024)
    lit = t.lights
    _put(page, 0, "B3xB3xQ", 1, int(t.state == GameState.PAUSED), time)
    _put(page, 40, "IIIIII", revision, 1, 53, game, 1, 18)
    _put(page, 68, "II", 12, 4)
    shown = t.gear if gear is None else gear
    _put(page, 504, "ii", shown, shown)
    _put(page, 704, "ff", 800.0, 0.15)
    _put(page, 740, "f", t.max_rpm or 0.0)
    _put(page, 948, "ff", -t.speed if shown < 0 else t.speed, t.rpm)
    _put(page, 960, "f", t.throttle or 0.0)  # userThrottle
    _put(page, 976, "f", t.throttle or 0.0)  # gameThrottle
    _put(page, 1000, "f", (t.fuel or 0.0) * 800.0)
    _put(page, 1056, "f", (t.distance or 0.0) / 1000.0)  # truckOdometer, km
    page[1572] = int(Light.ENGINE in lit)  # oilPressureWarning
    page[1575], page[1576] = 1, 1  # electricEnabled, engineEnabled
    page[1578], page[1580] = (int(Light.SIGNAL_LEFT in lit),) * 2
    page[1579], page[1581] = (int(Light.SIGNAL_RIGHT in lit),) * 2
    for at, name in ((2300, b"scania"), (2364, b"Scania"), (2428, b"vehicle.scania.s_2016"),
                     (2492, b"S 2016")):  # fmt: skip
        page[at : at + len(name)] = name
    page[6000 + 80] = 1  # trailer[0].attached
    return {"SCSTelemetry": bytes(page)}


# --- Publishing -------------------------------------------------------------


def write_pages(folder: Path, pages: Pages) -> None:
    """The pages as files in ``folder`` (as a bridge publishes them), written
    in place when they exist, so a reader holding one sees the change."""
    for name, data in pages.items():
        path = folder / name
        with open(path, "r+b" if path.exists() else "wb") as f:
            f.write(data)
            f.truncate(len(data))


if sys.platform == "win32":

    @contextlib.contextmanager
    def named_mappings(pages: Pages) -> Iterator[dict[str, mmap.mmap]]:
        """Real named mappings ``Local\\<name>`` holding the pages, alive
        until the block ends."""
        maps = {
            name: mmap.mmap(-1, len(data), tagname="Local\\" + name) for name, data in pages.items()
        }
        try:
            for name, data in pages.items():
                maps[name][:] = data
            yield maps
        finally:
            for m in maps.values():
                m.close()


class Publisher:
    """Plays the game for a reader: files in a folder, or on Windows real
    named mappings (``shm_dir`` is what the reader is given)."""

    def __init__(self, folder: Path) -> None:
        self.folder = folder
        self.named = sys.platform == "win32"
        self.shm_dir: str | None = None if self.named else str(folder)
        self._stack = contextlib.ExitStack()
        self._maps: dict[str, mmap.mmap] = {}

    def publish(self, pages: Pages) -> None:
        if not self.named:
            write_pages(self.folder, pages)
            return
        if sys.platform == "win32":
            for name, data in pages.items():
                if name in self._maps:
                    self._maps[name][: len(data)] = data
                else:
                    self._maps.update(self._stack.enter_context(named_mappings({name: data})))

    def remove(self, name: str) -> None:
        """The game closing its mapping (on Windows a reader's view keeps it)."""
        if self.named:
            self._maps.pop(name).close()
        else:
            os.unlink(self.folder / name)

    def shrink(self, name: str, size: int) -> None:
        os.truncate(self.folder / name, size)

    def close(self) -> None:
        self._stack.close()
        self._maps.clear()


def snapshot(module: ModuleType, pages: Pages) -> bytes | None:
    """What the family's reader copies out of these pages."""
    take = module.take_factory() if hasattr(module, "take_factory") else module.take
    result: bytes | None = take([BytesView(pages[name]) for name in module.NAMES])
    return result


def decoded(module: ModuleType, pages: Pages) -> Telemetry:
    data = snapshot(module, pages)
    assert data is not None
    t = module.FAMILY.decoder().decode(data)
    assert isinstance(t, Telemetry), t
    check_sane(t)
    return t


def assert_carries(got: Telemetry, want: Telemetry, fields: Iterable[str]) -> None:
    for name in fields:
        value, expected = getattr(got, name), getattr(want, name)
        if isinstance(expected, float):
            assert value == pytest.approx(expected, abs=1e-3), name
        else:
            assert value == expected, name


def check_sane(t: Telemetry) -> None:
    """The numbers any decoder may answer."""
    for value in (t.rpm, t.speed, t.max_rpm, t.rev_lights, t.fuel, t.lap_time, t.last_lap,
                  t.best_lap, t.delta):  # fmt: skip
        assert value is None or math.isfinite(value), t
    assert t.fuel is None or 0.0 <= t.fuel <= 1.0, t
    assert t.rev_lights is None or 0.0 <= t.rev_lights <= 1.0, t
    assert -1 <= t.gear <= 24, t  # trucks have up to 24 forward gears
    assert t.lap is None or t.lap >= 1, t
    assert t.position is None or t.position >= 1, t


class TornView(BytesView):
    """A page whose game writes (bumps the i32 counter at ``at``) during the
    first ``writes`` copies: every read of the counter sees a new value."""

    def __init__(self, data: bytes, at: int, writes: int) -> None:
        super().__init__(data)
        self.at, self.writes = at, writes

    def read(self, offset: int, length: int) -> bytes:
        if offset == self.at and self.writes > 0:
            self.writes -= 1
            page = bytearray(self.data)
            page[offset : offset + 4] = (
                int.from_bytes(page[offset : offset + 4], "little") + 1
            ).to_bytes(4, "little")
            self.data = bytes(page)
        return super().read(offset, length)

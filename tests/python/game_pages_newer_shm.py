"""Pages of the newer shared-memory games, laid out by descriptions other than
the ones their decoders were written from: Project CARS (the first) and
Assetto Corsa Rally. Project CARS 3 fills Project CARS 2's page:
game_pages.ams2_pages builds it."""

from __future__ import annotations

from game_pages import TANK, TRACK_LENGTH, Pages, _flag
from game_structs import AC_PHYSICS, AC_STATIC, ACC_GRAPHICS, page, struct

from kvdash_dashboard.telemetry import GameState, Light, Telemetry

# --- Project CARS ---------------------------------------------------------------
# The C# declaration of the game's structure in Artemis-RGB/Artemis,
# Artemis/Artemis/Modules/Games/ProjectCars/Data/_pCarsAPIStruct/pCarsAPI-Struct.cs
# @ 9e75a88fffd28a9ec73fb7066cd4be88c5f1dbe0, sequential, natural alignment;
# its plain bools marshal as 4-byte BOOLs (int here), mIsActive as one byte.
# The numbers of the enums from the same project's _eNums folder @ cacca6a
# (eFlagColors.cs, eCarFlags.cs, ePitMode.cs) and @ 0642b79 (eGameState.cs,
# which stops at paused: replay is GAME_FRONT_END_REPLAY, 6, of the game's
# own header).

PCARS_PARTICIPANT = struct(
    "bool mIsActive; char mName[64]; float mWorldPosition[3], mCurrentLapDistance;"
    "unsigned int mRacePosition, mLapsCompleted, mCurrentLap, mCurrentSector"
)
PCARS = struct(
    """unsigned int mVersion, mBuildVersion, mGameState, mSessionState, mRaceState;
    int mViewedParticipantIndex, mNumParticipants; Participant mParticipantData[64];
    float mUnfilteredThrottle, mUnfilteredBrake, mUnfilteredSteering, mUnfilteredClutch;
    char mCarName[64], mCarClassName[64]; unsigned int mLapsInEvent;
    char mTrackLocation[64], mTrackVariation[64]; float mTrackLength;
    int mLapInvalidated; float mSessionFastestLapTime, mLastLapTime, mCurrentTime,
    mSplitTimeAhead, mSplitTimeBehind, mSplitTime, mEventTimeRemaining,
    mPersonalFastestLapTime, mWorldFastestLapTime, mCurrentSector1Time, mCurrentSector2Time,
    mCurrentSector3Time, mSessionFastestSector1Time, mSessionFastestSector2Time,
    mSessionFastestSector3Time, mPersonalFastestSector1Time, mPersonalFastestSector2Time,
    mPersonalFastestSector3Time, mWorldFastestSector1Time, mWorldFastestSector2Time,
    mWorldFastestSector3Time; unsigned int mHighestFlagColour, mHighestFlagReason, mPitMode,
    mPitSchedule, mCarFlags; float mOilTempCelsius, mOilPressureKPa, mWaterTempCelsius,
    mWaterPressureKPa, mFuelPressureKPa, mFuelLevel, mFuelCapacity, mSpeed, mRPM, mMaxRPM,
    mBrake, mThrottle, mClutch, mSteering; int mGear, mNumGears; float mOdometerKM;
    int mAntiLockActive, mLastOpponentCollisionIndex; float mLastOpponentCollisionMagnitude;
    int mBoostActive; float mBoostAmount, mOrientation[3], mLocalVelocity[3],
    mWorldVelocity[3], mAngularVelocity[3], mLocalAcceleration[3], mWorldAcceleration[3],
    mExtentsCentre[3]; unsigned int mTyreFlags[4], mTerrain[4]; float mTyreY[4],
    mTyreRPS[4], mTyreSlipSpeed[4], mTyreTemp[4], mTyreGrip[4], mTyreHeightAboveGround[4],
    mTyreLateralStiffness[4], mTyreWear[4], mBrakeDamage[4], mSuspensionDamage[4],
    mBrakeTempCelsius[4], mTyreTreadTemp[4], mTyreLayerTemp[4], mTyreCarcassTemp[4],
    mTyreRimTemp[4], mTyreInternalAirTemp[4]; unsigned int mCrashState; float mAeroDamage,
    mEngineDamage, mAmbientTemperature, mTrackTemperature, mRainDensity, mWindSpeed,
    mWindDirectionX, mWindDirectionY, mCloudBrightness""",
    Participant=PCARS_PARTICIPANT,
)
_PCARS_STATE = {GameState.MENU: 1, GameState.DRIVING: 2, GameState.PAUSED: 3, GameState.REPLAY: 6}


def pcars_pages(t: Telemetry, version: int = 5, viewed: int = 2) -> Pages:
    """``$pcars$`` as Project CARS writes it. The viewed car is record
    ``viewed`` (none outside 0 to 63); record 0 holds a decoy (position 9,
    lap 9, 99 m). Tank 60 l;
    t.track is the location, then the variation after a space."""
    track, _, layout = (t.track or "").partition(" ")
    lit = t.lights
    values: dict[str, object] = {
        "mVersion": version,
        "mBuildVersion": 1080,
        "mGameState": _PCARS_STATE.get(t.state, 2),
        "mSessionState": 1,  # practice
        "mRaceState": 2,  # racing
        "mViewedParticipantIndex": viewed,
        "mNumParticipants": 12,
        "mUnfilteredThrottle": t.throttle or 0.0,
        "mCarName": t.car or "",
        "mCarClassName": "GT3",
        "mTrackLocation": track,
        "mTrackVariation": layout,
        "mTrackLength": TRACK_LENGTH,
        "mLapInvalidated": int(t.lap_valid is False),
        "mSessionFastestLapTime": t.best_lap or -1.0,
        "mLastLapTime": t.last_lap or 0.0,
        "mCurrentTime": t.lap_time or 0.0,
        "mHighestFlagColour": _flag(lit, 2, 4, 1),  # blue, yellow, green
        "mPitMode": 2 if t.in_pit else 0,  # in the pits
        "mCarFlags": 0x01 | 0x02 | 0x08 * (Light.PIT_LIMITER in lit) | 0x04 * (Light.ENGINE in lit),
        "mOilTempCelsius": 110.5,
        "mWaterTempCelsius": 88.0,
        "mFuelLevel": t.fuel or 0.0,
        "mFuelCapacity": TANK,
        "mSpeed": t.speed,
        "mRPM": t.rpm,
        "mMaxRPM": t.max_rpm or 0.0,
        "mThrottle": t.throttle or 0.0,
        "mGear": t.gear,
        "mNumGears": 6,
        "mOdometerKM": 321.0,
        "mAntiLockActive": int(Light.ABS in lit),
        "mAmbientTemperature": 25.0,
        "mTrackTemperature": 30.0,
    }
    for index, (position, lap, distance) in (
        (0, (9, 9, 99.0)),
        (viewed, (t.position or 0, t.lap or 0, t.lap_distance or 0.0)),
    ):
        if not 0 <= index < 64:
            continue  # no car viewed
        values |= {
            f"mParticipantData.{index}.mIsActive": True,
            f"mParticipantData.{index}.mName": "Driver",
            f"mParticipantData.{index}.mCurrentLapDistance": distance,
            f"mParticipantData.{index}.mRacePosition": position,
            f"mParticipantData.{index}.mLapsCompleted": max(0, lap - 1),
            f"mParticipantData.{index}.mCurrentLap": lap,
        }
    return {"$pcars$": page(PCARS, values)}


# --- Assetto Corsa Rally --------------------------------------------------------
# ACC's three pages (game_structs: Kunos' SharedFileOut.h as gabbo76/ACC-TX-UDP
# has it), filled as AC Rally fills them, from acr_telemetry's field list
# (docs/FIELDS.md: which fields the game fills, temperatures in kelvin, tc/abs
# the settings, the in-action flags and the pit limiter empty) and simapi's
# pull request 29 (max rpm stuck at impossible values after a jump or crash).

KELVIN = 273.15


def acr_pages(
    t: Telemetry, packet_id: int = 1, max_rpm: int | None = None, static: bool = True
) -> Pages:
    """AC Rally's pages, 800/1588/820 bytes. ``max_rpm`` is what the game
    writes in both of its max-rpm fields (default: t.max_rpm); ``static``
    False is the all-zero static page of a session's start. TC and ABS are
    switched on (1) whatever t says; t.lights gives the flag."""
    rev_limit = round(t.max_rpm or 0) if max_rpm is None else max_rpm
    physics: dict[str, object] = {
        "packetId": packet_id,
        "gas": t.throttle or 0.0,
        "fuel": (t.fuel or 0.0) * TANK,
        "gear": t.gear + 1,
        "rpms": round(t.rpm),
        "speedKmh": t.speed * 3.6,
        "tc": 1.0,
        "abs": 1.0,
        "airTemp": KELVIN - 4.0,  # a winter stage
        "roadTemp": 304.0,
        "waterTemp": KELVIN + 78.0,
        "brakeTemp": (KELVIN + 350.0, KELVIN + 350.0, KELVIN + 160.0, KELVIN + 160.0),
        "brakeBias": 0.58,
        "currentMaxRpm": rev_limit,
        "ignitionOn": 1,
        "isEngineRunning": 1,
    }
    graphics: dict[str, object] = {
        "packetId": packet_id,
        "status": 2,
        "session": 0,
        "completedLaps": (t.lap or 1) - 1,
        "position": t.position or 1,
        "iCurrentTime": round((t.lap_time or 0.0) * 1000),
        "iBestTime": 2**31 - 1,
        "flag": _flag(t.lights, 1, 2, 0),
    }
    values: dict[str, object] = {}
    if static:
        values = {
            "carModel": t.car or "ks_hyundai_i20_n_rally2",
            "track": "wales",
            "maxRpm": rev_limit,
            "maxFuel": TANK,
        }
    return {
        "acpmf_physics": page(AC_PHYSICS, physics)[:800],
        "acpmf_graphics": page(ACC_GRAPHICS, graphics),
        "acpmf_static": page(AC_STATIC, values)[:820],
    }

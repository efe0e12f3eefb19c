"""The games' own structures, transcribed from their headers as declarations
and laid out by ctypes, so test pages and packets get their offsets from the
game's description rather than from our decoders or our notes.

``struct(decls, pack)`` turns C declarations ("float a, b; int c[4][3];")
into a ctypes Structure; ``pack`` is the header's ``#pragma pack`` (None:
natural alignment). wchar_t is two bytes, as on Windows, where the games run.
``page(cls, values)`` is the structure's bytes with the named fields set
(a str for a char or wchar_t array is written as text)."""

from __future__ import annotations

import ctypes
import re
from collections.abc import Mapping
from typing import Any

_TYPES: dict[str, Any] = {
    "bool": ctypes.c_bool,
    "char": ctypes.c_char,
    "wchar_t": ctypes.c_uint16,
    "int": ctypes.c_int32,
    "unsigned int": ctypes.c_uint32,
    "float": ctypes.c_float,
    "int8_t": ctypes.c_int8,
    "uint8_t": ctypes.c_uint8,
    "uint16_t": ctypes.c_uint16,
    "int32_t": ctypes.c_int32,
    "uint32_t": ctypes.c_uint32,
}
_DECL = re.compile(r"\s*(unsigned int|\w+)\s+(.+)", re.DOTALL)
_NAME = re.compile(r"(\w+)((?:\[\d+\])*)")


def struct(decls: str, pack: int | None = None, **known: type[ctypes.Structure]) -> Any:
    """A ctypes Structure for the declarations; ``known`` names struct types
    the declarations use."""
    fields: list[tuple[str, Any]] = []
    for decl in filter(str.strip, decls.split(";")):
        match = _DECL.fullmatch(decl.strip())
        assert match, decl
        ctype = known.get(match[1]) or _TYPES[match[1]]
        for name in match[2].split(","):
            parts = _NAME.fullmatch(name.strip())
            assert parts, name
            kind = ctype
            for count in reversed(re.findall(r"\d+", parts[2])):
                kind = kind * int(count)
            fields.append((parts[1], kind))
    attrs: dict[str, Any] = {"_fields_": fields}
    if pack is not None:
        attrs |= {"_pack_": pack, "_layout_": "ms"}
    return type("Transcribed", (ctypes.Structure,), attrs)


def page(cls: Any, values: Mapping[str, Any], size: int | None = None) -> bytes:
    """The structure's bytes with ``values`` set, padded with zeros to
    ``size``. A dotted name reaches into a nested structure or an array
    ("mParticipantInfo.3.mRacePosition")."""
    data = cls()
    for path, value in values.items():
        *outer, last = path.split(".")
        target = data
        for part in outer:
            target = target[int(part)] if part.isdigit() else getattr(target, part)
        if last.isdigit():
            target[int(last)] = value
        elif isinstance(value, str) and not isinstance(getattr(target, last), bytes):
            for i, char in enumerate(value):  # wchar_t text
                getattr(target, last)[i] = ord(char)
        else:
            setattr(target, last, value.encode() if isinstance(value, str) else value)
    raw = bytes(data)
    return raw.ljust(size or len(raw), b"\0")


# --- Automobilista 2 / Project CARS 2 ----------------------------------------
# SharedMemory.h as the game ships it (SHARED_MEMORY_VERSION 14), from
# viper4gh/CREST2-AMS2, SharedMemory.h @ 534ed288f2a7d50f4c796af34c4ba4af4cfa11da;
# natural alignment. Transcribed up to mSequenceNumber; the whole v14
# structure is 20700 bytes.

AMS2_SIZE = 20700
AMS2_PARTICIPANT = struct(
    "bool mIsActive; char mName[64]; float mWorldPosition[3], mCurrentLapDistance;"
    "unsigned int mRacePosition, mLapsCompleted, mCurrentLap; int mCurrentSector"
)
AMS2 = struct(
    """unsigned int mVersion, mBuildVersionNumber, mGameState, mSessionState, mRaceState;
    int mViewedParticipantIndex, mNumParticipants; ParticipantInfo mParticipantInfo[64];
    float mUnfilteredThrottle, mUnfilteredBrake, mUnfilteredSteering, mUnfilteredClutch;
    char mCarName[64], mCarClassName[64]; unsigned int mLapsInEvent;
    char mTrackLocation[64], mTrackVariation[64]; float mTrackLength; int mNumSectors;
    bool mLapInvalidated; float mBestLapTime, mLastLapTime, mCurrentTime, mSplitTimeAhead,
    mSplitTimeBehind, mSplitTime, mEventTimeRemaining, mPersonalFastestLapTime,
    mWorldFastestLapTime, mCurrentSector1Time, mCurrentSector2Time, mCurrentSector3Time,
    mFastestSector1Time, mFastestSector2Time, mFastestSector3Time, mPersonalFastestSector1Time,
    mPersonalFastestSector2Time, mPersonalFastestSector3Time, mWorldFastestSector1Time,
    mWorldFastestSector2Time, mWorldFastestSector3Time;
    unsigned int mHighestFlagColour, mHighestFlagReason, mPitMode, mPitSchedule, mCarFlags;
    float mOilTempCelsius, mOilPressureKPa, mWaterTempCelsius, mWaterPressureKPa,
    mFuelPressureKPa, mFuelLevel, mFuelCapacity, mSpeed, mRpm, mMaxRPM, mBrake, mThrottle,
    mClutch, mSteering; int mGear, mNumGears; float mOdometerKM; bool mAntiLockActive;
    int mLastOpponentCollisionIndex; float mLastOpponentCollisionMagnitude; bool mBoostActive;
    float mBoostAmount, mOrientation[3], mLocalVelocity[3], mWorldVelocity[3],
    mAngularVelocity[3], mLocalAcceleration[3], mWorldAcceleration[3], mExtentsCentre[3];
    unsigned int mTyreFlags[4], mTerrain[4]; float mTyreY[4], mTyreRPS[4], mTyreSlipSpeed[4],
    mTyreTemp[4], mTyreGrip[4], mTyreHeightAboveGround[4], mTyreLateralStiffness[4],
    mTyreWear[4], mBrakeDamage[4], mSuspensionDamage[4], mBrakeTempCelsius[4],
    mTyreTreadTemp[4], mTyreLayerTemp[4], mTyreCarcassTemp[4], mTyreRimTemp[4],
    mTyreInternalAirTemp[4]; unsigned int mCrashState; float mAeroDamage, mEngineDamage,
    mAmbientTemperature, mTrackTemperature, mRainDensity, mWindSpeed, mWindDirectionX,
    mWindDirectionY, mCloudBrightness; unsigned int mSequenceNumber""",
    ParticipantInfo=AMS2_PARTICIPANT,
)
# Past mSequenceNumber: offsetof() of the same header compiled with g++ (its
# _v11.h to _v13.h copies agree; versions before 11 lack the two settings).
AMS2_LATER = {"mAntiLockSetting": 20660, "mTractionControlSetting": 20664}

# --- Assetto Corsa / ACC -------------------------------------------------------
# Kunos' SharedFileOut.h, #pragma pack(4). ACC's three pages from
# gabbo76/ACC-TX-UDP, SharedFileOut.h @ 5bdd3afb8064bf3a47b24af29db15ad73891150d
# (its physics page keeps every AC field, so AC's later 712-byte page is its
# first 712 bytes, and AC's 684-byte static page ends before isOnline). AC's
# own graphics page from Lumlumski/PedalVibration, SharedFileOut.h @
# 246379a2d2a966194b82f9d616fa8406b0506b9d (296 bytes in the game).

AC_PHYSICS = struct(
    """int packetId; float gas, brake, fuel; int gear, rpms; float steerAngle, speedKmh,
    velocity[3], accG[3], wheelSlip[4], wheelLoad[4], wheelsPressure[4], wheelAngularSpeed[4],
    tyreWear[4], tyreDirtyLevel[4], tyreCoreTemperature[4], camberRAD[4], suspensionTravel[4],
    drs, tc, heading, pitch, roll, cgHeight, carDamage[5]; int numberOfTyresOut, pitLimiterOn;
    float abs, kersCharge, kersInput; int autoShifterOn; float rideHeight[2], turboBoost,
    ballast, airDensity, airTemp, roadTemp, localAngularVel[3], finalFF, performanceMeter;
    int engineBrake, ersRecoveryLevel, ersPowerLevel, ersHeatCharging, ersIsCharging;
    float kersCurrentKJ; int drsAvailable, drsEnabled; float brakeTemp[4], clutch, tyreTempI[4],
    tyreTempM[4], tyreTempO[4]; int isAIControlled; float tyreContactPoint[4][3],
    tyreContactNormal[4][3], tyreContactHeading[4][3], brakeBias, localVelocity[3];
    int P2PActivations, P2PStatus, currentMaxRpm; float mz[4], fx[4], fy[4], slipRatio[4],
    slipAngle[4]; int tcinAction, absInAction; float suspensionDamage[4], tyreTemp[4],
    waterTemp, brakePressure[4]; int frontBrakeCompound, rearBrakeCompound; float padLife[4],
    discLife[4]; int ignitionOn, starterEngineOn, isEngineRunning; float kerbVibration,
    slipVibrations, gVibrations, absVibrations""",
    pack=4,
)
_GRAPHICS_HEAD = """int packetId, status, session; wchar_t currentTime[15], lastTime[15],
    bestTime[15], split[15]; int completedLaps, position, iCurrentTime, iLastTime, iBestTime;
    float sessionTimeLeft, distanceTraveled; int isInPit, currentSectorIndex, lastSectorTime,
    numberOfLaps; wchar_t tyreCompound[33]; float replayTimeMultiplier, normalizedCarPosition;"""
AC_GRAPHICS = struct(
    _GRAPHICS_HEAD
    + "float carCoordinates[3], penaltyTime; int flag, idealLineOn, isInPitLane; float surfaceGrip",
    pack=4,
)
ACC_GRAPHICS = struct(
    _GRAPHICS_HEAD
    + """int activeCars; float carCoordinates[60][3]; int carID[60], playerCarID;
    float penaltyTime; int flag, penalty, idealLineOn, isInPitLane; float surfaceGrip;
    int mandatoryPitDone; float windSpeed, windDirection; int isSetupMenuVisible,
    mainDisplayIndex, secondaryDisplayIndex, TC, TCCut, EngineMap, ABS, fuelXLap, rainLights,
    flashingLights, lightsStage; float exhaustTemperature; int wiperLV,
    DriverStintTotalTimeLeft, DriverStintTimeLeft, rainTyres, sessionIndex; float usedFuel;
    wchar_t deltaLapTime[15]; int iDeltaLapTime; wchar_t estimatedLapTime[15];
    int iEstimatedLapTime, isDeltaPositive, iSplit, isValidLap; float fuelEstimatedLaps;
    wchar_t trackStatus[33]; int missingMandatoryPits; float Clock; int directionLightsLeft,
    directionLightsRight, GlobalYellow, GlobalYellow1, GlobalYellow2, GlobalYellow3,
    GlobalWhite, GlobalGreen, GlobalChequered, GlobalRed, mfdTyreSet; float mfdFuelToAdd,
    mfdTyrePressureLF, mfdTyrePressureRF, mfdTyrePressureLR, mfdTyrePressureRR;
    int trackGripStatus, rainIntensity, rainIntensityIn10min, rainIntensityIn30min,
    currentTyreSet, strategyTyreSet, gapAhead, gapBehind""",
    pack=4,
)
AC_STATIC = struct(
    """wchar_t smVersion[15], acVersion[15]; int numberOfSessions, numCars;
    wchar_t carModel[33], track[33], playerName[33], playerSurname[33], playerNick[33];
    int sectorCount; float maxTorque, maxPower; int maxRpm; float maxFuel,
    suspensionMaxTravel[4], tyreRadius[4], maxTurboBoost, deprecated_1, deprecated_2;
    int penaltiesEnabled; float aidFuelRate, aidTireRate, aidMechanicalDamage;
    int aidAllowTyreBlankets; float aidStability; int aidAutoClutch, aidAutoBlip, hasDRS,
    hasERS, hasKERS; float kersMaxJ; int engineBrakeSettingsCount, ersPowerControllerCount;
    float trackSPlineLength; wchar_t trackConfiguration[33]; float ersMaxJ; int isTimedRace,
    hasExtraLap; wchar_t carSkin[33]; int reversedGridPositions, PitWindowStart, PitWindowEnd,
    isOnline; wchar_t dryTyresName[33], wetTyresName[33]""",
    pack=4,
)

# --- Forza Data Out --------------------------------------------------------------
# Packed. The Sled and Dash fields as the official "Forza Motorsport Data Out
# Documentation" lists them, with Forza Horizon's 12 extra bytes after the
# Sled block as in baamhittn/forza, include.h @
# 603dd250fe467cf4b06612f0eb98ac9a1ef9d932; Forza Motorsport (2023) appends
# tyre wear and the track (official documentation); Horizon adds one byte.

_SLED = """int32_t IsRaceOn; uint32_t TimestampMS; float EngineMaxRpm, EngineIdleRpm,
    CurrentEngineRpm, AccelerationX, AccelerationY, AccelerationZ, VelocityX, VelocityY,
    VelocityZ, AngularVelocityX, AngularVelocityY, AngularVelocityZ, Yaw, Pitch, Roll,
    NormalizedSuspensionTravel[4], TireSlipRatio[4], WheelRotationSpeed[4];
    int32_t WheelOnRumbleStrip[4]; float WheelInPuddleDepth[4], SurfaceRumble[4],
    TireSlipAngle[4], TireCombinedSlip[4], SuspensionTravelMeters[4]; int32_t CarOrdinal,
    CarClass, CarPerformanceIndex, DrivetrainType, NumCylinders;"""
_DASH = """float PositionX, PositionY, PositionZ, Speed, Power, Torque, TireTempFrontLeft,
    TireTempFrontRight, TireTempRearLeft, TireTempRearRight, Boost, Fuel, DistanceTraveled,
    BestLap, LastLap, CurrentLap, CurrentRaceTime; uint16_t LapNumber; uint8_t RacePosition,
    Accel, Brake, Clutch, HandBrake, Gear; int8_t Steer, NormalizedDrivingLine,
    NormalizedAIBrakeDifference;"""
FORZA = {
    "sled": struct(_SLED, pack=1),
    "fm7": struct(_SLED + _DASH, pack=1),
    "fm2023": struct(_SLED + _DASH + "float TireWear[4]; int32_t TrackOrdinal", pack=1),
    "horizon": struct(_SLED + "int32_t HorizonPlaceholder[3];" + _DASH + "uint8_t Unused", pack=1),
}

# --- RaceRoom ------------------------------------------------------------------
# offsetof() in r3e_shared, compiled (#pragma pack(1)) from sector3studios/r3e-api
# sample-c/src/r3e.h at the commit named for each layout version; the last
# number is sizeof(r3e_shared). 2.9 to 2.16 share the 2.10 offsets.

R3E_FIELDS = (
    "player.game_simulation_ticks game_paused game_in_menus game_in_replay flags.yellow "
    "flags.blue position completed_laps lap_time_best_self lap_time_previous_self "
    "lap_time_current_self time_delta_best_self vehicle_info.model_id car_speed engine_rps "
    "max_engine_rps upshift_rps gear fuel_left fuel_capacity throttle aid_settings.abs "
    "aid_settings.tc drs.equipped drs.available drs.numActivationsLeft drs.engaged pit_limiter "
    "size"
).split()
# fmt: off
_R3E_COMPILED = {
    (2, 10): ("8bb4a57f380fafea5b228736726884f480fcc92d", (
        36, 16, 20, 24, 900, 932, 956, 996, 1036, 1052, 1068, 1100, 1228, 1336, 1340, 1344,
        1348, 1352, 1400, 1404, 1432, 1468, 1472, 1488, 1492, 1496, 1500, 1504, 39320)),
    (3, 1): ("ad2b1f3e68fd9733a8b480aaa9aec22e1b70a2ad", (
        36, 16, 20, 24, 920, 952, 976, 1016, 1056, 1072, 1088, 1120, 1256, 1368, 1372, 1376,
        1380, 1384, 1432, 1436, 1476, 1512, 1516, 1532, 1536, 1540, 1544, 1548, 42436)),
    (3, 2): ("572652c38699e92122019f0ec45fe913f6c47c6f", (
        36, 16, 20, 24, 920, 952, 976, 1016, 1056, 1072, 1088, 1120, 1256, 1380, 1384, 1388,
        1392, 1396, 1444, 1448, 1488, 1524, 1528, 1544, 1548, 1552, 1556, 1560, 43984)),
    (3, 3): ("d33ac981e880b105efbfc5f41bce09af0b9233d6", (
        40, 20, 24, 28, 924, 956, 980, 1020, 1060, 1076, 1092, 1124, 1260, 1384, 1388, 1392,
        1396, 1400, 1448, 1452, 1492, 1528, 1532, 1548, 1552, 1556, 1560, 1564, 43988)),
    (3, 4): ("faff6d68177b0a5b49a64d502d46a528d27eaff5", (
        44, 20, 24, 28, 932, 964, 988, 1028, 1068, 1084, 1100, 1132, 1268, 1392, 1396, 1400,
        1404, 1408, 1456, 1460, 1500, 1536, 1540, 1556, 1560, 1564, 1568, 1572, 43996)),
    (3, 5): ("29a3e9587d95edf70f6e32e40db317c6a9d0d5ef", (
        44, 20, 24, 28, 932, 964, 988, 1028, 1068, 1084, 1100, 1132, 1268, 1392, 1396, 1400,
        1404, 1408, 1456, 1460, 1500, 1536, 1540, 1556, 1560, 1564, 1568, 1572, 43996)),
}
# fmt: on
# The race information, compiled (gcc) from the same commits; abs_setting came
# with 2.15 (absent from 2.10).
R3E_RACE_FIELDS = (
    "current_lap_valid lap_distance lap_distance_fraction in_pitlane track_name layout_name "
    "brake_bias abs_setting traction_control_setting engine_map_setting"
).split()
# fmt: off
_R3E_RACE = {
    (2, 10): (1000, 1008, 1012, 820, 576, 640, 1528, None, 1868, 1872),
    (3, 1): (1020, 1028, 1032, 840, 592, 656, 1572, 1592, 1912, 1916),
    (3, 2): (1020, 1028, 1032, 840, 592, 656, 1584, 1604, 1924, 1928),
    (3, 3): (1024, 1032, 1036, 844, 596, 660, 1588, 1608, 1928, 1932),
    (3, 4): (1032, 1040, 1044, 848, 600, 664, 1596, 1616, 1936, 1940),
    (3, 5): (1032, 1040, 1044, 848, 600, 664, 1596, 1616, 1936, 1940),
}
# fmt: on
R3E = {v: dict(zip(R3E_FIELDS, at, strict=True)) for v, (_, at) in _R3E_COMPILED.items()}
for _v, _at in _R3E_RACE.items():
    R3E[_v] |= {k: o for k, o in zip(R3E_RACE_FIELDS, _at, strict=True) if o is not None}

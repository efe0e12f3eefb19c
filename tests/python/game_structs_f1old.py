"""F1 2020, F1 2021 and F1 22 packets (formats 2020, 2021, 2022) as open
readers declare them, transcribed as packed little-endian ctypes structures,
so the test packets get their offsets from other people's reading of EA's
published layouts rather than from our decoder (written from
racehub-io/f1-telemetry-client).

- 2020: the ctypes module of the f1-2020-telemetry package, as carried by
  mark-sivill-splunk/F1-2020-Add-on-for-Splunk, f1_2020_addon/bin/packets.py
  @ c6da94c465c4ec40108f20201840a06a8507eb97.
- 2021: chrishannam/Telemetry-F1-2021, telemetry_f1_2021/packets.py
  @ 1eb0547c41c1058c651cc900e922ffd48090af70.
- 2022: F1SimRacing/f1-22-telemetry, f1_22_telemetry/packets.py
  @ 82569bda31d0d6b53fe82af8452370caea220f8c. Its per-car records are field
  for field those of the 2021 reader; the packets differ (a time-trial
  trailer after the lap data, a longer session packet).

Field names follow EA's, without the m_ prefix. Arrays that only pad a packet
out (marshal zones, forecasts, tyre stints) are declared as the readers do."""

from __future__ import annotations

import ctypes
from typing import Any

u8, i8, u16, u32, u64 = (
    ctypes.c_uint8,
    ctypes.c_int8,
    ctypes.c_uint16,
    ctypes.c_uint32,
    ctypes.c_uint64,
)
f32, f64 = ctypes.c_float, ctypes.c_double
CARS = 22


def packed(*fields: tuple[str, Any]) -> Any:
    """A packed little-endian structure of the fields, in order."""
    return type("Packed", (ctypes.LittleEndianStructure,), {"_pack_": 1, "_fields_": list(fields)})


# The same in all three readers.
HEADER = packed(
    ("packetFormat", u16),
    ("gameMajorVersion", u8),
    ("gameMinorVersion", u8),
    ("packetVersion", u8),
    ("packetId", u8),
    ("sessionUID", u64),
    ("sessionTime", f32),
    ("frameIdentifier", u32),
    ("playerCarIndex", u8),
    ("secondaryPlayerCarIndex", u8),
)
MARSHAL_ZONE = packed(("zoneStart", f32), ("zoneFlag", i8))
_SESSION_HEAD = (
    ("header", HEADER),
    ("weather", u8),
    ("trackTemperature", i8),
    ("airTemperature", i8),
    ("totalLaps", u8),
    ("trackLength", u16),
    ("sessionType", u8),
    ("trackId", i8),
    ("formula", u8),
    ("sessionTimeLeft", u16),
    ("sessionDuration", u16),
    ("pitSpeedLimit", u8),
    ("gamePaused", u8),
    ("isSpectating", u8),
    ("spectatorCarIndex", u8),
    ("sliProNativeSupport", u8),
    ("numMarshalZones", u8),
    ("marshalZones", MARSHAL_ZONE * 21),
    ("safetyCarStatus", u8),
    ("networkGame", u8),
    ("numWeatherForecastSamples", u8),
)
_TELEMETRY_HEAD = (
    ("speed", u16),
    ("throttle", f32),
    ("steer", f32),
    ("brake", f32),
    ("clutch", u8),
    ("gear", i8),
    ("engineRPM", u16),
    ("drs", u8),
    ("revLightsPercent", u8),
)
_TELEMETRY_TAIL = (
    ("brakesTemperature", u16 * 4),
    ("tyresSurfaceTemperature", u8 * 4),
    ("tyresInnerTemperature", u8 * 4),
    ("engineTemperature", u16),
    ("tyresPressure", f32 * 4),
    ("surfaceType", u8 * 4),
)
_STATUS_HEAD = (
    ("tractionControl", u8),
    ("antiLockBrakes", u8),
    ("fuelMix", u8),
    ("frontBrakeBias", u8),
    ("pitLimiterStatus", u8),
    ("fuelInTank", f32),
    ("fuelCapacity", f32),
    ("fuelRemainingLaps", f32),
    ("maxRPM", u16),
    ("idleRPM", u16),
    ("maxGears", u8),
    ("drsAllowed", u8),
    ("drsActivationDistance", u16),
)
_ERS = (
    ("ersStoreEnergy", f32),
    ("ersDeployMode", u8),
    ("ersHarvestedThisLapMGUK", f32),
    ("ersHarvestedThisLapMGUH", f32),
    ("ersDeployedThisLap", f32),
)

# --- format 2020 -------------------------------------------------------------

TELEMETRY_2020 = packed(*_TELEMETRY_HEAD, *_TELEMETRY_TAIL)
STATUS_2020 = packed(
    *_STATUS_HEAD,
    ("tyresWear", u8 * 4),
    ("actualTyreCompound", u8),
    ("visualTyreCompound", u8),
    ("tyresAgeLaps", u8),
    ("tyresDamage", u8 * 4),
    ("frontLeftWingDamage", u8),
    ("frontRightWingDamage", u8),
    ("rearWingDamage", u8),
    ("drsFault", u8),
    ("engineDamage", u8),
    ("gearBoxDamage", u8),
    ("vehicleFiaFlags", i8),
    *_ERS,
)
LAP_2020 = packed(
    ("lastLapTime", f32),
    ("currentLapTime", f32),
    ("sector1TimeInMS", u16),
    ("sector2TimeInMS", u16),
    ("bestLapTime", f32),
    ("bestLapNum", u8),
    ("bestLapSector1TimeInMS", u16),
    ("bestLapSector2TimeInMS", u16),
    ("bestLapSector3TimeInMS", u16),
    ("bestOverallSector1TimeInMS", u16),
    ("bestOverallSector1LapNum", u8),
    ("bestOverallSector2TimeInMS", u16),
    ("bestOverallSector2LapNum", u8),
    ("bestOverallSector3TimeInMS", u16),
    ("bestOverallSector3LapNum", u8),
    ("lapDistance", f32),
    ("totalDistance", f32),
    ("safetyCarDelta", f32),
    ("carPosition", u8),
    ("currentLapNum", u8),
    ("pitStatus", u8),
    ("sector", u8),
    ("currentLapInvalid", u8),
    ("penalties", u8),
    ("gridPosition", u8),
    ("driverStatus", u8),
    ("resultStatus", u8),
)
PARTICIPANT_2020 = packed(
    ("aiControlled", u8),
    ("driverId", u8),
    ("teamId", u8),
    ("raceNumber", u8),
    ("nationality", u8),
    ("name", ctypes.c_char * 48),
    ("yourTelemetry", u8),
)
FORECAST_2020 = packed(
    ("sessionType", u8),
    ("timeOffset", u8),
    ("weather", u8),
    ("trackTemperature", i8),
    ("airTemperature", i8),
)

# --- formats 2021 and 2022 ---------------------------------------------------

TELEMETRY_2021 = packed(*_TELEMETRY_HEAD, ("revLightsBitValue", u16), *_TELEMETRY_TAIL)
STATUS_2021 = packed(
    *_STATUS_HEAD,
    ("actualTyreCompound", u8),
    ("visualTyreCompound", u8),
    ("tyresAgeLaps", u8),
    ("vehicleFiaFlags", i8),
    *_ERS,
    ("networkPaused", u8),
)
LAP_2021 = packed(
    ("lastLapTimeInMS", u32),
    ("currentLapTimeInMS", u32),
    ("sector1TimeInMS", u16),
    ("sector2TimeInMS", u16),
    ("lapDistance", f32),
    ("totalDistance", f32),
    ("safetyCarDelta", f32),
    ("carPosition", u8),
    ("currentLapNum", u8),
    ("pitStatus", u8),
    ("numPitStops", u8),
    ("sector", u8),
    ("currentLapInvalid", u8),
    ("penalties", u8),
    ("warnings", u8),
    ("numUnservedDriveThroughPens", u8),
    ("numUnservedStopGoPens", u8),
    ("gridPosition", u8),
    ("driverStatus", u8),
    ("resultStatus", u8),
    ("pitLaneTimerActive", u8),
    ("pitLaneTimeInLaneInMS", u16),
    ("pitStopTimerInMS", u16),
    ("pitStopShouldServePen", u8),
)
PARTICIPANT_2021 = packed(
    ("aiControlled", u8),
    ("driverId", u8),
    ("networkId", u8),
    ("teamId", u8),
    ("myTeam", u8),
    ("raceNumber", u8),
    ("nationality", u8),
    ("name", ctypes.c_char * 48),
    ("yourTelemetry", u8),
)
FORECAST_2021 = packed(
    ("sessionType", u8),
    ("timeOffset", u8),
    ("weather", u8),
    ("trackTemperature", i8),
    ("trackTemperatureChange", i8),
    ("airTemperature", i8),
    ("airTemperatureChange", i8),
    ("rainPercentage", u8),
)
_SESSION_2021_TAIL = (
    ("weatherForecastSamples", FORECAST_2021 * 56),
    ("forecastAccuracy", u8),
    ("aiDifficulty", u8),
    ("seasonLinkIdentifier", u32),
    ("weekendLinkIdentifier", u32),
    ("sessionLinkIdentifier", u32),
    ("pitStopWindowIdealLap", u8),
    ("pitStopWindowLatestLap", u8),
    ("pitStopRejoinPosition", u8),
    ("steeringAssist", u8),
    ("brakingAssist", u8),
    ("gearboxAssist", u8),
    ("pitAssist", u8),
    ("pitReleaseAssist", u8),
    ("ERSAssist", u8),
    ("DRSAssist", u8),
    ("dynamicRacingLine", u8),
    ("dynamicRacingLineType", u8),
)
LAP_HISTORY = packed(
    ("lapTimeInMS", u32),
    ("sector1TimeInMS", u16),
    ("sector2TimeInMS", u16),
    ("sector3TimeInMS", u16),
    ("lapValidBitFlags", u8),
)
TYRE_STINT = packed(("endLap", u8), ("tyreActualCompound", u8), ("tyreVisualCompound", u8))
SESSION_HISTORY = packed(
    ("header", HEADER),
    ("carIdx", u8),
    ("numLaps", u8),
    ("numTyreStints", u8),
    ("bestLapTimeLapNum", u8),
    ("bestSector1LapNum", u8),
    ("bestSector2LapNum", u8),
    ("bestSector3LapNum", u8),
    ("lapHistoryData", LAP_HISTORY * 100),
    ("tyreStintsHistoryData", TYRE_STINT * 8),
)

# --- the packets, by format ----------------------------------------------------

PACKETS: dict[int, dict[str, Any]] = {
    2020: {
        "telemetry": packed(
            ("header", HEADER),
            ("carTelemetryData", TELEMETRY_2020 * CARS),
            ("buttonStatus", u32),
            ("mfdPanelIndex", u8),
            ("mfdPanelIndexSecondaryPlayer", u8),
            ("suggestedGear", i8),
        ),
        "status": packed(("header", HEADER), ("carStatusData", STATUS_2020 * CARS)),
        "laps": packed(("header", HEADER), ("lapData", LAP_2020 * CARS)),
        "participants": packed(
            ("header", HEADER), ("numActiveCars", u8), ("participants", PARTICIPANT_2020 * CARS)
        ),
        "session": packed(*_SESSION_HEAD, ("weatherForecastSamples", FORECAST_2020 * 20)),
    },
    2021: {
        "telemetry": packed(
            ("header", HEADER),
            ("carTelemetryData", TELEMETRY_2021 * CARS),
            ("mfdPanelIndex", u8),
            ("mfdPanelIndexSecondaryPlayer", u8),
            ("suggestedGear", i8),
        ),
        "status": packed(("header", HEADER), ("carStatusData", STATUS_2021 * CARS)),
        "laps": packed(("header", HEADER), ("lapData", LAP_2021 * CARS)),
        "participants": packed(
            ("header", HEADER), ("numActiveCars", u8), ("participants", PARTICIPANT_2021 * CARS)
        ),
        "session": packed(*_SESSION_HEAD, *_SESSION_2021_TAIL),
        "history": SESSION_HISTORY,
    },
}
PACKETS[2022] = {
    **PACKETS[2021],
    "laps": packed(
        ("header", HEADER),
        ("lapData", LAP_2021 * CARS),
        ("timeTrialPBCarIdx", u8),
        ("timeTrialRivalCarIdx", u8),
    ),
    "session": packed(
        *_SESSION_HEAD,
        *_SESSION_2021_TAIL,
        ("gameMode", u8),
        ("ruleSet", u8),
        ("timeOfDay", u32),
        ("sessionLength", u8),
    ),
}
# The lengths EA's texts give: for 2020 as f1-2020-telemetry's docstrings
# quote them; for 2021 the header and record sizes of poulpix/TelemetryKit
# @ 9ac51b62fe5211fea73d8981cdac0665c163c90f (Sources/TelemetryKit/Sources);
# for 2022 as EA's F1 22 text states them.
SIZES = {
    2020: {"telemetry": 1307, "status": 1344, "laps": 1190, "participants": 1213, "session": 251},
    2021: {
        "telemetry": 1347,
        "status": 1058,
        "laps": 970,
        "participants": 1257,
        "session": 625,
        "history": 1155,
    },
    2022: {
        "telemetry": 1347,
        "status": 1058,
        "laps": 972,
        "participants": 1257,
        "session": 632,
        "history": 1155,
    },
}

"""F1 2020, F1 2021 and F1 22 datagrams (packet formats 2020, 2021, 2022),
laid out by the readers' structures in game_structs_f1old.py. Every other
car's record says something else, so a decoder reading the wrong car shows."""

from __future__ import annotations

from typing import Any

from game_structs import page
from game_structs_f1old import CARS, PACKETS

from kvdash_dashboard.telemetry import GameState, Light, Telemetry

F1_OLD_UID = 0x0102030405060708
_IDS = {"session": 1, "laps": 2, "participants": 4, "telemetry": 6, "status": 7, "history": 11}
_ARRAYS = {
    "telemetry": "carTelemetryData",
    "status": "carStatusData",
    "laps": "lapData",
    "participants": "participants",
}


def _header(season: int, kind: str, player: int, uid: int) -> dict[str, Any]:
    return {
        "header.packetFormat": season,
        "header.gameMajorVersion": 1,
        "header.gameMinorVersion": 16,
        "header.packetVersion": 1,
        "header.packetId": _IDS[kind],
        "header.sessionUID": uid,
        "header.sessionTime": 321.5,
        "header.frameIdentifier": 9000,
        "header.playerCarIndex": player,
        "header.secondaryPlayerCarIndex": 255,
    }


def _car(season: int, t: Telemetry, rival: bool) -> dict[str, dict[str, Any]]:
    """The telemetry, status, lap and participant fields of one car: ``t``
    itself, or (``rival``) a car unlike it in every field read."""
    lights = t.lights
    fuel_capacity = t.fuel_capacity or (110.0 if t.fuel is not None else 0.0)
    fuel = t.fuel_amount if t.fuel_amount is not None else fuel_capacity * (t.fuel or 0.0)
    flag = 2 if lights & Light.BLUE else 3 if lights & Light.YELLOW else 1
    tc = t.tc_level if t.tc_level is not None else 0 if lights & Light.TC else 2
    abs_ = t.abs_level if t.abs_level is not None else 0 if lights & Light.ABS else 1
    telemetry: dict[str, Any] = {
        "speed": round(t.speed * 3.6),
        "throttle": t.throttle if t.throttle is not None else 0.0,
        "steer": -0.1,
        "brake": 0.0,
        "clutch": 0,
        "gear": t.gear,
        "engineRPM": round(t.rpm),
        "drs": 1 if lights & Light.DRS else 0,
        "revLightsPercent": round(100 * (t.rev_lights or 0.0)),
        "engineTemperature": 105,
    }
    status: dict[str, Any] = {
        "tractionControl": tc,
        "antiLockBrakes": abs_,
        "fuelMix": t.engine_map if t.engine_map is not None else 1,
        "frontBrakeBias": round(t.brake_bias or 56),
        "pitLimiterStatus": 1 if lights & Light.PIT_LIMITER else 0,
        "fuelInTank": fuel,
        "fuelCapacity": fuel_capacity,
        "fuelRemainingLaps": 9.5,
        "maxRPM": round(t.max_rpm or 0),
        "idleRPM": 4000,
        "maxGears": 8,
        "drsAllowed": 1 if lights & Light.DRS_AVAILABLE else 0,
        "vehicleFiaFlags": flag,
        "ersStoreEnergy": 2.5e6,
    }
    laps: dict[str, Any] = {
        "lapDistance": t.lap_distance if t.lap_distance is not None else -30.0,
        "totalDistance": 9000.0,
        "carPosition": t.position or 0,
        "currentLapNum": t.lap or 0,
        "pitStatus": 2 if t.in_pit else 0,
        "sector": 1,
        "currentLapInvalid": 0 if t.lap_valid in (True, None) else 1,
        "resultStatus": 2,
    }
    if season == 2020:  # seconds, and the best lap among them
        laps |= {
            "lastLapTime": t.last_lap or 0.0,
            "currentLapTime": t.lap_time or 0.0,
            "bestLapTime": t.best_lap or 0.0,
            "bestLapNum": 1 if t.best_lap else 0,
        }
    else:
        laps |= {
            "lastLapTimeInMS": round(1000 * (t.last_lap or 0)),
            "currentLapTimeInMS": round(1000 * (t.lap_time or 0)),
        }
    team = int(t.car.removeprefix("team-")) if t.car else 255
    participant: dict[str, Any] = {
        "aiControlled": 0,
        "driverId": 9,
        "teamId": team,
        "name": "PLAYER",
    }
    if season == 2020:  # no paused byte, no rev-light bits, no network id yet
        status |= {"tyresWear": (3, 3, 4, 4)}
    else:
        status |= {"networkPaused": 1 if t.state == GameState.PAUSED else 0}
        telemetry |= {"revLightsBitValue": (1 << round(15 * (t.rev_lights or 0.0))) - 1}
        participant |= {"networkId": 255, "myTeam": 0}
    if rival:
        telemetry |= {
            "speed": telemetry["speed"] + 50,
            "gear": 7 if t.gear != 7 else 6,
            "engineRPM": telemetry["engineRPM"] + 1234,
            "drs": 1 - telemetry["drs"],
            "revLightsPercent": (telemetry["revLightsPercent"] + 37) % 101,
            "throttle": 0.25,
        }
        status |= {
            "tractionControl": 1,
            "antiLockBrakes": 1 - min(abs_, 1),
            "fuelMix": 3,
            "frontBrakeBias": 50,
            "pitLimiterStatus": 1 - status["pitLimiterStatus"],
            "fuelInTank": 3.0,
            "fuelCapacity": 200.0,
            "maxRPM": status["maxRPM"] + 777,
            "drsAllowed": 1 - status["drsAllowed"],
            "vehicleFiaFlags": 3 if flag == 2 else 2,
        }
        if season != 2020:
            status["networkPaused"] = 1 - status["networkPaused"]
        laps |= {
            "lapDistance": laps["lapDistance"] + 333.0,
            "carPosition": (t.position or 0) % 20 + 2,
            "currentLapNum": (t.lap or 0) + 3,
            "pitStatus": 2 - laps["pitStatus"],
            "currentLapInvalid": 1 - laps["currentLapInvalid"],
        }
        if season == 2020:
            laps |= {"lastLapTime": 99.5, "currentLapTime": 11.25, "bestLapTime": 98.0}
        else:
            laps |= {"lastLapTimeInMS": 99_500, "currentLapTimeInMS": 11_250}
        participant |= {"teamId": 7 if team != 7 else 8, "name": "RIVAL"}
    return {"telemetry": telemetry, "status": status, "laps": laps, "participants": participant}


def _history(season: int, player: int, uid: int, car: int, laps_ms: list[int]) -> bytes:
    values = _header(season, "history", player, uid) | {"carIdx": car, "numLaps": len(laps_ms)}
    if laps_ms:
        values["bestLapTimeLapNum"] = laps_ms.index(min(laps_ms)) + 1
    for n, ms in enumerate(laps_ms):
        values[f"lapHistoryData.{n}.lapTimeInMS"] = ms
        values[f"lapHistoryData.{n}.lapValidBitFlags"] = 15
    return page(PACKETS[season]["history"], values)


def f1_old_packets(
    t: Telemetry, season: int = 2022, player: int = 5, uid: int = F1_OLD_UID
) -> list[bytes]:
    """Car telemetry, lap data, car status, participants and session; from
    2021 also the session history of the player's car and of a rival's (2020
    sends the best lap in lap data). Fuel: t.fuel_amount and t.fuel_capacity
    (kg) where set, else t.fuel of a 110 kg tank; t.car is "team-<id>"; t.track
    the track id (digits)."""
    layouts = PACKETS[season]
    values = {kind: _header(season, kind, player, uid) for kind in _ARRAYS}
    for car in range(CARS):
        for kind, fields in _car(season, t, rival=car != player).items():
            for name, value in fields.items():
                values[kind][f"{_ARRAYS[kind]}.{car}.{name}"] = value
    values["telemetry"] |= {"mfdPanelIndex": 255, "mfdPanelIndexSecondaryPlayer": 255}
    values["participants"]["numActiveCars"] = 20
    out = [page(layouts[kind], values[kind]) for kind in ("telemetry", "laps", "status")]
    if season != 2020:
        best = round(1000 * t.best_lap) if t.best_lap is not None else None
        mine = [best + 1500, best] if best is not None else []
        out.append(_history(season, player, uid, player, mine))
        out.append(_history(season, player, uid, (player + 1) % CARS, [61_000, 60_000, 59_000]))
    out.append(page(layouts["participants"], values["participants"]))
    session = _header(season, "session", player, uid) | {
        "weather": 1,
        "trackTemperature": 30,
        "airTemperature": 22,
        "totalLaps": 5,
        "trackLength": 5303,
        "sessionType": 10,
        "trackId": int(t.track) if t.track else -1,
        "formula": 0,
        "pitSpeedLimit": 80,
    }
    out.append(page(layouts["session"], session))
    return out

"""Datagrams of the UDP games, built from the published layouts.

Each builder writes its fields at explicit offsets (Forza's through the
game's documented structure, game_structs.py), independently of the
decoders' own structs, so a decoder reading a wrong offset is caught. Bytes a
decoder has no business reading hold noise or plausible values for the same
reason.
`assert_sane` holds what any decoded Telemetry must satisfy."""

from __future__ import annotations

import math
import struct

from game_structs import FORZA, page

from kvdash_dashboard.sources import f1
from kvdash_dashboard.telemetry import GameState, Light, Telemetry


def assert_sane(t: Telemetry) -> None:
    """What every decoder promises about the numbers it hands out."""
    for name in ("rpm", "speed", "max_rpm", "rev_lights", "fuel", "lap_time", "last_lap"):
        value = getattr(t, name)
        assert value is None or math.isfinite(value), (name, value)
    assert t.best_lap is None or math.isfinite(t.best_lap)
    assert t.delta is None or math.isfinite(t.delta)
    assert t.fuel is None or 0.0 <= t.fuel <= 1.0
    assert t.rev_lights is None or 0.0 <= t.rev_lights <= 1.0
    assert -1 <= t.gear <= 10
    assert t.lap is None or t.lap >= 1
    assert t.position is None or t.position >= 1
    for name in ("fuel_amount", "fuel_capacity", "lap_distance", "distance", "brake_bias"):
        value = getattr(t, name)
        assert value is None or (math.isfinite(value) and value >= 0), (name, value)
    assert t.lap_fraction is None or 0.0 <= t.lap_fraction <= 1.0


def _put(buf: bytearray, fmt: str, offset: int, *values: object) -> None:
    struct.pack_into("<" + fmt, buf, offset, *values)


# -- Forza Data Out ---------------------------------------------------------

_FORZA_LAYOUTS = {"sled": "sled", "fm7": "fm7", "fm2023": "fm2023"} | dict.fromkeys(
    ("fh4", "fh5", "fh6"), "horizon"
)


def forza_packets(t: Telemetry, variant: str = "fh5") -> list[bytes]:
    """One Data Out datagram: variant "sled", "fm7", "fh4"/"fh5"/"fh6" or
    "fm2023", laid out by the game's documented structure (DistanceTraveled
    and TrackOrdinal also as in geeooff/forza-data-web, Core/ForzaCarDashDataStruct.cs
    @ 1489fccdd0ffd898aeee955f9879ca450cb923f3 and Core/ForzaMotorsportExtrasDataStruct.cs
    @ 18341b9b5c4c62eceaac6d177c1bbb12836a17e8). The fields a decoder has no
    business reading hold plausible values; t.car and t.track are the car's
    and track's ordinals (digits; the track only in "fm2023")."""
    layout = FORZA[_FORZA_LAYOUTS[variant]]
    race_on = 0 if t.state in (GameState.PAUSED, GameState.MENU) else 1
    values: dict[str, object] = {
        "IsRaceOn": race_on,
        "TimestampMS": 123456,
        "EngineMaxRpm": t.max_rpm or 0.0,
        "EngineIdleRpm": 800.0,
        "CurrentEngineRpm": t.rpm,
        "AccelerationZ": 3.5,
        "VelocityZ": t.speed,  # straight ahead
        "CarOrdinal": int(t.car or 0),
        "CarClass": 5,
        "CarPerformanceIndex": 801,
        "DrivetrainType": 2,
        "NumCylinders": 8,
    }
    if variant != "sled":
        values |= {
            "Speed": t.speed,
            "Power": 301_000.0,
            "Torque": 512.0,
            "Boost": 14.5,
            "Fuel": t.fuel if t.fuel is not None else 0.0,
            "DistanceTraveled": t.distance if t.distance is not None else -25.0,
            "BestLap": t.best_lap or 0.0,
            "LastLap": t.last_lap or 0.0,
            "CurrentLap": t.lap_time or 0.0,
            "CurrentRaceTime": 250.0,
            "LapNumber": max(0, (t.lap or 1) - 1),  # laps completed
            "RacePosition": t.position or 0,
            "Accel": round(255 * (t.throttle or 0.0)),
            "Brake": 17,
            "Clutch": 9,
            "HandBrake": 3,
            "Gear": {-1: 0, 0: 11}.get(t.gear, t.gear),
            "Steer": -12,
        }
    if variant == "fm2023":
        values |= {"TireWear": (0.1, 0.1, 0.2, 0.2), "TrackOrdinal": int(t.track or 0)}
    return [page(layout, values)]


# -- EA SPORTS F1 23 / 24 / 25 ----------------------------------------------
# Formats 2023 to 2025 follow EA's published F1 23 and F1 25 layouts (the F1 23
# structs as in hotlaps/f1-game-udp-specs); format 2026 (F1 25's 2026 Season
# Pack) follows EA's "Data Output from F1 25 (2026 season)" as reproduced in
# dAr2q/f1-26-udp README.md (commit 8d35e9f), each offset summed from its structs.
# The lap distance, pit status, lap-invalid flag, fuel mix, brake bias and the
# session's track id are placed by the field order of hotlaps/f1-game-udp-specs
# @ 8faba437b51a54edc0fa12db69a83de1b56a0bf1 (2023/LapData.h, CarStatusData.h,
# PacketSessionData.h), of codegefluester/GamesDat @ 48d731351fc71585d512e4c986497ba9c38de306
# for F1 24 and F1 25 (GamesDat/Telemetry/Sources/Formula1/F12024/LapData.cs,
# PacketSessionData.cs; F12025/LapData.cs, SessionData.cs; the CarStatusData.cs of F12024
# @ 2d0610e2197bb1f344dc97807179e4c7abe069bf and F12025 @ 1b5fc8529badfa2f0d51b68341e9560642b7f19c)
# and of
# dAr2q/f1-26-udp @ 3a24fd51d9ea8a4174ac4948ba7b9fbb31c14f00 (src/PacketLapData.h,
# PacketCarStatusData.h, PacketSessionData.h) for 2026.

F1_SESSION_UID = 0x1122334455667788


def _f1_cars(season: int) -> int:
    return 24 if season >= 2026 else 22


def _f1_header(season: int, packet_id: int, size: int, player: int, uid: int) -> bytearray:
    buf = bytearray(size)
    _put(buf, "H", 0, season)
    _put(buf, "BBBB", 2, 25 if season >= 2026 else season - 2000, 1, 2, 1)  # year, version
    _put(buf, "B", 6, packet_id)
    _put(buf, "Q", 7, uid)
    _put(buf, "fII", 15, 123.5, 7400, 7400)  # session time, frame, overall frame
    _put(buf, "BB", 27, player, 255)
    return buf


def _f1_telemetry(
    buf: bytearray,
    season: int,
    car: int,
    speed: int,
    throttle: float,
    gear: int,
    rpm: int,
    drs: int,
    percent: int,
) -> None:
    # 2026: the engine temperature became a u8, so the record is 59 bytes.
    at = 29 + (59 if season >= 2026 else 60) * car
    _put(buf, "H", at + 0, speed)
    _put(buf, "fff", at + 2, throttle, 0.1, 0.0)  # throttle, steer, brake
    _put(buf, "b", at + 15, gear)
    _put(buf, "H", at + 16, rpm)
    _put(buf, "B", at + 18, drs)
    _put(buf, "B", at + 19, percent)
    _put(buf, "H", at + 20, (1 << round(15 * percent / 100)) - 1)
    if season >= 2026:
        _put(buf, "B4f", at + 38, 110, 23.0, 23.0, 22.5, 22.5)  # engine °C, tyre pressures
    else:
        _put(buf, "H4f", at + 38, 110, 23.0, 23.0, 22.5, 22.5)


def _f1_status(
    buf: bytearray,
    season: int,
    car: int,
    *,
    tc: int,
    abs_: int,
    limiter: int,
    fuel: float,
    capacity: float,
    max_rpm: int,
    drs_allowed: int,
    flag: int,
    paused: int,
    mix: int = 1,
    bias: int = 57,
) -> None:
    at = 29 + (59 if season >= 2026 else 55) * car
    _put(buf, "BB", at + 0, tc, abs_)
    _put(buf, "BB", at + 2, mix, bias)  # fuel mix, front brake bias %
    _put(buf, "B", at + 4, limiter)
    _put(buf, "fff", at + 5, fuel, capacity, 12.3)  # and laps of fuel left
    _put(buf, "HHB", at + 17, max_rpm, 4000, 8)  # and idle rpm, gears
    _put(buf, "BH", at + 22, drs_allowed, 0)
    _put(buf, "b", at + 28, flag)
    _put(buf, "fffB", at + 29, 5.0e5, 1.2e5, 3.0e6, 1)  # ICE, MGU-K, ERS store, mode
    if season >= 2026:  # the ERS harvest limit comes in before what is deployed
        _put(buf, "ffffB", at + 42, 1.0e5, 2.0e5, 8.5e6, 4.0e6, paused)
    else:
        _put(buf, "fffB", at + 42, 1.0e5, 2.0e5, 4.0e6, paused)


def _f1_lap(
    buf: bytearray,
    season: int,
    car: int,
    last_ms: int,
    current_ms: int,
    position: int,
    lap: int,
    distance: float = 1200.0,
    pit: int = 0,
    invalid: int = 0,
) -> None:
    # F1 24 added two minute parts to the deltas: everything after moves on by 2.
    size, shift = (50, 0) if season == 2023 else (57, 2)
    at = 29 + size * car
    _put(buf, "II", at + 0, last_ms, current_ms)
    _put(buf, "ff", at + 18 + shift, distance, 5000.0)  # lap and total distance
    _put(buf, "B", at + 30 + shift, position)
    _put(buf, "B", at + 31 + shift, lap)
    _put(buf, "B", at + 32 + shift, pit)
    _put(buf, "B", at + 33 + shift, 1)  # pit stops
    _put(buf, "BB", at + 34 + shift, 2, invalid)  # sector, current lap invalid
    _put(buf, "BB", at + 42 + shift, 4, 2)  # driver status, result status
    if season != 2023:
        _put(buf, "fB", at + 52, 310.5, 255)  # speed trap


def _f1_history(
    season: int, player: int, car: int, uid: int, laps_ms: list[int], best: int
) -> bytes:
    buf = _f1_header(season, 11, 1460, player, uid)
    _put(buf, "BBBB", 29, car, len(laps_ms), 1, best)
    for n, ms in enumerate(laps_ms):
        _put(buf, "I", 36 + 14 * n, ms)
    return bytes(buf)


def _f1_participants(season: int, player: int, uid: int, teams: list[int]) -> bytes:
    """Names are 48 bytes in F1 23 and 24, 32 from F1 25; F1 24 added a u16
    tech level and F1 25 livery colours; 2026 widened the ids to u16."""
    size = {2023: 58, 2024: 60, 2025: 57, 2026: 60}[season]
    buf = _f1_header(season, 4, 30 + size * len(teams), player, uid)
    _put(buf, "B", 29, len(teams))
    for car, team in enumerate(teams):
        at = 30 + size * car
        if season >= 2026:
            _put(buf, "BHHHBBB", at, 1, 60 + car, 0, team, 0, 10 + car, 3)
            name_at = at + 10
        else:
            _put(buf, "BBBBBBB", at, 1, 60 + car, 0, team, 0, 10 + car, 3)
            name_at = at + 7
        buf[name_at : name_at + 6] = b"DRIVER"
    return bytes(buf)


def _f1_session(season: int, player: int, uid: int, track: int) -> bytes:
    """The session packet: weather, temperatures, laps, length, type, track id."""
    size = {2023: 644, 2024: 753, 2025: 753, 2026: 926}[season]
    buf = _f1_header(season, 1, size, player, uid)
    _put(buf, "BbbBHBbB", 29, 2, 31, 22, 50, 5412, 10, track, 0)
    return bytes(buf)


def _f1_aero(season: int, player: int, uid: int, lights: list[Light]) -> bytes:
    """Car telemetry 2 (2026): active aero straight mode stands for DRS open."""
    buf = _f1_header(season, 16, 29 + 10 * len(lights), player, uid)
    for car, light in enumerate(lights):
        straight = 1 if light & Light.DRS else 0
        available = 1 if light & Light.DRS_AVAILABLE else 0
        _put(buf, "BBHBBHBB", 29 + 10 * car, straight, available, 0, 1, 0, 0, 1, 0)
    return bytes(buf)


def f1_packets(
    t: Telemetry, season: int = 2024, player: int = 5, uid: int = F1_SESSION_UID
) -> list[bytes]:
    """Car telemetry, lap data, car status, session history (the player's and
    a rival's), participants and the session for the player's car; from format
    2026 also car telemetry 2, which carries DRS. Every other car's record
    says something else, so reading the wrong car shows. Fuel: t.fuel_amount
    and t.fuel_capacity (kg) where set, else t.fuel of a 110 kg tank."""
    cars = _f1_cars(season)
    speed = round(t.speed * 3.6)
    rpm = round(t.rpm)
    max_rpm = round(t.max_rpm or 0)
    percent = round(100 * (t.rev_lights or 0.0))
    throttle = t.throttle if t.throttle is not None else 0.0
    drs = 1 if t.lights & Light.DRS and season < 2026 else 0
    drs_allowed = 1 if t.lights & Light.DRS_AVAILABLE and season < 2026 else 0
    abs_ = t.abs_level if t.abs_level is not None else 0 if t.lights & Light.ABS else 1
    tc = t.tc_level if t.tc_level is not None else 0 if t.lights & Light.TC else 2
    limiter = 1 if t.lights & Light.PIT_LIMITER else 0
    paused = 1 if t.state == GameState.PAUSED else 0
    flag = 2 if t.lights & Light.BLUE else 3 if t.lights & Light.YELLOW else 1
    position, lap = t.position or 0, t.lap or 0
    no_team = 65535 if season >= 2026 else 255
    team = int(t.car.removeprefix("team-")) if t.car else no_team
    capacity = t.fuel_capacity or (110.0 if t.fuel is not None else 0.0)
    fuel = t.fuel_amount if t.fuel_amount is not None else capacity * (t.fuel or 0.0)
    distance = t.lap_distance if t.lap_distance is not None else -12.5  # before the line
    pit, invalid = (2 if t.in_pit else 0), (0 if t.lap_valid in (True, None) else 1)
    lap_size = 29 + cars * (50 if season == 2023 else 57) + 2
    telemetry_size = 29 + cars * (59 if season >= 2026 else 60) + 3
    status_size = 29 + cars * (59 if season >= 2026 else 55)

    telemetry = _f1_header(season, 6, telemetry_size, player, uid)
    status = _f1_header(season, 7, status_size, player, uid)
    laps = _f1_header(season, 2, lap_size, player, uid)
    for car in range(cars):
        if car == player:
            _f1_telemetry(telemetry, season, car, speed, throttle, t.gear, rpm, drs, percent)
            _f1_status(
                status,
                season,
                car,
                tc=tc,
                abs_=abs_,
                limiter=limiter,
                fuel=fuel,
                capacity=capacity,
                max_rpm=max_rpm,
                drs_allowed=drs_allowed,
                flag=flag,
                paused=paused,
                mix=t.engine_map if t.engine_map is not None else 1,
                bias=round(t.brake_bias or 57),
            )
            last_ms, current_ms = round(1000 * (t.last_lap or 0)), round(1000 * (t.lap_time or 0))
            _f1_lap(laps, season, car, last_ms, current_ms, position, lap, distance, pit, invalid)
        else:
            _f1_telemetry(
                telemetry,
                season,
                car,
                speed + 40 + car,
                0.25,
                7 if t.gear != 7 else 6,
                rpm + 1111 + car,
                1 - drs,
                (percent + 37) % 101,
            )
            _f1_status(
                status,
                season,
                car,
                tc=1,
                abs_=1 - min(abs_, 1),
                limiter=1 - limiter,
                fuel=3.0,
                capacity=200.0,
                max_rpm=max_rpm + 777,
                drs_allowed=1 - drs_allowed,
                flag=3 if flag == 2 else 2,
                paused=1 - paused,
                mix=3,
                bias=50,
            )
            _f1_lap(
                laps,
                season,
                car,
                99_000 + car,
                11_000 + car,
                position % 20 + 2,
                lap + 3,
                distance + 333.0,
                2 - pit,
                1 - invalid,
            )
    _put(telemetry, "BBb", telemetry_size - 3, 255, 255, 0)  # MFD panels, suggested gear
    _put(laps, "BB", lap_size - 2, 255, 255)  # time-trial car indices

    if t.best_lap is not None:
        best_ms = round(1000 * t.best_lap)
        mine = _f1_history(season, player, player, uid, [best_ms + 1500, best_ms], 2)
    else:
        mine = _f1_history(season, player, player, uid, [], 0)
    # The game cycles through every car's history: a rival's must not count.
    rival = (player + 1) % cars
    theirs = _f1_history(season, player, rival, uid, [61_000, 60_000, 59_000], 3)
    teams = [team if car == player else 100 + car for car in range(cars)]
    out = [bytes(telemetry), bytes(laps), bytes(status), mine, theirs]
    out.append(_f1_participants(season, player, uid, teams))
    out.append(_f1_session(season, player, uid, int(t.track) if t.track else -1))
    if season >= 2026:
        mine_aero = t.lights & (Light.DRS | Light.DRS_AVAILABLE)
        others = ~mine_aero & (Light.DRS | Light.DRS_AVAILABLE)
        aero = [mine_aero if car == player else others for car in range(cars)]
        out.append(_f1_aero(season, player, uid, aero))
    return out


# -- Codemasters "extradata" ------------------------------------------------

_RPM_PER_RAD_S = 60.0 / (2.0 * math.pi)
# How each game sends reverse; GRID's was not verified and is assumed -1.
_CODEMASTERS_REVERSE = {"dirt-rally": 10.0, "dirt-rally-2": -1.0, "dirt-4": 10.0, "grid": -1.0}
_CODEMASTERS_FLOATS = {1: 38, 2: 63, 3: 66}


def codemasters_packets(
    t: Telemetry, extradata: int = 3, game: str = "dirt-rally-2", track_length: float = 3500.0
) -> list[bytes]:
    """One legacy datagram; game is "dirt-rally", "dirt-rally-2", "dirt-4" or
    "grid" (the reverse-gear encoding). The lap index the format carries
    cannot say "no lap": t.lap None is sent as the first lap. Fuel: t.fuel_amount
    and t.fuel_capacity where set, else t.fuel of a 60-litre tank. The lap
    distance, TC, ABS, fuel and in-pit indices follow the field list of
    ErlerPhilipp/dr2_logger, source/dirt_rally/udp_data.py @
    2b28e10c2a7e077d43f651985af0e98b9cdd002b."""
    if extradata == 0:
        return [struct.pack("<I", 250_000) + bytes(60)]
    f = [7000.0 + i for i in range(66)]  # noise where the decoder must not look
    f[0] = 250.0
    f[1] = t.lap_time or 0.0
    f[2] = t.lap_distance if t.lap_distance is not None else -30.0  # before the line
    f[7] = t.speed
    f[29] = t.throttle or 0.0
    f[33] = _CODEMASTERS_REVERSE[game] if t.gear == -1 else float(t.gear)
    f[36] = float((t.lap or 1) - 1)
    f[37] = t.rpm / _RPM_PER_RAD_S
    f[39] = float(t.position or 0)
    f[43] = float(t.tc_level or 0)
    f[44] = float(t.abs_level or 0)
    capacity = t.fuel_capacity or (60.0 if t.fuel is not None else 0.0)
    f[45] = t.fuel_amount if t.fuel_amount is not None else capacity * (t.fuel or 0.0)
    f[46] = capacity
    f[47] = 2.0 if t.in_pit else 0.0
    f[59] = float(max(0, (t.lap or 1) - 1))
    f[60] = 5.0
    f[61] = track_length
    f[62] = t.last_lap or 0.0
    f[63] = (t.max_rpm or 0.0) / _RPM_PER_RAD_S
    f[64] = 800.0 / _RPM_PER_RAD_S
    f[65] = 6.0
    count = _CODEMASTERS_FLOATS[extradata]
    return [struct.pack(f"<{count}f", *f[:count])]


# -- Gran Turismo 7 -----------------------------------------------------------

_GT7_VARIANTS = {"A": (296, 0xDEADBEAF), "B": (316, 0xDEADBEEF), "~": (344, 0x55FABB4F)}


def gt7_encrypt(plain: bytes, variant: str = "A", seed: int = 0x11223344) -> bytes:
    """What the console sends for a plain packet: Salsa20 over it all, then
    the nonce's seed in clear at 0x40."""
    from Crypto.Cipher import Salsa20

    _, xor = _GT7_VARIANTS[variant]
    nonce = struct.pack("<II", seed ^ xor, seed)
    key = b"Simulator Interface Packet GT7 v"
    sent = bytearray(Salsa20.new(key=key, nonce=nonce).encrypt(plain))
    _put(sent, "I", 0x40, seed)
    return bytes(sent)


def gt7_packets(t: Telemetry, variant: str = "A", seed: int = 0x11223344) -> list[bytes]:
    """One encrypted packet (heartbeat variant "A", "B" or "~"). The rev-alert
    band is max_rpm - 500 to max_rpm; the position sent is the grid position;
    t.car is the car code (digits)."""
    size, _ = _GT7_VARIANTS[variant]
    buf = bytearray(b"\x5a" * size)
    flags = 0 if t.state == GameState.MENU else 0x0001
    flags |= 0x0002 if t.state == GameState.PAUSED else 0
    flags |= 0x0008 if t.gear != 0 else 0  # in gear
    flags |= 0x0020 if t.lights & Light.SHIFT else 0
    flags |= 0x0040 if t.lights & Light.ENGINE else 0  # handbrake
    flags |= 0x0800 if t.lights & Light.TC else 0
    gear = {-1: 0, 0: 15}.get(t.gear, t.gear)
    max_rpm = round(t.max_rpm or 0)
    _put(buf, "I", 0x00, 0x47375330)
    _put(buf, "f", 0x3C, t.rpm)
    _put(buf, "fff", 0x44, 100.0 * (t.fuel or 0.0), 100.0 if t.fuel is not None else 0.0, t.speed)
    _put(buf, "i", 0x70, 1000)  # packet counter
    _put(buf, "hh", 0x74, t.lap or 0, 5)
    _put(
        buf,
        "ii",
        0x78,
        round(1000 * t.best_lap) if t.best_lap else -1,
        round(1000 * t.last_lap) if t.last_lap else -1,
    )
    _put(buf, "hh", 0x84, t.position or -1, 16 if t.position else -1)
    _put(buf, "hhh", 0x88, max(0, max_rpm - 500), max_rpm, 280)
    _put(buf, "H", 0x8E, flags)
    _put(buf, "BBB", 0x90, 0xF0 | gear, round(255 * (t.throttle or 0.0)), 0)  # and brake
    _put(buf, "i", 0x124, int(t.car or 0))  # car code
    return [gt7_encrypt(bytes(buf), variant, seed)]


F1_CAR = Telemetry(
    gear=3,
    rpm=6000.0,
    max_rpm=8000.0,
    rev_lights=0.75,
    speed=150 / 3.6,
    fuel=35.5 / 110.0,
    lap_time=31.5,
    last_lap=93.25,
    best_lap=92.5,
    lap=2,
    position=1,
    lights=Light.DRS | Light.DRS_AVAILABLE | Light.TC,
    car="team-7",
    throttle=0.5,
    fuel_amount=35.5,
    fuel_capacity=110.0,
    lap_distance=1200.0,
    in_pit=False,
    lap_valid=True,
    track="11",
    tc_level=0,
    abs_level=1,
    brake_bias=57.0,
    engine_map=1,
)


def f1_feed(packets: list[bytes], decoder: f1.Decoder | None = None) -> Telemetry | None:
    decoder = decoder or f1.Decoder()
    got = None
    for packet in packets:
        got = decoder.decode(packet)
        assert got is not None
    return got

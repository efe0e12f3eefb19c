"""Datagrams of EA SPORTS WRC, Wreckfest 2, Richard Burns Rally (NGP) and
Project Motor Racing, each packed in the order its own description declares
its fields (a channel list, C structs, a reader), never from offsets, so an
offset a decoder gets wrong shows. The source is named per builder."""

from __future__ import annotations

import struct

from kvdash_dashboard.telemetry import GameState, Light, Telemetry

# -- EA SPORTS WRC: readme/udp/wrc.json's channel list, typed as readme/channels.json
# types them (copies in vazhure/vAzhureRacingHub, Codemasters/WRC2023/telemetry, commit
# 554f5ee14ba829fd2010df74051de1e49062b37f); a boolean takes a byte. "_" marks channels
# a dashboard does not read: position, velocity, acceleration and the three direction
# vectors (18 floats), then hub position, hub velocity, contact patch speed and brake
# temperature per wheel (16 floats).
_WRC = (
    "packet_uid:Q game_total_time:f game_delta_time:f game_frame_count:Q shiftlights_fraction:f "
    "shiftlights_rpm_start:f shiftlights_rpm_end:f shiftlights_rpm_valid:B vehicle_gear_index:B "
    "vehicle_gear_index_neutral:B vehicle_gear_index_reverse:B vehicle_gear_maximum:B "
    "vehicle_speed:f vehicle_transmission_speed:f _:18f _:16f vehicle_engine_rpm_max:f "
    "vehicle_engine_rpm_idle:f vehicle_engine_rpm_current:f vehicle_throttle:f vehicle_brake:f "
    "vehicle_clutch:f vehicle_steering:f vehicle_handbrake:f stage_current_time:f "
    "stage_current_distance:d stage_length:d"
).split()


def wrc_packets(t: Telemetry, uid: int = 1000, neutral: int = 0, reverse: int = 10) -> list[bytes]:
    """One session_update; channels not set here carry noise."""
    given: dict[str, float] = dict(
        packet_uid=uid,
        shiftlights_fraction=t.rev_lights or 0.0,
        shiftlights_rpm_valid=t.rev_lights is not None,
        vehicle_gear_index={-1: reverse, 0: neutral}.get(t.gear, t.gear),
        vehicle_gear_index_neutral=neutral,
        vehicle_gear_index_reverse=reverse,
        vehicle_speed=t.speed + 0.5,  # the body's: the speedo's is the one shown
        vehicle_transmission_speed=t.speed,
        vehicle_engine_rpm_max=t.max_rpm or 0.0,
        vehicle_engine_rpm_current=t.rpm,
        vehicle_throttle=t.throttle or 0.0,
        stage_current_time=t.lap_time or 0.0,
        stage_current_distance=t.lap_distance if t.lap_distance is not None else -2.5,
    )
    fmt, values = "<", []
    for n, (name, kind) in enumerate(channel.split(":") for channel in _WRC):
        fmt += kind
        count = int(kind[:-1] or 1)
        noise = [n + 7 if kind[-1] in "QB" else n + 0.37] * count
        values += [int(given[name]) if kind in "QB" else given[name]] if name in given else noise
    return [struct.pack(fmt, *values)]


# -- Wreckfest 2: Bugbear's TelemetryDataFormatPino.h, revision 2 (pragma pack 1), the Main
# packet's structs in declaration order: Header, marshal flags, Leaderboard, Timing,
# TimingSectors, Info, Damage, then Car::Full (Assists, Chassis, Driveline, Engine, Input,
# Orientation, Velocity, 4 Tires), Session, player status flags; the lap progress, the
# assist levels and the session's track id also as francisdb/moza-rev declares them
# (src/wreckfest.rs @ 72872ca8d46286e5d2c5462b7d39c34a764bf4ee: Timing, Assists, Session).


def wreckfest2_packets(t: Telemetry, car: str = "car04:default", extra: int = 0) -> list[bytes]:
    """A participants packet, then Main (extra bytes: a later revision). A
    race-information field t leaves None is sent as a value that means none."""
    status = {GameState.PAUSED: 0x21, GameState.REPLAY: 0x22}.get(t.state, 0x20)
    # Blue, else "warning" (close to disqualification): a flag the game does not name.
    marshal = 0x40 if t.lights & Light.BLUE else 0x20 if t.lights & Light.FLAG else 0
    lap, position = t.lap or 0, t.position or 0
    ms = [round(1000 * (v or 0)) for v in (t.lap_time, t.last_lap, t.best_lap)]
    leaderboard = struct.pack("<BBHBBHHHiii8x", 2, 0, lap, position, 87, 1, 2, 3, 4, 5, 1234)
    head = struct.pack("<IBBii", 1869769584, 0, status, 65000, 60000)
    progress = t.lap_fraction if t.lap_fraction is not None else -1.0
    standing = struct.pack(
        "<IIIIBiif3x 9I 64s96s24sBiii16x 21x",
        *(ms[0], 0, ms[1], ms[2], 1, -1, 1500, progress), *range(30_000, 30_009),
        *(car.encode(), b"Rocket", b"Player", 3, 1, 2, 3),
    )  # fmt: skip
    assists = (1 if t.lights & Light.ABS else 0) | (2 if t.lights & Light.TC else 0)
    engine = 1 | (4 if t.lights & Light.ENGINE else 0)
    gear = {-1: 0, 0: 1}.get(t.gear, t.gear + 1)
    max_rpm = round(t.max_rpm or 0)
    levels = [255 if v is None else v for v in (t.abs_level, t.tc_level)]
    drive = struct.pack(
        "<5B3x 2ffif4f16x BBBf17x Biiii6f15x 5f 7f3H9f",
        assists, 0, *levels, 0, *(1.5, 1.5, 2.6, 900, 0.5, 4e3, 4e3, 3.5e3, 3.5e3),
        0, gear, 5, t.speed, engine, round(t.rpm), max_rpm, round(max_rpm * 0.93), 900,
        *(3e2, 1.5e5, 360, 363, 101, 400), t.throttle or 0.0, 0.1, 0, 0, -0.2,
        *([1.0] * 7), 90, 70, 220, *([2.0] * 9),
    )  # fmt: skip
    tire = struct.pack("<14fB15x", *([3.0] * 14), 2)
    session = struct.pack(
        "<64s96sfhhBBBffBBB26x H126x",
        *((t.track or "").encode(), b"Sandpit", 1500.0, 5, 0, 24, 20, 3, 0.33, 0.67, 255, 1),
        0 if t.state == GameState.MENU else 3, 0 if t.state == GameState.MENU else 0x0F,
    )  # fmt: skip
    main = head + struct.pack("<H", marshal) + leaderboard + standing + drive + tire * 4
    main += bytes(14) + session + b"\x5a" * extra
    others = head[:4] + b"\x01" + head[5:] + b"\x01" + leaderboard * 36 + bytes(64)
    return [others, main]


# -- Richard Burns Rally, NGP plugin: rbr.telemetry.data.TelemetryData's fields in the
# order groybe/rbr-udp-telem lists them (file offsets, commit
# 905ed6a1aee49d6887555ab700197ecc93c0e63e): packed,
# four bytes each. Speed in km/h, the game's metric setting.


def rbr_packets(t: Telemetry, car: int = 7, steps: int = 12345) -> list[bytes]:
    gear = {-1: 0, 0: 1}.get(t.gear, t.gear + 1)
    head = struct.pack(
        "<Ii4f 5fiff if6f 12f 4f",
        steps, 3, 0.45, t.lap_time or 0.0, 1200.0, 4200.0,  # stage
        0.1, t.throttle or 0.0, 0.2, 0.0, 0.3, gear, 5.0, 0.0,  # control
        car, t.speed * 3.6, 10.0, 20.0, 30.0, 0.01, 0.02, 1.5, *(0.5 + i for i in range(12)),
        t.rpm, 350.0, 363.15, 370.0,  # engine
    )  # fmt: skip
    corner = struct.pack("<5fi5f4fI16f", *([0.25] * 5), 0, *([300.0] * 9), 1, *([300.0] * 16))
    return [head + corner * 4]


# -- Project Motor Racing: wire order as SimRacingSdk.Pmr.Udp reads it
# (Extensions/BinaryReaderExtensions.cs): u8 type, u16 version, then the body; strings
# are a u8 length and UTF-8, lists a u8 count and floats. The lap progress, in-pits flag,
# track and layout, fuel, and the ABS and TCS levels after the five setup floats as its
# records declare them (Messages/PmrParticipantRaceState.cs, PmrRaceInfo.cs,
# PmrVehicleTelemetrySetup.cs).


def _text(*texts: str) -> bytes:
    return b"".join(bytes([len(s.encode())]) + s.encode() for s in texts)


def pmr_race_info(state: int = 1, track: str = "") -> bytes:
    """Track and layout from "track/layout"."""
    rest = struct.pack("<5f3B", 7004.0, 1800.0, 0.0, 21.0, 30.0, 1, state, 3)
    name, _, layout = track.partition("/")
    return b"\x00\x01\x00" + _text(name, layout, "2025", "Clear", "Race", "Single") + rest


def pmr_race_state(t: Telemetry, car_id: int, player: bool, car: str = "GT4") -> bytes:
    flags = (2 if t.lights & Light.YELLOW else 0) | (8 if t.lights & Light.BLUE else 0)
    progress = t.lap_fraction if t.lap_fraction is not None else -1.0  # none
    times = (t.position or 0, t.lap or 0, t.lap_time or 0.0, t.best_lap or 0.0, progress, 1)
    return (
        b"\x01\x01\x00" + struct.pack("<iB", car_id, player) + _text(car, "Ann", "", "GT4")
        + struct.pack("<iifffi Bf B 3BI", *times, 1, 30.5, 0, bool(t.in_pit), 0, 0, flags)
    )  # fmt: skip


def pmr_vehicle(t: Telemetry, car_id: int, gears: int = 6) -> bytes:
    """Vehicle telemetry, version 2: 4 wheels, 3 axle loads. Fuel: t.fuel_amount
    and t.fuel_capacity where set, else t.fuel of a 100-litre tank."""
    capacity = t.fuel_capacity or (100.0 if t.fuel is not None else 0.0)
    fuel = t.fuel_amount if t.fuel_amount is not None else capacity * (t.fuel or 0.0)
    drive = [t.rpm, 0.8, *([5.0] * 5), fuel, *([5.0] * 20)]
    lights = [t.lights & light != 0 for light in (Light.TC, Light.PIT_LIMITER, Light.ABS)]
    return (
        b"\x02\x02\x00" + struct.pack("<iB", car_id, 4)
        + struct.pack("<i30f", 0x191ED, *([1.0] * 30)) * 4  # wheels
        + struct.pack("<25f3f", *([0.5] * 25), t.speed + 1, t.speed, 0.01)  # chassis
        + struct.pack("<28f 7B B", *drive, 0, 1, 0, 0, lights[0], lights[1], 0, gears)
        + struct.pack("<2f", 7600.0, 4000.0) * gears
        + struct.pack("<B3ff 5fi 5fBB", 3, 3e3, 3.1e3, 3.2e3, 0.5,  # suspension
                      0.0, t.throttle or 0.0, 0, 0, 0, t.gear, 0.55, 1, 1, 0, 0,
                      t.abs_level or 0, t.tc_level or 0)
        + struct.pack("<10fB", *([1.0] * 10), lights[2])  # general
        + struct.pack("<6f12f4B", *([0.0] * 6), 900, 5e3, 6.5e3, t.max_rpm or 0.0, 450, 300,
                      0, capacity, 0, 1.6, 1.6, 2.7, 4, gears, 1, 0)
    )  # fmt: skip


def pmr_packets(t: Telemetry, player: int = 7) -> list[bytes]:
    """The player's car between two others, telemetry before the race
    states that say which car is the player's."""
    rival = Telemetry(gear=5, rpm=9100.0, max_rpm=9500.0, speed=60.0, fuel=0.9, lap=9,
                      position=1, lap_time=10.0, best_lap=80.0, throttle=0.2, lap_fraction=0.9,
                      in_pit=True, tc_level=5, abs_level=6)  # fmt: skip
    cars = [(3, rival), (player, t), (11, rival)]
    return [
        pmr_race_info(track=t.track or ""),
        *(pmr_vehicle(car, n) for n, car in cars),
        *(pmr_race_state(car, n, n == player, "GT4" if n == player else "LMP3") for n, car in cars),
    ]

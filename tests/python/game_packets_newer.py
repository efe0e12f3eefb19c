"""Datagrams of EA SPORTS WRC, Wreckfest 2, Richard Burns Rally (NGP) and
Project Motor Racing, each built the way its own description lays it out
(channel lists, struct declarations, reader order), not from offsets, so
that an offset a decoder gets wrong shows. Sources are named per builder."""

from __future__ import annotations

import struct

from kvdash_dashboard.telemetry import GameState, Light, Telemetry

# -- EA SPORTS WRC -------------------------------------------------------------
# The channel list of readme/udp/wrc.json and the types of readme/channels.json,
# as the game writes them (vazhure/vAzhureRacingHub, Codemasters/WRC2023/telemetry,
# commit 554f5ee14ba829fd2010df74051de1e49062b37f). Booleans take one byte.
_WRC_TYPES = {"uint64": "Q", "float32": "f", "float64": "d", "boolean": "B", "uint8": "B"}
_WRC_CHANNELS = [
    ("packet_uid", "uint64"),
    ("game_total_time", "float32"),
    ("game_delta_time", "float32"),
    ("game_frame_count", "uint64"),
    ("shiftlights_fraction", "float32"),
    ("shiftlights_rpm_start", "float32"),
    ("shiftlights_rpm_end", "float32"),
    ("shiftlights_rpm_valid", "boolean"),
    ("vehicle_gear_index", "uint8"),
    ("vehicle_gear_index_neutral", "uint8"),
    ("vehicle_gear_index_reverse", "uint8"),
    ("vehicle_gear_maximum", "uint8"),
    ("vehicle_speed", "float32"),
    ("vehicle_transmission_speed", "float32"),
    *(
        (f"vehicle_{v}_{a}", "float32")
        for v in (
            "position",
            "velocity",
            "acceleration",
            "left_direction",
            "forward_direction",
            "up_direction",
        )
        for a in "xyz"
    ),
    *(
        (f"vehicle_{v}_{w}", "float32")
        for v in ("hub_position", "hub_velocity", "cp_forward_speed", "brake_temperature")
        for w in ("bl", "br", "fl", "fr")
    ),
    ("vehicle_engine_rpm_max", "float32"),
    ("vehicle_engine_rpm_idle", "float32"),
    ("vehicle_engine_rpm_current", "float32"),
    ("vehicle_throttle", "float32"),
    ("vehicle_brake", "float32"),
    ("vehicle_clutch", "float32"),
    ("vehicle_steering", "float32"),
    ("vehicle_handbrake", "float32"),
    ("stage_current_time", "float32"),
    ("stage_current_distance", "float64"),
    ("stage_length", "float64"),
]


def wrc_packets(t: Telemetry, uid: int = 1000, neutral: int = 0, reverse: int = 10) -> list[bytes]:
    """One session_update of the "wrc" structure; every channel not set here
    carries noise."""
    values: dict[str, float] = {name: 0.37 + i for i, (name, _) in enumerate(_WRC_CHANNELS)}
    start, end = (t.max_rpm or 8000.0) * 0.6, (t.max_rpm or 8000.0) * 0.95
    values.update(
        packet_uid=uid,
        game_frame_count=123456,
        shiftlights_fraction=t.rev_lights if t.rev_lights is not None else 0.0,
        shiftlights_rpm_start=start,
        shiftlights_rpm_end=end,
        shiftlights_rpm_valid=1 if t.rev_lights is not None else 0,
        vehicle_gear_index={-1: reverse, 0: neutral}.get(t.gear, t.gear),
        vehicle_gear_index_neutral=neutral,
        vehicle_gear_index_reverse=reverse,
        vehicle_gear_maximum=6,
        vehicle_speed=t.speed + 0.5,  # body speed: the speedo's is the one shown
        vehicle_transmission_speed=t.speed,
        vehicle_engine_rpm_max=t.max_rpm or 0.0,
        vehicle_engine_rpm_current=t.rpm,
        vehicle_throttle=t.throttle if t.throttle is not None else 0.0,
        stage_current_time=t.lap_time or 0.0,
    )
    fmt = "<" + "".join(_WRC_TYPES[kind] for _, kind in _WRC_CHANNELS)
    args = [int(values[n]) if _WRC_TYPES[k] in "QB" else values[n] for n, k in _WRC_CHANNELS]
    return [struct.pack(fmt, *args)]


# -- Wreckfest 2 ---------------------------------------------------------------
# Bugbear's TelemetryDataFormatPino.h, revision 2 (pragma pack 1): the Main packet
# struct by struct, each member in declaration order.
WRECKFEST2_SIGNATURE = 1869769584


def _pino_header(kind: int, status: int) -> bytes:
    return struct.pack("<IBBii", WRECKFEST2_SIGNATURE, kind, status, 65000, 60000)


def wreckfest2_packets(t: Telemetry, car_id: str = "car04:default", extra: int = 0) -> list[bytes]:
    """A Main packet (with extra bytes at the end: a later revision) and a
    leaderboard of other cars, which must not move the player's numbers."""
    status = {GameState.PAUSED: 0x21, GameState.REPLAY: 0x22}.get(t.state, 0x20)
    # Blue, else a warning (close to disqualification) for a flag the game does not name.
    marshal = 0x40 if t.lights & Light.BLUE else 0x20 if t.lights & Light.FLAG else 0
    leaderboard = struct.pack(
        "<BBHBBHHHiii8x", 2, 0, t.lap or 0, t.position or 0, 87, 1, 2, 3, 40, 50, 1234
    )
    timing = struct.pack(
        "<IIIIBiif3x",
        round(1000 * (t.lap_time or 0)),
        0,
        round(1000 * (t.last_lap or 0)),
        round(1000 * (t.best_lap or 0)),
        1,
        -1,
        1500,
        0.4,
    )
    sectors = struct.pack("<9I", *range(30_000, 30_009))
    info = struct.pack("<64s96s24sBiii16x", car_id.encode(), b"Rocket", b"Player", 3, 1, 2, 3)
    damage = bytes(21)
    assists = struct.pack(
        "<BBBBB3x",
        (1 if t.lights & Light.ABS else 0) | (2 if t.lights & Light.TC else 0),
        0,
        2,
        1,
        0,
    )
    chassis = struct.pack("<2ffif4f16x", 1.5, 1.5, 2.6, 900, 0.5, 4000, 4000, 3500, 3500)
    driveline = struct.pack("<BBBf17x", 0, {-1: 0, 0: 1}.get(t.gear, t.gear + 1), 5, t.speed)
    engine = struct.pack(
        "<Biiiiffffff15x",
        1 | (4 if t.lights & Light.ENGINE else 0),
        round(t.rpm),
        round(t.max_rpm or 0),
        round((t.max_rpm or 0) * 0.93),
        900,
        300.0,
        150000.0,
        360.0,
        363.0,
        101.0,
        400.0,
    )
    controls = struct.pack("<5f", t.throttle or 0.0, 0.1, 0.0, 0.0, -0.2)
    motion = struct.pack("<7f3H", *([1.0] * 7), 90, 70, 220) + struct.pack("<9f", *([2.0] * 9))
    tires = struct.pack("<14fB15x", *([3.0] * 14), 2) * 4
    car = assists + chassis + driveline + engine + controls + motion + tires + bytes(14)
    session_status = 0 if t.state == GameState.MENU else 3
    session = struct.pack(
        "<64s96sfhhBBBffBBB26x",
        b"track01_4",
        b"Sandpit",
        1500.0,
        5,
        0,
        24,
        20,
        3,
        0.33,
        0.67,
        255,
        1,
        session_status,
    )
    player_status = 0 if t.state == GameState.MENU else 0x0F
    main = (
        _pino_header(0, status)
        + struct.pack("<H", marshal)
        + leaderboard
        + timing
        + sectors
        + info
        + damage
        + car
        + session
        + struct.pack("<H126x", player_status)
        + b"\x5a" * extra
    )
    others = _pino_header(1, status) + b"\x01" + leaderboard * 36 + bytes(64)
    return [others, main]


# -- Richard Burns Rally, NGP plugin --------------------------------------------
# The field order of rbr.telemetry.data.TelemetryData as groybe/rbr-udp-telem lists
# it (file offsets, commit 905ed6a1aee49d6887555ab700197ecc93c0e63e): packed, 4 bytes
# a field. Speed in km/h, the game's metric setting.


def rbr_packets(t: Telemetry, car_index: int = 7, steps: int = 12345) -> list[bytes]:
    stage = struct.pack("<Iifff f", steps, 3, 0.45, t.lap_time or 0.0, 1200.0, 4200.0)
    gear = {-1: 0, 0: 1}.get(t.gear, t.gear + 1)
    control = struct.pack("<5fiff", 0.1, t.throttle or 0.0, 0.2, 0.0, 0.3, gear, 5.0, 0.0)
    car = struct.pack("<if6f", car_index, t.speed * 3.6, 10.0, 20.0, 30.0, 0.01, 0.02, 1.5)
    motion = struct.pack("<12f", *(0.5 + i for i in range(12)))
    engine = struct.pack("<4f", t.rpm, 350.0, 363.15, 370.0)
    corner = struct.pack("<5fi5f4fI16f", *([0.25] * 5), 0, *([300.0] * 9), 1, *([300.0] * 16))
    return [stage + control + car + motion + engine + corner * 4]


# -- Project Motor Racing --------------------------------------------------------
# Wire order as SimRacingSdk.Pmr.Udp reads it (Extensions/BinaryReaderExtensions.cs):
# u8 type, u16 version, strings as u8 length + UTF-8, lists as u8 count + f32s.


def _pmr_text(s: str) -> bytes:
    raw = s.encode()
    return bytes([len(raw)]) + raw


def _pmr_floats(values: list[float]) -> bytes:
    return bytes([len(values)]) + struct.pack(f"<{len(values)}f", *values)


def pmr_race_info(state: int = 1) -> bytes:
    head = b"".join(_pmr_text(s) for s in ("Spa", "GP", "2025", "Clear", "Race", "Single"))
    return (
        b"\x00\x01\x00" + head + struct.pack("<5fBBB", 7004.0, 1800.0, 0.0, 21.0, 30.0, 1, state, 3)
    )


def pmr_race_state(
    t: Telemetry, car_id: int, is_player: bool, car: str = "GT4", extra: bytes = b""
) -> bytes:
    flags = (2 if t.lights & Light.YELLOW else 0) | (8 if t.lights & Light.BLUE else 0)
    return (
        b"\x01\x01\x00"
        + struct.pack("<iB", car_id, 1 if is_player else 0)
        + b"".join(_pmr_text(s) for s in (car, "Ann", "", "GT4"))
        + struct.pack(
            "<iifffi", t.position or 0, t.lap or 0, t.lap_time or 0.0, t.best_lap or 0.0, 0.4, 1
        )
        + _pmr_floats([30.5])
        + _pmr_floats([])
        + struct.pack("<BBBI", 0, 0, 0, flags)
        + extra
    )


def pmr_vehicle(t: Telemetry, car_id: int, gears: int = 6, extra: bytes = b"") -> bytes:
    """Vehicle telemetry, version 2, four wheels and three axle loads."""
    capacity = 100.0
    wheel = struct.pack("<i2f9f5f3f11f", 0x191ED, *([1.0] * 30))
    chassis = struct.pack("<3f4f18f3f", *([0.5] * 25), t.speed + 1.0, t.speed, 0.01)
    drive = [t.rpm, 0.8] + [5.0] * 26
    drive[7] = capacity * (t.fuel or 0.0)
    switches = struct.pack(
        "<7B",
        0,
        1,
        0,
        0,
        1 if t.lights & Light.TC else 0,
        1 if t.lights & Light.PIT_LIMITER else 0,
        0,
    )
    shifts = bytes([gears]) + struct.pack("<2f", 7600.0, 4000.0) * gears
    suspension = _pmr_floats([3000.0, 3100.0, 3200.0]) + struct.pack("<f", 0.5)
    controls = struct.pack("<5fi", 0.0, t.throttle or 0.0, 0.0, 0.0, 0.0, t.gear)
    setup = struct.pack("<5fBB", 0.55, 1.0, 1.0, 0.0, 0.0, 3, 4)
    general = struct.pack("<10fB", *([1.0] * 10), 1 if t.lights & Light.ABS else 0)
    constant = struct.pack(
        "<6f12f4B",
        *([0.0] * 6),
        900.0,
        5000.0,
        6500.0,
        t.max_rpm or 0.0,
        450.0,
        300.0,
        0.0,
        capacity if t.fuel is not None else 0.0,
        0.0,
        1.6,
        1.6,
        2.7,
        4,
        gears,
        1,
        0,
    )
    return (
        b"\x02\x02\x00"
        + struct.pack("<iB", car_id, 4)
        + wheel * 4
        + chassis
        + struct.pack("<28f", *drive)
        + switches
        + shifts
        + suspension
        + controls
        + setup
        + general
        + constant
        + extra
    )


def pmr_packets(t: Telemetry, player: int = 7) -> list[bytes]:
    """A race in progress: the player's car between two others, their
    telemetry before the race states that say which car is the player's."""
    rival = Telemetry(
        gear=5,
        rpm=9100.0,
        max_rpm=9500.0,
        speed=60.0,
        fuel=0.9,
        lap=9,
        position=1,
        lap_time=10.0,
        best_lap=80.0,
        throttle=0.2,
    )
    return [
        pmr_race_info(),
        pmr_vehicle(rival, 3),
        pmr_vehicle(t, player),
        pmr_vehicle(rival, 11),
        pmr_race_state(rival, 3, False, car="LMP3"),
        pmr_race_state(t, player, True),
        pmr_race_state(rival, 11, False, car="LMP3"),
    ]

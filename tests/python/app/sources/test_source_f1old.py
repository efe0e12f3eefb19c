"""F1 2020, F1 2021 and F1 22 (packet formats 2020 to 2022) under --source f1:
packets built from other readers' structures, and what the games sent."""

from __future__ import annotations

import ctypes
import struct
from dataclasses import replace
from pathlib import Path

import pytest
from game_packets import F1_CAR, assert_sane, f1_feed
from game_packets_f1old import f1_old_packets
from game_structs_f1old import PACKETS, SIZES
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard.sources import f1
from kvdash_dashboard.telemetry import GameState, Light, Telemetry

GAMES = {2020: "F1 2020", 2021: "F1 2021", 2022: "F1 22"}
CAPTURES = Path(__file__).resolve().parents[2] / "captures" / "f1_2020_22"


def test_the_readers_structures_have_the_games_lengths() -> None:
    for season, layouts in PACKETS.items():
        assert {kind: ctypes.sizeof(cls) for kind, cls in layouts.items()} == SIZES[season]


@pytest.mark.parametrize(("season", "player"), [(s, p) for s in GAMES for p in (3, 21)])
def test_every_format_reads_the_players_car(season: int, player: int) -> None:
    got = f1_feed(f1_old_packets(F1_CAR, season=season, player=player))
    assert got is not None
    assert replace(got, speed=F1_CAR.speed, fuel=F1_CAR.fuel) == replace(F1_CAR, game=GAMES[season])
    assert got.speed == pytest.approx(F1_CAR.speed) and got.fuel == pytest.approx(F1_CAR.fuel)


@pytest.mark.parametrize(
    "lights",
    [
        Light.NONE,
        Light.PIT_LIMITER | Light.ABS | Light.FLAG | Light.YELLOW,
        Light.TC | Light.DRS | Light.FLAG | Light.BLUE,
        Light.DRS_AVAILABLE,
    ],
)
@pytest.mark.parametrize(("gear", "season"), [(-1, 2020), (0, 2021), (8, 2022), (5, 2020)])
def test_lights_gears_and_pause(lights: Light, gear: int, season: int) -> None:
    sent = replace(
        F1_CAR, lights=lights, gear=gear, state=GameState.PAUSED, tc_level=None, abs_level=None
    )
    got = f1_feed(f1_old_packets(sent, season=season, player=9))
    assert got is not None
    # F1 2020 has no paused byte: it stops sending instead.
    paused = GameState.UNKNOWN if season == 2020 else GameState.PAUSED
    assert (got.lights, got.gear, got.state) == (lights, gear, paused)


@pytest.mark.parametrize("season", sorted(GAMES))
def test_race_information(season: int) -> None:
    sent = replace(
        F1_CAR,
        fuel_amount=12.25,
        fuel_capacity=100.0,
        fuel=0.1225,
        lap_distance=4321.5,
        in_pit=True,
        lap_valid=False,
        track="0",
        tc_level=2,
        abs_level=0,
        lights=F1_CAR.lights & ~Light.TC | Light.ABS,
        brake_bias=53.0,
        engine_map=3,
        game=GAMES[season],
    )
    got = f1_feed(f1_old_packets(sent, season=season, player=17))
    assert got is not None and replace(got, speed=sent.speed) == sent
    # Before the line is first crossed: a negative distance, no lap times, no
    # track known, no fuel said.
    unknown = replace(
        F1_CAR,
        lap_distance=None,
        track=None,
        fuel=None,
        fuel_amount=None,
        fuel_capacity=None,
        last_lap=None,
        best_lap=None,
        lap_time=0.0,
        car=None,
    )
    got = f1_feed(f1_old_packets(unknown, season=season, player=17))
    assert got is not None
    assert replace(got, speed=unknown.speed) == replace(unknown, game=GAMES[season])


def test_a_packet_of_another_length_or_format_is_refused() -> None:
    for season in GAMES:
        for packet in f1_old_packets(F1_CAR, season=season):
            assert f1.Decoder().decode(packet[:-1]) is None
            assert f1.Decoder().decode(packet + b"\0") is None
    telemetry = f1_old_packets(F1_CAR, season=2020)[0]
    for fmt in (2019, 2021, 2022):  # the same bytes under another format's lengths
        other = bytearray(telemetry)
        struct.pack_into("<H", other, 0, fmt)
        assert f1.Decoder().decode(bytes(other)) is None
    history = bytearray(f1_old_packets(F1_CAR, season=2021)[3])
    history[0:2] = struct.pack("<H", 2020)  # 2020 had no session history
    assert f1.Decoder().decode(bytes(history)) is None


@given(
    st.sampled_from(sorted(GAMES)),
    st.lists(st.tuples(st.integers(0, 1400), st.binary(min_size=1, max_size=8)), max_size=8),
)
def test_damaged_packets_never_raise(season: int, damage: list[tuple[int, bytes]]) -> None:
    decoder = f1.Decoder()
    for packet in f1_old_packets(F1_CAR, season=season):
        buf = bytearray(packet)
        for at, junk in damage:
            buf[at : at + len(junk)] = junk
        got = decoder.decode(bytes(buf[: len(packet)]))
        if got is not None:
            assert_sane(got)


def _captured(season: int) -> list[tuple[str, bytes]]:
    return [
        (p.stem.split("-")[2], p.read_bytes()) for p in sorted(CAPTURES.glob(f"{season}-*.bin"))
    ]


@pytest.mark.parametrize("season", sorted(GAMES))
def test_what_the_games_sent_reads_as_their_readers_read_it(season: int) -> None:
    # Each captured packet alone (they come from several sessions), its
    # player's record read through the other reader's structure as well.
    seen = set()
    for kind, data in _captured(season):
        got = f1.Decoder().decode(data)
        assert got is not None and got.game == GAMES[season], kind
        assert_sane(got)
        theirs = {"carTelemetry": "telemetry", "carStatus": "status", "lapData": "laps"}.get(kind)
        if theirs is None:
            continue
        seen.add(theirs)
        packet = PACKETS[season][theirs].from_buffer_copy(data)
        player = packet.header.playerCarIndex
        if theirs == "telemetry":
            car = packet.carTelemetryData[player]
            assert (got.gear, got.rpm) == (car.gear, car.engineRPM)
            assert got.speed == pytest.approx(car.speed / 3.6)
        elif theirs == "status":
            car = packet.carStatusData[player]
            assert (got.max_rpm, got.fuel_amount) == (car.maxRPM, car.fuelInTank)
            assert (got.tc_level, got.abs_level) == (car.tractionControl, car.antiLockBrakes)
        else:
            car = packet.lapData[player]
            assert (got.position, got.lap, got.in_pit) == (
                car.carPosition,
                car.currentLapNum,
                car.pitStatus != 0,
            )
    assert seen == {"telemetry", "status", "laps"}


def test_f1_22_at_speed_as_captured() -> None:
    # One session: 8th gear at 308 km/h on lap 3, 6th, with 3.1 kg of fuel.
    packets = [data for _, data in _captured(2022)]
    uid = 0x58561802B7AD687C
    assert {struct.unpack_from("<Q", p, 6)[0] for p in packets} == {uid}
    got = f1_feed(packets)
    assert got is not None
    want = Telemetry(
        gear=8,
        rpm=10657.0,
        max_rpm=13000.0,
        rev_lights=0.0,
        lap_time=91.313,
        last_lap=92.035,
        best_lap=91.322,
        lap=3,
        position=6,
        game="F1 22",
        car="team-2",
        throttle=1.0,
        fuel_capacity=110.0,
        in_pit=False,
        lap_valid=True,
        track="29",
        tc_level=0,
        abs_level=0,
        brake_bias=54.0,
        engine_map=1,
        lights=Light.TC | Light.ABS,
    )
    assert replace(got, speed=0.0, fuel=None, fuel_amount=None, lap_distance=None) == replace(
        want, speed=0.0
    )
    assert got.speed == pytest.approx(308 / 3.6)
    assert got.fuel_amount == pytest.approx(3.149, abs=1e-3)
    assert got.lap_distance == pytest.approx(6175.69, abs=0.01)

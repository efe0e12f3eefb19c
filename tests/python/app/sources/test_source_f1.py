"""F1 23/24/25 (and F1 25's 2026 format): the player's car merged from several packet types."""

from __future__ import annotations

import struct
from dataclasses import replace

import pytest
from game_packets import F1_CAR, assert_sane, codemasters_packets, f1_feed, f1_packets
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard.sources import codemasters, f1
from kvdash_dashboard.telemetry import GameState, Light, Telemetry

GAMES = {2023: "F1 23", 2024: "F1 24", 2025: "F1 25", 2026: "F1 25 (2026 season)"}

HEADER_2025 = (
    "e9 07 19 01 02 01 {id:02x} 88 77 66 55 44 33 22 11 00 00 f7 42 d4 1c 00 00 d4 1c 00 00 00 ff"
)


def example(packet_id: int, size: int, body: str) -> bytes:
    data = bytes.fromhex(HEADER_2025.format(id=packet_id) + body)
    return data.ljust(size, b"\0")


def test_worked_example_f1_25() -> None:
    telemetry = bytearray(
        example(6, 1352, "96 00 00 00 80 3f" + " 00" * 9 + " 03 70 17 00 4b ff 07")
    )
    telemetry[1349:1352] = b"\xff\xff\x00"
    status = example(7, 1239, "00 01 01 39 00 00 00 0e 42 00 00 dc 42 cd cc 44 41 40 1f a0 0f 08")
    laps = example(2, 1285, "42 6c 01 00 0c 7b 00 00" + " 00" * 24 + " 01 02")
    got = f1_feed([bytes(telemetry), status, laps])
    assert got == Telemetry(
        gear=3,
        rpm=6000.0,
        max_rpm=8000.0,
        rev_lights=0.75,
        speed=pytest.approx(150 / 3.6),  # type: ignore[arg-type]
        fuel=pytest.approx(35.5 / 110.0),  # type: ignore[arg-type]
        lap_time=31.5,
        last_lap=93.25,
        lap=2,
        position=1,
        lights=Light.TC,  # TC set to off in the example
        game="F1 25",
        throttle=1.0,
        fuel_amount=35.5,
        fuel_capacity=110.0,
        lap_distance=0.0,
        in_pit=False,
        lap_valid=True,
        tc_level=0,
        abs_level=1,
        brake_bias=57.0,
        engine_map=1,
    )


@pytest.mark.parametrize(
    ("season", "player"), [(s, p) for s in GAMES for p in (0, 5, 21)] + [(2026, 23)]
)
def test_every_season_reads_the_players_car(season: int, player: int) -> None:
    got = f1_feed(f1_packets(F1_CAR, season=season, player=player))
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
@pytest.mark.parametrize(("gear", "season"), [(-1, 2024), (0, 2026), (8, 2026)])
def test_lights_gears_and_pause(lights: Light, gear: int, season: int) -> None:
    sent = replace(
        F1_CAR, lights=lights, gear=gear, state=GameState.PAUSED, tc_level=None, abs_level=None
    )
    got = f1_feed(f1_packets(sent, season=season, player=9))
    assert got is not None
    assert (got.lights, got.gear, got.state) == (lights, gear, GameState.PAUSED)


@pytest.mark.parametrize("season", sorted(GAMES))
def test_race_information_fields(season: int) -> None:
    # In the pit lane on a lap the game has ruled out, at another track, on
    # another mix and bias: each read from the player's record, not a rival's.
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
    got = f1_feed(f1_packets(sent, season=season, player=3))
    assert got is not None
    assert replace(got, speed=sent.speed) == sent
    # Before the line is first crossed the lap distance is negative; an
    # unknown track says -1; a car whose fuel is withheld says 0 of 0.
    unknown = replace(
        F1_CAR, lap_distance=None, track=None, fuel=None, fuel_amount=None, fuel_capacity=None
    )
    got = f1_feed(f1_packets(unknown, season=season, player=3))
    assert got is not None
    assert (got.lap_distance, got.track, got.fuel_amount, got.fuel_capacity) == (None,) * 4


def test_packets_merge_and_a_new_session_forgets() -> None:
    decoder = f1.Decoder()
    telemetry, laps, status, history, rival, *_ = f1_packets(F1_CAR, season=2024)
    first = decoder.decode(laps)
    assert first is not None and (first.lap, first.rpm, first.max_rpm) == (2, 0.0, None)
    decoder.decode(status)
    got = decoder.decode(telemetry)
    assert got is not None and (got.lap, got.rpm, got.max_rpm, got.best_lap) == (
        2,
        6000,
        8000,
        None,
    )
    assert decoder.decode(history) == decoder.decode(rival) == replace(got, best_lap=92.5)
    # A packet the dashboard has no use for (motion) answers the same car.
    motion = bytearray(1349)
    motion[:29] = telemetry[:29]
    motion[6] = 0
    assert decoder.decode(bytes(motion)) == replace(got, best_lap=92.5)
    # Another session: the old car's laps and limits are gone.
    fresh = decoder.decode(f1_packets(F1_CAR, season=2024, uid=42)[0])
    assert fresh is not None and (fresh.rpm, fresh.lap, fresh.max_rpm) == (6000, None, None)
    # A participant slot with no team in it (255, 65535 from 2026) names no car.
    for season in (2025, 2026):
        nobody = f1_packets(replace(F1_CAR, car=None), season=season)[5]
        assert f1_feed([nobody]) == Telemetry(game=GAMES[season])


def test_bad_packets_are_refused() -> None:
    decoder = f1.Decoder()
    telemetry, laps, status, history, *_ = f1_packets(F1_CAR, season=2023)
    for packet in f1_packets(F1_CAR, season=2023) + f1_packets(F1_CAR, season=2026):
        assert decoder.decode(packet[:-1]) is None and decoder.decode(packet + b"\0") is None
    assert decoder.decode(b"") is None and decoder.decode(telemetry[:28]) is None
    for fmt in (2019, 2022, 2026, 2027, 0):  # 2022 and 2026 read other lengths
        other = bytearray(telemetry)
        struct.pack_into("<H", other, 0, fmt)
        assert decoder.decode(bytes(other)) is None
    unknown_id = bytearray(telemetry)
    unknown_id[6] = 14  # Time Trial exists from F1 24 on
    assert decoder.decode(bytes(unknown_id)) is None
    absurd_gear = bytearray(telemetry)
    absurd_gear[29 + 60 * 5 + 15] = 9
    assert decoder.decode(bytes(absurd_gear)) is None
    # No player's car (index 255): a good packet that says nothing of ours.
    before = decoder.decode(telemetry)
    spectator = bytearray(status)
    spectator[27] = 255
    assert decoder.decode(bytes(spectator)) == before


def test_f1_and_codemasters_refuse_each_others_packets() -> None:
    f1_sizes = {1349, 644, 753, 1131, 1285, 1352, 1239, 1460, 1325, 926}
    for season in GAMES:
        for packet in f1_packets(F1_CAR, season=season):
            f1_sizes.add(len(packet))
    for size in sorted(f1_sizes):
        assert codemasters.Decoder().decode(bytes(size)) is None, size
    for extradata in (0, 1, 2, 3):
        (packet,) = codemasters_packets(F1_CAR, extradata=extradata)
        # Even dressed in an F1 header, the legacy lengths are not F1's.
        dressed = bytearray(packet)
        dressed[:29] = f1_packets(F1_CAR)[0][:29]
        assert f1.Decoder().decode(packet) is None
        assert f1.Decoder().decode(bytes(dressed)) is None


@given(st.binary(max_size=1500))
def test_arbitrary_bytes_never_raise(data: bytes) -> None:
    got = f1.Decoder().decode(data)
    if got is not None:
        assert_sane(got)


@given(
    st.sampled_from(sorted(GAMES)),
    st.lists(st.tuples(st.integers(0, 1400), st.binary(min_size=1, max_size=8)), max_size=8),
)
def test_damaged_packets_never_raise(season: int, damage: list[tuple[int, bytes]]) -> None:
    decoder = f1.Decoder()
    for packet in f1_packets(F1_CAR, season=season):
        buf = bytearray(packet)
        for at, junk in damage:
            buf[at : at + len(junk)] = junk
        got = decoder.decode(bytes(buf[: len(packet)]))
        if got is not None:
            assert_sane(got)

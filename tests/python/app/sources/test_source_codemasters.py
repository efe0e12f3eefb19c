"""The legacy Codemasters float array: sizes, reverse encodings, rad/s."""

from __future__ import annotations

import struct
from dataclasses import replace

import pytest
from game_packets import assert_sane, codemasters_packets
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard.sources import codemasters
from kvdash_dashboard.telemetry import Telemetry

CAR = Telemetry(
    gear=3,
    rpm=6000.0,
    max_rpm=8000.0,
    speed=25.0,
    fuel=0.25,
    lap_time=31.5,
    last_lap=92.25,
    best_lap=92.25,
    lap=2,
    position=1,
    game="DiRT / GRID (extradata 3)",
    throttle=0.75,
    fuel_amount=15.0,
    fuel_capacity=60.0,
    lap_distance=1200.0,
    in_pit=False,
    tc_level=0,
    abs_level=0,
)

WORKED_EXAMPLE = {
    0x00: "00 00 7a 43 00 00 fc 41 00 00 96 44 00 00 00 00",
    0x10: "00 00 00 00 00 00 00 00 00 00 00 00 00 00 c8 41",
    0x80: "00 00 00 00 00 00 40 40 00 00 00 00 00 00 00 00",
    0x90: "00 00 80 3f 63 14 1d 44 00 00 00 00 00 00 80 3f",
    0xE0: "00 00 00 00 00 00 00 00 00 00 00 00 00 00 80 3f",
    0xF0: "00 00 a0 40 00 c0 5a 45 00 80 b8 42 84 70 51 44",
    0x100: "36 8d a7 42 00 00 c0 40",
}


def decode(data: bytes) -> Telemetry | None:
    return codemasters.Decoder().decode(data)


def test_worked_example() -> None:
    buf = bytearray(264)
    for at, text in WORKED_EXAMPLE.items():
        row = bytes.fromhex(text)
        buf[at : at + len(row)] = row
    got = decode(bytes(buf))
    assert got is not None
    assert got.gear == 3
    assert got.rpm == pytest.approx(6000, abs=0.01) and got.max_rpm == pytest.approx(8000, abs=0.01)
    assert (got.speed, got.position, got.last_lap, got.lap, got.lap_time) == (
        25.0,
        1,
        92.25,
        2,
        31.5,
    )
    assert got.fuel is None  # no tank in the example


@pytest.mark.parametrize("game", ["dirt-rally", "dirt-rally-2", "dirt-4", "grid"])
@pytest.mark.parametrize("gear", [-1, 0, 1, 6])
def test_every_game_and_gear(game: str, gear: int) -> None:
    (packet,) = codemasters_packets(replace(CAR, gear=gear), game=game)
    got = decode(packet)
    assert got is not None
    assert replace(got, rpm=6000.0, max_rpm=8000.0) == replace(CAR, gear=gear)
    assert got.rpm == pytest.approx(6000) and got.max_rpm == pytest.approx(8000)


def test_shorter_extradata_gives_what_it_has() -> None:
    (packet,) = codemasters_packets(CAR, extradata=2)
    got = decode(packet)
    assert got is not None and len(packet) == 252
    assert (got.max_rpm, got.last_lap, got.position, got.game) == (
        None,
        92.25,
        1,
        "DiRT / GRID (extradata 2)",
    )
    (packet,) = codemasters_packets(CAR, extradata=1)
    got = decode(packet)
    assert got is not None and len(packet) == 152
    assert (got.gear, got.speed, got.lap, got.lap_time) == (3, 25.0, 2, 31.5)
    assert (got.max_rpm, got.last_lap, got.position, got.fuel) == (None,) * 4
    (packet,) = codemasters_packets(CAR, extradata=0)
    assert decode(packet) == Telemetry(game="DiRT / GRID (extradata 0)")


def test_race_information_fields() -> None:
    sent = replace(
        CAR,
        fuel=0.5,
        fuel_amount=40.0,
        fuel_capacity=80.0,
        lap_distance=2345.5,
        in_pit=True,
        tc_level=2,
        abs_level=1,
    )
    (packet,) = codemasters_packets(sent)
    got = decode(packet)
    assert got is not None
    assert replace(got, rpm=sent.rpm, max_rpm=sent.max_rpm) == sent
    # Extradata 1 has the lap distance only; a rally stage sends no tank, and
    # a distance below zero before the start line.
    (packet,) = codemasters_packets(sent, extradata=1)
    got = decode(packet)
    assert got is not None and got.lap_distance == 2345.5
    assert (got.fuel_amount, got.in_pit, got.tc_level, got.abs_level) == (None,) * 4
    stage = replace(sent, fuel=None, fuel_amount=None, fuel_capacity=None, lap_distance=None)
    (packet,) = codemasters_packets(stage)
    got = decode(packet)
    assert got is not None
    assert (got.fuel, got.fuel_amount, got.fuel_capacity, got.lap_distance) == (None,) * 4


def test_best_lap_is_the_best_last_lap_of_the_track() -> None:
    decoder = codemasters.Decoder()
    for last, best in ((None, None), (95.0, 95.0), (93.5, 93.5), (96.0, 93.5)):
        (packet,) = codemasters_packets(replace(CAR, last_lap=last))
        got = decoder.decode(packet)
        assert got is not None and got.best_lap == best
    (packet,) = codemasters_packets(replace(CAR, last_lap=99.0), track_length=5000.0)
    got = decoder.decode(packet)
    assert got is not None and got.best_lap == 99.0


def test_bad_packets_are_refused() -> None:
    (packet,) = codemasters_packets(CAR)
    for size in (0, 63, 65, 151, 153, 251, 253, 263, 265, 1352):
        assert decode(packet[:size].ljust(size, b"\0")) is None, size
    for index, value in (
        (33, float("nan")),
        (33, 2.5),
        (33, 11.0),
        (33, -2.0),
        (7, float("inf")),
        (37, float("nan")),
    ):
        bad = bytearray(packet)
        struct.pack_into("<f", bad, 4 * index, value)
        assert decode(bytes(bad)) is None, (index, value)


@given(st.binary(max_size=300))
def test_arbitrary_bytes_never_raise(data: bytes) -> None:
    got = decode(data)
    if got is not None:
        assert_sane(got)


@given(
    st.sampled_from([0, 1, 2, 3]),
    st.lists(st.tuples(st.integers(0, 263), st.binary(min_size=1, max_size=8)), max_size=8),
)
def test_damaged_packets_never_raise(extradata: int, damage: list[tuple[int, bytes]]) -> None:
    (packet,) = codemasters_packets(CAR, extradata=extradata)
    buf = bytearray(packet)
    for at, junk in damage:
        buf[at : at + len(junk)] = junk
    got = decode(bytes(buf[: len(packet)]))
    if got is not None:
        assert_sane(got)

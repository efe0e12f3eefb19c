"""Richard Burns Rally with the NGP plugin: one fixed packet."""

from __future__ import annotations

import struct
from dataclasses import replace

import pytest
from game_packets import assert_sane
from game_packets_newer import rbr_packets
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard.sources import rbr
from kvdash_dashboard.telemetry import GameState, Telemetry

CAR = Telemetry(
    gear=3,
    rpm=6800.0,
    speed=25.0,
    lap_time=83.5,
    state=GameState.DRIVING,
    game=rbr.GAME,
    car="7",
    throttle=0.75,
)


def same_car(got: Telemetry | None, want: Telemetry) -> None:
    """The speed goes through km/h as a float32: close, not equal."""
    assert got is not None and got.speed == pytest.approx(want.speed)
    assert replace(got, speed=want.speed) == want


def test_worked_example() -> None:
    rows = {
        0: "39 30 00 00",
        12: "00 00 a7 42",
        20: "00 40 83 45",
        28: "00 00 40 3f",
        44: "04 00 00 00",
        56: "02 00 00 00 00 00 c3 42",
        136: "00 80 d4 45",
        144: "33 93 b5 43",
    }
    buf = bytearray(664)
    for at, text in rows.items():
        row = bytes.fromhex(text)
        buf[at : at + len(row)] = row
    same_car(rbr.Decoder().decode(bytes(buf)), replace(CAR, speed=97.5 / 3.6, car="2"))


@pytest.mark.parametrize("gear", [-1, 0, 1, 5])
def test_gears_and_pause(gear: int) -> None:
    decoder = rbr.Decoder()
    sent = replace(CAR, gear=gear)
    (packet,) = rbr_packets(sent, steps=100)
    same_car(decoder.decode(packet), sent)
    # The physics steps stand still while the game is paused.
    got = decoder.decode(packet)
    assert got is not None and got.state == GameState.PAUSED
    (moving,) = rbr_packets(sent, steps=101)
    got = decoder.decode(moving)
    assert got is not None and got.state == GameState.DRIVING


def test_bad_packets_are_refused() -> None:
    (packet,) = rbr_packets(CAR)
    decoder = rbr.Decoder()
    assert decoder.decode(packet[:-1]) is None and decoder.decode(packet + b"\0") is None
    for at, value in (
        (44, struct.pack("<i", 12)),
        (44, struct.pack("<i", -1)),
        (136, struct.pack("<f", float("inf"))),
    ):
        bad = bytearray(packet)
        bad[at : at + 4] = value
        assert decoder.decode(bytes(bad)) is None, at
    odd_car = bytearray(packet)
    struct.pack_into("<i", odd_car, 56, -5)
    got = decoder.decode(bytes(odd_car))
    assert got is not None and got.car is None


@given(st.binary(min_size=664, max_size=664) | st.binary(max_size=700))
def test_arbitrary_bytes_never_raise(data: bytes) -> None:
    got = rbr.Decoder().decode(data)
    if got is not None:
        assert_sane(got)

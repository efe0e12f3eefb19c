"""Forza Data Out: every variant by length, gear encodings, bad packets."""

from __future__ import annotations

import struct
from dataclasses import replace

import pytest
from game_packets import assert_sane, forza_packets
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard.sources import forza
from kvdash_dashboard.telemetry import GameState, Telemetry

CAR = Telemetry(
    gear=3,
    rpm=6000.0,
    max_rpm=8000.0,
    speed=25.0,
    fuel=0.5,
    lap_time=31.5,
    last_lap=93.25,
    best_lap=92.5,
    lap=2,
    position=1,
    state=GameState.DRIVING,
    car="2352",
    throttle=0.6,
    distance=4321.0,
)
VARIANTS = {
    "fm7": "Forza Motorsport 7",
    "fh4": "Forza Horizon 4/5/6",
    "fh5": "Forza Horizon 4/5/6",
    "fm2023": "Forza Motorsport (2023)",
}


def rows(dump: dict[int, str], size: int) -> bytes:
    """A packet from the rows of a hex dump; rows not listed are zero."""
    buf = bytearray(size)
    for at, text in dump.items():
        row = bytes.fromhex(text)
        buf[at : at + len(row)] = row
    return bytes(buf)


def decode(data: bytes) -> Telemetry | None:
    return forza.Decoder().decode(data)


def test_worked_examples_fm7_and_horizon() -> None:
    head = {
        0x00: "01 00 00 00 40 e2 01 00 00 00 fa 45 00 00 48 44",
        0x10: "00 80 bb 45",
    }
    fm7 = rows(
        head
        | {
            0xF0: "00 00 00 00 00 00 c8 41",
            0x110: "00 00 00 00 00 00 00 3f 00 00 00 00 00 00 b9 42",
            0x120: "00 80 ba 42 00 00 fc 41 00 00 7a 43 02 00 01 ff",
            0x130: "00 00 00 03 00 00 00",
        },
        311,
    )
    horizon = rows(
        head
        | {
            0x100: "00 00 c8 41",
            0x120: "00 00 00 3f 00 00 00 00 00 00 b9 42 00 80 ba 42",
            0x130: "00 00 fc 41 00 00 7a 43 02 00 01 ff 00 00 00 03",
        },
        324,
    )
    # LapNumber 2: two laps done, the third under way; full throttle; no car.
    seen = replace(CAR, lap=3, throttle=1.0, car=None, distance=0.0)
    assert decode(fm7) == replace(seen, game="Forza Motorsport 7")
    assert decode(horizon) == replace(seen, game="Forza Horizon 4/5/6")


@pytest.mark.parametrize("variant", sorted(VARIANTS))
@pytest.mark.parametrize("gear", [-1, 0, 1, 6, 10])
def test_dash_variants_give_the_car(variant: str, gear: int) -> None:
    sent = replace(CAR, gear=gear, game=VARIANTS[variant])
    (packet,) = forza_packets(sent, variant=variant)
    assert decode(packet) == sent


@pytest.mark.parametrize("variant", sorted(VARIANTS))
def test_race_information_fields(variant: str) -> None:
    # The distance driven in every Dash packet; the track only from Forza
    # Motorsport (2023); nothing else of the race information is sent.
    sent = replace(CAR, distance=10_512.5, track="3800", game=VARIANTS[variant])
    (packet,) = forza_packets(sent, variant=variant)
    got = decode(packet)
    assert got is not None
    assert (got.distance, got.track) == (10_512.5, "3800" if variant == "fm2023" else None)
    assert replace(got, track=sent.track) == sent
    # Before the start line the game counts the distance below zero.
    (packet,) = forza_packets(replace(sent, distance=-40.0, track=None), variant=variant)
    got = decode(packet)
    assert got is not None and (got.distance, got.track) == (None, None)


def test_sled_has_revs_and_speed_only() -> None:
    (packet,) = forza_packets(CAR, variant="sled")
    got = decode(packet)
    assert got is not None
    assert (got.rpm, got.max_rpm, got.speed, got.gear) == (6000.0, 8000.0, 25.0, 0)
    assert got.fuel is None and got.lap is None and got.game == "Forza Motorsport (Sled)"
    assert (got.car, got.throttle) == ("2352", None)
    # The speed is the length of the velocity vector, whatever its direction.
    moving = bytearray(packet)
    struct.pack_into("<3f", moving, 32, 3.0, -4.0, 12.0)
    got = decode(bytes(moving))
    assert got is not None and got.speed == pytest.approx(13.0)


def test_race_off_is_paused_with_a_car_and_menu_without() -> None:
    (packet,) = forza_packets(replace(CAR, state=GameState.PAUSED), variant="fh5")
    got = decode(packet)
    assert got is not None and got.state == GameState.PAUSED
    got = decode(bytes(324))
    assert got is not None and got.state == GameState.MENU
    assert (got.max_rpm, got.lap, got.position, got.last_lap, got.best_lap) == (None,) * 5


def test_bad_packets_are_refused() -> None:
    (packet,) = forza_packets(CAR, variant="fm2023")
    for size in (0, 4, 231, 233, 310, 312, 323, 325, 330, 332, 1024):
        assert decode(packet[:size].ljust(size, b"\0")) is None, size
    for variant in ("sled", "fm7", "fh5", "fm2023"):
        (whole,) = forza_packets(CAR, variant=variant)
        assert decode(whole[:-1]) is None and decode(whole + b"\0") is None
    nan_rpm = bytearray(packet)
    struct.pack_into("<f", nan_rpm, 16, float("nan"))
    assert decode(bytes(nan_rpm)) is None
    inf_speed = bytearray(packet)
    struct.pack_into("<f", inf_speed, 244, float("inf"))
    assert decode(bytes(inf_speed)) is None
    for raw_gear in (12, 255):
        absurd = bytearray(packet)
        absurd[307] = raw_gear
        assert decode(bytes(absurd)) is None


@given(st.binary(max_size=400))
def test_arbitrary_bytes_never_raise(data: bytes) -> None:
    got = decode(data)
    if got is not None:
        assert_sane(got)


@given(
    st.sampled_from(["sled", "fm7", "fh5", "fm2023"]),
    st.lists(st.tuples(st.integers(0, 330), st.binary(min_size=1, max_size=8)), max_size=6),
)
def test_damaged_packets_never_raise(variant: str, damage: list[tuple[int, bytes]]) -> None:
    (packet,) = forza_packets(CAR, variant=variant)
    buf = bytearray(packet)
    for at, junk in damage:
        buf[at : at + len(junk)] = junk
    got = decode(bytes(buf[: len(packet)]))
    if got is not None:
        assert_sane(got)


def test_worked_example_forza_horizon_6() -> None:
    # Forza Horizon 6 sends the 324 bytes of Horizon 4 and 5, its 12 Horizon bytes named.
    packet = rows(
        {
            0: "01 00 00 00 40 e2 01 00 00 00 fa 45 00 00 61 44 00 20 cb 45",
            212: "f7 08 00 00 05 00 00 00 2c 03 00 00 02 00 00 00 00 00 00 00",
            232: "03 00 00 00 00 00 00 00 00 00 00 00",
            256: "00 00 48 42",
            288: "00 00 00 3f",
            296: "00 00 b7 42 00 80 b8 42 00 00 48 41 00 00 00 00",
            312: "01 00 02 ff 00 00 00 04 00 00 00",
        },
        324,
    )
    got = decode(packet)
    assert got is not None and got.game == "Forza Horizon 4/5/6"
    assert (got.gear, got.rpm, got.max_rpm, got.speed, got.fuel) == (4, 6500.0, 8000.0, 50.0, 0.5)
    assert (got.best_lap, got.last_lap, got.lap_time, got.position) == (91.5, 92.25, 12.5, 2)

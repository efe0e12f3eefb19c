"""Wreckfest 2: the Main packet, the packets for every car, later revisions."""

from __future__ import annotations

import struct
from dataclasses import replace

import pytest
from game_packets import assert_sane
from game_packets_newer import wreckfest2_packets
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard.sources import wreckfest2
from kvdash_dashboard.telemetry import GameState, Light, Telemetry

CAR = Telemetry(
    gear=3,
    rpm=5200.0,
    max_rpm=7000.0,
    speed=30.0,
    lap_time=31.5,
    last_lap=61.234,
    best_lap=60.5,
    lap=2,
    position=3,
    lights=Light.TC,
    state=GameState.DRIVING,
    game=wreckfest2.GAME,
    car="car04:default",
    throttle=0.75,
)


def decode_all(packets: list[bytes]) -> Telemetry | None:
    decoder = wreckfest2.Decoder()
    got = None
    for packet in packets:
        got = decoder.decode(packet)
    return got


def test_worked_example() -> None:
    rows = {
        0: "70 6b 72 6f 00 20 e8 fd 00 00 60 ea 00 00 00 00",
        16: "00 00 02 00 03 57",
        56: "32 ef 00 00 54 ec 00 00",
        116: "63 61 72 30 34 3a 64 65 66 61 75 6c 74 00",
        350: "02 00 02 01 00",
        410: "00 04 05 00 00 f0 41",
        434: "01 50 14 00 00 58 1b 00 00 64 19 00 00 84 03 00 00",
        1046: "05 00",
        1063: "03",
        1090: "0f 00",
    }
    buf = bytearray(1218)
    for at, text in rows.items():
        row = bytes.fromhex(text)
        buf[at : at + len(row)] = row
    assert decode_all([bytes(buf)]) == replace(CAR, lap_time=0.0, throttle=0.0)


@pytest.mark.parametrize(
    "change",
    [
        {},
        {"gear": -1, "lights": Light.ABS | Light.FLAG | Light.BLUE},
        {"gear": 0, "lights": Light.ENGINE | Light.FLAG, "last_lap": None, "lap": None},
        {"state": GameState.PAUSED, "position": None},
        {"state": GameState.REPLAY},
        {"state": GameState.MENU, "car": None},
    ],
)
def test_main_packet_gives_the_car(change: dict[str, object]) -> None:
    car = replace(CAR, **change)  # type: ignore[arg-type]
    assert decode_all(wreckfest2_packets(car, car_id=car.car or "")) == car


def test_later_revisions_and_other_packets() -> None:
    others, main = wreckfest2_packets(CAR, extra=40)  # a later revision: longer
    decoder = wreckfest2.Decoder()
    assert decoder.decode(others) == Telemetry(game=wreckfest2.GAME)  # nothing yet
    assert decoder.decode(main) == CAR
    assert decoder.decode(others) == CAR  # the participants packet keeps the car
    bad = [main[:1217], others[:1230], b"prko" + main[4:], main[:4] + b"\x07" + main[5:]]
    absurd_gear = bytearray(main)
    absurd_gear[411] = 12
    for packet in [*bad, bytes(absurd_gear), b"", main[:13]]:
        assert decoder.decode(packet) is None
    nan = bytearray(main)
    struct.pack_into("<f", nan, 413, float("nan"))
    assert decoder.decode(bytes(nan)) is None


@given(st.binary(max_size=1300).map(lambda b: b"pkro" + b))
def test_arbitrary_bytes_never_raise(data: bytes) -> None:
    got = wreckfest2.Decoder().decode(data.ljust(1218, b"\0") if len(data) > 600 else data)
    if got is not None:
        assert_sane(got)


@given(st.lists(st.tuples(st.integers(0, 1217), st.binary(min_size=1, max_size=8)), max_size=8))
def test_damaged_packets_never_raise(damage: list[tuple[int, bytes]]) -> None:
    buf = bytearray(wreckfest2_packets(CAR)[1])
    for at, junk in damage:
        buf[at : at + len(junk)] = junk
    got = decode_all([bytes(buf[:1218])])
    if got is not None:
        assert_sane(got)

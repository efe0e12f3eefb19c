"""Project Motor Racing: packets per car, the player's paired by its id."""

from __future__ import annotations

from dataclasses import replace

import pytest
from game_packets import assert_sane
from game_packets_newer import pmr_packets, pmr_race_info, pmr_race_state, pmr_vehicle
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard.sources import pmr
from kvdash_dashboard.telemetry import GameState, Light, Telemetry

CAR = Telemetry(
    gear=3,
    rpm=6000.0,
    max_rpm=8000.0,
    speed=25.0,
    fuel=0.5,
    lap_time=83.5,
    best_lap=92.5,
    lap=4,
    position=2,
    lights=Light.TC | Light.FLAG | Light.BLUE,
    state=GameState.DRIVING,
    game=pmr.GAME,
    car="GT4",
    throttle=0.75,
)


def decode_all(packets: list[bytes]) -> Telemetry | None:
    decoder = pmr.Decoder()
    got = None
    for packet in packets:
        got = decoder.decode(packet)
    return got


def test_worked_example() -> None:
    state = bytes.fromhex(
        "01 01 00 07 00 00 00 01 03 47 54 34 03 41 6e 6e 00 00 04 00 00 00 02 00 00 00 00 00 0d 42"
        "00 00 b9 42 cd cc cc 3e 01 00 00 00 01 00 00 f4 41 00 00 00 00 02 00 00 00"
    )
    rows = {
        0: "02 02 00 07 00 00 00 04",
        616: "00 c0 c1 45",
        644: "00 00 18 42",
        728: "00 01 00 00 01 00 00 06",
        736: "00 80 ed 45 00 00 7a 45",
        784: "03",
        821: "03 00 00 00",
        960: "04 06 01 00",
    }
    telemetry = bytearray(964)
    for at, text in rows.items():
        row = bytes.fromhex(text)
        telemetry[at : at + len(row)] = row
    got = decode_all([state, bytes(telemetry)])
    assert got == Telemetry(
        gear=3,
        rpm=6200.0,
        lap_time=35.25,
        best_lap=92.5,
        lap=2,
        position=4,
        lights=Light.TC | Light.FLAG | Light.YELLOW,
        game=pmr.GAME,
        car="GT4",
        throttle=0.0,
    )


@pytest.mark.parametrize("gear", [-1, 0, 1, 7])
def test_the_players_car_among_others(gear: int) -> None:
    sent = replace(CAR, gear=gear)
    packets = pmr_packets(sent)
    assert decode_all(packets) == sent
    # Race states first, telemetry after: the same car.
    assert decode_all(packets[:1] + packets[4:] + packets[1:4]) == sent


def test_states_lights_and_missing_values() -> None:
    car = replace(CAR, lights=Light.ABS | Light.PIT_LIMITER | Light.FLAG | Light.YELLOW)
    assert decode_all(pmr_packets(car)) == car
    empty = replace(CAR, fuel=None, max_rpm=None, lap=None, position=None, best_lap=None)
    assert decode_all(pmr_packets(empty)) == empty
    assert decode_all([*pmr_packets(CAR), pmr_race_info(state=0)]) == replace(
        CAR, state=GameState.MENU
    )
    stopped = decode_all([*pmr_packets(CAR), b"\x03\x01\x00"])
    assert stopped is not None and stopped.state == GameState.MENU
    # Before any race state says which car is the player's, no car.
    assert decode_all([pmr_vehicle(CAR, 7)]) == Telemetry(game=pmr.GAME)


def test_versions_and_sizes() -> None:
    decoder = pmr.Decoder()
    state, vehicle = pmr_race_state(CAR, 7, True), pmr_vehicle(CAR, 7)
    # Fields added at the end of a known version are skipped.
    assert decoder.decode(state + b"\x01\x02\x03\x04\x05") is not None
    assert decoder.decode(vehicle + bytes(9)) == replace(CAR, state=GameState.UNKNOWN)
    unknown = [
        vehicle[:1] + b"\x03\x00" + vehicle[3:],  # telemetry version 3
        state[:1] + b"\x02\x00" + state[3:],  # race state version 2 moved fields
        pmr_race_info()[:1] + b"\x02\x00" + pmr_race_info()[3:],
        b"\x04\x01\x00",  # no such packet type
        b"\x02\x02",
        vehicle[:-1],
        state[:40],
        vehicle[:7] + b"\xff" + vehicle[8:],  # 255 wheels: runs past the end
        pmr_vehicle(replace(CAR, gear=11), 7),
    ]
    for packet in unknown:
        assert decoder.decode(packet) is None, packet[:3]


packet_heads = st.sampled_from([b"\x00\x01\x00", b"\x01\x01\x00", b"\x02\x02\x00", b"\x03\x01\x00"])


@given(st.lists(st.tuples(packet_heads, st.binary(max_size=1000)), max_size=6))
def test_arbitrary_bytes_never_raise(packets: list[tuple[bytes, bytes]]) -> None:
    got = decode_all([head + body for head, body in packets])
    if got is not None:
        assert_sane(got)


@given(
    st.integers(0, 6),
    st.lists(st.tuples(st.integers(0, 1000), st.binary(min_size=1, max_size=8)), max_size=6),
)
def test_damaged_packets_never_raise(which: int, damage: list[tuple[int, bytes]]) -> None:
    packets = pmr_packets(CAR)
    buf = bytearray(packets[which])
    for at, junk in damage:
        buf[at : at + len(junk)] = junk
    packets[which] = bytes(buf)
    got = decode_all(packets)
    if got is not None:
        assert_sane(got)

"""EA SPORTS WRC, Wreckfest 2, Richard Burns Rally (NGP), Project Motor
Racing: the player's car among the decoys, versions and sizes, port 20777
shared with F1 and the older Codemasters format, and any bytes at all."""

from __future__ import annotations

import struct
from collections.abc import Callable
from dataclasses import replace
from typing import Any

import pytest
from game_packets import assert_sane, codemasters_packets, f1_packets
from game_packets_newer import (
    pmr_packets,
    pmr_race_info,
    pmr_race_state,
    pmr_vehicle,
    rbr_packets,
    wrc_packets,
    wreckfest2_packets,
)
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard.sources import FAMILIES, Decoder, pmr, rbr, wrc, wreckfest2
from kvdash_dashboard.sources.channels import Channel
from kvdash_dashboard.telemetry import GameState, Light, Telemetry

D = GameState.DRIVING
CARS = {
    "wrc": Telemetry(gear=3, rpm=6000.0, max_rpm=8000.0, rev_lights=0.5, speed=25.0,
                     lap_time=95.25, state=D, game=wrc.GAME, throttle=0.75),
    "wreckfest2": Telemetry(gear=3, rpm=5200.0, max_rpm=7000.0, speed=30.0, lap_time=31.5,
                            last_lap=61.234, best_lap=60.5, lap=2, position=3, lights=Light.TC,
                            state=D, game=wreckfest2.GAME, car="car04:default", throttle=0.75),
    "rbr": Telemetry(gear=3, rpm=6800.0, speed=25.0, lap_time=83.5, state=D, game=rbr.GAME,
                     car="7", throttle=0.75),
    "pmr": Telemetry(gear=3, rpm=6000.0, max_rpm=8000.0, speed=25.0, fuel=0.5, lap_time=83.5,
                     best_lap=92.5, lap=4, position=2, lights=Light.TC | Light.FLAG | Light.BLUE,
                     state=D, game=pmr.GAME, car="GT4", throttle=0.75, fuel_amount=50.0,
                     fuel_capacity=100.0, in_pit=False, tc_level=0, abs_level=0),
}  # fmt: skip
BUILDERS: dict[str, Callable[..., list[bytes]]] = {
    "wrc": wrc_packets,
    "wreckfest2": wreckfest2_packets,
    "rbr": rbr_packets,
    "pmr": pmr_packets,
}


def decode_all(name: str, packets: list[bytes]) -> Telemetry | None:
    decoder: Decoder = FAMILIES[name].decoder()
    got = None
    for packet in packets:
        got = decoder.decode(packet)
    return got


@pytest.mark.parametrize(
    "name, change, build",
    [
        ("wrc", {}, {}),
        ("wrc", {"gear": -1, "rev_lights": None}, {"neutral": 11, "reverse": 12}),
        ("wrc", {"gear": 0}, {"neutral": 11, "reverse": 12}),
        ("wreckfest2", {}, {}),
        ("wreckfest2", {"gear": -1, "lights": Light.ABS | Light.FLAG | Light.BLUE}, {}),
        ("wreckfest2", {"gear": 0, "lights": Light.ENGINE | Light.FLAG, "lap": None}, {}),
        ("wreckfest2", {"state": GameState.PAUSED, "last_lap": None, "position": None}, {}),
        ("wreckfest2", {"state": GameState.REPLAY}, {}),
        ("wreckfest2", {"state": GameState.MENU, "car": None}, {"car": ""}),
        ("rbr", {"gear": -1, "car": "0"}, {"car": 0}),
        ("rbr", {"gear": 0, "car": None}, {"car": -5}),
        ("pmr", {}, {}),
        ("pmr", {"gear": -1, "lights": Light.ABS | Light.PIT_LIMITER | Light.YELLOW | Light.FLAG},
         {}),
        ("pmr", {"gear": 0, "fuel": None, "fuel_amount": None, "fuel_capacity": None,
                 "max_rpm": None, "lap": None, "position": None}, {}),
    ],
)  # fmt: skip
def test_the_players_car(name: str, change: dict[str, Any], build: dict[str, Any]) -> None:
    car = replace(CARS[name], **change)
    assert decode_all(name, BUILDERS[name](car, **build)) == car


@pytest.mark.parametrize(
    "name, fields",
    [
        ("wrc", {"lap_distance": 1234.5}),
        ("wreckfest2", {"lap_fraction": 0.625, "track": "track01_4", "tc_level": 1,
                        "abs_level": 2}),
        ("pmr", {"lap_fraction": 0.375, "in_pit": True, "track": "Spa/GP", "tc_level": 2,
                 "abs_level": 3, "fuel": 0.25, "fuel_amount": 20.0, "fuel_capacity": 80.0}),
    ],
)  # fmt: skip
def test_race_information_fields(name: str, fields: dict[str, Any]) -> None:
    # Each field follows the packets, from "none" (before the start line,
    # no track, levels the game does not have) to a value and back.
    car, bare = replace(CARS[name], **fields), BUILDERS[name](CARS[name])
    assert decode_all(name, bare + BUILDERS[name](car)) == car
    assert decode_all(name, BUILDERS[name](car) + bare) == CARS[name]


def test_what_comes_from_several_packets() -> None:
    car = CARS["pmr"]
    packets = pmr_packets(car)
    info, telemetry, states = packets[0], packets[1:4], packets[4:]
    assert decode_all("pmr", [info, *states, *telemetry]) == car  # either order pairs them
    assert decode_all("pmr", telemetry) == Telemetry(game=pmr.GAME)  # no player named yet
    for ending in (pmr_race_info(state=0), b"\x03\x01\x00"):  # inactive, stopped
        assert decode_all("pmr", [*packets, ending]) == replace(car, state=GameState.MENU)
    others, main = wreckfest2_packets(CARS["wreckfest2"])
    assert decode_all("wreckfest2", [others]) == Telemetry(game=wreckfest2.GAME)
    assert decode_all("wreckfest2", [main, others]) == CARS["wreckfest2"]
    decoder = rbr.Decoder()
    for steps, state in ((5, D), (5, GameState.PAUSED), (6, D)):  # steps stand still: paused
        got = decoder.decode(rbr_packets(CARS["rbr"], steps=steps)[0])
        assert got is not None and got.state == state


def _patch(packet: bytes, at: int, fmt: str, *values: object) -> bytes:
    buf = bytearray(packet)
    struct.pack_into("<" + fmt, buf, at, *values)
    return bytes(buf)


def test_versions_and_sizes() -> None:
    (wrc_packet,) = wrc_packets(CARS["wrc"])
    wf_others, wf_main = wreckfest2_packets(CARS["wreckfest2"])
    (rbr_packet,) = rbr_packets(CARS["rbr"])
    state, vehicle = pmr_race_state(CARS["pmr"], 7, True), pmr_vehicle(CARS["pmr"], 7)
    # Where later versions only add at the end, longer packets are read.
    assert decode_all("wreckfest2", wreckfest2_packets(CARS["wreckfest2"], extra=40)) is not None
    assert decode_all("pmr", [state + b"\x01\x02\x03\x04\x05", vehicle + bytes(9)]) is not None
    refused = {
        "wrc": [wrc_packet[:-1], wrc_packet + b"\0", _patch(wrc_packet, 37, "B", 11),
                _patch(wrc_packet, 38, "B", 10), _patch(wrc_packet, 193, "f", float("nan"))],
        "wreckfest2": [wf_main[:1217], wf_others[:1230], b"prko" + wf_main[4:],
                       _patch(wf_main, 4, "B", 7), _patch(wf_main, 411, "B", 12),
                       _patch(wf_main, 413, "f", float("nan")), b"", wf_main[:13]],
        "rbr": [rbr_packet[:-1], rbr_packet + b"\0", _patch(rbr_packet, 44, "i", 12),
                _patch(rbr_packet, 44, "i", -1), _patch(rbr_packet, 136, "f", float("inf"))],
        "pmr": [_patch(vehicle, 1, "H", 3), _patch(state, 1, "H", 2),
                _patch(pmr_race_info(), 1, "H", 2), b"\x04\x01\x00", b"\x02\x02", vehicle[:-1],
                state[:40], _patch(vehicle, 7, "B", 255),
                pmr_vehicle(replace(CARS["pmr"], gear=11), 7)],
    }  # fmt: skip
    for name, packets in refused.items():
        for packet in packets:
            assert decode_all(name, [packet]) is None, (name, packet[:8])


def test_port_20777_is_shared_by_three_formats() -> None:
    families = [f for f in FAMILIES.values() if f.port == 20777]
    assert [f.name for f in families] == ["codemasters", "wrc", "f1"]
    channel = Channel(families, "udp:20777")
    # F1 24's Motion Ex packet is as long as WRC's; WRC's counter may read as a year.
    motion_ex = struct.pack("<HBBBBB", 2024, 24, 1, 2, 1, 13).ljust(237, b"\0")
    sent = {
        "wrc": wrc_packets(CARS["wrc"]) + wrc_packets(CARS["wrc"], uid=2024),
        "f1": f1_packets(CARS["wrc"], season=2024) + [motion_ex],
        "codemasters": codemasters_packets(CARS["wrc"], 3) + codemasters_packets(CARS["wrc"], 1),
    }
    for name, packets in sent.items():
        for packet in packets:
            heard = channel.decode(packet)
            assert heard is not None and heard.family.name == name, (name, len(packet))


heads = st.sampled_from([b"", b"pkro", b"\x00\x01\x00", b"\x01\x01\x00", b"\x02\x02\x00"])


@pytest.mark.parametrize("name", sorted(BUILDERS))
@given(packets=st.lists(st.tuples(heads, st.binary(max_size=1300)), max_size=4))
def test_arbitrary_bytes_never_raise(name: str, packets: list[tuple[bytes, bytes]]) -> None:
    # Some at exactly the lengths the fixed formats have.
    sized = [(h + b).ljust(n, b"\0")[:n] if n else h + b for (h, b), n in
             zip(packets, [237, 664, 1218, 0], strict=False)]  # fmt: skip
    got = decode_all(name, sized)
    if got is not None:
        assert_sane(got)


@pytest.mark.parametrize("name", sorted(BUILDERS))
@given(st.lists(st.tuples(st.integers(0, 1300), st.binary(min_size=1, max_size=8)), max_size=8))
def test_damaged_packets_never_raise(name: str, damage: list[tuple[int, bytes]]) -> None:
    packets = [bytearray(p) for p in BUILDERS[name](CARS[name])]
    for n, (at, junk) in enumerate(damage):
        packet = packets[n % len(packets)]
        at %= len(packet)
        packet[at : at + len(junk)] = junk[: len(packet) - at]
    got = decode_all(name, [bytes(p) for p in packets])
    if got is not None:
        assert_sane(got)

"""EA SPORTS WRC: the built-in "wrc" structure, and port 20777 shared with F1
and the older Codemasters format."""

from __future__ import annotations

import struct
from dataclasses import replace

import pytest
from game_packets import assert_sane, codemasters_packets, f1_packets
from game_packets_newer import wrc_packets
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard.inputs import Channel
from kvdash_dashboard.sources import FAMILIES, wrc
from kvdash_dashboard.telemetry import GameState, Telemetry

CAR = Telemetry(
    gear=3,
    rpm=6000.0,
    max_rpm=8000.0,
    rev_lights=0.5,
    speed=25.0,
    lap_time=95.25,
    state=GameState.DRIVING,
    game=wrc.GAME,
    throttle=0.75,
)


def test_worked_example() -> None:
    rows = {
        0: "e8 03 00 00 00 00 00 00",
        24: "00 00 00 3f 00 40 9c 45 00 c0 da 45 01 03 00 0a 06",
        41: "00 00 c8 41 00 00 cc 41",
        185: "00 00 fa 45 00 00 61 44 00 80 bb 45",
        217: "00 80 be 42 00 00 00 00 00 4a 93 40 00 00 00 00 00 88 c3 40",
    }
    buf = bytearray(237)
    for at, text in rows.items():
        row = bytes.fromhex(text)
        buf[at : at + len(row)] = row
    assert wrc.decode(bytes(buf)) == replace(CAR, speed=25.5, throttle=0.0)


@pytest.mark.parametrize("gear", [-1, 0, 1, 6])
@pytest.mark.parametrize("neutral, reverse", [(0, 10), (11, 12)])
def test_gears_by_the_indices_the_packet_names(gear: int, neutral: int, reverse: int) -> None:
    (packet,) = wrc_packets(replace(CAR, gear=gear), neutral=neutral, reverse=reverse)
    assert wrc.decode(packet) == replace(CAR, gear=gear)


def test_no_shift_lights_and_bad_packets() -> None:
    (packet,) = wrc_packets(replace(CAR, rev_lights=None))
    got = wrc.decode(packet)
    assert got is not None and got.rev_lights is None
    (packet,) = wrc_packets(CAR)
    assert wrc.decode(packet[:-1]) is None and wrc.decode(packet + b"\0") is None
    for at, value in ((37, b"\x0c"), (38, b"\x0a"), (193, struct.pack("<f", float("nan")))):
        bad = bytearray(packet)
        bad[at : at + len(value)] = value
        assert wrc.decode(bytes(bad)) is None, at


def test_port_20777_is_shared_by_three_formats() -> None:
    families = [f for f in FAMILIES.values() if f.port == 20777]
    assert [f.name for f in families] == ["codemasters", "wrc", "f1"]
    channel = Channel(families, "udp:20777")
    # F1 24's Motion Ex packet is as long as WRC's.
    motion_ex = bytearray(237)
    struct.pack_into("<HBBBBB", motion_ex, 0, 2024, 24, 1, 2, 1, 13)
    sent = {
        "wrc": wrc_packets(CAR) + wrc_packets(CAR, uid=2024),
        "f1": f1_packets(CAR, season=2024) + [bytes(motion_ex)],
        "codemasters": codemasters_packets(CAR, extradata=3) + codemasters_packets(CAR, 1),
    }
    for name, packets in sent.items():
        for packet in packets:
            heard = channel.decode(packet)
            assert heard is not None and heard.family.name == name, (name, len(packet))


@given(st.binary(min_size=237, max_size=237) | st.binary(max_size=300))
def test_arbitrary_bytes_never_raise(data: bytes) -> None:
    got = wrc.decode(data)
    if got is not None:
        assert_sane(got)


@given(st.lists(st.tuples(st.integers(0, 236), st.binary(min_size=1, max_size=8)), max_size=6))
def test_damaged_packets_never_raise(damage: list[tuple[int, bytes]]) -> None:
    buf = bytearray(wrc_packets(CAR)[0])
    for at, junk in damage:
        buf[at : at + len(junk)] = junk
    got = wrc.decode(bytes(buf[:237]))
    if got is not None:
        assert_sane(got)

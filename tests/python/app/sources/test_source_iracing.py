"""iRacing: a self-describing mapping built from the layout, decoded."""

from __future__ import annotations

import dataclasses
import struct

import pytest
from game_pages import (
    RACE,
    SAMPLE,
    assert_carries,
    check_sane,
    decoded,
    iracing_pages,
    snapshot,
)
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard.sources import iracing
from kvdash_dashboard.sources.shm import BytesView, Gone
from kvdash_dashboard.telemetry import GameState, Light

CARRIED = ("gear", "rpm", "max_rpm", "speed", "fuel", "lap_time", "last_lap", "best_lap", "delta",
           "lap", "position", "state")  # fmt: skip
PAGE = "IRSDKMemMapFileName"


@pytest.mark.parametrize("newest", [0, 1, 2])
def test_newest_row_decodes(newest: int) -> None:
    t = decoded(iracing, iracing_pages(SAMPLE, newest=newest))
    assert_carries(t, SAMPLE, CARRIED)
    assert t.game == "iRacing"
    # Shift lights from 60 % to 95 % of the 8000 red line; shift at 90 %.
    assert t.rev_lights == pytest.approx((6000 - 4800) / (7600 - 4800))
    assert t.lights == SAMPLE.lights
    high = decoded(
        iracing, iracing_pages(dataclasses.replace(SAMPLE, rpm=7300.0, lights=Light.NONE))
    )
    assert high.lights == Light.SHIFT


def test_race_information() -> None:
    t = decoded(iracing, iracing_pages(RACE))
    assert_carries(t, RACE, ("fuel_amount", "fuel_capacity", "lap_distance", "lap_fraction",
                             "in_pit", "track", "tc_level", "abs_level", "brake_bias",
                             "engine_map"))  # fmt: skip
    assert t.lap_valid is None  # not sent
    # A brake-bias offset (a car without a share) is no share to the front.
    offset = decoded(iracing, iracing_pages(dataclasses.replace(RACE, brake_bias=2.0)))
    assert offset.brake_bias is None
    # Recordings made before the race information still play, without it.
    data = snapshot(iracing, iracing_pages(RACE)) or b""
    size = iracing.HEAD.size + iracing.VALUE.size * (iracing.VARIABLES.index("Throttle") + 1)
    old = iracing.IracingDecoder().decode(data[:size])
    assert old is not None and old.gear == RACE.gear
    assert (old.fuel_amount, old.track, old.in_pit, old.tc_level) == (None,) * 4


def test_states_and_missing_values() -> None:
    assert decoded(iracing, iracing_pages(SAMPLE, status=0)).state == GameState.MENU
    replay = dataclasses.replace(
        SAMPLE, state=GameState.REPLAY, delta=None, lap=None, position=None
    )
    t = decoded(iracing, iracing_pages(replay))
    assert (t.state, t.delta, t.lap, t.position) == (GameState.REPLAY, None, None, None)
    # A sim without the shift-light variables: the deprecated percentage.
    page = bytearray(iracing_pages(dataclasses.replace(SAMPLE, rev_lights=0.25))[PAGE])
    for j in range(struct.unpack_from("<i", page, 24)[0]):
        name_at = 112 + 144 * j + 16
        if page[name_at : name_at + 11] == b"PlayerCarSL":
            page[name_at] = ord("X")
    page[page.find(b"DriverCarRedLine")] = ord("X")
    t = decoded(iracing, {PAGE: bytes(page)})
    assert (t.rev_lights, t.max_rpm, t.gear) == (0.25, None, 3)


def test_worked_example() -> None:
    page = bytearray(0x60008)
    page[0:0x60] = bytes.fromhex(
        "02000000010000003c0000000700000000000200 00b00200 02000000 70000000".replace(" ", "")
        + "03000000080000000000000000000000e903000000000400 0000000000000000".replace(" ", "")
        + "ea03000000000500 0000000000000000".replace(" ", "")
        + "e803000000000600 0000000000000000".replace(" ", "")
    )
    page[0x70:0x90] = bytes.fromhex("0200000000000000010000000000000047656172") + bytes(12)
    struct.pack_into("<iii4x32s", page, 0x100, 4, 4, 1, b"RPM")
    page[0x50000:0x50008] = bytes.fromhex("03000000 0080bb45".replace(" ", ""))
    page[0x40000:0x40008] = struct.pack("<if", 1, 1000.0)
    t = decoded(iracing, {PAGE: bytes(page)})
    assert (t.gear, t.rpm, t.max_rpm, t.state) == (3, 6000.0, None, GameState.DRIVING)


def test_bad_mappings_and_snapshots() -> None:
    page = iracing_pages(SAMPLE)[PAGE]
    with pytest.raises(Gone):
        snapshot(iracing, {PAGE: page[:100]})
    with pytest.raises(Gone):
        snapshot(iracing, {PAGE: bytes(len(page))})  # created, not yet filled
    data = snapshot(iracing, {PAGE: page})
    assert data is not None
    decoder = iracing.IracingDecoder()
    assert decoder.decode(data[:-1]) is None
    no_gear = bytearray(data)
    no_gear[iracing.HEAD.size] = iracing.ABSENT
    assert decoder.decode(bytes(no_gear)) is None
    bad_type = bytearray(data)
    bad_type[iracing.HEAD.size] = 9
    assert decoder.decode(bytes(bad_type)) is None


class RowWriter(BytesView):
    """The sim writing a new row into the newest buffer during the copy."""

    def __init__(self, data: bytes, writes: int) -> None:
        super().__init__(data)
        self.writes = writes

    def read(self, offset: int, length: int) -> bytes:
        if offset == 48 + 16 and length == 4 and self.writes > 0:  # re-reading row 1's tick
            self.writes -= 1
            page = bytearray(self.data)
            struct.pack_into("<i", page, 48 + 16, struct.unpack_from("<i", page, 48 + 16)[0] + 3)
            self.data = bytes(page)
        return super().read(offset, length)


def test_torn_row_is_copied_again() -> None:
    page = iracing_pages(SAMPLE, newest=1)[PAGE]
    take = iracing.take_factory()
    first = take([RowWriter(page, writes=1)])
    assert first is not None and iracing.IracingDecoder().decode(first) is not None
    assert iracing.take_factory()([RowWriter(page, writes=10**6)]) is None


def test_new_rows_and_sessions_are_seen() -> None:
    take = iracing.take_factory()
    view = BytesView(iracing_pages(SAMPLE, tick=1000)[PAGE])
    first = take([view])
    assert take([view]) == first  # nothing new
    view.data = iracing_pages(dataclasses.replace(SAMPLE, gear=4), tick=1001)[PAGE]
    second = take([view])
    assert second is not None and second != first
    view.data = iracing_pages(dataclasses.replace(SAMPLE, max_rpm=9000.0), tick=1002,
                              session_update=8)[PAGE]  # fmt: skip
    third = take([view])
    assert third is not None
    t = iracing.IracingDecoder().decode(third)
    assert t is not None and t.max_rpm == 9000.0


@given(st.binary(max_size=300))
def test_any_bytes(data: bytes) -> None:
    t = iracing.IracingDecoder().decode(data)
    if t is not None:
        check_sane(t)


@given(st.integers(0, iracing.SNAPSHOT_SIZE - 1), st.binary(min_size=1, max_size=8))
def test_overwritten_snapshots(at: int, junk: bytes) -> None:
    data = bytearray(snapshot(iracing, iracing_pages(SAMPLE)) or b"")
    data[at : at + len(junk)] = junk
    t = iracing.IracingDecoder().decode(bytes(data))
    if t is not None:
        check_sane(t)


@given(st.integers(0, 4000), st.binary(min_size=1, max_size=16))
def test_overwritten_mappings(at: int, junk: bytes) -> None:
    page = bytearray(iracing_pages(SAMPLE)[PAGE])
    page[at : at + len(junk)] = junk
    try:
        data = snapshot(iracing, {PAGE: bytes(page)})
    except Gone:
        return
    t = iracing.IracingDecoder().decode(data or b"")
    if t is not None:
        check_sane(t)


def test_the_players_car_and_throttle() -> None:
    car = dataclasses.replace(SAMPLE, car="dallarap217", throttle=0.75)
    t = decoded(iracing, iracing_pages(car, player=7))
    assert t.car == "dallarap217" and t.throttle == pytest.approx(0.75)
    assert decoded(iracing, iracing_pages(car, player=1)).car == "dallarap217"


SESSION = b"DriverInfo:\n DriverCarIdx: 9\n DriverCarRedLine: 7250.000\n Drivers:\n" + b"".join(
    b" - CarIdx: %d\n   CarPath: car%d\n" % (i, i) for i in range(12)
)
MIB4 = 4 << 20


@pytest.mark.parametrize(
    "text, redline, car",
    [
        (b"---\nSessionInfo:\n" + b" a: 1\n" * (MIB4 // 6) + SESSION, 7250.0, b"car9"),
        (b"DriverInfo:\n" + b" a: 1\n" * (MIB4 // 6), 0.0, b""),  # quadratic for a lazy .*?
        (b"DriverInfo:\n" + b" " * MIB4 + b"DriverCarRedLine: 1\n", 0.0, b""),
        (SESSION.replace(b"car9", b"x" * 80), 7250.0, b""),  # no folder name
        (SESSION.replace(b"   CarPath: car9\n", b""), 7250.0, b""),  # not the next entry's
    ],
)
def test_session_text_read_in_linear_time(text: bytes, redline: float, car: bytes) -> None:
    session = iracing.parse_session(text)
    assert (session.redline, session.car) == (redline, car)

"""Automobilista 2 and Project CARS 2: ``$pcars2$`` pages, decoded."""

from __future__ import annotations

import dataclasses
import struct

import pytest
from game_pages import RACE, SAMPLE, ams2_pages, assert_carries, check_sane, decoded, snapshot
from game_structs import AMS2
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard.sources import ams2
from kvdash_dashboard.sources.shm import BytesView, Gone
from kvdash_dashboard.telemetry import GameState, Light, Telemetry

CARRIED = ("gear", "rpm", "max_rpm", "speed", "fuel", "lap_time", "last_lap", "best_lap", "lap",
           "position", "state", "car", "throttle")  # fmt: skip
CAR = dataclasses.replace(SAMPLE, car="Formula Ultimate Gen2", throttle=0.75)


@pytest.mark.parametrize("version", [14, 10])
def test_race_information(version: int) -> None:
    t = decoded(ams2, ams2_pages(RACE, version=version))
    assert_carries(t, RACE, ("fuel_amount", "fuel_capacity", "lap_distance", "in_pit",
                             "lap_valid", "track"))  # fmt: skip
    # The TC/ABS settings came with version 11; no share along the lap, no
    # bias whose end is said, no engine map.
    levels = (RACE.tc_level, RACE.abs_level) if version >= 11 else (None, None)
    assert (t.tc_level, t.abs_level) == levels
    assert (t.lap_fraction, t.brake_bias, t.engine_map) == (None, None, None)
    plain = dataclasses.replace(RACE, in_pit=False, lap_valid=True, track="interlagos")
    t = decoded(ams2, ams2_pages(plain, version=version))
    assert (t.in_pit, t.lap_valid, t.track) == (False, True, "interlagos")
    # Recordings made before the race information still play, without it.
    old = ams2.Ams2Decoder().decode((snapshot(ams2, ams2_pages(RACE)) or b"")[:136])
    assert old is not None and old.gear == RACE.gear
    assert (old.in_pit, old.lap_valid, old.track, old.fuel_capacity) == (None,) * 4


@pytest.mark.parametrize(
    "version, name",
    [(14, "Automobilista 2"), (8, "Project CARS 2 / 3"), (11, "AMS2 / Project CARS 2")],
)
def test_each_version_decodes(version: int, name: str) -> None:
    t = decoded(ams2, ams2_pages(CAR, version=version))
    assert_carries(t, CAR, CARRIED)
    assert (t.game, t.delta, t.lights) == (name, None, CAR.lights | Light.YELLOW)
    other = dataclasses.replace(SAMPLE, gear=-1, lights=Light.ENGINE, state=GameState.REPLAY)
    t = decoded(ams2, ams2_pages(other, version=version, viewed=0))
    assert (t.gear, t.lights, t.state, t.lap, t.position) == (
        -1,
        Light.ENGINE,
        GameState.REPLAY,
        4,
        2,
    )


def test_a_car_in_fourth_and_the_flags() -> None:
    # The case the old offsets showed as gear "-", speed 0, fuel 100.
    fourth = Telemetry(gear=4, rpm=7200.0, max_rpm=8000.0, speed=50.0, fuel=0.25)
    t = decoded(ams2, ams2_pages(fourth))
    assert (t.gear, t.rpm, t.speed, t.fuel, t.lights) == (4, 7200.0, 50.0, 0.25, Light.NONE)
    for lights, shown in (
        (Light.FLAG | Light.BLUE, Light.FLAG | Light.BLUE),
        (Light.FLAG, Light.FLAG | Light.YELLOW),
    ):
        assert decoded(ams2, ams2_pages(dataclasses.replace(fourth, lights=lights))).lights == shown
    # A name in Latin-1 and junk after its NUL still make a car id.
    page = bytearray(ams2_pages(fourth)["$pcars2$"])
    name = b"Caf\xe9 GT3\0junk"
    page[AMS2.mCarName.offset : AMS2.mCarName.offset + len(name)] = name
    assert decoded(ams2, {"$pcars2$": bytes(page)}).car == "Caf\xe9 GT3"


def test_bad_pages_and_snapshots() -> None:
    page = ams2_pages(SAMPLE)["$pcars2$"]
    with pytest.raises(Gone):
        snapshot(ams2, {"$pcars2$": page[:7000]})
    for version in (7, 15):
        bad = bytearray(page)
        struct.pack_into("<I", bad, 0, version)
        assert ams2.Ams2Decoder().decode(snapshot(ams2, {"$pcars2$": bytes(bad)}) or b"") is None
    outside = bytearray(page)
    struct.pack_into("<i", outside, 20, 64)  # viewed index past the 64 records
    t = decoded(ams2, {"$pcars2$": bytes(outside)})
    assert (t.lap, t.position) == (None, None)
    data = snapshot(ams2, {"$pcars2$": page})
    assert data is not None and ams2.Ams2Decoder().decode(data[:-1]) is None


class Writer(BytesView):
    """The game writing: the sequence stays odd for ``odd`` reads, then
    moves on once during the copy."""

    def __init__(self, data: bytes, odd: int, moves: int) -> None:
        super().__init__(data)
        self.odd, self.moves = odd, moves

    def read(self, offset: int, length: int) -> bytes:
        if offset == 7320:
            if self.odd > 0:
                self.odd -= 1
                return struct.pack("<I", 3)
            if self.moves > 0:
                self.moves -= 1
                page = bytearray(self.data)
                struct.pack_into("<I", page, 7320, struct.unpack_from("<I", page, 7320)[0] + 2)
                self.data = bytes(page)
        return super().read(offset, length)


def test_writes_in_progress_are_waited_out() -> None:
    page = ams2_pages(SAMPLE, sequence=10)["$pcars2$"]
    data = ams2.take([Writer(page, odd=1, moves=1)])
    assert data is not None and struct.unpack_from("<I", data, 8)[0] % 2 == 0
    assert ams2.take([Writer(page, odd=100, moves=0)]) is None


@given(st.binary(max_size=100))
def test_any_bytes(data: bytes) -> None:
    t = ams2.Ams2Decoder().decode(data)
    if t is not None:
        check_sane(t)


@given(st.integers(0, ams2.SNAPSHOT.size - 1), st.binary(min_size=1, max_size=8))
def test_overwritten_snapshots(at: int, junk: bytes) -> None:
    data = bytearray(snapshot(ams2, ams2_pages(SAMPLE)) or b"")
    data[at : at + len(junk)] = junk
    t = ams2.Ams2Decoder().decode(bytes(data))
    if t is not None:
        check_sane(t)

"""Automobilista 2 and Project CARS 2: ``$pcars2$`` pages, decoded."""

from __future__ import annotations

import dataclasses
import struct

import pytest
from game_pages import SAMPLE, ams2_pages, assert_carries, check_sane, decoded, snapshot
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard.sources import ams2
from kvdash_dashboard.sources.shm import BytesView, Gone
from kvdash_dashboard.telemetry import GameState, Light

CARRIED = ("gear", "rpm", "max_rpm", "speed", "fuel", "lap_time", "last_lap", "best_lap", "lap",
           "position", "lights", "state")  # fmt: skip


@pytest.mark.parametrize(
    "version, name", [(14, "Automobilista 2"), (8, "Project CARS 2"), (11, "AMS2 / Project CARS 2")]
)
def test_each_version_decodes(version: int, name: str) -> None:
    t = decoded(ams2, ams2_pages(SAMPLE, version=version))
    assert_carries(t, SAMPLE, CARRIED)
    assert (t.game, t.delta) == (name, None)
    other = dataclasses.replace(SAMPLE, gear=-1, lights=Light.ENGINE, state=GameState.REPLAY)
    t = decoded(ams2, ams2_pages(other, version=version, viewed=0))
    assert (t.gear, t.lights, t.state, t.lap, t.position) == (
        -1,
        Light.ENGINE,
        GameState.REPLAY,
        4,
        2,
    )


def test_worked_example() -> None:
    page = bytearray(ams2_pages(SAMPLE)["$pcars2$"])
    page[0:28] = bytes.fromhex("0e000000000000000200000005000000020000000000000014000000")
    page[6828:6896] = bytes.fromhex(
        "0a000000000000000000000000000000"
        "0000000000000000000000"
        "3f00007042"
        "0000c8410080bb450000fa4500000000"
        "0000803f000000000000000003000000"
        "06000000"
    )
    t = decoded(ams2, {"$pcars2$": bytes(page)})
    assert (t.gear, t.rpm, t.max_rpm, t.speed, t.fuel, t.state) == (
        3, 6000.0, 8000.0, 25.0, 0.5, GameState.DRIVING,
    )  # fmt: skip
    assert Light.PIT_LIMITER in t.lights


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
        if offset == 7332:
            if self.odd > 0:
                self.odd -= 1
                return struct.pack("<I", 3)
            if self.moves > 0:
                self.moves -= 1
                page = bytearray(self.data)
                struct.pack_into("<I", page, 7332, struct.unpack_from("<I", page, 7332)[0] + 2)
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


@given(st.integers(0, 67), st.binary(min_size=1, max_size=8))
def test_overwritten_snapshots(at: int, junk: bytes) -> None:
    data = bytearray(snapshot(ams2, ams2_pages(SAMPLE)) or b"")
    data[at : at + len(junk)] = junk
    t = ams2.Ams2Decoder().decode(bytes(data))
    if t is not None:
        check_sane(t)

"""Euro Truck Simulator 2 / American Truck Simulator: ``SCSTelemetry`` pages
built from the plugin's header, decoded."""

from __future__ import annotations

import dataclasses
import struct

import pytest
from game_pages import SAMPLE, assert_carries, check_sane, decoded, ets2_pages, snapshot
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard.sources import ets2
from kvdash_dashboard.sources.channels import Channel
from kvdash_dashboard.sources.shm import BytesView, Gone, Unsupported
from kvdash_dashboard.telemetry import GameState, Light

TRUCK = dataclasses.replace(
    SAMPLE, rpm=1500.0, max_rpm=2500.0, throttle=0.5, lights=Light.SIGNAL_LEFT, lap=None,
    position=None, lap_time=None, last_lap=None, best_lap=None, delta=None,
)  # fmt: skip
CARRIED = ("gear", "rpm", "max_rpm", "speed", "fuel", "lights", "state", "throttle", "lap")


@pytest.mark.parametrize(
    "game, name", [(1, "Euro Truck Simulator 2"), (2, "American Truck Simulator")]
)
def test_each_game_decodes(game: int, name: str) -> None:
    t = decoded(ets2, ets2_pages(TRUCK, game=game))
    assert_carries(t, TRUCK, CARRIED)
    assert (t.game, t.car) == (name, "vehicle.scania.s_2016")


def test_race_information() -> None:
    # Fuel in litres of the 800 l tank and the odometer; none of the rest.
    t = decoded(ets2, ets2_pages(dataclasses.replace(TRUCK, distance=123_456.0)))
    assert (t.fuel_amount, t.fuel_capacity) == (400.0, 800.0)
    assert t.distance == pytest.approx(123_456.0, abs=1.0)
    assert (t.lap_distance, t.in_pit, t.track, t.lap_valid) == (None,) * 4
    # Recordings made before the odometer still play, without it.
    data = snapshot(ets2, ets2_pages(TRUCK)) or b""
    old = ets2.Ets2Decoder().decode(data[:-4])
    assert old is not None and (old.gear, old.distance) == (TRUCK.gear, None)


def test_gears_lights_and_pause() -> None:
    # Past 9 the true gear goes on (the digit shows 9); every reverse gear is reverse.
    for shown, gear in ((12, 12), (-1, -1), (-3, -1), (0, 0)):
        assert decoded(ets2, ets2_pages(TRUCK, gear=shown)).gear == gear
    reversing = decoded(ets2, ets2_pages(TRUCK, gear=-2))
    assert reversing.speed == pytest.approx(TRUCK.speed)  # the plugin's speed is negative
    lit = Light.SIGNAL_LEFT | Light.SIGNAL_RIGHT | Light.ENGINE
    assert decoded(ets2, ets2_pages(dataclasses.replace(TRUCK, lights=lit))).lights == lit
    page = bytearray(ets2_pages(dataclasses.replace(TRUCK, lights=Light.NONE))["SCSTelemetry"])
    page[1566] = 1  # the parking brake on
    assert decoded(ets2, {"SCSTelemetry": bytes(page)}).lights == Light.ENGINE
    paused = dataclasses.replace(TRUCK, state=GameState.PAUSED)
    assert decoded(ets2, ets2_pages(paused)).state == GameState.PAUSED


def test_worked_example() -> None:
    page = bytearray(ets2_pages(TRUCK)["SCSTelemetry"])
    page[0:16] = bytes.fromhex("01000000 00000000 40420f00 00000000")
    page[40:56] = bytes.fromhex("0c000000 01000000 35000000 01000000")
    page[68:76] = bytes.fromhex("0c000000 04000000")
    page[504:512] = bytes.fromhex("feffffff feffffff")
    page[704:712] = bytes.fromhex("00004844 9a99193e")
    page[740:744] = bytes.fromhex("00401c45")
    page[948:956] = bytes.fromhex("000020c0 00409c44")
    page[1000:1004] = bytes.fromhex("0000c843")
    t = decoded(ets2, {"SCSTelemetry": bytes(page)})
    assert (t.gear, t.rpm, t.max_rpm, t.speed, t.fuel) == (-1, 1250.0, 2500.0, 2.5, 0.5)


def test_revisions_sizes_and_a_closed_game() -> None:
    for revision in (10, 11, 13):
        with pytest.raises(Unsupported, match=f"revision {revision}: this app reads revision 12"):
            snapshot(ets2, ets2_pages(TRUCK, revision=revision))
    with pytest.raises(Unsupported, match="less than the plugin's struct"):
        snapshot(ets2, {"SCSTelemetry": ets2_pages(TRUCK)["SCSTelemetry"][:20_000]})
    page = bytearray(ets2_pages(TRUCK)["SCSTelemetry"])
    page[0] = 0  # sdkActive cleared: the game has gone, its last values stay
    with pytest.raises(Gone) as gone:
        snapshot(ets2, {"SCSTelemetry": bytes(page)})
    assert not isinstance(gone.value, Unsupported)
    data = snapshot(ets2, ets2_pages(TRUCK))
    assert data is not None
    assert ets2.Ets2Decoder().decode(data[:-1]) is None
    absurd = bytearray(data)
    struct.pack_into("<i", absurd, 28, 99)  # gear
    assert ets2.Ets2Decoder().decode(bytes(absurd)) is None


class Writer(BytesView):
    """The plugin writing: its clock moves during the first ``writes`` copies."""

    def __init__(self, data: bytes, writes: int) -> None:
        super().__init__(data)
        self.writes = writes

    def read(self, offset: int, length: int) -> bytes:
        if offset == 1000 and self.writes > 0:  # the fuel, mid-copy
            self.writes -= 1
            self.data = self.data[:8] + struct.pack("<Q", self.writes + 5) + self.data[16:]
        return super().read(offset, length)


def test_torn_copies_are_taken_again() -> None:
    page = ets2_pages(TRUCK)["SCSTelemetry"]
    assert ets2.take([Writer(page, writes=2)]) is not None
    assert ets2.take([Writer(page, writes=10**6)]) is None


@given(st.integers(0, ets2.SNAPSHOT.size - 1), st.binary(min_size=1, max_size=8))
def test_overwritten_snapshots(at: int, junk: bytes) -> None:
    data = bytearray(snapshot(ets2, ets2_pages(TRUCK)) or b"")
    data[at : at + len(junk)] = junk
    t = ets2.Ets2Decoder().decode(bytes(data[: ets2.SNAPSHOT.size]))
    if t is not None:
        check_sane(t)


def test_a_truck_id_with_control_sequences_reaches_the_app_printable() -> None:
    page = bytearray(ets2_pages(TRUCK)["SCSTelemetry"])
    hostile = b"\x1b[2J\x1b]0;owned\x07truck\xe2\x80\xae\xc2\x9b1m"  # clear, title, RTL, C1 CSI
    page[2428 : 2428 + 64] = hostile.ljust(64, b"\0")
    data = snapshot(ets2, {"SCSTelemetry": bytes(page)})
    assert data is not None
    heard = Channel([ets2.FAMILY], "ets2").decode(data)
    assert heard is not None and heard.telemetry.car == "[2J]0;ownedtruck1m"

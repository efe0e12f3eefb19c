"""RaceRoom: ``$R3E`` pages in each layout version, decoded."""

from __future__ import annotations

import dataclasses
import struct

import pytest
from game_pages import (
    RACE,
    SAMPLE,
    TornView,
    assert_carries,
    check_sane,
    decoded,
    r3e_pages,
    snapshot,
)
from game_structs import R3E
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard.sources import r3e
from kvdash_dashboard.sources.shm import Gone
from kvdash_dashboard.telemetry import GameState, Light

CARRIED = ("gear", "rpm", "max_rpm", "speed", "fuel", "lap_time", "last_lap", "best_lap", "delta",
           "lap", "position", "state", "car", "throttle")  # fmt: skip
CAR = dataclasses.replace(SAMPLE, car="4187", throttle=0.25)


@pytest.mark.parametrize("version", sorted(R3E))
def test_each_version_decodes(version: tuple[int, int]) -> None:
    t = decoded(r3e, r3e_pages(CAR, version=version))
    assert_carries(t, CAR, CARRIED)
    assert (t.game, t.lights) == ("RaceRoom", CAR.lights | Light.YELLOW)
    blue = dataclasses.replace(SAMPLE, lights=Light.FLAG | Light.BLUE)
    assert decoded(r3e, r3e_pages(blue, version=version)).lights == Light.FLAG | Light.BLUE
    lit = Light.TC | Light.DRS
    other = dataclasses.replace(
        SAMPLE, gear=-1, rpm=7700.0, lights=lit, state=GameState.PAUSED, delta=None, best_lap=None
    )
    t = decoded(r3e, r3e_pages(other, version=version))
    assert (t.gear, t.lights, t.state, t.delta, t.best_lap) == (
        -1, Light.TC | Light.DRS | Light.SHIFT, GameState.PAUSED, None, None,
    )  # fmt: skip


@pytest.mark.parametrize("version", sorted(R3E))
def test_race_information(version: tuple[int, int]) -> None:
    t = decoded(r3e, r3e_pages(RACE, version=version))
    assert_carries(t, RACE, ("fuel_amount", "fuel_capacity", "lap_distance", "lap_fraction",
                             "in_pit", "lap_valid", "track", "tc_level", "brake_bias",
                             "engine_map"))  # fmt: skip
    assert t.abs_level == (RACE.abs_level if version >= (2, 15) else None)
    plain = dataclasses.replace(RACE, in_pit=False, lap_valid=True, track="Monza", brake_bias=None)
    t = decoded(r3e, r3e_pages(plain, version=version))
    assert (t.in_pit, t.lap_valid, t.track, t.brake_bias) == (False, True, "Monza", None)
    # Recordings made before the race information still play, without it.
    old = r3e.R3eDecoder().decode((snapshot(r3e, r3e_pages(RACE, version=version)) or b"")[:120])
    assert old is not None and old.gear == RACE.gear
    assert (old.in_pit, old.lap_valid, old.track, old.tc_level) == (None,) * 4


def test_worked_example() -> None:
    page = bytearray(r3e_pages(SAMPLE)["$R3E"])
    page[0:48] = bytes.fromhex(
        "0300000005000000d807000048010000"
        "03000000000000000000000000000000"
        "000000000000000000000000a0860100"
    )
    page[1392:1416] = bytes.fromhex("0000c84163141d4484705144b0f746440300000006000000")
    t = decoded(r3e, {"$R3E": bytes(page)})
    assert (t.gear, t.speed) == (3, 25.0)
    assert t.rpm == pytest.approx(6000.0, abs=0.01)
    assert t.max_rpm == pytest.approx(8000.0, abs=0.01)
    assert Light.SHIFT not in t.lights  # 6000 < 7600


def test_unknown_versions_are_refused() -> None:
    for version in ((4, 0), (3, 0), (3, 6), (2, 8)):
        page = bytearray(r3e_pages(SAMPLE)["$R3E"])
        struct.pack_into("<ii", page, 0, *version)
        data = snapshot(r3e, {"$R3E": bytes(page)})
        assert data is not None and r3e.R3eDecoder().decode(data) is None


def test_short_pages_and_bad_snapshots() -> None:
    with pytest.raises(Gone):
        snapshot(r3e, {"$R3E": r3e_pages(SAMPLE)["$R3E"][:1500]})
    data = snapshot(r3e, r3e_pages(SAMPLE))
    assert data is not None
    assert r3e.R3eDecoder().decode(data[:-1]) is None
    nan_rps = bytearray(data)
    nan_rps[60:64] = bytes.fromhex("0000c07f")
    assert r3e.R3eDecoder().decode(bytes(nan_rps)) is None
    na_gear = bytearray(data)
    na_gear[72:76] = struct.pack("<i", -2)
    t = r3e.R3eDecoder().decode(bytes(na_gear))
    assert t is not None and t.gear == 0


def test_torn_copy_is_retried() -> None:
    page = r3e_pages(SAMPLE)["$R3E"]
    assert r3e.take([TornView(page, 44, writes=2)]) is not None
    assert r3e.take([TornView(page, 44, writes=10**6)]) is None


@given(st.binary(max_size=200))
def test_any_bytes(data: bytes) -> None:
    t = r3e.R3eDecoder().decode(data)
    if t is not None:
        check_sane(t)


@given(
    st.sampled_from(sorted(R3E)),
    st.integers(8, r3e.SNAPSHOT.size - 1),
    st.binary(min_size=1, max_size=8),
)
def test_overwritten_snapshots(version: tuple[int, int], at: int, junk: bytes) -> None:
    data = bytearray(snapshot(r3e, r3e_pages(SAMPLE, version=version)) or b"")
    data[at : at + len(junk)] = junk
    t = r3e.R3eDecoder().decode(bytes(data))
    if t is not None:
        check_sane(t)

"""Assetto Corsa EVO: pages built from Kunos' header, decoded."""

from __future__ import annotations

import dataclasses

import pytest
from game_pages import (
    RACE,
    SAMPLE,
    TornView,
    acevo_pages,
    assert_carries,
    check_sane,
    decoded,
    snapshot,
)
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard.sources import acevo
from kvdash_dashboard.sources.shm import BytesView, Unsupported
from kvdash_dashboard.telemetry import GameState, Light

CARRIED = ("gear", "rpm", "max_rpm", "speed", "fuel", "lap_time", "last_lap", "best_lap", "delta",
           "lap", "position", "lights", "state", "throttle")  # fmt: skip
CAR = dataclasses.replace(SAMPLE, throttle=0.75, lights=Light.PIT_LIMITER | Light.ABS)


@pytest.mark.parametrize("graphics_size", [4900, 3940])  # car_ids appended, or not yet
def test_each_build_decodes(graphics_size: int) -> None:
    t = decoded(acevo, acevo_pages(CAR, graphics_size=graphics_size))
    assert_carries(t, CAR, CARRIED)
    assert (t.game, t.car) == ("Assetto Corsa EVO", "ks_porsche_911_gt3_r")


def test_race_information() -> None:
    t = decoded(acevo, acevo_pages(RACE))
    assert_carries(t, RACE, ("fuel_amount", "fuel_capacity", "lap_fraction", "lap_distance",
                             "in_pit", "lap_valid", "track", "tc_level", "abs_level",
                             "brake_bias", "engine_map"))  # fmt: skip
    plain = dataclasses.replace(RACE, in_pit=False, lap_valid=True, track="monza", tc_level=None)
    t = decoded(acevo, acevo_pages(plain))
    assert (t.in_pit, t.lap_valid, t.track, t.tc_level) == (False, True, "monza", None)
    # Recordings made before the race information still play, without it.
    old = acevo.AcevoDecoder().decode((snapshot(acevo, acevo_pages(RACE)) or b"")[:132])
    assert old is not None and old.gear == RACE.gear
    assert (old.in_pit, old.lap_valid, old.track, old.tc_level) == (None,) * 4


def test_lights_and_states() -> None:
    for lights in (
        Light.TC | Light.SHIFT | Light.ENGINE,
        Light.FLAG | Light.BLUE,
        Light.FLAG | Light.YELLOW,
    ):
        assert decoded(acevo, acevo_pages(dataclasses.replace(CAR, lights=lights))).lights == lights
    for state in (GameState.MENU, GameState.REPLAY, GameState.PAUSED):
        t = decoded(acevo, acevo_pages(dataclasses.replace(CAR, state=state, gear=-1)))
        assert (t.state, t.gear) == (state, -1)
    # Before a best lap there is nothing to be ahead or behind of.
    assert decoded(acevo, acevo_pages(dataclasses.replace(CAR, best_lap=None))).delta is None


def test_worked_example() -> None:
    pages = acevo_pages(CAR)
    physics = bytearray(pages["acevo_pmf_physics"])
    physics[0:32] = bytes.fromhex(
        "d2040000 00000000 00000000 00002a42 04000000 6a180000 00000000 cd4c3b43"
    )
    physics[588:592] = bytes.fromhex("781e0000")
    graphics = bytearray(pages["acevo_pmf_graphics"])
    graphics[184:192] = bytes.fromhex("64feffff 00460100")
    graphics[2384:2408] = bytes.fromhex("03000000 05000000 00000000 db670100 78630100 05000000")
    graphics[3928:3932] = bytes.fromhex("0000f042")
    t = decoded(
        acevo, pages | {"acevo_pmf_physics": bytes(physics), "acevo_pmf_graphics": bytes(graphics)}
    )
    assert (t.gear, t.rpm, t.max_rpm, t.lap, t.position) == (3, 6250.0, 7800.0, 4, 5)
    assert (t.last_lap, t.best_lap, t.lap_time, t.delta) == (92.123, 91.0, 83.456, -0.412)
    assert t.speed == pytest.approx(187.3 / 3.6, abs=1e-3)
    assert t.fuel == pytest.approx(42.5 / 120)
    assert Light.FLAG | Light.YELLOW in t.lights


def test_short_pages_and_bad_snapshots() -> None:
    pages = acevo_pages(CAR)
    # AC-sized bridge mappings (2048 bytes) cannot hold EVO's graphics page.
    with pytest.raises(Unsupported, match="acevo_pmf_graphics is 2048 bytes"):
        snapshot(acevo, pages | {"acevo_pmf_graphics": pages["acevo_pmf_graphics"][:2048]})
    # A bridge may map more than the game's struct.
    padded = {name: page + bytes(4096) for name, page in pages.items()}
    assert decoded(acevo, padded).gear == CAR.gear
    data = snapshot(acevo, pages)
    assert data is not None
    decoder = acevo.AcevoDecoder()
    assert decoder.decode(data[:-1]) is None
    absurd_gear = bytearray(data)
    absurd_gear[12:16] = (99).to_bytes(4, "little")
    assert decoder.decode(bytes(absurd_gear)) is None


def test_torn_page_is_copied_again() -> None:
    pages = acevo_pages(CAR)
    views = [TornView(pages[n], 0, writes=2) for n in acevo.NAMES]
    data = acevo.take(views)
    assert data is not None and acevo.AcevoDecoder().decode(data) is not None
    assert acevo.take([TornView(pages[n], 0, writes=10**6) for n in acevo.NAMES]) is None
    assert acevo.take([BytesView(pages[n]) for n in acevo.NAMES]) is not None


@given(st.integers(0, acevo.SNAPSHOT.size - 1), st.binary(min_size=1, max_size=8))
def test_overwritten_snapshots(at: int, junk: bytes) -> None:
    data = bytearray(snapshot(acevo, acevo_pages(CAR)) or b"")
    data[at : at + len(junk)] = junk
    t = acevo.AcevoDecoder().decode(bytes(data[: acevo.SNAPSHOT.size]))
    if t is not None:
        check_sane(t)

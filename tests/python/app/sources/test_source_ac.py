"""Assetto Corsa and ACC: pages built from the layout, decoded."""

from __future__ import annotations

import dataclasses

import pytest
from game_pages import (
    RACE,
    SAMPLE,
    TornView,
    ac_pages,
    assert_carries,
    check_sane,
    decoded,
    snapshot,
)
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard.sources import ac
from kvdash_dashboard.sources.shm import BytesView, Gone
from kvdash_dashboard.telemetry import GameState, Light

COMMON = ("gear", "rpm", "max_rpm", "speed", "fuel", "lap_time", "last_lap", "best_lap", "lap",
          "position", "state", "car", "throttle")  # fmt: skip
CAR = dataclasses.replace(SAMPLE, car="bmw_m4_gt3", throttle=0.5)


@pytest.mark.parametrize("game, name", [("acc", "ACC"), ("ac", "Assetto Corsa")])
def test_each_game_decodes(game: str, name: str) -> None:
    t = decoded(ac, ac_pages(CAR, game=game))
    assert (t.game, t.lights) == (name, CAR.lights | Light.YELLOW)
    assert_carries(t, CAR, COMMON)
    assert t.delta == (pytest.approx(0.75) if game == "acc" else None)
    no_best = dataclasses.replace(SAMPLE, delta=-0.25, best_lap=None)
    assert decoded(ac, ac_pages(no_best, game=game)).delta is None
    blue = dataclasses.replace(SAMPLE, lights=Light.FLAG | Light.BLUE)
    assert decoded(ac, ac_pages(blue, game=game)).lights == Light.FLAG | Light.BLUE


@pytest.mark.parametrize("game", ["acc", "ac"])
def test_race_information(game: str) -> None:
    acc_only = ("lap_valid", "tc_level", "abs_level", "engine_map")
    t = decoded(ac, ac_pages(RACE, game=game))
    assert_carries(t, RACE, ("fuel_amount", "fuel_capacity", "lap_fraction", "lap_distance",
                             "in_pit", "track", "brake_bias"))  # fmt: skip
    if game == "acc":
        assert_carries(t, RACE, acc_only)
    else:
        assert [getattr(t, name) for name in acc_only] == [None] * 4
    # One decoder: the track follows the page's change; no bias sent is None.
    decoder = ac.AcDecoder()
    plain = dataclasses.replace(RACE, in_pit=False, lap_valid=True, track="monza", brake_bias=None)
    for want in (RACE, plain):
        got = decoder.decode(snapshot(ac, ac_pages(want, game=game)) or b"")
        assert got is not None
        assert (got.track, got.in_pit, got.brake_bias) == (want.track, want.in_pit, want.brake_bias)
        assert got.lap_valid is (want.lap_valid if game == "acc" else None)


def test_acc_delta_is_signed() -> None:
    # iDeltaLapTime -350 ms: 0.35 s ahead of the best lap.
    for delta in (-0.35, 0.35, 0.0):
        t = decoded(ac, ac_pages(dataclasses.replace(SAMPLE, delta=delta)))
        assert t.delta == pytest.approx(delta)


@pytest.mark.parametrize("game", ["acc", "ac"])
def test_lights_and_states(game: str) -> None:
    dark = dataclasses.replace(SAMPLE, lights=Light.NONE, gear=-1, state=GameState.PAUSED)
    t = decoded(ac, ac_pages(dark, game=game))
    # AC's slip settings are on but not acting: no TC/ABS light.
    assert (t.lights, t.gear, t.state) == (Light.NONE, -1, GameState.PAUSED)
    lit = dataclasses.replace(SAMPLE, lights=Light.TC | Light.ABS, gear=0, state=GameState.REPLAY)
    t = decoded(ac, ac_pages(lit, game=game))
    assert (t.lights, t.gear, t.state) == (Light.TC | Light.ABS, 0, GameState.REPLAY)
    if game == "ac":
        for light in (Light.DRS, Light.DRS_AVAILABLE):
            assert (
                decoded(ac, ac_pages(dataclasses.replace(SAMPLE, lights=light), game="ac")).lights
                == light
            )


def test_worked_example() -> None:
    physics = bytearray(ac_pages(SAMPLE, game="acc")["acpmf_physics"])
    physics[0:32] = bytes.fromhex(
        "d2040000 0000803f 00000000 00003442 04000000 70170000 00000000 0000b442"
    )
    static = bytearray(ac_pages(SAMPLE, game="acc")["acpmf_static"])
    static[412:420] = bytes.fromhex("401f0000 00007042")
    pages = ac_pages(SAMPLE, game="acc") | {
        "acpmf_physics": bytes(physics),
        "acpmf_static": bytes(static),
    }
    t = decoded(ac, pages)
    assert (t.gear, t.rpm, t.max_rpm, t.fuel) == (3, 6000.0, 8000.0, 0.75)
    assert t.speed == pytest.approx(25.0)


def test_short_pages_and_bad_snapshots() -> None:
    pages = ac_pages(SAMPLE)
    with pytest.raises(Gone):
        snapshot(ac, pages | {"acpmf_physics": pages["acpmf_physics"][:200]})
    with pytest.raises(Gone):
        snapshot(ac, pages | {"acpmf_static": pages["acpmf_static"][:416]})
    # The original AC physics page (580 bytes) lacks the acting flags: still read.
    assert decoded(ac, pages | {"acpmf_physics": pages["acpmf_physics"][:580]}).gear == 3
    data = snapshot(ac, pages)
    assert data is not None
    decoder = ac.AcDecoder()
    assert decoder.decode(data[:-1]) is None
    assert decoder.decode(data + b"\0") is None
    # Recordings made before the race information still play, without it.
    old = decoder.decode((snapshot(ac, ac_pages(RACE)) or b"")[:166])
    assert old is not None and old.gear == 3
    assert (old.in_pit, old.lap_valid, old.track, old.brake_bias) == (None,) * 4
    nan_fuel = bytearray(data)
    nan_fuel[12:16] = bytes.fromhex("0000c07f")
    assert decoder.decode(bytes(nan_fuel)) is None
    absurd_gear = bytearray(data)
    absurd_gear[16:20] = (99).to_bytes(4, "little")
    assert decoder.decode(bytes(absurd_gear)) is None


def test_torn_page_is_copied_again() -> None:
    pages = ac_pages(SAMPLE)
    views = [TornView(pages[n], 0, writes=2) for n in ac.NAMES]
    data = ac.take(views)
    assert data is not None and ac.AcDecoder().decode(data) is not None
    endless = [TornView(pages[n], 0, writes=10**6) for n in ac.NAMES]
    assert ac.take(endless) is None
    assert ac.take([BytesView(pages[n]) for n in ac.NAMES]) is not None


@given(st.binary(max_size=200))
def test_any_bytes(data: bytes) -> None:
    t = ac.AcDecoder().decode(data)
    if t is not None:
        check_sane(t)


@given(
    st.sampled_from(["ac", "acc"]),
    st.integers(0, ac.SNAPSHOT.size - 1),
    st.binary(min_size=1, max_size=8),
)
def test_overwritten_snapshots(game: str, at: int, junk: bytes) -> None:
    data = bytearray(snapshot(ac, ac_pages(SAMPLE, game=game)) or b"")
    data[at : at + len(junk)] = junk
    t = ac.AcDecoder().decode(bytes(data))
    if t is not None:
        check_sane(t)

"""Project CARS and Assetto Corsa Rally pages, decoded; AC Rally's broken max
rpm left to the learner."""

from __future__ import annotations

import dataclasses
import struct

import pytest
from game_pages import RACE, SAMPLE, ac_pages, assert_carries, decoded, snapshot
from game_pages_newer_shm import acr_pages, pcars_pages

from kvdash_dashboard.race.revlimit import CONFIRMED, RevLimits
from kvdash_dashboard.sources import FAMILIES, ac, pcars
from kvdash_dashboard.sources.shm import BytesView, Gone, TooSmall, Unsupported
from kvdash_dashboard.telemetry import GameState, Light, Telemetry

PCARS_CARRIED = (
    "gear rpm max_rpm speed fuel lap_time last_lap best_lap lap position state "
    "fuel_amount fuel_capacity lap_distance in_pit lap_valid track"
).split()


def test_project_cars_page() -> None:
    t = decoded(pcars, pcars_pages(RACE))
    assert_carries(t, RACE, PCARS_CARRIED)
    # FLAG alone is a yellow; the limiter and ABS from their own fields.
    assert t.lights == RACE.lights | Light.YELLOW
    assert t.game == "Project CARS"
    other = dataclasses.replace(
        SAMPLE, gear=-1, lights=Light.ENGINE | Light.FLAG | Light.BLUE, state=GameState.REPLAY
    )
    t = decoded(pcars, pcars_pages(other, viewed=0))
    assert (t.gear, t.lights, t.state, t.lap, t.position, t.in_pit, t.lap_valid) == (
        -1,
        Light.ENGINE | Light.FLAG | Light.BLUE,
        GameState.REPLAY,
        SAMPLE.lap,  # the first record, the decoy's place, is the viewed car's now
        SAMPLE.position,
        False,
        True,
    )
    t = decoded(pcars, pcars_pages(dataclasses.replace(SAMPLE, gear=0), viewed=-1))
    assert (t.gear, t.lap, t.position, t.lap_distance) == (0, None, None, None)


def test_project_cars_refuses_what_it_cannot_read() -> None:
    (data,) = pcars_pages(SAMPLE).values()
    with pytest.raises(Unsupported, match="shared memory version 6: this app reads version 5"):
        pcars.take([BytesView(struct.pack("<I", 6) + data[4:])])
    with pytest.raises(TooSmall):
        pcars.take([BytesView(data[:4096])])
    # A bridge's file before the game has written it: nothing to say yet.
    with pytest.raises(Gone) as empty:
        pcars.take([BytesView(bytes(len(data)))])
    assert not isinstance(empty.value, Unsupported)
    decoder = pcars.FAMILY.decoder()
    good = snapshot(pcars, pcars_pages(SAMPLE))
    assert good is not None
    for bad in (good[:-1], b"", struct.pack("<f", float("nan")).join((good[:12], good[16:]))):
        assert decoder.decode(bad) is None


def test_assetto_corsa_rally_told_from_ac_and_acc() -> None:
    # Its static page is all zeros when a session starts: named all the same.
    early = decoded(ac, acr_pages(RACE, static=False))
    later = decoded(ac, acr_pages(RACE))
    for t in early, later:
        assert (t.game, t.gear, t.rpm, t.lap, t.position) == (
            "Assetto Corsa Rally",
            RACE.gear,
            RACE.rpm,
            RACE.lap,
            RACE.position,
        )
        assert t.speed == pytest.approx(RACE.speed)
        # TC and ABS are switched on, which lights nothing; the flag still counts.
        assert t.lights == Light.FLAG | Light.YELLOW
    assert (early.car, early.fuel, early.fuel_amount) == (None, None, 30.0)
    assert (later.car, later.fuel) == ("ks_hyundai_i20_n_rally2", RACE.fuel)
    # Rolling back in gear its rpm goes below zero: shown as 0 rather than refused.
    assert decoded(ac, acr_pages(dataclasses.replace(SAMPLE, rpm=-2600.0))).rpm == 0.0
    for gear in (-1, 0):  # 0 reverse, 1 neutral, as in AC and ACC
        assert decoded(ac, acr_pages(dataclasses.replace(SAMPLE, gear=gear))).gear == gear
    assert decoded(ac, ac_pages(SAMPLE, game="ac")).game == "Assetto Corsa"
    assert decoded(ac, ac_pages(SAMPLE, game="acc")).game == "ACC"


@pytest.mark.parametrize("max_rpm", [8000, 1200, 65_000, 2**31 - 1])
def test_assetto_corsa_rally_rev_limit_is_learnt(max_rpm: int) -> None:
    # Whatever its max rpm says (stuck high after a jump, or nonsense), the
    # limit comes from the rpm the car reaches.
    limits = RevLimits()
    family = FAMILIES["ac"]
    decoder = family.decoder()
    learnt = None
    for climb in range(CONFIRMED + 1):
        for rpm in (4000.0, 6000.0, 7900.0 + climb, 8000.0):
            data = snapshot(ac, acr_pages(Telemetry(gear=2, rpm=rpm), climb, max_rpm))
            assert data is not None
            t = decoder.decode(data)
            assert t is not None and t.max_rpm is None
            learnt = limits.learn(family, t)
    assert learnt == 8000.0
    # AC and ACC keep the game's own.
    acc = decoder.decode(snapshot(ac, ac_pages(SAMPLE)) or b"")
    assert acc is not None and acc.max_rpm == SAMPLE.max_rpm
    assert limits.learn(family, acc) is None


class Writing(BytesView):
    """A page the game rewrites (a new rpm) at each of the first ``writes``
    reads of its timings and car state."""

    def __init__(self, data: bytes, writes: int) -> None:
        super().__init__(data)
        self.writes = writes

    def read(self, offset: int, length: int) -> bytes:
        if offset <= 6848 < offset + length and self.writes > 0:
            self.writes -= 1
            page = bytearray(self.data)
            struct.pack_into("<f", page, 6848, 1000.0 + self.writes)
            self.data = bytes(page)
        return super().read(offset, length)


def test_project_cars_copy_is_taken_whole() -> None:
    # No sequence number on this page: a copy counts once a second one matches.
    (data,) = pcars_pages(SAMPLE).values()
    assert pcars.take([Writing(data, writes=1000)]) is None
    view = Writing(data, writes=3)
    taken = pcars.take([view])
    assert view.writes == 0 and taken is not None
    t = pcars.FAMILY.decoder().decode(taken)
    assert t is not None and t.rpm == 1000.0

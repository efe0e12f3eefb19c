"""Le Mans Ultimate (``LMU_Data``) and the rF2 plugin's buffers: pages built
from the game's headers, the player found among decoys, decoded."""

from __future__ import annotations

import dataclasses
import functools
import struct
import sys
import time
from collections.abc import Callable
from pathlib import Path

import pytest
from game_pages import (
    LMU_IDS,
    RACE,
    SAMPLE,
    Pages,
    assert_carries,
    check_sane,
    lmu_pages,
    write_pages,
)
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard.sources import lmu
from kvdash_dashboard.sources.shm import BytesView, Unsupported
from kvdash_dashboard.telemetry import GameState, Light, Telemetry

CARRIED = ("gear", "rpm", "max_rpm", "speed", "fuel", "lap_time", "last_lap", "best_lap", "lap",
           "position", "lights", "state", "throttle")  # fmt: skip
CAR = dataclasses.replace(SAMPLE, throttle=0.75, lights=Light.PIT_LIMITER)


def snapshot(pages: Pages, variant: str = "lmu") -> bytes | None:
    if variant == "lmu":
        take, view = lmu.LmuTake(settle=0.0), BytesView(pages["LMU_Data"])
        take([view])  # seen
        return take([view])  # seen again: kept
    return lmu.Rf2Take()([BytesView(pages[name]) for name in lmu.RF2_NAMES])


def decoded(pages: Pages, variant: str = "lmu") -> Telemetry:
    t = lmu.LmuDecoder().decode(snapshot(pages, variant) or b"")
    assert t is not None
    check_sane(t)
    return t


def car_of(t: Telemetry, variant: str = "lmu", **changes: object) -> Telemetry:
    return decoded(lmu_pages(dataclasses.replace(t, **changes), variant), variant)  # type: ignore[arg-type]


@pytest.mark.parametrize("variant", ["lmu", "rf2"])
def test_race_information(variant: str) -> None:
    t = decoded(lmu_pages(RACE, variant), variant)
    assert_carries(t, RACE, ("fuel_amount", "fuel_capacity", "lap_distance", "in_pit",
                             "lap_valid", "track", "brake_bias"))  # fmt: skip
    # TC, ABS and the motor map: LMU's own mapping only (1.3 on).
    levels = (RACE.tc_level, RACE.abs_level, RACE.engine_map) if variant == "lmu" else (None,) * 3
    assert (t.tc_level, t.abs_level, t.engine_map) == levels
    plain = dataclasses.replace(RACE, in_pit=False, lap_valid=True, tc_level=None, brake_bias=None)
    t = decoded(lmu_pages(plain, variant), variant)
    assert (t.in_pit, t.lap_valid, t.tc_level, t.brake_bias) == (False, True, None, None)
    # Recordings made before the track was taken still play, without it.
    old = lmu.LmuDecoder().decode((snapshot(lmu_pages(RACE, variant), variant) or b"")[:1444])
    assert old is not None and (old.gear, old.in_pit, old.track) == (RACE.gear, True, None)


@pytest.mark.parametrize("variant", ["lmu", "rf2"])
@pytest.mark.parametrize("player", [1, 2])
def test_the_players_car_among_decoys(variant: str, player: int) -> None:
    t = decoded(lmu_pages(CAR, variant, player=player), variant)
    assert_carries(t, CAR, CARRIED)
    mid = LMU_IDS[player]
    if variant == "rf2":  # the plugin has no .veh name and no delta
        assert (t.game, t.car, t.delta) == ("rFactor 2", f"Oreca 07 #{mid}", None)
        return
    assert (t.game, t.car, t.delta) == ("Le Mans Ultimate", f"ORECA07_{mid:03}", 0.75)
    page = bytearray(lmu_pages(CAR, player=player)["LMU_Data"])
    page[128_465] = 3 - player  # playerVehicleIdx pointing at a decoy: mID decides
    assert decoded({"LMU_Data": bytes(page)}).gear == CAR.gear


@pytest.mark.parametrize("variant", ["lmu", "rf2"])
def test_lights_and_states(variant: str) -> None:
    lit = Light.PIT_LIMITER | Light.DRS | Light.ENGINE | Light.FLAG | Light.BLUE | Light.YELLOW
    t = car_of(CAR, variant, lights=lit | Light.TC | Light.ABS)
    # TC and ABS acting come from LMU 1.3 alone.
    assert t.lights == lit | (Light.TC | Light.ABS if variant == "lmu" else Light.NONE)
    assert car_of(CAR, variant, lights=Light.DRS_AVAILABLE).lights == Light.DRS_AVAILABLE
    for state in (GameState.PAUSED, GameState.REPLAY, GameState.MENU):
        assert car_of(CAR, variant, state=state).state == state


def test_no_player_car_is_the_menu() -> None:
    page = bytearray(lmu_pages(CAR)["LMU_Data"])
    for k in range(3):
        page[2192 + 584 * k + 196] = 0  # nobody's mIsPlayer
    t = decoded({"LMU_Data": bytes(page)})
    assert (t.state, t.gear, t.lap) == (GameState.MENU, 0, None)
    # Scored, but no telemetry record with the player's mID yet.
    page = bytearray(lmu_pages(CAR)["LMU_Data"])
    struct.pack_into("<i", page, 128_468 + 1888, 99)
    t = decoded({"LMU_Data": bytes(page)})
    assert (t.lap, t.position, t.gear, t.rpm) == (CAR.lap, CAR.position, 0, 0.0)


def test_sizes_and_versions() -> None:
    # LMU 1.2 had the 1.3 fields as zeros; a bridge may map more than the game's struct.
    older = bytearray(lmu_pages(dataclasses.replace(CAR, lights=Light.TC))["LMU_Data"])
    for k in range(3):
        at = 128_468 + 1888 * k
        older[at + 745 : at + 848] = bytes(103)
    t = decoded({"LMU_Data": bytes(older) + bytes(4096)})
    assert (t.lights, t.gear, t.car) == (Light.NONE, CAR.gear, "ORECA07_003")
    with pytest.raises(Unsupported, match="LMU_Data is 200000 bytes"):
        snapshot({"LMU_Data": lmu_pages(CAR)["LMU_Data"][:200_000]})
    pages = lmu_pages(CAR, "rf2")
    with pytest.raises(Unsupported, match="Scoring"):
        snapshot(
            pages | {"$rFactor2SMMP_Scoring$": pages["$rFactor2SMMP_Scoring$"][:70_000]}, "rf2"
        )
    data = snapshot(lmu_pages(CAR))
    assert data is not None
    assert lmu.LmuDecoder().decode(data[:-1]) is None
    assert lmu.LmuDecoder().decode(b"\x02" + data[1:]) is None  # no such variant


class Writing(BytesView):
    """The game writing: each read at ``at`` (where every copy starts) finds
    ``change`` made to the page, ``writes`` times."""

    def __init__(
        self, data: bytes, at: int, writes: int, change: Callable[[bytearray], None]
    ) -> None:
        super().__init__(data)
        self.at, self.writes, self.change = at, writes, change

    def read(self, offset: int, length: int) -> bytes:
        if offset == self.at and self.writes > 0:
            self.writes -= 1
            page = bytearray(self.data)
            self.change(page)
            self.data = bytes(page)
        return super().read(offset, length)


def clock_moves(page: bytearray) -> None:  # LMU: every car's mElapsedTime
    for at in range(128_468 + 12, 128_468 + 3 * 1888, 1888):
        struct.pack_into("<d", page, at, struct.unpack_from("<d", page, at)[0] + 0.01)


def plugin_writes(page: bytearray) -> None:  # a write begins (Begin ahead), or ends
    begin, end = struct.unpack_from("<II", page)
    struct.pack_into("<II", page, 0, *((begin + 1, end) if begin == end else (begin, begin)))


def test_torn_copies_are_taken_again() -> None:
    tel, sco = (lmu_pages(CAR, "rf2")[name] for name in lmu.RF2_NAMES)
    data = lmu.Rf2Take()([Writing(tel, 0, 4, plugin_writes), Writing(sco, 0, 2, plugin_writes)])
    assert data is not None and lmu.LmuDecoder().decode(data) is not None
    assert lmu.Rf2Take()([BytesView(tel), Writing(sco, 0, 10**6, plugin_writes)]) is None


@functools.lru_cache(maxsize=4)
def frame(n: int) -> bytes:
    """LMU_Data's frame n: gear, rpm and lap all say n."""
    return lmu_pages(dataclasses.replace(CAR, gear=1 + n % 5, rpm=3000.0 + n, lap=n + 1))[
        "LMU_Data"
    ]


class Game(BytesView):
    """A game that never pauses: frame after frame, each written from the
    first byte up in PERIOD seconds (unless paused); each read the reader
    makes takes READ seconds of the clock."""

    PERIOD, READ = 0.0003, 0.000002

    def __init__(self) -> None:
        super().__init__(frame(0))
        self.now = 0.0
        self.paused: float | None = None  # the frames written by then, from then on

    def read(self, offset: int, length: int) -> bytes:
        self.now += self.READ
        done, part = divmod(self.now / self.PERIOD, 1.0)
        if self.paused is not None:
            done, part = self.paused, 0.0
        newer, older = frame(int(done) + 1), frame(int(done))
        edge = int(part * len(newer))  # the writer's place in the newer frame
        page = newer[:edge] + older[edge:]
        return page[offset : offset + length]


def test_a_frame_part_written_is_never_shown() -> None:
    game = Game()
    take = lmu.LmuTake(clock=lambda: game.now)
    shown = []
    for _ in range(200):  # polled every 2 ms while the game writes
        game.now += 0.002
        data = take([game])
        if data is not None:
            shown.append(lmu.LmuDecoder().decode(data))
    for t in shown:
        assert t is not None and t.lap is not None
        assert (t.rpm, t.gear) == (3000.0 + t.lap - 1, 1 + (t.lap - 1) % 5), "a torn frame"
    game.paused = game.now // game.PERIOD  # between frames, as a real game is most of the time
    for _ in range(2):
        game.now += 0.002
        data = take([game])
    t = lmu.LmuDecoder().decode(data or b"")
    assert t is not None and t.lap is not None and t.rpm == 3000.0 + t.lap - 1


@pytest.mark.skipif(sys.platform == "win32", reason="named mappings have no folder")
def test_reader_prefers_lmu_data(tmp_path: Path) -> None:
    reader = lmu.LmuReader(str(tmp_path))
    try:
        write_pages(tmp_path, lmu_pages(dataclasses.replace(CAR, gear=2), "rf2"))
        t = lmu.LmuDecoder().decode(reader.poll(1.0) or b"")
        assert t is not None and (t.game, t.gear) == ("rFactor 2", 2)
        write_pages(tmp_path, {"LMU_Data": lmu_pages(CAR)["LMU_Data"][:1000]})
        assert reader.poll(3.0) is None and reader.problem is not None
        write_pages(tmp_path, lmu_pages(CAR))
        assert reader.poll(5.0) is None  # seen once: kept when it stays so
        time.sleep(lmu.SETTLE)
        t = lmu.LmuDecoder().decode(reader.poll(5.01) or b"")
        assert t is not None and (t.game, t.gear) == ("Le Mans Ultimate", 3)
        assert reader.problem is None and reader.next_poll < 5.1
    finally:
        reader.close()


@given(
    st.sampled_from(["lmu", "rf2"]),
    st.integers(0, lmu.SNAPSHOT_SIZE - 1),
    st.binary(min_size=1, max_size=8),
)
def test_overwritten_snapshots(variant: str, at: int, junk: bytes) -> None:
    data = bytearray(snapshot(lmu_pages(CAR, variant), variant) or b"")
    data[at : at + len(junk)] = junk
    t = lmu.LmuDecoder().decode(bytes(data[: lmu.SNAPSHOT_SIZE]))
    if t is not None:
        check_sane(t)

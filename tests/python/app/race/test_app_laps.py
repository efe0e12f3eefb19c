"""The lap tracker's rules, driven with Telemetry records: where laps end,
which count, the fuel a lap, the delta, best lap files; the pop-ups' ends and
the pit blink in the frame. Laps through the app: test_app_race.py."""

from __future__ import annotations

import json
import os
import threading
import time
import tracemalloc
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kvdash_dashboard import dashboard as dash
from kvdash_dashboard.cli import build_parser
from kvdash_dashboard.race.bestlaps import BestLap, BestLapStore
from kvdash_dashboard.race.laps import LapTracker, allows
from kvdash_dashboard.settings import SettingsError, given_options, load
from kvdash_dashboard.sources import FAMILIES, demo
from kvdash_dashboard.sources.base import Family, filled
from kvdash_dashboard.telemetry import Light, Telemetry

LENGTH = 3000.0  # m
EVERY = 0.1  # s between packets


def family(fields: str) -> Family:
    return Family("test", "Test", filled("speed car track " + fields), decoder=lambda: None)  # type: ignore[arg-type, return-value]


METRES = family("lap lap_distance lap_time fuel_amount in_pit lap_valid tc_level brake_bias")


@dataclass
class Track:
    """Drives laps at an even pace, a packet every EVERY s; says where the
    car is as the family's fields allow. Burns 3 units of fuel a lap."""

    tracker: LapTracker
    fields: frozenset[str]
    now: float = 0.0
    lap: int = 1
    clock: float = 0.0  # s into the lap
    fuel: float = 60.0
    driven: float = 0.0
    said: list[str] = field(default_factory=list)

    def packet(self, share: float, speed: float, **more: Any) -> None:
        f = self.fields
        t = Telemetry(speed=speed, car="kv", track="ring", fuel_amount=self.fuel, **more)
        t.lap = self.lap if "lap" in f else None
        t.lap_time = self.clock if "lap_time" in f else None
        t.lap_distance = LENGTH * share if "lap_distance" in f else None
        t.lap_fraction = share if "lap_fraction" in f else None
        t.distance = self.driven if "distance" in f else None
        self.tracker.update(t, self.now)
        self.now += EVERY
        self.clock += EVERY
        self.driven += speed * EVERY

    def drive(self, seconds: float, start: float = 0.0, end: float = 1.0, **more: Any) -> None:
        """From start to end of the lap (shares) in seconds; past the line at 1."""
        packets = round(seconds / EVERY)
        for i in range(packets):
            self.packet(
                start + (end - start) * i / packets, LENGTH * (end - start) / seconds, **more
            )
            self.fuel -= 3.0 * (end - start) / packets
        if end == 1.0:
            self.lap += 1
            self.clock = 0.0

    def line(self) -> None:
        """One packet on the line."""
        self.packet(0.0, 30.0)


def track(fields: Family = METRES, tmp_path: Path | None = None) -> Track:
    said: list[str] = []
    store = BestLapStore(tmp_path, said.append) if tmp_path is not None else None
    tracker = LapTracker(store)
    tracker.use(fields)
    return Track(tracker, fields.fields, said=said)


@pytest.mark.parametrize(
    "fields",
    [
        METRES,
        family("lap_fraction lap_time fuel_amount"),  # no counter: the position wraps
        family("lap distance fuel_amount"),  # counted from the distance driven
        family("lap fuel_amount"),  # counted from the speed
    ],
    ids=["counter", "wrap", "distance", "speed"],
)
def test_laps_end_at_the_line_and_the_delta_follows_the_pace(fields: Family) -> None:
    car = track(fields)
    car.drive(50.0, start=0.5)  # the app started mid-lap: no lap time known
    car.drive(100.0)
    car.drive(96.0)
    end = car.tracker.lap_end
    assert end is not None and end.time == pytest.approx(100.0) and end.difference is None
    car.drive(47.0, end=0.5)  # at 94 s a lap
    end = car.tracker.lap_end
    assert end is not None and end.difference == pytest.approx(-4.0, abs=0.05)
    assert car.tracker.delta == pytest.approx(-1.0, abs=0.2)
    assert car.tracker.predicted == pytest.approx(95.0, abs=0.2)


def test_the_counter_and_the_wrap_a_packet_apart_end_one_lap() -> None:
    car = track()
    car.drive(50.0, start=0.5)
    car.drive(99.9, end=0.999)
    car.lap, car.clock = car.lap + 1, 0.0  # the counter first, the position short of the line
    car.packet(0.9995, 30.0)
    ended = car.now - EVERY
    car.drive(10.0, end=0.1)
    car.drive(89.9, start=0.1, end=0.999)
    car.clock = 0.0  # the position first, the counter a packet later
    car.packet(0.0005, 30.0)
    car.lap += 1
    car.drive(10.0, end=0.1)
    end = car.tracker.lap_end
    assert end is not None and end.at == pytest.approx(car.now - 100 * EVERY - EVERY)
    assert end.time == pytest.approx(100.0, abs=0.15) and end.difference is not None
    assert end.at > ended and end.valid


def test_laps_that_do_not_count() -> None:
    car = track()
    car.drive(50.0, start=0.5)
    car.drive(80.0, in_pit=True)  # the out lap
    car.drive(100.0)
    car.drive(90.0, lap_valid=False)  # the game rules it out
    car.drive(76.0, start=0.2)  # 20 % short
    car.drive(40.0, end=0.4)
    car.drive(40.0, start=0.6)  # a teleport from 40 % to 60 %
    car.drive(85.0, end=0.95)
    car.drive(5.0, start=0.95, in_pit=True)  # the in lap
    car.drive(100.0)
    assert car.tracker.best is not None and car.tracker.best.time == pytest.approx(100.0)
    in_lap = car.tracker.lap_end
    assert in_lap is not None and in_lap.time == pytest.approx(90.0) and not in_lap.valid
    car.drive(50.0, end=0.5)
    last = car.tracker.lap_end
    car.clock = 0.0  # a restart: the lap time goes back, the car to the line
    car.drive(80.0)
    car.line()
    assert car.tracker.lap_end is last  # the restarted lap's time is nothing to show
    assert car.tracker.best.time == pytest.approx(100.0)


def test_fuel_a_lap_from_two_valid_laps_at_racing_pace() -> None:
    car = track()
    car.drive(100.0, in_pit=True)  # the out lap: burns 3 like any other, but does not count
    car.drive(100.0)
    assert car.tracker.fuel_lap is None
    car.drive(30.0, end=0.3)
    car.fuel += 40.0  # a refuel: not fuel used
    car.drive(70.0, start=0.3)
    car.drive(150.0)  # far off the pace: says nothing of a race's use
    car.line()
    assert car.tracker.fuel_lap == pytest.approx(3.0, abs=0.01)
    assert car.tracker.fuel_laps == pytest.approx(car.fuel / 3.0, abs=0.1)


def test_best_laps_kept_are_valid_and_bad_files_ignored(tmp_path: Path) -> None:
    first = track(tmp_path=tmp_path)
    first.drive(100.0, start=0.5)
    first.drive(100.0)
    first.drive(90.0, lap_valid=False)  # faster, but ruled out: never the best
    first.line()
    files = list(tmp_path.glob("best-laps/test/*.json"))
    assert [f.name for f in files] == ["kv@ring.json"]
    assert json.loads(files[0].read_text())["time"] == 100.0
    for broken in (b"{", b'{"format": 1, "time": "fast"}', b"\xff" * 9, b"[1]"):
        files[0].write_bytes(broken)
        again = track(tmp_path=tmp_path)
        again.drive(1.0)
        assert again.tracker.best is None
        assert again.said[-1].startswith(f"Best lap file {files[0]} ignored: ")


def _drive_from_the_line(tmp_path: Path) -> Track:
    """A new session over the kept best lap, into a lap from the line (the delta looked up)."""
    again = track(tmp_path=tmp_path)
    again.drive(10.0, start=0.9)
    again.drive(10.0, end=0.1)
    return again


def test_a_best_lap_file_that_is_no_lap_of_ours_never_stalls_or_ends_the_app(
    tmp_path: Path,
) -> None:
    first = track(tmp_path=tmp_path)
    first.drive(100.0, start=0.5)
    first.drive(100.0)
    first.line()
    (path,) = tmp_path.glob("best-laps/test/*.json")
    kept = json.loads(path.read_text())
    huge = 10**400  # no float holds it
    for change in ({"step": 5e-324}, {"time": huge}, {"step": huge}, {"ms": [0, huge]}):
        path.write_text(json.dumps({**kept, **change}))
        again = _drive_from_the_line(tmp_path)
        assert again.tracker.best is None and again.said[-1].startswith(f"Best lap file {path}")
    if not hasattr(os, "mkfifo"):
        return
    pipe = tmp_path / "elsewhere"
    os.mkfifo(pipe)  # nobody writes to it: opening it to read would wait for ever
    for fifo in (path, tmp_path / "link"):
        path.unlink()
        if fifo == path:
            os.mkfifo(path)
        else:
            path.symlink_to(pipe)
        said: list[str] = []
        driving = threading.Thread(
            target=lambda s=said: s.extend(_drive_from_the_line(tmp_path).said)
        )
        driving.start()
        driving.join(5.0)
        if driving.is_alive():  # let it go, then fail
            with open(pipe if fifo != path else path, "wb"):
                pass
        assert not driving.is_alive() and "not a regular file" in said[-1]


def test_names_a_file_system_could_confuse_keep_laps_apart(tmp_path: Path) -> None:
    store = BestLapStore(tmp_path, print)
    cars = ["Ferrari", "ferrari", "con.txt", "NUL", "lpt1", "aux .x", "kv"]
    folder = tmp_path / "best-laps" / "test"
    for i, car in enumerate(cars):
        store.write("test", car, "Spa", BestLap(100.0 + i, "metres", 10.0, (0.0, 1.0)))
        # No temporary file left (looked for by listing: on Windows a path
        # such as "aux .x@Spa.json.new" names a device, which always exists).
        assert not [p for p in folder.iterdir() if not p.name.endswith(".json")]
    names = [p.name for p in folder.iterdir()]
    assert len({n.lower() for n in names}) == len(cars)  # apart where case is ignored
    devices = ("con", "nul", "aux", "prn", "lpt1", "com1")
    assert not [n for n in names if n.split(".")[0].strip().lower() in devices]
    for i, car in enumerate(cars):
        best = store.read("test", car, "Spa")
        assert best is not None and best.time == 100.0 + i
    # Kept under the names of before: still read, and only by its own car.
    old = tmp_path / "best-laps" / "test" / "Porsche@Spa.json"
    porsche = {"source": "test", "car": "Porsche", "track": "Spa"}
    lap: dict[str, object] = {"time": 99.0, "position": "metres", "step": 10.0, "ms": [0]}
    old.write_text(json.dumps({"format": 1, **porsche, **lap}))
    assert store.read("test", "porsche", "spa") is None
    best = store.read("test", "Porsche", "Spa")
    assert best is not None and best.time == 99.0
    # Another writer's temporary file beside it is left alone.
    theirs = store.path("test", "kv", "Spa")
    assert theirs is not None
    other = theirs.with_name(theirs.name + ".new")
    other.write_text("another app's")
    store.write("test", "kv", "Spa", BestLap(90.0, "metres", 10.0, (0.0,)))
    assert other.read_text() == "another app's" and store.read("test", "kv", "Spa") is not None


def test_a_burst_of_impossible_packets_keeps_memory_flat_and_frames_quick() -> None:
    layout = dash.Layout(dash.Options(left="delta", right="predicted"), FAMILIES["forza"].fields)
    for burst in ("3e8 m/s", "a long silence"):
        car = track(FAMILIES["forza"])  # its position counted from the distance driven
        car.drive(100.0, start=0.5)
        car.drive(100.0)  # a lap from the line: its times are kept
        tracemalloc.start()
        started = time.perf_counter()
        for _ in range(40):
            if burst == "3e8 m/s":
                car.packet(0.5, 3e8)  # and the distance driven with it
            else:  # a speed a car reaches, explaining a move of a million metres
                car.now += 5000.0
                car.driven += 1e6
                car.packet(0.5, 150.0)
            layout.frame(Telemetry(speed=3e8), car.now, None, car.tracker)
        took = time.perf_counter() - started
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        assert peak < 2 << 20 and took < 0.5, (burst, peak, took)


def test_the_demo_gives_the_race_information_a_game_does(tmp_path: Path) -> None:
    """Three laps of the simulated car, as its records decode: fuel laps, the
    delta, and its best lap kept for its car and track, read by a second run."""
    store = BestLapStore(tmp_path, print)
    tracker = LapTracker(store)
    tracker.use(FAMILIES["demo"])
    lap = demo.SimulatedLap()
    t = None
    for step in range(int(3.3 * lap.length / 30.0 * 60)):  # about 3.3 laps at 60 packets a second
        t = demo.decode(demo.pack(lap.advance(step / 60)))
        assert t is not None
        tracker.update(t, step / 60)
    assert t is not None and t.lap is not None and t.lap >= 4
    assert tracker.fuel_laps is not None and 0 < tracker.fuel_laps < 100
    kept = store.read("demo", "kv-gt", demo.TRACK_ID)
    assert kept is not None and tracker.best is not None and kept.time == tracker.best.time
    assert 60.0 < kept.time < 120.0  # a whole lap of the 3.3 km circuit


def test_a_setting_pops_up_for_2_s_and_the_pit_limiter_blinks_the_row() -> None:
    car = track()
    layout = dash.Layout(dash.Options(right="fuel_laps"), METRES.fields)
    car.packet(0.001, 30.0, brake_bias=56.0)
    car.packet(0.002, 30.0, brake_bias=57.0)
    changed, t = car.now - EVERY, Telemetry()
    frame, change = layout.frame(t, changed + 1.99, None, car.tracker)
    assert (frame.right, change) == ("    57", changed + 2.0)
    assert layout.frame(t, changed + 2.0, None, car.tracker)[0].right == ""  # the dashes
    pit = Telemetry(rpm=9000.0, lights=Light.PIT_LIMITER)
    assert [layout.frame(pit, at)[0].rpm for at in (0.0, 0.24, 0.26, 0.51)] == [13, 13, 0, 13]
    no_blink = dash.Layout(dash.Options(pit_blink=False, rpm_shift=8000), METRES.fields)
    assert no_blink.frame(pit, 0.26)[0].rpm == 13


def test_pop_ups_and_the_pit_blink_are_settings(tmp_path: Path) -> None:
    fields = filled("lap distance fuel tc_level brake_bias")  # what the status line says
    assert allows(fields) == "fuel laps, delta (counted), pop-ups: TC, brake bias"
    assert allows(fields, popups=False) == "fuel laps, delta (counted)"
    path = tmp_path / "dashboard.toml"
    path.write_text("popups = false\n[game.forza]\npit_blink = false\npopups = true\n")
    parser = build_parser()
    settings = load(parser, given_options(build_parser(), ["--no-pit-blink"]), str(path), FAMILIES)
    assert (settings.options().popups, settings.options().pit_blink) == (False, False)
    assert settings.options("forza").popups
    path.write_text('popups = "no"\n')
    with pytest.raises(SettingsError, match='key "popups": must be true or false'):
        load(parser, {}, str(path), FAMILIES)


ANY = st.one_of(st.none(), st.floats(allow_nan=True, allow_infinity=True))


@given(
    st.lists(
        st.builds(
            Telemetry,
            speed=st.floats(),
            lap=st.none() | st.integers(-5, 5),
            **{name: ANY for name in ("lap_time", "last_lap", "delta", "fuel_amount")},
            **{name: ANY for name in ("lap_distance", "brake_bias", "best_lap")},
            in_pit=st.none() | st.booleans(),
            tc_level=st.none() | st.integers(-(2**40), 2**40),
        ),
        max_size=30,
    )
)
def test_any_telemetry_makes_laps_and_frames_without_a_traceback(moments: list[Telemetry]) -> None:
    tracker = LapTracker()
    tracker.use(family("lap lap_distance lap_time last_lap delta best_lap fuel_amount tc_level"))
    layouts = [
        dash.Layout(dash.Options(left=c, right="predicted"), METRES.fields) for c in dash.PANELS
    ]
    for now, t in enumerate(moments):
        tracker.update(t, now * 0.05)
        for layout in layouts:
            layout.frame(t, now * 0.05, None, tracker)

"""The dashboard's mapping from telemetry to what the display shows, and the
simulated lap, without the loop."""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable

import pytest
from game_packets import assert_sane
from hypothesis import given
from hypothesis import strategies as st

import kvdash
import kvdash_virtual as vd
from kvdash_dashboard import dashboard as dash
from kvdash_dashboard.sources import demo
from kvdash_dashboard.telemetry import Light, Telemetry

ALL = frozenset(dash.PANELS[c][1] for c in dash.PANELS) | {"lights"}
LEFT_PLACEHOLDER = bytes([0x2D, 0x2D, 0xAD, 0xAD, 0x2D, 0x2D])


def rpm_count(report: bytes) -> int:
    return sum(report[3:16])


def warnings(report: bytes) -> list[int]:
    return [i + 1 for i in range(6) if report[16 + i] == 1]


def test_texts_fit_the_panels() -> None:
    assert [dash.gear_text(g) for g in (-1, 0, 1, 9, 12)] == ["r", "-", "1", "9", "9"]
    assert dash.gear_text(0, neutral="0") == "0"
    assert dash.lap_time_text(83.45) == "1:23.4"
    assert dash.lap_time_text(754.5) == "12:34.5"
    assert dash.lap_time_text(-3.0) == "0:00.0"
    assert dash.speed_text(50.0, "kmh") == "180" and dash.speed_text(50.0, "mph") == "112"
    assert dash.fuel_text(0.456) == "45.6" and dash.fuel_text(1.7) == "100.0"
    assert dash.delta_text(-0.354) == "-0.35" and dash.delta_text(12.34) == "12.3"
    assert dash.delta_text(500.0) == "100.0" and dash.delta_text(-500.0) == "-100.0"
    assert dash.right_align("1:23.4") == "  1:23.4" and dash.right_align("180") == "   180"


def test_a_panel_writer_writes_what_panel_text_does() -> None:
    values = [None, math.nan, math.inf, -math.inf, 0.0, 0.1389, -27.5, 49.999, 277.7, 1e9, 1e16]
    for choice in ("speed", "fuel", "time", "delta", "rpm", "fuel_laps"):
        for units in ("kmh", "mph"):
            write = dash.panel_writer(choice, units)
            assert [write(v) for v in values] == [dash.panel_text(choice, v, units) for v in values]


def test_rpm_leds_between_start_and_shift() -> None:
    counts = [dash.rpm_leds(rpm, 5000, 7500) for rpm in range(4000, 8001, 100)]
    assert counts == sorted(counts) and counts[0] == 0 and counts[-1] == 13
    assert dash.rpm_leds(5001, 5000, 7500) == 1 and dash.rpm_leds(6250, 5000, 7500) == 7
    assert dash.rpm_leds(6000, 7000, 7000) == 0  # an empty range lights nothing below it


def test_send_puts_the_whole_frame_in_one_report(
    engine: kvdash.kvengine, display: vd.VirtualDisplay
) -> None:
    layout = dash.Layout(dash.Options(rpm_start=5000, rpm_shift=7500), ALL)
    t = Telemetry(
        gear=3, rpm=6250.0, speed=50.0, fuel=0.5, lap_time=83.4, lights=Light.ABS | Light.FLAG
    )
    frame, change = layout.frame(t, 0.0)
    assert change is None
    before = display.write_count
    dash.send(engine, frame)
    r = display.last_report
    assert r is not None and display.write_count == before + 1
    assert r[2] == 0x33
    assert list(r[3:16]) == [1] * 7 + [0] * 6
    assert warnings(r) == [3, 6]
    assert r[27:33] == bytes([0x20, 0x20, 0xB1, 0xB2, 0xB3, 0x34])  # "1:23.4" right-aligned
    assert r[33:39] == bytes([0x20, 0x20, 0x20, 0x35, 0xB0, 0x30])  # "50.0" percent


def test_send_calls_only_the_setters_of_what_changed(
    engine: kvdash.kvengine, display: vd.VirtualDisplay
) -> None:
    lit = (True, False, False, False, False, True)
    frames = [
        dash.Frame(gear="3", rpm=9, warnings=lit, left="   123", right="  50.0"),
        dash.Frame(gear="4", rpm=2, warnings=lit[::-1], left="   124", right="  50.0"),
        dash.Frame(gear="4", rpm=13, left="", right="  49.9", flash=True),
    ]
    shown = None
    for frame in frames:  # each report as every setter would have made it
        dash.send(engine, frame, shown)
        report = display.last_report
        dash.send(engine, frame)
        assert display.last_report == report
        shown = frame

    class Calls:
        def __init__(self) -> None:
            self.names: list[str] = []

        def __getattr__(self, name: str) -> Callable[..., None]:
            return lambda *_: self.names.append(name)

    calls = Calls()
    dash.send(calls, dataclasses.replace(frames[1], left="   125"), frames[1])
    assert calls.names == ["set_left_panel", "show_me"]


def test_no_data_shows_the_placeholders(
    engine: kvdash.kvengine, display: vd.VirtualDisplay
) -> None:
    frame, _ = dash.Layout(dash.Options(), ALL).frame(None, 0.0)
    dash.send(engine, frame)
    r = display.last_report
    assert r is not None and r[2] == 0x20 and rpm_count(r) == 0 and warnings(r) == []
    assert r[27:33] == LEFT_PLACEHOLDER


def test_past_the_shift_point_all_leds_flash_and_say_when() -> None:
    layout = dash.Layout(dash.Options(rpm_start=5000, rpm_shift=7500, flash_hz=8.0), ALL)
    t = Telemetry(gear=2, rpm=7600.0)
    seen = []
    for i in range(8):
        frame, change = layout.frame(t, i / 32)
        assert change is not None and i / 32 < change <= i / 32 + 1 / 16
        seen.append(frame.rpm)
    assert seen == [13, 13, 0, 0, 13, 13, 0, 0]
    # The game's own shift light flashes the row too, below the shift point.
    frame, change = layout.frame(Telemetry(gear=2, rpm=1000.0, lights=Light.SHIFT), 0.0)
    assert frame.rpm == 13 and change is not None


def test_the_shift_light_fits_the_source() -> None:
    own = dash.Layout(dash.Options(), ALL)
    # The car's rev limit sets the range: 96 % of 10000 is the shift point.
    assert own.frame(Telemetry(rpm=9500.0, max_rpm=10000.0), 0.0)[0].rpm == 13
    assert own.frame(Telemetry(rpm=6000.0, max_rpm=10000.0), 0.0)[0].rpm == 0
    assert own.frame(Telemetry(rpm=9500.0, max_rpm=20000.0), 0.0)[0].rpm < 13
    # A limit learnt where the game sends none, and the game's own over it.
    assert own.frame(Telemetry(rpm=9500.0), 0.0, learnt=10000.0)[0].rpm == 13
    assert own.frame(Telemetry(rpm=9500.0, max_rpm=20000.0), 0.0, learnt=10000.0)[0].rpm < 13
    # The game's own rev lights, scaled to thirteen.
    assert own.frame(Telemetry(rpm=100.0, rev_lights=0.5), 0.0)[0].rpm == 6
    # The user's shift point wins over both.
    user = dash.Layout(dash.Options(rpm_start=3000, rpm_shift=4000), ALL)
    assert user.frame(Telemetry(rpm=3500.0, max_rpm=10000.0, rev_lights=0.0), 0.0)[0].rpm == 7


def test_panels_default_to_what_the_source_fills() -> None:
    outgauge = frozenset({"gear", "rpm", "speed", "fuel", "lights"})
    layout = dash.Layout(dash.Options(), outgauge)
    assert (layout.left, layout.right) == ("speed", "fuel")  # no lap clock: speed
    assert layout.unfilled() == ()
    chosen = dash.Layout(dash.Options(left="time", right="position"), outgauge)
    assert chosen.unfilled() == (
        "left panel: no lap time from this game",
        "right panel: no race position from this game",
    )
    frame, _ = chosen.frame(Telemetry(gear=1, speed=10.0), 0.0)
    assert frame.left == " " * 6 and frame.right == " " * 6  # blank, not a placeholder
    full = dash.Layout(dash.Options(), ALL)
    assert (full.left, full.right) == ("time", "fuel")
    t = Telemetry(position=3, lap=12, rpm=6543.2)
    assert dash.Layout(dash.Options(left="position", right="rpm"), ALL).frame(t, 0.0)[0] == (
        dash.Frame(gear="-", rpm=8, left="     3", right="  6543")
    )


# ---------------------------------------------------------------- the simulated lap


def test_simulated_lap_climbs_the_revs_shifts_and_laps() -> None:
    lap = demo.SimulatedLap()
    moments = [lap.advance(i / 30) for i in range(30 * 200)]
    gears = [t.gear for t in moments]
    order = [g for i, g in enumerate(gears) if i == 0 or g != gears[i - 1]]
    assert order[:5] == [0, 1, 2, 3, 4]
    assert moments[0].lights == Light.PIT_LIMITER
    assert any(t.lights & Light.TC for t in moments if t.gear == 1)
    laps = {t.lap for t in moments}
    assert {1, 2} <= laps
    done = [t for t in moments if t.lap == 2]
    assert done[0].last_lap is not None and done[0].best_lap == done[0].last_lap
    assert any(t.delta is not None and abs(t.delta) > 0.05 for t in moments)


def test_simulated_lap_is_the_same_at_any_rate() -> None:
    a, b = demo.SimulatedLap(), demo.SimulatedLap()
    for i in range(300):
        a.advance(i / 30)
    for i in range(600):
        b.advance(i / 60)
    assert a.advance(10.0) == b.advance(10.0)


def test_the_demo_record_round_trips() -> None:
    t = demo.SimulatedLap().advance(42.0)
    assert demo.decode(demo.pack(t)) == t
    assert demo.decode(demo.pack(t)[:-1]) is None


@pytest.mark.parametrize("rpm", [float("nan"), float("inf"), -1.0])
def test_the_demo_record_refuses_nonsense(rpm: float) -> None:
    assert demo.decode(demo.pack(Telemetry(rpm=rpm))) is None


@given(st.binary(max_size=120) | st.binary(min_size=95, max_size=95))  # 95: a record's size
def test_any_bytes_to_the_demo_decoder_decode_sanely_or_not_at_all(data: bytes) -> None:
    t = demo.decode(data)
    if t is not None:
        assert_sane(t)

"""Laps driven through the app, from packets and pages built from the games'
own layouts (game_packets, game_pages), read off the virtual display's panels:
Forza (no delta sent: counted from the distance), F1 (the lap distance, fuel
in kg), Assetto Corsa (the lap's share) and ACC (its own delta, TC and brake
bias). The loop's clock is the test's, so a 100 s lap takes no time."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from contextlib import contextmanager
from types import SimpleNamespace

import pytest
from game_packets import f1_packets, forza_packets
from game_pages import TRACK_LENGTH, ac_pages, snapshot

import kvdash_virtual as vd
from kvdash_dashboard import loop
from kvdash_dashboard.cli import build_parser
from kvdash_dashboard.display import Display
from kvdash_dashboard.settings import given_options, load
from kvdash_dashboard.sources import FAMILIES, ac
from kvdash_dashboard.sources.channels import PolledInput
from kvdash_dashboard.telemetry import Telemetry
from kvdash_dashboard.view import choose_view

pytestmark = pytest.mark.needs_virtual_display

Build = Callable[[Telemetry, int], list[bytes]]
BUILDERS: dict[str, tuple[str, Build]] = {
    "forza": ("forza", lambda t, n: forza_packets(t, "fm2023")),
    "f1": ("f1", lambda t, n: f1_packets(t)),
    "ac": ("ac", lambda t, n: [snapshot(ac, ac_pages(t, "ac", n)) or b""]),
    "acc": ("ac", lambda t, n: [snapshot(ac, ac_pages(t, "acc", n)) or b""]),
}


class Feed:
    """Hands the app one datagram or snapshot a poll, as a game's reader would."""

    problem: str | None = None
    next_poll = 0.0

    def __init__(self) -> None:
        self.queue: list[bytes] = []

    def poll(self, now: float) -> bytes | None:
        return self.queue.pop(0) if self.queue else None

    def close(self) -> None:
        pass


def panel(report: bytes, at: int) -> str:
    """A panel as it reads: its characters, each lit decimal point a "."."""
    return "".join(chr(b & 0x7F) + ("." if b & 0x80 else "") for b in report[at : at + 6]).strip()


@contextmanager
def race(
    game: str, display: vd.VirtualDisplay, monkeypatch: pytest.MonkeyPatch
) -> Iterator[Callable[..., tuple[str, str]]]:
    """The app on the virtual display, left panel the delta, right the fuel
    laps. drive(lap, share, lap_time, **more): one second of a 100 s lap in
    the game's packets; answers the panels."""
    source, build = BUILDERS[game]
    clock = SimpleNamespace(now=0.0, packets=0)
    monkeypatch.setattr(
        loop, "time", SimpleNamespace(monotonic=lambda: clock.now, sleep=lambda s: None)
    )
    argv = ["--source", source, "--left", "delta", "--right", "fuel_laps", "--view", "lines"]
    args = build_parser().parse_args(argv)
    settings = load(build_parser(), given_options(build_parser(), argv), None, FAMILIES)
    screen = Display()
    screen.open(0.0)
    feed = Feed()
    inputs = [PolledInput(FAMILIES[source], feed)]
    view, _ = choose_view("lines", "test")
    app = loop.App(args, [], inputs, None, None, screen, view, settings)

    def drive(lap: int, share: float, lap_time: float, **more: object) -> tuple[str, str]:
        clock.packets += 1
        clock.now = float(clock.packets)
        car = Telemetry(gear=3, rpm=6000.0, speed=TRACK_LENGTH / 100, car="27", track="3", lap=lap)
        car.lap_time, car.lap_distance, car.lap_fraction = lap_time, share * TRACK_LENGTH, share
        car.distance = (lap - 1 + share) * TRACK_LENGTH
        for name, value in more.items():
            setattr(car, name, value)
        for data in build(car, clock.packets):
            feed.queue.append(data)
            app.step(0.0)
            clock.now += 0.002
        report = display.last_report
        assert report is not None
        return panel(report, 27), panel(report, 33)

    try:
        yield drive
    finally:
        app.close()
        for opened in inputs:
            opened.close()
        screen.close()


def out_lap(drive: Callable[..., tuple[str, str]], **more: object) -> None:
    """From the pit box, refuelled there: a lap that counts for nothing."""
    for s in range(100):
        drive(1, s / 100, s, fuel=0.5 if s > 5 else 0.2, in_pit=s < 10, **more)


@pytest.mark.parametrize("game", BUILDERS)
def test_laps_through_the_app(
    game: str, display: vd.VirtualDisplay, monkeypatch: pytest.MonkeyPatch
) -> None:
    # ACC sends its own delta, and the driver changes TC and brake bias.
    own = {"delta": -0.42, "best_lap": 100.0} if game == "acc" else {}
    settings = {"tc_level": 4, "brake_bias": 56.0} if game == "acc" else {}
    with race(game, display, monkeypatch) as drive:
        out_lap(drive, **settings)
        lap2 = [drive(2, s / 100, s, fuel=0.5 - s * 0.0005, **settings) for s in range(100)]
        lap3 = [drive(3, s / 98, s, fuel=0.45 - s * 0.0005, **own, **settings) for s in range(98)]
        lap4 = [drive(4, s / 99, s, fuel=0.40 - s * 0.0004, **settings) for s in range(50)]
        if settings:
            more = {"fuel": 0.38, "tc_level": 5}
            assert drive(4, 0.51, 50.0, brake_bias=56.0, **more)[1] == "5"  # TC up, for 2 s
            assert display.last_report is not None and display.last_report[17] == 1  # its LED
            bias = [drive(4, 0.52 + s / 100, 51 + s, brake_bias=56.5, **more) for s in range(3)]
            assert [right for _, right in bias[:2]] == ["56.5", "56.5"] and bias[2][1] != "56.5"
            assert display.last_report[17] == 0
    assert lap2[50] == ("---.-.--", "-.-.-.---")  # nothing known yet: the dashes
    assert lap3[:5] == [("1.4.0.0", "")] * 5  # 1:40.0 just ended, for 5 s; no best before it
    assert lap3[49] == ("-0.42" if own else "-1.00", "-.-.-.---")  # one valid lap: no fuel laps
    assert lap4[:5] == [("1.3.8.0", "-2.00")] * 5  # 1:38.0, 2 s up on the best
    # Fuel laps: 40 % of the tank less 0.04 % a second, at 5 % a lap (F1's fuel
    # comes a packet after the lap's end: a lap's use may be a packet off).
    assert float(lap4[10][1]) == pytest.approx(7.92, abs=0.11) and lap4[49][0] == "0.49"
    assert float(lap4[49][1]) == pytest.approx(7.61, abs=0.11)
    with race(game, display, monkeypatch) as drive:  # the next run: the best lap kept
        out_lap(drive)
        assert [drive(2, s / 100, s) for s in range(51)][-1][0] == "1.00"  # 50 s vs 49

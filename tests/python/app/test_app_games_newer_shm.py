"""Project CARS and Assetto Corsa Rally through the whole app onto a virtual
display, from pages built by their own descriptions; AC Rally's stuck max
rpm lights no shift light early."""

from __future__ import annotations

import dataclasses
import time
from collections.abc import Callable
from pathlib import Path

import pytest
from app_harness import CAR, run_in_thread
from game_pages import Pages, Publisher, ams2_pages
from game_pages_newer_shm import acr_pages, pcars_pages

import kvdash_virtual as vd
from kvdash_dashboard import main
from kvdash_dashboard.telemetry import Light, Telemetry

LAP_TIME = bytes([0x20, 0x20, 0xB1, 0xB2, 0xB3, 0x34])  # "1:23.4"
FUEL = bytes([0x20, 0x20, 0x20, 0x35, 0xB0, 0x30])  # "50.0"
RPM_LEDS = slice(3, 16)
WARNING_LEDS = slice(16, 22)  # pit, TC, ABS, DRS, engine, flag


def shown(
    display: vd.VirtualDisplay, gear: str, ready: Callable[[bytes], bool] | None = None
) -> bytes:
    """The report once it shows the gear (and what ready() looks for)."""
    deadline = time.monotonic() + 3.0
    while (
        (report := display.last_report) is None
        or report[2] != ord(gear)
        or (ready is not None and not ready(report))
    ):
        assert time.monotonic() < deadline, "the display never showed the car"
        time.sleep(0.01)
    return report


def drive(
    tmp_path: Path,
    display: vd.VirtualDisplay,
    source: str,
    pages: Pages,
    gear: str,
    argv: list[str] | None = None,
    ready: Callable[[bytes], bool] | None = None,
) -> bytes:
    thread = run_in_thread(
        argv or ["--source", source, "--shm-dir", str(tmp_path), "--seconds", "1.5"]
    )
    game = Publisher(tmp_path)
    try:
        game.publish(pages)
        report = shown(display, gear, ready)
        thread.join(10)
    finally:
        game.close()
    assert not thread.is_alive()
    return report


def test_project_cars_on_the_display(
    tmp_path: Path, display: vd.VirtualDisplay, capsys: pytest.CaptureFixture[str]
) -> None:
    car = dataclasses.replace(CAR, lights=Light.ABS | Light.ENGINE | Light.FLAG)
    lit = [0, 0, 1, 0, 1, 1]
    report = drive(
        tmp_path,
        display,
        "pcars",
        pcars_pages(car),
        "3",
        ready=lambda r: list(r[WARNING_LEDS]) == lit,
    )
    assert 0 < sum(report[RPM_LEDS]) < 13  # 6000 of 8000 rpm
    assert (report[27:33], report[33:39]) == (LAP_TIME, FUEL)
    assert list(report[WARNING_LEDS]) == lit
    assert "Telemetry from Project CARS (pcars)." in capsys.readouterr().out


@pytest.mark.parametrize("max_rpm", [1200, 6100])
def test_assetto_corsa_rally_stuck_max_rpm_lights_no_shift_light(
    max_rpm: int, tmp_path: Path, display: vd.VirtualDisplay, capsys: pytest.CaptureFixture[str]
) -> None:
    # After a jump the game's max rpm says anything: taken at its word, 6000
    # rpm would be past the shift point and every RPM LED would flash.
    car = dataclasses.replace(CAR, lights=Light.FLAG)
    report = drive(tmp_path, display, "ac", acr_pages(car, max_rpm=max_rpm), "3")
    assert all(0 < sum(r[RPM_LEDS]) < 13 for r in display.reports if r[2] == ord("3"))
    # TC and ABS switched on light nothing; the yellow flag does.
    assert list(report[WARNING_LEDS]) == [0, 0, 0, 0, 0, 1]
    out = capsys.readouterr().out
    assert "Telemetry from Assetto Corsa Rally (ac)." in out


@pytest.mark.parametrize(
    "source, pages, game",
    [("pcars", pcars_pages, "Project CARS"), ("ac", acr_pages, "Assetto Corsa Rally")],
)
def test_recorded_and_replayed(
    source: str,
    pages: Callable[[Telemetry], Pages],
    game: str,
    tmp_path: Path,
    display: vd.VirtualDisplay,
    capsys: pytest.CaptureFixture[str],
) -> None:
    recording = tmp_path / "drive.kvrec"
    shm = tmp_path / "shm"
    shm.mkdir()
    argv = ["--source", source, "--shm-dir", str(shm), "--seconds", "1.5", "--record"]
    drive(shm, display, source, pages(CAR), "3", [*argv, str(recording)])
    capsys.readouterr()
    before = len(display.reports)
    assert main(["--replay", str(recording)]) == 0
    assert ord("3") in [r[2] for r in display.reports[before:]]
    assert f"Telemetry from {game} ({source})." in capsys.readouterr().out


def test_project_cars_3_on_the_display(
    tmp_path: Path, display: vd.VirtualDisplay, capsys: pytest.CaptureFixture[str]
) -> None:
    # Its "Project CARS 2" option: Project CARS 2's page, header version 8.
    car = dataclasses.replace(CAR, lights=Light.ABS | Light.ENGINE)
    report = drive(tmp_path, display, "ams2", ams2_pages(car, version=8), "3")
    assert 0 < sum(report[RPM_LEDS]) < 13
    assert (report[27:33], report[33:39]) == (LAP_TIME, FUEL)
    assert list(report[WARNING_LEDS]) == [0, 0, 1, 0, 1, 0]
    assert "Telemetry from Project CARS 2 / 3 (ams2)." in capsys.readouterr().out

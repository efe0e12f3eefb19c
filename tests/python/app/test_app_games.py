"""Each game's telemetry through the whole app onto a virtual display: UDP
packets over loopback, shared-memory pages as files in a --shm-dir, and
--source auto picking whichever game speaks."""

from __future__ import annotations

import socket
import sys
import time
from dataclasses import replace
from pathlib import Path
from typing import Callable, List

import pytest
from app_harness import (
    CAR,
    car_shown,
    check_car,
    free_port,
    ports_free,
    run_in_thread,
    send_until,
)
from conftest import BLANK_REPORT
from game_packets import codemasters_packets, f1_packets, forza_packets
from game_packets_newer import pmr_packets, rbr_packets, wrc_packets, wreckfest2_packets
from game_pages import (
    Pages,
    Publisher,
    ac_pages,
    acevo_pages,
    ams2_pages,
    ets2_pages,
    iracing_pages,
    lmu_pages,
    r3e_pages,
)
from game_pages_newer_shm import pcars_pages

import kvdash_virtual as vd
from kvdash_dashboard import main
from kvdash_dashboard.sources import FAMILIES
from kvdash_dashboard.telemetry import Light, Telemetry

UDP_GAMES: dict[str, Callable[[Telemetry], List[bytes]]] = {
    "forza": lambda t: forza_packets(t, "fh5"),
    "f1": lambda t: f1_packets(t, season=2024),
    "codemasters": lambda t: codemasters_packets(t, extradata=3),
    "wrc": wrc_packets,
    "wreckfest2": wreckfest2_packets,
    "rbr": rbr_packets,
    "pmr": pmr_packets,
}
SHM_GAMES: dict[str, Callable[[Telemetry], Pages]] = {
    "ac": lambda t: ac_pages(t, game="acc"),
    "iracing": iracing_pages,
    "r3e": r3e_pages,
    "ams2": ams2_pages,
    "lmu": lmu_pages,
    "acevo": acevo_pages,
    "ets2": ets2_pages,
    "pcars": pcars_pages,
}


@pytest.mark.parametrize("name", sorted(UDP_GAMES))
def test_udp_game_over_loopback(name: str, display: vd.VirtualDisplay) -> None:
    port = free_port()
    thread = run_in_thread(["--source", name, "--listen", f"127.0.0.1:{port}", "--seconds", "1.5"])
    fields = FAMILIES[name].fields
    report = send_until(display, UDP_GAMES[name](CAR), port, "3", lambda r: car_shown(r, fields))
    check_car(report, FAMILIES[name].fields)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:  # garbage and cut packets
        for p in UDP_GAMES[name](CAR):
            s.sendto(p[: len(p) // 2], ("127.0.0.1", port))
            s.sendto(b"\xff" * 7, ("127.0.0.1", port))
    thread.join(10)
    assert not thread.is_alive() and display.last_report == BLANK_REPORT


def test_f1_2026_season_over_loopback(display: vd.VirtualDisplay) -> None:
    # F1 25 with the 2026 Season Pack: 24 cars, the player in the last slot,
    # every other car's records saying something else.
    port = free_port()
    thread = run_in_thread(["--source", "f1", "--listen", f"127.0.0.1:{port}", "--seconds", "1.5"])
    car = replace(CAR, lights=Light.DRS | Light.FLAG | Light.YELLOW)
    fields = FAMILIES["f1"].fields
    packets = f1_packets(car, season=2026, player=23)
    report = send_until(display, packets, port, "3", lambda r: car_shown(r, fields))
    check_car(report, fields)
    assert list(report[16:22]) == [0, 0, 0, 1, 0, 1]  # DRS open, the yellow flag
    thread.join(10)
    assert not thread.is_alive() and display.last_report == BLANK_REPORT


@pytest.mark.parametrize("name", sorted(SHM_GAMES))
def test_shared_memory_game_through_its_pages(
    name: str, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    # Files in a --shm-dir; on Windows the game's real named mappings, and no
    # virtual display: there the app says whose telemetry it shows.
    game = Publisher(tmp_path)
    display = None if sys.platform == "win32" else vd.attach()
    # Found on the reader's first look after 1 s; the line view draws again 1 s later.
    thread = run_in_thread(["--source", name, "--shm-dir", str(tmp_path), "--seconds", "2.5"])
    try:
        time.sleep(0.2)  # the game starts after the dashboard
        game.publish(SHM_GAMES[name](CAR))
        if display is not None:
            deadline = time.monotonic() + 3.0
            while (r := display.last_report) is None or r[2] != ord("3"):
                assert time.monotonic() < deadline, "the display never showed the car"
                time.sleep(0.01)
            check_car(r, FAMILIES[name].fields)
        thread.join(10)
    finally:
        game.close()
    assert not thread.is_alive()
    if display is not None:
        assert display.last_report == BLANK_REPORT
    out = capsys.readouterr().out
    assert f"({name})." in out
    assert "gear 3" in out  # the line view draws the frame


def test_auto_picks_whichever_game_speaks(
    display: vd.VirtualDisplay, capsys: pytest.CaptureFixture[str], tmp_path: Path
) -> None:
    ports = {name: FAMILIES[name].port for name in UDP_GAMES}
    if not ports_free([p for p in ports.values() if p is not None] + [4444]):
        pytest.skip("a default port is in use on this machine")
    thread = run_in_thread(["--seconds", str(1.5 * len(UDP_GAMES) + 1), "--shm-dir", str(tmp_path)])
    time.sleep(0.3)
    for gear, name in enumerate(sorted(UDP_GAMES), start=2):
        port = ports[name]
        assert port is not None
        car = replace(CAR, gear=gear)
        send_until(display, UDP_GAMES[name](car), port, str(gear))
        time.sleep(1.1)  # silence: the next game may take the display
    thread.join(15)
    out = capsys.readouterr().out
    for name in UDP_GAMES:
        assert f"({name})." in out  # "Telemetry from <game> (<name>)."


def test_auto_finds_the_shared_memory_games(
    capsys: pytest.CaptureFixture[str], tmp_path: Path
) -> None:
    game = Publisher(tmp_path)
    newer = ("lmu", "acevo", "ets2", "pcars")
    thread = run_in_thread(["--seconds", str(2.0 * len(newer) + 0.5), "--shm-dir", str(tmp_path)])
    try:
        time.sleep(0.3)
        for name in newer:
            game.publish(SHM_GAMES[name](CAR))
            # Each is found on its reader's next look (a second apart), then
            # goes quiet for over a second: the next may take the display.
            time.sleep(2.0)
        thread.join(15)
    finally:
        game.close()
    out = capsys.readouterr().out
    for name in newer:
        assert f"({name})." in out


def test_a_page_the_app_cannot_read_says_why(
    capsys: pytest.CaptureFixture[str], tmp_path: Path
) -> None:
    game = Publisher(tmp_path)
    game.publish(ets2_pages(CAR, revision=11))
    try:
        assert main(["--source", "ets2", "--shm-dir", str(tmp_path), "--seconds", "1.2"]) == 0
    finally:
        game.close()
    out = capsys.readouterr().out
    assert "scs-sdk-plugin revision 11: this app reads revision 12 (update the plugin)" in out


RECORDINGS = Path(__file__).resolve().parents[1] / "recordings"


@pytest.mark.parametrize("name", ["forza_fh5", "f1_2024", "acc"])
def test_a_recording_replays_through_the_decoders(name: str, display: vd.VirtualDisplay) -> None:
    # Made by make_recordings.py: gears 1 to 6, the revs rising in each.
    assert main(["--replay", str(RECORDINGS / f"{name}.kvrec")]) == 0
    gears = [chr(r[2]) for r in display.reports]
    shown = [g for i, g in enumerate(gears) if i == 0 or g != gears[i - 1]]
    assert shown == [" ", "1", "2", "3", "4", "5", "6", " "]  # blank, the gears, blank
    assert max(sum(r[3:16]) for r in display.reports) > 0


# What a game said, built from its own header, and what the display must show
# of it: (family, pages or datagrams, panel options, gear, {report offset: bytes}).
TOLD = [
    (
        "ams2",  # 4th at 7200 rpm, 50 m/s, a quarter tank
        ams2_pages(Telemetry(gear=4, rpm=7200.0, max_rpm=8000.0, speed=50.0, fuel=0.25)),
        ["--left", "speed"],
        "4",
        {27: b"   180", 33: bytes([0x20, 0x20, 0x20, 0x32, 0xB5, 0x30])},  # 180, 25.0
    ),
    (
        "ac",  # ACC, 0.35 s ahead of the best lap
        ac_pages(Telemetry(gear=2, rpm=5000.0, best_lap=90.0, delta=-0.35), game="acc"),
        ["--right", "delta"],
        "2",
        {33: bytes([0x20, 0x20, 0x2D, 0xB0, 0x33, 0x35])},  # -0.35
    ),
    (
        "r3e",  # a blue flag in a 2.x layout: the FLAG LED, the sixth
        r3e_pages(Telemetry(gear=5, rpm=5000.0, lights=Light.FLAG | Light.BLUE), version=(2, 10)),
        [],
        "5",
        {16: bytes([0, 0, 0, 0, 0, 1])},
    ),
    (
        "forza",  # the first lap, while LapNumber (laps completed) is 0
        forza_packets(Telemetry(gear=2, rpm=5000.0, speed=20.0, lap=1), "fm7"),
        ["--right", "lap"],
        "2",
        {33: b"     1"},
    ),
]


@pytest.mark.parametrize("name, told, panels, gear, shown", TOLD, ids=[t[0] for t in TOLD])
def test_what_the_game_said_is_on_the_display(
    name: str,
    told: Pages | List[bytes],
    panels: List[str],
    gear: str,
    shown: dict[int, bytes],
    display: vd.VirtualDisplay,
    tmp_path: Path,
) -> None:
    port = free_port()
    argv = ["--source", name, "--seconds", "1.5", *panels]
    argv += (
        ["--shm-dir", str(tmp_path)]
        if isinstance(told, dict)
        else ["--listen", f"127.0.0.1:{port}"]
    )
    thread = run_in_thread(argv)
    if isinstance(told, dict):
        Publisher(tmp_path).publish(told)
        deadline = time.monotonic() + 3.0
        while (report := display.last_report) is None or report[2] != ord(gear):
            assert time.monotonic() < deadline, "the display never showed the car"
            time.sleep(0.01)
    else:
        report = send_until(display, told, port, gear)
    thread.join(10)
    for at, text in shown.items():
        assert report[at : at + len(text)] == text, (at, report[at : at + len(text)])

"""F1 2020, F1 2021 and F1 22 through the whole app onto a virtual display:
the loop over loopback, the port-20777 channel --source auto opens, a
recording made with --record and played back, and what F1 22 sent."""

from __future__ import annotations

import struct
from dataclasses import replace
from pathlib import Path

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
from game_packets_f1old import f1_old_packets

import kvdash_virtual as vd
from kvdash_dashboard import main
from kvdash_dashboard.sources import FAMILIES
from kvdash_dashboard.sources.channels import Channel
from kvdash_dashboard.sources.recording import Recorder
from kvdash_dashboard.telemetry import Light

F1_PORT = 20777
CAPTURES = Path(__file__).resolve().parents[1] / "captures" / "f1_2020_22"


def panel(report: bytes, at: int) -> str:
    """A panel's characters (27: left, 33: right), without the decimal points."""
    return bytes(b & 0x7F for b in report[at : at + 6]).decode().strip()


@pytest.mark.parametrize(
    ("season", "game", "lights", "leds"),
    [
        # pit, tc, abs, drs, engine, flag (the pit limiter blinks the RPM row:
        # test_source_f1old reads it).
        (2020, "F1 2020", Light.TC | Light.ABS | Light.FLAG | Light.YELLOW, [0, 1, 1, 0, 0, 1]),
        (2022, "F1 22", Light.DRS | Light.FLAG | Light.BLUE, [0, 0, 0, 1, 0, 1]),
    ],
)
def test_an_old_format_on_the_display(
    season: int,
    game: str,
    lights: Light,
    leds: list[int],
    display: vd.VirtualDisplay,
    capsys: pytest.CaptureFixture[str],
) -> None:
    port = free_port()
    thread = run_in_thread(["--source", "f1", "--listen", f"127.0.0.1:{port}", "--seconds", "1.5"])
    car = replace(CAR, lights=lights, car="team-4")
    fields = FAMILIES["f1"].fields
    packets = f1_old_packets(car, season=season, player=13)
    report = send_until(display, packets, port, "3", lambda r: car_shown(r, fields))
    check_car(report, fields)  # gear, RPM LEDs, lap time and fuel panels
    assert list(report[16:22]) == leds
    thread.join(10)
    assert not thread.is_alive() and display.last_report == BLANK_REPORT
    assert f"Telemetry from {game} (f1)." in capsys.readouterr().out


def test_the_port_auto_opens_takes_every_old_format() -> None:
    # --source auto: one channel on 20777 for every family whose port it is.
    channel = Channel([f for f in FAMILIES.values() if f.port == F1_PORT], "udp", F1_PORT)
    for season, game in ((2020, "F1 2020"), (2021, "F1 2021"), (2022, "F1 22")):
        for packet in f1_old_packets(CAR, season=season, player=20):
            heard = channel.decode(packet)
            assert heard is not None and heard.family.name == "f1"
            assert (heard.telemetry.game, channel.problem) == (game, None)


def test_auto_shows_f1_2021(display: vd.VirtualDisplay, capsys: pytest.CaptureFixture[str]) -> None:
    if not ports_free([F1_PORT]):
        pytest.skip("port 20777 is in use on this machine")
    thread = run_in_thread(["--seconds", "1.5"])
    send_until(display, f1_old_packets(CAR, season=2021, player=1), F1_PORT, "3")
    thread.join(10)
    assert "Telemetry from F1 2021 (f1)." in capsys.readouterr().out


def test_record_then_replay(tmp_path: Path, display: vd.VirtualDisplay) -> None:
    port = free_port()
    recording = tmp_path / "f1-2021.kvrec"
    thread = run_in_thread(
        [
            "--source",
            "f1",
            "--listen",
            f"127.0.0.1:{port}",
            "--seconds",
            "1",
            "--record",
            str(recording),
        ]
    )
    car = replace(CAR, gear=5)
    send_until(display, f1_old_packets(car, season=2021, player=7), port, "5")
    thread.join(10)
    assert not thread.is_alive()
    # Other panels than the live run's, so what shows them is the replay.
    assert main(["--replay", str(recording), "--left", "lap", "--right", "position"]) == 0
    shown = {(chr(r[2]), panel(r, 27), panel(r, 33)) for r in display.reports}
    assert ("5", "4", "2") in shown  # gear, lap 4, 2nd


def test_f1_22_as_captured_on_the_display(tmp_path: Path, display: vd.VirtualDisplay) -> None:
    # 8th gear at 10657 rpm and 308 km/h, 6th on lap 3.
    packets = [p.read_bytes() for p in sorted(CAPTURES.glob("2022-*.bin"))]
    recorder = Recorder(str(tmp_path / "f1-22.kvrec"), 0.0)
    for i, data in enumerate(sorted(packets, key=lambda p: struct.unpack_from("<f", p, 14)[0])):
        recorder.write(0.05 + 0.01 * i, "udp:codemasters,f1", data)
    recorder.close()
    for left, right, want in (("rpm", "speed", ("10657", "308")), ("position", "lap", ("6", "3"))):
        argv = ["--replay", str(tmp_path / "f1-22.kvrec"), "--left", left, "--right", right]
        assert main(argv) == 0
        shown = {(chr(r[2]), panel(r, 27), panel(r, 33)) for r in display.reports}
        assert ("8", *want) in shown

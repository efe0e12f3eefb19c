"""Gran Turismo Sport, WRC Generations and KartKraft: decoded from packets
built by another description, then through the app onto a virtual display
(over loopback, under auto, recorded and replayed); WRC Generations' RPM LEDs
follow the learnt limit, not its inflated max rpm."""

from __future__ import annotations

import socket
import time
from dataclasses import replace
from pathlib import Path
from typing import Callable, List

import pytest
from app_harness import CAR, LAP_TIME, SPEED, free_port, ports_free, run_in_thread, send_until
from conftest import BLANK_REPORT
from game_packets import assert_sane
from game_packets_udp_newer import (
    GTS_HEARTBEAT_PORT,
    GTS_PORT,
    KARTKRAFT_PORT,
    WRCG_OVER_REPORT,
    gts_packets,
    kartkraft_frame,
    kartkraft_packets,
    wrcg_packets,
)

import kvdash_virtual as vd
from kvdash_dashboard import cli, main
from kvdash_dashboard.sources import FAMILIES, codemasters, gt7, gts, kartkraft
from kvdash_dashboard.sources.diagnose import refused
from kvdash_dashboard.telemetry import GameState, Light, Telemetry

pytest.importorskip("Crypto.Cipher.Salsa20")
pytest.importorskip("flatbuffers")


GT_CAR = replace(CAR, lights=Light.TC | Light.ENGINE, state=GameState.DRIVING, throttle=0.4)
GAMES: dict[str, tuple[Callable[[Telemetry], List[bytes]], list[str]]] = {
    # Its RPM LEDs follow the game's alert band, the top 500 rpm.
    "gts": (lambda t: gts_packets(replace(t, rpm=7750.0)), ["--console", "127.0.0.1"]),
    "codemasters": (wrcg_packets, []),
    "kartkraft": (kartkraft_packets, []),
}
FUEL = bytes([0x20, 0x20, 0x20, 0x35, 0xB0, 0x30])  # "50.0"


# -- decoding ----------------------------------------------------------------


def test_gran_turismo_sport_decodes_under_its_own_key() -> None:
    (packet,) = gts_packets(GT_CAR)
    got = gts.decoder().decode(packet)
    assert got is not None and got.game == "Gran Turismo Sport"
    assert (got.gear, got.rpm, got.max_rpm, got.speed, got.fuel) == (3, 6000.0, 8000.0, 25.0, 0.5)
    assert (got.last_lap, got.best_lap, got.lap, got.lights) == (84.0, 83.0, 4, GT_CAR.lights)
    # Neither game reads the other's packets, and a cut one is no packet.
    assert gt7.decode(packet) is None
    assert gts.decoder().decode(packet[:200]) is None


def test_wrc_generations_is_named_and_its_max_rpm_left_out() -> None:
    decoder = codemasters.Decoder()
    for length in (268, 272, 340):
        (packet,) = wrcg_packets(replace(CAR, gear=-1), length)
        got = decoder.decode(packet)
        assert got is not None, length
        assert (got.game, got.gear, round(got.rpm), got.max_rpm) == (
            "WRC Generations",
            -1,
            6000,
            None,
        )
        assert got.fuel is None and got.lap_time == pytest.approx(83.4)
    # DiRT's 264 bytes keep their own name and max rpm; a length between is nothing.
    dirt = decoder.decode(wrcg_packets(CAR, 264)[0])
    assert dirt is not None and dirt.game.startswith("DiRT") and dirt.max_rpm is not None
    assert round(dirt.max_rpm) == round(8000 * WRCG_OVER_REPORT)
    assert decoder.decode(wrcg_packets(CAR, 272)[0][:270]) is None


def test_kartkraft_frames_decode_and_keep_the_car_settings() -> None:
    decoder = kartkraft.Decoder()
    settings, dash = kartkraft_packets(CAR)
    first = decoder.decode(settings)
    assert first is not None and (first.max_rpm, first.track) == (8000.0, "Lonato")
    got = decoder.decode(dash)
    assert got is not None
    assert (got.gear, got.rpm, got.max_rpm, got.speed, got.position, got.lap) == (
        3,
        6000.0,
        8000.0,
        25.0,
        2,
        4,
    )
    assert [round(x or 0, 3) for x in (got.lap_time, got.last_lap, got.best_lap)] == [
        83.4,
        84.0,
        83.0,
    ]
    assert got.track == "Lonato" and got.game == "KartKraft"
    # A frame of settings alone leaves the car shown as it was.
    again = decoder.decode(kartkraft_frame(None, rpm_limit=9000.0))
    assert again is not None and (again.gear, again.rpm, again.max_rpm) == (3, 6000.0, 9000.0)
    # The top of the rev counter where no limiter is fitted; a gear past the
    # car's top gear is no gear.
    decoder.decode(kartkraft_frame(None, rpm_max=14000.0, gear_max=1))
    assert (decoder.decode(kartkraft_frame(replace(CAR, gear=1))) or CAR).max_rpm == 14000.0
    assert decoder.decode(kartkraft_frame(replace(CAR, gear=2))) is None


def test_bad_frames_are_no_frames() -> None:
    decoder = kartkraft.Decoder()
    frame = kartkraft_frame(CAR)
    assert decoder.decode(frame.replace(b"KKFB", b"XXFB")) is None
    for cut in range(0, len(frame), 3):  # offsets that lead outside the datagram
        got = decoder.decode(frame[:cut])
        if got is not None:
            assert_sane(got)
    for at in range(8, len(frame)):
        damaged = bytearray(frame)
        damaged[at] ^= 0xA5
        got = decoder.decode(bytes(damaged))
        if got is not None:
            assert_sane(got)


def test_wrc_generations_elsewhere_is_named() -> None:
    (packet,) = wrcg_packets(CAR)
    said = refused(packet, [FAMILIES["forza"]], 5400, {5400, 20777})
    assert said == "WRC Generations packets on the Forza port: send them to port 20777"


# -- through the app ---------------------------------------------------------


@pytest.mark.parametrize("name", sorted(GAMES))
def test_game_over_loopback(name: str, display: vd.VirtualDisplay) -> None:
    packets, extra = GAMES[name]
    port = free_port()
    argv = ["--source", name, "--listen", f"127.0.0.1:{port}", "--seconds", "1.5", *extra]
    thread = run_in_thread(argv)
    fields = FAMILIES[name].fields
    left = LAP_TIME if "lap_time" in fields else SPEED
    report = send_until(display, packets(GT_CAR), port, "3", lambda r: r[27:33] == left)
    assert 0 < sum(report[3:16]) < 13  # 6000 of 8000 rpm (WRCG: of 7500 till learnt)
    assert report[27:33] == left
    if name == "gts":
        assert report[33:39] == FUEL
        assert list(report[16:22]) == [0, 1, 0, 0, 1, 0]  # TC and the handbrake (ENG)
    else:
        assert list(report[16:22]) == [0] * 6
    thread.join(10)
    assert not thread.is_alive() and display.last_report == BLANK_REPORT


def test_wrc_generations_leds_follow_the_learnt_limit(display: vd.VirtualDisplay) -> None:
    # The car stops at 7000 rpm; the game says 8750. Shifting at its limit a
    # few times teaches the app the limit, after which 6900 rpm lights the
    # whole row (past 96 % of 7000) though it is far below the game's figure.
    port = free_port()
    thread = run_in_thread(
        ["--source", "codemasters", "--listen", f"127.0.0.1:{port}"] + ["--seconds", "3"]
    )
    car = replace(CAR, max_rpm=7000.0)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as game:
        send_until(display, wrcg_packets(replace(car, gear=2, rpm=6500.0)), port, "2")
        shown = display.last_report
        assert shown is not None and sum(shown[3:16]) < 13  # 6500 of the default 7500: not shifting
        for gear in (2, 3, 4, 5):  # up to the limit in each gear, then the shift
            for rpm in (5000.0, 6000.0, 7000.0, 5200.0):
                for p in wrcg_packets(replace(car, gear=gear, rpm=rpm)):
                    game.sendto(p, ("127.0.0.1", port))
                time.sleep(0.03)
        seen = len(display.reports)
        for _ in range(30):
            for p in wrcg_packets(replace(car, gear=5, rpm=6900.0)):
                game.sendto(p, ("127.0.0.1", port))
            time.sleep(0.01)
    thread.join(10)
    assert any(sum(r[3:16]) == 13 for r in display.reports[seen:])


def test_auto_hears_them_on_their_own_ports(
    display: vd.VirtualDisplay, capsys: pytest.CaptureFixture[str], tmp_path: Path
) -> None:
    ports = {"kartkraft": KARTKRAFT_PORT, "codemasters": 20777, "gts": GTS_PORT}
    assert all(FAMILIES[name].port == port for name, port in ports.items())
    if not ports_free(list(ports.values())):
        pytest.skip("a default port is in use on this machine")
    argv = ["--console", "127.0.0.1", "--shm-dir", str(tmp_path), "--seconds", "4.5"]
    thread = run_in_thread(argv)
    time.sleep(0.3)
    for gear, name in enumerate(sorted(ports), start=2):
        send_until(display, GAMES[name][0](replace(GT_CAR, gear=gear)), ports[name], str(gear))
        time.sleep(1.1)  # silence: the next game may take the display
    thread.join(15)
    out = capsys.readouterr().out
    for name in ports:
        assert f"({name})." in out


def test_kartkraft_recorded_and_replayed(display: vd.VirtualDisplay, tmp_path: Path) -> None:
    port = free_port()
    recording = tmp_path / "kart.kvrec"
    argv = ["--source", "kartkraft", "--listen", f"127.0.0.1:{port}", "--seconds", "1"]
    thread = run_in_thread([*argv, "--record", str(recording)])
    send_until(display, kartkraft_packets(replace(CAR, gear=4)), port, "4")
    thread.join(10)
    display.reports.clear()
    assert main(["--replay", str(recording)]) == 0
    assert any(r[2] == ord("4") for r in display.reports)


def test_gran_turismo_sport_asks_the_console_on_its_port() -> None:
    try:
        console = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        console.bind(("127.0.0.1", GTS_HEARTBEAT_PORT))
    except OSError:
        console.close()
        pytest.skip(f"port {GTS_HEARTBEAT_PORT} is in use on this machine")
    port = free_port()
    argv = ["--source", "gts", "--console", "127.0.0.1", "--listen", f"127.0.0.1:{port}"]
    thread = run_in_thread([*argv, "--seconds", "0.5"])
    try:
        console.settimeout(3)
        data, sender = console.recvfrom(64)
    finally:
        console.close()
        thread.join(10)
    assert (data, sender) == (b"A", ("127.0.0.1", port))  # from where the packets must come


def test_help_and_missing_packages(
    monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    with pytest.raises(SystemExit):
        main(["--help"])
    text = " ".join(capsys.readouterr().out.split())
    for said in ("gts Gran Turismo Sport", "kartkraft KartKraft · UDP 5000", "WRC Generations"):
        assert said in text
    monkeypatch.setattr(cli, "UNAVAILABLE", {"kartkraft": kartkraft.MISSING})
    assert main(["--source", "kartkraft"]) == 2
    assert 'pip install "kvdash[kartkraft]"' in capsys.readouterr().err

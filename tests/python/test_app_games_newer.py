"""EA SPORTS WRC, Wreckfest 2, Richard Burns Rally and Project Motor Racing
through the whole app onto a virtual display; Project Motor Racing's
multicast group joined over loopback; --source auto picking each."""

from __future__ import annotations

import socket
import time
from dataclasses import replace
from pathlib import Path
from typing import Callable, List

import pytest
from conftest import BLANK_REPORT
from game_packets_newer import pmr_packets, rbr_packets, wrc_packets, wreckfest2_packets
from test_app_games import CAR, check_car, free_port, ports_free, run_in_thread, send_until

import kvdash_virtual as vd
from kvdash_dashboard import main
from kvdash_dashboard.inputs import UdpInput
from kvdash_dashboard.sources import FAMILIES
from kvdash_dashboard.telemetry import Telemetry

GAMES: dict[str, Callable[[Telemetry], List[bytes]]] = {
    "wrc": wrc_packets,
    "wreckfest2": wreckfest2_packets,
    "rbr": rbr_packets,
    "pmr": pmr_packets,
}
GROUP = "224.0.0.150"


@pytest.mark.parametrize("name", sorted(GAMES))
def test_game_over_loopback(name: str, display: vd.VirtualDisplay) -> None:
    port = free_port()
    thread = run_in_thread(["--source", name, "--listen", f"127.0.0.1:{port}", "--seconds", "1.5"])
    report = send_until(display, GAMES[name](CAR), port, "3")
    check_car(report, FAMILIES[name].fields)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:  # garbage and cut packets
        for p in GAMES[name](CAR):
            s.sendto(p[: len(p) // 2], ("127.0.0.1", port))
            s.sendto(b"\xff" * 7, ("127.0.0.1", port))
    thread.join(10)
    assert not thread.is_alive() and display.last_report == BLANK_REPORT


def test_pmr_joins_its_multicast_group(display: vd.VirtualDisplay) -> None:
    port = free_port()
    thread = run_in_thread(["--source", "pmr", "--listen", f"127.0.0.1:{port}", "--seconds", "1"])
    deadline = time.monotonic() + 3.0
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as game:
        # What the game does on this computer: send to the group, on loopback.
        game.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
        game.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
        while (r := display.last_report) is None or r[2] != ord("3"):
            assert time.monotonic() < deadline, "the display never showed the car"
            for p in pmr_packets(CAR):
                game.sendto(p, (GROUP, port))
            time.sleep(0.01)
        # Another program listening to the same group gets the packets too.
        other = UdpInput([FAMILIES["pmr"]], "127.0.0.1", port)
        try:
            for p in pmr_packets(CAR):
                game.sendto(p, (GROUP, port))
            time.sleep(0.05)
            heard = other.receive(time.monotonic(), None)
            assert [h.telemetry.gear for h in heard] == [3]
        finally:
            other.close()
    thread.join(10)
    assert not thread.is_alive()


def test_a_group_that_cannot_be_joined_is_said(capsys: pytest.CaptureFixture[str]) -> None:
    # 203.0.113.7 is no interface of this computer: unicast still arrives.
    assert (
        main(["--source", "pmr", "--listen", f"203.0.113.7:{free_port()}", "--seconds", "0.2"]) == 0
    )
    assert f"cannot join {GROUP} for Project Motor Racing UDP" in capsys.readouterr().out


def test_auto_picks_each_game(
    display: vd.VirtualDisplay, capsys: pytest.CaptureFixture[str], tmp_path: Path
) -> None:
    ports = [f.port for f in FAMILIES.values() if f.port is not None]
    if not ports_free(ports + [4444]):
        pytest.skip("a default port is in use on this machine")
    thread = run_in_thread(["--seconds", str(1.5 * len(GAMES) + 1), "--shm-dir", str(tmp_path)])
    time.sleep(0.3)
    for gear, name in enumerate(sorted(GAMES), start=2):
        port = FAMILIES[name].port
        assert port is not None
        send_until(display, GAMES[name](replace(CAR, gear=gear)), port, str(gear))
        time.sleep(1.1)  # silence: the next game may take the display
    thread.join(15)
    out = capsys.readouterr().out
    for name in GAMES:
        assert f"({name})." in out


def test_help_names_the_games(capsys: pytest.CaptureFixture[str]) -> None:
    with pytest.raises(SystemExit):
        main(["--help"])
    text = " ".join(capsys.readouterr().out.split())
    for name in (
        "wrc EA SPORTS WRC",
        "wreckfest2 Wreckfest 2",
        "rbr Richard Burns Rally",
        "pmr Project Motor Racing",
        "joins 224.0.0.150",
        "Forza Horizon 4/5/6",
    ):
        assert name in text

"""Project Motor Racing's multicast group joined over loopback, and --help
naming the newer UDP games (each game through the app: test_app_games)."""

from __future__ import annotations

import socket
import time
from typing import Callable, List

import pytest
from game_packets_newer import pmr_packets, rbr_packets, wrc_packets, wreckfest2_packets
from test_app_games import CAR, free_port, run_in_thread

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
            # The first call takes one datagram, the next (a burst) the rest.
            heard = other.receive(time.monotonic(), None) + other.receive(time.monotonic(), None)
            assert heard[-1].telemetry.gear == 3
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

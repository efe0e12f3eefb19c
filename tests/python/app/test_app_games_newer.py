"""Project Motor Racing's multicast group joined over loopback, or the
address asked for heard alone, IPv6 refused; and --help
naming the newer UDP games (each game through the app: test_app_games)."""

from __future__ import annotations

import socket
import sys
import time
from typing import Callable, List

import pytest
from app_harness import CAR, free_port, run_in_thread
from game_packets_newer import pmr_packets, rbr_packets, wrc_packets, wreckfest2_packets

import kvdash_virtual as vd
from kvdash_dashboard import app, cli, main
from kvdash_dashboard.sources import FAMILIES
from kvdash_dashboard.sources.channels import Heard, UdpInput
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
    thread = run_in_thread(["--source", "pmr", "--listen", str(port), "--seconds", "1"])
    deadline = time.monotonic() + 3.0
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as game:
        # What the game does on this computer: send to the group, looped back.
        game.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
        try:
            game.sendto(b"", (GROUP, port))
        except OSError:
            thread.join(10)
            pytest.skip("no multicast route here")
        while (r := display.last_report) is None or r[2] != ord("3"):
            assert time.monotonic() < deadline, "the display never showed the car"
            for p in pmr_packets(CAR):
                game.sendto(p, (GROUP, port))
            time.sleep(0.01)
        # Another program listening to the same group gets the packets too.
        other = UdpInput([FAMILIES["pmr"]], "0.0.0.0", port)
        try:
            for p in pmr_packets(CAR):
                game.sendto(p, (GROUP, port))
            # The first call takes one datagram, the next (a burst) the rest;
            # on a slow machine they may come over a few wake-ups.
            heard: list[Heard] = []
            until = time.monotonic() + 3.0
            while not heard or heard[-1].telemetry.gear != 3:
                assert time.monotonic() < until, "the other program never heard the car"
                time.sleep(0.02)
                heard += other.receive(time.monotonic(), None)
            assert heard[-1].telemetry.gear == 3
        finally:
            other.close()
    thread.join(10)
    assert not thread.is_alive()


@pytest.mark.parametrize("where", ["--listen", "--bind"])
def test_pmr_is_heard_on_the_address_asked_for_alone(where: str) -> None:
    port = free_port()
    asked = ["--listen", f"127.0.0.1:{port}"] if where == "--listen" else ["--bind", "127.0.0.1"]
    args = cli.build_parser().parse_args(["--source", "pmr", *asked])
    said: list[str] = []
    udp, _, _ = app.open_inputs(args, None, said.append)
    try:
        assert udp[0].address[0] == "127.0.0.1"
        assert f"the multicast group {GROUP} is not joined" in said[0]
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as game:
            for p in pmr_packets(CAR):
                game.sendto(p, udp[0].address)
        time.sleep(0.05)
        # The first call takes one datagram, the next (a burst) the rest.
        heard = udp[0].receive(0.0, None) + udp[0].receive(0.0, None)
        assert heard[-1].telemetry.gear == 3
    finally:
        udp[0].close()


@pytest.mark.parametrize(
    ("argv", "said"),
    [
        (["--source", "pmr", "--listen", "[::1]:0"], "sends IPv4 only"),
        (["--source", "pmr", "--bind", "::"], "sends IPv4 only"),
        (["--bind", ""], "--bind needs an address"),
    ],
)
def test_addresses_that_cannot_work_are_refused(
    argv: list[str], said: str, capsys: pytest.CaptureFixture[str]
) -> None:
    assert main([*argv, "--seconds", "0.2"]) == 2
    err = capsys.readouterr().err
    assert said in err and "inet_aton" not in err


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
    # Windows opens shared memory by name: no folder to offer there.
    assert ("--shm-dir" in text) == (sys.platform != "win32")

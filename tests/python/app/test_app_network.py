"""Where the app listens and whom it hears: --bind for every UDP source,
--listen over IPv6, a console's packets from the console alone, and no port
at all said as such."""

from __future__ import annotations

import dataclasses
import select
import socket
import sys

import pytest
from app_harness import outgauge

from kvdash_dashboard import app, cli, main
from kvdash_dashboard.sources import FAMILIES, gt7
from kvdash_dashboard.sources.channels import Heard, UdpInput


def open_udp(*argv: str) -> list[UdpInput]:
    args = cli.build_parser().parse_args(list(argv))
    udp, polled, _ = app.open_inputs(args, None, print)
    for p in polled:
        p.close()
    return udp


def test_bind_narrows_every_source_and_listen_takes_ipv6() -> None:
    udp = open_udp("--bind", "127.0.0.1")
    try:
        assert udp and {u.address[0] for u in udp} == {"127.0.0.1"}
    finally:
        for u in udp:
            u.close()
    if not socket.has_ipv6:
        return
    try:
        udp = open_udp("--source", "outgauge", "--bind", "127.0.0.1", "--listen", "[::1]:0")
    except SystemExit:
        pytest.skip("no IPv6 loopback here")
    assert udp[0].address[0] == "::1" and udp[0].socket.family == socket.AF_INET6
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as s:
            s.sendto(outgauge(gear=2), udp[0].address)
        assert [h.telemetry.gear for h in receive(udp[0], 1)] == [1]
    finally:
        udp[0].close()


def receive(u: UdpInput, count: int) -> list[Heard]:
    """What u hears of the next count datagrams."""
    heard: list[Heard] = []
    while u.channel.packets + u.channel.bad < count:
        assert select.select([u.socket], [], [], 2.0)[0], "nothing arrived"
        heard += u.receive(0.0, None)
    return heard


@pytest.mark.skipif(
    sys.platform == "win32", reason="only Linux answers on every address of 127.0.0.0/8"
)
def test_a_console_is_heard_alone() -> None:
    """Datagrams to a console's port count only when they come from it."""
    family = dataclasses.replace(FAMILIES["outgauge"], request=gt7.heartbeat)
    u = UdpInput([family], "127.0.0.1", 0, console="127.0.0.2")
    try:
        for sender in ("127.0.0.1", "127.0.0.2"):
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.bind((sender, 0))
                s.sendto(outgauge(gear=2), u.address)
        heard = receive(u, 2)
        assert (u.channel.packets, u.channel.bad, len(heard)) == (1, 1, 1)
    finally:
        u.close()
    assert app.resolve_console("localhost", "0.0.0.0") == "127.0.0.1"
    assert app.resolve_console("a b c", "0.0.0.0") is None


def test_auto_with_no_port_at_all_says_so(
    monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    def taken(*_args: object) -> UdpInput:
        raise OSError(98, "Address already in use")

    monkeypatch.setattr(app, "UdpInput", taken)
    assert main(["--seconds", "5"]) == 1
    assert "cannot listen on any UDP port" in capsys.readouterr().err


def test_gt7_without_its_extra_says_how_to_install_it(
    monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    monkeypatch.setattr(cli, "UNAVAILABLE", {"gt7": gt7.MISSING})
    assert main(["--source", "gt7", "--console", "127.0.0.1"]) == 2
    assert 'pip install "kvdash[gt7]"' in capsys.readouterr().err
    with pytest.raises(SystemExit):  # never taken for --listen
        main(["--list", "4444"])

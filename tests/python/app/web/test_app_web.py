"""--http over plain sockets: /frame, /events, 404, 400, the client limit,
stalled clients, and the preview without a display."""

from __future__ import annotations

import http.client
import json
import socket
import time
from typing import Any

import pytest
from app_harness import AppRun, app_with_page, free_port, raw, serves, wait_for

import kvdash_virtual as vd
from kvdash_dashboard import display as displays

web = pytest.importorskip("kvdash_dashboard.web.server", reason="--http needs h11")


def get(port: int, path: str) -> tuple[int, str, bytes]:
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    try:
        conn.request("GET", path)
        r = conn.getresponse()
        return r.status, r.getheader("Content-Type", ""), r.read()
    finally:
        conn.close()


def frame(port: int) -> dict[str, Any]:
    status, kind, body = get(port, "/frame")
    assert (status, kind) == (200, "application/json")
    result: dict[str, Any] = json.loads(body)
    return result


def test_frame_page_and_errors(display: vd.VirtualDisplay, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(web, "KEEPALIVE", 0.2)
    run, send, port = app_with_page(2.0)
    with socket.create_connection(("127.0.0.1", port), timeout=0.9) as quiet:
        quiet.sendall(b"GET /events HTTP/1.1\r\nHost: localhost\r\n\r\n")
        time.sleep(0.7)  # nothing changes meanwhile: comment lines keep the stream alive
        assert quiet.recv(65536).count(b": keep-alive\n\n") >= 2
    send(gear=4, rpm=7400.0, speed=50.0, fuel=0.5)
    wait_for(lambda: frame(port)["gear"] == "3")
    f = frame(port)
    assert f == {
        "gear": "3",
        "rpm": [1] * 13,
        "warnings": [0, 0, 1, 0, 0, 0],
        "left": "   180",
        "right": "   50.0",
        "report": list(display.last_report or b""),  # what the display was sent, byte for byte
        "source": "outgauge",
        "car": "",
        "labels": ["PIT", "TC", "ABS", "DRS", "ENG", "FLAG"],  # the LEDs in force name them
    }
    status, kind, body = get(port, "/?overlay=1")
    assert (status, kind) == (200, "text/html; charset=utf-8") and b"/dash.js" in body
    assert get(port, "/dash.js")[:2] == (200, "text/javascript; charset=utf-8")
    assert get(port, "/nothing")[0] == 404
    for garbage in (b"\x16\x03\x01\x02\x00\x01\r\n\r\n", b"GET / HTTP/1.1\r\nno colon\r\n\r\n"):
        assert raw(port, garbage).startswith(b"HTTP/1.1 400 ")  # then closed
    assert run.join() == 0


def events(stream: http.client.HTTPResponse, until: float) -> list[dict[str, Any]]:
    """The frames of an /events stream, until then."""
    out = []
    while time.monotonic() < until:
        try:
            line = stream.readline()
        except TimeoutError:
            break
        if line.startswith(b"data: "):
            out.append(json.loads(line[6:]))
    return out


def test_events_come_in_order_at_most_60_a_second(display: vd.VirtualDisplay) -> None:
    run, send, port = app_with_page(2.5)
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=0.5)
    conn.request("GET", "/events")
    stream = conn.getresponse()
    assert stream.getheader("Content-Type") == "text/event-stream"
    start = time.monotonic()
    for speed in range(1, 301):  # 300 new frames in one second
        send(speed=speed / 3.6)
        time.sleep(start + speed / 300 - time.monotonic() if speed % 10 == 0 else 0)
    got = events(stream, time.monotonic() + 0.5)
    conn.close()
    speeds = [int(f["left"]) for f in got if f["left"].strip().isdigit()]
    assert speeds == sorted(set(speeds)) and speeds[-1] == 300  # in order, the last one too
    span = time.monotonic() - start
    assert 30 <= len(got) <= 60 * span + 2  # the newest frame wins, 60 a second at most
    assert run.join() == 0


def test_stalled_clients_neither_delay_the_display_nor_stay(
    display: vd.VirtualDisplay, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(web, "STALL", 1.0)
    run, send, port = app_with_page(8.0)
    stalled = []
    for _ in range(web.MAX_CLIENTS):  # readers that never read
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
        s.connect(("127.0.0.1", port))
        s.sendall(b"GET /events HTTP/1.1\r\nHost: localhost\r\n\r\n")
        stalled.append(s)
    time.sleep(0.3)
    assert raw(port, b"GET /frame HTTP/1.1\r\nHost: localhost\r\n\r\n").startswith(b"HTTP/1.1 503 ")
    worst, speed, start = 0.0, 100, time.monotonic()
    while True:  # new frames until the stalled clients' buffers are full, and they are let go
        speed += 1
        sent = time.monotonic()
        send(speed=speed / 3.6)
        wait_for(lambda: (display.last_report or b"")[27:33] == b"%6d" % speed, 1.0)  # noqa: B023
        worst = max(worst, time.monotonic() - sent)
        if speed % 50 == 0 and serves(port):
            break
        assert time.monotonic() - start < 7.0, "the stalled clients were kept"
    assert worst < 0.1  # generous for a loaded machine: the benchmark has the figures
    for s in stalled:
        s.close()
    assert run.join() == 0


@pytest.mark.parametrize("virtual", [False, True])
def test_without_a_display_the_frames_are_previewed(
    virtual: bool, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    monkeypatch.setattr(displays, "VIRTUAL_AVAILABLE", False)  # as on Windows
    port = free_port()
    argv = ["--source", "demo", "--seconds", "2.5", "--http", str(port), "--view", "lines"]
    run = AppRun(*argv, *(["--virtual"] if virtual else []))
    wait_for(lambda: serves(port) and frame(port)["left"].strip() != "")
    f = frame(port)
    assert f["report"] is None and f["source"] == "demo"  # no display: no image to read back
    assert run.join() == 0
    lines = capsys.readouterr().out.splitlines()
    expected = (
        "No virtual displays on Windows: --virtual shows a preview only."
        if virtual
        else "No SLI-PRO display found: a preview in the terminal, waiting for one to be "
        "plugged in."
    )
    assert expected in lines
    assert lines[-2].startswith("end   gear ") and "no display: preview only" in lines[-2]


def test_head_other_hosts_and_a_failing_connection_leave_the_app_serving(
    display: vd.VirtualDisplay, monkeypatch: pytest.MonkeyPatch
) -> None:
    run, _, port = app_with_page(3.0)
    for path, status in (
        (b"/", b"200"),
        (b"/frame", b"200"),
        (b"/events", b"200"),
        (b"/x", b"404"),
    ):
        for version in (b"1.0", b"1.1"):
            answer = raw(port, b"HEAD %s HTTP/%s\r\nHost: localhost\r\n\r\n" % (path, version))
            head, _, body = answer.partition(b"\r\n\r\n")
            assert head.startswith(b"HTTP/1.1 " + status) and body == b""
    rebound = raw(port, b"GET /frame HTTP/1.1\r\nHost: attacker.example:%d\r\n\r\n" % port)
    assert rebound.startswith(b"HTTP/1.1 421 ")

    def broken(*_: object) -> None:
        raise RuntimeError("a fault while answering")

    monkeypatch.setattr(web.WebServer, "_respond", broken)
    assert raw(port, b"GET /frame HTTP/1.1\r\nHost: localhost\r\n\r\n") == b""  # closed
    monkeypatch.undo()
    assert frame(port)["source"] == ""
    assert run.join() == 0


@pytest.mark.parametrize(
    ("host", "allowed"),
    [
        *[(host, True) for host in ("127.0.0.1:8080", "[::1]:8080", "::1", "LocalHost:80")],
        (socket.gethostname().upper(), True),
        *[(host, False) for host in ("attacker.example", "127.0.0.1.attacker.example")],
        *[(host, False) for host in ("localhost.attacker.example:80", "[::1", "[::1]x")],
        *[(host, False) for host in ("127.0.0.1:http", "")],
    ],
)
def test_only_addresses_and_own_names_are_served(host: str, allowed: bool) -> None:
    assert web.host_allowed(host) is allowed


def test_out_of_descriptors_the_listener_rests_instead_of_spinning(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    import errno
    import selectors

    said: list[str] = []
    server = web.WebServer("127.0.0.1", 0, selectors.DefaultSelector())
    server.say = said.append
    calls = 0

    def out_of_descriptors(_: socket.socket) -> None:
        nonlocal calls
        calls += 1
        raise OSError(errno.EMFILE, "Too many open files")

    with socket.create_connection(server.address):
        with monkeypatch.context() as m:
            m.setattr(socket.socket, "accept", out_of_descriptors)
            for now in (0.0, 0.1, 0.2):  # however often the loop wakes meanwhile
                # Resting, the listener is out of the selector: nothing to wait on.
                ready = server.selector.select(0.2) if server.selector.get_map() else []
                for key, mask in ready:
                    key.data(mask, now)
                server.tick(now)
        assert calls == 1 and len(said) == 1 and "Too many open files" in said[0]
        assert server.next_deadline() == web.ACCEPT_PAUSE
        server.tick(web.ACCEPT_PAUSE)  # taken again: the waiting connection is accepted
        for key, mask in server.selector.select(1.0):
            key.data(mask, 1.0)
        assert len(server.clients) == 1
    server.close()

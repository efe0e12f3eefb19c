"""What the app's tests share: the app run in a thread or a child process,
free ports, an OutGauge sender, waiting for what the display shows, and the
page served beside it."""

from __future__ import annotations

import os
import socket
import struct
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any, List

import kvdash_virtual as vd
from kvdash_dashboard import main
from kvdash_dashboard.telemetry import Telemetry


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port


def outgauge(gear: int = 1, rpm: float = 1000.0, speed: float = 0.0, fuel: float = 0.5) -> bytes:
    """An OutGauge packet, laid out field by field (BeamNG's 96 bytes)."""
    data = struct.pack("<I4sHBB", 0, b"beam", 0, gear, 0)
    data += struct.pack("<7f", speed, rpm, 0.0, 90.0, fuel, 0.0, 95.0)
    data += struct.pack("<II", 0x0415, 0x0400)  # ABS lit
    data += struct.pack("<3f", 1.0, 0.0, 0.0) + bytes(32) + struct.pack("<i", 1)
    return data


def wait_for(what: Callable[[], bool], timeout: float = 3.0) -> float:
    """Seconds until what() held; fails after timeout."""
    start = time.monotonic()
    while not what():
        if time.monotonic() - start > timeout:
            raise AssertionError("timed out")
        time.sleep(0.005)
    return time.monotonic() - start


class AppRun:
    """main() in a thread of this process, as a test drives it."""

    def __init__(self, *argv: str) -> None:
        self.status: int | None = None
        self._thread = threading.Thread(target=self._run, args=(list(argv),), daemon=True)
        self._thread.start()

    def _run(self, argv: list[str]) -> None:
        self.status = main(argv)

    def join(self, timeout: float = 15.0) -> int:
        self._thread.join(timeout)
        assert not self._thread.is_alive(), "the app did not stop"
        assert self.status is not None
        return self.status


# The app as a user starts it from a terminal: a test run that is itself a
# background job (its Ctrl-C ignored, which children inherit) must not pass
# that on, so the child puts the default handlers back first.
APP_WITH_DEFAULT_SIGNALS = """
import signal, sys
signal.signal(signal.SIGINT, signal.default_int_handler)
for name in ("SIGTERM", "SIGHUP"):
    if hasattr(signal, name):
        signal.signal(getattr(signal, name), signal.SIG_DFL)
import kvdash_virtual as vd
from kvdash_dashboard import main
sys.exit(main())
"""


def app_command(*argv: str) -> list[str]:
    """No web pages unless argv asks: many test runs share this computer's 8722."""
    return [sys.executable, "-c", APP_WITH_DEFAULT_SIGNALS, "--http", "off", *argv]


def app_env() -> dict[str, str]:
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    env["XDG_RUNTIME_DIR"] = tempfile.mkdtemp(prefix="kvdash-run-")
    return env


def raw(port: int, request: bytes) -> bytes:
    """What the server answers to these bytes, up to its close."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(request)
        answer = b""
        while chunk := s.recv(4096):
            answer += chunk
    return answer


class Sender:
    def __init__(self, port: int) -> None:
        self.port = port
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

    def __call__(self, **fields: Any) -> None:
        self.sock.sendto(outgauge(**fields), ("127.0.0.1", self.port))


def app_with_page(seconds: float, page: int = 0) -> tuple[AppRun, Sender, int]:
    """The app on OutGauge packets from a Sender, serving its page on that port (0: a free one)."""
    udp, page = free_port(), page or free_port()
    run = AppRun(
        *("--source", "outgauge", "--listen", f"127.0.0.1:{udp}", "--left", "speed"),
        *("--http", str(page), "--seconds", str(seconds), "--view", "lines"),
    )
    wait_for(lambda: serves(page))
    return run, Sender(udp), page


def serves(port: int) -> bool:
    """Whether the page is served (a whole answer: the server is done with it)."""
    try:
        return raw(port, b"GET /frame HTTP/1.1\r\nHost: localhost\r\n\r\n").startswith(
            b"HTTP/1.1 200"
        )
    except OSError:
        return False


CAR = Telemetry(
    gear=3,
    rpm=6000.0,
    max_rpm=8000.0,
    rev_lights=0.5,
    speed=25.0,  # 90 km/h
    fuel=0.5,
    lap_time=83.4,
    last_lap=84.0,
    best_lap=83.0,
    lap=4,
    position=2,
)


def run_in_thread(argv: List[str]) -> threading.Thread:
    status: List[int] = []
    thread = threading.Thread(target=lambda: status.append(main(argv)), daemon=True)
    thread.start()
    return thread


def lfs(rpm: float) -> bytes:
    """An OutGauge packet from Live for Speed's XR GT (the car at bytes 4 to 8), in second gear."""
    packet = outgauge(gear=3, rpm=rpm, speed=20.0)
    return packet[:4] + b"XRT\0" + packet[8:]


FILE = """# my dashboard
left = "speed"  # what I watch

# Live for Speed's XR GT
[car."outgauge:XRT"]
shift = [7000]  # from the manual
"""


def app_with_settings(
    tmp_path: Path, seconds: float, http: str = ""
) -> tuple[AppRun, int, Path, Callable[[], bool]]:
    """The app on --config, OutGauge and --http; and a function that sends
    the game's next packet (6000 rpm), for wait_for."""
    path = tmp_path / "dashboard.toml"
    path.write_text(FILE)
    udp, port = free_port(), free_port()
    run = AppRun(
        *("--config", str(path), "--source", "outgauge", "--listen", f"127.0.0.1:{udp}"),
        *("--http", f"{http}{port}", "--seconds", str(seconds), "--view", "lines"),
    )
    wait_for(lambda: serves(port))
    game = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

    def send() -> bool:
        return game.sendto(lfs(6000.0), ("127.0.0.1", udp)) > 0

    send()
    return run, port, path, send


def rpm_leds(display: vd.VirtualDisplay) -> int:
    return sum((display.last_report or bytes(54))[3:16])


LAP_TIME = bytes([0x20, 0x20, 0xB1, 0xB2, 0xB3, 0x34])  # "1:23.4"


SPEED = b"    90"


FUEL = bytes([0x20, 0x20, 0x20, 0x35, 0xB0, 0x30])  # "50.0"


def send_until(
    display: vd.VirtualDisplay,
    packets: List[bytes],
    port: int,
    gear: str,
    ready: Callable[[bytes], bool] | None = None,
) -> bytes:
    """Sends the packets again and again until the display shows the gear
    (and, where asked, all that ready() looks for: a game that spreads the
    car over several packets may show the gear a report before the rest)."""
    deadline = time.monotonic() + 3.0
    r = None
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        while time.monotonic() < deadline:
            for p in packets:
                s.sendto(p, ("127.0.0.1", port))
            time.sleep(0.01)
            r = display.last_report
            if r is not None and r[2] == ord(gear) and (ready is None or ready(r)):
                return r
    if r is not None and r[2] == ord(gear):
        return r  # for the caller's checks to say what is missing
    raise AssertionError(f"the display never showed gear {gear}")


def car_shown(report: bytes, fields: frozenset[str]) -> bool:
    try:
        check_car(report, fields)
    except AssertionError:
        return False
    return True


def check_car(report: bytes, fields: frozenset[str]) -> None:
    assert report[2] == ord("3")
    assert 0 < sum(report[3:16]) < 13
    assert report[27:33] == (LAP_TIME if "lap_time" in fields else SPEED)
    if "fuel" in fields:
        assert report[33:39] == FUEL


def ports_free(ports: List[int]) -> bool:
    for port in ports:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            try:
                probe.bind(("0.0.0.0", port))
            except OSError:
                return False
    return True

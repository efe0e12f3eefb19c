"""A telemetry source of your own, shown the way kvdash-dashboard shows a game.

Your program sends one UDP datagram per update to port 5555, a line of text:

    gear rpm speed_kmh fuel_percent       e.g. "3 6400 142 56.5"

and this script draws it with the dashboard's own layout (shift light from
--rpm-shift, lap-time and fuel panels, placeholders when nothing arrives):

    python examples/own_source.py [PORT]
    echo "3 6400 142 56.5" | nc -u -q0 127.0.0.1 5555     # from another terminal

Without a display it drives a virtual one (Linux) and prints what it showed
at the end (Ctrl-C).
"""

from __future__ import annotations

import socket
import sys
import time
from typing import TYPE_CHECKING

import kvdash
from kvdash_dashboard.console import captured_c_stdout
from kvdash_dashboard.dashboard import Layout, Options, send
from kvdash_dashboard.telemetry import Telemetry

if TYPE_CHECKING:
    from kvdash_virtual import VirtualDisplay

PORT = 5555
STALE = 2.0  # s without a datagram: show "no data"


def decode(data: bytes) -> Telemetry | None:
    """One datagram, or None when it is not four numbers."""
    try:
        gear, rpm, speed, fuel = data.split()
        return Telemetry(
            gear=int(gear),
            rpm=float(rpm),
            speed=float(speed) / 3.6,  # the record holds m/s
            fuel=min(1.0, max(0.0, float(fuel) / 100)),
        )
    except ValueError:
        return None


def open_display() -> tuple[kvdash.kvengine, VirtualDisplay | None]:
    """The SLI-PRO; else, where there are virtual displays (not on Windows),
    a virtual one. SystemExit with a line when there is neither."""
    engine = kvdash.kvengine()
    with captured_c_stdout():  # the module's own "device init failed" lines: ours say more
        if engine.init():
            return engine, None
    if sys.platform == "win32":
        raise SystemExit("No SLI-PRO display found (or it could not be opened): plug one in.")
    import kvdash_virtual

    virtual = kvdash_virtual.attach()
    print("No SLI-PRO display found (or it could not be opened): drawing on a virtual one.")
    engine = kvdash.kvengine()
    engine.init()
    return engine, virtual


def main() -> int:
    port = int(sys.argv[1]) if len(sys.argv) > 1 else PORT
    engine, virtual = open_display()
    fields = frozenset({"gear", "rpm", "speed", "fuel"})  # what this source fills
    layout = Layout(Options(rpm_start=5000, rpm_shift=7500), fields)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", port))
    print(f"Listening on 127.0.0.1:{sock.getsockname()[1]}; Ctrl-C ends.", flush=True)
    sock.settimeout(0.05)  # wake now and then: the shift light flashes
    latest: Telemetry | None = None
    heard = 0.0
    shown = None
    try:
        while True:
            try:
                t = decode(sock.recv(1500))
                if t is not None:
                    latest, heard = t, time.monotonic()
            except socket.timeout:
                pass
            now = time.monotonic()
            if now - heard > STALE:
                latest = None
            frame, _ = layout.frame(latest, now)
            if frame != shown:  # a report only when the picture changes
                send(engine, frame)
                shown = frame
    except KeyboardInterrupt:
        return 0
    finally:
        sock.close()
        if virtual is not None:
            print(virtual.render())
            virtual.detach()


if __name__ == "__main__":
    sys.exit(main())

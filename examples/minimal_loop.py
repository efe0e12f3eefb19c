"""The smallest dashboard: a made-up engine revving up and down, shown on the
display for ten seconds (or as many as given). Copy it and put your own
numbers in.

    python examples/minimal_loop.py [SECONDS]

Without a display it uses a virtual one (Linux) and prints what it shows."""

from __future__ import annotations

import math
import sys
import time
from typing import TYPE_CHECKING

import kvdash
from kvdash_dashboard.console import captured_c_stdout

if TYPE_CHECKING:
    from kvdash_virtual import VirtualDisplay

RPM_LEDS = 13


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
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
    engine, virtual = open_display()
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        t = time.monotonic() - start
        rpm = 4500 + 3500 * math.sin(t)  # 1000 to 8000
        gear = 1 + int(t) % 6
        lit = int(RPM_LEDS * (rpm - 1000) / 7000)
        engine.set_gear(str(gear))
        for led in range(1, RPM_LEDS + 1):
            engine.set_rpm_led(led, 1 if led <= lit else 0)
        engine.set_warning_led(1, 1 if rpm > 7500 else 0)
        engine.set_left_panel(f"{rpm:6.0f}")  # e.g. "  6543"
        engine.set_right_panel(f"{t:6.1f}")  # seconds, e.g. "   3.5"
        engine.show_me()  # one report with all of the above
        time.sleep(1 / 60)

    if virtual is not None:
        print(virtual.render())
        virtual.detach()
    del engine  # blanks the display
    return 0


if __name__ == "__main__":
    sys.exit(main())

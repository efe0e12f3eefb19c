"""The smallest dashboard: a made-up engine revving up and down, shown on the
display for ten seconds. Copy it and put your own numbers in.

    python examples/minimal_loop.py

Without a display it uses a virtual one (Linux) and prints what it shows."""

from __future__ import annotations

import math
import sys
import time

import kvdash

RPM_LEDS = 13


def main() -> int:
    virtual = None
    engine = kvdash.kvengine()
    if not engine.init():  # prints why; on Linux try a virtual display instead
        if sys.platform == "win32":
            return 1
        import kvdash_virtual

        virtual = kvdash_virtual.attach()
        engine = kvdash.kvengine()
        engine.init()

    start = time.monotonic()
    while time.monotonic() - start < 10.0:
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

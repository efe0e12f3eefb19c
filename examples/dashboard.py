#!/usr/bin/env python3
"""A racing dashboard on the SLI-PRO display.

    python examples/dashboard.py                  # a simulated lap
    python examples/dashboard.py --outgauge 4444  # live OutGauge telemetry (UDP)

The dashboard drives a real display when one is attached. Without one it
attaches a virtual display and draws it live in the terminal (or prints one
line a second when the output is not a terminal). Ctrl-C ends it; the display
is left blank.
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import math
import os
import random
import socket
import struct
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Iterator, List, Optional, Protocol, Sequence, TextIO, Tuple


@contextlib.contextmanager
def captured_c_stdout() -> Iterator[List[str]]:
    """Collects what the module prints on C stdout meanwhile (POSIX only)."""
    lines: List[str] = []
    if sys.platform == "win32":
        yield lines
        return
    libc = ctypes.CDLL(None)
    sys.stdout.flush()
    libc.fflush(None)
    saved = os.dup(1)
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 1)
        try:
            yield lines
        finally:
            libc.fflush(None)
            os.dup2(saved, 1)
            os.close(saved)
            sink.seek(0)
            lines.extend(sink.read().decode("utf-8", "replace").splitlines())


# Loading the module prints "Kavu Engine already running!" when another
# process has it loaded: keep that, to say it on a line of its own.
with captured_c_stdout() as LOAD_MESSAGES:
    import kvdash

if TYPE_CHECKING:
    from kvdash_virtual import VirtualDisplay
    from rich.console import RenderableType
    from rich.text import Text

RPM_LEDS = 13
# What the display is sent when the engine lets it go.
BLANK_REPORT = bytes([0, 1, 0x20]) + bytes(24) + b" " * 12 + bytes(15)
WARNING_LEDS = 6
PANEL_DIGITS = 6
MS_TO_KMH = 3.6
MS_TO_MPH = 2.2369362920544

# Light bits of OutGauge's dashlights / showlights words.
LIGHT_SHIFT = 0
LIGHT_FULLBEAM = 1
LIGHT_HANDBRAKE = 2
LIGHT_PITSPEED = 3
LIGHT_TC = 4
LIGHT_SIGNAL_L = 5
LIGHT_SIGNAL_R = 6
LIGHT_OIL_WARN = 8
LIGHT_BATTERY = 9
LIGHT_ABS = 10

# Warning LED n (1 to 6, left to right) lights when any of its bits is lit.
# The turn signals sit at the two ends, where a driver looks for them.
WARNING_MAP: Tuple[Tuple[str, Tuple[int, ...]], ...] = (
    ("◀", (LIGHT_SIGNAL_L,)),
    ("PIT", (LIGHT_PITSPEED,)),
    ("TC", (LIGHT_TC,)),
    ("ABS", (LIGHT_ABS,)),
    ("ENG", (LIGHT_OIL_WARN, LIGHT_BATTERY, LIGHT_HANDBRAKE)),
    ("▶", (LIGHT_SIGNAL_R,)),
)


# --------------------------------------------------------------------------
# Telemetry


@dataclass(frozen=True)
class Telemetry:
    """One moment of the car, whatever the source."""

    gear: int  # -1 reverse, 0 neutral, 1 first, ...
    rpm: float
    speed: float  # m/s
    fuel: float  # 0 to 1
    lights: int = 0  # lit light bits (LIGHT_*)
    lap_time: Optional[float] = None  # s, None when the source has no lap clock
    delta: Optional[float] = None  # s against a reference lap, + is slower
    lap: int = 0


class Source(Protocol):
    """Where telemetry comes from. read() answers the newest, or None when there is none."""

    name: str

    def read(self, now: float) -> Optional[Telemetry]: ...

    def status(self) -> str: ...

    def close(self) -> None: ...


# --------------------------------------------------------------------------
# The simulated lap


@dataclass(frozen=True)
class Car:
    top_speeds: Tuple[float, ...] = (16.7, 25.0, 33.3, 43.0, 54.0, 66.7)  # m/s at redline per gear
    redline: float = 8000.0
    shift_at: float = 7800.0  # the simulated driver shifts a little after the lights flash
    downshift_below: float = 4200.0
    idle: float = 1000.0
    launch: float = 4500.0
    grip: float = 9.0  # m/s² at low speed
    drag_speed: float = 75.0  # m/s where drag eats all power
    braking: float = 13.0  # m/s²
    burn: float = 0.00045  # tank fraction per second at full throttle


@dataclass(frozen=True)
class Segment:
    straight: float  # m
    corner_speed: float  # m/s
    corner: float  # m


TRACK: Tuple[Segment, ...] = (
    Segment(420.0, 24.0, 90.0),
    Segment(520.0, 38.0, 140.0),
    Segment(260.0, 19.0, 70.0),
    Segment(760.0, 46.0, 180.0),
    Segment(230.0, 17.0, 60.0),
    Segment(480.0, 31.0, 110.0),
)


class SimulatedLap:
    """A car driving laps of a made-up circuit, stepped at a fixed rate so the
    same lap comes out at any frame rate. Lap 1 starts in the pit box, in
    neutral with the pit limiter on; each lap's corner speeds vary a little
    from the reference lap, which gives a delta."""

    name = "simulated lap"
    STEP = 1.0 / 240.0
    PIT_STOP = 1.0  # s in neutral before the launch

    def __init__(self, car: Car = Car(), track: Sequence[Segment] = TRACK, seed: int = 7) -> None:
        self.car = car
        self.track = tuple(track)
        self.length = sum(s.straight + s.corner for s in self.track)
        self._random = random.Random(seed)
        self._reference = self._reference_lap()
        self._start: Optional[float] = None
        self._clock = 0.0
        self._state = _CarState(fuel=0.62, lights=1 << LIGHT_PITSPEED)
        self._scale = self._lap_scale()

    # One lap's corner speeds: the reference has scale 1.
    def _lap_scale(self) -> List[float]:
        return [self._random.uniform(0.96, 1.03) for _ in self.track]

    def _reference_lap(self) -> List[float]:
        """Time at each metre of a lap driven at the nominal corner speeds."""
        state = _CarState(fuel=1.0)
        times = [0.0]
        scale = [1.0] * len(self.track)
        while state.lap == 0:
            self._step(state, scale)
            while len(times) <= int(state.distance) and state.lap == 0:
                times.append(state.lap_time)
        return times

    def read(self, now: float) -> Optional[Telemetry]:
        if self._start is None:
            self._start = now
        target = now - self._start
        while self._clock + self.STEP <= target:
            lap = self._state.lap
            self._step(self._state, self._scale)
            if self._state.lap != lap:
                self._scale = self._lap_scale()
            self._clock += self.STEP
        return self._telemetry()

    def status(self) -> str:
        return f"lap {self._state.lap + 1}"

    def close(self) -> None:
        pass

    def _telemetry(self) -> Telemetry:
        s = self._state
        metre = min(int(s.distance), len(self._reference) - 1)
        delta = s.lap_time - self._reference[metre] if s.lap > 0 or s.distance > 1 else None
        return Telemetry(
            gear=s.gear,
            rpm=s.rpm,
            speed=s.speed,
            fuel=s.fuel,
            lights=s.lights,
            lap_time=s.lap_time,
            delta=delta,
            lap=s.lap + 1,
        )

    def _hold_speed(self, state: _CarState, scale: Sequence[float]) -> float:
        """The corner speed while in a corner; no limit on a straight."""
        d = state.distance
        for i, seg in enumerate(self.track):
            if seg.straight <= d < seg.straight + seg.corner:
                return seg.corner_speed * scale[i]
            d -= seg.straight + seg.corner
        return math.inf

    def _next_corner(self, state: _CarState, scale: Sequence[float]) -> Tuple[float, float]:
        """The next corner's speed and the distance to it (none when in a corner)."""
        d = state.distance
        for i, seg in enumerate(self.track):
            if d < seg.straight:
                return seg.corner_speed * scale[i], seg.straight - d
            d -= seg.straight + seg.corner
        return math.inf, math.inf

    def _step(self, s: _CarState, scale: Sequence[float]) -> None:
        car, dt = self.car, self.STEP
        s.lap_time += dt
        s.lights = 0
        if s.lap == 0 and s.lap_time < self.PIT_STOP:
            # In the pit box: neutral, blipping the throttle.
            s.gear = 0
            s.rpm = car.idle + 3000.0 * max(0.0, math.sin(s.lap_time * 9.0))
            s.lights = 1 << LIGHT_PITSPEED
            return
        if s.gear == 0:
            s.gear = 1
        hold = self._hold_speed(s, scale)
        corner_speed, distance = self._next_corner(s, scale)
        braking_distance = (s.speed**2 - corner_speed**2) / (2 * car.braking)
        throttle = 0.0
        if s.speed > hold:
            s.speed = max(hold, s.speed - car.braking * dt)
        elif corner_speed < s.speed and distance <= braking_distance + s.speed * dt:
            s.speed = max(corner_speed, s.speed - car.braking * dt)
            if s.speed > 30.0:
                s.lights |= 1 << LIGHT_ABS
        elif s.speed < hold:
            throttle = 1.0
            accel = car.grip * (1.0 - (s.speed / car.drag_speed) ** 2)
            s.speed = min(s.speed + accel * dt, hold)
            if s.gear <= 2 and s.speed < 20.0:
                s.lights |= 1 << LIGHT_TC
        s.fuel = max(0.0, s.fuel - car.burn * (0.15 + throttle) * dt)
        s.distance += s.speed * dt
        # Gears: up past the shift point, down when the revs fall.
        top = car.top_speeds
        rpm = car.redline * s.speed / top[s.gear - 1]
        if rpm >= car.shift_at and s.gear < len(top):
            s.gear += 1
        elif rpm < car.downshift_below and s.gear > 1 and throttle == 0.0:
            s.gear -= 1
        rpm = car.redline * s.speed / top[s.gear - 1]
        if s.gear == 1 and throttle > 0:
            rpm = max(rpm, car.launch)  # slipping the clutch off the line
        s.rpm = max(car.idle, min(rpm, car.redline))
        if s.distance >= self.length:
            s.distance -= self.length
            s.lap += 1
            s.lap_time = 0.0


@dataclass
class _CarState:
    fuel: float
    gear: int = 0
    rpm: float = 1000.0
    speed: float = 0.0
    distance: float = 0.0
    lap_time: float = 0.0
    lap: int = 0
    lights: int = 0


# --------------------------------------------------------------------------
# OutGauge over UDP


OUTGAUGE = struct.Struct("<I4sHBB7f2I3f16s16s")
OUTGAUGE_ID = struct.Struct("<i")
assert OUTGAUGE.size == 92 and OUTGAUGE.size + OUTGAUGE_ID.size == 96


@dataclass(frozen=True)
class OutGaugePacket:
    time: int  # ms
    car: str
    flags: int
    gear: int  # 0 reverse, 1 neutral, 2 first, ...
    plid: int
    speed: float  # m/s
    rpm: float
    turbo: float
    engtemp: float
    fuel: float  # 0 to 1
    oilpressure: float
    oiltemp: float
    dashlights: int
    showlights: int
    throttle: float
    brake: float
    clutch: float
    display1: str
    display2: str
    id: Optional[int] = None

    @classmethod
    def parse(cls, data: bytes) -> Optional[OutGaugePacket]:
        """The packet in data, or None when data is not an OutGauge packet."""
        if len(data) not in (OUTGAUGE.size, OUTGAUGE.size + OUTGAUGE_ID.size):
            return None
        values = list(OUTGAUGE.unpack_from(data))
        for text in (1, 17, 18):  # car, display1, display2
            values[text] = _cstr(values[text])
        ident = (
            OUTGAUGE_ID.unpack_from(data, OUTGAUGE.size)[0] if len(data) > OUTGAUGE.size else None
        )
        values.append(ident)
        packet = cls(*values)
        numbers = (packet.speed, packet.rpm, packet.fuel, packet.throttle, packet.brake)
        return packet if all(math.isfinite(x) for x in numbers) else None

    def telemetry(self) -> Telemetry:
        return Telemetry(
            gear=self.gear - 1,
            rpm=self.rpm,
            speed=self.speed,
            fuel=min(1.0, max(0.0, self.fuel)),
            lights=self.showlights & self.dashlights if self.dashlights else self.showlights,
            lap_time=self.time / 1000.0,
        )


def _cstr(raw: bytes) -> str:
    return raw.split(b"\0", 1)[0].decode("latin-1")


def parse_address(text: str) -> Tuple[str, int]:
    """[HOST:]PORT, host 127.0.0.1 by default."""
    host, _, port = text.rpartition(":")
    try:
        number = int(port)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port: {port!r}") from None
    if not 0 <= number <= 65535:
        raise argparse.ArgumentTypeError(f"port out of range: {number}")
    return (host or "127.0.0.1"), number


class OutGaugeSource:
    """Listens for OutGauge packets; read() takes every packet that has arrived
    and answers the newest good one. Packets of another size, or with numbers
    that are not finite, are counted and dropped."""

    name = "OutGauge"
    STALE = 2.0  # s without a packet: the car is gone

    def __init__(self, host: str = "127.0.0.1", port: int = 4444) -> None:
        self._socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self._socket.bind((host, port))
        self._socket.setblocking(False)
        self.address: Tuple[str, int] = self._socket.getsockname()
        self.packets = 0
        self.bad_packets = 0
        self.last: Optional[OutGaugePacket] = None
        self._last_at = -math.inf

    def read(self, now: float) -> Optional[Telemetry]:
        while True:
            try:
                data = self._socket.recv(4096)
            except (BlockingIOError, InterruptedError):
                break
            except OSError:  # e.g. an ICMP error reported on a UDP socket
                self.bad_packets += 1
                break
            packet = OutGaugePacket.parse(data)
            if packet is None:
                self.bad_packets += 1
                continue
            self.packets += 1
            self.last = packet
            self._last_at = now
        if self.last is None or now - self._last_at > self.STALE:
            return None
        return self.last.telemetry()

    def status(self) -> str:
        host, port = self.address
        car = f" {self.last.car}" if self.last else " waiting"
        return f"{host}:{port}{car}, {self.packets} packets, {self.bad_packets} bad"

    def close(self) -> None:
        self._socket.close()


# --------------------------------------------------------------------------
# From telemetry to the display


@dataclass
class Options:
    rpm_start: float = 5000.0
    rpm_shift: float = 7500.0
    units: str = "kmh"  # or "mph"
    left: str = "time"  # or "speed"
    right: str = "fuel"  # or "delta"
    neutral: str = "-"
    flash_hz: float = 8.0


def gear_text(gear: int, neutral: str = "-") -> str:
    """The gear as the display can show it: r, the neutral sign, 1 to 9."""
    if gear < 0:
        return "r"
    if gear == 0:
        return neutral
    return str(min(gear, 9))


def rpm_leds(rpm: float, start: float, shift: float) -> int:
    """How many RPM LEDs to light: none at start, all at the shift point."""
    if rpm >= shift:
        return RPM_LEDS
    if rpm <= start:
        return 0
    return min(RPM_LEDS, int(RPM_LEDS * (rpm - start) / (shift - start)) + 1)


def panel_positions(text: str) -> int:
    """Positions a panel text takes: a "." or ":" takes none of its own."""
    return len(text) - text.count(".") - text.count(":")


def right_align(text: str) -> str:
    """Numbers read best against the right edge, as on a dash."""
    return " " * max(0, PANEL_DIGITS - panel_positions(text)) + text


def lap_time_text(seconds: float) -> str:
    """1:23.4 under ten minutes, 12:34.5 under an hour, then whole minutes."""
    tenths = int(seconds * 10)
    minutes, rest = divmod(tenths, 600)
    if minutes >= 60:
        return str(min(minutes, 999999))
    return f"{minutes}:{rest // 10:02d}.{rest % 10}"


def speed_text(speed: float, units: str) -> str:
    factor = MS_TO_MPH if units == "mph" else MS_TO_KMH
    return str(min(999999, int(round(abs(speed) * factor))))


def fuel_text(fuel: float) -> str:
    return f"{100.0 * fuel:.1f}"


def delta_text(delta: float) -> str:
    """-0.35 ahead of the reference, 0.35 behind it (the display has no "+")."""
    delta = max(-99.99, min(99.99, delta))
    return f"{delta:.2f}" if abs(delta) < 9.995 else f"{delta:.1f}"


class Dashboard:
    """Turns telemetry into one frame on the display: the setters, then show_me()."""

    def __init__(self, engine: kvdash.kvengine, options: Optional[Options] = None) -> None:
        self.engine = engine
        self.options = options or Options()
        self.frames = 0

    def frame(self, telemetry: Optional[Telemetry], now: float) -> None:
        """Draw telemetry (None: no data, which shows the panels' placeholders)."""
        o, e = self.options, self.engine
        if telemetry is None:
            self._blank_rows()
            e.set_gear(" ")
            e.set_left_panel("")
            e.set_right_panel("")
        else:
            e.set_gear(gear_text(telemetry.gear, o.neutral))
            self._shift_light(telemetry, now)
            self._warnings(telemetry.lights)
            e.set_left_panel(self._left(telemetry))
            e.set_right_panel(self._right(telemetry))
        e.show_me()
        self.frames += 1

    def _shift_light(self, t: Telemetry, now: float) -> None:
        o = self.options
        lit = rpm_leds(t.rpm, o.rpm_start, o.rpm_shift)
        if t.rpm >= o.rpm_shift or t.lights & (1 << LIGHT_SHIFT):
            # Past the shift point every LED flashes.
            on = int(now * o.flash_hz * 2) % 2 == 0
            lit = RPM_LEDS if on else 0
        for led in range(1, RPM_LEDS + 1):
            self.engine.set_rpm_led(led, 1 if led <= lit else 0)

    def _warnings(self, lights: int) -> None:
        for led, (_, bits) in enumerate(WARNING_MAP, start=1):
            on = any(lights & (1 << bit) for bit in bits)
            self.engine.set_warning_led(led, 1 if on else 0)

    def _blank_rows(self) -> None:
        for led in range(1, RPM_LEDS + 1):
            self.engine.set_rpm_led(led, 0)
        for led in range(1, WARNING_LEDS + 1):
            self.engine.set_warning_led(led, 0)

    def _left(self, t: Telemetry) -> str:
        if self.options.left == "speed":
            return right_align(speed_text(t.speed, self.options.units))
        return right_align(lap_time_text(t.lap_time)) if t.lap_time is not None else ""

    def _right(self, t: Telemetry) -> str:
        if self.options.right == "delta":
            return right_align(delta_text(t.delta)) if t.delta is not None else ""
        return right_align(fuel_text(t.fuel))


# --------------------------------------------------------------------------
# What the display shows, read back from a report


def decode_panel(report: bytes, start: int, count: int = PANEL_DIGITS) -> str:
    """Panel bytes as text: a lit decimal point follows its character."""
    out = []
    for code in report[start : start + count]:
        char = chr(code & 0x7F)
        out.append(char if char in "0123456789-r " else " ")
        if code & 0x80:
            out.append(".")
    return "".join(out)


@dataclass(frozen=True)
class Shown:
    """The display's image in a 54-byte report."""

    gear: str
    rpm: Tuple[bool, ...]
    warnings: Tuple[bool, ...]
    left: str
    right: str
    left_codes: bytes = field(repr=False)
    right_codes: bytes = field(repr=False)
    gear_code: int = 0

    @classmethod
    def of(cls, report: Optional[bytes]) -> Shown:
        if report is None or len(report) < 39:
            report = bytes(54)
        return cls(
            gear=decode_panel(report, 2, 1),
            rpm=tuple(b == 1 for b in report[3:16]),
            warnings=tuple(b == 1 for b in report[16:22]),
            left=decode_panel(report, 27),
            right=decode_panel(report, 33),
            left_codes=bytes(report[27:33]),
            right_codes=bytes(report[33:39]),
            gear_code=report[2],
        )

    def line(self) -> str:
        rpm = "".join("*" if on else "." for on in self.rpm)
        warn = "".join(name[0] if on else "." for (name, _), on in zip(WARNING_MAP, self.warnings))
        gear = self.gear.strip() or " "
        return f"gear {gear}  rpm {rpm}  [{self.left:>7}] [{self.right:>7}]  {warn}"


# Seven segments, a to g, per character the display can show.
SEGMENTS = {
    "0": "abcdef",
    "1": "bc",
    "2": "abdeg",
    "3": "abcdg",
    "4": "bcfg",
    "5": "acdfg",
    "6": "acdefg",
    "7": "abc",
    "8": "abcdefg",
    "9": "abcdfg",
    "-": "g",
    "r": "eg",
    " ": "",
}


def seven_segment(code: int) -> List[List[Tuple[str, bool]]]:
    """Five rows of (text, lit) pieces drawing one character and its point."""
    lit = SEGMENTS.get(chr(code & 0x7F), "")

    # Unlit segments stay faintly visible, thin, as on a real unlit display.
    def across(name: str) -> Tuple[str, bool]:
        return ("━━", True) if name in lit else ("──", False)

    def down(name: str) -> Tuple[str, bool]:
        return ("┃", True) if name in lit else ("│", False)

    gap = (" ", False)
    point = ("●", True) if code & 0x80 else ("·", False)
    return [
        [gap, across("a"), gap, gap],
        [down("f"), ("  ", False), down("b"), gap],
        [gap, across("g"), gap, gap],
        [down("e"), ("  ", False), down("c"), gap],
        [gap, across("d"), gap, point],
    ]


# --------------------------------------------------------------------------
# Opening the display


def open_display(force_virtual: bool = False) -> Tuple[kvdash.kvengine, Optional[VirtualDisplay]]:
    """The real display when one answers init(), else a virtual one."""
    engine = kvdash.kvengine()
    if not force_virtual:
        # A failed init() prints the module's error text; here it only means
        # "no display", which the caller says in its own words.
        with captured_c_stdout():
            found = engine.init()
        if found:
            return engine, None
    if sys.platform == "win32":
        raise SystemExit("no SLI-PRO display found")
    import kvdash_virtual

    virtual = kvdash_virtual.attach()
    if not engine.init():
        virtual.detach()
        raise SystemExit("the virtual display did not come up")
    return engine, virtual


# --------------------------------------------------------------------------
# The views


class View(Protocol):
    def update(self, now: float, rate: float) -> None: ...

    def close(self) -> None: ...


class LineView:
    """One compact line a second, for logs and pipes."""

    def __init__(self, virtual: Optional[VirtualDisplay], source: Source, out: TextIO) -> None:
        self._virtual, self._source, self._out = virtual, source, out
        self._next = 0.0
        self._start: Optional[float] = None

    def update(self, now: float, rate: float) -> None:
        if self._start is None:
            self._start = now
            self._next = now + 1.0
        if now < self._next:
            return
        self._next += 1.0
        print(self._line(now, rate), file=self._out, flush=True)

    def _line(self, now: float, rate: float) -> str:
        elapsed = now - (self._start or now)
        shown = ""
        if self._virtual is not None:
            shown = "  " + Shown.of(self._virtual.last_report).line()
        return f"{elapsed:5.1f}s {rate:5.1f} Hz  {self._source.status()}{shown}"

    def close(self) -> None:
        pass


class LiveView:
    """The virtual display drawn in the terminal with rich, a few dozen times a second."""

    RPM_COLOURS = ["green"] * 4 + ["red"] * 5 + ["blue"] * 4
    WIDTH = 75  # columns the big picture takes

    def __init__(self, virtual: VirtualDisplay, source: Source, refresh_hz: float = 30.0) -> None:
        from rich.console import Console
        from rich.live import Live

        self._virtual, self._source = virtual, source
        self._period = 1.0 / refresh_hz
        self._next = 0.0
        self._rate = 0.0
        self._console = Console()
        self._live = Live(console=self._console, auto_refresh=False, transient=False)
        self._live.start()

    def update(self, now: float, rate: float) -> None:
        self._rate = rate
        if now < self._next:
            return
        self._next = now + self._period
        self._live.update(self.picture(rate), refresh=True)

    def picture(self, rate: float) -> "RenderableType":
        from rich.panel import Panel
        from rich.table import Table
        from rich.text import Text

        if self._console.width < self.WIDTH:
            # Too narrow for the big digits: the module's own small picture.
            return Text(self._virtual.render())
        shown = Shown.of(self._virtual.last_report)

        rpm = Text(justify="center")
        for on, colour in zip(shown.rpm, self.RPM_COLOURS):
            rpm.append("● " if on else "○ ", style=f"bold {colour}" if on else "grey30")

        digits = Table.grid(padding=(0, 2))
        digits.add_column(justify="right")
        digits.add_column(justify="center")
        digits.add_column(justify="left")
        digits.add_row(
            self._digits(shown.left_codes, "bold red"),
            self._digits(bytes([shown.gear_code]), "bold yellow"),
            self._digits(shown.right_codes, "bold red"),
        )

        warnings = Text(justify="center")
        for (name, _), on in zip(WARNING_MAP, shown.warnings):
            warnings.append(f" {name} ", style="bold black on yellow" if on else "grey30")
            warnings.append("  ")

        body = Table.grid()
        body.add_column(justify="center")
        body.add_row(rpm)
        body.add_row(digits)
        body.add_row(warnings)
        return Panel(
            body,
            title="SLI-PRO (virtual)",
            subtitle=f"{self._source.name}: {self._source.status()} · {rate:.1f} Hz · Ctrl-C ends",
            border_style="grey50",
            expand=False,
        )

    @staticmethod
    def _digits(codes: bytes, style: str) -> "Text":
        from rich.text import Text

        rows = [seven_segment(code) for code in codes]
        text = Text()
        for r in range(5):
            if r:
                text.append("\n")
            for glyph in rows:
                for piece, lit in glyph[r]:
                    text.append(piece, style=style if lit else "grey19")
        return text

    def close(self) -> None:
        # Once more, so the terminal is left showing what the display shows.
        self._live.update(self.picture(self._rate), refresh=True)
        self._live.stop()


# --------------------------------------------------------------------------
# The loop


class Clock:
    """A steady frame clock: sleeps to each frame's deadline, and resyncs
    after a stall instead of rushing to catch up."""

    def __init__(self, hz: float) -> None:
        self.period = 1.0 / hz
        self._deadline = time.perf_counter()

    def wait(self) -> float:
        self._deadline += self.period
        now = time.perf_counter()
        if self._deadline > now:
            time.sleep(self._deadline - now)
        elif now - self._deadline > self.period:
            self._deadline = now
        return time.perf_counter()


def run(
    dashboard: Dashboard, source: Source, view: View, hz: float, seconds: Optional[float]
) -> Tuple[int, float]:
    """Frames until seconds have passed (None: until Ctrl-C). Answers frames and seconds."""
    clock = Clock(hz)
    start = time.perf_counter()
    now = start
    frames = 0
    rate = 0.0
    try:
        while seconds is None or now - start < seconds:
            dashboard.frame(source.read(now), now)
            frames += 1
            elapsed = now - start
            rate = frames / elapsed if elapsed > 0 else 0.0
            view.update(now, rate)
            now = clock.wait()
    except KeyboardInterrupt:
        pass
    return frames, time.perf_counter() - start


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        description="A racing dashboard on the SLI-PRO display: a simulated lap, "
        "or live OutGauge telemetry. Without a display attached it draws a virtual one."
    )
    p.add_argument(
        "--outgauge",
        metavar="[HOST:]PORT",
        nargs="?",
        const="127.0.0.1:4444",
        type=parse_address,
        help="listen for OutGauge UDP telemetry (default 127.0.0.1:4444)",
    )
    p.add_argument(
        "--seconds",
        type=float,
        metavar="N",
        help="stop after N seconds (default: run until Ctrl-C)",
    )
    p.add_argument(
        "--hz", type=float, default=60.0, help="frames per second sent to the display (default 60)"
    )
    p.add_argument(
        "--rpm-start",
        type=float,
        default=5000.0,
        help="RPM where the first LED lights (default 5000)",
    )
    p.add_argument(
        "--rpm-shift",
        type=float,
        default=7500.0,
        help="shift point: all LEDs lit, flashing past it (default 7500)",
    )
    p.add_argument(
        "--units", choices=("kmh", "mph"), default="kmh", help="speed units (default kmh)"
    )
    p.add_argument(
        "--left",
        choices=("time", "speed"),
        default="time",
        help="left panel: lap time (OutGauge: the simulator's clock) or speed (default time)",
    )
    p.add_argument(
        "--right",
        choices=("fuel", "delta"),
        default="fuel",
        help="right panel: fuel in percent or delta to the reference lap (default fuel)",
    )
    p.add_argument(
        "--neutral", choices=("-", "0"), default="-", help="how neutral is shown (default -)"
    )
    p.add_argument(
        "--virtual",
        action="store_true",
        help="use a virtual display even when a real one is attached",
    )
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    if args.hz <= 0 or args.rpm_shift <= args.rpm_start:
        print("dashboard: need --hz > 0 and --rpm-shift above --rpm-start", file=sys.stderr)
        return 2
    options = Options(
        rpm_start=args.rpm_start,
        rpm_shift=args.rpm_shift,
        units=args.units,
        left=args.left,
        right=args.right,
        neutral=args.neutral,
    )

    source: Source
    if args.outgauge is not None:
        try:
            source = OutGaugeSource(*args.outgauge)
        except OSError as error:
            print(
                f"dashboard: cannot listen on {args.outgauge[0]}:{args.outgauge[1]}: {error}",
                file=sys.stderr,
            )
            return 1
    else:
        source = SimulatedLap()

    for message in LOAD_MESSAGES:
        print(f"kvdash: {message}", flush=True)
    engine, virtual = open_display(force_virtual=args.virtual)
    where = "a virtual display" if virtual else "the SLI-PRO display"
    if virtual and not args.virtual:
        print("No SLI-PRO display found: drawing a virtual one.", flush=True)
    view: View
    if virtual is not None and sys.stdout.isatty():
        view = LiveView(virtual, source)
    else:
        view = LineView(virtual, source, sys.stdout)

    dashboard = Dashboard(engine, options)
    try:
        frames, elapsed = run(dashboard, source, view, args.hz, args.seconds)
    finally:
        source.close()
        # The last reference to the engine: deleting it blanks the display.
        del dashboard, engine
        blank = virtual is not None and virtual.last_report == BLANK_REPORT
        view.close()
        if virtual is not None:
            virtual.detach()

    rate = frames / elapsed if elapsed > 0 else 0.0
    left = " (left blank)" if blank else ""
    target = f"target {args.hz:g} Hz"
    print(f"{frames} frames in {elapsed:.1f} s: {rate:.1f} Hz ({target}) on {where}{left}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())

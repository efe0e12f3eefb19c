"""Telemetry -> what the display shows (a Frame), and a Frame -> the setters.

Nothing else in the app calls a setter. The frame is computed first and sent
only when it differs from what the display already shows, and then only the
setters of what changed: the module keeps the display's image between
reports, and every report sends all of it."""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import Protocol

from .race.laps import LapTracker, can_fill
from .race.shifting import DEFAULT_SHIFT, SHIFT_SHARE, START_SHARE
from .telemetry import Light, Telemetry

RPM_LEDS = 13
WARNING_LEDS = 6
PANEL_DIGITS = 6
MS_TO_KMH = 3.6
MS_TO_MPH = 2.2369362920544

# What a warning LED can show: a label for the view and the lights that light
# it. "fuel_low" and "shift" are worked out from the telemetry too; "none"
# stays dark.
LEDS: dict[str, tuple[str, Light]] = {
    "pit": ("PIT", Light.PIT_LIMITER),
    "tc": ("TC", Light.TC),
    "abs": ("ABS", Light.ABS),
    "drs": ("DRS", Light.DRS),
    "engine": ("ENG", Light.ENGINE),
    "flag": ("FLAG", Light.FLAG),
    "yellow": ("YEL", Light.YELLOW),
    "blue": ("BLUE", Light.BLUE),
    "fuel_low": ("FUEL", Light.NONE),
    "shift": ("SHFT", Light.NONE),
    "none": ("", Light.NONE),
}
DEFAULT_LEDS = ("pit", "tc", "abs", "drs", "engine", "flag")
# The default warning LEDs, left to right: a label and the lights that light it.
WARNINGS: tuple[tuple[str, Light], ...] = tuple(LEDS[name] for name in DEFAULT_LEDS)
FUEL_LOW = 0.1  # of the tank

# What a panel can show, and the Telemetry field it needs.
PANELS = {
    "time": ("lap time", "lap_time"),
    "last": ("last lap time", "last_lap"),
    "best": ("best lap time", "best_lap"),
    "delta": ("delta to the best lap", "delta"),
    "speed": ("speed", "speed"),
    "fuel": ("fuel in percent", "fuel"),
    "lap": ("lap number", "lap"),
    "position": ("race position", "position"),
    "rpm": ("engine rpm", "rpm"),
    "fuel_laps": ("laps of fuel left", "fuel_laps"),
    "fuel_lap": ("fuel a lap", "fuel_lap"),
    "predicted": ("predicted lap time", "predicted"),
}
# Worked out over laps (the lap tracker's attributes of these names): each
# panel shows its dashes until the value is known.
WORKED_OUT = frozenset({"fuel_laps", "fuel_lap", "predicted", "delta"})
LAP_POPUP = 5.0  # s the lap just ended stays on the panels
SETTING_POPUP = 2.0  # s a changed setting stays on the right panel
PIT_BLINK_HZ = 2.0  # the RPM LEDs with the pit limiter on
# A changed setting's pop-up lights this warning LED, where one shows it.
SETTING_LEDS = {"tc": "tc", "abs": "abs"}
# Defaults, best first: the first one the source can fill.
LEFT_DEFAULTS = ("time", "speed")
RIGHT_DEFAULTS = ("fuel", "delta", "rpm")


@dataclass(frozen=True, slots=True)
class Options:
    left: str | None = None  # a PANELS key; None: the best the source can fill
    right: str | None = None
    rpm_start: float | None = None  # None: from the game (rev limit or rev lights)
    rpm_shift: float | None = None
    units: str = "kmh"  # or "mph"
    neutral: str = "-"
    flash_hz: float = 8.0
    leds: tuple[str, ...] = DEFAULT_LEDS  # LEDS keys, one per warning LED
    shift: tuple[float, ...] = ()  # rpm per forward gear from first; the last serves higher
    fuel_low: float = FUEL_LOW
    rpm_limit: float | None = None  # the car's rev limit where the game sends none
    popups: bool = True  # the lap just ended and a changed setting, for a moment
    pit_blink: bool = True  # the RPM LEDs blink while the pit limiter is on

    def shift_for(self, gear: int) -> float | None:
        """The user's shift point for this gear, or None."""
        if self.shift and gear >= 1:
            return self.shift[min(gear, len(self.shift)) - 1]
        return self.rpm_shift

    def labels(self) -> tuple[str, ...]:
        return tuple(LEDS[name][0] for name in self.leds)


@dataclass(slots=True)  # one a packet: see Telemetry
class Frame:
    """What the display shows."""

    gear: str = " "
    rpm: int = 0  # RPM LEDs lit, from the left
    warnings: tuple[bool, ...] = (False,) * WARNING_LEDS
    left: str = ""  # "" shows the panel's placeholder: no data
    right: str = ""
    flash: bool = False  # past the shift point: the RPM LEDs flash, all lit or none


NO_DATA = Frame()


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
    if rpm <= start or shift <= start:
        return 0
    return min(RPM_LEDS, int(RPM_LEDS * (rpm - start) / (shift - start)) + 1)


def right_align(text: str) -> str:
    """Numbers read best against the right edge, as on a dash. A "." or ":"
    takes no position of its own."""
    return text.rjust(PANEL_DIGITS + text.count(".") + text.count(":"))


def lap_time_text(seconds: float) -> str:
    """1:23.4 under ten minutes, 12:34.5 under an hour, then whole minutes."""
    tenths = int(max(0.0, seconds) * 10)
    minutes, rest = divmod(tenths, 600)
    if minutes >= 60:
        return str(min(minutes, 999999))
    return f"{minutes}:{rest // 10:02d}.{rest % 10}"


def speed_text(speed: float, units: str) -> str:
    factor = MS_TO_MPH if units == "mph" else MS_TO_KMH
    return str(min(999999, int(round(abs(speed) * factor))))


def fuel_text(fuel: float) -> str:
    return f"{100.0 * min(1.0, max(0.0, fuel)):.1f}"


def delta_text(delta: float) -> str:
    """-0.35 ahead, 0.35 behind (the display has no "+")."""
    delta = max(-99.99, min(99.99, delta))
    return f"{delta:.2f}" if abs(delta) < 9.995 else f"{delta:.1f}"


def setting_text(value: float) -> str:
    """A setting as the driver knows it: 4, 56.5."""
    return str(int(value)) if value.is_integer() else f"{value:.1f}"


def _whole(value: float, units: str) -> str:
    return str(min(999999, max(0, int(value))))


def _fuel_laps(value: float, units: str) -> str:
    return f"{min(99999.0, max(0.0, value)):.1f}"


def _fuel_lap(value: float, units: str) -> str:
    value = min(9999.0, max(0.0, value))
    return f"{value:.2f}" if value < 10 else f"{value:.1f}"


# Each panel choice's text of a known value, before it is aligned.
_TEXTS: dict[str, Callable[[float, str], str]] = {
    "time": lambda value, units: lap_time_text(value),
    "last": lambda value, units: lap_time_text(value),
    "best": lambda value, units: lap_time_text(value),
    "predicted": lambda value, units: lap_time_text(value),
    "delta": lambda value, units: delta_text(value),
    "speed": speed_text,
    "fuel": lambda value, units: fuel_text(value),
    "fuel_laps": _fuel_laps,
    "fuel_lap": _fuel_lap,
}


def panel_text(choice: str, value: float | None, units: str) -> str:
    """The panel's text for this choice's value; blank when it is unknown now
    (a worked-out value: "", the panel's dashes)."""
    if value is None or not -1e15 < value < 1e15:  # NaN fails too
        return "" if choice in WORKED_OUT else " " * PANEL_DIGITS
    text = _TEXTS.get(choice, _whole)(value, units)
    return text.rjust(PANEL_DIGITS + text.count(".") + text.count(":"))  # right_align


def panel_writer(choice: str, units: str) -> Callable[[float | None], str]:
    """panel_text with the choice and units bound. Speed, which changes with
    nearly every packet, written out: a whole number, never a "." or ":"."""
    if choice != "speed":
        return lambda value: panel_text(choice, value, units)
    factor = MS_TO_MPH if units == "mph" else MS_TO_KMH
    blank = " " * PANEL_DIGITS

    def speed(value: float | None) -> str:
        if value is None or not -1e15 < value < 1e15:  # NaN fails too
            return blank
        return str(min(999999, int(round(abs(value) * factor)))).rjust(PANEL_DIGITS)

    return speed


def pick_panel(chosen: str | None, defaults: tuple[str, ...], fields: frozenset[str]) -> str:
    """The user's choice, else the first default the source can fill."""
    if chosen is not None:
        return chosen
    for choice in defaults:
        if PANELS[choice][1] in fields:  # only what the game itself sends
            return choice
    return defaults[-1]


def shift_range(t: Telemetry, options: Options, learnt: float | None = None) -> tuple[float, float]:
    """Where the RPM LEDs start and where all are lit: the user's, else from
    the game's rev limit, else the one learnt where it sends none."""
    user = options.shift_for(t.gear)
    if t.max_rpm is not None and t.max_rpm > 0:
        limit: float | None = t.max_rpm
    else:
        limit = learnt or options.rpm_limit
    if user is not None:
        shift = user
    elif limit is not None:
        shift = limit * SHIFT_SHARE
    else:
        shift = DEFAULT_SHIFT
    start = options.rpm_start if options.rpm_start is not None else shift * START_SHARE
    return start, shift


_SHIFT = int(Light.SHIFT)
_UNSET = object()  # a panel before its first value: unequal to any value


class Layout:
    """Turns telemetry into frames for one source: which panels, which shift light."""

    def __init__(self, options: Options, fields: frozenset[str], last: Frame | None = None) -> None:
        """last: the frame shown now, where another layout made it."""
        self.options = options
        self.fields = fields
        self.left = pick_panel(options.left, LEFT_DEFAULTS, fields)
        self.right = pick_panel(options.right, RIGHT_DEFAULTS, fields)
        # A frame a packet: each tests the lights as plain ints (flag
        # arithmetic is slow), and a part whose input is what it was in the
        # frame before is not worked out again.
        self._leds = tuple((name, int(LEDS[name][1])) for name in options.leds)
        self._warnings: dict[tuple[int, bool, bool], tuple[bool, ...]] = {}
        self._gears = {gear: gear_text(gear, options.neutral) for gear in range(-1, 10)}
        self._range_of: tuple[int, float | None, float | None] | None = None
        self._range = (0.0, 0.0)
        self._left_field, self._right_field = PANELS[self.left][1], PANELS[self.right][1]
        self._left_value: object = _UNSET  # the value each panel's text was written from
        self._right_value: object = _UNSET
        self._left_text = self._right_text = ""
        self._write_left = panel_writer(self.left, options.units)
        self._write_right = panel_writer(self.right, options.units)
        self._left_learnt = self.left in WORKED_OUT
        self._right_learnt = self.right in WORKED_OUT
        self._pit = int(Light.PIT_LIMITER) if options.pit_blink else 0
        self._fuel_low, self._popups_on = options.fuel_low, options.popups
        self._over: tuple[object, object] = (None, None)  # pop-ups already over
        self._setting_leds = {
            setting: options.leds.index(led)
            for setting, led in SETTING_LEDS.items()
            if led in options.leds
        }
        self.labels = options.labels()  # asked every loop by the page: made once
        # The frame answered last: one equal to it is answered as that very
        # frame, so that the loop tells a new frame by identity alone.
        self._last = last

    def unfilled(self) -> tuple[str, ...]:
        """The panel choices this source cannot fill, as words for the status line."""
        out = []
        for side, choice in (("left", self.left), ("right", self.right)):
            label, field = PANELS[choice]
            if choice in WORKED_OUT:
                known = can_fill(choice, self.fields)
            else:
                known = field in self.fields
            if not known:
                out.append(f"{side} panel: no {label} from this game")
        return tuple(out)

    def frame(
        self,
        t: Telemetry | None,
        now: float,
        learnt: float | None = None,
        laps: LapTracker | None = None,
    ) -> tuple[Frame, float | None]:
        """The frame for t at time now, and when it would change with no new
        telemetry (the shift-light flash, the pit blink, a pop-up's end), or
        None. ``learnt``: the car's rev limit learnt where the game sends
        none; ``laps``: what the lap tracker knows (the worked-out panels,
        the pop-ups). A frame equal to the one answered last is that same
        object."""
        if t is None:
            self._last = NO_DATA
            return NO_DATA, None
        # Made for every packet: written out in one function rather than a
        # call per part, as each call costs more than its part.
        o = self.options
        lights = int(t.lights)
        shift_now = bool(lights & _SHIFT)
        change: float | None = None
        if lights & self._pit:
            # The pit limiter: the whole row blinks slowly instead of the rpm.
            half = 0.5 / PIT_BLINK_HZ
            phase = math.floor(now / half)
            lit = RPM_LEDS if phase % 2 == 0 else 0
            change = (phase + 1) * half
            flash = False
        else:
            if t.rev_lights is not None and o.shift_for(t.gear) is None:
                # The game's own rev lights, scaled to ours.
                share = min(1.0, max(0.0, t.rev_lights))
                lit = int(round(share * RPM_LEDS))
                shift_now = shift_now or share >= 1.0
            else:
                if (t.gear, t.max_rpm, learnt) != self._range_of:
                    self._range_of = (t.gear, t.max_rpm, learnt)
                    self._range = shift_range(t, o, learnt)
                start, shift = self._range
                rpm = t.rpm
                # rpm_leds(rpm, start, shift), written out
                if rpm >= shift:
                    lit = RPM_LEDS
                elif rpm <= start or shift <= start:
                    lit = 0
                else:
                    lit = min(RPM_LEDS, int(RPM_LEDS * (rpm - start) / (shift - start)) + 1)
                shift_now = shift_now or rpm >= shift
            if shift_now:  # past the shift point every LED flashes
                half = 0.5 / o.flash_hz
                phase = math.floor(now / half)
                lit = RPM_LEDS if phase % 2 == 0 else 0
                change = (phase + 1) * half
            flash = shift_now
        fuel_low = t.fuel is not None and t.fuel < self._fuel_low
        gear = self._gears.get(t.gear)
        if gear is None:
            gear = gear_text(t.gear, o.neutral)
        if self._left_learnt and laps is not None:
            left = getattr(laps, self._left_field)
        else:  # a worked-out value with no tracker: unknown
            left = getattr(t, self._left_field, None)
        if left != self._left_value:
            self._left_value, self._left_text = left, self._write_left(left)
        if self._right_learnt and laps is not None:
            right = getattr(laps, self._right_field)
        else:  # a worked-out value with no tracker: unknown
            right = getattr(t, self._right_field, None)
        if right != self._right_value:
            self._right_value, self._right_text = right, self._write_right(right)
        left_text, right_text = self._left_text, self._right_text
        state = (lights, shift_now, fuel_low)
        warnings = self._warnings.get(state)
        if warnings is None:
            warnings = self._warnings[state] = tuple(
                self._led(name, mask, *state) for name, mask in self._leds
            )
        if self._popups_on and laps is not None and (laps.lap_end or laps.setting):
            shown = (laps.lap_end, laps.setting)
            if shown != self._over:
                left_text, right_text, warnings, change = self._popups(
                    left_text, right_text, warnings, laps, now, change
                )
        last = self._last
        if (
            last is not None
            and lit == last.rpm
            and left_text == last.left
            and right_text == last.right
            and gear == last.gear
            and warnings == last.warnings
            and flash == last.flash
        ):
            return last, change
        frame = self._last = Frame(gear, lit, warnings, left_text, right_text, flash)
        return frame, change

    def _popups(
        self,
        left: str,
        right: str,
        warnings: tuple[bool, ...],
        laps: LapTracker,
        now: float,
        change: float | None,
    ) -> tuple[str, str, tuple[bool, ...], float | None]:
        """The lap just ended (5 s) and a changed setting (2 s) over the
        panels, the later on top: the panels and warning LEDs so, and when
        the frame changes next."""
        ends = [] if change is None else [change]
        end, setting = laps.lap_end, laps.setting
        if end is not None and now < end.at + LAP_POPUP:
            ends.append(end.at + LAP_POPUP)
            left = right_align(lap_time_text(end.time))
            difference = end.difference
            blank = " " * PANEL_DIGITS
            right = blank if difference is None else right_align(delta_text(difference))
            if setting is not None and setting.at < end.at:
                setting = None  # the lap ended after it: the lap's pop-up is on top
        if setting is not None and now < setting.at + SETTING_POPUP:
            ends.append(setting.at + SETTING_POPUP)
            right = right_align(setting_text(setting.value))
            led = self._setting_leds.get(setting.name)
            if led is not None:
                warnings = tuple(on or i == led for i, on in enumerate(warnings))
        if len(ends) == (change is not None):  # none on: none to look at till the next
            self._over = (laps.lap_end, laps.setting)
        return left, right, warnings, (min(ends) if ends else None)

    @staticmethod
    def _led(name: str, mask: int, lights: int, shift_now: bool, fuel_low: bool) -> bool:
        if name == "fuel_low":
            return fuel_low
        if name == "shift":
            return shift_now
        return bool(lights & mask)


class Engine(Protocol):
    """The part of kvdash.kvengine the dashboard uses."""

    def set_gear(self, gear: str, /) -> object: ...
    def set_rpm_led(self, led: int, state: int, /) -> object: ...
    def set_warning_led(self, led: int, state: int, /) -> object: ...
    def set_left_panel(self, text: str, /) -> object: ...
    def set_right_panel(self, text: str, /) -> object: ...
    def show_me(self) -> object: ...


def send(engine: Engine, frame: Frame, shown: Frame | None = None) -> None:
    """The frame onto the display in one report. The setters of what differs
    from ``shown``, what this engine's image already holds; None: all of them."""
    if shown is None:
        engine.set_gear(frame.gear)
        for led in range(1, RPM_LEDS + 1):
            engine.set_rpm_led(led, 1 if led <= frame.rpm else 0)
        for led, on in enumerate(frame.warnings, start=1):
            engine.set_warning_led(led, 1 if on else 0)
        engine.set_left_panel(frame.left)
        engine.set_right_panel(frame.right)
        engine.show_me()
        return
    if frame.gear != shown.gear:
        engine.set_gear(frame.gear)
    if frame.rpm != shown.rpm:  # the LEDs between the two counts change
        for led in range(min(frame.rpm, shown.rpm) + 1, max(frame.rpm, shown.rpm) + 1):
            engine.set_rpm_led(led, 1 if led <= frame.rpm else 0)
    if frame.warnings != shown.warnings:
        for led, (on, was) in enumerate(zip(frame.warnings, shown.warnings, strict=True), 1):
            if on != was:
                engine.set_warning_led(led, 1 if on else 0)
    if frame.left != shown.left:
        engine.set_left_panel(frame.left)
    if frame.right != shown.right:
        engine.set_right_panel(frame.right)
    engine.show_me()

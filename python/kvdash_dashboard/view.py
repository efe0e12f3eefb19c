"""What the terminal shows: the display drawn live with rich, or, where the
terminal cannot draw it (a pipe, TERM=dumb, no rich), a line a second."""

from __future__ import annotations

import contextlib
import dataclasses
import os
import sys
from collections.abc import Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Protocol, TextIO

from .console import output_gone
from .dashboard import PANEL_DIGITS, RPM_LEDS, WARNINGS, Frame

if TYPE_CHECKING:
    from rich.console import Console, RenderableType
    from rich.live import Live
    from rich.text import Text

LEFT_PLACEHOLDER = "---:---"
RIGHT_PLACEHOLDER = "-:--.---"
DEFAULT_LABELS = tuple(name for name, _ in WARNINGS)


@dataclass(frozen=True, slots=True)
class Status:
    """The words under the picture."""

    source: str  # which game speaks, and its packet counts
    display: str  # which display, or the wait for one
    rate: float  # reports a second, lately
    notes: tuple[str, ...] = ()  # e.g. a panel the game cannot fill
    leds: tuple[str, ...] = DEFAULT_LABELS  # the warning LEDs' labels, left to right

    def phrases(self) -> list[str]:
        return [self.source, self.display, f"{self.rate:.0f} reports/s", *self.notes]

    def line(self) -> str:
        return SEPARATOR.join(self.phrases())


SEPARATOR = " · "


def wrap_phrases(phrases: list[str], width: int) -> str:
    """The phrases joined into lines of at most width columns, broken only
    between phrases (one longer than a line has a line of its own)."""
    lines: list[str] = []
    for phrase in phrases:
        if lines and len(lines[-1]) + len(SEPARATOR) + len(phrase) <= width:
            lines[-1] += SEPARATOR + phrase
        else:
            lines.append(phrase)
    return "\n".join(lines)


def panel_cells(text: str, placeholder: str) -> list[tuple[str, bool]]:
    """The six positions a panel text takes, as (character, point lit); the
    view's copy of the display's own rules for "." and ":"."""
    if not text:
        text = placeholder
    cells: list[tuple[str, bool]] = []
    colon_point = False
    for char in text:
        if char in ".:":
            if cells:
                c, _ = cells[-1]
                cells[-1] = (c, True)
            colon_point = char == ":"
            continue
        cells.append((char if char in "0123456789-r " else " ", colon_point))
        colon_point = False
    cells = cells[:PANEL_DIGITS]
    return cells + [(" ", False)] * (PANEL_DIGITS - len(cells))


def frame_line(frame: Frame, leds: tuple[str, ...] = DEFAULT_LABELS) -> str:
    """The frame in one line of text: the panels as they read (1:23.4), not
    as their segments light; a flashing shift light as flashing, not as the
    half of the flash this moment shows."""

    def panel(text: str, placeholder: str) -> str:
        return text.strip() or placeholder

    rpm = "*" * frame.rpm + "." * (RPM_LEDS - frame.rpm)
    if frame.flash:  # whichever half of the flash this moment shows
        rpm = "*" * RPM_LEDS + " flashing"
    warn = "".join(
        (name[:1] or ".") if on else "." for name, on in zip(leds, frame.warnings, strict=True)
    )
    left = panel(frame.left, LEFT_PLACEHOLDER)
    right = panel(frame.right, RIGHT_PLACEHOLDER)
    return f"gear {frame.gear}  rpm {rpm}  [{left:>7}] [{right:>7}]  {warn}"


class View(Protocol):
    next_update: float

    def update(self, now: float, frame: Frame, status: Status) -> None: ...

    def say(self, text: str) -> None: ...

    def close(self, frame: Frame, status: Status) -> None: ...


class LineView:
    """One compact line a second, for logs and pipes."""

    def __init__(self, out: TextIO) -> None:
        self._out = out
        self._start: float | None = None
        self.next_update = 0.0

    def update(self, now: float, frame: Frame, status: Status) -> None:
        if self._start is None:
            self._start = now
        self.next_update = now + 1.0
        self._print(f"{now - self._start:5.1f}s  {frame_line(frame, status.leds)}  {status.line()}")

    def say(self, text: str) -> None:
        self._print(text)

    def close(self, frame: Frame, status: Status) -> None:
        self._print(f"end   {frame_line(frame, status.leds)}  {status.line()}")

    def _print(self, text: str) -> None:
        encoding = getattr(self._out, "encoding", None) or "utf-8"
        # A pipe on Windows speaks the ANSI code page: what it lacks shows as "?".
        text = text.encode(encoding, "replace").decode(encoding, "replace")
        try:
            print(text, file=self._out, flush=True)
        except (OSError, ValueError):  # the reader went away: keep driving the display
            output_gone(self._out)


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


def seven_segment(char: str, point: bool) -> list[list[tuple[str, bool]]]:
    """Five rows of (text, lit) pieces drawing one character and its point."""
    lit = SEGMENTS.get(char, "")

    # Unlit segments stay faintly visible, thin, as on a real unlit display.
    def across(name: str) -> tuple[str, bool]:
        return ("━━", True) if name in lit else ("──", False)

    def down(name: str) -> tuple[str, bool]:
        return ("┃", True) if name in lit else ("│", False)

    gap = (" ", False)
    dot = ("●", True) if point else ("·", False)
    return [
        [gap, across("a"), gap, gap],
        [down("f"), ("  ", False), down("b"), gap],
        [gap, across("g"), gap, gap],
        [down("e"), ("  ", False), down("c"), gap],
        [gap, across("d"), gap, dot],
    ]


class LiveView:
    """The display drawn in the terminal with rich, at most refresh_hz times a
    second and only when something changed."""

    RPM_COLOURS = ["green"] * 4 + ["red"] * 5 + ["blue"] * 4
    WIDTH = 75  # columns the big picture takes

    def __init__(self, console: Console, title: str, refresh_hz: float = 20.0) -> None:
        from rich.live import Live

        self._console = console
        self._title = title
        self._period = 1.0 / refresh_hz
        self._shown: tuple[Frame, str] | None = None
        self._live: Live = Live(console=console, auto_refresh=False, transient=False)
        self._live.start()
        self.next_update = 0.0

    def update(self, now: float, frame: Frame, status: Status) -> None:
        self.next_update = now + self._period
        line = status.line()
        if self._shown == (frame, line):
            return
        self._shown = (frame, line)
        with self._guarded():
            self._live.update(self.picture(frame, status), refresh=True)

    def say(self, text: str) -> None:
        with self._guarded():
            self._live.console.print(text)

    def close(self, frame: Frame, status: Status) -> None:
        # Once more, so the terminal is left showing what the display shows.
        with self._guarded():
            self._live.update(self.picture(frame, status), refresh=True)
        with self._guarded():
            self._live.stop()

    @contextlib.contextmanager
    def _guarded(self) -> Iterator[None]:
        """The terminal may go away (EIO once it is closed): the display
        goes on, the picture goes nowhere."""
        try:
            yield
        except (OSError, SystemExit):  # rich answers a broken pipe with SystemExit
            self._console.quiet = True
            output_gone(self._console.file)

    def picture(self, frame: Frame, status: Status) -> RenderableType:
        from rich.console import Group
        from rich.panel import Panel
        from rich.table import Table
        from rich.text import Text

        width = self._console.width
        if width < self.WIDTH:
            # Too narrow for the big digits: a line of the frame, and the status.
            status_text = Text(wrap_phrases(status.phrases(), width), style="grey50")
            return Group(Text(frame_line(frame, status.leds)), status_text)

        rpm = Text(justify="center")
        for led, colour in enumerate(self.RPM_COLOURS, start=1):
            on = led <= frame.rpm
            rpm.append("● " if on else "○ ", style=f"bold {colour}" if on else "grey30")

        digits = Table.grid(padding=(0, 2))
        digits.add_column(justify="right")
        digits.add_column(justify="center")
        digits.add_column(justify="left")
        digits.add_row(
            self._digits(panel_cells(frame.left, LEFT_PLACEHOLDER), "bold red"),
            self._digits([(frame.gear[:1] or " ", False)], "bold yellow"),
            self._digits(panel_cells(frame.right, RIGHT_PLACEHOLDER), "bold red"),
        )

        warnings = Text(justify="center")
        for name, on in zip(status.leds, frame.warnings, strict=True):
            warnings.append(f" {name} ", style="bold black on yellow" if on else "grey30")
            warnings.append("  ")

        body = Table.grid()
        body.add_column(justify="center")
        body.add_row(rpm)
        body.add_row(digits)
        body.add_row(warnings)
        panel = Panel(body, title=self._title, border_style="grey50", expand=False)
        # The status under the picture, wrapped between phrases rather than cut off.
        ended = dataclasses.replace(status, notes=(*status.notes, "Ctrl-C ends"))
        return Group(panel, Text(wrap_phrases(ended.phrases(), width), style="grey50"))

    @staticmethod
    def _digits(cells: list[tuple[str, bool]], style: str) -> Text:
        from rich.text import Text

        rows = [seven_segment(char, point) for char, point in cells]
        text = Text()
        for r in range(5):
            if r:
                text.append("\n")
            for glyph in rows:
                for piece, lit in glyph[r]:
                    text.append(piece, style=style if lit else "grey19")
        return text


def choose_view(kind: str, title: str, out: TextIO | None = None) -> tuple[View, str]:
    """The live view where the terminal can draw it, else lines; and why lines."""
    if out is None:
        out = sys.stdout
    if kind == "lines":
        return LineView(out), ""
    if os.environ.get("TERM", "") == "dumb":
        return LineView(out), "TERM=dumb: one line a second"
    try:
        isatty = out.isatty()
    except (AttributeError, ValueError):
        isatty = False
    if not isatty:
        return LineView(out), ""
    try:
        from rich.console import Console
    except ImportError:
        return LineView(out), "rich is not installed: one line a second (pip install rich)"
    console = Console(file=out)
    if not console.is_terminal or console.is_dumb_terminal or console.height < 3:
        return LineView(out), "this terminal cannot draw the display: one line a second"
    try:
        return LiveView(console, title), ""
    except Exception as error:  # rich refused this terminal: lines still work
        return LineView(out), f"the live view failed ({error}): one line a second"

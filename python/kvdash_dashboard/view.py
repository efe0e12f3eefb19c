"""What the terminal shows: the display drawn live (rich says how the
terminal colours it), or, where the terminal cannot draw it (a pipe,
TERM=dumb, no rich), a line a second."""

from __future__ import annotations

import dataclasses
import os
import re
import sys
from dataclasses import dataclass
from typing import TYPE_CHECKING, Protocol, TextIO

from .console import output_gone
from .dashboard import PANEL_DIGITS, RPM_LEDS, WARNINGS, Frame

if TYPE_CHECKING:
    from rich.console import Console, ConsoleDimensions

LEFT_PLACEHOLDER = "---:---"
RIGHT_PLACEHOLDER = "-:--.---"
DEFAULT_LABELS = tuple(name for name, _ in WARNINGS)


@dataclass(frozen=True, slots=True)
class Status:
    """The words under the picture."""

    source: str  # which game speaks, and its packet counts
    display: str  # which display, or the wait for one
    rate: float  # updates of the display a second, lately
    notes: tuple[str, ...] = ()  # e.g. a panel the game cannot fill
    leds: tuple[str, ...] = DEFAULT_LABELS  # the warning LEDs' labels, left to right
    page: str = ""  # where the settings page is served, if it is

    def phrases(self) -> list[str]:
        page = (f"settings: {self.page}",) if self.page else ()
        return [self.source, self.display, f"{self.rate:.0f} updates/s", *page, *self.notes]

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
        # Only an empty text shows the placeholder: spaces are a blank panel.
        return text.strip() if text else placeholder

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


class QuietView:
    """No terminal at all (a program without a console): nothing is drawn;
    what the app says goes to its log."""

    def __init__(self) -> None:
        self.next_update = 0.0

    def update(self, now: float, frame: Frame, status: Status) -> None:
        self.next_update = now + 1.0

    def say(self, text: str) -> None:
        pass

    def close(self, frame: Frame, status: Status) -> None:
        pass


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


Piece = tuple[str, str]  # text, and the rich style it is drawn in ("" for none)

_COLOURS = re.compile(r"\x1b\[[0-9;]*m")  # the colours in a line as written
# Control characters (a car's name is the game's text) would move the cursor.
_CONTROLS = dict.fromkeys([*range(0x20), *range(0x7F, 0xA0)], "?")


class LiveView:
    """The display drawn in the terminal: the picture as lines of text, of
    which only those that changed are written again, and at most refresh_hz
    times a second. rich says how the terminal writes each colour."""

    RPM_COLOURS = ["green"] * 4 + ["red"] * 5 + ["blue"] * 4
    WIDTH = 75  # columns the big picture needs (it takes 73: a full line would wrap)
    FAINT = "grey19"  # an unlit segment
    DARK = "grey30"  # an unlit LED
    GREY = "grey50"  # the border and the status

    def __init__(self, console: Console, title: str, refresh_hz: float = 10.0) -> None:
        self._console = console
        self._title = title
        self._period = 1.0 / refresh_hz
        self._shown: tuple[Frame, Status, ConsoleDimensions] | None = None
        self._drawn: list[str] = []  # the picture's lines as on the terminal now
        self._codes: dict[str, tuple[str, str]] = {}
        self._write("\x1b[?25l")  # no cursor blinking over the picture
        self.next_update = 0.0

    def update(self, now: float, frame: Frame, status: Status) -> None:
        self.next_update = now + self._period
        size = self._console.size
        shown = (frame, status, size)
        if self._shown == shown:
            return
        if self._shown is not None and self._shown[2] != size:
            self._forget(size.width)
        self._shown = shown
        self._paint(self.lines(frame, status, size.width, size.height))

    def say(self, text: str) -> None:
        """A line above the picture, as it is: never read as markup."""
        up = f"\x1b[{len(self._drawn)}A" if self._drawn else ""
        again = "".join(line + "\n" for line in self._drawn)
        said = "\n".join(line.translate(_CONTROLS) for line in text.split("\n"))
        self._write(f"{up}\r\x1b[J{said}\n{again}")

    def close(self, frame: Frame, status: Status) -> None:
        # Once more, so the terminal is left showing what the display shows.
        self._shown = None
        self.update(0.0, frame, status)
        self._write("\x1b[?25h")

    def _forget(self, width: int) -> None:
        """Resized: the terminal may have wrapped the picture's lines anew
        (most do, as they narrow); up past all of them, cleared, and the
        picture drawn again from there."""
        rows = sum(max(1, -(-len(_COLOURS.sub("", line)) // width)) for line in self._drawn)
        if rows:
            self._write(f"\x1b[{rows}A\r\x1b[J")
        self._drawn = []

    def _paint(self, lines: list[str]) -> None:
        """Rewrites the lines that differ from those on the terminal, from
        the first that does; the cursor stays on the line below the picture."""
        old = self._drawn
        first = next(
            (i for i, (a, b) in enumerate(zip(old, lines, strict=False)) if a != b),
            min(len(old), len(lines)),
        )
        if len(old) == len(lines) == first:
            return
        out = [f"\x1b[{len(old) - first}A\r" if len(old) > first else "\r"]
        if len(old) == len(lines):
            last = max(i for i in range(first, len(old)) if old[i] != lines[i])
            out += [f"{line}\x1b[K\n" for line in lines[first : last + 1]]
            if len(old) - last - 1:
                out.append(f"\x1b[{len(old) - last - 1}B")
        else:  # a line more or less: the rest anew
            out.append("\x1b[J")
            out += [f"{line}\n" for line in lines[first:]]
        self._drawn = lines
        self._write("".join(out))

    def _write(self, text: str) -> None:
        """The terminal may go away (EIO once it is closed): the display
        goes on, the picture goes nowhere."""
        if self._console.quiet:
            return
        out = self._console.file
        try:
            try:
                out.write(text)
            except UnicodeEncodeError:  # a terminal without these characters
                encoding = getattr(out, "encoding", None) or "ascii"
                out.write(text.encode(encoding, "replace").decode(encoding))
            out.flush()
        except (OSError, ValueError):
            self._console.quiet = True
            output_gone(self._console.file)

    def _line(self, pieces: list[Piece]) -> str:
        """The pieces as the terminal draws them, each colour said once."""
        out: list[str] = []
        style = None
        for text, piece_style in pieces:
            if piece_style != style:
                if style:
                    out.append(self._code(style)[1])
                if piece_style:
                    out.append(self._code(piece_style)[0])
                style = piece_style
            out.append(text.translate(_CONTROLS))
        if style:
            out.append(self._code(style)[1])
        return "".join(out)

    def _code(self, style: str) -> tuple[str, str]:
        """What starts and ends a style on this terminal (nothing where it has no colours)."""
        codes = self._codes.get(style)
        if codes is None:
            from rich.console import COLOR_SYSTEMS
            from rich.style import Style

            # Worked out without the console's file: the terminal may be gone.
            system = COLOR_SYSTEMS.get(self._console.color_system or "")
            before, _, after = Style.parse(style).render("x", color_system=system).partition("x")
            codes = self._codes[style] = (before, after)
        return codes

    def lines(self, frame: Frame, status: Status, width: int, height: int = 1000) -> list[str]:
        """The picture for a terminal of width x height, line by line."""
        if width >= self.WIDTH:
            big = self._big(frame, status, width)
            # The cursor cannot go back up past the screen's top: it must fit.
            if len(big) < height:
                return big
        # A line of the frame, and the status.
        plain = [self._line([(line, "")]) for line in fit(frame_line(frame, status.leds), width)]
        return plain + self._status(status, width)

    def _big(self, frame: Frame, status: Status, width: int) -> list[str]:
        """The display drawn large, and the status under it."""

        rpm: list[Piece] = []
        for led, colour in enumerate(self.RPM_COLOURS, start=1):
            on = led <= frame.rpm
            gap = " " if led < RPM_LEDS else ""
            rpm.append(("●" + gap if on else "○" + gap, f"bold {colour}" if on else self.DARK))
        rows: list[list[Piece]] = [rpm]

        left = [seven_segment(c, p) for c, p in panel_cells(frame.left, LEFT_PLACEHOLDER)]
        gear = [seven_segment(frame.gear[:1] or " ", False)]
        right = [seven_segment(c, p) for c, p in panel_cells(frame.right, RIGHT_PLACEHOLDER)]
        for r in range(5):
            row: list[Piece] = []
            for glyphs, style in ((left, "bold red"), (gear, "bold yellow"), (right, "bold red")):
                if row:
                    row.append(("  ", ""))
                row += [(text, style if lit else self.FAINT) for g in glyphs for text, lit in g[r]]
            rows.append(row)

        warnings: list[Piece] = []
        for name, on in zip(status.leds, frame.warnings, strict=True):
            if warnings:
                warnings.append(("  ", ""))
            warnings.append((f" {name} ", "bold black on yellow" if on else self.DARK))
        rows.append(warnings)

        inner = max(sum(len(t) for t, _ in row) for row in rows)
        title = f" {self._title} ".center(inner + 2, "─")
        drawn = [self._line([(f"╭{title}╮", self.GREY)])]
        for row in rows:
            room = inner - sum(len(t) for t, _ in row)
            padded = [(" " * (1 + room // 2), ""), *row, (" " * (1 + room - room // 2), "")]
            drawn.append(self._line([("│", self.GREY), *padded, ("│", self.GREY)]))
        drawn.append(self._line([("╰" + "─" * (inner + 2) + "╯", self.GREY)]))
        # The status under the picture, wrapped between phrases rather than cut off.
        ended = dataclasses.replace(status, notes=(*status.notes, "Ctrl-C ends"))
        return drawn + self._status(ended, width)

    def _status(self, status: Status, width: int) -> list[str]:
        wrapped = wrap_phrases(status.phrases(), width - 1).split("\n")
        return [self._line([(cut, self.GREY)]) for line in wrapped for cut in fit(line, width)]


def fit(line: str, width: int) -> list[str]:
    """The line in pieces narrower than the terminal: a line as wide as it
    wraps, and the picture's lines would no longer be the terminal's."""
    room = max(1, width - 1)
    return [line[i : i + room] for i in range(0, len(line) or 1, room)]


def windows_terminal_codes(out: TextIO) -> bool:
    """Whether the Windows console behind out now takes the terminal's
    escape codes (turned on where it can: every Windows 10 and later)."""
    if sys.platform != "win32":
        return True
    import ctypes
    import msvcrt
    from ctypes import wintypes

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    try:
        handle = msvcrt.get_osfhandle(out.fileno())
    except (OSError, ValueError, AttributeError):
        return False
    mode = wintypes.DWORD()
    if not kernel32.GetConsoleMode(wintypes.HANDLE(handle), ctypes.byref(mode)):
        return False
    virtual_terminal_processing = 0x4
    wanted = mode.value | virtual_terminal_processing
    return bool(kernel32.SetConsoleMode(wintypes.HANDLE(handle), wanted))


def choose_view(kind: str, title: str, out: TextIO | None = None) -> tuple[View, str]:
    """The live view where the terminal can draw it, else lines; and why lines."""
    if out is None:
        out = sys.stdout
    if out is None:  # no console: the log has it all
        return QuietView(), ""
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
    if sys.platform == "win32" and not windows_terminal_codes(out):
        return LineView(out), "this console cannot draw the display: one line a second"
    console = Console(file=out)
    if not console.is_terminal or console.is_dumb_terminal or console.height < 3:
        return LineView(out), "this terminal cannot draw the display: one line a second"
    try:
        return LiveView(console, title), ""
    except Exception as error:  # rich refused this terminal: lines still work
        return LineView(out), f"the live view failed ({error}): one line a second"

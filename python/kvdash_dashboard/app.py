"""The loop and the command line.

The loop waits on the games' sockets with a timeout to its next deadline (a
shared-memory poll, the shift-light flash, a presence check of the display,
the view) and sends a report as soon as new telemetry changes what the
display shows, at most --hz reports a second."""

from __future__ import annotations

import argparse
import contextlib
import importlib.metadata
import os
import selectors
import signal
import socket
import sys
import textwrap
import threading
import time
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING

from .console import captured_c_stdout, keep_standard_descriptors, say

# Loading the module prints "Kavu Engine already running!" when another
# process has it loaded: keep that, to say it on a line of its own.
with captured_c_stdout() as LOAD_MESSAGES:
    import kvdash  # noqa: F401

from .dashboard import NO_DATA, PANELS, Frame, Layout, send
from .display import VIRTUAL_AVAILABLE, Display, Kind
from .inputs import Heard, PolledInput, ReplayInput, UdpInput, address_family
from .learn import learn
from .record import Recorder, RecordingError, read_recording, same_file
from .revlimit import RevLimits
from .settings import Settings, SettingsError, default_path, given_options, load
from .sources import FAMILIES, UNAVAILABLE, Family
from .telemetry import FIELD_NAMES, Telemetry
from .view import Status, View, choose_view

if TYPE_CHECKING:
    from .web import WebServer

STALE = 2.0  # s without telemetry: the game is gone ("no data")
SWITCH_AFTER = 1.0  # s of silence before another game may take the display
MAX_HZ = 1000.0  # the display takes one report per millisecond
BLANK = Frame(gear=" ", left=" " * 6, right=" " * 6)
DEFAULT_HOST = "0.0.0.0"  # all interfaces: a console on the network can send too
DEFAULT_SHM_DIR = "/dev/shm"
HTTP_HOST = "127.0.0.1"  # the page: this computer only, unless a host is given


# ---------------------------------------------------------------- command line


def parse_address(text: str) -> tuple[str | None, int]:
    """[HOST:]PORT; no host: the default. An IPv6 host in brackets: [::1]:5401."""
    host, _, port = text.rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    try:
        number = int(port)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port: {port!r}") from None
    if not 0 <= number <= 65535:
        raise argparse.ArgumentTypeError(f"port out of range: {number}")
    return (host or None), number


HELP_WIDTH = 79
EXAMPLES = """\
examples:
  kvdash-dashboard --source demo          try it: a simulated lap, no game needed
  kvdash-dashboard                        whichever game speaks drives the display
  kvdash-dashboard --left delta --right fuel
  kvdash-dashboard --source gt7 --console 192.168.1.50
  kvdash-dashboard --bind 127.0.0.1       hear games on this computer only
  kvdash-dashboard --record lap.kvrec     then: --replay lap.kvrec, or --learn lap.kvrec
"""


def _games_help() -> str:
    """The games, one a line: the --source name, the games, where it listens."""
    rows = [("auto", "every game below at once; whichever speaks drives the display (default)")]
    for f in FAMILIES.values():
        if f.name == "demo":
            rows.append((f.name, "a simulated lap: needs no game (not part of auto)"))
            continue
        games = f.games.replace("; needs --console", "")
        if f.port is None:
            where = "shared memory"
        else:
            where = f"UDP {f.port}"
        if f.multicast:
            where += f", joins {f.multicast}"
        if f.request is not None:
            where += ", needs --console (part of auto only with it)"
        rows.append((f.name, f"{games} · {where}"))
    for name, why in UNAVAILABLE.items():
        rows.append((name, f"not installed: {why}"))
    lines = ["games (--source NAME):"]
    for name, text in rows:
        lines += textwrap.wrap(
            text,
            HELP_WIDTH,
            initial_indent=f"  {name:<12} ",
            subsequent_indent=" " * 15,
            break_on_hyphens=False,
        )
    return "\n".join(lines)


def _panels_help() -> str:
    choices = ", ".join(
        choice if label == choice else f"{choice} ({label})"
        for choice, (label, _) in PANELS.items()
    )
    text = (
        f"panels (--left, --right CHOICE): {choices}. Defaults: left time, else speed; "
        "right fuel, else delta, else rpm: the first the game sends."
    )
    return "\n".join(textwrap.wrap(text, HELP_WIDTH))


def package_version() -> str:
    """The installed kvdash's version; the app may also run from a source tree."""
    try:
        return importlib.metadata.version("kvdash")
    except importlib.metadata.PackageNotFoundError:
        return "unknown (not installed)"


def _config_help() -> str:
    where = default_path()
    return (
        "settings kept between runs, in TOML (default: "
        f"{where if where is not None else 'kvdash/dashboard.toml in your configuration folder'}"
        ", if it exists): the long options with underscores, and leds, shift, fuel_low, "
        'rpm_limit; tables [game.NAME] and [car."NAME:CAR"] apply on top (the README explains)'
    )


def build_parser() -> argparse.ArgumentParser:
    without = (
        "Without a display attached it draws a virtual one in the terminal."
        if VIRTUAL_AVAILABLE
        else "Without a display attached it draws a preview of the frames in the terminal."
    )
    p = argparse.ArgumentParser(
        prog="kvdash-dashboard",
        usage="%(prog)s [options]",
        description=textwrap.fill(
            "A racing dashboard on the SLI-PRO display, fed by your sim's telemetry. " + without,
            HELP_WIDTH,
        ),
        epilog="\n\n".join((_games_help(), _panels_help(), EXAMPLES)),
        formatter_class=argparse.RawDescriptionHelpFormatter,
        allow_abbrev=False,
    )
    p.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")

    game = p.add_argument_group("the game")
    game.add_argument(
        "--source",
        default="auto",
        choices=["auto", *FAMILIES, *UNAVAILABLE],
        metavar="NAME",
        help="the game to read (default auto: all at once; the list is below)",
    )
    game.add_argument(
        "--listen",
        metavar="[HOST:]PORT",
        type=parse_address,
        help="where one UDP --source listens (default: its own port; IPv6: [::1]:PORT)",
    )
    game.add_argument(
        "--bind",
        metavar="HOST",
        help=f"the address every UDP game is heard on (default {DEFAULT_HOST}: every network; "
        "127.0.0.1: this computer only)",
    )
    game.add_argument(
        "--console",
        metavar="HOST",
        help="the console's address, for a game that must be asked (Gran Turismo 7)",
    )
    game.add_argument(
        "--shm-dir",
        metavar="DIR",
        help="not on Windows: where shared-memory games are published as files "
        f"(default {DEFAULT_SHM_DIR})",
    )

    shown = p.add_argument_group("what the display shows")
    shown.add_argument("--left", choices=list(PANELS), metavar="CHOICE", help="the left panel")
    shown.add_argument("--right", choices=list(PANELS), metavar="CHOICE", help="the right panel")
    shown.add_argument(
        "--rpm-shift",
        type=float,
        metavar="RPM",
        help="all RPM LEDs lit, flashing past it (default: the game's rev lights, "
        "else 96 %% of the car's rev limit, else 7500)",
    )
    shown.add_argument(
        "--rpm-start",
        type=float,
        metavar="RPM",
        help="where the first RPM LED lights (default 70 %% of the shift point)",
    )
    shown.add_argument("--units", choices=("kmh", "mph"), default="kmh", help="speed units")
    shown.add_argument(
        "--neutral", choices=("-", "0"), default="-", help="how neutral is shown (default -)"
    )
    shown.add_argument(
        "--hz",
        type=float,
        default=MAX_HZ,
        metavar="N",
        help="the most reports a second (default and at most 1000)",
    )
    shown.add_argument(
        "--virtual",
        action="store_true",
        help="drive a new virtual display even where a real one is plugged in (on Windows, "
        "which has none: the preview in the terminal)",
    )
    shown.add_argument(
        "--view",
        choices=("auto", "lines"),
        default="auto",
        help="the terminal: auto draws the display live where it can; lines, a line a second",
    )

    shown.add_argument(
        "--http",
        metavar="[HOST:]PORT",
        type=parse_address,
        help=f"also show the display as a live web page (host {HTTP_HOST} unless given; "
        "0.0.0.0 for a phone on your network): / the page, /?overlay=1 for OBS",
    )

    settings = p.add_argument_group("settings, recordings")
    settings.add_argument("--config", metavar="FILE", help=_config_help())
    settings.add_argument(
        "--print-config", action="store_true", help="show the settings in force, then end"
    )
    settings.add_argument(
        "--record", metavar="FILE", help="keep what the game sent, with its timing"
    )
    settings.add_argument(
        "--replay", metavar="FILE", help="play a recording back instead of a game"
    )
    settings.add_argument(
        "--learn",
        metavar="FILE",
        help="print each car's best shift points from a recording of your laps, then end",
    )
    settings.add_argument("--seconds", type=float, metavar="N", help="stop after N seconds")
    return p


def check_arguments(args: argparse.Namespace) -> str | None:
    """Why the arguments cannot run, or None."""
    if not 0 < args.hz <= MAX_HZ:
        return "--hz must be above 0 and at most 1000 (the display takes one report a millisecond)"
    if args.seconds is not None and not args.seconds > 0:
        return "--seconds must be above 0"
    if args.rpm_shift is not None and args.rpm_start is not None:
        if args.rpm_shift <= args.rpm_start:
            return "--rpm-shift must be above --rpm-start"
    for name in ("rpm_start", "rpm_shift"):
        value = getattr(args, name)
        if value is not None and not 0 <= value < 1e6:
            return f"--{name.replace('_', '-')} must be between 0 and 1000000"
    if args.rpm_shift is not None and args.rpm_shift <= 0:
        return "--rpm-shift must be above 0"
    if args.replay and args.record and same_file(args.replay, args.record):
        return "--record and --replay name the same file: the recording would be lost"
    if args.shm_dir is not None and not os.path.isdir(args.shm_dir):
        return f"--shm-dir: no such folder: {args.shm_dir}"
    if args.source in UNAVAILABLE:
        return f"--source {args.source}: {UNAVAILABLE[args.source]}"
    if args.replay:
        return None  # the recording names its games: no source is opened
    family = FAMILIES.get(args.source)
    if family is not None and family.request is not None and not args.console:
        return f"--source {family.name} needs --console HOST: the console's address"
    if args.listen is not None:
        if family is None or family.port is None:
            return "--listen needs a UDP --source (outgauge, forza, f1, codemasters, ...)"
    return None


# ---------------------------------------------------------------- the loop


class App:
    """The running app: inputs -> telemetry -> frames -> the display."""

    def __init__(
        self,
        args: argparse.Namespace,
        udp: list[UdpInput],
        polled: list[PolledInput],
        replay: ReplayInput | None,
        recorder: Recorder | None,
        display: Display,
        view: View,
        settings: Settings,
        console: str | None = None,
        web: WebServer | None = None,
    ) -> None:
        self.udp, self.polled, self.replay = udp, polled, replay
        self.recorder, self.display, self.view = recorder, display, view
        self.web = web
        self.published: tuple[object, ...] | None = None
        self.sent_report: bytes | None = None  # as read back, for the page
        if recorder is not None:
            recorder.say = view.say
        self.settings = settings
        self.period = 1.0 / args.hz
        sole = FAMILIES.get(args.source)
        self.layout = Layout(
            settings.options(sole.name if sole else None), sole.fields if sole else FIELD_NAMES
        )
        self.active: Family | None = None
        self.car: str | None = None  # the car's id, as the active source reports it
        self.telemetry: Telemetry | None = None
        self.rev_limits = RevLimits()
        self.rev_limit: float | None = None  # learnt for the car driving now
        self.last_heard = 0.0
        self.frame: Frame = NO_DATA
        self.flash: float | None = None  # when the shift-light flash changes the frame
        self.dirty = True
        self.sent: Frame | None = None
        self.sent_generation = -1
        self.last_send = -1e9
        self.reports = 0
        self.counted_from = (0, 0)  # the channels' packets and bad ones when this game began
        self.rate = 0.0
        self._rate_mark = (0.0, 0)
        self.waiting_for = "a game" if args.source == "auto" else FAMILIES[args.source].title
        self.selector = web.selector if web is not None else selectors.DefaultSelector()
        for u in udp:
            self.selector.register(u.socket, selectors.EVENT_READ, u)
        # Consoles that stream only while asked (at the address resolved
        # before the loop), and when to ask next.
        self.console = console
        self.requests = [(u, f) for u in udp for f in u.channel.families if f.request]
        self.next_request = 0.0

    # ------------------------------------------------------------ status

    def status(self) -> Status:
        notes: tuple[str, ...] = ()
        problems = self._problems()
        if self.active is None:
            source = f"waiting for {self.waiting_for}"
            if self.udp:
                ports = ", ".join(str(u.address[1]) for u in self.udp)
                source = f"listening on {ports}: {source}"
            if self.replay is not None:
                source = "replaying"
            if problems:  # a game speaks, but cannot be read as it is set up
                source = " · ".join(problems)
        else:
            t = self.telemetry
            counts = self._counts()
            name = (t.game if t is not None and t.game else "") or self.active.title
            if self.car is not None:  # as a [car."..."] table names it
                name += f", car {self.active.name}:{self.car}"
            source = f"{name}: {counts}"
            if t is None:
                source += " · no data"
            rpm_shift = self.layout.options.rpm_shift
            learning = None if rpm_shift else self.rev_limits.learning(self.active)
            notes = (*problems, *((learning,) if learning else ()), *self.layout.unfilled())
        labels = self.layout.options.labels()
        return Status(source, self.display.status(), self.rate, notes, labels)

    def _problems(self) -> list[str]:
        found = [u.channel.problem for u in self.udp] + [p.problem for p in self.polled]
        if self.replay is not None:
            found += [c.problem for c in self.replay.channels]
        return [p for p in found if p]

    def _totals(self) -> tuple[int, int]:
        """Packets and bad ones, over every channel, so far."""
        channels = [u.channel for u in self.udp] + [p.channel for p in self.polled]
        if self.replay is not None:
            channels += self.replay.channels
        return sum(c.packets for c in channels), sum(c.bad for c in channels)

    def _counts(self) -> str:
        """Since the game now driving the display began to."""
        packets, bad = self._totals()
        return f"{packets - self.counted_from[0]} packets, {bad - self.counted_from[1]} bad"

    # ------------------------------------------------------------ events

    def hear(self, heard: Heard, now: float) -> None:
        if heard.family is not self.active:
            if self.active is not None and now - self.last_heard < SWITCH_AFTER:
                return  # another game speaks while this one still does
            self.active = heard.family
            self.car = heard.telemetry.car
            packets, bad = self._totals()
            self.counted_from = (packets - 1, bad)  # this game's first packet counts
            self._apply_settings()
            game = heard.telemetry.game or heard.family.title
            self.view.say(f"Telemetry from {game} ({heard.family.name}).")
        elif heard.telemetry.car is not None and heard.telemetry.car != self.car:
            self.car = heard.telemetry.car
            self._apply_settings()
        self.telemetry = heard.telemetry
        self.rev_limit = self.rev_limits.learn(heard.family, heard.telemetry)
        self.last_heard = now
        self.dirty = True

    def _apply_settings(self) -> None:
        """The settings of the game and car now driving the display, at once."""
        assert self.active is not None
        game = self.active.name
        self.layout = Layout(self.settings.options(game, self.car), self.active.fields)
        if self.car is not None and self.settings.has_car(game, self.car):
            self.view.say(f'Settings of [car."{game}:{self.car}"] apply.')

    def deadline(self, now: float, end: float | None) -> float:
        times = [self.display.next_check, self.view.next_update]
        if end is not None:
            times.append(end)
        if self.polled:
            times.extend(p.next_poll for p in self.polled)
        if self.replay is not None and not self.replay.finished:
            times.append(self.replay.next_poll)
        if self.flash is not None:
            times.append(self.flash)
        if self.telemetry is not None:
            times.append(self.last_heard + STALE)
        if self._wants_send():
            times.append(self.last_send + self.period)
        if self.requests:
            times.append(self.next_request)
        if self.web is not None:
            times.append(self.web.next_deadline())
        return min(times)

    def _wants_send(self) -> bool:
        return self.display.engine is not None and (
            self.frame is not self.sent or self.display.generation != self.sent_generation
        )

    def step(self, timeout: float) -> None:
        """Waits up to timeout for input, then does everything that is due."""
        heard: list[Heard] = []
        if self.udp or self.web is not None:
            ready = self.selector.select(max(0.0, timeout))
            now = time.monotonic()
            for key, mask in ready:
                if isinstance(key.data, UdpInput):
                    heard.extend(key.data.receive(now, self.recorder))
                else:  # the web server's sockets carry their own handler
                    key.data(mask, now)
        else:
            if timeout > 0:
                time.sleep(timeout)
            now = time.monotonic()
        for p in self.polled:
            if now >= p.next_poll:
                heard.extend(p.poll(now, self.recorder))
        if self.requests and now >= self.next_request:
            self._ask_consoles(now)
        if self.replay is not None and now >= self.replay.next_poll:
            heard.extend(self.replay.poll(now, self.recorder))
            for note in self.replay.notes:
                self.view.say(note)
            self.replay.notes.clear()
        for h in heard:
            self.hear(h, now)
        if self.telemetry is not None and now - self.last_heard > STALE:
            self.telemetry = None
            self.dirty = True
        if now >= self.display.next_check:
            event = self.display.check(now)
            if event == "unplugged":
                self.view.say("The display was unplugged: waiting for it.")
            elif event == "plugged":
                self.view.say(f"Driving the {self.display.status()} again.")
        if self.dirty or (self.flash is not None and now >= self.flash):
            frame, self.flash = self.layout.frame(self.telemetry, now, self.rev_limit)
            if frame != self.frame:  # only a different frame is new: compared once
                self.frame = frame
            self.dirty = False
        if self._wants_send() and now - self.last_send >= self.period:
            assert self.display.engine is not None
            # A new engine's image is blank: it gets every setter.
            shown = self.sent if self.display.generation == self.sent_generation else None
            send(self.display.engine, self.frame, shown)
            self.sent = self.frame
            self.sent_generation = self.display.generation
            self.last_send = now
            self.reports += 1
            if self.web is not None:
                self.sent_report = self.display.report()
        if self.web is not None:
            self._publish(now)
        if now >= self.view.next_update:
            self._measure_rate(now)
            self.view.update(now, self.frame, self.status())

    def _publish(self, now: float) -> None:
        """The frame to the web page when what the display shows has changed
        (without a display: the preview's frame)."""
        assert self.web is not None
        if self.display.engine is not None:
            frame = self.sent if self.sent is not None else NO_DATA
            report = self.sent_report
        else:
            frame, report = self.frame, None
        source = self.active.name if self.active is not None else ""
        car = (self.telemetry.car if self.telemetry is not None else None) or ""
        shown = (frame, report, source, car)
        if shown != self.published:
            self.published = shown
            self.web.publish(frame, report, source, car, now)
        self.web.tick(now)

    def _ask_consoles(self, now: float) -> None:
        every = min(f.request_every for _, f in self.requests)
        self.next_request = now + every
        for u, family in self.requests:
            assert family.request is not None and self.console is not None
            try:
                family.request(u.socket, self.console)
            except OSError:  # the network is down: ask again later
                pass

    def _measure_rate(self, now: float) -> None:
        mark_time, mark_reports = self._rate_mark
        if now - mark_time >= 1.0:
            if mark_time > 0:
                self.rate = (self.reports - mark_reports) / (now - mark_time)
            self._rate_mark = (now, self.reports)

    def run(self, seconds: float | None) -> None:
        start = time.monotonic()
        end = None if seconds is None else start + seconds
        while True:
            now = time.monotonic()
            if end is not None and now >= end:
                return
            if self.replay is not None and self.replay.finished and not self._wants_send():
                return
            self.step(self.deadline(now, end) - now)

    def close(self) -> None:
        if self.web is not None:
            self.web.close()
        for u in self.udp:
            u.close()
        for p in self.polled:
            p.close()
        self.selector.close()
        if self.recorder is not None:
            self.recorder.close()


# ---------------------------------------------------------------- main


def udp_host(args: argparse.Namespace) -> str:
    """Where UDP sources listen: --listen's host, else --bind, else everywhere."""
    return (args.listen[0] if args.listen else None) or args.bind or DEFAULT_HOST


def resolve_console(name: str, host: str) -> str | None:
    """The console's address, found once: a name server that does not
    answer must not stall the loop. None when the name does not resolve."""
    try:
        found = socket.getaddrinfo(name, None, address_family(host), socket.SOCK_DGRAM)
    except (OSError, UnicodeError, ValueError):
        return None
    return str(found[0][4][0]) if found else None


def open_inputs(
    args: argparse.Namespace, console: str | None, say: Callable[[str], None]
) -> tuple[list[UdpInput], list[PolledInput], ReplayInput | None]:
    if args.replay:
        return [], [], ReplayInput(read_recording(args.replay))
    chosen = list(FAMILIES.values()) if args.source == "auto" else [FAMILIES[args.source]]
    if args.source == "auto":
        # A console that must be asked is left out unless we know its address.
        chosen = [f for f in chosen if f.name != "demo" and (f.request is None or args.console)]
    udp: list[UdpInput] = []
    polled: list[PolledInput] = []
    by_port: dict[int, list[Family]] = {}
    for f in chosen:
        if f.multicast and args.source == "auto" and args.bind not in (None, DEFAULT_HOST):
            # Multicast reaches only a socket bound to every address: it
            # cannot honour --bind, so it is not opened unasked.
            say(f"{f.title} left out: its multicast group cannot be narrowed to --bind")
            continue
        if f.port is not None:
            by_port.setdefault(f.port, []).append(f)
        elif f.reader is not None:
            folder = None if sys.platform == "win32" else args.shm_dir or DEFAULT_SHM_DIR
            polled.append(PolledInput(f, f.reader(folder)))
    host = udp_host(args)
    for port, families in by_port.items():
        if args.listen is not None:  # one UDP source: where the user said
            port = args.listen[1]
        try:
            u = UdpInput(families, host, port, console)
        except OSError as error:
            names = ", ".join(f.title for f in families)
            message = f"cannot listen for {names} on {host}:{port}: {error.strerror or error}"
            if args.source != "auto":
                for u in udp:
                    u.close()
                raise SystemExit(f"kvdash-dashboard: {message}") from None
            say(f"{message} (skipped)")
            continue
        udp.append(u)
        if u.join_error is not None:
            names = ", ".join(f.title for f in families)
            why = u.join_error.strerror or u.join_error
            say(
                f"cannot join {u.group} for {names}: {why} "
                "(only datagrams sent to this computer arrive)"
            )
    if by_port and not udp:
        for p in polled:
            p.close()
        raise SystemExit(
            f"kvdash-dashboard: cannot listen on any UDP port on {host} "
            "(is another kvdash-dashboard running?)"
        )
    return udp, polled, None


def open_web(address: tuple[str | None, int]) -> WebServer:
    """The web page's server; SystemExit with the reason where it cannot start."""
    host = address[0] or HTTP_HOST
    try:
        from .web import WebServer
    except ImportError as error:
        raise SystemExit(f"kvdash-dashboard: --http needs h11 ({error}): pip install h11") from None
    try:
        return WebServer(host, address[1], selectors.DefaultSelector())
    except OSError as error:
        reason = error.strerror or error
        raise SystemExit(
            f"kvdash-dashboard: cannot serve on {host}:{address[1]}: {reason}"
        ) from None


def page_address(host: str, port: int) -> str:
    """Where a browser finds the page."""
    if host in ("0.0.0.0", "::"):
        return f"http://<this computer's address>:{port}/ (here: http://127.0.0.1:{port}/)"
    return f"http://{'[' + host + ']' if ':' in host else host}:{port}/"


class EndingSignals:
    """Meanwhile Ctrl-C, SIGTERM and SIGHUP (the terminal closed) end the
    app once, as a KeyboardInterrupt; from then on, or once the clean-up has
    begun, they are let pass, so that nothing skips it. A signal ignored
    when we start (a background job's Ctrl-C, nohup's hangup) stays ignored;
    the caller's handlers come back afterwards."""

    NAMES = ("SIGINT", "SIGTERM", "SIGHUP")

    def __init__(self) -> None:
        self.ending = False
        self._previous: dict[int, signal._HANDLER] = {}

    def __enter__(self) -> EndingSignals:
        if threading.current_thread() is threading.main_thread():
            for name in self.NAMES:
                number = getattr(signal, name, None)
                if number is not None and signal.getsignal(number) is not signal.SIG_IGN:
                    self._previous[number] = signal.signal(number, self._handle)
        return self

    def _handle(self, _signum: int, _frame: object) -> None:
        if not self.ending:
            self.ending = True
            raise KeyboardInterrupt

    def __exit__(self, *_exc: object) -> None:
        self.ending = True
        for number, handler in self._previous.items():
            signal.signal(number, handler)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the app in the calling thread; answers its exit status."""
    keep_standard_descriptors()
    parser = build_parser()
    arguments = None if argv is None else list(argv)
    args = parser.parse_args(arguments)
    if args.learn is not None:
        try:
            say(learn(args.learn))
        except (RecordingError, OSError) as error:
            say(f"kvdash-dashboard: {error}", error=True)
            return 1
        return 0
    try:
        given = given_options(build_parser(), arguments)
        settings = load(build_parser(), given, args.config, FAMILIES)
    except SettingsError as error:
        say(f"kvdash-dashboard: {error}", error=True)
        return 2
    for key, value in settings.values().items():
        if hasattr(args, key):  # the file's top level, under the command line
            setattr(args, key, value)
    problem = check_arguments(args)
    if problem is not None:
        with contextlib.suppress(OSError, ValueError, AttributeError):
            parser.print_usage(sys.stderr)
        say(f"kvdash-dashboard: error: {problem}", error=True)
        return 2
    if args.print_config:
        say(settings.describe())
        return 0
    with EndingSignals() as signals:
        try:
            return run_app(args, settings, signals)
        except KeyboardInterrupt:  # before the display was opened: nothing to blank
            return 0


def run_app(args: argparse.Namespace, settings: Settings, signals: EndingSignals) -> int:
    for message in LOAD_MESSAGES:
        say(f"kvdash: {message}")
    if args.replay and (args.source != "auto" or args.listen or args.console):
        say(
            "--replay: --source, --listen and --console are ignored (the recording names its games)"
        )
        args.source, args.listen, args.console = "auto", None, None
    console = None
    if args.console:
        console = resolve_console(args.console, udp_host(args))
        if console is None:
            hint = (
                " (an IPv6 console needs IPv6 listening: --bind ::)" if ":" in args.console else ""
            )
            say(
                f"kvdash-dashboard: error: --console: cannot find {args.console!r}{hint}",
                error=True,
            )
            return 2
    try:
        udp, polled, replay = open_inputs(args, console, say)
    except (RecordingError, OSError) as error:
        say(f"kvdash-dashboard: {error}", error=True)
        return 1
    except SystemExit as error:
        say(str(error), error=True)
        return 1
    recorder = None
    if args.record:
        try:
            recorder = Recorder(args.record, time.monotonic())
        except OSError as error:
            say(f"kvdash-dashboard: cannot record to {args.record}: {error}", error=True)
            for u in udp:
                u.close()
            return 1

    web = None
    if args.http is not None:
        try:
            web = open_web(args.http)
        except SystemExit as error:
            for u in udp:
                u.close()
            for p in polled:
                p.close()
            if recorder is not None:
                recorder.close()
            say(str(error), error=True)
            return 1
        say(f"The display as a web page: {page_address(*web.address)}")

    display = Display(force_virtual=args.virtual)
    app: App | None = None
    view: View | None = None
    start = time.monotonic()
    try:
        display.open(start)
        say_display(display, args.virtual)
        title = "SLI-PRO (virtual)" if display.kind in (Kind.OURS, Kind.VIRTUAL) else "SLI-PRO"
        if display.engine is None:
            title = "SLI-PRO (preview)"
        view, why = choose_view(args.view, title)
        if why:
            view.say(why)
        app = App(args, udp, polled, replay, recorder, display, view, settings, console, web)
        start = time.monotonic()
        app.run(args.seconds)
    except KeyboardInterrupt:
        pass
    finally:
        signals.ending = True  # a second Ctrl-C must not cut the clean-up short
        elapsed = time.monotonic() - start
        blank = display.engine is not None
        where = f" on the {display.status()} (left blank)" if blank else ": no display"
        try:
            if app is not None:
                app.close()
                if view is not None:
                    view.close(BLANK if blank else app.frame, app.status())
            else:  # stopped while starting
                if view is not None:
                    view.close(BLANK, Status("", display.status(), 0.0))
                for u in udp:
                    u.close()
                for p in polled:
                    p.close()
                if recorder is not None:
                    recorder.close()
                if web is not None:
                    web.close()
        finally:
            # Letting the engine go blanks the display.
            display.close()
    reports = app.reports if app is not None else 0
    say(f"{reports} reports in {elapsed:.1f} s{where}.")
    if replay is not None and replay.damage is not None:
        say(f"kvdash-dashboard: {replay.damage}: played up to there.", error=True)
        return 1
    return 0


def say_display(display: Display, virtual: bool) -> None:
    """What was found, or why nothing can be driven."""
    if display.storage_failed():
        home = os.path.expanduser("~")
        say(
            f"kvdash cannot make its storage folder in your Documents folder (home: {home}): "
            "no display can be driven until the home folder exists and can be written to."
        )
    elif display.unopened():
        say(
            "An SLI-PRO is plugged in but could not be opened: check the permissions of "
            "/dev/hidraw* (the README's Linux section has a udev rule)."
        )
    if display.kind is Kind.OURS and not virtual:
        say("No SLI-PRO display found: drawing a virtual one.")
    elif display.preview_only:
        say("No virtual displays on Windows: --virtual shows a preview only.")
    elif display.engine is None and not display.storage_failed():
        say(
            "No SLI-PRO display found: a preview in the terminal, waiting for one to be plugged in."
        )

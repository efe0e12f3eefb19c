"""The loop and the command line.

The loop waits on the games' sockets with a timeout to its next deadline (a
shared-memory poll, the shift-light flash, a presence check of the display,
the view) and sends a report as soon as new telemetry changes what the
display shows, at most --hz reports a second."""

from __future__ import annotations

import argparse
import contextlib
import selectors
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING

from .console import captured_c_stdout

# Loading the module prints "Kavu Engine already running!" when another
# process has it loaded: keep that, to say it on a line of its own.
with captured_c_stdout() as LOAD_MESSAGES:
    import kvdash  # noqa: F401

from .dashboard import NO_DATA, PANELS, Frame, Layout, Options, send
from .display import Display, Kind
from .inputs import Heard, PolledInput, ReplayInput, UdpInput
from .record import Recorder, RecordingError, read_recording
from .sources import FAMILIES, Family
from .telemetry import FIELD_NAMES, Telemetry
from .view import Status, View, choose_view

if TYPE_CHECKING:
    from .web import WebServer

STALE = 2.0  # s without telemetry: the game is gone ("no data")
SWITCH_AFTER = 1.0  # s of silence before another game may take the display
MAX_HZ = 1000.0  # the display takes one report per millisecond
BLANK = Frame(gear=" ", left=" " * 6, right=" " * 6)
DEFAULT_HOST = "0.0.0.0"  # all interfaces: a console on the network can send too
HTTP_HOST = "127.0.0.1"  # the page: this computer only, unless a host is given


# ---------------------------------------------------------------- command line


def parse_address(text: str) -> tuple[str | None, int]:
    """[HOST:]PORT; no host: the default."""
    host, _, port = text.rpartition(":")
    try:
        number = int(port)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port: {port!r}") from None
    if not 0 <= number <= 65535:
        raise argparse.ArgumentTypeError(f"port out of range: {number}")
    return (host or None), number


def _sources_help() -> str:
    lines = ["auto: every game below at once; whichever speaks drives the display (default)"]
    for f in FAMILIES.values():
        where = f"UDP port {f.port}" if f.port is not None else "shared memory"
        if f.name == "demo":
            where = "no game needed"
        lines.append(f"{f.name}: {f.title} ({f.games}; {where})")
    return "; ".join(lines)


def _panel_help(side: str, defaults: str) -> str:
    parts = []
    for choice, (label, field) in PANELS.items():
        missing = [f.name for f in FAMILIES.values() if field not in f.fields]
        note = f" (not from {', '.join(missing)})" if missing else ""
        parts.append(f"{choice}: {label}{note}")
    return f"{side} panel: " + "; ".join(parts) + f". Default: {defaults}"


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="kvdash-dashboard",
        description="A racing dashboard on the SLI-PRO display, fed by your sim's telemetry. "
        "Without a display attached it draws a virtual one in the terminal (on Windows, "
        "a preview of the frames).",
    )
    p.add_argument(
        "--source",
        default="auto",
        choices=["auto", *FAMILIES],
        metavar="NAME",
        help=_sources_help(),
    )
    p.add_argument(
        "--listen",
        metavar="[HOST:]PORT",
        type=parse_address,
        help=f"where a UDP source listens (default: {DEFAULT_HOST} and the source's port)",
    )
    p.add_argument(
        "--shm-dir",
        metavar="DIR",
        default="/dev/shm",
        help="not on Windows: the folder where shared-memory games are published as files "
        "(default /dev/shm)",
    )
    p.add_argument(
        "--console",
        metavar="HOST",
        help="the address of a console that streams only when asked (Gran Turismo 7)",
    )
    p.add_argument("--seconds", type=float, metavar="N", help="stop after N seconds")
    p.add_argument(
        "--virtual",
        action="store_true",
        help="drive a new virtual display even where a real one is found (on Windows, which "
        "has none: the preview in the terminal, no device)",
    )
    p.add_argument(
        "--hz",
        type=float,
        default=MAX_HZ,
        metavar="N",
        help="the most reports a second (default and at most 1000, the display's limit)",
    )
    p.add_argument("--record", metavar="FILE", help="keep what the game sent, with its timing")
    p.add_argument("--replay", metavar="FILE", help="play a recording back instead of a game")
    p.add_argument("--left", choices=list(PANELS), help=_panel_help("left", "time, else speed"))
    p.add_argument(
        "--right", choices=list(PANELS), help=_panel_help("right", "fuel, else delta, else rpm")
    )
    p.add_argument(
        "--rpm-start",
        type=float,
        metavar="RPM",
        help="where the first RPM LED lights (default: 70 %% of the shift point)",
    )
    p.add_argument(
        "--rpm-shift",
        type=float,
        metavar="RPM",
        help="the shift point: all LEDs lit, flashing past it (default: the game's own rev "
        "lights, else 96 %% of the car's rev limit, else 7500)",
    )
    p.add_argument("--units", choices=("kmh", "mph"), default="kmh", help="speed units")
    p.add_argument("--neutral", choices=("-", "0"), default="-", help="how neutral is shown")
    p.add_argument(
        "--http",
        metavar="[HOST:]PORT",
        type=parse_address,
        help=f"serve the display as a live web page (default host {HTTP_HOST}; 0.0.0.0 for "
        "a phone or tablet on your network): / the page (/?overlay=1 on a transparent "
        "background, for OBS), /frame the frame as JSON, /events the frames as Server-Sent "
        "Events",
    )
    p.add_argument(
        "--view",
        choices=("auto", "lines"),
        default="auto",
        help="auto: the display drawn live where the terminal can; lines: a line a second",
    )
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
    if args.replay and args.record and args.replay == args.record:
        return "--record and --replay name the same file"
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
        web: WebServer | None = None,
    ) -> None:
        self.udp, self.polled, self.replay = udp, polled, replay
        self.recorder, self.display, self.view = recorder, display, view
        self.web = web
        self.published: tuple[object, ...] | None = None
        self.sent_report: bytes | None = None  # as read back, for the page
        self.options = Options(
            left=args.left,
            right=args.right,
            rpm_start=args.rpm_start,
            rpm_shift=args.rpm_shift,
            units=args.units,
            neutral=args.neutral,
        )
        self.period = 1.0 / args.hz
        sole = FAMILIES.get(args.source)
        self.layout = Layout(self.options, sole.fields if sole else FIELD_NAMES)
        self.active: Family | None = None
        self.telemetry: Telemetry | None = None
        self.last_heard = 0.0
        self.frame: Frame = NO_DATA
        self.flash: float | None = None  # when the shift-light flash changes the frame
        self.dirty = True
        self.sent: Frame | None = None
        self.sent_generation = -1
        self.last_send = -1e9
        self.reports = 0
        self.rate = 0.0
        self._rate_mark = (0.0, 0)
        self.waiting_for = "a game" if args.source == "auto" else FAMILIES[args.source].title
        self.selector = web.selector if web is not None else selectors.DefaultSelector()
        for u in udp:
            self.selector.register(u.socket, selectors.EVENT_READ, u)
        # Consoles that stream only while asked, and when to ask next.
        self.console: str | None = args.console
        self.requests = [(u, f) for u in udp for f in u.channel.families if f.request]
        self.next_request = 0.0

    # ------------------------------------------------------------ status

    def status(self) -> Status:
        notes: tuple[str, ...] = ()
        if self.active is None:
            source = f"waiting for {self.waiting_for}"
            if self.udp:
                ports = ", ".join(str(u.address[1]) for u in self.udp)
                source = f"listening on {ports}: {source}"
            if self.replay is not None:
                source = "replaying"
        else:
            t = self.telemetry
            counts = self._counts()
            name = (t.game if t is not None and t.game else "") or self.active.title
            source = f"{name}: {counts}"
            if t is None:
                source += " · no data"
            notes = self.layout.unfilled()
        return Status(source, self.display.status(), self.rate, notes)

    def _counts(self) -> str:
        channels = [u.channel for u in self.udp] + [p.channel for p in self.polled]
        if self.replay is not None:
            channels += self.replay.channels
        packets = sum(c.packets for c in channels)
        bad = sum(c.bad for c in channels)
        return f"{packets} packets, {bad} bad"

    # ------------------------------------------------------------ events

    def hear(self, heard: Heard, now: float) -> None:
        if heard.family is not self.active:
            if self.active is not None and now - self.last_heard < SWITCH_AFTER:
                return  # another game speaks while this one still does
            self.active = heard.family
            self.layout = Layout(self.options, heard.family.fields)
            game = heard.telemetry.game or heard.family.title
            self.view.say(f"Telemetry from {game} ({heard.family.name}).")
        self.telemetry = heard.telemetry
        self.last_heard = now
        self.dirty = True

    def deadline(self, now: float, end: float | None) -> float:
        times = [self.display.next_check, self.view.next_update]
        if end is not None:
            times.append(end)
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
            self.frame != self.sent or self.display.generation != self.sent_generation
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
            self.frame, self.flash = self.layout.frame(self.telemetry, now)
            self.dirty = False
        if self._wants_send() and now - self.last_send >= self.period:
            assert self.display.engine is not None
            send(self.display.engine, self.frame)
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
            except OSError:  # the network is down or the name unknown: ask again later
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


def open_inputs(
    args: argparse.Namespace, say: Callable[[str], None]
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
        if f.port is not None:
            by_port.setdefault(f.port, []).append(f)
        elif f.reader is not None:
            folder = None if sys.platform == "win32" else args.shm_dir
            polled.append(PolledInput(f, f.reader(folder)))
    host = (args.listen[0] if args.listen else None) or DEFAULT_HOST
    for port, families in by_port.items():
        if args.listen is not None:  # one UDP source: where the user said
            port = args.listen[1]
        try:
            udp.append(UdpInput(families, host, port))
        except OSError as error:
            names = ", ".join(f.title for f in families)
            message = f"cannot listen for {names} on {host}:{port}: {error.strerror or error}"
            if args.source != "auto":
                for u in udp:
                    u.close()
                raise SystemExit(f"kvdash-dashboard: {message}") from None
            say(f"{message} (skipped)")
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


def _say(text: str) -> None:
    print(text, flush=True)


@contextlib.contextmanager
def sigterm_as_interrupt() -> Iterator[None]:
    """Meanwhile SIGTERM ends the app as Ctrl-C does (a blank display, status
    0); the caller's own handler comes back afterwards."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def handler(_signum: int, _frame: object) -> None:
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGTERM, handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the app in the calling thread; answers its exit status."""
    parser = build_parser()
    args = parser.parse_args(None if argv is None else list(argv))
    problem = check_arguments(args)
    if problem is not None:
        parser.print_usage(sys.stderr)
        print(f"kvdash-dashboard: error: {problem}", file=sys.stderr)
        return 2
    for message in LOAD_MESSAGES:
        print(f"kvdash: {message}", flush=True)
    try:
        udp, polled, replay = open_inputs(args, _say)
    except RecordingError as error:
        print(f"kvdash-dashboard: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"kvdash-dashboard: {error}", file=sys.stderr)
        return 1
    except SystemExit as error:
        print(error, file=sys.stderr)
        return 1
    recorder = None
    if args.record:
        try:
            recorder = Recorder(args.record, time.monotonic())
        except OSError as error:
            print(f"kvdash-dashboard: cannot record to {args.record}: {error}", file=sys.stderr)
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
            if recorder is not None:
                recorder.close()
            print(error, file=sys.stderr)
            return 1
        print(f"The display as a web page: {page_address(*web.address)}", flush=True)

    display = Display(force_virtual=args.virtual)
    display.open(time.monotonic())
    if display.unopened():
        print(
            "An SLI-PRO is plugged in but could not be opened: check the permissions of "
            "/dev/hidraw* (the README's Linux section has a udev rule).",
            flush=True,
        )
    if display.kind is Kind.OURS and not args.virtual:
        print("No SLI-PRO display found: drawing a virtual one.", flush=True)
    elif display.preview_only:
        print("No virtual displays on Windows: --virtual shows a preview only.", flush=True)
    elif display.engine is None:
        print(
            "No SLI-PRO display found: a preview in the terminal, waiting for one to be "
            "plugged in.",
            flush=True,
        )
    title = "SLI-PRO (virtual)" if display.kind in (Kind.OURS, Kind.VIRTUAL) else "SLI-PRO"
    if display.engine is None:
        title = "SLI-PRO (preview)"
    view, why = choose_view(args.view, title)
    if why:
        view.say(why)

    app = App(args, udp, polled, replay, recorder, display, view, web)
    start = time.monotonic()
    try:
        with sigterm_as_interrupt():
            app.run(args.seconds)
    except KeyboardInterrupt:
        pass
    finally:
        elapsed = time.monotonic() - start
        app.close()
        if display.engine is not None:
            where = f" on the {display.status()} (left blank)"
            view.close(BLANK, app.status())
        else:
            where = ": no display"
            view.close(app.frame, app.status())
        # Letting the engine go blanks the display.
        display.close()
    print(f"{app.reports} reports in {elapsed:.1f} s{where}.", flush=True)
    return 0

"""The app: the command line read, the inputs and the display opened, the
loop run, and everything left as it was found however the app is stopped."""

from __future__ import annotations

import argparse
import contextlib
import os
import selectors
import signal
import socket
import sys
import threading
import time
from collections.abc import Callable, Sequence
from contextlib import ExitStack
from dataclasses import dataclass
from typing import TYPE_CHECKING

from .console import captured_c_stdout, keep_standard_descriptors, say

# Loading the module prints "Kavu Engine already running!" when another
# process has it loaded: keep that, to say it on a line of its own.
with captured_c_stdout() as LOAD_MESSAGES:
    import kvdash  # noqa: F401

from . import cli
from .cli import (
    DEFAULT_HOST,
    DEFAULT_SHM_DIR,
    HTTP_HOST,
    HTTP_OFF,
    build_parser,
    check_arguments,
    ipv4_only,
    settings_address,
)
from .dashboard import Frame
from .display import Display, Kind
from .host import Host
from .journal import Journal, JournalView, kept, log_folder
from .loop import App
from .race.bestlaps import data_folder
from .race.shiftpoints import learn
from .settings import Settings, SettingsError, given_options, load
from .sources import FAMILIES, Family
from .sources.channels import PolledInput, ReplayInput, UdpInput, address_family
from .sources.recording import CannotRecord, Recorder, RecordingError, read_recording
from .view import Status, View, choose_view

if TYPE_CHECKING:
    from .web.server import WebServer
    from .web.settings_api import SettingsApi

BLANK = Frame(gear=" ", left=" " * 6, right=" " * 6)


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
        if f.multicast and ":" in udp_host(args):  # only in auto: refused with --source
            say(f"{f.title} left out: it {ipv4_only(f, udp_host(args))}")
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
        if u.unjoined is not None:
            names = ", ".join(f.title for f in families)
            say(
                f"{names}: heard on {host}:{u.address[1]} only, from a game that sends there; "
                f"the multicast group {u.unjoined} is not joined (that needs --bind {DEFAULT_HOST})"
            )
        if u.join_error is not None:
            names = ", ".join(f.title for f in families)
            why = u.join_error.strerror or u.join_error
            say(
                f"cannot join {u.group} for {names}: {why} "
                "(only datagrams sent to this computer arrive)"
            )
    # What a wrong game's packets are told to do must be something that works.
    listening = frozenset(u.address[1] for u in udp)
    for u in udp:
        u.channel.listening, u.channel.moved = listening, args.listen is not None
    if by_port and not udp:
        for p in polled:
            p.close()
        raise SystemExit(
            f"kvdash-dashboard: cannot listen on any UDP port on {host} "
            "(is another kvdash-dashboard running?)"
        )
    return udp, polled, None


def _serve(host: str, port: int) -> WebServer:
    from .web.server import WebServer

    return WebServer(host, port, selectors.DefaultSelector())


def open_web(address: tuple[str | None, int]) -> WebServer:
    """The web pages' server where the user said; SystemExit with the reason
    where it cannot start."""
    host = address[0] or HTTP_HOST
    try:
        import h11  # noqa: F401
    except ImportError as error:
        raise SystemExit(f"kvdash-dashboard: --http needs h11 ({error}): pip install h11") from None
    try:
        return _serve(host, address[1])
    except OSError as error:
        reason = error.strerror or error
        raise SystemExit(
            f"kvdash-dashboard: cannot serve on {host}:{address[1]}: {reason}"
        ) from None


def open_default_web(say: Callable[[str], None]) -> WebServer | None:
    """The web pages' server at the usual address, or the next free port
    when another program holds it (said once); None, said, where none can be
    had: the display does not need it."""
    try:
        import h11  # noqa: F401
    except ImportError as error:
        say(f"No web pages (settings, display): they need h11 ({error}): pip install h11")
        return None
    first = cli.DEFAULT_HTTP_PORT
    last = min(first + cli.HTTP_PORTS_TRIED - 1, 65535)
    for port in range(first, last + 1):
        try:
            web = _serve(HTTP_HOST, port)
        except OSError:
            continue
        if port != first:
            say(f"Port {first} is taken by another program: the web pages are on port {port}.")
        return web
    say(
        f"No web pages: ports {first} to {last} are all taken by other programs "
        "(--http PORT chooses another)."
    )
    return None


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
    with kept(Journal(log_folder())) as journal:
        if journal.problem is not None:
            say(journal.problem)
        return _main(argv, journal)


def _main(argv: Sequence[str] | None, journal: Journal) -> int:
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
        settings = load(parser, given, args.config, FAMILIES)
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
            return run_app(parser, args, settings, signals, journal)
        except KeyboardInterrupt:  # before the display was opened: nothing to blank
            return 0


class StartFailed(Exception):
    """A part of the app that cannot start: str() is the line to say."""


@dataclass
class Parts:
    """What the app opens before its loop, each closed once by the stack it was opened on."""

    udp: list[UdpInput]
    polled: list[PolledInput]
    replay: ReplayInput | None
    recorder: Recorder | None = None
    web: WebServer | None = None


def open_parts(args: argparse.Namespace, console: str | None, stack: ExitStack) -> Parts:
    """The sources, the recording and the page. Raises StartFailed."""
    try:
        udp, polled, replay = open_inputs(args, console, say)
    except (RecordingError, OSError) as error:
        raise StartFailed(f"kvdash-dashboard: {error}") from None
    except SystemExit as error:
        raise StartFailed(str(error)) from None
    for u in udp:
        stack.callback(u.close)
    for p in polled:
        stack.callback(p.close)
    parts = Parts(udp, polled, replay)
    if args.record:
        try:
            parts.recorder = Recorder(args.record, time.monotonic())
        except CannotRecord as error:
            raise StartFailed(f"kvdash-dashboard: {error}") from None
        stack.callback(parts.recorder.close)
        if parts.recorder.path != parts.recorder.asked:
            say(f"{args.record} exists and is kept: this run records to {parts.recorder.path}.")
        say(f"Recording to {parts.recorder.path}.")
        for part in parts.recorder.leftovers:
            say(
                f"An earlier recording to {parts.recorder.path} was cut off and is kept as "
                f"{part}: --replay or --learn it as it is, or delete it."
            )
    if args.http is None:
        parts.web = open_default_web(say)
    elif args.http != HTTP_OFF:
        try:
            parts.web = open_web(args.http)
        except SystemExit as error:
            raise StartFailed(str(error)) from None
    if parts.web is not None:
        stack.callback(parts.web.close)
        address = parts.web.address
        say(
            f"The display as a web page: {page_address(*address)}; "
            f"the settings: {settings_address(*address)}"
        )
    return parts


def open_settings_api(
    app: App, parser: argparse.ArgumentParser, web: WebServer, view: View, journal: Journal
) -> SettingsApi | None:
    """The settings page beside the display page, where tomlkit is there to write the file."""
    try:
        from .web.settings_api import SettingsApi
    except ImportError as error:  # the display page still works without it
        view.say(f"No settings page: it needs tomlkit ({error}): pip install tomlkit")
        return None
    return SettingsApi(app, parser, web, journal)


def replay_alone(args: argparse.Namespace) -> None:
    """A replay names its own games: options that choose them are dropped, and said."""
    if args.replay and (args.source != "auto" or args.listen or args.console):
        say(
            "--replay: --source, --listen and --console are ignored (the recording names its games)"
        )
        args.source, args.listen, args.console = "auto", None, None


def run_app(
    parser: argparse.ArgumentParser,
    args: argparse.Namespace,
    settings: Settings,
    signals: EndingSignals,
    journal: Journal,
) -> int:
    for message in LOAD_MESSAGES:
        say(f"kvdash: {message}")
    replay_alone(args)
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
    display = Display(force_virtual=args.virtual)
    app: App | None = None
    view: View | None = None

    def close_view() -> None:
        if view is None:
            return
        if app is not None:
            blank = display.engine is not None
            view.close(BLANK if blank else app.frame, app.status())
        else:  # stopped while starting
            view.close(BLANK, Status("", display.status(), 0.0))

    # Closed in the reverse order of opening: the app, the parts (the
    # recording still speaks through the view), the view, and the display
    # last (letting the engine go blanks it).
    with ExitStack() as stack:
        stack.callback(display.close)
        stack.callback(close_view)
        try:
            parts = open_parts(args, console, stack)
        except StartFailed as failed:
            say(str(failed), error=True)
            return 1
        host = Host()
        host.port(parts.web.address[1] if parts.web is not None else 0)
        start = time.monotonic()
        try:
            display.open(start)
            say_display(display, args.virtual)
            shown, why = choose_view(args.view, display_title(display))
            view = JournalView(shown, journal)
            if why:
                view.say(why)
            app = App(
                args, parts.udp, parts.polled, parts.replay, parts.recorder,
                display, view, settings, console, parts.web, host,
            )  # fmt: skip
            stack.callback(app.close)
            if parts.web is not None:
                api = open_settings_api(app, parser, parts.web, view, journal)
                if api is not None:
                    stack.callback(api.close)
                    host.first_start(settings.path, data_folder())
            start = time.monotonic()
            app.run(args.seconds)
        except KeyboardInterrupt:
            pass
        finally:
            signals.ending = True  # a second Ctrl-C must not cut the clean-up short
            elapsed = time.monotonic() - start
            blank = display.engine is not None
            where = f" on the {display.status()} (left blank)" if blank else ": no display"
    recorder = parts.recorder
    if recorder is not None and recorder.where is not None:
        say(f"{recorder.kept} packets recorded in {recorder.where}.")
    say(f"{app.reports if app is not None else 0} reports in {elapsed:.1f} s{where}.")
    if parts.replay is not None and parts.replay.damage is not None:
        say(f"kvdash-dashboard: {parts.replay.damage}: played up to there.", error=True)
        return 1
    return 0


def display_title(display: Display) -> str:
    if display.engine is None:
        return "SLI-PRO (preview)"
    return "SLI-PRO (virtual)" if display.kind in (Kind.OURS, Kind.VIRTUAL) else "SLI-PRO"


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
            "/dev/hidraw* (the README's Install section has a udev rule)."
        )
    if display.kind is Kind.OURS and not virtual:
        say("No SLI-PRO display found: drawing a virtual one.")
    elif display.preview_only:
        say("No virtual displays on Windows: --virtual shows a preview only.")
    elif display.engine is None and not display.storage_failed():
        say(
            "No SLI-PRO display found: a preview in the terminal, waiting for one to be plugged in."
        )

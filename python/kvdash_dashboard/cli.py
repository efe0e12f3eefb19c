"""The command line: the options, their help, and what cannot run together."""

from __future__ import annotations

import argparse
import contextlib
import importlib.metadata
import os
import sys
import textwrap
from typing import NoReturn

from .console import say
from .dashboard import PANELS
from .display import VIRTUAL_AVAILABLE
from .settings import default_path
from .settings.keys import EXTRA_KEYS
from .sources import FAMILIES, UNAVAILABLE, Family
from .sources.recording import same_file

MAX_HZ = 1000.0  # the display takes one report per millisecond
DEFAULT_HOST = "0.0.0.0"  # all interfaces: a console on the network can send too
DEFAULT_SHM_DIR = "/dev/shm"
HTTP_HOST = "127.0.0.1"  # the page: this computer only, unless a host is given
# The settings page is always there, at the same address unless another
# program holds it: then the next free port of these.
DEFAULT_HTTP_PORT = 8722
HTTP_PORTS_TRIED = 10
HTTP_OFF = "off"


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


def parse_http(text: str) -> tuple[str | None, int] | str:
    """--http: [HOST:]PORT, or off."""
    if text.strip().lower() == HTTP_OFF:
        return HTTP_OFF
    return parse_address(text)


def settings_address(host: str, port: int) -> str:
    """Where this computer's browser finds the settings page (served to
    this computer only)."""
    host = {"0.0.0.0": "127.0.0.1", "::": "::1"}.get(host, host)
    return f"http://{'[' + host + ']' if ':' in host else host}:{port}/settings"


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
        f", if it exists): the long options with underscores, and {', '.join(EXTRA_KEYS)}; "
        'tables [game.NAME] and [car."NAME:CAR"] apply on top (the README explains)'
    )


class Parser(argparse.ArgumentParser):
    """argparse's, saying a mistake as the app says every line: so that it
    reaches the log of a program without a console too."""

    def error(self, message: str) -> NoReturn:
        with contextlib.suppress(OSError, ValueError, AttributeError):
            self.print_usage(sys.stderr)
        say(f"{self.prog}: error: {message}", error=True)
        raise SystemExit(2)


def build_parser() -> argparse.ArgumentParser:
    without = (
        "Without a display attached it draws a virtual one in the terminal."
        if VIRTUAL_AVAILABLE
        else "Without a display attached it draws a preview of the frames in the terminal."
    )
    p = Parser(
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
        help="the console's address, for a game that must be asked (Gran Turismo 7 and Sport)",
    )
    game.add_argument(
        "--shm-dir",
        metavar="DIR",
        # Windows opens the games' mappings by name: nothing to point at there.
        help=argparse.SUPPRESS
        if sys.platform == "win32"
        else f"where shared-memory games are published as files (default {DEFAULT_SHM_DIR})",
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
        "--no-popups",
        dest="popups",
        action="store_false",
        help="no pop-ups: the lap just ended (5 s) and a changed TC, ABS, brake bias or "
        "engine map (2 s) are not shown over the panels",
    )
    shown.add_argument(
        "--no-pit-blink",
        dest="pit_blink",
        action="store_false",
        help="the RPM LEDs show the rpm with the pit limiter on, rather than blinking",
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
        metavar="[HOST:]PORT|off",
        type=parse_http,
        help=f"where the web pages are served (default {HTTP_HOST}:{DEFAULT_HTTP_PORT}, or the "
        f"next free port up to {DEFAULT_HTTP_PORT + HTTP_PORTS_TRIED - 1}; host {HTTP_HOST} "
        "unless given; 0.0.0.0 for a phone on your network; off: none): / the display, "
        "/?overlay=1 for OBS, /settings the settings (this computer only)",
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
            # With a settings file, a mix of it and the command line was said by
            # its checks: here both values came from the command line.
            return (
                f"--rpm-shift ({args.rpm_shift:g}) must be above --rpm-start "
                f"({args.rpm_start:g}), both from the command line"
            )
    for name in ("rpm_start", "rpm_shift"):
        value = getattr(args, name)
        if value is not None and not 0 <= value < 1e6:
            return f"--{name.replace('_', '-')} must be between 0 and 1000000"
    if args.rpm_shift is not None and args.rpm_shift <= 0:
        return "--rpm-shift must be above 0"
    if args.bind is not None and not args.bind.strip():
        return "--bind needs an address (0.0.0.0: every network; 127.0.0.1: this computer only)"
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
    host = (args.listen[0] if args.listen else None) or args.bind or DEFAULT_HOST
    if family is not None and family.multicast and ":" in host:
        return f"--source {family.name}: {family.title} {ipv4_only(family, host)}"
    return None


def ipv4_only(family: Family, host: str) -> str:
    """Why a game that sends to an IPv4 multicast group is not heard on host."""
    return f"sends IPv4 only (to {family.multicast}): it cannot be heard on the IPv6 address {host}"

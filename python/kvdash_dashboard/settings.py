"""Settings kept between runs: a TOML file whose keys are the command line's
long options (with underscores) and a few more, with tables per game and per
car that apply on top while that game or car drives the display.

Read once at start: a mistake ends the app before it starts, as one line
naming the file and the line or key (SettingsError)."""

from __future__ import annotations

import argparse
import hashlib
import json
import math
import os
import re
import stat
import sys
from collections.abc import Callable, Collection, Iterator, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

if sys.version_info >= (3, 11):
    import tomllib
else:  # the same parser, before it joined the standard library
    import tomli as tomllib

from .dashboard import DEFAULT_LEDS, FUEL_LOW, LEDS, WARNING_LEDS, Options

FILE_NAME = Path("kvdash") / "dashboard.toml"
# Options that do one thing once rather than a way the user likes it kept.
NOT_KEPT = frozenset(
    {"help", "version", "config", "print_config", "learn", "record", "replay", "seconds", "virtual"}
)
# What a [game.*] or [car.*] table may set: what the display shows.
PER_CAR = (
    "left",
    "right",
    "units",
    "neutral",
    "rpm_start",
    "rpm_shift",
    "leds",
    "shift",
    "fuel_low",
    "rpm_limit",
    "popups",
    "pit_blink",
)
MAX_RPM = 1e6
MAX_GEARS = 30  # trucks have up to 18 forward gears, some more
MAX_HZ = 1000.0
COMMAND_LINE = "the command line"
MAX_FILE = 1 << 20  # bytes: a settings file is a few kB
MAX_DEPTH = 16  # levels of arrays and tables: ours use 4 at most
NO_FILE = "no-file"  # the version of a settings file not made yet
Settable = dict[str, Any]


class SettingsError(Exception):
    """A mistake in the settings; str() is the whole line for the user."""


class _Bad(Exception):
    """A value that is not allowed; str() says what is."""


# ---------------------------------------------------------------- where


def default_path() -> Path | None:
    """The settings file in the user's configuration folder, or None where
    there is no such folder."""
    if sys.platform == "win32":
        appdata = os.environ.get("APPDATA")
        return Path(appdata) / FILE_NAME if appdata else None
    try:
        home = Path.home()
    except RuntimeError:  # no home directory known
        home = None
    if sys.platform == "darwin":
        return None if home is None else home / "Library" / "Application Support" / FILE_NAME
    # XDG: a relative path in the variable is to be ignored.
    config = os.environ.get("XDG_CONFIG_HOME", "")
    if os.path.isabs(config):
        return Path(config) / FILE_NAME
    return None if home is None else home / ".config" / FILE_NAME


# ---------------------------------------------------------------- values


def _float(value: int | float) -> float:
    """value as a float; a whole number too big for one is not allowed."""
    try:
        return float(value)
    except OverflowError:
        raise _Bad(f"{_show(value)} is too big") from None


def _number(value: object, low: float, high: float, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise _Bad(f"must be a number {what}, not {_show(value)}")
    if not (low <= value <= high and math.isfinite(value)):
        raise _Bad(f"must be {what}, not {_show(value)}")
    return float(value)


def _rpm(value: object) -> float:
    return _number(value, 0.0, MAX_RPM - 1, "from 0 to 999999 rpm")


def _rpm_limit(value: object) -> float:
    return _number(value, 1.0, MAX_RPM - 1, "from 1 to 999999 rpm")


def _hz(value: object) -> float:
    hz = _number(value, 0.0, MAX_HZ, "above 0 and at most 1000")
    if hz == 0:
        raise _Bad("must be above 0 and at most 1000, not 0")
    return hz


def _fuel_low(value: object) -> float:
    return _number(value, 0.0, 1.0, "from 0 to 1 (a share of the tank)")


def _leds(value: object) -> tuple[str, ...]:
    allowed = f"a list of {WARNING_LEDS} of {', '.join(LEDS)}"
    if not isinstance(value, list) or len(value) != WARNING_LEDS:
        raise _Bad(f"must be {allowed}, not {_show(value)}")
    for name in value:
        if not isinstance(name, str) or name not in LEDS:
            raise _Bad(f"{_show(name)} is not an LED choice; allowed: {allowed}")
    return tuple(value)


def _shift(value: object) -> tuple[float, ...]:
    allowed = f"a list of up to {MAX_GEARS} rpm (1 to 999999), one per forward gear from first"
    if not isinstance(value, list) or len(value) > MAX_GEARS:
        raise _Bad(f"must be {allowed}, not {_show(value)}")
    try:
        return tuple(_number(v, 1.0, MAX_RPM - 1, "") for v in value)
    except _Bad:
        raise _Bad(f"must be {allowed}, not {_show(value)}") from None


# Keys that are no command-line option, and limits on options' numbers.
_RULES: dict[str, Callable[[object], object]] = {
    "leds": _leds,
    "shift": _shift,
    "fuel_low": _fuel_low,
    "rpm_limit": _rpm_limit,
    "rpm_start": _rpm,
    "rpm_shift": _rpm,
    "hz": _hz,
}
_EXTRA_DEFAULTS: Settable = {
    "leds": DEFAULT_LEDS,
    "shift": (),
    "fuel_low": FUEL_LOW,
    "rpm_limit": None,
}


def _option_value(action: argparse.Action, value: object) -> object:
    """value checked and converted as the command line would the option's text."""
    if action.nargs == 0:  # a flag
        if not isinstance(value, bool):
            raise _Bad(f"must be true or false, not {_show(value)}")
        return value
    kind = action.type
    if kind is float or kind is int:
        whole = kind is int
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise _Bad(f"must be a {'whole ' if whole else ''}number, not {_show(value)}")
        if whole and isinstance(value, float):
            raise _Bad(f"must be a whole number, not {_show(value)}")
        value = int(value) if whole else _float(value)
    else:
        if isinstance(value, int) and not isinstance(value, bool):
            value = str(value)  # a port on its own
        if not isinstance(value, str):
            raise _Bad(f"must be a string, not {_show(value)}")
        if callable(kind):
            try:
                value = kind(value)
            except (argparse.ArgumentTypeError, TypeError, ValueError) as error:
                metavar = action.metavar if isinstance(action.metavar, str) else "a value"
                raise _Bad(f"{error}; allowed: {metavar}") from None
    if action.choices is not None and value not in action.choices:
        raise _Bad(f"{_show(value)} is not allowed; one of {', '.join(map(str, action.choices))}")
    return value


def _show(value: object) -> str:
    """A value as it reads in TOML."""
    if value is None:  # sent as JSON: TOML has no such value
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return json.dumps(value)
    if isinstance(value, (list, tuple)):
        if isinstance(value, tuple) and len(value) == 2 and isinstance(value[1], int):
            host, port = value  # [HOST:]PORT, as parsed
            return json.dumps(f"{host}:{port}" if host else str(port))
        return "[" + ", ".join(_show(v) for v in value) + "]"
    if isinstance(value, float) and value.is_integer() and abs(value) < 1e15:
        return str(int(value))
    if isinstance(value, int) and abs(value) >= 10**30:  # said in full, it would fill the screen
        return f"a whole number of about {int(value.bit_length() * 0.30103) + 1} digits"
    if isinstance(value, dict):
        return "a table"
    return str(value)


def _table_name(kind: str, name: str) -> str:
    key = name if re.fullmatch(r"[A-Za-z0-9_-]+", name) else json.dumps(name)
    return f"[{kind}.{key}]"


# ---------------------------------------------------------------- the settings


@dataclass(frozen=True)
class Settings:
    """The settings of every layer, checked. values() merges them for one
    game and car: the defaults, the file's top level, its [game.*] table, its
    [car.*] table, the command line."""

    path: Path | None  # the file read; None when there is none
    looked_for: Path | None  # where the file would be
    defaults: Settable
    top: Settable
    games: dict[str, Settable]
    cars: dict[str, Settable]  # by "<source>:<car id>"
    given: Settable  # on the command line
    data: Settable = field(default_factory=dict)  # the file's tables, as read

    def layers(self, game: str | None, car: str | None) -> Iterator[Settable]:
        yield self.top
        if game is not None:
            yield self.games.get(game, {})
            if car is not None:
                yield self.cars.get(f"{game}:{car}", {})
        yield self.given

    def values(self, game: str | None = None, car: str | None = None) -> Settable:
        out = dict(self.defaults)
        for layer in self.layers(game, car):
            if "rpm_shift" in layer and "shift" not in layer:
                out["shift"] = ()  # one shift point above replaces a per-gear list below
            out.update(layer)
        return out

    def options(self, game: str | None = None, car: str | None = None) -> Options:
        v = self.values(game, car)
        return Options(
            left=v["left"],
            right=v["right"],
            rpm_start=v["rpm_start"],
            rpm_shift=v["rpm_shift"],
            units=v["units"],
            neutral=v["neutral"],
            leds=tuple(v["leds"]),
            shift=tuple(v["shift"]),
            fuel_low=v["fuel_low"],
            rpm_limit=v["rpm_limit"],
            popups=v["popups"],
            pit_blink=v["pit_blink"],
        )

    def origin(self, key: str, game: str | None = None, car: str | None = None) -> str:
        """Where the value of key in force comes from, in the user's words."""
        names = ["the top level"]
        if game is not None:
            names.append(_table_name("game", game))
            if car is not None:
                names.append(_table_name("car", f"{game}:{car}"))
        names.append(COMMAND_LINE)
        found = "the defaults"
        for name, layer in zip(names, self.layers(game, car), strict=True):
            if key in layer:
                found = name
        return found

    def has_car(self, game: str, car: str) -> bool:
        return f"{game}:{car}" in self.cars

    def describe(self) -> str:
        """The file used and the settings in force, as a TOML file would hold them."""
        if self.path is not None:
            lines = [f"# settings file: {self.path}"]
        elif self.looked_for is not None:
            lines = [f"# no settings file ({self.looked_for} does not exist)"]
        else:
            lines = ["# no settings file (no configuration folder)"]
        lines.append("# in force: the defaults, then the file's top level, then the command line")
        for key, value in sorted(self.values().items()):
            lines.append(f"{key} = {_show(value)}" if value is not None else f"# {key}: not set")
        if self.games or self.cars:
            lines += ["", "# each while its game or car drives the display (the command line wins)"]
        for kind, tables in (("game", self.games), ("car", self.cars)):
            for name, table in tables.items():
                lines.append(_table_name(kind, name))
                lines += [f"{key} = {_show(value)}" for key, value in table.items()]
                lines.append("")
        return "\n".join(lines).rstrip()


def _option_actions(parser: argparse.ArgumentParser) -> dict[str, argparse.Action]:
    """The long options worth keeping, by key."""
    return {
        a.dest: a
        for a in parser._actions
        if any(o.startswith("--") for o in a.option_strings) and a.dest not in NOT_KEPT
    }


def _defaults(parser: argparse.ArgumentParser) -> Settable:
    everything = vars(parser.parse_args([]))  # the defaults, converted as options are
    defaults: Settable = {key: everything.get(key) for key in _option_actions(parser)}
    defaults.update(_EXTRA_DEFAULTS)
    return defaults


def kept_keys(parser: argparse.ArgumentParser) -> dict[str, argparse.Action | None]:
    """Every key the file's top level may set: its option, or None where it
    is no option."""
    keys: dict[str, argparse.Action | None] = dict(_option_actions(parser))
    for key in _EXTRA_DEFAULTS:
        keys.setdefault(key, None)
    return keys


def given_options(parser: argparse.ArgumentParser, argv: list[str] | None) -> Settable:
    """The kept options the command line names: argv parsed again by parser
    (a fresh one: its defaults are dropped)."""
    keys = _option_actions(parser)
    for action in parser._actions:
        action.default = argparse.SUPPRESS
    named = vars(parser.parse_args(argv))
    return {k: v for k, v in named.items() if k in keys}


def load(
    parser: argparse.ArgumentParser, given: Settable, config: str | None, games: Collection[str]
) -> Settings:
    """Reads and checks the settings file: the one named (config), else the
    default one if it exists. Raises SettingsError."""
    looked_for = Path(config) if config is not None else default_path()
    path = looked_for
    if path is None or (config is None and not path.is_file()):
        return Settings(None, looked_for, _defaults(parser), {}, {}, {}, given)
    return checked(parser, given, path, parse(path, read_document(path)), games)


def checked(
    parser: argparse.ArgumentParser,
    given: Settable,
    path: Path,
    data: Mapping[str, Any],
    games: Collection[str],
) -> Settings:
    """The settings a file at path holding data would give, by the file's
    checks (tables read from TOML, or the same from JSON). Raises
    SettingsError."""
    if _depth(data) > MAX_DEPTH:
        raise _too_deep(path)
    _check_text(path, data)
    actions = _option_actions(parser)
    defaults = _defaults(parser)
    checker = _Checker(path, actions)
    top = checker.table(data, "", set(actions) | set(_EXTRA_DEFAULTS) | {"game", "car"})
    game_tables = checker.tables(data.get("game", {}), "game", lambda n: n in games, games)
    car_tables = checker.tables(
        data.get("car", {}),
        "car",
        lambda n: n.partition(":")[0] in games and bool(n.partition(":")[2]),
        [f'"<source>:<car id>", the source one of {", ".join(games)}'],
    )
    settings = Settings(path, path, defaults, top, game_tables, car_tables, given, dict(data))
    checker.cross_check(settings)
    return settings


def read_document(path: Path) -> bytes:
    """The settings file's bytes. Raises SettingsError for anything but a
    regular file (a FIFO would block, a device never end), or one above
    MAX_FILE."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            raise SettingsError(f"{path}: not a regular file (a folder, pipe or device)")
        # Not blocking: a FIFO put in the file's place between the look and
        # the opening must not hang the app either.
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    except OSError as error:
        raise SettingsError(f"{path}: cannot read it: {error.strerror or error}") from None
    with os.fdopen(fd, "rb") as f:
        try:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise SettingsError(f"{path}: not a regular file (a folder, pipe or device)")
            data = f.read(MAX_FILE + 1)
        except OSError as error:
            raise SettingsError(f"{path}: cannot read it: {error.strerror or error}") from None
    if len(data) > MAX_FILE:
        raise SettingsError(f"{path}: larger than {MAX_FILE >> 20} MiB: not a settings file")
    return data


def parse(path: Path, data: bytes) -> dict[str, Any]:
    """The TOML document's tables. Raises SettingsError."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise SettingsError(f"{path}: not UTF-8 text, as TOML must be") from None
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise SettingsError(f"{path}: not valid TOML: {error}") from None
    except ValueError as error:  # a number of thousands of digits
        raise SettingsError(f"{path}: a number too long: {error}") from None
    except RecursionError:  # the parser recurses once a level
        document = None
    if document is None:
        raise _too_deep(path)
    return document


def _check_text(path: Path, data: Mapping[str, Any]) -> None:
    """Raises SettingsError for a key or string that UTF-8, and so the file,
    cannot hold (a lone surrogate sent as JSON)."""
    stack: list[object] = [data]
    while stack:
        item = stack.pop()
        if isinstance(item, dict):
            stack.extend(item)
            stack.extend(item.values())
        elif isinstance(item, list):
            stack.extend(item)
        elif isinstance(item, str):
            try:
                item.encode("utf-8")
            except UnicodeEncodeError:
                shown = json.dumps(item)
                raise SettingsError(
                    f"{path}: {shown} is not text a file can hold (a lone surrogate)"
                ) from None


def file_version(data: bytes | None) -> str:
    """The settings file's version, from its bytes (None: no file yet): any
    change to it, by hand or by another page, changes the version."""
    return NO_FILE if data is None else hashlib.sha256(data).hexdigest()[:32]


def _too_deep(path: Path) -> SettingsError:
    return SettingsError(f"{path}: arrays or tables nested deeper than {MAX_DEPTH} levels")


def _depth(value: object) -> int:
    """How deep arrays and tables nest in value, counted without recursing."""
    deepest, stack = 0, [(value, 0)]
    while stack:
        item, level = stack.pop()
        if isinstance(item, dict):
            stack.extend((v, level + 1) for v in item.values())
        elif isinstance(item, list):
            stack.extend((v, level + 1) for v in item)
        else:
            continue
        deepest = max(deepest, level + 1)
    return deepest


class _Checker:
    def __init__(self, path: Path, actions: Mapping[str, argparse.Action]) -> None:
        self.path = path
        self.actions = actions

    def fail(self, where: str, problem: str) -> SettingsError:
        return SettingsError(f"{self.path}: {where}: {problem}")

    def table(self, data: Mapping[str, Any], name: str, allowed: Collection[str]) -> Settable:
        out: Settable = {}
        for key, value in data.items():
            where = f"key {json.dumps(key)}" + (f" in {name}" if name else "")
            if key not in allowed:
                choices = ", ".join(sorted(allowed))
                known = key in self.actions or key in _EXTRA_DEFAULTS
                problem = "not for a game or car table" if known and name else "unknown key"
                raise self.fail(where, f"{problem}; allowed: {choices}")
            if key in ("game", "car"):
                if not isinstance(value, dict):
                    raise self.fail(where, f"must be a table, as in [{key}.<name>]")
                continue
            try:
                if key in self.actions:
                    value = _option_value(self.actions[key], value)
                rule = _RULES.get(key)
                out[key] = value if rule is None else rule(value)
            except _Bad as bad:
                raise self.fail(where, str(bad)) from None
        return out

    def tables(
        self,
        data: Mapping[str, Any],
        kind: str,
        known: Callable[[str], bool],
        names: Collection[str],
    ) -> dict[str, Settable]:
        out = {}
        for name, table in data.items():
            title = _table_name(kind, name)
            if not known(name):
                raise self.fail(title, f"not a known {kind}; allowed: {', '.join(names)}")
            if not isinstance(table, dict):
                raise self.fail(title, "must be a table")
            out[name] = self.table(table, title, PER_CAR)
        return out

    def cross_check(self, settings: Settings) -> None:
        """The rpm range must go upwards under every table, as it would apply."""
        places: list[tuple[str, str | None, str | None]] = [("the top level", None, None)]
        places += [(_table_name("game", g), g, None) for g in settings.games]
        for name in settings.cars:
            source, _, car_id = name.partition(":")
            places.append((_table_name("car", name), source, car_id))
        for where, game, car in places:
            v = settings.values(game, car)
            start = v["rpm_start"]
            if start is None:
                continue
            key, points = "shift", list(v["shift"])
            if not points and v["rpm_shift"] is not None:
                key, points = "rpm_shift", [v["rpm_shift"]]
            if any(p <= start for p in points):
                said, start_said = (
                    settings.origin(key, game, car),
                    settings.origin("rpm_start", game, car),
                )
                if said == start_said == COMMAND_LINE:
                    continue  # the command line's own mistake, said as such once the file is read
                shown = _show(points if key == "shift" else points[0])
                problem = (
                    f"key {json.dumps(key)} ({shown}, from {said}): "
                    f"must be above rpm_start ({_show(start)} here, from {start_said})"
                )
                raise self.fail(where, problem)

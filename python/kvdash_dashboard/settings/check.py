"""The one validator of a settings file's tables, read from TOML or sent by
the settings page as JSON: a mistake is one line naming the file, the table
or key, and what is allowed (SettingsError)."""

from __future__ import annotations

import argparse
import json
import math
from collections.abc import Callable, Collection, Mapping
from pathlib import Path
from typing import Any

from ..dashboard import LEDS, WARNING_LEDS
from .keys import (
    COMMAND_LINE,
    EXTRA_KEYS,
    MAX_DEPTH,
    MAX_GEARS,
    MAX_HZ,
    MAX_RPM,
    PER_CAR,
    Settable,
    option_actions,
    show,
    table_name,
)
from .keys import (
    defaults as key_defaults,
)
from .layers import Settings


class SettingsError(Exception):
    """A mistake in the settings; str() is the whole line for the user."""


class _Bad(Exception):
    """A value that is not allowed; str() says what is."""


def _float(value: int | float) -> float:
    """value as a float; a whole number too big for one is not allowed."""
    try:
        return float(value)
    except OverflowError:
        raise _Bad(f"{show(value)} is too big") from None


def _number(value: object, low: float, high: float, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise _Bad(f"must be a number {what}, not {show(value)}")
    if not (low <= value <= high and math.isfinite(value)):
        raise _Bad(f"must be {what}, not {show(value)}")
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
        raise _Bad(f"must be {allowed}, not {show(value)}")
    for name in value:
        if not isinstance(name, str) or name not in LEDS:
            raise _Bad(f"{show(name)} is not an LED choice; allowed: {allowed}")
    return tuple(value)


def _shift(value: object) -> tuple[float, ...]:
    allowed = f"a list of up to {MAX_GEARS} rpm (1 to 999999), one per forward gear from first"
    if not isinstance(value, list) or len(value) > MAX_GEARS:
        raise _Bad(f"must be {allowed}, not {show(value)}")
    try:
        return tuple(_number(v, 1.0, MAX_RPM - 1, "") for v in value)
    except _Bad:
        raise _Bad(f"must be {allowed}, not {show(value)}") from None


_RULES: dict[str, Callable[[object], object]] = {
    "leds": _leds,
    "shift": _shift,
    "fuel_low": _fuel_low,
    "rpm_limit": _rpm_limit,
    "rpm_start": _rpm,
    "rpm_shift": _rpm,
    "hz": _hz,
}


def _option_value(action: argparse.Action, value: object) -> object:
    """value checked and converted as the command line would the option's text."""
    if action.nargs == 0:  # a flag
        if not isinstance(value, bool):
            raise _Bad(f"must be true or false, not {show(value)}")
        return value
    kind = action.type
    if kind is float or kind is int:
        whole = kind is int
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise _Bad(f"must be a {'whole ' if whole else ''}number, not {show(value)}")
        if whole and isinstance(value, float):
            raise _Bad(f"must be a whole number, not {show(value)}")
        value = int(value) if whole else _float(value)
    else:
        if isinstance(value, int) and not isinstance(value, bool):
            value = str(value)  # a port on its own
        if not isinstance(value, str):
            raise _Bad(f"must be a string, not {show(value)}")
        if callable(kind):
            try:
                value = kind(value)
            except (argparse.ArgumentTypeError, TypeError, ValueError) as error:
                metavar = action.metavar if isinstance(action.metavar, str) else "a value"
                raise _Bad(f"{error}; allowed: {metavar}") from None
    if action.choices is not None and value not in action.choices:
        raise _Bad(f"{show(value)} is not allowed; one of {', '.join(map(str, action.choices))}")
    return value


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
        raise too_deep(path)
    _check_text(path, data)
    actions = option_actions(parser)
    defaults = key_defaults(parser)
    checker = _Checker(path, actions)
    top = checker.table(data, "", set(actions) | set(EXTRA_KEYS) | {"game", "car"})
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


def too_deep(path: Path) -> SettingsError:
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
                known = key in self.actions or key in EXTRA_KEYS
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
            title = table_name(kind, name)
            if not known(name):
                raise self.fail(title, f"not a known {kind}; allowed: {', '.join(names)}")
            if not isinstance(table, dict):
                raise self.fail(title, "must be a table")
            out[name] = self.table(table, title, PER_CAR)
        return out

    def cross_check(self, settings: Settings) -> None:
        """The rpm range must go upwards under every table, as it would apply."""
        places: list[tuple[str, str | None, str | None]] = [("the top level", None, None)]
        places += [(table_name("game", g), g, None) for g in settings.games]
        for name in settings.cars:
            source, _, car_id = name.partition(":")
            places.append((table_name("car", name), source, car_id))
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
                shown = show(points if key == "shift" else points[0])
                problem = (
                    f"key {json.dumps(key)} ({shown}, from {said}): "
                    f"must be above rpm_start ({show(start)} here, from {start_said})"
                )
                raise self.fail(where, problem)

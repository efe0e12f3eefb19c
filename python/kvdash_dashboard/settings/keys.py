"""The keys a settings file may hold: the command line's long options (with
underscores) that are worth keeping, and the few keys that are no option,
each named once here with its default and its help."""

from __future__ import annotations

import argparse
import json
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ..dashboard import DEFAULT_LEDS, FUEL_LOW

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


@dataclass(frozen=True)
class Extra:
    """A key that is no command-line option."""

    default: object
    help: str


# Every key that is no command-line option: the page, --help and the checks read this one table.
EXTRA_KEYS: dict[str, Extra] = {
    "leds": Extra(DEFAULT_LEDS, "the warning LEDs, left to right"),
    "shift": Extra((), "rpm per forward gear from first (the last serves higher gears)"),
    "fuel_low": Extra(FUEL_LOW, "the fuel LED lights below this share of the tank"),
    "rpm_limit": Extra(None, "the car's rev limit, where the game sends none"),
}


def show(value: object) -> str:
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
        return "[" + ", ".join(show(v) for v in value) + "]"
    if isinstance(value, float) and value.is_integer() and abs(value) < 1e15:
        return str(int(value))
    if isinstance(value, int) and abs(value) >= 10**30:  # said in full, it would fill the screen
        return f"a whole number of about {int(value.bit_length() * 0.30103) + 1} digits"
    if isinstance(value, dict):
        return "a table"
    return str(value)


def table_name(kind: str, name: str) -> str:
    key = name if re.fullmatch(r"[A-Za-z0-9_-]+", name) else json.dumps(name)
    return f"[{kind}.{key}]"


def option_actions(parser: argparse.ArgumentParser) -> dict[str, argparse.Action]:
    """The long options worth keeping, by key."""
    return {
        a.dest: a
        for a in parser._actions
        if any(o.startswith("--") for o in a.option_strings) and a.dest not in NOT_KEPT
    }


def defaults(parser: argparse.ArgumentParser) -> Settable:
    everything = vars(parser.parse_args([]))  # the defaults, converted as options are
    defaults: Settable = {key: everything.get(key) for key in option_actions(parser)}
    defaults.update((key, extra.default) for key, extra in EXTRA_KEYS.items())
    return defaults


def kept_keys(parser: argparse.ArgumentParser) -> dict[str, argparse.Action | None]:
    """Every key the file's top level may set: its option, or None where it
    is no option."""
    keys: dict[str, argparse.Action | None] = dict(option_actions(parser))
    for key in EXTRA_KEYS:
        keys.setdefault(key, None)
    return keys

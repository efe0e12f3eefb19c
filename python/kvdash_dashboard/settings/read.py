"""Settings kept between runs: a TOML file whose keys are the command line's
long options (with underscores) and a few more, with tables per game and per
car that apply on top while that game or car drives the display.

Read at start: a mistake ends the app before it starts, as one line naming
the file and the line or key (SettingsError)."""

from __future__ import annotations

import argparse
import hashlib
import os
import stat
import sys
from collections.abc import Collection
from pathlib import Path
from typing import Any

if sys.version_info >= (3, 11):
    import tomllib
else:  # the same parser, before it joined the standard library
    import tomli as tomllib

from .check import SettingsError, checked, too_deep
from .keys import FILE_NAME, MAX_FILE, NO_FILE, Settable, defaults, option_actions
from .layers import Settings


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


def given_options(parser: argparse.ArgumentParser, argv: list[str] | None) -> Settable:
    """The kept options the command line names: argv parsed again by parser
    (a fresh one: its defaults are dropped)."""
    keys = option_actions(parser)
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
        return Settings(None, looked_for, defaults(parser), {}, {}, {}, given)
    return checked(parser, given, path, parse(path, read_document(path)), games)


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
        raise too_deep(path)
    return document


def file_version(data: bytes | None) -> str:
    """The settings file's version, from its bytes (None: no file yet): any
    change to it, by hand or by another page, changes the version."""
    return NO_FILE if data is None else hashlib.sha256(data).hexdigest()[:32]

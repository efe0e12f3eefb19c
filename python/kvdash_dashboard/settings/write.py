"""The settings file written back: the user's comments, order and layout
kept where the values did not change, and the file replaced whole or not at
all (a crash mid-write must not leave half a file)."""

from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import tomlkit
from tomlkit.container import Container
from tomlkit.exceptions import TOMLKitError
from tomlkit.items import Item, Table

from .check import SettingsError


def save(path: Path, data: Mapping[str, Any]) -> None:
    """Makes the file at path hold data (checked tables: top-level keys, and
    [game.*] and [car.*] tables), editing what is there. Raises SettingsError."""
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        text = ""
    except UnicodeDecodeError:
        raise SettingsError(f"{path}: not UTF-8 text, as TOML must be") from None
    except OSError as error:
        raise SettingsError(f"{path}: cannot read it: {error.strerror or error}") from None
    try:
        document = tomlkit.parse(text)
    except TOMLKitError as error:  # changed by hand since the app read it
        raise SettingsError(f"{path}: not valid TOML: {error}") from None
    _merge(document, data, top=True)
    _replace(path, tomlkit.dumps(document))


def _merge(into: Container | Table, data: Mapping[str, Any], top: bool = False) -> None:
    for key in [k for k in into if k not in data]:
        del into[key]
    for key, value in data.items():
        old = into.get(key)
        if isinstance(value, Mapping):
            if isinstance(old, Table):
                _merge(old, value)
                continue
            # [game.NAME] and [car."NAME:CAR"] only: no bare [game] header above them.
            table = tomlkit.table(is_super_table=top)
            _merge(table, value, top=False)
            into[key] = table
        elif not isinstance(old, Item) or old.unwrap() != value:
            item = tomlkit.item(value)
            if isinstance(old, Item) and old.trivia.comment:
                item.trivia.comment_ws = old.trivia.comment_ws
                item.trivia.comment = old.trivia.comment
            into[key] = item


def _replace(path: Path, text: str) -> None:
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", dir=path.parent)
    except OSError as error:
        raise SettingsError(f"{path}: cannot write it: {error.strerror or error}") from None
    with contextlib.suppress(OSError):  # the file keeps who may read it
        os.chmod(temporary, path.stat().st_mode & 0o777)
    try:
        with os.fdopen(handle, "w", encoding="utf-8", newline="") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except OSError as error:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise SettingsError(f"{path}: cannot write it: {error.strerror or error}") from None

"""The settings file written back: the user's comments, order and layout
kept where the values did not change, and the file replaced whole or not at
all (a crash mid-write must not leave half a file). A file that is a
symbolic link (kept in a dotfiles folder) is written through the link; a
read-only one is left alone; a save made from an older version of the file
than the one there now is refused."""

from __future__ import annotations

import contextlib
import os
import stat
import tempfile
from collections.abc import Collection, Mapping
from pathlib import Path
from typing import Any

import tomlkit
from tomlkit.container import Container
from tomlkit.exceptions import TOMLKitError
from tomlkit.items import Item, Table

from .check import SettingsError
from .read import file_version, read_document

CHANGED = "the file changed since this page read it: reload"


class FileChanged(SettingsError):
    """The file is not the version the change was made from."""


class ReadOnly(SettingsError):
    """The file may not be written."""


def current(path: Path) -> tuple[Path, bytes | None]:
    """The file a save to path writes (a symbolic link's target), and its
    bytes now (None: no file yet). Raises SettingsError."""
    target = Path(os.path.realpath(path))
    try:
        os.stat(target)
    except FileNotFoundError:
        return target, None
    except OSError as error:
        raise SettingsError(f"{path}: cannot read it: {error.strerror or error}") from None
    return target, read_document(target)


def save(path: Path, data: Mapping[str, Any], versions: Collection[str] | None = None) -> None:
    """Makes the file at path hold data (checked tables: top-level keys, and
    [game.*] and [car.*] tables), editing what is there. versions: those a
    change may be made from (an If-Match's; "*": any file there), None: any.
    Raises SettingsError: FileChanged, ReadOnly, or another."""
    target, raw = current(path)
    if versions is not None and not matches(versions, raw):
        raise FileChanged(f"{path}: {CHANGED}")
    if raw is not None:
        mode = os.stat(target).st_mode
        # Its write bits, as well as this user's access: root may write anything.
        if not mode & (stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH) or not os.access(
            target, os.W_OK
        ):
            raise ReadOnly(f"{path}: read-only: not changed (make it writable to save here)")
    try:
        text = "" if raw is None else raw.decode("utf-8")
    except UnicodeDecodeError:
        raise SettingsError(f"{path}: not UTF-8 text, as TOML must be") from None
    try:
        document = tomlkit.parse(text)
    except TOMLKitError as error:  # changed by hand since the app read it
        raise SettingsError(f"{path}: not valid TOML: {error}") from None
    _merge(document, data, top=True)
    try:
        written = tomlkit.dumps(document).encode("utf-8")
    except UnicodeEncodeError:  # checked() lets none through: never half a file for one
        raise SettingsError(f"{path}: holds text a file cannot (a lone surrogate)") from None
    _replace(path, target, written)


def matches(versions: Collection[str], raw: bytes | None) -> bool:
    """Whether a file holding raw is one of versions."""
    return file_version(raw) in versions or ("*" in versions and raw is not None)


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


def _replace(path: Path, target: Path, data: bytes) -> None:
    """Puts data in target's place (path: the name said), from a temporary
    file beside target, so that a link to it stays a link."""
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        handle, temporary = tempfile.mkstemp(prefix=f".{target.name}.", dir=target.parent)
    except OSError as error:
        raise SettingsError(f"{path}: cannot write it: {error.strerror or error}") from None
    with contextlib.suppress(OSError):  # the file keeps who may read it
        os.chmod(temporary, target.stat().st_mode & 0o777)
    done = False
    try:
        with os.fdopen(handle, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, target)
        done = True
    except OSError as error:
        raise SettingsError(f"{path}: cannot write it: {error.strerror or error}") from None
    finally:
        if not done:
            with contextlib.suppress(OSError):
                os.unlink(temporary)

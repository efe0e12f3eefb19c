"""What the app tells the Windows host it runs in (kvdash.exe, with its
notification-area icon, and kvdash-dashboard.exe): the icon's state in words,
where the settings page is, and when to open it. The host builds the module
_kvdash_host into itself; under any other Python this does nothing.

The host asks the app to end (its menu's Quit, kvdash.exe --quit, a sign-out)
as Ctrl+C does, so the loop needs nothing more from it."""

from __future__ import annotations

import importlib
import types
from pathlib import Path

from .display import Display, Kind

# Written once the settings page has been opened at a first start, so that it
# opens once, not at every sign-in until the user saves.
OPENED_MARK = "settings-page-opened"

_module: types.ModuleType | None
try:
    _module = importlib.import_module("_kvdash_host")
except ImportError:
    _module = None
_last_state: str | None = None


def state(game: str | None, car: str | None, display: Display) -> str:
    """The tooltip's words after "kvdash: ": which game speaks (and its car)
    and what shows the frames."""
    playing = "waiting for a game" if game is None else game + (f" · {car}" if car else "")
    if display.engine is None:
        shows = "preview"
    elif display.kind is Kind.REAL:
        shows = "display connected"
    else:
        shows = "virtual display"
    return f"{playing} · {shows}"


def show_state(text: str) -> None:
    """The icon's tooltip, when it has changed."""
    global _last_state
    if _module is None or text == _last_state:
        return
    _last_state = text
    _module.set_state(text)


def serving(port: int | None, settings_file: Path | None, data_folder: Path | None) -> None:
    """Tells the host where the settings page is (None: nowhere), and in the
    notification-area app opens it at a first start: no settings file, and
    never opened that way before. Called once the app ends cleanly on Ctrl+C:
    the host holds back an earlier Quit until then."""
    if _module is None:
        return
    _module.set_port(port or 0)
    if port is None or not _module.tray() or settings_file is None or settings_file.exists():
        return
    mark = None if data_folder is None else data_folder / OPENED_MARK
    if mark is not None and mark.exists():
        return
    _module.open_settings()
    if mark is not None:
        try:
            mark.parent.mkdir(parents=True, exist_ok=True)
            mark.touch()
        except OSError:  # then it opens again next time: no harm
            pass

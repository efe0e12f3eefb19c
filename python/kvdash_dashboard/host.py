"""The Windows host programs' side. kvdash.exe and kvdash-dashboard.exe
register the built-in module _kvdash_host before the app starts: the app
tells it where the settings page is and, for the notification-area icon's
tooltip, what it is doing; the icon's commands reach the app as Ctrl-C does.
Run any other way (python -m, Linux), there is no such module: nothing."""

from __future__ import annotations

import importlib
from pathlib import Path
from typing import Any

MODULE = "_kvdash_host"
# Left in the data folder once the settings page has been opened for a
# first start, so that it opens once, not at every start until a save.
OFFERED = "settings-page-offered"


class Host:
    """The host's module where there is one; each call a no-op elsewhere."""

    def __init__(self, module: Any = None) -> None:
        if module is None:
            try:
                module = importlib.import_module(MODULE)
            except ImportError:
                module = None
        self._module = module
        self._state: str | None = None

    @property
    def tray(self) -> bool:
        """Whether the app runs in the notification-area program."""
        return self._module is not None and bool(self._module.tray())

    def port(self, port: int) -> None:
        """Where the settings page is served (0: nowhere)."""
        if self._module is not None:
            self._module.set_port(port)

    def state(self, text: str) -> None:
        """The tooltip's state, when it has changed."""
        if self._module is not None and text != self._state:
            self._state = text
            self._module.set_state(text)

    def first_start(self, settings_file: Path | None, data: Path | None) -> None:
        """Opens the settings page in the user's browser when the tray app
        starts with no settings file, once."""
        if not self.tray or data is None:
            return
        if settings_file is not None and settings_file.exists():
            return
        marker = data / OFFERED
        if marker.exists():
            return
        try:
            data.mkdir(parents=True, exist_ok=True)
            marker.touch()
        except OSError:
            return  # better never than at every start
        self._module.open_settings()

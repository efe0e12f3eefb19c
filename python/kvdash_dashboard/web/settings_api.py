"""The settings page on the --http server: GET /settings (the page), GET and
POST /api/settings (the file's tables as JSON; a change is checked as the
file is, written to it, and applied at once), /api/learn (--learn on a
recording of this computer, in a process of its own). This computer only;
a change only from the page's own origin."""

from __future__ import annotations

import argparse
import json
import os
import time
from collections.abc import Mapping
from pathlib import Path
from typing import Any, Protocol

from ..dashboard import LEDS, WARNING_LEDS
from ..race.shifting import DEFAULT_SHIFT, SHIFT_SHARE, START_SHARE
from ..settings import MAX_GEARS, PER_CAR, Settings, SettingsError, checked, kept_keys
from ..settings.keys import EXTRA_KEYS, NO_FILE
from ..settings.read import file_version, parse
from ..settings.write import CHANGED, FileChanged, ReadOnly, current, matches, save
from ..sources import FAMILIES
from .guard import from_this_computer, same_origin
from .learn_job import LearnJob
from .server import Answer, Request, WebServer, host_allowed

JSON = "application/json"
HTML = "text/html; charset=utf-8"
PREFIX = "kvdash-dashboard: "  # as the app prints a settings mistake
FILES = {
    "/settings": ("settings.html", HTML),
    "/settings.js": ("settings.js", "text/javascript; charset=utf-8"),
    "/settings.css": ("settings.css", "text/css; charset=utf-8"),
}
API = ("/api/settings", "/api/learn")


def _json(status: int, value: object, headers: tuple[tuple[str, str], ...] = ()) -> Answer:
    return Answer(status, JSON, json.dumps(value, default=list).encode("utf-8"), headers)


def if_match(header: str | None) -> frozenset[str] | None:
    """The versions an If-Match header names ("*" for any), None without one."""
    if header is None:
        return None
    versions = set()
    for part in header.split(","):
        part = part.strip()
        part = part[2:] if part.startswith("W/") else part
        versions.add(part.strip('"'))
    return frozenset(versions)


def _error(status: int, line: str) -> Answer:
    return _json(status, {"error": line})


class SettingsHost(Protocol):
    """What the settings page needs of the running app, and no more."""

    @property
    def settings(self) -> Settings: ...

    def use_settings(self, settings: Settings) -> None: ...

    def driving(self) -> tuple[str | None, str | None]:
        """The game (its source's name) and car the display follows now."""
        ...


def key_choices(
    parser: argparse.ArgumentParser, defaults: Mapping[str, object]
) -> dict[str, dict[str, Any]]:
    """What the page offers for each key, from the options' own table (a key
    that is no option: by its default's type)."""
    out: dict[str, dict[str, Any]] = {}
    for key, action in kept_keys(parser).items():
        entry: dict[str, Any] = {"per_car": key in PER_CAR}
        default = defaults.get(key)
        if key == "leds":
            entry.update(kind="leds", choices=list(LEDS), count=WARNING_LEDS)
        elif key == "shift":
            entry.update(kind="gears", most=MAX_GEARS)
        elif isinstance(default, bool) or (action is not None and action.nargs == 0):
            entry.update(kind="bool")
        elif action is None or action.type in (int, float):
            entry.update(kind="number")
        elif action.choices is not None:
            entry.update(kind="choice", choices=[str(c) for c in action.choices])
        else:
            entry.update(kind="text")
        text = EXTRA_KEYS[key].help if action is None else action.help
        entry["help"] = (text or "").replace("%%", "%")
        out[key] = entry
    return out


class SettingsApi:
    """The hook the web server asks first."""

    def __init__(self, app: SettingsHost, parser: argparse.ArgumentParser, web: WebServer) -> None:
        self.app = app
        self.parser = parser  # the command line's, for the file's checks: built once
        self.files = {path: web.load(name) for path, (name, _) in FILES.items()}
        self.choices = key_choices(parser, app.settings.defaults)
        self.job: LearnJob | None = None
        web.hook = self

    def __call__(self, request: Request) -> Answer | None:
        if request.path not in FILES and request.path not in API:
            return None
        if not host_allowed(request.headers.get("host", "")):
            return _error(421, "not a name of this computer")
        if not from_this_computer(request.peer):
            return _error(403, "the settings are open to this computer only")
        if request.method == "POST" and not same_origin(request.headers):
            return _error(403, "a change is accepted from the settings page only")
        # HEAD answers as GET does; the server leaves the body out.
        method = "GET" if request.method == "HEAD" else request.method
        if request.path in FILES:
            if method != "GET":
                return _error(405, "GET only")
            return Answer(200, FILES[request.path][1], self.files[request.path])
        if method not in ("GET", "POST"):
            return _error(405, "GET or POST only")
        if request.path == "/api/settings":
            if method == "GET":
                return self._settings()
            return self._save(request.body, if_match(request.headers.get("if-match")))
        return self._learn_state() if method == "GET" else self._learn(request.body)

    # ------------------------------------------------------------ settings

    def _path(self, settings: Settings) -> Path | None:
        return settings.path or settings.looked_for

    def _settings(self) -> Answer:
        settings = self.app.settings
        game, car = self.app.driving()
        path = self._path(settings)
        # The file as it is now: edits made by hand since it was read must not
        # be lost to the page's next save, which sends the version it read.
        data, problem, version, raw = settings.data, None, NO_FILE, None
        if path is not None:
            try:
                raw = current(path)[1]
                version = file_version(raw)
                if raw is not None:
                    data = checked(
                        self.parser, settings.given, path, parse(path, raw), FAMILIES
                    ).data
            except SettingsError as error:
                problem = f"{PREFIX}{error}"
        return _json(
            200,
            {
                "file": str(path) if path is not None else None,
                "version": version,
                "settings": data,
                "choices": {
                    "keys": self.choices,
                    "games": list(FAMILIES),
                    "current": {
                        "game": game,
                        "car": car,
                    },
                    "exists": raw is not None,
                    "problem": problem,
                    "defaults": settings.defaults,
                    "rpm": {
                        "shift": DEFAULT_SHIFT,
                        "shift_share": SHIFT_SHARE,
                        "start_share": START_SHARE,
                    },
                },
            },
            (("ETag", f'"{version}"'),),
        )

    def _save(self, body: bytes, versions: frozenset[str] | None) -> Answer:
        settings = self.app.settings
        path = self._path(settings)
        if path is None:
            return _error(400, f"{PREFIX}no configuration folder to keep settings in: use --config")
        if versions is not None:  # before anything else: the page's view is out of date
            try:
                if not matches(versions, current(path)[1]):
                    return _error(412, f"{PREFIX}{path}: {CHANGED}")
            except SettingsError as error:
                return _error(409, f"{PREFIX}{error}")
        try:
            data = json.loads(body)
        except (ValueError, RecursionError):
            return _error(400, f"{PREFIX}{path}: the settings sent are not JSON")
        if not isinstance(data, dict):
            return _error(400, f"{PREFIX}{path}: the settings sent must be a JSON object")
        try:
            new = checked(self.parser, settings.given, path, data, FAMILIES)
        except SettingsError as error:
            return _error(400, f"{PREFIX}{error}")
        try:
            save(path, data, versions)
        except FileChanged as error:
            return _error(412, f"{PREFIX}{error}")
        except ReadOnly as error:
            return _error(409, f"{PREFIX}{error}")
        except SettingsError as error:
            return _error(500, f"{PREFIX}{error}")
        self.app.use_settings(new)
        return self._settings()

    # ------------------------------------------------------------ learning

    def _learn(self, body: bytes) -> Answer:
        try:
            asked = json.loads(body)
        except (ValueError, RecursionError):
            asked = None
        recording = asked.get("recording") if isinstance(asked, dict) else None
        if not isinstance(recording, str) or not recording.strip():
            return _error(400, 'send {"recording": "<the recording\'s path>"}')
        recording = os.path.expanduser(recording.strip())
        if not os.path.isfile(recording):
            return _error(400, f"{PREFIX}{recording}: no such file")
        self.close()  # one at a time: the newest asked for
        try:
            self.job = LearnJob(recording)
        except OSError as error:
            return _error(500, f"{PREFIX}cannot start --learn: {error.strerror or error}")
        return _json(202, self.job.state(time.monotonic()))

    def _learn_state(self) -> Answer:
        if self.job is None:
            return _json(200, {})
        return _json(200, self.job.state(time.monotonic()))

    def close(self) -> None:
        if self.job is not None:
            self.job.stop()
            self.job = None

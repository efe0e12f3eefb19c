"""The settings page on the --http server: GET /settings (the page), GET and
POST /api/settings (the file's tables as JSON; a change is checked as the
file is, written to it, and applied at once), POST /api/preview (what the
app makes of the tables being edited, before they are saved), /api/learn (--learn on a
recording of this computer, in a process of its own), GET /api/status (what
the app hears, and its recent lines), GET /api/games (what to set in each
game). This computer only; a change only from the page's own origin."""

from __future__ import annotations

import argparse
import json
import os
import time
from collections.abc import Mapping
from pathlib import Path
from typing import Any, Protocol

from ..dashboard import LEDS, RPM_LEDS, WARNING_LEDS, rpm_leds, shift_range
from ..journal import Journal
from ..race.shifting import DEFAULT_SHIFT
from ..settings import MAX_GEARS, PER_CAR, Settings, SettingsError, checked, kept_keys
from ..settings.keys import EXTRA_KEYS, NO_FILE, table_name
from ..settings.read import file_version, parse
from ..settings.words import PAGE_HELP, label
from ..settings.write import CHANGED, FileChanged, ReadOnly, current, matches, save
from ..sources import FAMILIES
from ..sources.game_setup import what_to_set
from ..telemetry import Telemetry
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
API = ("/api/settings", "/api/learn", "/api/preview")
READ_ONLY = ("/api/status", "/api/games")
SWEEP_STEPS = 45  # frames a gear takes up to its shift point
SWEEP_OVER = 6  # frames past it, the LEDs flashing
SWEEP_GEARS = 3  # at least, where fewer shift points are set


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

    def heard(self) -> dict[str, object]:
        """What is listened for, what speaks, the display, what is wrong: /api/status."""
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
        entry["help"] = PAGE_HELP.get(key, (text or "").replace("%%", "%"))
        entry["label"] = label(key)
        out[key] = entry
    return out


class SettingsApi:
    """The hook the web server asks first."""

    def __init__(
        self, app: SettingsHost, parser: argparse.ArgumentParser, web: WebServer, journal: Journal
    ) -> None:
        self.app = app
        self.journal = journal  # its recent lines for /api/status
        self.games = json.dumps(what_to_set()).encode("utf-8")
        self.parser = parser  # the command line's, for the file's checks: built once
        self.files = {path: web.load(name) for path, (name, _) in FILES.items()}
        self.choices = key_choices(parser, app.settings.defaults)
        self.job: LearnJob | None = None
        web.hook = self

    def __call__(self, request: Request) -> Answer | None:
        if request.path not in FILES and request.path not in API + READ_ONLY:
            return None
        if not host_allowed(request.headers.get("host", "")):
            return _error(421, "not a name of this computer")
        if not from_this_computer(request.peer):
            return _error(403, "the settings are open to this computer only")
        if request.method == "POST" and not same_origin(request.headers):
            return _error(403, "a change is accepted from the settings page only")
        # HEAD answers as GET does; the server leaves the body out.
        method = "GET" if request.method == "HEAD" else request.method
        if request.path in FILES or request.path in READ_ONLY:
            if method != "GET":
                return _error(405, "GET only")
            if request.path == "/api/status":
                return _json(200, {**self.app.heard(), "messages": list(self.journal.recent)})
            if request.path == "/api/games":
                return Answer(200, JSON, self.games)
            return Answer(200, FILES[request.path][1], self.files[request.path])
        if method not in ("GET", "POST"):
            return _error(405, "GET or POST only")
        if request.path == "/api/settings":
            if method == "GET":
                return self._settings()
            return self._save(request.body, if_match(request.headers.get("if-match")))
        if request.path == "/api/preview":
            return self._preview(request.body) if method == "POST" else _error(405, "POST only")
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
                    "titles": {name: family.title for name, family in FAMILIES.items()},
                    "current": {
                        "game": game,
                        "car": car,
                    },
                    "exists": raw is not None,
                    "problem": problem,
                    "defaults": settings.defaults,
                    "rpm": {"shift": DEFAULT_SHIFT},
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

    # ------------------------------------------------------------ preview

    def _preview(self, body: bytes) -> Answer:
        settings = self.app.settings
        path = self._path(settings) or Path("dashboard.toml")
        try:
            asked = json.loads(body)
        except (ValueError, RecursionError):
            asked = None
        if not isinstance(asked, dict) or not isinstance(asked.get("settings"), dict):
            return _error(400, 'send {"settings": {...}, "scope": {"kind": ..., "name": ...}}')
        where = scope_of(asked.get("scope"))
        if where is None:
            return _error(
                400,
                'scope: {"kind": "top"}, {"kind": "game", "name": "<source>"} '
                'or {"kind": "car", "name": "<source>:<car id>"}',
            )
        try:
            new = checked(self.parser, settings.given, path, asked["settings"], FAMILIES)
        except SettingsError as error:
            return _error(400, f"{PREFIX}{error}")
        return _json(200, preview(new, *where))

    # ------------------------------------------------------------ learning

    def _learn(self, body: bytes) -> Answer:
        try:
            asked = json.loads(body)
        except (ValueError, RecursionError):
            asked = None
        recording = asked.get("recording") if isinstance(asked, dict) else None
        if not isinstance(recording, str) or not recording.strip():
            return _error(400, 'send {"recording": "<the recording\'s path>"}')
        # Said in full: a bare name is looked for where the app was started.
        recording = os.path.abspath(os.path.expanduser(recording.strip()))
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


# ---------------------------------------------------------------- preview


def scope_of(asked: object) -> tuple[str | None, str | None] | None:
    """The game and car a scope the page edits names; None: no scope."""
    if not isinstance(asked, dict):
        return None
    kind, name = asked.get("kind"), asked.get("name")
    if kind == "top":
        return None, None
    if not isinstance(name, str):
        return None
    if kind == "game" and name in FAMILIES:
        return name, None
    game, _, car = name.partition(":")
    if kind == "car" and game in FAMILIES and car:
        return game, car
    return None


def origin_words(settings: Settings, key: str, game: str | None, car: str | None) -> str:
    """Where a value in force comes from, as the page names its tables."""
    found = settings.origin(key, game, car)
    if found == "the top level":
        return "every game"
    if game is not None and found == table_name("game", game):
        return "this game"
    if car is not None and found == table_name("car", f"{game}:{car}"):
        return "this car"
    return "the default" if found == "the defaults" else found


def preview(settings: Settings, game: str | None, car: str | None) -> dict[str, Any]:
    """The values in force for a game and car (or the top level), where each
    comes from, the warning LEDs' labels, and the RPM LEDs swept through each
    gear's shift point as the display lights them, without a game: per gear
    its start, its shift point and [rpm, LEDs lit] a step."""
    values = settings.values(game, car)
    options = settings.options(game, car)
    sweep = []
    for gear in range(1, max(len(options.shift), SWEEP_GEARS) + 1):
        start, shift = shift_range(Telemetry(gear=gear), options)
        low = max(0.0, start - 0.1 * (shift - start))
        steps = []
        for step in range(SWEEP_STEPS + 1):
            rpm = low + (shift - low) * step / SWEEP_STEPS
            steps.append([round(rpm), rpm_leds(rpm, start, shift)])
        steps += [[round(shift), RPM_LEDS if n % 2 else 0] for n in range(1, SWEEP_OVER + 1)]
        sweep.append({"gear": gear, "start": start, "shift": shift, "steps": steps})
    return {
        "values": values,
        "from": {key: origin_words(settings, key, game, car) for key in values},
        "labels": list(options.labels()),
        "sweep": sweep,
    }

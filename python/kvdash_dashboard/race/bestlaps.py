"""Best laps kept between runs: one small JSON file per game, car and track
in the user's data folder, holding the lap's time and its time every few
metres (or every share of the lap), for the delta from the next session's
first lap on.

Written whole or not at all (a temporary file, fsync, os.replace); read back
defensively: a file that is not what we wrote is ignored with one line."""

from __future__ import annotations

import contextlib
import hashlib
import json
import math
import os
import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from urllib.parse import quote

FORMAT = 1
MAX_SAMPLES = 100_000  # a 100 km lap at one sample per metre: more is not ours
MAX_LAP = 24 * 3600.0  # s


@dataclass(frozen=True)
class BestLap:
    """A lap's time and, where its position was known, the time into the lap
    at every ``step`` of the position (metres, or shares of the lap), from 0."""

    time: float
    position: str  # what step counts: "metres" or "share"
    step: float
    times: tuple[float, ...]


def data_folder() -> Path | None:
    """kvdash's folder in the user's data folder, or None where there is none."""
    if sys.platform == "win32":
        local = os.environ.get("LOCALAPPDATA")
        return Path(local) / "kvdash" if local else None
    data = os.environ.get("XDG_DATA_HOME", "")
    if os.path.isabs(data):  # XDG: a relative path is to be ignored
        return Path(data) / "kvdash"
    try:
        return Path.home() / ".local" / "share" / "kvdash"
    except RuntimeError:  # no home directory known
        return None


def _name(text: str) -> str:
    """A car's or track's id as a file name part: readable where it can be,
    else (too long for a file system) a digest."""
    name = quote(text, safe=" -_.()")
    if len(name) > 80 or name in (".", ".."):
        name = hashlib.sha256(text.encode()).hexdigest()[:32]
    return name


class BestLapStore:
    """The best laps under ``folder``/best-laps/<source>/<car>@<track>.json."""

    def __init__(self, folder: Path | None, say: Callable[[str], None]) -> None:
        self.folder = folder / "best-laps" if folder is not None else None
        self.say = say
        self._failed = False  # a write has failed: said once

    def path(self, source: str, car: str, track: str) -> Path | None:
        if self.folder is None:
            return None
        return self.folder / _name(source) / f"{_name(car)}@{_name(track)}.json"

    def read(self, source: str, car: str, track: str) -> BestLap | None:
        path = self.path(source, car, track)
        if path is None:
            return None
        try:
            with open(path, "rb") as f:
                data = json.loads(f.read(8 * MAX_SAMPLES))
            return _checked(data)
        except FileNotFoundError:
            return None
        except (OSError, ValueError, TypeError, KeyError) as error:
            self.say(f"Best lap file {path} ignored: {_why(error)}.")
            return None

    def write(self, source: str, car: str, track: str, lap: BestLap) -> None:
        path = self.path(source, car, track)
        if path is None:
            return
        data = {
            "format": FORMAT,
            "source": source,
            "car": car,
            "track": track,
            "time": round(lap.time, 3),
            "position": lap.position,
            "step": lap.step,
            "ms": [round(t * 1000) for t in lap.times],
        }
        temporary = path.with_name(path.name + ".new")
        try:
            path.parent.mkdir(parents=True, exist_ok=True)
            with open(temporary, "w", encoding="utf-8") as f:
                json.dump(data, f, separators=(",", ":"))
                f.flush()
                os.fsync(f.fileno())
            os.replace(temporary, path)
        except OSError as error:
            with contextlib.suppress(OSError):
                temporary.unlink()
            if not self._failed:
                self._failed = True
                self.say(f"Cannot keep the best lap in {path}: {error.strerror or error}.")


def _why(error: Exception) -> str:
    if isinstance(error, OSError):
        return f"cannot read it ({error.strerror or error})"
    if isinstance(error, UnicodeDecodeError | json.JSONDecodeError):
        return "not JSON"
    return f"not a best lap ({error})"


def _checked(data: object) -> BestLap:
    """The lap a file holds; raises ValueError (or TypeError, KeyError) on
    anything that is not exactly what write() puts there."""
    if not isinstance(data, dict) or data.get("format") != FORMAT:
        raise ValueError("unknown format")
    time, step, position, ms = data["time"], data["step"], data["position"], data["ms"]
    if not _number(time) or not 0 < time < MAX_LAP:
        raise ValueError("no lap time")
    if position not in ("metres", "share") or not _number(step) or not step > 0:
        raise ValueError("no position step")
    if not isinstance(ms, list) or len(ms) > MAX_SAMPLES:
        raise ValueError("no times")
    if not all(isinstance(v, int) and not isinstance(v, bool) and 0 <= v for v in ms):
        raise ValueError("times that are not whole milliseconds")
    if any(b < a for a, b in zip(ms, ms[1:], strict=False)):
        raise ValueError("times that go back")
    return BestLap(float(time), position, float(step), tuple(v / 1000 for v in ms))


def _number(value: object) -> bool:
    return isinstance(value, int | float) and not isinstance(value, bool) and math.isfinite(value)

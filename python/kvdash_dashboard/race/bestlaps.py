"""Best laps kept between runs: one small JSON file per game, car and track
in the user's data folder, holding the lap's time and its time every few
metres (or every share of the lap), for the delta from the next session's
first lap on.

Written whole or not at all (a temporary file of the writer's own, fsync,
os.replace); read back defensively: only a regular file is opened (a pipe or
device in its place would stall the app), and a file that is not what we
wrote is ignored with one line. A car or track name that a file system would
take for another (a Windows device such as "con", one differing only by
case) gets a suffix from its exact text."""

from __future__ import annotations

import contextlib
import hashlib
import json
import math
import os
import re
import stat
import sys
import tempfile
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from urllib.parse import quote

FORMAT = 1
MAX_SAMPLES = 100_000  # a 100 km lap at one sample per metre: more is not ours
MAX_LAP = 24 * 3600.0  # s
# What step may be (metres, shares): ours are 10 m and 0.002; a tiny one
# would put a lap's position beyond any float.
STEPS = {"metres": (0.01, 1000.0), "share": (1e-6, 0.5)}
MAX_FILE = 8 * MAX_SAMPLES  # bytes: more is not ours
# Names Windows opens as a device, whatever follows the first dot.
_DEVICE = re.compile(r"(con|prn|aux|nul|com[0-9]|lpt[0-9]|conin\$|conout\$)( *)(\..*)?", re.I)


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


def _digest(text: str, size: int) -> str:
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:size]


def _old_name(text: str) -> str:
    """A car's or track's id as a file name part, as kept before names a
    file system might take for another were told apart: still read."""
    name = quote(text, safe=" -_.()", errors="surrogatepass")
    if len(name) > 80 or name in (".", ".."):
        name = _digest(text, 32)
    return name


def _name(text: str, first: bool = False) -> str:
    """A car's or track's id as a file name part: readable where it can be,
    else (too long for a file system) a digest. Capitals get a suffix from
    the exact text (where case is ignored, "Ferrari" would be "ferrari"); a
    device's name (first: it begins the file's name, whose part before the
    first dot Windows reads) its first letter escaped as quote() would."""
    name = _old_name(text)
    if name == _digest(text, 32):
        return name
    if any("A" <= c <= "Z" for c in text):
        name = f"{name}~{_digest(text, 8)}"
    if first and _DEVICE.fullmatch(name.split("~")[0]):
        name = f"%{ord(name[0]):02X}{name[1:]}"
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
        return self.folder / _name(source) / f"{_name(car, first=True)}@{_name(track)}.json"

    def read(self, source: str, car: str, track: str) -> BestLap | None:
        path = self.path(source, car, track)
        if path is None:
            return None
        paths = [path]
        old = path.with_name(f"{_old_name(car)}@{_old_name(track)}.json")
        if old != path and not _DEVICE.fullmatch(_old_name(car)):
            paths.append(old)  # kept under the names of before: read, new bests kept under these
        for place in paths:
            try:
                data = _read(place)
                if data is None:
                    continue
                names = {"source": source, "car": car, "track": track}
                if any(key in data and data[key] != name for key, name in names.items()):
                    continue  # another car's, where case is ignored ("Ferrari", "ferrari")
                return _checked(data)
            except (OSError, ValueError, TypeError, KeyError, OverflowError) as error:
                self.say(f"Best lap file {place} ignored: {_why(error)}.")
                return None
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
        temporary = None
        try:
            path.parent.mkdir(parents=True, exist_ok=True)
            # A name of this writer's own: two apps keeping the same lap never share one.
            handle, temporary = tempfile.mkstemp(
                prefix=f".{path.name}.", suffix=".new", dir=path.parent
            )
            with os.fdopen(handle, "w", encoding="utf-8") as f:
                json.dump(data, f, separators=(",", ":"))
                f.flush()
                os.fsync(f.fileno())
            os.replace(temporary, path)
        except OSError as error:
            if temporary is not None:
                with contextlib.suppress(OSError):
                    os.unlink(temporary)
            if not self._failed:
                self._failed = True
                self.say(f"Cannot keep the best lap in {path}: {error.strerror or error}.")


class _NotAFile(OSError):
    """A folder, pipe or device where a best lap's file would be."""


def _read(path: Path) -> dict[str, object] | None:
    """The JSON object a regular file at path holds; None where there is
    none. Raises OSError, ValueError (not JSON, or not an object)."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):  # through a link: its target
            raise _NotAFile()
    except FileNotFoundError:
        return None
    # Not blocking: a pipe put in its place since the look must not stall the app either.
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    with os.fdopen(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise _NotAFile()
        data = json.loads(f.read(MAX_FILE + 1))
    if not isinstance(data, dict):
        raise ValueError("unknown format")
    return data


def _why(error: Exception) -> str:
    if isinstance(error, _NotAFile):
        return "not a regular file (a folder, pipe or device)"
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
    if position not in STEPS or not _number(step):
        raise ValueError("no position step")
    low, high = STEPS[position]
    if not low <= step <= high:
        raise ValueError(f"a position step out of range ({step})")
    if not isinstance(ms, list) or len(ms) > MAX_SAMPLES:
        raise ValueError("no times")
    most = MAX_LAP * 1000
    if not all(isinstance(v, int) and not isinstance(v, bool) and 0 <= v <= most for v in ms):
        raise ValueError("times that are not whole milliseconds")
    if any(b < a for a, b in zip(ms, ms[1:], strict=False)):
        raise ValueError("times that go back")
    return BestLap(float(time), position, float(step), tuple(v / 1000 for v in ms))


def _number(value: object) -> bool:
    """A number of float's range (a whole number too big for one is not)."""
    if not isinstance(value, int | float) or isinstance(value, bool):
        return False
    return -BIG_NUMBER < value < BIG_NUMBER and math.isfinite(value)


BIG_NUMBER = 1e300

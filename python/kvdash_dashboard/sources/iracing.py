"""iRacing: the self-describing shared memory ``IRSDKMemMapFileName``.

A 112-byte header points to variable descriptors (144 bytes each, looked up
by name) and to up to four rotating data rows; the newest row has the
largest tickCount. The rev limit and the car are only in the session-info
YAML (``DriverInfo``'s ``DriverCarRedLine``, and the ``CarPath`` of the
``Drivers`` entry whose ``CarIdx`` is ``DriverCarIdx``). The text may be
4 MiB: rather than parsed whole, the ``DriverInfo`` block is found and
searched by anchored, line-wise patterns (linear time, a few ms at most),
when ``sessionInfoUpdate`` changes.

pyirsdk is not used: it maps the memory with ``mmap`` and a tag name (which
creates the mapping when the sim is not running), checks the sim over HTTP
first, needs PyYAML, is Windows-only, and reads values from the live
mapping one by one, where the poll loop wants one consistent copy.

The snapshot (little-endian) is HEAD followed by one VALUE per name in
VARIABLES, in that order, then TAIL:
  HEAD: i32 ver, i32 status, i32 tickCount of the row, f32 DriverCarRedLine
    (0 when unknown), 64 bytes the player's CarPath (UTF-8, NUL padded);
  VALUE: u8 type (the descriptor's, 255 when the sim has no such
    variable), then the first element's bytes, zero-padded to 8;
  TAIL: f32 the tank's capacity (DriverCarFuelMaxLtr times
    DriverCarMaxFuelPct; 0 when unknown), 64 bytes WeekendInfo's TrackName.
Recordings made before the race information (VARIABLES up to Throttle, no
TAIL) still play, without it."""

from __future__ import annotations

import math
import re
import struct
import time
from collections.abc import Sequence
from dataclasses import dataclass

from ..telemetry import GameState, Light, Telemetry
from .base import Family, TextCache, car_id, filled
from .shm import TORN_RETRIES, Gone, ShmReader, View

NAMES = ("IRSDKMemMapFileName",)

VARIABLES = (
    "Gear",
    "RPM",
    "Speed",
    "FuelLevelPct",
    "Lap",
    "LapCurrentLapTime",
    "LapLastLapTime",
    "LapBestLapTime",
    "LapDeltaToBestLap",
    "LapDeltaToBestLap_OK",
    "PlayerCarPosition",
    "ShiftIndicatorPct",
    "PlayerCarSLFirstRPM",
    "PlayerCarSLShiftRPM",
    "PlayerCarSLLastRPM",
    "EngineWarnings",
    "BrakeABSactive",
    "SessionFlags",
    "IsOnTrack",
    "IsReplayPlaying",
    "Throttle",
    # The race information.
    "FuelLevel",
    "LapDist",
    "LapDistPct",
    "OnPitRoad",
    "dcTractionControl",
    "dcABS",
    "dcBrakeBias",
    "dcFuelMixture",
)
_BEFORE_RACE = VARIABLES.index("Throttle") + 1
_INDEX = {name: i for i, name in enumerate(VARIABLES)}

HEAD = struct.Struct("<iiif64s")
VALUE = struct.Struct("<B8s")
TAIL = struct.Struct("<f64s")
ABSENT = 255
SNAPSHOT_SIZE = HEAD.size + VALUE.size * len(VARIABLES) + TAIL.size
_OLD_SIZE = HEAD.size + VALUE.size * _BEFORE_RACE
_OLD_PADDING = VALUE.pack(ABSENT, b"") * (len(VARIABLES) - _BEFORE_RACE) + TAIL.pack(0.0, b"")

# The mapping's header and descriptors.
HEADER = struct.Struct("<10i")  # ver .. bufLen
HEADER_SIZE = 112
VAR_BUF = struct.Struct("<ii")  # tickCount, bufOffset; at 48 + 16 k
DESCRIPTOR = struct.Struct("<iii4x32s")  # type, offset, count, name
DESCRIPTOR_SIZE = 144
TYPE_SIZES = (1, 1, 4, 4, 4, 8)  # char, bool, int, bitfield, float, double
_VALUE_FORMATS = ("<B", "<B", "<i", "<I", "<f", "<d")
_VALUE_STRUCTS = tuple(struct.Struct(f + "x" * (8 - struct.calcsize(f))) for f in _VALUE_FORMATS)
_VALUES_END = HEAD.size + VALUE.size * len(VARIABLES)

_MAX_VARS = 10_000
_MAX_YAML = 4 << 20
# A session text that takes long to read (a huge one) is read again only
# after this many times as long, so a sim that keeps changing it cannot take
# more than a share of the loop.
SESSION_BACKOFF = 100
SESSION_QUICK = 0.001  # s: a read this quick needs no pause
# The session text is searched for literal keys (bytes.find, at memchr
# speed) and only the lines found are matched, so a read is linear in the
# text and a few ms at most for 4 MiB, whatever the text holds.
_DRIVER_INFO = b"DriverInfo:"
_NUMBER = re.compile(rb"[ \t]*([0-9]{1,6}(?:\.[0-9]{0,6})?)[ \t\r]*(?:\n|$)")
_VALUE = re.compile(rb"[ \t]*([^\r\n]{1,200})")
_LEAD = re.compile(rb"[ \t]*(?:-[ \t]*)?")  # indentation, and a list item's dash
_MAX_INDENT = 64
_TRIES = 16  # occurrences of a key looked at before giving up
_CAR_SIZE = 64

_ENGINE_WARNINGS = 0x01 | 0x02 | 0x04 | 0x08 | 0x40  # water, fuel p, oil p, stalled, oil t
_PIT_LIMITER = 0x10
_FLAGS_FOR_PLAYER = 0x0008 | 0x0020 | 0x0100 | 0x4000  # yellow, blue, waving, caution


@dataclass(frozen=True)
class _Var:
    type: int
    offset: int
    size: int


class _Take:
    """Copies the variables out of the newest row; remembers the descriptors
    and the red line between polls (they change only with the session)."""

    def __init__(self) -> None:
        self._reset(None)

    def _reset(self, view: View | None) -> None:
        self._view = view
        self._layout: tuple[int, int, int] | None = None
        self._vars: dict[str, _Var] = {}
        self._session_update: int | None = None
        self._session_due = 0.0
        self._session = _Session(0.0, b"")
        self._last: tuple[bytes, bytes] | None = None  # header, snapshot

    def __call__(self, views: Sequence[View]) -> bytes | None:
        (view,) = views
        if view is not self._view:  # opened anew: the sim may have restarted
            self._reset(view)
        for _ in range(TORN_RETRIES):
            header = view.read(0, HEADER_SIZE)
            if self._last is not None and self._last[0] == header:
                return self._last[1]  # no new row: the usual case between two
            (
                ver,
                status,
                _,
                session_update,
                yaml_len,
                yaml_at,
                num_vars,
                var_at,
                num_buf,
                buf_len,
            ) = HEADER.unpack_from(header)
            if not (0 <= num_vars <= _MAX_VARS and 1 <= num_buf <= 4 and buf_len > 0):
                raise Gone("not an iRacing header")
            if self._layout != (num_vars, var_at, buf_len):
                self._vars = self._descriptors(view, num_vars, var_at, buf_len)
                self._layout = (num_vars, var_at, buf_len)
            start = time.monotonic()
            if self._session_update != session_update and start >= self._session_due:
                self._session_update = session_update
                self._session = _read_session(view, yaml_at, yaml_len)
                took = time.monotonic() - start
                self._session_due = start + (took * SESSION_BACKOFF if took > SESSION_QUICK else 0)
            bufs = [VAR_BUF.unpack_from(header, 48 + 16 * k) for k in range(num_buf)]
            newest = max(range(num_buf), key=lambda k: bufs[k][0])
            tick, row_at = bufs[newest]
            values = [
                VALUE.pack(var.type, view.read(row_at + var.offset, var.size))
                if (var := self._vars.get(name)) is not None
                else VALUE.pack(ABSENT, b"")
                for name in VARIABLES
            ]
            if view.read(48 + 16 * newest, 4) == header[48 + 16 * newest : 52 + 16 * newest]:
                session = self._session
                head = HEAD.pack(ver, status, tick, session.redline, session.car)
                tail = TAIL.pack(session.fuel_max, session.track)
                snapshot = head + b"".join(values) + tail
                self._last = (header, snapshot)
                return snapshot
        return None

    @staticmethod
    def _descriptors(view: View, num_vars: int, var_at: int, buf_len: int) -> dict[str, _Var]:
        table = view.read(var_at, num_vars * DESCRIPTOR_SIZE)
        found: dict[str, _Var] = {}
        for j in range(num_vars):
            kind, offset, count, raw = DESCRIPTOR.unpack_from(table, j * DESCRIPTOR_SIZE)
            name = raw.split(b"\0", 1)[0].decode("latin-1")
            if name in _INDEX and 0 <= kind < len(TYPE_SIZES) and count >= 1:
                size = TYPE_SIZES[kind]
                if 0 <= offset <= buf_len - size:
                    found[name] = _Var(kind, offset, size)
        return found


@dataclass(frozen=True)
class _Session:
    redline: float  # 0 when unknown
    car: bytes  # the player's CarPath, UTF-8; empty when unknown
    fuel_max: float = 0.0  # l the tank may hold; 0 when unknown
    track: bytes = b""  # WeekendInfo's TrackName, UTF-8; empty when unknown


_NO_SESSION = _Session(0.0, b"")


def _read_session(view: View, at: int, length: int) -> _Session:
    if at <= 0 or length <= 0:
        return _NO_SESSION
    try:
        text = view.read(at, max(0, min(length, _MAX_YAML, view.size() - at)))
    except Gone:
        return _NO_SESSION
    return parse_session(text)


def parse_session(text: bytes) -> _Session:
    """The player's red line, car and tank, and the track, from the session
    text, in linear time."""
    start = _line_key(text, _DRIVER_INFO, 0, top=True)
    if start < 0:
        return _NO_SESSION
    redline = _number(text, b"DriverCarRedLine:", start)
    redline = redline if redline is not None and 0 < redline < 100_000 else 0.0
    fuel_max = _number(text, b"DriverCarFuelMaxLtr:", start) or 0.0
    # A series may cap the tank: the share of it that may be filled.
    share = _number(text, b"DriverCarMaxFuelPct:", start)
    if share is not None and 0 < share <= 1:
        fuel_max *= share
    return _Session(redline, _car_path(text, start), fuel_max, _track_name(text))


def _number(text: bytes, key: bytes, start: int) -> float | None:
    at = _line_key(text, key, start)
    found = _NUMBER.match(text, at) if at >= 0 else None
    return float(found.group(1)) if found is not None else None


def _track_name(text: bytes) -> bytes:
    start = _line_key(text, b"WeekendInfo:", 0, top=True)
    at = _line_key(text, b"TrackName:", start) if start >= 0 else -1
    value = _VALUE.match(text, at) if at >= 0 else None
    if value is None:
        return b""
    name = value.group(1).strip().strip(b"\"'")
    return name if len(name) < _CAR_SIZE else b""


def _line_key(text: bytes, key: bytes, start: int, top: bool = False) -> int:
    """Where the value of ``key`` begins, on the first line from ``start``
    that holds nothing before the key but indentation and perhaps a list
    item's dash (nothing at all for a ``top``-level key); -1 when none."""
    at = start
    for _ in range(_TRIES):
        at = text.find(key, at)
        if at < 0:
            return -1
        # Indentation is short: a line start further back is no key's.
        line = text.rfind(b"\n", max(0, at - _MAX_INDENT), at) + 1
        near = line > 0 or at <= _MAX_INDENT
        if near and (line == at or (not top and _LEAD.fullmatch(text, line, at))):
            return at + len(key)
        at += len(key)
    return -1


def _car_path(text: bytes, start: int) -> bytes:
    at = _line_key(text, b"DriverCarIdx:", start)
    idx = _NUMBER.match(text, at) if at >= 0 else None
    if idx is None:
        return b""
    # The player's entry in Drivers, as the sim writes it: " - CarIdx: 17".
    entry = _line_key(text, b"- CarIdx: " + idx.group(1) + b"\n", start)
    if entry < 0:
        return b""
    path_at = _line_key(text, b"CarPath:", entry)
    following = text.find(b"CarIdx:", entry)
    if path_at < 0 or 0 <= following < path_at:
        return b""  # the entry has no path; the next entry's is not ours
    value = _VALUE.match(text, path_at)
    if value is None:
        return b""
    path = value.group(1).strip().strip(b"\"'")
    # A path is a folder name: anything else there is not one.
    if not path or len(path) >= _CAR_SIZE or not all(32 <= c < 127 for c in path):
        return b""
    return path


def take_factory() -> _Take:
    return _Take()


def _fraction(x: float) -> float:
    return min(1.0, max(0.0, x))


def _setting(value: float | None) -> int | None:
    return round(value) if value is not None and 0 <= value < 1000 else None


class IracingDecoder:
    def __init__(self) -> None:
        self._track = TextCache(car_id)

    def decode(self, data: bytes) -> Telemetry | None:
        race = len(data) == SNAPSHOT_SIZE
        if len(data) == _OLD_SIZE:
            data += _OLD_PADDING
        elif not race:
            return None
        ver, status, _, redline, raw_car = HEAD.unpack_from(data)
        fuel_max, raw_track = TAIL.unpack_from(data, SNAPSHOT_SIZE - TAIL.size)
        values: dict[str, float] = {}
        rows = VALUE.iter_unpack(data[HEAD.size : _VALUES_END])
        for name, (kind, raw) in zip(VARIABLES, rows, strict=True):
            if kind == ABSENT:
                continue
            if kind >= len(_VALUE_STRUCTS):
                return None
            value = float(_VALUE_STRUCTS[kind].unpack(raw)[0])
            if not math.isfinite(value):
                return None
            values[name] = value
        if ver < 1 or not math.isfinite(redline + fuel_max) or "Gear" not in values:
            return None
        gear = int(values["Gear"])
        rpm = values.get("RPM", 0.0)
        if not -1 <= gear <= 20 or not 0 <= rpm <= 100_000:
            return None

        def positive(name: str) -> float | None:
            value = values.get(name)
            return value if value is not None and value > 0 else None

        def at_least_one(name: str) -> int | None:
            value = values.get(name)
            return int(value) if value is not None and 1 <= value < 100_000 else None

        first, shift, last = (positive(f"PlayerCarSL{s}RPM") for s in ("First", "Shift", "Last"))
        rev_lights = None
        if first is not None and last is not None and last > first:
            rev_lights = _fraction((rpm - first) / (last - first))
        elif "ShiftIndicatorPct" in values:
            rev_lights = _fraction(values["ShiftIndicatorPct"])

        lights = Light.NONE
        warnings = int(values.get("EngineWarnings", 0))
        if warnings & _PIT_LIMITER:
            lights |= Light.PIT_LIMITER
        if warnings & _ENGINE_WARNINGS:
            lights |= Light.ENGINE
        if shift is not None and rpm >= shift:
            lights |= Light.SHIFT
        if values.get("BrakeABSactive"):
            lights |= Light.ABS
        if int(values.get("SessionFlags", 0)) & _FLAGS_FOR_PLAYER:
            lights |= Light.FLAG

        if not status & 1:
            state = GameState.MENU
        elif values.get("IsReplayPlaying"):
            state = GameState.REPLAY
        elif values.get("IsOnTrack", 1.0):
            state = GameState.DRIVING
        else:
            state = GameState.MENU
        delta = values.get("LapDeltaToBestLap")
        if not values.get("LapDeltaToBestLap_OK"):
            delta = None
        current = values.get("LapCurrentLapTime")
        throttle = values.get("Throttle")
        car = raw_car.split(b"\0", 1)[0].decode("ascii", "replace")
        fuel_level = values.get("FuelLevel")
        lap_distance = values.get("LapDist")
        lap_fraction = values.get("LapDistPct")
        on_pit_road = values.get("OnPitRoad")
        # dcBrakeBias is the front's share in % in most cars; some send an
        # offset to a base the sim does not publish (small numbers): no share.
        bias = values.get("dcBrakeBias")
        return Telemetry(
            gear=gear,
            rpm=rpm,
            max_rpm=redline if 0 < redline < 100_000 else None,
            rev_lights=rev_lights,
            speed=max(0.0, values.get("Speed", 0.0)),
            fuel=_fraction(values["FuelLevelPct"]) if "FuelLevelPct" in values else None,
            lap_time=current if current is not None and current >= 0 else None,
            last_lap=positive("LapLastLapTime"),
            best_lap=positive("LapBestLapTime"),
            delta=delta,
            lap=at_least_one("Lap"),
            position=at_least_one("PlayerCarPosition"),
            lights=lights,
            state=state,
            game="iRacing",
            car=car or None,
            throttle=_fraction(throttle) if throttle is not None else None,
            fuel_amount=fuel_level if fuel_level is not None and fuel_level >= 0 else None,
            fuel_capacity=fuel_max if 0 < fuel_max < 100_000 else None,
            lap_distance=lap_distance if lap_distance is not None and lap_distance >= 0 else None,
            lap_fraction=_fraction(lap_fraction) if lap_fraction is not None else None,
            in_pit=bool(on_pit_road) if on_pit_road is not None else None,
            track=self._track(raw_track),
            # In-car dials, present in the cars that have them.
            tc_level=_setting(values.get("dcTractionControl")),
            abs_level=_setting(values.get("dcABS")),
            brake_bias=round(bias, 2) if bias is not None and 20 <= bias <= 80 else None,
            engine_map=_setting(values.get("dcFuelMixture")),
        )


FAMILY = Family(
    name="iracing",
    title="iRacing shared memory",
    fields=filled(
        "gear rpm max_rpm rev_lights speed fuel lap_time last_lap best_lap delta lap "
        "position lights state game car throttle fuel_amount fuel_capacity lap_distance "
        "lap_fraction in_pit track tc_level abs_level brake_bias engine_map"
    ),
    decoder=IracingDecoder,
    reader=lambda shm_dir: ShmReader(NAMES, take_factory(), shm_dir),
    games="iRacing",
)

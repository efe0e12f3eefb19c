"""Le Mans Ultimate and rFactor 2: the ISI per-car records, published two ways.

``LMU_Data`` is Le Mans Ultimate's own mapping (since 1.2): one 324 820-byte
structure, the scoring records of up to 104 cars, then their telemetry
records. The game guards it with a lock of its own, taken with an atomic
compare-and-exchange on a second mapping that Python cannot make; so a copy
is kept only once it has stayed the same for a while (LmuTake).

The rF2 Shared Memory Map Plugin (rFactor 2, older LMU set-ups) publishes
``$rFactor2SMMP_Telemetry$`` and ``$rFactor2SMMP_Scoring$``, 128 records
each; each buffer starts with a begin/end version pair that the plugin moves
around every write, read before and after the copy.

Either way the player is the scoring record marked ``mIsPlayer``, and its
telemetry record is the one with the same ``mID`` (the two arrays are not in
the same order). Where both are published, LMU_Data is read.

The snapshot (1508 bytes) is a 12-byte header (HEADER: u8 variant (0
LMU_Data, 1 the plugin), u8 mOptionsLocation (3 for the plugin), u8 found
(1 the player's scoring record, 2 its telemetry record too), u8 mGamePhase,
i8 mYellowFlagState, i8 mSectorFlag[3], u8 mInRealtime, 3 pad), then the
player's VehicleScoringInfoV01 (584 bytes) and the first 848 bytes of its
TelemInfoV01 (up to the wheels), zeros where not found, then
ScoringInfoV01's mTrackName (64 bytes; recordings made before it end
without it, 1444 bytes, and still play, without the track)."""

from __future__ import annotations

import dataclasses
import math
import struct
import time
from collections.abc import Callable, Iterable, Sequence
from typing import NamedTuple

from ..telemetry import GameState, Light, Telemetry
from .base import Family, TextCache, car_id, filled
from .shm import TORN_RETRIES, ShmReader, Unsupported, View, c_text

LMU_NAMES = ("LMU_Data",)
RF2_NAMES = ("$rFactor2SMMP_Telemetry$", "$rFactor2SMMP_Scoring$")
NAMES = LMU_NAMES + RF2_NAMES

HEADER = struct.Struct("<BBBBb3bB3x")
SCORING_SIZE = 584  # VehicleScoringInfoV01
TELEMETRY_SIZE = 1888  # TelemInfoV01
TELEMETRY_TAKEN = 848  # what comes before the four wheels
TRACK_SIZE = 64  # ScoringInfoV01.mTrackName, at its start
SNAPSHOT_SIZE = HEADER.size + SCORING_SIZE + TELEMETRY_TAKEN + TRACK_SIZE
_BEFORE_TRACK = SNAPSHOT_SIZE - TRACK_SIZE

LMU_SIZE = 324_820
SETTLE = 0.001  # s a copy of LMU_Data must stay the same to be kept
RF2_SIZES = (241_680, 75_312)


class Scoring(NamedTuple):
    """Where a publication keeps its scoring: ScoringInfoV01, then the
    VehicleScoringInfoV01 records, at most ``most`` of them."""

    info: int
    records: int
    most: int


LMU_SCORING = Scoring(info=1632, records=2192, most=104)
RF2_SCORING = Scoring(info=12, records=560, most=128)
# Telemetry: u8 activeVehicles, u8 playerVehicleIdx, bool playerHasVehicle,
# then the records (LMU_Data); i32 mNumVehicles, then the records (plugin).
LMU_TELEMETRY = (128_464, 128_468)
RF2_TELEMETRY = (12, 16)

_INFO_SPAN = 104  # mNumVehicles, mGamePhase, mYellowFlagState, mSectorFlag[3], ..., mInRealtime
_IS_PLAYER = 196
_I32 = struct.Struct("<i")


def _player(view: View, at: Scoring, count: int, hint: int | None) -> int | None:
    """The index of the scoring record marked as the player's."""
    if hint is not None and hint < count:
        if view.read(at.records + SCORING_SIZE * hint + _IS_PLAYER, 1) == b"\x01":
            return hint
    block = view.read(at.records, SCORING_SIZE * count)
    for i in range(count):
        if block[SCORING_SIZE * i + _IS_PLAYER] == 1:
            return i
    return None


def _matching(
    view: View, base: int, count: int, wanted: bytes, hints: Iterable[int | None]
) -> int | None:
    """The index of the telemetry record whose mID is ``wanted``."""
    first: list[int] = [h for h in hints if h is not None and 0 <= h < count]
    for i in first + list(range(count)):
        if view.read(base + TELEMETRY_SIZE * i, 4) == wanted:
            return i
    return None


def _info(raw: bytes) -> tuple[int, bytes]:
    """(mNumVehicles, the header's scoring part) from the 12 bytes at
    ScoringInfoV01 + 104."""
    return _I32.unpack_from(raw)[0], raw[4:9] + raw[11:12]


class _Take:
    """Copies the player's records; remembers where they were, since the
    player's slot rarely moves."""

    def __init__(self) -> None:
        self._scoring: int | None = None
        self._telemetry: int | None = None

    def _scoring_part(self, view: View, at: Scoring) -> tuple[bytes, bytes, bytes]:
        """(header scoring bytes and the track's name, the player's scoring
        record, its mID)."""
        count, head = _info(view.read(at.info + _INFO_SPAN, 12))
        head += view.read(at.info, TRACK_SIZE)
        count = min(max(count, 0), at.most)
        self._scoring = _player(view, at, count, self._scoring)
        if self._scoring is None:
            return head, bytes(SCORING_SIZE), b""
        record = view.read(at.records + SCORING_SIZE * self._scoring, SCORING_SIZE)
        return head, record, record[:4]

    def _telemetry_part(
        self, view: View, base: int, count: int, wanted: bytes, hint: int | None
    ) -> bytes:
        if not wanted:
            return b""
        self._telemetry = _matching(view, base, count, wanted, (self._telemetry, hint))
        if self._telemetry is None:
            return b""
        return view.read(base + TELEMETRY_SIZE * self._telemetry, TELEMETRY_TAKEN)


def _snapshot(variant: int, options: int, head: bytes, scoring: bytes, telemetry: bytes) -> bytes:
    found = (1 if any(scoring) else 0) | (2 if telemetry else 0)
    return (
        bytes((variant, options, found))
        + head[:6]
        + bytes(3)
        + scoring
        + (telemetry or bytes(TELEMETRY_TAKEN))
        + head[6:]  # the track's name
    )


class LmuTake(_Take):
    """LMU_Data, kept once the same copy is read again at least ``settle``
    seconds later. The game writes a frame in well under a millisecond, so
    a copy made part-way through one (the game's lock cannot be taken from
    here, and there is no counter to check) has changed by then, however
    busy the writer; only a writer that the system stops part-way for
    longer than that could leave one, which the lock alone would rule out.
    A real game's 100 or so frames a second leave it settled at most polls."""

    def __init__(self, settle: float = SETTLE, clock: Callable[[], float] = time.monotonic) -> None:
        super().__init__()
        self._settle, self._clock = settle, clock
        self._seen: tuple[float, bytes] | None = None  # a copy, and since when it stays
        self._kept: bytes | None = None

    def __call__(self, views: Sequence[View]) -> bytes | None:
        (view,) = views
        if view.size() < LMU_SIZE:
            raise Unsupported(
                f"LMU_Data is {view.size()} bytes, less than the {LMU_SIZE} the game writes "
                "(update the bridge)"
            )
        copy = self._copy(view)
        if copy == self._kept:
            return copy
        now = self._clock()
        if self._seen is None or self._seen[1] != copy:
            self._seen = (now, copy)
        if now - self._seen[0] < self._settle:
            return None
        self._kept = copy
        return copy

    def _copy(self, view: View) -> bytes:
        options = view.read(96, 1)[0]
        head, scoring, wanted = self._scoring_part(view, LMU_SCORING)
        count_at, records = LMU_TELEMETRY
        active, index, has_player = view.read(count_at, 3)
        hint = index if has_player else None
        telemetry = self._telemetry_part(view, records, min(active, LMU_SCORING.most), wanted, hint)
        return _snapshot(0, options, head, scoring, telemetry)


def _versioned(view: View, body: Callable[[], bytes]) -> bytes | None:
    """``body()`` copied while the buffer's begin and end versions were equal
    and stayed put; None when the plugin kept writing."""
    for _ in range(TORN_RETRIES):
        before = view.read(0, 8)
        if before[:4] != before[4:]:
            continue  # a write is under way
        data = body()
        if view.read(0, 8) == before:
            return data
    return None


class Rf2Take(_Take):
    """The plugin's two buffers, each under its version pair."""

    def __call__(self, views: Sequence[View]) -> bytes | None:
        telemetry_view, scoring_view = views
        for view, least, name in zip(views, RF2_SIZES, RF2_NAMES, strict=True):
            if view.size() < least:
                raise Unsupported(
                    f"{name} is {view.size()} bytes, less than the {least} the plugin writes"
                )

        def scoring_body() -> bytes:
            head, record, _ = self._scoring_part(scoring_view, RF2_SCORING)
            return head + record

        scoring = _versioned(scoring_view, scoring_body)
        if scoring is None:
            return None
        head, record = scoring[: 6 + TRACK_SIZE], scoring[6 + TRACK_SIZE :]

        def telemetry_body() -> bytes:
            count_at, records = RF2_TELEMETRY
            count = min(max(_I32.unpack(telemetry_view.read(count_at, 4))[0], 0), RF2_SCORING.most)
            wanted = record[:4] if any(record) else b""
            return self._telemetry_part(telemetry_view, records, count, wanted, None)

        telemetry = _versioned(telemetry_view, telemetry_body)
        if telemetry is None:
            return None
        return _snapshot(1, 3, head, record, telemetry)


class LmuReader:
    """LMU_Data where the game publishes it, else the plugin's buffers."""

    def __init__(self, shm_dir: str | None) -> None:
        self._lmu = ShmReader(LMU_NAMES, LmuTake(), shm_dir)
        self._rf2 = ShmReader(RF2_NAMES, Rf2Take(), shm_dir)
        self.next_poll = 0.0
        self.problem: str | None = None

    @property
    def where(self) -> str:
        return f"{self._lmu.where}, {self._rf2.where}"

    def poll(self, now: float) -> bytes | None:
        snapshot = self._lmu.poll(now) if now >= self._lmu.next_poll else None
        if self._lmu.present:
            self._rf2.close()
            self.next_poll = self._lmu.next_poll
        else:
            if now >= self._rf2.next_poll:
                snapshot = self._rf2.poll(now)
            self.next_poll = min(self._lmu.next_poll, self._rf2.next_poll)
        self.problem = self._lmu.problem or self._rf2.problem
        return snapshot

    def close(self) -> None:
        self._lmu.close()
        self._rf2.close()


# Record fields the decoder reads (offsets within each record).
_SCORING = struct.Struct("<h b x 40x d 16x d 20x x b x B")  # mTotalLaps @100 .. mPlace @199
_SCORING_AT = 100
_FLAG = 504  # mFlag, mUnderYellow
_VEH_FILENAME = 544  # LMU only
_VEHICLE_NAME = 36
_LAP_DIST = 104  # mLapDist, m into the lap
_IN_PITS = 198
_COUNT_LAP = 506  # mCountLapFlag: 2 counts the lap and its time
_ET = struct.Struct("<d 4x d")  # mElapsedTime @12, mLapStartET @24
_VEL = 184
_ENGINE = struct.Struct("<i d")  # mGear @352, mEngineRPM @356
_FILTERED_THROTTLE = 420
_FUEL = struct.Struct("<d d x B")  # mFuel @524, mEngineMaxRPM, mOverheating @541
_LIMITER = 604
_CAPACITY = 608
_FLAPS = 617  # mRearFlapActivated, mRearFlapLegalStatus
_DELTA_BEST = 696  # LMU only
_ACTIVE = 746  # LMU 1.3: mABSActive, mTCActive
_MODEL = 796  # LMU 1.3: mVehicleModel, char[30]
_REAR_BRAKE_BIAS = 664  # the rear's share, 0 to 1
_LAP_INVALIDATED = 745  # LMU 1.3
# LMU 1.3: (setting, its most) of TC @750, ABS @756, motor map @758; a most
# of 0 is a car without that setting (or an older LMU, zeros there).
_TC, _ABS, _MOTOR_MAP = 750, 756, 758
_F64 = struct.Struct("<d")

_BLUE = 6
_GAMES = ("Le Mans Ultimate", "rFactor 2")


def _seconds(x: float) -> float | None:
    return x if 0 < x < 86_400 else None


def _step(telemetry: bytes, at: int) -> int | None:
    value, most = telemetry[at], telemetry[at + 1]
    return value if most and value <= most else None


class LmuDecoder:
    def __init__(self) -> None:
        self._track = TextCache(car_id)

    def decode(self, data: bytes) -> Telemetry | None:
        if len(data) == _BEFORE_TRACK:
            data += bytes(TRACK_SIZE)
        elif len(data) != SNAPSHOT_SIZE:
            return None
        variant, options, found, phase, yellow, *sector_flags, realtime = HEADER.unpack_from(data)
        if variant > 1:
            return None
        lmu = variant == 0
        scoring = data[HEADER.size : HEADER.size + SCORING_SIZE]
        telemetry = data[HEADER.size + SCORING_SIZE : _BEFORE_TRACK]
        game = _GAMES[variant]
        if not found & 1:  # no car of the player's: menus, or watching
            return Telemetry(state=GameState.MENU, game=game)
        laps, sector, best, last, control, place = _SCORING.unpack_from(scoring, _SCORING_AT)
        flag, under_yellow = scoring[_FLAG], scoring[_FLAG + 1]
        (lap_distance,) = _F64.unpack_from(scoring, _LAP_DIST)
        if not all(math.isfinite(x) for x in (best, last, lap_distance)):
            return None
        lap_valid = scoring[_COUNT_LAP] == 2

        if lmu and options != 3 or not realtime:
            state = GameState.MENU
        elif control == 3:
            state = GameState.REPLAY
        elif phase == 9:
            state = GameState.PAUSED
        else:
            state = GameState.DRIVING
        lights = Light.NONE
        if flag == _BLUE:
            lights |= Light.FLAG | Light.BLUE
        # Full-course yellow, or a local yellow in the player's sector
        # (mSector 0 is the third sector).
        local = sector_flags[(sector + 2) % 3] if 0 <= sector <= 2 else 0
        if phase == 6 or 1 <= yellow <= 6 or under_yellow or 1 <= local <= 7:
            lights |= Light.FLAG | Light.YELLOW
        best_lap = _seconds(best)
        car = c_text(scoring[_VEH_FILENAME : _VEH_FILENAME + 32]) if lmu else None
        if lmu and not car and found & 2:
            car = c_text(telemetry[_MODEL : _MODEL + 30])
        scored = Telemetry(
            last_lap=_seconds(last),
            best_lap=best_lap,
            lap=laps + 1 if 0 <= laps < 30_000 else None,
            position=place if 0 < place < 256 else None,
            lights=lights,
            state=state,
            game=game,
            car=car or c_text(scoring[_VEHICLE_NAME : _VEHICLE_NAME + 64]),
            lap_distance=lap_distance if lap_distance >= 0 else None,
            in_pit=bool(scoring[_IN_PITS]),
            lap_valid=lap_valid,
            track=self._track(data[_BEFORE_TRACK:]),
        )
        if not found & 2:  # scoring only: no telemetry for the player yet
            return scored

        elapsed, lap_start = _ET.unpack_from(telemetry, 12)
        vx, vy, vz = struct.unpack_from("<3d", telemetry, _VEL)
        gear, rpm = _ENGINE.unpack_from(telemetry, 352)
        (throttle,) = _F64.unpack_from(telemetry, _FILTERED_THROTTLE)
        fuel, max_rpm, overheating = _FUEL.unpack_from(telemetry, 524)
        (capacity,) = _F64.unpack_from(telemetry, _CAPACITY)
        (delta,) = _F64.unpack_from(telemetry, _DELTA_BEST)
        (rear_bias,) = _F64.unpack_from(telemetry, _REAR_BRAKE_BIAS)
        if not all(math.isfinite(x) for x in (elapsed, lap_start, vx, vy, vz, rpm, fuel)):
            return None
        if not -1 <= gear <= 20 or not 0 <= rpm <= 100_000:
            return None
        speed = math.sqrt(vx * vx + vy * vy + vz * vz)
        if not speed < 1000:
            return None

        if telemetry[_LIMITER]:
            lights |= Light.PIT_LIMITER
        if telemetry[_FLAPS]:
            lights |= Light.DRS
        elif telemetry[_FLAPS + 1] == 2:
            lights |= Light.DRS_AVAILABLE
        if overheating:
            lights |= Light.ENGINE
        if lmu and telemetry[_ACTIVE]:
            lights |= Light.ABS
        if lmu and telemetry[_ACTIVE + 1]:
            lights |= Light.TC
        lap_time = elapsed - lap_start
        # A NaN rev limit, tank or delta fails its range test: left out.
        return dataclasses.replace(
            scored,
            gear=gear,
            rpm=rpm,
            max_rpm=max_rpm if 0 < max_rpm <= 100_000 else None,
            speed=speed,
            fuel=min(1.0, max(0.0, fuel / capacity)) if 0 < capacity < 1e6 and fuel >= 0 else None,
            lap_time=lap_time if 0 <= lap_time < 86_400 else None,
            delta=delta if lmu and best_lap is not None and abs(delta) < 1000 else None,
            lights=lights,
            throttle=min(1.0, max(0.0, throttle)) if math.isfinite(throttle) else None,
            fuel_amount=fuel if fuel >= 0 else None,
            fuel_capacity=capacity if 0 < capacity < 1e6 else None,
            lap_valid=lap_valid and not (lmu and telemetry[_LAP_INVALIDATED]),
            tc_level=_step(telemetry, _TC) if lmu else None,
            abs_level=_step(telemetry, _ABS) if lmu else None,
            brake_bias=round((1.0 - rear_bias) * 100.0, 2) if 0 < rear_bias < 1 else None,
            engine_map=_step(telemetry, _MOTOR_MAP) if lmu else None,
        )


FAMILY = Family(
    name="lmu",
    title="Le Mans Ultimate / rFactor 2 shared memory",
    fields=filled(
        "gear rpm max_rpm speed fuel lap_time last_lap best_lap delta lap position lights "
        "state game car throttle fuel_amount fuel_capacity lap_distance in_pit lap_valid "
        "track tc_level abs_level brake_bias engine_map"
    ),
    decoder=LmuDecoder,
    reader=LmuReader,
    games="Le Mans Ultimate, rFactor 2 with the rF2 Shared Memory Map Plugin",
)

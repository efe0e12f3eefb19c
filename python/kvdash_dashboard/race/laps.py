"""Laps, the same for every game: where a lap ends, whether it counts, the
fuel it took, and from those the fuel a lap, the laps of fuel left, the delta
to the best lap and the predicted lap time; and the driver's changes of TC,
ABS, brake bias or engine map, for the pop-ups.

The position in the lap is what the game sends (metres, else the share of
the lap), else counted from the distance driven or from the speed. A lap
ends when the lap counter moves on or the position wraps; it does not count
(is never the best, nor in the fuel a lap) when the game rules it out, when
the car was in the pit lane, when the car was moved (a reset, a flashback, a
restart: the position jumps further than the speed explains, or the lap
counter or lap time goes back), when it did not start at the line (the app
started mid-lap), or when it is much shorter than the longest lap.

Work per packet is a few comparisons and, with a best lap, one lookup in its
evenly spaced times; the rest is done once a lap."""

from __future__ import annotations

from collections import deque
from dataclasses import dataclass
from typing import TYPE_CHECKING

from ..telemetry import GameState, Telemetry
from .bestlaps import BestLap, BestLapStore

if TYPE_CHECKING:
    from ..sources import Family

METRES_STEP = 10.0  # m between the times kept of a lap
SHARE_STEP = 0.002  # of a lap, where the game sends only the share
SHORT = 0.9  # of the longest lap: less is a lap cut short
JUMP_SLACK = 1.5  # the speed explains a move up to this much of speed * dt ...
JUMP_EXTRA = 15.0  # ... plus this many metres (the games' position and speed disagree a little)
SHARE_JUMP = 0.02  # of a lap between two packets: a move, where the track's length is unknown
LAP_TIME_BACK = 1.0  # s: the game's lap time going back by more is a restart
BIG = 1e9  # beyond any position, speed, time or fuel: a broken value
# What no car in a game reaches: the fastest road cars top out near 140 m/s
# (500 km/h), so more than 200 m/s is a broken or hostile packet; the longest
# tracks and rally stages are near 30 km (the old Targa Florio 72 km), so a
# lap past 100 km is none. A lap keeps at most the times of such a lap, by
# count, whatever distance a packet claims.
MAX_SPEED = 200.0  # m/s
MAX_LAP_M = 100_000.0
MAX_TIMES = round(MAX_LAP_M / METRES_STEP)  # 500 a lap where the game sends the share
MAX_DT = 0.5  # s: a longer gap counts as this much for the speed
FUEL_LAPS = 20  # recent valid laps in the fuel a lap
FUEL_LAPS_LEAST = 2  # valid laps before the fuel a lap is known
RACING_PACE = 1.07  # of the best recent lap: slower laps say little of the fuel a race takes
PAUSED = (GameState.PAUSED, GameState.MENU, GameState.REPLAY)
SETTINGS = (
    ("tc", "tc_level", "TC"),
    ("abs", "abs_level", "ABS"),
    ("brake_bias", "brake_bias", "brake bias"),
    ("engine_map", "engine_map", "engine map"),
)


@dataclass(frozen=True, slots=True)
class LapEnd:
    """A lap just ended: its time and its difference to the best lap before
    it (None: no best lap yet)."""

    at: float  # time.monotonic() when it ended
    time: float
    difference: float | None
    valid: bool


@dataclass(frozen=True, slots=True)
class SettingChange:
    """The driver changed a setting: which (a SETTINGS name) and to what."""

    at: float
    name: str
    value: float


def position_kind(fields: frozenset[str]) -> str | None:
    """How a family's position in the lap is known: "metres", "share",
    "distance" (counted from the distance driven), "speed" (integrated), or
    None where its laps cannot be told apart."""
    if "lap_distance" in fields:
        return "metres"
    if "lap_fraction" in fields:
        return "share"
    if "lap" not in fields:
        return None
    return "distance" if "distance" in fields else "speed"


def can_fill(choice: str, fields: frozenset[str]) -> bool:
    """Whether a worked-out panel choice can be filled from a family's fields."""
    kind = position_kind(fields)
    if choice in ("fuel_laps", "fuel_lap"):
        return kind is not None and bool(fields & {"fuel", "fuel_amount"})
    return "delta" in fields or kind is not None  # delta, predicted


def allows(fields: frozenset[str], popups: bool = True) -> str | None:
    """What race information a family's fields allow, for the status line."""
    kind = position_kind(fields)
    parts = []
    if kind is not None and fields & {"fuel", "fuel_amount"}:
        parts.append("fuel laps")
    if kind in ("distance", "speed") and "delta" not in fields:
        parts.append("delta (counted)")
    elif kind is not None or "delta" in fields:
        parts.append("delta" if kind is not None else "delta (the game's)")
    settings = [label for _, field, label in SETTINGS if field in fields]
    if popups and settings:
        parts.append("pop-ups: " + ", ".join(settings))
    return ", ".join(parts) or None


@dataclass(slots=True)
class _Lap:
    """The lap being driven."""

    started: float  # now, when it started
    from_line: bool  # it started at the line, and the car was not moved since
    valid: bool = True
    fuel_used: float = 0.0
    position: float = 0.0  # the latest, from the line
    first: float = 0.0  # where the lap began, from the line
    offset: float = 0.0  # added to the game's position: -lap length while it has not wrapped yet
    origin: float = 0.0  # the distance driven at the line, where that counts the position
    next_mark: float = 0.0  # where the next time is kept
    last: tuple[float, float] = (0.0, 0.0)  # the latest position and time into the lap
    times: list[float] | None = None
    driven: float = 0.0  # the metres driven in all, at the start
    awaiting_counter: bool = False  # it began where the position wrapped, before the counter moved


class LapTracker:
    """Turns one source's telemetry into laps; see the module's text. Its
    public attributes are what the dashboard reads."""

    def __init__(self, store: BestLapStore | None = None) -> None:
        self.store = store
        self.fuel_laps: float | None = None
        self.fuel_lap: float | None = None
        self.delta: float | None = None
        self.predicted: float | None = None
        self.best: BestLap | None = None
        self.lap_end: LapEnd | None = None
        self.setting: SettingChange | None = None
        self._source = ""
        self._kind: str | None = None
        self._step = METRES_STEP
        self._has_delta = self._wraps = self._game_delta = False
        self.active = False
        self._reset_session(None)

    # ------------------------------------------------------------ sessions

    def use(self, family: Family) -> None:
        """The family now driving the display."""
        self._source = family.name
        self._kind = position_kind(family.fields)
        self._step = SHARE_STEP if self._kind == "share" else METRES_STEP
        self._has_delta = "delta" in family.fields
        self._wraps = self._kind in ("metres", "share")  # the game's position wraps at the line
        # Whether it is worth a call a packet: a family with neither laps nor
        # settings gives the tracker nothing.
        self.active = (
            self._kind is not None
            or self._has_delta
            or any(f in family.fields for _, f, _ in SETTINGS)
        )
        self._reset_session(None)

    def _reset_session(self, key: tuple[str | None, str | None] | None) -> None:
        self._key = key
        self._lap: _Lap | None = None
        self._counter: int | None = None
        self._lap_time: float | None = None
        self._last_lap: float | None = None
        self._fuel: float | None = None
        self._driven = 0.0
        self._was: tuple[float, float] | None = None  # when the position last changed, and it
        self._moving: tuple[float, float] | None = None  # the last packet's time and speed
        self._settings: tuple[object, ...] | None = None
        self._longest = 0.0
        self._track_m = 0.0  # the track's length, where the game sends only the share
        self._laps: deque[tuple[float, float]] = deque(maxlen=FUEL_LAPS)  # time, fuel used
        self.fuel_laps = self.fuel_lap = self.delta = self.predicted = None
        self.lap_end = self.setting = None
        self.best = None
        if key is not None and self.store is not None and None not in key:
            car, track = key
            assert car is not None and track is not None
            best = self.store.read(self._source, car, track)
            if best is not None and best.position == self._unit():
                self.best = best
            elif best is not None:  # kept with another kind of position: its time still counts
                self.best = BestLap(best.time, self._unit(), self._step, ())

    def _unit(self) -> str:
        return "share" if self._kind == "share" else "metres"

    # ------------------------------------------------------------ a packet

    def update(self, t: Telemetry, now: float) -> None:
        """Learns from one packet of the family in use: the session, the
        settings shown as pop-ups, the fuel, the game's own delta, then where
        the car is in its lap."""
        if t.state in PAUSED:
            self._was = self._moving = None  # no speed through a pause
            return
        key = (t.car, t.track)
        if key != self._key:
            self._reset_session(key)
        settings = (t.tc_level, t.abs_level, t.brake_bias, t.engine_map)
        if settings != self._settings:
            self._setting_changed(settings, now)
        self._count_fuel(t)
        self._take_game_delta(t)
        if self._kind is None:
            return
        speed = self._speed(t, now)
        raw = self._position(t)
        if raw is not None:
            self._follow(t, now, raw, speed)

    def _count_fuel(self, t: Telemetry) -> None:
        fuel = t.fuel_amount
        if fuel is None and t.fuel is not None:
            fuel = 100.0 * t.fuel  # percent of the tank
        if fuel is None or not 0.0 <= fuel < BIG:  # NaN and nonsense fail
            return
        lap = self._lap
        if lap is not None and self._fuel is not None and fuel < self._fuel:
            lap.fuel_used += self._fuel - fuel  # fuel going up (a refuel) is not used
        self._fuel = fuel
        if self.fuel_lap:
            self.fuel_laps = fuel / self.fuel_lap

    def _take_game_delta(self, t: Telemetry) -> None:
        """The game's own delta, against its own best lap, where it sends one
        now (a family may send it for one of its games only)."""
        delta = t.delta if self._has_delta else None
        self._game_delta = delta is not None
        if delta is not None:
            self.delta = delta
            best = t.best_lap if t.best_lap and 0.0 < t.best_lap < BIG else self._best_time()
            self.predicted = best + delta if best is not None else None

    def _speed(self, t: Telemetry, now: float) -> float:
        """The speed believed, and the distance driven by it."""
        speed = abs(t.speed)
        if not speed <= MAX_SPEED:  # no move can be explained by it
            speed = 0.0
        moving = self._moving
        if moving is not None:
            self._driven += 0.5 * (speed + moving[1]) * min(MAX_DT, now - moving[0])
        self._moving = (now, speed)
        return speed

    def _position(self, t: Telemetry) -> float | None:
        """Where the car is, as the game gives it (wrapping at the line where
        the game sends it), else as counted; None where unknown or nonsense."""
        kind = self._kind
        if kind == "metres":
            raw = t.lap_distance
        elif kind == "share":
            raw = t.lap_fraction
        elif kind == "distance":
            raw = t.distance
        else:
            raw = self._driven
        if raw is None or not -BIG < raw < (MAX_LAP_M if kind == "metres" else BIG):
            return None
        return raw

    def _follow(self, t: Telemetry, now: float, raw: float, speed: float) -> None:
        """The lap goes on, ends at the line, or starts again where the car was moved to."""
        # Since the position last changed: a game that spreads the car over
        # several packets (F1) moves it in one of them only.
        was = self._was
        dt = now - was[0] if was is not None else 0.0
        if was is None or raw != was[1]:
            self._was = (now, raw)
        counter, lap_time = t.lap, _seconds(t.lap_time)
        was_counter = self._counter
        ended, moved = self._judge(raw, was, dt, speed, counter)
        if (
            lap_time is not None
            and self._lap_time is not None
            and lap_time < self._lap_time - LAP_TIME_BACK
            and not ended
            and counter == self._counter
        ):
            moved = True  # a restart
        self._counter = counter
        lap = self._lap
        if ended:
            self._end_lap(t, now, raw, dt)
            if counter is not None and counter == was_counter and self._lap is not None:
                self._lap.awaiting_counter = True
        elif moved or lap is None:
            self._start_lap(now, raw, from_line=False)
        else:
            self._drive(lap, t, now, raw, lap_time)
        self._lap_time = lap_time
        self._last_lap = _seconds(t.last_lap)

    def _judge(
        self,
        raw: float,
        was: tuple[float, float] | None,
        dt: float,
        speed: float,
        counter: int | None,
    ) -> tuple[bool, bool]:
        """(ended, moved): whether the car crossed the line, by its position
        wrapping or the lap counter moving on (one lap when the two come a
        packet apart), or was moved by more than its speed explains."""
        lap = self._lap
        ended = moved = False
        if was is not None:
            step = raw - was[1]
            kind = self._kind
            scale = 1.0 if kind == "share" else self._longest if self._longest > was[1] else was[1]
            if self._wraps and step < -0.5 * scale:
                if lap is not None and lap.offset:
                    lap.offset = 0.0  # the line, just after the lap counter said so
                elif counter is None or counter == self._counter:
                    ended = True
            elif kind == "share":
                metres = self._track_m
                if metres:
                    moved = abs(step) * metres > speed * dt * JUMP_SLACK + JUMP_EXTRA
                else:
                    moved = abs(step) > SHARE_JUMP
            else:
                moved = abs(step) > speed * dt * JUMP_SLACK + JUMP_EXTRA
        if counter is not None and self._counter is not None and counter != self._counter:
            if counter == self._counter + 1:
                if lap is not None and lap.awaiting_counter:
                    lap.awaiting_counter = False  # the line, just after the position said so
                else:
                    ended = True
            elif counter < self._counter or counter > self._counter + 1:
                moved = True
        return ended, moved

    def _drive(
        self, lap: _Lap, t: Telemetry, now: float, raw: float, lap_time: float | None
    ) -> None:
        position = raw + lap.offset if self._wraps else raw - lap.origin
        lap.position = position
        if t.lap_valid is False or t.in_pit:
            lap.valid = False
        elapsed = lap_time if lap_time is not None else now - lap.started
        times = lap.times
        if times is not None and position >= lap.next_mark:
            # The time at each mark passed, between this packet and the one before.
            was_position, was_elapsed = lap.last
            step = self._step
            mark = lap.next_mark
            span = position - was_position
            while position >= mark:
                if len(times) >= MAX_TIMES:  # longer than any lap: none to keep
                    lap.times, lap.valid = None, False
                    break
                share = (mark - was_position) / span if span > 0 else 1.0
                times.append(was_elapsed + share * (elapsed - was_elapsed))
                mark += step
            lap.next_mark = mark
        lap.last = (position, elapsed)
        if not self._game_delta:
            delta = self.delta = self._delta(lap, position, elapsed)
            best = self.best
            self.predicted = best.time + delta if best is not None and delta is not None else None

    def _delta(self, lap: _Lap, position: float, elapsed: float) -> float | None:
        best = self.best
        if best is None or not lap.from_line or position < 0.0:
            return None
        at = position / best.step
        i = int(at)
        times = best.times
        if i + 1 >= len(times):
            return None
        before = times[i]
        return elapsed - (before + (times[i + 1] - before) * (at - i))

    def _best_time(self) -> float | None:
        return self.best.time if self.best is not None else None

    def _start_lap(self, now: float, raw: float, from_line: bool) -> None:
        lap = _Lap(started=now, from_line=from_line, origin=raw, driven=self._driven)
        if from_line:
            lap.times = []
            if self._wraps:
                scale = 1.0 if self._kind == "share" else max(self._longest, raw)
                if raw > 0.5 * scale:  # the counter moved on before the position wrapped
                    lap.offset = -scale
                lap.first = lap.position = raw + lap.offset
        self._lap = lap
        if not self._game_delta:
            self.delta = self.predicted = None

    def _end_lap(self, t: Telemetry, now: float, raw: float, dt: float) -> None:
        lap = self._lap
        self._start_lap(now, raw, from_line=True)
        last_lap = _seconds(t.last_lap)
        if lap is None:
            return
        if lap.from_line:
            # The line was crossed the new lap's time ago (the game's clock) or now.
            time = lap.last[1] + max(0.0, dt - (_seconds(t.lap_time) or 0.0))
            if last_lap is not None and last_lap != self._last_lap:
                time = last_lap  # the game's own timing, where it has just sent it
        elif last_lap is not None and last_lap != self._last_lap:
            time = last_lap  # the app started mid-lap: only the game knows
        else:
            return
        time = round(time, 3)  # to the millisecond, as games time laps
        length = lap.position - lap.first
        valid = lap.valid and lap.from_line and not t.in_pit and time > 0.0
        if valid:  # only a lap that counts otherwise sets how long a whole lap is
            self._longest = max(self._longest, length)
            valid = length >= SHORT * self._longest
        best = self._best_time()
        self.lap_end = LapEnd(now, time, None if best is None else time - best, valid)
        if not valid:
            return
        if self._kind == "share":
            self._track_m = self._driven - lap.driven
        self._laps.append((time, lap.fuel_used))
        self._fuel_use()
        if best is None or time < best:
            assert lap.times is not None
            self.best = BestLap(time, self._unit(), self._step, tuple(lap.times))
            key = self._key
            if self.store is not None and key is not None and key[0] and key[1]:
                self.store.write(self._source, key[0], key[1], self.best)

    def _fuel_use(self) -> None:
        fastest = min(time for time, _ in self._laps)
        used = [fuel for time, fuel in self._laps if time <= fastest * RACING_PACE and fuel > 0]
        if len(used) >= FUEL_LAPS_LEAST:
            self.fuel_lap = sum(used) / len(used)
        if self.fuel_lap and self._fuel is not None:
            self.fuel_laps = self._fuel / self.fuel_lap

    def _setting_changed(self, settings: tuple[object, ...], now: float) -> None:
        was, self._settings = self._settings, settings
        if was is None:
            return  # the first values seen are no change
        for (name, _, _), old, new in zip(SETTINGS, was, settings, strict=True):
            if new is not None and old is not None and new != old:
                assert isinstance(new, int | float)
                if -BIG < new < BIG:  # NaN and nonsense fail
                    self.setting = SettingChange(now, name, float(new))


def _seconds(value: float | None) -> float | None:
    """A game's time, or None where it is none (negative, NaN, absurd)."""
    return value if value is not None and 0.0 <= value < BIG else None

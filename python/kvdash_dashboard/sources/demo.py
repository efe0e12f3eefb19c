"""The simulated lap: a car driving laps of a made-up circuit, for trying the
dashboard with no game running.

It is a family like the others: its reader packs each moment of the car into
a small record and its decoder unpacks it, so a recording of the demo
replays through the same path as a game's."""

from __future__ import annotations

import math
import random
import struct
from collections.abc import Sequence
from dataclasses import dataclass

from ..telemetry import GameState, Light, Telemetry
from .base import Family, filled

# gear, rpm, max rpm, speed, fuel, lap time, last lap, best lap, delta, lap,
# lights, throttle, car id (ASCII, NUL-padded); a float that is NaN stands
# for "none", an empty car id too. Then what a game gives for race
# information: the distance into the lap, the tank in litres, the track's id
# (recordings made before these end at the car id, and still play).
_FIRST = struct.Struct("<bddddddddHId16s")
_RACE = struct.Struct("<dd16s")
_RECORD = struct.Struct(_FIRST.format + _RACE.format[1:])
_NONE = math.nan
TRACK_ID = "kv-ring"


@dataclass(frozen=True)
class Car:
    car_id: str = "kv-gt"  # what the demo reports as Telemetry.car
    top_speeds: tuple[float, ...] = (16.7, 25.0, 33.3, 43.0, 54.0, 66.7)  # m/s at redline per gear
    redline: float = 8000.0
    shift_at: float = 7800.0  # the simulated driver shifts a little after the lights flash
    downshift_below: float = 4200.0
    idle: float = 1000.0
    launch: float = 4500.0
    braking: float = 13.0  # m/s²
    burn: float = 0.00045  # tank share per second at full throttle
    tank: float = 60.0  # litres
    # The engine's torque curve: (rpm, share of peak torque) points, none past
    # the redline. Full throttle gives pull * torque * the gear's rpm per
    # speed (against first gear's) minus drag * speed², so each gear has a
    # best shift point, as --learn finds.
    torque: tuple[tuple[float, float], ...] = (
        (1000.0, 0.5),
        (3000.0, 0.78),
        (5200.0, 1.0),
        (6500.0, 0.93),
        (8000.0, 0.62),
    )
    pull: float = 10.0  # m/s² at peak torque in first gear
    drag: float = 4e-4  # m/s² per (m/s)²

    def torque_at(self, rpm: float) -> float:
        """The torque curve, straight between its points; none past the redline."""
        points = self.torque
        if rpm >= self.redline or not points:
            return 0.0
        if rpm <= points[0][0]:
            return points[0][1]
        for (r0, t0), (r1, t1) in zip(points, points[1:], strict=False):
            if rpm <= r1:
                return t0 + (t1 - t0) * (rpm - r0) / (r1 - r0)
        return points[-1][1]

    def ratio(self, gear: int) -> float:
        """rpm per m/s in this gear."""
        return self.redline / self.top_speeds[gear - 1]


@dataclass(frozen=True)
class Segment:
    straight: float  # m
    corner_speed: float  # m/s
    corner: float  # m


TRACK: tuple[Segment, ...] = (
    Segment(420.0, 24.0, 90.0),
    Segment(520.0, 38.0, 140.0),
    Segment(260.0, 19.0, 70.0),
    Segment(760.0, 46.0, 180.0),
    Segment(230.0, 17.0, 60.0),
    Segment(480.0, 31.0, 110.0),
)


@dataclass
class _CarState:
    fuel: float
    gear: int = 0
    rpm: float = 1000.0
    speed: float = 0.0
    distance: float = 0.0
    lap_time: float = 0.0
    lap: int = 0
    lights: Light = Light.NONE
    throttle: float = 0.0
    last_lap: float | None = None
    best_lap: float | None = None


class SimulatedLap:
    """Stepped at a fixed rate, so the same lap comes out at any frame rate.
    Lap 1 starts in the pit box, in neutral with the pit limiter on; each
    lap's corner speeds vary a little from the reference lap, which gives a
    delta."""

    STEP = 1.0 / 240.0
    PIT_STOP = 1.0  # s in neutral before the launch

    def __init__(self, car: Car = Car(), track: Sequence[Segment] = TRACK, seed: int = 7) -> None:
        self.car = car
        self.track = tuple(track)
        self.length = sum(s.straight + s.corner for s in self.track)
        self._random = random.Random(seed)
        self._reference = self._reference_lap()
        self._clock = 0.0
        self._state = _CarState(fuel=0.62, lights=Light.PIT_LIMITER)
        self._scale = self._lap_scale()

    def advance(self, seconds: float) -> Telemetry:
        """The car after driving until `seconds` after the start."""
        while self._clock + self.STEP <= seconds:
            lap = self._state.lap
            self._step(self._state, self._scale)
            if self._state.lap != lap:
                self._scale = self._lap_scale()
            self._clock += self.STEP
        return self._telemetry()

    def _lap_scale(self) -> list[float]:
        return [self._random.uniform(0.96, 1.03) for _ in self.track]

    def _reference_lap(self) -> list[float]:
        """Time at each metre of a lap driven at the nominal corner speeds."""
        state = _CarState(fuel=1.0)
        times = [0.0]
        scale = [1.0] * len(self.track)
        while state.lap == 0:
            self._step(state, scale)
            while len(times) <= int(state.distance) and state.lap == 0:
                times.append(state.lap_time)
        return times

    def _telemetry(self) -> Telemetry:
        s = self._state
        metre = min(int(s.distance), len(self._reference) - 1)
        delta = s.lap_time - self._reference[metre] if s.lap > 0 or s.distance > 1 else None
        return Telemetry(
            gear=s.gear,
            rpm=s.rpm,
            max_rpm=self.car.redline,
            speed=s.speed,
            fuel=s.fuel,
            lap_time=s.lap_time,
            last_lap=s.last_lap,
            best_lap=s.best_lap,
            delta=delta,
            lap=s.lap + 1,
            lights=s.lights,
            state=GameState.DRIVING,
            game="simulated lap",
            car=self.car.car_id,
            throttle=s.throttle,
            fuel_amount=s.fuel * self.car.tank,
            fuel_capacity=self.car.tank,
            lap_distance=s.distance,
            track=TRACK_ID,
        )

    def _hold_speed(self, state: _CarState, scale: Sequence[float]) -> float:
        """The corner speed while in a corner; no limit on a straight."""
        d = state.distance
        for i, seg in enumerate(self.track):
            if seg.straight <= d < seg.straight + seg.corner:
                return seg.corner_speed * scale[i]
            d -= seg.straight + seg.corner
        return math.inf

    def _next_corner(self, state: _CarState, scale: Sequence[float]) -> tuple[float, float]:
        """The next corner's speed and the distance to it (none when in a corner)."""
        d = state.distance
        for i, seg in enumerate(self.track):
            if d < seg.straight:
                return seg.corner_speed * scale[i], seg.straight - d
            d -= seg.straight + seg.corner
        return math.inf, math.inf

    def _step(self, s: _CarState, scale: Sequence[float]) -> None:
        car, dt = self.car, self.STEP
        s.lap_time += dt
        s.lights = Light.NONE
        if s.lap == 0 and s.lap_time < self.PIT_STOP:
            # In the pit box: neutral, blipping the throttle.
            s.gear = 0
            s.rpm = car.idle + 3000.0 * max(0.0, math.sin(s.lap_time * 9.0))
            s.lights = Light.PIT_LIMITER
            return
        if s.gear == 0:
            s.gear = 1
        hold = self._hold_speed(s, scale)
        corner_speed, distance = self._next_corner(s, scale)
        braking_distance = (s.speed**2 - corner_speed**2) / (2 * car.braking)
        throttle = 0.0
        s.throttle = 0.0
        if s.speed > hold:
            s.speed = max(hold, s.speed - car.braking * dt)
        elif corner_speed < s.speed and distance <= braking_distance + s.speed * dt:
            s.speed = max(corner_speed, s.speed - car.braking * dt)
            if s.speed > 30.0:
                s.lights |= Light.ABS
        elif s.speed < hold:
            throttle = s.throttle = 1.0
            engine = max(car.launch if s.gear == 1 else 0.0, car.ratio(s.gear) * s.speed)
            pull = car.pull * car.torque_at(engine) * car.ratio(s.gear) / car.ratio(1)
            accel = pull - car.drag * s.speed**2
            s.speed = min(s.speed + accel * dt, hold)
            if s.gear <= 2 and s.speed < 20.0:
                s.lights |= Light.TC
        s.fuel = max(0.0, s.fuel - car.burn * (0.15 + throttle) * dt)
        s.distance += s.speed * dt
        # Gears: up past the shift point, down when the revs fall.
        top = car.top_speeds
        rpm = car.redline * s.speed / top[s.gear - 1]
        if rpm >= car.shift_at and s.gear < len(top):
            s.gear += 1
        elif rpm < car.downshift_below and s.gear > 1 and throttle == 0.0:
            s.gear -= 1
        rpm = car.redline * s.speed / top[s.gear - 1]
        if s.gear == 1 and throttle > 0:
            rpm = max(rpm, car.launch)  # slipping the clutch off the line
        s.rpm = max(car.idle, min(rpm, car.redline))
        if s.distance >= self.length:
            s.distance -= self.length
            s.lap += 1
            s.last_lap = s.lap_time
            s.best_lap = s.lap_time if s.best_lap is None else min(s.best_lap, s.lap_time)
            s.lap_time = 0.0


def _or_nan(value: float | None) -> float:
    return _NONE if value is None else value


def pack(t: Telemetry) -> bytes:
    """The demo's record of one moment."""
    return _RECORD.pack(
        max(-1, min(t.gear, 10)),
        t.rpm,
        _or_nan(t.max_rpm),
        t.speed,
        _or_nan(t.fuel),
        _or_nan(t.lap_time),
        _or_nan(t.last_lap),
        _or_nan(t.best_lap),
        _or_nan(t.delta),
        min(t.lap or 0, 0xFFFF),
        int(t.lights),
        _or_nan(t.throttle),
        (t.car or "").encode("ascii", "replace")[:16],
        _or_nan(t.lap_distance),
        _or_nan(t.fuel_capacity),
        (t.track or "").encode("ascii", "replace")[:16],
    )


def _text(raw: bytes) -> str | None:
    text = raw.rstrip(b"\0").decode("ascii", "replace")
    return text if text.isprintable() and text else None


def decode(data: bytes) -> Telemetry | None:
    if len(data) not in (_FIRST.size, _RECORD.size):
        return None
    (gear, rpm, max_rpm, speed, fuel, lap_time, last, best, delta, lap, lights, throttle, car) = (
        _FIRST.unpack_from(data)
    )
    lap_distance, tank, track = (
        _RACE.unpack_from(data, _FIRST.size) if len(data) > _FIRST.size else (_NONE, _NONE, b"")
    )
    if not (math.isfinite(rpm) and math.isfinite(speed)) or rpm < 0 or not -1 <= gear <= 10:
        return None

    def maybe(x: float) -> float | None:
        return x if math.isfinite(x) else None

    fuel_share = maybe(fuel)
    pedal = maybe(throttle)
    capacity = maybe(tank)
    if capacity is not None and not 0 < capacity < 1e4:
        capacity = None
    fuel_share = None if fuel_share is None else min(1.0, max(0.0, fuel_share))
    metres = maybe(lap_distance)
    return Telemetry(
        gear=gear,
        rpm=rpm,
        max_rpm=maybe(max_rpm),
        speed=abs(speed),
        fuel=fuel_share,
        lap_time=maybe(lap_time),
        last_lap=maybe(last),
        best_lap=maybe(best),
        delta=maybe(delta),
        lap=lap or None,
        lights=Light(lights & _ALL_LIGHTS),
        state=GameState.DRIVING,
        game="simulated lap",
        car=_text(car),
        throttle=None if pedal is None else min(1.0, max(0.0, pedal)),
        fuel_amount=None if capacity is None or fuel_share is None else fuel_share * capacity,
        fuel_capacity=capacity,
        lap_distance=metres if metres is not None and metres >= 0 else None,
        track=_text(track),
    )


_ALL_LIGHTS = sum(int(light) for light in Light.__members__.values())


class Decoder:
    def decode(self, data: bytes) -> Telemetry | None:
        return decode(data)


class DemoReader:
    """Drives the simulated lap in step with the clock."""

    RATE = 120.0  # moments a second: a game's usual rate

    def __init__(self, _folder: str | None = None) -> None:
        self._lap = SimulatedLap()
        self._start: float | None = None
        self.next_poll = 0.0
        self.problem: str | None = None

    def poll(self, now: float) -> bytes | None:
        if self._start is None:
            self._start = now
        self.next_poll = now + 1.0 / self.RATE
        return pack(self._lap.advance(now - self._start))

    def close(self) -> None:
        pass


FAMILY = Family(
    name="demo",
    title="simulated lap",
    fields=filled(
        "gear rpm max_rpm speed fuel lap_time last_lap best_lap delta lap lights state game car "
        "throttle fuel_amount fuel_capacity lap_distance track"
    ),
    decoder=Decoder,
    reader=DemoReader,
    games="needs no game",
)

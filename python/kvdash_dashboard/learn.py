"""Shift points learned from a recording of the user's own laps.

At full throttle the force at the wheels is the engine's torque times the
gear's ratio (its rpm per road speed, up to a constant), less drag that
depends on the speed alone. So every gear's samples trace the one torque
curve: acceleration = torque(rpm) * ratio - drag(speed), fitted by least
squares. Drivers hold each gear to the limiter, so two gears rarely share a
road speed; the curve does not need them to. A gear's best shift point is
then where the next gear, at the same road speed, pulls harder (drag is the
same in both, so it drops out)."""

from __future__ import annotations

import json
import math
import statistics
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field

from .inputs import Channel, channel_for
from .record import read_recording

FULL_THROTTLE = 0.97
MIN_SPEED = 3.0  # m/s: below it the ratio is unsure (clutch, wheelspin)
MAX_RPM = 25000.0  # no car engine revs higher: a sample beyond is nonsense
GAP = 0.15  # s: a longer silence ends a run of samples
WINDOW = 0.3  # s: the speed's slope is taken over this much of a run
RATIO_SLACK = 0.03  # a sample whose rpm per speed strays further from its gear's slips
LIMITER = 0.995  # of the highest rpm: at the limiter the engine is cut, not pulling
MIN_SAMPLES = 30  # full-throttle samples a gear needs to be judged
KNOT = 250.0  # rpm between the torque curve's points
SMOOTH = 0.3  # how strongly the curve is kept from bending, against the data
STEP = 5.0  # rpm: how finely a shift point is looked for


@dataclass(frozen=True, slots=True)
class Sample:
    time: float
    gear: int
    rpm: float
    speed: float
    throttle: float


@dataclass
class CarLog:
    source: str
    car: str | None
    samples: list[Sample] = field(default_factory=list)
    top_rpm: float = 0.0


@dataclass(frozen=True, slots=True)
class Point:
    """One full-throttle moment with its acceleration."""

    gear: int
    rpm: float
    speed: float
    accel: float


@dataclass(frozen=True)
class Learned:
    source: str
    car: str | None
    rpm_limit: float
    used: dict[int, int]  # full-throttle samples used, by gear
    shift: dict[int, float | None]  # by gear; None: not enough data


# ---------------------------------------------------------------- reading


def read_cars(path: str) -> list[CarLog]:
    """Every car's samples in a recording, in order. Raises RecordingError or OSError."""
    channels: dict[str, Channel] = {}
    cars: dict[tuple[str, str | None], CarLog] = {}
    for arrival in read_recording(path):
        channel = channels.get(arrival.channel)
        if channel is None:
            channel = channels[arrival.channel] = channel_for(arrival.channel)
        heard = channel.decode(arrival.data)
        if heard is None:
            continue
        t = heard.telemetry
        key = (heard.family.name, t.car)
        log = cars.get(key)
        if log is None:
            log = cars[key] = CarLog(heard.family.name, t.car)
        if math.isfinite(t.rpm) and t.rpm <= MAX_RPM:
            log.top_rpm = max(log.top_rpm, t.rpm)
        if t.throttle is None:
            continue
        sample = Sample(arrival.time, t.gear, t.rpm, t.speed, t.throttle)
        last = log.samples[-1] if log.samples else None
        if last is not None and (last.gear, last.rpm, last.speed) == (t.gear, t.rpm, t.speed):
            continue  # the same moment again, from another packet of the game
        log.samples.append(sample)
    return list(cars.values())


# ---------------------------------------------------------------- the physics


def runs(samples: Iterable[Sample]) -> Iterator[list[Sample]]:
    """Stretches at full throttle in one forward gear."""
    run: list[Sample] = []
    for s in samples:
        full = (
            s.throttle >= FULL_THROTTLE
            and s.gear >= 1
            and s.speed >= MIN_SPEED
            and 0 < s.rpm <= MAX_RPM
        )
        joins = full and run and s.gear == run[-1].gear and s.time - run[-1].time <= GAP
        if run and not joins:
            yield run
            run = []
        if full:
            run.append(s)
    if run:
        yield run


def slopes(run: list[Sample]) -> Iterator[Point]:
    """Each sample's acceleration: the speed's least-squares slope over the
    window around it. The run's ends (a shift, a lift) are left out."""
    half = WINDOW / 2
    first = last = 0  # the window: run[first:last]
    for s in run:
        if s.time - run[0].time < half or run[-1].time - s.time < half:
            continue
        while run[first].time < s.time - half:
            first += 1
        while last < len(run) and run[last].time <= s.time + half:
            last += 1
        window = run[first:last]
        if len(window) < 4:
            continue
        mt = statistics.fmean(w.time for w in window)
        mv = statistics.fmean(w.speed for w in window)
        spread = sum((w.time - mt) ** 2 for w in window)
        accel = sum((w.time - mt) * (w.speed - mv) for w in window) / spread
        yield Point(s.gear, s.rpm, s.speed, accel)


def ratios(points: list[Point]) -> dict[int, float]:
    """Each gear's rpm per m/s."""
    by_gear: dict[int, list[float]] = {}
    for p in points:
        by_gear.setdefault(p.gear, []).append(p.rpm / p.speed)
    return {g: statistics.median(r) for g, r in by_gear.items()}


class TorqueCurve:
    """Torque (to a scale) at points KNOT rpm apart, straight between them,
    with drag c0 + c2 * speed², fitted to acceleration = torque * ratio - drag."""

    def __init__(self, points: list[Point], ratio: dict[int, float]) -> None:
        self.low = min(p.rpm for p in points)
        self.high = max(p.rpm for p in points)
        self.base = math.floor(self.low / KNOT) * KNOT
        knots = self.knots = max(2, int(math.ceil((self.high - self.base) / KNOT)) + 1)
        r_scale = statistics.fmean(ratio.values())
        v_scale = max(p.speed for p in points) ** 2
        n = knots + 2
        a = [[0.0] * n for _ in range(n)]
        b = [0.0] * n
        for p in points:
            row: dict[int, float] = {}
            j, w = self._where(p.rpm)
            r = ratio[p.gear] / r_scale
            row[j] = r * (1 - w)
            row[j + 1] = r * w
            row[knots] = -1.0
            row[knots + 1] = -(p.speed**2) / v_scale
            _accumulate(a, b, row, p.accel)
        # Keep the curve from bending more than the data asks, and unknown
        # drag at nought rather than free.
        weight = SMOOTH * math.sqrt(len(points) / knots)
        for j in range(1, knots - 1):
            _accumulate(a, b, {j - 1: weight, j: -2 * weight, j + 1: weight}, 0.0)
        for k in (knots, knots + 1):
            _accumulate(a, b, {k: 1e-3}, 0.0)
        solution = _solve(a, b)
        self.torque = [t / r_scale for t in solution[:knots]]

    def _where(self, rpm: float) -> tuple[int, float]:
        """The point below rpm, and how far rpm is towards the next."""
        x = (rpm - self.base) / KNOT
        j = max(0, min(int(x), self.knots - 2))
        return j, x - j

    def __call__(self, rpm: float) -> float:
        j, w = self._where(rpm)
        return self.torque[j] * (1 - w) + self.torque[j + 1] * w


def _accumulate(a: list[list[float]], b: list[float], row: dict[int, float], y: float) -> None:
    """Adds one equation to the normal equations."""
    for i, x in row.items():
        b[i] += x * y
        for k, z in row.items():
            a[i][k] += x * z


def _solve(a: list[list[float]], b: list[float]) -> list[float]:
    """Gaussian elimination with partial pivoting."""
    n = len(b)
    m = [row[:] + [b[i]] for i, row in enumerate(a)]
    for c in range(n):
        pivot = max(range(c, n), key=lambda r: abs(m[r][c]))
        m[c], m[pivot] = m[pivot], m[c]
        if m[c][c] == 0:
            continue
        for r in range(c + 1, n):
            f = m[r][c] / m[c][c]
            if f:
                for k in range(c, n + 1):
                    m[r][k] -= f * m[c][k]
    x = [0.0] * n
    for c in reversed(range(n)):
        s = m[c][n] - sum(m[c][k] * x[k] for k in range(c + 1, n))
        x[c] = s / m[c][c] if m[c][c] else 0.0
    return x


def shift_point(curve: TorqueCurve, here: float, there: float, limit: float) -> float | None:
    """The rpm in a gear of ratio here where the next (ratio there) pulls
    harder at the same speed; the limit where it never does; None where the
    next gear already pulls harder at the lowest rpm the curve knows."""
    drop = there / here
    x = max(curve.low, curve.low / drop)
    top = min(limit, curve.high)
    previous: tuple[float, float] | None = None
    while x <= top:
        gain = curve(x * drop) * there - curve(x) * here
        if gain > 0:
            if previous is None:
                return None
            px, pg = previous
            return px + (x - px) * (-pg) / (gain - pg)
        previous = (x, gain)
        x += STEP
    return limit


def learn_car(log: CarLog) -> Learned:
    limit = log.top_rpm
    points = [p for run in runs(log.samples) for p in slopes(run)]
    points = [p for p in points if p.rpm < LIMITER * limit]
    ratio = ratios(points)
    points = [p for p in points if abs(p.rpm / p.speed / ratio[p.gear] - 1) <= RATIO_SLACK]
    used: dict[int, int] = {}
    for p in points:
        used[p.gear] = used.get(p.gear, 0) + 1
    gears = sorted(used)
    judged = {g for g in gears if used[g] >= MIN_SAMPLES}
    shift: dict[int, float | None] = {g: None for g in range(1, max(gears, default=0) + 1)}
    if len(judged) >= 2:
        curve = TorqueCurve([p for p in points if p.gear in judged], ratio)
        for g in sorted(judged):
            if g + 1 in judged:
                shift[g] = shift_point(curve, ratio[g], ratio[g + 1], limit)
    if gears and max(gears) in judged:
        shift[max(gears)] = limit  # nothing to change up to
    return Learned(log.source, log.car, limit, used, shift)


# ---------------------------------------------------------------- the report


def table(learned: Learned) -> str:
    """A table to paste into the settings file, with what it rests on."""
    counts = []
    for gear, point in learned.shift.items():
        note = "" if point is not None else " (not enough data)"
        counts.append(f"{gear}: {learned.used.get(gear, 0)}{note}")
    lines = ["# full-throttle samples used per gear: " + (", ".join(counts) or "none")]
    if not counts:
        lines.append(f"# (nothing to learn from: {learned.source} sent no throttle, or never full)")
    if learned.car is None:
        lines.append(f"# {learned.source} names no car: these are for the game")
        lines.append(f"[game.{learned.source}]")
    else:
        lines.append(f"[car.{json.dumps(learned.source + ':' + learned.car)}]")
    known = [p for p in learned.shift.values() if p is not None]
    if known:
        # A gear not judged gets the rev limit, so the list stays one per gear.
        points = [round(p if p is not None else learned.rpm_limit) for p in learned.shift.values()]
        lines.append(f"shift = [{', '.join(map(str, points))}]")
    if learned.rpm_limit >= 1:
        lines.append(f"rpm_limit = {round(learned.rpm_limit)}")
    return "\n".join(lines)


def learn(path: str) -> str:
    """What --learn prints for a recording. Raises RecordingError or OSError."""
    cars = [learn_car(log) for log in read_cars(path)]
    if not cars:
        return "# no telemetry in this recording"
    return "\n\n".join(table(c) for c in cars)

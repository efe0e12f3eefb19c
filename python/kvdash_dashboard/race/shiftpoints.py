"""Shift points learned from a recording of the user's own laps.

At full throttle the force at the wheels is the engine's torque times the
gear's ratio (its rpm per road speed, up to a constant), less drag that
depends on the speed alone. So every gear's samples trace the one torque
curve: acceleration = torque(rpm) * ratio - drag(speed), fitted by least
squares. Drivers hold each gear to the limiter, so two gears rarely share a
road speed; the curve does not need them to. A gear's best shift point is
then where the next gear, at the same road speed, pulls harder (drag is the
same in both, so it drops out).

Memory stays bounded however long the recording: it is read twice, first
for each gear's ratio and the rev limit (counts in ratio bins), then for the
fit (sums per gear and rpm band, which the least squares need, rather than
the samples)."""

from __future__ import annotations

import json
import math
import statistics
from array import array
from collections import deque
from collections.abc import Iterator
from dataclasses import dataclass, field

from ..sources.channels import Channel, channel_for
from ..sources.recording import Arrival, RecordingDamaged, read_recording

FULL_THROTTLE = 0.97
MIN_SPEED = 3.0  # m/s: below it the ratio is unsure (clutch, wheelspin)
MAX_SPEED = 200.0  # m/s: no car is faster; a sample beyond is nonsense
MIN_RPM = 100.0  # no engine pulls at full throttle below it
MAX_RPM = 25000.0  # no car engine revs higher: a sample beyond is nonsense
MAX_GEAR = 30  # the most forward gears a settings file takes
MAX_ACCEL = 100.0  # m/s²: ten g; a slope beyond is a glitch of the data
GAP = 0.15  # s: a longer silence ends a run of samples
WINDOW = 0.3  # s: the speed's slope is taken over this much of a run
MAX_WINDOW = 512  # samples kept for one slope, however densely they came
RATIO_SLACK = 0.03  # a sample whose rpm per speed strays further from its gear's slips
LIMITER = 0.995  # of the highest rpm: at the limiter the engine is cut, not pulling
MIN_SAMPLES = 30  # full-throttle samples a gear needs to be judged
KNOT = 250.0  # rpm between the torque curve's points
KNOTS = int(MAX_RPM / KNOT) + 2
SMOOTH = 0.3  # how strongly the curve is kept from bending, against the data
STEP = 5.0  # rpm: how finely a shift point is looked for
MAX_CARS = 64  # cars learnt from one recording; more are left out, and said
MAX_CHANNELS = 64  # channels decoded; a recording naming more is not one of ours
# Ratios (rpm per m/s) are counted in bins of 0.5 %, from the lowest possible up.
RATIO_BIN = 0.005
RATIO_LOW = math.log(MIN_RPM / MAX_SPEED)
RATIO_BINS = int((math.log(MAX_RPM / MIN_SPEED) - RATIO_LOW) / RATIO_BIN) + 1
# The sums kept per gear and rpm band: see Fit.add.
UU, UW, WW, U, W, UV, WV, V, VV, UA, WA, A, VA, N = range(14)
SUMS = 14


@dataclass(frozen=True, slots=True)
class Sample:
    time: float
    gear: int
    rpm: float
    speed: float
    throttle: float


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


def full_throttle(s: Sample) -> bool:
    return (
        s.throttle >= FULL_THROTTLE
        and 1 <= s.gear <= MAX_GEAR
        and MIN_SPEED <= s.speed <= MAX_SPEED
        and MIN_RPM <= s.rpm <= MAX_RPM
    )


class Slopes:
    """Full-throttle runs in one gear, a sample at a time: each sample's
    acceleration, the speed's least-squares slope over the window around
    it, once the window is complete. A run's ends (a shift, a lift) are
    left out. Keeps the window only."""

    def __init__(self) -> None:
        self.window: deque[Sample] = deque(maxlen=MAX_WINDOW)
        self.waiting: deque[Sample] = deque(maxlen=MAX_WINDOW)  # slope not yet known
        self.started = 0.0  # when the run began

    def add(self, s: Sample) -> Iterator[Point]:
        """Points whose windows s completes; s not at full throttle ends the run."""
        full = full_throttle(s)
        last = self.window[-1] if self.window else None
        if last is not None and not (full and s.gear == last.gear and s.time - last.time <= GAP):
            yield from self.end()
        if not full:
            return
        half = WINDOW / 2
        if not self.window:
            self.started = s.time
        self.window.append(s)
        while self.waiting and s.time > self.waiting[0].time + half:
            yield from self._slope(self.waiting.popleft())
        if s.time - self.started >= half:
            self.waiting.append(s)

    def end(self) -> Iterator[Point]:
        """The run ends: what is far enough from its end gets its slope."""
        if self.window:
            last = self.window[-1].time
            for s in self.waiting:
                if last - s.time >= WINDOW / 2:
                    yield from self._slope(s)
        self.window.clear()
        self.waiting.clear()

    def _slope(self, s: Sample) -> Iterator[Point]:
        half = WINDOW / 2
        while self.window and self.window[0].time < s.time - half:
            self.window.popleft()
        window = [w for w in self.window if w.time <= s.time + half]
        if len(window) < 4:
            return
        mt = statistics.fmean(w.time for w in window)
        mv = statistics.fmean(w.speed for w in window)
        spread = sum((w.time - mt) ** 2 for w in window)
        if spread <= 0:
            return
        accel = sum((w.time - mt) * (w.speed - mv) for w in window) / spread
        if math.isfinite(accel) and abs(accel) <= MAX_ACCEL:
            yield Point(s.gear, s.rpm, s.speed, accel)


@dataclass
class CarLog:
    """What one pass keeps of a car."""

    source: str
    car: str | None
    top_rpm: float = 0.0  # in a forward gear
    last: tuple[int, float, float] | None = None  # gear, rpm, speed
    slopes: Slopes = field(default_factory=Slopes)


# ---------------------------------------------------------------- the physics


class Ratios:
    """Each gear's rpm per m/s: the median of its full-throttle samples,
    counted in bins."""

    def __init__(self) -> None:
        self.counts: dict[int, array[int]] = {}

    def add(self, s: Sample) -> None:
        if not full_throttle(s):
            return
        counts = self.counts.get(s.gear)
        if counts is None:
            counts = self.counts[s.gear] = array("q", bytes(8 * RATIO_BINS))
        at = int((math.log(s.rpm / s.speed) - RATIO_LOW) / RATIO_BIN)
        counts[max(0, min(at, RATIO_BINS - 1))] += 1

    def medians(self) -> dict[int, float]:
        out = {}
        for gear, counts in self.counts.items():
            half, seen = sum(counts) / 2, 0
            for at, n in enumerate(counts):
                seen += n
                if seen >= half:
                    out[gear] = math.exp(RATIO_LOW + (at + 0.5) * RATIO_BIN)
                    break
        return out


class Fit:
    """What the least squares need of the points, summed per gear and rpm
    band (KNOT wide): acceleration = torque(rpm) * ratio - drag(speed), the
    torque straight between the bands' edges, drag c0 + c2 * speed²."""

    def __init__(self) -> None:
        self.sums: dict[int, array[float]] = {}
        self.used: dict[int, int] = {}
        self.span: dict[int, tuple[float, float, float]] = {}  # lowest, highest rpm, top speed

    def add(self, p: Point) -> None:
        sums = self.sums.get(p.gear)
        if sums is None:
            sums = self.sums[p.gear] = array("d", bytes(8 * SUMS * KNOTS))
        x = p.rpm / KNOT
        j = int(x)
        w = x - j
        u = 1 - w
        v = p.speed**2
        a = p.accel
        base = j * SUMS
        for k, value in enumerate(
            (u * u, u * w, w * w, u, w, u * v, w * v, v, v * v, u * a, w * a, a, v * a, 1.0)
        ):
            sums[base + k] += value
        self.used[p.gear] = self.used.get(p.gear, 0) + 1
        low, high, top = self.span.get(p.gear, (p.rpm, p.rpm, p.speed))
        self.span[p.gear] = (min(low, p.rpm), max(high, p.rpm), max(top, p.speed))

    def curve(self, gears: set[int], ratio: dict[int, float]) -> TorqueCurve:
        low = min(self.span[g][0] for g in gears)
        high = max(self.span[g][1] for g in gears)
        first = int(low / KNOT)
        knots = max(2, int(high / KNOT) - first + 2)
        r_scale = statistics.fmean(ratio.values())
        v_scale = max(self.span[g][2] for g in gears) ** 2
        n = knots + 2
        c, d = knots, knots + 1  # the drag's terms
        m = [[0.0] * n for _ in range(n)]
        b = [0.0] * n
        count = 0
        for gear in gears:
            sums = self.sums[gear]
            r = ratio[gear] / r_scale
            for j in range(KNOTS):
                s = sums[j * SUMS : (j + 1) * SUMS]
                if not s[N]:
                    continue
                count += int(s[N])
                i, k = j - first, j - first + 1
                m[i][i] += r * r * s[UU]
                m[i][k] += r * r * s[UW]
                m[k][i] += r * r * s[UW]
                m[k][k] += r * r * s[WW]
                for row, lin, sq in ((i, s[U], s[UV]), (k, s[W], s[WV])):
                    m[row][c] -= r * lin
                    m[c][row] -= r * lin
                    m[row][d] -= r * sq / v_scale
                    m[d][row] -= r * sq / v_scale
                m[c][c] += s[N]
                m[c][d] += s[V] / v_scale
                m[d][c] += s[V] / v_scale
                m[d][d] += s[VV] / v_scale**2
                b[i] += r * s[UA]
                b[k] += r * s[WA]
                b[c] -= s[A]
                b[d] -= s[VA] / v_scale
        # Keep the curve from bending more than the data asks, and unknown
        # drag at nought rather than free.
        weight = SMOOTH * math.sqrt(count / knots)
        for j in range(1, knots - 1):
            _accumulate(m, b, {j - 1: weight, j: -2 * weight, j + 1: weight}, 0.0)
        for k in (c, d):
            _accumulate(m, b, {k: 1e-3}, 0.0)
        solution = _solve(m, b)
        torque = [t / r_scale for t in solution[:knots]]
        return TorqueCurve(first * KNOT, torque, low, high)


class TorqueCurve:
    """Torque (to a scale) at points KNOT rpm apart from base, straight between them."""

    def __init__(self, base: float, torque: list[float], low: float, high: float) -> None:
        self.base, self.torque, self.low, self.high = base, torque, low, high
        self.knots = len(torque)

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


def learn_car(log: CarLog, ratio: dict[int, float], fit: Fit) -> Learned:
    limit = log.top_rpm
    used = fit.used
    gears = sorted(used)
    judged = {g for g in gears if used[g] >= MIN_SAMPLES}
    shift: dict[int, float | None] = {g: None for g in range(1, max(gears, default=0) + 1)}
    if len(judged) >= 2:
        curve = fit.curve(judged, ratio)
        for g in sorted(judged):
            if g + 1 in judged:
                point = shift_point(curve, ratio[g], ratio[g + 1], limit)
                shift[g] = point if point is not None and math.isfinite(point) else None
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
        # No table either: the highest rpm seen off full throttle is no rev limit.
        lines.append(f"# (nothing to learn from: {learned.source} sent no throttle, or never full)")
        return "\n".join(lines)
    if len(learned.used) == 1:
        gear = next(iter(learned.used))
        lines.append(f"# only gear {gear} at full throttle: a shift point needs the next gear too")
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


class _Pass:
    """One reading of the recording: every car's samples, in order, each new
    moment once. Damage after its start ends the reading there (kept in
    `cut`); cars beyond MAX_CARS are left out (`crowded`)."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.cut: str | None = None
        self.crowded = False
        self.cars: dict[tuple[str, str | None], CarLog] = {}

    def _arrivals(self) -> Iterator[Arrival]:
        records = read_recording(self.path)
        while True:
            try:
                arrival = next(records, None)
            except RecordingDamaged as error:
                self.cut = str(error)
                return
            if arrival is None:
                return
            yield arrival

    def moments(self) -> Iterator[tuple[CarLog, Sample]]:
        channels: dict[str, Channel] = {}
        for arrival in self._arrivals():
            channel = channels.get(arrival.channel)
            if channel is None:
                if len(channels) >= MAX_CHANNELS:
                    continue
                channel = channels[arrival.channel] = channel_for(arrival.channel)
            heard = channel.decode(arrival.data)
            if heard is None:
                continue
            t = heard.telemetry
            key = (heard.family.name, t.car)
            log = self.cars.get(key)
            if log is None:
                if len(self.cars) >= MAX_CARS:
                    self.crowded = True
                    continue
                log = self.cars[key] = CarLog(heard.family.name, t.car)
            if t.gear >= 1 and math.isfinite(t.rpm) and t.rpm <= MAX_RPM:
                log.top_rpm = max(log.top_rpm, t.rpm)
            if t.throttle is None:
                continue
            now = (t.gear, t.rpm, t.speed)
            if now == log.last:
                continue  # the same moment again, from another packet of the game
            log.last = now
            yield log, Sample(arrival.time, t.gear, t.rpm, t.speed, t.throttle)


def learn(path: str) -> str:
    """What --learn prints for a recording. Raises RecordingError (not a
    recording) or OSError; a recording cut short is learnt up to the cut,
    and said."""
    first = _Pass(path)
    ratios: dict[tuple[str, str | None], Ratios] = {}
    for log, sample in first.moments():
        ratios.setdefault((log.source, log.car), Ratios()).add(sample)
    cars = first.cars
    medians = {key: r.medians() for key, r in ratios.items()}
    fits = {key: Fit() for key in cars}

    def fit(log: CarLog, found: Iterator[Point]) -> None:
        key = (log.source, log.car)
        if key not in cars:  # the file changed since the first reading
            return
        limit, ratio = cars[key].top_rpm, medians.get(key, {})
        for p in found:
            r = ratio.get(p.gear)
            if r and p.rpm < LIMITER * limit and abs(p.rpm / p.speed / r - 1) <= RATIO_SLACK:
                fits[key].add(p)

    second = _Pass(path)
    for log, sample in second.moments():
        fit(log, log.slopes.add(sample))
    for log in second.cars.values():  # the runs still open at the end
        fit(log, log.slopes.end())
    notes = []
    if first.cut is not None:
        notes.append(f"# {first.cut}: learnt from what is whole before it")
    if first.crowded:
        notes.append(f"# more than {MAX_CARS} cars: only the first {MAX_CARS} are learnt")
    if not cars:
        return "\n".join([*notes, "# no telemetry in this recording"])
    learned = [learn_car(log, medians.get(key, {}), fits[key]) for key, log in cars.items()]
    return "\n\n".join(["\n".join(notes)] * bool(notes) + [table(c) for c in learned])

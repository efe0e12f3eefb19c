"""Writes the recordings in recordings/ that the replay tests play: a few
seconds of each kind of game, built from the published layouts.

    PYTHONPATH=python python tests/python/make_recordings.py

Each recording drives through gears 1 to 6, one gear every 0.2 s, with the
revs rising in each gear; the tests check that the display shows them in
order."""

from __future__ import annotations

import dataclasses
import random
import sys
from pathlib import Path
from typing import Callable

from game_packets import f1_packets, forza_packets
from game_pages import ac_pages, snapshot

from kvdash_dashboard.sources import ac, demo
from kvdash_dashboard.sources.recording import Recorder
from kvdash_dashboard.telemetry import Telemetry

HERE = Path(__file__).resolve().parent / "recordings"
RATE = 60.0  # updates a second, as the games send them
GEARS = range(1, 7)
PER_GEAR = 12  # updates per gear: 0.2 s


def moments() -> list[Telemetry]:
    out = []
    base = Telemetry(max_rpm=8000.0, fuel=0.5, lap=1, position=3, lap_time=10.0)
    for gear in GEARS:
        for step in range(PER_GEAR):
            rpm = 4000.0 + 300.0 * step
            share = step / (PER_GEAR - 1)
            out.append(
                dataclasses.replace(base, gear=gear, rpm=rpm, rev_lights=share, speed=10.0 * gear)
            )
    return out


def write(name: str, channel: str, datagrams: Callable[[Telemetry], list[bytes]]) -> None:
    (HERE / name).unlink(missing_ok=True)  # made again: a Recorder never replaces a file
    recorder = Recorder(str(HERE / name), 0.0)
    for i, t in enumerate(moments()):
        for data in datagrams(t):
            recorder.write(0.1 + i / RATE, channel, data)
    recorder.close()


def f1_datagrams(t: Telemetry) -> list[bytes]:
    """The whole set once a second, car telemetry (packet id 6) in between."""
    packets = f1_packets(t, season=2024)
    if t.rpm == 4000.0 and t.gear == 1:
        return packets
    return [p for p in packets if p[6] == 6]


def acc_snapshot(t: Telemetry) -> list[bytes]:
    data = snapshot(ac, ac_pages(t, game="acc", packet_id=1 + int(t.rpm)))
    assert data is not None
    return [data]


# Peak torque at 5000 rpm, falling off towards the 8000 rpm limit, so the best
# shift points lie below the limit, and lower the closer the next gear.
TORQUE_CAR = demo.Car(
    car_id="torque-test",
    top_speeds=(14.0, 21.0, 29.0, 39.0, 50.0),
    redline=8000.0,
    shift_at=8000.0,  # the driver holds every gear to the limiter
    torque=(
        (1000.0, 0.55),
        (3000.0, 0.8),
        (5000.0, 1.0),
        (6000.0, 0.97),
        (7000.0, 0.85),
        (8000.0, 0.6),
    ),
)


DRAG_STRIP = (demo.Segment(2500.0, 10.0, 150.0),)


def drag_strip_recording(
    path: Path, seconds: float, noise: float = 0.0, rate: float = 60.0
) -> None:
    """The simulated car on the drag strip, recorded as --record would; speed
    and rpm with the noise of a game's sensors."""
    lap, noisy = demo.SimulatedLap(TORQUE_CAR, DRAG_STRIP), random.Random(3)
    recorder = Recorder(str(path), 0.0)
    for i in range(int(seconds * rate)):
        t = lap.advance(i / rate)
        if noise:
            t = dataclasses.replace(
                t, speed=t.speed + noisy.gauss(0, noise), rpm=t.rpm + noisy.gauss(0, 300 * noise)
            )
        recorder.write(i / rate, "demo", demo.pack(t))
    recorder.close()


def main() -> int:
    HERE.mkdir(exist_ok=True)
    write("forza_fh5.kvrec", "udp:forza", lambda t: forza_packets(t, "fh5"))
    write("f1_2024.kvrec", "udp:codemasters,f1", f1_datagrams)
    write("acc.kvrec", "ac", acc_snapshot)
    return 0


if __name__ == "__main__":
    sys.exit(main())

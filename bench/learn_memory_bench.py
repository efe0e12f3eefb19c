#!/usr/bin/env python3
"""--learn's peak memory and time on a large recording.

A minute of the simulated car on the drag strip (every gear at full
throttle, with sensor noise) is recorded once, then repeated back to back
(its times shifted) until the recording reaches --mb MiB: every packet of
it is one the fit uses. --learn runs on it in a child process; its peak
resident memory (ru_maxrss) is printed beside that of a child that only
loads the app, with the figure per GiB of recording. Fails only on errors,
never on figures.
"""

from __future__ import annotations

import argparse
import random
import resource
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from kvdash_dashboard.sources import demo
from kvdash_dashboard.sources.recording import MAGIC, read_recording

CAR = demo.Car(
    car_id="bench",
    top_speeds=(14.0, 21.0, 29.0, 39.0, 50.0),
    redline=8000.0,
    shift_at=8000.0,
    torque=((1000.0, 0.55), (3000.0, 0.8), (5000.0, 1.0), (7000.0, 0.85), (8000.0, 0.6)),
)
RATE = 60.0


def write(path: Path, mib: int) -> int:
    """The recording; answers its number of packets."""
    lap, noise = demo.SimulatedLap(CAR, (demo.Segment(2500.0, 10.0, 150.0),)), random.Random(3)
    minute = []
    for i in range(int(60 * RATE)):
        t = lap.advance(i / RATE)
        t.speed += noise.gauss(0, 0.05)
        t.rpm += noise.gauss(0, 15)
        minute.append(demo.pack(t))
    name = b"demo"
    packets, size, offset = 0, len(MAGIC), 0.0
    with open(path, "wb") as f:
        f.write(MAGIC)
        while size < mib << 20:
            chunk = bytearray()
            for i, data in enumerate(minute):
                chunk += struct.pack("<dB", offset + i / RATE, len(name)) + name
                chunk += struct.pack("<I", len(data)) + data
            f.write(chunk)
            size += len(chunk)
            packets += len(minute)
            offset += 61.0
    return packets


def peak_mib(code: str) -> tuple[float, float, str]:
    """A child's peak resident memory (MiB), its seconds, and what it printed."""
    start = time.monotonic()
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    seconds = time.monotonic() - start
    usage = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024  # KiB on Linux
    return usage, seconds, out.stdout


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=int, default=300, help="the recording's size in MiB")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "long.kvrec"
        packets = write(path, args.mb)
        size = path.stat().st_size
        assert next(read_recording(str(path))).channel == "demo"
        # ru_maxrss of the children is the largest so far: the smaller child first.
        loaded, _, _ = peak_mib("import kvdash_dashboard.race.shiftpoints")
        learnt, seconds, out = peak_mib(
            f"from kvdash_dashboard.race.shiftpoints import learn; print(learn({str(path)!r}))"
        )
    print(f"recording: {size / 2**20:.0f} MiB, {packets} packets at full throttle")
    print(f"app loaded: {loaded:.1f} MiB peak; --learn: {learnt:.1f} MiB peak, {seconds:.0f} s")
    grown = learnt - loaded
    print(f"above the loaded app: {grown:.1f} MiB ({grown / (size / 2**30):.1f} MiB per GiB)")
    print(out.strip().splitlines()[-2])  # the shift points found
    return 0


if __name__ == "__main__":
    sys.exit(main())

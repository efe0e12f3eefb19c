#!/usr/bin/env python3
"""What reading iRacing's session text costs the loop, on texts of 4 MiB
(the most the reader takes): a plausible one with 64 drivers and long
results, and hostile ones (no red line, one huge line, endless entries).

Prints the median and worst of a few runs of parse_session for each text.
Fails only on errors, never on timings."""

from __future__ import annotations

import statistics
import time

from kvdash_dashboard.sources.iracing import parse_session

SIZE = 4 << 20


def plausible() -> bytes:
    drivers = "".join(
        f" - CarIdx: {i}\n   UserName: Driver {i}\n   CarPath: car{i}\n   CarID: {i}\n"
        for i in range(64)
    )
    head = (
        "---\nWeekendInfo:\n TrackName: spa\nDriverInfo:\n DriverCarIdx: 17\n"
        f" DriverCarRedLine: 7500.000\n Drivers:\n{drivers}SessionInfo:\n Sessions:\n"
    )
    results = " - Position: 1\n   CarIdx: 3\n   FastestTime: 116.9912\n"
    return (head + results * ((SIZE - len(head)) // len(results))).encode()[:SIZE]


TEXTS = {
    "plausible, 64 drivers": plausible(),
    "DriverInfo with no red line": b"DriverInfo:\n" + b" a: 1\n" * (SIZE // 6),
    "one line of 4 MiB": b"DriverInfo:\n" + b" " * SIZE,
    "endless driver entries": b"DriverInfo:\n DriverCarIdx: 5\n" + b" - CarIdx: 5\n" * (SIZE // 13),
}


def main() -> None:
    for name, text in TEXTS.items():
        runs = []
        for _ in range(7):
            start = time.perf_counter()
            session = parse_session(text)
            runs.append(time.perf_counter() - start)
        median, worst = statistics.median(runs) * 1e3, max(runs) * 1e3
        print(
            f"{name:30} {len(text) / (1 << 20):4.1f} MiB  median {median:6.2f} ms"
            f"  worst {worst:6.2f} ms  (red line {session.redline:.0f},"
            f" car {session.car.decode() or '-'})"
        )


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Soak: kvdash lives for hours inside a dashboard process, so a long run must
leave that process as it found it.

Four phases, each measured after a warm-up:

  frames   one engine on one virtual display, a million frames
  answers  the methods that answer True, False, None, tuples, ints and strs
  objects  a hundred thousand kvengine objects made, used and dropped
  inits    a few hundred objects initialised against virtual displays, some
           of them unplugged while in use, each dropped again

After each phase: resident memory (from /proc/self/statm), the interpreter's
allocated blocks, the reference counts of the kvengine type and of True,
False and None, the open file descriptors and the virtual displays' open
handles must be where they were, within the tolerances below. Exit status 1
when any is not, 0 otherwise. Figures go to stdout and to a JSON file.
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import gc
import json
import os
import sys
import tempfile
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Optional

# Tolerances. A leak of one object, one reference or a few bytes per call
# over the counts below lands far outside them.
RSS_TOLERANCE = 2 * 1024 * 1024  # bytes of resident memory a phase may add
BLOCKS_TOLERANCE = 2_000  # interpreter memory blocks a phase may add
REFCOUNT_TOLERANCE = 64  # references to True/False/None/the type a phase may add or drop
FD_TOLERANCE = 0

PAGE = os.sysconf("SC_PAGE_SIZE")
REPO = Path(__file__).resolve().parents[2]
BLANK = bytes([0, 1, 0x20]) + bytes(24) + b"\x20" * 12 + bytes(15)

# Keep the run away from the user's own Documents folder and runtime
# directory: the module reads both at load and at init.
_scratch = tempfile.TemporaryDirectory(prefix="kvdash-soak-")
os.environ["HOME"] = _scratch.name
os.environ["XDG_CONFIG_HOME"] = os.path.join(_scratch.name, ".config")
os.environ["XDG_RUNTIME_DIR"] = _scratch.name
os.makedirs(os.path.join(_scratch.name, "Documents"))

import kvdash  # noqa: E402
import kvdash_virtual as vd  # noqa: E402

_libc = ctypes.CDLL(None)


def loosely(thing: object) -> Any:
    """The soak calls some methods the way a careless script would: untyped."""
    return thing


def resident() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


@contextlib.contextmanager
def quiet_console() -> Iterator[None]:
    """The module prints its notices on C stdout; a soak calls them by the
    hundred thousand, so they go to /dev/null while a phase runs."""
    sys.stdout.flush()
    _libc.fflush(None)
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.close(null)
    try:
        yield
    finally:
        _libc.fflush(None)
        os.dup2(saved, 1)
        os.close(saved)


@dataclass
class Snapshot:
    rss: int
    blocks: int
    type_refs: int
    true_refs: int
    false_refs: int
    none_refs: int
    fds: int

    @staticmethod
    def take() -> "Snapshot":
        gc.collect()
        return Snapshot(
            rss=resident(),
            blocks=sys.getallocatedblocks(),
            type_refs=sys.getrefcount(kvdash.kvengine),
            true_refs=sys.getrefcount(True),
            false_refs=sys.getrefcount(False),
            none_refs=sys.getrefcount(None),
            fds=open_fds(),
        )


@dataclass
class Phase:
    name: str
    what: str
    count: int
    seconds: float = 0.0
    start: Optional[Snapshot] = None
    end: Optional[Snapshot] = None
    peak_rss: int = 0
    open_handles: int = 0
    failures: List[str] = field(default_factory=list)

    def deltas(self) -> Dict[str, int]:
        assert self.start is not None and self.end is not None
        s, e = self.start, self.end
        return {
            "rss": e.rss - s.rss,
            "blocks": e.blocks - s.blocks,
            "type_refs": e.type_refs - s.type_refs,
            "true_refs": e.true_refs - s.true_refs,
            "false_refs": e.false_refs - s.false_refs,
            "none_refs": e.none_refs - s.none_refs,
            "fds": e.fds - s.fds,
        }

    def judge(self) -> None:
        d = self.deltas()
        limits = {
            "rss": RSS_TOLERANCE,
            "blocks": BLOCKS_TOLERANCE,
            "type_refs": REFCOUNT_TOLERANCE,
            "true_refs": REFCOUNT_TOLERANCE,
            "false_refs": REFCOUNT_TOLERANCE,
            "none_refs": REFCOUNT_TOLERANCE,
            "fds": FD_TOLERANCE,
        }
        for key, limit in limits.items():
            # Memory may shrink; references must neither pile up nor drain.
            bad = d[key] > limit if key in ("rss", "blocks", "fds") else abs(d[key]) > limit
            if bad:
                self.failures.append(f"{key} changed by {d[key]:+d} (tolerance {limit})")
        peak = self.peak_rss - self.start.rss if self.start else 0
        if peak > RSS_TOLERANCE:
            self.failures.append(f"resident memory peaked {peak:+d} bytes above the start")
        if self.open_handles != 0:
            self.failures.append(f"{self.open_handles} handles left open on virtual displays")


def run_phase(phase: Phase, warmup: Callable[[], None], body: Callable[[Callable[[], None]], None]) -> Phase:
    """Warm up, take the baseline, run the body (which calls sample() now and
    then), take the end snapshot and judge."""
    def sample() -> None:
        phase.peak_rss = max(phase.peak_rss, resident())

    with quiet_console():
        warmup()
        # The interpreter settles its own references (None's among them) in
        # the first few hundred runs of a piece of code: the measuring code
        # warms up too, so that it does not count as the module's drift.
        for _ in range(1_000):
            sample()
        phase.start = Snapshot.take()
        phase.peak_rss = phase.start.rss

        began = time.perf_counter()
        body(sample)
        phase.seconds = time.perf_counter() - began
        phase.end = Snapshot.take()
        phase.peak_rss = max(phase.peak_rss, phase.end.rss)
    phase.judge()
    return phase


# ---------------------------------------------------------------------------
# The phases.

PANEL_TEXTS = ["12.345", "1:23.4", "-:--.---", "", "8.8.8.8.8.8.", "r", "1234567890123", " 99 ", "0.5"]


# A planted leak (--leak) keeps what it should drop, to show the soak sees it.
LEAK = "none"
planted: List[object] = []


def one_frame(engine: kvdash.kvengine, k: int) -> None:
    engine.set_gear(k % 10, bool(k & 1))
    engine.set_rpm_led(k % 13 + 1, k & 1)
    engine.set_warning_led(k % 6 + 1, 1)
    engine.set_left_panel(PANEL_TEXTS[k % 9])
    engine.set_right_panel(PANEL_TEXTS[(k + 4) % 9])
    answer = loosely(engine).show_me()
    if LEAK == "references":
        planted.append(answer)


def phase_frames(frames: int, failures: List[str]) -> Phase:
    phase = Phase("frames", "frames on one virtual display", frames)
    display = vd.attach()
    engine = kvdash.kvengine()
    if engine.init() is not True:
        failures.append("frames: init() did not answer True")
    writes_before = 0

    def warmup() -> None:
        nonlocal writes_before
        for k in range(10_000):  # more than the display keeps, so its ring is full
            one_frame(engine, k)
        writes_before = display.write_count

    def body(sample: Callable[[], None]) -> None:
        step = max(1, frames // 20)
        for k in range(frames):
            one_frame(engine, k)
            if k % step == 0:
                sample()

    run_phase(phase, warmup, body)
    written = display.write_count - writes_before
    if written != frames:
        phase.failures.append(f"{written} reports written for {frames} frames")
    last = display.last_report or b""
    if len(last) != 54 or last[0] != 0 or last[1] != 1 or last[22:27] != bytes(5) or last[39:] != bytes(15):
        phase.failures.append(f"last report malformed: {last.hex()}")
    del engine
    phase.open_handles = display.open_handles
    if display.last_report != BLANK:
        phase.failures.append("the display was not left blank")
    vd.reset()
    return phase


def phase_answers(rounds: int) -> Phase:
    phase = Phase("answers", "rounds of True/False/None/tuple/int/str answers", rounds)
    display = vd.attach()
    engine = kvdash.kvengine()
    engine.init()
    bare = kvdash.kvengine.__new__(kvdash.kvengine)
    wrong: List[str] = []

    def one(k: int) -> None:
        if engine.init() is not True or engine.terminate() is not True:
            wrong.append("init/terminate")
        if bare.init() is not False:
            wrong.append("bare init")
        if loosely(engine).show_me() is not None or loosely(engine).set_brightness(k) is not None:
            wrong.append("None answers")
        if engine.get_input_data() != (-3, 0, 0, 0, 0):
            wrong.append("get_input_data")
        if engine.get_device_info("Max RPM LED") != 13 or engine.get_device_info("version") != "0.2.0.1 (Lite)":
            wrong.append("get_device_info")
        engine.get_device_info("serial number")
        engine.get_device_info("ticks")
        try:
            engine.get_device_info("no such key")
        except ValueError:
            pass
        try:
            bare.show_me()
        except RuntimeError:
            pass
        try:
            engine.set_gear(2**40)
        except OverflowError:
            pass
        try:
            loosely(engine).set_rpm_led("1", 1)
        except TypeError:
            pass

    def warmup() -> None:
        for k in range(2_000):
            one(k)

    def body(sample: Callable[[], None]) -> None:
        step = max(1, rounds // 20)
        for k in range(rounds):
            one(k)
            if k % step == 0:
                sample()

    run_phase(phase, warmup, body)
    if wrong:
        phase.failures.append(f"{len(wrong)} wrong answers, first: {wrong[0]}")
    del engine, bare
    phase.open_handles = display.open_handles
    vd.reset()
    return phase


def phase_objects(objects: int) -> Phase:
    phase = Phase("objects", "kvengine objects made, used and dropped", objects)

    def one(k: int) -> None:
        if k % 4 == 0:
            e = kvdash.kvengine()
        elif k % 4 == 1:
            e = loosely(kvdash.kvengine)("dashboard", unused=k)
        elif k % 4 == 2:
            e = kvdash.kvengine.__new__(kvdash.kvengine)
            e.__init__()
            e.__init__("again")  # a second run replaces the Engine
        else:
            e = kvdash.kvengine.__new__(kvdash.kvengine)  # never given an Engine
            e.terminate()
            return
        # Texts long enough to live on the heap, gear, LEDs: all freed with the object.
        e.set_left_panel("a panel text far too long to be shown %d" % k)
        e.set_right_panel("12.345")
        e.set_gear(k % 10)
        e.set_rpm_led(k % 13 + 1, 1)
        e.show_me()  # no display: writes nothing
        if LEAK == "objects":
            planted.append(e)

    def warmup() -> None:
        for k in range(2_000):
            one(k)

    def body(sample: Callable[[], None]) -> None:
        step = max(1, objects // 20)
        for k in range(objects):
            one(k)
            if k % step == 0:
                sample()

    return run_phase(phase, warmup, body)


def phase_inits(inits: int) -> Phase:
    phase = Phase("inits", "kvengine objects initialised on virtual displays and dropped", inits)
    wrong: List[str] = []
    handles_left = 0

    def one(k: int, display: vd.VirtualDisplay) -> vd.VirtualDisplay:
        nonlocal handles_left
        e = kvdash.kvengine()
        if e.init() is not True:
            wrong.append(f"init {k} failed")
            return display
        for j in range(20):
            one_frame(e, j)
        if k % 10 == 9:
            # Unplugged while in use; the engine goes silent, then away.
            display.detach()
            one_frame(e, 0)
            del e
            handles_left += display.open_handles
            vd.reset()
            return vd.attach()
        if k % 10 == 4:
            display.fail_writes(error=31, count=1)
            one_frame(e, 0)
        del e
        handles_left += display.open_handles
        if k % 10 != 4 and display.last_report != BLANK:
            wrong.append(f"init {k}: display not left blank")
        return display

    state = {"display": vd.attach()}

    def warmup() -> None:
        for k in range(20):  # two of every kind of round
            state["display"] = one(k, state["display"])

    def body(sample: Callable[[], None]) -> None:
        for k in range(inits):
            state["display"] = one(k, state["display"])
            sample()

    run_phase(phase, warmup, body)
    phase.open_handles = handles_left
    if wrong:
        phase.failures.append(f"{len(wrong)} faults, first: {wrong[0]}")
    vd.reset()
    return phase


# ---------------------------------------------------------------------------


def mib(n: int) -> str:
    return f"{n / (1024 * 1024):+.2f} MiB"


def report(phases: List[Phase], failures: List[str], seconds: float) -> None:
    print(f"kvdash soak: Python {sys.version.split()[0]}, {seconds:.1f} s in all")
    header = f"{'phase':<8} {'count':>10} {'seconds':>8} {'per s':>10} {'RSS start':>10} {'RSS delta':>11} {'peak':>11} {'blocks':>7} {'type':>5} {'True':>5} {'False':>5} {'None':>5} {'fds':>4} {'handles':>7}  verdict"
    print(header)
    print("-" * len(header))
    for p in phases:
        d = p.deltas()
        assert p.start is not None
        rate = p.count / p.seconds if p.seconds > 0 else 0.0
        print(
            f"{p.name:<8} {p.count:>10,} {p.seconds:>8.1f} {rate:>10,.0f} {p.start.rss / 2**20:>8.1f}Mi "
            f"{mib(d['rss']):>11} {mib(p.peak_rss - p.start.rss):>11} {d['blocks']:>+7} {d['type_refs']:>+5} "
            f"{d['true_refs']:>+5} {d['false_refs']:>+5} {d['none_refs']:>+5} {d['fds']:>+4} {p.open_handles:>7}  "
            + ("ok" if not p.failures else "FAIL")
        )
    print(
        f"tolerances: RSS +{RSS_TOLERANCE // 2**20} MiB, blocks +{BLOCKS_TOLERANCE}, "
        f"references ±{REFCOUNT_TOLERANCE}, fds +{FD_TOLERANCE}, handles 0"
    )
    if sys.getrefcount(None) > 2**30:
        print("note: this interpreter makes True, False and None immortal; their counts say nothing here")
    for p in phases:
        for f in p.failures:
            print(f"FAIL {p.name}: {f}")
    for f in failures:
        print(f"FAIL {f}")


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frames", type=int, default=1_000_000)
    parser.add_argument("--answers", type=int, default=100_000)
    parser.add_argument("--objects", type=int, default=100_000)
    parser.add_argument("--inits", type=int, default=300)
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every count (a quick run: 0.02)")
    figures_dir = Path(os.environ.get("KVDASH_RELIABILITY_DIR", REPO / "build" / "reliability"))
    parser.add_argument("--out", type=Path, default=figures_dir / "soak.json")
    parser.add_argument(
        "--leak",
        choices=("none", "references", "objects"),
        default="none",
        help="plant a leak, to show that the soak catches it",
    )
    args = parser.parse_args(argv)

    def scaled(n: int) -> int:
        return max(1, int(n * args.scale))

    global LEAK
    LEAK = args.leak

    failures: List[str] = []
    began = time.perf_counter()
    phases = [
        phase_frames(scaled(args.frames), failures),
        phase_answers(scaled(args.answers)),
        phase_objects(scaled(args.objects)),
        phase_inits(scaled(args.inits)),
    ]
    seconds = time.perf_counter() - began
    report(phases, failures, seconds)

    args.out.parent.mkdir(parents=True, exist_ok=True)
    figures = {
        "python": sys.version.split()[0],
        "seconds": round(seconds, 1),
        "tolerances": {
            "rss_bytes": RSS_TOLERANCE,
            "blocks": BLOCKS_TOLERANCE,
            "references": REFCOUNT_TOLERANCE,
            "fds": FD_TOLERANCE,
        },
        "phases": {
            p.name: {
                "what": p.what,
                "count": p.count,
                "seconds": round(p.seconds, 2),
                "start": asdict(p.start) if p.start else None,
                "deltas": p.deltas(),
                "peak_rss_delta": p.peak_rss - (p.start.rss if p.start else 0),
                "open_handles": p.open_handles,
                "failures": p.failures,
            }
            for p in phases
        },
        "failures": failures,
        "passed": not failures and all(not p.failures for p in phases),
        "leak_planted": args.leak,
    }
    if args.leak == "none":
        args.out.write_text(json.dumps(figures, indent=2) + "\n")
    return 0 if figures["passed"] else 1


if __name__ == "__main__":
    sys.exit(main())

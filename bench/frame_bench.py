#!/usr/bin/env python3
"""What one dashboard frame costs with kvdash, against the 1 ms USB frame.

A full-speed HID endpoint takes one report per 1 ms frame, so a dashboard that
sends a report per frame has 1 ms for everything it does; kvdash's share of
that must be tiny. This benchmark prints, as medians over repeated runs:

- the cost of each kvengine method, and of one full frame (gear, 13 RPM LEDs,
  6 warning LEDs, both panels, show_me) on a virtual display;
- the same frame built in pure Python (a 54-byte bytearray, the same encoding
  rules, one os.write to /dev/null), timed in the same run, alternating;
- the system calls that setters and show_me() make (write counter, strace);
- init() time against the number of HID interfaces present;
- the goals, and whether each is met.

Run it against a build tree (PYTHONPATH=build/<dir>) or an installed kvdash.
It fails only on errors (a wrong report, a missing tool), never on timings.
"""

from __future__ import annotations

import argparse
import ctypes
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

REPORT_SIZE = 54
USB_FRAME_NS = 1_000_000
RPM_LEDS = 13
WARNING_LEDS = 6
MARK_BEGIN = "/kvdash-bench-loop-begin"
MARK_END = "/kvdash-bench-loop-end"

Frame = Tuple[str, Sequence[int], Sequence[int], str, str]


# ---------------------------------------------------------------------------
# The alternative a user would write by hand: the report in a bytearray, the
# display's encoding rules in Python, one os.write per frame.

_SHOWN = frozenset(b"0123456789-r ")
_COLON = 0x3A
_POINT = 0x2E
_LEFT_PLACEHOLDER = b"---:---"
_RIGHT_PLACEHOLDER = b"-:--.---"
_PANEL_MAX = 12
_PANEL_DIGITS = 6
_LEFT_AT = 27
_RIGHT_AT = 33


def py_gear_code(gear: object, point: bool = False) -> int:
    """The gear byte for a str or int gear, as the display wants it."""
    if isinstance(gear, str):
        ascii_form = gear.encode("ascii", "ignore")
        code = ascii_form[0] if ascii_form else 0x30
    elif isinstance(gear, int):
        code = gear
    else:
        raise TypeError("gear must be a str or int")
    if code > 128:
        point = True
        code -= 128
    c = code & 0xFF
    if c not in _SHOWN:
        c = c + 0x30 if 0 <= c <= 9 else 0
    return (c + 0x80) & 0xFF if point else c


def py_panel(text: str, placeholder: bytes) -> bytearray:
    """The six panel bytes of a text: "." lights the point before it, ":" the
    points before and after it; empty or over-long texts show the placeholder."""
    source = text.encode("utf-8")
    if not 1 <= len(source) <= _PANEL_MAX:
        source = placeholder
    length = len(source)
    source += b"\0"
    out = bytearray(_PANEL_MAX)
    i = o = 0
    while i < length:
        c = source[i]
        if c == _COLON or c == _POINT:
            if o:
                out[o - 1] = (out[o - 1] + 0x80) & 0xFF
            following = source[i + 1]
            out[o] = (following + 0x80) & 0xFF if c == _COLON else following
            i += 2
        else:
            if c in _SHOWN:
                out[o] = c
            elif 1 <= c <= 9:
                out[o] = c + 0x30
            i += 1
        o += 1
    return out[:_PANEL_DIGITS]


class PyDisplay:
    """A hand-written dashboard report: one bytearray, one os.write per frame."""

    def __init__(self, fd: int) -> None:
        self.fd = fd
        self.report = bytearray(REPORT_SIZE)

    def encode(self, gear: str, rpm: Sequence[int], warn: Sequence[int], left: str, right: str) -> None:
        r = self.report
        r[2] = py_gear_code(gear)
        for i in range(RPM_LEDS):
            r[3 + i] = 1 if rpm[i] == 1 else 0
        for i in range(WARNING_LEDS):
            r[16 + i] = 1 if warn[i] > 0 else 0
        r[_LEFT_AT : _LEFT_AT + _PANEL_DIGITS] = py_panel(left, _LEFT_PLACEHOLDER)
        r[_RIGHT_AT : _RIGHT_AT + _PANEL_DIGITS] = py_panel(right, _RIGHT_PLACEHOLDER)

    def frame(self, gear: str, rpm: Sequence[int], warn: Sequence[int], left: str, right: str) -> None:
        self.encode(gear, rpm, warn, left, right)
        r = self.report
        r[0] = 0
        r[1] = 1
        os.write(self.fd, r)


# ---------------------------------------------------------------------------
# The same frame through kvdash, written as a dashboard would.


def kv_frame_functions(engine: Any) -> Tuple[Callable[..., None], Callable[..., None]]:
    """(setters only, setters and show_me) for one engine."""
    set_gear = engine.set_gear
    set_rpm = engine.set_rpm_led
    set_warn = engine.set_warning_led
    set_left = engine.set_left_panel
    set_right = engine.set_right_panel
    show = engine.show_me

    def encode(gear: str, rpm: Sequence[int], warn: Sequence[int], left: str, right: str) -> None:
        set_gear(gear)
        for i in range(RPM_LEDS):
            set_rpm(i + 1, rpm[i])
        for i in range(WARNING_LEDS):
            set_warn(i + 1, warn[i])
        set_left(left)
        set_right(right)

    def frame(gear: str, rpm: Sequence[int], warn: Sequence[int], left: str, right: str) -> None:
        set_gear(gear)
        for i in range(RPM_LEDS):
            set_rpm(i + 1, rpm[i])
        for i in range(WARNING_LEDS):
            set_warn(i + 1, warn[i])
        set_left(left)
        set_right(right)
        show()

    return encode, frame


def lap_frames(count: int = 64) -> List[Frame]:
    """Frames of a made-up lap: gear, an RPM bar, warning flags, lap time, speed."""
    frames: List[Frame] = []
    gears = ["r", "1", "2", "3", "4", "5", "6", " "]
    for k in range(count):
        lit = (k * 5) % (RPM_LEDS + 1)
        rpm = [1 if i < lit else 0 for i in range(RPM_LEDS)]
        warn = [(k >> i) & 1 for i in range(WARNING_LEDS)]
        tenths = 600 + k * 37
        left = f"{tenths // 600}:{(tenths // 10) % 60:02d}.{tenths % 10}"
        right = f"{(k * 13) % 300:3d}" if k % 3 else f"-{k % 10}.{k * 7 % 1000:03d}"
        frames.append((gears[k % len(gears)], rpm, warn, left, right))
    return frames


# Texts that walk every rule of the panel encoder, to prove both sides agree.
EDGE_TEXTS = [
    "", "12.345", "1:23.4", "8.8.8.8.8.8.", "123456.", "12345.67", "r", "R", "a",
    "\x05\x07", "1.", "1:", "1:2.3", ".5", ":5", "1.a", "1234567", "12",
    "1234567890123", "abcdefghijkl", "é9", "-:--.---", " 1 2", "::", "..",
]
EDGE_GEARS: List[object] = ["7", 7, "r", "n", "N", ".", 10, "5", 0x130, "", "é3", 0, 9, -1, 200, 128, True]


# ---------------------------------------------------------------------------
# Measuring.


def median(values: Sequence[float]) -> float:
    return float(statistics.median(values))


def ns_per_call(stmt: str, names: Dict[str, Any], number: int, repeat: int) -> List[float]:
    """ns per execution of stmt, each repeat separately, loop overhead included."""
    timer = timeit.Timer(stmt, globals=names)
    return [t * 1e9 / number for t in timer.repeat(repeat=repeat, number=number)]


def interleaved_ns(stmts: Sequence[str], names: Dict[str, Any], number: int, repeat: int) -> List[List[float]]:
    """ns per execution of each stmt, one short run of each in turn, so that a
    burst of other work on the machine does not land on one row alone."""
    timers = [timeit.Timer(stmt, globals=names) for stmt in stmts]
    samples: List[List[float]] = [[] for _ in stmts]
    for r in range(repeat):
        for k in range(len(timers)):
            i = (k + r) % len(timers)
            samples[i].append(timers[i].timeit(number) * 1e9 / number)
    return samples


def time_batches(
    variants: Dict[str, Callable[..., None]], frames: Sequence[Frame], passes: int, repeat: int
) -> Dict[str, List[float]]:
    """ns per frame of each variant, repeats interleaved and their order rotated,
    so that drifts of the machine fall on every variant alike."""
    import gc

    names = list(variants)
    results: Dict[str, List[float]] = {name: [] for name in names}
    total = passes * len(frames)
    for r in range(repeat):
        order = names[r % len(names) :] + names[: r % len(names)]
        for name in order:
            fn = variants[name]
            gc_was = gc.isenabled()
            gc.disable()
            try:
                start = time.perf_counter_ns()
                for _ in range(passes):
                    for f in frames:
                        fn(*f)
                elapsed = time.perf_counter_ns() - start
            finally:
                if gc_was:
                    gc.enable()
            results[name].append(elapsed / total)
    return results


class CStdoutMuted:
    """Silences the module's C-level console (init failures print a message)."""

    def __init__(self) -> None:
        self._libc = ctypes.CDLL(None)
        self._saved = -1

    def __enter__(self) -> "CStdoutMuted":
        sys.stdout.flush()
        self._libc.fflush(None)
        self._saved = os.dup(1)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.close(null)
        return self

    def __exit__(self, *exc: object) -> None:
        self._libc.fflush(None)
        os.dup2(self._saved, 1)
        os.close(self._saved)


# ---------------------------------------------------------------------------
# hidraw nodes that are ordinary files, where the build can list them.


def hidraw_roots_function(kvdash_file: str) -> Optional[Any]:
    lib = ctypes.CDLL(kvdash_file)
    try:
        fn = lib.kvvd_hidraw_roots
    except AttributeError:
        return None
    fn.restype = ctypes.c_int
    fn.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    return fn


def make_hidraw_tree(root: Path, node_target: Optional[str]) -> Tuple[Path, Path, Path]:
    """A sysfs tree with one display, hidraw0, laid out as the kernel lays it
    out, and its device node: a regular file, or a link to node_target.
    Answers (class directory, node directory, node)."""
    usb = root / "sys" / "devices" / "usb1" / "1-1"
    hid = usb / "1-1:1.0" / "0003:1DD2:0103.0001"
    entry = hid / "hidraw" / "hidraw0"
    entry.mkdir(parents=True)
    (usb / "uevent").write_text("DEVTYPE=usb_device\nPRODUCT=1dd2/103/105\n")
    (usb / "manufacturer").write_text("Bench\n")
    (usb / "product").write_text("SLI-PRO\n")
    (usb / "serial").write_text("BENCH0001\n")
    (usb / "bcdDevice").write_text("0105\n")
    (hid / "uevent").write_text(
        "DRIVER=hid-generic\nHID_ID=0003:00001DD2:00000103\nHID_NAME=Bench SLI-PRO\nHID_UNIQ=BENCH0001\n"
    )
    # Vendor page, one output report of 53 bytes (54 with the report number).
    (hid / "report_descriptor").write_bytes(bytes.fromhex("0600ff0901a10115002600ff7508953509019102c0"))
    (entry / "device").symlink_to(hid)
    classdir = root / "sys" / "class" / "hidraw"
    classdir.mkdir(parents=True)
    (classdir / "hidraw0").symlink_to(entry)
    dev = root / "dev"
    dev.mkdir()
    node = dev / "hidraw0"
    if node_target is None:
        node.write_bytes(b"")
    else:
        node.symlink_to(node_target)
    return classdir, dev, node


def empty_hidraw_roots(root: Path) -> Tuple[Path, Path]:
    """A class directory with no node: only virtual devices are on the bus."""
    (root / "sys").mkdir(parents=True, exist_ok=True)
    (root / "dev").mkdir(parents=True, exist_ok=True)
    return root / "sys", root / "dev"


# ---------------------------------------------------------------------------
# Child processes traced by strace.


def child_main(mode: str, count: int, sysfs: Optional[str], dev: Optional[str]) -> int:
    import kvdash

    fn = hidraw_roots_function(kvdash.__file__)
    if fn is not None and sysfs is not None and dev is not None:
        fn(sysfs.encode(), dev.encode())
    elif mode == "hidraw":
        print("no hidraw roots in this build", file=sys.stderr)
        return 2
    if mode != "hidraw":
        import kvdash_virtual as vd

        vd.attach()
    engine = kvdash.kvengine()
    if not engine.init():
        print("init failed", file=sys.stderr)
        return 2
    encode, _ = kv_frame_functions(engine)
    frames = lap_frames(16)
    show = engine.show_me
    calls = 0
    try:
        os.stat(MARK_BEGIN)
    except OSError:
        pass
    if mode == "setters":
        for k in range(count):
            encode(*frames[k % len(frames)])
            calls += 22
    else:
        for _ in range(count):
            show()
            calls += 1
    try:
        os.stat(MARK_END)
    except OSError:
        pass
    print(calls)
    return 0


@dataclass
class TraceResult:
    mode: str
    calls: int
    process_total: int  # every syscall of the child, from strace's summary
    window: Counter = field(default_factory=Counter)  # syscalls between the markers

    @property
    def window_total(self) -> int:
        return sum(self.window.values())


_SYSCALL_LINE = re.compile(r"^(?:\d+\s+)?(?:<\.\.\. )?([a-z_0-9]+)[( ]")
_SUMMARY_TOTAL = re.compile(r"^100\.00\s+\S+\s+\S+\s+(\d+)\s+(?:\d+\s+)?total$")


def trace_child(mode: str, count: int, env: Dict[str, str], extra: Sequence[str] = ()) -> TraceResult:
    with tempfile.TemporaryDirectory(prefix="kvdash-strace-") as tmp:
        out = Path(tmp) / "trace.txt"
        # A runtime directory of its own: alone in holding the single-instance
        # marker, the child prints nothing but its count.
        env = dict(env, XDG_RUNTIME_DIR=tmp)
        cmd = ["strace", "-f", "-C", "-o", str(out), sys.executable, os.path.abspath(__file__),
               "--child", mode, str(count), *extra]
        proc = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=300)
        if proc.returncode != 0:
            raise RuntimeError(f"traced child {mode} failed ({proc.returncode}): {proc.stderr.strip()}")
        counted = re.search(r"(\d+)\s*$", proc.stdout)
        if counted is None:
            raise RuntimeError(f"traced child {mode} printed no count: {proc.stdout!r}")
        calls = int(counted.group(1))
        window: Counter = Counter()
        inside = False
        process_total = -1
        for line in out.read_text(errors="replace").splitlines():
            if MARK_BEGIN in line:
                inside = True
                continue
            if MARK_END in line:
                inside = False
                continue
            total = _SUMMARY_TOTAL.match(line.strip())
            if total:
                process_total = int(total.group(1))
                continue
            if inside and "resumed>" not in line:
                m = _SYSCALL_LINE.match(line)
                if m and m.group(1) not in ("exit", "exited", "killed"):
                    window[m.group(1)] += 1
        return TraceResult(mode, calls, process_total, window)


# ---------------------------------------------------------------------------
# Report.


@dataclass
class Goal:
    name: str
    measured: str
    met: bool


class Table:
    def __init__(self) -> None:
        self.lines: List[str] = []

    def section(self, title: str) -> None:
        self.lines.append("")
        self.lines.append(title)
        self.lines.append("-" * len(title))

    def row(self, label: str, value: str, note: str = "") -> None:
        self.lines.append(f"  {label:<46} {value:>14}  {note}".rstrip())

    def text(self, line: str) -> None:
        self.lines.append("  " + line)

    def flush(self) -> None:
        print("\n".join(self.lines), flush=True)
        self.lines.clear()


def fmt_ns(ns: float) -> str:
    return f"{ns:,.0f} ns" if ns >= 100 else f"{ns:.1f} ns"


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.lower().startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def build_type(kvdash_file: str) -> str:
    cache = Path(kvdash_file).parent / "CMakeCache.txt"
    if cache.exists():
        for line in cache.read_text().splitlines():
            if line.startswith("CMAKE_BUILD_TYPE:"):
                return (line.split("=", 1)[1] or "(none)") + " (build tree)"
    return "installed package (pip builds the build type its pyproject sets)"


def check_reports(kv: Any, vd_display: Any, frames: Sequence[Frame]) -> None:
    """kvdash and the hand-written frame must send the very same bytes."""
    py = PyDisplay(-1)
    _, kv_frame = kv_frame_functions(kv)
    cases: List[Frame] = list(frames)
    for text in EDGE_TEXTS:
        cases.append(("3", [1] * RPM_LEDS, [2, -1, 0, 1, 5, 0], text, text[::-1]))
    for f in cases:
        kv_frame(*f)
        py.encode(*f)
        py.report[0], py.report[1] = 0, 1
        if vd_display.last_report != bytes(py.report):
            raise AssertionError(
                f"reports differ for {f!r}:\n kvdash {vd_display.last_report.hex()}\n python {py.report.hex()}"
            )
    for gear in EDGE_GEARS:
        for point in (False, True):
            kv.set_gear(gear, point)
            kv.show_me()
            if vd_display.last_report[2] != py_gear_code(gear, point):
                raise AssertionError(
                    f"gear {gear!r} point={point}: kvdash {vd_display.last_report[2]:#x}, "
                    f"python {py_gear_code(gear, point):#x}"
                )


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a smoke run of a few seconds")
    parser.add_argument("--no-strace", action="store_true", help="skip the traced child processes")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.child:
        mode, count = args.child[0], int(args.child[1])
        rest = args.child[2:]
        return child_main(mode, count, rest[0] if rest else None, rest[1] if len(rest) > 1 else None)

    started = time.perf_counter()
    # A home and runtime directory of our own: init() creates its folders in
    # the first, and the single-instance marker lives in the second.
    scratch = Path(tempfile.mkdtemp(prefix="kvdash-bench-"))
    (scratch / "home" / "Documents").mkdir(parents=True)
    (scratch / "run").mkdir(mode=0o700)
    os.environ["HOME"] = str(scratch / "home")
    os.environ.pop("XDG_CONFIG_HOME", None)
    os.environ["XDG_RUNTIME_DIR"] = str(scratch / "run")
    try:
        return run(args.quick, args.no_strace, scratch, started)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def run(quick: bool, no_strace: bool, scratch: Path, started: float) -> int:
    import kvdash
    import kvdash_virtual as vd

    t = Table()
    goals: List[Goal] = []
    # Many short runs rather than a few long ones: on a shared machine the
    # median then falls on the quiet stretches.
    number = 2_000
    repeat = 31 if quick else 201

    t.section("Machine and interpreter")
    t.text(f"CPU             {cpu_model()} ({os.cpu_count()} logical CPUs)")
    t.text(f"system          {platform.system()} {platform.release()} {platform.machine()}")
    t.text(f"python          {platform.python_implementation()} {platform.python_version()} ({sys.executable})")
    t.text(f"kvdash          {kvdash.__file__}")
    t.text(f"build type      {build_type(kvdash.__file__)}")
    t.text(f"mode            {'quick' if quick else 'full'}: figures are medians of many short runs")
    t.text("load average    {:.2f} {:.2f} {:.2f} (other work on the machine skews figures up)".format(*os.getloadavg()))
    t.flush()

    # Only the devices made here are on the bus: the hidraw source looks at
    # an empty tree unless a step points it at a made-up display.
    hidraw_fn = hidraw_roots_function(kvdash.__file__)
    empty_sys, empty_dev = empty_hidraw_roots(scratch / "no-hidraw")

    def hidraw_roots(sysfs: Path, dev: Path) -> None:
        if hidraw_fn is not None and hidraw_fn(str(sysfs).encode(), str(dev).encode()) != 0:
            raise RuntimeError("kvvd_hidraw_roots refused the made-up tree")

    hidraw_roots(empty_sys, empty_dev)
    vd.reset()
    hidraw_engine: Any = None
    if hidraw_fn is not None:
        # A display whose node is /dev/null: show_me makes a real write() that
        # costs no more than the kernel's cheapest one.
        sysfs, dev, _ = make_hidraw_tree(scratch / "hidraw-null", os.devnull)
        hidraw_roots(sysfs, dev)
        hidraw_engine = kvdash.kvengine()
        if not hidraw_engine.init():
            raise RuntimeError("init() did not find the made-up hidraw display")
        hidraw_note = f"node {dev / 'hidraw0'} -> {os.devnull}"
        hidraw_roots(empty_sys, empty_dev)
    else:
        hidraw_note = "this build has no kvvd_hidraw_roots: hidraw source not ready"

    # -- kvengine methods -------------------------------------------------
    display = vd.attach()
    engine = kvdash.kvengine()
    if not engine.init():
        raise RuntimeError("init() failed on a virtual display")
    if not engine.get_device_info("device path") == display.path:
        raise RuntimeError("the engine did not open the virtual display")
    frames = lap_frames()
    check_reports(engine, display, frames)

    names: Dict[str, Any] = {"e": engine}
    empty = median(ns_per_call("pass", names, number, repeat))
    methods: List[Tuple[str, str]] = [
        ("set_gear('3')", "g('3')"),
        ("set_gear(3)", "g(3)"),
        ("set_gear('3', True)", "g('3', True)"),
        ("set_rpm_led(7, 1)", "rl(7, 1)"),
        ("set_warning_led(3, 1)", "wl(3, 1)"),
        ("set_left_panel('1:23.4')", "lp('1:23.4')"),
        ("set_right_panel('12.345')", "rp('12.345')"),
        ("show_me() [virtual display]", "sm()"),
        ("get_device_info('max rpm led')", "di('max rpm led')"),
        ("get_device_info('serial number')", "di('serial number')"),
        ("terminate() [a call that does nothing]", "tm()"),
    ]
    names.update(
        g=engine.set_gear, rl=engine.set_rpm_led, wl=engine.set_warning_led, lp=engine.set_left_panel,
        rp=engine.set_right_panel, sm=engine.show_me, di=engine.get_device_info, tm=engine.terminate,
    )
    t.section("kvengine methods (ns per call from Python, loop overhead taken off)")
    t.row("empty timeit loop (taken off below)", fmt_ns(empty))
    per_method = interleaved_ns([stmt for _, stmt in methods], names, number, repeat)
    method_ns: Dict[str, float] = {}
    for (label, stmt), samples in zip(methods, per_method):
        ns = median(samples) - empty
        method_ns[label] = ns
        t.row(label, fmt_ns(ns))
    t.flush()

    # -- one full frame against the hand-written alternative ---------------
    null_fd = os.open(os.devnull, os.O_WRONLY)
    py = PyDisplay(null_fd)
    kv_encode, kv_frame = kv_frame_functions(engine)

    def harness(gear: str, rpm: Sequence[int], warn: Sequence[int], left: str, right: str) -> None:
        pass

    variants: Dict[str, Callable[..., None]] = {
        "harness": harness,
        "kv frame": kv_frame,
        "py frame": py.frame,
        "kv setters": kv_encode,
        "py encode": py.encode,
    }

    if hidraw_engine is not None:
        _, variants["kv frame hidraw"] = kv_frame_functions(hidraw_engine)

    passes = 4
    frame_repeat = 41 if quick else 401
    timed = time_batches(variants, frames, passes, frame_repeat)
    harness_ns = median(timed["harness"])

    def net(name: str) -> float:
        return median(timed[name]) - harness_ns

    def best(name: str) -> str:
        return "best " + fmt_ns(min(timed[name]) - min(timed["harness"]))

    def ratio(slow: str, fast: str) -> float:
        return median([(a - h) / (b - h) for a, b, h in zip(timed[slow], timed[fast], timed["harness"])])

    frame_ns = net("kv frame")
    t.section(f"One full frame ({len(frames)} lap frames, {passes * len(frames)} per run, runs interleaved)")
    t.text("gear, 13 RPM LEDs, 6 warning LEDs, both panels, then the report")
    t.row("harness: calling an empty frame function", fmt_ns(harness_ns), "(taken off below)")
    t.row("kvdash frame, virtual display", fmt_ns(frame_ns), best("kv frame"))
    t.row("pure Python frame, os.write to /dev/null", fmt_ns(net("py frame")), best("py frame"))
    t.row("ratio pure Python / kvdash", f"{ratio('py frame', 'kv frame'):.2f}x")
    t.row("kvdash setters only (no show_me)", fmt_ns(net("kv setters")), best("kv setters"))
    t.row("pure Python encoding only (no write)", fmt_ns(net("py encode")), best("py encode"))
    t.row("ratio, encoding only", f"{ratio('py encode', 'kv setters'):.2f}x")
    hidraw_frame_ns: Optional[float] = None
    if "kv frame hidraw" in timed:
        hidraw_frame_ns = net("kv frame hidraw")
        t.row("kvdash frame, hidraw node on /dev/null", fmt_ns(hidraw_frame_ns), best("kv frame hidraw"))
        t.row("ratio pure Python / kvdash, both writing", f"{ratio('py frame', 'kv frame hidraw'):.2f}x")
    else:
        t.row("kvdash frame, hidraw node", "n/a", hidraw_note)
    share = frame_ns / USB_FRAME_NS * 100
    t.row("share of the 1 ms USB frame (virtual display)", f"{share:.3f} %")
    if hidraw_frame_ns is not None:
        t.row("share of the 1 ms USB frame (hidraw node)", f"{hidraw_frame_ns / USB_FRAME_NS * 100:.3f} %")
    t.row("frames per second one core could build", f"{1e9 / (frame_ns + harness_ns):,.0f}")
    t.flush()

    goals.append(Goal("one full frame < 1% of 1 ms (10 us)", f"{share:.3f} % ({fmt_ns(frame_ns)})", frame_ns < 10_000))
    if hidraw_frame_ns is not None:
        goals.append(Goal("same, with a real write (hidraw node)", f"{hidraw_frame_ns / USB_FRAME_NS * 100:.3f} %",
                          hidraw_frame_ns < 10_000))
    r_frame = ratio("py frame", "kv frame")
    goals.append(Goal(">= 2x cheaper than pure Python (frame)", f"{r_frame:.2f}x", r_frame >= 2.0))
    r_enc = ratio("py encode", "kv setters")
    goals.append(Goal(">= 2x cheaper than pure Python (encoding)", f"{r_enc:.2f}x", r_enc >= 2.0))
    if hidraw_frame_ns is not None:
        r_hid = ratio("py frame", "kv frame hidraw")
        goals.append(Goal(">= 2x cheaper than pure Python (both write)", f"{r_hid:.2f}x", r_hid >= 2.0))

    # -- what a write costs ---------------------------------------------
    t.section("Cost of one 54-byte write (what show_me adds on a real node)")
    buf = bytes(REPORT_SIZE)
    wnames: Dict[str, Any] = {"w": os.write, "fd": null_fd, "b": buf}
    t.row("os.write(fd, 54 bytes), /dev/null", fmt_ns(median(ns_per_call("w(fd, b)", wnames, number, repeat)) - empty))
    reg = os.open(scratch / "regular-node", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    wnames["fd"] = reg
    t.row("os.write(fd, 54 bytes), regular file", fmt_ns(median(ns_per_call("w(fd, b)", wnames, number // 4, repeat)) - empty))
    os.close(reg)
    if hidraw_engine is not None:
        hn = {"sm": hidraw_engine.show_me}
        t.row("show_me(), hidraw node on /dev/null", fmt_ns(median(ns_per_call("sm()", hn, number, repeat)) - empty))
    t.row("show_me(), virtual display (no system call)", fmt_ns(method_ns["show_me() [virtual display]"]))
    t.flush()

    # -- system calls -------------------------------------------------
    t.section("System calls")
    n = 2_000 if quick else 20_000
    before = display.write_count
    for k in range(n):
        kv_encode(*frames[k % len(frames)])
    setter_writes = display.write_count - before
    before = display.write_count
    show = engine.show_me
    for _ in range(n):
        show()
    show_writes = display.write_count - before
    t.row(f"writes for {n} frames of setters ({22 * n} calls)", str(setter_writes), "(write counter)")
    t.row(f"writes for {n} show_me()", str(show_writes), "(write counter)")
    traced: Dict[str, TraceResult] = {}
    if no_strace:
        t.text("strace: skipped (--no-strace)")
    elif shutil.which("strace") is None:
        raise RuntimeError("strace is not installed (apt-get install strace), or run with --no-strace")
    else:
        tn = 500 if quick else 5_000
        env = dict(os.environ)
        env["PYTHONHASHSEED"] = "0"
        roots = [str(empty_sys), str(empty_dev)]
        traced["setters"] = trace_child("setters", tn, env, roots)
        traced["show"] = trace_child("show", tn, env, roots)
        if hidraw_fn is not None:
            sysfs, dev, node = make_hidraw_tree(scratch / "hidraw-file", None)
            traced["hidraw"] = trace_child("hidraw", tn, env, [str(sysfs), str(dev)])
            node_size = node.stat().st_size
        t.text("strace -f on a child: every syscall of the process (strace's summary), and the")
        t.text("syscalls between two marker calls around the loop, by name")
        for key, label in (("setters", "setter calls"), ("show", "show_me(), virtual"),
                           ("hidraw", "show_me(), hidraw regular file")):
            if key not in traced:
                continue
            tr = traced[key]
            names_text = ", ".join(f"{k} {v}" for k, v in tr.window.most_common()) or "none"
            t.row(f"{tr.calls} {label}: process total", str(tr.process_total))
            t.row("  in the loop", str(tr.window_total), names_text)
            t.row("  per call", f"{tr.window_total / tr.calls:.4f}")
        if "hidraw" in traced:
            t.row("  hidraw node size after the loop", f"{node_size} B",
                  f"= {traced['hidraw'].calls} + 2 reports x {REPORT_SIZE} B" if node_size == (traced['hidraw'].calls + 2) * REPORT_SIZE else "")
        else:
            t.text(f"hidraw: {hidraw_note}")
    t.flush()
    goals.append(Goal("setters make no system call", f"{setter_writes} writes" + (
        f", {traced['setters'].window_total} syscalls in {traced['setters'].calls} calls" if "setters" in traced else ""),
        setter_writes == 0 and ("setters" not in traced or traced["setters"].window_total == 0)))
    goals.append(Goal("show_me makes exactly one write (virtual)", f"{show_writes} writes / {n} calls", show_writes == n))
    if "hidraw" in traced:
        h = traced["hidraw"]
        goals.append(Goal("show_me makes one write() syscall (hidraw)",
                          f"{h.window_total} syscalls, {h.window['write']} write / {h.calls}",
                          h.window_total == h.calls and h.window["write"] == h.calls))
    os.close(null_fd)

    # -- init() against the number of interfaces --------------------------
    t.section("init() against the HID interfaces present (ms, median)")
    init_repeat = 2 if quick else 7
    counts = [0, 10, 100]
    without: Dict[int, float] = {}
    withd: Dict[int, float] = {}
    del engine, kv_encode, kv_frame, show, names, variants
    hidraw_engine = None
    with CStdoutMuted():
        for c in counts:
            vd.reset()
            for _ in range(c):
                vd.attach(vendor_id=0x1234, product_id=0x5678)
            samples = []
            for _ in range(init_repeat):
                e = kvdash.kvengine()
                start = time.perf_counter_ns()
                ok = e.init()
                samples.append((time.perf_counter_ns() - start) / 1e6)
                if ok:
                    raise RuntimeError("init() found a display among non-displays")
                del e
            without[c] = median(samples)
            vd.attach()
            samples = []
            for _ in range(init_repeat):
                e = kvdash.kvengine()
                start = time.perf_counter_ns()
                ok = e.init()
                samples.append((time.perf_counter_ns() - start) / 1e6)
                if not ok:
                    raise RuntimeError("init() did not find the display")
                del e
            withd[c] = median(samples)
    vd.reset()
    t.row("interfaces (non-displays)", "no display  display after them")
    for c in counts:
        t.row(f"  {c}", f"{without[c]:8.2f}  {withd[c]:8.2f}")
    fit = statistics.linear_regression([float(c) for c in counts], [without[c] for c in counts])
    candidate = median([withd[c] - without[c] - fit.slope for c in counts])
    t.row("per interface (slope, no display)", f"{fit.slope:.3f} ms", "expected about 1 ms (Sleep(1) per step)")
    t.row("fixed part (intercept)", f"{fit.intercept:.3f} ms")
    t.row("per opened candidate", f"{candidate:.2f} ms", "expected about 100 ms (pause after open)")
    t.flush()

    # -- goals ----------------------------------------------------------
    t.section("Goals")
    for g in goals:
        t.row(g.name, g.measured, "met" if g.met else "MISSED")
    t.text(f"(benchmark ran {time.perf_counter() - started:.1f} s; load average then "
           + "{:.2f} {:.2f} {:.2f})".format(*os.getloadavg()))
    t.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())

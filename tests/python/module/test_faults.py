"""Fault campaign on virtual displays: unplugged, re-plugged, failing writes,
refused opens, a failing serial request, and two processes at once. The
dashboard must never see an exception or a message from the display's
troubles, and nothing may be written once the display is lost."""

from __future__ import annotations

import random
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional

import pytest
from conftest import Console, run_python, write_figures_after

import kvdash
import kvdash_virtual as vd

INIT_FAILED = "Error error: device init failed! #1001\n F:init\n\n"
BLANK = bytes([0, 1, 0x20]) + bytes(24) + b"\x20" * 12 + bytes(15)
LOST_ERRORS = (1167, 31, 5, 87)  # not connected, general failure, access denied, invalid parameter
IO_PENDING = 997

# ---------------------------------------------------------------------------
# Figures for scripts/reliability.py: faults injected by tests that reached
# their end (a failed assertion stops the count for that test).

_faults: Dict[str, int] = {}


def record(kind: str, injected: int = 1) -> None:
    _faults[kind] = _faults.get(kind, 0) + injected


@pytest.fixture(scope="module", autouse=True)
def write_figures(request: pytest.FixtureRequest) -> Iterator[None]:
    yield from write_figures_after(request, "faults", "faults", _faults)


# ---------------------------------------------------------------------------
# Frames that say which frame they are: the left panel shows the number.


def loose(thing: object) -> Any:
    return thing


def frame(engine: kvdash.kvengine, k: int) -> None:
    engine.set_gear(k % 10)
    engine.set_left_panel(f"{k % 1_000_000:06d}")
    engine.set_right_panel(f"{k % 1000}.{k % 7}")
    engine.set_rpm_led(k % 13 + 1, k % 2)
    engine.set_warning_led(k % 6 + 1, 1)
    assert loose(engine).show_me() is None


def frame_number(report: bytes) -> int:
    return int(report[27:33].decode("ascii"))


def check_sent(report: bytes) -> None:
    assert len(report) == 54
    assert report[0] == 0 and report[1] == 1
    assert report[22:27] == bytes(5) and report[39:54] == bytes(15)


def initialised(console: Optional[Console] = None) -> kvdash.kvengine:
    engine = kvdash.kvengine()
    assert engine.init() is True
    if console is not None:
        assert console.read() == ""
    return engine


# ---------------------------------------------------------------------------
# Unplug and re-plug.


def test_unplug_in_the_middle_of_a_frame_loop(display: vd.VirtualDisplay, console: Console) -> None:
    engine = initialised(console)
    for k in range(100):
        frame(engine, k)
    display.detach()
    landed = display.write_count
    for k in range(100, 300):
        frame(engine, k)  # silent: no exception
    assert console.read() == ""
    assert display.write_count == landed == 101  # the blank report and 100 frames
    assert [frame_number(r) for r in display.reports[1:]] == list(range(100))
    # The lost engine still holds its handles until it goes away, then none.
    assert display.open_handles > 0
    assert engine.terminate() is True
    del engine
    assert display.open_handles == 0
    assert display.write_count == landed  # no blank report to an unplugged display
    assert console.read() == ""
    record("unplug")


def test_replug_and_a_new_engine_drives_the_new_display(display: vd.VirtualDisplay, console: Console) -> None:
    old = initialised(console)
    frame(old, 1)
    display.detach()
    frame(old, 2)
    replugged = vd.attach(serial="REPLUGGED")
    # The old engine's display is lost for good: init answers at once and it
    # never finds the new one.
    assert old.init() is True
    for k in range(3, 10):
        frame(old, k)
    assert replugged.write_count == 0 and replugged.open_handles == 0

    new = initialised(console)
    assert new.get_device_info("serial number") == "REPLUGGED"
    for k in range(10, 60):
        frame(new, k)
    assert replugged.write_count == 51
    assert replugged.reports[0] == BLANK
    assert [frame_number(r) for r in replugged.reports[1:]] == list(range(10, 60))
    for report in replugged.reports:
        check_sent(report)
    del old
    assert display.open_handles == 0 and replugged.write_count == 51
    del new
    assert replugged.open_handles == 0 and replugged.last_report == BLANK
    assert console.read() == ""
    record("unplug")
    record("re-plug")


def test_unplug_then_init_fails_with_the_message(display: vd.VirtualDisplay, console: Console) -> None:
    display.detach()
    engine = kvdash.kvengine()
    assert engine.init() is False
    assert console.read() == INIT_FAILED
    assert display.open_handles == 0 and display.write_count == 0
    # Plugged again: the same object succeeds on its next init.
    again = vd.attach()
    assert engine.init() is True
    frame(engine, 7)
    assert again.write_count == 2 and frame_number(again.reports[1]) == 7
    record("unplug")


# ---------------------------------------------------------------------------
# Failing writes.


@pytest.mark.parametrize("error", LOST_ERRORS)
def test_failed_write_loses_the_display_silently(display: vd.VirtualDisplay, console: Console, error: int) -> None:
    engine = initialised(console)
    for k in range(5):
        frame(engine, k)
    display.fail_writes(error=error, count=1)
    frame(engine, 5)  # this write fails
    landed = display.write_count
    # The fault has been used up, so a further attempt would land: none is made.
    for k in range(6, 50):
        frame(engine, k)
    assert display.write_count == landed == 6
    assert console.read() == ""
    del engine
    assert display.write_count == landed  # no blank report either
    assert display.open_handles == 0
    # The failing write did reach the device (it used up the fault): a new
    # engine opens the display and its blank report lands.
    fresh = initialised(console)
    assert display.write_count == landed + 1 and display.last_report == BLANK
    frame(fresh, 99)
    assert frame_number(display.last_report or b"") == 99
    record(f"write error {error}")


@pytest.mark.parametrize("error", LOST_ERRORS)
def test_every_write_failing_stays_silent(display: vd.VirtualDisplay, console: Console, error: int) -> None:
    engine = initialised(console)
    display.fail_writes(error=error)
    for k in range(100):
        frame(engine, k)
    del engine
    assert display.write_count == 1  # the blank report of init, nothing after
    assert display.open_handles == 0
    assert console.read() == ""
    record(f"write error {error}")


def test_io_pending_is_not_a_lost_display(display: vd.VirtualDisplay, console: Console) -> None:
    engine = initialised(console)
    display.fail_writes(error=IO_PENDING, count=1)
    frame(engine, 0)  # pending: not counted as written, not lost
    frame(engine, 1)  # attempted, and it lands
    assert display.write_count == 2
    assert frame_number(display.last_report or b"") == 1
    display.fail_writes(error=IO_PENDING, count=5)
    for k in range(2, 12):
        frame(engine, k)
    assert [frame_number(r) for r in display.reports[1:]] == [1] + list(range(7, 12))
    assert console.read() == ""
    del engine
    assert display.last_report == BLANK and display.open_handles == 0
    record("write error 997", 6)


def test_io_pending_on_every_write_keeps_trying(display: vd.VirtualDisplay, console: Console) -> None:
    engine = initialised(console)
    display.fail_writes(error=IO_PENDING)
    for k in range(20):
        frame(engine, k)
    assert display.write_count == 1
    display.fail_writes(error=IO_PENDING, count=0)  # the fault goes away
    frame(engine, 20)  # the channel was never given up
    assert display.write_count == 2 and frame_number(display.last_report or b"") == 20
    assert console.read() == ""
    record("write error 997", 20)


# ---------------------------------------------------------------------------
# Refused opens and a failing serial request.


@pytest.mark.parametrize("write, read", [(True, False), (False, True), (True, True)])
def test_refused_open_fails_init_with_the_message(
    display: vd.VirtualDisplay, console: Console, write: bool, read: bool
) -> None:
    display.refuse_open(write=write, read=read)
    engine = kvdash.kvengine()
    assert engine.init() is False
    assert console.read() == INIT_FAILED
    assert display.open_handles == 0 and display.write_count == 0
    # Nothing is open, so frames go nowhere and say nothing.
    for k in range(10):
        frame(engine, k)
    assert display.write_count == 0 and console.read() == ""
    # A second display behind the refusing one is still found.
    second = vd.attach(serial="SECOND")
    assert engine.init() is True
    assert engine.get_device_info("serial number") == "SECOND"
    assert display.open_handles == 0 and second.write_count == 1
    del engine
    assert second.open_handles == 0 and second.last_report == BLANK
    record("refused open", 2)


def test_failing_serial_request_is_accepted_with_an_empty_serial(display: vd.VirtualDisplay, console: Console) -> None:
    display.fail_serial()
    engine = initialised(console)
    assert engine.get_device_info("serial number") == ""
    assert engine.get_device_info("firmware") == "1.05"
    for k in range(10):
        frame(engine, k)
    assert display.write_count == 11
    del engine
    assert display.open_handles == 0
    record("serial request failed")


# ---------------------------------------------------------------------------
# A campaign: many engines, each hit by a random fault at a random frame.


@pytest.mark.needs_virtual_display
def test_random_fault_campaign(console: Console) -> None:
    rng = random.Random(20240607)
    rounds = 40
    injected = 0
    for round_number in range(rounds):
        display = vd.attach(serial=f"ROUND{round_number:03d}")
        engine = initialised()
        frames = rng.randint(5, 60)
        fault_at = rng.randrange(frames)
        kind = rng.choice(LOST_ERRORS + (IO_PENDING, "unplug"))
        times = rng.randint(1, 4)
        expected: List[int] = []
        lost = False
        pending_left = 0
        for k in range(frames):
            if k == fault_at:
                injected += 1
                if kind == "unplug":
                    display.detach()
                else:
                    display.fail_writes(error=int(kind), count=times)
                    pending_left = times
            frame(engine, k)
            if k < fault_at or (kind == IO_PENDING and pending_left == 0):
                expected.append(k)
            elif kind == IO_PENDING:
                pending_left -= 1
            else:
                lost = True
        sent = display.reports
        assert sent[0] == BLANK
        assert [frame_number(r) for r in sent[1:]] == expected, (round_number, kind, fault_at)
        for report in sent:
            check_sent(report)
        del engine
        assert display.open_handles == 0
        if lost or pending_left > 0:
            # Lost: no blank report is attempted. Still pending: it is, and fails.
            assert display.write_count == 1 + len(expected)
        else:
            assert display.write_count == 2 + len(expected)
            assert display.last_report == BLANK
        display.detach()
    assert console.read() == ""
    record("random campaign", injected)


# ---------------------------------------------------------------------------
# Two processes at once.

CHILD = """
import os, sys, time
from pathlib import Path
run = Path({run!r})
def wait_for(name):
    deadline = time.monotonic() + 60
    while not (run / name).exists():
        if time.monotonic() > deadline:
            print("timed out waiting for", name); sys.exit(3)
        time.sleep(0.01)
{before}
import kvdash, kvdash_virtual as vd
cflush()
print("loaded"); cflush()
display = vd.attach(serial={serial!r})
engine = kvdash.kvengine()
print("init", engine.init()); cflush()
for k in range(500):
    engine.set_left_panel("%06d" % k)
    engine.show_me()
print("serial", engine.get_device_info("serial number"))
print("written", display.write_count, display.last_report[27:33].decode())
{after}
del engine
print("handles", display.open_handles)
cflush()
"""


@pytest.mark.needs_virtual_display
def test_two_processes_at_once(tmp_path: Path) -> None:
    run = tmp_path / "run"
    run.mkdir()
    env = {"XDG_RUNTIME_DIR": str(run)}
    first = CHILD.format(
        run=str(run), serial="FIRST", before="",
        after="(run / 'first-ready').touch()\nwait_for('second-done')",
    )
    second = CHILD.format(
        run=str(run), serial="SECOND", before="wait_for('first-ready')",
        after="(run / 'second-done').touch()",
    )
    with ThreadPoolExecutor(max_workers=2) as pool:
        a = pool.submit(run_python, first, env, 90)
        b = pool.submit(run_python, second, env, 90)
        one, two = a.result(), b.result()
    assert one.returncode == 0, one.stderr
    assert two.returncode == 0, two.stderr
    tail = "init True\nserial {0}\nwritten 501 000499\nhandles 0\n"
    assert one.stdout == "loaded\n" + tail.format("FIRST")
    assert two.stdout == "Kavu Engine already running!loaded\n" + tail.format("SECOND")
    record("second process", 1)


@pytest.mark.needs_virtual_display
def test_marker_is_free_again_after_both_exit(tmp_path: Path) -> None:
    """After a process that held the marker ends, a new one is alone again."""
    run = tmp_path / "run"
    run.mkdir()
    code = "import kvdash\ncflush()\nprint('ok')\n"
    first = run_python(code, {"XDG_RUNTIME_DIR": str(run)})
    second = run_python(code, {"XDG_RUNTIME_DIR": str(run)})
    assert (first.returncode, first.stdout) == (0, "ok\n")
    assert (second.returncode, second.stdout) == (0, "ok\n")

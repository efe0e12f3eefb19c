"""Whole runs of the dashboard app against virtual displays, in-process:
packets over loopback, a display unplugged and plugged again, no terminal,
Ctrl-C, recordings."""

from __future__ import annotations

import re
import signal
import socket
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

import pytest
from app_harness import AppRun, app_command, app_env, free_port, outgauge, wait_for
from conftest import BLANK_REPORT

import kvdash_virtual as vd
from kvdash_dashboard import main
from kvdash_dashboard import view as views
from kvdash_dashboard.app import BLANK
from kvdash_dashboard.dashboard import Frame, Layout, Options
from kvdash_dashboard.sources.recording import read_recording
from kvdash_dashboard.telemetry import Telemetry


class Output:
    """What the app printed so far (print() in any thread lands in capsys)."""

    def __init__(self, capsys: pytest.CaptureFixture[str]) -> None:
        self._capsys = capsys
        self.text = ""

    def __call__(self) -> str:
        self.text += self._capsys.readouterr().out
        return self.text


def shows_gear(display: vd.VirtualDisplay, char: str) -> Callable[[], bool]:
    return lambda: (r := display.last_report) is not None and r[2] == ord(char)


def test_packets_over_loopback_put_the_right_bytes_on_the_display(
    display: vd.VirtualDisplay, capsys: pytest.CaptureFixture[str]
) -> None:
    port = free_port()
    run = AppRun("--source", "outgauge", "--listen", f"127.0.0.1:{port}", "--seconds", "1.5")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        packet = outgauge(gear=4, rpm=7400.0, speed=50.0, fuel=0.5)
        wait_for(lambda: s.sendto(packet, ("127.0.0.1", port)) > 0 and shows_gear(display, "3")())
        s.sendto(b"garbage", ("127.0.0.1", port))
    r = display.last_report
    assert r is not None
    # No rev limit from OutGauge: the default shift point, 7500; 7400 lights 13.
    assert list(r[3:16]) == [1] * 13
    assert [i + 1 for i in range(6) if r[16 + i]] == [3]  # ABS
    # No lap clock from OutGauge: speed on the left, fuel on the right.
    assert r[27:33] == b"   180"
    assert r[33:39] == bytes([0x20, 0x20, 0x20, 0x35, 0xB0, 0x30])
    assert run.join() == 0
    assert display.last_report == BLANK_REPORT
    out = capsys.readouterr().out
    assert "Telemetry from BeamNG.drive (outgauge)." in out
    assert ", 1 bad" in out.splitlines()[-2]


@pytest.mark.needs_virtual_display
def test_a_display_unplugged_and_plugged_again(capsys: pytest.CaptureFixture[str]) -> None:
    first = vd.attach(serial="FIRST")
    out = Output(capsys)
    run = AppRun("--source", "demo", "--seconds", "4")
    wait_for(lambda: first.write_count > 3)
    first.detach()
    writes = first.write_count
    assert wait_for(lambda: "unplugged" in out(), 1.5) < 1.0
    second = vd.attach(serial="SECOND")
    assert wait_for(lambda: second.write_count > 2, 3.0) < 2.0
    assert first.write_count == writes  # nothing more reached the unplugged one
    assert run.join() == 0
    assert second.last_report == BLANK_REPORT
    assert "Driving the virtual display again." in out()


def test_a_display_that_stays_gets_no_blank_frame_and_no_second_engine(
    display: vd.VirtualDisplay,
) -> None:
    before = signal.getsignal(signal.SIGTERM)
    assert main(["--source", "demo", "--seconds", "1.2"]) == 0
    assert signal.getsignal(signal.SIGTERM) is before  # the caller's handler is back
    reports = display.reports
    blanks = [i for i, r in enumerate(reports) if r == BLANK_REPORT]
    assert blanks == [0, len(reports) - 1]  # the engine's first and last report
    assert len(reports) > 10 and display.open_handles == 0


def test_with_no_display_it_draws_its_own_or_waits(capsys: pytest.CaptureFixture[str]) -> None:
    assert main(["--source", "demo", "--seconds", "0.3"]) == 0
    lines = capsys.readouterr().out.strip().splitlines()
    if sys.platform == "win32":  # no virtual displays there: a preview, and a wait for one
        assert (
            "No SLI-PRO display found: a preview in the terminal, waiting for one to be "
            "plugged in." in lines
        )
        assert lines[-2].startswith("end   gear ") and "no display: preview only" in lines[-2]
        assert lines[-1].endswith(" s: no display.")
    else:
        assert "No SLI-PRO display found: drawing a virtual one." in lines
        assert lines[-1].endswith("on the virtual display (no SLI-PRO found) (left blank).")


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--hz", "1001"], "--hz must be above 0 and at most 1000"),
        (["--hz", "0"], "--hz must be above 0"),
        (["--seconds", "0"], "--seconds must be above 0"),
        (["--seconds", "-2"], "--seconds must be above 0"),
        (
            ["--rpm-start", "8000", "--rpm-shift", "7000"],
            "--rpm-shift (7000) must be above --rpm-start (8000), both from the command line",
        ),
        (["--listen", "4444"], "--listen needs a UDP --source"),
        (["--rpm-shift", "0"], "--rpm-shift must be above 0"),
        (["--shm-dir", "/no/such/folder"], "--shm-dir: no such folder: /no/such/folder"),
        (["--console", "a b c"], "--console: cannot find 'a b c'"),
    ],
)
def test_bad_options_are_refused_clearly(
    argv: list[str], message: str, capsys: pytest.CaptureFixture[str]
) -> None:
    assert main(argv) == 2
    assert message in capsys.readouterr().err


def test_a_port_in_use_is_a_clear_error(capsys: pytest.CaptureFixture[str]) -> None:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken:
        taken.bind(("127.0.0.1", 0))
        port = taken.getsockname()[1]
        assert main(["--source", "outgauge", "--listen", f"127.0.0.1:{port}"]) == 1
    assert f"cannot listen for OutGauge on 127.0.0.1:{port}" in capsys.readouterr().err


# ---------------------------------------------------------------- the terminal


class FakeTerminal:
    def __init__(self) -> None:
        self.written: list[str] = []

    def isatty(self) -> bool:
        return True

    def write(self, text: str) -> int:
        self.written.append(text)
        return len(text)

    def flush(self) -> None:
        pass


def test_a_terminal_that_cannot_draw_gets_lines(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("TERM", "dumb")
    view, why = views.choose_view("auto", "SLI-PRO", FakeTerminal())  # type: ignore[arg-type]
    assert isinstance(view, views.LineView) and "TERM=dumb" in why
    monkeypatch.setenv("TERM", "xterm-256color")
    monkeypatch.setitem(sys.modules, "rich.console", None)  # as if rich were not installed
    view, why = views.choose_view("auto", "SLI-PRO", FakeTerminal())  # type: ignore[arg-type]
    assert isinstance(view, views.LineView) and "rich is not installed" in why


def test_a_narrow_terminal_keeps_the_status_line() -> None:
    pytest.importorskip("rich")
    from rich.console import Console

    terminal = FakeTerminal()
    narrow = Console(file=terminal, width=40, force_terminal=True)  # type: ignore[arg-type]
    live = views.LiveView(narrow, "SLI-PRO")
    status = views.Status("Forza Horizon 4/5: 9 packets, 0 bad", "SLI-PRO", 60.0)
    live.close(Frame(gear="3", rpm=5), status)
    plain = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]|\r", "", "".join(terminal.written))
    lines = [line.strip() for line in plain.splitlines()]
    assert lines[0].startswith("gear 3")
    # Wrapped between phrases, never inside one, and each line narrower
    # than the terminal (a full one would wrap and spoil the next redraw).
    assert "Forza Horizon 4/5: 9 packets, 0 bad" in lines
    assert max(len(line) for line in plain.splitlines()) < 40


def test_the_live_view_writes_only_what_changed() -> None:
    pytest.importorskip("rich")
    from rich.console import Console

    terminal = FakeTerminal()
    wide = Console(file=terminal, width=100, force_terminal=True)  # type: ignore[arg-type]
    live = views.LiveView(wide, "SLI-PRO")
    status = views.Status("simulated lap: 9 packets, 0 bad", "SLI-PRO", 60.0)
    live.update(0.0, Frame(gear="3", rpm=5), status)
    assert live.next_update == pytest.approx(0.1)  # at most 10 times a second
    drawn = len(terminal.written)
    live.update(0.1, Frame(gear="3", rpm=5), status)
    assert len(terminal.written) == drawn  # nothing changed: nothing written
    live.update(0.2, Frame(gear="4", rpm=5), status)
    redraw = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", terminal.written[-1])
    assert redraw.count("\n") == 5  # the gear's five rows, not the border or the LEDs
    # A message goes above the picture as it is, never read as rich markup.
    live.say('Settings of [car."outgauge:XFG"] apply.')
    assert 'Settings of [car."outgauge:XFG"] apply.\n' in terminal.written[-1]
    live.say("Telemetry from \x1b[2J.")  # a game's text cannot steer the terminal
    assert "Telemetry from ?[2J.\n" in terminal.written[-1]


def test_the_line_view_reads_as_the_panels_do() -> None:
    line = views.frame_line(Frame(gear="2", left="0:00.9", right="  50.0"))
    assert "[ 0:00.9]" in line and "[   50.0]" in line
    # A flashing shift light reads as flashing in either half of the flash.
    layout = Layout(Options(rpm_shift=7000.0), frozenset({"rpm"}))
    halves = [layout.frame(Telemetry(gear=3, rpm=7200.0), now)[0] for now in (0.0, 0.07)]
    assert {f.rpm for f in halves} == {0, 13}
    assert all("rpm ************* flashing" in views.frame_line(f) for f in halves)
    assert "flashing" not in views.frame_line(layout.frame(Telemetry(rpm=6900.0), 0.0)[0])
    # The end line shows the display left blank, not the placeholders of "no data".
    assert "gear    rpm .............  [       ] [       ]" in views.frame_line(BLANK)


@pytest.mark.skipif(
    sys.platform == "win32", reason="SIGINT is a POSIX signal; Windows consoles send Ctrl-C events"
)
@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, getattr(signal, "SIGHUP", 0)])
def test_ctrl_c_sigterm_or_a_hangup_ends_with_a_blank_display_and_status_0(
    signum: int, tmp_path: Path
) -> None:
    recording = tmp_path / "run.kvrec"
    child = subprocess.Popen(
        app_command("--source", "demo", "--virtual", "--record", str(recording)),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=app_env(),
    )
    try:
        assert child.stdout is not None
        for _ in range(2):  # no terminal: a line a second; the second one after 1 s
            while "updates/s" not in child.stdout.readline():
                pass
        child.send_signal(signum)
        out, err = child.communicate(timeout=10)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err
    assert "Traceback" not in err
    assert out.strip().splitlines()[-1].endswith("(left blank).")
    assert sum(1 for _ in read_recording(str(recording))) > 1  # closed whole


# ---------------------------------------------------------------- recordings


def distinct(reports: list[bytes]) -> list[bytes]:
    return [r for i, r in enumerate(reports) if i == 0 or r != reports[i - 1]]


@pytest.mark.needs_virtual_display
def test_a_replay_gives_the_same_reports_as_the_live_run(tmp_path: Path) -> None:
    recording = str(tmp_path / "run.kvrec")
    port = free_port()
    packets = [outgauge(gear=g % 7, rpm=1000.0 * g, speed=3.0 * g) for g in range(1, 30)]
    with vd.attach() as live:
        run = AppRun(
            "--source", "outgauge", "--listen", f"127.0.0.1:{port}", "--seconds", "1.5",
            "--record", recording, "--rpm-shift", "90000", "--http", "off",
        )  # fmt: skip
        wait_for(lambda: len(distinct(live.reports)) == 2)  # the blank, then "no data"
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for p in packets + [b"bad"]:
                s.sendto(p, ("127.0.0.1", port))
                time.sleep(0.02)
        assert run.join() == 0
        live_reports = distinct(live.reports)
    with vd.attach() as replayed:
        started = time.monotonic()
        assert main(["--replay", recording, "--rpm-shift", "90000", "--http", "off"]) == 0
        assert time.monotonic() - started < 1.5  # it ends with the recording
        replay_reports = distinct(replayed.reports)
    # Both start with the blank and the "no data" frame and end blank.
    assert len(live_reports) == len(packets) + 3
    assert replay_reports == live_reports


def test_a_file_that_is_not_a_recording_is_refused(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    bad = tmp_path / "bad.kvrec"
    bad.write_bytes(b"hello")
    assert main(["--replay", str(bad)]) == 1
    assert "not a kvdash recording" in capsys.readouterr().err


LEFT_PLACEHOLDER = bytes([0x2D, 0x2D, 0xAD, 0xAD, 0x2D, 0x2D])

FLOOD = r"""
import socket, sys, time
port, packet = int(sys.argv[1]), bytes.fromhex(sys.argv[2])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
start = time.perf_counter()
n = 0
while time.perf_counter() - start < 2.0:  # 20,000 a second, in bursts of 20 a millisecond
    for _ in range(20):
        s.sendto(packet if n % 3 else b"junk" * 30, ("127.0.0.1", port))
        n += 1
    while time.perf_counter() < start + n / 20000:
        pass
"""


def test_a_silent_game_shows_no_data_and_a_flood_is_survived(
    display: vd.VirtualDisplay, capsys: pytest.CaptureFixture[str]
) -> None:
    port = free_port()
    out = Output(capsys)
    run = AppRun("--source", "outgauge", "--listen", f"127.0.0.1:{port}", "--seconds", "7")
    flood = outgauge(gear=5, rpm=3000.0, speed=30.0)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        wait_for(lambda: s.sendto(flood, ("127.0.0.1", port)) > 0 and shows_gear(display, "4")())
        # Silence: within 2 s of the last packet the display says "no data".
        silent = time.monotonic()
        wait_for(lambda: (r := display.last_report) is not None and r[27:33] == LEFT_PLACEHOLDER)
        assert time.monotonic() - silent < 2.5
        wait_for(lambda: "no data" in out(), 1.5)
        sender = subprocess.run(
            [sys.executable, "-c", FLOOD, str(port), flood.hex()], timeout=30, check=True
        )
        assert sender.returncode == 0
        # Right after the flood, a new packet is on the display at once.
        last = outgauge(gear=7, rpm=3000.0, speed=40.0)
        s.sendto(last, ("127.0.0.1", port))
        assert wait_for(shows_gear(display, "6"), 1.0) < 0.5
    assert run.join() == 0
    counts = out().splitlines()[-2]
    assert " bad" in counts and int(counts.split(" packets")[0].split()[-1]) > 20000


@pytest.mark.needs_virtual_display
def test_a_display_that_cannot_be_opened_is_named(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    from kvdash_dashboard import display as displays

    # sysfs lists an SLI-PRO (and a keyboard), but no node can be opened.
    for node, ident in (
        ("hidraw0", "0003:0000046D:0000C31C"),
        ("hidraw3", "0003:00001DD2:00000103"),
    ):
        (tmp_path / node / "device").mkdir(parents=True)
        (tmp_path / node / "device" / "uevent").write_text(f"HID_ID={ident}\nHID_NAME=x\n")
    assert displays.listed_displays(str(tmp_path)) == {"hidraw3"}
    monkeypatch.setattr(displays, "listed_displays", lambda: frozenset({"hidraw3"}))
    assert main(["--source", "demo", "--seconds", "0.3"]) == 0
    out = capsys.readouterr().out
    assert "An SLI-PRO is plugged in but could not be opened" in out
    assert "drawing a virtual one" in out

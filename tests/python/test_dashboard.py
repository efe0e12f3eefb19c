"""The dashboard example against virtual displays: the simulated lap, OutGauge
packets over loopback UDP, and whole runs of main()."""

from __future__ import annotations

import argparse
import importlib.util
import math
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from types import ModuleType
from typing import Iterator, List, Optional

import kvdash
import kvdash_virtual as vd
import pytest

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "dashboard.py"


def _load() -> ModuleType:
    spec = importlib.util.spec_from_file_location("dashboard", EXAMPLE)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules["dashboard"] = module
    spec.loader.exec_module(module)
    return module


dash = _load()

BLANK = bytes([0, 1, 0x20]) + bytes(24) + b"\x20" * 12 + bytes(15)
LEFT_PLACEHOLDER = bytes([0x2D, 0x2D, 0xAD, 0xAD, 0x2D, 0x2D])
RIGHT_PLACEHOLDER = bytes([0xAD, 0xAD, 0xAD, 0x2D, 0x2D, 0x2D])


def rpm_count(report: bytes) -> int:
    return sum(report[3:16])


def warnings(report: bytes) -> List[int]:
    return [i + 1 for i in range(6) if report[16 + i] == 1]


# ---------------------------------------------------------------- the mapping


def test_gear_texts() -> None:
    assert [dash.gear_text(g) for g in (-1, 0, 1, 2, 9, 12)] == ["r", "-", "1", "2", "9", "9"]
    assert dash.gear_text(0, neutral="0") == "0"


def test_rpm_leds_between_start_and_shift() -> None:
    counts = [dash.rpm_leds(rpm, 5000, 7500) for rpm in range(4000, 8001, 100)]
    assert counts[0] == 0 and dash.rpm_leds(5000, 5000, 7500) == 0
    assert dash.rpm_leds(5001, 5000, 7500) == 1
    assert dash.rpm_leds(7499, 5000, 7500) == 13
    assert dash.rpm_leds(6250, 5000, 7500) == 7
    assert counts == sorted(counts) and counts[-1] == 13


def test_panel_texts() -> None:
    assert dash.lap_time_text(83.45) == "1:23.4"
    assert dash.lap_time_text(5.0) == "0:05.0"
    assert dash.lap_time_text(754.5) == "12:34.5"
    assert dash.speed_text(50.0, "kmh") == "180"
    assert dash.speed_text(50.0, "mph") == "112"
    assert dash.fuel_text(0.456) == "45.6"
    assert dash.delta_text(-0.354) == "-0.35"
    assert dash.delta_text(12.34) == "12.3"
    assert dash.right_align("1:23.4") == "  1:23.4"
    assert dash.right_align("180") == "   180"


def test_frame_sets_the_whole_image(engine: kvdash.kvengine, display: vd.VirtualDisplay) -> None:
    t = dash.Telemetry(
        gear=3,
        rpm=6250.0,
        speed=50.0,
        fuel=0.5,
        lights=(1 << dash.LIGHT_ABS) | (1 << dash.LIGHT_SIGNAL_R),
        lap_time=83.4,
    )
    dash.Dashboard(engine).frame(t, 0.0)
    r = display.last_report
    assert r is not None
    assert r[2] == 0x33
    assert list(r[3:16]) == [1] * 7 + [0] * 6
    assert warnings(r) == [4, 6]
    assert r[27:33] == bytes([0x20, 0x20, 0xB1, 0xB2, 0xB3, 0x34])  # "1:23.4" right-aligned
    assert r[33:39] == bytes([0x20, 0x20, 0x20, 0x35, 0xB0, 0x30])  # "50.0"


def test_speed_and_delta_panels(engine: kvdash.kvengine, display: vd.VirtualDisplay) -> None:
    options = dash.Options(left="speed", right="delta", units="mph")
    board = dash.Dashboard(engine, options)
    board.frame(dash.Telemetry(gear=-1, rpm=900.0, speed=50.0, fuel=0.5, delta=-0.354), 0.0)
    r = display.last_report
    assert r is not None and r[2] == ord("r")
    assert r[27:33] == b"   112"
    assert r[33:39] == bytes([0x20, 0x20, 0x2D, 0xB0, 0x33, 0x35])  # "-0.35"
    board.frame(dash.Telemetry(gear=0, rpm=900.0, speed=0.0, fuel=0.5, delta=None), 0.0)
    r = display.last_report
    assert r is not None and r[2] == ord("-")
    assert r[33:39] == RIGHT_PLACEHOLDER  # no delta yet


def test_past_the_shift_point_all_leds_flash(
    engine: kvdash.kvengine, display: vd.VirtualDisplay
) -> None:
    board = dash.Dashboard(engine, dash.Options(rpm_start=5000, rpm_shift=7500, flash_hz=8.0))
    t = dash.Telemetry(gear=2, rpm=7600.0, speed=20.0, fuel=0.5)
    seen = []
    for i in range(16):
        board.frame(t, i / 32)
        r = display.last_report
        assert r is not None
        seen.append(rpm_count(r))
    assert set(seen) == {0, 13}
    assert seen[:4] == [13, 13, 0, 0]


def test_no_telemetry_shows_placeholders(
    engine: kvdash.kvengine, display: vd.VirtualDisplay
) -> None:
    board = dash.Dashboard(engine)
    board.frame(
        dash.Telemetry(gear=4, rpm=7000.0, speed=30.0, fuel=0.3, lights=0xFFFF, lap_time=1.0), 0.0
    )
    board.frame(None, 0.1)
    r = display.last_report
    assert r is not None
    assert r[2] == 0x20 and rpm_count(r) == 0 and warnings(r) == []
    assert r[27:33] == LEFT_PLACEHOLDER and r[33:39] == RIGHT_PLACEHOLDER


# ---------------------------------------------------------------- the simulated lap


def drive(
    engine: kvdash.kvengine, display: vd.VirtualDisplay, seconds: float, hz: float = 60.0
) -> List[bytes]:
    board = dash.Dashboard(engine)
    lap = dash.SimulatedLap()
    shown = []
    for i in range(int(seconds * hz)):
        now = 1000.0 + i / hz
        board.frame(lap.read(now), now)
        report = display.last_report
        assert report is not None
        shown.append(report)
    return shown


def test_simulated_lap_climbs_the_revs_and_shifts(
    engine: kvdash.kvengine, display: vd.VirtualDisplay
) -> None:
    shown = drive(engine, display, 12.0)
    gears = [chr(r[2]) for r in shown]
    order = [g for i, g in enumerate(gears) if i == 0 or g != gears[i - 1]]
    assert order[:5] == ["-", "1", "2", "3", "4"]

    # In second gear, until the first fully lit row, the LED count only climbs.
    second = [rpm_count(r) for r in shown if chr(r[2]) == "2"]
    climb = second[: second.index(13) + 1]
    assert climb == sorted(climb) and len(set(climb)) >= 6
    # ... and past the shift point the row flashes before third is taken.
    assert 0 in second[second.index(13) :]

    # The left panel runs the lap clock: 11.x seconds into the lap at the end.
    assert shown[-1][27:33] == bytes([0x20, 0x20, 0xB0, 0xB1, 0xB1, shown[-1][32]])
    assert 0x30 <= shown[-1][32] <= 0x39
    # Fuel on the right, dropping from 62.0 percent.
    assert shown[0][33:39] == bytes([0x20, 0x20, 0x20, 0x36, 0xB2, 0x30])
    assert shown[-1][33:39] != shown[0][33:39]
    # The pit limiter while in neutral in the pit box, traction control off the line.
    assert warnings(shown[0]) == [2]
    assert any(warnings(r) == [3] for r in shown if chr(r[2]) == "1")


def test_simulated_lap_is_the_same_at_any_frame_rate() -> None:
    a, b = dash.SimulatedLap(), dash.SimulatedLap()
    for i in range(300):
        a.read(i / 30)
    for i in range(600):
        b.read(i / 60)
    ta, tb = a.read(10.0), b.read(10.0)
    assert ta is not None and ta == tb


def test_simulated_lap_completes_laps_with_a_delta() -> None:
    lap = dash.SimulatedLap()
    laps = set()
    deltas = []
    for i in range(0, 200 * 10):
        t = lap.read(i / 10)
        assert t is not None
        laps.add(t.lap)
        if t.delta is not None:
            deltas.append(t.delta)
    assert {1, 2} <= laps
    assert deltas and any(abs(d) > 0.05 for d in deltas)


# ---------------------------------------------------------------- OutGauge over UDP


def outgauge(
    gear: int = 1,
    rpm: float = 1000.0,
    speed: float = 0.0,
    fuel: float = 0.5,
    showlights: int = 0,
    dashlights: int = 0xFFFF,
    time_ms: int = 0,
    ident: Optional[int] = 7,
) -> bytes:
    """An OutGauge packet, laid out field by field."""
    data = struct.pack("<I", time_ms) + b"XRT\0" + struct.pack("<HBB", 0, gear, 1)
    data += struct.pack("<7f", speed, rpm, 0.0, 90.0, fuel, 4.0, 95.0)
    data += struct.pack("<II", dashlights, showlights)
    data += struct.pack("<3f", 1.0, 0.0, 0.0)
    data += b"display one\0\0\0\0\0" + b"display two\0\0\0\0\0"
    if ident is not None:
        data += struct.pack("<i", ident)
    return data


def test_packet_sizes() -> None:
    assert len(outgauge(ident=None)) == 92 and len(outgauge()) == 96
    assert dash.OUTGAUGE.size == 92


@pytest.fixture
def listener() -> Iterator[dash.OutGaugeSource]:
    source = dash.OutGaugeSource("127.0.0.1", 0)
    yield source
    source.close()


@pytest.fixture
def sender() -> Iterator[socket.socket]:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    yield s
    s.close()


def receive(source: dash.OutGaugeSource, total: int) -> Optional[dash.Telemetry]:
    """Reads until total datagrams (good and bad) have arrived, within 2 s."""
    deadline = time.monotonic() + 2.0
    t = None
    while time.monotonic() < deadline:
        t = source.read(time.monotonic())
        if source.packets + source.bad_packets >= total:
            return t
        time.sleep(0.005)
    raise AssertionError(
        f"only {source.packets} + {source.bad_packets} of {total} datagrams arrived"
    )


def test_outgauge_drives_the_display(
    engine: kvdash.kvengine,
    display: vd.VirtualDisplay,
    listener: dash.OutGaugeSource,
    sender: socket.socket,
) -> None:
    board = dash.Dashboard(engine, dash.Options(left="speed", rpm_start=5000, rpm_shift=7500))
    lights = (1 << dash.LIGHT_SIGNAL_L) | (1 << dash.LIGHT_ABS) | (1 << dash.LIGHT_FULLBEAM)
    sender.sendto(
        outgauge(gear=4, rpm=6250.0, speed=50.0, fuel=0.5, showlights=lights), listener.address
    )
    board.frame(receive(listener, 1), 0.0)
    r = display.last_report
    assert r is not None
    assert r[2] == ord("3")  # OutGauge gear 4 is third
    assert rpm_count(r) == 7 and r[3 + 6] == 1 and r[3 + 7] == 0
    assert r[27:33] == b"   180"
    assert r[33:39] == bytes([0x20, 0x20, 0x20, 0x35, 0xB0, 0x30])
    assert warnings(r) == [1, 4]
    assert listener.packets == 1 and listener.bad_packets == 0


def test_bad_packets_are_counted_never_fatal(
    engine: kvdash.kvengine,
    display: vd.VirtualDisplay,
    listener: dash.OutGaugeSource,
    sender: socket.socket,
) -> None:
    board = dash.Dashboard(engine, dash.Options(left="time"))
    good = outgauge(gear=3, rpm=5200.0, time_ms=83_400)
    for datagram in (
        good[:91],
        good + b"\0",
        b"garbage",
        b"",
        outgauge(rpm=math.nan),
        outgauge(gear=0, rpm=2000.0, ident=None, time_ms=83_400),
    ):
        sender.sendto(datagram, listener.address)
    t = receive(listener, 6)
    assert listener.bad_packets == 5 and listener.packets == 1
    board.frame(t, 0.0)
    r = display.last_report
    assert r is not None
    assert r[2] == ord("r")  # the 92-byte packet, gear 0: reverse
    assert rpm_count(r) == 0
    assert r[27:33] == bytes([0x20, 0x20, 0xB1, 0xB2, 0xB3, 0x34])  # the clock, 1:23.4
    assert "1 packets, 5 bad" in listener.status()

    # Neutral in a 96-byte packet afterwards: the source goes on.
    sender.sendto(outgauge(gear=1), listener.address)
    board.frame(receive(listener, 7), 0.1)
    r = display.last_report
    assert r is not None and r[2] == ord("-")


def test_outgauge_silence_shows_no_data(
    engine: kvdash.kvengine,
    display: vd.VirtualDisplay,
    listener: dash.OutGaugeSource,
    sender: socket.socket,
) -> None:
    board = dash.Dashboard(engine)
    assert listener.read(time.monotonic()) is None
    sender.sendto(outgauge(gear=5, rpm=7000.0), listener.address)
    t = receive(listener, 1)
    assert t is not None and t.gear == 4
    later = time.monotonic() + dash.OutGaugeSource.STALE + 0.5
    board.frame(listener.read(later), later)
    r = display.last_report
    assert r is not None and r[27:33] == LEFT_PLACEHOLDER and r[2] == 0x20


def test_parse_address() -> None:
    assert dash.parse_address("4444") == ("127.0.0.1", 4444)
    assert dash.parse_address("0.0.0.0:30000") == ("0.0.0.0", 30000)
    with pytest.raises(argparse.ArgumentTypeError):
        dash.parse_address("host:port")
    with pytest.raises(argparse.ArgumentTypeError):
        dash.parse_address("70000")


# ---------------------------------------------------------------- whole runs


def test_main_drives_an_attached_display_and_blanks_it(
    display: vd.VirtualDisplay, capsys: pytest.CaptureFixture[str]
) -> None:
    assert dash.main(["--seconds", "0.5", "--hz", "40"]) == 0
    out = capsys.readouterr().out
    assert "on the SLI-PRO display" in out  # the display attached first is the one found
    frames = int(out.strip().splitlines()[-1].split()[0])
    assert 15 <= frames <= 25
    assert display.write_count >= frames  # one write per frame, and the blank ones
    assert display.last_report == BLANK
    # A frame of the lap was shown before the blank: the pit box in neutral.
    assert any(r[2] == ord("-") for r in display.reports)


@pytest.mark.needs_virtual_display
def test_main_on_a_virtual_display_reports_its_rate(capsys: pytest.CaptureFixture[str]) -> None:
    assert dash.main(["--seconds", "1.2", "--virtual", "--right", "delta"]) == 0
    lines = capsys.readouterr().out.strip().splitlines()
    assert "lap 1" in lines[0] and "gear -" in lines[0]  # the line a second, from the report
    assert lines[-1].endswith("Hz) on a virtual display (left blank).")
    rate = float(lines[-1].split(": ")[1].split(" Hz")[0])
    assert 30.0 < rate < 70.0


@pytest.mark.needs_virtual_display
def test_main_listens_for_outgauge(capsys: pytest.CaptureFixture[str]) -> None:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    stop = threading.Event()

    def send() -> None:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            while not stop.is_set():
                s.sendto(outgauge(gear=6, rpm=6000.0, speed=40.0), ("127.0.0.1", port))
                s.sendto(b"not a packet", ("127.0.0.1", port))
                time.sleep(0.02)

    sender = threading.Thread(target=send)
    sender.start()
    try:
        assert (
            dash.main(["--seconds", "1.3", "--virtual", "--outgauge", str(port), "--left", "speed"])
            == 0
        )
    finally:
        stop.set()
        sender.join()
    lines = capsys.readouterr().out.strip().splitlines()
    first = lines[0]
    assert f"127.0.0.1:{port} XRT" in first and "gear 5" in first and "[    144]" in first
    counts = re.search(r"(\d+) packets, (\d+) bad", first)
    assert counts is not None
    assert int(counts[1]) > 10 and int(counts[2]) > 10


@pytest.mark.needs_virtual_display
def test_ctrl_c_ends_cleanly(tmp_path: Path) -> None:
    env = dict(os.environ)
    env["XDG_RUNTIME_DIR"] = tempfile.mkdtemp(prefix="kvdash-run-")
    env["PYTHONUNBUFFERED"] = "1"
    child = subprocess.Popen(
        [sys.executable, str(EXAMPLE), "--virtual"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    try:
        assert child.stdout is not None
        first = child.stdout.readline()  # one line after a second of running
        assert "Hz" in first
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=10)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err
    assert "Traceback" not in err
    assert out.strip().splitlines()[-1].endswith("on a virtual display (left blank).")


def test_bad_options_are_refused(capsys: pytest.CaptureFixture[str]) -> None:
    assert dash.main(["--rpm-start", "8000", "--rpm-shift", "7000", "--seconds", "0"]) == 2
    assert "--rpm-shift" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        dash.main(["--units", "furlongs"])

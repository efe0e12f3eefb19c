"""What the real games sent (captures/, see its README), replayed through the
app onto a virtual display: the display shows what the capture says."""

from __future__ import annotations

import struct
from pathlib import Path

import pytest

import kvdash_virtual as vd
from kvdash_dashboard import main
from kvdash_dashboard.sources import f1
from kvdash_dashboard.sources.recording import Recorder

CAPTURES = Path(__file__).resolve().parents[2] / "captures"
PORT_20777 = "udp:codemasters,f1"  # the channel the app records that port under

# Per F1 session: the panels it must show (the player idles on the grid in neutral).
F1_SESSIONS = {
    0x68F65200BF7D356D: {"position": "10", "lap": "1", "rpm": "3429"},  # F1 23
    0x2FBBC3BBCB0B8C58: {"position": "1", "lap": "1", "rpm": "3535"},  # F1 24
}
F1_TEAMS = {0x68F65200BF7D356D: "team-8", 0x2FBBC3BBCB0B8C58: "team-1"}


def f1_session(uid: int) -> list[bytes]:
    """The captured packets of one session, in the order the game sent them."""
    packets = [p.read_bytes() for p in sorted((CAPTURES / "f1_23_24").glob("*.bin"))]
    mine = [p for p in packets if struct.unpack_from("<Q", p, 7)[0] == uid]
    return sorted(mine, key=lambda p: struct.unpack_from("<f", p, 15)[0])


def write_recording(path: Path, packets: list[tuple[float, bytes]]) -> str:
    recorder = Recorder(str(path), 0.0)
    for at, data in packets:
        recorder.write(at, PORT_20777, data)
    recorder.close()
    return str(path)


def panel(report: bytes, side: str) -> str:
    """The panel's characters, without the decimal points (bit 7)."""
    digits = report[27:33] if side == "left" else report[33:39]
    return bytes(b & 0x7F for b in digits).decode().strip()


@pytest.mark.parametrize("uid", sorted(F1_SESSIONS))
def test_f1_capture_on_the_display(uid: int, tmp_path: Path, display: vd.VirtualDisplay) -> None:
    packets = f1_session(uid)
    recording = write_recording(
        tmp_path / "f1.kvrec", [(0.05 + 0.01 * i, p) for i, p in enumerate(packets)]
    )
    want = F1_SESSIONS[uid]
    for left, right in (("position", "lap"), ("rpm", "lap")):
        assert main(["--replay", recording, "--left", left, "--right", right]) == 0
        shown = {(chr(r[2]), panel(r, "left"), panel(r, "right")) for r in display.reports}
        assert ("-", want[left], want[right]) in shown
    decoder = f1.Decoder()
    got = [decoder.decode(p) for p in packets]
    assert None not in got and got[-1] is not None
    assert (got[-1].car, got[-1].throttle) == (F1_TEAMS[uid], 0.0)


def test_dirt_rally_stage_on_the_display(tmp_path: Path, display: vd.VirtualDisplay) -> None:
    raw = (CAPTURES / "dirt_rally" / "DirtRallye.bin.raw").read_bytes()
    packets = [raw[i : i + 264] for i in range(0, len(raw), 264)]
    start = struct.unpack_from("<f", packets[0])[0]
    # The stage's own clock (float 0), fifteen times as fast: 71 s in under 5.
    timed = [((struct.unpack_from("<f", p)[0] - start) / 15 + 0.05, p) for p in packets]
    recording = write_recording(tmp_path / "dirt.kvrec", timed)
    assert main(["--replay", recording, "--left", "speed", "--right", "rpm"]) == 0
    reports = display.reports
    assert {"1", "2", "3", "4", "-"} <= {chr(r[2]) for r in reports}
    assert 178 <= max(int(panel(r, "left")) for r in reports if panel(r, "left").isdigit()) <= 182
    # At the 8000 rpm limiter every RPM LED lights, flashing.
    lit = [sum(r[3:16]) for r in reports]
    runs = [n for i, n in enumerate(lit) if i == 0 or n != lit[i - 1]]
    assert any(runs[i : i + 3] == [13, 0, 13] for i in range(len(runs)))

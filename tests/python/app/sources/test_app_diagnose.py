"""A game that speaks but cannot be read is named on the status line from its
first packet, with what to change; a rev limit is learnt where the game sends
none."""

from __future__ import annotations

import os
import socket
import struct
import sys
import threading
import time
from pathlib import Path

import pytest
from game_packets import f1_packets, forza_packets
from game_pages import SAMPLE

from kvdash_dashboard import main
from kvdash_dashboard.race.revlimit import RevLimits
from kvdash_dashboard.sources import FAMILIES
from kvdash_dashboard.sources.channels import Channel
from kvdash_dashboard.sources.recording import Recorder
from kvdash_dashboard.telemetry import Telemetry

F1_PORT = [FAMILIES["codemasters"], FAMILIES["f1"]]
FORZA_PORT = [FAMILIES["forza"]]


def f1_2019(packet_id: int = 6, size: int = 1347, fmt: int = 2019) -> bytes:
    """An F1 2019 datagram: the 23-byte header as EA documents it for F1 2019
    (format, major, minor, packet version, id, session uid, time, frame,
    player), a Car Telemetry packet's length."""
    head = struct.pack("<HBBBBQfIB", fmt, 1, 22, 1, packet_id, 99, 12.5, 700, 0)
    return head.ljust(size, b"\x01")


def outgauge(rpm: float, car: bytes = b"XRT") -> bytes:
    """OutGauge as Live for Speed's InSim.txt lays it out (92 bytes, no ID):
    time, car, flags, gear, plid, speed, rpm, turbo, eng temp, fuel, oil
    pressure, oil temp, dash lights, show lights, throttle, brake, clutch,
    display 1 and 2."""
    return struct.pack(
        "<I4sHBB7fII3f16s16s", 0, car, 0, 4, 0, 30.0, rpm, 0, 90, 0.5, 0, 90, 0, 0, 1, 0, 0,
        b"", b""
    )  # fmt: skip


def heard(channel: Channel, data: bytes) -> str | None:
    channel.decode(data)
    return channel.problem


def test_packets_that_cannot_be_read_are_named() -> None:
    f1 = Channel(F1_PORT, "udp:codemasters,f1", 20777)
    forza = Channel(FORZA_PORT, "udp:forza", 5400)
    fh5 = forza_packets(SAMPLE, "fh5")[0]
    assert heard(f1, f1_2019()) == (
        "20777: F1 packets of format 2019: set UDP Format to 2020 or later "
        "in the game's telemetry settings"
    )
    assert (
        heard(f1, f1_2019(fmt=2099))
        == "20777: F1 packets of format 2099: newer than this app reads"
    )
    assert heard(f1, fh5) == "20777: Forza packets on the DiRT/F1 port: send them to port 5400"
    assert heard(f1, f1_packets(SAMPLE, season=2024)[0]) is None  # read: nothing to change
    assert f1.bad == 3 and f1.packets == 1
    # Forza's Sled is read, but has no gear.
    assert forza.decode(forza_packets(SAMPLE, "sled")[0]) is not None
    assert forza.problem == "5400: Forza Sled packets carry no gear: choose Dash"
    assert heard(forza, f1_packets(SAMPLE, season=2024)[0]) == (
        "5400: F1 packets on the Forza port: send them to port 20777"
    )
    assert heard(forza, outgauge(3000.0)) == (
        "5400: OutGauge packets on the Forza port: send them to port 4444"
    )
    forza.listening = frozenset({5400})  # --source forza: nothing listens on 4444
    assert heard(forza, outgauge(3000.0)) == (
        "5400: OutGauge packets on the Forza port: send them to port 4444 "
        "and choose --source outgauge or auto"
    )
    assert heard(forza, b"\x07" * 17) == "5400: 17-byte packets of no game this app reads"
    assert heard(forza, fh5) is None
    only_f1 = Channel([FAMILIES["f1"]], "udp:f1", 20777)  # --source f1
    assert (
        heard(only_f1, bytes(264))
        == "20777: DiRT/GRID packets: choose --source codemasters or auto"
    )


def run_app(argv: list[str], send: list[bytes], port: int | None) -> None:
    """main() for a second in a thread, fed ``send`` to ``port``."""
    thread = threading.Thread(target=lambda: main([*argv, "--seconds", "1.2", "--view", "lines"]))
    thread.start()
    if port is not None:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for _ in range(20):
                for packet in send:
                    s.sendto(packet, ("127.0.0.1", port))
                time.sleep(0.02)
    thread.join(10)
    assert not thread.is_alive()


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port


@pytest.mark.parametrize(
    "source, packets, said",
    [
        ("f1", [f1_2019()], "F1 packets of format 2019: set UDP Format to 2020 or later"),
        ("forza", forza_packets(SAMPLE, "sled"), "Forza Sled packets carry no gear: choose Dash"),
        # --listen: where it listens is right, and nothing listens on the game's own port.
        ("forza", [outgauge(3000.0)], ": OutGauge packets: choose --source outgauge ·"),
        ("outgauge", [outgauge(6500.0)], "learning the rev limit"),  # a peak not yet left
        ("r3e", [], ": not a file"),
    ],
)
def test_the_status_line_says_what_is_wrong(
    source: str,
    packets: list[bytes],
    said: str,
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
) -> None:
    port = free_port()
    argv = ["--source", source]
    if packets:
        argv += ["--listen", f"127.0.0.1:{port}"]
    else:
        if sys.platform == "win32":
            pytest.skip("no FIFO on Windows")
        os.mkfifo(tmp_path / "$R3E")
        argv += ["--shm-dir", str(tmp_path)]
    run_app(argv, packets, port if packets else None)
    end = [line for line in capsys.readouterr().out.splitlines() if line.startswith("end ")]
    assert end and said in end[-1]


def test_the_packet_count_restarts_when_the_game_changes(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    recording = tmp_path / "two-games.kvrec"
    recorder = Recorder(str(recording), 0.0)
    for i in range(5):
        recorder.write(i / 60, "udp:outgauge", outgauge(3000.0))
    recorder.write(0.1, "udp:forza", b"\x07" * 17)  # bad, while Live for Speed drives
    for i in range(3):  # after the silence that lets another game take the display
        recorder.write(1.5 + i / 60, "udp:forza", forza_packets(SAMPLE, "fh5")[0])
    recorder.close()
    assert main(["--replay", str(recording), "--view", "lines"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert any("car outgauge:XRT: 5 packets, 1 bad" in line for line in lines)
    end = [line for line in lines if line.startswith("end ")]
    assert end and "Forza Horizon 4/5/6: 3 packets, 0 bad" in end[0]


def test_rev_limits_learnt_per_car() -> None:
    limits = RevLimits()
    outgauge_family, forza_family = FAMILIES["outgauge"], FAMILIES["forza"]

    def drive(rpm: float, car: str = "XRT") -> float | None:
        return limits.learn(outgauge_family, Telemetry(rpm=rpm, car=car))

    assert drive(1900.0) is None  # too low to say anything of the car
    # While learning, a peak under the default range's limit leaves the default:
    # the highest rpm so far would otherwise always flash the row.
    assert drive(6800.0) is None
    assert limits.learning(outgauge_family) == "learning the rev limit (6800 rpm so far)"
    for _ in range(3):  # shifts at the limiter
        drive(4500.0)
        drive(6850.0)
    assert drive(6850.0) == 6850.0
    assert limits.learning(outgauge_family) is None
    assert drive(9000.0, car="HIGH") == 9000.0  # above the default: used at once
    assert drive(1900.0, car="FZR") is None  # another car starts afresh
    assert limits.learning(outgauge_family) == "learning the rev limit"
    # A game that sends its limit keeps it.
    assert limits.learn(forza_family, Telemetry(rpm=9000.0, max_rpm=8000.0)) is None

"""The web server on by default (the next free port when its own is held,
off when asked), GET /api/status while games speak, and the app's log: its
times, its rotation, and a program with no console at all."""

from __future__ import annotations

import http.client
import json
import re
import socket
import struct
import sys
import time
import types
from pathlib import Path
from typing import Any

import pytest
from app_harness import AppRun, free_port, lfs, serves, wait_for
from conftest import run_python

import kvdash_virtual as vd
from kvdash_dashboard import journal, main
from kvdash_dashboard.sources import FAMILIES

pytest.importorskip("h11")
pytest.importorskip("tomlkit")

STAMP = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} ")


def request(port: int, method: str, path: str) -> tuple[int, Any]:
    """Status and JSON answer (or None) of one request."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    try:
        conn.request(method, path)
        answer = conn.getresponse()
        body = answer.read()
    finally:
        conn.close()
    try:
        return answer.status, json.loads(body)
    except ValueError:
        return answer.status, None


class Output:
    """What the app printed so far (print() in any thread lands in capsys)."""

    def __init__(self, capsys: pytest.CaptureFixture[str]) -> None:
        self._capsys = capsys
        self.text = ""

    def __call__(self) -> str:
        self.text += self._capsys.readouterr().out
        return self.text


def f1_2019() -> bytes:
    """An F1 2019 Car Telemetry datagram's length behind its 23-byte header as
    Codemasters documents it for F1 2019 (format, major, minor, packet
    version, id, session uid, time, frame, player): a format the app does not
    read."""
    head = struct.pack("<HBBBBQfIB", 2019, 1, 22, 1, 6, 99, 12.5, 700, 0)
    return head.ljust(1347, b"\x01")


def settings_port(text: str) -> int | None:
    found = re.search(r"the settings: http://127\.0\.0\.1:(\d+)/settings", text)
    return int(found.group(1)) if found else None


def test_the_default_port_held_the_next_one_said_once(
    default_page_port: int, capsys: pytest.CaptureFixture[str]
) -> None:
    out = Output(capsys)
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as other:
        other.bind(("127.0.0.1", default_page_port))
        other.listen(1)
        udp = free_port()
        run = AppRun("--source", "outgauge", "--listen", f"127.0.0.1:{udp}", "--seconds", "2")
        wait_for(lambda: settings_port(out()) is not None)
        port = settings_port(out())
        assert port is not None and default_page_port < port < default_page_port + 10
        assert serves(port) and request(port, "GET", "/settings")[0] == 200
        assert run.join() == 0
        taken = f"Port {default_page_port} is taken by another program: the web pages are on"
        assert out().count(taken) == 1
        assert f"settings: http://127.0.0.1:{port}/settings" in out().splitlines()[-2]
        # An address the user named that cannot be had ends the app.
        assert main(["--source", "demo", "--http", str(default_page_port)]) == 1
        assert f"cannot serve on 127.0.0.1:{default_page_port}" in capsys.readouterr().err


@pytest.mark.parametrize("where", ["command line", "settings file"])
def test_http_off_serves_nothing(
    where: str, default_page_port: int, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    config = tmp_path / "dashboard.toml"
    config.write_text('http = "off"\n' if where == "settings file" else "")
    off = ["--http", "off"] if where == "command line" else []
    out = Output(capsys)
    run = AppRun("--config", str(config), "--source", "demo", "--seconds", "1.5", *off)
    wait_for(lambda: "updates/s" in out())
    assert not serves(default_page_port)
    assert run.join() == 0
    assert "http://" not in out()


def status(port: int) -> dict[str, Any]:
    code, answer = request(port, "GET", "/api/status")
    assert code == 200
    assert isinstance(answer, dict)
    return answer


def test_api_status_says_what_is_heard_and_what_is_wrong(
    display: vd.VirtualDisplay, capsys: pytest.CaptureFixture[str]
) -> None:
    udp, page = free_port(), free_port()
    run = AppRun(
        *("--source", "outgauge", "--listen", f"127.0.0.1:{udp}", "--http", str(page)),
        *("--seconds", "3", "--view", "lines"),
    )
    wait_for(lambda: serves(page))
    quiet = status(page)
    assert quiet["listening"] == [{"source": "outgauge", "where": str(udp), "packets": 0}]
    assert (quiet["game"], quiet["car"], quiet["display"]) == (None, None, "virtual")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as game:
        for rpm in (3000.0, 3100.0, 3200.0):
            game.sendto(lfs(rpm), ("127.0.0.1", udp))
            time.sleep(0.05)
        game.sendto(b"garbage", ("127.0.0.1", udp))  # bad: not counted
        wait_for(lambda: status(page)["listening"][0]["packets"] == 3)
    heard = status(page)
    assert (heard["game"], heard["car"]) == ("outgauge", "XRT")
    assert heard["messages"][-1] == "Telemetry from Live for Speed (outgauge)."
    assert heard["messages"][-2].endswith(f"the settings: http://127.0.0.1:{page}/settings")
    assert run.join() == 0

    # A game set up wrong: its line among the messages, newest last.
    udp = free_port()
    run = AppRun(
        *("--source", "f1", "--listen", f"127.0.0.1:{udp}", "--http", str(page)),
        *("--seconds", "3", "--view", "lines"),
    )
    wait_for(lambda: serves(page))
    diagnosis = (
        f"{udp}: F1 packets of format 2019: set UDP Format to 2020 or later "
        "in the game's telemetry settings"
    )
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as game:

        def said() -> bool:
            game.sendto(f1_2019(), ("127.0.0.1", udp))
            return diagnosis in status(page)["messages"]

        wait_for(said, 3.0)
    wrong = status(page)
    assert wrong["messages"][-1] == diagnosis
    assert wrong["listening"] == [{"source": "f1", "where": str(udp), "packets": 0}]
    assert wrong["game"] is None and wrong["problems"] == [diagnosis]
    code, games = request(page, "GET", "/api/games")
    assert code == 200
    assert [g["source"] for g in games] == [name for name in FAMILIES if name != "demo"]
    assert all(g["set"] for g in games), "every game says what to set in it"
    f1 = next(g for g in games if g["source"] == "f1")
    assert f1["where"] == "UDP 20777" and "port 20777" in f1["set"]
    assert request(page, "POST", "/api/status")[0] == 405
    assert run.join() == 0


def test_the_log_has_times_keeps_new_status_and_turns_over_at_its_size(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(journal, "MAX_BYTES", 4000)
    kept = journal.Journal(tmp_path)
    for n in range(3):  # the same words, other counts: once
        kept.status(f"F1 25: {n * 60} packets, 0 bad · 60 updates/s", float(n))
    kept.status("waiting for a game · 0 updates/s", 3.0)
    kept.status("waiting for a game · 0 updates/s", 3.0 + journal.STATUS_EVERY)  # a while later
    first = (tmp_path / "kvdash.log").read_text(encoding="utf-8").splitlines()
    assert [STAMP.sub("", line) for line in first] == [
        "status: F1 25: 0 packets, 0 bad · 60 updates/s",
        "status: waiting for a game · 0 updates/s",
        "status: waiting for a game · 0 updates/s",
    ]
    for n in range(200):
        kept.note(f"message {n}")
    kept.close()
    log, older = tmp_path / "kvdash.log", tmp_path / "kvdash.log.1"
    assert older.exists() and not (tmp_path / "kvdash.log.2").exists()
    assert log.stat().st_size <= 4000 and older.stat().st_size <= 4000
    lines = (
        older.read_text(encoding="utf-8").splitlines()
        + log.read_text(encoding="utf-8").splitlines()
    )
    assert all(STAMP.match(line) for line in lines)
    assert lines[-1].endswith(" message 199")
    assert list(kept.recent) == [f"message {n}" for n in range(180, 200)]


def test_without_stdout_and_stderr_the_app_writes_its_log(tmp_path: Path) -> None:
    """As in a program of the Windows GUI subsystem: no streams at all."""
    missing = tmp_path / "missing.toml"
    code = f"""
        import sys
        sys.stdout = sys.stderr = None
        from kvdash_dashboard import main
        first = main(["--source", "demo", "--seconds", "1.5", "--http", "off"])
        second = main(["--config", {str(missing)!r}])
        try:
            main(["--nonsense"])
        except SystemExit as end:
            assert end.code == 2
        sys.exit(first * 10 + second)
        """
    done = run_python(code, env={"KVDASH_LOG_DIR": str(tmp_path)})
    assert done.returncode == 2, done.stderr  # the first ended well, the second on its mistake
    assert "Traceback" not in done.stderr
    lines = (tmp_path / "kvdash.log").read_text(encoding="utf-8").splitlines()
    assert all(STAMP.match(line) for line in lines)
    text = "\n".join(STAMP.sub("", line) for line in lines)
    assert "\nstatus: simulated lap" in text and "\nend: simulated lap" in text
    assert re.search(r"\n\d+ reports in 1\.\d s", text)
    assert f"kvdash-dashboard: {missing}" in lines[-2]
    assert lines[-1].endswith(" kvdash-dashboard: error: unrecognized arguments: --nonsense")


class FakeHost(types.ModuleType):
    """Stands in for the Windows host's built-in module: records the calls."""

    def __init__(self, tray: bool) -> None:
        super().__init__("_kvdash_host")
        self.calls: list[tuple[str, object]] = []
        self.in_tray = tray

    def tray(self) -> bool:
        return self.in_tray

    def set_port(self, port: int) -> None:
        self.calls.append(("port", port))

    def set_state(self, text: str) -> None:
        self.calls.append(("state", text))

    def open_settings(self) -> None:
        self.calls.append(("open", None))


def test_the_host_hears_the_port_the_state_and_opens_the_page_at_a_first_start(
    display: vd.VirtualDisplay, monkeypatch: pytest.MonkeyPatch
) -> None:
    fake = FakeHost(tray=True)
    monkeypatch.setitem(sys.modules, "_kvdash_host", fake)
    opened = []
    for _ in range(2):  # the page opens at the first start only
        fake.calls.clear()
        udp, page = free_port(), free_port()
        run = AppRun(
            *("--source", "outgauge", "--listen", f"127.0.0.1:{udp}", "--http", str(page)),
            *("--seconds", "2.5", "--view", "lines"),
        )
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as game:
            wait_for(lambda: ("state", "waiting for OutGauge · virtual display") in fake.calls)
            game.sendto(lfs(3000.0), ("127.0.0.1", udp))
            wait_for(lambda: ("state", "Live for Speed · XRT · virtual display") in fake.calls)
        assert run.join() == 0
        assert fake.calls[0] == ("port", page)
        states = [text for call, text in fake.calls if call == "state"]
        assert all(a != b for a, b in zip(states, states[1:], strict=False)), (
            "a state is sent when it changes"
        )
        opened.append(fake.calls.count(("open", None)))
    assert opened == [1, 0]

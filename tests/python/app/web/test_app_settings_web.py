"""The settings page's API over plain sockets: who may read and change the
settings, a mistake answered with the line the app prints, a save that keeps
the file's comments and reaches the display at once, and --learn from the
page."""

from __future__ import annotations

import json
import os
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import pytest
from app_harness import (
    FILE,
    AppRun,
    app_command,
    app_env,
    app_with_settings,
    free_port,
    raw,
    rpm_leds,
    serves,
    wait_for,
)
from make_recordings import drag_strip_recording as record

import kvdash_virtual as vd
from kvdash_dashboard import main
from kvdash_dashboard.race.shiftpoints import learn
from kvdash_dashboard.sources.recording import MAGIC
from kvdash_dashboard.web import learn_job

pytest.importorskip("h11")
pytest.importorskip("tomlkit")
from kvdash_dashboard.settings import SettingsError, default_path  # noqa: E402
from kvdash_dashboard.settings import write as settings_write  # noqa: E402
from kvdash_dashboard.web.guard import from_this_computer, same_origin  # noqa: E402

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib


def request(
    port: int, method: str, path: str, body: object = None, host: str = "127.0.0.1", **headers: str
) -> tuple[int, Any]:
    """Status and JSON answer (or text) of one request over a plain socket."""
    data = b"" if body is None else json.dumps(body).encode()
    head = f"{method} {path} HTTP/1.1\r\nHost: {host}:{port}\r\nContent-Length: {len(data)}\r\n"
    head += "".join(f"{k.replace('_', '-')}: {v}\r\n" for k, v in headers.items())
    answer = raw(port, head.encode() + b"\r\n" + data)
    status = int(answer.split(b" ", 2)[1])
    content = answer.partition(b"\r\n\r\n")[2]
    try:
        return status, json.loads(content)
    except ValueError:
        return status, content


def test_a_save_checks_writes_keeps_comments_and_drives_the_display_at_once(
    tmp_path: Path, display: vd.VirtualDisplay, capsys: pytest.CaptureFixture[str]
) -> None:
    run, port, path, send = app_with_settings(tmp_path, 4.0)
    wait_for(lambda: send() and rpm_leds(display) > 0)
    # 6000 rpm against a shift point of 7000 (the first LED at 4900): 7 LEDs.
    assert rpm_leds(display) == 7
    status, answer = request(port, "GET", "/api/settings")
    assert status == 200
    assert answer["file"] == str(path)
    assert answer["settings"] == {"left": "speed", "car": {"outgauge:XRT": {"shift": [7000]}}}
    assert answer["choices"]["current"] == {"game": "outgauge", "car": "XRT"}

    # A mistake: the line the app prints for that file, and nothing written.
    wrong = {"left": "speed", "car": {"outgauge:XRT": {"shift": [7000], "rpm_start": 8000}}}
    origin = {"Origin": f"http://127.0.0.1:{port}"}
    status, answer = request(port, "POST", "/api/settings", wrong, **origin)
    assert status == 400 and path.read_text() == FILE
    other = tmp_path / "other.toml"
    other.write_text(FILE.replace("shift = [7000]", "shift = [7000]\nrpm_start = 8000"))
    capsys.readouterr()
    assert main(["--config", str(other), "--print-config"]) == 2
    printed = capsys.readouterr().err.strip()
    assert answer["error"] == printed.replace(str(other), str(path))
    assert 'car."outgauge:XRT"' in printed and "rpm_start" in printed
    for garbage in (b"[1, 2]", b"{not json"):
        head = f"POST /api/settings HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: {len(garbage)}"
        assert raw(port, head.encode() + b"\r\n\r\n" + garbage).startswith(b"HTTP/1.1 400")

    # From the page: the new shift point in the file, its comments kept, on the display.
    right = {"left": "speed", "car": {"outgauge:XRT": {"shift": [5500, 6000]}}}
    status, answer = request(port, "POST", "/api/settings", right, **origin)
    assert (status, answer["settings"]) == (200, right)
    assert path.read_text() == FILE.replace("[7000]", "[5500, 6000]")
    wait_for(lambda: send() and rpm_leds(display) == 13)  # 6000: second gear's shift point now
    # A script on this computer sends no Origin: accepted too.
    status, _ = request(port, "POST", "/api/settings", {"left": "fuel"})
    assert status == 200  # the table gone, the user's comments all kept
    assert path.read_text() == FILE.replace('"speed"', '"fuel"').split("[car")[0]
    assert run.join() == 0


def test_the_preview_is_the_apps_own_reading_of_the_tables_being_edited(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    run, port, path, _ = app_with_settings(tmp_path, 3.0)
    # The start names the settings page too.
    assert f"; the settings: http://127.0.0.1:{port}/settings\n" in capsys.readouterr().out
    origin = {"Origin": f"http://127.0.0.1:{port}"}
    # Not saved: a shift point per gear for every game, the car's table setting only where
    # its LEDs start, and other warning LEDs.
    edited = {
        "shift": [6500, 6000],
        "leds": ["flag", "pit", "tc", "abs", "drs", "fuel_low"],
        "car": {"outgauge:XRT": {"rpm_start": 4000}},
    }
    car = {"kind": "car", "name": "outgauge:XRT"}
    status, seen = request(
        port, "POST", "/api/preview", {"settings": edited, "scope": car}, **origin
    )
    assert status == 200 and path.read_text() == FILE  # nothing written
    assert seen["values"]["shift"] == [6500, 6000] and seen["values"]["rpm_start"] == 4000
    assert (seen["from"]["shift"], seen["from"]["rpm_start"]) == ("every game", "this car")
    assert (seen["from"]["units"], seen["values"]["units"]) == ("the default", "kmh")
    assert seen["labels"] == ["FLAG", "PIT", "TC", "ABS", "DRS", "FUEL"]
    # Each gear from below its first LED, all lit at its shift point, then flashing;
    # third gear on the last point set.
    sweep = [(g["gear"], g["start"], g["shift"]) for g in seen["sweep"]]
    assert sweep == [(1, 4000, 6500), (2, 4000, 6000), (3, 4000, 6000)]
    second = seen["sweep"][1]["steps"]
    lit = [leds for _, leds in second]
    assert second[0] == [3800, 0] and lit == sorted(lit[:46]) + [13, 0] * 3
    assert all((leds == 0) == (rpm < 4000) for rpm, leds in second[:46]) and second[45][1] == 13
    # The top level alone: the car's table is not in force there.
    top = request(port, "POST", "/api/preview", {"settings": edited, "scope": {"kind": "top"}})[1]
    assert top["sweep"][1]["start"] == 6000 * 0.7 and top["from"]["leds"] == "every game"

    # A mistake: the app's line; a scope that names no table; read-only is no preview.
    wrong = {
        "settings": {"car": {"outgauge:XRT": {"shift": [7000], "rpm_start": 8000}}},
        "scope": car,
    }
    status, answer = request(port, "POST", "/api/preview", wrong, **origin)
    assert status == 400 and answer["error"].startswith(f"kvdash-dashboard: {path}")
    for scope in ({"kind": "car", "name": "outgauge"}, {"kind": "game", "name": "nogame"}, None):
        assert request(port, "POST", "/api/preview", {"settings": {}, "scope": scope})[0] == 400
    assert request(port, "GET", "/api/preview")[0] == 405
    evil = {"Origin": "http://evil.example"}
    assert request(port, "POST", "/api/preview", {"settings": {}, "scope": car}, **evil)[0] == 403
    assert run.join() == 0


def test_no_file_yet_the_first_save_creates_it_in_the_configuration_folder(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    for variable in ("XDG_CONFIG_HOME", "APPDATA"):  # never the user's own folder
        monkeypatch.setenv(variable, str(tmp_path / "config"))
    where = default_path()
    assert where is not None and where.is_relative_to(tmp_path) and not where.exists()
    port = free_port()
    run = AppRun("--source", "demo", "--http", str(port), "--seconds", "2", "--view", "lines")
    wait_for(lambda: serves(port))
    assert request(port, "GET", "/api/settings")[1]["file"] == str(where)
    assert request(port, "POST", "/api/settings", {"units": "mph"})[0] == 200
    assert where.read_text() == 'units = "mph"\n'
    with where.open("a") as f:  # by hand meanwhile: the page sees it, to keep it
        f.write('right = "rpm"\n')
    assert request(port, "GET", "/api/settings")[1]["settings"] == {"units": "mph", "right": "rpm"}
    assert run.join() == 0


def test_only_this_computer_and_the_pages_own_origin(tmp_path: Path) -> None:
    run, port, path, _ = app_with_settings(tmp_path, 3.0, http="0.0.0.0:")
    body = {"left": "time"}
    for headers in (
        {"Origin": "http://evil.example"},
        {"Origin": "null"},
        {"Origin": f"http://localhost:{port}"},  # another origin than the Host asked for
        {"Origin": f"http://127.0.0.1:{port}", "Sec-Fetch-Site": "cross-site"},
    ):
        assert request(port, "POST", "/api/settings", body, **headers)[0] == 403, headers
    # A name pointed at this computer (DNS rebinding) passes both checks above.
    rebound = {"host": "rebound.example", "Origin": f"http://rebound.example:{port}"}
    assert request(port, "POST", "/api/settings", body, **rebound)[0] == 421
    assert request(port, "GET", "/api/settings", host="rebound.example")[0] == 421
    assert path.read_text() == FILE
    # The machine's own address on its network, where it has one: a phone's view.
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.connect(("192.0.2.1", 9))  # no packet: it only picks the route
            address = probe.getsockname()[0]
        except OSError:
            address = "127.0.0.1"
    if address.startswith("127."):
        assert not from_this_computer("192.168.1.20")
    else:
        asked = (
            ("GET", "/settings"),
            ("GET", "/api/settings"),
            ("POST", "/api/settings"),
            ("GET", "/api/status"),
        )
        for method, where in asked:
            with socket.create_connection((address, port), timeout=5) as s:
                s.sendall(f"{method} {where} HTTP/1.1\r\nHost: {address}:{port}\r\n\r\n".encode())
                assert s.recv(4096).startswith(b"HTTP/1.1 403"), where
        with socket.create_connection((address, port), timeout=5) as s:
            s.sendall(f"GET /frame HTTP/1.1\r\nHost: {address}:{port}\r\n\r\n".encode())
            assert s.recv(4096).startswith(b"HTTP/1.1 200")  # the display is everyone's
    assert from_this_computer("::1") and from_this_computer("::ffff:127.0.0.1")
    assert same_origin({"host": "127.0.0.1", "origin": "http://127.0.0.1:80"})
    assert run.join() == 0


def test_learning_runs_beside_the_loop_and_offers_each_cars_shift_points(
    tmp_path: Path,
) -> None:
    # Long enough for a learner that runs below the app's priority on a busy
    # machine: a Python started under Wine on a loaded one has taken over 10 s.
    run, port, _, _ = app_with_settings(tmp_path, 30.0)
    junk = tmp_path / "junk.kvrec"
    junk.write_bytes(b"not a recording")
    learnt: dict[str, Any] = {}
    laps = tmp_path / "laps.kvrec"
    record(laps, 40.0)  # the simulated car on the drag strip, through every gear
    for recording, key in ((laps, "tables"), (junk, "error")):
        status, answer = request(port, "POST", "/api/learn", {"recording": str(recording)})
        assert (status, answer["running"]) == (202, True)  # answered before it is done
        assert request(port, "GET", "/frame")[0] == 200  # and the loop goes on meanwhile

        def done() -> bool:
            learnt.clear()
            learnt.update(request(port, "GET", "/api/learn")[1])
            return "running" not in learnt

        wait_for(done, 25.0)  # within the app's life
        assert key in learnt
        if key == "tables":
            assert learnt["tables"] == tomllib.loads(learn(str(laps)))  # what --learn prints
            assert len(learnt["tables"]["car"]["demo:torque-test"]["shift"]) == 5
    missing = {"recording": str(tmp_path / "none.kvrec")}
    assert request(port, "POST", "/api/learn", missing) == (
        400,
        {"error": f"kvdash-dashboard: {tmp_path / 'none.kvrec'}: no such file"},
    )
    # A bare name: said with the folder it was looked for in.
    bare = request(port, "POST", "/api/learn", {"recording": "none.kvrec"})[1]["error"]
    assert bare == f"kvdash-dashboard: {Path.cwd() / 'none.kvrec'}: no such file"
    assert run.join(40.0) == 0


def test_a_failed_write_leaves_the_old_file_whole(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    path = tmp_path / "kvdash" / "dashboard.toml"
    path.parent.mkdir()
    path.write_text(FILE)

    def full(*_: object) -> None:
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "replace", full)
    with pytest.raises(SettingsError, match="cannot write it: No space left on device"):
        settings_write.save(path, {"left": "time"})
    assert path.read_text() == FILE and os.listdir(path.parent) == ["dashboard.toml"]


def test_a_save_never_drops_what_the_page_did_not_see(
    tmp_path: Path, display: vd.VirtualDisplay
) -> None:
    run, port, path, _ = app_with_settings(tmp_path, 6.0)
    origin = {"Origin": f"http://127.0.0.1:{port}"}
    head = f"GET /api/settings HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n"
    headers, _, body = raw(port, head.encode()).partition(b"\r\n\r\n")
    read = json.loads(body)["version"]
    assert f'etag: "{read}"'.encode() in headers.lower()

    # Edited by hand (or in another tab) after the page read it: its save is refused.
    edited = FILE + '\n[car."outgauge:FBM"]\nshift = [9000]\n'
    path.write_text(edited)
    page = {"left": "fuel", "car": {"outgauge:XRT": {"shift": [7000]}}}
    status, answer = request(port, "POST", "/api/settings", page, If_Match=f'"{read}"', **origin)
    assert status == 412 and answer["error"].endswith(settings_write.CHANGED)
    assert path.read_text() == edited
    # Read again, the page sees the new table and may save.
    status, answer = request(port, "GET", "/api/settings")
    assert "outgauge:FBM" in answer["settings"]["car"] and answer["version"] != read
    page["car"] = answer["settings"]["car"]
    now = f'"{answer["version"]}"'
    status, answer = request(port, "POST", "/api/settings", page, If_Match=now, **origin)
    assert status == 200 and 'left = "fuel"' in path.read_text()
    assert "outgauge:FBM" in path.read_text()

    # What the file cannot hold: the app's line, no temporary file left behind.
    bad: dict[str, Any]
    for bad in ({"rpm_start": int("1" + "0" * 400)}, {"car": {"outgauge:\ud800": {}}}):
        status, answer = request(port, "POST", "/api/settings", bad, **origin)
        assert status == 400 and answer["error"].startswith(f"kvdash-dashboard: {path}: ")
    assert [p.name for p in tmp_path.glob("*dashboard.toml*")] == ["dashboard.toml"]
    # A read-only file is left as it is, said.
    if sys.platform != "win32":
        path.chmod(0o444)
        status, answer = request(port, "POST", "/api/settings", {"left": "lap"}, **origin)
        assert status == 409 and "read-only" in answer["error"]
        assert 'left = "fuel"' in path.read_text()
    assert run.join() == 0


@pytest.mark.skipif(sys.platform == "win32", reason="Wine's links are not the file systems' own")
def test_a_settings_file_kept_elsewhere_through_a_link_is_written_there(tmp_path: Path) -> None:
    dotfiles = tmp_path / "dotfiles"
    dotfiles.mkdir()
    (dotfiles / "kvdash.toml").write_text(FILE)
    link = tmp_path / "dashboard.toml"
    link.symlink_to(dotfiles / "kvdash.toml")
    settings_write.save(link, {"left": "time"})
    assert link.is_symlink() and (dotfiles / "kvdash.toml").read_text().startswith(
        '# my dashboard\nleft = "time"'
    )
    assert sorted(os.listdir(dotfiles)) == ["kvdash.toml"]


def _long_learning(tmp_path: Path) -> Path:
    """A recording that takes minutes to learn: a gigabyte of empty records, sparse."""
    path = tmp_path / "long.kvrec"
    with open(path, "wb") as f:
        f.write(MAGIC)
        f.truncate(1 << 30)
    return path


def _ended(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rpartition(")")[2].split()[0] == "Z"  # left for its new parent to reap
    except FileNotFoundError:
        return True


def _children(pid: int) -> list[int]:
    found = []
    for entry in Path("/proc").iterdir():
        try:
            stat = (entry / "stat").read_text()
        except OSError:  # not a process, or gone
            continue
        if int(stat.rpartition(")")[2].split()[1]) == pid:
            found.append(int(entry.name))
    return found


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="finds the learner in /proc")
def test_a_learning_ends_when_the_app_is_killed(tmp_path: Path) -> None:
    port = free_port()
    app = subprocess.Popen(
        app_command("--source", "demo", "--virtual", "--http", str(port), "--seconds", "60"),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        env={**app_env(), "XDG_CONFIG_HOME": str(tmp_path)},
    )
    try:
        wait_for(lambda: serves(port), 20.0)
        recording = {"recording": str(_long_learning(tmp_path))}
        assert request(port, "POST", "/api/learn", recording)[0] == 202
        wait_for(lambda: bool(_children(app.pid)), 10.0)
        (learner,) = _children(app.pid)
        app.kill()
        app.wait()
        wait_for(lambda: _ended(learner), 5.0)
    finally:
        app.kill()
        app.wait()


def test_a_learning_ends_when_its_pipe_from_the_app_closes(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    # The pipe alone, as on Windows: no signal from the kernel.
    monkeypatch.setattr(learn_job, "_below_the_game", dict)
    job = learn_job.LearnJob(str(_long_learning(tmp_path)))
    try:
        time.sleep(1.0)  # learning, not starting
        assert job.state(time.monotonic())["running"]
        assert job.process.stdin is not None
        job.process.stdin.close()
        job.process.wait(5.0)
    finally:
        job.stop()

"""However the app is stopped or its output goes away, it ends (or goes on)
without a traceback, and leaves the display blank."""

from __future__ import annotations

import os
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from app_harness import app_command, app_env

from kvdash_dashboard import main
from kvdash_dashboard.app import EndingSignals

pytestmark = pytest.mark.skipif(
    sys.platform == "win32", reason="pipes, /dev/full, terminals and signals of POSIX"
)

DEMO = ("--source", "demo", "--virtual", "--seconds", "1.5")


@pytest.mark.parametrize(
    "shell",
    [
        '"$@" | head -1',  # the reader goes away
        '"$@" >&-',  # no stdout at all
        '"$@" >/dev/full',  # stdout on a full disk
    ],
)
def test_output_that_goes_away_leaves_no_traceback(shell: str) -> None:
    done = subprocess.run(
        ["sh", "-c", shell + '; exit "${PIPESTATUS:-$?}"', "sh", *app_command(*DEMO)],
        capture_output=True,
        text=True,
        env=app_env(),
        timeout=30,
    )
    assert "Traceback" not in done.stderr and "Exception ignored" not in done.stderr
    if "head" not in shell:
        assert done.returncode == 0, done.stderr


def test_a_terminal_gone_leaves_no_traceback(tmp_path: Path) -> None:
    """The terminal closes, and no hangup arrives (the app is not its
    session's): writes to it fail with EIO."""
    master, slave = os.openpty()
    env = app_env()
    env["TERM"] = "xterm-256color"
    child = subprocess.Popen(
        app_command("--source", "demo", "--virtual", "--seconds", "3"),
        stdin=slave,
        stdout=slave,
        stderr=subprocess.PIPE,
        env=env,
        text=True,
    )
    os.close(slave)
    shown = b""
    while len(shown) < 2000:  # the live view has drawn
        if select.select([master], [], [], 10)[0]:
            shown += os.read(master, 65536)
    os.close(master)
    _, err = child.communicate(timeout=20)
    assert child.returncode == 0, err
    assert "Traceback" not in err


def test_a_second_signal_cannot_cut_the_clean_up_short() -> None:
    previous = signal.signal(signal.SIGHUP, signal.SIG_IGN)  # as under nohup
    try:
        with EndingSignals() as signals:
            assert signal.getsignal(signal.SIGHUP) is signal.SIG_IGN  # left ignored
            with pytest.raises(KeyboardInterrupt):
                os.kill(os.getpid(), signal.SIGTERM)
                time.sleep(1)
            assert signals.ending
            os.kill(os.getpid(), signal.SIGINT)  # during the clean-up: let pass
            time.sleep(0.05)
        assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    finally:
        signal.signal(signal.SIGHUP, previous)


def test_a_home_folder_that_cannot_hold_storage_is_named(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    not_a_folder = tmp_path / "home-file"
    not_a_folder.write_text("")
    monkeypatch.setenv("HOME", str(not_a_folder))
    assert main(["--source", "demo", "--seconds", "0.3"]) == 0
    out = capsys.readouterr().out
    assert "cannot make its storage folder" in out and str(not_a_folder) in out
    assert "No SLI-PRO display found" not in out

"""The examples where no SLI-PRO is plugged in: a virtual display, and a
line that says so rather than the module's "device init failed"."""

from __future__ import annotations

import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest
from test_app_run import app_env

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="virtual displays are not")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
FELL_BACK = "No SLI-PRO display found (or it could not be opened): drawing on a virtual one."


def test_minimal_loop_draws_on_a_virtual_display() -> None:
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / "minimal_loop.py"), "0.3"],
        capture_output=True,
        text=True,
        env=app_env(),
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    assert FELL_BACK in done.stdout and "RPM" in done.stdout  # and what it showed
    assert "device init failed" not in done.stdout + done.stderr


def test_own_source_draws_what_it_hears_on_a_virtual_display() -> None:
    child = subprocess.Popen(
        [sys.executable, str(EXAMPLES / "own_source.py"), "0"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=app_env(),
    )
    assert child.stdout is not None
    said = [""]
    while not said[-1].startswith("Listening on "):
        said.append(child.stdout.readline())
        assert said[-1], child.communicate(timeout=30)
    assert FELL_BACK + "\n" in said
    heard = said[-1]
    port = int(heard.split(":")[1].split(";")[0])
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        for _ in range(5):
            s.sendto(b"3 6400 142 56.5", ("127.0.0.1", port))
            time.sleep(0.1)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=30)
    assert child.returncode == 0, err
    assert "(3 )" in out  # the gear, as the virtual display showed it at the end
    assert "device init failed" not in out + err

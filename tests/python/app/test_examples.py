"""The examples with no SLI-PRO plugged in: a virtual display, and a line
that says so rather than the module's "device init failed"."""

from __future__ import annotations

import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest
from app_harness import app_env

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="no virtual displays")

EXAMPLES = Path(__file__).resolve().parents[3] / "examples"
FELL_BACK = "No SLI-PRO display found (or it could not be opened): drawing on a virtual one.\n"


@pytest.mark.parametrize("example", ["minimal_loop.py 0.3", "own_source.py 0"])
def test_the_examples_draw_on_a_virtual_display(example: str) -> None:
    script, argument = example.split()
    child = subprocess.Popen(
        [sys.executable, str(EXAMPLES / script), argument],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=app_env(),
    )
    assert child.stdout is not None
    said = ""
    if script == "own_source.py":  # fed one line of its own format, then Ctrl-C
        while "Listening on" not in said:
            line = child.stdout.readline()
            assert line, child.communicate(timeout=30)
            said += line
        port = int(said.rsplit(":", 1)[1].split(";")[0])
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.sendto(b"3 6400 142 56.5", ("127.0.0.1", port))
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    out = said + out
    assert child.returncode == 0, err
    assert FELL_BACK in out and "device init failed" not in out + err
    assert "RPM" in out  # what the virtual display showed at the end
    if script == "own_source.py":
        assert "(3 )" in out  # the gear it was sent

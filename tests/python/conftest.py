"""Shared fixtures: a clean bus and a temporary home for every test, the
module's C-level console, and fresh interpreters for process-wide state."""

from __future__ import annotations

import ctypes
import json
import os
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path
from typing import Dict, Iterator, Optional

import pytest

import kvdash
import kvdash_virtual as vd

_libc = ctypes.CDLL(None)


def cflush() -> None:
    """The module never flushes its C stdout: flush it before reading."""
    _libc.fflush(None)


@pytest.fixture(autouse=True)
def clean_bus() -> Iterator[None]:
    vd.reset()
    yield
    vd.reset()


@pytest.fixture(autouse=True)
def home(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A temporary home with a Documents folder, so init() never touches the real one."""
    home = tmp_path / "home"
    (home / "Documents").mkdir(parents=True)
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.delenv("XDG_CONFIG_HOME", raising=False)
    return home


class Console:
    """What the module printed on the process's C-level stdout."""

    def __init__(self, capfd: pytest.CaptureFixture[str]) -> None:
        self._capfd = capfd

    def read(self) -> str:
        cflush()
        return self._capfd.readouterr().out


@pytest.fixture
def console(capfd: pytest.CaptureFixture[str]) -> Console:
    cflush()
    capfd.readouterr()
    return Console(capfd)


@pytest.fixture
def display() -> vd.VirtualDisplay:
    return vd.attach()


@pytest.fixture
def engine(display: vd.VirtualDisplay) -> kvdash.kvengine:
    """An initialised engine driving a virtual display."""
    e = kvdash.kvengine()
    assert e.init() is True
    return e


# The image of a blank display: gear and both panels spaces, every LED off.
BLANK_REPORT = bytes([0, 1, 0x20] + [0] * 24 + [0x20] * 12 + [0] * 15)


def bare_engine() -> kvdash.kvengine:
    """A kvengine made by the type's allocation alone: it has no Engine."""
    return kvdash.kvengine.__new__(kvdash.kvengine)


PRELUDE = """
import ctypes, sys
_libc = ctypes.CDLL(None)
def cflush():
    sys.stdout.flush()
    _libc.fflush(None)
"""


def run_python(
    code: str, env: Optional[Dict[str, str]] = None, timeout: float = 120
) -> subprocess.CompletedProcess[str]:
    """Runs code in a fresh interpreter; its stdout (C-level included) is in .stdout.

    The code gets cflush(), which flushes Python's and C's stdout in order. The
    child gets a runtime directory of its own, so it is alone in holding the
    single-instance marker unless env gives it a shared XDG_RUNTIME_DIR."""
    full_env = dict(os.environ)
    full_env.pop("PYTHONUNBUFFERED", None)
    full_env["XDG_RUNTIME_DIR"] = tempfile.mkdtemp(prefix="kvdash-run-")
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


def write_figures_after(
    request: pytest.FixtureRequest, name: str, key: str, counts: Dict[str, int]
) -> Iterator[None]:
    """For a module-scoped fixture: after the module's tests, writes their
    counts under key to <reliability dir>/<name>.json for scripts/reliability.py."""
    failed_before = request.session.testsfailed
    yield
    default = Path(__file__).resolve().parents[2] / "build" / "reliability"
    out = Path(os.environ.get("KVDASH_RELIABILITY_DIR", default))
    out.mkdir(parents=True, exist_ok=True)
    figures = {
        key: dict(sorted(counts.items())),
        "total": sum(counts.values()),
        "failed_tests": request.session.testsfailed - failed_before,
    }
    (out / f"{name}.json").write_text(json.dumps(figures, indent=2) + "\n")

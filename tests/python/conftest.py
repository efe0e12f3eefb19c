"""Shared fixtures: a clean bus and a temporary home for every test, the
module's C-level console, and fresh interpreters for process-wide state.

On Windows (the real interpreters under Wine, scripts/test-windows-python.sh)
there are no virtual displays: tests that need one carry the
needs_virtual_display marker and are skipped with that reason; tests that need
the single-instance marker free (lone_process) run in a session of their own
whose runner has not loaded kvdash."""

from __future__ import annotations

import ctypes
import json
import os
import socket
import subprocess
import sys
import tempfile
import textwrap
import types
from pathlib import Path
from typing import TYPE_CHECKING, Dict, Iterator, List, NoReturn, Optional

import pytest

if TYPE_CHECKING:
    import kvdash

WINDOWS = sys.platform == "win32"

NO_VIRTUAL_DISPLAY = (
    "needs a virtual display: kvdash_virtual exists only with kvdash's stand-in for the "
    "Windows HID interfaces (Linux), not on Windows"
)
MARKER_HELD = (
    "needs the single-instance marker free, and this runner has kvdash loaded (so holds it): "
    "on Windows it runs in a session of its own (pytest -m lone_process tests/python/module/test_process.py)"
)


class _NoVirtualDisplays(types.ModuleType):
    """Stands in for kvdash_virtual where it cannot load, so that test modules
    still import; a test that uses it without the needs_virtual_display
    marker fails, saying so."""

    def __init__(self, reason: str) -> None:
        super().__init__("kvdash_virtual")
        self.reason = reason

    def __getattr__(self, name: str) -> NoReturn:
        if name.startswith("__"):
            raise AttributeError(name)
        raise RuntimeError(f"kvdash_virtual.{name}: {self.reason} (mark the test needs_virtual_display)")


try:
    import kvdash_virtual as vd
except ImportError as error:
    if not WINDOWS:
        raise
    sys.modules["kvdash_virtual"] = _NoVirtualDisplays(str(error))
    import kvdash_virtual as vd

# The C runtime the module writes its console with: on Windows the Universal
# CRT, shared with python.exe; elsewhere the process's libc.
_libc = ctypes.cdll.ucrtbase if WINDOWS else ctypes.CDLL(None)


def cflush() -> None:
    """The module never flushes its C stdout: flush it before reading."""
    _libc.fflush(None)


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", f"needs_virtual_display: skipped on Windows; {NO_VIRTUAL_DISPLAY}")
    config.addinivalue_line("markers", f"lone_process: {MARKER_HELD}")


def pytest_collection_modifyitems(config: pytest.Config, items: List[pytest.Item]) -> None:
    for item in items:
        # A test that asks for a display or an engine on one needs a virtual display.
        if {"display", "engine"} & set(getattr(item, "fixturenames", ())):
            item.add_marker(pytest.mark.needs_virtual_display)
    if not WINDOWS:
        return
    for item in items:
        if item.get_closest_marker("needs_virtual_display"):
            item.add_marker(pytest.mark.skip(reason=NO_VIRTUAL_DISPLAY))
        elif item.get_closest_marker("lone_process") and "kvdash" in sys.modules:
            item.add_marker(pytest.mark.skip(reason=MARKER_HELD))


@pytest.fixture(autouse=True)
def clean_bus() -> Iterator[None]:
    if WINDOWS:  # no virtual bus to clean
        yield
        return
    vd.reset()
    yield
    vd.reset()


def windows_documents() -> Path:
    """The Documents folder as Windows has it: the shell's, from the user's
    profile; no environment variable moves it."""
    if sys.platform != "win32":
        raise RuntimeError("the shell's folders exist on Windows only")
    buffer = ctypes.create_unicode_buffer(260)
    result = ctypes.windll.shell32.SHGetFolderPathW(None, 5, None, 0, buffer)  # CSIDL_PERSONAL
    assert result == 0, f"SHGetFolderPathW: {result:#x}"
    return Path(buffer.value)


@pytest.fixture(autouse=True)
def home(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A temporary home with a Documents folder, so init() never touches the
    real one. On Windows, the home whose Documents the module uses: the
    user's profile (under Wine, the prefix's). Best laps go to a temporary
    data folder on every platform."""
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "data"))
    monkeypatch.setenv("LOCALAPPDATA", str(tmp_path / "data"))
    monkeypatch.delenv("KVDASH_LOG_DIR", raising=False)
    if WINDOWS:
        return windows_documents().parent
    home = tmp_path / "home"
    (home / "Documents").mkdir(parents=True)
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.delenv("XDG_CONFIG_HOME", raising=False)
    return home


@pytest.fixture(autouse=True)
def default_page_port(monkeypatch: pytest.MonkeyPatch) -> Optional[int]:
    """An app a test runs in this process serves its pages by default on a
    free port of its own rather than 8722, which a running kvdash or another
    test run may hold (the app would take the next one, and say so)."""
    cli = sys.modules.get("kvdash_dashboard.cli")
    if cli is None:  # no app in this test module
        return None
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
    monkeypatch.setattr(cli, "DEFAULT_HTTP_PORT", port)
    return port


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
    import kvdash

    e = kvdash.kvengine()
    assert e.init() is True
    return e


# The image of a blank display: gear and both panels spaces, every LED off.
BLANK_REPORT = bytes([0, 1, 0x20] + [0] * 24 + [0x20] * 12 + [0] * 15)


def bare_engine() -> kvdash.kvengine:
    """A kvengine made by the type's allocation alone: it has no Engine."""
    import kvdash

    return kvdash.kvengine.__new__(kvdash.kvengine)


PRELUDE = """
import ctypes, sys
_libc = ctypes.cdll.ucrtbase if sys.platform == "win32" else ctypes.CDLL(None)
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

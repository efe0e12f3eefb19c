"""--learn run for the settings page: in a process of its own, so that a big
recording never holds up the loop that drives the display; the page asks
how it went until it has ended.

Its life is tied to the app's, however the app ends (a crash, kill -9): it
watches a pipe from the app (its stdin) and ends when that closes, which
works everywhere; on Linux the kernel also kills it when the app goes
(PR_SET_PDEATHSIG)."""

from __future__ import annotations

import ctypes
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from typing import IO, Any

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib

# s: a learning still running then is stopped (one at the 2 GiB cap of a
# recording takes about half of it).
LONGEST = 3600.0


PR_SET_PDEATHSIG = 1  # <linux/prctl.h>


def _prctl() -> Callable[..., int] | None:
    """Linux's prctl(), found before the fork (the child only calls it)."""
    if not sys.platform.startswith("linux"):
        return None
    try:
        prctl: Callable[..., int] = ctypes.CDLL(None, use_errno=True).prctl
    except (OSError, AttributeError):
        return None
    return prctl


def _below_the_game() -> dict[str, Any]:
    """Popen's arguments that run the learning at a lower priority than the
    game and the display, which share the CPU with it, and (on Linux) end it
    with the app."""
    if sys.platform == "win32":
        return {"creationflags": subprocess.BELOW_NORMAL_PRIORITY_CLASS}
    prctl, app = _prctl(), os.getpid()

    def in_the_child() -> None:
        os.nice(10)
        if prctl is not None:
            prctl(PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0)
            if os.getppid() != app:  # the app went before the call took
                os._exit(1)

    return {"preexec_fn": in_the_child}


def _watch_the_app() -> None:
    """In the learning process: ends it once the app's end of stdin closes."""
    try:
        while os.read(0, 4096):
            pass
    except OSError:
        pass
    os._exit(1)


def child(recording: str) -> int:
    """The learning process's own start: --learn, for as long as the app lives."""
    threading.Thread(target=_watch_the_app, daemon=True).start()
    from kvdash_dashboard import main

    return main([f"--learn={recording}"])


class LearnJob:
    """One recording being learnt from, by `python -m kvdash_dashboard --learn`."""

    def __init__(self, recording: str) -> None:
        self.recording = recording
        self.started = time.monotonic()
        self.outcome: dict[str, Any] | None = None
        # Files, not pipes: nobody needs to read while it runs, so it never waits on us.
        self._out: IO[bytes] = tempfile.TemporaryFile()
        self._err: IO[bytes] = tempfile.TemporaryFile()
        try:
            self.process = subprocess.Popen(
                [
                    sys.executable,
                    "-c",
                    f"import sys, {__name__} as j; sys.exit(j.child(sys.argv[1]))",
                ]
                + [recording],
                stdin=subprocess.PIPE,  # never written: its end closing says the app has gone
                stdout=self._out,
                stderr=self._err,
                env={**os.environ, "PYTHONIOENCODING": "utf-8"},
                **_below_the_game(),
            )
        except OSError:
            self._out.close()
            self._err.close()
            raise

    def state(self, now: float) -> dict[str, Any]:
        """{"running": true}, then the tables learnt ({"tables": {"car": ...}})
        or {"error": the line --learn printed}."""
        if self.outcome is not None:
            return self.outcome
        status = self.process.poll()
        if status is None:
            if now - self.started < LONGEST:
                return {"running": True, "recording": self.recording}
            self.stop()
            self.outcome = {"error": f"{self.recording}: still learning after {LONGEST:.0f} s"}
            return self.outcome
        self._out.seek(0)
        self._err.seek(0)
        out = self._out.read().decode("utf-8", "replace")
        err = self._err.read().decode("utf-8", "replace").strip().splitlines()
        self._close()
        if status != 0:
            why = err[-1] if err else f"--learn ended with status {status}"
            self.outcome = {"error": why}
        else:
            try:
                self.outcome = {"tables": tomllib.loads(out), "recording": self.recording}
            except tomllib.TOMLDecodeError as error:
                self.outcome = {"error": f"--learn printed what is not TOML: {error}"}
        return self.outcome

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self._close()

    def _close(self) -> None:
        if self.process.stdin is not None:
            self.process.stdin.close()
        self._out.close()
        self._err.close()

"""--learn run for the settings page: in a process of its own, so that a big
recording never holds up the loop that drives the display; the page asks
how it went until it has ended."""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import time
from typing import IO, Any

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib

# s: a learning still running then is stopped (one at the 2 GiB cap of a
# recording takes about half of it).
LONGEST = 3600.0


def _below_the_game() -> dict[str, Any]:
    """Popen's arguments that run the learning at a lower priority than the
    game and the display, which share the CPU with it."""
    if sys.platform == "win32":
        return {"creationflags": subprocess.BELOW_NORMAL_PRIORITY_CLASS}
    return {"preexec_fn": lambda: os.nice(10)}


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
                [sys.executable, "-m", "kvdash_dashboard", f"--learn={recording}"],
                stdin=subprocess.DEVNULL,
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
        self._out.close()
        self._err.close()
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
        self._out.close()
        self._err.close()

"""What the app has said, kept: its recent lines for the settings page, and
the log a user can find and send. On Windows the log is always written
(%LOCALAPPDATA%\\kvdash\\logs\\kvdash.log): a program in the notification
area has no console, and a user asked what went wrong needs a file."""

from __future__ import annotations

import contextlib
import logging
import os
import re
import sys
from collections import deque
from collections.abc import Iterator
from contextvars import ContextVar
from logging.handlers import RotatingFileHandler
from pathlib import Path
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .dashboard import Frame
    from .view import Status, View

LOG_NAME = "kvdash.log"
MAX_BYTES = 1 << 20  # then kvdash.log.1, the one older file kept
RECENT = 20  # lines kept for the page
# Where the log goes instead of the usual folder, on any system (without it,
# systems other than Windows keep no log: a terminal or the journal does).
LOG_DIR_VARIABLE = "KVDASH_LOG_DIR"
# The status line is logged when its words change (its counts aside), and
# at least this often, so a day's log is not one line a second.
STATUS_EVERY = 300.0  # s
_NUMBERS = re.compile(r"\d+(\.\d+)?")


def log_folder() -> Path | None:
    """Where the log is written: $KVDASH_LOG_DIR where set; else, on Windows,
    kvdash\\logs in the user's local application data; else nowhere."""
    chosen = os.environ.get(LOG_DIR_VARIABLE, "")
    if chosen:
        return Path(chosen)
    if sys.platform == "win32":
        local = os.environ.get("LOCALAPPDATA", "")
        return Path(local) / "kvdash" / "logs" if local else None
    return None


class _Handler(RotatingFileHandler):
    def handleError(self, record: logging.LogRecord) -> None:
        """A log that cannot be written (a full disk, the file renamed away
        by another kvdash) never stops the display, nor prints a traceback."""


class Journal:
    """The app's recent lines, and its log file where there is one."""

    def __init__(self, folder: Path | None) -> None:
        self.recent: deque[str] = deque(maxlen=RECENT)
        self.path: Path | None = None
        self.problem: str | None = None  # why the log cannot be written
        self._logger: logging.Logger | None = None
        self._status_words: str | None = None
        self._status_at = -1e9
        if folder is None:
            return
        path = folder / LOG_NAME
        try:
            folder.mkdir(parents=True, exist_ok=True)
            handler = _Handler(path, maxBytes=MAX_BYTES, backupCount=1, encoding="utf-8")
        except OSError as error:
            self.problem = f"No log: cannot write {path}: {error.strerror or error}"
            return
        handler.setFormatter(logging.Formatter("%(asctime)s %(message)s"))
        # A logger of our own, not the process's: several apps may run in one
        # process (the tests), each with its journal.
        self._logger = logging.Logger("kvdash", logging.INFO)
        self._logger.addHandler(handler)
        self.path = path

    def note(self, text: str) -> None:
        """A message the app said."""
        self.recent.extend(line for line in text.splitlines() if line.strip())
        if self._logger is not None:
            self._logger.info(text)

    def status(self, line: str, now: float, end: bool = False) -> None:
        """The status line, to the log when it says something new."""
        if self._logger is None:
            return
        words = _NUMBERS.sub("#", line)
        if end or words != self._status_words or now - self._status_at >= STATUS_EVERY:
            self._status_words, self._status_at = words, now
            self._logger.info(f"{'end: ' if end else 'status: '}{line}")

    def close(self) -> None:
        if self._logger is not None:
            for handler in list(self._logger.handlers):
                self._logger.removeHandler(handler)
                handler.close()
            self._logger = None


_current: ContextVar[Journal | None] = ContextVar("kvdash_journal", default=None)


@contextlib.contextmanager
def kept(journal: Journal) -> Iterator[Journal]:
    """Meanwhile, in this thread, what console.say() says is kept in journal."""
    token = _current.set(journal)
    try:
        yield journal
    finally:
        _current.reset(token)
        journal.close()


def note(text: str) -> None:
    """Keeps text in the running app's journal, if any."""
    journal = _current.get()
    if journal is not None:
        journal.note(text)


class JournalView:
    """A view that also keeps what it says, and the status, in the journal."""

    def __init__(self, view: View, journal: Journal) -> None:
        self.view = view
        self.journal = journal

    @property
    def next_update(self) -> float:
        return self.view.next_update

    @next_update.setter
    def next_update(self, value: float) -> None:
        self.view.next_update = value

    def update(self, now: float, frame: Frame, status: Status) -> None:
        self.view.update(now, frame, status)
        self.journal.status(status.line(), now)

    def say(self, text: str) -> None:
        self.view.say(text)
        self.journal.note(text)

    def close(self, frame: Frame, status: Status) -> None:
        self.view.close(frame, status)
        self.journal.status(status.line(), 0.0, end=True)

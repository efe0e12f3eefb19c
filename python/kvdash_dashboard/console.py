"""The module prints on the C runtime's stdout; the app keeps those messages
off the terminal picture and says them in its own words."""

from __future__ import annotations

import contextlib
import ctypes
import os
import sys
import tempfile
from collections.abc import Callable, Iterator


def _c_flush() -> Callable[[], None]:
    """fflush(NULL) of the C runtime that kvdash prints with."""
    library: ctypes.CDLL | None = None
    if sys.platform == "win32":
        for name in ("ucrtbase", "msvcrt"):
            try:
                library = ctypes.CDLL(name)
                break
            except OSError:
                continue
    else:
        library = ctypes.CDLL(None)
    if library is None:
        return lambda: None
    flush = library.fflush
    flush.argtypes = [ctypes.c_void_p]
    return lambda: flush(None) and None


flush_c_stdout = _c_flush()


@contextlib.contextmanager
def captured_c_stdout() -> Iterator[list[str]]:
    """Collects what is printed on file descriptor 1 meanwhile, C runtime included."""
    lines: list[str] = []
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        pass
    flush_c_stdout()
    try:
        saved = os.dup(1)
    except OSError:  # no stdout at all: nothing to keep apart
        yield lines
        return
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 1)
        try:
            yield lines
        finally:
            flush_c_stdout()
            os.dup2(saved, 1)
            os.close(saved)
            sink.seek(0)
            text = sink.read().decode("utf-8", "replace")
            lines.extend(line.strip() for line in text.splitlines() if line.strip())

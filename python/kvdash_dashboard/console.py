"""The module prints on the C runtime's stdout; the app keeps those messages
off the terminal picture and says them in its own words."""

from __future__ import annotations

import contextlib
import ctypes
import os
import sys
import tempfile
from collections.abc import Callable, Iterator

from . import journal


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
    keep_standard_descriptors()
    try:
        sys.stdout.flush()
    except (OSError, ValueError, AttributeError):  # AttributeError: no stdout (None)
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


def keep_standard_descriptors() -> None:
    """Puts the null device where descriptor 0, 1 or 2 is closed (a program
    started with stdout closed), so no socket or file of ours takes its
    number and receives what is printed."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            try:
                opened = os.open(os.devnull, os.O_RDWR)
            except OSError:
                return
            if opened != fd:
                os.dup2(opened, fd)
                os.close(opened)


def output_gone(stream: object) -> None:
    """A write to stream failed for good (a closed pipe, a full disk, a
    terminal gone): its descriptor now leads to the null device, so what is
    still buffered, and the interpreter's last flush, go nowhere instead of
    failing again."""
    try:
        fd = stream.fileno()  # type: ignore[attr-defined]
    except (AttributeError, OSError, ValueError):
        return
    try:
        null = os.open(os.devnull, os.O_WRONLY)
    except OSError:
        return
    try:
        os.dup2(null, fd)
    except OSError:
        pass
    finally:
        os.close(null)


def say(text: str, error: bool = False) -> None:
    """A line on stdout (or stderr), whatever became of it (none at all in a
    program without a console); and in the running app's journal."""
    journal.note(text)
    stream = sys.stderr if error else sys.stdout
    if stream is None:
        return
    try:
        print(text, file=stream, flush=True)
    except (OSError, ValueError):
        output_gone(stream)

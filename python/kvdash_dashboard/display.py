"""Finding the display, noticing it go and come back, and the virtual one for
people without one.

The module's answers do not change when a display is unplugged (its writes
fail silently), so presence is watched through the platform: a hidraw node
that is gone or was made anew, a Windows device path that no longer opens, a
virtual display detached."""

from __future__ import annotations

import glob
import os
import re
import sys
from enum import Enum
from typing import TYPE_CHECKING

import kvdash

from .console import captured_c_stdout

if TYPE_CHECKING:
    from kvdash_virtual import VirtualDisplay

VIRTUAL_AVAILABLE = sys.platform != "win32"
CHECK_PERIOD = 0.25  # s between presence checks of the driven display
SCAN_PERIOD = 0.5  # s between looks for a display while there is none
REAL_LOOK_PERIOD = 1.0  # s between looks for a real display while drawing a virtual one


class Kind(Enum):
    REAL = "SLI-PRO"
    VIRTUAL = "virtual display"  # attached by this process's own code, e.g. a test
    OURS = "virtual display (no SLI-PRO found)"  # drawn in the terminal


def _virtual_attached(path: str) -> bool:
    if not VIRTUAL_AVAILABLE:
        return False
    import kvdash_virtual

    return kvdash_virtual.is_attached(path)


def _virtual_by_path(path: str) -> VirtualDisplay | None:
    """The virtual display behind a device path (one attached by this
    process's own code): its number is in the path, after "virtual&"."""
    if not VIRTUAL_AVAILABLE:
        return None
    import kvdash_virtual

    digits = re.search(r"virtual&(\d+)", path)
    if digits is None:
        return None
    # A padded path has zeros after the number: try the longest reading first.
    for end in range(len(digits.group(1)), 0, -1):
        candidate = kvdash_virtual.VirtualDisplay(int(digits.group(1)[:end]))
        if candidate.path == path:
            return candidate
    return None


def _node_identity(path: str) -> tuple[int, int, int] | None:
    """What tells one hidraw node from the next one made under the same name."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_rdev, st.st_ino, st.st_ctime_ns)


def _windows_path_opens(path: str) -> bool:
    if sys.platform != "win32":
        return False
    import ctypes
    from ctypes import wintypes

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    create = kernel32.CreateFileW
    create.restype = wintypes.HANDLE
    create.argtypes = [
        wintypes.LPCWSTR,
        wintypes.DWORD,
        wintypes.DWORD,
        ctypes.c_void_p,
        wintypes.DWORD,
        wintypes.DWORD,
        wintypes.HANDLE,
    ]
    share_read_write, open_existing = 0x1 | 0x2, 3
    # No access rights asked: opens a device another program holds, too.
    handle = create(path, 0, share_read_write, None, open_existing, 0, None)
    if handle is None or handle == wintypes.HANDLE(-1).value:
        return False
    kernel32.CloseHandle(handle)
    return True


def listed_displays(sysfs: str = "/sys/class/hidraw") -> frozenset[str]:
    """The hidraw nodes the system lists for an SLI-PRO (1DD2:0103) now."""
    found = set()
    for uevent in glob.glob(os.path.join(sysfs, "hidraw*", "device", "uevent")):
        try:
            with open(uevent, encoding="utf-8", errors="replace") as f:
                text = f.read().upper()
        except OSError:
            continue
        if "00001DD2:00000103" in text:
            found.add(uevent.split(os.sep)[-3])
    return frozenset(found)


class Display:
    """The display the dashboard drives, or the wait for one."""

    def __init__(self, force_virtual: bool = False) -> None:
        self.force_virtual = force_virtual and VIRTUAL_AVAILABLE
        # --virtual where there are no virtual displays (Windows): the preview, no device.
        self.preview_only = force_virtual and not VIRTUAL_AVAILABLE
        self.engine: kvdash.kvengine | None = None
        self.kind: Kind | None = None
        self.path = ""
        self.virtual: VirtualDisplay | None = None  # ours, drawn in the terminal
        self.watched: VirtualDisplay | None = None  # the driven one, when it is virtual
        self.generation = 0  # one more for each engine: the frame must be sent anew
        self.lost = False  # a display went away and none has come back yet
        self.messages: list[str] = []  # what the module printed at the last init()
        self.next_check = 0.0
        self._identity: tuple[int, int, int] | None = None
        self._next_real_look = 0.0
        self._listed: frozenset[str] = frozenset()  # SLI-PRO nodes seen at the last look

    # ------------------------------------------------------------ status

    def status(self) -> str:
        if self.engine is None:
            # The terminal still draws every frame: a preview of what the display would show.
            return "display unplugged: preview only" if self.lost else "no display: preview only"
        return self.kind.value if self.kind else "display"

    def report(self) -> bytes | None:
        """The report the display was last sent, where it can be read back (a
        virtual display); the module itself has no way to answer it."""
        if self.engine is None or self.watched is None:
            return None
        return self.watched.last_report

    # ------------------------------------------------------------ bring-up

    def open(self, now: float, fallback: bool = True) -> bool:
        """Looks for a display now; with none, our own virtual one where we
        can have it (fallback). True when an engine drives a display."""
        self.next_check = now + CHECK_PERIOD
        if self.preview_only:
            self.next_check = float("inf")
            return False
        if self.force_virtual:
            return self._open_ours()
        if self._init():
            return True
        if fallback and VIRTUAL_AVAILABLE and not self.lost:
            return self._open_ours()
        return False

    def _init(self) -> bool:
        engine = kvdash.kvengine()
        with captured_c_stdout() as printed:
            found = engine.init()
        self.messages = printed
        if not found:
            del engine
            return False
        path = str(engine.get_device_info("device path"))
        self._take(engine, path, Kind.VIRTUAL if _virtual_attached(path) else Kind.REAL)
        return True

    def storage_failed(self) -> bool:
        """The module could not make its storage folder, so init() fails
        whatever is plugged in (a home folder that is missing or read-only)."""
        return self.engine is None and any("storage directory" in m for m in self.messages)

    def unopened(self) -> bool:
        """An SLI-PRO is listed, but init() could not open it (permissions?)."""
        return self.kind is Kind.OURS and not self.force_virtual and bool(self._listed)

    def _open_ours(self) -> bool:
        import kvdash_virtual

        self._listed = listed_displays()
        self.virtual = kvdash_virtual.attach()
        if self._init():
            self.kind = Kind.OURS
            self.watched = self.virtual
            return True
        self.virtual.detach()
        self.virtual = None
        return False

    def _take(self, engine: kvdash.kvengine, path: str, kind: Kind) -> None:
        self.engine = engine
        self.path = path
        self.kind = kind
        self.lost = False
        self.generation += 1
        self._identity = (
            _node_identity(path) if kind is Kind.REAL and path.startswith("/") else None
        )
        self.watched = _virtual_by_path(path) if kind is Kind.VIRTUAL else None

    # ------------------------------------------------------------ presence

    def present(self) -> bool:
        """Whether the driven display is still there."""
        if self.engine is None:
            return False
        if self.kind in (Kind.VIRTUAL, Kind.OURS):
            return _virtual_attached(self.path)
        if sys.platform == "win32":
            return _windows_path_opens(self.path)
        if self._identity is not None:
            return _node_identity(self.path) == self._identity
        return os.path.exists(self.path)

    def check(self, now: float) -> str | None:
        """The periodic look: answers "unplugged", "plugged" or None (no change)."""
        if self.engine is not None:
            self.next_check = now + CHECK_PERIOD
            if self.kind is Kind.OURS and not self.force_virtual and now >= self._next_real_look:
                # Only a node that was not there before is worth leaving ours
                # for: one that could not be opened stays unopenable.
                self._next_real_look = now + REAL_LOOK_PERIOD
                listed, self._listed = self._listed, listed_displays()
                if self._listed - listed and self._swap_to_real():
                    return "plugged"
            if self.present():
                return None
            self.release()
            self.lost = True
            return "unplugged"
        self.next_check = now + SCAN_PERIOD
        if self._init():
            return "plugged"
        return None

    def _swap_to_real(self) -> bool:
        """Leaves our virtual display for a real one that was plugged in."""
        self.release()
        if self.virtual is not None:
            self.virtual.detach()
            self.virtual = None
        return self._init() or self._open_ours()

    def release(self) -> None:
        """Lets the engine go: the display is blanked (silently, when it is gone)."""
        self.engine = None
        self.kind = None
        self._identity = None
        self.watched = None

    def close(self) -> None:
        self.release()
        if self.virtual is not None:
            self.virtual.detach()

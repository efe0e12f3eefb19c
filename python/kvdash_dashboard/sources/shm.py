"""Reading the shared memory a game publishes, without ever creating it.

On Windows a game's mapping is opened by name (``Local\\<name>``) with
OpenFileMappingW, which fails while the game is not running; ``mmap`` with a
tag name would create an empty mapping instead and keep the name alive.
Elsewhere the mapping is a file of the same name (without ``Local\\``) in a
folder, where a bridge for a game under Proton or Wine publishes it.

Files are read with ``pread`` rather than mapped: reading a mapped page of a
file that has meanwhile shrunk raises SIGBUS, which Python cannot catch,
while ``pread`` just answers fewer bytes. Both read the same tmpfs pages the
writer maps, so nothing is lost.

A family gives the ShmReader its mapping names and a ``take`` function that
copies the few bytes its decoder reads into a compact snapshot."""

from __future__ import annotations

import os
import stat
import sys
from collections.abc import Callable, Sequence
from typing import Any, Protocol

# The reader looks for an absent game about once a second, polls a present
# one every 2 ms (games publish at 60 to 400 Hz), and slows to 16 ms once
# nothing new has come for half a second (paused, in a menu, closed).
ABSENT_INTERVAL = 1.0
FAST_INTERVAL = 0.002
IDLE_INTERVAL = 0.016
IDLE_AFTER = 0.5
# How often a quiet file is checked for having been replaced by a new one.
STALE_CHECK_INTERVAL = 1.0
# Copies retried when the game wrote during the copy.
TORN_RETRIES = 4

DEFAULT_SHM_DIR = "/dev/shm"
# No game's page comes near this; a larger file there is not one.
MAX_FILE_SIZE = 64 << 20


class Gone(Exception):
    """The mapping is too small for what was asked, or no longer readable."""


class Unsupported(Gone):
    """The game publishes a layout this app cannot read (an unknown version,
    a page smaller than the game's struct); its message says which, for the
    status line."""


class TooSmall(Unsupported):
    """The mapping ends before what the game's page holds."""

    def __init__(self, where: str, size: int, needed: int) -> None:
        super().__init__(f"{where}: {size} bytes, smaller than the game's page ({needed} bytes)")


class Unusable(Exception):
    """Something stands under a mapping's name that cannot be read as one."""


class View(Protocol):
    """Read-only access to one mapping."""

    where: str  # the file's path or the mapping's name, for messages

    def size(self) -> int: ...

    def read(self, offset: int, length: int) -> bytes:
        """Exactly ``length`` bytes at ``offset``; Gone when they are not there."""
        ...

    def stale(self) -> bool:
        """True when the name now stands for another mapping (or none)."""
        ...

    def close(self) -> None: ...


def require(view: View, size: int) -> None:
    """TooSmall unless the mapping holds at least ``size`` bytes."""
    have = view.size()
    if have < size:
        raise TooSmall(view.where, have, size)


def read_optional(view: View, offset: int, length: int) -> bytes:
    """Bytes a longer version of a page has: zeros where this page ends."""
    if offset + length <= view.size():
        return view.read(offset, length)
    return bytes(length)


def c_text(raw: bytes) -> str | None:
    """A NUL-terminated 8-bit string (a name the game writes), or None when empty."""
    value = raw.split(b"\0", 1)[0].decode("utf-8", "replace").strip()
    return value or None


def consistent(view: View, counter: int, body: Callable[[], bytes]) -> bytes | None:
    """``body()`` copied while the i32 counter at ``counter`` stayed put;
    None when the game kept writing through every retry."""
    for _ in range(TORN_RETRIES):
        before = view.read(counter, 4)
        data = body()
        if view.read(counter, 4) == before:
            return data
    return None


class BytesView:
    """A page held in memory: what a test or a tool hands to ``take``."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.where = "page"

    def size(self) -> int:
        return len(self.data)

    def read(self, offset: int, length: int) -> bytes:
        if offset < 0 or length < 0:
            raise Gone(f"{length} bytes at {offset}")
        if offset + length > len(self.data):
            raise TooSmall(self.where, len(self.data), offset + length)
        return self.data[offset : offset + length]

    def stale(self) -> bool:
        return False

    def close(self) -> None:
        pass


class FileView:
    """A mapping published as a file (by a bridge, under Proton or Wine)."""

    def __init__(self, path: str) -> None:
        """Opens without blocking (a FIFO or a device under the name must not
        stall the loop) and keeps only a regular file of a sane size:
        FileNotFoundError while absent, Unusable for anything else."""
        self.where = self._path = path
        flags = os.O_RDONLY | getattr(os, "O_BINARY", 0) | getattr(os, "O_NONBLOCK", 0)
        try:
            self._fd = os.open(path, flags | getattr(os, "O_NOCTTY", 0))
        except PermissionError:
            raise Unusable(f"{path}: permission denied") from None
        except FileNotFoundError:
            raise  # absent: the game has not started
        except OSError as e:
            raise Unusable(f"{path}: {e.strerror or e}") from None
        try:
            st = os.fstat(self._fd)
            if not stat.S_ISREG(st.st_mode):
                raise Unusable(f"{path}: not a file")
            if st.st_size > MAX_FILE_SIZE:
                raise Unusable(f"{path}: {st.st_size} bytes, too large for a game's page")
        except BaseException:
            os.close(self._fd)
            raise
        self._ident = (st.st_dev, st.st_ino)

    def size(self) -> int:
        try:
            return os.fstat(self._fd).st_size
        except OSError as e:
            raise Gone(str(e)) from e

    def read(self, offset: int, length: int) -> bytes:
        if offset < 0 or length < 0:
            raise Gone(f"{length} bytes at {offset}")
        try:
            if sys.platform == "win32":  # files from --shm-dir on Windows: no pread
                os.lseek(self._fd, offset, os.SEEK_SET)
                data = os.read(self._fd, length)
            else:
                data = os.pread(self._fd, length, offset)
        except OSError as e:
            raise Gone(str(e)) from e
        if len(data) != length:
            # Asked from past its end, the file says nothing of where it ends.
            end = offset + len(data) if data else self.size()
            raise TooSmall(self._path, end, offset + length)
        return data

    def stale(self) -> bool:
        try:
            st = os.stat(self._path)
        except OSError:
            return True
        return (st.st_dev, st.st_ino) != self._ident

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1


if sys.platform == "win32":
    import ctypes
    from ctypes import wintypes

    _FILE_MAP_READ = 0x0004
    _k32 = ctypes.WinDLL("kernel32", use_last_error=True)
    _k32.OpenFileMappingW.argtypes = [wintypes.DWORD, wintypes.BOOL, wintypes.LPCWSTR]
    _k32.OpenFileMappingW.restype = wintypes.HANDLE
    _k32.MapViewOfFile.argtypes = [
        wintypes.HANDLE,
        wintypes.DWORD,
        wintypes.DWORD,
        wintypes.DWORD,
        ctypes.c_size_t,
    ]
    _k32.MapViewOfFile.restype = ctypes.c_void_p
    _k32.UnmapViewOfFile.argtypes = [ctypes.c_void_p]
    _k32.UnmapViewOfFile.restype = wintypes.BOOL
    _k32.CloseHandle.argtypes = [wintypes.HANDLE]
    _k32.CloseHandle.restype = wintypes.BOOL

    _MBI_FIELDS: list[tuple[str, Any]] = [
        ("BaseAddress", ctypes.c_void_p),
        ("AllocationBase", ctypes.c_void_p),
        ("AllocationProtect", wintypes.DWORD),
    ]
    if ctypes.sizeof(ctypes.c_void_p) == 8:  # only 64-bit Windows has it
        _MBI_FIELDS.append(("PartitionId", wintypes.WORD))
    _MBI_FIELDS += [
        ("RegionSize", ctypes.c_size_t),
        ("State", wintypes.DWORD),
        ("Protect", wintypes.DWORD),
        ("Type", wintypes.DWORD),
    ]

    class _MemoryBasicInformation(ctypes.Structure):
        _fields_ = _MBI_FIELDS

    _k32.VirtualQuery.argtypes = [
        ctypes.c_void_p,
        ctypes.POINTER(_MemoryBasicInformation),
        ctypes.c_size_t,
    ]
    _k32.VirtualQuery.restype = ctypes.c_size_t

    class NamedView:
        """A game's named mapping, viewed read-only. Holding the view keeps
        the mapping alive, even after its game has quit."""

        def __init__(self, name: str, handle: int, address: int, size: int) -> None:
            self.where = "Local\\" + name
            self._handle = handle
            self._address = address
            self._size = size  # the view's size, rounded up to whole pages

        @classmethod
        def open(cls, name: str) -> NamedView | None:
            handle = _k32.OpenFileMappingW(_FILE_MAP_READ, False, "Local\\" + name)
            if not handle:
                return None
            address = _k32.MapViewOfFile(handle, _FILE_MAP_READ, 0, 0, 0)
            if not address:
                _k32.CloseHandle(handle)
                return None
            info = _MemoryBasicInformation()
            if not _k32.VirtualQuery(address, ctypes.byref(info), ctypes.sizeof(info)):
                _k32.UnmapViewOfFile(address)
                _k32.CloseHandle(handle)
                return None
            return cls(name, handle, address, int(info.RegionSize))

        def size(self) -> int:
            return self._size

        def read(self, offset: int, length: int) -> bytes:
            if not self._address or offset < 0 or length < 0:
                raise Gone(f"{length} bytes at {offset}")
            if offset + length > self._size:
                raise TooSmall(self.where, self._size, offset + length)
            return ctypes.string_at(self._address + offset, length)

        def stale(self) -> bool:
            # A named mapping lives while anyone holds it, so ours would keep
            # a game that quit alive, and the next game to start would write
            # into it (Assetto Corsa into ACC's pages). Asked only once the
            # counters have stopped: let go, and open it afresh if it is
            # still there.
            return True

        def close(self) -> None:
            if self._address:
                _k32.UnmapViewOfFile(self._address)
                _k32.CloseHandle(self._handle)
                self._address = 0


def open_view(name: str, shm_dir: str | None) -> View | None:
    """The mapping ``name`` (without ``Local\\``), or None while it is absent;
    Unusable when something there cannot be read as one. A folder reads it as
    a file there; None opens it by name on Windows and reads DEFAULT_SHM_DIR
    elsewhere."""
    if shm_dir is None and sys.platform == "win32":
        return NamedView.open(name)
    try:
        return FileView(os.path.join(shm_dir or DEFAULT_SHM_DIR, name))
    except FileNotFoundError:
        return None


Take = Callable[[Sequence[View]], bytes | None]


class CounterCache:
    """A ``take`` that first reads the game's update counters (a few bytes)
    and answers the last snapshot again while they, and the mappings' sizes,
    have not moved."""

    def __init__(self, counters: Callable[[Sequence[View]], bytes], take: Take) -> None:
        self._counters = counters
        self._take = take
        self._seen: Sequence[View] | None = None
        self._key: tuple[bytes, list[int]] = (b"", [])
        self._snapshot: bytes | None = None

    def __call__(self, views: Sequence[View]) -> bytes | None:
        key = (self._counters(views), [view.size() for view in views])
        if views is self._seen and key == self._key:
            return self._snapshot
        snapshot = self._take(views)
        if snapshot is not None:
            self._seen, self._key, self._snapshot = views, key, snapshot
        return snapshot


class ShmReader:
    """Polls one game's mappings and answers a snapshot when it changed.

    ``take(views)`` copies what the decoder reads (views in the order of
    ``names``), checking the game's update counter around the copy; it
    answers None when every copy was torn, and raises Gone when a mapping is
    too small. Snapshots hold the game's counters, so an unchanged snapshot
    means the game published nothing new."""

    def __init__(self, names: Sequence[str], take: Take, shm_dir: str | None) -> None:
        self._names = tuple(names)
        self._take = take
        self._shm_dir = shm_dir
        self._views: list[View] | None = None
        self._last: bytes | None = None
        self._news_at = 0.0
        self._checked_at = 0.0
        self.next_poll = 0.0
        # Why the game's mapping, though there, cannot be read; None when
        # it is read or simply absent.
        self.problem: str | None = None

    @property
    def present(self) -> bool:
        return self._views is not None

    @property
    def where(self) -> str:
        """The mapping the game is known by (its first), for the user."""
        return ("Local\\" if sys.platform == "win32" else "") + self._names[0]

    def poll(self, now: float) -> bytes | None:
        if self._views is None and not self._open(now):  # _open says why, if it can
            self.next_poll = now + ABSENT_INTERVAL
            return None
        assert self._views is not None
        try:
            snapshot = self._take(self._views)
        except Gone as error:
            # Too small, an unknown version, or not the game's page at all:
            # said until it is mended (a bridge set up anew publishes a new file).
            self._drop()
            self.problem = str(error) if isinstance(error, Unsupported) else None
            self.next_poll = now + ABSENT_INTERVAL
            return None
        self.problem = None
        if snapshot is not None and snapshot != self._last:
            self._last = snapshot
            self._news_at = now
            self.next_poll = now + FAST_INTERVAL
            return snapshot
        quiet = now - self._news_at
        if quiet >= STALE_CHECK_INTERVAL and now - self._checked_at >= STALE_CHECK_INTERVAL:
            # A game that restarted publishes a new file; ours is a leftover.
            self._checked_at = now
            if any(view.stale() for view in self._views):
                last = self._last
                self._drop()
                # Opened again at once; the same snapshot there is no news.
                self._last = last
                self.next_poll = now + FAST_INTERVAL
                return None
        self.next_poll = now + (FAST_INTERVAL if quiet < IDLE_AFTER else IDLE_INTERVAL)
        return None

    def close(self) -> None:
        self._drop()

    def _open(self, now: float) -> bool:
        views: list[View] = []
        try:
            for name in self._names:
                view = open_view(name, self._shm_dir)
                if view is None:
                    self.problem = None
                    return False
                views.append(view)
        except Unusable as unusable:
            self.problem = str(unusable)
            return False
        finally:
            if len(views) < len(self._names):
                for opened in views:
                    opened.close()
        self._views = views
        self._news_at = now
        self._checked_at = now
        return True

    def _drop(self) -> None:
        if self._views is not None:
            for view in self._views:
                view.close()
        self._views = None
        self._last = None

"""Virtual SLI-PRO displays for kvdash.

A virtual display is an in-process HID device on kvdash's interface list:
``kvengine.init()`` finds it as it would a real display, and every report
that ``show_me()`` sends lands here, byte for byte.

    import kvdash, kvdash_virtual as vd

    with vd.attach() as display:
        engine = kvdash.kvengine()
        engine.init()
        engine.set_gear("3")
        engine.show_me()
        print(display.render())
"""

from __future__ import annotations

import ctypes
import sys
from typing import List, Optional, Tuple

if sys.platform == "win32":
    raise ImportError(
        "kvdash_virtual is not available on Windows: virtual displays exist only "
        "in kvdash's stand-in for the Windows HID interfaces (Linux and other systems)"
    )

import kvdash

__all__ = ["VirtualDisplay", "attach", "reset", "is_attached", "render_report"]

_lib = ctypes.CDLL(kvdash.__file__)

_c = ctypes.c_int
_prototypes = {
    "kvvd_attach": (_c, [_c, _c, _c, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, _c, _c, _c]),
    "kvvd_detach": (_c, [_c]),
    "kvvd_reset": (None, []),
    "kvvd_is_attached": (_c, [_c]),
    "kvvd_path_attached": (_c, [ctypes.c_char_p]),
    "kvvd_path": (_c, [_c, ctypes.c_char_p, _c]),
    "kvvd_report_count": (_c, [_c]),
    "kvvd_report": (_c, [_c, _c, ctypes.c_char_p, _c]),
    "kvvd_write_count": (ctypes.c_longlong, [_c]),
    "kvvd_open_handles": (_c, [_c]),
    "kvvd_fail_writes": (_c, [_c, ctypes.c_uint, ctypes.c_longlong]),
    "kvvd_short_writes": (_c, [_c, _c]),
    "kvvd_refuse_open": (_c, [_c, _c, _c]),
    "kvvd_fail_serial": (_c, [_c]),
    "kvvd_fail_attributes": (_c, [_c]),
    "kvvd_set_path_length": (_c, [_c, _c]),
    "kvvd_set_descriptor": (_c, [_c, ctypes.c_char_p, _c]),
}
for _name, (_restype, _argtypes) in _prototypes.items():
    _function = getattr(_lib, _name)
    _function.restype = _restype
    _function.argtypes = _argtypes

_REPORT_SIZE = 54
_MAX_REPORT = 4096


def _text(value: str, what: str) -> bytes:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{what} must not contain NUL")
    return value.encode("utf-8")


def _number(value: int, what: str, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{what} must be between {low} and {high}, not {value}")
    return value


class VirtualDisplay:
    """One virtual display. Use it as a context manager to detach it on leaving."""

    def __init__(self, ident: int) -> None:
        self._id = ident

    def __repr__(self) -> str:
        state = "attached" if _lib.kvvd_is_attached(self._id) == 1 else "detached"
        return f"<VirtualDisplay {self.path!r} {state}>"

    def __enter__(self) -> "VirtualDisplay":
        return self

    def __exit__(self, *exc: object) -> None:
        self.detach()

    @property
    def attached(self) -> bool:
        """True until it is detached (or reset)."""
        return _lib.kvvd_is_attached(self._id) == 1

    @property
    def path(self) -> str:
        """Its device path as enumerated."""
        length = _lib.kvvd_path(self._id, None, 0)
        if length < 0:
            return ""
        buffer = ctypes.create_string_buffer(length + 1)
        _lib.kvvd_path(self._id, buffer, length + 1)
        return buffer.value.decode("utf-8")

    def _report(self, index: int) -> bytes:
        buffer = ctypes.create_string_buffer(_MAX_REPORT)
        length = _lib.kvvd_report(self._id, index, buffer, _MAX_REPORT)
        return buffer.raw[: max(0, min(length, _MAX_REPORT))]

    @property
    def reports(self) -> List[bytes]:
        """The reports written to it, oldest first (the last 4096)."""
        return [self._report(i) for i in range(max(0, _lib.kvvd_report_count(self._id)))]

    @property
    def last_report(self) -> Optional[bytes]:
        """The newest report, or None before the first."""
        count = _lib.kvvd_report_count(self._id)
        return self._report(count - 1) if count > 0 else None

    @property
    def write_count(self) -> int:
        """Writes it accepted, in all (a failed write does not count)."""
        return max(0, _lib.kvvd_write_count(self._id))

    @property
    def open_handles(self) -> int:
        """Handles now open on it."""
        return max(0, _lib.kvvd_open_handles(self._id))

    def fail_writes(self, error: int = 1167, count: Optional[int] = None) -> None:
        """The next ``count`` write attempts fail with ``error`` (None: all)."""
        _number(error, "error", 1, 0xFFFFFFFF)
        times = -1 if count is None else _number(count, "count", 0, 2**62)
        _lib.kvvd_fail_writes(self._id, error, times)

    def refuse_open(self, write: bool = True, read: bool = False) -> None:
        """Opens for writing / reading fail; opens without access rights still succeed."""
        _lib.kvvd_refuse_open(self._id, 1 if write else 0, 1 if read else 0)

    def fail_serial(self) -> None:
        """The serial-number request fails."""
        _lib.kvvd_fail_serial(self._id)

    def detach(self) -> None:
        """Unplugged: it leaves the list; writes on open handles fail with 1167."""
        _lib.kvvd_detach(self._id)

    def render(self) -> str:
        """A text picture of what the display now shows."""
        return render_report(self.last_report)


def attach(
    vendor_id: int = 0x1DD2,
    product_id: int = 0x0103,
    version: int = 0x0105,
    manufacturer: str = "Leo Bodnar (virtual)",
    product: str = "SLI-PRO",
    serial: str = "VIRTUAL0001",
    buttons: Optional[Tuple[int, int]] = None,
    value_caps: int = 0,
) -> VirtualDisplay:
    """Attach a virtual display, enumerated before any real device."""
    _number(vendor_id, "vendor_id", 0, 0xFFFF)
    _number(product_id, "product_id", 0, 0xFFFF)
    _number(version, "version", 0, 0xFFFF)
    _number(value_caps, "value_caps", 0, 64)
    low = high = 0
    if buttons is not None:
        if not isinstance(buttons, tuple) or len(buttons) != 2:
            raise TypeError("buttons must be a (first usage, last usage) tuple or None")
        low = _number(buttons[0], "first button usage", 1, 0xFFFF)
        high = _number(buttons[1], "last button usage", low, min(0xFFFF, low + 1023))
    ident = _lib.kvvd_attach(
        vendor_id,
        product_id,
        version,
        _text(manufacturer, "manufacturer"),
        _text(product, "product"),
        _text(serial, "serial"),
        low,
        high,
        value_caps,
    )
    if ident < 0:
        raise RuntimeError("the virtual display could not be attached")
    return VirtualDisplay(ident)


def is_attached(path: str) -> bool:
    """True when a virtual display with this device path is attached: how a
    program that only knows the path (get_device_info("device path")) sees an
    unplug."""
    if not isinstance(path, str) or "\0" in path:
        return False
    return _lib.kvvd_path_attached(path.encode("utf-8")) == 1


def reset() -> None:
    """Detach every virtual device and clear all faults."""
    _lib.kvvd_reset()


# Seven-segment-ish glyphs are overkill for a terminal: show the characters
# themselves, a point after those whose decimal point is lit.
def _character(code: int) -> str:
    char = chr(code & 0x7F)
    shown = char if (char.isdigit() or char in "-r ") else ("·" if code & 0x7F else " ")
    return shown + ("." if code & 0x80 else " ")


def render_report(report: Optional[bytes]) -> str:
    """A text picture of a 54-byte report as the display would show it."""
    if report is None or len(report) < _REPORT_SIZE:
        report = bytes(_REPORT_SIZE)
    rpm = "".join("●" if report[3 + i] == 1 else "○" for i in range(13))
    warn = "".join("●" if report[16 + i] == 1 else "○" for i in range(6))
    left = "".join(_character(b) for b in report[27:33])
    right = "".join(_character(b) for b in report[33:39])
    gear = _character(report[2])
    rows = [f"RPM  {rpm}", f"[{left}] ({gear}) [{right}]", f"WARN {warn}"]
    width = max(len(row) for row in rows) + 2
    lines = ["┌" + "─" * width + "┐"]
    lines += ["│" + row.center(width) + "│" for row in rows]
    lines.append("└" + "─" * width + "┘")
    return "\n".join(lines)

"""The games' own structures, transcribed from their headers as declarations
and laid out by ctypes, so test pages and packets get their offsets from the
game's description rather than from our decoders or our notes.

``struct(decls, pack)`` turns C declarations ("float a, b; int c[4][3];")
into a ctypes Structure; ``pack`` is the header's ``#pragma pack`` (None:
natural alignment). wchar_t is two bytes, as on Windows, where the games run.
``page(cls, **values)`` is the structure's bytes with the named fields set
(a str for a char or wchar_t array is written as text)."""

from __future__ import annotations

import ctypes
import re
from typing import Any

_TYPES: dict[str, Any] = {
    "bool": ctypes.c_bool,
    "char": ctypes.c_char,
    "wchar_t": ctypes.c_uint16,
    "int": ctypes.c_int32,
    "unsigned int": ctypes.c_uint32,
    "float": ctypes.c_float,
    "int8_t": ctypes.c_int8,
    "uint8_t": ctypes.c_uint8,
    "uint16_t": ctypes.c_uint16,
    "int32_t": ctypes.c_int32,
    "uint32_t": ctypes.c_uint32,
}
_DECL = re.compile(r"\s*(unsigned int|\w+)\s+(.+)", re.DOTALL)
_NAME = re.compile(r"(\w+)((?:\[\d+\])*)")


def struct(decls: str, pack: int | None = None, **known: type[ctypes.Structure]) -> Any:
    """A ctypes Structure for the declarations; ``known`` names struct types
    the declarations use."""
    fields: list[tuple[str, Any]] = []
    for decl in filter(str.strip, decls.split(";")):
        match = _DECL.fullmatch(decl.strip())
        assert match, decl
        ctype = known.get(match[1]) or _TYPES[match[1]]
        for name in match[2].split(","):
            parts = _NAME.fullmatch(name.strip())
            assert parts, name
            kind = ctype
            for count in reversed(re.findall(r"\d+", parts[2])):
                kind = kind * int(count)
            fields.append((parts[1], kind))
    attrs: dict[str, Any] = {"_fields_": fields}
    if pack is not None:
        attrs |= {"_pack_": pack, "_layout_": "ms"}
    return type("Transcribed", (ctypes.Structure,), attrs)


def page(cls: Any, size: int | None = None, **values: Any) -> bytes:
    """The structure's bytes with ``values`` set, padded with zeros to
    ``size``. A dotted name reaches into a nested structure or an array
    ("mParticipantInfo.3.mRacePosition")."""
    data = cls()
    for path, value in values.items():
        *outer, last = path.split(".")
        target = data
        for part in outer:
            target = target[int(part)] if part.isdigit() else getattr(target, part)
        if last.isdigit():
            target[int(last)] = value
        elif isinstance(value, str) and not isinstance(getattr(target, last), bytes):
            for i, char in enumerate(value):  # wchar_t text
                getattr(target, last)[i] = ord(char)
        else:
            setattr(target, last, value.encode() if isinstance(value, str) else value)
    raw = bytes(data)
    return raw.ljust(size or len(raw), b"\0")

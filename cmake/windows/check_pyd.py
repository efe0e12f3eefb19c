#!/usr/bin/env python3
"""Checks what a cross-built kvdash.pyd exports and imports, from `objdump -p`.

It must export PyInit_kvdash, BuildEx and the fourteen method implementations
and nothing else; import the interpreter from python3.dll alone (the stable
ABI, never a python3XY.dll), and otherwise only the HID, SetupAPI, kernel,
shell and multimedia-timer DLLs and the Universal CRT (ucrtbase.dll or its
api-ms-win-crt-* sets), the C runtime python.exe uses. msvcrt.dll would be a
second C runtime in the process, with its own stdout buffer and heap. Any
deviation fails loudly.
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys
from pathlib import Path

EXPECTED_EXPORTS = frozenset(
    {
        "PyInit_kvdash",
        "BuildEx",
        "PyDev_set_gear",
        "PyInitMgr",
        "PyGetDeviceInfo",
        "PyGetInputData",
        "PyStartInputListener",
        "PyStopInputListener",
        "PySendReport",
        "PySetOneRPMLed",
        "PySetWarnLed",
        "PySetExternalLed",
        "PySetGlobalBrightness",
        "PySetRightDigits",
        "PySetLeftDigits",
        "PyClose",
    }
)
ALLOWED_DLLS = frozenset(
    {"python3.dll", "hid.dll", "setupapi.dll", "kernel32.dll", "shell32.dll", "winmm.dll", "ucrtbase.dll"}
)
C_RUNTIME_SETS = re.compile(r"^api-ms-win-crt-[a-z0-9-]+\.dll$")
VERSIONED_PYTHON = re.compile(r"^python3\d+\.dll$")


def parse(dump: str) -> tuple[str, list[str], dict[str, list[str]]]:
    """The file format, the exported names and the imported names per DLL."""
    file_format = ""
    exports: list[str] = []
    imports: dict[str, list[str]] = {}
    section = ""
    current_dll = ""
    for line in dump.splitlines():
        match = re.search(r"file format (\S+)", line)
        if match:
            file_format = match.group(1)
        if line.startswith(("[Ordinal/Name Pointer] Table", "[Name Pointer/Ordinal] Table")):
            section = "exports"
            continue
        if line.startswith("The Import Tables"):
            section = "imports"
            continue
        if line.startswith("The ") or (section == "exports" and not line.strip()):
            section = ""
            continue
        if section == "exports":
            match = re.match(r"^\s*\[\s*\d+\]\s+(\S+)\s*$", line)
            if match:
                exports.append(match.group(1))
        elif section == "imports":
            match = re.match(r"^\s*DLL Name:\s*(\S+)", line)
            if match:
                current_dll = match.group(1).lower()
                imports.setdefault(current_dll, [])
                continue
            match = re.match(r"^\s*[0-9a-f]+\s+\d+\s+([A-Za-z_]\w*)\s*$", line)
            if match and current_dll:
                imports[current_dll].append(match.group(1))
    return file_format, exports, imports


def def_names(def_file: Path) -> set[str]:
    names: set[str] = set()
    in_exports = False
    for raw in def_file.read_text().splitlines():
        line = raw.split(";", 1)[0].strip()
        if not line:
            continue
        if line.upper() == "EXPORTS":
            in_exports = True
            continue
        if in_exports:
            names.add(line.split()[0])
    return names


def check(pyd: Path, objdump: str, def_file: Path | None) -> list[str]:
    dump = subprocess.run([objdump, "-p", str(pyd)], check=True, capture_output=True, text=True).stdout
    file_format, exports, imports = parse(dump)
    problems: list[str] = []
    if file_format != "pei-x86-64":
        problems.append(f"file format is {file_format or 'unknown'}, not pei-x86-64")
    if not exports:
        problems.append("no export table found")
    missing = EXPECTED_EXPORTS - set(exports)
    extra = set(exports) - EXPECTED_EXPORTS
    if missing:
        problems.append(f"exports missing: {', '.join(sorted(missing))}")
    if extra:
        problems.append(f"exports not ours to give: {', '.join(sorted(extra))}")
    if len(exports) != len(set(exports)):
        problems.append("an export name appears twice")
    if "python3.dll" not in imports:
        problems.append("does not import python3.dll")
    for dll in sorted(imports):
        if VERSIONED_PYTHON.match(dll):
            problems.append(f"imports {dll}: tied to one interpreter version, not the stable ABI")
        elif dll == "msvcrt.dll" or re.match(r"^msvcr\d*\.dll$", dll):
            problems.append(f"imports {dll}: a C runtime other than python.exe's Universal CRT")
        elif dll not in ALLOWED_DLLS and not C_RUNTIME_SETS.match(dll):
            problems.append(f"imports {dll}, which is not allowed")
    if not any(dll == "ucrtbase.dll" or C_RUNTIME_SETS.match(dll) for dll in imports):
        problems.append("imports no Universal CRT (ucrtbase.dll or api-ms-win-crt-*)")
    if def_file is not None and "python3.dll" in imports:
        unknown = set(imports["python3.dll"]) - def_names(def_file)
        if unknown:
            problems.append(f"python3.dll names not in {def_file.name}: {', '.join(sorted(unknown))}")

    print(f"{pyd.name}: {file_format}, {len(exports)} exports: {' '.join(sorted(exports))}")
    for dll in sorted(imports):
        print(f"  imports {dll}: {len(imports[dll])} names")
    if "python3.dll" in imports:
        print(f"  from python3.dll: {' '.join(sorted(imports['python3.dll']))}")
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("pyd", type=Path)
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    parser.add_argument("--def", dest="def_file", type=Path, default=None)
    arguments = parser.parse_args()
    problems = check(arguments.pyd, arguments.objdump, arguments.def_file)
    for problem in problems:
        print(f"FAIL: {problem}", file=sys.stderr)
    if problems:
        return 1
    print("kvdash.pyd exports and imports: OK")
    return 0


if __name__ == "__main__":
    sys.exit(main())

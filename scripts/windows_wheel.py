#!/usr/bin/env python3
"""Builds kvdash-<version>-cp310-abi3-win_amd64.whl from the cross-built
kvdash.pyd, and checks it.

The wheel holds what an MSVC build's wheel holds: kvdash.pyd at the top level,
kvdash_virtual.py (it refuses to load on Windows, as on any system without the
virtual bus), the stub packages and, where the tree has it, the app
kvdash_dashboard. The project's metadata (METADATA, entry_points.txt) is taken
from the Linux wheel that the same pyproject.toml produced, so both wheels
describe one project; WHEEL and RECORD are written here.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import shutil
import sys
import tempfile
import zipfile
from email.parser import Parser
from pathlib import Path, PurePosixPath
from typing import Dict, List

TAG = "cp310-abi3-win_amd64"
PYTHON_FILES = ("kvdash_virtual.py",)
PACKAGES = ("kvdash-stubs", "kvdash_virtual-stubs", "kvdash_dashboard")
SKIPPED_PARTS = ("__pycache__",)


def record_hash(data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "sha256=" + digest.decode("ascii")


def linux_metadata(linux_wheel: Path) -> Dict[str, bytes]:
    """METADATA, entry_points.txt and the licence files (where present) of the
    Linux wheel, by their path inside the .dist-info."""
    found: Dict[str, bytes] = {}
    with zipfile.ZipFile(linux_wheel) as archive:
        for name in archive.namelist():
            path = PurePosixPath(name)
            if not path.parts[0].endswith(".dist-info") or name.endswith("/"):
                continue
            inside = "/".join(path.parts[1:])
            if inside in ("METADATA", "entry_points.txt") or inside.startswith("licenses/"):
                found[inside] = archive.read(name)
    if "METADATA" not in found:
        raise SystemExit(f"{linux_wheel}: no METADATA")
    return found


def contents(tree: Path, pyd: Path) -> Dict[str, Path]:
    """Archive name -> file, for everything but the .dist-info."""
    files: Dict[str, Path] = {"kvdash.pyd": pyd}
    for name in PYTHON_FILES:
        files[name] = tree / "python" / name
    for package in PACKAGES:
        root = tree / "python" / package
        if not root.is_dir():
            if package == "kvdash_dashboard":
                print(f"note: no python/{package} in the tree: the wheel carries no app")
                continue
            raise SystemExit(f"python/{package} is missing")
        for path in sorted(root.rglob("*")):
            relative = path.relative_to(tree / "python")
            if path.is_file() and not set(relative.parts) & set(SKIPPED_PARTS) and path.suffix != ".pyc":
                files[relative.as_posix()] = path
    return files


def build(tree: Path, pyd: Path, linux_wheel: Path, out: Path) -> Path:
    metadata = linux_metadata(linux_wheel)
    message = Parser().parsestr(metadata["METADATA"].decode("utf-8"))
    name, version = message["Name"], message["Version"]
    dist_info = f"{name}-{version}.dist-info"
    wheel_text = (
        "Wheel-Version: 1.0\n"
        "Generator: kvdash scripts/windows_wheel.py\n"
        "Root-Is-Purelib: false\n"
        f"Tag: {TAG}\n"
    )
    entries: List[tuple[str, bytes]] = []
    for archive_name, path in sorted(contents(tree, pyd).items()):
        entries.append((archive_name, path.read_bytes()))
    entries.append((f"{dist_info}/METADATA", metadata["METADATA"]))
    for inside, data in sorted(metadata.items()):
        if inside != "METADATA":
            entries.append((f"{dist_info}/{inside}", data))
    entries.append((f"{dist_info}/WHEEL", wheel_text.encode("ascii")))
    record = "".join(f"{n},{record_hash(d)},{len(d)}\n" for n, d in entries) + f"{dist_info}/RECORD,,\n"
    entries.append((f"{dist_info}/RECORD", record.encode("utf-8")))

    out.mkdir(parents=True, exist_ok=True)
    target = out / f"{name}-{version}-{TAG}.whl"
    with tempfile.NamedTemporaryFile(dir=out, suffix=".part", delete=False) as part:
        with zipfile.ZipFile(part, "w", compression=zipfile.ZIP_DEFLATED) as archive:
            for archive_name, data in entries:
                info = zipfile.ZipInfo(archive_name, date_time=(2020, 1, 1, 0, 0, 0))
                info.external_attr = 0o644 << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                archive.writestr(info, data)
    Path(part.name).chmod(0o644)
    shutil.move(part.name, target)
    return target


def check(wheel: Path, linux_wheel: Path) -> List[str]:
    """What is wrong with the built wheel: its RECORD against its files, its
    WHEEL, and the Linux wheel's Python files missing from it."""
    problems: List[str] = []
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        dist_info = next((n.split("/")[0] for n in names if n.endswith(".dist-info/RECORD")), "")
        if not dist_info:
            return ["no RECORD"]
        recorded = {}
        for line in archive.read(f"{dist_info}/RECORD").decode("utf-8").splitlines():
            path, digest, size = line.rsplit(",", 2)
            recorded[path] = (digest, size)
        for name in names:
            if name not in recorded:
                problems.append(f"{name} is not in RECORD")
            elif name != f"{dist_info}/RECORD":
                data = archive.read(name)
                if recorded[name] != (record_hash(data), str(len(data))):
                    problems.append(f"{name}: RECORD hash or size does not match")
        for path in set(recorded) - set(names):
            problems.append(f"RECORD lists {path}, which is not in the wheel")
        wheel_meta = Parser().parsestr(archive.read(f"{dist_info}/WHEEL").decode("ascii"))
        if wheel_meta["Root-Is-Purelib"] != "false" or wheel_meta.get_all("Tag") != [TAG]:
            problems.append("WHEEL: not Root-Is-Purelib: false with the one tag " + TAG)
        if "kvdash.pyd" not in names:
            problems.append("kvdash.pyd is not at the top level")
    with zipfile.ZipFile(linux_wheel) as archive:
        linux_python = {
            n for n in archive.namelist() if not n.split("/")[0].endswith((".dist-info", ".libs")) and not n.endswith(".so")
        }
    missing = sorted(linux_python - set(names))
    if missing:
        problems.append(f"in the Linux wheel but not in this one: {', '.join(missing)}")
    extra = sorted(set(names) - linux_python - {"kvdash.pyd"} - {n for n in names if n.startswith(dist_info)})
    if extra:
        print(f"note: carried here but not by the Linux wheel: {len(extra)} files under "
              f"{', '.join(sorted({e.split('/')[0] for e in extra}))}")
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tree", type=Path, required=True)
    parser.add_argument("--pyd", type=Path, required=True)
    parser.add_argument("--linux-wheel", type=Path, required=True)
    parser.add_argument("--out", type=Path, required=True)
    arguments = parser.parse_args()
    wheel = build(arguments.tree, arguments.pyd, arguments.linux_wheel, arguments.out)
    problems = check(wheel, arguments.linux_wheel)
    for problem in problems:
        print(f"FAIL: {problem}", file=sys.stderr)
    if problems:
        return 1
    with zipfile.ZipFile(wheel) as archive:
        count = len(archive.namelist())
    print(f"{wheel.name}: {count} files, RECORD and WHEEL checked")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""The types that mypy and editors see from the installed wheel: the stub-only
packages kvdash-stubs and kvdash_virtual-stubs, checked against a script that
uses them well, a script with a type error, and the modules themselves."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import List

import pytest

import kvdash
import kvdash_virtual

SITE = Path(kvdash.__file__).resolve().parent
EXAMPLES = Path(__file__).resolve().parents[3] / "examples"

pytestmark = [
    pytest.mark.skipif(
        not (SITE / "kvdash-stubs" / "__init__.pyi").is_file(),
        reason=f"kvdash in {SITE} is not installed from a wheel: its stubs ship only in the wheel",
    ),
    pytest.mark.skipif(
        sys.platform == "win32",
        reason="mypy fails with an internal error under Wine; the Windows wheel carries the same stub files",
    ),
]

GOOD = """
    import kvdash
    import kvdash_virtual as vd

    def frame(engine: kvdash.kvengine, gear: int, rpm_leds: int) -> None:
        engine.set_gear(gear)
        engine.set_gear("r", True)
        for led in range(1, 14):
            engine.set_rpm_led(led, 1 if led <= rpm_leds else 0)
        engine.set_warning_led(1, 1)
        engine.set_left_panel("1:23.4")
        engine.set_right_panel("45.6")
        engine.show_me()

    with vd.attach(serial="0001", buttons=(1, 8)) as display:
        engine = kvdash.kvengine()
        named = kvdash.kvengine(name="left rig")
        found: bool = engine.init() and named.init()
        frame(engine, 3, 9)
        reveal_type(engine.get_device_info("version"))
        reveal_type(engine.get_device_info("max rpm led"))
        reveal_type(engine.get_device_info("Max RPM LED"))
        reveal_type(engine.get_input_data())
        reveal_type(display.last_report)
        reveal_type(display.reports)
        reveal_type(display.render())
        display.fail_writes(error=1167, count=3)
        done: bool = engine.terminate()
    vd.reset()
"""

BAD = """
    import kvdash
    import kvdash_virtual as vd

    engine = kvdash.kvengine()
    engine.set_rpm_led("1", 1)
    engine.set_gear(3.5)
    count: str = vd.attach().write_count
    engine.set_left_panel()
"""


def mypy(tmp_path: Path, name: str, code: str) -> subprocess.CompletedProcess[str]:
    script = tmp_path / name
    script.write_text(textwrap.dedent(code))
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    # Run from the temporary folder, so only installed packages are seen.
    return subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--no-error-summary",
            "--hide-error-context",
            name,
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        env=env,
        timeout=300,
    )


def lines(result: subprocess.CompletedProcess[str]) -> List[str]:
    return [line for line in result.stdout.splitlines() if line.strip()]


def test_a_typed_script_passes(tmp_path: Path) -> None:
    result = mypy(tmp_path, "uses_kvdash.py", GOOD)
    notes = [
        line.split("note: Revealed type is ", 1)[1]
        for line in lines(result)
        if "Revealed type" in line
    ]
    errors = [line for line in lines(result) if "error:" in line]
    assert errors == [], result.stdout + result.stderr
    assert result.returncode == 0
    # Older mypy writes builtins.str where newer writes str.
    assert [n.replace("builtins.", "") for n in notes] == [
        '"str"',
        '"int"',
        '"int | str"',
        '"tuple[int, int, int, int, int]"',
        '"bytes | None"',
        '"list[bytes]"',
        '"str"',
    ]


def test_a_type_error_is_reported(tmp_path: Path) -> None:
    result = mypy(tmp_path, "wrong.py", BAD)
    assert result.returncode == 1, result.stdout + result.stderr
    errors = [line for line in lines(result) if "error:" in line]
    assert [e.split(":")[1] for e in errors] == ["6", "7", "8", "9"], result.stdout
    assert '"set_rpm_led" of "kvengine"' in errors[0] and errors[0].endswith("[arg-type]")
    assert '"set_gear" of "kvengine"' in errors[1] and errors[1].endswith("[arg-type]")
    assert '"int"' in errors[2] and errors[2].endswith("[assignment]")
    assert '"set_left_panel" of "kvengine"' in errors[3] and errors[3].endswith("[call-arg]")


def test_the_app_and_the_examples_are_strictly_typed(tmp_path: Path) -> None:
    examples = sorted(str(p) for p in EXAMPLES.glob("*.py"))
    assert examples
    # The app as installed, then the examples against it.
    for targets in (["-p", "kvdash_dashboard"], examples):
        result = subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *targets],
            cwd=tmp_path,
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert result.returncode == 0, result.stdout + result.stderr


def test_the_documented_examples_are_strictly_typed(tmp_path: Path) -> None:
    pages = [EXAMPLES.parent / "README.md", *sorted((EXAMPLES.parent / "docs").glob("*.md"))]
    blocks = [b for p in pages for b in re.findall(r"```python\n(.*?)```", p.read_text(), re.S)]
    assert len(blocks) >= 3
    names = []
    for number, block in enumerate(blocks, 1):
        names.append(f"documented_example_{number}.py")
        (tmp_path / names[-1]).write_text(block)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *names],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def stubtest(tmp_path: Path, mypy_path: str = "") -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    env["MYPYPATH"] = mypy_path
    return subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--concise", "kvdash", "kvdash_virtual"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        env=env,
        timeout=300,
    )


@pytest.mark.needs_virtual_display  # stubtest and the check load kvdash_virtual
def test_the_stubs_match_the_modules(tmp_path: Path) -> None:
    result = stubtest(tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.needs_virtual_display  # stubtest and the check load kvdash_virtual
def test_stubtest_notices_a_stub_that_drifts(tmp_path: Path) -> None:
    # The same stub with one argument renamed, put first on mypy's path.
    stub = (SITE / "kvdash_virtual-stubs" / "__init__.pyi").read_text()
    assert "count: Optional[int] = None" in stub
    drifted = tmp_path / "stubs"
    drifted.mkdir()
    (drifted / "kvdash_virtual.pyi").write_text(
        stub.replace("count: Optional[int]", "times: Optional[int]")
    )
    result = stubtest(tmp_path, str(drifted))
    assert result.returncode == 1
    assert "kvdash_virtual.VirtualDisplay.fail_writes" in result.stdout


@pytest.mark.needs_virtual_display  # stubtest and the check load kvdash_virtual
def test_the_modules_are_the_installed_ones() -> None:
    assert Path(kvdash_virtual.__file__).resolve().parent == SITE

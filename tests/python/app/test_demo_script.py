"""scripts/demo.sh builds only when the tree's tracked sources changed, and
says so when it does; run in a copy whose setup.sh only notes that it ran."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="a bash script")

SCRIPTS = Path(__file__).resolve().parents[3] / "scripts"
FAKE_SETUP = """
echo setup "$@" >> setup.log
mkdir -p build/venv/bin
printf '#!/bin/sh\\necho dashboard "$@"\\n' > build/venv/bin/kvdash-dashboard
chmod +x build/venv/bin/kvdash-dashboard
"""
# git and bash are not ours to check for leaks (the sanitizer stage preloads
# its runtime into every process).
ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def test_the_demo_builds_only_what_changed(tmp_path: Path) -> None:
    if shutil.which("git") is None:
        pytest.skip("no git")
    (tmp_path / "scripts").mkdir()
    shutil.copy(SCRIPTS / "demo.sh", tmp_path / "scripts" / "demo.sh")
    (tmp_path / "scripts" / "setup.sh").write_text(FAKE_SETUP)
    (tmp_path / "engine.cpp").write_text("int x;\n")
    (tmp_path / ".gitignore").write_text("build/\nsetup.log\n")
    subprocess.run(["git", "init", "-q"], cwd=tmp_path, check=True, env=ENV)
    subprocess.run(["git", "add", "."], cwd=tmp_path, check=True, env=ENV)

    def demo() -> str:
        done = subprocess.run(
            ["bash", "scripts/demo.sh", "--view", "lines"],
            cwd=tmp_path,
            capture_output=True,
            text=True,
            timeout=60,
            env=ENV,
        )
        assert done.returncode == 0, done.stderr
        return done.stdout

    first = demo()
    assert first.startswith("kvdash demo: building, once (a minute or two")
    assert first.endswith("dashboard --source demo --seconds 8 --view lines\n")
    assert demo() == "dashboard --source demo --seconds 8 --view lines\n"  # current: no build
    (tmp_path / "engine.cpp").write_text("int y;\n")  # a tracked source changed
    assert "building" in demo()
    assert (tmp_path / "setup.log").read_text() == "setup --demo\n" * 2

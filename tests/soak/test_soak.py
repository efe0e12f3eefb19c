"""A reduced soak, and proof that the soak fails when something leaks."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

SOAK = Path(__file__).with_name("soak.py")


def soak(tmp_path: Path, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(SOAK), "--scale", "0.02", "--out", str(tmp_path / "soak.json"), *args],
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_reduced_soak_passes_and_writes_its_figures(tmp_path: Path) -> None:
    run = soak(tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
    figures = json.loads((tmp_path / "soak.json").read_text())
    assert figures["passed"] is True
    assert figures["phases"]["frames"]["count"] == 20_000
    assert figures["phases"]["inits"]["count"] == 6
    assert figures["phases"]["inits"]["open_handles"] == 0
    assert "FAIL" not in run.stdout


@pytest.mark.parametrize(
    "leak, phase, figure",
    [("references", "frames", "none_refs changed by +"), ("objects", "objects", "type_refs changed by +")],
)
def test_a_planted_leak_fails_the_soak(tmp_path: Path, leak: str, phase: str, figure: str) -> None:
    run = soak(tmp_path, "--leak", leak)
    assert run.returncode == 1, run.stdout + run.stderr
    assert f"FAIL {phase}: {figure}" in run.stdout
    assert not (tmp_path / "soak.json").exists()  # a planted leak never publishes figures

"""--learn: shift points from a recording of a simulated car whose best shift
points follow from its torque curve."""

from __future__ import annotations

import math
import sys
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from make_recordings import TORQUE_CAR, drag_strip_recording

from kvdash_dashboard import main
from kvdash_dashboard.race.shiftpoints import learn
from kvdash_dashboard.sources import demo
from kvdash_dashboard.sources.recording import MAGIC, Recorder
from kvdash_dashboard.telemetry import Telemetry

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib


def best_shift(car: demo.Car, gear: int) -> float:
    """From the true curve: the first rpm where the next gear, at the same
    speed, pulls harder (force is torque times the gear's ratio)."""
    here, there = car.ratio(gear), car.ratio(gear + 1)
    rpm = 1000.0
    while (
        rpm < car.redline and car.torque_at(rpm) * here >= car.torque_at(rpm * there / here) * there
    ):
        rpm += 1.0
    return rpm


@pytest.mark.parametrize("noise", [0.0, 0.05])
def test_learn_finds_the_best_shift_points_of_a_known_engine(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], noise: float
) -> None:
    path = tmp_path / "laps.kvrec"
    drag_strip_recording(path, 60.0, noise)
    assert main(["--learn", str(path)]) == 0
    out = capsys.readouterr().out
    learned = tomllib.loads(out)["car"]["demo:torque-test"]
    best = [best_shift(TORQUE_CAR, gear) for gear in range(1, 5)]
    assert max(best) < 0.97 * TORQUE_CAR.redline and best == sorted(best, reverse=True)
    assert len(learned["shift"]) == 5
    for got, want in zip(learned["shift"][:4], best, strict=True):
        assert abs(got - want) <= 0.03 * want
    assert learned["rpm_limit"] == pytest.approx(TORQUE_CAR.redline, rel=0.01)
    assert "# full-throttle samples used per gear: 1: " in out and "not enough data" not in out
    # What it prints is a settings file.
    (tmp_path / "dashboard.toml").write_text(out)
    assert main(["--config", str(tmp_path / "dashboard.toml"), "--print-config"]) == 0


def test_gears_it_cannot_judge_are_said_and_bad_files_refused(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    path = tmp_path / "short.kvrec"
    drag_strip_recording(path, 4.5)  # into third gear, briefly
    assert main(["--learn", str(path)]) == 0
    out = capsys.readouterr().out
    # Second gear is judged against third, and third has too few samples.
    counts = out.splitlines()[0].split(": ", 1)[1].split(", ")
    assert [c.startswith(f"{g}: ") for g, c in enumerate(counts, start=1)] == [True] * 3
    assert [c.endswith("(not enough data)") for c in counts] == [False, True, True]
    shift = tomllib.loads(out)["car"]["demo:torque-test"]["shift"]
    assert abs(shift[0] - best_shift(TORQUE_CAR, 1)) <= 0.03 * best_shift(TORQUE_CAR, 1)
    (tmp_path / "junk").write_bytes(b"not a recording")
    assert main(["--learn", str(tmp_path / "junk")]) == 1
    assert "not a kvdash recording" in capsys.readouterr().err


def test_a_cut_recording_is_learnt_up_to_the_cut_and_odd_ones_are_said(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    path = tmp_path / "laps.kvrec"
    drag_strip_recording(path, 60.0)
    data = path.read_bytes()
    path.write_bytes(data[:-3])  # a crash, or a full disk, in the last record
    assert main(["--learn", str(path)]) == 0
    out = capsys.readouterr().out
    assert "cut short at byte" in out and "learnt from what is whole before it" in out
    assert len(tomllib.loads(out)["car"]["demo:torque-test"]["shift"]) == 5

    for gears, said in (((0, -1), "rpm_limit"), ((1,), "# only gear 1 at full throttle")):
        speeds = [20.0 + i / 10 for i in range(200)]  # revving in neutral and reverse, or in first
        write_moments(
            path, [(1 / 60, gears[i % len(gears)], 200 * v, v, 1.0) for i, v in enumerate(speeds)]
        )
        assert main(["--learn", str(path)]) == 0
        assert (said in capsys.readouterr().out) == (gears == (1,))

    # Never at full throttle: said, and nothing offered to paste.
    write_moments(path, [(1 / 60, 2, 4000.0 + i, 20.0 + i / 100, 0.5) for i in range(200)])
    assert main(["--learn", str(path)]) == 0
    out = capsys.readouterr().out
    assert "nothing to learn from" in out and tomllib.loads(out) == {}


def write_moments(path: Path, moments: list[tuple[float, int, float, float, float]]) -> None:
    """Moments of the demo car: time step, gear, rpm, speed, throttle."""
    path.unlink(missing_ok=True)  # made again: a Recorder never replaces a recording
    recorder = Recorder(str(path), 0.0)
    time = 0.0
    for step, gear, rpm, speed, throttle in moments:
        time += step
        t = Telemetry(gear=gear, rpm=rpm, speed=speed, throttle=throttle, car="fuzz")
        recorder.write(time, "demo", demo.pack(t))
    recorder.close()


ODD = st.sampled_from([0.0, 5e-324, 1e-300, 3.0, 100.0, 7000.0, 25000.0, 1e300, math.inf, math.nan])
MOMENT = st.tuples(
    st.sampled_from([1 / 60, 1 / 60, 0.0, 1e-9, 0.2]),  # mostly a game's pace
    st.sampled_from([1, 1, 2, 0, -1, 10]),
    ODD | st.floats(0, 30000),
    ODD | st.floats(0, 300),
    st.sampled_from([1.0, 1.0, 0.97, 0.0, math.nan]) | st.floats(0, 1),
)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(MOMENT, max_size=300), st.integers(0, 40))
def test_any_recording_is_learnt_without_a_traceback(
    moments: list[tuple[float, int, float, float, float]], cut: int
) -> None:
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "fuzz.kvrec"
        write_moments(path, moments)
        data = path.read_bytes()
        path.write_bytes(data[: max(len(MAGIC), len(data) - cut)])
        assert learn(str(path))

"""Recordings that cannot be lost or turned against the app: the replayed
file is never overwritten, a cut-off run leaves an older recording whole, a
flood is not kept, a full disk stops only the recording, and damage or a
long silence in a replayed file is said."""

from __future__ import annotations

import errno
import os
import sys
import time
from pathlib import Path

import pytest
from app_harness import outgauge
from conftest import BLANK_REPORT

import kvdash_virtual as vd
from kvdash_dashboard import main
from kvdash_dashboard.sources import FAMILIES
from kvdash_dashboard.sources.channels import REFUSED_KEPT, Channel
from kvdash_dashboard.sources.recording import MAGIC, CannotRecord, Recorder, read_recording


def demo_recording(path: Path, seconds: float = 0.6) -> bytes:
    assert main(["--source", "demo", "--seconds", str(seconds), "--record", str(path)]) == 0
    return path.read_bytes()


def test_the_file_being_replayed_is_never_the_one_recorded(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    original = demo_recording(tmp_path / "race.kvrec")
    spellings = ["./race.kvrec", str(tmp_path / "race.kvrec")]
    if sys.platform != "win32":  # Wine's links are not the file systems' own
        (tmp_path / "link.kvrec").symlink_to("race.kvrec")
        os.link(tmp_path / "race.kvrec", tmp_path / "hard.kvrec")
        spellings += ["link.kvrec", "hard.kvrec"]
    monkeypatch.chdir(tmp_path)
    for spelling in spellings:
        assert main(["--replay", "race.kvrec", "--record", spelling]) == 2
        assert "name the same file" in capsys.readouterr().err
    assert (tmp_path / "race.kvrec").read_bytes() == original


def test_a_recording_cut_off_leaves_the_older_one_whole(tmp_path: Path) -> None:
    (tmp_path / "rec").mkdir()
    path = tmp_path / "rec" / "race.kvrec"
    original = demo_recording(path)
    recorder = Recorder(str(path), 0.0)
    recorder.write(0.1, "demo", b"x" * 10000)
    recorder.close()
    assert path.read_bytes() == original  # never replaced
    assert [a.data for a in read_recording(str(recorder.path))] == [b"x" * 10000]
    assert sorted(p.name for p in path.parent.iterdir()) == ["race-1.kvrec", "race.kvrec"]


def test_recording_over_a_recording_keeps_it_and_takes_the_next_free_name(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    path = tmp_path / "laps.kvrec"
    first = demo_recording(path)
    demo_recording(path)
    (tmp_path / "laps-3.kvrec").write_bytes(b"mine")  # not a recording: not ours to replace
    demo_recording(path)
    out = capsys.readouterr().out
    for n in (1, 2):
        assert f"exists and is kept: this run records to {tmp_path / f'laps-{n}.kvrec'}." in out
        assert len(list(read_recording(str(tmp_path / f"laps-{n}.kvrec")))) > 5
    assert path.read_bytes() == first and (tmp_path / "laps-3.kvrec").read_bytes() == b"mine"


def test_only_what_a_decoder_took_and_a_sample_of_the_rest_is_kept(tmp_path: Path) -> None:
    path = tmp_path / "flood.kvrec"
    recorder = Recorder(str(path), 0.0)
    channel = Channel([FAMILIES["outgauge"]], "udp:outgauge")
    for i in range(1000):
        channel.take(0.0, b"junk" * 100 if i % 10 else outgauge(gear=3), recorder)
    recorder.close()
    kept = list(read_recording(str(path)))
    assert len(kept) == 100 + REFUSED_KEPT  # every good packet, the first refused ones
    assert sum(a.data == outgauge(gear=3) for a in kept) == 100


@pytest.mark.needs_virtual_display
def test_the_size_cap_and_a_full_disk_stop_the_recording_and_say_so(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    said: list[str] = []
    path = tmp_path / "capped.kvrec"
    recorder = Recorder(str(path), 0.0, max_size=len(MAGIC) + 3000)
    recorder.say = said.append
    for _ in range(10):
        recorder.write(0.0, "demo", b"y" * 1000)
    recorder.close()
    assert len(said) == 1 and "reached the cap" in said[0]
    assert len(list(read_recording(str(path)))) == 2  # whole records only

    if not os.path.exists("/dev/full"):
        return
    with vd.attach() as display:
        assert main(["--source", "demo", "--seconds", "1", "--record", "/dev/full"]) == 0
        assert display.last_report == BLANK_REPORT
        assert len(display.reports) > 5  # it went on driving the display
    out = capsys.readouterr()
    assert out.out.count("Recording to /dev/full stopped: cannot write it") == 1
    assert "Traceback" not in out.err


@pytest.mark.needs_virtual_display
def test_damage_after_the_first_record_plays_what_is_whole_then_says_so(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    data = demo_recording(tmp_path / "whole.kvrec")
    cut = tmp_path / "cut.kvrec"
    cut.write_bytes(data[: len(data) // 2])
    damaged = tmp_path / "damaged.kvrec"
    # A record whose time runs backwards, in the middle.
    whole = list(read_recording(str(tmp_path / "whole.kvrec")))
    recorder = Recorder(str(damaged), 0.0)
    for a in whole[:5]:
        recorder.write(a.time, a.channel, a.data)
    recorder.write(-1.0, "demo", whole[5].data)
    recorder.close()
    for path, what in ((cut, "cut short at byte"), (damaged, "damaged record at byte")):
        with vd.attach() as display:
            assert main(["--replay", str(path)]) == 1
            assert display.last_report == BLANK_REPORT
        out = capsys.readouterr()
        assert "Telemetry from simulated lap" in out.out  # the whole part was played
        assert what in out.err and "played up to there" in out.err
        assert "Traceback" not in out.err


def test_a_long_silence_in_a_replay_is_shortened_and_said(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    path = tmp_path / "gap.kvrec"
    demo_recording(tmp_path / "demo.kvrec", 0.3)
    whole = list(read_recording(str(tmp_path / "demo.kvrec")))
    recorder = Recorder(str(path), 0.0)
    recorder.write(0.0, "demo", whole[0].data)
    recorder.write(1e8, "demo", whole[1].data)
    recorder.close()
    started = time.monotonic()
    assert main(["--replay", str(path), "--source", "forza"]) == 0
    assert time.monotonic() - started < 6.0
    out = capsys.readouterr().out
    assert "silent for 100000000 s here: shortened to 3 s" in out
    assert "--source, --listen and --console are ignored" in out


def test_a_recording_that_cannot_be_written_leaves_the_older_one_and_says_where_it_is(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    path = tmp_path / "race.kvrec"
    said: list[str] = []
    recorder = Recorder(str(path), 0.0)
    recorder.say = said.append
    original = demo_recording(tmp_path / "other.kvrec")
    path.write_bytes(original)  # made while this run records
    recorder.write(0.1, "demo", b"z" * 100)

    def disk_full(_: int) -> None:
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(os, "fsync", disk_full)  # the close is where a full disk shows
    recorder.close()
    assert path.read_bytes() == original
    assert recorder.where is not None and recorder.where != str(path)
    assert "No space left on device" in said[0] and recorder.where in said[1]
    assert [a.data for a in read_recording(recorder.where)] == [b"z" * 100]


def test_one_run_at_a_time_records_to_a_file_and_a_cut_off_one_is_named(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    path = tmp_path / "race.kvrec"
    first = Recorder(str(path), 0.0)
    with pytest.raises(CannotRecord, match="another kvdash-dashboard is recording to it"):
        Recorder(str(tmp_path / "." / "race.kvrec"), 0.0)
    first.close()
    path.unlink()  # its empty recording: the run below records to this name again
    demo = demo_recording(tmp_path / "demo.kvrec")
    left = tmp_path / ".race.kvrec.x1y2z3.part"  # as a run killed while recording leaves it
    left.write_bytes(demo[: len(demo) - 3])
    assert main(["--source", "demo", "--seconds", "0.3", "--record", str(path)]) == 0
    out = capsys.readouterr().out
    assert f"Recording to {path}." in out
    assert f"was cut off and is kept as {left}" in out
    kept = len(list(read_recording(str(path))))
    assert f"{kept} packets recorded in {path}." in out
    assert left.exists() and main(["--replay", str(left)]) == 1  # played up to the cut


def test_a_file_that_cannot_be_made_is_said_in_plain_words(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    target = tmp_path / "no such folder" / "race.kvrec"
    assert main(["--source", "demo", "--seconds", "0.3", "--record", str(target)]) == 1
    err = capsys.readouterr().err
    assert f"cannot record to {target}: there is no folder {target.parent}" in err
    assert ".part" not in err and "Traceback" not in err

"""init(), the storage directories, the display's bring-up and teardown."""

from __future__ import annotations

from pathlib import Path

import pytest
from conftest import BLANK_REPORT, Console

import kvdash
import kvdash_virtual as vd

INIT_FAILED = "Error error: device init failed! #1001\n F:init\n\n"
STORAGE = "Error: can't access the storage directory!"


class TestInit:
    def test_without_display(self, console: Console) -> None:
        e = kvdash.kvengine()
        assert e.init() is False
        assert console.read() == INIT_FAILED

    @pytest.mark.needs_virtual_display
    def test_later_init_finds_attached_display(self, console: Console) -> None:
        e = kvdash.kvengine()
        assert e.init() is False
        d = vd.attach()
        assert e.init() is True
        assert console.read() == INIT_FAILED
        assert d.reports == [BLANK_REPORT]
        assert d.open_handles == 3

    def test_second_init_does_nothing(self, display: vd.VirtualDisplay, console: Console) -> None:
        e = kvdash.kvengine()
        assert e.init() is True
        e.set_gear(5)
        assert e.init() is True
        assert display.write_count == 1
        e.show_me()
        assert display.last_report[2] == 0x35  # the image was not blanked again
        assert console.read() == ""

    def test_road_of_one_frame(self, display: vd.VirtualDisplay) -> None:
        e = kvdash.kvengine()
        assert e.init() is True
        e.set_gear("3")
        for led in range(1, 10):
            e.set_rpm_led(led, 1)
        e.set_left_panel("12.345")
        e.show_me()
        expected = bytearray(BLANK_REPORT)
        expected[2] = 0x33
        expected[3:12] = b"\x01" * 9
        expected[27:33] = bytes([0x31, 0xB2, 0x33, 0x34, 0x35, 0x00])
        assert display.last_report == bytes(expected)
        assert display.write_count == 2

    @pytest.mark.needs_virtual_display
    def test_other_devices_are_passed_over(self) -> None:
        other = vd.attach(product_id=0x0104)
        stranger = vd.attach(vendor_id=0x1234, product_id=0x0103)
        e = kvdash.kvengine()
        assert e.init() is False
        assert other.open_handles == 0 and stranger.open_handles == 0
        assert other.write_count == 0 and stranger.write_count == 0
        d = vd.attach()
        assert e.init() is True
        assert e.get_device_info("device path") == d.path

    @pytest.mark.needs_virtual_display
    def test_first_display_that_opens_is_used(self) -> None:
        refusing = vd.attach(serial="A")
        refusing.refuse_open(write=True)
        second = vd.attach(serial="B")
        third = vd.attach(serial="C")
        e = kvdash.kvengine()
        assert e.init() is True
        assert e.get_device_info("serial number") == "B"
        assert refusing.open_handles == 0 and third.open_handles == 0
        assert second.open_handles == 3 and third.write_count == 0

    @pytest.mark.needs_virtual_display
    def test_read_open_refused_too(self, console: Console) -> None:
        d = vd.attach()
        d.refuse_open(write=False, read=True)
        assert kvdash.kvengine().init() is False
        assert d.open_handles == 0
        assert console.read() == INIT_FAILED

    @pytest.mark.needs_virtual_display
    def test_serial_failure_still_accepted(self) -> None:
        d = vd.attach(serial="123")
        d.fail_serial()
        e = kvdash.kvengine()
        assert e.init() is True
        assert e.get_device_info("serial number") == ""
        assert e.get_device_info("firmware") == "1.05"


class TestStorage:
    def test_directories_created(self, home: Path, display: vd.VirtualDisplay) -> None:
        assert kvdash.kvengine().init() is True
        assert (home / "Documents" / "kvengine").is_dir()
        assert (home / "Documents" / "kvengine" / "cfg").is_dir()

    def test_existing_left_alone(self, home: Path, display: vd.VirtualDisplay) -> None:
        root = home / "Documents" / "kvengine"
        (root / "cfg").mkdir(parents=True)
        (root / "cfg" / "keep.txt").write_text("mine")
        assert kvdash.kvengine().init() is True
        assert (root / "cfg" / "keep.txt").read_text() == "mine"

    def test_file_in_the_way_is_left_alone(self, home: Path, display: vd.VirtualDisplay) -> None:
        blocker = home / "Documents" / "kvengine"
        blocker.write_text("not a directory")
        assert kvdash.kvengine().init() is True  # a directory that cannot be made is not reported
        assert blocker.read_text() == "not a directory"

    def test_documents_folder_from_user_dirs(self, home: Path, monkeypatch: pytest.MonkeyPatch, display: vd.VirtualDisplay) -> None:
        config = home / "cfg"
        config.mkdir()
        (config / "user-dirs.dirs").write_text('# comment\nXDG_DOCUMENTS_DIR="$HOME/Papers"\n')
        monkeypatch.setenv("XDG_CONFIG_HOME", str(config))
        assert kvdash.kvengine().init() is True
        assert (home / "Papers" / "kvengine" / "cfg").is_dir()

    def test_missing_documents_folder_is_made(self, home: Path, display: vd.VirtualDisplay, console: Console) -> None:
        (home / "Documents").rmdir()
        assert kvdash.kvengine().init() is True
        assert (home / "Documents" / "kvengine" / "cfg").is_dir()
        assert console.read() == ""

    @pytest.mark.parametrize("where", ["empty", "plain file", "parent missing"])
    def test_no_documents_folder(
        self, where: str, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, display: vd.VirtualDisplay, console: Console
    ) -> None:
        if where == "empty":
            monkeypatch.setenv("HOME", "")
        elif where == "plain file":
            (tmp_path / "home-file").write_text("not a folder")
            monkeypatch.setenv("HOME", str(tmp_path / "home-file"))
        else:
            monkeypatch.setenv("HOME", str(tmp_path / "missing" / "home"))
        e = kvdash.kvengine()
        assert e.init() is False
        assert console.read() == STORAGE + INIT_FAILED
        # The display was found, opened and blanked all the same.
        assert display.reports == [BLANK_REPORT]
        assert display.open_handles == 3
        # Not initialized: the next init runs the whole sequence again.
        monkeypatch.setenv("HOME", str(display_home()))
        assert e.init() is True
        assert display.write_count == 2


def display_home() -> Path:
    import tempfile

    path = Path(tempfile.mkdtemp(prefix="kvdash-home-"))
    (path / "Documents").mkdir()
    return path


class TestTeardown:
    def test_dealloc_blanks_and_releases(self, display: vd.VirtualDisplay) -> None:
        e = kvdash.kvengine()
        assert e.init() is True
        e.set_gear(7)
        e.set_rpm_led(1, 1)
        e.set_right_panel("99")
        e.show_me()
        del e
        assert display.write_count == 3
        assert display.last_report == BLANK_REPORT
        assert display.open_handles == 0

    def test_never_opened_writes_nothing(self, display: vd.VirtualDisplay) -> None:
        e = kvdash.kvengine()
        e.set_gear(7)
        del e
        assert display.write_count == 0 and display.open_handles == 0

    @pytest.mark.needs_virtual_display
    def test_failed_init_leaves_nothing_open(self) -> None:
        others = [vd.attach(vendor_id=0x1DD2, product_id=p) for p in (1, 2, 3)]
        e = kvdash.kvengine()
        assert e.init() is False
        assert all(o.open_handles == 0 for o in others)


class TestLostDisplay:
    def test_unplugged_goes_silent(self, display: vd.VirtualDisplay, console: Console) -> None:
        engine = kvdash.kvengine()
        assert engine.init() is True
        engine.show_me()
        display.detach()
        for _ in range(3):
            assert engine.show_me() is None
        assert display.write_count == 2
        del engine
        assert display.open_handles == 0
        assert console.read() == ""

    def test_failed_write_loses_display(self, engine: kvdash.kvengine, display: vd.VirtualDisplay) -> None:
        display.fail_writes(error=31, count=1)
        engine.show_me()  # fails: the display is lost
        engine.show_me()  # no write is attempted any more
        assert display.write_count == 1
        assert engine.init() is True  # already initialized: no new discovery
        engine.show_me()
        assert display.write_count == 1

    def test_pending_write_is_not_a_loss(self, engine: kvdash.kvengine, display: vd.VirtualDisplay) -> None:
        display.fail_writes(error=997, count=2)
        engine.show_me()
        engine.show_me()
        engine.show_me()
        assert display.write_count == 2

    def test_new_engine_drives_replugged_display(self, engine: kvdash.kvengine, display: vd.VirtualDisplay) -> None:
        display.detach()
        engine.show_me()
        again = vd.attach()
        fresh = kvdash.kvengine()
        assert fresh.init() is True
        fresh.set_gear(2)
        fresh.show_me()
        assert again.last_report[2] == 0x32

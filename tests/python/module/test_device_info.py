"""get_device_info: every key before and after init, and how keys match."""

from __future__ import annotations

from typing import Any

import pytest
from conftest import Console

import kvdash
import kvdash_virtual as vd

DEFAULTS: dict[str, Any] = {
    "version": "0.2.0.1 (Lite)",
    "name": "kvdash",
    "type": 7,
    "vendor id": 7634,
    "product id": 259,
    "firmware": "",
    "panel count": 2,
    "serial number": "",
    "device path": "",
    "digits": 6,
    "gear": 1,
    "max rpm led": 13,
    "max warning led": 6,
    "max external led": 5,
    "brightness": 255,
    "digital": 0,
    "analog": 0,
    "rumble motor": 0,
}

UNKNOWN = r"^Unknown parameter for get_device_info$"
INVALID = r"^Invalid parameter for get_device_info$"


class TestKeys:
    def test_before_init(self) -> None:
        e = kvdash.kvengine()
        for key, value in DEFAULTS.items():
            assert e.get_device_info(key) == value, key
        assert isinstance(e.get_device_info("ticks"), int)

    @pytest.mark.needs_virtual_display
    def test_after_init(self) -> None:
        d = vd.attach(version=0x1A0F, serial="SN-42", buttons=(1, 8), value_caps=2)
        e = kvdash.kvengine()
        assert e.init() is True
        expected = dict(DEFAULTS)
        expected.update(
            {"firmware": "1a.0f", "serial number": "SN-42", "device path": d.path, "digital": 8, "analog": 2}
        )
        for key, value in expected.items():
            assert e.get_device_info(key) == value, key

    @pytest.mark.needs_virtual_display
    @pytest.mark.parametrize("buttons, count", [(None, 0), ((1, 8), 8), ((3, 10), 8), ((5, 5), 1), ((1, 32), 32)])
    def test_digital(self, buttons: Any, count: int) -> None:
        vd.attach(buttons=buttons)
        e = kvdash.kvengine()
        assert e.init() is True
        assert e.get_device_info("digital") == count

    @pytest.mark.needs_virtual_display
    @pytest.mark.parametrize("version, text", [(0x0105, "1.05"), (0x1000, "10.00"), (0xFFFF, "ff.ff"), (0x80FF, "80.ff"), (0, "0.00")])
    def test_firmware(self, version: int, text: str) -> None:
        vd.attach(version=version)
        e = kvdash.kvengine()
        assert e.init() is True
        assert e.get_device_info("firmware") == text

    @pytest.mark.needs_virtual_display
    def test_identity_text_outside_ascii(self) -> None:
        vd.attach(serial="Zürich-€-😀")
        e = kvdash.kvengine()
        assert e.init() is True
        assert e.get_device_info("serial number") == "Zürich-€-😀"

    @pytest.mark.needs_virtual_display
    def test_long_serial_is_cut_inside_its_buffer(self) -> None:
        vd.attach(serial="9" * 400)
        e = kvdash.kvengine()
        assert e.init() is True
        assert e.get_device_info("serial number") == "9" * 125

    def test_ticks_follow_the_clock(self) -> None:
        import time

        e = kvdash.kvengine()
        first = e.get_device_info("ticks")
        time.sleep(0.05)
        elapsed = (e.get_device_info("ticks") - first) & 0xFFFFFFFF
        assert 40 <= elapsed < 5000

    @pytest.mark.needs_virtual_display
    def test_values_of_an_earlier_display_kept(self, monkeypatch: pytest.MonkeyPatch) -> None:
        # A display accepted by an init that failed on storage...
        d = vd.attach(serial="OLD")
        e = kvdash.kvengine()
        monkeypatch.setenv("HOME", "")
        assert e.init() is False
        path = d.path
        # ...then a later init that finds no display.
        d.detach()
        assert e.init() is False
        assert e.get_device_info("firmware") == "1.05"
        assert e.get_device_info("device path") == path
        assert e.get_device_info("serial number") == ""


class TestMatching:
    @pytest.mark.parametrize("key", ["VERSION", "Version", "vErSiOn"])
    def test_case_of_letters(self, key: str) -> None:
        assert kvdash.kvengine().get_device_info(key) == "0.2.0.1 (Lite)"

    def test_multiword_keys(self) -> None:
        e = kvdash.kvengine()
        assert e.get_device_info("Max RPM LED") == 13
        assert e.get_device_info("MAX EXTERNAL LED") == 5

    @pytest.mark.parametrize(
        "key",
        ["version ", " version", "vendor_id", "vendorid", "", "VERSİON", "versioń", "vers", "version\n", "ÄNALOG", "analog\x7f"],
    )
    def test_unknown(self, key: str, console: Console) -> None:
        with pytest.raises(ValueError, match=UNKNOWN):
            kvdash.kvengine().get_device_info(key)
        assert console.read() == ""

    @pytest.mark.parametrize("args", [(), (1,), ("version", "name"), (b"version",), (None,), ("ver\x00sion",)])
    def test_invalid(self, args: tuple) -> None:
        with pytest.raises(ValueError, match=INVALID):
            kvdash.kvengine().get_device_info(*args)

    def test_keyword_refused(self) -> None:
        with pytest.raises(TypeError):
            kvdash.kvengine().get_device_info(key="version")

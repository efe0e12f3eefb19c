"""Every kvengine method as a script meets it: arguments, answers, what it
prints, and the bytes it puts on the display."""

from __future__ import annotations

from typing import Any, Callable

import pytest
from conftest import BLANK_REPORT, Console, bare_engine

import kvdash
import kvdash_virtual as vd

NOT_INIT = "Error: kvengine Not initialized!"
LITE = "Not Implemented In Lite Version - Use The Full Version.\n"
GEAR_TYPE_ERROR = "set_gear - First argument must be a string or integer."


def sent(engine: kvdash.kvengine, display: vd.VirtualDisplay) -> bytes:
    engine.show_me()
    report = display.last_report
    assert report is not None
    return report


class TestSetGear:
    @pytest.mark.parametrize(
        "args, byte",
        [
            (("3",), 0x33),
            ((3,), 0x33),
            (("12",), 0x31),
            (("",), 0x30),
            (("N",), 0x00),
            (("n",), 0x00),
            (("r",), 0x72),
            (("-",), 0x2D),
            ((" ",), 0x20),
            (("é",), 0x30),
            (("éa",), 0x00),
            ((True,), 0x31),
            ((False,), 0x30),
            ((0,), 0x30),
            ((9,), 0x39),
            ((10,), 0x00),
            ((133,), 0xB5),
            ((128,), 0x00),
            ((129,), 0xB1),
            (("7", True), 0xB7),
            ((7, 0), 0x37),
            ((7, 1), 0xB7),
            (("5", "yes"), 0xB5),
            (("5", ""), 0x35),
            ((-1,), 0x00),
            ((0x130,), 0x80),  # above 128: the point, then 0xB0 is not a character
            ((2**31 - 1,), 0x80),
            ((-(2**31),), 0x30),  # low byte 0: the number 0
        ],
    )
    def test_gear_byte(self, engine: kvdash.kvengine, display: vd.VirtualDisplay, args: tuple, byte: int) -> None:
        assert engine.set_gear(*args) is None
        assert sent(engine, display)[2] == byte

    def test_keywords_are_ignored(self, engine: kvdash.kvengine, display: vd.VirtualDisplay) -> None:
        assert engine.set_gear("4", point=True, anything=1) is None
        assert sent(engine, display)[2] == 0x34

    @pytest.mark.parametrize("gear", [3.5, None, b"3", ["3"], object()])
    def test_other_types(self, engine: kvdash.kvengine, display: vd.VirtualDisplay, gear: Any, console: Console) -> None:
        engine.set_gear("2")
        with pytest.raises(TypeError, match=r"^set_gear - First argument must be a string or integer\.$"):
            engine.set_gear(gear)
        assert sent(engine, display)[2] == 0x32
        assert console.read() == ""

    @pytest.mark.parametrize("gear", [2**31, -(2**31) - 1, 2**80])
    def test_out_of_range_number_fails(self, engine: kvdash.kvengine, gear: int) -> None:
        with pytest.raises(OverflowError):
            engine.set_gear(gear)

    def test_argument_errors(self, engine: kvdash.kvengine) -> None:
        with pytest.raises(TypeError):
            engine.set_gear()
        with pytest.raises(TypeError):
            engine.set_gear("1", True, 3)

    def test_str_subclasses(self, engine: kvdash.kvengine, display: vd.VirtualDisplay) -> None:
        class Upper(str):
            pass

        class Raising(str):
            def encode(self, *args: Any) -> bytes:
                raise LookupError("no codec")

        class NotBytes(str):
            def encode(self, *args: Any) -> Any:
                return "4"

        engine.set_gear(Upper("6"))
        assert sent(engine, display)[2] == 0x36
        engine.set_gear("1")
        with pytest.raises(LookupError):
            engine.set_gear(Raising("4"))
        engine.set_gear(NotBytes("4"))
        assert sent(engine, display)[2] == 0x30

    def test_int_subclass(self, engine: kvdash.kvengine, display: vd.VirtualDisplay) -> None:
        class Gear(int):
            pass

        engine.set_gear(Gear(5))
        assert sent(engine, display)[2] == 0x35

    def test_bare_object(self, console: Console) -> None:
        e = bare_engine()
        with pytest.raises(TypeError, match="^" + GEAR_TYPE_ERROR.replace(".", r"\.") + "$"):
            e.set_gear(3.5)
        assert console.read() == ""
        with pytest.raises(RuntimeError):
            e.set_gear(3)
        assert console.read() == NOT_INIT


def led_bytes(report: bytes) -> tuple[list[int], list[int], list[int]]:
    return list(report[3:16]), list(report[16:22]), list(report[22:27])


class TestLeds:
    def test_rpm_row(self, engine: kvdash.kvengine, display: vd.VirtualDisplay) -> None:
        for led in range(1, 14):
            assert engine.set_rpm_led(led, 1) is None
        rpm, warn, ext = led_bytes(sent(engine, display))
        assert rpm == [1] * 13 and warn == [0] * 6 and ext == [0] * 5

    @pytest.mark.parametrize("led", [0, 14, -1, 2**31 - 1, -(2**31)])
    def test_rpm_outside_row_changes_nothing(self, engine: kvdash.kvengine, display: vd.VirtualDisplay, led: int) -> None:
        engine.set_rpm_led(led, 1)
        assert sent(engine, display) == BLANK_REPORT

    @pytest.mark.parametrize("state, byte", [(1, 1), (0, 0), (2, 0), (-1, 0), (5, 0)])
    def test_rpm_states(self, engine: kvdash.kvengine, display: vd.VirtualDisplay, state: int, byte: int) -> None:
        engine.set_rpm_led(3, 1)
        engine.set_rpm_led(3, state)
        assert sent(engine, display)[5] == byte

    def test_rpm_last_led_is_byte_15(self, engine: kvdash.kvengine, display: vd.VirtualDisplay) -> None:
        engine.set_rpm_led(13, 1)
        report = sent(engine, display)
        assert report[15] == 1 and report[16] == 0 and sum(report[3:15]) == 0

    def test_warning_row(self, engine: kvdash.kvengine, display: vd.VirtualDisplay) -> None:
        engine.set_warning_led(6, 1)
        engine.set_warning_led(1, 1)
        report = sent(engine, display)
        assert report[21] == 1 and report[16] == 1 and sum(report[17:21]) == 0
        assert report[22:27] == bytes(5)

    @pytest.mark.parametrize("led", [0, 7, 11, 12, -3])
    def test_warning_outside_row_changes_nothing(self, engine: kvdash.kvengine, display: vd.VirtualDisplay, led: int) -> None:
        engine.set_warning_led(led, 1)
        assert sent(engine, display) == BLANK_REPORT

    @pytest.mark.parametrize("state, byte", [(1, 1), (0, 0), (9, 1), (2, 1), (-4, 0), (-(2**31), 0)])
    def test_warning_states_clamped(self, engine: kvdash.kvengine, display: vd.VirtualDisplay, state: int, byte: int) -> None:
        engine.set_warning_led(2, 1 - byte)
        engine.set_warning_led(2, state)
        assert sent(engine, display)[17] == byte

    def test_rows_treat_large_states_differently(self, engine: kvdash.kvengine, display: vd.VirtualDisplay) -> None:
        engine.set_warning_led(3, 5)
        engine.set_rpm_led(3, 1)
        engine.set_rpm_led(3, 5)
        report = sent(engine, display)
        assert report[18] == 1 and report[5] == 0

    @pytest.mark.parametrize("led, notice", [(1, True), (5, True), (0, False), (6, False), (7, True), (9, True), (11, True), (12, False), (-1, False)])
    def test_external_leds(self, engine: kvdash.kvengine, display: vd.VirtualDisplay, console: Console, led: int, notice: bool) -> None:
        assert engine.set_external_led(led, 1) is None
        assert console.read() == (LITE if notice else "")
        assert sent(engine, display) == BLANK_REPORT

    @pytest.mark.parametrize(
        "method", ["set_rpm_led", "set_warning_led", "set_external_led"]
    )
    @pytest.mark.parametrize("args", [(), (1,), (1, 1, 1), ("1", 1), (1, 1.0), (2**31, 1), (1, None)])
    def test_argument_errors(self, engine: kvdash.kvengine, console: Console, method: str, args: tuple) -> None:
        with pytest.raises((TypeError, OverflowError)):
            getattr(engine, method)(*args)
        assert console.read() == ""

    def test_keywords_refused(self, engine: kvdash.kvengine) -> None:
        with pytest.raises(TypeError):
            engine.set_rpm_led(led=1, state=1)


class TestPanels:
    @pytest.mark.parametrize(
        "text, left",
        [
            ("12.345", [0x31, 0xB2, 0x33, 0x34, 0x35, 0x00]),
            ("1:23.4", [0xB1, 0xB2, 0xB3, 0x34, 0x00, 0x00]),
            ("8.8.8.8.8.8.", [0xB8] * 6),
            ("123456.", [0x31, 0x32, 0x33, 0x34, 0x35, 0xB6]),
            ("12345.67", [0x31, 0x32, 0x33, 0x34, 0xB5, 0x36]),
            ("1234567", [0x31, 0x32, 0x33, 0x34, 0x35, 0x36]),
            ("12", [0x31, 0x32, 0, 0, 0, 0]),
            ("r", [0x72, 0, 0, 0, 0, 0]),
            ("R", [0] * 6),
            ("a", [0] * 6),
            ("\x05\x07", [0x35, 0x37, 0, 0, 0, 0]),
            ("1.", [0xB1, 0, 0, 0, 0, 0]),
            ("1:", [0xB1, 0x80, 0, 0, 0, 0]),
            (".5", [0x35, 0, 0, 0, 0, 0]),
            (":5", [0xB5, 0, 0, 0, 0, 0]),
            ("1:2.3", [0xB1, 0x32, 0x33, 0, 0, 0]),
            ("1.a", [0xB1, 0x61, 0, 0, 0, 0]),
            ("", [0x2D, 0x2D, 0xAD, 0xAD, 0x2D, 0x2D]),
            ("1234567890123", [0x2D, 0x2D, 0xAD, 0xAD, 0x2D, 0x2D]),
            ("abcdefghijkl", [0] * 6),
            ("é", [0] * 6),
        ],
    )
    def test_left_panel(self, engine: kvdash.kvengine, display: vd.VirtualDisplay, text: str, left: list[int]) -> None:
        assert engine.set_left_panel(text) is None
        report = sent(engine, display)
        assert list(report[27:33]) == left
        assert report[33:39] == b" " * 6

    @pytest.mark.parametrize(
        "text, right",
        [
            ("", [0xAD, 0xAD, 0xAD, 0x2D, 0x2D, 0x2D]),
            ("x" * 13, [0xAD, 0xAD, 0xAD, 0x2D, 0x2D, 0x2D]),
            ("-12.5", [0x2D, 0x31, 0xB2, 0x35, 0, 0]),
        ],
    )
    def test_right_panel(self, engine: kvdash.kvengine, display: vd.VirtualDisplay, text: str, right: list[int]) -> None:
        assert engine.set_right_panel(text) is None
        report = sent(engine, display)
        assert list(report[33:39]) == right
        assert report[27:33] == b" " * 6

    def test_panels_are_independent(self, engine: kvdash.kvengine, display: vd.VirtualDisplay) -> None:
        engine.set_left_panel("111111")
        engine.set_right_panel("222222")
        engine.set_left_panel("3")
        report = sent(engine, display)
        assert report[27:33] == b"3\0\0\0\0\0" and report[33:39] == b"222222"

    @pytest.mark.parametrize("method", ["set_left_panel", "set_right_panel"])
    @pytest.mark.parametrize("args, error", [((), TypeError), ((1,), TypeError), (("a", "b"), TypeError), ((b"1",), TypeError), (("1\x002",), ValueError)])
    def test_argument_errors(self, engine: kvdash.kvengine, display: vd.VirtualDisplay, console: Console, method: str, args: tuple, error: type) -> None:
        engine.set_left_panel("1")
        engine.set_right_panel("2")
        before = sent(engine, display)
        with pytest.raises(error):
            getattr(engine, method)(*args)
        assert sent(engine, display) == before
        assert console.read() == ""


class TestOtherMethods:
    def test_brightness_is_lite(self, engine: kvdash.kvengine, console: Console) -> None:
        assert engine.set_brightness(10) is None
        assert console.read() == LITE
        assert engine.get_device_info("brightness") == 255
        with pytest.raises(TypeError):
            engine.set_brightness("10")
        assert console.read() == ""

    def test_input_stubs(self, console: Console) -> None:
        for e in (kvdash.kvengine(), bare_engine()):
            assert e.get_input_data() == (-3, 0, 0, 0, 0)
            assert e.start_input_listener() is None
            assert e.stop_input_listener() is None
            assert console.read() == LITE * 3
            with pytest.raises(TypeError):
                e.get_input_data(1)
            assert console.read() == ""

    def test_terminate_changes_nothing(self, engine: kvdash.kvengine, display: vd.VirtualDisplay, console: Console) -> None:
        engine.set_gear(4)
        engine.show_me()
        assert engine.terminate() is True
        assert display.open_handles == 3
        engine.show_me()
        assert display.write_count == 3  # blank at init, and two frames
        assert display.last_report[2] == 0x34
        assert console.read() == ""
        assert bare_engine().terminate() is True

    def test_show_me_writes_once_each_time(self, engine: kvdash.kvengine, display: vd.VirtualDisplay) -> None:
        engine.set_left_panel("1:23.4")
        engine.show_me()
        engine.show_me()
        first, second = display.reports[-2:]
        assert first == second and len(first) == 54
        assert display.write_count == 3

    def test_before_init_nothing_is_written(self, display: vd.VirtualDisplay, console: Console) -> None:
        e = kvdash.kvengine()
        e.set_gear(3)
        e.set_rpm_led(1, 1)
        e.set_left_panel("1")
        assert e.show_me() is None
        assert display.write_count == 0
        assert console.read() == ""
        # The image set before init is replaced by the blank one at init.
        assert e.init() is True
        assert display.reports == [BLANK_REPORT]

    def test_no_argument_methods_refuse_arguments(self, engine: kvdash.kvengine) -> None:
        for name in ("init", "show_me", "terminate", "start_input_listener", "stop_input_listener"):
            with pytest.raises(TypeError):
                getattr(engine, name)(1)
            with pytest.raises(TypeError):
                getattr(engine, name)(x=1)


ENGINE_METHODS: list[tuple[str, tuple, str]] = [
    ("show_me", (), NOT_INIT),
    ("set_gear", (3,), NOT_INIT),
    ("set_rpm_led", (1, 1), NOT_INIT),
    ("set_warning_led", (1, 1), NOT_INIT),
    ("set_external_led", (1, 1), NOT_INIT),
    ("set_brightness", (5,), NOT_INIT),
    ("set_left_panel", ("1",), NOT_INIT),
    ("set_right_panel", ("1",), NOT_INIT),
    ("get_device_info", ("version",), NOT_INIT + "\n"),
]


class TestWithoutEngine:
    @pytest.mark.parametrize("target", ["bare", "module"])
    @pytest.mark.parametrize("name, args, text", ENGINE_METHODS)
    def test_not_initialized_failure(self, console: Console, target: str, name: str, args: tuple, text: str) -> None:
        call: Callable[..., Any] = getattr(bare_engine() if target == "bare" else kvdash, name)
        with pytest.raises(RuntimeError):
            call(*args)
        assert console.read() == text

    @pytest.mark.parametrize("target", ["bare", "module"])
    def test_init_answers_false(self, console: Console, target: str) -> None:
        call = bare_engine().init if target == "bare" else kvdash.init
        assert call() is False
        assert console.read() == NOT_INIT

    def test_argument_errors_come_first(self, console: Console) -> None:
        e = bare_engine()
        with pytest.raises(TypeError):
            e.set_rpm_led("x", 1)
        with pytest.raises(TypeError):
            e.set_left_panel(3)
        assert console.read() == ""
        # get_device_info checks first, even without its argument.
        with pytest.raises(RuntimeError):
            e.get_device_info()
        assert console.read() == NOT_INIT + "\n"

    def test_module_level_stubs(self, console: Console) -> None:
        assert kvdash.get_input_data() == (-3, 0, 0, 0, 0)
        assert kvdash.start_input_listener() is None
        assert kvdash.stop_input_listener() is None
        assert kvdash.terminate() is True
        assert console.read() == LITE * 3

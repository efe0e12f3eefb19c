"""Property tests: whatever a script passes, kvengine raises only the errors
it is documented to raise, and every report that reaches the display is the
one a small, independent model of the encoding rules predicts."""

from __future__ import annotations

import gc
import operator
import os
from fractions import Fraction
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple, Type

import pytest
from conftest import Console, bare_engine, write_figures_after
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import (
    RuleBasedStateMachine,
    invariant,
    rule,
    run_state_machine_as_test,
)

import kvdash
import kvdash_virtual as vd

# ---------------------------------------------------------------------------
# What a script may pass: anything at all.


def loose(thing: object) -> Any:
    """Calls made as an untyped script makes them: any argument, any answer."""
    return thing


class Index:
    """An object that an integer format accepts through __index__."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value

    def __repr__(self) -> str:
        return f"Index({self.value!r})"


class MyInt(int):
    pass


class MyStr(str):
    pass


class StrEncodingToText(str):
    """A str whose encode gives back no bytes object."""

    def encode(self, *args: Any, **kwargs: Any) -> Any:
        return "not bytes"


INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1

any_char = st.characters(exclude_categories=())  # every code point, NUL and surrogates too
panel_char = st.sampled_from("0123456789.:-r rRa\x01\x05\x09\x0a\x7f\x80é€")
any_text = st.one_of(
    st.text(any_char, max_size=16),
    st.text(panel_char, max_size=16),
    st.text(panel_char, min_size=11, max_size=14),  # both sides of the longest accepted text
    st.text(st.characters(max_codepoint=0x7F), max_size=16),
)
edge_ints = st.sampled_from([0, 1, 9, 10, 45, 48, 57, 114, 127, 128, 129, 137, 255, 256, 304, -1, -128, -208])
any_int = st.one_of(
    edge_ints,
    st.integers(),
    st.integers(min_value=-300, max_value=300),
    st.integers(min_value=INT32_MIN - 2, max_value=INT32_MIN + 2),
    st.integers(min_value=INT32_MAX - 2, max_value=INT32_MAX + 2),
    st.integers(min_value=-(2**200), max_value=2**200),
)
scalar = st.one_of(
    st.none(),
    st.booleans(),
    any_int,
    any_int.map(MyInt),
    any_int.map(Index),
    st.floats(allow_nan=True, allow_infinity=True),
    st.complex_numbers(),
    any_text,
    any_text.map(MyStr),
    any_text.map(StrEncodingToText),
    st.binary(max_size=12),
    st.binary(max_size=12).map(bytearray),
    st.decimals(allow_nan=False),
    st.fractions().map(Fraction),
    st.just(object()),
    st.just(Ellipsis),
    st.just(kvdash),
    st.just(kvdash.kvengine),
    st.just(len),
)
any_object = st.recursive(
    scalar,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3),
        st.lists(inner, max_size=3).map(tuple),
        st.dictionaries(st.text(max_size=4), inner, max_size=3),
        st.frozensets(st.integers(), max_size=3),
    ),
    max_leaves=6,
)
any_kwargs = st.one_of(
    st.just({}),
    st.dictionaries(st.text(st.characters(min_codepoint=0x41, max_codepoint=0x7A), min_size=1, max_size=6), any_object, max_size=2),
)


# ---------------------------------------------------------------------------
# Expected outcomes of the interpreter's argument formats.


class Fails(Exception):
    """The model's verdict: the call fails with this exception type."""

    def __init__(self, kind: Type[BaseException]) -> None:
        super().__init__(kind.__name__)
        self.kind = kind


def as_c_int(value: object) -> int:
    """What the "i" format makes of an argument."""
    if isinstance(value, int):
        number = int(value)
    elif hasattr(type(value), "__index__"):
        number = operator.index(value)  # type: ignore[arg-type]
    else:
        raise Fails(TypeError)
    if not INT32_MIN <= number <= INT32_MAX:
        raise Fails(OverflowError)
    return number


def as_c_text(value: object) -> bytes:
    """What the "s" format makes of an argument: its UTF-8 bytes."""
    if not isinstance(value, str):
        raise Fails(TypeError)
    try:
        data = str.encode(value, "utf-8")
    except UnicodeEncodeError:
        raise Fails(ValueError) from None
    if b"\0" in data:
        raise Fails(ValueError)
    return data


ACCEPTED = frozenset(b"0123456789-r ")
POINT = 0x80


def character_code(c: int) -> int:
    """A byte as the display shows it: accepted characters as they are,
    the numbers 0 to 9 as digits, anything else 0."""
    if c in ACCEPTED:
        return c
    if 0 <= c <= 9:
        return c + 0x30
    return 0


def gear_code(gear: object) -> int:
    """The gear code formed from set_gear's first argument, before the point."""
    if isinstance(gear, str):
        encoded = type(gear).encode(gear, "ascii", "ignore")
        if not isinstance(encoded, bytes) or len(encoded) == 0 or encoded[0] == 0:
            return 0x30
        return encoded[0]
    if isinstance(gear, int):
        value = int(gear)
        if not INT32_MIN <= value <= INT32_MAX:
            raise Fails(OverflowError)
        return value
    raise Fails(TypeError)


def gear_byte(gear: object, point: bool) -> int:
    """Report byte 2 after set_gear(gear, point)."""
    code = gear_code(gear)
    if code > 128:
        point = True
        code -= 128
    c = character_code(code & 0xFF)
    if point:
        c = (c + POINT) % 256
    return c


PLACEHOLDER = {True: b"---:---", False: b"-:--.---"}


def panel_bytes(text: bytes, left: bool) -> bytes:
    """The six report bytes of a panel showing text."""
    working = text.split(b"\0", 1)[0]
    if len(working) == 0 or len(working) > 12:
        working = PLACEHOLDER[left]
    source = working + bytes(13 - len(working))
    position = [0] * 12
    i = o = 0
    while i < len(working):
        c = source[i]
        if c in (ord(":"), ord(".")):
            if o > 0:
                position[o - 1] = (position[o - 1] + POINT) % 256
            after = source[i + 1]
            position[o] = (after + POINT) % 256 if c == ord(":") else after
            i += 2
        elif c in ACCEPTED:
            position[o] = c
            i += 1
        elif 1 <= c <= 9:
            position[o] = c + 0x30
            i += 1
        else:
            position[o] = 0
            i += 1
        o += 1
    return bytes(position[:6])


BLANK = bytes([0, 1, 0x20]) + bytes(24) + b"\x20" * 12 + bytes(15)

DEVICE_INFO_KEYS = {
    "version": str, "name": str, "ticks": int, "type": int, "vendor id": int,
    "product id": int, "firmware": str, "panel count": int, "serial number": str,
    "device path": str, "digits": int, "gear": int, "max rpm led": int,
    "max warning led": int, "max external led": int, "brightness": int,
    "digital": int, "analog": int, "rumble motor": int,
}
FIXED_INFO = {
    "version": "0.2.0.1 (Lite)", "name": "kvdash", "type": 7, "vendor id": 7634,
    "product id": 259, "panel count": 2, "digits": 6, "gear": 1, "max rpm led": 13,
    "max warning led": 6, "max external led": 5, "brightness": 255, "rumble motor": 0,
}


def lowered(key: bytes) -> str:
    return bytes(b + 32 if 0x41 <= b <= 0x5A else b for b in key).decode("utf-8", "replace")


def check_sent(report: bytes) -> None:
    """What holds for every report the methods cause to be sent."""
    assert len(report) == 54
    assert report[0] == 0 and report[1] == 1
    assert report[22:27] == bytes(5), report.hex()
    assert report[39:54] == bytes(15), report.hex()


# ---------------------------------------------------------------------------
# Figures: how many examples ran here, for scripts/reliability.py.

_examples: Dict[str, int] = {}


def count(name: str) -> None:
    _examples[name] = _examples.get(name, 0) + 1


@pytest.fixture(scope="module", autouse=True)
def write_figures(request: pytest.FixtureRequest) -> Iterator[None]:
    yield from write_figures_after(request, "properties", "examples", _examples)


# ---------------------------------------------------------------------------
# Any arguments, to any of the fourteen methods.

NOARGS = ("init", "get_input_data", "start_input_listener", "stop_input_listener", "show_me", "terminate")
TWO_INTS = ("set_rpm_led", "set_warning_led", "set_external_led")
ONE_TEXT = ("set_left_panel", "set_right_panel")
ALL_METHODS = NOARGS + TWO_INTS + ONE_TEXT + ("set_gear", "get_device_info", "set_brightness")
NEEDS_ENGINE = ("init", "show_me", "get_device_info", "set_gear", "set_brightness") + TWO_INTS + ONE_TEXT


def expected_answer(method: str, args: Sequence[object], kwargs: Dict[str, object], has_engine: bool) -> Any:
    """The model of one call: a predicate on the answer, or Fails(exception type)."""
    if kwargs and method != "set_gear":
        raise Fails(TypeError)
    if method in NOARGS and args:
        raise Fails(TypeError)
    if method == "get_device_info":
        if not has_engine:
            raise Fails(RuntimeError)
        if len(args) != 1:
            raise Fails(ValueError)
        try:
            key = as_c_text(args[0])
        except Fails:
            raise Fails(ValueError) from None
        kind = DEVICE_INFO_KEYS.get(lowered(key))
        if kind is None:
            raise Fails(ValueError)
        return kind
    if method in TWO_INTS:
        if len(args) != 2:
            raise Fails(TypeError)
        as_c_int(args[0])
        as_c_int(args[1])
    elif method == "set_brightness":
        if len(args) != 1:
            raise Fails(TypeError)
        as_c_int(args[0])
    elif method in ONE_TEXT:
        if len(args) != 1:
            raise Fails(TypeError)
        as_c_text(args[0])
    elif method == "set_gear":
        if not 1 <= len(args) <= 2:
            raise Fails(TypeError)
        gear_code(args[0])
    if method == "init":
        return bool if has_engine else False
    if method == "get_input_data":
        return (-3, 0, 0, 0, 0)
    if method == "terminate":
        return True
    if method in NEEDS_ENGINE and not has_engine:
        raise Fails(RuntimeError)
    return None


def check_call(target: object, method: str, args: List[object], kwargs: Dict[str, object], has_engine: bool) -> None:
    try:
        expected: Any = expected_answer(method, args, kwargs, has_engine)
    except Fails as verdict:
        with pytest.raises(verdict.kind):
            getattr(target, method)(*args, **kwargs)
        return
    answer = getattr(target, method)(*args, **kwargs)
    if isinstance(expected, type):
        assert type(answer) is expected, (method, args, answer)
    else:
        assert answer == expected and type(answer) is type(expected), (method, args, answer)


args_lists = st.one_of(
    st.lists(any_object, max_size=3),
    st.tuples(any_int, any_int).map(list),
    st.tuples(any_text).map(list),
    st.tuples(any_object, any_object).map(list),
)
ARG_SETTINGS = settings(
    max_examples=80,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)


@pytest.mark.parametrize("method", ALL_METHODS)
@ARG_SETTINGS
@given(args=args_lists, kwargs=any_kwargs)
def test_any_arguments_initialised(
    engine: kvdash.kvengine, display: vd.VirtualDisplay, method: str, args: List[object], kwargs: Dict[str, object]
) -> None:
    check_call(engine, method, args, kwargs, has_engine=True)
    engine.show_me()
    check_sent(display.last_report or b"")
    count("any arguments, initialised engine")


@pytest.mark.parametrize("method", ALL_METHODS)
@ARG_SETTINGS
@given(args=args_lists, kwargs=any_kwargs)
def test_any_arguments_without_engine(method: str, args: List[object], kwargs: Dict[str, object]) -> None:
    check_call(bare_engine(), method, args, kwargs, has_engine=False)
    count("any arguments, object without engine")


@pytest.mark.parametrize("method", ALL_METHODS)
@ARG_SETTINGS
@given(args=args_lists, kwargs=any_kwargs)
def test_any_arguments_module_level(method: str, args: List[object], kwargs: Dict[str, object]) -> None:
    check_call(kvdash, method, args, kwargs, has_engine=False)
    count("any arguments, module-level function")


@ARG_SETTINGS
@given(args=args_lists, kwargs=any_kwargs)
def test_any_constructor_arguments(args: List[object], kwargs: Dict[str, object]) -> None:
    if len(args) > 1:
        outcome: Optional[Type[BaseException]] = TypeError
    elif args:
        try:
            as_c_text(args[0])
            outcome = None
        except Fails as verdict:
            outcome = verdict.kind
    else:
        outcome = None
    if outcome is not None:
        with pytest.raises(outcome):
            loose(kvdash.kvengine)(*args, **kwargs)
    else:
        made = loose(kvdash.kvengine)(*args, **kwargs)
        # A fresh engine holds an all-zero report and no display.
        assert made.get_device_info("serial number") == ""
        assert made.terminate() is True
    count("constructor arguments")


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(led=any_int, state=any_int)
def test_external_led_notice(engine: kvdash.kvengine, display: vd.VirtualDisplay, console: Console, led: int, state: int) -> None:
    console.read()
    before = display.write_count
    try:
        expect_ok = (as_c_int(led), as_c_int(state))
    except Fails as verdict:
        with pytest.raises(verdict.kind):
            engine.set_external_led(led, state)
        assert console.read() == ""
    else:
        assert loose(engine).set_external_led(led, state) is None
        notice = 1 <= expect_ok[0] <= 5 or 7 <= expect_ok[0] <= 11
        assert console.read() == ("Not Implemented In Lite Version - Use The Full Version.\n" if notice else "")
    assert display.write_count == before
    engine.show_me()
    assert display.last_report is not None and display.last_report[16:27] == bytes(11)
    count("set_external_led notice")


# ---------------------------------------------------------------------------
# The report bytes against a model, over long runs of calls.

led_number = st.one_of(st.integers(min_value=-2, max_value=16), any_int)
led_state = st.one_of(st.integers(min_value=-3, max_value=3), any_int)
int_args = st.tuples(led_number, led_state)


# One engine for every run of the machine: an init costs a 100 ms pause, and
# shrinking a failure takes hundreds of runs.
_shared: Dict[str, Any] = {}


class ReportModel(RuleBasedStateMachine):
    """One engine on one virtual display; the model tracks the 54-byte image.
    Each run starts from the image the display last received."""

    def __init__(self) -> None:
        super().__init__()
        self.display: vd.VirtualDisplay = _shared["display"]
        self.engine: kvdash.kvengine = _shared["engine"]
        self.engine.show_me()
        last = self.display.last_report
        assert last is not None
        check_sent(last)
        self.model = bytearray(last)
        self.gear_known = True
        self.writes = self.display.write_count

    def call(self, method: str, *args: Any, **kwargs: Any) -> bool:
        try:
            expected_answer(method, args, kwargs, has_engine=True)
        except Fails as verdict:
            with pytest.raises(verdict.kind):
                getattr(self.engine, method)(*args, **kwargs)
            return False
        assert getattr(self.engine, method)(*args, **kwargs) is None
        return True

    @rule(gear=st.one_of(any_int, any_text, st.booleans(), any_text.map(MyStr), any_text.map(StrEncodingToText), any_object),
          point=st.one_of(st.booleans(), any_object).map(lambda p: [p]) | st.just([]),
          kwargs=any_kwargs)
    def set_gear(self, gear: object, point: List[object], kwargs: Dict[str, object]) -> None:
        if self.call("set_gear", gear, *point, **kwargs):
            self.model[2] = gear_byte(gear, bool(point[0]) if point else False)
            self.gear_known = True
        elif isinstance(gear, int):
            # Whether an out-of-range number reaches the gear byte is left open.
            self.gear_known = False

    @rule(led_state=int_args)
    def set_rpm_led(self, led_state: Tuple[int, int]) -> None:
        led, state = led_state
        if self.call("set_rpm_led", led, state) and 1 <= led <= 13:
            self.model[2 + led] = 1 if state == 1 else 0

    @rule(led_state=int_args)
    def set_warning_led(self, led_state: Tuple[int, int]) -> None:
        led, state = led_state
        if self.call("set_warning_led", led, state) and 1 <= led <= 6:
            self.model[15 + led] = 0 if state < 0 else (1 if state > 1 else state)

    @rule(led_state=int_args)
    def set_external_led(self, led_state: Tuple[int, int]) -> None:
        self.call("set_external_led", *led_state)

    @rule(level=any_int)
    def set_brightness(self, level: int) -> None:
        self.call("set_brightness", level)

    @rule(text=any_text, left=st.booleans())
    def set_panel(self, text: str, left: bool) -> None:
        if self.call("set_left_panel" if left else "set_right_panel", text):
            start = 27 if left else 33
            self.model[start : start + 6] = panel_bytes(str.encode(text, "utf-8"), left)

    @rule(key=st.one_of(st.sampled_from(sorted(DEVICE_INFO_KEYS)), st.sampled_from(sorted(DEVICE_INFO_KEYS)).map(str.upper), any_text))
    def get_device_info(self, key: str) -> None:
        try:
            kind = expected_answer("get_device_info", [key], {}, has_engine=True)
        except Fails as verdict:
            with pytest.raises(verdict.kind):
                self.engine.get_device_info(key)
            return
        answer = self.engine.get_device_info(key)
        assert type(answer) is kind
        name = lowered(as_c_text(key))
        if name in FIXED_INFO:
            assert answer == FIXED_INFO[name]
        if name == "serial number":
            assert answer == "VIRTUAL0001"
        if name == "firmware":
            assert answer == "1.05"

    @rule(times=st.integers(min_value=1, max_value=3))
    def show_me(self, times: int) -> None:
        for _ in range(times):
            assert loose(self.engine).show_me() is None
        self.writes += times
        assert self.display.write_count == self.writes
        # With no setter between them the sends are alike: the newest stands for all.
        sent = [self.display.last_report or b""]
        expected = bytearray(self.model)
        expected[0], expected[1] = 0, 1
        for report in sent:
            check_sent(report)
            if self.gear_known:
                assert report == bytes(expected), (report.hex(), bytes(expected).hex())
            else:
                assert report[:2] + report[3:] == bytes(expected[:2] + expected[3:])
        if not self.gear_known:
            self.model[2] = sent[-1][2]
            self.gear_known = True
        count("report model, show_me steps")

    @invariant()
    def next_report_matches(self) -> None:
        # Sending changes nothing in memory, so every step can be checked.
        assert self.display.write_count == self.writes
        self.show_me(1)

    def teardown(self) -> None:
        count("report model, runs")


def test_report_matches_model(display: vd.VirtualDisplay) -> None:
    engine = kvdash.kvengine()
    assert engine.init() is True
    assert display.last_report == BLANK
    _shared.update(display=display, engine=engine)
    try:
        run_state_machine_as_test(
            ReportModel,
            settings=settings(max_examples=100, stateful_step_count=40, deadline=None),
        )
    finally:
        _shared.clear()
    before = display.write_count
    del engine
    gc.collect()  # the machines that shared it are gone once collected
    # Teardown blanks the display, then lets it go.
    assert display.write_count == before + 1
    assert display.last_report == BLANK
    assert display.open_handles == 0


# The model itself, against the worked examples of the encoding rules, so
# that a mistake in it cannot hide behind the same mistake in the module.
@pytest.mark.parametrize(
    "text, left, expected",
    [
        (b"", True, "2d2dadad2d2d"),
        (b"", False, "adadad2d2d2d"),
        (b"12.345", True, "31b233343500"),
        (b"1:23.4", True, "b1b2b3340000"),
        (b"8.8.8.8.8.8.", True, "b8b8b8b8b8b8"),
        (b"123456.", True, "3132333435b6"),
        (b"12345.67", True, "31323334b536"),
        (b"1:2.3", True, "b13233000000"),
        (b"1.a", True, "b16100000000"),
        (b"r", True, "720000000000"),
        (b"\x05\x07", True, "353700000000"),
        (b"1.", True, "b10000000000"),
        (b"1:", True, "b18000000000"),
        (b".5", True, "350000000000"),
        (b":5", True, "b50000000000"),
        (b"1234567890123", False, "adadad2d2d2d"),
    ],
)
def test_panel_model_examples(text: bytes, left: bool, expected: str) -> None:
    assert panel_bytes(text, left).hex() == expected


@pytest.mark.parametrize(
    "gear, point, expected",
    [("7", False, 0x37), (7, False, 0x37), ("r", False, 0x72), ("n", False, 0), (10, False, 0),
     ("5", True, 0xB5), ("n", True, 0x80), ("12", False, 0x31), ("", False, 0x30), (True, False, 0x31),
     (133, False, 0xB5), (128, False, 0), ("é", False, 0x30), (0, False, 0x30)],
)
def test_gear_model_examples(gear: object, point: bool, expected: int) -> None:
    assert gear_byte(gear, point) == expected


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    text=any_text,
    left=st.booleans(),
    gear=st.one_of(edge_ints, st.integers(min_value=INT32_MIN, max_value=INT32_MAX), any_text),
    point=st.booleans(),
    rpm=st.tuples(st.integers(min_value=-1, max_value=15), st.integers(min_value=-3, max_value=3)),
    warning=st.tuples(st.integers(min_value=-1, max_value=8), st.integers(min_value=-3, max_value=3)),
)
def test_one_frame_matches_model(
    engine: kvdash.kvengine,
    display: vd.VirtualDisplay,
    text: str,
    left: bool,
    gear: object,
    point: bool,
    rpm: Tuple[int, int],
    warning: Tuple[int, int],
) -> None:
    """A single frame: the gear, LED and panel bytes of the next report."""
    before = display.last_report
    assert before is not None
    expected = bytearray(before)
    expected[2] = gear_byte(gear, point)
    assert loose(engine).set_gear(gear, point) is None
    led, state = rpm
    if 1 <= led <= 13:
        expected[2 + led] = 1 if state == 1 else 0
    assert loose(engine).set_rpm_led(led, state) is None
    led, state = warning
    if 1 <= led <= 6:
        expected[15 + led] = min(max(state, 0), 1)
    assert loose(engine).set_warning_led(led, state) is None
    try:
        data = as_c_text(text)
    except Fails as verdict:
        with pytest.raises(verdict.kind):
            (engine.set_left_panel if left else engine.set_right_panel)(text)
    else:
        (engine.set_left_panel if left else engine.set_right_panel)(text)
        start = 27 if left else 33
        expected[start : start + 6] = panel_bytes(data, left)
    engine.show_me()
    assert display.last_report == bytes(expected)
    count("one frame against the model")


if os.environ.get("KVDASH_PROPERTIES_VERBOSE"):
    settings.register_profile("verbose", verbosity=2)
    settings.load_profile("verbose")

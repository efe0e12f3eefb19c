"""The module and its type as the interpreter sees them: names, documentation
texts, construction, the exported entry points."""

from __future__ import annotations

import ctypes
import inspect
import pydoc
import shutil
import subprocess

import pytest
from conftest import bare_engine

import kvdash

# Each method: its parameters after self (all positional) and its exact
# documentation text.
SIGNATURES = {
    "set_gear": ("gear, point=False", "Set gear"),
    "init": ("", "Initialize the manager."),
    "get_device_info": ("key", "Retrieve device information."),
    "get_input_data": ("", "Retrieve input data."),
    "start_input_listener": ("", "Start Input Listener"),
    "stop_input_listener": ("", "Stop Input Listener"),
    "show_me": ("", "Send report to board"),
    "set_rpm_led": ("led, state", "Set one RPM LED state"),
    "set_warning_led": ("led, state", "Set warning LED state"),
    "set_external_led": ("led, state", "Set external LED state"),
    "set_brightness": ("level", "Set global brightness"),
    "set_right_panel": ("text", "Set right digits display"),
    "set_left_panel": ("text", "Set left digits display"),
    "terminate": ("", "Close Python module"),
}
METHODS = {name: doc for name, (_, doc) in SIGNATURES.items()}

EXPORTS = [
    "PyInit_kvdash",
    "BuildEx",
    "PyDev_set_gear",
    "PyInitMgr",
    "PyGetDeviceInfo",
    "PyGetInputData",
    "PyStartInputListener",
    "PyStopInputListener",
    "PySendReport",
    "PySetOneRPMLed",
    "PySetWarnLed",
    "PySetExternalLed",
    "PySetGlobalBrightness",
    "PySetRightDigits",
    "PySetLeftDigits",
    "PyClose",
]


class TestModuleFacts:
    def test_documentation_and_type(self) -> None:
        assert kvdash.__doc__ == "Manages SLI-PRO device Lite Version"
        assert isinstance(kvdash.kvengine, type)
        assert kvdash.kvengine.__name__ == "kvengine"
        assert kvdash.kvengine.__module__ == "kvdash"
        assert kvdash.kvengine.__doc__ is None

    def test_fourteen_module_level_functions(self) -> None:
        functions = {name for name in dir(kvdash) if callable(getattr(kvdash, name)) and name != "kvengine"}
        assert functions == set(METHODS)
        for name, doc in METHODS.items():
            assert getattr(kvdash, name).__doc__ == doc

    def test_method_documentation(self) -> None:
        for name, doc in METHODS.items():
            assert getattr(kvdash.kvengine, name).__doc__ == doc
        own = {n for n in vars(kvdash.kvengine) if not n.startswith("__")}
        assert own == set(METHODS)

    def test_not_a_base_type(self) -> None:
        with pytest.raises(TypeError):
            type("Sub", (kvdash.kvengine,), {})

    def test_not_garbage_collected(self) -> None:
        import gc

        assert not gc.is_tracked(kvdash.kvengine())


class TestSignatures:
    @pytest.mark.parametrize("name", SIGNATURES)
    def test_signature_and_documentation(self, name: str) -> None:
        params, doc = SIGNATURES[name]
        bound = f"({params}, /)" if params else "()"
        unbound = f"(self, {params}, /)" if params else "(self, /)"
        method = getattr(kvdash.kvengine, name)
        assert (str(inspect.signature(method)), method.__doc__) == (unbound, doc)
        engine = kvdash.kvengine()
        assert (str(inspect.signature(getattr(engine, name))), getattr(engine, name).__doc__) == (bound, doc)
        # The module-level function shares the table: the module is its self,
        # which inspect leaves out.
        function = getattr(kvdash, name)
        assert (str(inspect.signature(function)), function.__doc__) == (bound, doc)

    def test_help_shows_them(self) -> None:
        text = pydoc.render_doc(kvdash.kvengine, renderer=pydoc.plaintext)
        lines = [line.lstrip(" |") for line in text.splitlines()]
        for name, (params, doc) in SIGNATURES.items():
            shown = f"{name}(self, {params}, /)" if params else f"{name}(self, /)"
            assert shown in lines, name
            assert lines[lines.index(shown) + 1] == doc


class TestConstruction:
    @pytest.mark.parametrize(
        "args, kwargs",
        [((), {}), (("",), {}), (("anything",), {}), ((), {"name": "x"}), (("a",), {"b": 1})],
    )
    def test_builds_an_engine(self, args: tuple, kwargs: dict) -> None:
        e = kvdash.kvengine(*args, **kwargs)
        # An engine answers the limits; a bare object would fail.
        assert e.get_device_info("max rpm led") == 13
        assert e.get_device_info("vendor id") == 7634

    @pytest.mark.parametrize("args", [(1,), ("a", "b"), (None,), (b"x",)])
    def test_bad_arguments_leave_no_engine(self, args: tuple) -> None:
        with pytest.raises(TypeError):
            kvdash.kvengine(*args)

    def test_failed_reinit_keeps_working_engine(self) -> None:
        e = kvdash.kvengine()
        with pytest.raises(TypeError):
            e.__init__(5)  # type: ignore[misc]
        assert e.get_device_info("digits") == 6

    def test_reinit_replaces_engine_and_releases_device(self, display) -> None:
        e = kvdash.kvengine()
        assert e.init() is True
        assert display.open_handles == 3
        e.__init__()  # type: ignore[misc]
        # The old engine was torn down: display blanked, handles closed.
        assert display.open_handles == 0
        assert display.last_report == BLANK
        assert e.get_device_info("serial number") == ""
        assert e.init() is True
        assert display.open_handles == 3

    def test_dealloc_releases_type_reference(self) -> None:
        import sys

        kvdash.kvengine()
        bare_engine()  # warms the interpreter's caches
        before = sys.getrefcount(kvdash.kvengine)
        for _ in range(1000):
            kvdash.kvengine()
            bare_engine()
        after = sys.getrefcount(kvdash.kvengine)
        assert after == before


BLANK = bytes([0, 1, 0x20] + [0] * 24 + [0x20] * 12 + [0] * 15)


class TestExports:
    def test_entry_points_by_name(self) -> None:
        lib = ctypes.CDLL(kvdash.__file__)
        for name in EXPORTS:
            assert hasattr(lib, name), name

    @pytest.mark.skipif(shutil.which("nm") is None, reason="nm is part of binutils")
    def test_nothing_else_exported(self) -> None:
        out = subprocess.run(
            ["nm", "-D", "--defined-only", kvdash.__file__], capture_output=True, text=True, check=True
        ).stdout
        names = {line.split()[-1] for line in out.splitlines() if line.strip()}
        ours = {n for n in names if not n.startswith("kvvd_")}
        assert ours == set(EXPORTS)
        assert any(n.startswith("kvvd_") for n in names)

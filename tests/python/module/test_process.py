"""Process-wide state, seen from fresh interpreters: the single-instance
marker, and the console on the process's C-level stdout."""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import textwrap

import pytest
from conftest import PRELUDE, run_python

# Every test here reads what a fresh process prints, which starts with the
# marker's message if another process holds it. The file imports no kvdash,
# so that on Windows (one named mutex per session) these run in a runner that
# does not hold it.
pytestmark = pytest.mark.lone_process

ALREADY = "Kavu Engine already running!"


def holder(runtime: str) -> subprocess.Popen[str]:
    """A process that has the module loaded until its stdin closes."""
    code = PRELUDE + textwrap.dedent(
        """
        import kvdash
        cflush()
        print("ready", flush=True)
        sys.stdin.read()
        """
    )
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
    env.pop("PYTHONUNBUFFERED", None)
    proc = subprocess.Popen(
        [sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env
    )
    assert proc.stdout is not None
    assert proc.stdout.readline() == "ready\n"
    return proc


class TestSingleInstanceMarker:
    def test_lone_process_prints_nothing(self) -> None:
        out = run_python("import kvdash\ncflush()\nprint('|')")
        assert out.returncode == 0, out.stderr
        assert out.stdout == "|\n"

    def test_second_process_is_told(self) -> None:
        runtime = tempfile.mkdtemp(prefix="kvdash-shared-")
        first = holder(runtime)
        try:
            out = run_python("import kvdash\ncflush()\nprint('|')", env={"XDG_RUNTIME_DIR": runtime})
            assert out.returncode == 0, out.stderr
            assert out.stdout == ALREADY + "|\n"
        finally:
            assert first.stdin is not None
            first.stdin.close()
            rest = first.stdout.read() if first.stdout else ""
            first.wait(timeout=30)
        assert rest == ""  # the first process printed nothing
        # Once the first has gone, a new process is alone again.
        out = run_python("import kvdash\ncflush()\nprint('|')", env={"XDG_RUNTIME_DIR": runtime})
        assert out.stdout == "|\n"

    @pytest.mark.needs_virtual_display
    def test_second_process_still_drives_a_display(self) -> None:
        runtime = tempfile.mkdtemp(prefix="kvdash-shared-")
        first = holder(runtime)
        try:
            code = """
            import kvdash, kvdash_virtual as vd
            cflush()
            print("|")
            d = vd.attach()
            e = kvdash.kvengine()
            print(e.init(), flush=True)
            e.set_gear(4)
            e.show_me()
            print(d.last_report[2])
            """
            out = run_python(code, env={"XDG_RUNTIME_DIR": runtime})
            assert out.returncode == 0, out.stderr
            assert out.stdout == ALREADY + "|\nTrue\n52\n"
        finally:
            assert first.stdin is not None
            first.stdin.close()
            first.wait(timeout=30)

    @pytest.mark.skipif(sys.platform == "win32", reason="on Windows the marker is a named mutex, not a file")
    def test_marker_refuses_a_planted_link(self) -> None:
        runtime = tempfile.mkdtemp(prefix="kvdash-link-")
        target = os.path.join(runtime, "target")
        os.symlink(target, os.path.join(runtime, "kvdashengine.lock"))
        out = run_python("import kvdash\ncflush()\nprint(kvdash.kvengine().terminate())", env={"XDG_RUNTIME_DIR": runtime})
        assert out.returncode == 0, out.stderr
        assert out.stdout == "True\n"
        assert not os.path.exists(target)


class TestConsole:
    def test_messages_bypass_sys_stdout(self) -> None:
        code = """
        import io, kvdash
        sys.stdout = io.StringIO()
        kvdash.kvengine().init()
        kvdash.kvengine.__new__(kvdash.kvengine).init()
        captured = sys.stdout.getvalue()
        sys.stdout = sys.__stdout__
        cflush()
        print("|" + repr(captured))
        """
        out = run_python(code)
        assert out.returncode == 0, out.stderr
        assert out.stdout == (
            "Error error: device init failed! #1001\n F:init\n\n"
            "Error: kvengine Not initialized!|''\n"
        )

    @pytest.mark.skipif(
        sys.platform == "win32",
        reason="on Windows the Documents folder is the shell's, from the user's profile: no environment takes it away",
    )
    def test_storage_message_comes_first(self) -> None:
        code = """
        import kvdash
        kvdash.kvengine().init()
        """
        out = run_python(code, env={"HOME": ""})
        assert out.returncode == 0, out.stderr
        assert out.stdout == (
            "Error: can't access the storage directory!"
            "Error error: device init failed! #1001\n F:init\n\n"
        )

    def test_lite_notices_in_order(self) -> None:
        code = """
        import kvdash
        e = kvdash.kvengine()
        e.get_input_data(); e.set_external_led(1, 1); e.set_brightness(3)
        e.set_external_led(6, 1); e.start_input_listener()
        """
        out = run_python(code)
        assert out.stdout == "Not Implemented In Lite Version - Use The Full Version.\n" * 4


class TestBuildEx:
    def test_build_ex_composes_and_answers_false(self) -> None:
        code = """
        import ctypes, kvdash
        lib = ctypes.PyDLL(kvdash.__file__)
        lib.BuildEx.restype = ctypes.py_object
        lib.BuildEx.argtypes = [ctypes.c_char_p, ctypes.c_int] + [ctypes.c_char_p] * 4
        cflush()
        r1 = lib.BuildEx(b"msg", 7, None, None, None, None)
        r2 = lib.BuildEx(b"msg", 8, None, b"one", b"two", None)
        r3 = lib.BuildEx(b"m", -1, b"fn", b"one", None, b"three")
        r4 = lib.BuildEx(b"x" * 1000, 123456, b"y" * 1000, None, None, None)
        r5 = lib.BuildEx(b"msg", 9, None, None, None, b"three")
        cflush()
        print("|", r1, r2, r3, r4, r5)
        """
        out = run_python(code)
        assert out.returncode == 0, out.stderr
        text = out.stdout
        assert text.startswith(
            "Error msg #7\n\n"
            "Error msg #8\n P1:one\n\n"
            "Error m #-1\n F:fn\n\n"
        )
        rest = text[len("Error msg #7\n\nError msg #8\n P1:one\n\nError m #-1\n F:fn\n\n") :]
        # A composition longer than a step is cut, never overflowed.
        long_line, _, rest = rest.partition("\n")
        assert long_line.startswith("Error xxxx") and 200 < len(long_line) < 300
        assert rest.endswith("Error msg #9\n P3:three\n\n| False False False False False\n")

"""Smoke test of an installed Windows wheel of kvdash, with no display attached.

It imports the module, checks the module and type it registers, that the
virtual displays are refused on Windows, and, in a child process (so that the
C-level output can be read), that init() without a display prints the
failure text and answers False while this process holds the instance marker.
"""

from __future__ import annotations

import subprocess
import sys

import kvdash


def main() -> None:
    assert kvdash.__doc__ == "Manages SLI-PRO device Lite Version", kvdash.__doc__
    engine_type = kvdash.kvengine
    assert (engine_type.__module__, engine_type.__name__) == ("kvdash", "kvengine")
    try:
        import kvdash_virtual  # noqa: F401
    except ImportError:
        pass
    else:
        raise SystemExit("kvdash_virtual must refuse to import on Windows")

    child = "import kvdash; engine = kvdash.kvengine(); print(engine.init(), flush=True)"
    result = subprocess.run(
        [sys.executable, "-c", child], capture_output=True, text=True, check=True, timeout=120
    )
    out = result.stdout
    assert "Kavu Engine already running!" in out, out
    assert "Error error: device init failed! #1001\n F:init\n" in out, out
    assert "False" in out.splitlines(), out
    print("kvdash Windows smoke test passed")


if __name__ == "__main__":
    main()

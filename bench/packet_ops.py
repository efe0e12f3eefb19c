#!/usr/bin/env python3
"""What the interpreter does for a packet: bytecode instructions and Python
calls per packet, the app beside the bare loop of dashboard_bench.py.

The CPU a packet costs moves by a tenth or more from run to run on a shared
machine, and most of the app's share of it is bytecode run with cold caches;
the count of what runs does not move. Each process runs under a tracer that
counts every instruction and call by function, switched on (SIGUSR1) once
it listens and off (SIGUSR2) after the busy stream (every packet changes the
speed and the RPM LEDs, 360 a second for 3 s). Prints both counts and the
app's busiest functions. Linux; figures only, never a failure on them.
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import tempfile
import time
from collections import Counter
from typing import Dict, List, Tuple

from dashboard_bench import BARE_LOOP, SENDER, free_port

TRACER = r"""
import collections, json, runpy, signal, sys
out, kind, what = sys.argv[1:4]
sys.argv = [what] + sys.argv[4:]
ops, calls = collections.Counter(), collections.Counter()
def where(code):
    return code.co_filename.rsplit("/", 1)[-1] + ":" + getattr(code, "co_qualname", code.co_name)
def tracer(frame, event, arg):
    frame.f_trace_opcodes = True
    if event == "opcode":
        ops[where(frame.f_code)] += 1
    elif event == "call":
        calls[where(frame.f_code)] += 1
    return tracer
def on(signum, frame):
    sys.settrace(tracer)
    while frame is not None:
        frame.f_trace, frame.f_trace_opcodes = tracer, True
        frame = frame.f_back
def off(signum, frame):
    sys.settrace(None)
    while frame is not None:
        frame.f_trace = None
        frame = frame.f_back
    with open(out, "w") as f:
        json.dump({"ops": ops, "calls": calls}, f)
signal.signal(signal.SIGUSR1, on)
signal.signal(signal.SIGUSR2, off)
if kind == "module":
    runpy.run_module(what, run_name="__main__", alter_sys=True)
else:
    exec(compile(what, "<bare loop>", "exec"), {"__name__": "__main__"})
"""

Counts = Tuple[Dict[str, int], Dict[str, int]]


def traced(kind: str, what: str, args: List[str], ready: str, seconds: float) -> Tuple[Counts, int]:
    """Runs what (a module or code) under the tracer; answers its counts over
    the stream and the packets sent."""
    port = free_port()
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "counts.json")
        argv = [
            sys.executable,
            "-c",
            TRACER,
            out,
            kind,
            what,
            *(a.replace("PORT", str(port)) for a in args),
        ]
        process = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)
        try:
            assert process.stdout is not None
            while ready not in process.stdout.readline():
                if process.poll() is not None:
                    raise SystemExit(f"{what[:40]!r} ended before it listened")
            process.send_signal(signal.SIGUSR1)
            time.sleep(0.2)  # the tracer is on before the first packet
            sender = [sys.executable, "-c", SENDER, str(port), "360", str(seconds), "1", "busy"]
            lines = subprocess.run(sender, capture_output=True, text=True, check=True).stdout
            time.sleep(0.1)  # the last packet is handled
            process.send_signal(signal.SIGUSR2)
            for _ in range(100):
                if os.path.exists(out) and os.path.getsize(out) > 0:
                    break
                time.sleep(0.05)
            time.sleep(0.1)  # written whole
            with open(out) as f:
                counts = json.load(f)
        finally:
            process.kill()
            process.wait()
    packets = sum(1 for line in lines.split("\n") if line and line != "go")
    return (counts["ops"], counts["calls"]), packets


def main() -> None:
    seconds = 3.0
    app_argv = ["--source", "outgauge", "--listen", "127.0.0.1:PORT", "--view", "lines"]
    app_argv += ["--seconds", str(seconds + 20), "--virtual"]
    (app_ops, app_calls), app_packets = traced(
        "module", "kvdash_dashboard", app_argv, "updates/s", seconds
    )
    (bare_ops, bare_calls), bare_packets = traced(
        "code", BARE_LOOP, ["PORT", str(seconds + 20)], "ready", seconds
    )
    ops, calls = sum(app_ops.values()) / app_packets, sum(app_calls.values()) / app_packets
    bare = sum(bare_ops.values()) / bare_packets
    bare_call = sum(bare_calls.values()) / bare_packets
    print(
        f"Per packet, OutGauge at 360/s, every packet changing the speed and the RPM LEDs "
        f"({app_packets} packets):"
    )
    print(f"  bytecode instructions   app {ops:6.0f}   bare loop {bare:6.0f}   {ops / bare:.2f}x")
    print(f"  Python calls            app {calls:6.1f}   bare loop {bare_call:6.1f}")
    print("  the app's busiest functions (instructions, calls per packet):")
    for name, count in Counter(app_ops).most_common(12):
        print(f"    {count / app_packets:6.1f} {app_calls.get(name, 0) / app_packets:5.2f}  {name}")


if __name__ == "__main__":
    main()

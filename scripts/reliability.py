#!/usr/bin/env python3
"""Prints the reliability figures that the last runs left in build/reliability/:
the soak (soak.json), the fault campaign (faults.json), the property tests
(properties.json) and the fuzzers (fuzz.json). A file that is missing shows
as "not run"; nothing is ever filled in. Exit status 1 when a file reports a
failure or a finding, 0 otherwise."""

from __future__ import annotations

import argparse
import datetime
import json
import sys
import textwrap
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

REPO = Path(__file__).resolve().parents[1]
NOT_RUN = "not run"

Row = Tuple[str, str, str, str]


def load(path: Path) -> Optional[Dict[str, Any]]:
    try:
        data = json.loads(path.read_text())
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as error:
        raise SystemExit(f"{path}: unreadable ({error})") from None
    return data if isinstance(data, dict) else None


def when(path: Path) -> str:
    stamp = datetime.datetime.fromtimestamp(path.stat().st_mtime)
    return stamp.strftime("%Y-%m-%d %H:%M")


def mib(n: int) -> str:
    return f"{n / 2**20:+.2f} MiB"


def soak_rows(data: Optional[Dict[str, Any]], bad: List[str]) -> List[Row]:
    if data is None:
        return [("soak", NOT_RUN, "", "")]
    rows: List[Row] = []
    for name, p in data.get("phases", {}).items():
        d = p["deltas"]
        detail = (
            f"RSS {mib(d['rss'])}, peak {mib(p['peak_rss_delta'])}, blocks {d['blocks']:+d}, "
            f"refs type/True/False/None {d['type_refs']:+d}/{d['true_refs']:+d}/{d['false_refs']:+d}/{d['none_refs']:+d}, "
            f"fds {d['fds']:+d}, handles left {p['open_handles']}"
        )
        verdict = "ok" if not p["failures"] else "FAIL"
        if p["failures"]:
            bad.extend(f"soak {name}: {f}" for f in p["failures"])
        rows.append((f"soak: {name}", f"{p['count']:,} {p['what']} in {p['seconds']:.1f} s", detail, verdict))
    bad.extend(f"soak: {f}" for f in data.get("failures", []))
    if not data.get("passed", False) and not bad:
        bad.append("soak: not passed")
    return rows


def test_rows(what: str, key: str, data: Optional[Dict[str, Any]], bad: List[str]) -> List[Row]:
    """The fault campaign and the property tests count what their passing
    tests did, and how many of their tests failed."""
    if data is None:
        return [(what, NOT_RUN, "", "")]
    failed = int(data.get("failed_tests", 0))
    if failed:
        bad.append(f"{what}: {failed} tests failed")
    kinds = ", ".join(f"{k} {v:,}" for k, v in data.get(key, {}).items())
    return [(what, f"{data.get('total', 0):,}", kinds, "ok" if not failed else f"FAIL ({failed} tests)")]


def fuzz_rows(data: Optional[Dict[str, Any]], bad: List[str]) -> List[Row]:
    if data is None:
        return [("fuzz", NOT_RUN, "", "")]
    rows: List[Row] = []
    for name, t in sorted(data.get("targets", {}).items()):
        findings = int(t.get("findings", 0))
        if findings:
            bad.append(f"fuzz {name}: {findings} findings")
        rows.append(
            (
                f"fuzz: {name}",
                f"{int(t.get('executions', 0)):,} executions in {float(t.get('seconds', 0)):.1f} s",
                f"findings {findings}",
                "ok" if findings == 0 else "FAIL",
            )
        )
    return rows or [("fuzz", "no targets", "", "")]


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dir", type=Path, default=REPO / "build" / "reliability")
    parser.add_argument("--since", type=float, default=0.0, help="treat files older than this epoch time as not run")
    args = parser.parse_args(argv)

    bad: List[str] = []
    sources = {name: args.dir / f"{name}.json" for name in ("soak", "faults", "properties", "fuzz")}
    data = {name: load(path) for name, path in sources.items()}
    stale = [name for name, path in sources.items() if data[name] is not None and path.stat().st_mtime < args.since]
    for name in stale:
        data[name] = None
    rows: List[Row] = []
    rows += soak_rows(data["soak"], bad)
    rows += test_rows("faults injected", "faults", data["faults"], bad)
    rows += test_rows("property examples", "examples", data["properties"], bad)
    rows += fuzz_rows(data["fuzz"], bad)
    fuzz_findings = sum(int(t.get("findings", 0)) for t in (data["fuzz"] or {}).get("targets", {}).values())
    failed_checks = [b for b in bad if not b.startswith("fuzz ")]
    rows.append(("findings (fuzz)", NOT_RUN if data["fuzz"] is None else str(fuzz_findings), "", "" if data["fuzz"] is None else ("ok" if fuzz_findings == 0 else "FAIL")))
    rows.append(("failed checks", str(len(failed_checks)), "; ".join(failed_checks), "ok" if not failed_checks else "FAIL"))

    widths = [max(len(r[i]) for r in rows + [("what", "figure", "", "verdict")]) for i in (0, 1, 3)]
    line = "{:<%d}  {:<%d}  {}" % (widths[0], widths[1])
    print("kvdash reliability figures")
    print(line.format("what", "figure", "verdict"))
    print(line.format("-" * widths[0], "-" * widths[1], "-" * widths[2]))
    for what, figure, detail, verdict in rows:
        print(line.format(what, figure, verdict).rstrip())
        for part in textwrap.wrap(detail, width=max(40, 100 - widths[0])):
            print(" " * (widths[0] + 4) + part)
    print()
    for name, path in sources.items():
        if name in stale:
            print(f"  {name}: {NOT_RUN} in this run ({path} is from {when(path)})")
        else:
            print(f"  {name}: " + (f"{path} ({when(path)})" if data[name] is not None else NOT_RUN))
    for b in bad:
        print(f"FAIL {b}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())

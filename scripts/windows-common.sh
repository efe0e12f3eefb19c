# Sourced by the Windows scripts (test-windows.sh, test-windows-python.sh,
# build-wheels.sh): the MinGW cross build in build/win, and a headless Wine
# whose prefix and home live in that folder. Expects $root (the tree).

win_build=$root/build/win

# The wine64 launcher and its server (Debian's wine64 puts neither on PATH).
find_wine() {
  wine=""
  local candidate
  for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine=$candidate; break; fi
  done
  [ -n "$wine" ] || { echo "FAIL: no wine64 launcher (Debian: wine64)" >&2; exit 1; }
  wineserver=$(dirname "$wine")/wineserver64
  [ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo "$(dirname "$wine")/wineserver")
}

# Configures build/win and builds the given targets (all when none).
cross_build() {
  # The toolchain's link flags reach only a new cache: one made before the
  # switch to the Universal CRT is made again.
  if [ -f "$win_build/CMakeCache.txt" ] && ! grep -q "ucrt.specs" "$win_build/CMakeCache.txt"; then
    rm -f "$win_build/CMakeCache.txt"
  fi
  # Configured once: ninja configures again when a CMake file changes.
  if [ ! -f "$win_build/build.ninja" ]; then
    cmake -S "$root" -B "$win_build" -G Ninja -Wno-deprecated \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
      -DKVDASH_TESTS=ON -DKVDASH_EXTENSION=OFF -DKVDASH_WINDOWS_PYD=ON >"$win_build.configure.log" 2>&1 ||
      { cat "$win_build.configure.log"; exit 1; }
  fi
  ninja -C "$win_build" -j 2 "$@"
}

# Wine runs headless, with its home (and so the prefix's Documents) beside the
# prefix, by default in the build folder; the prefix is made once. With
# WINE_X_DISPLAY set (an Xvfb's ":N"), its programs have that X display instead,
# and with it a notification area. One server
# is kept alive while the caller runs (each start then costs a tenth of a
# second) and ended on exit.
start_wine() {  # [prefix]
  find_wine
  local prefix=${1:-$win_build/wineprefix}
  export WINEPREFIX=$prefix WINEDEBUG=-all HOME=$(dirname "$prefix")/home
  unset DISPLAY WAYLAND_DISPLAY
  if [ -n "${WINE_X_DISPLAY:-}" ]; then export DISPLAY=$WINE_X_DISPLAY; fi
  mkdir -p "$HOME"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== creating the Wine prefix"
    timeout 300 "$wine" wineboot -i >/dev/null 2>&1 || true
    # The registry reaches the disk when the server ends.
    timeout 120 "$wineserver" -w || true
    [ -f "$WINEPREFIX/system.reg" ] || { echo "FAIL: wineboot made no prefix" >&2; exit 1; }
  fi
  "$wineserver" -p
  trap '"$wineserver" -k 2>/dev/null || true' EXIT
  # The first program starts Wine's services, which outlive it: started here
  # with no pipe of the caller's, they hold none open after the caller's runs.
  timeout 120 "$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
}

# A Linux path as Windows programs under Wine see it (the Z: drive is /).
winpath() {
  local path
  path=$(realpath -m "$1")
  echo "Z:${path//\//\\}"
}

# Runs a Windows program under Wine with pipes for its standard streams: Wine
# cannot tell Python what a plain file handle is, and Python dies at start.
# Its output goes to stdout; its exit status is returned.
winrun() {
  true | timeout 600 "$wine" "$@" 2>&1 | cat
  return "${PIPESTATUS[1]}"
}

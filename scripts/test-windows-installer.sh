#!/usr/bin/env bash
# The Windows download as a user meets it, under wine64 in a fresh prefix
# (scripts/build-windows-installer.sh makes both files in dist/):
#   installer  setup.exe /S /D=<dir>; the installed kvdash-dashboard.exe runs
#              --version and the demo (the frames' preview), and passes on the
#              app's exit status; the Start-menu shortcuts "kvdash dashboard"
#              and "kvdash demo" exist, "start with Windows" does not (off by
#              default); installing again with /STARTUP over it adds that
#              shortcut, in the same folder;
#              uninstall.exe /S then removes the folder, the shortcuts and the
#              uninstall key, and leaves the user's settings;
#   zip        unzipped into a folder whose path holds a space, the same runs.
# Any failed check fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/windows-common.sh

setups=(dist/kvdash-*-windows-setup.exe)
zips=(dist/kvdash-*-windows-portable.zip)
[ -f "${setups[0]}" ] && [ -f "${zips[0]}" ] ||
  { echo "FAIL: no installer or zip in dist/ (scripts/build-windows-installer.sh makes them)" >&2; exit 1; }
setup=$root/${setups[0]}
version=$(basename "$setup" | sed 's/^kvdash-//; s/-windows-setup\.exe$//')

work=$root/build/installer-test
rm -rf "$work"
mkdir -p "$work"
# winemenubuilder would turn the shortcuts into desktop entries in $HOME.
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
started=$(date +%s)
start_wine "$work/wineprefix"
drive_c=$WINEPREFIX/drive_c
user_dir=$(find "$drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public -print -quit)
programs="$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
# Wine spells the folder StartUp; Windows paths ignore case.
startup_dir=$(find "$programs" -mindepth 1 -maxdepth 1 -type d -iname startup -print -quit)
[ -n "$startup_dir" ] || { echo "FAIL: the fresh prefix has no Startup folder" >&2; exit 1; }
startup_link="$startup_dir/kvdash dashboard.lnk"
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\kvdash'

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
elapsed() { echo "$(($(date +%s) - started)) s"; }

# The app in a folder: its version, then the demo drawn as a preview.
check_app() {  # label, Linux path of the folder
  local label=$1 exe=$2/kvdash-dashboard.exe out status
  [ -f "$exe" ] || { fail "$label: no kvdash-dashboard.exe at the top of the folder"; return; }
  status=0
  out=$(winrun "$exe" --version | tr -d '\r') || status=$?
  if [ "$status" -ne 0 ] || [ "$out" != "kvdash-dashboard $version" ]; then
    # A launcher that loses its arguments would run the dashboard for good.
    fail "$label: --version said '$out' (exit $status), not 'kvdash-dashboard $version'"
    return
  fi
  # The app's exit status comes through the launcher: 2 for a bad option.
  status=0
  winrun "$exe" --source no-such-game >/dev/null || status=$?
  [ "$status" -eq 2 ] || fail "$label: a bad option ended with status $status, not 2"
  status=0
  out=$(winrun "$exe" --source demo --seconds 2 | tr -d '\r') || status=$?
  echo "$out" | tail -n 2 | sed 's/^/   /'
  [ "$status" -eq 0 ] || fail "$label: the demo exited with status $status"
  grep -a "gear .* rpm " <<<"$out" | grep -a "no display: preview only" >/dev/null ||
    fail "$label: the demo drew no preview of the frames"
}

# A shortcut exists and names its target and arguments (UTF-16 in the .lnk).
check_link() {  # path, target file name, arguments or ""
  local link=$1
  [ -f "$link" ] || { fail "no shortcut $link"; return; }
  python3 - "$@" <<'PY' || fail "shortcut $link: wrong target or arguments"
import sys
data = open(sys.argv[1], "rb").read()
target, arguments = sys.argv[2], sys.argv[3]
sys.exit(not all(text.encode("utf-16-le") in data for text in filter(None, (target, arguments))))
PY
}

has_key() { winrun reg query "$uninstall_key" >/dev/null; }

echo "== installer: $(basename "$setup")"
dir="$drive_c/kvdash-test/kvdash"
winrun "$setup" /S '/D=C:\kvdash-test\kvdash' >/dev/null || fail "setup.exe /S /D=... exited with an error"
[ -f "$dir/uninstall.exe" ] && [ -f "$dir/runtime/python.exe" ] ||
  { fail "setup.exe /S installed nothing into C:\\kvdash-test\\kvdash"; exit 1; }
echo "   installed ($(elapsed))"
check_app installed "$dir"
check_link "$programs/kvdash/kvdash dashboard.lnk" kvdash-dashboard.exe ""
check_link "$programs/kvdash/kvdash demo.lnk" kvdash-dashboard.exe "--source demo"
[ ! -e "$startup_link" ] || fail "a silent install started kvdash with Windows, which is opt-in"
has_key || fail "no uninstall key $uninstall_key"

echo "== installer again, with /STARTUP: the same folder, started with Windows"
winrun "$setup" /S /STARTUP >/dev/null || fail "setup.exe /S /STARTUP exited with an error"
check_link "$startup_link" kvdash-dashboard.exe ""
[ -z "$(find "$user_dir/AppData/Local/Programs" -name kvdash-dashboard.exe 2>/dev/null)" ] ||
  fail "installing again went to the default folder, not to the installed one"

echo "== uninstall.exe /S"
# The user's settings are not the installer's to remove.
settings="$user_dir/AppData/Roaming/kvdash/dashboard.toml"
mkdir -p "$(dirname "$settings")"
echo 'units = "mph"' >"$settings"
winrun "$dir/uninstall.exe" /S >/dev/null || fail "uninstall.exe /S exited with an error"
# The uninstaller runs a copy of itself from the temp folder and returns at
# once: wait for the folder to go, its last step.
for _ in $(seq 120); do
  [ -e "$dir" ] || break
  sleep 0.5
done
if [ -e "$dir" ]; then
  fail "uninstall left the folder behind:"
  find "$dir" | head -n 20 >&2 || true
fi
for link in "$programs/kvdash" "$startup_link"; do
  [ ! -e "$link" ] || fail "uninstall left $link"
done
! has_key || fail "uninstall left the key $uninstall_key"
[ -f "$settings" ] || fail "uninstall removed the user's settings"
echo "   removed ($(elapsed))"

echo "== portable zip: $(basename "${zips[0]}")"
portable="$drive_c/kvdash portable"
mkdir -p "$portable"
python3 -m zipfile -e "${zips[0]}" "$portable"
check_app portable "$portable"
[ ! -e "$portable/uninstall.exe" ] || fail "the zip carries the uninstaller"

echo
echo "== Windows installer and zip under Wine ($(elapsed))"
if [ "$failures" -ne 0 ]; then
  echo "FAIL: $failures failed check(s)" >&2
  exit 1
fi
echo "installed, ran, removed; unzipped, ran"

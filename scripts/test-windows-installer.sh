#!/usr/bin/env bash
# The Windows download as a user meets it, under wine64 in a fresh prefix on
# an Xvfb display, which gives Wine a notification area (scripts/build-windows-
# installer.sh makes both files in dist/):
#   files      kvdash.exe is a GUI-subsystem program, kvdash-dashboard.exe a
#              console one; both say FileDescription "kvdash" and carry an icon;
#   installer  setup.exe /S /D=<dir>; the installed kvdash-dashboard.exe runs
#              --version and the demo (the frames' preview), and passes on the
#              app's exit status; the Start-menu shortcuts "kvdash" and
#              "kvdash demo" exist, the Run value does not (off by default);
#   tray       kvdash.exe from the installed folder: no python.exe runs, the
#              settings page answers on 8722 and opens at a first start (Wine's
#              browser is a stand-in that records the address), its icon is
#              there and its menu's commands work when posted to its hidden
#              window; a second kvdash.exe opens the settings page and the first
#              runs on; kvdash-dashboard.exe refuses with status 1; --quit ends
#              it cleanly (status 0; 1 with none running); so does a sign-out;
#              its log holds the status lines;
#   again      installing with /STARTUP over a running kvdash.exe ends it and
#              sets the Run value, in the same folder;
#              uninstall.exe /S, kvdash.exe running, then removes the folder,
#              the shortcuts, the Run value and the uninstall key, and leaves
#              the user's settings;
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
command -v Xvfb >/dev/null || { echo "FAIL: no Xvfb (Debian: xvfb)" >&2; exit 1; }
command -v x86_64-w64-mingw32-g++ >/dev/null ||
  { echo "FAIL: no x86_64-w64-mingw32-g++ (Debian: g++-mingw-w64-x86-64)" >&2; exit 1; }
# The notification area needs an X display: a private Xvfb on the first free number.
for number in $(seq 90 120); do
  [ -e "/tmp/.X$number-lock" ] || [ -e "/tmp/.X11-unix/X$number" ] || break
done
Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$number" ] && break; sleep 0.1; done
export WINE_X_DISPLAY=":$number"
# winemenubuilder would turn the shortcuts into desktop entries in $HOME.
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
started=$(date +%s)
start_wine "$work/wineprefix"
trap '"$wineserver" -k 2>/dev/null || true; kill "$xvfb" 2>/dev/null || true' EXIT
drive_c=$WINEPREFIX/drive_c
user_dir=$(find "$drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public -print -quit)
programs="$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\kvdash'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
log="$user_dir/AppData/Local/kvdash/logs/kvdash.log"

# Our look into the notification area from inside Wine.
probe=$work/tray_probe.exe
x86_64-w64-mingw32-g++ -std=c++17 -O2 -Wall -Wextra -Wpedantic -Werror -municode -static -s \
  -o "$probe" tests/windows/tray_probe.cpp
# The first window started brings up Wine's desktop (explorer.exe /desktop),
# which outlives it and would hold any pipe of its starter's: started here
# with none.
desktop_up() { timeout 120 "$wine" "$probe" desktop </dev/null >/dev/null 2>&1 || true; }
desktop_up
# Wine's browser: a stand-in that records each address it is asked to open.
browsed=$work/browsed.txt
: >"$browsed"
printf '#!/bin/sh\necho "$1" >>"%s"\n' "$browsed" >"$work/browser.sh"
chmod +x "$work/browser.sh"
winrun reg add 'HKCU\Software\Wine\WineBrowser' /v Browsers /d "$work/browser.sh" /f >/dev/null

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
elapsed() { echo "$(($(date +%s) - started)) s"; }

# A Windows program's subsystem (the PE header, as objdump reads it).
check_subsystem() {  # file, "Windows GUI" or "Windows CUI"
  local header
  header=$(x86_64-w64-mingw32-objdump -p "$1") || true
  grep -q "^Subsystem.*($2)" <<<"$header" || fail "$(basename "$1") is not a $2 program"
}

# Its version information names kvdash, and it carries an icon (windres reads
# a program's resources back as a script).
check_resources() {  # file
  local resources
  resources=$(x86_64-w64-mingw32-windres -i "$1" -O rc 2>/dev/null) || true
  grep -q "RT_GROUP_ICON" <<<"$resources" && grep -q 'VALUE "FileDescription", "kvdash"$' <<<"$resources" ||
    fail "$(basename "$1"): no icon, or no FileDescription \"kvdash\""
}

# kvdash.exe from the folder, in the background, its output kept.
tray_exe=""
start_tray() {  # folder, output file, options...
  local folder=$1 out=$2
  shift 2
  tray_exe=$folder/kvdash.exe
  (true | timeout 600 "$wine" "$tray_exe" "$@" 2>&1 | cat >"$out") &
  for i in $(seq 120); do
    # Wine takes a moment to start it.
    [ "$i" -lt 10 ] || tray_running || break
    has_window kvdash.notification-area && return 0
    sleep 0.5
  done
  fail "kvdash.exe showed no hidden window within 60 s; its output ends:"
  tail -n 5 "$out" >&2
  return 1
}
has_window() { winrun "$probe" has "$1" >/dev/null; }
# Whether that kvdash.exe's process runs (what it starts, such as Explorer
# for the log folder, holds its output's pipe: the pipe says nothing).
tray_running() { ps -eo args | awk -v exe="$tray_exe" 'index($0, exe) == 1 { found = 1 } END { exit !found }'; }
# Waits up to the given seconds for kvdash.exe (the background one) to end.
tray_ended() {  # seconds
  for _ in $(seq $(($1 * 2))); do
    tray_running || return 0
    sleep 0.5
  done
  return 1
}
# Waits up to 20 s for the stand-in browser to have been asked for the address.
browsed_to() {  # address
  for _ in $(seq 40); do
    [ "$(grep -cxF "$1" "$browsed")" -ge "${2:-1}" ] && return 0
    sleep 0.5
  done
  return 1
}
# Waits up to 30 s for the settings page to answer on 8722 (the app's loop runs).
settings_page_up() {
  python3 - <<'PY'
import sys, time, urllib.request
for _ in range(60):
    try:
        page = urllib.request.urlopen("http://127.0.0.1:8722/settings", timeout=5).read()
        sys.exit(b"<title>kvdash: settings</title>" not in page)
    except OSError:
        time.sleep(0.5)
sys.exit(1)
PY
}
# kvdash.exe ended within 20 s, as Ctrl+C ends it.
check_clean_end() {  # what ended it
  if ! tray_ended 20; then
    fail "$1 left kvdash.exe running"
  elif ! ended_cleanly "$tray_out"; then
    fail "$1 did not end kvdash.exe as Ctrl+C does; its output ends:"
    tail -n 3 "$tray_out" >&2
  fi
}
# The run's closing line, written only when it ended as Ctrl+C ends it (the
# display blanked).
ended_cleanly() { grep -aq "reports in .* s" "$1"; }

# The app in a folder: its version, then the demo drawn as a preview.
check_app() {  # label, Linux path of the folder
  local label=$1 exe=$2/kvdash-dashboard.exe out status
  [ -f "$exe" ] || { fail "$label: no kvdash-dashboard.exe at the top of the folder"; return; }
  grep -q "Settings" "$2/README.txt" 2>/dev/null || fail "$label: no README.txt for the user"
  status=0
  out=$(winrun "$exe" --version | tr -d '\r') || status=$?
  if [ "$status" -ne 0 ] || [ "$out" != "kvdash-dashboard $version" ]; then
    # A host that loses its arguments would run the dashboard for good.
    fail "$label: --version said '$out' (exit $status), not 'kvdash-dashboard $version'"
    return
  fi
  # The app's exit status comes through the host: 2 for a bad option.
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
check_subsystem "$dir/kvdash.exe" "Windows GUI"
check_subsystem "$dir/kvdash-dashboard.exe" "Windows CUI"
check_resources "$dir/kvdash.exe"
check_resources "$dir/kvdash-dashboard.exe"
check_app installed "$dir"
check_link "$programs/kvdash/kvdash.lnk" kvdash.exe ""
check_link "$programs/kvdash/kvdash demo.lnk" kvdash-dashboard.exe "--source demo"
! winrun reg query "$run_key" /v kvdash >/dev/null ||
  fail "a silent install started kvdash with Windows, which is opt-in"
has_key || fail "no uninstall key $uninstall_key"

echo "== kvdash.exe in the notification area"
# The web server is on by default, at 127.0.0.1:8722.
tray_out=$work/tray.out
start_tray "$dir" "$tray_out" --source demo || true
echo "   running ($(elapsed))"
# The app runs in kvdash.exe itself: no interpreter of its own is started.
ps -eo args | grep -i "kvdash.exe" | grep -qv grep || fail "no kvdash.exe process"
! ps -eo args | grep -iE "python(w)?\.exe" | grep -qv grep ||
  fail "a python.exe process runs: $(ps -eo args | grep -iE 'python(w)?\.exe' | grep -v grep)"
settings_page_up || fail "the settings page does not answer on 127.0.0.1:8722"
browsed_to "http://127.0.0.1:8722/settings" || fail "a first start opened no settings page"
has_window __winex11_tray_icon || fail "no icon in the notification area"
# The menu's commands, as the menu sends them: Settings 1001, Display page
# 1002, Start with Windows 1003 (a toggle), Open log folder 1004, Quit 1005.
winrun "$probe" command 1002 || fail "cannot post to kvdash.exe's hidden window"
browsed_to "http://127.0.0.1:8722/" || fail "Display page opened no http://127.0.0.1:8722/"
winrun "$probe" command 1001
browsed_to "http://127.0.0.1:8722/settings" 2 || fail "Settings opened no settings page"
winrun "$probe" command 1003
winrun reg query "$run_key" /v kvdash | tr -d '\r' | grep -qF '"C:\kvdash-test\kvdash\kvdash.exe"' ||
  fail "Start with Windows set no Run value naming the app"
winrun "$probe" command 1003
! winrun reg query "$run_key" /v kvdash >/dev/null || fail "Start with Windows, again, left the Run value"
winrun "$probe" command 1004
for _ in $(seq 40); do
  winrun "$probe" list | tr -d '\r' | grep -q "^ExplorerWClass.logs$" && break
  sleep 0.5
done
winrun "$probe" list | tr -d '\r' | grep -q "^ExplorerWClass.logs$" || fail "Open log folder showed no logs folder"
# A second start: the first opens its settings page and runs on.
status=0
winrun "$dir/kvdash.exe" --source demo >/dev/null || status=$?
[ "$status" -eq 0 ] || fail "a second kvdash.exe ended with status $status, not 0"
browsed_to "http://127.0.0.1:8722/settings" 3 || fail "a second kvdash.exe opened no settings page"
tray_running && has_window __winex11_tray_icon || fail "a second kvdash.exe ended the first"
status=0
out=$(winrun "$dir/kvdash-dashboard.exe" --source demo --seconds 2 | tr -d '\r') || status=$?
[ "$status" -eq 1 ] && [ "$(wc -l <<<"$out")" -eq 1 ] && grep -q "kvdash" <<<"$out" ||
  fail "kvdash-dashboard.exe beside a running kvdash.exe: status $status, said '$out'"
grep -aq "127.0.0.1:8722" "$log" 2>/dev/null || fail "the log $log names no web address"
grep -aq "simulated lap" "$log" 2>/dev/null || fail "the log holds no status line"
status=0
winrun "$dir/kvdash.exe" --quit >/dev/null || status=$?
[ "$status" -eq 0 ] || fail "kvdash.exe --quit ended with status $status, not 0"
check_clean_end "kvdash.exe --quit"
! has_window __winex11_tray_icon || fail "the icon stayed after --quit"
status=0
winrun "$dir/kvdash.exe" --quit >/dev/null || status=$?
[ "$status" -eq 1 ] || fail "kvdash.exe --quit with none running ended with status $status, not 1"
# Quit from the menu, and a sign-out, end it the same way.
if start_tray "$dir" "$tray_out" --source demo; then
  winrun "$probe" command 1005
  check_clean_end "Quit, at once after the start,"
fi
if start_tray "$dir" "$tray_out" --source demo && settings_page_up; then
  timeout 60 "$wine" wineboot --end-session </dev/null >/dev/null 2>&1 || true
  check_clean_end "A sign-out"
fi
desktop_up
echo "   tray checked ($(elapsed))"

echo "== installer again, with /STARTUP, over a running kvdash.exe: the same folder"
start_tray "$dir" "$tray_out" --source demo || true
winrun "$setup" /S /STARTUP >/dev/null || fail "setup.exe /S /STARTUP exited with an error"
check_clean_end "Installing over it"
winrun reg query "$run_key" /v kvdash | tr -d '\r' | grep -qF '"C:\kvdash-test\kvdash\kvdash.exe"' ||
  fail "/STARTUP set no Run value naming the installed kvdash.exe"
[ -z "$(find "$user_dir/AppData/Local/Programs" -name kvdash-dashboard.exe 2>/dev/null)" ] ||
  fail "installing again went to the default folder, not to the installed one"

echo "== uninstall.exe /S"
# The user's settings are not the installer's to remove.
settings="$user_dir/AppData/Roaming/kvdash/dashboard.toml"
mkdir -p "$(dirname "$settings")"
echo 'units = "mph"' >"$settings"
start_tray "$dir" "$tray_out" --source demo || true
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
check_clean_end "Uninstalling"
[ ! -e "$programs/kvdash" ] || fail "uninstall left $programs/kvdash"
! has_key || fail "uninstall left the key $uninstall_key"
! winrun reg query "$run_key" /v kvdash >/dev/null || fail "uninstall left the Run value"
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

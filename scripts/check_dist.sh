#!/usr/bin/env bash
# Makes and proves the two files a user installs from, and leaves them in
# dist/: the sdist, and a manylinux wheel that needs no library beyond the C
# and C++ runtimes.
#  1. The sdist, then a wheel from the sdist alone in an isolated build
#     environment (what `pip install tessarin-*.tar.gz` does on a fresh
#     machine), with the system's RapidFuzz hidden from CMake: the build must
#     take the headers that the sdist carries, and is checked to have done so.
#  2. auditwheel (with patchelf) copies the wheel's non-system libraries into
#     it and tags it manylinux.
#  3. That wheel goes into a new virtual environment, and the sdist's own
#     test suite runs once against it; tests/test_packaging.py there checks
#     that the extension loads nothing from outside the wheel but the C and
#     C++ runtimes.
# Each file goes into dist/ as soon as it is made (the repaired wheel in
# place of the one it was made from), so a check that fails leaves what was
# made for a look; the last line says which check failed.
# Needs the system packages and .venv that scripts/setup.sh prepares.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"
work=$(mktemp -d)
step=
finish() {
    local status=$?
    rm -rf "$work"
    if [ "$status" -ne 0 ]; then
        local made
        made=$(find "$root/dist" -maxdepth 1 -name 'tessarin-*' -printf '%f ' 2>/dev/null)
        made=${made% }
        say "./dev dist failed: $step; dist/ holds: ${made:-nothing}"
    fi
}
trap finish EXIT
# auditwheel, patchelf and ninja come from requirements/build.txt.
export PATH="$root/.venv/bin:$PATH"

# Puts FILE into dist/ in place of the earlier files that match PATTERN.
keep() {
    mkdir -p "$root/dist"
    find "$root/dist" -maxdepth 1 -name "$2" ! -name "$(basename "$1")" -delete
    cp "$1" "$root/dist/"
}

step="building the sdist, then the wheel from it with the system's RapidFuzz hidden"
say "$step"
"$root/.venv/bin/python" -m build -q --sdist --outdir "$work/dist" "$root" >/dev/null
sdist=$(echo "$work"/dist/tessarin-*.tar.gz)
keep "$sdist" 'tessarin-*.tar.gz'
tar -xzf "$sdist" -C "$work"
unpacked=$(echo "$work"/tessarin-*/)
"$root/.venv/bin/python" -m build -q --wheel --outdir "$work/dist" \
    -C cmake.define.CMAKE_DISABLE_FIND_PACKAGE_rapidfuzz=ON -C build-dir="$work/build" \
    "$unpacked" >/dev/null
wheel=$(echo "$work"/dist/tessarin-*.whl)
keep "$wheel" 'tessarin-*.whl'

# The compiler would quietly fall back to the system's headers for any that
# the sdist lacks: every RapidFuzz header the build read must be the copy's.
step="checking that the wheel took only the RapidFuzz headers the sdist carries"
headers=$(ninja -C "$work/build" -t deps | grep -o '[^ ]*/rapidfuzz/[^ ]*\.hpp' | sort -u)
if [ -z "$headers" ] || grep -v '/third_party/rapidfuzz/include/rapidfuzz/' <<<"$headers"; then
    echo "error: the build from the sdist did not take only the RapidFuzz headers the sdist carries" >&2
    exit 1
fi

step="repairing the wheel into a manylinux wheel"
say "$step"
auditwheel repair -w "$work/wheelhouse" "$wheel" >"$work/repair.log" 2>&1 ||
    { cat "$work/repair.log" >&2; exit 1; }
repaired=$(echo "$work"/wheelhouse/tessarin-*-manylinux_*_x86_64.whl)
[ -f "$repaired" ] || { echo "error: auditwheel made no manylinux wheel" >&2; exit 1; }

# The licences of what the wheel carries go with it into .dist-info/licenses:
# RapidFuzz's, whose headers are compiled in.
"$root/.venv/bin/python" - "$repaired" "$unpacked/third_party/rapidfuzz/LICENSE" <<'PY'
import base64, hashlib, os, sys, zipfile

wheel, rapidfuzz_licence = sys.argv[1:]
with zipfile.ZipFile(wheel) as source, zipfile.ZipFile(wheel + ".new", "w", zipfile.ZIP_DEFLATED) as target:
    names = source.namelist()
    licences = {"RapidFuzz.copyright": rapidfuzz_licence}
    (record_name,) = [name for name in names if name.endswith(".dist-info/RECORD")]
    record = source.read(record_name).decode()
    for info in source.infolist():
        if info.filename != record_name:
            target.writestr(info, source.read(info))
    for name, path in licences.items():
        with open(path, "rb") as licence:
            data = licence.read()
        arcname = record_name.replace("RECORD", "licenses/" + name)
        target.writestr(arcname, data)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record += f"{arcname},sha256={digest},{len(data)}\n"
    target.writestr(record_name, record)
os.replace(wheel + ".new", wheel)
PY

keep "$repaired" 'tessarin-*.whl'

step="installing the wheel into a fresh environment"
say "$step"
"$(base_python "$root/.venv")" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q "$repaired" -r "$unpacked/requirements/test.txt"

step="testing the installed wheel with the sdist's own suite"
say "$step"
# From an empty folder, so that only what the wheel installed can be imported.
mkdir "$work/scratch"
(cd "$work/scratch" && HYPOTHESIS_STORAGE_DIRECTORY="$root/.hypothesis" \
    "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$unpacked/tests")

step=
say "dist/: $(basename "$sdist") $(basename "$repaired") ($(du -k "$repaired" | cut -f1) kB)"

#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# (clang, with coverage for the fuzzing harnesses, which fuzz/run.sh builds in
# the same build) into a virtual environment of its own, .venv-sanitize, and
# runs the whole test suite under it, in the interpreter's development mode,
# on smaller inputs (TESSARIN_TEST_SCALE, 0.25 unless set). Any sanitizer
# report ends the run with a failure. Extra arguments go to pytest:
#   scripts/sanitize.sh                 build, then every test
#   scripts/sanitize.sh -k hostile -x   build, then a selection
#   scripts/sanitize.sh --build-only    the environment and the build alone
# Needs the system packages and .venv that scripts/setup.sh prepares; the
# build itself stays in build/sanitize-*, apart from the normal one.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venv-sanitize"
# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"

# Made anew when .venv has moved to another version of Python.
if [ -x "$venv/bin/python" ] &&
    [ "$(python_version "$venv/bin/python")" != "$(python_version "$root/.venv/bin/python")" ]; then
    rm -rf "$venv"
fi
if [ ! -x "$venv/bin/python" ]; then
    say "creating the virtual environment .venv-sanitize"
    "$(base_python "$root/.venv")" -m venv "$venv"
fi
stamp="$venv/.requirements"
wanted=$(cat "$root/requirements/build.txt" "$root/requirements/test.txt" "$root/fuzz/requirements.txt")
if [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
    say "installing the Python build and test requirements into .venv-sanitize"
    "$venv/bin/python" -m pip install -q --upgrade pip
    # Byte-compiled as they are installed (unlike the other environments):
    # compiled at their first import instead, they were compiled under the
    # sanitizers, by each of the suite's workers, and the suite took 93 s
    # instead of 61.
    "$venv/bin/python" -m pip install -q -r "$root/requirements/build.txt" -r "$root/requirements/test.txt" \
        -r "$root/fuzz/requirements.txt"
    printf '%s' "$wanted" >"$stamp"
fi

[ "${1:-}" = --environment-only ] && exit 0

# libFuzzer's runtime ships apart from clang's (libclang-rt-dev depends on the
# one of the default clang version).
install_packages clang libclang-rt-dev
# A build that another compiler made (GCC made it once) is made anew.
for cache in "$root"/build/sanitize-*/CMakeCache.txt; do
    if [ -f "$cache" ] && ! grep -q '^CMAKE_CXX_COMPILER:.*clang' "$cache"; then
        rm -rf "$(dirname "$cache")"
    fi
done
say "building the sanitized extension into .venv-sanitize"
# The runtime preloaded below must be the one of the compiler that built it.
CXX=clang++ "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
    -C build-dir="$root/build/sanitize-{wheel_tag}" \
    -C cmake.build-type=RelWithDebInfo -C cmake.define.TESSARIN_SANITIZE=ON "$root"
[ "${1:-}" = --build-only ] && exit 0

# A release interpreter is not instrumented, so the runtimes must be loaded
# before anything else. Leak detection stays off: the interpreter keeps much
# of what it allocates until exit, by design. PYTHONMALLOC=malloc_debug sends
# Python's own objects through the sanitizer's allocator too, so writing past
# a tuple or a list is caught as well, and keeps the development mode's
# checks of the interpreter's allocators (no call without the interpreter
# lock, none on memory of another allocator); the development mode shows
# every warning (set in the environment, so that pytest-xdist's workers,
# which run the tests, have it too).
# The memmem interceptor checks the whole rest of the text at every call,
# which turns finding each of a million occurrences into quadratic work;
# every other read stays checked.
preload=$(clang++ -print-file-name="libclang_rt.asan-$(uname -m).so")
say "running the tests under the sanitizers"
# From an empty folder, as scripts/test.sh does, so that only the installed
# module can be imported.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
# A finding ends the process at once, inside a test whose output pytest may
# be capturing, so the sanitizers write their reports to files as well, and
# those are shown when the run fails.
reports="$root/build/sanitizer-reports"
rm -rf "$reports" && mkdir -p "$reports"
status=0
LD_PRELOAD="$preload" PYTHONMALLOC=malloc_debug HYPOTHESIS_STORAGE_DIRECTORY="$root/.hypothesis" \
    TESSARIN_TEST_SCALE="${TESSARIN_TEST_SCALE:-0.25}" \
    ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:intercept_memmem=0:log_path="$reports/asan" \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path="$reports/ubsan" PYTHONDEVMODE=1 \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider -n auto --dist worksteal "$root/tests" "$@" || status=$?
if [ "$status" -ne 0 ] && [ -n "$(ls -A "$reports")" ]; then
    say "the sanitizers reported (also in $reports):"
    cat "$reports"/* >&2
fi
exit "$status"

#!/usr/bin/env bash
# Every test, each stage once, against the wheel installed in .venv
# (scripts/setup.sh builds and installs it):
#   core        the core's C++ tests (ctest)
#   types       the stubs against the module, the typed examples under mypy --strict
#   suite       the whole pytest suite against the installed wheel, on every
#               core (pytest-xdist); extra arguments go to this run (-n 0
#               runs it in one process, as -s or a debugger needs)
#   sanitizers  the suite under ASan and UBSan in development mode, on
#               smaller inputs (scripts/sanitize.sh)
#   fuzzing     the three fuzzing harnesses side by side, 30 s each (fuzz/run.sh)
#   dist        in CI only (CI=true): an sdist, a manylinux wheel built from
#               it alone for each interpreter, and the suite against them
#               (scripts/check_dist.sh); what comes before the first build
#               is prepared while the fuzzers run, whose time is fixed
# TESSARIN_QUICK=1 leaves out the sanitizers, the fuzzing and the dist.
# Each stage ends with its own summary; the last line names the stages that
# ran, how long each took, and whether all passed.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
py="$root/.venv/bin/python"
cd "$root"
# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"

# The suite runs from an empty folder, so that nothing in the tree can stand
# in for what the wheel installed.
scratch=$(mktemp -d)
passed= # the stages that passed, with their times
current=
preparing= # the background set-up of the sanitizers' environment
preparing_dist= # and of the dist stage's
report() {
    local status=$? pid
    for pid in $preparing $preparing_dist; do # pip, and the shell that runs it
        pkill -P "$pid" 2>/dev/null || true
        kill "$pid" 2>/dev/null || true
    done
    rm -rf "$scratch"
    if [ "$status" -ne 0 ] && [ -n "$current" ]; then
        say "FAILED: $current${passed:+; passed before it: $passed}"
    fi
}
trap report EXIT

# Runs the stage NAME: the command after it, timed.
stage() {
    local name=$1 started=$SECONDS
    shift
    current=$name
    say "stage: $name"
    "$@"
    passed+="${passed:+, }$name ($((SECONDS - started)) s)"
    current=
}

# Built in the build of the wheel in .venv, against the core compiled
# there (with the wheel's own flags); the build's output is shown only if it
# fails. Without that build (a wheel installed some other way), apart.
core_tests() {
    local log="$root/build/core-tests.log" build tag
    tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
    build=$(find "$root/build" -maxdepth 1 -type d -name "$tag-$tag-*" 2>/dev/null | head -n 1)
    [ -n "$build" ] && [ -f "$build/CMakeCache.txt" ] || build="$root/build/core-tests"
    mkdir -p "$root/build"
    { "$root/.venv/bin/cmake" -S "$root" -B "$build" -G Ninja \
        -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" -DCMAKE_BUILD_TYPE=Release -DTESSARIN_BUILD_TESTS=ON \
        -DPython_EXECUTABLE="$py" &&
        "$root/.venv/bin/cmake" --build "$build" --target core_tests; } >"$log" 2>&1 || { cat "$log" >&2; return 1; }
    "$root/.venv/bin/ctest" --test-dir "$build" --output-on-failure --parallel "$(nproc)"
}

# The installed stubs agree with the installed module, and typed programs
# (one calling every function, one using the command's typed search layer,
# and one per common task with the search library, which the suite runs)
# check clean under --strict and run.
types() (
    cd "$scratch"
    "$py" -m mypy.stubtest tessarin tessarin_search._native
    "$py" -m mypy --strict --cache-dir "$root/build/mypy-cache" "$root/examples/typed_example.py" \
        "$root/examples/typed_search.py" "$root/examples/library/"*.py
    "$py" "$root/examples/typed_example.py" >/dev/null
    "$py" "$root/examples/typed_search.py" >/dev/null
)

# With --dist worksteal a worker that has run out of tests takes some of
# another's, so that a few long ones do not leave a core idle at the end.
suite() (
    cd "$scratch"
    HYPOTHESIS_STORAGE_DIRECTORY="$root/.hypothesis" "$py" -m pytest -q -p no:cacheprovider -n auto --dist worksteal "$root/tests" "$@"
)

# The sanitizers' environment is made while the earlier stages run: pip
# works on one core, and the stages before leave one free much of the time.
if [ -z "${TESSARIN_QUICK:-}" ]; then
    mkdir -p "$root/build"
    "$root/scripts/sanitize.sh" --environment-only >"$root/build/sanitize-environment.log" 2>&1 &
    preparing=$!
fi
sanitizers() {
    local status=0
    wait "$preparing" || status=$?
    preparing=
    if [ "$status" -ne 0 ]; then
        cat "$root/build/sanitize-environment.log" >&2
        return "$status"
    fi
    "$root/scripts/sanitize.sh"
}

stage core core_tests
stage types types
if [ $# -gt 0 ]; then
    stage "suite (with $*)" suite "$@"
else
    stage suite suite
fi
skipped=
if [ -z "${TESSARIN_QUICK:-}" ]; then
    stage sanitizers sanitizers
    # The fuzzers run for a fixed time, whatever else runs beside them: the
    # dist stage's installs and sdist are made then (the fuzzers make fewer
    # runs in that time).
    if [ "${CI:-}" = true ]; then
        "$root/scripts/check_dist.sh" --prepare "$root/build/dist-prepared" >"$root/build/dist-prepare.log" 2>&1 &
        preparing_dist=$!
    fi
    stage fuzzing "$root/fuzz/run.sh" 30
else
    skipped=" (TESSARIN_QUICK: no sanitizers, fuzzing or dist)"
fi
dist() {
    local status=0
    wait "$preparing_dist" || status=$?
    preparing_dist=
    cat "$root/build/dist-prepare.log" >&2
    [ "$status" -eq 0 ] || return "$status"
    "$root/scripts/check_dist.sh" --prepared "$root/build/dist-prepared"
}
if [ "${CI:-}" = true ] && [ -z "${TESSARIN_QUICK:-}" ]; then
    stage dist dist
fi
say "all passed: $passed$skipped"

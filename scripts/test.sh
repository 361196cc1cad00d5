#!/usr/bin/env bash
# Every test, against the wheel installed in .venv (scripts/setup.sh builds
# and installs it). Extra arguments go to the main pytest run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
py="$root/.venv/bin/python"
cd "$root"

# The whole suite, run from an empty folder so that nothing in the tree can
# stand in for what the wheel installed.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The core's own C++ tests, built apart from the module.
"$root/.venv/bin/cmake" -S "$root" -B "$root/build/core-tests" -G Ninja -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARIN_BUILD_TESTS=ON -DPython_EXECUTABLE="$py" >/dev/null
"$root/.venv/bin/cmake" --build "$root/build/core-tests" >/dev/null
"$root/.venv/bin/ctest" --test-dir "$root/build/core-tests" --output-on-failure

# First the robustness stages: the suite once in the interpreter's
# development mode (debug hooks on its allocators, every warning shown);
# then, unless TESSARIN_QUICK is set, the suite under AddressSanitizer and
# UndefinedBehaviorSanitizer in a build of its own (scripts/sanitize.sh) and
# a short run of both fuzzing harnesses (fuzz/run.sh).
(cd "$scratch" && HYPOTHESIS_STORAGE_DIRECTORY="$root/.hypothesis" "$py" -X dev -m pytest -q -p no:cacheprovider \
    "$root/tests")
if [ -z "${TESSARIN_QUICK:-}" ]; then
    "$root/scripts/sanitize.sh"
    "$root/fuzz/run.sh" 25
fi


# The installed stubs agree with the installed module, and typed programs
# (one calling every function, one using the command's typed search layer)
# check clean under --strict and run.
(cd "$scratch" && "$py" -m mypy.stubtest tessarin &&
    "$py" -m mypy --strict --cache-dir "$root/build/mypy-cache" "$root/examples/typed_example.py" \
        "$root/examples/typed_search.py" &&
    "$py" "$root/examples/typed_example.py" >/dev/null && "$py" "$root/examples/typed_search.py" >/dev/null)

# In CI also prove the distribution: an sdist, a wheel built from it alone
# with the system's RapidFuzz hidden, that wheel made manylinux, and the
# whole suite against it in a fresh environment.
if [ "${CI:-}" = true ]; then
    "$root/scripts/check_dist.sh"
fi

# Last, the whole suite against the installed wheel, so that its summary
# closes the output.
(cd "$scratch" && HYPOTHESIS_STORAGE_DIRECTORY="$root/.hypothesis" "$py" -m pytest -q "$root/tests" "$@")

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
(cd "$scratch" && HYPOTHESIS_STORAGE_DIRECTORY="$root/.hypothesis" "$py" -m pytest -q "$root/tests" "$@")

# The installed stubs agree with the installed module, and a typed program
# that calls every function checks clean under --strict and runs.
(cd "$scratch" && "$py" -m mypy.stubtest tessarin &&
    "$py" -m mypy --strict --cache-dir "$root/build/mypy-cache" "$root/examples/typed_example.py" &&
    "$py" "$root/examples/typed_example.py" >/dev/null)

# In CI also prove the source distribution: an sdist, a wheel built from it
# alone, and the whole suite against that wheel in a fresh environment.
if [ "${CI:-}" = true ]; then
    "$root/scripts/check_dist.sh"
fi

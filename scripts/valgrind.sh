#!/usr/bin/env bash
# Runs a smaller part of the suite under valgrind's memcheck, against the
# extension installed in .venv: the module's surface, the hostile arguments
# and the leak checks (with fewer calls). Any invalid read or write, use of
# an uninitialised value, or block lost for good fails the run. Extra
# arguments go to pytest. Takes several minutes:
#   scripts/valgrind.sh
# PYTHONMALLOC=malloc sends Python's own objects through malloc as well, so
# valgrind sees every allocation.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"
install_packages valgrind
# Every memory error fails the run at once. Leaks are read from the log
# afterwards: the interpreter itself leaves interned strings and the state of
# extension modules unreleased at exit, so only a block lost for good whose
# allocation passed through this module counts. The largest inputs only cost
# time here; the normal run covers them.
log="$root/build/valgrind.log"
mkdir -p "$root/build"
status=0
PYTHONMALLOC=malloc TESSARIN_LEAK_ROUNDS=20 valgrind --quiet --error-exitcode=1 --num-callers=40 \
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=none \
    --suppressions="$root/scripts/valgrind.supp" --log-file="$log" \
    "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider \
    tests/test_module_surface.py tests/test_hostile.py tests/test_leaks.py tests/test_threads.py \
    -k "not 100_megabytes and not every_code_point and not native_memory and not failing_allocations" "$@" ||
    status=$?
leaks=$(awk '/definitely lost in loss record/ { record = $0; keep = 0; next }
             record != "" && /tessarin/ { keep = 1 }
             record != "" && /^==[0-9]+== $/ { if (keep) print record; record = "" }' "$log")
if [ "$status" -ne 0 ] || [ -n "$leaks" ]; then
    grep -v '^==[0-9]*== *$' "$log" | head -n 200 >&2
    [ -z "$leaks" ] || printf 'blocks lost through the module:\n%s\n' "$leaks" >&2
    echo "valgrind found errors; the whole report is build/valgrind.log" >&2
    exit 1
fi
echo "valgrind: no memory errors, no block lost through the module"

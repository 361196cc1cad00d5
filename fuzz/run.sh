#!/usr/bin/env bash
# Coverage-guided fuzzing, the harnesses side by side, each for SECONDS
# (default 25):
#   core_fuzzer       libFuzzer over the C++ library (clang, ASan + UBSan)
#   stream_fuzzer     libFuzzer over the command's search of files: blocks,
#                     cuts and waits against one search of the whole text
#   python_fuzzer.py  atheris over the module's four functions (a module built
#                     with clang, ASan + UBSan, coverage from both languages)
#   fuzz/run.sh [SECONDS] [core|stream|python]
# New inputs go to build/fuzz/corpus-*, which each run empties first:
# libFuzzer runs every input it is given before its time limit starts, so
# inputs kept from run to run made each run longer than the last (one
# harness's start grew to four minutes). The seeds in fuzz/corpus/ are only
# read. To keep what a run found, merge what adds coverage into the seeds
# before the next run (for the Python harness, with the environment of its
# run below and .venv-sanitize/bin first on PATH):
#   build/sanitize-*/core_fuzzer -merge=1 -use_counters=0 fuzz/corpus/core build/fuzz/corpus-core
# A finding stops the run; its input is saved as build/fuzz/crash-*.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-25}
only=${2:-}
build="$root/build/fuzz"
# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"

# Runs one fuzzer with its whole output in build/fuzz/NAME.log: the closing
# statistics when it ends clean, the end of the log when it found something.
run_logged() {
    local name=$1 status=0
    shift
    "$@" >"$build/$name.log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        tail -n 80 "$build/$name.log" >&2
        say "$name fuzzing found a fault; the whole log is build/fuzz/$name.log"
        exit "$status"
    fi
    grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)|^#[0-9]+.*DONE' "$build/$name.log" | sed "s/^/  $name: /"
}

# The harnesses are built in the sanitized build of scripts/sanitize.sh, whose
# code counts its coverage for libFuzzer, against the core compiled there. The
# Python harness runs in that script's environment, which holds atheris, on
# the module installed there.
"$root/scripts/sanitize.sh" --build-only
venv="$root/.venv-sanitize"
tag=$("$venv/bin/python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
sanitized=$(find "$root/build" -maxdepth 1 -type d -name "sanitize-$tag-$tag-*" | head -n 1)
mkdir -p "$build"
say "building the fuzzing harnesses"
"$venv/bin/cmake" --build "$sanitized" --target fuzzers >"$build/build.log" 2>&1 ||
    { cat "$build/build.log" >&2; exit 1; }
# libFuzzer's timeout is wall-clock time: on a loaded machine an input that
# takes half a second alone took 34 s. Only a hang should end a run, so the
# limit is far beyond what any load stretches an input to.
unit_timeout=600
rm -rf "$build/corpus-core" "$build/corpus-stream" "$build/corpus-python"
mkdir -p "$build/corpus-core" "$build/corpus-stream" "$build/corpus-python" "$root/fuzz/corpus/core" \
    "$root/fuzz/corpus/stream" "$root/fuzz/corpus/python"

# The harnesses run side by side, each on a core while there are cores:
# each is one process, and the time given is each one's.
pids=()
names=()
start() {
    local name=$1
    shift
    say "fuzzing $name for ${seconds}s"
    run_logged "$@" &
    pids+=($!)
    names+=("$name")
}

if [ -z "$only" ] || [ "$only" = core ]; then
    start "the C++ library" core "$sanitized/core_fuzzer" -max_total_time="$seconds" -max_len=2048 \
        -timeout="$unit_timeout" -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/" \
        "$build/corpus-core" "$root/fuzz/corpus/core"
fi

if [ -z "$only" ] || [ "$only" = stream ]; then
    start "the command's search of files" stream "$sanitized/stream_fuzzer" -max_total_time="$seconds" \
        -max_len=1024 -timeout="$unit_timeout" -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/" \
        "$build/corpus-stream" "$root/fuzz/corpus/stream"
fi

if [ -z "$only" ] || [ "$only" = python ]; then
    LD_PRELOAD="$("$venv/bin/python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so" \
        PYTHONMALLOC=malloc \
        ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        start "the module's functions" python "$venv/bin/python" "$root/fuzz/python_fuzzer.py" \
        -max_total_time="$seconds" -max_len=512 -timeout="$unit_timeout" -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="$build/" "$build/corpus-python" "$root/fuzz/corpus/python"
fi

# Every harness is waited for, so that none outlives the run; the first
# that found something decides the status.
status=0
for i in "${!pids[@]}"; do
    code=0
    wait "${pids[$i]}" || code=$?
    if [ "$code" -ne 0 ]; then
        say "fuzzing ${names[$i]} failed"
        [ "$status" -ne 0 ] || status=$code
    fi
done
exit "$status"

#!/usr/bin/env bash
# Makes and proves the files a user installs from, and leaves them in dist/:
# the sdist, and a manylinux wheel for each supported CPython found on the
# machine (scripts/lib.sh lists the versions and how they are found).
#  1. The sdist, made once.
#  2. For each interpreter, in a new virtual environment of its own: a wheel
#     from the sdist alone in an isolated build environment (what
#     `pip install tessarin-*.tar.gz` does on a fresh machine), with the
#     system's RapidFuzz hidden from CMake: the build must take the headers
#     that the sdist carries, and is checked to have done so. Zig's C++
#     compiler (requirements/dist.txt) builds it for an older glibc than the
#     machine's, with LLVM's C++ runtime linked in. The wheels are built one
#     after the other in one build folder, each configured afresh: what does
#     not depend on the interpreter (most of the matching library) is
#     compiled once, with the same compiler, flags and sources for each.
#  3. auditwheel (with patchelf) copies the wheel's non-system libraries into
#     it and tags it manylinux; the tag must be manylinux_2_28 or older.
#  4. That wheel goes into the same environment, and the sdist's own tests
#     run against it: the whole suite against the last wheel, the tests of
#     what the interpreter changes against the others (interpreter_tests
#     below says why that is enough); tests/test_packaging.py, in both,
#     checks that the extensions load nothing from outside the wheel but the
#     C runtime. The environments get the test requirements in the
#     background from the start, while the compiler works.
# Each file goes into dist/ as soon as it is made (a repaired wheel in place
# of the one it was made from), so a check that fails leaves what was made
# for a look; the last line says which check failed, and the line before it
# each wheel's sizes, tag and needs.
# In CI (CI=true) every supported version must be found.
# TESSARIN_DIST_PYTHONS="3.13" makes wheels for the versions named alone.
# Needs the system packages and .venv that scripts/setup.sh prepares.
#   check_dist.sh --prepare DIR   only what comes before the first build:
#                                 the toolchain, the sdist, the environments
#                                 with their requirements, kept in DIR
#   check_dist.sh --prepared DIR  the rest, on what --prepare left in DIR
# (scripts/test.sh prepares while the fuzzers run, whose time is fixed.)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"
mode=${1:-}
case "$mode" in
    --prepare) work=${2:?a folder to prepare in} && rm -rf "$work" && mkdir -p "$work" ;;
    --prepared) work=${2:?the folder that --prepare made} && [ -f "$work/versions" ] || { echo "error: $work was not prepared" >&2; exit 1; } ;;
    "") work=$(mktemp -d) ;;
    *) echo "usage: check_dist.sh [--prepare DIR | --prepared DIR]" >&2; exit 2 ;;
esac
step=
summary=()
declare -A preparing=() # the background installs, by version
finish() {
    local status=$? pid
    for pid in "${preparing[@]}"; do # pip, and the shell that runs it
        pkill -P "$pid" 2>/dev/null || true
        kill "$pid" 2>/dev/null || true
    done
    wait
    # What --prepare made stays for --prepared, unless it failed.
    [ "$mode" = --prepare ] && [ "$status" -eq 0 ] || rm -rf "$work"
    if [ "$status" -ne 0 ]; then
        local made
        made=$(find "$root/dist" -maxdepth 1 -name 'tessarin-*' -printf '%f ' 2>/dev/null)
        made=${made% }
        say "./dev dist failed: $step; dist/ holds: ${made:-nothing}"
    fi
}
trap finish EXIT
# auditwheel, patchelf, cmake and ninja come from requirements/build.txt:
# the isolated builds take cmake and ninja from here rather than download them.
export PATH="$root/.venv/bin:$PATH"

# The glibc that the wheels are built for: manylinux2014's (RHEL 7 and
# later). Nothing in the code needs a newer one (GLIBC_2.16 at most).
glibc_floor=2.17

# Puts FILE into dist/ in place of the earlier files that match PATTERN.
keep() {
    mkdir -p "$root/dist"
    find "$root/dist" -maxdepth 1 -name "$2" ! -name "$(basename "$1")" -delete
    cp "$1" "$root/dist/"
}

# Prints "X.Y" for each version that gets a wheel.
wanted_versions() {
    if [ -n "${TESSARIN_DIST_PYTHONS:-}" ]; then
        tr ' ' '\n' <<<"$TESSARIN_DIST_PYTHONS"
    else
        printf '%s\n' "${supported_pythons[@]}"
    fi
}

# Zig, its compiler wrapped for the glibc floor, and its C++ runtime.
prepare_toolchain() {
    step="installing the wheels' toolchain"
    install_requirements "$root/.venv/bin/python" -r "$root/requirements/dist.txt"
    # CMake takes a compiler as one program: this one runs Zig's for the floor.
    # Zig would link LLVM's unwinder into each extension. glibc unwinds a thread
    # that ends while inside one (CPython ends a daemon thread that way when it
    # takes the lock back during exit) with libgcc_s, which cannot walk frames
    # whose handlers call another unwinder: the process crashed. Linked against
    # libgcc_s, which every Linux has, the C++ runtime unwinds with it alone.
    # (Only libraries: the system's libgcc_s needs a newer glibc than the floor,
    # which a link of a program, such as CMake's test of the compiler, refuses.)
    # Zig's compiler makes debug information unless told not to, and the link
    # leaves it out of the extensions anyway: -g0 spares a quarter of the
    # compiler's time.
    libgcc_s=$(gcc -print-file-name=libgcc_s.so.1)
    [ -f "$libgcc_s" ] || { echo "error: libgcc_s.so.1 not found" >&2; exit 1; }
    mkdir "$work/toolchain"
    cat >"$work/toolchain/c++" <<EOF
#!/bin/sh
target=$(uname -m)-linux-gnu.$glibc_floor
case " \$* " in
    *" -shared "*) exec "$root/.venv/bin/python" -m ziglang c++ -target "\$target" -g0 "$libgcc_s" "\$@" ;;
    *) exec "$root/.venv/bin/python" -m ziglang c++ -target "\$target" -g0 "\$@" ;;
esac
EOF
    chmod +x "$work/toolchain/c++"
    # Zig builds its C++ runtime for the target at the first link, once for each
    # place that it is installed in (a fresh clone installs it anew): 47 s on one
    # core, which the first wheel's build spent at its end, the other core idle.
    # It is made now, beside what follows, by linking a small library as the
    # builds link theirs; a build that links meanwhile waits for it.
    printf '#include <string>\nstd::string warm(int x) { return std::to_string(x); }\n' >"$work/toolchain/warm.cpp"
    "$work/toolchain/c++" -O3 -DNDEBUG -fPIC -shared "$work/toolchain/warm.cpp" -o "$work/toolchain/warm.so" \
        >"$work/prepare-toolchain.log" 2>&1 &
    preparing[toolchain]=$!
}

# The sdist, made from a copy of the files that git keeps or would keep:
# made in the work tree, the build backend walks .venv, build/ and the rest
# that it leaves out, 130,000 paths and six seconds.
make_sdist() {
    step="building the sdist"
    say "$step"
    rm -f "$root"/dist/tessarin-*.whl
    local source="$root"
    if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        source="$work/source"
        mkdir "$source"
        # A file deleted but not yet committed is listed and not read.
        git -C "$root" ls-files -z --cached --others --exclude-standard |
            (cd "$root" && tar --null -T - --ignore-failed-read -cf - 2>/dev/null) | tar -xf - -C "$source"
    fi
    "$root/.venv/bin/python" -m build -q --sdist --outdir "$work/dist" "$source" >/dev/null
    rm -rf "$work/source"
    keep "$(echo "$work"/dist/tessarin-*.tar.gz)" 'tessarin-*.tar.gz'
    tar -xzf "$work"/dist/tessarin-*.tar.gz -C "$work"
}

# Adds to the wheel WHEEL, under .dist-info/licenses, the licences of what
# it carries beyond what pyproject.toml lists: RapidFuzz's, whose headers
# are compiled in.
add_licences() {
    "$root/.venv/bin/python" - "$1" "$unpacked/third_party/rapidfuzz/LICENSE" <<'PY'
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
}

# One line on the installed wheel WHEEL in the environment VENV: its tag,
# its size and the bytes it installs, then for each extension the libraries
# it names, the newest glibc symbol version it needs, and its GLIBCXX needs.
describe() {
    local wheel=$1 venv=$2 extension line needed
    line="$(basename "$wheel"): $(du -k "$wheel" | cut -f1) kB, installs $("$venv/bin/python" - "$wheel" <<'PY'
import sys, zipfile
print(sum(info.file_size for info in zipfile.ZipFile(sys.argv[1]).infolist()) // 1024, end="")
PY
) kB"
    while IFS= read -r extension; do
        needed=$(objdump -p "$extension" | awk '$1 == "NEEDED" { printf "%s%s", sep, $2; sep = " " }')
        line+="; $(basename "$extension"): needs $needed, up to $(objdump -T "$extension" |
            grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -n 1), $(objdump -T "$extension" |
            grep -c 'GLIBCXX_\|CXXABI_') GLIBCXX symbols"
    done < <("$venv/bin/python" -c 'import importlib, sys
for name in ("tessarin", "tessarin_cli._native", "tessarin_search._native"):
    print(importlib.import_module(name).__file__)')
    echo "$line"
}

# Makes the new environment for the interpreter PYTHON (version VERSION) and
# starts installing the test requirements into it in the background.
prepare_environment() {
    local version=$1 python=$2 venv="$work/venv-$1"
    "$python" -m venv "$venv"
    install_requirements "$venv/bin/python" -r "$root/requirements/test.txt" >"$work/prepare-$version.log" 2>&1 &
    preparing[$version]=$!
}

# Waits for what was started in the background for NAME: a version's
# environment, or the toolchain.
prepared() {
    local name=$1
    if [ -n "${preparing[$name]:-}" ]; then
        wait "${preparing[$name]}" || { cat "$work/prepare-$name.log" >&2; exit 1; }
        unset "preparing[$name]"
    fi
}

# The library asks the processor itself what it offers beyond the baseline
# (src/text/processor.hpp): the runtime that Zig links answers no to every
# feature, which left the wheels without their AVX2 and POPCNT paths, and no
# result shows that. A program built as the wheels are must see what the
# processor here lists.
check_processor_features() {
    [ "$(uname -m)" = x86_64 ] || return 0
    step="checking that code built as the wheels are sees the processor's AVX2 and POPCNT"
    prepared toolchain
    printf '%s\n' '#include <cstdio>' '#include "text/processor.hpp"' \
        'int main() { const auto& f = tessarin::detail::processor(); std::printf("avx2=%d popcnt=%d\n", f.avx2, f.popcnt); }' \
        >"$work/toolchain/processor.cpp"
    "$work/toolchain/c++" -O2 -I"$unpacked/src" "$work/toolchain/processor.cpp" -o "$work/toolchain/processor"
    local seen listed
    seen=$("$work/toolchain/processor")
    listed="avx2=$(grep -qw avx2 /proc/cpuinfo && echo 1 || echo 0) popcnt=$(grep -qw popcnt /proc/cpuinfo && echo 1 || echo 0)"
    [ "$seen" = "$listed" ] || { echo "error: built as the wheels are, the library sees $seen; the processor lists $listed" >&2; exit 1; }
}

# What the suite runs against each wheel but the last. The wheels differ
# from one another only in the interpreter's headers and its Unicode
# database, which these tests reach (the conversions at the boundary, the
# case tables, the wheel's contents); from the wheel that the suite stage
# tests, only in the compiler and its runtime, which the last wheel's whole
# suite reaches. So the whole suite runs once against a distribution wheel.
interpreter_tests=(test_packaging.py test_module_surface.py test_folding.py)

# The wheel for the interpreter of version VERSION, made, repaired,
# installed and tested in its new environment: with the whole suite if
# WHOLE is "whole", else with the interpreter's tests above.
wheel_for() {
    local version=$1 whole=$2 venv="$work/venv-$1" build="$work/build" wheel repaired tag headers tests
    step="building the $version wheel from the sdist, with the system's RapidFuzz hidden"
    say "$step ($(base_python "$venv"))"
    # Configured afresh: nothing found for another interpreter stays. Ninja
    # then compiles again whatever this configuration compiles differently.
    rm -f "$build/CMakeCache.txt"
    CXX="$work/toolchain/c++" "$venv/bin/python" -m pip wheel -q --no-deps -w "$work/wheels-$version" \
        -C cmake.define.CMAKE_DISABLE_FIND_PACKAGE_rapidfuzz=ON -C build-dir="$build" "$unpacked" >/dev/null
    wheel=$(echo "$work/wheels-$version"/tessarin-*.whl)
    keep "$wheel" "tessarin-*-cp${version/./}-*.whl"

    # The compiler would quietly fall back to other headers for any that the
    # sdist lacks: every RapidFuzz header the build read must be the copy's.
    step="checking that the $version wheel took only the RapidFuzz headers the sdist carries"
    headers=$(ninja -C "$build" -t deps | grep -o '[^ ]*/rapidfuzz/[^ ]*\.hpp' | sort -u)
    if [ -z "$headers" ] || grep -v '/third_party/rapidfuzz/include/rapidfuzz/' <<<"$headers"; then
        echo "error: the build from the sdist did not take only the RapidFuzz headers the sdist carries" >&2
        exit 1
    fi

    step="repairing the $version wheel into a manylinux wheel"
    say "$step"
    auditwheel repair -w "$work/wheelhouse-$version" "$wheel" >"$work/repair.log" 2>&1 ||
        { cat "$work/repair.log" >&2; exit 1; }
    repaired=$(echo "$work/wheelhouse-$version"/tessarin-*-manylinux*.whl)
    [ -f "$repaired" ] || { echo "error: auditwheel made no manylinux wheel" >&2; exit 1; }
    add_licences "$repaired"
    keep "$repaired" "tessarin-*-cp${version/./}-*.whl"
    # Its tags (aliases of one another) must admit glibc 2.28: RHEL 8 and later.
    tag=$(basename "$repaired" | grep -o 'manylinux_2_[0-9]*' | head -n 1)
    if [ "${tag#manylinux_2_}" -gt 28 ]; then
        auditwheel show "$repaired" >&2
        echo "error: the $version wheel needs glibc newer than 2.28" >&2
        exit 1
    fi

    step="installing the test requirements into the $version environment"
    prepared "$version"
    step="installing the $version wheel into its fresh environment"
    say "$step"
    "$venv/bin/python" -m pip install -q "$repaired"

    if [ "$whole" = whole ]; then
        step="testing the installed $version wheel with the sdist's own suite"
        tests=("$unpacked/tests")
    else
        step="testing the installed $version wheel with the sdist's tests of what the interpreter changes"
        tests=("${interpreter_tests[@]/#/$unpacked/tests/}")
    fi
    say "$step"
    # From an empty folder, so that only what the wheel installed can be imported.
    mkdir -p "$work/scratch"
    (cd "$work/scratch" && HYPOTHESIS_STORAGE_DIRECTORY="$root/.hypothesis" \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider -n auto --dist worksteal "${tests[@]}")
    summary+=("$(describe "$repaired" "$venv")")
}

found=()
if [ "$mode" = --prepared ]; then
    mapfile -t found <"$work/versions"
else
    prepare_toolchain
    make_sdist
    mapfile -t versions < <(wanted_versions)
    for version in "${versions[@]}"; do
        step="finding CPython $version"
        if python=$(find_interpreter "$version"); then
            prepare_environment "$version" "$python"
            found+=("$version")
        elif [ "${CI:-}" = true ]; then
            echo "error: CPython $version with its headers is not on this machine" >&2
            exit 1
        else
            say "no CPython $version with its headers here: no wheel for it"
        fi
    done
    step="finding an interpreter"
    [ ${#found[@]} -gt 0 ] || { echo "error: no supported CPython found" >&2; exit 1; }
fi
unpacked=$(echo "$work"/tessarin-*/)
if [ "$mode" = --prepare ]; then
    for version in "${found[@]}"; do
        step="installing the test requirements into the $version environment"
        prepared "$version"
    done
    step="making Zig's C++ runtime for the glibc floor"
    prepared toolchain
    printf '%s\n' "${found[@]}" >"$work/versions"
    say "prepared in $work: the sdist, the toolchain, environments for ${found[*]}"
    exit 0
fi
check_processor_features
for version in "${found[@]}"; do
    if [ "$version" = "${found[-1]}" ]; then
        wheel_for "$version" whole
    else
        wheel_for "$version" interpreter
    fi
done

step=
printf '%s\n' "${summary[@]}"
say "dist/: $(find "$root/dist" -maxdepth 1 -name 'tessarin-*' -printf '%f ' | sort)"

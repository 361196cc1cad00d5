#!/usr/bin/env bash
# Prepares a Debian 12 or 13 machine to build and test the extension:
# system packages (a C++ compiler, the RapidFuzz C++ headers), then a
# virtual environment at .venv with the Python build and test requirements,
# and finally the project's wheel, built and installed into that environment.
# Safe to run again: every step is skipped when its work is already done.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venv"
# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"

# The machine's own Debian release, and the first mirror that its apt
# sources use for that release's main archive (deb822 or one-line format),
# so the project never names a host. apt-config says where the sources are.
debian_codename() {
    (. "${TESSARIN_OS_RELEASE:-/etc/os-release}" && echo "${VERSION_CODENAME:-}")
}

debian_mirror() {
    local codename=$1 list parts f
    eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
    for f in "$parts"*.sources; do
        [ -f "$f" ] || continue
        awk -v suite="$codename" '
            function flush() { if (uri != "" && ok) { print uri; found = 1; exit } uri = ""; ok = 0 }
            /^[ \t]*$/          { flush(); next }
            /^URIs:/            { uri = $2 }
            /^Suites:/          { for (i = 2; i <= NF; i++) if ($i == suite) ok = 1 }
            END                 { if (!found) flush() }
        ' "$f"
    done
    for f in "$list" "$parts"*.list; do
        [ -f "$f" ] || continue
        # deb [options] URI suite components...
        awk -v suite="$codename" '
            $1 == "deb" {
                i = 2
                if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
                if ($(i + 1) == suite) { print $i; exit }
            }
        ' "$f"
    done
}

# Debian 12 does not package the RapidFuzz C++ headers; Debian 13 does. The
# package holds only headers and CMake files and depends on nothing, so its
# Debian 13 build is fetched through a private source list (the system's own
# apt configuration stays untouched) and installed as it is. Runs in a
# subshell so that its clean-up belongs to it alone.
install_rapidfuzz_from_next_release() (
    local mirror work
    mirror=$(debian_mirror "$(debian_codename)" | head -n 1)
    if [ -z "$mirror" ]; then
        echo "error: no Debian mirror for this release in the apt sources; install librapidfuzz-cpp-dev by hand" >&2
        exit 1
    fi
    work=$(mktemp -d)
    trap 'as_root rm -rf "$work"' EXIT
    # apt downloads as the unprivileged user _apt: it must reach the folder
    # and own the places it writes to, or apt warns and downloads as root.
    chmod 755 "$work"
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/debs"
    if id _apt >/dev/null 2>&1; then
        as_root chown _apt "$work/lists/partial" "$work/cache/archives/partial" "$work/debs"
    fi
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror trixie main" >"$work/sources.list"
    local opts=(-o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
                -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache")
    say "fetching librapidfuzz-cpp-dev from the Debian 13 suite of $mirror"
    as_root apt-get "${opts[@]}" update -qq
    (cd "$work/debs" && as_root apt-get "${opts[@]}" download -qq librapidfuzz-cpp-dev)
    say "installing librapidfuzz-cpp-dev"
    as_root dpkg -i "$work"/debs/librapidfuzz-cpp-dev_*.deb >/dev/null
)

install_system_packages() {
    install_packages g++ make
    have_packages librapidfuzz-cpp-dev && return
    refresh_apt_lists
    if apt-cache show librapidfuzz-cpp-dev >/dev/null 2>&1; then
        install_packages librapidfuzz-cpp-dev
    else
        install_rapidfuzz_from_next_release
    fi
}

# The interpreter that .venv is made from: PYTHON when set, which must be
# one of the supported versions, otherwise the first supported version found.
find_python() {
    local version found versions="${supported_pythons[*]}"
    for version in "${supported_pythons[@]}"; do
        found=$(find_interpreter "$version" ${PYTHON:+"$PYTHON"}) && { echo "$found"; return; }
    done
    if [ -n "${PYTHON:-}" ]; then
        echo "PYTHON=$PYTHON is not CPython ${versions// / or } with its headers and venv" >&2
    else
        echo "CPython ${versions// / or } with its headers is needed; set PYTHON to its interpreter" >&2
    fi
    exit 1
}

prepare_venv() {
    local stamp="$venv/.requirements" wanted python=
    wanted=$(cat "$root/requirements/build.txt" "$root/requirements/test.txt")
    # PYTHON may ask for another version than .venv has: .venv is made anew.
    if [ -x "$venv/bin/python" ] && [ -n "${PYTHON:-}" ]; then
        python=$(find_python)
        if [ "$(python_version "$venv/bin/python")" != "$(python_version "$python")" ]; then
            say "making .venv anew for Python $(python_version "$python")"
            rm -rf "$venv"
        fi
    fi
    if [ ! -x "$venv/bin/python" ]; then
        [ -n "$python" ] || python=$(find_python)
        say "creating the virtual environment .venv with Python $(python_version "$python")"
        "$python" -m venv "$venv"
    fi
    if [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
        say "installing the Python build and test requirements"
        "$venv/bin/python" -m pip install -q --upgrade pip
        install_requirements "$venv/bin/python" -r "$root/requirements/build.txt" -r "$root/requirements/test.txt"
        printf '%s' "$wanted" >"$stamp"
    fi
}

build_extension() {
    local wheelhouse="$root/build/wheelhouse"
    say "building the wheel and installing it into .venv"
    # The tests run against what a user would install: the wheel, not the
    # tree. A fixed build folder keeps the CMake build between runs, so a
    # rebuild only compiles what changed.
    rm -rf "$wheelhouse"
    "$venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps \
        -C build-dir="$root/build/{wheel_tag}" -w "$wheelhouse" "$root"
    "$venv/bin/python" -m pip install -q --no-deps --force-reinstall "$wheelhouse"/tessarin-*.whl
}

# `scripts/setup.sh system` prepares the system packages alone.
install_system_packages
[ "${1:-}" = system ] && exit 0
prepare_venv
build_extension

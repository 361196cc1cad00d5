#!/usr/bin/env bash
# Prepares a Debian 12 or 13 machine to build and test the extension:
# system packages (a C++ compiler, ICU, the RapidFuzz C++ headers), then a
# virtual environment at .venv with the Python build and test requirements,
# and finally the project's wheel, built and installed into that environment.
# Safe to run again: every step is skipped when its work is already done.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venv"
say() { printf '==> %s\n' "$*" >&2; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

have_packages() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || return 1
    done
}

# The first mirror that the system's own apt sources use for the main Debian
# archive (deb822 or one-line format), so the project never names a host.
system_mirror() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk '
            /^URIs:/   { uri = $2 }
            /^Suites:/ { for (i = 2; i <= NF; i++) if ($i !~ /security/) ok = 1 }
            /^$/       { if (uri != "" && ok) { print uri; exit } uri = ""; ok = 0 }
            END        { if (uri != "" && ok) print uri }
        ' "$f" | grep -v security | head -n 1
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' "$f"
    done
}

# Debian 12 does not package the RapidFuzz C++ headers; Debian 13 does. The
# package holds only headers and CMake files and depends on nothing, so its
# Debian 13 build is fetched through a private source list (the system's own
# apt configuration stays untouched) and installed as it is.
install_rapidfuzz_from_next_release() {
    local mirror work
    mirror=$(system_mirror | head -n 1)
    [ -n "$mirror" ] || { echo "no Debian mirror found in the apt sources" >&2; exit 1; }
    work=$(mktemp -d)
    trap 'rm -rf "$work"' RETURN
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror trixie main" >"$work/sources.list"
    local opts=(-o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
                -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache")
    say "fetching librapidfuzz-cpp-dev from the Debian 13 suite of $mirror"
    as_root apt-get "${opts[@]}" update -qq
    (cd "$work" && as_root apt-get "${opts[@]}" download librapidfuzz-cpp-dev)
    as_root dpkg -i "$work"/librapidfuzz-cpp-dev_*.deb >/dev/null
}

install_system_packages() {
    local wanted=(g++ make libicu-dev pkg-config)
    if ! have_packages "${wanted[@]}"; then
        say "installing ${wanted[*]}"
        as_root apt-get update -qq
        DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${wanted[@]}" >/dev/null
    fi
    if ! have_packages librapidfuzz-cpp-dev; then
        as_root apt-get update -qq
        if apt-cache show librapidfuzz-cpp-dev >/dev/null 2>&1; then
            DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq librapidfuzz-cpp-dev >/dev/null
        else
            install_rapidfuzz_from_next_release
        fi
    fi
}

find_python() {
    local candidate
    for candidate in "${PYTHON:-}" python3.12 /root/.pyenv/versions/3.12*/bin/python3.12 /usr/bin/python3.12; do
        [ -n "$candidate" ] || continue
        if command -v "$candidate" >/dev/null 2>&1 &&
            "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
            command -v "$candidate"
            return
        fi
    done
    echo "CPython 3.12 is needed; set PYTHON to its interpreter" >&2
    exit 1
}

prepare_venv() {
    local stamp="$venv/.requirements" wanted
    wanted=$(cat "$root/requirements/build.txt" "$root/requirements/test.txt")
    if [ ! -x "$venv/bin/python" ]; then
        say "creating the virtual environment .venv"
        "$(find_python)" -m venv "$venv"
    fi
    if [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
        say "installing the Python build and test requirements"
        "$venv/bin/python" -m pip install -q --upgrade pip
        "$venv/bin/python" -m pip install -q -r "$root/requirements/build.txt" -r "$root/requirements/test.txt"
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

install_system_packages
prepare_venv
build_extension

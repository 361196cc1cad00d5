#!/usr/bin/env bash
# Prepares what the benchmarks need beyond the project's own set-up: the
# Debian fortune collections that serve as the English, German and Russian
# text, the documentation packages that give the Greek, Arabic, Hindi and
# Japanese text (unpacked, not installed), the benchmark-only Python packages
# in .venv, and the corpora in bench/data/.
# Safe to run again and quick once done: every step is skipped when its work
# is already there.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venv"
data="$root/bench/data"
# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"

install_python_packages() {
    local stamp="$venv/.bench-requirements" wanted
    wanted=$(cat "$root/bench/requirements.txt")
    if [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
        say "installing the benchmark's Python requirements"
        "$venv/bin/python" -m pip install -q -r "$root/bench/requirements.txt"
        printf '%s' "$wanted" >"$stamp"
    fi
}

# Unpacks the named Debian packages into bench/data/packages/NAME/ without
# installing them: only their files are read, so their dependencies (all of
# LibreOffice, for its help) are not needed.
unpack_packages() {
    local missing=() p download
    for p in "$@"; do
        [ -d "$data/packages/$p" ] || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    refresh_apt_lists
    say "downloading ${missing[*]}"
    download=$(mktemp -d)
    chown _apt "$download" 2>/dev/null || true  # apt downloads as its own user where it can
    (cd "$download" && apt-get download -qq "${missing[@]}")
    mkdir -p "$data/packages"
    for p in "${missing[@]}"; do
        rm -rf "$data/packages/$p.partial"
        dpkg-deb -x "$download/${p}_"*.deb "$data/packages/$p.partial"
        mv "$data/packages/$p.partial" "$data/packages/$p"
    done
    rm -rf "$download"
}

# Builds the corpora not built yet, saying what each holds.
build_corpora() {
    "$venv/bin/python" "$root/bench/corpus.py" build --missing
}

[ -x "$venv/bin/python" ] || { echo "no .venv yet: run scripts/setup.sh first" >&2; exit 1; }
install_packages fortunes fortunes-de fortunes-ru
# shellcheck disable=SC2046 # one name per word
unpack_packages $("$venv/bin/python" "$root/bench/corpus.py" packages)
# The command's peers in bench/command.py.
install_packages ripgrep ugrep
install_python_packages
build_corpora

#!/usr/bin/env bash
# Prepares what the benchmarks need beyond the project's own set-up: the
# Debian fortune collections that serve as the English and German text, the
# benchmark-only Python packages in .venv, and the corpora in bench/data/.
# Safe to run again and quick once done: every step is skipped when its work
# is already there.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venv"
data="$root/bench/data"
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

# apt's package lists may be missing or stale on a fresh machine; refreshing
# them costs many seconds, so it happens only when a wanted package is not
# known to apt as it stands.
install_fortunes() {
    local wanted=(fortunes fortunes-de) p
    have_packages "${wanted[@]}" && return
    for p in "${wanted[@]}"; do
        if ! apt-cache policy "$p" 2>/dev/null | grep -q 'Candidate: [^(]'; then
            say "refreshing the apt package lists"
            as_root apt-get update -qq
            break
        fi
    done
    say "installing ${wanted[*]}"
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends \
        "${wanted[@]}" >/dev/null
}

install_python_packages() {
    local stamp="$venv/.bench-requirements" wanted
    wanted=$(cat "$root/bench/requirements.txt")
    if [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
        say "installing the benchmark's Python requirements"
        "$venv/bin/python" -m pip install -q -r "$root/bench/requirements.txt"
        printf '%s' "$wanted" >"$stamp"
    fi
}

build_corpora() {
    if [ ! -s "$data/english.txt" ] || [ ! -s "$data/german.txt" ]; then
        say "building the benchmark corpora in bench/data/"
        "$venv/bin/python" "$root/bench/corpus.py" build
    fi
}

[ -x "$venv/bin/python" ] || { echo "no .venv yet: run scripts/setup.sh first" >&2; exit 1; }
install_fortunes
install_python_packages
build_corpora

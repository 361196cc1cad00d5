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

build_corpora() {
    if [ ! -s "$data/english.txt" ] || [ ! -s "$data/german.txt" ] || [ ! -s "$data/ascii.txt" ]; then
        say "building the benchmark corpora in bench/data/"
        "$venv/bin/python" "$root/bench/corpus.py" build
    fi
}

[ -x "$venv/bin/python" ] || { echo "no .venv yet: run scripts/setup.sh first" >&2; exit 1; }
install_packages fortunes fortunes-de
# The command's peers in bench/command.py.
install_packages ripgrep ugrep
install_python_packages
build_corpora

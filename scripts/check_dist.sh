#!/usr/bin/env bash
# Proves that the source distribution is complete and that its wheel works
# on its own: builds the sdist, then a wheel from the sdist alone in an
# isolated build environment (what `pip install tessarin-*.tar.gz` does on a
# fresh machine with the system packages of scripts/setup.sh), installs that
# wheel into a new virtual environment beside the unpacked sdist and runs the
# sdist's own test command there. Both files are left in dist/.
# Needs the system packages and .venv that scripts/setup.sh prepares.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

say "building the sdist, then the wheel from it"
"$root/.venv/bin/python" -m build -q --outdir "$work/dist" "$root" >/dev/null
sdist=$(echo "$work"/dist/tessarin-*.tar.gz)
wheel=$(echo "$work"/dist/tessarin-*.whl)

say "installing the wheel into a fresh environment beside the unpacked sdist"
tar -xzf "$sdist" -C "$work"
unpacked=$(echo "$work"/tessarin-*/)
"$(base_python "$root/.venv")" -m venv "$unpacked/.venv"
"$unpacked/.venv/bin/python" -m pip install -q "$wheel" -r "$unpacked/requirements/test.txt"

say "testing the installed wheel with the sdist's own tests"
# The robustness stages (sanitizers, fuzzing) already ran on the tree.
CI= TESSARIN_QUICK=1 "$unpacked/scripts/test.sh"

mkdir -p "$root/dist"
rm -f "$root"/dist/tessarin-*
cp "$sdist" "$wheel" "$root/dist/"
say "dist/: $(basename "$sdist") $(basename "$wheel")"

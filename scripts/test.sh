#!/usr/bin/env bash
# Every test, against the extension installed in .venv (scripts/setup.sh
# puts it there). Extra arguments go to the main pytest run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
py="$root/.venv/bin/python"
cd "$root"

# The whole suite.
"$py" -m pytest -q tests "$@"

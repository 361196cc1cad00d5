#!/usr/bin/env bash
# The main job: the command-line tool searches the bundled sample text,
# exactly and fuzzily, over characters and over words.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tool="$root/.venv/bin/tessarin"
cd "$root"

run() {
    printf '\n$ tessarin'
    printf ' %q' "$@"
    printf '\n'
    "$tool" "$@" || [ $? -eq 1 ] # nothing found is not a failure here
}

echo "Searching examples/sample.txt (travel notes with accents, capitals and misspellings)"
run -i --ignore-accents café examples/sample.txt
run -i -Z lighthouse examples/sample.txt
run -i --ignore-accents --separator ' ' 'petit dejeuner' examples/sample.txt
run -i -Z --separator ' ' 'old harbour' examples/sample.txt
run -i --json 'every lighthouse' examples/sample.txt
printf '\nThe same searches from Python: .venv/bin/python examples/demo.py\n'

"""Many files in parallel: every Python file of a folder (by default, the
standard library's json package) searched for a name on two threads; the
files are read one batch at a time, as the search asks for them.

Run it:  python examples/library/many_files.py [FOLDER] [NAME]
"""

import json
import sys
from collections.abc import Iterator
from pathlib import Path

from tessarin_search import Search


def read_all(paths: list[Path]) -> Iterator[str]:
    for path in paths:
        yield path.read_text(encoding="utf-8", errors="replace")


def search_folder(folder: Path, name: str, threads: int = 2) -> list[tuple[str, int, int, str]]:
    paths = sorted(folder.rglob("*.py"))
    search = Search(name, edits=1, ignore_case=True)
    found: list[tuple[str, int, int, str]] = []
    for path, matches in zip(paths, search.find_many(read_all(paths), threads=threads)):
        found.extend((path.name, match.line, match.column, match.text) for match in matches)
    return found


def main() -> None:
    folder = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(json.__file__).parent
    name = sys.argv[2] if len(sys.argv) > 2 else "decoder"
    for file_name, line, column, text in search_folder(folder, name):
        print(f"{file_name}:{line}:{column}: {text}")


if __name__ == "__main__":
    main()

"""Benchmark text: the Debian fortune collections, English and German.

`python bench/corpus.py build` gathers the installed fortune files into
bench/data/english.txt and bench/data/german.txt, and keeps the lines of the
English text that are plain ASCII (most of them) in bench/data/ascii.txt:
the text most users have. `load_text` then cuts or repeats a corpus to the
exact size a benchmark asks for.
"""

from __future__ import annotations

import functools
import sys
from pathlib import Path

DATA_DIR = Path(__file__).resolve().parent / "data"
FORTUNE_DIRS = {
    "english": Path("/usr/share/games/fortunes"),
    "german": Path("/usr/share/games/fortunes/de"),
}
# Corpora made from another one rather than from fortune files.
DERIVED = {"ascii": "english"}
MIB = 1024 * 1024


def corpus_path(language: str) -> Path:
    if language not in FORTUNE_DIRS and language not in DERIVED:
        raise ValueError(f"no corpus for {language!r}; known: {', '.join([*FORTUNE_DIRS, *DERIVED])}")
    return DATA_DIR / f"{language}.txt"


def fortune_files(folder: Path) -> list[Path]:
    # Only the plain files at the top of the folder: the .dat files are binary
    # indexes, the .u8 names are links back to the same text, and sub-folders
    # hold other collections (another language, or the offensive ones).
    return sorted(
        path
        for path in folder.iterdir()
        if path.is_file() and not path.is_symlink() and path.suffix != ".dat"
    )


def strip_separators(text: str) -> str:
    # A line holding only '%' separates two fortunes; it is not prose.
    return "".join(line for line in text.splitlines(keepends=True) if line.rstrip("\r\n") != "%")


def build_corpus(language: str) -> Path:
    if language in DERIVED:
        source = corpus_path(DERIVED[language]).read_text(encoding="utf-8")
        text = "".join(line for line in source.splitlines(keepends=True) if line.isascii())
    else:
        files = fortune_files(FORTUNE_DIRS[language])
        if not files:
            raise SystemExit(f"no fortune files in {FORTUNE_DIRS[language]}: run bench/setup.sh")
        # A stray byte that is not UTF-8 must not stop the build; the replacement
        # character it becomes is harmless in a benchmark text.
        parts = [strip_separators(path.read_text(encoding="utf-8", errors="replace")) for path in files]
        text = "\n".join(part.rstrip("\n") for part in parts) + "\n"
    target = corpus_path(language)
    DATA_DIR.mkdir(parents=True, exist_ok=True)
    partial = target.with_suffix(".tmp")
    partial.write_text(text, encoding="utf-8")
    partial.replace(target)  # never leave a half-written corpus behind
    return target


@functools.cache
def read_corpus(language: str) -> str:
    path = corpus_path(language)
    if not path.exists():
        raise FileNotFoundError(f"{path} is missing: run bench/setup.sh first")
    text = path.read_text(encoding="utf-8")
    if not text:
        raise ValueError(f"{path} is empty: rebuild it with bench/setup.sh")
    return text


def load_text(language: str, megabytes: float) -> str:
    """The corpus repeated and cut to exactly `megabytes` MiB of characters."""
    length = round(megabytes * MIB)
    if length < 0:
        raise ValueError("a text cannot have a negative size")
    corpus = read_corpus(language)
    copies = -(-length // len(corpus))  # ceiling division
    return (corpus * copies)[:length]


def main(argv: list[str]) -> int:
    if argv != ["build"]:
        print("usage: corpus.py build", file=sys.stderr)
        return 2
    for language in [*FORTUNE_DIRS, *DERIVED]:  # a derived corpus after its source
        path = build_corpus(language)
        print(f"{path.name}: {len(read_corpus(language)):,} characters", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

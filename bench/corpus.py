"""Benchmark text in several scripts, built from Debian packages.

`python bench/corpus.py build` writes each corpus into bench/data/NAME.txt:

- english, german: the Debian fortune collections (German has accents);
  ascii: the English lines that are plain ASCII, the text most users have;
- cyrillic: the Russian fortune collection;
- greek: LibreOffice's help in Greek;
- arabic: the Debian Administrator's Handbook and LibreOffice's messages in Arabic;
- devanagari: LibreOffice's messages and the translated part of its help in Hindi;
- cjk: LibreOffice's help and the Debian Administrator's Handbook in Japanese;
- emoji: the plain ASCII lines with an emoji after about one word in ten,
  generated, as no package holds prose with emoji in it.

bench/setup.sh installs the fortune packages and unpacks the documentation
packages (`corpus.py packages` names them) into bench/data/packages/, without
installing them: their dependencies, LibreOffice itself, are not needed. From
documentation only the lines mostly in the corpus's script are kept, each
once (page furniture such as "Contents" repeats on every page), and none
with a code point beyond the BMP: one such character makes the whole str
four bytes wide. `load_text` then cuts or repeats a corpus to the exact
size a benchmark asks for.
"""

from __future__ import annotations

import functools
import gettext
import html.parser
import random
import sys
import unicodedata
from dataclasses import dataclass
from pathlib import Path

DATA_DIR = Path(__file__).resolve().parent / "data"
PACKAGES_DIR = DATA_DIR / "packages"
FORTUNE_DIRS = {
    "english": Path("/usr/share/games/fortunes"),
    "german": Path("/usr/share/games/fortunes/de"),
    "cyrillic": Path("/usr/share/games/fortunes/ru"),
}
HANDBOOK = "usr/share/doc/debian-handbook/html"
LIBREOFFICE_HELP = "usr/share/libreoffice/help"
LIBREOFFICE_MESSAGES = "usr/lib/libreoffice/program/resource"
# corpus: (the prefixes of the Unicode character names of its script's letters,
# [(a documentation package, the folder in it that holds the text)])
DOCUMENTS = {
    "greek": (("GREEK",), [("libreoffice-help-el", LIBREOFFICE_HELP)]),
    "arabic": (("ARABIC",), [("debian-handbook", f"{HANDBOOK}/ar-MA"),
                             ("libreoffice-l10n-ar", f"{LIBREOFFICE_MESSAGES}/ar")]),
    "devanagari": (("DEVANAGARI",), [("libreoffice-l10n-hi", f"{LIBREOFFICE_MESSAGES}/hi"),
                                     ("libreoffice-help-hi", LIBREOFFICE_HELP)]),
    "cjk": (("CJK", "HIRAGANA", "KATAKANA"), [("libreoffice-help-ja", LIBREOFFICE_HELP),
                                              ("debian-handbook", f"{HANDBOOK}/ja-JP")]),
}
# Corpora made from another one, in the order they are built.
DERIVED = {"ascii": "english", "emoji": "ascii"}
CORPORA = [*FORTUNE_DIRS, *DOCUMENTS, *DERIVED]
MIB = 1024 * 1024


@dataclass(frozen=True)
class Script:
    corpus: str
    title: str
    word: str    # common in the corpus: the searches that find something
    absent: str  # in the same script, but never in the corpus


# The texts that every script-wide workload runs on, plain ASCII first as the reference.
SCRIPTS = {script.corpus: script for script in (
    Script("ascii", "ASCII (English)", "the", "nevermatches"),
    Script("german", "Latin, accents (German)", "für", "nimmerfündig"),
    Script("cyrillic", "Cyrillic (Russian)", "что", "никогданевстречается"),
    Script("greek", "Greek", "της", "ποτέδενεμφανίζεται"),
    Script("arabic", "Arabic", "التي", "لايظهرأبدا"),
    Script("devanagari", "Devanagari (Hindi)", "में", "कभीनहींमिलता"),
    Script("cjk", "CJK (Japanese)", "ファイル", "決して現れない言葉"),
    Script("emoji", "Emoji in English", "the", "never🙃matches"),
)}
EMOJI_EVERY = 10  # words, on average
FUZZY_PIECE = 12  # code points


def corpus_path(name: str) -> Path:
    if name not in CORPORA:
        raise ValueError(f"no corpus for {name!r}; known: {', '.join(CORPORA)}")
    return DATA_DIR / f"{name}.txt"


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


class PageText(html.parser.HTMLParser):
    """The prose of an HTML page, one line per block: no page furniture, no code."""
    SKIPPED = {"head", "script", "style", "header", "footer", "nav", "aside", "pre", "code"}
    BLOCKS = {"p", "div", "li", "td", "th", "dt", "dd", "h1", "h2", "h3", "h4", "h5", "h6", "br", "title"}

    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.pieces: list[str] = []
        self.skipping = 0

    def handle_starttag(self, tag: str, attrs: list) -> None:
        if tag in self.SKIPPED:
            self.skipping += 1
        elif tag in self.BLOCKS:
            self.pieces.append("\n")

    def handle_endtag(self, tag: str) -> None:
        if tag in self.SKIPPED:
            self.skipping = max(0, self.skipping - 1)
        elif tag in self.BLOCKS:
            self.pieces.append("\n")

    def handle_data(self, data: str) -> None:
        if not self.skipping:
            self.pieces.append(data)


def page_text(markup: str) -> str:
    parser = PageText()
    parser.feed(markup)
    parser.close()
    return "".join(parser.pieces)


def catalog_text(path: Path) -> str:
    """The translated messages of a compiled gettext catalog, without the
    accelerator marks ('~' and '_') that menus underline."""
    with path.open("rb") as stream:
        messages = gettext.GNUTranslations(stream)._catalog  # every message, plural forms included
    return "\n".join(message.replace("~", "").replace("_", "")
                     for key, message in messages.items() if key and isinstance(message, str))


def in_script(line: str, script: tuple[str, ...]) -> bool:
    """Whether at least half the line's letters belong to the script."""
    letters = [character for character in line if character.isalpha()]
    ours = sum(unicodedata.name(character, "").startswith(script) for character in letters)
    return bool(letters) and 2 * ours >= len(letters)


def script_lines(texts: list[str], script: tuple[str, ...]) -> str:
    kept: dict[str, None] = {}  # ordered and without repeats
    for text in texts:
        for line in text.splitlines():
            line = " ".join(line.split())
            if line and max(line) <= "\uffff" and in_script(line, script):
                kept.setdefault(line)
    return "".join(line + "\n" for line in kept)


def document_text(name: str) -> str:
    script, sources = DOCUMENTS[name]
    texts = []
    for package, folder in sources:
        root = PACKAGES_DIR / package / folder
        if not root.is_dir():
            raise SystemExit(f"{root} is missing: run bench/setup.sh")
        for path in sorted(root.rglob("*")):
            if path.suffix in (".html", ".xhtml"):
                texts.append(page_text(path.read_text(encoding="utf-8", errors="replace")))
            elif path.suffix == ".mo":
                texts.append(catalog_text(path))
    return script_lines(texts, script)


def with_emoji(text: str, every: int = EMOJI_EVERY, seed: int = 13) -> str:
    """The text with one emoji (from the faces, gestures and pictographs)
    after about one word in `every`."""
    emoji = [chr(code) for code in range(0x1F300, 0x1F650) if unicodedata.name(chr(code), "")]
    rng = random.Random(seed)
    lines = []
    for line in text.splitlines():
        words = line.split(" ")
        lines.append(" ".join(word + " " + rng.choice(emoji) if word and rng.randrange(every) == 0 else word
                              for word in words))
    return "".join(line + "\n" for line in lines)


def corpus_text(name: str) -> str:
    if name == "ascii":
        source = corpus_path("english").read_text(encoding="utf-8")
        return "".join(line for line in source.splitlines(keepends=True) if line.isascii())
    if name == "emoji":
        return with_emoji(corpus_path("ascii").read_text(encoding="utf-8"))
    if name in DOCUMENTS:
        return document_text(name)
    files = fortune_files(FORTUNE_DIRS[name])
    if not files:
        raise SystemExit(f"no fortune files in {FORTUNE_DIRS[name]}: run bench/setup.sh")
    # A stray byte that is not UTF-8 must not stop the build; the replacement
    # character it becomes is harmless in a benchmark text.
    parts = [strip_separators(path.read_text(encoding="utf-8", errors="replace")) for path in files]
    return "\n".join(part.rstrip("\n") for part in parts) + "\n"


def build_corpus(name: str) -> Path:
    text = corpus_text(name)
    if not text.strip():
        raise SystemExit(f"the {name} corpus came out empty: run bench/setup.sh again")
    target = corpus_path(name)
    DATA_DIR.mkdir(parents=True, exist_ok=True)
    partial = target.with_suffix(".tmp")
    partial.write_text(text, encoding="utf-8")
    partial.replace(target)  # never leave a half-written corpus behind
    read_corpus.cache_clear()
    return target


@functools.cache
def read_corpus(name: str) -> str:
    path = corpus_path(name)
    if not path.exists():
        raise FileNotFoundError(f"{path} is missing: run bench/setup.sh first")
    text = path.read_text(encoding="utf-8")
    if not text:
        raise ValueError(f"{path} is empty: rebuild it with bench/setup.sh")
    return text


def load_text(name: str, megabytes: float) -> str:
    """The corpus repeated and cut to exactly `megabytes` MiB of characters."""
    length = round(megabytes * MIB)
    if length < 0:
        raise ValueError("a text cannot have a negative size")
    corpus = read_corpus(name)
    copies = -(-length // len(corpus))  # ceiling division
    return (corpus * copies)[:length]


def fuzzy_pattern(text: str, length: int = FUZZY_PIECE) -> tuple[str, str]:
    """A piece of the text and the same piece with one letter replaced. The
    piece is the first one past the middle that starts a word and holds only
    letters, their marks and single spaces, and ends in a letter or mark: no
    line feed, nothing a window's trimming would take away, nothing a regular
    expression would read as an operator."""
    start = len(text) // 2
    while (start := text.find(" ", start) + 1) and start + length <= len(text):
        piece = text[start:start + length]
        if piece[0].isalpha() and piece[-1] != " " and "  " not in piece and all(
                character == " " or character.isalpha() or unicodedata.category(character).startswith("M")
                for character in piece):
            letters = [index for index, character in enumerate(piece) if character.isalpha()]
            index = min(letters, key=lambda i: abs(i - length // 2))
            original = piece[index]
            # The letter next in the code chart, so that the edit stays in the script.
            replacement = next(chr(code) for code in (ord(original) + 1, ord(original) - 1, ord("x"))
                               if chr(code).isalpha() and chr(code).lower() != original.lower())
            return piece, piece[:index] + replacement + piece[index + 1:]
    raise ValueError("no piece of the text fits a fuzzy pattern")


def describe(name: str) -> str:
    text = read_corpus(name)
    width = 1 if max(text) <= "\xff" else 2 if max(text) <= "\uffff" else 4
    line = f"{name}.txt: {len(text):,} code points, {width} byte(s) each"
    script = SCRIPTS.get(name)
    if script:
        piece, edited = fuzzy_pattern(text)
        line += (f"; {script.word!r} {text.count(script.word):,} times, {script.absent!r} "
                 f"{text.count(script.absent)} times; fuzzy {edited!r} for {piece!r}")
    return line


def main(argv: list[str]) -> int:
    if argv == ["packages"]:
        print(" ".join(sorted({package for _, sources in DOCUMENTS.values() for package, _ in sources})))
        return 0
    if argv[:1] != ["build"] or argv[1:] not in ([], ["--missing"]):
        print("usage: corpus.py build [--missing] | packages", file=sys.stderr)
        return 2
    for name in CORPORA:  # a derived corpus after its source
        if argv[1:] and corpus_path(name).exists():
            continue
        print(f"building bench/data/{name}.txt", file=sys.stderr, flush=True)
        build_corpus(name)
        print(f"  {describe(name)}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

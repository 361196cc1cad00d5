"""The typed search layer: a search described once, its results located in
the caller's text.

The module ``tessarin`` reports positions as code points of the folded text.
Folding keeps one code point for one except where lower-casing lengthens a
few (İ becomes i + U+0307). ``Search.find`` searches through the search
library (``tessarin_search``), which maps positions back in native code;
each result carries its line and column in the original text. ``locate``
does the same, in Python, for spans that the module's functions gave.

>>> search = build_search("colour", fuzzy=True)
>>> [(hit.line, hit.column, hit.text) for hit in search.find("a colour\\na color")]
[(1, 3, 'colour'), (2, 3, 'color')]
"""

from __future__ import annotations

import re
from bisect import bisect_right
from typing import TYPE_CHECKING, NamedTuple

from tessarin_cli.query import METRICS, STRATEGIES, Search, build_search

if TYPE_CHECKING:
    from tessarin_search import Match

__all__ = ["METRICS", "STRATEGIES", "FileResult", "Hit", "FoldedPositions", "Search", "build_search", "locate",
           "search_file"]


class Hit(NamedTuple):
    """One match, located in the original text (not the folded one).

    ``start`` and ``end`` are code-point offsets of the window as found (end
    exclusive); ``line`` and ``column`` (both from 1, the column in code
    points) are those of its first character that is not white space, the
    place a reader looks at. ``text`` is the window's original text.
    """
    line: int
    column: int
    start: int
    end: int
    score: float
    text: str
    line_text: str  # the line holding the first shown character, without its line ending


class FoldedPositions:
    """Maps code-point positions in the case-folded text back to the original.

    Folding turns every code point into exactly one, except that lower-casing
    turns a few into several (İ becomes i + U+0307). Final sigma is the only
    mapping that depends on context, and it is one code point either way, so
    how long a code point folds is read off str.lower() of it alone.
    """

    def __init__(self, text: str) -> None:
        self.folded_starts: list[int] = []
        self.original_starts: list[int] = []
        self.widths: list[int] = []
        self.shifts: list[int] = []  # extra code points so far
        if len(text.lower()) == len(text):  # lowering never shortens
            return
        lengthening = "".join(re.escape(c) for c in set(text) if len(c.lower()) > 1)
        shift = 0
        for found in re.finditer(f"[{lengthening}]", text):
            width = len(found.group().lower())
            self.folded_starts.append(found.start() + shift)
            self.original_starts.append(found.start())
            self.widths.append(width)
            shift += width - 1
            self.shifts.append(shift)

    def original(self, folded: int, is_end: bool = False) -> int:
        k = bisect_right(self.folded_starts, folded) - 1
        if k < 0:
            return folded
        inside = folded - self.folded_starts[k]
        if inside < self.widths[k]:
            # Within what one original code point became: a start takes the
            # whole code point, and so does an end that cuts into it.
            return self.original_starts[k] + (1 if is_end and inside else 0)
        return folded - self.shifts[k]


def hit_of(text: str, match: Match) -> Hit:
    """A match that the search library located in `text`, as a Hit: its line
    and column moved to the first character that is not white space."""
    start, end = match.start, match.end
    window = text[start:end]
    shown = start + len(window) - len(window.lstrip()) if window.strip() else start
    line, line_start = match.line, start - match.column + 1
    if shown > start:
        skipped = text[start:shown]
        feeds = skipped.count("\n")
        if feeds:
            line, line_start = line + feeds, start + skipped.rfind("\n") + 1
    line_end = text.find("\n", shown)
    line_text = text[line_start:len(text) if line_end < 0 else line_end].removesuffix("\r")
    return Hit(line, shown - line_start + 1, start, end, match.score, window, line_text)


def locate(text: str, spans: list[tuple[int, int, float]], ignore_case: bool) -> list[Hit]:
    """Turns the module's (start, end, score) spans into Hits in `text`."""
    if not spans:
        return []
    positions = FoldedPositions(text) if ignore_case else None
    line_feeds = [found.start() for found in re.finditer("\n", text)]
    hits = []
    for folded_start, folded_end, score in spans:
        start, end = folded_start, folded_end
        if positions:
            start, end = positions.original(start), positions.original(end, is_end=True)
        window = text[start:end]
        shown = start + len(window) - len(window.lstrip()) if window.strip() else start
        line_index = bisect_right(line_feeds, shown - 1)  # line feeds before the shown start
        line_start = line_feeds[line_index - 1] + 1 if line_index else 0
        line_end = line_feeds[line_index] if line_index < len(line_feeds) else len(text)
        line_text = text[line_start:line_end].removesuffix("\r")
        hits.append(Hit(line_index + 1, shown - line_start + 1, start, end, score, window, line_text))
    return hits




class FileResult(NamedTuple):
    """The matches of one file, or why it could not be searched."""
    path: str
    hits: list[Hit] = []
    error: str | None = None
    fatal: bool = False  # the search itself is unusable, not just this file


def search_file(search: Search, path: str, data: bytes | None = None) -> FileResult:
    """Searches one file (or the given bytes) as text; never raises for a bad file.

    Bytes that are not UTF-8 are read as U+FFFD, so the rest of the file is
    still searched.
    """
    try:
        if data is None:
            with open(path, "rb") as stream:
                data = stream.read()
        return FileResult(path, search.find(data.decode("utf-8", "replace")))
    except OSError as error:
        return FileResult(path, error=error.strerror or str(error))
    except BaseException as error:
        # The module's PanicException derives from BaseException and cannot
        # be imported by name, so it is recognised by its class name.
        if type(error).__name__ != "PanicException":
            raise
        return FileResult(path, error=str(error), fatal=True)

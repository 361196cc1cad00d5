"""tessarin: search files for a pattern, exactly or fuzzily, like grep.

Every match is printed as ``path:line:column: line``, where the column counts
code points from 1 and the line is the original line holding the match's
start. Exit status: 0 when something matched, 1 when nothing did, 2 on error.
"""

import argparse
import json
import os
import re
import sys
import time
from bisect import bisect_right
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass
from functools import partial
from typing import NamedTuple

import tessarin

METRICS = ("levenshtein", "damerau_levenshtein", "osa", "indel", "lcs_seq",
           "hamming", "jaro", "jaro_winkler", "prefix", "postfix")
STRATEGIES = ("best_match", "shortest", "longest", "minimum_isolated_character")
# Windows are compared trimmed but reported whole, so among equally good
# windows "shortest" drops the ones that carry a neighbouring space.
DEFAULT_FUZZY_STRATEGIES = ("best_match", "shortest")
DEFAULT_THRESHOLD = {1: 0.2, 0: 1.0}  # by threshold kind: normalized, absolute
STDIN_NAME = "-"
HIGHLIGHT, RESET = "\x1b[1;31m", "\x1b[0m"
MANY_FILES, LARGE_INPUT = 20, 8 * 1024 * 1024


class Hit(NamedTuple):
    """One match, located in the original text (not the folded one)."""
    line: int        # 1-based
    column: int      # 1-based, in code points
    start: int       # code-point offsets into the original text, end exclusive
    end: int
    score: float
    text: str        # the matched original text, line feeds included
    line_text: str   # the line holding the start, without its line ending


class FileResult(NamedTuple):
    path: str
    hits: list = []
    error: str | None = None
    fatal: bool = False  # the search itself is unusable, not just this file


class FoldedPositions:
    """Maps code-point positions in the case-folded text back to the original.

    Folding turns every code point into exactly one, except that lower-casing
    turns a few into several (İ becomes i + U+0307). Final sigma is the only
    mapping that depends on context, and it is one code point either way, so
    how long a code point folds is read off str.lower() of it alone.
    """

    def __init__(self, text):
        self.folded_starts, self.original_starts = [], []
        self.widths, self.shifts = [], []  # shifts: extra code points so far
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

    def original(self, folded, is_end=False):
        k = bisect_right(self.folded_starts, folded) - 1
        if k < 0:
            return folded
        inside = folded - self.folded_starts[k]
        if inside < self.widths[k]:
            # Within what one original code point became: a start takes the
            # whole code point, and so does an end that cuts into it.
            return self.original_starts[k] + (1 if is_end and inside else 0)
        return folded - self.shifts[k]


def locate(text, spans, ignore_case):
    """Turns (start, end, score) spans into the folded text into Hits."""
    if not spans:
        return []
    positions = FoldedPositions(text) if ignore_case else None
    line_feeds = [found.start() for found in re.finditer("\n", text)]
    hits = []
    for folded_start, folded_end, score in spans:
        start, end = folded_start, folded_end
        if positions:
            start, end = positions.original(start), positions.original(end, is_end=True)
        line_index = bisect_right(line_feeds, start - 1)  # line feeds before start
        line_start = line_feeds[line_index - 1] + 1 if line_index else 0
        line_end = line_feeds[line_index] if line_index < len(line_feeds) else len(text)
        line_text = text[line_start:line_end].removesuffix("\r")
        hits.append(Hit(line_index + 1, start - line_start + 1, start, end, score,
                        text[start:end], line_text))
    return hits


@dataclass(frozen=True)
class Search:
    pattern: str
    separator: str | None = None  # None: raw windows; else token windows
    ignore_case: bool = False
    ignore_accents: bool = False
    metric: str | None = None     # None: exact search
    threshold: float = 0.0
    threshold_kind: int = 1
    strategies: tuple = ()

    def spans(self, text):
        flags = (self.ignore_case, self.ignore_accents)
        strategies = list(self.strategies)
        if self.metric is None:
            if self.separator is None:
                return tessarin.exact_raw_extract(text, self.pattern, *flags, strategies)
            return tessarin.exact_token_extract(text, self.pattern, self.separator, *flags)
        fuzzy = (self.metric, self.threshold, self.threshold_kind, strategies)
        if self.separator is None:
            return tessarin.fuzzy_raw_extract(text, self.pattern, *flags, *fuzzy)
        return tessarin.fuzzy_token_extract(text, self.pattern, self.separator, *flags, *fuzzy)

    def find(self, text):
        return locate(text, self.spans(text), self.ignore_case)


def build_search(pattern, *, separator=None, ignore_case=False, ignore_accents=False,
                 fuzzy=False, metric=None, threshold=None, threshold_kind=None, strategies=None):
    """A Search with the command's defaults; ValueError for what cannot work."""
    fuzzy = fuzzy or metric is not None or threshold is not None or threshold_kind is not None
    if metric is not None and metric not in METRICS:
        raise ValueError(f"unknown metric {metric!r} (choose from {', '.join(METRICS)})")
    unknown = [name for name in strategies or () if name not in STRATEGIES]
    if unknown:
        raise ValueError(f"unknown strategy {unknown[0]!r} (choose from {', '.join(STRATEGIES)})")
    if strategies and separator is not None and not fuzzy:
        raise ValueError("exact token search reports every match; it takes no strategy")
    if threshold is not None and not threshold >= 0:  # NaN fails this too
        raise ValueError("the threshold must be a number of at least 0")
    if not fuzzy:
        return Search(pattern, separator, ignore_case, ignore_accents,
                      strategies=tuple(strategies or ()))
    kind = 1 if threshold_kind is None else threshold_kind
    return Search(pattern, separator, ignore_case, ignore_accents,
                  metric or "levenshtein", DEFAULT_THRESHOLD[kind] if threshold is None else threshold,
                  kind, tuple(strategies or DEFAULT_FUZZY_STRATEGIES))


def is_panic(error):
    # The module's PanicException derives from BaseException and cannot be
    # imported by name, so it is recognised by its class name.
    return type(error).__name__ == "PanicException"


def search_file(search, path, data=None):
    """Searches one file (or the given bytes); never raises for a bad file."""
    try:
        if data is None:
            with open(path, "rb") as stream:
                data = stream.read()
        return FileResult(path, search.find(data.decode("utf-8")))
    except OSError as error:
        return FileResult(path, error=error.strerror or str(error))
    except UnicodeDecodeError as error:
        return FileResult(path, error=f"not UTF-8 text (bad byte at offset {error.start})")
    except BaseException as error:
        if not is_panic(error):
            raise
        return FileResult(path, error=str(error), fatal=True)


class Progress:
    """A one-line bar on stderr, by bytes read, redrawn at most ten times a second."""

    def __init__(self, stream, sizes):
        self.stream = stream
        self.sizes = sizes if sum(sizes) else [1] * len(sizes)  # empty files: count files
        self.total = sum(self.sizes)
        self.done_files = self.done_bytes = 0
        self.drawn_at, self.shown = 0.0, False

    def advance(self):
        self.done_bytes += self.sizes[self.done_files]
        self.done_files += 1
        now = time.monotonic()
        if not self.shown or now - self.drawn_at >= 0.1 or self.done_files == len(self.sizes):
            self.drawn_at, self.shown = now, True
            filled = 30 * self.done_bytes // self.total
            self.stream.write(f"\r[{'#' * filled}{'.' * (30 - filled)}] "
                              f"{100 * self.done_bytes // self.total:3d}%  "
                              f"{self.done_files}/{len(self.sizes)} files")
            self.stream.flush()

    def clear(self):
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.shown = False


def file_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def format_hit(path, hit, color):
    line = hit.line_text
    if color:  # a match running past the line's end is lit to the end of the line
        a = hit.column - 1
        b = min(a + len(hit.text), len(line))
        line = f"{line[:a]}{HIGHLIGHT}{line[a:b]}{RESET}{line[b:]}"
    return f"{path}:{hit.line}:{hit.column}: {line}"


def format_json(path, hit):
    return json.dumps({"path": path, "line": hit.line, "column": hit.column, "start": hit.start,
                       "end": hit.end, "score": hit.score, "text": hit.text}, ensure_ascii=False)


def build_parser():
    parser = argparse.ArgumentParser(
        prog="tessarin", description="Search files for a pattern, exactly or fuzzily.",
        epilog="Exit status: 0 if something matched, 1 if nothing did, 2 on error.")
    parser.add_argument("pattern", help="the text to find")
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="files to search; standard input when none or '-'")
    parser.add_argument("-i", "--ignore-case", action="store_true",
                        help="fold case with full Unicode lower-casing")
    parser.add_argument("-a", "--ignore-accents", action="store_true",
                        help="fold à â ä ç è é ê ë ï ù û ü to plain letters, @ to a, € to e")
    parser.add_argument("-s", "--separator", metavar="SEP",
                        help="compare runs of tokens cut at SEP instead of raw windows")
    parser.add_argument("-f", "--fuzzy", action="store_true",
                        help="fuzzy search (implied by the next four options)")
    parser.add_argument("-m", "--metric", metavar="NAME",
                        help=f"distance metric (default levenshtein): {', '.join(METRICS)}")
    parser.add_argument("-t", "--threshold", type=float, metavar="X",
                        help="largest distance accepted (default 0.2 normalized, 1 absolute)")
    kind = parser.add_mutually_exclusive_group()
    kind.add_argument("--normalized", action="store_const", const=1, dest="threshold_kind",
                      help="the threshold is a distance in [0, 1] (default)")
    kind.add_argument("--absolute", action="store_const", const=0, dest="threshold_kind",
                      help="the threshold counts edits")
    parser.add_argument("--strategy", action="append", metavar="NAME",
                        help="tie-breaker among overlapping matches, repeatable "
                             f"(fuzzy default: best_match, shortest): {', '.join(STRATEGIES)}")
    parser.add_argument("--color", "--colour", choices=("auto", "always", "never"),
                        default="auto", help="highlight matches (auto: on a terminal)")
    parser.add_argument("--json", action="store_true",
                        help="print one JSON object per match, one per line")
    parser.add_argument("-j", "--jobs", type=int, default=1, metavar="N",
                        help="search files in N processes (0: one per CPU)")
    return parser


def search_all(search, paths, jobs, stdin):
    """Yields a FileResult per path, in the order of the paths."""
    data = [stdin.buffer.read() if path == STDIN_NAME else None for path in paths]
    if jobs == 1 or len(paths) < 2:
        yield from map(partial(search_file, search), paths, data)
        return
    with ProcessPoolExecutor(min(jobs, len(paths))) as pool:
        results = pool.map(partial(search_file, search), paths, data)
        try:
            yield from results
        finally:  # stopping early (a fatal error, ^C) drops the queued files
            pool.shutdown(wait=True, cancel_futures=True)


def run(argv, stdout, stderr, stdin):
    parser = build_parser()
    try:
        options = parser.parse_intermixed_args(argv)
        try:
            search = build_search(
                options.pattern, separator=options.separator, ignore_case=options.ignore_case,
                ignore_accents=options.ignore_accents, fuzzy=options.fuzzy,
                metric=options.metric, threshold=options.threshold,
                threshold_kind=options.threshold_kind, strategies=options.strategy)
        except ValueError as error:
            parser.error(str(error))
        if options.jobs < 0:
            parser.error("--jobs must be 0 or more")
    except SystemExit as exit:
        return exit.code
    paths = options.files or [STDIN_NAME]
    color = options.color == "always" or (
        options.color == "auto" and stdout.isatty() and not os.environ.get("NO_COLOR"))
    sizes = [0 if path == STDIN_NAME else file_size(path) for path in paths]
    progress = None
    if stderr.isatty() and (len(paths) > MANY_FILES or sum(sizes) > LARGE_INPUT):
        progress = Progress(stderr, sizes)
    matched = failed = False
    jobs = options.jobs or os.cpu_count() or 1
    try:
        for result in search_all(search, paths, jobs, stdin):
            if progress and (result.error or result.hits and stdout.isatty()):
                progress.clear()
            if result.fatal:
                print(f"tessarin: {result.error}", file=stderr)
                return 2
            if result.error:
                print(f"tessarin: {result.path}: {result.error}", file=stderr)
                failed = True
            for hit in result.hits:
                stdout.write((format_json(result.path, hit) if options.json
                              else format_hit(result.path, hit, color)) + "\n")
            matched = matched or bool(result.hits)
            if progress:
                stdout.flush()
                progress.advance()
    finally:
        if progress:
            progress.clear()
    return 2 if failed else 0 if matched else 1


def main(argv=None):
    try:
        return run(argv, sys.stdout, sys.stderr, sys.stdin)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader left (| head): send what is still buffered nowhere.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return 141

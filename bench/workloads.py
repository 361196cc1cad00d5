"""The benchmark workloads: what is timed, on which inputs, against which peers.

Each workload is one entry of WORKLOADS, numbered as in the table of targets.
A cell is one workload on one input (a size, and for some workloads a
variant such as the distance bound). run.py measures every cell in fresh
processes: `calls(cell)` builds the inputs there, before any timing, and
returns what to call, ours first and then the peers.

Workloads 1, 2, 3, 7, 10, 12 and 13 also have a script cell for each text of
corpus.SCRIPTS (17 has one for each metric and pattern), and SCRIPT_TARGETS
holds every script to the same targets; run.py closes with a table of them,
script by script, each script's worst cell of a workload.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, replace
from typing import Any, Callable, NamedTuple

import edlib
import regex
import tessarin
from fuzzysearch import find_near_matches
from rapidfuzz.distance import (
    OSA, DamerauLevenshtein, Hamming, Indel, Jaro, JaroWinkler, LCSseq, Levenshtein, Postfix, Prefix)
import tessarin_names

from corpus import SCRIPTS, fuzzy_pattern, load_text, read_corpus

KIB = 1 / 1024  # in MiB


class Call(NamedTuple):
    function: Callable[..., Any]
    args: tuple = ()
    kwargs: dict = {}


@dataclass(frozen=True)
class Cell:
    megabytes: float
    variant: str = ""    # what, besides the size, sets this cell apart
    option: Any = None   # the value behind the variant, for `calls`
    corpus: str = "english"  # the text of the English workloads: "english", or "ascii" (named in the variant)
    script: str | None = None  # set in the script cells, which every script has alike: the key of corpus.SCRIPTS

    @property
    def label(self) -> str:
        size = ""
        if self.megabytes >= 1:
            size = f"{self.megabytes:g} MiB"
        elif self.megabytes > 0:
            size = f"{self.megabytes * 1024:g} KiB"
        return ", ".join(part for part in (self.variant, size) if part)


@dataclass(frozen=True)
class Target:
    text: str
    # Judges the finished cells: (met, a short account of the worst case).
    judge: Callable[[list[dict]], tuple[bool, str]]
    # Which finished cells it judges, inside all_of.
    applies: Callable[[dict], bool] = lambda cell: True


@dataclass(frozen=True)
class Workload:
    number: int
    name: str
    title: str
    cells: tuple[Cell, ...]
    quick_cells: tuple[Cell, ...]
    calls: Callable[[Cell], dict[str, Call]]
    target: Target
    # "time": one call, in ms; "per_call": the mean of many calls, in ns;
    # "memory": peak memory of one call, in bytes per input character.
    measure: str = "time"
    notes: tuple[str, ...] = ()
    # Seconds after which one measuring process is given up (None: run.py's default).
    timeout: float | None = None


WORKLOADS: dict[str, Workload] = {}


def register(workload: Workload) -> None:
    if workload.name in WORKLOADS or any(w.number == workload.number for w in WORKLOADS.values()):
        raise ValueError(f"workload {workload.number} {workload.name!r} is registered twice")
    WORKLOADS[workload.name] = workload


# --- targets ----------------------------------------------------------------------

def ratio_target(text: str, limits: dict[str, float], below: tuple[str, ...] = ()) -> Target:
    """ours/peer at most the peer's limit in every cell (strictly below it for `below`)."""
    def judge(cells: list[dict]) -> tuple[bool, str]:
        met, worst = True, []
        for peer, limit in limits.items():
            ratios = [cell["ratio"][peer] for cell in cells if peer in cell.get("ratio", {})]
            if len(ratios) < len(cells):
                return False, "a cell could not be measured"
            met &= all(r < limit if peer in below else r <= limit for r in ratios)
            worst.append(f"{peer} {max(ratios):.3g}x")
        return met, "worst ours/peer: " + ", ".join(worst)
    return Target(text, judge)


def all_of(*targets: Target) -> Target:
    """Met when each target is met on the cells it applies to; a target with
    no such cell (left out by run.py --script) is passed over."""
    def judge(cells: list[dict]) -> tuple[bool, str]:
        verdicts = [target.judge(mine) for target in targets if (mine := [c for c in cells if target.applies(c)])]
        return all(met for met, _ in verdicts), "; ".join(detail for _, detail in verdicts)
    return Target("; ".join(target.text for target in targets), judge)


def on_english(target: Target) -> Target:
    return replace(target, applies=lambda cell: cell.get("script") is None)


def growth_target(limit: float) -> Target:
    def judge(cells: list[dict]) -> tuple[bool, str]:
        if any("error" in cell for cell in cells):
            return False, "a cell failed"
        growths = [cell["growth"] for cell in cells if cell.get("growth") is not None]
        if not growths:
            return False, "no doubling was measured"
        return max(growths) <= limit, f"worst growth {max(growths):.2f}x"
    return Target(f"each doubling of the input at most {limit:g}x slower", judge)


def ours_at_most(limit: float, unit: str, text: str) -> Target:
    """Our median at most `limit` in every cell (seconds, or bytes per character)."""
    def judge(cells: list[dict]) -> tuple[bool, str]:
        failed = [cell for cell in cells if "error" in cell]
        if failed:
            return False, f"{failed[0]['label']}: {failed[0]['error']}"
        worst = max(cell["median"]["ours"] for cell in cells)
        return worst <= limit, f"worst {worst:.3g} {unit}"
    return Target(text, judge)


# --- shared inputs and calls --------------------------------------------------------

# Common enough that the result list is large (some twelve thousand matches per
# MiB of English), so the cost of building results is part of what is measured.
COMMON_WORD = "the"
# Ten letters, common in English prose, with misspellings rare: result lists stay
# short, so the time is the scan itself.
FUZZY_WORD = "everything"
TWO_WORDS = "the world"
GERMAN_TWO_WORDS = "ist ein"
BEST = ["best_match"]


def cell_text(cell: Cell) -> str:
    return load_text(cell.corpus, cell.megabytes)


ASCII = "plain ASCII"


def both_corpora(*cells: Cell) -> tuple[Cell, ...]:
    """Each cell on the English text, then each on its plain ASCII lines."""
    return cells + tuple(Cell(cell.megabytes, ", ".join(filter(None, (cell.variant, ASCII))), cell.option, "ascii")
                         for cell in cells)


# --- every script alike ---------------------------------------------------------------------

SCRIPT_MEGABYTES = {False: 2, True: 0.25}  # by --quick
SCRIPT_MEMORY_MEGABYTES = {False: 8, True: 1}


def script_cells(megabytes: float, option: Any = None) -> tuple[Cell, ...]:
    return tuple(Cell(megabytes, script.title, option, name, name) for name, script in SCRIPTS.items())


def common_word(cell: Cell) -> str:
    return SCRIPTS[cell.script].word if cell.script else COMMON_WORD


@dataclass(frozen=True)
class ScriptTarget:
    """A target that every script is held to: ours over `peer` (or our own
    value, where `peer` is None) in the script cell of `workload`, on texts
    stored with one of `widths` bytes per code point."""
    column: str
    workload: str
    peer: str | None
    limit: float
    widths: tuple[int, ...] = (1, 2, 4)

    def judged(self) -> Target:
        on = "every script" if self.widths == (1, 2, 4) else f"{' or '.join(map(str, self.widths))}-byte text"
        if self.peer is None:
            target = ours_at_most(self.limit, "bytes per code point",
                                  f"at most {self.limit:g} bytes per code point on {on}")
        else:
            target = ratio_target(f"on {on}, ours/{self.peer} at most {self.limit:.3g}", {self.peer: self.limit})
        # A cell that failed has no width: it is judged, and fails.
        return replace(target, applies=lambda cell: cell.get("script") is not None
                       and cell.get("width", self.widths[0]) in self.widths)


SCRIPT_TARGETS = (
    ScriptTarget("absent", "absent_plain", "find", 2.0),
    ScriptTarget("absent, folded", "absent_folded", "lower", 1.5),
    ScriptTarget("word, folded", "exact_raw_folded", "re", 1.0),
    ScriptTarget("word", "exact_raw_plain", "find", 2.0),
    ScriptTarget("fuzzy k=1", "fuzzy_raw_absolute", "re", 5.0),
    ScriptTarget("token", "exact_token", "split", 0.5),
    ScriptTarget("token, fuzzy", "token_metrics", "loop", 1 / 30),
    ScriptTarget("memory, fuzzy", "peak_memory", None, 3.0, widths=(2,)),
)
SCRIPT_TARGET = {target.workload: target for target in SCRIPT_TARGETS}


def exact_raw_folded_call(text: str) -> Call:
    return Call(tessarin.exact_raw_extract, (text, COMMON_WORD, True, True, []))


def fuzzy_raw_absolute_call(text: str, k: int) -> Call:
    return Call(tessarin.fuzzy_raw_extract, (text, FUZZY_WORD, False, False, "levenshtein", k, 0, BEST))


def fuzzy_token_call(text: str) -> Call:
    return Call(tessarin.fuzzy_token_extract,
                (text, TWO_WORDS, " ", False, False, "levenshtein", 0.2, 1, BEST))


def best_match_per_group(candidates: list[tuple[int, int, float]]) -> list[tuple[int, int, float]]:
    """Our conflict solving with ["best_match"], for candidates in order of start:
    candidates that overlap or touch form a group, whose lowest score wins, the
    earliest on a tie."""
    kept: list[tuple[int, int, float]] = []
    group_end = -1
    for candidate in candidates:
        start, end, score = candidate
        if kept and start <= group_end:
            if score < kept[-1][2]:
                kept[-1] = candidate
            group_end = max(group_end, end)
        else:
            kept.append(candidate)
            group_end = end
    return kept


# --- 1, 2: exact extraction over raw text ---------------------------------------------

def regex_starts_lowered(text: str, word: str) -> list[int]:
    return [m.start() for m in re.finditer(re.escape(word), text.lower())]


def find_every_start(text: str, word: str) -> list[int]:
    starts = []
    position = text.find(word)
    while position != -1:
        starts.append(position)
        position = text.find(word, position + 1)
    return starts


def exact_raw_folded_calls(cell: Cell) -> dict[str, Call]:
    text, word = cell_text(cell), common_word(cell)
    return {"ours": Call(tessarin.exact_raw_extract, (text, word, True, True, [])),
            "re": Call(regex_starts_lowered, (text, word))}


def exact_raw_plain_calls(cell: Cell) -> dict[str, Call]:
    text, word = cell_text(cell), common_word(cell)
    return {"ours": Call(tessarin.exact_raw_extract, (text, word, False, False, [])),
            "find": Call(find_every_start, (text, word))}


SCRIPT_WORD_NOTE = "the script cells search each script's common word (listed at the start of the run)"

register(Workload(
    number=1, name="exact_raw_folded",
    title=f'exact_raw_extract, "{COMMON_WORD}" in English and a common word in each script, '
          'case and special-character folding on',
    cells=both_corpora(Cell(8)) + script_cells(SCRIPT_MEGABYTES[False]),
    quick_cells=both_corpora(Cell(1)) + script_cells(SCRIPT_MEGABYTES[True]),
    calls=exact_raw_folded_calls,
    target=ratio_target("ours/re at most 1.0 (stretch 0.5)", {"re": 1.0}),
    notes=("re: re.finditer over text.lower(), collecting match starts", SCRIPT_WORD_NOTE),
))

register(Workload(
    number=2, name="exact_raw_plain",
    title=f'exact_raw_extract, "{COMMON_WORD}" in English and a common word in each script, folding off',
    cells=both_corpora(Cell(8)) + script_cells(SCRIPT_MEGABYTES[False]),
    quick_cells=both_corpora(Cell(1)) + script_cells(SCRIPT_MEGABYTES[True]),
    calls=exact_raw_plain_calls,
    target=ratio_target("ours/find at most 2.0", {"find": 2.0}),
    notes=("find: a str.find loop collecting every start", SCRIPT_WORD_NOTE),
))


# --- 3, 4: fuzzy extraction over raw text, against fuzzy search libraries -------------------

def regex_fuzzy_spans(text: str, word: str, k: int) -> list[tuple[int, int]]:
    return [m.span() for m in regex.finditer(f"(?:{regex.escape(word)}){{e<={k}}}", text)]


def edlib_locations(text: str, word: str, k: int) -> list[tuple[int, int]]:
    return edlib.align(word, text, mode="HW", task="locations", k=k)["locations"]


def re_word_starts(text: str, word: str) -> list[int]:
    return [m.start() for m in re.finditer(re.escape(word), text)]


def fuzzy_peer_calls(text: str, k: int) -> dict[str, Call]:
    return {
        "fuzzysearch": Call(find_near_matches, (FUZZY_WORD, text), {"max_l_dist": k}),
        "regex": Call(regex_fuzzy_spans, (text, FUZZY_WORD, k)),
        "edlib": Call(edlib_locations, (text, FUZZY_WORD, k)),
        "re_word": Call(re_word_starts, (text, FUZZY_WORD)),
    }


FUZZY_PEER_TARGET = ratio_target(
    "ours/peer below 1.0 against fuzzysearch and regex, at most 3.0 against edlib",
    {"fuzzysearch": 1.0, "regex": 1.0, "edlib": 3.0}, below=("fuzzysearch", "regex"))
FUZZY_PEER_NOTES = (
    "the contenders differ in what they report, so their match counts differ:",
    "  ours: one best window per group of overlapping or touching accepted windows",
    "  fuzzysearch: find_near_matches(max_l_dist=k), overlapping matches merged, best kept",
    "  regex: finditer over (?:word){e<=k}, the first match found left to right, none overlapping",
    "  edlib: align(mode='HW', task='locations', k=k), only the locations at the lowest distance found",
    "  re_word: re.finditer of the exact word, no edits: the floor of a search, with no target",
)


def fuzzy_script_call(text: str, pattern: str) -> Call:
    return Call(tessarin.fuzzy_raw_extract, (text, pattern, False, False, "levenshtein", 1, 0, BEST))


def fuzzy_raw_absolute_calls(cell: Cell) -> dict[str, Call]:
    text = cell_text(cell)
    if cell.script:
        piece, edited = fuzzy_pattern(read_corpus(cell.corpus))
        return {"ours": fuzzy_script_call(text, edited), "re": Call(re_word_starts, (text, piece))}
    return {"ours": fuzzy_raw_absolute_call(text, cell.option), **fuzzy_peer_calls(text, cell.option)}


def fuzzy_raw_normalized_calls(cell: Cell) -> dict[str, Call]:
    text = cell_text(cell)
    ours = Call(tessarin.fuzzy_raw_extract, (text, FUZZY_WORD, False, False, "levenshtein", 0.2, 1, BEST))
    return {"ours": ours, **fuzzy_peer_calls(text, cell.option)}


register(Workload(
    number=3, name="fuzzy_raw_absolute",
    title=f'fuzzy_raw_extract, "{FUZZY_WORD}" in English, and a piece of each script\'s text with one letter '
          'replaced (k=1), levenshtein, absolute k, ["best_match"]',
    cells=both_corpora(Cell(1, "k=1", 1), Cell(1, "k=2", 2)) + script_cells(SCRIPT_MEGABYTES[False]),
    quick_cells=both_corpora(Cell(0.125, "k=1", 1), Cell(0.125, "k=2", 2)) + script_cells(SCRIPT_MEGABYTES[True]),
    calls=fuzzy_raw_absolute_calls,
    target=all_of(on_english(FUZZY_PEER_TARGET), SCRIPT_TARGET["fuzzy_raw_absolute"].judged()),
    notes=FUZZY_PEER_NOTES + (
        "the script cells search the 12 code points of their text listed at the start of the run,",
        "  one letter replaced; re: re.finditer of the piece as it stands in the text",),
))

register(Workload(
    number=4, name="fuzzy_raw_normalized",
    title=f'fuzzy_raw_extract, "{FUZZY_WORD}" in English, levenshtein, normalized 0.2 '
          '(windows of 8 to 12), ["best_match"]',
    cells=both_corpora(Cell(1, "0.2 (peers k=2)", 2)), quick_cells=both_corpora(Cell(0.125, "0.2 (peers k=2)", 2)),
    calls=fuzzy_raw_normalized_calls,
    target=FUZZY_PEER_TARGET,
    notes=("the peers run with k = trunc(10 x 0.2) = 2 edits",) + FUZZY_PEER_NOTES,
))


# --- 5, 6, 7: the same windows walked by a Python loop ---------------------------------------

def python_raw_windows(text: str, pattern: str, distance: Callable[[str, str], float],
                       threshold: float, slack: int) -> list[tuple[int, int, float]]:
    """Every window fuzzy_raw_extract tries, scored by `distance` and resolved alike."""
    folded = text.replace("\n", " ")
    n, m = len(folded), len(pattern)
    shrink = min(m - 1, slack)
    candidates = []
    for start in range(n):
        for length in range(m - shrink, m + slack + 1):
            end = min(start + length, n)
            score = distance(folded[start:end].strip(), pattern)
            if score <= threshold:
                candidates.append((start, end, score))
            if start + length >= n:
                break
    return best_match_per_group(candidates)


OTHER_METRICS = {  # our metric name: (normalized threshold, the rapidfuzz distance behind it)
    "jaro_winkler": (0.15, JaroWinkler.normalized_distance),
    "indel": (0.2, Indel.normalized_distance),
    "osa": (0.2, OSA.normalized_distance),
}


def other_metric_calls(cell: Cell) -> dict[str, Call]:
    text = cell_text(cell)
    metric = cell.option
    threshold, distance = OTHER_METRICS[metric]
    slack = int(len(FUZZY_WORD) * threshold)
    return {
        "ours": Call(tessarin.fuzzy_raw_extract, (text, FUZZY_WORD, False, False, metric, threshold, 1, BEST)),
        "loop": Call(python_raw_windows, (text, FUZZY_WORD, distance, threshold, slack)),
    }


register(Workload(
    number=5, name="fuzzy_raw_metrics",
    title=f'fuzzy_raw_extract, "{FUZZY_WORD}" in English, other metrics, normalized, ["best_match"]',
    cells=tuple(Cell(1, f"{metric} {threshold:g}", metric) for metric, (threshold, _) in OTHER_METRICS.items()),
    quick_cells=tuple(Cell(0.0625, f"{metric} {threshold:g}", metric)
                      for metric, (threshold, _) in OTHER_METRICS.items()),
    calls=other_metric_calls,
    target=ratio_target("ours/loop at most 1/50 (0.02)", {"loop": 1 / 50}),
    notes=("loop: a Python loop over the same windows (line feeds as spaces, each window stripped),",
           "  scoring each with rapidfuzz.distance (window first), then keeping the best of each group",
           "  of overlapping or touching accepted windows: the same result as ours"),
))


def python_token_windows(text: str, pattern: str, threshold: float) -> list[tuple[int, int, float]]:
    """Every two-token window fuzzy_token_extract tries with the separator ' ',
    scored by the normalized Levenshtein distance and resolved alike."""
    folded = text.replace("\n", " ")
    spans = [match.span() for match in re.finditer("[^ ]+", folded)]
    distance = Levenshtein.normalized_distance
    candidates = []
    for (start, _), (_, end) in zip(spans, spans[1:]):
        score = distance(folded[start:end].strip(), pattern)
        if score <= threshold:
            candidates.append((start, end, score))
    return best_match_per_group(candidates)


def fuzzy_token_calls(cell: Cell) -> dict[str, Call]:
    text = cell_text(cell)
    return {"ours": fuzzy_token_call(text), "loop": Call(python_token_windows, (text, TWO_WORDS, 0.2))}


register(Workload(
    number=6, name="fuzzy_token",
    title=f'fuzzy_token_extract, "{TWO_WORDS}" in English, separator " ", levenshtein, normalized 0.2, '
          '["best_match"]',
    cells=(Cell(1),), quick_cells=(Cell(0.125),),
    calls=fuzzy_token_calls,
    target=ratio_target("ours/loop at most 1/30 (0.033)", {"loop": 1 / 30}),
    notes=("loop: a Python loop over the same windows (tokens are the runs of non-spaces once line",
           "  feeds are spaces; a window spans two tokens and what lies between them), scoring each",
           "  with rapidfuzz Levenshtein.normalized_distance, then keeping the best of each group"),
))


def python_split_windows(text: str, pattern: str) -> list[int]:
    tokens = [token for token in text.replace("\n", " ").split(" ") if token]
    return [index for index, window in enumerate(zip(tokens, tokens[1:])) if " ".join(window) == pattern]


def python_split_matches(text: str, word: str) -> list[int]:
    return [index for index, token in enumerate(text.replace("\n", " ").split(" ")) if token == word]


def exact_token_calls(cell: Cell) -> dict[str, Call]:
    if cell.script:
        text, word = cell_text(cell), common_word(cell)
        return {"ours": Call(tessarin.exact_token_extract, (text, word, " ", False, False)),
                "split": Call(python_split_matches, (text, word))}
    text = load_text("german", cell.megabytes)
    return {"ours": Call(tessarin.exact_token_extract, (text, GERMAN_TWO_WORDS, " ", False, False)),
            "loop": Call(python_split_windows, (text, GERMAN_TWO_WORDS))}


register(Workload(
    number=7, name="exact_token",
    title=f'exact_token_extract, "{GERMAN_TWO_WORDS}" in German and a common word in each script, separator " ", '
          'folding off',
    cells=(Cell(8),) + script_cells(SCRIPT_MEGABYTES[False]),
    quick_cells=(Cell(1),) + script_cells(SCRIPT_MEGABYTES[True]),
    calls=exact_token_calls,
    target=all_of(on_english(ratio_target("ours/loop at most 1/10 (0.1)", {"loop": 1 / 10})),
                  SCRIPT_TARGET["exact_token"].judged()),
    notes=("the German text has accents, so it is not plain ASCII",
           "loop: str.split(' ') once line feeds are spaces, empty tokens dropped, then a loop over",
           "  pairs of neighbouring tokens joined by one space; it returns window numbers, not spans,",
           "  and sees two words apart by several spaces as a match, which ours does not",
           "split: str.split(' ') once line feeds are spaces, then a loop comparing each token with",
           "  the word, collecting token numbers", SCRIPT_WORD_NOTE),
))


# --- 8: the cost of one call on tiny inputs ----------------------------------------------

TINY_TEXT, TINY_PATTERN = "hello world", "world"
TINY_CALLS = {
    "exact_raw_extract": (TINY_TEXT, TINY_PATTERN, False, False, []),
    "exact_token_extract": (TINY_TEXT, TINY_PATTERN, " ", False, False),
    "fuzzy_raw_extract": (TINY_TEXT, TINY_PATTERN, False, False, "levenshtein", 1, 0, []),
    "fuzzy_token_extract": (TINY_TEXT, TINY_PATTERN, " ", False, False, "levenshtein", 1, 0, []),
}

register(Workload(
    number=8, name="tiny_calls",
    title=f"each function on '{TINY_TEXT}' and '{TINY_PATTERN}', ns per call",
    cells=tuple(Cell(0, name, name) for name in TINY_CALLS),
    quick_cells=tuple(Cell(0, name, name) for name in TINY_CALLS),
    calls=lambda cell: {"ours": Call(getattr(tessarin, cell.option), TINY_CALLS[cell.option]),
                        "rapidfuzz": Call(Levenshtein.distance, (TINY_TEXT, TINY_PATTERN))},
    target=ratio_target("ours/rapidfuzz at most 2.0", {"rapidfuzz": 2.0}),
    measure="per_call",
    notes=("rapidfuzz: rapidfuzz.distance.Levenshtein.distance('hello world', 'world')",
           "the mean of many calls in a loop, so the interpreter's cost of a call is included"),
))


# --- 9: scaling with the input's size -------------------------------------------------------

GROWTH_LIMIT = 2.3
SCALING = {  # variant: how workloads 1, 3 (k=1) and 6 call us
    "1 exact raw": exact_raw_folded_call,
    "3 fuzzy raw k=1": lambda text: fuzzy_raw_absolute_call(text, 1),
    "6 fuzzy token": fuzzy_token_call,
}

register(Workload(
    number=9, name="scaling",
    title="workloads 1, 3 (k=1) and 6 on growing English text, ours only",
    cells=both_corpora(*(Cell(size, variant, variant) for variant in SCALING for size in (1, 2, 4, 8, 16))),
    quick_cells=both_corpora(*(Cell(size, variant, variant)
                               for variant in SCALING for size in (0.125, 0.25, 0.5, 1, 2))),
    calls=lambda cell: {"ours": SCALING[cell.option](cell_text(cell))},
    target=growth_target(GROWTH_LIMIT),
    notes=("growth: this cell's time over that of the cell half its size",),
))


# --- 10: peak memory --------------------------------------------------------------------

def peak_memory_calls(cell: Cell) -> dict[str, Call]:
    text = cell_text(cell)
    if cell.script:
        return {"ours": fuzzy_script_call(text, fuzzy_pattern(read_corpus(cell.corpus))[1])}
    return {"ours": SCALING[cell.option](text)}


register(Workload(
    number=10, name="peak_memory",
    title="peak memory of workloads 1 and 3 (k=1) on English text, and of 3 on each script, "
          "bytes per input character",
    cells=both_corpora(Cell(64, "1 exact raw", "1 exact raw"), Cell(64, "3 fuzzy raw k=1", "3 fuzzy raw k=1"))
    + script_cells(SCRIPT_MEMORY_MEGABYTES[False]),
    quick_cells=both_corpora(Cell(8, "1 exact raw", "1 exact raw"), Cell(8, "3 fuzzy raw k=1", "3 fuzzy raw k=1"))
    + script_cells(SCRIPT_MEMORY_MEGABYTES[True]),
    calls=peak_memory_calls,
    target=all_of(ours_at_most(10, "bytes per character", "at most 10 bytes per input character"),
                  SCRIPT_TARGET["peak_memory"].judged()),
    measure="memory",
    notes=("the process's peak resident memory during one call, above its resident memory",
           "with the text built, divided by the text's length in characters",
           "the script cells: workload 3's script call"),
))


# --- 11: a long pattern ------------------------------------------------------------------

LONG_PATTERN_LENGTH = 200


def long_pattern_calls(cell: Cell) -> dict[str, Call]:
    text = cell_text(cell)
    middle = len(text) // 2
    pattern = text[middle:middle + LONG_PATTERN_LENGTH]  # it occurs, so the search ends with a hit
    return {"ours": Call(tessarin.fuzzy_raw_extract, (text, pattern, False, False, "levenshtein", 1.0, 1, BEST))}


register(Workload(
    number=11, name="long_pattern",
    title=f"fuzzy_raw_extract, a {LONG_PATTERN_LENGTH}-character piece of English, levenshtein, "
          "normalized 1.0 (windows of 73 to 327), [\"best_match\"]",
    cells=(Cell(100 * KIB),), quick_cells=(Cell(10 * KIB),),
    calls=long_pattern_calls,
    target=ours_at_most(1.0, "s", "under 1 second"),
    timeout=60,
    notes=("the pattern is the 200 characters in the middle of the text",),
))


# --- 12, 13: a pattern that never occurs: the fixed cost of a search ------------------------

ABSENT_WORD = "nevermatches"  # common first and last letters, but not in the text


def absent_calls(cell: Cell) -> dict[str, Call]:
    text = cell_text(cell)
    folded = cell.option
    word = SCRIPTS[cell.script].absent if cell.script else ABSENT_WORD
    ours = Call(tessarin.exact_raw_extract, (text, word, folded, folded, []))
    peer = {"lower": Call(text.lower)} if folded else {"find": Call(text.find, (word,))}
    return {"ours": ours, **peer}


SCRIPT_ABSENT_NOTE = "the script cells search a word of each script that never occurs (listed at the start of the run)"

register(Workload(
    number=12, name="absent_plain",
    title=f'exact_raw_extract, "{ABSENT_WORD}" (never occurs) in plain ASCII English, and a word in each script '
          'that never occurs, folding off',
    cells=(Cell(8, ASCII, False, "ascii"),) + script_cells(SCRIPT_MEGABYTES[False], False),
    quick_cells=(Cell(1, ASCII, False, "ascii"),) + script_cells(SCRIPT_MEGABYTES[True], False),
    calls=absent_calls,
    target=all_of(on_english(ratio_target("ours/find at most 1.2", {"find": 1.2})),
                  SCRIPT_TARGET["absent_plain"].judged()),
    notes=("find: one str.find of the word", SCRIPT_ABSENT_NOTE),
))

register(Workload(
    number=13, name="absent_folded",
    title=f'exact_raw_extract, "{ABSENT_WORD}" (never occurs) in plain ASCII English, and a word in each script '
          'that never occurs, both folding flags on',
    cells=(Cell(8, ASCII, True, "ascii"),) + script_cells(SCRIPT_MEGABYTES[False], True),
    quick_cells=(Cell(1, ASCII, True, "ascii"),) + script_cells(SCRIPT_MEGABYTES[True], True),
    calls=absent_calls,
    target=ratio_target("ours/lower at most 1.5", {"lower": 1.5}),
    notes=("lower: text.lower() alone, no search at all", SCRIPT_ABSENT_NOTE),
))


# --- 14, 15: long patterns without cliffs ----------------------------------------------------

CLIFF_GROWTH_LIMIT = 2.2
PERIODIC = "ab" * 16384


def english_piece(length: int, kib: float = 32) -> tuple[str, str]:
    text = load_text("english", kib * KIB)
    middle = len(text) // 2
    return text, text[middle:middle + length]


LONG_PATTERN_CASES = {  # variant: (text, pattern, metric, threshold, threshold kind)
    **{f"periodic m={m} k={k}": (lambda m=m: (PERIODIC, ("ab" * m)[:m]), k)
       for k in (0, 8) for m in (1024, 2048, 4096, 4097)},
    "a*2^20, a*1024 k=0": (lambda: ("a" * 2 ** 20, "a" * 1024), 0),
    **{f"English 32 KiB m={m} normalized 0.2": (lambda m=m: english_piece(m), 0.2) for m in (4096, 4097)},
    "padded: 1000 spaces + everything, 256 KiB": (
        lambda: (load_text("english", 256 * KIB), " " * 500 + FUZZY_WORD + " " * 500), 0.2),
}


def long_pattern_cliff_calls(cell: Cell) -> dict[str, Call]:
    make, threshold = LONG_PATTERN_CASES[cell.option]
    text, pattern = make()
    kind = 1 if isinstance(threshold, float) else 0
    calls = {"ours": Call(tessarin.fuzzy_raw_extract,
                          (text, pattern, False, False, "levenshtein", threshold, kind, BEST)),
             "exact": Call(tessarin.exact_raw_extract, (text, pattern, False, False, BEST))}
    if cell.option.startswith("padded"):
        calls["bare"] = Call(tessarin.fuzzy_raw_extract,
                             (text, FUZZY_WORD, False, False, "levenshtein", threshold, kind, BEST))
        del calls["exact"]
    return calls


def long_pattern_cliff_judge(cells: list[dict]) -> tuple[bool, str]:
    if any("error" in cell for cell in cells):
        return False, "a cell failed"
    ours = {cell["variant"]: cell["median"]["ours"] for cell in cells}
    exact_ratio = max(cell["ratio"]["exact"] for cell in cells if cell["variant"].endswith("k=0"))
    growth = max(ours[f"periodic m={2 * m} k={k}"] / ours[f"periodic m={m} k={k}"]
                 for k in (0, 8) for m in (1024, 2048))
    step = max(max(ours[a], ours[b]) / min(ours[a], ours[b]) for a, b in (
        ("periodic m=4096 k=0", "periodic m=4097 k=0"), ("periodic m=4096 k=8", "periodic m=4097 k=8"),
        ("English 32 KiB m=4096 normalized 0.2", "English 32 KiB m=4097 normalized 0.2")))
    met = exact_ratio <= 50 and growth <= CLIFF_GROWTH_LIMIT and step <= 1.5
    return met, (f"worst ours/exact at k=0 {exact_ratio:.3g}x, worst growth per pattern doubling "
                 f"{growth:.2f}x, worst 4096/4097 step {step:.2f}x")


register(Workload(
    number=14, name="long_pattern_cliffs",
    title='fuzzy_raw_extract with long patterns, levenshtein, ["best_match"]',
    cells=tuple(Cell(0, variant, variant) for variant in LONG_PATTERN_CASES),
    quick_cells=tuple(Cell(0, variant, variant) for variant in LONG_PATTERN_CASES
                      if not variant.startswith("English")),
    calls=long_pattern_cliff_calls,
    target=Target("at threshold 0 at most 50x exact_raw_extract; each pattern doubling at most "
                  f"{CLIFF_GROWTH_LIMIT:g}x slower; 4096 and 4097 within 1.5x", long_pattern_cliff_judge),
    timeout=600,
    notes=("exact: exact_raw_extract of the same pattern over the same text",
           "bare: the same call with the pattern without its spaces",
           "k: the absolute threshold; the periodic text is 'ab' * 16384"),
))


def long_pattern_metric_calls(cell: Cell) -> dict[str, Call]:
    text = cell_text(cell)
    middle = len(text) // 2
    pattern = text[middle:middle + LONG_PATTERN_LENGTH]
    return {"ours": Call(tessarin.fuzzy_raw_extract, (text, pattern, False, False, cell.option, 1.0, 1, BEST))}


def long_pattern_metric_judge(cells: list[dict]) -> tuple[bool, str]:
    failed = [cell for cell in cells if "error" in cell]
    if failed:
        return False, f"{failed[0]['label']}: {failed[0]['error']}"
    worst = {jaro: max((cell["median"]["ours"] for cell in cells if cell["variant"].startswith("jaro") == jaro),
                       default=0.0) for jaro in (False, True)}
    return worst[False] <= 2 and worst[True] <= 10, (f"worst {worst[False]:.3g} s (Jaro pair "
                                                     f"{worst[True]:.3g} s)")


register(Workload(
    number=15, name="long_pattern_metrics",
    title=f"workload 11 ({LONG_PATTERN_LENGTH}-character piece, normalized 1.0) with every metric",
    cells=tuple(Cell(100 * KIB, metric, metric) for metric in tessarin_names.METRICS),
    quick_cells=tuple(Cell(10 * KIB, metric, metric) for metric in tessarin_names.METRICS),
    calls=long_pattern_metric_calls,
    target=Target("under 2 s for every metric, under 10 s for the Jaro pair", long_pattern_metric_judge),
    timeout=600,
))


# --- 16: every metric as fast as levenshtein ---------------------------------------------------

COMMON_WORDS = ("the be to of and a in that have I it for not on with he as you do at").split()
RAPIDFUZZ_DISTANCES = {
    "levenshtein": Levenshtein, "damerau_levenshtein": DamerauLevenshtein, "osa": OSA, "indel": Indel,
    "lcs_seq": LCSseq, "hamming": Hamming, "jaro": Jaro, "jaro_winkler": JaroWinkler, "prefix": Prefix,
    "postfix": Postfix,
}


def common_words_text() -> str:
    """The 20 most common English words in a fixed random order, 2,000 characters."""
    import random
    rng = random.Random(13)
    words: list[str] = []
    while sum(len(word) + 1 for word in words) < 2000:
        words.append(rng.choice(COMMON_WORDS))
    return " ".join(words)[:2000]


def loop_distance(metric: str, normalized: bool) -> Callable[[str, str], float]:
    family = RAPIDFUZZ_DISTANCES[metric]
    if metric in ("jaro", "jaro_winkler"):
        return family.distance
    if metric == "hamming":
        def hamming(a: str, b: str) -> float:
            if len(a) != len(b):
                return 1.0 if normalized else float(max(len(a.encode()), len(b.encode())))
            return (family.normalized_distance if normalized else family.distance)(a, b, pad=False)
        return hamming
    return family.normalized_distance if normalized else family.distance


METRIC_CLIFF_PATTERNS = {"10 chars at 0.2": (10, 0.2), "65 chars at 0.5": (65, 0.5)}


def metric_cliff_calls(cell: Cell) -> dict[str, Call]:
    metric, source, pattern_case = cell.option
    text = common_words_text() if source == "common words" else load_text("english", 8 * KIB)
    length, threshold = METRIC_CLIFF_PATTERNS[pattern_case]
    middle = len(text) // 2
    pattern = text[middle:middle + length]
    return {
        "ours": Call(tessarin.fuzzy_raw_extract, (text, pattern, False, False, metric, threshold, 1, BEST)),
        "levenshtein": Call(tessarin.fuzzy_raw_extract,
                            (text, pattern, False, False, "levenshtein", threshold, 1, BEST)),
        "loop": Call(python_raw_windows, (text, pattern, loop_distance(metric, True), threshold,
                                          int(length * threshold))),
    }


METRIC_CLIFF_CELLS = tuple(Cell(0, f"{metric}, {source}, {case}", (metric, source, case))
                           for source in ("English 8 KiB", "common words") for case in METRIC_CLIFF_PATTERNS
                           for metric in tessarin_names.METRICS)

register(Workload(
    number=16, name="metric_cliffs",
    title='fuzzy_raw_extract with every metric on prose and on text of common words, normalized, ["best_match"]',
    cells=METRIC_CLIFF_CELLS,
    quick_cells=tuple(cell for cell in METRIC_CLIFF_CELLS if cell.option[1] == "common words"),
    calls=metric_cliff_calls,
    target=ratio_target("ours/loop at most 1/30, ours/levenshtein at most 10",
                        {"loop": 1 / 30, "levenshtein": 10}),
    timeout=600,
    notes=("loop: the Python loop of workload 5 over the same windows, with the same rapidfuzz distance",
           "levenshtein: our own call with the levenshtein metric on the same inputs",
           "the pattern is cut from the middle of the text"),
))


# --- 17: token windows with every metric -------------------------------------------------------

def python_word_windows(text: str, pattern: str, distance: Callable[[str, str], float],
                         threshold: float) -> list[tuple[int, int, float]]:
    """Every window of as many tokens as the pattern has, in a text of words with
    one space between them, scored by `distance` and resolved as
    fuzzy_token_extract(..., " ", ...) does."""
    size = len(pattern.split(" "))
    starts, ends, at = [], [], 0
    for token in text.split(" "):
        starts.append(at)
        ends.append(at + len(token))
        at += len(token) + 1
    candidates = []
    for first in range(len(starts) - size + 1):
        start, end = starts[first], ends[first + size - 1]
        score = distance(text[start:end], pattern)
        if score <= threshold:
            candidates.append((start, end, score))
    return best_match_per_group(candidates)


TOKEN_PATTERNS = {"3 words at 0.3": (3, 0.3), "12 words at 0.5": (12, 0.5)}


def token_metric_calls(cell: Cell) -> dict[str, Call]:
    metric, source, pattern_case = cell.option
    size, threshold = TOKEN_PATTERNS[pattern_case]
    # One space between words, so that every token is a word.
    if cell.script:
        words = cell_text(cell).split()
    else:
        words = (common_words_text() if source == "common words" else load_text("english", 8 * KIB)).split()
    text, pattern = " ".join(words), " ".join(words[len(words) // 2:len(words) // 2 + size])
    return {
        "ours": Call(tessarin.fuzzy_token_extract, (text, pattern, " ", False, False, metric, threshold, 1, BEST)),
        "levenshtein": Call(tessarin.fuzzy_token_extract,
                            (text, pattern, " ", False, False, "levenshtein", threshold, 1, BEST)),
        "loop": Call(python_word_windows, (text, pattern, loop_distance(metric, True), threshold)),
    }


TOKEN_METRIC_CELLS = tuple(Cell(0, f"{metric}, {source}, {case}", (metric, source, case))
                           for source in ("English 8 KiB", "common words") for case in TOKEN_PATTERNS
                           for metric in tessarin_names.METRICS)
# Each script's prose as well: its words, their lengths and how many letters
# they share with one another are what the floors work from.
TOKEN_METRIC_SCRIPT_CELLS = tuple(Cell(8 * KIB, f"{script.title}, {metric}, {case}", (metric, None, case), name, name)
                                  for name, script in SCRIPTS.items() for case in TOKEN_PATTERNS
                                  for metric in tessarin_names.METRICS)

register(Workload(
    number=17, name="token_metrics",
    title='fuzzy_token_extract, three and twelve words cut from the text, separator " ", every metric, normalized, '
          '["best_match"]',
    cells=TOKEN_METRIC_CELLS + TOKEN_METRIC_SCRIPT_CELLS,
    quick_cells=tuple(cell for cell in TOKEN_METRIC_CELLS if cell.option[1] == "common words"),
    calls=token_metric_calls,
    target=all_of(on_english(ratio_target("ours/loop at most 1/30 (0.033)", {"loop": 1 / 30})),
                  SCRIPT_TARGET["token_metrics"].judged()),
    timeout=600,
    notes=("loop: a Python loop over the same token windows with the same rapidfuzz distance",
           "levenshtein: our own call with the levenshtein metric on the same inputs",
           "the script cells: 8 KiB of each script's prose (the English cells above: of English prose),",
           "  its words joined by one space, the pattern cut from the middle (their worst cell is in the",
           "  table of targets by script)"),
))

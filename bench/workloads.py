"""The benchmark workloads: what is timed, on which inputs, against which peers.

Each workload is one entry of WORKLOADS. A cell is one workload at one input
size; run.py times every cell in a fresh process, so no cell inherits the
memory, caches or allocator state of another. Adding a workload means writing
a `prepare` that builds its inputs and the callables that consume them.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Any, Callable

import tessarin

from corpus import load_text


@dataclass(frozen=True)
class Workload:
    name: str
    title: str
    # Input sizes in MiB for the full run and for --quick. Consecutive sizes
    # that double let the report show how our time grows with the input.
    sizes: tuple[float, ...]
    quick_sizes: tuple[float, ...]
    # Builds the arguments of one cell before any timing starts.
    prepare: Callable[[float], tuple[Any, ...]]
    ours: Callable[..., Any]
    peers: dict[str, Callable[..., Any]]
    # How many matches a callable's result holds, to show that all sides
    # found (about) the same thing.
    count: Callable[[Any], int] = len
    # The largest slowdown of our time allowed per doubling of the input;
    # None where the input size does not double from cell to cell.
    growth_limit: float | None = 2.3
    notes: tuple[str, ...] = field(default=())


WORKLOADS: dict[str, Workload] = {}


def register(workload: Workload) -> None:
    if workload.name in WORKLOADS:
        raise ValueError(f"workload {workload.name!r} is registered twice")
    if "ours" in workload.peers:
        raise ValueError("'ours' names our own callable and cannot name a peer")
    WORKLOADS[workload.name] = workload


# --- exact extraction over raw text -------------------------------------------

# Common enough that the result list is large (some twelve thousand matches per
# MiB of English), so the cost of building results is part of what is measured.
COMMON_WORD = "the"
EXACT_SIZES = (1, 2, 4, 8)
EXACT_QUICK_SIZES = (0.125, 0.25, 0.5, 1)


def english_text_and_common_word(megabytes: float) -> tuple[str, str]:
    return load_text("english", megabytes), COMMON_WORD


def regex_starts_lowered(text: str, word: str) -> list[int]:
    return [m.start() for m in re.finditer(re.escape(word), text.lower())]


def find_every_start(text: str, word: str) -> list[int]:
    starts = []
    position = text.find(word)
    while position != -1:
        starts.append(position)
        position = text.find(word, position + 1)
    return starts


register(Workload(
    name="exact_raw_folded",
    title=f'exact_raw_extract, "{COMMON_WORD}" in English, case and special-character folding on',
    sizes=EXACT_SIZES,
    quick_sizes=EXACT_QUICK_SIZES,
    prepare=english_text_and_common_word,
    ours=lambda text, word: tessarin.exact_raw_extract(text, word, True, True, []),
    peers={"re": regex_starts_lowered},
    notes=("re: re.finditer over text.lower(), collecting match starts",),
))

register(Workload(
    name="exact_raw_plain",
    title=f'exact_raw_extract, "{COMMON_WORD}" in English, folding off',
    sizes=EXACT_SIZES,
    quick_sizes=EXACT_QUICK_SIZES,
    prepare=english_text_and_common_word,
    ours=lambda text, word: tessarin.exact_raw_extract(text, word, False, False, []),
    peers={"find": find_every_start},
    notes=("find: a str.find loop collecting every start",),
))


# --- fuzzy extraction ----------------------------------------------------------

# A ten-letter word that English prose holds often enough to be found, with
# misspellings of it rare; the result lists stay short, so the time is the
# scan itself.
FUZZY_WORD = "everything"
TWO_WORDS = "the world"
FUZZY_SIZES = (1,)
FUZZY_QUICK_SIZES = (0.125,)


def english_text_and(pattern: str) -> Callable[[float], tuple[str, str]]:
    return lambda megabytes: (load_text("english", megabytes), pattern)


register(Workload(
    name="fuzzy_raw_absolute",
    title=f'fuzzy_raw_extract, "{FUZZY_WORD}", levenshtein, absolute 1, ["best_match"]',
    sizes=FUZZY_SIZES,
    quick_sizes=FUZZY_QUICK_SIZES,
    prepare=english_text_and(FUZZY_WORD),
    ours=lambda text, word: tessarin.fuzzy_raw_extract(
        text, word, False, False, "levenshtein", 1, 0, ["best_match"]),
    peers={},
    growth_limit=None,
))

register(Workload(
    name="fuzzy_raw_normalized",
    title=f'fuzzy_raw_extract, "{FUZZY_WORD}", levenshtein, normalized 0.2, ["best_match"]',
    sizes=FUZZY_SIZES,
    quick_sizes=FUZZY_QUICK_SIZES,
    prepare=english_text_and(FUZZY_WORD),
    ours=lambda text, word: tessarin.fuzzy_raw_extract(
        text, word, False, False, "levenshtein", 0.2, 1, ["best_match"]),
    peers={},
    growth_limit=None,
))

register(Workload(
    name="fuzzy_token",
    title=f'fuzzy_token_extract, "{TWO_WORDS}", separator " ", levenshtein, normalized 0.2',
    sizes=FUZZY_SIZES,
    quick_sizes=FUZZY_QUICK_SIZES,
    prepare=english_text_and(TWO_WORDS),
    ours=lambda text, words: tessarin.fuzzy_token_extract(
        text, words, " ", False, False, "levenshtein", 0.2, 1, ["best_match"]),
    peers={},
    growth_limit=None,
))

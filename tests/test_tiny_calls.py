"""Calls on texts of a few dozen code points are served in place, apart from
the general path; both must give what the model gives. The cases sit around
the in-place path's limits: texts of 64 and 65 code points, patterns of 63 to
65, patterns longer than the text, windows at the edge of the bound that rules
them out, thresholds that rule out everything or nothing, Latin-1 white
space, folding that lowers a letter beyond ASCII (served by the general path)
or changes the length, astral code points, and every metric, threshold kind
and strategy list."""

import random

import pytest

import tessarin
import reference_model as model
from reference_model import outcome

METRICS = ["levenshtein", "osa", "damerau_levenshtein", "indel", "lcs_seq", "hamming", "prefix", "postfix",
           "jaro", "jaro_winkler"]
STRATEGY_LISTS = [[], ["best_match"], ["shortest"], ["longest", "best_match"], ["minimum_isolated_character"],
                  ["best_match", "minimum_isolated_character"], ["foo", "best_match"]]
# Latin-1 pieces (white space beyond ASCII among them) and a few wider ones.
PIECES = ["a", "b", "ab", " ", "  ", "\n", "\t", "\xa0", "\x85", "A", "@", "\xe9", "\xc9", "\xdf", "xy"]
WIDE_PIECES = ["\u0130", "\u20ac", "\U0001f600"]


def text_of(rng, length, wide):
    pieces = PIECES + (WIDE_PIECES if wide else [])
    text = ""
    while len(text) < length:
        text += rng.choice(pieces)
    return text[:length]


def calls(s, pattern, separator, ci, sci, metric, threshold, kind, strategies):
    return [
        ("exact_raw_extract", (s, pattern, ci, sci, strategies)),
        ("exact_token_extract", (s, pattern, separator, ci, sci)),
        ("fuzzy_raw_extract", (s, pattern, ci, sci, metric, threshold, kind, strategies)),
        ("fuzzy_token_extract", (s, pattern, separator, ci, sci, metric, threshold, kind, strategies)),
    ]


HAND_CASES = [
    # the benchmark's call, and its pattern found at the very end of 64 and 65 code points
    ("hello world", "world", " "),
    ("x" * 59 + "world", "world", " "),
    ("x" * 60 + "world", "world", " "),
    ("x" * 58 + " world", "world", " "),
    # a pattern longer than the text, with and without white space to spare
    ("ab", "ab  ", " "),
    ("ab", "abc", " "),
    # empty text, empty pattern, empty separator, a separator that overlaps itself
    ("", "a", " "),
    ("a b", "", " "),
    ("a b", "a", ""),
    ("ababa ab", "ab", "aba"),
    ("a----b", "a", "--"),
    # white space beyond ASCII, trimmed alike
    ("\xa0ab\x85 ab", "ab", "\x85"),
    # line feeds, folded to spaces with or without the flags
    ("a\nb a b", "a\nb", "\n"),
    # patterns of 63, 64 and 65 code points against texts of 64
    ("ab" * 32, "ba" * 31 + "b", " "),
    ("ab" * 31 + "a b", "ab" * 32, " "),
    ("ab" * 32, "ab" * 32 + "a", " "),
    # windows one shared code point short of passing, and just enough
    ("wrold world worl wor", "world", " "),
    # lower-casing beyond ASCII, or into two code points
    ("\xc9t\xc9 \xe9t\xe9", "\xe9t\xe9", " "),
    ("\u0130a a", "a", " "),
]


# Thresholds at which a window's bound meets the threshold exactly (1 of 5
# code points is 0.2), falls between two counts, none passes, or every one
# does.
THRESHOLDS = [(1, 0), (0.4, 1), (0.2, 1), (2, 0), (-1, 0), (float("inf"), 1), (float("nan"), 0), (1.5, 0),
              (-0.5, 0), (float("inf"), 0)]


def hand_cases():
    for s, pattern, separator in HAND_CASES:
        for ci in (False, True):
            for metric in METRICS:
                for i, (threshold, kind) in enumerate(THRESHOLDS):
                    strategies = ["best_match"] if i % 2 == 0 else []
                    yield s, pattern, separator, ci, ci != (i % 2 == 0), metric, threshold, kind, strategies


def random_cases(seed, count):
    rng = random.Random(seed)
    for _ in range(count):
        wide = rng.random() < 0.2
        s = text_of(rng, rng.choice([0, 1, 5, 12, 40, 63, 64, 65, 70]), wide)
        pattern = text_of(rng, rng.choice([0, 1, 3, 6]), wide)
        separator = rng.choice([" ", "", "a", "ab", "\xa0", "\n", "aba"])
        threshold, kind = rng.choice([(0, 0), (1, 0), (2, 0), (0.3, 1), (0.5, 1), (1.0, 1), (-1, 1)])
        yield (s, pattern, separator, rng.random() < 0.5, rng.random() < 0.5, rng.choice(METRICS), threshold, kind,
               rng.choice(STRATEGY_LISTS))


@pytest.mark.parametrize("cases", ["hand", 1, 2, 3])
def test_short_texts_match_the_model(cases):
    for case in hand_cases() if cases == "hand" else random_cases(cases, 300):
        for name, args in calls(*case):
            assert outcome(getattr(tessarin, name), *args) == outcome(getattr(model, name), *args), (name, args)

"""The extractors score most windows without a metric-library call per
window (a search over the whole text rules windows out, distances of all
window lengths come from one pass per start). These checks run them against
the reference model, which scores every window through rapidfuzz, on inputs
large enough to reach those paths: near-matches planted in longer texts,
patterns longer than one 64-bit block, windows with white space at the ends."""

import random

import pytest

import tessarin
from reference_model import fuzzy_raw_extract as model_fuzzy_raw

METRICS = ["levenshtein", "osa", "damerau_levenshtein", "indel", "lcs_seq", "hamming", "jaro", "jaro_winkler"]
STRATEGY_LISTS = [[], ["best_match"], ["longest"], ["shortest", "best_match"]]


def mutate(rng, word, edits, alphabet):
    chars = list(word)
    for _ in range(edits):
        kind = rng.randrange(3)
        position = rng.randrange(len(chars) + 1)
        if kind == 0 and chars:
            del chars[min(position, len(chars) - 1)]
        elif kind == 1:
            chars.insert(position, rng.choice(alphabet))
        elif chars:
            chars[min(position, len(chars) - 1)] = rng.choice(alphabet)
    return "".join(chars)


def planted_case(rng, pattern_length, text_length):
    alphabet = rng.choice(["ab ", "abcd  \t", "abcdefgh é\u00a0Σ", "xyz\u3000文字 "])
    pattern = "".join(rng.choice(alphabet) for _ in range(pattern_length))
    pieces = []
    while sum(map(len, pieces)) < text_length:
        if rng.random() < 0.3:
            pieces.append(mutate(rng, pattern, rng.randrange(4), alphabet))
        else:
            pieces.append("".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 12))))
    if rng.random() < 0.3:
        pattern = " " + pattern + "  "
    return "".join(pieces)[:text_length], pattern


@pytest.mark.parametrize("seed", range(60))
def test_fuzzy_raw_matches_the_model_on_planted_near_matches(seed):
    rng = random.Random(seed)
    metric = METRICS[seed % len(METRICS)] if seed % 2 else "levenshtein"
    pattern_length = rng.choice([1, 2, 5, 10, 40, 63, 64, 65, 100, 130])
    text, pattern = planted_case(rng, pattern_length, rng.randrange(50, 260))
    kind = rng.choice([0, 1])
    if kind == 0:
        threshold = float(rng.choice([0, 1, 2, 3, pattern_length // 4, pattern_length]))
    else:
        threshold = rng.choice([0.0, 0.05, 0.1, 0.2, 0.3, 1 / 3, 1.0])
    for strategies in STRATEGY_LISTS:
        args = (text, pattern, False, False, metric, threshold, kind, strategies)
        assert tessarin.fuzzy_raw_extract(*args) == model_fuzzy_raw(*args), (args,)

"""A slow, literal pure-Python model of the whole module, used as an oracle.

Every function follows the module's algorithm step by step, with no
shortcuts, so that a difference from the extension points at the extension.
Positions are code-point indices; Python strings index code points, so
`text[i]` is the code point at position i.  Matches are plain
(start, end, score) tuples, as the extension returns them.
"""

import math

from rapidfuzz.distance import (
    OSA,
    DamerauLevenshtein,
    Hamming,
    Indel,
    Jaro,
    JaroWinkler,
    LCSseq,
    Levenshtein,
    Postfix,
    Prefix,
)


class ModelPanic(Exception):
    """A condition that ends the whole call (the extension's PanicException)."""


def outcome(function, *args):
    """The result, or "panic" when the call panicked: the module's
    PanicException and the model's ModelPanic count alike."""
    try:
        return function(*args)
    except ModelPanic:
        return "panic"
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        return "panic"


# --- folding and code-point helpers -----------------------------------------

SPECIAL_CHARS = {
    "\u00e0": "a", "\u00e2": "a", "\u00e4": "a", "\u00e7": "c",
    "\u00e8": "e", "\u00e9": "e", "\u00ea": "e", "\u00eb": "e",
    "\u00ef": "i", "\u00f9": "u", "\u00fb": "u", "\u00fc": "u",
    "\u0040": "a", "\u20ac": "e",
}

WHITE_SPACE = frozenset(
    [chr(c) for c in range(0x09, 0x0E)]
    + ["\u0020", "\u0085", "\u00a0", "\u1680"]
    + [chr(c) for c in range(0x2000, 0x200B)]
    + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
)
assert len(WHITE_SPACE) == 25


def normalize(text, case_insensitive, special_char_insensitive):
    text = text.replace("\n", " ")
    if case_insensitive:
        # str.lower is the full default mapping, Final_Sigma included, with
        # no locale rules.
        text = text.lower()
    if special_char_insensitive:
        text = "".join(SPECIAL_CHARS.get(c, c) for c in text)
    return text


def char_slice(text, start, count):
    return text[start:start + count]


def trim_whitespace(text):
    begin, end = 0, len(text)
    while begin < end and text[begin] in WHITE_SPACE:
        begin += 1
    while end > begin and text[end - 1] in WHITE_SPACE:
        end -= 1
    return text[begin:end]


# --- tokenizer ---------------------------------------------------------------

def pattern_token_count(pattern, separator):
    if separator == "":
        pieces = [""] + list(pattern) + [""]
    else:
        pieces = pattern.split(separator)  # leftmost, non-overlapping
    return sum(1 for piece in pieces if piece != separator)


def tokenize(text, separator):
    n, k = len(text), len(separator)
    start = 0
    tokens = []
    for i in range(n + 1):
        if char_slice(text, i, k) != separator:
            continue
        if i + k == start + 1:
            start = i + k
        elif i >= start:
            tokens.append((start, i))
            start = i + k
        # else: an occurrence overlapping the previous one by a larger shift
        # is ignored, as an ordinary left-to-right split would ignore it.
    if start != n:
        tokens.append((start, n))
    return tokens


def token_windows(text, separator, size):
    """The (window text, start, end) triples of the walk, in order."""
    if size == 0:
        raise ModelPanic("a window of zero tokens cannot be addressed")
    tokens = tokenize(text, separator)
    windows = []
    index = 0
    while index + size <= len(tokens):
        first = tokens[index][0]
        last = tokens[index + size - 1][1]
        windows.append((char_slice(text, first, last - first), first, last))
        index += 1
    return windows


# --- comparator --------------------------------------------------------------

EDIT_METRICS = {
    "levenshtein": Levenshtein,
    "damerau_levenshtein": DamerauLevenshtein,
    "osa": OSA,
    "indel": Indel,
    "lcs_seq": LCSseq,
    "prefix": Prefix,
    "postfix": Postfix,
}


def compare(candidate, pattern, metric, threshold, threshold_kind):
    """Returns (accepted, score); threshold_kind 0 is absolute, else normalized."""
    normalized = threshold_kind != 0
    if metric in EDIT_METRICS:
        family = EDIT_METRICS[metric]
        if normalized:
            score = float(family.normalized_distance(candidate, pattern))
        else:
            score = float(family.distance(candidate, pattern))
    elif metric == "hamming":
        if len(candidate) != len(pattern):
            if normalized:
                score = 1.0
            else:
                score = float(max(len(candidate.encode()), len(pattern.encode())))
        elif normalized:
            score = float(Hamming.normalized_distance(candidate, pattern, pad=False))
        else:
            score = float(Hamming.distance(candidate, pattern, pad=False))
    elif metric == "jaro":
        score = float(Jaro.distance(candidate, pattern))
    elif metric == "jaro_winkler":
        score = float(JaroWinkler.distance(candidate, pattern, prefix_weight=0.1))
    else:
        raise ModelPanic("Invalid distance metric")
    return score <= threshold, score


# --- conflict solver -----------------------------------------------------------

def spans_conflict(a_start, a_end, b_start, b_end):
    return a_start <= b_end and b_start <= a_end


def isolated_character_count(text, start, end):
    if start >= end:
        return 0
    count = 0
    for p in range(start, end):
        left = p - 1 if p > start else p
        right = p + 1 if p < end - 1 else p
        if ((p == start and text[right] == " ")
                or (p == end - 1 and text[left] == " ")
                or (text[left] == " " and text[right] == " ")):
            count += 1
    return count


def solve_conflicts(text, matches, strategies):
    # Each group is [start, end, candidates]: neighbouring groups that
    # conflict merge until none do. A merge only widens a span, so a
    # conflict stays until its groups merge, and the order of the merges
    # cannot change the groups: merging each new group into the one before
    # it for as long as they conflict gives them in one pass.
    groups = []
    for m in matches:
        groups.append([m[0], m[1], [m]])
        while len(groups) >= 2 and spans_conflict(groups[-2][0], groups[-2][1], groups[-1][0], groups[-1][1]):
            a, b = groups[-2], groups.pop()
            a[0], a[1] = min(a[0], b[0]), max(a[1], b[1])
            a[2].extend(b[2])

    result = []
    for _, _, candidates in groups:
        remaining = list(candidates)
        for name in strategies:
            if len(remaining) < 2:
                break
            if name == "best_match":
                value, pick = (lambda m: m[2]), min  # scores are never NaN
            elif name == "shortest":
                value, pick = (lambda m: m[1] - m[0]), min
            elif name == "longest":
                value, pick = (lambda m: m[1] - m[0]), max
            elif name == "minimum_isolated_character":
                value, pick = (lambda m: isolated_character_count(text, m[0], m[1])), min
            else:
                remaining = remaining[:1]
                continue
            extreme = pick(value(m) for m in remaining)
            remaining = [m for m in remaining if value(m) == extreme]
        result.append(remaining[0])
    return result


# --- extractors -----------------------------------------------------------------

def exact_raw_extract(s, pattern, case_insensitive, special_char_insensitive, strategies):
    text = normalize(s, case_insensitive, special_char_insensitive)
    pattern = normalize(pattern, case_insensitive, special_char_insensitive)
    window_length = len(pattern)
    text_length = len(text)
    pattern = trim_whitespace(pattern)
    matches = []
    for i in range(text_length):
        if window_length == 0:
            break
        end = min(i + window_length, text_length)
        window = trim_whitespace(char_slice(text, i, end - i))
        if window.encode() == pattern.encode():
            matches.append((i, end, 0.0))
    return solve_conflicts(text, matches, strategies)


def exact_token_extract(s, pattern, tokenizer_pattern, case_insensitive,
                        special_char_insensitive):
    text = normalize(s, case_insensitive, special_char_insensitive)
    pattern = normalize(pattern, case_insensitive, special_char_insensitive)
    separator = normalize(tokenizer_pattern, case_insensitive, special_char_insensitive)
    size = pattern_token_count(pattern, separator)
    pattern = trim_whitespace(pattern)
    return [(start, end, 0.0)
            for window, start, end in token_windows(text, separator, size)
            if trim_whitespace(window) == pattern]


def window_slack(m, threshold, threshold_kind):
    """How many code points a window may be longer than the pattern."""
    if threshold_kind == 0:
        return 0
    product = m * threshold  # float64
    if math.isnan(product):
        return 0
    if product >= 127:
        return 127
    if product <= -128:
        return -128
    return math.trunc(product)


def fuzzy_raw_extract(s, pattern, case_insensitive, special_char_insensitive,
                      metric, threshold, threshold_kind, strategies):
    text = normalize(s, case_insensitive, special_char_insensitive)
    pattern = normalize(pattern, case_insensitive, special_char_insensitive)
    m = len(pattern)
    slack = window_slack(m, threshold, threshold_kind)
    n = len(text)
    pattern = trim_whitespace(pattern)
    matches = []
    if m > 0:
        shrink = min(m - 1, slack)
        # With a negative slack no window can be accepted; one window of the
        # pattern's length per start still lets a bad metric name surface.
        offsets = [0] if slack < 0 else range(-shrink, slack + 1)
        for start in range(n):
            for k in offsets:
                nominal_end = start + m + k
                end = min(nominal_end, n)
                candidate = trim_whitespace(char_slice(text, start, end - start))
                accepted, score = compare(candidate, pattern, metric, threshold,
                                          threshold_kind)
                if accepted:
                    matches.append((start, end, score))
                if nominal_end >= n:
                    break
    return solve_conflicts(text, matches, strategies)


def fuzzy_token_extract(s, pattern, tokenizer_pattern, case_insensitive,
                        special_char_insensitive, metric, threshold,
                        threshold_kind, strategies):
    text = normalize(s, case_insensitive, special_char_insensitive)
    pattern = normalize(pattern, case_insensitive, special_char_insensitive)
    separator = normalize(tokenizer_pattern, case_insensitive, special_char_insensitive)
    size = pattern_token_count(pattern, separator)
    pattern = trim_whitespace(pattern)
    matches = []
    for window, start, end in token_windows(text, separator, size):
        accepted, score = compare(trim_whitespace(window), pattern, metric,
                                  threshold, threshold_kind)
        if accepted:
            matches.append((start, end, score))
    return solve_conflicts(text, matches, strategies)

"""The fuzzy comparator and the two fuzzy extractors."""

import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from rapidfuzz.distance import (
    OSA, DamerauLevenshtein, Hamming, Indel, Jaro, JaroWinkler, LCSseq, Levenshtein, Postfix, Prefix)

import tessarin
import tessarin_names
import reference_model as model
from conftest import scaled

METRICS = list(tessarin_names.METRICS)
FAMILIES = {"levenshtein": Levenshtein, "damerau_levenshtein": DamerauLevenshtein, "osa": OSA,
            "indel": Indel, "lcs_seq": LCSseq, "hamming": Hamming, "prefix": Prefix, "postfix": Postfix}
STRATEGY_NAMES = ["best_match", "shortest", "longest", "minimum_isolated_character", "foo", ""]
WHITE_SPACE = "".join(model.WHITE_SPACE)


def rapidfuzz_score(candidate, pattern, metric, normalized):
    if metric == "jaro":
        return Jaro.distance(candidate, pattern)
    if metric == "jaro_winkler":
        return JaroWinkler.distance(candidate, pattern, prefix_weight=0.1)
    if metric == "hamming" and len(candidate) != len(pattern):
        # Unequal lengths never reach the library: whole mismatch, in bytes when absolute.
        return 1.0 if normalized else float(max(len(candidate.encode()), len(pattern.encode())))
    family = FAMILIES[metric]
    options = {"pad": False} if metric == "hamming" else {}
    measure = family.normalized_distance if normalized else family.distance
    return float(measure(candidate, pattern, **options))


def one_window(text, pattern, metric, threshold, kind):
    """Scores the whole text as one token: the separator occurs nowhere."""
    return tessarin.fuzzy_token_extract(text, pattern, "\x00", False, False, metric, threshold, kind, [])


def bits(matches):
    return [(start, end, struct.pack("<d", score)) for start, end, score in matches]


def outcome(function, *args):
    try:
        return bits(function(*args))
    except model.ModelPanic as panic:
        return ("panic", str(panic))
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        return ("panic", str(error))


# --- the comparator ------------------------------------------------------------

# White space (trimmed or not), accents, Greek, CJK and code points beyond the BMP.
COMPARATOR_ALPHABET = ("ab \t\n\u00a0\u3000\u2028\u200b" "\u00e9\u00c5\u00fc" "\u03a9\u03c3\u03c2\u03bb"
                       "\u4e2d\u6587" "\U0001F600\U0001D538\U00010348")


@settings(max_examples=scaled(500))
@given(text=st.text(alphabet=COMPARATOR_ALPHABET, min_size=1, max_size=64), data=st.data())
def test_comparator_agrees_with_rapidfuzz_bit_for_bit(text, data):
    # Half the patterns are the text with one stretch replaced, so scores spread out.
    def replace_stretch(edit):
        first, second, replacement = edit
        return (text[:min(first, second)] + replacement + text[max(first, second):])[:64]

    cut = st.integers(0, len(text))
    pattern = data.draw(st.one_of(
        st.text(alphabet=COMPARATOR_ALPHABET, max_size=64),
        st.tuples(cut, cut, st.text(alphabet=COMPARATOR_ALPHABET, max_size=4)).map(replace_stretch)))
    candidate = text.replace("\n", " ").strip(WHITE_SPACE)
    trimmed_pattern = pattern.replace("\n", " ").strip(WHITE_SPACE)
    for metric in METRICS:
        for kind in (0, 1, 200):
            expected = rapidfuzz_score(candidate, trimmed_pattern, metric, kind != 0)
            context = (metric, kind, candidate, trimmed_pattern)
            scored = one_window(text, pattern, metric, math.inf, kind)
            assert bits(scored) == bits([(0, len(text), expected)]), context
            # A score equal to the threshold passes; the next float below does not.
            assert one_window(text, pattern, metric, expected, kind) == [(0, len(text), expected)], context
            assert one_window(text, pattern, metric, math.nextafter(expected, -math.inf), kind) == [], context


@pytest.mark.parametrize("candidate, pattern, metric, kind, expected", [
    ("flaw", "lawn", "levenshtein", 0, 2.0),
    ("flaw", "lawn", "levenshtein", 1, 0.5),
    ("flaw", "lawn", "levenshtein", 200, 0.5),
    ("abc", "abd", "hamming", 0, 1.0),
    ("\u00e9\u00e9", "abc", "hamming", 0, 4.0),      # 4 bytes against 3
    ("\u00e9\u00e9", "abc", "hamming", 1, 1.0),
    ("table", "tabel", "jaro", 0, 1 / 15),
    ("table", "tabel", "jaro", 1, 1 / 15),
    ("table", "tabel", "jaro_winkler", 1, 0.7 / 15),  # three common leading code points at 0.1
    (" \u3000", "", "indel", 1, 0.0),               # both sides trim to empty
    ("abcx", "abcyz", "prefix", 0, 2.0),
    ("xyz", "ayz", "postfix", 0, 1.0),
])
def test_comparator_examples(candidate, pattern, metric, kind, expected):
    [(_, _, score)] = one_window(candidate, pattern, metric, math.inf, kind)
    assert score == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize("threshold, accepted", [
    (math.nan, False), (-0.0, True), (-1e-300, False), (-math.inf, False), (0.0, True)])
@pytest.mark.parametrize("kind", [0, 1])
def test_special_thresholds_against_a_zero_score(threshold, accepted, kind):
    assert one_window("ab", "ab", "jaro", threshold, kind) == ([(0, 2, 0.0)] if accepted else [])


# --- fuzzy raw extraction ---------------------------------------------------------

@pytest.mark.parametrize("text, pattern, metric, threshold, kind, strategies, expected", [
    # Windows of 3 to 5 code points; the finds are (6, 11, 0.2), (7, 11, 0.25), (8, 11, 0.25).
    ("hello world", "wrld", "levenshtein", 0.25, 1, ["best_match"], [(6, 11, 0.2)]),
    ("hello world", "wrld", "levenshtein", 0.25, 1, ["shortest"], [(8, 11, 0.25)]),
    # Absolute: only windows of the pattern's length, so 'world' is never tried.
    ("hello world", "wrld", "levenshtein", 1, 0, [], [(7, 11, 1.0)]),
    ("hello world", "wrld", "levenshtein", 1, 0, ["shortest"], [(8, 11, 1.0)]),
    # Finds (6, 10, 0.25), (7, 9, 1/3), (7, 10, 0.0), (8, 10, 1/3).
    ("xxxxxxxabc", "abc", "levenshtein", 0.34, 1, [], [(6, 10, 0.25)]),
    ("xxxxxxxabc", "abc", "levenshtein", 0.34, 1, ["best_match"], [(7, 10, 0.0)]),
    ("xxxxxxxabc", "abc", "levenshtein", 0.34, 1, ["shortest"], [(7, 9, 1 / 3)]),
    ("bcxyz", "abc", "levenshtein", 0.34, 1, [], [(0, 2, 1 / 3)]),
    # 3 x 0.3 is 0.8999999999999999 and truncates to no slack; 3 x 0.34 allows one.
    ("abcd", "abc", "levenshtein", 0.3, 1, ["longest"], [(0, 3, 0.0)]),
    ("abcd", "abc", "levenshtein", 0.34, 1, ["longest"], [(0, 4, 0.25)]),
    # 100 x 0.57 is 56.99999999999999: windows of 44 to 156 code points.
    ("a" * 157, "a" * 100, "levenshtein", 0.57, 1, [], [(0, 44, 0.56)]),
    ("a" * 157, "a" * 100, "levenshtein", 0.57, 1, ["longest"], [(0, 156, 56 / 156)]),
    # The slack saturates at 127: windows of 73 to 327 code points.
    ("a" * 330, "a" * 200, "prefix", 0.99, 1, [], [(0, 73, 127 / 200)]),
    ("a" * 330, "a" * 200, "prefix", 0.99, 1, ["longest"], [(0, 327, 127 / 327)]),
    ("a" * 10, "a", "levenshtein", 5, 1, ["longest"], [(0, 6, 5 / 6)]),
    ("a" * 10, "a", "levenshtein", 1e300, 1, ["longest"], [(0, 10, 0.9)]),
    ("a" * 10, "a", "levenshtein", math.inf, 1, ["longest"], [(0, 10, 0.9)]),
    ("a" * 10, "a", "levenshtein", math.inf, 0, ["longest"], [(0, 1, 0.0)]),
    # The pattern counts its blanks for the window length, then is trimmed.
    ("x ab y", " ab ", "levenshtein", 0, 0, [], [(1, 5, 0.0)]),
    # A blank window is compared as the empty string.
    ("  ", "ab", "indel", math.inf, 0, [], [(0, 2, 2.0)]),
    ("a   b", "  ", "levenshtein", 0, 0, [], [(1, 3, 0.0)]),
    # Thresholds that accept nothing: NaN, a negative one, and a slack below zero.
    ("abab", "ab", "levenshtein", math.nan, 1, [], []),
    ("abab", "ab", "levenshtein", -0.3, 1, [], []),
    ("abab", "ab", "levenshtein", -0.5, 1, [], []),
    ("abab", "ab", "levenshtein", -math.inf, 1, [], []),
    ("abab", "ab", "levenshtein", -0.0, 1, [], [(0, 2, 0.0)]),  # still takes an exact match
])
def test_fuzzy_raw_extract(text, pattern, metric, threshold, kind, strategies, expected):
    found = tessarin.fuzzy_raw_extract(text, pattern, False, False, metric, threshold, kind, strategies)
    assert bits(found) == bits(expected)


@pytest.mark.parametrize("function, args, fails", [
    (tessarin.fuzzy_raw_extract, ("", "ab"), False),
    (tessarin.fuzzy_raw_extract, ("ab", ""), False),
    (tessarin.fuzzy_raw_extract, ("ab", "b"), True),
    (tessarin.fuzzy_token_extract, ("", "a", " "), False),
    (tessarin.fuzzy_token_extract, ("   ", "a", " "), False),
    (tessarin.fuzzy_token_extract, ("a", "a b", " "), False),  # fewer tokens than pieces
    (tessarin.fuzzy_token_extract, ("a b", "a", " "), True),
])
@pytest.mark.parametrize("metric", ["Levenshtein", "levenshtein ", ""])
# A NaN threshold, and a slack below zero, still leave windows to compare.
@pytest.mark.parametrize("threshold, kind", [(0.5, 0), (math.nan, 1), (-math.inf, 1)])
def test_unknown_metric_fails_only_when_a_comparison_is_due(function, args, fails, metric, threshold, kind):
    expected = ("panic", "Invalid distance metric") if fails else []
    assert outcome(function, *args, False, False, metric, threshold, kind, []) == expected


# --- fuzzy token extraction ----------------------------------------------------------

@pytest.mark.parametrize("text, pattern, separator, metric, threshold, strategies, expected", [
    # Three windows, all accepted, overlap and form one group.
    ("x a b y", "p q", " ", "levenshtein", math.inf, [], [(0, 3, 2.0)]),
    ("x a b y", "a c", " ", "levenshtein", 1, ["best_match"], [(2, 5, 1.0)]),
    # The window ' b,c' is trimmed before the comparison but reported whole.
    ("a, b,c", "b,c", ",", "levenshtein", 0, [], [(2, 6, 0.0)]),
    ("a, b,c", "b, c", ",", "indel", 1, [], [(2, 6, 1.0)]),
    # An empty separator gives one empty window for a one-code-point pattern.
    ("hello", "x", "", "indel", math.inf, [], [(0, 0, 1.0)]),
    # Both blanks of the text stay in the window: one edit from 'a b'.
    ("x a  b y", "a b", " ", "levenshtein", 1, [], [(2, 6, 1.0)]),
])
def test_fuzzy_token_extract(text, pattern, separator, metric, threshold, strategies, expected):
    found = tessarin.fuzzy_token_extract(text, pattern, separator, False, False, metric, threshold, 0, strategies)
    assert bits(found) == bits(expected)


# --- against the model -------------------------------------------------------------

TEXT_ALPHABET = "ab c\n\t\u00c9\u00e9@,-"
thresholds = st.one_of(
    st.sampled_from([0.0, 0.25, 0.5, 1.0, 2.0, 0.34, -0.0, -0.5, math.nan, math.inf, -math.inf]),
    st.floats(-1, 3))
common_arguments = dict(
    text=st.text(alphabet=TEXT_ALPHABET, max_size=40), data=st.data(),
    ci=st.booleans(), sci=st.booleans(), metric=st.sampled_from(METRICS),
    threshold=thresholds, kind=st.sampled_from([0, 1, 200]),
    strategies=st.lists(st.sampled_from(STRATEGY_NAMES), max_size=3))


def draw_pattern(data, text):
    start = data.draw(st.integers(0, len(text)))
    return data.draw(st.one_of(st.text(alphabet=TEXT_ALPHABET, max_size=6),
                               st.integers(0, 7).map(lambda length: text[start:start + length])))


@settings(max_examples=scaled(400))
@given(**common_arguments)
def test_fuzzy_raw_extract_agrees_with_model(text, data, ci, sci, metric, threshold, kind, strategies):
    pattern = draw_pattern(data, text)
    # A group reports its first find unless told otherwise; "longest" shows
    # how far the windows reach.
    for chosen in (strategies, ["longest"]):
        args = (text, pattern, ci, sci, metric, threshold, kind, chosen)
        assert outcome(tessarin.fuzzy_raw_extract, *args) == outcome(model.fuzzy_raw_extract, *args)


@settings(max_examples=scaled(400))
@given(separator=st.sampled_from([" ", ",", "--", "aba", "", "@", "A", "c "]), **common_arguments)
def test_fuzzy_token_extract_agrees_with_model(text, data, separator, ci, sci, metric, threshold, kind, strategies):
    args = (text, draw_pattern(data, text), separator, ci, sci, metric, threshold, kind, strategies)
    got, expected = outcome(tessarin.fuzzy_token_extract, *args), outcome(model.fuzzy_token_extract, *args)
    if isinstance(expected, tuple):
        # Only a window of zero tokens panics here, and its wording is free.
        assert isinstance(got, tuple)
    else:
        assert got == expected

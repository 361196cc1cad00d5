"""Cutting the text into tokens at a literal separator, and exact token extraction."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessarin
import reference_model as model
from reference_model import outcome
from conftest import scaled


def tokens(text, separator, ci=False, sci=False):
    """The token spans of the folded text, read through one-token windows.

    A one-piece pattern makes every token a window of its own, and an infinite
    absolute threshold accepts each of them. Tokens never touch (a separator
    of at least one code point lies between two of them, and an empty
    separator yields a single token), so no conflict group merges two.
    """
    found = tessarin.fuzzy_token_extract(text, "q", separator, ci, sci, "levenshtein", math.inf, 0, [])
    return [(start, end) for start, end, _ in found]


@pytest.mark.parametrize("text, separator, flags, expected", [
    # One code point: runs of separators, and separators at either end, give no empty token.
    ("x a b y", " ", (), [(0, 1), (2, 3), (4, 5), (6, 7)]),
    (" a  b ", " ", (), [(1, 2), (4, 5)]),
    ("   ", " ", (), []),
    ("", " ", (), []),
    ("a, b,c", ",", (), [(0, 1), (2, 4), (5, 6)]),
    ("a b\nc", "\n", (), [(0, 1), (2, 3), (4, 5)]),  # line feeds fold to spaces, the separator too
    # Longer: empty tokens at the start and between adjacent occurrences, none at the end.
    ("--a", "--", (), [(0, 0), (2, 3)]),
    ("abxyxyc", "xy", (), [(0, 2), (4, 4), (6, 7)]),
    ("a--", "--", (), [(0, 1)]),
    ("a----b", "--", (), [(0, 1), (5, 6)]),          # overlapping occurrences record nothing inside the run
    ("a---b", "--", (), [(0, 1), (4, 5)]),
    # An occurrence that begins inside the previous one by more than one code
    # point is ignored, as a left-to-right split ignores it.
    ("ababa", "aba", (), [(0, 0), (3, 5)]),
    ("abababa", "aba", (), [(0, 0), (3, 4)]),
    ("ab", "abc", (), [(0, 2)]),                     # a separator longer than the text never matches
    # An empty separator leaves the single empty token at 0.
    ("hello", "", (), [(0, 0)]),
    ("", "", (), [(0, 0)]),
    # The separator is folded with the text.
    ("aBAb", "A", (), [(0, 2), (3, 4)]),
    ("aBAb", "A", ("ci",), [(1, 2), (3, 4)]),
    ("aXYbxyc", "xy", ("ci",), [(0, 1), (3, 4), (6, 7)]),
    ("\u0130a b", " ", ("ci",), [(0, 3), (4, 5)]),  # positions count the folded text's code points
    ("x@y", "@", (), [(0, 1), (2, 3)]),
    ("xay", "@", (), [(0, 3)]),
    ("x@y", "@", ("sci",), [(0, 1), (2, 3)]),
    ("xay", "@", ("sci",), [(0, 1), (2, 3)]),        # '@' folds to 'a', in the text as in the separator
])
def test_tokens(text, separator, flags, expected):
    assert tokens(text, separator, "ci" in flags, "sci" in flags) == expected


@pytest.mark.parametrize("text, pattern, separator, expected", [
    ("x a b y", "a b", " ", [(2, 5)]),
    ("x a b y", "x a", " ", [(0, 3)]),
    ("x a b y", "b y", " ", [(4, 7)]),
    ("x a b y", "x a b y", " ", [(0, 7)]),
    ("x a b y", "x a b y z", " ", []),              # more pieces than tokens: no window
    ("a a a", "a a", " ", [(0, 3), (2, 5)]),         # overlapping finds are all reported
    ("a, b,c", "b,c", ",", [(2, 6)]),                # the window ' b,c' is trimmed
    ("a, b,c", "b, c", ",", []),                     # inner white space must agree
    (" a ", "a", " ", [(1, 2)]),
    ("", "a", " ", []),
    ("a, ,b", "", ",", [(2, 3)]),                    # an empty pattern matches blank tokens
    ("x a  b y", "a b", " ", []),                    # the window keeps both blanks
    ("x a  b y", "a  b", " ", []),                   # three pieces, but 'a' and 'b' are two tokens
    ("x a b y", " a b ", " ", []),                   # four pieces despite the trim
    ("a\nb c", "a b", " ", [(0, 3)]),
    ("hello", " ", "", [(0, 0)]),                    # one piece per code point: one window, empty text
    ("hello", "h", "", []),
    ("a--b--c", "b--c", "--", [(3, 7)]),
    ("a----b", "a--b", "--", []),                    # the run does not split into an empty token
])
def test_exact_token_extract(text, pattern, separator, expected):
    found = tessarin.exact_token_extract(text, pattern, separator, False, False)
    assert found == [(start, end, 0.0) for start, end in expected]


@pytest.mark.parametrize("text, pattern, separator, ci, sci, expected", [
    ("xAyaZ", "z", "a", True, False, [(4, 5)]),
    ("x A y", "A Y", " ", True, False, [(2, 5)]),
    ("\u0130 b", "b", " ", True, False, [(3, 4)]),
    ("caf\u00e9 @ x", "cafe a", " ", False, True, [(0, 6)]),
    ("CAF\u00c9", "caf\u00e9", " ", False, True, []),  # upper-case É folds only after lower-casing
    ("CAF\u00c9", "cafe", " ", True, True, [(0, 4)]),
])
def test_exact_token_extract_folds_all_three_strings(text, pattern, separator, ci, sci, expected):
    found = tessarin.exact_token_extract(text, pattern, separator, ci, sci)
    assert found == [(start, end, 0.0) for start, end in expected]


@pytest.mark.parametrize("call", [
    lambda: tessarin.exact_token_extract("abc", "", "", False, False),
    lambda: tessarin.exact_token_extract("", "", "", True, True),
    # The window size is checked before any comparison could name the metric.
    lambda: tessarin.fuzzy_token_extract("abc", "", "", False, False, "nope", 1.0, 0, []),
])
def test_window_of_zero_tokens_panics(call):
    with pytest.raises(BaseException) as raised:
        call()
    panic_class = type(raised.value)
    assert f"{panic_class.__module__}.{panic_class.__qualname__}" == "pyo3_runtime.PanicException"
    assert str(raised.value) and str(raised.value) != "Invalid distance metric"


SEPARATORS = [" ", ",", "--", "aba", "xy", "", "@", "A"]
TEXT_ALPHABET = "ab, -xy@A\n\u00e9"


@settings(max_examples=scaled(400))
@given(text=st.text(alphabet=TEXT_ALPHABET, max_size=24),
       separator=st.sampled_from(SEPARATORS), data=st.data(),
       ci=st.booleans(), sci=st.booleans())
def test_exact_token_extract_agrees_with_model(text, separator, data, ci, sci):
    # Patterns cut from the text match far more often than random ones.
    start = data.draw(st.integers(0, len(text)))
    pattern = data.draw(st.one_of(st.text(alphabet=TEXT_ALPHABET, max_size=6),
                                  st.integers(0, 8).map(lambda length: text[start:start + length])))
    args = (text, pattern, separator, ci, sci)
    assert outcome(tessarin.exact_token_extract, *args) == outcome(model.exact_token_extract, *args)
    folded = model.normalize(text, ci, sci)
    assert tokens(text, separator, ci, sci) == model.tokenize(folded, model.normalize(separator, ci, sci))

"""Exact raw extraction and the conflict solver that reduces its finds."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessarin
import reference_model as model
from conftest import scaled

STRATEGY_NAMES = ["best_match", "shortest", "longest", "minimum_isolated_character"]


def spans(text, pattern, strategies=(), ci=False, sci=False):
    found = tessarin.exact_raw_extract(text, pattern, ci, sci, list(strategies))
    assert all(score == 0.0 for _, _, score in found)
    return [(start, end) for start, end, _ in found]


@pytest.mark.parametrize("text, pattern, expected", [
    ("", "a", []),
    ("abc", "", []),
    ("", "", []),
    ("aaa", "aa", [(0, 2)]),            # (0, 2) and (1, 3) overlap
    ("xab", "ab ", [(1, 3)]),           # last window cut short at the text end
    ("x ab", " ab", [(1, 4)]),          # (1, 4) and (2, 4) both match
    ("ab", "ab  ", [(0, 2)]),           # pattern longer than the text
    ("a  b", "a b", []),                # inner white space must agree
    ("a b", "a  b", []),
    ("abab", "ab", [(0, 2)]),           # touching finds form one group
    ("ab ab", "ab", [(0, 2), (3, 5)]),  # one code point apart: two groups
    ("ab  ab", "ab", [(0, 2), (4, 6)]),
    ("aaaaaaa", "aaa", [(0, 3)]),       # a chain of five is one group
    ("ab\u00a0ab", "ab", [(0, 2), (3, 5)]),
    ("\u00e9t\u00e9", "t", [(1, 2)]),
    ("a  b c", " ", [(1, 2), (4, 5)]),  # every blank is a find; touching ones group
    ("a\n\nb", "  ", [(1, 3)]),
])
def test_windows_and_grouping(text, pattern, expected):
    assert spans(text, pattern) == expected


# "x ab" with " ab": the finds (1, 4) and (2, 4) differ in length.
# "a  b  c" with "b  ": the finds (1, 4), (2, 5), (3, 6) cover '  b', ' b ',
# 'b  ', whose isolated-character counts are 2, 1 and 2.
@pytest.mark.parametrize("text, pattern, strategies, expected", [
    ("x ab", " ab", [], [(1, 4)]),
    ("x ab", " ab", ["shortest"], [(2, 4)]),
    ("x ab", " ab", ["longest"], [(1, 4)]),
    ("x ab", " ab", ["best_match", "shortest"], [(2, 4)]),
    ("x ab", " ab", ["shortest", "shortest"], [(2, 4)]),
    ("x ab", " ab", ["foo", "shortest"], [(1, 4)]),
    ("x ab", " ab", ["", "shortest"], [(1, 4)]),
    ("x ab", " ab", ["Shortest"], [(1, 4)]),
    ("x ab", " ab", ["shortest "], [(1, 4)]),
    ("x ab", " ab", ["Best_Match", "shortest"], [(1, 4)]),
    ("x ab", " ab", ["shortest", "foo"], [(2, 4)]),
    ("x ab", " ab", ["longest", "shortest"], [(1, 4)]),
    ("a  b  c", "b  ", [], [(1, 4)]),
    ("a  b  c", "b  ", ["minimum_isolated_character"], [(2, 5)]),
    ("a  b  c", "b  ", ["longest", "minimum_isolated_character"], [(2, 5)]),
    ("a  b  c", "b  ", ["shortest", "best_match"], [(1, 4)]),
    # Long lists: repeats change nothing, and a name after them still counts.
    ("a  b  c", "b  ", ["longest"] * 10 + ["minimum_isolated_character"], [(2, 5)]),
    ("a  b  c", "b  ", ["shortest", "shortest", "longest", "best_match", "best_match", "longest",
                        "minimum_isolated_character"], [(2, 5)]),
    # A single find is reported whatever the names say.
    ("xyz", "y", ["foo", "longest", ""], [(1, 2)]),
    # Strategies act per group: the second group has only one find.
    ("x ab z x ab", " ab", ["shortest"], [(1, 4), (9, 11)]),
])
def test_strategies(text, pattern, strategies, expected):
    assert spans(text, pattern, strategies) == expected


SMALL_ALPHABET = "ab \n\tÉé@\u00a0"
strategy_lists = st.lists(
    st.sampled_from(STRATEGY_NAMES + ["Best_Match", "", "foo"]), max_size=4)


@settings(max_examples=scaled(500))
@given(text=st.text(alphabet=SMALL_ALPHABET, max_size=30),
       pattern=st.text(alphabet=SMALL_ALPHABET, max_size=5),
       ci=st.booleans(), sci=st.booleans(), strategies=strategy_lists)
def test_exact_raw_agrees_with_model(text, pattern, ci, sci, strategies):
    assert (tessarin.exact_raw_extract(text, pattern, ci, sci, strategies)
            == model.exact_raw_extract(text, pattern, ci, sci, strategies))


def test_exact_raw_agrees_with_model_on_longer_texts():
    rng = random.Random(20240611)
    for _ in range(200):
        text = "".join(rng.choice("ab  \n") for _ in range(rng.randrange(60)))
        pattern = "".join(rng.choice("ab ") for _ in range(rng.randrange(1, 4)))
        strategies = rng.sample(STRATEGY_NAMES, rng.randrange(5))
        args = (text, pattern, False, False, strategies)
        assert tessarin.exact_raw_extract(*args) == model.exact_raw_extract(*args), args


# Scores differ only in fuzzy extraction; these pin the model's reading of
# the score-dependent rules that the cross-check below relies on.
@pytest.mark.parametrize("candidates, strategies, expected", [
    ([(0, 4, 2.0), (1, 3, 1.0)], ["longest", "best_match"], (0, 4, 2.0)),
    ([(0, 4, 2.0), (1, 3, 1.0)], ["best_match", "longest"], (1, 3, 1.0)),
    ([(0, 3, 1.0), (1, 3, 0.5), (2, 4, 0.5)], ["best_match"], (1, 3, 0.5)),
    ([(0, 3, 1.0), (1, 3, 0.5), (2, 4, 0.5)], ["foo", "best_match"], (0, 3, 1.0)),
    ([(0, 3, 1.0), (1, 3, 0.5), (2, 3, 0.5)], ["best_match", "shortest"], (2, 3, 0.5)),
])
def test_model_score_strategies(candidates, strategies, expected):
    assert model.solve_conflicts("abcd", candidates, strategies) == [expected]


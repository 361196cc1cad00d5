"""Hostile arguments: each gets the designed error or the right result, and
the interpreter goes on working afterwards."""
import math
import sys

import pytest
from rapidfuzz.distance import Indel, Levenshtein

import tessarin
import reference_model as model
from reference_model import outcome
from conftest import FUNCTION_NAMES, call, scaled, valid_arguments, with_parameter


@pytest.fixture(autouse=True)
def interpreter_still_works():
    yield
    assert tessarin.exact_raw_extract("abc", "b", False, False, []) == [(1, 2, 0.0)]


class Hostile(Exception):
    pass


class DeceivingStr(str):
    """Claims to be something else through every hook it can override."""

    def __str__(self):
        raise Hostile("__str__")

    def __eq__(self, other):
        raise Hostile("__eq__")

    def __hash__(self):
        raise Hostile("__hash__")

    def __len__(self):
        raise Hostile("__len__")

    def __iter__(self):
        raise Hostile("__iter__")

    def encode(self, *args, **kwargs):
        raise Hostile("encode")


STRING_PARAMETERS = ["s", "pattern", "tokenizer_pattern", "metric"]


@pytest.mark.parametrize("function_name", FUNCTION_NAMES)
def test_str_subclasses_are_read_for_their_own_text(function_name):
    plain = {"s": "x A@b y a@b", "pattern": "a@b", "tokenizer_pattern": " ", "metric": "levenshtein",
             "case_insensitive": True, "special_char_insensitive": True, "threshold": 1, "threshold_kind": 0,
             "strategies": ["best_match", "longest"]}
    plain = {name: plain[name] for name in valid_arguments(function_name)}
    deceiving = {name: DeceivingStr(value) if name in STRING_PARAMETERS else value for name, value in plain.items()}
    if "strategies" in plain:
        deceiving["strategies"] = [DeceivingStr(name) for name in plain["strategies"]]
    expected = getattr(tessarin, function_name)(**plain)
    assert expected
    assert getattr(tessarin, function_name)(**deceiving) == expected


class RaisingFloat:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class WrongFloat:
    def __float__(self):
        return "0.5"


class SizedItems:
    """A sequence that reports `length` (or fails to) and is read through
    __getitem__, which raises at `fail_at`."""

    def __init__(self, items, length=None, fail_at=None):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        if self.length is None:
            raise Hostile("__len__")
        return self.length

    def __getitem__(self, index):
        if index == self.fail_at:
            raise Hostile("__getitem__")
        return self.items[index]


class RaisingIter(list):
    def __iter__(self):
        raise Hostile("__iter__")


@pytest.mark.parametrize("function_name, parameter, value, error, message", [
    pytest.param(name, parameter, value, error, message, id=f"{name}-{case_id}")
    for case_id, parameter, value, error, message in [
        ("float-raises", "threshold", RaisingFloat(Hostile("float")), Hostile, "float"),
        ("float-keyboard-interrupt", "threshold", RaisingFloat(KeyboardInterrupt()), KeyboardInterrupt, ""),
        ("float-raises-type-error", "threshold", RaisingFloat(TypeError("bad float")), TypeError,
         "argument 'threshold': bad float"),
        ("float-not-float", "threshold", WrongFloat(), TypeError,
         "argument 'threshold': WrongFloat.__float__ returned non-float (type str)"),
        ("index-as-threshold-raises", "threshold", RaisingIndex(Hostile("index")), Hostile, "index"),
        ("index-raises", "threshold_kind", RaisingIndex(Hostile("index")), Hostile, "index"),
        ("kind-2**63", "threshold_kind", 2**63, OverflowError, "Python int too large to convert to C long"),
        ("kind--2**63", "threshold_kind", -2**63, OverflowError, "out of range integral type conversion attempted"),
        ("kind--2**63-1", "threshold_kind", -2**63 - 1, OverflowError, "Python int too large to convert to C long"),
        ("iter-raises", "strategies", RaisingIter(["shortest"]), Hostile, "__iter__"),
        ("getitem-raises", "strategies", SizedItems(["shortest", "longest"], fail_at=1), Hostile, "__getitem__"),
        ("iter-gives-a-non-str", "strategies", SizedItems(["shortest", 3], length=2), TypeError,
         "argument 'strategies': 'int' object cannot be converted to 'PyString'"),
    ] for name in with_parameter(parameter)
])
def test_raising_conversions_reach_the_caller(function_name, parameter, value, error, message):
    with pytest.raises(error) as raised:
        call(function_name, **{parameter: value})
    assert type(raised.value) is error and str(raised.value) == message


class GrowingStrategies(list):
    """Appends a name for every name it yields: the list grows while it is read."""

    def __iter__(self):
        index = 0
        while index < len(self) and index < 500:
            yield self[index]
            self.append("longest" if index % 2 else "best_match")
            index += 1


class ShrinkingStrategies(list):
    def __iter__(self):
        for name in self[:]:
            self.clear()
            yield name


@pytest.mark.parametrize("function_name", with_parameter("strategies"))
@pytest.mark.parametrize("make, read", [
    (lambda: GrowingStrategies(["shortest"]), lambda: ["shortest"] + ["best_match", "longest"] * 250),
    (lambda: ShrinkingStrategies(["shortest", "longest"]), lambda: ["shortest", "longest"]),
    # A size far beyond what iteration gives is only a hint.
    (lambda: SizedItems(["shortest", "longest"], length=sys.maxsize), lambda: ["shortest", "longest"]),
    (lambda: SizedItems(["shortest"], length=2**40), lambda: ["shortest"]),
    (lambda: SizedItems(["shortest"], length=0), lambda: ["shortest"]),
])
def test_strategies_are_what_iteration_gives(function_name, make, read):
    overrides = {"s": "xxxxxxxabc", "pattern": "abc", "threshold": 0.34, "threshold_kind": 1}
    overrides = {name: value for name, value in overrides.items() if name in valid_arguments(function_name)}
    assert call(function_name, **overrides, strategies=make()) == call(function_name, **overrides, strategies=read())


@pytest.mark.parametrize("function_name, parameter, value", [
    (name, parameter, value)
    for parameter in STRING_PARAMETERS + ["strategies"]
    for value in ["\ud800", "a\udfffb", "\ud83d\ude00"]  # the last is a pair of lone surrogates in a str
    for name in with_parameter(parameter)
])
def test_lone_surrogates_raise_the_interpreters_unicode_error(function_name, parameter, value):
    # Also after a name outside the table, which ends the strategies that
    # count but not the checking of the list.
    arguments = [["shortest", value], ["foo", value]] if parameter == "strategies" else [value]
    with pytest.raises(UnicodeEncodeError) as reference:
        value.encode("utf-8")
    for argument in arguments:
        with pytest.raises(UnicodeEncodeError) as raised:
            call(function_name, **{parameter: argument})
        assert str(raised.value) == str(reference.value)


@pytest.mark.parametrize("function_name", ["fuzzy_raw_extract", "fuzzy_token_extract"])
@pytest.mark.parametrize("threshold", [math.nan, math.inf, -math.inf, -0.0, 0.0, 5e-324, 1e308, -1e308])
@pytest.mark.parametrize("kind", [0, 1, 255])
def test_special_thresholds_agree_with_the_model(function_name, threshold, kind):
    args = ("ab ab-abc a", "ab", " ", False, False, "levenshtein", threshold, kind, ["longest"])
    if function_name == "fuzzy_raw_extract":
        args = args[:2] + args[3:]
    assert outcome(getattr(tessarin, function_name), *args) == outcome(getattr(model, function_name), *args)


LONG_PATTERN = ("abc" * 33334)[:100_000]


@pytest.mark.parametrize("function_name, overrides, expected", [
    ("exact_raw_extract", {"s": "x" + LONG_PATTERN + "y"}, [(1, 100_001, 0.0)]),
    ("exact_token_extract", {"s": "x " + LONG_PATTERN + " y"}, [(2, 100_002, 0.0)]),
    # Every window is a suffix of the text; the whole text is the closest.
    ("fuzzy_raw_extract", {"s": LONG_PATTERN[:20], "threshold": math.inf, "strategies": ["best_match"]},
     [(0, 20, 99_980.0)]),
    ("fuzzy_token_extract", {"s": LONG_PATTERN + " z"}, [(0, 100_000, 0.0)]),
])
def test_a_pattern_of_100000_characters(function_name, overrides, expected):
    assert call(function_name, pattern=LONG_PATTERN, **overrides) == expected


def test_a_text_of_100_megabytes():
    text = "ab" * scaled(50_000_000)
    assert tessarin.exact_raw_extract(text, "abc", False, False, []) == []


@pytest.fixture(scope="module")
def every_code_point():
    return "".join(map(chr, [*range(0xD800), *range(0xE000, 0x110000)]))


def test_every_code_point_as_text_and_pattern_of_the_exact_functions(every_code_point):
    text = every_code_point
    length = len(text)
    assert tessarin.exact_raw_extract(text, text, False, False, []) == [(0, length, 0.0)]
    # Lower-casing lengthens only U+0130, to i and a combining dot.
    assert tessarin.exact_raw_extract(text, text, True, True, ["minimum_isolated_character"]) == [
        (0, length + 1, 0.0)]
    assert tessarin.exact_token_extract(text, text, " ", False, True) == [(0, length, 0.0)]
    # The text has one 'abc', at the code points' own positions.
    assert tessarin.exact_raw_extract(text, "abc", False, False, []) == [(0x61, 0x64, 0.0)]


def test_every_code_point_as_text_and_pattern_of_the_fuzzy_functions(every_code_point):
    text = every_code_point
    assert tessarin.fuzzy_raw_extract(text, "abc", False, False, "levenshtein", 0, 0, []) == [(0x61, 0x64, 0.0)]
    tokens = text.replace("\n", " ").split(" ")  # the text holds one space and one line feed
    found = tessarin.fuzzy_token_extract(text, "abc", " ", False, False, "indel", math.inf, 0, [])
    assert [(start, end) for start, end, _ in found] == [(0, 10), (11, 32), (33, len(text))]
    assert [score for _, _, score in found] == [
        float(Indel.distance(model.trim_whitespace(token), "abc")) for token in tokens]
    # As the pattern: every window of the short text is far from it.
    folded = text.replace("\n", " ")
    expected = float(Levenshtein.distance("x abc y", folded))
    assert tessarin.fuzzy_raw_extract("x abc y", text, False, False, "levenshtein", math.inf, 0, []) == [
        (0, 7, expected)]
    assert tessarin.fuzzy_token_extract("x abc y", text, " ", True, True, "levenshtein", 0, 0, []) == []


@pytest.mark.parametrize("text", [" " * 40, "\u3000\t \u2028\u00a0" * 8, "\n" * 9, ",,,,,,", "------", ""])
@pytest.mark.parametrize("pattern, separator", [("a", " "), (" ", " "), ("  ", ","), (" a ", "--"), ("", "-")])
def test_texts_of_only_separators_or_white_space(text, pattern, separator):
    for function_name in FUNCTION_NAMES:
        args = {"s": text, "pattern": pattern, "tokenizer_pattern": separator, "case_insensitive": False,
                "special_char_insensitive": False, "metric": "indel", "threshold": 2, "threshold_kind": 0,
                "strategies": ["shortest"]}
        args = [args[name] for name in valid_arguments(function_name)]
        got = outcome(getattr(tessarin, function_name), *args)
        assert got == outcome(getattr(model, function_name), *args), function_name

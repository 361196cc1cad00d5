#!/usr/bin/env python3
"""Calls the four functions with arbitrary arguments, wrong types included.

A call may return a well-formed result or raise one of the designed errors:
TypeError, OverflowError, UnicodeEncodeError, PanicException, or the very
exception that a hostile argument raised. Anything else (SystemError, a
result of the wrong shape, a designed error where every argument was valid)
is a finding, and so is a crash. fuzz/run.sh runs it under the sanitizers.

The module is native code that this harness cannot see into; coverage comes
from the harness's own branches (which kinds of argument it built, which
outcome the call had), so that the corpus spreads over all of them.
"""
import math
import sys
from pathlib import Path

import atheris
import numpy as np

import tessarin

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
from tessarin_names import METRICS as KNOWN_METRICS, STRATEGIES as KNOWN_STRATEGIES  # noqa: E402

PARAMETERS = {
    "exact_raw_extract": ["s", "pattern", "case_insensitive", "special_char_insensitive", "strategies"],
    "exact_token_extract": ["s", "pattern", "tokenizer_pattern", "case_insensitive", "special_char_insensitive"],
    "fuzzy_raw_extract": ["s", "pattern", "case_insensitive", "special_char_insensitive", "metric", "threshold",
                          "threshold_kind", "strategies"],
    "fuzzy_token_extract": ["s", "pattern", "tokenizer_pattern", "case_insensitive", "special_char_insensitive",
                            "metric", "threshold", "threshold_kind", "strategies"],
}
FUNCTIONS = list(PARAMETERS)
METRICS = [*KNOWN_METRICS, "Levenshtein", ""]
STRATEGIES = [*KNOWN_STRATEGIES, "other"]
ALPHABET = "ab AB\n\t,-@\u00e9\u00c9\u20ac\u0130\u03a3\u3000\U0001F600"


class Hostile(Exception):
    """Raised by the hostile arguments; it must reach the caller unchanged."""


class StrSubclass(str):
    def __str__(self):
        raise Hostile("__str__")

    def __eq__(self, other):
        raise Hostile("__eq__")

    __hash__ = str.__hash__


class RaisingFloat:
    def __float__(self):
        raise Hostile("__float__")


class RaisingIndex:
    def __index__(self):
        raise Hostile("__index__")


class ValueFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class RaisingSequence:
    def __init__(self, items, fail_at):
        self.items, self.fail_at = items, fail_at

    def __len__(self):
        raise Hostile("__len__")

    def __getitem__(self, index):
        if index == self.fail_at:
            raise Hostile("__getitem__")
        return self.items[index]


class Valid:
    """Marks a value that the parameter accepts."""


@atheris.instrument_func
def text(fdp, limit=12):
    if fdp.ConsumeBool():
        return "".join(ALPHABET[fdp.ConsumeIntInRange(0, len(ALPHABET) - 1)]
                       for _ in range(fdp.ConsumeIntInRange(0, limit)))
    return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, limit))  # lone surrogates included


def has_surrogate(value):
    return any(0xD800 <= ord(c) <= 0xDFFF for c in value)


@atheris.instrument_func
def strategies(fdp):
    items = [STRATEGIES[fdp.ConsumeIntInRange(0, len(STRATEGIES) - 1)] for _ in range(fdp.ConsumeIntInRange(0, 3))]
    return items


@atheris.instrument_func
def wrong_value(fdp):
    """Something of the wrong type for most parameters."""
    choices = [None, 1, -1, 2**64, 1.5, math.nan, b"ab", bytearray(b"a"), ["a"], ("best_match",), {"a"},
               {"a": 1}, object(), RaisingFloat(), RaisingIndex(), np.int64(3), np.float32(0.5),
               RaisingSequence(["shortest"], fail_at=0), StrSubclass("ab"), np.bool_(True), [1, "a"]]
    return choices[fdp.ConsumeIntInRange(0, len(choices) - 1)]


@atheris.instrument_func
def value_for(parameter, fdp):
    """(value, valid): a fitting value most of the time, anything now and then."""
    if fdp.ConsumeIntInRange(0, 9) == 0:
        return wrong_value(fdp), None  # validity not judged
    if parameter in ("s", "pattern", "tokenizer_pattern"):
        value = text(fdp, 24 if parameter == "s" else 6)
        return value, not has_surrogate(value)
    if parameter == "metric":
        if fdp.ConsumeBool():
            return METRICS[fdp.ConsumeIntInRange(0, len(METRICS) - 1)], True
        value = text(fdp, 6)
        return value, not has_surrogate(value)
    if parameter in ("case_insensitive", "special_char_insensitive"):
        return [True, False, np.True_, np.False_][fdp.ConsumeIntInRange(0, 3)], True
    if parameter == "threshold":
        pick = fdp.ConsumeIntInRange(0, 3)
        value = fdp.ConsumeRegularFloat() if pick == 0 else fdp.ConsumeFloat() if pick == 1 else (
            ValueFloat(fdp.ConsumeProbability()) if pick == 2 else fdp.ConsumeIntInRange(-2, 3))
        return value, True
    if parameter == "threshold_kind":
        value = fdp.ConsumeIntInRange(-2, 258) if fdp.ConsumeBool() else fdp.ConsumeInt(9)
        return value, 0 <= value <= 255
    items = strategies(fdp)
    if fdp.ConsumeIntInRange(0, 4) == 0:
        items.append(text(fdp, 4))
    container = tuple(items) if fdp.ConsumeBool() else items
    return container, not any(has_surrogate(item) for item in items)


@atheris.instrument_func
def check_result(result):
    assert type(result) is list, result
    previous = -1
    for item in result:
        assert type(item) is tuple and len(item) == 3, item
        start, end, score = item
        assert type(start) is int and type(end) is int and type(score) is float, item
        assert 0 <= start <= end and start >= previous and score >= 0.0, result
        previous = start


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    name = FUNCTIONS[fdp.ConsumeIntInRange(0, 3)]
    parameters = PARAMETERS[name]
    values, validity = {}, {}
    for parameter in parameters:
        values[parameter], validity[parameter] = value_for(parameter, fdp)

    # Binding: mostly by position then by keyword; now and then too many,
    # too few, unknown or repeated arguments.
    split = fdp.ConsumeIntInRange(0, len(parameters))
    args = [values[p] for p in parameters[:split]]
    kwargs = {p: values[p] for p in parameters[split:]}
    binding_ok = True
    mangle = fdp.ConsumeIntInRange(0, 15)
    if mangle == 0:
        args.append("extra")
        binding_ok = False
    elif mangle == 1 and kwargs:
        kwargs.pop(next(iter(kwargs)))
        binding_ok = False
    elif mangle == 2:
        kwargs["S"] = "x"
        binding_ok = False
    elif mangle == 3 and args:
        kwargs[parameters[0]] = "x"
        binding_ok = False

    all_valid = binding_ok and all(validity.values())
    try:
        result = getattr(tessarin, name)(*args, **kwargs)
    except Hostile:
        assert not all_valid
        return
    except (TypeError, OverflowError, UnicodeEncodeError) as error:
        assert not all_valid, (name, args, kwargs, error)
        return
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        return
    check_result(result)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()

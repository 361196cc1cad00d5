"""Repeated calls on every success and error path leave nothing behind: no
Python objects, no references to the arguments, no native memory; and a call
whose Python allocations fail one by one only ever returns its result or
raises MemoryError."""
import gc
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tessarin
from conftest import FUNCTION_NAMES, UNDER_ADDRESS_SANITIZER, scaled, valid_arguments

# The sanitizers hold freed memory back for a while, so resident size says
# nothing under them.
# scripts/valgrind.sh runs this file with far fewer calls.
ROUNDS = int(os.environ.get("TESSARIN_LEAK_ROUNDS", scaled(2000)))


class RaisingFloat:
    def __float__(self):
        raise ValueError("no float")


class RaisingIndex:
    def __index__(self):
        raise ValueError("no index")


class FakeNumpyBool:
    """Passes for a NumPy boolean, whose truth value then fails."""

    def __bool__(self):
        raise ValueError("no truth")


FakeNumpyBool.__module__, FakeNumpyBool.__name__ = "numpy", "bool_"


class RaisingItems:
    """A sequence whose size query fails and whose second item raises."""

    def __len__(self):
        raise RuntimeError("no size")

    def __getitem__(self, index):
        if index == 1:
            raise ValueError("no item")
        return "shortest"


class SizelessStrategies:
    """A sequence whose size query fails; iteration gives two names."""

    def __len__(self):
        raise RuntimeError("no size")

    def __getitem__(self, index):
        return ["best_match", "minimum_isolated_character"][index]


def positional(arguments):
    return list(arguments.values()), {}


def by_keyword(arguments):
    return [], dict(arguments)


def too_many(arguments):
    return [*arguments.values(), None], {}


def unexpected_keyword(arguments):
    return list(arguments.values()), {"bogus": 1}


def repeated(arguments):
    return list(arguments.values()), {"s": "x"}


def missing(arguments):
    return list(arguments.values())[:-1], {}


SUCCESSES = [
    ({}, by_keyword),
    ({"case_insensitive": True, "special_char_insensitive": np.True_, "pattern": "\u00c7\u00e9 x"}, positional),
    ({"strategies": ["best_match", "shortest", "longest", "minimum_isolated_character", "other"]}, positional),
    ({"strategies": SizelessStrategies()}, positional),
    ({"metric": "jaro_winkler", "threshold": 0.5, "threshold_kind": 1}, positional),
    ({"metric": "hamming", "threshold": 3, "threshold_kind": 0}, positional),
]
BINDING_ERRORS = [too_many, unexpected_keyword, repeated, missing]
CONVERSION_ERRORS = [
    ("s", 5, TypeError), ("s", "x\ud800", UnicodeEncodeError), ("pattern", None, TypeError),
    ("tokenizer_pattern", b" ", TypeError), ("tokenizer_pattern", "\udfff", UnicodeEncodeError),
    ("case_insensitive", 1, TypeError), ("special_char_insensitive", FakeNumpyBool(), ValueError),
    ("metric", ["levenshtein"], TypeError), ("metric", "x\udfff", UnicodeEncodeError),
    ("threshold", "0.5", TypeError), ("threshold", RaisingFloat(), ValueError),
    ("threshold_kind", 1.0, TypeError), ("threshold_kind", 256, OverflowError),
    ("threshold_kind", 2**70, OverflowError), ("threshold_kind", RaisingIndex(), ValueError),
    ("strategies", "best_match", TypeError), ("strategies", {"best_match"}, TypeError),
    ("strategies", ["shortest", 1], TypeError), ("strategies", ["shortest", "\ud800"], UnicodeEncodeError),
    ("strategies", RaisingItems(), ValueError),
]
PANICS = [
    ("fuzzy_raw_extract", {"metric": "nope"}),
    ("fuzzy_token_extract", {"metric": "nope"}),
    ("exact_token_extract", {"pattern": "", "tokenizer_pattern": ""}),
    ("fuzzy_token_extract", {"pattern": "", "tokenizer_pattern": ""}),
]


def applies(function_name, overrides):
    return set(overrides) <= set(valid_arguments(function_name))


CASES = (
    [pytest.param(name, overrides, shape, None, id=f"{name}-ok{i}")
     for name in FUNCTION_NAMES for i, (overrides, shape) in enumerate(SUCCESSES) if applies(name, overrides)]
    + [pytest.param(name, {}, shape, TypeError, id=f"{name}-{shape.__name__}")
       for name in FUNCTION_NAMES for shape in BINDING_ERRORS]
    + [pytest.param(name, {parameter: value}, positional, error, id=f"{name}-{parameter}-{type(value).__name__}")
       for name in FUNCTION_NAMES for parameter, value, error in CONVERSION_ERRORS
       if applies(name, {parameter: value})]
    + [pytest.param(name, overrides, positional, BaseException, id=f"{name}-panic-{'-'.join(overrides)}")
       for name, overrides in PANICS]
)


def prepared(function_name, overrides, shape, text):
    arguments = {**valid_arguments(function_name), "s": text, **overrides}
    args, kwargs = shape(arguments)
    return getattr(tessarin, function_name), args, kwargs


def call_once(function, args, kwargs, error):
    """The result, or the type of the designed error."""
    if error is None:
        return function(*args, **kwargs)
    try:
        function(*args, **kwargs)
    except error as raised:
        assert error is not BaseException or type(raised).__name__ == "PanicException"
        return type(raised)
    pytest.fail("the call did not fail")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


SMALL_TEXT = "Ab\u00c7\u00e9 xb yb\nzb \u00c7\u00e9 x"
# About 100,000 code points, lower-cased, with nothing for the tokenizer
# to cut, so that even the fuzzy calls stay cheap.
LARGE_TEXT = "Ab\u00c7\u00e9xbyb" * 12500


@pytest.mark.parametrize("function_name, overrides, shape, error", CASES)
def test_repeated_calls_keep_no_python_objects_or_references(function_name, overrides, shape, error):
    function, args, kwargs = prepared(function_name, overrides, shape, SMALL_TEXT)
    arguments = [*args, *kwargs.values()]
    arguments += [item for value in arguments if type(value) in (list, tuple) for item in value]
    # The first calls create what lives on (the panic class, the type
    # attribute cache, free lists); after them nothing may accumulate.
    first = call_once(function, args, kwargs, error)
    for _ in range(ROUNDS // 10):
        call_once(function, args, kwargs, error)
    gc.collect()
    references = [sys.getrefcount(value) for value in arguments]
    # The count of blocks is the process's: another thread (pytest-xdist's
    # channel to its controller, for one) may allocate while the calls run.
    # A leak grows it in every round, so one round without growth clears it.
    allowed = max(ROUNDS // 20, 16)
    for _ in range(3):
        blocks = sys.getallocatedblocks()
        for _ in range(ROUNDS):
            assert call_once(function, args, kwargs, error) == first
        gc.collect()
        grown = sys.getallocatedblocks() - blocks
        if grown < allowed:
            break
    assert grown < allowed
    assert [sys.getrefcount(value) for value in arguments] == references


@pytest.mark.skipif(UNDER_ADDRESS_SANITIZER, reason="the sanitizers' quarantine keeps freed memory resident")
@pytest.mark.parametrize("function_name, overrides, shape, error", CASES)
def test_repeated_calls_keep_no_native_memory(function_name, overrides, shape, error):
    # Each call copies 120 KB of text into UTF-8 and folds it: one copy
    # left behind by every call adds up to twice the allowed growth.
    function, args, kwargs = prepared(function_name, overrides, shape, LARGE_TEXT)
    for _ in range(10):
        call_once(function, args, kwargs, error)
    resident = resident_bytes()
    for _ in range(max(ROUNDS // 50, 4)):
        call_once(function, args, kwargs, error)
    assert resident_bytes() - resident < 2 << 20


SWEEP = textwrap.dedent("""
    import sys, _testcapi
    sys.path.insert(0, sys.argv[1])
    import test_leaks

    def outcome(function, args, kwargs):
        try:
            return ("result", function(*args, **kwargs))
        except BaseException as error:
            return ("error", type(error), str(error) if type(error) is SystemError else None)

    def interpreter_fault(got):
        # The interpreter itself can lose the exception of a Python function
        # (a hostile argument's __float__, say) when an allocation fails;
        # only a built-in that did so would be this module's fault.
        return got[1] is SystemError and got[2].startswith("<function ")

    for case in test_leaks.CASES:
        function_name, overrides, shape, error = case.values
        function, args, kwargs = test_leaks.prepared(function_name, overrides, shape, test_leaks.SMALL_TEXT)
        expected = outcome(function, args, kwargs)
        for fail_all_after in (False, True):
            undisturbed = 0
            for first_failure in range(5000):
                _testcapi.set_nomemory(first_failure, 0 if fail_all_after else first_failure + 1)
                try:
                    got = outcome(function, args, kwargs)
                finally:
                    _testcapi.remove_mem_hooks()
                if got != expected and got != ("error", MemoryError, None) and not interpreter_fault(got):
                    print(case.id, first_failure, fail_all_after, got, flush=True)
                # Once failing every allocation from here on changes nothing,
                # the call makes no more allocations to fail.
                undisturbed = undisturbed + 1 if got == expected else 0
                if undisturbed == 50:
                    break
            else:
                print(case.id, "never finished", flush=True)
    print("swept", len(test_leaks.CASES))
""")


def test_failing_allocations_give_the_result_or_memory_error():
    finished = subprocess.run([sys.executable, "-c", SWEEP, os.path.dirname(__file__)],
                              capture_output=True, text=True, timeout=600)
    assert finished.returncode == 0, finished.stderr[-3000:]
    assert finished.stdout.splitlines() == [f"swept {len(CASES)}"]

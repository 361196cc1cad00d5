"""Helpers that several test modules share: the four functions, and one
valid, cheap argument list for each."""

import pathlib

import tessarin

# Under AddressSanitizer memory is kept aside after release, and running out
# of it ends the process: tests of memory use skip themselves there.
UNDER_ADDRESS_SANITIZER = "libasan" in pathlib.Path("/proc/self/maps").read_text()

FUNCTION_NAMES = ["exact_raw_extract", "exact_token_extract", "fuzzy_raw_extract", "fuzzy_token_extract"]


def valid_arguments(function_name):
    """One valid value per parameter, in parameter order; cheap to run."""
    common = {"s": "abcb", "pattern": "b"}
    token = {"tokenizer_pattern": " "}
    flags = {"case_insensitive": False, "special_char_insensitive": False}
    fuzzy = {"metric": "levenshtein", "threshold": 0.0, "threshold_kind": 0}
    return {
        "exact_raw_extract": {**common, **flags, "strategies": []},
        "exact_token_extract": {**common, **token, **flags},
        "fuzzy_raw_extract": {**common, **flags, **fuzzy, "strategies": []},
        "fuzzy_token_extract": {**common, **token, **flags, **fuzzy, "strategies": []},
    }[function_name]


def call(function_name, **overrides):
    return getattr(tessarin, function_name)(**{**valid_arguments(function_name), **overrides})


def with_parameter(parameter):
    return [name for name in FUNCTION_NAMES if parameter in valid_arguments(name)]

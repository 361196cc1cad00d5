"""Helpers that several test modules share: the four functions, one valid,
cheap argument list for each, and the scale of the costliest inputs."""

import os
import pathlib
import re

from hypothesis import HealthCheck, settings

import tessarin

# Hypothesis judges time as well: an example slower than its deadline fails,
# and slow generation fails a health check. Neither says anything about the
# module, and both depend on how busy the machine is.
settings.register_profile("untimed", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("untimed")

# A fraction by which the costliest inputs shrink (random examples, seeds,
# repetitions, sizes): the sanitizer stage, where every step costs several
# times more, sets it below 1. What that stage looks for, a bad read or
# write, shows on small inputs as well as on large ones.
TEST_SCALE = float(os.environ.get("TESSARIN_TEST_SCALE", "1"))


def scaled(count, least=1):
    """`count` at the test scale, and never below `least`."""
    return max(least, round(count * TEST_SCALE))


# Under AddressSanitizer memory is kept aside after release, and running out
# of it ends the process: tests of memory use skip themselves there.
UNDER_ADDRESS_SANITIZER = bool(re.search(r"libasan|libclang_rt\.asan", pathlib.Path("/proc/self/maps").read_text()))

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

"""Running out of memory inside a call raises MemoryError, and the
interpreter goes on working afterwards."""

import subprocess
import sys
import textwrap

import pytest

from conftest import UNDER_ADDRESS_SANITIZER

pytest.importorskip("resource")

# The sanitizers' allocator ends the process when memory runs out, by design.

CHILD = textwrap.dedent(
    """
    import resource, tessarin

    text = "Ab" * (64 << 20) + "\u00c9"  # 128 MiB of text, built before the limit
    usage_kib = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0])
    headroom = 64 << 20               # less than one more copy of the text
    limit = usage_kib * 1024 + headroom
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))

    # A text is searched in place where it can be, and folding that changes
    # nothing makes no copy; each of these calls needs a folded copy of this
    # text: for this strategy, or to compare windows that case folding
    # changed beyond ASCII (ASCII alone is compared in place).
    calls = [
        lambda: tessarin.exact_raw_extract(text, "ab", True, True, ["minimum_isolated_character"]),
        lambda: tessarin.exact_token_extract(text, "ab", "bb", True, True),
        lambda: tessarin.fuzzy_raw_extract(text, "ab", True, False, "levenshtein", 0, 0, []),
        lambda: tessarin.fuzzy_token_extract(text, "ab", "b", True, False, "levenshtein", 0, 0, []),
    ]
    for call in calls:
        try:
            call()
        except MemoryError:
            print("MemoryError")
        else:
            print("no error")
    print(tessarin.exact_raw_extract("x ab", "ab", False, False, []))
    """
)


@pytest.mark.skipif(UNDER_ADDRESS_SANITIZER, reason="AddressSanitizer ends the process when memory runs out")
def test_memory_exhaustion_raises_memory_error_and_the_interpreter_goes_on():
    result = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:4] == ["MemoryError"] * 4
    assert lines[4] == "[(2, 4, 0.0)]"



PEAK = textwrap.dedent(
    """
    import sys, tessarin

    def peak():
        return int(open("/proc/self/status").read().split("VmHWM:")[1].split()[0]) * 1024

    n = 1 << 24
    unit = {"ascii": "the quick brown fox jumps over the lazy dog ", "two-byte": "ćma łódź ", "pairs": "aa b "}
    text = (unit[sys.argv[1]] * (n // len(unit[sys.argv[1]]) + 1))[:n]
    before = peak()
    exec(sys.argv[2])
    print((peak() - before) / n)
    """
)


def bytes_per_code_point(kind, call):
    run = subprocess.run([sys.executable, "-c", PEAK, kind, call], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    return float(run.stdout)


# Peak memory of a call above its text, in bytes per code point, on 16 Mi
# code points of ASCII or two-byte text that the pattern hardly matches.
@pytest.mark.skipif(UNDER_ADDRESS_SANITIZER, reason="the sanitizers' allocator keeps freed memory aside")
@pytest.mark.parametrize("kind, call, most", [
    ("ascii", "tessarin.fuzzy_raw_extract(text, 'lazy dgo', False, False, 'levenshtein', 1, 0, [])", 5),
    ("two-byte", "tessarin.fuzzy_raw_extract(text, 'xyzzy qqq', True, False, 'levenshtein', 1, 0, [])", 5),
    ("ascii", "tessarin.fuzzy_token_extract(text, 'lazy dgo', ' ', False, False, 'levenshtein', 1, 0, [])", 5),
    ("two-byte", "tessarin.fuzzy_token_extract(text, 'xyzzy qqq', ' ', True, False, 'indel', 0.3, 1, [])", 5),
])
def test_memory_per_code_point(kind, call, most):
    assert bytes_per_code_point(kind, call) <= most


@pytest.mark.skipif(UNDER_ADDRESS_SANITIZER, reason="the sanitizers' allocator keeps freed memory aside")
def test_isolated_character_tables_cost_little_memory():
    # Every group of this text holds two candidates, so the tables are read.
    call = "tessarin.exact_raw_extract(text, 'a', False, False, {})"
    with_tables = bytes_per_code_point("pairs", call.format(["minimum_isolated_character"]))
    without = bytes_per_code_point("pairs", call.format([]))
    assert with_tables - without <= 3  # the old tables of counts took 8 to 12

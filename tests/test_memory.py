"""Running out of memory inside a call raises MemoryError, and the
interpreter goes on working afterwards."""

import pathlib
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("resource")

# The sanitizers' allocator ends the process when memory runs out, by design.
UNDER_ADDRESS_SANITIZER = "libasan" in pathlib.Path("/proc/self/maps").read_text()

CHILD = textwrap.dedent(
    """
    import resource, tessarin

    text = "ab" * (64 << 20)          # 128 MiB of text, built before the limit
    usage_kib = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0])
    headroom = 64 << 20               # less than one more copy of the text
    limit = usage_kib * 1024 + headroom
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))

    calls = [
        # An ASCII text is searched in place; this strategy needs a folded copy.
        lambda: tessarin.exact_raw_extract(text, "ab", True, True, ["minimum_isolated_character"]),
        lambda: tessarin.exact_token_extract(text, "ab", "b", True, True),
        # Folding makes a copy; an ASCII text read as it is would need none.
        lambda: tessarin.fuzzy_raw_extract(text, "ab", True, False, "levenshtein", 0, 0, []),
        lambda: tessarin.fuzzy_token_extract(text, "ab", "b", False, False, "levenshtein", 0, 0, []),
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

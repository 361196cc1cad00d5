"""Ctrl-C ends a long call quickly with KeyboardInterrupt, and the next call
works as before.

The call holds the interpreter lock, so no thread of the calling process can
send the signal: a child process makes the call and this process signals it.
The child's handler notes when it ran (the moment the call looked for
signals); both processes read the same monotonic clock.
"""
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import UNDER_ADDRESS_SANITIZER

import tessarin

# From the signal to the exception in the caller: the core looks for signals
# after a bounded amount of work. The sanitizers slow everything down.
ALLOWED_LATENCY = 0.5 if UNDER_ADDRESS_SANITIZER else 0.1

CHILD = textwrap.dedent("""
    import signal, sys, time, tessarin

    handled = []

    def on_interrupt(signum, frame):
        handled.append(time.monotonic())
        raise KeyboardInterrupt

    signal.signal(signal.SIGINT, on_interrupt)
    function = getattr(tessarin, sys.argv[1])
    args = eval(sys.argv[2])
    print("calling", flush=True)
    try:
        function(*args)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", handled[0], time.monotonic(), flush=True)
    print(repr(function(*eval(sys.argv[3]))), flush=True)
""")

SMALL = {
    "exact_raw_extract": ("x ab ab", "ab", False, False, []),
    "exact_token_extract": ("x ab ab", "ab", " ", False, False),
    "fuzzy_raw_extract": ("x ab ab", "ac", False, False, "levenshtein", 1, 0, ["best_match"]),
    "fuzzy_token_extract": ("x ab ab", "ac", " ", False, False, "levenshtein", 1, 0, ["best_match"]),
}
# Calls that run for seconds (each over 5 s on a development machine).
LONG = [
    # A pattern of white space only is compared window by window, and each
    # window of blanks is trimmed from both ends up to an x inside it.
    pytest.param("exact_token_extract", '((" \\t\\t" * 5_000 + "x\\t\\t") * 100, " " + "\\t\\t " * 9_999, "\\t\\t", '
                                        'False, False)', id="exact_token"),
    pytest.param("fuzzy_raw_extract", '("abcdefghij" * 200_000, "abcdefghik" * 20, False, False, "levenshtein", '
                                      '1.0, 1, ["best_match"])', id="fuzzy_raw"),
    pytest.param("fuzzy_token_extract", '("abcdefghij " * 700_000, "abcdefghik " * 29 + "abcdefghij", " ", False, '
                                        'False, "levenshtein", 1.0, 1, ["best_match"])', id="fuzzy_token"),
    # Calls whose comparisons cost far more than a step per code point.
    pytest.param("fuzzy_raw_extract", '("abcdefghij" * 2_000, "abcdefghik" * 20, False, False, '
                                      '"damerau_levenshtein", 1.0, 1, ["best_match"])', id="fuzzy_raw-damerau"),
    pytest.param("fuzzy_token_extract", '("abcdefghij " * 200_000, "abcdefghik " * 100, " ", False, False, '
                                        '"damerau_levenshtein", 1.0, 1, ["best_match"])', id="fuzzy_token-damerau"),
]


def interrupt_once(function_name, long_args):
    """The latency from the signal to the handler, from the handler to the
    caught exception, and what the next call in the child returned."""
    with subprocess.Popen([sys.executable, "-c", CHILD, function_name, long_args, repr(SMALL[function_name])],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as child:
        try:
            assert child.stdout.readline() == "calling\n", child.stderr.read()
            time.sleep(0.3)
            sent = time.monotonic()
            os.kill(child.pid, signal.SIGINT)
            output, errors = child.communicate(timeout=1)
        except BaseException:
            child.kill()
            raise
    assert child.returncode == 0, errors
    interrupted, later_call = output.splitlines()
    assert interrupted.startswith("interrupted "), "the call ended before the signal: make it longer"
    handled, caught = map(float, interrupted.split()[1:])
    return handled - sent, caught - handled, later_call


@pytest.mark.parametrize("function_name, long_args", LONG)
def test_sigint_ends_a_long_call_quickly_and_leaves_nothing_behind(function_name, long_args):
    # A busy machine can hold the child off the processor for a while, so a
    # slow answer gets more chances; a call that looks for signals too
    # rarely fails them all.
    for _ in range(3):
        to_handler, to_exception, later_call = interrupt_once(function_name, long_args)
        assert later_call == repr(getattr(tessarin, function_name)(*SMALL[function_name]))
        if to_handler + to_exception < ALLOWED_LATENCY:
            return
    pytest.fail(f"the call answered after {to_handler:.3f} s and ended {to_exception:.3f} s later")

"""Ctrl-C ends a long call with KeyboardInterrupt while the call is under
way, and the next call works as before.

A module function holds the interpreter lock (and the library's find is in
native code), so no thread of the calling process can send the signal: a child
process makes the call and this process signals it once the child has spent 50
ms of processor time after saying that it is about to call, where the few
steps left before the call take microseconds. Nothing is timed otherwise. The
child's profiler is a C function that writes to memory (print into a
StringIO), so no Python code runs between the call's start or return and the
line recorded for it: the order of the lines tells whether the handler ran
inside the call, which must then end by its exception, or only after the call
had finished on its own. The calls need far more work than the signal takes to
arrive, however busy the machine. How soon a call answers is measured by
`./dev stress interrupt`.
"""
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import tessarin
import tessarin_search  # noqa: F401 (named in FUNCTIONS)

CHILD = textwrap.dedent("""
    import functools, io, signal, sys, tessarin, tessarin_search

    log = io.StringIO()

    def on_interrupt(signum, frame):
        log.write("handled\\n")
        raise KeyboardInterrupt

    signal.signal(signal.SIGINT, on_interrupt)
    function = eval(FUNCTIONS[sys.argv[1]])
    args = eval(sys.argv[2])
    print("calling", repr(function), flush=True)
    sys.setprofile(functools.partial(print, file=log))
    try:
        function(*args)
    except KeyboardInterrupt:
        pass
    finally:
        sys.setprofile(None)
    print(log.getvalue(), end="")
    print("later call", repr(function(*eval(sys.argv[3]))), flush=True)
""")


def processor_ticks(pid):
    """The process's user and system time, in clock ticks."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


# What each call calls: the module's functions, which hold the interpreter
# lock, and the search library's find, which searches without it.
FUNCTIONS = {name: f"tessarin.{name}" for name in
             ("exact_raw_extract", "exact_token_extract", "fuzzy_raw_extract", "fuzzy_token_extract")}
FUNCTIONS["find"] = 'tessarin_search.Search("abcdefghik" * 20, edits=20)._query.find'
CHILD = f"FUNCTIONS = {FUNCTIONS!r}\n{CHILD}"

SMALL = {
    "exact_raw_extract": ("x ab ab", "ab", False, False, []),
    "exact_token_extract": ("x ab ab", "ab", " ", False, False),
    "fuzzy_raw_extract": ("x ab ab", "ac", False, False, "levenshtein", 1, 0, ["best_match"]),
    "fuzzy_token_extract": ("x ab ab", "ac", " ", False, False, "levenshtein", 1, 0, ["best_match"]),
    "find": ("abcdefghik" * 20,),
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
    # Without the interpreter lock: the search takes it back to run handlers.
    pytest.param("find", '("abcdefghij" * 200_000,)', id="library-find"),
]


@pytest.mark.parametrize("function_name, long_args", LONG)
def test_sigint_ends_a_long_call_under_way_and_leaves_nothing_behind(function_name, long_args):
    function = eval(FUNCTIONS[function_name])
    with subprocess.Popen([sys.executable, "-c", CHILD, function_name, long_args, repr(SMALL[function_name])],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as child:
        try:
            calling = child.stdout.readline()
            assert calling.startswith("calling "), child.stderr.read()
            # The profiler's lines end in the event and the function, as the child shows it.
            started, returned, raised = (f" {event} {calling[len('calling '):-1]}\n"
                                         for event in ("c_call", "c_return", "c_exception"))
            ready = processor_ticks(child.pid) + 5 * os.sysconf("SC_CLK_TCK") // 100
            while processor_ticks(child.pid) < ready and child.poll() is None:
                time.sleep(0.001)
            os.kill(child.pid, signal.SIGINT)
            # A guard against a hang only: an interrupted call ends in
            # milliseconds, one that never looks for signals in minutes.
            output, errors = child.communicate(timeout=600)
        except BaseException:
            child.kill()
            raise
    assert child.returncode == 0, errors
    lines = output.splitlines(keepends=True)
    calls = [event for line in lines for event in (started, returned, raised, "handled\n") if line.endswith(event)]
    assert calls[:3] == [started, "handled\n", raised], (
        "the call finished before it looked for signals" if returned in calls else output[-2000:])
    assert lines[-1] == f"later call {function(*SMALL[function_name])!r}\n"

#!/usr/bin/env python3
"""Stress runs at scale, kept out of the test run: they take minutes and
many GiB.

Usage (after scripts/setup.sh, which `./dev stress` runs):
    python bench/stress.py interrupt [--code-points N] [--samples K] [--only CASE ...]
    python bench/stress.py memory [--code-points N] [--only CASE ...]

interrupt: each case's call is timed once whole, then interrupted K times
at points spread evenly over that time. A timer signal stands in for Ctrl-C
(both take the interpreter's one path from a signal to its handler). For
each case it prints the longest time from the signal to the handler and
from the signal to the KeyboardInterrupt in the caller, and where in the
call (as a share of its whole time) the longest one fell.

memory: each case runs in a process of its own; it prints the call's peak
resident memory above what the process held before the call, in bytes per
code point of the text.
"""
from __future__ import annotations

import argparse
import resource
import signal
import subprocess
import sys
import time

# Each case: the text, made of repeats of a unit, and the call. The texts
# are chosen so that every pass runs at full length: the first
# isolated-character case finds one conflict group per 33 code points (30
# million results at 10^9), the others find next to nothing.
CASES = {
    "exact_raw_isolated": ("abab " + "c" * 28,
                           lambda t: tessarin.exact_raw_extract(t, "ab", False, False,
                                                                ["minimum_isolated_character"])),
    # 30 million results (at 10^9) from 9 % of the code points: the result
    # list alone.
    "result_list": ("ab ", lambda t: tessarin.exact_raw_extract(t, "ab", False, False, []), 0.09),
    # One group per 1000 code points, with and without the strategy: what
    # its tables add to a call's peak, which the result list sets above.
    "exact_raw_isolated_sparse": ("abab " + "c" * 995,
                                  lambda t: tessarin.exact_raw_extract(t, "ab", False, False,
                                                                       ["minimum_isolated_character"])),
    "exact_raw_sparse": ("abab " + "c" * 995,
                         lambda t: tessarin.exact_raw_extract(t, "ab", False, False, [])),
    "exact_raw_folded": ("abcdéfghij",
                         lambda t: tessarin.exact_raw_extract(t, "zz", True, True, [])),
    "exact_token": ("abcdefghij--",
                    lambda t: tessarin.exact_token_extract(t, "zz", "--", False, False)),
    "fuzzy_raw": ("abcdefghij",
                  lambda t: tessarin.fuzzy_raw_extract(t, "abcdefghik", False, False, "levenshtein", 1, 0,
                                                       ["best_match"])),
    "fuzzy_raw_two_byte": ("abcdefghił",
                           lambda t: tessarin.fuzzy_raw_extract(t, "abcdefghik", False, False, "levenshtein", 1, 0,
                                                                ["best_match"])),
    "fuzzy_token": ("abcdefghij ",
                    lambda t: tessarin.fuzzy_token_extract(t, "abcdefghik", " ", False, False, "levenshtein", 0, 0,
                                                           ["best_match"])),
}


def text_for(case: str, code_points: int) -> str:
    unit, _, *share = CASES[case]
    return unit * (int(code_points * (share[0] if share else 1)) // len(unit))


def interrupt_case(case: str, code_points: int, samples: int, verbose: bool) -> None:
    text = text_for(case, code_points)
    call = CASES[case][1]
    started = time.monotonic()
    call(text)
    whole = time.monotonic() - started
    handled: list[float] = []
    armed = [False]

    def on_signal(signum, frame):
        if armed[0]:  # not once the call has returned
            handled.append(time.monotonic())
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, on_signal)
    worst = (0.0, 0.0, 0.0)  # to the handler, to the caller, share of the call
    profile = []
    try:
        for k in range(samples):
            share = (k + 0.5) / samples
            handled.clear()
            sent = time.monotonic() + share * whole
            armed[0] = True
            signal.setitimer(signal.ITIMER_REAL, share * whole)
            try:
                call(text)
                armed[0] = False
                # Returned: if the signal came before, the call never looked.
                ended = time.monotonic()
                signal.setitimer(signal.ITIMER_REAL, 0)
                to_handler = to_caller = max(ended - sent, 0.0)
            except KeyboardInterrupt:
                caught = time.monotonic()
                to_handler, to_caller = handled[0] - sent, caught - sent
            profile.append(f"{share:.0%}: {to_caller:.3f}")
            if to_caller > worst[1]:
                worst = (to_handler, to_caller, share)
    finally:
        signal.signal(signal.SIGALRM, previous)
    print(f"{case:20} {len(text):>13,} code points  call {whole:7.2f} s  "
          f"worst: handler {worst[0]:.3f} s, caller {worst[1]:.3f} s at {worst[2]:.0%}", flush=True)
    if verbose:
        print("    " + ", ".join(profile), flush=True)


def peak_resident_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def current_resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


def memory_case(case: str, code_points: int) -> None:
    # The peak so far is the text's making; the call is measured from a
    # fresh peak (the kernel resets it on request).
    text = text_for(case, code_points)
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
    before = current_resident_bytes()
    CASES[case][1](text)
    with open("/proc/self/status") as status:
        peak = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))
    print(f"{case:20} {len(text):>13,} code points  "
          f"{(peak - before) / len(text):5.2f} bytes per code point above the text", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=["interrupt", "memory"])
    parser.add_argument("--code-points", type=float, default=1e9)
    parser.add_argument("--samples", type=int, default=20)
    parser.add_argument("--verbose", action="store_true", help="print every sample: share of the call, latency")
    parser.add_argument("--only", nargs="*", choices=sorted(CASES), default=list(CASES))
    parser.add_argument("--case", help=argparse.SUPPRESS)  # one case, in a child process
    arguments = parser.parse_args()
    code_points = int(arguments.code_points)
    if arguments.case:
        if arguments.what == "interrupt":
            interrupt_case(arguments.case, code_points, arguments.samples, arguments.verbose)
        else:
            memory_case(arguments.case, code_points)
        return
    # Each case in a fresh process, so that no case's memory outlives it.
    for case in arguments.only:
        subprocess.run([sys.executable, __file__, arguments.what, "--code-points", str(code_points),
                        "--samples", str(arguments.samples), "--case", case]
                       + ["--verbose"] * arguments.verbose, check=True)


if __name__ == "__main__":
    import tessarin
    main()

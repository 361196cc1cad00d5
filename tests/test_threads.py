"""Many threads calling all four functions at once get exactly the results of
the same calls made one after another."""
import random
import sys
import threading

import tessarin

TEXT = ("The old harbour, the OLD harbur; Çafé au lait @ 5€. " * 40) + "İstanbul ΣΑΣ"
CALLS = [
    (tessarin.exact_raw_extract, (TEXT, "old", True, True, ["longest"])),
    (tessarin.exact_raw_extract, (TEXT, "  ", False, False, ["minimum_isolated_character"])),
    (tessarin.exact_token_extract, (TEXT, "the old", " ", True, False)),
    (tessarin.exact_token_extract, (TEXT, "", "", False, False)),  # an empty pattern and separator: a panic
    (tessarin.fuzzy_raw_extract, (TEXT, "harbour", False, True, "levenshtein", 0.3, 1, ["best_match", "shortest"])),
    (tessarin.fuzzy_raw_extract, (TEXT, "cafe", True, True, "jaro_winkler", 0.2, 1, ["minimum_isolated_character"])),
    (tessarin.fuzzy_raw_extract, (TEXT, "x", False, False, "no such metric", 1, 0, [])),
    (tessarin.fuzzy_token_extract, (TEXT, "old harbour", " ", True, False, "osa", 2, 0, ["best_match"])),
    (tessarin.fuzzy_token_extract, (TEXT, "lait", ",", False, False, "indel", 0.9, 7, ["longest"])),
    (tessarin.fuzzy_token_extract, (TEXT, 5, " ", False, False, "indel", 1, 0, [])),
]


def outcome(function, args):
    try:
        return function(*args)
    except BaseException as error:  # the panic class deliberately escapes Exception
        return type(error).__name__, str(error)


def test_concurrent_calls_give_the_sequential_results():
    expected = [outcome(function, args) for function, args in CALLS]
    assert {type(result) for result in expected} == {list, tuple}  # results and errors both
    threads_count, rounds = 8, 15
    start = threading.Barrier(threads_count)
    mismatches = []

    def worker(seed):
        order = list(range(len(CALLS))) * rounds
        random.Random(seed).shuffle(order)
        start.wait()
        for index in order:
            got = outcome(*CALLS[index])
            if got != expected[index]:
                mismatches.append((index, got))

    switch_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # hand the lock over as often as the interpreter can
    try:
        threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(threads_count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(switch_interval)
    assert mismatches == []

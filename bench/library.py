#!/usr/bin/env python3
"""The search library (tessarin_search) beside what it is built on and beside
fuzzysearch: one table, side by side, each row against its target.

Usage (after scripts/setup.sh and bench/setup.sh; `./dev bench library`):
    python bench/library.py [--quick] [--rounds N]

- find: Search.find on 10 MiB against the module's own call with the same
  settings (target: at most 1.2x);
- find_many: 1,000 texts of 10 KiB on 2 threads against 1 (target: at least
  1.7x faster);
- names: 5 names, each written with at most 2 edits, injected into 10 MiB of
  prose (ASCII, then accented German), found by one Search(names, edits=2)
  and by fuzzysearch.find_near_matches(name, text, max_l_dist=2) per name
  (target: every occurrence found, at most 0.5x fuzzysearch's time).

Contenders take turns, round after round, and the median counts. It reports
and never fails.
"""

from __future__ import annotations

import argparse
import gc
import os
import random
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import tessarin  # noqa: E402
from corpus import load_text  # noqa: E402
from tessarin_search import Search  # noqa: E402

NAMES = {"ascii": ["Bartholomew", "Kowalczyk", "Esmeralda", "Thorvaldsen", "Quintanilla"],
         "german": ["Bartholomäus", "Françoise", "Thorvaldsen", "Esmeralda", "Kowalczyk"]}
INJECTED = 789
LETTERS = "abcdefghijklmnopqrstuvwxyzäöüé"


def timed(call: Callable[[], object], rounds: int) -> float:
    """The median of `rounds` timings, after one run that warms the caches."""
    call()
    times = []
    for _ in range(rounds):
        gc.disable()
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
        gc.enable()
    return statistics.median(times)


def side_by_side(calls: dict[str, Callable[[], object]], rounds: int) -> dict[str, float]:
    """Each call timed in turn, round after round, so that a slow spell of the machine touches all."""
    times: dict[str, list[float]] = {name: [] for name in calls}
    for call in calls.values():
        call()
    for _ in range(rounds):
        for name, call in calls.items():
            times[name].append(timed(call, 1))
    return {name: statistics.median(values) for name, values in times.items()}


def wall_and_cpu(calls: dict[int, Callable[[], object]], rounds: int) -> dict[int, tuple[float, float, float, float]]:
    """Per contender, in turn, round after round: the median wall time, the
    process's CPU time (every thread's), the calling thread's CPU time, and
    the best wall time. On a shared machine the wall time also counts the
    waits for a core; the CPU times say what the work cost."""
    samples: dict[int, list[tuple[float, float, float]]] = {key: [] for key in calls}
    for call in calls.values():
        call()
    for _ in range(rounds):
        for key, call in calls.items():
            gc.disable()
            wall, cpu, own = time.perf_counter(), time.process_time(), time.thread_time()
            call()
            samples[key].append((time.perf_counter() - wall, time.process_time() - cpu, time.thread_time() - own))
            gc.enable()
    return {key: (*(statistics.median(sample[k] for sample in values) for k in range(3)),  # type: ignore[misc]
                  min(sample[0] for sample in values))
            for key, values in samples.items()}


def misspelt(name: str, generator: random.Random) -> str:
    """`name` with 0 to 2 edits: insertions, deletions, substitutions."""
    letters = list(name)
    for _ in range(generator.randrange(0, 3)):
        at = generator.randrange(1, len(letters) - 1)
        edit = generator.choice("ids")
        if edit == "i":
            letters.insert(at, generator.choice(LETTERS))
        elif edit == "d":
            del letters[at]
        else:
            letters[at] = generator.choice(LETTERS)
    return "".join(letters)


def injected(text: str, names: list[str], seed: int) -> tuple[str, list[tuple[int, int]]]:
    """`text` with INJECTED misspelt names put after spaces; where each went."""
    generator = random.Random(seed)
    places = sorted(generator.sample([i for i in range(0, len(text), 97) if text[i] == " "], INJECTED))
    pieces, spans, done, shift = [], [], 0, 0
    for place in places:
        word = misspelt(generator.choice(names), generator) + " "
        pieces.append(text[done:place + 1])
        start = place + 1 + shift
        spans.append((start, start + len(word) - 1))
        pieces.append(word)
        shift += len(word)
        done = place + 1
    pieces.append(text[done:])
    return "".join(pieces), spans


def found_every(spans: list[tuple[int, int]], matches: list[tuple[int, int]]) -> int:
    """How many of `spans` some match overlaps."""
    matches = sorted(matches)
    found, k = 0, 0
    for start, end in spans:
        while k < len(matches) and matches[k][1] <= start:
            k += 1
        found += k < len(matches) and matches[k][0] < end
    return found


def row(name: str, ours: float, theirs: float, target: str, met: bool, note: str = "") -> None:
    print(f"{name:<44} {ours * 1e3:>10.1f} {theirs * 1e3:>10.1f} {ours / theirs:>7.2f}x  "
          f"{target:<18} {'met' if met else 'MISSED'}{'  ' + note if note else ''}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a tenth of the sizes, fewer rounds")
    parser.add_argument("--rounds", type=int, default=5)
    arguments = parser.parse_args()
    megabytes = 1 if arguments.quick else 10
    rounds = 3 if arguments.quick else arguments.rounds
    print(f"{os.cpu_count()} processors; {megabytes} MiB texts; median of {rounds} rounds, contenders in turn")
    print(f"{'workload':<44} {'ours ms':>10} {'theirs ms':>10} {'ratio':>8}  {'target':<18} verdict")

    for corpus in ("ascii", "german"):
        text = load_text(corpus, megabytes)
        settings = [
            ("exact 'lighthouse', ignore_case", Search("lighthouse", ignore_case=True, strategies=["best_match"]),
             lambda: tessarin.exact_raw_extract(text, "lighthouse", True, False, ["best_match"])),
            ("exact 'the', ignore_case", Search("the", ignore_case=True, strategies=["best_match"]),
             lambda: tessarin.exact_raw_extract(text, "the", True, False, ["best_match"])),
            ("similarity 0.8 'everything'", Search("everything", similarity=0.8),
             lambda: tessarin.fuzzy_raw_extract(text, "everything", False, False, "levenshtein", 0.2, 1,
                                                ["best_match", "shortest"])),
        ]
        for label, search, raw in settings:
            assert [tuple(m) for m in search.find(text)] == raw()
            times = side_by_side({"ours": lambda search=search: search.find(text), "raw": raw}, rounds)
            ratio = times["ours"] / times["raw"]
            row(f"find, {corpus}: {label}", times["ours"], times["raw"], "<= 1.20x the module", ratio <= 1.2,
                f"{len(raw())} matches")

    count = 100 if arguments.quick else 1000
    whole = load_text("ascii", count * 10240 / 2**20)
    texts = [whole[i * 10240:(i + 1) * 10240] for i in range(count)]
    for label, search in (("exact 'the'", Search("the")), ("edits=2 'Bartholomew'", Search("Bartholomew", edits=2))):
        measured = wall_and_cpu({threads: lambda threads=threads: list(search.find_many(texts, threads=threads))
                                 for threads in (2, 1)}, 3 * rounds)
        (wall2, cpu2, own2, best2), (wall1, cpu1, _, best1) = measured[2], measured[1]
        speedup = wall1 / wall2
        # Two threads can at best halve the CPU time that they spend between
        # them: what the speed-up would be on two idle cores.
        row(f"find_many, {count} x 10 KiB, {label}: 2 vs 1 thr", wall2, wall1, ">= 1.70x speed-up",
            speedup >= 1.7, f"speed-up {speedup:.2f}x (best {best1 / best2:.2f}x); CPU {cpu2 * 1e3:.1f} ms "
            f"(calling thread {own2 * 1e3:.1f}) vs {cpu1 * 1e3:.1f} ms, at most {2 * cpu1 / cpu2:.2f}x on idle cores; "
            f"load {os.getloadavg()[0]:.1f}")

    try:
        from fuzzysearch import find_near_matches
    except ImportError:
        print("fuzzysearch is missing (bench/setup.sh installs it): the names task is skipped")
        return 0
    for corpus, seed in (("ascii", 1), ("german", 2)):
        names = NAMES[corpus]
        text, spans = injected(load_text(corpus, megabytes), names, seed)
        search = Search(names, edits=2)
        ours_found = found_every(spans, [(m.start, m.end) for m in search.find(text)])

        def theirs() -> list[tuple[int, int]]:
            return [(m.start, m.end) for name in names for m in find_near_matches(name, text, max_l_dist=2)]

        their_found = found_every(spans, theirs())
        times = side_by_side({"ours": lambda: search.find(text), "theirs": theirs}, max(1, rounds // 2))
        ratio = times["ours"] / times["theirs"]
        row(f"names, {corpus}: 5 names, 2 edits vs fuzzysearch", times["ours"], times["theirs"],
            "<= 0.50x, all found", ratio <= 0.5 and ours_found == len(spans),
            f"found {ours_found}/{len(spans)} (fuzzysearch {their_found})")
    return 0


if __name__ == "__main__":
    sys.exit(main())

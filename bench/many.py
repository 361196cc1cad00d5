"""Many patterns in one search (-f): the command beside ugrep -Z1 -f and rg -F -f.

    python bench/many.py [--repeats N] [--counts 1,10,100,1000,10000]

The text is the first 4.5 MB of bench/data/source-43MiB.txt (the
interpreter's library as Python source, cut at a line's end); the patterns
are N distinct identifiers of six characters or more from that text, drawn
with a fixed seed, each list holding the shorter ones. Short patterns (three
to five characters, searched many to a machine word) have rows of their own.
For each count: a fuzzy search with one edit beside ugrep -Z1 -f, an exact
one with -i beside rg -i -F -f and one without beside rg -F -f; beside them,
one search per pattern (the command run once per pattern, timed on a sample
of patterns and scaled to all of them), and the peak resident memory of each
side. Every command runs several times, interleaved, and keeps its best wall
time (one slower than 20 s runs once); output goes to a file. The targets
are judged last. Memory is also
measured on a text ten times as long, so that growth with the text shows.
"""

from __future__ import annotations

import argparse
import os
import random
import re
import subprocess
import sys
import time
from pathlib import Path

from command import BIG, DATA, TESSARIN, build_inputs

TEXT = DATA / "source-4.5MB.txt"
TEXT_BYTES = 4_500_000
SAMPLE = 10  # patterns timed one by one for "one search per pattern"
SLOW = 20.0  # seconds: a command this slow runs once


def run(command: list[str]) -> tuple[float, int, int]:
    """Wall seconds, the process's own peak resident KiB, and the lines it printed."""
    output = DATA / "output.txt"
    with open(output, "wb") as out:
        started = time.perf_counter()
        child = subprocess.Popen(command, stdout=out, stderr=subprocess.DEVNULL)
        _, _, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - started
    with open(output, "rb") as out:
        lines = sum(block.count(b"\n") for block in iter(lambda: out.read(1 << 20), b""))
    return seconds, usage.ru_maxrss, lines


def best_of(commands: list[list[str]], repeats: int) -> list[tuple[float, int, int]]:
    """Each command's best time, largest peak and lines, the commands interleaved
    run by run; one that takes longer than SLOW runs once."""
    best = [(float("inf"), 0, 0)] * len(commands)
    for round_ in range(repeats):
        for index, command in enumerate(commands):
            if round_ > 0 and best[index][0] > SLOW:
                continue
            seconds, peak, lines = run(command)
            best[index] = (min(best[index][0], seconds), max(best[index][1], peak), lines)
    return best


def build_text() -> None:
    build_inputs()
    if not TEXT.exists():
        data = BIG.read_bytes()
        TEXT.write_bytes(data[:data.rindex(b"\n", 0, TEXT_BYTES) + 1])


def pattern_file(count: int, short: bool = False) -> Path:
    """N distinct identifiers of the text, the same draw for every count."""
    path = DATA / f"patterns-{'short-' if short else ''}{count}.txt"
    if not path.exists():
        shape = r"\b[A-Za-z_][A-Za-z0-9_]{2,4}\b" if short else r"\b[A-Za-z_][A-Za-z0-9_]{5,}\b"
        names = sorted(set(re.findall(shape, TEXT.read_text(encoding="utf-8", errors="replace"))))
        random.Random(28).shuffle(names)
        if count > len(names):
            raise SystemExit(f"the text has only {len(names)} such identifiers")
        path.write_text("".join(name + "\n" for name in names[:count]))
    return path


def one_by_one(options: list[str], patterns: Path, count: int) -> float:
    """Seconds for one search per pattern: a sample run one by one, scaled."""
    names = patterns.read_text().split()[:SAMPLE]
    seconds = sum(run([TESSARIN, *options, "-e", name, str(TEXT)])[0] for name in names)
    return seconds / len(names) * count


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--counts", default="1,10,100,1000,10000")
    args = parser.parse_args(argv)
    counts = [int(count) for count in args.counts.split(",")]
    build_text()
    text = str(TEXT)
    kinds = [
        ("fuzzy, 1 edit", ["-Z", "-t", "1", "--absolute"], lambda p: ["ugrep", "-Z1", "-n", "-f", p, text]),
        ("exact, -i", ["-i"], lambda p: ["rg", "-i", "-F", "-n", "-f", p, text]),
        ("exact", [], lambda p: ["rg", "-F", "-n", "-f", p, text]),
    ]
    rows, times, verdicts = [], {}, []
    plans = [(count, False) for count in counts] + [(count, True) for count in (100, 1000) if count <= max(counts)]
    for count, short in plans:
        patterns = pattern_file(count, short)
        for name, options, peer in kinds:
            if short and name != "fuzzy, 1 edit":
                continue
            ours = [TESSARIN, *options, "-f", str(patterns), text]
            theirs = peer(str(patterns))
            (mine, our_peak, our_lines), (other, their_peak, their_lines) = best_of([ours, theirs], args.repeats)
            alone = one_by_one(options, patterns, count)
            label = f"{name}{', short (3-5 chars)' if short else ''}"
            times[(label, count)] = mine
            rows.append((label, f"{count:,}", f"{mine * 1e3:,.0f} ms", f"{our_lines:,}", f"{our_peak / 1024:.0f} MiB",
                         theirs[0], f"{other * 1e3:,.0f} ms", f"{their_lines:,}", f"{their_peak / 1024:.0f} MiB",
                         f"{mine / other:.2f}x", f"{alone * 1e3:,.0f} ms", f"{alone / mine:.1f}x"))
            if name == "fuzzy, 1 edit" and not short and count in (100, 1000):
                verdicts.append((f"{count:,} fuzzy patterns at most 1.5x ugrep -Z1 -f", mine / other <= 1.5,
                                 f"{mine / other:.2f}x"))
            if name == "exact, -i" and count == 1000:
                verdicts.append(("1,000 exact patterns with -i at most 3x rg -i -F -f", mine / other <= 3,
                                 f"{mine / other:.2f}x"))
    one = times.get(("fuzzy, 1 edit", 1))
    for count, limit in ((100, 3), (1000, 10)):
        if one and ("fuzzy, 1 edit", count) in times:
            ratio = times[("fuzzy, 1 edit", count)] / one
            verdicts.append((f"{count:,} fuzzy patterns at most {limit}x one pattern", ratio <= limit, f"{ratio:.2f}x"))

    # Memory against the text's length: the same patterns over ten times the text.
    memory = []
    if 1000 in counts:
        patterns = str(pattern_file(1000))
        for name, options, _ in kinds[:2]:
            small = run([TESSARIN, *options, "-f", patterns, text])[1]
            large = run([TESSARIN, *options, "-f", patterns, str(BIG)])[1]
            memory.append((name, small, large))
            verdicts.append((f"1,000 patterns, {name}: peak memory on 43 MiB at most 2x that on 4.5 MB",
                             large <= 2 * small, f"{small / 1024:.0f} MiB, {large / 1024:.0f} MiB"))

    print(f"best of {args.repeats} runs each, interleaved; text {TEXT.stat().st_size / 1e6:.1f} MB\n")
    print("| search | patterns | tessarin | lines | peak | peer | time | lines | peak | ratio "
          "| one search per pattern | its ratio |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    if memory:
        print("\n| 1,000 patterns | peak, 4.5 MB | peak, 43 MiB |\n|---|---|---|")
        for name, small, large in memory:
            print(f"| {name} | {small / 1024:.0f} MiB | {large / 1024:.0f} MiB |")
    print()
    for text_, met, value in verdicts:
        print(f"{'met    ' if met else 'NOT met'}  {text_}: {value}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

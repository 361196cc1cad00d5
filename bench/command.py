"""The `tessarin` command beside ripgrep and ugrep, on the same files.

Runs each command line several times, side by side in one run, and keeps the
best wall time (the machine is shared and noisy; the best run is the one
least disturbed). Output goes to a file, as a user's redirection would: some
tools skip work when they see /dev/null. Peak memory is the child's maximum
resident set. Then every target is judged.

    python bench/command.py [--repeats N]

The inputs are built in bench/data/ from the interpreter's own library: a
43 MiB file of Python source, a 430 MiB one made of ten of those, and the
library folder itself as a source tree of thousands of files.
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

DATA = Path(__file__).resolve().parent / "data"
BIG, HUGE = DATA / "source-43MiB.txt", DATA / "source-430MiB.txt"
TREE = Path(sysconfig.get_paths()["stdlib"])
TESSARIN = str(Path(sys.executable).with_name("tessarin"))
WORD = "isinstance"  # ten letters


def build_inputs() -> None:
    DATA.mkdir(exist_ok=True)
    if not BIG.exists():
        chunks, size = [], 0
        for path in sorted(TREE.rglob("*.py")):
            data = path.read_bytes()
            chunks.append(data)
            size += len(data)
            if size >= 43 << 20:
                break
        while size < 43 << 20:  # a small library: repeat it
            chunks += chunks
            size *= 2
        BIG.write_bytes(b"".join(chunks)[:43 << 20])
    if not HUGE.exists():
        with open(HUGE, "wb") as stream:
            data = BIG.read_bytes()
            for _ in range(10):
                stream.write(data)


def run_once(command: list[str]) -> tuple[float, int, int]:
    """Wall seconds, the child's peak resident KiB, and its exit status."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    with open(DATA / "output.txt", "wb") as out:
        started = time.perf_counter()
        status = subprocess.run(command, stdout=out, stderr=subprocess.DEVNULL).returncode
        seconds = time.perf_counter() - started
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return seconds, max(peak, before), status


def best_of(commands: list[list[str]], repeats: int) -> list[float]:
    """The best time of each command, the commands interleaved run by run."""
    best = [float("inf")] * len(commands)
    for _ in range(repeats):
        for index, command in enumerate(commands):
            best[index] = min(best[index], run_once(command)[0])
    return best


def peak_kib(command: list[str]) -> int:
    # RUSAGE_CHILDREN keeps the largest child so far, so each command is
    # measured from a fresh helper process of its own.
    code = ("import resource, subprocess, sys; "
            "subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL); "
            "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    return int(subprocess.run([sys.executable, "-c", code, *command], capture_output=True,
                              text=True).stdout)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args(argv)
    missing = [tool for tool in ("rg", "ugrep") if not shutil.which(tool)]
    if missing:
        print(f"missing {', '.join(missing)}: run bench/setup.sh", file=sys.stderr)
        return 2
    build_inputs()
    files = sum(1 for _ in TREE.rglob("*") if _.is_file())
    rows, verdicts = [], []

    def compare(name: str, ours: list[str], peer: list[str], limit: float) -> None:
        mine, theirs = best_of([ours, peer], args.repeats)
        ratio = mine / theirs
        rows.append((name, " ".join(ours[1:]), f"{mine * 1e3:.0f} ms", " ".join(peer), f"{theirs * 1e3:.0f} ms",
                     f"{ratio:.2f}x"))
        verdicts.append((f"{name}: at most {limit:g}x the peer", ratio <= limit, f"{ratio:.2f}x"))

    compare("fuzzy, 1 edit, 43 MiB", [TESSARIN, "-Z", "-t", "1", "--absolute", WORD, str(BIG)],
            ["ugrep", "-Z1", "-o", "-n", WORD, str(BIG)], 1.5)
    compare("exact, ignore case, 43 MiB", [TESSARIN, "-i", WORD, str(BIG)],
            ["rg", "-i", "-F", "-n", WORD, str(BIG)], 3.0)
    compare(f"exact, ignore case, tree of {files} files", [TESSARIN, "-i", WORD, str(TREE)],
            ["rg", "-i", "-F", "-n", WORD, str(TREE)], 3.0)

    one, two = best_of([[TESSARIN, "-j", "1", "-Z", "-i", WORD, str(TREE)],
                        [TESSARIN, "-j", "2", "-Z", "-i", WORD, str(TREE)]], args.repeats)
    rows.append((f"-j 2 against -j 1, fuzzy, tree", "-j 1", f"{one * 1e3:.0f} ms", "-j 2", f"{two * 1e3:.0f} ms",
                 f"{one / two:.2f}x faster"))
    verdicts.append(("-j 2 at least 1.6 times faster than -j 1", one / two >= 1.6, f"{one / two:.2f}x"))

    peaks = {name: peak_kib(command) for name, command in (
        ("tessarin", [TESSARIN, "-i", WORD, str(HUGE)]),
        ("tessarin -Z", [TESSARIN, "-Z", "-t", "1", "--absolute", WORD, str(HUGE)]),
        ("rg", ["rg", "-i", "-F", "-n", WORD, str(HUGE)]),
        ("ugrep", ["ugrep", "-i", "-F", "-n", WORD, str(HUGE)]))}
    for name, kib in peaks.items():
        rows.append((f"peak memory, 430 MiB file", name, f"{kib / 1024:.0f} MiB", "", "", ""))
    worst = max(peaks["tessarin"], peaks["tessarin -Z"]) / 1024
    verdicts.append(("peak memory at most 64 MiB on a 430 MiB file", worst <= 64, f"{worst:.0f} MiB"))

    print(f"{os.cpu_count()} CPUs; best of {args.repeats} runs each, interleaved\n")
    print("| workload | tessarin | time | peer | time | ratio |")
    print("|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    print()
    for text, met, value in verdicts:
        print(f"{'met    ' if met else 'NOT met'}  {text}: {value}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

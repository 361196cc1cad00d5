"""The `tessarin` command beside ripgrep and ugrep, on the same files.

Runs each command line several times, side by side in one run, and keeps the
best wall time (the machine is shared and noisy; the best run is the one
least disturbed). Output goes to a file, as a user's redirection would: some
tools skip work when they see /dev/null. Peak memory is the child's maximum
resident set. Then every target is judged.

    python bench/command.py [--repeats N] [--script NAME ...] [--baseline COMMAND]

The inputs are built in bench/data/ from the interpreter's own library: a
43 MiB file of Python source, a 430 MiB one made of ten of those, and the
library folder itself as a source tree of thousands of files; and from each
text of corpus.SCRIPTS, a 40 MiB file (the text repeated, cut at a line's
end), searched with -i for a dozen code points of the text and with -Z for
the same with one letter replaced; a table of those targets, script by
script, closes the run. --script NAME runs only the files of that script
(all: of every script). --baseline COMMAND times another build of the
command (say, an earlier one installed elsewhere) on every workload as well,
interleaved with the others, and shows the ratio of this one to it.
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

from corpus import SCRIPTS, fuzzy_pattern, read_corpus
from report import print_script_table, verdict

DATA = Path(__file__).resolve().parent / "data"
BIG, HUGE = DATA / "source-43MiB.txt", DATA / "source-430MiB.txt"
TREE = Path(sysconfig.get_paths()["stdlib"])
TESSARIN = str(Path(sys.executable).with_name("tessarin"))
WORD = "isinstance"  # ten letters
SCRIPT_FILE_BYTES = 40 << 20
# The targets on each script's file: ours/peer at most this.
SCRIPT_LIMITS = {"-i": 3.0, "-Z": 1.5}


def build_inputs() -> None:
    """The 43 MiB file of the library's Python source, and ten of it in one."""
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


def script_file(name: str) -> Path:
    """The script's text repeated to 40 MiB of UTF-8, cut after a line feed."""
    path = DATA / f"{name}-40MiB.txt"
    if not path.exists():
        data = read_corpus(name).encode()
        data = data * -(-SCRIPT_FILE_BYTES // len(data))
        partial = path.with_suffix(".tmp")
        partial.write_bytes(data[:data.rindex(b"\n", 0, SCRIPT_FILE_BYTES) + 1])
        partial.replace(path)
    return path


def script_comparisons(name: str) -> list[tuple[str, list[str], list[str], float]]:
    """(what, our command, the peer's, the limit on ours/peer) on the script's file:
    with -i the piece of its fuzzy pattern as it stands in the text, with -Z the
    pattern. The piece occurs a few times in each copy of the corpus, so the
    time is the search rather than the printing."""
    path, (piece, fuzzy) = str(script_file(name)), fuzzy_pattern(read_corpus(name))
    return [("-i", [TESSARIN, "-i", piece, path], ["rg", "-i", "-F", "-n", piece, path], SCRIPT_LIMITS["-i"]),
            ("-Z", [TESSARIN, "-Z", "-t", "1", "--absolute", fuzzy, path],
             # -a: ugrep 3.11 takes a file for binary when a character straddles the end of its
             # first 64 KiB, and then stops at the first match.
             ["ugrep", "-a", "-Z1", "-o", "-n", fuzzy, path], SCRIPT_LIMITS["-Z"])]


def run_once(command: list[str]) -> tuple[float, int, int]:
    """Wall seconds, the child's peak resident KiB, and its exit status."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    with open(DATA / "output.txt", "wb") as out:
        started = time.perf_counter()
        status = subprocess.run(command, stdout=out, stderr=subprocess.DEVNULL).returncode
        seconds = time.perf_counter() - started
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return seconds, max(peak, before), status


def best_of(commands: list[list[str]], repeats: int) -> tuple[list[float], list[int]]:
    """The best time of each command, the commands interleaved run by run, and
    how many lines each printed (a peer that printed nothing did no search)."""
    best, lines = [float("inf")] * len(commands), [0] * len(commands)
    for _ in range(repeats):
        for index, command in enumerate(commands):
            best[index] = min(best[index], run_once(command)[0])
            lines[index] = (DATA / "output.txt").read_bytes().count(b"\n")
    return best, lines


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
    parser.add_argument("--script", action="append", choices=[*SCRIPTS, "all"], metavar="NAME",
                        help=f"run only the 40 MiB file of this script ({', '.join(SCRIPTS)}), or of every one "
                             "with 'all' (may be given more than once)")
    parser.add_argument("--baseline", metavar="COMMAND",
                        help="another tessarin command to time beside this one on every workload")
    args = parser.parse_args(argv)
    baseline: list[tuple[str, str, str]] = []
    missing = [tool for tool in ("rg", "ugrep") if not shutil.which(tool)]
    if missing:
        print(f"missing {', '.join(missing)}: run bench/setup.sh", file=sys.stderr)
        return 2
    scripts = [name for name in SCRIPTS if not args.script or {name, "all"} & set(args.script)]
    rows, verdicts = [], []

    def compare(name: str, ours: list[str], peer: list[str], limit: float) -> float:
        if args.baseline:
            (mine, before, theirs), (our_lines, before_lines, their_lines) = best_of(
                [ours, [args.baseline, *ours[1:]], peer], args.repeats)
            baseline.append((name, f"{before * 1e3:.0f} ms, {before_lines:,} lines", f"{mine / before:.2f}x"))
        else:
            (mine, theirs), (our_lines, their_lines) = best_of([ours, peer], args.repeats)
        ratio = mine / theirs
        rows.append((name, " ".join(ours[1:]), f"{mine * 1e3:.0f} ms, {our_lines:,} lines", " ".join(peer),
                     f"{theirs * 1e3:.0f} ms, {their_lines:,} lines", f"{ratio:.2f}x"))
        verdicts.append((f"{name}: at most {limit:g}x the peer", ratio <= limit, f"{ratio:.2f}x"))
        return ratio

    if not args.script:
        compare_source(compare, rows, verdicts, args.repeats, args.baseline, baseline)
    script_rows = []
    for name in scripts:
        cells = [verdict(compare(f"{option}, {SCRIPTS[name].title}, 40 MiB", ours, peer, limit), limit)
                 for option, ours, peer, limit in script_comparisons(name)]
        script_rows.append((SCRIPTS[name].title, cells))

    print(f"{os.cpu_count()} CPUs; best of {args.repeats} runs each, interleaved\n")
    print("| workload | tessarin | time | peer | time | ratio |")
    print("|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    print()
    for text, met, value in verdicts:
        print(f"{'met    ' if met else 'NOT met'}  {text}: {value}")
    if baseline:
        print(f"\nBeside {args.baseline} (this build / that one, the same runs):\n")
        print("| workload | baseline | this / baseline |")
        print("|---|---|---|")
        for row in baseline:
            print("| " + " | ".join(row) + " |")
    if script_rows:
        print_script_table("Targets by script (tessarin/peer on a 40 MiB file)",
                           [("tessarin -i", f"rg -i -F <= {SCRIPT_LIMITS['-i']:g}"),
                            ("tessarin -Z -t 1 --absolute", f"ugrep -a -Z1 <= {SCRIPT_LIMITS['-Z']:g}")],
                           script_rows)
    return 0


def compare_source(compare, rows: list, verdicts: list, repeats: int, baseline: str | None,
                   baseline_rows: list) -> None:
    """The command on Python source: one big file, a huge one and a tree."""
    build_inputs()
    files = sum(1 for _ in TREE.rglob("*") if _.is_file())

    compare("fuzzy, 1 edit, 43 MiB", [TESSARIN, "-Z", "-t", "1", "--absolute", WORD, str(BIG)],
            ["ugrep", "-Z1", "-o", "-n", WORD, str(BIG)], 1.5)
    compare("exact, ignore case, 43 MiB", [TESSARIN, "-i", WORD, str(BIG)],
            ["rg", "-i", "-F", "-n", WORD, str(BIG)], 3.0)
    compare(f"exact, ignore case, tree of {files} files", [TESSARIN, "-i", WORD, str(TREE)],
            ["rg", "-i", "-F", "-n", WORD, str(TREE)], 3.0)

    commands = [TESSARIN] + ([baseline] if baseline else [])
    jobs = [[command, "-j", j, "-Z", "-i", WORD, str(TREE)] for command in commands for j in ("1", "2")]
    times, lines = best_of(jobs, repeats)
    one, two = times[:2]
    for k, name in enumerate(("fuzzy, tree, -j 1", "fuzzy, tree, -j 2")[:len(times) - 2]):
        baseline_rows.append((name, f"{times[2 + k] * 1e3:.0f} ms, {lines[2 + k]:,} lines",
                              f"{times[k] / times[2 + k]:.2f}x"))

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


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

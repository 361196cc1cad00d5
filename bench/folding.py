#!/usr/bin/env python3
"""Folding of fixed-width code units beside str.lower(), script by script.

Usage: python bench/folding.py [--code-points N] [--repeats N]

Builds texts of about N code points (4 million by default) in several
scripts from short sentences, times str.lower() on each (the fastest of
REPEATS), then the core's fold_units on the same text in its own width and
in a wider one (a small C++ program, bench/folding.cpp, built here with
CMake into build/folding-bench), and prints nanoseconds per code point side
by side, with fold_units over str.lower(). "copy" says whether fold_units
made a folded copy or returned the input itself. This reports; it never
fails on a number.
"""
import argparse
import json
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "folding-bench"

SENTENCES = {
    "ascii": ["The quick brown fox jumps over the lazy dog.", "NASA launched a new probe today!",
              "Fold every line, then search it.", "Is this the right way to Paris?"],
    "latin1": ["Le café était très agréable à Noël.", "Über die Brücke gehen wir schön langsam.",
               "ÇA SUFFIT, dit-il à l'élève.", "Señor Muñoz habló con Ángel en la estación."],
    "cyrillic": ["Москва — столица России.", "Привет, как дела?", "СЕГОДНЯ хорошая погода.",
                 "Мы читали книгу весь вечер."],
    "greek": ["Η ΣΟΦΙΑ είναι αρετή.", "Ο Σωκράτης μίλησε στους μαθητές.", "ΟΔΟΣ ΑΘΗΝΑΣ", "Καλημέρα σας!"],
    "cjk": ["東京都の天気は晴れです。", "我们明天去北京。", "この本はとても面白い。", "서울은 한국의 수도입니다."],
    "emoji": ["Great job 👍 see you 🙂", "Pizza 🍕 tonight?", "LOL 😂😂 okay", "Sunny ☀️ day 🌊"],
}
# Each text in its own width, and some in a wider one too (a single code
# point of a wider width makes Python store the whole text that way).
RUNS = [("ascii", 1), ("latin1", 1), ("latin1", 2), ("cyrillic", 2), ("cyrillic", 4), ("greek", 2), ("cjk", 2),
        ("emoji", 4)]
ENCODINGS = {1: "latin-1", 2: "utf-16-le", 4: "utf-32-le"}


def build_text(script, code_points, lines):
    rng = random.Random(script)
    parts, size = [], 0
    while size < code_points:
        sentence = rng.choice(SENTENCES[script])
        parts.append(sentence)
        size += len(sentence) + 1
    return ("\n" if lines else " ").join(parts)


def fastest(function, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


def build_harness():
    # CMake and Ninja of the environment (requirements/build.txt), else the system's.
    tools = str(Path(sys.executable).parent)
    cmake = shutil.which("cmake", path=tools) or "cmake"
    ninja = shutil.which("ninja", path=tools) or "ninja"
    subprocess.run([cmake, "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}",
                    "-DCMAKE_BUILD_TYPE=Release", "-DTESSARIN_BUILD_BENCH=ON", f"-DPython_EXECUTABLE={sys.executable}"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", str(BUILD), "--target", "folding_bench"], check=True,
                   stdout=subprocess.DEVNULL)
    return BUILD / "folding_bench"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--code-points", type=int, default=4_000_000)
    parser.add_argument("--repeats", type=int, default=5)
    arguments = parser.parse_args()
    harness = build_harness()
    rows = []
    with tempfile.TemporaryDirectory() as scratch:
        command = [str(harness), str(arguments.repeats)]
        for lines in (False, True):
            for script, width in RUNS:
                if lines and width != max(w for s, w in RUNS if s == script):
                    continue
                text = build_text(script, arguments.code_points, lines)
                if width == 1:
                    assert max(text) < "\u0100"
                path = Path(scratch) / f"{script}-{width}-{'lines' if lines else 'one-line'}"
                path.write_bytes(text.encode(ENCODINGS[width], "surrogatepass"))
                command += [str(width), str(path)]
                rows.append((path.name, script, width, lines, len(text), fastest(text.lower, arguments.repeats)))
        results = {}
        for line in subprocess.run(command, check=True, capture_output=True, text=True).stdout.splitlines():
            result = json.loads(line)
            results[(Path(result["file"]).name, result["case_insensitive"], result["special"])] = result

    flag_sets = [(False, False), (True, False), (False, True), (True, True)]
    print(f"ns per code point, texts of {arguments.code_points:,} code points, fastest of {arguments.repeats}")
    print(f"{'text':<24}{'width':>6}{'lower()':>9}" +
          "".join(f"{'ci' if ci else '--'}{'+sci' if sci else '    '}{'':>12}" for ci, sci in flag_sets))
    for name, script, width, lines, size, lower_seconds in rows:
        lower_ns = lower_seconds / size * 1e9
        cells = []
        for ci, sci in flag_sets:
            result = results[(name, ci, sci)]
            ns = result["seconds"] / size * 1e9
            copy = "view" if result["borrowed"] else "copy"
            cells.append(f"{ns:6.2f} {ns / lower_ns:5.2f}x {copy:<4}")
        label = f"{script}{', lines' if lines else ''}"
        print(f"{label:<24}{width:>6}{lower_ns:9.2f}  " + "  ".join(cells))
    print("each cell: fold_units ns per code point, its ratio to str.lower(), and whether it copied")


if __name__ == "__main__":
    main()

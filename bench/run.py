"""Times tessarin against its peers and prints a table of medians and ratios.

Usage (normally through `./dev bench`, which prepares the corpora first):
    python bench/run.py [--quick] [--repeats N] [--only NAME ...] [--output PATH]

A cell is one workload at one input size. Every timing of a cell comes from a
fresh Python process, which builds its inputs, runs each contender once to
warm up and count its matches, then times each contender once with the
garbage collector off. The cells of a workload take turns, round after round,
so a slow spell of the machine is spread over all sizes instead of landing on
one of them. The table shows median times, our time divided by each peer's,
and how much slower we get each time the input doubles.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
DEFAULT_OUTPUT = BENCH_DIR / "results.json"
MIN_REPEATS = 5
# One timed run per fresh process: the spread between processes (memory
# layout, the state of the machine) is part of what a median should absorb.
RUNS_PER_PROCESS = 1


# --- worker: one cell in this fresh process ---------------------------------

def time_cell(workload_name: str, megabytes: float, runs: int) -> dict:
    from workloads import WORKLOADS

    workload = WORKLOADS[workload_name]
    args = workload.prepare(megabytes)
    contenders = {"ours": workload.ours, **workload.peers}

    # The warm-up run also tells how many matches each side finds.
    matches = {name: workload.count(call(*args)) for name, call in contenders.items()}

    seconds: dict[str, list[float]] = {name: [] for name in contenders}
    gc.collect()
    gc.disable()
    try:
        for _ in range(runs):
            for name, call in contenders.items():
                started = time.perf_counter()
                result = call(*args)
                seconds[name].append(time.perf_counter() - started)
                del result  # freed outside the timed span
    finally:
        gc.enable()
    return {"matches": matches, "seconds": seconds}


# --- driver ---------------------------------------------------------------------

def run_worker(workload_name: str, megabytes: float, timeout: float) -> dict:
    command = [sys.executable, str(Path(__file__).resolve()), "--worker",
               workload_name, repr(megabytes), str(RUNS_PER_PROCESS)]
    try:
        finished = subprocess.run(command, stdout=subprocess.PIPE, text=True,
                                  timeout=timeout, check=False)
    except subprocess.TimeoutExpired:
        return {"error": f"no result within {timeout:g} s"}
    if finished.returncode != 0:
        return {"error": f"worker exited with status {finished.returncode}"}
    return json.loads(finished.stdout)


def measure(workload, sizes, repeats: int, timeout: float) -> list[dict]:
    cells = {size: {"size_mib": size, "seconds": {}} for size in sizes}
    failed_at = None  # a size that failed; it and every larger size are dropped
    show_progress = sys.stderr.isatty()
    for round_number in range(1, repeats + 1):
        if show_progress:
            print(f"\r  round {round_number}/{repeats}", end="", file=sys.stderr, flush=True)
        for size in sizes:
            if failed_at is not None and size >= failed_at:
                continue
            outcome = run_worker(workload.name, size, timeout)
            cell = cells[size]
            if "error" in outcome:
                cell["error"] = outcome["error"]
                failed_at = size
                continue
            cell.setdefault("matches", outcome["matches"])
            for name, runs in outcome["seconds"].items():
                cell["seconds"].setdefault(name, []).extend(runs)
    if show_progress:
        print("\r\033[K", end="", file=sys.stderr, flush=True)

    measured = []
    for size in sizes:
        cell = cells[size]
        if failed_at is not None and size > failed_at:
            break
        cell["repeats"] = len(cell["seconds"].get("ours", ()))
        if "error" not in cell:
            cell["median_seconds"] = {name: statistics.median(runs) for name, runs in cell["seconds"].items()}
        measured.append(cell)
    return measured


def format_ms(seconds: float) -> str:
    return f"{seconds * 1000:.2f}"


def doubles(previous_size: float | None, size: float) -> bool:
    return previous_size is not None and abs(size - 2 * previous_size) < 1e-9


def run_workload(workload, quick: bool, repeats: int, timeout: float) -> dict:
    sizes = workload.quick_sizes if quick else workload.sizes
    peers = list(workload.peers)
    print(f"\n{workload.name}: {workload.title}")
    for note in workload.notes:
        print(f"  {note}")
    header = f"  {'size':>9} {'matches':>10} {'ours ms':>10}"
    for peer in peers:
        header += f" {peer + ' ms':>10} {'ours/' + peer:>10}"
    header += f" {'growth':>8}"
    print(header, flush=True)

    cells = measure(workload, sizes, repeats, timeout)
    previous = None  # (size, medians) of the last cell that succeeded
    for cell in cells:
        size = cell["size_mib"]
        label = f"{size:g} MiB"
        if "error" in cell:
            print(f"  {label:>9} {cell['error']}; larger sizes skipped", flush=True)
            break
        median = cell["median_seconds"]
        cell["ratio"] = {peer: median["ours"] / median[peer] if median[peer] else None for peer in peers}
        # Growth of every contender, not only ours: when a peer slows down as
        # much on the same doubling, the machine rather than our code is to blame.
        cell["growth"] = {name: (value / previous[1][name]
                                 if previous and doubles(previous[0], size) and previous[1][name] else None)
                          for name, value in median.items()}
        previous = (size, median)

        matches = cell["matches"]
        line = f"  {label:>9} {matches['ours']:>10,} {format_ms(median['ours']):>10}"
        for peer in peers:
            ratio = cell["ratio"][peer]
            line += f" {format_ms(median[peer]):>10} {(f'{ratio:.2f}x' if ratio is not None else '-'):>10}"
        growth = cell["growth"]["ours"]
        over = workload.growth_limit is not None and growth is not None and growth > workload.growth_limit
        line += f" {(f'{growth:.2f}x' if growth is not None else '-'):>8}{' !' if over else ''}"
        print(line, flush=True)
        for peer in peers:
            if matches[peer] != matches["ours"]:
                print(f"  {'':>9} {peer} found {matches[peer]:,} matches", flush=True)

    def worst_growth(name: str) -> float | None:
        growths = [cell["growth"][name] for cell in cells
                   if "growth" in cell and cell["growth"][name] is not None]
        return max(growths, default=None)

    growth_met = None
    worst = worst_growth("ours")
    if workload.growth_limit is not None and worst is not None:
        growth_met = worst <= workload.growth_limit and not any("error" in cell for cell in cells)
        verdict = "met" if growth_met else "NOT met"
        # Small inputs take fractions of a millisecond, where leaving a cache
        # level or a change in how memory is obtained can double a time; the
        # target is judged on the full sizes.
        caveat = "; quick sizes, indicative only" if quick else ""
        peers_worst = "".join(f", {peer} {worst_growth(peer):.2f}x" for peer in peers
                              if worst_growth(peer) is not None)
        print(f"  growth per doubling at most {workload.growth_limit:g}x: {verdict} "
              f"(worst: ours {worst:.2f}x{peers_worst}{caveat})")
    return {"name": workload.name, "title": workload.title, "notes": list(workload.notes),
            "growth_limit": workload.growth_limit, "growth_met": growth_met, "cells": cells}


def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Time tessarin against its peers.")
    parser.add_argument("--quick", action="store_true", help="smaller inputs, for a fast look")
    parser.add_argument("--repeats", type=int, default=MIN_REPEATS,
                        help=f"timed runs per contender and cell, each in a fresh process (at least {MIN_REPEATS})")
    parser.add_argument("--only", action="append", metavar="NAME",
                        help="run only this workload (may be given more than once)")
    parser.add_argument("--list", action="store_true", help="list the workloads and stop")
    parser.add_argument("--timeout", type=float, default=900,
                        help="seconds one timing process may take before its cell is given up (default 900)")
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT,
                        help="where to write the results as JSON (default bench/results.json)")
    args = parser.parse_args(argv)
    if args.repeats < MIN_REPEATS:
        parser.error(f"--repeats must be at least {MIN_REPEATS}: a median of fewer runs is too noisy")
    return args


def main(argv: list[str]) -> int:
    if argv[:1] == ["--worker"]:
        name, megabytes, runs = argv[1], float(argv[2]), int(argv[3])
        json.dump(time_cell(name, megabytes, runs), sys.stdout)
        return 0

    args = parse_args(argv)
    try:
        from workloads import WORKLOADS
    except ImportError as error:
        print(f"cannot load the workloads ({error}); is the extension installed in .venv?", file=sys.stderr)
        return 1
    if args.list:
        for workload in WORKLOADS.values():
            print(f"{workload.name}: {workload.title}")
        return 0
    unknown = sorted(set(args.only or ()) - set(WORKLOADS))
    if unknown:
        print(f"unknown workload(s): {', '.join(unknown)}; known: {', '.join(WORKLOADS)}", file=sys.stderr)
        return 2
    chosen = [w for w in WORKLOADS.values() if not args.only or w.name in args.only]

    print(f"Python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} cores; "
          f"median of {args.repeats} runs, each in a fresh process; "
          f"times in milliseconds{'; quick sizes' if args.quick else ''}")
    results = [run_workload(w, args.quick, args.repeats, args.timeout) for w in chosen]

    report = {
        "created": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
        "python": platform.python_version(),
        "machine": platform.machine(),
        "cores": os.cpu_count(),
        "quick": args.quick,
        "repeats": args.repeats,
        "workloads": results,
    }
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
    print(f"\nresults written to {args.output}")
    failed = any("error" in cell for result in results for cell in result["cells"])
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/env python3
"""Measures tessarin against its peers and prints a table of medians and ratios.

Usage (after scripts/setup.sh and bench/setup.sh, which `./dev bench` runs):
    python bench/run.py [--quick] [--repeats N] [--only NAME_OR_NUMBER ...] [--script NAME ...] [--list]

A cell is one workload on one input. Every measurement of a cell comes from a
fresh Python process that builds the inputs, then runs each contender with
the garbage collector off: a first run counts the matches and warms the
caches, and a second run is timed, unless the first took a second or more
(then it is the timing); a call under 0.1 s is timed three times and the
fastest counts. The cells of a
workload take turns, round after round, so a slow spell of the machine is
spread over all of them. The table shows medians, our median over each peer's
(below 1.00x means tessarin is faster), and for inputs that double in size
how much slower we got. The script cells (each script's text, alike in
every workload that has them) close the run in a table of the targets,
script by script. --script NAME keeps only the script cells of that script
(all: of every script). The results go to bench/results.json; the scaling
runs are also drawn, into docs/scaling.png (bench/scaling.png for --quick).
"""

from __future__ import annotations

import argparse
import functools
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

from corpus import SCRIPTS, describe
from report import TableCell, print_script_table, verdict

BENCH_DIR = Path(__file__).resolve().parent
DEFAULT_OUTPUT = BENCH_DIR / "results.json"
FULL_PLOT = BENCH_DIR.parent / "docs" / "scaling.png"
QUICK_PLOT = BENCH_DIR / "scaling.png"
MIN_REPEATS = 5
# A first run this long is its own timing: caches hardly matter to it.
SELF_WARMING_SECONDS = 1.0
# A call this short is timed FASTEST_OF times, and the fastest counts: one
# interruption by the machine would otherwise outweigh it.
SHORT_CALL_SECONDS = 0.1
FASTEST_OF = 3
CALLS_PER_LOOP = {False: 100_000, True: 20_000}  # for "per_call", by --quick
UNITS = {"time": "ms", "per_call": "ns", "memory": "B/char"}
SCALE = {"time": 1e3, "per_call": 1e9, "memory": 1}  # from seconds, or bytes per character


# --- worker: one cell in this fresh process -------------------------------------

def timed_run(call) -> tuple[float, object]:
    started = time.perf_counter()
    result = call.function(*call.args, **call.kwargs)
    return time.perf_counter() - started, result


def mean_seconds_per_call(call, calls: int) -> float:
    function, args = call.function, call.args
    if call.kwargs:
        function = functools.partial(function, **call.kwargs)
    started = time.perf_counter()
    for _ in range(calls):
        function(*args)
    return (time.perf_counter() - started) / calls


def resident_kib(field: str) -> int:
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def peak_bytes_per_character(call) -> tuple[float, object]:
    # Writing 5 to clear_refs sets the peak (VmHWM) back to the current
    # resident size, so the text's own building no longer counts.
    Path("/proc/self/clear_refs").write_text("5")
    before = resident_kib("VmRSS")
    result = call.function(*call.args, **call.kwargs)
    peak = resident_kib("VmHWM")
    return (peak - before) * 1024 / len(call.args[0]), result  # the text is the first argument


def match_count(result: object) -> int | None:
    return len(result) if hasattr(result, "__len__") else None


def bytes_per_code_point(text: str) -> int:
    widest = max(text, default="\0")
    return 1 if widest <= "\xff" else 2 if widest <= "\uffff" else 4


def measure_cell(workload, cell, quick: bool) -> dict:
    calls = workload.calls(cell)
    values, matches = {}, {}
    outcome = {"values": values, "matches": matches}
    if cell.script:
        outcome["width"] = bytes_per_code_point(calls["ours"].args[0])  # the text is the first argument
    gc.collect()
    gc.disable()
    for name, call in calls.items():
        if workload.measure == "memory":
            values[name], result = peak_bytes_per_character(call)
            matches[name] = match_count(result)
        else:
            seconds, result = timed_run(call)  # the warm-up, which also counts the matches
            matches[name] = match_count(result)
            if workload.measure == "per_call":
                seconds = mean_seconds_per_call(call, CALLS_PER_LOOP[quick])
            elif seconds < SELF_WARMING_SECONDS:
                del result
                runs = FASTEST_OF if seconds < SHORT_CALL_SECONDS else 1
                seconds = min(timed_run(call)[0] for _ in range(runs))
            values[name] = seconds
        result = None  # freed before the next contender starts
        gc.collect()
    return outcome


# --- driver ----------------------------------------------------------------------------

def run_worker(workload, index: int, quick: bool, timeout: float) -> dict:
    command = [sys.executable, str(Path(__file__).resolve()), "--worker", workload.name, str(index), str(int(quick))]
    try:
        finished = subprocess.run(command, stdout=subprocess.PIPE, text=True, timeout=timeout, check=False)
    except subprocess.TimeoutExpired:
        return {"error": f"timeout (> {timeout:g} s)"}
    if finished.returncode != 0:
        return {"error": f"worker exited with status {finished.returncode}"}
    return json.loads(finished.stdout)


def measure(workload, cells: dict[int, object], quick: bool, repeats: int, timeout: float) -> list[dict]:
    """`cells`: the cells to measure, by their index in the workload's list."""
    records = [{"label": cell.label, "variant": cell.variant, "megabytes": cell.megabytes, "script": cell.script,
                "values": {}} for cell in cells.values()]
    show_progress = sys.stderr.isatty()
    for round_number in range(1, repeats + 1):
        for index, record in zip(cells, records):
            if "error" in record:
                continue  # a cell that failed once is not tried again
            if show_progress:
                print(f"\r\033[K  round {round_number}/{repeats}: {record['label']}",
                      end="", file=sys.stderr, flush=True)
            outcome = run_worker(workload, index, quick, timeout)
            if "error" in outcome:
                record["error"] = outcome["error"]
                continue
            record.setdefault("matches", outcome["matches"])
            if "width" in outcome:
                record["width"] = outcome["width"]
            for name, value in outcome["values"].items():
                record["values"].setdefault(name, []).append(value)
    if show_progress:
        print("\r\033[K", end="", file=sys.stderr, flush=True)

    for record in records:
        if "error" in record:
            continue
        median = record["median"] = {name: statistics.median(v) for name, v in record["values"].items()}
        record["ratio"] = {name: median["ours"] / value for name, value in median.items()
                           if name != "ours" and value > 0}
        half = next((other for other in records if other["variant"] == record["variant"]
                     and 0 < other["megabytes"] * 2 == record["megabytes"] and "median" in other), None)
        record["growth"] = median["ours"] / half["median"]["ours"] if half else None
    return records


def show(workload, value: float) -> str:
    digits = 0 if workload.measure == "per_call" else 2
    return f"{value * SCALE[workload.measure]:,.{digits}f} {UNITS[workload.measure]}"


def print_table(workload, records: list[dict]) -> None:
    with_ratio = any(record.get("ratio") for record in records)
    with_growth = any(record.get("growth") for record in records)

    def row(label: str, name: str, median: str, ratio: str, growth: str, matches: str) -> str:
        line = f"  {label:<34} {name:<12} {median:>14}"
        line += f" {ratio:>10}" if with_ratio else ""
        line += f" {growth:>7}" if with_growth else ""
        return line + f" {matches:>9}"

    print(row("cell", "contender", "median", "ours/peer", "growth", "matches"))
    for record in records:
        if "error" in record:
            print(f"  {record['label']:<34} {record['error']}")
            continue
        for position, (name, value) in enumerate(record["median"].items()):
            ratio = record["ratio"].get(name)
            growth = record["growth"] if name == "ours" else None
            count = record["matches"][name]
            print(row(record["label"] if position == 0 else "", name, show(workload, value),
                      f"{ratio:.3g}x" if ratio is not None else "",
                      f"{growth:.2f}x" if growth is not None else "",
                      f"{count:,}" if count is not None else ""))


def chosen_cells(workload, quick: bool, scripts: set[str]) -> dict[int, object]:
    """The workload's cells by index; with `scripts`, only the script cells of
    those scripts ("all": of every script)."""
    cells = enumerate(workload.quick_cells if quick else workload.cells)
    return {index: cell for index, cell in cells
            if not scripts or (cell.script is not None and ("all" in scripts or cell.script in scripts))}


def run_workload(workload, cells: dict[int, object], quick: bool, repeats: int, timeout: float) -> dict:
    print(f"\n{workload.number}. {workload.name}: {workload.title}")
    for note in workload.notes:
        print(f"   {note}")
    records = measure(workload, cells, quick, repeats, min(workload.timeout or timeout, timeout))
    print_table(workload, records)
    met, detail = workload.target.judge(records)
    print(f"  target, {workload.target.text}: {'met' if met else 'NOT met'} ({detail})", flush=True)
    return {"number": workload.number, "name": workload.name, "title": workload.title,
            "notes": list(workload.notes), "measure": workload.measure, "unit": UNITS[workload.measure],
            "target": workload.target.text, "met": met, "detail": detail, "cells": records}


def script_rows(results: list[dict], targets, scripts: dict) -> list[tuple[str, list[TableCell]]]:
    """One row per script that was measured: the width of its text (bytes per
    code point), then its value for each target ('-' where the cell was not run):
    where a workload has several cells of the script, the worst of them."""
    by_workload = {result["name"]: result for result in results}

    def value_of(record: dict, target) -> float | None:
        return record["ratio"].get(target.peer) if target.peer else record["median"]["ours"]

    def worst(records: list[dict], target) -> dict | None:
        if not records:
            return None
        failed = [record for record in records if "error" in record]
        if failed:
            return failed[0]
        return max(records, key=lambda record: -1.0 if value_of(record, target) is None else value_of(record, target))

    rows = []
    for name, script in scripts.items():
        of_script = {target.workload: [cell for cell in by_workload.get(target.workload, {}).get("cells", ())
                                       if cell.get("script") == name] for target in targets}
        records = {target.workload: worst(of_script[target.workload], target) for target in targets}
        if not any(records.values()):
            continue
        width = next((cell["width"] for cells in of_script.values() for cell in cells if "width" in cell), "?")
        cells: list[TableCell] = [(str(width), None)]
        for target in targets:
            record = records[target.workload]
            if record is None:
                cells.append(("-", None))
            elif "error" in record:
                cells.append(("failed", False))
            else:
                value, unit = value_of(record, target), "x" if target.peer else " B"
                if value is None:  # the peer took no measurable time
                    cells.append(("-", None))
                elif record.get("width") in target.widths:
                    cells.append(verdict(value, target.limit, unit))
                else:
                    cells.append((f"{value:.3g}{unit}", None))
        rows.append((script.title, cells))
    return rows


def print_script_targets(results: list[dict], quick: bool) -> None:
    from workloads import SCRIPT_TARGETS, WORKLOADS
    rows = script_rows(results, SCRIPT_TARGETS, SCRIPTS)
    if not rows:
        return
    columns = [("bytes", "per cp")] + [
        (target.column, f"{target.peer} <= {target.limit:.3g}" if target.peer
         else f"<= {target.limit:g} ({'/'.join(map(str, target.widths))}-byte)") for target in SCRIPT_TARGETS]
    print_script_table(f"Targets by script (ours/peer; memory: bytes per code point)"
                       f"{', quick sizes: indicative only' if quick else ''}", columns, rows)
    print("  columns: " + "; ".join(f"{target.column}: workload {WORKLOADS[target.workload].number}"
                                    for target in SCRIPT_TARGETS))


def print_summary(results: list[dict], quick: bool) -> None:
    print(f"\nTargets{' (quick sizes: indicative only)' if quick else ''}")
    for result in results:
        verdict = "met" if result["met"] else "NOT met"
        print(f"  {result['number']:>2} {result['name']:<21} {verdict:<8} {result['target']}; {result['detail']}")


def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Measure tessarin against its peers.")
    parser.add_argument("--quick", action="store_true", help="smaller inputs, for a smoke run")
    parser.add_argument("--repeats", type=int, default=MIN_REPEATS,
                        help=f"measuring processes per cell (at least {MIN_REPEATS})")
    parser.add_argument("--only", action="append", metavar="NAME",
                        help="run only this workload, by name or number (may be given more than once)")
    parser.add_argument("--script", action="append", metavar="NAME",
                        help="run only the script cells of this script, or of every one with 'all' "
                             "(may be given more than once)")
    parser.add_argument("--list", action="store_true", help="list the workloads and stop")
    parser.add_argument("--timeout", type=float, default=900,
                        help="seconds one measuring process may take before its cell is given up (default 900)")
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT,
                        help="where to write the results as JSON (default bench/results.json)")
    parser.add_argument("--plot", type=Path,
                        help="where to draw the scaling runs (default docs/scaling.png; bench/scaling.png with --quick)")
    args = parser.parse_args(argv)
    if args.repeats < MIN_REPEATS:
        parser.error(f"--repeats must be at least {MIN_REPEATS}: a median of fewer runs is too noisy")
    return args


def main(argv: list[str]) -> int:
    if argv[:1] == ["--worker"]:
        from workloads import WORKLOADS
        workload, quick = WORKLOADS[argv[1]], argv[3] == "1"
        cell = (workload.quick_cells if quick else workload.cells)[int(argv[2])]
        json.dump(measure_cell(workload, cell, quick), sys.stdout)
        return 0

    args = parse_args(argv)
    try:
        from workloads import WORKLOADS
    except ImportError as error:
        print(f"cannot load the workloads ({error}); run bench/setup.sh after scripts/setup.sh", file=sys.stderr)
        return 1
    if args.list:
        for workload in WORKLOADS.values():
            print(f"{workload.number:>2}. {workload.name}: {workload.title}")
        return 0
    wanted, scripts = set(args.only or ()), set(args.script or ())
    unknown = wanted - {key for w in WORKLOADS.values() for key in (w.name, str(w.number))}
    if unknown:
        print(f"unknown workload(s): {', '.join(sorted(unknown))}; see --list", file=sys.stderr)
        return 2
    if scripts - {*SCRIPTS, "all"}:
        print(f"unknown script(s): {', '.join(sorted(scripts - {*SCRIPTS, 'all'}))}; "
              f"known: {', '.join(SCRIPTS)}, all", file=sys.stderr)
        return 2
    chosen = {w: cells for w in WORKLOADS.values() if not wanted or {w.name, str(w.number)} & wanted
              if (cells := chosen_cells(w, args.quick, scripts))}

    print(f"Python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} cores; "
          f"median of {args.repeats} fresh processes per cell{'; quick sizes' if args.quick else ''}")
    measured_scripts = {cell.script for cells in chosen.values() for cell in cells.values()} - {None}
    if measured_scripts:
        print("The script cells' texts (bench/data/NAME.txt, repeated and cut to each cell's size):")
        for name in SCRIPTS:
            if name in measured_scripts:
                print(f"  {describe(name)}")
    results = [run_workload(w, cells, args.quick, args.repeats, args.timeout) for w, cells in chosen.items()]
    print_summary(results, args.quick)
    print_script_targets(results, args.quick)

    report = {"created": time.strftime("%Y-%m-%dT%H:%M:%S%z"), "python": platform.python_version(),
              "machine": platform.machine(), "cores": os.cpu_count(), "quick": args.quick,
              "repeats": args.repeats, "workloads": results}
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
    print(f"\nresults written to {args.output}")
    scaling = next((result for result in results if result["name"] == "scaling"), None)
    if scaling is not None:
        from plot import plot_scaling
        from workloads import GROWTH_LIMIT
        path = args.plot or (QUICK_PLOT if args.quick else FULL_PLOT)
        plot_scaling(scaling, path, args.quick, GROWTH_LIMIT)
        print(f"scaling plot drawn in {path}")
    # A missed target is a finding, not a failure; a cell that could not be measured is.
    return 1 if any("error" in cell for result in results for cell in result["cells"]) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/env python3
"""Measures two builds of tessarin side by side, cell by cell, in one run.

Usage (after ./dev bench has prepared the corpora):
    python bench/side_by_side.py BEFORE_DIR [--only NAME_OR_NUMBER ...] [--repeats N] [--quick]

BEFORE_DIR holds another build of the module (for instance a wheel of an
earlier commit, unpacked); the build that this interpreter imports is the
one after. Every measurement comes from a fresh process, as in run.py, and
the two builds take turns within each round of each cell, so that a busy
spell of the machine weighs on both alike. For each cell the table shows
both medians and both ratios to each peer, and the target's verdict for
each build.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

import run
from workloads import WORKLOADS

RUN = Path(run.__file__).resolve()


def measure_once(workload, index: int, quick: bool, timeout: float, path: str | None) -> dict:
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = path + os.pathsep + env.get("PYTHONPATH", "")
    command = [sys.executable, str(RUN), "--worker", workload.name, str(index), str(int(quick))]
    try:
        finished = subprocess.run(command, stdout=subprocess.PIPE, text=True, timeout=timeout, check=False, env=env)
    except subprocess.TimeoutExpired:
        return {"error": f"timeout (> {timeout:g} s)"}
    if finished.returncode != 0:
        return {"error": f"worker exited with status {finished.returncode}"}
    return json.loads(finished.stdout)


def summarise(values: dict[str, list[float]]) -> dict:
    median = {name: statistics.median(v) for name, v in values.items()}
    ratio = {name: median["ours"] / value for name, value in median.items() if name != "ours" and value > 0}
    return {"median": median, "ratio": ratio}


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description="Measure two builds of tessarin side by side.")
    parser.add_argument("before", help="a folder holding the build to compare with")
    parser.add_argument("--only", action="append", metavar="NAME", help="a workload, by name or number (repeatable)")
    parser.add_argument("--repeats", type=int, default=run.MIN_REPEATS, help="rounds per cell")
    parser.add_argument("--quick", action="store_true", help="the quick cells")
    parser.add_argument("--timeout", type=float, default=900)
    parser.add_argument("--output", type=Path, help="where to write both builds' results as JSON")
    args = parser.parse_args(argv)
    wanted = set(args.only or ())
    report = []
    for workload in WORKLOADS.values():
        if wanted and not {workload.name, str(workload.number)} & wanted:
            continue
        cells = workload.quick_cells if args.quick else workload.cells
        print(f"\n{workload.number}. {workload.name}: {workload.title}\n   target: {workload.target.text}", flush=True)
        records = {"before": [], "after": []}
        for index, cell in enumerate(cells):
            values = {"before": {}, "after": {}}
            failed = None
            for _ in range(args.repeats):
                for side, path in (("before", args.before), ("after", None)):
                    outcome = measure_once(workload, index, args.quick, workload.timeout or args.timeout, path)
                    if "error" in outcome:
                        failed = outcome["error"]
                        break
                    for name, value in outcome["values"].items():
                        values[side].setdefault(name, []).append(value)
                if failed:
                    break
            if failed:
                print(f"  {cell.label:<48} {failed}", flush=True)
                for side in records:
                    records[side].append({"label": cell.label, "script": cell.script, "error": failed})
                continue
            line = f"  {cell.label:<48}"
            for side in ("before", "after"):
                summary = summarise(values[side])
                records[side].append({"label": cell.label, "script": cell.script, "megabytes": cell.megabytes,
                                      "variant": cell.variant, **summary})
                ratios = ", ".join(f"{peer} {r:.3g}x" for peer, r in summary["ratio"].items())
                line += f"  {side} {run.show(workload, summary['median']['ours']):>12} ({ratios})"
            print(line, flush=True)
        verdicts = {side: workload.target.judge(records[side]) for side in records}
        for side, (met, detail) in verdicts.items():
            print(f"  {side}: {'met' if met else 'NOT met'} ({detail})", flush=True)
        report.append({"number": workload.number, "name": workload.name, "target": workload.target.text,
                       "cells": records, "met": {side: verdicts[side][0] for side in verdicts}})
    if args.output:
        args.output.write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

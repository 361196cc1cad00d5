"""Draws the scaling runs: time against input size, and the growth per doubling."""

from __future__ import annotations

from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # no display is needed, or wanted, to write a PNG
import matplotlib.pyplot as plt  # noqa: E402  (the backend must be chosen first)


def plot_scaling(result: dict, path: Path, quick: bool, growth_limit: float) -> None:
    series: dict[str, list[dict]] = {}
    for cell in result["cells"]:
        if "median" in cell:
            series.setdefault(cell["variant"], []).append(cell)

    figure, (times, growths) = plt.subplots(1, 2, figsize=(11, 4.2))
    for variant, cells in series.items():
        sizes = [cell["megabytes"] for cell in cells]
        times.plot(sizes, [cell["median"]["ours"] * 1e3 for cell in cells], marker="o", label=variant)
        doubled = [cell for cell in cells if cell["growth"] is not None]
        growths.plot([cell["megabytes"] for cell in doubled], [cell["growth"] for cell in doubled],
                     marker="o", label=variant)
    sizes = sorted({cell["megabytes"] for cells in series.values() for cell in cells})
    for axes, ticks in ((times, sizes), (growths, sizes[1:])):
        axes.set_xscale("log", base=2)
        axes.set_xticks(ticks, [f"{size:g}" for size in ticks])
        axes.minorticks_off()
        axes.set_xlabel("input size (MiB of English text)")
        axes.grid(True, which="both", alpha=0.3)
    times.set_yscale("log")
    times.set_ylabel("median time (ms)")
    times.set_title("time per call")
    times.legend(fontsize="small")
    growths.axhline(2.0, color="grey", linestyle=":", label="linear")
    growths.axhline(growth_limit, color="red", linestyle="--", label=f"limit {growth_limit:g}x")
    growths.set_ylabel("time / time at half the size")
    growths.set_title("growth per doubling")
    growths.legend(fontsize="small")
    figure.suptitle("tessarin scaling" + (" (quick sizes)" if quick else ""))
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=100)
    plt.close(figure)

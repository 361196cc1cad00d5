"""The closing table of the benchmarks: every script against every target."""

from __future__ import annotations


def verdict(value: float, limit: float, unit: str = "x") -> tuple[str, bool]:
    """A value held to a limit, as the table shows it, and whether it is met."""
    met = value <= limit
    return f"{value:.3g}{unit} {'ok' if met else 'NOT'}", met


TableCell = tuple[str, bool | None]  # as the table shows it, and whether it meets its target (None: not judged)


def print_script_table(title: str, columns: list[tuple[str, str]], rows: list[tuple[str, list[TableCell]]]) -> None:
    """`columns`: (heading, the target under it); `rows`: a label and one cell per column."""
    label_width = max(len(label) for label, _ in rows)
    widths = [max(len(heading), len(target), *(len(row[1][i][0]) for row in rows)) for i, (heading, target) in
              enumerate(columns)]

    def line(label: str, cells: list[str]) -> str:
        return "  " + label.ljust(label_width) + "".join("  " + cell.rjust(width) for cell, width in zip(cells, widths))

    judged = [met for _, cells in rows for _, met in cells if met is not None]
    print(f"\n{title}: {sum(judged)} of {len(judged)} met")
    print(line("", [heading for heading, _ in columns]))
    print(line("", [target for _, target in columns]))
    for label, cells in rows:
        print(line(label, [text for text, _ in cells]))

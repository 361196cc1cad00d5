"""tessarin: search files for a pattern, exactly or fuzzily, like grep.

Python programs use the typed search layer, `tessarin_cli.search` (results
located in the caller's text, with line and column), whose names are also
found here. The command lives in `tessarin_cli.command` (its native search
of files in `tessarin_cli._native`), its options in `tessarin_cli.options`
and the order of its output in `tessarin_cli.output`. Only what
a use needs is imported, so the command starts quickly.
"""

from __future__ import annotations

from tessarin_cli.query import Search, build_search

TYPE_CHECKING = False
if TYPE_CHECKING:
    from tessarin_cli.search import FileResult, FoldedPositions, Hit, locate, search_file

__all__ = ["FileResult", "FoldedPositions", "Hit", "Search", "build_search", "locate", "main",
           "search_file"]


def main(argv: list[str] | None = None) -> int:
    """Runs the command with `argv` (default: the process's arguments); returns its exit status."""
    from tessarin_cli.command import main as command_main
    return command_main(argv)


def __getattr__(name: str) -> object:
    if name in ("FileResult", "FoldedPositions", "Hit", "locate", "search_file"):
        from tessarin_cli import search
        return getattr(search, name)
    raise AttributeError(f"module 'tessarin_cli' has no attribute {name!r}")

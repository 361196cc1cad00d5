"""tessarin: search files for a pattern, exactly or fuzzily, like grep.

Python programs use the typed search layer, `tessarin_cli.search` (results
located in the caller's text, with line and column), whose names are also
found here. The command lives in `tessarin_cli.command` (its native search
of files in `tessarin_cli._native`), its options in `tessarin_cli.options`
and the order of its output in `tessarin_cli.output`. Only what
a use needs is imported, so the command starts quickly.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NoReturn

    from tessarin_cli.query import Search, build_search
    from tessarin_cli.search import FileResult, FoldedPositions, Hit, locate, search_file

__all__ = ["FileResult", "FoldedPositions", "Hit", "Search", "build_search", "locate", "main",
           "search_file"]


def main(argv: list[str] | None = None) -> int:
    """Runs the command with `argv` (default: the process's arguments); returns its exit status."""
    from tessarin_cli.command import main as command_main
    return command_main(argv)


def console() -> NoReturn:
    """The `tessarin` command as a process: runs it with the process's
    arguments, writes out what is buffered and ends the process with its
    exit status, without the interpreter's tear-down, which would cost
    as much again as a small search (nothing is left to clean up: the
    files are closed, and a thread still searching after Ctrl-C is not
    waited for, as at any exit)."""
    import gc
    import os

    # The command's modules are made once and live as long as the process:
    # the collector has nothing to find among them.
    gc.disable()
    from tessarin_cli.command import finish, main as command_main
    gc.freeze()
    gc.enable()
    os._exit(finish(command_main()))


def __getattr__(name: str) -> object:
    if name in ("Search", "build_search"):
        from tessarin_cli import query
        return getattr(query, name)
    if name in ("FileResult", "FoldedPositions", "Hit", "locate", "search_file"):
        from tessarin_cli import search
        return getattr(search, name)
    raise AttributeError(f"module 'tessarin_cli' has no attribute {name!r}")

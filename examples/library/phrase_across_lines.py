"""A phrase across line breaks: "petit déjeuner" found where the text breaks
it over lines, indents it, or puts tabs and no-break spaces in it; the
positions are those of the text as it is.

Run it:  python examples/library/phrase_across_lines.py
"""

from tessarin_search import Match, Search

TEXT = ("Le petit\r\ndéjeuner est servi.\n"
        "Au menu du petit\n    déjeuner : du pain.\n"
        "Un petit\tdéjeuner, un petit\u00a0déjeuner.\n")


def phrases(text: str) -> list[Match]:
    return Search("petit déjeuner", collapse_white_space=True).find(text)


def main() -> None:
    for match in phrases(TEXT):
        assert TEXT[match.start:match.end] == match.text
        print(f"{match.line}:{match.column} {match.text!r}")


if __name__ == "__main__":
    main()

"""Names with typos in a document: every place a name appears, misspelt by up
to two edits (a letter added, dropped or changed), with line and column.

Run it:  python examples/library/names_with_typos.py
"""

from tessarin_search import Match, Search

DOCUMENT = """Minutes of the meeting, 3 March.
Present: Bartholomew Kowalczyk, Esmerelda Thorvaldsen.
Apologies: Bartolomew (travelling), Kowalcyk.
Action: Esmeralda to send the report to Thorvaldson."""

NAMES = ["Bartholomew", "Kowalczyk", "Esmeralda", "Thorvaldsen"]


def mentions(document: str) -> list[Match]:
    return Search(NAMES, edits=2).find(document)


def main() -> None:
    for match in mentions(DOCUMENT):
        print(f"{match.line}:{match.column} {match.text!r} is {match.pattern} ({match.score:g} edits)")


if __name__ == "__main__":
    main()

"""Search with the typed layer: matches located in the caller's text, with
line and column. It checks clean with `mypy --strict`.

Run it from anywhere:  python examples/typed_search.py
"""

from tessarin_cli.search import Hit, Search, build_search

TEXT = """The old harbour at dusk.
The lighthose keeper waved;
the Lighthouse answered."""


def where(search: Search, text: str) -> list[str]:
    hits: list[Hit] = search.find(text)
    return [f"{hit.line}:{hit.column} {hit.text!r} score {hit.score:.2f}" for hit in hits]


def main() -> None:
    # Fuzzy and case-folded: positions still refer to TEXT as it is.
    for line in where(build_search("lighthouse", ignore_case=True, fuzzy=True), TEXT):
        print(line)


if __name__ == "__main__":
    main()

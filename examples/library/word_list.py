"""A word list, ignoring case and accents: which of the words a text uses,
and how often, whatever their capitals and accents.

Run it:  python examples/library/word_list.py
"""

from collections import Counter

from tessarin_search import Search

TEXT = """CAFÉ Crème et crème brûlée au café du coin ;
le Cafe ferme à midi, la creme reste au frais."""

WORDS = ["café", "crème", "brûlée", "midi"]


def counts(text: str) -> Counter[str]:
    search = Search(WORDS, ignore_case=True, ignore_accents=True)
    return Counter(match.pattern for match in search.find(text))


def main() -> None:
    for word, count in counts(TEXT).most_common():
        print(f"{word}: {count}")


if __name__ == "__main__":
    main()

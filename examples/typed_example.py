"""A typed program using all four functions; it checks clean with `mypy --strict`.

Run it from anywhere:  python examples/typed_example.py
The type checker reads the stubs that the wheel installs beside the module
(the `tessarin-stubs` package), so every result below is known to be a
`list[tuple[int, int, float]]` without any annotation at the call.
"""

import sys
from collections.abc import Sequence
from typing import NamedTuple

import tessarin


class Found(NamedTuple):
    start: int  # code-point positions in the folded text, end exclusive
    end: int
    distance: float  # 0.0 from the exact functions


def found(matches: list[tuple[int, int, float]]) -> list[Found]:
    return [Found(*match) for match in matches]


def closest(text: str, pattern: str, metric: str, strategies: Sequence[str]) -> Found | None:
    # A metric name read at run time is a plain `str`, and the stubs accept it.
    matches = tessarin.fuzzy_raw_extract(text, pattern, True, False, metric, 0.25, 1, strategies)
    return min(found(matches), key=lambda match: match.distance, default=None)


def main() -> None:
    text = "The old harbour, the old harbur and the new harbour of Cafe Rouge."

    exact = tessarin.exact_raw_extract(text, "café", True, True, [])
    tokens = tessarin.exact_token_extract(text, "old harbur", " ", False, False)
    # A literal metric name is one of the names the stubs list; an int
    # threshold is accepted where a float is read.
    raw = tessarin.fuzzy_raw_extract(text, "harbour", False, False, "levenshtein", 1, 0, ("best_match",))
    token = tessarin.fuzzy_token_extract(
        s=text,
        pattern="old harbour",
        tokenizer_pattern=" ",
        case_insensitive=True,
        special_char_insensitive=False,
        metric="jaro_winkler",
        threshold=0.1,
        threshold_kind=1,
        strategies=["best_match", "shortest"],
    )

    for name, matches in [("exact raw", exact), ("exact token", tokens), ("fuzzy raw", raw), ("fuzzy token", token)]:
        print(f"{name:12} " + ", ".join(f"{m.start}-{m.end} ({m.distance:.3f})" for m in found(matches)))

    metric = sys.argv[1] if len(sys.argv) > 1 else "damerau_levenshtein"
    print(f"{'closest':12} {closest(text, 'harbor', metric, ['best_match'])}")


if __name__ == "__main__":
    main()

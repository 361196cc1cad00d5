"""Search the bundled travel notes with each of tessarin's four functions.

Run it from anywhere:  python examples/demo.py
Every search prints the call, then one line per match:
    start-end  score  'matched text'
"""

from pathlib import Path

import tessarin

SAMPLE_PATH = Path(__file__).with_name("sample.txt")

# Display only: tessarin reports positions in the text as it folded it, and
# there is no map back to the original.  To show what a match covers we fold
# the text the same way here and slice that.  The library never uses this.
SPECIAL_CHARS = str.maketrans("àâäçèéêëïùûü@€", "aaaceeeeiuuuae")


def fold_for_display(text, case_insensitive, special_char_insensitive):
    text = text.replace("\n", " ")
    if case_insensitive:
        text = text.lower()  # may lengthen the text: İ becomes i + combining dot
    if special_char_insensitive:
        text = text.translate(SPECIAL_CHARS)
    return text


# (function, arguments after the text); the two flags always come right after
# the pattern (and the separator, for the token functions):
# case_insensitive, special_char_insensitive.
SEARCHES = [
    # Café, CAFÉ, Cafe and café all fold to 'cafe'.
    (tessarin.exact_raw_extract, ("café", True, True, [])),
    # Raw windows ignore word boundaries: 'train', 'grain' and 'drains' count.
    (tessarin.exact_raw_extract, ("rain", True, False, [])),
    # Token windows: the line feed inside one occurrence separates like a space.
    (tessarin.exact_token_extract, ("petit déjeuner", " ", True, True)),
    # At most two edits; windows exactly as long as the pattern.
    (tessarin.fuzzy_raw_extract,
     ("lighthouse", True, False, "levenshtein", 2, 0, ["best_match"])),
    # At most a fifth of the length; windows may be two code points shorter or
    # longer, and among equally good windows the shortest is kept.
    (tessarin.fuzzy_raw_extract,
     ("lighthouse", True, False, "levenshtein", 0.2, 1, ["best_match", "shortest"])),
    # Two-token windows within a quarter of the pattern's length.
    (tessarin.fuzzy_token_extract,
     ("old harbour", " ", True, True, "levenshtein", 0.25, 1, ["best_match"])),
]


def describe_call(function, text, arguments):
    shown_text = repr(text[:20] + "…")
    shown_arguments = ", ".join(repr(argument) for argument in arguments)
    return f"{function.__name__}({shown_text}, {shown_arguments})"


def folding_flags(function, arguments):
    # The flags follow the pattern, and the separator too in the token functions.
    first_flag = 2 if "token" in function.__name__ else 1
    return arguments[first_flag], arguments[first_flag + 1]


def run_search(function, text, arguments, position_width):
    print(describe_call(function, text, arguments))
    matches = function(text, *arguments)
    if not matches:
        print("    (no matches)\n")
        return
    folded = fold_for_display(text, *folding_flags(function, arguments))
    for start, end, score in matches:
        span = f"{start:>{position_width}}-{end:<{position_width}}"
        print(f"    {span}  {score:5.3f}  '{folded[start:end]}'")
    print()


def main():
    text = SAMPLE_PATH.read_text(encoding="utf-8")
    print(f"{SAMPLE_PATH.name}: {len(text)} characters\n")
    # Lower-casing is the only folding step that can lengthen the text.
    position_width = len(str(len(fold_for_display(text, True, False))))
    for function, arguments in SEARCHES:
        run_search(function, text, arguments, position_width)


if __name__ == "__main__":
    main()

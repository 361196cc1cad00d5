"""Token windows judged without scoring each one: floors kept up to date as
the window slides, a group's extent found from the windows that reach
furthest, exact token search around the pattern's occurrences. Each check
runs them against the reference model, which walks and scores every window,
on texts long enough to leave the short-call path (over 64 code points) as
well as short ones: runs of separators, tokens of one code point, patterns
with more tokens than the text, patterns of more than one 64-bit word."""

import math
import random

import pytest

import tessarin
import tessarin_names
import reference_model as model
from reference_model import outcome

METRICS = list(tessarin_names.METRICS)
WORDS = "the be to of and a in that have I it for not on with he as you do at é ŝ 文 😀".split()
SEPARATORS = [" ", ",", "--", "a", " \t", "aba", ""]
# Words of thirty CJK letters each, some letters shared between words: for
# patterns of more letters beyond Latin-1 than one or two 64-bit words hold.
LONG_WORDS = ["".join(chr(0x4E00 + (37 * i + 101 * k) % 700) for i in range(30)) for k in range(8)]
STRATEGY_LISTS = [["best_match"], ["best_match", "longest"], ["best_match", "minimum_isolated_character"],
                  [], ["longest"], ["shortest", "best_match"]]


def word_text(rng, separator, count):
    """Words joined by the separator, now and then twice or by other white space."""
    joiner = separator or " "
    pieces = []
    for _ in range(count):
        pieces.append(rng.choice(WORDS))
        pieces.append(joiner * rng.choice([1, 1, 1, 2]) if rng.random() < 0.9 else rng.choice(["\t", "\n", "  "]))
    return "".join(pieces)


def pattern_from(rng, text, separator, tokens):
    """A run of the text's tokens, often changed a little, or words from nowhere."""
    if text and rng.random() < 0.6:
        parts = text.split(separator) if separator else list(text)
        first = rng.randrange(len(parts))
        pattern = (separator or "").join(parts[first:first + tokens])
        if rng.random() < 0.5:
            chars = list(pattern)
            for _ in range(rng.randrange(4)):
                if chars:
                    chars[rng.randrange(len(chars))] = rng.choice("abxyz é")
            pattern = "".join(chars)
    else:
        pattern = (separator or " ").join(rng.choice(WORDS) for _ in range(tokens))
    if rng.random() < 0.2:
        pattern = " " + pattern + rng.choice(["", " ", separator])
    return pattern


def phrase_among_tokens(rng, words, extra, share, counts, sizes, separator, longest):
    """Tokens drawn from `words`, a share of them with `extra` appended, and a
    run of them joined as a phrase of at most `longest` code points."""
    tokens = [rng.choice(words) + (extra if rng.random() < share else "") for _ in range(rng.randrange(*counts))]
    size = rng.choice(sizes)
    first = rng.randrange(len(tokens) - size)
    return tokens, first, size, separator.join(tokens[first:first + size])[:longest]


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("seed", range(12))
def test_fuzzy_token_windows_match_the_model(metric, seed):
    rng = random.Random(f"{metric} {seed}")
    for _ in range(6):
        separator = rng.choice(SEPARATORS)
        if rng.random() < 0.6:
            text = word_text(rng, separator, rng.choice([0, 3, 12, 40, 90]))
        else:  # one-code-point tokens among runs of separators
            alphabet = rng.choice(["ab ,-", "a b\t\u00a0-", "ab-- xy", "xa,\u3000é @A\n"])
            text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 220)))
        # Up to more tokens than the text holds, and past one 64-bit word.
        pattern = pattern_from(rng, text, separator, rng.choice([1, 2, 3, 5, 12, 20, 30]))
        kind = rng.choice([0, 1, 1])
        if kind:
            threshold = rng.choice([0.0, 0.1, 0.2, 0.3, 0.5, 0.7, 1.0, 2.0, math.inf, math.nan, -0.5])
        else:
            threshold = float(rng.choice([0, 1, 2, 3, 5, 10, 30]))
        strategies = rng.choice(STRATEGY_LISTS)
        case_insensitive = rng.random() < 0.2
        args = (text, pattern, separator, case_insensitive, False, metric, threshold, kind, strategies)
        assert outcome(tessarin.fuzzy_token_extract, *args) == outcome(model.fuzzy_token_extract, *args), args


@pytest.mark.parametrize("metric", ["levenshtein", "indel", "hamming", "prefix"])
def test_token_windows_of_long_texts_match_the_model(metric):
    # Thousands of tokens: more than the walk keeps at once, with groups that
    # the second walk starts from far into the text.
    rng = random.Random(metric)
    words = [rng.choice(WORDS[:20]) for _ in range(2500)]
    for text in (" ".join(words), "  ".join(words) + " ", "x" * 64 + " " + " ".join(words[:1200])):
        pattern = " ".join(words[1700:1703])
        for threshold, strategies in ((0.3, ["best_match"]), (0.0, ["best_match"]), (0.2, ["longest"])):
            args = (text, pattern, " ", False, False, metric, threshold, 1, strategies)
            assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args[5:]
    # One group of 70,000 passing windows, more than are kept for scoring
    # without a second walk, its best at its end, and a small group after it.
    text = "ab ab " * 35000 + "ab ba x y z ab ab ba"
    args = (text, "ab ba", " ", False, False, metric, 0.5, 1, ["best_match"])
    assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args[5:]


@pytest.mark.parametrize("text, pattern, separator", [
    # Runs of separators between tokens of one code point.
    ("a  b   c a b  c" * 6, "a b c", " "),
    ("a,,b,,,c,a,b,,c" * 6, "a,b,c", ","),
    # More pieces than the text has tokens.
    ("x y" * 30, "x y " * 40, " "),
    # A separator of two code points that overlaps itself.
    ("a----b--c---d" * 8, "b--c", "--"),
    ("ababab x ababa y" * 6, "x", "aba"),
    # White space around the occurrence, some of it the separator.
    ("\t a b \t" * 12, "a b", " "),
    # Tokens that end where a block of 64 code points does, or run across it.
    ("ab " * 21 + "a", "ab ab", " "),
    ("ab " * 42 + "ab", "a ab", " "),
    ("x" * 63 + " " + "y" * 64 + " xy", "x y", " "),
    (" " * 64 + "a b " * 16, "a b", " "),
    # White space other than the separator only far into the text, at a
    # token's edge: beyond the first thousand code points, in the Latin-1
    # range above ASCII, beyond Latin-1, or the separator itself white space
    # of another kind.
    ("ab " * 400 + "ab\u0085 ab ab", "ab ab", " "),
    ("ab " * 400 + "\u00a0ab ab", "ab ab", " "),
    ("ab\u3000 " * 40 + "ab\u2003 ab", "ab ab", " "),
    ("ab\t" * 40 + " ab\tab ", "ab\tab", "\t"),
    ("ab,\u1680ab," * 40, "ab,ab", ","),
    # Among Latin-1 letters beyond ASCII, which a first look cannot tell
    # from white space: a tab at a token's edge, and none at all.
    ("é ab " * 30 + "ab\t ab" + " ab" * 30, "ab ab", " "),
    ("é ab " * 30 + "ab\xff ab" + " ab" * 30, "ab ab", " "),
    # Code points beyond Latin-1, in the pattern and around it.
    ("文字 😀 é文 ŝ字 " * 12, "文字 😀 é", " "),
    ("Ж жж 文 😀😀 " * 12, "жж 文 😀", " "),
    # Patterns of many letters beyond Latin-1, in one 64-bit word, in two
    # and in more, among words of the same letters, changed a little.
    ("съешь же ещё этих мягких французских булок да выпей же чаю " * 5, "этих мягкиx францусских булок", " "),
    (" ".join(LONG_WORDS * 3), " ".join(LONG_WORDS[2:5])[:-9] + "ёё😀", " "),
    (" ".join(LONG_WORDS * 3) + " 😀", " ".join(LONG_WORDS[1:6]).replace(LONG_WORDS[3][4:9], "文ŝ字"), " "),
    (" ".join(LONG_WORDS[::-1] + LONG_WORDS), " ".join(LONG_WORDS[1:7]), " "),
])
@pytest.mark.parametrize("metric", METRICS)
def test_token_windows_over_runs_of_separators_match_the_model(text, pattern, separator, metric):
    for threshold, kind in ((0.0, 0), (1.0, 0), (0.3, 1), (1.0, 1)):
        for strategies in (["best_match"], ["longest"]):
            args = (text, pattern, separator, False, False, metric, threshold, kind, strategies)
            assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args
    args = (text, pattern, separator, False, False)
    assert tessarin.exact_token_extract(*args) == model.exact_token_extract(*args)


# Found by the fuzzer: a tab that makes a token of white space alone, so
# that two windows trim to the same start, (28, 45) to "ac" and (43, 49) to
# "ac   a". LCSseq's pass begun there for the longer one was read again for
# the shorter one, and gave it the longer one's score (0.667, not 0.833).
def test_lcs_seq_windows_trimmed_of_a_tab_and_spaces_match_the_model():
    text = " " * 22 + "a     \t" + " " * 14 + "ac   a   a      aaa  a"
    args = (text, "     abzaaa", "   ", False, False, "lcs_seq", 1.0, 1, ["best_match"])
    assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args)


@pytest.mark.parametrize("seed", range(40))
def test_exact_token_windows_around_occurrences_match_the_model(seed):
    # Any separator: the tokenizer's state is recovered near each occurrence
    # of the pattern, from the last separator occurrence that nothing
    # overlaps from the left, instead of cutting the whole text.
    rng = random.Random(seed)
    for _ in range(8):
        separator = rng.choice([" ", ",", "--", "aba", "xy", "ab", "a", "  ", " a", "\t ", "---", "é", "@"])
        alphabet = rng.choice(["ab ,-", "a b\t\u00a0-", "ab-- xy", "xa,\u3000é @A\n", "ab", "a -"])
        text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 300)))
        if text and rng.random() < 0.5:
            first = rng.randrange(len(text))
            pattern = text[first:first + rng.randrange(0, 14)]
        else:
            pattern = separator.join("".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 4)))
                                     for _ in range(rng.randrange(1, 5)))
        for flags in ((False, False), (True, True)):
            args = (text, pattern, separator, *flags)
            assert outcome(tessarin.exact_token_extract, *args) == outcome(model.exact_token_extract, *args), args


@pytest.mark.parametrize("metric", ["levenshtein", "osa"])
@pytest.mark.parametrize("seed", range(6))
def test_token_windows_near_rare_pieces_match_the_model(metric, seed):
    # With few edits allowed, only the stretches around the pattern's
    # pieces are searched, and a window whose end lies elsewhere is ruled
    # out unscored.
    rng = random.Random(seed)
    words = "the world hello there quick brown fox jumps over lazy dog a an of éte".split()
    separator = rng.choice([" ", ",", "--"])
    tokens = [rng.choice(words) for _ in range(rng.randrange(150, 500))]
    first = rng.randrange(len(tokens) - 4)
    pattern = list(separator.join(tokens[first:first + rng.choice([2, 3, 4])]))
    for _ in range(rng.randrange(3)):
        pattern[rng.randrange(len(pattern))] = rng.choice("xyzé")
    for kind, threshold in ((0, 0.0), (0, 1.0), (0, 2.0), (1, 0.1), (1, 0.2)):
        for strategies in (["best_match"], []):
            args = (separator.join(tokens), "".join(pattern), separator, False, False, metric, threshold, kind,
                    strategies)
            assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args


@pytest.mark.parametrize("seed", range(8))
def test_phrases_of_two_words_of_bits_match_the_model(seed):
    # A phrase of a dozen words or so is 65 to 128 code points: the longest
    # common subsequence and the search for the least distance are then read
    # two 64-bit words at a time, restarted at windows along the text; what
    # the words hand on to each other matters.
    rng = random.Random(900 + seed)
    words = "the quick brown fox jumps over a lazy dog and then some more of it é 文".split()
    text = " ".join(rng.choice(words) for _ in range(rng.randrange(60, 200)))
    tokens = text.split(" ")
    first = rng.randrange(len(tokens) - 24)
    for size in (12, 16, 20, 24):
        pattern = " ".join(tokens[first:first + size])
        if not 65 <= len(pattern) <= 128:
            continue
        for metric in ("indel", "lcs_seq", "damerau_levenshtein", "levenshtein", "osa"):
            for threshold in (0.1, 0.3, 0.5):
                args = (text, pattern, " ", False, False, metric, threshold, 1, ["best_match"])
                assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args


@pytest.mark.parametrize("metric", ["osa", "levenshtein", "damerau_levenshtein"])
@pytest.mark.parametrize("threshold", [16.0, 17.0, 18.0])
@pytest.mark.parametrize("length, swapped", [(100, 63), (200, 127), (200, 191)])
def test_a_transposition_across_two_words_of_bits_matches_the_model(metric, threshold, length, swapped):
    # A token of 100 or 200 code points with two code points swapped across
    # a boundary of 64-bit words and 16 others changed: 17 edits for
    # optimal string alignment, 18 for Levenshtein, and near enough to the
    # threshold that every bound counts.
    pattern = ("abcdefghijklmnopqrstuvwxyz" * 8)[:length]
    token = list(pattern)
    token[swapped], token[swapped + 1] = token[swapped + 1], token[swapped]
    for at in list(range(0, 55, 5)) + [70, 75, 80, 85, 90]:
        token[at] = "Z"
    text = "word " * 20 + "".join(token) + " tail" * 20
    for strategies in (["best_match"], []):
        args = (text, pattern, " ", False, False, metric, threshold, 0, strategies)
        assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args


TRANSPOSED_WORDS = {
    "english": ("the of and to a in is you that it he was for on are as".split(), [3, 6, 12, 12, 20]),
    # Phrases of 65 to 300 code points: the distance is worked out over
    # several 64-bit words of the pattern, with many distinct code points.
    "cyrillic": ("и в не на что он с как это по но из у за то которые человек сказал".split(), [16, 24, 40, 52]),
    "cjk": ("的 一是 不了 在人 有我 他这 个们 中来 上大 为和 国地 到以 我们的国家".split(), [20, 30, 45, 60]),
    "mixed": ("a é 文字 😀 the ŝe дом of 😀😀 and ŝŝé".split(), [24, 36, 50, 70]),
}


@pytest.mark.parametrize("language", list(TRANSPOSED_WORDS))
@pytest.mark.parametrize("seed", range(16))
def test_transpositions_with_code_points_between_match_the_model(language, seed):
    # Damerau-Levenshtein alone lets two code points swap with others
    # between them ('ca' against 'abc' is 2 edits; 3 for optimal string
    # alignment), so its distance falls below every bound that the
    # restricted distance gives. Windows of up to a dozen short words (and
    # of more, past 64 code points, up to 300), some of them with such swaps
    # over up to five others, at thresholds on both sides of their own
    # distance: the distance is worked out only near the alignments that
    # can pass, which such swaps leave and come back to.
    rng = random.Random(1300 + seed if language == "english" else f"{language} {seed}")
    words, sizes = TRANSPOSED_WORDS[language]
    extra = 0 if language == "english" else 70  # room for the longer phrases
    tokens = [rng.choice(words) for _ in range(rng.randrange(40, 120) + extra)]
    size = rng.choice(sizes)
    first = rng.randrange(len(tokens) - size)
    pattern = " ".join(tokens[first:first + size])
    changed = list(pattern)
    for _ in range(rng.randrange(1, 5)):
        at = rng.randrange(max(1, len(changed) - 3))
        gap = rng.randrange(1, 6)
        changed.insert(at + gap + 1, changed.pop(at))  # a code point moved past others
    text = " ".join(tokens[:first]) + " " + "".join(changed) + " " + " ".join(tokens[first + size:])
    distance = model.fuzzy_token_extract("".join(changed), pattern, " ", False, False, "damerau_levenshtein",
                                         math.inf, 0, [])
    own = distance[0][2] if distance else 0.0
    for threshold, kind in ((own, 0), (own - 1, 0), (own + 1, 0), (0.3, 1), (0.5, 1)):
        for strategies in (["best_match"], ["longest"]):
            args = (text, pattern, " ", False, False, "damerau_levenshtein", threshold, kind, strategies)
            assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args


@pytest.mark.parametrize("metric", ["levenshtein", "osa", "damerau_levenshtein", "indel", "lcs_seq", "jaro",
                                    "jaro_winkler"])
@pytest.mark.parametrize("seed", range(6))
def test_short_phrases_among_other_words_match_the_model(metric, seed):
    # A phrase of two or three words at thresholds that let up to a third
    # of its code points change: the code points that each window shares
    # with it are counted as the window slides, and windows that lack one
    # more than passes, exactly as many, or one fewer sit among the rest.
    # The phrase itself is often left in the text, so that a group's lowest
    # score is 0 and only copies of it can tie; at 0.5 (Jaro) most windows
    # pass and all of them form one group.
    rng = random.Random(f"{metric} short {seed}")
    words = "the of and to a in is you that it he was for on are as".split()
    tokens = [rng.choice(words) for _ in range(rng.randrange(40, 150))]
    size = rng.choice([2, 3])
    first = rng.randrange(len(tokens) - size)
    pattern = " ".join(tokens[first:first + size])
    for lacking in (0, 1, 2, 3, 4):
        at = rng.randrange(len(tokens) - size)
        changed = list(" ".join(tokens[at:at + size]))
        for index in rng.sample(range(len(changed)), min(lacking, len(changed))):
            changed[index] = rng.choice("qzxjé")
        tokens[at:at + size] = "".join(changed).split(" ")
    text = " ".join(tokens)
    for threshold, kind in ((0.2, 1), (0.25, 1), (0.3, 1), (0.5, 1), (0.0, 0), (1.0, 0), (2.0, 0), (3.0, 0)):
        for strategies in (["best_match"], ["shortest"]):
            args = (text, pattern, " ", False, False, metric, threshold, kind, strategies)
            assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args


@pytest.mark.parametrize("metric", ["indel", "lcs_seq"])
@pytest.mark.parametrize("seed", range(4))
def test_phrases_of_two_words_among_trimmed_windows_match_the_model(metric, seed):
    # For phrases of 65 to 128 code points the first walk bounds windows
    # from passes begun just past earlier windows' ends: where windows are
    # trimmed, or a separator of more than one code point lies between them,
    # those passes begin before a window rather than at it. With every
    # window judged in turn (no best_match) and with groups walked again.
    rng = random.Random(f"{metric} two words {seed}")
    words = "the quick brown fox jumps over a lazy dog and then some more of it é 文".split()
    for separator, extra in ((" ", "\t"), ("--", ""), (" \t", " "), (" ", "")):
        tokens, _, _, pattern = phrase_among_tokens(rng, words, extra, 0.15, (80, 200), [12, 16, 20], separator, 128)
        text = separator.join(tokens)
        for threshold in (0.2, 0.4):
            for strategies in (["best_match"], ["longest"]):
                args = (text, pattern, separator, False, False, metric, threshold, 1, strategies)
                assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args[1:]


@pytest.mark.parametrize("metric", ["indel", "lcs_seq", "damerau_levenshtein"])
@pytest.mark.parametrize("seed", range(4))
def test_groups_that_hold_the_phrase_itself_match_the_model(metric, seed):
    # A group whose lowest score is 0 holds the phrase itself, and only its
    # copies tie: copies far apart, overlapping or side by side in one group,
    # a copy changed by one code point before them, copies in other case or
    # with white space to trim, phrases of one to three 64-bit words, and
    # thresholds at which only the phrase passes or most windows do.
    rng = random.Random(f"{metric} phrase itself {seed}")
    words = "the of and to a in is you that it he was for on are as".split() + [["é"], ["文"], ["😀"], []][seed]
    for size, separator in ((2, " "), (3, " \t"), (12, " "), (24, " ")):
        tokens = [rng.choice(words) for _ in range(rng.randrange(40, 160))]
        first = rng.randrange(len(tokens) - size)
        phrase = tokens[first:first + size]
        for _ in range(rng.randrange(1, 4)):
            at = rng.randrange(len(tokens) - size)
            copy = list(phrase)
            if rng.random() < 0.3:
                copy[rng.randrange(size)] = copy[0].upper() if rng.random() < 0.5 else "\t" + copy[0]
            tokens[at:at + size] = copy
        at = rng.randrange(len(tokens) - 2 * size)
        tokens[at:at + 2 * size] = phrase[:1] + ["x" + phrase[0]] + phrase[1:] + phrase[:size - 1]
        text, pattern = separator.join(tokens), separator.join(phrase)
        for threshold, kind in ((0.0, 1), (0.3, 1), (0.5, 1), (0.0, 0), (2.0, 0)):
            for strategies in (["best_match"], ["best_match", "longest"], ["best_match", "minimum_isolated_character"]):
                for case_insensitive in (False, True):
                    args = (text, pattern, separator, case_insensitive, False, metric, threshold, kind, strategies)
                    assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args[1:]


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("seed", range(3))
def test_groups_whose_scores_fall_rise_and_tie_match_the_model(metric, seed):
    # A group keeps only the windows that may still be its pick: those whose
    # floors are not above the lowest score found in it so far. Copies of
    # the phrase changed by fewer and fewer edits, then more and more, with
    # ties at the lowest (the phrase itself twice, or two copies changed
    # alike), in groups among common words where most windows are scored as
    # they are walked, and at thresholds where few or most windows pass.
    rng = random.Random(f"{metric} falling and rising {seed}")
    words = "the of and to a in is you that it he was for on are as".split()

    def changed(phrase, edits):
        copy = list(phrase)
        for k in range(edits):
            at = (k * 5 + seed) % len(copy)
            copy[at] = copy[at][:-1] + "x" if len(copy[at]) > 1 else "x"
        return copy

    for size in (3, 12):
        phrase = [rng.choice(words) for _ in range(size)]
        for order in ((3, 2, 1, 0, 1, 2), (2, 1, 1, 3), (0, 2, 0), (1, 3, 2, 1)):
            tokens = [rng.choice(words) for _ in range(rng.randrange(10, 40))]
            for edits in order:
                tokens += changed(phrase, edits) + [rng.choice(words) for _ in range(rng.randrange(0, 3))]
            tokens += [rng.choice(words) for _ in range(rng.randrange(10, 40))]
            text, pattern = " ".join(tokens), " ".join(phrase)
            for threshold in (0.2, 0.4, 0.6):
                for strategies in (["best_match"], ["best_match", "longest"], ["best_match", "shortest"]):
                    args = (text, pattern, " ", False, False, metric, threshold, 1, strategies)
                    assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args[1:]


@pytest.mark.parametrize("metric", ["levenshtein", "osa"])
@pytest.mark.parametrize("seed", range(3))
def test_windows_measured_side_by_side_match_the_model(metric, seed):
    # Among common words most windows that could open a group come close to
    # the threshold and fail: up to four wait and are measured together, and
    # where the first passes, the others join its group or close it. Phrases
    # of one and two words; windows at the text's end, where those measured
    # together would read past it; white space to trim, and a separator of
    # two code points.
    rng = random.Random(f"{metric} side by side {seed}")
    words = "the of and to a in is you that it he was for on are as with".split()
    for separator, extra in ((" ", ""), (" ", "\t"), ("--", ""), (" ", "é")):
        tokens, first, size, pattern = phrase_among_tokens(
            rng, words, extra, 0.1, (40, 250), [3, 8, 12, 20], separator, 128)
        for text in (separator.join(tokens), separator.join(tokens + tokens[first:first + size // 2])):
            for threshold in (0.3, 0.45, 0.6):
                for strategies in (["best_match"], ["best_match", "longest"]):
                    args = (text, pattern, separator, False, False, metric, threshold, 1, strategies)
                    assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args[1:]


@pytest.mark.parametrize("metric", ["lcs_seq", "indel", "damerau_levenshtein"])
@pytest.mark.parametrize("seed", range(4))
def test_long_phrases_among_crowded_windows_match_the_model(metric, seed):
    # Phrases of 32 to 64 code points among common words, where most windows
    # pass and runs of them are measured at once: with white space to trim
    # inside tokens, a separator of two code points, code points beyond
    # Latin-1, and a text of more windows than are kept measured.
    rng = random.Random(f"{metric} crowded {seed}")
    words = "the of and to a in is you that it he was for on are as".split()
    for separator, extra in ((" ", ""), (" ", "\t"), (" \t", ""), (" ", "é"), (" ", "文")):
        tokens, _, _, pattern = phrase_among_tokens(rng, words, extra, 0.1, (60, 300), [9, 12, 15], separator, 64)
        text = separator.join(tokens)
        for threshold in (0.3, 0.5, 0.7):
            for strategies in (["best_match"], ["best_match", "longest"]):
                args = (text, pattern, separator, False, False, metric, threshold, 1, strategies)
                assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args[1:]
    tokens = [rng.choice(words) for _ in range(17000)]
    args = (" ".join(tokens), " ".join(tokens[9000:9012]), " ", False, False, metric, 0.5, 1, ["best_match"])
    assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args[1:]


@pytest.mark.parametrize("metric", ["indel", "lcs_seq"])
@pytest.mark.parametrize("seed", range(4))
def test_crowded_windows_of_the_phrase_length_match_the_model(metric, seed):
    # Where windows crowd, most are bounded by their lengths alone, and a
    # window as long as the phrase floors at 0 whether or not it is the
    # phrase: words of one to five letters drawn from the phrase's own, so
    # that many windows come to its length, with copies of the phrase, none
    # or several, and in bytes, UTF-16 and code points. A phrase of 32 to
    # 64 code points, and texts past a sweep's worth of windows.
    rng = random.Random(f"{metric} phrase length {seed}")
    for extra in ("", "é", "文", "😀"):
        words = ["".join(rng.choice("etaoins" + extra) for _ in range(rng.randrange(1, 6))) for _ in range(12)]
        for size in (9, 12, 16):
            tokens = [rng.choice(words) for _ in range(rng.randrange(150, 400))]
            first = rng.randrange(len(tokens) - size)
            pattern = " ".join(tokens[first:first + size])
            if not 32 <= len(pattern) <= 64:
                continue
            for _ in range(rng.randrange(3)):
                at = rng.randrange(len(tokens))
                tokens[at:at] = tokens[first:first + size]
            text = " ".join(tokens)
            for threshold in (0.4, 0.5, 0.6):
                for strategies in (["best_match"], ["best_match", "longest"]):
                    args = (text, pattern, " ", False, False, metric, threshold, 1, strategies)
                    assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args[1:]


@pytest.mark.parametrize("seed", range(6))
def test_crowded_windows_that_give_way_to_other_words_match_the_model(seed):
    # Indel: runs of common words, where most windows pass and are told by lengths
    # alone, between runs of words that share little with the phrase, where
    # most fail: a group closes, the windows after it are judged again, and
    # the phrase itself may come only after. Phrases of one to three 64-bit
    # words.
    rng = random.Random(f"give way {seed}")
    common = "the of and to a in is you that it he was for on are as".split()
    other = "xyzzy qqq kvkv zzz wq jjj vvx".split()
    for size in (9, 12, 24, 40):
        runs = [[rng.choice(common if k % 2 == 0 else other) for _ in range(rng.randrange(20, 120))]
                for k in range(5)]
        tokens = [token for run in runs for token in run]
        first = rng.randrange(len(tokens) - size)
        text, pattern = " ".join(tokens), " ".join(tokens[first:first + size])
        for threshold in (0.3, 0.5, 0.6):
            for strategies in (["best_match"], ["best_match", "longest"]):
                args = (text, pattern, " ", False, False, "indel", threshold, 1, strategies)
                assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args[1:]


@pytest.mark.parametrize("metric", ["levenshtein", "osa"])
@pytest.mark.parametrize("seed", range(3))
def test_searched_windows_of_long_texts_match_the_model(metric, seed):
    # Texts of thousands of code points, whose window ends the search reads
    # four stretches at a time: phrases of one and two 64-bit words, copies
    # of them changed a little anywhere (where the stretches meet too), words
    # beyond Latin-1 and the Basic Multilingual Plane; thresholds at which the
    # shared code points rule out no window first, and lower ones, at which
    # they do until too many windows get past them.
    rng = random.Random(f"{metric} searched {seed}")
    for words in (WORDS[:20], WORDS):
        tokens = [rng.choice(words) for _ in range(rng.randrange(400, 1500))]
        size = rng.choice([3, 12, 24])
        first = rng.randrange(len(tokens) - size)
        phrase = tokens[first:first + size]
        for _ in range(rng.randrange(1, 5)):
            at = rng.randrange(len(tokens) - size)
            tokens[at:at + size] = phrase
            tokens[at + rng.randrange(size)] = rng.choice(words)
        text, pattern = " ".join(tokens), " ".join(phrase)
        for threshold, kind in ((0.25, 1), (0.35, 1), (0.5, 1), (0.7, 1), (20.0, 0)):
            for strategies in (["best_match"], ["longest"]):
                args = (text, pattern, " ", False, False, metric, threshold, kind, strategies)
                assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args[5:]


@pytest.mark.parametrize("metric", ["levenshtein", "osa", "hamming", "prefix", "postfix", "jaro", "jaro_winkler"])
@pytest.mark.parametrize("seed", range(6))
def test_groups_scored_from_their_lowest_floor_match_the_model(metric, seed):
    # best_match scores a group's windows from the lowest floor up. Groups
    # of one to all windows, whose lowest score several windows share
    # (copies of a changed phrase, far apart or overlapping), lies after
    # windows of lower floors, or is the threshold itself; ties are broken
    # by the strategies after best_match, which see the windows in order.
    # A long group of the Jaro pair keeps only its windows of the lowest
    # floors, and here many share a floor with those left out.
    rng = random.Random(f"{metric} lowest floor {seed}")
    words = "ab ba abc cab a b".split()
    tokens = [rng.choice(words) for _ in range(rng.randrange(30, 120))]
    size = rng.choice([2, 3, 5])
    first = rng.randrange(len(tokens) - size)
    pattern = " ".join(tokens[first:first + size])
    changed = " ".join(tokens[first:first + size]).replace("a", "b", 1)
    for _ in range(rng.randrange(1, 4)):  # copies of the changed phrase: ties
        at = rng.randrange(len(tokens) - size)
        tokens[at:at + size] = changed.split(" ")
    text = " ".join(tokens)
    for threshold, kind in ((0.2, 1), (0.4, 1), (0.6, 1), (1.0, 1), (1.0, 0), (2.0, 0)):
        for strategies in (["best_match"], ["best_match", "longest"], ["best_match", "minimum_isolated_character"]):
            args = (text, pattern, " ", False, False, metric, threshold, kind, strategies)
            assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("seed", range(2))
def test_windows_of_every_length_match_the_model(metric, seed):
    # What a window's length allows is kept by length for the lengths most
    # windows have and worked out afresh beyond them (some four times the
    # pattern's length and more): tokens of one to hundreds of code points
    # put windows on both sides of that line, with thresholds that pass
    # only windows close to the pattern's length or windows far longer.
    # And a pattern of more tokens than a block of the text holds (the
    # tokens of the windows not walked yet are moved to the front as the
    # walk goes on).
    rng = random.Random(f"{metric} lengths {seed}")
    lengths = [1, 2, 3, 4, 6, 9, 14, 30, 60, 120, 250, 270, 275, 276, 277, 280, 300, 520, 700]
    tokens = ["".join(rng.choice("abxy") for _ in range(length)) for length in lengths * 2]
    rng.shuffle(tokens)
    size = rng.choice([1, 2, 3])
    first = rng.randrange(len(tokens) - size)
    cases = [(" ".join(tokens), " ".join(tokens[first:first + size])),
             (" ".join(tokens), rng.choice(["ab", "abxy ab", "x y"])),
             (" ".join(rng.choice("abc") for _ in range(900)), " ".join(rng.choice("abc") for _ in range(70)))]
    for text, pattern in cases:
        for threshold, kind in ((0.3, 1), (0.8, 1), (0.95, 1), (0.99, 1), (2.0, 0), (40.0, 0), (400.0, 0)):
            for strategies in (["best_match"], ["longest"], ["best_match", "longest"]):
                args = (text, pattern, " ", False, False, metric, threshold, kind, strategies)
                assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args[1:]


@pytest.mark.parametrize("metric", ["jaro", "jaro_winkler"])
@pytest.mark.parametrize("seed", range(3))
def test_short_patterns_scored_in_the_first_walk_match_the_model(metric, seed):
    # A pattern of a few words is scored in the first walk wherever the
    # shared count leaves a window, and the windows that fail are dropped
    # there; once nearly every window it scores passes, the walk stops
    # scoring and leaves the rest to the groups. Stretches of other words
    # (most windows fail) and of the pattern's own words over and over
    # (nearly all pass, far more than the walk scores before it may stop),
    # in either order, and tokens too long for one word's reach.
    rng = random.Random(f"{metric} scored in the walk {seed}")
    words = "the of and to a in is you that it he was for on".split()
    pattern_words = rng.sample(words, 3)
    pattern = " ".join(pattern_words)
    other = [rng.choice(words) for _ in range(rng.randrange(60, 120))]
    copies = [word if rng.random() < 0.9 else word + rng.choice("xz") for _ in range(40) for word in pattern_words]
    long = ["".join(rng.choice("theofand") for _ in range(rng.randrange(70, 140))) for _ in range(3)]
    for tokens in (other + copies, copies + other + long, long + other + copies + other):
        text = " ".join(tokens)
        for threshold in (0.1, 0.3, 0.5, 0.8):
            for strategies in (["best_match"], ["longest"]):
                args = (text, pattern, " ", False, False, metric, threshold, 1, strategies)
                assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args[5:]


@pytest.mark.parametrize("metric", ["jaro", "jaro_winkler"])
@pytest.mark.parametrize("letters", ["abcdé ", "कखगािीे्ं", "ab😀🙃"])
def test_jaro_windows_longer_than_the_pattern_words_match_the_model(metric, letters):
    # The matching reads up to half a window past the pattern's end: windows
    # of a pattern of one 64-bit word reach past 64 code points, those of a
    # pattern of two words past 128, in text of one, two and four bytes a
    # code point; a longer pattern's, any length. Tokens of a few letters
    # and of dozens, so that windows of the same count of tokens fall on
    # both sides of those lengths.
    rng = random.Random(f"{metric} long windows {letters}")
    for pattern_length, size in ((20, 3), (60, 12), (64, 4), (100, 6), (128, 12), (129, 5), (300, 9)):
        tokens = ["".join(rng.choice(letters.strip()) for _ in range(rng.choice([2, 4, 7, 30, 70])))
                  for _ in range(rng.randrange(40, 70))]
        first = rng.randrange(len(tokens) - size)
        phrase = " ".join(tokens[first:first + size])
        pattern = (phrase * (pattern_length // max(len(phrase), 1) + 1))[:pattern_length].strip() or letters[0]
        text = " ".join(tokens)
        for threshold in (0.2, 0.5, 0.7):
            for strategies in (["best_match"], ["longest"]):
                args = (text, pattern, " ", False, False, metric, threshold, 1, strategies)
                assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args[5:]



# Letters of one block, and of several (two and four bytes a code point).
READ_OVER_ALPHABETS = ["".join(map(chr, range(0x915, 0x93A))) + "ािीुे्ं",
                       "".join(map(chr, range(0x430, 0x450))) + "é文😀",
                       "".join(map(chr, range(0x4E00, 0x4E30))) + "😀🙃ab",
                       "".join(map(chr, range(0x430, 0x450))) + "éa,"]


@pytest.mark.parametrize("metric", ["jaro", "jaro_winkler", "indel", "lcs_seq"])
@pytest.mark.parametrize("alphabet", READ_OVER_ALPHABETS,
                         ids=["devanagari", "cyrillic and more", "cjk and more", "cyrillic and latin"])
def test_windows_beyond_latin1_read_over_and_over_match_the_model(metric, alphabet):
    # Prose of a few hundred words beyond Latin-1 and a phrase cut from it,
    # at thresholds that leave many windows to score: the windows scored
    # read the text many times over, and text that the pattern lacks lies
    # next to text that it holds. Patterns of one 64-bit word and of two;
    # texts of two-byte units (read through the pattern's pages) and of four.
    for size in (8, 14):
        rng = random.Random(f"{metric} {alphabet} {size}")
        vocabulary = ["".join(rng.choice(alphabet) for _ in range(rng.randrange(2, 7))) for _ in range(120)]
        words = [rng.choice(vocabulary) for _ in range(500)]
        text, pattern = " ".join(words), " ".join(words[250:250 + size])
        for threshold in (0.3, 0.5):
            for strategies in (["best_match"], ["longest"]):
                args = (text, pattern, " ", False, False, metric, threshold, 1, strategies)
                assert tessarin.fuzzy_token_extract(*args) == model.fuzzy_token_extract(*args), args[5:]

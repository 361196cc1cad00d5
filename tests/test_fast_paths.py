"""The extractors score most windows without a metric-library call per
window (a search over the whole text rules windows out, distances of all
window lengths come from one pass per start). These checks run them against
the reference model, which scores every window through rapidfuzz, on inputs
large enough to reach those paths: near-matches planted in longer texts,
patterns longer than one 64-bit block, windows with white space at the ends."""

import math
import random

import pytest

import tessarin
from conftest import scaled
from reference_model import fuzzy_raw_extract as model_fuzzy_raw
from reference_model import fuzzy_token_extract as model_fuzzy_token

METRICS = ["levenshtein", "osa", "damerau_levenshtein", "indel", "lcs_seq", "hamming", "jaro", "jaro_winkler"]
STRATEGY_LISTS = [[], ["best_match"], ["longest"], ["shortest", "best_match"]]


def mutate(rng, word, edits, alphabet):
    chars = list(word)
    for _ in range(edits):
        kind = rng.randrange(3)
        position = rng.randrange(len(chars) + 1)
        if kind == 0 and chars:
            del chars[min(position, len(chars) - 1)]
        elif kind == 1:
            chars.insert(position, rng.choice(alphabet))
        elif chars:
            chars[min(position, len(chars) - 1)] = rng.choice(alphabet)
    return "".join(chars)


def planted_case(rng, pattern_length, text_length):
    alphabet = rng.choice(["ab ", "abcd  \t", "abcdefgh é\u00a0Σ", "xyz\u3000文字 "])
    pattern = "".join(rng.choice(alphabet) for _ in range(pattern_length))
    pieces = []
    while sum(map(len, pieces)) < text_length:
        if rng.random() < 0.3:
            pieces.append(mutate(rng, pattern, rng.randrange(4), alphabet))
        else:
            pieces.append("".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 12))))
    if rng.random() < 0.3:
        pattern = " " + pattern + "  "
    return "".join(pieces)[:text_length], pattern


@pytest.mark.parametrize("seed", range(scaled(60)))
def test_fuzzy_raw_matches_the_model_on_planted_near_matches(seed):
    rng = random.Random(seed)
    metric = METRICS[seed % len(METRICS)] if seed % 2 else "levenshtein"
    pattern_length = rng.choice([1, 2, 5, 10, 40, 63, 64, 65, 100, 130])
    text, pattern = planted_case(rng, pattern_length, rng.randrange(50, 260))
    kind = rng.choice([0, 1])
    if kind == 0:
        threshold = float(rng.choice([0, 1, 2, 3, pattern_length // 4, pattern_length]))
    else:
        threshold = rng.choice([0.0, 0.05, 0.1, 0.2, 0.3, 1 / 3, 1.0])
    for strategies in STRATEGY_LISTS:
        args = (text, pattern, False, False, metric, threshold, kind, strategies)
        assert tessarin.fuzzy_raw_extract(*args) == model_fuzzy_raw(*args), (args,)


from reference_model import exact_token_extract as model_exact_token  # noqa: E402


@pytest.mark.parametrize("seed", range(scaled(80)))
def test_exact_token_with_a_one_byte_separator_matches_the_model(seed):
    # With a one-byte separator windows are recognised around occurrences of
    # the pattern instead of by walking tokens; overlapping occurrences,
    # white space that is or is not the separator, and patterns that count
    # empty pieces all have to come out as the walk has them.
    rng = random.Random(seed)
    separator = rng.choice([" ", ",", "\t", "a", "-"])
    alphabet = rng.choice(["ab ,", "a b\t\u00a0", "ab-- ", "xa,\u3000é"])
    text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 120)))
    pieces = ["".join(rng.choice(alphabet.replace(separator, "") or "b") for _ in range(rng.randrange(0, 3)))
              for _ in range(rng.randrange(1, 4))]
    pattern = separator.join(pieces)
    if rng.random() < 0.3:
        pattern = rng.choice([" ", "\t", separator]) + pattern + rng.choice(["", " ", separator])
    for flags in [(False, False), (True, True)]:
        args = (text, pattern, separator, *flags)
        assert tessarin.exact_token_extract(*args) == model_exact_token(*args), args


from reference_model import exact_raw_extract as model_exact_raw  # noqa: E402


@pytest.mark.parametrize("call, args", [
    # Every window of white space forms one group; the isolated-character
    # counts of long windows come from running sums, not from walking them.
    ("exact_raw", (" " * 300, " " * 120, False, False, ["minimum_isolated_character"])),
    ("exact_raw", (" a  b " * 40, " " * 7, False, False, ["minimum_isolated_character", "longest"])),
    ("exact_raw", ("x y " * 50, "y x", False, False, ["minimum_isolated_character"])),
    # Long runs of white space around the pattern, with separators among them.
    ("exact_token", ("\t " * 60 + "a" + " \t" * 60, "\t " * 20 + "a" + " \t" * 20, " ", False, False)),
    ("exact_token", (" \t" * 30 + "a b" + "\t " * 30, "a b", " ", False, False)),
])
def test_long_white_space_runs_match_the_model(call, args):
    module = {"exact_raw": tessarin.exact_raw_extract, "exact_token": tessarin.exact_token_extract}[call]
    model = {"exact_raw": model_exact_raw, "exact_token": model_exact_token}[call]
    assert module(*args) == model(*args)


@pytest.mark.parametrize("seed", range(scaled(30)))
def test_fuzzy_raw_levenshtein_on_ascii_text_with_rare_pieces_matches_the_model(seed):
    # Over ASCII text the whole-text search runs only around exact
    # occurrences of the pattern's pieces: near-matches planted at both ends
    # and in between, some with as many edits as the threshold allows.
    rng = random.Random(seed)
    alphabet = "abcdefghijklmnopqrstuvwxyz  \n"
    pattern = "".join(rng.choice(alphabet[:26]) for _ in range(rng.choice([6, 9, 12, 20, 70])))
    threshold = rng.choice([0, 1, 2, 3])
    pieces = [mutate(rng, pattern, rng.randrange(threshold + 2), alphabet)]
    while sum(map(len, pieces)) < 3000:
        pieces.append("".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 400))))
        pieces.append(mutate(rng, pattern, rng.randrange(threshold + 2), alphabet))
    text = "".join(pieces)
    for ci in (False, True):
        args = (text, pattern.upper() if ci else pattern, ci, False, "levenshtein", threshold, 0, ["best_match"])
        assert tessarin.fuzzy_raw_extract(*args) == model_fuzzy_raw(*args), (args,)


import reference_model  # noqa: E402
from rapidfuzz.distance import OSA, DamerauLevenshtein, Indel, LCSseq, Levenshtein  # noqa: E402

CUTOFF_FAMILIES = {"levenshtein": Levenshtein, "osa": OSA, "damerau_levenshtein": DamerauLevenshtein,
                   "indel": Indel, "lcs_seq": LCSseq}
exact_compare = reference_model.compare


def compare_with_cutoff(candidate, pattern, metric, threshold, threshold_kind):
    # A cutoff lets the library skip most of the work on long windows that
    # cannot pass. It stays a few edits above the largest distance that can:
    # at the cutoff itself the library has been seen to misjudge.
    if metric not in CUTOFF_FAMILIES:
        return exact_compare(candidate, pattern, metric, threshold, threshold_kind)
    longest = len(candidate) + len(pattern) if metric == "indel" else max(len(candidate), len(pattern))
    cutoff = int(threshold * longest if threshold_kind else threshold) + 2
    distance = CUTOFF_FAMILIES[metric].distance(candidate, pattern, score_cutoff=cutoff)
    if distance > cutoff - 2:
        return False, math.inf
    return exact_compare(candidate, pattern, metric, threshold, threshold_kind)


@pytest.mark.parametrize("metrics, length, kind, threshold", [
    # Around one 64-bit block, small and large thresholds, every metric with a per-start pass.
    *[(list(CUTOFF_FAMILIES), length, kind, threshold) for length in (63, 64, 65)
      for kind, threshold in ((0, 0.0), (0, 2.0), (0, 30.0), (1, 0.05), (1, 0.3))],
    # The Jaro pair around one and two 64-bit words of pattern positions, and past them.
    *[(["jaro", "jaro_winkler"], length, 1, threshold) for length in (64, 65, 100, 128, 129, 200)
      for threshold in (0.1, 0.3)],
    *[(["jaro_winkler"], length, 1, 0.02) for length in (1024, 1025)],
    # Long patterns around the size where the tables once changed, and beyond.
    *[(["levenshtein", "indel", "lcs_seq"], length, 0, 3.0) for length in (4095, 4096, 4097, 5000)],
    *[(["levenshtein"], length, kind, threshold) for length in (4096, 4097, 5000)
      for kind, threshold in ((0, 0.0), (0, 700.0), (1, 0.004))],
])
def test_long_patterns_match_the_model(monkeypatch, metrics, length, kind, threshold):
    rng = random.Random(length)
    alphabet = "abcd \u00e9"
    pattern = "".join(rng.choice(alphabet) for _ in range(length))
    noise = "".join(rng.choice(alphabet) for _ in range(40))
    # An exact copy, then a changed one cut short by the end of the text.
    text = noise[:20] + pattern + noise[:7] + mutate(rng, pattern, 3, alphabet)[:length - 5]
    monkeypatch.setattr(reference_model, "compare", compare_with_cutoff)
    for metric in metrics:
        args = (text, " " + pattern, False, False, metric, threshold, kind, ["best_match"])
        assert tessarin.fuzzy_raw_extract(*args) == model_fuzzy_raw(*args), (metric, length, kind, threshold)
        if "jaro" in metric:  # as token windows too
            args = (text, " " + pattern, " ", False, False, metric, threshold, kind, ["best_match"])
            assert tessarin.fuzzy_token_extract(*args) == model_fuzzy_token(*args), (metric, length, threshold)


@pytest.mark.parametrize("threshold", [math.nan, math.inf, -math.inf, -0.0, -0.5])
def test_thresholds_outside_the_usual_range_match_the_model(threshold):
    rng = random.Random(7)
    for metric in METRICS + ["prefix", "postfix"]:
        text, pattern = planted_case(rng, 24, 90)
        for kind in (0, 1):
            args = (text, pattern, False, False, metric, threshold, kind, ["best_match"])
            assert tessarin.fuzzy_raw_extract(*args) == model_fuzzy_raw(*args), (metric, kind)


@pytest.mark.parametrize("seed", range(scaled(60)))
def test_best_match_first_matches_the_model(seed):
    # With "best_match" first only a group's windows of the lowest score are
    # looked for: the groups' extents, ties between copies and what breaks
    # them must come out as when every window is scored. From a threshold of
    # 1 on, every window passes and all form one group (raw windows).
    rng = random.Random(1000 + seed)
    metric = (METRICS + ["prefix", "postfix"])[seed % 10]
    text, pattern = planted_case(rng, rng.choice([1, 3, 8, 20, 70]), rng.randrange(30, 200))
    if rng.random() < 0.5:  # exact copies, touching or not: ties at the lowest score
        copy = pattern.strip()
        text = text[:len(text) // 3] + copy + rng.choice(["", " ", "  "]) + copy + text[len(text) // 3:] + " " + copy
    kind, threshold = rng.choice([(1, 1.0), (1, 2.5), (7, math.inf), (1, 0.5), (1, 0.25), (0, 3.0), (0, 0.0)]
                                 + ([(0, 1.0)] if "jaro" in metric else []))
    separator = rng.choice([" ", "a", "ab", " \t"])
    for strategies in (["best_match"], ["best_match", "longest"], ["best_match", "shortest"],
                       ["best_match", "minimum_isolated_character"], ["best_match", "other", "longest"]):
        args = (text, pattern, False, False, metric, threshold, kind, strategies)
        assert tessarin.fuzzy_raw_extract(*args) == model_fuzzy_raw(*args), (args,)
        token_args = (text, pattern, separator, *args[2:])
        assert tessarin.fuzzy_token_extract(*token_args) == model_fuzzy_token(*token_args), (token_args,)
    # A pattern of blanks only is compared as the empty string.
    blank = (text, " " * (1 + seed % 3), " ", False, False, metric, threshold, kind, ["best_match"])
    assert tessarin.fuzzy_token_extract(*blank) == model_fuzzy_token(*blank), (blank,)


@pytest.mark.parametrize("metric", ["prefix", "postfix", "hamming"])
@pytest.mark.parametrize("pattern", [" ", "  \t", "a", "ab c"])
def test_raw_affix_and_position_scans_match_the_model(metric, pattern):
    # Prefix, postfix and Hamming are scored window by window outside the
    # short-call path; a pattern of blanks trims to nothing there.
    text = "ab c  abc\tba c " * 8
    for kind, threshold in ((0, 0.0), (0, 3.0), (1, 0.5), (1, 1.0), (1, math.nan)):
        for strategies in (["best_match"], []):
            args = (text, pattern, False, False, metric, threshold, kind, strategies)
            assert tessarin.fuzzy_raw_extract(*args) == model_fuzzy_raw(*args), args


@pytest.mark.parametrize("text", [
    "x" * 300 + "ab c" + "y" * 200 + " ab c  " + "z" * 90,  # long stretches that no window can end in
    "cab c" + "q" * 250,  # the pattern's last code point first, then never again
    "q" * 250 + "ab c",  # only at the text's end
    "c" + " " * 70 + "c\t \tab  c" + " " * 40,  # runs of white space after it, kept by windows
    "ccc cc c" * 30,  # at nearly every end
])
def test_raw_postfix_windows_between_rare_ends_match_the_model(text):
    # Postfix passes over the starts whose windows cannot end in the
    # pattern's last code point; the starts where one can must all be seen.
    for pattern in ("ab c", "c", " bc", "xab c"):
        for kind, threshold in ((0, 0.0), (0, 2.0), (0, 7.0), (1, 0.2), (1, 0.5), (1, 0.9)):
            for strategies in (["best_match"], ["longest"], []):
                args = (text, pattern, False, False, "postfix", threshold, kind, strategies)
                assert tessarin.fuzzy_raw_extract(*args) == model_fuzzy_raw(*args), args


@pytest.mark.parametrize("seed", range(scaled(40)))
def test_raw_windows_near_the_threshold_match_the_model(seed):
    # Raw windows of the Jaro pair are ruled out by how many pattern code
    # points lie within the matching's reach, counted as the start slides;
    # Hamming compares one stretch per start, postfix looks at windows ending
    # in the pattern's last code point only. Patterns cut from the text, so
    # that many windows come close to passing, with runs of white space,
    # repeated code points and the text's ends. Some texts are long enough
    # for the Jaro pair's counts of all starts at once to come in pieces.
    # Over a text of one byte per code point (Latin-1 letters and blanks
    # included), the windows of a start are scored by one matching pass per
    # reach, whatever the strategies.
    rng = random.Random(5000 + seed)
    alphabet = rng.choice(["abcdefghij  ", "aab  \t\t", "the quick brown fox é\u00a0Σ", "ab文字 \u3000",
                           "aéÿ b\u00a0\x85"])
    text_length = rng.randrange(4050, 4300) if seed % 8 == 3 else rng.randrange(70, 400)
    text = "".join(rng.choice(alphabet) for _ in range(text_length))
    length = rng.choice([1, 2, 3, 7, 10, 16, 33, 64])
    at = rng.randrange(max(1, len(text) - length))
    pattern = text[at:at + length]
    if rng.random() < 0.2:
        pattern = "  " + pattern
    for metric in ("jaro", "jaro_winkler", "hamming", "postfix"):
        for threshold in (0.05, 0.1, 0.2, 0.3, 0.45):
            for strategies in [["best_match"]] + (STRATEGY_LISTS[2:] if "jaro" in metric else []):
                args = (text, pattern, False, False, metric, threshold, 1, strategies)
                assert tessarin.fuzzy_raw_extract(*args) == model_fuzzy_raw(*args), (args,)
        args = (text, pattern, False, False, metric, float(seed % 4), 0, [])
        assert tessarin.fuzzy_raw_extract(*args) == model_fuzzy_raw(*args), (args,)


@pytest.mark.parametrize("seed", range(scaled(30)))
def test_raw_jaro_windows_of_one_start_match_the_model(seed):
    # Over a one-byte text the windows of a start are prefixes of one
    # stretch, scored together: windows that trim to nothing or to the same
    # length, one-code-point patterns, starts with as many windows and
    # windows as long as that path takes and one more, the text's end, and
    # thresholds that every window passes or none does.
    rng = random.Random(9000 + seed)
    alphabet = rng.choice(["ab  ", "abcab \t\t", "aé \u00a0ÿ", "the of and  "])
    text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 160)))
    length, threshold = rng.choice([(1, 0.3), (1, 5.0), (2, 0.5), (10, 0.2), (10, 0.75), (16, 0.45), (22, 0.45),
                                    (11, 1.0), (8, 1.2), (30, 0.07), (31, 0.07)])
    at = rng.randrange(max(1, len(text) - length))
    pattern = text[at:at + length] if rng.random() < 0.7 else "".join(rng.choice(alphabet) for _ in range(length))
    for metric in ("jaro", "jaro_winkler"):
        for kind, value in ((1, threshold), (0, threshold), (1, math.nan), (1, -0.5)):
            for strategies in STRATEGY_LISTS:
                args = (text, pattern, False, False, metric, value, kind, strategies)
                assert tessarin.fuzzy_raw_extract(*args) == model_fuzzy_raw(*args), (args,)

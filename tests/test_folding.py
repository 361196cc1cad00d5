"""Folding, trimming and code-point positions, seen through exact_raw_extract.

The folding helpers are internal, so each case searches a folded text and
reads the effect of folding from the positions of the matches.
"""

import random
import unicodedata

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessarin
from reference_model import SPECIAL_CHARS, WHITE_SPACE, exact_raw_extract, normalize
from conftest import scaled


def spans(text, pattern, case_insensitive=False, special_char_insensitive=False):
    found = tessarin.exact_raw_extract(text, pattern, case_insensitive,
                                       special_char_insensitive, [])
    return [(start, end) for start, end, _ in found]


@pytest.mark.parametrize("text, pattern, ci, sci, expected", [
    # Line feeds become spaces whatever the flags; nothing else is replaced.
    ("a\nb", "a b", False, False, [(0, 3)]),
    ("a b", "a\nb", False, False, [(0, 3)]),
    ("a\r\nb", "a\r b", False, False, [(0, 4)]),
    ("a\r\nb", "a  b", False, False, []),
    ("a\rb", "a b", False, False, []),
    ("a\tb", "a b", False, False, []),
    ("a\u2028b", "a b", False, False, []),
    ("a\u0085b", "a b", False, False, []),
    # Lower-casing runs before the table, so É reaches the table as é.
    ("É@€", "É@€", False, False, [(0, 3)]),
    ("É@€", "Éae", False, True, [(0, 3)]),
    ("É@€", "eae", False, True, []),
    ("É@€", "eae", True, True, [(0, 3)]),
    ("É@€", "é@€", True, False, [(0, 3)]),
    ("ÀÉÇÜ", "ÀÉÇÜ", False, True, [(0, 4)]),
    ("àéîôü", "aeîôu", False, True, [(0, 5)]),
    ("cafe", "café", False, True, [(0, 4)]),
    ("CAFÉ", "cafe", True, True, [(0, 4)]),
    # The pattern is folded too.
    ("abc", "ABC", True, False, [(0, 3)]),
    ("ABC", "abc", False, False, []),
    # Final sigma follows a cased letter (case-ignorable code points skipped)
    # and is not followed by one.
    ("ΟΔΟΣ", "οδος", True, False, [(0, 4)]),
    ("ΟΔΟΣ", "οδοσ", True, False, []),
    ("ΟΔΟΣ", "Σ", True, False, []),
    ("ΣΑ", "Σ", True, False, [(0, 1)]),
    ("Σ", "σ", True, False, [(0, 1)]),
    ("ΑΣ ΒΣ.", "ας βς.", True, False, [(0, 6)]),
    ("ΑΣ'Β", "ασ'β", True, False, [(0, 4)]),
    ("Α'Σ", "α'ς", True, False, [(0, 3)]),
    ("1Σ", "1σ", True, False, [(0, 2)]),
    ("ΑΣ1", "ας1", True, False, [(0, 3)]),
    ("ΟΔΟΣ", "ΟΔΟΣ", False, False, [(0, 4)]),
    # İ lowers to two code points and shifts every later position.
    ("\u0130a", "a", True, False, [(2, 3)]),
    ("\u0130a", "a", False, False, [(1, 2)]),
    ("i\u0307x", "\u0130", True, False, [(0, 2)]),
    ("\u0130\u0130b", "b", True, False, [(4, 5)]),
    # No locale rules: I lowers to i, not to dotless ı.
    ("I", "i", True, False, [(0, 1)]),
    ("ı", "i", True, False, []),
    # Positions count code points, not bytes or UTF-16 units.
    ("éa", "a", False, False, [(1, 2)]),
    ("日本a", "a", False, False, [(2, 3)]),
    ("😀a", "a", False, False, [(1, 2)]),
    ("\U00010400a", "\U00010428a", True, False, [(0, 2)]),
    ("ПРИВЕТ", "привет", True, False, [(0, 6)]),
    # No canonical normalisation: a composed é is not e + combining acute.
    ("e\u0301", "é", False, False, []),
])
def test_folding_cases(text, pattern, ci, sci, expected):
    assert spans(text, pattern, ci, sci) == expected


@pytest.mark.parametrize("char, plain", sorted(SPECIAL_CHARS.items()))
def test_each_special_char_folds_only_under_its_flag(char, plain):
    assert spans("x" + char, plain, False, True) == [(1, 2)]
    assert spans("x" + char, plain, True, False) == []


@pytest.mark.parametrize("char, plain", [
    ("á", "a"), ("ã", "a"), ("å", "a"), ("æ", "a"), ("ì", "i"), ("í", "i"),
    ("î", "i"), ("ñ", "n"), ("ò", "o"), ("ó", "o"), ("ô", "o"), ("õ", "o"),
    ("ö", "o"), ("ø", "o"), ("ú", "u"), ("ÿ", "y"), ("À", "a"), ("É", "e"),
    ("Ç", "c"), ("#", "a"), ("$", "e"),
])
def test_letters_outside_the_table_stay(char, plain):
    assert spans(char, plain, False, True) == []
    assert spans(char, char, False, True) == [(0, 1)]


NOT_WHITE_SPACE = ["\u200b", "\u180e", "\ufeff", "\u001c", "\u001f", "\u00ad"]


@pytest.mark.parametrize("char", sorted(WHITE_SPACE) + NOT_WHITE_SPACE)
def test_trimming_uses_exactly_the_white_space_set(char):
    trimmed = char in WHITE_SPACE
    # Window at 1 is char+"ab": it equals the pattern only if char is trimmed.
    assert spans("x" + char + "ab", " ab") == ([(1, 4)] if trimmed else [(2, 4)])
    assert spans("ab" + char + "x", "ab ") == ([(0, 3)] if trimmed else [])
    assert spans("a" + char + "b", " ") == ([(1, 2)] if trimmed else [])


@pytest.mark.parametrize("text, pattern, expected", [
    ("a\u00a0b\tc\nd\u200be\u3000", " ", [(1, 2), (3, 4), (5, 6), (9, 10)]),
    ("a b", "\u3000", [(1, 2)]),
    ("a b", "\n", [(1, 2)]),
    ("a  b", "  ", [(1, 3)]),
    ("a ", "  ", [(1, 2)]),   # the shortened last window trims to empty
    ("abc", " ", []),
    ("", " ", []),
    ("  ", "", []),
    ("", "", []),
])
def test_white_space_only_patterns(text, pattern, expected):
    assert spans(text, pattern) == expected


# Text drawn from characters whose folding differs between the flags.
FOLDING_ALPHABET = (
    "aAzZ" "éÉàÀçÇüÜáÁ@€" "ΣσςΑαΟο" "\u0130ı" "日本" "😀\U00010400\U00010428"
    " \n\t\r\u00a0" "'."
)
texts = st.text(alphabet=FOLDING_ALPHABET, max_size=40)
flags = st.booleans()


@settings(max_examples=scaled(400))
@given(text=texts, pattern=st.text(alphabet=FOLDING_ALPHABET, min_size=1, max_size=2),
       ci=flags, sci=flags)
def test_folding_agrees_with_model(text, pattern, ci, sci):
    assert (tessarin.exact_raw_extract(text, pattern, ci, sci, [])
            == exact_raw_extract(text, pattern, ci, sci, []))
    # The whole text as its own pattern covers exactly the folded length.
    folded_length = len(normalize(text, ci, sci))
    expected = [(0, folded_length, 0.0)] if folded_length else []
    assert tessarin.exact_raw_extract(text, text, ci, sci, []) == expected


@pytest.mark.parametrize("text, pattern, expected", [
    # Long texts are lower-cased in pieces of 4 MiB (2 Mi of é). A capital
    # sigma next to a cut, with no space anywhere near, still takes the form
    # that its neighbours on both sides call for.
    ("é" * 2097151 + "bΣ end", "bς", [(2097151, 2097153)]),        # cut after Σ's letter
    ("é" * 2097151 + "bΣ end", "bσ", []),
    ("é" * 2097150 + "xbΣc end", "bσc", [(2097151, 2097154)]),    # cut right after Σ
    ("é" * 2097152 + "Σ end", "éς", [(2097151, 2097153)]),        # cut right before Σ
    ("é" * 2097152 + "\u0301Σ\u0301 é", "\u0301ς\u0301", [(2097152, 2097155)]),
])
def test_final_sigma_across_the_folding_pieces(text, pattern, expected):
    assert spans(text, pattern, True) == expected


def long_mixed_text(rng):
    """ASCII runs longer than a vector and than the gaps that the folding
    bridges, with capitals, '@', line feeds and the case-ignorable ASCII
    marks, between short runs of other characters whose lower case depends
    on their neighbours (a final sigma) or that fold under either flag."""
    ascii_part = "abcxyzABCXYZ@\n '.:^`"
    other_part = "ΣσÉàÀ€İ😀"
    pieces = []
    for _ in range(rng.randrange(1, 8)):
        length = rng.choice([1, 3, 15, 17, 40, 255, 300, 700])
        pieces.append("".join(rng.choice(ascii_part) for _ in range(length)))
        if rng.random() < 0.7:
            pieces.append("".join(rng.choice(other_part) for _ in range(rng.randrange(1, 4))))
    return "".join(pieces)


# Where a final sigma's context meets ASCII: letters are cased, ' . : ^ `
# are case-ignorable, so lower-casing must see past them.
SIGMA_CONTEXTS = ["aΣ.b", "aΣ'", "aΣ:B", " Σa", "a`Σ^", "AΣ^Σ.B", "Σ.", "a.Σ", "a\nΣ b"]


@pytest.mark.parametrize("seed", range(40))
def test_long_mixed_and_ascii_texts_agree_with_model(seed):
    rng = random.Random(seed)
    text = long_mixed_text(rng)
    if seed % 3 == 0:
        text = SIGMA_CONTEXTS[seed // 3 % len(SIGMA_CONTEXTS)] + "x" * 300 + text
    elif seed % 3 == 1:
        text = "".join(c for c in text if c.isascii())  # the in-place search of ASCII text
    start = rng.randrange(len(text))
    pattern = text[start:start + rng.randrange(1, 6)]
    for ci in (False, True):
        for sci in (False, True):
            for probe in (pattern, "σ", "ς"):
                assert (tessarin.exact_raw_extract(text, probe, ci, sci, [])
                        == exact_raw_extract(text, probe, ci, sci, [])), (probe, ci, sci)
            folded_length = len(normalize(text, ci, sci))
            assert tessarin.exact_raw_extract(text, text, ci, sci, []) == [(0, folded_length, 0.0)]


def test_every_code_point_folds_as_str_lower_alone_and_around_a_final_sigma():
    # Every code point but the surrogates (which UTF-8 cannot carry): alone;
    # before a capital sigma, after a space ("cΣ": is c cased?) and after a
    # cased letter ("ΑΣcΣ": is c case-ignorable?); and after one ("ΑΣc",
    # "ΑΣcΣ"). The folded text itself cannot be read, so it must have
    # str.lower()'s length and match str.lower()'s result folded in turn:
    # a wrong mapping, or a code point taken for cased or case-ignorable
    # when Python's Unicode database says otherwise, breaks one or the other.
    # Unassigned code points count too: the tables come from the database of
    # the interpreter the module was built with.
    text = " ".join(f"{c} ΑΣ{c}Σ ΑΣ{c} {c}Σ" for c in map(chr, range(0x110000))
                    if unicodedata.category(c) != "Cs")
    expected = [(0, len(text.lower()), 0.0)]
    assert tessarin.exact_raw_extract(text, text, True, False, []) == expected
    assert tessarin.exact_raw_extract(text, text.lower(), True, False, []) == expected

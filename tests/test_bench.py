"""The benchmark's own logic: how its texts are made."""
import struct
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parents[1] / "bench"))
import corpus  # noqa: E402

GREEK = ("GREEK",)
PAGE = """<html><head><title>Τίτλος</title></head><body>
<header><p>Βοήθεια του LibreOffice</p></header><nav>Περιεχόμενα</nav>
<div>Επιλέξτε   <span>Εργαλεία</span> - Επιλογές.</div>
<p>Choose Tools - Options.</p><pre>Εντολή που δεν είναι πρόζα</pre>
<p>Επιλέξτε <code>ls</code> Εργαλεία - Επιλογές.</p>
<p>Δείκτης 🔎</p><footer><p>Ο τίτλος είναι</p></footer></body></html>"""


@pytest.mark.parametrize("texts, expected", [
    # Page furniture, code and English go; blanks collapse; a repeated line stays once;
    # a line beyond the BMP goes, as it would widen the whole text.
    ([corpus.page_text(PAGE), corpus.page_text(PAGE)], "Επιλέξτε Εργαλεία - Επιλογές.\n"),
    # Half the letters in the script is enough; less is not.
    (["ΑΒ cd\nΑ bcd\n12 34"], "ΑΒ cd\n"),
    (["Σ\u0301ε\tμ\n\n"], "Σ\u0301ε μ\n"),
])
def test_documentation_keeps_the_prose_in_its_script(texts, expected):
    assert corpus.script_lines(texts, GREEK) == expected


def write_catalog(path: Path, messages: dict[str, str]) -> None:
    """A compiled gettext catalog, as msgfmt writes it (without a hash table)."""
    keys = sorted(messages)
    originals, translations = (b"".join(s.encode() + b"\0" for s in strings)
                               for strings in (keys, [messages[k] for k in keys]))
    count, start = len(keys), 28
    data_at = start + 16 * count

    def table(strings: list[str], at: int) -> bytes:
        entries = b""
        for string in strings:
            entries += struct.pack("<II", len(string.encode()), at)
            at += len(string.encode()) + 1
        return entries
    path.write_bytes(struct.pack("<7I", 0x950412DE, 0, count, start, start + 8 * count, 0, data_at)
                     + table(keys, data_at) + table([messages[k] for k in keys], data_at + len(originals))
                     + originals + translations)


def test_a_catalog_gives_its_translations_without_accelerators_or_header(tmp_path):
    path = tmp_path / "messages.mo"
    write_catalog(path, {"": "Content-Type: text/plain; charset=UTF-8\n", "~Open": "~खोलें", "_Save": "सहे_जें"})
    assert sorted(corpus.catalog_text(path).splitlines()) == ["खोलें", "सहेजें"]


@pytest.mark.parametrize("text", [
    "one two three four five six seven eight nine ten eleven twelve " * 3,
    "Ὅτι μὲν ὑμεῖς, ὦ ἄνδρες Ἀθηναῖοι, πεπόνθατε ὑπὸ τῶν ἐμῶν κατηγόρων, οὐκ οἶδα " * 2,
    "सामान्य इनपुट त्रुटि. प्रवेश योग्य पथ नहीं. गलत फ़ाइल प्रारूप " * 3,
    # Line feeds, doubled blanks and punctuation near the middle are passed over.
    "a b\n" * 30 + "x, (y) z  w\n" * 5 + "lorem ipsum dolor sit amet",
])
def test_a_fuzzy_pattern_is_a_piece_of_the_text_one_letter_off(text):
    piece, edited = corpus.fuzzy_pattern(text)
    assert piece in text and len(piece) == len(edited) == corpus.FUZZY_PIECE
    assert piece[0].isalpha() and piece[-1] != " " and "\n" not in piece and "  " not in piece
    differences = [(a, b) for a, b in zip(piece, edited) if a != b]
    assert len(differences) == 1 and all(c.isalpha() for c in differences[0])
    assert differences[0][0].lower() != differences[0][1].lower()


@pytest.mark.parametrize("text", ["short", "a\nb\nc " * 40, "(1) [2] {3} " * 40])
def test_no_fuzzy_pattern_where_no_piece_fits(text):
    with pytest.raises(ValueError):
        corpus.fuzzy_pattern(text)


def test_emoji_are_added_after_words_and_nothing_else_changes():
    text = "The quick brown fox jumps over the lazy dog.\n" * 200
    mixed = corpus.with_emoji(text)
    added = [c for c in mixed if c > "\uffff"]
    assert 0.05 < len(added) / len(text.split()) < 0.15
    assert "".join(c for c in mixed if c <= "\uffff").replace("  ", " ").replace(" \n", "\n") == text
    assert mixed == corpus.with_emoji(text)  # the same on every build

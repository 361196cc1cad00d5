"""The benchmark's own logic: how its texts are made and how its closing table judges."""
import struct
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest

sys.path.insert(0, str(Path(__file__).parents[1] / "bench"))
import corpus  # noqa: E402
import run  # noqa: E402

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


def cell(script, **record):
    return {"label": script, "script": script, **record}


TARGETS = [SimpleNamespace(workload="absent", peer="find", limit=2.0, widths=(1, 2, 4)),
           SimpleNamespace(workload="memory", peer=None, limit=3.0, widths=(2,)),
           SimpleNamespace(workload="token", peer="loop", limit=0.05, widths=(1, 2, 4))]
SCRIPTS = {name: SimpleNamespace(title=name.title()) for name in ("ascii", "greek", "emoji", "arabic")}


def test_the_script_table_judges_each_script_on_each_target():
    results = [
        {"name": "absent", "cells": [
            {"label": "English", "script": None, "ratio": {"find": 99.0}},  # not a script cell: never read
            cell("ascii", width=1, ratio={"find": 0.5}),
            cell("greek", width=2, ratio={"find": 2.5}),
            cell("emoji", error="timeout")]},
        {"name": "memory", "cells": [
            cell("ascii", width=1, median={"ours": 5.0}),  # the limit holds on 2-byte text only
            cell("greek", width=2, median={"ours": 2.0})]},
        {"name": "token", "cells": [  # several cells of a script: the worst of them
            cell("ascii", width=1, ratio={"loop": 0.03}),
            cell("ascii", width=1, ratio={"loop": 0.01}),
            cell("greek", width=2, ratio={"loop": 0.02}),
            cell("greek", width=2, ratio={"loop": 0.08}),
            cell("greek", width=2, ratio={"loop": 0.04}),
            cell("emoji", width=4, ratio={"loop": 0.01}),
            cell("emoji", error="timeout")]},
    ]
    assert run.script_rows(results, TARGETS, SCRIPTS) == [
        ("Ascii", [("1", None), ("0.5x ok", True), ("5 B", None), ("0.03x ok", True)]),
        ("Greek", [("2", None), ("2.5x NOT", False), ("2 B ok", True), ("0.08x NOT", False)]),
        ("Emoji", [("4", None), ("failed", False), ("-", None), ("failed", False)]),
        # Arabic was not run at all: no row.
    ]


@pytest.mark.parametrize("scripts, expected", [
    (set(), [0, 1, 2, 3]),
    ({"all"}, [1, 2, 3]),
    ({"greek", "emoji"}, [2, 3]),
    ({"arabic"}, []),
])
def test_script_selection_keeps_the_script_cells_asked_for(scripts, expected):
    cells = [SimpleNamespace(script=script) for script in (None, "ascii", "greek", "emoji")]
    workload = SimpleNamespace(cells=cells, quick_cells=())
    assert list(run.chosen_cells(workload, False, scripts)) == expected

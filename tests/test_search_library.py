"""The search library, tessarin_search: edit counts as agrep counts them,
positions in the caller's text, white space as people write it, many
patterns, many texts on threads, and values refused at construction."""

import contextlib
import doctest
import gc
import itertools
import pathlib
import pickle
import random
import signal
import subprocess
import sys
import textwrap

import pytest
from rapidfuzz.distance import Levenshtein

import tessarin
from conftest import scaled
from reference_model import solve_conflicts, trim_whitespace
from tessarin_search import Search, find, find_many


def edit_count_reference(text, pattern, edits, strategies):
    """Every window of m - k to m + k code points whose trimmed text lies
    within k Levenshtein edits of the pattern, reduced as the module reduces."""
    m = len(pattern)
    candidates = []
    for start in range(len(text)):
        for length in range(max(1, m - edits), m + edits + 1):
            if start + length > len(text):
                break
            distance = Levenshtein.distance(trim_whitespace(text[start:start + length]), pattern)
            if distance <= edits:
                candidates.append((start, start + length, float(distance)))
    return solve_conflicts(text, candidates, strategies)


def test_edit_counts_agree_with_a_brute_force_reference():
    generator = random.Random(27)
    for _ in range(scaled(400)):
        text = "".join(generator.choice("ab c") for _ in range(generator.randrange(0, 40)))
        pattern = "".join(generator.choice("abc") for _ in range(generator.randrange(1, 7)))
        edits = generator.randrange(0, 4)
        strategies = generator.choice([[], ["best_match", "shortest"], ["longest"], ["shortest", "best_match"]])
        found = [tuple(match) for match in Search(pattern, edits=edits, strategies=strategies).find(text)]
        assert found == edit_count_reference(text, pattern, edits, strategies), (text, pattern, edits, strategies)


@pytest.mark.parametrize("text, pattern, options, expected", [
    # Insertions and deletions count, which windows of the pattern's length cannot find.
    ("a lightthouse here", "lighthouse", {"edits": 1}, [(2, 13, "lightthouse")]),
    ("a lighthose here", "lighthouse", {"edits": 1}, [(2, 11, "lighthose")]),
    ("a lighthouses here", "lighthouse", {"edits": 1}, [(2, 12, "lighthouse")]),
    # Lower-casing İ gives two code points: later positions stay the caller's.
    ("İstanbul and İzmir have a lighthouse", "lighthouse", {"ignore_case": True}, [(26, 36, "lighthouse")]),
    ("İİİ abc İ", "abc", {"ignore_case": True}, [(4, 7, "abc")]),
    ("xİy", "i̇y", {"ignore_case": True}, [(1, 3, "İy")]),
    # ß lowers to itself, one code point; final sigma is one code point too.
    ("Straße STRASSE", "straße", {"ignore_case": True}, [(0, 6, "Straße")]),
    ("İ ΟΔΟΣ ΟΔΟΣ", "ΟΔΟΣ", {"ignore_case": True}, [(2, 6, "ΟΔΟΣ"), (7, 11, "ΟΔΟΣ")]),
    ("İ café CAFÉ", "cafe", {"ignore_case": True, "ignore_accents": True}, [(2, 6, "café"), (7, 11, "CAFÉ")]),
    # White space as people write it, positions still the caller's.
    ("un petit\r\ndéjeuner", "petit déjeuner", {"collapse_white_space": True}, [(3, 18, "petit\r\ndéjeuner")]),
    ("un petit\n    déjeuner", "petit déjeuner", {"collapse_white_space": True}, [(3, 21, "petit\n    déjeuner")]),
    ("un petit\tdéjeuner", "petit  déjeuner", {"collapse_white_space": True}, [(3, 17, "petit\tdéjeuner")]),
    ("un petit\u00a0\u00a0déjeuner", "petit déjeuner", {"collapse_white_space": True},
     [(3, 18, "petit\u00a0\u00a0déjeuner")]),
    ("İ  PETIT \t DÉJEUNER", "petit dejeuner", {"collapse_white_space": True, "ignore_case": True,
                                                "ignore_accents": True}, [(3, 19, "PETIT \t DÉJEUNER")]),
    ("İ  petit \t dejeuner", "petit dejuner", {"collapse_white_space": True, "ignore_case": True, "edits": 1},
     [(3, 19, "petit \t dejeuner")]),
    ("a petit  déjeuner", "petit déjeuner", {}, []),
    # İ on either side of where the text is looked at a block at a time, and
    # lines counted in wide texts.
    ("\u0100" * 254 + "İİ\nİ\nabc", "abc", {"ignore_case": True}, [(259, 262, "abc")]),
    ("\U0001F600" + "x\n" * 200 + "İ" * 300 + "abc", "abc", {"ignore_case": True}, [(701, 704, "abc")]),
])
def test_positions_are_in_the_callers_text(text, pattern, options, expected):
    found = Search(pattern, **options).find(text)
    assert [(match.start, match.end, match.text) for match in found] == expected
    for match in found:
        assert match.text == text[match.start:match.end]
        line_start = text.rfind("\n", 0, match.start) + 1
        assert (match.line, match.column) == (text.count("\n", 0, match.start) + 1, match.start - line_start + 1)


def test_the_layers_searches_are_the_modules():
    generator = random.Random(28)
    for _ in range(scaled(200)):
        text = "".join(generator.choice("aAb cé\n") for _ in range(generator.randrange(0, 30)))
        pattern = "".join(generator.choice("abé") for _ in range(generator.randrange(1, 5)))
        flags = (generator.random() < 0.5, generator.random() < 0.5)
        options = {"ignore_case": flags[0], "ignore_accents": flags[1]}
        cases = [
            (Search(pattern, **options), tessarin.exact_raw_extract(text, pattern, *flags, ["best_match", "shortest"])),
            (Search(pattern, separator=" ", **options), tessarin.exact_token_extract(text, pattern, " ", *flags)),
            (Search(pattern, similarity=0.7, metric="indel", **options),
             tessarin.fuzzy_raw_extract(text, pattern, *flags, "indel", 0.3, 1, ["best_match", "shortest"])),
            (Search(pattern, edits=1, separator=" ", strategies=["longest"], **options),
             tessarin.fuzzy_token_extract(text, pattern, " ", *flags, "levenshtein", 1.0, 0, ["longest"])),
        ]
        for search, spans in cases:
            assert [tuple(match) for match in search.find(text)] == spans, (search, text)


def test_many_patterns_say_which_they_are():
    text = "From Pariss to Lyn, then Paris again"
    found = Search(["Paris", "Lyon"], edits=1).find(text)
    assert [(m.start, m.end, m.pattern, m.pattern_index) for m in found] == [
        (5, 10, "Paris", 0), (15, 18, "Lyon", 1), (25, 30, "Paris", 0)]
    assert [m.text for m in found] == ["Paris", "Lyn", "Paris"]
    assert Search(patterns=("Lyon", "Paris"), edits=1).find(text)[1].pattern_index == 0
    # One pattern's matches are those of a search for it alone.
    for pattern in ("Paris", "Lyon"):
        assert [tuple(m) for m in found if m.pattern == pattern] == [tuple(m) for m in find(pattern, text, edits=1)]


def test_find_many_keeps_the_order_of_the_texts():
    generator = random.Random(29)
    texts = ["".join(generator.choice("colur \n") for _ in range(generator.randrange(0, 300))) for _ in range(300)]
    search = Search("colour", edits=1, ignore_case=True)
    expected = [search.find(text) for text in texts]
    for threads in (1, 2, 5):
        assert list(search.find_many(texts, threads=threads)) == expected
        assert list(search.find_many(iter(texts), threads=threads)) == expected
    assert list(find_many("colour", (t for t in texts), threads=2, edits=1, ignore_case=True)) == expected
    assert list(search.find_many([], threads=2)) == []


def failing_after(texts, error):
    yield from texts
    raise error


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("source, error", [
    (lambda texts: failing_after(texts, OSError("the disk is gone")), OSError),
    (lambda texts: [*texts, b"colour"], TypeError),
    (lambda texts: itertools.chain(texts, [7], texts), TypeError),
])
def test_find_many_raises_in_the_place_of_the_text_that_failed(threads, source, error):
    texts = ["colour", "a color and a colour\n" * 40, ""] * 100
    search = Search("colour", edits=1)
    results = search.find_many(source(texts), threads=threads)
    assert [next(results) for _ in texts] == [search.find(text) for text in texts]
    with pytest.raises(error):
        next(results)
    assert list(results) == []


def test_find_many_is_read_by_one_thread_at_a_time():
    def texts():
        yield "colour"
        next(results)  # reads the results while they are being read
    results = Search("colour").find_many(texts(), threads=2)
    assert [m.text for m in next(results)] == ["colour"]
    with pytest.raises(ValueError, match="already being read"):
        next(results)


def test_matches_outlive_their_lists_and_an_unfinished_find_many():
    texts = (f"text {i}\nİ colour and colour" for i in itertools.count())
    results = Search("colour", ignore_case=True).find_many(texts, threads=3)
    kept = [next(results)[1] for _ in range(3)]
    del results
    gc.collect()
    assert [(m.text, m.line, m.column, m.pattern, m.start) for m in kept] == [("colour", 2, 14, "colour", 20)] * 3
    assert [pickle.loads(pickle.dumps(m)) for m in kept] == kept


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("ending", ["read to the end", "dropped unfinished", "failed"])
def test_find_many_lets_go_of_every_text(threads, ending):
    text = "a colour and a color\n" * 500
    before = sys.getrefcount(text)
    source = [text] * 500 + ([7] if ending == "failed" else [])
    results = Search("colour", edits=1).find_many(source, threads=threads)
    if ending == "dropped unfinished":
        assert len(next(results)) == 1000
    else:
        with pytest.raises(TypeError) if ending == "failed" else contextlib.nullcontext():
            assert all(len(matches) == 1000 for matches in results)
    del results, source
    assert sys.getrefcount(text) == before


INTERRUPTED_CHILD = textwrap.dedent("""
    import itertools, signal, sys
    from tessarin_search import Search

    # Ctrl-C as a user's shell leaves it: a test run started in the
    # background inherits SIGINT ignored, and so would this process.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    texts = ("a colour and a color " * 20_000 for _ in itertools.count())
    count = 0
    try:
        # The body does not end with its test: CPython 3.13.0 loses a
        # KeyboardInterrupt that its signal check raises at the jump back of
        # a loop whose body ends in an if, to every handler around the loop.
        for matches in Search("colour", edits=1).find_many(texts, threads=int(sys.argv[1])):
            if count == 0:
                print("searching", flush=True)
            count += 1
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    print(len(next(Search("colour").find_many(["colour colour"], threads=2))), flush=True)
""")


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_ends_find_many_over_an_endless_iterable(threads):
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_CHILD, str(threads)], stdout=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline() == "searching\n"
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=300)
    finally:
        child.kill()
    assert (out, child.returncode) == ("interrupted\n2\n", 0)


@pytest.mark.parametrize("call, error, words", [
    (lambda: Search("x", metric="levenshtien", edits=1), ValueError, ["'levenshtien'", "levenshtein, damerau"]),
    (lambda: Search("x", edits=1, strategies=["best"]), ValueError, ["'best'", "best_match, shortest"]),
    (lambda: Search("x", edits=1, strategies="best_match"), TypeError, ["'best_match'", "best_match, shortest"]),
    (lambda: Search(""), ValueError, ["''", "empty"]),
    (lambda: Search("  "), ValueError, ["'  '", "white space"]),
    (lambda: Search([]), ValueError, ["empty"]),
    (lambda: Search(["a", 3]), TypeError, ["3"]),
    (lambda: Search(), TypeError, ["patterns="]),
    (lambda: Search("x", patterns=["y"]), TypeError, ["patterns="]),
    (lambda: Search("x", edits=-1), ValueError, ["edits=-1", "0 to 127"]),
    (lambda: Search("x", edits=1.5), TypeError, ["1.5"]),
    (lambda: Search("x", edits=True), TypeError, ["True"]),
    (lambda: Search("x", similarity=float("nan")), ValueError, ["nan", "0 to 1"]),
    (lambda: Search("x", similarity=1.5), ValueError, ["1.5", "0 to 1"]),
    (lambda: Search("x", similarity="high"), TypeError, ["'high'"]),
    (lambda: Search("x", edits=1, similarity=0.8), ValueError, ["not both"]),
    (lambda: Search("x", edits=2, metric="jaro"), ValueError, ["'jaro'", "levenshtein"]),
    (lambda: Search("x", metric="osa"), ValueError, ["'osa'", "edits="]),
    (lambda: Search("x", separator=""), ValueError, ["separator"]),
    (lambda: Search("x", separator=3), TypeError, ["3"]),
    (lambda: Search("x", separator=" ", strategies=["longest"]), ValueError, ["every match"]),
    (lambda: Search("x", ignore_case=1), TypeError, ["ignore_case", "1"]),
    (lambda: Search("x").find_many("text"), TypeError, ["one str"]),
    (lambda: Search("x").find_many([], threads=0), ValueError, ["threads=0"]),
    (lambda: Search("x").find(b"x"), TypeError, ["bytes"]),
    (lambda: Search("x").find("\ud800"), UnicodeEncodeError, ["surrogate"]),
    (lambda: list(Search("x").find_many(["x", 7])), TypeError, ["int"]),
])
def test_bad_values_are_refused_naming_them(call, error, words):
    with pytest.raises(error) as raised:
        call()
    for word in words:
        assert word in str(raised.value)


def test_similarity_reads_the_decimal_written():
    # 1 - 0.8 is 0.19999999999999996 in binary: a 10-code-point pattern
    # would then get windows one code point longer, not two.
    text = "xx abcdefghij xx abcXXdefghij"
    assert [m.text for m in Search("abcdefghij", similarity=0.8).find(text)] == ["abcdefghij", "abcXXdefghij"]


def test_a_search_is_a_value():
    search = Search(["a", "b"], edits=1, ignore_case=True)
    assert search == Search(patterns=["a", "b"], edits=1, ignore_case=True)
    assert hash(search) == hash(Search(["a", "b"], edits=1, ignore_case=True))
    assert search != Search(["a", "b"], edits=2, ignore_case=True)
    assert "edits=1" in repr(search) and "ignore_case=True" in repr(search)
    with pytest.raises(AttributeError):
        search.edits = 2
    assert pickle.loads(pickle.dumps(search)) == search


EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples" / "library"


@pytest.mark.parametrize("program, shown", [
    ("names_with_typos.py", ["3:12 'Bartolomew' is Bartholomew (1 edits)", "4:41 'Thorvaldson' is Thorvaldsen"]),
    ("word_list.py", ["café: 3", "crème: 3", "brûlée: 1"]),
    ("phrase_across_lines.py", ["1:4 'petit\\r\\ndéjeuner'", "3:12 'petit\\n    déjeuner'", "5:23 'petit\\xa0déjeuner'"]),
    ("dataframe_column.py", ["102      a lightouse lamp  lightouse", "104     LIGHTHOUSE poster LIGHTHOUSE"]),
    ("many_files.py", ["__init__.py:106:7: decoder"]),
])
def test_examples_run_and_find_what_they_say(program, shown):
    ran = subprocess.run([sys.executable, str(EXAMPLES / program)], capture_output=True, text=True, check=True)
    for line in shown:
        assert line in ran.stdout


def test_the_packages_own_examples():
    import tessarin_search
    assert doctest.testmod(tessarin_search).failed == 0


def test_matches_pickle_and_compare():
    text = "x\nİ lighthouse"
    match = Search("lighthouse", ignore_case=True).find(text)[0]
    assert tuple(match) == (4, 14, 0.0) and match[0] == 4 and len(match) == 3
    start, end, score = match
    assert (start, end, score, match.line, match.column) == (4, 14, 0.0, 2, 3)
    copy = pickle.loads(pickle.dumps(match))
    assert copy == match and hash(copy) == hash(match) and repr(copy) == repr(match)
    assert "text='lighthouse'" in repr(match)
    assert match != Search("lighthouse", ignore_case=True).find("İİ lighthouse")[0]


@pytest.mark.parametrize("options, lines", [
    (["-Z1"], ["this instance", "isinstance", "is_instance", "isinstanc"]),
    (["--edits", "1"], ["this instance", "isinstance", "is_instance", "isinstanc"]),
    (["-Z", "-t", "1", "--absolute"], ["isinstance", "isinstanc"]),  # windows of the pattern's length
])
def test_the_command_counts_edits_as_ugrep(tmp_path, options, lines):
    filler = "\n" + "-" * 20 + "\n"  # keeps each line's matches a group of their own
    path = tmp_path / "lines.txt"
    path.write_text(filler.join(["this instance", "isinstance", "is_instance", "isinstanc", "instance"]) + "\n")
    ran = subprocess.run([sys.executable, "-m", "tessarin_cli", "-N", *options, "isinstance", str(path)],
                         capture_output=True, text=True)
    assert ran.returncode == 0, ran.stderr
    assert ran.stdout.splitlines() == lines


def test_the_command_refuses_edits_with_a_threshold(tmp_path):
    ran = subprocess.run([sys.executable, "-m", "tessarin_cli", "--edits", "1", "-t", "1", "x", str(tmp_path)],
                         capture_output=True, text=True)
    assert ran.returncode == 2 and "--edits" in ran.stderr


def test_lines_worked_out_when_first_asked_whatever_the_order():
    text = "x\nİ lighthouse\r\n\n  lighthouse, lighthouse\n" * 3
    expected = [(m.line, m.column) for m in Search("lighthouse", ignore_case=True).find(text)]
    assert expected == [(2, 3), (4, 3), (4, 15), (6, 3), (8, 3), (8, 15), (10, 3), (12, 3), (12, 15)]
    last = Search("lighthouse", ignore_case=True).find(text)[-1]  # its list is gone
    assert (last.line, last.column) == expected[-1]
    found = Search("lighthouse", ignore_case=True).find(text)
    assert [(m.line, m.column) for m in reversed(found)] == expected[::-1]
    found = Search("lighthouse", ignore_case=True).find(text)
    assert [pickle.loads(pickle.dumps(m)) for m in found] == found  # pickling and comparing read them too
    batches = list(Search("lighthouse", ignore_case=True).find_many([text] * 5, threads=2))
    assert [[(m.line, m.column) for m in batch] for batch in batches] == [expected] * 5

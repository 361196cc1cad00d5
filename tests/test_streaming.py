"""The command reads a file in blocks; whatever the block size, it must report
exactly what one call of the module over the whole file reports. The search
itself is proved at random cuts by the core's own tests (tests/cpp); these
follow a file through the whole command."""

import io
import json
import sys

import pytest

from conftest import UNDER_ADDRESS_SANITIZER

import tessarin_cli.command as command
from tessarin_cli import build_search, main

# Cuts fall inside multi-byte characters (é, İ, €, 𝄞), inside white-space
# runs, and inside groups of overlapping candidates (aaaa..., colour/color).
TEXTS = [
    "the colour of the color, colr and coloor\n" * 3 + "c o l o r\n\n\n   colour   \n",
    "aaaa aaaaaaaa\naaa\n" * 4 + "a a a a a a\n",
    "İstanbul ISTANBUL istanbul\nΣΑΣ σας ΣΑΣ.\n" * 3,
    "café caf\u00e9 cafe\u0301 CAFÉ @fé €ur\n" * 3 + "𝄞 music 𝄞𝄞 musik\n",
    "x" * 50 + "\n" + "   \t  \n" * 5 + "needle  needle\n" + " " * 40 + "needle",
    "no line feed at all, needle in a haystack, neddle and needel and nedle",
    # Separators of several characters, a multi-byte one, runs of them that
    # overlap, and a separator at a line's start and end.
    "x :: y ::: z::x :: y\n::x::::y\nx ::y:: x\n" * 3 + "é∷é ∷∷ é∷ e\n",
    "aaxΣ.\nxbb\n" * 3,  # cut after a separator that is a letter: final sigma reads across it
]

SEARCHES = [
    ("colour", {}),
    ("aa", {}),
    ("a a", {}),
    ("istanbul", {"ignore_case": True}),
    ("σας", {"ignore_case": True}),
    ("cafe", {"ignore_case": True, "ignore_accents": True}),
    ("colour", {"fuzzy": True}),
    ("color", {"threshold": 1, "threshold_kind": 0}),
    ("needle", {"threshold": 2, "threshold_kind": 0, "ignore_case": True}),
    ("aaa", {"threshold": 0.4}),
    ("music", {"metric": "indel", "threshold": 0.3}),
    ("colour", {"metric": "jaro_winkler", "threshold": 0.2}),
    ("the color", {"separator": " "}),
    ("the colr", {"separator": " ", "fuzzy": True}),
    # Token windows: exact ones overlap and are all reported; fuzzy ones
    # sharing a token form one group, which a cut must not split.
    ("a a", {"separator": " "}),
    ("a a a", {"separator": " ", "threshold": 0.5}),
    ("x :: y", {"separator": " :: "}),
    ("x::y", {"separator": "::", "threshold": 2, "threshold_kind": 0}),
    ("é∷e", {"separator": "∷", "ignore_accents": True}),
    ("σας σας", {"separator": " ", "ignore_case": True, "threshold": 0.4}),
    ("İstanbul", {"separator": " ", "ignore_case": True, "threshold": 0.3}),
    ("ς.", {"separator": "x", "ignore_case": True}),
    ("in a", {"separator": ";", "threshold": 0.9}),  # no separator: one token, as long as the file
]


def command_records(tmp_path, monkeypatch, text, patterns, options, block):
    """The command's JSON records, reading `block` bytes at a time."""
    path = tmp_path / "input.txt"
    path.write_bytes(text.encode())
    args = ["--json", "-j", "1"]
    if options.get("ignore_case"):
        args.append("-i")
    if options.get("ignore_accents"):
        args.append("--ignore-accents")
    if options.get("fuzzy"):
        args.append("-Z")
    if "metric" in options:
        args += ["--metric", options["metric"]]
    if "threshold" in options:
        args += ["-t", str(options["threshold"])]
    if options.get("threshold_kind") == 0:
        args.append("--absolute")
    if "separator" in options:
        args.append("--separator=" + options["separator"])
    monkeypatch.setattr(command, "BLOCK", block)
    out = io.StringIO()
    for pattern in patterns:
        args += ["-e", pattern]
    status = command.run([*args, "--", str(path)], out, io.StringIO(), io.StringIO())
    assert status in (0, 1)
    records = [json.loads(line) for line in out.getvalue().splitlines()]
    for record in records:
        # The shown span is the window without its surrounding white space.
        assert record["text"].strip() == text[record["shown_start"]:record["shown_end"]] or \
            not record["text"].strip()
        shown_line = text[:record["shown_start"]].count("\n") + 1
        assert record["line"] == shown_line
        assert record["pattern"] == patterns[record["pattern_index"]]
    return records


def command_spans(tmp_path, monkeypatch, text, pattern, options, block):
    """What the command reports, as the module's spans, reading `block` bytes at a time."""
    records = command_records(tmp_path, monkeypatch, text, [pattern], options, block)
    return [(r["module_start"], r["module_end"], r["score"]) for r in records]


def module_spans(text, pattern, options):
    return [tuple(span) for span in build_search(pattern, **options).spans(text)]


@pytest.mark.parametrize("pattern, options", SEARCHES, ids=[p for p, _ in SEARCHES])
def test_every_block_size_gives_the_whole_file_answer(tmp_path, monkeypatch, pattern, options):
    search = build_search(pattern, **options)
    for text in TEXTS:
        whole = [tuple(span) for span in search.spans(text)]
        for block in (1, 7, 1 << 20):
            assert command_spans(tmp_path, monkeypatch, text, pattern, options, block) == whole, \
                (text[:30], block)


@pytest.mark.skipif(UNDER_ADDRESS_SANITIZER, reason="the sanitizers' allocator keeps freed memory aside")
def test_memory_stays_bounded_on_a_big_file(tmp_path):
    # Far more text than the ceiling, searched in blocks: the peak must not
    # grow with the file.
    import subprocess

    path = tmp_path / "big.txt"
    line = b"a line of ordinary text with isinstance(x, int) in it, and more words\n"
    with open(path, "wb") as stream:
        for _ in range(128):
            stream.write(line * 8192)  # 128 x 600 KB, about 75 MB
    # The high-water mark of this process's own memory: the resource
    # module's maximum would include what the forking parent held.
    code = ("import sys; from tessarin_cli import main; status = main(sys.argv[1:]); "
            "print(open('/proc/self/status').read().split('VmHWM:')[1].split()[0]); sys.exit(0)")
    # Literals found first; for a metric with no literal to look for, cuts
    # proven free of candidates; token windows cut between tokens.
    for args in (["-c", "-i", "isinstance"], ["-c", "-Z", "-t", "1", "--absolute", "isinstanse"],
                 ["-c", "--metric", "jaro_winkler", "-t", "0.05", "isinstance"],
                 ["-c", "--separator", ", ", "int) in it"],
                 ["-c", "--separator", " ", "-Z", "text with isinstanse(x,"]):
        done = subprocess.run([sys.executable, "-c", code, *args, str(path)], capture_output=True, timeout=300)
        count, peak_kib = done.stdout.split()
        assert int(count) == 128 * 8192
        assert int(peak_kib) < 64 * 1024, (args, peak_kib)
    # Many files below a block, every line a match, searched many at a time:
    # what waits to be printed must stay bounded too.
    tree = tmp_path / "tree"
    tree.mkdir()
    for n in range(40):
        (tree / f"{n}.txt").write_bytes(line * 5600)
    for args in (["-c", "isinstance"], ["-C", "1", "isinstance"]):
        done = subprocess.run([sys.executable, "-c", code, "-j", "1", *args, str(tree)], capture_output=True,
                              timeout=300)
        assert int(done.stdout.split()[-1]) < 64 * 1024, args


@pytest.mark.parametrize("pattern, args", [
    ("needle", []), ("needle", ["-Z"]),
    ("néedle", ["-i", "-t", "1", "--absolute"]),  # no literal: cut at proven gaps
    ("needle", ["--metric", "jaro_winkler", "-t", "0.1"]),
    ("needle", ["--separator", " "]), ("needle", ["--separator", " ", "-Z"]),
])
def test_matching_lines_are_printed_whole_at_every_block_size(tmp_path, monkeypatch, pattern, args):
    # Some lines end in a second match, where a token search cuts between
    # the two: each line is still printed once.
    lines = [("x" * (n * 7 % 50)) + (" needle " if n % 3 else " hay ")
             + ("needle" if n % 4 == 2 else "y" * (n * 13 % 40)) for n in range(60)]
    path = tmp_path / "lines.txt"
    path.write_text("\n".join(lines) + "\n")
    expected = "".join(f"{n + 1}:{line}\n" for n, line in enumerate(lines) if "needle" in line)
    for block in (1, 5, 16, 100, 1 << 20):
        monkeypatch.setattr(command, "BLOCK", block)
        out = io.StringIO()
        command.run([*args, "--", pattern, str(path)], out, io.StringIO(), io.StringIO())
        assert out.getvalue() == expected, block


# Files below a block are read and searched whole in one native call, and
# bigger ones block by block; whatever they hold, they must print the same,
# in a walk and named.
ODD_FILES = {
    "plain.txt": b"needle one\nhay\nneedle two\nhay\nneedle three\n",
    "bom.txt": "\ufeffneedle\n".encode(),
    "utf16.txt": "needle\nbig\n".encode("utf-16"),
    "binary.dat": b"needle\0zz\n",
    "late-nul.txt": b"needle\n" + b"x" * 9000 + b"\0needle\n",  # binary, but not by its start
    "latin1.txt": b"caf\xe9 needle\r\n",
    "empty.txt": b"",
}


@pytest.mark.parametrize("args", [
    ["needle"], ["-c", "needle"], ["-l", "needle"], ["--binary", "needle"], ["-a", "-o", "--column", "needle"],
    ["-A", "1", "-m", "2", "needle"], ["--json", "-i", "NEEDLE"], ["-e", "hay", "-e", "needle"],
    ["--color", "always", "-Z", "nedle"], ["-m", "0", "needle"], ["-m", "1", "--column", "needle"],
])
def test_small_files_searched_whole_print_what_blocks_print(tmp_path, monkeypatch, args):
    tree = tmp_path / "tree"
    tree.mkdir()
    for name, data in ODD_FILES.items():
        (tree / name).write_bytes(data)
    paths = [str(tree), str(tree / "binary.dat"), str(tree / "bom.txt"), str(tree / "plain.txt")]

    def printed(block):
        monkeypatch.setattr(command, "BLOCK", block)
        out, err = io.StringIO(), io.StringIO()
        status = command.run(["-j", "2", *args, *paths], out, err, io.StringIO())
        return status, out.getvalue(), err.getvalue()

    whole = printed(1 << 20)
    assert whole[1] or args[:2] == ["-m", "0"]
    for block in (1, 7, 4096):
        assert printed(block) == whole, block


# Many patterns in one search: repeated, prefixes of one another, folding to
# the same text, too short for pieces.
MANY = [
    (["colour", "color", "col", "colour", "olo", "c"], {"threshold": 1, "threshold_kind": 0}),
    (["aa", "a", "aaa", "a a", "aa"], {}),
    (["istanbul", "İstanbul", "σας", "ΣΑΣ", "s"], {"ignore_case": True}),
    (["needle", "nedle", "ne", "haystack", "needle  needle"], {"threshold": 1, "threshold_kind": 0}),
    (["cafe", "café", "caf", "musik"], {"ignore_case": True, "ignore_accents": True, "fuzzy": True}),
    (["the color", "the colr", "a a", "x :: y"], {"separator": " ", "fuzzy": True}),
    (["a a", "a", "x", "a a a"], {"separator": " "}),
]


@pytest.mark.parametrize("patterns, options", MANY, ids=[" ".join(p) for p, _ in MANY])
def test_many_patterns_find_what_each_finds_alone(tmp_path, monkeypatch, patterns, options):
    for text in TEXTS:
        alone = [(*span, index) for index, pattern in enumerate(patterns) for span in module_spans(text, pattern, options)]
        alone.sort(key=lambda found: (found[0], found[3]))
        for block in (1, 7, 1 << 20):
            records = command_records(tmp_path, monkeypatch, text, patterns, options, block)
            together = [(r["module_start"], r["module_end"], r["score"], r["pattern_index"]) for r in records]
            assert together == alone, (text[:30], block)


# Faults that a differential run found in an earlier engine of the command;
# each case failed then.

@pytest.mark.parametrize("text, pattern, options", [
    # A code point that folds to ASCII, a few code points from the rest of the pattern.
    ("a b é\n", "a b e", {"ignore_accents": True}),
    ("mail user@café.fr\n", "user@cafe", {"ignore_accents": True}),
    ("x y \u212a\n", "x y k", {"ignore_case": True}),
    ("48 € the night, petit déjeuner\n", "the night, petit dejeuner", {"ignore_case": True, "ignore_accents": True}),
    # A block that ends right after a line feed, a window that begins before it.
    ("y" * 99 + "\n" + " x\nabc\n", " ab", {}),
    ("y" * 99 + "\n" + " xa\ncdaeb\n", "abcd", {"threshold": 0.34}),
])
def test_the_answer_is_the_modules_wherever_the_file_is_cut(tmp_path, monkeypatch, text, pattern, options):
    whole = module_spans(text, pattern, options)
    assert whole
    cut = text.index("\n", 99) + 1 if "y" * 99 in text else len(text)
    for block in (1 << 20, cut, cut - 1, cut + 1):
        assert command_spans(tmp_path, monkeypatch, text, pattern, options, block) == whole, block


def test_a_file_cut_after_a_line_feed_at_the_first_block(tmp_path):
    # The files: the cut falls at the first read's end (1 MiB).
    size = 1 << 20

    def head(last):
        n = size - len(last) - 1
        return (b"y" * 99 + b"\n") * (n // 100) + b"y" * (n % 100) + last + b"\n"

    for data, args, pattern, options in ((head(b" x") + b"abc\n", [], " ab", {}),
                                         (head(b" xa") + b"cdaeb\n", ["-Z", "-t", "0.34"], "abcd",
                                          {"threshold": 0.34})):
        path = tmp_path / "cut.txt"
        path.write_bytes(data)
        out = io.StringIO()
        assert command.run(["--json", *args, "--", pattern, str(path)], out, io.StringIO(), io.StringIO()) == 0
        found = [(r["module_start"], r["module_end"], r["score"]) for r in map(json.loads, out.getvalue().splitlines())]
        assert found == module_spans(data.decode(), pattern, options)


@pytest.mark.parametrize("data, args, lines", [
    # A match over a line feed and another on its last line; overlapping token windows.
    (b"foo \nbar foo  bar\n", ["foo  bar"], [1, 2]),
    (b"a\na a\n", ["--separator", " ", "a a"], [1, 2]),
    # Matches on both sides of where an earlier engine cut the file.
    ((b"y" * 99 + b"\n") * 10385 + b"e." + b"x" * 20 + b"," + b"x" * 20 + b" e e e\n" + b"e e e e\n" * 3000,
     ["-F", "e"], None),
])
def test_each_line_is_printed_and_counted_once(tmp_path, data, args, lines):
    path = tmp_path / "lines.txt"
    path.write_bytes(data)
    expected = lines or [n + 1 for n, line in enumerate(data.split(b"\n")[:-1]) if b"e" in line]
    for block in (1 << 20, 7):
        out = io.StringIO()
        with pytest.MonkeyPatch.context() as monkeypatch:
            monkeypatch.setattr(command, "BLOCK", block)
            command.run(["-j", "1", *args, str(path)], out, io.StringIO(), io.StringIO())
            printed = [int(line.split(":")[0]) for line in out.getvalue().splitlines()]
            assert printed == expected, block
            out = io.StringIO()
            command.run(["-j", "1", "-c", *args, str(path)], out, io.StringIO(), io.StringIO())
            assert out.getvalue() == f"{len(expected)}\n", block

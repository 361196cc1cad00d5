import io
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, strategies as st

import tessarin_cli
from tessarin_cli import FoldedPositions, build_search, main

SAMPLE = Path(__file__).parents[1] / "examples" / "sample.txt"


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.fixture
def cli(capsys, monkeypatch):
    """Runs main() in-process; returns (exit status, stdout, stderr)."""
    def run(*args, stdin=b""):
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
        status = main([str(arg) for arg in args])
        out, err = capsys.readouterr()
        return status, out, err
    return run


def write(tmp_path, name, content):
    path = tmp_path / name
    path.write_bytes(content.encode() if isinstance(content, str) else content)
    return path


@pytest.mark.parametrize("args, status, message", [
    (["lighthouse", SAMPLE], 0, ""),
    (["submarine", SAMPLE], 1, ""),
    (["lighthouse", SAMPLE, "missing.txt"], 2, "missing.txt: No such file"),
    (["--metric", "nope", "x", SAMPLE], 2, "unknown metric 'nope'"),
    (["--strategy", "fastest", "x", SAMPLE], 2, "unknown strategy 'fastest'"),
    (["--separator", " ", "--strategy", "longest", "x", SAMPLE], 2, "takes no strategy"),
    (["-t", "nan", "x", SAMPLE], 2, "threshold"),
    (["--separator", "", "", SAMPLE], 2, "tessarin: "),  # no window could be formed
])
def test_exit_status_and_message(cli, args, status, message):
    code, out, err = cli(*args)
    assert code == status
    assert message in err
    # A missing file does not hide the matches of the others.
    assert ("lighthouse" in out) == (args[0] == "lighthouse")


def test_bytes_that_are_not_utf8_do_not_stop_the_search(cli, tmp_path):
    bad = write(tmp_path, "bad.txt", b"caf\xe9 x\nhello again\n")
    code, out, err = cli("-H", "x", bad, SAMPLE)
    assert code == 0 and err == "" and f"{bad}:1:caf\ufffd x" in out and str(SAMPLE) in out


def test_highlighting_only_when_asked_or_on_a_terminal(cli, tmp_path, monkeypatch):
    path = write(tmp_path, "a.txt", "hello world!\n")
    assert cli("world", path)[1] == "1:hello world!\n"
    lit = "\x1b[32m1\x1b[0m:hello \x1b[1;31mworld\x1b[0m!\n"
    assert cli("--color=always", "world", path)[1] == lit
    monkeypatch.setattr(sys, "stdout", Terminal())
    main(["world", str(path)])
    assert sys.stdout.getvalue() == lit


def hits_of(cli, *args, stdin=b""):
    code, out, err = cli("--json", *args, stdin=stdin)
    assert code in (0, 1), err
    return [json.loads(line) for line in out.splitlines()]


def test_json_has_one_object_per_match(cli, tmp_path):
    path = write(tmp_path, "a.txt", "ab\nxx ab")
    hits = hits_of(cli, "ab", path)
    assert [{key: hit[key] for key in ("path", "line", "column", "start", "end", "score", "text")}
            for hit in hits] == [
        {"path": str(path), "line": 1, "column": 1, "start": 0, "end": 2, "score": 0.0, "text": "ab"},
        {"path": str(path), "line": 2, "column": 4, "start": 6, "end": 8, "score": 0.0, "text": "ab"},
    ]


def test_json_of_a_file_whose_name_is_not_utf8(cli, tmp_path):
    # Such a name's bytes print as U+FFFD: the output stays JSON, and UTF-8.
    os.mkdir(tmp_path / "d")
    with open(os.path.join(os.fsencode(tmp_path / "d"), b"caf\xe9.txt"), "wb") as stream:
        stream.write(b"needle\n")
    code, out, err = cli("--json", "needle", tmp_path / "d")
    assert code == 0 and err == ""
    assert json.loads(out)["path"] == str(tmp_path / "d" / "caf\ufffd.txt")


@pytest.mark.parametrize("text, args, line, column, start, text_found", [
    ("alpha\nbeta gamma\n", ["gamma"], 2, 6, 11, "gamma"),
    ("İİ x\nİ big", ["-i", "big"], 2, 3, 7, "big"),  # lower-casing lengthened three İ
    ("one a\nb two", ["a b"], 1, 5, 4, "a\nb"),      # line feeds fold to spaces
    ("x\r\nΣΣ foo", ["-i", "σς foo"], 2, 1, 3, "ΣΣ foo"),
    ("İx", ["-i", "\u0307x"], 1, 1, 0, "İx"),         # starts inside what İ became
    ("İx", ["-i", "i"], 1, 1, 0, "İ"),                # ends inside it
    ("Café, CAFE", ["-i", "--ignore-accents", "cafe"], 1, 7, 6, "CAFE"),
])
def test_positions_refer_to_the_original_text(cli, text, args, line, column, start, text_found):
    hit = hits_of(cli, *args, stdin=text.encode())[-1]
    assert (hit["line"], hit["column"], hit["start"], hit["text"]) == (line, column, start, text_found)
    assert hit["end"] == start + len(text_found)


def test_a_match_across_lines_shows_every_line_it_covers(cli):
    out = cli("--color=always", "a b", stdin=b"one a\nb two\n")[1]
    assert out == ("\x1b[32m1\x1b[0m:one \x1b[1;31ma\x1b[0m\n"
                   "\x1b[32m2\x1b[0m:\x1b[1;31mb\x1b[0m two\n")
    # CR LF ends a line as LF does, and a line is printed with its own ending, as grep prints it.
    assert cli("two", stdin=b"one\r\ntwo\r\n")[1] == "2:two\r\n"


@given(st.text("aİb\n\r xΣ\t", max_size=60))
def test_find_locates_as_the_modules_spans_mapped_in_python(text):
    # Search.find goes through the search library's native entry; locate()
    # maps the module's spans in Python: both must give the same hits.
    from tessarin_cli.search import locate
    for search in (build_search("ab", ignore_case=True), build_search(" b", fuzzy=True, threshold=0.5),
                   build_search("a b", separator=" ", ignore_case=True, fuzzy=True),
                   build_search("xσ", ignore_case=True, strategies=["longest"])):
        assert search.find(text) == locate(text, search.spans(text), search.ignore_case)


@given(st.text("aİb\n xΣ", max_size=40))
def test_mapped_spans_fold_to_the_pattern(text):
    search = build_search("ab", ignore_case=True)
    for hit in search.find(text):
        assert text[hit.start:hit.end].lower() == "ab"
    positions = FoldedPositions(text)
    assert positions.original(len(text.lower()), is_end=True) == len(text)


def test_standard_input_alone_and_among_files(cli, tmp_path):
    path = write(tmp_path, "a.txt", "needle")
    assert cli("needle", stdin=b"hay\nneedle")[1] == "2:needle\n"
    assert cli("needle", stdin=b"a needle and a needle\n")[1] == "1:a needle and a needle\n"  # once
    assert cli("needle", path, "-", stdin=b"needle")[1] == f"{path}:1:needle\n-:1:needle\n"


def test_token_mode(cli):
    hits = hits_of(cli, "--separator", " ", "a b", stdin=b"xa b a b\na b")  # 'xa' is one token
    assert [(h["line"], h["column"], h["text"]) for h in hits] == [(1, 6, "a b"), (2, 1, "a b")]
    fuzzy = hits_of(cli, "-i", "--separator", " ", "-Z", "old harbour", SAMPLE)
    assert [h["text"] for h in fuzzy] == ["old harbour", "old harbor", "old harbur", "Old Harbour"]
    # A separator of "--", or one that starts with "-", is the one given
    # (the argument parser alone would lose "--" and search with none).
    for args, pattern, text in ((["--separator", "--"], "a--b", b"a--b--a--b"),
                                (["--separator=--"], "a--b", b"a--b--a--b"),
                                (["--separator", "-x"], "a-xb", b"a-xb-xa-xb")):
        assert [h["column"] for h in hits_of(cli, *args, pattern, stdin=text)] == [1, 7]


def test_fuzzy_mode_defaults_and_options(cli):
    text = b"the lighthose is\nthe LIGHTHOUSE"
    # Equally good windows: the default strategies keep the one without a space.
    assert [h["text"] for h in hits_of(cli, "-Z", "lighthouse", stdin=text)] == ["lighthose"]
    assert [h["score"] for h in hits_of(cli, "-i", "--metric", "levenshtein", "lighthouse", stdin=text)] == [0.1, 0.0]
    assert hits_of(cli, "--absolute", "-t", "0", "lighthouse", stdin=text) == []
    assert len(hits_of(cli, "-t", "2", "--absolute", "--strategy", "shortest", "lighthouse", stdin=text)) == 1


def test_parallel_jobs_print_what_one_job_prints(cli, tmp_path):
    paths = [write(tmp_path, f"{n}.txt", f"{'x ' * n}needle\nİ needle\n" * (n % 3)) for n in range(7)]
    args = ["-i", "-Z", "needle", *paths, tmp_path / "missing.txt", SAMPLE]
    one = cli(*args)
    assert one[0] == 2 and len(one[1].splitlines()) == 12 and "missing.txt" in one[2]
    assert cli("-j", "3", *args) == one


def test_progress_bar_only_for_many_files_on_a_terminal(cli, tmp_path, monkeypatch):
    paths = [write(tmp_path, f"{n}.txt", "x") for n in range(21)]
    monkeypatch.setattr(sys, "stderr", Terminal())
    main(["x", *map(str, paths[:20])])
    assert sys.stderr.getvalue() == ""
    main(["x", *map(str, paths)])
    assert "21/21 files" in sys.stderr.getvalue() and sys.stderr.getvalue().endswith("\r\x1b[K")


def test_interrupt_exits_130(cli, monkeypatch):
    import tessarin_cli.command

    def interrupted(*args):
        raise KeyboardInterrupt
    monkeypatch.setattr(tessarin_cli.command, "items", interrupted)
    assert cli("x", SAMPLE)[0] == 130


@pytest.mark.parametrize("args, stdin, status, first_line", [
    (["-i", "-Z", "--column", "lighthouse", str(SAMPLE)], b"", 0, "7:17:rock, stood the lighthouse, white"),
    (["needle"], b"hay\nstack", 1, ""),
    # Output that cannot be written is an error, not "found" or "not found".
    (["-c", "the", str(SAMPLE)], b"", 2, "tessarin: write error: No space left on device"),
])
def test_python_dash_m(args, stdin, status, first_line):
    package_root = Path(tessarin_cli.__file__).parents[1]
    env = dict(os.environ, PYTHONPATH=f"{package_root}{os.pathsep}{os.environ.get('PYTHONPATH', '')}")
    to_full_disk = status == 2
    with open("/dev/full", "wb") as full:
        done = subprocess.run([sys.executable, "-m", "tessarin_cli", *args], input=stdin,
                              stdout=full if to_full_disk else subprocess.PIPE, stderr=subprocess.PIPE,
                              env=env, timeout=60)
    assert done.returncode == status, done.stderr
    printed = done.stderr if to_full_disk else done.stdout
    assert printed.decode().startswith(first_line) and b"\x1b" not in printed


def test_the_demo_runs_and_finds_something_for_every_search(tmp_path):
    # The README's first command ends in this script; an option letter that
    # changed meaning must not break it. It runs in a copy of the tree's
    # layout whose .venv holds the command under test.
    examples = Path(__file__).resolve().parent.parent / "examples"
    (tmp_path / "examples").mkdir()
    (tmp_path / ".venv" / "bin").mkdir(parents=True)
    (tmp_path / ".venv" / "bin" / "tessarin").symlink_to(Path(sys.executable).parent / "tessarin")
    for name in ("demo.sh", "sample.txt"):
        (tmp_path / "examples" / name).symlink_to(examples / name)
    run = subprocess.run(["bash", str(tmp_path / "examples" / "demo.sh")], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    searches = run.stdout.split("\n$ tessarin")[1:]
    assert len(searches) == 5 and all(len(search.strip().splitlines()) > 1 for search in searches)


@pytest.mark.parametrize("text, args, line, column, start, text_found", [
    ("petit \r\ndéjeuner", [], 1, 1, 0, "petit \r\ndéjeuner"),
    ("le petit\tdéjeuner", [], 1, 4, 3, "petit\tdéjeuner"),
    ("x\npetit  déjeuner", [], 2, 1, 2, "petit  déjeuner"),
    ("le petit\n    déjeuner", [], 1, 4, 3, "petit\n    déjeuner"),
    ("petit\u00a0déjeuner", [], 1, 1, 0, "petit\u00a0déjeuner"),
    ("İİ petit \u3000\r\n déjeuner", ["-i", "PETIT DÉJEUNER"], 1, 4, 3, "petit \u3000\r\n déjeuner"),
    ("a\t\tpetit\n\ndéjeuner", ["-Z1", "petit dejeuner"], 1, 4, 3, "petit\n\ndéjeuner"),
    ("petit\n\n", ["petit "], 1, 1, 0, "petit\n\n"),  # an end in a run takes all of it
])
def test_white_space_as_people_write_it(cli, text, args, line, column, start, text_found):
    args = args or ["petit déjeuner"]
    # Without the option, one space, line feed or CR LF alone reads as a space.
    assert text_found not in [hit["text"] for hit in hits_of(cli, *args, stdin=text.encode())]
    hit = hits_of(cli, "--collapse-white-space", *args, stdin=text.encode())[-1]
    assert (hit["line"], hit["column"], hit["start"], hit["text"]) == (line, column, start, text_found)
    assert hit["end"] == start + len(text_found)


def test_white_space_collapsed_in_a_file_read_in_many_segments(cli, tmp_path):
    spacings = ["\r\n", "\t", "  ", "\n    ", "\u00a0", " \u3000 "]
    phrases = [f"petit{spacings[k % len(spacings)]}déjeuner" for k in range(3000)]
    path = write(tmp_path, "big.txt", "".join(f"{'x ' * (k % 700)}{phrase}\n" for k, phrase in enumerate(phrases)))
    status, out, _ = cli("--json", "--collapse-white-space", "petit déjeuner", path)
    texts = [json.loads(line)["text"] for line in out.splitlines()]
    assert status == 0 and texts == phrases
    # Lines as the file has them, the count of each phrase's own line feeds added up.
    lines = [json.loads(line)["line"] for line in out.splitlines()]
    assert lines[-1] == 3000 + sum(phrase.count("\n") for phrase in phrases[:-1])

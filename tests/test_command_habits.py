"""The command as a person uses it: beside grep on a tree, in a terminal, in a
pipe, with the arguments and the odd files people have."""

import contextlib
import io
import json
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import termios
import time
from pathlib import Path

import pytest

import tessarin_cli
from tessarin_cli.command import run

PACKAGE_ROOT = Path(tessarin_cli.__file__).parents[1]
ENV = dict(os.environ, PYTHONPATH=f"{PACKAGE_ROOT}{os.pathsep}{os.environ.get('PYTHONPATH', '')}")
COMMAND = [sys.executable, "-m", "tessarin_cli"]


def call(*args, stdin=b""):
    """Runs the command in-process on bytes; returns (status, stdout, stderr) as text."""
    out, err = io.StringIO(), io.StringIO()
    status = run([str(arg) for arg in args], out, err, io.TextIOWrapper(io.BytesIO(stdin)))
    return status, out.getvalue(), err.getvalue()


# -- beside grep, on a tree ------------------------------------------------------

def make_tree(root):
    (root / "sub" / "deeper").mkdir(parents=True)
    (root / ".hidden").mkdir()
    (root / "a.txt").write_text("needle one\nnothing\nneedle two\n")
    (root / "sub" / "b.txt").write_text("hay\nthe needle here\n")
    (root / "sub" / "deeper" / "c.md").write_text("needle\n")
    (root / ".hidden" / "d.txt").write_text("needle hidden\n")
    (root / ".gitignore").write_text("*.log\n")
    (root / "ignored.log").write_text("needle ignored\n")
    (root / "binary.dat").write_bytes(b"needle\0\1\2")
    (root / "sub" / "loop").symlink_to("..")
    secret = root / "sub" / "secret.txt"
    secret.write_text("needle secret\n")
    secret.chmod(0)


def without_root_powers(command):
    # Root reads unreadable files; without these capabilities it cannot.
    if os.geteuid() == 0 and shutil.which("setpriv"):
        return ["setpriv", "--inh-caps=-dac_override,-dac_read_search",
                "--bounding-set=-dac_override,-dac_read_search", *command]
    return command


def test_a_tree_is_searched_as_grep_searches_it(tmp_path):
    make_tree(tmp_path)
    grep = subprocess.run(without_root_powers(
        ["grep", "-rnI", "--exclude-dir=.*", "--exclude=*.log", "--exclude=.*", "needle"]),
        cwd=tmp_path, capture_output=True, timeout=60)
    assert grep.returncode == 2 and b"Permission denied" in grep.stderr
    # No standard input to read (a terminal): the current directory is searched.
    master, slave = pty.openpty()
    try:
        ours = subprocess.run(without_root_powers([*COMMAND, "--color=never", "needle"]), cwd=tmp_path,
                              capture_output=True, env=ENV, timeout=60, stdin=slave)
    finally:
        os.close(master)
        os.close(slave)
    assert ours.returncode == 2, ours.stderr
    assert sorted(ours.stdout.splitlines()) == sorted(grep.stdout.splitlines())
    assert b"sub/secret.txt: Permission denied" in ours.stderr
    assert b"Traceback" not in ours.stderr

    # The options that bring the skipped files back.
    status, out, _ = call("--hidden", "--no-ignore", "-l", "needle", tmp_path)
    found = {Path(line).relative_to(tmp_path).as_posix() for line in out.splitlines()}
    assert {".hidden/d.txt", "ignored.log", "a.txt", "sub/b.txt"} <= found and "binary.dat" not in found
    status, out, _ = call("--binary", "-l", "needle", tmp_path)
    assert any(line.endswith("binary.dat") for line in out.splitlines())
    assert "binary file matches" in call("needle", tmp_path / "binary.dat")[1]
    assert "needle\0" in call("-a", "needle", tmp_path / "binary.dat")[1]
    status, out, _ = call("-g", "*.md", "needle", tmp_path)
    assert out.splitlines() == [f"{tmp_path / 'sub' / 'deeper' / 'c.md'}:1:needle"]
    status, out, _ = call("-L", "-s", "-c", "needle", tmp_path / "sub")
    assert status == 2 and f"{tmp_path / 'sub' / 'b.txt'}:1" in out


@pytest.mark.parametrize("args, out", [
    (["-c", "needle"], "2\n"),
    (["-o", "--column", "needle"], "1:1:needle\n3:1:needle\n"),
    (["-m", "1", "needle"], "1:needle one\n"),
    (["-m", "1", "-A", "2", "needle"], "1:needle one\n2-nothing\n3-needle two\n"),  # trailing context, as grep
    (["-N", "-e", "two", "-e", "one"], "needle one\nneedle two\n"),
    (["-C", "1", "two"], "2-nothing\n3:needle two\n4-after\n"),
    (["-A", "1", "-B", "0", "one"], "1:needle one\n2-nothing\n"),
    (["-B", "1", "after"], "3-needle two\n4:after\n"),
    (["-q", "needle"], ""),
    (["-l", "needle"], "-\n"),
    (["-H", "one"], "-:1:needle one\n"),
    (["-I", "one"], "1:needle one\n"),
    (["-o", "--with-pattern", "-e", "needle", "-e", "one", "-e", "needle"],
     "1:needle\tneedle\n1:needle\tneedle\n1:one\tone\n3:needle\tneedle\n3:needle\tneedle\n"),
    (["-o", "-e", "needle", "-e", "needle"], "1:needle\n3:needle\n"),
])
def test_grep_options(args, out):
    assert call(*args, stdin=b"needle one\nnothing\nneedle two\nafter\n")[1] == out


READ_QUICKLY = [
    ["x"], ["-i", "x", "a", "b"], ["a", "-Z", "-t", "0.3", "--absolute", "b"], ["-t", "inf", "x", "-"],
    ["-e", "-x", "-e", "y", "-g", "!*.py", "-f", "-", "f"], ["--regexp", "-y", "--glob", "*.c", "--file", "p"],
    ["-A", "2", "-B", "0", "-C", "1", "-m", "3", "-j", "4", "--color", "never", "--colour", "always", "x"],
    ["-n", "-N", "-H", "-I", "--column", "--json", "-c", "-l", "-o", "-q", "-s", "--count", "--quiet", "x"],
    ["-o", "--with-pattern", "-e", "x", "-e", "y"],
    ["--metric", "indel", "--strategy", "longest", "--strategy", "shortest", "--separator", " ", "--normalized"],
    ["--ignore-accents", "--hidden", "--no-ignore", "-L", "-a", "--binary", "-F", "-r", "--fuzzy", "x", ""],
]
LEFT_TO_ARGPARSE = [
    ["--help"], ["-t1", "x"], ["--thr", "1", "x"], ["-t", "-1", "x"], ["--color", "blue", "x"], ["-in", "x"],
    ["--absolute", "--normalized", "x"], ["--", "-x"], ["-j", "x"], ["-m", "1.5", "x"], ["-e"], ["-V"],
    ["--separator", "--", "x"], ["--separator=-", "x"],
]


@pytest.mark.parametrize("argv", READ_QUICKLY + LEFT_TO_ARGPARSE)
def test_arguments_read_without_argparse_are_read_as_argparse_reads_them(argv):
    from tessarin_cli import options

    quick = options.quick_parse(argv)
    if argv in LEFT_TO_ARGPARSE:
        assert quick is None
        return
    split, rest, separator = options.split_arguments(argv)
    full = options.build_parser().parse_intermixed_args(split, namespace=options.Options())
    full.positional = list(full.positional) + rest
    if separator is not None:
        full.separator = separator
    assert vars(quick) == vars(full)


def test_patterns_from_a_file(tmp_path):
    patterns = tmp_path / "patterns"
    patterns.write_text("two\n\none\n")
    assert call("-f", patterns, stdin=b"one\ntwo\nthree\n")[1] == "1:one\n2:two\n"


# -- issue items: one table each -------------------------------------------------

@pytest.mark.parametrize("args, stdin, status, out", [
    (["--", "-x"], b"a -x b\n", 0, "1:a -x b\n"),              # a pattern that starts with -
    (["--", "--json"], b"--json here\n", 0, "1:--json here\n"),
    (["-i", "--", "-X"], b"-x\n", 0, "1:-x\n"),
    (["-e", "-y"], b"-y\n", 0, "1:-y\n"),
])
def test_double_dash_ends_the_options(args, stdin, status, out):
    assert call(*args, stdin=stdin)[:2] == (status, out)


@pytest.mark.parametrize("data, args, out", [
    (b"hello\xff world\nhello again\n", ["hello"], "1:hello\ufffd world\n2:hello again\n"),
    ("\ufeffneedle\n".encode(), ["--column", "needle"], "1:1:needle\n"),
    ("needle\nbig\n".encode("utf-16"), ["big"], "2:big\n"),
    ("needle\n".encode("utf-16-be"), ["needle"], ""),  # no byte-order mark: not known as UTF-16
    (b"needle\0zz\n", ["needle"], "-: binary file matches\n"),
])
def test_odd_input_is_searched_not_refused(data, args, out):
    assert call(*args, stdin=data)[1] == out


def test_a_named_pipe_is_opened_once(tmp_path):
    # Opening a pipe a second time would find its writer gone.
    pipes = [tmp_path / "one", tmp_path / "two"]
    for pipe in pipes:
        os.mkfifo(pipe)
    command = subprocess.Popen([*COMMAND, "-j", "1", "needle", *map(str, pipes)], stdout=subprocess.PIPE, env=ENV)
    try:
        for pipe in pipes:
            with open(pipe, "wb") as writer:  # waits for the command to open it
                writer.write(b"hay\na needle\n")
        out, _ = command.communicate(timeout=60)
    finally:
        command.kill()
        command.wait()
    assert out.decode().splitlines() == [f"{pipe}:2:a needle" for pipe in pipes]


@pytest.mark.parametrize("stdin, args, line, column, shown", [
    (b"see the\ncolour here\n", ["--absolute", "-t", "1", "color"], 2, 1, "colo"),  # the window starts at the line feed
    (b"a\n\n\n  deprecatd x\n", ["-i", "--absolute", "-t", "2", "deprecated"], 4, 3, "deprecatd"),
    (b"one\n   two", ["   two"], 2, 4, "two"),
])
def test_a_match_is_shown_where_its_text_is(stdin, args, line, column, shown):
    status, out, _ = call("--json", *args, stdin=stdin)
    record = json.loads(out.splitlines()[0])
    text = stdin.decode()
    assert (record["line"], record["column"]) == (line, column)
    assert text[record["shown_start"]:record["shown_end"]] == shown
    assert record["module_end"] - record["module_start"] == len(record["text"])  # the module's span kept


@pytest.mark.parametrize("args, message", [
    (["-t", "2", "x"], "normalized distance above 1"),
    (["-t", "2", "--absolute", "x"], None),
    (["-t", "0.9", "x"], None),
    ([""], "the pattern is empty"),
    (["--separator", "", "x"], "the separator is empty"),
])
def test_warnings_and_messages(args, message):
    status, _, err = call(*args, stdin=b"x\n")
    if message is None:
        assert "warning" not in err
    else:
        assert message in err


def test_version_and_help():
    done = subprocess.run([*COMMAND, "--version"], capture_output=True, env=ENV, timeout=60)
    assert done.returncode == 0 and done.stdout.startswith(b"tessarin ")
    done = subprocess.run([*COMMAND, "--help"], capture_output=True, env=ENV, timeout=60)
    assert b"groups merge" in done.stdout.replace(b"\n", b" ").replace(b"  ", b" ") or \
        b"form one group" in done.stdout


def test_start_up_imports_only_what_the_search_needs(tmp_path):
    path = tmp_path / "a.txt"
    path.write_text("needle\n")
    code = ("import sys; from tessarin_cli import main; main(sys.argv[1:]); "
            "print(sorted(m for m in ('dataclasses', 'typing', 'json', 'concurrent.futures', 'inspect', "
            "'pathspec', 'tessarin', 'argparse', 'threading', 're') if m in sys.modules))")
    done = subprocess.run([sys.executable, "-c", code, "needle", str(path)], capture_output=True, env=ENV,
                          timeout=60)
    assert done.stdout.decode().splitlines()[-1] == "[]"


@pytest.mark.parametrize("redirect, out", [
    ("< /dev/null", "1:needle in the folder\n"),  # nothing to read, as ripgrep judges it: the folder instead
    ("<&-", "1:needle in the folder\n"),          # a closed descriptor: the same
    ("< ../input.txt", "1:needle in standard input\n"),
    ("- < /dev/null", ""),                         # named, it is read, and holds nothing
])
def test_standard_input_is_searched_when_it_holds_something(tmp_path, redirect, out):
    (tmp_path / "input.txt").write_text("needle in standard input\n")
    (tmp_path / "folder").mkdir()
    (tmp_path / "folder" / "a.txt").write_text("needle in the folder\n")
    done = subprocess.run(f"{' '.join(COMMAND)} -I needle {redirect}", shell=True, cwd=tmp_path / "folder",
                          capture_output=True, env=ENV, timeout=60)
    assert (done.returncode, done.stdout.decode()) == (0 if out else 1, out), done.stderr


# -- live output -----------------------------------------------------------------

def test_lines_appear_as_they_come_and_the_reader_may_leave(tmp_path):
    process = subprocess.Popen([*COMMAND, "foo"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=ENV)
    try:
        process.stdin.write(b"foo one\n")
        process.stdin.flush()
        # The input stays open: a command that waits for its end never
        # prints, and the wait is only a guard, far above a start-up.
        ready, _, _ = select.select([process.stdout], [], [], 300)
        assert ready, "the first line did not come before the input ended"
        assert process.stdout.readline() == b"1:foo one\n"
        process.stdin.write(b"foo two\n")
        process.stdin.close()
        assert process.stdout.read() == b"2:foo two\n"
    finally:
        process.kill()
        process.wait()
        process.stdout.close()

    big = tmp_path / "big.txt"
    big.write_bytes(b"some text and a needle\n" * 2_000_000)  # 46 MB
    reader = subprocess.Popen(f"{' '.join(COMMAND)} needle {big} | head -n 1", shell=True,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
    out, err = reader.communicate(timeout=60)
    assert out == b"1:some text and a needle\n" and b"Traceback" not in err


# -- in a terminal ---------------------------------------------------------------

@contextlib.contextmanager
def interruptible():
    """Ctrl-C as a user's shell leaves it. A test run started in the
    background inherits SIGINT ignored, and an ignored signal stays ignored
    in what it starts; one with a handler here starts with the default.
    (Set here rather than in the child between fork and exec: the test
    process may have threads of its own, and a forked child of a threaded
    process may only exec.)"""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def read_terminal(master, timeout):
    """What the terminal holds within `timeout` seconds: None when nothing
    came, b"" once it is closed."""
    if not select.select([master], [], [], timeout)[0]:
        return None
    try:
        return os.read(master, 65536)
    except OSError:
        return b""


def in_terminal(args, cwd, interrupt=False):
    """Runs the command on a pseudo-terminal; returns (status, output). With
    `interrupt`, types Ctrl-C once the progress bar shows that some of the
    search is done."""
    master, slave = pty.openpty()
    env = dict(ENV)
    env.pop("NO_COLOR", None)
    # setsid --ctty: a session of its own, whose controlling terminal is
    # the pseudo-terminal, so that Ctrl-C typed there reaches the command.
    with interruptible():
        process = subprocess.Popen(["setsid", "--ctty", *COMMAND, *args], cwd=cwd, env=env, stdin=slave,
                                   stdout=slave, stderr=slave)
    os.close(slave)
    output, started, interrupted = b"", time.monotonic(), False
    attributes = termios.tcgetattr(master)
    while True:
        if interrupt and not interrupted and re.search(rb"\] +[1-9][0-9]*%", output):
            os.write(master, b"\x03")  # the terminal turns it into SIGINT for the command
            interrupted = True
        data = read_terminal(master, 0.05)
        if data == b"":
            break
        output += data or b""
        if process.poll() is not None:
            # What it wrote just before it ended may still wait in the
            # terminal: read on until the terminal has nothing more.
            while data := read_terminal(master, 1.0):
                output += data
            break
        assert time.monotonic() - started < 600  # a guard against a hang only
    status = process.wait(timeout=600)
    assert termios.tcgetattr(master)[3] & termios.ECHO == attributes[3] & termios.ECHO  # terminal usable
    os.close(master)
    return status, output


def test_in_a_terminal_colors_progress_and_interrupt(tmp_path):
    (tmp_path / "a.txt").write_text("a needle here\n")
    (tmp_path / "b.txt").write_text("needle\n")
    status, out = in_terminal(["needle"], tmp_path)
    assert status == 0
    assert b"\x1b[35ma.txt\x1b[0m:\x1b[32m1\x1b[0m:a \x1b[1;31mneedle\x1b[0m here" in out

    big = tmp_path / "big"
    big.mkdir()
    for name in ("one.txt", "two.txt", "three.txt", "four.txt"):
        (big / name).write_bytes(b"words words words and more words, a needle now and then\n" * 400_000)
    # A slow search (a metric with no literal to look for) over 90 MB, so
    # the progress bar shows within the file, with a rate and time left. It
    # is interrupted with a share done, long before it could end.
    slow = ["-c", "--metric", "jaro_winkler", "-t", "0.05", "needles"]
    for jobs in ("1", "2"):
        status, out = in_terminal([*slow, "-j", jobs, "big"], tmp_path, interrupt=True)
        assert status == 130, out[-500:]
        assert b"Traceback" not in out
        assert b"MiB/s" in out and b"left" in out
        assert out.rstrip(b"\r\n").endswith(b"\r\x1b[K")  # the bar is cleared


def reading(pid, path):
    """Whether the process has read some of `path` through a descriptor still open."""
    descriptors = f"/proc/{pid}/fd"
    for descriptor in os.listdir(descriptors):
        try:
            if os.readlink(f"{descriptors}/{descriptor}") != str(path):
                continue
            with open(f"/proc/{pid}/fdinfo/{descriptor}") as info:
                if int(info.readline().split()[1]) > 0:
                    return True
        except OSError:  # closed meanwhile
            pass
    return False


def test_interrupting_a_process_without_a_terminal(tmp_path):
    path = tmp_path / "big.txt"
    path.write_bytes(b"words words words and more words, a needle now and then\n" * 400_000)
    # Interrupted once it has read some of the file, long before it could
    # have searched it ten times.
    with interruptible():
        process = subprocess.Popen([*COMMAND, "-c", "--metric", "jaro_winkler", "-t", "0.05", "-j", "2",
                                    "needles", *[str(path)] * 10], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=ENV)
    try:
        while not reading(process.pid, path) and process.poll() is None:
            time.sleep(0.01)
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=600)  # a guard against a hang only
    finally:
        process.kill()
    assert process.returncode == 130 and b"Traceback" not in err

"""The `tessarin` command: finds the files and hands them, on threads, to
the native file search (`tessarin_cli._native`), which reads, searches and
prints each without the interpreter lock; writes what it printed in the
files' order as it goes."""

from __future__ import annotations

import _thread
import os
import sys
from stat import S_ISFIFO, S_ISREG, S_ISSOCK
import time
TYPE_CHECKING = False  # typing itself is slow to import
if TYPE_CHECKING:
    from typing import Any, Iterator

from tessarin_cli.options import Options, parse
from tessarin_cli.output import FileOutput, Sink

STDIN_NAME = "-"
BLOCK = 1 << 20           # bytes read at a time, and files below it read whole; memory stays a few blocks
IGNORE_FILES = (".gitignore", ".ignore")
MANY_FILES, LARGE_INPUT = 20, 8 << 20
BATCH = 64                # files searched in one native call at most


class Item:
    """A file to search, in the order found; `regular` when it is known to
    be a regular file (not a pipe, which must be opened only once)."""
    __slots__ = ("path", "label", "walked", "size", "regular")

    def __init__(self, path: str, label: str, walked: bool, size: int = 0, regular: bool = False) -> None:
        self.path, self.label, self.walked, self.size, self.regular = path, label, walked, size, regular


# Threads from _thread alone: the threading module costs more to import
# than a small search takes.

class Flag:
    """Set once, looked at often, as an Event is."""
    __slots__ = ("value",)

    def __init__(self) -> None:
        self.value = False

    def set(self) -> None:
        self.value = True

    def is_set(self) -> bool:
        return self.value


class Signal:
    """A lock and a condition on it: with the lock held, wait until
    notified or until the time is up."""

    def __init__(self) -> None:
        self.lock = _thread.allocate_lock()
        self.waiters: list[Any] = []

    def __enter__(self) -> Signal:
        self.lock.acquire()
        return self

    def __exit__(self, *exception: object) -> None:
        self.lock.release()

    def wait(self, timeout: float) -> bool:
        waiter = _thread.allocate_lock()
        waiter.acquire()
        self.waiters.append(waiter)
        self.lock.release()
        try:
            return waiter.acquire(True, timeout)
        finally:
            self.lock.acquire()
            if waiter in self.waiters:  # the time was up
                self.waiters.remove(waiter)

    def notify(self, count: int = 1) -> None:
        for waiter in self.waiters[:count]:
            waiter.release()
        del self.waiters[:count]

    def notify_all(self) -> None:
        self.notify(len(self.waiters))


class Worker:
    """A thread that runs `task` once, started at once; like a daemon
    thread, it does not keep the process alive."""

    def __init__(self, task: Any, *args: Any) -> None:
        self.done = _thread.allocate_lock()
        self.done.acquire()

        def body() -> None:
            try:
                task(*args)
            finally:
                self.done.release()

        _thread.start_new_thread(body, ())

    def is_alive(self) -> bool:
        return self.done.locked()

    def join(self, timeout: float) -> None:
        if self.done.acquire(True, timeout):
            self.done.release()


class Run:
    """State shared by the threads of one run."""

    def __init__(self, options: Options, stdout: Any, stderr: Any, stdin: Any) -> None:
        self.options = options
        self.stdout, self.stderr, self.stdin = stdout, stderr, stdin
        self.matched = False
        self.failed = False
        self.broken_pipe = False
        self.stop = Flag()
        self.bytes_done = 0
        self.files_done = 0
        self.progress: Progress | None = None
        self.command: Any = None  # the native Command: what every file is searched and printed for
        out = getattr(stdout, "buffer", None)
        err = getattr(stderr, "buffer", None)
        self.to_terminal = _isatty(stdout)
        write_out = out.write if out is not None else (lambda data: stdout.write(data.decode("utf-8", "replace")))
        write_err = err.write if err is not None else (lambda data: stderr.write(data.decode("utf-8", "replace")))
        flush_out = stdout.flush

        def emit_out(data: bytes) -> None:
            # The native printer writes UTF-8 only (bytes that are not UTF-8
            # as U+FFFD), a block's lines at a time, so a pipe's reader sees
            # them as soon as they are found.
            write_out(data)
            flush_out()

        def emit_err(data: bytes) -> None:
            stdout.flush()
            write_err(data)
            stderr.flush()

        self.sink = Sink(emit_out, emit_err, self._before_write)

    def _before_write(self) -> None:
        if self.progress:
            self.progress.clear()

    def error(self, output: FileOutput | None, message: str) -> None:
        self.failed = True
        if self.options.no_messages:
            return
        data = f"tessarin: {message}\n".encode("utf-8", "surrogateescape")
        if output is None:
            with self.sink.lock:
                self.sink.emit([(True, data)])
        else:
            output.write(data, to_err=True)


def _isatty(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


# -- finding files --------------------------------------------------------------

class IgnoreRules:
    """The ignore files met on the way down, each read relative to its folder."""

    def __init__(self, parent: IgnoreRules | None, folder: str, patterns: Any) -> None:
        self.parent, self.folder, self.patterns = parent, folder, patterns

    def ignores(self, path: str, is_dir: bool) -> bool:
        rules: IgnoreRules | None = self
        while rules is not None:
            if rules.patterns is not None:
                relative = os.path.relpath(path, rules.folder)
                if is_dir:
                    relative += "/"
                if rules.patterns.match_file(relative):
                    return True
            rules = rules.parent
        return False


def read_ignore_rules(folder: str, parent: IgnoreRules | None) -> IgnoreRules | None:
    lines: list[str] = []
    for name in IGNORE_FILES:
        try:
            with open(os.path.join(folder, name), "rb") as stream:
                lines += stream.read().decode("utf-8", "replace").splitlines()
        except OSError:
            continue
    if not lines:
        return parent
    import pathspec
    return IgnoreRules(parent, folder, pathspec.GitIgnoreSpec.from_lines(lines))


def glob_filter(globs: list[str] | None) -> Any:
    if not globs:
        return None
    import pathspec
    lines = list(globs)
    if all(glob.startswith("!") for glob in lines):
        lines.insert(0, "*")  # only exclusions: everything else stays in
    return pathspec.GitIgnoreSpec.from_lines(lines)


def walk(run: Run, root: str) -> Iterator[Item]:
    # Depth first, in name order, with a stack of the folders being listed
    # rather than a generator per level: each file found then costs the
    # same however deep it lies.
    options = run.options
    globs = glob_filter(options.glob)
    hidden, follow, no_ignore = options.hidden, options.follow, options.no_ignore
    stop = run.stop
    seen: set[tuple[int, int]] = set()

    def listing(folder: str, rules: IgnoreRules | None) -> tuple[Iterator[Any] | None, IgnoreRules | None]:
        if not no_ignore:
            rules = read_ignore_rules(folder, rules)
        try:
            return iter(sorted(os.scandir(folder), key=_entry_name)), rules
        except OSError as error:
            run.error(None, f"{folder}: {error.strerror or error}")
            return None, rules

    try:
        info = os.stat(root)
        seen.add((info.st_dev, info.st_ino))
    except OSError:
        pass
    entries, rules = listing(root, None)
    if entries is None:
        return
    stack: list[tuple[Iterator[Any], IgnoreRules | None, tuple[int, int] | None]] = [(entries, rules, None)]
    while stack:
        entries, rules, key = stack[-1]
        for entry in entries:
            if stop.is_set():
                return
            if not hidden and entry.name.startswith("."):
                continue
            try:
                is_link = entry.is_symlink()
                if is_link and not follow:
                    continue
                is_dir = entry.is_dir()
            except OSError as error:
                run.error(None, f"{entry.path}: {error.strerror or error}")
                continue
            if rules is not None and rules.ignores(entry.path, is_dir):
                continue
            if is_dir:
                try:
                    info = entry.stat()
                except OSError as error:
                    run.error(None, f"{entry.path}: {error.strerror or error}")
                    continue
                inner = (info.st_dev, info.st_ino)
                if inner in seen:
                    run.error(None, f"{entry.path}: symbolic link loop, not followed")
                    continue
                seen.add(inner)
                sub, sub_rules = listing(entry.path, rules)
                if sub is None:
                    seen.discard(inner)
                    continue
                stack.append((sub, sub_rules, inner))
                break  # into the folder; this one goes on after it
            try:
                if not entry.is_file():
                    continue
                # Only the progress bar wants sizes: a stat less per file.
                size = entry.stat().st_size if run.progress else 0
            except OSError as error:
                run.error(None, f"{entry.path}: {error.strerror or error}")
                continue
            if globs is not None and not globs.match_file(os.path.relpath(entry.path, root)):
                continue
            yield Item(entry.path, entry.path.removeprefix("./") if root == "." else entry.path, True, size, True)
        else:
            stack.pop()
            if key is not None:
                seen.discard(key)


def _entry_name(entry: Any) -> str:
    return entry.name


def items(run: Run) -> Iterator[Item]:
    options = run.options
    for path in options.files:
        if path == STDIN_NAME:
            yield Item(STDIN_NAME, "<stdin>" if options.json else STDIN_NAME, False)
        elif os.path.isdir(path):
            yield from walk(run, path)
        else:
            try:
                info = os.stat(path)
                size, regular = info.st_size, S_ISREG(info.st_mode)
            except OSError:
                size, regular = 0, False
            yield Item(path, path, False, size, regular)


# -- searching one file ---------------------------------------------------------

def readable_stdin(stream: Any) -> bool:
    """Whether standard input holds something to search, as ripgrep judges
    it: a file, a pipe or a socket (or a stream without a descriptor, such
    as one in memory). A terminal, /dev/null or a closed descriptor holds
    nothing, and the current directory is searched instead."""
    if stream is None:
        return False
    try:
        fd = stream.fileno()
    except (AttributeError, ValueError, OSError):
        return True
    try:
        mode = os.fstat(fd).st_mode
    except OSError:
        return False
    return S_ISREG(mode) or S_ISFIFO(mode) or S_ISSOCK(mode)


def stdin_descriptor(stream: Any) -> int | None:
    try:
        return int(stream.fileno())
    except (AttributeError, ValueError, OSError):
        return None


def search_item(run: Run, item: Item, output: FileOutput) -> None:
    """Searches one file a block at a time, writing what is printed as it
    comes."""
    from tessarin_cli import _native

    label, close, fd = item.label, False, None
    read: Any = None
    try:
        if item.path == STDIN_NAME:
            fd = stdin_descriptor(run.stdin)
            if fd is None:  # read here and handed over
                stream = getattr(run.stdin, "buffer", run.stdin)
                read = getattr(stream, "read1", None) or stream.read
        else:
            fd = os.open(item.path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
            close = True
        search = _native.FileSearch(run.command, label, item.walked, BLOCK, fd)
        while not search.done and not run.stop.is_set():
            before = search.bytes_read
            if read is None:
                printed = search.step()
            else:
                data = read(BLOCK)
                printed = search.step(data.encode() if isinstance(data, str) else data)
            run.bytes_done += search.bytes_read - before
            output.write(printed)
        if search.matched:
            run.matched = True
            if run.options.quiet:
                run.stop.set()
    except OSError as error:
        if isinstance(error, BrokenPipeError):
            raise
        run.error(output, f"{label}: {error.strerror or error}")
    except ValueError as error:
        run.error(output, f"{label}: {error}")
    except KeyboardInterrupt:
        run.stop.set()
    finally:
        if close:
            os.close(fd)  # type: ignore[arg-type]
        run.files_done += 1


def search_batch(run: Run, batch: list[Item], output: FileOutput) -> None:
    """Searches files in the order given, runs of regular ones whole in
    native calls without the interpreter lock; Python hears only of the
    files with something to print, and writes what was printed for them
    together."""
    printed: list[bytes] = []

    def flush() -> None:
        if printed:
            output.write(b"".join(printed))
            printed.clear()

    try:
        at = 0
        while at < len(batch) and not run.stop.is_set():
            if not batch[at].regular:
                search_item(run, batch[at], output)
                at += 1
                continue
            end = at
            while end < len(batch) and batch[end].regular:
                end += 1
            rest = batch[at:end]
            try:
                results, done, count = run.command.search_files(
                    [item.path for item in rest], [item.label for item in rest], [item.walked for item in rest],
                    BLOCK)
            except KeyboardInterrupt:
                run.stop.set()
                break
            run.bytes_done += done
            run.files_done += count - len(results)  # searched whole, nothing to print
            for result in results:
                if run.stop.is_set():
                    break
                item = rest[result.index]
                if result.in_blocks:
                    flush()
                    search_item(run, item, output)
                    continue
                printed.append(result.output)
                if result.error is not None:
                    flush()
                    run.error(output, f"{item.label}: {result.error}")
                if result.matched:
                    run.matched = True
                    if run.options.quiet:
                        run.stop.set()
                run.files_done += 1
            flush()
            at += count
    finally:
        output.close()


def native_command(options: Options, color: bool) -> Any:
    """The options as the native search takes them, converted once."""
    from tessarin_cli import _native

    search = options.search
    output = ("quiet" if options.quiet else "files_with_matches" if options.files_with_matches
              else "count" if options.count else "json" if options.json
              else "only_matching" if options.only_matching else "lines")
    after = options.after_context if options.after_context is not None else options.context or 0
    before = options.before_context if options.before_context is not None else options.context or 0
    return _native.Command(
        patterns=list(options.patterns), separator=search.separator, ignore_case=search.ignore_case,
        ignore_accents=search.ignore_accents, metric=search.metric, threshold=search.threshold,
        threshold_kind=search.threshold_kind, strategies=list(search.strategies), output=output,
        with_filename=bool(options.with_filename), line_number=bool(options.line_number),
        column=bool(options.column), color=color, before=before, after=after, max_count=options.max_count,
        text=options.text, binary=options.binary, edit_reach=-1 if options.edits is None else options.edits,
        with_pattern=options.with_pattern, collapse_white_space=options.collapse_white_space)


# -- progress -----------------------------------------------------------------

class Progress:
    """A one-line bar on standard error: share of the bytes, rate, time left."""

    def __init__(self, run: Run, total: int, files: int) -> None:
        self.run, self.total, self.files = run, total, files
        self.started = time.monotonic()
        self.shown = False

    def draw(self) -> None:
        """Draws the bar when the search is big enough to want one."""
        run = self.run
        if self.files <= MANY_FILES and self.total <= LARGE_INPUT:
            return
        self.total = max(self.total, 1)
        done = min(run.bytes_done, self.total)
        elapsed = max(time.monotonic() - self.started, 1e-6)
        rate = done / elapsed
        left = (self.total - done) / rate if rate else 0
        filled = 30 * done // self.total
        text = (f"\r[{'#' * filled}{'.' * (30 - filled)}] {100 * done // self.total:3d}%  "
                f"{rate / (1 << 20):.1f} MiB/s  {left:.0f}s left  {run.files_done}/{self.files} files")
        with run.sink.lock:
            run.stderr.write(text)
            run.stderr.flush()
            self.shown = True

    def clear(self) -> None:  # called with the sink's lock held
        if self.shown:
            self.run.stderr.write("\r\x1b[K")
            self.run.stderr.flush()
            self.shown = False


# -- the run ------------------------------------------------------------------

def execute(run: Run) -> int:
    options = run.options
    if not options.files:
        options.files = [STDIN_NAME] if readable_stdin(run.stdin) else ["."]
    if options.with_filename is None:
        options.with_filename = len(options.files) > 1 or any(
            path != STDIN_NAME and os.path.isdir(path) for path in options.files)
    color = options.color == "always" or (
        options.color == "auto" and run.to_terminal and not os.environ.get("NO_COLOR"))
    if _isatty(run.stderr) and not options.quiet:
        run.progress = Progress(run, 0, 0)  # its totals grow as files are found
    run.command = native_command(options, color)

    # Files are searched while the walk goes on. Each file takes its place
    # in the output when it is handed out, so the output keeps their order.
    waiting: list[Item] = []
    ready = Signal()
    walking = True
    failure: list[BaseException] = []

    jobs = max(1, options.threads or os.cpu_count() or 1)

    def guarded(task: Any) -> None:
        try:
            task()
        except BrokenPipeError:
            run.broken_pipe = True
            run.stop.set()
        except BaseException as error:  # reported by the main thread
            failure.append(error)
            run.stop.set()

    def work() -> None:
        while True:
            with ready:
                # Many files at a time, so that the interpreter lock is
                # taken once for all of them: a batch, or what the walk
                # found in a moment.
                while walking and len(waiting) < BATCH and not run.stop.is_set():
                    if not ready.wait(0.02) and waiting:
                        break
                if run.stop.is_set() or not waiting:
                    return
                take = min(BATCH, len(waiting)) if walking else max(1, min(BATCH, len(waiting) // jobs))
                batch = waiting[:take]
                del waiting[:take]
                output = run.sink.open()
            search_batch(run, batch, output)

    def walk_and_search() -> None:
        # One job: the same thread finds the files and searches them, so
        # that one thread is all the work; the main thread stays free for
        # the progress bar and for Ctrl-C.
        batch: list[Item] = []
        for item in items(run):
            if run.progress:
                run.progress.total += item.size
                run.progress.files += 1
            batch.append(item)
            if len(batch) == BATCH:
                search_batch(run, batch, run.sink.open())
                batch = []
            if run.stop.is_set():
                return
        if batch:
            search_batch(run, batch, run.sink.open())

    if jobs == 1:
        threads = [Worker(guarded, walk_and_search)]
    else:
        threads = [Worker(guarded, work) for _ in range(jobs)]
    try:
        if jobs > 1:
            found: list[Item] = []  # handed over a few at a time: the lock is not free
            try:
                for item in items(run):
                    found.append(item)
                    if len(found) == 16:
                        with ready:
                            waiting.extend(found)
                            if len(waiting) >= BATCH:
                                ready.notify()
                        found = []
                    if run.progress:
                        run.progress.total += item.size
                        run.progress.files += 1
                    if run.stop.is_set():
                        break
            finally:
                with ready:
                    waiting.extend(found)
                    walking = False
                    ready.notify_all()
        # One thread after the other; a thread may end between two looks.
        for thread in threads:
            while thread.is_alive():
                thread.join(0.1)
                if run.progress:
                    run.progress.draw()
    finally:
        if run.progress:
            run.progress.draw()  # the last state, however short the run
            with run.sink.lock:
                run.progress.clear()
    if failure:
        raise failure[0]
    if run.broken_pipe:
        raise BrokenPipeError
    if options.quiet and run.matched:
        return 0
    return 2 if run.failed else 0 if run.matched else 1


def run(argv: list[str] | None, stdout: Any, stderr: Any, stdin: Any) -> int:
    # Usage errors, --help and --version go where the caller's streams go.
    streams = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = stdout, stderr
    try:
        options, warnings = parse(sys.argv[1:] if argv is None else argv)
    except SystemExit as exit:
        return int(exit.code or 0) if not isinstance(exit.code, str) else 2
    finally:
        sys.stdout, sys.stderr = streams
    for warning in warnings:
        stderr.write(f"tessarin: warning: {warning}\n")
    state = Run(options, stdout, stderr, stdin)
    from tessarin_cli import _native
    _native.resume()
    try:
        return execute(state)
    except KeyboardInterrupt:
        # Every thread's search ends at its next check.
        state.stop.set()
        _native.cancel()
        raise


def main(argv: list[str] | None = None) -> int:
    try:
        return run(argv, sys.stdout, sys.stderr, sys.stdin)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader left (| head): send what is still buffered nowhere.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return 141
    except OSError as error:
        # The output could not be written (a full disk): what was found is
        # lost, which no exit status for "found" or "not found" may hide.
        return write_error(error)


def write_error(error: OSError) -> int:
    try:
        sys.stderr.write(f"tessarin: write error: {error.strerror or error}\n")
        sys.stderr.flush()
    except (OSError, ValueError):
        pass
    return 2


def finish(status: int) -> int:
    """Writes out what the process's streams still hold; returns the exit
    status that the process ends with."""
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        return 141
    except OSError as error:
        return write_error(error)
    except ValueError:  # closed by the caller
        pass
    try:
        sys.stderr.flush()
    except (OSError, ValueError):
        pass
    return status


__all__ = ["finish", "main", "run", "STDIN_NAME"]

"""What the command prints for one file: matching lines with their context,
only the matched text, counts, names or JSON, built from byte offsets."""

from __future__ import annotations

import _thread
TYPE_CHECKING = False  # typing itself is slow to import
if TYPE_CHECKING:
    from typing import Any, Callable

PATH_COLOR, NUMBER_COLOR, MATCH_COLOR, RESET = b"\x1b[35m", b"\x1b[32m", b"\x1b[1;31m", b"\x1b[0m"

# One match from the native searcher, offsets made absolute in the file:
# (start, end, line, column, score, window_start, window_end, folded_start,
#  folded_end, code_point_start, code_point_end, shown_start, shown_end)
Found = tuple


def highlight(line: bytes, line_offset: int, spans: list[tuple[int, int]]) -> bytes:
    """`line` (at file offset `line_offset`) with the parts that `spans` (file
    offsets) cover lit."""
    lit, at = [], 0
    for a, b in sorted(spans):
        a, b = max(a - line_offset, at), min(b - line_offset, len(line))
        if a < b:
            lit += [line[at:a], MATCH_COLOR, line[a:b], RESET]
            at = b
    return b"".join(lit) + line[at:] if lit else line


class Sink:
    """Where the printed bytes go. Files are printed in the order they were
    named: the earliest unfinished file writes through, later ones collect
    their output until their turn."""

    def __init__(self, write_out: Callable[[bytes], None], write_err: Callable[[bytes], None],
                 before_write: Callable[[], None] = lambda: None) -> None:
        self.lock = _thread.allocate_lock()
        self.write_out, self.write_err, self.before_write = write_out, write_err, before_write
        self.order: list[FileOutput] = []
        self.head = 0

    def open(self) -> FileOutput:
        with self.lock:
            output = FileOutput(self)
            self.order.append(output)
            if len(self.order) - 1 == self.head:
                output.live = True
            return output

    def emit(self, pieces: list[tuple[bool, bytes]]) -> None:
        self.before_write()
        for to_err, data in pieces:
            (self.write_err if to_err else self.write_out)(data)

    def finished(self, output: FileOutput) -> None:
        with self.lock:
            output.done = True
            while self.head < len(self.order) and self.order[self.head].done:
                self.head += 1
                if self.head < len(self.order):
                    following = self.order[self.head]
                    following.live = True
                    if following.pending:
                        self.emit(following.pending)
                        following.pending = []


class FileOutput:
    def __init__(self, sink: Sink) -> None:
        self.sink = sink
        self.live = False
        self.done = False
        self.pending: list[tuple[bool, bytes]] = []

    def write(self, data: bytes, to_err: bool = False) -> None:
        if not data:
            return
        with self.sink.lock:
            if self.live:
                self.sink.emit([(to_err, data)])
            else:
                self.pending.append((to_err, data))

    def close(self) -> None:
        self.sink.finished(self)


class Printer:
    """Prints one file's matches as blocks of it arrive."""

    def __init__(self, options: Any, label: str, output: FileOutput, color: bool) -> None:
        self.options, self.output, self.color = options, output, color
        self.label = label
        self.label_bytes = label.encode("utf-8", "surrogateescape")
        self.with_name = bool(options.with_filename)
        self.after = options.after_context if options.after_context is not None else options.context or 0
        self.before = options.before_context if options.before_context is not None else options.context or 0
        self.printed_end = 0      # file offset up to which lines were printed
        self.printed_line = 0     # number of the last printed line
        self.after_left = 0       # context lines still owed after the last match
        self.any_printed = False
        self.matched_lines = 0
        self.last_matched_line = 0
        self.matches = 0
        self.binary = False       # a NUL was seen: lines are no longer printed
        self.limit_reached = False  # -m lines were printed: only their after-context is still owed
        self.json_module: Any = None

    # -- pieces --------------------------------------------------------------

    def _prefix(self, line: int, separator: bytes, column: int | None = None) -> bytes:
        parts = []
        if self.with_name:
            parts.append(PATH_COLOR + self.label_bytes + RESET if self.color else self.label_bytes)
        if self.options.line_number:
            number = str(line).encode()
            parts.append(NUMBER_COLOR + number + RESET if self.color else number)
        if column is not None:
            number = str(column).encode()
            parts.append(NUMBER_COLOR + number + RESET if self.color else number)
        return b"".join(part + separator for part in parts)

    def _line(self, buffer: bytes | bytearray, base: int, start: int, number: int, separator: bytes,
              spans: list[tuple[int, int]], column: int | None = None) -> int:
        """Writes the line starting at file offset `start`; returns its end."""
        local = start - base
        end = buffer.find(b"\n", local)
        end = len(buffer) if end < 0 else end
        text = bytes(buffer[local:end]).removesuffix(b"\r")
        if self.color and spans:
            text = highlight(text, start, spans)
        self.output.write(self._prefix(number, separator, column) + text + b"\n")
        self.any_printed = True
        self.printed_line = number
        return base + end + 1

    def _context_until(self, buffer: bytes | bytearray, base: int, limit: int) -> None:
        """Owed after-context lines that start before `limit` (a line start)."""
        while self.after_left and base <= self.printed_end < limit:
            self.printed_end = self._line(buffer, base, self.printed_end, self.printed_line + 1, b"-", [])
            self.after_left -= 1

    # -- the flow ------------------------------------------------------------

    def line_format(self) -> tuple[bytes, bool, bool, bool, int] | None:
        """How the native search prints this file's lines itself, when they
        are the common output: each matching line once, as `_lines` does;
        None otherwise."""
        options = self.options
        if (self.after or self.before or options.json or options.only_matching or options.quiet
                or options.files_with_matches or options.count or self.binary or len(options.patterns) > 1):
            return None
        name = b""
        if self.with_name:
            name = (PATH_COLOR + self.label_bytes + RESET if self.color else self.label_bytes) + b":"
        limit = -1 if options.max_count is None else options.max_count - self.matched_lines
        return name, self.color, bool(options.line_number), bool(options.column), limit

    def printed(self, out: bytes, lines: int, matches: int) -> None:
        """Takes the lines that the native search printed."""
        self.matched_lines += lines
        self.matches += matches
        self.output.write(out)
        self.any_printed = bool(out) or self.any_printed

    def block(self, buffer: bytes | bytearray, base: int, found: list[Found], cut: int) -> bool:
        """Prints the matches found in `buffer` (which starts at file offset
        `base`), then the after-context available before file offset `cut`.
        Returns False when the file need not be read further."""
        options = self.options
        if not (self.after or self.before or options.json or options.only_matching or options.quiet
                or options.files_with_matches or options.count or self.binary):
            return self._lines(buffer, base, found)
        if self.limit_reached:
            # Past the last match that counts, only its after-context is
            # owed, matching lines or not, as grep prints it.
            self._context_until(buffer, base, cut)
            return self.after_left > 0
        if options.count and options.max_count is None and not (options.quiet or options.files_with_matches):
            lines = len({match[2] for match in found})
            self.matched_lines += lines
            self.matches += len(found)
            return True
        stop = False
        by_line: dict[int, list[Found]] = {}
        for match in found:
            by_line.setdefault(match[2], []).append(match)
        for number in sorted(by_line):
            matches = by_line[number]
            if options.max_count is not None and self.matched_lines >= options.max_count:
                self.limit_reached = True
                break
            self.matched_lines += 1
            self.matches += len(matches)
            if options.quiet or options.files_with_matches or options.count or self.binary:
                if options.quiet or options.files_with_matches:
                    stop = True
                    break
                continue
            if options.json:
                for match in matches:
                    self._json(buffer, base, match)
                continue
            first = min(matches, key=lambda m: m[0])
            line_start = base + (buffer.rfind(b"\n", 0, first[0] - base) + 1)
            if options.only_matching:
                for match in sorted(matches):
                    text = bytes(buffer[match[0] - base:match[1] - base])
                    if self.color:
                        text = MATCH_COLOR + text + RESET
                    column = match[3] if options.column else None
                    self.output.write(self._prefix(number, b":", column) + text + b"\n")
                continue
            self._context_until(buffer, base, line_start)
            before_from = line_start
            for _ in range(self.before):
                if before_from - base <= 0 or before_from <= self.printed_end:
                    break
                before_from = base + buffer.rfind(b"\n", 0, before_from - base - 1) + 1
            before_from = max(before_from, self.printed_end)
            if (self.before or self.after) and self.any_printed and before_from > self.printed_end:
                self.output.write(b"--\n")
            at, at_number = before_from, number - buffer.count(b"\n", before_from - base, line_start - base)
            while at < line_start:
                at = self._line(buffer, base, at, at_number, b"-", [])
                at_number += 1
            spans = [(m[0], m[1]) for m in sorted(matches)]
            last_end = max(m[1] for m in matches)
            column = first[3] if options.column else None
            at = self._line(buffer, base, line_start, number, b":", spans, column)
            # A match that runs over line feeds shows every line it covers.
            while at < last_end:
                number += 1
                at = self._line(buffer, base, at, number, b":", spans)
            self.printed_end = at
            self.after_left = self.after
        if not stop:
            self._context_until(buffer, base, cut)
        if self.limit_reached:
            return self.after_left > 0
        return not stop

    def _lines(self, buffer: bytes | bytearray, base: int, found: list[Found]) -> bool:
        """The common case, kept lean: each matching line once, as grep does."""
        options = self.options
        name = b""
        if self.with_name:
            name = (PATH_COLOR + self.label_bytes + RESET if self.color else self.label_bytes) + b":"
        numbers, color, column = options.line_number, self.color, options.column
        limit = options.max_count
        out: list[bytes] = []
        index, count = 0, len(found)
        while index < count:
            match = found[index]
            number = match[2]
            spans = [(match[0], match[1])]
            index += 1
            while index < count and found[index][2] == number:
                spans.append((found[index][0], found[index][1]))
                index += 1
            if limit is not None and self.matched_lines >= limit:
                self.output.write(b"".join(out))
                return False
            self.matched_lines += 1
            self.matches += len(spans)
            start = match[0] - base
            line_start = buffer.rfind(b"\n", 0, start) + 1
            last = max(end for _, end in spans) - base
            line_end = buffer.find(b"\n", max(last - 1, start))
            if line_end < 0:
                line_end = len(buffer)
            text = bytes(buffer[line_start:line_end])
            lines = text.split(b"\n")  # a match over line feeds shows every line it covers
            offset = base + line_start  # file offset of the current line
            for k, line in enumerate(lines):
                line_offset, offset = offset, offset + len(line) + 1
                if line.endswith(b"\r"):
                    line = line[:-1]
                if color:
                    line = highlight(line, line_offset, spans)
                prefix = name
                if numbers:
                    prefix += (NUMBER_COLOR + b"%d" % (number + k) + RESET if color else b"%d" % (number + k)) + b":"
                if column and k == 0:
                    prefix += (NUMBER_COLOR + b"%d" % match[3] + RESET if color else b"%d" % match[3]) + b":"
                out.append(prefix + line + b"\n")
        self.output.write(b"".join(out))
        self.any_printed = bool(out) or self.any_printed
        return True

    def _json(self, buffer: bytes | bytearray, base: int, match: Found) -> None:
        if self.json_module is None:
            import json
            self.json_module = json
        (start, end, line, column, score, window_start, window_end, folded_start, folded_end,
         code_point_start, code_point_end, shown_start, shown_end) = match
        record = {
            "path": self.label, "line": line, "column": column,
            "start": code_point_start, "end": code_point_end, "score": score,
            "text": bytes(buffer[window_start - base:window_end - base]).decode("utf-8", "replace"),
            "shown_start": shown_start, "shown_end": shown_end,
            "module_start": folded_start, "module_end": folded_end,
            "byte_start": start, "byte_end": end,
        }
        self.output.write(self.json_module.dumps(record, ensure_ascii=False).encode() + b"\n")

    def finish(self, failed: str | None = None) -> None:
        options = self.options
        if self.matched_lines and not options.quiet:
            if options.files_with_matches:
                name = PATH_COLOR + self.label_bytes + RESET if self.color else self.label_bytes
                self.output.write(name + b"\n")
            elif self.binary and not options.count:
                self.output.write(self.label_bytes + b": binary file matches\n")
        if options.count and not options.quiet and not options.files_with_matches:
            name = b""
            if self.with_name:
                name = (PATH_COLOR + self.label_bytes + RESET if self.color else self.label_bytes) + b":"
            self.output.write(name + str(self.matched_lines).encode() + b"\n")

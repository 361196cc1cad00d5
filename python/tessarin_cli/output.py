"""Where the command's output goes: each file's bytes (printed by the native
file search) written in the order the files were named, whichever thread
searched them."""

from __future__ import annotations

import _thread
TYPE_CHECKING = False  # typing itself is slow to import
if TYPE_CHECKING:
    from typing import Callable


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

// How a file's bytes become the text that is searched, decided once, from
// its first bytes: a UTF-8 byte-order mark is skipped; UTF-16 with a
// byte-order mark is decoded into UTF-8 (as Python's "utf-16" codec reads
// it with errors="replace"); a NUL byte in the first 8 KiB of the text makes
// it binary, and so does one later on, from there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "stream/stream.hpp"

namespace tessarin {

class InputDecoder {
public:
    // A NUL byte this near the start makes a file binary.
    static constexpr std::size_t binary_probe = std::size_t{8} << 10;
    // The bytes that decide: a byte-order mark and a probe's worth of text.
    static constexpr std::size_t first_bytes = binary_probe + 3;

    // `text_mode`: no NUL byte makes the text binary.
    explicit InputDecoder(bool text_mode) noexcept : text_mode_(text_mode) {}

    // The file's next bytes, `at_end` with its last ones: appends the text
    // they complete to `text`. Nothing is appended until the first bytes
    // have decided how the rest is read, or the reader waits for more (a
    // pipe's writer pauses): then what came decides.
    void push(std::string_view raw, bool at_end, bool waiting, StreamBuffer& text);
    // Whether the file's next bytes are text as they stand, so that they may
    // be read straight into the text's buffer and then shown to
    // pushed_in_place().
    bool reads_in_place() const noexcept { return encoding_ == Encoding::utf8; }
    void pushed_in_place(std::string_view text) noexcept;

    // The first bytes were read: how the rest is read is known.
    bool decided() const noexcept { return encoding_ != Encoding::undecided; }
    // A NUL byte in the first 8 KiB of the text.
    bool binary_at_start() const noexcept { return binary_at_start_; }
    // A NUL byte in the text so far.
    bool binary() const noexcept { return binary_; }

private:
    enum class Encoding { undecided, utf8, utf16_little, utf16_big };

    void decide(bool at_end, StreamBuffer& text);
    void decode_utf16(std::string_view raw, bool at_end, StreamBuffer& text);
    void check(std::string_view text) noexcept;

    bool text_mode_;
    Encoding encoding_ = Encoding::undecided;
    std::string pending_;         // the first bytes, until they decide; then a UTF-16 unit cut in two
    char16_t high_surrogate_ = 0; // a UTF-16 high surrogate waiting for its pair
    bool binary_at_start_ = false, binary_ = false;
};

// Reads a file descriptor in blocks.
class BlockReader {
public:
    // `regular`: a regular file, whose end is where a read returns less
    // than asked; anything else (a pipe, a terminal) ends where a read
    // returns nothing.
    BlockReader(int fd, bool regular) noexcept : fd_(fd), regular_(regular) {}

    // Reads up to `wanted` bytes to `out`; throws std::system_error.
    std::size_t read(char* out, std::size_t wanted);
    bool at_end() const noexcept { return at_end_; }
    // Whether a read now would wait for the writer (a pipe with nothing in
    // it yet): what is read so far may be all there is for a while.
    bool would_wait() const noexcept;

private:
    int fd_;
    bool regular_;
    bool at_end_ = false;
};

} // namespace tessarin

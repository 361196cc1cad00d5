// One file as the command searches it: read (reader.hpp), searched for
// every pattern (stream.hpp) and printed (printer.hpp), block by block,
// with memory bounded by what the searches and the printer still need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stream/printer.hpp"
#include "stream/reader.hpp"
#include "stream/stream.hpp"

namespace tessarin {

// What the command asks of every file.
struct SearchSettings {
    std::vector<PreparedQuery> queries; // one per pattern, alike but for the pattern
    PrintSettings print;
    bool text_mode = false;   // no file is binary (-a)
    bool binary_mode = false; // binary files found in a walk are searched too (--binary)
    std::size_t segment_bytes = StreamSearch::default_segment;
};

class FileSearch {
public:
    // `label` is the file's name as printed; `walked`: found in a directory,
    // where a binary file is skipped. `buffer` holds the text; it is
    // emptied first, and may serve one file after another.
    FileSearch(const SearchSettings& settings, std::string label, bool walked, StreamBuffer& buffer);

    // The file's next bytes, `at_end` with its last ones; `waiting`: the
    // reader waits for more. Appends what is printed to `out`.
    void push(std::string_view raw, bool at_end, bool waiting, Cancellation& cancel, std::string& out);
    // Reads up to `block` bytes from `reader` (less at first, in a walk:
    // what decides whether the file is binary) and searches them; returns
    // the bytes read.
    std::size_t read(BlockReader& reader, std::size_t block, Cancellation& cancel, std::string& out);

    // Nothing more of the file is wanted: its end was read, it is skipped
    // as binary, or the output is complete.
    bool done() const noexcept { return finished_ || skipped_ || printer_.done(); }
    bool matched() const noexcept { return printer_.matched_lines() > 0; }

private:
    void advance(bool at_end, bool waiting, Cancellation& cancel, std::string& out);

    const SearchSettings& settings_;
    bool walked_;
    StreamBuffer& buffer_;
    InputDecoder decoder_;
    std::optional<StreamSearch> search_; // every pattern's
    Printer printer_;
    std::string raw_; // a block read before it is decoded
    bool first_read_ = true, finished_ = false, skipped_ = false;
};

// One file searched a block at a time: read from a file descriptor, or
// given its bytes by the caller (a stream that has no descriptor), with the
// buffer that holds its text.
class FileStepper {
public:
    // `fd` below 0: the bytes come through step().
    FileStepper(const SearchSettings& settings, std::string label, bool walked, std::size_t block, int fd);

    // Reads and searches the next block; or, where the bytes are given,
    // searches `given` (empty at the end). Appends what is printed to `out`.
    void step(std::string_view given, Cancellation& cancel, std::string& out);
    bool reads() const noexcept { return reader_.has_value(); }
    bool done() const noexcept { return search_.done(); }
    bool matched() const noexcept { return search_.matched(); }
    std::uint64_t bytes_read() const noexcept { return bytes_read_; }

private:
    StreamBuffer buffer_;
    FileSearch search_;
    std::optional<BlockReader> reader_;
    std::size_t block_;
    std::uint64_t bytes_read_ = 0;
};

// What became of a file read whole.
struct WholeFile {
    enum class Outcome { searched, too_large, failed };
    Outcome outcome = Outcome::searched;
    int error = 0; // failed: the errno
    bool matched = false;
    std::uint64_t bytes_read = 0;
};

// Opens `path` and, if it is a regular file below `limit` bytes, reads and
// searches it whole, appending what is printed to `out`. A larger file, or
// one that is not regular, is left to be read in blocks (too_large); a
// directory fails with EISDIR.
WholeFile search_whole_file(const char* path, const SearchSettings& settings, std::string label, bool walked,
                            std::uint64_t limit, StreamBuffer& buffer, Cancellation& cancel, std::string& out);

// A file to search: where it is, its name as printed, whether it was found
// in a directory.
struct FileToSearch {
    std::string path, label;
    bool walked = false;
};

// What became of one of many files searched whole that its caller must
// hear of: what it printed, or that it failed or is to be read in blocks.
struct FileReport {
    std::size_t index; // in the files given
    WholeFile file;
    std::string output;
};

// Searches `files` whole, one after the other, with `buffer` for each, and
// reports those with something to say. It stops after a file once what
// waits to be written passes `output_limit` bytes, or at a match when the
// output is quiet; `searched` tells how many files it dealt with, and
// `bytes_read` how many bytes it read of them.
std::vector<FileReport> search_whole_files(const SearchSettings& settings, std::vector<FileToSearch>& files,
                                           std::uint64_t limit, std::size_t output_limit, StreamBuffer& buffer,
                                           Cancellation& cancel, std::size_t& searched, std::uint64_t& bytes_read);

} // namespace tessarin

// Searching a text that arrives in blocks of bytes, such as a file read a
// piece at a time, with exactly the answer of one search over the whole
// text: the matches of the module's function over the text as Python would
// decode it (UTF-8, each ill-formed part read as U+FFFD), each also located
// in the original text by code point, byte and line.
//
// The text is searched in segments. A segment is decoded, folded and handed
// to the extractor whole, with enough text after its cut that every window
// starting before the cut is complete; only candidates that start before the
// cut are kept, and they go, in order, to one conflict solver for the whole
// text. A cut is placed where the text on either side folds and tokenizes
// as it would within the whole text:
// - after an ASCII code point, so that decoding either side alone reads the
//   same code points;
// - with case folding, after a code point that the final-sigma rule cannot
//   see past (neither cased nor case-ignorable);
// - for token windows, right after an occurrence of the separator that no
//   other occurrence overlaps, where the tokenizer starts afresh, with the
//   tokens of every window that starts before the cut complete before the
//   segment ends.
// Where no such place is found, the segment grows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "conflict_solver/mod.hpp"
#include "extract/extract.hpp"
#include "text/text.hpp"

namespace tessarin {

// What one module call would be given, but the text.
struct StreamQuery {
    SearchMode mode = SearchMode::exact_raw;
    std::string pattern;   // UTF-8
    std::string separator; // UTF-8, for token windows
    SearchOptions options;
};

// One match, as the module reports it and where it lies in the text.
struct StreamMatch {
    std::uint64_t start, end; // code points of the folded text, as the module reports them
    double score;
    std::uint64_t original_start, original_end; // code points of the text
    std::uint64_t byte_start, byte_end;         // bytes of the text
    std::uint64_t line;                         // of byte_start, from 1
    std::uint64_t line_start;                   // the byte where that line starts
};

class StreamSearch {
public:
    static constexpr std::size_t default_segment = std::size_t{1} << 20;

    explicit StreamSearch(const StreamQuery& query, std::size_t segment_bytes = default_segment);

    // The next bytes of the text. Searches every segment that is complete.
    void feed(std::string_view bytes, Cancellation& cancel);
    // The text is complete: searches the rest.
    void finish(Cancellation& cancel);
    // The matches found since the last call, in order.
    std::vector<StreamMatch> take();

    // The bytes still kept: [kept_from(), kept_from() + kept().size()) of
    // the text. Every byte from the start of the line of the first match not
    // yet taken, and of the first byte not yet released, is kept.
    std::string_view kept() const noexcept { return buffer_; }
    std::uint64_t kept_from() const noexcept { return buffer_base_; }
    // Keeps every byte from `byte` on (at least kept_from()) until the
    // caller moves it on; by default only what the search needs is kept.
    void keep_from(std::uint64_t byte) noexcept { keep_from_ = byte; }

    // Bytes read so far.
    std::uint64_t bytes_fed() const noexcept { return buffer_base_ + buffer_.size(); }

private:
    struct Expansion {
        std::uint64_t folded;   // where the folded form of the code point starts
        std::uint64_t original; // the code point
        std::uint64_t length;   // of its folded form, above 1
    };

    enum class Step { searched, needs_more, done };
    Step search_segment(bool final, Cancellation& cancel);
    std::uint64_t segment_end(bool final) const;
    // Walks the kept bytes forward, one code point at a time, counting lines.
    struct Cursor {
        std::uint64_t byte = 0, original = 0, line = 1, line_start = 0;
    };

    void locate(const MatchList& picks);
    std::uint64_t original_of(std::uint64_t folded, bool is_end) const noexcept;
    void move(Cursor& cursor, std::uint64_t original) const;
    void trim_buffer();

    SearchMode mode_;
    SearchOptions options_;
    SearchOptions folded_options_; // folding off, for segments folded before the extractor sees them
    bool case_insensitive_, special_char_insensitive_;
    std::u32string pattern_, separator_;
    std::uint64_t lookahead_; // code points after a cut that a window starting before it may reach
    std::uint64_t window_tokens_ = 0;
    std::size_t segment_bytes_;
    std::size_t margin_bytes_;

    std::string buffer_;
    std::uint64_t buffer_base_ = 0;
    std::uint64_t keep_from_ = static_cast<std::uint64_t>(-1);

    // At the next cut: its byte, and the code points before it, original
    // and folded.
    std::uint64_t cut_byte_ = 0, cut_original_ = 0, cut_folded_ = 0;

    ConflictSolver solver_;
    std::deque<Expansion> expansions_; // before the last cut, those that matches may still need
    std::uint64_t pruned_shift_ = 0;   // the code points that the expansions no longer kept added
    std::vector<StreamMatch> ready_;

    // Matches' starts and ends each ascend (the ends too: exact token
    // windows may overlap, but as many tokens from a later start end later).
    Cursor starts_, ends_;
};

} // namespace tessarin

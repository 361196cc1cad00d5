// Searching a text that arrives in blocks of bytes, such as a file read a
// piece at a time, with exactly the answer of one search over the whole
// text: the matches of the module's function over the text as Python would
// decode it (UTF-8, each ill-formed part read as U+FFFD), each also located
// in the original text by code point, byte and line. Where asked, each
// CR LF is read as one line feed, as if the text had LF alone there.
//
// The text is searched in segments. A segment is decoded, folded and handed
// to the extractor whole, with enough text after its cut that every window
// starting before the cut is complete; only candidates that start before the
// cut are kept, and they go, in order, to one conflict solver for the whole
// text. A cut is placed where the text on either side folds and tokenizes
// as it would within the whole text:
// - after an ASCII code point, so that decoding either side alone reads the
//   same code points (and, reading CR LF as a line feed, not after a CR,
//   which the next byte may pair with a line feed);
// - with case folding, after a code point that the final-sigma rule cannot
//   see past (neither cased nor case-ignorable);
// - for token windows, right after an occurrence of the separator that no
//   other occurrence overlaps, where the tokenizer starts afresh, with the
//   tokens of every window that starts before the cut complete before the
//   segment ends.
// Where no such place is found, the segment grows.
//
// The caller holds the bytes: each call shows the text from some byte on
// (never after needed_from()) up to everything read so far, so that several
// searches and a printer can share one buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "conflict_solver/mod.hpp"
#include "extract/extract.hpp"
#include "stream/literals.hpp"
#include "text/text.hpp"

namespace tessarin {

// What one module call would be given, but the text.
struct StreamQuery {
    SearchMode mode = SearchMode::exact_raw;
    std::string pattern;   // UTF-8
    std::string separator; // UTF-8, for token windows
    SearchOptions options;
    // Read each CR LF of the text as one line feed.
    bool crlf_line_feeds = false;
    // Read every maximal run of white space, in the text and in the pattern,
    // as one space (a CR LF, a tab, indentation, a no-break space), so that
    // a phrase is found however its words are spaced. Matches are still
    // located in the text as it is: a start in a run takes the whole run,
    // an end after it ends where the run does.
    bool collapse_white_space = false;
    // Locate each match by code point too (StreamMatch's start, end,
    // original_start and original_end). Without it, a search that finds the
    // places worth searching by their bytes passes over the text between
    // them uncounted, and those four are then only right relative to one
    // another within a match.
    bool code_points = true;
};

// A query made ready once, for any number of texts: its pattern and
// separator folded, how far a window reaches, and, where every accepted
// window must hold one of some literals, the finder of the places worth
// searching.
class PreparedQuery {
public:
    explicit PreparedQuery(StreamQuery query);
    const StreamQuery& query() const noexcept { return query_; }

private:
    friend class StreamSearch;
    StreamQuery query_;
    std::u32string pattern_, separator_;
    std::uint64_t lookahead_ = 0;     // code points after a cut that a window starting before it may reach
    std::uint64_t window_tokens_ = 0; // for token windows
    std::optional<RawLiteralFinder> finder_;
};

// The bytes of a text that a caller holds: text[from, from + bytes.size()).
struct HeldBytes {
    std::string_view bytes;
    std::uint64_t from = 0;

    std::uint64_t end() const noexcept { return from + bytes.size(); }
    // The byte at `position` of the text, which must be held.
    char at(std::uint64_t position) const noexcept { return bytes[position - from]; }
    // text[first, last), which must be held.
    std::string_view slice(std::uint64_t first, std::uint64_t last) const noexcept
    {
        return bytes.substr(first - from, last - first);
    }
};

// The bytes read so far, from the first one that some reader still needs.
// Its memory is kept from one text to the next.
class StreamBuffer {
public:
    HeldBytes held() const noexcept { return HeldBytes{std::string_view(data_.get(), size_), from_}; }
    std::uint64_t end() const noexcept { return from_ + size_; }

    void append(std::string_view bytes);
    // Room for `room` more bytes, to be written at the returned address and
    // then kept with commit(), so that a read fills the buffer directly.
    char* tail(std::size_t room);
    void commit(std::size_t written) noexcept { size_ += written; }
    // Forgets the first `count` bytes as if the text had never held them:
    // only before any reader has looked at them (a byte-order mark).
    void forget_front(std::size_t count) noexcept;
    // Drops the bytes before `position` when that frees enough to be worth
    // the move.
    void release_before(std::uint64_t position) noexcept;
    // Empty, for another text.
    void clear() noexcept { size_ = 0, from_ = 0; }

private:
    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0, capacity_ = 0;
    std::uint64_t from_ = 0;
};

// One match, as the module reports it and where it lies in the text.
struct StreamMatch {
    std::uint64_t start, end; // code points of the folded text, as the module reports them
    double score;
    std::uint64_t original_start, original_end; // code points of the text (a CR read away included)
    std::uint64_t byte_start, byte_end;         // bytes of the text
    std::uint64_t line;                         // of byte_start, from 1
    std::uint64_t line_start;                   // the byte where that line starts
    std::size_t pattern = 0;                    // which of the search's queries found it
};

class StreamSearch {
public:
    static constexpr std::size_t default_segment = std::size_t{1} << 20;

    // `query` must outlive the search.
    explicit StreamSearch(const PreparedQuery& query, std::size_t segment_bytes = default_segment);
    // Many queries that differ in their pattern alone (mode, separator,
    // options, line feeds and code points shared), searched together: one
    // pass over each segment serves them all, and each pattern's matches are
    // those of one search of the whole text for it. Matches come in order of
    // their start, each naming its query's index. `queries` (not empty) must
    // outlive the search.
    explicit StreamSearch(const std::vector<PreparedQuery>& queries, std::size_t segment_bytes = default_segment);

    // Searches every segment that the bytes complete.
    void search(HeldBytes text, Cancellation& cancel);
    // Searches as far as the bytes allow a cut, however short the segment:
    // for a reader that waits for more (a pipe), so that what can be known
    // now is known now.
    void search_ready(HeldBytes text, Cancellation& cancel);
    // The text is complete: searches the rest.
    void finish(HeldBytes text, Cancellation& cancel);
    // The matches found since the last call, in order.
    std::vector<StreamMatch> take();

    // The first byte that later calls still read: the line of the next
    // match to locate, and the first byte not yet searched.
    std::uint64_t needed_from() const noexcept;
    // Every match not yet taken starts at this byte or after it; the end of
    // the text once it is finished.
    std::uint64_t settled() const noexcept { return finished_ ? static_cast<std::uint64_t>(-1) : starts_.byte; }

private:
    struct Expansion {
        std::uint64_t folded;   // where the folded form of the code point starts
        std::uint64_t original; // the code point
        std::uint64_t length;   // of its folded form (1 marks where text passed over uncounted ends)
    };
    // A place in the text: its byte, the code points before it (of the
    // text as searched, a CR LF read as a line feed being one, and of the
    // text itself), and its line. Cursors walk the held bytes forward from
    // one, one code point at a time.
    struct Cursor {
        std::uint64_t byte = 0, original = 0, file = 0, line = 1, line_start = 0;
    };
    using Lengthened = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

    enum class Step { searched, needs_more, done, whole };
    Step search_segment(std::uint64_t end, bool final, bool ready, Cancellation& cancel);
    Step search_regions(std::uint64_t end, bool to_end, bool ready, Cancellation& cancel);
    // Searches the text from the cut to byte `end` (a place where the text
    // may be cut), keeping the candidates that start before the cut that
    // `choose_cut` picks (a unit of the text read, or `none`), and moves the
    // cut there; returns the cut, or `none`.
    template <typename ChooseCut>
    std::uint64_t search_span(std::uint64_t end, bool to_end, std::vector<MatchList>& found, Cancellation& cancel,
                              ChooseCut choose_cut);
    // Moves the cut to byte `to` over text that holds no candidate.
    void pass_over(std::uint64_t to, Cancellation& cancel);
    void count_lines(std::uint64_t to);
    void init();
    std::uint64_t segment_end(bool final) const;
    std::uint64_t ready_end() const;
    bool is_cut_byte(unsigned char byte) const noexcept;
    bool is_cut_place(std::uint64_t byte) const noexcept;
    std::uint64_t back_to_cut(std::uint64_t from, std::uint64_t code_points, bool& enough) const;
    std::uint64_t forward_to_cut(std::uint64_t from, std::uint64_t code_points, std::uint64_t end) const;
    void after_search(bool to_end, std::vector<MatchList>& found);

    // Takes each query's picks (of query `pattern`) to locate once no pick
    // of another query can start before them.
    void collect(MatchList picks, std::size_t pattern);
    void locate(const std::vector<std::pair<Match, std::size_t>>& picks);
    std::uint64_t original_of(std::uint64_t folded, bool is_end) const noexcept;
    void move(Cursor& cursor, std::uint64_t original);
    void move_collapsed(Cursor& cursor, std::uint64_t original);
    void settle();

    std::vector<const PreparedQuery*> queries_;
    const StreamQuery& query_; // the first query's: all share it but the pattern
    std::vector<std::u32string> patterns_;
    std::uint64_t lookahead_ = 0, window_tokens_ = 0; // the largest of the queries'
    SearchMode mode_;
    SearchOptions folded_options_; // folding off, for segments folded before the extractor sees them
    bool case_insensitive_, special_char_insensitive_, crlf_, collapse_;
    std::size_t segment_bytes_;
    std::size_t margin_bytes_;

    HeldBytes text_; // the caller's bytes during a call

    // At the next cut: where it lies, and the code points before it, folded.
    Cursor cut_;
    std::uint64_t cut_folded_ = 0;

    std::vector<ConflictSolver> solvers_;                  // one per query
    std::vector<std::pair<Match, std::size_t>> collected_; // picks not yet located, with their query
    std::deque<Expansion> expansions_;                     // before the last cut, those that matches may still need
    std::uint64_t pruned_shift_ = 0;                       // the code points that the expansions no longer kept added
    std::deque<Cursor> passed_;                            // where text passed over uncounted ends: cursors jump there
    std::vector<StreamMatch> ready_;
    std::vector<std::size_t> places_; // the finder's, in a segment
    bool finished_ = false;
    std::uint64_t ready_tried_ = 0; // the tail that the last search of what was ready could not cut

    // Matches' starts and ends each ascend (the ends too: exact token
    // windows may overlap, but as many tokens from a later start end later).
    Cursor starts_, ends_;
};

} // namespace tessarin

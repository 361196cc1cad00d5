// Bit-parallel passes against one pattern, in blocks of 64 pattern
// positions. A search over the whole text tells, for every end position,
// whether any substring ending there lies within a Levenshtein bound; and
// from one start position, one pass over the text that follows yields the
// distance of every prefix of it, so all window lengths of a start cost one
// pass: Levenshtein (Myers' algorithm in Hyyrö's formulation, banded to the
// distances that can pass), optimal string alignment (Hyyrö's extension for
// adjacent transpositions) and the longest common subsequence (Hyyrö's LCS).
// Distances equal those of the metric library, unit weights.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "text/match.hpp"
#include "text/processor.hpp"
#include "text/units.hpp"

namespace tessarin::detail {

// The number of bits set. The wheel is built for every x86-64 processor,
// without the popcnt instruction, where the compiler's builtin becomes a
// library call per word; this stays inline.
inline unsigned count_bits(std::uint64_t x) noexcept
{
    x -= (x >> 1) & 0x5555555555555555ULL;
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<unsigned>((x * 0x0101010101010101ULL) >> 56);
}

// Whether count_bits_on() may take the processor's own instruction:
// every processor that runs AVX2 has it, and most others of this family.
inline bool counts_bits_itself() noexcept
{
    return processor().popcnt;
}

// count_bits(), by the processor's own instruction where `itself` (from
// counts_bits_itself(), kept by the caller) says it has one. Asked for at
// every token window, where a dozen steps a count add up; the instruction
// is written out, since the compiler takes it only in code built for it,
// which this inlined code is not.
[[gnu::always_inline]] inline unsigned count_bits_on(bool itself, std::uint64_t x) noexcept
{
#if defined(__POPCNT__)
    (void)itself;
    return static_cast<unsigned>(__builtin_popcountll(x));
#elif defined(__x86_64__) && defined(__GNUC__)
    if (itself) {
        std::uint64_t count;
        __asm__("popcntq %1, %0" : "=r"(count) : "r"(x));
        return static_cast<unsigned>(count);
    }
    return count_bits(x);
#else
    (void)itself;
    return count_bits(x);
#endif
}

// Whether the code points of `distinct` (sorted) from 256 on that lie in
// the Basic Multilingual Plane fall on few enough of its pages of 256 for a
// table of those pages to pay: the pages of a pattern of many ideographs
// would be set up for little and crowd the cache that the text's code points
// are looked up in.
inline bool few_pages(const std::vector<char32_t>& distinct) noexcept
{
    constexpr std::size_t most_pages = 16;
    std::size_t pages = 0;
    char32_t last_page = 0;
    for (const char32_t c : distinct) {
        if (c < 256 || c >= 0x10000 || c >> 8 == last_page) continue;
        last_page = c >> 8;
        if (++pages > most_pages) return false;
    }
    return true;
}

// The bits set in each byte, for counting those of a few bytes.
inline constexpr struct ByteBits {
    std::uint8_t of[256];
    constexpr ByteBits() : of()
    {
        for (unsigned b = 0; b < 256; ++b)
            of[b] = static_cast<std::uint8_t>((b & 1) + (b >> 1 & 1) + (b >> 2 & 1) + (b >> 3 & 1) + (b >> 4 & 1) +
                                              (b >> 5 & 1) + (b >> 6 & 1) + (b >> 7 & 1));
    }
} byte_bits;

// The index of each distinct code point of a pattern (at most 65,534), in
// the order of their first appearance, looked up by page: two loads and no
// branch, where a code point beyond Latin-1 may lie in a page of the
// pattern's or not as unforeseeably as the text runs. A code point that the
// pattern lacks has the index distinct().
class CodePointIndices {
public:
    // `pattern` must not be empty. `covers_plane`: pages for every code
    // point below 2^16, so that a text of two-byte units is looked up
    // without a bound (see View::of_plane()).
    explicit CodePointIndices(std::u32string_view pattern, bool covers_plane = false);

    std::uint16_t distinct() const noexcept { return distinct_; }

    // The tables by pointer, for a loop that keeps them in registers.
    class View {
    public:
        std::uint16_t of(char32_t c) const noexcept
        {
            const std::size_t page = pages_[std::min<std::size_t>(c / page_size, last_page_)];
            return indices_[page * page_size + c % page_size];
        }
        // of() for a code point below 2^16, where the pages cover the plane.
        std::uint16_t of_plane(char16_t c) const noexcept
        {
            return indices_[std::size_t{pages_[c / page_size]} * page_size + c % page_size];
        }

    private:
        friend class CodePointIndices;
        View(const std::uint16_t* pages, std::size_t last_page, const std::uint16_t* indices) noexcept
            : pages_(pages), last_page_(last_page), indices_(indices)
        {
        }
        const std::uint16_t* pages_;
        std::size_t last_page_;
        const std::uint16_t* indices_;
    };
    View view() const noexcept { return View(pages_.data(), pages_.size() - 1, indices_.data()); }

    std::uint16_t of(char32_t c) const noexcept { return view().of(c); }

private:
    static constexpr std::size_t page_size = 64;

    std::uint16_t distinct_ = 0;
    std::vector<std::uint16_t> pages_;   // by code point / page_size, the page of its indices; the last, none's
    std::vector<std::uint16_t> indices_; // by page, the indices of its code points; the first page, none's
};

// The bit sets of the code points of a text, for a pass over a pattern of
// `Words` words: each code point's index among the pattern's, then the row
// of that index, with no branch on which range the code point lies in (see
// BitParallelPattern::fit_to()).
template <std::size_t Words> struct IndexedLookup {
    CodePointIndices::View indices;
    const std::uint64_t* rows; // by index, Words words each

    template <typename Char> [[gnu::always_inline]] const std::uint64_t* operator()(Char unit) const noexcept
    {
        if constexpr (sizeof(Char) == 2) return rows + Words * std::size_t{indices.of_plane(unit)};
        return rows + Words * std::size_t{indices.of(code_point(unit))};
    }
};

class BitParallelPattern {
public:
    // What a prefix's distance reads when it is known to exceed the limit.
    static constexpr std::uint32_t beyond = 0xFFFFFFFF;

    // `pattern` must not be empty.
    explicit BitParallelPattern(std::u32string_view pattern);

    // Whether the tables for `pattern` stay within a memory budget: they
    // hold a row of the whole pattern per distinct code point.
    static bool fits(std::u32string_view pattern);

    // Every pass reads code points (char32_t) or the bytes of ASCII text
    // (char), which spares decoding such a text.

    // Bit b of `reachable` (64 to a word, for b in [1, n]) tells whether
    // some non-empty substring of `text` ending at b is within `limit` edits
    // of the pattern. Bit 0 stays clear. `limit` must be below the pattern
    // length, or every end would qualify through the empty substring.
    template <typename Char>
    void mark_reachable_ends(std::basic_string_view<Char> text, std::size_t limit,
                             std::vector<std::uint64_t>& reachable, Cancellation& cancel) const;

    // distances[j] = Levenshtein distance(pattern, text[0, j)) for every j in
    // [0, text.size()] where it is at most `limit`; `beyond` or another value
    // above `limit` where it is not. Only the band of diagonals within
    // `limit` is computed, and the pass stops once no cell of the band can
    // lead to a distance within it.
    template <typename Char>
    void levenshtein_prefix_distances(std::basic_string_view<Char> text, std::size_t limit,
                                      std::vector<std::uint32_t>& distances) const;

    // distances[j] = optimal string alignment distance(pattern, text[0, j)).
    template <typename Char>
    void osa_prefix_distances(std::basic_string_view<Char> text, std::vector<std::uint32_t>& distances) const;

    // For a pattern of one word: a floor of the Damerau-Levenshtein
    // distance of the pattern and `text`, from optimal string alignment's
    // pass with its transposition step taken wherever an unrestricted
    // transposition may end (see the definition). Seldom more than an edit
    // or two below the distance, for about what the restricted distance
    // costs.
    template <typename Char> std::uint32_t damerau_floor(std::basic_string_view<Char> text) const;

    // lengths[j] = the longest common subsequence of pattern and text[0, j).
    template <typename Char>
    void lcs_prefix_lengths(std::basic_string_view<Char> text, std::vector<std::uint32_t>& lengths) const;

    // A stretch [first, last) of a text, and the longest common subsequence
    // of the pattern and it, once measured.
    struct Stretch {
        std::uint64_t first, last;
        std::uint32_t common;
    };

    // Measures `common` for every one of `count` stretches whose firsts
    // never descend, nor their lasts (neighbouring token windows), in
    // one sweep over the text they cover: each code point is looked up once
    // and advances the row of every stretch that holds it. Those rows do not
    // depend on one another, so the processor overlaps their steps, which
    // one stretch at a time would chain. A pattern of one word only (see
    // sweeps()). `widest` takes the widest vectors that the processor runs;
    // false, those that every processor of its family runs (which tests
    // compare).
    template <typename Char>
    void lcs_of_stretches(std::basic_string_view<Char> text, Stretch* stretches, std::size_t count,
                          bool widest = true) const;
    bool sweeps() const noexcept { return words_ == 1; }

    // The bit set of the pattern positions that hold `c`, `words_` words.
    // Inlined into every pass that reads the text, whatever their number.
    [[gnu::always_inline]] const std::uint64_t* positions_of(char32_t c) const noexcept
    {
        if (c < 256) return &low_[c * words_];
        if (c < 0x10000 && paged_)
            return &plane_rows_[page_rows_[std::size_t{page_of_[c >> 8]} * 256 + (c & 0xFF)] * words_];
        return beyond_plane_positions_of(c);
    }
    // Fits the passes' look-ups to the text they read: in a text of wider
    // units than bytes where one code point in 16 or more lies beyond
    // Latin-1, every code point is looked up by its index among the
    // pattern's (see indexed_lookup()), without a branch or a call. Such a
    // text mixes its script, most often, with spaces and punctuation, and a
    // branch on which range each code point lies in would often be
    // mistaken; a pattern of ideographs on many pages, of more than two
    // words, would be looked up in a hash, by a call around which the
    // passes keep no row in registers. In a text mostly of Latin-1 that
    // branch is foreseen, and Latin-1's own rows cost one load where the
    // indices cost three. `pattern` is the one this was built from.
    template <typename Char> void fit_to(std::u32string_view pattern, std::basic_string_view<Char> text);
    // Whether the passes over a text of wider units than bytes look its
    // code points up through indexed_lookup().
    bool fitted_to_indices() const noexcept { return indices_.has_value(); }
    // The look-up by index, for a pattern of `Words` words (the pass's
    // constant), where fitted_to_indices().
    template <std::size_t Words> IndexedLookup<Words> indexed_lookup() const noexcept
    {
        return IndexedLookup<Words>{indices_->view(), indexed_rows_.data()};
    }

    // The bit set of a code point that the pattern does not hold.
    const std::uint64_t* no_positions() const noexcept { return zeros_.data(); }
    // For a pattern of one word: its bit set of `c`, the rows of Latin-1
    // looked up directly.
    std::uint64_t one_word_positions_of(char32_t c) const noexcept { return c < 256 ? low_[c] : *positions_of(c); }
    // The rows of the code points below 256, `words()` words each from
    // code point * words(): a pass keeps the pointer in a register and
    // looks these up without a call (without a test, in a text of one-byte
    // units).
    const std::uint64_t* low_rows() const noexcept { return low_.data(); }
    std::size_t pattern_length() const noexcept { return length_; }
    std::size_t words() const noexcept { return words_; }

private:
    const std::uint64_t* beyond_plane_positions_of(char32_t c) const noexcept;

    std::size_t length_;
    std::size_t words_;
    std::vector<std::uint64_t> low_; // 256 rows of words_
    bool paged_ = false;
    std::uint16_t page_of_[256];            // by the high byte of a code point below 2^16
    std::vector<std::uint32_t> page_rows_;  // 256 row numbers a page
    std::vector<std::uint64_t> plane_rows_; // rows of words_, row 0 empty
    std::vector<char32_t> keys_;            // open addressing over code points from 2^16 on
    std::vector<std::uint64_t> key_bits_;   // a row of words_ per key slot
    std::vector<std::uint64_t> zeros_;      // the row of a code point not in the pattern
    // Where fitted to a text (see fit_to()): each code point's index, and
    // the rows by index, the last one (a code point the pattern lacks) empty.
    std::optional<CodePointIndices> indices_;
    std::vector<std::uint64_t> indexed_rows_;
    std::size_t key_mask_ = 0;
    // The columns of a pass, kept between passes.
    mutable std::vector<std::uint64_t> vp_, vn_, d0_;
    mutable std::vector<std::uint32_t> scores_;
    static constexpr char32_t empty_key = 0xFFFFFFFF;
};

// The least Levenshtein distance (or, with `transpositions`, optimal string
// alignment distance) of the pattern from any stretch of the text that ends
// at a given position and starts at or after where the pass began: Myers'
// search, with Hyyrö's step for adjacent transpositions. A window that
// lies within that part of the text is at least as far from the pattern as
// the value at its end. Anchored, only the stretch that starts where the
// pass began counts: the value is that stretch's distance. Ends are asked
// for in ascending order; each code point is read once.
class SemiGlobalPass {
public:
    SemiGlobalPass(const BitParallelPattern& pattern, bool transpositions);

    // From now on only stretches that start at `from` (anchored) or at
    // `from` or later count, and the next end asked for is at `from` or
    // later.
    void restart(std::size_t from, bool anchored = false);

    // The least distance of a stretch ending at `end`.
    template <typename Char> std::uint32_t at(std::basic_string_view<Char> text, std::size_t end);

private:
    // one_word_at() with the last row counted at each step, or only once.
    template <bool Transpositions, bool Anchored, bool Counted, typename Char>
    [[gnu::always_inline]] std::uint32_t one_word_read(const Char* text, std::size_t end);
    template <bool Transpositions, bool Anchored, typename Char>
    [[gnu::always_inline]] std::uint32_t one_word_at(const Char* text, std::size_t end);
    template <bool Transpositions, typename Char>
    [[gnu::always_inline]] std::uint32_t two_words_at(const Char* text, std::size_t end);
    template <bool Transpositions, bool Counted, typename Char>
    [[gnu::always_inline]] std::uint32_t two_words_read(const Char* text, std::size_t end);

    const BitParallelPattern& pattern_;
    bool transpositions_;
    std::uint64_t top_ = 0; // what enters the column from above: 1 when anchored
    std::size_t position_ = 0;
    std::uint32_t score_ = 0;
    std::uint64_t vp_ = 0, vn_ = 0, d0_ = 0;     // the column, for a pattern of one word
    const std::uint64_t* previous_ = nullptr;    // the positions of the code point before
    std::uint64_t previous_word_ = 0;            // the same, for a pattern of one word
    std::vector<std::uint64_t> vps_, vns_, d0s_; // the column, for a longer pattern
};

// The values of a SemiGlobalPass at the ends of a long stretch of text,
// worked out four passes at a time. The stretch is cut in four lanes, each
// read by its own pass from `reach` code points before its first end, and
// the four passes step side by side in vectors: their steps do not depend on
// one another, where those of one pass form a chain. A window of at most
// `reach` code points that ends in a lane starts where that lane's pass has
// begun, so the value at its end bounds its distance as a pass begun before
// the window does. Patterns of one or two words.
class SearchLanes {
public:
    // `widest` takes the widest vectors that the processor runs; false,
    // those that every processor of its family runs (which tests compare).
    SearchLanes(const BitParallelPattern& pattern, bool transpositions, std::size_t reach, bool widest = true);

    // Whether lanes serve a pattern, for windows of up to `reach` code points.
    static bool serves(const BitParallelPattern& pattern, std::size_t reach) noexcept
    {
        return pattern.words() <= 2 && reach <= longest_lane;
    }

    // Works out the values of the ends from `from` on, as far as four lanes
    // reach; false, and nothing covered, where the text left is too short
    // for lanes to pay.
    template <typename Char> bool cover(std::basic_string_view<Char> text, std::size_t from);

    // The least distance of a stretch that ends at `end` and starts at or
    // after where its lane's pass began, if a lane covers `end` and began at
    // or before `first`.
    bool at(std::size_t first, std::size_t end, std::uint32_t& value) const noexcept
    {
        if (!covers(end)) return false;
        const std::size_t k = lane_of(end);
        if (first < begins_[k] || end <= begins_[k]) return false;
        value = values_[(end - begins_[k] - 1) * lanes + k];
        return true;
    }

    // From now on, cover() also keeps the value of each end it covers, in
    // a byte (255 for any value above), for a text of `length` code points.
    void keep_end_values(std::size_t length) { end_values_.assign(length + 1, 0); }
    // What cover() kept for `end`; 0 where it covered nothing. A window that
    // ends there and is no longer than the reach is at least this far: it
    // starts after its lane's pass began.
    std::uint32_t kept_value(std::size_t end) const noexcept { return end_values_[end]; }

    bool covers(std::size_t end) const noexcept { return lane_ != 0 && end >= from_ && end <= covered_to(); }
    // The last end covered.
    std::size_t covered_to() const noexcept { return from_ + lanes * lane_; }
    // Where the pass of the lane that covers `end` began.
    std::size_t begun_at(std::size_t end) const noexcept { return begins_[lane_of(end)]; }

    static constexpr std::size_t lanes = 4;

private:
    static constexpr std::size_t longest_lane = 1024, shortest_lane = 64;

    // Keeps the values of the ends that cover(from) just worked out.
    void keep_values(std::size_t from) noexcept;

    std::size_t lane_of(std::size_t end) const noexcept
    {
        return std::min<std::size_t>((end - from_) / lane_, lanes - 1);
    }

    const BitParallelPattern& pattern_;
    bool transpositions_, widest_;
    std::size_t reach_;
    std::size_t from_ = 0, lane_ = 0;
    std::size_t begins_[lanes] = {};           // where the pass of each lane began
    std::unique_ptr<std::uint32_t[]> values_; // by step, a value a lane
    std::size_t capacity_ = 0;
    std::vector<std::uint8_t> end_values_; // empty where values are not kept
};

// The distances of the pattern from up to four windows of a text, each
// measured from its own start (as SemiGlobalPass anchored there measures
// it), worked out side by side in a vector: the steps of one pass form a
// chain, so four take about as long as one. Patterns of one or two words.
class SideBySideDistances {
public:
    // `widest` as for SearchLanes.
    SideBySideDistances(const BitParallelPattern& pattern, bool transpositions, bool widest = true);

    static bool serves(const BitParallelPattern& pattern) noexcept { return pattern.words() <= 2; }

    // The distances of the windows [firsts[k], lasts[k]) for k below
    // `count` (one to four), into `distances`. Each pass reads as far as
    // the longest window: false, with nothing worked out, where one would
    // read past the text's end.
    template <typename Char>
    bool measure(std::basic_string_view<Char> text, const std::size_t* firsts, const std::size_t* lasts,
                 std::size_t count, std::uint32_t* distances);

private:
    const BitParallelPattern& pattern_;
    bool transpositions_, widest_;
    std::vector<std::uint32_t> values_; // by step, a value a lane
};

// The longest common subsequence of the pattern and the text from where
// the pass began up to a given position (Hyyrö's bit-vector algorithm).
// A window that lies within that part of the text has no longer a common
// subsequence with the pattern than the value at its end. Ends are asked
// for in ascending order; each code point is read once.
class CommonSubsequencePass {
public:
    // `widest` counts with the processor's own instruction where it has
    // one; false, as every processor of its family can (which tests
    // compare).
    explicit CommonSubsequencePass(const BitParallelPattern& pattern, bool widest = true);

    // From now on only the text from `from` on counts, and the next end
    // asked for is at `from` or later.
    void restart(std::size_t from);
    std::size_t started_at() const noexcept { return from_; }

    // The longest common subsequence of the pattern and text[from, end).
    // Asked for at every token window, most often a few code points on:
    // a pattern of one word is read on here, without the checks of longer
    // ones. Kept out of line: inlined into a walk of windows, it took
    // longer for as many instructions.
    template <typename Char>
    [[gnu::noinline]] std::uint32_t at(std::basic_string_view<Char> text, std::size_t end)
    {
        if (!one_word_) return at_words(text, end);
        if constexpr (sizeof(Char) > 1) {
            if (pattern_.fitted_to_indices()) return at_indexed(text, end);
        }
        // Kept in locals: stores to the members would make the compiler
        // read the pattern's rows afresh for every code point.
        std::uint64_t row = row_;
        std::size_t position = position_;
        const std::uint64_t* low = low_;
        for (; position < end; ++position) {
            const char32_t c = code_point(text[position]);
            const std::uint64_t u = row & (c < 256 ? low[c] : *pattern_.positions_of(c));
            row = (row + u) | (row - u);
        }
        position_ = position;
        row_ = row;
        return counted(row);
    }

private:
    // at() for a pattern of one word and a text of wider units than bytes
    // looked up by index (see BitParallelPattern::fit_to()).
    template <typename Char> std::uint32_t at_indexed(std::basic_string_view<Char> text, std::size_t end);
    // The common subsequence of a pattern of one word, from its row.
    std::uint32_t counted(std::uint64_t row) const noexcept
    {
        // A pattern of two bytes at most (a few short words) is counted
        // by the byte, for less, unless the processor counts it at once.
        const std::uint64_t matched = ~row & last_mask_;
        if (two_bytes_ && !counts_itself_)
            return std::uint32_t{byte_bits.of[matched & 0xFF]} + byte_bits.of[matched >> 8];
        return count_bits_on(counts_itself_, matched);
    }
    // at() for a pattern of more than one word, and for one looked up by
    // index (see BitParallelPattern::fit_to()).
    template <typename Char> std::uint32_t at_words(std::basic_string_view<Char> text, std::size_t end);
    template <typename Char> std::uint32_t at_words_indexed(std::basic_string_view<Char> text, std::size_t end);
    // Reads a pattern of any number of words on to `end`, the row in memory.
    template <typename Char> void read_words_on(std::basic_string_view<Char> text, std::size_t end);
    // The common subsequence of a pattern of more than one word, from its row.
    std::uint32_t count_words() const noexcept;

    const BitParallelPattern& pattern_;
    const std::uint64_t* low_;        // the pattern's rows of Latin-1
    bool one_word_;
    bool two_bytes_;                  // a pattern of 16 code points at most
    bool counts_itself_;              // see counts_bits_itself()
    std::uint64_t last_mask_;         // the pattern's positions in its last word
    // The row apart from the position: side by side, the compiler may read
    // both in one vector load, which waits on restart()'s separate stores.
    std::uint64_t row_ = 0; // the row, for a pattern of one word
    std::size_t from_ = 0, position_ = 0;
    std::vector<std::uint64_t> rows_; // the row, for a longer pattern
};

// Four passes of CommonSubsequencePass over the same text, each begun at
// its own position and read on together, a word of each lane in a vector:
// one lookup of a code point serves the four, and their steps, which do not
// depend on one another, overlap where those of one pass form a chain. A
// walk of token windows begins a lane just past a window's end, where a
// window some tokens later begins: that window's subsequence is then known
// exactly, and the next ones' closely, without reading them again. Patterns
// of one or two words.
class CommonSubsequenceLanes {
public:
    static constexpr std::size_t lanes = 4;
    // What begun_at() reads for a lane never begun.
    static constexpr std::size_t never = ~std::size_t{0};

    // `widest` takes the widest vectors that the processor runs, and its
    // own instruction for counting bits; false, what every processor of
    // its family runs (which tests compare).
    explicit CommonSubsequenceLanes(const BitParallelPattern& pattern, bool widest = true);

    // Whether lanes serve a pattern: one of one word is read on alone for
    // less, as its windows are short.
    static bool serves(const BitParallelPattern& pattern) noexcept { return pattern.words() == 2; }

    // How far the lanes have read.
    std::size_t position() const noexcept { return position_; }
    // Where a lane counts from: at or before position(), or ahead of it
    // while it waits for the reading to get there.
    std::size_t begun_at(std::size_t lane) const noexcept { return begins_[lane]; }
    // Whether a lane waits to begin: then no other may be begun.
    bool waiting() const noexcept { return waiting_ != lanes; }

    // From now on `lane` counts the text from `from` on (at or after
    // position()), whatever it counted before.
    void begin(std::size_t lane, std::size_t from) noexcept
    {
        begins_[lane] = from;
        waiting_ = lane;
    }

    // Reads every lane on up to `end` (at or after position()).
    template <typename Char> void read_to(std::basic_string_view<Char> text, std::size_t end)
    {
        if (waiting_ != lanes && begins_[waiting_] <= end) {
            read(text, begins_[waiting_]);
            low_[waiting_] = high_[waiting_] = ~std::uint64_t{0};
            waiting_ = lanes;
        }
        read(text, end);
    }

    // The longest common subsequence of the pattern and the text from the
    // lane's start up to position().
    std::uint32_t common(std::size_t lane) const noexcept
    {
        if (!two_words_) return count_bits_on(counts_itself_, ~low_[lane] & last_mask_);
        return count_bits_on(counts_itself_, ~low_[lane]) + count_bits_on(counts_itself_, ~high_[lane] & last_mask_);
    }

private:
    template <typename Char> void read(std::basic_string_view<Char> text, std::size_t end)
    {
        if (position_ >= end) return;
        read_lanes(text, end);
        position_ = end;
    }
    template <typename Char> void read_lanes(std::basic_string_view<Char> text, std::size_t end);

    const BitParallelPattern& pattern_;
    bool two_words_, widest_;
    bool counts_itself_; // see counts_bits_itself()
    std::uint64_t last_mask_;
    std::size_t position_ = 0;
    std::size_t begins_[lanes];
    std::size_t waiting_ = lanes; // the lane that waits to begin (none: lanes)
    // The rows, a word of each lane: bits set mark pattern positions not
    // matched yet.
    alignas(32) std::uint64_t low_[lanes], high_[lanes];
};

} // namespace tessarin::detail

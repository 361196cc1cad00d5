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

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "text/match.hpp"
#include "text/units.hpp"

namespace tessarin::detail {

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

    // lengths[j] = the longest common subsequence of pattern and text[0, j).
    template <typename Char>
    void lcs_prefix_lengths(std::basic_string_view<Char> text, std::vector<std::uint32_t>& lengths) const;

private:
    // The bit set of the pattern positions that hold `c`, `words_` words.
    const std::uint64_t* positions_of(char32_t c) const noexcept;

    std::size_t length_;
    std::size_t words_;
    std::vector<std::uint64_t> ascii_;    // 128 rows of words_
    std::vector<char32_t> keys_;          // open addressing over other code points
    std::vector<std::uint64_t> key_bits_; // a row of words_ per key slot
    std::vector<std::uint64_t> zeros_;    // the row of a code point not in the pattern
    std::size_t key_mask_ = 0;
    // The columns of a pass, kept between passes.
    mutable std::vector<std::uint64_t> vp_, vn_, d0_;
    mutable std::vector<std::uint32_t> scores_;
    static constexpr char32_t empty_key = 0xFFFFFFFF;
};

} // namespace tessarin::detail

// Bit-parallel Levenshtein distances against one pattern (Myers' algorithm
// in Hyyrö's formulation, in blocks of 64 pattern positions). Two passes
// serve fuzzy raw extraction: a search over the whole text that tells, for
// every end position, whether any substring ending there lies within a
// distance bound; and, from one start position, the exact distance of every
// prefix of the text that follows, so all window lengths of a start cost one
// pass. Distances equal those of the metric library, unit weights.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "text/match.hpp"

namespace tessarin::detail {

class BitParallelLevenshtein {
public:
    // `pattern` must not be empty.
    explicit BitParallelLevenshtein(std::u32string_view pattern);

    std::size_t pattern_length() const noexcept { return length_; }

    // Both passes read code points (char32_t) or the bytes of ASCII text
    // (char), which spares decoding such a text.

    // Bit b of `reachable` (64 to a word, for b in [1, n]) tells whether
    // some non-empty substring of `text` ending at b is within `limit` edits
    // of the pattern. Bit 0 stays clear. `limit` must be below the pattern
    // length, or every end would qualify through the empty substring.
    template <typename Char>
    void mark_reachable_ends(std::basic_string_view<Char> text, std::size_t limit,
                             std::vector<std::uint64_t>& reachable, Cancellation& cancel) const;

    // distances[j] = distance(pattern, text[0, j)) for j in [0, text.size()].
    template <typename Char>
    void prefix_distances(std::basic_string_view<Char> text, std::vector<std::uint32_t>& distances) const;

private:
    // The bit set of the pattern positions that hold `c`, `words_` words.
    const std::uint64_t* positions_of(char32_t c) const noexcept;

    std::size_t length_;
    std::size_t words_;
    std::vector<std::uint64_t> ascii_;       // 128 rows of words_
    std::vector<char32_t> keys_;             // open addressing over other code points
    std::vector<std::uint64_t> key_bits_;    // a row of words_ per key slot
    std::vector<std::uint64_t> zeros_;       // the row of a code point not in the pattern
    std::size_t key_mask_ = 0;
    mutable std::vector<std::uint64_t> vp_, vn_; // the columns of a pass, kept between passes
    static constexpr char32_t empty_key = 0xFFFFFFFF;
};

} // namespace tessarin::detail

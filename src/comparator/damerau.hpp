// Damerau-Levenshtein distances (unrestricted transpositions) of every
// prefix of a text from one pattern, in one pass: Zhao's row-by-row
// algorithm with the text as the rows, so the last cell of row j is the
// distance of the text's first j code points. Equal to the metric library's
// distances.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "text/units.hpp"

namespace tessarin::detail {

class DamerauPrefixPass {
public:
    explicit DamerauPrefixPass(std::u32string_view pattern);

    // distances[j] = distance(text[0, j), pattern) for j in [0, text.size()].
    // The text is code points (char32_t) or the bytes of ASCII text (char).
    template <typename Char>
    void prefix_distances(std::basic_string_view<Char> text, std::vector<std::uint32_t>& distances);

    // distance(text, pattern) when it is at most `limit`; otherwise some
    // value above `limit`. The rows stop as soon as no alignment can come
    // within the limit, which for most texts far from the pattern is well
    // before the last.
    template <typename Char> std::uint32_t distance_within(std::basic_string_view<Char> text, std::uint32_t limit);

    // Whether distance_within() works out only the cells that an alignment
    // within the limit can pass through (for a pattern of at most 64 code
    // points), which for a text far from the pattern is a small part of
    // them.
    bool cuts_off() const noexcept { return !reversed_positions_.empty(); }

private:
    // Runs the rows of text against the pattern. `rows` is told of each
    // row i (the text's first i code points) by rows.begin(i), then of its
    // cells by rows.cell(j, value) for j from 1 (value: their distance from
    // the pattern's first j), and then rows.end(i, row) may return false to
    // stop; row[j] holds the cells, row[0] = i.
    template <typename Char, typename Rows> void run_rows(std::basic_string_view<Char> text, Rows& rows);

    // distance_within() for a pattern of at most 64 code points: only the
    // cells that an alignment within the limit can pass through.
    template <typename Char>
    std::uint32_t banded_distance_within(std::basic_string_view<Char> text, std::uint32_t limit);

    // The id of a code point of the pattern, or `absent`.
    std::int32_t id_of(char32_t c) const noexcept;
    static constexpr std::int32_t absent = -1;

    std::u32string_view pattern_;
    std::vector<std::int32_t> pattern_ids_;
    std::vector<char32_t> others_; // non-ASCII pattern code points, sorted, ids from 128 on
    std::int32_t ascii_ids_[128];
    std::vector<std::int32_t> last_row_;    // per id: the last row whose code point it was
    std::vector<std::int32_t> r_, r1_, fr_; // the current and previous rows, and the saved transposition cells
    // For a pattern of at most 64 code points: per id, the positions of the
    // reversed pattern that hold it, for the common subsequences of the
    // text's and the pattern's tails; and those tails' rows, one per row.
    std::vector<std::uint64_t> reversed_positions_;
    std::vector<std::uint64_t> tail_rows_;
    // For the same patterns: per id, the columns that hold it (bit j - 1
    // for column j), and three rows of cells for distance_within().
    std::vector<std::uint64_t> forward_positions_;
    std::vector<std::int32_t> rows_;

    // The positions of a code point in those tables (none for one that
    // the pattern lacks). Every ASCII code point has an id there.
    static std::uint64_t positions_in(const std::vector<std::uint64_t>& table, std::int32_t id) noexcept
    {
        return id == absent ? 0 : table[static_cast<std::size_t>(id)];
    }
    std::uint64_t forward_positions(char32_t c) const noexcept
    {
        return c < 128 ? forward_positions_[c] : positions_in(forward_positions_, id_of(c));
    }
    std::uint64_t reversed_positions(char32_t c) const noexcept
    {
        return c < 128 ? reversed_positions_[c] : positions_in(reversed_positions_, id_of(c));
    }
};

} // namespace tessarin::detail

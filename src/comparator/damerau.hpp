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
    // within the limit can pass through, which for a text far from the
    // pattern is a small part of them. So it does for every pattern whose
    // tables of positions stay small (up to thousands of code points), on
    // every text but one of hundreds of thousands.
    bool cuts_off() const noexcept { return !reversed_positions_.empty(); }

private:
    // Runs the rows of text against the pattern. `rows` is told of each
    // row i (the text's first i code points) by rows.begin(i), then of its
    // cells by rows.cell(j, value) for j from 1 (value: their distance from
    // the pattern's first j), and then rows.end(i, row) may return false to
    // stop; row[j] holds the cells, row[0] = i.
    template <typename Char, typename Rows> void run_rows(std::basic_string_view<Char> text, Rows& rows);

    // distance_within() when it cuts off: only the cells that an alignment
    // within the limit can pass through. `one_word`: the pattern's
    // positions fit in one machine word.
    template <typename Char, bool one_word>
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
    // When distance_within() cuts off: per id, `words_` words of the
    // positions of the reversed pattern that hold it, for the common
    // subsequences of the text's and the pattern's tails; and those tails'
    // rows, one per row. Past one word, the row after the last id holds no
    // position.
    std::size_t words_ = 0;
    std::vector<std::uint64_t> reversed_positions_;
    std::vector<std::uint64_t> tail_rows_;
    // For the same patterns: per id, the columns that hold it (bit j - 1
    // for column j), three rows of cells for distance_within(), and the
    // columns of a row where more than the three neighbours count.
    std::vector<std::uint64_t> forward_positions_;
    std::vector<std::int32_t> rows_;
    std::vector<std::uint64_t> special_columns_;

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
    // The same for a pattern of more than one word: its words.
    const std::uint64_t* positions_row(const std::vector<std::uint64_t>& table, char32_t c) const noexcept
    {
        const std::int32_t id = c < 128 ? static_cast<std::int32_t>(c) : id_of(c);
        const std::size_t row = id == absent ? last_row_.size() : static_cast<std::size_t>(id);
        return &table[row * words_];
    }
};

} // namespace tessarin::detail

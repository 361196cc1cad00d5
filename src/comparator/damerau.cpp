#include "comparator/damerau.hpp"

#include "comparator/bit_parallel.hpp"

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <type_traits>

namespace tessarin::detail {

DamerauPrefixPass::DamerauPrefixPass(std::u32string_view pattern) : pattern_(pattern)
{
    for (char32_t c : pattern)
        if (c >= 128) others_.push_back(c);
    std::sort(others_.begin(), others_.end());
    others_.erase(std::unique(others_.begin(), others_.end()), others_.end());
    std::fill(std::begin(ascii_ids_), std::end(ascii_ids_), absent);
    for (char32_t c : pattern)
        if (c < 128) ascii_ids_[c] = static_cast<std::int32_t>(c);
    pattern_ids_.reserve(pattern.size());
    for (char32_t c : pattern)
        pattern_ids_.push_back(id_of(c));
    last_row_.assign(128 + others_.size(), -1);
    // The tables take a word per id and 64 code points of the pattern: a
    // pattern of thousands of distinct code points, whose tables would
    // outweigh the rows they spare, goes without them.
    const std::size_t words = (pattern.size() + 63) / 64;
    constexpr std::size_t largest_tables = std::size_t{1} << 18;
    // Past one word, a last row of no position stands for a code point
    // that the pattern lacks.
    const std::size_t rows = last_row_.size() + (words > 1 ? 1 : 0);
    if (!pattern.empty() && rows * words <= largest_tables) {
        words_ = words;
        reversed_positions_.assign(rows * words, 0);
        forward_positions_.assign(rows * words, 0);
        const std::size_t last = pattern.size() - 1;
        if (words == 1) {
            for (std::size_t t = 0; t <= last; ++t)
                forward_positions_[static_cast<std::size_t>(pattern_ids_[t])] |= std::uint64_t{1} << t;
            for (std::size_t t = 0; t <= last; ++t)
                reversed_positions_[static_cast<std::size_t>(pattern_ids_[last - t])] |= std::uint64_t{1} << t;
        } else {
            for (std::size_t t = 0; t <= last; ++t) {
                const std::uint64_t bit = std::uint64_t{1} << (t % 64);
                forward_positions_[static_cast<std::size_t>(pattern_ids_[t]) * words + t / 64] |= bit;
                reversed_positions_[static_cast<std::size_t>(pattern_ids_[last - t]) * words + t / 64] |= bit;
            }
        }
        if (words > 1) special_columns_.resize(words);
    }
}

std::int32_t DamerauPrefixPass::id_of(char32_t c) const noexcept
{
    if (c < 128) return ascii_ids_[c];
    const auto found = std::lower_bound(others_.begin(), others_.end(), c);
    return found != others_.end() && *found == c ? 128 + static_cast<std::int32_t>(found - others_.begin()) : absent;
}

template <typename Char, typename Rows>
[[gnu::always_inline]] inline void DamerauPrefixPass::run_rows(std::basic_string_view<Char> text, Rows& rows)
{
    const auto len1 = static_cast<std::int32_t>(text.size()), len2 = static_cast<std::int32_t>(pattern_.size());
    // Larger than any distance of these lengths: it stands for a cell that
    // does not exist.
    const std::int32_t infinite = std::max(len1, len2) + 1;
    const auto size = static_cast<std::size_t>(len2) + 2;
    fr_.assign(size, infinite);
    r1_.assign(size, infinite);
    r_.resize(size);
    r_[0] = infinite;
    std::iota(r_.begin() + 1, r_.end(), 0);
    std::fill(last_row_.begin(), last_row_.end(), -1);
    // Index -1 is the cell left of the first column.
    std::int32_t* r = &r_[1];
    std::int32_t* r1 = &r1_[1];
    std::int32_t* fr = &fr_[1];

    // The neighbours of a cell are carried from one column to the next in
    // locals: the rows are read once each per column.
    const char32_t* pattern = pattern_.data();
    const std::int32_t* pattern_ids = pattern_ids_.data();
    const std::int32_t* last_row = last_row_.data();
    for (std::int32_t i = 1; i <= len1; ++i) {
        std::swap(r, r1);
        rows.begin(i);
        std::int32_t last_col_id = -1;
        std::int32_t last_i2l1 = r[0];
        r[0] = i;
        std::int32_t t = infinite;
        const char32_t c = code_point(text[static_cast<std::size_t>(i - 1)]);
        std::int32_t left = i, diagonal = r1[0], before_diagonal = r1[-1];
        for (std::int32_t j = 1; j <= len2; ++j) {
            const std::int32_t up = r1[j];
            const bool same = c == pattern[j - 1];
            std::int32_t value = std::min(std::min(diagonal + static_cast<std::int32_t>(!same), left + 1), up + 1);
            if (same) {
                last_col_id = j;         // the last column whose code point is c
                fr[j] = before_diagonal; // the cell before the pair, for a transposition to come
                t = last_i2l1;
            } else {
                const std::int32_t k = last_row[pattern_ids[j - 1]];
                const std::int32_t l = last_col_id;
                if (j - l == 1)
                    value = std::min(value, fr[j] + (i - k));
                else if (i - k == 1)
                    value = std::min(value, t + (j - l));
            }
            last_i2l1 = r[j];
            r[j] = value;
            rows.cell(j, value);
            before_diagonal = diagonal;
            diagonal = up;
            left = value;
        }
        if (const std::int32_t id = id_of(c); id != absent) last_row_[static_cast<std::size_t>(id)] = i;
        if (!rows.end(i, static_cast<const std::int32_t*>(r))) return;
    }
}

template <typename Char>
void DamerauPrefixPass::prefix_distances(std::basic_string_view<Char> text, std::vector<std::uint32_t>& distances)
{
    const std::size_t len2 = pattern_.size();
    distances.resize(text.size() + 1);
    distances[0] = static_cast<std::uint32_t>(len2);
    struct Record {
        std::vector<std::uint32_t>& distances;
        std::size_t last;
        void begin(std::int32_t) noexcept {}
        void cell(std::int32_t, std::int32_t) noexcept {}
        bool end(std::int32_t i, const std::int32_t* row) noexcept
        {
            distances[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(row[last]);
            return true;
        }
    } record{distances, len2};
    run_rows(text, record);
}

template <typename Char>
std::uint32_t DamerauPrefixPass::distance_within(std::basic_string_view<Char> text, std::uint32_t limit)
{
    const auto n = static_cast<std::int32_t>(text.size()), m = static_cast<std::int32_t>(pattern_.size());
    const auto beyond = static_cast<std::int32_t>(limit) + 1;
    // Every alignment costs at least the difference of the lengths.
    if (std::abs(n - m) >= beyond) return static_cast<std::uint32_t>(std::abs(n - m));
    if (n == 0) return static_cast<std::uint32_t>(m);
    if (!reversed_positions_.empty()) {
        if (words_ == 1) return banded_distance_within<Char, true>(text, limit);
        // The tails' rows take a word per row and 64 code points of the
        // pattern: a text of hundreds of thousands of code points, whose
        // rows would take more memory than the whole table does for the
        // usual windows, goes through every cell instead.
        constexpr std::size_t largest_tail_rows = std::size_t{1} << 20;
        if ((static_cast<std::size_t>(n) + 1) * words_ <= largest_tail_rows)
            return banded_distance_within<Char, false>(text, limit);
    }
    // Every cell of a row beyond the limit puts every later one beyond it:
    // a transposition that jumps over the row costs at least what deleting
    // the rows it jumps over would.
    struct Stop {
        std::int32_t n, m, beyond;
        std::int32_t distance;
        std::int32_t least = 0;
        bool checking = false;

        void begin(std::int32_t i) noexcept
        {
            // Most texts that stop do so at one of the first rows; after
            // those, a row in two is checked, which costs less than the rows
            // that a later stop runs on.
            checking = i <= 3 || i % 2 == 0;
            // Column 0: the row's code points all deleted.
            if (checking) least = i;
        }
        void cell(std::int32_t, std::int32_t value) noexcept
        {
            if (checking) least = std::min(least, value);
        }
        bool end(std::int32_t i, const std::int32_t* row) noexcept
        {
            if (i == n) {
                distance = row[m];
                return false;
            }
            if (!checking || least < beyond) return true;
            distance = beyond;
            return false;
        }
    } stop{n, m, beyond, beyond};
    run_rows(text, stop);
    return static_cast<std::uint32_t>(stop.distance);
}

template <typename Char, bool one_word>
std::uint32_t DamerauPrefixPass::banded_distance_within(std::basic_string_view<Char> text, std::uint32_t limit)
{
    const auto n = static_cast<std::int32_t>(text.size()), m = static_cast<std::int32_t>(pattern_.size());
    const auto beyond = static_cast<std::int32_t>(limit) + 1;
    // The common subsequences of the text's tail from each row on with the
    // pattern's tails, as in distance_within().
    const std::size_t words = one_word ? 1 : words_;
    tail_rows_.resize((static_cast<std::size_t>(n) + 1) * words);
    if constexpr (one_word) {
        std::uint64_t tail = ~std::uint64_t{0};
        tail_rows_[static_cast<std::size_t>(n)] = tail;
        for (std::size_t i = static_cast<std::size_t>(n); i-- > 0;) {
            const std::uint64_t u = tail & reversed_positions(code_point(text[i]));
            tail = (tail + u) | (tail - u);
            tail_rows_[i] = tail;
        }
    } else {
        // The same over several words, the sum's carry taken from each word
        // into the next. Bits past the pattern's last position are never read.
        std::fill_n(&tail_rows_[static_cast<std::size_t>(n) * words], words, ~std::uint64_t{0});
        for (std::size_t i = static_cast<std::size_t>(n); i-- > 0;) {
            const std::uint64_t* positions = positions_row(reversed_positions_, code_point(text[i]));
            const std::uint64_t* below = &tail_rows_[(i + 1) * words];
            std::uint64_t* tail = &tail_rows_[i * words];
            std::uint64_t carry = 0;
            for (std::size_t w = 0; w < words; ++w) {
                const std::uint64_t u = below[w] & positions[w];
                const std::uint64_t with_carry = below[w] + carry;
                const std::uint64_t sum = with_carry + u;
                carry = static_cast<std::uint64_t>(with_carry < carry) | static_cast<std::uint64_t>(sum < u);
                tail[w] = sum | (below[w] - u);
            }
        }
    }
    const std::uint64_t mask = !one_word || m >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << m) - 1;

    // A cell is live when its distance plus the least that the tails after
    // it need (the longer tail less their common subsequence) is at most
    // one more than the limit. Only live cells can lie on an alignment
    // within the limit, or next to one: a transposition that jumps over
    // rows costs at most one less than deleting down to the row above its
    // end and going on from there, so an alignment within the limit
    // crosses every row through cells within one more than it. Each row is
    // therefore worked out from the first live cell of the row above to the
    // first dead cell past the last live one, and a row without a live cell
    // ends the search.
    //
    // Every cell read holds its distance or more: the cells of a row that
    // are not worked out are set beyond any distance, so no value of two
    // rows before is taken for one of the row above.
    const std::int32_t infinite = n + m + beyond + 2;
    const auto size = static_cast<std::size_t>(m) + 2;
    // Per column j, the cell before a transposition that ends at j with
    // j - 1's code point, less the row of its first code point, so that
    // the transposition to row i costs fr[j] + i. A column not worked out
    // in that row keeps what an earlier row left, which still prices a
    // transposition that exists, only a longer one.
    fr_.assign(size, infinite);
    // Three rows, the two before the current one kept whole while it is
    // worked out; each with the columns that may hold a value of its own
    // (column 0 is always its own). Row 0's cells are their columns; the
    // rows before it hold none.
    struct Row {
        std::int32_t* cells;
        std::int32_t first, last;
    };
    rows_.resize(3 * size);
    std::fill(rows_.begin(), rows_.end(), infinite);
    Row previous_2{&rows_[1], 1, 0}, previous_1{&rows_[size + 1], 1, m}, spare{&rows_[2 * size + 1], 1, 0};
    std::iota(previous_1.cells, previous_1.cells + m + 1, 0);
    std::int32_t* fr = &fr_[1];
    // Row 0's cells are their columns: none past `beyond` is live. Column 0
    // once dead stays so (each row adds one to it and takes at most one
    // from what its tails need).
    std::int32_t first_live = 0, last_live = std::min(m, beyond);
    bool column_0_live = true;
    // No code point: the row before the first has none.
    char32_t previous = 0xFFFFFFFF;
    std::uint64_t previous_positions = 0;
    const std::uint64_t* previous_row_positions = one_word ? nullptr : positions_row(forward_positions_, previous);
    const char32_t* pattern = pattern_.data();
    // What the tails after column j of row i (its text's tail `unmatched`,
    // as the pattern's positions that its subsequence leaves out) still
    // need, from their common subsequence `common` with the pattern's tail.
    const auto live = [&](std::int32_t value, std::int32_t rest, std::int32_t j, std::int32_t common) {
        return value + std::max(rest, m - j) - common <= beyond;
    };
    // Of a row, the pattern's positions that its tail's common subsequence
    // leaves out: `unmatched` for one word, the complement of `tail` for more.
    std::uint64_t unmatched = 0;
    const std::uint64_t* tail = nullptr;
    // The common subsequence of a row's tail with the pattern's from column j on.
    const auto common_from = [m, &unmatched, &tail](std::int32_t j) {
        if constexpr (one_word) {
            return static_cast<std::int32_t>(
                count_bits(m - j >= 64 ? unmatched : unmatched & ((std::uint64_t{1} << (m - j)) - 1)));
        } else {
            const auto length = static_cast<std::size_t>(m - j);
            std::int32_t count = 0;
            for (std::size_t w = 0; w < length / 64; ++w)
                count += static_cast<std::int32_t>(count_bits(~tail[w]));
            if (length % 64 != 0)
                count += static_cast<std::int32_t>(
                    count_bits(~tail[length / 64] & ((std::uint64_t{1} << (length % 64)) - 1)));
            return count;
        }
    };
    // Whether the pattern's position m - j is left out (j >= 1).
    const auto left_out = [m, &unmatched, &tail](std::int32_t j) {
        if constexpr (one_word) {
            return static_cast<std::int32_t>((unmatched >> (m - j)) & 1);
        } else {
            const auto position = static_cast<std::size_t>(m - j);
            return static_cast<std::int32_t>((~tail[position / 64] >> (position % 64)) & 1);
        }
    };
    for (std::int32_t i = 1; i <= n; ++i) {
        if (first_live < 0) return static_cast<std::uint32_t>(beyond);
        const std::int32_t* r2 = previous_2.cells;
        const std::int32_t* r1 = previous_1.cells;
        std::int32_t* r = spare.cells;
        const char32_t c = code_point(text[static_cast<std::size_t>(i - 1)]);
        // The columns where more than the three neighbours count: those of
        // c, those just after them (a transposition with code points of the
        // text between), and those of the row before's code point (one with
        // code points of the pattern between).
        std::uint64_t positions = 0, special = 0;
        const std::uint64_t* row_positions = nullptr;
        if constexpr (one_word) {
            positions = forward_positions(c);
            special = positions | (positions << 1) | previous_positions;
            unmatched = ~tail_rows_[static_cast<std::size_t>(i)] & mask;
        } else {
            row_positions = positions_row(forward_positions_, c);
            std::uint64_t carried = 0;
            for (std::size_t w = 0; w < words; ++w) {
                special_columns_[w] = row_positions[w] | (row_positions[w] << 1) | carried | previous_row_positions[w];
                carried = row_positions[w] >> 63;
            }
            tail = &tail_rows_[static_cast<std::size_t>(i) * words];
        }
        const std::uint64_t* special_columns = special_columns_.data();
        const auto is_special = [&](std::int32_t j) __attribute__((always_inline))
        {
            if constexpr (one_word)
                return ((special >> (j - 1)) & 1) != 0;
            else {
                const auto column = static_cast<std::size_t>(j - 1);
                return ((special_columns[column / 64] >> (column % 64)) & 1) != 0;
            }
        };
        const std::int32_t rest = n - i;
        const std::int32_t from = std::max(first_live, 1), through = std::min(last_live + 1, m);
        r[0] = i;
        if (column_0_live) column_0_live = live(i, rest, 0, common_from(0));
        std::int32_t last_col_id = -1;
        std::int32_t t = infinite;
        // The cell before the first worked out is dead, unless it is column 0.
        std::int32_t left = from == 1 ? i : infinite;
        std::int32_t diagonal = r1[from - 1];
        const auto step = [&](std::int32_t j) __attribute__((always_inline))
        {
            const std::int32_t up = r1[j];
            std::int32_t value;
            if (!is_special(j)) {
                value = std::min(std::min(diagonal, left), up) + 1;
            } else {
                const char32_t p = pattern[j - 1];
                const bool same = c == p;
                value = std::min(std::min(diagonal + static_cast<std::int32_t>(!same), left + 1), up + 1);
                if (same) {
                    last_col_id = j;
                    fr[j] = r1[j - 2] - i;
                    t = r2[j - 1];
                } else if (j - last_col_id == 1) {
                    value = std::min(value, fr[j] + i);
                } else if (p == previous) {
                    value = std::min(value, t + (j - last_col_id));
                }
            }
            r[j] = value;
            diagonal = up;
            left = value;
            return value;
        };
        // Up to the column after the last live one of the row above, every
        // cell; then on while they are live.
        std::int32_t j = from;
        for (; j < through; ++j)
            step(j);
        const std::int32_t common_before_through = common_from(through - 1);
        std::int32_t common = common_before_through;
        last_live = -1;
        for (; j <= m; ++j) {
            const std::int32_t value = step(j);
            common -= left_out(j);
            if (!live(value, rest, j, common)) {
                ++j;
                break;
            }
            last_live = j;
        }
        // Columns [from, j) now hold row i. No row starts before the row
        // above, and the next two rows read no further left than two
        // columns before this one's first: those are set beyond any
        // distance (column 0 holds its own), and whatever the buffer held of
        // row i - 3 past the end is cleared.
        if (from - 1 >= 1) r[from - 1] = infinite;
        if (from - 2 >= 1) r[from - 2] = infinite;
        for (std::int32_t x = std::max(j, spare.first); x <= spare.last; ++x)
            r[x] = infinite;
        spare.first = from;
        spare.last = j - 1;
        std::swap(previous_2, spare);
        std::swap(previous_1, previous_2); // the row just worked out is now previous_1
        previous = c;
        previous_positions = positions;
        previous_row_positions = row_positions;
        // The live cells before `through`, looked for from either end.
        if (last_live < 0) {
            common = common_before_through;
            for (std::int32_t x = through - 1; x >= from; --x) {
                if (live(r[x], rest, x, common)) {
                    last_live = x;
                    break;
                }
                common += left_out(x);
            }
        }
        first_live = last_live;
        if (last_live >= 0) {
            common = common_from(from);
            for (std::int32_t x = from; x < last_live; ++x) {
                if (live(r[x], rest, x, common)) {
                    first_live = x;
                    break;
                }
                common -= left_out(x + 1);
            }
        }
        if (column_0_live) {
            first_live = 0;
            last_live = std::max(last_live, 0);
        }
    }
    if (first_live < 0 || previous_1.last < m || previous_1.cells[m] > static_cast<std::int32_t>(limit))
        return static_cast<std::uint32_t>(beyond);
    return static_cast<std::uint32_t>(previous_1.cells[m]);
}

template void DamerauPrefixPass::prefix_distances(std::string_view, std::vector<std::uint32_t>&);
template void DamerauPrefixPass::prefix_distances(std::u16string_view, std::vector<std::uint32_t>&);
template void DamerauPrefixPass::prefix_distances(std::u32string_view, std::vector<std::uint32_t>&);
template std::uint32_t DamerauPrefixPass::distance_within(std::string_view, std::uint32_t);
template std::uint32_t DamerauPrefixPass::distance_within(std::u16string_view, std::uint32_t);
template std::uint32_t DamerauPrefixPass::distance_within(std::u32string_view, std::uint32_t);

} // namespace tessarin::detail

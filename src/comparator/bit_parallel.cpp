#include "comparator/bit_parallel.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "text/ascii_vector.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#define TESSARIN_SWEEP_PAIRS 1
#else
#define TESSARIN_SWEEP_PAIRS 0
#endif

namespace tessarin::detail {
namespace {

std::size_t slot_of(char32_t c, std::size_t mask) noexcept
{
    return (static_cast<std::uint64_t>(c) * 0x9E3779B97F4A7C15ULL >> 32) & mask;
}

// One column step of one block (Myers 1999, Advance_Block). `carry` is the
// horizontal delta entering the block's first row (-1, 0 or +1); the delta
// leaving its row `last_bit` is returned.
inline int advance_block(std::uint64_t& vp, std::uint64_t& vn, std::uint64_t eq, int carry,
                         std::uint64_t last_bit) noexcept
{
    const std::uint64_t xv = eq | vn;
    if (carry < 0) eq |= 1;
    const std::uint64_t xh = (((eq & vp) + vp) ^ vp) | eq;
    std::uint64_t hp = vn | ~(xh | vp);
    std::uint64_t hn = vp & xh;
    const int out = (hp & last_bit) ? 1 : (hn & last_bit) ? -1 : 0;
    hp <<= 1;
    hn <<= 1;
    if (carry < 0)
        hn |= 1;
    else if (carry > 0)
        hp |= 1;
    vp = hn | ~(xv | hp);
    vn = hp & xv;
    return out;
}

// One block's step of a column (Hyyrö's, for one 64-row block): the
// horizontal deltas leaving the block's last row (bit `shift`) become the
// carries into the next block.
inline void advance_block_step(std::uint64_t& vp, std::uint64_t& vn, std::uint64_t eq, unsigned shift,
                               std::uint64_t& carry_p, std::uint64_t& carry_n) noexcept
{
    const std::uint64_t xv = eq | vn;
    const std::uint64_t e = eq | carry_n;
    const std::uint64_t xh = (((e & vp) + vp) ^ vp) | e;
    std::uint64_t hp = vn | ~(xh | vp);
    std::uint64_t hn = vp & xh;
    const std::uint64_t out_p = (hp >> shift) & 1, out_n = (hn >> shift) & 1;
    hp = (hp << 1) | carry_p;
    hn = (hn << 1) | carry_n;
    vp = hn | ~(xv | hp);
    vn = hp & xv;
    carry_p = out_p;
    carry_n = out_n;
}

// One column step over all blocks, the deltas carried between blocks as
// bits (the same step as advance_block, without branches). `carry_p` is 1
// when the first row grows by one per column (a fixed start), 0 for a
// search; returns the change of the last row's value.
inline int advance_column(std::uint64_t* vp, std::uint64_t* vn, const std::uint64_t* eq, std::size_t words,
                          unsigned last_shift, std::uint64_t carry_p) noexcept
{
    std::uint64_t carry_n = 0;
    for (std::size_t w = 0; w < words; ++w)
        advance_block_step(vp[w], vn[w], eq[w], w + 1 == words ? last_shift : 63, carry_p, carry_n);
    return static_cast<int>(carry_p) - static_cast<int>(carry_n);
}

} // namespace

BitParallelPattern::BitParallelPattern(std::u32string_view pattern)
    : length_(pattern.size()), words_((pattern.size() + 63) / 64), low_(256 * words_, 0), zeros_(words_, 0)
{
    std::vector<char32_t> distinct;
    for (char32_t c : pattern)
        if (c >= 256) distinct.push_back(c);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    // Rows of the code points of the Basic Multilingual Plane beyond
    // Latin-1 by pages of 256 (page 0: the page of none; row 0: no
    // positions), where they lie on a few pages; the rest by their bits, a
    // probe or two each.
    std::fill(std::begin(page_of_), std::end(page_of_), std::uint16_t{0});
    paged_ = few_pages(distinct);
    if (paged_) {
        page_rows_.assign(256, 0);
        plane_rows_.assign(words_, 0);
    }
    std::size_t beyond = 0;
    for (const char32_t c : distinct) {
        if (!paged_ || c >= 0x10000) {
            ++beyond;
            continue;
        }
        if (page_of_[c >> 8] == 0) {
            page_of_[c >> 8] = static_cast<std::uint16_t>(page_rows_.size() / 256);
            page_rows_.resize(page_rows_.size() + 256, 0);
        }
        page_rows_[std::size_t{page_of_[c >> 8]} * 256 + (c & 0xFF)] =
            static_cast<std::uint32_t>(plane_rows_.size() / words_);
        plane_rows_.resize(plane_rows_.size() + words_, 0);
    }
    if (beyond > 0) {
        std::size_t capacity = 8;
        while (capacity < 2 * beyond)
            capacity *= 2;
        keys_.assign(capacity, empty_key);
        key_bits_.assign(capacity * words_, 0);
        key_mask_ = capacity - 1;
    }

    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char32_t c = pattern[i];
        std::uint64_t* row;
        if (c < 256) {
            row = &low_[c * words_];
        } else if (c < 0x10000 && paged_) {
            row = &plane_rows_[page_rows_[std::size_t{page_of_[c >> 8]} * 256 + (c & 0xFF)] * words_];
        } else {
            std::size_t slot = slot_of(c, key_mask_);
            while (keys_[slot] != empty_key && keys_[slot] != c)
                slot = (slot + 1) & key_mask_;
            keys_[slot] = c;
            row = &key_bits_[slot * words_];
        }
        row[i / 64] |= std::uint64_t{1} << (i % 64);
    }
}

CodePointIndices::CodePointIndices(std::u32string_view pattern, bool covers_plane)
{
    // A page of indices for each page of code points that the pattern
    // holds some of.
    std::vector<char32_t> distinct(pattern.begin(), pattern.end());
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    distinct_ = static_cast<std::uint16_t>(distinct.size());
    pages_.assign(std::max<std::size_t>(distinct.back() / page_size + 2, covers_plane ? 0x10000 / page_size : 0), 0);
    indices_.assign(page_size, distinct_);
    for (const char32_t c : distinct) {
        std::uint16_t& page = pages_[c / page_size];
        if (page == 0) {
            page = static_cast<std::uint16_t>(indices_.size() / page_size);
            indices_.resize(indices_.size() + page_size, distinct_);
        }
    }
    std::uint16_t seen = 0;
    for (const char32_t c : pattern) {
        std::uint16_t& index = indices_[pages_[c / page_size] * page_size + c % page_size];
        if (index == distinct_) index = seen++;
    }
}

template <typename Char>
void BitParallelPattern::fit_to(std::u32string_view pattern, std::basic_string_view<Char> text)
{
    // Indices are counted in 16 bits. A pattern of one or two words whose
    // code points lie on many pages (ideographs) is looked up about as fast
    // in the hash, which finds most of a text's code points missing at its
    // first probe, and the row of so few words stays in registers anyway.
    if (sizeof(Char) == 1 || indices_ || text.empty() || pattern.size() >= 0xFFFF || (!paged_ && words_ < 3))
        return;
    // The share, from four runs of code points spread over the text: runs,
    // not code points spread evenly, which would each read a line of memory.
    constexpr std::size_t runs = 4, run = 256;
    std::size_t read = 0, beyond = 0;
    for (std::size_t k = 0; k < runs; ++k) {
        const std::size_t from = text.size() / runs * k, to = std::min(text.size(), from + run);
        for (std::size_t i = from; i < to; ++i)
            beyond += static_cast<std::uint32_t>(text[i]) > 0xFF;
        read += to - from;
    }
    if (16 * beyond < read) return;
    indices_.emplace(pattern, true);
    const CodePointIndices::View view = indices_->view();
    indexed_rows_.assign((std::size_t{indices_->distinct()} + 1) * words_, 0);
    for (std::size_t i = 0; i < length_; ++i)
        indexed_rows_[std::size_t{view.of(pattern[i])} * words_ + i / 64] |= std::uint64_t{1} << (i % 64);
}

bool BitParallelPattern::fits(std::u32string_view pattern)
{
    constexpr std::size_t budget = std::size_t{256} << 20; // bytes
    std::vector<char32_t> distinct;
    for (char32_t c : pattern)
        if (c >= 256) distinct.push_back(c);
    std::sort(distinct.begin(), distinct.end());
    const auto others = static_cast<std::size_t>(std::unique(distinct.begin(), distinct.end()) - distinct.begin());
    std::size_t capacity = others > 0 ? 8 : 0;
    while (capacity < 2 * others)
        capacity *= 2;
    const std::size_t words = (pattern.size() + 63) / 64;
    // The rows of Latin-1, one per other code point and its slot at most,
    // as many again by index where fitted to a text (see fit_to()), and the
    // pages of the plane's rows (256 of 256 row numbers at most).
    const std::size_t pages = 256 * 256 * sizeof(std::uint32_t) / sizeof(std::uint64_t);
    return (514 + 2 * others + capacity) * words + pages <= budget / sizeof(std::uint64_t);
}

const std::uint64_t* BitParallelPattern::beyond_plane_positions_of(char32_t c) const noexcept
{
    if (keys_.empty()) return zeros_.data();
    for (std::size_t slot = slot_of(c, key_mask_);; slot = (slot + 1) & key_mask_) {
        if (keys_[slot] == c) return &key_bits_[slot * words_];
        if (keys_[slot] == empty_key) return zeros_.data();
    }
}

template <typename Char>
void BitParallelPattern::mark_reachable_ends(std::basic_string_view<Char> text, std::size_t limit,
                                             std::vector<std::uint64_t>& reachable, Cancellation& cancel) const
{
    reachable.assign(text.size() / 64 + 1, 0);
    const std::uint64_t last_bit = std::uint64_t{1} << ((length_ - 1) % 64);
    std::size_t score = length_;
    const auto mark = [&](std::size_t end) {
        reachable[end >> 6] |= static_cast<std::uint64_t>(score <= limit) << (end & 63);
    };
    if (words_ == 1) {
        // The hot loop of a search: one word and no delta entering. Ends
        // within the limit are rare, so marking them costs a branch that is
        // almost never taken.
        std::uint64_t vp = ~std::uint64_t{0}, vn = 0;
        const std::uint64_t* low = low_.data();
        const unsigned shift = static_cast<unsigned>((length_ - 1) % 64);
        for (std::size_t j = 0; j < text.size(); ++j) {
            if (j % pass_piece == 0) cancel.poll(pass_piece);
            const char32_t c = code_point(text[j]);
            const std::uint64_t eq = c < 256 ? low[c] : *positions_of(c);
            const std::uint64_t xv = eq | vn;
            const std::uint64_t xh = (((eq & vp) + vp) ^ vp) | eq;
            std::uint64_t hp = vn | ~(xh | vp);
            std::uint64_t hn = vp & xh;
            score += static_cast<std::size_t>((hp >> shift) & 1);
            score -= static_cast<std::size_t>((hn >> shift) & 1);
            hp <<= 1;
            hn <<= 1;
            vp = hn | ~(xv | hp);
            vn = hp & xv;
            if (score <= limit) mark(j + 1);
        }
        return;
    }
    // A search starts anywhere: the first row stays 0, so no delta enters
    // the first block.
    std::vector<std::uint64_t> vp(words_, ~std::uint64_t{0}), vn(words_, 0);
    constexpr std::uint64_t high_bit = std::uint64_t{1} << 63;
    for (std::size_t j = 0; j < text.size(); ++j) {
        if (j % pass_piece == 0) cancel.poll(pass_piece * words_);
        const std::uint64_t* eq = positions_of(code_point(text[j]));
        int carry = 0;
        for (std::size_t w = 0; w < words_; ++w)
            carry = advance_block(vp[w], vn[w], eq[w], carry, w + 1 == words_ ? last_bit : high_bit);
        score += carry;
        mark(j + 1);
    }
}

template <typename Char>
void BitParallelPattern::levenshtein_prefix_distances(std::basic_string_view<Char> text, std::size_t limit,
                                                      std::vector<std::uint32_t>& distances) const
{
    const std::size_t n = text.size();
    const auto last_shift = static_cast<unsigned>((length_ - 1) % 64);
    distances.assign(n + 1, beyond);
    distances[0] = static_cast<std::uint32_t>(length_);
    if (words_ == 1) {
        // One word holds the whole column: no band to keep, but the pass
        // still ends where no longer prefix can come within the limit.
        const std::uint64_t last_bit = std::uint64_t{1} << last_shift;
        std::uint64_t vp = ~std::uint64_t{0}, vn = 0;
        auto score = static_cast<std::uint32_t>(length_);
        const std::size_t end = limit >= n ? n : std::min(n, length_ + limit);
        for (std::size_t j = 0; j < end; ++j) {
            score += advance_block(vp, vn, *positions_of(code_point(text[j])), 1, last_bit);
            distances[j + 1] = score;
        }
        return;
    }

    std::vector<std::uint64_t>& vp = vp_;
    std::vector<std::uint64_t>& vn = vn_;
    vp.assign(words_, ~std::uint64_t{0});
    vn.assign(words_, 0);
    const std::size_t end = limit >= n ? n : std::min(n, length_ + limit);
    if (2 * limit + 1 >= length_) {
        // The band spans the whole column: every block, without the band's
        // bookkeeping.
        auto score = static_cast<std::uint32_t>(length_);
        for (std::size_t j = 0; j < end; ++j) {
            score += advance_column(vp.data(), vn.data(), positions_of(code_point(text[j])), words_, last_shift, 1);
            distances[j + 1] = score;
        }
        return;
    }

    // Rows 64w + 1 .. 64w + 64 form block w (row 0 is the empty pattern
    // prefix). A cell at row i of column j can only lie on a path within the
    // limit when |i - j| <= limit, so only the blocks that meet that band
    // are stepped. Cells outside it are taken as large as they can be: a
    // dropped block's last row as growing by one per column, a newly joined
    // block as one more per row than the row above it. That can only raise
    // cells, and never one whose best path stays in the band, which every
    // path within the limit does; so every distance within the limit comes
    // out exact and every other one above the limit.
    std::vector<std::uint32_t>& scores = scores_; // each block's last row, in the current column
    scores.resize(words_);
    for (std::size_t w = 0; w < words_; ++w)
        scores[w] = static_cast<std::uint32_t>(std::min(64 * (w + 1), length_));
    std::size_t first = 0, last = std::min(words_ - 1, limit / 64);
    for (std::size_t j = 1; j <= end; ++j) {
        while (last + 1 < words_ && 64 * (last + 1) + 1 <= j + limit) {
            ++last;
            vp[last] = ~std::uint64_t{0};
            vn[last] = 0;
            scores[last] =
                scores[last - 1] + static_cast<std::uint32_t>(std::min(64 * (last + 1), length_) - 64 * last);
        }
        while (first < last && 64 * (first + 1) + limit < j)
            ++first;

        const std::uint64_t* eq = positions_of(code_point(text[j - 1]));
        std::uint64_t carry_p = 1, carry_n = 0;
        for (std::size_t w = first; w <= last; ++w) {
            advance_block_step(vp[w], vn[w], eq[w], w + 1 == words_ ? last_shift : 63, carry_p, carry_n);
            // The carries out of the block are the change of its last row.
            scores[w] = scores[w] + static_cast<std::uint32_t>(carry_p) - static_cast<std::uint32_t>(carry_n);
        }
        if (last + 1 == words_) distances[j] = scores[last];

        // Values never fall along a diagonal, so once every cell of the
        // stepped blocks exceeds the limit no later prefix can come within
        // it. A block's cells are at least its last row's value less its
        // rows that grow downward, which is cheap to check now and then.
        if ((j & 15) == 0) {
            std::int64_t least = beyond;
            for (std::size_t w = first; w <= last; ++w)
                least = std::min<std::int64_t>(least, std::int64_t{scores[w]} - std::int64_t{count_bits(vp[w])});
            if (least > static_cast<std::int64_t>(limit)) break;
        }
    }
}

template <typename Char>
void BitParallelPattern::osa_prefix_distances(std::basic_string_view<Char> text,
                                              std::vector<std::uint32_t>& distances) const
{
    distances.resize(text.size() + 1);
    const auto last_shift = static_cast<unsigned>((length_ - 1) % 64);
    auto score = static_cast<std::uint32_t>(length_);
    distances[0] = score;
    std::vector<std::uint64_t>& vp = vp_;
    std::vector<std::uint64_t>& vn = vn_;
    std::vector<std::uint64_t>& d0 = d0_;
    vp.assign(words_, ~std::uint64_t{0});
    vn.assign(words_, 0);
    d0.assign(words_, 0);
    const std::uint64_t* previous = zeros_.data(); // the positions of the code point before
    for (std::size_t j = 0; j < text.size(); ++j) {
        const std::uint64_t* eq = positions_of(code_point(text[j]));
        std::uint64_t carry_p = 1, carry_n = 0;
        std::uint64_t d0_below = 0, eq_below = 0; // the previous word's D0 (last column) and positions
        for (std::size_t w = 0; w < words_; ++w) {
            const unsigned shift = w + 1 == words_ ? last_shift : 63;
            // A transposition: this code point matched one row up where the
            // one before did not, and the one before matches here.
            const std::uint64_t transposed =
                ((((~d0[w]) & eq[w]) << 1) | (((~d0_below) & eq_below) >> 63)) & previous[w];
            d0_below = d0[w];
            eq_below = eq[w];
            const std::uint64_t x = eq[w] | carry_n;
            const std::uint64_t d = (((x & vp[w]) + vp[w]) ^ vp[w]) | x | vn[w] | transposed;
            std::uint64_t hp = vn[w] | ~(d | vp[w]);
            std::uint64_t hn = d & vp[w];
            const std::uint64_t out_p = (hp >> shift) & 1, out_n = (hn >> shift) & 1;
            hp = (hp << 1) | carry_p;
            hn = (hn << 1) | carry_n;
            vp[w] = hn | ~(d | hp);
            vn[w] = hp & d;
            d0[w] = d;
            carry_p = out_p;
            carry_n = out_n;
        }
        score = score + static_cast<std::uint32_t>(carry_p) - static_cast<std::uint32_t>(carry_n);
        distances[j + 1] = score;
        previous = eq;
    }
}

// An unrestricted transposition of the pattern's code points a, b at
// columns l < j with the text's b, a at rows k < i costs the cell before the
// pair plus one, plus an edit for each code point between either pair.
// With none between on either side it is optimal string alignment's, and
// with some between on both, no cheaper than substituting and inserting or
// deleting through. With code points between in the text only (l = j - 1),
// it costs at least one more than either cell of row i - 2 at columns
// j - 2 and j - 1, which the rows between could have been deleted to; with
// code points between in the pattern only (k = i - 1), one more than either
// cell of column j - 2 at rows i - 2 and i - 1. So the distance stays at or
// above that of the pass that takes the restricted step (one more than the
// cell two rows and two columns up) wherever either may end, where that
// cell is not the larger of the two: two diagonal steps cost no more where
// it is. The step is taken where the text's code point is the pattern's one
// column to the left and the pattern's code point is the row above's or
// occurs in the text before it, and where the row above's code point is the
// pattern's and this row's occurs in the pattern two columns left or
// further. It adds no other path, so the pass keeps every property that
// optimal string alignment's steps rely on.
template <typename Char> std::uint32_t BitParallelPattern::damerau_floor(std::basic_string_view<Char> text) const
{
    std::uint64_t vp = ~std::uint64_t{0}, vn = 0, d0 = 0;
    // Two rows up, the columns one more than the column before; one row up,
    // those one more than the row above.
    std::uint64_t vp_2 = ~std::uint64_t{0}, hp_1 = 0;
    // The positions of the row above's code point, and of every code point before it.
    std::uint64_t previous = 0, seen = 0;
    for (const Char unit : text) {
        const std::uint64_t eq = one_word_positions_of(code_point(unit));
        // Two columns past the code point's first position in the pattern, and on.
        const std::uint64_t past_first = (eq << 2) | (std::uint64_t{0} - (eq << 2));
        const std::uint64_t ends = ((eq << 1) & (previous | (seen & ~(vp_2 << 1)))) |
                                   (previous & past_first & ~(hp_1 << 2));
        // A transposition that helps leaves the diagonal as a match does,
        // and so carries on down the column as a match's would.
        const std::uint64_t x = eq | (((~d0) << 1) & ends);
        const std::uint64_t d = (((x & vp) + vp) ^ vp) | x | vn;
        hp_1 = vn | ~(d | vp);
        const std::uint64_t hp = hp_1 << 1 | 1, hn = (d & vp) << 1;
        vp_2 = vp;
        vp = hn | ~(d | hp);
        vn = hp & d;
        d0 = d;
        seen |= previous;
        previous = eq;
    }
    // The whole text against the pattern's prefixes: its length against
    // none, and each position's step on from there.
    const std::uint64_t positions = length_ >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << length_) - 1;
    return static_cast<std::uint32_t>(text.size() + count_bits(vp & positions) - count_bits(vn & positions));
}

template <typename Char>
void BitParallelPattern::lcs_prefix_lengths(std::basic_string_view<Char> text,
                                            std::vector<std::uint32_t>& lengths) const
{
    lengths.resize(text.size() + 1);
    lengths[0] = 0;
    // Bits set in the row mark pattern positions not yet matched; the ones
    // beyond the pattern in the last word are left out of the count.
    std::vector<std::uint64_t>& row = vp_;
    row.assign(words_, ~std::uint64_t{0});
    const unsigned tail = static_cast<unsigned>(length_ % 64);
    const std::uint64_t last_mask = tail == 0 ? ~std::uint64_t{0} : (std::uint64_t{1} << tail) - 1;
    for (std::size_t j = 0; j < text.size(); ++j) {
        const std::uint64_t* eq = positions_of(code_point(text[j]));
        std::uint64_t carry = 0;
        std::uint32_t common = 0;
        for (std::size_t w = 0; w < words_; ++w) {
            const std::uint64_t s = row[w], u = s & eq[w];
            const std::uint64_t sum = s + u + carry;
            carry = (sum < s) || (carry && sum == s);
            row[w] = sum | (s - u);
            const std::uint64_t matched = ~row[w] & (w + 1 == words_ ? last_mask : ~std::uint64_t{0});
            common += static_cast<std::uint32_t>(count_bits(matched));
        }
        lengths[j + 1] = common;
    }
}

namespace {

using Stretch = BitParallelPattern::Stretch;

// Which stretches of a sweep are open at a code point: a run [ended,
// begun) of them, as both their firsts and their lasts ascend. A row is set
// when its stretch begins and read when it ends, so the rows beside the run
// may be stepped with it, unread, and the rows go whole vectors at a time.
struct OpenStretches {
    Stretch* stretches;
    std::size_t count;
    std::uint64_t last_mask; // the pattern's bits in a row's last word
    std::size_t begun = 0, ended = 0;
    std::uint64_t next_event; // where a stretch begins or ends next

    OpenStretches(Stretch* stretches, std::size_t count, std::uint64_t last_mask)
        : stretches(stretches), count(count), last_mask(last_mask), next_event(stretches[0].first)
    {
    }

    // Begins and ends, in rows of one word, the stretches due at
    // `position`; false once every one has ended.
    [[gnu::always_inline]] bool move_to(std::uint64_t position, std::uint64_t* rows) noexcept
    {
        // In locals: the stores to the rows could alias the members for
        // the compiler.
        std::size_t first_open = ended, first_unopened = begun;
        const Stretch* const all = stretches;
        const std::size_t total = count;
        for (; first_unopened < total && all[first_unopened].first == position; ++first_unopened)
            rows[first_unopened] = ~std::uint64_t{0};
        for (; first_open < first_unopened && all[first_open].last == position; ++first_open)
            stretches[first_open].common = static_cast<std::uint32_t>(count_bits(~rows[first_open] & last_mask));
        begun = first_unopened;
        ended = first_open;
        if (first_open == total) return false;
        next_event = all[first_open].last;
        if (first_unopened < total) next_event = std::min(next_event, all[first_unopened].first);
        return true;
    }
};

// The sweep's walk over the text: for each code point, its positions in a
// pattern of one word, handed to `step` with the run of rows open there
// (from `ended` to `begun`).
template <typename Char, typename Step>
[[gnu::always_inline]] inline void sweep_rows(const BitParallelPattern& pattern, std::basic_string_view<Char> text,
                                              OpenStretches& open, std::uint64_t* rows, Step&& step)
{
    const std::uint64_t* low = pattern.low_rows();
    for (std::uint64_t position = open.next_event, next_event = position;; ++position) {
        if (position == next_event) {
            if (!open.move_to(position, rows)) return;
            next_event = open.next_event;
        }
        const char32_t c = code_point(text[position]);
        // The run in locals: the rows' stores could alias it for the compiler.
        step(c < 256 ? low[c] : *pattern.positions_of(c), open.ended, open.begun);
    }
}

// The sweep of a pattern of one word, its rows stepped two to a vector.
template <typename Char>
void sweep_one_word(const BitParallelPattern& pattern, std::basic_string_view<Char> text, OpenStretches& open,
                    std::uint64_t* rows)
{
    sweep_rows(pattern, text, open, rows, [rows](std::uint64_t eq, std::size_t ended, std::size_t begun) {
#if TESSARIN_SWEEP_PAIRS
        const __m128i eqs = _mm_set1_epi64x(static_cast<long long>(eq));
        for (std::size_t s = ended & ~std::size_t{1}; s < begun; s += 2) {
            __m128i* pair = reinterpret_cast<__m128i*>(rows + s);
            const __m128i r = _mm_loadu_si128(pair), u = _mm_and_si128(r, eqs);
            _mm_storeu_si128(pair, _mm_or_si128(_mm_add_epi64(r, u), _mm_sub_epi64(r, u)));
        }
#else
        for (std::size_t s = ended; s < begun; ++s) {
            const std::uint64_t u = rows[s] & eq;
            rows[s] = (rows[s] + u) | (rows[s] - u);
        }
#endif
    });
}

#if TESSARIN_AVX2
// The same, four rows to a vector.
template <typename Char>
__attribute__((target("avx2"))) void sweep_one_word_avx2(const BitParallelPattern& pattern,
                                                         std::basic_string_view<Char> text, OpenStretches& open,
                                                         std::uint64_t* rows)
{
    sweep_rows(pattern, text, open, rows,
               [rows](std::uint64_t eq, std::size_t ended, std::size_t begun) __attribute__((target("avx2"))) {
                   const __m256i eqs = _mm256_set1_epi64x(static_cast<long long>(eq));
                   for (std::size_t s = ended & ~std::size_t{3}; s < begun; s += 4) {
                       __m256i* four = reinterpret_cast<__m256i*>(rows + s);
                       const __m256i r = _mm256_loadu_si256(four), u = _mm256_and_si256(r, eqs);
                       _mm256_storeu_si256(four, _mm256_or_si256(_mm256_add_epi64(r, u), _mm256_sub_epi64(r, u)));
                   }
               });
}

// How many stretches are open at once while the first one is: token
// windows keep about as many open throughout, so a sweep whose rows stay
// in registers is tried with that many slots first.
std::size_t open_with_first(const Stretch* stretches, std::size_t count) noexcept
{
    std::size_t open = 1;
    while (open < count && stretches[open].first < stretches[0].last)
        ++open;
    return open;
}

// The most stretches open at once (a stretch is open from its first up to
// its last, and those that end at a position end before those that begin
// there begin).
std::size_t most_open(const Stretch* stretches, std::size_t count) noexcept
{
    std::size_t most = 1;
    for (std::size_t i = 0, j = 1; i < count; ++i) {
        j = std::max(j, i + 1);
        while (j < count && stretches[j].first < stretches[i].last)
            ++j;
        most = std::max(most, j - i);
    }
    return most;
}

// For each of up to 16 slots, its lane set and no other, in rows of
// whole vectors: what a stretch that begins in the slot ORs into them.
struct BeginMasks {
    alignas(32) std::uint64_t of[16][16];
    constexpr BeginMasks() : of{}
    {
        for (std::size_t slot = 0; slot < 16; ++slot)
            of[slot][slot] = ~std::uint64_t{0};
    }
};
constexpr BeginMasks begin_masks{};

// The sweep where four times `vectors` slots hold every stretch open at
// once, the stretch of index i in slot i modulo their number: the rows
// stay in registers, so that a code point costs a lookup and a few steps
// of whole vectors, with no loads or stores, and the rows go through
// memory only where stretches end. The stretches are taken by their ends,
// each after those that begin before it ends (those that begin where it
// ends, after it), so that each event costs a compare or two. False,
// with the stretches' counts not all written, where more stretches than
// that are open at once. Token windows of a dozen tokens or fewer are
// swept here.
template <std::size_t vectors, typename Char>
__attribute__((target("avx2,popcnt"))) bool sweep_in_registers_avx2(const BitParallelPattern& pattern,
                                                                    std::basic_string_view<Char> text,
                                                                    Stretch* stretches, std::size_t count,
                                                                    std::uint64_t last_mask)
{
    constexpr std::size_t slots = 4 * vectors;
    alignas(32) std::uint64_t rows[slots];
    __m256i row[vectors];
    for (std::size_t v = 0; v < vectors; ++v)
        row[v] = _mm256_set1_epi64x(-1);
    const std::uint64_t* low = pattern.low_rows();
    std::size_t begun = 0, begin_slot = 0, end_slot = 0;
    std::uint64_t position = stretches[0].first;
    const auto step_to = [&](std::uint64_t next) __attribute__((always_inline, target("avx2"))) {
        for (; position < next; ++position) {
            const char32_t c = code_point(text[position]);
            const __m256i eq = _mm256_set1_epi64x(static_cast<long long>(c < 256 ? low[c] : *pattern.positions_of(c)));
            for (std::size_t v = 0; v < vectors; ++v) {
                const __m256i u = _mm256_and_si256(row[v], eq);
                row[v] = _mm256_or_si256(_mm256_add_epi64(row[v], u), _mm256_sub_epi64(row[v], u));
            }
        }
    };
    for (std::size_t ended = 0; ended < count; ++ended) {
        const std::uint64_t last = stretches[ended].last;
        for (; begun < count && stretches[begun].first < last; ++begun) {
            // Nothing open: on to where it begins.
            if (begun == ended)
                position = stretches[begun].first;
            else
                step_to(stretches[begun].first);
            if (begun - ended == slots) return false; // its slot still holds an open stretch
            const std::uint64_t* mask = begin_masks.of[begin_slot];
            for (std::size_t v = 0; v < vectors; ++v)
                row[v] = _mm256_or_si256(row[v], _mm256_load_si256(reinterpret_cast<const __m256i*>(mask + 4 * v)));
            begin_slot = begin_slot + 1 == slots ? 0 : begin_slot + 1;
        }
        if (begun == ended) {
            // Empty (it begins where it ends, with nothing open).
            stretches[ended].common = 0;
            ++begun;
            begin_slot = begin_slot + 1 == slots ? 0 : begin_slot + 1;
        } else {
            step_to(last);
            for (std::size_t v = 0; v < vectors; ++v)
                _mm256_store_si256(reinterpret_cast<__m256i*>(rows + 4 * v), row[v]);
            stretches[ended].common = static_cast<std::uint32_t>(_mm_popcnt_u64(~rows[end_slot] & last_mask));
        }
        end_slot = end_slot + 1 == slots ? 0 : end_slot + 1;
    }
    return true;
}

// The sweep in registers for `slots` slots, rounded up to whole vectors;
// false where that is more than it keeps or too few.
template <typename Char>
bool sweep_in_registers(const BitParallelPattern& pattern, std::basic_string_view<Char> text, Stretch* stretches,
                        std::size_t count, std::uint64_t last_mask, std::size_t slots)
{
    switch ((slots + 3) / 4) {
    case 0:
    case 1: return sweep_in_registers_avx2<1>(pattern, text, stretches, count, last_mask);
    case 2: return sweep_in_registers_avx2<2>(pattern, text, stretches, count, last_mask);
    case 3: return sweep_in_registers_avx2<3>(pattern, text, stretches, count, last_mask);
    case 4: return sweep_in_registers_avx2<4>(pattern, text, stretches, count, last_mask);
    default: return false;
    }
}
#endif

} // namespace

template <typename Char>
void BitParallelPattern::lcs_of_stretches(std::basic_string_view<Char> text, Stretch* stretches, std::size_t count,
                                          bool widest) const
{
    if (count == 0) return;
    const unsigned tail = static_cast<unsigned>(length_ % 64);
    const std::uint64_t last_mask = tail == 0 ? ~std::uint64_t{0} : (std::uint64_t{1} << tail) - 1;
#if TESSARIN_AVX2
    if (widest && has_avx2()) {
        // Tried with as many slots as are open with the first stretch, and
        // where more are open later, with as many as are ever open.
        const std::size_t guess = open_with_first(stretches, count);
        if (guess <= 16 && sweep_in_registers(*this, text, stretches, count, last_mask, guess)) return;
        const std::size_t most = most_open(stretches, count);
        if (most <= 16 && (most + 3) / 4 > (guess + 3) / 4 &&
            sweep_in_registers(*this, text, stretches, count, last_mask, most))
            return;
    }
#endif
    // The rows of the stretches, by stretch: bits set mark pattern positions
    // not matched yet; room for the vectors that reach past the last.
    std::vector<std::uint64_t>& rows = vp_;
    rows.resize(count + 4);
    OpenStretches open(stretches, count, last_mask);
#if TESSARIN_AVX2
    if (widest && has_avx2()) {
        sweep_one_word_avx2(*this, text, open, rows.data());
        return;
    }
#endif
    sweep_one_word(*this, text, open, rows.data());
}

SemiGlobalPass::SemiGlobalPass(const BitParallelPattern& pattern, bool transpositions)
    : pattern_(pattern), transpositions_(transpositions)
{
    restart(0);
}

void SemiGlobalPass::restart(std::size_t from, bool anchored)
{
    // The column of an empty text: row i is i away from it. A search keeps
    // the first row at 0; anchored, it grows by one per code point.
    top_ = anchored ? 1 : 0;
    position_ = from;
    score_ = static_cast<std::uint32_t>(pattern_.pattern_length());
    vp_ = ~std::uint64_t{0};
    vn_ = d0_ = 0;
    previous_ = pattern_.no_positions(); // no code point before: no transposition yet
    previous_word_ = 0;
    if (pattern_.words() > 1) {
        vps_.assign(pattern_.words(), ~std::uint64_t{0});
        vns_.assign(pattern_.words(), 0);
        d0s_.assign(pattern_.words(), 0);
    }
}

template <bool Transpositions, bool Anchored, bool Counted, typename Char>
inline std::uint32_t SemiGlobalPass::one_word_read(const Char* text, std::size_t end)
{
    // The last row's step is read through a mask: a shift by a count that is
    // not a constant costs more on many processors.
    const std::uint64_t last = std::uint64_t{1} << (pattern_.pattern_length() - 1);
    // The rows of the pattern; the bits above them never reach these.
    const std::uint64_t rows = last | (last - 1);
    std::uint64_t vp = vp_, vn = vn_, d0 = d0_, previous = previous_word_;
    std::uint32_t score = score_;
    if constexpr (!Counted) {
        score += static_cast<std::uint32_t>(Anchored ? end - position_ : 0);
        score -= count_bits(vp & rows) - count_bits(vn & rows);
    }
    const std::uint64_t* low = pattern_.low_rows();
    for (std::size_t position = position_; position < end; ++position) {
        const char32_t c = code_point(text[position]);
        const std::uint64_t eq = c < 256 ? low[c] : *pattern_.positions_of(c);
        std::uint64_t d = (((eq & vp) + vp) ^ vp) | eq | vn;
        if constexpr (Transpositions) d |= ((~d0 & eq) << 1) & previous;
        std::uint64_t hp = vn | ~(d | vp);
        std::uint64_t hn = d & vp;
        if constexpr (Counted)
            score += static_cast<std::uint32_t>((hp & last) != 0) - static_cast<std::uint32_t>((hn & last) != 0);
        hp = (hp << 1) | static_cast<std::uint64_t>(Anchored);
        hn <<= 1;
        vp = hn | ~(d | hp);
        vn = hp & d;
        if constexpr (Transpositions) {
            d0 = d;
            previous = eq;
        }
    }
    if constexpr (!Counted) score += count_bits(vp & rows) - count_bits(vn & rows);
    vp_ = vp;
    vn_ = vn;
    d0_ = d0;
    previous_word_ = previous;
    score_ = score;
    position_ = std::max(position_, end);
    return score;
}

template <bool Transpositions, bool Anchored, typename Char>
inline std::uint32_t SemiGlobalPass::one_word_at(const Char* text, std::size_t end)
{
    // A long read, such as a window's own distance, keeps no count as it
    // goes: the last row is the first row plus the column's steps down, so
    // it moves by as much as the first row did and the steps' sum did.
    return end >= position_ + 16 ? one_word_read<Transpositions, Anchored, false>(text, end)
                                 : one_word_read<Transpositions, Anchored, true>(text, end);
}

// The pass of at() for a pattern of two words (65 to 128 code points, a
// phrase of a dozen words), its column kept in registers: word 0 takes
// what enters from above, word 1 what word 0 hands on.
template <bool Transpositions, bool Counted, typename Char>
inline std::uint32_t SemiGlobalPass::two_words_read(const Char* text, std::size_t end)
{
    const std::uint64_t last = std::uint64_t{1} << ((pattern_.pattern_length() - 1) % 64);
    const std::uint64_t rows = last | (last - 1); // of word 1
    std::uint64_t vp0 = vps_[0], vp1 = vps_[1], vn0 = vns_[0], vn1 = vns_[1], d00 = d0s_[0], d01 = d0s_[1];
    const std::uint64_t* previous = previous_;
    const std::uint64_t top = top_;
    std::uint32_t score = score_;
    // The sum of the column's steps down (bits above the pattern's rows left out).
    if constexpr (!Counted)
        score += static_cast<std::uint32_t>(top * (end - position_)) -
                 (count_bits(vp0) + count_bits(vp1 & rows) - count_bits(vn0) - count_bits(vn1 & rows));
    const std::uint64_t* low = pattern_.low_rows();
    for (std::size_t position = position_; position < end; ++position) {
        const char32_t c = code_point(text[position]);
        const std::uint64_t* eq = c < 256 ? low + 2 * c : pattern_.positions_of(c);
        const std::uint64_t eq0 = eq[0], eq1 = eq[1];
        std::uint64_t d = (((eq0 & vp0) + vp0) ^ vp0) | eq0 | vn0;
        if constexpr (Transpositions) d |= ((~d00 & eq0) << 1) & previous[0];
        std::uint64_t hp = vn0 | ~(d | vp0), hn = d & vp0;
        const std::uint64_t out_p = hp >> 63, out_n = hn >> 63;
        hp = (hp << 1) | top;
        hn <<= 1;
        vp0 = hn | ~(d | hp);
        vn0 = hp & d;
        const std::uint64_t d0_below = d00;
        d00 = d;
        const std::uint64_t x = eq1 | out_n;
        d = (((x & vp1) + vp1) ^ vp1) | x | vn1;
        if constexpr (Transpositions) d |= (((~d01 & eq1) << 1) | ((~d0_below & eq0) >> 63)) & previous[1];
        hp = vn1 | ~(d | vp1);
        hn = d & vp1;
        if constexpr (Counted)
            score += static_cast<std::uint32_t>((hp & last) != 0) - static_cast<std::uint32_t>((hn & last) != 0);
        hp = (hp << 1) | out_p;
        hn = (hn << 1) | out_n;
        vp1 = hn | ~(d | hp);
        vn1 = hp & d;
        d01 = d;
        previous = eq;
    }
    if constexpr (!Counted) score += count_bits(vp0) + count_bits(vp1 & rows) - count_bits(vn0) - count_bits(vn1 & rows);
    vps_[0] = vp0;
    vps_[1] = vp1;
    vns_[0] = vn0;
    vns_[1] = vn1;
    d0s_[0] = d00;
    d0s_[1] = d01;
    previous_ = previous;
    score_ = score;
    position_ = std::max(position_, end);
    return score_;
}

template <bool Transpositions, typename Char>
inline std::uint32_t SemiGlobalPass::two_words_at(const Char* text, std::size_t end)
{
    // Counted only once for a long read, as one_word_at() does.
    return end >= position_ + 16 ? two_words_read<Transpositions, false>(text, end)
                                 : two_words_read<Transpositions, true>(text, end);
}

template <typename Char> std::uint32_t SemiGlobalPass::at(std::basic_string_view<Char> text, std::size_t end)
{
    const std::size_t words = pattern_.words();
    const auto last_shift = static_cast<unsigned>((pattern_.pattern_length() - 1) % 64);
    if (words == 1) {
        if (top_ != 0)
            return transpositions_ ? one_word_at<true, true>(text.data(), end)
                                   : one_word_at<false, true>(text.data(), end);
        return transpositions_ ? one_word_at<true, false>(text.data(), end)
                               : one_word_at<false, false>(text.data(), end);
    }
    if (words == 2)
        return transpositions_ ? two_words_at<true>(text.data(), end) : two_words_at<false>(text.data(), end);
    for (; position_ < end; ++position_) {
        const std::uint64_t* eq = pattern_.positions_of(code_point(text[position_]));
        std::uint64_t carry_p = top_, carry_n = 0;
        std::uint64_t d0_below = 0, eq_below = 0; // the previous word's D0 (last column) and positions
        for (std::size_t w = 0; w < words; ++w) {
            const unsigned shift = w + 1 == words ? last_shift : 63;
            const std::uint64_t x = eq[w] | carry_n;
            std::uint64_t d = (((x & vps_[w]) + vps_[w]) ^ vps_[w]) | x | vns_[w];
            if (transpositions_) d |= ((((~d0s_[w]) & eq[w]) << 1) | (((~d0_below) & eq_below) >> 63)) & previous_[w];
            d0_below = d0s_[w];
            eq_below = eq[w];
            std::uint64_t hp = vns_[w] | ~(d | vps_[w]);
            std::uint64_t hn = d & vps_[w];
            const std::uint64_t out_p = (hp >> shift) & 1, out_n = (hn >> shift) & 1;
            hp = (hp << 1) | carry_p;
            hn = (hn << 1) | carry_n;
            vps_[w] = hn | ~(d | hp);
            vns_[w] = hp & d;
            d0s_[w] = d;
            carry_p = out_p;
            carry_n = out_n;
        }
        score_ = score_ + static_cast<std::uint32_t>(carry_p) - static_cast<std::uint32_t>(carry_n);
        previous_ = eq;
    }
    return score_;
}

namespace {

// Four 64-bit words, one a lane, stepped by the compiler's vector extension:
// two SSE2 vectors, or one AVX2 vector where the function is built for it.
typedef std::uint64_t LaneWords __attribute__((vector_size(32)));
typedef std::uint32_t LaneHalves __attribute__((vector_size(32)));

// Stores the low halves of the lanes' words: one permutation with AVX2
// (a conversion costs a dozen instructions).
[[gnu::always_inline]] inline void store_low_halves(const LaneWords& words, std::uint32_t* out) noexcept
{
    const LaneHalves halves = (LaneHalves)words; // the same bits
#if defined(__clang__)
    const LaneHalves picked = __builtin_shufflevector(halves, halves, 0, 2, 4, 6, 0, 2, 4, 6);
#else
    const LaneHalves picked = __builtin_shuffle(halves, LaneHalves{0, 2, 4, 6, 0, 2, 4, 6});
#endif
    std::memcpy(out, &picked, SearchLanes::lanes * sizeof *out);
}

// The positions in the pattern of the code point a lane reads, for a
// pattern of `Words` words: a constant, where the pattern's count would be
// read again at every step (the values stored may, for all the compiler
// knows, be the pattern's).
template <std::size_t Words, typename Char>
[[gnu::always_inline]] inline const std::uint64_t* lane_positions(const BitParallelPattern& pattern,
                                                                  const std::uint64_t* low, Char unit) noexcept
{
    const char32_t c = code_point(unit);
    return c < 256 ? low + Words * c : pattern.positions_of(c);
}

// The passes of SemiGlobalPass::at(), four side by side, each reading
// `steps` code points from its own start (anchored there, where `Anchored`
// says so); the value of lane k after step t goes to values[4 t + k]. The
// steps are those of one_word_at() and two_words_at(), a word of each lane
// in a vector.
template <bool Transpositions, std::size_t Words, bool Anchored, typename Char>
[[gnu::always_inline]] inline void step_lanes(const BitParallelPattern& pattern, const Char* const* starts,
                                              std::size_t steps, std::uint32_t* values) noexcept
{
    static_assert(SearchLanes::lanes == 4, "a vector holds four lanes");
    const unsigned last_shift = static_cast<unsigned>((pattern.pattern_length() - 1) % 64);
    const std::uint64_t* low = pattern.low_rows();
    const Char *a = starts[0], *b = starts[1], *c = starts[2], *d = starts[3];
    const LaneWords ones = ~LaneWords{}, one = LaneWords{} + 1;
    LaneWords vp0 = ones, vn0{}, d00{}, previous0{}, vp1 = ones, vn1{}, d01{}, previous1{};
    LaneWords score = LaneWords{} + pattern.pattern_length();
    // What enters the column from above: anchored, the first row grows by
    // one per code point.
    const LaneWords top = Anchored ? one : LaneWords{};
    for (std::size_t t = 0; t < steps; ++t) {
        const std::uint64_t *ea = lane_positions<Words>(pattern, low, a[t]),
                            *eb = lane_positions<Words>(pattern, low, b[t]),
                            *ec = lane_positions<Words>(pattern, low, c[t]),
                            *ed = lane_positions<Words>(pattern, low, d[t]);
        const LaneWords eq0{ea[0], eb[0], ec[0], ed[0]};
        LaneWords x = (((eq0 & vp0) + vp0) ^ vp0) | eq0 | vn0;
        if constexpr (Transpositions) x |= ((~d00 & eq0) << 1) & previous0;
        LaneWords hp = vn0 | ~(x | vp0), hn = x & vp0;
        if constexpr (Words == 1) {
            score += ((hp >> last_shift) & one) - ((hn >> last_shift) & one);
            hp = (hp << 1) | top;
            hn <<= 1;
            vp0 = hn | ~(x | hp);
            vn0 = hp & x;
            if constexpr (Transpositions) {
                d00 = x;
                previous0 = eq0;
            }
        } else {
            const LaneWords eq1{ea[1], eb[1], ec[1], ed[1]};
            const LaneWords out_p = hp >> 63, out_n = hn >> 63;
            hp = (hp << 1) | top;
            hn <<= 1;
            vp0 = hn | ~(x | hp);
            vn0 = hp & x;
            const LaneWords d0_below = d00;
            if constexpr (Transpositions) d00 = x;
            const LaneWords y = eq1 | out_n;
            x = (((y & vp1) + vp1) ^ vp1) | y | vn1;
            if constexpr (Transpositions)
                x |= (((~d01 & eq1) << 1) | ((~d0_below & eq0) >> 63)) & previous1;
            hp = vn1 | ~(x | vp1);
            hn = x & vp1;
            score += ((hp >> last_shift) & one) - ((hn >> last_shift) & one);
            hp = (hp << 1) | out_p;
            hn = (hn << 1) | out_n;
            vp1 = hn | ~(x | hp);
            vn1 = hp & x;
            if constexpr (Transpositions) {
                d01 = x;
                previous0 = eq0;
                previous1 = eq1;
            }
        }
        store_low_halves(score, values + SearchLanes::lanes * t);
    }
}

template <bool Transpositions, std::size_t Words, bool Anchored, typename Char>
void step_lanes_plain(const BitParallelPattern& pattern, const Char* const* starts, std::size_t steps,
                      std::uint32_t* values)
{
    step_lanes<Transpositions, Words, Anchored>(pattern, starts, steps, values);
}

#if TESSARIN_AVX2
template <bool Transpositions, std::size_t Words, bool Anchored, typename Char>
__attribute__((target("avx2"))) void step_lanes_avx2(const BitParallelPattern& pattern, const Char* const* starts,
                                                     std::size_t steps, std::uint32_t* values)
{
    step_lanes<Transpositions, Words, Anchored>(pattern, starts, steps, values);
}
#endif

template <bool Transpositions, std::size_t Words, bool Anchored = false, typename Char>
void step_lanes_of(const BitParallelPattern& pattern, const Char* const* starts, std::size_t steps,
                   std::uint32_t* values, bool widest)
{
#if TESSARIN_AVX2
    if (widest && has_avx2()) return step_lanes_avx2<Transpositions, Words, Anchored>(pattern, starts, steps, values);
#endif
    (void)widest;
    step_lanes_plain<Transpositions, Words, Anchored>(pattern, starts, steps, values);
}

// step_lanes_of() for the pattern's words and whether transpositions count.
template <bool Anchored, typename Char>
void step_lanes_for(const BitParallelPattern& pattern, bool transpositions, const Char* const* starts,
                    std::size_t steps, std::uint32_t* values, bool widest)
{
    if (pattern.words() == 1)
        transpositions ? step_lanes_of<true, 1, Anchored>(pattern, starts, steps, values, widest)
                       : step_lanes_of<false, 1, Anchored>(pattern, starts, steps, values, widest);
    else
        transpositions ? step_lanes_of<true, 2, Anchored>(pattern, starts, steps, values, widest)
                       : step_lanes_of<false, 2, Anchored>(pattern, starts, steps, values, widest);
}

} // namespace

SearchLanes::SearchLanes(const BitParallelPattern& pattern, bool transpositions, std::size_t reach, bool widest)
    : pattern_(pattern), transpositions_(transpositions), widest_(widest), reach_(reach)
{
}

template <typename Char> bool SearchLanes::cover(std::basic_string_view<Char> text, std::size_t from)
{
    lane_ = 0;
    if (from >= text.size()) return false;
    // A lane shorter than the reach would read more before its ends than
    // it covers.
    const std::size_t lane = std::min(longest_lane, (text.size() - from) / lanes);
    if (lane < std::max(reach_, shortest_lane)) return false;
    // Each pass reads `steps` code points: the first from the text's start
    // where that lies within the reach of its first end (no further than
    // the end of the lanes, as a lane is at least the reach).
    const std::size_t steps = lane + reach_;
    const Char* starts[lanes];
    for (std::size_t k = 0; k < lanes; ++k) {
        const std::size_t first_end = from + k * lane;
        begins_[k] = first_end > reach_ ? first_end - reach_ : 0;
        starts[k] = text.data() + begins_[k];
    }
    from_ = from;
    lane_ = lane;
    if (steps * lanes > capacity_) {
        // Every value read is written first.
        capacity_ = steps * lanes;
        values_.reset(new std::uint32_t[capacity_]);
    }
    step_lanes_for<false>(pattern_, transpositions_, starts, steps, values_.get(), widest_);
    if (!end_values_.empty()) keep_values(from);
    return true;
}

void SearchLanes::keep_values(std::size_t from) noexcept
{
    // Lane k's step s is its end begins_[k] + s + 1. Each lane keeps the
    // steps of its own ends, past where its pass began: an end at or
    // before that keeps what it had.
    std::size_t first_step[lanes], last_step[lanes];
    std::size_t common_first = 0, common_last = static_cast<std::size_t>(-1);
    for (std::size_t k = 0; k < lanes; ++k) {
        const std::size_t lowest = std::max(from + k * lane_, begins_[k] + 1);
        const std::size_t beyond = k + 1 == lanes ? covered_to() + 1 : from + (k + 1) * lane_;
        first_step[k] = lowest - begins_[k] - 1;
        last_step[k] = std::max(beyond, lowest) - begins_[k] - 1;
        common_first = std::max(common_first, first_step[k]);
        common_last = std::min(common_last, last_step[k]);
    }
    const std::uint32_t* values = values_.get();
    std::uint8_t* kept = end_values_.data();
    const auto keep_one = [&](std::size_t k, std::size_t step) {
        kept[begins_[k] + step + 1] = static_cast<std::uint8_t>(std::min<std::uint32_t>(values[step * lanes + k], 255));
    };
    std::size_t step = common_first;
#if defined(__SSE2__)
    // Four steps of the four lanes at a time, where every lane keeps them.
    // Values stay far below 2^15, so the signed narrowing to 16 bits loses
    // nothing before the one to bytes saturates at 255.
    for (; step + 4 <= common_last; step += 4) {
        const auto* four = reinterpret_cast<const __m128i*>(values + step * lanes);
        const __m128i by_step = _mm_packus_epi16(_mm_packs_epi32(_mm_loadu_si128(four), _mm_loadu_si128(four + 1)),
                                                 _mm_packs_epi32(_mm_loadu_si128(four + 2), _mm_loadu_si128(four + 3)));
        const __m128i paired = _mm_unpacklo_epi8(by_step, _mm_srli_si128(by_step, 8));
        const __m128i by_lane = _mm_unpacklo_epi8(paired, _mm_srli_si128(paired, 8));
        alignas(16) std::uint8_t bytes[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(bytes), by_lane);
        for (std::size_t k = 0; k < lanes; ++k)
            std::memcpy(kept + begins_[k] + step + 1, bytes + 4 * k, 4);
    }
#endif
    for (std::size_t k = 0; k < lanes; ++k) {
        for (std::size_t s = first_step[k]; s < std::min(common_first, last_step[k]); ++s)
            keep_one(k, s);
        for (std::size_t s = std::max(step, first_step[k]); s < last_step[k]; ++s)
            keep_one(k, s);
    }
}

namespace {

std::uint64_t last_word_mask(std::size_t length) noexcept
{
    const unsigned tail = static_cast<unsigned>(length % 64);
    return tail == 0 ? ~std::uint64_t{0} : (std::uint64_t{1} << tail) - 1;
}
} // namespace

CommonSubsequencePass::CommonSubsequencePass(const BitParallelPattern& pattern, bool widest)
    : pattern_(pattern), low_(pattern.low_rows()), one_word_(pattern.words() == 1),
      two_bytes_(pattern.pattern_length() <= 16), counts_itself_(widest && counts_bits_itself()),
      last_mask_(last_word_mask(pattern.pattern_length()))
{
    restart(0);
}

void CommonSubsequencePass::restart(std::size_t from)
{
    from_ = position_ = from;
    // Bits set in the row mark pattern positions not matched yet.
    row_ = ~std::uint64_t{0};
    if (!one_word_) rows_.assign(pattern_.words(), ~std::uint64_t{0});
}

template <typename Char>
std::uint32_t CommonSubsequencePass::at_indexed(std::basic_string_view<Char> text, std::size_t end)
{
    std::uint64_t row = row_;
    std::size_t position = position_;
    const IndexedLookup<1> positions = pattern_.indexed_lookup<1>();
    for (; position < end; ++position) {
        const std::uint64_t u = row & *positions(text[position]);
        row = (row + u) | (row - u);
    }
    position_ = position;
    row_ = row;
    return counted(row);
}

namespace {

// The steps of CommonSubsequencePass::at() for a pattern of `Words` words,
// the row in registers, from `position` to `end`; where the reading stopped.
// Each word takes the carry out of the one below.
template <std::size_t Words, typename Char, typename Positions>
[[gnu::always_inline]] inline std::size_t read_common_words(const Char* text, std::size_t position, std::size_t end,
                                                            std::uint64_t* rows, Positions positions) noexcept
{
    std::uint64_t row[Words];
    for (std::size_t w = 0; w < Words; ++w)
        row[w] = rows[w];
    for (; position < end; ++position) {
        const std::uint64_t* eq = positions(text[position]);
        std::uint64_t carry = 0;
        for (std::size_t w = 0; w < Words; ++w) {
            const std::uint64_t s = row[w], u = s & eq[w];
            const std::uint64_t partial = s + u, sum = partial + carry;
            carry = static_cast<std::uint64_t>(partial < s) | static_cast<std::uint64_t>(sum < partial);
            row[w] = sum | (s - u);
        }
    }
    for (std::size_t w = 0; w < Words; ++w)
        rows[w] = row[w];
    return position;
}

} // namespace

template <typename Char>
std::uint32_t CommonSubsequencePass::at_words(std::basic_string_view<Char> text, std::size_t end)
{
    if constexpr (sizeof(Char) > 1) {
        if (pattern_.fitted_to_indices()) return at_words_indexed(text, end);
    }
    const std::size_t words = pattern_.words();
    const std::uint64_t last_mask = last_mask_;
    if (words == 2) {
        // Patterns of 65 to 128 code points (a phrase of a dozen words): the
        // two words of the row kept in registers.
        std::uint64_t low = rows_[0], high = rows_[1];
        std::size_t position = position_;
        const std::uint64_t* rows = low_;
        for (; position < end; ++position) {
            const char32_t c = code_point(text[position]);
            const std::uint64_t* eq = c < 256 ? rows + 2 * c : pattern_.positions_of(c);
            const std::uint64_t low_u = low & eq[0], high_u = high & eq[1];
            const std::uint64_t low_sum = low + low_u;
            const std::uint64_t carry = low_sum < low;
            high = (high + high_u + carry) | (high - high_u);
            low = low_sum | (low - low_u);
        }
        position_ = position;
        rows_[0] = low;
        rows_[1] = high;
        return static_cast<std::uint32_t>(count_bits_on(counts_itself_, ~low) +
                                          count_bits_on(counts_itself_, ~high & last_mask));
    }
    read_words_on(text, end);
    return count_words();
}

template <typename Char>
std::uint32_t CommonSubsequencePass::at_words_indexed(std::basic_string_view<Char> text, std::size_t end)
{
    // Patterns of up to 256 code points (a dozen words of a script without
    // spaces): the row in registers.
    const auto read = [&](auto count) __attribute__((always_inline)) {
        constexpr std::size_t Words = decltype(count)::value;
        position_ = read_common_words<Words>(text.data(), position_, end, rows_.data(),
                                             pattern_.indexed_lookup<Words>());
    };
    switch (pattern_.words()) {
    case 2: read(std::integral_constant<std::size_t, 2>{}); break;
    case 3: read(std::integral_constant<std::size_t, 3>{}); break;
    case 4: read(std::integral_constant<std::size_t, 4>{}); break;
    default: read_words_on(text, end);
    }
    return count_words();
}

template <typename Char> void CommonSubsequencePass::read_words_on(std::basic_string_view<Char> text, std::size_t end)
{
    const std::size_t words = pattern_.words();
    for (; position_ < end; ++position_) {
        const std::uint64_t* eq = pattern_.positions_of(code_point(text[position_]));
        std::uint64_t carry = 0;
        for (std::size_t w = 0; w < words; ++w) {
            const std::uint64_t s = rows_[w], u = s & eq[w];
            const std::uint64_t sum = s + u + carry;
            carry = (sum < s) || (carry && sum == s);
            rows_[w] = sum | (s - u);
        }
    }
}

std::uint32_t CommonSubsequencePass::count_words() const noexcept
{
    const std::size_t words = pattern_.words();
    const std::uint64_t last_mask = last_mask_;
    std::uint32_t common = 0;
    for (std::size_t w = 0; w < words; ++w)
        common += static_cast<std::uint32_t>(
            count_bits_on(counts_itself_, ~rows_[w] & (w + 1 == words ? last_mask : ~std::uint64_t{0})));
    return common;
}

namespace {

// The steps of CommonSubsequencePass::at(), four lanes side by side over
// text[from, to), the rows kept in vectors of the compiler's extension; the
// carry out of a lane's low word is its compare, as a mask of -1.
template <std::size_t Words, typename Char>
[[gnu::always_inline]] inline void read_common_lanes(const BitParallelPattern& pattern, const Char* text,
                                                     std::size_t from, std::size_t to, std::uint64_t* low_rows,
                                                     std::uint64_t* high_rows) noexcept
{
    LaneWords rows_low, rows_high;
    std::memcpy(&rows_low, low_rows, sizeof rows_low);
    if constexpr (Words == 2) std::memcpy(&rows_high, high_rows, sizeof rows_high);
    const std::uint64_t* low = pattern.low_rows();
    const auto read = [&](auto positions) __attribute__((always_inline)) {
        const auto step = [&](Char unit) __attribute__((always_inline)) {
            const std::uint64_t* eq = positions(unit);
            const LaneWords u_low = rows_low & eq[0];
            const LaneWords sum = rows_low + u_low;
            if constexpr (Words == 2) {
                const LaneWords u_high = rows_high & eq[1];
                const LaneWords carry = (LaneWords)(sum < rows_low);
                rows_high = (rows_high + u_high - carry) | (rows_high - u_high);
            }
            rows_low = sum | (rows_low - u_low);
        };
        // Two code points a turn: the loop's own count and compare, a tenth
        // of a step's instructions, come once for both.
        std::size_t t = from;
        for (; t + 2 <= to; t += 2) {
            step(text[t]);
            step(text[t + 1]);
        }
        if (t < to) step(text[t]);
    };
    bool read_by_index = false;
    if constexpr (sizeof(Char) > 1) {
        read_by_index = pattern.fitted_to_indices();
        if (read_by_index) read(pattern.template indexed_lookup<Words>());
    }
    if (!read_by_index)
        read([&](Char unit) __attribute__((always_inline)) {
            const char32_t c = code_point(unit);
            return c < 256 ? low + Words * c : pattern.positions_of(c);
        });
    std::memcpy(low_rows, &rows_low, sizeof rows_low);
    if constexpr (Words == 2) std::memcpy(high_rows, &rows_high, sizeof rows_high);
}

template <std::size_t Words, typename Char>
void read_common_lanes_plain(const BitParallelPattern& pattern, const Char* text, std::size_t from, std::size_t to,
                             std::uint64_t* low_rows, std::uint64_t* high_rows)
{
    read_common_lanes<Words>(pattern, text, from, to, low_rows, high_rows);
}

#if TESSARIN_AVX2
template <std::size_t Words, typename Char>
__attribute__((target("avx2"))) void read_common_lanes_avx2(const BitParallelPattern& pattern, const Char* text,
                                                            std::size_t from, std::size_t to,
                                                            std::uint64_t* low_rows, std::uint64_t* high_rows)
{
    read_common_lanes<Words>(pattern, text, from, to, low_rows, high_rows);
}
#endif

} // namespace

CommonSubsequenceLanes::CommonSubsequenceLanes(const BitParallelPattern& pattern, bool widest)
    : pattern_(pattern), two_words_(pattern.words() == 2), widest_(widest),
      counts_itself_(widest && counts_bits_itself()), last_mask_(last_word_mask(pattern.pattern_length()))
{
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        begins_[lane] = never;
        low_[lane] = high_[lane] = ~std::uint64_t{0};
    }
}

template <typename Char>
void CommonSubsequenceLanes::read_lanes(std::basic_string_view<Char> text, std::size_t end)
{
#if TESSARIN_AVX2
    if (widest_ && has_avx2()) {
        two_words_ ? read_common_lanes_avx2<2>(pattern_, text.data(), position_, end, low_, high_)
                   : read_common_lanes_avx2<1>(pattern_, text.data(), position_, end, low_, high_);
        return;
    }
#endif
    two_words_ ? read_common_lanes_plain<2>(pattern_, text.data(), position_, end, low_, high_)
               : read_common_lanes_plain<1>(pattern_, text.data(), position_, end, low_, high_);
}

SideBySideDistances::SideBySideDistances(const BitParallelPattern& pattern, bool transpositions, bool widest)
    : pattern_(pattern), transpositions_(transpositions), widest_(widest)
{
}

template <typename Char>
bool SideBySideDistances::measure(std::basic_string_view<Char> text, const std::size_t* firsts,
                                  const std::size_t* lasts, std::size_t count, std::uint32_t* distances)
{
    if (count == 0 || count > SearchLanes::lanes) return false;
    std::size_t steps = 0;
    for (std::size_t k = 0; k < count; ++k)
        steps = std::max(steps, lasts[k] - firsts[k]);
    // Every pass reads as far as the longest window: none may run off the text.
    for (std::size_t k = 0; k < count; ++k)
        if (firsts[k] + steps > text.size()) return false;
    // Lanes left over read the first window again.
    const Char* starts[SearchLanes::lanes];
    for (std::size_t k = 0; k < SearchLanes::lanes; ++k)
        starts[k] = text.data() + firsts[k < count ? k : 0];
    if (steps * SearchLanes::lanes > values_.size()) values_.resize(steps * SearchLanes::lanes);
    std::uint32_t* values = values_.data();
    step_lanes_for<true>(pattern_, transpositions_, starts, steps, values, widest_);
    // An empty window is as far as the pattern is long.
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t length = lasts[k] - firsts[k];
        distances[k] = length == 0 ? static_cast<std::uint32_t>(pattern_.pattern_length())
                                   : values[(length - 1) * SearchLanes::lanes + k];
    }
    return true;
}

#define TESSARIN_PASSES_FOR(Char)                                                                                      \
    template void BitParallelPattern::fit_to(std::u32string_view, std::basic_string_view<Char>);                       \
    template void BitParallelPattern::mark_reachable_ends(std::basic_string_view<Char>, std::size_t,                   \
                                                          std::vector<std::uint64_t>&, Cancellation&) const;           \
    template void BitParallelPattern::levenshtein_prefix_distances(std::basic_string_view<Char>, std::size_t,          \
                                                                   std::vector<std::uint32_t>&) const;                 \
    template void BitParallelPattern::osa_prefix_distances(std::basic_string_view<Char>, std::vector<std::uint32_t>&)  \
        const;                                                                                                         \
    template void BitParallelPattern::lcs_prefix_lengths(std::basic_string_view<Char>, std::vector<std::uint32_t>&)    \
        const;                                                                                                         \
    template std::uint32_t BitParallelPattern::damerau_floor(std::basic_string_view<Char>) const;                      \
    template void BitParallelPattern::lcs_of_stretches(std::basic_string_view<Char>, Stretch*, std::size_t, bool)      \
        const;                                                                                                         \
    template std::uint32_t SemiGlobalPass::at(std::basic_string_view<Char>, std::size_t);                              \
    template bool SearchLanes::cover(std::basic_string_view<Char>, std::size_t);                                       \
    template bool SideBySideDistances::measure(std::basic_string_view<Char>, const std::size_t*, const std::size_t*,  \
                                               std::size_t, std::uint32_t*);                                          \
    template std::uint32_t CommonSubsequencePass::at_words(std::basic_string_view<Char>, std::size_t);               \
    template std::uint32_t CommonSubsequencePass::at_indexed(std::basic_string_view<Char>, std::size_t);             \
    template void CommonSubsequenceLanes::read_lanes(std::basic_string_view<Char>, std::size_t);
TESSARIN_PASSES_FOR(char)
TESSARIN_PASSES_FOR(char16_t)
TESSARIN_PASSES_FOR(char32_t)
#undef TESSARIN_PASSES_FOR

} // namespace tessarin::detail

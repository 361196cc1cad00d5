#include "comparator/bit_parallel.hpp"

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

// One column step over all blocks, the deltas carried between blocks as
// bits (the same step as advance_block, without branches). `carry_p` is 1
// when the first row grows by one per column (a fixed start), 0 for a
// search; returns the change of the last row's value.
inline int advance_column(std::uint64_t* vp, std::uint64_t* vn, const std::uint64_t* eq, std::size_t words,
                          unsigned last_shift, std::uint64_t carry_p) noexcept
{
    std::uint64_t carry_n = 0;
    for (std::size_t w = 0; w < words; ++w) {
        const unsigned shift = w + 1 == words ? last_shift : 63;
        const std::uint64_t xv = eq[w] | vn[w];
        const std::uint64_t e = eq[w] | carry_n;
        const std::uint64_t xh = (((e & vp[w]) + vp[w]) ^ vp[w]) | e;
        std::uint64_t hp = vn[w] | ~(xh | vp[w]);
        std::uint64_t hn = vp[w] & xh;
        const std::uint64_t out_p = (hp >> shift) & 1, out_n = (hn >> shift) & 1;
        hp = (hp << 1) | carry_p;
        hn = (hn << 1) | carry_n;
        vp[w] = hn | ~(xv | hp);
        vn[w] = hp & xv;
        carry_p = out_p;
        carry_n = out_n;
    }
    return static_cast<int>(carry_p) - static_cast<int>(carry_n);
}

constexpr char32_t code_point(char c) noexcept { return static_cast<unsigned char>(c); }
constexpr char32_t code_point(char32_t c) noexcept { return c; }

} // namespace

BitParallelLevenshtein::BitParallelLevenshtein(std::u32string_view pattern)
    : length_(pattern.size()), words_((pattern.size() + 63) / 64), ascii_(128 * words_, 0), zeros_(words_, 0)
{
    std::size_t others = 0;
    for (char32_t c : pattern)
        others += c >= 128;
    if (others > 0) { // pure ASCII patterns need no table beyond the first 128
        std::size_t capacity = 8;
        while (capacity < 2 * others)
            capacity *= 2;
        keys_.assign(capacity, empty_key);
        key_bits_.assign(capacity * words_, 0);
        key_mask_ = capacity - 1;
    }

    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char32_t c = pattern[i];
        std::uint64_t* row;
        if (c < 128) {
            row = &ascii_[c * words_];
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

const std::uint64_t* BitParallelLevenshtein::positions_of(char32_t c) const noexcept
{
    if (c < 128) return &ascii_[c * words_];
    if (keys_.empty()) return zeros_.data();
    for (std::size_t slot = slot_of(c, key_mask_);; slot = (slot + 1) & key_mask_) {
        if (keys_[slot] == c) return &key_bits_[slot * words_];
        if (keys_[slot] == empty_key) return zeros_.data();
    }
}

template <typename Char>
void BitParallelLevenshtein::mark_reachable_ends(std::basic_string_view<Char> text, std::size_t limit,
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
        const std::uint64_t* ascii = ascii_.data();
        const unsigned shift = static_cast<unsigned>((length_ - 1) % 64);
        for (std::size_t j = 0; j < text.size(); ++j) {
            if (j % pass_piece == 0) cancel.poll(pass_piece);
            const char32_t c = code_point(text[j]);
            const std::uint64_t eq = c < 128 ? ascii[c] : *positions_of(c);
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
void BitParallelLevenshtein::prefix_distances(std::basic_string_view<Char> text,
                                              std::vector<std::uint32_t>& distances) const
{
    distances.resize(text.size() + 1);
    const std::uint64_t last_bit = std::uint64_t{1} << ((length_ - 1) % 64);
    auto score = static_cast<std::uint32_t>(length_);
    distances[0] = score;
    if (words_ == 1) {
        std::uint64_t vp = ~std::uint64_t{0}, vn = 0;
        for (std::size_t j = 0; j < text.size(); ++j) {
            score += advance_block(vp, vn, *positions_of(code_point(text[j])), 1, last_bit);
            distances[j + 1] = score;
        }
        return;
    }
    // Against a fixed start, the first row counts the text read so far: a
    // delta of +1 enters the first block at every step.
    std::vector<std::uint64_t>& vp = vp_;
    std::vector<std::uint64_t>& vn = vn_;
    vp.assign(words_, ~std::uint64_t{0});
    vn.assign(words_, 0);
    const auto last_shift = static_cast<unsigned>((length_ - 1) % 64);
    for (std::size_t j = 0; j < text.size(); ++j) {
        score += advance_column(vp.data(), vn.data(), positions_of(code_point(text[j])), words_, last_shift, 1);
        distances[j + 1] = score;
    }
}

template void BitParallelLevenshtein::mark_reachable_ends(std::string_view, std::size_t, std::vector<std::uint64_t>&,
                                                          Cancellation&) const;
template void BitParallelLevenshtein::mark_reachable_ends(std::u32string_view, std::size_t,
                                                          std::vector<std::uint64_t>&, Cancellation&) const;
template void BitParallelLevenshtein::prefix_distances(std::string_view, std::vector<std::uint32_t>&) const;
template void BitParallelLevenshtein::prefix_distances(std::u32string_view, std::vector<std::uint32_t>&) const;

} // namespace tessarin::detail

#include "comparator/damerau.hpp"

#include <algorithm>
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
}

std::int32_t DamerauPrefixPass::id_of(char32_t c) const noexcept
{
    if (c < 128) return ascii_ids_[c];
    const auto found = std::lower_bound(others_.begin(), others_.end(), c);
    return found != others_.end() && *found == c ? 128 + static_cast<std::int32_t>(found - others_.begin()) : absent;
}

template <typename Char>
void DamerauPrefixPass::prefix_distances(std::basic_string_view<Char> text, std::vector<std::uint32_t>& distances)
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

    distances.resize(text.size() + 1);
    distances[0] = static_cast<std::uint32_t>(len2);
    for (std::int32_t i = 1; i <= len1; ++i) {
        std::swap(r, r1);
        std::int32_t last_col_id = -1;
        std::int32_t last_i2l1 = r[0];
        r[0] = i;
        std::int32_t t = infinite;
        const char32_t c = code_point(text[static_cast<std::size_t>(i - 1)]);
        for (std::int32_t j = 1; j <= len2; ++j) {
            const bool same = c == pattern_[static_cast<std::size_t>(j - 1)];
            std::int32_t value = std::min({r1[j - 1] + static_cast<std::int32_t>(!same), r[j - 1] + 1, r1[j] + 1});
            if (same) {
                last_col_id = j;   // the last column whose code point is c
                fr[j] = r1[j - 2]; // the cell before the pair, for a transposition to come
                t = last_i2l1;
            } else {
                const std::int32_t id = pattern_ids_[static_cast<std::size_t>(j - 1)];
                const std::int32_t k = last_row_[static_cast<std::size_t>(id)];
                const std::int32_t l = last_col_id;
                if (j - l == 1)
                    value = std::min(value, fr[j] + (i - k));
                else if (i - k == 1)
                    value = std::min(value, t + (j - l));
            }
            last_i2l1 = r[j];
            r[j] = value;
        }
        if (const std::int32_t id = id_of(c); id != absent) last_row_[static_cast<std::size_t>(id)] = i;
        distances[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(r[len2]);
    }
}

template void DamerauPrefixPass::prefix_distances(std::string_view, std::vector<std::uint32_t>&);
template void DamerauPrefixPass::prefix_distances(std::u16string_view, std::vector<std::uint32_t>&);
template void DamerauPrefixPass::prefix_distances(std::u32string_view, std::vector<std::uint32_t>&);

} // namespace tessarin::detail

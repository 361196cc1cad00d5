#include "comparator/jaro.hpp"

#include <algorithm>

namespace tessarin::detail {
namespace {

// The number of bits set; inline where the target lacks the instruction.
inline unsigned count_bits(std::uint64_t x) noexcept
{
    x -= (x >> 1) & 0x5555555555555555ULL;
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<unsigned>((x * 0x0101010101010101ULL) >> 56);
}

// The lowest `n` bits set.
constexpr std::uint64_t lowest_bits(std::size_t n) noexcept
{
    return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
}

} // namespace

template <typename Char> double JaroPattern::similarity(Units<Char> candidate) const noexcept
{
    const std::size_t p = pattern_.size(), t = candidate.size();
    if (t == 0) return 0.0;
    if (p == 1 && t == 1) return code_point(candidate[0]) == pattern_[0] ? 1.0 : 0.0;
    // How far apart two matched code points may lie; the candidate's code
    // points beyond the pattern's last reach match nothing.
    std::size_t bound, reached = t;
    if (t > p) {
        bound = t / 2 - 1;
        reached = std::min(t, p + bound);
    } else {
        bound = p / 2 - 1;
    }
    if (reached > 64) return -1.0;

    // Each candidate code point in turn takes the first pattern position
    // within reach that holds it and is not taken yet.
    std::uint64_t pattern_flags = 0, candidate_flags = 0;
    std::uint64_t reach = lowest_bits(bound + 1);
    std::size_t j = 0;
    for (const std::size_t growing = std::min(bound, reached); j < growing; ++j) {
        const std::uint64_t found =
            positions_.one_word_positions_of(code_point(candidate[j])) & reach & ~pattern_flags;
        pattern_flags |= found & (~found + 1);
        candidate_flags |= static_cast<std::uint64_t>(found != 0) << j;
        reach = (reach << 1) | 1;
    }
    for (; j < reached; ++j) {
        const std::uint64_t found =
            positions_.one_word_positions_of(code_point(candidate[j])) & reach & ~pattern_flags;
        pattern_flags |= found & (~found + 1);
        candidate_flags |= static_cast<std::uint64_t>(found != 0) << j;
        reach <<= 1;
    }
    const std::size_t common = count_bits(pattern_flags);
    if (common == 0) return 0.0;

    // Matched code points taken in order on both sides: each pair that
    // differs is half a transposition.
    std::size_t transpositions = 0;
    while (candidate_flags != 0) {
        const std::uint64_t lowest = pattern_flags & (~pattern_flags + 1);
        const auto at = static_cast<std::size_t>(__builtin_ctzll(candidate_flags));
        transpositions += (positions_.one_word_positions_of(code_point(candidate[at])) & lowest) == 0;
        candidate_flags &= candidate_flags - 1;
        pattern_flags ^= lowest;
    }
    transpositions /= 2;
    double similarity = 0;
    similarity += static_cast<double>(common) / static_cast<double>(p);
    similarity += static_cast<double>(common) / static_cast<double>(t);
    similarity += (static_cast<double>(common) - static_cast<double>(transpositions)) / static_cast<double>(common);
    return similarity / 3.0;
}

template <typename Char> double JaroPattern::distance(Units<Char> candidate, double prefix_weight) const noexcept
{
    double similarity = this->similarity(candidate);
    if (similarity < 0.0) return -1.0;
    if (prefix_weight > 0.0 && similarity > 0.7) {
        const std::size_t most = std::min<std::size_t>({pattern_.size(), candidate.size(), 4});
        std::size_t prefix = 0;
        while (prefix < most && code_point(candidate[prefix]) == pattern_[prefix])
            ++prefix;
        similarity += static_cast<double>(prefix) * prefix_weight * (1.0 - similarity);
        similarity = std::min(similarity, 1.0);
    }
    const double distance = 1.0 - similarity;
    return distance <= 1.0 ? distance : 1.0;
}

template double JaroPattern::distance(Units<char>, double) const noexcept;
template double JaroPattern::distance(Units<char16_t>, double) const noexcept;
template double JaroPattern::distance(Units<char32_t>, double) const noexcept;

} // namespace tessarin::detail

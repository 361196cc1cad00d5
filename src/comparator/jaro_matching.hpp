// The Jaro matching of a candidate against a pattern whose positions fit
// one word, and the distance from it: shared by the scorers compiled apart
// and by the walks over token windows, which inline it where they match
// most of their windows.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string_view>

#include "comparator/bounds.hpp"
#include "comparator/word.hpp"
#include "text/units.hpp"

namespace tessarin::detail {

// The lowest `n` bits set, in one word or two.
template <typename Bits> constexpr Bits lowest_bits_of(std::size_t n) noexcept
{
    return n >= 8 * sizeof(Bits) ? ~Bits{0} : (Bits{1} << n) - 1;
}

// The index of the lowest bit set.
inline unsigned lowest_set_bit(std::uint64_t x) noexcept
{
    return static_cast<unsigned>(__builtin_ctzll(x));
}

// How far apart two code points that the Jaro matching pairs may lie, for a
// candidate of `t` code points against a pattern of `p` (both at least 1,
// not both 1), and how many of the candidate's code points it reads: those
// beyond the pattern's last reach match nothing.
struct JaroSpan {
    std::size_t bound, reached;
};
constexpr JaroSpan jaro_span(std::size_t p, std::size_t t) noexcept
{
    if (t > p) return JaroSpan{t / 2 - 1, std::min(t, p + (t / 2 - 1))};
    return JaroSpan{p / 2 - 1, t};
}

// A Jaro similarity (before Winkler's step) below which a candidate with
// `prefix` code points in common with the pattern cannot come within
// `threshold` of it by any rounding, for jaro_similarity()'s `least`; 0
// where none is known. Winkler's step leaves (1 - s)(1 - prefix * weight)
// of the distance, never less than that, and never more than 1 - s.
inline double least_jaro_similarity(double threshold, double prefix_weight, std::uint64_t prefix) noexcept
{
    const double kept = std::min(1.0, 1.0 - static_cast<double>(prefix) * prefix_weight);
    if (!(kept > 0.0)) return 0.0;
    return std::max(0.0, 1.0 - (threshold + similarity_margin) / kept - similarity_margin);
}

// The similarity from the matched count and the transpositions (pairs of
// matched code points that differ, halved), in the library's order of
// operations, so that the bits agree.
inline double jaro_similarity_of(std::size_t common, std::size_t transpositions, std::size_t p, std::size_t t) noexcept
{
    double similarity = 0;
    similarity += static_cast<double>(common) / static_cast<double>(p);
    similarity += static_cast<double>(common) / static_cast<double>(t);
    similarity += (static_cast<double>(common) - static_cast<double>(transpositions)) / static_cast<double>(common);
    return similarity / 3.0;
}
// The Jaro similarity of a candidate of any length against the pattern
// whose positions are given: each matched code point takes a pattern
// position of its own, so the matched ones fit their slots however many
// candidate code points the matching reads.
//
// A candidate that matches fewer than `need` code points cannot pass: its
// similarity is given as `short_of_need`, with no transpositions counted.
// One that matches `enough` passes whatever it holds beyond them: the
// matching stops there, and its similarity is given as `enough_matched`.
// One whose similarity lies below `least` (where positive) by more than
// its rounding is given as `short_of_need` too, before its divisions.
inline constexpr double short_of_need = -2.0, enough_matched = -3.0;
template <typename Positions, typename Char>
[[gnu::always_inline]] inline double jaro_similarity(const Positions& positions, Units<Char> candidate,
                                                    std::size_t need = 0, std::size_t enough = JaroPattern::unlimited,
                                                    double least = 0.0) noexcept
{
    using Bits = decltype(positions.positions_of(0));
    const std::u32string_view pattern = positions.pattern();
    const std::size_t p = pattern.size(), t = candidate.size();
    if (t == 0) return 0.0;
    if (p == 1 && t == 1) return code_point(candidate[0]) == pattern[0] ? 1.0 : 0.0;
    const auto [bound, reached] = jaro_span(p, t);

    // Each candidate code point in turn takes the first pattern position
    // within reach that holds it and is not taken yet; the positions not
    // taken are kept rather than those taken, one step less per code point.
    // The code points that match are kept in their order (one slot more,
    // written over by each that does not), for the transpositions.
    Bits free = ~Bits{0};
    Bits reach = lowest_bits_of<Bits>(bound + 1);
    Char matched[8 * sizeof(Bits) + 1];
    std::size_t common = 0, j = 0;
    // The unit is stored before it is looked up: stored after, it was
    // copied aside to outlive the look-up, two steps more a code point.
    const auto take = [&](Char unit) {
        matched[common] = unit;
        // The positions within reach are found apart from those still free,
        // which is all that each step waits on: the compiler would
        // otherwise put the look-up after `free`, a step more on that path.
        Bits within = positions.positions_of(code_point(unit)) & reach;
        if constexpr (sizeof(Bits) == sizeof(std::uint64_t)) asm("" : "+r"(within));
        const Bits found = within & free;
        free ^= found & (~found + 1);
        common += found != 0;
    };
    const std::size_t growing = std::min(bound, reached);
    if (enough <= reached) {
        // The count is looked at after each code point only where it may
        // settle the candidate: no step more for the others. Nor before
        // as many code points as it takes are read.
        const std::size_t short_of_enough = enough > 0 ? enough - 1 : 0;
        for (const std::size_t quiet = std::min(growing, short_of_enough); j < quiet; ++j) {
            take(candidate[j]);
            reach = (reach << 1) | 1;
        }
        for (; j < growing; ++j) {
            take(candidate[j]);
            reach = (reach << 1) | 1;
            if (common >= enough) return enough_matched;
        }
        for (const std::size_t quiet = std::min(reached, short_of_enough); j < quiet; ++j) {
            take(candidate[j]);
            reach <<= 1;
        }
        for (; j < reached; ++j) {
            take(candidate[j]);
            reach <<= 1;
            if (common >= enough) return enough_matched;
        }
    } else {
        for (; j < growing; ++j) {
            take(candidate[j]);
            reach = (reach << 1) | 1;
        }
        for (; j < reached; ++j) {
            take(candidate[j]);
            reach <<= 1;
        }
    }
    if (common < need) return short_of_need;
    if (common == 0) return 0.0;

    // Matched code points taken in order on both sides: each pair that
    // differs is half a transposition. No position from p on is taken.
    // A word at a time: arithmetic on two words at once costs twice as much.
    const Bits taken = ~free;
    std::size_t differ = 0, k = 0;
    for (std::size_t word = 0; word < sizeof(Bits) / sizeof(std::uint64_t); ++word)
        for (auto bits = static_cast<std::uint64_t>(taken >> (64 * word)); bits != 0; bits &= bits - 1)
            differ += pattern[64 * word + lowest_set_bit(bits)] != code_point(matched[k++]);
    if (least > 0.0) {
        // The similarity as a fraction of integers, exact (the lengths are
        // a few hundred at most): the divisions' latency is spent only on
        // a candidate that may pass.
        const std::uint64_t kept = common - differ / 2;
        const std::uint64_t numerator = common * common * (t + p) + kept * p * t, denominator = 3 * p * t * common;
        if (static_cast<double>(numerator) < least * static_cast<double>(denominator)) return short_of_need;
    }
    return jaro_similarity_of(common, differ / 2, p, t);
}
// The distance from a similarity, with Winkler's step for a prefix weight
// where the similarity passes his boost threshold: `prefix_of()` gives the
// common prefix (at most 4 code points), asked for only then.
template <typename PrefixOf>
[[gnu::always_inline]] inline double distance_of_similarity(double similarity, double prefix_weight,
                                                            PrefixOf&& prefix_of) noexcept
{
    if (prefix_weight > 0.0 && similarity > 0.7) {
        similarity += static_cast<double>(prefix_of()) * prefix_weight * (1.0 - similarity);
        similarity = std::min(similarity, 1.0);
    }
    const double distance = 1.0 - similarity;
    return distance <= 1.0 ? distance : 1.0;
}

// The distance from that similarity, with Winkler's step for a prefix
// weight; negative where the similarity is, infinite where it fell short of
// the count needed.
template <typename Char>
[[gnu::always_inline]] inline double jaro_distance(double similarity, std::u32string_view pattern,
                                                   Units<Char> candidate, double prefix_weight) noexcept
{
    if (similarity < 0.0) {
        if (similarity == short_of_need) return std::numeric_limits<double>::infinity();
        return similarity == enough_matched ? JaroPattern::passes_by_count : -1.0;
    }
    return distance_of_similarity(similarity, prefix_weight, [&] { return common_prefix(candidate, pattern); });
}

template <typename Char>
[[gnu::always_inline]] inline double JaroPattern::distance_with_prefix(Units<Char> candidate, double prefix_weight,
                                                                       std::uint64_t prefix, std::size_t need,
                                                                       double least) const noexcept
{
    const double similarity = jaro_similarity(positions_, candidate, need, JaroPattern::unlimited, least);
    if (similarity < 0.0) return similarity == short_of_need ? std::numeric_limits<double>::infinity() : -1.0;
    return distance_of_similarity(similarity, prefix_weight, [prefix] { return prefix; });
}

} // namespace tessarin::detail

// Scoring against a pattern of at most 64 code points, one 64-bit word per
// code point's positions: every metric exactly as the comparator scores it
// (the same distances, the same arithmetic), without the metric library's
// call and without the heap, for calls on short inputs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "comparator/bit_parallel.hpp"
#include "comparator/fuzzy.hpp"
#include "comparator/metrics.hpp"
#include "text/units.hpp"

namespace tessarin::detail {

// The bit set of the pattern positions that hold each code point: the ASCII
// rows looked up directly, the others in a short list. Each distinct code
// point also has a small id. The pattern must outlive it.
class WordPattern {
public:
    static constexpr std::size_t most = 64;
    static bool fits(std::u32string_view pattern) noexcept { return !pattern.empty() && pattern.size() <= most; }

    // `pattern` must fit.
    explicit WordPattern(std::u32string_view pattern) noexcept;

    std::uint64_t positions_of(char32_t c) const noexcept
    {
        if (c < 128) return ascii_[c];
        for (unsigned i = 0; i < other_count_; ++i)
            if (others_[i] == c) return other_positions_[i];
        return 0;
    }

    // The id of a code point of the pattern (below the number of distinct
    // code points), or `absent`.
    static constexpr unsigned absent = 0xFF;
    unsigned id_of(char32_t c) const noexcept
    {
        if (c < 128) return ascii_ids_[c];
        for (unsigned i = 0; i < other_count_; ++i)
            if (others_[i] == c) return other_ids_[i];
        return absent;
    }

    std::u32string_view pattern() const noexcept { return pattern_; }

private:
    std::u32string_view pattern_;
    std::uint64_t ascii_[128];
    std::uint8_t ascii_ids_[128];
    char32_t others_[most];
    std::uint64_t other_positions_[most];
    std::uint8_t other_ids_[most];
    unsigned other_count_ = 0;
};

// The Jaro and Jaro-Winkler distances worked out as the metric library
// works them out (the same greedy matching within the same reach, the same
// arithmetic, so the same bits).
class JaroPattern {
public:
    static bool fits(std::u32string_view pattern) noexcept { return WordPattern::fits(pattern); }

    // `pattern` must fit, and outlive this.
    explicit JaroPattern(std::u32string_view pattern) noexcept : positions_(pattern) {}

    // The distance of `candidate` (1 less the similarity; with a prefix
    // weight, Winkler's), or a negative value when the candidate's part that
    // the matching reaches is longer than 64 code points (the caller then
    // asks the library).
    template <typename Char> double distance(Units<Char> candidate, double prefix_weight) const noexcept;

    const WordPattern& positions() const noexcept { return positions_; }

private:
    template <typename Char> double similarity(Units<Char> candidate) const noexcept;

    WordPattern positions_;
};

// How far apart the Jaro matching lets a pattern position and a candidate
// position lie that it pairs, for a candidate of `length` code points.
inline std::uint64_t jaro_reach_of(std::uint64_t length, std::uint64_t pattern_length) noexcept
{
    const std::uint64_t longer = std::max(length, pattern_length);
    return longer >= 2 ? longer / 2 - 1 : 0;
}

// How many pattern positions the Jaro matching can pair at all in a window
// that begins at a given code point of a text: those whose code point the
// window holds within the matching's reach of them. No window of that
// beginning, of the lengths up to the one asked for, matches more.
//
// One step per window code point that some pattern position can reach: the
// positions that hold its code point, kept to the band of positions within
// reach of it. Asked only where cheaper counts left a window's beginning
// hopeful, so the text is read there alone.
template <typename Char> class JaroReach {
public:
    // `positions` and `text` must outlive this.
    JaroReach(const WordPattern& positions, Units<Char> text) noexcept
        : positions_(positions), text_(text), p_(positions.pattern().size())
    {
    }

    // The count for a window of at most `length` (at least 1) code points
    // from `first`, whose matching reaches `reach` positions either way.
    std::uint64_t count(std::uint64_t first, std::uint64_t length, std::uint64_t reach) const noexcept
    {
        // Window position j reaches the pattern positions j - reach to
        // j + reach; from p + reach on, none.
        const std::uint64_t steps = std::min(length, p_ + reach);
        const Char* window = text_.data() + first;
        std::uint64_t upper =
            reach >= 63 ? ~std::uint64_t{0} : (std::uint64_t{1} << (reach + 1)) - 1; // up to j + reach
        std::uint64_t lower = 0;                                                     // below j - reach
        std::uint64_t found = 0;
        for (std::uint64_t j = 0; j < steps; ++j) {
            found |= positions_.positions_of(code_point(window[j])) & upper & ~lower;
            upper = (upper << 1) | 1;
            if (j >= reach) lower = (lower << 1) | 1;
        }
        return count_bits(found);
    }

private:
    const WordPattern& positions_;
    Units<Char> text_;
    std::uint64_t p_;
};

// A comparator for a pattern of one word and candidates of at most 64 code
// points: Levenshtein, optimal string alignment and the longest common
// subsequence by bit-parallel passes, Damerau-Levenshtein by its table,
// the others directly.
class WordScorer {
public:
    static constexpr std::size_t most_candidate = 64;
    static bool fits(std::u32string_view pattern) noexcept { return WordPattern::fits(pattern); }

    // `pattern` must fit, and outlive this.
    WordScorer(std::u32string_view pattern, Metric metric, ThresholdKind kind, double threshold) noexcept
        : jaro_(pattern), metric_(metric), kind_(kind), threshold_(threshold)
    {
    }

    // `candidate`, already folded and trimmed, at most `most_candidate`
    // code points.
    template <typename Char> Comparison compare(Units<Char> candidate) const noexcept;

    // Whether a candidate of this trimmed length is refused whatever it
    // holds: every edit-counting metric is at least the length difference,
    // so a difference that alone goes beyond the threshold needs no scoring.
    bool refuses_length(std::size_t length) const noexcept;

    // compare(), for a caller that needs only the verdict (and the score of
    // a candidate accepted): a candidate refused by its length is not scored.
    template <typename Char> Comparison compare_or_refuse(Units<Char> candidate) const noexcept
    {
        if (refuses_length(candidate.size())) return Comparison{false, 0.0};
        return compare(candidate);
    }

private:
    template <typename Char> std::uint64_t distance(Units<Char> candidate) const noexcept;

    JaroPattern jaro_; // its positions serve every metric
    Metric metric_;
    ThresholdKind kind_;
    double threshold_;
};

} // namespace tessarin::detail

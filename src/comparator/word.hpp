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
// text holds within the matching's reach of them. No window of that
// beginning, of the lengths up to the one asked for, matches more.
//
// Each text position x keeps one word, the pattern positions i whose code
// point the text holds at x + i (a diagonal of the matching table), filled
// as the text is read and kept for the last few hundred positions only; a
// window's count is then the union of the diagonals within reach, each
// clipped to the window. Windows must come with ascending beginnings, so
// that every code point of the text is read once per walk.
template <typename Char> class JaroReach {
public:
    // `positions` and `text` must outlive this; `longest` bounds the window
    // lengths asked for.
    JaroReach(const WordPattern& positions, Units<Char> text, std::uint64_t longest)
        : positions_(positions), text_(text), p_(positions.pattern().size())
    {
        std::size_t size = 64;
        while (size < longest + 3 * p_ + 2)
            size *= 2;
        diagonals_.assign(size, 0);
        mask_ = size - 1;
    }

    // The count for a window of at most `length` (at least 1) code points
    // from `first`, whose matching reaches `reach` positions either way.
    std::uint64_t count(std::uint64_t first, std::uint64_t length, std::uint64_t reach) noexcept
    {
        const std::uint64_t before = std::min({reach, p_ - 1, first}), after = std::min(reach, length - 1);
        read_to(first, first + after + p_);
        std::uint64_t found = 0;
        // Diagonals that begin before the window: their first pattern
        // positions would pair with code points outside it.
        for (std::uint64_t d = 1; d <= before; ++d)
            found |= diagonals_[(first - d) & mask_] & (~std::uint64_t{0} << d);
        // Diagonals that begin within it: their last pattern positions may
        // pair with code points beyond its end.
        const std::uint64_t whole = length >= p_ ? std::min(after + 1, length - p_ + 1) : 0;
        for (std::uint64_t d = 0; d < whole; ++d)
            found |= diagonals_[(first + d) & mask_];
        for (std::uint64_t d = whole; d <= after; ++d)
            found |= diagonals_[(first + d) & mask_] & ((std::uint64_t{1} << (length - d)) - 1);
        return count_bits(found);
    }

    // Back to the start of the text, for another walk.
    void rewind() noexcept { read_ = 0; }

private:
    // Completes the diagonals from `first` less the pattern's length on (all
    // that a window from `first` or later can ask for) with the text up to
    // `end`. Positions skipped over complete no diagonal asked for again.
    void read_to(std::uint64_t first, std::uint64_t end) noexcept
    {
        end = std::min<std::uint64_t>(end, text_.size());
        read_ = std::max(read_, first >= p_ ? first - (p_ - 1) : 0);
        for (; read_ < end; ++read_) {
            const std::uint64_t y = read_;
            diagonals_[y & mask_] = 0; // no earlier position reaches this diagonal
            for (std::uint64_t bits = positions_.positions_of(code_point(text_[y])); bits != 0; bits &= bits - 1) {
                const auto i = static_cast<std::uint64_t>(__builtin_ctzll(bits));
                if (i > y) break;
                diagonals_[(y - i) & mask_] |= std::uint64_t{1} << i;
            }
        }
    }

    const WordPattern& positions_;
    Units<Char> text_;
    std::uint64_t p_;
    std::vector<std::uint64_t> diagonals_;
    std::size_t mask_ = 0;
    std::uint64_t read_ = 0; // the text is read up to here
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

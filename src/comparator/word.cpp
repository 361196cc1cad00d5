#include "comparator/word.hpp"

#include "comparator/bit_parallel.hpp"
#include "comparator/bounds.hpp"
#include "comparator/jaro_matching.hpp"

#include <algorithm>
#include <limits>

namespace tessarin::detail {
namespace {

// The lowest `n` bits set.
constexpr std::uint64_t lowest_bits(std::size_t n) noexcept
{
    return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
}

// The matched code points of one word's matching taken in order on both
// sides: each pair that differs is half a transposition. Compared with the
// pattern's own code points, which costs no look-up beyond Latin-1.
struct Matched {
    std::size_t common, transpositions;
};
template <typename Char>
Matched one_word_matched(std::u32string_view pattern, Units<Char> candidate, std::uint64_t pattern_flags,
                         std::uint64_t candidate_flags) noexcept
{
    std::size_t common = 0, differ = 0;
    for (; candidate_flags != 0; ++common) {
        differ += code_point(candidate[lowest_set_bit(candidate_flags)]) != pattern[lowest_set_bit(pattern_flags)];
        candidate_flags &= candidate_flags - 1;
        pattern_flags &= pattern_flags - 1;
    }
    return Matched{common, differ / 2};
}

// jaro_similarity() for a pattern of two words, in 64-bit halves: the
// compiler keeps 128-bit arithmetic poorly in registers, and a position is
// taken from the high half only where the low one has none to give.
template <typename Char>
double wide_jaro_similarity(const WidePattern& positions, Units<Char> candidate, std::size_t need,
                            std::size_t enough) noexcept
{
    const std::u32string_view pattern = positions.pattern();
    const std::size_t p = pattern.size(), t = candidate.size();
    if (t == 0) return 0.0;
    if (p == 1 && t == 1) return code_point(candidate[0]) == pattern[0] ? 1.0 : 0.0;
    const auto [bound, reached] = jaro_span(p, t);

    // As in jaro_similarity(), for a candidate of any length.
    std::uint64_t free_low = ~std::uint64_t{0}, free_high = ~std::uint64_t{0};
    std::uint64_t reach_low = lowest_bits(bound + 1), reach_high = bound >= 64 ? lowest_bits(bound - 63) : 0;
    Char matched[129];
    std::size_t common = 0, j = 0;
    const auto take = [&](Char unit) {
        const WidePattern::Bits holds = positions.positions_of(code_point(unit));
        const std::uint64_t low = static_cast<std::uint64_t>(holds) & reach_low & free_low;
        const std::uint64_t high_found = static_cast<std::uint64_t>(holds >> 64) & reach_high & free_high;
        // Without a branch: which half gives a position is as likely
        // either way, and a branch on it is mispredicted half the time.
        const std::uint64_t high = high_found & (std::uint64_t{0} - static_cast<std::uint64_t>(low == 0));
        free_low ^= low & (0 - low);
        free_high ^= high & (0 - high);
        matched[common] = unit;
        common += (low | high) != 0;
    };
    const std::size_t growing = std::min(bound, reached);
    if (enough <= reached) {
        const std::size_t short_of_enough = enough > 0 ? enough - 1 : 0;
        for (const std::size_t quiet = std::min(growing, short_of_enough); j < quiet; ++j) {
            take(candidate[j]);
            reach_high = (reach_high << 1) | (reach_low >> 63);
            reach_low = (reach_low << 1) | 1;
        }
        for (; j < growing; ++j) {
            take(candidate[j]);
            reach_high = (reach_high << 1) | (reach_low >> 63);
            reach_low = (reach_low << 1) | 1;
            if (common >= enough) return enough_matched;
        }
        for (const std::size_t quiet = std::min(reached, short_of_enough); j < quiet; ++j) {
            take(candidate[j]);
            reach_high = (reach_high << 1) | (reach_low >> 63);
            reach_low <<= 1;
        }
        for (; j < reached; ++j) {
            take(candidate[j]);
            reach_high = (reach_high << 1) | (reach_low >> 63);
            reach_low <<= 1;
            if (common >= enough) return enough_matched;
        }
    } else {
        for (; j < growing; ++j) {
            take(candidate[j]);
            reach_high = (reach_high << 1) | (reach_low >> 63);
            reach_low = (reach_low << 1) | 1;
        }
        for (; j < reached; ++j) {
            take(candidate[j]);
            reach_high = (reach_high << 1) | (reach_low >> 63);
            reach_low <<= 1;
        }
    }
    if (common < need) return short_of_need;
    if (common == 0) return 0.0;

    std::size_t differ = 0, k = 0;
    for (std::uint64_t bits = ~free_low; bits != 0; bits &= bits - 1)
        differ += pattern[lowest_set_bit(bits)] != code_point(matched[k++]);
    for (std::uint64_t bits = ~free_high; bits != 0; bits &= bits - 1)
        differ += pattern[64 + lowest_set_bit(bits)] != code_point(matched[k++]);
    return jaro_similarity_of(common, differ / 2, p, t);
}

// Myers' column (Hyyrö's formulation) from the candidate's start, with his
// step for adjacent transpositions where `transpositions` says so; the
// choice is made once per candidate, not once per code point.
template <bool transpositions, typename Char>
std::uint64_t myers_distance(const WordPattern& positions, Units<Char> candidate) noexcept
{
    const std::size_t p = positions.pattern().size();
    const auto last_bit = static_cast<unsigned>(p - 1);
    std::uint64_t vp = lowest_bits(p), vn = 0, d0 = 0, previous = 0;
    std::uint64_t score = p;
    for (const Char unit : candidate) {
        const std::uint64_t eq = positions.positions_of(code_point(unit));
        std::uint64_t d = (((eq & vp) + vp) ^ vp) | eq | vn;
        if constexpr (transpositions) d |= ((~d0 & eq) << 1) & previous;
        std::uint64_t hp = vn | ~(d | vp);
        const std::uint64_t hn = d & vp;
        score += (hp >> last_bit) & 1;
        score -= (hn >> last_bit) & 1;
        hp = (hp << 1) | 1;
        vp = (hn << 1) | ~(d | hp);
        vn = hp & d;
        if constexpr (transpositions) {
            d0 = d;
            previous = eq;
        }
    }
    return score;
}

// How many code points of the pattern lie beyond ASCII: room enough for
// its distinct ones.
std::size_t beyond_ascii(std::u32string_view pattern) noexcept
{
    return static_cast<std::size_t>(std::count_if(pattern.begin(), pattern.end(), [](char32_t c) { return c >= 128; }));
}

} // namespace

WordPattern::WordPattern(std::u32string_view pattern) noexcept : pattern_(pattern)
{
    std::fill(std::begin(low_), std::end(low_), std::uint64_t{0});
    std::fill(std::begin(ascii_ids_), std::end(ascii_ids_), static_cast<std::uint8_t>(absent));
    others_.reset(beyond_ascii(pattern));
    unsigned ids = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char32_t c = pattern[i];
        const std::uint64_t bit = std::uint64_t{1} << i;
        if (c < 256) low_[c] |= bit;
        if (c < 128) {
            if (ascii_ids_[c] == absent) ascii_ids_[c] = static_cast<std::uint8_t>(ids++);
            continue;
        }
        // The others keep their positions too, for their ids' sake.
        others_.add(c, bit, ids);
    }
}

template <typename Char>
double JaroPattern::similarity(Units<Char> candidate, std::size_t need, std::size_t enough) const noexcept
{
    return jaro_similarity(positions_, candidate, need, enough);
}

template <typename Char>
double JaroPattern::distance(Units<Char> candidate, double prefix_weight, std::size_t need,
                             std::size_t enough) const noexcept
{
    return jaro_distance(similarity(candidate, need, enough), positions_.pattern(), candidate, prefix_weight);
}

template <typename Char>
void JaroPattern::prefix_distances(Units<Char> candidate, const std::uint64_t* lengths, const std::uint64_t* needs,
                                   std::size_t count, double prefix_weight, double* distances) const noexcept
{
    const std::u32string_view pattern = positions_.pattern();
    const std::size_t p = pattern.size();
    // The pattern positions matched after each code point read, for one
    // reach; the candidate positions matched only grow by the one read.
    std::uint64_t pattern_flags_after[WordPattern::most + 1];
    std::size_t k = 0;
    while (k < count) {
        const std::size_t t = lengths[k];
        if (t == 0 || (p == 1 && t == 1)) {
            distances[k] = distance(candidate.substr(0, t), prefix_weight);
            ++k;
            continue;
        }
        // The lengths of the same reach, and how far the longest reads.
        const JaroSpan span = jaro_span(p, t);
        std::size_t last = k, steps = span.reached;
        for (; last + 1 < count; ++last) {
            const JaroSpan next = jaro_span(p, lengths[last + 1]);
            if (next.bound != span.bound) break;
            steps = next.reached;
        }
        steps = std::min<std::size_t>(steps, 64);
        std::uint64_t pattern_flags = 0;
        std::uint64_t reach = lowest_bits(span.bound + 1);
        pattern_flags_after[0] = 0;
        // The candidate positions matched are not kept as they come: few
        // lengths need them, for their transpositions, and a code point
        // matched where the pattern positions matched grew.
        const auto take = [&](std::size_t j) {
            const std::uint64_t found = positions_.positions_of(code_point(candidate[j])) & reach & ~pattern_flags;
            pattern_flags |= found & (~found + 1);
            pattern_flags_after[j + 1] = pattern_flags;
        };
        const auto candidate_flags_to = [&](std::size_t reached) {
            std::uint64_t flags = 0;
            for (std::size_t i = 0; i < reached; ++i)
                flags |= static_cast<std::uint64_t>(pattern_flags_after[i + 1] != pattern_flags_after[i]) << i;
            return flags;
        };
        std::size_t j = 0;
        for (const std::size_t growing = std::min(span.bound, steps); j < growing; ++j) {
            take(j);
            reach = (reach << 1) | 1;
        }
        for (; j < steps; ++j) {
            take(j);
            reach <<= 1;
        }
        // A length that matches what the one before it matched has its
        // transpositions too (the code point between matches nothing).
        std::uint64_t counted_matched = ~std::uint64_t{0};
        std::size_t transpositions = 0;
        for (const std::size_t first = k; k <= last; ++k) {
            const std::size_t length = lengths[k], reached = jaro_span(p, length).reached;
            if (k > first && length == lengths[k - 1] && needs[k] == needs[k - 1]) {
                distances[k] = distances[k - 1];
                continue;
            }
            if (reached > 64) {
                // Past one word of candidate flags: matched alone.
                distances[k] = distance(candidate.substr(0, length), prefix_weight, needs[k]);
                continue;
            }
            const std::uint64_t matched = pattern_flags_after[reached];
            const std::size_t common = count_bits(matched);
            if (common < needs[k]) {
                distances[k] = std::numeric_limits<double>::infinity();
                continue;
            }
            const Units<Char> prefix = candidate.substr(0, length);
            if (common > 0 && matched != counted_matched) {
                transpositions =
                    one_word_matched(pattern, prefix, matched, candidate_flags_to(reached)).transpositions;
                counted_matched = matched;
            }
            const double similarity = common == 0 ? 0.0 : jaro_similarity_of(common, transpositions, p, length);
            distances[k] = jaro_distance(similarity, pattern, prefix, prefix_weight);
        }
    }
}

WidePattern::WidePattern(std::u32string_view pattern) noexcept : pattern_(pattern)
{
    std::fill(std::begin(ascii_), std::end(ascii_), Bits{0});
    others_.reset(beyond_ascii(pattern));
    unsigned ids = 0; // not asked for
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char32_t c = pattern[i];
        const Bits bit = Bits{1} << i;
        if (c < 128)
            ascii_[c] |= bit;
        else
            others_.add(c, bit, ids);
    }
}

template <typename Char>
double WideJaroPattern::distance(Units<Char> candidate, double prefix_weight, std::size_t need,
                                 std::size_t enough) const noexcept
{
    return jaro_distance(wide_jaro_similarity(positions_, candidate, need, enough), positions_.pattern(), candidate,
                         prefix_weight);
}

BlockJaroPattern::BlockJaroPattern(std::u32string_view pattern)
    : pattern_(pattern), words_((pattern.size() + 63) / 64), ascii_(128 * words_, 0), free_(words_)
{
    std::size_t slots = 1;
    while (slots < 2 * beyond_ascii(pattern))
        slots *= 2;
    mask_ = slots - 1;
    keys_.assign(slots, 0);
    rows_.assign(slots * words_, 0);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char32_t c = pattern[i];
        std::uint64_t* row = &ascii_[std::min<char32_t>(c, 127) * words_];
        if (c >= 128) {
            std::size_t slot = (c ^ (c >> 9)) & mask_;
            while (keys_[slot] != 0 && keys_[slot] != c)
                slot = (slot + 1) & mask_;
            keys_[slot] = c;
            row = &rows_[slot * words_];
        }
        row[i / 64] |= std::uint64_t{1} << (i % 64);
    }
}

template <typename Char> double BlockJaroPattern::distance(Units<Char> candidate, double prefix_weight) const
{
    const std::size_t p = pattern_.size(), t = candidate.size();
    if (t == 0) return jaro_distance(0.0, pattern_, candidate, prefix_weight);
    // p > 1, so jaro_span applies.
    const auto [bound, reached] = jaro_span(p, t);
    std::fill(free_.begin(), free_.end(), ~std::uint64_t{0});
    if (matched_.size() < reached) matched_.resize(reached);
    std::uint64_t* const free = free_.data();
    std::size_t common = 0;
    for (std::size_t j = 0; j < reached; ++j) {
        const char32_t c = code_point(candidate[j]);
        const std::uint64_t* const row = positions_of(c);
        if (row == nullptr) continue;
        // The first free position from j - bound to j + bound that holds
        // c; j + bound may lie past the pattern, j - bound never does.
        const std::size_t lo = j > bound ? j - bound : 0, hi = std::min(j + bound, p - 1);
        const std::size_t last_word = hi / 64;
        std::size_t w = lo / 64;
        std::uint64_t found = row[w] & free[w] & (~std::uint64_t{0} << (lo % 64));
        while (true) {
            if (w == last_word) found &= lowest_bits(hi % 64 + 1);
            if (found != 0) {
                free[w] ^= found & (~found + 1);
                matched_[common++] = c;
                break;
            }
            if (w == last_word) break;
            ++w;
            found = row[w] & free[w];
        }
    }
    if (common == 0) return jaro_distance(0.0, pattern_, candidate, prefix_weight);
    // Matched code points taken in order on both sides; no position from
    // p on is ever taken.
    std::size_t differ = 0, k = 0;
    for (std::size_t w = 0; w < words_; ++w)
        for (std::uint64_t taken = ~free[w]; taken != 0; taken &= taken - 1)
            differ += pattern_[w * 64 + lowest_set_bit(taken)] != matched_[k++];
    return jaro_distance(jaro_similarity_of(common, differ / 2, p, t), pattern_, candidate, prefix_weight);
}

template <typename Char> std::uint64_t WordScorer::distance(Units<Char> candidate) const noexcept
{
    const WordPattern& positions = jaro_.positions();
    const std::u32string_view pattern = positions.pattern();
    const std::size_t p = pattern.size(), length = candidate.size();
    switch (metric_) {
    case Metric::levenshtein: return myers_distance<false>(positions, candidate);
    case Metric::osa: return myers_distance<true>(positions, candidate);
    case Metric::indel:
    case Metric::lcs_seq: {
        // Hyyrö's longest common subsequence: set bits are pattern
        // positions not matched yet.
        std::uint64_t row = ~std::uint64_t{0};
        for (const Char unit : candidate) {
            const std::uint64_t u = row & positions.positions_of(code_point(unit));
            row = (row + u) | (row - u);
        }
        const std::uint64_t common = count_bits(~row & lowest_bits(p));
        return metric_ == Metric::indel ? length + p - 2 * common : std::max(length, p) - common;
    }
    case Metric::damerau_levenshtein: {
        // Lowrance and Wagner's table, with a border row and column that no
        // path takes; `seen` holds, per pattern code point, the last row of
        // the candidate that held it.
        constexpr std::size_t side = most_candidate + 2;
        std::uint8_t table[side][side];
        std::uint8_t seen[WordPattern::most] = {};
        const auto far = static_cast<std::uint8_t>(length + p);
        table[0][0] = far;
        for (std::size_t i = 0; i <= length; ++i) {
            table[i + 1][0] = far;
            table[i + 1][1] = static_cast<std::uint8_t>(i);
        }
        for (std::size_t j = 0; j <= p; ++j) {
            table[0][j + 1] = far;
            table[1][j + 1] = static_cast<std::uint8_t>(j);
        }
        for (std::size_t i = 1; i <= length; ++i) {
            const char32_t c = code_point(candidate[i - 1]);
            std::size_t same_column = 0; // the last column of this row whose code point is c
            for (std::size_t j = 1; j <= p; ++j) {
                const unsigned id = positions.id_of(pattern[j - 1]);
                const std::size_t k = seen[id], l = same_column;
                const bool same = c == pattern[j - 1];
                if (same) same_column = j;
                unsigned best = std::min({table[i][j] + unsigned{!same}, table[i + 1][j] + 1u, table[i][j + 1] + 1u});
                best = std::min<unsigned>(best, table[k][l] + static_cast<unsigned>((i - k - 1) + 1 + (j - l - 1)));
                table[i + 1][j + 1] = static_cast<std::uint8_t>(best);
            }
            if (const unsigned id = positions.id_of(c); id != WordPattern::absent) seen[id] = static_cast<std::uint8_t>(i);
        }
        return table[length + 1][p + 1];
    }
    case Metric::hamming: {
        std::uint64_t differ = 0;
        for (std::size_t i = 0; i < length; ++i)
            differ += code_point(candidate[i]) != pattern[i];
        return differ;
    }
    case Metric::prefix:
    case Metric::postfix:
        return std::max(length, p) - common_affix(candidate, pattern, metric_ == Metric::postfix);
    case Metric::jaro:
    case Metric::jaro_winkler: break;
    }
    return 0;
}

template <typename Char> Comparison WordScorer::compare(Units<Char> candidate) const noexcept
{
    const std::size_t p = jaro_.positions().pattern().size(), length = candidate.size();
    double score;
    if (metric_ == Metric::jaro || metric_ == Metric::jaro_winkler) {
        score = jaro_.distance(candidate, traits_of(metric_).prefix_weight);
    } else if (metric_ == Metric::hamming && length != p) {
        // Unequal lengths are the whole mismatch: the larger byte length
        // when absolute.
        score = kind_ == ThresholdKind::Absolute
                    ? static_cast<double>(std::max(utf8_length(candidate), utf8_length(jaro_.positions().pattern())))
                    : 1.0;
    } else {
        score = score_of(metric_, kind_, distance(candidate), length, p);
    }
    return Comparison{score <= threshold_, score};
}

bool WordScorer::refuses_length(std::size_t length) const noexcept
{
    if (metric_ == Metric::jaro || metric_ == Metric::jaro_winkler || metric_ == Metric::hamming) return false;
    const std::size_t p = jaro_.positions().pattern().size();
    const std::uint64_t floor = length > p ? length - p : p - length;
    return floor > 0 && score_of(metric_, kind_, floor, length, p) > threshold_;
}

#define TESSARIN_WORD_SCORING_FOR(Char)                                                                                \
    template double JaroPattern::distance(Units<Char>, double, std::size_t, std::size_t) const noexcept;               \
    template void JaroPattern::prefix_distances(Units<Char>, const std::uint64_t*, const std::uint64_t*, std::size_t,  \
                                                double, double*) const noexcept;                                       \
    template double WideJaroPattern::distance(Units<Char>, double, std::size_t, std::size_t) const noexcept;           \
    template double BlockJaroPattern::distance(Units<Char>, double) const;                                             \
    template Comparison WordScorer::compare(Units<Char>) const noexcept;
TESSARIN_WORD_SCORING_FOR(char)
TESSARIN_WORD_SCORING_FOR(char16_t)
TESSARIN_WORD_SCORING_FOR(char32_t)
#undef TESSARIN_WORD_SCORING_FOR

} // namespace tessarin::detail

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

// The bits of 64 flags, each 0 or 0xff.
std::uint64_t bits_of_flags(const std::uint8_t* flags) noexcept
{
#if defined(__SSE2__)
    std::uint64_t bits = 0;
    for (unsigned k = 0; k < 4; ++k) {
        const __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(flags + 16 * k));
        bits |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(lanes))) << (16 * k);
    }
    return bits;
#else
    std::uint64_t bits = 0;
    for (unsigned k = 0; k < 64; ++k)
        bits |= static_cast<std::uint64_t>(flags[k] & 1) << k;
    return bits;
#endif
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
    : pattern_(pattern), indices_(pattern), taken_((pattern.size() / 64 + 1) * 64)
{
    std::vector<std::uint16_t> index_at(pattern.size());
    for (std::size_t i = 0; i < pattern.size(); ++i)
        index_at[i] = indices_.of(pattern[i]);
    const std::uint16_t distinct_count = indices_.distinct();
    // The positions by index, each list closed by past_positions; the
    // absent index's list holds that alone.
    std::vector<std::uint16_t> counts(distinct_count + 1, 0);
    for (const std::uint16_t index : index_at)
        ++counts[index];
    firsts_.resize(distinct_count + 1);
    std::size_t first = 0;
    for (std::size_t index = 0; index <= distinct_count; ++index) {
        firsts_[index] = static_cast<std::uint16_t>(first);
        first += counts[index] + 1;
    }
    positions_.assign(first, past_positions);
    cursors_ = firsts_;
    for (std::size_t i = 0; i < pattern.size(); ++i)
        positions_[cursors_[index_at[i]]++] = static_cast<std::uint16_t>(i);
    matched_.resize(pattern.size() + 1);
}

template <typename Char>
double BlockJaroPattern::distance(Units<Char> candidate, double prefix_weight, std::size_t need,
                                  std::size_t enough) const
{
    const std::size_t p = pattern_.size(), t = candidate.size();
    if (t == 0) return jaro_distance(0.0, pattern_, candidate, prefix_weight);
    if (p == 1 && t == 1)
        return jaro_distance(code_point(candidate[0]) == pattern_[0] ? 1.0 : 0.0, pattern_, candidate, prefix_weight);
    const auto [bound, reached] = jaro_span(p, t);
    if (need > std::min(reached, p)) return jaro_distance(short_of_need, pattern_, candidate, prefix_weight);
    std::copy(firsts_.begin(), firsts_.end(), cursors_.begin());
    std::fill(taken_.begin(), taken_.end(), std::uint8_t{0});
    // Kept apart from the members, which the stores could otherwise be
    // taken to change.
    const CodePointIndices::View indices = indices_.view();
    std::uint16_t* const cursors = cursors_.data();
    const std::uint16_t* const positions = positions_.data();
    std::uint8_t* const taken = taken_.data();
    char32_t* const matched = matched_.data();
    // Of the code points read, as many may match nothing as leave `need`
    // within reach of the rest. Both counts are looked at between runs of
    // steps, where they take no register from the steps.
    const std::size_t spare = reached - need;
    constexpr std::size_t run = 32;
    std::size_t common = 0;
    for (std::size_t j = 0; j < reached;) {
        for (const std::size_t run_end = std::min(reached, j + run); j < run_end; ++j) {
            const char32_t c = code_point(candidate[j]);
            std::uint16_t* const cursor = &cursors[indices.of(c)];
            // The reach's low end never lies past the pattern (j < p + bound),
            // so no cursor passes its list's end.
            const std::size_t low = j > bound ? j - bound : 0, high = std::min(j + bound, p - 1);
            std::size_t at = *cursor;
            while (positions[at] < low)
                ++at;
            // Without a branch: whether a code point matches is as
            // unforeseeable as the text. One that does not marks position
            // p, which no count reads, and is written over in `matched`. A
            // flag a position, not a bit: or-ing bits into a word would
            // make each step wait on the last one's store.
            const std::size_t position = positions[at];
            std::size_t hit = position <= high;
            // Hidden from the compiler, which would otherwise branch on it.
            asm("" : "+r"(hit));
            taken[p + ((position - p) & (0 - hit))] = 0xff;
            matched[common] = c;
            common += hit;
            *cursor = static_cast<std::uint16_t>(at + hit);
        }
        if (common >= enough) return jaro_distance(enough_matched, pattern_, candidate, prefix_weight);
        if (j - common > spare) return jaro_distance(short_of_need, pattern_, candidate, prefix_weight);
    }
    if (common == 0) return jaro_distance(0.0, pattern_, candidate, prefix_weight);
    // Matched code points taken in order on both sides; position p is not
    // one of them.
    taken[p] = 0;
    std::size_t differ = 0, k = 0;
    for (std::size_t w = 0; w * 64 < p; ++w)
        for (std::uint64_t bits = bits_of_flags(taken + 64 * w); bits != 0; bits &= bits - 1)
            differ += pattern_[w * 64 + lowest_set_bit(bits)] != matched[k++];
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
    template double BlockJaroPattern::distance(Units<Char>, double, std::size_t, std::size_t) const;                   \
    template Comparison WordScorer::compare(Units<Char>) const noexcept;
TESSARIN_WORD_SCORING_FOR(char)
TESSARIN_WORD_SCORING_FOR(char16_t)
TESSARIN_WORD_SCORING_FOR(char32_t)
#undef TESSARIN_WORD_SCORING_FOR

} // namespace tessarin::detail

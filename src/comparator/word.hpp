// Scoring against a pattern of at most 64 code points, one 64-bit word per
// code point's positions: every metric exactly as the comparator scores it
// (the same distances, the same arithmetic), without the metric library's
// call and without the heap, for calls on short inputs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "comparator/bit_parallel.hpp"
#include "comparator/fuzzy.hpp"
#include "comparator/metrics.hpp"
#include "text/units.hpp"

namespace tessarin::detail {

// The pattern's code points from 128 on, each with its positions and an
// id, in a table addressed by their low bits: a probe or two per code point
// of a text beyond Latin-1, where a list of a pattern of other letters
// would be read through at every code point.
template <typename Bits, std::size_t Most> class OtherCodePoints {
public:
    // Empty, with room for `count` code points (at most Most).
    void reset(std::size_t count) noexcept
    {
        std::size_t slots = 1;
        while (slots < 2 * count)
            slots *= 2;
        mask_ = slots - 1;
        std::fill(keys_, keys_ + slots, char32_t{0});
    }

    // Adds `bit` to the positions of `c` (from 128 on); a code point not
    // there yet takes the id `next_id`, which then grows by one.
    void add(char32_t c, Bits bit, unsigned& next_id) noexcept
    {
        std::size_t slot = slot_of(c);
        while (keys_[slot] != 0 && keys_[slot] != c)
            slot = (slot + 1) & mask_;
        if (keys_[slot] == 0) {
            keys_[slot] = c;
            positions_[slot] = 0;
            ids_[slot] = static_cast<std::uint8_t>(next_id++);
        }
        positions_[slot] |= bit;
    }

    Bits positions_of(char32_t c) const noexcept
    {
        // Half the slots at least stay empty: the probes end.
        for (std::size_t slot = slot_of(c);; slot = (slot + 1) & mask_) {
            if (keys_[slot] == c) return positions_[slot];
            if (keys_[slot] == 0) return 0;
        }
    }

    // The id of `c`, or `absent`.
    unsigned id_of(char32_t c, unsigned absent) const noexcept
    {
        for (std::size_t slot = slot_of(c);; slot = (slot + 1) & mask_) {
            if (keys_[slot] == c) return ids_[slot];
            if (keys_[slot] == 0) return absent;
        }
    }

private:
    // Letters of one script lie close together: their low bits tell them
    // apart, and the bits above fold in the block.
    std::size_t slot_of(char32_t c) const noexcept { return (c ^ (c >> 9)) & mask_; }

    std::size_t mask_ = 0;
    char32_t keys_[2 * Most]; // 0 where empty: no key is below 128
    Bits positions_[2 * Most];
    std::uint8_t ids_[2 * Most];
};

// The bit set of the pattern positions that hold each code point: those
// below 256 looked up directly, the others in a small table. Each distinct
// code point also has a small id. The pattern must outlive it.
class WordPattern {
public:
    static constexpr std::size_t most = 64;
    static bool fits(std::u32string_view pattern) noexcept { return !pattern.empty() && pattern.size() <= most; }

    // `pattern` must fit.
    explicit WordPattern(std::u32string_view pattern) noexcept;

    std::uint64_t positions_of(char32_t c) const noexcept
    {
        // Below 256 by one look-up: every code point of a one-byte text is.
        if (c < 256) return low_[c];
        return others_.positions_of(c);
    }

    // The id of a code point of the pattern (below the number of distinct
    // code points), or `absent`.
    static constexpr unsigned absent = 0xFF;
    unsigned id_of(char32_t c) const noexcept
    {
        if (c < 128) return ascii_ids_[c];
        return others_.id_of(c, absent);
    }

    std::u32string_view pattern() const noexcept { return pattern_; }

private:
    std::u32string_view pattern_;
    std::uint64_t low_[256];
    std::uint8_t ascii_ids_[128];
    OtherCodePoints<std::uint64_t, most> others_; // from 128 on
};

// The positions of each code point of a pattern of up to 128 code points,
// in two words: for the Jaro pair on patterns past one word, where the
// metric library's matching of any length costs about three times as much.
class WidePattern {
public:
    __extension__ typedef unsigned __int128 Bits;
    static constexpr std::size_t most = 128;
    static bool fits(std::u32string_view pattern) noexcept { return !pattern.empty() && pattern.size() <= most; }

    // `pattern` must fit, and outlive this.
    explicit WidePattern(std::u32string_view pattern) noexcept;

    Bits positions_of(char32_t c) const noexcept
    {
        if (c < 128) return ascii_[c];
        return others_.positions_of(c);
    }

    std::u32string_view pattern() const noexcept { return pattern_; }

private:
    std::u32string_view pattern_;
    Bits ascii_[128];
    OtherCodePoints<Bits, most> others_; // from 128 on
};

// The Jaro and Jaro-Winkler distances worked out as the metric library
// works them out (the same greedy matching within the same reach, the same
// arithmetic, so the same bits).
class JaroPattern {
public:
    static bool fits(std::u32string_view pattern) noexcept { return WordPattern::fits(pattern); }

    // `pattern` must fit, and outlive this.
    explicit JaroPattern(std::u32string_view pattern) noexcept : positions_(pattern) {}

    static constexpr std::size_t unlimited = ~std::size_t{0};
    static constexpr double passes_by_count = -2.0;

    // The distance of `candidate`, of any length (1 less the similarity;
    // with a prefix weight, Winkler's). A candidate that matches fewer than
    // `need` code points is not scored: it gets infinity (no threshold that
    // such a count fails is passed). One that matches `enough` code points
    // is not scored either, the matching stopped there: it gets
    // `passes_by_count` (for a caller whose threshold every such count
    // passes).
    template <typename Char>
    double distance(Units<Char> candidate, double prefix_weight, std::size_t need = 0,
                    std::size_t enough = unlimited) const noexcept;

    // distance() of the first lengths[k] code points of `candidate` into
    // distances[k], for `count` lengths in ascending order, each at most the
    // candidate's: the candidates that share a beginning also share the
    // matching of the lengths whose reach is the same, so one pass serves
    // them all. A candidate that matches fewer code points than needs[k]
    // is not scored: it gets infinity.
    template <typename Char>
    void prefix_distances(Units<Char> candidate, const std::uint64_t* lengths, const std::uint64_t* needs,
                          std::size_t count, double prefix_weight, double* distances) const noexcept;

    // distance() without `enough`, for a caller that knows the candidate's
    // common prefix with the pattern (up to 4 code points): inlined where
    // it is called (comparator/jaro_matching.hpp), for walks that match
    // most of their windows. A candidate whose Jaro similarity (before
    // Winkler's step) lies below `least`, where that is positive, by more
    // than rounding reaches gets infinity too: for a caller that knows the
    // least similarity that can pass.
    template <typename Char>
    double distance_with_prefix(Units<Char> candidate, double prefix_weight, std::uint64_t prefix,
                                std::size_t need, double least = 0.0) const noexcept;

    const WordPattern& positions() const noexcept { return positions_; }

private:
    template <typename Char>
    double similarity(Units<Char> candidate, std::size_t need, std::size_t enough = unlimited) const noexcept;

    WordPattern positions_;
};

// The same for a pattern of 65 to 128 code points.
class WideJaroPattern {
public:
    static bool fits(std::u32string_view pattern) noexcept { return WidePattern::fits(pattern); }

    // `pattern` must fit, and outlive this.
    explicit WideJaroPattern(std::u32string_view pattern) noexcept : positions_(pattern) {}

    // As JaroPattern::distance.
    template <typename Char>
    double distance(Units<Char> candidate, double prefix_weight, std::size_t need = 0,
                    std::size_t enough = JaroPattern::unlimited) const noexcept;

private:
    WidePattern positions_;
};

// The same for a longer pattern, up to 1,024 code points. Each of its
// distinct code points keeps its positions in order, and a cursor into them:
// the reach only moves on as the candidate is read, so the first free
// position within reach that holds a code point is the first of its own
// that is neither taken nor left behind, and a candidate code point costs a
// step or two however many words the pattern's positions would fill. (Rows
// of bits, a word of the reach at a time, took twice as long.)
class BlockJaroPattern {
public:
    static constexpr std::size_t most = 1024;
    static bool fits(std::u32string_view pattern) noexcept { return !pattern.empty() && pattern.size() <= most; }

    // `pattern` must fit, and outlive this.
    explicit BlockJaroPattern(std::u32string_view pattern);

    // As JaroPattern::distance, for a candidate of any length. Not for two
    // threads at once: it works in buffers of its own.
    template <typename Char>
    double distance(Units<Char> candidate, double prefix_weight, std::size_t need = 0,
                    std::size_t enough = JaroPattern::unlimited) const;

private:
    // Past every position, so that no cursor moves past it.
    static constexpr std::uint16_t past_positions = 0xffff;

    std::u32string_view pattern_;
    CodePointIndices indices_;             // a code point the pattern lacks has a list of no positions
    std::vector<std::uint16_t> positions_; // by index, each's positions in order, then past_positions
    std::vector<std::uint16_t> firsts_;    // where each index's positions begin
    mutable std::vector<std::uint16_t> cursors_;
    mutable std::vector<std::uint8_t> taken_; // a flag a position, 64 a word, and one past the pattern
    mutable std::vector<char32_t> matched_;
};

// How far apart the Jaro matching lets a pattern position and a candidate
// position lie that it pairs, for a candidate of `length` code points.
inline std::uint64_t jaro_reach_of(std::uint64_t length, std::uint64_t pattern_length) noexcept
{
    const std::uint64_t longer = std::max(length, pattern_length);
    return longer >= 2 ? longer / 2 - 1 : 0;
}

// The Jaro pair for a pattern of up to 1,024 code points: in one word, two,
// or as many as it takes.
class JaroScorer {
public:
    static bool fits(std::u32string_view pattern) noexcept { return BlockJaroPattern::fits(pattern); }

    // `pattern` must fit, and outlive this.
    explicit JaroScorer(std::u32string_view pattern)
    {
        if (JaroPattern::fits(pattern))
            narrow_.emplace(pattern);
        else if (WideJaroPattern::fits(pattern))
            wide_.emplace(pattern);
        else
            block_.emplace(pattern);
    }

    // Whether distance() of a candidate of `length` code points, given
    // `enough`, stops with JaroPattern::passes_by_count wherever the
    // matching pairs that many code points (for a pattern of one word: a
    // longer one may score it instead).
    bool stops_at(std::size_t length, std::size_t enough) const noexcept
    {
        if (!narrow_) return false;
        const std::size_t p = narrow_->positions().pattern().size();
        if (length == 0 || (p == 1 && length == 1)) return false;
        // The candidate's code points that the matching reads: those past
        // the pattern's last position and the reach match nothing.
        const std::size_t reached = length > p ? std::min<std::size_t>(length, p + jaro_reach_of(length, p)) : length;
        return enough <= reached;
    }

    // Whether the pattern fits one word, the cheapest distance() to ask
    // of many candidates.
    bool scores_one_word() const noexcept { return narrow_.has_value(); }
    // The scorer of a pattern of one word, where scores_one_word().
    const JaroPattern& one_word() const noexcept { return *narrow_; }

    // As JaroPattern::distance. `need` and `enough` (passes_by_count) may
    // spare the work.
    template <typename Char>
    double distance(Units<Char> candidate, double prefix_weight, std::size_t need = 0,
                    std::size_t enough = JaroPattern::unlimited) const
    {
        if (narrow_) return narrow_->distance(candidate, prefix_weight, need, enough);
        if (wide_) return wide_->distance(candidate, prefix_weight, need, enough);
        return block_->distance(candidate, prefix_weight, need, enough);
    }

private:
    std::optional<JaroPattern> narrow_;
    std::optional<WideJaroPattern> wide_;
    std::optional<BlockJaroPattern> block_;
};

// A count that the Jaro matching of a candidate against a pattern reaches
// at least, for a pattern of 2 to 64 code points, at most 16 distinct ones,
// each below 256. Pattern and candidate are cut alike into blocks of half
// the pattern's length, which the matching's reach spans whatever the
// candidate's length: the code points that the k-th blocks of the two have
// in common can all be paired, none of them lying beyond the reach of
// another. The matching, which gives each candidate code point in turn the
// first free pattern position within reach that holds it, pairs as many as
// any pairing can (of intervals whose ends grow together, each taking the
// first free point it holds), so at least the sum over the blocks. It
// spares the matching's steps, one after another, for a window that passes
// by its count: it counts in byte lanes, a step per code point with nothing
// carried from one to the next but the sums.
class JaroBlockCounts {
public:
    static constexpr std::size_t most_distinct = 16;

    static bool serves(std::u32string_view pattern) noexcept
    {
#if defined(__SSE2__)
        if (pattern.size() < 2 || pattern.size() > WordPattern::most) return false;
        bool seen[256] = {};
        std::size_t distinct = 0;
        for (const char32_t c : pattern) {
            if (c >= 256) return false;
            distinct += !seen[c];
            seen[c] = true;
        }
        return distinct <= most_distinct;
#else
        static_cast<void>(pattern);
        return false;
#endif
    }

#if defined(__SSE2__)
    // `pattern` must be served.
    explicit JaroBlockCounts(std::u32string_view pattern) noexcept : block_(pattern.size() / 2)
    {
        // Code points not in the pattern, and those from 256 on, add the
        // empty row.
        std::fill(std::begin(rows_), std::end(rows_), _mm_setzero_si128());
        std::uint8_t lane_of[256];
        std::fill(std::begin(lane_of), std::end(lane_of), static_cast<std::uint8_t>(most_distinct));
        std::size_t distinct = 0;
        alignas(16) std::uint8_t lanes[most_distinct] = {};
        for (const char32_t c : pattern) {
            if (lane_of[c] != most_distinct) continue;
            lane_of[c] = static_cast<std::uint8_t>(distinct);
            lanes[distinct] = 1;
            rows_[c] = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes));
            lanes[distinct++] = 0;
        }
        blocks_ = (pattern.size() + block_ - 1) / block_;
        for (std::size_t k = 0; k < blocks_; ++k) {
            for (std::size_t i = k * block_; i < std::min(pattern.size(), (k + 1) * block_); ++i)
                ++lanes[lane_of[pattern[i]]];
            quotas_[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes));
            std::fill(std::begin(lanes), std::end(lanes), std::uint8_t{0});
        }
    }

    template <typename Char> std::size_t at_least(Units<Char> candidate) const noexcept
    {
        const Char* units = candidate.data();
        const std::size_t t = candidate.size();
        std::size_t total = 0;
        for (std::size_t k = 0, from = 0; k < blocks_ && from < t; ++k, from += block_) {
            // At most half the pattern's length in a lane: no count wraps.
            __m128i count = _mm_setzero_si128();
            const std::size_t to = std::min(t, from + block_);
            std::size_t j = from;
            for (; j + 4 <= to; j += 4) {
                count = _mm_add_epi8(count, row_of(units[j]));
                count = _mm_add_epi8(count, row_of(units[j + 1]));
                count = _mm_add_epi8(count, row_of(units[j + 2]));
                count = _mm_add_epi8(count, row_of(units[j + 3]));
            }
            for (; j < to; ++j)
                count = _mm_add_epi8(count, row_of(units[j]));
            const __m128i sums = _mm_sad_epu8(_mm_min_epu8(count, quotas_[k]), _mm_setzero_si128());
            total += static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_add_epi32(sums, _mm_unpackhi_epi64(sums, sums))));
        }
        return total;
    }

private:
    template <typename Char> __m128i row_of(Char unit) const noexcept
    {
        if constexpr (sizeof(Char) == 1)
            return rows_[static_cast<unsigned char>(unit)];
        else {
            const char32_t c = code_point(unit);
            return rows_[c < 256 ? c : 256];
        }
    }

    std::size_t block_;   // code points a block
    std::size_t blocks_;  // the pattern's, two or three
    __m128i rows_[257];   // by code point: a one in its lane; the last, for those from 256 on
    __m128i quotas_[3];   // the pattern's count in each lane, by block
#else
    explicit JaroBlockCounts(std::u32string_view) noexcept {}
    template <typename Char> std::size_t at_least(Units<Char>) const noexcept { return 0; }
#endif
};

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

// The count of JaroReach for every beginning of a text at once, 64
// beginnings to a word: for each pattern position, the beginnings from
// which a code point equal to it lies within the matching's reach are the
// positions of that code point spread over the reach (a run of bits ORed
// together, from shifted copies that double in width), and the counts are
// added up in bit slices. A beginning whose count falls short is ruled out
// in a step or two, without reading its windows. Worked out a piece of the
// text at a time, so that the memory stays small whatever the text.
template <typename Char> class JaroReachMap {
public:
    static constexpr std::uint64_t piece = 4096; // beginnings per piece

    // `positions` and `text` must outlive this. No candidate is longer than
    // `longest` code points (at least 1).
    JaroReachMap(const WordPattern& positions, Units<Char> text, std::uint64_t longest);

    // Bit b: the count for the beginning `at` + b is at least `need`; `at`
    // lies in the piece at hand, or is the first beginning after it.
    std::uint64_t at_least(std::uint64_t at, std::uint64_t need) const noexcept
    {
        if (need == 0) return ~std::uint64_t{0};
        if (need > p_) return 0;
        const std::uint64_t word = (at - first_) >> 6, offset = at & 63;
        const std::uint64_t low = word_at_least(word, need);
        if (offset == 0) return low;
        return (low >> offset) | (word_at_least(word + 1, need) << (64 - offset));
    }

    // The count for a beginning `at` that the piece at hand covers.
    std::uint64_t count(std::uint64_t at) const noexcept
    {
        const std::uint64_t* planes = &planes_[((at - first_) >> 6) * plane_count];
        std::uint64_t count = 0;
        for (unsigned j = 0; j < planes_used_; ++j)
            count |= ((planes[j] >> (at & 63)) & 1) << j;
        return count;
    }

    // Whether the piece at hand holds the count for the beginning `at`.
    bool covers(std::uint64_t at) const noexcept
    {
        return !planes_.empty() && at >= first_ && at < first_ + 64 * counted_words_;
    }

    // Works out the piece that holds the beginning `at`, unless it is the
    // one at hand.
    void prepare(std::uint64_t at)
    {
        if (!planes_.empty() && at >= first_ && at < first_ + 64 * (counted_words_ - 1)) return;
        fill(at & ~std::uint64_t{63});
    }

    // The beginnings that the counts are kept for, from the piece's first:
    // the piece and one word more.
    static constexpr std::uint64_t words = piece / 64 + 1;
    static constexpr std::uint64_t first_words = 5;

    // Bit b: the code point at `at` + b equals pattern position `i`; `at`
    // lies in the piece at hand or up to `longest` past it.
    std::uint64_t holds(std::uint64_t i, std::uint64_t at) const noexcept
    {
        return bits_from(&levels_[(ids_[i] + 1) * row_], at - first_);
    }

    // Bit b: the code point at `at` + b is white space (as trimming sees it),
    // under the same condition.
    std::uint64_t white(std::uint64_t at) const noexcept { return bits_from(white_.data(), at - first_); }

private:
    static constexpr unsigned plane_count = 7; // counts up to 64

    // 64 bits of a row from `bit` on; the rows are padded with zero words
    // so that every read stays within them.
    static std::uint64_t bits_from(const std::uint64_t* row, std::uint64_t bit) noexcept
    {
        const std::uint64_t w = bit >> 6, offset = bit & 63;
        if (offset == 0) return row[w];
        return (row[w] >> offset) | (row[w + 1] << (64 - offset));
    }

    std::uint64_t word_at_least(std::uint64_t word, std::uint64_t need) const noexcept
    {
        const std::uint64_t* planes = &planes_[word * plane_count];
        // From the top bit down: above `need` already, or equal so far.
        std::uint64_t above = 0, equal = ~std::uint64_t{0};
        for (unsigned j = planes_used_; j-- > 0;) {
            if ((need >> j) & 1)
                equal &= planes[j];
            else
                above |= equal & planes[j];
        }
        return above | equal;
    }

    void fill(std::uint64_t first);
    template <unsigned Planes> void count_reach() noexcept;

    const WordPattern& positions_;
    Units<Char> text_;
    std::uint64_t p_, longest_, reach_;
    std::uint64_t ids_count_ = 0, levels_count_ = 1;
    unsigned planes_used_ = 1;            // bits enough for the pattern's length
    std::vector<std::uint64_t> ids_;      // by pattern position: its code point's id
    std::vector<std::uint64_t> lo_, hi_;  // by pattern position: the offsets within reach
    std::vector<std::uint64_t> level_of_; // by pattern position: the run width it reads (a power of two)
    std::uint64_t counted_words_ = 0;
    std::uint64_t first_ = 0, stride_ = 0, row_ = 0; // the piece's first beginning; words per bit row, padded
    std::vector<std::uint64_t> levels_;              // by level, then id: the code point's positions, spread
    std::vector<std::uint64_t> white_;
    std::uint8_t low_rows_[256]; // by code point below 256: its row of level 0 (0: none), and 0x80 if white space
    std::vector<std::pair<std::uint64_t, int>> low_bytes_; // the rows of level 0 of the code points below 256
    std::vector<int> white_bytes_;                         // the white space code points below 256
    std::vector<std::uint64_t> planes_;                    // by word of beginnings: the counts' bit slices
};

template <typename Char>
JaroReachMap<Char>::JaroReachMap(const WordPattern& positions, Units<Char> text, std::uint64_t longest)
    : positions_(positions), text_(text), p_(positions.pattern().size()), longest_(std::max<std::uint64_t>(longest, 1)),
      reach_(jaro_reach_of(longest_, p_))
{
    const std::u32string_view pattern = positions.pattern();
    for (std::uint64_t i = 0; i < p_; ++i) {
        const std::uint64_t id = positions.id_of(pattern[i]);
        ids_.push_back(id);
        ids_count_ = std::max(ids_count_, id + 1);
        // A candidate's position j pairs with pattern position i only when
        // they lie within reach of each other, and j < longest.
        const std::uint64_t lo = i > reach_ ? i - reach_ : 0, hi = std::min(longest_ - 1, i + reach_);
        lo_.push_back(lo);
        hi_.push_back(hi);
        std::uint64_t level = 0;
        while (lo <= hi && (std::uint64_t{2} << level) <= hi - lo + 1)
            ++level;
        level_of_.push_back(level);
        levels_count_ = std::max(levels_count_, level + 1);
    }
    while ((p_ >> planes_used_) != 0)
        ++planes_used_;
    for (char32_t c = 0; c < 256; ++c) {
        const unsigned id = positions.id_of(c);
        low_rows_[c] = static_cast<std::uint8_t>((id == WordPattern::absent ? 0 : id + 1) |
                                                 (!(c > 0x20 && c < 0x7F) && is_white_space(c) ? 0x80 : 0));
        if (id != WordPattern::absent) low_bytes_.emplace_back(id + 1, static_cast<int>(c));
        if (low_rows_[c] & 0x80) white_bytes_.push_back(static_cast<int>(c));
    }
    // Words enough for the counts' beginnings and the longest candidate of
    // the last of them, and for what holds() and white() are asked.
    stride_ = words + longest_ / 64 + 3;
    row_ = stride_ + ((std::uint64_t{1} << levels_count_) >> 6) + 2;
}

template <typename Char> void JaroReachMap<Char>::fill(std::uint64_t first)
{
    first_ = first;
    levels_.assign((levels_count_ * ids_count_ + 1) * row_, 0);
    white_.assign(row_, 0);
    // Level 0 after the row that takes the code points of no pattern
    // position; in locals, which the stores could alias as members.
    // The first piece is short: a few words tell whether the counts rule
    // out enough starts to be worth working out. Beginnings past the
    // text's end are never asked about.
    counted_words_ = std::min<std::uint64_t>(planes_.empty() ? first_words : words,
                                             (text_.size() - std::min(first, text_.size())) / 64 + 2);
    const std::uint64_t row_size = row_, stride = std::min(stride_, counted_words_ + longest_ / 64 + 3);
    std::uint64_t* const all = levels_.data();
    std::uint64_t* const rows = all + row_size;
    std::uint64_t* const white = white_.data();
    const std::uint8_t* const low_rows = low_rows_;
    const Char* const text = text_.data();
    const std::uint64_t end = std::min<std::uint64_t>(text_.size(), first + stride * 64);
    std::uint64_t q = first;
#if defined(__SSE2__)
    if constexpr (sizeof(Char) == 1) {
        // Every code point of such a text is below 256: sixty-four at a
        // time, one comparison of sixteen per code point of the pattern.
        const auto bits_of = [](const __m128i(&block)[4], int byte) {
            const __m128i wanted = _mm_set1_epi8(static_cast<char>(byte));
            std::uint64_t bits = 0;
            for (unsigned lane = 0; lane < 4; ++lane)
                bits |= static_cast<std::uint64_t>(
                            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block[lane], wanted))))
                        << (16 * lane);
            return bits;
        };
        for (; q + 64 <= end; q += 64) {
            const std::uint64_t word = (q - first) >> 6;
            __m128i block[4];
            for (unsigned lane = 0; lane < 4; ++lane)
                block[lane] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + q + 16 * lane));
            for (const auto& [row, byte] : low_bytes_)
                all[row * row_size + word] = bits_of(block, byte);
            std::uint64_t whites = 0;
            for (const int byte : white_bytes_)
                whites |= bits_of(block, byte);
            white[word] = whites;
        }
    }
#endif
    for (; q < end; ++q) {
        const char32_t c = code_point(text[q]);
        const std::uint64_t bit = std::uint64_t{1} << ((q - first) & 63), word = (q - first) >> 6;
        std::uint64_t row, is_white;
        if (c < 256) {
            row = low_rows[c] & 0x7F;
            is_white = low_rows[c] >> 7;
        } else {
            const unsigned id = positions_.id_of(c);
            row = id == WordPattern::absent ? 0 : id + 1;
            is_white = is_white_space(c);
        }
        all[row * row_size + word] |= bit;
        white[word] |= bit & (std::uint64_t{0} - is_white);
    }
    // Level k + 1: a run of 2^(k+1) positions from each bit, from two runs of 2^k.
    const std::uint64_t level_size = ids_count_ * row_size;
    for (std::uint64_t level = 0; level + 1 < levels_count_; ++level)
        for (std::uint64_t id = 0; id < ids_count_; ++id) {
            const std::uint64_t* const from = &rows[level * level_size + id * row_size];
            std::uint64_t* const to = &rows[(level + 1) * level_size + id * row_size];
            const std::uint64_t shift = std::uint64_t{1} << level;
            if (shift < 64)
                for (std::uint64_t w = 0; w < stride; ++w)
                    to[w] = from[w] | (from[w] >> shift) | (from[w + 1] << (64 - shift));
            else
                for (std::uint64_t w = 0; w < stride; ++w)
                    to[w] = from[w] | bits_from(from, w * 64 + shift);
        }
    planes_.assign(words * plane_count, 0);
    switch (planes_used_) {
    case 1: count_reach<1>(); break;
    case 2: count_reach<2>(); break;
    case 3: count_reach<3>(); break;
    case 4: count_reach<4>(); break;
    case 5: count_reach<5>(); break;
    case 6: count_reach<6>(); break;
    default: count_reach<7>(); break;
    }
}

// Each pattern position adds one to the beginnings from which it is within
// reach: two runs of its width cover its whole reach. The bit slices of a
// word of beginnings stay in registers while the positions are added.
template <typename Char> template <unsigned Planes> void JaroReachMap<Char>::count_reach() noexcept
{
    const std::uint64_t level_size = ids_count_ * row_;
    for (std::uint64_t w = 0; w < counted_words_; ++w) {
        std::uint64_t planes[Planes] = {};
        for (std::uint64_t i = 0; i < p_; ++i) {
            if (lo_[i] > hi_[i]) continue;
            const std::uint64_t width = std::uint64_t{1} << level_of_[i];
            const std::uint64_t* run = &levels_[row_ + level_of_[i] * level_size + ids_[i] * row_];
            std::uint64_t carry = bits_from(run, w * 64 + lo_[i]) | bits_from(run, w * 64 + hi_[i] + 1 - width);
            for (unsigned j = 0; j < Planes; ++j) {
                const std::uint64_t next = planes[j] & carry;
                planes[j] ^= carry;
                carry = next;
            }
        }
        std::copy(planes, planes + Planes, &planes_[w * plane_count]);
    }
}

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

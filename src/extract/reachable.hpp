// Which window ends a Levenshtein search can rule out before any window is
// scored, for the fuzzy extractors: the largest distance with which a
// window can pass, and the ends within it of any stretch of the text.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "comparator/bit_parallel.hpp"
#include "comparator/metrics.hpp"
#include "text/match.hpp"
#include "text/text.hpp"

namespace tessarin::detail {

using std::uint64_t;

// Piece `index` of `count` near-equal pieces of a pattern of `p` code
// points: [offset, end).
inline std::pair<uint64_t, uint64_t> piece_bounds(uint64_t p, uint64_t count, uint64_t index) noexcept
{
    return {index * p / count, (index + 1) * p / count};
}

// Pieces shorter than this are too common for their occurrences to narrow a
// search.
constexpr uint64_t shortest_piece = 3;

// Calls visit(b) for every bit b set in `bits`, ascending. The words are
// read a piece at a time with a poll between pieces: where few bits are
// set, too little else happens per bit to poll for the whole walk.
template <typename Visit>
void for_each_bit(const std::vector<uint64_t>& bits, uint64_t offset, Cancellation& cancel, Visit&& visit)
{
    for (std::size_t word = 0; word < bits.size(); ++word) {
        if (word % (pass_piece / 64) == 0) cancel.poll(pass_piece);
        for (uint64_t set = bits[word]; set != 0; set &= set - 1)
            visit(offset + word * 64 + static_cast<uint64_t>(__builtin_ctzll(set)));
    }
}

// A stretch [first, last) of the text where a window within the edit limit
// may end.
using Stretch = std::pair<uint64_t, uint64_t>;

// Cut into limit + 1 pieces, the pattern keeps at least one piece intact in
// any substring within `limit` edits of it (an edit touches one piece at
// most), and such a substring lies within `limit` code points of where that
// piece's occurrence puts the whole pattern. Calls piece(offset, end) for
// each piece [offset, end) of a pattern of length p; false where the pieces
// are too short to be worth a search.
template <typename Piece> bool for_each_piece(uint64_t p, uint64_t limit, Piece&& piece)
{
    const uint64_t pieces = limit + 1;
    if (p / pieces < shortest_piece) return false;
    for (uint64_t k = 0; k < pieces; ++k) {
        const auto [offset, end] = piece_bounds(p, pieces, k);
        piece(offset, end);
    }
    return true;
}

// The stretch that an occurrence at `at` of the piece at `offset` of a
// pattern of length p puts the pattern's windows in.
constexpr Stretch stretch_of(uint64_t at, uint64_t offset, uint64_t p, uint64_t limit, uint64_t n) noexcept
{
    return {at > offset + limit ? at - offset - limit : 0, std::min<uint64_t>(n, at + (p - offset) + limit)};
}

// Past this many stretches the pieces are too common to pay: the search runs
// over the whole text.
constexpr uint64_t most_stretches(uint64_t n, uint64_t p, uint64_t limit) noexcept
{
    return n / (2 * (p + 2 * limit)) + 1;
}

// Marks what BitParallelPattern::mark_reachable_ends marks over the whole
// text, over the stretches only (sorted by their first code point; they may
// overlap): mark(b) is called for every end b, ascending.
template <typename Char, typename Mark>
void mark_over_stretches(const BitParallelPattern& levenshtein, Units<Char> text, uint64_t p, uint64_t limit,
                         const std::vector<Stretch>& stretches, Mark&& mark, Cancellation& cancel)
{
    std::vector<uint64_t> marks;
    for (std::size_t i = 0; i < stretches.size();) {
        uint64_t first = stretches[i].first, last = stretches[i].second;
        for (++i; i < stretches.size() && stretches[i].first <= last; ++i)
            last = std::max(last, stretches[i].second);
        cancel.poll((last - first) * (p / 64 + 1));
        levenshtein.mark_reachable_ends(text.substr(first, last - first), limit, marks, cancel);
        for_each_bit(marks, first, cancel, mark);
    }
}

// Marks the ends that BitParallelPattern::mark_reachable_ends marks over the
// whole text, but runs the search only where it can mark anything: the
// pattern's pieces are found by the vector search, and the bit-parallel
// search runs over their stretches only. Pieces too short to be rare, or
// too many occurrences, leave the search to the whole text.
template <typename Char>
void mark_reachable_ends(const BitParallelPattern& levenshtein, Units<Char> text,
                         const std::u32string& pattern, uint64_t limit, std::vector<uint64_t>& reachable,
                         Cancellation& cancel)
{
    const uint64_t n = text.size(), p = pattern.size();
    std::basic_string<Char> units;
    std::vector<Stretch> stretches;
    bool too_many = !narrow_units(pattern, units);
    const bool pieces = !too_many && for_each_piece(p, limit, [&](uint64_t offset, uint64_t end) {
        if (too_many) return;
        cancel.poll(n / 16 + 1);
        OccurrenceFinder<Char> finder(text, Units<Char>(units).substr(offset, end - offset), AsciiFold{}, &cancel);
        for (std::size_t at = finder.next(); at != no_occurrence; at = finder.next()) {
            if (stretches.size() == most_stretches(n, p, limit)) {
                too_many = true;
                return;
            }
            append_polled(stretches, stretch_of(at, offset, p, limit, n), cancel);
        }
    });
    if (!pieces || too_many) {
        cancel.poll(n * (p / 64 + 1));
        levenshtein.mark_reachable_ends(text, limit, reachable, cancel);
        return;
    }
    reachable.assign(n / 64 + 1, 0);
    std::sort(stretches.begin(), stretches.end());
    mark_over_stretches(levenshtein, text, p, limit, stretches,
                        [&](uint64_t end) { reachable[end >> 6] |= uint64_t{1} << (end & 63); }, cancel);
}

// The largest distance with which any window can pass: the threshold
// itself for an absolute reading (at most `cap`); for a normalized one, the
// largest distance that passes over the largest maximum any window has,
// found with the score's own division (a smaller maximum only raises the
// score). The threshold is neither NaN nor negative here.
inline uint64_t largest_passing_distance(Metric metric, ThresholdKind kind, double threshold, uint64_t longest_window,
                                  uint64_t p, uint64_t cap)
{
    if (kind == ThresholdKind::Absolute)
        return threshold >= static_cast<double>(cap) ? cap : static_cast<uint64_t>(threshold);
    const uint64_t maximum = maximum_of(metric, longest_window, p);
    if (threshold >= 1.0) return cap;
    const auto passes = [&](uint64_t distance) {
        return static_cast<double>(distance) / static_cast<double>(maximum) <= threshold;
    };
    uint64_t distance = static_cast<uint64_t>(threshold * static_cast<double>(maximum));
    while (distance > 0 && !passes(distance))
        --distance;
    while (distance < cap && passes(distance + 1))
        ++distance;
    return std::min(distance, cap);
}

// The longest trimmed window that can pass a normalized threshold below 1:
// a window's distance is at least the difference of the lengths, so over
// the larger length (edit metrics), L - p <= t * L; over both lengths
// (Indel), L - p <= t * (L + p). White space around the pattern lengthens
// the windows, not the trimmed windows that can pass. One more against
// rounding; no limit otherwise.
inline uint64_t longest_passing_length(Metric metric, ThresholdKind kind, double threshold, uint64_t p)
{
    constexpr uint64_t unlimited = static_cast<uint64_t>(-1);
    if (kind == ThresholdKind::Absolute || !(threshold < 1.0)) return unlimited;
    const double pattern = static_cast<double>(p);
    const double longest = traits_of(metric).maximum == Maximum::sum ? pattern * (1.0 + threshold) / (1.0 - threshold)
                                                                     : pattern / (1.0 - threshold);
    return longest < 1e15 ? static_cast<uint64_t>(longest) + 1 : unlimited;
}

} // namespace tessarin::detail

// The Jaro and Jaro-Winkler distances of candidates from one pattern of at
// most 64 code points, worked out as the metric library works them out (the
// same greedy matching within the same reach, the same arithmetic, so the
// same bits), without its call per candidate: for windows judged by the
// thousand.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "comparator/bit_parallel.hpp"
#include "text/units.hpp"

namespace tessarin::detail {

class JaroPattern {
public:
    // Whether a pattern can be held: one to 64 code points.
    static bool fits(std::u32string_view pattern) noexcept { return !pattern.empty() && pattern.size() <= 64; }

    // `pattern` must fit.
    explicit JaroPattern(std::u32string_view pattern) : pattern_(pattern), positions_(pattern) {}

    // The distance of `candidate` (1 less the similarity; with a prefix
    // weight, Winkler's), or a negative value when the candidate's part that
    // the matching reaches is longer than 64 code points (the caller then
    // asks the library).
    template <typename Char> double distance(Units<Char> candidate, double prefix_weight) const noexcept;

private:
    template <typename Char> double similarity(Units<Char> candidate) const noexcept;

    std::u32string pattern_;
    BitParallelPattern positions_;
};

} // namespace tessarin::detail

// The windows of a fuzzy raw search: each start gets windows from a few
// code points shorter than the pattern to a few longer, as the threshold
// allows.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "extract/extract.hpp"

namespace tessarin::detail {

// How many code points longer than the pattern a window may be: the
// pattern length times a normalized threshold, truncated toward zero and
// saturated to the range of a signed byte (NaN gives 0). Every step is
// defined for any double, infinities and huge products included.
inline int slack_for(std::uint64_t pattern_length, double threshold, ThresholdKind threshold_kind)
{
    if (threshold_kind == ThresholdKind::Absolute) return 0;
    const double product = static_cast<double>(pattern_length) * threshold;
    if (std::isnan(product)) return 0;
    if (product >= 127.0) return 127;
    if (product <= -128.0) return -128;
    return static_cast<int>(product); // truncates toward zero
}

// The windows of one start: lengths m - shrink to m + longest, cut short
// at the first window that reaches the end of the text. A negative slack
// allows no window at all; each start still gets the one window of the
// pattern's length, so the metric is looked at as in every other call (no
// score can pass then).
struct WindowShape {
    std::uint64_t pattern_length; // m, before trimming
    std::int64_t shrink;
    std::int64_t longest;

    WindowShape(std::uint64_t m, int slack)
        : pattern_length(m), shrink(std::min<std::int64_t>(static_cast<std::int64_t>(m) - 1, std::max(slack, 0))),
          longest(std::max(slack, 0))
    {
    }

    template <typename Visit> void for_each_end(std::uint64_t start, std::uint64_t n, Visit visit) const
    {
        for (std::int64_t k = -shrink;; ++k) {
            const std::uint64_t nominal_end = start + pattern_length + static_cast<std::uint64_t>(k);
            visit(std::min(nominal_end, n));
            if (k >= longest || nominal_end >= n) break;
        }
    }

    // The ends of the shortest and of the longest window of `start`.
    std::uint64_t shortest_end(std::uint64_t start, std::uint64_t n) const noexcept
    {
        return std::min(start + pattern_length - static_cast<std::uint64_t>(shrink), n);
    }
    std::uint64_t longest_end(std::uint64_t start, std::uint64_t n) const noexcept
    {
        return std::min(start + pattern_length + static_cast<std::uint64_t>(longest), n);
    }

    std::uint64_t work_per_start() const noexcept
    {
        return static_cast<std::uint64_t>(shrink + longest + 1) * (pattern_length + 1);
    }
};

// The window shape of a pattern of `m` code points (before trimming).
inline WindowShape shape_of(std::uint64_t m, const SearchOptions& options)
{
    return WindowShape(m, options.edit_reach >= 0 ? std::min(options.edit_reach, 127)
                                                  : slack_for(m, options.threshold, options.threshold_kind));
}

} // namespace tessarin::detail

// The conflict groups of an extractor's passing windows, found in window
// order, with what is known of each group's pick under "best_match" first:
// for the extractors that score only the windows that can be a pick.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "conflict_solver/mod.hpp"
#include "text/text.hpp"

namespace tessarin::detail {

struct PickGroup {
    std::uint64_t first, end;           // the first start, and the furthest end of a passing window
    std::uint64_t seed_start, seed_end; // the passing window of the lowest floor
    double seed_floor;
    double best; // a score of a passing window of the group, or infinity: the pick scores no more

    // Opens the group in `solver` with one window spanning it and a score
    // that no window beats: every window of the group then joins it, and
    // none other, whichever of them are handed over.
    void open(CandidateSink& solver) const { solver.add(Match{first, end, std::numeric_limits<double>::infinity()}); }
};

class PickGroups {
public:
    // A passing window, in window order, with its floor and a score it
    // cannot exceed (infinity where none is known).
    void add(std::uint64_t start, std::uint64_t end, double floor, double ceiling, Cancellation& cancel)
    {
        if (groups_.empty() || start > groups_.back().end) {
            append_polled(groups_, PickGroup{start, end, start, end, floor, ceiling}, cancel);
            return;
        }
        PickGroup& group = groups_.back();
        group.end = std::max(group.end, end);
        group.best = std::min(group.best, ceiling);
        if (floor < group.seed_floor) {
            group.seed_start = start;
            group.seed_end = end;
            group.seed_floor = floor;
        }
    }

    std::vector<PickGroup>& groups() noexcept { return groups_; }

private:
    std::vector<PickGroup> groups_;
};

} // namespace tessarin::detail

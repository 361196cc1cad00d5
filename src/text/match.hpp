// The match record, and how an extractor reports failure (and, from
// cancellation.hpp, how it is cancelled).
// All positions and lengths count Unicode code points.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "text/cancellation.hpp"

namespace tessarin {

// One occurrence: the half-open span [start, end) of code points in the
// folded text, and its distance from the pattern (0.0 for exact matches).
struct Match {
    std::uint64_t start;
    std::uint64_t end;
    double score;
};

using MatchList = std::vector<Match>;

// A condition that an extractor cannot handle. It ends the whole call, and
// the caller sees its message.
class ExtractionFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace tessarin

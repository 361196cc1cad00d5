// Reduces an extractor's candidates to one match per group of candidates
// that overlap or touch, choosing within each group by the caller's named
// tie-breaking strategies.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "text/text.hpp"

namespace tessarin {

enum class Strategy { best_match, shortest, longest, minimum_isolated_character, unknown };

// The strategy that `name` selects: byte for byte, case-sensitive, whole
// string. Any other name is `unknown`, which keeps a group's first candidate.
Strategy parse_strategy(std::string_view name) noexcept;

class ConflictSolver {
public:
    // `matches` must come in non-decreasing `start` order, every span within
    // `text` (the folded text, read only for the isolated-character count).
    // Returns one match per conflict group, in group order.
    static MatchList solve_conflicts(std::string_view text, MatchList matches,
                                     const std::vector<std::string>& strategies);
};

} // namespace tessarin

#include "conflict_solver/mod.hpp"

namespace tessarin {

Strategy parse_strategy(std::string_view name) noexcept
{
    if (name == "best_match") return Strategy::best_match;
    if (name == "shortest") return Strategy::shortest;
    if (name == "longest") return Strategy::longest;
    if (name == "minimum_isolated_character") return Strategy::minimum_isolated_character;
    return Strategy::unknown;
}

ConflictSolver::ConflictSolver(std::string_view text, const std::vector<std::string>& strategies) : text_(text)
{
    // An unknown name keeps the first of the candidates still tied, so the
    // names after it can never matter.
    for (const std::string& name : strategies) {
        const Strategy strategy = parse_strategy(name);
        if (strategy == Strategy::unknown) break;
        keys_.push_back(strategy);
    }
}

// Positions of the span that stand alone between spaces: the first when a
// space follows it, the last when a space precedes it, an inner one when
// spaces stand on both sides. Neighbours are taken within the span only, so
// a span of one code point counts itself when it is a space. The inner
// positions are counted from running sums over the text, made once, so a
// candidate costs the same whatever its length.
std::uint64_t ConflictSolver::isolated_character_count(const Match& match)
{
    if (!text_ready_) {
        text_is_ascii_ = is_ascii(text_);
        if (!text_is_ascii_) decoded_ = decode_utf8(text_);
        const std::size_t n = text_is_ascii_ ? text_.size() : decoded_.size();
        const auto space_at = [this](std::size_t i) {
            return (text_is_ascii_ ? static_cast<char32_t>(text_[i]) : decoded_[i]) == U' ';
        };
        // between_spaces_[i]: the positions p < i that have spaces on both sides.
        between_spaces_.assign(n + 1, 0);
        for (std::size_t p = 0; p < n; ++p)
            between_spaces_[p + 1] =
                between_spaces_[p] + (p > 0 && p + 1 < n && space_at(p - 1) && space_at(p + 1));
        text_ready_ = true;
    }
    const auto is_space = [this](std::uint64_t index) {
        return (text_is_ascii_ ? static_cast<char32_t>(text_[index]) : decoded_[index]) == U' ';
    };
    if (match.start >= match.end) return 0;
    if (match.end - match.start == 1) return is_space(match.start);
    const std::uint64_t first = match.start, last = match.end - 1;
    return static_cast<std::uint64_t>(is_space(first + 1)) + is_space(last - 1) +
           (between_spaces_[last] - between_spaces_[first + 1]);
}

bool ConflictSolver::better(const Match& challenger, const Match& holder)
{
    for (Strategy key : keys_) {
        switch (key) {
        case Strategy::best_match:
            // Scores are never NaN, and -0.0 equals 0.0 as a number.
            if (challenger.score != holder.score) return challenger.score < holder.score;
            break;
        case Strategy::shortest:
        case Strategy::longest: {
            const std::uint64_t a = challenger.end - challenger.start, b = holder.end - holder.start;
            if (a != b) return key == Strategy::shortest ? a < b : a > b;
            break;
        }
        case Strategy::minimum_isolated_character: {
            if (!best_isolated_known_) {
                best_isolated_ = isolated_character_count(holder);
                best_isolated_known_ = true;
            }
            const std::uint64_t count = isolated_character_count(challenger);
            if (count != best_isolated_) return count < best_isolated_;
            break;
        }
        case Strategy::unknown:
            break;
        }
    }
    return false; // tied on every value: the earlier candidate stays
}

void ConflictSolver::add(const Match& candidate)
{
    if (group_open_ && candidate.start <= group_end_) {
        if (group_end_ < candidate.end) group_end_ = candidate.end;
        if (!keys_.empty() && better(candidate, best_)) {
            best_ = candidate;
            best_isolated_known_ = false;
        }
        return;
    }
    if (group_open_) picks_.push_back(best_);
    best_ = candidate;
    best_isolated_known_ = false;
    group_end_ = candidate.end;
    group_open_ = true;
}

MatchList ConflictSolver::finish()
{
    if (group_open_) picks_.push_back(best_);
    group_open_ = false;
    return std::move(picks_);
}

MatchList ConflictSolver::solve_conflicts(std::string_view text, MatchList matches,
                                          const std::vector<std::string>& strategies)
{
    ConflictSolver solver(text, strategies);
    for (const Match& match : matches)
        solver.add(match);
    return solver.finish();
}

} // namespace tessarin

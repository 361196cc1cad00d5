#include "conflict_solver/mod.hpp"

#include <algorithm>
#include <utility>

namespace tessarin {

Strategy parse_strategy(std::string_view name) noexcept
{
    if (name == "best_match") return Strategy::best_match;
    if (name == "shortest") return Strategy::shortest;
    if (name == "longest") return Strategy::longest;
    if (name == "minimum_isolated_character") return Strategy::minimum_isolated_character;
    return Strategy::unknown;
}

std::vector<Strategy> parse_strategies(const std::vector<std::string>& names)
{
    std::vector<Strategy> strategies;
    strategies.reserve(names.size());
    for (const std::string& name : names)
        strategies.push_back(parse_strategy(name));
    return strategies;
}

ConflictSolver::ConflictSolver(const StrategyList& strategies, Cancellation* cancel)
    : ConflictSolver(UnitText(), strategies, cancel)
{
    has_text_ = false;
}

ConflictSolver::ConflictSolver(UnitText text, const StrategyList& strategies, Cancellation* cancel)
    : text_(std::move(text)), cancel_(cancel), keys_(strategies)
{
}

void ConflictSolver::read_spaces()
{
    Cancellation never;
    Cancellation& cancel = cancel_ ? *cancel_ : never;
    std::uint64_t word = 0;
    const auto add = [&](bool space) {
        word |= static_cast<std::uint64_t>(space) << (length_ % 64);
        if (++length_ % 64 == 0) {
            spaces_.push_back(word);
            word = 0;
        }
    };
    spaces_.reserve(text_.size() / 64 + 2);
    text_.visit([&](auto units) {
        for (std::size_t i = 0; i < units.size(); ++i) {
            if (i % pass_piece == 0) cancel.poll(pass_piece);
            add(units[i] == ' ');
        }
    });
    // A clear word past the end: the neighbour of the last code point.
    spaces_.push_back(word);
    spaces_.push_back(0);

    // Position p has spaces on both sides when bits p - 1 and p + 1 are set;
    // positions 0 and n - 1 lack a side (no bit before 0, clear bits after
    // the end).
    // Filled as it is reserved, in the polled loop: clearing it first would
    // be a pass of its own without a poll.
    between_spaces_.reserve(spaces_.size());
    std::uint64_t count = 0;
    for (std::size_t w = 0; w + 1 < spaces_.size(); ++w) {
        if (w % (pass_piece / 64) == 0) cancel.poll(pass_piece);
        between_spaces_.push_back(count);
        const std::uint64_t before = (spaces_[w] << 1) | (w > 0 ? spaces_[w - 1] >> 63 : 0);
        const std::uint64_t after = (spaces_[w] >> 1) | (spaces_[w + 1] << 63);
        count += static_cast<std::uint64_t>(__builtin_popcountll(before & after));
    }
    between_spaces_.push_back(count);
    text_ready_ = true;
}

bool ConflictSolver::is_space(std::uint64_t index) const noexcept
{
    return (spaces_[index / 64] >> (index % 64)) & 1;
}

// The positions p < index that have spaces on both sides.
std::uint64_t ConflictSolver::between_spaces_before(std::uint64_t index) const noexcept
{
    const std::uint64_t w = index / 64, bit = index % 64;
    if (bit == 0) return between_spaces_[w];
    const std::uint64_t before = (spaces_[w] << 1) | (w > 0 ? spaces_[w - 1] >> 63 : 0);
    const std::uint64_t after = (spaces_[w] >> 1) | (spaces_[w + 1] << 63);
    const std::uint64_t below = (std::uint64_t{1} << bit) - 1;
    return between_spaces_[w] + static_cast<std::uint64_t>(__builtin_popcountll(before & after & below));
}

// Positions of the span that stand alone between spaces: the first when a
// space follows it, the last when a space precedes it, an inner one when
// spaces stand on both sides. Neighbours are taken within the span only, so
// a span of one code point counts itself when it is a space. The inner
// positions are counted from running counts over the text, made once, so a
// candidate costs the same whatever its length.
std::uint64_t ConflictSolver::isolated_character_count(const Match& match)
{
    if (!text_ready_) read_spaces();
    if (match.start >= match.end) return 0;
    if (match.end - match.start == 1) return is_space(match.start);
    const std::uint64_t first = match.start, last = match.end - 1;
    return static_cast<std::uint64_t>(is_space(first + 1)) + is_space(last - 1) +
           (between_spaces_before(last) - between_spaces_before(first + 1));
}

bool ConflictSolver::better(const Match& challenger, const Match& holder, const std::uint64_t* challenger_count)
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
            const std::uint64_t count = challenger_count ? *challenger_count : isolated_character_count(challenger);
            if (count != best_isolated_) return count < best_isolated_;
            break;
        }
        case Strategy::unknown: break;
        }
    }
    return false; // tied on every value: the earlier candidate stays
}

bool ConflictSolver::counts_isolated_characters() const noexcept
{
    return keys_.contains(Strategy::minimum_isolated_character);
}

void ConflictSolver::add(const Match& candidate)
{
    add_counted(candidate, nullptr);
}

void ConflictSolver::add(const Match& candidate, std::uint64_t isolated_count)
{
    add_counted(candidate, &isolated_count);
}

void ConflictSolver::add_counted(const Match& candidate, const std::uint64_t* isolated_count)
{
    if (group_open_ && candidate.start <= group_end_) {
        if (group_end_ < candidate.end) group_end_ = candidate.end;
        if (!keys_.empty() && better(candidate, best_, isolated_count)) {
            best_ = candidate;
            best_isolated_known_ = isolated_count != nullptr;
            if (isolated_count) best_isolated_ = *isolated_count;
        }
        return;
    }
    if (group_open_) append_polled(picks_, best_, cancel_ ? *cancel_ : never_);
    best_ = candidate;
    best_isolated_known_ = isolated_count != nullptr;
    if (isolated_count) best_isolated_ = *isolated_count;
    group_start_ = candidate.start;
    group_end_ = candidate.end;
    group_open_ = true;
}

MatchList ConflictSolver::take_picks()
{
    return std::exchange(picks_, MatchList());
}

void ConflictSolver::close_before(std::uint64_t position)
{
    // Spans that touch conflict: a candidate starting at the group's end
    // would still join it.
    if (!group_open_ || group_end_ >= position) return;
    append_polled(picks_, best_, cancel_ ? *cancel_ : never_);
    group_open_ = false;
}

MatchList ConflictSolver::finish()
{
    if (group_open_) picks_.push_back(best_);
    group_open_ = false;
    return std::move(picks_);
}

} // namespace tessarin

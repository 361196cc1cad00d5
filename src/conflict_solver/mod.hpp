// Reduces an extractor's candidates to one match per group of candidates
// that overlap or touch, choosing within each group by the caller's named
// tie-breaking strategies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text/text.hpp"

namespace tessarin {

enum class Strategy { best_match, shortest, longest, minimum_isolated_character, unknown };

// The strategy that `name` selects: byte for byte, case-sensitive, whole
// string. Any other name is `unknown`, which keeps a group's first candidate.
Strategy parse_strategy(std::string_view name) noexcept;
std::vector<Strategy> parse_strategies(const std::vector<std::string>& names);

// The strategies that decide a pick, in order: those before the first
// unknown name (which leaves one candidate, so that none after it counts),
// each kept once (applied again, a strategy changes nothing). At most four,
// so they are held in place.
class StrategyList {
public:
    StrategyList() noexcept = default;
    StrategyList(std::initializer_list<Strategy> strategies) noexcept
    {
        for (const Strategy strategy : strategies)
            add(strategy);
    }
    StrategyList(const std::vector<Strategy>& strategies) noexcept
    {
        for (const Strategy strategy : strategies)
            add(strategy);
    }

    // Takes the next name in the caller's order.
    void add(Strategy strategy) noexcept
    {
        if (closed_) return;
        if (strategy == Strategy::unknown) {
            closed_ = true;
            return;
        }
        if (!contains(strategy)) items_[size_++] = strategy;
    }

    bool contains(Strategy strategy) const noexcept
    {
        for (std::size_t i = 0; i < size_; ++i)
            if (items_[i] == strategy) return true;
        return false;
    }
    const Strategy* begin() const noexcept { return items_; }
    const Strategy* end() const noexcept { return items_ + size_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    Strategy front() const noexcept { return items_[0]; }

private:
    Strategy items_[4] = {};
    std::size_t size_ = 0;
    bool closed_ = false;
};

// Where an extractor hands its candidates, one at a time, in non-decreasing
// `start` order.
class CandidateSink {
public:
    virtual ~CandidateSink() = default;
    virtual void add(const Match& candidate) = 0;
    // The folded text that the candidates' spans index, lent until the last
    // candidate is handed over; given before the first.
    virtual void see_text(const UnitText& folded) { (void)folded; }
    // Whether the sink is the conflict solver of one whole text, so that an
    // extractor may hand it only what can be each group's pick (with a
    // window spanning the group first). A sink that sees only a part of a
    // text's groups must get every candidate.
    virtual bool solves_whole_groups() const noexcept { return false; }
};

// Candidates arrive one at a time in non-decreasing `start` order. A group
// closes when a candidate starts beyond the largest end so far (spans that
// only touch still conflict). Narrowing a group by the strategies in order,
// each keeping the candidates with the extreme value, then taking the first
// left, picks the candidate that is best by the strategies' values compared
// one after another, the earliest among equals. So a group never needs to
// be held whole: only its best candidate so far.
class ConflictSolver final : public CandidateSink {
public:
    // `text` is the folded text, read only for the isolated-character count;
    // its units, `strategies` and `cancel` (polled while the text is read)
    // must outlive the solver.
    template <typename Char>
    ConflictSolver(Units<Char> text, const StrategyList& strategies, Cancellation* cancel = nullptr)
        : ConflictSolver(UnitText::borrowed(text), strategies, cancel)
    {
    }
    ConflictSolver(UnitText text, const StrategyList& strategies, Cancellation* cancel = nullptr);
    // A solver without the text, for candidates that come with their
    // isolated-character counts (add with two arguments) where the
    // strategies need them.
    explicit ConflictSolver(const StrategyList& strategies, Cancellation* cancel = nullptr);

    void add(const Match& candidate) override;
    void add(const Match& candidate, std::uint64_t isolated_count);
    // A solver made without the text reads this one.
    void see_text(const UnitText& folded) override
    {
        if (!has_text_) text_ = UnitText::borrowed_as(folded);
        has_text_ = true;
    }
    // Whether the strategies read isolated-character counts.
    bool counts_isolated_characters() const noexcept;
    bool solves_whole_groups() const noexcept override { return true; }

    // The pick of every group, in group order.
    MatchList finish();
    // The picks of the groups closed so far that were not taken before: a
    // group closes when a candidate starts beyond its end.
    MatchList take_picks();
    // No candidate will start before `position`: the open group, if it ends
    // before that, can take no more and closes.
    void close_before(std::uint64_t position);
    // Where the group still open starts, if one is.
    std::optional<std::uint64_t> open_group_start() const noexcept
    {
        return group_open_ ? std::optional<std::uint64_t>(group_start_) : std::nullopt;
    }

    // The isolated-character count of a span of a folded text.
    template <typename Char> static std::uint64_t isolated_characters(Units<Char> text, const Match& span) noexcept
    {
        if (span.start >= span.end) return 0;
        const auto space = [&](std::uint64_t i) { return text[i] == Char(' '); };
        std::uint64_t count = 0;
        for (std::uint64_t p = span.start; p < span.end; ++p) {
            const bool left = space(p == span.start ? p : p - 1), right = space(p + 1 == span.end ? p : p + 1);
            count += (p == span.start && right) || (p + 1 == span.end && left) || (left && right);
        }
        return count;
    }

private:
    void read_spaces();
    bool is_space(std::uint64_t index) const noexcept;
    std::uint64_t between_spaces_before(std::uint64_t index) const noexcept;
    std::uint64_t isolated_character_count(const Match& match);
    // `challenger_count` is the challenger's isolated-character count where
    // it came with it.
    bool better(const Match& challenger, const Match& holder, const std::uint64_t* challenger_count);
    void add_counted(const Match& candidate, const std::uint64_t* isolated_count);

    UnitText text_;
    bool has_text_ = true;
    Cancellation* cancel_;
    Cancellation never_; // polled in place of a missing `cancel_`
    // Read on first need: bit i of word i / 64 tells whether code point i is
    // a space, and entry w of the running count how many positions before
    // 64 w have spaces on both sides. A quarter of a byte per code point.
    std::vector<std::uint64_t> spaces_;
    std::vector<std::uint64_t> between_spaces_;
    std::uint64_t length_ = 0; // of the text, in code points
    bool text_ready_ = false;

    StrategyList keys_;
    MatchList picks_;
    Match best_{};
    std::uint64_t best_isolated_ = 0; // best_'s count, once known
    bool best_isolated_known_ = false;
    std::uint64_t group_start_ = 0, group_end_ = 0;
    bool group_open_ = false;
};

} // namespace tessarin

#include "extract/tiny.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "comparator/bounds.hpp"
#include "comparator/word.hpp"
#include "conflict_solver/mod.hpp"
#include "extract/window_shape.hpp"
#include "iterator/tokens.hpp"
#include "text/fold.hpp"

namespace tessarin {
namespace {

using std::uint64_t;
using Text = Units<char>;

// A folded input on the stack.
struct TinyFolded {
    char units[tiny_most];
    std::size_t size = 0;

    Text view() const noexcept { return Text(units, size); }
};

// Folds `input` into `out`; false when it is too long, or when folding it
// would change more than its ASCII units.
bool fold_tiny(Text input, const SearchOptions& options, TinyFolded& out) noexcept
{
    if (input.size() > tiny_most) return false;
    out.size = input.size();
    return fold_ascii_units(input, options.case_insensitive, options.special_char_insensitive, out.units);
}

// The conflict solver's reduction, one group at a time as the candidates
// come in start order: a group keeps its best candidate so far by the
// strategies' values compared in order, the earliest among equals.
class TinySolver {
public:
    TinySolver(Text text, const StrategyList& strategies, TinyMatches& out) noexcept
        : text_(text), strategies_(strategies), out_(out)
    {
    }

    void add(const Match& candidate) noexcept
    {
        if (open_ && candidate.start <= end_) {
            end_ = std::max(end_, candidate.end);
            if (!strategies_.empty() && preferred(candidate)) best_ = candidate;
            return;
        }
        if (open_) out_.push_back(best_);
        best_ = candidate;
        end_ = candidate.end;
        open_ = true;
    }

    // Whether a candidate [start, end), if passing, would change nothing:
    // it falls within the open group, and the group keeps its first
    // candidate (no strategy), or its best has the lowest score there is
    // and the lowest score alone decides.
    bool settled(uint64_t start, uint64_t end) const noexcept
    {
        if (!open_ || start > end_ || end > end_) return false;
        return strategies_.empty() ||
               (strategies_.size() == 1 && strategies_.front() == Strategy::best_match && best_.score == 0.0);
    }

    void finish() noexcept
    {
        if (open_) out_.push_back(best_);
        open_ = false;
    }

private:
    // Whether `challenger` wins over the group's best so far.
    bool preferred(const Match& challenger) const noexcept
    {
        for (const Strategy strategy : strategies_) {
            std::uint64_t mine = 0, theirs = 0;
            switch (strategy) {
            case Strategy::best_match:
                if (challenger.score != best_.score) return challenger.score < best_.score;
                continue;
            case Strategy::shortest:
            case Strategy::longest:
                mine = challenger.end - challenger.start;
                theirs = best_.end - best_.start;
                if (strategy == Strategy::longest) std::swap(mine, theirs);
                break;
            case Strategy::minimum_isolated_character:
                mine = ConflictSolver::isolated_characters(text_, challenger);
                theirs = ConflictSolver::isolated_characters(text_, best_);
                break;
            case Strategy::unknown: continue;
            }
            if (mine != theirs) return mine < theirs;
        }
        return false;
    }

    Text text_;
    const StrategyList& strategies_;
    TinyMatches& out_;
    Match best_{};
    uint64_t end_ = 0;
    bool open_ = false;
};

bool equal_trimmed(Text window, Text trimmed_pattern) noexcept
{
    return trim_white_space(window) == trimmed_pattern;
}

void exact_raw(Text text, Text pattern, TinySolver& solver) noexcept
{
    const uint64_t window = pattern.size(), n = text.size();
    if (window == 0) return;
    const Text trimmed = trim_white_space(pattern);
    for (uint64_t start = 0; start < n; ++start) {
        // A matching window begins with the pattern or with white space.
        if (!trimmed.empty() && text[start] != trimmed[0] && !is_white_space(code_point(text[start]))) continue;
        const uint64_t end = std::min(start + window, n);
        if (equal_trimmed(text.substr(start, end - start), trimmed)) solver.add(Match{start, end, 0.0});
    }
}

// How many pieces `separator` cuts the pattern into: occurrences found left
// to right without overlapping, each piece counted, empty ones included;
// an empty separator makes each code point a piece.
uint64_t tiny_token_count(Text pattern, Text separator) noexcept
{
    if (separator.empty()) return pattern.size();
    uint64_t pieces = 1;
    for (std::size_t at = pattern.find(separator); at != Text::npos;
         at = pattern.find(separator, at + separator.size()))
        ++pieces;
    return pieces;
}

// The tokens of the text, cut where cut_tokens cuts them, by probing every
// position: a text this short needs no occurrence finder.
struct TinyTokens {
    Token items[tiny_most + 1];
    std::size_t size = 0;

    TinyTokens(Text text, Text separator) noexcept
    {
        if (separator.empty()) {
            items[size++] = Token{0, 0};
            return;
        }
        const uint64_t width = separator.size(), n = text.size();
        uint64_t start = 0;
        for (uint64_t position = 0; position + width <= n; ++position) {
            if (text[position] != separator[0] || text.compare(position, width, separator) != 0) continue;
            if (position + width == start + 1) {
                start = position + width;
            } else if (position >= start) {
                items[size++] = Token{start, position};
                start = position + width;
            }
        }
        if (start != n) items[size++] = Token{start, n};
    }

    // Calls visit(start, end) for each run of `count` tokens, in order.
    template <typename Visit> void for_each_window(uint64_t count, Visit&& visit) const
    {
        for (std::size_t first = 0; first + count <= size; ++first)
            visit(items[first].start, items[first + count - 1].end);
    }
};

// Judges fuzzy windows, which come with both ends moving forward (now and
// then the end back): a window that shares too few code points with the
// pattern to pass is ruled out by counts kept as its ends move; a window
// equal to the pattern scores 0 under every metric; only the others are
// scored, by a scorer made at the first of them.
class TinyJudge {
public:
    TinyJudge(Text text, Text pattern, std::u32string_view wide_pattern, const SearchOptions& options) noexcept
        : text_(text), pattern_(pattern), wide_pattern_(wide_pattern), options_(options),
          metric_(options.metric.resolve())
    {
        for (const char unit : pattern)
            ++quota_[static_cast<unsigned char>(unit)];
    }

    Comparison judge(uint64_t start, uint64_t end) noexcept
    {
        const Text candidate = trim_white_space(text_.substr(start, end - start));
        // Code points shared by the untrimmed window are no fewer than by
        // the trimmed one, so the bound stays safe.
        const uint64_t shared = shared_in(start, end);
        if (detail::cannot_pass(metric_, options_.threshold_kind, options_.threshold, candidate.size(),
                                pattern_.size(), shared))
            return Comparison{false, 0.0};
        if (shared >= pattern_.size() && candidate == pattern_) return Comparison{0.0 <= options_.threshold, 0.0};
        if (const auto known = edit_distance_pinned(candidate, shared)) {
            const double score = score_of(metric_, options_.threshold_kind, *known, candidate.size(), pattern_.size());
            return Comparison{score <= options_.threshold, score};
        }
        if (!scorer_) scorer_.emplace(wide_pattern_, metric_, options_.threshold_kind, options_.threshold);
        return scorer_->compare_or_refuse(candidate);
    }

private:
    // The distance of an edit metric where its bounds meet: no fewer edits
    // than the code points that the longer side does not share, no more
    // than what is left once the common prefix and suffix are set aside
    // (every code point of the rest replaced, inserted or deleted). The
    // counts are the metric's own (for the indel distance, both sides'
    // leftovers), so where the two agree the distance is that value.
    std::optional<uint64_t> edit_distance_pinned(Text candidate, uint64_t shared) const noexcept
    {
        const uint64_t length = candidate.size(), p = pattern_.size(), shortest = std::min(length, p);
        shared = std::min(shared, shortest);
        uint64_t affixes = 0;
        while (affixes < shortest && candidate[affixes] == pattern_[affixes])
            ++affixes;
        for (uint64_t suffix = 0; affixes < shortest && candidate[length - 1 - suffix] == pattern_[p - 1 - suffix];
             ++suffix)
            ++affixes;
        switch (metric_) {
        case Metric::levenshtein:
        case Metric::osa:
        case Metric::damerau_levenshtein:
        case Metric::lcs_seq:
            if (affixes == shared) return std::max(length, p) - shared;
            break;
        case Metric::indel:
            if (affixes == shared) return length + p - 2 * shared;
            break;
        default: break;
        }
        return std::nullopt;
    }

    // The size of the intersection of the multisets of code points of the
    // window [start, end) and of the pattern.
    uint64_t shared_in(uint64_t start, uint64_t end) noexcept
    {
        if (start >= last_) {
            while (first_ < last_)
                leave(text_[first_++]);
            first_ = last_ = start;
        }
        while (first_ < start)
            leave(text_[first_++]);
        while (last_ < end)
            take(text_[last_++]);
        while (last_ > end)
            leave(text_[--last_]);
        return shared_;
    }
    void take(char unit) noexcept
    {
        const auto c = static_cast<unsigned char>(unit);
        shared_ += taken_[c] < quota_[c];
        ++taken_[c];
    }
    void leave(char unit) noexcept
    {
        const auto c = static_cast<unsigned char>(unit);
        --taken_[c];
        shared_ -= taken_[c] < quota_[c];
    }

    Text text_, pattern_;
    std::u32string_view wide_pattern_;
    const SearchOptions& options_;
    Metric metric_;
    std::uint8_t quota_[256] = {}; // per Latin-1 code point, its count in the pattern
    std::uint8_t taken_[256] = {}; // the same in the window [first_, last_)
    uint64_t first_ = 0, last_ = 0, shared_ = 0;
    std::optional<detail::WordScorer> scorer_;
};

} // namespace

bool tiny_extract(SearchMode mode, std::string_view s, std::string_view pattern, std::string_view separator,
                  const SearchOptions& options, TinyMatches& out) noexcept
{
    const bool token = mode == SearchMode::exact_token || mode == SearchMode::fuzzy_token;
    const bool fuzzy = mode == SearchMode::fuzzy_raw || mode == SearchMode::fuzzy_token;
    TinyFolded text, folded_pattern, folded_separator;
    if (!fold_tiny(s, options, text) || !fold_tiny(pattern, options, folded_pattern)) return false;
    if (token && !fold_tiny(separator, options, folded_separator)) return false;
    const Text units = text.view(), pattern_units = folded_pattern.view();
    const uint64_t window_size = token ? tiny_token_count(pattern_units, folded_separator.view()) : 0;
    if (token && window_size == 0) return false;

    const Text trimmed = trim_white_space(pattern_units);
    char32_t wide_pattern[tiny_most];
    for (std::size_t i = 0; i < trimmed.size(); ++i)
        wide_pattern[i] = code_point(trimmed[i]);
    const std::u32string_view scored_pattern(wide_pattern, trimmed.size());
    if (fuzzy && (!options.metric.known() || !detail::WordScorer::fits(scored_pattern))) return false;

    if (mode == SearchMode::exact_token) {
        TinyTokens(units, folded_separator.view()).for_each_window(window_size, [&](uint64_t start, uint64_t end) {
            if (equal_trimmed(units.substr(start, end - start), trimmed)) out.push_back(Match{start, end, 0.0});
        });
        return true;
    }
    TinySolver solver(units, options.strategies, out);
    if (mode == SearchMode::exact_raw) {
        exact_raw(units, pattern_units, solver);
        solver.finish();
        return true;
    }
    TinyJudge judge_window(units, trimmed, scored_pattern, options);
    const auto judge = [&](uint64_t start, uint64_t end) {
        if (solver.settled(start, end)) return;
        const Comparison verdict = judge_window.judge(start, end);
        if (verdict.accepted) solver.add(Match{start, end, verdict.score});
    };
    if (mode == SearchMode::fuzzy_token) {
        TinyTokens(units, folded_separator.view()).for_each_window(window_size, judge);
    } else {
        const detail::WindowShape shape = detail::shape_of(pattern_units.size(), options);
        for (uint64_t start = 0; start < units.size(); ++start)
            shape.for_each_end(start, units.size(), [&](uint64_t end) { judge(start, end); });
    }
    solver.finish();
    return true;
}

} // namespace tessarin

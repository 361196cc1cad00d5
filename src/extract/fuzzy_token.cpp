// Fuzzy token extraction: the token windows of exact token extraction,
// each trimmed and scored against the trimmed pattern.
#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include "comparator/bit_parallel.hpp"
#include "comparator/bounds.hpp"
#include "comparator/fuzzy.hpp"
#include "conflict_solver/mod.hpp"
#include "extract/extract.hpp"
#include "extract/pick_groups.hpp"
#include "iterator/tokens.hpp"

namespace tessarin {
namespace {

using std::uint64_t;

// A window's text without white space at either end.
template <typename Char> Units<Char> trimmed(Units<Char> text, uint64_t start, uint64_t end) noexcept
{
    return trim_white_space(text.substr(start, end - start));
}

// Judges token windows one at a time. The bounds need the metric, which is
// only looked up where the first comparison is due, so everything that
// depends on it is set up by the first window.
template <typename Char> class TokenJudge {
public:
    TokenJudge(Units<Char> text, FuzzyComparator& comparator, CandidateSink& solver, Cancellation& cancel)
        : text_(text), comparator_(comparator), solver_(solver), cancel_(cancel), shared_(comparator.pattern())
    {
    }

    void judge(uint64_t start, uint64_t end)
    {
        cancel_.poll(metric_ ? detail::comparison_cost(*metric_, end - start, p()) : end - start + 1);
        if (!metric_) prepare();
        const Units<Char> candidate = trimmed(text_, start, end);
        const uint64_t length = candidate.size();
        if (length < too_far_in_length_.size() ? too_far_in_length_[length] : cannot_pass(length, p(), 4)) return;
        // The characters it shares with the pattern rule out most of the rest.
        const uint64_t prefix =
            traits_of(*metric_).prefix_weight > 0.0 ? detail::common_prefix(candidate, comparator_.pattern()) : 4;
        if (cannot_pass(length, shared_.with(candidate), prefix)) return;
        const Comparison verdict = comparator_.compare(candidate);
        if (verdict.accepted) solver_.add(Match{start, end, verdict.score});
    }

private:
    uint64_t p() const noexcept { return comparator_.pattern().size(); }

    bool cannot_pass(uint64_t length, uint64_t shared, uint64_t prefix) const noexcept
    {
        return detail::cannot_pass(*metric_, comparator_.threshold_kind(), comparator_.threshold(), length, p(), shared,
                                   prefix);
    }

    void prepare()
    {
        metric_ = comparator_.metric(); // throws for an unknown name
        // Whether its length alone rules a candidate out, looked up for the
        // usual lengths: most windows go no further than this. No candidate
        // is longer than the text.
        too_far_in_length_.resize(std::min<uint64_t>(4 * p() + 256, text_.size() + 1));
        for (uint64_t length = 0; length < too_far_in_length_.size(); ++length)
            too_far_in_length_[length] = cannot_pass(length, p(), 4);
    }

    Units<Char> text_;
    FuzzyComparator& comparator_;
    CandidateSink& solver_;
    Cancellation& cancel_;
    detail::SharedCharacters shared_;
    std::optional<Metric> metric_;
    std::vector<bool> too_far_in_length_;
};

// A floor and a ceiling for a candidate's score, cheaper than the score:
// the floor from the code points it shares with the pattern; for
// Damerau-Levenshtein, both from bit-parallel Levenshtein and LCS passes.
class CandidateBounds {
public:
    struct Bounds {
        double floor, ceiling;
    };

    CandidateBounds(const FuzzyComparator& comparator, Metric metric)
        : pattern_(comparator.pattern()), metric_(metric), kind_(comparator.threshold_kind()), shared_(pattern_)
    {
        if (metric == Metric::damerau_levenshtein && !pattern_.empty() && detail::BitParallelPattern::fits(pattern_))
            bit_parallel_.emplace(pattern_);
    }

    // The passes are left out where the shared code points already put the
    // floor above `bound`.
    template <typename Char> Bounds of(Units<Char> candidate, double bound)
    {
        const uint64_t length = candidate.size(), p = pattern_.size();
        Bounds bounds{detail::score_floor(metric_, kind_, length, p, shared_.with(candidate),
                                          detail::common_prefix(candidate, pattern_)),
                      std::numeric_limits<double>::infinity()};
        if (bit_parallel_ && !(bounds.floor > bound)) {
            bit_parallel_->levenshtein_prefix_distances(candidate, length + p, distances_);
            bit_parallel_->lcs_prefix_lengths(candidate, common_);
            const uint64_t levenshtein = distances_[length];
            const uint64_t least = detail::least_damerau_distance(levenshtein, common_[length], length, p);
            bounds.floor = std::max(bounds.floor, score_of(metric_, kind_, least, length, p));
            bounds.ceiling = score_of(metric_, kind_, levenshtein, length, p);
        }
        return bounds;
    }

private:
    const std::u32string& pattern_;
    Metric metric_;
    ThresholdKind kind_;
    detail::SharedCharacters shared_;
    std::optional<detail::BitParallelPattern> bit_parallel_;
    std::vector<std::uint32_t> distances_, common_;
};

// When "best_match" comes first, a group's pick is among its windows of the
// lowest score, and a window whose floor exceeds a score already found in
// its group cannot be one of them. A first walk over the windows finds the
// groups (scoring a window only where its bounds cannot tell whether it
// passes), the window of each group's lowest floor is scored, and a second
// walk scores only the windows whose floor does not exceed their group's
// lowest score so far. The solver sees those after one window spanning the
// group with a score that no window beats, so it picks as among all.
// `walk` hands each token window's start and end, in order, to its argument.
template <typename Char, typename Walk>
void judge_best_first(Units<Char> text, Walk walk, FuzzyComparator& comparator, Metric metric,
                      CandidateSink& solver, Cancellation& cancel)
{
    const double threshold = comparator.threshold();
    const bool every_window_passes = detail::every_window_passes(metric, comparator.threshold_kind(), threshold);
    const uint64_t p = comparator.pattern().size();
    CandidateBounds bounds(comparator, metric);
    detail::PickGroups found;
    walk([&](uint64_t start, uint64_t end) {
        cancel.poll(detail::comparison_cost(metric, end - start, p));
        const Units<Char> candidate = trimmed(text, start, end);
        // Where every window passes, the passes that give a ceiling would
        // only tell what the second walk finds out.
        const auto [floor, ceiling] = bounds.of(candidate, every_window_passes ? -1.0 : threshold);
        if (!(floor <= threshold)) return;
        // A known ceiling is as good as a score to find the group's pick by.
        double score = ceiling;
        if (!every_window_passes && !(ceiling <= threshold)) {
            const Comparison verdict = comparator.compare(candidate);
            if (!verdict.accepted) return;
            score = verdict.score;
        }
        found.add(start, end, floor, score, cancel);
    });
    std::vector<detail::PickGroup>& groups = found.groups();
    for (detail::PickGroup& group : groups) {
        cancel.poll(detail::comparison_cost(metric, group.seed_end - group.seed_start, p));
        group.best = std::min(group.best, comparator.compare(trimmed(text, group.seed_start, group.seed_end)).score);
    }
    std::size_t current = 0;
    walk([&](uint64_t start, uint64_t end) {
        while (current < groups.size() && start > groups[current].end)
            ++current;
        if (current == groups.size() || start < groups[current].first) return;
        detail::PickGroup& group = groups[current];
        if (start == group.first) group.open(solver); // the group's first window
        cancel.poll(detail::comparison_cost(metric, end - start, p));
        const Units<Char> candidate = trimmed(text, start, end);
        if (bounds.of(candidate, group.best).floor > group.best) return;
        const Comparison verdict = comparator.compare(candidate);
        if (!verdict.accepted) return;
        group.best = std::min(group.best, verdict.score);
        solver.add(Match{start, end, verdict.score});
    });
}

template <typename Char>
MatchList fuzzy_token_units(Units<Char> raw, const std::u32string& folded_pattern, const std::u32string& separator,
                            const SearchOptions& options, Cancellation& cancel, CandidateSink* sink = nullptr)
{
    const FoldedUnits<Char> folded =
        fold_units(raw, options.case_insensitive, options.special_char_insensitive, cancel);
    const Units<Char> text = folded.view();
    const uint64_t window_size = pattern_token_count(folded_pattern, separator);
    FuzzyComparator comparator(std::u32string(trim_white_space(std::u32string_view(folded_pattern))),
                               options.metric, options.threshold, options.threshold_kind);

    // Windows are spans of the text: no string per window.
    std::basic_string<Char> narrow_separator;
    const bool separator_fits = narrow_units(separator, narrow_separator);
    const auto walk = [&](auto&& visit) {
        if (!separator_fits) {
            // The separator occurs nowhere in such a text: the text, if any,
            // is one token.
            if (window_size == 1 && !text.empty()) visit(uint64_t{0}, uint64_t{text.size()});
        } else if (narrow_separator.size() == 1) {
            // One code point separates: tokens are the runs between its copies.
            for_each_single_separator_window(text, narrow_separator[0], window_size, cancel, visit);
        } else {
            Tokenizer<Char> tokenizer(text, Units<Char>(narrow_separator), window_size, &cancel);
            while (const std::optional<TokenWindow<Char>> window = tokenizer.next())
                visit(window->start, window->end);
        }
    };
    // An unknown metric must fail only where the first comparison is due,
    // which the judge of one window at a time sees to. Judging by floors
    // first pays where a comparison costs more than a floor, and a floor
    // rules many out: for Damerau-Levenshtein, whose floors come from
    // passes much cheaper than its own; where every window passes, for all
    // but the metrics that compare in linear time, as a floor does.
    const auto worth_two_walks = [&](Metric metric) {
        const Cost cost = traits_of(metric).cost;
        return cost == Cost::quadratic ||
               (cost != Cost::linear && detail::every_window_passes(metric, options.threshold_kind, options.threshold));
    };
    return detail::solve_or_hand_over(text, options, sink, cancel, [&](CandidateSink& solver) {
        if (solver.solves_whole_groups() && !options.strategies.empty() &&
            options.strategies.front() == Strategy::best_match && options.metric.known() &&
            worth_two_walks(options.metric.resolve()) && options.threshold >= 0.0 && window_size > 0) {
            judge_best_first(text, walk, comparator, comparator.metric(), solver, cancel);
        } else {
            TokenJudge<Char> judge(text, comparator, solver, cancel);
            walk([&](uint64_t start, uint64_t end) { judge.judge(start, end); });
        }
    });
}

} // namespace

void find_fuzzy_token_candidates(const UnitText& text, const std::u32string& folded_pattern,
                                 const std::u32string& separator, const SearchOptions& options, CandidateSink& sink,
                                 Cancellation& cancel)
{
    text.visit([&](auto units) { fuzzy_token_units(units, folded_pattern, separator, options, cancel, &sink); });
}

MatchList fuzzy_token_extract(TextInput s, TextInput pattern, TextInput tokenizer_pattern,
                              const SearchOptions& options, Cancellation cancel)
{
    const bool ci = options.case_insensitive, sci = options.special_char_insensitive;
    const UnitText text = std::move(s).units(cancel);
    const std::u32string folded_pattern = fold_code_points(std::move(pattern), ci, sci, cancel);
    const std::u32string separator = fold_code_points(std::move(tokenizer_pattern), ci, sci, cancel);
    return text.visit(
        [&](auto units) { return fuzzy_token_units(units, folded_pattern, separator, options, cancel); });
}

} // namespace tessarin

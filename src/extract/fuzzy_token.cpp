// Fuzzy token extraction: the token windows of exact token extraction,
// each trimmed and scored against the trimmed pattern.
#include <algorithm>

#include "comparator/bounds.hpp"
#include "comparator/fuzzy.hpp"
#include "conflict_solver/mod.hpp"
#include "extract/extract.hpp"
#include "iterator/tokens.hpp"

namespace tessarin {
namespace {

using std::uint64_t;

// Judges token windows one at a time. The bounds need the metric, which is
// only looked up where the first comparison is due, so everything that
// depends on it is set up by the first window.
class TokenJudge {
public:
    TokenJudge(std::u32string_view text, FuzzyComparator& comparator, ConflictSolver& solver, Cancellation& cancel)
        : text_(text), comparator_(comparator), solver_(solver), cancel_(cancel), shared_(comparator.pattern())
    {
    }

    void judge(uint64_t start, uint64_t end)
    {
        cancel_.poll(metric_ ? detail::comparison_cost(*metric_, end - start, p()) : end - start + 1);
        if (!metric_) prepare();
        uint64_t first = start, last = end;
        while (first < last && is_white_space(text_[first]))
            ++first;
        while (last > first && is_white_space(text_[last - 1]))
            --last;
        const std::u32string_view candidate = text_.substr(first, last - first);
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

    std::u32string_view text_;
    FuzzyComparator& comparator_;
    ConflictSolver& solver_;
    Cancellation& cancel_;
    detail::SharedCharacters shared_;
    std::optional<Metric> metric_;
    std::vector<bool> too_far_in_length_;
};

} // namespace

MatchList fuzzy_token_extract(TextInput s, std::string pattern, std::string tokenizer_pattern,
                              const SearchOptions& options, Cancellation cancel)
{
    const bool ci = options.case_insensitive, sci = options.special_char_insensitive;
    const FoldedText text = fold_text(std::move(s), ci, sci, cancel);
    const std::string folded_pattern = normalize(std::move(pattern), ci, sci, cancel);
    const std::string separator = normalize(std::move(tokenizer_pattern), ci, sci, cancel);

    const uint64_t window_size = pattern_token_count(folded_pattern, separator);
    FuzzyComparator comparator(decode_utf8(trim_whitespace(folded_pattern)), options.metric, options.threshold,
                               options.threshold_kind);
    ConflictSolver solver(text, options.strategies, &cancel);

    // Windows are spans of the text decoded once: no string per window.
    const std::u32string code_points = decode_utf8(text, cancel);
    const std::u32string_view view(code_points);
    TokenJudge judge(view, comparator, solver, cancel);

    if (char_count(separator) == 1) {
        // One code point separates: tokens are the runs between its copies.
        for_each_single_separator_window(view, decode_utf8(separator)[0], window_size, cancel,
                                         [&](uint64_t start, uint64_t end) { judge.judge(start, end); });
    } else {
        Tokenizer tokenizer(text, separator, window_size, &cancel);
        while (const std::optional<TokenWindow> window = tokenizer.next())
            judge.judge(window->start, window->end);
    }
    return solver.finish();
}

} // namespace tessarin

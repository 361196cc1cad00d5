// Fuzzy token extraction: the token windows of exact token extraction,
// each trimmed and scored against the trimmed pattern.
#include <algorithm>

#include "comparator/bounds.hpp"
#include "comparator/fuzzy.hpp"
#include "conflict_solver/mod.hpp"
#include "extract/extract.hpp"
#include "iterator/tokens.hpp"

namespace tessarin {

using std::uint64_t;

MatchList fuzzy_token_extract(TextInput s, std::string pattern, std::string tokenizer_pattern,
                              bool case_insensitive, bool special_char_insensitive, const std::string& metric,
                              double threshold, std::uint8_t threshold_kind,
                              const std::vector<std::string>& strategies, Cancellation cancel)
{
    const FoldedText text = fold_text(std::move(s), case_insensitive, special_char_insensitive, cancel);
    const std::string folded_pattern = normalize(std::move(pattern), case_insensitive, special_char_insensitive, cancel);
    const std::string separator =
        normalize(std::move(tokenizer_pattern), case_insensitive, special_char_insensitive, cancel);

    const uint64_t window_size = pattern_token_count(folded_pattern, separator);
    FuzzyComparator comparator(decode_utf8(trim_whitespace(folded_pattern)), metric, threshold, threshold_kind);
    ConflictSolver solver(text, strategies, &cancel);

    // Windows are spans of the text decoded once: no string per window.
    const std::u32string code_points = decode_utf8(text, cancel);
    const std::u32string_view view(code_points);
    const std::u32string& trimmed_pattern = comparator.pattern();

    // The bounds need the metric, which is only looked up when the first
    // comparison is due; the shared-character counts are set up then.
    std::optional<Metric> chosen;
    std::optional<detail::SharedCharacters> shared; // set up when a window first gets that far
    const uint64_t p = trimmed_pattern.size();
    const auto cannot_pass = [&](uint64_t length, uint64_t shared_count, uint64_t prefix) {
        return detail::cannot_pass(*chosen, comparator.threshold_kind(), comparator.threshold(), length, p,
                                   shared_count, prefix);
    };
    // Whether its length alone rules a candidate out, looked up for the
    // usual lengths: most windows go no further than this.
    std::vector<bool> too_far_in_length;
    const auto judge = [&](uint64_t start, uint64_t end) {
        cancel.poll(chosen ? detail::comparison_cost(*chosen, end - start, p) : end - start + 1);
        if (!chosen) {
            chosen = comparator.metric();
            // No candidate is longer than the text.
            too_far_in_length.resize(std::min<uint64_t>(4 * p + 256, view.size() + 1));
            for (uint64_t length = 0; length < too_far_in_length.size(); ++length)
                too_far_in_length[length] = cannot_pass(length, p, 4);
        }
        uint64_t first = start, last = end;
        while (first < last && is_white_space(view[first]))
            ++first;
        while (last > first && is_white_space(view[last - 1]))
            --last;
        const std::u32string_view candidate = view.substr(first, last - first);
        const uint64_t length = candidate.size();
        if (length < too_far_in_length.size() ? too_far_in_length[length] : cannot_pass(length, p, 4)) return;
        // The characters it shares with the pattern rule out most of the rest.
        const uint64_t prefix =
            *chosen == Metric::jaro_winkler ? detail::common_prefix(candidate, trimmed_pattern) : 4;
        if (!shared) shared.emplace(trimmed_pattern);
        if (cannot_pass(length, shared->with(candidate), prefix)) return;
        const Comparison verdict = comparator.compare(candidate);
        if (verdict.accepted) solver.add(Match{start, end, verdict.score});
    };

    if (char_count(separator) == 1) {
        // One code point separates: tokens are the runs between its copies.
        for_each_single_separator_window(view, decode_utf8(separator)[0], window_size, cancel, judge);
    } else {
        Tokenizer tokenizer(text, separator, window_size, &cancel);
        while (const std::optional<TokenWindow> window = tokenizer.next())
            judge(window->start, window->end);
    }
    return solver.finish();
}

} // namespace tessarin

// Fuzzy token extraction: the token windows of exact token extraction,
// each trimmed and scored against the trimmed pattern.
#include "comparator/fuzzy.hpp"
#include "conflict_solver/mod.hpp"
#include "extract/extract.hpp"
#include "iterator/tokens.hpp"

namespace tessarin {

using std::uint64_t;

MatchList fuzzy_token_extract(std::string s, std::string pattern, std::string tokenizer_pattern,
                              bool case_insensitive, bool special_char_insensitive, const std::string& metric,
                              double threshold, std::uint8_t threshold_kind,
                              const std::vector<std::string>& strategies, Cancellation cancel)
{
    const NormalizedText text = normalize(std::move(s), case_insensitive, special_char_insensitive, cancel);
    const NormalizedText folded_pattern = normalize(std::move(pattern), case_insensitive, special_char_insensitive, cancel);
    const NormalizedText separator =
        normalize(std::move(tokenizer_pattern), case_insensitive, special_char_insensitive, cancel);

    Tokenizer tokenizer(text, separator, pattern_token_count(folded_pattern, separator), &cancel);
    FuzzyComparator comparator(decode_utf8(trim_whitespace(folded_pattern)), metric, threshold, threshold_kind);

    ConflictSolver solver(text, strategies);
    // Windows are spans of the text decoded once: no string per window.
    const std::u32string code_points = decode_utf8(text);
    const std::u32string_view view(code_points);
    while (const std::optional<TokenWindow> window = tokenizer.next()) {
        cancel.poll(window->end - window->start + 1);
        uint64_t first = window->start, last = window->end;
        while (first < last && is_white_space(view[first]))
            ++first;
        while (last > first && is_white_space(view[last - 1]))
            --last;
        const Comparison verdict = comparator.compare(view.substr(first, last - first));
        if (verdict.accepted) solver.add(Match{window->start, window->end, verdict.score});
    }
    return solver.finish();
}

} // namespace tessarin

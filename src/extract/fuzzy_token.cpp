// Fuzzy token extraction: the token windows of exact token extraction,
// each trimmed and scored against the trimmed pattern.
#include "comparator/fuzzy.hpp"
#include "conflict_solver/mod.hpp"
#include "extract/extract.hpp"
#include "iterator/tokens.hpp"

namespace tessarin {

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

    // Windows are compared as code points; decoding each window's trimmed
    // text reuses one buffer, so no string is allocated per window.
    ConflictSolver solver(text, strategies);
    std::u32string candidate;
    while (const std::optional<TokenWindow> window = tokenizer.next()) {
        cancel.poll(window->text.size() + 1);
        const std::string_view trimmed = trim_whitespace(window->text);
        candidate.clear();
        for (std::size_t pos = 0; pos < trimmed.size();)
            candidate.push_back(utf8::decode_forward(trimmed, pos));
        const Comparison verdict = comparator.compare(candidate);
        if (verdict.accepted) solver.add(Match{window->start, window->end, verdict.score});
    }
    return solver.finish();
}

} // namespace tessarin

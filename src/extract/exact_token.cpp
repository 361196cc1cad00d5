// Exact token extraction: every token window whose trimmed text equals the
// trimmed pattern, overlapping windows included; no conflict solving.
#include "extract/extract.hpp"
#include "iterator/tokens.hpp"

namespace tessarin {

MatchList exact_token_extract(std::string s, std::string pattern, std::string tokenizer_pattern,
                              bool case_insensitive, bool special_char_insensitive, Cancellation cancel)
{
    const NormalizedText text = normalize(std::move(s), case_insensitive, special_char_insensitive, cancel);
    const NormalizedText folded_pattern = normalize(std::move(pattern), case_insensitive, special_char_insensitive, cancel);
    const NormalizedText separator =
        normalize(std::move(tokenizer_pattern), case_insensitive, special_char_insensitive, cancel);

    Tokenizer tokenizer(text, separator, pattern_token_count(folded_pattern, separator), &cancel);
    const std::string_view trimmed_pattern = trim_whitespace(folded_pattern);

    MatchList matches;
    while (const std::optional<TokenWindow> window = tokenizer.next()) {
        cancel.poll(window->text.size() + 1);
        // Trimming only shortens: a window shorter than the pattern cannot match.
        if (window->text.size() < trimmed_pattern.size()) continue;
        if (trim_whitespace(window->text) == trimmed_pattern) matches.push_back(Match{window->start, window->end, 0.0});
    }
    return matches;
}

} // namespace tessarin

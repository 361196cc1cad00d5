// The four extractors: each folds its inputs, forms candidate windows, judges
// them against the pattern and returns the occurrences found. A long call
// polls `cancel` now and then and may end by throwing CallCancelled. The
// text comes as a TextInput: owned UTF-8, or a borrowed view of ASCII bytes
// that must stay alive and unchanged until the call returns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "text/text.hpp"

namespace tessarin {

// Windows of the folded pattern's length over the folded text whose trimmed
// form equals the trimmed pattern, reduced by the conflict solver.
MatchList exact_raw_extract(TextInput s, std::string pattern, bool case_insensitive,
                            bool special_char_insensitive, const std::vector<std::string>& strategies, Cancellation cancel = {});

// Every run of as many tokens as the separator cuts the pattern into whose
// trimmed text equals the trimmed pattern; overlapping runs included.
MatchList exact_token_extract(TextInput s, std::string pattern, std::string tokenizer_pattern,
                              bool case_insensitive, bool special_char_insensitive, Cancellation cancel = {});

// Windows around the pattern's length whose distance from the pattern is
// within `threshold`, reduced by the conflict solver.
MatchList fuzzy_raw_extract(TextInput s, std::string pattern, bool case_insensitive,
                            bool special_char_insensitive, const std::string& metric, double threshold,
                            std::uint8_t threshold_kind, const std::vector<std::string>& strategies, Cancellation cancel = {});

// Token runs whose distance from the pattern is within `threshold`, reduced
// by the conflict solver.
MatchList fuzzy_token_extract(TextInput s, std::string pattern, std::string tokenizer_pattern,
                              bool case_insensitive, bool special_char_insensitive, const std::string& metric,
                              double threshold, std::uint8_t threshold_kind,
                              const std::vector<std::string>& strategies, Cancellation cancel = {});

} // namespace tessarin

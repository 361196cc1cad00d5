// The four extractors: each folds its inputs, forms candidate windows, judges
// them against the pattern and returns the occurrences found. A long call
// polls `cancel` now and then and may end by throwing CallCancelled. Every
// string comes as a TextInput: owned UTF-8, or borrowed code units (one,
// two or four bytes per code point) that must stay alive and unchanged
// until the call returns. The text is searched in its own units.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "comparator/fuzzy.hpp"
#include "conflict_solver/mod.hpp"
#include "text/text.hpp"

namespace tessarin {

// How a search folds, judges and reduces, converted once from the caller's
// values (the exact extractors read only the folding flags and the
// strategies). The metric keeps its name, so that an unknown one fails only
// where the first comparison is due.
struct SearchOptions {
    bool case_insensitive = false;
    bool special_char_insensitive = false;
    MetricChoice metric;
    double threshold = 0.0;
    ThresholdKind threshold_kind = ThresholdKind::Absolute;
    StrategyList strategies;
    // Fuzzy raw windows from the pattern's length less this many code points
    // to as many more, as an edit count reads them; below 0, as the
    // threshold says (the module's four functions).
    int edit_reach = -1;
};

// The options of an exact search: how it folds, and how it reduces.
inline SearchOptions exact_search_options(bool case_insensitive, bool special_char_insensitive,
                                          StrategyList strategies = {})
{
    SearchOptions options;
    options.case_insensitive = case_insensitive;
    options.special_char_insensitive = special_char_insensitive;
    options.strategies = strategies;
    return options;
}

// Windows of the folded pattern's length over the folded text whose trimmed
// form equals the trimmed pattern, reduced by the conflict solver.
MatchList exact_raw_extract(TextInput s, TextInput pattern, const SearchOptions& options, Cancellation cancel = {});

// Every run of as many tokens as the separator cuts the pattern into whose
// trimmed text equals the trimmed pattern; overlapping runs included.
MatchList exact_token_extract(TextInput s, TextInput pattern, TextInput tokenizer_pattern,
                              const SearchOptions& options, Cancellation cancel = {});

// Windows around the pattern's length whose distance from the pattern is
// within `threshold`, reduced by the conflict solver.
MatchList fuzzy_raw_extract(TextInput s, TextInput pattern, const SearchOptions& options, Cancellation cancel = {});

// Token runs whose distance from the pattern is within `threshold`, reduced
// by the conflict solver.
MatchList fuzzy_token_extract(TextInput s, TextInput pattern, TextInput tokenizer_pattern,
                              const SearchOptions& options, Cancellation cancel = {});

enum class SearchMode { exact_raw, exact_token, fuzzy_raw, fuzzy_token };

// What an extractor would hand its conflict solver, handed to `sink`
// instead: every candidate of the search over `text`, in start order (for
// exact token extraction, every match). The text is given as it is and
// folded here; the pattern and the separator are already folded
// (fold_code_points). A sink that does not solve whole groups gets every
// candidate, never only those that can be a group's pick.
void find_candidates(SearchMode mode, const UnitText& text, const std::u32string& folded_pattern,
                     const std::u32string& folded_separator, const SearchOptions& options, CandidateSink& sink,
                     Cancellation& cancel);

// The same for many patterns over one text: each pattern's candidates to its
// own sink, in start order, as find_candidates hands them for that pattern
// alone. Raw windows of all patterns come from one pass over the text where
// the patterns allow it (exact search; an edit bound with pieces long
// enough); token windows, one pattern after another.
void find_many_candidates(SearchMode mode, const UnitText& text, const std::vector<std::u32string>& folded_patterns,
                          const std::u32string& folded_separator, const SearchOptions& options,
                          const std::vector<CandidateSink*>& sinks, Cancellation& cancel);

// What one call per pattern returns, for every pattern, from one search.
std::vector<MatchList> extract_many(SearchMode mode, TextInput s, std::vector<TextInput> patterns,
                                    TextInput tokenizer_pattern, const SearchOptions& options,
                                    Cancellation cancel = {});

// The most code points that a window of a raw search (exact or fuzzy) may
// cover: the pattern's length, and for a normalized threshold as many more
// as the threshold allows a window to be longer.
std::uint64_t longest_raw_window(SearchMode mode, std::uint64_t pattern_length, const SearchOptions& options);

// What every window that a raw search can accept holds intact, so that a
// search may look only around their occurrences: the trimmed folded pattern
// for exact search; for a fuzzy search whose accepted windows all lie within
// k Levenshtein edits of the trimmed pattern, its k + 1 near-equal pieces,
// one of which an accepted window holds (an edit spoils one piece at most).
// Empty where there is no such thing (other metrics, pieces too short to
// narrow anything, a pattern of white space alone).
std::vector<std::u32string> literal_pieces(SearchMode mode, const std::u32string& folded_pattern,
                                           const SearchOptions& options);

namespace detail {

// Runs find(sink) with the caller's sink where there is one, else with the
// conflict solver of the folded text, whose picks it returns.
template <typename Char, typename Find>
MatchList solve_or_hand_over(Units<Char> folded, const SearchOptions& options, CandidateSink* sink,
                             Cancellation& cancel, Find&& find)
{
    if (sink) {
        sink->see_text(UnitText::borrowed(folded));
        find(*sink);
        return {};
    }
    ConflictSolver solver(folded, options.strategies, &cancel);
    find(solver);
    return solver.finish();
}

} // namespace detail
} // namespace tessarin

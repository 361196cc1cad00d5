// The candidates of any of the four searches, for callers that reduce them
// themselves (a search over a stream, cut into pieces).
#include "extract/extract.hpp"

namespace tessarin {

void find_exact_raw_candidates(const UnitText& text, const std::u32string& folded_pattern,
                               const SearchOptions& options, CandidateSink& sink, Cancellation& cancel);
void find_exact_token_candidates(const UnitText& text, const std::u32string& folded_pattern,
                                 const std::u32string& separator, const SearchOptions& options, CandidateSink& sink,
                                 Cancellation& cancel);
void find_fuzzy_raw_candidates(const UnitText& text, const std::u32string& folded_pattern,
                               const SearchOptions& options, CandidateSink& sink, Cancellation& cancel);
void find_fuzzy_token_candidates(const UnitText& text, const std::u32string& folded_pattern,
                                 const std::u32string& separator, const SearchOptions& options, CandidateSink& sink,
                                 Cancellation& cancel);

void find_many_exact_raw_candidates(const UnitText& text, const std::vector<std::u32string>& folded_patterns,
                                    const SearchOptions& options, const std::vector<CandidateSink*>& sinks,
                                    Cancellation& cancel);
void find_many_fuzzy_raw_candidates(const UnitText& text, const std::vector<std::u32string>& folded_patterns,
                                    const SearchOptions& options, const std::vector<CandidateSink*>& sinks,
                                    Cancellation& cancel);

void find_candidates(SearchMode mode, const UnitText& text, const std::u32string& folded_pattern,
                     const std::u32string& folded_separator, const SearchOptions& options, CandidateSink& sink,
                     Cancellation& cancel)
{
    switch (mode) {
    case SearchMode::exact_raw: find_exact_raw_candidates(text, folded_pattern, options, sink, cancel); break;
    case SearchMode::exact_token:
        find_exact_token_candidates(text, folded_pattern, folded_separator, options, sink, cancel);
        break;
    case SearchMode::fuzzy_raw: find_fuzzy_raw_candidates(text, folded_pattern, options, sink, cancel); break;
    case SearchMode::fuzzy_token:
        find_fuzzy_token_candidates(text, folded_pattern, folded_separator, options, sink, cancel);
        break;
    }
}

void find_many_candidates(SearchMode mode, const UnitText& text, const std::vector<std::u32string>& folded_patterns,
                          const std::u32string& folded_separator, const SearchOptions& options,
                          const std::vector<CandidateSink*>& sinks, Cancellation& cancel)
{
    switch (mode) {
    case SearchMode::exact_raw: find_many_exact_raw_candidates(text, folded_patterns, options, sinks, cancel); return;
    case SearchMode::fuzzy_raw: find_many_fuzzy_raw_candidates(text, folded_patterns, options, sinks, cancel); return;
    case SearchMode::exact_token:
    case SearchMode::fuzzy_token:
        for (std::size_t i = 0; i < folded_patterns.size(); ++i)
            find_candidates(mode, text, folded_patterns[i], folded_separator, options, *sinks[i], cancel);
        return;
    }
}

namespace {

// Exact token windows need no solving: every candidate is a match.
class Collector final : public CandidateSink {
public:
    void add(const Match& candidate) override { matches.push_back(candidate); }
    MatchList matches;
};

} // namespace

std::vector<MatchList> extract_many(SearchMode mode, TextInput s, std::vector<TextInput> patterns,
                                    TextInput tokenizer_pattern, const SearchOptions& options, Cancellation cancel)
{
    const bool ci = options.case_insensitive, sci = options.special_char_insensitive;
    const UnitText text = std::move(s).units(cancel);
    std::vector<std::u32string> folded_patterns;
    folded_patterns.reserve(patterns.size());
    for (TextInput& pattern : patterns)
        folded_patterns.push_back(fold_code_points(std::move(pattern), ci, sci, cancel));
    const std::u32string separator = fold_code_points(std::move(tokenizer_pattern), ci, sci, cancel);

    std::vector<MatchList> found(patterns.size());
    std::vector<CandidateSink*> sinks;
    if (mode == SearchMode::exact_token) {
        std::vector<Collector> collectors(patterns.size());
        for (Collector& collector : collectors)
            sinks.push_back(&collector);
        find_many_candidates(mode, text, folded_patterns, separator, options, sinks, cancel);
        for (std::size_t i = 0; i < collectors.size(); ++i)
            found[i] = std::move(collectors[i].matches);
        return found;
    }
    std::vector<ConflictSolver> solvers;
    solvers.reserve(patterns.size());
    for (std::size_t i = 0; i < patterns.size(); ++i)
        sinks.push_back(&solvers.emplace_back(options.strategies, &cancel));
    find_many_candidates(mode, text, folded_patterns, separator, options, sinks, cancel);
    for (std::size_t i = 0; i < solvers.size(); ++i)
        found[i] = solvers[i].finish();
    return found;
}

} // namespace tessarin

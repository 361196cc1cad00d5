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

} // namespace tessarin

// Fuzzy raw extraction: every start position gets windows around the
// pattern's length, each trimmed and scored against the trimmed pattern.
// The text is decoded once; windows are spans of it, never new strings.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "comparator/fuzzy.hpp"
#include "conflict_solver/mod.hpp"
#include "extract/extract.hpp"

namespace tessarin {
namespace {

// How many code points longer than the pattern a window may be: the
// pattern length times a normalized threshold, truncated toward zero and
// saturated to the range of a signed byte (NaN gives 0). Every step is
// defined for any double, infinities and huge products included.
int slack_for(std::uint64_t pattern_length, double threshold, std::uint8_t threshold_kind)
{
    if (threshold_kind_of(threshold_kind) == ThresholdKind::Absolute) return 0;
    const double product = static_cast<double>(pattern_length) * threshold;
    if (std::isnan(product)) return 0;
    if (product >= 127.0) return 127;
    if (product <= -128.0) return -128;
    return static_cast<int>(product); // truncates toward zero
}

// The span [start, end) without white space at either end.
std::u32string_view trimmed_span(const std::u32string& text, std::uint64_t start, std::uint64_t end)
{
    while (start < end && is_white_space(text[start]))
        ++start;
    while (end > start && is_white_space(text[end - 1]))
        --end;
    return std::u32string_view(text).substr(start, end - start);
}

} // namespace

MatchList fuzzy_raw_extract(std::string s, std::string pattern, bool case_insensitive,
                            bool special_char_insensitive, const std::string& metric, double threshold,
                            std::uint8_t threshold_kind, const std::vector<std::string>& strategies, Cancellation cancel)
{
    const NormalizedText text = normalize(std::move(s), case_insensitive, special_char_insensitive, cancel);
    const NormalizedText folded_pattern = normalize(std::move(pattern), case_insensitive, special_char_insensitive, cancel);
    const std::uint64_t m = char_count(folded_pattern);
    const int slack = slack_for(m, threshold, threshold_kind);

    ConflictSolver solver(text, strategies);
    if (m > 0 && !text.empty()) {
        const std::u32string code_points = decode_utf8(text);
        const std::uint64_t n = code_points.size();
        FuzzyComparator comparator(decode_utf8(trim_whitespace(folded_pattern)), metric, threshold, threshold_kind);

        // A negative slack allows no window at all; each start still gets
        // the one window of the pattern's length, so that the metric is
        // looked at as in every other call (no score can pass then).
        const std::int64_t longest = std::max(slack, 0);
        const std::int64_t shrink = std::min<std::int64_t>(static_cast<std::int64_t>(m) - 1, longest);
        for (std::uint64_t start = 0; start < n; ++start) {
            cancel.poll(static_cast<std::uint64_t>(shrink + longest + 1) * (m + 1));
            for (std::int64_t k = -shrink;; ++k) {
                const std::uint64_t nominal_end = start + m + static_cast<std::uint64_t>(k);
                const std::uint64_t end = std::min(nominal_end, n);
                const Comparison verdict = comparator.compare(trimmed_span(code_points, start, end));
                if (verdict.accepted) solver.add(Match{start, end, verdict.score});
                if (k >= longest || nominal_end >= n) break;
            }
        }
    }
    return solver.finish();
}

} // namespace tessarin

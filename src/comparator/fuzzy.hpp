// Scores a candidate against the pattern with a named string metric and
// judges the score against the threshold. Every score is a distance: 0.0
// means identical, and a candidate passes when its score <= threshold.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tessarin {

enum class Metric {
    levenshtein,
    damerau_levenshtein,
    osa,
    indel,
    lcs_seq,
    hamming,
    jaro,
    jaro_winkler,
    prefix,
    postfix,
};

// 0 reads the threshold as a plain distance; every other value as a
// distance normalized to [0, 1].
enum class ThresholdKind { Absolute, Normalized };

constexpr ThresholdKind threshold_kind_of(std::uint8_t value) noexcept
{
    return value == 0 ? ThresholdKind::Absolute : ThresholdKind::Normalized;
}

// The metric that `name` selects, byte for byte; nothing for any other name.
std::optional<Metric> parse_metric(std::string_view name) noexcept;

struct Comparison {
    bool accepted;
    double score;
};

// Compares candidates against one pattern, prepared once. The metric name
// is resolved at the first comparison, so a call that compares nothing
// never fails on it; an unknown name throws ExtractionFailure then.
class FuzzyComparator {
public:
    FuzzyComparator(std::u32string pattern, std::string metric, double threshold, std::uint8_t threshold_kind);
    ~FuzzyComparator();
    FuzzyComparator(const FuzzyComparator&) = delete;
    FuzzyComparator& operator=(const FuzzyComparator&) = delete;

    // `candidate` is already folded and trimmed; it is always the first
    // string handed to the metric, the pattern the second. The score is
    // exact whenever the candidate is accepted; for a rejected one it is
    // only known to exceed the threshold.
    Comparison compare(std::u32string_view candidate);

    // The metric that the name selects; throws ExtractionFailure for an
    // unknown name. Callers that score windows their own way call it where
    // the first comparison would be due.
    Metric metric() const;

    const std::u32string& pattern() const noexcept { return pattern_; }
    double threshold() const noexcept { return threshold_; }
    ThresholdKind threshold_kind() const noexcept { return threshold_kind_; }

    class Scorer; // one per metric and reading, defined with the metrics

private:
    double length_bound(std::size_t length) const noexcept;

    std::u32string pattern_;
    std::string metric_;
    double threshold_;
    ThresholdKind threshold_kind_;
    std::optional<Metric> resolved_;
    std::unique_ptr<Scorer> scorer_;
};

} // namespace tessarin

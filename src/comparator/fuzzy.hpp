// Scores a candidate against the pattern with a named string metric and
// judges the score against the threshold. Every score is a distance: 0.0
// means identical, and a candidate passes when its score <= threshold.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "comparator/metrics.hpp"
#include "text/units.hpp"

namespace tessarin {

// A metric as the caller named it, parsed once. An unknown name is kept,
// not refused: the failure is only due where the first comparison is.
class MetricChoice {
public:
    MetricChoice() = default;
    explicit MetricChoice(std::string_view name) noexcept : parsed_(parse_metric(name)) {}
    explicit MetricChoice(Metric metric) noexcept : parsed_(metric) {}

    bool known() const noexcept { return parsed_.has_value(); }

    // The metric; throws ExtractionFailure for an unknown name.
    Metric resolve() const;

private:
    std::optional<Metric> parsed_;
};

struct Comparison {
    bool accepted;
    double score;
};

// Compares candidates against one pattern, prepared once. The metric name
// is resolved at the first comparison, so a call that compares nothing
// never fails on it; an unknown name throws ExtractionFailure then.
class FuzzyComparator {
public:
    FuzzyComparator(std::u32string pattern, MetricChoice metric, double threshold, ThresholdKind threshold_kind);
    ~FuzzyComparator();
    FuzzyComparator(const FuzzyComparator&) = delete;
    FuzzyComparator& operator=(const FuzzyComparator&) = delete;

    // `candidate` is already folded and trimmed, in code units of any width
    // (text/units.hpp); it is always the first string handed to the metric,
    // the pattern the second. The score is exact whenever the candidate is
    // accepted; for a rejected one it is only known to exceed the threshold.
    template <typename Char> Comparison compare(Units<Char> candidate);
    Comparison compare(std::u32string_view candidate) { return compare<char32_t>(candidate); }

    // The metric that the name selects; throws ExtractionFailure for an
    // unknown name. Callers that score windows their own way call it where
    // the first comparison would be due.
    Metric metric() const { return metric_.resolve(); }

    const std::u32string& pattern() const noexcept { return pattern_; }
    double threshold() const noexcept { return threshold_; }
    ThresholdKind threshold_kind() const noexcept { return threshold_kind_; }

    class Scorer; // one per metric and reading, defined with the metrics

private:
    std::u32string pattern_;
    MetricChoice metric_;
    double threshold_;
    ThresholdKind threshold_kind_;
    std::unique_ptr<Scorer> scorer_;
};

} // namespace tessarin

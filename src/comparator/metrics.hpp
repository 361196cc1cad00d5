// The string metrics, one row each. A row says what a metric's maximum is
// formed from, which family of bounds holds for it, its prefix weight and
// what a comparison costs; parsing, normalisation, every bound and the cost
// estimates are derived from the row, so a new metric is a new row plus its
// case in the scorer factory (src/comparator/fuzzy.cpp), whose switch the
// compiler checks for completeness.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
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

// What a normalized distance is divided by.
enum class Maximum {
    longer,     // the longer of the two lengths
    sum,        // both lengths together (Indel)
    similarity, // none: the distance is one minus a similarity, already in [0, 1]
};

// Which lower bound on the distance holds, given the lengths and the number
// of code points the two strings can have in common.
enum class BoundFamily {
    edit,         // at least the longer length minus the shared count (and the length difference)
    indel,        // at least both lengths minus twice the shared count
    equal_length, // as `edit`, for equal lengths only (other lengths are scored without the library)
    similarity,   // a Jaro similarity bound from the shared count
};

// How a comparison's work grows: one step per code point of the shorter
// string (linear), 64 pattern code points per step (bit-parallel), or one
// (a full dynamic-programming row).
enum class Cost { linear, bit_parallel, quadratic };

struct MetricTraits {
    std::string_view name; // matched byte for byte
    Metric metric;
    Maximum maximum;
    BoundFamily bound;
    double prefix_weight; // what each common-prefix code point adds (Jaro-Winkler)
    Cost cost;
};

inline constexpr MetricTraits metric_table[] = {
    {"levenshtein", Metric::levenshtein, Maximum::longer, BoundFamily::edit, 0.0, Cost::bit_parallel},
    {"damerau_levenshtein", Metric::damerau_levenshtein, Maximum::longer, BoundFamily::edit, 0.0, Cost::quadratic},
    {"osa", Metric::osa, Maximum::longer, BoundFamily::edit, 0.0, Cost::bit_parallel},
    {"indel", Metric::indel, Maximum::sum, BoundFamily::indel, 0.0, Cost::bit_parallel},
    {"lcs_seq", Metric::lcs_seq, Maximum::longer, BoundFamily::edit, 0.0, Cost::bit_parallel},
    {"hamming", Metric::hamming, Maximum::longer, BoundFamily::equal_length, 0.0, Cost::linear},
    {"jaro", Metric::jaro, Maximum::similarity, BoundFamily::similarity, 0.0, Cost::bit_parallel},
    {"jaro_winkler", Metric::jaro_winkler, Maximum::similarity, BoundFamily::similarity, 0.1, Cost::bit_parallel},
    {"prefix", Metric::prefix, Maximum::longer, BoundFamily::edit, 0.0, Cost::linear},
    {"postfix", Metric::postfix, Maximum::longer, BoundFamily::edit, 0.0, Cost::linear},
};

inline constexpr std::size_t metric_count = std::size(metric_table);

namespace detail {
constexpr bool table_in_enum_order() noexcept
{
    for (std::size_t i = 0; i < metric_count; ++i)
        if (static_cast<std::size_t>(metric_table[i].metric) != i) return false;
    return true;
}
} // namespace detail
static_assert(detail::table_in_enum_order(), "one row per metric, in the order of the enum");

constexpr const MetricTraits& traits_of(Metric metric) noexcept
{
    return metric_table[static_cast<std::size_t>(metric)];
}

// The metric that `name` selects, byte for byte; nothing for any other name.
constexpr std::optional<Metric> parse_metric(std::string_view name) noexcept
{
    for (const MetricTraits& row : metric_table)
        if (row.name == name) return row.metric;
    return std::nullopt;
}

// The denominator of the normalized distance of strings of these lengths
// (0 for the similarity metrics, whose distance needs none).
constexpr std::uint64_t maximum_of(Metric metric, std::uint64_t length, std::uint64_t other) noexcept
{
    switch (traits_of(metric).maximum) {
    case Maximum::longer: return std::max(length, other);
    case Maximum::sum: return length + other;
    case Maximum::similarity: break;
    }
    return 0;
}

// A distance as a score, with the library's own arithmetic so that the two
// agree to the bit: the normalized reading divides by the maximum, and two
// empty strings are 0.0 apart.
[[gnu::always_inline]] constexpr double score_of(Metric metric, ThresholdKind kind, std::uint64_t distance, std::uint64_t length,
                          std::uint64_t other) noexcept
{
    if (kind == ThresholdKind::Absolute) return static_cast<double>(distance);
    const std::uint64_t maximum = maximum_of(metric, length, other);
    return maximum != 0 ? static_cast<double>(distance) / static_cast<double>(maximum) : 0.0;
}

} // namespace tessarin

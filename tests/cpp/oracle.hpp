// The score of a candidate straight from the metric library, with no
// cutoff and none of the core's bounds: what every shortcut of the core must
// reproduce to the bit. Shared by the core's tests and the fuzzing harness.
#pragma once

#include <algorithm>
#include <string_view>

#include <rapidfuzz/distance.hpp>

#include "comparator/metrics.hpp"

namespace tessarin::testing {

inline std::size_t utf8_bytes(std::u32string_view text)
{
    std::size_t bytes = 0;
    for (char32_t c : text)
        bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    return bytes;
}

template <typename Family> double family_score(ThresholdKind kind, std::u32string_view a, std::u32string_view b)
{
    if (kind == ThresholdKind::Absolute) return static_cast<double>(Family::distance(a, b));
    return Family::normalized_distance(a, b);
}

struct LevenshteinFamily {
    static auto distance(std::u32string_view a, std::u32string_view b) { return rapidfuzz::levenshtein_distance(a, b); }
    static double normalized_distance(std::u32string_view a, std::u32string_view b)
    {
        return rapidfuzz::levenshtein_normalized_distance(a, b);
    }
};
#define TESSARIN_ORACLE_FAMILY(Name, function)                                                                         \
    struct Name {                                                                                                      \
        static auto distance(std::u32string_view a, std::u32string_view b)                                             \
        {                                                                                                              \
            return rapidfuzz::function##_distance(a, b);                                                               \
        }                                                                                                              \
        static double normalized_distance(std::u32string_view a, std::u32string_view b)                                \
        {                                                                                                              \
            return rapidfuzz::function##_normalized_distance(a, b);                                                    \
        }                                                                                                              \
    };
TESSARIN_ORACLE_FAMILY(OsaFamily, osa)
TESSARIN_ORACLE_FAMILY(IndelFamily, indel)
TESSARIN_ORACLE_FAMILY(LcsFamily, lcs_seq)
TESSARIN_ORACLE_FAMILY(PrefixFamily, prefix)
TESSARIN_ORACLE_FAMILY(PostfixFamily, postfix)
TESSARIN_ORACLE_FAMILY(DamerauFamily, experimental::damerau_levenshtein)
#undef TESSARIN_ORACLE_FAMILY

inline double oracle_score(Metric metric, ThresholdKind kind, std::u32string_view candidate,
                           std::u32string_view pattern)
{
    switch (metric) {
    case Metric::levenshtein: return family_score<LevenshteinFamily>(kind, candidate, pattern);
    case Metric::damerau_levenshtein: return family_score<DamerauFamily>(kind, candidate, pattern);
    case Metric::osa: return family_score<OsaFamily>(kind, candidate, pattern);
    case Metric::indel: return family_score<IndelFamily>(kind, candidate, pattern);
    case Metric::lcs_seq: return family_score<LcsFamily>(kind, candidate, pattern);
    case Metric::prefix: return family_score<PrefixFamily>(kind, candidate, pattern);
    case Metric::postfix: return family_score<PostfixFamily>(kind, candidate, pattern);
    case Metric::hamming:
        // Unequal lengths never reach the library: a whole mismatch, counted
        // in UTF-8 bytes when absolute.
        if (candidate.size() != pattern.size())
            return kind == ThresholdKind::Absolute
                       ? static_cast<double>(std::max(utf8_bytes(candidate), utf8_bytes(pattern)))
                       : 1.0;
        if (kind == ThresholdKind::Absolute)
            return static_cast<double>(rapidfuzz::hamming_distance(candidate, pattern, false));
        return rapidfuzz::hamming_normalized_distance(candidate, pattern, false);
    case Metric::jaro: return rapidfuzz::jaro_distance(candidate, pattern);
    case Metric::jaro_winkler: return rapidfuzz::jaro_winkler_distance(candidate, pattern, 0.1);
    }
    return 0.0;
}

} // namespace tessarin::testing

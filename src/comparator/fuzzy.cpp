#include "comparator/fuzzy.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include <rapidfuzz/distance.hpp>

#include "comparator/bounds.hpp"
#include "text/text.hpp"

namespace tessarin {

// A candidate comes in one of three unit types; a Latin-1 one is read as
// unsigned bytes, which the metric library compares as code points.
class FuzzyComparator::Scorer {
public:
    virtual ~Scorer() = default;
    virtual double score(Units<char> candidate) const = 0;
    virtual double score(Units<char16_t> candidate) const = 0;
    virtual double score(Units<char32_t> candidate) const = 0;
};

namespace {

using Pattern = std::u32string;

// A candidate's units as the library reads them.
template <typename Unit> struct Candidate {
    const Unit* first;
    std::size_t size;
    const Unit* begin() const noexcept { return first; }
    const Unit* end() const noexcept { return first + size; }
};

inline Candidate<unsigned char> candidate_of(Units<char> units) noexcept
{
    return {reinterpret_cast<const unsigned char*>(units.data()), units.size()};
}
inline Candidate<char16_t> candidate_of(Units<char16_t> units) noexcept
{
    return {units.data(), units.size()};
}
inline Candidate<char32_t> candidate_of(Units<char32_t> units) noexcept
{
    return {units.data(), units.size()};
}

// The three entry points of a scorer, each handing its candidate to the
// derived class's one template.
template <typename Derived> class ScorerOfAnyUnits : public FuzzyComparator::Scorer {
public:
    double score(Units<char> candidate) const override { return derived().score_units(candidate_of(candidate)); }
    double score(Units<char16_t> candidate) const override { return derived().score_units(candidate_of(candidate)); }
    double score(Units<char32_t> candidate) const override { return derived().score_units(candidate_of(candidate)); }

private:
    const Derived& derived() const noexcept { return static_cast<const Derived&>(*this); }
};

// A cutoff lets the library stop early on a candidate that cannot pass.
// It is always an integer distance above every one that can pass: the
// library has been seen to misjudge a distance equal to its cutoff
// (lcs_seq), and the product of a normalized threshold and the maximum may
// round to just below a distance that passes, hence one more. A normalized
// score is formed from the exact distance with the library's own division.
std::size_t cutoff_for(double threshold, std::size_t maximum, ThresholdKind kind) noexcept
{
    if (!(threshold >= 0.0)) return 0;
    const double largest = kind == ThresholdKind::Absolute ? threshold : threshold * static_cast<double>(maximum);
    // An infinite threshold over two empty strings makes the product NaN.
    if (!(largest < static_cast<double>(std::numeric_limits<std::int32_t>::max())))
        return static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::size_t>(largest) + (kind == ThresholdKind::Absolute ? 1 : 2);
}

// A metric whose cached RapidFuzz scorer holds the prepared pattern. The
// metrics here are symmetric, so the cached pattern may stand first.
// Extra arguments go to the cached scorer's constructor.
template <typename Cached, ThresholdKind Kind> class CachedScorer : public ScorerOfAnyUnits<CachedScorer<Cached, Kind>> {
public:
    template <typename... Options>
    CachedScorer(Metric metric, const Pattern& pattern, double threshold, Options... options)
        : cached_(pattern, options...), metric_(metric), length_(pattern.size()), threshold_(threshold)
    {
    }

    template <typename Unit> double score_units(Candidate<Unit> candidate) const
    {
        const std::size_t cutoff = cutoff_for(threshold_, maximum_of(metric_, candidate.size, length_), Kind);
        const std::size_t distance = cached_.distance(candidate.begin(), candidate.end(), cutoff);
        return score_of(metric_, Kind, distance, candidate.size, length_);
    }

private:
    Cached cached_;
    Metric metric_;
    std::size_t length_;
    double threshold_;
};

// Hamming compares strings of equal length only (the library without
// padding); for unequal lengths the score is the larger UTF-8 byte length
// (Absolute) or 1.0 (Normalized), and the library is not asked.
template <ThresholdKind Kind> class HammingScorer final : public ScorerOfAnyUnits<HammingScorer<Kind>> {
public:
    HammingScorer(const Pattern& pattern, double threshold)
        : equal_lengths_(Metric::hamming, pattern, threshold, false), length_(pattern.size()),
          pattern_bytes_(utf8_length(pattern.data(), pattern.size()))
    {
    }

    template <typename Unit> double score_units(Candidate<Unit> candidate) const
    {
        if (candidate.size == length_) return equal_lengths_.score_units(candidate);
        if constexpr (Kind == ThresholdKind::Absolute)
            return static_cast<double>(std::max(utf8_length(candidate.first, candidate.size), pattern_bytes_));
        else
            return 1.0;
    }

private:
    template <typename Unit> static std::size_t utf8_length(const Unit* text, std::size_t size) noexcept
    {
        std::size_t bytes = 0;
        for (std::size_t i = 0; i < size; ++i) {
            const char32_t c = text[i];
            bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        }
        return bytes;
    }

    CachedScorer<rapidfuzz::CachedHamming<char32_t>, Kind> equal_lengths_;
    std::size_t length_;
    std::size_t pattern_bytes_;
};

// Jaro and Jaro-Winkler are symmetric too: the characters matched within
// the sliding window form a largest matching whichever side is scanned, and
// the sums of the two length ratios commute exactly. Their distance is the
// same in both readings.
template <typename Cached> class JaroFamilyScorer final : public ScorerOfAnyUnits<JaroFamilyScorer<Cached>> {
public:
    explicit JaroFamilyScorer(const Pattern& pattern) : cached_(pattern) {}
    template <typename Unit> double score_units(Candidate<Unit> candidate) const
    {
        return cached_.distance(candidate.begin(), candidate.end());
    }

private:
    Cached cached_;
};

template <typename Cached>
std::unique_ptr<FuzzyComparator::Scorer> cached_scorer(Metric metric, ThresholdKind kind, const Pattern& pattern,
                                                       double threshold)
{
    if (kind == ThresholdKind::Absolute)
        return std::make_unique<CachedScorer<Cached, ThresholdKind::Absolute>>(metric, pattern, threshold);
    return std::make_unique<CachedScorer<Cached, ThresholdKind::Normalized>>(metric, pattern, threshold);
}

std::unique_ptr<FuzzyComparator::Scorer> make_scorer(Metric metric, ThresholdKind kind, const Pattern& pattern,
                                                     double threshold)
{
    switch (metric) {
    case Metric::levenshtein:
        return cached_scorer<rapidfuzz::CachedLevenshtein<char32_t>>(metric, kind, pattern, threshold);
    case Metric::damerau_levenshtein:
        return cached_scorer<rapidfuzz::experimental::CachedDamerauLevenshtein<char32_t>>(metric, kind, pattern,
                                                                                          threshold);
    case Metric::osa: return cached_scorer<rapidfuzz::CachedOSA<char32_t>>(metric, kind, pattern, threshold);
    case Metric::indel: return cached_scorer<rapidfuzz::CachedIndel<char32_t>>(metric, kind, pattern, threshold);
    case Metric::lcs_seq: return cached_scorer<rapidfuzz::CachedLCSseq<char32_t>>(metric, kind, pattern, threshold);
    case Metric::prefix: return cached_scorer<rapidfuzz::CachedPrefix<char32_t>>(metric, kind, pattern, threshold);
    case Metric::postfix: return cached_scorer<rapidfuzz::CachedPostfix<char32_t>>(metric, kind, pattern, threshold);
    case Metric::hamming:
        if (kind == ThresholdKind::Absolute)
            return std::make_unique<HammingScorer<ThresholdKind::Absolute>>(pattern, threshold);
        return std::make_unique<HammingScorer<ThresholdKind::Normalized>>(pattern, threshold);
    case Metric::jaro: return std::make_unique<JaroFamilyScorer<rapidfuzz::CachedJaro<char32_t>>>(pattern);
    case Metric::jaro_winkler: // the prefix weight defaults to 0.1
        return std::make_unique<JaroFamilyScorer<rapidfuzz::CachedJaroWinkler<char32_t>>>(pattern);
    }
    throw ExtractionFailure("Invalid distance metric");
}

} // namespace

Metric MetricChoice::resolve() const
{
    if (!parsed_) throw ExtractionFailure("Invalid distance metric");
    return *parsed_;
}

FuzzyComparator::FuzzyComparator(std::u32string pattern, MetricChoice metric, double threshold,
                                 ThresholdKind threshold_kind)
    : pattern_(std::move(pattern)), metric_(std::move(metric)), threshold_(threshold), threshold_kind_(threshold_kind)
{
}

FuzzyComparator::~FuzzyComparator() = default;

template <typename Char> Comparison FuzzyComparator::compare(Units<Char> candidate)
{
    if (!scorer_) scorer_ = make_scorer(metric(), threshold_kind_, pattern_, threshold_);
    // A candidate whose length alone puts it beyond the threshold is
    // rejected unscored.
    const double bound = detail::length_floor(metric(), threshold_kind_, candidate.size(), pattern_.size());
    if (bound > threshold_) return Comparison{false, bound};
    const double score = scorer_->score(candidate);
    return Comparison{score <= threshold_, score};
}

template Comparison FuzzyComparator::compare<char>(Units<char>);
template Comparison FuzzyComparator::compare<char16_t>(Units<char16_t>);
template Comparison FuzzyComparator::compare<char32_t>(Units<char32_t>);

} // namespace tessarin

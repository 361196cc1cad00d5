// Fuzzy raw extraction: every start position gets windows around the
// pattern's length, each trimmed and scored against the trimmed pattern.
// The text is decoded once; windows are spans of it, never new strings.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "comparator/bit_parallel.hpp"
#include "comparator/bounds.hpp"
#include "comparator/damerau.hpp"
#include "comparator/fuzzy.hpp"
#include "comparator/word.hpp"
#include "conflict_solver/mod.hpp"
#include "extract/extract.hpp"
#include "extract/pick_groups.hpp"
#include "extract/reachable.hpp"
#include "extract/short_patterns.hpp"
#include "extract/window_shape.hpp"
#include "text/literals.hpp"

namespace tessarin {
namespace {

using detail::best_length;
using detail::cannot_pass;
using detail::common_prefix;
using detail::CommonCharacters;
using detail::every_window_passes;
using detail::for_each_bit;
using detail::for_each_piece;
using detail::largest_passing_distance;
using detail::longest_passing_length;
using detail::mark_over_stretches;
using detail::mark_reachable_ends;
using detail::most_stretches;
using detail::piece_bounds;
using detail::shape_of;
using detail::shortest_piece;
using detail::slack_for;
using detail::Stretch;
using detail::stretch_of;
using detail::WindowShape;
using std::int64_t;
using std::uint64_t;

// Whether a code unit is printable ASCII, which no trimming drops: most
// code units are, and are told apart without a call.
template <typename Char> [[gnu::always_inline]] inline bool is_plain(Char unit) noexcept
{
    const char32_t c = code_point(unit);
    return c > 0x20 && c < 0x7F;
}

// Tracks, for ascending starts, the first code point at or after the start
// that is not white space: where every trimmed window of that start begins
// (unless the window holds nothing else). Moving forward only, it costs
// linear time over all starts.

template <typename Char> class ContentStart {
public:
    explicit ContentStart(std::basic_string_view<Char> text) : text_(text) {}

    [[gnu::always_inline]] uint64_t at(uint64_t start) noexcept
    {
        if (next_ < start) next_ = start;
        while (next_ < text_.size() && !is_plain(text_[next_]) && is_white_space(code_point(text_[next_])))
            ++next_;
        return next_;
    }

private:
    std::basic_string_view<Char> text_;
    uint64_t next_ = 0;
};

// The end of the window [.., end) once trailing white space is dropped,
// never before `content_start`.
template <typename Char>
[[gnu::always_inline]] inline uint64_t trimmed_end(std::basic_string_view<Char> text, uint64_t content_start,
                                                   uint64_t end) noexcept
{
    while (end > content_start) {
        const char32_t c = code_point(text[end - 1]);
        if (is_plain(text[end - 1]) || !is_white_space(c)) break;
        --end;
    }
    return end;
}

// Any metric: every window that the bounds leave goes to the comparator.
template <typename Char>
void scan_with_comparator(Units<Char> text, const WindowShape& shape, Metric metric, FuzzyComparator& comparator,
                          CandidateSink& solver, Cancellation& cancel)
{
    const uint64_t n = text.size(), p = comparator.pattern().size();
    CommonCharacters shared(comparator.pattern(), text, cancel);
    const bool filtered = shared.usable();
    const Units<Char> view(text);
    ContentStart<Char> content(view);
    const ThresholdKind kind = comparator.threshold_kind();
    const double threshold = comparator.threshold();
    const uint64_t reach = shape.pattern_length + static_cast<uint64_t>(shape.longest);
    const uint64_t work_per_start = shape.work_per_start() * detail::comparison_cost(metric, 0, p);
    for (uint64_t start = 0; start < n; ++start) {
        cancel.poll(work_per_start);
        const uint64_t first = content.at(start);
        // What the longest window of this start shares with the pattern
        // bounds what each of its windows shares; the tracked window then
        // only slides, one code point in and one out per start.
        const uint64_t most_shared = filtered ? shared.common(start, std::min(start + reach, n)) : 0;
        // Every bound is smallest for one length (the pattern's for the edit
        // metrics, the shared count's for Indel and Jaro): if even that one
        // fails, no window of this start can pass.
        // No window of the start has a longer common prefix than the text
        // from its first content code point has.
        if (filtered && cannot_pass(metric, kind, threshold, best_length(metric, p, most_shared), p, most_shared,
                                    common_prefix(view.substr(first), comparator.pattern())))
            continue;
        shape.for_each_end(start, n, [&](uint64_t end) {
            const uint64_t a = std::min(first, end), b = trimmed_end(view, a, end);
            if (filtered && cannot_pass(metric, kind, threshold, b - a, p, most_shared,
                                        common_prefix(view.substr(a, b - a), comparator.pattern())))
                return;
            const Comparison verdict = comparator.compare(view.substr(a, b - a));
            if (verdict.accepted) solver.add(Match{start, end, verdict.score});
        });
    }
}

// Ascending window ends in a ring of a fixed size, which a loop over the
// starts fills and empties without allocating.
class EndQueue {
public:
    explicit EndQueue(uint64_t most) : ring_(ring_size(most)), mask_(ring_.size() - 1) {}
    void push_back(uint64_t end) noexcept { ring_[(head_ + size_++) & mask_] = end; }
    // Whether the first end lies before `end`.
    bool front_before(uint64_t end) const noexcept { return size_ != 0 && ring_[head_] < end; }
    void pop_front() noexcept
    {
        head_ = (head_ + 1) & mask_;
        --size_;
    }
    std::size_t size() const noexcept { return size_; }
    uint64_t operator[](std::size_t i) const noexcept { return ring_[(head_ + i) & mask_]; }

private:
    // A power of two, so that positions wrap by a mask.
    static std::size_t ring_size(uint64_t most) noexcept
    {
        std::size_t size = 1;
        while (size < most)
            size *= 2;
        return size;
    }

    std::vector<uint64_t> ring_;
    std::size_t mask_, head_ = 0, size_ = 0;
};

// Hamming where only a window as long as the pattern can pass: only the
// windows whose trimmed text is the pattern's length from the start's
// first content code point can, and they all end in the white space after
// that stretch, so the stretch is compared once for all of them.
template <typename Char>
void scan_equal_lengths(Units<Char> text, const WindowShape& shape, const FuzzyComparator& comparator,
                        uint64_t equal_allowed, CandidateSink& solver, Cancellation& cancel)
{
    const std::u32string& pattern = comparator.pattern();
    const uint64_t n = text.size(), p = pattern.size();
    const ThresholdKind kind = comparator.threshold_kind();
    const double threshold = comparator.threshold();
    const uint64_t work = shape.work_per_start();
    ContentStart<Char> content(text);
    for (uint64_t start = 0; start < n; ++start) {
        cancel.poll(work);
        const uint64_t first = content.at(start);
        const uint64_t longest_end = shape.longest_end(start, n);
        const uint64_t b = first + p;
        if (b > longest_end || (!is_plain(text[b - 1]) && is_white_space(code_point(text[b - 1])))) continue;
        uint64_t white_end = b; // the windows ending from b to here trim to b
        while (white_end < longest_end && !is_plain(text[white_end]) && is_white_space(code_point(text[white_end])))
            ++white_end;
        const uint64_t lowest = std::max(b, shape.shortest_end(start, n)), highest = white_end;
        if (lowest > highest) continue;
        uint64_t distance = 0;
        for (uint64_t i = 0; i < p && distance <= equal_allowed; ++i)
            distance += code_point(text[first + i]) != pattern[i];
        if (distance > equal_allowed) continue;
        const double score = score_of(Metric::hamming, kind, distance, p, p);
        if (score <= threshold)
            for (uint64_t end = lowest; end <= highest; ++end)
                solver.add(Match{start, end, score});
    }
}

// Postfix where only a window whose trimmed text ends in the pattern's
// last code point can pass, and only if enough of the pattern's end comes
// before it. The window ends where the text, white space aside, ends so
// are read once each, as the longest window's end moves
// forward, and kept while some start's window may end there; a start with
// none among its windows' ends is passed over without a look.
template <typename Char>
void scan_postfix_ends(Units<Char> text, const WindowShape& shape, const FuzzyComparator& comparator,
                       CandidateSink& solver, Cancellation& cancel)
{
    const std::u32string& pattern = comparator.pattern();
    const uint64_t n = text.size(), p = pattern.size();
    const ThresholdKind kind = comparator.threshold_kind();
    const double threshold = comparator.threshold();
    const char32_t last = pattern[p - 1];
    const uint64_t work = shape.work_per_start();
    const uint64_t reach = shape.pattern_length + static_cast<uint64_t>(shape.longest); // of a start's longest window
    ContentStart<Char> content(text);
    EndQueue ends(shape.longest_end(0, n) + static_cast<uint64_t>(shape.shrink) + 2);
    uint64_t read_to = 0;
    // Whether the text read, white space aside, ends in the pattern's last
    // code point with enough of the pattern's end before it for some window
    // to pass: no window ending there has more of it in common, and the
    // least score of a common suffix is that of a window of the pattern's
    // length.
    bool tail_can_pass = false;
    const auto read_one = [&]() {
        const Char unit = text[read_to++];
        const char32_t c = code_point(unit);
        if (is_plain(unit) || !is_white_space(c)) {
            tail_can_pass = c == last;
            if (tail_can_pass) {
                const uint64_t common = detail::common_affix(text.substr(0, read_to), pattern, true);
                tail_can_pass = !(score_of(Metric::postfix, kind, p - common, p, p) > threshold);
            }
        }
        if (tail_can_pass) ends.push_back(read_to);
    };
    for (uint64_t start = 0; start < n; ++start) {
        for (const uint64_t longest_end = shape.longest_end(start, n); read_to < longest_end;)
            read_one();
        while (ends.front_before(shape.shortest_end(start, n)))
            ends.pop_front();
        if (ends.size() == 0) {
            // No window of this start can pass: the next start that has one
            // is the first whose longest window reaches the next end read
            // that can pass (and its shortest window ends no later).
            while (ends.size() == 0 && read_to < n)
                read_one();
            if (ends.size() == 0) break;
            const uint64_t reaching = ends[0] - reach;
            cancel.poll(work * (reaching - start));
            start = reaching;
        }
        cancel.poll(work);
        const uint64_t first = content.at(start);
        for (std::size_t i = 0; i < ends.size(); ++i) {
            const uint64_t end = ends[i];
            const uint64_t a = std::min(first, end), b = trimmed_end(text, a, end);
            if (b == a || code_point(text[b - 1]) != last) continue;
            const uint64_t length = b - a;
            const uint64_t distance = std::max(length, p) - detail::common_affix(text.substr(a, length), pattern, true);
            const double score = score_of(Metric::postfix, kind, distance, length, p);
            if (score <= threshold) solver.add(Match{start, end, score});
        }
    }
}

// Prefix, postfix and Hamming scored here, each window in a step or a few:
// what a window has in common with the pattern at its start (the same for
// every window of a start, up to its length) or at its end, or the
// positions where it differs from a pattern of its length. A window with
// nothing in common at its end, or of another length than the pattern, is
// ruled out by its length alone where that cannot pass. Every window that
// can pass is scored exactly, so the solver picks as among all.
template <typename Char>
void scan_affixes_and_positions(Units<Char> text, const WindowShape& shape, Metric metric,
                                const FuzzyComparator& comparator, CandidateSink& solver, Cancellation& cancel)
{
    const std::u32string& pattern = comparator.pattern();
    const uint64_t n = text.size(), p = pattern.size();
    const ThresholdKind kind = comparator.threshold_kind();
    const double threshold = comparator.threshold();
    const uint64_t pattern_bytes = utf8_length(std::u32string_view(pattern));
    // Whether a window of this length with nothing in common with the
    // pattern (postfix), or of another length than it (Hamming), can pass:
    // its score is then its longer length (in bytes, for Hamming absolute),
    // and a normalized one is 1.0.
    const auto hopeless_passes = [&](uint64_t length) {
        return !(score_of(metric, kind, std::max(length, p), length, p) > threshold);
    };
    const bool any_hopeless_passes = hopeless_passes(0) || hopeless_passes(n);
    // The largest Hamming distance that passes between equal lengths.
    uint64_t equal_allowed = 0;
    while (equal_allowed < p && !(score_of(metric, kind, equal_allowed + 1, p, p) > threshold))
        ++equal_allowed;
    const uint64_t work = shape.work_per_start();
    ContentStart<Char> content(text);
    if (metric != Metric::prefix && !any_hopeless_passes) {
        if (metric == Metric::hamming)
            scan_equal_lengths(text, shape, comparator, equal_allowed, solver, cancel);
        else
            scan_postfix_ends(text, shape, comparator, solver, cancel);
        return;
    }
    for (uint64_t start = 0; start < n; ++start) {
        cancel.poll(work);
        const uint64_t first = content.at(start);
        uint64_t prefix = 0;
        if (metric == Metric::prefix) {
            prefix = detail::common_affix(text.substr(first), pattern, false);
            // No window of the start has more in common, and none is
            // shorter than the pattern by the measure: the longer length
            // less the prefix, over it, is at least (p - prefix) / p.
            if (score_of(metric, kind, p - prefix, p, p) > threshold) continue;
        }
        shape.for_each_end(start, n, [&](uint64_t end) {
            const uint64_t a = std::min(first, end), b = trimmed_end(text, a, end), length = b - a;
            uint64_t distance;
            if (metric == Metric::hamming) {
                if (length != p) {
                    if (!any_hopeless_passes || !hopeless_passes(length)) return;
                    const double score =
                        kind == ThresholdKind::Absolute
                            ? static_cast<double>(std::max(utf8_length(text.substr(a, length)), pattern_bytes))
                            : 1.0;
                    if (score <= threshold) solver.add(Match{start, end, score});
                    return;
                }
                // Counted only as far as a distance that can pass.
                distance = 0;
                for (uint64_t i = 0; i < p && distance <= equal_allowed; ++i)
                    distance += code_point(text[a + i]) != pattern[i];
                if (distance > equal_allowed) return;
            } else if (metric == Metric::prefix) {
                distance = std::max(length, p) - (a == first ? std::min(prefix, length) : 0);
            } else {
                if ((length == 0 || code_point(text[b - 1]) != pattern[p - 1]) &&
                    (!any_hopeless_passes || !hopeless_passes(length)))
                    return;
                distance = std::max(length, p) - detail::common_affix(text.substr(a, length), pattern, true);
            }
            const double score = score_of(metric, kind, distance, length, p);
            if (score <= threshold) solver.add(Match{start, end, score});
        });
    }
}

// The starts worth scoring: for each marked end b (each_end(f) calls f with
// every one, ascending), the starts of the windows whose trimmed end can be
// b (the window ends at b or in the white space right after it), merged
// into ascending ranges.
// The same one end at a time, for ends that arrive as a pass finds them.
template <typename Char> class StartsNear {
public:
    StartsNear(std::basic_string_view<Char> text, const WindowShape& shape) : text_(text), shape_(shape) {}

    template <typename Visit> void add(uint64_t b, Visit&& visit)
    {
        const uint64_t n = text_.size(), m = shape_.pattern_length;
        const auto longest = static_cast<uint64_t>(shape_.longest), shrink = static_cast<uint64_t>(shape_.shrink);
        uint64_t tail_end = b;
        while (tail_end < n && is_white_space(code_point(text_[tail_end])))
            ++tail_end;
        const uint64_t first = b > m + longest ? b - m - longest : 0;
        uint64_t last;
        if (tail_end == n)
            last = n - 1; // windows cut short at the end of the text
        else if (tail_end + shrink >= m)
            last = std::min(n - 1, tail_end + shrink - m);
        else
            return;
        if (open_ && first <= range_last_ + 1) {
            range_last_ = std::max(range_last_, last);
            return;
        }
        finish(visit);
        range_first_ = first;
        range_last_ = last;
        open_ = true;
    }

    template <typename Visit> void finish(Visit&& visit)
    {
        if (open_)
            for (uint64_t start = range_first_; start <= range_last_; ++start)
                visit(start);
        open_ = false;
    }

private:
    std::basic_string_view<Char> text_;
    const WindowShape& shape_;
    uint64_t range_first_ = 0, range_last_ = 0;
    bool open_ = false;
};

template <typename Char, typename EachEnd, typename Visit>
void for_each_start_near(EachEnd&& each_end, std::basic_string_view<Char> text, const WindowShape& shape, Visit visit)
{
    StartsNear<Char> near(text, shape);
    each_end([&](uint64_t b) { near.add(b, visit); });
    near.finish(visit);
}

// Marks, as the Levenshtein search would with no edit allowed, the ends of
// the occurrences of the pattern, overlapping ones included, in linear time
// (Knuth-Morris-Pratt over code points), polling a piece at a time.
template <typename Char>
void mark_occurrence_ends(std::basic_string_view<Char> text, std::u32string_view pattern,
                          std::vector<uint64_t>& reachable, Cancellation& cancel)
{
    reachable.assign(text.size() / 64 + 1, 0);
    std::vector<std::size_t> border(pattern.size() + 1, 0); // longest proper border of each prefix
    for (std::size_t i = 1, k = 0; i < pattern.size(); ++i) {
        while (k > 0 && pattern[i] != pattern[k])
            k = border[k];
        k += pattern[i] == pattern[k];
        border[i + 1] = k;
    }
    for (std::size_t j = 0, matched = 0; j < text.size(); ++j) {
        if (j % pass_piece == 0) cancel.poll(pass_piece);
        const char32_t c = code_point(text[j]);
        while (matched > 0 && (matched == pattern.size() || c != pattern[matched]))
            matched = border[matched];
        matched += c == pattern[matched];
        if (matched == pattern.size()) reachable[(j + 1) >> 6] |= uint64_t{1} << ((j + 1) & 63);
    }
}

// The metrics whose distances of all window lengths of a start come from
// one pass, and which the Levenshtein search can rule windows out for:
// their distance is never below the Levenshtein distance (Indel: every
// edit of its is one), or never below half of it (a transposition is two
// Levenshtein edits; an unmatched pair counted once by lcs_seq is at most
// an insertion and a deletion).
bool scored_per_start(Metric metric) noexcept
{
    switch (metric) {
    case Metric::levenshtein:
    case Metric::osa:
    case Metric::damerau_levenshtein:
    case Metric::indel:
    case Metric::lcs_seq: return true;
    default: return false;
    }
}

uint64_t levenshtein_edits_per_edit(Metric metric) noexcept
{
    return metric == Metric::levenshtein || metric == Metric::indel ? 1 : 2;
}

// For a metric scored per start: the largest distance with which any window
// can pass, and the most Levenshtein edits that any such window is from
// the pattern (from the pattern's length on, none is ruled out).
struct PassingLimits {
    uint64_t distance, levenshtein;
};

PassingLimits passing_limits(Metric metric, const WindowShape& shape, ThresholdKind kind, double threshold, uint64_t p)
{
    const uint64_t longest_window = std::min(std::max<uint64_t>(shape.pattern_length + shape.longest, p),
                                             longest_passing_length(metric, kind, threshold, p));
    const uint64_t distance = largest_passing_distance(metric, kind, threshold, longest_window, p, p + longest_window);
    return {distance, distance * levenshtein_edits_per_edit(metric)};
}

// The same scores without a library call per window. One Levenshtein
// search over the whole text marks the ends where some substring comes
// close enough for a window ending there to pass; only starts with a window
// whose trimmed end is marked are looked at, and only those windows are
// scored. For such a start, one pass from its first content code point
// yields the distance of every window length at once.
template <typename Char> class PerStartScan {
public:
    PerStartScan(std::basic_string_view<Char> text, const WindowShape& shape, Metric metric,
                 const FuzzyComparator& comparator)
        : text_(text), shape_(shape), metric_(metric), kind_(comparator.threshold_kind()),
          threshold_(comparator.threshold()), pattern_(comparator.pattern()), p_(pattern_.size()),
          bit_parallel_(pattern_), content_(text)
    {
        const PassingLimits limits = passing_limits(metric, shape, kind_, threshold_, p_);
        limit_ = limits.distance;
        filter_limit_ = limits.levenshtein;
        if (metric == Metric::damerau_levenshtein) damerau_.emplace(pattern_);
    }

    void run(CandidateSink& solver, Cancellation& cancel)
    {
        const std::basic_string_view<Char> view(text_);
        const bool filtered = filter_limit_ < p_;
        if (filtered) {
            if (filter_limit_ == 0) {
                mark_occurrence_ends(view, pattern_, reachable_, cancel);
            } else {
                mark_reachable_ends(bit_parallel_, view, pattern_, filter_limit_, reachable_, cancel);
            }
        }
        const auto add = [&](const Match& match) { solver.add(match); };
        const auto score_start = [&](uint64_t start) { this->score_start(start, filtered, add, cancel); };
        if (filtered)
            for_each_start_near([&](auto&& mark) { for_each_bit(reachable_, 0, cancel, mark); }, text_, shape_,
                                score_start);
        else
            for (uint64_t start = 0; start < text_.size(); ++start)
                score_start(start);
    }

    // Whether the search's pieces can rule windows out (with the pattern in
    // units of the text).
    bool filters_by_pieces() const noexcept { return filter_limit_ < p_ && p_ / (filter_limit_ + 1) >= shortest_piece; }
    uint64_t filter_limit() const noexcept { return filter_limit_; }

    // As run, where the pattern's pieces were found elsewhere: the windows
    // can only end in `stretches` (sorted), so ends are marked there alone
    // and kept as a sorted list, memory in proportion to what was found.
    void run_over(const std::vector<Stretch>& stretches, CandidateSink& solver, Cancellation& cancel)
    {
        sparse_ends_.clear();
        mark_over_stretches(
            bit_parallel_, text_, p_, filter_limit_, stretches, [&](uint64_t end) { sparse_ends_.push_back(end); },
            cancel);
        sparse_ = true;
        const auto add = [&](const Match& match) { solver.add(match); };
        for_each_start_near(
            [&](auto&& mark) {
                for (std::size_t i = 0; i < sparse_ends_.size(); ++i) {
                    if (i % pass_piece == 0) cancel.poll(pass_piece);
                    mark(sparse_ends_[i]);
                }
            },
            text_, shape_, [&](uint64_t start) { score_start(start, true, add, cancel); });
    }

    // Hands `add` every window of `start` that passes, with its score, in
    // order of its end; `filtered` looks only at the marked ends. Starts
    // must ascend from one call to the next.
    template <typename Add> void score_start(uint64_t start, bool filtered, Add&& add, Cancellation& cancel)
    {
        const uint64_t n = text_.size();
        const uint64_t first = content_.at(start);
        windows_.clear();
        uint64_t furthest = first;
        shape_.for_each_end(start, n, [&](uint64_t end) {
            const uint64_t b = trimmed_end(text_, std::min(first, end), end);
            // An empty candidate is p edits away, which a filtered scan rules out.
            if (filtered && (b <= first || !is_reachable(b))) return;
            // Each of these metrics is at least the difference of the lengths.
            const uint64_t length = b > first ? b - first : 0;
            if ((length > p_ ? length - p_ : p_ - length) > limit_) return;
            windows_.push_back(Window{end, b});
            furthest = std::max(furthest, b);
        });
        if (windows_.empty()) return;
        const std::basic_string_view<Char> span = text_.substr(first, furthest - first);
        cancel.poll((span.size() + 1) * (metric_ == Metric::damerau_levenshtein ? p_ + 1 : p_ / 64 + 1));
        if (filtered && filter_limit_ == 0) {
            // Only the pattern itself is within no edit: a marked end is where
            // it occurs, and a window ending there of its length holds it.
            for (const Window& window : windows_)
                if (window.trimmed_end - first == p_) add(Match{start, window.end, 0.0});
            return;
        }
        if (!prefix_distances(span, first)) return;
        for (const Window& window : windows_) {
            const uint64_t length = window.trimmed_end > first ? window.trimmed_end - first : 0;
            const uint64_t distance = distances_[length]; // distances_[0]: the empty candidate
            if (distance > limit_) continue;
            const double score = score_of(metric_, kind_, distance, length, p_);
            if (score <= threshold_) add(Match{start, window.end, score});
        }
    }

private:
    struct Window {
        uint64_t end, trimmed_end;
    };

    bool is_reachable(uint64_t end) const noexcept
    {
        if (sparse_) return std::binary_search(sparse_ends_.begin(), sparse_ends_.end(), end);
        return (reachable_[end >> 6] >> (end & 63)) & 1;
    }

    // Fills distances_ for every prefix of `span`, the text from the start's
    // first content code point `first`; false when no window can pass.
    bool prefix_distances(std::basic_string_view<Char> span, uint64_t first)
    {
        switch (metric_) {
        case Metric::levenshtein: bit_parallel_.levenshtein_prefix_distances(span, limit_, distances_); return true;
        case Metric::osa: bit_parallel_.osa_prefix_distances(span, distances_); return true;
        case Metric::damerau_levenshtein: {
            // Two cheap passes first, which bound the distance from below.
            bit_parallel_.levenshtein_prefix_distances(span, filter_limit_, distances_);
            bit_parallel_.lcs_prefix_lengths(span, common_);
            // Then the exact pass, over the windows whose bound can pass.
            uint64_t reach = 0;
            bool any = false;
            for (const Window& window : windows_) {
                const uint64_t length = window.trimmed_end > first ? window.trimmed_end - first : 0;
                const uint64_t levenshtein = distances_[length];
                if (levenshtein > filter_limit_) continue;
                const uint64_t least = detail::least_damerau_distance(levenshtein, common_[length], length, p_);
                if (score_of(metric_, kind_, least, length, p_) <= threshold_) {
                    reach = std::max(reach, length);
                    any = true;
                }
            }
            if (!any) return false;
            damerau_->prefix_distances(span.substr(0, reach), distances_);
            distances_.resize(span.size() + 1, detail::BitParallelPattern::beyond);
            return true;
        }
        case Metric::indel:
        case Metric::lcs_seq:
            bit_parallel_.lcs_prefix_lengths(span, distances_);
            for (uint64_t length = 0; length < distances_.size(); ++length) {
                const uint64_t common = distances_[length];
                distances_[length] = static_cast<std::uint32_t>(
                    metric_ == Metric::indel ? length + p_ - 2 * common : std::max(length, p_) - common);
            }
            return true;
        default: return false;
        }
    }

    std::basic_string_view<Char> text_;
    const WindowShape& shape_;
    Metric metric_;
    ThresholdKind kind_;
    double threshold_;
    const std::u32string& pattern_;
    uint64_t p_;
    uint64_t limit_ = 0, filter_limit_ = 0;
    detail::BitParallelPattern bit_parallel_;
    std::optional<detail::DamerauPrefixPass> damerau_;
    ContentStart<Char> content_;
    std::vector<uint64_t> reachable_;
    std::vector<uint64_t> sparse_ends_; // where the marks are a sorted list instead
    bool sparse_ = false;
    std::vector<Window> windows_;
    std::vector<std::uint32_t> distances_;
    std::vector<std::uint32_t> common_; // longest common subsequences, for Damerau-Levenshtein
};

// For the Jaro family at the threshold: the starts that the reach counts
// of all content starts at once leave hopeful, 64 starts at a time. A
// start's trimmed windows begin at its first code point, or at the next
// where it is white space, and their trimmed lengths run from its shortest
// window's, less the white space at either end, to the longest window's;
// with its common prefix (Jaro-Winkler), that tells the least count that
// one of them needs. The starts followed by more white space, and those
// whose shortest window runs past the end of the text, are left to the
// count of each start.
template <typename Char> class HopefulStarts {
public:
    HopefulStarts(const detail::WordPattern& positions, Units<Char> text, const WindowShape& shape, bool winkler,
                  detail::SharedNeeded& need_shared)
        : map_(positions, text, shape.pattern_length + static_cast<uint64_t>(shape.longest)), n_(text.size()),
          shortest_(shape.pattern_length - static_cast<uint64_t>(shape.shrink)),
          prefixes_(winkler ? std::min<uint64_t>(4, positions.pattern().size()) : 0)
    {
        const uint64_t longest = shape.pattern_length + static_cast<uint64_t>(shape.longest);
        const uint64_t p = positions.pattern().size();
        for (uint64_t lead = 0; lead < 2; ++lead)
            for (uint64_t prefix = 0; prefix <= prefixes_; ++prefix)
                for (uint64_t white = 0; white <= trailing_white; ++white) {
                    // With `white` white code points or more at the shortest
                    // window's end (the last class: any number), the trimmed
                    // windows are at least this long.
                    const uint64_t least_length =
                        white < trailing_white && shortest_ > lead + white ? shortest_ - lead - white : 1;
                    uint64_t least = p + 1;
                    for (uint64_t length = least_length; length <= longest; ++length)
                        if (const uint64_t need = need_shared.of(length, winkler ? prefix : 4); need <= length)
                            least = std::min(least, need);
                    unsigned slot = 0;
                    while (slot < need_count_[lead] && needs_[lead][slot] != least)
                        ++slot;
                    if (slot == need_count_[lead]) needs_[lead][need_count_[lead]++] = least;
                    need_slot_[lead][prefix][white] = static_cast<std::uint8_t>(slot);
                }
    }

    // The first start from `start` on, before `stop`, that the counts leave
    // (`stop` if none).
    uint64_t next(uint64_t start, uint64_t stop)
    {
        while (start < stop) {
            const uint64_t base = start & ~uint64_t{63};
            if (base != word_base_) {
                // Where the counts rule out fewer than half the starts (a
                // threshold that many windows come close to), the cheaper
                // counts of each start rule out most of those, and these
                // are left off.
                if (words_seen_ >= 4 && 2 * ruled_out_ < 64 * words_seen_) {
                    given_up_ = true;
                    return start;
                }
                word_ = hopeful_word(base);
                word_base_ = base;
                ++words_seen_;
                ruled_out_ += 64 - static_cast<uint64_t>(__builtin_popcountll(word_));
            }
            if (const uint64_t left = word_ >> (start - base); left != 0)
                return std::min(stop, start + static_cast<uint64_t>(__builtin_ctzll(left)));
            start = base + 64;
        }
        return stop;
    }

    const detail::JaroReachMap<Char>& map() const noexcept { return map_; }

    // Whether the counts were found to rule out too few starts: next() then
    // leaves every start.
    bool given_up() const noexcept { return given_up_; }

private:
    static constexpr uint64_t trailing_white = 3; // classes by white space at the shortest window's end

    uint64_t hopeful_word(uint64_t base)
    {
        const uint64_t first_late = n_ >= shortest_ ? n_ - shortest_ + 1 : 0;
        if (first_late <= base) return ~uint64_t{0};
        map_.prepare(base);
        const uint64_t white_here = map_.white(base), white_next = map_.white(base + 1);
        uint64_t hopeful = white_here & white_next;
        if (first_late < base + 64) hopeful |= ~uint64_t{0} << (first_late - base);
        // By the white space at the end of the shortest window: exactly
        // `white` code points, or (the last class) more.
        uint64_t by_white[trailing_white + 1];
        uint64_t left = ~uint64_t{0};
        for (uint64_t white = 0; white < trailing_white; ++white) {
            const uint64_t content = shortest_ > white ? ~map_.white(base + shortest_ - 1 - white) : 0;
            by_white[white] = left & content;
            left &= ~content;
        }
        by_white[trailing_white] = left;
        for (uint64_t lead = 0; lead < 2; ++lead) {
            // The starts whose trimmed windows begin `lead` code points on.
            const uint64_t begins = lead == 0 ? ~white_here : white_here & ~white_next;
            // By the common prefix (Jaro-Winkler): exactly `prefix` code
            // points, or (the last class) as many as it counts.
            uint64_t by_prefix[5];
            uint64_t held = begins;
            for (uint64_t prefix = 0; prefix < prefixes_; ++prefix) {
                const uint64_t longer = held & map_.holds(prefix, base + lead + prefix);
                by_prefix[prefix] = held & ~longer;
                held = longer;
            }
            by_prefix[prefixes_] = held;
            // The starts of each count needed, gathered first: the classes
            // share a few counts, and each count is looked up once.
            uint64_t wanting[max_needs] = {};
            for (uint64_t prefix = 0; prefix <= prefixes_; ++prefix)
                for (uint64_t white = 0; white <= trailing_white; ++white)
                    wanting[need_slot_[lead][prefix][white]] |= by_prefix[prefix] & by_white[white];
            for (unsigned slot = 0; slot < need_count_[lead]; ++slot)
                if (wanting[slot] != 0) hopeful |= wanting[slot] & map_.at_least(base + lead, needs_[lead][slot]);
        }
        return hopeful;
    }

    detail::JaroReachMap<Char> map_;
    uint64_t n_, shortest_, prefixes_;
    static constexpr unsigned max_needs = 5 * (trailing_white + 1); // classes by prefix and white space
    // By the white space before a start's trimmed windows: the distinct
    // counts needed, and the slot of each class's.
    uint64_t needs_[2][max_needs];
    unsigned need_count_[2] = {0, 0};
    std::uint8_t need_slot_[2][5][trailing_white + 1];
    uint64_t word_base_ = std::numeric_limits<uint64_t>::max(), word_ = 0;
    uint64_t words_seen_ = 0, ruled_out_ = 0; // words of starts worked out, and the starts they ruled out
    bool given_up_ = false;
};

// The score floors of the windows of one start, from the code points each
// shares with the pattern (and, for Jaro-Winkler, its common prefix).
template <typename Char> class WindowFloors {
public:
    struct Window {
        uint64_t end;
        double floor;
    };

    WindowFloors(Units<Char> text, const WindowShape& shape, Metric metric, ThresholdKind kind, double threshold,
                 const std::u32string& pattern, Cancellation& cancel)
        : text_(text), shape_(shape), metric_(metric), kind_(kind), threshold_(threshold), pattern_(pattern),
          shared_(pattern, text, cancel), content_(text_)
    {
        if (traits_of(metric).bound == BoundFamily::similarity) {
            need_shared_.emplace(metric, kind, threshold, pattern.size());
            windows_longest_ = shape.pattern_length + static_cast<uint64_t>(shape.longest);
            if (detail::JaroPattern::fits(pattern)) {
                jaro_.emplace(pattern);
                reach_.emplace(jaro_->positions(), text);
            }
            if (windows_longest_ <= 64)
                range_need_.assign(5 * (windows_longest_ + 1) * (windows_longest_ + 1), unknown);
            if (jaro_ && !range_need_.empty())
                hopeful_.emplace(jaro_->positions(), text, shape, traits_of(metric).prefix_weight > 0.0, *need_shared_);
        }
    }

    // The reach count keeps a reference to the pattern's positions held here.
    WindowFloors(const WindowFloors&) = delete;
    WindowFloors& operator=(const WindowFloors&) = delete;

    bool usable() const noexcept { return shared_.usable(); }

    // Fills windows() for `start` and returns their smallest floor, or
    // returns a floor of all of them above `bound` with windows() empty.
    // Starts ascend from one call to the next, until rewind().
    double of_start(uint64_t start, double bound)
    {
        const uint64_t n = text_.size(), first = content_.at(start), p = pattern_.size();
        uint64_t reachable = std::numeric_limits<uint64_t>::max(); // from the reach count, once worked out
        const auto trimmed_length = [&](uint64_t end) {
            const uint64_t a = std::min(first, end);
            return trimmed_end(text_, a, end) - a;
        };
        const uint64_t longest_end = shape_.longest_end(start, n), reach = trimmed_length(longest_end);
        const uint64_t shortest = trimmed_length(shape_.shortest_end(start, n));
        windows_.clear();
        const uint64_t prefix = traits_of(metric_).prefix_weight > 0.0
                                    ? common_prefix(Units<Char>(text_.data() + first, n - first), pattern_)
                                    : 4;
        if (!range_need_.empty() && bound == threshold_) {
            if (start == hopeful_start_)
                reachable = hopeful_reachable_; // first_hopeful() counted already
            else if (ruled_out_by_counts(first, longest_end, reach, shortest, prefix, reachable))
                return std::numeric_limits<double>::infinity();
        }
        // Every floor here falls toward one length and rises away from it,
        // so the most favourable length in a range of lengths is that one,
        // brought into the range: if even it is above the bound with some
        // count of shared code points, every window of the start is.
        const auto none_may_pass = [&](uint64_t shared) {
            return !may_pass(std::clamp(detail::best_length(metric_, p, shared), shortest, reach), shared, prefix,
                             bound);
        };
        // What the longest window shares bounds what each shares.
        const uint64_t most_shared = reach > 0 ? shared_.common(first, first + reach) : 0;
        if (none_may_pass(most_shared)) return std::numeric_limits<double>::infinity();
        // The reach count of ruled_out_by_counts(), against any bound.
        if (reachable == std::numeric_limits<uint64_t>::max() && reach_ && reach > 0 &&
            (reach_tries_ < 64 || 8 * reach_rules_out_ >= reach_tries_)) {
            ++reach_tries_;
            reachable = reach_->count(first, reach, detail::jaro_reach_of(reach, p));
            if (none_may_pass(std::min(reachable, most_shared))) {
                ++reach_rules_out_;
                return std::numeric_limits<double>::infinity();
            }
        }
        shape_.for_each_end(start, n, [&](uint64_t end) { windows_.push_back(Window{end, 0.0}); });
        double lowest = std::numeric_limits<double>::infinity();
        // Longest first: the shared count of a shorter window is the longer
        // one's less what it leaves out, one code point at a time.
        for (auto window = windows_.rbegin(); window != windows_.rend(); ++window) {
            const uint64_t length = trimmed_length(window->end);
            if (metric_ == Metric::prefix || metric_ == Metric::postfix) {
                window->floor = affix_score(first, length);
            } else {
                const uint64_t shared = length > 0 ? std::min(reachable, shared_.common(first, first + length)) : 0;
                // At the threshold, what a length needs is known already;
                // where windows are long, most pass it, and it is left off.
                window->floor =
                    bound == threshold_ && !range_need_.empty() &&
                            std::min({shared, length, p}) < need_shared_->of(length, std::min(prefix, length))
                        ? std::numeric_limits<double>::infinity()
                        : detail::score_floor(metric_, kind_, length, p, shared, std::min(prefix, length));
            }
            lowest = std::min(lowest, window->floor);
        }
        return lowest;
    }

    // For the Jaro family, where the threshold is the bound: the first
    // start from `start` on, before `stop`, that the counts of
    // ruled_out_by_counts() leave (`stop` if none), in a loop of its own
    // over the starts they rule out, which are most. Else `start`.
    uint64_t first_hopeful(uint64_t start, uint64_t stop)
    {
        if (range_need_.empty()) return start;
        // In locals: the counts' stores could alias the members for the
        // compiler, which would load them again at every start.
        const uint64_t n = text_.size();
        const uint64_t longest = shape_.pattern_length + static_cast<uint64_t>(shape_.longest);
        const uint64_t shortest_length = shape_.pattern_length - static_cast<uint64_t>(shape_.shrink);
        const bool winkler = traits_of(metric_).prefix_weight > 0.0;
        for (; start < stop; ++start) {
            if (hopeful_) {
                start = hopeful_->next(start, stop);
                if (hopeful_->given_up()) hopeful_.reset();
                if (start >= stop) break;
            }
            const uint64_t first = content_.at(start);
            const uint64_t longest_end = std::min(start + longest, n),
                           shortest_end = std::min(start + shortest_length, n);
            const uint64_t a = std::min(first, longest_end), reach = trimmed_end(text_, a, longest_end) - a;
            const uint64_t b = std::min(first, shortest_end), shortest = trimmed_end(text_, b, shortest_end) - b;
            const uint64_t prefix = winkler ? common_prefix(Units<Char>(text_.data() + first, n - first), pattern_) : 4;
            uint64_t reachable = std::numeric_limits<uint64_t>::max();
            if (!ruled_out_by_counts(first, longest_end, reach, shortest, prefix, reachable)) {
                hopeful_start_ = start;
                hopeful_reachable_ = reachable;
                return start;
            }
        }
        return stop;
    }

    // For the Jaro family at the threshold, the common case in a few steps:
    // whether the shared count, then the reach count, falls short of the
    // least that some window of the start needs, given the trimmed lengths
    // of its longest and shortest windows and its common prefix. The shared
    // count is taken up to the longest window's end before trimming, which
    // bounds it as well and slides by one code point at each end from one
    // start to the next. A reach count worked out goes to `reachable`.
    [[gnu::always_inline]] bool ruled_out_by_counts(uint64_t first, uint64_t longest_end, uint64_t reach,
                                                    uint64_t shortest, uint64_t prefix, uint64_t& reachable)
    {
        const uint64_t need = need_between(shortest, reach, prefix);
        if ((reach > 0 ? shared_.common(first, longest_end) : 0) < need) return true;
        // A Jaro match pairs a pattern position with a window position
        // within reach of it, so only the pattern positions whose code point
        // lies within reach in the longest window can match in any window of
        // the start. Where that seldom rules a start out (a threshold that
        // most windows pass), it is left off.
        if (reach_ && reach > 0 && (reach_tries_ < 64 || 8 * reach_rules_out_ >= reach_tries_)) {
            ++reach_tries_;
            // The map of all starts has it already where the longest window
            // keeps its whole length.
            const detail::JaroReachMap<Char>* map = hopeful_ ? &hopeful_->map() : nullptr;
            reachable = map && reach == windows_longest_ && map->covers(first)
                            ? map->count(first)
                            : reach_->count(first, reach, detail::jaro_reach_of(reach, pattern_.size()));
            if (reachable < need) {
                ++reach_rules_out_;
                return true;
            }
        }
        return false;
    }

    // The least shared count with which a window of a trimmed length from
    // `shortest` to `longest` and this common prefix can pass the threshold
    // (more than the pattern's length where none can): a window needs no
    // more than it shares, and its length must allow as many.
    [[gnu::always_inline]] uint64_t need_between(uint64_t shortest, uint64_t longest, uint64_t prefix)
    {
        std::uint8_t& kept =
            range_need_[(prefix * (windows_longest_ + 1) + shortest) * (windows_longest_ + 1) + longest];
        if (kept == unknown) {
            uint64_t least = pattern_.size() + 1;
            for (uint64_t length = shortest; length <= longest; ++length)
                if (const uint64_t need = need_shared_->of(length, prefix); need <= length)
                    least = std::min(least, need);
            kept = static_cast<std::uint8_t>(least);
        }
        return kept;
    }

    // Whether a window of this trimmed length that shares this many code
    // points with the pattern can score `bound` or less: for the threshold,
    // from the least shared count that each length needs, worked out once.
    [[gnu::always_inline]] bool may_pass(uint64_t length, uint64_t shared, uint64_t prefix, double bound)
    {
        const uint64_t p = pattern_.size();
        if (bound == threshold_ && need_shared_)
            return std::min({shared, length, p}) >= need_shared_->of(length, prefix);
        return !(detail::score_floor(metric_, kind_, length, p, shared, prefix) > bound);
    }

    // The prefix and postfix scores themselves, where the floor can be
    // exact at the price of a comparison: what a window of `length` code
    // points from `first` has in common with the pattern at its start or
    // at its end is all that these metrics measure.
    double affix_score(uint64_t first, uint64_t length) const noexcept
    {
        const uint64_t p = pattern_.size();
        const uint64_t common = detail::common_affix(text_.substr(first, length), pattern_, metric_ == Metric::postfix);
        return score_of(metric_, kind_, std::max(length, p) - common, length, p);
    }

    // Back to the start of the text, for another walk.
    void rewind()
    {
        shared_.rewind();
        hopeful_start_ = std::numeric_limits<uint64_t>::max();
        content_ = ContentStart<Char>(text_);
    }

    const std::vector<Window>& windows() const noexcept { return windows_; }
    uint64_t content_start(uint64_t start) noexcept { return content_.at(start); }

    // For the Jaro family: the least count of matched code points with
    // which a window of this trimmed length and common prefix can pass the
    // threshold (more than it can match where none can).
    uint64_t jaro_needs(uint64_t length, uint64_t prefix) { return need_shared_->of(length, std::min(prefix, length)); }

private:
    Units<Char> text_;
    const WindowShape& shape_;
    Metric metric_;
    ThresholdKind kind_;
    double threshold_;
    const std::u32string& pattern_;
    CommonCharacters shared_;
    ContentStart<Char> content_;
    std::vector<Window> windows_;
    std::optional<detail::SharedNeeded> need_shared_; // for the Jaro family
    std::optional<detail::JaroPattern> jaro_;         // for the Jaro family's reach and scores
    std::optional<detail::JaroReach<Char>> reach_;
    std::optional<HopefulStarts<Char>> hopeful_;
    // For the Jaro family, by common prefix (up to 4) and the trimmed
    // lengths of the shortest and the longest window of a start: the least
    // shared count with which one of its windows can pass the threshold.
    static constexpr std::uint8_t unknown = 0xFF;
    std::vector<std::uint8_t> range_need_;
    uint64_t windows_longest_ = 0;
    // The start that first_hopeful() last left, and its reach count.
    uint64_t hopeful_start_ = std::numeric_limits<uint64_t>::max(), hopeful_reachable_ = 0;
    uint64_t reach_tries_ = 0, reach_rules_out_ = 0; // how often the reach was asked, and ruled a start out
};

// One walk over ascending starts that scores, exactly, the windows whose
// floor does not exceed a bound: by one pass per start where the metric has
// one and every window passes, else by the comparator, window by window.
template <typename Char> class ExactScores {
public:
    ExactScores(Units<Char> text, const WindowShape& shape, Metric metric, FuzzyComparator& comparator,
                Cancellation& cancel)
        : text_(text), shape_(shape), metric_(metric), comparator_(comparator),
          every_window_passes_(every_window_passes(metric, comparator.threshold_kind(), comparator.threshold())),
          floors_(text, shape, metric, comparator.threshold_kind(), comparator.threshold(), comparator.pattern(),
                  cancel)
    {
        if (every_window_passes_ && scored_per_start(metric) && detail::BitParallelPattern::fits(comparator.pattern()))
            per_start_.emplace(text_, shape, metric, comparator);
        if (traits_of(metric).bound == BoundFamily::similarity && detail::JaroScorer::fits(comparator.pattern()))
            jaro_.emplace(comparator.pattern());
    }

    bool usable() const noexcept { return floors_.usable(); }

    // The smallest floor of the windows of `start`, where it is `bound` or
    // less (else some floor above it). Starts ascend from one call to the
    // next, until rewind(); the calls below are about the last start given.
    double floor_of(uint64_t start, double bound) { return floors_.of_start(start, bound); }

    // The first start from `start` on, before `stop`, whose floor at the
    // threshold may be within it, as far as cheap counts tell (`start`
    // where none are kept); the starts before it have no window that passes.
    uint64_t first_hopeful(uint64_t start, uint64_t stop) { return floors_.first_hopeful(start, stop); }

    void rewind()
    {
        floors_.rewind();
        if (per_start_) per_start_.emplace(text_, shape_, metric_, comparator_);
    }

    // Where the longest passing window of `start` ends, if any passes, and
    // the score of that window where it had to be scored to tell (else
    // infinity).
    std::optional<std::pair<uint64_t, double>> longest_passing(uint64_t start, Cancellation& cancel)
    {
        const auto& windows = floors_.windows();
        for (auto window = windows.rbegin(); window != windows.rend(); ++window) {
            if (!(window->floor <= comparator_.threshold())) continue;
            if (every_window_passes_) return std::pair{window->end, std::numeric_limits<double>::infinity()};
            const Comparison verdict = compare(start, window->end, cancel);
            if (verdict.accepted) return std::pair{window->end, verdict.score};
        }
        return std::nullopt;
    }

    // Scores the windows of `start` that can score `bound` or less, handing
    // each that passes to `add`.
    template <typename Add> void score(uint64_t start, double bound, Add&& add, Cancellation& cancel)
    {
        if (per_start_) {
            per_start_->score_start(start, false, add, cancel);
            return;
        }
        for (const typename WindowFloors<Char>::Window& window : floors_.windows()) {
            if (window.floor > bound) continue;
            const Comparison verdict = compare(start, window.end, cancel);
            if (verdict.accepted) add(Match{start, window.end, verdict.score});
        }
    }

private:
    Comparison compare(uint64_t start, uint64_t end, Cancellation& cancel)
    {
        const uint64_t a = std::min(floors_.content_start(start), end), b = trimmed_end(text_, a, end);
        cancel.poll(detail::comparison_cost(metric_, b - a, comparator_.pattern().size()));
        const Units<Char> candidate = text_.substr(a, b - a);
        if (jaro_) {
            // The Jaro pair worked out here, as the library works it out.
            const double distance = jaro_->distance(candidate, traits_of(metric_).prefix_weight);
            if (distance >= 0.0) return Comparison{distance <= comparator_.threshold(), distance};
        }
        return comparator_.compare(candidate);
    }

    Units<Char> text_;
    const WindowShape& shape_;
    Metric metric_;
    FuzzyComparator& comparator_;
    bool every_window_passes_;
    WindowFloors<Char> floors_;
    std::optional<PerStartScan<Char>> per_start_;
    std::optional<detail::JaroScorer> jaro_;
};

// Moves `start` on to the first start, within a piece of the text, that
// the floors of `scan` leave, polling for each start passed over at `work`
// a start; false once no start is left.
template <typename Scan>
[[gnu::always_inline]] inline bool skip_hopeless_starts(Scan& scan, uint64_t& start, uint64_t n, uint64_t work,
                                                        Cancellation& cancel)
{
    const uint64_t next = scan.first_hopeful(start, std::min(n, start + pass_piece));
    if (next == start) return true;
    cancel.poll(work * (next - start));
    start = next;
    return start < n;
}

// The Jaro family, with short windows (scans_jaro_starts()): every window
// of a start begins at the start's first content code point (a window of
// white space only trims to nothing and scores as the empty candidate),
// so the windows of one start are prefixes of one stretch, and one matching
// pass per reach scores them all, which costs less than the floors of one
// start. The starts that the cheap counts rule out have no window that
// passes; every window of the others is scored, so the solver sees every
// window that passes, with its score, in window order, whatever the
// strategies.
template <typename Char>
void scan_jaro_starts(Units<Char> text, const WindowShape& shape, Metric metric, FuzzyComparator& comparator,
                      CandidateSink& solver, Cancellation& cancel)
{
    const uint64_t n = text.size();
    const double threshold = comparator.threshold(), prefix_weight = traits_of(metric).prefix_weight;
    WindowFloors<Char> floors(text, shape, metric, comparator.threshold_kind(), threshold, comparator.pattern(),
                              cancel);
    const detail::JaroPattern jaro(comparator.pattern());
    const uint64_t per_start = static_cast<uint64_t>(shape.shrink + shape.longest + 1);
    const uint64_t skip_work = per_start * 4;
    constexpr std::size_t most = detail::WordPattern::most + 1;
    uint64_t ends[most], lengths[most], needs[most];
    double distances[most];
    for (uint64_t start = 0; start < n; ++start) {
        cancel.poll(skip_work);
        if (!skip_hopeless_starts(floors, start, n, skip_work, cancel)) break;
        const uint64_t first = floors.content_start(start);
        const uint64_t prefix = prefix_weight > 0.0 ? common_prefix(text.substr(first), comparator.pattern()) : 4;
        std::size_t count = 0;
        shape.for_each_end(start, n, [&](uint64_t end) {
            const uint64_t a = std::min(first, end);
            ends[count] = end;
            lengths[count] = trimmed_end(text, a, end) - a;
            needs[count] = floors.jaro_needs(lengths[count], prefix);
            ++count;
        });
        const uint64_t longest_length = lengths[count - 1];
        cancel.poll(detail::comparison_cost(metric, longest_length, comparator.pattern().size()) * 2);
        jaro.prefix_distances(text.substr(first, longest_length), lengths, needs, count, prefix_weight, distances);
        for (std::size_t k = 0; k < count; ++k) {
            const Comparison verdict = distances[k] >= 0.0 ? Comparison{distances[k] <= threshold, distances[k]}
                                                           : comparator.compare(text.substr(first, lengths[k]));
            if (verdict.accepted) solver.add(Match{start, ends[k], verdict.score});
        }
    }
}

// Whether scan_jaro_starts() serves: the Jaro family over a text of one
// byte per code point (where a code point's positions are one look-up),
// with a start of few windows, none past half a word. Beyond that (a long
// pattern, a high threshold, a text of other scripts), the passes of every
// reach, a step per code point of each, cost more than the floors that
// leave most windows unscored, or than counting what each window shares.
template <typename Char> bool scans_jaro_starts(Metric metric, const WindowShape& shape) noexcept
{
    constexpr int64_t most_windows = 16;
    constexpr uint64_t longest_window = 32;
    return sizeof(Char) == 1 && traits_of(metric).bound == BoundFamily::similarity &&
           shape.pattern_length + static_cast<uint64_t>(shape.longest) <= longest_window &&
           shape.shrink + shape.longest + 1 <= most_windows;
}

// When "best_match" comes first, a group's pick is among its windows of the
// lowest score, and a window whose floor exceeds a score already found in
// its group cannot be one of them. So a first walk finds the groups (each
// start's longest passing window is all that its extent needs), the start of
// each group's lowest floor and what was scored on the way; that start is
// then scored, and a second walk scores, group by group, only the windows
// whose floor does not exceed the group's lowest score so far. Every window
// of a group's lowest score is scored, so the solver, which sees them in
// window order after one window spanning the group (its extent, with a
// score that no window beats), picks as it would among all.
// False, with nothing added, where the floors cannot be formed.
template <typename Char>
bool find_best_windows(Units<Char> text, const WindowShape& shape, Metric metric, FuzzyComparator& comparator,
                       CandidateSink& solver, Cancellation& cancel)
{
    const uint64_t n = text.size();
    const uint64_t floor_work = static_cast<uint64_t>(shape.shrink + shape.longest + 1) * 4;
    detail::PickGroups found;
    ExactScores<Char> scan(text, shape, metric, comparator, cancel);
    if (!scan.usable()) return false;
    const double threshold = comparator.threshold();
    for (uint64_t start = 0; start < n; ++start) {
        cancel.poll(floor_work);
        if (!skip_hopeless_starts(scan, start, n, floor_work, cancel)) break;
        const double floor = scan.floor_of(start, threshold);
        if (!(floor <= threshold)) continue;
        const auto passing = scan.longest_passing(start, cancel);
        if (!passing) continue;
        found.add(start, passing->first, floor, passing->second, cancel);
    }
    // The floor of a start is that of its windows: the seed's start is what counts.
    scan.rewind();
    for (detail::PickGroup& group : found.groups()) {
        scan.floor_of(group.seed_start, std::numeric_limits<double>::infinity());
        scan.score(
            group.seed_start, group.best, [&](const Match& match) { group.best = std::min(group.best, match.score); },
            cancel);
    }
    scan.rewind();
    for (detail::PickGroup& group : found.groups()) {
        group.open(solver);
        for (uint64_t start = group.first; start <= group.end && start < n; ++start) {
            cancel.poll(floor_work);
            if (scan.floor_of(start, group.best) > group.best) continue;
            scan.score(
                start, group.best,
                [&](const Match& match) {
                    group.best = std::min(group.best, match.score);
                    solver.add(match);
                },
                cancel);
        }
    }
    return true;
}

// One pattern's windows over the folded text, to `solver`.
template <typename Char>
void search_pattern(Units<Char> text, std::u32string_view folded_pattern, const SearchOptions& options,
                    CandidateSink& solver, Cancellation& cancel)
{
    const uint64_t m = folded_pattern.size();
    if (m == 0 || text.empty()) return;
    const WindowShape shape = shape_of(m, options);
    FuzzyComparator comparator(std::u32string(trim_white_space(std::u32string_view(folded_pattern))), options.metric,
                               options.threshold, options.threshold_kind);
    // The first comparison is due now: an unknown metric fails here.
    const Metric chosen = comparator.metric();
    const std::u32string& trimmed_pattern = comparator.pattern();
    const bool best_first = solver.solves_whole_groups() && !options.strategies.empty() &&
                            options.strategies.front() == Strategy::best_match;
    if (!(options.threshold >= 0.0) && scored_per_start(chosen)) {
        // NaN or negative: no distance passes.
    } else if ((chosen == Metric::prefix || chosen == Metric::postfix || chosen == Metric::hamming) &&
               !trimmed_pattern.empty()) {
        scan_affixes_and_positions(text, shape, chosen, comparator, solver, cancel);
    } else if (scans_jaro_starts<Char>(chosen, shape) && detail::JaroPattern::fits(trimmed_pattern)) {
        scan_jaro_starts(text, shape, chosen, comparator, solver, cancel);
    } else if (best_first && !trimmed_pattern.empty() &&
               (every_window_passes(chosen, options.threshold_kind, options.threshold) || !scored_per_start(chosen) ||
                !detail::BitParallelPattern::fits(trimmed_pattern)) &&
               find_best_windows(text, shape, chosen, comparator, solver, cancel)) {
        // Only the windows that can be a group's pick were scored.
    } else if (scored_per_start(chosen) && !trimmed_pattern.empty() &&
               detail::BitParallelPattern::fits(trimmed_pattern)) {
        PerStartScan<Char>(text, shape, chosen, comparator).run(solver, cancel);
    } else {
        scan_with_comparator(text, shape, chosen, comparator, solver, cancel);
    }
}

// A short call: a text of at most 64 code points whose folding changes only
// ASCII units, a known metric and a trimmed pattern of one to 64 code
// points. Every window is scored, in order, by a scorer of one word: no
// heap beyond the result list. False, with nothing done, for another call.
template <typename Char>
bool short_fuzzy_raw(Units<Char> raw, std::u32string_view folded_pattern, const SearchOptions& options,
                     MatchList& matches, Cancellation& cancel)
{
    constexpr std::size_t most = detail::WordScorer::most_candidate;
    const std::u32string_view trimmed_pattern = trim_white_space(folded_pattern);
    if (raw.size() > most || !options.metric.known() || !detail::WordScorer::fits(trimmed_pattern)) return false;
    Char folded[most];
    if (!fold_ascii_units(raw, options.case_insensitive, options.special_char_insensitive, folded)) return false;
    const Units<Char> text(folded, raw.size());
    const uint64_t m = folded_pattern.size(), n = text.size();
    const WindowShape shape = shape_of(m, options);
    const detail::WordScorer scorer(trimmed_pattern, options.metric.resolve(), options.threshold_kind,
                                    options.threshold);
    ConflictSolver solver(text, options.strategies, &cancel);
    for (uint64_t start = 0; start < n; ++start)
        shape.for_each_end(start, n, [&](uint64_t end) {
            const Comparison verdict = scorer.compare_or_refuse(trim_white_space(text.substr(start, end - start)));
            if (verdict.accepted) solver.add(Match{start, end, verdict.score});
        });
    matches = solver.finish();
    return true;
}

template <typename Char>
MatchList fuzzy_raw_units(Units<Char> raw, std::u32string_view folded_pattern, const SearchOptions& options,
                          Cancellation& cancel, CandidateSink* sink = nullptr)
{
    if (MatchList matches; !sink && short_fuzzy_raw(raw, folded_pattern, options, matches, cancel)) return matches;
    const FoldedUnits<Char> folded =
        fold_units(raw, options.case_insensitive, options.special_char_insensitive, cancel);
    const Units<Char> text = folded.view();
    return detail::solve_or_hand_over(text, options, sink, cancel, [&](CandidateSink& solver) {
        search_pattern(text, folded_pattern, options, solver, cancel);
    });
}

// Many patterns over one text. Where a pattern's windows can only lie
// around an intact piece of it (an edit bound holds and its pieces are long
// enough), the pieces of all such patterns are found in one pass of one
// automaton, and each pattern is then scored only around its own pieces'
// occurrences, one pattern after the other. Patterns under an edit bound
// whose pieces would be too short, or turn out too common, are searched
// together, many to a word, in one pass for each bound, and each is scored
// around the ends found for it as they are found. Every other pattern is
// searched on its own. A pattern's tables are made only for its own pass.
template <typename Char>
void fuzzy_raw_many_units(Units<Char> raw, const std::vector<std::u32string>& folded_patterns,
                          const SearchOptions& options, const std::vector<CandidateSink*>& sinks, Cancellation& cancel)
{
    const FoldedUnits<Char> folded =
        fold_units(raw, options.case_insensitive, options.special_char_insensitive, cancel);
    const Units<Char> text = folded.view();
    const uint64_t n = text.size();
    struct Plan {
        Plan(std::size_t i, WindowShape window_shape, std::u32string trimmed, const SearchOptions& options)
            : pattern(i), shape(window_shape),
              comparator(std::move(trimmed), options.metric, options.threshold, options.threshold_kind)
        {
        }
        std::size_t pattern;
        WindowShape shape;
        FuzzyComparator comparator;
        std::optional<PerStartScan<Char>> scan; // made when its pass is due, and dropped after it
        uint64_t limit = 0;                     // the edits within which its windows can pass
        std::vector<Stretch> stretches;
        bool whole = false; // its pieces are too common: it is searched over the whole text
    };
    // Short patterns under one edit bound, searched together.
    struct ShortGroup {
        uint64_t limit;
        std::vector<std::u32string> patterns;
        std::vector<Plan*> plans;
    };
    std::vector<ShortGroup> short_groups;
    const auto join_short_group = [&](Plan& plan) {
        auto group = std::find_if(short_groups.begin(), short_groups.end(),
                                  [&](const ShortGroup& g) { return g.limit == plan.limit; });
        if (group == short_groups.end())
            group = short_groups.insert(short_groups.end(), ShortGroup{plan.limit, {}, {}});
        group->patterns.push_back(plan.comparator.pattern());
        group->plans.push_back(&plan);
    };
    std::deque<Plan> plans;
    std::vector<std::u32string> needles;
    std::vector<std::pair<Plan*, uint64_t>> owners; // per needle: its plan and its offset in the pattern
    for (std::size_t i = 0; i < folded_patterns.size(); ++i) {
        sinks[i]->see_text(UnitText::borrowed(text));
        const uint64_t m = folded_patterns[i].size();
        if (m == 0 || n == 0) continue;
        Plan& plan =
            plans.emplace_back(i, shape_of(m, options),
                               std::u32string(trim_white_space(std::u32string_view(folded_patterns[i]))), options);
        const Metric chosen = plan.comparator.metric(); // an unknown metric fails here
        const std::u32string& pattern = plan.comparator.pattern();
        std::basic_string<Char> units;
        if (options.threshold >= 0.0 && scored_per_start(chosen) && !pattern.empty() &&
            detail::BitParallelPattern::fits(pattern) && narrow_units(pattern, units)) {
            const uint64_t p = pattern.size();
            plan.limit = passing_limits(chosen, plan.shape, options.threshold_kind, options.threshold, p).levenshtein;
            if (plan.limit < p && for_each_piece(p, plan.limit, [&](uint64_t offset, uint64_t end) {
                    needles.push_back(pattern.substr(offset, end - offset));
                    owners.emplace_back(&plan, offset);
                }))
                continue;
            if (plan.limit < p && p <= 64) {
                join_short_group(plan);
                continue;
            }
        }
        search_pattern(text, folded_patterns[i], options, *sinks[i], cancel);
        plans.pop_back();
    }
    const LiteralSet<Char> pieces(needles);
    pieces.scan(text, cancel, [&](std::uint32_t id, std::size_t end) {
        Plan& plan = *owners[id].first;
        if (plan.whole) return;
        const uint64_t p = plan.comparator.pattern().size();
        if (plan.stretches.size() == most_stretches(n, p, plan.limit)) {
            plan.whole = true;
            plan.stretches = std::vector<Stretch>();
            return;
        }
        append_polled(plan.stretches, stretch_of(end - needles[id].size(), owners[id].second, p, plan.limit, n),
                      cancel);
    });
    for (Plan& plan : plans) {
        if (plan.whole && plan.comparator.pattern().size() <= 64) {
            // Pieces this common: searched with the short patterns.
            join_short_group(plan);
        } else if (plan.whole || !plan.stretches.empty()) {
            plan.scan.emplace(text, plan.shape, plan.comparator.metric(), plan.comparator);
            if (plan.whole) {
                plan.scan->run(*sinks[plan.pattern], cancel);
            } else {
                std::sort(plan.stretches.begin(), plan.stretches.end());
                plan.scan->run_over(plan.stretches, *sinks[plan.pattern], cancel);
                plan.stretches = std::vector<Stretch>();
            }
            plan.scan.reset(); // its tables, before the next pattern's pass
        }
    }
    for (ShortGroup& group : short_groups) {
        for (Plan* plan : group.plans)
            plan->scan.emplace(text, plan->shape, plan->comparator.metric(), plan->comparator);
        // The starts near each end are scored as the end is found: a short
        // pattern keeps no list of what the pass found for it.
        std::vector<StartsNear<Char>> near;
        near.reserve(group.plans.size());
        for (Plan* plan : group.plans)
            near.emplace_back(text, plan->shape);
        const auto scorer = [&](std::size_t k) {
            return [&, k](uint64_t start) {
                Plan& plan = *group.plans[k];
                plan.scan->score_start(
                    start, false, [&](const Match& match) { sinks[plan.pattern]->add(match); }, cancel);
            };
        };
        detail::PackedPatterns(group.patterns, group.limit).scan(text, cancel, [&](std::uint32_t k, uint64_t end) {
            near[k].add(end, scorer(k));
        });
        for (std::size_t k = 0; k < group.plans.size(); ++k) {
            near[k].finish(scorer(k));
            group.plans[k]->scan.reset();
        }
    }
}

} // namespace

void find_many_fuzzy_raw_candidates(const UnitText& text, const std::vector<std::u32string>& folded_patterns,
                                    const SearchOptions& options, const std::vector<CandidateSink*>& sinks,
                                    Cancellation& cancel)
{
    text.visit([&](auto units) { fuzzy_raw_many_units(units, folded_patterns, options, sinks, cancel); });
}

std::vector<std::u32string> literal_pieces(SearchMode mode, const std::u32string& folded_pattern,
                                           const SearchOptions& options)
{
    const std::u32string trimmed(trim_white_space(std::u32string_view(folded_pattern)));
    if (trimmed.empty() || (mode != SearchMode::exact_raw && mode != SearchMode::fuzzy_raw)) return {};
    if (mode == SearchMode::exact_raw) return {trimmed};
    if (!options.metric.known() || !(options.threshold >= 0.0)) return {};
    const Metric metric = options.metric.resolve();
    if (!scored_per_start(metric) || !detail::BitParallelPattern::fits(trimmed)) return {};
    const uint64_t m = folded_pattern.size(), p = trimmed.size();
    const WindowShape shape = shape_of(m, options);
    const uint64_t edits = passing_limits(metric, shape, options.threshold_kind, options.threshold, p).levenshtein;
    const uint64_t count = edits + 1;
    if (edits >= p || (count > 1 && p / count < shortest_piece)) return {};
    std::vector<std::u32string> pieces;
    for (uint64_t index = 0; index < count; ++index) {
        const auto [offset, end] = piece_bounds(p, count, index);
        pieces.push_back(trimmed.substr(offset, end - offset));
    }
    return pieces;
}

std::uint64_t longest_raw_window(SearchMode mode, std::uint64_t pattern_length, const SearchOptions& options)
{
    if (mode != SearchMode::fuzzy_raw) return pattern_length;
    const WindowShape shape = shape_of(pattern_length, options);
    return pattern_length + static_cast<std::uint64_t>(shape.longest);
}

void find_fuzzy_raw_candidates(const UnitText& text, const std::u32string& folded_pattern, const SearchOptions& options,
                               CandidateSink& sink, Cancellation& cancel)
{
    text.visit([&](auto units) { fuzzy_raw_units(units, folded_pattern, options, cancel, &sink); });
}

MatchList fuzzy_raw_extract(TextInput s, TextInput pattern, const SearchOptions& options, Cancellation cancel)
{
    const UnitText text = std::move(s).units(cancel);
    const CodePoints folded_pattern =
        fold_pattern(std::move(pattern), options.case_insensitive, options.special_char_insensitive, cancel);
    return text.visit([&](auto units) { return fuzzy_raw_units(units, folded_pattern, options, cancel); });
}

} // namespace tessarin

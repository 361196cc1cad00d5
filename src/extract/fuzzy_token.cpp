// Fuzzy token extraction: the token windows of exact token extraction,
// each trimmed and scored against the trimmed pattern.
//
// Neighbouring windows share all their tokens but one at each end, so what
// bounds a window's score is kept up to date as the window slides instead
// of being worked out afresh: the code points it shares with the pattern,
// and, for the metrics scored by dynamic programming, the least distance of
// the pattern from any stretch of the text that ends where the window ends,
// from one pass over the text. Only the windows that these floors leave are
// scored.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "comparator/bit_parallel.hpp"
#include "comparator/bounds.hpp"
#include "comparator/damerau.hpp"
#include "comparator/fuzzy.hpp"
#include "comparator/jaro_matching.hpp"
#include "comparator/word.hpp"
#include "conflict_solver/mod.hpp"
#include "extract/extract.hpp"
#include "extract/reachable.hpp"
#include "iterator/tokens.hpp"

namespace tessarin {
namespace {

using std::uint64_t;
constexpr double infinite_score = std::numeric_limits<double>::infinity();
// How many windows of its groups best_match's first walk keeps for scoring
// them without a second walk (some 3 MiB): a group beyond that is walked
// again, so that memory does not grow with the text.
constexpr std::size_t most_members = std::size_t{1} << 16;
// For the Jaro pair, the most windows a group keeps: a longer one is walked
// again.
constexpr std::size_t most_jaro_members = 16;

// Whether a trimmed window's code points are the pattern's: under Indel,
// LCSseq and Damerau-Levenshtein, the only window that scores 0.
template <typename Char> bool is_pattern(Units<Char> window, std::u32string_view pattern) noexcept
{
    if (window.size() != pattern.size()) return false;
    for (std::size_t i = 0; i < window.size(); ++i)
        if (code_point(window[i]) != pattern[i]) return false;
    return true;
}

// A token window: its span, as reported, and the span of its trimmed text
// (empty, at the window's end, when it holds white space only). Both ends
// of both spans ascend from one window to the next.
struct WindowSpan {
    uint64_t start, end;
    uint64_t first, last;
};

// Inlined where it is called: returned through memory, the span would be
// read back before its stores settle, once per window.
template <typename Char>
[[gnu::always_inline]] inline WindowSpan span_of(Units<Char> text, uint64_t start, uint64_t end, bool trims) noexcept
{
    // Laid out as the path taken where a text of one-byte units holds no
    // white space but the separator, as most do; a wider text always trims.
    if (sizeof(Char) == 1 ? __builtin_expect(!trims, 1) : !trims) return WindowSpan{start, end, start, end};
    // Most code points are printable ASCII, which no trimming drops, and are
    // told apart without a call.
    const auto white = [](Char unit) {
        const char32_t c = code_point(unit);
        return !(c > 0x20 && c < 0x7F) && is_white_space(c);
    };
    uint64_t first = start, last = end;
    while (first < last && white(text[first]))
        ++first;
    while (last > first && white(text[last - 1]))
        --last;
    return WindowSpan{start, end, first, last};
}

// The token windows of a text, walked from a given window on. Windows are
// spans of the text: no string per window. At a separator of one code point
// the text is cut as it is walked, a batch of tokens at a time; at another,
// once.
template <typename Char> class TokenWindows {
public:
    TokenWindows(Units<Char> text, std::u32string_view separator, uint64_t size, Cancellation& cancel)
        : text_(text), size_(size), cancel_(cancel)
    {
        if (!narrow_units(separator, separator_)) {
            // The separator occurs nowhere in such a text: the text, if any,
            // is one token.
            kind_ = Kind::whole;
        } else if (separator_.size() == 1) {
            // One code point separates: tokens are the runs between its copies.
            kind_ = Kind::single;
            // Known at a glance for a text of one-byte units, whose tokens
            // are short where it matters; in a wider text a look at each
            // window's edges costs less than at every unit.
            if constexpr (sizeof(Char) == 1) trims_ = holds_other_white_space(text, separator_[0], cancel);
        } else {
            kind_ = Kind::listed;
            tokenizer_.emplace(text, Units<Char>(separator_), size, &cancel);
        }
    }

    // Whether a window may begin or end with white space, to be trimmed.
    bool trims() const noexcept { return trims_; }
    uint64_t size() const noexcept { return size_; } // tokens a window

    // Calls visit(start, end) for the windows whose first token starts at
    // `from` (a window's start) or later, in order, until visit returns false.
    // Polls for each window visited as much as its length and one more,
    // which the visit then need not.
    // Without `polls`, the visit polls instead.
    template <bool polls = true, typename Visit> [[gnu::always_inline]] void walk(uint64_t from, Visit&& visit)
    {
        walk_with<polls>(spans_, from, visit);
    }

    // The same, for a look ahead from within a walk: the tokens it cuts are
    // kept apart from the walk's own. The windows are not polled for.
    template <typename Visit> void walk_ahead(uint64_t from, Visit&& visit)
    {
        walk_with<false>(ahead_spans_, from, visit);
    }

private:
    // Inlined where it is called, with the visit: left apart, the first walk
    // of every metric reads what it keeps from memory at each window.
    template <bool polls_windows, typename Visit>
    [[gnu::always_inline]] void walk_with(TokenSpans& spans, uint64_t from, Visit&& visit)
    {
        switch (kind_) {
        case Kind::whole:
            if (size_ == 1 && !text_.empty() && from == 0) {
                if constexpr (polls_windows) cancel_.poll(text_.size() + 1);
                visit(uint64_t{0}, uint64_t{text_.size()});
            }
            break;
        case Kind::single:
            for_each_single_separator_window<polls_windows>(text_, separator_[0], size_, cancel_, spans, visit,
                                                            from);
            break;
        case Kind::listed: {
            if (size_ == 0) tokenizer_->next(); // a window of no tokens: fails
            const std::vector<Token>& tokens = tokenizer_->tokens();
            auto first = std::lower_bound(tokens.begin(), tokens.end(), from,
                                          [](const Token& token, uint64_t at) { return token.start < at; });
            const Token* token = tokens.data();
            const std::size_t count = tokens.size(), last = size_ - 1;
            for (auto index = static_cast<std::size_t>(first - tokens.begin()); index + last < count; ++index) {
                if constexpr (polls_windows) cancel_.poll(token[index + last].end - token[index].start + 1);
                if (!visit(token[index].start, token[index + last].end)) break;
            }
            break;
        }
        }
    }

    enum class Kind { whole, single, listed };

    Units<Char> text_;
    uint64_t size_;
    Cancellation& cancel_;
    std::basic_string<Char> separator_;
    Kind kind_ = Kind::whole;
    bool trims_ = true;
    TokenSpans spans_, ahead_spans_; // for a single separator
    std::optional<Tokenizer<Char>> tokenizer_;
};

// An allocator whose vectors leave the items that they grow by
// uninitialised, for items that are written before they are read: the
// room for a sweep's windows, which it fills as far as it gathers them.
template <typename T> struct UninitialisedAllocator : std::allocator<T> {
    template <typename U> struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <typename U> UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
    template <typename U> void construct(U* at) noexcept { ::new (static_cast<void*>(at)) U; }
    template <typename U, typename... Args> void construct(U* at, Args&&... args)
    {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

// Records kept in order, appended a field at a time where they are kept:
// a record built whole and then copied in is read back in wide words
// across the narrow stores that built it, which the processor cannot
// forward to a wide load (it waits, once per record). For records that
// are trivially copied, and written whole before they are read.
template <typename T> class AppendedRecords {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "records are moved as bytes and never destroyed");

public:
    // Room for one more record, at the end, for the caller to write. The
    // first record takes room for a few, and room grows by doubling: a
    // call whose windows never wait takes none.
    [[gnu::always_inline]] T& append()
    {
        if (__builtin_expect(end_ == room_end_, 0)) grow(end_ == items_.get() ? first_room : 2 * size());
        return *end_++;
    }
    void clear() noexcept { end_ = items_.get(); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(end_ - items_.get()); }
    std::reverse_iterator<T*> rbegin() noexcept { return std::reverse_iterator<T*>(end_); }
    std::reverse_iterator<T*> rend() noexcept { return std::reverse_iterator<T*>(items_.get()); }

private:
    [[gnu::noinline]] void grow(std::size_t room)
    {
        const std::size_t kept = size();
        std::unique_ptr<T[]> fresh(new T[room]);
        std::copy(items_.get(), end_, fresh.get());
        items_ = std::move(fresh);
        end_ = items_.get() + kept;
        room_end_ = items_.get() + room;
    }

    std::unique_ptr<T[]> items_;
    T* end_ = nullptr;
    T* room_end_ = nullptr;
};

// The code points that token windows share with the pattern, counted as
// they slide (detail::SlidingShared), set up only where the judge asks for
// them: setting the count up costs a few thousand instructions, about what
// a short call spends in all on a metric that never reads it.
template <typename Char> class SharedCount {
public:
    void count(std::u32string_view pattern) { count_.emplace(pattern); }
    bool counts() const noexcept { return count_.has_value(); }

    bool count_in_bytes() noexcept { return count_->count_in_bytes(); }
    std::size_t vectors() const noexcept { return count_->vectors(); }
    void reset() noexcept
    {
        if (count_) count_->reset();
    }
    [[gnu::always_inline]] uint64_t of(Units<Char> text, uint64_t first, uint64_t last) noexcept
    {
        return count_->of(text, first, last);
    }
    template <std::size_t vectors>
    [[gnu::always_inline]] uint64_t of_in(Units<Char> text, uint64_t first, uint64_t last) noexcept
    {
        return count_->template of_in<vectors>(text, first, last);
    }

private:
    std::optional<detail::SlidingShared<Char>> count_;
};

// What is known of a window's score before it is scored: a value that it
// cannot fall below, one that it cannot exceed, and whether the floor is
// the score itself.
struct Judgement {
    double floor;
    double ceiling;
    bool exact;

    // A floor above any bound: the window was ruled out.
    static Judgement ruled_out() noexcept { return Judgement{infinite_score, infinite_score, false}; }
    static Judgement at_least(double floor) noexcept { return Judgement{floor, infinite_score, false}; }
    static Judgement score(double score) noexcept { return Judgement{score, score, true}; }
};

// Judges windows that come in order from what is cheaper than their
// scores: their trimmed length; the code points they share with the
// pattern (and, for Jaro-Winkler, their common prefix); for Levenshtein and
// optimal string alignment, the least distance of the pattern from a
// stretch ending where the window's text ends, from a search that reads
// each code point once; for the metrics of the longest common subsequence
// (Indel, LCSseq, and Damerau-Levenshtein, which it bounds), that
// subsequence for the text from a window's start on, which bounds every
// later window's, read on until it no longer rules a window out and then
// started afresh at that window, where it is exact; for the prefix and
// postfix metrics, the score itself.
template <typename Char> class WindowFloors {
public:
    WindowFloors(Units<Char> text, FuzzyComparator& comparator, Metric metric, Cancellation& cancel)
        : text_(text), cancel_(cancel), comparator_(comparator), pattern_(comparator.pattern()), metric_(metric),
          kind_(comparator.threshold_kind()), threshold_(comparator.threshold()), p_(pattern_.size())
    {
        // Most windows are no longer than this; what a length allows is
        // worked out when a window of it first comes.
        const std::size_t lengths = std::min<uint64_t>(4 * p_ + 256, text.size() + 1);
        if (traits_of(metric).bound == BoundFamily::similarity) {
            shared_.count(pattern_);
            need_shared_.emplace(metric, kind_, threshold_, p_);
            matched_enough_.emplace(threshold_, p_);
            jaro_floor_.emplace(metric, p_);
            winkler_ = traits_of(metric).prefix_weight > 0.0;
            only_pattern_passes_ = threshold_ == 0.0 && p_ > 0;
            if (detail::JaroScorer::fits(pattern_)) jaro_.emplace(pattern_);
            // The matching asks only which pattern positions hold a code
            // point: it asks the same of the code points' indices among
            // the pattern's distinct ones, each below 128 for a pattern of
            // one or two words, which it looks up directly where it would
            // probe a hash for a code point beyond Latin-1 at every window
            // that read it.
            indexes_text_ = sizeof(Char) > 1 && jaro_ && p_ <= detail::WidePattern::most;
            counts_settle_ = jaro_ && matched_enough_->settles_any();
            if (counts_settle_ && detail::JaroBlockCounts::serves(pattern_))
                block_counts_ = std::make_unique<detail::JaroBlockCounts>(pattern_);
            // Every window is counted here: in one vector of 8-bit lanes
            // where the pattern's distinct code points fit, as its windows,
            // about as long as it is, seldom reach 256 code points.
            if (p_ <= detail::WordPattern::most) shared_.count_in_bytes();
            // A short pattern's windows come in short groups, few of whose
            // windows that pass the shared count go unscored: scored in
            // the first walk, the windows that fail are left there, none
            // taken into a group's bookkeeping to be scored later. Counted
            // in a vector of lanes or one of bytes, where the walk is
            // compiled for it.
            const std::size_t vectors = shared_.vectors();
            scores_in_walk_ = jaro_ && jaro_->scores_one_word() && p_ <= 32 &&
                              (vectors == 1 || vectors == detail::SlidingShared<Char>::byte_vector);
            for (uint64_t prefix = 0; prefix <= 4; ++prefix)
                least_similarity_[prefix] =
                    detail::least_jaro_similarity(threshold_, traits_of(metric).prefix_weight, prefix);
        } else {
            rule_lengths_ = lengths; // the table grows as lengths are asked about
        }
        rule_table_ = rules_.data();
        rule_count_ = rules_.size();
        const bool searched = metric == Metric::levenshtein || metric == Metric::osa;
        const bool subsequence =
            metric == Metric::indel || metric == Metric::lcs_seq || metric == Metric::damerau_levenshtein;
        if ((searched || subsequence) && !pattern_.empty() && detail::BitParallelPattern::fits(pattern_)) {
            bit_parallel_.emplace(pattern_);
            if (searched) {
                search_.emplace(*bit_parallel_, metric == Metric::osa);
                exact_.emplace(*bit_parallel_, metric == Metric::osa);
                if (detail::SideBySideDistances::serves(*bit_parallel_))
                    side_by_side_.emplace(*bit_parallel_, metric == Metric::osa);
                mark_reachable(cancel);
            }
            if (subsequence) {
                // The common subsequence is read over long stretches, many
                // times over: its look-ups are fitted to the text.
                bit_parallel_->fit_to(pattern_, text_);
                common_.emplace(*bit_parallel_);
            }
            if ((metric == Metric::indel || metric == Metric::lcs_seq) &&
                detail::CommonSubsequenceLanes::serves(*bit_parallel_))
                common_lanes_.emplace(*bit_parallel_);
            // Where a window of the pattern's length passes with up to a
            // third of its code points changed: windows of other words seldom
            // have that many in common with it. Beyond that, the count only
            // costs, and the gaps it leaves in the passes are read again. The
            // common subsequence bounds Indel and LCSseq as tightly for about
            // as much.
            shared_rules_out_ = !(metric == Metric::indel || metric == Metric::lcs_seq) &&
                                3 * largest_distance(p_, threshold_) <= static_cast<int64_t>(p_);
            if (metric == Metric::damerau_levenshtein) damerau_.emplace(pattern_);
            // Lanes read the text for the search where it is asked about
            // most windows: from the start where the shared count is not
            // taken, else once many windows get past the count (see
            // judge_as()).
            if (search_ && !reachable_known_) {
                // Windows longer than this are ruled out by their length
                // before the search is asked about them.
                const uint64_t reach = std::min<uint64_t>(
                    detail::longest_passing_length(metric_, kind_, threshold_, p_), text_.size());
                if (detail::SearchLanes::serves(*bit_parallel_, reach)) {
                    lanes_.emplace(*bit_parallel_, metric == Metric::osa, reach);
                    if (!shared_rules_out_) keep_end_values();
                }
            }
        }
        if (metric == Metric::prefix || metric == Metric::postfix)
            family_ = Family::affix;
        else if (traits_of(metric).bound == BoundFamily::similarity)
            family_ = Family::similarity;
        else if (metric == Metric::hamming)
            family_ = Family::hamming;
        else if (search_)
            family_ = Family::searched;
        else if (common_lanes_)
            family_ = Family::laned;
        else if (common_)
            family_ = Family::subsequence;
        settles_alone_ = metric == Metric::indel || metric == Metric::lcs_seq;
        unequal_lengths_score_one_ = metric == Metric::hamming && kind_ == ThresholdKind::Normalized;
        // Where every window passes, the first walk floors each window
        // roughly, from the count too.
        if (!shared_.counts() &&
            (shared_rules_out_ || family_ == Family::shared || detail::every_window_passes(metric, kind_, threshold_)))
            shared_.count(pattern_);
    }

    // How windows are judged before they are scored, by what the metric
    // is and which passes were set up for it: fixed for a call, so that the
    // first walk is compiled for each and asks no question of the metric per
    // window.
    enum class Family {
        affix,       // prefix and postfix: the score itself
        similarity,  // the Jaro pair
        hamming,     // equal lengths counted, other lengths scored at once
        searched,    // Levenshtein and optimal string alignment, by the search
        subsequence, // Indel, LCSseq and Damerau-Levenshtein, by the common subsequence
        crowded,     // Indel and LCSseq of a long pattern: the same, or by lengths alone where windows crowd
        swept,       // LCSseq, by the common subsequence or, where windows crowd, by sweeps
        laned,       // Indel and LCSseq, by the common subsequence, from lanes in the first walk
        shared,      // from the length and the shared code points alone
    };
    Family family() const noexcept { return family_; }

    // How the shared count keeps its counts (SlidingShared::vectors()),
    // for a walk compiled for it; `any_vectors` for a walk that is not.
    static constexpr std::size_t any_vectors = ~std::size_t{0};
    std::size_t shared_vectors() const noexcept { return shared_.vectors(); }

    // Whether the first walk of the Jaro pair scores the windows that the
    // shared count leaves, with judge_as<..., scores = true>.
    bool scores_in_walk() const noexcept { return scores_in_walk_; }

    // What the cheap facts tell of the window that starts at `start` and
    // whose trimmed text is [first, last). Once they put the floor above
    // `bound` nothing more is worked out, and the window is ruled out.
    Judgement judge(uint64_t start, uint64_t first, uint64_t last, double bound)
    {
        switch (family_) {
        case Family::affix: return judge_as<Family::affix>(start, first, last, bound);
        case Family::similarity: return judge_as<Family::similarity>(start, first, last, bound);
        case Family::hamming: return judge_as<Family::hamming>(start, first, last, bound);
        case Family::searched: return judge_as<Family::searched>(start, first, last, bound);
        case Family::subsequence: return judge_as<Family::subsequence>(start, first, last, bound);
        case Family::crowded: return judge_as<Family::crowded>(start, first, last, bound);
        case Family::swept: return judge_as<Family::swept>(start, first, last, bound);
        case Family::laned: return judge_as<Family::laned>(start, first, last, bound);
        case Family::shared: break;
        }
        return judge_as<Family::shared>(start, first, last, bound);
    }

    // judge() for a family known where it is called (and a bound known to
    // be the threshold, where `at_threshold` says so).
    // For the Jaro pair, `vectors` may give shared_vectors(), and `scores`
    // scores_in_walk() at the threshold.
    template <Family family, bool at_threshold = false, std::size_t vectors = any_vectors, bool scores = false>
    [[gnu::always_inline]] Judgement judge_as(uint64_t start, uint64_t first, uint64_t last, double bound)
    {
        const uint64_t length = last - first;
        if constexpr (family == Family::affix) {
            // What the window has in common with the pattern at its start
            // or its end is all that these measure: the score itself.
            const uint64_t distance = std::max(length, p_) - detail::common_affix(text_.substr(first, length), pattern_,
                                                                                  metric_ == Metric::postfix);
            return Judgement::score(score_of(metric_, kind_, distance, length, p_));
        } else if constexpr (family == Family::similarity) {
            return judge_jaro<at_threshold, vectors, scores>(start, first, last, bound);
        } else {
            // Normalized, a window of another length than the pattern's is a
            // Hamming distance of 1 (every code point differs): below that,
            // ruled out without a lookup.
            if constexpr (family == Family::hamming)
                if (length != p_ && unequal_lengths_score_one_ && !(1.0 <= bound)) return Judgement::ruled_out();
            // Most windows are ruled out here, by a lookup and a compare or
            // two: what a window of this length needs to pass.
            const LengthRule rule = rule_of<at_threshold>(length, bound);
            if (rule.least_shared == impossible) return Judgement::ruled_out(); // too long or too short
            if constexpr (family == Family::hamming) {
                // Unequal lengths score as if every code point differed (in
                // bytes, when absolute: as many at least); equal ones are
                // counted here, which costs less than asking the library.
                if (length != p_) {
                    const uint64_t least = std::max(length, p_);
                    if (static_cast<int64_t>(least) > rule.allowed) return Judgement::ruled_out();
                    const double floor = score_of(metric_, kind_, least, length, p_);
                    return kind_ == ThresholdKind::Normalized ? Judgement::score(floor) : Judgement::at_least(floor);
                }
                const Units<Char> candidate = text_.substr(first, length);
                uint64_t differ = 0;
                for (uint64_t i = 0; i < length && static_cast<int64_t>(differ) <= rule.allowed; ++i)
                    differ += code_point(candidate[i]) != pattern_[i];
                if (static_cast<int64_t>(differ) > rule.allowed) return Judgement::ruled_out();
                return Judgement::score(score_of(metric_, kind_, differ, length, p_));
            } else if constexpr (family == Family::searched) {
                // Where lanes read the text, by the value kept at its end.
                if (ends_valued_ && static_cast<int64_t>(lanes_->kept_value(last)) > rule.allowed)
                    return Judgement::ruled_out();
                // Within its distance only if the search marked its end.
                if (reachable_known_ && !((reachable_[last >> 6] >> (last & 63)) & 1)) return Judgement::ruled_out();
                if (shared_rules_out_) {
                    ++windows_counted_;
                    if (lacks_too_much(first, last, rule.least_shared)) return Judgement::ruled_out();
                    if (lanes_) gave_up_count(last);
                }
                // Levenshtein is a metric: the window is at least as far as the
                // last window measured less the edits that turn one into the
                // other (dropping what lies before this one, adding what follows).
                if (metric_ == Metric::levenshtein && last_measured_.distance > 0) {
                    const uint64_t moved = (first - last_measured_.first) + (last - last_measured_.last);
                    if (last_measured_.distance > moved &&
                        static_cast<int64_t>(last_measured_.distance - moved) > rule.allowed)
                        return Judgement::ruled_out();
                }
                const uint64_t apart = length > p_ ? length - p_ : p_ - length;
                const uint64_t least = std::max<uint64_t>(reachable_known_ ? 0 : searched_distance(first, last), apart);
                if (static_cast<int64_t>(least) > rule.allowed) return Judgement::ruled_out();
                return Judgement::at_least(score_of(metric_, kind_, least, length, p_));
            } else if constexpr (family == Family::subsequence || family == Family::crowded ||
                                 family == Family::swept || family == Family::laned) {
                constexpr bool sweeps = family == Family::swept;
                if (shared_rules_out_ && lacks_too_much(first, last, rule.least_shared)) return Judgement::ruled_out();
                Known known = Known::bound;
                uint64_t common;
                if constexpr (family == Family::crowded && at_threshold) {
                    // Where many windows measured lately passed, windows
                    // crowd close to the pattern, the pass read on from
                    // the last one measured rules out next to none of
                    // those that follow, and a group's are told by a
                    // measure anyway: they are bounded by their lengths
                    // alone, for nothing (see tally_measure()).
                    if (__builtin_expect(unread_ == 0, 1)) {
                        common = subsequence_common<false>(start, first, last, known);
                    } else {
                        --unread_;
                        // A length that a window may have leaves it no more
                        // to keep than the shorter of it and the pattern: it
                        // comes within reach, and where it overlaps the last
                        // window that did, it is not measured either, and
                        // its floor is its length's.
                        if (first < last_within_) {
                            last_within_ = last;
                            return Judgement::at_least(length_floor(length));
                        }
                        common = std::min(length, p_);
                    }
                } else if (family != Family::laned || !lane_common(first, last, common, known)) {
                    common = subsequence_common<sweeps>(start, first, last, known);
                }
                // The window keeps no more of the pattern than that: ruled out
                // where the distance that follows lies past what its length
                // allows (the fewest code points that it must share, as many
                // as it must keep in order here), before the distance is
                // worked out.
                bool within = common >= rule.least_shared;
                // How many windows came within reach lately, out of 256.
                if constexpr (sweeps) within_reach_ = within_reach_ - (within_reach_ >> 4) + (within ? 16 : 0);
                if constexpr (family == Family::subsequence || family == Family::crowded) {
                    // A window that comes within reach apart from the last
                    // one that did is most likely scored: it is measured
                    // now, from its own start, for less than a comparison
                    // later, and the pass begun there bounds the windows
                    // that follow closer. Where windows come within reach
                    // one after another, few of them are scored (a group's
                    // extent needs its furthest-reaching window only), and
                    // reading each one again would cost more than it saves.
                    if (within && known == Known::bound && settles_alone_) {
                        const bool apart = first >= last_within_;
                        last_within_ = last;
                        if (apart) {
                            common = settle_common(first, last);
                            known = Known::own_pass;
                            within = common >= rule.least_shared;
                            if constexpr (family == Family::crowded) tally_measure(within);
                        }
                    }
                }
                if (!within) return Judgement::ruled_out();
                const uint64_t least = distance_of_common(common, length);
                const double floor = score_of(metric_, kind_, least, length, p_);
                // From the window's own start, or swept, the subsequence is
                // the window's.
                if (known != Known::bound && metric_ != Metric::damerau_levenshtein) return Judgement::score(floor);
                return Judgement::at_least(floor);
            } else {
                const uint64_t shared = shared_.of(text_, first, last);
                const uint64_t least = std::max(length, p_) - std::min({shared, length, p_});
                if (static_cast<int64_t>(least) > rule.allowed) return Judgement::ruled_out();
                return Judgement::at_least(score_of(metric_, kind_, least, length, p_));
            }
        }
    }

    // Whether the window whose trimmed text is [first, last) passes the
    // threshold, with its score, or, for one that passes, a score it cannot
    // exceed (Damerau-Levenshtein's optimal string alignment distance);
    // `exact` tells which.
    Comparison decide(uint64_t start, uint64_t first, uint64_t last, bool& exact)
    {
        exact = true;
        return measure(start, first, last, &exact, threshold_);
    }

    // Whether decide_together() measures windows side by side.
    bool decides_together() const noexcept { return side_by_side_.has_value(); }

    // decide() for `count` (two to four) windows whose trimmed texts are
    // [firsts[k], lasts[k]), at once, into `verdicts`: each window's own
    // distance, exact. False, with nothing decided, where they cannot be
    // measured together.
    bool decide_together(const std::size_t* firsts, const std::size_t* lasts, std::size_t count,
                         Comparison* verdicts)
    {
        std::uint32_t distances[detail::SearchLanes::lanes];
        if (!side_by_side_ || !side_by_side_->measure(text_, firsts, lasts, count, distances)) return false;
        for (std::size_t k = 0; k < count; ++k) {
            const double score = score_of(metric_, kind_, distances[k], lasts[k] - firsts[k], p_);
            verdicts[k] = Comparison{score <= threshold_, score};
        }
        last_measured_ = Measured{firsts[count - 1], lasts[count - 1], distances[count - 1]};
        return true;
    }

    // The score of the window whose trimmed text is [first, last): worked
    // out here where that costs less than the comparator (the edit metrics
    // from one pass from the window's start, the Jaro pair), else by the
    // comparator. A window that scores above `bound` may be given any score
    // above it (where that spares work: Damerau-Levenshtein's).
    Comparison score(uint64_t start, uint64_t first, uint64_t last, double bound)
    {
        return measure(start, first, last, nullptr, bound);
    }

    // Fits the passes to the windows walked. Lanes begun at later windows'
    // starts pay where windows lie a few code points apart, the pattern's
    // tokens 16 code points or fewer on average: where they lie further (a
    // few long tokens, as in text without spaces between words), a lane
    // serves a window or two, and four read the text side by side for what
    // one pass read on would tell.
    //
    // Lets LCSseq measure the windows that follow a window in one sweep
    // where most windows come within reach (see sweep()), for a pattern long
    // enough that a sweep saves more than it costs over its windows. (Indel
    // counts the subsequence twice, so the pass read on from an earlier
    // window rules out most windows by itself.)
    void fit_to(TokenWindows<Char>& windows, bool trims)
    {
        if (family_ == Family::laned && p_ > 16 * windows.size()) {
            family_ = Family::subsequence;
            common_lanes_.reset();
        }
        if (family_ == Family::subsequence && metric_ == Metric::lcs_seq && p_ >= 32 && bit_parallel_->sweeps()) {
            ahead_ = &windows;
            trims_ = trims;
            family_ = Family::swept;
        }
        // Lets Indel (and LCSseq where it does not sweep) bound windows by
        // their lengths alone where they crowd close to the pattern (see
        // tally_measure()): only where windows are long enough that a pass
        // over one costs more than the walk's other work on a few dozen. A
        // short pattern's seldom crowd, and its windows are read for little.
        if (family_ == Family::subsequence && settles_alone_ && p_ >= 32) family_ = Family::crowded;
    }

    // A floor from the trimmed length and the shared code points alone (and,
    // for Jaro-Winkler, the common prefix): cheap, for windows that pass
    // anyway, to tell where a group's lowest score may lie.
    double rough(uint64_t first, uint64_t last)
    {
        const uint64_t length = last - first;
        const uint64_t prefix =
            traits_of(metric_).prefix_weight > 0.0 ? detail::common_prefix(text_.substr(first, length), pattern_) : 4;
        return detail::score_floor(metric_, kind_, length, p_, shared_.of(text_, first, last), prefix);
    }

    // Lets the first walk of the Jaro pair at the threshold judge a window
    // that starts by `end` at `floor` without working its floor out, where
    // its length and shared count show that its floor is no lower; infinite
    // `floor`, for none. Where a group keeps its members of the lowest
    // floors and `floor` is the lowest of those it left out, such a window
    // changes neither its members nor its seed, as with its own floor: most
    // windows of a long group, where nearly every window passes.
    [[gnu::noinline]] void floor_windows_by(double floor, uint64_t end) noexcept
    {
        cut_floor_ = floor;
        cut_end_ = end;
        // Jaro's prefix is always given as 4, and counts for nothing.
        const double prefix_weight = winkler_ ? traits_of(metric_).prefix_weight : 0.0;
        for (uint64_t prefix = 0; prefix <= 4; ++prefix)
            cut_[prefix] = detail::jaro_floor_cut(floor, prefix_weight, p_, prefix);
    }

    // Back to the start of the text, for another walk.
    void rewind()
    {
        floor_windows_by(infinite_score, 0);
        shared_.reset();
        search_to_ = common_to_ = last_within_ = 0;
        unread_ = measures_passed_ = 0;
        last_measured_ = Measured{0, 0, 0};
        // The lanes have read on past every window: a walk that comes back
        // reads the pass.
        if (family_ == Family::laned) family_ = Family::subsequence;
        common_lanes_.reset();
    }

private:
    static constexpr int64_t unknown = std::numeric_limits<int64_t>::min();

    // Marks, once, the ends of the stretches of the text within the
    // largest Levenshtein distance with which any window can pass (twice
    // that for optimal string alignment, of which a transposition is two
    // Levenshtein edits), searching only around the pattern's pieces: a
    // window whose trimmed end is not marked cannot pass.
    void mark_reachable(Cancellation& cancel)
    {
        if (!(threshold_ >= 0.0)) return;
        const uint64_t longest =
            std::min<uint64_t>(detail::longest_passing_length(metric_, kind_, threshold_, p_), text_.size() + 1);
        const uint64_t limit =
            detail::largest_passing_distance(metric_, kind_, threshold_, std::max(longest, p_), p_, p_ + longest);
        const uint64_t filter = metric_ == Metric::osa ? 2 * limit : limit;
        // Only where the pattern's pieces are long enough to be rare; else
        // the search over the whole text, which tells the least distance
        // at each end and not just whether it is within the filter, is
        // worth more.
        if (p_ / (filter + 1) < 3) return;
        detail::mark_reachable_ends(*bit_parallel_, text_, pattern_, filter, reachable_, cancel);
        reachable_known_ = true;
    }

    // `exact`, when given, may be cleared and a ceiling returned for a
    // window that passes. Past `bound`, at or below the threshold, the score
    // may be any above it.
    Comparison measure(uint64_t start, uint64_t first, uint64_t last, bool* exact, double bound)
    {
        const uint64_t length = last - first;
        const Units<Char> candidate = text_.substr(first, length);
        if (jaro_) { // first: the Jaro pair scores many windows
            // A window that matches fewer code points than the threshold
            // needs fails, whatever its transpositions: it gets infinity.
            // Where a ceiling serves, one that matches enough passes
            // whatever its transpositions: the ceiling, from the count.
            const uint64_t enough =
                exact && counts_settle_ ? matched_enough_->of(length) : detail::JaroPattern::unlimited;
            // Where the matching would stop there, counts by block that
            // reach as many settle the window as it would, without its steps.
            if (block_counts_ && jaro_->stops_at(length, enough) && block_counts_->at_least(candidate) >= enough) {
                *exact = false;
                return Comparison{true, matched_enough_->ceiling(length, enough)};
            }
            const uint64_t prefix = winkler_ ? detail::common_prefix(candidate, pattern_) : 4;
            const std::optional<std::string_view> indexed_candidate =
                indexes_text_ ? indexed(first, last) : std::nullopt;
            const double distance =
                indexed_candidate ? indexed_jaro_->distance(*indexed_candidate, traits_of(metric_).prefix_weight,
                                                            need_shared_->of(length, prefix), enough)
                                  : jaro_->distance(candidate, traits_of(metric_).prefix_weight,
                                                    need_shared_->of(length, prefix), enough);
            if (distance >= 0.0) return Comparison{distance <= threshold_, distance};
            if (distance == detail::JaroPattern::passes_by_count) {
                *exact = false;
                return Comparison{true, matched_enough_->ceiling(length, enough)};
            }
            return comparator_.compare(candidate);
        }
        const auto scored = [&](uint64_t distance) __attribute__((always_inline)) {
            const double score = score_of(metric_, kind_, distance, length, p_);
            return Comparison{score <= threshold_, score};
        };
        if (exact_) {
            // Measured from the window's own start: the distance itself.
            exact_->restart(first, true);
            const uint64_t distance = exact_->at(text_, last);
            last_measured_ = Measured{first, last, distance};
            return scored(distance);
        }
        if (common_) {
            if (ahead_) {
                const detail::BitParallelPattern::Stretch* known = swept(first, last);
                if (!known && sweeping()) known = sweep(start, first, last);
                if (known) return scored(distance_of_common(known->common, length));
            }
            // Started afresh at the window (which reading only up to it
            // asks for), the pass also bounds the windows after it better.
            common_to_ = first;
            Known known = Known::bound;
            uint64_t least = distance_of_common(subsequence_common<false>(start, first, last, known), length);
            if (metric_ != Metric::damerau_levenshtein) {
                const Comparison verdict = scored(least);
                if (family_ == Family::crowded) tally_measure(verdict.accepted);
                return verdict;
            }
            // Unless the window and the pattern are a few code points each
            // (then the restricted distance below settles most windows for
            // less than setting up the pass that stops early), most windows
            // that get this far still fail, by a few edits. For a pattern of
            // one word, a floor from one bit-parallel pass, seldom more than
            // an edit or two below the distance, rules most of them out,
            // and the restricted distance then settles many of the rest; for
            // one of several, the pass that stops early, at once.
            if (damerau_->cuts_off() && length * p_ > 512) {
                if (bit_parallel_->words() != 1) return scored(damerau_within(candidate, least, bound));
                const int64_t allowed = largest_distance(length, bound);
                if (static_cast<int64_t>(least) <= allowed)
                    least = std::max<uint64_t>(least, bit_parallel_->damerau_floor(candidate));
                if (static_cast<int64_t>(least) > allowed) return scored(least);
            }
            // Damerau-Levenshtein is at most the optimal string alignment
            // distance, and an unrestricted transposition with code points
            // between its pair saves at most one edit of at least two.
            bit_parallel_->osa_prefix_distances(candidate, osa_);
            const uint64_t restricted = osa_[length];
            const uint64_t floor = std::max<uint64_t>(least, (2 * restricted + 2) / 3);
            const int64_t allowed = largest_distance(length, bound);
            if (floor == restricted) return scored(floor);
            if (static_cast<int64_t>(floor) > allowed) return scored(floor);
            if (exact && static_cast<int64_t>(restricted) <= allowed) {
                *exact = false;
                return scored(restricted);
            }
            // The distance itself, worked out only as far as it can pass
            // (it is never above the restricted one).
            return scored(damerau_->distance_within(
                candidate, static_cast<std::uint32_t>(std::min<int64_t>(allowed, restricted))));
        }
        return comparator_.compare(candidate);
    }

    // The Damerau-Levenshtein distance of a window at least `least` away,
    // worked out only as far as it can come within `bound`: past that, a
    // distance above what the bound allows. The pass that stops early costs
    // less than the restricted distance that would tell some windows apart
    // without it.
    uint64_t damerau_within(Units<Char> candidate, uint64_t least, double bound)
    {
        const int64_t allowed = largest_distance(candidate.size(), bound);
        if (static_cast<int64_t>(least) > allowed) return least;
        // No distance exceeds the longer length.
        const uint64_t limit =
            std::min<uint64_t>(static_cast<uint64_t>(allowed), std::max<uint64_t>(candidate.size(), p_));
        return damerau_->distance_within(candidate, static_cast<std::uint32_t>(limit));
    }

    // The window [first, last) as indices among the pattern's distinct code
    // points, once the windows scored have read the text twice over: its
    // blocks are then translated as windows come to them, which costs less
    // than the reads have. Where windows are scored few and far between, the
    // text is read as it is.
    std::optional<std::string_view> indexed(uint64_t first, uint64_t last)
    {
        if (!indexed_jaro_) {
            unindexed_reads_ += last - first;
            if (unindexed_reads_ < 2 * text_.size()) return std::nullopt;
            indices_.emplace(pattern_);
            for (const char32_t c : pattern_)
                indexed_pattern_ += static_cast<char32_t>(indices_->of(c));
            indexed_jaro_.emplace(indexed_pattern_);
            indexed_text_.resize(text_.size());
            indexed_blocks_.assign(text_.size() / indexed_block + 1, false);
        }
        for (uint64_t block = first / indexed_block; block * indexed_block < last; ++block) {
            if (indexed_blocks_[block]) continue;
            indexed_blocks_[block] = true;
            const detail::CodePointIndices::View indices = indices_->view();
            const uint64_t to = std::min<uint64_t>(text_.size(), (block + 1) * indexed_block);
            char* const out = indexed_text_.data();
            for (uint64_t i = block * indexed_block; i < to; ++i)
                out[i] = static_cast<char>(indices.of(code_point(text_[i])));
        }
        return std::string_view(indexed_text_).substr(first, last - first);
    }

    // judge() for the Jaro family. A window that the lowest score so far
    // allows only at 0 must be the pattern itself: no other has a Jaro
    // similarity of 1, and Winkler's step never makes up the rest.
    // At the threshold (`at_threshold`), what the threshold allows is
    // known for the whole walk; there, with `scores`, a window that its
    // shared count leaves is scored at once.
    template <bool at_threshold, std::size_t vectors, bool scores>
    [[gnu::always_inline]] Judgement judge_jaro(uint64_t start, uint64_t first, uint64_t last, double bound)
    {
        const uint64_t length = last - first;
        const Units<Char> candidate = text_.substr(first, length);
        if (at_threshold ? only_pattern_passes_ : bound == 0.0 && p_ > 0) {
            if (length != p_) return Judgement::ruled_out();
            for (uint64_t i = 0; i < length; ++i)
                if (code_point(candidate[i]) != pattern_[i]) return Judgement::ruled_out();
            return Judgement::score(0.0);
        }
        const uint64_t prefix = winkler_ ? detail::common_prefix(candidate, pattern_) : 4;
        uint64_t shared;
        if constexpr (vectors == any_vectors)
            shared = shared_.of(text_, first, last);
        else
            shared = shared_.template of_in<vectors>(text_, first, last);
        // What the threshold needs, any lower bound needs too (a group's
        // lowest score so far passes it): a comparison of integers.
        if (at_threshold || bound <= threshold_) {
            const uint64_t need = need_shared_->of(length, prefix);
            if (shared < need) return Judgement::ruled_out();
            if constexpr (at_threshold && scores)
                if (scoring_) return scored_in_walk(first, last, need, prefix);
            // No multiplication of the counts rounds (both are below 2^53).
            if constexpr (at_threshold && !scores)
                if (start <= cut_end_ && static_cast<double>(static_cast<int64_t>(shared * (length + p_))) <
                                             cut_[prefix] * static_cast<double>(static_cast<int64_t>(length)))
                    return Judgement::at_least(cut_floor_);
        }
        return Judgement::at_least(jaro_floor_->of(length, shared, prefix));
    }

    // The judgement of the window [first, last), which matches at least
    // `need` code points or fails (and begins with `prefix` code points of
    // the pattern), scored in the first walk: out of line,
    // so that the walk keeps its registers for the windows that its shared
    // count rules out. Where nearly every window scored passes, the windows
    // come in long groups, most of which a group's lowest score leaves
    // unscored: the walk stops scoring.
    [[gnu::noinline]] Judgement scored_in_walk(uint64_t first, uint64_t last, uint64_t need, uint64_t prefix)
    {
        const uint64_t length = last - first;
        const double distance = jaro_->one_word().distance_with_prefix(
            text_.substr(first, length), traits_of(metric_).prefix_weight, prefix, need, least_similarity_[prefix]);
        ++walk_scored_;
        if (distance > threshold_) return Judgement::ruled_out();
        if (8 * ++walk_passed_ > 7 * walk_scored_ && walk_scored_ >= 64) scoring_ = false;
        return Judgement::score(distance);
    }

    static constexpr int64_t unlimited = std::numeric_limits<int64_t>::max() / 4;

    // Whether the window [first, last) shares fewer than `least_shared` code
    // points with the pattern (each one it lacks is an edit): kept up to
    // date as the window slides, for less than a pass.
    [[gnu::always_inline]] bool lacks_too_much(uint64_t first, uint64_t last, uint64_t least_shared) noexcept
    {
        return shared_.of(text_, first, last) < least_shared;
    }

    // What a window of one trimmed length needs to score `bound` or less:
    // the largest distance it may have, and the fewest code points it must
    // share with the pattern, as each one it lacks costs an edit
    // (`impossible` when its length alone is too far from the pattern's).
    struct LengthRule {
        int64_t allowed;
        uint64_t least_shared;
    };
    static constexpr uint64_t impossible = std::numeric_limits<uint64_t>::max();

    // Kept by length for the threshold: for most windows, a lookup.
    template <bool at_threshold> [[gnu::always_inline]] LengthRule rule_of(uint64_t length, double bound)
    {
        if ((at_threshold || bound == threshold_) && length < rule_count_) {
            // A rule not worked out yet reads as impossible too: most
            // windows are told by one compare.
            const LengthRule rule = rule_table_[length];
            if (rule.least_shared != impossible || rule.allowed != unknown) return rule;
        }
        const int64_t allowed = largest_distance(length, bound);
        return LengthRule{allowed, least_shared_of(length, allowed)};
    }

    uint64_t least_shared_of(uint64_t length, int64_t allowed) const noexcept
    {
        const uint64_t apart = length > p_ ? length - p_ : p_ - length;
        if (allowed < 0 || apart > static_cast<uint64_t>(allowed)) return impossible;
        // Indel keeps, of the code points that the two share, those in a
        // common subsequence and counts each of the others on both sides: a
        // window must keep half of what both lengths exceed the distance by.
        if (metric_ == Metric::indel) {
            const uint64_t both = length + p_;
            return static_cast<uint64_t>(allowed) >= both ? 0 : (both - static_cast<uint64_t>(allowed) + 1) / 2;
        }
        const uint64_t longer = std::max(length, p_);
        return static_cast<uint64_t>(allowed) >= longer ? 0 : longer - static_cast<uint64_t>(allowed);
    }

    // The floor of a window bounded by its length alone, as long a common
    // subsequence as the shorter of it and the pattern: kept by length, as
    // where windows crowd most of them are bounded so.
    [[gnu::always_inline]] double length_floor(uint64_t length)
    {
        if (length < length_floors_.size()) {
            const double kept = length_floors_[length];
            if (kept >= 0.0) return kept;
        }
        return work_out_length_floor(length);
    }

    [[gnu::noinline]] double work_out_length_floor(uint64_t length)
    {
        const uint64_t apart = length > p_ ? length - p_ : p_ - length;
        const double floor = score_of(metric_, kind_, apart, length, p_);
        if (length < rule_lengths_) {
            if (length >= length_floors_.size()) detail::grow_cleared(length_floors_, length, rule_lengths_, 64, -1.0);
            length_floors_[length] = floor;
        }
        return floor;
    }

    // The largest distance with which a window of this trimmed length
    // scores `bound` or less, found with the score's own arithmetic; -1
    // when none does. Kept by length for the threshold, and for another
    // bound the last one worked out at each length.
    [[gnu::always_inline]] int64_t largest_distance(uint64_t length, double bound)
    {
        if (bound == threshold_) {
            if (length < rules_.size() && rules_[length].allowed != unknown) return rules_[length].allowed;
        } else if (length < other_allowed_.size() && other_allowed_[length].bound == bound) {
            return other_allowed_[length].largest;
        }
        return work_out_largest_distance(length, bound);
    }

    // How many lengths the tables of what a length allows grow by at least:
    // their room is taken afresh in each call, most likely out of the
    // cache, and windows of a few short tokens ask about a dozen lengths or
    // so; clearing far past those costs a short call more than the growths
    // it spares.
    static constexpr std::size_t rules_cleared_ahead = 16;

    // largest_distance() where it is not kept yet (or not kept at all).
    [[gnu::noinline]] int64_t work_out_largest_distance(uint64_t length, double bound)
    {
        int64_t largest;
        const auto passes = [&](int64_t distance) {
            return score_of(metric_, kind_, static_cast<uint64_t>(distance), length, p_) <= bound;
        };
        if (!(bound >= 0.0)) {
            largest = -1;
        } else if (kind_ == ThresholdKind::Absolute) {
            largest = bound >= static_cast<double>(unlimited) ? unlimited : static_cast<int64_t>(bound);
        } else {
            // A normalized distance is at most 1: no distance goes beyond the maximum.
            const auto maximum = static_cast<int64_t>(maximum_of(metric_, length, p_));
            largest =
                std::min<int64_t>(maximum, static_cast<int64_t>(std::min(bound, 1.0) * static_cast<double>(maximum)));
            while (largest >= 0 && !passes(largest))
                --largest;
            while (largest < maximum && passes(largest + 1))
                ++largest;
            if (maximum == 0 || largest == maximum) largest = unlimited;
        }
        if (bound == threshold_) {
            if (length < rule_lengths_) {
                if (length >= rules_.size()) {
                    detail::grow_cleared(rules_, length, rule_lengths_, rules_cleared_ahead,
                                         LengthRule{unknown, impossible});
                    rule_table_ = rules_.data();
                    rule_count_ = rules_.size();
                }
                rules_[length] = LengthRule{largest, least_shared_of(length, largest)};
            }
        } else if (length < rule_lengths_) {
            // Cleared as far as the lengths asked about, as the rules are:
            // a short call asks about a few dozen.
            if (length >= other_allowed_.size())
                detail::grow_cleared(other_allowed_, length, rule_lengths_, rules_cleared_ahead, KeptDistance{});
            other_allowed_[length] = KeptDistance{bound, largest};
        }
        return largest;
    }

    // Where a window in ten or so lately got past the shared count (three
    // within a few dozen, and a dozen in all: not just the windows around
    // one match), and windows lie a few code points apart, lanes cost less
    // than the count and bound closer: the count is given up for them.
    // Called for the windows that get past it, which also tell how many
    // came before.
    void gave_up_count(uint64_t last) noexcept
    {
        // Halved every eleven windows, about a sixteenth off each.
        const uint64_t since = windows_counted_ - counted_at_last_pass_;
        counted_at_last_pass_ = windows_counted_;
        past_count_ = std::min<std::uint32_t>((since / 11 >= 32 ? 0 : past_count_ >> (since / 11)) + 16, 256);
        ++windows_past_count_;
        if (past_count_ >= 48 && windows_past_count_ >= 12 && last < 16 * windows_counted_) {
            shared_rules_out_ = false;
            keep_end_values();
        }
    }

    // Once lanes read the text for the search, most windows are ruled out
    // by the value kept at their end.
    void keep_end_values()
    {
        lanes_->keep_end_values(text_.size());
        ends_valued_ = true;
    }

    // The least Levenshtein (or optimal string alignment) distance of the
    // pattern from a stretch that ends at `last` and starts at the search's
    // start or later. Starting afresh at the window costs no more than
    // reading on up to it, and leaves out stretches that start before it.
    uint64_t searched_distance(uint64_t first, uint64_t last)
    {
        // Lanes cover the ends ahead of the first walk, four stretches of
        // the text at once; a walk that comes back reads on by itself.
        if (lanes_ && !shared_rules_out_) {
            std::uint32_t value = 0;
            if (lanes_->at(first, last, value) ||
                (last >= lanes_->covered_to() && lanes_->cover(text_, last) && lanes_->at(first, last, value)))
                return value;
        }
        if (search_to_ <= first) search_->restart(first);
        search_to_ = std::max(search_to_, last);
        return search_->at(text_, last);
    }

    // The longest common subsequence of the pattern and the text from the
    // pass's start to `last`, which is at least the window [first, last)'s
    // (see distance_of_common()). `known` tells whether that is the window's
    // own, and how it came: from a pass begun at the window, or from a sweep.
    enum class Known { bound, own_pass, swept };
    template <bool Sweeps>
    [[gnu::always_inline]] uint64_t subsequence_common(uint64_t start, uint64_t first, uint64_t last, Known& known)
    {
        if constexpr (Sweeps) {
            if (const detail::BitParallelPattern::Stretch* stretch = swept(first, last)) {
                known = Known::swept;
                return stretch->common;
            }
        }
        // Starting afresh at the window costs no more than reading on up to it.
        const bool afresh = common_to_ <= first || common_->started_at() > first;
        if (Sweeps && afresh && sweeping()) {
            if (const detail::BitParallelPattern::Stretch* stretch = sweep(start, first, last)) {
                known = Known::swept;
                return stretch->common;
            }
        }
        if (afresh) common_->restart(first);
        // A pass begun at the window that has read past its end (for a
        // longer window with the same trimmed start) gives the longer
        // stretch's count: a bound on the window's, not the window's own.
        const bool read_past = !afresh && common_to_ > last;
        common_to_ = std::max(common_to_, last);
        known = common_->started_at() == first && !read_past ? Known::own_pass : Known::bound;
        return common_->at(text_, last);
    }

    // The window's own longest common subsequence with the pattern, from
    // the pass begun afresh at it: the windows that follow are then bounded
    // by it too, as after a window is scored.
    [[gnu::noinline]] uint64_t settle_common(uint64_t first, uint64_t last)
    {
        common_->restart(first);
        common_to_ = std::max(common_to_, last);
        return common_->at(text_, last);
    }

    // subsequence_common() from the lanes, for windows that come in
    // order: the lane begun last at or before the window's start bounds it
    // (exactly, begun there). The first lane begins at the first window.
    // The lane begun first, once one begun later serves (and serves every
    // window to come), begins afresh just past this window, where a later
    // one starts, if the lane begun last lies a third of this window
    // behind: the four then spread over a window's length. False, for the
    // pass, where the lanes have read past the window.
    bool lane_common(uint64_t first, uint64_t last, uint64_t& common, Known& known)
    {
        using Lanes = detail::CommonSubsequenceLanes;
        constexpr std::size_t ring = Lanes::lanes - 1;
        static_assert((Lanes::lanes & ring) == 0, "lanes go round by a mask");
        if (last < common_lanes_->position()) return false;
        Lanes& lanes = *common_lanes_;
        if (serving_lane_ == Lanes::lanes) {
            if (first < lanes.position()) return false;
            lanes.begin(0, first);
            serving_lane_ = newest_lane_ = 0;
        }
        lanes.read_to(text_, last);
        while (serving_lane_ != newest_lane_ && lanes.begun_at((serving_lane_ + 1) & ring) <= first)
            serving_lane_ = (serving_lane_ + 1) & ring;
        const std::size_t oldest = (newest_lane_ + 1) & ring;
        if (oldest != serving_lane_ && !lanes.waiting() && last < text_.size() &&
            lanes.begun_at(newest_lane_) + (last - first) / 3 <= last + 1) {
            lanes.begin(oldest, last + 1);
            newest_lane_ = oldest;
        }
        const uint64_t begun = lanes.begun_at(serving_lane_);
        if (begun > first) return false; // the first lane begun past it
        known = begun == first ? Known::own_pass : Known::bound;
        common = lanes.common(serving_lane_);
        return true;
    }

    // The least distance of the metric for a window of `length` code points
    // with no longer a common subsequence with the pattern than `common`.
    // Each Damerau-Levenshtein edit changes the longer length less that
    // subsequence by one at most.
    [[gnu::always_inline]] uint64_t distance_of_common(uint64_t common, uint64_t length) const noexcept
    {
        common = std::min<uint64_t>({common, length, p_});
        return metric_ == Metric::indel ? length + p_ - 2 * common : std::max(length, p_) - common;
    }

    // Where most windows lately came within reach, most of those that
    // follow will be measured each from its own start, a pass over each
    // window: one sweep measures a run of them for less (see
    // BitParallelPattern::lcs_of_stretches). Where few did, a pass read on
    // from an earlier window rules most out for less.
    bool sweeping() const noexcept { return ahead_ && within_reach_ >= reach_to_sweep; }

    // The window [first, last) among those swept, or none. Walks ask for
    // the windows in order: most are found where the last one was left.
    [[gnu::always_inline]] const detail::BitParallelPattern::Stretch* swept(uint64_t first, uint64_t last) noexcept
    {
        if (next_swept_ < swept_.size()) {
            const detail::BitParallelPattern::Stretch& next = swept_[next_swept_];
            if (next.first == first && next.last == last) {
                ++next_swept_;
                return &next;
            }
        }
        // None past the last kept.
        if (swept_.empty() || first > swept_.back().first) return nullptr;
        return look_up_swept(first, last);
    }

    const detail::BitParallelPattern::Stretch* look_up_swept(uint64_t first, uint64_t last) noexcept
    {
        using Stretch = detail::BitParallelPattern::Stretch;
        auto found = std::lower_bound(swept_.begin(), swept_.end(), first,
                                      [](const Stretch& s, uint64_t at) { return s.first < at; });
        for (; found != swept_.end() && found->first == first; ++found)
            if (found->last == last) {
                next_swept_ = static_cast<std::size_t>(found - swept_.begin()) + 1;
                return &*found;
            }
        return nullptr;
    }

    // Measures the window that starts at `start`, whose trimmed text is
    // [first, last), and those that follow it up to the next one already
    // measured, some dozens at most, in one sweep; returns the window's (none
    // where the windows looked ahead in do not begin with it).
    const detail::BitParallelPattern::Stretch* sweep(uint64_t start, uint64_t first, uint64_t last)
    {
        using Stretch = detail::BitParallelPattern::Stretch;
        auto at = std::lower_bound(swept_.begin(), swept_.end(), first,
                                   [](const Stretch& s, uint64_t position) { return s.first < position; });
        const uint64_t next_known = at == swept_.end() ? std::numeric_limits<uint64_t>::max() : at->first;
        // Gathers the windows into `out`, room for `most_swept`, and sweeps
        // them; how many, or none where they do not begin with the window.
        const auto gather = [&](Stretch* out) {
            std::size_t count = 0;
            uint64_t work = 0;
            ahead_->walk_ahead(start, [&](uint64_t window_start, uint64_t window_end) {
                const WindowSpan window = span_of(text_, window_start, window_end, trims_);
                if (window.first >= next_known && count > 0) return false;
                // Written in place: a record built aside and copied whole is
                // read back in wide words across the narrow store of its
                // count, which the processor cannot forward (it waits, once
                // per window).
                Stretch& stretch = out[count++];
                stretch.first = window.first;
                stretch.last = window.last; // its count is the sweep's to write
                work += window.last - window.first + 1;
                return count < most_swept;
            });
            if (count == 0 || out[0].first != first || out[0].last != last) return std::size_t{0};
            cancel_.poll(work);
            bit_parallel_->lcs_of_stretches(text_, out, count);
            return count;
        };
        if (swept_.capacity() == 0) {
            // Room for a window per two code points, within the bound: no
            // copies as the sweeps come.
            swept_.reserve(std::min<std::size_t>(most_kept_swept, text_.size() / 2 + most_swept));
            at = swept_.end();
        }
        // Past every window kept, with room for a sweep's worth: swept where
        // they are kept, without a copy.
        if (at == swept_.end() && swept_.size() + most_swept <= std::min(swept_.capacity(), most_kept_swept)) {
            const std::size_t offset = swept_.size();
            swept_.resize(offset + most_swept);
            const std::size_t count = gather(swept_.data() + offset);
            swept_.resize(offset + count);
            if (count == 0) return nullptr;
            next_swept_ = offset + 1;
            return &swept_[offset]; // the window itself comes first
        }
        batch_.resize(most_swept);
        batch_.resize(gather(batch_.data()));
        if (batch_.empty()) return nullptr;
        // What was swept is kept for the walks that come back to it, within
        // a bound on memory.
        if (swept_.size() + batch_.size() > most_kept_swept) {
            swept_.clear();
            at = swept_.end();
        }
        const auto offset = static_cast<std::size_t>(at - swept_.begin());
        swept_.insert(at, batch_.begin(), batch_.end());
        next_swept_ = offset + 1;
        return &swept_[offset]; // the window itself comes first
    }

    Units<Char> text_;
    Cancellation& cancel_;
    FuzzyComparator& comparator_;
    const std::u32string& pattern_;
    Metric metric_;
    ThresholdKind kind_;
    double threshold_;
    uint64_t p_;
    // The same for other bounds (a group's lowest score so far), each with
    // the bound it was worked out for: the bound changes now and then.
    struct KeptDistance {
        double bound = std::numeric_limits<double>::quiet_NaN();
        int64_t largest = -1;
    };
    std::vector<KeptDistance> other_allowed_;
    std::vector<LengthRule> rules_;          // by trimmed length, at the threshold
    std::vector<double> length_floors_;      // by trimmed length (length_floor()); below 0: not worked out
    uint64_t rule_lengths_ = 0;              // the lengths that rules_ may come to hold
    const LengthRule* rule_table_ = nullptr; // rules_, as read for every window
    std::size_t rule_count_ = 0;
    Family family_ = Family::shared;
    std::optional<detail::SharedNeeded> need_shared_; // for the Jaro family
    std::optional<detail::JaroFloor> jaro_floor_;     // for the Jaro family
    std::optional<detail::MatchedEnough> matched_enough_; // for the Jaro family
    bool counts_settle_ = false; // whether a window that matches enough passes unscored
    bool winkler_ = false; // Jaro-Winkler: the common prefix counts
    double least_similarity_[5] = {}; // the least that may pass in the Jaro pair's walk, by common prefix
    bool only_pattern_passes_ = false; // the Jaro pair at a threshold of 0
    // For floor_windows_by(): windows that start by cut_end_ and whose
    // shared count s and length t give s(t + p) < cut_[prefix] t are
    // judged at cut_floor_ in the first walk.
    double cut_floor_ = infinite_score;
    double cut_[5] = {-1.0, -1.0, -1.0, -1.0, -1.0}; // by common prefix
    uint64_t cut_end_ = 0;
    bool scores_in_walk_ = false; // see scores_in_walk()
    bool scoring_ = true;         // the first walk still scores (scored_in_walk())
    uint64_t walk_scored_ = 0, walk_passed_ = 0;
    SharedCount<Char> shared_;
    std::optional<detail::BitParallelPattern> bit_parallel_;
    std::optional<detail::SemiGlobalPass> search_, exact_;
    std::optional<detail::SideBySideDistances> side_by_side_;
    std::optional<detail::SearchLanes> lanes_;
    std::uint32_t past_count_ = 0; // how many windows lately got past the shared count, out of 256
    uint64_t windows_counted_ = 0, counted_at_last_pass_ = 0, windows_past_count_ = 0;
    std::vector<uint64_t> reachable_; // bit b: some stretch ending at b lies within the filter
    bool reachable_known_ = false;
    uint64_t search_to_ = 0; // the search has read the text up to here
    struct Measured {
        uint64_t first, last, distance;
    } last_measured_{0, 0, 0}; // the last window whose distance was measured
    std::optional<detail::CommonSubsequencePass> common_;
    // For Indel and LCSseq, the first walk's passes, begun ahead at later
    // windows' starts (none: the pass alone).
    std::optional<detail::CommonSubsequenceLanes> common_lanes_;
    std::size_t newest_lane_ = 0, serving_lane_ = detail::CommonSubsequenceLanes::lanes; // none yet
    uint64_t common_to_ = 0; // the pass has read the text up to here
    // For the first walk: how many windows measured lately passed, out of
    // 256, and how many windows to come are bounded without the pass.
    // Where more than about three in eight pass, a window measured sets the
    // next few dozen to be; where fewer do, the pass started afresh at each
    // one measured rules out most of those that follow, and a few failures
    // in a row bring it back.
    static constexpr std::uint32_t windows_unread = 64, most_measures_pass = 96;
    std::uint32_t measures_passed_ = 0, unread_ = 0;
    void tally_measure(bool passed) noexcept
    {
        measures_passed_ = measures_passed_ - (measures_passed_ >> 3) + (passed ? 32 : 0);
        unread_ = measures_passed_ >= most_measures_pass ? windows_unread : 0;
    }
    // The windows measured by sweeps, by their trimmed spans in order, and
    // what a sweep needs: the windows to look ahead in (none: no sweeps).
    static constexpr std::size_t most_swept = 128, most_kept_swept = std::size_t{1} << 14;
    std::vector<detail::BitParallelPattern::Stretch, UninitialisedAllocator<detail::BitParallelPattern::Stretch>>
        swept_, batch_;
    std::size_t next_swept_ = 0; // where the next window is looked for first
    TokenWindows<Char>* ahead_ = nullptr;
    bool trims_ = false;
    static constexpr std::uint32_t reach_to_sweep = 64;
    std::uint32_t within_reach_ = 0;
    // Whether the judge measures a window that comes within reach (Indel
    // and LCSseq), and where the last one that did ends.
    bool settles_alone_ = false;
    uint64_t last_within_ = 0;
    std::vector<std::uint32_t> osa_;
    std::optional<detail::DamerauPrefixPass> damerau_;
    // Whether the code points a window shares with the pattern are counted
    // before the passes.
    bool shared_rules_out_ = false;
    // Hamming, normalized: a window of another length scores 1.
    bool unequal_lengths_score_one_ = false;
    // Whether lanes read the text for the search and keep their values.
    bool ends_valued_ = false;
    std::optional<detail::JaroScorer> jaro_;
    // The Jaro pair's pattern and text as indices among the pattern's
    // distinct code points, for a text beyond one byte a code point, once
    // the windows scored outside the walk have read it twice over.
    bool indexes_text_ = false;
    std::optional<detail::CodePointIndices> indices_;
    std::u32string indexed_pattern_;
    std::optional<detail::JaroScorer> indexed_jaro_;
    std::string indexed_text_;
    static constexpr uint64_t indexed_block = 64;
    std::vector<bool> indexed_blocks_; // whether each block of indexed_text_ is translated
    uint64_t unindexed_reads_ = 0;     // code points read by windows scored before
    // Where windows may pass by their count. Its tables, a few KiB, are
    // kept off the stack, where they would move the walk's own data.
    std::unique_ptr<detail::JaroBlockCounts> block_counts_;
};

// Scores the windows that their floors leave, one at a time. The floors need
// the metric, which is only looked up where the first comparison is due, so
// they are set up by the first window.
template <typename Char> class JudgeEach {
public:
    JudgeEach(Units<Char> text, bool trims, FuzzyComparator& comparator, CandidateSink& solver, Cancellation& cancel)
        : text_(text), trims_(trims), comparator_(comparator), solver_(solver), cancel_(cancel)
    {
    }

    void judge(uint64_t start, uint64_t end)
    {
        if (!floors_) {
            metric_ = comparator_.metric(); // throws for an unknown name
            floors_.emplace(text_, comparator_, metric_, cancel_);
        }
        const WindowSpan window = span_of(text_, start, end, trims_);
        const double threshold = comparator_.threshold();
        const Judgement judgement = floors_->judge(start, window.first, window.last, threshold);
        if (!(judgement.floor <= threshold)) return;
        if (judgement.exact) {
            solver_.add(Match{start, end, judgement.floor});
            return;
        }
        cancel_.poll(detail::comparison_cost(metric_, window.last - window.first, comparator_.pattern().size()));
        const Comparison verdict = floors_->score(start, window.first, window.last, threshold);
        if (verdict.accepted) solver_.add(Match{start, end, verdict.score});
    }

private:
    Units<Char> text_;
    bool trims_;
    FuzzyComparator& comparator_;
    CandidateSink& solver_;
    Cancellation& cancel_;
    Metric metric_ = Metric::levenshtein;
    std::optional<WindowFloors<Char>> floors_;
};

// One conflict group of passing windows: from the start of its first to the
// furthest end of any; the window of the lowest floor seen in it, scored
// first when its windows are; and the lowest score known of a passing one
// (or a ceiling of one).
struct TokenGroup {
    uint64_t first, end;
    WindowSpan seed;
    double seed_floor;
    double best;
    // Where its windows that the first walk's floors left lie among those
    // kept, when all of them are.
    std::size_t members_from = 0, members_to = 0;
    bool members_kept = true;
    bool members_full = false; // as many kept as the group has room for
    // For a group that keeps only its members of the lowest floors: the
    // highest floor kept, and the lowest of those left out (infinite when
    // none is), below which no window left out can score.
    double highest_kept = -infinite_score, lowest_left = infinite_score;
    std::size_t highest_at = 0; // the first member kept of the highest floor
    // The lowest score of a member kept with its score (not a floor).
    double lowest_scored = infinite_score;

    // Opens the group in `solver` with one window spanning it and a score
    // that no window beats: every window of the group then joins it, and
    // none other, whichever of them are handed over.
    void open(CandidateSink& solver) const { solver.add(Match{first, end, infinite_score}); }
};

// When "best_match" comes first, a group's pick is among its windows of the
// lowest score, and a window whose floor exceeds a score already found in
// its group cannot be one of them.
//
// A first walk finds the groups. A group's first window is the first that
// passes, so until a group is open each window that its floor leaves is
// judged. Once one is open, its extent only needs the furthest-reaching
// window that passes among those that start within it: they are gathered
// until a window starts beyond the group, then judged from the last one
// back, and the first that passes extends the group (where every window
// passes, one window in as many as a window has tokens is judged). A group
// closes when none of them passes. A ceiling within the threshold tells
// that a window passes without its score.
//
// The windows of each group that the floors leave are kept with their
// floors (up to a limit on memory), but for those whose floors lie above a
// score that the first walk found in the group, and each group's are then
// scored from the lowest floor up, until the floor exceeds the lowest score
// found: what the first walk scored is not scored again, and no window
// whose floor lies above the group's lowest score is scored at all. A group
// whose windows were not all kept is walked again instead: the seed first, then
// every window whose floor does not exceed the lowest score found so far.
// Every window of a group's lowest score is scored, so the solver, which
// sees them in window order after one window spanning the group, picks as
// it would among all.
template <typename Char>
void judge_best_first(Units<Char> text, TokenWindows<Char>& windows, FuzzyComparator& comparator, Metric metric,
                      CandidateSink& solver, Cancellation& cancel)
{
    const double threshold = comparator.threshold();
    const bool every_window_passes = detail::every_window_passes(metric, comparator.threshold_kind(), threshold);
    const uint64_t p = comparator.pattern().size();
    const bool trims = windows.trims();
    WindowFloors<Char> floors(text, comparator, metric, cancel);
    floors.fit_to(windows, trims);
    struct Scored {
        uint64_t start;
        double score;
    };
    std::vector<Scored> scored; // what the first walk scored within groups
    // The judge of Indel and LCSseq scores some windows itself, from a pass
    // that the groups' walks would read again: those scores are kept too.
    const bool keeps_exact = (metric == Metric::indel || metric == Metric::lcs_seq) &&
                             (floors.family() == WindowFloors<Char>::Family::subsequence ||
                              floors.family() == WindowFloors<Char>::Family::crowded);
    struct Pick {
        std::size_t index;
        double score;
    };
    // A window that scores above `bound` is of no use (or past the
    // threshold), and may be given any score above it.
    const auto score = [&](const WindowSpan& window, double bound) {
        cancel.poll(detail::comparison_cost(metric, window.last - window.first, p));
        return floors.score(window.start, window.first, window.last, bound);
    };
    struct Candidate {
        WindowSpan window;
        Judgement judgement;
    };
    // Whether the window passes, and its score or a ceiling of it. The
    // score is kept for the groups' walks, unless `keeps_failing` is false
    // and the window fails: one before any group is never looked up.
    const auto passes = [&](const Candidate& candidate, bool keeps_failing) {
        const Judgement& judgement = candidate.judgement;
        if (judgement.exact) {
            const Comparison verdict{judgement.floor <= threshold, judgement.floor};
            if (keeps_exact && (verdict.accepted || keeps_failing))
                append_polled(scored, Scored{candidate.window.start, verdict.score}, cancel);
            return verdict;
        }
        if (every_window_passes || judgement.ceiling <= threshold) return Comparison{true, judgement.ceiling};
        cancel.poll(detail::comparison_cost(metric, candidate.window.last - candidate.window.first, p));
        bool exact = true;
        const Comparison verdict =
            floors.decide(candidate.window.start, candidate.window.first, candidate.window.last, exact);
        if (exact && (verdict.accepted || keeps_failing))
            append_polled(scored, Scored{candidate.window.start, verdict.score}, cancel);
        return verdict;
    };

    std::vector<TokenGroup> groups;
    // Room for a few groups, within what the allocator keeps at hand for
    // small blocks: most calls find one or two.
    groups.reserve(8);
    std::optional<TokenGroup> open;
    AppendedRecords<Candidate> within; // windows that start within the open group, not judged yet
    // The windows of the groups that the floors leave, in window order,
    // while there is room: a group of more is walked again.
    struct Member {
        WindowSpan window;
        double floor;
        bool exact;
    };
    std::vector<Member> members;
    // For the metrics of the common subsequence, the windows whose floor in
    // the first walk was 0, in window order: a score of 0 is the pattern's
    // own, and every window that scores it floors at 0, so a group whose
    // lowest score is 0 is settled from these, without a walk. Given up,
    // for the walk, past a bound on memory.
    std::vector<WindowSpan> floored_at_zero;
    bool zeros_known = false;
    const auto note_zero = [&](uint64_t start, uint64_t end, uint64_t first, uint64_t last)
        __attribute__((noinline))
    {
        if (!zeros_known) return;
        if (floored_at_zero.size() >= most_members) {
            zeros_known = false;
            floored_at_zero = std::vector<WindowSpan>();
            return;
        }
        append_polled(floored_at_zero, WindowSpan{start, end, first, last}, cancel);
    };
    // The metrics of the common subsequence are scored better by a walk:
    // the pass, started afresh at each window scored, bounds the windows
    // that follow it almost to their scores, closer than the first walk's.
    // Not where the first walk swept runs of windows: it measured most of
    // them already, and a walk would only look those measures up again.
    // So is a long group of the Jaro pair, whose walk rules out every
    // window but the pattern itself once the group's lowest score is 0; a
    // short one, where most windows come in groups of a few, costs less
    // from its members than from cutting its tokens and counting its
    // shared code points again.
    const bool keeps_members =
        !(metric == Metric::indel || metric == Metric::lcs_seq || metric == Metric::damerau_levenshtein) ||
        floors.family() == WindowFloors<Char>::Family::swept;
    const std::size_t most_in_group =
        traits_of(metric).bound == BoundFamily::similarity ? most_jaro_members : most_members;
    const std::size_t most_members_at_once = std::min<std::size_t>(1024, text.size() / 4 + 16);
    // A group of the Jaro pair past its room keeps its members of the
    // lowest floors: once its lowest score lies below every floor left out,
    // those windows need no walk.
    const bool keeps_lowest = traits_of(metric).bound == BoundFamily::similarity;
    // Inlined into the first walk of the Jaro pair, where most windows
    // join a group; out of line for the other metrics, where most windows
    // are left at their floor and it would only crowd the walk (three
    // words of English with Levenshtein took 1.15 times as long).
    const auto keep_inlined = [&](const Candidate& candidate) __attribute__((always_inline))
    {
        TokenGroup& group = *open;
        if (!group.members_kept) return;
        const double floor = candidate.judgement.floor;
        // A window whose floor lies above a score found in its group cannot
        // be its pick: where the first walk scores most windows (swept runs,
        // the prefix and postfix metrics), a group keeps only the scores
        // that are the lowest so far, not one member for each window.
        if (!keeps_lowest) {
            if (floor > group.lowest_scored) return;
            if (candidate.judgement.exact) group.lowest_scored = floor;
        }
        if (keeps_lowest && group.members_full) {
            // A floor left out, the lowest of which the judge is told.
            const auto leave_out = [&](double left) __attribute__((always_inline))
            {
                if (!(left < group.lowest_left)) return;
                group.lowest_left = left;
                floors.floor_windows_by(left, group.end);
            };
            if (!(floor < group.highest_kept)) {
                leave_out(floor);
                return;
            }
            // The first member of the highest floor gives way.
            leave_out(group.highest_kept);
            members[group.highest_at] = Member{candidate.window, floor, candidate.judgement.exact};
            const auto highest =
                std::max_element(members.begin() + static_cast<std::ptrdiff_t>(group.members_from), members.end(),
                                 [](const Member& a, const Member& b) { return a.floor < b.floor; });
            group.highest_at = static_cast<std::size_t>(highest - members.begin());
            group.highest_kept = highest->floor;
            return;
        }
        const std::size_t kept = members.size() - group.members_from;
        if (members.size() >= most_members || kept >= most_in_group) {
            group.members_kept = false;
            members.resize(group.members_from);
            return;
        }
        if (floor > group.highest_kept) {
            group.highest_kept = floor;
            group.highest_at = members.size();
        }
        // Most calls keep a few members, if any: room for many would go
        // through the slower path of the allocator at every call. Past
        // that, room for as many as a long text's groups tend to keep, at
        // once rather than doubling.
        if (members.size() == members.capacity())
            members.reserve(members.capacity() == 0 ? first_room
                                                    : std::max(2 * members.capacity(), most_members_at_once));
        // Written in place a field at a time: read whole, the candidate
        // would wait on the narrow stores of its fields.
        Member& member = members.emplace_back();
        member.window.start = candidate.window.start;
        member.window.end = candidate.window.end;
        member.window.first = candidate.window.first;
        member.window.last = candidate.window.last;
        member.floor = floor;
        member.exact = candidate.judgement.exact;
        group.members_full = keeps_lowest && kept + 1 >= most_in_group;
    };
    const auto keep = [&](const Candidate& candidate) __attribute__((noinline)) { keep_inlined(candidate); };
    // Extends the open group by the furthest-reaching passing window that
    // starts within it; false when none passes.
    // What it scores is put back in window order, so that `scored` stays
    // sorted without a pass over it that would not poll.
    // Windows are measured side by side where the floors can: up to four
    // that must be measured, and would be measured one after another.
    const bool waits = floors.decides_together();
    constexpr std::size_t most_waiting = detail::SearchLanes::lanes;
    const auto measured = [&](const Judgement& judgement) {
        return !judgement.exact && !(every_window_passes || judgement.ceiling <= threshold);
    };
    const auto extend = [&]() {
        const std::size_t before = scored.size();
        bool extended = false;
        const auto extend_by = [&](const Candidate& candidate, const Comparison& verdict) {
            open->end = std::max(open->end, candidate.window.end);
            open->best = std::min(open->best, verdict.score);
            extended = true;
        };
        for (auto candidate = within.rbegin(); candidate != within.rend() && !extended;) {
            // The next ones that must be measured, together: those past the
            // first that passes are kept as scored, like those before it.
            std::size_t firsts[most_waiting], lasts[most_waiting], count = 0;
            for (auto next = candidate;
                 waits && next != within.rend() && count < most_waiting && measured(next->judgement); ++next) {
                cancel.poll(detail::comparison_cost(metric, next->window.last - next->window.first, p));
                firsts[count] = next->window.first;
                lasts[count++] = next->window.last;
            }
            Comparison verdicts[most_waiting];
            if (count > 1 && floors.decide_together(firsts, lasts, count, verdicts)) {
                for (std::size_t k = 0; k < count; ++k, ++candidate) {
                    append_polled(scored, Scored{candidate->window.start, verdicts[k].score}, cancel);
                    if (!extended && verdicts[k].accepted) extend_by(*candidate, verdicts[k]);
                }
                continue;
            }
            const Comparison verdict = passes(*candidate, true);
            if (verdict.accepted) extend_by(*candidate, verdict);
            ++candidate;
        }
        std::reverse(scored.begin() + static_cast<std::ptrdiff_t>(before), scored.end());
        within.clear();
        return extended;
    };
    const auto close = [&]() {
        open->members_to = members.size();
        append_polled(groups, *open, cancel);
        open.reset();
    };
    // A window that starts within the open group joins it: where most
    // windows pass, most come here, and this much is done in the walk. Its
    // window and judgement come as values, so that the walk stores nothing
    // for the windows it leaves.
    // `inlined` tells whether keep() is inlined here, `notes` whether a
    // window of floor 0 is noted (by the first walk; take() notes those it
    // is handed, where the walk notes them).
    const auto join = [&](auto inlined, auto notes, uint64_t start, uint64_t end, uint64_t first, uint64_t last,
                          double floor, double ceiling, bool exact) __attribute__((always_inline))
    {
        const Candidate candidate{WindowSpan{start, end, first, last}, Judgement{floor, ceiling, exact}};
        // Written where it waits from the values, not copied from
        // `candidate`: that one is stored a field at a time for keep(), and
        // read back whole it would wait on those narrow stores.
        Candidate& waiting = within.append();
        waiting.window.start = start;
        waiting.window.end = end;
        waiting.window.first = first;
        waiting.window.last = last;
        waiting.judgement.floor = floor;
        waiting.judgement.ceiling = ceiling;
        waiting.judgement.exact = exact;
        if constexpr (decltype(inlined)::value)
            keep_inlined(candidate);
        else if (open->members_kept) // not worth a call where members are not kept
            keep(candidate);
        // A floor of 0 is never above the seed's: it is noted behind the
        // compare that every window joining makes anyway.
        if constexpr (decltype(notes)::value) {
            if (floor <= open->seed_floor) {
                if (floor == 0.0) note_zero(start, end, first, last);
                if (floor < open->seed_floor) {
                    open->seed = candidate.window;
                    open->seed_floor = floor;
                }
            }
        } else if (floor < open->seed_floor) {
            open->seed = candidate.window;
            open->seed_floor = floor;
        }
    };
    // Any other window whose floor leaves it: it closes the open group
    // or opens one. `known`, where given, is its verdict, measured already.
    const auto take_known = [&](const Candidate& candidate, const Comparison* known) {
        const WindowSpan& window = candidate.window;
        const Judgement& judgement = candidate.judgement;
        if (open && window.start > open->end && !(extend() && window.start <= open->end)) close();
        if (open) {
            if (!known) {
                join(std::false_type{}, std::false_type{}, window.start, window.end, window.first, window.last,
                     judgement.floor, judgement.ceiling, judgement.exact);
                return;
            }
            // Measured while it waited: it joins with its score, which
            // neither the group nor its walk works out again.
            append_polled(scored, Scored{window.start, known->score}, cancel);
            join(std::false_type{}, std::false_type{}, window.start, window.end, window.first, window.last,
                 known->score, known->score, true);
            return;
        }
        Comparison verdict;
        if (known) {
            verdict = *known;
            if (verdict.accepted) append_polled(scored, Scored{window.start, verdict.score}, cancel);
        } else
            verdict = passes(candidate, false);
        if (verdict.accepted) {
            open = TokenGroup{window.start, window.end, window, judgement.floor, verdict.score};
            open->members_from = members.size();
            open->members_kept = keeps_members;
            keep(candidate);
        }
    };
    // Where no group is open, the windows that would open one wait, to be
    // measured side by side: most fail, and one pass's steps form a chain,
    // so four measured together take about as long as one. Once one opens
    // a group, the others join it or close it as they would have.
    Candidate waiting[most_waiting];
    std::size_t waiting_count = 0;
    const auto settle_waiting = [&]() {
        std::size_t firsts[most_waiting], lasts[most_waiting], count = 0;
        for (std::size_t k = 0; k < waiting_count; ++k)
            if (measured(waiting[k].judgement)) {
                const WindowSpan& window = waiting[k].window;
                cancel.poll(detail::comparison_cost(metric, window.last - window.first, p));
                firsts[count] = window.first;
                lasts[count++] = window.last;
            }
        Comparison verdicts[most_waiting];
        const bool together = count > 1 && floors.decide_together(firsts, lasts, count, verdicts);
        const std::size_t waited = waiting_count;
        waiting_count = 0;
        for (std::size_t k = 0, verdict = 0; k < waited; ++k)
            take_known(waiting[k], together && measured(waiting[k].judgement) ? &verdicts[verdict++] : nullptr);
    };
    // Out of the walk's loop, which most windows leave at their floor.
    const auto take = [&](uint64_t start, uint64_t end, uint64_t first, uint64_t last, double floor, double ceiling,
                          bool exact) __attribute__((noinline))
    {
        const Candidate candidate{WindowSpan{start, end, first, last}, Judgement{floor, ceiling, exact}};
        if (floor == 0.0) note_zero(start, end, first, last);
        if (waits && (waiting_count > 0 || measured(candidate.judgement))) {
            // A window past the open group closes it (or the group takes
            // it in) first: windows wait only while no group is open.
            if (waiting_count == 0 && open && !(extend() && start <= open->end)) close();
            if (open) {
                join(std::false_type{}, std::false_type{}, start, end, first, last, floor, ceiling, exact);
                return;
            }
            waiting[waiting_count++] = candidate;
            if (waiting_count == most_waiting) settle_waiting();
            return;
        }
        take_known(candidate, nullptr);
    };
    // The first walk, compiled for each way of judging a window.
    // What it reads at every window is copied into it, not reached through
    // references.
    // The Jaro pair's walk polls at each window, as its visits do much
    // more, in many registers, than a poll through memory: an account of
    // the block's windows held across them cost more than it saved.
    // With `cuts`, the Jaro pair's judge is told the lowest floor that the
    // open group left out (see WindowFloors::floor_windows_by()).
    const auto first_walk = [&](auto judge_window, auto inlined_keep, auto notes_zeros, auto cuts,
                                auto polls_each_window) {
        constexpr bool polls_each = decltype(polls_each_window)::value;
        windows.template walk<!polls_each>(
            0, [ =, &cancel, &open, &join, &take, &floors ](uint64_t start, uint64_t end)
                   __attribute__((always_inline)) {
                if constexpr (polls_each) cancel.poll(end - start + 1);
                const WindowSpan window = span_of(text, start, end, trims);
                const Judgement judgement = judge_window(start, window.first, window.last);
                // A window ruled out is left at once, without a comparison.
                if (judgement.floor == infinite_score || !(judgement.floor <= threshold)) return true;
                if (open && start <= open->end) {
                    join(inlined_keep, notes_zeros, start, end, window.first, window.last, judgement.floor,
                         judgement.ceiling, judgement.exact);
                } else {
                    take(start, end, window.first, window.last, judgement.floor, judgement.ceiling, judgement.exact);
                    if constexpr (decltype(cuts)::value)
                        floors.floor_windows_by(open ? open->lowest_left : infinite_score, open ? open->end : 0);
                }
                return true;
            });
    };
    // Runs run(family) with the floors' family as a constant, for walks
    // compiled for each.
    using Family = typename WindowFloors<Char>::Family;
    const auto for_family = [&](auto&& run) {
        switch (floors.family()) {
        case Family::affix: run(std::integral_constant<Family, Family::affix>{}); break;
        case Family::similarity: run(std::integral_constant<Family, Family::similarity>{}); break;
        case Family::hamming: run(std::integral_constant<Family, Family::hamming>{}); break;
        case Family::searched: run(std::integral_constant<Family, Family::searched>{}); break;
        case Family::subsequence: run(std::integral_constant<Family, Family::subsequence>{}); break;
        case Family::crowded: run(std::integral_constant<Family, Family::crowded>{}); break;
        case Family::swept: run(std::integral_constant<Family, Family::swept>{}); break;
        case Family::laned: run(std::integral_constant<Family, Family::laned>{}); break;
        case Family::shared: run(std::integral_constant<Family, Family::shared>{}); break;
        }
    };
    // Where every window passes, a rough floor is all that is wanted.
    if (every_window_passes) {
        first_walk(
            [&](uint64_t, uint64_t first, uint64_t last) { return Judgement::at_least(floors.rough(first, last)); },
            std::false_type{}, std::false_type{}, std::false_type{}, std::false_type{});
    } else {
        for_family([&](auto family) {
            constexpr Family judged_as = decltype(family)::value;
            constexpr bool notes_zeros =
                judged_as == Family::subsequence || judged_as == Family::crowded || judged_as == Family::swept ||
                judged_as == Family::laned;
            zeros_known = notes_zeros;
            // `scores` as for WindowFloors::judge_as.
            const auto walk_with = [&](auto vectors, auto scores) {
                first_walk(
                    [&floors, threshold ](uint64_t start, uint64_t first, uint64_t last)
                        __attribute__((always_inline)) {
                            return floors.template judge_as<decltype(family)::value, true, decltype(vectors)::value,
                                                            decltype(scores)::value>(start, first, last, threshold);
                        },
                    std::bool_constant<decltype(family)::value == Family::similarity ||
                                       decltype(family)::value == Family::swept>{},
                    std::bool_constant<notes_zeros>{},
                    std::bool_constant<decltype(family)::value == Family::similarity && !decltype(scores)::value>{},
                    std::bool_constant<decltype(family)::value == Family::similarity>{});
            };
            using Floors = WindowFloors<Char>;
            // The Jaro pair counts what each window shares at every window:
            // its walk is compiled for the way the counts are kept.
            if constexpr (decltype(family)::value == Family::similarity) {
                if (floors.scores_in_walk()) {
                    if (floors.shared_vectors() == 1)
                        walk_with(std::integral_constant<std::size_t, 1>{}, std::true_type{});
                    else
                        walk_with(std::integral_constant<std::size_t, detail::SlidingShared<Char>::byte_vector>{},
                                  std::true_type{});
                    return;
                }
                switch (floors.shared_vectors()) {
                case 1: walk_with(std::integral_constant<std::size_t, 1>{}, std::false_type{}); return;
                case 2: walk_with(std::integral_constant<std::size_t, 2>{}, std::false_type{}); return;
                case 3: walk_with(std::integral_constant<std::size_t, 3>{}, std::false_type{}); return;
                case 4: walk_with(std::integral_constant<std::size_t, 4>{}, std::false_type{}); return;
                case detail::SlidingShared<Char>::byte_vector:
                    walk_with(std::integral_constant<std::size_t, detail::SlidingShared<Char>::byte_vector>{},
                              std::false_type{});
                    return;
                default: break;
                }
            }
            walk_with(std::integral_constant<std::size_t, Floors::any_vectors>{}, std::false_type{});
        });
    }
    if (waiting_count > 0) settle_waiting();
    if (open) {
        extend();
        close();
    }

    const auto score_of_window = [&](const WindowSpan& window, double bound) {
        const auto found = std::lower_bound(scored.begin(), scored.end(), window.start,
                                            [](const Scored& item, uint64_t start) { return item.start < start; });
        if (found != scored.end() && found->start == window.start)
            return Comparison{found->score <= threshold, found->score};
        return score(window, bound);
    };
    floors.rewind();
    std::vector<Pick> picks;
    std::vector<std::pair<double, std::size_t>> order;
    // A group whose members the first walk all scored, none left out (as
    // where the Jaro pair scores in its walk), is settled from their scores
    // at once: its pick is among those of the lowest score that passes and
    // is not above the group's lowest, and they are handed over in window
    // order after the window spanning the group, as taking them lowest
    // first from a heap would hand them over. False, with nothing handed
    // over, for any other group.
    const auto settle_from_scores = [&](TokenGroup& group) {
        const auto from = members.begin() + static_cast<std::ptrdiff_t>(group.members_from);
        const auto to = members.begin() + static_cast<std::ptrdiff_t>(group.members_to);
        if (group.lowest_left != infinite_score ||
            !std::all_of(from, to, [](const Member& member) { return member.exact; }))
            return false;
        cancel.poll(static_cast<std::size_t>(to - from));
        double best = group.best;
        bool found = false;
        for (auto member = from; member != to; ++member)
            if (member->floor <= threshold && member->floor <= best) {
                best = member->floor;
                found = true;
            }
        group.best = best;
        group.open(solver);
        if (found)
            for (auto member = from; member != to; ++member)
                if (member->floor <= best) solver.add(Match{member->window.start, member->window.end, member->floor});
        return true;
    };
    // Scores a group from its kept members; false where the group must be
    // walked. Out of the loop, so that the walk is compiled as it is for
    // the metrics whose groups are always walked.
    const auto settle_from_members = [&](TokenGroup& group) __attribute__((noinline)) {
        if (settle_from_scores(group)) return true;
        // The first walk's scores, in window order like the members
        // (put back in it where some were left out).
        if (group.lowest_left != infinite_score)
            std::sort(members.begin() + static_cast<std::ptrdiff_t>(group.members_from),
                      members.begin() + static_cast<std::ptrdiff_t>(group.members_to),
                      [](const Member& a, const Member& b) { return a.window.start < b.window.start; });
        auto cached = std::lower_bound(scored.begin(), scored.end(), group.first,
                                       [](const Scored& item, uint64_t start) { return item.start < start; });
        order.clear();
        order.reserve(group.members_to - group.members_from);
        for (std::size_t index = group.members_from; index < group.members_to; ++index) {
            Member& member = members[index];
            while (cached != scored.end() && cached->start < member.window.start)
                ++cached;
            if (cached != scored.end() && cached->start == member.window.start) {
                member.floor = cached->score;
                member.exact = true;
            }
            if (member.floor <= group.best) order.emplace_back(member.floor, index);
        }
        // Taken lowest first from a heap: most are never taken, as their
        // floors lie above the lowest score once it is found.
        cancel.poll(order.size());
        const auto later = [](const std::pair<double, std::size_t>& a, const std::pair<double, std::size_t>& b) {
            return a > b;
        };
        std::make_heap(order.begin(), order.end(), later);
        picks.clear();
        picks.reserve(order.size());
        for (auto heap_end = order.end(); heap_end != order.begin() && order.front().first <= group.best;) {
            std::pop_heap(order.begin(), heap_end, later);
            --heap_end;
            const std::size_t index = heap_end->second;
            const Member& member = members[index];
            const Comparison verdict = member.exact ? Comparison{member.floor <= threshold, member.floor}
                                                    : score(member.window, group.best);
            if (verdict.accepted && verdict.score <= group.best) {
                group.best = verdict.score;
                picks.push_back(Pick{index, verdict.score});
            }
        }
        // Handed over in window order: those of the group's lowest score,
        // unless a window left out may score as low (then the group is
        // walked, from the lowest score found).
        if (group.lowest_left > group.best) {
            std::sort(picks.begin(), picks.end(), [](const Pick& a, const Pick& b) { return a.index < b.index; });
            group.open(solver);
            for (const Pick& pick : picks)
                if (pick.score <= group.best)
                    solver.add(Match{members[pick.index].window.start, members[pick.index].window.end, pick.score});
            return true;
        }
        return false;
    };
    // Hands over the group's windows that are the pattern itself, where
    // one is: its lowest score is then 0, and only they score it, so
    // nothing else is scored. False, with nothing handed over, where none is.
    const std::u32string& pattern = comparator.pattern();
    const auto is_pattern_window = [&](const WindowSpan& window) {
        return is_pattern(text.substr(window.first, window.last - window.first), pattern);
    };
    // Out of line: inlined, it took room that the walks' inlining wants.
    const auto settle_at_zero = [&](TokenGroup& group) __attribute__((noinline)) {
        auto from = std::lower_bound(floored_at_zero.begin(), floored_at_zero.end(), group.first,
                                     [](const WindowSpan& window, uint64_t start) { return window.start < start; });
        auto to = from;
        while (to != floored_at_zero.end() && to->start <= group.end)
            ++to;
        cancel.poll(static_cast<std::size_t>(to - from) * (p + 1));
        bool held = false;
        for (; from != to; ++from)
            if (is_pattern_window(*from)) {
                solver.add(Match{from->start, from->end, 0.0});
                held = true;
            }
        return held;
    };
    for (TokenGroup& group : groups) {
        if (group.members_kept && settle_from_members(group)) continue;
        group.open(solver);
        if (zeros_known && settle_at_zero(group)) continue;
        const Comparison seed = score_of_window(group.seed, group.best);
        if (seed.accepted) group.best = std::min(group.best, seed.score);
        // What the first walk scored in the group comes in window order too,
        // and needs no floor.
        auto cached = std::lower_bound(scored.begin(), scored.end(), group.first,
                                       [](const Scored& item, uint64_t start) { return item.start < start; });
        for_family([&](auto family) {
            windows.walk(group.first, [&](uint64_t start, uint64_t end) {
                if (start > group.end) return false;
                while (cached != scored.end() && cached->start < start)
                    ++cached;
                Comparison verdict;
                if (cached != scored.end() && cached->start == start) {
                    if (cached->score > group.best) return true;
                    verdict = Comparison{cached->score <= threshold, cached->score};
                } else {
                    const WindowSpan window = span_of(text, start, end, trims);
                    const Judgement judgement =
                        floors.template judge_as<decltype(family)::value>(start, window.first, window.last, group.best);
                    if (judgement.floor > group.best) return true;
                    verdict = judgement.exact ? Comparison{judgement.floor <= threshold, judgement.floor}
                                              : score(window, group.best);
                }
                // A window scored above the group's lowest so far cannot be its
                // pick (and its score may only be a floor).
                if (verdict.accepted && verdict.score <= group.best) {
                    group.best = std::min(group.best, verdict.score);
                    solver.add(Match{start, end, verdict.score});
                }
                return true;
            });
        });
    }
}

// A short call: a text of at most 64 code points whose folding changes only
// ASCII units, a known metric and a trimmed pattern of one to 64 code
// points. The tokens are cut in place and every window is scored, in order,
// by a scorer of one word: no heap beyond the result list. False, with
// nothing done, for another call.
template <typename Char>
bool short_fuzzy_token(Units<Char> raw, std::u32string_view folded_pattern, std::u32string_view separator,
                       const SearchOptions& options, MatchList& matches, Cancellation& cancel)
{
    constexpr std::size_t most = detail::WordScorer::most_candidate;
    const std::u32string_view trimmed_pattern = trim_white_space(folded_pattern);
    if (raw.size() > most || !options.metric.known() || !detail::WordScorer::fits(trimmed_pattern)) return false;
    const uint64_t window_size = pattern_token_count(folded_pattern, separator);
    if (window_size == 0) return false; // fails where it is due
    Char folded[most];
    if (!fold_ascii_units(raw, options.case_insensitive, options.special_char_insensitive, folded)) return false;
    const Units<Char> text(folded, raw.size());
    InlineVector<Token, most + 1> tokens;
    InlineVector<Char, most> narrow_separator;
    bool fits = true;
    for (const char32_t c : separator) {
        fits = fits && c <= largest_code_point<Char>();
        narrow_separator.push_back(static_cast<Char>(c));
    }
    if (!fits) { // it occurs nowhere: the text, if any, is one token
        if (!text.empty()) tokens.push_back(Token{0, text.size()});
    } else {
        cut_tokens(text, Units<Char>(narrow_separator.data(), narrow_separator.size()), cancel,
                   [&](Token token) { tokens.push_back(token); });
    }
    const detail::WordScorer scorer(trimmed_pattern, options.metric.resolve(), options.threshold_kind,
                                    options.threshold);
    ConflictSolver solver(text, options.strategies, &cancel);
    for (std::size_t first = 0; first + window_size <= tokens.size(); ++first) {
        const uint64_t start = tokens[first].start, end = tokens[first + window_size - 1].end;
        const Comparison verdict = scorer.compare_or_refuse(trim_white_space(text.substr(start, end - start)));
        if (verdict.accepted) solver.add(Match{start, end, verdict.score});
    }
    matches = solver.finish();
    return true;
}

template <typename Char>
MatchList fuzzy_token_units(Units<Char> raw, std::u32string_view folded_pattern, std::u32string_view separator,
                            const SearchOptions& options, Cancellation& cancel, CandidateSink* sink = nullptr)
{
    if (MatchList matches; !sink && short_fuzzy_token(raw, folded_pattern, separator, options, matches, cancel))
        return matches;
    const FoldedUnits<Char> folded =
        fold_units(raw, options.case_insensitive, options.special_char_insensitive, cancel);
    const Units<Char> text = folded.view();
    const uint64_t window_size = pattern_token_count(folded_pattern, separator);
    FuzzyComparator comparator(std::u32string(trim_white_space(std::u32string_view(folded_pattern))), options.metric,
                               options.threshold, options.threshold_kind);

    TokenWindows<Char> windows(text, separator, window_size, cancel);
    // An unknown metric must fail only where the first comparison is due,
    // which the judge of one window at a time sees to.
    return detail::solve_or_hand_over(text, options, sink, cancel, [&](CandidateSink& solver) {
        if (solver.solves_whole_groups() && !options.strategies.empty() &&
            options.strategies.front() == Strategy::best_match && options.metric.known() && options.threshold >= 0.0 &&
            window_size > 0) {
            judge_best_first(text, windows, comparator, comparator.metric(), solver, cancel);
        } else {
            JudgeEach<Char> judge(text, windows.trims(), comparator, solver, cancel);
            windows.walk(0, [&](uint64_t start, uint64_t end) {
                judge.judge(start, end);
                return true;
            });
        }
    });
}

} // namespace

void find_fuzzy_token_candidates(const UnitText& text, const std::u32string& folded_pattern,
                                 const std::u32string& separator, const SearchOptions& options, CandidateSink& sink,
                                 Cancellation& cancel)
{
    text.visit([&](auto units) { fuzzy_token_units(units, folded_pattern, separator, options, cancel, &sink); });
}

MatchList fuzzy_token_extract(TextInput s, TextInput pattern, TextInput tokenizer_pattern, const SearchOptions& options,
                              Cancellation cancel)
{
    const bool ci = options.case_insensitive, sci = options.special_char_insensitive;
    const UnitText text = std::move(s).units(cancel);
    const CodePoints folded_pattern = fold_pattern(std::move(pattern), ci, sci, cancel);
    const CodePoints separator = fold_pattern(std::move(tokenizer_pattern), ci, sci, cancel);
    return text.visit([&](auto units) { return fuzzy_token_units(units, folded_pattern, separator, options, cancel); });
}

} // namespace tessarin

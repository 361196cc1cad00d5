#include "extract/tiny.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>
#include <type_traits>

#include "comparator/bounds.hpp"
#include "comparator/word.hpp"
#include "conflict_solver/mod.hpp"
#include "extract/window_shape.hpp"
#include "iterator/tokens.hpp"
#include "text/fold.hpp"

namespace tessarin {
namespace {

using std::uint64_t;
using Text = Units<char>;

// What folding and trimming need to know of a byte, worked out once: its
// folded form under each choice of flags, and whether it is Latin-1 White
// Space.
struct ByteTables {
    char folded[4][256]; // by case_insensitive + 2 * special_char_insensitive
    bool white_space[256];

    constexpr ByteTables() : folded{}, white_space{}
    {
        for (int flags = 0; flags < 4; ++flags) {
            const AsciiFold fold = AsciiFold::of((flags & 1) != 0, (flags & 2) != 0);
            for (int c = 0; c < 256; ++c)
                folded[flags][c] = fold(static_cast<char>(c));
        }
        for (int c = 0; c < 256; ++c)
            white_space[c] = is_white_space(static_cast<char32_t>(c));
    }
};
constexpr ByteTables byte_tables;

[[gnu::always_inline]] inline bool white_byte(char unit) noexcept
{
    return byte_tables.white_space[static_cast<unsigned char>(unit)];
}

// trim_white_space, for units of one byte.
[[gnu::always_inline]] inline Text trim_tiny(Text text) noexcept
{
    const char* begin = text.data();
    const char* end = begin + text.size();
    while (begin < end && white_byte(*begin))
        ++begin;
    while (end > begin && white_byte(end[-1]))
        --end;
    return Text(begin, static_cast<std::size_t>(end - begin));
}

// A folded input: on the stack, or the input itself when folding would
// change nothing in it.
struct TinyFolded {
    char units[tiny_most];
    Text folded;

    Text view() const noexcept { return folded; }
};

// Whether `input` holds a line feed, a word at a time: a call to memchr
// costs more than the whole search on inputs this short.
template <typename Word> [[gnu::always_inline]] inline bool line_feed_in(const char* at) noexcept
{
    constexpr Word ones = static_cast<Word>(0x0101010101010101), highs = static_cast<Word>(0x8080808080808080);
    Word word;
    std::memcpy(&word, at, sizeof word);
    word ^= static_cast<Word>(ones * '\n'); // a line feed becomes a zero byte
    return static_cast<Word>((word - ones) & ~word & highs) != 0;
}
[[gnu::always_inline]] inline bool has_line_feed(Text input) noexcept
{
    const char* data = input.data();
    const std::size_t size = input.size();
    if (size < 4) {
        for (std::size_t i = 0; i < size; ++i)
            if (data[i] == '\n') return true;
        return false;
    }
    // Whole words, the last one ending with the input (overlapping the one
    // before it where the size is not a multiple of a word).
    if (size < 8) return line_feed_in<std::uint32_t>(data) || line_feed_in<std::uint32_t>(data + size - 4);
    for (std::size_t at = 0; at + 8 < size; at += 8)
        if (line_feed_in<uint64_t>(data + at)) return true;
    return line_feed_in<uint64_t>(data + size - 8);
}

// Folds `input` into `out` by the table of `flags`; false when folding it
// would change more than its ASCII units (the flags lower-case beyond
// ASCII).
[[gnu::noinline]] bool fold_tiny_by_table(Text input, int flags, TinyFolded& out) noexcept
{
    const char* map = byte_tables.folded[flags];
    unsigned char seen = 0;
    for (std::size_t i = 0; i < input.size(); ++i) {
        const auto unit = static_cast<unsigned char>(input[i]);
        seen |= unit;
        out.units[i] = map[unit];
    }
    out.folded = Text(out.units, input.size());
    return flags == 0 || seen < 0x80;
}
// Folds `input` into `out`, or views it as it is where folding changes
// nothing; false when it is too long, or as fold_tiny_by_table.
[[gnu::always_inline]] inline bool fold_tiny(Text input, const SearchOptions& options, TinyFolded& out) noexcept
{
    if (input.size() > tiny_most) return false;
    const int flags = int{options.case_insensitive} + 2 * int{options.special_char_insensitive};
    // Without the flags only line feeds change, and most inputs have none.
    if (flags == 0 && !has_line_feed(input)) {
        out.folded = input;
        return true;
    }
    return fold_tiny_by_table(input, flags, out);
}

// The conflict solver's reduction, one group at a time as the candidates
// come in start order: a group keeps its best candidate so far by the
// strategies' values compared in order, the earliest among equals.
class TinySolver {
public:
    TinySolver(Text text, const StrategyList& strategies, TinyMatches& out) noexcept
        : text_(text), strategies_(strategies), out_(out)
    {
    }

    void add(const Match& candidate) noexcept
    {
        if (open_ && candidate.start <= end_) {
            end_ = std::max(end_, candidate.end);
            if (!strategies_.empty() && preferred(candidate)) best_ = candidate;
            return;
        }
        if (open_) out_.push_back(best_);
        best_ = candidate;
        end_ = candidate.end;
        open_ = true;
    }

    // Whether a candidate [start, end), if passing, would change nothing:
    // it falls within the open group, and the group keeps its first
    // candidate (no strategy), or its best has the lowest score there is
    // and the lowest score alone decides.
    bool settled(uint64_t start, uint64_t end) const noexcept
    {
        if (!open_ || start > end_ || end > end_) return false;
        return strategies_.empty() ||
               (strategies_.size() == 1 && strategies_.front() == Strategy::best_match && best_.score == 0.0);
    }

    void finish() noexcept
    {
        if (open_) out_.push_back(best_);
        open_ = false;
    }

private:
    // Whether `challenger` wins over the group's best so far.
    bool preferred(const Match& challenger) const noexcept
    {
        for (const Strategy strategy : strategies_) {
            std::uint64_t mine = 0, theirs = 0;
            switch (strategy) {
            case Strategy::best_match:
                if (challenger.score != best_.score) return challenger.score < best_.score;
                continue;
            case Strategy::shortest:
            case Strategy::longest:
                mine = challenger.end - challenger.start;
                theirs = best_.end - best_.start;
                if (strategy == Strategy::longest) std::swap(mine, theirs);
                break;
            case Strategy::minimum_isolated_character:
                mine = ConflictSolver::isolated_characters(text_, challenger);
                theirs = ConflictSolver::isolated_characters(text_, best_);
                break;
            case Strategy::unknown: continue;
            }
            if (mine != theirs) return mine < theirs;
        }
        return false;
    }

    Text text_;
    const StrategyList& strategies_;
    TinyMatches& out_;
    Match best_{};
    uint64_t end_ = 0;
    bool open_ = false;
};

bool equal_trimmed(Text window, Text trimmed_pattern) noexcept
{
    return trim_tiny(window) == trimmed_pattern;
}

void exact_raw(Text text, Text pattern, TinySolver& solver) noexcept
{
    const uint64_t window = pattern.size(), n = text.size();
    if (window == 0) return;
    const Text trimmed = trim_tiny(pattern);
    for (uint64_t start = 0; start < n; ++start) {
        // A matching window begins with the pattern or with white space.
        if (!trimmed.empty() && text[start] != trimmed[0] && !white_byte(text[start])) continue;
        const uint64_t end = std::min(start + window, n);
        if (equal_trimmed(text.substr(start, end - start), trimmed)) solver.add(Match{start, end, 0.0});
    }
}

// The positions in `text` (at most 64 units) that hold `unit`, as a bit
// set, a word at a time: each byte equal to the unit becomes a zero byte,
// whose mark (its high bit, found without carries from its neighbours) is
// gathered into the byte's bit by one multiplication.
template <typename Word> [[gnu::always_inline]] inline uint64_t hits_in(const char* at, char unit) noexcept
{
    constexpr int bits = 8 * sizeof(Word);
    constexpr Word ones = static_cast<Word>(0x0101010101010101), lows = static_cast<Word>(0x7F7F7F7F7F7F7F7F);
    // Moves byte i's lowest bit to bit bits - 8 + i.
    constexpr Word gather = static_cast<Word>(0x0102040810204080 >> (64 - bits));
    Word word;
    std::memcpy(&word, at, sizeof word);
    word ^= static_cast<Word>(ones * static_cast<unsigned char>(unit));
    const Word zero_marks = static_cast<Word>(~(((word & lows) + lows) | word | lows));
    return static_cast<Word>((zero_marks >> 7) * gather) >> (bits - 8);
}
uint64_t positions_of(Text text, char unit) noexcept
{
    const char* data = text.data();
    const std::size_t size = text.size();
    uint64_t hits = 0;
    if (size < 8) {
        for (std::size_t i = 0; i < size; ++i)
            hits |= uint64_t{data[i] == unit} << i;
        return hits;
    }
    // Whole words, the last one ending with the text (overlapping the one
    // before it where the size is not a multiple of a word).
    for (std::size_t at = 0; at + 8 < size; at += 8)
        hits |= hits_in<uint64_t>(data + at, unit) << at;
    return hits | hits_in<uint64_t>(data + size - 8, unit) << (size - 8);
}

// How many pieces `separator` cuts the pattern into: occurrences found left
// to right without overlapping, each piece counted, empty ones included;
// an empty separator makes each code point a piece.
uint64_t tiny_token_count(Text pattern, Text separator) noexcept
{
    if (separator.empty()) return pattern.size();
    uint64_t pieces = 1;
    if (separator.size() == 1) {
        for (const char unit : pattern)
            pieces += unit == separator[0];
        return pieces;
    }
    for (std::size_t at = pattern.find(separator); at != Text::npos;
         at = pattern.find(separator, at + separator.size()))
        ++pieces;
    return pieces;
}

// The tokens of the text, cut where cut_tokens cuts them, by probing the
// positions of the separator's first unit: a text this short needs no
// occurrence finder.
struct TinyTokens {
    Token items[tiny_most + 1];
    std::size_t size = 0;

    TinyTokens(Text text, Text separator) noexcept
    {
        if (separator.empty()) {
            items[size++] = Token{0, 0};
            return;
        }
        const uint64_t width = separator.size(), n = text.size();
        uint64_t start = 0;
        for (uint64_t candidates = positions_of(text, separator[0]); candidates != 0; candidates &= candidates - 1) {
            const auto position = static_cast<uint64_t>(__builtin_ctzll(candidates));
            if (position + width > n) break;
            if (width > 1 && std::memcmp(text.data() + position + 1, separator.data() + 1, width - 1) != 0) continue;
            if (position + width == start + 1) {
                start = position + width;
            } else if (position >= start) {
                items[size++] = Token{start, position};
                start = position + width;
            }
        }
        if (start != n) items[size++] = Token{start, n};
    }

    // Calls visit(start, end) for each run of `count` tokens, in order.
    template <typename Visit> void for_each_window(uint64_t count, Visit&& visit) const
    {
        for (std::size_t first = 0; first + count <= size; ++first)
            visit(items[first].start, items[first + count - 1].end);
    }
};

// Judges fuzzy windows, which come with both ends moving forward (now and
// then the end back): a window that shares too few code points with the
// pattern to pass is ruled out by counts kept as its ends move; a window
// equal to the pattern scores 0 under every metric; only the others are
// scored, by a scorer made at the first of them.
class TinyJudge {
public:
    // `metric` is the options' metric, known.
    TinyJudge(Text text, Text pattern, Metric metric, const SearchOptions& options) noexcept
        : text_(text), pattern_(pattern), options_(options), metric_(metric),
          count_limit_(count_limit(options.threshold))
    {
        for (const char unit : pattern)
            ++room_[static_cast<unsigned char>(unit)];
        if (bound() == Bound::by_length) std::fill(std::begin(needed_), std::end(needed_), unknown);
    }

    // How the shared-count bound is checked: under an absolute threshold
    // the edit families' floor is a plain count, compared as it is;
    // otherwise by the least count per window length.
    enum class Bound { by_length, edit_count, indel_count };
    Bound bound() const noexcept
    {
        if (options_.threshold_kind != ThresholdKind::Absolute) return Bound::by_length;
        switch (traits_of(metric_).bound) {
        case BoundFamily::edit: return Bound::edit_count;
        case BoundFamily::indel: return Bound::indel_count;
        default: return Bound::by_length;
        }
    }

    // Most windows are ruled out here, by their shared count alone.
    template <Bound bound> [[gnu::always_inline]] Comparison judge(uint64_t start, uint64_t end) noexcept
    {
        // Code points shared by the untrimmed window are no fewer than by
        // the trimmed one, so the bound stays safe.
        const uint64_t shared = shared_in(start, end);
        if (ruled_out_at_any_length<bound>(shared)) return Comparison{false, 0.0};
        const Text candidate = trim_tiny(text_.substr(start, end - start));
        if (ruled_out<bound>(candidate.size(), shared)) return Comparison{false, 0.0};
        return score(candidate, shared);
    }

    // The windows of one length per start, `width` code points or up to the
    // end of the text: each is the one before moved on by a code point, so
    // the shared count is kept in a local as the ends slide. Each window is
    // handed to the solver unless it can change nothing.
    template <Bound bound> void slide(uint64_t width, TinySolver& solver) noexcept
    {
        const char* text = text_.data();
        const uint64_t n = text_.size();
        uint64_t shared = 0, end = std::min(width, n);
        for (uint64_t i = 0; i < end; ++i)
            take(text[i], shared);
        for (uint64_t start = 0; start < n; ++start) {
            if (start > 0) {
                leave(text[start - 1], shared);
                if (end < n) take(text[end++], shared);
            }
            if (ruled_out_at_any_length<bound>(shared) || solver.settled(start, end)) continue;
            const Text candidate = trim_tiny(Text(text + start, end - start));
            if (ruled_out<bound>(candidate.size(), shared)) continue;
            const Comparison verdict = score(candidate, shared);
            if (verdict.accepted) solver.add(Match{start, end, verdict.score});
        }
    }

private:
    // The greatest whole count that does not exceed an absolute threshold,
    // so that a count compares with it as with the threshold: -1 when every
    // count exceeds it, the largest there is when none does (NaN too).
    static std::int64_t count_limit(double threshold) noexcept
    {
        if (std::isnan(threshold) || threshold >= 0x1p62) return std::numeric_limits<std::int64_t>::max();
        if (threshold < 0.0) return -1;
        return static_cast<std::int64_t>(threshold); // truncation is the floor here
    }

    // Whether a window sharing `shared` code points is ruled out whatever
    // its trimmed length: under the count bounds, the pattern's code points
    // that it lacks are each an edit at the least. Trimming is then spared.
    template <Bound bound> [[gnu::always_inline]] bool ruled_out_at_any_length(uint64_t shared) const noexcept
    {
        if constexpr (bound == Bound::by_length) return false;
        return static_cast<std::int64_t>(pattern_.size() - shared) > count_limit_;
    }

    // detail::cannot_pass, for a trimmed window of `length` code points.
    template <Bound bound> [[gnu::always_inline]] bool ruled_out(uint64_t length, uint64_t shared) noexcept
    {
        const uint64_t p = pattern_.size();
        const uint64_t common = std::min({shared, length, p});
        if constexpr (bound == Bound::edit_count)
            return static_cast<std::int64_t>(std::max(length, p) - common) > count_limit_;
        if constexpr (bound == Bound::indel_count)
            return static_cast<std::int64_t>(length + p - 2 * common) > count_limit_;
        return shared < needed(length);
    }

    // The least shared count with which a trimmed window of `length` code
    // points can pass, worked out at the first window of that length: the
    // bound only grows weaker as the shared count grows, so below this
    // count every window of that length is ruled out (one more than the
    // most that can be shared when none can pass).
    [[gnu::always_inline]] uint64_t needed(uint64_t length) noexcept
    {
        if (needed_[length] == unknown) needed_[length] = least_shared(length);
        return needed_[length];
    }
    [[gnu::noinline]] std::uint8_t least_shared(uint64_t length) const noexcept
    {
        const uint64_t most = std::min<uint64_t>(length, pattern_.size());
        const auto ruled_out = [&](uint64_t shared) {
            return detail::cannot_pass(metric_, options_.threshold_kind, options_.threshold, length, pattern_.size(),
                                       shared);
        };
        // Walked to from where the distance's own bound puts it, which is
        // most often the count itself.
        uint64_t shared = std::min(first_guess(length), most + 1);
        if (shared <= most && ruled_out(shared)) {
            while (shared <= most && ruled_out(shared))
                ++shared;
        } else {
            while (shared > 0 && !ruled_out(shared - 1))
                --shared;
        }
        return static_cast<std::uint8_t>(shared);
    }

    // Where the edit families' bound meets the threshold: the shared count
    // that leaves exactly the distance allowed; 0 for the others.
    uint64_t first_guess(uint64_t length) const noexcept
    {
        const uint64_t p = pattern_.size();
        const MetricTraits& traits = traits_of(metric_);
        const double scale = options_.threshold_kind == ThresholdKind::Absolute
                                 ? 1.0
                                 : static_cast<double>(maximum_of(metric_, length, p));
        const double allowed = options_.threshold * scale;
        double guess = 0.0;
        if (traits.bound == BoundFamily::edit) guess = static_cast<double>(std::max(length, p)) - allowed;
        if (traits.bound == BoundFamily::indel) guess = (static_cast<double>(length + p) - allowed) / 2.0;
        if (!(guess > 0.0)) return 0; // NaN too
        return guess >= static_cast<double>(tiny_most) ? tiny_most : static_cast<uint64_t>(std::ceil(guess));
    }

    [[gnu::noinline]] Comparison score(Text candidate, uint64_t shared) noexcept
    {
        if (shared >= pattern_.size() && candidate == pattern_) return Comparison{0.0 <= options_.threshold, 0.0};
        if (const auto known = edit_distance_pinned(candidate, shared)) {
            const double score = score_of(metric_, options_.threshold_kind, *known, candidate.size(), pattern_.size());
            return Comparison{score <= options_.threshold, score};
        }
        if (!scorer_) {
            for (std::size_t i = 0; i < pattern_.size(); ++i)
                wide_pattern_[i] = code_point(pattern_[i]);
            scorer_.emplace(std::u32string_view(wide_pattern_, pattern_.size()), metric_, options_.threshold_kind,
                            options_.threshold);
        }
        return scorer_->compare_or_refuse(candidate);
    }

    // The distance of an edit metric where its bounds meet: no fewer edits
    // than the code points that the longer side does not share, no more
    // than what is left once the common prefix and suffix are set aside
    // (every code point of the rest replaced, inserted or deleted). The
    // counts are the metric's own (for the indel distance, both sides'
    // leftovers), so where the two agree the distance is that value.
    std::optional<uint64_t> edit_distance_pinned(Text candidate, uint64_t shared) const noexcept
    {
        const uint64_t length = candidate.size(), p = pattern_.size(), shortest = std::min(length, p);
        shared = std::min(shared, shortest);
        uint64_t affixes = 0;
        while (affixes < shortest && candidate[affixes] == pattern_[affixes])
            ++affixes;
        for (uint64_t suffix = 0; affixes < shortest && candidate[length - 1 - suffix] == pattern_[p - 1 - suffix];
             ++suffix)
            ++affixes;
        switch (metric_) {
        case Metric::levenshtein:
        case Metric::osa:
        case Metric::damerau_levenshtein:
        case Metric::lcs_seq:
            if (affixes == shared) return std::max(length, p) - shared;
            break;
        case Metric::indel:
            if (affixes == shared) return length + p - 2 * shared;
            break;
        default: break;
        }
        return std::nullopt;
    }

    // The size of the intersection of the multisets of code points of the
    // window [start, end) and of the pattern.
    [[gnu::always_inline]] uint64_t shared_in(uint64_t start, uint64_t end) noexcept
    {
        // In locals while the ends move, so that no count written forces
        // them back to memory.
        uint64_t first = first_, last = last_, shared = shared_;
        const char* text = text_.data();
        if (start >= last) {
            while (first < last)
                leave(text[first++], shared);
            first = last = start;
        }
        while (first < start)
            leave(text[first++], shared);
        while (last < end)
            take(text[last++], shared);
        while (last > end)
            leave(text[--last], shared);
        first_ = first;
        last_ = last;
        shared_ = shared;
        return shared;
    }
    // `room_` holds, per code point, how many more of it the pattern has
    // than the window: a code point taken while there is room is shared.
    void take(char unit, uint64_t& shared) noexcept
    {
        const auto c = static_cast<unsigned char>(unit);
        shared += room_[c] > 0;
        --room_[c];
    }
    void leave(char unit, uint64_t& shared) noexcept
    {
        const auto c = static_cast<unsigned char>(unit);
        ++room_[c];
        shared -= room_[c] > 0;
    }

    Text text_, pattern_;
    const SearchOptions& options_;
    Metric metric_;
    std::int64_t count_limit_; // under an absolute threshold, see count_limit()
    // Per Latin-1 code point, its count in the pattern less its count in
    // the window [first_, last_), within -64 and 64. A byte, so that there
    // is half as much to clear; the loops over windows keep their state in
    // locals, which no write through it can alias.
    std::int8_t room_[256] = {};
    static constexpr std::uint8_t unknown = 0xFF;
    std::uint8_t needed_[tiny_most + 1]; // by trimmed window length, see needed()
    uint64_t first_ = 0, last_ = 0, shared_ = 0;
    char32_t wide_pattern_[tiny_most]; // the pattern as the scorer reads it, made with the scorer
    std::optional<detail::WordScorer> scorer_;
};

} // namespace

bool tiny_extract(SearchMode mode, std::string_view s, std::string_view pattern, std::string_view separator,
                  const SearchOptions& options, TinyMatches& out) noexcept
{
    const bool token = mode == SearchMode::exact_token || mode == SearchMode::fuzzy_token;
    TinyFolded text, folded_pattern, folded_separator;
    if (!fold_tiny(s, options, text) || !fold_tiny(pattern, options, folded_pattern)) return false;
    if (token && !fold_tiny(separator, options, folded_separator)) return false;
    const Text units = text.view(), pattern_units = folded_pattern.view();
    const uint64_t window_size = token ? tiny_token_count(pattern_units, folded_separator.view()) : 0;
    if (token && window_size == 0) return false;

    const Text trimmed = trim_tiny(pattern_units);
    if (mode == SearchMode::exact_token) {
        TinyTokens(units, folded_separator.view()).for_each_window(window_size, [&](uint64_t start, uint64_t end) {
            if (equal_trimmed(units.substr(start, end - start), trimmed)) out.push_back(Match{start, end, 0.0});
        });
        return true;
    }
    TinySolver solver(units, options.strategies, out);
    if (mode == SearchMode::exact_raw) {
        exact_raw(units, pattern_units, solver);
        solver.finish();
        return true;
    }

    // Every pattern here is short enough for the scorer; an empty one fails
    // on the general path.
    static_assert(tiny_most <= detail::WordPattern::most);
    if (!options.metric.known() || trimmed.empty()) return false;
    TinyJudge judge_window(units, trimmed, options.metric.resolve(), options);
    // The windows in start order, each judged unless it can change nothing.
    const auto search = [&](auto bound) {
        const auto judge = [&](uint64_t start, uint64_t end) __attribute__((always_inline))
        {
            if (solver.settled(start, end)) return;
            const Comparison verdict = judge_window.template judge<decltype(bound)::value>(start, end);
            if (verdict.accepted) solver.add(Match{start, end, verdict.score});
        };
        if (mode == SearchMode::fuzzy_token) {
            TinyTokens(units, folded_separator.view()).for_each_window(window_size, judge);
            return;
        }
        // The ends that WindowShape::for_each_end visits, each once.
        const detail::WindowShape shape = detail::shape_of(pattern_units.size(), options);
        if (shape.shrink == 0 && shape.longest == 0) {
            judge_window.template slide<decltype(bound)::value>(pattern_units.size(), solver);
            return;
        }
        const uint64_t n = units.size();
        for (uint64_t start = 0; start < n; ++start)
            for (uint64_t end = shape.shortest_end(start, n), last = shape.longest_end(start, n); end <= last; ++end)
                judge(start, end);
    };
    using Bound = TinyJudge::Bound;
    switch (judge_window.bound()) {
    case Bound::edit_count: search(std::integral_constant<Bound, Bound::edit_count>()); break;
    case Bound::indel_count: search(std::integral_constant<Bound, Bound::indel_count>()); break;
    case Bound::by_length: search(std::integral_constant<Bound, Bound::by_length>()); break;
    }
    solver.finish();
    return true;
}

} // namespace tessarin

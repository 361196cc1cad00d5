// Exact raw extraction. The window at code point i covers [i, min(i + P, n))
// where P is the folded pattern's length before trimming; it matches when
// its trimmed text equals the trimmed pattern Q. Rather than cut and trim
// every window, the extractor finds each occurrence of Q once and derives
// every window around it whose surplus is white space only, which yields
// the same windows in the same order in time linear in the text.
#include <algorithm>
#include <cstdint>

#include "conflict_solver/mod.hpp"
#include "extract/extract.hpp"

namespace tessarin {
namespace {

using std::int64_t;
using std::uint64_t;

// Counts the white-space code points just before byte `pos`, at most `limit`.
uint64_t white_space_before(std::string_view text, std::size_t pos, uint64_t limit)
{
    uint64_t count = 0;
    while (count < limit && pos > 0) {
        std::size_t previous = pos;
        if (!is_white_space(utf8::decode_backward(text, previous))) break;
        pos = previous;
        ++count;
    }
    return count;
}

// Counts the white-space code points from byte `pos` on, at most `limit`;
// `reaches_end` tells whether the run went on to the end of the text.
uint64_t white_space_after(std::string_view text, std::size_t pos, uint64_t limit, bool& reaches_end)
{
    uint64_t count = 0;
    while (count < limit && pos < text.size()) {
        std::size_t next = pos;
        if (!is_white_space(utf8::decode_forward(text, next))) break;
        pos = next;
        ++count;
    }
    reaches_end = pos == text.size();
    return count;
}

// Windows for a pattern with something left after trimming. For the
// occurrence of Q at code point j, a window starting at i matches when
// [i, j) is white space, i + P reaches at least past Q, and the window's
// tail after Q is white space. Occurrences are separated by a code point
// that is not white space, so their ranges of i never overlap and come in
// ascending order.
void windows_around_occurrences(std::string_view text, uint64_t text_length, bool ascii, AsciiFold fold,
                                std::string_view trimmed, uint64_t window, ConflictSolver& solver, Cancellation& cancel)
{
    const auto q = static_cast<int64_t>(char_count(trimmed));
    const auto p = static_cast<int64_t>(window);
    const auto n = static_cast<int64_t>(text_length);
    const uint64_t surplus = window - static_cast<uint64_t>(q);

    OccurrenceFinder finder(text, trimmed, fold, &cancel);
    std::size_t counted_bytes = 0;
    int64_t counted_code_points = 0;
    for (std::size_t at = finder.next(); at != OccurrenceFinder::none; at = finder.next()) {
        // Occurrences ascend, so the code-point index of each one continues
        // the count from the one before.
        cancel.poll(at - counted_bytes + surplus + 64); // an occurrence costs about as much as 64 code points
        counted_code_points =
            ascii ? static_cast<int64_t>(at)
                  : counted_code_points +
                        static_cast<int64_t>(char_count(text.substr(counted_bytes, at - counted_bytes), cancel));
        counted_bytes = at;
        const int64_t j = counted_code_points;

        const auto lead = static_cast<int64_t>(white_space_before(text, at, surplus));
        bool tail_reaches_end = false;
        const auto tail = static_cast<int64_t>(white_space_after(text, at + trimmed.size(), surplus, tail_reaches_end));

        const int64_t first = std::max(j - lead, j + q - p);
        const int64_t last = tail_reaches_end ? j : std::min(j, j + q + tail - p);
        for (int64_t i = first; i <= last; ++i) {
            cancel.poll();
            solver.add(Match{static_cast<uint64_t>(i), static_cast<uint64_t>(std::min(i + p, n)), 0.0});
        }
    }
}

// Windows for a pattern of white space only: its trimmed form is empty, so
// a window matches when it holds nothing but white space. Within a maximal
// white-space run [a, b), the window at i qualifies when the run covers all
// of it: b - i >= P, or the run reaches the end of the text.
void white_space_windows(std::string_view text, uint64_t text_length, uint64_t window, ConflictSolver& solver,
                         Cancellation& cancel)
{
    uint64_t index = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        cancel.poll();
        std::size_t next = pos;
        if (!is_white_space(utf8::decode_forward(text, next))) {
            pos = next;
            ++index;
            continue;
        }
        const uint64_t run_start = index;
        while (pos < text.size()) {
            cancel.poll();
            next = pos;
            if (!is_white_space(utf8::decode_forward(text, next))) break;
            pos = next;
            ++index;
        }
        const uint64_t run_end = index;
        const bool to_end = run_end == text_length;
        for (uint64_t i = run_start; i < run_end && (to_end || run_end - i >= window); ++i) {
            cancel.poll();
            solver.add(Match{i, std::min(i + window, text_length), 0.0});
        }
    }
}

} // namespace

MatchList exact_raw_extract(TextInput s, std::string pattern, const SearchOptions& options, Cancellation cancel)
{
    const bool case_insensitive = options.case_insensitive;
    const bool special_char_insensitive = options.special_char_insensitive;
    // Windows are found by their white space and by the occurrences of the
    // pattern alone, and folding neither moves a byte of ASCII text nor
    // makes or unmakes white space there. So a pure ASCII text is searched
    // as it stands, each byte folded as it is read: no folded copy. Only
    // the isolated-character strategy tells a line feed from a space.
    const bool reads_spaces = std::find(options.strategies.begin(), options.strategies.end(),
                                        Strategy::minimum_isolated_character) != options.strategies.end();
    FoldedText folded;
    std::string_view text = s.bytes();
    AsciiFold pending;
    bool ascii = true;
    if (!reads_spaces && (s.known_ascii() || is_ascii(text, cancel))) {
        pending = AsciiFold::of(case_insensitive, special_char_insensitive);
    } else {
        folded = fold_text(std::move(s), case_insensitive, special_char_insensitive, cancel);
        text = folded.bytes();
        ascii = folded.ascii();
    }
    const std::string folded_pattern =
        normalize(std::move(pattern), case_insensitive, special_char_insensitive, cancel);
    const uint64_t window = char_count(folded_pattern);
    const uint64_t text_length = ascii ? text.size() : char_count(text, cancel);
    const std::string_view trimmed = trim_whitespace(folded_pattern);

    ConflictSolver solver(text, options.strategies, &cancel);
    if (window > 0 && text_length > 0) {
        if (trimmed.empty())
            white_space_windows(text, text_length, window, solver, cancel);
        else
            windows_around_occurrences(text, text_length, ascii, pending, trimmed, window, solver, cancel);
    }
    return solver.finish();
}

} // namespace tessarin

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
#include "text/literals.hpp"

namespace tessarin {
namespace {

using std::int64_t;
using std::uint64_t;

template <typename Char> bool is_white_space_unit(Char unit) noexcept
{
    return is_white_space(code_point(unit));
}

// Windows for a pattern with something left after trimming. For the
// occurrence of Q at code point j, a window starting at i matches when
// [i, j) is white space, i + P reaches at least past Q, and the window's
// tail after Q is white space. Occurrences are separated by a code point
// that is not white space, so their ranges of i never overlap and come in
// ascending order. Folding never makes or unmakes white space, so the
// white space around an occurrence reads the same in the unfolded text.
template <typename Char>
void windows_around(Units<Char> text, std::size_t at, uint64_t trimmed_length, uint64_t window, CandidateSink& solver,
                    Cancellation& cancel)
{
    const auto q = static_cast<int64_t>(trimmed_length);
    const auto p = static_cast<int64_t>(window);
    const auto n = static_cast<int64_t>(text.size());
    const uint64_t surplus = window - trimmed_length;
    cancel.poll(surplus + 64); // an occurrence costs about as much as reading 64 code points
    const auto j = static_cast<int64_t>(at);
    int64_t lead = 0;
    while (static_cast<uint64_t>(lead) < surplus && j - lead > 0 && is_white_space_unit(text[at - lead - 1]))
        ++lead;
    int64_t tail = 0;
    while (static_cast<uint64_t>(tail) < surplus && j + q + tail < n &&
           is_white_space_unit(text[at + trimmed_length + tail]))
        ++tail;
    const bool tail_reaches_end = j + q + tail == n;

    const int64_t first = std::max(j - lead, j + q - p);
    const int64_t last = tail_reaches_end ? j : std::min(j, j + q + tail - p);
    for (int64_t i = first; i <= last; ++i) {
        cancel.poll();
        solver.add(Match{static_cast<uint64_t>(i), static_cast<uint64_t>(std::min(i + p, n)), 0.0});
    }
}

template <typename Char>
void windows_around_occurrences(Units<Char> text, AsciiFold fold, Units<Char> trimmed, uint64_t window,
                                CandidateSink& solver, Cancellation& cancel)
{
    OccurrenceFinder<Char> finder(text, trimmed, fold, &cancel);
    for (std::size_t at = finder.next(); at != no_occurrence; at = finder.next())
        windows_around(text, at, trimmed.size(), window, solver, cancel);
}

// Windows for a pattern of white space only: its trimmed form is empty, so
// a window matches when it holds nothing but white space. Within a maximal
// white-space run [a, b), the window at i qualifies when the run covers all
// of it: b - i >= P, or the run reaches the end of the text.
template <typename Char>
void white_space_windows(Units<Char> text, uint64_t window, CandidateSink& solver, Cancellation& cancel)
{
    const uint64_t n = text.size();
    uint64_t index = 0;
    while (index < n) {
        if (index % pass_piece == 0) cancel.poll(pass_piece);
        if (!is_white_space_unit(text[index])) {
            ++index;
            continue;
        }
        const uint64_t run_start = index;
        while (index < n && is_white_space_unit(text[index])) {
            if (index % pass_piece == 0) cancel.poll(pass_piece);
            ++index;
        }
        const uint64_t run_end = index;
        const bool to_end = run_end == n;
        for (uint64_t i = run_start; i < run_end && (to_end || run_end - i >= window); ++i) {
            cancel.poll();
            solver.add(Match{i, std::min(i + window, n), 0.0});
        }
    }
}

// The text as exact raw search reads it. Windows are found by their white
// space and by the occurrences of the pattern alone, and neither moves when
// a unit is folded where it stands. So a text whose only folding is of
// ASCII units (line feeds always; case and '@' when the whole text is
// ASCII) is searched as it lies, each unit folded as it is read (`pending`):
// no folded copy. Only the isolated-character strategy tells a line feed
// from a space.
template <typename Char>
FoldedUnits<Char> fold_for_occurrences(Units<Char> raw, bool ascii, const SearchOptions& options, AsciiFold& pending,
                                       Cancellation& cancel)
{
    const bool ci = options.case_insensitive, sci = options.special_char_insensitive;
    const bool reads_spaces = options.strategies.contains(Strategy::minimum_isolated_character);
    if (sizeof(Char) == 1 && !ascii && (ci || sci))
        ascii = is_ascii(std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()), cancel);
    if (!reads_spaces && (ascii || (!ci && !sci))) {
        pending = ascii ? AsciiFold::of(ci, sci) : AsciiFold{true, false, false};
        return FoldedUnits<Char>::borrowing(raw);
    }
    pending = AsciiFold{};
    return fold_units(raw, ci, sci, cancel);
}

template <typename Char>
MatchList exact_raw_units(Units<Char> raw, bool ascii, std::u32string_view folded_pattern,
                          const SearchOptions& options, Cancellation& cancel, CandidateSink* sink = nullptr)
{
    AsciiFold pending;
    const FoldedUnits<Char> folded = fold_for_occurrences(raw, ascii, options, pending, cancel);
    const Units<Char> text = folded.view();

    const uint64_t window = folded_pattern.size();
    const std::u32string_view trimmed = trim_white_space(std::u32string_view(folded_pattern));
    return detail::solve_or_hand_over(text, options, sink, cancel, [&](CandidateSink& solver) {
        if (window == 0 || text.empty()) return;
        InlineVector<Char, 64> needle;
        if (trimmed.empty())
            white_space_windows(text, window, solver, cancel);
        else if (narrow_units(trimmed, needle))
            windows_around_occurrences(text, pending, Units<Char>(needle.data(), needle.size()), window, solver,
                                       cancel);
    });
}

// Every pattern's windows in one pass: the occurrences of all the trimmed
// patterns come from one automaton, each pattern's in ascending order.
template <typename Char>
void exact_raw_many_units(Units<Char> raw, bool ascii, const std::vector<std::u32string>& folded_patterns,
                          const SearchOptions& options, const std::vector<CandidateSink*>& sinks, Cancellation& cancel)
{
    AsciiFold pending;
    const FoldedUnits<Char> folded = fold_for_occurrences(raw, ascii, options, pending, cancel);
    const Units<Char> text = folded.view();
    std::vector<std::u32string> needles(folded_patterns.size());
    for (std::size_t i = 0; i < folded_patterns.size(); ++i) {
        sinks[i]->see_text(UnitText::borrowed(text));
        const std::u32string_view trimmed = trim_white_space(std::u32string_view(folded_patterns[i]));
        if (folded_patterns[i].empty() || text.empty()) continue;
        if (trimmed.empty())
            white_space_windows(text, folded_patterns[i].size(), *sinks[i], cancel);
        else
            needles[i] = trimmed;
    }
    const LiteralSet<Char> set(needles, pending);
    set.scan(text, cancel, [&](std::uint32_t id, std::size_t end) {
        windows_around(text, end - needles[id].size(), needles[id].size(), folded_patterns[id].size(), *sinks[id],
                       cancel);
    });
}

} // namespace

void find_many_exact_raw_candidates(const UnitText& text, const std::vector<std::u32string>& folded_patterns,
                                    const SearchOptions& options, const std::vector<CandidateSink*>& sinks,
                                    Cancellation& cancel)
{
    text.visit([&](auto units) { exact_raw_many_units(units, text.ascii(), folded_patterns, options, sinks, cancel); });
}

void find_exact_raw_candidates(const UnitText& text, const std::u32string& folded_pattern,
                               const SearchOptions& options, CandidateSink& sink, Cancellation& cancel)
{
    text.visit([&](auto units) { exact_raw_units(units, text.ascii(), folded_pattern, options, cancel, &sink); });
}

MatchList exact_raw_extract(TextInput s, TextInput pattern, const SearchOptions& options, Cancellation cancel)
{
    const UnitText text = std::move(s).units(cancel);
    const CodePoints folded_pattern =
        fold_pattern(std::move(pattern), options.case_insensitive, options.special_char_insensitive, cancel);
    return text.visit(
        [&](auto units) { return exact_raw_units(units, text.ascii(), folded_pattern, options, cancel); });
}

} // namespace tessarin

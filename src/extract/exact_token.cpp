// Exact token extraction: every token window whose trimmed text equals the
// trimmed pattern, overlapping windows included; no conflict solving.
#include "extract/extract.hpp"
#include "iterator/tokens.hpp"

#include <utility>
#include <vector>

namespace tessarin {
namespace {

// The number of token starts before a bound that only grows, so that all
// counts of one call cost one pass. With a one-unit separator a token
// starts at p when p holds another unit than the separator and p - 1 holds
// the separator (or p is 0).
template <typename Char> class TokenStarts {
public:
    TokenStarts(Units<Char> text, Char separator, AsciiFold fold, Cancellation& cancel)
        : text_(text), separator_(separator), fold_(fold), cancel_(cancel)
    {
    }

    std::uint64_t before(std::size_t bound)
    {
        if (bound <= position_) return value_;
        std::size_t p = position_;
        if (p == 0) value_ += fold_(text_[p++]) != separator_;
        std::uint64_t starts = 0;
        for (; p < bound; ++p) {
            if (p % pass_piece == 0) cancel_.poll(pass_piece);
            const bool after_separator = fold_(text_[p - 1]) == separator_, on_token = fold_(text_[p]) != separator_;
            starts += static_cast<std::uint64_t>(after_separator && on_token);
        }
        value_ += starts;
        position_ = bound;
        return value_;
    }

private:
    Units<Char> text_;
    Char separator_;
    AsciiFold fold_;
    Cancellation& cancel_;
    std::size_t position_ = 0;
    std::uint64_t value_ = 0;
};

// With a one-unit separator every token is a maximal run of other units, so
// a window can be recognised where it stands, around each occurrence of the
// trimmed pattern: its first token starts within the white space before the
// occurrence (tokens made only of white space may come first, when the
// separator is white space too), its last token ends within the white space
// after it, and it covers exactly the window size in tokens. Only
// occurrences of the pattern are looked at; the text is never cut into
// tokens. The windows come out as the general walk has them: each
// occurrence's first tokens lie between it and the one before, so starts
// ascend. `fold` is what is left to fold as units are read.
template <typename Char>
MatchList windows_around_occurrences(Units<Char> text, AsciiFold fold, Char separator, Units<Char> trimmed,
                                     std::uint64_t window_size, Cancellation& cancel)
{
    const auto is_separator = [&](std::size_t p) { return fold(text[p]) == separator; };
    const auto token_starts = [&](std::size_t p) { return !is_separator(p) && (p == 0 || is_separator(p - 1)); };
    const auto token_end = [&](std::size_t e) {
        return !is_separator(e - 1) && (e == text.size() || is_separator(e));
    };
    const auto white_space = [&](std::size_t p) { return is_white_space(code_point(text[p])); };
    // Positions before occurrences and after them are each asked for in
    // ascending order, so each side keeps its own running count.
    TokenStarts<Char> starts_before_first(text, separator, fold, cancel);
    TokenStarts<Char> starts_before_last(text, separator, fold, cancel);

    MatchList matches;
    std::vector<std::pair<std::size_t, std::uint64_t>> ends; // token ends after one occurrence, with their counts
    OccurrenceFinder<Char> finder(text, trimmed, fold, &cancel);
    for (std::size_t at = finder.next(); at != no_occurrence; at = finder.next()) {
        cancel.poll(trimmed.size() + 64);
        std::size_t lead = at;
        while (lead > 0 && white_space(lead - 1)) {
            cancel.poll();
            --lead;
        }
        ends.clear();
        for (std::size_t e = at + trimmed.size();; ++e) {
            cancel.poll();
            if (e > 0 && token_end(e)) ends.emplace_back(e, starts_before_last.before(e));
            if (e == text.size() || !white_space(e)) break;
        }
        if (ends.empty()) continue;
        // Both the token starts before the occurrence and the token ends
        // after it come in ascending order of the tokens before them, so one
        // merged pass pairs each start with the end that makes the count.
        std::size_t next_end = 0;
        for (std::size_t first = lead; first <= at && next_end < ends.size(); ++first) {
            cancel.poll();
            if (!token_starts(first)) continue;
            const std::uint64_t wanted = starts_before_first.before(first) + window_size;
            while (next_end < ends.size() && ends[next_end].second < wanted)
                ++next_end;
            if (next_end < ends.size() && ends[next_end].second == wanted)
                append_polled(matches, Match{first, ends[next_end].first, 0.0}, cancel);
        }
    }
    return matches;
}

template <typename Char>
MatchList exact_token_units(Units<Char> raw, bool ascii, const std::u32string& folded_pattern,
                            const std::u32string& separator, const SearchOptions& options, Cancellation& cancel)
{
    const bool ci = options.case_insensitive, sci = options.special_char_insensitive;
    const std::uint64_t window_size = pattern_token_count(folded_pattern, separator);
    const std::u32string_view trimmed_pattern = trim_white_space(std::u32string_view(folded_pattern));
    std::basic_string<Char> narrow_pattern, narrow_separator;
    const bool pattern_fits = narrow_units(trimmed_pattern, narrow_pattern);
    if (!narrow_units(separator, narrow_separator)) {
        // The separator occurs nowhere in such a text: the text, if any, is
        // one token, the only window of size 1.
        if (window_size != 1 || raw.empty() || !pattern_fits) return {};
        const FoldedUnits<Char> folded = fold_units(raw, ci, sci, cancel);
        if (trim_white_space(folded.view()) != Units<Char>(narrow_pattern)) return {};
        return MatchList{Match{0, folded.view().size(), 0.0}};
    }
    if (sizeof(Char) == 1 && !ascii && (ci || sci))
        ascii = is_ascii(std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()), cancel);
    if (narrow_separator.size() == 1 && !trimmed_pattern.empty()) {
        if (!pattern_fits) return {};
        // A text whose only folding is of ASCII units is read as it lies,
        // each unit folded as it is read.
        if (ascii || (!ci && !sci))
            return windows_around_occurrences(raw, ascii ? AsciiFold::of(ci, sci) : AsciiFold{true, false, false},
                                              narrow_separator[0], Units<Char>(narrow_pattern), window_size, cancel);
        const FoldedUnits<Char> folded = fold_units(raw, ci, sci, cancel);
        return windows_around_occurrences(folded.view(), AsciiFold{}, narrow_separator[0], Units<Char>(narrow_pattern),
                                          window_size, cancel);
    }

    const FoldedUnits<Char> folded = fold_units(raw, ci, sci, cancel);
    Tokenizer<Char> tokenizer(folded.view(), Units<Char>(narrow_separator), window_size, &cancel);
    MatchList matches;
    while (const std::optional<TokenWindow<Char>> window = tokenizer.next()) {
        cancel.poll(window->text.size() + 1);
        // Trimming only shortens: a window shorter than the pattern cannot match.
        if (!pattern_fits || window->text.size() < narrow_pattern.size()) continue;
        if (trim_white_space(window->text) == Units<Char>(narrow_pattern))
            append_polled(matches, Match{window->start, window->end, 0.0}, cancel);
    }
    return matches;
}

} // namespace

void find_exact_token_candidates(const UnitText& text, const std::u32string& folded_pattern,
                                 const std::u32string& separator, const SearchOptions& options, CandidateSink& sink,
                                 Cancellation& cancel)
{
    const MatchList matches = text.visit([&](auto units) {
        return exact_token_units(units, text.ascii(), folded_pattern, separator, options, cancel);
    });
    for (const Match& match : matches)
        sink.add(match);
}

MatchList exact_token_extract(TextInput s, TextInput pattern, TextInput tokenizer_pattern,
                              const SearchOptions& options, Cancellation cancel)
{
    const bool ci = options.case_insensitive, sci = options.special_char_insensitive;
    const UnitText text = std::move(s).units(cancel);
    const std::u32string folded_pattern = fold_code_points(std::move(pattern), ci, sci, cancel);
    const std::u32string separator = fold_code_points(std::move(tokenizer_pattern), ci, sci, cancel);
    return text.visit([&](auto units) {
        return exact_token_units(units, text.ascii(), folded_pattern, separator, options, cancel);
    });
}

} // namespace tessarin

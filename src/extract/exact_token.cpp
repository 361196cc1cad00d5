// Exact token extraction: every token window whose trimmed text equals the
// trimmed pattern, overlapping windows included; no conflict solving.
#include "extract/extract.hpp"
#include "iterator/tokens.hpp"

#include <utility>
#include <vector>

namespace tessarin {
namespace {

// Counts over the text's byte positions below a bound that only grows, so
// that all counts of one call cost one pass. Each step counts a whole range
// in a loop simple enough to run several bytes at a time.
class RunningCount {
public:
    enum class Of { code_points, token_starts };

    RunningCount(std::string_view text, Of what, char separator, Cancellation& cancel, bool ascii = false)
        : text_(text), what_(what), separator_(separator), ascii_(ascii), cancel_(cancel)
    {
    }

    std::uint64_t before(std::size_t bound)
    {
        if (what_ == Of::code_points && ascii_) return bound; // in ASCII, bytes are code points
        if (bound <= position_) return value_;
        if (what_ == Of::code_points) {
            value_ += char_count(text_.substr(position_, bound - position_), cancel_);
        } else {
            // A token starts at p when p holds another byte than the
            // separator and p - 1 holds the separator (or p is 0).
            const char* t = text_.data();
            std::size_t p = position_;
            if (p == 0) value_ += t[p++] != separator_;
            std::uint64_t starts = 0;
            for (; p < bound; ++p) {
                if (p % pass_piece == 0) cancel_.poll(pass_piece);
                starts += static_cast<std::uint64_t>((t[p - 1] == separator_) & (t[p] != separator_));
            }
            value_ += starts;
        }
        position_ = bound;
        return value_;
    }

private:
    std::string_view text_;
    Of what_;
    char separator_;
    bool ascii_;
    Cancellation& cancel_;
    std::size_t position_ = 0;
    std::uint64_t value_ = 0;
};

// With a one-byte separator every token is a maximal run of other bytes, so
// a window can be recognised where it stands, around each occurrence of the
// trimmed pattern: its first token starts within the white space before the
// occurrence (tokens made only of white space may come first, when the
// separator is white space too), its last token ends within the white space
// after it, and it covers exactly the window size in tokens. Only
// occurrences of the pattern are looked at; the text is never cut into
// tokens. The windows come out as the general walk has them: each
// occurrence's first tokens lie between it and the one before, so starts
// ascend.
MatchList windows_around_occurrences(std::string_view text, bool ascii, char separator, std::string_view trimmed,
                                     std::uint64_t window_size, Cancellation& cancel)
{
    const auto token_starts = [&](std::size_t p) {
        return text[p] != separator && (p == 0 || text[p - 1] == separator);
    };
    const auto token_end = [&](std::size_t e) {
        return text[e - 1] != separator && (e == text.size() || text[e] == separator);
    };
    // Positions before occurrences and after them are each asked for in
    // ascending order, so each side keeps its own running counts.
    using Of = RunningCount::Of;
    RunningCount starts_before_first(text, Of::token_starts, separator, cancel);
    RunningCount starts_before_last(text, Of::token_starts, separator, cancel);
    RunningCount index_of_first(text, Of::code_points, separator, cancel, ascii);
    RunningCount index_of_last(text, Of::code_points, separator, cancel, ascii);

    MatchList matches;
    std::vector<std::pair<std::size_t, std::uint64_t>> ends; // token ends after one occurrence, with their counts
    OccurrenceFinder finder(text, trimmed, AsciiFold{}, &cancel);
    std::size_t previous = 0;
    for (std::size_t at = finder.next(); at != OccurrenceFinder::none; at = finder.next()) {
        cancel.poll(at - previous + trimmed.size());
        previous = at;
        std::size_t lead = at;
        while (lead > 0) {
            cancel.poll();
            std::size_t before = lead;
            if (!is_white_space(utf8::decode_backward(text, before))) break;
            lead = before;
        }
        std::size_t tail = at + trimmed.size();
        ends.clear();
        for (std::size_t e = tail;; ++e) {
            cancel.poll();
            if (e > 0 && token_end(e)) ends.emplace_back(e, starts_before_last.before(e));
            if (e == text.size()) break;
            std::size_t after = e;
            if (utf8::is_continuation(static_cast<unsigned char>(text[e]))) continue;
            if (!is_white_space(utf8::decode_forward(text, after))) break;
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
                append_polled(matches,
                              Match{index_of_first.before(first), index_of_last.before(ends[next_end].first), 0.0},
                              cancel);
        }
    }
    return matches;
}

} // namespace

MatchList exact_token_extract(TextInput s, std::string pattern, std::string tokenizer_pattern,
                              const SearchOptions& options, Cancellation cancel)
{
    const bool case_insensitive = options.case_insensitive;
    const bool special_char_insensitive = options.special_char_insensitive;
    const FoldedText text = fold_text(std::move(s), case_insensitive, special_char_insensitive, cancel);
    const std::string folded_pattern =
        normalize(std::move(pattern), case_insensitive, special_char_insensitive, cancel);
    const std::string separator =
        normalize(std::move(tokenizer_pattern), case_insensitive, special_char_insensitive, cancel);

    const std::uint64_t window_size = pattern_token_count(folded_pattern, separator);
    const std::string_view trimmed_pattern = trim_whitespace(folded_pattern);
    if (separator.size() == 1 && !trimmed_pattern.empty())
        return windows_around_occurrences(text, text.ascii(), separator[0], trimmed_pattern, window_size, cancel);

    Tokenizer tokenizer(text, separator, window_size, &cancel);
    MatchList matches;
    while (const std::optional<TokenWindow> window = tokenizer.next()) {
        cancel.poll(window->text.size() + 1);
        // Trimming only shortens: a window shorter than the pattern cannot match.
        if (window->text.size() < trimmed_pattern.size()) continue;
        if (trim_whitespace(window->text) == trimmed_pattern)
            append_polled(matches, Match{window->start, window->end, 0.0}, cancel);
    }
    return matches;
}

} // namespace tessarin

// Exact token extraction: every token window whose trimmed text equals the
// trimmed pattern, overlapping windows included; no conflict solving.
//
// A window's trimmed text can only equal the trimmed pattern where the
// pattern occurs, with nothing but white space between the occurrence and
// the window's ends. So the occurrences are found first, with the same
// vector search as exact raw extraction, and tokens are cut only around
// them: a text in which the pattern is rare is never cut into tokens.
#include "extract/extract.hpp"
#include "iterator/tokens.hpp"

#include <utility>
#include <vector>

namespace tessarin {
namespace {

using std::uint64_t;

// The tokens of the text near positions that only move forward, cut as the
// Tokenizer cuts them but without cutting the text before. The Tokenizer's
// only state is where the token under way starts, and a separator
// occurrence that no other occurrence overlaps from the left always ends
// the token under way (or is the exempt tail of a run of one code point),
// so the token after it starts right after it, whatever came before. A
// position far ahead is therefore reached by looking back from it for such
// an occurrence; a position close ahead, by cutting on. Every unit is read
// a bounded number of times over a call. `fold` is what is left to fold as
// units are read.
template <typename Char> class TokensNear {
public:
    TokensNear(Units<Char> text, Units<Char> separator, AsciiFold fold, Cancellation& cancel)
        : text_(text), separator_(separator), fold_(fold), cancel_(cancel)
    {
    }

    // Acts on every separator occurrence at a position before `to`, and
    // keeps the tokens that start at `from` or later. `from` and `to` never
    // decrease from one call to the next.
    void cut(uint64_t from, uint64_t to)
    {
        const uint64_t k = separator_.size();
        if (from > next_ + 4 * k + 64) jump_before(from);
        const uint64_t last = std::min<uint64_t>(to, text_.size() + 1);
        for (; next_ < last; ++next_) {
            cancel_.poll(k);
            if (next_ == text_.size()) {
                // The text ends: what is under way is the last token.
                if (start_ != text_.size()) tokens_.push_back(Token{start_, text_.size()}, cancel_);
            } else if (separator_at(next_)) {
                act_on(next_);
            }
        }
        drop_before(from);
    }

    // The tokens kept, in order.
    const Token* begin() const noexcept { return tokens_.data() + first_; }
    const Token* end() const noexcept { return tokens_.data() + tokens_.size(); }
    std::size_t size() const noexcept { return tokens_.size() - first_; }

private:
    bool separator_at(uint64_t i) const noexcept
    {
        const uint64_t k = separator_.size();
        if (i + k > text_.size()) return false;
        for (uint64_t j = 0; j < k; ++j)
            if (fold_(text_[i + j]) != separator_[j]) return false;
        return true;
    }

    // The Tokenizer's rule for an occurrence at i.
    void act_on(uint64_t i)
    {
        const uint64_t k = separator_.size();
        if (i + k == start_ + 1) {
            start_ = i + k;
        } else if (i >= start_) {
            tokens_.push_back(Token{start_, i}, cancel_);
            start_ = i + k;
        }
    }

    void drop_before(uint64_t from)
    {
        while (first_ < tokens_.size() && tokens_[first_].start < from)
            ++first_;
        if (first_ == tokens_.size()) {
            tokens_.clear();
            first_ = 0;
        } else if (first_ > 1024 && 2 * first_ > tokens_.size()) {
            tokens_.erase_front(first_);
            first_ = 0;
        }
    }

    // Moves the state to just after the last occurrence before `from` that
    // no occurrence overlaps from the left, if there is one past what was
    // already cut: the occurrences skipped over end tokens that end before
    // it, which no window wanted here holds.
    void jump_before(uint64_t from)
    {
        const uint64_t k = separator_.size();
        for (uint64_t i = from; i-- > next_;) {
            cancel_.poll(k);
            if (!separator_at(i)) continue;
            bool overlapped = false;
            for (uint64_t j = i; j-- > 0 && j + k > i;)
                if (separator_at(j)) {
                    overlapped = true;
                    break;
                }
            if (overlapped) continue;
            start_ = i + k;
            next_ = i + 1;
            tokens_.clear();
            first_ = 0;
            return;
        }
    }

    Units<Char> text_;
    Units<Char> separator_;
    AsciiFold fold_;
    Cancellation& cancel_;
    uint64_t next_ = 0;  // occurrences at positions before it were acted on
    uint64_t start_ = 0; // the start of the token under way
    InlineVector<Token, 16> tokens_;
    std::size_t first_ = 0; // tokens_ before it start before the last `from`
};

// Every window of `window_size` tokens that holds the trimmed pattern with
// white space only around it. For the occurrence at `at`, the window's
// first token starts in the white space before it (or at it) and its last
// token ends in the white space after it. Each window holds one occurrence,
// the first code point of its trimmed text, and occurrences are apart by
// more than the white space around them, so the windows come out in
// ascending order, as the walk over every window has them.
template <typename Char>
MatchList windows_around_occurrences(Units<Char> text, AsciiFold fold, Units<Char> separator, Units<Char> trimmed,
                                     uint64_t window_size, Cancellation& cancel)
{
    const auto white_space = [&](uint64_t p) { return is_white_space(code_point(text[p])); };
    MatchList matches;
    TokensNear<Char> tokens(text, separator, fold, cancel);
    OccurrenceFinder<Char> finder(text, trimmed, fold, &cancel);
    for (std::size_t at = finder.next(); at != no_occurrence; at = finder.next()) {
        cancel.poll(trimmed.size() + 64);
        uint64_t lead = at;
        while (lead > 0 && white_space(lead - 1)) {
            cancel.poll();
            --lead;
        }
        const uint64_t after = at + trimmed.size();
        uint64_t tail = after;
        while (tail < text.size() && white_space(tail)) {
            cancel.poll();
            ++tail;
        }
        tokens.cut(lead, tail + 1);
        const Token* first = tokens.begin();
        for (std::size_t index = 0; index < tokens.size() && first[index].start <= at; ++index) {
            if (tokens.size() - index < window_size) break;
            const uint64_t end = first[index + window_size - 1].end;
            if (end >= after && end <= tail) append_polled(matches, Match{first[index].start, end, 0.0}, cancel);
        }
    }
    return matches;
}

// The walk over every window, for what the search around occurrences does
// not cover: a pattern of white space only, an empty separator, and a
// window of no tokens (which fails).
template <typename Char>
MatchList every_window(Units<Char> text, Units<Char> separator, Units<Char> trimmed, bool pattern_fits,
                       uint64_t window_size, Cancellation& cancel)
{
    Tokenizer<Char> tokenizer(text, separator, window_size, &cancel);
    MatchList matches;
    while (const std::optional<TokenWindow<Char>> window = tokenizer.next()) {
        cancel.poll(window->text.size() + 1);
        // Trimming only shortens: a window shorter than the pattern cannot match.
        if (!pattern_fits || window->text.size() < trimmed.size()) continue;
        if (trim_white_space(window->text) == trimmed)
            append_polled(matches, Match{window->start, window->end, 0.0}, cancel);
    }
    return matches;
}

template <typename Char>
MatchList exact_token_units(Units<Char> raw, bool ascii, std::u32string_view folded_pattern,
                            std::u32string_view separator, const SearchOptions& options, Cancellation& cancel)
{
    const bool ci = options.case_insensitive, sci = options.special_char_insensitive;
    const uint64_t window_size = pattern_token_count(folded_pattern, separator);
    const std::u32string_view trimmed_pattern = trim_white_space(std::u32string_view(folded_pattern));
    InlineVector<Char, 64> narrow_pattern, narrow_separator;
    const bool pattern_fits = narrow_units(trimmed_pattern, narrow_pattern);
    const Units<Char> pattern_units(narrow_pattern.data(), narrow_pattern.size());
    if (!narrow_units(separator, narrow_separator)) {
        // The separator occurs nowhere in such a text: the text, if any, is
        // one token, the only window of size 1.
        if (window_size != 1 || raw.empty() || !pattern_fits) return {};
        const FoldedUnits<Char> folded = fold_units(raw, ci, sci, cancel);
        if (trim_white_space(folded.view()) != pattern_units) return {};
        return MatchList{Match{0, folded.view().size(), 0.0}};
    }
    const Units<Char> separator_units(narrow_separator.data(), narrow_separator.size());
    if (trimmed_pattern.empty() || separator.empty()) {
        const FoldedUnits<Char> folded = fold_units(raw, ci, sci, cancel);
        return every_window(folded.view(), separator_units, pattern_units, pattern_fits, window_size, cancel);
    }
    if (!pattern_fits) return {};
    if (sizeof(Char) == 1 && !ascii && (ci || sci))
        ascii = is_ascii(std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()), cancel);
    // Occurrences, white space and separators are all found where they
    // stand, so a text whose only folding is of ASCII units is read as it
    // lies, each unit folded as it is read.
    if (ascii || (!ci && !sci))
        return windows_around_occurrences(raw, ascii ? AsciiFold::of(ci, sci) : AsciiFold{true, false, false},
                                          separator_units, pattern_units, window_size, cancel);
    const FoldedUnits<Char> folded = fold_units(raw, ci, sci, cancel);
    return windows_around_occurrences(folded.view(), AsciiFold{}, separator_units, pattern_units, window_size,
                                      cancel);
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
    const CodePoints folded_pattern = fold_pattern(std::move(pattern), ci, sci, cancel);
    const CodePoints separator = fold_pattern(std::move(tokenizer_pattern), ci, sci, cancel);
    return text.visit([&](auto units) {
        return exact_token_units(units, text.ascii(), folded_pattern, separator, options, cancel);
    });
}

} // namespace tessarin

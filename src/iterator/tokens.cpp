#include "iterator/tokens.hpp"

#include <algorithm>

#include "text/text.hpp"

namespace tessarin {

std::uint64_t pattern_token_count(std::u32string_view pattern, std::u32string_view separator)
{
    // An empty separator cuts before every character and at the end; the
    // empty pieces at both ends equal the separator and are dropped.
    if (separator.empty()) return pattern.size();
    // One code point never overlaps itself: a count, with no finder to set up.
    if (separator.size() == 1)
        return 1 + static_cast<std::uint64_t>(std::count(pattern.begin(), pattern.end(), separator[0]));
    // A non-empty separator never equals a piece, so every piece counts:
    // one more than the occurrences that left-to-right splitting cuts at.
    std::uint64_t pieces = 1;
    std::size_t searchable_from = 0;
    OccurrenceFinder finder(pattern, separator);
    for (std::size_t at = finder.next(); at != no_occurrence; at = finder.next()) {
        if (at < searchable_from) continue; // overlaps the cut before it
        ++pieces;
        searchable_from = at + separator.size();
    }
    return pieces;
}

std::uint64_t pattern_token_count(std::string_view pattern, std::string_view separator)
{
    return pattern_token_count(decode_utf8(pattern), decode_utf8(separator));
}

template <typename Char>
Tokenizer<Char>::Tokenizer(Units<Char> text, Units<Char> separator, std::uint64_t size, Cancellation* cancel)
    : text_(text), size_(size)
{
    Cancellation never;
    Cancellation& poller = cancel ? *cancel : never;
    cut_tokens(text, separator, poller, [&](Token token) { append_polled(tokens_, token, poller); });
    count_ = tokens_.size();
}

template <typename Char> std::optional<TokenWindow<Char>> Tokenizer<Char>::next()
{
    if (size_ == 0)
        throw ExtractionFailure(
            "a window of zero tokens cannot be formed: the pattern and the tokenizer pattern are both empty");
    if (index_ + size_ > count_) return std::nullopt;
    const std::size_t first = index_, last = index_ + size_ - 1;
    ++index_;
    const std::uint64_t start = tokens_[first].start, end = tokens_[last].end;
    return TokenWindow<Char>{text_.substr(start, end - start), start, end};
}

template class Tokenizer<char>;
template class Tokenizer<char16_t>;
template class Tokenizer<char32_t>;

std::vector<Token> tokenize(const UnitText& text, std::u32string_view separator, Cancellation& cancel)
{
    return text.visit([&](auto units) {
        using Char = typename decltype(units)::value_type;
        std::basic_string<Char> narrow;
        if (!narrow_units(separator, narrow)) // it never occurs: the whole text is one token
            return units.empty() ? std::vector<Token>{} : std::vector<Token>{Token{0, units.size()}};
        return Tokenizer<Char>(units, narrow, 1, &cancel).tokens();
    });
}

} // namespace tessarin

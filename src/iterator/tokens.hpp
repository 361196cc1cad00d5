// Cuts folded text into tokens at a literal separator and walks runs of
// consecutive tokens as a sliding window.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text/text.hpp"

namespace tessarin {

// A token's span of code points in the folded text; it holds no text.
struct Token {
    std::uint64_t start;
    std::uint64_t end;
};

// A run of consecutive tokens: the text from the first token's start to the
// last token's end, separators between them included, untrimmed. The text
// is a view into the folded text that the Tokenizer reads.
template <typename Char> struct TokenWindow {
    Units<Char> text;
    std::uint64_t start;
    std::uint64_t end;
};

// Into how many pieces `separator` cuts `pattern` by ordinary left-to-right
// splitting, not counting pieces that equal the separator: the window size.
std::uint64_t pattern_token_count(std::u32string_view pattern, std::u32string_view separator);
// The same for UTF-8 strings.
std::uint64_t pattern_token_count(std::string_view pattern, std::string_view separator);

// Calls visit(start, end) for every run of `size` consecutive tokens of a
// text cut at a separator of one code point, in order. The tokens are the
// maximal runs of other code points (such a separator never yields an empty
// token), the same as a Tokenizer's. Only the starts of the last `size`
// tokens are kept, never a list of them all.
template <typename Char, typename Visit>
void for_each_single_separator_window(Units<Char> text, Char separator, std::uint64_t size, Cancellation& cancel,
                                      Visit visit)
{
    if (size == 0 || size > text.size()) return; // no text holds more tokens than code points
    std::vector<std::uint64_t> starts(size);     // token k's start at k % size
    std::uint64_t tokens = 0, start = 0;
    bool in_token = false;
    const auto token_ends = [&](std::uint64_t end) {
        starts[tokens % size] = start;
        ++tokens;
        // The run's first token, tokens - size, is the oldest one kept.
        if (tokens >= size) visit(starts[tokens % size], end);
    };
    for (std::uint64_t position = 0; position < text.size(); ++position) {
        if (position % pass_piece == 0) cancel.poll(pass_piece);
        const bool cuts = text[position] == separator;
        if (cuts && in_token) token_ends(position);
        if (!cuts && !in_token) start = position;
        in_token = !cuts;
    }
    if (in_token) token_ends(text.size());
}

template <typename Char> class Tokenizer {
public:
    // Tokenizes `text` at once. The text must outlive the Tokenizer; a long
    // tokenization polls `cancel` when one is given.
    Tokenizer(Units<Char> text, Units<Char> separator, std::uint64_t size, Cancellation* cancel = nullptr);

    // The next window, or nothing once the walk is over. Throws
    // ExtractionFailure for a window size of 0.
    std::optional<TokenWindow<Char>> next();

    const std::vector<Token>& tokens() const noexcept { return tokens_; }

private:
    std::vector<Token> tokens_;
    Units<Char> text_;
    std::uint64_t index_ = 0;
    std::uint64_t count_ = 0;
    std::uint64_t size_;
};

template <typename Char>
Tokenizer(std::basic_string_view<Char>, std::basic_string_view<Char>, std::uint64_t, Cancellation* = nullptr)
    -> Tokenizer<Char>;

// The tokens of a text of any unit type, for callers that do not walk
// windows. A separator with a code point that the text's units cannot hold
// never occurs in it.
std::vector<Token> tokenize(const UnitText& text, std::u32string_view separator, Cancellation& cancel);

} // namespace tessarin

#include "iterator/tokens.hpp"

#include <algorithm>

#include "text/text.hpp"

namespace tessarin {

std::uint64_t pattern_token_count(std::string_view pattern, std::string_view separator)
{
    // An empty separator cuts before every character and at the end; the
    // empty pieces at both ends equal the separator and are dropped.
    if (separator.empty()) return char_count(pattern);
    // A non-empty separator never equals a piece, so every piece counts:
    // one more than the occurrences that left-to-right splitting cuts at.
    std::uint64_t pieces = 1;
    std::size_t searchable_from = 0;
    OccurrenceFinder finder(pattern, separator);
    for (std::size_t at = finder.next(); at != OccurrenceFinder::none; at = finder.next()) {
        if (at < searchable_from) continue; // overlaps the cut before it
        ++pieces;
        searchable_from = at + separator.size();
    }
    return pieces;
}

Tokenizer::Tokenizer(std::string_view text, std::string_view separator, std::uint64_t size, Cancellation* cancel)
    : text_(text), size_(size)
{
    Cancellation never;
    Cancellation& poller = cancel ? *cancel : never;
    const std::uint64_t text_length = char_count(text, poller);
    if (separator.empty()) {
        // Every position holds an (empty) occurrence: the one at 0 records
        // the empty token, and every later one is exempt.
        add_token(0, 0, 0, 0, poller);
        count_ = tokens_.size();
        return;
    }

    // Occurrences at every position, overlapping ones included, in
    // ascending order. An occurrence that begins one code point after the
    // start of the current token (the tail of an overlapping run) records
    // nothing but moves the start past it. An occurrence that begins before
    // the current start in any other way (a separator such as "aba" in
    // "ababa") is ignored, as ordinary left-to-right splitting would.
    const std::uint64_t width = char_count(separator);
    std::uint64_t start = 0;
    std::size_t byte_start = 0;
    const auto occurrence = [&](std::size_t at, std::uint64_t position) {
        if (position + width == start + 1) {
            start = position + width;
            byte_start = at + separator.size();
        } else if (position >= start) {
            add_token(start, position, byte_start, at, poller);
            start = position + width;
            byte_start = at + separator.size();
        }
    };

    const bool ascii = text_length == text.size(); // then code points are bytes
    if (separator.size() == 1 && !ascii) {
        // One pass finds the separator byte and counts code points at once.
        const char byte = separator[0];
        std::size_t occurrences = 0;
        for (std::size_t at = 0; at < text.size(); at += pass_piece) {
            poller.poll(pass_piece);
            const std::string_view piece = text.substr(at, pass_piece);
            occurrences += static_cast<std::size_t>(std::count(piece.begin(), piece.end(), byte));
        }
        tokens_.reserve(occurrences + 1);
        byte_spans_.reserve(occurrences + 1);
        std::uint64_t position = 0;
        for (std::size_t at = 0; at < text.size(); ++at) {
            if (at % pass_piece == 0) poller.poll(pass_piece);
            if (text[at] == byte) occurrence(at, position);
            position += !utf8::is_continuation(static_cast<unsigned char>(text[at]));
        }
    } else {
        std::uint64_t position = 0;
        std::size_t counted_bytes = 0;
        OccurrenceFinder finder(text, separator, AsciiFold{}, &poller);
        for (std::size_t at = finder.next(); at != OccurrenceFinder::none; at = finder.next()) {
            poller.poll();
            position = ascii ? at : position + char_count(text.substr(counted_bytes, at - counted_bytes), poller);
            counted_bytes = at;
            occurrence(at, position);
        }
    }
    if (start != text_length) add_token(start, text_length, byte_start, text.size(), poller);
    count_ = tokens_.size();
}

void Tokenizer::add_token(std::uint64_t start, std::uint64_t end, std::size_t byte_start, std::size_t byte_end,
                          Cancellation& cancel)
{
    append_polled(tokens_, Token{start, end}, cancel);
    append_polled(byte_spans_, ByteSpan{byte_start, byte_end}, cancel);
}

std::optional<TokenWindow> Tokenizer::next()
{
    if (size_ == 0)
        throw ExtractionFailure(
            "a window of zero tokens cannot be formed: the pattern and the tokenizer pattern are both empty");
    if (index_ + size_ > count_) return std::nullopt;
    const std::size_t first = index_, last = index_ + size_ - 1;
    ++index_;
    const std::size_t byte_start = byte_spans_[first].start;
    return TokenWindow{text_.substr(byte_start, byte_spans_[last].end - byte_start), tokens_[first].start,
                       tokens_[last].end};
}

} // namespace tessarin

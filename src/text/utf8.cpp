#include "text/utf8.hpp"

#include <algorithm>
#include <cstring>

#include "text/ascii_vector.hpp"

namespace tessarin {

bool is_ascii(std::string_view text) noexcept
{
    const char* data = text.data();
    std::size_t size = text.size(), i = 0;
    constexpr std::uint64_t high_bits = 0x8080808080808080ULL;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        if (word & high_bits) return false;
    }
    for (; i < size; ++i)
        if (static_cast<unsigned char>(data[i]) >= 0x80) return false;
    return true;
}

std::uint64_t char_count(std::string_view text)
{
    // Every byte but a continuation byte (10xxxxxx) starts a code point;
    // sixteen or eight bytes are classified at a time.
    const char* data = text.data();
    const std::size_t size = text.size();
    std::uint64_t continuations = 0;
    std::size_t i = 0;
#if TESSARIN_SSE2
    using namespace detail;
    while (i + vector_size <= size) {
        // Continuation bytes, read as signed, are those below -64. Each lane
        // counts up to 255 of them before the lanes are summed.
        Vector counts = _mm_setzero_si128();
        const std::size_t block_end = i + std::min<std::size_t>((size - i) / vector_size, 255) * vector_size;
        for (; i < block_end; i += vector_size)
            counts = _mm_sub_epi8(counts, _mm_cmplt_epi8(load(data + i), splat(-64)));
        const Vector sums = _mm_sad_epu8(counts, _mm_setzero_si128());
        continuations += static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
                         static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
#endif
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        // One bit per continuation byte, at the top of its byte; multiplying
        // gathers their sum into the highest byte.
        const std::uint64_t marks = (word & ~(word << 1) & 0x8080808080808080ULL) >> 7;
        continuations += (marks * 0x0101010101010101ULL) >> 56;
    }
    for (; i < size; ++i)
        continuations += utf8::is_continuation(static_cast<unsigned char>(data[i]));
    return size - continuations;
}

std::string char_slice(std::string_view text, std::uint64_t start, std::uint64_t count)
{
    const std::size_t begin = utf8::offset_of(text, start);
    const std::size_t end = begin + utf8::offset_of(text.substr(begin), count);
    return std::string(text.substr(begin, end - begin));
}

std::string_view trim_whitespace(std::string_view text)
{
    // Most text starts and ends with a plain ASCII character: nothing to do.
    const auto is_plain = [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x80 && byte != ' ' && (byte < 0x09 || byte > 0x0D);
    };
    if (text.empty() || (is_plain(text.front()) && is_plain(text.back()))) return text;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t next = begin;
        if (!is_white_space(utf8::decode_forward(text, next))) break;
        begin = next;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t previous = end;
        if (!is_white_space(utf8::decode_backward(text, previous))) break;
        end = previous;
    }
    return text.substr(begin, end - begin);
}

std::string collapse_white_space(std::string_view text)
{
    std::string collapsed;
    collapsed.reserve(text.size());
    bool in_run = false;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t start = pos;
        const bool white = is_white_space(utf8::decode_replacing(text, pos));
        if (white && !in_run) collapsed.push_back(' ');
        if (!white) collapsed.append(text.substr(start, pos - start));
        in_run = white;
    }
    return collapsed;
}

namespace {

// Appends the code points of `text` to `code_points`.
void append_decoded(std::string_view text, std::u32string& code_points)
{
    // Sized exactly up front. (Invalid UTF-8, which the module never passes
    // on, may decode to more code points than it counts; those are appended.)
    std::size_t written = code_points.size();
    code_points.resize(written + char_count(text));
    const char* data = text.data();
    std::size_t pos = 0;
    while (pos < text.size()) {
        // Runs of ASCII go eight bytes at a time.
        std::uint64_t word;
        if (pos + 8 <= text.size() && written + 8 <= code_points.size() &&
            (std::memcpy(&word, data + pos, 8), (word & 0x8080808080808080ULL) == 0)) {
            for (int i = 0; i < 8; ++i)
                code_points[written++] = static_cast<unsigned char>(data[pos + i]);
            pos += 8;
            continue;
        }
        const char32_t c = utf8::decode_forward(text, pos);
        if (written < code_points.size())
            code_points[written] = c;
        else
            code_points.push_back(c);
        ++written;
    }
    code_points.resize(written);
}

} // namespace

std::uint64_t char_count(std::string_view text, Cancellation& cancel)
{
    std::uint64_t count = 0;
    for (std::size_t at = 0; at < text.size(); at += pass_piece) {
        cancel.poll(pass_piece);
        count += char_count(text.substr(at, pass_piece));
    }
    return count;
}

bool is_ascii(std::string_view text, Cancellation& cancel)
{
    for (std::size_t at = 0; at < text.size(); at += pass_piece) {
        cancel.poll(pass_piece);
        if (!is_ascii(text.substr(at, pass_piece))) return false;
    }
    return true;
}

std::u32string decode_utf8(std::string_view text)
{
    Cancellation never;
    return decode_utf8(text, never);
}

std::u32string decode_utf8(std::string_view text, Cancellation& cancel)
{
    // Written a piece at a time, each piece once, into memory reserved for
    // the whole: no second, shrinking copy of a large text, and no pass
    // that only clears memory.
    std::u32string code_points;
    const bool ascii = is_ascii(text, cancel);
    code_points.reserve(ascii ? text.size() : char_count(text, cancel));
    for (std::size_t at = 0; at < text.size();) {
        cancel.poll(pass_piece);
        // Pieces end before the first byte of a code point.
        std::size_t end = std::min(text.size(), at + pass_piece);
        while (end < text.size() && end > at + 1 && utf8::is_continuation(static_cast<unsigned char>(text[end])))
            --end;
        const std::string_view piece = text.substr(at, end - at);
        if (ascii)
            code_points.append(piece.begin(), piece.end());
        else
            append_decoded(piece, code_points);
        at = end;
    }
    return code_points;
}

namespace utf8 {

std::size_t offset_of(std::string_view text, std::uint64_t index) noexcept
{
    std::size_t pos = 0;
    for (; index > 0 && pos < text.size(); --index) {
        ++pos;
        while (pos < text.size() && is_continuation(static_cast<unsigned char>(text[pos])))
            ++pos;
    }
    return pos;
}

} // namespace utf8
} // namespace tessarin

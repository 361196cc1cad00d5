// Counting, cutting, trimming and decoding UTF-8 text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "text/match.hpp"

namespace tessarin {

std::uint64_t char_count(std::string_view text);
std::uint64_t char_count(std::string_view text, Cancellation& cancel);

// The code points [start, start + count) of `text`, cut short at its end.
std::string char_slice(std::string_view text, std::uint64_t start, std::uint64_t count);

// `text` without its leading and trailing White_Space code points.
std::string_view trim_whitespace(std::string_view text);

// `text` with every maximal run of White_Space code points written as one
// space; ill-formed parts stay as they are.
std::string collapse_white_space(std::string_view text);

// The 25 code points with the Unicode White_Space property.
constexpr bool is_white_space(char32_t c) noexcept
{
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    if (c < 0x85) return false;
    switch (c) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000: return true;
    default: return c >= 0x2000 && c <= 0x200A;
    }
}

bool is_ascii(std::string_view text) noexcept;
bool is_ascii(std::string_view text, Cancellation& cancel);

// The code points of `text`, one element each.
std::u32string decode_utf8(std::string_view text);
std::u32string decode_utf8(std::string_view text, Cancellation& cancel);

namespace utf8 {

constexpr bool is_continuation(unsigned char byte) noexcept
{
    return (byte & 0xC0) == 0x80;
}

// Decodes the code point that starts at byte `pos` and moves `pos` past it.
// Never reads beyond `text`, whatever the bytes hold.
inline char32_t decode_forward(std::string_view text, std::size_t& pos) noexcept
{
    const auto lead = static_cast<unsigned char>(text[pos++]);
    if (lead < 0x80) return lead;
    int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    char32_t value = lead & (0x3F >> extra);
    while (extra-- > 0 && pos < text.size() && is_continuation(static_cast<unsigned char>(text[pos])))
        value = (value << 6) | (static_cast<unsigned char>(text[pos++]) & 0x3F);
    return value;
}

// Decodes the code point at byte `pos` as Python's UTF-8 decoder does with
// errors="replace", and moves `pos` past what it read: a well-formed
// sequence gives its code point; anything else gives U+FFFD for the longest
// start of a well-formed sequence found there, at least one byte (the
// "maximal subpart" that Unicode recommends replacing whole).
inline char32_t decode_replacing(std::string_view text, std::size_t& pos) noexcept
{
    constexpr char32_t replacement = 0xFFFD;
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    int extra;
    unsigned char low = 0x80, high = 0xBF; // what the second byte may be
    char32_t value;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;  // no overlong form
        if (lead == 0xED) high = 0x9F; // no surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;  // no overlong form
        if (lead == 0xF4) high = 0x8F; // nothing beyond U+10FFFF
    } else {
        ++pos;
        return replacement;
    }
    std::size_t at = pos + 1;
    for (int k = 0; k < extra; ++k, ++at) {
        if (at >= text.size()) break;
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte < low || byte > high) break;
        value = (value << 6) | (byte & 0x3F);
        low = 0x80;
        high = 0xBF;
        if (k + 1 == extra) {
            pos = at + 1;
            return value;
        }
    }
    pos = at;
    return replacement;
}

// Decodes the code point that ends just before byte `pos` and moves `pos` to
// its first byte.
inline char32_t decode_backward(std::string_view text, std::size_t& pos) noexcept
{
    std::size_t begin = pos - 1;
    while (begin > 0 && pos - begin < 4 && is_continuation(static_cast<unsigned char>(text[begin])))
        --begin;
    std::size_t cursor = begin;
    const char32_t value = decode_forward(text.substr(0, pos), cursor);
    pos = begin;
    return value;
}

// Writes `c` (below 0x110000) as UTF-8 to `out`, which has room for four
// bytes, and returns the number of bytes written.
inline std::size_t encode(char32_t c, char* out) noexcept
{
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

// Byte offset of the code point with index `index`, or text.size() when the
// text has no more code points than that.
std::size_t offset_of(std::string_view text, std::uint64_t index) noexcept;

} // namespace utf8
} // namespace tessarin

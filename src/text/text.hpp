// Folded text, the match record and the code-point helpers that every
// extractor shares. All positions and lengths count Unicode code points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tessarin {

// One occurrence: the half-open span [start, end) of code points in the
// folded text, and its distance from the pattern (0.0 for exact matches).
struct Match {
    std::uint64_t start;
    std::uint64_t end;
    double score;
};

using MatchList = std::vector<Match>;

// A condition that an extractor cannot handle. It ends the whole call, and
// the caller sees its message.
class ExtractionFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Thrown by Cancellation::poll when the caller asked to stop: the call ends
// with nothing to return.
class CallCancelled : public std::exception {
public:
    const char* what() const noexcept override { return "the call was cancelled"; }
};

// Lets a long call be stopped from outside without the library knowing who
// asks. Work is counted in rough units (a code point read, a window step);
// after every `interval` units the check runs, and when it answers true the
// call ends by throwing CallCancelled.
class Cancellation {
public:
    using Check = bool (*)(void* context);
    static constexpr std::int64_t interval = std::int64_t{1} << 20;

    Cancellation() noexcept = default;
    Cancellation(Check check, void* context) noexcept : check_(check), context_(context) {}

    void poll(std::uint64_t work = 1)
    {
        budget_ -= static_cast<std::int64_t>(work);
        if (budget_ > 0) return;
        budget_ = interval;
        if (check_ && check_(context_)) throw CallCancelled();
    }

private:
    Check check_ = nullptr;
    void* context_ = nullptr;
    std::int64_t budget_ = interval;
};

// The folded form of one input string: owned UTF-8 and nothing more. There is
// no map back to the caller's positions.
using NormalizedText = std::string;

// Folds `text`: line feeds become spaces; then, if asked, full Unicode
// lower-casing (root locale, Final_Sigma, multi-code-point mappings); then,
// if asked, the fourteen accented letters and symbols become ASCII letters.
NormalizedText normalize(std::string text, bool case_insensitive, bool special_char_insensitive);
NormalizedText normalize(std::string text, bool case_insensitive, bool special_char_insensitive,
                         Cancellation& cancel);

std::uint64_t char_count(std::string_view text);

// The code points [start, start + count) of `text`, cut short at its end.
std::string char_slice(std::string_view text, std::uint64_t start, std::uint64_t count);

// `text` without its leading and trailing White_Space code points.
std::string_view trim_whitespace(std::string_view text);

// The 25 code points with the Unicode White_Space property.
constexpr bool is_white_space(char32_t c) noexcept
{
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    if (c < 0x85) return false;
    switch (c) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

bool is_ascii(std::string_view text) noexcept;

namespace detail {

// Full Unicode lower-casing of UTF-8 text, handed to ICU in pieces of about
// `piece_size` bytes; the result does not depend on where the pieces end.
constexpr std::size_t lower_case_piece_size = std::size_t{1} << 22;
std::string lower_case_unicode(std::string_view text, Cancellation& cancel, std::size_t piece_size);

} // namespace detail

// The code points of `text`, one element each.
std::u32string decode_utf8(std::string_view text);

// Finds every occurrence of a non-empty needle, overlapping ones included, in
// ascending order, in time linear in both lengths: a fast library search
// jumps to the next occurrence while no partial match is pending, and a
// Knuth-Morris-Pratt automaton follows overlapping occurrences from there.
// Offsets are in bytes; on valid UTF-8 every occurrence of a whole UTF-8
// needle starts and ends on code-point boundaries.
class OccurrenceFinder {
public:
    static constexpr std::size_t none = static_cast<std::size_t>(-1);

    OccurrenceFinder(std::string_view haystack, std::string_view needle);

    // Byte offset of the next occurrence, or `none` when there is no more.
    std::size_t next();

private:
    void prepare_borders();

    std::string_view haystack_;
    std::string_view needle_;
    std::vector<std::size_t> border_; // longest proper border of each needle prefix
    std::size_t pos_ = 0;             // next haystack byte to read
    std::size_t matched_ = 0;         // needle bytes matched just before pos_
};

namespace utf8 {

constexpr bool is_continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

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

// Byte offset of the code point with index `index`, or text.size() when the
// text has no more code points than that.
std::size_t offset_of(std::string_view text, std::uint64_t index) noexcept;

} // namespace utf8
} // namespace tessarin

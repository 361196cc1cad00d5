#include "text/text.hpp"

#include <cstring>
#include <new>

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/uchar.h>
#include <unicode/utypes.h>

namespace tessarin {
namespace {

// One pass over pure ASCII text does all three folding steps: no ICU call,
// and the length never changes.
void fold_ascii(std::string& text, bool case_insensitive, bool special_char_insensitive) noexcept
{
    for (char& c : text) {
        if (c == '\n')
            c = ' ';
        else if (case_insensitive && c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + ('a' - 'A'));
        else if (special_char_insensitive && c == '@')
            c = 'a';
    }
}

// How the final-sigma rule sees the text beyond a cut: it skips
// case-ignorable code points and asks whether the first other one is cased.
bool is_case_ignorable(char32_t c) noexcept
{
    return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_CASE_IGNORABLE);
}
bool is_cased(char32_t c) noexcept { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_CASED); }

void lower_case_piece(std::string_view piece, icu::StringByteSink<std::string>& sink, Cancellation& cancel)
{
    cancel.poll(piece.size());
    UErrorCode status = U_ZERO_ERROR;
    // "" selects the root locale: the language-independent mappings, with
    // Final_Sigma but without the Turkish or Lithuanian rules.
    icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(piece.data(), static_cast<int32_t>(piece.size())), sink,
                              nullptr, status);
    if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
    if (U_FAILURE(status)) throw std::runtime_error(std::string("lower-casing failed: ") + u_errorName(status));
}

} // namespace

namespace detail {

std::string lower_case_unicode(std::string_view text, Cancellation& cancel, std::size_t piece_size)
{
    std::string lowered;
    lowered.reserve(text.size() + text.size() / 8);
    icu::StringByteSink<std::string> sink(&lowered);
    if (text.size() <= piece_size) {
        lower_case_piece(text, sink, cancel);
        return lowered;
    }
    // ICU takes 32-bit lengths, so a long text goes in pieces, which also
    // lets a long call be cancelled between them. Lower-casing depends on
    // context only through the final-sigma rule, which looks past
    // case-ignorable code points for a cased one on either side of a capital
    // sigma. So each piece goes to ICU between one-letter stand-ins for what
    // lies beyond its ends: "a" where the first code point out there that is
    // not case-ignorable is cased, nothing where it is not or where the text
    // ends. Their lower-case forms, one byte each, are dropped again. This
    // holds wherever a cut falls, even in text without a single space.
    std::string piece;
    bool cased_before = false;          // as seen from the start of the current piece
    std::size_t ignorable_until = 0;    // from the last cut looked at, only case-ignorable code points up to here,
    bool cased_after_ignorable = false; // and whether the code point there is cased
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = begin + piece_size;
        if (end >= text.size()) {
            end = text.size();
        } else {
            while (end > begin && utf8::is_continuation(static_cast<unsigned char>(text[end]))) --end;
            if (end == begin) { // a piece smaller than one code point still takes one
                utf8::decode_forward(text, end);
            }
        }
        bool cased_after = false;
        if (end < text.size()) {
            // A run of case-ignorable code points is walked once, however
            // many cuts fall into it.
            if (ignorable_until <= end) {
                std::size_t pos = end;
                char32_t c = 0;
                while (pos < text.size()) {
                    std::size_t next = pos;
                    c = utf8::decode_forward(text, next);
                    if (!is_case_ignorable(c)) break;
                    pos = next;
                }
                ignorable_until = pos;
                cased_after_ignorable = pos < text.size() && is_cased(c);
            }
            cased_after = cased_after_ignorable;
        }
        piece.clear();
        if (cased_before) piece += 'a';
        piece.append(text.substr(begin, end - begin));
        if (cased_after) piece += 'a';
        const std::size_t mark = lowered.size();
        lower_case_piece(piece, sink, cancel);
        if (cased_after) lowered.pop_back();
        if (cased_before) lowered.erase(mark, 1);

        // What the next piece's start sees behind it: the last code point of
        // this piece that is not case-ignorable, or else what this piece saw.
        for (std::size_t pos = end; pos > begin;) {
            const char32_t c = utf8::decode_backward(text, pos);
            if (!is_case_ignorable(c)) {
                cased_before = is_cased(c);
                break;
            }
        }
        begin = end;
    }
    return lowered;
}

} // namespace detail

namespace {

// The fourteen code points that fold to a plain letter, all of them one
// byte (U+0040), two bytes (U+00E0..U+00FC) or three bytes (U+20AC) long.
char special_replacement_latin1(unsigned char second_byte) noexcept
{
    switch (second_byte) {
    case 0xA0: case 0xA2: case 0xA4: return 'a';              // à â ä
    case 0xA7: return 'c';                                    // ç
    case 0xA8: case 0xA9: case 0xAA: case 0xAB: return 'e';   // è é ê ë
    case 0xAF: return 'i';                                    // ï
    case 0xB9: case 0xBB: case 0xBC: return 'u';              // ù û ü
    default: return 0;
    }
}

// Replaces the special characters in place; the text can only get shorter.
void fold_special_chars(std::string& text) noexcept
{
    const std::size_t size = text.size();
    std::size_t read = 0, write = 0;
    while (read < size) {
        const auto byte = static_cast<unsigned char>(text[read]);
        char replacement = 0;
        std::size_t width = 1;
        if (byte == '@') {
            replacement = 'a';
        } else if (byte == 0xC3 && read + 1 < size) {
            replacement = special_replacement_latin1(static_cast<unsigned char>(text[read + 1]));
            width = 2;
        } else if (byte == 0xE2 && read + 2 < size && static_cast<unsigned char>(text[read + 1]) == 0x82 &&
                   static_cast<unsigned char>(text[read + 2]) == 0xAC) {
            replacement = 'e';
            width = 3;
        }
        if (replacement) {
            text[write++] = replacement;
            read += width;
        } else {
            text[write++] = text[read++];
        }
    }
    text.resize(write);
}

} // namespace

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

NormalizedText normalize(std::string text, bool case_insensitive, bool special_char_insensitive)
{
    Cancellation never;
    return normalize(std::move(text), case_insensitive, special_char_insensitive, never);
}

NormalizedText normalize(std::string text, bool case_insensitive, bool special_char_insensitive,
                         Cancellation& cancel)
{
    if (is_ascii(text)) {
        fold_ascii(text, case_insensitive, special_char_insensitive);
        return text;
    }
    for (char* line_feed = static_cast<char*>(std::memchr(text.data(), '\n', text.size())); line_feed;
         line_feed = static_cast<char*>(std::memchr(line_feed, '\n', text.size() - (line_feed - text.data()))))
        *line_feed = ' ';
    if (case_insensitive) text = detail::lower_case_unicode(text, cancel, detail::lower_case_piece_size);
    if (special_char_insensitive) fold_special_chars(text);
    return text;
}

std::uint64_t char_count(std::string_view text)
{
    // Every byte but a continuation byte (10xxxxxx) starts a code point;
    // eight bytes are classified at a time.
    const char* data = text.data();
    const std::size_t size = text.size();
    std::uint64_t continuations = 0;
    std::size_t i = 0;
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

std::u32string decode_utf8(std::string_view text)
{
    std::u32string code_points;
    if (is_ascii(text)) {
        code_points.assign(text.begin(), text.end());
        return code_points;
    }
    // Sized exactly up front: no second, shrinking copy of a large text.
    // (Invalid UTF-8, which the module never passes on, may decode to more
    // code points than it counts; those are appended.)
    code_points.resize(char_count(text));
    std::size_t written = 0;
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
    return code_points;
}

OccurrenceFinder::OccurrenceFinder(std::string_view haystack, std::string_view needle)
    : haystack_(haystack), needle_(needle)
{}

// The automaton is only needed once an occurrence was found: built then.
void OccurrenceFinder::prepare_borders()
{
    border_.assign(needle_.size() + 1, 0);
    for (std::size_t length = 2; length <= needle_.size(); ++length) {
        std::size_t border = border_[length - 1];
        while (border > 0 && needle_[border] != needle_[length - 1])
            border = border_[border];
        if (needle_[border] == needle_[length - 1]) ++border;
        border_[length] = border;
    }
}

std::size_t OccurrenceFinder::next()
{
    const std::size_t size = haystack_.size(), width = needle_.size();
    if (width == 0) return none;
    if (width == 1) {
        // A single byte cannot overlap itself: the next occurrence is simply
        // the next copy of it.
        if (pos_ >= size) return none;
        const void* found = std::memchr(haystack_.data() + pos_, needle_[0], size - pos_);
        if (!found) {
            pos_ = size;
            return none;
        }
        const auto at = static_cast<std::size_t>(static_cast<const char*>(found) - haystack_.data());
        pos_ = at + 1;
        return at;
    }
    while (pos_ < size) {
        if (matched_ == 0) {
            // Nothing pending: the leftmost occurrence from here on is next.
            const void* found = memmem(haystack_.data() + pos_, size - pos_, needle_.data(), width);
            if (!found) {
                pos_ = size;
                return none;
            }
            const auto at = static_cast<std::size_t>(static_cast<const char*>(found) - haystack_.data());
            pos_ = at + width;
            matched_ = width;
            if (border_.empty()) prepare_borders();
            return at;
        }
        const char c = haystack_[pos_++];
        while (matched_ > 0 && (matched_ == width || needle_[matched_] != c))
            matched_ = border_[matched_];
        if (needle_[matched_] == c) ++matched_;
        if (matched_ == width) return pos_ - width;
    }
    return none;
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

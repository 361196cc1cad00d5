#include "text/fold.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/uchar.h>
#include <unicode/utypes.h>

#include "text/ascii_vector.hpp"
#include "text/utf8.hpp"

namespace tessarin {
namespace {

using detail::fold_ascii_bytes;
using detail::next_non_ascii;

// How the final-sigma rule sees the text beyond a cut: it skips
// case-ignorable code points and asks whether the first other one is cased.
bool is_case_ignorable(char32_t c) noexcept
{
    return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_CASE_IGNORABLE);
}
bool is_cased(char32_t c) noexcept
{
    return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_CASED);
}

void lower_case_piece(std::string_view piece, icu::StringByteSink<std::string>& sink, Cancellation& cancel)
{
    cancel.poll(piece.size());
    UErrorCode status = U_ZERO_ERROR;
    // "" selects the root locale: the language-independent mappings, with
    // Final_Sigma but without the Turkish or Lithuanian rules.
    icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(piece.data(), static_cast<int32_t>(piece.size())), sink, nullptr,
                              status);
    if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
    if (U_FAILURE(status)) throw std::runtime_error(std::string("lower-casing failed: ") + u_errorName(status));
}

// Lower-cases `text` onto the end of `lowered`.
void lower_case_unicode_onto(std::string_view text, std::string& lowered, Cancellation& cancel, std::size_t piece_size)
{
    icu::StringByteSink<std::string> sink(&lowered);
    if (text.size() <= piece_size) {
        lower_case_piece(text, sink, cancel);
        return;
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
            while (end > begin && utf8::is_continuation(static_cast<unsigned char>(text[end])))
                --end;
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
}

// An ASCII byte that is neither cased nor case-ignorable: no Final_Sigma
// context reaches across it, so lower-casing may stop just after it. Of
// ASCII, the letters are cased and ' . : ^ ` are case-ignorable.
bool ends_case_context(char c) noexcept
{
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) return false;
    if ((byte | 0x20) >= 'a' && (byte | 0x20) <= 'z') return false;
    return c != '\'' && c != '.' && c != ':' && c != '^' && c != '`';
}

// The fourteen code points that fold to a plain letter, all of them one
// byte (U+0040), two bytes (U+00E0..U+00FC) or three bytes (U+20AC) long.
char special_replacement_latin1(unsigned char second_byte) noexcept
{
    switch (second_byte) {
    case 0xA0:
    case 0xA2:
    case 0xA4: return 'a'; // à â ä
    case 0xA7: return 'c'; // ç
    case 0xA8:
    case 0xA9:
    case 0xAA:
    case 0xAB: return 'e'; // è é ê ë
    case 0xAF: return 'i'; // ï
    case 0xB9:
    case 0xBB:
    case 0xBC: return 'u'; // ù û ü
    default: return 0;
    }
}

// The first byte at or after `from` that is not ASCII, or `size`; a long
// run is scanned a piece at a time.
std::size_t next_non_ascii(const char* data, std::size_t size, std::size_t from, Cancellation& cancel)
{
    for (std::size_t at = from; at < size; at += pass_piece) {
        cancel.poll(pass_piece);
        const std::size_t end = std::min(size, at + pass_piece), found = next_non_ascii(data, end, at);
        if (found < end) return found;
    }
    return size;
}

// fold_ascii_bytes a piece at a time.
void fold_ascii_bytes(const char* in, char* out, std::size_t count, AsciiFold fold, Cancellation& cancel)
{
    for (std::size_t at = 0; at < count; at += pass_piece) {
        cancel.poll(pass_piece);
        fold_ascii_bytes(in + at, out + at, std::min(pass_piece, count - at), fold);
    }
}

// Folds text[from, end) in place, lower-casing aside: line feeds become
// spaces and, when `special`, the special characters their letters. ASCII
// goes a vector at a time. The text can only get shorter; returns the new
// end of the folded part.
std::size_t fold_in_place(std::string& text, std::size_t from, std::size_t end, bool special, Cancellation& cancel)
{
    const AsciiFold fold{true, false, special};
    char* data = text.data();
    std::size_t read = from, write = from;
    while (read < end) {
        const std::size_t run_end = next_non_ascii(data, end, read, cancel);
        fold_ascii_bytes(data + read, data + write, run_end - read, fold, cancel);
        write += run_end - read;
        read = run_end;
        if (read == end) break;
        cancel.poll();
        const auto byte = static_cast<unsigned char>(data[read]);
        char replacement = 0;
        std::size_t width = 1;
        if (special && byte == 0xC3 && read + 1 < end) {
            replacement = special_replacement_latin1(static_cast<unsigned char>(data[read + 1]));
            width = 2;
        } else if (special && byte == 0xE2 && read + 2 < end && static_cast<unsigned char>(data[read + 1]) == 0x82 &&
                   static_cast<unsigned char>(data[read + 2]) == 0xAC) {
            replacement = 'e';
            width = 3;
        }
        if (replacement) {
            data[write++] = replacement;
            read += width;
        } else {
            data[write++] = data[read++];
        }
    }
    return write;
}

// Lower-casing text that is not all ASCII: ASCII stretches are folded here,
// and each stretch around other code points goes to the library, from just
// after an ASCII byte that ends every case context to just after the next
// such byte. Stretches a short ASCII gap apart go as one, which saves the
// library's cost per call on text where accents are frequent.
std::string fold_unicode_lower(std::string_view text, bool special, Cancellation& cancel, std::size_t piece_size)
{
    constexpr std::size_t short_gap = 256;
    const AsciiFold fold = AsciiFold::of(true, special);
    const char* data = text.data();
    const std::size_t size = text.size();
    std::string out;
    out.reserve(size + size / 8);
    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t first = next_non_ascii(data, size, pos, cancel);
        std::size_t begin = first;
        while (begin < size && begin > pos && !ends_case_context(data[begin - 1])) {
            --begin;
            cancel.poll();
        }
        // Grown a piece at a time, so that no pass only clears memory.
        for (std::size_t at = pos; at < begin; at += pass_piece) {
            const std::size_t count = std::min(pass_piece, begin - at), written = out.size();
            out.resize(written + count);
            fold_ascii_bytes(data + at, out.data() + written, count, fold, cancel);
        }
        if (first == size) break;

        std::size_t end = first;
        for (;;) {
            while (end < size && !ends_case_context(data[end])) {
                ++end;
                cancel.poll();
            }
            if (end < size) ++end; // the byte that ends the context goes with the stretch
            const std::size_t next = next_non_ascii(data, size, end, cancel);
            if (next == size || next - end > short_gap) break;
            end = next;
        }
        const std::size_t lowered = out.size();
        lower_case_unicode_onto(text.substr(begin, end - begin), out, cancel, piece_size);
        out.resize(fold_in_place(out, lowered, out.size(), special, cancel));
        pos = end;
    }
    return out;
}

} // namespace

namespace detail {

std::string lower_case_unicode(std::string_view text, Cancellation& cancel, std::size_t piece_size)
{
    std::string lowered;
    lowered.reserve(text.size() + text.size() / 8);
    lower_case_unicode_onto(text, lowered, cancel, piece_size);
    return lowered;
}

} // namespace detail

std::uint64_t FoldedText::length() const
{
    return ascii_ ? bytes().size() : char_count(bytes());
}

std::string FoldedText::release() &&
{
    if (source_ == Source::owned) return std::move(owned_);
    return std::string(bytes());
}

FoldedText fold_text(TextInput text, bool case_insensitive, bool special_char_insensitive, Cancellation& cancel,
                     std::size_t piece_size)
{
    FoldedText folded;
    const std::string_view bytes = text.bytes();
    const AsciiFold fold = AsciiFold::of(case_insensitive, special_char_insensitive);
    if (text.known_ascii() || is_ascii(bytes, cancel)) {
        folded.ascii_ = true;
        if (text.borrowed()) {
            // Folding that changes nothing needs no copy at all.
            if (!case_insensitive && !special_char_insensitive &&
                next_non_ascii(bytes.data(), bytes.size(), 0) == bytes.size() &&
                std::memchr(bytes.data(), '\n', bytes.size()) == nullptr) {
                folded.source_ = FoldedText::Source::borrowed;
                folded.borrowed_ = bytes;
                return folded;
            }
            // Uninitialised: the fold writes every byte once.
            folded.buffer_.reset(new char[bytes.size() + 1]);
            folded.buffer_size_ = bytes.size();
            fold_ascii_bytes(bytes.data(), folded.buffer_.get(), bytes.size(), fold, cancel);
            folded.source_ = FoldedText::Source::buffer;
            return folded;
        }
        folded.owned_ = text.release();
        fold_ascii_bytes(folded.owned_.data(), folded.owned_.data(), folded.owned_.size(), fold, cancel);
        return folded;
    }
    if (case_insensitive) {
        folded.owned_ = fold_unicode_lower(bytes, special_char_insensitive, cancel, piece_size);
    } else {
        folded.owned_ = text.release();
        folded.owned_.resize(fold_in_place(folded.owned_, 0, folded.owned_.size(), special_char_insensitive, cancel));
    }
    // Folding may have removed every code point beyond ASCII (a special
    // character, or one whose small letter is ASCII, such as the Kelvin sign).
    folded.ascii_ = (case_insensitive || special_char_insensitive) && is_ascii(folded.owned_, cancel);
    return folded;
}

std::string normalize(std::string text, bool case_insensitive, bool special_char_insensitive)
{
    Cancellation never;
    return normalize(std::move(text), case_insensitive, special_char_insensitive, never);
}

std::string normalize(std::string text, bool case_insensitive, bool special_char_insensitive, Cancellation& cancel)
{
    return fold_text(std::move(text), case_insensitive, special_char_insensitive, cancel).release();
}

} // namespace tessarin

// Stand-in until folding reads code units itself: through UTF-8 and back.
namespace tessarin {
namespace {

template <typename Char> std::string encode_utf8(Units<Char> text)
{
    std::string out;
    out.reserve(text.size());
    for (Char unit : text) {
        const char32_t c = code_point(unit);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

} // namespace

template <typename Char>
FoldedUnits<Char> fold_units(Units<Char> text, bool case_insensitive, bool special_char_insensitive,
                             Cancellation& cancel)
{
    if (!case_insensitive && !special_char_insensitive &&
        std::find(text.begin(), text.end(), Char('\n')) == text.end())
        return FoldedUnits<Char>::borrowing(text);
    const std::string folded =
        fold_text(encode_utf8(text), case_insensitive, special_char_insensitive, cancel).release();
    std::basic_string<Char> units;
    units.reserve(text.size());
    for (std::size_t pos = 0; pos < folded.size();)
        units.push_back(static_cast<Char>(utf8::decode_forward(folded, pos)));
    return FoldedUnits<Char>::owning(std::move(units));
}

template FoldedUnits<char> fold_units(Units<char>, bool, bool, Cancellation&);
template FoldedUnits<char16_t> fold_units(Units<char16_t>, bool, bool, Cancellation&);
template FoldedUnits<char32_t> fold_units(Units<char32_t>, bool, bool, Cancellation&);

} // namespace tessarin

// Text as code units of one code point each, as a Python str keeps it: one
// byte per code point when every code point is below 256 (Latin-1, read as
// unsigned), two when every one is in the Basic Multilingual Plane, four
// otherwise. A code point's index is then its offset, so positions cost
// nothing. Every pass of the library is written once over a unit type
// `Char` (char, char16_t or char32_t) and runs on the text as it lies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "text/match.hpp"
#include "text/utf8.hpp"

namespace tessarin {

template <typename Char> using Units = std::basic_string_view<Char>;

constexpr char32_t code_point(char c) noexcept
{
    return static_cast<unsigned char>(c);
}
constexpr char32_t code_point(char16_t c) noexcept
{
    return c;
}
constexpr char32_t code_point(char32_t c) noexcept
{
    return c;
}

// The largest code point a unit of this type holds.
template <typename Char> constexpr char32_t largest_code_point() noexcept
{
    return sizeof(Char) == 1 ? 0xFF : sizeof(Char) == 2 ? 0xFFFF : 0x10FFFF;
}

// `text` without its leading and trailing White_Space code points.
template <typename Char> Units<Char> trim_white_space(Units<Char> text) noexcept
{
    std::size_t begin = 0, end = text.size();
    while (begin < end && is_white_space(code_point(text[begin])))
        ++begin;
    while (end > begin && is_white_space(code_point(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

// `text` in units of type `Char`, into `out`; false when one of its code
// points lies beyond what such a unit holds (it then occurs nowhere in a
// text of such units).
template <typename Char> bool narrow_units(std::u32string_view text, std::basic_string<Char>& out)
{
    out.clear();
    out.reserve(text.size());
    for (const char32_t c : text) {
        if (c > largest_code_point<Char>()) return false;
        out.push_back(static_cast<Char>(c));
    }
    return true;
}

// The number of bytes that the text takes as UTF-8.
template <typename Char> std::size_t utf8_length(Units<Char> text) noexcept
{
    std::size_t bytes = 0;
    for (const Char unit : text) {
        const char32_t c = code_point(unit);
        bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    }
    return bytes;
}

// Whether the text holds a surrogate code point (U+D800 to U+DFFF), which no
// valid Unicode string holds on its own.
bool has_surrogate(Units<char16_t> text) noexcept;
bool has_surrogate(Units<char32_t> text) noexcept;

// A text in units of one width, borrowed or owned. A borrowed text is a
// few words, cheap to move; an owned one keeps its string on the heap, in
// one of three forms.
class UnitText {
public:
    UnitText() noexcept = default;
    UnitText(UnitText&&) noexcept = default;
    UnitText& operator=(UnitText&&) noexcept = default;

    // `ascii` says that every byte is below 0x80, where the caller knows it.
    static UnitText borrowed(std::string_view latin1, bool ascii = false) noexcept
    {
        return UnitText(latin1.data(), latin1.size(), 1, ascii);
    }
    static UnitText borrowed(std::u16string_view ucs2) noexcept { return UnitText(ucs2.data(), ucs2.size(), 2, false); }
    static UnitText borrowed(std::u32string_view ucs4) noexcept { return UnitText(ucs4.data(), ucs4.size(), 4, false); }
    // A borrowed view of another text's units, whoever owns them.
    static UnitText borrowed_as(const UnitText& other) noexcept;
    static UnitText owned(std::string latin1, bool ascii = false);
    static UnitText owned(std::u16string ucs2);
    static UnitText owned(std::u32string ucs4);

    // Bytes per code point: 1, 2 or 4.
    int width() const noexcept { return width_; }
    // The number of code points.
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    // Every code point is known to be below 0x80.
    bool ascii() const noexcept { return ascii_; }
    bool borrowed() const noexcept { return !owned_; }

    // Calls visit(Units<Char>) with the text in its own unit type.
    template <typename Visit> decltype(auto) visit(Visit&& visit) const
    {
        switch (width_) {
        case 1: return visit(Units<char>(static_cast<const char*>(data_), size_));
        case 2: return visit(Units<char16_t>(static_cast<const char16_t*>(data_), size_));
        default: return visit(Units<char32_t>(static_cast<const char32_t*>(data_), size_));
        }
    }

private:
    // The strings of an owned text; they stay where they are when the text
    // moves, so `data_` keeps pointing into them.
    struct Owned {
        std::string latin1;
        std::u16string ucs2;
        std::u32string ucs4;
    };

    UnitText(const void* data, std::size_t size, int width, bool ascii) noexcept
        : data_(data), size_(size), width_(width), ascii_(ascii)
    {
    }

    const void* data_ = "";
    std::size_t size_ = 0;
    int width_ = 1;
    bool ascii_ = false;
    std::unique_ptr<Owned> owned_;

    // A text that holds `units` in the slot of Owned for their width.
    template <typename String> static UnitText adopt(String Owned::*slot, String units, int width, bool ascii);
};

inline UnitText UnitText::borrowed_as(const UnitText& other) noexcept
{
    UnitText view = other.visit([](auto units) { return borrowed(units); });
    view.ascii_ = other.ascii_;
    return view;
}

// The code points of UTF-8 text in the narrowest unit type that holds them
// all, as Python would store the str that bytes.decode("utf-8", "replace")
// makes of it: each ill-formed part reads as U+FFFD.
UnitText decode_to_units(std::string_view utf8, Cancellation& cancel);

// A text as an extractor receives it: UTF-8 that the extractor owns (such as
// a file's contents, a literal in a test), or a caller's code units lent for
// the whole call (such as a Python str's own storage), which must stay alive
// and unchanged until the call returns.
class TextInput {
public:
    TextInput(std::string utf8) noexcept : utf8_(std::move(utf8)) {}
    TextInput(const char* utf8) : utf8_(utf8) {}

    static TextInput borrowed(UnitText units) noexcept
    {
        TextInput input{std::string()};
        input.units_ = std::move(units);
        input.borrowed_ = true;
        return input;
    }
    // `ascii` must hold bytes below 0x80 only.
    static TextInput borrowed_ascii(std::string_view ascii) noexcept
    {
        return borrowed(UnitText::borrowed(ascii, true));
    }

    // The code points, decoded from UTF-8 where they came as such.
    UnitText units(Cancellation& cancel) &&;

    // The text as UTF-8 bytes, for what reads UTF-8: the owned bytes, or a
    // borrowed ASCII text's own bytes. Empty for other borrowed texts.
    std::string_view bytes() const noexcept;
    bool known_ascii() const noexcept { return borrowed_ && units_.ascii(); }
    bool borrowed() const noexcept { return borrowed_; }
    // The owned UTF-8, for folding in place; empty for a borrowed text.
    std::string release() noexcept { return std::move(utf8_); }

private:
    std::string utf8_;
    UnitText units_;
    bool borrowed_ = false;
};

} // namespace tessarin

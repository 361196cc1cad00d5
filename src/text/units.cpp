#include "text/units.hpp"

#include <algorithm>

#include "text/ascii_vector.hpp"
#include "text/fold.hpp"
#include "text/inline_vector.hpp"
#include "text/utf8.hpp"

namespace tessarin {

namespace {

// Sixteen or eight units at a time are or-ed together after marking each
// surrogate, so the loop has no branch per unit.
template <typename Char> bool any_surrogate(Units<Char> text) noexcept
{
    constexpr std::size_t block = 16;
    std::size_t i = 0;
    for (; i + block <= text.size(); i += block) {
        unsigned found = 0;
        for (std::size_t k = 0; k < block; ++k)
            found |= (static_cast<std::uint32_t>(text[i + k]) & 0xFFFFF800u) == 0xD800u;
        if (found) return true;
    }
    for (; i < text.size(); ++i)
        if ((static_cast<std::uint32_t>(text[i]) & 0xFFFFF800u) == 0xD800u) return true;
    return false;
}

} // namespace

bool has_surrogate(Units<char16_t> text) noexcept
{
    return any_surrogate(text);
}

bool has_surrogate(Units<char32_t> text) noexcept
{
    return any_surrogate(text);
}

UnitText UnitText::owned(std::string latin1, bool ascii)
{
    UnitText text;
    text.owned_ = std::make_unique<Owned>();
    text.owned_->latin1 = std::move(latin1);
    text.data_ = text.owned_->latin1.data();
    text.size_ = text.owned_->latin1.size();
    text.width_ = 1;
    text.ascii_ = ascii;
    return text;
}

UnitText UnitText::owned(std::u16string ucs2)
{
    UnitText text;
    text.owned_ = std::make_unique<Owned>();
    text.owned_->ucs2 = std::move(ucs2);
    text.data_ = text.owned_->ucs2.data();
    text.size_ = text.owned_->ucs2.size();
    text.width_ = 2;
    return text;
}

UnitText UnitText::owned(std::u32string ucs4)
{
    UnitText text;
    text.owned_ = std::make_unique<Owned>();
    text.owned_->ucs4 = std::move(ucs4);
    text.data_ = text.owned_->ucs4.data();
    text.size_ = text.owned_->ucs4.size();
    text.width_ = 4;
    return text;
}

namespace {

// The width that the code points of `utf8` need, from their lead bytes: a
// code point from U+0100 on starts with 0xC4 or above, one beyond the BMP
// with 0xF0 or above.
int width_of(std::string_view utf8, Cancellation& cancel)
{
    int width = 1;
    for (std::size_t at = 0; at < utf8.size(); at += pass_piece) {
        cancel.poll(pass_piece);
        const std::size_t end = std::min(utf8.size(), at + pass_piece);
        for (std::size_t i = detail::next_non_ascii(utf8.data(), end, at); i < end;
             i = detail::next_non_ascii(utf8.data(), end, i + 1)) {
            const auto byte = static_cast<unsigned char>(utf8[i]);
            if (byte >= 0xF0) return 4;
            if (byte >= 0xC4) width = 2;
        }
    }
    return width;
}

template <typename Char> std::basic_string<Char> decode_as(std::string_view utf8, Cancellation& cancel)
{
    std::basic_string<Char> units;
    units.reserve(char_count(utf8, cancel));
    for (std::size_t at = 0; at < utf8.size();) {
        cancel.poll(pass_piece);
        // Pieces end before the first byte of a code point.
        std::size_t end = std::min(utf8.size(), at + pass_piece);
        while (end < utf8.size() && end > at + 1 && utf8::is_continuation(static_cast<unsigned char>(utf8[end])))
            --end;
        std::size_t pos = at;
        while (pos < end) {
            const std::size_t ascii_end = detail::next_non_ascii(utf8.data(), end, pos);
            units.append(utf8.begin() + static_cast<std::ptrdiff_t>(pos),
                         utf8.begin() + static_cast<std::ptrdiff_t>(ascii_end));
            pos = ascii_end;
            if (pos < end) units.push_back(static_cast<Char>(utf8::decode_forward(utf8.substr(0, end), pos)));
        }
        at = end;
    }
    return units;
}

} // namespace

UnitText decode_to_units(std::string_view utf8, Cancellation& cancel)
{
    switch (width_of(utf8, cancel)) {
    case 1: {
        if (is_ascii(utf8, cancel)) return UnitText::owned(std::string(utf8), true);
        std::string latin1;
        latin1.reserve(char_count(utf8, cancel));
        for (std::size_t pos = 0; pos < utf8.size();) {
            if (pos % pass_piece == 0) cancel.poll(pass_piece);
            latin1.push_back(static_cast<char>(utf8::decode_forward(utf8, pos)));
        }
        return UnitText::owned(std::move(latin1));
    }
    case 2: return UnitText::owned(decode_as<char16_t>(utf8, cancel));
    default: return UnitText::owned(decode_as<char32_t>(utf8, cancel));
    }
}

UnitText TextInput::units(Cancellation& cancel) &&
{
    if (borrowed_) return std::move(units_);
    // An ASCII text needs no decoding: its bytes are its code points.
    if (is_ascii(utf8_, cancel)) return UnitText::owned(std::move(utf8_), true);
    UnitText decoded = decode_to_units(utf8_, cancel);
    utf8_ = std::string();
    return decoded;
}

std::string_view TextInput::bytes() const noexcept
{
    if (!borrowed_) return utf8_;
    if (units_.ascii()) return units_.visit([](auto units) {
        if constexpr (sizeof(units[0]) == 1)
            return std::string_view(units);
        else
            return std::string_view();
    });
    return std::string_view();
}

std::u32string fold_code_points(TextInput text, bool case_insensitive, bool special_char_insensitive,
                                Cancellation& cancel)
{
    const UnitText units = std::move(text).units(cancel);
    return units.visit([&](auto view) {
        const auto kept = fold_units(view, case_insensitive, special_char_insensitive, cancel);
        const auto folded = kept.view();
        std::u32string code_points(folded.size(), U'\0');
        std::transform(folded.begin(), folded.end(), code_points.begin(), [](auto c) { return code_point(c); });
        return code_points;
    });
}

CodePoints fold_pattern(TextInput text, bool case_insensitive, bool special_char_insensitive, Cancellation& cancel)
{
    const UnitText units = std::move(text).units(cancel);
    return units.visit([&](auto view) {
        CodePoints code_points;
        // Without the flags only line feeds change, and on ASCII text the
        // flags change ASCII units alone: folded here as they are copied.
        if ((!case_insensitive && !special_char_insensitive) || units.ascii()) {
            const AsciiFold fold = AsciiFold::of(case_insensitive, special_char_insensitive);
            for (const auto unit : view)
                code_points.push_back(code_point(fold(unit)));
            return code_points;
        }
        const auto kept = fold_units(view, case_insensitive, special_char_insensitive, cancel);
        for (const auto unit : kept.view())
            code_points.push_back(code_point(unit));
        return code_points;
    });
}

} // namespace tessarin

#include "text/units.hpp"

#include <algorithm>

#include "text/ascii_vector.hpp"
#include "text/fold.hpp"
#include "text/inline_vector.hpp"
#include "text/utf8.hpp"

namespace tessarin {

namespace {

// A surrogate is a unit whose bits above the low eleven read 0xD800. A
// vector of units at a time where the target has SSE2, sixteen at a time
// in a loop without a branch per unit elsewhere.
template <typename Char> bool any_surrogate(Units<Char> text) noexcept
{
    std::size_t i = 0;
#if TESSARIN_SSE2
    using namespace detail;
    constexpr std::size_t lanes = vector_size / sizeof(Char);
    const Vector mask = sizeof(Char) == 2 ? _mm_set1_epi16(static_cast<short>(0xF800)) : _mm_set1_epi32(static_cast<int>(0xFFFFF800u));
    const Vector surrogate = sizeof(Char) == 2 ? _mm_set1_epi16(static_cast<short>(0xD800)) : _mm_set1_epi32(0xD800);
    const auto marks = [&](std::size_t at) {
        const Vector masked = _mm_and_si128(load(reinterpret_cast<const char*>(text.data() + at)), mask);
        return sizeof(Char) == 2 ? _mm_cmpeq_epi16(masked, surrogate) : _mm_cmpeq_epi32(masked, surrogate);
    };
    for (; i + 4 * lanes <= text.size(); i += 4 * lanes) {
        const Vector any = _mm_or_si128(_mm_or_si128(marks(i), marks(i + lanes)),
                                        _mm_or_si128(marks(i + 2 * lanes), marks(i + 3 * lanes)));
        if (high_bits(any)) return true;
    }
#endif
    constexpr std::size_t block = 16;
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

template <typename String> UnitText UnitText::adopt(String Owned::*slot, String units, int width, bool ascii)
{
    UnitText text;
    text.owned_ = std::make_unique<Owned>();
    String& held = (*text.owned_).*slot;
    held = std::move(units);
    text.data_ = held.data();
    text.size_ = held.size();
    text.width_ = width;
    text.ascii_ = ascii;
    return text;
}

UnitText UnitText::owned(std::string latin1, bool ascii)
{
    return adopt(&Owned::latin1, std::move(latin1), 1, ascii);
}

UnitText UnitText::owned(std::u16string ucs2)
{
    return adopt(&Owned::ucs2, std::move(ucs2), 2, false);
}

UnitText UnitText::owned(std::u32string ucs4)
{
    return adopt(&Owned::ucs4, std::move(ucs4), 4, false);
}

namespace {

// Whether some byte could start a code point beyond the BMP.
bool may_leave_bmp(std::string_view utf8, Cancellation& cancel)
{
    for (std::size_t at = 0; at < utf8.size(); at += pass_piece) {
        cancel.poll(pass_piece);
        const std::string_view piece = utf8.substr(at, pass_piece);
        if (std::any_of(piece.begin(), piece.end(), [](char byte) { return static_cast<unsigned char>(byte) >= 0xF0; }))
            return true;
    }
    return false;
}

// Decodes into units of type Char (wide enough for every code point the
// bytes can hold) and tells the largest code point.
template <typename Char>
std::basic_string<Char> decode_as(std::string_view utf8, char32_t& largest, Cancellation& cancel)
{
    std::basic_string<Char> units;
    units.reserve(utf8.size());
    largest = 0;
    for (std::size_t at = 0; at < utf8.size();) {
        cancel.poll(pass_piece);
        const std::size_t end = std::min(utf8.size(), at + pass_piece);
        std::size_t pos = at;
        while (pos < end) {
            const std::size_t ascii_end = detail::next_non_ascii(utf8.data(), end, pos);
            units.append(utf8.begin() + static_cast<std::ptrdiff_t>(pos),
                         utf8.begin() + static_cast<std::ptrdiff_t>(ascii_end));
            pos = ascii_end;
            if (pos == end) break;
            // A sequence may run past the piece: it is read whole.
            const char32_t c = utf8::decode_replacing(utf8, pos);
            largest = std::max(largest, c);
            units.push_back(static_cast<Char>(c));
        }
        at = pos;
    }
    return units;
}

template <typename Narrow, typename Wide>
std::basic_string<Narrow> narrowed(const std::basic_string<Wide>& wide, Cancellation& cancel)
{
    std::basic_string<Narrow> narrow(wide.size(), Narrow());
    for (std::size_t at = 0; at < wide.size(); at += pass_piece) {
        cancel.poll(pass_piece);
        const std::size_t end = std::min(wide.size(), at + pass_piece);
        std::transform(wide.begin() + static_cast<std::ptrdiff_t>(at), wide.begin() + static_cast<std::ptrdiff_t>(end),
                       narrow.begin() + static_cast<std::ptrdiff_t>(at), [](Wide c) { return static_cast<Narrow>(c); });
    }
    return narrow;
}

} // namespace

UnitText decode_to_units(std::string_view utf8, Cancellation& cancel)
{
    if (is_ascii(utf8, cancel)) return UnitText::owned(std::string(utf8), true);
    char32_t largest = 0;
    if (may_leave_bmp(utf8, cancel)) {
        std::u32string wide = decode_as<char32_t>(utf8, largest, cancel);
        if (largest > 0xFFFF) return UnitText::owned(std::move(wide));
        if (largest > 0xFF) return UnitText::owned(narrowed<char16_t>(wide, cancel));
        return UnitText::owned(narrowed<char>(wide, cancel));
    }
    std::u16string wide = decode_as<char16_t>(utf8, largest, cancel);
    if (largest > 0xFF) return UnitText::owned(std::move(wide));
    return UnitText::owned(narrowed<char>(wide, cancel));
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

// Folding: what an extractor does to its inputs before it compares them.
// Line feeds become spaces; then, if asked, full Unicode lower-casing (root
// locale, Final_Sigma, multi-code-point mappings); then, if asked, the
// fourteen accented letters and symbols become ASCII letters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "text/inline_vector.hpp"
#include "text/match.hpp"
#include "text/units.hpp"

namespace tessarin {

// What folding does to an ASCII byte, as one map: line feeds become spaces,
// and when asked, capitals become small letters and '@' becomes 'a'. Every
// other byte, those of longer code points included, stays as it is. On a
// pure ASCII text this map is the whole of folding.
struct AsciiFold {
    bool line_feeds = false;
    bool lower = false;
    bool at_sign = false;

    static constexpr AsciiFold of(bool case_insensitive, bool special_char_insensitive) noexcept
    {
        return AsciiFold{true, case_insensitive, special_char_insensitive};
    }
    constexpr bool identity() const noexcept { return !line_feeds && !lower && !at_sign; }
    constexpr char operator()(char c) const noexcept
    {
        if (line_feeds && c == '\n') return ' ';
        if (lower && c >= 'A' && c <= 'Z') return static_cast<char>(c + ('a' - 'A'));
        if (at_sign && c == '@') return 'a';
        return c;
    }
    // Wider units: only those of ASCII change.
    constexpr char16_t operator()(char16_t c) const noexcept
    {
        return c < 0x80 ? static_cast<char16_t>((*this)(static_cast<char>(c))) : c;
    }
    constexpr char32_t operator()(char32_t c) const noexcept
    {
        return c < 0x80 ? static_cast<char32_t>((*this)(static_cast<char>(c))) : c;
    }
};

// A folded text: its UTF-8 bytes, held here or, when folding changed
// nothing in a borrowed input, the input's own bytes.
class FoldedText {
public:
    FoldedText() = default;
    FoldedText(FoldedText&&) noexcept = default;
    FoldedText& operator=(FoldedText&&) noexcept = default;

    std::string_view bytes() const noexcept
    {
        switch (source_) {
        case Source::borrowed: return borrowed_;
        case Source::buffer: return std::string_view(buffer_.get(), buffer_size_);
        default: return owned_;
        }
    }
    operator std::string_view() const noexcept { return bytes(); }
    std::size_t size() const noexcept { return bytes().size(); }
    bool empty() const noexcept { return bytes().empty(); }
    // Every byte is ASCII: a byte offset is then a code-point index.
    bool ascii() const noexcept { return ascii_; }
    // The number of code points.
    std::uint64_t length() const;
    // The folded bytes as a string of their own.
    std::string release() &&;

private:
    friend FoldedText fold_text(TextInput, bool, bool, Cancellation&);
    enum class Source { owned, buffer, borrowed };

    Source source_ = Source::owned;
    std::string owned_;
    std::unique_ptr<char[]> buffer_;
    std::size_t buffer_size_ = 0;
    std::string_view borrowed_;
    bool ascii_ = false;
};

namespace detail {

// Full Unicode lower-casing of UTF-8 text, and nothing else of folding.
std::string lower_case_unicode(std::string_view text, Cancellation& cancel);

} // namespace detail

// Folds `text`. ASCII runs are folded a vector at a time, the code points
// between them one at a time.
FoldedText fold_text(TextInput text, bool case_insensitive, bool special_char_insensitive, Cancellation& cancel);

// The same folding, for small texts such as patterns, as a string.
std::string normalize(std::string text, bool case_insensitive, bool special_char_insensitive);
std::string normalize(std::string text, bool case_insensitive, bool special_char_insensitive, Cancellation& cancel);

// A folded text of fixed-width code units, one code point each: `char`
// holds Latin-1 (read as unsigned char), `char16_t` a code point of the BMP
// (never a surrogate pair), `char32_t` any code point. Folding keeps the
// unit type: no code point lower-cases beyond the width of its own. It is a
// view of the input when folding changed nothing, else a buffer of its own.
template <typename Char> class FoldedUnits {
public:
    FoldedUnits() noexcept = default;
    FoldedUnits(FoldedUnits&&) noexcept = default;
    FoldedUnits& operator=(FoldedUnits&&) noexcept = default;

    // The input itself, unfolded, for a caller that folds as it reads.
    static FoldedUnits borrowing(std::basic_string_view<Char> input) noexcept
    {
        FoldedUnits folded;
        folded.view_ = input;
        return folded;
    }

    std::basic_string_view<Char> view() const noexcept { return view_; }
    // True when no copy was made: the view is the input itself.
    bool borrowed() const noexcept { return buffer_ == nullptr; }

private:
    template <typename C> friend FoldedUnits<C> fold_units(std::basic_string_view<C>, bool, bool, Cancellation&);

    std::basic_string_view<Char> view_;
    std::unique_ptr<Char[]> buffer_;
};

// Folds `text` as fold_text does, over code units of one code point each.
// Explicitly instantiated for char, char16_t and char32_t.
template <typename Char>
FoldedUnits<Char> fold_units(std::basic_string_view<Char> text, bool case_insensitive, bool special_char_insensitive,
                             Cancellation& cancel);

// Folds `text` into `out` (room for as many units) where only ASCII units
// change: without the flags (line feeds alone), or when every unit is
// ASCII. False otherwise, when the whole folding is needed.
template <typename Char>
bool fold_ascii_units(Units<Char> text, bool case_insensitive, bool special_char_insensitive, Char* out) noexcept
{
    const bool flags = case_insensitive || special_char_insensitive;
    const AsciiFold fold = AsciiFold::of(case_insensitive, special_char_insensitive);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (flags && code_point(text[i]) >= 0x80) return false;
        out[i] = fold(text[i]);
    }
    return true;
}

// The folded code points of a short text such as a pattern or a separator.
std::u32string fold_code_points(TextInput text, bool case_insensitive, bool special_char_insensitive,
                                Cancellation& cancel);
// The same, held in place when short (no allocation for a short pattern).
CodePoints fold_pattern(TextInput text, bool case_insensitive, bool special_char_insensitive, Cancellation& cancel);

} // namespace tessarin

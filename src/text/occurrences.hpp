// Finding every occurrence of a needle in a text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "text/fold.hpp"
#include "text/inline_vector.hpp"
#include "text/units.hpp"

namespace tessarin {

// Bit i tells whether data[i] is `unit`, for i below `count` and 64. For a
// pass that wants every copy of one unit, such as a one-unit separator,
// taken 64 units at a time.
template <typename Char> std::uint64_t unit_positions(const Char* data, std::size_t count, Char unit) noexcept;

// 1 when `unit`, other than `separator`, may be white space below U+1680:
// at most U+0020, or within U+0085 to U+00A0; else 0. Every White_Space code
// point below U+1680 lies there; some that lie there are not. It has no
// branch, so that a loop over many units can be vectorised.
template <typename Unsigned> constexpr Unsigned may_be_low_white_space(Unsigned unit, Unsigned separator) noexcept
{
    const auto low = static_cast<Unsigned>(unit <= 0x20) & static_cast<Unsigned>(unit != separator);
    const auto latin = static_cast<Unsigned>(static_cast<Unsigned>(unit - 0x85) <= 0xA0 - 0x85);
    return static_cast<Unsigned>(low | latin);
}

// Whether some byte of `data` other than `separator` may be white space:
// one at most 0x20, or from 0x85 to 0xA0 (read as Latin-1). Every White_Space
// code point a byte holds lies there; some that lie there are not.
bool bytes_may_hold_other_white_space(const char* data, std::size_t count, char separator) noexcept;

// What OccurrenceFinder::next returns when there is no more.
constexpr std::size_t no_occurrence = static_cast<std::size_t>(-1);

// Finds every occurrence of a non-empty needle, overlapping ones included, in
// ascending order, in time linear in both lengths: a vector scan for the
// needle's first and last units jumps to the next occurrence while no
// partial match is pending, and, for a needle that can overlap itself, a
// Knuth-Morris-Pratt automaton follows overlapping occurrences from there.
// Offsets count units: code points of a text of code units, bytes of UTF-8
// (where every occurrence of a whole UTF-8 needle starts and ends on
// code-point boundaries).
template <typename Char = char> class OccurrenceFinder {
public:
    static constexpr std::size_t none = no_occurrence;

    // `fold` is applied to the haystack's units below 0x80 as they are read
    // (the needle is taken as it is), so a text whose only fold is of ASCII
    // (line feeds always; case and '@' for a pure ASCII text) can be
    // searched without a folded copy. A long search polls `cancel` when one
    // is given.
    OccurrenceFinder(Units<Char> haystack, Units<Char> needle, AsciiFold fold = AsciiFold{},
                     Cancellation* cancel = nullptr);

    // Offset of the next occurrence, or `none` when there is no more.
    std::size_t next();

private:
    // A haystack this short is searched start by start: setting up the
    // vector scan and the automaton would cost more than its few starts.
    static constexpr std::size_t short_haystack = 64;

    void prepare_borders();
    std::size_t find_from(std::size_t from);
    std::size_t next_in_short() noexcept;

    Units<Char> haystack_;
    Units<Char> needle_;
    InlineVector<std::size_t, 33> border_; // longest proper border of each needle prefix
    std::size_t pos_ = 0;             // next haystack unit to read
    std::size_t matched_ = 0;         // needle units matched just before pos_
    AsciiFold fold_;
    bool overlaps_ = false; // some occurrences may overlap: the automaton follows them
    Cancellation* cancel_;
};

template <typename Char>
OccurrenceFinder(std::basic_string_view<Char>, std::basic_string_view<Char>, AsciiFold = {}, Cancellation* = nullptr)
    -> OccurrenceFinder<Char>;
template <typename Char>
OccurrenceFinder(std::basic_string<Char>, std::basic_string_view<Char>, AsciiFold = {}, Cancellation* = nullptr)
    -> OccurrenceFinder<Char>;

} // namespace tessarin

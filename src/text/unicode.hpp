// What folding needs to know of one code point: its full lower-case form,
// its class for the final-sigma rule, and the fourteen special characters.
// The case tables are generated at build time from the building
// interpreter's Unicode database (scripts/generate_unicode_tables.py), so
// lower-casing here equals that interpreter's str.lower(). Internal to the
// core.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "text/unicode_data.hpp"

namespace tessarin::unicode {

constexpr char32_t code_point_limit = 0x110000;
constexpr char32_t capital_sigma = 0x3A3, small_sigma = 0x3C3, final_sigma = 0x3C2;
constexpr unsigned longest_lower_form = data::longest_form;

// How the final-sigma rule sees a code point. A capital sigma becomes a
// final sigma when, skipping case-ignorable code points on either side, a
// cased one comes before it and none comes after it. A code point that is
// both cased and case-ignorable is skipped, so it counts as ignorable.
enum class CaseClass : std::uint8_t { other = 0, cased = 1, ignorable = 2 };

constexpr const data::Record& case_record(char32_t c) noexcept
{
    if (c >= code_point_limit) return data::records[0];
    const std::size_t block = data::first_stage[c >> data::block_shift];
    return data::records[data::second_stage[(block << data::block_shift) | (c & ((1u << data::block_shift) - 1))]];
}

constexpr CaseClass case_class(char32_t c) noexcept
{
    return static_cast<CaseClass>(case_record(c).flags & 3u);
}

// Whether lower-casing changes `c` (a capital sigma included, whatever
// its context).
constexpr bool lower_changes(const data::Record& record) noexcept
{
    return (record.flags & data::flag_changes) != 0;
}
constexpr bool lower_changes(char32_t c) noexcept
{
    return lower_changes(case_record(c));
}
// Lower-casing changes no code point from here on.
constexpr char32_t lower_changes_limit = data::changes_limit;

// Calls `visit` with every code point that lower-casing changes, in order.
// Most blocks of the tables change nothing and are passed over whole, so
// that this costs a few tens of thousands of steps rather than one per code
// point below the limit (a command's start waits for it).
template <typename Visit> void for_each_lower_changing(Visit&& visit)
{
    constexpr std::size_t block_size = std::size_t{1} << data::block_shift;
    constexpr std::size_t distinct_blocks = sizeof(data::second_stage) / sizeof(data::second_stage[0]) / block_size;
    std::array<bool, distinct_blocks> block_changes{};
    for (std::size_t block = 0; block < distinct_blocks; ++block)
        for (std::size_t i = 0; i < block_size && !block_changes[block]; ++i)
            block_changes[block] = lower_changes(data::records[data::second_stage[block * block_size + i]]);
    for (char32_t first = 0; first < lower_changes_limit; first += block_size) {
        if (!block_changes[data::first_stage[first >> data::block_shift]]) continue;
        for (char32_t c = first; c < first + block_size && c < lower_changes_limit; ++c)
            if (lower_changes(c)) visit(c);
    }
}
// Every code point whose lower-case form is longer than itself lies in
// [lengthening_first, lengthening_last] (İ alone; the core's folding test
// checks the bounds against every code point), so that a text can be
// scanned for them a block at a time.
constexpr char32_t lengthening_first = 0x130, lengthening_last = 0x130;

// Writes the full lower-case form of `c` to `out` (room for
// longest_lower_form) and returns its length, 1 to 3. A capital sigma gives
// the small sigma here; its final form depends on its neighbours.
constexpr unsigned lower_full(char32_t c, const data::Record& record, char32_t* out) noexcept
{
    if (record.expansion == 0) {
        out[0] = static_cast<char32_t>(static_cast<std::int32_t>(c) + record.delta);
        return 1;
    }
    const data::Expansion& form = data::expansions[record.expansion];
    for (unsigned i = 0; i < form.length; ++i)
        out[i] = form.code_points[i];
    return form.length;
}
constexpr unsigned lower_full(char32_t c, char32_t* out) noexcept
{
    return lower_full(c, case_record(c), out);
}

// The ASCII letter that the special-character fold makes of `c`, or `c`.
constexpr char32_t special_fold(char32_t c) noexcept
{
    switch (c) {
    case 0x40:
    case 0xE0:
    case 0xE2:
    case 0xE4: return U'a'; // @ à â ä
    case 0xE7: return U'c'; // ç
    case 0xE8:
    case 0xE9:
    case 0xEA:
    case 0xEB:
    case 0x20AC: return U'e'; // è é ê ë €
    case 0xEF: return U'i';   // ï
    case 0xF9:
    case 0xFB:
    case 0xFC: return U'u'; // ù û ü
    default: return c;
    }
}

// The final-sigma class of each ASCII character, for byte scans.
inline constexpr std::array<CaseClass, 128> ascii_case_classes = [] {
    std::array<CaseClass, 128> classes{};
    for (char32_t c = 0; c < 128; ++c)
        classes[c] = case_class(c);
    return classes;
}();

// An ASCII byte that a final-sigma context cannot reach across: neither
// cased nor case-ignorable.
constexpr bool ends_case_context(unsigned char byte) noexcept
{
    return byte < 0x80 && ascii_case_classes[byte] == CaseClass::other;
}

// Whether the capital sigma whose neighbours `before` and `after` report
// becomes a final sigma. Each of them returns the next code point going
// away from the sigma, or no_code_point at the end of the text.
constexpr char32_t no_code_point = 0xFFFFFFFF;
template <typename Before, typename After> bool is_final_sigma(Before before, After after)
{
    auto first_not_ignorable = [](auto& next) {
        for (char32_t c = next(); c != no_code_point; c = next())
            if (case_class(c) != CaseClass::ignorable) return case_class(c);
        return CaseClass::other;
    };
    return first_not_ignorable(before) == CaseClass::cased && first_not_ignorable(after) != CaseClass::cased;
}

} // namespace tessarin::unicode

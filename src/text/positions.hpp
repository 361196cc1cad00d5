// Where the positions of a reshaped text lie in the text it came from.
// Folding keeps one code point for one, except where lower-casing lengthens
// one (İ becomes i and a combining dot); reading every run of white space as
// one space shortens the text. Both are recorded as reshapings, few and far
// between, so that a span found in the reshaped text can be reported in the
// caller's.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "text/unicode.hpp"
#include "text/units.hpp"

namespace tessarin {

// `original_length` code points at `original` became `length` code points at
// `at` of the reshaped text; everywhere else one code point stays one.
struct Reshaping {
    std::uint64_t at, length;
    std::uint64_t original, original_length;
};

class PositionMap {
public:
    // Reshapings come in ascending order of `at`.
    void add(const Reshaping& reshaping) { reshapings_.push_back(reshaping); }
    bool empty() const noexcept { return reshapings_.empty(); }
    const std::vector<Reshaping>& reshapings() const noexcept { return reshapings_; }

    // The code point of the original text where `position` lies. A start
    // inside what a run became takes the whole run, and so does an end that
    // cuts into it; an end right after it ends where the run ends.
    std::uint64_t original_of(std::uint64_t position, bool is_end) const noexcept
    {
        const auto after = std::upper_bound(reshapings_.begin(), reshapings_.end(), position,
                                            [](std::uint64_t at, const Reshaping& r) { return at < r.at; });
        if (after == reshapings_.begin()) return position;
        const Reshaping& r = *std::prev(after);
        const std::uint64_t inside = position - r.at;
        if (inside < r.length) return r.original + (is_end && inside > 0 ? r.original_length : 0);
        return position - (r.at + r.length) + (r.original + r.original_length);
    }

private:
    std::vector<Reshaping> reshapings_;
};

// Where lower-casing lengthens a code point of `text`: each such code point
// as a reshaping of the folded text (fold_units with case folding).
template <typename Char> PositionMap lengthenings(Units<Char> text)
{
    PositionMap map;
    if (sizeof(Char) == 1) return map; // no code point below 256 lengthens
    char32_t form[unicode::longest_lower_form];
    std::uint64_t shift = 0;
    // Such code points are rare: a block is read closely only where a quick
    // look (which the compiler vectorizes) sees one in it.
    constexpr std::uint64_t block = 256;
    constexpr std::uint32_t span = unicode::lengthening_last - unicode::lengthening_first;
    for (std::uint64_t from = 0; from < text.size(); from += block) {
        const std::uint64_t to = std::min<std::uint64_t>(text.size(), from + block);
        std::uint32_t seen = 0; // a count, which the compiler sums in vectors where it would not an "or" of bools
        for (std::uint64_t i = from; i < to; ++i)
            seen += static_cast<std::uint32_t>(text[i]) - std::uint32_t{unicode::lengthening_first} <= span;
        if (seen == 0) continue;
        for (std::uint64_t i = from; i < to; ++i) {
            const char32_t c = code_point(text[i]);
            if (c < unicode::lengthening_first || c > unicode::lengthening_last) continue;
            const unicode::data::Record& record = unicode::case_record(c);
            if (record.expansion == 0) continue;
            const unsigned length = unicode::lower_full(c, record, form);
            if (length < 2) continue;
            map.add(Reshaping{i + shift, length, i, 1});
            shift += length - 1;
        }
    }
    return map;
}

// `text` with every maximal run of white space read as one space, and where
// each run lies in `text`.
template <typename Char> std::basic_string<Char> collapse_white_space(Units<Char> text, PositionMap& map)
{
    std::basic_string<Char> collapsed;
    collapsed.reserve(text.size());
    for (std::uint64_t i = 0; i < text.size();) {
        if (!is_white_space(code_point(text[i]))) {
            collapsed.push_back(text[i++]);
            continue;
        }
        const std::uint64_t run = i;
        while (i < text.size() && is_white_space(code_point(text[i])))
            ++i;
        if (i - run > 1) map.add(Reshaping{collapsed.size(), 1, run, i - run});
        collapsed.push_back(Char(' '));
    }
    return collapsed;
}

} // namespace tessarin

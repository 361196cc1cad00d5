// Damerau-Levenshtein distances (unrestricted transpositions) of every
// prefix of a text from one pattern, in one pass: Zhao's row-by-row
// algorithm with the text as the rows, so the last cell of row j is the
// distance of the text's first j code points. Equal to the metric library's
// distances.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "text/units.hpp"

namespace tessarin::detail {

class DamerauPrefixPass {
public:
    explicit DamerauPrefixPass(std::u32string_view pattern);

    // distances[j] = distance(text[0, j), pattern) for j in [0, text.size()].
    // The text is code points (char32_t) or the bytes of ASCII text (char).
    template <typename Char>
    void prefix_distances(std::basic_string_view<Char> text, std::vector<std::uint32_t>& distances);

private:
    // The id of a code point of the pattern, or `absent`.
    std::int32_t id_of(char32_t c) const noexcept;
    static constexpr std::int32_t absent = -1;

    std::u32string_view pattern_;
    std::vector<std::int32_t> pattern_ids_;
    std::vector<char32_t> others_; // non-ASCII pattern code points, sorted, ids from 128 on
    std::int32_t ascii_ids_[128];
    std::vector<std::int32_t> last_row_;    // per id: the last row whose code point it was
    std::vector<std::int32_t> r_, r1_, fr_; // the current and previous rows, and the saved transposition cells
};

} // namespace tessarin::detail

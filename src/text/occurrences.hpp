// Finding every occurrence of a needle in a text.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "text/fold.hpp"

namespace tessarin {

// Finds every occurrence of a non-empty needle, overlapping ones included, in
// ascending order, in time linear in both lengths: a vector scan for the
// needle's first and last bytes jumps to the next occurrence while no
// partial match is pending, and, for a needle that can overlap itself, a
// Knuth-Morris-Pratt automaton follows overlapping occurrences from there.
// Offsets are in bytes; on valid UTF-8 every occurrence of a whole UTF-8
// needle starts and ends on code-point boundaries.
class OccurrenceFinder {
public:
    static constexpr std::size_t none = static_cast<std::size_t>(-1);

    // `fold` is applied to the haystack's bytes as they are read (the needle
    // is taken as it is), so a pure ASCII text can be searched without a
    // folded copy.
    // A long search polls `cancel` when one is given.
    OccurrenceFinder(std::string_view haystack, std::string_view needle, AsciiFold fold = AsciiFold{},
                     Cancellation* cancel = nullptr);

    // Byte offset of the next occurrence, or `none` when there is no more.
    std::size_t next();

private:
    void prepare_borders();
    std::size_t find_from(std::size_t from);

    std::string_view haystack_;
    std::string_view needle_;
    std::vector<std::size_t> border_; // longest proper border of each needle prefix
    std::size_t pos_ = 0;             // next haystack byte to read
    std::size_t matched_ = 0;         // needle bytes matched just before pos_
    AsciiFold fold_;
    bool overlaps_ = false; // some occurrences may overlap: the automaton follows them
    Cancellation* cancel_;
};

} // namespace tessarin

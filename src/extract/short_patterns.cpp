#include "extract/short_patterns.hpp"

#include <algorithm>

namespace tessarin::detail {

PackedPatterns::PackedPatterns(const std::vector<std::u32string>& patterns, std::uint64_t limit) : limit_(limit)
{
    // Patterns in the order given, each in the first word with room for it.
    std::vector<std::pair<std::size_t, unsigned>> placed; // per pattern: its word, its lowest bit
    std::vector<unsigned> used;
    for (const std::u32string& pattern : patterns) {
        std::size_t word = 0;
        while (word < used.size() && used[word] + pattern.size() > 64)
            ++word;
        if (word == used.size()) used.push_back(0);
        placed.emplace_back(word, used[word]);
        used[word] += static_cast<unsigned>(pattern.size());
    }
    const std::size_t words = used.size(), states = limit + 1;
    starts_.assign(words, 0);
    finals_.assign(words, 0);
    initial_.assign(words * states, 0);
    owners_.assign(words * 64, 0);
    low_masks_.assign(0x100 * words, 0);
    none_.assign(words, 0);
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        const std::u32string& pattern = patterns[i];
        const auto [word, low] = placed[i];
        const unsigned high = low + static_cast<unsigned>(pattern.size()) - 1;
        starts_[word] |= std::uint64_t{1} << low;
        finals_[word] |= std::uint64_t{1} << high;
        owners_[word * 64 + high] = static_cast<std::uint32_t>(i);
        // Before any text, the first d code points lie within d edits of
        // the empty stretch.
        for (std::size_t d = 1; d < states; ++d)
            for (std::size_t k = 0; k < std::min<std::size_t>(d, pattern.size()); ++k)
                initial_[word * states + d] |= std::uint64_t{1} << (low + k);
        for (std::size_t k = 0; k < pattern.size(); ++k) {
            const char32_t c = pattern[k];
            std::uint64_t* row;
            if (c < 0x100) {
                row = &low_masks_[c * words];
            } else {
                const auto [slot, added] = other_rows_.try_emplace(c, static_cast<std::uint32_t>(other_rows_.size()));
                if (added) other_masks_.resize(other_masks_.size() + words, 0);
                row = &other_masks_[slot->second * words];
            }
            row[word] |= std::uint64_t{1} << (low + k);
        }
    }
}

} // namespace tessarin::detail

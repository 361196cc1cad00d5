// Many patterns too short to be cut into pieces worth looking for, searched
// in one pass over the text, many to a machine word.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "text/text.hpp"

namespace tessarin::detail {

// Finds, for every one of many patterns of 1 to 64 code points, the ends
// where some stretch of the text lies within `limit` Levenshtein edits of
// it: the ends that BitParallelPattern::mark_reachable_ends marks for each
// alone. Shift-And with errors (Wu and Manber): for each count of edits d,
// bit i of state d tells whether the pattern's first i + 1 code points lie
// within d edits of some stretch ending here. Patterns sit side by side in
// a word; a shift carries a pattern's top bit into the next one's lowest
// bit, which the bit for "a match may start here" sets anyway, so the
// patterns never see one another.
class PackedPatterns {
public:
    // Every pattern must be 1 to 64 code points long, longer than `limit`.
    PackedPatterns(const std::vector<std::u32string>& patterns, std::uint64_t limit);

    // Calls found(index, end) for each pattern that lies within the limit of
    // a stretch ending at `end`, ends ascending.
    template <typename Char, typename Found> void scan(Units<Char> text, Cancellation& cancel, Found&& found) const
    {
        const std::size_t words = starts_.size(), states = limit_ + 1;
        std::vector<std::uint64_t> state(initial_);
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t piece_end = std::min(text.size(), at + pass_piece);
            cancel.poll((piece_end - at) * words * states);
            for (; at < piece_end; ++at) {
                const std::uint64_t* masks = masks_of(code_point(text[at]));
                std::uint64_t* row = state.data();
                for (std::size_t w = 0; w < words; ++w, row += states) {
                    const std::uint64_t start = starts_[w], mask = masks[w];
                    std::uint64_t before_fewer = row[0]; // state d - 1 before this code point
                    std::uint64_t now_fewer = ((row[0] << 1) | start) & mask;
                    row[0] = now_fewer;
                    for (std::size_t d = 1; d < states; ++d) {
                        const std::uint64_t before = row[d];
                        // A code point that matches, one substituted, one of the
                        // pattern left out, one of the text left out.
                        const std::uint64_t now = (((before << 1) | start) & mask) |
                                                  (((before_fewer | now_fewer) << 1) | start) | before_fewer;
                        before_fewer = before;
                        now_fewer = now;
                        row[d] = now;
                    }
                    for (std::uint64_t hits = now_fewer & finals_[w]; hits != 0; hits &= hits - 1)
                        found(owners_[w * 64 + static_cast<std::size_t>(__builtin_ctzll(hits))], at + 1);
                }
            }
        }
    }

private:
    const std::uint64_t* masks_of(char32_t c) const noexcept
    {
        if (c < 0x100) return &low_masks_[c * starts_.size()];
        const auto found = other_rows_.find(c);
        return found == other_rows_.end() ? none_.data() : &other_masks_[found->second * starts_.size()];
    }

    std::uint64_t limit_;
    std::vector<std::uint64_t> starts_, finals_; // per word: each pattern's lowest bit, its highest
    std::vector<std::uint64_t> initial_;         // per word and count of edits: prefixes within that many
    std::vector<std::uint32_t> owners_;          // per word and bit: the pattern whose highest bit it is
    std::vector<std::uint64_t> low_masks_;       // per code point below 256 and word: where it occurs
    std::unordered_map<char32_t, std::uint32_t> other_rows_;
    std::vector<std::uint64_t> other_masks_;
    std::vector<std::uint64_t> none_;
};

} // namespace tessarin::detail

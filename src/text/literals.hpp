// Finding every occurrence of any of many needles in one pass over a text:
// an Aho-Corasick automaton over the needles' code units, made a
// deterministic automaton over classes of units (the units that occur in
// some needle, each a class; every other unit one class), so that a step
// is two table reads whatever the number of needles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "text/fold.hpp"
#include "text/units.hpp"

namespace tessarin {

template <typename Char> class LiteralSet {
public:
    // Needle i has id i. An empty needle, or one with a code point that a
    // unit of type Char cannot hold, occurs nowhere. `fold` is applied to
    // the text's units below 0x80 as they are read (the needles are taken
    // as they are), as OccurrenceFinder does.
    LiteralSet(const std::vector<std::u32string>& needles, AsciiFold fold = AsciiFold{});

    // Calls found(id, end) for every occurrence of every needle, overlapping
    // ones included, in ascending order of `end` (one past the occurrence's
    // last unit); occurrences that end together come in no set order.
    template <typename Found> void scan(Units<Char> text, Cancellation& cancel, Found&& found) const
    {
        std::uint32_t state = 0;
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t piece_end = std::min(text.size(), at + pass_piece);
            cancel.poll(piece_end - at);
            for (; at < piece_end; ++at) {
                state = next_[state * classes_ + class_of(text[at])];
                if (state >= first_output_state_) report(state, at + 1, found);
            }
        }
    }

    bool empty() const noexcept { return lengths_.empty(); }
    std::size_t needle_length(std::uint32_t id) const noexcept { return lengths_[id]; }

private:
    std::uint32_t class_of(Char unit) const noexcept
    {
        const char32_t c = code_point(unit);
        if (c < 0x100) return low_classes_[c];
        if (c < 0x10000) return block_classes_[(static_cast<std::size_t>(block_of_[c >> 8]) << 8) | (c & 0xFF)];
        return wide_class(c);
    }
    std::uint32_t wide_class(char32_t c) const noexcept;

    template <typename Found> void report(std::uint32_t state, std::size_t end, Found& found) const
    {
        // The needles that end at this state, then those of its proper
        // suffixes that are needles, along the output links.
        for (std::uint32_t s = state; s >= first_output_state_; s = output_link_[s - first_output_state_])
            for (std::uint32_t k = ids_begin_[s - first_output_state_]; k < ids_begin_[s - first_output_state_ + 1];
                 ++k)
                found(ids_[k], end);
    }

    std::size_t classes_ = 1;
    std::uint32_t low_classes_[256] = {};
    std::vector<std::uint16_t> block_of_;        // per high byte of a BMP unit: its block of classes (0: none)
    std::vector<std::uint32_t> block_classes_;   // 256 per block
    std::vector<std::pair<char32_t, std::uint32_t>> wide_classes_; // beyond the BMP, sorted
    std::vector<std::uint32_t> next_;            // states x classes
    // States are numbered so that those with something to report come last.
    std::uint32_t first_output_state_ = 0;
    std::vector<std::uint32_t> output_link_; // per reporting state: the next reporting suffix, or below first_output_state_
    std::vector<std::uint32_t> ids_begin_;   // per reporting state, into ids_
    std::vector<std::uint32_t> ids_;
    std::vector<std::size_t> lengths_;
};

} // namespace tessarin

// Where, in UTF-8 bytes as they come, the folded text may hold one of some
// literals (the pieces that every accepted window holds, literal_pieces in
// extract/extract.hpp), found without decoding or folding the text: every
// run of bytes that reads as a literal once each of its code points is
// folded alone, and every code point that folds into a literal's code point
// otherwise (into more than one code point, as İ does; into one of another
// UTF-8 length, as é does into e, the Kelvin sign into k; a CR, read with its
// line feed as one, for a space). Perhaps a few places more; never fewer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/match.hpp"

namespace tessarin {

class RawLiteralFinder {
public:
    // `literals` are folded code points, none empty.
    RawLiteralFinder(const std::vector<std::u32string>& literals, bool case_insensitive, bool special_char_insensitive,
                     bool crlf_line_feeds);

    // Appends to `found`, in ascending order, the bytes of `bytes` where
    // such a place begins.
    void find(std::string_view bytes, std::vector<std::size_t>& found, Cancellation& cancel) const;

private:
    using ByteSet = std::array<std::uint64_t, 4>;
    // A sequence of byte sets, one per byte of the literal's UTF-8 form;
    // two of them, small, sift the candidates sixteen at a time.
    struct Pattern {
        std::vector<ByteSet> bytes;
        std::size_t sift_at[2] = {0, 0};
        std::vector<unsigned char> sift_values[2];
    };

    void find(const Pattern& pattern, std::string_view bytes, std::vector<std::size_t>& found,
              Cancellation& cancel) const;

    std::vector<Pattern> patterns_;
    std::vector<std::string> seeds_; // the UTF-8 forms of the code points that fold in otherwise
    Pattern seed_starts_;            // their first bytes, as a pattern of one byte
};

} // namespace tessarin

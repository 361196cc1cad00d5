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
    // A small byte set as comparisons of whole vectors: a byte is in it
    // when, with `mask` OR-ed in, it equals one of the `count` values (a
    // letter in either case is one comparison).
    struct Sift {
        std::size_t at = 0; // the byte of the literal it tells
        unsigned char mask = 0, values[4] = {0, 0, 0, 0};
        int count = 0; // 0: the set is too large to sift by
    };
    // A sequence of byte sets, one per byte of the literal's UTF-8 form;
    // two of them, small, sift the candidates a vector at a time.
    struct Pattern {
        std::vector<ByteSet> bytes;
        Sift sifts[2];
    };

    static Sift sift_of(const ByteSet& set, std::size_t at);
    static std::size_t sift(const Pattern& pattern, const unsigned char* data, std::size_t n,
                            std::vector<std::size_t>& found, const std::vector<std::string>& seeds,
                            const std::string& seed_leads, bool& seeded);
    void find(const Pattern& pattern, std::string_view bytes, std::vector<std::size_t>& found,
              const std::string& seed_leads, bool& seeded, Cancellation& cancel) const;

    std::vector<Pattern> patterns_;
    std::vector<std::string> seeds_; // the UTF-8 forms of the code points that fold in otherwise
    Pattern seed_starts_;            // their first bytes, as a pattern of one byte
    std::string seed_leads_;         // the same, as a list
};

} // namespace tessarin

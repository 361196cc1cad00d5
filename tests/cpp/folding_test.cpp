// Lower-casing in pieces gives what one pass over the whole text gives,
// wherever the pieces end: random texts of cased letters, case-ignorable
// marks, capital and small sigmas and spaces, cut into pieces of 1 to 64
// bytes, against the same text lowered in one piece.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "text/text.hpp"

namespace {

std::string random_text(std::mt19937& random, std::size_t length)
{
    // Cased letters (one to three bytes, İ lowering to two code points),
    // case-ignorable marks (U+0301, U+00B7, U+2019, U+05F4, the apostrophe),
    // code points that are both cased and case-ignorable (U+0345, U+02B0),
    // the sigmas, and code points that are neither (space, digit, CJK).
    static const std::vector<std::string> alphabet = {
        "A",      "b",      "\u00C9", "\u00E9", "\u0130", "\u1E9E", "\u0301", "\u00B7", "\u2019", "\u05F4", "'",
        "\u0345", "\u02B0", "\u03A3", "\u03A3", "\u03A3", "\u03C3", " ",      "1",      "\u4E2D", "\n"};
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string text;
    for (std::size_t i = 0; i < length; ++i)
        text += alphabet[pick(random)];
    return text;
}

} // namespace

int main()
{
    std::mt19937 random(20261208);
    std::uniform_int_distribution<std::size_t> length(0, 40), piece(1, 64);
    tessarin::Cancellation never;
    int failures = 0;
    for (int round = 0; round < 20000 && failures < 5; ++round) {
        const std::string text = random_text(random, length(random));
        const std::size_t piece_size = piece(random);
        const std::string whole = tessarin::detail::lower_case_unicode(text, never, std::string::npos);
        const std::string pieces = tessarin::detail::lower_case_unicode(text, never, piece_size);
        if (whole != pieces) {
            std::printf("FAIL: pieces of %zu bytes fold \"%s\" to \"%s\", one pass to \"%s\"\n", piece_size,
                        text.c_str(), pieces.c_str(), whole.c_str());
            ++failures;
        }
        // Whole folding, which lower-cases only the stretches around code
        // points beyond ASCII and folds the ASCII between them itself.
        std::string spaced = text;
        for (char& c : spaced)
            if (c == '\n') c = ' ';
        const std::string expected = tessarin::detail::lower_case_unicode(spaced, never, std::string::npos);
        const std::string folded(tessarin::fold_text(text, true, false, never, piece_size).bytes());
        if (folded != expected) {
            std::printf("FAIL: folding \"%s\" in pieces of %zu bytes gives \"%s\", not \"%s\"\n", text.c_str(),
                        piece_size, folded.c_str(), expected.c_str());
            ++failures;
        }
    }
    std::printf("lower-casing in pieces: %s\n", failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}

// The windows that the walk at a separator of one code point visits, cut a
// block of 64 units at a time, against the windows of the tokens that
// ordinary splitting gives: texts of short and long tokens, runs of
// separators, and tokens that end at a block's last unit or at the text's
// end, in every unit width, from the start or from a later token, and
// stopped early.
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "iterator/tokens.hpp"
#include "text/text.hpp"

namespace {

using namespace tessarin;

int failures = 0;

void check(bool condition, const char* what, unsigned seed)
{
    if (!condition && ++failures <= 20) std::printf("FAIL (seed %u): %s\n", seed, what);
}

using Windows = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

template <typename Char> Windows expected(const std::basic_string<Char>& text, std::uint64_t size, std::uint64_t from)
{
    Cancellation never;
    std::vector<Token> tokens;
    const Char separator[] = {Char(' ')};
    cut_tokens(Units<Char>(text), Units<Char>(separator, 1), never, [&](Token token) { tokens.push_back(token); });
    Windows windows;
    for (std::size_t first = 0; first + size <= tokens.size(); ++first)
        if (tokens[first].start >= from) windows.emplace_back(tokens[first].start, tokens[first + size - 1].end);
    return windows;
}

template <typename Char> void check_walks(const std::string& ascii, unsigned seed)
{
    const std::basic_string<Char> text(ascii.begin(), ascii.end());
    Cancellation never;
    TokenSpans spans; // kept from one walk to the next, as the callers keep it
    for (std::uint64_t size = 1; size <= 4; ++size) {
        // From the start, and from the start of a later token.
        const Windows all = expected(text, size, 0);
        std::vector<std::uint64_t> froms = {0};
        if (!all.empty()) froms.push_back(all[all.size() / 2].first);
        for (const std::uint64_t from : froms) {
            const Windows want = expected(text, size, from);
            Windows got;
            for_each_single_separator_window<true>(Units<Char>(text), Char(' '), size, never, spans,
                                                   [&](std::uint64_t start, std::uint64_t end) {
                                                       got.emplace_back(start, end);
                                                       return true;
                                                   },
                                                   from);
            check(got == want, "the windows walked", seed);
            // Stopped at the third window: no window after it is visited.
            Windows stopped;
            for_each_single_separator_window(Units<Char>(text), Char(' '), size, never, spans,
                                             [&](std::uint64_t start, std::uint64_t end) {
                                                 stopped.emplace_back(start, end);
                                                 return stopped.size() < 3;
                                             },
                                             from);
            const Windows first_three(want.begin(), want.begin() + std::min<std::size_t>(3, want.size()));
            check(stopped == first_three, "a walk stopped early", seed);
        }
    }
}

} // namespace

int main()
{
    for (unsigned seed = 1; seed <= 1500; ++seed) {
        std::mt19937 random(seed);
        // Lengths around one, two and three blocks, and random ones.
        const std::size_t lengths[] = {0, 1, 63, 64, 65, 127, 128, 129, 191, 192, 193};
        const std::size_t length = seed <= 11 * 40 ? lengths[seed % 11] : random() % 400;
        // Words of a few letters apart by one space, now and then by more,
        // now and then a word longer than a block.
        const unsigned longest = seed % 7 == 0 ? 150 : 1 + seed % 9;
        const unsigned runs = seed % 3 == 0 ? 3 : 1 + seed % 2;
        std::string text;
        while (text.size() < length) {
            text.append(1 + random() % longest, 'a');
            text.append(random() % 4 == 0 ? 1 + random() % runs : 1, ' ');
        }
        text.resize(length);
        // A token or a separator at each block's last unit, and at the text's
        // start and end.
        for (std::size_t at = 63; at < text.size(); at += 64)
            text[at] = random() % 2 ? ' ' : 'b';
        if (!text.empty() && random() % 3 == 0) text.front() = ' ';
        if (!text.empty() && random() % 3 == 0) text.back() = ' ';
        check_walks<char>(text, seed);
        check_walks<char16_t>(text, seed);
        check_walks<char32_t>(text, seed);
    }
    if (failures != 0) {
        std::printf("%d failures\n", failures);
        return 1;
    }
    std::printf("token walk: all passed\n");
    return 0;
}

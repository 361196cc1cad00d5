// Every occurrence of many needles in one pass, against one search per
// needle: needles that are prefixes, suffixes and infixes of one another,
// duplicates, needles that cannot occur in the text's units, and ASCII
// folded as it is read.
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "text/literals.hpp"
#include "text/text.hpp"

namespace {

using namespace tessarin;

int failures = 0;

template <typename Char> void run_case(unsigned seed, const std::u32string& alphabet)
{
    std::mt19937 random(seed);
    std::u32string text(random() % 300, U'a');
    for (char32_t& c : text)
        c = alphabet[random() % alphabet.size()];
    std::vector<std::u32string> needles(1 + random() % 12);
    for (std::u32string& needle : needles) {
        if (!text.empty() && random() % 2) {
            const std::size_t at = random() % text.size();
            needle = text.substr(at, 1 + random() % 5);
        } else {
            needle.assign(random() % 5, U'a');
            for (char32_t& c : needle)
                c = alphabet[random() % alphabet.size()];
        }
    }
    if (random() % 3 == 0) needles.push_back(needles.front()); // a duplicate
    const AsciiFold fold = random() % 2 ? AsciiFold::of(true, true) : AsciiFold{};
    // Needles come folded, as patterns are.
    for (std::u32string& needle : needles)
        for (char32_t& c : needle)
            c = fold(c);
    // The text as units of type Char (every code point below its limit: the
    // alphabets are chosen so) and each needle's occurrences one at a time.
    std::basic_string<Char> units;
    for (const char32_t c : text)
        units.push_back(static_cast<Char>(c));
    std::vector<std::tuple<std::size_t, std::uint32_t>> expected, found;
    for (std::uint32_t id = 0; id < needles.size(); ++id) {
        std::basic_string<Char> needle;
        if (needles[id].empty() || !narrow_units(needles[id], needle)) continue;
        Cancellation never;
        OccurrenceFinder<Char> finder(Units<Char>(units), Units<Char>(needle), fold, &never);
        for (std::size_t at = finder.next(); at != no_occurrence; at = finder.next())
            expected.emplace_back(at + needle.size(), id);
    }
    const LiteralSet<Char> set(needles, fold);
    Cancellation never;
    set.scan(Units<Char>(units), never, [&](std::uint32_t id, std::size_t end) { found.emplace_back(end, id); });
    for (std::size_t i = 1; i < found.size(); ++i)
        if (std::get<0>(found[i - 1]) > std::get<0>(found[i]) && ++failures <= 20)
            std::printf("FAIL (seed %u): occurrences in order of their end\n", seed);
    std::sort(expected.begin(), expected.end());
    std::sort(found.begin(), found.end());
    if (found != expected && ++failures <= 20) {
        std::printf("FAIL (seed %u, width %zu): every occurrence, once (%zu found, %zu expected)\n", seed, sizeof(Char),
                    found.size(), expected.size());
    }
}

} // namespace

int main()
{
    for (unsigned seed = 1; seed <= 4000; ++seed) {
        run_case<char>(seed, U"abAB@ \n\u00e9");
        run_case<char16_t>(seed, U"ab\u0430\u0431\u4e00 \n\u00e9A");
        run_case<char32_t>(seed, U"ab\U0001F600\U0001F601\u0430 A");
    }
    if (failures > 0) {
        std::printf("%d failures\n", failures);
        return 1;
    }
    std::printf("ok: every occurrence of many needles in one pass, as one search per needle finds them\n");
    return 0;
}
